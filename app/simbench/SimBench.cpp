#include "app/simbench/SimBench.h"

#include "app/simbench/SimKindBootloader.h"
#include "app/simbench/SimKindCameraSensor.h"
#include "app/simbench/SimKindOpticalSensor.h"
#include "app/simbench/SimKindPulseSensor.h"
#include "app/simbench/SimKindTargetController.h"
#include "app/simbench/SimKindTrigger.h"
#include "app/simbench/SimKindValues.h"
#include "app/simbench/SimKindWirelessController.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

namespace {

// The built-in kinds. Each device family registers its kind here.
TSimKinds MakeBuiltInKinds() {
    TSimKinds kinds;
    RegisterOpticalSensorKind(kinds);
    RegisterCameraSensorKind(kinds);
    RegisterPulseSensorKind(kinds);
    RegisterTriggerKind(kinds);
    RegisterWirelessControllerKind(kinds);
    RegisterTargetControllerKind(kinds);
    RegisterBootloaderKind(kinds);
    return kinds;
}

} // namespace

std::optional<TSimUpdateStage> ParseStage(const std::string& AText) {
    static const std::map<std::string, TSimUpdateStage> stages = {{"switch", TSimUpdateStage::Switch},
                                                                  {"erase", TSimUpdateStage::Erase},
                                                                  {"synchro", TSimUpdateStage::Synchro},
                                                                  {"validate", TSimUpdateStage::Validate},
                                                                  {"reconnect", TSimUpdateStage::Reconnect}};
    const auto it = stages.find(AText);
    return it == stages.end() ? std::nullopt : std::optional(it->second);
}

// One or more request names joined by '+'.
std::optional<std::set<TSimStubRequest>> ParseRequests(const std::string& AText) {
    static const std::map<std::string, TSimStubRequest> names = {
        {"erase", TSimStubRequest::Erase},         {"synchro", TSimStubRequest::Synchro},
        {"write", TSimStubRequest::Write},         {"validate", TSimStubRequest::Validate},
        {"reconnect", TSimStubRequest::Reconnect}, {"hwinfo", TSimStubRequest::HwInfo},
        {"serial", TSimStubRequest::Serial}};
    if (AText.empty())
        return std::nullopt;
    std::set<TSimStubRequest> requests;
    for (const std::string& name : SplitSimText(AText, '+')) {
        const auto it = names.find(name);
        if (it == names.end())
            return std::nullopt;
        requests.insert(it->second);
    }
    return requests;
}

std::optional<TSimBytes8> ParseDashedBytes(const std::string& AText) {
    const auto parts = SplitSimText(AText, '-');
    if (parts.size() != 8)
        return std::nullopt;
    TSimBytes8 bytes{};
    for (size_t i = 0; i < parts.size(); ++i) {
        // Decimal only: "0x10" is not a dashed-decimal byte.
        if (parts[i].empty() || parts[i].find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const auto value = ParseNumber(parts[i], 255);
        if (!value)
            return std::nullopt;
        bytes[i] = static_cast<uint8_t>(*value);
    }
    return bytes;
}

const TSimKinds& TSimKinds::BuiltIn() {
    static const TSimKinds kinds = MakeBuiltInKinds();
    return kinds;
}

bool TSimKinds::Register(TSimKind AKind) {
    const std::string name = AKind.fName;
    return fKinds.emplace(name, std::move(AKind)).second;
}

const TSimKind* TSimKinds::Find(const std::string& AName) const {
    const auto it = fKinds.find(AName);
    return it == fKinds.end() ? nullptr : &it->second;
}

std::vector<std::string> TSimKinds::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, kind] : fKinds)
        names.push_back(name);
    return names;
}

namespace {

// How a NAME=VALUE of the device text fits the names every kind takes.
enum class TCommonName { Taken, BadValue, NotCommon };

// Applies one of the names every kind takes; with BadValue, AExpected says what the value should be.
TCommonName ApplyCommonName(const std::string& AName, const std::string& AValue, TSimDeviceOptions& AOptions,
                            const char*& AExpected) {
    const auto check = [&](bool AFits, const char* AExpectedText) {
        AExpected = AExpectedText;
        return AFits ? TCommonName::Taken : TCommonName::BadValue;
    };
    if (AName == "serial" || AName == "key") {
        const auto bytes = ParseDashedBytes(AValue);
        (AName == "serial" ? AOptions.fSerial : AOptions.fKey) = bytes;
        return check(bytes.has_value(), "eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8");
    }
    if (AName == "pid" || AName == "hw" || AName == "fw") {
        const auto number = ParseNumber(AValue, 0xFFFF);
        if (number)
            (AName == "pid"  ? AOptions.fPid
             : AName == "hw" ? AOptions.fHw
                             : AOptions.fFw) = static_cast<uint16_t>(*number);
        return check(number.has_value(), "a number 0-65535, decimal or 0x hexadecimal");
    }
    if (AName == "locked") {
        AOptions.fLocked = AValue == "1";
        return check(AValue == "0" || AValue == "1", "0 or 1");
    }
    if (AName == "driver") {
        AOptions.fDriver = AValue == "family" ? TUsbDriverKind::Family : TUsbDriverKind::Generic;
        return check(AValue == "family" || AValue == "generic", "family or generic");
    }
    if (AName == "plug-after-ms") {
        const auto number = ParseNumber(AValue, 24u * 3600 * 1000);
        AOptions.fPlugAfterMs = number.value_or(0);
        return check(number.has_value(), "milliseconds 0-86400000");
    }
    if (AName == "unplug-at-block") {
        const auto number = ParseNumber(AValue, 0xDF00 / 8);
        AOptions.fFaults.UnplugAtBlock = number.value_or(0);
        return check(number && *number != 0,
                     "a block number 1-7136, counted from 1 after the synchronisation block");
    }
    if (AName == "unplug-after") {
        AOptions.fFaults.UnplugAfter = ParseStage(AValue);
        return check(AOptions.fFaults.UnplugAfter.has_value(),
                     "switch, erase, synchro, validate or reconnect");
    }
    if (AName == "replug-after-ms") {
        const auto number = ParseNumber(AValue, 24u * 3600 * 1000);
        AOptions.fFaults.ReplugAfterMs = number.value_or(0);
        return check(number.has_value(), "milliseconds 0-86400000");
    }
    if (AName == "fail") {
        const auto requests = ParseRequests(AValue);
        if (requests)
            AOptions.fFaults.FailOnce = *requests;
        return check(requests.has_value(),
                     "erase, synchro, write, validate, reconnect, hwinfo or serial, joined by +");
    }
    return TCommonName::NotCommon;
}

std::string UnknownKindError(const TSimKinds& AKinds, const std::string& AKindName) {
    std::string known;
    for (const std::string& name : AKinds.Names())
        known += (known.empty() ? "" : ", ") + name;
    const std::string shown = EchoedText(AKindName);
    return "unknown device kind \"" + shown + "\" (known kinds: " + (known.empty() ? "none" : known) + ")";
}

} // namespace

bool ParseSimDevice(const std::string& AText, const TSimKinds& AKinds, TSimDeviceOptions& AOptions,
                    std::string& AError) {
    AOptions = {};
    const auto parts = SplitSimText(AText, ',');
    const std::string kindName = parts.empty() ? std::string() : parts[0];
    const TSimKind* kind = AKinds.Find(kindName);
    if (!kind) {
        AError = UnknownKindError(AKinds, kindName);
        return false;
    }
    AOptions.fKind = kindName;
    std::set<std::string> seen;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t eq = parts[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            const std::string shown = EchoedText(parts[i]);
            AError = "\"" + shown + "\" is not NAME=VALUE";
            return false;
        }
        const std::string name = parts[i].substr(0, eq);
        const std::string value = parts[i].substr(eq + 1);
        if (!seen.insert(name).second) {
            const std::string shown = EchoedText(name);
            AError = "\"" + shown + "\" is given twice";
            return false;
        }
        const char* expected = nullptr;
        const TCommonName fit = ApplyCommonName(name, value, AOptions, expected);
        if (fit == TCommonName::BadValue) {
            const std::string shownValue = EchoedText(value);
            const std::string shownName = EchoedText(name);
            AError = "bad value \"" + shownValue + "\" for " + shownName + "= (expected " + expected + ")";
            return false;
        }
        if (fit == TCommonName::Taken)
            continue;
        if (!kind->fExtraNames.count(name)) {
            const std::string shown = EchoedText(name);
            AError = "unknown name \"" + shown + "\" for device kind " + kindName;
            return false;
        }
        AOptions.fExtra[name] = value;
    }
    return !kind->fCheckExtra || kind->fCheckExtra(AOptions, AError);
}

std::shared_ptr<TSimBusDevice> CreateSimDevice(const TSimDeviceOptions& AOptions, const TSimKinds& AKinds,
                                               uint32_t ALatencyMs) {
    const TSimKind* kind = AKinds.Find(AOptions.fKind);
    if (!kind || !kind->fCreate)
        return nullptr;
    std::shared_ptr<TSimBusDevice> device = kind->fCreate(AOptions, ALatencyMs);
    if (auto sim = std::dynamic_pointer_cast<TSimDevice>(device); sim && sim->Unit() && !kind->fFaultsBehind)
        sim->Unit()->SetFaults(AOptions.fFaults);
    return device;
}

std::shared_ptr<TSimBusDevice> CreateRunningSimDevice(TSimFamilyBinding AFamily,
                                                      const TSimDeviceOptions& AOptions, uint32_t ALatencyMs,
                                                      TUsbDriverKind ADefaultDriver) {
    auto unit =
        TSimPhysicalDevice::CreateRunning(std::move(AFamily), AOptions.fDriver.value_or(ADefaultDriver));
    unit->SetLatency(std::chrono::milliseconds(ALatencyMs));
    return unit->Personality();
}

std::vector<std::shared_ptr<TSimBusDevice>>
PlugSimDevices(TSimBus& ABus, const std::vector<TSimDeviceOptions>& ADeviceOptions, const TSimKinds& AKinds,
               uint32_t ALatencyMs) {
    std::vector<std::shared_ptr<TSimBusDevice>> devices;
    for (const TSimDeviceOptions& options : ADeviceOptions) {
        std::shared_ptr<TSimBusDevice> device = CreateSimDevice(options, AKinds, ALatencyMs);
        if (!device)
            continue;
        if (options.fPlugAfterMs == 0)
            ABus.Plug(device);
        else
            ABus.PlugAfter(device, options.fPlugAfterMs);
        devices.push_back(std::move(device));
    }
    return devices;
}
