#include "trace/StreamCapture.h"

#include "MyLib/OpticalFrames.h"

void TStreamCapture::AddBlock(const uint8_t* AData, size_t ASize) {
    if (fRecords) {
        const uint32_t length = uint32_t(ASize);
        fBytes += char(KSensorRecordId);
        for (int shift = 0; shift < 32; shift += 8)
            fBytes += char(length >> shift);
    }
    fBytes.append(reinterpret_cast<const char*>(AData), ASize);
}
