#include "MyLib/KelvoUsbTarget.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimTargetController.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct TargetBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::shared_ptr<TSimTargetControllerState> fState = std::make_shared<TSimTargetControllerState>();
    std::vector<std::string> fEvents;

    TargetBench() {
        fState->Target.ProductId = 6;
        fState->Target.Flash = SimTargetImage(6, 7);
        fState->Target.FlashValid = true;
    }
    std::shared_ptr<TSimTargetController> Plug(TUsbDriverKind ADriver = TUsbDriverKind::Family) {
        auto device = std::make_shared<TSimTargetController>(fState, ADriver);
        fBus.Plug(device);
        return device;
    }
    // Records every target event as "<event> <product id>".
    void Hook(TKelvoTargetUsbDevice& ADevice) {
        auto record = [this](const char* AName) {
            return [this, AName](TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
                fEvents.push_back(std::string(AName) + " " + std::to_string(ATarget->fProductId));
            };
        };
        ADevice.fOnConnect = record("connect");
        ADevice.fOnDisconnect = record("disconnect");
        ADevice.fOnStubConnect = record("stub-connect");
        ADevice.fOnStubDisconnect = record("stub-disconnect");
    }
    void WaitForEvents(std::size_t ACount) {
        EXPECT_TRUE(fLoop.RunUntil([&] { return fEvents.size() >= ACount; }, 5000));
    }
};

class TargetBinding : public TargetBench, public ::testing::WithParamInterface<TUsbDriverKind> {};
using TargetController = TargetBench;

} // namespace

TEST_P(TargetBinding, DrivesTheTargetAndFollowsItIntoItsBootloaderAndOut) {
    auto sim = Plug(GetParam());
    TKelvoTargetUsbDevice device(nullptr, sim->Path());
    Hook(device);
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(2, device.fVersionHW);
    EXPECT_EQ(8, device.fVersionFW);
    EXPECT_FALSE(device.fLocked);
    // Open makes the object silently; the application asks for it.
    ASSERT_TRUE(device.FrameConnected());
    EXPECT_TRUE(fEvents.empty());
    device.NotifyIfConnected();
    EXPECT_EQ(fEvents, std::vector<std::string>{"connect 6"});

    TKelvoStdTargetObject& frame = *device.Frame();
    EXPECT_EQ(frame.fFWVersion, 7);
    EXPECT_EQ(frame.fHWVersion, 1);
    EXPECT_EQ(frame.fModelType, "METAL");
    EXPECT_EQ(frame.LedsDistance(), 182);
    EXPECT_EQ(frame.LedsY[0], 91);
    EXPECT_TRUE(frame.SetSignal(0.5, 1.0));
    EXPECT_EQ(fState->SignalLevel1, 32768);
    EXPECT_EQ(fState->SignalLevel2, 65535);
    EXPECT_TRUE(frame.SetSignal(2.0, -1.0));
    EXPECT_EQ(fState->SignalLevel1, 65535);
    EXPECT_EQ(fState->SignalLevel2, 0);
    const uint32_t requests = sim->VendorRequestCount();
    EXPECT_FALSE(frame.SetSignal(std::nan(""), 0.5));
    EXPECT_FALSE(frame.SetFrequencies(1400, 1200));
    EXPECT_EQ(sim->VendorRequestCount(), requests);
    EXPECT_DOUBLE_EQ(frame.Signal1(), 1.0);
    EXPECT_TRUE(frame.SetFrequencies(1600, 1800));
    uint8_t table = 0;
    EXPECT_TRUE(frame.GetSinTableIndex(table));
    EXPECT_EQ(table, 1);

    fEvents.clear();
    ASSERT_TRUE(device.SwitchTargetToStub());
    WaitForEvents(2);
    EXPECT_EQ(fEvents, (std::vector<std::string>{"disconnect 6", "stub-connect 6"}));
    ASSERT_TRUE(device.StubConnected());
    EXPECT_FALSE(device.Stub()->SetSignal(0.5, 0.5));
    EXPECT_FALSE(device.Stub()->WriteFlash(0, "1234567", 7));
    EXPECT_TRUE(device.Stub()->EnableSecretOperations());
    TDeviceKey key{};
    EXPECT_TRUE(device.Stub()->GetDeviceKey(key));
    EXPECT_EQ(key, fState->TargetKey);

    // The target leaves its bootloader with its image intact and comes back running it.
    fEvents.clear();
    ASSERT_TRUE(device.ReconnectTarget());
    WaitForEvents(2);
    EXPECT_EQ(fEvents, (std::vector<std::string>{"stub-disconnect 6", "connect 6"}));
    fEvents.clear();
    device.Close();
    EXPECT_EQ(fEvents, std::vector<std::string>{"disconnect 6"});
}

INSTANTIATE_TEST_SUITE_P(Drivers, TargetBinding,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

TEST_F(TargetController, TheDataPathCarriesReportsFromFirmware8OnTheGenericDriverOnly) {
    for (uint16_t firmware : {uint16_t(8), uint16_t(7)}) {
        SCOPED_TRACE(firmware);
        fState->VersionFW = firmware;
        fEvents.clear();
        auto sim = Plug(TUsbDriverKind::Generic);
        TKelvoTargetUsbDevice device(nullptr, sim->Path());
        Hook(device);
        ASSERT_TRUE(device.Open());
        bool marker = false;
        device.fOnEvent = [&](TCommonKelvoUsbDevice*, const uint8_t* ABuffer, uint32_t) {
            marker = ABuffer[0] == 0x55;
        };
        sim->PushData({1, 2});
        // Not a report: it goes to the event handler and marks where the data went through.
        sim->PushEvent({0x55});
        const std::vector<std::string> expected = firmware == 8
                                                      ? std::vector<std::string>{"disconnect 6", "connect 6"}
                                                      : std::vector<std::string>{};
        // The two pipes have readers of their own, so the marker can overtake the data: wait for the
        // reports themselves, and give data that must not report a moment to do so anyway.
        ASSERT_TRUE(fLoop.RunUntil(
            [&] {
                return marker && sim->PendingPackets(SIM_PIPE_DATA_IN) == 0 &&
                       fEvents.size() >= expected.size();
            },
            5000));
        fLoop.RunUntil([] { return false; }, 100);
        EXPECT_EQ(fEvents, expected);
        device.Close();
        fBus.Unplug(*sim);
    }
}

TEST_F(TargetController, AnUnknownFrameTypeIsNoUsableTarget) {
    fState->Target.ProductId = 8;
    auto sim = Plug();
    TKelvoTargetUsbDevice device(nullptr, sim->Path());
    std::vector<std::string> log;
    device.fLog = &log;
    device.fLogging = true;
    Hook(device);
    ASSERT_TRUE(device.Open());
    EXPECT_FALSE(device.FrameConnected());
    // An empty event record has no first byte to decode.
    uint32_t emptyEvents = 0;
    device.fOnEvent = [&](TCommonKelvoUsbDevice*, const uint8_t*, uint32_t ASize) {
        emptyEvents += ASize == 0;
    };
    sim->PushEvent({});
    // Reported later, in its bootloader this time: still no object and no event.
    fState->StayInBootloader = true;
    fState->Target.ProductId = 12;
    sim->PlugTarget();
    ASSERT_TRUE(fLoop.RunUntil([&] { return log.size() == 2; }, 5000));
    EXPECT_EQ(log[1], "Unknown stub product id! (MyLib/kelvousbtarget)");
    EXPECT_FALSE(device.StubConnected());
    EXPECT_TRUE(fEvents.empty());
    EXPECT_EQ(emptyEvents, 1u);
    // A frame information that cannot be read leaves the record saying "no target".
    sim->SetFault(sim->VendorRequestCount() + 1, {TSimFaultKind::Stall});
    TKelvoTargetFrameInfo info{};
    EXPECT_FALSE(device.GetFrameInfo(info));
    EXPECT_EQ(info.bTarget, 0xFF);
}
