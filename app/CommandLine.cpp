#include "app/CommandLine.h"

#include "app/RealUsbBus.h"

#include <charconv>

namespace {

bool ParseLatency(const std::string& AText, uint32_t& AValue) {
    if (AText.empty() || AText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
    return error == std::errc() && end == AText.data() + AText.size() && AValue <= 10000;
}

} // namespace

bool ParseCommandLine(const std::vector<std::string>& AArgs, TFrontEnd AFrontEnd, const TSimKinds& AKinds,
                      TCommandLine& ALine, std::string& AError) {
    ALine = {};
    const bool console = AFrontEnd == TFrontEnd::Console;
    for (size_t i = 0; i < AArgs.size(); ++i) {
        std::string option = AArgs[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = option.substr(eq + 1);
            option.resize(eq);
        }
        // The option's value: after '=' or the next argument.
        auto value = [&](std::string& AValue) {
            if (inlineValue) {
                AValue = *inlineValue;
                return true;
            }
            if (i + 1 >= AArgs.size()) {
                AError = option + " needs a value";
                return false;
            }
            AValue = AArgs[++i];
            return true;
        };
        auto flag = [&] {
            if (inlineValue) {
                AError = option + " takes no value";
                return false;
            }
            return true;
        };
        std::string text;
        if (option == "--simulate") {
            if (!value(text))
                return false;
            TSimDeviceOptions options;
            std::string error;
            if (!ParseSimDevice(text, AKinds, options, error)) {
                AError = "--simulate " + text + ": " + error;
                return false;
            }
            ALine.fSimulate.push_back(std::move(options));
        } else if (option == "--firmware-server") {
            if (!value(text))
                return false;
            if (text.rfind("http://", 0) != 0 && text.rfind("https://", 0) != 0) {
                AError = "--firmware-server " + text + ": not an http:// or https:// URL";
                return false;
            }
            // The file name is appended directly, so the base must end with a slash.
            if (text.back() != '/')
                text += '/';
            ALine.fFirmwareServer = text;
        } else if (console && option == "--yes") {
            if (!flag())
                return false;
            ALine.fYes = true;
        } else if (console && option == "--key") {
            if (!value(text))
                return false;
            if (!ParseDashedBytes(text)) {
                AError = "--key " + text + ": expected eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8";
                return false;
            }
            ALine.fKey = text;
        } else if (console && option == "--latency-ms") {
            if (!value(text))
                return false;
            if (!ParseLatency(text, ALine.fLatencyMs)) {
                AError = "--latency-ms " + text + ": expected milliseconds 0-10000";
                return false;
            }
        } else if (console && option == "--sim-report") {
            if (!value(text))
                return false;
            if (text.empty()) {
                AError = "--sim-report needs a file name";
                return false;
            }
            ALine.fSimReport = text;
        } else if (option == "--usb-vendor-id") {
            if (!value(text))
                return false;
            ALine.fUsbVendorId = ParseUsbVendorId(text);
            if (!ALine.fUsbVendorId) {
                AError =
                    "--usb-vendor-id " + text + ": expected a vendor id 1-65535, decimal or 0x hexadecimal";
                return false;
            }
        } else if (console && (option == "--list" || option == "--json")) {
            if (!flag())
                return false;
            ALine.fList = true;
            ALine.fJson = ALine.fJson || option == "--json";
        } else if (option == "--help" || option == "-h") {
            if (!flag())
                return false;
            ALine.fHelp = true;
        } else if (option == "--version") {
            if (!flag())
                return false;
            ALine.fVersion = true;
        } else {
            AError = "unknown option " + AArgs[i];
            return false;
        }
    }
    if (ALine.fList && !ALine.fSimulate.empty()) {
        AError = "--list lists the USB bus; it does not combine with --simulate";
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
                "  --json                  the same list as JSON\n";
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
                "written, 2 usage, user-folder or report-file error\n";
    return text;
}

std::optional<std::string> InformationText(const TCommandLine& ALine, TFrontEnd AFrontEnd,
                                           const std::string& AProgram, const TSimKinds& AKinds) {
    if (ALine.fHelp)
        return UsageText(AFrontEnd, AProgram, AKinds);
    if (ALine.fVersion)
        return AProgram + " 2.0\n";
    return std::nullopt;
}
