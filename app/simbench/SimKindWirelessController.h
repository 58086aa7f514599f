#pragma once
// The --simulate kind "wireless-controller": the wireless target controller (pid 14, or 0x22 with the
// newer USB chip) and the targets on its radio. Own names: tN=PID:HW:FW[:OPTION]... for radio index N
// (1 to 16), targets=0 for an empty radio, unplug-at-target-block=K, and sN=MODEL[:OPTION]... for a
// wireless sensor aimed at the target at radio index N.
#include "app/simbench/SimBench.h"

#include <memory>
#include <string>

struct TSimWirelessState;

void RegisterWirelessControllerKind(TSimKinds& AKinds);

// The controller state AOptions describes, defaults filled in; nullptr with AError when a value
// cannot be simulated.
std::shared_ptr<TSimWirelessState> WirelessStateFor(const TSimDeviceOptions& AOptions, std::string& AError);
