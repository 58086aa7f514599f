#include "app/simbench/SimKindTargetController.h"

#include "app/simbench/SimKindRunning.h"
#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimTargetController.h"

namespace {

constexpr uint16_t KControllerPid = 2;
constexpr TSimBytes8 KDefaultTargetSerial = {6, 1, 2, 3, 4, 5, 6, 7};

bool Bad(std::string& AError, const std::string& AValue, const std::string& AName, const char* AExpected) {
    AError = "bad value \"" + AValue + "\" for " + AName + "= (expected " + AExpected + ")";
    return false;
}

// The target's own names into the state.
bool ApplyTargetNames(const TSimDeviceOptions& AOptions, TSimTargetControllerState& AState,
                      std::string& AError) {
    TSimBootloaderState& target = AState.Target;
    uint16_t firmware = 7;
    bool flashValid = true;
    for (const auto& [name, value] : AOptions.fExtra) {
        if (name == "target") {
            if (value == "none")
                AState.TargetMode = TSimTargetMode::None;
            else if (value == "normal" || value == "bootloader")
                AState.StayInBootloader = value == "bootloader";
            else
                return Bad(AError, value, name, "none, normal or bootloader");
        } else if (name == "target-flash") {
            if (value != "valid" && value != "none")
                return Bad(AError, value, name, "valid or none");
            flashValid = value == "valid";
        } else if (name == "target-serial") {
            const auto serial = ParseDashedBytes(value);
            if (!serial)
                return Bad(AError, value, name, "eight dashed decimals 0-255");
            target.Serial = *serial;
        } else {
            const bool block = name == "target-unplug-at-block";
            const bool ms = name == "target-plug-after-ms";
            const auto number = ParseNumber(value, block ? 0xDF00 / 8 : ms ? 24u * 3600 * 1000 : 0xFFFF);
            if (!number || (block && *number == 0))
                return Bad(AError, value, name,
                           block ? "a block number 1-7136"
                           : ms  ? "milliseconds 0-86400000"
                                 : "a number 0-65535");
            if (name == "target-pid")
                target.ProductId = uint16_t(*number);
            else if (name == "target-fw")
                firmware = uint16_t(*number);
            else if (block)
                AState.TargetUnplugAtBlock = *number;
            else if (ms)
                AState.TargetPlugAfterMs = *number;
            else
                AState.StubActual = AState.StubUpdate = uint16_t(*number);
        }
    }
    if (!flashValid && AOptions.fExtra.count("target") && AOptions.fExtra.at("target") == "normal")
        return Bad(AError, "none", "target-flash", "valid: a target without an image runs its bootloader");
    if (flashValid) {
        target.Flash = SimTargetImage(target.ProductId, firmware);
        target.FlashValid = true;
    } else {
        // A bootloader without a valid image runs its bootloader.
        AState.StayInBootloader = true;
    }
    // Present from the start unless it is plugged in later.
    if (AState.TargetPlugAfterMs && AState.TargetMode != TSimTargetMode::None)
        AState.TargetMode = TSimTargetMode::None;
    else if (AState.TargetMode != TSimTargetMode::None)
        AState.TargetMode = AState.StayInBootloader ? TSimTargetMode::Bootloader : TSimTargetMode::Normal;
    return true;
}

} // namespace

std::shared_ptr<TSimTargetControllerState> TargetControllerStateFor(const TSimDeviceOptions& AOptions,
                                                                    std::string& AError) {
    if (AOptions.fPid && *AOptions.fPid != KControllerPid) {
        Bad(AError, std::to_string(*AOptions.fPid), "pid", "2");
        return nullptr;
    }
    if (AOptions.fFaults.FailOnce.count(TSimStubRequest::HwInfo) ||
        AOptions.fFaults.FailOnce.count(TSimStubRequest::Serial)) {
        AError = "fail= on a target-controller takes erase, synchro, write, validate or reconnect";
        return nullptr;
    }
    auto state = std::make_shared<TSimTargetControllerState>();
    // The controller is current (so its target is handled); the target one version behind the
    // built-in image.
    ApplySimIdentity(*state, AOptions, 2, 8);
    state->Target.ProductId = 6;
    state->Target.VersionHW = 1;
    state->Target.Serial = KDefaultTargetSerial;
    state->Target.Faults = AOptions.fFaults;
    if (!ApplyTargetNames(AOptions, *state, AError))
        return nullptr;
    return state;
}

void RegisterTargetControllerKind(TSimKinds& AKinds) {
    TSimKind kind =
        RunningSimKind("target-controller",
                       "USB target controller (pid=2, default hw=2, fw=8) with its target (default "
                       "target=normal, target-pid=6, target-fw=7, target-flash=valid)",
                       {"target", "target-pid", "target-fw", "target-serial", "target-flash",
                        "target-plug-after-ms", "target-unplug-at-block", "stub"},
                       &TargetControllerStateFor, &SimTargetControllerBinding);
    kind.fFaultsBehind = true;
    AKinds.Register(std::move(kind));
}
