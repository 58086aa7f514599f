#pragma once
// The command lines of the two front ends. Both take --simulate, --firmware-server, --usb-vendor-id,
// --help and --version; the console front end adds --yes, --key, --latency-ms, --sim-report, --list
// and --json.
#include "app/simbench/SimBench.h"

#include <optional>
#include <string>
#include <vector>

enum class TFrontEnd { Window, Console };

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
