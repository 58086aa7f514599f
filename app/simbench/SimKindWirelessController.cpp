#include "app/simbench/SimKindWirelessController.h"

#include "app/simbench/SimKindRunning.h"
#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimWirelessController.h"

#include <map>
#include <numbers>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

constexpr uint16_t KWirelessPid = 14;
constexpr uint16_t KWirelessNewPid = 0x22;
constexpr uint32_t KMaxMs = 24u * 3600 * 1000;
constexpr uint32_t KImageBlocks = 0xDF00 / 8;

// An option of a tN or sN value: NAME=VALUE, or a bare NAME.
struct TOptionParts {
    std::string Name;
    std::string Value;
    bool Bare;
};

TOptionParts SplitOption(const std::string& AOption) {
    const std::size_t eq = AOption.find('=');
    if (eq == std::string::npos)
        return {AOption, {}, true};
    return {AOption.substr(0, eq), AOption.substr(eq + 1), false};
}

// False with AError when the option's name is in ASeen already (a second value would silently win).
bool NewOption(const std::string& AOption, std::set<std::string>& ASeen, std::string& AError) {
    const std::string name = SplitOption(AOption).Name;
    if (ASeen.insert(name).second)
        return true;
    const std::string shown = EchoedText(name);
    AError = "\"" + shown + "\" is given twice";
    return false;
}

bool BadOption(const std::string& AOption, const char* AExpected, std::string& AError) {
    const std::string shown = EchoedText(AOption);
    AError = "bad option \"" + shown + "\" (expected " + AExpected + ")";
    return false;
}

// One option of a tN value; false with AError naming what was expected.
bool ApplyTargetOption(const std::string& AOption, TSimRadioTarget& ATarget, std::string& AError) {
    const auto [name, value, bare] = SplitOption(AOption);
    auto bad = [&](const char* AExpected) { return BadOption(AOption, AExpected, AError); };
    if (bare) {
        if (name == "stub")
            ATarget.Stub = true;
        else if (name == "locked")
            ATarget.Locked = true;
        else
            return bad("stub, locked or NAME=VALUE");
        return true;
    }
    if (name == "serial" || name == "key") {
        const auto bytes = ParseDashedBytes(value);
        if (!bytes)
            return bad("eight dashed decimals 0-255");
        (name == "serial" ? ATarget.Serial : ATarget.Key) = *bytes;
    } else if (name == "appear-after-ms" || name == "back-after-ms") {
        const auto ms = ParseNumber(value, KMaxMs);
        if (!ms)
            return bad("milliseconds 0-86400000");
        if (name == "back-after-ms")
            ATarget.BackAfterMs = *ms;
        else
            ATarget.AppearAfterMs = *ms;
    } else if (name == "silent-at-block") {
        const auto block = ParseNumber(value, KImageBlocks);
        if (!block || *block == 0)
            return bad("a block number 1-7136");
        ATarget.SilentAtBlock = *block;
    } else if (name == "silent-after") {
        ATarget.SilentAfter = ParseStage(value);
        if (!ATarget.SilentAfter)
            return bad("switch, erase, synchro, validate or reconnect");
    } else if (name == "fail") {
        const auto requests = ParseRequests(value);
        if (!requests)
            return bad("erase, synchro, write, validate, reconnect, hwinfo or serial, joined by +");
        ATarget.FailOnce = *requests;
    } else {
        return bad("stub, serial=, locked, key=, appear-after-ms=, silent-at-block=, silent-after=, "
                   "back-after-ms= or fail=");
    }
    return true;
}

// PID:HW:FW[:OPTION]...; FW "none" is a bootloader whose flash holds no valid image.
bool ParseTarget(uint8_t AIndex, const std::string& AText, TSimRadioTarget& ATarget, std::string& AError) {
    const auto parts = SplitSimText(AText, ':');
    ATarget.Index = AIndex;
    const auto bad = [&] {
        const std::string shown = EchoedText(AText);
        AError = "bad value \"" + shown + "\" for t" + std::to_string(AIndex) +
                 "= (expected PID:HW:FW[:OPTION]..., FW a number or none)";
        return false;
    };
    if (parts.size() < 3)
        return bad();
    const auto pid = ParseNumber(parts[0], 0xFFFF);
    const auto hw = ParseNumber(parts[1], 0xFFFF);
    const auto fw = ParseNumber(parts[2], 0xFFFE);
    if (!pid || !hw || (!fw && parts[2] != "none"))
        return bad();
    ATarget.ProductId = uint16_t(*pid);
    ATarget.VersionHW = uint16_t(*hw);
    ATarget.VersionFW = fw ? uint16_t(*fw) : 0;
    ATarget.FlashValid = fw.has_value();
    ATarget.Stub = !fw;
    ATarget.Serial = {uint8_t(*pid), uint8_t(*hw), 0, 0, 0, 0, 0, AIndex};
    std::set<std::string> seen;
    for (std::size_t i = 3; i < parts.size(); ++i)
        if (!NewOption(parts[i], seen, AError) || !ApplyTargetOption(parts[i], ATarget, AError)) {
            std::string prefix = "t";
            prefix.append(std::to_string(AIndex)).append("=: ");
            AError.insert(0, prefix);
            return false;
        }
    return true;
}

std::optional<TSimWirelessFault> ParseSensorFault(const std::string& AText) {
    static const std::map<std::string, TSimWirelessFault> names = {
        {"long-length", TSimWirelessFault::LengthBeyondBytes},
        {"short", TSimWirelessFault::BelowMinimum},
        {"unknown-model", TSimWirelessFault::UnknownModel},
        {"foreign-serial", TSimWirelessFault::ForeignSerial}};
    const auto it = names.find(AText);
    return it == names.end() ? std::nullopt : std::optional(it->second);
}

// One option of an sN value; false with AError naming what was expected.
bool ApplySensorOption(const std::string& AOption, TSimRadioSensorSetup& ASetup, std::string& AError) {
    TSimWirelessSensorSetup& sensor = ASetup.Sensor;
    const bool wd03 = sensor.ModelCode != 0 && sensor.ModelCode != 4;
    const bool fuse = sensor.ModelCode == 7 || sensor.ModelCode == 8;
    const auto [name, value, bare] = SplitOption(AOption);
    auto bad = [&](const char* AExpected) { return BadOption(AOption, AExpected, AError); };
    if (bare) {
        if (name == "raw" && wd03)
            sensor.RawMode = true;
        else if (name == "zero-coefficient")
            sensor.ZeroCoefficient = true;
        else if (name == "unfused" && fuse)
            sensor.StatusBits |= 0x02;
        else
            return bad("zero-coefficient, raw (WD-03 family), unfused (WD-M02V2/V3) or NAME=VALUE");
        return true;
    }
    if (name == "serial") {
        // 0 and 0xFFFF are no serial number.
        const auto serial = ParseNumber(value, 0xFFFE);
        if (!serial || *serial == 0)
            return bad("a serial number 1-65534");
        sensor.Serial = uint16_t(*serial);
    } else if (name == "invert-every" || name == "every") {
        const auto every = ParseNumber(value, UINT32_MAX);
        if (!every || (name == "every" && *every == 0))
            return bad(name == "every" ? "a packet count from 1" : "a packet count, 0 for never");
        (name == "every" ? sensor.FaultEvery : sensor.InvertEvery) = *every;
    } else if (name == "hostile") {
        const auto fault = ParseSensorFault(value);
        if (!fault)
            return bad("long-length, short, unknown-model or foreign-serial");
        sensor.Fault = *fault;
    } else if (name == "cant") {
        const auto degrees = ParseReal(value, -180, 180);
        if (!degrees)
            return bad("degrees -180 to 180");
        sensor.CantRad = *degrees * std::numbers::pi / 180;
    } else if (name == "view") {
        const auto mm = ParseReal(value, 1, 10000);
        if (!mm)
            return bad("millimetres 1 to 10000");
        ASetup.ViewMm = *mm;
    } else if (name == "battery") {
        const auto battery = ParseNumber(value, 0xFF);
        if (!battery)
            return bad("a battery byte 0-255");
        sensor.BatteryByte = uint8_t(*battery);
    } else if (name == "password" && fuse) {
        if (value.empty() || value.size() > 255)
            return bad("1 to 255 characters");
        sensor.FusePassword = value;
    } else {
        return bad("serial=, invert-every=, raw, zero-coefficient, hostile= with every=, cant=, view=, "
                   "battery=, unfused or password= (WD-M02V2/V3)");
    }
    return true;
}

// MODEL[:OPTION]... for a sensor aimed at the target of radio index AIndex.
bool ParseSensor(uint8_t AIndex, const std::string& AText, TSimRadioSensorSetup& ASetup,
                 std::string& AError) {
    const auto parts = SplitSimText(AText, ':');
    const auto code = parts.empty() ? std::nullopt : SimWirelessModelCode(parts[0]);
    std::string prefix = "s";
    prefix.append(std::to_string(AIndex)).append("=: ");
    if (!code) {
        const std::string shown = parts.empty() ? std::string() : EchoedText(parts[0]);
        AError = prefix + "bad model \"" + shown +
                 "\" (expected wd-m01, wd-02, wd-03, wd-03v2, wd-05, wd-m02, wd-m02v2 or wd-m02v3)";
        return false;
    }
    ASetup.TargetIndex = AIndex;
    ASetup.Seed = AIndex;
    ASetup.Sensor.ModelCode = *code;
    ASetup.Sensor.Serial = uint16_t(1000 + AIndex);
    std::set<std::string> seen;
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (!NewOption(parts[i], seen, AError) || !ApplySensorOption(parts[i], ASetup, AError)) {
            AError.insert(0, prefix);
            return false;
        }
    if ((ASetup.Sensor.Fault == TSimWirelessFault::None) != (ASetup.Sensor.FaultEvery == 0)) {
        AError = prefix + "hostile= and every= go together";
        return false;
    }
    return true;
}

// The sensors of the sN names, added to AState; false with AError for a bad one.
bool AddRadioSensors(const TSimDeviceOptions& AOptions, TSimWirelessState& AState, std::string& AError) {
    for (const auto& [name, value] : AOptions.fExtra) {
        if (name.empty() || name[0] != 's' || name.find_first_not_of("0123456789", 1) != std::string::npos)
            continue;
        TSimRadioSensorSetup setup;
        if (!ParseSensor(uint8_t(std::stoi(name.substr(1))), value, setup, AError))
            return false;
        // The LED groups of the target it aims at: group 0 on top, 50 apart on the biathlon target;
        // the blinker has the host's default geometry.
        if (const TSimRadioTarget* target = AState.TargetAt(setup.TargetIndex)) {
            setup.Sensor.UpperGroupFirst = target->ProductId != 15;
            setup.Sensor.LedsDistance = target->ProductId == 18 ? 50 : 190;
        } else
            setup.Sensor.UpperGroupFirst = true;
        try {
            AState.Sensors.emplace_back(setup);
        } catch (const std::invalid_argument& AFault) {
            AError = name + "=: " + AFault.what();
            return false;
        }
    }
    return true;
}

} // namespace

std::shared_ptr<TSimWirelessState> WirelessStateFor(const TSimDeviceOptions& AOptions, std::string& AError) {
    if (AOptions.fPid && *AOptions.fPid != KWirelessPid && *AOptions.fPid != KWirelessNewPid) {
        AError = "bad value \"" + std::to_string(*AOptions.fPid) + "\" for pid= (expected 14 or 0x22)";
        return nullptr;
    }
    auto state = std::make_shared<TSimWirelessState>();
    state->ProductId = AOptions.fPid.value_or(KWirelessPid);
    // Current firmware by default, so that the targets are handled.
    ApplySimIdentity(*state, AOptions, 2, 6);
    bool anyTarget = false;
    for (const auto& [name, value] : AOptions.fExtra) {
        if (name == "targets") {
            if (value != "0") {
                AError = "bad value \"" + value + "\" for targets= (expected 0, an empty radio)";
                return nullptr;
            }
        } else if (name == "unplug-at-target-block") {
            const auto block = ParseNumber(value, UINT32_MAX);
            if (!block || *block == 0) {
                AError = "bad value \"" + value +
                         "\" for unplug-at-target-block= (expected a block number from 1)";
                return nullptr;
            }
            state->UnplugAtTargetBlock = *block;
            state->UnplugReplugAfterMs = AOptions.fFaults.ReplugAfterMs;
        } else if (name[0] == 's') {
            continue; // a sensor: AddRadioSensors
        } else {
            TSimRadioTarget target;
            if (!ParseTarget(uint8_t(std::stoi(name.substr(1))), value, target, AError))
                return nullptr;
            state->Targets.push_back(target);
            anyTarget = true;
        }
    }
    if (AOptions.fExtra.count("targets") && anyTarget) {
        AError = "targets=0 and tN= cannot be given together";
        return nullptr;
    }
    if (!AOptions.fExtra.count("targets") && !anyTarget)
        ParseTarget(1, "12:3:12", state->Targets.emplace_back(), AError);
    if (!AddRadioSensors(AOptions, *state, AError))
        return nullptr;
    return state;
}

void RegisterWirelessControllerKind(TSimKinds& AKinds) {
    TSimKind kind = RunningSimKind(
        "wireless-controller", "wireless target controller (pid=14, or 0x22) and its radio targets",
        {"targets", "unplug-at-target-block"}, &WirelessStateFor, &SimWirelessBinding);
    for (int i = 1; i <= 16; ++i) {
        kind.fExtraNames.insert(std::string("t").append(std::to_string(i)));
        kind.fExtraNames.insert(std::string("s").append(std::to_string(i)));
    }
    kind.fHelp =
        "    tN=PID:HW:FW[:OPTION]...  a target at radio index N (1-16); FW a number or none (its\n"
        "                              bootloader with no valid image); without any tN: t1=12:3:12\n"
        "      options: stub (in its bootloader), serial=S, locked, key=S, appear-after-ms=M,\n"
        "               silent-at-block=K, silent-after=switch|erase|synchro|validate|reconnect,\n"
        "               back-after-ms=M (a silent target comes back in its bootloader), fail=REQUEST\n"
        "    targets=0                 an empty radio\n"
        "    unplug-at-target-block=K  the controller drops off after forwarding target block K\n"
        "                              (replug-after-ms=M brings it back)\n"
        "    sN=MODEL[:OPTION]...      a wireless sensor aimed at the target at radio index N, heard\n"
        "                              while the radio is on and that target is present; MODEL is\n"
        "                              wd-m01, wd-02 (100 packets/s), wd-03, wd-03v2, wd-05, wd-m02,\n"
        "                              wd-m02v2 or wd-m02v3 (50 packets/s, two points each)\n"
        "      options: serial=S (1-65534, default 1000+N), invert-every=K (every K-th packet\n"
        "               bit-inverted, default 3, 0 never), raw (WD-03 family: raw scale word),\n"
        "               zero-coefficient, cant=DEG, view=MM (no signal beyond MM from the centre),\n"
        "               battery=B (0-255), hostile=long-length|short|unknown-model|foreign-serial\n"
        "               with every=K, unfused and password=TEXT (WD-M02V2/V3 fuse, default kelvo)";
    AKinds.Register(std::move(kind));
}
