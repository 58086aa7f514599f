// The main window over the console toolkit: start-up, the user folder, the external click, the
// one-shot timer and the per-device update journal.
#include "app/Signals.h"
#include "platform/IniFile.h"
#include "tests/scenarios/FormHarness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

constexpr TSerialNum Serial1 = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr TSerialNum Serial2 = {1, 2, 3, 4, 5, 6, 7, 9};

} // namespace

TEST(FormStartUp, LogsOnlyThePromptAndMakesTheUserFolder) {
    TFormBench bench;
    bench.fForm.FormCreate();
    EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
    EXPECT_EQ(bench.fErr.Text(), "");
    EXPECT_TRUE(fs::is_directory(bench.UserFolder()));
    EXPECT_EQ(bench.fForm.fUserPath, bench.UserFolder());
    EXPECT_EQ(bench.fToolkit.Caption(), "KELVO firmware updater 2.0");
    EXPECT_FALSE(bench.fForm.btnUpdate.Enabled());
    EXPECT_EQ(bench.fForm.btnUpdate.Caption(), "Update");
    EXPECT_FALSE(bench.fForm.Timer1.Enabled());
    EXPECT_EQ(bench.fForm.fWinVer, TWinVer::Unknown);
    EXPECT_FALSE(bench.fForm.Terminating());
    bench.fForm.FormClose();
    EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
}

TEST(FormStartUp, AnExistingFolderOrALinkToOneIsUsedAsIs) {
    TFormBench bench;
    fs::create_directory(bench.fData.Path() + "/elsewhere");
    fs::create_directory_symlink(bench.fData.Path() + "/elsewhere", bench.UserFolder());
    bench.fForm.FormCreate();
    EXPECT_FALSE(bench.fForm.Terminating());
    EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
}

TEST(FormStartUp, AMissingDataFolderBaseIsCreated) {
    TFormBench bench;
    const TEnvOverride xdg("XDG_DATA_HOME", bench.fData.Path() + "/fresh/account/share");
    bench.fForm.FormCreate();
    EXPECT_FALSE(bench.fForm.Terminating());
    EXPECT_TRUE(fs::is_directory(bench.fData.Path() + "/fresh/account/share/KelvoFwUpd"));
}

TEST(FormStartUp, AFileInPlaceOfTheFolderEndsTheProgram) {
    TFormBench bench;
    std::ofstream(bench.UserFolder()) << "not a folder";
    bench.fForm.FormCreate();
    EXPECT_EQ(bench.fErr.Text(), "error: Cannot access user folder \"" + bench.UserFolder() + "\"\n");
    EXPECT_EQ(bench.fOut.Text(), "");
    EXPECT_TRUE(bench.fForm.Terminating());
    // The loop has been asked to end: Run returns at once.
    bench.fLoop.Run();
    // A dangling link is no folder either and cannot be replaced.
    TFormBench dangling;
    fs::create_directory_symlink(dangling.fData.Path() + "/gone", dangling.UserFolder());
    dangling.fForm.FormCreate();
    EXPECT_TRUE(dangling.fForm.Terminating());
}

TEST(FormClick, SigUsr1RunsTheCurrentHandlerEvenWhileDisabled) {
    BlockSignals();
    TFormBench bench;
    bench.fForm.FormCreate();
    TSignalWatcher watcher(
        bench.fLoop, [&] { bench.fForm.WMClickUpdate(); }, [] {});
    // With no offer made, the handler is the window's own click, which does nothing without a device.
    kill(getpid(), SIGUSR1);
    bench.fLoop.RunUntil([] { return false; }, 100);
    EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");

    int offers = 0;
    bench.fForm.btnUpdate.SetOnClick([&] { ++offers; });
    ASSERT_FALSE(bench.fForm.btnUpdate.Enabled());
    kill(getpid(), SIGUSR1);
    ASSERT_TRUE(bench.fLoop.RunUntil([&] { return offers == 1; }, 5000));
}

TEST(FormTimer, FiresOnceAndTheDefaultRoutineDisablesIt) {
    TFormBench bench;
    bench.fForm.FormCreate();
    EXPECT_EQ(bench.fForm.Timer1.Interval(), 200);
    bench.fForm.Timer1.SetInterval(1);
    bench.fForm.Timer1.SetEnabled(true);
    ASSERT_TRUE(bench.fLoop.RunUntil([&] { return !bench.fForm.Timer1.Enabled(); }, 5000));
    int runs = 0;
    bench.fForm.Timer1.SetOnTimer([&] {
        bench.fForm.Timer1.SetEnabled(false);
        ++runs;
    });
    bench.fForm.Timer1.SetEnabled(true);
    bench.fLoop.RunUntil([] { return false; }, 50);
    EXPECT_EQ(runs, 1);
}

TEST(UpdateJournal, MissingFileReadsZeroAndTheFirstWriteCreatesIt) {
    TFormBench bench;
    bench.fForm.FormCreate();
    const std::string file = bench.UserFolder() + "/1-2-3-4-5-6-7-8.ini";
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    EXPECT_FALSE(fs::exists(file));
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::FlashErased);
    EXPECT_EQ(ReadFile(file).substr(0, 10), "[Device]\r\n");
    EXPECT_NE(ReadFile(file).find("UpdateStep=3"), std::string::npos);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::FlashErased);
    // Another serial number has a file of its own.
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial2), TUpdateStep::Idle);
    bench.fForm.WriteUpdateStep(Serial2, TUpdateStep::FlashValidated);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::FlashErased);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial2), TUpdateStep::FlashValidated);
    EXPECT_TRUE(fs::exists(bench.UserFolder() + "/1-2-3-4-5-6-7-9.ini"));
}

TEST(UpdateJournal, UnreadableValuesAndFilesReadZero) {
    TFormBench bench;
    bench.fForm.FormCreate();
    const std::string file = bench.UserFolder() + "/1-2-3-4-5-6-7-8.ini";
    std::ofstream(file) << "[Device]\nUpdateStep=five\n";
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    std::ofstream(file) << "[device]\nupdatestep = 4\n";
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::FlashWritten);
    // A value no step has is read as it is; the connection then leaves the device alone.
    std::ofstream(file) << "[Device]\nUpdateStep=17\n";
    EXPECT_EQ(int(bench.fForm.ReadUpdateStep(Serial1)), 17);
    std::ofstream(file, std::ios::binary) << std::string("\0\xff[Dev\x01", 7);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    // A folder where the file should be: reads give 0, writes fail silently.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::StubArrived);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
    EXPECT_EQ(bench.fErr.Text(), "");
}

TEST(UpdateJournal, AFailedWriteKeepsThePreviousValue) {
    TFormBench bench;
    bench.fForm.FormCreate();
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::FlashWritten);
    // The user folder vanishes and a file takes its place: the write cannot land.
    fs::rename(bench.UserFolder(), bench.fData.Path() + "/moved");
    std::ofstream(bench.UserFolder()) << "x";
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::FlashValidated);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::Idle);
    fs::remove(bench.UserFolder());
    fs::rename(bench.fData.Path() + "/moved", bench.UserFolder());
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::FlashWritten);
}

TEST(UpdateJournal, AnInterruptedWriteLeavesTheOldOrTheNewValue) {
    TFormBench bench;
    bench.fForm.FormCreate();
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::SwitchRequested);
    const std::string file = bench.UserFolder() + "/1-2-3-4-5-6-7-8.ini";
    // Other keys of the file must survive too.
    {
        TIniFile ini(file);
        ini.WriteString("Device", "Calibration", std::string(200, 'C'));
    }
    std::set<int> seen;
    for (int round = 0; round < 40; ++round) {
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Writes as fast as it can until it is killed in the middle of one, telling the parent
            // of each finished write.
            close(done[0]);
            for (int step = 0;; step = (step + 1) % 7) {
                bench.fForm.WriteUpdateStep(Serial1, TUpdateStep(step));
                (void)!write(done[1], "w", 1);
            }
        }
        close(done[1]);
        // However slow the machine, the child has written a few times before it is cut off.
        char mark;
        for (int writes = 1 + round % 5; writes > 0 && read(done[0], &mark, 1) == 1; --writes) {
        }
        usleep(static_cast<useconds_t>(round * 997 % 3000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(done[0]);
        const std::string text = ReadFile(file);
        const int step = int(bench.fForm.ReadUpdateStep(Serial1));
        EXPECT_GE(step, 0);
        EXPECT_LE(step, 6);
        EXPECT_NE(text.find("UpdateStep=" + std::to_string(step) + "\r\n"), std::string::npos) << text;
        seen.insert(step);
        EXPECT_NE(text.find("Calibration=" + std::string(200, 'C')), std::string::npos) << text;
    }
    // The writer was really cut off at different points.
    EXPECT_GT(seen.size(), 1u);
    // The journal still works after all the interruptions.
    bench.fForm.WriteUpdateStep(Serial1, TUpdateStep::RestoreFailed);
    EXPECT_EQ(bench.fForm.ReadUpdateStep(Serial1), TUpdateStep::RestoreFailed);
}

namespace {

// A device interface that is only present: enough for the notifier to report it.
class TPresentInterface final : public TSimBusDevice {
public:
    explicit TPresentInterface(const TGUID& AClass) : fClass(AClass) {}
    TGUID InterfaceClass() const override { return fClass; }
    std::string PathName() const override { return "present"; }
    uint32_t OpenHandle(std::unique_ptr<TUsbHandle>&) override { return 2; }
    void Attached(TSimBus&, const std::string&) override {}
    void Detached() override {}

private:
    TGUID fClass;
};

} // namespace

TEST(FormDevices, RegistersTheEightClassesInTheirFixedOrder) {
    TFormBench bench;
    bench.fForm.FormCreate();
    ASSERT_NE(bench.fForm.fDN, nullptr);
    EXPECT_EQ(bench.fForm.fDN->Owner(), &bench.fForm);
    const TGUID order[] = {
        GUID_KELVO_QV,    GUID_KELVO_TRIGGER,  GUID_KELVO_USB_STUB,          GUID_KELVO_SENSOR,
        GUID_KELVO_PULSE, GUID_KELVO_WIRELESS, GUID_KELVO_TARGET_CONTROLLER, GUID_KELVO_DNXXXE};
    ASSERT_EQ(bench.fForm.fDN->NotifierCount(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(bench.fForm.fDN->Notifier(i).GUID == order[i]) << i;
}

TEST(FormDevices, IgnoredDevicesLeaveTheLogAlone) {
    TFormBench bench;
    // An interface of the class whose handlers do nothing present at start-up, and one arriving
    // later.
    bench.fBus.Plug(std::make_shared<TPresentInterface>(GUID_KELVO_DNXXXE));
    bench.fLoop.RunUntil([&] { return !bench.fBus.HasPendingReports(); }, 5000);
    bench.fForm.FormCreate();
    auto late = std::make_shared<TPresentInterface>(GUID_KELVO_DNXXXE);
    bench.fBus.Plug(late);
    bench.fBus.Unplug(*late);
    ASSERT_TRUE(bench.fLoop.RunUntil([&] { return !bench.fBus.HasPendingReports(); }, 5000));
    bench.fLoop.ProcessMessages();
    EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
    EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
}

TEST(FormStartUp, LoadsTheBuiltInCollection) {
    TFormBench bench;
    bench.fForm.FormCreate();
    ASSERT_NE(bench.fForm.fFirmwares, nullptr);
    EXPECT_EQ(bench.fForm.fFirmwares->Owner(), &bench.fForm);
    EXPECT_EQ(bench.fForm.fFirmwares->Count(), 26);
    EXPECT_NE(bench.fForm.fFirmwares->FindById(32, 3), nullptr);
}
