#include "sim/SimGost.h"

#include "platform/LittleEndian.h"

namespace {

constexpr int KEncryptOrder[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                   0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
constexpr int KDecryptOrder[32] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0,
                                   7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0};

} // namespace

TSimGost::TSimGost(const uint8_t AKey[32], const uint8_t ATable[64]) {
    for (int i = 0; i < 8; ++i)
        fKey[i] = GetLE32(AKey + 4 * i);
    uint8_t sbox[8][16];
    for (int row = 0; row < 8; ++row)
        for (int j = 0; j < 16; ++j) {
            const uint8_t packed = ATable[row * 8 + j / 2];
            sbox[row][j] = uint8_t(j & 1 ? packed >> 4 : packed & 0xF);
        }
    for (int k = 0; k < 4; ++k)
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t y = (uint32_t(sbox[2 * k][b & 0xF]) | uint32_t(sbox[2 * k + 1][b >> 4]) << 4)
                               << (8 * k);
            fRound[k][b] = (y << 11) | (y >> 21);
        }
}

uint32_t TSimGost::F(uint32_t AX) const {
    return fRound[0][AX & 0xFF] ^ fRound[1][(AX >> 8) & 0xFF] ^ fRound[2][(AX >> 16) & 0xFF] ^
           fRound[3][AX >> 24];
}

// 32 steps with subkey order AOrder; steps 1..31 exchange the halves, step 32 does not.
void TSimGost::Cycle32(uint32_t& AN1, uint32_t& AN2, const int AOrder[32]) const {
    for (int step = 0; step < 32; ++step) {
        const uint32_t t = AN2 ^ F(AN1 + fKey[AOrder[step]]);
        if (step == 31) {
            AN2 = t;
        } else {
            AN2 = AN1;
            AN1 = t;
        }
    }
}

void TSimGost::Encrypt(uint32_t& AN1, uint32_t& AN2) const {
    Cycle32(AN1, AN2, KEncryptOrder);
}

void TSimGost::Decrypt(uint32_t& AN1, uint32_t& AN2) const {
    Cycle32(AN1, AN2, KDecryptOrder);
}

void TSimGost::Decipher(const uint8_t* ACipher, uint8_t* APlain, std::size_t ASize, uint8_t AChain[8]) const {
    uint32_t s1 = GetLE32(AChain), s2 = GetLE32(AChain + 4);
    for (std::size_t off = 0; off + 8 <= ASize; off += 8) {
        uint32_t g1 = s1, g2 = s2;
        Encrypt(g1, g2);
        s1 = GetLE32(ACipher + off);
        s2 = GetLE32(ACipher + off + 4);
        uint32_t p1 = s1 ^ g1, p2 = s2 ^ g2;
        Decrypt(p1, p2);
        PutLE32(APlain + off, p1);
        PutLE32(APlain + off + 4, p2);
    }
    PutLE32(AChain, s1);
    PutLE32(AChain + 4, s2);
}

void TSimGost::Encipher(const uint8_t* APlain, uint8_t* ACipher, std::size_t ASize, uint8_t AChain[8]) const {
    uint32_t s1 = GetLE32(AChain), s2 = GetLE32(AChain + 4);
    for (std::size_t off = 0; off + 8 <= ASize; off += 8) {
        uint32_t g1 = s1, g2 = s2;
        Encrypt(g1, g2);
        uint32_t p1 = GetLE32(APlain + off), p2 = GetLE32(APlain + off + 4);
        Encrypt(p1, p2);
        s1 = p1 ^ g1;
        s2 = p2 ^ g2;
        PutLE32(ACipher + off, s1);
        PutLE32(ACipher + off + 4, s2);
    }
    PutLE32(AChain, s1);
    PutLE32(AChain + 4, s2);
}

void TSimGost::Mac(const uint8_t* AData, std::size_t ASize, uint8_t AMac[8]) const {
    uint32_t a1 = 0, a2 = 0;
    for (std::size_t off = 0; off + 8 <= ASize; off += 8) {
        a1 ^= GetLE32(AData + off);
        a2 ^= GetLE32(AData + off + 4);
        for (int step = 0; step < 16; ++step) {
            const uint32_t t = a2 ^ F(a1 + fKey[step % 8]);
            a2 = a1;
            a1 = t;
        }
    }
    PutLE32(AMac, a1);
    PutLE32(AMac + 4, a2);
}
