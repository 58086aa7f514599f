#pragma once
// Memory images and scratch files shared by the firmware suites.
#include "MyLib/KelvoFirmware.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <streambuf>
#include <string>
#include <unistd.h>
#include <vector>

// A filled main memory with the identity words set and, when AMarker is not empty, that marker text
// (zero-terminated) placed at code offset AMarkerAt.
inline std::unique_ptr<TMSP430Memory> SampleMemory(uint16_t AProductId, uint16_t AVersionFW,
                                                   const std::string& AMarker = "",
                                                   std::size_t AMarkerAt = 0x200, uint8_t ASeed = 1) {
    auto m = std::make_unique<TMSP430Memory>();
    auto* bytes = reinterpret_cast<uint8_t*>(m.get());
    for (std::size_t i = 0; i < sizeof(TMSP430Memory); ++i)
        bytes[i] = uint8_t((i * 131 + ASeed * 7) ^ (i >> 8));
    // No accidental zero bytes in the code area, so marker tests control where the text ends.
    for (auto& b : m->Main.Code)
        if (b == 0)
            b = 0x5A;
    m->Main.wFirmwareHwId = AProductId;
    m->Main.wFirmwareVersion = AVersionFW;
    if (!AMarker.empty()) {
        std::memcpy(m->Main.Code + AMarkerAt, AMarker.data(), AMarker.size());
        if (AMarkerAt + AMarker.size() < sizeof m->Main.Code)
            m->Main.Code[AMarkerAt + AMarker.size()] = 0;
    }
    return m;
}

// A unique path in the temporary folder, removed with the object.
class TScratchFile {
public:
    explicit TScratchFile(const std::string& AStem)
        : fPath((std::filesystem::temp_directory_path() /
                 (AStem + "-" + std::to_string(::getpid()) + "-" + std::to_string(Counter()++)))
                    .string()) {}
    ~TScratchFile() { std::filesystem::remove(fPath); }
    const std::string& Path() const { return fPath; }

    std::vector<uint8_t> Read() const {
        std::ifstream in(fPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void Write(const std::vector<uint8_t>& ABytes) const {
        std::ofstream out(fPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(ABytes.data()), std::streamsize(ABytes.size()));
    }

private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    std::string fPath;
};

// A stream that cannot seek, as a pipe or a socket would be.
class TOneWayBuffer : public std::streambuf {
public:
    explicit TOneWayBuffer(std::vector<uint8_t> ABytes) : fBytes(std::move(ABytes)) {
        char* p = reinterpret_cast<char*>(fBytes.data());
        setg(p, p, p + fBytes.size());
    }

private:
    std::vector<uint8_t> fBytes;
};

inline void PutU32(std::vector<uint8_t>& ABytes, std::size_t AOffset, uint32_t AValue) {
    for (std::size_t i = 0; i < 4; ++i)
        ABytes.at(AOffset + i) = uint8_t(AValue >> (8 * i));
}
