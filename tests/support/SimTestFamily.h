#pragma once
// Test-only pieces on both sides of the wire: a simple simulated family device (firmware side) with
// its bootloader personality, and a concrete TCommonKelvoUsbDevice (host side) that reads its
// identity with the same requests.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "platform/LittleEndian.h"
#include "sim/SimBus.h"
#include "sim/SimDevice.h"

#include <atomic>
#include <memory>
#include <mutex>

// Requests of the test family beyond the family-wide ones.
constexpr uint8_t TEST_REQ_VERSION = 0x8A;      // read 4: hardware, firmware
constexpr uint8_t TEST_REQ_SERIAL = 0x8B;       // read 8
constexpr uint8_t TEST_REQ_LOCKED = 0x91;       // read 1: not 0 when locked
constexpr uint8_t TEST_REQ_UNLOCK = 0x93;       // write 8: the device key
constexpr uint8_t TEST_REQ_LEAVE_STUB = 0x01;   // bootloader: back to the firmware
constexpr uint32_t TEST_IOCTL_LEVEL = 0x222054; // an extra driver code: 2 bytes in

// What the device keeps across re-enumeration.
struct TSimTestState {
    std::mutex Mutex;
    uint8_t Serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t Key[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    uint16_t VersionHW = 4;
    uint16_t VersionFW = 12;
    bool Locked = true;
    uint16_t ProtocolMajor = 2, ProtocolMinor = 7;
    uint16_t StubActual = 5, StubUpdate = 6;
    uint16_t Level = 0;
    int StubInfoChecks = 0;
    // The personalities, owned by whoever plugs them (the bus while plugged, the test).
    std::weak_ptr<TSimDevice> Firmware;
    std::weak_ptr<TSimDevice> Stub;
    TSimBus* Bus = nullptr;
};

// The bootloader personality: its own interface class, back to the firmware on request.
class TSimTestStub : public TSimDevice {
public:
    TSimTestStub(std::shared_ptr<TSimTestState> AState, TUsbDriverKind ADriver)
        : TSimDevice({0x0100, SIM_VENDOR_ID, 0x0200, 0x0100, 64}, ADriver, "stub"),
          fState(std::move(AState)) {
        SetVendorHandler(TEST_REQ_SERIAL, [this](const TSimVendorRequest&, std::vector<uint8_t>& AAnswer) {
            std::lock_guard lock(fState->Mutex);
            AAnswer.assign(fState->Serial, fState->Serial + 8);
            return true;
        });
        SetVendorHandler(TEST_REQ_LEAVE_STUB, [this](const TSimVendorRequest&, std::vector<uint8_t>&) {
            auto state = fState;
            LeaveBusAfterRequest([state] {
                std::shared_ptr<TSimDevice> firmware;
                TSimBus* bus;
                {
                    std::lock_guard lock(state->Mutex);
                    firmware = state->Firmware.lock();
                    bus = state->Bus;
                }
                if (firmware && bus)
                    bus->Plug(firmware);
            });
            return true;
        });
    }
    TGUID InterfaceClass() const override { return SIM_STUB_INTERFACE_CLASS; }
    std::shared_ptr<TSimTestState> fState;
};

class TSimTestFirmware : public TSimDevice {
public:
    TSimTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver, uint16_t AProductId = 32)
        : TSimDevice({AProductId, SIM_VENDOR_ID, 0x0200, 0x0112, 64}, ADriver, "test_fw"),
          fState(std::make_shared<TSimTestState>()) {
        fState->Bus = &ABus;
        auto read = [this](uint8_t ARequest, auto AFill) {
            SetVendorHandler(ARequest,
                             [this, AFill](const TSimVendorRequest& AReq, std::vector<uint8_t>& AAnswer) {
                                 if (!AReq.DeviceToHost())
                                     return false;
                                 std::lock_guard lock(fState->Mutex);
                                 AFill(*fState, AAnswer);
                                 return true;
                             });
        };
        read(0x45, [](TSimTestState& S, std::vector<uint8_t>& A) {
            AppendLE16(A, S.ProtocolMajor);
            AppendLE16(A, S.ProtocolMinor);
        });
        read(0xFE, [](TSimTestState& S, std::vector<uint8_t>& A) {
            AppendLE16(A, S.StubActual);
            AppendLE16(A, S.StubUpdate);
        });
        read(TEST_REQ_VERSION, [](TSimTestState& S, std::vector<uint8_t>& A) {
            AppendLE16(A, S.VersionHW);
            AppendLE16(A, S.VersionFW);
        });
        read(TEST_REQ_SERIAL,
             [](TSimTestState& S, std::vector<uint8_t>& A) { A.assign(S.Serial, S.Serial + 8); });
        read(TEST_REQ_LOCKED,
             [](TSimTestState& S, std::vector<uint8_t>& A) { A = {uint8_t(S.Locked ? 1 : 0)}; });
        SetVendorHandler(TEST_REQ_UNLOCK, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
            std::lock_guard lock(fState->Mutex);
            if (AReq.Data.size() != 8 || !std::equal(AReq.Data.begin(), AReq.Data.end(), fState->Key))
                return false;
            fState->Locked = false;
            return true;
        });
        SetVendorHandler(0xFD, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
            std::lock_guard lock(fState->Mutex);
            ++fState->StubInfoChecks;
            return AReq.wLength == 0;
        });
        SetVendorHandler(0xFF, [this, ADriver](const TSimVendorRequest&, std::vector<uint8_t>&) {
            // Answer, drop off the bus, come back as the bootloader sharing this device's state.
            auto state = fState;
            LeaveBusAfterRequest([state, ADriver] {
                auto stub = std::make_shared<TSimTestStub>(state, ADriver);
                TSimBus* bus;
                {
                    std::lock_guard lock(state->Mutex);
                    state->Stub = stub;
                    bus = state->Bus;
                }
                bus->Plug(stub);
            });
            return true;
        });
        SetIoControlHandler(TEST_IOCTL_LEVEL,
                            [this](const std::vector<uint8_t>& AIn, uint32_t, std::vector<uint8_t>&) {
                                if (AIn.size() != 2)
                                    return ERROR_INVALID_PARAMETER;
                                std::lock_guard lock(fState->Mutex);
                                fState->Level = GetLE16(AIn.data());
                                return ERROR_SUCCESS;
                            });
    }

    std::shared_ptr<TSimTestState> fState;
};

// A firmware personality plugged into ABus, known to its state for the way back from the bootloader.
inline std::shared_ptr<TSimTestFirmware> PlugTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver) {
    auto device = std::make_shared<TSimTestFirmware>(ABus, ADriver);
    device->fState->Firmware = device;
    ABus.Plug(device);
    return device;
}

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
