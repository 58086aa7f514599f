// The real kelvo-fwupd-cli: what it writes where, its signals and its exit statuses.
#include "app/JsonLine.h"
#include "app/UpdateHistory.h"
#include "app/console/OnceWatch.h"
#include "app/console/QuietWatch.h"
#include "app/simbench/SimBench.h"
#include "platform/IniFile.h"
#include "platform/StdEventLoop.h"
#include "tests/scenarios/FormHarness.h"
#include "tests/threads/ImageFiles.h"
#include "tests/threads/TestHttpServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// One run of the program with stdout and stderr read into memory.
class TCliRun {
public:
    TCliRun(const std::vector<std::string>& AArgs, const std::string& AData) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        fPid = fork();
        if (fPid == 0) {
            setenv("XDG_DATA_HOME", AData.c_str(), 1);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            // The program must hold no reading end of its own output, or a closed reader could
            // never be noticed.
            close(out[0]);
            close(err[0]);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            std::vector<char*> argv{const_cast<char*>(KELVO_FWUPD_CLI_PATH)};
            for (const std::string& arg : AArgs)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        fOutFd = out[0];
        fErrFd = err[0];
    }
    ~TCliRun() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
        close(fOutFd);
        close(fErrFd);
    }
    // Reads what is there until AReady holds for stdout or ATimeout passes.
    bool ReadUntil(const std::function<bool(const std::string&)>& AReady,
                   std::chrono::milliseconds ATimeout) {
        const auto end = std::chrono::steady_clock::now() + ATimeout;
        while (!AReady(fOut) && std::chrono::steady_clock::now() < end)
            Pump(20);
        return AReady(fOut);
    }
    // Reads both streams to their end and reaps the program; its exit status, or -1.
    int Finish() {
        while (Pump(10000)) {
        }
        int status = 0;
        waitpid(fPid, &status, 0);
        fPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Only while the program runs: a pid of -1 would reach every process there is.
    void Signal(int ASignal) {
        if (fPid > 0)
            kill(fPid, ASignal);
    }
    // Closes the reading end of stdout, as a pager that has seen enough does.
    void CloseOut() {
        close(fOutFd);
        fOutFd = -1;
        --fOpen;
    }
    const std::string& Out() const { return fOut; }
    const std::string& Err() const { return fErr; }

private:
    // False once both streams are at their end.
    bool Pump(int ATimeoutMs) {
        // A negative descriptor is skipped by poll.
        pollfd fds[2] = {{fOutFd, POLLIN, 0}, {fErrFd, POLLIN, 0}};
        if (poll(fds, 2, ATimeoutMs) <= 0)
            return fOpen > 0;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? fOut : fErr).append(buf, size_t(n));
            else if (fds[i].fd >= 0) {
                --fOpen;
                (i == 0 ? fOutFd : fErrFd) = -1;
            }
        }
        return fOpen > 0;
    }

    pid_t fPid = -1;
    int fOutFd = -1;
    int fErrFd = -1;
    int fOpen = 2;
    std::string fOut;
    std::string fErr;
};

constexpr const char* Serial = "1-2-3-4-5-6-7-8";
const std::string Interrupted = "Update interrupted; replug the device and run the updater again.\n";

// The journal step the run left in the device's settings file.
int StepLeft(const std::string& AData) {
    return TIniFile(AData + "/KelvoFwUpd/" + Serial + ".ini").ReadInteger("Device", "UpdateStep", -1);
}

// An optical sensor that is offered an update and clicked at once, with its faults.
std::vector<std::string> UpdateRun(const std::string& AFaults, const std::string& ALatency = "0") {
    return {"--yes",
            "--latency-ms",
            ALatency,
            "--firmware-server",
            "http://127.0.0.1:1/downloads/fw/",
            "--simulate",
            "optical-sensor,serial=" + std::string(Serial) + AFaults};
}

} // namespace

TEST(KelvoFwUpdCli, TheExitStatusAndSummaryTellHowTheUpdateEnded) {
    struct TCase {
        const char* fFaults;
        int fStatus;
        const char* fSummary;
        int fStep;
    };
    const std::string unfinished =
        "0 updated, 0 failed, 1 unfinished (replug each unfinished device and run the updater again to "
        "finish its update)";
    for (const TCase& c :
         {TCase{"", 0, "1 updated, 0 failed, 0 unfinished", 0},
          // Interrupted, then resumed by the replug to the end.
          TCase{",unplug-after=erase,replug-after-ms=30", 0, "1 updated, 0 failed, 0 unfinished", 0},
          TCase{",unplug-at-block=100,replug-after-ms=30", 0, "1 updated, 0 failed, 0 unfinished", 0},
          TCase{",unplug-after=switch", 1, unfinished.c_str(), 1},
          TCase{",unplug-after=validate", 1, unfinished.c_str(), 5},
          TCase{",unplug-after=reconnect", 1, unfinished.c_str(), 5},
          TCase{",fail=reconnect", 1, unfinished.c_str(), 5},
          TCase{",fail=erase", 1, unfinished.c_str(), 2}}) {
        SCOPED_TRACE(c.fFaults);
        TTempDir data;
        TCliRun run(UpdateRun(c.fFaults), data.Path());
        EXPECT_EQ(run.Finish(), c.fStatus) << run.Out();
        EXPECT_NE(run.Err().find("\nkelvo-fwupd-cli: " + std::string(c.fSummary) + "\n"), std::string::npos)
            << run.Err();
        EXPECT_EQ(StepLeft(data.Path()), c.fStep);
    }
}

TEST(KelvoFwUpdCli, ATargetCountsByHowItsLastFlashEnded) {
    std::string eight = "wireless-controller";
    for (int i = 1; i <= 8; ++i)
        eight += ",t" + std::to_string(i) + "=12:3:11";
    const std::pair<std::string, std::string> cases[] = {
        // Cut off mid-write, back in its bootloader and flashed again to the end.
        {"target-controller,target-unplug-at-block=4843,replug-after-ms=21",
         "1 updated, 0 failed, 0 unfinished"},
        {"wireless-controller,t1=12:3:11:silent-at-block=100:back-after-ms=50",
         "1 updated, 0 failed, 0 unfinished"},
        // Gone for good mid-write: unfinished, flashed again whenever it comes back.
        {"wireless-controller,t1=12:3:11:silent-at-block=100", "0 updated, 0 failed, 1 unfinished"},
        {"target-controller,target-unplug-at-block=100", "0 updated, 0 failed, 1 unfinished"},
        // A whole range, one target after another; one of them out of reach mid-write.
        {eight, "8 updated, 0 failed, 0 unfinished"},
        {std::string(eight).replace(eight.find("t3=12:3:11") + 10, 0, ":silent-at-block=100"),
         "7 updated, 0 failed, 1 unfinished"},
    };
    for (const auto& [device, summary] : cases) {
        SCOPED_TRACE(device);
        TTempDir data;
        TCliRun run({"--yes", "--latency-ms", "0", "--firmware-server", "http://127.0.0.1:1/downloads/fw/",
                     "--simulate", device},
                    data.Path());
        EXPECT_EQ(run.Finish(), summary.ends_with(" 0 failed, 0 unfinished") ? 0 : 1) << run.Out();
        EXPECT_NE(run.Err().find("kelvo-fwupd-cli: " + summary), std::string::npos) << run.Err();
    }
}

TEST(KelvoFwUpdCli, ACloseSignalDuringTheFlashInterruptsTheUpdate) {
    for (const int closeSignal : {SIGINT, SIGTERM}) {
        TTempDir data;
        TCliRun run(UpdateRun("", "1"), data.Path());
        ASSERT_TRUE(run.ReadUntil(
            [](const std::string& AOut) { return AOut.find("Writing firmware...") != std::string::npos; },
            std::chrono::seconds(30)));
        run.Signal(closeSignal);
        EXPECT_EQ(run.Finish(), 1);
        EXPECT_TRUE(run.Out().ends_with("Writing firmware...\n" + Interrupted)) << run.Out();
        EXPECT_NE(run.Err().find("0 updated, 0 failed, 1 unfinished"), std::string::npos) << run.Err();
        // The next run writes the image again from the erase.
        EXPECT_EQ(StepLeft(data.Path()), 3);
    }
}

TEST(KelvoFwUpdCli, ACloseSignalDuringTheDownloadErasesNothing) {
    TTestHttpServer server;
    server.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(32, 2), ImageFile(32, 2, 11),
                 TTestHttpServer::TMode::Trickle);
    TTempDir data;
    const std::string report = data.Path() + "/report.json";
    TCliRun run({"--latency-ms", "0", "--firmware-server", server.Url("/downloads/fw/"), "--sim-report",
                 report, "--simulate", "bootloader,pid=32,hw=2,flash=valid,serial=" + std::string(Serial)},
                data.Path());
    ASSERT_TRUE(run.ReadUntil([&](const std::string&) { return !server.Requests().empty(); },
                              std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_TRUE(run.Out().ends_with(Interrupted)) << run.Out();
    EXPECT_EQ(run.Out().find("Erasing flash..."), std::string::npos);
    EXPECT_EQ(StepLeft(data.Path()), 2);
    std::ifstream in(report);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\"flash_valid\": true"), std::string::npos) << text.str();
}

TEST(KelvoFwUpdCli, AClosedStdoutDoesNotStopTheUpdate) {
    // The log lines, or with --json the events, go to stdout.
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "log lines");
        TTempDir data;
        const std::string report = data.Path() + "/report.json";
        std::vector<std::string> args = UpdateRun("", "1");
        args.insert(args.begin(), {"--sim-report", report});
        if (json)
            args.push_back("--json");
        TCliRun run(args, data.Path());
        ASSERT_TRUE(
            run.ReadUntil([](const std::string& AOut) { return !AOut.empty(); }, std::chrono::seconds(30)));
        run.CloseOut();
        EXPECT_EQ(run.Finish(), 1);
        const std::string failure = "kelvo-fwupd-cli: cannot write the log to stdout: Broken pipe\n";
        EXPECT_NE(run.Err().find(failure), std::string::npos) << run.Err();
        EXPECT_EQ(run.Err().find(failure), run.Err().rfind(failure));
        EXPECT_NE(run.Err().find("1 updated, 0 failed, 0 unfinished"), std::string::npos) << run.Err();
        EXPECT_EQ(StepLeft(data.Path()), 0);
        std::ifstream in(report);
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_NE(
            text.str().find("\"firmware_version\": 10, \"bootloader_version\": 3, \"serial_number\": \"" +
                            std::string(Serial) + "\", \"flash_valid\": true"),
            std::string::npos)
            << text.str();
    }
}

TEST(KelvoFwUpdCli, TheJsonOfferSaysWhereTheImageCameFrom) {
    TTestHttpServer server;
    server.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(32, 2), ImageFile(32, 2, 11));
    const std::pair<std::string, std::string> cases[] = {
        {server.Url("/downloads/fw/"), R"("version":11,"source":"downloaded"})"},
        {"http://127.0.0.1:1/downloads/fw/", R"("version":10,"source":"built-in"})"},
    };
    for (const auto& [firmwareServer, offer] : cases) {
        SCOPED_TRACE(firmwareServer);
        TTempDir data;
        TCliRun run({"--json", "--latency-ms", "0", "--firmware-server", firmwareServer, "--simulate",
                     "optical-sensor,serial=" + std::string(Serial)},
                    data.Path());
        EXPECT_EQ(run.Finish(), 0) << run.Err();
        EXPECT_NE(run.Out().find("\n{\"event\":\"offer\",\"serial\":\"" + std::string(Serial) + "\"," +
                                 offer + "\n"),
                  std::string::npos)
            << run.Out();
        // Nothing was updated: the summary object counts nothing, and stderr has no summary line.
        EXPECT_TRUE(
            run.Out().ends_with("\n{\"event\":\"summary\",\"updated\":0,\"failed\":0,\"unfinished\":0}\n"))
            << run.Out();
        EXPECT_EQ(run.Err().find("kelvo-fwupd-cli: 0 updated"), std::string::npos) << run.Err();
    }
}

TEST(KelvoFwUpdCli, UsageErrorsEndWithStatus2AndNothingOnStdout) {
    TTempDir data;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                                 {"--simulate", "nothing-like-this"},
                                                 {"--latency-ms"},
                                                 {"--key", "12"}}) {
        TCliRun run(args, data.Path());
        EXPECT_EQ(run.Finish(), 2) << args[0];
        EXPECT_EQ(run.Out(), "");
        EXPECT_NE(run.Err().find("kelvo-fwupd-cli: "), std::string::npos);
        EXPECT_NE(run.Err().find("try 'kelvo-fwupd-cli --help'"), std::string::npos);
    }
    TCliRun unknownKind({"--simulate", "robot,serial=1-2-3-4-5-6-7-8"}, data.Path());
    EXPECT_EQ(unknownKind.Finish(), 2);
    EXPECT_NE(unknownKind.Err().find("unknown device kind \"robot\""), std::string::npos);
    // Nothing started: no user folder.
    EXPECT_FALSE(std::filesystem::exists(data.Path() + "/KelvoFwUpd"));
}

TEST(KelvoFwUpdCli, HelpAndVersion) {
    TTempDir data;
    TCliRun help({"--help"}, data.Path());
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_EQ(help.Out().rfind("usage: kelvo-fwupd-cli [options]\n", 0), 0u);
    TCliRun version({"--version"}, data.Path());
    EXPECT_EQ(version.Finish(), 0);
    EXPECT_EQ(version.Out(), "kelvo-fwupd-cli 2.0\n");
}

TEST(KelvoFwUpdCli, TheUserFolderErrorEndsWithStatus2) {
    TTempDir data;
    std::ofstream(data.Path() + "/KelvoFwUpd") << "a file";
    TCliRun run({}, data.Path());
    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Err(), "error: Cannot access user folder \"" + data.Path() + "/KelvoFwUpd\"\n");
}

TEST(KelvoFwUpdCli, AnUnreadableSettingsFileEndsWithStatus2) {
    struct TCase {
        const char* fWhat;
        std::function<void(const std::string&)> fMake;
        const char* fVerb;
        const char* fCause;
    };
    const TCase cases[] = {
        {"a folder", [](const std::string& AFile) { std::filesystem::create_directory(AFile); }, "read",
         "not a regular file"},
        {"a FIFO", [](const std::string& AFile) { mkfifo(AFile.c_str(), 0600); }, "read",
         "not a regular file"},
        {"a symlink",
         [](const std::string& AFile) { std::filesystem::create_symlink("/etc/hostname", AFile); }, "open",
         "Too many levels of symbolic links"},
        {"a 50 MB file",
         [](const std::string& AFile) {
             std::ofstream(AFile) << "[Usb]\n";
             std::filesystem::resize_file(AFile, 50u << 20);
         },
         "read", "File too large"}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        TTempDir data;
        const std::string file = data.Path() + "/KelvoFwUpd/settings.ini";
        std::filesystem::create_directories(data.Path() + "/KelvoFwUpd");
        c.fMake(file);
        TCliRun run({"--list"}, data.Path());
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_EQ(run.Out(), "");
        EXPECT_EQ(run.Err(),
                  std::string("kelvo-fwupd-cli: cannot ") + c.fVerb + " " + file + ": " + c.fCause + "\n");
    }
}

TEST(KelvoFwUpdCli, RunsUntilAskedToCloseWithOnlyTheLogOnStdout) {
    TTempDir data;
    for (const int closeSignal : {SIGTERM, SIGINT}) {
        TCliRun run({"--firmware-server", "http://127.0.0.1:1/downloads/fw/"}, data.Path());
        ASSERT_TRUE(
            run.ReadUntil([](const std::string& AOut) { return !AOut.empty(); }, std::chrono::seconds(10)));
        // The external click with no device does nothing visible and does not end the program.
        run.Signal(SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        run.Signal(closeSignal);
        EXPECT_EQ(run.Finish(), 0);
        EXPECT_EQ(run.Out(), "Plug in device to update\n");
        EXPECT_EQ(run.Err(), "");
        EXPECT_TRUE(std::filesystem::is_directory(data.Path() + "/KelvoFwUpd"));
    }
}

TEST(QuietWatch, FiresAfterAnUnbrokenQuietSpell) {
    TStdEventLoop loop;
    bool quiet = false;
    int fired = 0;
    TQuietWatch watch(
        loop, [&] { return quiet; }, [&] { ++fired; }, 300);
    loop.RunUntil([] { return false; }, 500);
    EXPECT_EQ(fired, 0);
    quiet = true;
    loop.RunUntil([] { return false; }, 150);
    // A busy moment starts the spell again.
    quiet = false;
    loop.RunUntil([] { return false; }, 150);
    quiet = true;
    loop.RunUntil([] { return false; }, 150);
    EXPECT_EQ(fired, 0);
    ASSERT_TRUE(loop.RunUntil([&] { return fired == 1; }, 2000));
    // Once only.
    loop.RunUntil([] { return false; }, 500);
    EXPECT_EQ(fired, 1);
}

// A --once run ends by itself: once the device is back updated, once a device that does not come back
// within the wait is given up, soon when there is nothing to do; a device that comes back in its
// bootloader within the wait is flashed.
TEST(OnceWatch, EndsWhenTheDevicesPresentAreDone) {
    struct TCase {
        const char* fDevice; // none: an empty bus
        uint32_t fWaitMs;
        int fUpdated;
        int fUnfinished;
    };
    for (const TCase c : {TCase{"optical-sensor", 30000, 1, 0}, TCase{"camera-sensor", 30000, 1, 0},
                          TCase{"optical-sensor,unplug-after=switch", 300, 0, 1},
                          TCase{"optical-sensor,unplug-after=erase", 300, 0, 1},
                          TCase{"optical-sensor,unplug-at-block=100,replug-after-ms=1500", 30000, 1, 0},
                          TCase{"optical-sensor,unplug-at-block=100,replug-after-ms=1500", 300, 0, 1},
                          TCase{nullptr, 30000, 0, 0}}) {
        const std::string name = c.fDevice ? c.fDevice : "no device";
        TFormBench bench;
        std::vector<std::shared_ptr<TSimBusDevice>> devices;
        if (c.fDevice) {
            TSimDeviceOptions options;
            std::string error;
            ASSERT_TRUE(ParseSimDevice(c.fDevice, TSimKinds::BuiltIn(), options, error)) << error;
            devices = PlugSimDevices(bench.fBus, {options}, TSimKinds::BuiltIn(), 0);
        }
        bench.fToolkit.SetAutoClick(true);
        bench.fForm.FormCreate();
        bool done = false;
        TOnceWatch watch(
            bench.fLoop, [&] { return bench.fLoop.PendingCalls() == 0; }, bench.fForm, c.fWaitMs,
            [&] { done = true; });
        ASSERT_TRUE(bench.fLoop.RunUntil([&] { return done; }, 120000)) << name;
        const TForm1::TUpdateTally tally = bench.fForm.Tally();
        EXPECT_EQ(tally.fUpdated, c.fUpdated) << name;
        EXPECT_EQ(tally.fUnfinished, c.fUnfinished) << name;
        EXPECT_EQ(tally.fFailed, 0) << name;
        bench.fForm.FormClose();
    }
}

TEST(KelvoFwUpdCli, SimReportWritesEachDevicesFinalState) {
    TTempDir data;
    const std::string report = data.Path() + "/report.json";
    // The serial-number fault keeps the bootloader from being flashed, whatever the program does.
    TCliRun run({"--latency-ms", "0", "--simulate", "optical-sensor,serial=32-5-5-5-5-5-5-5", "--simulate",
                 "bootloader,pid=5,hw=4,fw=7,flash=valid,serial=5-6-6-6-6-6-6-6,fail=serial", "--sim-report",
                 report},
                data.Path());
    const int status = run.Finish();
    EXPECT_TRUE(status == 0 || status == 1) << run.Err();
    std::ifstream in(report);
    ASSERT_TRUE(in.good());
    std::ostringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    EXPECT_EQ(
        "{\n  \"devices\": [\n"
        "    {\"kind\": \"optical-sensor\", \"family\": \"optical-sensor\", \"product_id\": 32, "
        "\"hardware_version\": 2, \"firmware_version\": 9, \"bootloader_version\": 3, \"serial_number\": "
        "\"32-5-5-5-5-5-5-5\", \"flash_valid\": true, \"calibration\": "
        "\"3D0A0100C3F5000000000100E1FA000000800200\"},\n"
        "    {\"kind\": \"bootloader\", \"family\": \"trigger\", \"product_id\": 5, \"hardware_version\": 4, "
        "\"firmware_version\": 7, \"bootloader_version\": 3, \"serial_number\": \"5-6-6-6-6-6-6-6\", "
        "\"flash_valid\": true, \"calibration\": \"\"}\n"
        "  ]\n}\n",
        json);

    // A report that cannot be written ends the run with status 2.
    TCliRun bad(
        {"--latency-ms", "0", "--simulate", "trigger", "--sim-report", data.Path() + "/no/such/dir/r.json"},
        data.Path());
    EXPECT_EQ(2, bad.Finish());
    EXPECT_NE(bad.Err().find("kelvo-fwupd-cli: cannot write " + data.Path() + "/no/such/dir/r.json"),
              std::string::npos);
}

namespace {

// The history as --history --json prints it, one "outcome resumes before>after kind serial" per
// record.
std::vector<std::string> HistoryOf(const std::string& AData, const std::vector<std::string>& AExtra = {}) {
    std::vector<std::string> args = {"--history", "--json"};
    args.insert(args.end(), AExtra.begin(), AExtra.end());
    TCliRun run(args, AData);
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    std::vector<std::string> records;
    std::istringstream lines(run.Out());
    for (std::string line; std::getline(lines, line);) {
        const auto record = ParseUpdateRecord(line);
        EXPECT_TRUE(record) << line;
        if (!record)
            continue;
        auto version = [](std::optional<uint16_t> AValue) { return AValue ? std::to_string(*AValue) : "-"; };
        records.push_back(record->fOutcome + " " + std::to_string(record->fResumes) + " " +
                          version(record->fFirmwareBefore) + ">" + version(record->fFirmwareAfter) + " " +
                          record->fKind + " " + record->fSerial);
    }
    return records;
}

} // namespace

TEST(KelvoFwUpdCli, EachUpdateThatEndsLeavesARecordInTheHistory) {
    struct TCase {
        std::vector<std::string> fRuns;
        std::vector<std::string> fRecords;
    };
    const std::string optical = "optical-sensor,serial=" + std::string(Serial);
    const TCase cases[] = {
        {{"target-controller"}, {"updated 0 7>8 Standard, metal frame 6-1-2-3-4-5-6-7"}},
        // A target cut off mid-write and flashed again when it is back in its bootloader.
        {{"target-controller,target-unplug-at-block=4843,replug-after-ms=21"},
         {"unfinished 0 7>- Standard, metal frame 6-1-2-3-4-5-6-7",
          "updated 1 7>8 Standard, metal frame 6-1-2-3-4-5-6-7"}},
        {{"wireless-controller,t1=12:3:11:silent-at-block=100:back-after-ms=50"},
         {"unfinished 0 11>- KELVO electronic target 12-3-0-0-0-0-0-1",
          "updated 1 11>13 KELVO electronic target 12-3-0-0-0-0-0-1"}},
        // Left at the validation; the next run finds the device running the new firmware.
        {{optical + ",unplug-after=validate", optical + ",fw=10"},
         {"unfinished 0 9>- KELVO USB optical sensor 1-2-3-4-5-6-7-8",
          "updated 1 9>10 KELVO USB optical sensor 1-2-3-4-5-6-7-8"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fRuns.front());
        TTempDir data;
        for (const std::string& device : c.fRuns) {
            TCliRun run({"--yes", "--latency-ms", "0", "--firmware-server",
                         "http://127.0.0.1:1/downloads/fw/", "--simulate", device},
                        data.Path());
            run.Finish();
        }
        EXPECT_EQ(HistoryOf(data.Path()), c.fRecords);
    }
}

TEST(KelvoFwUpdCli, HistoryPrintsOneDevicesRecordsAndWarnsOfATornLine) {
    TTempDir data;
    std::filesystem::create_directories(data.Path() + "/KelvoFwUpd");
    TUpdateRecord record;
    record.fTime = "2026-12-11T08:05:09Z";
    record.fKind = "KELVO USB Trigger control";
    record.fProductId = 5;
    record.fVersionHW = 4;
    record.fOutcome = "failed";
    record.fSerial = "5-1-1-1-1-1-1-1";
    std::string file = UpdateRecordJson(record) + "\n";
    record.fSerial = "5-2-2-2-2-2-2-2";
    file += UpdateRecordJson(record) + "\n" + UpdateRecordJson(record).substr(0, 50);
    std::ofstream(data.Path() + "/KelvoFwUpd/history.jsonl", std::ios::binary) << file;

    EXPECT_EQ(HistoryOf(data.Path(), {"--serial", "05-2-2-2-2-2-2-2"}),
              std::vector<std::string>{"failed 0 ->- KELVO USB Trigger control 5-2-2-2-2-2-2-2"});
    TCliRun text({"--history"}, data.Path());
    EXPECT_EQ(text.Finish(), 0);
    EXPECT_EQ(std::count(text.Out().begin(), text.Out().end(), '\n'), 3) << text.Out();
    EXPECT_EQ(text.Out().rfind("time ", 0), 0u) << text.Out();
    EXPECT_EQ(text.Err(), "kelvo-fwupd-cli: warning: " + data.Path() +
                              "/KelvoFwUpd/history.jsonl line 3: torn record skipped\n");
    // No history yet.
    TTempDir empty;
    TCliRun none({"--history"}, empty.Path());
    EXPECT_EQ(none.Finish(), 0);
    EXPECT_EQ(none.Out(), "no updates recorded\n");
}

TEST(KelvoFwUpdCli, CheckEndsWithAStatusThatSaysWhetherUpdatesAreDue) {
    struct TCase {
        std::vector<std::string> fDevices;
        int fStatus;
        std::vector<std::string> fStatuses;
    };
    const TCase cases[] = {
        {{"optical-sensor", "trigger,fw=99"}, 3, {"current", "update"}},
        {{"trigger,fw=99"}, 0, {"current"}},
        // Only the devices present at start are checked: one plugged in later is not waited for.
        {{"trigger,fw=99", "optical-sensor,plug-after-ms=3000"}, 0, {"current"}},
        {{"trigger,hw=9"}, 0, {"no-firmware"}},
        {{"target-controller"}, 3, {"current", "update"}},
        {{"trigger,fw=99", "bootloader,pid=5,hw=4,flash=valid,fail=serial"}, 1, {"current", "cannot-open"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fDevices.front());
        TTempDir data;
        const std::string report = data.Path() + "/report.json";
        std::vector<std::string> args = {"--check",           "--json",
                                         "--latency-ms",      "0",
                                         "--firmware-server", "http://127.0.0.1:1/downloads/fw/",
                                         "--sim-report",      report};
        for (const std::string& device : c.fDevices)
            args.insert(args.end(), {"--simulate", device});
        TCliRun run(args, data.Path());
        EXPECT_EQ(run.Finish(), c.fStatus) << run.Err();
        std::vector<std::string> statuses;
        std::istringstream lines(run.Out());
        for (std::string line; std::getline(lines, line);) {
            const auto members = ParseJsonLine(line);
            ASSERT_TRUE(members) << line;
            EXPECT_EQ(members->at("event").fText, "check");
            statuses.push_back(members->at("status").fText);
        }
        EXPECT_EQ(statuses, c.fStatuses) << run.Out();
        // Nothing took place: no update, no history, and the report shows no device in its bootloader
        // unless it was plugged in as one.
        EXPECT_FALSE(std::filesystem::exists(data.Path() + "/KelvoFwUpd/history.jsonl"));
        std::ifstream in(report);
        std::ostringstream json;
        json << in.rdbuf();
        EXPECT_EQ(json.str().find("\"kind\": \"bootloader\", \"family\": \"optical"), std::string::npos);
        EXPECT_EQ(run.Err().find("updated"), std::string::npos) << run.Err();
    }
}

TEST(KelvoFwUpdCli, AHistoryThatCannotBeWrittenIsAWarningOnly) {
    TTempDir data;
    const std::string history = data.Path() + "/KelvoFwUpd/history.jsonl";
    std::filesystem::create_directories(history);
    TCliRun run(UpdateRun(""), data.Path());
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_NE(run.Err().find("1 updated, 0 failed, 0 unfinished"), std::string::npos) << run.Err();
    EXPECT_NE(run.Err().find("kelvo-fwupd-cli: warning: update history: cannot read " + history +
                             ": not a regular file\n"),
              std::string::npos)
        << run.Err();
}
