// The optical-sensor kind of --simulate: its defaults as the device library sees them, its own
// values, and the refusal of bad ones at parse time.
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoUsbSensor.h"
#include "app/simbench/SimBench.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimOpticalSensor.h"

#include <gtest/gtest.h>

namespace {

struct SimKindOpticalSensor : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    // The parsed kind's device, plugged in and opened by the library.
    std::unique_ptr<TKelvoSensorUsbDevice> OpenKind(const std::string& AText,
                                                    std::shared_ptr<TSimOpticalSensor>* ASim = nullptr) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_TRUE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << error;
        auto devices = PlugSimDevices(fBus, {options}, TSimKinds::BuiltIn(), 0);
        EXPECT_EQ(1u, devices.size());
        auto sim = std::dynamic_pointer_cast<TSimOpticalSensor>(devices.at(0));
        if (ASim)
            *ASim = sim;
        auto device = std::make_unique<TKelvoSensorUsbDevice>(nullptr, sim->Path());
        EXPECT_TRUE(device->Open());
        return device;
    }
    static std::string Refusal(const std::string& AText) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << AText;
        return error;
    }
};

} // namespace

TEST_F(SimKindOpticalSensor, DefaultsAreAFirstGenerationSensorTheCollectionCanUpdate) {
    auto device = OpenKind("optical-sensor");
    EXPECT_EQ(32, device->fDeviceDescriptor.idProduct);
    EXPECT_EQ(2, device->fVersionHW);
    EXPECT_EQ(9, device->fVersionFW);
    EXPECT_FALSE(device->IsWinUsb());
    EXPECT_EQ("LP-01(147)", device->ModelType());
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_TRUE(device->Calibrated());
    EXPECT_EQ(0x00010A3Du, device->fCalibrationRawData.k[0]);
    EXPECT_EQ(2.5f, device->CalibrationInfo().DistanceK);

    auto lp02 = OpenKind("optical-sensor,pid=35");
    EXPECT_EQ(5, lp02->fVersionHW);
    EXPECT_EQ(10, lp02->fVersionFW);
    EXPECT_TRUE(lp02->IsWinUsb());
    EXPECT_EQ("LP-02", lp02->ModelType());

    // The built-in collection holds newer firmware for both defaults.
    TKelvoUsbFirmwareCollection collection(nullptr);
    collection.LoadFromResourceName("FWCOLLECTION");
    ASSERT_NE(nullptr, collection.FindById(32, 2));
    EXPECT_GT(collection.FindById(32, 2)->VersionFW(), 9);
    ASSERT_NE(nullptr, collection.FindById(35, 5));
    EXPECT_GT(collection.FindById(35, 5)->VersionFW(), 10);
}

TEST_F(SimKindOpticalSensor, TakesItsOwnValues) {
    std::shared_ptr<TSimOpticalSensor> sim;
    auto device = OpenKind("optical-sensor,hw=3,fw=8,driver=generic,locked=1,key=9-9-9-9-9-9-9-9,stub=2,"
                           "calibration=00800100ffffffff0000010000000100ffffffff",
                           &sim);
    EXPECT_TRUE(device->IsWinUsb());
    EXPECT_EQ(3, device->fVersionHW);
    EXPECT_TRUE(device->fLocked);
    EXPECT_TRUE(device->Unlock({9, 9, 9, 9, 9, 9, 9, 9}));
    ASSERT_TRUE(device->GetStubVersion(nullptr));
    EXPECT_EQ(2, device->fActualStubVersion);
    EXPECT_TRUE(device->HasUsb30CompatibilityIssue());
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_FALSE(device->Calibrated());
    EXPECT_EQ(1.5f, device->CalibrationInfo().K[0]);
    EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, device->fCalibrationRawData.d);
    EXPECT_EQ(sim->State()->Calibration, sim->State()->FlashCalibration);
}

TEST_F(SimKindOpticalSensor, RefusesBadValuesWhenParsing) {
    EXPECT_EQ(
        "bad value \"0102\" for calibration= (expected 40 hexadecimal digits: the 20 calibration bytes)",
        Refusal("optical-sensor,calibration=0102"));
    Refusal("optical-sensor,calibration=3D0A0100C3F5000000000100E1FA00000080020G");
    Refusal("optical-sensor,calibration=3D0A0100C3F5000000000100E1FA0000008002000");
    EXPECT_EQ("bad value \"65536\" for stub= (expected a number 0-65535, decimal or 0x hexadecimal)",
              Refusal("optical-sensor,stub=65536"));
    Refusal("optical-sensor,stub=");
    EXPECT_EQ("bad value \"2\" for pid= (expected 32 or 35)", Refusal("optical-sensor,pid=2"));
    EXPECT_NE(std::string::npos, Refusal("optical-sensor,regions=3").find("unknown name"));
}
