// The libusb bus over a made-up sysfs: what it finds, the paths and classes it publishes, the
// arrivals and removals a rescan reports, and devices that vanish before they are opened.
#include "platform/libusb/LibUsbBus.h"
#include "platform/StdEventLoop.h"
#include "platform/WinError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const TGUID KSensor = GuidFromString("{7D318304-5D35-11D2-9420-00105A075F6B}");
const TGUID KCamera = GuidFromString("{6DD29847-8B42-4AB4-AB06-4B9BF751334C}");
const TGUID KStub = GuidFromString("{F4D2667F-49BB-478D-8B9D-9D83C4AA7A0F}");

struct TFakeUsb {
    fs::path Root = fs::temp_directory_path() / ("libusb-bus-test-" + std::to_string(getpid()));
    TFakeUsb() { fs::create_directories(Root / "devices"); }
    ~TFakeUsb() { fs::remove_all(Root); }

    void Device(const std::string& APort, const std::string& AVendor, const std::string& AProduct,
                const std::string& ASubClass, const std::string& AProtocol, int ADevNum) {
        fs::path dir = Root / "devices" / APort;
        fs::create_directories(dir);
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"idVendor", AVendor},
                                          {"idProduct", AProduct},
                                          {"bDeviceSubClass", ASubClass},
                                          {"bDeviceProtocol", AProtocol},
                                          {"busnum", "1"},
                                          {"devnum", std::to_string(ADevNum)}})
            std::ofstream(dir / name) << value << "\n";
    }
    void Remove(const std::string& APort) { fs::remove_all(Root / "devices" / APort); }
};

struct TSink : TDeviceChangeSink {
    std::vector<std::string> Reports;
    void DeviceChange(uint32_t AEvent, const TGUID&, const std::string& APath) override {
        Reports.push_back((AEvent == DBT_DEVICEARRIVAL ? "+" : "-") + APath);
    }
};

struct TBusTest : ::testing::Test {
    TFakeUsb fUsb;
    TStdEventLoop fLoop;
    std::vector<std::string> fLog;
    std::unique_ptr<TLibUsbBus> fBus;

    void Start() {
        TLibUsbBusOptions options;
        options.ClassOf = [](uint16_t AProductId) {
            return AProductId == 32 ? KSensor : AProductId == 0x1F01 ? KCamera : TGUID{};
        };
        options.BootloaderClass = KStub;
        options.Log = [this](const std::string& ALine) { fLog.push_back(ALine); };
        options.SysfsDevices = (fUsb.Root / "devices").string();
        options.DevNodes = (fUsb.Root / "nodes").string();
        ASSERT_EQ(ERROR_SUCCESS, TLibUsbBus::Create(fLoop, std::move(options), fBus));
        // Without a udev daemon the bus says once that it polls; nothing else is logged at start.
        std::erase_if(fLog, [](const std::string& L) { return L.find("hotplug") != std::string::npos; });
    }
    std::vector<std::string> Members(const TGUID& AClass) {
        std::vector<TUsbInterfaceEntry> entries;
        EXPECT_EQ(ERROR_SUCCESS, fBus->GetClassDevs(AClass, entries));
        std::vector<std::string> paths;
        for (const auto& entry : entries)
            paths.push_back(entry.Path);
        return paths;
    }
};

const std::string KSensorPath = "\\\\?\\usb#vid_1209&pid_0020#1-1.2#{7d318304-5d35-11d2-9420-00105a075f6b}";
const std::string KStubPath = "\\\\?\\usb#vid_1209&pid_0020#1-1.2#{f4d2667f-49bb-478d-8b9d-9d83c4aa7a0f}";

} // namespace

TEST_F(TBusTest, FindsTheFamilyByVendorIdAndPublishesEachUnderItsClass) {
    fUsb.Device("1-1.2", "1209", "0020", "ff", "ff", 5);
    fUsb.Device("1-3", "1209", "1f01", "ff", "01", 6);
    fUsb.Device("2-1", "046d", "0020", "ff", "ff", 2);       // another maker's device
    fUsb.Device("1-4", "1209", "0120", "ff", "ff", 7);       // not a product of the family
    fUsb.Device("1-5", "1209", "zz", "ff", "ff", 8);         // a broken attribute
    fUsb.Device("1-1.2:1.0", "1209", "0020", "ff", "ff", 5); // an interface, not a device
    fUsb.Device("usb1", "1d6b", "0002", "00", "01", 1);      // a root hub
    Start();
    EXPECT_EQ(std::vector<std::string>{KSensorPath}, Members(KSensor));
    auto devices = fBus->Devices();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(TUsbDriverKind::Family, devices[0].Driver);
    EXPECT_EQ("1-3", devices[1].Port);
    EXPECT_EQ(TUsbDriverKind::Generic, devices[1].Driver);
    EXPECT_EQ(0x1F01, devices[1].ProductId);
    // The foreign product is reported once, however often the bus looks again.
    fBus->Rescan();
    fBus->Rescan();
    EXPECT_EQ(std::vector<std::string>{"USB device 1-4: product id 288 is not one this program updates"},
              fLog);
}

TEST_F(TBusTest, RescanReportsTheBootloaderAsANewDeviceOnTheSamePort) {
    fUsb.Device("1-1.2", "1209", "0020", "ff", "ff", 5);
    Start();
    TSink sensor, stub;
    uint32_t error;
    auto a = fBus->RegisterDeviceNotification(&sensor, KSensor, error);
    fBus->RegisterDeviceNotification(&stub, KStub, error);
    fBus->Rescan();
    EXPECT_TRUE(sensor.Reports.empty()); // nothing changed

    fUsb.Device("1-1.2", "1209", "0020", "01", "ff", 6); // re-enumerated into its bootloader
    fBus->Rescan();
    EXPECT_EQ(std::vector<std::string>{"-" + KSensorPath}, sensor.Reports);
    EXPECT_EQ(std::vector<std::string>{"+" + KStubPath}, stub.Reports);

    fUsb.Device("1-1.2", "1209", "0020", "01", "ff", 7); // the same kind again, a new enumeration
    fBus->Rescan();
    EXPECT_EQ((std::vector<std::string>{"+" + KStubPath, "-" + KStubPath, "+" + KStubPath}), stub.Reports);

    fBus->UnregisterDeviceNotification(a);
    fUsb.Remove("1-1.2");
    fBus->Rescan();
    EXPECT_EQ(1u, sensor.Reports.size());
    EXPECT_EQ(4u, stub.Reports.size());
    EXPECT_TRUE(Members(KStub).empty());
}

TEST_F(TBusTest, ADeviceGoneBeforeItIsOpenedIsReportedOnce) {
    fUsb.Device("1-1.2", "1209", "0020", "ff", "ff", 5);
    Start();
    std::unique_ptr<TUsbHandle> handle;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, fBus->Open(KSensorPath, handle)); // its node has gone
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, fBus->Open(KSensorPath, handle));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, fBus->Open("\\\\?\\usb#nothing", handle));
    EXPECT_FALSE(handle);
    EXPECT_EQ(std::vector<std::string>{"USB device 1-1.2 has gone before it could be opened"}, fLog);
}
