// Each simulated family device on its road into the bootloader and back, driven by the library's
// device classes: the bootloader shares the device's identity, a flash brings the device back with
// the image's product id and firmware version and without the calibration the erase wiped, and the
// programmed faults drop the device off the bus where they say.
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
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

const std::array<uint8_t, 20> KCalibration = SimCalibrationBytes(0x10A3D, 0xF5C3, 0x10000, 0xFAE1, 0x28000);

struct TFamilyCase {
    const char* Name;
    uint16_t Pid, Hw, Fw, Processor;
    TUsbDriverKind Driver;
    bool LosesCalibration; // whether the erase wipes what the report shows (kept in the erased flash)
};

std::ostream& operator<<(std::ostream& AOut, const TFamilyCase& ACase) {
    return AOut << ACase.Name;
}

struct RoadBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }

    static std::vector<std::string> PathsOf(TSimBus& ABus, const TGUID& AClass) {
        std::vector<TUsbInterfaceEntry> members;
        ABus.GetClassDevs(AClass, members);
        std::vector<std::string> paths;
        for (const auto& member : members)
            paths.push_back(member.Path);
        return paths;
    }
    std::string StubPath(TSimBus& ABus) {
        const auto paths = PathsOf(ABus, SIM_STUB_INTERFACE_CLASS);
        return paths.size() == 1 ? paths[0] : std::string();
    }
    std::string StubPath() { return StubPath(fBus); }
    std::string DevicePath(uint16_t APid) {
        const auto paths = PathsOf(fBus, SimInterfaceClassOf(APid));
        return paths.size() == 1 ? paths[0] : std::string();
    }

    // A physical device of the family running its firmware, plugged in.
    std::shared_ptr<TSimPhysicalDevice> PlugFamily(const TFamilyCase& ACase) {
        TSimFamilyBinding binding;
        const std::string name = ACase.Name;
        if (name == "optical") {
            auto state = std::make_shared<TSimOpticalSensorState>();
            state->ProductId = ACase.Pid;
            state->VersionHW = ACase.Hw;
            state->VersionFW = ACase.Fw;
            state->Calibration = state->FlashCalibration = KCalibration;
            binding = SimOpticalSensorBinding(state);
        } else if (name.rfind("camera", 0) == 0) {
            auto state = std::make_shared<TSimCameraSensorState>();
            state->VersionHW = ACase.Hw;
            state->VersionFW = ACase.Fw;
            state->AccCalibration = SimQVAccCalibration(10, -20, 30);
            binding = SimCameraSensorBinding(state, ACase.Pid);
        } else if (name == "pulse") {
            auto state = std::make_shared<TSimPulseState>();
            state->ProductId = ACase.Pid;
            state->VersionHW = ACase.Hw;
            state->VersionFW = ACase.Fw;
            binding = SimPulseSensorBinding(state);
        } else {
            auto state = std::make_shared<TSimTriggerState>();
            state->VersionHW = ACase.Hw;
            state->VersionFW = ACase.Fw;
            binding = SimTriggerBinding(state);
        }
        auto unit = TSimPhysicalDevice::CreateRunning(binding, ACase.Driver);
        unit->PlugInto(fBus);
        return unit;
    }

    std::unique_ptr<TCommonKelvoUsbDevice> OpenDevice(const TFamilyCase& ACase) {
        const std::string path = DevicePath(ACase.Pid);
        const std::string name = ACase.Name;
        std::unique_ptr<TCommonKelvoUsbDevice> device;
        if (name == "optical")
            device = std::make_unique<TKelvoSensorUsbDevice>(nullptr, path);
        else if (name.rfind("camera", 0) == 0)
            device = std::make_unique<TKelvoUsbQVSensor>(nullptr, path);
        else if (name == "pulse")
            device = std::make_unique<TKelvoPulseUsbDevice>(nullptr, path);
        else
            device = std::make_unique<TKelvoTriggerUsbDevice>(nullptr, path);
        if (path.empty() || !device->Open())
            return nullptr;
        return device;
    }

    // A trigger controller that answers the switch request with the given faults.
    std::shared_ptr<TSimPhysicalDevice> PlugTrigger(const TSimUpdateFaults& AFaults) {
        auto unit = PlugFamily({"trigger", 5, 4, 8, 5508, TUsbDriverKind::Family, false});
        unit->SetFaults(AFaults);
        return unit;
    }
    // Switches the running trigger controller into its bootloader.
    bool Switch() {
        TKelvoTriggerUsbDevice device(nullptr, DevicePath(5));
        return device.Open() && device.SwitchToStub();
    }
};

class FamilyRoad : public RoadBench, public ::testing::WithParamInterface<TFamilyCase> {};
using SimPhysicalDevice = RoadBench;

} // namespace

TEST_P(FamilyRoad, SwitchesFlashesAndComesBackWithTheImagesVersion) {
    const TFamilyCase c = GetParam();
    auto unit = PlugFamily(c);
    const TSimUnitReport before = unit->Report();
    EXPECT_FALSE(before.InBootloader);
    EXPECT_TRUE(before.FlashValid);
    {
        auto device = OpenDevice(c);
        ASSERT_TRUE(device);
        EXPECT_EQ(c.Fw, device->fVersionFW);
        ASSERT_TRUE(device->SwitchToStub());
        EXPECT_TRUE(RunUntil([&] { return !StubPath().empty() && !fBus.HasPendingReports(); }));
        EXPECT_TRUE(DevicePath(c.Pid).empty());
    }

    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    EXPECT_EQ(before.Serial, stub.fSerialNum);
    EXPECT_EQ(c.Fw, stub.fFirmwareVersion);
    TStubHardwareInfo info{};
    ASSERT_TRUE(stub.GetHardwareInfo(info));
    EXPECT_EQ(c.Pid, info.idProduct);
    EXPECT_EQ(c.Hw, info.VersionHW);
    EXPECT_EQ(c.Processor, info.wProcessorID);

    ASSERT_TRUE(Program(stub, BuildImage(c.Pid, c.Hw, uint16_t(c.Fw + 1))));
    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_TRUE(StubPath().empty());
    auto device = OpenDevice(c);
    ASSERT_TRUE(device);
    EXPECT_EQ(c.Fw + 1, device->fVersionFW);
    EXPECT_EQ(c.Hw, device->fVersionHW);
    EXPECT_EQ(before.Serial, device->fSerialNum);

    const TSimUnitReport after = unit->Report();
    EXPECT_FALSE(after.InBootloader);
    EXPECT_EQ(c.Fw + 1, after.VersionFW);
    EXPECT_EQ(before.Calibration.size(), after.Calibration.size());
    if (c.LosesCalibration)
        EXPECT_NE(before.Calibration, after.Calibration);
    else
        EXPECT_EQ(before.Calibration, after.Calibration);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FamilyRoad,
    ::testing::Values(TFamilyCase{"optical", 32, 2, 9, 147, TUsbDriverKind::Family, true},
                      TFamilyCase{"optical", 35, 5, 10, 5522, TUsbDriverKind::Generic, true},
                      TFamilyCase{"cameraOld", 0x1F01, 3, 18, 5528, TUsbDriverKind::Generic, true},
                      TFamilyCase{"cameraNew", 0x1F01, 3, 31, 5528, TUsbDriverKind::Generic, false},
                      TFamilyCase{"pulse", 10, 2, 5, 167, TUsbDriverKind::Family, false},
                      TFamilyCase{"trigger", 5, 4, 8, 5508, TUsbDriverKind::Family, false}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name) + std::to_string(AInfo.param.Pid); });

TEST_F(SimPhysicalDevice, LeavingWithoutFlashingKeepsFirmwareAndCalibration) {
    auto unit = PlugFamily({"optical", 32, 2, 9, 147, TUsbDriverKind::Family, true});
    const auto before = unit->Report();
    {
        TKelvoSensorUsbDevice device(nullptr, DevicePath(32));
        ASSERT_TRUE(device.Open());
        ASSERT_TRUE(device.SwitchToStub());
    }
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_FALSE(DevicePath(32).empty());
    const auto after = unit->Report();
    EXPECT_EQ(before.Calibration, after.Calibration);
    EXPECT_EQ(9, after.VersionFW);
}

TEST_F(SimPhysicalDevice, TheImagesProductIdIsTheDevicesAfterwards) {
    auto unit = PlugFamily({"optical", 32, 5, 10, 5522, TUsbDriverKind::Generic, true});
    {
        TKelvoSensorUsbDevice device(nullptr, DevicePath(32));
        ASSERT_TRUE(device.Open());
        ASSERT_TRUE(device.SwitchToStub());
    }
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    ASSERT_TRUE(Program(stub, BuildImage(35, 5, 11)));
    ASSERT_TRUE(stub.ReconnectUsb());
    EXPECT_EQ(35, unit->Report().ProductId);
    TKelvoSensorUsbDevice device(nullptr, DevicePath(35));
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(35, device.fDeviceDescriptor.idProduct);
    EXPECT_EQ(11, device.fVersionFW);
}

TEST_F(SimPhysicalDevice, AnotherFamilysImageMakesItThatFamilysDevice) {
    auto unit = PlugFamily({"optical", 32, 2, 9, 147, TUsbDriverKind::Family, true});
    const auto serial = unit->Report().Serial;
    {
        TKelvoSensorUsbDevice device(nullptr, DevicePath(32));
        ASSERT_TRUE(device.Open());
        ASSERT_TRUE(device.SwitchToStub());
    }
    {
        TKelvoStubUSBDevice stub(nullptr, StubPath());
        ASSERT_TRUE(stub.Open());
        ASSERT_TRUE(Program(stub, BuildImage(5, 2, 12)));
        ASSERT_TRUE(stub.ReconnectUsb());
    }
    EXPECT_TRUE(DevicePath(32).empty());
    TKelvoTriggerUsbDevice device(nullptr, DevicePath(5));
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(12, device.fVersionFW);
    EXPECT_EQ(2, device.fVersionHW);
    EXPECT_EQ(serial, device.fSerialNum);
    const auto report = unit->Report();
    EXPECT_EQ("trigger", report.Kind);
    EXPECT_EQ(5, report.ProductId);
    // It goes into its bootloader as the trigger controller it now is.
    ASSERT_TRUE(device.SwitchToStub());
    TKelvoStubUSBDevice stub(nullptr, StubPath());
    ASSERT_TRUE(stub.Open());
    TStubHardwareInfo info{};
    ASSERT_TRUE(stub.GetHardwareInfo(info));
    EXPECT_EQ(5, info.idProduct);
    EXPECT_EQ(12, stub.fFirmwareVersion);
}

TEST_F(SimPhysicalDevice, UnplugAtBlockDropsOffAndComesBackOnANewBus) {
    TSimUpdateFaults faults;
    faults.UnplugAtBlock = 3;
    auto unit = PlugTrigger(faults);
    ASSERT_TRUE(Switch());
    const auto image = BuildImage(5, 4, 9);
    {
        TKelvoStubUSBDevice stub(nullptr, StubPath());
        ASSERT_TRUE(stub.Open());
        ASSERT_TRUE(stub.EraseFlash());
        ASSERT_TRUE(stub.SetSynchro(Synchro(image)));
        EXPECT_TRUE(stub.WriteFlash(0, image.data() + 8, 16));
        EXPECT_TRUE(stub.WriteFlash(16, image.data() + 24, 16));
        EXPECT_TRUE(stub.WriteFlash(32, image.data() + 40, 16));
        EXPECT_TRUE(StubPath().empty());
        EXPECT_FALSE(stub.WriteFlash(48, image.data() + 56, 16)); // the handle is gone with it
    }
    EXPECT_EQ(3u, unit->BootloaderState()->BlocksAccepted);
    EXPECT_EQ(TSimPhysicalDevice::TMode::Bootloader, unit->Mode());

    // A restarted program: the device is plugged into a new bus, still a bootloader, nothing valid.
    TSimBus second(fLoop);
    unit->PlugInto(second);
    // The new bus is not the one the library uses here: it is opened by its handle directly.
    std::unique_ptr<TUsbHandle> handle;
    ASSERT_EQ(ERROR_SUCCESS, second.Open(StubPath(second), handle));
    EXPECT_FALSE(unit->BootloaderState()->FlashValid);
    EXPECT_TRUE(PathsOf(fBus, SIM_STUB_INTERFACE_CLASS).empty());
    second.Unplug(*unit->Personality());
    // Back on the first bus the whole run goes through.
    unit->PlugInto(fBus);
    TKelvoStubUSBDevice again(nullptr, StubPath());
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(0xFFFF, again.fFirmwareVersion);
    ASSERT_TRUE(Program(again, image));
    ASSERT_TRUE(again.ReconnectUsb());
    EXPECT_EQ(9, unit->Report().VersionFW);
}

TEST_F(SimPhysicalDevice, UnplugAfterSwitchStaysAwayUntilPluggedAgain) {
    TSimUpdateFaults faults;
    faults.UnplugAfter = TSimUpdateStage::Switch;
    auto unit = PlugTrigger(faults);
    ASSERT_TRUE(Switch());
    EXPECT_TRUE(StubPath().empty());
    EXPECT_TRUE(DevicePath(5).empty());
    EXPECT_EQ(TSimPhysicalDevice::TMode::Bootloader, unit->Mode());
    unit->PlugInto(fBus);
    EXPECT_FALSE(StubPath().empty());
}

TEST_F(SimPhysicalDevice, ReplugAfterMsBringsItBackLater) {
    TSimUpdateFaults faults;
    faults.UnplugAfter = TSimUpdateStage::Switch;
    faults.ReplugAfterMs = 30;
    auto unit = PlugTrigger(faults);
    ASSERT_TRUE(Switch());
    EXPECT_TRUE(StubPath().empty());
    EXPECT_TRUE(RunUntil([&] { return !StubPath().empty(); }));
}

TEST_F(SimPhysicalDevice, UnplugAfterARequestAnswersItThenDropsOff) {
    struct TCase {
        TSimUpdateStage Stage;
        int Steps; // how far the run gets: 1 erase, 2 synchro, 3 blocks + validate, 4 reconnect
        TSimPhysicalDevice::TMode ComesBackAs;
    };
    const TCase cases[] = {{TSimUpdateStage::Erase, 1, TSimPhysicalDevice::TMode::Bootloader},
                           {TSimUpdateStage::Synchro, 2, TSimPhysicalDevice::TMode::Bootloader},
                           {TSimUpdateStage::Validate, 3, TSimPhysicalDevice::TMode::Bootloader},
                           {TSimUpdateStage::Reconnect, 4, TSimPhysicalDevice::TMode::Running}};
    const auto image = BuildImage(5, 4, 9);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Steps);
        TSimUpdateFaults faults;
        faults.UnplugAfter = c.Stage;
        // Long enough that the checks of the empty bus below cannot race the return, even on a loaded
        // machine; the wait for the return does not depend on it.
        faults.ReplugAfterMs = 500;
        auto unit = PlugTrigger(faults);
        ASSERT_TRUE(Switch());
        {
            TKelvoStubUSBDevice stub(nullptr, StubPath());
            ASSERT_TRUE(stub.Open());
            EXPECT_TRUE(stub.EraseFlash());
            if (c.Steps >= 2) {
                EXPECT_TRUE(stub.SetSynchro(Synchro(image)));
            }
            if (c.Steps >= 3) {
                EXPECT_TRUE(WriteBlocks(stub, image));
                EXPECT_TRUE(stub.ValidateFlash());
            }
            if (c.Steps >= 4) {
                EXPECT_TRUE(stub.ReconnectUsb());
            }
            EXPECT_TRUE(StubPath().empty());
            EXPECT_TRUE(DevicePath(5).empty());
            EXPECT_FALSE(stub.GetSerialNum(nullptr));
        }
        EXPECT_EQ(c.ComesBackAs, unit->Mode());
        const bool running = c.ComesBackAs == TSimPhysicalDevice::TMode::Running;
        EXPECT_TRUE(RunUntil([&] { return !(running ? DevicePath(5) : StubPath()).empty(); }));
        unit->Personality()->LeaveBus();
        ASSERT_TRUE(RunUntil([&] { return !fBus.HasPendingReports(); }));
    }
}

TEST_F(SimPhysicalDevice, FailNamesARequestThatFailsOnce) {
    const TSimStubRequest requests[] = {TSimStubRequest::Erase,     TSimStubRequest::Synchro,
                                        TSimStubRequest::Write,     TSimStubRequest::Validate,
                                        TSimStubRequest::Reconnect, TSimStubRequest::HwInfo,
                                        TSimStubRequest::Serial};
    const auto image = BuildImage(5, 4, 9);
    for (TSimStubRequest request : requests) {
        SCOPED_TRACE(int(request));
        TSimUpdateFaults faults;
        faults.FailOnce = {request};
        auto unit = PlugTrigger(faults);
        ASSERT_TRUE(Switch());
        TKelvoStubUSBDevice stub(nullptr, StubPath());
        ASSERT_TRUE(stub.Open());
        TStubHardwareInfo info{};
        // Each step is tried twice when it is the failing one: the first fails, the retry works.
        auto step = [&](TSimStubRequest AThis, const std::function<bool()>& ACall) {
            if (request == AThis) {
                EXPECT_FALSE(ACall());
            }
            EXPECT_TRUE(ACall());
        };
        // The serial-number read stays broken for this enumeration (the open tried it first).
        EXPECT_EQ(request != TSimStubRequest::Serial, stub.fSerialNumValid);
        EXPECT_EQ(request != TSimStubRequest::Serial, stub.GetSerialNum(nullptr));
        step(TSimStubRequest::HwInfo, [&] { return stub.GetHardwareInfo(info); });
        step(TSimStubRequest::Erase, [&] { return stub.EraseFlash(); });
        step(TSimStubRequest::Synchro, [&] { return stub.SetSynchro(Synchro(image)); });
        step(TSimStubRequest::Write, [&] { return stub.WriteFlash(0, image.data() + 8, 16); });
        for (uint32_t address = 16; address < KImageSize; address += 16)
            ASSERT_TRUE(stub.WriteFlash(uint16_t(address), image.data() + 8 + address, 16));
        step(TSimStubRequest::Validate, [&] { return stub.ValidateFlash(); });
        step(TSimStubRequest::Reconnect, [&] { return stub.ReconnectUsb(); });
        EXPECT_FALSE(DevicePath(5).empty());
        EXPECT_TRUE(unit->BootloaderState()->Faults.FailOnce.empty());
        unit->Personality()->LeaveBus();
        ASSERT_TRUE(RunUntil([&] { return !fBus.HasPendingReports(); }));
    }
}
