#include "MyLib/KelvoWirelessSensor.h"

#include "MyLib/KelvoSerials.h"
#include "platform/LittleEndian.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double Pi = std::numbers::pi;

void InitLowPass(TCheb2& AFilter, double ACutOff) {
    AFilter.Init(ACutOff, TFilterPassType::LowPass, 0.5, 2);
}

// Battery thresholds of the two battery kinds: one cell (WD-M01, WD-05, WD-M02 family) or lithium.
constexpr TBatteryRange KCell{1.15f, 1.28333f, 1.41667f, 1.55f};
constexpr TBatteryRange KLithium{3.3f, 3.6f, 3.9f, 4.2f};

const TWDModel ModelWDM01{0, "WD-M01", "Wireless sensor (WD-M01)", 1.92 * 2, KCell, false, false};
const TWDModel ModelWD02{4, "WD-02", "Wireless sensor (WD-02)", 2.18 * 3, KLithium, false, false};
const TWDModel ModelWD03{2, "WD-03", "Wireless sensor (WD-03)", 2.18 * 3, KLithium, false, false};
const TWDModel ModelWD03V2{5, "WD-03V2", "Wireless sensor (WD-03)", 2.18 * 3, KLithium, true, false};
const TWDModel ModelWD05{6, "WD-05", "Wireless sensor (WD-05)", 2.62 * 2, KCell, false, false};
const TWDModel ModelWDM02{3, "WD-M02", "Wireless sensor (WD-M02)", 2.06 * 2, KCell, false, false};
const TWDModel ModelWDM02V2{7, "WD-M02V2", "Wireless sensor (WD-M02V2)", 2.06 * 2, KCell, false, true};
const TWDModel ModelWDM02V3{8, "WD-M02V3", "Wireless sensor (WD-M02V3)", 2.06 * 2, KCell, false, true};

bool Inverted(const uint8_t* APacket) {
    return (APacket[0] & KSensorPacketInvertedBit) != 0;
}

template <class TSensor> TCustomWirelessSensor* MakeSensor(TComponent* AOwner) {
    return new TSensor(AOwner);
}

} // namespace

size_t SensorPacketLength(const uint8_t* APacket, size_t ASize) {
    if (ASize == 0)
        return 0;
    size_t n = APacket[0] & KSensorPacketLengthMask;
    return n >= KSensorPacketHeaderSize && n <= ASize ? n : 0;
}

uint8_t SensorPacketModel(const uint8_t* APacket) {
    return Inverted(APacket) ? uint8_t(~APacket[1]) : APacket[1];
}

uint16_t SensorPacketSerial(const uint8_t* APacket) {
    uint16_t serial = GetLE16(APacket + 2);
    return Inverted(APacket) ? uint16_t(~serial) : serial;
}

TWirelessSensorClass SensorClassFor(const uint8_t* APacket, size_t ASize) {
    if (SensorPacketLength(APacket, ASize) == 0)
        return nullptr;
    switch (SensorPacketModel(APacket)) {
    case 0:
        return MakeSensor<TWDM01Sensor>;
    case 2:
        return MakeSensor<TWD03Sensor>;
    case 3:
        return MakeSensor<TWDM02Sensor>;
    case 4:
        return MakeSensor<TWD02Sensor>;
    case 5:
        return MakeSensor<TWD03V2Sensor>;
    case 6:
        return MakeSensor<TWD05Sensor>;
    case 7:
        return MakeSensor<TWDM02V2Sensor>;
    case 8:
        return MakeSensor<TWDM02V3Sensor>;
    default:
        return nullptr;
    }
}

// --- TCustomWirelessSensor ---

TCustomWirelessSensor::TCustomWirelessSensor(TComponent* AOwner) : TComponent(AOwner) {
    InitializeOwn();
}

TCustomWirelessSensor::~TCustomWirelessSensor() {
    if (OnDestroy)
        OnDestroy(this);
}

void TCustomWirelessSensor::InitializeOwn() {
    fBattery = 0;
    fAngleOn = true;
    fQueue.Clear();
    fStorePoints = false;
    OnNewPoint = nullptr;
    OnLowBattery = nullptr;
    OnNoSignal = nullptr;
    OnBattery = nullptr;
    fShortName = "???";
    fLongName = "Wireless sensor (unknown)";
    fBatteryMin = fBatteryMid = fBatteryHigh = fBatteryMax = 0;
    fMaxPiezoLevel = 255;
    fHasVoltageControl = false;
    fHasUnlockableFuse = false;
    fNormalSignal = 400;
    fMaxSignal = 1023;
    fMinSignal = 0;
    fMaxNormalSignal = 600;
    fMinNormalSignal = 250;
    fDeviceStatusBits = 0;
    InitLowPass(fScaleCheb, 0.05);
    InitLowPass(fAngleCheb, 0.05);
    InitLowPass(fXCheb, 0.25);
    InitLowPass(fYCheb, 0.25);
    ResetFilters();
}

void TCustomWirelessSensor::Initialize() {
    InitializeOwn();
}

void TCustomWirelessSensor::RecalcScale() {}

bool TCustomWirelessSensor::GetSerialFromPacket(const uint8_t* APacket, size_t ASize) {
    if (SensorPacketLength(APacket, ASize) == 0)
        return false;
    fSerial = SensorPacketSerial(APacket);
    return true;
}

bool TCustomWirelessSensor::CheckPacket(const uint8_t* APacket, size_t ASize) const {
    return SensorPacketLength(APacket, ASize) != 0 && SensorPacketModel(APacket) == fHardwareId &&
           SensorPacketSerial(APacket) == fSerial;
}

std::string TCustomWirelessSensor::Code128() {
    return "KW:" + Code128ByteWord(fHardwareId, fSerial);
}

void TCustomWirelessSensor::SetDynamicTarget(TKelvoTargetObject* ATarget) {
    fDynamicScale = true;
    fTarget = ATarget;
    RecalcScale();
}

void TCustomWirelessSensor::SetStaticTarget(double ADistance, TKelvoTargetObject* ATarget) {
    fDynamicScale = false;
    fRealDistance = ADistance;
    fTarget = ATarget;
    RecalcScale();
}

void TCustomWirelessSensor::ForgetTarget(const TKelvoTargetObject* ATarget) {
    if (fTarget == ATarget)
        fTarget = nullptr;
}

uint8_t TCustomWirelessSensor::BatteryLevel() const {
    if (fBattery <= fBatteryMin)
        return 0;
    if (fBattery >= fBatteryMax)
        return 100;
    return uint8_t(std::lround((fBattery - fBatteryMin) / (fBatteryMax - fBatteryMin) * 100));
}

TBatteryState TCustomWirelessSensor::BatteryState() const {
    if (fBattery < fBatteryMin)
        return TBatteryState::batteryCritical;
    if (fBattery < fBatteryMid)
        return TBatteryState::batteryLow;
    if (fBattery < fBatteryHigh)
        return TBatteryState::batteryMid;
    return TBatteryState::batteryHigh;
}

void TCustomWirelessSensor::ResetFilters() {
    fScaleCheb.Reset();
    fAngleCheb.Reset();
    fXCheb.Reset();
    fYCheb.Reset();
}

TSensorTargetGeometry TCustomWirelessSensor::Geometry() const {
    TSensorTargetGeometry geometry;
    if (!fTarget)
        return geometry;
    // A point's target index has 16 bits: an index beyond them is no index (0), not a wrapped one.
    geometry.Index = fTarget->fIndex >= 0 && fTarget->fIndex <= 0xFFFF ? uint16_t(fTarget->fIndex) : 0;
    geometry.LedsDistance = fTarget->fLedsDistance;
    for (int i = 0; i < 2; ++i) {
        geometry.LedsX[i] = fTarget->LedsX[i];
        geometry.LedsY[i] = fTarget->LedsY[i];
    }
    return geometry;
}

void TCustomWirelessSensor::FilterAndEmit(TQueuedPoint_V1& APoint, double AX, double AY) {
    if (std::isfinite(AX) && std::isfinite(AY) && APoint.scale > 0 && std::isfinite(APoint.scale)) {
        APoint.xmm = fXCheb.Filter(AX);
        APoint.ymm = fYCheb.Filter(AY);
    } else {
        // No scale yet (a static target without its coefficient) or a target geometry that gives
        // no finite position: the point says so and the filters keep their history.
        APoint.valid = false;
        APoint.xmm = APoint.ymm = 0;
    }
    Emit(APoint);
}

void TCustomWirelessSensor::Emit(TQueuedPoint_V1& APoint) {
    if (fPointsStopped)
        return;
    if (OnNewPoint)
        OnNewPoint(this, &APoint);
    else if (fStorePoints)
        fQueue.Add(&APoint);
}

// --- TWDCustomSensor ---

TWDCustomSensor::TWDCustomSensor(TComponent* AOwner, const TWDModel& AModel)
    : TCustomWirelessSensor(AOwner), fModel(AModel) {
    InitializeOwn();
}

void TWDCustomSensor::InitializeOwn() {
    fHardwareId = fModel.HardwareId;
    fShortName = fModel.ShortName;
    fLongName = fModel.LongName;
    fBatteryMin = fModel.Battery.Min;
    fBatteryMid = fModel.Battery.Mid;
    fBatteryHigh = fModel.Battery.High;
    fBatteryMax = fModel.Battery.Max;
    fHasVoltageControl = fModel.HasVoltageControl;
    fHasUnlockableFuse = fModel.HasUnlockableFuse;
    fSerial = 0xFFFF;
    bBattery = 0;
}

void TWDCustomSensor::Initialize() {
    TCustomWirelessSensor::Initialize();
    InitializeOwn();
}

float TWDCustomSensor::BatteryVoltage(uint8_t b) const {
    return float(4.0 * b / 1023 * fModel.BatteryFactor);
}

bool TWDCustomSensor::TakeBatteryByte(uint8_t b) {
    if (b == bBattery)
        return false;
    bBattery = b;
    fBattery = BatteryVoltage(b);
    if (OnBattery)
        OnBattery(this);
    return true;
}

void TWDCustomSensor::Feed(uint8_t* APacket, size_t ASize) {
    size_t n = SensorPacketLength(APacket, ASize);
    bool status = n != 0 && (APacket[0] & KSensorPacketStatusBit) != 0;
    if (n == 0 || n < (status ? MinStatusLength() : MinDataLength())) {
        ++fDroppedPackets;
        return;
    }
    if (Inverted(APacket)) {
        for (size_t i = 1; i < n; ++i)
            APacket[i] = uint8_t(~APacket[i]);
        // The bytes are plain now; the flag says so, so the buffer reads the same to anyone after us.
        APacket[0] &= uint8_t(~KSensorPacketInvertedBit);
    }
    if (status)
        ProcessStatusPacket(APacket, n);
    else
        ProcessDataPacket(APacket, n);
}

// --- WD-M01 and WD-02 ---

void ComputeSpots(const uint8_t* AWords, TQueuedPoint_V1& P) {
    P.valid = true;
    for (int k = 0; k < 4; ++k) {
        P.amp[k] = GetLE16(AWords + 4 * k) / 12.0;
        P.amp[k + 4] = GetLE16(AWords + 4 * k + 2) / 12.0;
    }
    for (int c = 1; c <= 2; ++c) {
        const double* a = P.amp + 4 * (c - 1);
        P.x[c] = a[0] + a[1] - a[2] - a[3];
        P.y[c] = a[0] + a[2] - a[1] - a[3];
        P.sum[c] = a[0] + a[1] + a[2] + a[3];
        if (P.sum[c] > 50) {
            P.x[c] *= 2000 / P.sum[c];
            P.y[c] *= 2000 / P.sum[c];
        } else
            P.valid = false;
    }
    P.x[0] = (P.x[1] + P.x[2]) / 2;
    P.y[0] = (P.y[1] + P.y[2]) / 2;
    P.sum[0] = P.sum[1] + P.sum[2];
    P.VisibleDistance = std::hypot(P.x[1] - P.x[2], P.y[1] - P.y[2]);
}

TWDM01Sensor::TWDM01Sensor(TComponent* AOwner) : TWDM01Sensor(AOwner, ModelWDM01, false) {}

TWDM01Sensor::TWDM01Sensor(TComponent* AOwner, const TWDModel& AModel, bool ACounterHasOffScale)
    : TWDCustomSensor(AOwner, AModel), fCounterHasOffScale(ACounterHasOffScale) {
    InitializeOwn();
}

void TWDM01Sensor::InitializeOwn() {
    dwDistanceK = 0;
    bDistanceKValid = 0;
}

void TWDM01Sensor::Initialize() {
    TWDCustomSensor::Initialize();
    InitializeOwn();
}

void TWDM01Sensor::RecalcScale() {
    if (!fDynamicScale && bDistanceKValid == KDistanceKTaken)
        fScale = fRealDistance / fDistanceK;
}

void TWDM01Sensor::ProcessStatusPacket(const uint8_t* APacket, size_t ALength) {
    if (APacket[4] == 0) {
        if (ALength < 6) {
            ++fDroppedPackets;
            return;
        }
        bBattery = APacket[5];
        fBattery = BatteryVoltage(APacket[5]);
        if (OnLowBattery)
            OnLowBattery(this);
    } else if (APacket[4] == 1 && OnNoSignal)
        OnNoSignal(this);
}

void TWDM01Sensor::TakeAuxiliary(uint8_t ASelector, uint8_t AValue) {
    if (ASelector < 4) {
        unsigned shift = 8 * ASelector;
        dwDistanceK = (dwDistanceK & ~(0xFFu << shift)) | uint32_t(AValue) << shift;
        bDistanceKValid |= uint8_t(1 << ASelector);
        if (bDistanceKValid != 0x0F)
            return;
        if (dwDistanceK == 0) {
            // A coefficient of 0 is "not set": nothing to divide by, so the bytes are collected again.
            bDistanceKValid = 0;
            return;
        }
        fDistanceK = dwDistanceK / 65536.0;
        fScale = fRealDistance / fDistanceK;
        bDistanceKValid = KDistanceKTaken;
    } else if (ASelector == 4)
        TakeBatteryByte(AValue);
    else if (ASelector == 5)
        bXTMode = AValue;
    else if (ASelector == 6)
        bXTTries = AValue;
    else
        bXTLoTries = AValue;
}

void TWDM01Sensor::ProcessDataPacket(const uint8_t* APacket, size_t ALength) {
    TSensorTargetGeometry target = Geometry();
    TQueuedPoint_V1 P;
    P.dwTick = TickCount();
    ComputeSpots(APacket + 6, P);
    P.targetindex = target.Index;
    P.xmm = P.x[0];
    P.ymm = P.y[0];
    uint8_t counter = APacket[4];
    P.dwCounter = fCounterHasOffScale ? counter & 0x7F : counter;
    P.OffScale = fCounterHasOffScale && (counter & 0x80) != 0;
    if (ALength >= 24) {
        P.micidx = APacket[22];
        P.mic = APacket[23];
    }
    TakeAuxiliary(counter & 7, APacket[5]);

    double s = fScale;
    if (fDynamicScale) {
        s = target.LedsDistance / 4 >= P.VisibleDistance ? 0.4 : target.LedsDistance / P.VisibleDistance;
        if (std::isfinite(s))
            fScale = s = fScaleCheb.Filter(s);
    }
    P.scale = s;

    double x0 = P.x[0], y0 = P.y[0];
    fAngle = 0;
    if (fAngleOn) {
        double theta =
            AnglesDiff(PointsAngle(P.x[2], P.y[2], P.x[1], P.y[1]),
                       PointsAngle(target.LedsX[1], target.LedsY[1], target.LedsX[0], target.LedsY[0]));
        if (std::isfinite(theta))
            fAngle = fAngleCheb.Filter(theta);
    }
    P.angle = fAngle;
    TPoint2D p = RotatePoint(x0, y0, fAngle);
    FilterAndEmit(P, p.x * s, p.y * s);
}

TWD02Sensor::TWD02Sensor(TComponent* AOwner) : TWDM01Sensor(AOwner, ModelWD02, true) {}

// --- WD-03 family ---

TWD03Sensor::TWD03Sensor(TComponent* AOwner) : TWD03Sensor(AOwner, ModelWD03) {}

TWD03Sensor::TWD03Sensor(TComponent* AOwner, const TWDModel& AModel) : TWDCustomSensor(AOwner, AModel) {
    InitializeOwn();
}

void TWD03Sensor::InitializeOwn() {
    fNormalSignal = 40;
    fMaxSignal = 150;
    fMinSignal = 0;
    fMaxNormalSignal = 55;
    fMinNormalSignal = 30;
    InitLowPass(fXCheb, 0.15);
    InitLowPass(fYCheb, 0.15);
    fVisibleDistance = 0;
    fCommand.clear();
    fCommandIndex = 0;
    // Symbol s is the s-th pair (i, j), 0 <= i < j <= 10, in order of i then j: the groups at
    // 1000 + 200 i and 1000 + 200 j Hz.
    size_t symbol = 0;
    for (int i = 0; i <= 10; ++i)
        for (int j = i + 1; j <= 10; ++j)
            fCodes[symbol++] = {1000 + 200 * i, 1000 + 200 * j};
}

void TWD03Sensor::Initialize() {
    TWDCustomSensor::Initialize();
    InitializeOwn();
}

void TWD03Sensor::ProcessStatusPacket(const uint8_t* APacket, size_t ALength) {
    if (ALength == 15 || ALength == 16) {
        TKelvoWDLowSignal amplitudes;
        std::copy(APacket + 4, APacket + 12, amplitudes.Amplitudes.begin());
        TakeBatteryByte(APacket[12]);
        TakeStatusBits(APacket, ALength, 16);
        if (OnLowSignal)
            OnLowSignal(this, &amplitudes);
    } else if (IsNoSignalLength(ALength)) {
        TakeBatteryByte(APacket[15]);
        TakeStatusBits(APacket, ALength, 19);
        if (OnNoSignal)
            OnNoSignal(this);
    } else if (ALength == 7)
        HandleCommandAck(APacket[4], APacket[5]);
}

bool TWD03Sensor::SendSymbol(uint8_t ASymbol) {
    if (!fTarget || ASymbol >= fCodes.size())
        return false;
    return fTarget->SetFrequencies(fCodes[ASymbol].Freq1, fCodes[ASymbol].Freq2);
}

bool TWD03Sensor::SendCommand(const uint8_t* AData, size_t ALen) {
    if (ALen == 0)
        return false;
    std::vector<uint8_t> symbols{KSymbolStart};
    for (size_t i = 0; i < ALen; ++i)
        for (uint8_t nibble : {uint8_t(AData[i] & 0x0F), uint8_t(AData[i] >> 4)}) {
            // The sensor tells symbols apart by their change: a repeated nibble needs a separator.
            if (symbols.back() == nibble)
                symbols.push_back(KSymbolRepeat);
            symbols.push_back(nibble);
        }
    symbols.push_back(KSymbolEnd);
    fCommand = std::move(symbols);
    fCommandIndex = 0;
    if (SendSymbol(KSymbolStart))
        return true;
    // The sensor never saw the start: nothing is pending.
    fCommand.clear();
    return false;
}

void TWD03Sensor::HandleCommandAck(uint8_t AType, uint8_t ASymbol) {
    switch (AType) {
    case 1:
        if (ASymbol == KSymbolIdle) {
            // The sensor dropped the command: so does the host, or a later echo would resume it.
            ResetCommand();
            if (OnCommandCancel)
                OnCommandCancel(this);
        } else if (ASymbol == KSymbolEnd) {
            fCommand.clear();
            fCommandIndex = 0;
            if (OnCommandSuccess)
                OnCommandSuccess(this);
        }
        return;
    case 2:
        if (fCommandIndex < fCommand.size() && ASymbol == fCommand[fCommandIndex]) {
            // A symbol that cannot be set abandons the command as a wrong echo does.
            if (++fCommandIndex < fCommand.size() && SendSymbol(fCommand[fCommandIndex]))
                return;
        }
        ResetCommand();
        return;
    default:
        ResetCommand();
    }
}

void TWD03Sensor::ResetCommand() {
    fCommand.clear();
    fCommandIndex = 0;
    SendSymbol(KSymbolIdle);
}

bool TWD03Sensor::StoreCalibrationScale(uint32_t dwScale) {
    uint8_t command[6] = {0xF0, 0x04};
    PutLE32(command + 2, dwScale);
    return SendCommand(command, sizeof command);
}

bool TWD03Sensor::SetSerialNumber(uint16_t wSerial) {
    uint8_t command[4] = {0xF1, 0x02};
    PutLE16(command + 2, wSerial);
    return SendCommand(command, sizeof command);
}

bool TWD03Sensor::SendPasswordCommand(uint8_t ACode, const std::string& APassword) {
    if (APassword.size() > 0xFF)
        return false;
    std::vector<uint8_t> command{ACode, uint8_t(APassword.size())};
    command.insert(command.end(), APassword.begin(), APassword.end());
    return SendCommand(command.data(), command.size());
}

void TWD03Sensor::TakeAuxiliary(uint8_t ACounter, uint8_t AValue) {
    TSensorTargetGeometry target = Geometry();
    switch (ACounter % 6) {
    case 0:
        if (ACounter == 0)
            TakeBatteryByte(AValue);
        else
            fTestSum = AValue;
        break;
    case 1:
        fTestSum2 = AValue;
        break;
    case 2:
        fAngleWord = int16_t(AValue);
        fAngleBits = 1;
        break;
    case 3:
        fAngleWord = int16_t(uint16_t(fAngleWord) | uint16_t(AValue << 8));
        if (fAngleBits == 1) {
            double theta = std::asin(std::clamp(fAngleWord / 10000.0, -1.0, 1.0));
            if (fAngleWord & 1)
                theta = theta >= 0 ? Pi - theta : -Pi - theta;
            theta = AnglesDiff(
                theta, PointsAngle(target.LedsX[0], target.LedsY[0], target.LedsX[1], target.LedsY[1]));
            if (std::isfinite(theta))
                fAngle = theta;
        }
        fAngleBits = 0;
        break;
    case 4:
        fDistanceWord = AValue;
        fDistanceBits = 1;
        break;
    case 5:
        fDistanceWord = uint16_t(AValue << 8 | (fDistanceWord & 0xFF));
        if (fDistanceBits & 1) {
            fScale = fDistanceWord / 10000.0 * target.LedsDistance / 50;
            fVisibleDistance = fDistanceWord / 10000.0 * 5 * target.LedsDistance / 50;
        }
        fDistanceBits = 0;
        break;
    }
}

bool TWD03Sensor::ReadDataTail(const uint8_t* APacket, size_t ALength, TQueuedPoint_V1& P,
                               uint32_t& ARawScale) {
    if (ALength == 16 && (APacket[14] & 0x80) == 0) {
        P.micidx = APacket[14] & 0x0F;
        P.mic = APacket[15];
    } else if (ALength == 17) {
        P.micidx = APacket[15] & 0x0F;
        P.mic = APacket[16];
    } else if (ALength == 18) {
        ARawScale = GetLE32(APacket + 14);
        return true;
    }
    return false;
}

void TWD03Sensor::ProcessDataPacket(const uint8_t* APacket, size_t ALength) {
    TQueuedPoint_V1 P;
    uint32_t t = TickCount();
    uint8_t k = APacket[4] & 0x7F;
    P.dwCounter = k;
    P.dwSampleCounter = 0;
    P.targetindex = Geometry().Index;
    P.valid = true;
    P.OffScale = (APacket[4] & 0x80) != 0;
    P.OffScaleBits = 255;
    TakeAuxiliary(k, APacket[5]);

    fDynamicScale = false;
    uint32_t rawScale = 0;
    bool raw = ReadDataTail(APacket, ALength, P, rawScale);
    if (raw) {
        fScale = rawScale / KRawScaleUnit * Geometry().LedsDistance / 50;
        fDynamicScale = true;
    }
    P.VisibleDistance = fVisibleDistance;
    P.sum[1] = fTestSum;
    P.sum[2] = fTestSum2;
    P.sum[0] = P.sum[1] + P.sum[2];
    if (fTestSum < 1 || fTestSum2 < 1)
        P.valid = false;
    P.angle = fAngle;
    P.scale = fScale;

    P.dwTick = t - 10;
    EmitPosition(P, int16_t(GetLE16(APacket + 6)), int16_t(GetLE16(APacket + 8)), raw);
    P.dwTick = t;
    EmitPosition(P, int16_t(GetLE16(APacket + 10)), int16_t(GetLE16(APacket + 12)), raw);
}

void TWD03Sensor::EmitPosition(TQueuedPoint_V1 P, int16_t AX, int16_t AY, bool ARaw) {
    double x = ARaw ? AX * fScale : AX / 50.0 * fScale;
    double y = ARaw ? AY * fScale : AY / 50.0 * fScale;
    P.x[0] = x;
    P.y[0] = y;
    double c = std::cos(fAngle), s = std::sin(fAngle);
    // A handler's failure must not stop the sensor: the point is dropped.
    try {
        FilterAndEmit(P, x * c + y * s, y * c - x * s);
    } catch (...) {
    }
}

TWD03V2Sensor::TWD03V2Sensor(TComponent* AOwner) : TWD03Sensor(AOwner, ModelWD03V2) {}

bool TWD03V2Sensor::SetHigherVoltage() {
    const uint8_t command[] = {0xF2, 0x00};
    return SendCommand(command, sizeof command);
}

bool TWD03V2Sensor::SetLowerVoltage() {
    const uint8_t command[] = {0xF3, 0x00};
    return SendCommand(command, sizeof command);
}

TWD05Sensor::TWD05Sensor(TComponent* AOwner) : TWD03Sensor(AOwner, ModelWD05) {}

TWDM02Sensor::TWDM02Sensor(TComponent* AOwner) : TWDM02Sensor(AOwner, ModelWDM02) {}

TWDM02Sensor::TWDM02Sensor(TComponent* AOwner, const TWDModel& AModel) : TWD03Sensor(AOwner, AModel) {}

bool TWDM02Sensor::GetSerialFromPacket(const uint8_t* APacket, size_t ASize) {
    size_t n = SensorPacketLength(APacket, ASize);
    if (n == 15 && (APacket[0] & KSensorPacketStatusBit) != 0)
        return false;
    return TWD03Sensor::GetSerialFromPacket(APacket, ASize);
}

TWDM02V2Sensor::TWDM02V2Sensor(TComponent* AOwner) : TWDM02V2Sensor(AOwner, ModelWDM02V2) {}

TWDM02V2Sensor::TWDM02V2Sensor(TComponent* AOwner, const TWDModel& AModel) : TWDM02Sensor(AOwner, AModel) {}

bool TWDM02V2Sensor::UnlockFuse(const std::string& APassword) {
    return SendPasswordCommand(0xF8, APassword);
}

bool TWDM02V2Sensor::LockFuse(const std::string& APassword) {
    return SendPasswordCommand(0xF9, APassword);
}

TWDM02V3Sensor::TWDM02V3Sensor(TComponent* AOwner) : TWDM02V2Sensor(AOwner, ModelWDM02V3) {}

bool TWDM02V3Sensor::ReadDataTail(const uint8_t* APacket, size_t ALength, TQueuedPoint_V1& P,
                                  uint32_t& ARawScale) {
    bool raw = ALength == 18 || ALength == 19;
    if (ALength == 16 || ALength == 17) {
        P.micidx = APacket[14] & 0x0F;
        P.mic = APacket[15];
    } else if (raw)
        ARawScale = GetLE32(APacket + 14);
    if (ALength == 14 || ALength == 16 || ALength == 18)
        fDeviceStatusBits = 0;
    else if (ALength == 15 || ALength == 17 || ALength == 19)
        fDeviceStatusBits = APacket[ALength - 1];
    return raw;
}

void TWDM02V3Sensor::TakeStatusBits(const uint8_t* APacket, size_t ALength, size_t ABitsLength) {
    fDeviceStatusBits = ALength == ABitsLength ? APacket[ALength - 1] : 0;
}
