// Arbitrary bytes as one block of the family driver's stream: the common device splits it into data
// and event records, and every payload it hands on must lie inside the block.
#include "MyLib/CommonKelvoUsbDevice.h"

#include <cstdlib>
#include <cstring>

namespace {

class TRecordChecker : public TCommonKelvoUsbDevice {
public:
    TRecordChecker() : TCommonKelvoUsbDevice(nullptr, "fuzz") {}

    void Feed(const uint8_t* AData, size_t ASize) {
        TUsbBlock block(new uint8_t[ASize]);
        if (ASize > 0)
            std::memcpy(block.get(), AData, ASize);
        fBegin = block.get();
        fEnd = fBegin + ASize;
        ProcessData(std::move(block), uint32_t(ASize));
    }
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override { Check(ABuffer, ABufferSize); }
    // Never opened: the identity is never asked for.
    bool GetSerialNum(PSerialNum) override { return false; }
    bool GetVersion(uint16_t&, uint16_t&) override { return false; }
    bool GetLocked(bool&) override { return false; }
    bool Unlock(const TDeviceKey&) override { return false; }
    std::string DeveloperName() override { return {}; }
    TKelvoUsbTransceiver UsbTransceiver() override { return KELVO_USB_D12; }
    void DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) override { Check(ABuffer, ABufferSize); }

private:
    void Check(const uint8_t* ABuffer, uint32_t ABufferSize) const {
        if (ABuffer < fBegin || ABuffer > fEnd || ABufferSize > size_t(fEnd - ABuffer))
            std::abort();
    }

    const uint8_t* fBegin = nullptr;
    const uint8_t* fEnd = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static TRecordChecker Device;
    Device.Feed(AData, ASize);
    return 0;
}
