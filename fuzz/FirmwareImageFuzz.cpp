// Arbitrary bytes as a firmware image file: reading either gives an image or raises the format
// error, and an image that reads as valid writes out and reads back as the same image.
#include "MyLib/KelvoFirmware.h"

#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(AData), ASize));
    TKelvoUsbFirmware image;
    try {
        image.LoadFromStream(in);
    } catch (const TFirmwareException&) {
        return 0;
    }
    if (!image.Valid())
        return 0;
    std::stringstream copy;
    TFirmwareFileHeader header;
    TKelvoUsbFirmware::FillFileHeader(header);
    copy.write(reinterpret_cast<const char*>(&header), sizeof header);
    image.WriteToStream(copy);
    TKelvoUsbFirmware again;
    again.LoadFromStream(copy);
    if (!again.Valid() || again.CRC() != image.CRC() || again.Name() != image.Name())
        std::abort();
    return 0;
}
