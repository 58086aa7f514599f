#pragma once
// The --simulate kind "pulse-sensor": the finger clip (pid=10, the default) or the chest-belt
// receiver (pid=19), on the family driver. Own names: stub=N (the bootloader version the sensor
// reports) and driver-version=N (the family driver's version; 0 is a driver too old to tell).
#include "app/simbench/SimBench.h"

#include <memory>
#include <string>

struct TSimPulseState;

void RegisterPulseSensorKind(TSimKinds& AKinds);

// The sensor state AOptions describes, defaults filled in; nullptr with AError when a value cannot be
// simulated.
std::shared_ptr<TSimPulseState> PulseSensorStateFor(const TSimDeviceOptions& AOptions, std::string& AError);
