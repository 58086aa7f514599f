// The --simulate kind of the pulse sensor: names, defaults, refused values, and the device it builds.
#include "app/simbench/SimKindPulseSensor.h"
#include "MyLib/KelvoUsbPulse.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimPulseSensor.h"

#include <gtest/gtest.h>

namespace {

TSimDeviceOptions Options(const std::string& AText) {
    TSimDeviceOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << error;
    return options;
}

std::shared_ptr<TSimBusDevice> Create(const TSimDeviceOptions& AOptions) {
    return TSimKinds::BuiltIn().Find("pulse-sensor")->fCreate(AOptions, 0);
}

} // namespace

TEST(SimKindPulseSensor, DefaultsForTheClipAndTheBelt) {
    const TSimKind* kind = TSimKinds::BuiltIn().Find("pulse-sensor");
    ASSERT_NE(nullptr, kind);
    EXPECT_EQ((std::set<std::string>{"stub", "driver-version"}), kind->fExtraNames);

    std::string error;
    auto clip = PulseSensorStateFor(Options("pulse-sensor"), error);
    ASSERT_NE(nullptr, clip) << error;
    EXPECT_EQ(10, clip->ProductId);
    EXPECT_EQ(2, clip->VersionHW);
    EXPECT_EQ(5, clip->VersionFW);
    EXPECT_FALSE(clip->Locked);
    EXPECT_EQ(3, clip->StubActual);
    EXPECT_EQ(0x217, clip->DriverVersion);

    auto belt = PulseSensorStateFor(Options("pulse-sensor,pid=19"), error);
    ASSERT_NE(nullptr, belt) << error;
    EXPECT_EQ(3, belt->VersionHW);
    EXPECT_EQ(9, belt->VersionFW);
    EXPECT_NE(clip->Serial, belt->Serial);

    auto given = PulseSensorStateFor(
        Options("pulse-sensor,pid=19,hw=1,fw=0x10,locked=1,serial=1-2-3-4-5-6-7-8,key=8-7-6-5-4-3-2-1,"
                "stub=2,driver-version=0x206"),
        error);
    ASSERT_NE(nullptr, given) << error;
    EXPECT_EQ(1, given->VersionHW);
    EXPECT_EQ(16, given->VersionFW);
    EXPECT_TRUE(given->Locked);
    EXPECT_EQ((std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}), given->Serial);
    EXPECT_EQ((std::array<uint8_t, 8>{8, 7, 6, 5, 4, 3, 2, 1}), given->Key);
    EXPECT_EQ(2, given->StubActual);
    EXPECT_EQ(0x206, given->DriverVersion);
}

TEST(SimKindPulseSensor, RefusedValuesAreReportedWhenParsed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pulse-sensor,pid=5",
         "bad value \"5\" for pid= (expected 10, the clip, or 19, the chest-belt receiver)"},
        {"pulse-sensor,driver=generic",
         "bad value \"generic\" for driver= (expected family: the pulse sensor has no generic binding)"},
        {"pulse-sensor,stub=two", "bad value \"two\" for stub= (expected a number 0-65535)"},
        {"pulse-sensor,driver-version=65536",
         "bad value \"65536\" for driver-version= (expected a number 0-65535)"},
        {"pulse-sensor,stub=", "bad value \"\" for stub= (expected a number 0-65535)"},
    };
    for (const auto& [text, message] : cases) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimDevice(text, TSimKinds::BuiltIn(), options, error)) << text;
        EXPECT_EQ(message, error) << text;
    }
    // A description that bypassed the parser builds nothing.
    TSimDeviceOptions unchecked = Options("pulse-sensor");
    unchecked.fExtra["stub"] = "x";
    EXPECT_EQ(nullptr, Create(unchecked));
}

TEST(SimKindPulseSensor, TheBuiltDeviceIdentifiesAsGiven) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    std::shared_ptr<TSimBusDevice> built =
        Create(Options("pulse-sensor,pid=19,fw=7,stub=2,serial=9-9-9-9-1-2-3-4"));
    ASSERT_NE(nullptr, built);
    const std::string path = bus.Plug(built);
    TKelvoPulseUsbDevice device(nullptr, path);
    ASSERT_TRUE(device.Open());
    EXPECT_FALSE(device.IsWinUsb());
    EXPECT_TRUE(device.Polar());
    EXPECT_EQ(3, device.fVersionHW);
    EXPECT_EQ(7, device.fVersionFW);
    EXPECT_EQ((TSerialNum{9, 9, 9, 9, 1, 2, 3, 4}), device.fSerialNum);
    ASSERT_TRUE(device.GetStubVersion(nullptr));
    EXPECT_TRUE(device.HasUsb30CompatibilityIssue());
}
