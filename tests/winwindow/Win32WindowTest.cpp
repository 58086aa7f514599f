// The real kelvo-fwupd.exe under Wine, driven as a user or another program would drive it: found by
// its window class and title, clicked through WM_USER + 1 once the Update button is enabled, its log
// read line by line from the list box (LB_GETCOUNT, LB_GETTEXT), and closed with WM_CLOSE. Needs a
// display (the suite runs inside tests/winwindow/xvfb-wine.sh).
#include "platform/Folders.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t Title[] = L"KELVO firmware updater 2.0";
// Generous: a whole update under Wine on a busy machine. The tests never assert on speed.
constexpr auto Patience = std::chrono::seconds(180);

std::wstring Wide(const std::string& AText) {
    return std::wstring(AText.begin(), AText.end());
}

// The program's Windows path: Wine shows the Linux root as drive Z:.
std::wstring ProgramPath() {
    std::wstring path = Wide(KELVO_FWUPD_PATH);
    if (!path.empty() && path[0] == L'/') {
        for (wchar_t& c : path)
            c = c == L'/' ? L'\\' : c;
        path.insert(0, L"Z:");
    }
    return path;
}

bool WaitFor(const std::function<bool()>& ADone) {
    const auto end = std::chrono::steady_clock::now() + Patience;
    while (!ADone()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// One run of the window program; killed with the object unless it has ended.
class TWindowProgram {
public:
    explicit TWindowProgram(const std::string& AArguments) {
        std::wstring command = L"\"" + ProgramPath() + L"\" " + Wide(AArguments);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        fStarted = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &fProcess);
        if (fStarted)
            CloseHandle(fProcess.hThread);
    }
    ~TWindowProgram() {
        if (!fStarted)
            return;
        if (WaitForSingleObject(fProcess.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(fProcess.hProcess, 99);
        CloseHandle(fProcess.hProcess);
    }
    bool Started() const { return fStarted; }

    // The program's top-level window of class AClass and title Title, once it shows.
    HWND FindWindowOfClass(const wchar_t* AClass) const {
        HWND found = nullptr;
        WaitFor([&] {
            for (HWND window = FindWindowExW(nullptr, nullptr, AClass, Title); window;
                 window = FindWindowExW(nullptr, window, AClass, Title)) {
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                if (process == fProcess.dwProcessId && IsWindowVisible(window))
                    found = window;
            }
            return found != nullptr;
        });
        return found;
    }
    HWND MainWindow() {
        if (!fWindow)
            fWindow = FindWindowOfClass(L"TForm1");
        return fWindow;
    }
    std::vector<std::string> Log() {
        std::vector<std::string> lines;
        const HWND list = FindWindowExW(MainWindow(), nullptr, L"ListBox", nullptr);
        const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, WPARAM(i), 0);
            if (length < 0)
                continue;
            std::wstring line(size_t(length) + 1, L'\0');
            line.resize(size_t(std::max<LRESULT>(
                SendMessageW(list, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(line.data())), 0)));
            lines.emplace_back(line.begin(), line.end()); // the log is ASCII
        }
        return lines;
    }
    bool LogHolds(const std::string& ALine) {
        for (const std::string& line : Log())
            if (line == ALine)
                return true;
        return false;
    }
    bool UpdateOffered() { return IsWindowEnabled(FindWindowExW(MainWindow(), nullptr, L"Button", nullptr)); }
    // The exit status once the program has ended, -1 while it runs.
    int ExitStatus() const {
        DWORD status = 0;
        if (WaitForSingleObject(fProcess.hProcess, 0) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(fProcess.hProcess, &status))
            return -1;
        return int(status);
    }

private:
    bool fStarted = false;
    PROCESS_INFORMATION fProcess{};
    HWND fWindow = nullptr;
};

std::string Joined(const std::vector<std::string>& ALines) {
    std::string text;
    for (const std::string& line : ALines)
        text += line + "\n";
    return text;
}

// Every case starts without settings files, so no journal of an earlier case plays a part.
struct TWindowTest : ::testing::Test {
    std::string fFolder = UserDataFolder() + "/KelvoFwUpd";
    void SetUp() override { std::filesystem::remove_all(fFolder); }

    // The update offered, clicked through the window message, and ended with AEnd in the log.
    void Update(TWindowProgram& AProgram, const std::string& AEnd) {
        ASSERT_TRUE(AProgram.Started());
        ASSERT_NE(AProgram.MainWindow(), nullptr);
        ASSERT_TRUE(WaitFor([&] { return AProgram.UpdateOffered(); })) << Joined(AProgram.Log());
        PostMessageW(AProgram.MainWindow(), WM_USER + 1, 0, 0);
        EXPECT_TRUE(WaitFor([&] { return AProgram.LogHolds(AEnd); })) << Joined(AProgram.Log());
    }
    // The window closed as the user closes it; the program ends normally.
    static void Close(TWindowProgram& AProgram) {
        PostMessageW(AProgram.MainWindow(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitFor([&] { return AProgram.ExitStatus() != -1; }));
        EXPECT_EQ(AProgram.ExitStatus(), 0);
    }
    int JournalStep(const std::string& ASerial) {
        const std::wstring file = Wide(fFolder + "/" + ASerial + ".ini");
        return int(GetPrivateProfileIntW(L"Device", L"UpdateStep", -1, file.c_str()));
    }
};

} // namespace

TEST_F(TWindowTest, EachKindOfDeviceIsUpdatedThroughTheWindowMessage) {
    struct TCase {
        const char* fSimulate;
        const char* fEnd;
    };
    for (const TCase& c : {TCase{"optical-sensor", "SUCCESS! Firmware updated."},
                           TCase{"target-controller", "Firmware updated successfully!"},
                           TCase{"wireless-controller", "Firmware updated successfully!"}}) {
        SCOPED_TRACE(c.fSimulate);
        SetUp();
        TWindowProgram program(std::string("--simulate ") + c.fSimulate);
        Update(program, c.fEnd);
        Close(program);
    }
}

TEST_F(TWindowTest, AWindowClosedMidFlashResumesAtTheNextStart) {
    const std::string serial = "32-1-2-3-4-5-6-9";
    {
        TWindowProgram program("--simulate optical-sensor,serial=" + serial);
        ASSERT_TRUE(program.Started());
        ASSERT_NE(program.MainWindow(), nullptr);
        ASSERT_TRUE(WaitFor([&] { return program.UpdateOffered(); })) << Joined(program.Log());
        PostMessageW(program.MainWindow(), WM_USER + 1, 0, 0);
        ASSERT_TRUE(WaitFor([&] { return program.LogHolds("Writing firmware..."); }))
            << Joined(program.Log());
        Close(program);
    }
    // The journal keeps the erase as the step to start from.
    EXPECT_EQ(JournalStep(serial), 3);
    // The device is still in its bootloader with half an image when the window comes back.
    TWindowProgram program("--simulate bootloader,pid=32,hw=2,flash=half,serial=" + serial);
    ASSERT_TRUE(program.Started());
    ASSERT_NE(program.MainWindow(), nullptr);
    EXPECT_TRUE(WaitFor([&] { return program.LogHolds("SUCCESS! Firmware updated."); }))
        << Joined(program.Log());
    Close(program);
    EXPECT_EQ(JournalStep(serial), 0);
}

TEST_F(TWindowTest, AFileInPlaceOfTheUserFolderIsReportedInAMessageBox) {
    std::filesystem::create_directories(UserDataFolder());
    {
        HANDLE blocker =
            CreateFileW(Wide(fFolder).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
        CloseHandle(blocker);
    }
    TWindowProgram program("");
    ASSERT_TRUE(program.Started());
    // The system's message box: dialog class, the program's title, the text in its static control.
    const HWND box = program.FindWindowOfClass(L"#32770");
    ASSERT_NE(box, nullptr);
    wchar_t text[512] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    std::wstring expected = L"Cannot access user folder \"" + Wide(fFolder) + L"\"";
    EXPECT_EQ(std::wstring(text), expected);
    PostMessageW(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return program.ExitStatus() != -1; }));
    EXPECT_EQ(program.ExitStatus(), 2);
    std::filesystem::remove(fFolder);
}
