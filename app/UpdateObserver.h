#pragma once
// What the updater's window does, told as it happens to whoever wants a record of the run beyond
// the log: every log line, each device and target found, the offer, the stages and progress of
// an update and how it ended. The window calls the observer it is given; every member does
// nothing unless overridden.
#include "app/UpdateStates.h"

#include <cstdint>
#include <optional>
#include <string>

// Whom an event is about: a device, or a target behind a controller, by its serial number.
struct TUpdateSubject {
    // "" when it could not be read.
    std::string fSerial;
    // The target's index behind its controller; none for a USB device.
    std::optional<int> fTarget;
};

// A USB device opened by the window, as it identified itself.
struct TFoundDevice {
    std::string fPath;
    // optical-sensor, camera-sensor, pulse-sensor, trigger, wireless-controller,
    // target-controller or bootloader (a device in its bootloader).
    std::string fKind;
    std::string fSerial;
    uint16_t fProductId = 0;
    uint16_t fVersionHW = 0;
    // None for a bootloader, which does not know the firmware it holds.
    std::optional<uint16_t> fVersionFW;
    std::optional<bool> fLocked;
};

// A target reported behind a controller.
struct TFoundTarget {
    // wireless-controller or target-controller
    std::string fController;
    int fIndex = 0;
    std::string fSerial;
    uint16_t fProductId = 0;
    uint16_t fVersionHW = 0;
    // None for a bootloader target that holds no usable firmware.
    std::optional<uint16_t> fVersionFW;
    bool fInBootloader = false;
};

enum class TUpdateStage { EnterBootloader, Erase, Write, Validate, LeaveBootloader, ParametersRestored };

enum class TUpdateOutcome {
    Updated,
    Failed,
    // Left between the switch into the bootloader and the restored parameters (a device, with its
    // journal step) or cut off during its flash (a target).
    Unfinished,
    // Holds the firmware offered for it, or newer: nothing to update.
    Current,
};

// Why an update failed or stopped.
enum class TFailReason {
    None,
    Open,           // the device could not be opened
    Unlock,         // a wrong key, or the unlock failed
    SaveParameters, // the parameters could not be saved before the update
    Switch,         // the device refused to switch into its bootloader
    BootloaderInfo, // the bootloader's serial number or hardware could not be read
    NoImage,        // no firmware image for the device
    InvalidImage,   // the image failed its own checks
    Erase,          // the bootloader refused a request of the flash sequence
    Synchro,
    Write,
    Validate,          // every block went in and the bootloader did not validate the image
    Gone,              // the device or target went away during the flash
    Interrupted,       // the program was asked to close
    RestoreParameters, // the parameters could not be put back after the update
};

class TUpdateObserver {
public:
    virtual ~TUpdateObserver() = default;
    virtual void Logged(const std::string&) {}
    virtual void DeviceFound(const TFoundDevice&) {}
    virtual void TargetFound(const TFoundTarget&) {}
    // Update is offered: firmware AVersion from the built-in collection or downloaded.
    virtual void Offered(const TUpdateSubject&, uint16_t /*AVersion*/, bool /*ADownloaded*/) {}
    virtual void StageBegun(const TUpdateSubject&, TUpdateStage) {}
    // After every block written: ADone of ATotal blocks.
    virtual void Progressed(const TUpdateSubject&, uint32_t /*ADone*/, uint32_t /*ATotal*/) {}
    // AStep: a device's journal step when it is unfinished.
    virtual void Ended(const TUpdateSubject&, TUpdateOutcome, TFailReason,
                       std::optional<TUpdateStep> /*AStep*/) {}
};
