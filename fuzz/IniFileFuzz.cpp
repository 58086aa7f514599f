// Arbitrary bytes as a settings file: every read gives a value or the default, and a write keeps
// the file readable with the written value in place.
#include "platform/IniFile.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string FuzzFile() {
    return "/dev/shm/kelvo-ini-fuzz-" + std::to_string(getpid()) + ".ini";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static const std::string Name = FuzzFile();
    std::ofstream(Name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(AData), std::streamsize(ASize));
    TIniFile ini(Name);
    // Section and key names taken from the input itself reach the lines it holds.
    std::string text(reinterpret_cast<const char*>(AData), ASize);
    std::string section = text.substr(0, std::min<size_t>(ASize, 8));
    for (const std::string& s : {std::string("Device"), section}) {
        ini.ReadString(s, "UpdateStep", "");
        ini.ReadInteger(s, "UpdateStep", -1);
        ini.ReadBool(s, "Calibration", false);
        ini.SectionExists(s);
        ini.ValueExists(s, "Calibration");
    }
    try {
        ini.WriteInteger("Device", "UpdateStep", 3);
    } catch (const EIniFileError&) {
        return 0;
    }
    if (ini.ReadInteger("Device", "UpdateStep", -1) != 3)
        std::abort();
    return 0;
}
