// The update of targets behind a wireless controller over the simulated bench: the targets' reports
// and the offer, the switch into a target's bootloader, the flash over the radio, the validation of a
// bootloader target that holds the current firmware, and the interruptions of the radio and of the
// controller.
#include "MyLib/KelvoUsbWireless1.h"
#include "app/simbench/SimReport.h"
#include "sim/SimPhysicalDevice.h"
#include "sim/SimWirelessController.h"
#include "tests/scenarios/ConnectBench.h"

namespace {

const std::string Controller = std::string("wireless-controller,") + Serial1Text;
const std::string ControllerIdentity =
    Identity("KELVO electronic target controller RQC-01(147)", "000E", "0002", "0006") + UpToDate + "\n";

std::string TargetLines(int AIndex, const std::string& AFirmware) {
    return Lines({"Connected target",
                  std::string("Serial number 12-3-0-0-0-0-0-").append(std::to_string(AIndex)),
                  "Target hardware version is 0x0003", "Target firmware version is 0x" + AFirmware});
}

const std::string Offered = TargetLines(1, "000C") + Lines({"Newer firmware found. Click 'UPDATE' to start"});
const std::string Switched = Lines({"Entered programming mode.", "Updating firmware..."});
const std::string Flash = Lines({"Erasing flash...", "Writing firmware..."});
const std::string Flashed = Lines({"Validating...", "Firmware updated successfully!"});
// A flashed target restarts into its new firmware and is reported again.
const std::string Back = TargetLines(1, "000D") + UpToDate + "\n";
const std::string Refused = Lines({"Error wiring flash!", "Please disconnect/connect and try again."});
const std::string Restoring = Lines({"Entered programming mode.", "Restoring update..."});

// Runs the window until it is quiet, the controller's reports are handled and no target is still
// to appear or come back.
bool RunQuiet(TConnectBench& ABench, const std::shared_ptr<TSimDevice>& AController) {
    auto radio = std::dynamic_pointer_cast<TSimWirelessController>(AController);
    for (int round = 0; round < 3; ++round)
        if (!ABench.fBench.fLoop.RunUntil([&] { return !radio->HasPendingTimers(); }, 5000) ||
            !RunQuietWithReports(
                ABench, [&]() -> TCommonKelvoUsbDevice* { return ABench.fForm.fWL; }, AController))
            return false;
    return !radio->HasPendingTimers();
}

// Each target on the radio as "index:mode:firmware".
std::string Radio(const TSimRadioReport& ARadio) {
    std::string text;
    for (const TSimRadioTargetReport& t : ARadio.Targets) {
        text.append(text.empty() ? "" : " ").append(std::to_string(t.Index)).append(":");
        text.append(!t.InReach ? "silent" : t.InBootloader ? "bootloader" : "normal").append(":");
        text.append(std::to_string(t.VersionFW));
    }
    return text;
}

struct TCase {
    const char* fName;
    std::string fOptions; // after the controller's own
    std::string fLog;     // everything after the start-up prompt
    std::string fRadio;   // the targets at the end
};

} // namespace

TEST(WirelessUpdate, EachCaseEndsWithItsTranscriptAndTargets) {
    const TCase cases[] = {
        {"older target offered and updated", "",
         ControllerIdentity + Offered + Switched + Flash + Flashed + Back, "1:normal:13"},
        {"newer controller on the generic driver", ",pid=0x22,hw=4,fw=12,driver=generic",
         Identity("KELVO electronic target controller RQC-01", "0022", "0004", "000C") + UpToDate + "\n" +
             Offered + Switched + Flash + Flashed + Back,
         "1:normal:13"},
        {"up to date", ",t1=12:3:13", ControllerIdentity + TargetLines(1, "000D") + UpToDate + "\n",
         "1:normal:13"},
        {"no image", ",t1=12:4:1",
         ControllerIdentity +
             Lines({"Connected target", "Serial number 12-4-0-0-0-0-0-1", "Target hardware version is 0x0004",
                    "Target firmware version is 0x0001", "No firmware for this target"}),
         "1:normal:1"},
        {"unknown model", ",t1=13:3:1", ControllerIdentity, "1:normal:1"},
        {"two older targets, one at a time", ",t1=12:3:12,t2=12:3:12",
         ControllerIdentity + Offered + Switched + Flash + Flashed + TargetLines(2, "000C") +
             "Newer firmware found. Click 'UPDATE' to start\n",
         "1:normal:13 2:normal:12"},
        {"bootloader without a valid image", ",t1=12:3:none",
         ControllerIdentity + Restoring + Flash + Flashed + Back, "1:normal:13"},
        {"bootloader with an older image", ",t1=12:3:11:stub",
         ControllerIdentity + Switched + Flash + Flashed + Back, "1:normal:13"},
        {"bootloader with the current image is validated and restarted", ",t1=12:3:13:stub",
         ControllerIdentity + Lines({"Entered programming mode.", UpToDate, "Validate ok!"}) +
             TargetLines(1, "000D") + UpToDate + "\n",
         "1:normal:13"},
        {"bootloader back in its bootloader after validation is left alone",
         ",t1=12:3:13:stub:silent-after=reconnect:back-after-ms=20",
         ControllerIdentity + Lines({"Entered programming mode.", UpToDate, "Validate ok!",
                                     "Entered programming mode.", UpToDate}),
         "1:bootloader:13"},
        {"bootloader with the current image failing validation is rewritten",
         ",t1=12:3:13:stub:fail=validate",
         ControllerIdentity +
             Lines({"Entered programming mode.", UpToDate, "Need to rewrite flash.", "Restoring firmware"}) +
             Flash + Flashed + Back,
         "1:normal:13"},
        {"the second target is taken up once the first is gone", ",t1=12:3:13:stub,t2=12:3:12",
         ControllerIdentity + Lines({"Entered programming mode.", UpToDate, "Validate ok!"}) +
             TargetLines(2, "000C") + "Newer firmware found. Click 'UPDATE' to start\n" + Switched + Flash +
             Flashed + Back + TargetLines(2, "000D") + UpToDate + "\n",
         "1:normal:13 2:normal:13"},
        {"target silent mid-write", ",t1=12:3:12:silent-at-block=100",
         ControllerIdentity + Offered + Switched + Flash + Refused, "1:silent:65535"},
        {"target silent mid-write and back", ",t1=12:3:12:silent-at-block=100:back-after-ms=20",
         ControllerIdentity + Offered + Switched + Flash + Refused + Restoring + Flash + Flashed + Back,
         "1:normal:13"},
        {"target silent after the switch", ",t1=12:3:12:silent-after=switch", ControllerIdentity + Offered,
         "1:silent:12"},
        {"target silent after the erase", ",t1=12:3:12:silent-after=erase",
         ControllerIdentity + Offered + Switched + Flash + "Error writing flash!\n", "1:silent:65535"},
        {"target silent once validated", ",t1=12:3:12:silent-after=validate",
         ControllerIdentity + Offered + Switched + Flash + Flashed +
             "The target did not restart into its firmware; switch it off and on to use it.\n",
         "1:silent:13"},
        {"erase refused", ",t1=12:3:12:fail=erase",
         ControllerIdentity + Offered + Switched + "Erasing flash...\nError erasing flash!\n",
         "1:bootloader:12"},
        {"controller unplugged mid-write", ",unplug-at-target-block=100",
         ControllerIdentity + Offered + Switched + Flash + Refused, "1:bootloader:65535"},
        {"controller unplugged mid-write and replugged", ",unplug-at-target-block=100,replug-after-ms=20",
         ControllerIdentity + Offered + Switched + Flash + Refused + ControllerIdentity + Restoring + Flash +
             Flashed + Back,
         "1:normal:13"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fName);
        TConnectBench bench;
        bench.Start();
        auto controller = bench.Plug(Controller + c.fOptions);
        ASSERT_TRUE(RunQuiet(bench, controller));
        if (bench.fForm.btnUpdate.Enabled())
            bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(RunQuiet(bench, controller));
        EXPECT_EQ(bench.Logged(), c.fLog);
        const TSimUnitReport report = controller->Unit()->Report();
        ASSERT_TRUE(report.Radio);
        EXPECT_EQ(Radio(*report.Radio), c.fRadio);
        EXPECT_FALSE(bench.fForm.UpdateUnderWay());
        EXPECT_FALSE(bench.fForm.btnUpdate.Enabled() && !bench.fForm.f485Target);
    }
}

// Broken packets from the controller neither disturb the window nor change its targets, and the
// update still goes through afterwards.
TEST(WirelessUpdate, HostilePacketsAreLoggedAndDropped) {
    TConnectBench bench;
    bench.Start();
    auto controller = bench.Plug(Controller);
    ASSERT_TRUE(RunQuiet(bench, controller));
    ASSERT_NE(bench.fForm.fWL, nullptr);
    std::vector<std::string> lines;
    bench.fForm.fWL->fLog = &lines;
    bench.fForm.fWL->fLogging = true;
    auto sim = std::dynamic_pointer_cast<TSimWirelessController>(controller);
    ASSERT_TRUE(sim);
    const std::vector<std::vector<uint8_t>> packets = {
        {4, 0x44, 0x15, 1},           // sensor data for radio index 21
        {6, 0x44, 0x01, 20, 0, 0},    // a sensor packet longer than what came
        {6, 0x88, 0, 0, 0, 0},        // a status packet without its table
        {3, 0x88, 0, 18, 0x88, 0, 0}, // a short status packet, then one running past the end
        {0, 0x88, 0, 0},              // a zero length
        {18, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, // one byte short of its length
    };
    for (const auto& packet : packets)
        ASSERT_TRUE(sim->PushRaw(packet));
    ASSERT_TRUE(RunQuiet(bench, controller));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "TARGET INDEX = 21 out of range", "BAD PACKET, sensor length 20, received 3",
                         "Bad status packet: size=6", "Bad status packet: size=3",
                         "Bad packet: size=18, id=136, ABufferSize=7, offset=3", "Bad packet, size == 0 !!!",
                         "Bad packet: size=18, id=136, ABufferSize=17, offset=0"}));
    EXPECT_EQ(bench.Logged(), ControllerIdentity + Offered);
    ASSERT_NE(bench.fForm.f485Target, nullptr);
    EXPECT_EQ(bench.fForm.fWL->Targets(1), bench.fForm.f485Target);
    bench.fForm.btnUpdate.Click();
    ASSERT_TRUE(RunQuiet(bench, controller));
    EXPECT_EQ(bench.Logged(), ControllerIdentity + Offered + Switched + Flash + Flashed + Back);
}

// The radio is switched on while the controller is held and off when the window closes, as the
// simulation report shows.
TEST(WirelessUpdate, RadioPoweredOnArrivalAndOffOnClose) {
    TConnectBench bench;
    bench.Start();
    auto controller = bench.Plug(Controller);
    ASSERT_TRUE(RunQuiet(bench, controller));
    ASSERT_TRUE(controller->Unit()->Report().Radio->PowerOn);
    bench.fForm.FormClose();
    // Once by the window, once more by the controller's own close while it is still there.
    EXPECT_NE(
        SimReportJson({controller->Unit()})
            .find("\"radio\": {\"power\": false, \"power_off_requests\": 2, \"targets\": [{\"index\": 1, "
                  "\"mode\": \"normal\", \"product_id\": 12, \"hardware_version\": 3, \"firmware_version\": "
                  "12, \"serial_number\": \"12-3-0-0-0-0-0-1\", \"flash_valid\": true}], \"sensors\": []}}"),
        std::string::npos)
        << SimReportJson({controller->Unit()});
}

// A second controller is left alone while one is held, and one that is itself being offered an
// update does not hand over its targets.
TEST(WirelessUpdate, OnlyAnUpToDateHeldControllerHandsOverItsTargets) {
    TConnectBench bench;
    bench.Start();
    auto first = bench.Plug(Controller);
    auto second = bench.Plug("wireless-controller,serial=9-9-9-9-9-9-9-9");
    ASSERT_TRUE(RunQuiet(bench, first));
    ASSERT_NE(bench.fForm.fWL, nullptr);
    EXPECT_EQ(bench.fForm.fWL->DevicePath(), first->Path());
    EXPECT_EQ(second->VendorRequestCount(), 0u);
    bench.Unplug(first);
    EXPECT_EQ(bench.fForm.fWL, nullptr);
    EXPECT_EQ(bench.fForm.f485Target, nullptr);
    EXPECT_FALSE(bench.fForm.btnUpdate.Enabled());

    TConnectBench older;
    older.Start();
    auto controller = older.Plug(Controller + ",fw=5");
    ASSERT_TRUE(RunQuiet(older, controller));
    EXPECT_EQ(older.Logged(),
              Identity("KELVO electronic target controller RQC-01(147)", "000E", "0002", "0005") + Offer +
                  "\n");
    EXPECT_FALSE(controller->Unit()->Report().Radio->PowerOn);
    // Back from its own update it is reported updated and not held, so it hands over nothing.
    older.fForm.btnUpdate.Click();
    ASSERT_TRUE(RunQuiet(older, controller));
    EXPECT_TRUE(older.Logged().ends_with("SUCCESS! Firmware updated.\n")) << older.Logged();
    EXPECT_EQ(older.fForm.fWL, nullptr);
    EXPECT_FALSE(controller->Unit()->Report().Radio->PowerOn);
}
