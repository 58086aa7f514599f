#pragma once
// The --simulate kind "target-controller": the USB target controller (pid 2) with one electronic
// target behind it. Own names: target=none|normal|bootloader, target-pid=N, target-fw=N,
// target-serial=S, target-flash=valid|none, target-plug-after-ms=M, target-unplug-at-block=N, stub=N.
// The update faults of the command line act on the target's update.
#include "app/simbench/SimBench.h"

#include <memory>
#include <string>

struct TSimTargetControllerState;

void RegisterTargetControllerKind(TSimKinds& AKinds);

// The controller and target AOptions describe, defaults filled in; nullptr with AError when a value
// cannot be simulated.
std::shared_ptr<TSimTargetControllerState> TargetControllerStateFor(const TSimDeviceOptions& AOptions,
                                                                    std::string& AError);
