#include "MyLib/KelvoUsbSensor.h"

#include "platform/LittleEndian.h"

#include <cmath>

namespace {

constexpr double KFixedOne = 65536.0;
constexpr uint16_t KNewHardware = 5;
// Firmware that answers the regions and protocol requests (new hardware).
constexpr uint16_t KFirmwareWithRegions = 10;
constexpr uint16_t KLP02ProductId = 35;

} // namespace

// --- Calibration conversions ---

float CalibrationValueToFactor(uint32_t AValue) {
    if (AValue == KELVO_CALIBRATION_NOT_SET)
        return 1.0f;
    return float(double(AValue) / KFixedOne);
}

uint32_t CalibrationFactorToValue(float AFactor) {
    if (!std::isfinite(AFactor))
        return KELVO_CALIBRATION_NOT_SET;
    // nearbyint rounds ties to even in the default rounding mode; the remainder keeps the low 32
    // bits of the integer, negative factors included, without an out-of-range conversion.
    double value = std::fmod(std::nearbyint(double(AFactor) * KFixedOne), 4294967296.0);
    if (value < 0)
        value += 4294967296.0;
    return uint32_t(value);
}

bool CalibrationBlockToInfo(const TCalibrationInfoBlock& ABlock, TSensorCalibrationInfo& AInfo) {
    bool complete = true;
    for (int i = 0; i < 4; ++i) {
        AInfo.K[i] = CalibrationValueToFactor(ABlock.k[i]);
        complete = complete && ABlock.k[i] != KELVO_CALIBRATION_NOT_SET;
    }
    AInfo.DistanceK = CalibrationValueToFactor(ABlock.d);
    return complete && ABlock.d != KELVO_CALIBRATION_NOT_SET;
}

TCalibrationInfoBlock CalibrationInfoToBlock(const TSensorCalibrationInfo& AInfo) {
    TCalibrationInfoBlock block;
    for (int i = 0; i < 4; ++i)
        block.k[i] = CalibrationFactorToValue(AInfo.K[i]);
    block.d = CalibrationFactorToValue(AInfo.DistanceK);
    return block;
}

std::array<uint8_t, 20> CalibrationBlockBytes(const TCalibrationInfoBlock& ABlock) {
    std::array<uint8_t, 20> bytes;
    for (int i = 0; i < 4; ++i)
        PutLE32(bytes.data() + 4 * i, ABlock.k[i]);
    PutLE32(bytes.data() + 16, ABlock.d);
    return bytes;
}

TCalibrationInfoBlock CalibrationBlockFromBytes(const uint8_t* ABytes) {
    TCalibrationInfoBlock block;
    for (int i = 0; i < 4; ++i)
        block.k[i] = GetLE32(ABytes + 4 * i);
    block.d = GetLE32(ABytes + 16);
    return block;
}

// --- Life cycle ---

TKelvoSensorUsbDevice::TKelvoSensorUsbDevice(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoSensorUsbDevice::Initialize();
}

TKelvoSensorUsbDevice::~TKelvoSensorUsbDevice() {
    TKelvoSensorUsbDevice::Finalize();
}

void TKelvoSensorUsbDevice::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    for (float& k : fCalibration.K)
        k = 1.0f;
    fCalibration.DistanceK = 1.0f;
    fCalibrationRawData = {{KELVO_CALIBRATION_NOT_SET, KELVO_CALIBRATION_NOT_SET, KELVO_CALIBRATION_NOT_SET,
                            KELVO_CALIBRATION_NOT_SET},
                           KELVO_CALIBRATION_NOT_SET};
    fCalibrated = false;
    fUseCalibration = false;
    fUnlockSuccessful = false;
    fOffScaleADCValue = 4080;
    fMinPiezoLevel = 512;
    fMinPiezoDelta0 = 16;
    fPiezoEdgeDetectionSamples = 5;
    fSamplesPerFrame = 400;
    fFrameLength = 20000;
    fClockFrequency = 8000000;
    fOscData.assign(400, 0);
    fFrameRate = 100;
    fStream.ResetPacketCounter();
    fOscFrameLength = 20000;
    fADCParams = 0x1110;
    fFreq1 = 12;
    fFreq2 = 14;
    fMaxPiezoLevel = 4095;
    fMinSignal = 0.0f;
    fMaxSignal = 8191.0f;
    fNormalSignal = 4000.0f;
    fMaxNormalSignal = 5000.0f;
    fMinNormalSignal = 3000.0f;
    fStream.Aim().SetScale(TOpticalAim::KDefaultScale);
    fOscMode = false;
    fPollReads = true;
    fThreadName = "SENSOR";
}

void TKelvoSensorUsbDevice::Finalize() {
    fOnOscData = nullptr;
    if (Opened())
        Stop();
    TCommonKelvoUsbDevice::Finalize();
}

bool TKelvoSensorUsbDevice::Open() {
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    if (!fGetInfoAfterOpen)
        return true;
    // Each read stands on its own and none of them changes the result of the open.
    GetSamplingParameters();
    GetOffScaleADCValue();
    GetPiezoParams();
    GetADCParams();
    if (IsNewHardware())
        GetFrequencies();
    else
        SetSinTableIndex(0);
    SizeOscBuffer();
    return true;
}

void TKelvoSensorUsbDevice::ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) {
    PrepareStream();
    if (ABuffer)
        fStream.ProcessData(ABuffer.get(), ABufferSize);
}

void TKelvoSensorUsbDevice::DoData(const uint8_t* ABuffer, uint32_t ABufferSize) {
    PrepareStream();
    if (ABuffer)
        fStream.DoData(ABuffer, ABufferSize);
}

void TKelvoSensorUsbDevice::PrepareStream() {
    if (fStreamVersionHW != fVersionHW || fStreamVersionFW != fVersionFW) {
        fStream.SetDevice(fVersionHW, fVersionFW);
        fStreamVersionHW = fVersionHW;
        fStreamVersionFW = fVersionFW;
    }
    fStream.SetCalibration({fCalibration.K[0], fCalibration.K[1], fCalibration.K[2], fCalibration.K[3]});
    fStream.SetUseCalibration(fUseCalibration);
    if (fStream.OscMode() != fOscMode)
        fStream.SetOscMode(fOscMode);
    if (fOscMode) {
        // A block larger than the stream's buffer is refused; the stream keeps its last size.
        fStream.SetOscSamples(fOscData.size());
        if (fOnOscData)
            fStream.SetOnOscData(
                [this](const std::vector<uint16_t>& ASamples) { fOnOscData(this, ASamples); });
        else
            fStream.SetOnOscData(nullptr);
    }
}

void TKelvoSensorUsbDevice::SizeOscBuffer() {
    if (fFrameLength == 0)
        return;
    double samples =
        std::nearbyint(double(fSamplesPerFrame) * double(fOscFrameLength) / double(fFrameLength));
    if (samples > KMaxOscSamples)
        return;
    fOscData.assign(std::size_t(samples), 0);
}

// --- Identity ---

bool TKelvoSensorUsbDevice::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(SENSOR_REQ_SERIAL, ASerial);
}

bool TKelvoSensorUsbDevice::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    uint8_t answer[4];
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_VERSION, 0, 0)) {
        // The earliest sensors do not answer the version request.
        fVersionHW = 2;
        fVersionFW = 1;
        return false;
    }
    ASF = GetLE16(answer);
    AHW = GetLE16(answer + 2);
    return true;
}

bool TKelvoSensorUsbDevice::GetLocked(bool& ALocked) {
    if (fVersionFW < 2) { // cannot report: taken as locked
        ALocked = true;
        fLocked = true;
        return true;
    }
    return ReadLockState(SENSOR_REQ_LOCKED, ALocked);
}

bool TKelvoSensorUsbDevice::Unlock(const TDeviceKey& AKey) {
    bool sent = VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), SENSOR_REQ_UNLOCK, 0, 0);
    if (fVersionFW >= 4) {
        if (sent) {
            fUnlockSuccessful = true;
            fLocked = false;
        }
        return sent;
    }
    // Older firmware acknowledges any key; a board that can report its lock state is asked.
    bool result = sent;
    if (fVersionHW > 1) {
        bool locked = true;
        result = GetLocked(locked) && !locked;
    }
    // A wrong key shows at Start, which locks the object again.
    fUnlockSuccessful = true;
    fLocked = false;
    return result;
}

bool TKelvoSensorUsbDevice::Lock(const TDeviceKey& AKey) {
    if (IsNewHardware())
        return SendLockKey(SENSOR_REQ_LOCK_WITH_KEY, AKey);
    bool sent = VendorRequest(SENSOR_REQ_LOCK, 0, 0);
    if (sent && fVersionHW > 1 && fVersionFW > 1)
        fLocked = true;
    return sent;
}

bool TKelvoSensorUsbDevice::GetRegions(uint16_t* ARegions) {
    if (!IsNewHardware() || fVersionFW <= KFirmwareWithRegions)
        return TCommonKelvoUsbDevice::GetRegions(ARegions);
    return ReadRegionsWord(SENSOR_REQ_REGIONS, ARegions);
}

bool TKelvoSensorUsbDevice::SetRegions(uint16_t ARegions, PDeviceKey APassword) {
    if (!IsNewHardware() || fVersionFW <= KFirmwareWithRegions)
        return TCommonKelvoUsbDevice::SetRegions(ARegions, APassword);
    return WriteRegionsWithKey(SENSOR_REQ_REGIONS, ARegions, APassword);
}

bool TKelvoSensorUsbDevice::NeedToRecoverOptionsAfterUpdate() {
    return !(fDeviceDescriptorValid && fDeviceDescriptor.idProduct == KLP02ProductId &&
             fVersionFW > KFirmwareWithRegions);
}

std::string TKelvoSensorUsbDevice::ModelDescription() {
    return "KELVO USB optical sensor";
}

std::string TKelvoSensorUsbDevice::ModelType() {
    if (fDeviceDescriptorValid && fDeviceDescriptor.idProduct == KLP02ProductId)
        return fVersionHW == 5 ? "LP-02" : "unknown";
    return fVersionHW == 2 ? "LP-01(147)" : "LP-01";
}

bool TKelvoSensorUsbDevice::GetProtocolVersion(PProtocolVersion AVersion) {
    if (fVersionHW == 5 && fVersionFW > KFirmwareWithRegions)
        return TCommonKelvoUsbDevice::GetProtocolVersion(AVersion);
    fProtocolVersionMajor = 1;
    fProtocolVersionMinor = 1;
    if (AVersion)
        *AVersion = TProtocolVersion{1, 1};
    return true;
}

std::string TKelvoSensorUsbDevice::DeveloperName() {
    switch (fVersionHW) {
    case 1:
    case 2:
        return "LP-01-147";
    case 3:
        return "LP-01-235";
    case 5:
        return "LP-02";
    default:
        return "LP-??";
    }
}

TKelvoUsbTransceiver TKelvoSensorUsbDevice::UsbTransceiver() {
    return IsNewHardware() ? KELVO_USB_MSP430X5XX : KELVO_USB_D12;
}

TOptionsResult TKelvoSensorUsbDevice::SaveOptions(TDeviceOptionsFile& AFile) {
    if (!GetCalibrationInfo())
        return TOptionsResult::NotReadFromDevice;
    if (!AFile.WriteBlock(CalibrationOptionKey, &fCalibrationRawData, sizeof fCalibrationRawData))
        return TOptionsResult::NotStored;
    return TOptionsResult::Done;
}

TOptionsResult TKelvoSensorUsbDevice::RecoverOptions(TDeviceOptionsFile& AFile) {
    TCalibrationInfoBlock block{};
    if (!AFile.ReadBlock(CalibrationOptionKey, &block, sizeof block))
        return TOptionsResult::StoredNotRead;
    if (!SetCalibrationInfo(block))
        return TOptionsResult::NotSetInDevice;
    if (!ApplyCalibrationInfo())
        return TOptionsResult::NotFlashed;
    return TOptionsResult::Done;
}

// --- Measuring ---

bool TKelvoSensorUsbDevice::SetOscMode(bool ATurnOn, uint16_t AChannel) {
    bool sent =
        ATurnOn ? VendorRequest(SENSOR_REQ_OSC_ON, AChannel, 0) : VendorRequest(SENSOR_REQ_OSC_OFF, 0, 0);
    if (sent) {
        fOscMode = ATurnOn;
        fStream.SetOscMode(ATurnOn);
    }
    return sent;
}

bool TKelvoSensorUsbDevice::Start() {
    if (VendorRequest(SENSOR_REQ_START, 0, 0)) {
        fStream.ClearFifo();
        return true;
    }
    // A locked device refuses to start: an unlock that was only assumed did not take.
    if (fUnlockSuccessful) {
        fUnlockSuccessful = false;
        fLocked = true;
    }
    return false;
}

bool TKelvoSensorUsbDevice::Stop() {
    return VendorRequest(SENSOR_REQ_STOP, 0, 0);
}

bool TKelvoSensorUsbDevice::ResetPacketCounter() {
    if (IsNewHardware() && !VendorRequest(SENSOR_REQ_RESET_COUNTER, 0, 0))
        return false;
    fStream.ResetPacketCounter();
    return true;
}

// --- Calibration ---

bool TKelvoSensorUsbDevice::GetCalibrationInfo() {
    uint8_t answer[20];
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_CALIBRATION, 0, 0)) {
        fCalibrated = false;
        return false;
    }
    fCalibrationRawData = CalibrationBlockFromBytes(answer);
    fCalibrated = CalibrationBlockToInfo(fCalibrationRawData, fCalibration);
    return true;
}

bool TKelvoSensorUsbDevice::SetCalibrationInfo() {
    TCalibrationInfoBlock block = CalibrationInfoToBlock(fCalibration);
    auto bytes = CalibrationBlockBytes(block);
    if (!VendorRequestWrite(bytes.data(), 16, SENSOR_REQ_SET_CALIBRATION_K, 0, 0))
        return false;
    for (int i = 0; i < 4; ++i)
        fCalibrationRawData.k[i] = block.k[i];
    if (!VendorRequestWrite(bytes.data() + 16, 4, SENSOR_REQ_SET_CALIBRATION_D, 0, 0))
        return false;
    fCalibrationRawData.d = block.d;
    return true;
}

bool TKelvoSensorUsbDevice::SetCalibrationInfo(const TCalibrationInfoBlock& ABlock) {
    auto bytes = CalibrationBlockBytes(ABlock);
    if (!VendorRequestWrite(bytes.data(), 16, SENSOR_REQ_SET_CALIBRATION_K, 0, 0))
        return false;
    for (int i = 0; i < 4; ++i) {
        fCalibrationRawData.k[i] = ABlock.k[i];
        if (ABlock.k[i] == KELVO_CALIBRATION_NOT_SET)
            fCalibrated = false;
        fCalibration.K[i] = CalibrationValueToFactor(ABlock.k[i]);
    }
    if (!VendorRequestWrite(bytes.data() + 16, 4, SENSOR_REQ_SET_CALIBRATION_D, 0, 0))
        return false;
    fCalibrationRawData.d = ABlock.d;
    if (ABlock.d == KELVO_CALIBRATION_NOT_SET)
        fCalibrated = false;
    fCalibration.DistanceK = CalibrationValueToFactor(ABlock.d);
    return true;
}

bool TKelvoSensorUsbDevice::ApplyCalibrationInfo() {
    if (!VendorRequest(SENSOR_REQ_APPLY_CALIBRATION, 0, 0))
        return false;
    TSensorCalibrationInfo numbers;
    fCalibrated = CalibrationBlockToInfo(fCalibrationRawData, numbers);
    return true;
}

bool TKelvoSensorUsbDevice::ResetCalibrationInfo() {
    TCalibrationInfoBlock unset;
    for (uint32_t& k : unset.k)
        k = KELVO_CALIBRATION_NOT_SET;
    unset.d = KELVO_CALIBRATION_NOT_SET;
    auto bytes = CalibrationBlockBytes(unset);
    if (!VendorRequestWrite(bytes.data(), 16, SENSOR_REQ_SET_CALIBRATION_K, 0, 0))
        return false;
    for (int i = 0; i < 4; ++i) {
        fCalibrationRawData.k[i] = KELVO_CALIBRATION_NOT_SET;
        fCalibration.K[i] = 1.0f;
    }
    if (!VendorRequestWrite(bytes.data() + 16, 4, SENSOR_REQ_SET_CALIBRATION_D, 0, 0))
        return false;
    fCalibration.DistanceK = 1.0f;
    fCalibrationRawData.d = KELVO_CALIBRATION_NOT_SET;
    return true;
}

bool TKelvoSensorUsbDevice::IsCalibrationValid() const {
    for (float k : fCalibration.K)
        if (k == 0.0f)
            return false;
    return true;
}

bool TKelvoSensorUsbDevice::IsDistanceKValid() const {
    return fCalibration.DistanceK != 1.0f;
}

double TKelvoSensorUsbDevice::Distance() const {
    return fStream.Aim().Scale() * fCalibration.DistanceK;
}

bool TKelvoSensorUsbDevice::SetStaticTarget(double ADistance, double ALedX1, double ALedY1, double ALedX2,
                                            double ALedY2) {
    if (fCalibration.DistanceK == 0.0f || !std::isfinite(fCalibration.DistanceK))
        return false;
    fStream.Aim().SetStaticTarget(ADistance, fCalibration.DistanceK, ALedX1, ALedY1, ALedX2, ALedY2);
    return true;
}

// --- Sampling, ADC, piezo, LED frequencies ---

bool TKelvoSensorUsbDevice::GetSamplingParameters() {
    if (!IsNewHardware()) {
        fSamplesPerFrame = 400;
        fFrameLength = 20000;
        fClockFrequency = fVersionHW >= 3 ? 16000000 : 8000000;
        fFrameRate = 100;
        return true;
    }
    uint8_t answer[10];
    uint32_t wasRead = 0;
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_SAMPLING, 0, 0, wasRead) ||
        wasRead != sizeof answer)
        return false;
    // The frame length divides the oscilloscope sizing and the stream timing.
    uint16_t frameLength = GetLE16(answer + 2);
    if (frameLength == 0)
        return false;
    fSamplesPerFrame = GetLE16(answer);
    fFrameLength = frameLength;
    fClockFrequency = GetLE32(answer + 4);
    fFrameRate = GetLE16(answer + 8);
    return true;
}

bool TKelvoSensorUsbDevice::GetOffScaleADCValue() {
    if (!IsNewHardware()) {
        fOffScaleADCValue = 0;
        return true;
    }
    uint8_t answer[2];
    uint32_t wasRead = 0;
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_OFFSCALE, 0, 0, wasRead) ||
        wasRead != sizeof answer)
        return false;
    fOffScaleADCValue = GetLE16(answer);
    return true;
}

bool TKelvoSensorUsbDevice::SetOffScaleADCValue(uint16_t AValue) {
    if (!IsNewHardware() || !VendorRequest(SENSOR_REQ_SET_OFFSCALE, AValue, 0))
        return false;
    fOffScaleADCValue = AValue;
    return true;
}

bool TKelvoSensorUsbDevice::GetPiezoParams() {
    if (!IsNewHardware()) {
        bool board147 = fVersionHW <= 2;
        fMinPiezoLevel = board147 ? 2048 : 64;
        fMinPiezoDelta0 = board147 ? 0 : 16;
        fPiezoEdgeDetectionSamples = 0;
        return true;
    }
    uint8_t answer[6];
    uint32_t wasRead = 0;
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_PIEZO, 0, 0, wasRead) ||
        wasRead != sizeof answer)
        return false;
    fMinPiezoLevel = GetLE16(answer);
    fMinPiezoDelta0 = GetLE16(answer + 2);
    fPiezoEdgeDetectionSamples = GetLE16(answer + 4);
    return true;
}

bool TKelvoSensorUsbDevice::SetPiezoParams(uint16_t AMinPiezoLevel, uint16_t AMinPiezoDelta0) {
    if (!IsNewHardware() || !VendorRequest(SENSOR_REQ_SET_PIEZO, AMinPiezoLevel, AMinPiezoDelta0))
        return false;
    fMinPiezoLevel = AMinPiezoLevel;
    fMinPiezoDelta0 = AMinPiezoDelta0;
    return true;
}

bool TKelvoSensorUsbDevice::SetPiezoEdgeDetectionSamples(uint16_t AValue) {
    if (!IsNewHardware() || !VendorRequest(SENSOR_REQ_SET_EDGE_SAMPLES, AValue, 0))
        return false;
    fPiezoEdgeDetectionSamples = AValue;
    return true;
}

bool TKelvoSensorUsbDevice::SetPiesoLevel(uint16_t AValue) {
    bool sent = VendorRequest(SENSOR_REQ_PIEZO_LEVEL, AValue, 0);
    fMinPiezoLevel = AValue;
    return sent;
}

bool TKelvoSensorUsbDevice::GetADCParams() {
    if (!IsNewHardware()) {
        fADCParams = fVersionHW <= 2 ? 0x1110 : 0x2230;
        return true;
    }
    uint8_t answer[2];
    uint32_t wasRead = 0;
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_ADC, 0, 0, wasRead) ||
        wasRead != sizeof answer)
        return false;
    fADCParams = GetLE16(answer);
    return true;
}

bool TKelvoSensorUsbDevice::ReconfigureADC(uint8_t ASHT, uint8_t ADivider, uint8_t ACLKSrc, bool APDiv) {
    if (!IsNewHardware())
        return false;
    uint16_t config =
        uint16_t((ASHT & 15) * 0x1100 + (ADivider & 7) * 32 + (ACLKSrc & 3) * 8 + (APDiv ? 1 : 0));
    return VendorRequest(SENSOR_REQ_RECONFIGURE_ADC, config, 0);
}

bool TKelvoSensorUsbDevice::GetFrequencies() {
    if (!IsNewHardware())
        return true; // the sine table chose them
    uint8_t answer[2];
    uint32_t wasRead = 0;
    if (!VendorRequestRead(answer, sizeof answer, SENSOR_REQ_GET_FREQUENCIES, 0, 0, wasRead) ||
        wasRead != sizeof answer)
        return false;
    // The device sends halves; a half of 128 or more has no frequency a byte can hold.
    if (answer[0] > 127 || answer[1] > 127)
        return false;
    fFreq1 = uint8_t(answer[0] * 2);
    fFreq2 = uint8_t(answer[1] * 2);
    return true;
}

bool TKelvoSensorUsbDevice::SetFrequencies(uint8_t AFreq1, uint8_t AFreq2) {
    if (!IsNewHardware()) {
        if (AFreq1 == 12 && AFreq2 == 14)
            return SetSinTableIndex(0);
        if (AFreq1 == 16 && AFreq2 == 18)
            return SetSinTableIndex(1);
        return false;
    }
    if (AFreq1 % 2 || AFreq2 % 2)
        return false;
    if (!VendorRequest(SENSOR_REQ_SET_FREQUENCIES, AFreq1 / 2, AFreq2 / 2))
        return false;
    fFreq1 = AFreq1;
    fFreq2 = AFreq2;
    return true;
}

bool TKelvoSensorUsbDevice::SetSinTableIndex(uint16_t AIndex) {
    if (!VendorRequest(SENSOR_REQ_SIN_TABLE, AIndex, 0))
        return false;
    if (AIndex == 0) {
        fFreq1 = 12;
        fFreq2 = 14;
    } else if (AIndex == 1) {
        fFreq1 = 16;
        fFreq2 = 18;
    }
    return true;
}
