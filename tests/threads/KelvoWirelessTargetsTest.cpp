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

// Each operation on a fresh target: its result, the command that reached the controller (none for
// a refusal), and the setting as the host mirrors it and as the firmware holds it afterwards.
TEST_F(TargetModels, CommandsGuardsAndReadBack) {
    using TRun = std::function<bool(TCustom485Target&)>;
    using THost = std::function<int(TCustom485Target&)>;
    using TSim = std::function<int(const TSimRadioTarget&)>;
    struct TCase {
        const char* Name;
        TModel Model;
        TRun Run;
        bool Result;
        std::vector<uint8_t> Sent; // empty: nothing reaches the controller
        uint16_t Timeout;
        THost Host; // the host's mirror, when it keeps one
        TSim Sim;   // the firmware's setting, when the case changes it
        int Value;  // of both
    };
    auto props = [](int AOffset) -> THost {
        return [AOffset](TCustom485Target& T) {
            return int(reinterpret_cast<uint8_t*>(&As<TWirelessTarget>(T).fProperties)[AOffset]);
        };
    };
    auto simProps = [](int AOffset) -> TSim {
        return [AOffset](const TSimRadioTarget& S) { return S.Properties[AOffset]; };
    };
    auto leds = [](TCustom485Target& T) { return int(As<TWirelessTarget>(T).fLedsBrightness); };
    auto simLeds = [](const TSimRadioTarget& S) { return int(S.LedsBrightness); };
    auto lamps = [](TCustom485Target& T) { return int(As<TWirelessTarget>(T).fLampsBrightness); };
    auto simLamps = [](const TSimRadioTarget& S) { return int(S.LampsBrightness); };
    auto caps = [](TCustom485Target& T) { return int(As<TWirelessTarget>(T).fCaps.bLamps); };
    auto simCaps = [](const TSimRadioTarget& S) { return int(S.Capabilities[1]); };
    auto locked = [](TCustom485Target& T) { return int(T.fLocked); };
    auto simLocked = [](const TSimRadioTarget& S) { return int(S.Locked); };
    auto simAddress = [](const TSimRadioTarget& S) { return int(S.Address); };
    auto wt = [](std::function<bool(TWirelessTarget&)> AOp) -> TRun {
        return [AOp](TCustom485Target& T) { return AOp(As<TWirelessTarget>(T)); };
    };
    const TModel standard{12, 3, 12}, old{12, 2, 12}, hw6{12, 6, 12}, fw6{12, 3, 6};
    const TModel biathlon1{18, 1, 5}, biathlon2{18, 2, 5}, rapidFire{20, 1, 5}, dumak{22, 3, 7};
    const TDeviceKey key = {1, 2, 3, 4, 5, 6, 7, 8}, wrongKey = {1, 2, 3, 4, 5, 6, 7, 9};
    const TCase cases[] = {
        {"frequencies",
         standard,
         wt([](auto& T) { return T.SetFrequencies(1200, 1500); }),
         true,
         {0x40, 12, 15},
         20000,
         props(1),
         simProps(1),
         15},
        {"frequency off the grid",
         standard,
         wt([](auto& T) { return T.SetFrequencies(1250, 1400); }),
         false,
         {},
         0,
         props(0),
         simProps(0),
         12},
        {"frequency too high",
         standard,
         wt([](auto& T) { return T.SetFrequencies(12000, 100); }),
         false,
         {},
         0,
         props(1),
         simProps(1),
         14},
        {"negative frequency",
         standard,
         wt([](auto& T) { return T.SetFrequencies(-100, 100); }),
         false,
         {},
         0,
         props(0),
         simProps(0),
         12},
        {"signal levels",
         standard,
         wt([](auto& T) { return T.SetSignal(1.0, 0.5); }),
         true,
         {0x50, 255, 128},
         20000,
         props(2),
         simProps(2),
         255},
        {"signal level too high",
         standard,
         wt([](auto& T) { return T.SetSignal(1.2, 0.5); }),
         false,
         {},
         0,
         props(2),
         simProps(2),
         128},
        {"green LEDs",
         standard,
         wt([](auto& T) { return T.SetGreenLeds(0x0F); }),
         true,
         {0x30, 0x0F},
         0,
         props(4),
         simProps(4),
         0x0F},
        {"red LEDs",
         standard,
         wt([](auto& T) { return T.SetRedLeds(0xF0); }),
         true,
         {0x31, 0xF0},
         0,
         props(5),
         simProps(5),
         0xF0},
        {"both LEDs",
         standard,
         wt([](auto& T) { return T.SetLeds(3, 0x81); }),
         true,
         {0x32, 3, 0x81},
         0,
         props(5),
         simProps(5),
         0x81},
        {"LED mask wider than a byte",
         standard,
         wt([](auto& T) { return T.SetLeds(3, 0x100); }),
         false,
         {},
         0,
         props(4),
         simProps(4),
         0},
        {"receiver off",
         standard,
         wt([](auto& T) { return T.SetReceiverOn(false); }),
         true,
         {0x23, 0},
         0,
         props(8),
         simProps(8),
         0},
        {"sync",
         standard,
         wt([](auto& T) { return T.SetSync(true); }),
         true,
         {0x24, 1},
         0,
         props(9),
         simProps(9),
         1},
        {"properties",
         standard,
         wt([](auto& T) {
             return T.SetProperties({20, 30, 1, 2, 3, 4, 0, 1, 0, 1});
         }),
         true,
         {0x22, 20, 30, 1, 2, 3, 4, 0, 1, 0, 1},
         20000,
         props(1),
         simProps(1),
         30},
        {"start", standard, wt([](auto& T) { return T.Start(); }), true, {0x10}, 0, props(6), simProps(6), 1},
        {"start without receiver",
         standard,
         wt([](auto& T) { return T.StartWithoutReceiver(); }),
         true,
         {0x15},
         0,
         props(8),
         simProps(8),
         0},
        {"start with receiver",
         standard,
         wt([](auto& T) { return T.StartWithReceiver(); }),
         true,
         {0x16},
         0,
         props(6),
         simProps(6),
         1},
        {"turn off",
         standard,
         wt([](auto& T) { return T.SetGreenLeds(7) && T.TurnOff(); }),
         true,
         {0x12},
         0,
         props(4),
         simProps(4),
         0},
        {"LED brightness",
         standard,
         wt([](auto& T) { return T.SetLedsBrightness(7); }),
         true,
         {0x33, 7},
         0,
         leds,
         simLeds,
         7},
        {"LED brightness past a byte",
         standard,
         wt([](auto& T) { return T.SetLedsBrightness(300); }),
         false,
         {},
         0,
         leds,
         simLeds,
         5},
        {"LED brightness on hardware 2",
         old,
         wt([](auto& T) { return T.SetLedsBrightness(7); }),
         false,
         {},
         0,
         leds,
         {},
         0},
        {"LED level on hardware 2",
         old,
         wt([](auto& T) { return T.GetLedsBrightness(); }),
         false,
         {},
         0,
         leds,
         {},
         0},
        {"LED brightness on biathlon hardware 1",
         biathlon1,
         wt([](auto& T) { return T.SetLedsBrightness(8); }),
         true,
         {0x33, 8},
         0,
         leds,
         simLeds,
         8},
        {"LED level of the rapid-fire target",
         rapidFire,
         wt([](auto& T) { return T.GetLedsBrightness(); }),
         true,
         {0x71},
         0,
         leds,
         simLeds,
         5},
        {"lamp brightness",
         rapidFire,
         wt([](auto& T) { return T.SetLampsBrightness(9); }),
         true,
         {0x34, 9},
         0,
         lamps,
         simLamps,
         9},
        {"lamp brightness on the biathlon target",
         biathlon2,
         wt([](auto& T) { return T.SetLampsBrightness(9); }),
         false,
         {},
         0,
         lamps,
         {},
         0},
        {"capabilities",
         standard,
         wt([](auto& T) {
             return T.SetCapabilities({1, 1, {}});
         }),
         true,
         {0x73, 1, 1, 0, 0, 0, 0, 0, 0},
         20000,
         caps,
         simCaps,
         1},
        {"capabilities on firmware 6",
         fw6,
         wt([](auto& T) {
             return T.SetCapabilities({1, 1, {}});
         }),
         false,
         {},
         0,
         caps,
         simCaps,
         0},
        {"capabilities the model lacks",
         dumak,
         wt([](auto& T) {
             return T.SetCapabilities({1, 1, {}});
         }),
         false,
         {0x73, 1, 1, 0, 0, 0, 0, 0, 0},
         20000,
         caps,
         simCaps,
         0},
        {"address", hw6, wt([](auto& T) { return T.SetAddress(5); }), true, {0x17, 5}, 0, {}, simAddress, 5},
        {"address 0", hw6, wt([](auto& T) { return T.SetAddress(0); }), false, {}, 0, {}, simAddress, 0},
        {"address 32", hw6, wt([](auto& T) { return T.SetAddress(32); }), false, {}, 0, {}, simAddress, 0},
        {"address on hardware 5",
         {12, 5, 12},
         wt([](auto& T) { return T.SetAddress(5); }),
         false,
         {},
         0,
         {},
         simAddress,
         0},
        {"lock",
         standard,
         [&](TCustom485Target& T) { return T.Lock(key); },
         true,
         {0x61, 1, 2, 3, 4, 5, 6, 7, 8},
         0x8000 + 500,
         locked,
         simLocked,
         1},
        {"lock with a wrong key",
         standard,
         [&](TCustom485Target& T) { return T.Lock(wrongKey); },
         false,
         {0x61, 1, 2, 3, 4, 5, 6, 7, 9},
         0x8000 + 500,
         locked,
         simLocked,
         0},
        {"unlock",
         standard,
         [&](TCustom485Target& T) { return T.Lock(key) && T.Unlock(key); },
         true,
         {0x62, 1, 2, 3, 4, 5, 6, 7, 8},
         0x8000 + 500,
         locked,
         simLocked,
         0},
        {"biathlon IR LEDs",
         biathlon1,
         [](TCustom485Target& T) { return As<TBiathlon2Target>(T).SetIReds(3); },
         true,
         {0x25, 3},
         0,
         [](TCustom485Target& T) { return int(As<TBiathlon2Target>(T).fIReds); },
         [](const TSimRadioTarget& S) { return int(S.IReds); },
         3},
        {"biathlon flag",
         biathlon1,
         [](TCustom485Target& T) { return As<TBiathlon2Target>(T).SetBiaFlag(true); },
         true,
         {0x27, 1},
         0,
         [](TCustom485Target& T) { return int(As<TBiathlon2Target>(T).fFlag); },
         [](const TSimRadioTarget& S) { return int(S.Flag); },
         1},
        {"receiver mode",
         biathlon2,
         [](TCustom485Target& T) { return As<TBiathlon2Target>(T).SetReceiverMode(2); },
         true,
         {0x28, 2},
         0,
         [](TCustom485Target& T) { return int(As<TBiathlon2Target>(T).fReceiverMode); },
         [](const TSimRadioTarget& S) { return int(S.ReceiverMode); },
         2},
        {"receiver mode on hardware 1",
         biathlon1,
         [](TCustom485Target& T) { return As<TBiathlon2Target>(T).SetReceiverMode(2); },
         false,
         {},
         0,
         [](TCustom485Target& T) { return int(As<TBiathlon2Target>(T).fReceiverMode); },
         [](const TSimRadioTarget& S) { return int(S.ReceiverMode); },
         0},
        {"rapid-fire IR LEDs",
         rapidFire,
         [](TCustom485Target& T) { return As<TRFTarget>(T).SetIReds(0x21); },
         true,
         {0x25, 0x21},
         0,
         [](TCustom485Target& T) { return int(As<TRFTarget>(T).fIReds); },
         [](const TSimRadioTarget& S) { return int(S.IReds); },
         0x21},
        {"blinker properties",
         {15, 1, 3},
         [](TCustom485Target& T) {
             return As<TBlinker>(T).SetProperties({5, 100, 150, 2000});
         },
         true,
         {0x22, 5, 0, 100, 0, 150, 0, 0xD0, 0x07},
         20000,
         [](TCustom485Target& T) { return int(As<TBlinker>(T).DACValue()); },
         [](const TSimRadioTarget& S) { return S.BlinkerProperties[6] | S.BlinkerProperties[7] << 8; },
         2000},
        {"blinker read",
         {15, 1, 3},
         [](TCustom485Target& T) { return As<TBlinker>(T).GetProperties(); },
         true,
         {0x21},
         0,
         [](TCustom485Target& T) { return int(As<TBlinker>(T).DarkTime()); },
         [](const TSimRadioTarget& S) { return S.BlinkerProperties[4] | S.BlinkerProperties[5] << 8; },
         300},
        {"blink",
         {15, 1, 3},
         [](TCustom485Target& T) { return As<TBlinker>(T).Blink(); },
         true,
         {0x30},
         0,
         {},
         [](const TSimRadioTarget& S) { return int(S.Blinks); },
         1},
        {"blinker frequencies",
         {15, 1, 3},
         [](TCustom485Target& T) { return T.SetFrequencies(1200, 1400); },
         false,
         {},
         0,
         [](TCustom485Target& T) { return int(T.Signal1()); },
         {},
         0},
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
        if (c.Host) {
            EXPECT_EQ(c.Value, c.Host(*target));
        }
        if (c.Sim) {
            EXPECT_EQ(c.Value, c.Sim(Firmware()));
        }
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
