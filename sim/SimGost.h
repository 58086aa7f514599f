#pragma once
// The simulated bootloader's own GOST 28147-89: written from the standard's description (the last
// round without exchange) and sharing nothing with the library's cipher, so that the bootloader is an
// independent check of the images the host side builds and sends. The round function looks up two
// S-boxes and the rotation at once, one table per byte of its input: every simulated run computes a
// MAC over each device's flash and deciphers every block it is sent.
#include <cstdint>
#include <vector>

class TSimGost {
public:
    // AKey: the 32 key bytes (eight little-endian subkeys); ATable: 64 bytes, row i is S-box i with
    // entry 2j in the low nibble of byte j and entry 2j + 1 in its high nibble.
    TSimGost(const uint8_t AKey[32], const uint8_t ATable[64]);

    // The images' chaining mode, backwards: for each enciphered block Y, G = E(S), S = Y,
    // P = D(Y xor G). AChain (8 bytes) is the chaining value, updated so calls continue one stream.
    // ASize must be a multiple of 8.
    void Decipher(const uint8_t* ACipher, uint8_t* APlain, std::size_t ASize, uint8_t AChain[8]) const;
    // The forward direction (Y = E(P) xor E(S), S = Y), for building test images.
    void Encipher(const uint8_t* APlain, uint8_t* ACipher, std::size_t ASize, uint8_t AChain[8]) const;
    // The authentication code over ASize bytes (a multiple of 8) from zero: A = 16 steps of (X xor A).
    void Mac(const uint8_t* AData, std::size_t ASize, uint8_t AMac[8]) const;

private:
    uint32_t F(uint32_t AX) const;
    void Cycle32(uint32_t& AN1, uint32_t& AN2, const int AOrder[32]) const;
    void Encrypt(uint32_t& AN1, uint32_t& AN2) const;
    void Decrypt(uint32_t& AN1, uint32_t& AN2) const;

    uint32_t fKey[8];
    // fRound[k][b]: S-boxes 2k and 2k + 1 applied to byte k = b of the input, in place, rotated left
    // by 11; F is the exclusive or of the four bytes' entries.
    uint32_t fRound[4][256];
};
