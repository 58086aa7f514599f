#pragma once
// The --simulate kind "optical-sensor": a simulated optical aiming sensor (product 32 or 35) with the
// common names and its own: calibration= (the 20 calibration bytes as 40 hexadecimal digits) and
// stub= (the bootloader version it reports).
#include "app/simbench/SimBench.h"

void RegisterOpticalSensorKind(TSimKinds& AKinds);
