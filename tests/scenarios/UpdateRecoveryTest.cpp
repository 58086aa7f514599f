// Recovery from an interrupted update: a device interrupted at each stage of its journal and in the
// write loop, then replugged, or cut off from power with the updater started again on the same
// settings, ends running the new firmware with the calibration it had before the update.
#include "platform/HexText.h"
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"

namespace {

const std::string Calibration = "0102030405060708090A0B0C0D0E0F1011121314";
const std::string Success = "SUCCESS! Firmware updated.\n";

std::vector<uint8_t> CalibrationBytes() {
    return *HexToBytes(Calibration);
}

struct TInterruption {
    const char* fFaults;
    // The journal's step once the interrupted attempt has come to rest.
    TUpdateStep fStepLeft;
    // A request that failed leaves the device plugged in; the user pulls it out first.
    bool fStaysPlugged;
};

// Each stage of the journal, and the first, a middle and the last block of the write loop.
const TInterruption Interruptions[] = {{"unplug-after=switch", TUpdateStep::SwitchRequested, false},
                                       {"fail=hwinfo", TUpdateStep::SwitchRequested, true},
                                       {"fail=erase", TUpdateStep::StubArrived, true},
                                       {"unplug-after=erase", TUpdateStep::FlashErased, false},
                                       {"fail=synchro", TUpdateStep::FlashErased, true},
                                       {"unplug-at-block=1", TUpdateStep::FlashErased, false},
                                       {"unplug-at-block=1784", TUpdateStep::FlashErased, false},
                                       {"fail=write", TUpdateStep::FlashErased, true},
                                       {"unplug-at-block=3568", TUpdateStep::FlashErased, false},
                                       {"fail=validate", TUpdateStep::FlashWritten, true},
                                       {"unplug-after=validate", TUpdateStep::FlashValidated, false},
                                       {"unplug-after=reconnect", TUpdateStep::FlashValidated, false}};

// Plugs an optical sensor with the faults, clicks Update and lets the attempt come to rest.
std::shared_ptr<TSimPhysicalDevice> Interrupt(TConnectBench& ABench, const TInterruption& AInterruption,
                                              const std::string& AReplug = "") {
    ABench.Start();
    auto device = ABench.Plug(Optical("calibration=" + Calibration + "," + AInterruption.fFaults + AReplug));
    EXPECT_TRUE(ABench.fForm.btnUpdate.Enabled());
    ABench.fForm.btnUpdate.Click();
    EXPECT_TRUE(ABench.RunQuiet());
    return device->Unit();
}

void ExpectUpdated(TConnectBench& ABench, const TSimPhysicalDevice& AUnit) {
    EXPECT_TRUE(ABench.Logged().ends_with(Success)) << ABench.Logged();
    EXPECT_EQ(ABench.Step(), TUpdateStep::Idle);
    const TSimUnitReport report = AUnit.Report();
    EXPECT_FALSE(report.InBootloader);
    EXPECT_TRUE(report.FlashValid);
    EXPECT_EQ(report.VersionFW, 10);
    EXPECT_EQ(report.Calibration, CalibrationBytes());
}

} // namespace

TEST(UpdateRecovery, AReplugAfterAnyInterruptionFinishesTheUpdate) {
    for (const TInterruption& interruption : Interruptions) {
        SCOPED_TRACE(interruption.fFaults);
        TConnectBench bench;
        // An unplug comes back on its own; a failed request is replugged by hand.
        auto unit = Interrupt(bench, interruption, interruption.fStaysPlugged ? "" : ",replug-after-ms=30");
        if (interruption.fStaysPlugged) {
            EXPECT_FALSE(bench.Logged().ends_with(Success));
            EXPECT_EQ(bench.Step(), interruption.fStepLeft);
            bench.Unplug(unit->Personality());
            unit->PlugInto(bench.fBench.fBus);
            ASSERT_TRUE(bench.RunQuiet());
        }
        ExpectUpdated(bench, *unit);
    }
}

TEST(UpdateRecovery, APowerLossThenARestartFinishesTheUpdate) {
    for (const TInterruption& interruption : Interruptions) {
        SCOPED_TRACE(interruption.fFaults);
        TTempDir home;
        std::shared_ptr<TSimPhysicalDevice> unit;
        {
            TConnectBench first(home.Path());
            unit = Interrupt(first, interruption);
            EXPECT_FALSE(first.Logged().ends_with(Success));
            EXPECT_EQ(first.Step(), interruption.fStepLeft);
            // The power goes: the device is off the bus, and the updater ends with it.
            if (interruption.fStaysPlugged)
                first.Unplug(unit->Personality());
        }
        TConnectBench second(home.Path());
        second.Start();
        unit->PlugInto(second.fBench.fBus);
        ASSERT_TRUE(second.RunQuiet());
        ExpectUpdated(second, *unit);
    }
}

TEST(UpdateRecovery, WhatTheWriteLoopSaysWhenItIsCutShort) {
    struct TCase {
        const char* fFaults;
        const char* fLastLine;
    };
    // Pulled out between two blocks, the loop notices the removal; a refused block is an error.
    for (const TCase& c : {TCase{"unplug-at-block=1784", "Device disconnected."},
                           TCase{"unplug-at-block=3568", "Device disconnected."},
                           TCase{"fail=write", "Error writing flash!"}}) {
        SCOPED_TRACE(c.fFaults);
        TConnectBench bench;
        Interrupt(bench, {c.fFaults, TUpdateStep::FlashErased, false});
        EXPECT_TRUE(bench.Logged().ends_with(Lines({"Writing firmware...", c.fLastLine}))) << bench.Logged();
        EXPECT_EQ(bench.Step(), TUpdateStep::FlashErased);
        EXPECT_EQ(bench.fForm.fStub == nullptr, std::string(c.fLastLine) == "Device disconnected.");
        EXPECT_EQ(bench.fForm.Failures(), 1);
    }
}

TEST(UpdateRecovery, ABootloaderThatTakesTheOthersPlaceMidWriteGetsNoneOfItsBlocks) {
    TConnectBench bench;
    bench.Start();
    auto first = bench.Plug(std::string("bootloader,pid=10,hw=2,") + Serial1Text);
    auto second = bench.Make("bootloader,pid=5,hw=2,serial=9-9-9-9-9-9-9-9");
    // At block 100 the first bootloader is pulled out and the second plugged in at once, so both
    // reports wait for the same turn of the write loop.
    int blocks = 0;
    first->SetVendorHandler(0x81, [&](const TSimVendorRequest&, std::vector<uint8_t>&) {
        if (++blocks == 100) {
            bench.fBench.fBus.Unplug(*first);
            bench.fBench.fBus.Plug(second);
        }
        return true;
    });
    ASSERT_TRUE(bench.RunQuiet());
    const std::string log = bench.Logged();
    // The newcomer's arrival is handled inside the loop's turn; the loop then stops.
    EXPECT_NE(
        log.find(
            "Writing firmware...\nStub plugged in, serial number is 9-9-9-9-9-9-9-9\nDevice disconnected.\n"),
        std::string::npos)
        << log;
    // The second one was flashed from its own erase on, whole.
    EXPECT_FALSE(second->Unit()->Report().InBootloader);
    EXPECT_TRUE(second->Unit()->Report().FlashValid);
}
