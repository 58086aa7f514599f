#pragma once
// The simulated USB target controller (product id 2) with the one electronic target behind it.
// The controller answers the family's requests (identity, lock with the key, bootloader version,
// switch to its own bootloader) and forwards the target commands: LEDs, signal levels, sine table,
// start and stop while the target runs its firmware; erase, synchronisation block, 8-byte blocks
// strictly in order, validation and the factory commands while it runs its bootloader, which
// deciphers with the demo key and accepts only an authentic image of the target's own product.
// A target that leaves or changes mode is reported: 1 (gone) or 2 (read the frame information
// again), on the event path, or on the data path from firmware 8 on the generic driver.
//
// The target keeps its mode across a power cycle of the controller: once switched into its
// bootloader it stays there until it is told to leave it with a valid image in flash.
#include "sim/SimBootloader.h"
#include "sim/SimDevice.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

enum class TSimTargetMode { None, Normal, Bootloader };

// What the controller keeps across re-enumeration, the target behind it included.
struct TSimTargetControllerState {
    std::mutex Mutex;
    std::array<uint8_t, 8> Serial = {2, 20, 30, 40, 50, 60, 70, 80};
    std::array<uint8_t, 8> Key = {2, 7, 1, 8, 2, 8, 1, 8};
    uint16_t VersionHW = 2;
    uint16_t VersionFW = 8;
    bool Locked = false;
    uint16_t StubActual = 3;
    uint16_t StubUpdate = 3;

    // The target: its mode (None while it is not plugged into the controller), the mode it
    // starts in when powered (the bootloader after a switch, until it is told to leave), and
    // when it is first plugged in after the controller.
    TSimTargetMode TargetMode = TSimTargetMode::Normal;
    bool StayInBootloader = false;
    std::optional<uint32_t> TargetPlugAfterMs;
    uint8_t SinTableIndex = 0;
    uint16_t DataSize = 0x0100;
    uint16_t SignalLevel1 = 0;
    uint16_t SignalLevel2 = 0;
    bool TargetStarted = false;
    std::array<uint8_t, 8> TargetKey = {6, 5, 4, 3, 2, 1, 6, 5};
    bool TargetLocked = true;
    // The target was pulled out: the controller reports it at its next command to the target.
    bool GonePending = false;
    // Only the target leaves right after block N (counted from 1 after the synchronisation block).
    uint32_t TargetUnplugAtBlock = 0;
    // The target's bootloader side: product, serial number, key, flash, programming run and the
    // faults of its update (UnplugAtBlock and UnplugAfter make the controller drop off). Guarded
    // by Mutex above, not by its own.
    TSimBootloaderState Target;

    // The firmware version the target reports: the one inside a valid image, else 0xFFFF.
    uint16_t TargetFirmwareVersion() const { return Target.FlashFirmwareVersion(); }
};

// The target's firmware, as it is built for its product.
std::vector<uint8_t> SimTargetImage(uint16_t AProductId, uint16_t AVersionFW);

class TSimTargetController : public TSimDevice {
public:
    TSimTargetController(std::shared_ptr<TSimTargetControllerState> AState, TUsbDriverKind ADriver);

    // Powers the target up with the controller; a target still to come is plugged in later.
    void Attached(TSimBus& ABus, const std::string& APath) override;
    const std::shared_ptr<TSimTargetControllerState>& State() const { return fState; }

    // The target is plugged in (in the mode it powers up in) or pulled out now, with its report.
    void PlugTarget();
    void PullTarget();

private:
    // Pushes a report on the path the controller's firmware and binding use; nothing while the
    // controller is off the bus.
    void Report(uint8_t AReport, uint16_t AFirmware);
    // Under the state's lock: a command to a target that is not there; the pending gone report
    // goes out now.
    bool Absent(TSimTargetControllerState& S);
    // Under the state's lock: drop off the bus after this request when the fault names AStage,
    // and come back later when the faults say so.
    void DropOffAfter(TSimUpdateStage AStage);
    void DropOff();
    // Calls AAction on the controller personality of the physical device, later (bus timer).
    void Later(uint32_t AMilliseconds, void (TSimTargetController::*AAction)());
    bool Write(TSimTargetControllerState& S, const TSimVendorRequest& AReq);

    std::shared_ptr<TSimTargetControllerState> fState;
};
