// Arbitrary bytes as a line of the update history: a line read as a record is written back as a line
// that reads as the same record, and no line is read as a record that its writer would not make.
#include "app/JsonLine.h"
#include "app/UpdateHistory.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string line(reinterpret_cast<const char*>(AData), ASize);
    ParseJsonLine(line);
    const auto record = ParseUpdateRecord(line);
    if (!record)
        return 0;
    const std::string written = UpdateRecordJson(*record);
    const auto again = ParseUpdateRecord(written);
    if (!again || UpdateRecordJson(*again) != written)
        std::abort();
    return 0;
}
