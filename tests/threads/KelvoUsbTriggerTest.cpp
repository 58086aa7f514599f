#include "MyLib/KelvoUsbTrigger.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimTriggerController.h"

#include <gtest/gtest.h>

namespace {

struct TRemovals : TDeviceChangeSink {
    void DeviceChange(uint32_t AEvent, const TGUID&, const std::string& APath) override {
        if (AEvent == DBT_DEVICEREMOVECOMPLETE)
            fPaths.push_back(APath);
    }
    std::vector<std::string> fPaths;
};

const TDeviceKey KKey = {2, 7, 1, 8, 2, 8, 1, 8};
const TDeviceKey KWrongKey = {2, 7, 1, 8, 2, 8, 1, 9};

struct TriggerBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }

    std::shared_ptr<TSimTriggerController> Plug(uint16_t AHW, uint16_t AFW,
                                                TUsbDriverKind ADriver = TUsbDriverKind::Family) {
        auto state = std::make_shared<TSimTriggerState>();
        state->VersionHW = AHW;
        state->VersionFW = AFW;
        auto device = std::make_shared<TSimTriggerController>(state, ADriver);
        fBus.Plug(device);
        return device;
    }
};

class TriggerBinding : public TriggerBench, public ::testing::WithParamInterface<TUsbDriverKind> {};
using TriggerController = TriggerBench;

} // namespace

TEST_P(TriggerBinding, IdentifiesLocksAndReportsLevels) {
    auto sim = Plug(4, 8, GetParam());
    sim->State()->Locked = true;
    sim->State()->Regions = 0x005;
    TKelvoTriggerUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(GetParam() == TUsbDriverKind::Generic, device.IsWinUsb());
    EXPECT_EQ((TSerialNum{5, 20, 30, 40, 50, 60, 70, 80}), device.fSerialNum);
    EXPECT_TRUE(device.fSerialNumValid);
    EXPECT_EQ(4, device.fVersionHW);
    EXPECT_EQ(8, device.fVersionFW);
    EXPECT_EQ(5, device.fDeviceDescriptor.idProduct);
    EXPECT_TRUE(device.fLocked);
    EXPECT_EQ(0x005, device.fRegions);
    EXPECT_EQ("RU,US", device.RegionsStr());
    EXPECT_TRUE(device.CanChangeRegions());
    EXPECT_FALSE(device.NeedToRecoverOptionsAfterUpdate());
    EXPECT_EQ("KELVO USB Trigger control", device.ModelDescription());
    EXPECT_EQ("KTG 01", device.ModelType());
    EXPECT_EQ("KTG-01-5508", device.DeveloperName());
    EXPECT_EQ(KELVO_USB_MSP430X5XX, device.UsbTransceiver());
    sim->State()->StubActual = 1;
    ASSERT_TRUE(device.GetStubVersion(nullptr));
    EXPECT_FALSE(device.HasUsb30CompatibilityIssue()); // the newer USB chip has no such issue

    EXPECT_FALSE(device.Unlock(KWrongKey));
    EXPECT_TRUE(device.fLocked);
    ASSERT_TRUE(device.Unlock(KKey));
    EXPECT_FALSE(device.fLocked);
    EXPECT_FALSE(sim->State()->Locked);
    EXPECT_FALSE(device.Lock(KWrongKey));
    EXPECT_FALSE(device.fLocked);
    EXPECT_FALSE(device.VendorRequest(0x87, 0, 0)); // firmware 8 has no lock without a key
    ASSERT_TRUE(device.Lock(KKey));
    EXPECT_TRUE(device.fLocked);
    EXPECT_TRUE(sim->State()->Locked);

    std::vector<float> levels;
    device.fOnTrigger = [&](TKelvoTriggerUsbDevice* ASender, float ALevel) {
        EXPECT_EQ(&device, ASender);
        levels.push_back(ALevel);
    };
    EXPECT_FALSE(sim->PushLevel(100)); // not started
    ASSERT_TRUE(device.Start());
    EXPECT_TRUE(device.fStarted);
    ASSERT_TRUE(sim->PushLevel(0x123, false));
    ASSERT_TRUE(RunUntil([&] { return levels.size() == 1; }));
    EXPECT_FLOAT_EQ(float(0x123), levels[0]); // the filter starts from its first input
    EXPECT_FALSE(device.fValid);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sim->PushLevel(0x1123));
    ASSERT_TRUE(RunUntil([&] { return levels.size() == 6; }));
    EXPECT_TRUE(device.fValid);
    for (std::size_t i = 1; i < levels.size(); ++i) { // smoothed: rising toward the new level
        EXPECT_GT(levels[i], levels[i - 1]);
        EXPECT_LT(levels[i], float(0x1123));
    }
    ASSERT_TRUE(device.Stop());
    EXPECT_FALSE(device.fStarted);
    EXPECT_FALSE(sim->PushLevel(100));
}

TEST_P(TriggerBinding, RegionsNeedTheKey) {
    auto sim = Plug(4, 9, GetParam());
    TKelvoTriggerUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);

    const uint32_t before = sim->VendorRequestCount();
    EXPECT_FALSE(device.SetRegions(0x005, nullptr)); // no key: not even asked
    EXPECT_EQ(before, sim->VendorRequestCount());
    TDeviceKey wrong = KWrongKey, key = KKey;
    EXPECT_FALSE(device.SetRegions(0x005, &wrong));
    EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);
    EXPECT_EQ(KELVO_ALL_REGIONS, sim->State()->Regions);
    EXPECT_FALSE(device.SetRegions(0x1005, &key)); // bits beyond the twelve regions
    ASSERT_TRUE(device.SetRegions(0x005, &key));
    EXPECT_EQ(0x005, device.fRegions);
    EXPECT_EQ(0x005, sim->State()->Regions);

    sim->State()->Regions = 0xFFE;
    uint16_t regions = 0;
    ASSERT_TRUE(device.GetRegions(&regions));
    EXPECT_EQ(0xFFE, regions);
    EXPECT_EQ("~RU", device.RegionsStr());
}

INSTANTIATE_TEST_SUITE_P(Bindings, TriggerBinding,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

TEST_F(TriggerController, OlderDevicesKeepNoRegionsAndLockWithoutKey) {
    for (auto [hw, fw] : {std::pair<uint16_t, uint16_t>{3, 11}, {4, 7}}) {
        auto sim = Plug(hw, fw);
        sim->State()->Regions = 0x005; // not reachable on this device
        TKelvoTriggerUsbDevice device(nullptr, sim->Path());
        ASSERT_TRUE(device.Open());
        EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);
        EXPECT_FALSE(device.CanChangeRegions());

        const uint32_t before = sim->VendorRequestCount();
        TDeviceKey key = KKey;
        uint16_t regions = 0;
        ASSERT_TRUE(device.GetRegions(&regions));
        EXPECT_EQ(KELVO_ALL_REGIONS, regions);
        EXPECT_FALSE(device.SetRegions(0x005, &key));
        EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);
        EXPECT_TRUE(device.SetRegions(KELVO_ALL_REGIONS, nullptr));
        EXPECT_EQ(before, sim->VendorRequestCount()); // all answered without asking the device
        EXPECT_FALSE(device.VendorRequest(0xD0, 0, 0));
    }

    auto hw3 = Plug(3, 3);
    TKelvoTriggerUsbDevice old(nullptr, hw3->Path());
    ASSERT_TRUE(old.Open());
    EXPECT_EQ("KTG-01-235", old.DeveloperName());
    EXPECT_EQ(KELVO_USB_D12, old.UsbTransceiver());
    ASSERT_TRUE(old.Lock(KWrongKey)); // firmware 3: the lock takes no key
    EXPECT_TRUE(hw3->State()->Locked);
    EXPECT_TRUE(old.fLocked);
    old.fVersionHW = 1;
    EXPECT_EQ("KTG-01-147", old.DeveloperName());
    old.fVersionHW = 9;
    EXPECT_EQ("KTG-??", old.DeveloperName());
    EXPECT_EQ("KTG 01", old.ModelType());
}

TEST_F(TriggerController, ReadingWordAndLockByte) {
    TKelvoTriggerUsbDevice device(nullptr, "unused");
    device.fUseFilter = false;
    const uint8_t invalid[2] = {0x23, 0x81};
    device.DoEvent(invalid, 2);
    EXPECT_EQ(float(0x0123), device.fLevel);
    EXPECT_FALSE(device.fValid);
    const uint8_t valid[3] = {0xFF, 0x7F, 0xAA};
    device.DoEvent(valid, 3);
    EXPECT_EQ(float(0x7FFF), device.fLevel);
    EXPECT_TRUE(device.fValid);
    int readings = 0;
    device.fOnTrigger = [&](TKelvoTriggerUsbDevice*, float) { ++readings; };
    device.DoEvent(invalid, 1); // too short for a reading
    device.DoEvent(nullptr, 0);
    EXPECT_EQ(0, readings);
    EXPECT_EQ(float(0x7FFF), device.fLevel);
    EXPECT_TRUE(device.fValid);

    // Only the byte 1 means locked.
    auto sim = Plug(4, 8);
    uint8_t answer = 2;
    sim->SetVendorHandler(0x86, [&](const TSimVendorRequest&, std::vector<uint8_t>& AOut) {
        AOut = {answer};
        return true;
    });
    TKelvoTriggerUsbDevice opened(nullptr, sim->Path());
    ASSERT_TRUE(opened.Open());
    EXPECT_FALSE(opened.fLocked);
    answer = 1;
    bool locked = false;
    ASSERT_TRUE(opened.GetLocked(locked));
    EXPECT_TRUE(locked);
}

TEST_F(TriggerController, FailedReadsLeaveTheFieldsAsTheyWere) {
    auto sim = Plug(4, 8, TUsbDriverKind::Generic);
    sim->State()->Regions = 0x00F;
    TKelvoTriggerUsbDevice device(nullptr, sim->Path());
    device.fRequestTimeout = 50;
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(0x00F, device.fRegions);
    const uint32_t n = sim->VendorRequestCount();
    sim->SetFault(n + 1, {TSimFaultKind::Short, 0, 1});
    sim->SetFault(n + 2, {TSimFaultKind::Stall});
    sim->SetFault(n + 3, {TSimFaultKind::Timeout});
    sim->SetFault(n + 4, {TSimFaultKind::Fail});
    sim->State()->Regions = 0x001;
    sim->State()->VersionFW = 20;
    sim->State()->Serial = {1, 1, 1, 1, 1, 1, 1, 1};
    sim->State()->Locked = true;
    uint16_t regions = 0x0ABC;
    EXPECT_FALSE(device.GetRegions(&regions));
    EXPECT_EQ(0x0ABC, regions);
    uint16_t hw = 0, fw = 0;
    EXPECT_FALSE(device.GetVersion(hw, fw));
    EXPECT_FALSE(device.GetSerialNum(nullptr));
    bool locked = false;
    EXPECT_FALSE(device.GetLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_EQ(0x00F, device.fRegions);
    EXPECT_EQ(8, device.fVersionFW);
    EXPECT_EQ((TSerialNum{5, 20, 30, 40, 50, 60, 70, 80}), device.fSerialNum);
    EXPECT_FALSE(device.fLocked);
}

TEST_F(TriggerController, DropsOffTheBusAndStopsWhenDestroyed) {
    auto sim = Plug(4, 8);
    TRemovals removals;
    uint32_t error;
    uintptr_t reg = fBus.RegisterDeviceNotification(&removals, SimInterfaceClassOf(5), error);
    {
        TKelvoTriggerUsbDevice device(nullptr, sim->Path());
        ASSERT_TRUE(device.Open());
        ASSERT_TRUE(device.Start());
    }
    EXPECT_EQ(1, sim->State()->Stops);
    EXPECT_FALSE(sim->State()->Started);

    TKelvoTriggerUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    ASSERT_TRUE(device.SwitchToStub());
    ASSERT_TRUE(RunUntil([&] { return removals.fPaths.size() == 1; }));
    EXPECT_EQ(device.DevicePath(), removals.fPaths[0]);
    EXPECT_FALSE(device.Start());

    auto again = std::make_shared<TSimTriggerController>(sim->State(), TUsbDriverKind::Family);
    fBus.Plug(again);
    TKelvoTriggerUsbDevice back(nullptr, again->Path());
    ASSERT_TRUE(back.Open());
    again->SetFault(again->VendorRequestCount() + 1, {TSimFaultKind::DropOff});
    bool locked = true;
    EXPECT_FALSE(back.GetLocked(locked));
    ASSERT_TRUE(RunUntil([&] { return removals.fPaths.size() == 2; }));
    fBus.UnregisterDeviceNotification(reg);
}
