#include "app/WinVer.h"

TWinVer RunningWinVer() {
    // None of the listed versions runs this build.
    return TWinVer::Unknown;
}
