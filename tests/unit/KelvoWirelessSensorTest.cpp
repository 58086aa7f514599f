#include "MyLib/KelvoWirelessSensor.h"
#include "platform/LittleEndian.h"
#include "sim/SimWirelessSensor.h"
#include "tests/support/GeometryTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;
constexpr double Pi = std::numbers::pi;

std::unique_ptr<TCustomWirelessSensor> Create(const TBytes& APacket) {
    TWirelessSensorClass make = SensorClassFor(APacket.data(), APacket.size());
    if (!make)
        return nullptr;
    std::unique_ptr<TCustomWirelessSensor> sensor(make(nullptr));
    if (!sensor->GetSerialFromPacket(APacket.data(), APacket.size()))
        return nullptr;
    return sensor;
}

// The controller's way with a packet: only the sensor whose packets these are takes it.
void Deliver(TCustomWirelessSensor& ASensor, TBytes APacket) {
    if (ASensor.CheckPacket(APacket.data(), APacket.size()))
        ASensor.Feed(APacket.data(), APacket.size());
}

TBytes WD03Data(uint8_t AModel, uint8_t ACounter, uint8_t AAux, size_t ALength = 14) {
    TBytes bytes(ALength, 0);
    bytes[0] = uint8_t(ALength);
    bytes[1] = AModel;
    PutLE16(bytes.data() + 2, 77);
    bytes[4] = ACounter;
    bytes[5] = AAux;
    return bytes;
}

TEST(WirelessSensorTest, ModelCodeCreatesItsClass) {
    struct TCase {
        uint8_t Code;
        const char* ShortName; // null: no class
    } cases[] = {{0, "WD-M01"},  {1, nullptr}, {2, "WD-03"},    {3, "WD-M02"},   {4, "WD-02"},
                 {5, "WD-03V2"}, {6, "WD-05"}, {7, "WD-M02V2"}, {8, "WD-M02V3"}, {9, nullptr}};
    for (const auto& c : cases)
        for (bool inverted : {false, true}) {
            TBytes packet = WD03Data(c.Code, 1, 0);
            if (inverted) {
                packet[0] |= KSensorPacketInvertedBit;
                for (size_t i = 1; i < packet.size(); ++i)
                    packet[i] = uint8_t(~packet[i]);
            }
            auto sensor = Create(packet);
            ASSERT_EQ(sensor != nullptr, c.ShortName != nullptr) << int(c.Code);
            if (sensor) {
                EXPECT_EQ(sensor->ShortName(), c.ShortName);
                EXPECT_EQ(sensor->Serial(), 77);
                EXPECT_TRUE(sensor->CheckPacket(packet.data(), packet.size()));
                EXPECT_EQ(sensor->Code128().substr(0, 3), "KW:");
                EXPECT_EQ(sensor->Code128().size(), 8u);
            }
        }
    // A packet longer than the bytes received, or without a whole header, makes nothing.
    TBytes cut = WD03Data(2, 1, 0);
    EXPECT_EQ(SensorClassFor(cut.data(), cut.size() - 1), nullptr);
    cut[0] = 3;
    EXPECT_EQ(SensorClassFor(cut.data(), cut.size()), nullptr);
    // A WD-M02 status packet of 15 bytes gives no sensor.
    TBytes status = WD03Data(3, 0, 0, 15);
    status[0] |= KSensorPacketStatusBit;
    EXPECT_EQ(Create(status), nullptr);
}

TEST(WirelessSensorTest, SpotsFromAmplitudeWords) {
    struct TCase {
        uint16_t Words[8];
        bool Valid;
        double X0, Y0, Sum0, Visible;
    } cases[] = {{{1200, 1200, 1200, 0, 0, 1200, 0, 0}, true, 1000, 1000, 400, 2000 * std::numbers::sqrt2},
                 {{0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        uint8_t bytes[16];
        for (int i = 0; i < 8; ++i)
            PutLE16(bytes + 2 * i, c.Words[i]);
        TQueuedPoint_V1 p;
        ComputeSpots(bytes, p);
        EXPECT_EQ(p.valid, c.Valid);
        EXPECT_DOUBLE_EQ(p.x[0], c.X0);
        EXPECT_DOUBLE_EQ(p.y[0], c.Y0);
        EXPECT_DOUBLE_EQ(p.sum[0], c.Sum0);
        EXPECT_NEAR(p.VisibleDistance, c.Visible, 1e-9);
    }
}

TEST(WirelessSensorTest, DistanceCoefficientGivesStaticScale) {
    // Selectors 0..3 carry the coefficient's bytes; all zero is "not set" and never divides.
    struct TCase {
        uint8_t Bytes[4];
        double Scale;
    } cases[] = {{{0, 0, 1, 0}, 10}, {{0, 0, 0, 0}, 0}};
    for (const auto& c : cases) {
        TWDM01Sensor sensor(nullptr);
        sensor.SetStorePoints(true);
        for (uint8_t k = 0; k < 4; ++k) {
            TBytes packet(22, 0);
            packet[0] = 22;
            packet[4] = k;
            packet[5] = c.Bytes[k];
            sensor.Feed(packet.data(), packet.size());
        }
        sensor.SetStaticTarget(10, nullptr);
        EXPECT_DOUBLE_EQ(sensor.Scale(), c.Scale);
    }
}

TEST(WirelessSensorTest, AngleAndRawScaleWords) {
    // The default target's LED groups lie one above the other: the direction from group 1 to group 0
    // is 3 pi / 2.
    auto expected = [](double ATheta) { return AnglesDiff(ATheta, 3 * Pi / 2); };
    struct TCase {
        int16_t Word;
        double Angle;
    } cases[] = {{10000, expected(Pi / 2)}, {9999, expected(Pi - std::asin(0.9999))}, {-10000, 0}};
    for (const auto& c : cases) {
        TWD03Sensor sensor(nullptr);
        TBytes low = WD03Data(2, 2, uint8_t(c.Word)), high = WD03Data(2, 3, uint8_t(uint16_t(c.Word) >> 8));
        sensor.Feed(low.data(), low.size());
        sensor.Feed(high.data(), high.size());
        EXPECT_NEAR(sensor.Angle(), c.Angle, 1e-12) << c.Word;
    }

    TGeometryTarget target;
    target.fLedsDistance = 50;
    TWD03Sensor sensor(nullptr);
    sensor.SetDynamicTarget(&target);
    TBytes raw = WD03Data(2, 7, 0, 18);
    PutLE32(raw.data() + 14, 251658240);
    sensor.Feed(raw.data(), raw.size());
    EXPECT_DOUBLE_EQ(sensor.Scale(), 1);
    EXPECT_TRUE(sensor.DynamicScale());
    TBytes plain = WD03Data(2, 8, 0);
    sensor.Feed(plain.data(), plain.size());
    EXPECT_FALSE(sensor.DynamicScale());
}

TEST(WirelessSensorTest, BatteryLevelAndState) {
    struct TTestWD02 : TWD02Sensor {
        TTestWD02() : TWD02Sensor(nullptr) {}
        void Set(float AVolts) { fBattery = AVolts; }
    } sensor;
    struct TCase {
        float Volts;
        uint8_t Level;
        TBatteryState State;
    } cases[] = {{3.75f, 50, TBatteryState::batteryMid},
                 {3.2f, 0, TBatteryState::batteryCritical},
                 {3.5f, 22, TBatteryState::batteryLow},
                 {4.3f, 100, TBatteryState::batteryHigh}};
    for (const auto& c : cases) {
        sensor.Set(c.Volts);
        EXPECT_EQ(sensor.BatteryLevel(), c.Level) << c.Volts;
        EXPECT_EQ(sensor.BatteryState(), c.State) << c.Volts;
    }
    EXPECT_FLOAT_EQ(sensor.BatteryVoltage(255), float(4.0 * 255 / 1023 * 2.18 * 3));
}

// The one-cell sensors change state at 1.28333 V and 1.41667 V, as single-precision values: a
// reading one float step below either threshold is still in the lower state.
TEST(WirelessSensorTest, OneCellBatteryThresholdsAreTheNearestFloats) {
    struct TTestWDM01 : TWDM01Sensor {
        TTestWDM01() : TWDM01Sensor(nullptr) {}
        void Set(float AVolts) { fBattery = AVolts; }
    } sensor;
    struct TCase {
        float Volts;
        TBatteryState State;
    } cases[] = {{std::nextafter(1.28333f, 0.0f), TBatteryState::batteryLow},
                 {1.28333f, TBatteryState::batteryMid},
                 {std::nextafter(1.41667f, 0.0f), TBatteryState::batteryMid},
                 {1.41667f, TBatteryState::batteryHigh}};
    for (const auto& c : cases) {
        sensor.Set(c.Volts);
        EXPECT_EQ(sensor.BatteryState(), c.State) << std::hexfloat << c.Volts;
    }
}

TEST(WirelessSensorTest, StatusPacketsFireTheirEvents) {
    struct TCase {
        uint8_t Code;
        TSimWirelessStatus Kind;
        const char* Event;
        uint8_t StatusBits; // what the sensor reports afterwards
    } cases[] = {{0, TSimWirelessStatus::Battery, "low battery", 0},
                 {4, TSimWirelessStatus::NoSignal, "no signal", 0},
                 {2, TSimWirelessStatus::WeakSignal, "low signal", 0},
                 {2, TSimWirelessStatus::NoSignal, "no signal", 0},
                 {8, TSimWirelessStatus::WeakSignal, "low signal", 3},
                 {8, TSimWirelessStatus::NoSignal, "no signal", 3}};
    for (const auto& c : cases)
        for (bool inverted : {false, true}) {
            TSimWirelessSensorSetup setup;
            setup.ModelCode = c.Code;
            setup.StatusBits = 3;
            TSimWirelessSensor sim(setup);
            TBytes packet = sim.StatusPacket(c.Kind);
            if (inverted) {
                packet[0] |= KSensorPacketInvertedBit;
                for (size_t i = 1; i < packet.size(); ++i)
                    packet[i] = uint8_t(~packet[i]);
            }
            auto sensor = Create(packet);
            ASSERT_NE(sensor, nullptr);
            std::string fired;
            TKelvoWDLowSignal amplitudes;
            sensor->OnLowBattery = [&](TCustomWirelessSensor*) { fired += "low battery"; };
            sensor->OnNoSignal = [&](TCustomWirelessSensor*) { fired += "no signal"; };
            sensor->OnLowSignal = [&](TCustomWirelessSensor*, PKelvoWDLowSignal AAmp) {
                fired += "low signal";
                amplitudes = *AAmp;
            };
            Deliver(*sensor, packet);
            EXPECT_EQ(fired, c.Event) << int(c.Code);
            EXPECT_EQ(sensor->DeviceStatusBits(), c.StatusBits) << int(c.Code);
            EXPECT_EQ(amplitudes.Amplitudes[7], c.Kind == TSimWirelessStatus::WeakSignal ? 17 : 0);
            auto& wd = dynamic_cast<TWDCustomSensor&>(*sensor);
            // A WD-M01/WD-02 reports its battery in a status packet of its own.
            bool battery = c.Code != 4 || c.Kind == TSimWirelessStatus::Battery;
            EXPECT_FLOAT_EQ(sensor->Battery(), battery ? wd.BatteryVoltage(setup.BatteryByte) : 0)
                << int(c.Code);
        }
}

struct TEndToEnd {
    const char* Name;
    TSimWirelessSensorSetup Setup;
    bool Static; // a static target at distance 10 (WD-M01/WD-02 coefficient 100)
};

TEST(WirelessSensorTest, SimulatedSensorsAimAlongThePath) {
    TSimWirelessSensorSetup base;
    auto with = [&](uint8_t ACode, double ACant = 0, bool ARaw = false) {
        TSimWirelessSensorSetup setup = base;
        setup.ModelCode = ACode;
        setup.CantRad = ACant;
        setup.RawMode = ARaw;
        return setup;
    };
    const TEndToEnd cases[] = {
        {"WD-M01 dynamic", with(0), false},        {"WD-M01 static canted", with(0, 0.3), true},
        {"WD-02", with(4, -0.2), false},           {"WD-03 canted", with(2, 0.4), false},
        {"WD-M02V3 raw", with(8, 0, true), false}, {"WD-05", with(6, 2.5), false}};
    for (const auto& c : cases) {
        TSimWirelessSensor sim(c.Setup);
        std::vector<TSimAimSample> aims;
        TBytes first = sim.NextPacket(&aims);
        auto sensor = Create(first);
        ASSERT_NE(sensor, nullptr) << c.Name;
        if (c.Static)
            sensor->SetStaticTarget(10, nullptr);
        else
            sensor->SetDynamicTarget(nullptr);
        std::vector<TQueuedPoint_V1> points;
        sensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint P) { points.push_back(*P); };
        std::vector<TSimAimSample> expected;
        Deliver(*sensor, first);
        expected.insert(expected.end(), aims.begin(), aims.end());
        for (int i = 0; i < 400; ++i) {
            Deliver(*sensor, sim.NextPacket(&aims));
            expected.insert(expected.end(), aims.begin(), aims.end());
        }
        ASSERT_EQ(points.size(), expected.size()) << c.Name;
        // After the filters settle, the points follow the path within the smoothing's lag.
        double error = 0;
        size_t counted = 0;
        for (size_t i = 100; i < points.size(); ++i) {
            ASSERT_TRUE(points[i].valid) << c.Name << " " << i;
            error += std::hypot(points[i].xmm - expected[i].XMm, points[i].ymm - expected[i].YMm);
            ++counted;
        }
        EXPECT_LT(error / double(counted), 1.5) << c.Name;
        EXPECT_NEAR(sensor->Angle(), AnglesDiff(c.Setup.CantRad, 0), 0.01) << c.Name;
        EXPECT_EQ(sensor->DroppedPackets(), 0u);
    }
}

TEST(WirelessSensorTest, HostilePacketsAreDroppedOrRefused) {
    struct TCase {
        uint8_t Code;
        TSimWirelessFault Fault;
        uint64_t Dropped; // of 100 packets, every 10th hostile
    } cases[] = {{0, TSimWirelessFault::LengthBeyondBytes, 10}, {2, TSimWirelessFault::LengthBeyondBytes, 10},
                 {0, TSimWirelessFault::BelowMinimum, 10},      {8, TSimWirelessFault::BelowMinimum, 10},
                 {0, TSimWirelessFault::UnknownModel, 0},       {2, TSimWirelessFault::ForeignSerial, 0}};
    for (const auto& c : cases) {
        TSimWirelessSensorSetup setup;
        setup.ModelCode = c.Code;
        setup.Fault = c.Fault;
        setup.FaultEvery = 10;
        TSimWirelessSensor sim(setup);
        TBytes first = sim.NextPacket();
        auto sensor = Create(first);
        ASSERT_NE(sensor, nullptr);
        sensor->SetDynamicTarget(nullptr);
        sensor->SetStorePoints(true);
        Deliver(*sensor, first);
        for (int i = 1; i < 100; ++i) {
            TBytes packet = sim.NextPacket();
            // What the controller would do: offer it to this sensor, and ask for a class otherwise.
            // Only another serial makes a class (a second sensor). A packet longer than its bytes is
            // no sensor's; fed anyway, it is dropped unread.
            if (sensor->CheckPacket(packet.data(), packet.size()))
                sensor->Feed(packet.data(), packet.size());
            else {
                EXPECT_EQ(SensorClassFor(packet.data(), packet.size()) != nullptr,
                          c.Fault == TSimWirelessFault::ForeignSerial);
                if (c.Fault == TSimWirelessFault::LengthBeyondBytes)
                    sensor->Feed(packet.data(), packet.size());
            }
        }
        EXPECT_EQ(sensor->DroppedPackets(), c.Dropped) << int(c.Fault);
        TPointsArray points = sensor->GetPoints();
        size_t perPacket = c.Code == 0 ? 1 : 2;
        EXPECT_EQ(points.size(), 90 * perPacket) << int(c.Fault);
    }
}

TEST(WirelessSensorTest, UnusableScaleOrGeometryNeverReachesTheFilters) {
    // A zero coefficient leaves a static WD-M01 without scale and a WD-03 with a scale of 0.
    for (uint8_t code : {uint8_t(0), uint8_t(2)}) {
        TSimWirelessSensorSetup setup;
        setup.ModelCode = code;
        setup.ZeroCoefficient = true;
        TSimWirelessSensor sim(setup);
        auto sensor = Create(sim.NextPacket());
        sensor->SetStaticTarget(10, nullptr);
        sensor->SetStorePoints(true);
        for (int i = 0; i < 50; ++i)
            Deliver(*sensor, sim.NextPacket());
        for (const auto& p : sensor->GetPoints())
            EXPECT_FALSE(p.valid);
    }
    // A target whose LED distance is not finite gives invalid points; once it is sound again, the
    // points are exact, since no NaN entered the filters' history.
    TGeometryTarget target;
    target.fLedsDistance = std::numeric_limits<double>::quiet_NaN();
    TSimWirelessSensorSetup setup;
    TSimWirelessSensor sim(setup);
    auto sensor = Create(sim.NextPacket());
    sensor->SetDynamicTarget(&target);
    std::vector<TQueuedPoint_V1> points;
    sensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint P) { points.push_back(*P); };
    for (int i = 0; i < 20; ++i)
        Deliver(*sensor, sim.NextPacket());
    for (const auto& p : points)
        EXPECT_FALSE(p.valid);
    target.fLedsDistance = 190;
    points.clear();
    std::vector<TSimAimSample> aims;
    Deliver(*sensor, sim.NextPacket(&aims));
    ASSERT_EQ(points.size(), 1u);
    EXPECT_TRUE(points[0].valid);
    EXPECT_NEAR(points[0].xmm, aims[0].XMm, 0.05);
    EXPECT_NEAR(points[0].ymm, aims[0].YMm, 0.05);
}

// A target that records the frequency pairs set on its LEDs.
class TFrequencyTarget : public TGeometryTarget {
public:
    bool SetFrequencies(int AFreq1, int AFreq2) override {
        Sent.push_back({AFreq1, AFreq2});
        return true;
    }
    std::vector<TFrequencyPair> Sent;
};

// The symbols ASent stands for in the sensor's codes (-1 for a pair that is none).
std::vector<int> Symbols(const TWD03Sensor& ASensor, const std::vector<TFrequencyPair>& ASent) {
    std::vector<int> symbols;
    for (const TFrequencyPair& pair : ASent) {
        const auto& codes = ASensor.Codes();
        auto it = std::find_if(codes.begin(), codes.end(), [&](const TFrequencyPair& ACode) {
            return ACode.Freq1 == pair.Freq1 && ACode.Freq2 == pair.Freq2;
        });
        symbols.push_back(it == codes.end() ? -1 : int(it - codes.begin()));
    }
    return symbols;
}

// The sensor's echo of the command channel: a 7-byte status packet.
void Echo(TWD03Sensor& ASensor, uint8_t AType, uint8_t ASymbol) {
    TBytes packet = {7 | KSensorPacketStatusBit, ASensor.HardwareId(), 0, 0, AType, ASymbol, 0};
    PutLE16(packet.data() + 2, ASensor.Serial());
    ASensor.Feed(packet.data(), packet.size());
}

TEST(WirelessSensorTest, CommandCodesAreFrequencyPairs) {
    TWD03Sensor sensor(nullptr);
    const std::pair<int, TFrequencyPair> cases[] = {
        {0, {1000, 1200}},  {9, {1000, 3000}},  {10, {1200, 1400}}, {16, {1200, 2600}},
        {33, {1600, 3000}}, {53, {2600, 3000}}, {54, {2800, 3000}}};
    for (const auto& [symbol, pair] : cases) {
        EXPECT_EQ(pair.Freq1, sensor.Codes()[size_t(symbol)].Freq1) << symbol;
        EXPECT_EQ(pair.Freq2, sensor.Codes()[size_t(symbol)].Freq2) << symbol;
    }
}

// Each command is sent symbol by symbol, the next when the sensor echoed the one before; the echo of
// the end symbol returns the LEDs to idle, and the sensor's end report fires the success event.
TEST(WirelessSensorTest, CommandsGoOutSymbolBySymbol) {
    struct TCase {
        const char* Name;
        uint8_t Model;
        std::function<bool(TCustomWirelessSensor&)> Send;
        std::vector<int> Symbols; // empty: refused, nothing sent
    };
    // The longest password: 255 bytes 0x6B, the length byte 0xFF with its repeated nibbles.
    const std::string longest(255, 0x6B);
    std::vector<int> longestSymbols = {16, 9, 15, 33, 15, 33, 15};
    for (int i = 0; i < 255; ++i)
        longestSymbols.insert(longestSymbols.end(), {11, 6});
    longestSymbols.push_back(54);
    const TCase cases[] = {
        {"serial number",
         2,
         [](auto& S) { return static_cast<TWD03Sensor&>(S).SetSerialNumber(0x1234); },
         {16, 1, 15, 2, 0, 4, 3, 2, 1, 54}},
        {"calibration scale",
         6,
         [](auto& S) { return static_cast<TWD03Sensor&>(S).StoreCalibrationScale(0x00000100); },
         {16, 0, 15, 4, 0, 33, 0, 33, 0, 1, 0, 33, 0, 33, 0, 33, 0, 33, 0, 54}},
        {"higher voltage", 5, [](auto& S) { return S.SetHigherVoltage(); }, {16, 2, 15, 0, 33, 0, 54}},
        {"lower voltage", 5, [](auto& S) { return S.SetLowerVoltage(); }, {16, 3, 15, 0, 33, 0, 54}},
        {"no voltage control", 2, [](auto& S) { return S.SetHigherVoltage(); }, {}},
        {"unlock fuse", 7, [](auto& S) { return S.UnlockFuse("\x21"); }, {16, 8, 15, 1, 0, 1, 2, 54}},
        {"lock fuse", 8, [](auto& S) { return S.LockFuse("\x21"); }, {16, 9, 15, 1, 0, 1, 2, 54}},
        {"no fuse", 5, [](auto& S) { return S.UnlockFuse("\x21"); }, {}},
        {"password longer than its length byte",
         7,
         [](auto& S) { return S.UnlockFuse(std::string(256, 'k')); },
         {}},
        {"longest password", 7, [&](auto& S) { return S.LockFuse(longest); }, longestSymbols},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TBytes first = WD03Data(c.Model, 1, 0);
        auto sensor = Create(first);
        ASSERT_NE(nullptr, sensor);
        auto& wd03 = static_cast<TWD03Sensor&>(*sensor);
        TFrequencyTarget target;
        wd03.SetDynamicTarget(&target);
        int successes = 0;
        wd03.OnCommandSuccess = [&](TCustomWirelessSensor*) { ++successes; };
        ASSERT_EQ(!c.Symbols.empty(), c.Send(*sensor));
        if (c.Symbols.empty()) {
            EXPECT_TRUE(target.Sent.empty());
            continue;
        }
        // Each echo brings the next symbol, and the echo of the last one the idle symbol.
        for (size_t i = 0; i < target.Sent.size() && i < c.Symbols.size(); ++i)
            Echo(wd03, 2, uint8_t(Symbols(wd03, {target.Sent[i]})[0]));
        std::vector<int> sent = Symbols(wd03, target.Sent);
        EXPECT_EQ(53, sent.back());
        sent.pop_back();
        EXPECT_EQ(c.Symbols, sent);
        EXPECT_FALSE(wd03.CommandPending());
        Echo(wd03, 1, 54);
        EXPECT_EQ(1, successes);
    }
}

// Echoes that do not follow the command abandon it and set the idle symbol; the sensor's cancel
// report fires the cancel event and abandons the command too, so a later echo of the start symbol
// resumes nothing.
TEST(WirelessSensorTest, UnexpectedEchoesResetTheCommand) {
    struct TCase {
        const char* Name;
        bool Pending; // a serial number command started
        uint8_t Type, Symbol;
        std::vector<int> Sent; // after the start symbol
        int Cancels;
    };
    const TCase cases[] = {
        {"echo with nothing pending", false, 2, 16, {53}, 0},
        {"wrong symbol echoed", true, 2, 5, {53}, 0},
        {"sensor resets", true, 0, 0, {53}, 0},
        {"unknown echo type", true, 7, 16, {53}, 0},
        {"sensor cancelled", true, 1, 53, {53}, 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TWD03Sensor sensor(nullptr);
        TFrequencyTarget target;
        sensor.SetDynamicTarget(&target);
        int cancels = 0;
        sensor.OnCommandCancel = [&](TCustomWirelessSensor*) { ++cancels; };
        if (c.Pending) {
            ASSERT_TRUE(sensor.SetSerialNumber(0x1234));
        }
        target.Sent.clear();
        sensor.HandleCommandAck(c.Type, c.Symbol);
        EXPECT_EQ(c.Sent, Symbols(sensor, target.Sent));
        EXPECT_EQ(c.Cancels, cancels);
        EXPECT_FALSE(sensor.CommandPending());
        // The start symbol's echo arriving late: with nothing pending it only sets the idle symbol.
        target.Sent.clear();
        sensor.HandleCommandAck(2, TWD03Sensor::KSymbolStart);
        EXPECT_EQ(std::vector<int>{53}, Symbols(sensor, target.Sent));
        EXPECT_FALSE(sensor.CommandPending());
    }
    // Nothing to send, or nowhere to send it: refused, and nothing is pending.
    TWD03Sensor sensor(nullptr);
    TFrequencyTarget target;
    EXPECT_FALSE(sensor.SetSerialNumber(1));
    EXPECT_FALSE(sensor.CommandPending());
    sensor.SetDynamicTarget(&target);
    EXPECT_FALSE(sensor.SendCommand(nullptr, 0));
    EXPECT_TRUE(target.Sent.empty());
}

TEST(SimWirelessSensorTest, RefusesWhatItsFieldsCannotHold) {
    TSimWirelessSensorSetup setup;
    setup.ModelCode = 2;
    setup.UnitsPerMm = 0.5; // a distance word beyond 16 bits
    EXPECT_THROW(TSimWirelessSensor{setup}, std::invalid_argument);
    setup.ModelCode = 0;
    setup.DistanceK = 70000; // a coefficient beyond 32 bits
    EXPECT_THROW(TSimWirelessSensor{setup}, std::invalid_argument);
}

} // namespace
