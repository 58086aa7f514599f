#pragma once
// The host side of the simulated test family: a concrete family device that reads its identity
// with the test family's requests.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "platform/LittleEndian.h"
#include "sim/SimTestFamily.h"

// The host side: a concrete family device reading the test family's identity.
class TTestKelvoDevice : public TCommonKelvoUsbDevice {
public:
    using TCommonKelvoUsbDevice::TCommonKelvoUsbDevice;

    bool GetSerialNum(PSerialNum ASerial) override { return ReadSerialNum(TEST_REQ_SERIAL, ASerial); }
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override {
        uint8_t answer[4];
        if (!VendorRequestRead(answer, 4, TEST_REQ_VERSION, 0, 0))
            return false;
        AHW = GetLE16(answer);
        ASF = GetLE16(answer + 2);
        return true;
    }
    bool GetLocked(bool& ALocked) override {
        uint8_t answer = 0;
        if (!VendorRequestRead(&answer, 1, TEST_REQ_LOCKED, 0, 0))
            return false;
        ALocked = answer != 0;
        return true;
    }
    bool Unlock(const TDeviceKey& AKey) override {
        if (!VendorRequestWrite(AKey.data(), 8, TEST_REQ_UNLOCK, 0, 0))
            return false;
        fLocked = false;
        return true;
    }
    std::string DeveloperName() override { return "Test bench"; }
    TKelvoUsbTransceiver UsbTransceiver() override { return fTransceiver; }
    void ProtocolVersionChanged() override { ++fProtocolChanges; }

    TKelvoUsbTransceiver fTransceiver = KELVO_USB_D12;
    int fProtocolChanges = 0;
};
