#include "MyLib/Cyphers.h"

#include "platform/SecureRandom.h"

#include <cstring>

uint32_t TRandomSource::Below(uint32_t ABound) {
    // Values below 2^32 mod ABound would make the low results more likely; draw again for them.
    const uint32_t reject = (0u - ABound) % ABound;
    uint32_t r;
    do
        r = Next32();
    while (r < reject);
    return r % ABound;
}

uint32_t TSystemRandom::Next32() {
    if (fUsed == fBuffer.size()) {
        FillSecureRandom(fBuffer.data(), sizeof fBuffer);
        fUsed = 0;
    }
    return fBuffer[fUsed++];
}

namespace {

TGOSTDataBlock LoadBlock(const uint8_t* ASource, uint32_t ACount) {
    uint8_t bytes[8];
    std::memset(bytes, 0xFF, sizeof bytes);
    std::memcpy(bytes, ASource, ACount);
    TGOSTDataBlock b;
    std::memcpy(&b, bytes, sizeof b);
    return b;
}

void StoreBlock(const TGOSTDataBlock& ABlock, uint8_t* ADest, uint32_t ACount) {
    std::memcpy(ADest, &ABlock, ACount);
}

TGOSTDataBlock Xor(const TGOSTDataBlock& A, const TGOSTDataBlock& B) {
    return {A.N1 ^ B.N1, A.N2 ^ B.N2};
}

} // namespace

void TGOSTCrypt::SetTable(const TGOSTTable& AValue) {
    H = AValue;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 16; ++j)
            H1[i][j] = (j & 1) ? uint8_t(H[i][j / 2] >> 4) : uint8_t(H[i][j / 2] & 0x0F);
    // Byte b of the round input goes through S-boxes 2b (low nibble) and 2b + 1 (high nibble).
    for (int b = 0; b < 4; ++b)
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t s = uint32_t(H1[2 * b][v & 15] | (H1[2 * b + 1][v >> 4] << 4)) << (8 * b);
            fSubst[b][v] = std::rotl(s, 11);
        }
}

TGOSTDataBlock TGOSTCrypt::EncryptBlock(TGOSTDataBlock AX) const {
    uint32_t n1 = AX.N1, n2 = AX.N2;
    for (int pass = 0; pass < 3; ++pass)
        for (int k = 0; k < 8; ++k) {
            uint32_t t = Round(n1 + K[k]) ^ n2;
            n2 = n1;
            n1 = t;
        }
    for (int k = 7; k >= 0; --k) {
        uint32_t t = Round(n1 + K[k]) ^ n2;
        n2 = n1;
        n1 = t;
    }
    return {n2, n1};
}

TGOSTDataBlock TGOSTCrypt::DecryptBlock(TGOSTDataBlock AX) const {
    uint32_t n1 = AX.N1, n2 = AX.N2;
    for (int k = 0; k < 8; ++k) {
        uint32_t t = Round(n1 + K[k]) ^ n2;
        n2 = n1;
        n1 = t;
    }
    for (int pass = 0; pass < 3; ++pass)
        for (int k = 7; k >= 0; --k) {
            uint32_t t = Round(n1 + K[k]) ^ n2;
            n2 = n1;
            n1 = t;
        }
    return {n2, n1};
}

TGOSTDataBlock TGOSTCrypt::MacBlock(TGOSTDataBlock AX) const {
    uint32_t n1 = AX.N1, n2 = AX.N2;
    for (int pass = 0; pass < 2; ++pass)
        for (int k = 0; k < 8; ++k) {
            uint32_t t = Round(n1 + K[k]) ^ n2;
            n2 = n1;
            n1 = t;
        }
    return {n1, n2};
}

void TGOSTCrypt::Encrypt(const void* ASource, void* ADest, uint32_t ASize, TGOSTDataBlock* ASync) const {
    const auto* src = static_cast<const uint8_t*>(ASource);
    auto* dst = static_cast<uint8_t*>(ADest);
    TGOSTDataBlock s = ASync ? *ASync : SY;
    for (uint32_t offset = 0; offset < ASize; offset += 8) {
        uint32_t count = ASize - offset < 8 ? ASize - offset : 8;
        TGOSTDataBlock gamma = EncryptBlock(s);
        s = Xor(EncryptBlock(LoadBlock(src + offset, count)), gamma);
        StoreBlock(s, dst + offset, count);
    }
    if (ASync)
        *ASync = s;
}

void TGOSTCrypt::Decrypt(const void* ASource, void* ADest, uint32_t ASize, TGOSTDataBlock* ASync) const {
    const auto* src = static_cast<const uint8_t*>(ASource);
    auto* dst = static_cast<uint8_t*>(ADest);
    TGOSTDataBlock s = ASync ? *ASync : SY;
    for (uint32_t offset = 0; offset < ASize; offset += 8) {
        uint32_t count = ASize - offset < 8 ? ASize - offset : 8;
        TGOSTDataBlock gamma = EncryptBlock(s);
        s = LoadBlock(src + offset, count);
        StoreBlock(DecryptBlock(Xor(s, gamma)), dst + offset, count);
    }
    if (ASync)
        *ASync = s;
}

void TGOSTCrypt::Imito(const void* ASource, uint32_t ASize, const TGOSTDataBlock& AISrc,
                       TGOSTDataBlock& AIDst) const {
    const auto* src = static_cast<const uint8_t*>(ASource);
    TGOSTDataBlock a = AISrc;
    for (uint32_t offset = 0; offset < ASize; offset += 8) {
        uint32_t count = ASize - offset < 8 ? ASize - offset : 8;
        a = MacBlock(Xor(LoadBlock(src + offset, count), a));
    }
    AIDst = a;
}

void TGOSTCrypt::Imito(const void* ASource, uint32_t ASize, TGOSTDataBlock& AI) const {
    Imito(ASource, ASize, TGOSTDataBlock{}, AI);
}

TRandomSource& TGOSTCrypt::Random() {
    if (fRandom)
        return *fRandom;
    thread_local TSystemRandom systemRandom;
    return systemRandom;
}

void TGOSTCrypt::GenerateKey() {
    TRandomSource& random = Random();
    for (auto& subkey : K) {
        subkey = 0;
        for (int bit = 0; bit < 32; ++bit)
            if (random.Below(10000) > 5000)
                subkey |= 1u << bit;
    }
}

void TGOSTCrypt::GenerateSynchro() {
    TRandomSource& random = Random();
    auto half = [&random] {
        uint32_t r1 = random.Below(65535);
        uint32_t r2 = random.Below(65535);
        return r1 * 65536 + r2;
    };
    SY.N1 = half();
    SY.N2 = half();
}

void TGOSTCrypt::GenerateTable() {
    TRandomSource& random = Random();
    TGOSTTable table{};
    for (auto& row : table) {
        bool used[16] = {};
        for (int entry = 0; entry < 16;) {
            uint32_t v = random.Below(16);
            if (used[v])
                continue;
            used[v] = true;
            row[std::size_t(entry / 2)] |= uint8_t((entry & 1) ? v << 4 : v);
            ++entry;
        }
    }
    SetTable(table);
}

void TGOSTCrypt::GenerateAll() {
    GenerateKey();
    GenerateSynchro();
    GenerateTable();
}

TGOSTKey GostKeyFromBytes(const void* ABytes) {
    TGOSTKey key;
    std::memcpy(key.data(), ABytes, sizeof key);
    return key;
}

TGOSTTable GostTableFromBytes(const void* ABytes) {
    TGOSTTable table;
    std::memcpy(table.data(), ABytes, sizeof table);
    return table;
}
