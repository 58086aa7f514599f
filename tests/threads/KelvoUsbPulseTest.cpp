#include "MyLib/KelvoUsbPulse.h"
#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimPulseSensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

struct TRemovals : TDeviceChangeSink {
    void DeviceChange(uint32_t AEvent, const TGUID&, const std::string& APath) override {
        if (AEvent == DBT_DEVICEREMOVECOMPLETE)
            fPaths.push_back(APath);
    }
    std::vector<std::string> fPaths;
};

struct PulseSensor : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }

    std::shared_ptr<TSimPulseSensor> Plug(uint16_t AProductId, uint16_t AHW, uint16_t AFW,
                                          bool ALocked = false, uint16_t ADriverVersion = 0x217) {
        auto state = std::make_shared<TSimPulseState>();
        state->ProductId = AProductId;
        state->VersionHW = AHW;
        state->VersionFW = AFW;
        state->Locked = ALocked;
        state->DriverVersion = ADriverVersion;
        auto device = std::make_shared<TSimPulseSensor>(state);
        fBus.Plug(device);
        return device;
    }
};

const TDeviceKey KKey = {3, 1, 4, 1, 5, 9, 2, 6};
const TDeviceKey KWrongKey = {3, 1, 4, 1, 5, 9, 2, 7};

// A clip sample as the device sends it.
std::vector<uint8_t> Sample(uint16_t AR0, uint16_t AR1) {
    std::vector<uint8_t> sample;
    AppendLE16(sample, AR0);
    AppendLE16(sample, AR1);
    return sample;
}

} // namespace

TEST_F(PulseSensor, IdentifiesTheClipAndTheBeltReceiver) {
    auto clip = Plug(10, 2, 5);
    TKelvoPulseUsbDevice device(nullptr, clip->Path());
    ASSERT_TRUE(device.Open());
    EXPECT_EQ((TSerialNum{10, 20, 30, 40, 50, 60, 70, 80}), device.fSerialNum);
    EXPECT_TRUE(device.fSerialNumValid);
    EXPECT_EQ(2, device.fVersionHW);
    EXPECT_EQ(5, device.fVersionFW);
    EXPECT_FALSE(device.fLocked);
    EXPECT_EQ(10, device.fDeviceDescriptor.idProduct);
    EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);
    EXPECT_FALSE(device.CanChangeRegions());
    EXPECT_TRUE(device.NeedToRecoverOptionsAfterUpdate());
    EXPECT_EQ(0, device.fProtocolVersionMajor); // the sensor does not answer the protocol query
    EXPECT_FALSE(device.Polar());
    EXPECT_EQ("KELVO USB pulse sensor", device.ModelDescription());
    EXPECT_EQ("HB-00", device.ModelType());
    EXPECT_EQ("PULSE-147", device.DeveloperName());
    EXPECT_EQ(KELVO_USB_D12, device.UsbTransceiver());

    clip->State()->StubActual = 2;
    TKelvoStubVersion stub{};
    ASSERT_TRUE(device.GetStubVersion(&stub));
    EXPECT_EQ(2, stub.ActualStubVersion);
    EXPECT_TRUE(device.HasUsb30CompatibilityIssue());

    auto belt = Plug(19, 3, 10);
    TKelvoPulseUsbDevice polar(nullptr, belt->Path());
    ASSERT_TRUE(polar.Open());
    EXPECT_TRUE(polar.Polar());
    EXPECT_EQ(19, polar.fDeviceDescriptor.idProduct);
    EXPECT_EQ("KELVO USB Pulse sensor (Polar uncoded)", polar.ModelDescription());
    EXPECT_EQ("HB 01", polar.ModelType());
    EXPECT_EQ("PULSE-POLAR-235", polar.DeveloperName());

    auto odd = Plug(10, 7, 1);
    TKelvoPulseUsbDevice unknown(nullptr, odd->Path());
    ASSERT_TRUE(unknown.Open());
    EXPECT_EQ("unknown", unknown.ModelDescription());
    EXPECT_EQ("unknown", unknown.ModelType());
    EXPECT_EQ("PULSE-??", unknown.DeveloperName());

    // A driver too old to give the descriptor cannot tell the belt receiver from the clip.
    auto oldDriver = Plug(19, 3, 10, false, 0x206);
    TKelvoPulseUsbDevice guessed(nullptr, oldDriver->Path());
    ASSERT_TRUE(guessed.Open());
    EXPECT_FALSE(guessed.fDeviceDescriptorValid);
    EXPECT_FALSE(guessed.Polar());
}

TEST_F(PulseSensor, LockUnlockAndDeviceKey) {
    auto sim = Plug(10, 2, 5, true);
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    EXPECT_TRUE(device.fLocked);

    TDeviceKey key = KKey;
    EXPECT_FALSE(device.GetDeviceKey(key)); // a locked device keeps its key
    EXPECT_EQ(TDeviceKey{}, key);
    EXPECT_FALSE(device.Unlock(KWrongKey));
    EXPECT_TRUE(device.fLocked);
    EXPECT_TRUE(sim->State()->Locked);
    ASSERT_TRUE(device.Unlock(KKey));
    EXPECT_FALSE(device.fLocked);
    bool locked = true;
    ASSERT_TRUE(device.GetLocked(locked));
    EXPECT_FALSE(locked);
    ASSERT_TRUE(device.GetDeviceKey(key));
    EXPECT_EQ(KKey, key);

    // Firmware 5 with a driver of 516 or later: locked with the key, through the driver.
    EXPECT_FALSE(device.Lock(KWrongKey));
    EXPECT_FALSE(device.fLocked);
    ASSERT_TRUE(device.Lock(KKey));
    EXPECT_TRUE(device.fLocked);
    EXPECT_TRUE(sim->State()->Locked);

    // Firmware 4 locks without a key.
    auto old = Plug(10, 2, 4);
    TKelvoPulseUsbDevice older(nullptr, old->Path());
    ASSERT_TRUE(older.Open());
    ASSERT_TRUE(older.Lock(KWrongKey));
    EXPECT_TRUE(old->State()->Locked);

    // Firmware 5 behind a driver that cannot pass the key on: refused without asking.
    auto early = Plug(10, 2, 5, false, 515);
    TKelvoPulseUsbDevice earlier(nullptr, early->Path());
    ASSERT_TRUE(earlier.Open());
    EXPECT_EQ(515, earlier.fDriverVersion);
    EXPECT_FALSE(earlier.Lock(KKey));
    EXPECT_FALSE(early->State()->Locked);
    EXPECT_FALSE(earlier.fLocked);
}

TEST_F(PulseSensor, SignalLevelReachesTheDriver) {
    auto sim = Plug(10, 2, 5);
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    ASSERT_TRUE(device.SetSignalLevel(1500));
    EXPECT_EQ(4095 - 1500, sim->State()->DriveWord);
    ASSERT_TRUE(device.SetSignalLevel(4095));
    EXPECT_EQ(0, sim->State()->DriveWord);

    // Levels the drive word cannot carry are refused and not stored.
    EXPECT_FALSE(device.SetSignalLevel(4096));
    EXPECT_FALSE(device.SetSignalLevel(-1));
    EXPECT_EQ(4095, device.fLevel);
    EXPECT_EQ(0, sim->State()->DriveWord);

    // The level follows the request even when the device refuses it.
    sim->SetIoControlHandler(SIM_IOCTL_PULSE_LEVEL,
                             [](const std::vector<uint8_t>&, uint32_t, std::vector<uint8_t>&) {
                                 return uint32_t(ERROR_GEN_FAILURE);
                             });
    EXPECT_FALSE(device.SetSignalLevel(700));
    EXPECT_EQ(700, device.fLevel);
}

TEST_F(PulseSensor, ClipSamplesRegulateTheLedInSmallSteps) {
    auto sim = Plug(10, 2, 5);
    sim->State()->LightPerLevel = 0.8; // too bright at the start level: the regulation turns it down
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    std::vector<float> values;
    std::vector<int32_t> levels{device.fLevel};
    int beats = 0;
    device.fOnPulseValue = [&](TKelvoPulseUsbDevice* ASender, bool AHeartBeat, float AValue) {
        EXPECT_EQ(&device, ASender);
        EXPECT_FALSE(AHeartBeat); // the clip reports no beats of its own
        values.push_back(AValue);
        if (ASender->fLevel != levels.back())
            levels.push_back(ASender->fLevel);
    };
    device.fOnHeartBeat = [&](TKelvoPulseUsbDevice*) { ++beats; };

    EXPECT_FALSE(sim->PushSample(2000)); // not started: no samples
    ASSERT_TRUE(device.Start());
    EXPECT_TRUE(device.fStarted);
    EXPECT_TRUE(sim->State()->Started);
    // Sent one at a time, so that each sample sees the drive level the previous one set.
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(sim->PushSample(uint16_t(2000 + (i % 10) * 10)));
        ASSERT_TRUE(RunUntil([&] { return values.size() == std::size_t(i + 1); }));
    }
    EXPECT_EQ(0, beats);
    EXPECT_NEAR(2000, values[0], 1e-3); // the filter starts from its first input
    ASSERT_GT(levels.size(), 5u);
    for (std::size_t i = 1; i < levels.size(); ++i) {
        EXPECT_LT(levels[i], levels[i - 1]);
        EXPECT_LE(levels[i - 1] - levels[i], 3);
    }
    EXPECT_EQ(4095 - device.fLevel, sim->State()->DriveWord);

    // An event too short for two readings is passed on but not decoded.
    int events = 0;
    device.fOnEvent = [&](TCommonKelvoUsbDevice*, const uint8_t*, uint32_t) { ++events; };
    ASSERT_TRUE(sim->PushEvent({1, 2, 3}));
    ASSERT_TRUE(sim->PushSample(100));
    ASSERT_TRUE(RunUntil([&] { return events == 2; }));
    EXPECT_EQ(61u, values.size());

    ASSERT_TRUE(device.Stop());
    EXPECT_FALSE(device.fStarted);
    EXPECT_FALSE(sim->PushSample(2000));
}

TEST_F(PulseSensor, BeltEventsAreBeats) {
    auto sim = Plug(19, 3, 10);
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    int beats = 0, values = 0;
    device.fOnHeartBeat = [&](TKelvoPulseUsbDevice*) { ++beats; };
    device.fOnPulseValue = [&](TKelvoPulseUsbDevice*, bool, float) { ++values; };
    ASSERT_TRUE(device.Start());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sim->PushBeat());
    EXPECT_FALSE(sim->PushSample(2000)); // the receiver has no pulse curve
    ASSERT_TRUE(RunUntil([&] { return beats == 3; }));
    EXPECT_EQ(0, values);
    EXPECT_TRUE(device.fHeartBeat);
    EXPECT_NE(0u, device.fHits[3]);
    EXPECT_EQ(0.0f, device.fHeartRate); // four beats are needed for a rate
}

TEST(PulseBeats, RateFromSteadyIntervalsOnly) {
    TKelvoPulseUsbDevice device(nullptr, "unused");
    device.fVersionHW = 3;
    for (uint32_t t : {1000u, 1800u, 2600u})
        device.RegisterBeat(t);
    EXPECT_EQ(0.0f, device.fHeartRate);
    device.RegisterBeat(3400);
    EXPECT_FLOAT_EQ(75.0f, device.fHeartRate);
    EXPECT_TRUE(device.fHeartBeat);

    device.RegisterBeat(3550); // a 150 ms interval: the rate stays
    EXPECT_FLOAT_EQ(75.0f, device.fHeartRate);
    for (uint32_t t : {4150u, 4750u, 5350u}) // the short interval has gone by the third beat
        device.RegisterBeat(t);
    EXPECT_FLOAT_EQ(100.0f, device.fHeartRate);

    // Intervals within range but too uneven for every window of three.
    for (uint32_t t : {7350u, 7750u, 9750u})
        device.RegisterBeat(t);
    EXPECT_FLOAT_EQ(100.0f, device.fHeartRate);

    // The tick count wraps around.
    TKelvoPulseUsbDevice wrapped(nullptr, "unused");
    wrapped.fVersionHW = 3;
    for (uint32_t t : {0xFFFFFC00u, 0xFFFFFC00u + 500, 0xFFFFFC00u + 1000, 0xFFFFFC00u + 1500})
        wrapped.RegisterBeat(t);
    EXPECT_FLOAT_EQ(120.0f, wrapped.fHeartRate);
}

TEST(PulseBeats, BeatsSteerTheDesiredLedLevelOfTheClip) {
    TKelvoPulseUsbDevice device(nullptr, "unused");
    device.fVersionHW = 2;
    device.fLedValue = 1000;
    device.fPulseValue = 3900; // near the top of the range
    device.fLastMin = 2000;
    device.RegisterBeat(1000);
    EXPECT_EQ(975, device.fDesiredLedLevel);
    EXPECT_EQ(3900.0f, device.fMax);
    EXPECT_EQ(2000.0f, device.fMin);
    EXPECT_EQ(2045, device.fLevel); // toward 975 / 1000 of 2048, three at a time

    device.fPulseValue = 2000; // a flat curve
    device.fLastMin = 1900;
    device.RegisterBeat(2000);
    EXPECT_EQ(1000, device.fDesiredLedLevel);

    device.fVersionHW = 3; // the belt receiver has no LED
    device.RegisterBeat(3000);
    EXPECT_EQ(1000, device.fDesiredLedLevel);
}

TEST(PulseBeats, LedLevelStaysInRangeAndMovesAtMostThreePerStep) {
    // Not opened: the drive requests fail, the level is still followed.
    TKelvoPulseUsbDevice device(nullptr, "unused");
    std::vector<int32_t> levels{device.fLevel};
    auto feed = [&](uint16_t AR0, int ACount) {
        for (int i = 0; i < ACount; ++i) {
            auto sample = Sample(AR0, 2000);
            device.DoEvent(sample.data(), uint32_t(sample.size()));
            levels.push_back(device.fLevel);
        }
    };
    feed(4095, 30); // no light at all: always up, but never above 2047
    feed(0, 3000);  // full light: always down, but never below 1
    feed(4095, 30);
    // The start level 2048 holds until the first adjustment, on the third sample.
    for (std::size_t i = 3; i < levels.size(); ++i) {
        EXPECT_GE(levels[i], 1);
        EXPECT_LE(levels[i], 2047);
        EXPECT_LE(std::abs(levels[i] - levels[i - 1]), 3) << i;
    }
    EXPECT_EQ(2047, levels[30]);
    EXPECT_EQ(1, *std::min_element(levels.begin(), levels.end()));
    EXPECT_GT(levels.back(), 1);

    // Events too short for a sample change nothing.
    const double led = device.fLedValue;
    const int32_t counter = device.fSignalCounter;
    const uint8_t three[3] = {0, 0, 0};
    device.DoEvent(three, 3);
    device.DoEvent(nullptr, 0);
    EXPECT_EQ(led, device.fLedValue);
    EXPECT_EQ(counter, device.fSignalCounter);
}

TEST_F(PulseSensor, FailedReadsLeaveTheFieldsAsTheyWere) {
    auto sim = Plug(10, 2, 5);
    sim->SetUnansweredLimit(std::chrono::milliseconds(300));
    // At open: driver version, descriptor and then serial (request 1), version (2), lock (3).
    sim->SetFault(1, {TSimFaultKind::Stall});
    sim->SetFault(2, {TSimFaultKind::Short, 0, 1});
    sim->SetFault(3, {TSimFaultKind::Fail});
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    device.fRequestTimeout = 50;
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(NoSerialNum, device.fSerialNum);
    EXPECT_FALSE(device.fSerialNumValid);
    EXPECT_EQ(1, device.fVersionHW);
    EXPECT_EQ(1, device.fVersionFW);
    EXPECT_TRUE(device.fLocked);

    ASSERT_TRUE(device.GetSerialNum(nullptr));
    uint16_t hw = 0, fw = 0;
    ASSERT_TRUE(device.GetVersion(hw, fw));
    bool locked = true;
    ASSERT_TRUE(device.GetLocked(locked));
    const uint32_t n = sim->VendorRequestCount();
    sim->SetFault(n + 1, {TSimFaultKind::Short, 0, 1});
    sim->SetFault(n + 2, {TSimFaultKind::Short, 0, 2});
    sim->SetFault(n + 3, {TSimFaultKind::Timeout});
    sim->SetFault(n + 4, {TSimFaultKind::Fail});
    sim->State()->Serial = {1, 1, 1, 1, 1, 1, 1, 1};
    sim->State()->VersionHW = 9;
    sim->State()->Locked = true;
    TSerialNum serial = NoSerialNum;
    EXPECT_FALSE(device.GetSerialNum(&serial));
    EXPECT_EQ(NoSerialNum, serial);
    EXPECT_FALSE(device.GetVersion(hw, fw));
    EXPECT_EQ(2, hw);
    EXPECT_FALSE(device.GetLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_FALSE(device.Start());
    EXPECT_FALSE(device.fStarted);
    EXPECT_EQ((TSerialNum{10, 20, 30, 40, 50, 60, 70, 80}), device.fSerialNum);
    EXPECT_EQ(2, device.fVersionHW);
    EXPECT_EQ(5, device.fVersionFW);
    EXPECT_FALSE(device.fLocked);
}

TEST_F(PulseSensor, DropsOffTheBusForTheBootloaderAndWhenFaulty) {
    auto sim = Plug(10, 2, 5);
    TRemovals removals;
    uint32_t error;
    uintptr_t reg = fBus.RegisterDeviceNotification(&removals, SimInterfaceClassOf(10), error);
    TKelvoPulseUsbDevice device(nullptr, sim->Path());
    ASSERT_TRUE(device.Open());
    ASSERT_TRUE(device.SwitchToStub());
    ASSERT_TRUE(RunUntil([&] { return removals.fPaths.size() == 1; }));
    EXPECT_EQ(device.DevicePath(), removals.fPaths[0]);
    EXPECT_FALSE(sim->IsAttached());
    EXPECT_FALSE(device.GetSerialNum(nullptr));
    device.Close();

    // The state outlives the personality: the same sensor comes back.
    auto again = std::make_shared<TSimPulseSensor>(sim->State());
    fBus.Plug(again);
    TKelvoPulseUsbDevice back(nullptr, again->Path());
    ASSERT_TRUE(back.Open());
    EXPECT_EQ(device.fSerialNum, back.fSerialNum);
    ASSERT_TRUE(back.Start());
    again->SetFault(again->VendorRequestCount() + 1, {TSimFaultKind::DropOff});
    EXPECT_FALSE(back.Stop());
    EXPECT_TRUE(back.fStarted);
    ASSERT_TRUE(RunUntil([&] { return removals.fPaths.size() == 2; }));
    fBus.UnregisterDeviceNotification(reg);
}

TEST_F(PulseSensor, DestroyingAStartedSensorStopsIt) {
    auto sim = Plug(10, 2, 5);
    {
        auto device = std::make_unique<TKelvoPulseUsbDevice>(nullptr, sim->Path());
        ASSERT_TRUE(device->Open());
        ASSERT_TRUE(device->Start());
        EXPECT_EQ(1, sim->State()->Starts);
    }
    EXPECT_EQ(1, sim->State()->Stops);
    EXPECT_FALSE(sim->State()->Started);
}
