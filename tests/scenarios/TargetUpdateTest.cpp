// The update of the electronic target behind a USB target controller over the simulated bench: the
// target's report and offer, the switch into its bootloader, the flash through the controller, and
// the interruptions that must never leave the target unusable.
#include "MyLib/KelvoUsbTarget.h"
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"

namespace {

const std::string Controller = std::string("target-controller,") + Serial1Text;
const std::string ControllerIdentity =
    Identity("KELVO USB electronic target BQC-01", "0002", "0002", "0008") + UpToDate + "\n";

std::string TargetLines(const std::string& AFirmware) {
    return Lines({"Connected target", "Serial number 6-1-2-3-4-5-6-7", "Target hardware version is 0x0001",
                  "Target firmware version is 0x" + AFirmware});
}

const std::string Offered = TargetLines("0007") + Lines({"Newer firmware found. Click 'UPDATE' to start"});
const std::string Flash = Lines({"Erasing flash...", "Writing firmware..."});
const std::string Flashed =
    Lines({"Validating...", "Firmware updated successfully!"}) + TargetLines("0008") + UpToDate + "\n";
const std::string Disconnected =
    Lines({"Error: Target is suddenly disconnected!", "Please disconnect/connect and try again."});

struct TCase {
    const char* fName;
    std::string fOptions; // after the controller's own
    std::string fLog;     // everything after the start-up prompt
    std::string fMode;    // the target at the end
    uint16_t fFirmware;
};

bool RunQuiet(TConnectBench& ABench, const std::shared_ptr<TSimDevice>& AController) {
    return RunQuietWithReports(
        ABench, [&]() -> TCommonKelvoUsbDevice* { return ABench.fForm.fTC; }, AController);
}

std::string Mode(const TSimTargetReport& ATarget) {
    return !ATarget.Present ? "none" : ATarget.InBootloader ? "bootloader" : "normal";
}

} // namespace

TEST(TargetUpdate, EachCaseEndsWithItsTranscriptAndTarget) {
    const TCase cases[] = {
        {"older target offered and updated", "",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Flashed,
         "normal", 8},
        {"reports on the data path", ",driver=generic",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Flashed,
         "normal", 8},
        {"up to date", ",target-fw=8", ControllerIdentity + TargetLines("0008") + UpToDate + "\n", "normal",
         8},
        {"no image for product 7", ",target-pid=7",
         ControllerIdentity + TargetLines("0007") + "No firmware for this target\n", "normal", 7},
        {"no image for product 13", ",target-pid=13",
         ControllerIdentity + TargetLines("0007") + "No firmware for this target\n", "normal", 7},
        {"controller unplugged mid-write", ",unplug-at-block=100",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Disconnected,
         "bootloader", 0xFFFF},
        {"controller unplugged mid-write and replugged", ",unplug-at-block=100,replug-after-ms=20",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Disconnected + ControllerIdentity + Lines({"Entered programming mode.", "Restoring update..."}) +
             Flash + Flashed,
         "normal", 8},
        {"target pulled out mid-write", ",target-unplug-at-block=100",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Lines({"Error wiring flash!", "Please disconnect/connect and try again."}),
         "none", 0xFFFF},
        {"target pulled out mid-write and plugged in again", ",target-unplug-at-block=100,replug-after-ms=20",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Lines({"Error wiring flash!", "Please disconnect/connect and try again.",
                    "Entered programming mode.", "Restoring update..."}) +
             Flash + Flashed,
         "normal", 8},
        {"bootloader target without a valid image", ",target=bootloader,target-flash=none",
         ControllerIdentity + Lines({"Entered programming mode.", "Restoring update..."}) + Flash + Flashed,
         "normal", 8},
        {"bootloader target with an older image", ",target=bootloader",
         ControllerIdentity + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash + Flashed,
         "normal", 8},
        {"bootloader target with the current image: validated and sent back to it",
         ",target=bootloader,target-fw=8",
         ControllerIdentity +
             Lines({"Entered programming mode.", "Firmware is up to date.", "Validate ok!"}) +
             TargetLines("0008") + UpToDate + "\n",
         "normal", 8},
        {"validation refused once", ",fail=validate",
         ControllerIdentity + Offered + Lines({"Entered programming mode.", "Updating firmware..."}) + Flash +
             Lines({"Validating...", "Error validating flash! Try to reconnect and update again."}),
         "bootloader", 0xFFFF},
        {"unknown target product at start", ",target-pid=8", ControllerIdentity, "normal", 7},
        {"unknown target product reported later", ",target-pid=12,target-plug-after-ms=20",
         ControllerIdentity, "normal", 7},
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
        ASSERT_TRUE(report.Target);
        EXPECT_EQ(Mode(*report.Target), c.fMode);
        EXPECT_EQ(report.Target->VersionFW, c.fFirmware);
        // The window is usable again and offers nothing for a target that is not there to take it.
        EXPECT_FALSE(bench.fForm.UpdateUnderWay());
        EXPECT_FALSE(bench.fForm.btnUpdate.Enabled() && !bench.fForm.fTarget);
    }
}

TEST(TargetUpdate, ASecondControllerIsLeftAloneWhileOneIsHeld) {
    TConnectBench bench;
    bench.Start();
    // Hardware 3 has no image, so the first controller is not the active device.
    auto first = bench.Plug(Controller + ",hw=3");
    auto second = bench.Plug("target-controller,hw=3,serial=9-9-9-9-9-9-9-9");
    ASSERT_TRUE(RunQuiet(bench, first));
    ASSERT_NE(bench.fForm.fTC, nullptr);
    EXPECT_EQ(bench.fForm.fTC->DevicePath(), first->Path());
    EXPECT_EQ(second->VendorRequestCount(), 0u);
    EXPECT_EQ(bench.Logged(),
              Identity("KELVO USB electronic target BQC-01", "0002", "0003", "0008") + Offered);
    // Unplugging the offered target's controller withdraws the offer.
    bench.Unplug(first);
    EXPECT_EQ(bench.fForm.fTC, nullptr);
    EXPECT_EQ(bench.fForm.fTarget, nullptr);
    EXPECT_FALSE(bench.fForm.btnUpdate.Enabled());
}

// The window closes at any moment of an update: the controller it closes holds no target afterwards,
// and nothing reaches the window once it is gone.
TEST(TargetUpdate, ClosingAtAnyMomentLeavesNoTargetHeld) {
    for (int ms : {0, 1, 5, 20, 100, 400}) {
        SCOPED_TRACE(ms);
        TConnectBench bench;
        bench.Start();
        auto controller = bench.Plug(Controller);
        ASSERT_TRUE(RunQuiet(bench, controller));
        bench.fForm.btnUpdate.Click();
        bench.fBench.fLoop.RunUntil([] { return false; }, uint32_t(ms));
        bench.fForm.FormClose();
        EXPECT_EQ(bench.fForm.fTarget, nullptr);
        EXPECT_EQ(bench.fForm.fTargetStub, nullptr);
    }
}

// A damaged image for the target is refused before anything is erased: the target keeps its old
// firmware, and the flash counts as failed.
TEST(TargetUpdate, ADamagedImageIsNeverWritten) {
    TConnectBench bench;
    bench.Start();
    // Plugged in a moment later, so the image is damaged before the target is reported.
    auto controller = bench.Plug(Controller + ",target=bootloader,plug-after-ms=50");
    const TSimTargetReport before = *controller->Unit()->Report().Target;
    TKelvoUsbFirmware* image = bench.fForm.fFirmwares->FindById(before.ProductId, before.VersionHW);
    ASSERT_NE(image, nullptr);
    // A processor id of 0 fails the image's own checks once they run again.
    image->SetCPU(0);
    image->SetDate(image->Date());
    ASSERT_FALSE(image->Valid());
    ASSERT_TRUE(RunQuiet(bench, controller));
    EXPECT_EQ(bench.Logged(), ControllerIdentity + Lines({"Entered programming mode.", "Updating firmware...",
                                                          "Invalid firmware resource!"}));
    const TSimTargetReport after = *controller->Unit()->Report().Target;
    EXPECT_TRUE(after.InBootloader);
    EXPECT_TRUE(after.FlashValid);
    EXPECT_EQ(after.VersionFW, before.VersionFW);
    EXPECT_EQ(bench.fForm.Tally().fFailed, 1);
}
