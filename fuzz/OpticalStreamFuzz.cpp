// Arbitrary bytes into the optical sensor's input: the first two bytes pick the board (new, old with
// records, old with raw reads), the entry point and the modes; the rest is split into reads at
// bytes 0xA5 so one input exercises several reads in a row.
#include "MyLib/OpticalStream.h"
#include "MyLib/WinUsb.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The debugger lines of bad records would only slow the run down.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetDebugOutput([](const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2)
        return 0;
    static const uint16_t Boards[][2] = {{5, 11}, {2, 10}, {2, 9}, {5, 5}};
    const uint8_t mode = AData[0], osc = AData[1];
    TOpticalStream stream;
    stream.SetDevice(Boards[mode & 3][0], Boards[mode & 3][1]);
    stream.SetSkipFrames(mode & 8);
    stream.SetUseCalibration(mode & 16);
    stream.SetCalibration({0, 1.5f, NAN, 1});
    if (mode & 32)
        stream.Aim().SetDynamicTarget(0, 91, 0, -91);
    if (mode & 64) {
        stream.SetOscMode(true);
        stream.SetOscSamples(osc);
        stream.SetOnOscData([](const std::vector<uint16_t>& ASamples) {
            if (ASamples.empty())
                std::abort();
        });
    }
    // A point that counts never carries a value that is not finite.
    auto check = [](const TQueuedPoint_V1& APoint) {
        if (APoint.valid && !(std::isfinite(APoint.xmm) && std::isfinite(APoint.ymm)))
            std::abort();
    };
    // The high bit leaves the points in the stream's queue instead of a handler.
    if (!(mode & 128))
        stream.SetOnNewPoint(check);
    const bool blocks = mode & 4;
    size_t start = 2;
    for (size_t i = 2; i <= ASize; ++i)
        if (i == ASize || AData[i] == 0xA5) {
            if (blocks)
                stream.DoData(AData + start, i - start);
            else
                stream.ProcessData(AData + start, i - start);
            start = i + 1;
        }
    if (stream.Pending() > TOpticalStream::KBufferCapacity)
        std::abort();
    for (const auto& point : stream.GetPoints())
        check(point);
    return 0;
}
