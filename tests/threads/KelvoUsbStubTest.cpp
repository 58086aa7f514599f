// The bootloader device class against the simulated bootloader: identification, the programming run
// with images built by the library's image builder and checked by the simulator's own decipher, the
// order rules, the argument checks, the factory and service commands, and the road of each family
// device into its bootloader and back.
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/DemoKeys.h"
#include "sim/SimBus.h"
#include "sim/SimCameraSensor.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimOpticalSensor.h"
#include "sim/SimPulseSensor.h"
#include "sim/SimTriggerController.h"
#include "tests/support/StubImages.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct StubBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }

    std::vector<std::string> PathsOf(const TGUID& AClass) {
        std::vector<TUsbInterfaceEntry> members;
        fBus.GetClassDevs(AClass, members);
        std::vector<std::string> paths;
        for (const auto& member : members)
            paths.push_back(member.Path);
        return paths;
    }
    std::string StubPath() {
        const auto paths = PathsOf(SIM_STUB_INTERFACE_CLASS);
        return paths.size() == 1 ? paths[0] : std::string();
    }

    // A trigger controller (pid 5, hardware 4, firmware 8) left in its bootloader with AFlash.
    std::shared_ptr<TSimPhysicalDevice> PlugBootloader(std::vector<uint8_t> AFlash, uint16_t AStubVersion = 3,
                                                       TUsbDriverKind ADriver = TUsbDriverKind::Family) {
        auto state = std::make_shared<TSimTriggerState>();
        state->StubActual = state->StubUpdate = AStubVersion;
        auto unit =
            TSimPhysicalDevice::CreateInBootloader(SimTriggerBinding(state), ADriver, 0, std::move(AFlash));
        unit->PlugInto(fBus);
        return unit;
    }
    std::shared_ptr<TSimPhysicalDevice> PlugValidBootloader(uint16_t AStubVersion = 3) {
        return PlugBootloader(SimPlainImage(5, 4, 8, 5508), AStubVersion);
    }
};

using StubDevice = StubBench;

} // namespace

TEST_F(StubDevice, OpensAndIdentifiesTheBootloader) {
    auto unit = PlugValidBootloader();
    ASSERT_FALSE(StubPath().empty());
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    EXPECT_EQ(0xFFFF, stub.fHWInfo.VersionHW);
    EXPECT_EQ(NoSerialNum, stub.fHWInfo.SerialNum);
    ASSERT_TRUE(stub.Open());
    EXPECT_EQ(nullptr, stub.ReadThread()); // no polled reads
    EXPECT_EQ((TSerialNum{5, 20, 30, 40, 50, 60, 70, 80}), stub.fSerialNum);
    EXPECT_TRUE(stub.fSerialNumValid);
    EXPECT_EQ(3, stub.fStubVersion);
    EXPECT_EQ(8, stub.fFirmwareVersion);
    EXPECT_EQ(0, stub.fHWInfo.idProduct); // not asked for yet

    TStubHardwareInfo info{};
    ASSERT_TRUE(stub.GetHardwareInfo(info));
    EXPECT_EQ(5, info.idProduct);
    EXPECT_EQ(5508, info.wProcessorID);
    EXPECT_EQ(0x1100, info.wCodeStartAddr);
    EXPECT_EQ(4, info.VersionHW);
    EXPECT_EQ(stub.fSerialNum, info.SerialNum);
    EXPECT_EQ(5, stub.fProductId);
    EXPECT_EQ(KELVO_USB_MSP430X5XX, stub.UsbTransceiver());
    EXPECT_EQ("STUB", stub.DeveloperName());
    EXPECT_EQ("Trigger stub, V3, CPU:5508", stub.GetDeviceInfo());
    EXPECT_EQ("Hardware version: 4", stub.GetVersionInfo());
    EXPECT_EQ("Firmware version: 8", stub.GetFirmwareVersionStr());

    // A bootloader reports no device versions and is never locked; nothing is sent for them.
    const uint32_t sent = unit->Personality()->VendorRequestCount();
    uint16_t hw = 0, fw = 0;
    EXPECT_FALSE(stub.GetVersion(hw, fw));
    EXPECT_EQ(1, hw);
    EXPECT_EQ(1, fw);
    EXPECT_EQ(1, stub.fVersionHW);
    bool locked = true;
    EXPECT_TRUE(stub.GetLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_FALSE(stub.fLocked);
    EXPECT_TRUE(stub.Unlock(TDeviceKey{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(sent, unit->Personality()->VendorRequestCount());
}

TEST_F(StubDevice, FailedVersionReadsLeaveTheirMarkers) {
    auto unit = PlugBootloader(std::vector<uint8_t>(KImageSize, 0xFF));
    // Requests 2 and 3 of the open are the bootloader and firmware version reads.
    unit->Personality()->SetFault(2, {TSimFaultKind::Stall});
    unit->Personality()->SetFault(3, {TSimFaultKind::Short});
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    EXPECT_EQ(1, stub.fStubVersion);
    EXPECT_EQ(0, stub.fFirmwareVersion);
    EXPECT_EQ("Firmware version: not available", stub.GetFirmwareVersionStr());
    // Erased flash: the bootloader reports no firmware.
    uint16_t version = 0;
    EXPECT_TRUE(stub.GetFirmwareVersion(&version));
    EXPECT_EQ(0xFFFF, version);
    EXPECT_EQ("Firmware version: none", stub.GetFirmwareVersionStr());

    // A short hardware-information answer changes neither the caller's record nor the device's.
    TStubHardwareInfo info{1, 2, 3, 4, {9, 9, 9, 9, 9, 9, 9, 9}};
    const TStubHardwareInfo kept = info;
    unit->Personality()->SetFault(unit->Personality()->VendorRequestCount() + 1,
                                  {TSimFaultKind::Short, 0, 1});
    EXPECT_FALSE(stub.GetHardwareInfo(info));
    EXPECT_EQ(0, std::memcmp(&kept, &info, sizeof info));
    EXPECT_EQ(0, stub.fHWInfo.idProduct);
    EXPECT_EQ(0xFFFF, stub.fHWInfo.VersionHW);
    EXPECT_EQ(0, stub.fProductId);
    ASSERT_TRUE(stub.GetHardwareInfo(info));
    EXPECT_EQ(5, info.idProduct);
}

TEST_F(StubDevice, ProgramsAValidImageAndComesBackAsTheDeviceOfTheImage) {
    auto unit = PlugValidBootloader();
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    ASSERT_TRUE(Program(stub, BuildImage(5, 4, 9)));
    EXPECT_EQ(9, unit->BootloaderState()->FlashFirmwareVersion());
    EXPECT_EQ(KImageSize / 16, unit->BootloaderState()->BlocksAccepted);

    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_TRUE(PathsOf(SIM_STUB_INTERFACE_CLASS).empty());
    ASSERT_EQ(1u, PathsOf(SimInterfaceClassOf(5)).size());
    EXPECT_EQ(TSimPhysicalDevice::TMode::Running, unit->Mode());
    TKelvoTriggerUsbDevice device(nullptr, PathsOf(SimInterfaceClassOf(5))[0]);
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(9, device.fVersionFW);
    EXPECT_EQ(4, device.fVersionHW);
    EXPECT_EQ((TSerialNum{5, 20, 30, 40, 50, 60, 70, 80}), device.fSerialNum);
}

TEST_F(StubDevice, ACorruptedImageFailsValidationAndStaysABootloader) {
    auto unit = PlugValidBootloader();
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    auto image = BuildImage(5, 4, 9);
    image[8 + 0x2345] ^= 0x01; // one enciphered byte
    EXPECT_FALSE(Program(stub, image));
    EXPECT_EQ(KImageSize / 16, unit->BootloaderState()->BlocksAccepted); // every block was taken
    EXPECT_FALSE(unit->BootloaderState()->FlashValid);

    const std::string before = StubPath();
    ASSERT_TRUE(stub.ReconnectUsb());
    // It re-enumerates as a bootloader, under a new path, with no firmware.
    const std::string after = StubPath();
    ASSERT_FALSE(after.empty());
    EXPECT_NE(before, after);
    EXPECT_TRUE(PathsOf(SimInterfaceClassOf(5)).empty());
    TKelvoStubUSBDevice again(nullptr, after);
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(0xFFFF, again.fFirmwareVersion);
    // A good image then goes through.
    EXPECT_TRUE(Program(again, BuildImage(5, 4, 9)));
}

TEST_F(StubDevice, BlocksAreTakenOnlyInOrderAfterEraseAndSynchro) {
    auto unit = PlugValidBootloader();
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    const auto image = BuildImage(5, 4, 9);
    const uint8_t* data = image.data() + 8;

    EXPECT_FALSE(stub.WriteFlash(0, data, 16));    // before the erase
    EXPECT_FALSE(stub.SetSynchro(Synchro(image))); // synchro before the erase
    EXPECT_TRUE(stub.ValidateFlash());             // the old image is still whole
    ASSERT_TRUE(stub.EraseFlash());
    EXPECT_FALSE(stub.ValidateFlash());         // erased
    EXPECT_FALSE(stub.WriteFlash(0, data, 16)); // before the synchro
    ASSERT_TRUE(stub.SetSynchro(Synchro(image)));
    EXPECT_FALSE(stub.WriteFlash(16, data + 16, 16)); // skips a block
    ASSERT_TRUE(stub.WriteFlash(0, data, 16));
    EXPECT_FALSE(stub.WriteFlash(0, data, 16));      // again
    EXPECT_FALSE(stub.SetSynchro(Synchro(image)));   // synchro after a block
    EXPECT_FALSE(stub.WriteFlash(16, data + 16, 0)); // empty
    ASSERT_TRUE(stub.WriteFlash(16, data + 16, 8));  // a short block keeps the stream going
    ASSERT_TRUE(stub.WriteFlash(24, data + 24, 16));
    EXPECT_FALSE(stub.ValidateFlash()); // unfinished
    for (uint32_t address = 40; address < KImageSize; address += 16)
        ASSERT_TRUE(stub.WriteFlash(uint16_t(address), data + address,
                                    uint16_t(std::min(16u, KImageSize - address))));
    EXPECT_EQ(7u, unit->BootloaderState()->Refused);
    EXPECT_TRUE(stub.ValidateFlash());
}

TEST_F(StubDevice, WriteFlashChecksItsArgumentsBeforeSending) {
    auto unit = PlugValidBootloader();
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    auto sim = unit->Personality();
    const uint8_t block[17] = {};
    const uint32_t sent = sim->VendorRequestCount();
    auto message = [&](uint16_t AAddress, uint16_t ASize) {
        try {
            stub.WriteFlash(AAddress, block, ASize);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ("Invalid flash data block size", message(0, 17));
    EXPECT_EQ("Invalid flash data block size", message(0xDEF8, 17)); // size is tested first
    EXPECT_EQ("Invalid flash data block address", message(0xDEF8, 16));
    EXPECT_EQ("Invalid flash data block address", message(0xFFF8, 16)); // no 16-bit wrap-around
    EXPECT_EQ(sent, sim->VendorRequestCount());
    // A block may end exactly at the end of the image.
    EXPECT_EQ("", message(0xDEF0, 16));
    EXPECT_EQ(sent + 1, sim->VendorRequestCount());
}

TEST_F(StubDevice, FixHardwareVersionCompletesOnlyMissingVersions) {
    struct TCase {
        uint16_t Pid, Processor, Reported, Expected;
    };
    const TCase cases[] = {{32, 235, 0xFFFF, 3},
                           {32, 235, 1, 1},
                           {32, 147, 0, 2},
                           {32, 5529, 0, 0},
                           {5, 147, 0xFFFF, 2},
                           {5, 235, 0, 3},
                           {5, 5508, 0xFFFF, 0xFFFF},
                           {14, 235, 0, 3},
                           {2, 0, 0, 2},
                           {10, 0, 0xFFFF, 2},
                           {16, 0, 0, 2},
                           {19, 0, 0, 3},
                           {23, 0, 0, 2},
                           {34, 0, 0, 4},
                           {35, 0, 0xFFFF, 5},
                           {48, 5528, 0, 0},
                           {0x1F01, 5528, 0xFFFF, 0xFFFF}};
    for (const TCase& c : cases) {
        TStubHardwareInfo info{c.Pid, c.Processor, 0x1100, c.Reported, NoSerialNum};
        TKelvoStubUSBDevice::FixHardwareVersion(info);
        EXPECT_EQ(c.Expected, info.VersionHW) << c.Pid << "/" << c.Processor << "/" << c.Reported;
    }
}

TEST_F(StubDevice, ABootloaderWithoutHardwareVersionGetsOneDerived) {
    auto state = std::make_shared<TSimOpticalSensorState>();
    state->VersionHW = 3;
    auto unit = TSimPhysicalDevice::CreateInBootloader(
        SimOpticalSensorBinding(state), TUsbDriverKind::Generic, 235, std::vector<uint8_t>(KImageSize, 0xFF));
    unit->BootloaderState()->HardwareAnswer = 0xFFFF;
    unit->PlugInto(fBus);
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    EXPECT_TRUE(stub.IsWinUsb());
    EXPECT_EQ("Hardware version is not available!", stub.GetVersionInfo());
    TStubHardwareInfo info{};
    ASSERT_TRUE(stub.GetHardwareInfo(info));
    EXPECT_EQ(3, info.VersionHW);
    EXPECT_EQ(3, stub.fHWInfo.VersionHW);
    EXPECT_EQ(KELVO_USB_D12, stub.UsbTransceiver());
    EXPECT_EQ("Sensor stub, V3, CPU:235", stub.GetDeviceInfo());
}

TEST_F(StubDevice, DeviceInfoNamesTheProduct) {
    TKelvoStubUSBDevice stub(nullptr, "unused");
    auto text = [&](uint16_t APid, uint16_t AHw, uint16_t AStub, uint16_t ACpu) {
        stub.fHWInfo.idProduct = APid;
        stub.fHWInfo.VersionHW = AHw;
        stub.fHWInfo.wProcessorID = ACpu;
        stub.fStubVersion = AStub;
        return stub.GetDeviceInfo();
    };
    EXPECT_EQ("Sensor stub, V3, CPU:147", text(32, 2, 3, 147));
    EXPECT_EQ("V2, CPU:5529", text(99, 2, 2, 5529));
    EXPECT_EQ("Target control stub, V1, CPU:147", text(2, 2, 1, 147));
    EXPECT_EQ("Pulse POLAR stub, V3, CPU:235", text(19, 3, 3, 235));
    EXPECT_EQ("LP-02 stub, V4, CPU:5522", text(35, 5, 4, 5522));
    EXPECT_EQ("DNxxxE stub, V3, CPU:5528", text(48, 2, 3, 5528));
    EXPECT_EQ("QV-01 stub, V5, CPU:5528", text(0x1F01, 1, 5, 5528));
    EXPECT_EQ("QV-02V3 stub, V5, CPU:5528", text(0x1F01, 5, 5, 5528));
    EXPECT_EQ("V5, CPU:5528", text(0x1F01, 6, 5, 5528));
    EXPECT_EQ("V5, CPU:5528", text(0x1F01, 0xFFFF, 5, 5528));
}

TEST_F(StubDevice, FuseCommandsNeedBootloaderVersion3) {
    auto old = PlugValidBootloader(1);
    {
        TKelvoStubUSBDevice stub(nullptr, StubPath());
        ASSERT_TRUE(stub.Open());
        EXPECT_EQ(1, stub.fStubVersion); // version 1 does not answer the version request
        const uint32_t sent = old->Personality()->VendorRequestCount();
        bool locked = true;
        EXPECT_FALSE(stub.IsFuseLocked(locked));
        EXPECT_TRUE(locked);
        EXPECT_FALSE(stub.LockFuse());
        EXPECT_EQ(sent, old->Personality()->VendorRequestCount());
    }
    old->Personality()->LeaveBus();

    auto current = PlugValidBootloader(3);
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    bool locked = true;
    ASSERT_TRUE(stub.IsFuseLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_FALSE(stub.LockFuse()); // a service operation
    ASSERT_TRUE(stub.EnableSecretOperations(SIM_STUB_SERVICE_KEY));
    EXPECT_TRUE(stub.LockFuse());
    ASSERT_TRUE(stub.IsFuseLocked(locked));
    EXPECT_TRUE(locked);
}

TEST_F(StubDevice, FactoryCommandsWriteSerialAndKey) {
    auto unit = PlugValidBootloader();
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    const uint32_t sent = unit->Personality()->VendorRequestCount();
    EXPECT_FALSE(stub.SetSerialNumber(NoSerialNum)); // invalid: not sent
    EXPECT_EQ(sent, unit->Personality()->VendorRequestCount());

    const TSerialNum serial = {5, 1, 1, 1, 1, 1, 1, 9};
    const TDeviceKey key = {9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_FALSE(stub.SetSerialNumber(serial)); // service operations not enabled
    EXPECT_FALSE(stub.EnableSecretOperations(TSecretKey{1, 2, 3, 4, 5, 6, 7, 8}));
    TDeviceKey read = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_FALSE(stub.GetDeviceKey(read));
    EXPECT_EQ((TDeviceKey{1, 1, 1, 1, 1, 1, 1, 1}), read); // untouched on failure

    ASSERT_TRUE(stub.EnableSecretOperations(SIM_STUB_SERVICE_KEY));
    ASSERT_TRUE(stub.SetSerialNumber(serial));
    EXPECT_EQ(serial, stub.fSerialNum);
    EXPECT_TRUE(stub.fSerialNumValid);
    ASSERT_TRUE(stub.SetDeviceKey(key));
    ASSERT_TRUE(stub.GetDeviceKey(read));
    EXPECT_EQ(key, read);
    TSerialNum back{};
    ASSERT_TRUE(stub.GetSerialNum(&back));
    EXPECT_EQ(serial, back);
    EXPECT_EQ(serial, stub.fHWInfo.SerialNum);

    // The firmware started after a flash carries the new identity.
    ASSERT_TRUE(Program(stub, BuildImage(5, 4, 9)));
    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_EQ(serial, unit->Report().Serial);
}
