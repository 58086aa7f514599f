// An image built by kelvo-fwbuild from known memory, key, table and synchronisation block, taken
// apart by byte offsets and deciphered with the simulated bootloader's own GOST 28147-89 (written
// from the standard's description). Shares nothing with the library's cipher or records.
#include "FwBuildToolSupport.h"
#include "platform/LittleEndian.h"
#include "sim/SimGost.h"

#include <gtest/gtest.h>

#include <zlib.h>

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
    for (int row = 0; row < 8; ++row)
        for (int j = 0; j < 16; ++j) {
            const uint8_t entry = uint8_t((j * 7 + row * 3 + 5) % 16); // a permutation per row
            table[std::size_t(row * 8 + j / 2)] |= uint8_t(j & 1 ? entry << 4 : entry);
        }
    const TSimGost cipher(key.data(), table.data());

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
    EXPECT_EQ(crc32(0, file.data() + 101, 57393), GetLE32(file.data() + 57494));
    EXPECT_EQ(7937u, GetLE32(file.data() + 57205) & 0xFFFF);
    EXPECT_EQ(2u, GetLE32(file.data() + 57234) & 0xFFFF);
    EXPECT_EQ(0x23u, GetLE32(file.data() + 57236) & 0xFFFF);
    EXPECT_EQ("QV02_FIRMWARE", std::string(file.end() - 13, file.end()));

    // Decipher: G = E(S); S = Y; P = D(Y xor G).
    std::vector<uint8_t> plain(0xDF00);
    uint8_t chain[8];
    std::copy(synchro, synchro + 8, chain);
    cipher.Decipher(file.data() + 109, plain.data(), plain.size(), chain);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 0xDEF8, memory.begin() + 0x1100))
        << "deciphered main memory differs from the input";

    // The authentication code over everything before it, from zero, 16 steps a block.
    uint8_t mac[8];
    cipher.Mac(plain.data(), 0xDEF8, mac);
    EXPECT_TRUE(std::equal(mac, mac + 8, plain.begin() + 0xDEF8));
}
