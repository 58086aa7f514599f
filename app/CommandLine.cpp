#include "app/CommandLine.h"

#include "app/RealUsbBus.h"
#include "platform/CommandArgs.h"
#include "platform/NumberText.h"
#include "platform/Version.h"

namespace {

// The options this front end knows.
TOptionSpec Options(TFrontEnd AFrontEnd) {
    TOptionSpec spec;
    spec.fValueOptions = {"--simulate", "--firmware-server", "--usb-vendor-id"};
    spec.fFlags = {"--help", "--version"};
    spec.fRepeatable = {"--simulate"};
    spec.fAliases = {{"-h", "--help"}};
    if (AFrontEnd == TFrontEnd::Console) {
        spec.fValueOptions.insert({"--key", "--latency-ms", "--sim-report", "--wait-ms", "--serial"});
        spec.fFlags.insert({"--yes", "--list", "--json", "--once", "--check", "--history"});
    }
    return spec;
}

// Checks and keeps the value AText of an option that takes one.
bool ApplyValue(const std::string& AOption, std::string AText, const TSimKinds& AKinds, TCommandLine& ALine,
                std::string& AError) {
    if (AOption == "--simulate") {
        TSimDeviceOptions options;
        std::string error;
        if (!ParseSimDevice(AText, AKinds, options, error)) {
            AError = "--simulate " + AText + ": " + error;
            return false;
        }
        ALine.fSimulate.push_back(std::move(options));
    } else if (AOption == "--firmware-server") {
        if (AText.rfind("http://", 0) != 0 && AText.rfind("https://", 0) != 0) {
            AError = "--firmware-server " + AText + ": not an http:// or https:// URL";
            return false;
        }
        // The file name is appended directly, so the base must end with a slash.
        if (AText.back() != '/')
            AText += '/';
        ALine.fFirmwareServer = AText;
    } else if (AOption == "--key") {
        if (!ParseDashedBytes(AText)) {
            AError = "--key " + AText + ": expected eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8";
            return false;
        }
        ALine.fKey = AText;
    } else if (AOption == "--latency-ms") {
        const auto latency = ParseNumber(AText, 10000);
        if (!latency) {
            AError = "--latency-ms " + AText + ": expected milliseconds 0-10000";
            return false;
        }
        ALine.fLatencyMs = *latency;
    } else if (AOption == "--sim-report") {
        if (AText.empty()) {
            AError = "--sim-report needs a file name";
            return false;
        }
        ALine.fSimReport = AText;
    } else if (AOption == "--wait-ms") {
        const auto wait = ParseNumber(AText, 3600000);
        if (!wait) {
            AError = "--wait-ms " + AText + ": expected milliseconds 0-3600000";
            return false;
        }
        ALine.fWaitMs = *wait;
    } else if (AOption == "--serial") {
        if (!ParseDashedBytes(AText)) {
            AError = "--serial " + AText + ": expected eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8";
            return false;
        }
        ALine.fSerial = AText;
    } else if (AOption == "--usb-vendor-id") {
        ALine.fUsbVendorId = ParseUsbVendorId(AText);
        if (!ALine.fUsbVendorId) {
            AError = "--usb-vendor-id " + AText + ": expected a vendor id 1-65535, decimal or 0x hexadecimal";
            return false;
        }
    }
    return true;
}

void ApplyFlag(const std::string& AOption, TCommandLine& ALine) {
    if (AOption == "--yes") {
        ALine.fYes = true;
    } else if (AOption == "--list") {
        ALine.fList = true;
    } else if (AOption == "--json") {
        ALine.fJson = true;
    } else if (AOption == "--once") {
        ALine.fOnce = true;
    } else if (AOption == "--check") {
        ALine.fCheck = true;
    } else if (AOption == "--history") {
        ALine.fHistory = true;
    } else if (AOption == "--help") {
        ALine.fHelp = true;
    } else if (AOption == "--version") {
        ALine.fVersion = true;
    }
}

} // namespace

bool ParseCommandLine(const std::vector<std::string>& AArgs, TFrontEnd AFrontEnd, const TSimKinds& AKinds,
                      TCommandLine& ALine, std::string& AError) {
    ALine = {};
    TParsedArgs parsed;
    try {
        parsed = ParseArgs("", AArgs, Options(AFrontEnd));
    } catch (const TUsageError& e) {
        AError = e.what();
        return false;
    }
    // In the order given, so the first wrong value is the one reported.
    for (const auto& [option, value] : parsed.fInOrder) {
        if (!parsed.fValues.count(option))
            ApplyFlag(option, ALine);
        else if (!ApplyValue(option, value, AKinds, ALine, AError))
            return false;
    }
    if (ALine.fCheck + ALine.fHistory + ALine.fList > 1) {
        AError = "--check, --history and --list do not combine";
        return false;
    }
    if (!ALine.fSerial.empty() && !ALine.fHistory) {
        AError = "--serial selects records of --history";
        return false;
    }
    if (ALine.fCheck && ALine.fYes) {
        AError = "--check changes nothing; it does not combine with --yes";
        return false;
    }
    if (ALine.fHistory && !ALine.fSimulate.empty()) {
        AError = "--history prints the update history; it does not combine with --simulate";
        return false;
    }
    if (ALine.fList && !ALine.fSimulate.empty()) {
        AError = "--list lists the USB bus; it does not combine with --simulate";
        return false;
    }
    if (ALine.fOnce && (!ALine.fSimulate.empty() || ALine.fList || ALine.fCheck || ALine.fHistory)) {
        AError = ALine.fList || ALine.fCheck || ALine.fHistory
                     ? "--once updates; it does not combine with --list, --check or --history"
                     : "--once works on the USB bus; a simulated run always ends once the bench is quiet";
        return false;
    }
    // A run that ends by itself must not end with an offer nobody took up.
    if (ALine.fOnce && !ALine.fYes) {
        AError = "--once updates without asking; give --yes with it";
        return false;
    }
    if (parsed.fValues.count("--wait-ms") && !ALine.fOnce) {
        AError = "--wait-ms bounds a --once run; give --once with it";
        return false;
    }
    return true;
}

std::string UsageText(TFrontEnd AFrontEnd, const std::string& AProgram, const TSimKinds& AKinds) {
    std::string text = "usage: " + AProgram + " [options]\n\noptions:\n";
    text += "  --simulate DEVICE       plug a simulated device into a simulated bus (repeatable);\n"
            "                          DEVICE is KIND[,NAME=VALUE]...\n"
            "  --firmware-server URL   base URL of the firmware download server\n"
            "  --usb-vendor-id ID      look for real USB devices under vendor id ID (default 0x1209,\n"
            "                          or VendorId in [Usb] of settings.ini in the user folder)\n";
    if (AFrontEnd == TFrontEnd::Console)
        text += "  --yes                   click Update whenever it is offered\n"
                "  --key KEY               answer the device-key prompt with KEY (dashed decimal)\n"
                "  --latency-ms N          latency of each simulated control transfer (default 1)\n"
                "  --sim-report FILE       at exit, write each simulated device's final state to FILE as\n"
                "                          JSON (kind, product id, versions, serial number, whether its\n"
                "                          flash holds a valid image, calibration bytes in hex; the\n"
                "                          target behind a target controller; a wireless\n"
                "                          controller's radio with its targets and sensors)\n"
                "  --list                  list the devices on the USB bus (path, product id, interface\n"
                "                          class, driver binding, serial number) and exit\n"
                "  --once                  with --yes: update the devices on the USB bus, following each\n"
                "                          into its bootloader and back, then exit with their outcome\n"
                "                          instead of waiting for more devices (not with --simulate,\n"
                "                          whose run always ends once the bench is quiet)\n"
                "  --wait-ms N             with --once: how long to wait for a device to go into or come\n"
                "                          back from its bootloader before giving up on it (default 30000)\n"
                "  --check                 identify every device present (and the targets behind\n"
                "                          controllers), print the firmware each runs and the one it\n"
                "                          would get, and exit; nothing is written to any device\n"
                "  --history               print the history of updates (user folder, history.jsonl)\n"
                "  --serial S              with --history: only the device with serial number S\n"
                "  --json                  with --list, --check or --history, the same as JSON (the\n"
                "                          check and the history one object per line); otherwise stdout\n"
                "                          carries the run as JSON Lines (log lines, devices and targets\n"
                "                          found, offers, update stages, progress, each update's end,\n"
                "                          a closing summary) and stderr shows no progress bar\n";
    text += "  --help                  show this text\n"
            "  --version               show the version\n";
    text += "\nDEVICE names: serial=A-B-C-D-E-F-G-H, pid=N, hw=N, fw=N, locked=0|1, key=A-B-C-D-E-F-G-H,\n"
            "              driver=family|generic, plug-after-ms=N\n"
            "update faults, for every kind:\n"
            "  unplug-at-block=N     the bootloader drops off right after taking block N (counted from 1)\n"
            "  unplug-after=STEP     the device drops off right after answering STEP: switch, erase,\n"
            "                        synchro, validate or reconnect\n"
            "  replug-after-ms=M     after such a drop-off it comes back M ms later, as whatever it then\n"
            "                        is (device or bootloader); without it, it stays away\n"
            "  fail=REQUEST[+...]    a bootloader request fails once: erase, synchro, write, validate,\n"
            "                        reconnect, hwinfo, serial (serial: for the whole next enumeration)\n"
            "  on a target-controller they act on its target's update: unplug-at-block and unplug-after\n"
            "  drop the controller off, target-unplug-at-block=N only the target; replug-after-ms\n"
            "  brings back what dropped off, the target in its bootloader; fail takes erase, synchro,\n"
            "  write, validate, reconnect\n";
    text += "kinds:";
    const auto names = AKinds.Names();
    if (names.empty())
        text += " none yet";
    for (const std::string& name : names) {
        const TSimKind* kind = AKinds.Find(name);
        text += "\n  " + name + "  " + kind->fDescription;
        if (!kind->fHelp.empty())
            text += "\n" + kind->fHelp;
        else
            for (const std::string& extra : kind->fExtraNames)
                text += " [" + extra + "=]";
    }
    text += "\n";
    if (AFrontEnd == TFrontEnd::Console)
        text += "\nexit status: 0 every update that started ended updated and nothing failed, 1 an update,\n"
                "device open or restore failed, an update is left unfinished or the log could not be\n"
                "written, 2 usage, user-folder or report-file error; --check: 0 every device current (or\n"
                "no firmware for it), 3 an update is available, 1 a device could not be opened\n";
    return text;
}

std::optional<std::string> InformationText(const TCommandLine& ALine, TFrontEnd AFrontEnd,
                                           const std::string& AProgram, const TSimKinds& AKinds) {
    if (ALine.fHelp)
        return UsageText(AFrontEnd, AProgram, AKinds);
    if (ALine.fVersion)
        return AProgram + " " KELVO_VERSION "\n";
    return std::nullopt;
}
