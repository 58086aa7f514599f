// kelvo-fwupd-cli: the updater's window logic in a terminal. stdout carries the log lines only (with
// --json, the run's events as JSON Lines instead, and no progress bar is shown); progress,
// messages, notes and the closing summary of the updates go to stderr. Exit status: 0 every
// update that started ended with the device updated and nothing failed, 1 a device open, an update
// or a restore failed, an update is left unfinished, or the log could not be written, 2 a usage
// error, the user-folder error or a report file that cannot be written. --check and --history print
// what they find on stdout and exit; --check ends with 0 (every device current), 3 (an update is
// available) or 1 (a device could not be opened).
#include "app/CommandLine.h"
#include "app/DeviceList.h"
#include "app/FirmwareCheck.h"
#include "app/RealUsbBus.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "app/UpdateHistory.h"
#include "app/console/ConsoleToolkit.h"
#include "app/console/JsonEvents.h"
#include "app/console/OnceWatch.h"
#include "app/console/QuietWatch.h"
#include "app/simbench/SimBench.h"
#include "app/simbench/SimReport.h"
#include "platform/CommandArgs.h"
#include "platform/Console.h"
#include "platform/Folders.h"
#include "platform/MainEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <sstream>

namespace {

constexpr const char* ProgramName = "kelvo-fwupd-cli";

// One line on how the updates of the run ended; empty when no device took part.
std::string SummaryLine(const TForm1::TUpdateTally& ATally) {
    if (ATally.fUpdated + ATally.fFailed + ATally.fUnfinished == 0)
        return {};
    std::string line = std::string(ProgramName) + ": " + std::to_string(ATally.fUpdated) + " updated, " +
                       std::to_string(ATally.fFailed) + " failed, " + std::to_string(ATally.fUnfinished) +
                       " unfinished";
    if (ATally.fUnfinished > 0)
        line += " (replug each unfinished device and run the updater again to finish its update)";
    return line;
}

// Parses the arguments into line; the exit status when the program ends here (a usage error, or
// help and version information printed).
std::optional<int> HandleArguments(int argc, char** argv, const TSimKinds& kinds, TCommandLine& line) {
    std::string error;
    if (!ParseCommandLine({argv + 1, argv + argc}, TFrontEnd::Console, kinds, line, error)) {
        std::cerr << ProgramName << ": " << error << "\n"
                  << "try '" << ProgramName << " --help'\n";
        return KExitUsage;
    }
    if (const auto information = InformationText(line, TFrontEnd::Console, ProgramName, kinds)) {
        std::cout << *information;
        return KExitSuccess;
    }
    return std::nullopt;
}

// The real USB bus of the front end; false (with the message printed) when its settings are unusable.
bool OpenRealBus(TMainEventLoop& loop, const TCommandLine& line, std::unique_ptr<TUsbBus>& realBus) {
    std::string settingsError;
    realBus = FrontEndUsbBus(loop, line.fUsbVendorId, ProgramName, settingsError);
    if (!settingsError.empty()) {
        std::cerr << ProgramName << ": " << settingsError << "\n";
        return false;
    }
    return true;
}

// Prints how the updates ended (with AEvents, as their last object too) and whether stdout could be
// written; the exit status they give.
int SumUp(TForm1& form, TConsoleToolkit& toolkit, TJsonEvents* AEvents) {
    if (AEvents)
        form.TellUnfinishedUpdates();
    const TForm1::TUpdateTally tally = form.Tally();
    if (const std::string summary = SummaryLine(tally); !summary.empty())
        std::cerr << summary << "\n";
    if (AEvents)
        AEvents->Summarised(tally.fUpdated, tally.fFailed, tally.fUnfinished);
    const std::string& outputError = AEvents ? AEvents->OutputError() : toolkit.LogOutputError();
    if (!outputError.empty())
        std::cerr << ProgramName << ": cannot write the log to stdout: " << outputError << "\n";
    // The updates themselves went as the status says; only their record is missing.
    if (!form.HistoryError().empty())
        std::cerr << ProgramName << ": warning: update history: " << form.HistoryError() << "\n";
    return tally.fFailed + tally.fUnfinished > 0 || !outputError.empty() ? KExitFailure : KExitSuccess;
}

// Runs the window until it closes (or, simulated, until the bench is quiet; with --once, until the
// devices present are done); the exit status, KExitSetup when the window ends as it is created (the
// user folder cannot be used).
int RunWindow(TMainEventLoop& loop, TSimBus& simBus, TConsoleToolkit& toolkit, const TCommandLine& line,
              size_t ADeviceCount, TJsonEvents* AEvents) {
    TForm1 form(toolkit);
    form.SetObserver(AEvents);
    if (!line.fFirmwareServer.empty())
        form.fFirmwareServer = line.fFirmwareServer;
    bool closed = false;
    auto close = [&] {
        if (closed)
            return;
        closed = true;
        form.FormClose();
        loop.Quit();
    };
    TSignalWatcher watcher(
        loop, [&] { form.WMClickUpdate(); }, close);
    form.FormCreate();
    if (form.Terminating())
        return KExitSetup;
    std::unique_ptr<TQuietWatch> quiet;
    if (!line.fSimulate.empty()) {
        toolkit.Note("simulated bench: " + std::to_string(ADeviceCount) +
                     " device(s); the program ends when the bench has been quiet for 1 s");
        quiet = std::make_unique<TQuietWatch>(
            loop,
            [&] {
                return !form.Timer1.Enabled() && !form.UpdateUnderWay() && !simBus.HasPendingReports() &&
                       loop.PendingCalls() == 0;
            },
            close);
    }
    std::unique_ptr<TOnceWatch> once;
    if (line.fOnce) {
        toolkit.Note("--once: the program ends when the devices present are done (a device going into or "
                     "out of its bootloader is waited for up to " +
                     std::to_string(line.fWaitMs) + " ms)");
        once = std::make_unique<TOnceWatch>(
            loop, [&] { return loop.PendingCalls() == 0; }, form, line.fWaitMs, close);
    }
    loop.Run();
    return SumUp(form, toolkit, AEvents);
}

// --history: the records (only those of --serial's device when given) on stdout, each line that
// had to be skipped said on stderr; KExitSetup when the file cannot be read.
int PrintHistory(const TCommandLine& ALine) {
    const std::string base = UserDataFolder();
    if (base.empty()) {
        std::cerr << ProgramName << ": cannot find the user data folder\n";
        return KExitSetup;
    }
    const TUpdateHistory history(base + "/" + UserFolderName + "/" + UpdateHistoryFileName);
    std::vector<std::string> warnings;
    std::vector<TUpdateRecord> records;
    try {
        records = history.Read(warnings);
    } catch (const std::exception& e) {
        std::cerr << ProgramName << ": " << e.what() << "\n";
        return KExitSetup;
    }
    for (const std::string& warning : warnings)
        std::cerr << ProgramName << ": warning: " << warning << "\n";
    if (!ALine.fSerial.empty())
        std::erase_if(records, [&](const TUpdateRecord& ARecord) {
            // Compared as numbers, so that 01-2-... finds 1-2-...
            return ParseDashedBytes(ARecord.fSerial) != ParseDashedBytes(ALine.fSerial);
        });
    if (ALine.fJson)
        for (const TUpdateRecord& record : records)
            std::cout << UpdateRecordJson(record) << "\n";
    else
        std::cout << UpdateHistoryText(records);
    std::cout.flush();
    return std::cout ? KExitSuccess : KExitFailure;
}

// --check: every device present compared with its image, on stdout; the exit status CheckExitStatus
// gives, KExitSetup when the user folder cannot be used.
int RunCheck(TConsoleToolkit& AToolkit, const TCommandLine& ALine) {
    TForm1 form(AToolkit);
    if (!ALine.fFirmwareServer.empty())
        form.fFirmwareServer = ALine.fFirmwareServer;
    if (!form.OpenUserFolder()) {
        std::cerr << ProgramName << ": cannot access user folder \"" << form.fUserPath << "\"\n";
        return KExitSetup;
    }
    form.LoadBuiltInFirmware();
    const std::vector<TCheckedDevice> devices = CheckDevices(form);
    std::cout << (ALine.fJson ? CheckJson(devices) : CheckText(devices));
    std::cout.flush();
    return std::cout ? CheckExitStatus(devices) : KExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that only the watcher receives the signals.
    BlockSignals();
    PrepareConsole();

    TCommandLine line;
    const TSimKinds& kinds = TSimKinds::BuiltIn();
    if (const auto exitStatus = HandleArguments(argc, argv, kinds, line))
        return *exitStatus;
    if (line.fHistory)
        return PrintHistory(line);
    TMainEventLoop loop;
    // Without --simulate the devices are the real ones on the USB bus; where this build or system
    // gives no USB access, the bus stays empty.
    TSimBus simBus(loop);
    std::unique_ptr<TUsbBus> realBus;
    if (line.fSimulate.empty() && !OpenRealBus(loop, line, realBus))
        return KExitSetup;
    TUsbBus& bus = realBus ? *realBus : simBus;
    TSystemScope system(loop, bus);
    if (line.fList) {
        const auto listed = realBus ? ListRealUsbDevices(*realBus) : std::vector<TListedDevice>();
        std::cout << (line.fJson ? DeviceListJson(listed) : DeviceListText(listed));
        return realBus ? KExitSuccess : KExitFailure;
    }
    const auto devices = PlugSimDevices(simBus, line.fSimulate, kinds, line.fLatencyMs);
    // Kept for the report: a device's personality changes as it goes into its bootloader and back.
    const auto units = SimPhysicalDevicesOf(devices);

    // With --json an update run's stdout carries the events, and the progress they hold is not drawn
    // on stderr; a check writes its own objects.
    std::optional<TJsonEvents> events;
    if (line.fJson && !line.fCheck)
        events.emplace(stdout);
    TConsoleToolkit toolkit(loop, std::cin, events ? nullptr : stdout, stderr, IsTerminal(stderr));
    toolkit.SetProgressShown(!events);
    toolkit.SetInteractive(IsTerminal(stdin));
    toolkit.SetInputAnswer(line.fKey);
    toolkit.SetAutoClick(line.fYes);

    const int status =
        line.fCheck ? RunCheck(toolkit, line)
                    : RunWindow(loop, simBus, toolkit, line, devices.size(), events ? &*events : nullptr);
    if (status == KExitSetup) // the window ended as it was created: no report
        return status;
    if (!line.fSimReport.empty() && !WriteSimReport(line.fSimReport, units)) {
        std::cerr << ProgramName << ": cannot write " << line.fSimReport << "\n";
        return KExitSetup;
    }
    return status;
}
