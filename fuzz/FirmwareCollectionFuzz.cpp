// Arbitrary bytes as a firmware collection file: reading either gives a collection or raises the
// format error, and every image it keeps can be looked up.
#include "MyLib/KelvoFirmware.h"

#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(AData), ASize));
    TKelvoUsbFirmwareCollection collection(nullptr);
    try {
        collection.LoadFromStream(in);
    } catch (const TFirmwareException&) {
    }
    for (int i = 0; i < collection.Count(); ++i) {
        const TKelvoUsbFirmware* image = collection.Firmwares(i);
        if (!image || !collection.FindById(image->ProductID(), image->VersionHW()))
            std::abort();
    }
    return 0;
}
