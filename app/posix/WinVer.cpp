#include "app/WinVer.h"

TWinVer RunningWinVer() {
    // None of the listed versions is Linux.
    return TWinVer::Unknown;
}
