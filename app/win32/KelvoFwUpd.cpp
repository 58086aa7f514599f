// kelvo-fwupd.exe: the updater window on Windows. Its options are --simulate and --firmware-server,
// and --help and --version; without them it is the plain updater. The window message WM_USER + 1
// clicks Update; closing the window ends the program.
#include "app/CommandLine.h"
#include "app/RealUsbBus.h"
#include "app/Unit1.h"
#include "app/simbench/SimBench.h"
#include "app/win32/Win32Toolkit.h"
#include "platform/CommandArgs.h"
#include "platform/System.h"
#include "platform/win32/Win32EventLoop.h"
#include "sim/SimBus.h"

// After the library's headers: the system's macros would rename functions declared in them.
#include "platform/win32/Win32Text.h"

#include <shellapi.h>

namespace {

constexpr const char* ProgramName = "kelvo-fwupd";

// The program's arguments in UTF-8, whatever the system's code page.
std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; words && i < count; ++i)
        args.push_back(WideToUtf8(words[i]));
    LocalFree(words);
    return args;
}

// A program of the window subsystem has no console of its own: text for a terminal goes to the
// standard handle when the caller redirected it, else to the console the program was started
// from, else into a message box.
void Tell(DWORD AStandardHandle, const std::string& AText, UINT AIcon) {
    HANDLE out = GetStdHandle(AStandardHandle);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (AttachConsole(ATTACH_PARENT_PROCESS))
            out = GetStdHandle(AStandardHandle);
    }
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD mode = 0;
        DWORD written = 0;
        if (GetConsoleMode(out, &mode)) {
            const std::wstring text = Utf8ToWide(AText);
            if (WriteConsoleW(out, text.data(), DWORD(text.size()), &written, nullptr))
                return;
        } else if (WriteFile(out, AText.data(), DWORD(AText.size()), &written, nullptr)) {
            return;
        }
    }
    MessageBoxW(nullptr, Utf8ToWide(AText).c_str(), Utf8ToWide(ApplicationTitle).c_str(), MB_OK | AIcon);
}

} // namespace

int main() {
    TCommandLine line;
    std::string error;
    const TSimKinds& kinds = TSimKinds::BuiltIn();
    if (!ParseCommandLine(Arguments(), TFrontEnd::Window, kinds, line, error)) {
        Tell(STD_ERROR_HANDLE,
             std::string(ProgramName) + ": " + error + "\n\n" +
                 UsageText(TFrontEnd::Window, ProgramName, kinds),
             MB_ICONERROR);
        return KExitUsage;
    }
    if (const auto information = InformationText(line, TFrontEnd::Window, ProgramName, kinds)) {
        Tell(STD_OUTPUT_HANDLE, *information, MB_ICONINFORMATION);
        return KExitSuccess;
    }
    TWin32EventLoop loop;
    // Without --simulate the devices are the ones the system's drivers present.
    TSimBus simBus(loop);
    std::unique_ptr<TUsbBus> realBus;
    if (line.fSimulate.empty()) {
        std::string settingsError;
        realBus = FrontEndUsbBus(loop, line.fUsbVendorId, ProgramName, settingsError);
        if (!settingsError.empty()) {
            Tell(STD_ERROR_HANDLE, settingsError, MB_ICONERROR);
            return KExitSetup;
        }
    }
    TSystemScope system(loop, realBus ? *realBus : static_cast<TUsbBus&>(simBus));
    const auto devices = PlugSimDevices(simBus, line.fSimulate, kinds, 1);

    TWin32Toolkit toolkit(loop);
    TForm1 form(toolkit);
    if (!line.fFirmwareServer.empty())
        form.fFirmwareServer = line.fFirmwareServer;
    toolkit.SetOnClose([&] { form.FormClose(); });
    toolkit.SetOnClickRequest([&] { form.WMClickUpdate(); });
    form.FormCreate();
    if (form.Terminating())
        return KExitSetup;
    toolkit.Show();
    loop.Run();
    return KExitSuccess;
}
