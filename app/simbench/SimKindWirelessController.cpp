#include "app/simbench/SimKindWirelessController.h"

#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimWirelessController.h"

#include <sstream>

namespace {

constexpr uint16_t KWirelessPid = 14;
constexpr uint16_t KWirelessNewPid = 0x22;
constexpr uint32_t KMaxMs = 24u * 3600 * 1000;
constexpr uint32_t KImageBlocks = 0xDF00 / 8;

std::vector<std::string> SplitOn(const std::string& AText, char ASeparator) {
    std::vector<std::string> parts;
    std::istringstream in(AText);
    std::string part;
    while (std::getline(in, part, ASeparator))
        parts.push_back(part);
    if (!AText.empty() && AText.back() == ASeparator)
        parts.emplace_back();
    return parts;
}

std::optional<uint32_t> Decimal(const std::string& AText, uint32_t AMax) {
    if (AText.empty() || AText.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return ParseSimKindNumber(AText, AMax);
}

// One option of a tN value; false with AError naming what was expected.
bool ApplyTargetOption(const std::string& AOption, TSimRadioTarget& ATarget, std::string& AError) {
    const std::size_t eq = AOption.find('=');
    const std::string name = AOption.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : AOption.substr(eq + 1);
    auto bad = [&](const char* AExpected) {
        AError = "bad option \"" + AOption + "\" (expected " + AExpected + ")";
        return false;
    };
    if (eq == std::string::npos) {
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
        const auto ms = Decimal(value, KMaxMs);
        if (!ms)
            return bad("milliseconds 0-86400000");
        if (name == "back-after-ms")
            ATarget.BackAfterMs = *ms;
        else
            ATarget.AppearAfterMs = *ms;
    } else if (name == "silent-at-block") {
        const auto block = Decimal(value, KImageBlocks);
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
    const auto parts = SplitOn(AText, ':');
    ATarget.Index = AIndex;
    const auto pid = parts.size() >= 3 ? ParseSimKindNumber(parts[0], 0xFFFF) : std::nullopt;
    const auto hw = parts.size() >= 3 ? ParseSimKindNumber(parts[1], 0xFFFF) : std::nullopt;
    const auto fw = parts.size() >= 3 ? ParseSimKindNumber(parts[2], 0xFFFE) : std::nullopt;
    if (!pid || !hw || (!fw && parts[2] != "none")) {
        AError = "bad value \"" + AText + "\" for t" + std::to_string(AIndex) +
                 "= (expected PID:HW:FW[:OPTION]..., FW a number or none)";
        return false;
    }
    ATarget.ProductId = uint16_t(*pid);
    ATarget.VersionHW = uint16_t(*hw);
    ATarget.VersionFW = fw ? uint16_t(*fw) : 0;
    ATarget.FlashValid = fw.has_value();
    ATarget.Stub = !fw;
    ATarget.Serial = {uint8_t(*pid), uint8_t(*hw), 0, 0, 0, 0, 0, AIndex};
    for (std::size_t i = 3; i < parts.size(); ++i)
        if (!ApplyTargetOption(parts[i], ATarget, AError)) {
            std::string prefix = "t";
            prefix.append(std::to_string(AIndex)).append("=: ");
            AError.insert(0, prefix);
            return false;
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
    state->VersionHW = AOptions.fHw.value_or(2);
    state->VersionFW = AOptions.fFw.value_or(6);
    if (AOptions.fSerial)
        state->Serial = *AOptions.fSerial;
    if (AOptions.fKey)
        state->Key = *AOptions.fKey;
    state->Locked = AOptions.fLocked.value_or(false);
    bool anyTarget = false;
    for (const auto& [name, value] : AOptions.fExtra) {
        if (name == "targets") {
            if (value != "0") {
                AError = "bad value \"" + value + "\" for targets= (expected 0, an empty radio)";
                return nullptr;
            }
        } else if (name == "unplug-at-target-block") {
            const auto block = Decimal(value, UINT32_MAX);
            if (!block || *block == 0) {
                AError = "bad value \"" + value +
                         "\" for unplug-at-target-block= (expected a block number from 1)";
                return nullptr;
            }
            state->UnplugAtTargetBlock = *block;
            state->UnplugReplugAfterMs = AOptions.fFaults.ReplugAfterMs;
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
    return state;
}

void RegisterWirelessControllerKind(TSimKinds& AKinds) {
    TSimKind kind;
    kind.fName = "wireless-controller";
    kind.fDescription = "wireless target controller (pid=14, or 0x22) and its radio targets";
    kind.fExtraNames = {"targets", "unplug-at-target-block"};
    for (int i = 1; i <= 16; ++i)
        kind.fExtraNames.insert(std::string("t").append(std::to_string(i)));
    kind.fHelp =
        "    tN=PID:HW:FW[:OPTION]...  a target at radio index N (1-16); FW a number or none (its\n"
        "                              bootloader with no valid image); without any tN: t1=12:3:12\n"
        "      options: stub (in its bootloader), serial=S, locked, key=S, appear-after-ms=M,\n"
        "               silent-at-block=K, silent-after=switch|erase|synchro|validate|reconnect,\n"
        "               back-after-ms=M (a silent target comes back in its bootloader), fail=REQUEST\n"
        "    targets=0                 an empty radio\n"
        "    unplug-at-target-block=K  the controller drops off after forwarding target block K\n"
        "                              (replug-after-ms=M brings it back)";
    kind.fCheckExtra = [](const TSimDeviceOptions& AOptions, std::string& AError) {
        return WirelessStateFor(AOptions, AError) != nullptr;
    };
    kind.fCreate = [](const TSimDeviceOptions& AOptions,
                      uint32_t ALatencyMs) -> std::shared_ptr<TSimBusDevice> {
        std::string error;
        auto state = WirelessStateFor(AOptions, error);
        if (!state)
            return nullptr; // the DEVICE text was checked when it was parsed
        auto unit = TSimPhysicalDevice::CreateRunning(SimWirelessBinding(state),
                                                      AOptions.fDriver.value_or(TUsbDriverKind::Family));
        unit->SetLatency(std::chrono::milliseconds(ALatencyMs));
        return unit->Personality();
    };
    AKinds.Register(std::move(kind));
}
