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
// A 16-bit value as four hexadecimal digits: upper case as the updater's log shows versions and
// product ids, lower case with ALowerCase as USB tools show vendor and product ids.
std::string Hex4(uint16_t AValue, bool ALowerCase = false);
// Pairs of hexadecimal digits of either case; none for an odd count or any other character.
std::optional<std::vector<uint8_t>> HexToBytes(const std::string& AText);
