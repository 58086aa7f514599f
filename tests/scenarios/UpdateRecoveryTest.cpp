// Recovery from an interrupted update: a device interrupted at each stage of its journal and in the
// write loop, then replugged, or cut off from power with the updater started again on the same
// settings, ends running the new firmware with the calibration it had before the update.
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"

namespace {

const std::string Calibration = "0102030405060708090A0B0C0D0E0F1011121314";
const std::string Success = "SUCCESS! Firmware updated.\n";

bool EndsWith(const std::string& AText, const std::string& AEnd) {
    return AText.size() >= AEnd.size() && AText.compare(AText.size() - AEnd.size(), AEnd.size(), AEnd) == 0;
}

std::vector<uint8_t> CalibrationBytes() {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < Calibration.size(); i += 2)
        bytes.push_back(uint8_t(std::stoi(Calibration.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct TInterruption {
    const char* fFaults;
    // The journal's step once the interrupted attempt has come to rest.
    int fStepLeft;
    // A request that failed leaves the device plugged in; the user pulls it out first.
    bool fStaysPlugged;
};

// Each stage of the journal, and the first, a middle and the last block of the write loop.
const TInterruption Interruptions[] = {{"unplug-after=switch", 1, false},
                                       {"fail=hwinfo", 1, true},
                                       {"fail=erase", 2, true},
                                       {"unplug-after=erase", 3, false},
                                       {"fail=synchro", 3, true},
                                       {"unplug-at-block=1", 3, false},
                                       {"unplug-at-block=1784", 3, false},
                                       {"unplug-at-block=3568", 3, false},
                                       {"fail=validate", 4, true},
                                       {"unplug-after=validate", 5, false},
                                       {"unplug-after=reconnect", 5, false}};

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
    EXPECT_TRUE(EndsWith(ABench.Logged(), Success)) << ABench.Logged();
    EXPECT_EQ(ABench.Step(), 0);
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
            EXPECT_FALSE(EndsWith(bench.Logged(), Success));
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
            EXPECT_FALSE(EndsWith(first.Logged(), Success));
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
