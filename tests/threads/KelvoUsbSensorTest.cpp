#include "MyLib/KelvoUsbSensor.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimOpticalSensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

const TDeviceKey KRightKey = {1, 1, 1, 1, 1, 1, 1, 1};
const TDeviceKey KWrongKey = {2, 2, 2, 2, 2, 2, 2, 2};

struct OpticalSensor : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    // A sensor on the bus; AAdjust sets its state before it is plugged in.
    std::shared_ptr<TSimOpticalSensor>
    Plug(uint16_t AHW, uint16_t AFW, uint16_t APid, TUsbDriverKind ADriver,
         const std::function<void(TSimOpticalSensorState&)>& AAdjust = {}) {
        auto state = std::make_shared<TSimOpticalSensorState>();
        state->VersionHW = AHW;
        state->VersionFW = AFW;
        state->ProductId = APid;
        if (AAdjust)
            AAdjust(*state);
        auto sim = std::make_shared<TSimOpticalSensor>(state, ADriver);
        fBus.Plug(sim);
        return sim;
    }
    std::unique_ptr<TKelvoSensorUsbDevice> Open(const TSimOpticalSensor& ASim) {
        auto device = std::make_unique<TKelvoSensorUsbDevice>(nullptr, ASim.Path());
        EXPECT_TRUE(device->Open());
        return device;
    }
    // Runs AAction and tells whether it sent no request to the device.
    static bool Silent(TSimOpticalSensor& ASim, const std::function<void()>& AAction) {
        uint32_t before = ASim.VendorRequestCount();
        AAction();
        return ASim.VendorRequestCount() == before;
    }
};

struct NewBoard : OpticalSensor, ::testing::WithParamInterface<TUsbDriverKind> {};

// Hostile streams over the bus: after every injected fault (every tenth frame) the sensor goes on
// decoding, and the clean frames at the end give the points of their aims.
TEST_F(OpticalSensor, RecoversFromHostileStreams) {
    struct TCase {
        uint16_t HW, FW;
        TUsbDriverKind Driver;
        TSimOpticalFault Fault;
    };
    for (TCase c : {TCase{5, 11, TUsbDriverKind::Family, TSimOpticalFault::BadSize},
                    TCase{5, 11, TUsbDriverKind::Family, TSimOpticalFault::BadMarker},
                    TCase{5, 11, TUsbDriverKind::Generic, TSimOpticalFault::NonFinite},
                    TCase{5, 11, TUsbDriverKind::Family, TSimOpticalFault::OversizedRead},
                    TCase{2, 10, TUsbDriverKind::Generic, TSimOpticalFault::LoneHalf},
                    TCase{2, 9, TUsbDriverKind::Family, TSimOpticalFault::OversizedRead}}) {
        auto sim = Plug(c.HW, c.FW, 32, c.Driver, [&](TSimOpticalSensorState& S) {
            S.Locked = false;
            S.AutoStream = false;
            S.StreamFault = c.Fault;
            S.StreamFaultEvery = 10;
        });
        auto device = Open(*sim);
        std::vector<TQueuedPoint_V1> points;
        device->Stream().SetOnNewPoint([&](const TQueuedPoint_V1& APoint) { points.push_back(APoint); });
        device->Stream().Aim().SetSmoothing(false);
        ASSERT_TRUE(device->Start());
        std::vector<TSimAimSample> aims;
        for (int i = 0; i < 25; ++i)
            aims.push_back(sim->PushStreamFrame());
        // The stream ends when the bus has been quiet for a while.
        size_t seen;
        do {
            seen = points.size();
            fLoop.RunUntil([] { return false; }, 200);
        } while (points.size() != seen);
        std::string name =
            std::to_string(c.HW) + "/" + std::to_string(c.FW) + " fault " + std::to_string(int(c.Fault));
        ASSERT_GE(points.size(), 3u) << name;
        for (size_t i = 1; i <= 3; ++i) {
            const TQueuedPoint_V1& point = points[points.size() - i];
            const TSimAimSample &aim = aims[aims.size() - i], &before = aims[aims.size() - i - 1];
            double x = c.HW >= 5 ? aim.XMm : (aim.XMm + before.XMm) / 2;
            EXPECT_TRUE(point.valid) << name << " point " << i;
            EXPECT_NEAR(point.xmm, x, c.HW >= 5 ? 1e-3 : 0.5) << name << " point " << i;
        }
        for (const auto& point : points)
            EXPECT_TRUE(!point.valid || std::isfinite(point.xmm + point.ymm)) << name;
        device->Close();
        fBus.Unplug(*sim);
    }
}

} // namespace

TEST(OpticalCalibration, ConvertsFixedPointAndBack) {
    EXPECT_EQ(0x00018000u, CalibrationFactorToValue(1.5f));
    EXPECT_EQ(21845u, CalibrationFactorToValue(1.0f / 3.0f));
    EXPECT_EQ(0u, CalibrationFactorToValue(0.5f / 65536)); // ties to even
    EXPECT_EQ(2u, CalibrationFactorToValue(1.5f / 65536));
    EXPECT_EQ(0xFFFF0000u, CalibrationFactorToValue(-1.0f)); // low 32 bits
    EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, CalibrationFactorToValue(NAN));
    EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, CalibrationFactorToValue(INFINITY));

    TCalibrationInfoBlock block{{0x18000, KELVO_CALIBRATION_NOT_SET, 0, 0x10000}, 0x28000};
    TSensorCalibrationInfo info;
    EXPECT_FALSE(CalibrationBlockToInfo(block, info));
    EXPECT_EQ(1.5f, info.K[0]);
    EXPECT_EQ(1.0f, info.K[1]);
    EXPECT_EQ(0.0f, info.K[2]);
    EXPECT_EQ(2.5f, info.DistanceK);
    block.k[1] = 0x10000;
    EXPECT_TRUE(CalibrationBlockToInfo(block, info));
    auto bytes = CalibrationBlockBytes(block);
    EXPECT_EQ((std::array<uint8_t, 4>{0x00, 0x80, 0x01, 0x00}),
              (std::array<uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]}));
    TCalibrationInfoBlock back = CalibrationBlockFromBytes(bytes.data());
    EXPECT_EQ(0, std::memcmp(&block, &back, sizeof block));
}

TEST_F(OpticalSensor, OldBoardsOpenWithFixedDefaultsAndTheFirstSineTable) {
    for (uint16_t hw : {2, 3}) {
        auto sim = Plug(hw, 9, 32, TUsbDriverKind::Family);
        auto device = Open(*sim);
        EXPECT_EQ(hw, device->fVersionHW);
        EXPECT_EQ(9, device->fVersionFW);
        EXPECT_EQ((TSerialNum{32, 1, 2, 3, 4, 5, 6, 7}), device->fSerialNum);
        EXPECT_TRUE(device->fLocked);
        EXPECT_EQ(KELVO_ALL_REGIONS, device->fRegions);
        EXPECT_EQ(1, device->fProtocolVersionMajor);
        EXPECT_EQ(1, device->fProtocolVersionMinor);
        EXPECT_EQ(hw == 2 ? "LP-01(147)" : "LP-01", device->ModelType());
        EXPECT_EQ(hw == 2 ? "LP-01-147" : "LP-01-235", device->DeveloperName());
        EXPECT_EQ("KELVO USB optical sensor", device->ModelDescription());
        EXPECT_EQ(KELVO_USB_D12, device->UsbTransceiver());
        EXPECT_TRUE(device->NeedToRecoverOptionsAfterUpdate());
        EXPECT_EQ(hw == 2 ? 8000000u : 16000000u, device->ClockFrequency());
        EXPECT_EQ(hw == 2 ? 2048 : 64, device->MinPiezoLevel());
        EXPECT_EQ(hw == 2 ? 0 : 16, device->MinPiezoDelta0());
        EXPECT_EQ(hw == 2 ? 0x1110 : 0x2230, device->ADCParams());
        EXPECT_EQ(0, device->OffScaleADCValue());
        EXPECT_EQ(400u, device->fOscData.size());
        EXPECT_EQ(0, sim->State()->SineTableIndex);
        // Serial, version, lock state and the sine table: nothing of the new boards' set, which an
        // old board does not know.
        EXPECT_EQ(4u, sim->VendorRequestCount());
        uint8_t answer[10];
        EXPECT_FALSE(device->VendorRequestRead(answer, 10, SENSOR_REQ_GET_SAMPLING, 0, 0));

        // Old boards refuse the new boards' settings without asking.
        EXPECT_TRUE(Silent(*sim, [&] {
            EXPECT_FALSE(device->SetOffScaleADCValue(100));
            EXPECT_FALSE(device->SetPiezoParams(1, 2));
            EXPECT_FALSE(device->SetPiezoEdgeDetectionSamples(3));
            EXPECT_FALSE(device->ReconfigureADC(1, 1, 1, true));
            EXPECT_FALSE(device->SetRegions(1, const_cast<PDeviceKey>(&KRightKey)));
            EXPECT_TRUE(device->ResetPacketCounter());
            EXPECT_FALSE(device->SetFrequencies(14, 16));
        }));
        EXPECT_TRUE(device->SetFrequencies(16, 18));
        EXPECT_EQ(1, sim->State()->SineTableIndex);
        EXPECT_EQ(16, device->Freq1());
        EXPECT_EQ(18, device->Freq2());
        fBus.Unplug(*sim);
    }
}

TEST_P(NewBoard, OpensWithTheParametersTheDeviceReports) {
    auto sim = Plug(5, 11, 35, GetParam(), [](TSimOpticalSensorState& S) {
        S.Regions = 0x005;
        S.SamplesPerFrame = 500;
        S.FrameLength = 30000;
        S.ClockFrequency = 24000000;
        S.MinPiezoLevel = 700;
        S.ADCParams = 0x2231;
        S.OffScaleADCValue = 4000;
        S.Freq1Half = 8;
        S.Freq2Half = 9;
    });
    auto device = Open(*sim);
    EXPECT_EQ(GetParam() == TUsbDriverKind::Generic, device->IsWinUsb());
    EXPECT_EQ(35, device->fDeviceDescriptor.idProduct);
    EXPECT_EQ(5, device->fVersionHW);
    EXPECT_EQ(11, device->fVersionFW);
    EXPECT_EQ(0x005, device->fRegions);
    EXPECT_EQ("RU,US", device->RegionsStr());
    EXPECT_EQ(2, device->fProtocolVersionMajor);
    EXPECT_EQ("LP-02", device->ModelType());
    EXPECT_EQ("LP-02", device->DeveloperName());
    EXPECT_EQ(KELVO_USB_MSP430X5XX, device->UsbTransceiver());
    EXPECT_FALSE(device->NeedToRecoverOptionsAfterUpdate());
    EXPECT_EQ(500, device->SamplesPerFrame());
    EXPECT_EQ(30000, device->FrameLength());
    EXPECT_EQ(24000000u, device->ClockFrequency());
    EXPECT_EQ(700, device->MinPiezoLevel());
    EXPECT_EQ(0x2231, device->ADCParams());
    EXPECT_EQ(4000, device->OffScaleADCValue());
    EXPECT_EQ(16, device->Freq1());
    EXPECT_EQ(18, device->Freq2());
    EXPECT_EQ(333u, device->fOscData.size()); // 500 x 20000 / 30000, rounded

    EXPECT_TRUE(Silent(*sim, [&] { EXPECT_FALSE(device->SetFrequencies(13, 14)); }));
    EXPECT_TRUE(device->SetFrequencies(20, 24));
    EXPECT_EQ(10, sim->State()->Freq1Half);
    EXPECT_TRUE(device->ReconfigureADC(1, 2, 3, true));
    EXPECT_EQ(0x1100 + 64 + 24 + 1, sim->State()->ADCParams);
    EXPECT_TRUE(device->SetPiezoParams(300, 20));
    EXPECT_TRUE(device->SetPiezoEdgeDetectionSamples(7));
    EXPECT_TRUE(device->GetPiezoParams());
    EXPECT_EQ(300, device->MinPiezoLevel());
    EXPECT_EQ(7, device->PiezoEdgeDetectionSamples());
    EXPECT_TRUE(device->SetOffScaleADCValue(3000));
    EXPECT_EQ(3000, sim->State()->OffScaleADCValue);
    EXPECT_TRUE(device->ResetPacketCounter());
    EXPECT_EQ(1, sim->State()->PacketCounterResets);
    EXPECT_TRUE(device->SetOscMode(true, 3));
    EXPECT_TRUE(sim->State()->OscMode);
    EXPECT_EQ(3, sim->State()->OscChannel);
    EXPECT_TRUE(device->SetOscMode(false, 0));
    EXPECT_FALSE(device->fOscMode);

    // Regions need the key, which the device checks.
    EXPECT_TRUE(Silent(*sim, [&] { EXPECT_FALSE(device->SetRegions(0x003, nullptr)); }));
    TDeviceKey wrong = KWrongKey, right = KRightKey;
    EXPECT_FALSE(device->SetRegions(0x003, &wrong));
    EXPECT_EQ(0x005, device->fRegions);
    EXPECT_TRUE(device->SetRegions(0x003, &right));
    EXPECT_EQ(0x003, sim->State()->Regions);
    EXPECT_EQ(0x003, device->fRegions);
}

INSTANTIATE_TEST_SUITE_P(Bindings, NewBoard,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

TEST_F(OpticalSensor, FirmwareTenAndOtherBoardsAnswerFromDefaults) {
    auto sim = Plug(5, 10, 35, TUsbDriverKind::Generic, [](TSimOpticalSensorState& S) { S.Regions = 0x005; });
    auto device = Open(*sim);
    EXPECT_EQ(KELVO_ALL_REGIONS, device->fRegions);
    EXPECT_EQ(1, device->fProtocolVersionMajor);
    EXPECT_EQ(1, device->fProtocolVersionMinor);
    EXPECT_TRUE(device->NeedToRecoverOptionsAfterUpdate());
    TDeviceKey key = KRightKey;
    EXPECT_TRUE(Silent(*sim, [&] {
        EXPECT_FALSE(device->SetRegions(0x003, &key));
        EXPECT_FALSE(device->CheckStubInfo());
    }));
    device->fVersionHW = 6;
    EXPECT_EQ("unknown", device->ModelType());
    EXPECT_EQ("LP-??", device->DeveloperName());
    device->fVersionHW = 4;
    EXPECT_EQ("LP-??", device->DeveloperName());
}

TEST_F(OpticalSensor, UnlockAndLockFollowTheFirmwareGeneration) {
    // Firmware 4 and later refuses a wrong key.
    auto sim = Plug(5, 11, 35, TUsbDriverKind::Generic);
    auto device = Open(*sim);
    EXPECT_FALSE(device->Unlock(KWrongKey));
    EXPECT_TRUE(device->fLocked);
    EXPECT_FALSE(device->Start());
    EXPECT_TRUE(device->Unlock(KRightKey));
    EXPECT_FALSE(device->fLocked);
    EXPECT_TRUE(device->fUnlockSuccessful);
    EXPECT_TRUE(device->Start());
    EXPECT_TRUE(sim->State()->Measuring);
    EXPECT_FALSE(device->Lock(KWrongKey));
    EXPECT_TRUE(device->Lock(KRightKey));
    EXPECT_TRUE(device->fLocked);
    EXPECT_TRUE(sim->State()->Locked);
    // Destroying an open sensor stops its measuring.
    device.reset();
    EXPECT_FALSE(sim->State()->Measuring);
    fBus.Unplug(*sim);

    // Firmware 3 acknowledges any key: the lock state read back tells, and a refused start locks the
    // object again.
    sim = Plug(2, 3, 32, TUsbDriverKind::Family);
    device = Open(*sim);
    EXPECT_FALSE(device->Unlock(KWrongKey));
    EXPECT_FALSE(device->fLocked);
    EXPECT_FALSE(device->Start());
    EXPECT_TRUE(device->fLocked);
    EXPECT_FALSE(device->fUnlockSuccessful);
    EXPECT_TRUE(device->Unlock(KRightKey));
    EXPECT_TRUE(device->Start());
    EXPECT_TRUE(device->Lock(KRightKey));
    EXPECT_TRUE(device->fLocked);
    EXPECT_TRUE(sim->State()->Locked);
    fBus.Unplug(*sim);

    // Hardware 1 with firmware 3: the request's answer is the result; its lock is not trusted.
    sim = Plug(1, 3, 32, TUsbDriverKind::Family);
    device = Open(*sim);
    EXPECT_TRUE(device->Unlock(KWrongKey));
    EXPECT_TRUE(device->Lock(KRightKey));
    EXPECT_FALSE(device->fLocked);
    fBus.Unplug(*sim);

    // Firmware 1 cannot report its lock: always locked, never asked.
    sim = Plug(2, 1, 32, TUsbDriverKind::Family, [](TSimOpticalSensorState& S) { S.Locked = false; });
    device = Open(*sim);
    EXPECT_TRUE(device->fLocked);
    bool locked = false;
    EXPECT_TRUE(Silent(*sim, [&] { EXPECT_TRUE(device->GetLocked(locked)); }));
    EXPECT_TRUE(locked);
}

TEST_P(NewBoard, CalibrationSurvivesSaveAndRestore) {
    auto sim = Plug(5, 11, 35, GetParam(), [](TSimOpticalSensorState& S) {
        S.Calibration = S.FlashCalibration = SimCalibrationBytes(0x18000, 0x5555, 0x10000, 0x20000, 0x28000);
    });
    auto device = Open(*sim);
    EXPECT_FALSE(device->Calibrated());
    EXPECT_FALSE(device->IsDistanceKValid());
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_TRUE(device->Calibrated());
    EXPECT_EQ(1.5f, device->CalibrationInfo().K[0]);
    EXPECT_FLOAT_EQ(21845.0f / 65536, device->CalibrationInfo().K[1]);
    EXPECT_EQ(2.5f, device->CalibrationInfo().DistanceK);
    EXPECT_TRUE(device->IsCalibrationValid());
    EXPECT_TRUE(device->IsDistanceKValid());
    const TCalibrationInfoBlock saved = device->fCalibrationRawData;
    EXPECT_EQ(0x5555u, saved.k[1]);

    // The update loses the calibration; the saved block goes back as it was and into flash.
    ASSERT_TRUE(device->ResetCalibrationInfo());
    EXPECT_FALSE(device->IsDistanceKValid());
    EXPECT_TRUE(device->ApplyCalibrationInfo());
    EXPECT_FALSE(device->Calibrated());
    EXPECT_EQ(SIM_CALIBRATION_ERASED, sim->State()->FlashCalibration);
    ASSERT_TRUE(device->SetCalibrationInfo(saved));
    ASSERT_TRUE(device->ApplyCalibrationInfo());
    EXPECT_TRUE(device->Calibrated());
    EXPECT_EQ(SimCalibrationBytes(0x18000, 0x5555, 0x10000, 0x20000, 0x28000),
              sim->State()->FlashCalibration);

    // The numbers form writes rounded fixed point.
    device->fCalibration = {{1.5f, 1.0f / 3.0f, 1.0f, 0.25f}, 3.0f};
    ASSERT_TRUE(device->SetCalibrationInfo());
    EXPECT_EQ(SimCalibrationBytes(0x18000, 21845, 0x10000, 0x4000, 0x30000), sim->State()->Calibration);
    EXPECT_EQ(0x4000u, device->fCalibrationRawData.k[3]);

    // The distance factor fixes the scale of a static target.
    EXPECT_TRUE(device->SetStaticTarget(30.0, 0, 91, 0, -91));
    EXPECT_DOUBLE_EQ(10.0, device->Stream().Aim().Scale());
    EXPECT_DOUBLE_EQ(30.0, device->Distance());
    EXPECT_DOUBLE_EQ(182.0, device->Stream().Aim().LedsDistance());
}

TEST_F(OpticalSensor, AnUnsetCalibrationIsSavedAndRestoredUnchanged) {
    auto sim = Plug(2, 9, 32, TUsbDriverKind::Family); // never calibrated
    auto device = Open(*sim);
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_FALSE(device->Calibrated());
    EXPECT_EQ(1.0f, device->CalibrationInfo().K[2]);
    const TCalibrationInfoBlock saved = device->fCalibrationRawData;
    for (uint32_t k : saved.k)
        EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, k);
    EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, saved.d);
    sim->State()->Calibration = SimCalibrationBytes(1, 2, 3, 4, 5);
    ASSERT_TRUE(device->SetCalibrationInfo(saved));
    ASSERT_TRUE(device->ApplyCalibrationInfo());
    EXPECT_FALSE(device->Calibrated());
    EXPECT_EQ(SIM_CALIBRATION_ERASED, sim->State()->FlashCalibration);
}

TEST_F(OpticalSensor, FailedRequestsLeaveCachedValues) {
    auto sim = Plug(5, 11, 35, TUsbDriverKind::Family, [](TSimOpticalSensorState& S) {
        S.Calibration = SimCalibrationBytes(0x18000, 0x18000, 0x18000, 0x18000, 0x18000);
    });
    sim->SetUnansweredLimit(std::chrono::milliseconds(300));
    auto device = Open(*sim);
    device->fRequestTimeout = 30;
    ASSERT_TRUE(device->GetCalibrationInfo());
    auto next = [&] { return sim->VendorRequestCount() + 1; };

    // A short calibration block stores nothing but clears the calibrated flag.
    sim->SetFault(next(), {TSimFaultKind::Short, 0, 1});
    sim->State()->Calibration = SimCalibrationBytes(1, 1, 1, 1, 1);
    EXPECT_FALSE(device->GetCalibrationInfo());
    EXPECT_FALSE(device->Calibrated());
    EXPECT_EQ(0x18000u, device->fCalibrationRawData.k[0]);
    EXPECT_EQ(1.5f, device->CalibrationInfo().K[0]);

    // The k part can be written while the d part fails.
    sim->SetFault(next() + 1, {TSimFaultKind::Stall});
    EXPECT_FALSE(
        device->SetCalibrationInfo(TCalibrationInfoBlock{{0x20000, 0x20000, 0x20000, 0x20000}, 0x20000}));
    EXPECT_EQ(2.0f, device->CalibrationInfo().K[3]);
    EXPECT_EQ(0x18000u, device->fCalibrationRawData.d);
    EXPECT_EQ(1.5f, device->CalibrationInfo().DistanceK);

    // Fail, stall, short answer and time-out: the getters keep what they had.
    sim->SetFault(next(), {TSimFaultKind::Fail});
    TSerialNum serial = device->fSerialNum;
    EXPECT_FALSE(device->GetSerialNum(nullptr));
    EXPECT_EQ(serial, device->fSerialNum);
    sim->SetFault(next(), {TSimFaultKind::Short, 0, 1});
    EXPECT_FALSE(device->GetSamplingParameters());
    EXPECT_EQ(400, device->SamplesPerFrame());
    sim->SetFault(next(), {TSimFaultKind::Timeout});
    EXPECT_FALSE(device->GetPiezoParams());
    EXPECT_EQ(512, device->MinPiezoLevel());
    sim->SetFault(next(), {TSimFaultKind::Stall});
    EXPECT_FALSE(device->SetPiesoLevel(900));
    EXPECT_EQ(900, device->MinPiezoLevel()); // stored anyway
    sim->SetFault(next(), {TSimFaultKind::Stall});
    uint16_t regions = 0;
    EXPECT_FALSE(device->GetRegions(&regions));
    EXPECT_EQ(0, regions);
    EXPECT_EQ(KELVO_ALL_REGIONS, device->fRegions);

    // The version read falls back to the earliest sensor's versions.
    sim->SetFault(next(), {TSimFaultKind::Fail});
    uint16_t hw = 7, fw = 7;
    EXPECT_FALSE(device->GetVersion(hw, fw));
    EXPECT_EQ(7, hw);
    EXPECT_EQ(2, device->fVersionHW);
    EXPECT_EQ(1, device->fVersionFW);

    // Dropping off the bus fails this request and every later one.
    sim->SetFault(next(), {TSimFaultKind::DropOff});
    EXPECT_FALSE(device->Stop());
    EXPECT_FALSE(sim->IsAttached());
    EXPECT_FALSE(device->GetCalibrationInfo());
}

TEST_F(OpticalSensor, UntrustedDeviceValuesAreRefused) {
    // A frame length of 0 would divide the oscilloscope sizing: refused, the open still succeeds.
    auto sim = Plug(5, 11, 35, TUsbDriverKind::Generic, [](TSimOpticalSensorState& S) {
        S.FrameLength = 0;
        S.SamplesPerFrame = 999;
        S.Freq1Half = 200; // twice that is no byte
        S.Calibration = SimCalibrationBytes(0x10000, 0x10000, 0x10000, 0x10000, 0);
    });
    auto device = Open(*sim);
    EXPECT_TRUE(device->Opened());
    EXPECT_FALSE(device->GetSamplingParameters());
    EXPECT_EQ(400, device->SamplesPerFrame());
    EXPECT_EQ(20000, device->FrameLength());
    EXPECT_EQ(400u, device->fOscData.size());
    EXPECT_FALSE(device->GetFrequencies());
    EXPECT_EQ(12, device->Freq1());

    // A distance factor of 0 gives no scale.
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_EQ(0.0f, device->CalibrationInfo().DistanceK);
    EXPECT_FALSE(device->SetStaticTarget(10.0, 0, 91, 0, -91));
    EXPECT_EQ(0.5, device->Stream().Aim().Scale());
    fBus.Unplug(*sim);

    // An oscilloscope buffer of 65535 x 20000 samples is not allocated.
    sim = Plug(5, 11, 35, TUsbDriverKind::Generic, [](TSimOpticalSensorState& S) {
        S.FrameLength = 1;
        S.SamplesPerFrame = 65535;
    });
    device = Open(*sim);
    EXPECT_EQ(65535, device->SamplesPerFrame());
    EXPECT_EQ(400u, device->fOscData.size());
}

TEST_F(OpticalSensor, AnswersTheBootloaderRequestsAndLeavesTheBus) {
    auto sim = Plug(2, 10, 32, TUsbDriverKind::Family, [](TSimOpticalSensorState& S) { S.StubActual = 2; });
    auto device = Open(*sim);
    TKelvoStubVersion version{};
    ASSERT_TRUE(device->GetStubVersion(&version));
    EXPECT_EQ(2, version.ActualStubVersion);
    EXPECT_TRUE(device->HasUsb30CompatibilityIssue());
    EXPECT_TRUE(device->CheckStubInfo());
    // A calibration written but not taken into use does not survive the restart.
    ASSERT_TRUE(
        device->SetCalibrationInfo(TCalibrationInfoBlock{{0x20000, 0x20000, 0x20000, 0x20000}, 0x20000}));
    EXPECT_TRUE(device->SwitchToStub());
    EXPECT_FALSE(sim->IsAttached());
    EXPECT_EQ(1, sim->State()->StubSwitches);
    EXPECT_FALSE(device->GetSerialNum(nullptr));

    // The same device comes back with its state.
    sim->State()->PowerUp();
    auto back = std::make_shared<TSimOpticalSensor>(sim->State(), TUsbDriverKind::Family);
    fBus.Plug(back);
    device = Open(*back);
    EXPECT_EQ((TSerialNum{32, 1, 2, 3, 4, 5, 6, 7}), device->fSerialNum);
    ASSERT_TRUE(device->GetCalibrationInfo());
    EXPECT_EQ(KELVO_CALIBRATION_NOT_SET, device->fCalibrationRawData.d);
}

// The stream end to end: the simulated board's frames through either binding to aiming points that
// follow the board's aiming path.
TEST_F(OpticalSensor, StreamsAimingPointsOverEitherBinding) {
    struct TCase {
        uint16_t HW, FW;
        TUsbDriverKind Driver;
    };
    for (TCase c : {TCase{5, 11, TUsbDriverKind::Family}, TCase{5, 11, TUsbDriverKind::Generic},
                    TCase{2, 10, TUsbDriverKind::Family}, TCase{2, 9, TUsbDriverKind::Family},
                    TCase{2, 10, TUsbDriverKind::Generic}}) {
        auto sim = Plug(c.HW, c.FW, 32, c.Driver, [](TSimOpticalSensorState& S) {
            S.Locked = false;
            S.AutoStream = false;
        });
        auto device = Open(*sim);
        std::vector<TQueuedPoint_V1> points;
        device->Stream().SetOnNewPoint([&](const TQueuedPoint_V1& APoint) { points.push_back(APoint); });
        device->Stream().Aim().SetStaticTarget(0.5, 1, 0, 91, 0, -91);
        device->Stream().Aim().SetSmoothing(false);
        ASSERT_TRUE(device->Start());
        std::vector<TSimAimSample> aims;
        for (int i = 0; i < 50; ++i)
            aims.push_back(sim->PushStreamFrame());
        ASSERT_TRUE(fLoop.RunUntil([&] { return points.size() >= aims.size(); }, 10000)) << c.HW << c.FW;
        double tolerance = c.HW >= 5 ? 1e-3 : 0.5;
        for (size_t i = 1; i < aims.size(); ++i) {
            // Old boards add two frames' sums: their point lies between the two aims.
            double x = c.HW >= 5 ? aims[i].XMm : (aims[i].XMm + aims[i - 1].XMm) / 2;
            EXPECT_TRUE(points[i].valid);
            EXPECT_NEAR(points[i].xmm, x, tolerance) << i;
        }
        EXPECT_EQ(points.back().dwCounter, c.HW >= 5 ? 49u : 50u);
        device->Close();
        fBus.Unplug(*sim);
    }
}
