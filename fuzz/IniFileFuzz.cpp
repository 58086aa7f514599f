// Arbitrary bytes as a settings file: every read gives a value or the default, and a write keeps
// the file readable with the written value in place.
#include "platform/IniFile.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// The file every input is written to, in memory, removed when the run ends.
const std::string Name = "/dev/shm/kelvo-ini-fuzz-" + std::to_string(getpid()) + ".ini";

void RemoveFuzzFile() {
    unlink(Name.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(RemoveFuzzFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::ofstream(Name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(AData), std::streamsize(ASize));
    TIniFile ini(Name);
    // A section name taken from the input itself reaches the lines it holds.
    std::string section(reinterpret_cast<const char*>(AData), std::min<size_t>(ASize, 8));
    ini.ReadString(section, "UpdateStep", "");
    ini.ValueExists(section, "Calibration");
    ini.ReadInteger("Device", "UpdateStep", -1);
    // Every other input also takes a write (the slow part: a whole new file each time).
    if (ASize % 2 == 0)
        return 0;
    try {
        ini.WriteInteger("Device", "UpdateStep", 3);
    } catch (const EIniFileError&) {
        return 0;
    }
    if (ini.ReadInteger("Device", "UpdateStep", -1) != 3)
        std::abort();
    return 0;
}
