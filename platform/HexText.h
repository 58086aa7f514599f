#pragma once
// Hexadecimal digits as they appear in device texts, GUIDs, request records and memory images.

// The value 0-15 of one hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char AChar);
