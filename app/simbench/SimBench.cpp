#include "app/simbench/SimBench.h"

#include "app/simbench/SimKindBootloader.h"
#include "app/simbench/SimKindCameraSensor.h"
#include "app/simbench/SimKindOpticalSensor.h"
#include "app/simbench/SimKindPulseSensor.h"
#include "app/simbench/SimKindTargetController.h"
#include "app/simbench/SimKindTrigger.h"
#include "app/simbench/SimKindValues.h"
#include "app/simbench/SimKindWirelessController.h"
#include "platform/EventLoop.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <fstream>
#include <sstream>

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
        const auto value = ParseSimKindNumber(parts[i], 255);
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

bool ParseSimDevice(const std::string& AText, const TSimKinds& AKinds, TSimDeviceOptions& AOptions,
                    std::string& AError) {
    AOptions = {};
    const auto parts = SplitSimText(AText, ',');
    const std::string kindName = parts.empty() ? std::string() : parts[0];
    const TSimKind* kind = AKinds.Find(kindName);
    if (!kind) {
        std::string known;
        for (const std::string& name : AKinds.Names())
            known += (known.empty() ? "" : ", ") + name;
        AError = "unknown device kind \"" + kindName +
                 "\" (known kinds: " + (known.empty() ? "none" : known) + ")";
        return false;
    }
    AOptions.fKind = kindName;
    std::set<std::string> seen;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t eq = parts[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            AError = "\"" + parts[i] + "\" is not NAME=VALUE";
            return false;
        }
        const std::string name = parts[i].substr(0, eq);
        const std::string value = parts[i].substr(eq + 1);
        if (!seen.insert(name).second) {
            AError = "\"" + name + "\" is given twice";
            return false;
        }
        auto bad = [&](const char* AExpected) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected " + AExpected + ")";
            return false;
        };
        if (name == "serial" || name == "key") {
            const auto bytes = ParseDashedBytes(value);
            if (!bytes)
                return bad("eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8");
            (name == "serial" ? AOptions.fSerial : AOptions.fKey) = bytes;
        } else if (name == "pid" || name == "hw" || name == "fw") {
            const auto number = ParseSimKindNumber(value, 0xFFFF);
            if (!number)
                return bad("a number 0-65535, decimal or 0x hexadecimal");
            (name == "pid"  ? AOptions.fPid
             : name == "hw" ? AOptions.fHw
                            : AOptions.fFw) = static_cast<uint16_t>(*number);
        } else if (name == "locked") {
            if (value != "0" && value != "1")
                return bad("0 or 1");
            AOptions.fLocked = value == "1";
        } else if (name == "driver") {
            if (value != "family" && value != "generic")
                return bad("family or generic");
            AOptions.fDriver = value == "family" ? TUsbDriverKind::Family : TUsbDriverKind::Generic;
        } else if (name == "plug-after-ms") {
            const auto number = value.find_first_not_of("0123456789") == std::string::npos
                                    ? ParseSimKindNumber(value, 24u * 3600 * 1000)
                                    : std::nullopt;
            if (!number)
                return bad("milliseconds 0-86400000");
            AOptions.fPlugAfterMs = *number;
        } else if (name == "unplug-at-block") {
            const auto number = ParseSimKindDecimal(value, 0xDF00 / 8);
            if (!number || *number == 0)
                return bad("a block number 1-7136, counted from 1 after the synchronisation block");
            AOptions.fFaults.UnplugAtBlock = *number;
        } else if (name == "unplug-after") {
            AOptions.fFaults.UnplugAfter = ParseStage(value);
            if (!AOptions.fFaults.UnplugAfter)
                return bad("switch, erase, synchro, validate or reconnect");
        } else if (name == "replug-after-ms") {
            const auto number = ParseSimKindDecimal(value, 24u * 3600 * 1000);
            if (!number)
                return bad("milliseconds 0-86400000");
            AOptions.fFaults.ReplugAfterMs = *number;
        } else if (name == "fail") {
            const auto requests = ParseRequests(value);
            if (!requests)
                return bad("erase, synchro, write, validate, reconnect, hwinfo or serial, joined by +");
            AOptions.fFaults.FailOnce = *requests;
        } else if (kind->fExtraNames.count(name)) {
            AOptions.fExtra[name] = value;
        } else {
            AError = "unknown name \"" + name + "\" for device kind " + kindName;
            return false;
        }
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

std::vector<std::shared_ptr<TSimPhysicalDevice>>
SimPhysicalDevicesOf(const std::vector<std::shared_ptr<TSimBusDevice>>& ADevices) {
    std::vector<std::shared_ptr<TSimPhysicalDevice>> units;
    for (const auto& device : ADevices)
        if (auto sim = std::dynamic_pointer_cast<TSimDevice>(device); sim && sim->Unit())
            units.push_back(sim->Unit());
    return units;
}

namespace {

std::string DashedText(const std::array<uint8_t, 8>& ABytes) {
    std::string text;
    for (std::size_t b = 0; b < ABytes.size(); ++b) {
        if (b)
            text += '-';
        text += std::to_string(ABytes[b]);
    }
    return text;
}

std::string TargetJson(const TSimTargetReport& ATarget) {
    const char* mode = !ATarget.Present ? "none" : ATarget.InBootloader ? "bootloader" : "normal";
    return std::string(", \"target\": {\"mode\": \"") + mode +
           "\", \"product_id\": " + std::to_string(ATarget.ProductId) +
           ", \"hardware_version\": " + std::to_string(ATarget.VersionHW) +
           ", \"firmware_version\": " + std::to_string(ATarget.VersionFW) + ", \"serial_number\": \"" +
           DashedText(ATarget.Serial) + "\", \"flash_valid\": " + (ATarget.FlashValid ? "true" : "false") +
           "}";
}

std::string RadioJson(const TSimRadioReport& ARadio) {
    std::string json = std::string(", \"radio\": {\"power\": ") + (ARadio.PowerOn ? "true" : "false") +
                       ", \"power_off_requests\": " + std::to_string(ARadio.PowerOffRequests) +
                       ", \"targets\": [";
    for (std::size_t i = 0; i < ARadio.Targets.size(); ++i) {
        const TSimRadioTargetReport& t = ARadio.Targets[i];
        const char* mode = !t.InReach ? "silent" : t.InBootloader ? "bootloader" : "normal";
        json += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(t.Index) + ", \"mode\": \"" +
                mode + "\", \"product_id\": " + std::to_string(t.ProductId) +
                ", \"hardware_version\": " + std::to_string(t.VersionHW) +
                ", \"firmware_version\": " + std::to_string(t.VersionFW) + ", \"serial_number\": \"" +
                DashedText(t.Serial) + "\", \"flash_valid\": " + (t.FlashValid ? "true" : "false") + "}";
    }
    json += "], \"sensors\": [";
    for (std::size_t i = 0; i < ARadio.Sensors.size(); ++i) {
        const TSimRadioSensorReport& s = ARadio.Sensors[i];
        json += std::string(i ? ", " : "") + "{\"model\": \"" + s.Model +
                "\", \"serial\": " + std::to_string(s.Serial) +
                ", \"index\": " + std::to_string(s.TargetIndex) +
                ", \"data_packets\": " + std::to_string(s.DataPackets) +
                ", \"status_packets\": " + std::to_string(s.StatusPackets) +
                ", \"echoes\": " + std::to_string(s.Echoes) +
                ", \"commands_applied\": " + std::to_string(s.CommandsApplied) +
                ", \"commands_abandoned\": " + std::to_string(s.CommandsAbandoned) +
                ", \"scale_word\": " + std::to_string(s.ScaleWord) +
                ", \"voltage_step\": " + std::to_string(s.VoltageStep) +
                ", \"fused\": " + (s.Fused ? "true" : "false") + "}";
    }
    return json + "]}";
}

} // namespace

std::string SimReportJson(const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits) {
    std::string json = "{\n  \"devices\": [";
    for (std::size_t i = 0; i < AUnits.size(); ++i) {
        const TSimUnitReport r = AUnits[i]->Report();
        const std::string serial = DashedText(r.Serial);
        const std::string calibration = BytesToHex(r.Calibration.data(), r.Calibration.size());
        // Kind names and the values above hold no characters that JSON would have to escape.
        json += std::string(i ? "," : "") + "\n    {\"kind\": \"" + (r.InBootloader ? "bootloader" : r.Kind) +
                "\", \"family\": \"" + r.Kind + "\", \"product_id\": " + std::to_string(r.ProductId) +
                ", \"hardware_version\": " + std::to_string(r.VersionHW) +
                ", \"firmware_version\": " + std::to_string(r.VersionFW) +
                ", \"bootloader_version\": " + std::to_string(r.StubVersion) + ", \"serial_number\": \"" +
                serial + "\", \"flash_valid\": " + (r.FlashValid ? "true" : "false") +
                ", \"calibration\": \"" + calibration + "\"" + (r.Target ? TargetJson(*r.Target) : "") +
                (r.Radio ? RadioJson(*r.Radio) : "") + "}";
    }
    json += std::string(AUnits.empty() ? "" : "\n  ") + "]\n}\n";
    return json;
}

bool WriteSimReport(const std::string& AFileName,
                    const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits) {
    std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
    out << SimReportJson(AUnits);
    out.close();
    return bool(out);
}

namespace {
constexpr uint32_t QuietCheckMs = 100;
}

TQuietWatch::TQuietWatch(TEventLoop& ALoop, std::function<bool()> AIsQuiet, std::function<void()> AOnQuiet,
                         uint32_t AQuietMs)
    : fLoop(ALoop), fIsQuiet(std::move(AIsQuiet)), fOnQuiet(std::move(AOnQuiet)), fQuietMs(AQuietMs) {
    fTimer = fLoop.SetTimer(QuietCheckMs, [this] { Check(); });
}

TQuietWatch::~TQuietWatch() {
    if (fTimer)
        fLoop.KillTimer(fTimer);
}

void TQuietWatch::Check() {
    fTimer = 0;
    fQuietSoFar = fIsQuiet() ? fQuietSoFar + QuietCheckMs : 0;
    if (fQuietSoFar >= fQuietMs) {
        fOnQuiet();
        return;
    }
    fTimer = fLoop.SetTimer(QuietCheckMs, [this] { Check(); });
}
