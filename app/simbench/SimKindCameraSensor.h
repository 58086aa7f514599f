#pragma once
// The --simulate kind "camera-sensor": a simulated camera-based aiming sensor with the common names
// and its own: edition=, flash= (the flash-parameter record in hexadecimal), acc= (the accelerometer
// record in hexadecimal, or none for a sensor whose calibration cannot be read), regions= and stub=
// (the bootloader version it reports).
#include "app/simbench/SimBench.h"

void RegisterCameraSensorKind(TSimKinds& AKinds);
