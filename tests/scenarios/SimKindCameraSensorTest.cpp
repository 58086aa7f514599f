#include "app/simbench/SimKindCameraSensor.h"
#include "app/simbench/SimBench.h"
#include "sim/SimCameraSensor.h"

#include <gtest/gtest.h>

namespace {

struct TMade {
    std::shared_ptr<TSimCameraSensor> Device;
    std::shared_ptr<TSimCameraSensorState> State;
};

// Parses ADevice with the camera kind and builds the simulated sensor.
TMade Make(const std::string& ADevice) {
    TSimKinds kinds;
    RegisterCameraSensorKind(kinds);
    TSimDeviceOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimDevice(ADevice, kinds, options, error)) << error;
    auto device =
        std::dynamic_pointer_cast<TSimCameraSensor>(kinds.Find("camera-sensor")->fCreate(options, 0));
    EXPECT_NE(nullptr, device);
    return {device, device ? device->State() : nullptr};
}

std::string ParseError(const std::string& ADevice) {
    TSimKinds kinds;
    RegisterCameraSensorKind(kinds);
    TSimDeviceOptions options;
    std::string error;
    EXPECT_FALSE(ParseSimDevice(ADevice, kinds, options, error)) << ADevice;
    return error;
}

} // namespace

TEST(SimKindCameraSensor, DefaultsAreAReadableSensorThatCanBeUpdated) {
    EXPECT_NE(nullptr, TSimKinds::BuiltIn().Find("camera-sensor"));
    TMade made = Make("camera-sensor");
    ASSERT_TRUE(made.State);
    EXPECT_EQ(0x1F01, made.Device->Identity().ProductId);
    EXPECT_EQ(TUsbDriverKind::Generic, made.Device->DriverKind());
    EXPECT_EQ(3, made.State->VersionHW);
    EXPECT_EQ(31, made.State->VersionFW); // older than the built-in images
    EXPECT_FALSE(made.State->Locked);
    EXPECT_EQ(0, made.State->Edition());
    EXPECT_TRUE(made.State->AccCalibrationReadable);
    EXPECT_EQ(26u, made.State->FlashParamsSize());
}

TEST(SimKindCameraSensor, CommonAndOwnValuesReachTheSensor) {
    const std::string flash = "00000A00"
                              "7801"
                              "F000"
                              "0000803F"
                              "00003442"
                              "0102030405060708"
                              "0300";
    std::string acc(88, '0');
    acc.replace(84, 4, "FFFF"); // all zero words: the checksum is the complement of 0
    TMade made = Make("camera-sensor,serial=9-8-7-6-5-4-3-2,hw=1,fw=0x10,locked=1,key=2-2-2-2-2-2-2-2,"
                      "driver=family,pid=0x1F02,flash=" +
                      flash + ",edition=2,acc=" + acc + ",regions=0x005,stub=2");
    ASSERT_TRUE(made.State);
    EXPECT_EQ((std::array<uint8_t, 8>{9, 8, 7, 6, 5, 4, 3, 2}), made.State->Serial);
    EXPECT_EQ((std::array<uint8_t, 8>{2, 2, 2, 2, 2, 2, 2, 2}), made.State->Key);
    EXPECT_EQ(1, made.State->VersionHW);
    EXPECT_EQ(16, made.State->VersionFW);
    EXPECT_TRUE(made.State->Locked);
    EXPECT_EQ(TUsbDriverKind::Family, made.Device->DriverKind());
    EXPECT_EQ(0x1F02, made.Device->Identity().ProductId);
    EXPECT_EQ(0x0A, made.State->FlashParams[2]);
    EXPECT_EQ(0x3F, made.State->FlashParams[11]);
    EXPECT_EQ(8, made.State->FlashParams[23]);
    EXPECT_EQ(2, made.State->Edition()); // edition= wins over the record's own
    EXPECT_EQ(0xFF, made.State->AccCalibration[43]);
    EXPECT_EQ(0x005, made.State->Regions);
    EXPECT_EQ(2, made.State->StubActual);

    EXPECT_FALSE(Make("camera-sensor,acc=none").State->AccCalibrationReadable);
}

TEST(SimKindCameraSensor, BadValuesAreReportedWhenParsed) {
    EXPECT_EQ("bad value \"x\" for edition= (expected a number 0-65535, decimal or 0x hexadecimal)",
              ParseError("camera-sensor,edition=x"));
    EXPECT_NE(std::string::npos, ParseError("camera-sensor,stub=70000").find("stub="));
    EXPECT_NE(std::string::npos, ParseError("camera-sensor,regions=").find("regions="));
    EXPECT_NE(std::string::npos, ParseError("camera-sensor,flash=00").find("52 hexadecimal digits"));
    EXPECT_NE(std::string::npos,
              ParseError("camera-sensor,flash=" + std::string(51, '0') + "g").find("flash="));
    EXPECT_NE(std::string::npos,
              ParseError("camera-sensor,acc=" + std::string(86, 'A')).find("88 hexadecimal"));
    EXPECT_NE(std::string::npos, ParseError("camera-sensor,lens=1").find("unknown name \"lens\""));
}
