// The target models over the simulated controller: what each model reads when it connects, the
// bytes and time-outs of its commands, the guards that send nothing, and the settings read back from
// the simulated firmware.
#include "MyLib/KelvoWirelessTargets.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimWirelessController.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TModel {
    uint16_t ProductId, VersionHW, VersionFW;
};

struct TargetModels : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::shared_ptr<TSimWirelessState> fState = std::make_shared<TSimWirelessState>();
    std::shared_ptr<TSimWirelessController> fSim;
    std::unique_ptr<TKelvoWireless> fDevice;
    std::vector<std::string> fLines;

    TargetModels() {
        fSim = std::make_shared<TSimWirelessController>(fState, TUsbDriverKind::Family);
        fBus.Plug(fSim);
    }
    // A controller opened over one target of AModel at index 1, set up by ASetUp first.
    TCustom485Target* Connect(TModel AModel, const std::function<void(TSimRadioTarget&)>& ASetUp = {}) {
        fDevice.reset();
        TSimRadioTarget target;
        target.ProductId = AModel.ProductId;
        target.VersionHW = AModel.VersionHW;
        target.VersionFW = AModel.VersionFW;
        if (ASetUp)
            ASetUp(target);
        {
            std::lock_guard lock(fState->Mutex);
            fState->Targets = {target};
        }
        fDevice = std::make_unique<TKelvoWireless>(nullptr, fSim->Path());
        fDevice->fLog = &fLines;
        fDevice->fLogging = true;
        EXPECT_TRUE(fDevice->Open());
        fLines.clear();
        return fDevice->Targets(1);
    }
    TSimRadioTarget Firmware() {
        std::lock_guard lock(fState->Mutex);
        return fState->Targets.at(0);
    }
};

template <class T> T& As(TCustom485Target& ATarget) {
    return dynamic_cast<T&>(ATarget);
}

} // namespace

TEST_F(TargetModels, AssignInfoReadsWhatEachModelHas) {
    struct TCase {
        TModel Model;
        std::function<void(TSimRadioTarget&)> SetUp;
        const char* Type;
        const char* Description;
        double LedsDistance, LedsY0, RealDistance, EmulatedDistance;
        uint8_t Receiver, Lamps, LedsLevel, LampsLevel;
    };
    auto noCaps = [](TSimRadioTarget& T) { T.Capabilities = {}; };
    const TCase cases[] = {
        // Firmware 6 is not asked (it would fail, leaving no receiver): fixed capabilities.
        {{12, 3, 6}, noCaps, "RQT-01", "KELVO electronic target", 190, 95, 10, 10, 1, 0, 5, 5},
        {{12, 3, 7}, noCaps, "EK4-12", "KELVO USB electronic target", 190, 95, 10, 10, 0, 0, 5, 5},
        {{12, 2, 12}, {}, "RQT-01", "KELVO electronic target", 190, 95, 10, 10, 1, 0, 0, 0},
        {{15, 1, 3}, {}, "BLINKER", "Night-mode blinker", 190, -95, 10, 10, 0, 0, 0, 0},
        {{18, 1, 5}, {}, "KBT 5", "KELVO USB Biathlon target 5m", 50, 25, 5, 50, 1, 1, 5, 0},
        {{20, 1, 5}, {}, "RAPIDFIRE WL", "Rapid-fire target", 57, 28.5, 5, 25, 1, 1, 5, 9},
        {{20, 2, 5}, {}, "RAPIDFIRE WL", "Rapid-fire target", 50, 25, 2.5, 25, 1, 1, 5, 9},
        {{20, 4, 5}, {}, "RAPIDFIRE WL", "Rapid-fire target", 190, 95, 10, 25, 1, 1, 5, 9},
        {{22, 2, 7}, {}, "KELVO-DUMAK", "KELVO-Dumak target", 190, 95, 10, 10, 1, 0, 0, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Type + std::string(" hw ") + std::to_string(c.Model.VersionHW));
        TCustom485Target* target = Connect(c.Model, [&](TSimRadioTarget& T) {
            T.LampsBrightness = 9; // only the rapid-fire properties report it; 0x71 gives the LED level
            if (c.SetUp)
                c.SetUp(T);
        });
        ASSERT_NE(nullptr, target);
        EXPECT_EQ(c.Type, target->fModelType);
        EXPECT_EQ(c.Description, target->fModelDescription);
        EXPECT_EQ(c.LedsDistance, target->fLedsDistance);
        EXPECT_EQ(c.LedsY0, target->LedsY[0]);
        EXPECT_EQ(-c.LedsY0, target->LedsY[1]);
        EXPECT_EQ(c.RealDistance, target->fRealDistance);
        EXPECT_EQ(c.EmulatedDistance, target->fEmulatedDistance);
        auto* model = dynamic_cast<TWirelessTarget*>(target);
        ASSERT_EQ(c.Model.ProductId != 15, model != nullptr);
        if (!model)
            continue;
        EXPECT_EQ(c.Receiver, model->fCaps.bReceiver);
        EXPECT_EQ(c.Lamps, model->fCaps.bLamps);
        EXPECT_EQ(c.LedsLevel, model->fLedsBrightness);
        EXPECT_EQ(c.LampsLevel, model->fLampsBrightness);
        EXPECT_EQ(12, model->fProperties.bFreq1);
        EXPECT_TRUE(fLines.empty()) << fLines.front();
    }
    auto& biathlon = As<TBiathlon2Target>(*Connect({18, 2, 5}, [](TSimRadioTarget& T) {
        T.ReceiverMode = 2;
        T.Flag = 1;
    }));
    EXPECT_EQ(0x0F, biathlon.fIReds);
    EXPECT_EQ(1, biathlon.fFlag);
    EXPECT_EQ(2, biathlon.fReceiverMode);
    auto& rapidFire = As<TRFTarget>(*Connect({20, 2, 5}, [](TSimRadioTarget& T) { T.LampStatus = 3; }));
    EXPECT_EQ(3, rapidFire.fLampStatus);
    EXPECT_EQ(0x0F, rapidFire.fIReds);
}

namespace {

TWirelessTarget& W(TCustom485Target& T) {
    return As<TWirelessTarget>(T);
}
TBiathlon2Target& Bia(TCustom485Target& T) {
    return As<TBiathlon2Target>(T);
}
TRFTarget& RF(TCustom485Target& T) {
    return As<TRFTarget>(T);
}
TBlinker& Blk(TCustom485Target& T) {
    return As<TBlinker>(T);
}

// A setting an operation changes, as the host mirrors it and as the firmware holds it.
enum TSetting {
    Freq1,
    Freq2,
    Sig1,
    Leds1,
    Leds2,
    Started,
    Receiver,
    Sync,
    LedsLevel,
    LampsLevel,
    Lamps,
    Locked,
    Address,
    IReds,
    Flag,
    Mode,
    Dac,
    Blinks,
    Signal
};

// The host's and the firmware's value of ASetting; -1 where that side keeps none to compare.
std::pair<int, int> Setting(TSetting ASetting, TCustom485Target& AHost, const TSimRadioTarget& ASim) {
    const auto* props = dynamic_cast<TWirelessTarget*>(&AHost);
    const uint8_t* host = props ? &props->fProperties.bFreq1 : nullptr;
    switch (ASetting) {
    case Freq1:
    case Freq2:
    case Sig1:
    case Leds1:
    case Leds2:
    case Started:
    case Receiver:
    case Sync: {
        const int offset[] = {0, 1, 2, 4, 5, 6, 8, 9};
        return {host[offset[ASetting]], ASim.Properties[offset[ASetting]]};
    }
    case LedsLevel:
        return {W(AHost).fLedsBrightness, ASim.LedsBrightness};
    case LampsLevel:
        return {W(AHost).fLampsBrightness, ASim.LampsBrightness};
    case Lamps:
        return {W(AHost).fCaps.bLamps, ASim.Capabilities[1]};
    case Locked:
        return {AHost.fLocked, ASim.Locked};
    case Address:
        return {-1, ASim.Address};
    case IReds:
        return {dynamic_cast<TRFTarget*>(&AHost) ? RF(AHost).fIReds : Bia(AHost).fIReds, ASim.IReds};
    case Flag:
        return {Bia(AHost).fFlag, ASim.Flag};
    case Mode:
        return {Bia(AHost).fReceiverMode, ASim.ReceiverMode};
    case Dac:
        return {Blk(AHost).DACValue(), ASim.BlinkerProperties[6] | ASim.BlinkerProperties[7] << 8};
    case Blinks:
        return {-1, int(ASim.Blinks)};
    case Signal:
        return {int(AHost.Signal1()), -1};
    }
    return {-1, -1};
}

} // namespace

// Each operation on a fresh target: its result, the command that reached the controller (none for
// a refusal) with its time-out, and the setting it changes on both sides.
TEST_F(TargetModels, CommandsGuardsAndReadBack) {
    struct TCase {
        const char* Name;
        TModel Model;
        std::function<bool(TCustom485Target&)> Run;
        bool Result;
        std::vector<uint8_t> Sent; // empty: nothing reaches the controller
        uint16_t Timeout;
        TSetting Changed;
        int Value;
    };
    const TModel std{12, 3, 12}, hw2{12, 2, 12}, hw5{12, 5, 12}, hw6{12, 6, 12}, fw6{12, 3, 6};
    const TModel bia1{18, 1, 5}, bia2{18, 2, 5}, rf{20, 1, 5}, dumak{22, 3, 7}, blk{15, 1, 3};
    const TDeviceKey key = {1, 2, 3, 4, 5, 6, 7, 8}, wrong = {1, 2, 3, 4, 5, 6, 7, 9};
    const TTargetPropertiesBlock props = {20, 30, 1, 2, 3, 4, 0, 1, 0, 1};
    const TWirelessTargetCapabilities lamps = {1, 1, {}};
    const TBlinkerProperties blinks = {5, 100, 150, 2000};
    const std::vector<uint8_t> propsCmd = {0x22, 20, 30, 1, 2, 3, 4, 0, 1, 0, 1};
    const std::vector<uint8_t> capsCmd = {0x73, 1, 1, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> lockCmd = {0x61, 1, 2, 3, 4, 5, 6, 7, 8},
                               unlockCmd = {0x62, 1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<uint8_t> freqCmd = {0x40, 12, 15};
    const std::vector<uint8_t> wrongCmd = {0x61, 1, 2, 3, 4, 5, 6, 7, 9};
    const std::vector<uint8_t> blinkerCmd = {0x22, 5, 0, 100, 0, 150, 0, 0xD0, 0x07};
    const uint16_t lockTime = 0x8000 + 500, write = 20000;
    const TCase cases[] = {
        {"freq", std, [](auto& T) { return T.SetFrequencies(1200, 1500); }, 1, freqCmd, write, Freq2, 15},
        {"off the grid", std, [](auto& T) { return T.SetFrequencies(1250, 1400); }, 0, {}, 0, Freq1, 12},
        {"too high", std, [](auto& T) { return T.SetFrequencies(12000, 100); }, 0, {}, 0, Freq2, 14},
        {"negative", std, [](auto& T) { return T.SetFrequencies(-100, 100); }, 0, {}, 0, Freq1, 12},
        {"signal", std, [](auto& T) { return T.SetSignal(1.0, 0.5); }, 1, {0x50, 255, 128}, write, Sig1, 255},
        {"signal too high", std, [](auto& T) { return T.SetSignal(1.2, 0.5); }, 0, {}, 0, Sig1, 128},
        {"green", std, [](auto& T) { return W(T).SetGreenLeds(15); }, 1, {0x30, 15}, 0, Leds1, 15},
        {"red", std, [](auto& T) { return W(T).SetRedLeds(0xF0); }, 1, {0x31, 0xF0}, 0, Leds2, 0xF0},
        {"both", std, [](auto& T) { return W(T).SetLeds(3, 0x81); }, 1, {0x32, 3, 0x81}, 0, Leds2, 0x81},
        {"mask past a byte", std, [](auto& T) { return W(T).SetLeds(3, 0x100); }, 0, {}, 0, Leds1, 0},
        {"receiver", std, [](auto& T) { return W(T).SetReceiverOn(false); }, 1, {0x23, 0}, 0, Receiver, 0},
        {"sync", std, [](auto& T) { return W(T).SetSync(true); }, 1, {0x24, 1}, 0, Sync, 1},
        {"properties", std, [&](auto& T) { return W(T).SetProperties(props); }, 1, propsCmd, write, Freq2,
         30},
        {"start", std, [](auto& T) { return W(T).Start(); }, 1, {0x10}, 0, Started, 1},
        {"no receiver", std, [](auto& T) { return W(T).StartWithoutReceiver(); }, 1, {0x15}, 0, Receiver, 0},
        {"with receiver", std, [](auto& T) { return W(T).StartWithReceiver(); }, 1, {0x16}, 0, Started, 1},
        {"off", std, [](auto& T) { return W(T).SetGreenLeds(7) && T.TurnOff(); }, 1, {0x12}, 0, Leds1, 0},
        {"LED level", std, [](auto& T) { return W(T).SetLedsBrightness(7); }, 1, {0x33, 7}, 0, LedsLevel, 7},
        {"LED level 300", std, [](auto& T) { return W(T).SetLedsBrightness(300); }, 0, {}, 0, LedsLevel, 5},
        {"LED level hw 2", hw2, [](auto& T) { return W(T).SetLedsBrightness(7); }, 0, {}, 0, LedsLevel, 0},
        {"LED query hw 2", hw2, [](auto& T) { return W(T).GetLedsBrightness(); }, 0, {}, 0, LedsLevel, 0},
        {"bia LEDs", bia1, [](auto& T) { return W(T).SetLedsBrightness(8); }, 1, {0x33, 8}, 0, LedsLevel, 8},
        {"RF LED query", rf, [](auto& T) { return W(T).GetLedsBrightness(); }, 1, {0x71}, 0, LedsLevel, 5},
        {"lamps", rf, [](auto& T) { return W(T).SetLampsBrightness(9); }, 1, {0x34, 9}, 0, LampsLevel, 9},
        {"bia lamps", bia2, [](auto& T) { return W(T).SetLampsBrightness(9); }, 0, {}, 0, LampsLevel, 0},
        {"caps", std, [&](auto& T) { return W(T).SetCapabilities(lamps); }, 1, capsCmd, write, Lamps, 1},
        {"caps fw 6", fw6, [&](auto& T) { return W(T).SetCapabilities(lamps); }, 0, {}, 0, Lamps, 0},
        {"caps lacking", dumak, [&](auto& T) { return W(T).SetCapabilities(lamps); }, 0, capsCmd, write,
         Lamps, 0},
        {"address", hw6, [](auto& T) { return W(T).SetAddress(5); }, 1, {0x17, 5}, 0, Address, 5},
        {"address 0", hw6, [](auto& T) { return W(T).SetAddress(0); }, 0, {}, 0, Address, 0},
        {"address 32", hw6, [](auto& T) { return W(T).SetAddress(32); }, 0, {}, 0, Address, 0},
        {"address hw 5", hw5, [](auto& T) { return W(T).SetAddress(5); }, 0, {}, 0, Address, 0},
        {"lock", std, [&](auto& T) { return T.Lock(key); }, 1, lockCmd, lockTime, Locked, 1},
        {"wrong key", std, [&](auto& T) { return T.Lock(wrong); }, 0, wrongCmd, lockTime, Locked, 0},
        {"unlock", std, [&](auto& T) { return T.Lock(key) && T.Unlock(key); }, 1, unlockCmd, lockTime, Locked,
         0},
        {"IR LEDs", bia1, [](auto& T) { return Bia(T).SetIReds(3); }, 1, {0x25, 3}, 0, IReds, 3},
        {"flag", bia1, [](auto& T) { return Bia(T).SetBiaFlag(true); }, 1, {0x27, 1}, 0, Flag, 1},
        {"mode", bia2, [](auto& T) { return Bia(T).SetReceiverMode(2); }, 1, {0x28, 2}, 0, Mode, 2},
        {"mode hw 1", bia1, [](auto& T) { return Bia(T).SetReceiverMode(2); }, 0, {}, 0, Mode, 0},
        {"RF IR LEDs", rf, [](auto& T) { return RF(T).SetIReds(33); }, 1, {0x25, 33}, 0, IReds, 33},
        {"blinker", blk, [&](auto& T) { return Blk(T).SetProperties(blinks); }, 1, blinkerCmd, write, Dac,
         2000},
        {"blinker read", blk, [](auto& T) { return Blk(T).GetProperties(); }, 1, {0x21}, 0, Dac, 1000},
        {"blink", blk, [](auto& T) { return Blk(T).Blink(); }, 1, {0x30}, 0, Blinks, 1},
        {"blinker signal", blk, [](auto& T) { return T.SetSignal(1, 1); }, 0, {}, 0, Signal, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCustom485Target* target = Connect(c.Model);
        ASSERT_NE(nullptr, target);
        const uint32_t requests = fSim->VendorRequestCount();
        EXPECT_EQ(c.Result, c.Run(*target));
        if (c.Sent.empty()) {
            EXPECT_EQ(requests, fSim->VendorRequestCount());
        } else {
            EXPECT_EQ(c.Sent, fState->LastCommand);
            EXPECT_EQ(c.Timeout, fState->LastCommandTimeout);
        }
        // The firmware is compared where the command reached it.
        const auto [host, firmware] = Setting(c.Changed, *target, Firmware());
        EXPECT_EQ(host < 0 ? -1 : c.Value, host);
        EXPECT_EQ(firmware < 0 || c.Sent.empty() ? firmware : c.Value, firmware);
    }
}

// Start and stop name the target in its own log; a command the target refuses leaves the controller's
// failure line.
TEST_F(TargetModels, LogsStartStopAndFailures) {
    std::vector<std::string> targetLines;
    auto& target = As<TWirelessTarget>(*Connect({12, 3, 12}));
    target.fLog = &targetLines;
    target.fLogging = true;
    EXPECT_TRUE(target.Start());
    EXPECT_TRUE(target.Stop());
    EXPECT_EQ((std::vector<std::string>{"START 1", "STOP 1"}), targetLines);
    EXPECT_FALSE(target.Unlock({9, 9, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ((std::vector<std::string>{"TargetCmd fail: index=1, timeout=500 ms, cmd=(62,9,9,9,9,9,9,9,9)"}),
              fLines);
}
