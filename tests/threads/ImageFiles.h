#pragma once
// Firmware image files in memory, as a download server holds them.
#include "MyLib/KelvoFirmware.h"
#include "tests/support/DemoCipher.h"
#include "tests/unit/FirmwareSamples.h"

#include <memory>
#include <sstream>

// A valid image for the product, hardware and firmware version, enciphered with the demo key.
inline std::unique_ptr<TKelvoUsbFirmware> MakeImage(uint16_t APid, uint16_t AHw, uint16_t AFw,
                                                    uint8_t ASeed = 1) {
    char marker[64];
    std::snprintf(marker, sizeof marker, "@FWID@P%X&H%X&F%X&CMSP430F147", APid, AHw, AFw);
    auto fw = std::make_unique<TKelvoUsbFirmware>();
    fw->SetMemory(*SampleMemory(0, 0, marker, 0x100, ASeed), DemoKey, DemoTable, {ASeed, 0});
    return fw;
}

// The image's file form: header, then the image.
inline std::vector<uint8_t> ImageFile(const TKelvoUsbFirmware& AImage) {
    std::ostringstream out;
    TFirmwareFileHeader header;
    TKelvoUsbFirmware::FillFileHeader(header);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    AImage.WriteToStream(out);
    const std::string bytes = out.str();
    return {bytes.begin(), bytes.end()};
}

inline std::vector<uint8_t> ImageFile(uint16_t APid, uint16_t AHw, uint16_t AFw, uint8_t ASeed = 1) {
    return ImageFile(*MakeImage(APid, AHw, AFw, ASeed));
}
