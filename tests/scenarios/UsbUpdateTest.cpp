// The update of a device end to end over the simulated bench: the Update click, the switch into
// the bootloader, the write sequence, the return of the device and the restore of its parameters,
// and the recovery from an interruption at every stage.
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "platform/HexText.h"
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"
#include "tests/threads/ImageFiles.h"

namespace {

const std::string Calibration = "0102030405060708090A0B0C0D0E0F1011121314";

std::string Hex(const std::vector<uint8_t>& ABytes) {
    return BytesToHex(ABytes.data(), ABytes.size());
}

} // namespace

TEST(UsbUpdate, AnOpticalSensorIsUpdatedAndGetsItsCalibrationBack) {
    TConnectBench bench;
    bench.Start();
    auto device = bench.Plug(Optical("calibration=" + Calibration));
    ASSERT_TRUE(bench.fForm.btnUpdate.Enabled());
    bench.fForm.btnUpdate.Click();
    ASSERT_TRUE(bench.RunQuiet());
    EXPECT_EQ(
        bench.Logged(),
        OpticalIdentity + Offer + "\n" +
            Lines({"Entering programming mode...", "If process does not respond, unplug and replug device.",
                   "Entering programming mode. Wait...",
                   "Stub plugged in, serial number is " + SerialToStr(Serial1), "Erasing flash...",
                   "Flash erased.", "Writing firmware...", "Flash successfully written.",
                   "Validating flash...", "Leaving programming mode.",
                   "If process does not respond please unplug and replug device.",
                   "Restoring device parameters...", "SUCCESS! Firmware updated."}));
    EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
    EXPECT_EQ(bench.fForm.Failures(), 0);
    const TSimUnitReport report = device->Unit()->Report();
    EXPECT_FALSE(report.InBootloader);
    EXPECT_TRUE(report.FlashValid);
    EXPECT_EQ(report.VersionFW, 10);
    EXPECT_EQ(Hex(report.Calibration), Calibration);
    // The progress went all the way (the console shows it on stderr).
    EXPECT_NE(bench.fBench.fErr.Text().find("100%"), std::string::npos);
}

TEST(UsbUpdate, ADownloadTheDeviceRefusesGivesWayToTheBuiltInImage) {
    // Newer than the built-in image and sound on the host's side, but enciphered with a key the
    // devices do not hold.
    auto otherKey = DemoKeyBytes;
    otherKey[0] ^= 0x5A;
    char marker[64];
    std::snprintf(marker, sizeof marker, "@FWID@P%X&H%X&F%X&CMSP430F147", 32, 2, 11);
    TKelvoUsbFirmware foreign;
    foreign.SetMemory(*SampleMemory(0, 0, marker, 0x100, 1), GostKeyFromBytes(otherKey.data()), DemoTable,
                      {1, 0});
    TConnectBench bench;
    bench.fServer.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(32, 2), ImageFile(foreign));
    bench.Start();
    auto device = bench.Plug(Optical("calibration=" + Calibration));
    bench.fForm.btnUpdate.Click();
    ASSERT_TRUE(bench.RunQuiet());
    EXPECT_TRUE(bench.Logged().ends_with(Lines({"Validating flash...", "Error! Try to replug usb device."})))
        << bench.Logged();
    EXPECT_EQ(bench.Step(), TUpdateStep::FlashWritten);
    // The retry, with the server still serving the refused image.
    const auto unit = device->Unit();
    bench.Unplug(unit->Personality());
    unit->PlugInto(bench.fBench.fBus);
    ASSERT_TRUE(bench.RunQuiet());
    const std::string fallback = "Downloaded firmware was refused by the device; using the built-in image.\n";
    const std::string log = bench.Logged();
    const size_t retry = log.rfind("Stub plugged in");
    ASSERT_NE(retry, std::string::npos);
    EXPECT_NE(log.find(fallback + "Erasing flash...\n", retry), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("SUCCESS! Firmware updated.\n")) << log;
    const TSimUnitReport report = unit->Report();
    EXPECT_TRUE(report.FlashValid);
    EXPECT_EQ(report.VersionFW, 10);
    EXPECT_EQ(Hex(report.Calibration), Calibration);
}

TEST(UsbUpdate, EveryFamilyComesBackWithTheNewFirmwareAndItsParameters) {
    struct TCase {
        const char* fDevice;
        uint16_t fNewFirmware;
    };
    for (const TCase& c : {TCase{"optical-sensor,pid=35", 11}, TCase{"camera-sensor,fw=11", 35},
                           TCase{"camera-sensor,fw=18", 35}, TCase{"pulse-sensor", 6},
                           TCase{"pulse-sensor,pid=19", 10}, TCase{"trigger", 9}}) {
        SCOPED_TRACE(c.fDevice);
        TConnectBench bench;
        bench.Start();
        auto device = bench.Plug(std::string(c.fDevice) + "," + Serial1Text);
        const TSimUnitReport before = device->Unit()->Report();
        ASSERT_TRUE(bench.fForm.btnUpdate.Enabled());
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        EXPECT_TRUE(bench.Logged().ends_with("SUCCESS! Firmware updated.\n")) << bench.Logged();
        EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
        const TSimUnitReport after = device->Unit()->Report();
        EXPECT_FALSE(after.InBootloader);
        EXPECT_EQ(after.ProductId, before.ProductId);
        EXPECT_EQ(after.VersionFW, c.fNewFirmware);
        EXPECT_EQ(Hex(after.Calibration), Hex(before.Calibration));
        EXPECT_EQ(bench.fForm.Failures(), 0);
    }
}

TEST(UsbUpdate, ACameraSensorWithFirmware10IsAskedToBeReplugged) {
    TConnectBench bench;
    bench.Start();
    auto device = bench.Plug(std::string("camera-sensor,fw=10,") + Serial1Text);
    bench.fForm.btnUpdate.Click();
    ASSERT_TRUE(bench.RunQuiet());
    EXPECT_TRUE(bench.Logged().ends_with(
        Lines({"If process does not respond, unplug and replug device.", "Entering programming mode. Wait...",
               "Stub plugged in, serial number is " + SerialToStr(Serial1), "Erasing flash...",
               "Flash erased.", "Please replug device to continue."})))
        << bench.Logged();
    EXPECT_EQ(bench.Step(), TUpdateStep::FlashErased);
    // The user replugs it: the bootloader arrives again, is erased again and written this time.
    auto stub = device->Unit()->Personality();
    bench.Unplug(stub);
    device->Unit()->PlugInto(bench.fBench.fBus);
    ASSERT_TRUE(bench.RunQuiet());
    const std::string log = bench.Logged();
    EXPECT_TRUE(log.ends_with("SUCCESS! Firmware updated.\n")) << log;
    EXPECT_EQ(log.find("Erasing flash...") != log.rfind("Erasing flash..."), true);
    EXPECT_EQ(device->Unit()->Report().VersionFW, 35);
}

TEST(UsbUpdate, ALockedDeviceAsksForItsKey) {
    const std::string locked =
        std::string("optical-sensor,fw=9,locked=1,key=11-12-13-14-15-16-17-18,") + Serial1Text;
    {
        SCOPED_TRACE("right key");
        TConnectBench bench;
        bench.fBench.fToolkit.SetInputAnswer("11-12-13-14-15-16-17-18");
        bench.Start();
        bench.Plug(locked);
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        EXPECT_TRUE(bench.Logged().ends_with("SUCCESS! Firmware updated.\n")) << bench.Logged();
    }
    {
        SCOPED_TRACE("wrong key");
        TConnectBench bench;
        bench.fBench.fToolkit.SetInputAnswer("11-12-13-14-15-16-17-19");
        bench.Start();
        bench.Plug(locked);
        const std::string before = bench.Logged();
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        EXPECT_EQ(bench.Logged(), before);
        EXPECT_NE(bench.fBench.fErr.Text().find("error: Invalid device key or error unlocking device"),
                  std::string::npos);
        EXPECT_NE(bench.fForm.fActiveDevice, nullptr);
        EXPECT_EQ(bench.Step(), std::nullopt);
    }
    {
        SCOPED_TRACE("cancelled");
        TConnectBench bench;
        bench.fBench.fToolkit.SetInteractive(false);
        bench.Start();
        bench.Plug(locked);
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        // The update goes on without unlocking.
        EXPECT_NE(bench.Logged().find("Entering programming mode..."), std::string::npos);
    }
}

TEST(UsbUpdate, ADeviceLeftInItsBootloaderIsFlashedOnArrival) {
    // No settings file at all: nothing was saved, so an optical sensor cannot get a calibration
    // back, while a pulse sensor has nothing to restore.
    struct TCase {
        const char* fDevice;
        std::string fEnd;
    };
    for (const TCase& c :
         {TCase{"bootloader,pid=32,hw=2,flash=half",
                Lines({"Restoring device parameters...", "Cannot read stored calibration info!",
                       "Cannot restore device parameters.",
                       "Try to replug device or use device-specific "
                       "calibration tools."})},
          TCase{"bootloader,pid=10,hw=2,flash=none",
                Lines({"Restoring device parameters...", "SUCCESS! Firmware updated."})}}) {
        SCOPED_TRACE(c.fDevice);
        TConnectBench bench;
        bench.Start();
        auto device = bench.Plug(std::string(c.fDevice) + "," + Serial1Text);
        ASSERT_TRUE(bench.RunQuiet());
        const std::string log = bench.Logged();
        EXPECT_EQ(log.rfind("Stub plugged in, serial number is " + SerialToStr(Serial1) + "\n", 0), 0u)
            << log;
        EXPECT_TRUE(log.ends_with(c.fEnd)) << log;
        const TSimUnitReport report = device->Unit()->Report();
        EXPECT_FALSE(report.InBootloader);
        EXPECT_TRUE(report.FlashValid);
        // The journal went through 5 after validation and ended where the restore left it.
        EXPECT_EQ(bench.Step(), c.fEnd.find("SUCCESS") != std::string::npos ? TUpdateStep::Idle
                                                                            : TUpdateStep::RestoreFailed);
    }
}

TEST(UsbUpdate, OneBootloaderAtATime) {
    TConnectBench bench;
    bench.Start();
    auto first = bench.Plug(std::string("bootloader,pid=10,hw=2,") + Serial1Text);
    // The second one arrives while the first is held (its timer is armed) and is left alone.
    auto second = bench.Plug("bootloader,pid=5,hw=2,serial=9-9-9-9-9-9-9-9");
    ASSERT_NE(bench.fForm.fStub, nullptr);
    EXPECT_EQ(bench.fForm.fStub->DevicePath(), first->Path());
    EXPECT_EQ(second->VendorRequestCount(), 0u);
    ASSERT_TRUE(bench.RunQuiet());
    EXPECT_FALSE(first->Unit()->Report().InBootloader);
    EXPECT_TRUE(second->Unit()->Report().InBootloader);
    // Once the first is gone, a replug of the second is taken up.
    bench.Unplug(second);
    second->Unit()->PlugInto(bench.fBench.fBus);
    ASSERT_TRUE(bench.RunQuiet());
    EXPECT_FALSE(second->Unit()->Report().InBootloader);
}

TEST(UsbUpdate, ALockedDeviceWithFirmware2IsNotAskedForItsKey) {
    TConnectBench bench;
    // An answer would unlock it; it must not be asked for.
    bench.fBench.fToolkit.SetInputAnswer("1-1-1-1-1-1-1-1");
    bench.Start();
    bench.Plug(std::string("optical-sensor,hw=1,fw=2,locked=1,key=11-12-13-14-15-16-17-18,") + Serial1Text);
    ASSERT_NE(bench.fForm.fSensor, nullptr);
    // No image for hardware 1 is offered, so the update is started by hand.
    bench.fForm.StartUsbUpdate(bench.fForm.fSensor);
    EXPECT_EQ(bench.fBench.fErr.Text().find("Device is locked"), std::string::npos);
    EXPECT_NE(bench.Logged().find("Entering programming mode..."), std::string::npos);
}

TEST(UsbUpdate, ARefusedSwitchStopsOnlyADeviceThatMustConfirmIt) {
    struct TCase {
        const char* fDevice;
        std::string fEnd;
        std::optional<TUpdateStep> fStep;
        int fFailures;
    };
    const std::string wait = Lines(
        {"If process does not respond, unplug and replug device.", "Entering programming mode. Wait..."});
    for (const TCase& c :
         {TCase{"camera-sensor", "Cannot switch QV sensor into STUB mode!\n", std::nullopt, 1},
          TCase{"optical-sensor", "Entering programming mode...\n" + wait, TUpdateStep::SwitchRequested,
                0}}) {
        SCOPED_TRACE(c.fDevice);
        TConnectBench bench;
        bench.Start();
        auto device = bench.Plug(std::string(c.fDevice) + "," + Serial1Text);
        device->SetVendorHandler(0xFF, [](const TSimVendorRequest&, std::vector<uint8_t>&) { return false; });
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        EXPECT_TRUE(bench.Logged().ends_with(Offer + "\n" + c.fEnd)) << bench.Logged();
        EXPECT_EQ(bench.Step(), c.fStep);
        EXPECT_EQ(bench.fForm.Failures(), c.fFailures);
        // Either way the device stays active and offered.
        ASSERT_NE(bench.fForm.fActiveDevice, nullptr);
        EXPECT_EQ(StateOf(*bench.fForm.fActiveDevice), TDeviceState::UpdateOffered);
        EXPECT_TRUE(bench.fForm.btnUpdate.Enabled());
    }
}
