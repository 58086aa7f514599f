#pragma once
// The --simulate kind "bootloader": a family device left in its bootloader. Common names: pid (the
// product it belongs to: 32 or 35 optical sensor, 0x1F01 camera sensor, 10 or 19 pulse sensor, 5
// trigger; default 32), hw (what the bootloader reports; 0 or 0xFFFF: a bootloader that does not
// know it), fw (the firmware a valid flash holds), serial, key, driver. Own names: stub=N (the
// bootloader version, default 3; 1 does not answer the version request), processor=N (default: the
// product's), flash=none|half|valid (no firmware, a half-written one, or a valid image of fw=;
// default none). After a successful flash and ReconnectUsb it becomes the family device of its pid.
#include "app/simbench/SimBench.h"

void RegisterBootloaderKind(TSimKinds& AKinds);
