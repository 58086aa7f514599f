#include "app/simbench/SimKindTrigger.h"

#include "app/simbench/SimKindRunning.h"
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
    ApplySimIdentity(*state, AOptions, 4, 8);
    for (const auto& [name, value] : AOptions.fExtra) {
        const bool regions = name == "regions";
        const auto number = ParseNumber(value, regions ? 0x0FFF : 0xFFFF);
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
    AKinds.Register(RunningSimKind("trigger", "trigger controller (pid=5)", {"stub", "regions"},
                                   &TriggerStateFor, &SimTriggerBinding));
}
