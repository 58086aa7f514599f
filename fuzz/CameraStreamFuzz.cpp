// Arbitrary bytes into the camera sensor's input: the first byte picks the protocol, the entry point
// (family-driver reads or generic-driver blocks) and the filters; the rest is split at bytes 0xA5 into
// reads or blocks, so one input exercises several in a row.
#include "MyLib/CameraStream.h"
#include "MyLib/WinUsb.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1)
        return 0;
    static const uint16_t Protocols[] = {18, 17, 11, 10, 2, 1, 16, 0};
    // Fault reports go to the debug output: checked, not printed.
    static const bool quiet = [] {
        SetDebugOutput([](const std::string& ALine) {
            if (ALine.empty())
                std::abort();
        });
        return true;
    }();
    (void)quiet;
    const uint8_t mode = AData[0];
    TCameraStream stream;
    stream.SetProtocol(Protocols[mode & 7]);
    stream.Sensor().PixToMMScale = (mode & 64) ? NAN : 6.5;
    stream.SetUseXYFilter(!(mode & 16));
    if (mode & 32)
        stream.FixAngle(0.3);
    stream.SetOnNewPoint([](const TQueuedPoint_V1& APoint) {
        // A point that counts never carries a value that is not finite.
        if (APoint.valid && !(std::isfinite(APoint.xmm) && std::isfinite(APoint.ymm)))
            std::abort();
    });
    stream.SetOnImage([](const TQVDataPacket_V1& APacket, const TQVBitmap& ABitmap) {
        // A bitmap is made only of bytes that arrived, and covers exactly its size.
        if (ABitmap.Pixels.size() != size_t(ABitmap.Width) * ABitmap.Height ||
            APacket.dwExtraDataSize < ABitmap.Pixels.size())
            std::abort();
    });
    const bool blocks = mode & 8;
    size_t start = 1;
    for (size_t i = 1; i <= ASize; ++i)
        if (i == ASize || AData[i] == 0xA5) {
            if (blocks)
                stream.DoData(AData + start, i - start);
            else
                stream.ProcessData(AData + start, i - start);
            start = i + 1;
        }
    return 0;
}
