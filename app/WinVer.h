#pragma once
// The desktop OS versions the device code distinguishes, in release order. Only "WIN8 or later"
// (ordinal 12 or more) is ever asked; on Linux the version is Unknown.
#include <cstdint>

enum class TWinVer : uint8_t {
    Unknown = 0,
    Win2000 = 1,
    WinXP = 2,
    WinXP64 = 3,
    WS2003 = 4,
    WinHS = 5,
    WS2003R2 = 6,
    VISTA = 7,
    WS2008 = 8,
    WS2008R2 = 9,
    WIN7 = 10,
    WS2012 = 11,
    WIN8 = 12,
    WS2012R2 = 13,
    WIN81 = 14
};

// The version of the running system; Unknown on every system that is none of the listed ones.
TWinVer RunningWinVer();

inline bool IsWin8OrLater(TWinVer AVersion) {
    return static_cast<uint8_t>(AVersion) >= static_cast<uint8_t>(TWinVer::WIN8);
}
