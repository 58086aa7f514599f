// An image built by kelvo-fwbuild from known memory, key, table and synchronisation block, taken
// apart by byte offsets and deciphered with a plain GOST 28147-89 written here from the standard's
// description (one S-box nibble at a time, the last round without exchange). Shares nothing with
// the library's cipher or records.
#include "FwBuildToolSupport.h"

#include <gtest/gtest.h>

#include <zlib.h>

namespace {

struct TReferenceGost {
    uint32_t Key[8];
    uint8_t SBox[8][16];

    uint32_t F(uint32_t AX) const {
        uint32_t y = 0;
        for (int i = 0; i < 8; ++i)
            y |= uint32_t(SBox[i][(AX >> (4 * i)) & 0xF]) << (4 * i);
        return (y << 11) | (y >> 21);
    }
    // 32 steps with subkey order AOrder; steps 1..31 exchange the halves, step 32 does not.
    void Cycle32(uint32_t& AN1, uint32_t& AN2, const int AOrder[32]) const {
        for (int step = 0; step < 32; ++step) {
            uint32_t t = AN2 ^ F(AN1 + Key[AOrder[step]]);
            if (step == 31) {
                AN2 = t;
            } else {
                AN2 = AN1;
                AN1 = t;
            }
        }
    }
    void Encrypt(uint32_t& AN1, uint32_t& AN2) const {
        static const int order[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                      0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
        Cycle32(AN1, AN2, order);
    }
    void Decrypt(uint32_t& AN1, uint32_t& AN2) const {
        static const int order[32] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0,
                                      7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0};
        Cycle32(AN1, AN2, order);
    }
    // 16 steps, each exchanging the halves.
    void Mac16(uint32_t& AN1, uint32_t& AN2) const {
        for (int step = 0; step < 16; ++step) {
            uint32_t t = AN2 ^ F(AN1 + Key[step % 8]);
            AN2 = AN1;
            AN1 = t;
        }
    }
};

uint32_t Le32(const uint8_t* AP) {
    return AP[0] | AP[1] << 8 | AP[2] << 16 | uint32_t(AP[3]) << 24;
}
void PutLe32(uint8_t* AP, uint32_t AV) {
    for (int i = 0; i < 4; ++i)
        AP[i] = uint8_t(AV >> (8 * i));
}

} // namespace

TEST(FirmwareReference, IndependentDecipherRecoversTheMemory) {
    // Known inputs: a memory image with a marker, a key and a table of its own, a fixed synchro.
    std::vector<uint8_t> memory(65536);
    for (std::size_t a = 0; a < memory.size(); ++a)
        memory[a] = uint8_t((a * 2654435761u) >> 13);
    const std::string marker = "@FWID@P1F01&H2&F23&CMSP430F5528";
    std::copy(marker.begin(), marker.end(), memory.begin() + 0x1180);
    memory[0x1180 + marker.size()] = 0;
    std::vector<uint8_t> key(32), table(64);
    for (int i = 0; i < 32; ++i)
        key[std::size_t(i)] = uint8_t(0xA0 ^ (i * 29));
    TReferenceGost ref{};
    for (int row = 0; row < 8; ++row)
        for (int j = 0; j < 16; ++j) {
            ref.SBox[row][j] = uint8_t((j * 7 + row * 3 + 5) % 16); // a permutation per row
            table[std::size_t(row * 8 + j / 2)] |= uint8_t(j & 1 ? ref.SBox[row][j] << 4 : ref.SBox[row][j]);
        }
    for (int i = 0; i < 8; ++i)
        ref.Key[i] = Le32(key.data() + 4 * i);

    TScratchFile memoryFile("mem"), keyFile("key"), tableFile("table"), imageFile("image");
    memoryFile.Write(memory);
    keyFile.Write(key);
    tableFile.Write(table);
    TToolRun run = RunTool({"build", "--memory", memoryFile.Path(), "--key", keyFile.Path(), "--table",
                            tableFile.Path(), "--synchro", "F0E1D2C3B4A59687", "-o", imageFile.Path()});
    ASSERT_EQ(0, run.Status) << run.Err;
    std::vector<uint8_t> file = imageFile.Read();
    ASSERT_EQ(101u + 57397 + 16 + 4 + 13, file.size()); // "QV02_FIRMWARE"

    // Layout: header, synchro at 101, enciphered main memory at 109, identity, CRC at 57494.
    const uint8_t* synchro = file.data() + 101;
    const uint8_t expectedSynchro[8] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
    EXPECT_EQ(0, std::memcmp(expectedSynchro, synchro, 8));
    EXPECT_EQ(crc32(0, file.data() + 101, 57393), Le32(file.data() + 57494));
    EXPECT_EQ(7937u, Le32(file.data() + 57205) & 0xFFFF);
    EXPECT_EQ(2u, Le32(file.data() + 57234) & 0xFFFF);
    EXPECT_EQ(0x23u, Le32(file.data() + 57236) & 0xFFFF);
    EXPECT_EQ("QV02_FIRMWARE", std::string(file.end() - 13, file.end()));

    // Decipher: G = E(S); S = Y; P = D(Y xor G).
    std::vector<uint8_t> plain(0xDF00);
    uint32_t s1 = Le32(synchro), s2 = Le32(synchro + 4);
    for (std::size_t off = 0; off < plain.size(); off += 8) {
        const uint8_t* y = file.data() + 109 + off;
        uint32_t g1 = s1, g2 = s2;
        ref.Encrypt(g1, g2);
        s1 = Le32(y);
        s2 = Le32(y + 4);
        uint32_t p1 = s1 ^ g1, p2 = s2 ^ g2;
        ref.Decrypt(p1, p2);
        PutLe32(plain.data() + off, p1);
        PutLe32(plain.data() + off + 4, p2);
    }
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 0xDEF8, memory.begin() + 0x1100))
        << "deciphered main memory differs from the input";

    // The authentication code over everything before it, from zero, 16 steps a block.
    uint32_t a1 = 0, a2 = 0;
    for (std::size_t off = 0; off < 0xDEF8; off += 8) {
        a1 ^= Le32(plain.data() + off);
        a2 ^= Le32(plain.data() + off + 4);
        ref.Mac16(a1, a2);
    }
    EXPECT_EQ(a1, Le32(plain.data() + 0xDEF8));
    EXPECT_EQ(a2, Le32(plain.data() + 0xDEFC));
}
