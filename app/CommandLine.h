#pragma once
// The command lines of the two front ends. Both take --simulate, --firmware-server, --usb-vendor-id,
// --help and --version; the console front end adds --yes, --key, --latency-ms, --sim-report, --list,
// --json, --once, --wait-ms, --check, --history and --serial.
#include "app/simbench/SimBench.h"

#include <optional>
#include <string>
#include <vector>

enum class TFrontEnd { Window, Console };

// How long --once waits, by default, for a device to come back: a re-enumeration takes seconds, a
// device that asks to be replugged needs the user.
constexpr uint32_t KDefaultOnceWaitMs = 30000;

struct TCommandLine {
    std::vector<TSimDeviceOptions> fSimulate;
    // Base URL of the firmware download server; empty keeps the built-in one.
    std::string fFirmwareServer;
    bool fYes = false;
    std::optional<std::string> fKey;
    uint32_t fLatencyMs = 1;
    // File that receives the simulated devices' final state as JSON at exit; empty: none.
    std::string fSimReport;
    // Vendor id of the real devices; none: the settings' or the default.
    std::optional<uint16_t> fUsbVendorId;
    // List the devices on the real bus and exit; with fJson as JSON.
    bool fList = false;
    // Without fList: the run's events as JSON Lines on stdout instead of the log.
    bool fJson = false;
    // Update the devices on the real bus and exit once they are done; fWaitMs bounds how long a
    // device going into or out of its bootloader is waited for.
    bool fOnce = false;
    uint32_t fWaitMs = KDefaultOnceWaitMs;
    // Compare each device present with its image and exit, changing nothing.
    bool fCheck = false;
    // Print the update history and exit; fSerial: only that device's records ("" all).
    bool fHistory = false;
    std::string fSerial;
    bool fHelp = false;
    bool fVersion = false;
};
using PCommandLine = TCommandLine*;

// AArgs without the program name. On failure AError says what is wrong.
bool ParseCommandLine(const std::vector<std::string>& AArgs, TFrontEnd AFrontEnd, const TSimKinds& AKinds,
                      TCommandLine& ALine, std::string& AError);

std::string UsageText(TFrontEnd AFrontEnd, const std::string& AProgram, const TSimKinds& AKinds);
// What the line's --help (first) or --version asks the program to print; none when it asks neither.
std::optional<std::string> InformationText(const TCommandLine& ALine, TFrontEnd AFrontEnd,
                                           const std::string& AProgram, const TSimKinds& AKinds);
