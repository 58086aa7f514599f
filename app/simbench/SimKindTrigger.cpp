#include "app/simbench/SimKindTrigger.h"

#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimTriggerController.h"

namespace {

constexpr uint16_t KTriggerPid = 5;

} // namespace

std::shared_ptr<TSimTriggerState> TriggerStateFor(const TSimDeviceOptions& AOptions, std::string& AError) {
    if (AOptions.fPid && *AOptions.fPid != KTriggerPid) {
        AError = "bad value \"" + std::to_string(*AOptions.fPid) + "\" for pid= (expected 5)";
        return nullptr;
    }
    auto state = std::make_shared<TSimTriggerState>();
    // Defaults one firmware version behind the built-in collection, so that an update is offered.
    state->VersionHW = AOptions.fHw.value_or(4);
    state->VersionFW = AOptions.fFw.value_or(8);
    if (AOptions.fSerial)
        state->Serial = *AOptions.fSerial;
    if (AOptions.fKey)
        state->Key = *AOptions.fKey;
    state->Locked = AOptions.fLocked.value_or(false);
    for (const auto& [name, value] : AOptions.fExtra) {
        const bool regions = name == "regions";
        const auto number = ParseSimKindNumber(value, regions ? 0x0FFF : 0xFFFF);
        if (!number) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected a number " +
                     (regions ? "0-0xFFF" : "0-65535") + ")";
            return nullptr;
        }
        if (regions)
            state->Regions = uint16_t(*number);
        else
            state->StubActual = state->StubUpdate = uint16_t(*number);
    }
    return state;
}

void RegisterTriggerKind(TSimKinds& AKinds) {
    TSimKind kind;
    kind.fName = "trigger";
    kind.fDescription = "trigger controller (pid=5)";
    kind.fExtraNames = {"stub", "regions"};
    kind.fCheckExtra = [](const TSimDeviceOptions& AOptions, std::string& AError) {
        return TriggerStateFor(AOptions, AError) != nullptr;
    };
    kind.fCreate = [](const TSimDeviceOptions& AOptions,
                      uint32_t ALatencyMs) -> std::shared_ptr<TSimBusDevice> {
        std::string error;
        auto state = TriggerStateFor(AOptions, error);
        if (!state)
            return nullptr; // the DEVICE text was checked when it was parsed
        return CreateRunningSimDevice(SimTriggerBinding(state), AOptions, ALatencyMs);
    };
    AKinds.Register(std::move(kind));
}
