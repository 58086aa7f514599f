#include "app/simbench/SimKindPulseSensor.h"

#include "app/simbench/SimKindRunning.h"
#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimPulseSensor.h"

namespace {

constexpr uint16_t KClipPid = 10;
constexpr uint16_t KBeltPid = 19;

} // namespace

std::shared_ptr<TSimPulseState> PulseSensorStateFor(const TSimDeviceOptions& AOptions, std::string& AError) {
    auto state = std::make_shared<TSimPulseState>();
    state->ProductId = AOptions.fPid.value_or(KClipPid);
    if (state->ProductId != KClipPid && state->ProductId != KBeltPid) {
        AError = "bad value \"" + std::to_string(state->ProductId) +
                 "\" for pid= (expected 10, the clip, or 19, the chest-belt receiver)";
        return nullptr;
    }
    if (AOptions.fDriver.value_or(TUsbDriverKind::Family) != TUsbDriverKind::Family) {
        AError =
            "bad value \"generic\" for driver= (expected family: the pulse sensor has no generic binding)";
        return nullptr;
    }
    const bool belt = state->ProductId == KBeltPid;
    // Defaults one firmware version behind the built-in collection, so that an update is offered.
    if (belt)
        state->Serial = {19, 20, 30, 40, 50, 60, 70, 80};
    ApplySimIdentity(*state, AOptions, belt ? 3 : 2, belt ? 9 : 5);
    for (const auto& [name, value] : AOptions.fExtra) {
        const auto number = ParseNumber(value, 0xFFFF);
        if (!number) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected a number 0-65535)";
            return nullptr;
        }
        if (name == "stub")
            state->StubActual = state->StubUpdate = uint16_t(*number);
        else
            state->DriverVersion = uint16_t(*number);
    }
    return state;
}

void RegisterPulseSensorKind(TSimKinds& AKinds) {
    // driver= names no other driver than the family's (see PulseSensorStateFor).
    AKinds.Register(RunningSimKind("pulse-sensor",
                                   "pulse sensor: finger clip (pid=10) or chest-belt receiver (pid=19)",
                                   {"stub", "driver-version"}, &PulseSensorStateFor, &SimPulseSensorBinding));
}
