// Build-time generator of the built-in firmware collection: one synthetic memory image per kind of
// device the programs carry firmware for, each with its firmware-id marker and identity words,
// enciphered with the demo key and table under synchronisation blocks from a seeded generator, so
// the set file comes out byte for byte the same on every build.
#include "MyLib/KelvoFirmware.h"
#include "sim/DemoKeys.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

namespace {

struct TBuiltinRow {
    uint16_t ProductId, VersionHW, VersionFW, CPU;
};

const TBuiltinRow BuiltinRows[] = {
    {2, 2, 8, 147},     {5, 2, 8, 147},      {5, 3, 11, 235},     {5, 4, 9, 5508},     {6, 1, 8, 167},
    {10, 2, 6, 167},    {11, 1, 5, 167},     {12, 1, 5, 1611},    {12, 3, 13, 2617},   {12, 5, 12, 2617},
    {14, 2, 6, 147},    {14, 3, 6, 235},     {18, 3, 11, 2617},   {18, 4, 11, 2617},   {19, 3, 10, 235},
    {23, 2, 3, 235},    {32, 2, 10, 147},    {32, 3, 10, 235},    {34, 4, 12, 5508},   {35, 5, 11, 5522},
    {48, 2, 4, 5528},   {7937, 1, 35, 5528}, {7937, 2, 35, 5528}, {7937, 3, 35, 5528}, {7937, 4, 35, 5528},
    {7937, 5, 35, 5528}};

constexpr uint32_t BuiltinSeed = 0x4B454C56;    // fixed, so every build gives the same blocks
constexpr double BuiltinDate = 45658.5;         // 2025-01-01 12:00
constexpr std::size_t ProgramSize = 0x3000;     // bytes of stand-in program code
constexpr std::size_t MarkerOffset = 0x40;      // where the firmware-id marker sits in the code
constexpr std::uintmax_t BuiltinSize = 1496019; // what the programs expect to carry

// Erased flash (0xFF) with a stand-in program, the marker and the identity words.
std::unique_ptr<TMSP430Memory> SyntheticMemory(const TBuiltinRow& ARow, TRandomSource& ARandom) {
    auto memory = std::make_unique<TMSP430Memory>();
    auto* bytes = reinterpret_cast<uint8_t*>(memory.get());
    std::fill(bytes, bytes + sizeof(TMSP430Memory), uint8_t(0xFF));
    for (std::size_t i = 0; i < ProgramSize; ++i)
        memory->Main.Code[i] = uint8_t(ARandom.Next32());
    char marker[64];
    int length = std::snprintf(marker, sizeof marker, "@FWID@P%X&H%X&F%X&CMSP430F%u", ARow.ProductId,
                               ARow.VersionHW, ARow.VersionFW, ARow.CPU);
    std::copy(marker, marker + length + 1, memory->Main.Code + MarkerOffset);
    memory->Main.wSecurityLevel = 0;
    memory->Main.wFirmwareVersion = ARow.VersionFW;
    memory->Main.wFirmwareHwId = ARow.ProductId;
    memory->Main.wFirmwarePresenseFlag = 0xA55A;
    return memory;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
        return 2;
    }
    try {
        TSeededRandom random(BuiltinSeed);
        TKelvoUsbFirmwareCollection collection(nullptr);
        for (const auto& row : BuiltinRows) {
            TGOSTCrypt synchro(&random);
            synchro.GenerateSynchro();
            auto fw = std::make_unique<TKelvoUsbFirmware>();
            fw->SetMemory(*SyntheticMemory(row, random), GostKeyFromBytes(DemoKeyBytes.data()),
                          GostTableFromBytes(DemoTableBytes.data()), synchro.SY);
            fw->SetDate(BuiltinDate);
            if (!fw->Valid()) {
                std::fprintf(stderr, "built-in image %u/%u: %s\n", row.ProductId, row.VersionHW,
                             fw->ErrorStr().c_str());
                return 1;
            }
            collection.AddFirmware(fw.release());
        }
        collection.SaveToFile(argv[1]);
        if (std::filesystem::file_size(argv[1]) != BuiltinSize) {
            std::fprintf(stderr, "built-in collection has %ju bytes, expected %ju\n",
                         std::filesystem::file_size(argv[1]), BuiltinSize);
            std::filesystem::remove(argv[1]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
