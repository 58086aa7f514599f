// Wireless sensors end to end: the simulated sensors stream through the simulated controller, the
// library's controller hands their packets to its sensor objects, and the points follow the aiming
// path the simulation encodes. Commands go back over the optical channel to the simulated sensor.
#include "MyLib/KelvoUsbWireless1.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimWirelessController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace {

TSimRadioSensorSetup SensorSetup(uint8_t AModelCode, uint16_t ASerial, uint32_t ASeed) {
    TSimRadioSensorSetup setup;
    setup.Sensor.ModelCode = AModelCode;
    setup.Sensor.Serial = ASerial;
    setup.Seed = ASeed;
    setup.Sensor.UpperGroupFirst = true;
    return setup;
}

struct RadioBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::vector<std::string> fLines;
    std::shared_ptr<TSimWirelessState> fState = std::make_shared<TSimWirelessState>();
    std::shared_ptr<TSimWirelessController> fSim;
    std::unique_ptr<TKelvoWireless> fDevice;
    std::map<uint16_t, std::vector<TQueuedPoint_V1>> fPoints; // by the serial of the sensor object
    std::vector<TCustomWirelessSensor*> fNewSensors;

    // A standard target at index 1 and the sensors aimed at it; the radio powered.
    void Start(const std::vector<TSimRadioSensorSetup>& ASensors) {
        fState->Targets.push_back(TSimRadioTarget{});
        for (const auto& setup : ASensors)
            fState->Sensors.emplace_back(setup);
        fSim = std::make_shared<TSimWirelessController>(fState, TUsbDriverKind::Family);
        fBus.Plug(fSim);
        fDevice = std::make_unique<TKelvoWireless>(nullptr, fSim->Path());
        fDevice->fLog = &fLines;
        fDevice->fLogging = true;
        ASSERT_TRUE(fDevice->Open());
        fDevice->fOnNewSensor = [this](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
            fNewSensors.push_back(ASensor);
            ASensor->OnNewPoint = [this](TCustomWirelessSensor* ASender, PQueuedPoint P) {
                fPoints[ASender->Serial()].push_back(*P);
            };
        };
        ASSERT_TRUE(fDevice->TurnPowerOn());
    }
    bool Collect(uint16_t ASerial, size_t APoints) {
        return fLoop.RunUntil([&] { return fPoints[ASerial].size() >= APoints; }, 20000);
    }
    TCustomWirelessSensor* SensorWith(uint16_t ASerial) {
        for (TCustomWirelessSensor* sensor : fDevice->Sensors())
            if (sensor->Serial() == ASerial)
                return sensor;
        return nullptr;
    }
    TSimRadioSensorReport Report(size_t AIndex) {
        std::lock_guard lock(fState->Mutex);
        return fState->Sensors[AIndex].Report();
    }
};

} // namespace

// Every third packet is sent inverted; all decode. Once the filters have settled (100 points, one to
// two seconds of the path) the smoothing lags the path by well under the 1.5 mm allowed on average:
// the path moves at most some 20 mm/s outside shots, and the sensor's units are 0.1 mm.
TEST_F(RadioBench, PointsFollowTheAimingPath) {
    Start({SensorSetup(0, 11, 5), SensorSetup(2, 22, 6)});
    ASSERT_TRUE(Collect(11, 300));
    ASSERT_TRUE(Collect(22, 300));
    const struct {
        uint16_t Serial;
        uint32_t Seed;
        uint32_t PointsPerPacket, CounterMask;
    } cases[] = {{11, 5, 1, 0xFF}, {22, 6, 2, 0x7F}};
    for (const auto& c : cases) {
        TSimAimPath path(c.Seed);
        const auto& points = fPoints[c.Serial];
        double error = 0;
        for (size_t i = 0; i < 300; ++i) {
            const TSimAimSample aim = path.Next();
            ASSERT_EQ((i / c.PointsPerPacket) & c.CounterMask, points[i].dwCounter) << c.Serial << " " << i;
            ASSERT_TRUE(points[i].valid || i < 12) << c.Serial << " " << i;
            if (i >= 100)
                error += std::hypot(points[i].xmm - aim.XMm, points[i].ymm - aim.YMm);
        }
        EXPECT_LT(error / 200, 1.5) << c.Serial;
        const TCustomWirelessSensor* sensor = SensorWith(c.Serial);
        ASSERT_NE(nullptr, sensor);
        EXPECT_EQ(0u, sensor->DroppedPackets());
        const TKelvoTargetObject* target = sensor->Target();
        ASSERT_NE(nullptr, target);
        EXPECT_EQ(1, target->fIndex);
    }
    EXPECT_EQ(2u, fNewSensors.size());
}

// Hostile packets: a sensor packet longer than the bytes received is dropped by the controller with
// its log line; one too short for its kind by the sensor, counted. The others still arrive.
TEST_F(RadioBench, HostilePacketsAreDroppedAndCounted) {
    TSimRadioSensorSetup longer = SensorSetup(0, 11, 1), shorter = SensorSetup(2, 22, 2);
    longer.Sensor.Fault = TSimWirelessFault::LengthBeyondBytes;
    shorter.Sensor.Fault = TSimWirelessFault::BelowMinimum;
    longer.Sensor.FaultEvery = shorter.Sensor.FaultEvery = 4;
    Start({longer, shorter});
    ASSERT_TRUE(Collect(11, 60));
    ASSERT_TRUE(Collect(22, 60));
    // Three good packets for each hostile one (the first packet made the sensor, so it is good).
    const TCustomWirelessSensor* wd03 = SensorWith(22);
    ASSERT_NE(nullptr, wd03);
    EXPECT_NEAR(double(fPoints[22].size()) / 2, 3.0 * double(wd03->DroppedPackets()), 3);
    EXPECT_GE(wd03->DroppedPackets(), 5u);
    size_t badLength = 0;
    for (const auto& line : fLines)
        badLength += line.rfind("BAD PACKET, sensor length", 0) == 0;
    EXPECT_NEAR(double(fPoints[11].size()), 3.0 * double(badLength), 3);
    EXPECT_GE(badLength, 5u);
    const TCustomWirelessSensor* wdm01 = SensorWith(11);
    ASSERT_NE(nullptr, wdm01);
    EXPECT_EQ(0u, wdm01->DroppedPackets());
}

// SetSerialNumber and StoreCalibrationScale travel symbol by symbol through the target's LEDs; the
// simulated sensor applies them, confirms, and later packets carry the new serial number.
TEST_F(RadioBench, CommandsReachTheSensor) {
    TSimRadioSensorSetup raw = SensorSetup(2, 22, 1);
    raw.Sensor.RawMode = true;
    Start({raw});
    ASSERT_TRUE(Collect(22, 2));
    auto* sensor = dynamic_cast<TWD03Sensor*>(SensorWith(22));
    ASSERT_NE(nullptr, sensor);
    int successes = 0, cancels = 0;
    sensor->OnCommandSuccess = [&](TCustomWirelessSensor*) { ++successes; };
    sensor->OnCommandCancel = [&](TCustomWirelessSensor*) { ++cancels; };

    ASSERT_TRUE(sensor->StoreCalibrationScale(0x01000000));
    ASSERT_TRUE(fLoop.RunUntil([&] { return successes == 1; }, 20000));
    EXPECT_EQ(0x01000000u, Report(0).ScaleWord);
    // The raw scale word reaches the library's sensor: word / 251658240 * 190 / 50.
    fPoints.clear();
    ASSERT_TRUE(Collect(22, 4));
    EXPECT_NEAR(16777216.0 / 251658240 * 190 / 50, fPoints[22].back().scale, 1e-9);

    ASSERT_TRUE(sensor->SetSerialNumber(0x0539));
    ASSERT_TRUE(fLoop.RunUntil([&] { return successes == 2; }, 20000));
    ASSERT_TRUE(Collect(0x0539, 2));
    EXPECT_EQ(0, cancels);
    EXPECT_EQ(2u, fNewSensors.size());
    const TSimRadioSensorReport report = Report(0);
    EXPECT_EQ(0x0539, report.Serial);
    EXPECT_EQ(2u, report.CommandsApplied);
    EXPECT_EQ(0u, report.CommandsAbandoned);
}
