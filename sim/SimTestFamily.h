#pragma once
// A simple simulated family device with its bootloader personality, for the suites and benchmarks
// that drive the family-wide code paths without a real family's behaviour.
#include "sim/SimBus.h"
#include "sim/SimDevice.h"

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
    TSimTestStub(std::shared_ptr<TSimTestState> AState, TUsbDriverKind ADriver);
    TGUID InterfaceClass() const override { return SIM_STUB_INTERFACE_CLASS; }
    std::shared_ptr<TSimTestState> fState;
};

class TSimTestFirmware : public TSimDevice {
public:
    TSimTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver, uint16_t AProductId = 32);

    std::shared_ptr<TSimTestState> fState;
};

// A firmware personality plugged into ABus, known to its state for the way back from the bootloader.
std::shared_ptr<TSimTestFirmware> PlugTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver);
