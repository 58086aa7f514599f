#pragma once
// The simulated trigger controller (product id 5): its vendor requests (identity, lock with or
// without the key by firmware version, regions on hardware 4 and firmware 8 or later), the family
// requests every device answers (bootloader version, switch to the bootloader), and, while started,
// one event per trigger reading: a 16-bit level whose bit 15 marks a reading it does not vouch for.
#include "sim/SimDevice.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

// What the controller keeps across re-enumeration.
struct TSimTriggerState {
    std::mutex Mutex;
    std::array<uint8_t, 8> Serial = {5, 20, 30, 40, 50, 60, 70, 80};
    std::array<uint8_t, 8> Key = {2, 7, 1, 8, 2, 8, 1, 8};
    uint16_t VersionHW = 4;
    uint16_t VersionFW = 8;
    bool Locked = false;
    uint16_t Regions = 0x0FFF;
    uint16_t StubActual = 3;
    uint16_t StubUpdate = 3;
    bool Started = false;
    int Stops = 0;
};

class TSimTriggerController : public TSimDevice {
public:
    TSimTriggerController(std::shared_ptr<TSimTriggerState> AState, TUsbDriverKind ADriver);

    const std::shared_ptr<TSimTriggerState>& State() const { return fState; }

    // While started: one reading of ALevel (0..0x7FFF); AValid false sets bit 15. False when nothing
    // was sent.
    bool PushLevel(uint16_t ALevel, bool AValid = true);

private:
    std::shared_ptr<TSimTriggerState> fState;
};
