// What --list shows: serial numbers read through the library over each binding, the text and JSON
// forms, and the command line that asks for it.
#include "app/DeviceList.h"
#include "app/CommandLine.h"
#include "app/RealUsbBus.h"
#include "app/simbench/SimBench.h"
#include "platform/IniFile.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

TEST(DeviceList, SerialNumbersAreReadThroughEitherBinding) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    const std::pair<std::string, std::string> cases[] = {
        {"optical-sensor,serial=32-1-2-3-4-5-6-7,driver=family", "32-1-2-3-4-5-6-7"},
        {"optical-sensor,serial=32-1-2-3-4-5-6-8,driver=generic", "32-1-2-3-4-5-6-8"},
        {"camera-sensor", "31-1-0-0-0-0-0-7"},
    };
    for (const auto& [text, serial] : cases) {
        TSimDeviceOptions options;
        std::string error;
        ASSERT_TRUE(ParseSimDevice(text, TSimKinds::BuiltIn(), options, error)) << error;
        auto devices = PlugSimDevices(bus, {options}, TSimKinds::BuiltIn(), 0);
        auto sim = std::dynamic_pointer_cast<TSimDevice>(devices.at(0));
        ASSERT_TRUE(sim);
        EXPECT_EQ(serial, ReadListedSerial(sim->InterfaceClass(), sim->Path())) << text;
        bus.Unplug(*sim);
    }
    EXPECT_EQ("",
              ReadListedSerial(GuidFromString("{7D318304-5D35-11D2-9420-00105A075F6B}"), "\\\\?\\usb#gone"));
}

TEST(DeviceList, TextAndJson) {
    const std::vector<TListedDevice> devices = {{"\\\\?\\usb#vid_1209&pid_0020#1-1#{x}", 32,
                                                 GuidFromString("{7D318304-5D35-11D2-9420-00105A075F6B}"),
                                                 TUsbDriverKind::Family, "32-1-2-3-4-5-6-7"},
                                                {"p2", 0x1F01, TGUID{}, TUsbDriverKind::Generic, ""}};
    EXPECT_EQ("no devices found\n", DeviceListText({}));
    EXPECT_EQ("[]\n", DeviceListJson({}));
    EXPECT_EQ(
        "\\\\?\\usb#vid_1209&pid_0020#1-1#{x}  product 32  class {7D318304-5D35-11D2-9420-00105A075F6B}  "
        "family driver  serial 32-1-2-3-4-5-6-7\n"
        "p2  product 7937  class {00000000-0000-0000-0000-000000000000}  generic driver  serial unknown\n",
        DeviceListText(devices));
    EXPECT_EQ("[\n {\"path\": \"\\\\\\\\?\\\\usb#vid_1209&pid_0020#1-1#{x}\", \"productId\": 32, "
              "\"interfaceClass\": \"{7D318304-5D35-11D2-9420-00105A075F6B}\", \"binding\": \"family\", "
              "\"serial\": \"32-1-2-3-4-5-6-7\"},\n"
              " {\"path\": \"p2\", \"productId\": 7937, \"interfaceClass\": "
              "\"{00000000-0000-0000-0000-000000000000}\", \"binding\": \"generic\", \"serial\": null}\n]\n",
              DeviceListJson(devices));
    // A path is whatever the system names the device: a control character in it is escaped.
    EXPECT_NE(
        DeviceListJson({{"usb\n#1", 1, TGUID{}, TUsbDriverKind::Family, ""}}).find("{\"path\": \"usb\\n#1\""),
        std::string::npos);
}

TEST(DeviceList, CommandLineAndVendorIdSetting) {
    TCommandLine line;
    std::string error;
    const auto parse = [&](std::vector<std::string> AArgs, TFrontEnd AFrontEnd = TFrontEnd::Console) {
        return ParseCommandLine(AArgs, AFrontEnd, TSimKinds::BuiltIn(), line, error);
    };
    ASSERT_TRUE(parse({"--list", "--json", "--usb-vendor-id", "0x04D8"})) << error;
    EXPECT_TRUE(line.fList && line.fJson);
    EXPECT_EQ(0x04D8, line.fUsbVendorId);
    // Without --list, --json asks for the run's events: it lists nothing and takes a bench.
    ASSERT_TRUE(parse({"--json", "--simulate", "optical-sensor"})) << error;
    EXPECT_TRUE(line.fJson && !line.fList);
    ASSERT_TRUE(parse({"--usb-vendor-id=4660"}, TFrontEnd::Window)) << error;
    EXPECT_EQ(4660, line.fUsbVendorId);
    for (const char* bad : {"0", "65536", "0x", "12ab", ""}) {
        EXPECT_FALSE(parse({"--usb-vendor-id", bad})) << bad;
        EXPECT_EQ(std::string("--usb-vendor-id ") + bad +
                      ": expected a vendor id 1-65535, decimal or 0x hexadecimal",
                  error);
    }
    EXPECT_FALSE(parse({"--list"}, TFrontEnd::Window));
    EXPECT_FALSE(parse({"--list", "--simulate", "optical-sensor"}));
    EXPECT_EQ("--list lists the USB bus; it does not combine with --simulate", error);

    const auto file = std::filesystem::temp_directory_path() / "kelvo-usb-settings.ini";
    std::string note;
    EXPECT_EQ(DefaultUsbVendorId, UsbVendorIdSetting(std::nullopt, file.string(), note)); // no file
    std::ofstream(file) << "[Usb]\nVendorId=0x1234\n";
    EXPECT_EQ(0x1234, UsbVendorIdSetting(std::nullopt, file.string(), note));
    EXPECT_EQ(0x0001, UsbVendorIdSetting(1, file.string(), note)); // the command line first
    EXPECT_EQ(note, "");
    // A value that is no vendor id is said, cut short, and the default taken.
    for (const std::string& bad :
         {std::string("oops"), std::string("65536"), std::string("-1"), std::string(100, '7')}) {
        std::ofstream(file) << "[Usb]\nVendorId=" << bad << "\n";
        note.clear();
        EXPECT_EQ(DefaultUsbVendorId, UsbVendorIdSetting(std::nullopt, file.string(), note));
        EXPECT_EQ(note, file.string() + ": [Usb] VendorId \"" +
                            (bad.size() > 40 ? bad.substr(0, 40) + "..." : bad) +
                            "\" is not a vendor id 1-65535 (decimal or 0x hexadecimal); using 0x1209");
    }
    std::filesystem::remove(file);
    // A settings file that cannot be read is the caller's to report.
    std::filesystem::create_directory(file);
    EXPECT_THROW(UsbVendorIdSetting(std::nullopt, file.string(), note), EIniFileError);
    std::filesystem::remove(file);
}
