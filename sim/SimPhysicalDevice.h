#pragma once
// One physical simulated family device with its two personalities: the running firmware (a family
// sim: optical sensor, camera sensor, pulse sensor, trigger controller) and its USB bootloader
// (sim/SimBootloader). Both share the device's state: serial number, key, hardware version, and the
// flash, which holds the firmware image.
//
// The road of an update on the simulated bus:
// - the running device answers the switch request (0xFF), drops off the bus and its bootloader
//   arrives, reporting the device's identity;
// - the bootloader is erased and programmed; after ReconnectUsb (0x82) it drops off and comes back
//   as the running device when its flash holds a valid image, reporting the product id and
//   firmware version written in that image, with its calibration wiped by the erase; a bootloader
//   whose flash holds no valid image comes back as a bootloader; an image of another family's
//   product makes it a device of that family;
// - programmed faults (TSimUpdateFaults) make it drop off at a given point and, with ReplugAfterMs,
//   come back later as whatever personality it then is.
//
// Ownership: each personality keeps its physical device alive (TSimDevice::Unit); the physical
// device refers to its current personality weakly. A test that wants to plug the device in again
// after a drop-off keeps the physical device and calls PlugInto, on the same bus or a new one.
#include "sim/SimBootloader.h"
#include "sim/SimDevice.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TSimBus;

// The identity both personalities share.
struct TSimUnitIdentity {
    uint16_t ProductId = 0;
    std::array<uint8_t, 8> Serial{};
    std::array<uint8_t, 8> Key{};
    uint16_t VersionHW = 0;
    uint16_t VersionFW = 0;
    uint16_t StubVersion = 0;
};

// A target behind a controller, for reports.
struct TSimTargetReport {
    bool Present = false;
    bool InBootloader = false;
    uint16_t ProductId = 0;
    uint16_t VersionHW = 0;
    uint16_t VersionFW = 0; // 0xFFFF: its flash holds no valid image
    std::array<uint8_t, 8> Serial{};
    bool FlashValid = false;
};

// A wireless controller's radio, for reports: its power, the power-off requests it took, and each
// target on it.
struct TSimRadioTargetReport {
    uint8_t Index = 0;
    bool InBootloader = false;
    bool InReach = true;
    uint16_t ProductId = 0;
    uint16_t VersionHW = 0;
    uint16_t VersionFW = 0; // 0xFFFF: its flash holds no valid image
    std::array<uint8_t, 8> Serial{};
    bool FlashValid = false;
};
// A wireless sensor heard through the controller: what it sent and what its commands left.
struct TSimRadioSensorReport {
    std::string Model; // the short model name, e.g. "WD-03"
    uint16_t Serial = 0;
    uint8_t TargetIndex = 0;
    uint64_t DataPackets = 0;
    uint64_t StatusPackets = 0; // battery and no-signal reports
    uint64_t Echoes = 0;        // of the optical command channel
    uint64_t CommandsApplied = 0;
    uint64_t CommandsAbandoned = 0; // cancelled, malformed or refused
    uint32_t ScaleWord = 0;         // WD-03 family: the raw scale word
    int VoltageStep = 0;
    bool Fused = true;
};
struct TSimRadioReport {
    bool PowerOn = false;
    int PowerOffRequests = 0;
    std::vector<TSimRadioTargetReport> Targets;
    std::vector<TSimRadioSensorReport> Sensors;
};

// How a family's state is read and written and brought up as the running device.
struct TSimFamilyBinding {
    // The --simulate kind of the running device, e.g. "optical-sensor".
    std::string Kind;
    // The product ids this family's firmware is built for; an image of another product makes the
    // device that product's family.
    std::vector<uint16_t> ProductIds;
    std::function<TSimUnitIdentity()> Identity;
    // Takes the shared identity back when the firmware starts after the bootloader ran.
    std::function<void(const TSimUnitIdentity& AIdentity)> Restore;
    // The flash was erased: the parameters the firmware kept there are gone.
    std::function<void()> Wipe;
    // The calibration bytes the firmware keeps in flash, as the report shows them.
    std::function<std::vector<uint8_t>()> Calibration;
    // A new running personality over the family's state.
    std::function<std::shared_ptr<TSimDevice>(TUsbDriverKind ADriver)> MakeRunning;
    // The target behind a controller; empty for the families that have none.
    std::function<TSimTargetReport()> Target;
    // The radio of a wireless controller; empty for the families that have none.
    std::function<TSimRadioReport()> Radio;
};

// The final state of a physical device, for reports.
struct TSimUnitReport {
    std::string Kind;
    bool InBootloader = false;
    uint16_t ProductId = 0;
    uint16_t VersionHW = 0;
    uint16_t VersionFW = 0; // 0xFFFF: a bootloader whose flash holds no valid image
    uint16_t StubVersion = 0;
    std::array<uint8_t, 8> Serial{};
    bool FlashValid = false;
    std::vector<uint8_t> Calibration;
    std::optional<TSimTargetReport> Target;
    std::optional<TSimRadioReport> Radio;
};

class TSimPhysicalDevice : public std::enable_shared_from_this<TSimPhysicalDevice> {
public:
    enum class TMode { Running, Bootloader };

    // A device running its firmware; its flash holds a valid image of that firmware (built for
    // AProcessorId, 0: the processor of its product and board).
    static std::shared_ptr<TSimPhysicalDevice>
    CreateRunning(TSimFamilyBinding AFamily, TUsbDriverKind ADriver, uint16_t AProcessorId = 0);
    // A device left in its bootloader with AFlash (SIM_IMAGE_SIZE plain bytes) in flash.
    static std::shared_ptr<TSimPhysicalDevice> CreateInBootloader(TSimFamilyBinding AFamily,
                                                                  TUsbDriverKind ADriver,
                                                                  uint16_t AProcessorId,
                                                                  std::vector<uint8_t> AFlash);

    // The personality of the current mode (the same object while it lives).
    std::shared_ptr<TSimDevice> Personality();
    // Plugs the current personality into ABus (the bus it was on, or a new one) and returns it.
    std::shared_ptr<TSimDevice> PlugInto(TSimBus& ABus);
    TMode Mode() const;
    // The bootloader's side of the state (identity, flash, programming run, faults).
    const std::shared_ptr<TSimBootloaderState>& BootloaderState() const { return fStub; }
    void SetFaults(const TSimUpdateFaults& AFaults);
    // Delay of each control transfer of every personality.
    void SetLatency(std::chrono::microseconds ALatency);
    TSimUnitReport Report() const;

private:
    struct TPrivate {};

public:
    TSimPhysicalDevice(TPrivate, TSimFamilyBinding AFamily, TUsbDriverKind ADriver, TMode AMode);

private:
    std::shared_ptr<TSimDevice> MakePersonality(TMode AMode);
    // The running device answered the switch request and has left the bus.
    void SwitchedToBootloader(TSimBus* ABus);
    // The bootloader has left the bus: asked to leave programming mode (AComeBackNow), or dropped off
    // by a fault (it comes back after ReplugAfterMs, if given).
    void LeftBus(TSimBus* ABus, bool AComeBackNow);
    // Plugs the current personality into ABus now, or after AAfterMs when given.
    void ComeBack(TSimBus* ABus, std::optional<uint32_t> AAfterMs);
    // Fills the bootloader's identity from the family's state.
    void ShareIdentity();
    TSimFamilyBinding Family() const;

    TSimFamilyBinding fFamily; // guarded by fMutex once created
    TUsbDriverKind fDriver;
    std::shared_ptr<TSimBootloaderState> fStub = std::make_shared<TSimBootloaderState>();

    mutable std::mutex fMutex;
    TMode fMode;
    std::chrono::microseconds fLatency{0};
    std::weak_ptr<TSimDevice> fPersonality;
    TMode fPersonalityMode = TMode::Running;
};
