// kelvo-trace targets and target: the radio targets behind the first wireless controller, listed with
// their model, identity and settings, and one of them driven by the commands used to set up a range.
#include "MyLib/KelvoSerials.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "MyLib/KelvoWirelessTargets.h"
#include "app/simbench/SimBench.h"
#include "platform/HexText.h"
#include "platform/NumberText.h"
#include "trace/TraceBus.h"
#include "trace/TraceCommands.h"
#include "trace/TraceRadio.h"

#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

namespace {

constexpr uint32_t KDefaultWaitMs = 500;
constexpr uint32_t KMaxWaitMs = 60000;

// The --wait-ms of AArgs: how long the targets have to report once the radio is up.
uint32_t TargetsWaitMs(const std::string& ACommand, const TParsedArgs& AArgs) {
    const auto it = AArgs.fValues.find("--wait-ms");
    if (it == AArgs.fValues.end())
        return KDefaultWaitMs;
    const auto ms = ParseNumber(it->second, KMaxWaitMs);
    if (!ms)
        throw TUsageError(ACommand + ": --wait-ms " + it->second + ": expected 0 to 60000");
    return *ms;
}

// Powers the radio and reads the targets' status table once they had AWaitMs to report.
void PowerOnAndAwaitTargets(TTraceBus& ABus, TRadio& ARadio, uint32_t AWaitMs) {
    ARadio.PowerOn();
    ABus.Loop().RunUntil([] { return false; }, AWaitMs);
    ARadio.Controller().UpdateTargetsStatusTable(false);
}

std::string Hex(uint8_t AByte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", AByte);
    return text;
}

const char* OnOff(uint8_t AValue) {
    return AValue ? "on" : "off";
}

// The target at AIndex: model, identity, lock, and the settings of its model as last read or set
// (a blinker's properties are read here: it reports them only when asked).
void PrintTarget(int AIndex, TCustom485Target& ATarget) {
    std::cout << "target " << AIndex << ": " << ATarget.fModelType << " (" << ATarget.fModelDescription
              << ")\n"
              << "  product id " << ATarget.fProductId << ", hardware " << ATarget.fHWVersion << ", firmware "
              << ATarget.fFWVersion << ", serial " << SerialToStr(ATarget.fSerial) << ", "
              << (ATarget.fLocked ? "locked" : "unlocked") << "\n";
    if (auto* stub = dynamic_cast<TTargetStub*>(&ATarget)) {
        std::cout << "  bootloader: hardware " << stub->HardwareIdStr() << ", processor " << stub->ProcId()
                  << ", code start 0x" << Hex4(stub->CodeStartAddr()) << "; secret operations "
                  << OnOff(stub->SecretOps());
        // The key is known only once it was read or written.
        if (stub->Key() != BlankDeviceKey)
            std::cout << "; key " << SerialToStr(stub->Key());
        std::cout << "\n";
    } else if (auto* blinker = dynamic_cast<TBlinker*>(&ATarget)) {
        blinker->GetProperties();
        std::cout << "  blinks " << blinker->NumberOfBlinks() << ", light " << blinker->LightTime()
                  << " ms, dark " << blinker->DarkTime() << " ms, DAC value " << blinker->DACValue() << "\n";
    } else if (auto* target = dynamic_cast<TWirelessTarget*>(&ATarget)) {
        const TTargetPropertiesBlock& p = target->fProperties;
        std::cout << "  frequencies " << p.bFreq1 * 100 << " Hz, " << p.bFreq2 * 100 << " Hz; signal "
                  << int(p.bSig1) << ", " << int(p.bSig2) << " of 255; LEDs green " << Hex(p.bLeds1)
                  << ", red " << Hex(p.bLeds2) << "\n"
                  << "  " << (p.bStarted ? "started" : "stopped") << ", receiver " << OnOff(p.bRcvEnabled)
                  << " (power " << int(p.bRcvPower) << "), sync " << OnOff(p.bSync) << "; brightness LEDs "
                  << int(target->fLedsBrightness) << ", lamps " << int(target->fLampsBrightness)
                  << "; capabilities: receiver " << (target->fCaps.bReceiver ? "yes" : "no") << ", lamps "
                  << (target->fCaps.bLamps ? "yes" : "no") << "\n";
        if (auto* biathlon = dynamic_cast<TBiathlon2Target*>(target))
            std::cout << "  IR LEDs " << Hex(biathlon->fIReds) << ", flag " << int(biathlon->fFlag)
                      << ", receiver mode " << int(biathlon->fReceiverMode) << "\n";
        if (auto* rapidFire = dynamic_cast<TRFTarget*>(target))
            std::cout << "  IR LEDs " << Hex(rapidFire->fIReds) << ", lamp status "
                      << int(rapidFire->fLampStatus) << "\n";
    }
}

const char* const TargetsHelp =
    R"(usage: kelvo-trace targets [--simulate wireless-controller[,NAME=VALUE...]] [--usb-vendor-id ID]
                           [--wait-ms N]

Opens the first wireless controller (simulated with --simulate, else the first one plugged in,
waiting up to 2 s for one), powers its radio, waits N ms (default 500) for the targets to report,
and lists each target on the radio: index, model type and description, product id, hardware and
firmware versions, serial number, lock state, and its settings as the target reports them
(frequencies, signal levels, LED masks, started, receiver, sync, brightness of LEDs and lamps,
capabilities; the blinker's blinks and times, the IR LEDs, flag and receiver mode of the biathlon
target, the rapid-fire target's IR LEDs and lamp status). The radio is powered off at the end.

  --simulate KIND     a simulated wireless controller, as for kelvo-fwupd-cli (e.g.
                      wireless-controller,t1=12:3:12,t2=15:1:3)
  --usb-vendor-id ID  look for the controller under vendor id ID, as kelvo-fwupd-cli does
                      (default 0x1209, or VendorId in [Usb] of the updater's settings.ini)
  --wait-ms N         how long to wait for the targets, 0 to 60000 ms
)";

int TargetsCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs(
        "targets", AArgs, {.fValueOptions = {"--simulate", "--usb-vendor-id", "--wait-ms"}, .fWords = true});
    if (!args.fWords.empty())
        throw TUsageError("targets: unexpected argument " + args.fWords[0]);
    const uint32_t waitMs = TargetsWaitMs("targets", args);
    TTraceBus bus("targets", args);
    TRadio radio("targets", bus);
    PowerOnAndAwaitTargets(bus, radio, waitMs);
    bool any = false;
    for (int i = 1; i <= radio.Controller().NumTargets(); ++i)
        if (TCustom485Target* target = radio.Controller().Targets(i)) {
            PrintTarget(i, *target);
            any = true;
        }
    if (!any)
        std::cout << "no targets on the radio\n";
    return KExitSuccess;
}

const char* const TargetHelp =
    R"(usage: kelvo-trace target INDEX COMMAND [VALUE...] [--simulate KIND] [--usb-vendor-id ID]
                          [--wait-ms N]

Drives the target at radio index INDEX (1-16) behind the first wireless controller (see 'kelvo-trace
targets') with one command, then prints the target's state. A command the target or its model
refuses is an error (exit status 1). Numbers are decimal or 0x hexadecimal.

commands:
  led green MASK        green LED mask (0-255)
  led red MASK          red LED mask (0-255)
  led off               both LED masks 0
  brightness LEVEL      LED brightness (0-255; biathlon, rapid-fire, hardware 3 and later)
  lamp LEVEL            lamp brightness (0-255; rapid-fire, hardware 3 and later)
  start, stop           start or stop the target
  off                   switch the target off (LEDs off, stopped)
  receiver on|off       enable or disable the target's receiver
  frequencies F1 F2     modulation frequencies in Hz, multiples of 100 up to 10000
  signal S1 S2          signal levels, 0 to 1 of full scale
  address A             radio address 1-31 (hardware 6 and later)
  blink                 the blinker blinks
  lock KEY, unlock KEY  lock or unlock with the target's key (eight dashed decimals, 1-2-3-4-5-6-7-8)

commands for a target in its bootloader:
  hwinfo                read the bootloader's hardware information again
  secret SECRET         enable the factory operations with the factory secret (eight dashed
                        decimals)
  readkey               read the target's key (factory operations enabled)
  serial SERIAL         write the serial number (eight dashed decimals; a factory operation)
  key KEY               write the target's key (a factory operation)

  --simulate KIND     a simulated wireless controller, as for 'kelvo-trace targets'
  --usb-vendor-id ID  the vendor id of the controller, as for 'kelvo-trace targets'
  --wait-ms N         how long to wait for the targets, 0 to 60000 ms (default 500)
  --secret SECRET     enable the factory operations before the command, in the same run
  --factory           allow the serial and key writes, which change the target for good
)";

// A whole number from AMin to AMax, decimal or 0x hexadecimal, or a usage fault naming AWhat.
int Integer(const std::string& AText, int AMin, int AMax, const std::string& AWhat) {
    const auto value = ParseNumber(AText, uint32_t(AMax));
    if (!value || int(*value) < AMin)
        throw TUsageError("target: \"" + AText.substr(0, 40) + "\" is not " + AWhat + " " +
                          std::to_string(AMin) + "-" + std::to_string(AMax));
    return int(*value);
}

double Level(const std::string& AText) {
    const auto value = ParseReal(AText, 0, 1);
    if (!value)
        throw TUsageError("target: \"" + AText.substr(0, 40) + "\" is not a signal level 0 to 1");
    return *value;
}

int Frequency(const std::string& AText) {
    const int value = Integer(AText, 0, 10000, "a frequency in Hz");
    if (value % 100 != 0)
        throw TUsageError("target: \"" + AText + "\" is not a multiple of 100 Hz");
    return value;
}

// Eight dashed decimals 0-255 (a key, a secret or a serial number), or a usage fault naming AWhat.
TDeviceKey Key(const std::string& AText, const char* AWhat = "a key") {
    const auto key = ParseDashedBytes(AText);
    if (!key)
        throw TUsageError("target: \"" + AText.substr(0, 40) + "\" is not " + AWhat +
                          " (eight dashed decimals 0-255)");
    return *key;
}

// What one command does to a target; false when the target refused it.
using TTargetAction = std::function<bool(TCustom485Target&)>;

// The model a command needs; a target of another model cannot take it.
template <class TModel> TModel& Model(TCustom485Target& ATarget, const std::string& ACommand) {
    auto* model = dynamic_cast<TModel*>(&ATarget);
    if (!model)
        throw std::runtime_error("target: " + ATarget.fModelType + " has no \"" + ACommand + "\" command");
    return *model;
}

// The command AWords (its name first) with its values checked, before anything is sent: a value
// outside its range is a usage fault, never a request the target has to refuse.
TTargetAction ParseTargetCommand(const TArgs& AWords, bool AFactory) {
    const std::string name = AWords[0];
    auto values = [&](std::size_t ACount, const char* AUsage) {
        if (AWords.size() != ACount + 1)
            throw TUsageError(std::string("target: expected ") + AUsage);
    };
    if (name == "led" && AWords.size() == 2 && AWords[1] == "off")
        return [name](TCustom485Target& T) { return Model<TWirelessTarget>(T, name).SetLeds(0, 0); };
    if (name == "led") {
        values(2, "led green MASK, led red MASK or led off");
        if (AWords[1] != "green" && AWords[1] != "red")
            throw TUsageError("target: expected led green MASK, led red MASK or led off");
        const int mask = Integer(AWords[2], 0, 255, "an LED mask");
        if (AWords[1] == "green")
            return [name, mask](TCustom485Target& T) {
                return Model<TWirelessTarget>(T, name).SetGreenLeds(mask);
            };
        return [name, mask](TCustom485Target& T) { return Model<TWirelessTarget>(T, name).SetRedLeds(mask); };
    }
    if (name == "brightness" || name == "lamp") {
        values(1, name == "lamp" ? "lamp LEVEL" : "brightness LEVEL");
        const int level = Integer(AWords[1], 0, 255, "a brightness");
        if (name == "lamp")
            return [name, level](TCustom485Target& T) {
                return Model<TWirelessTarget>(T, name).SetLampsBrightness(level);
            };
        return [name, level](TCustom485Target& T) {
            return Model<TWirelessTarget>(T, name).SetLedsBrightness(level);
        };
    }
    if (name == "start" || name == "stop" || name == "off" || name == "blink") {
        values(0, name.c_str());
        if (name == "off")
            return [](TCustom485Target& T) { return T.TurnOff(); };
        if (name == "blink")
            return [name](TCustom485Target& T) { return Model<TBlinker>(T, name).Blink(); };
        if (name == "start")
            return [name](TCustom485Target& T) { return Model<TWirelessTarget>(T, name).Start(); };
        return [name](TCustom485Target& T) { return Model<TWirelessTarget>(T, name).Stop(); };
    }
    if (name == "receiver") {
        values(1, "receiver on|off");
        if (AWords[1] != "on" && AWords[1] != "off")
            throw TUsageError("target: expected receiver on|off");
        const bool on = AWords[1] == "on";
        return [name, on](TCustom485Target& T) { return Model<TWirelessTarget>(T, name).SetReceiverOn(on); };
    }
    if (name == "frequencies") {
        values(2, "frequencies F1 F2");
        const int f1 = Frequency(AWords[1]), f2 = Frequency(AWords[2]);
        return [f1, f2](TCustom485Target& T) { return T.SetFrequencies(f1, f2); };
    }
    if (name == "signal") {
        values(2, "signal S1 S2");
        const double s1 = Level(AWords[1]), s2 = Level(AWords[2]);
        return [s1, s2](TCustom485Target& T) { return T.SetSignal(s1, s2); };
    }
    if (name == "address") {
        values(1, "address A");
        const int address = Integer(AWords[1], 1, 31, "a radio address");
        return [name, address](TCustom485Target& T) {
            return Model<TWirelessTarget>(T, name).SetAddress(address);
        };
    }
    if (name == "lock" || name == "unlock") {
        values(1, name == "lock" ? "lock KEY" : "unlock KEY");
        const TDeviceKey key = Key(AWords[1]);
        if (name == "lock")
            return [key](TCustom485Target& T) { return T.Lock(key); };
        return [key](TCustom485Target& T) { return T.Unlock(key); };
    }
    if (name == "hwinfo" || name == "readkey") {
        values(0, name.c_str());
        if (name == "hwinfo")
            return [name](TCustom485Target& T) { return Model<TTargetStub>(T, name).GetStubHWInfo(); };
        return [name](TCustom485Target& T) {
            TDeviceKey key{};
            return Model<TTargetStub>(T, name).GetDeviceKey(key);
        };
    }
    if (name == "secret") {
        values(1, "secret SECRET");
        const TDeviceKey secret = Key(AWords[1], "a secret");
        return [name, secret](TCustom485Target& T) {
            return Model<TTargetStub>(T, name).EnableSecretOps(secret);
        };
    }
    if (name == "serial" || name == "key") {
        values(1, name == "serial" ? "serial SERIAL" : "key KEY");
        if (!AFactory)
            throw TUsageError("target: \"" + name +
                              "\" changes the target for good; give --factory to allow it");
        const TDeviceKey bytes = Key(AWords[1], name == "serial" ? "a serial number" : "a key");
        if (name == "serial")
            return [name, bytes](TCustom485Target& T) {
                return Model<TTargetStub>(T, name).SetSerialNum(bytes);
            };
        return [name, bytes](TCustom485Target& T) { return Model<TTargetStub>(T, name).SetDeviceKey(bytes); };
    }
    throw TUsageError("target: unknown command \"" + name.substr(0, 40) +
                      "\" (see 'kelvo-trace target --help')");
}

int TargetCommand(const TArgs& AArgs) {
    const TParsedArgs args =
        ParseArgs("target", AArgs,
                  {.fValueOptions = {"--simulate", "--usb-vendor-id", "--wait-ms", "--secret"},
                   .fFlags = {"--factory"},
                   .fWords = true});
    if (args.fWords.size() < 2)
        throw TUsageError("target: expected INDEX COMMAND [VALUE...]");
    const auto index = ParseNumber(args.fWords[0], KELVO_WIRELESS_TARGETS);
    if (!index || *index == 0)
        throw TUsageError("target: \"" + args.fWords[0].substr(0, 40) + "\" is not a radio index 1-16");
    const TArgs words(args.fWords.begin() + 1, args.fWords.end());
    TTargetAction action = ParseTargetCommand(words, args.fFlags.count("--factory") > 0);
    if (auto secret = args.fValues.find("--secret"); secret != args.fValues.end()) {
        // The factory secret first, in the same bootloader session as the command.
        const TTargetAction enable = ParseTargetCommand({"secret", secret->second}, false);
        action = [enable, command = std::move(action)](TCustom485Target& T) {
            return enable(T) && command(T);
        };
    }
    const uint32_t waitMs = TargetsWaitMs("target", args);
    TTraceBus bus("target", args);
    TRadio radio("target", bus);
    PowerOnAndAwaitTargets(bus, radio, waitMs);
    TCustom485Target* target = radio.Controller().Targets(int(*index));
    if (!target)
        throw std::runtime_error("target: no target at radio index " + args.fWords[0]);
    if (!action(*target)) {
        std::string command;
        for (const std::string& word : words)
            command += (command.empty() ? "" : " ") + word;
        std::cerr << Program << ": target: target " << *index << " (" << target->fModelType << ") refused \""
                  << command << "\"\n";
        return KExitFailure;
    }
    PrintTarget(int(*index), *target);
    return KExitSuccess;
}

} // namespace

const TCommand KTargetsCommand{"targets", "list the radio targets of a wireless controller", TargetsHelp,
                               TargetsCommand};
const TCommand KTargetCommand{"target", "drive one radio target (LEDs, lamps, lock, ...)", TargetHelp,
                              TargetCommand};
