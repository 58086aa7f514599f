#pragma once
// Hexadecimal digits as they appear in device texts, GUIDs, request records and memory images.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The value 0-15 of one hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char AChar);

// Upper-case hexadecimal, two digits per byte in memory order, high nibble first.
std::string BytesToHex(const void* AData, std::size_t ASize);
// Pairs of hexadecimal digits of either case; none for an odd count or any other character.
std::optional<std::vector<uint8_t>> HexToBytes(const std::string& AText);
