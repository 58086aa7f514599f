#pragma once
// The --simulate kind "wireless-controller": the wireless target controller (pid 14, or 0x22 with the
// newer USB chip) and the targets on its radio. Own names: tN=PID:HW:FW[:OPTION]... for radio index N
// (1 to 16), targets=0 for an empty radio, and unplug-at-target-block=K.
#include "app/simbench/SimBench.h"

#include <memory>
#include <string>

struct TSimWirelessState;

void RegisterWirelessControllerKind(TSimKinds& AKinds);

// The controller state AOptions describes, defaults filled in; nullptr with AError when a value
// cannot be simulated.
std::shared_ptr<TSimWirelessState> WirelessStateFor(const TSimDeviceOptions& AOptions, std::string& AError);
