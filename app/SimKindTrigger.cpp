#include "app/SimKindTrigger.h"

#include "app/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimTriggerController.h"

namespace {

constexpr uint16_t KTriggerPid = 5;

} // namespace

std::shared_ptr<TSimTriggerState> TriggerStateFor(const TSimDeviceSpec& ASpec, std::string& AError) {
    if (ASpec.fPid && *ASpec.fPid != KTriggerPid) {
        AError = "bad value \"" + std::to_string(*ASpec.fPid) + "\" for pid= (expected 5)";
        return nullptr;
    }
    auto state = std::make_shared<TSimTriggerState>();
    // Defaults one firmware version behind the built-in collection, so that an update is offered.
    state->VersionHW = ASpec.fHw.value_or(4);
    state->VersionFW = ASpec.fFw.value_or(8);
    if (ASpec.fSerial)
        state->Serial = *ASpec.fSerial;
    if (ASpec.fKey)
        state->Key = *ASpec.fKey;
    state->Locked = ASpec.fLocked.value_or(false);
    for (const auto& [name, value] : ASpec.fExtra) {
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
    kind.fCheckExtra = [](const TSimDeviceSpec& ASpec, std::string& AError) {
        return TriggerStateFor(ASpec, AError) != nullptr;
    };
    kind.fCreate = [](const TSimDeviceSpec& ASpec, uint32_t ALatencyMs) -> std::shared_ptr<TSimBusDevice> {
        std::string error;
        auto state = TriggerStateFor(ASpec, error);
        if (!state)
            return nullptr; // the DEVICE text was checked when it was parsed
        auto unit = TSimPhysicalDevice::CreateRunning(SimTriggerBinding(state),
                                                      ASpec.fDriver.value_or(TUsbDriverKind::Family));
        unit->SetLatency(std::chrono::milliseconds(ALatencyMs));
        return unit->Personality();
    };
    AKinds.Register(std::move(kind));
}
