#pragma once
// The key and substitution table of the demo firmware: published test values of the cipher, not
// secrets. The built-in collection is enciphered with them and the simulated bootloaders decipher
// with them; real devices use their maker's own values, which this code base does not hold.
// Kept as the bytes a key file and a table file hold, so the simulator needs no cipher types.
#include <array>
#include <cstdint>

// The first step key K1 of the RFC 5831 worked example: subkeys K0..K7, each little-endian.
extern const std::array<uint8_t, 32> DemoKeyBytes;
// The test S-box of GOST R 34.11-94 (RFC 5831 / RFC 4357 test parameters): row i is S-box i, byte j
// of a row holds entries 2j (low nibble) and 2j + 1 (high nibble).
extern const std::array<uint8_t, 64> DemoTableBytes;
