// The --simulate kind of a device left in its bootloader: names, refused values, the flash it holds,
// and the family device it becomes after a flash. Also the bench's report of the devices' state.
#include "app/simbench/SimKindBootloader.h"
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "app/simbench/SimReport.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <gtest/gtest.h>

namespace {

TSimDeviceOptions Options(const std::string& AText) {
    TSimDeviceOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << error;
    return options;
}

struct SimKindBootloader : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    std::vector<std::shared_ptr<TSimBusDevice>> Plug(const std::string& AText) {
        return PlugSimDevices(fBus, {Options(AText)}, TSimKinds::BuiltIn(), 0);
    }
    std::string PathOf(const TGUID& AClass) {
        std::vector<TUsbInterfaceEntry> members;
        fBus.GetClassDevs(AClass, members);
        return members.size() == 1 ? members[0].Path : std::string();
    }
};

// The image the built-in collection carries for a product and board, as the updater sends it.
bool Flash(TKelvoStubUSBDevice& AStub, uint16_t APid, uint16_t AHw) {
    TKelvoUsbFirmwareCollection set(nullptr);
    set.LoadFromResourceName("FWCOLLECTION");
    const TKelvoUsbFirmware* fw = set.FindById(APid, AHw);
    if (!fw || !AStub.EraseFlash() || !AStub.SetSynchro(fw->Bin()->SynchroPacket))
        return false;
    const auto* data = reinterpret_cast<const uint8_t*>(&fw->Bin()->Main);
    for (uint32_t address = 0; address < 0xDF00; address += 16)
        if (!AStub.WriteFlash(uint16_t(address), data + address, 16))
            return false;
    return AStub.ValidateFlash() && AStub.ReconnectUsb();
}

} // namespace

TEST_F(SimKindBootloader, RefusedValuesAreReportedWhenParsed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"bootloader,pid=2",
         "bad value \"2\" for pid= (expected 32, 35, 0x1F01, 10, 19 or 5: a product with a "
         "simulated family)"},
        {"bootloader,flash=full", "bad value \"full\" for flash= (expected none, half or valid)"},
        {"bootloader,stub=0", "bad value \"0\" for stub= (expected a number 1-65535)"},
        {"bootloader,processor=x", "bad value \"x\" for processor= (expected a number 0-65535)"},
    };
    for (const auto& [text, message] : cases) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimDevice(text, TSimKinds::BuiltIn(), options, error)) << text;
        EXPECT_EQ(message, error) << text;
    }
}

TEST_F(SimKindBootloader, IdentifiesWithTheGivenValuesAndFlash) {
    struct TCase {
        const char* Text;
        uint16_t Pid, Hw, Stub, Processor, Fw;
        std::string Info;
    };
    const TCase cases[] = {
        {"bootloader", 32, 2, 3, 147, 0xFFFF, "Sensor stub, V3, CPU:147"},
        {"bootloader,pid=5,hw=4,fw=7,flash=valid,serial=5-1-2-3-4-5-6-7", 5, 4, 3, 5508, 7,
         "Trigger stub, V3, CPU:5508"},
        {"bootloader,pid=5,hw=4,fw=7,flash=half", 5, 4, 3, 5508, 0xFFFF, "Trigger stub, V3, CPU:5508"},
        // No hardware version: the host derives it from product and processor.
        {"bootloader,pid=32,hw=0xFFFF,processor=235,stub=2", 32, 3, 2, 235, 0xFFFF,
         "Sensor stub, V2, CPU:235"},
        {"bootloader,pid=0x1F01,hw=0,stub=1", 0x1F01, 0, 1, 5528, 0xFFFF, "V1, CPU:5528"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        auto devices = Plug(c.Text);
        ASSERT_EQ(1u, devices.size());
        TKelvoStubUSBDevice stub(nullptr, PathOf(SIM_STUB_INTERFACE_CLASS));
        ASSERT_TRUE(stub.Open());
        TStubHardwareInfo info{};
        ASSERT_TRUE(stub.GetHardwareInfo(info));
        EXPECT_EQ(c.Pid, info.idProduct);
        EXPECT_EQ(c.Hw, info.VersionHW);
        EXPECT_EQ(c.Processor, info.wProcessorID);
        EXPECT_EQ(c.Stub, stub.fStubVersion);
        EXPECT_EQ(c.Fw, stub.fFirmwareVersion);
        EXPECT_EQ(c.Info, stub.GetDeviceInfo());
        std::static_pointer_cast<TSimDevice>(devices[0])->LeaveBus();
    }
}

TEST_F(SimKindBootloader, BecomesTheFamilyDeviceAfterAFlash) {
    auto devices = Plug("bootloader,pid=5,hw=4,flash=half,serial=5-9-9-9-9-9-9-9,fail=validate");
    const auto units = SimPhysicalDevicesOf(devices);
    ASSERT_EQ(1u, units.size());
    {
        TKelvoStubUSBDevice stub(nullptr, PathOf(SIM_STUB_INTERFACE_CLASS));
        ASSERT_TRUE(stub.Open());
        EXPECT_FALSE(Flash(stub, 5, 4)); // the programmed validation fault
        ASSERT_TRUE(stub.ValidateFlash());
        ASSERT_TRUE(stub.ReconnectUsb());
    }
    EXPECT_EQ("", PathOf(SIM_STUB_INTERFACE_CLASS));
    TKelvoTriggerUsbDevice device(nullptr, PathOf(SimInterfaceClassOf(5)));
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(9, device.fVersionFW); // the built-in image's
    EXPECT_EQ(4, device.fVersionHW);
    EXPECT_EQ((TSerialNum{5, 9, 9, 9, 9, 9, 9, 9}), device.fSerialNum);

    const std::string json = SimReportJson(units);
    EXPECT_EQ(
        "{\n  \"devices\": [\n    {\"kind\": \"trigger\", \"family\": \"trigger\", \"product_id\": 5, "
        "\"hardware_version\": 4, \"firmware_version\": 9, \"bootloader_version\": 3, \"serial_number\": "
        "\"5-9-9-9-9-9-9-9\", \"flash_valid\": true, \"calibration\": \"\"}\n  ]\n}\n",
        json);
}

TEST_F(SimKindBootloader, AFlashWithoutAValidImageComesBackAsABootloader) {
    auto devices = Plug("bootloader,pid=5,hw=4,flash=half");
    const auto units = SimPhysicalDevicesOf(devices);
    TKelvoStubUSBDevice stub(nullptr, PathOf(SIM_STUB_INTERFACE_CLASS));
    ASSERT_TRUE(stub.Open());
    EXPECT_FALSE(stub.ValidateFlash());
    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_NE("", PathOf(SIM_STUB_INTERFACE_CLASS));
    EXPECT_EQ("", PathOf(SimInterfaceClassOf(5)));
    EXPECT_NE(SimReportJson(units).find("\"kind\": \"bootloader\", \"family\": \"trigger\""),
              std::string::npos);
}

TEST_F(SimKindBootloader, TheReportShowsAWipedCalibration) {
    auto devices =
        Plug("optical-sensor,calibration=0102030405060708090A0B0C0D0E0F1011121314,unplug-after=erase");
    const auto units = SimPhysicalDevicesOf(devices);
    ASSERT_EQ(1u, units.size());
    EXPECT_NE(SimReportJson(units).find("\"calibration\": \"0102030405060708090A0B0C0D0E0F1011121314\""),
              std::string::npos);
    {
        TKelvoSensorUsbDevice sensor(nullptr, PathOf(SimInterfaceClassOf(32)));
        ASSERT_TRUE(sensor.Open());
        ASSERT_TRUE(sensor.SwitchToStub());
    }
    TKelvoStubUSBDevice stub(nullptr, PathOf(SIM_STUB_INTERFACE_CLASS));
    ASSERT_TRUE(stub.Open());
    ASSERT_TRUE(stub.EraseFlash());
    EXPECT_EQ("", PathOf(SIM_STUB_INTERFACE_CLASS)); // the fault given on the command line
    const std::string json = SimReportJson(units);
    EXPECT_NE(json.find("\"kind\": \"bootloader\", \"family\": \"optical-sensor\", \"product_id\": 32"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"firmware_version\": 65535"), std::string::npos) << json;
    EXPECT_NE(json.find("\"flash_valid\": false, \"calibration\": \"" + std::string(40, 'F') + "\""),
              std::string::npos)
        << json;
}
