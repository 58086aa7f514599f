// kelvo-fwupd: the updater window. Its options are --simulate and --firmware-server, and --help and
// --version; without them it is the plain updater. SIGUSR1 clicks Update; SIGINT and SIGTERM close
// the window and end the program, whatever dialog is showing.
#include "app/CommandLine.h"
#include "app/RealUsbBus.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "app/qt/QtEventLoop.h"
#include "app/qt/QtToolkit.h"
#include "app/simbench/SimBench.h"
#include "platform/CommandArgs.h"
#include "platform/System.h"
#include "sim/SimBus.h"

#include <QApplication>
#include <QIcon>

#include <iostream>

namespace {

constexpr const char* ProgramName = "kelvo-fwupd";

// Prints what --help or --version asks for; true when the line holds one of them.
bool AnswerInformation(const TCommandLine& ALine, const TSimKinds& AKinds) {
    const auto information = InformationText(ALine, TFrontEnd::Window, ProgramName, AKinds);
    if (information)
        std::cout << *information;
    return information.has_value();
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists (Qt starts some), so that only the watcher receives the signals.
    BlockSignals();
    TCommandLine line;
    std::string error;
    const TSimKinds& kinds = TSimKinds::BuiltIn();
    // --help and --version need no display: a line without Qt's own options is answered before Qt
    // starts. Any other line is parsed again once Qt has taken its options out.
    if (ParseCommandLine({argv + 1, argv + argc}, TFrontEnd::Window, kinds, line, error) &&
        AnswerInformation(line, kinds))
        return KExitSuccess;
    // Qt 6 is DPI aware by itself; fractional scale factors are kept so sizes stay true to the layout.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication application(argc, argv);
    QApplication::setApplicationName(ApplicationTitle);
    // The installed desktop entry and icon (kelvo-fwupd.desktop, the icon theme's kelvo-fwupd).
    QGuiApplication::setDesktopFileName(ProgramName);
    QApplication::setWindowIcon(QIcon::fromTheme(ProgramName));

    // QApplication has taken its own options out of argv.
    const QStringList arguments = QApplication::arguments();
    std::vector<std::string> args;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        args.push_back(arguments[i].toStdString());
    if (!ParseCommandLine(args, TFrontEnd::Window, kinds, line, error)) {
        std::cerr << ProgramName << ": " << error << "\n\n"
                  << UsageText(TFrontEnd::Window, ProgramName, kinds);
        return KExitUsage;
    }
    if (AnswerInformation(line, kinds))
        return KExitSuccess;
    TQtEventLoop loop;
    // Without --simulate the devices are the real ones on the USB bus; where this build or system
    // gives no USB access, the bus stays empty.
    TSimBus simBus(loop);
    std::unique_ptr<TUsbBus> realBus;
    TQtToolkit toolkit;
    if (line.fSimulate.empty()) {
        std::string settingsError;
        realBus = FrontEndUsbBus(loop, line.fUsbVendorId, ProgramName, settingsError);
        if (!settingsError.empty()) {
            toolkit.ShowMessage(settingsError);
            return KExitSetup;
        }
    }
    TSystemScope system(loop, realBus ? *realBus : static_cast<TUsbBus&>(simBus));
    const auto devices = PlugSimDevices(simBus, line.fSimulate, kinds, 1);

    TForm1 form(toolkit);
    if (!line.fFirmwareServer.empty())
        form.fFirmwareServer = line.fFirmwareServer;
    toolkit.SetOnClose([&] { form.FormClose(); });
    TSignalWatcher watcher(
        loop, [&] { form.WMClickUpdate(); }, [&] { toolkit.CloseEverything(); });
    form.FormCreate();
    if (form.Terminating())
        return KExitSetup;
    toolkit.Window().show();
    loop.Run();
    return KExitSuccess;
}
