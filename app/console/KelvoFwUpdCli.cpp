// kelvo-fwupd-cli: the updater's window logic in a terminal. stdout carries the log lines only;
// progress, messages and notes go to stderr. Exit status: 0 nothing failed, 1 a device open, an
// update or a restore failed, 2 a usage error, the user-folder error or a report file that cannot be
// written.
#include "app/CommandLine.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "app/console/ConsoleToolkit.h"
#include "app/simbench/SimBench.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"

#include <unistd.h>

#include <iostream>
#include <sstream>

namespace {

constexpr const char* ProgramName = "kelvo-fwupd-cli";

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that only the watcher receives the signals.
    BlockSignals();

    TCommandLine line;
    std::string error;
    const TSimKinds& kinds = TSimKinds::BuiltIn();
    if (!ParseCommandLine({argv + 1, argv + argc}, TFrontEnd::Console, kinds, line, error)) {
        std::cerr << ProgramName << ": " << error << "\n"
                  << "try '" << ProgramName << " --help'\n";
        return 2;
    }
    if (const auto information = InformationText(line, TFrontEnd::Console, ProgramName, kinds)) {
        std::cout << *information;
        return 0;
    }
    TStdEventLoop loop;
    // Without --simulate the bus has no devices: real USB access is not part of this build.
    TSimBus bus(loop);
    TSystemScope system(loop, bus);
    const auto devices = PlugSimDevices(bus, line.fSimulate, kinds, line.fLatencyMs);
    // Kept for the report: a device's personality changes as it goes into its bootloader and back.
    const auto units = SimPhysicalDevicesOf(devices);

    TConsoleToolkit toolkit(loop, std::cin, stdout, stderr, isatty(STDERR_FILENO) != 0);
    toolkit.SetInteractive(isatty(STDIN_FILENO) != 0);
    toolkit.SetInputAnswer(line.fKey);
    toolkit.SetAutoClick(line.fYes);

    int status = 0;
    {
        TForm1 form(toolkit);
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
            return 2;
        std::unique_ptr<TQuietWatch> quiet;
        if (!line.fSimulate.empty()) {
            toolkit.Note("simulated bench: " + std::to_string(devices.size()) +
                         " device(s); the program ends when the bench has been quiet for 1 s");
            quiet = std::make_unique<TQuietWatch>(
                loop,
                [&] {
                    return !form.Timer1.Enabled() && !form.UpdateUnderWay() && !bus.HasPendingReports() &&
                           loop.PendingCalls() == 0;
                },
                close);
        }
        loop.Run();
        status = form.Failures() > 0 ? 1 : 0;
    }
    if (!line.fSimReport.empty() && !WriteSimReport(line.fSimReport, units)) {
        std::cerr << ProgramName << ": cannot write " << line.fSimReport << "\n";
        return 2;
    }
    return status;
}
