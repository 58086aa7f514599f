#pragma once
// The simulator's demo key and table as the library's cipher types, for suites that build images.
#include "MyLib/Cyphers.h"
#include "sim/DemoKeys.h"

inline const TGOSTKey DemoKey = GostKeyFromBytes(DemoKeyBytes.data());
inline const TGOSTTable DemoTable = GostTableFromBytes(DemoTableBytes.data());
