#pragma once
// The key and substitution table of the demo firmware: published test values of the cipher, not
// secrets. The built-in collection is enciphered with them and the simulated bootloaders decipher
// with them; real devices use their maker's own values, which this code base does not hold.
#include "MyLib/Cyphers.h"

// The test S-box of GOST R 34.11-94 (RFC 5831 / RFC 4357 test parameters).
extern const TGOSTTable DemoTable;
// The first step key K1 of the RFC 5831 worked example.
extern const TGOSTKey DemoKey;
