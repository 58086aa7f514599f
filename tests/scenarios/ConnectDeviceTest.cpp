// Device connection over the simulated bench: each sensor family identified in the log, the image
// check and the update offer, the journal steps acted on at arrival, the USB 3.0 warning, one
// active device at a time, removal, and the parameters saved before and restored after an update.
#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "platform/HexText.h"
#include "tests/scenarios/ConnectBench.h"
#include "tests/threads/ImageFiles.h"

namespace {

struct TFamilyCase {
    const char* fDevice;
    std::string fIdentity;
    std::string fVerdict;
};

} // namespace

TEST(DeviceConnection, EachFamilyIsIdentifiedAndComparedWithItsImage) {
    const TFamilyCase cases[] = {
        {"optical-sensor", OpticalIdentity, Offer},
        {"optical-sensor,pid=35,hw=5,fw=11",
         Identity("KELVO USB optical sensor LP-02", "0023", "0005", "000B"), UpToDate},
        {"camera-sensor,hw=3,fw=34,edition=2",
         Identity("KELVO Archery sensor QV-A02V2", "1F01", "0003", "0022"), Offer},
        {"pulse-sensor,pid=10,hw=2,fw=5", Identity("KELVO USB pulse sensor HB-00", "000A", "0002", "0005"),
         Offer},
        {"pulse-sensor,pid=19,hw=3,fw=10",
         Identity("KELVO USB Pulse sensor (Polar uncoded) HB 01", "0013", "0003", "000A"), UpToDate},
        {"trigger,hw=2,fw=9", Identity("KELVO USB Trigger control KTG 01", "0005", "0002", "0009"), UpToDate},
    };
    for (const TFamilyCase& c : cases) {
        SCOPED_TRACE(c.fDevice);
        TConnectBench bench;
        bench.Start();
        bench.Plug(std::string(c.fDevice) + "," + Serial1Text);
        EXPECT_EQ(bench.Logged(), c.fIdentity + c.fVerdict + "\n");
        EXPECT_EQ(bench.fForm.btnUpdate.Enabled(), c.fVerdict == Offer);
        ASSERT_NE(bench.fForm.fActiveDevice, nullptr);
        EXPECT_EQ(StateOf(*bench.fForm.fActiveDevice),
                  c.fVerdict == Offer ? TDeviceState::UpdateOffered : TDeviceState::Identified);
    }
}

TEST(DeviceConnection, UpToDateOrWithoutImage) {
    TConnectBench bench;
    TForm1& form = bench.fForm;
    bench.Start();
    // Equal to the image's version.
    auto equal = bench.Plug(Optical("fw=10"));
    EXPECT_EQ(bench.Logged(),
              Identity("KELVO USB optical sensor LP-01(147)", "0020", "0002", "000A") + UpToDate + "\n");
    EXPECT_FALSE(form.btnUpdate.Enabled());
    ASSERT_NE(form.fSensor, nullptr);
    EXPECT_EQ(form.fActiveDevice, form.fSensor);
    bench.Unplug(equal);
    EXPECT_EQ(form.fSensor, nullptr);
    EXPECT_EQ(form.fActiveDevice, nullptr);

    // No image for hardware 7: the identification only, and the device is not active, so the next
    // device is handled.
    bench.Plug(Optical("hw=7"));
    EXPECT_EQ(bench.Visible().size(), 5u);
    EXPECT_EQ(bench.Visible().back(), "Firmware version 0x0009");
    ASSERT_NE(form.fSensor, nullptr);
    EXPECT_EQ(form.fActiveDevice, nullptr);
    EXPECT_EQ(StateOf(*form.fSensor), TDeviceState::Identified);
    bench.Plug("trigger,hw=2,fw=9,serial=9-9-9-9-9-9-9-9");
    EXPECT_NE(form.fTrigger, nullptr);
    EXPECT_EQ(form.fActiveDevice, form.fTrigger);
}

TEST(DeviceConnection, ANewerDownloadedImageIsPreferred) {
    TConnectBench bench;
    bench.fServer.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(32, 2), ImageFile(32, 2, 12));
    bench.Start();
    // Firmware 11 is newer than the built-in image (10) but older than the downloaded one.
    bench.Plug(Optical("fw=11"));
    EXPECT_EQ(bench.Logged(),
              Identity("KELVO USB optical sensor LP-01(147)", "0020", "0002", "000B") + Offer + "\n");
    ASSERT_NE(bench.fForm.fFirmwares->FindById(32, 2), nullptr);
    EXPECT_EQ(bench.fForm.fFirmwares->FindById(32, 2)->VersionFW(), 12);
}

TEST(DeviceConnection, ADeviceThatCannotBeOpenedIsDropped) {
    TConnectBench bench;
    bench.Start();
    // Gone again before the window gets to open it.
    auto device = bench.Make(Optical());
    bench.fBench.fBus.Plug(device);
    bench.fBench.fBus.Unplug(*device);
    bench.Settle();
    EXPECT_EQ(bench.Logged(), "Cannot open USB device!\n");
    EXPECT_EQ(bench.fForm.fSensor, nullptr);
    EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
    EXPECT_EQ(device->WaitingReads(), 0u);
}

TEST(DeviceConnection, ASecondDeviceIsIgnoredWhileOneIsActive) {
    TConnectBench bench;
    bench.Start();
    bench.Plug(Optical());
    const std::string afterFirst = bench.fBench.fOut.Text();
    auto second = bench.Plug("pulse-sensor,pid=10,hw=2,fw=5,serial=9-9-9-9-9-9-9-9");
    EXPECT_EQ(bench.fBench.fOut.Text(), afterFirst);
    EXPECT_EQ(bench.fForm.fPulse, nullptr);
    // Never opened at all.
    EXPECT_EQ(second->VendorRequestCount(), 0u);
    // Its removal is not the active device's.
    bench.Unplug(second);
    EXPECT_EQ(bench.fForm.fActiveDevice, bench.fForm.fSensor);
    EXPECT_TRUE(bench.fForm.btnUpdate.Enabled());
}

TEST(DeviceConnection, RemovalClearsTheLogExceptWhileSwitchingToTheBootloader) {
    TConnectBench bench;
    TForm1& form = bench.fForm;
    bench.Start();
    auto device = bench.Plug(Optical());
    EXPECT_TRUE(form.btnUpdate.Enabled());
    bench.Unplug(device);
    EXPECT_TRUE(bench.Visible().empty());
    EXPECT_FALSE(form.btnUpdate.Enabled());
    EXPECT_EQ(form.fSensor, nullptr);

    auto again = bench.Plug(Optical());
    ASSERT_NE(form.fSensor, nullptr);
    SetState(*form.fSensor, TDeviceState::SwitchingToStub);
    const auto shown = bench.Visible();
    bench.Unplug(again);
    EXPECT_EQ(bench.Visible(), shown);
    EXPECT_FALSE(form.btnUpdate.Enabled());
    EXPECT_EQ(form.fActiveDevice, nullptr);
    EXPECT_EQ(form.fSensor, nullptr);
}

TEST(DeviceConnection, TheUsb30WarningOnNewerSystemsWithAnOldBootloader) {
    TConnectBench bench;
    TForm1& form = bench.fForm;
    bench.Start();
    form.fWinVer = TWinVer::WIN8;
    bench.Plug(Optical("stub=2"));
    EXPECT_EQ(bench.Logged(),
              OpticalIdentity +
                  Lines({"Newer firmware found but you have device that may be",
                         "NOT compatible with modern USB3.0 host drivers under Windows 8 or later",
                         "It is recommended that you use older computer with Windows 7 OS",
                         "or try virtual machine with USB2.0 emulation",
                         "If you are not sure please contact support@kelvo.example"}));
    EXPECT_FALSE(form.btnUpdate.Enabled());
    ASSERT_NE(form.fSensor, nullptr);
    EXPECT_EQ(StateOf(*form.fSensor), TDeviceState::Usb30Issue);
    EXPECT_EQ(form.fActiveDevice, form.fSensor);
    // Still the active device: others are ignored.
    bench.Plug("trigger,hw=2,fw=9,serial=9-9-9-9-9-9-9-9");
    EXPECT_EQ(form.fTrigger, nullptr);
}

TEST(DeviceConnection, TheWarningNeedsAnOldBootloaderAndANewerSystem) {
    TConnectBench bench;
    TForm1& form = bench.fForm;
    bench.Start();
    form.fWinVer = TWinVer::WIN81;
    auto current = bench.Plug(Optical("stub=3"));
    EXPECT_TRUE(form.btnUpdate.Enabled());
    bench.Unplug(current);
    form.fWinVer = TWinVer::WIN7;
    bench.Plug(Optical("stub=2"));
    EXPECT_TRUE(form.btnUpdate.Enabled());
    ASSERT_NE(form.fSensor, nullptr);
    EXPECT_EQ(StateOf(*form.fSensor), TDeviceState::UpdateOffered);
}

TEST(UpdateJournalAtArrival, StepsOneAndTwoAreResetAndTheDeviceIdentified) {
    for (const char* step : {"1", "2"}) {
        SCOPED_TRACE(step);
        TConnectBench bench;
        bench.Prepare({{"UpdateStep", step}});
        bench.Start();
        bench.Plug(Optical());
        EXPECT_EQ(bench.Logged(), OpticalIdentity + Offer + "\n");
        EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
        EXPECT_EQ(StateOf(*bench.fForm.fSensor), TDeviceState::UpdateOffered);
    }
}

TEST(UpdateJournalAtArrival, AStepNoJournalHasIsResetAndTheDeviceOffered) {
    for (const char* step : {"7", "8", "17", "99", "-1", "2147483648"}) {
        SCOPED_TRACE(step);
        TConnectBench bench;
        bench.Prepare({{"UpdateStep", step}});
        bench.Start();
        bench.Plug(Optical());
        const std::string logged = bench.Logged();
        EXPECT_EQ(logged.substr(logged.find('\n') + 1), OpticalIdentity + Offer + "\n");
        EXPECT_TRUE(logged.starts_with("Unknown update step ")) << logged;
        EXPECT_TRUE(logged.find(" in " + bench.SettingsFile() + "; the update journal was reset.\n") !=
                    std::string::npos)
            << logged;
        EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
        EXPECT_EQ(bench.fForm.fActiveDevice, bench.fForm.fSensor);
    }
}

// A running device whose journal says its flash got far: the firmware it runs tells whether the flash
// took.
TEST(UpdateJournalAtArrival, AFlashStepIsJudgedByTheFirmwareTheDeviceRuns) {
    const std::string stored = "0102030405060708090A0B0C0D0E0F1011121314";
    const std::string notFinished =
        "The last update did not finish: the device runs firmware 0x0009 instead of 0x000A.\n";
    for (const char* step : {"3", "4", "5"}) {
        SCOPED_TRACE(step);
        // On the old firmware: said, the journal reset and the update offered again, with the saved
        // calibration kept for after it.
        TConnectBench old;
        old.Prepare({{"UpdateStep", step}, {"DoNotStoreParameters", "0"}, {"Calibration", stored}});
        old.Start();
        auto device = old.Plug(Optical("calibration=FFEEDDCCBBAA99887766554433221100FFEEDDCC"));
        EXPECT_EQ(old.Logged(), notFinished + OpticalIdentity + Offer + "\n");
        EXPECT_EQ(old.Step(), TUpdateStep::Idle);
        old.fForm.btnUpdate.Click();
        ASSERT_TRUE(old.RunQuiet());
        EXPECT_TRUE(old.Logged().ends_with("SUCCESS! Firmware updated.\n")) << old.Logged();
        EXPECT_EQ(device->Unit()->Report().Calibration, *HexToBytes(stored));
        EXPECT_EQ(old.Key("KeepSavedParameters"), "0");

        // On the image's firmware: the flash took, and the parameters go back.
        TConnectBench current;
        current.Prepare({{"UpdateStep", step}, {"DoNotStoreParameters", "1"}});
        current.Start();
        current.Plug(Optical("fw=10"));
        EXPECT_EQ(current.Logged(), "SUCCESS! Firmware updated.\n");
        EXPECT_EQ(current.Step(), TUpdateStep::Idle);
        EXPECT_EQ(current.Key("KeepSavedParameters"), "<none>");
    }
    // With no image to judge by, an unfinished flash keeps the device unidentified.
    TConnectBench none;
    none.Prepare({{"UpdateStep", "3"}});
    none.Start();
    none.Plug(Optical("hw=7"));
    EXPECT_EQ(none.Logged(), "");
    ASSERT_NE(none.fForm.fSensor, nullptr);
    EXPECT_EQ(StateOf(*none.fForm.fSensor), TDeviceState::Created);
    EXPECT_EQ(none.Key("UpdateStep"), "3");
}

TEST(UpdateJournalAtArrival, StepSixWarnsThenIdentifies) {
    TConnectBench bench;
    bench.Prepare({{"UpdateStep", "6"}});
    bench.Start();
    bench.Plug(Optical());
    EXPECT_EQ(bench.Logged(),
              Lines({"Unable to restore device parameters.", "Please contact support@kelvo.example",
                     "or use device-specific calibration tools."}) +
                  OpticalIdentity + Offer + "\n");
    // Identification cleared the list: only its lines remain visible.
    EXPECT_EQ(bench.Visible().front(), "KELVO USB optical sensor LP-01(147)");
    EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
}

TEST(UpdateJournalAtArrival, StepFiveRestoresTheCalibrationFromTheSettingsFile) {
    const std::string stored = "0102030405060708090A0B0C0D0E0F1011121314";
    TConnectBench bench;
    bench.Prepare({{"UpdateStep", "5"}, {"DoNotStoreParameters", "0"}, {"Calibration", stored}});
    bench.Start();
    auto device = bench.Plug(Optical("fw=10,calibration=FFEEDDCCBBAA99887766554433221100FFEEDDCC"));
    EXPECT_EQ(bench.Logged(), Lines({"Restoring device parameters...", "SUCCESS! Firmware updated."}));
    EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
    // Not adopted, not active, and released: closed, with no reads left waiting.
    EXPECT_EQ(bench.fForm.fSensor, nullptr);
    EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
    EXPECT_EQ(device->WaitingReads(), 0u);
    EXPECT_FALSE(bench.fForm.btnUpdate.Enabled());

    // The device now holds the stored calibration, as a fresh open reads it back.
    TKelvoSensorUsbDevice check(nullptr, device->Path());
    ASSERT_TRUE(check.Open());
    ASSERT_TRUE(check.GetCalibrationInfo());
    EXPECT_EQ(BytesToHex(&check.fCalibrationRawData, sizeof check.fCalibrationRawData), stored);
    check.Close();
}

TEST(UpdateJournalAtArrival, StepFiveWithoutAUsableCalibrationFailsTheRestore) {
    const std::string failed =
        Lines({"Restoring device parameters...", "Cannot read stored calibration info!",
               "Cannot restore device parameters.",
               "Try to replug device or use device-specific calibration tools."});
    // Missing, 38 and 42 digits, and not hexadecimal.
    for (const char* calibration :
         {"", "01020304050607080910111213141516171819", "010203040506070809101112131415161718192021",
          "0102030405060708090A0B0C0D0E0F10111213GG"}) {
        SCOPED_TRACE(calibration);
        TConnectBench bench;
        bench.Prepare({{"UpdateStep", "5"}});
        if (*calibration)
            bench.Settings().WriteString("Device", "Calibration", calibration);
        bench.Start();
        bench.Plug(Optical("fw=10"));
        EXPECT_EQ(bench.Logged(), failed);
        EXPECT_EQ(bench.Step(), TUpdateStep::RestoreFailed);
        EXPECT_EQ(bench.fForm.fSensor, nullptr);
        EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
    }
}

TEST(UpdateJournalAtArrival, StepFiveWithNothingToRestore) {
    // The device says its options survive an update: nothing is written back.
    TConnectBench bench;
    bench.Prepare({{"UpdateStep", "5"}, {"DoNotStoreParameters", "1"}});
    bench.Start();
    auto device = bench.Plug(Optical("fw=10"));
    EXPECT_EQ(bench.Logged(), "SUCCESS! Firmware updated.\n");
    EXPECT_EQ(bench.Step(), TUpdateStep::Idle);

    // A pulse sensor has no parameters to restore, even without a saved file.
    TConnectBench pulse;
    pulse.Prepare({{"UpdateStep", "5"}});
    pulse.Start();
    pulse.Plug(std::string("pulse-sensor,pid=10,hw=2,fw=99,") + Serial1Text);
    EXPECT_EQ(pulse.Logged(), Lines({"Restoring device parameters...", "SUCCESS! Firmware updated."}));
    EXPECT_EQ(pulse.Step(), TUpdateStep::Idle);
    EXPECT_EQ(pulse.fForm.fPulse, nullptr);
}

TEST(ParameterPreservation, TheOpticalSensorSavesItsCalibration) {
    TConnectBench bench;
    bench.Start();
    bench.Plug(Optical("calibration=00112233445566778899aabbccddeeff01234567"));
    ASSERT_NE(bench.fForm.fSensor, nullptr);
    ASSERT_TRUE(bench.fForm.SaveParameters(bench.fForm.fSensor));
    EXPECT_EQ(bench.Key("DoNotStoreParameters"), "0");
    EXPECT_EQ(bench.Key("Calibration"), "00112233445566778899AABBCCDDEEFF01234567");
    EXPECT_EQ(bench.Key("AccCalibration"), "<none>");

    // A second-generation sensor on firmware above 10 keeps its options through an update.
    TConnectBench second;
    second.Start();
    second.Plug(Optical("pid=35,hw=5,fw=11"));
    ASSERT_NE(second.fForm.fSensor, nullptr);
    ASSERT_TRUE(second.fForm.SaveParameters(second.fForm.fSensor));
    EXPECT_EQ(second.Key("DoNotStoreParameters"), "1");
    EXPECT_EQ(second.Key("Calibration").size(), 40u);
}

TEST(ParameterPreservation, TheCameraSensorSavesItsRecords) {
    struct TCase {
        const char* fOptions;
        bool fAccSaved;
        const char* fDoNotStore;
        const char* fRegions;
    };
    // Firmware 18 needs its options recovered, has no accelerometer calibration to read and
    // reports every region.
    for (const TCase& c : {TCase{"fw=30", true, "1", "5"}, TCase{"fw=30,acc=none", false, "1", "5"},
                           TCase{"fw=18", false, "0", "4095"}}) {
        SCOPED_TRACE(c.fOptions);
        TConnectBench bench;
        bench.Start();
        bench.Plug(std::string("camera-sensor,hw=3,edition=2,regions=5,locked=1,") + c.fOptions + "," +
                   Serial1Text);
        TKelvoUsbQVSensor* camera = bench.fForm.fQVSensor;
        ASSERT_NE(camera, nullptr);
        ASSERT_TRUE(bench.fForm.SaveParameters(camera));
        EXPECT_EQ(bench.Key("DoNotStoreParameters"), c.fDoNotStore);
        const std::string calibration = bench.Key("Calibration");
        EXPECT_EQ(calibration.size(), 52u);
        EXPECT_EQ(calibration.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        const std::string acc = bench.Key("AccCalibration");
        if (c.fAccSaved)
            EXPECT_EQ(acc.size(), 88u);
        else
            EXPECT_EQ(acc, "<none>");
        EXPECT_EQ(bench.Key("Regions"), c.fRegions);
        EXPECT_EQ(bench.Key("Locked"), "1");
    }
}

TEST(ParameterPreservation, ASaveThatCannotReadOrStoreStopsTheUpdate) {
    TConnectBench bench;
    bench.Start();
    auto device = bench.Plug(Optical());
    ASSERT_NE(bench.fForm.fSensor, nullptr);
    // The sensor stops answering.
    device->SetFault(device->VendorRequestCount() + 1, {TSimFaultKind::Stall});
    EXPECT_FALSE(bench.fForm.SaveParameters(bench.fForm.fSensor));
    EXPECT_EQ(bench.Visible().back(), "Error: cannot read sensor calibration info!");

    // The settings file cannot be written: no message here, the update's own error follows.
    std::filesystem::remove(bench.SettingsFile());
    std::filesystem::create_directory(bench.SettingsFile());
    const auto before = bench.Visible();
    EXPECT_FALSE(bench.fForm.SaveParameters(bench.fForm.fSensor));
    EXPECT_EQ(bench.Visible(), before);
}

namespace {

// Every family's kind with its defaults, each of which is offered an update.
const char* const Families[] = {"optical-sensor", "camera-sensor", "pulse-sensor", "pulse-sensor,pid=19",
                                "trigger"};

TCommonKelvoUsbDevice* Held(const TForm1& AForm) {
    for (TCommonKelvoUsbDevice* device : {static_cast<TCommonKelvoUsbDevice*>(AForm.fQVSensor),
                                          static_cast<TCommonKelvoUsbDevice*>(AForm.fTrigger),
                                          static_cast<TCommonKelvoUsbDevice*>(AForm.fSensor),
                                          static_cast<TCommonKelvoUsbDevice*>(AForm.fPulse)})
        if (device)
            return device;
    return nullptr;
}

} // namespace

TEST(FamilyConnection, EveryFamilyFollowsTheJournalAtArrival) {
    const std::string helpLines =
        Lines({"Unable to restore device parameters.", "Please contact support@kelvo.example",
               "or use device-specific calibration tools."});
    for (const char* family : Families) {
        // Each family runs older firmware than its image: a flash step is one that did not take.
        for (const char* step : {"1", "2", "3", "5", "6"}) {
            SCOPED_TRACE(std::string(family) + " step " + step);
            TConnectBench bench;
            bench.Prepare({{"UpdateStep", step}});
            bench.Start();
            bench.Plug(std::string(family) + "," + Serial1Text);
            ASSERT_NE(Held(bench.fForm), nullptr);
            EXPECT_TRUE(bench.Logged().ends_with(Offer + "\n")) << bench.Logged();
            EXPECT_EQ(bench.Logged().rfind(helpLines, 0) == 0, std::string(step) == "6");
            EXPECT_EQ(bench.Logged().rfind("The last update did not finish", 0) == 0,
                      std::string(step) == "3" || std::string(step) == "5");
            EXPECT_EQ(bench.Visible().size(), 6u);
            EXPECT_EQ(bench.Step(), TUpdateStep::Idle);
            EXPECT_EQ(bench.fForm.fActiveDevice, Held(bench.fForm));
        }
        SCOPED_TRACE(std::string(family) + " step 5");
        TConnectBench back;
        back.Prepare({{"UpdateStep", "5"}, {"DoNotStoreParameters", "1"}});
        back.Start();
        auto device = back.Plug(std::string(family) + ",fw=999," + Serial1Text);
        EXPECT_EQ(back.Logged(), "SUCCESS! Firmware updated.\n");
        EXPECT_EQ(back.Step(), TUpdateStep::Idle);
        EXPECT_EQ(Held(back.fForm), nullptr);
        EXPECT_EQ(device->WaitingReads(), 0u);
    }
}

TEST(FamilyConnection, EveryFamilyIsReleasedOnRemoval) {
    for (const char* family : Families) {
        SCOPED_TRACE(family);
        TConnectBench bench;
        bench.Start();
        auto device = bench.Plug(std::string(family) + "," + Serial1Text);
        ASSERT_NE(Held(bench.fForm), nullptr);
        EXPECT_TRUE(bench.fForm.btnUpdate.Enabled());
        bench.Unplug(device);
        EXPECT_EQ(Held(bench.fForm), nullptr);
        EXPECT_EQ(bench.fForm.fActiveDevice, nullptr);
        EXPECT_TRUE(bench.Visible().empty());
        EXPECT_FALSE(bench.fForm.btnUpdate.Enabled());
        // The next device of the family is handled again.
        bench.Plug(std::string(family) + ",serial=9-9-9-9-9-9-9-9");
        EXPECT_NE(bench.fForm.fActiveDevice, nullptr);
    }
}

TEST(FamilyConnection, TheUsb30WarningConcernsOnlyDevicesWithTheOldInterfaceChip) {
    struct TCase {
        const char* fDevice;
        bool fWarned;
    };
    for (const TCase& c :
         {TCase{"optical-sensor", true}, TCase{"optical-sensor,pid=35", false}, TCase{"camera-sensor", false},
          TCase{"pulse-sensor", true}, TCase{"trigger,hw=2,fw=7", true}, TCase{"trigger", false}}) {
        SCOPED_TRACE(c.fDevice);
        TConnectBench bench;
        bench.Start();
        bench.fForm.fWinVer = TWinVer::WIN8;
        bench.Plug(std::string(c.fDevice) + ",stub=2," + Serial1Text);
        ASSERT_NE(bench.fForm.fActiveDevice, nullptr);
        EXPECT_EQ(StateOf(*bench.fForm.fActiveDevice),
                  c.fWarned ? TDeviceState::Usb30Issue : TDeviceState::UpdateOffered);
        EXPECT_EQ(bench.fForm.btnUpdate.Enabled(), !c.fWarned);
        EXPECT_EQ(bench.Logged().ends_with("If you are not sure please contact support@kelvo.example\n"),
                  c.fWarned);
    }
}
