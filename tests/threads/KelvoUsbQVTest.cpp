#include "MyLib/KelvoUsbQV.h"
#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimCameraSensor.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace {

// A copy of a field of a packed record: the checks take references, which a packed field cannot bind.
template <typename T> T Value(T AValue) {
    return AValue;
}

// Flash-parameter bytes laid out by hand, so a layout mistake on either side shows.
std::array<uint8_t, 26> FlashBytes(uint32_t ADistance, uint16_t ACx, uint16_t ACy, float AScale, float ALens,
                                   uint8_t ANoiseFirst, uint16_t AModel) {
    std::array<uint8_t, 26> b{};
    PutLE32(&b[0], ADistance);
    PutLE16(&b[4], ACx);
    PutLE16(&b[6], ACy);
    PutLE32(&b[8], std::bit_cast<uint32_t>(AScale));
    PutLE32(&b[12], std::bit_cast<uint32_t>(ALens));
    for (int i = 0; i < 8; ++i)
        b[16 + i] = uint8_t(ANoiseFirst + i);
    PutLE16(&b[24], AModel);
    return b;
}

std::array<uint8_t, 8> Bytes8(const TQVSysInfo& AInfo) {
    std::array<uint8_t, 8> b;
    std::memcpy(b.data(), &AInfo, 8);
    return b;
}

struct CameraBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::shared_ptr<TSimCameraSensorState> fState = std::make_shared<TSimCameraSensorState>();
    std::shared_ptr<TSimCameraSensor> fDevice;
    std::unique_ptr<TKelvoUsbQVSensor> fSensor;

    // Plugs a sensor of the given versions and opens the host object on it.
    TKelvoUsbQVSensor& Open(uint16_t AHW, uint16_t AFW, TUsbDriverKind ADriver = TUsbDriverKind::Generic) {
        fState->VersionHW = AHW;
        fState->VersionFW = AFW;
        fDevice = std::make_shared<TSimCameraSensor>(fState, ADriver);
        fBus.Plug(fDevice);
        fSensor = std::make_unique<TKelvoUsbQVSensor>(nullptr, fDevice->Path());
        EXPECT_TRUE(fSensor->Open());
        return *fSensor;
    }
    uint32_t Requests() const { return fDevice->VendorRequestCount(); }
};

class CameraBinding : public CameraBench, public ::testing::WithParamInterface<TUsbDriverKind> {};
using CameraSensor = CameraBench;

} // namespace

TEST_P(CameraBinding, OpenReadsIdentityRecordsAndSettings) {
    fState->Serial = {31, 1, 2, 3, 4, 5, 6, 7};
    fState->Regions = 0x005;
    fState->Locked = true;
    fState->FlashParams = FlashBytes(100 << 16, 370, 250, 1.5f, 60.0f, 20, 2);
    fState->Working[1] = 177;
    fState->Working[21] = 50;
    fState->Working[19] = 0;
    fState->FollowZoneRadius = 123;
    TKelvoUsbQVSensor& s = Open(3, 35, GetParam());

    EXPECT_EQ(GetParam() == TUsbDriverKind::Generic, s.IsWinUsb());
    EXPECT_EQ(QV_PRODUCT_ID, s.fProductId);
    EXPECT_EQ((TSerialNum{31, 1, 2, 3, 4, 5, 6, 7}), s.fSerialNum);
    EXPECT_TRUE(s.fSerialNumValid);
    EXPECT_EQ(3, s.fVersionHW);
    EXPECT_EQ(35, s.fVersionFW);
    EXPECT_TRUE(s.fLocked);
    EXPECT_EQ(0x005, s.fRegions);
    EXPECT_EQ(18, s.fProtocolVersionMajor); // through the family request on this firmware

    EXPECT_EQ(2, s.Model());
    EXPECT_TRUE(s.IsArchery());
    EXPECT_EQ("QV-A02V2", s.ModelType());
    EXPECT_EQ("QV-02V2 ARCHERY", s.DeveloperName());
    EXPECT_EQ("KELVO Archery sensor", s.ModelDescription());
    EXPECT_EQ(KELVO_USB_MSP430X5XX, s.UsbTransceiver());
    EXPECT_FALSE(s.NeedToRecoverOptionsAfterUpdate());
    EXPECT_TRUE(s.CanChangeRegions());
    EXPECT_EQ("QV:" + Code128Word(0x005) + Code128Word(2) + Code128Serial(s.fSerialNum), s.Code128());

    EXPECT_EQ(uint32_t(100 << 16), s.fCalibratedDistance);
    EXPECT_TRUE(s.IsDistanceCalibrated());
    EXPECT_EQ(370, s.fMT9CenterX);
    EXPECT_EQ(250, s.fMT9CenterY);
    EXPECT_FLOAT_EQ(1.5f, s.fScaleK);
    EXPECT_FLOAT_EQ(60.0f, s.fLensDistance);
    EXPECT_EQ(27, s.fFlashParams.RowNoiseConst[7]);
    EXPECT_TRUE(s.fAccCalibrationOk);
    EXPECT_EQ(1003, Value(s.fAccCalibration.ZOffs));
    EXPECT_EQ(177, s.fBlackLevel);
    EXPECT_EQ(50, s.fFPS);
    EXPECT_FALSE(s.fUseAccCalibration);
    EXPECT_EQ(123, s.fFollowZoneRadius);
    EXPECT_EQ(9999, s.fTimerValue);
    EXPECT_EQ(32, s.fShutterWidth);
    EXPECT_EQ(38, s.fBiathlonTargetsDistancePix);

    // Edition 0 on the same board.
    fState->SetEdition(0);
    ASSERT_TRUE(s.ReadFlashParams());
    EXPECT_EQ("QV-02V2", s.ModelType());
    EXPECT_EQ("QV-02V2", s.DeveloperName());
    EXPECT_EQ("KELVO QV-02 sensor", s.ModelDescription());
    s.Close();
}

INSTANTIATE_TEST_SUITE_P(Bindings, CameraBinding,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

TEST_F(CameraSensor, NamesFollowBoardAndEdition) {
    TKelvoUsbQVSensor& s = Open(1, 35);
    const struct {
        uint16_t HW, Edition;
        const char *Type, *Developer, *Description;
    } cases[] = {
        {1, 1, "QV-T01-B", "QV-01 BASIC", "KELVO BASIC sensor"},
        {2, 3, "QV-T02-B", "QV-02 BASIC", "KELVO BASIC sensor"},
        {4, 4, "QV-T02V1", "QV-02V1 RVK/DLT", "KELVO RVK/DLT sensor"},
        {5, 5, "QV-02V3(S)", "QV-02V3-S", "KELVO QV-02S sensor"},
        {3, 5, "QV-02S", "QV-02V2-S", "KELVO QV-02S sensor"},
        {6, 2, "unknown", "QV-?? ARCHERY", "KELVO Archery sensor"},
        {2, 9, "QV-02", "QV-02", "KELVO QV-02 sensor"},
    };
    for (const auto& c : cases) {
        s.fVersionHW = c.HW;
        s.fFlashParams.Model = c.Edition;
        EXPECT_EQ(c.Type, s.ModelType()) << c.HW << "/" << c.Edition;
        EXPECT_EQ(c.Developer, s.DeveloperName()) << c.HW << "/" << c.Edition;
        EXPECT_EQ(c.Description, s.ModelDescription()) << c.HW << "/" << c.Edition;
    }
}

TEST_F(CameraSensor, LockUnlockRegionsAndParameterChangeCheckTheKey) {
    fState->Locked = true;
    TKelvoUsbQVSensor& s = Open(2, 31);
    const TDeviceKey right = {1, 2, 3, 4, 5, 6, 7, 8};
    TDeviceKey wrong = {1, 2, 3, 4, 5, 6, 7, 9};
    EXPECT_FALSE(s.Unlock(wrong));
    EXPECT_TRUE(s.fLocked);
    EXPECT_TRUE(s.Unlock(right));
    EXPECT_FALSE(s.fLocked);
    bool locked = true;
    ASSERT_TRUE(s.GetLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_FALSE(s.Lock(wrong));
    EXPECT_FALSE(s.fLocked);
    EXPECT_TRUE(s.Lock(right));
    EXPECT_TRUE(fState->Locked);

    EXPECT_FALSE(s.SetRegions(0x002, nullptr));
    EXPECT_FALSE(s.SetRegions(0x002, &wrong));
    EXPECT_EQ(KELVO_ALL_REGIONS, s.fRegions);
    TDeviceKey key = right;
    EXPECT_TRUE(s.SetRegions(0x002, &key));
    EXPECT_EQ(0x002, fState->Regions);
    uint16_t regions = 0;
    ASSERT_TRUE(s.GetRegions(&regions));
    EXPECT_EQ(0x002, regions);
    EXPECT_EQ("EU", s.RegionsStr());

    EXPECT_FALSE(s.EnableParametersChange(wrong));
    EXPECT_TRUE(s.EnableParametersChange(right));
    EXPECT_TRUE(fState->ParametersChangeEnabled);
    EXPECT_TRUE(s.DisableParametersChange());
    EXPECT_FALSE(fState->ParametersChangeEnabled);
}

TEST_F(CameraSensor, RegionsAndRecoveryFollowTheFirmware) {
    fState->Regions = 0x001;
    TKelvoUsbQVSensor& s = Open(2, 18);
    EXPECT_TRUE(s.NeedToRecoverOptionsAfterUpdate());
    EXPECT_FALSE(s.CanChangeRegions());
    EXPECT_EQ(KELVO_ALL_REGIONS, s.fRegions); // not asked: this firmware keeps no regions
    TDeviceKey key = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint32_t before = Requests();
    EXPECT_FALSE(s.SetRegions(0x001, &key));
    EXPECT_TRUE(s.EnableParametersChange(key)); // nothing to enable before firmware 28
    EXPECT_TRUE(s.DisableParametersChange());
    EXPECT_FALSE(s.ResetToDefaults());
    EXPECT_EQ(before, Requests());
    s.Close();

    TKelvoUsbQVSensor& newer = Open(2, 19);
    EXPECT_FALSE(newer.NeedToRecoverOptionsAfterUpdate());
    EXPECT_TRUE(newer.CanChangeRegions());
    EXPECT_EQ(0x001, newer.fRegions);
}

TEST_F(CameraSensor, ProtocolVersionByFirmwareAndBoard) {
    const struct {
        uint16_t HW, FW;
        bool Ok;
        uint16_t Major;
    } cases[] = {{1, 9, true, 1},   {1, 10, true, 2},  {1, 12, true, 11},
                 {2, 10, true, 10}, {3, 14, true, 11}, {4, 14, false, 0},
                 {5, 16, true, 17}, {2, 20, true, 17}, {2, 21, true, 18}};
    for (const auto& c : cases) {
        fState->ProtocolMajor = c.FW > 20 ? 18 : 17;
        fState->ProtocolMinor = 3;
        TKelvoUsbQVSensor& s = Open(c.HW, c.FW);
        s.fProtocolVersionMajor = 0;
        TProtocolVersion version{99, 99};
        EXPECT_EQ(c.Ok, s.GetProtocolVersion(&version)) << c.HW << "/" << c.FW;
        EXPECT_EQ(c.Major, s.fProtocolVersionMajor) << c.HW << "/" << c.FW;
        EXPECT_EQ(c.FW > 20 ? 3 : 0, s.fProtocolVersionMinor);
        // Only the family request fills the caller's record.
        EXPECT_EQ(c.FW > 20 ? 18 : 99, version.VersionMajor);
        s.Close();
        fBus.Unplug(*fDevice);
    }
}

TEST_F(CameraSensor, FlashParametersFollowTheVersionSizes) {
    fState->FlashParams = FlashBytes(0x00320000, 360, 230, 2.5f, 55.0f, 5, 4);
    {
        TKelvoUsbQVSensor& s = Open(3, 12); // 24 bytes: no edition yet
        EXPECT_EQ(24u, s.FlashParamsSize());
        uint16_t size = 0;
        ASSERT_TRUE(s.GetFlashParamsSize(size));
        EXPECT_EQ(24, size);
        TQV01FlashParams fp{};
        ASSERT_TRUE(s.ReadFlashParams(fp));
        EXPECT_EQ(0, Value(fp.Model));
        EXPECT_EQ(5, fp.RowNoiseConst[0]);
        EXPECT_FLOAT_EQ(55.0f, Value(fp.LensDistance));
        s.Close();
        fBus.Unplug(*fDevice);
    }
    {
        TKelvoUsbQVSensor& s = Open(2, 8); // 16 bytes: row-noise constants are the fixed ones
        EXPECT_EQ(16u, s.FlashParamsSize());
        TQV01FlashParams fp{};
        ASSERT_TRUE(s.ReadFlashParams(fp));
        EXPECT_EQ((TRowNoiseConstArray{42, 42, 42, 42, 42, 42, 42, 42}), fp.RowNoiseConst);
        EXPECT_FLOAT_EQ(2.5f, Value(fp.ScaleK));
        EXPECT_EQ(0x00320000u, Value(fp.dwCalibratedDistance));
        s.Close();
        fBus.Unplug(*fDevice);
    }
    {
        TKelvoUsbQVSensor& s = Open(1, 4); // 8 bytes: fixed scale and lens
        EXPECT_EQ(8u, s.FlashParamsSize());
        TQV01FlashParams fp{};
        ASSERT_TRUE(s.ReadFlashParams(fp));
        EXPECT_FLOAT_EQ(1.0f, Value(fp.ScaleK));
        EXPECT_FLOAT_EQ(45.0f, Value(fp.LensDistance));
        EXPECT_EQ(360, Value(fp.wMT9CenterX));
        // Writing changes the caller's record to what this firmware keeps and sends only 8 bytes.
        fp.ScaleK = 3.0f;
        fp.Model = 5;
        fp.wMT9CenterY = 111;
        ASSERT_TRUE(s.WriteFlashParams(fp));
        EXPECT_FLOAT_EQ(1.0f, Value(fp.ScaleK));
        EXPECT_EQ(0, Value(fp.Model));
        EXPECT_EQ(111, fState->FlashParams[6]);
        EXPECT_EQ(0x40, fState->FlashParams[11]); // the device's own scale (2.5) stays in its flash
        s.Close();
        fBus.Unplug(*fDevice);
    }
    TKelvoUsbQVSensor& s = Open(5, 35); // the whole record round trip
    TQV01FlashParams fp{};
    ASSERT_TRUE(s.ReadFlashParams(fp));
    EXPECT_EQ(4, Value(fp.Model));
    fp.dwCalibratedDistance = 0x00500000;
    fp.Model = 1;
    fp.RowNoiseConst[3] = 99;
    ASSERT_TRUE(s.WriteFlashParams(fp));
    EXPECT_EQ(FlashBytes(0x00500000, 360, 230, 2.5f, 55.0f, 5, 1)[24], fState->FlashParams[24]);
    EXPECT_EQ(99, fState->FlashParams[19]);
    TQV01FlashParams back{};
    ASSERT_TRUE(s.ReadFlashParams(back));
    EXPECT_EQ(0, std::memcmp(&fp, &back, sizeof fp));
    EXPECT_EQ("QV-T02V3-B", s.ModelType());
    uint32_t distance = 0;
    ASSERT_TRUE(s.SetCalibratedDistance(0xFFFFFFFF));
    EXPECT_FALSE(s.IsDistanceCalibrated());
    ASSERT_TRUE(s.GetCalibratedDistance(distance));
    EXPECT_EQ(0xFFFFFFFFu, distance);
}

TEST_F(CameraSensor, AccelerometerCalibrationIsCheckedAndGated) {
    TKelvoUsbQVSensor& s = Open(3, 31);
    ASSERT_TRUE(s.fAccCalibrationOk);
    // Round trip of a record built on the host.
    TQVAccCalibration cal{};
    for (int i = 0; i < 12; ++i)
        cal.XCal[i] = uint8_t(i), cal.YCal[i] = uint8_t(0x80 + i), cal.ZCal[i] = uint8_t(0xF0 + i);
    cal.XOffs = -300;
    cal.YOffs = 2;
    cal.ZOffs = 32000;
    cal.wChecksum = QVAccCalibrationChecksum(cal);
    ASSERT_TRUE(s.WriteAccCalibrationData(cal));
    TQVAccCalibration back{};
    ASSERT_TRUE(s.ReadAccCalibrationData(back));
    EXPECT_EQ(0, std::memcmp(&cal, &back, sizeof cal));
    EXPECT_EQ(-300, Value(s.fAccCalibration.XOffs));
    EXPECT_EQ(0xD4, fState->AccCalibration[36]); // -300 little-endian

    // A checksum off by one: refused, but the caller sees the bytes.
    auto bad = SimQVAccCalibration(5, 6, 7);
    bad[42] = uint8_t(bad[42] + 1);
    fState->AccCalibration = bad;
    TQVAccCalibration got{};
    EXPECT_FALSE(s.ReadAccCalibrationData(got));
    EXPECT_FALSE(s.fAccCalibrationOk);
    EXPECT_EQ(7, Value(got.ZOffs));
    EXPECT_EQ(-300, Value(s.fAccCalibration.XOffs)); // the last good record stays

    // A sensor that cannot read it.
    fState->AccCalibration = SimQVAccCalibration(1, 1, 1);
    ASSERT_TRUE(s.ReadAccCalibrationData(got));
    fState->AccCalibrationReadable = false;
    EXPECT_FALSE(s.ReadAccCalibrationData(got));
    EXPECT_FALSE(s.fAccCalibrationOk);
    EXPECT_EQ(1, Value(got.ZOffs));
    s.Close();

    TKelvoUsbQVSensor& old = Open(3, 27);
    EXPECT_FALSE(old.fAccCalibrationOk);
    const uint32_t before = Requests();
    EXPECT_FALSE(old.ReadAccCalibrationData(got));
    EXPECT_EQ(before, Requests());
    EXPECT_FALSE(old.WriteAccCalibrationData(cal)); // this firmware does not take it either
}

TEST_F(CameraSensor, FaultLogWalkStaysWithinTheAnswer) {
    TKelvoUsbQVSensor& s = Open(3, 31);
    TQVSysInfoArray log;
    auto allFF = [](const TQVSysInfo& AInfo) {
        return Bytes8(AInfo) == std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    };

    fState->FaultLog = {0x82, 1, 0x34, 0x12, 5, 0, 6, 0, 0x83, 2, 0x78, 0x56, 9, 0, 0x00, 0x11, 0x22};
    fState->FaultLog.resize(128, 0);
    ASSERT_TRUE(s.GetFlashSysInfo(log));
    EXPECT_EQ(0x82, Value(log[0].bNMIhappened));
    EXPECT_EQ(0x1234, Value(log[0].wAddress));
    EXPECT_EQ(5, Value(log[0].wSysSniv));
    EXPECT_EQ(6, Value(log[0].wSysBerr));
    EXPECT_EQ(0x83, Value(log[1].bNMIhappened));
    EXPECT_EQ(0x5678, Value(log[1].wAddress));
    for (size_t i = 2; i < log.size(); ++i)
        EXPECT_TRUE(allFF(log[i])) << i;

    // An answer that ends inside an entry: what did not arrive stays 0xFF.
    fState->FaultLog = {0x82, 1, 2, 3, 4, 5, 6, 7, 0x83, 9, 10};
    ASSERT_TRUE(s.GetFlashSysInfo(log));
    EXPECT_EQ((std::array<uint8_t, 8>{0x83, 9, 10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes8(log[1]));
    EXPECT_TRUE(allFF(log[2]));

    // A full log of short entries: the last one starts two bytes before the end.
    fState->FaultLog.assign(128, 0x83);
    ASSERT_TRUE(s.GetFlashSysInfo(log));
    EXPECT_EQ((std::array<uint8_t, 8>{0x83, 0x83, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes8(log[21]));
    EXPECT_TRUE(allFF(log[22]));

    // Empty answer: nothing but 0xFF. A refused request leaves the caller's array alone.
    fState->FaultLog.clear();
    ASSERT_TRUE(s.GetFlashSysInfo(log));
    EXPECT_TRUE(allFF(log[0]));
    log[0].bIndex = 7;
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Stall});
    EXPECT_FALSE(s.GetFlashSysInfo(log));
    EXPECT_EQ(7, Value(log[0].bIndex));

    EXPECT_TRUE(s.EraseFlashSysInfo());
    ASSERT_TRUE(s.GetFlashSysInfo(log));
    EXPECT_TRUE(allFF(log[0]));
    fState->SysInfo = {1, 2, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    TQVSysInfo info{};
    ASSERT_TRUE(s.GetSysInfo(info));
    EXPECT_EQ(0x2010, Value(info.wAddress));
    EXPECT_EQ(0x4030, Value(info.wSysUniv));
    EXPECT_EQ(0x6050, Value(info.wSysBerr));
    uint16_t word = 0;
    ASSERT_TRUE(s.GetBottomOfStack(word));
    EXPECT_EQ(0x2400, word);
    EXPECT_TRUE(s.SetDebug(true));
    EXPECT_TRUE(fState->Debug);
}

TEST_F(CameraSensor, DeviceValuesThatCannotBeUsedAreRefused) {
    // A lens distance of 0 in flash: kept in the record as the device holds it, never divided by.
    fState->FlashParams = FlashBytes(0xFFFFFFFF, 376, 240, 1.0f, 0.0f, 42, 0);
    TKelvoUsbQVSensor& s = Open(3, 31);
    EXPECT_EQ(0.0f, Value(s.fFlashParams.LensDistance));
    EXPECT_FLOAT_EQ(45.0f, s.fLensDistance);
    ASSERT_TRUE(s.SetWorkingDistance(10000));
    EXPECT_DOUBLE_EQ(10000 * 0.006 / 45.0, s.fPixToMMScale);
    EXPECT_NEAR(100.0, s.MMToPixel(s.PixelToMM(100.0)), 1e-9);
    EXPECT_FALSE(s.SetWorkingDistance(0));
    EXPECT_DOUBLE_EQ(10000, s.fWorkingDistance);

    // An absurd flash-parameter size from the device.
    fDevice->SetVendorHandler(0xA2, [](const TSimVendorRequest&, std::vector<uint8_t>& AAnswer) {
        AAnswer = {0xFF, 0xFF};
        return true;
    });
    uint16_t size = 7;
    EXPECT_FALSE(s.GetFlashParamsSize(size));
    EXPECT_EQ(0, size);

    // Frame rates that do not fit the old frame-timer request.
    s.fVersionFW = 28;
    EXPECT_FALSE(s.SetFPS(0));
    EXPECT_FALSE(s.SetFPS(15));
    EXPECT_EQ(100, s.fFPS);
}

TEST_F(CameraSensor, FailedReadsStoreNothing) {
    TKelvoUsbQVSensor& s = Open(3, 31);
    const TQV01FlashParams before = s.fFlashParams;
    fState->FlashParams = FlashBytes(1, 2, 3, 4.0f, 5.0f, 6, 7);
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Short, 0, 2});
    TQV01FlashParams fp{};
    EXPECT_FALSE(s.ReadFlashParams(fp));
    EXPECT_EQ(0, std::memcmp(&before, &s.fFlashParams, sizeof before));
    EXPECT_EQ(0u, Value(fp.dwCalibratedDistance));

    fState->Working[19] = 0;
    ASSERT_TRUE(s.fUseAccCalibration);
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Fail});
    bool use = true;
    EXPECT_FALSE(s.GetUseAccCalibration(&use));
    EXPECT_TRUE(s.fUseAccCalibration);

    uint16_t hw = 0, fw = 0;
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Short, 0, 1});
    EXPECT_FALSE(s.GetVersion(hw, fw));
    EXPECT_EQ(0, hw);
    EXPECT_EQ(31, s.fVersionFW);

    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Stall});
    EXPECT_FALSE(s.GetBlackLevel());
    EXPECT_EQ(190, s.fBlackLevel);
    // The black-level setter keeps the value asked for even when the device refuses it.
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::Stall});
    EXPECT_FALSE(s.SetBlackLevel(10));
    EXPECT_EQ(10, s.fBlackLevel);
}

TEST_F(CameraSensor, EveryFaultKindFailsTheRequest) {
    fState->Serial = {31, 1, 0, 0, 0, 0, 0, 9};
    TKelvoUsbQVSensor& s = Open(3, 31, TUsbDriverKind::Family);
    fDevice->SetUnansweredLimit(std::chrono::milliseconds(300));
    s.fRequestTimeout = 30;
    const uint32_t n = Requests();
    fDevice->SetFault(n + 1, {TSimFaultKind::Fail});
    fDevice->SetFault(n + 2, {TSimFaultKind::Stall});
    fDevice->SetFault(n + 3, {TSimFaultKind::Short, 0, 1});
    fDevice->SetFault(n + 4, {TSimFaultKind::Timeout});
    TSerialNum serial = NoSerialNum;
    EXPECT_FALSE(s.GetSerialNum(&serial));
    EXPECT_FALSE(s.GetSerialNum(&serial));
    EXPECT_FALSE(s.GetSerialNum(&serial));
    EXPECT_FALSE(s.GetSerialNum(&serial));
    EXPECT_EQ(NoSerialNum, serial);
    EXPECT_TRUE(s.GetSerialNum(&serial));
    EXPECT_EQ(9, serial[7]);
    fDevice->SetFault(Requests() + 1, {TSimFaultKind::DropOff});
    EXPECT_FALSE(s.Start());
    EXPECT_FALSE(s.fStarted);
    EXPECT_FALSE(fDevice->IsAttached());
    EXPECT_FALSE(s.ReadFlashParams());
}

TEST_F(CameraSensor, SwitchToStubLeavesTheBus) {
    fState->StubActual = 2;
    TKelvoUsbQVSensor& s = Open(3, 31);
    ASSERT_TRUE(s.GetStubVersion(nullptr));
    EXPECT_EQ(2, s.fActualStubVersion);
    EXPECT_FALSE(s.HasUsb30CompatibilityIssue()); // not a D12 device
    EXPECT_TRUE(s.CheckStubInfo());
    EXPECT_EQ(1u, fState->StubInfoChecks);
    ASSERT_TRUE(s.SwitchToStub());
    ASSERT_TRUE(fLoop.RunUntil([&] { return !fDevice->IsAttached(); }, 10000));
    EXPECT_FALSE(s.GetLocked(s.fLocked));
}

TEST_F(CameraSensor, TuningGatesByVersion) {
    TKelvoUsbQVSensor& s = Open(1, 10);
    // Old firmware: fixed answers without requests.
    fState->MicLevel = 20;
    fState->MicEdgeLevel = 3;
    uint32_t before = Requests();
    uint16_t w = 0;
    uint8_t b = 0;
    s.fMode = 2;
    ASSERT_TRUE(s.GetFrameWidth(&w));
    EXPECT_EQ(64, w);
    s.fMode = 1;
    ASSERT_TRUE(s.GetFrameHeight(&w));
    EXPECT_EQ(80, w);
    EXPECT_FALSE(s.SetFrameWidth(90));
    EXPECT_FALSE(s.SetFrameSize(90));
    ASSERT_TRUE(s.GetShockDetectionMode(&b));
    EXPECT_EQ(2, b);
    EXPECT_TRUE(s.SetShockDetectionMode(2));
    EXPECT_FALSE(s.SetShockDetectionMode(1));
    s.fMicEdgeLevel = 3;
    ASSERT_TRUE(s.GetAccShockEdgeLevel(&w));
    EXPECT_EQ(3, w);
    EXPECT_FALSE(s.SetAccShockEdgeLevel(5));
    EXPECT_TRUE(s.SetFollowInAdjust(0));
    EXPECT_FALSE(s.SetFollowInAdjust(1));
    EXPECT_FALSE(s.GetBiathlonTargetsDistancePix());
    EXPECT_FALSE(s.GetFPS());
    EXPECT_FALSE(s.GetTimerADivider());
    EXPECT_FALSE(s.GetPiesoParameters()); // hardware 1 before firmware 11
    EXPECT_EQ(before, Requests());
    // Microphone levels on hardware 1.
    uint16_t level = 0, edge = 0;
    ASSERT_TRUE(s.GetMicLevels(&level, &edge));
    EXPECT_EQ(20, level);
    EXPECT_EQ(3, edge);
    ASSERT_TRUE(s.SetMicLevels(30, 4));
    EXPECT_EQ(30, fState->MicLevel);
    EXPECT_EQ(4, fState->MicEdgeLevel);
    EXPECT_TRUE(s.SetRowBin(2));
    EXPECT_EQ(2, fState->Working[3]);

    // 50 frames per second on firmware 28: frame timer 19999.
    s.fVersionFW = 28;
    ASSERT_TRUE(s.SetFPS(50));
    EXPECT_EQ(19999, fState->TimerValue);
    EXPECT_EQ(19999, s.fTimerValue);
    EXPECT_EQ(50, s.fFPS);
    EXPECT_FALSE(s.SetMicLevels(1, 1)); // firmware above 10
    s.Close();

    TKelvoUsbQVSensor& newer = Open(2, 31);
    EXPECT_FALSE(newer.GetMicLevels()); // hardware 1 only
    ASSERT_TRUE(newer.SetFPS(60));
    EXPECT_EQ(60, fState->Working[21]);
    ASSERT_TRUE(newer.SetFrameSize(96));
    EXPECT_EQ(96, fState->Working[13]);
    ASSERT_TRUE(newer.GetFrameHeight(&w));
    EXPECT_EQ(96, w);
    ASSERT_TRUE(newer.GetTimerADivider(&w));
    EXPECT_EQ(8, w);
    TQVCLKParameters clk{0x0302, 0x0201, 7};
    ASSERT_TRUE(newer.SetCLKParameters(clk));
    EXPECT_EQ((std::array<uint8_t, 6>{2, 3, 1, 2, 7, 0}), fState->ClkParameters);
    TQVPiesoParameters pieso{};
    ASSERT_TRUE(newer.SetPiesoParameters({70, 5, 6}));
    ASSERT_TRUE(newer.GetPiesoParameters(&pieso));
    EXPECT_EQ(6, Value(pieso.wPiesoEdgeDetectionSamples));
    ASSERT_TRUE(newer.SetRegister(11, 77));
    EXPECT_EQ(77, newer.fShutterWidth);
    ASSERT_TRUE(newer.GetShutterWidth(&w));
    EXPECT_EQ(77, w);
    ASSERT_TRUE(newer.SetAnalogGain(80));
    ASSERT_TRUE(newer.Start());
    EXPECT_TRUE(fState->Started);
    ASSERT_TRUE(newer.ResetToDefaults());
    EXPECT_EQ(64, fState->Working[27]);
    EXPECT_EQ(64, newer.fAnalogGain);
    ASSERT_TRUE(newer.Stop());
    EXPECT_FALSE(newer.fStarted);
}

TEST_F(CameraSensor, DevelopmentFirmwareUsesWorkingParameters) {
    TKelvoUsbQVSensor& s = Open(0xFFFF, 0xFFFF);
    fState->Working[33] = 55;
    fState->Working[30] = 3;
    uint16_t w = 0;
    ASSERT_TRUE(s.GetShutterWidth(&w));
    EXPECT_EQ(55, w);
    uint8_t b = 0;
    ASSERT_TRUE(s.GetMT9VrefADC(&b));
    EXPECT_EQ(3, b);
    ASSERT_TRUE(s.SetDataMode(2));
    EXPECT_EQ(2, fState->Working[28]);
    ASSERT_TRUE(s.SetAdjustShutter(false));
    EXPECT_EQ(0, fState->Working[32]);
    s.fVersionFW = 31; // the sensor does not answer the requests of release firmware
    EXPECT_FALSE(s.GetShutterWidth());
}

TEST_F(CameraSensor, HostDefaultsAndOpenWithoutInformation) {
    fDevice = std::make_shared<TSimCameraSensor>(fState, TUsbDriverKind::Generic);
    fBus.Plug(fDevice);
    TKelvoUsbQVSensor s(nullptr, fDevice->Path());
    EXPECT_EQ(0xFFFFFFFFu, Value(s.fFlashParams.dwCalibratedDistance));
    EXPECT_FALSE(s.IsDistanceCalibrated());
    EXPECT_EQ(501, s.fX0);
    EXPECT_EQ(240, s.fY0);
    EXPECT_EQ((TRowNoiseConstArray{42, 42, 42, 42, 42, 42, 42, 42}), s.fFlashParams.RowNoiseConst);
    EXPECT_DOUBLE_EQ(50000, s.fWorkingDistance);
    EXPECT_DOUBLE_EQ(50000 * 0.006 / 45.0, s.fPixToMMScale);
    EXPECT_EQ(752, s.fMatrixWidth);
    EXPECT_EQ(480, s.fMatrixHeight);
    EXPECT_EQ(0x0201, Value(s.fCLKParameters.wCLKParametersBin1));
    EXPECT_EQ(64, Value(s.fPiesoParameters.wMinPiesoLevel));
    EXPECT_EQ(200, s.fBlackLevel);
    EXPECT_EQ(4, s.fRowBin);
    EXPECT_EQ(100, s.fFPS);
    EXPECT_FALSE(s.fUseAccCalibration);
    EXPECT_EQ("QV-??", s.DeveloperName()); // no versions yet

    s.fGetInfoAfterOpen = false;
    ASSERT_TRUE(s.Open());
    EXPECT_EQ(0u, fDevice->VendorRequestCount());
    EXPECT_EQ(0, s.fVersionFW);
    s.Close();

    // A sensor that refuses some of the settings still opens with the rest read.
    fState->Working[33] = 40;
    fState->ClkParameters = {9, 9, 9, 9, 9, 9};
    fDevice->SetVendorHandler(0x82, nullptr);
    fDevice->SetVendorHandler(0xB5, nullptr);
    s.fGetInfoAfterOpen = true;
    ASSERT_TRUE(s.Open());
    EXPECT_EQ(32, s.fShutterWidth);
    EXPECT_EQ(0x0201, Value(s.fCLKParameters.wCLKParametersBin1));
    EXPECT_EQ(190, s.fBlackLevel);
    EXPECT_EQ(400, s.fMaxShutterToGain);
    EXPECT_TRUE(s.fAccCalibrationOk);
    EXPECT_TRUE(s.fUseAccCalibration);

    TKelvoUsbQVSensor missing(nullptr, "no-such-device");
    EXPECT_FALSE(missing.Open());
}

// Each firmware gate of the tuning values: on the firmware just below it the host fails without a
// request; from it on the request goes out and the device answers.
TEST_F(CameraSensor, TuningGatesOpenAtTheirFirstFirmware) {
    using TOperation = bool (*)(TKelvoUsbQVSensor&);
    const struct {
        const char* Name;
        uint16_t First;
        TOperation Run;
    } cases[] = {
        {"write row binning", 8, [](TKelvoUsbQVSensor& s) { return s.SetRowBin(1); }},
        {"read frame width", 11,
         [](TKelvoUsbQVSensor& s) { return s.GetFrameWidth() && s.fFrameWidth != 80; }},
        {"write frame height", 11, [](TKelvoUsbQVSensor& s) { return s.SetFrameHeight(90); }},
        {"write shock edge level", 15, [](TKelvoUsbQVSensor& s) { return s.SetAccShockEdgeLevel(5); }},
        {"read biathlon distance", 22,
         [](TKelvoUsbQVSensor& s) { return s.GetBiathlonTargetsDistancePix(); }},
        {"write biathlon distance", 22,
         [](TKelvoUsbQVSensor& s) { return s.SetBiathlonTargetsDistancePix(5); }},
        {"write timer A divider", 29, [](TKelvoUsbQVSensor& s) { return s.SetTimerADivider(8); }},
        {"read timer A divider", 30, [](TKelvoUsbQVSensor& s) { return s.GetTimerADivider(); }},
        {"read frames per second", 29, [](TKelvoUsbQVSensor& s) { return s.GetFPS(); }},
    };
    TKelvoUsbQVSensor& s = Open(2, 31);
    fState->Working[13] = 96;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        s.fVersionFW = uint16_t(c.First - 1);
        const uint32_t before = Requests();
        EXPECT_FALSE(c.Run(s));
        EXPECT_EQ(before, Requests());
        s.fVersionFW = c.First;
        EXPECT_TRUE(c.Run(s));
        EXPECT_LT(before, Requests());
    }
}

// --- The stream, modes and templates ---

namespace {

// A started sensor whose window is at the optical centre and whose packets are pushed one by one.
struct CameraStream : CameraBench {
    TKelvoUsbQVSensor& Start(uint16_t AHW, uint16_t AFW, TUsbDriverKind ADriver) {
        fState->AutoStream = false;
        TKelvoUsbQVSensor& sensor = Open(AHW, AFW, ADriver);
        EXPECT_TRUE(sensor.SetAdjustMode());
        EXPECT_TRUE(sensor.Start());
        return sensor;
    }
    // Pushes AN packets and waits until the sensor has made a point of each.
    std::vector<TSimAimSample> Push(int AN) {
        std::vector<TSimAimSample> aims;
        const int before = fSensor->Points().Count();
        for (int i = 0; i < AN; ++i)
            aims.push_back(fDevice->PushStreamPacket());
        EXPECT_TRUE(fLoop.RunUntil([&] { return fSensor->Points().Count() >= before + AN; }, 10000));
        return aims;
    }
};

} // namespace

TEST_F(CameraStream, PointsFollowTheAimingPathOnEveryLayoutAndBinding) {
    struct TCase {
        uint16_t HW, FW, Protocol;
        TUsbDriverKind Driver;
    };
    for (TCase c : {TCase{3, 31, 18, TUsbDriverKind::Generic}, TCase{3, 31, 18, TUsbDriverKind::Family},
                    TCase{2, 16, 16, TUsbDriverKind::Generic}, TCase{3, 12, 11, TUsbDriverKind::Family},
                    TCase{2, 10, 10, TUsbDriverKind::Generic}, TCase{1, 10, 2, TUsbDriverKind::Family},
                    TCase{1, 9, 1, TUsbDriverKind::Generic}}) {
        SCOPED_TRACE(testing::Message() << c.HW << "/" << c.FW);
        fState = std::make_shared<TSimCameraSensorState>();
        fState->ProtocolMajor = c.Protocol;
        fState->StreamFirstIndex = 65534;
        TKelvoUsbQVSensor& sensor = Start(c.HW, c.FW, c.Driver);
        EXPECT_EQ(c.Protocol, sensor.Stream().Protocol());
        sensor.Stream().SetUseXYFilter(false);
        const std::vector<TSimAimSample> aims = Push(30);
        const TPointsArray points = sensor.Points().Get();
        ASSERT_EQ(aims.size(), points.size());
        for (size_t i = 0; i < aims.size(); ++i) {
            EXPECT_TRUE(points[i].valid) << i;
            EXPECT_NEAR(aims[i].XMm, points[i].xmm, 1e-3) << i;
            EXPECT_NEAR(aims[i].YMm, points[i].ymm, 1e-3) << i;
            EXPECT_EQ((65534 + i) & 0xFFFF, points[i].dwSampleCounter);
            EXPECT_EQ(nullptr, points[i].ExtraData);
        }
        fSensor->Close();
        fBus.Unplug(*fDevice);
    }
}

// Points go to the handler when one is set and are not queued as well; without one they are queued
// while StorePoints is on, as on the optical sensor.
TEST_F(CameraStream, PointsAreQueuedOnlyWithoutAHandlerWhileStorePointsIsOn) {
    struct TCase {
        bool Handler, Store;
        int Handled, Queued;
    };
    const TCase cases[] = {
        {false, true, 0, 5}, {false, false, 0, 0}, {true, true, 5, 0}, {true, false, 5, 0}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Handler << " " << c.Store);
        fState = std::make_shared<TSimCameraSensorState>();
        TKelvoUsbQVSensor& sensor = Start(3, 31, TUsbDriverKind::Generic);
        EXPECT_TRUE(sensor.StorePoints());
        sensor.SetStorePoints(c.Store);
        int packets = 0, handled = 0;
        sensor.SetOnPacket([&](TKelvoUsbQVSensor*, const TQVDataPacket_V1&) { ++packets; });
        if (c.Handler)
            sensor.SetOnNewPoint([&](TKelvoUsbQVSensor*, const TQueuedPoint_V1*) { ++handled; });
        for (int i = 0; i < 5; ++i)
            fDevice->PushStreamPacket();
        ASSERT_TRUE(fLoop.RunUntil([&] { return packets >= 5; }, 10000));
        EXPECT_EQ(c.Handled, handled);
        EXPECT_EQ(c.Queued, sensor.Points().Count());
        EXPECT_EQ(0u, sensor.Points().Dropped());
        fSensor->Close();
        fBus.Unplug(*fDevice);
    }
}

TEST_F(CameraStream, ImagesOnRequest) {
    TKelvoUsbQVSensor& sensor = Start(3, 31, TUsbDriverKind::Generic);
    std::vector<TQVBitmap> images;
    sensor.SetOnImage([&](TKelvoUsbQVSensor*, const TQVDataPacket_V1&, const TQVBitmap& ABitmap) {
        images.push_back(ABitmap);
    });
    Push(2);
    EXPECT_TRUE(images.empty());
    ASSERT_TRUE(sensor.SetDataMode(3));
    Push(2);
    // The last image completes after its point: wait for it.
    ASSERT_TRUE(fLoop.RunUntil([&] { return images.size() >= 1; }, 10000));
    EXPECT_EQ(80, images[0].Width);
    EXPECT_EQ(80u * 80u, images[0].Pixels.size());
    ASSERT_TRUE(sensor.SetDataMode(6));
    Push(1);
    ASSERT_TRUE(fLoop.RunUntil([&] { return images.size() >= 3 && images.back().Width == 480; }, 20000));
    EXPECT_EQ(472, images.back().Height);
    EXPECT_EQ(0, fState->Working[28]) << "one whole image per request";
}

TEST_F(CameraStream, TemplatesAndModesFollowTheFirmware) {
    TKelvoUsbQVSensor& sensor = Start(3, 30, TUsbDriverKind::Generic);
    // Firmware 30: one template for the current row binning (4) in slot 0. Event 5 is a round
    // target whose 41 points take two load requests (21 and 20 items).
    uint32_t before = fDevice->VendorRequestCount();
    ASSERT_TRUE(sensor.SetShootingEvent(5));
    EXPECT_EQ(4u, fDevice->VendorRequestCount() - before);
    ASSERT_EQ(1u, fState->Templates.count(0));
    EXPECT_EQ(41u * 3, fState->Templates[0].Items.size());
    EXPECT_TRUE(fState->Templates[0].Finalized);
    EXPECT_EQ(50000, sensor.fWorkingDistance);
    before = fDevice->VendorRequestCount();
    EXPECT_FALSE(sensor.SetShootingEvent(4));
    EXPECT_EQ(before, fDevice->VendorRequestCount());

    sensor.Close();
    fBus.Unplug(*fDevice);
    fState = std::make_shared<TSimCameraSensorState>();
    TKelvoUsbQVSensor& newer = Start(3, 31, TUsbDriverKind::Family);
    ASSERT_TRUE(newer.SetShootingEvent(1));
    for (uint16_t slot : {1, 2, 4})
        EXPECT_TRUE(fState->Templates[slot].Finalized) << slot;
    EXPECT_EQ(10000, newer.fWorkingDistance);
    // A template that is not valid is initialised and not loaded.
    TTargetTemplate small = {{1, 0, 1}};
    EXPECT_FALSE(newer.SetTargetTemplate(small, false, 10));
    EXPECT_TRUE(fState->Templates[1].Items.empty());
    EXPECT_EQ(10000, newer.fWorkingDistance);

    ASSERT_TRUE(newer.SetModeEx(3, 2, 100, 120, 64, 2));
    EXPECT_EQ(3, fState->Mode);
    EXPECT_EQ(100, fState->X0);
    EXPECT_EQ(64, newer.fFrameWidth);
    EXPECT_DOUBLE_EQ(100 * newer.fPixToMMScale, newer.Stream().CX());
    ASSERT_TRUE(newer.SetMainMode(300, 200));
    EXPECT_EQ(2, fState->Mode);
    EXPECT_DOUBLE_EQ(200 * newer.fPixToMMScale, newer.Stream().CY());
}

// Every kind of hostile input on either binding: the bad packets are lost, the others become points
// and no value that is not a number reaches a valid point.
TEST_F(CameraStream, HostileStreamsLoseOnlyTheirBadPackets) {
    struct TCase {
        TSimCameraFault Fault;
        TUsbDriverKind Driver;
        bool Counted; // the stream counts dropped bytes or refused blocks (a cut record spoils the next read)
    };
    std::vector<TCase> cases;
    const auto family = TUsbDriverKind::Family, generic = TUsbDriverKind::Generic;
    for (TSimCameraFault fault : {TSimCameraFault::BadSize, TSimCameraFault::BadMarker,
                                  TSimCameraFault::BadHeader, TSimCameraFault::BadIndex})
        for (TUsbDriverKind driver : {family, generic})
            cases.push_back({fault, driver, true});
    for (TSimCameraFault fault :
         {TSimCameraFault::NonFinite, TSimCameraFault::OversizedRead, TSimCameraFault::ShortFault})
        for (TUsbDriverKind driver : {family, generic})
            cases.push_back({fault, driver, fault == TSimCameraFault::OversizedRead && driver == family});
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.Fault) << " " << int(c.Driver));
        fState = std::make_shared<TSimCameraSensorState>();
        fState->StreamFault = c.Fault;
        fState->StreamFaultEvery = 4;
        fState->Working[28] = 3; // images, for the faults that break them
        TKelvoUsbQVSensor& sensor = Start(3, 31, c.Driver);
        for (int i = 0; i < 41; ++i)
            fDevice->PushStreamPacket();
        // Everything sent was read (a cut record may take the read after it along), then handed over.
        ASSERT_TRUE(fLoop.RunUntil(
            [&] {
                return fDevice->PendingStreamBytes() == 0 && fDevice->PendingPackets(SIM_PIPE_DATA_IN) == 0 &&
                       fDevice->WaitingReads() > 0;
            },
            10000));
        fLoop.RunUntil([] { return false; }, 200);
        const TPointsArray points = sensor.Points().Get();
        int valid = 0;
        for (const TQueuedPoint_V1& p : points) {
            valid += p.valid;
            EXPECT_TRUE(!p.valid || (std::isfinite(p.xmm) && std::isfinite(p.ymm)));
        }
        EXPECT_GE(valid, 28);
        EXPECT_EQ(c.Counted, sensor.Stream().DroppedBytes() + sensor.Stream().RefusedBlocks() > 0);
        if (c.Fault == TSimCameraFault::NonFinite) {
            EXPECT_EQ(31, valid);
        }
        fSensor->Close();
        fBus.Unplug(*fDevice);
    }
}
