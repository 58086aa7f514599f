#pragma once
// Test-only pieces for programming a simulated bootloader through the library's bootloader class:
// images made by the library's builder from the simulator's plain images, and the updater's
// programming run without the window around it.
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoUsbStub.h"
#include "sim/SimBootloader.h"
#include "tests/support/DemoCipher.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

inline constexpr uint32_t KImageSize = 0xDF00;

// The synchronisation block and enciphered main memory the library's builder makes for a plain
// image of the given identity (the bytes the updater sends).
inline std::vector<uint8_t> BuildImage(uint16_t APid, uint16_t AHw, uint16_t AFw) {
    auto memory = std::make_unique<TMSP430Memory>();
    auto* raw = reinterpret_cast<uint8_t*>(memory.get());
    std::fill(raw, raw + sizeof *memory, uint8_t(0xFF));
    const auto plain = SimPlainImage(APid, AHw, AFw, SimProcessorOf(APid, AHw));
    std::copy(plain.begin(), plain.end(), reinterpret_cast<uint8_t*>(&memory->Main));
    auto fw = std::make_unique<TKelvoUsbFirmware>();
    fw->SetMemory(*memory, DemoKey, DemoTable, TGOSTDataBlock{0x01234567, 0x89ABCDEF});
    const auto* bytes = reinterpret_cast<const uint8_t*>(fw->Bin());
    return std::vector<uint8_t>(bytes, bytes + 8 + KImageSize);
}

inline TGOSTDataBlock Synchro(const std::vector<uint8_t>& AImage) {
    TGOSTDataBlock block;
    std::memcpy(&block, AImage.data(), sizeof block);
    return block;
}

// Every block of the image in order; false at the first refusal.
inline bool WriteBlocks(TKelvoStubUSBDevice& AStub, const std::vector<uint8_t>& AImage) {
    const uint16_t block = AStub.RecommendedDataBlockSize();
    for (uint32_t address = 0; address < KImageSize; address += block)
        if (!AStub.WriteFlash(uint16_t(address), AImage.data() + 8 + address, block))
            return false;
    return true;
}

// What the updater runs on a bootloader: erase, synchronisation block, every block, validation.
inline bool Program(TKelvoStubUSBDevice& AStub, const std::vector<uint8_t>& AImage) {
    return AStub.EraseFlash() && AStub.SetSynchro(Synchro(AImage)) && WriteBlocks(AStub, AImage) &&
           AStub.ValidateFlash();
}
