// Starts the real kelvo-fwupd on a private Xvfb display and looks for its window by title; its
// --help and --version answer without any display.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs AArgs with extra environment and stderr silenced; the child is killed with the object
// unless reaped.
class TChild {
public:
    TChild(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv) {
        fPid = fork();
        if (fPid == 0) {
            for (const std::string& var : AEnv)
                putenv(strdup(var.c_str()));
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            std::vector<char*> argv;
            for (const std::string& arg : AArgs)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TChild() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
    }
    // Signals the child while it runs; once it is reaped (or was never started) there is no one to
    // signal, and a pid of -1 would reach every process there is.
    void Signal(int ASignal) {
        if (fPid > 0)
            kill(fPid, ASignal);
    }
    // Waits up to ATimeout for the exit; the exit status, or -1.
    int Wait(std::chrono::milliseconds ATimeout) {
        if (fPid <= 0)
            return -1;
        const auto end = std::chrono::steady_clock::now() + ATimeout;
        for (;;) {
            int status = 0;
            if (waitpid(fPid, &status, WNOHANG) == fPid) {
                fPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= end)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    pid_t fPid = -1;
};

// Runs the program with AOption and no display to reach (Qt would end it at once if it started);
// its stdout, and its exit status in AStatus.
std::string RunWithoutDisplay(const std::string& AOption, int& AStatus) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " +
                                std::string(KELVO_FWUPD_PATH) + " " + AOption;
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; pipe && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    const int status = pipe ? pclose(pipe) : -1;
    AStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// The titles of the top-level windows of the display.
std::vector<std::string> WindowTitles(xcb_connection_t* AConnection) {
    std::vector<std::string> titles;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(AConnection)).data;
    const auto atomCookie = xcb_intern_atom(AConnection, 0, 12, "_NET_WM_NAME");
    const auto utf8Cookie = xcb_intern_atom(AConnection, 0, 11, "UTF8_STRING");
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> atom(
        xcb_intern_atom_reply(AConnection, atomCookie, nullptr), &free);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> utf8(
        xcb_intern_atom_reply(AConnection, utf8Cookie, nullptr), &free);
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&free)> tree(
        xcb_query_tree_reply(AConnection, xcb_query_tree(AConnection, screen->root), nullptr), &free);
    if (!tree || !atom || !utf8)
        return titles;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        for (const xcb_atom_t property : {atom->atom, xcb_atom_t(XCB_ATOM_WM_NAME)}) {
            std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> reply(
                xcb_get_property_reply(AConnection,
                                       xcb_get_property(AConnection, 0, children[i], property,
                                                        XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
                                       nullptr),
                &free);
            if (reply && xcb_get_property_value_length(reply.get()) > 0)
                titles.emplace_back(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                    size_t(xcb_get_property_value_length(reply.get())));
        }
    }
    return titles;
}

// A private Xvfb display for one test, and a scratch user data folder base.
struct TXvfbFixture : ::testing::Test {
    std::unique_ptr<TChild> fXvfb;
    std::string fDisplay;
    std::string fData;

    void SetUp() override {
        if (access("/usr/bin/Xvfb", X_OK) != 0)
            GTEST_SKIP() << "Xvfb is not installed";
        // Xvfb picks a free display number and writes it to the pipe.
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        fXvfb = std::make_unique<TChild>(std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd",
                                                                  std::to_string(pipeFds[1]), "-screen", "0",
                                                                  "1280x1024x24", "-nolisten", "tcp"},
                                         std::vector<std::string>{});
        close(pipeFds[1]);
        pollfd wait{pipeFds[0], POLLIN, 0};
        char buf[16];
        while (fDisplay.find('\n') == std::string::npos && poll(&wait, 1, 10000) > 0) {
            const ssize_t n = read(pipeFds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            fDisplay.append(buf, size_t(n));
        }
        close(pipeFds[0]);
        ASSERT_NE(fDisplay.find('\n'), std::string::npos) << "Xvfb did not start";
        fDisplay.resize(fDisplay.find('\n'));
        fDisplay.insert(0, 1, ':');
        fData =
            (std::filesystem::temp_directory_path() / ("kelvo-xvfb-" + std::to_string(getpid()))).string();
        std::filesystem::create_directories(fData);
    }
    void TearDown() override {
        if (!fData.empty())
            std::filesystem::remove_all(fData);
    }
    std::unique_ptr<TChild> StartUpdater() {
        return std::make_unique<TChild>(
            std::vector<std::string>{KELVO_FWUPD_PATH},
            std::vector<std::string>{"DISPLAY=" + fDisplay, "QT_QPA_PLATFORM=xcb", "XDG_DATA_HOME=" + fData});
    }
    // Whether a top-level window with the title shows up within 30 s.
    bool WindowAppears(const std::string& ATitle) {
        xcb_connection_t* connection = xcb_connect(fDisplay.c_str(), nullptr);
        bool found = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (xcb_connection_has_error(connection) == 0 && !found &&
               std::chrono::steady_clock::now() < end) {
            for (const std::string& title : WindowTitles(connection))
                found = found || title == ATitle;
            if (!found)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        xcb_disconnect(connection);
        return found;
    }
};

} // namespace

TEST_F(TXvfbFixture, TheUpdaterWindowAppearsWithItsTitle) {
    auto updater = StartUpdater();
    EXPECT_TRUE(WindowAppears("KELVO firmware updater 2.0"));
    EXPECT_TRUE(std::filesystem::is_directory(fData + "/KelvoFwUpd"));
    // The external click with no device does nothing; SIGTERM closes the window and the program
    // ends normally.
    updater->Signal(SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(updater->Wait(std::chrono::milliseconds(0)), -1);
    updater->Signal(SIGTERM);
    EXPECT_EQ(updater->Wait(std::chrono::seconds(10)), 0);
}

TEST_F(TXvfbFixture, ACloseSignalEndsTheUserFolderMessageBox) {
    // A file where the user folder should be: start-up shows its error in a modal box.
    std::FILE* blocker = std::fopen((fData + "/KelvoFwUpd").c_str(), "w");
    ASSERT_NE(blocker, nullptr);
    std::fclose(blocker);
    for (const int closeSignal : {SIGTERM, SIGINT}) {
        auto updater = StartUpdater();
        // The box carries the program's title; the main window is never shown on this path.
        ASSERT_TRUE(WindowAppears("KELVO firmware updater 2.0"));
        EXPECT_EQ(updater->Wait(std::chrono::milliseconds(200)), -1);
        updater->Signal(closeSignal);
        EXPECT_EQ(updater->Wait(std::chrono::seconds(10)), 2) << closeSignal;
    }
}

TEST(WindowProgram, HelpAndVersionAnswerWithoutADisplay) {
    int status = -1;
    const std::string help = RunWithoutDisplay("--help", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help.rfind("usage: kelvo-fwupd [options]\n", 0), 0u) << help;
    EXPECT_NE(help.find("--simulate DEVICE"), std::string::npos);
    EXPECT_EQ(RunWithoutDisplay("--version", status), "kelvo-fwupd 2.0\n");
    EXPECT_EQ(status, 0);
    // Anything else still needs the window system, so it fails here.
    RunWithoutDisplay("--firmware-server http://h/ 2>/dev/null", status);
    EXPECT_NE(status, 0);
}
