#pragma once
// GOST 28147-89 block cipher with the firmware images' chaining mode and the standard's message
// authentication code (imitovstavka).
#include <array>
#include <bit>
#include <cstdint>
#include <random>

static_assert(std::endian::native == std::endian::little, "records are read in place as little-endian");

#pragma pack(push, 1)
// One cipher block as two little-endian words; N1 is the half that enters the round function.
// Packed (alignment 1) so it can sit at any offset of the firmware records.
struct TGOSTDataBlock {
    uint32_t N1 = 0;
    uint32_t N2 = 0;

    friend bool operator==(const TGOSTDataBlock&, const TGOSTDataBlock&) = default;
};
#pragma pack(pop)
using PGOSTDataBlock = TGOSTDataBlock*;
static_assert(sizeof(TGOSTDataBlock) == 8 && alignof(TGOSTDataBlock) == 1);

// Eight 32-bit subkeys K0..K7 (32 bytes, little-endian).
using TGOSTKey = std::array<uint32_t, 8>;
// Substitution table: row i is S-box i; byte j holds entry 2j (low nibble) and 2j + 1 (high nibble).
using TGOSTTable = std::array<std::array<uint8_t, 8>, 8>;
static_assert(sizeof(TGOSTKey) == 32 && sizeof(TGOSTTable) == 64);

// A key and a table from the 32 and 64 bytes a key file and a table file hold.
TGOSTKey GostKeyFromBytes(const void* ABytes);
TGOSTTable GostTableFromBytes(const void* ABytes);

// Source of the random numbers behind the key, synchronisation and table generators.
class TRandomSource {
public:
    virtual ~TRandomSource() = default;
    virtual uint32_t Next32() = 0;
    // Uniform in 0..ABound-1 (ABound > 0), without modulo bias.
    uint32_t Below(uint32_t ABound);
};

// The operating system's cryptographically secure source.
class TSystemRandom : public TRandomSource {
public:
    uint32_t Next32() override;

private:
    std::array<uint32_t, 64> fBuffer{};
    std::size_t fUsed = 64;
};

// A reproducible sequence from a seed (the engine's output is fixed by the C++ standard), for
// builds that must come out byte for byte the same.
class TSeededRandom : public TRandomSource {
public:
    explicit TSeededRandom(uint32_t ASeed) : fEngine(ASeed) {}
    uint32_t Next32() override { return uint32_t(fEngine()); }

private:
    std::mt19937 fEngine;
};

class TGOSTCrypt {
public:
    // ARandom feeds the generators; none means the system's secure source. Not owned.
    explicit TGOSTCrypt(TRandomSource* ARandom = nullptr) : fRandom(ARandom) {}

    TGOSTKey K{};
    // H and H1 change only through SetTable, which also rebuilds the round's lookup tables.
    TGOSTTable H{};
    uint8_t H1[8][16]{};
    TGOSTDataBlock SY{};

    void SetTable(const TGOSTTable& AValue);

    // Chaining mode over ASize bytes; a short last block is padded with 0xFF and only its first
    // bytes are written. Starts from *ASync (and writes the final chaining value back there) or
    // from SY, which is never changed. ASource and ADest may be the same buffer.
    void Encrypt(const void* ASource, void* ADest, uint32_t ASize, TGOSTDataBlock* ASync = nullptr) const;
    void Decrypt(const void* ASource, void* ADest, uint32_t ASize, TGOSTDataBlock* ASync = nullptr) const;

    // Authentication code over ASize bytes (short last block padded with 0xFF), from AISrc or zero.
    void Imito(const void* ASource, uint32_t ASize, const TGOSTDataBlock& AISrc, TGOSTDataBlock& AIDst) const;
    void Imito(const void* ASource, uint32_t ASize, TGOSTDataBlock& AI) const;

    // The basic cycles on one block: 32-Z (encryption), 32-R (decryption), 16-Z (MAC).
    TGOSTDataBlock EncryptBlock(TGOSTDataBlock AX) const;
    TGOSTDataBlock DecryptBlock(TGOSTDataBlock AX) const;
    TGOSTDataBlock MacBlock(TGOSTDataBlock AX) const;

    void GenerateKey();
    void GenerateSynchro();
    void GenerateTable();
    void GenerateAll();

private:
    uint32_t Round(uint32_t AX) const {
        return fSubst[0][AX & 0xFF] ^ fSubst[1][(AX >> 8) & 0xFF] ^ fSubst[2][(AX >> 16) & 0xFF] ^
               fSubst[3][AX >> 24];
    }
    TRandomSource& Random();

    // Pairs of S-boxes merged into byte tables with the 11-bit rotation already applied.
    uint32_t fSubst[4][256]{};
    TRandomSource* fRandom;
};
