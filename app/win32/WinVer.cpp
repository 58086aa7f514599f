#include "app/WinVer.h"

#include <windows.h>

namespace {

// The version the system itself reports, whatever compatibility mode the program runs in.
bool SystemVersion(OSVERSIONINFOEXW& AVersion) {
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const HMODULE hNtDll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = hNtDll ? reinterpret_cast<TRtlGetVersion>(
                                         reinterpret_cast<void*>(GetProcAddress(hNtDll, "RtlGetVersion")))
                                   : nullptr;
    AVersion = {};
    AVersion.dwOSVersionInfoSize = sizeof AVersion;
    return getVersion && getVersion(&AVersion) == 0;
}

} // namespace

TWinVer RunningWinVer() {
    OSVERSIONINFOEXW version;
    if (!SystemVersion(version))
        return TWinVer::Unknown;
    const bool workstation = version.wProductType == VER_NT_WORKSTATION;
    const DWORD major = version.dwMajorVersion;
    const DWORD minor = version.dwMinorVersion;
    if (major == 5 && minor == 0)
        return TWinVer::Win2000;
    if (major == 5 && minor == 1)
        return TWinVer::WinXP;
    if (major == 5 && minor == 2) {
        if (workstation)
            return TWinVer::WinXP64;
        if (version.wSuiteMask & VER_SUITE_WH_SERVER)
            return TWinVer::WinHS;
        return GetSystemMetrics(SM_SERVERR2) != 0 ? TWinVer::WS2003R2 : TWinVer::WS2003;
    }
    if (major == 6 && minor == 0)
        return workstation ? TWinVer::VISTA : TWinVer::WS2008;
    if (major == 6 && minor == 1)
        return workstation ? TWinVer::WIN7 : TWinVer::WS2008R2;
    if (major == 6 && minor == 2)
        return workstation ? TWinVer::WIN8 : TWinVer::WS2012;
    if (major == 6 && minor == 3)
        return workstation ? TWinVer::WIN81 : TWinVer::WS2012R2;
    // Windows 10 and later are none of the listed versions.
    return TWinVer::Unknown;
}
