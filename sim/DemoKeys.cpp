#include "sim/DemoKeys.h"

namespace {

// Row i is S-box i, entries 0..15.
constexpr uint8_t TestSBox[8][16] = {{4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
                                     {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
                                     {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
                                     {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
                                     {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
                                     {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
                                     {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
                                     {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12}};

// Subkeys K0..K7 (the published 256-bit value, least significant word first).
constexpr uint32_t TestKey[8] = {0x33206D54, 0x326C6568, 0x20657369, 0x626E7373,
                                 0x79676120, 0x74746769, 0x65686573, 0x733D2C20};

constexpr std::array<uint8_t, 64> PackedTable() {
    std::array<uint8_t, 64> t{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            t[8 * i + j] = uint8_t(TestSBox[i][2 * j] | (TestSBox[i][2 * j + 1] << 4));
    return t;
}

constexpr std::array<uint8_t, 32> KeyBytes() {
    std::array<uint8_t, 32> k{};
    for (int i = 0; i < 32; ++i)
        k[i] = uint8_t(TestKey[i / 4] >> (8 * (i % 4)));
    return k;
}

} // namespace

const std::array<uint8_t, 32> DemoKeyBytes = KeyBytes();
const std::array<uint8_t, 64> DemoTableBytes = PackedTable();
