// The --simulate kind of the trigger controller: names, defaults, refused values, and the device it
// builds on either driver.
#include "app/simbench/SimKindTrigger.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimTriggerController.h"

#include <gtest/gtest.h>

namespace {

TSimDeviceOptions Options(const std::string& AText) {
    TSimDeviceOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << error;
    return options;
}

std::shared_ptr<TSimBusDevice> Create(const TSimDeviceOptions& AOptions) {
    return TSimKinds::BuiltIn().Find("trigger")->fCreate(AOptions, 0);
}

} // namespace

TEST(SimKindTrigger, DefaultsAndGivenValues) {
    const TSimKind* kind = TSimKinds::BuiltIn().Find("trigger");
    ASSERT_NE(nullptr, kind);
    EXPECT_EQ((std::set<std::string>{"stub", "regions"}), kind->fExtraNames);

    std::string error;
    auto plain = TriggerStateFor(Options("trigger"), error);
    ASSERT_NE(nullptr, plain) << error;
    EXPECT_EQ(4, plain->VersionHW);
    EXPECT_EQ(8, plain->VersionFW);
    EXPECT_FALSE(plain->Locked);
    EXPECT_EQ(0x0FFF, plain->Regions);
    EXPECT_EQ(3, plain->StubActual);

    auto given = TriggerStateFor(
        Options("trigger,pid=5,hw=3,fw=11,locked=1,key=1-1-1-1-2-2-2-2,regions=0xFFE,stub=1"), error);
    ASSERT_NE(nullptr, given) << error;
    EXPECT_EQ(3, given->VersionHW);
    EXPECT_EQ(11, given->VersionFW);
    EXPECT_TRUE(given->Locked);
    EXPECT_EQ((std::array<uint8_t, 8>{1, 1, 1, 1, 2, 2, 2, 2}), given->Key);
    EXPECT_EQ(0xFFE, given->Regions);
    EXPECT_EQ(1, given->StubActual);
}

TEST(SimKindTrigger, RefusedValuesAreReportedWhenParsed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"trigger,pid=10", "bad value \"10\" for pid= (expected 5)"},
        {"trigger,regions=0x1000", "bad value \"0x1000\" for regions= (expected a number 0-0xFFF)"},
        {"trigger,stub=-1", "bad value \"-1\" for stub= (expected a number 0-65535)"},
    };
    for (const auto& [text, message] : cases) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimDevice(text, TSimKinds::BuiltIn(), options, error)) << text;
        EXPECT_EQ(message, error) << text;
    }
    TSimDeviceOptions unchecked = Options("trigger");
    unchecked.fExtra["regions"] = "4096";
    EXPECT_EQ(nullptr, Create(unchecked));
}

TEST(SimKindTrigger, TheBuiltDeviceIdentifiesOnEitherDriver) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    for (const char* driver : {"family", "generic"}) {
        auto built = Create(Options(std::string("trigger,fw=9,regions=0x204,driver=") + driver));
        ASSERT_NE(nullptr, built);
        TKelvoTriggerUsbDevice device(nullptr, bus.Plug(built));
        ASSERT_TRUE(device.Open());
        EXPECT_EQ(std::string(driver) == "generic", device.IsWinUsb());
        EXPECT_EQ(9, device.fVersionFW);
        EXPECT_EQ("US,UK", device.RegionsStr());
    }
}
