#pragma once
// Little-endian byte order, as every record on the USB link and in the firmware files is laid out.
// The library and the simulated devices both read and write their bytes through these, each with
// its own record layouts.
#include <cstdint>
#include <vector>

inline uint16_t GetLE16(const uint8_t* ABytes) {
    return uint16_t(ABytes[0] | ABytes[1] << 8);
}

inline uint32_t GetLE32(const uint8_t* ABytes) {
    return uint32_t(ABytes[0]) | uint32_t(ABytes[1]) << 8 | uint32_t(ABytes[2]) << 16 |
           uint32_t(ABytes[3]) << 24;
}

inline void PutLE16(uint8_t* ABytes, uint16_t AValue) {
    ABytes[0] = uint8_t(AValue);
    ABytes[1] = uint8_t(AValue >> 8);
}

inline void PutLE32(uint8_t* ABytes, uint32_t AValue) {
    for (int i = 0; i < 4; ++i)
        ABytes[i] = uint8_t(AValue >> (8 * i));
}

// Appends a value to a record being built byte by byte.
// Grown by resize and written in place: GCC 12 at -O3 reports false overreads on push_back into a
// vector that may be empty.
inline void AppendLE16(std::vector<uint8_t>& ABytes, uint16_t AValue) {
    ABytes.resize(ABytes.size() + 2);
    PutLE16(ABytes.data() + ABytes.size() - 2, AValue);
}

inline void AppendLE32(std::vector<uint8_t>& ABytes, uint32_t AValue) {
    ABytes.resize(ABytes.size() + 4);
    PutLE32(ABytes.data() + ABytes.size() - 4, AValue);
}
