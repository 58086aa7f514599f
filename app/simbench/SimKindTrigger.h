#pragma once
// The --simulate kind "trigger": the trigger controller (pid 5) on either driver. Own names: stub=N
// (the bootloader version it reports) and regions=N (the market regions mask, 0 to 0xFFF, kept by
// hardware 4 and firmware 8 or later).
#include "app/simbench/SimBench.h"

#include <memory>
#include <string>

struct TSimTriggerState;

void RegisterTriggerKind(TSimKinds& AKinds);

// The controller state AOptions describes, defaults filled in; nullptr with AError when a value cannot
// be simulated.
std::shared_ptr<TSimTriggerState> TriggerStateFor(const TSimDeviceOptions& AOptions, std::string& AError);
