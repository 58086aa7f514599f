#pragma once
// The simulated bench of the front ends: the DEVICE text of --simulate (KIND[,NAME=VALUE]...), the
// registry of device kinds that can be simulated, and the plugging of the parsed devices into the
// simulated bus. Each device family adds its kind to the registry; a kind may accept names of its
// own besides the common ones.
#include "platform/UsbBus.h"
#include "sim/SimBootloader.h"
#include "sim/SimPhysicalDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class TSimBus;
class TSimBusDevice;
class TSimPhysicalDevice;

using TSimBytes8 = std::array<uint8_t, 8>;

// One --simulate device. Unset values are the kind's defaults.
struct TSimDeviceOptions {
    std::string fKind;
    std::optional<TSimBytes8> fSerial;
    std::optional<uint16_t> fPid;
    std::optional<uint16_t> fHw;
    std::optional<uint16_t> fFw;
    std::optional<bool> fLocked;
    std::optional<TSimBytes8> fKey;
    std::optional<TUsbDriverKind> fDriver;
    // Delay after start-up before the device is plugged in; 0 plugs it before the first search.
    uint32_t fPlugAfterMs = 0;
    // Update faults (unplug-at-block, unplug-after, replug-after-ms, fail), valid for every kind.
    TSimUpdateFaults fFaults;
    // The kind's own names, checked against TSimKind::fExtraNames.
    std::map<std::string, std::string> fExtra;
};
using PSimDeviceOptions = TSimDeviceOptions*;

struct TSimKind {
    std::string fName;
    std::string fDescription;
    std::set<std::string> fExtraNames;
    // Checks the kind's own values when the DEVICE text is parsed, so a bad one is reported there
    // (false with AError naming the value); may be empty when the kind has nothing to check.
    std::function<bool(const TSimDeviceOptions& AOptions, std::string& AError)> fCheckExtra;
    // Builds the simulated device; ALatencyMs is the delay of each control transfer.
    std::function<std::shared_ptr<TSimBusDevice>(const TSimDeviceOptions& AOptions, uint32_t ALatencyMs)>
        fCreate;
    // Help lines for the kind's own names, shown instead of the bare list when given.
    std::string fHelp = {};
    // The kind gives the update faults to a device behind it itself (a controller's target); they
    // are not the physical device's own then.
    bool fFaultsBehind = false;
};

class TSimKinds {
public:
    // The kinds of every device family built into the programs.
    static const TSimKinds& BuiltIn();

    // False when a kind of that name is already registered.
    bool Register(TSimKind AKind);
    const TSimKind* Find(const std::string& AName) const;
    std::vector<std::string> Names() const;

private:
    std::map<std::string, TSimKind> fKinds;
};

// Parses one DEVICE text. On failure AError says what is wrong, naming the offending part.
bool ParseSimDevice(const std::string& AText, const TSimKinds& AKinds, TSimDeviceOptions& AOptions,
                    std::string& AError);

// Eight decimal numbers 0..255 joined by dashes, as serial numbers and device keys are written.
std::optional<TSimBytes8> ParseDashedBytes(const std::string& AText);
// An update stage by name: switch, erase, synchro, validate or reconnect.
std::optional<TSimUpdateStage> ParseStage(const std::string& AText);
// One or more bootloader request names (erase, synchro, write, validate, reconnect, hwinfo, serial)
// joined by '+'.
std::optional<std::set<TSimStubRequest>> ParseRequests(const std::string& AText);

// Builds one device of its kind with its update faults, not yet plugged in; none for an unknown kind.
std::shared_ptr<TSimBusDevice> CreateSimDevice(const TSimDeviceOptions& AOptions, const TSimKinds& AKinds,
                                               uint32_t ALatencyMs);

// A family device running its firmware, as a kind's fCreate makes it: bound to the driver the
// options name (ADefaultDriver when they name none), each control transfer taking ALatencyMs.
std::shared_ptr<TSimBusDevice> CreateRunningSimDevice(TSimFamilyBinding AFamily,
                                                      const TSimDeviceOptions& AOptions, uint32_t ALatencyMs,
                                                      TUsbDriverKind ADefaultDriver = TUsbDriverKind::Family);

// Builds every device, gives it its update faults and plugs it into ABus: at once when it has no
// plug-after-ms, else after that delay. The devices stay alive in the result (and the bus) for the run.
std::vector<std::shared_ptr<TSimBusDevice>>
PlugSimDevices(TSimBus& ABus, const std::vector<TSimDeviceOptions>& ADeviceOptions, const TSimKinds& AKinds,
               uint32_t ALatencyMs);
