#include "MyLib/KelvoUsbQV.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

// Vendor requests of the camera sensor.
enum : uint8_t {
    QV_REQ_SERIAL = 0x40,
    QV_REQ_LOCKED = 0x41,
    QV_REQ_UNLOCK = 0x42,
    QV_REQ_LOCK = 0x43,
    QV_REQ_VERSION = 0x44,
    QV_REQ_START = 0x80,
    QV_REQ_STOP = 0x81,
    QV_REQ_SHUTTER_WIDTH = 0x82,
    QV_REQ_DATA_MODE = 0x84,
    QV_REQ_READJUST = 0x85,
    QV_REQ_SET_REGISTER = 0x86,
    QV_REQ_MIC_LEVELS = 0x87,
    QV_REQ_ANALOG_GAIN = 0x8B,
    QV_REQ_SET_CENTER_XY0 = 0x8C,
    QV_REQ_RESET_COUNTER = 0x8D,
    QV_REQ_MIC_LEVELS_OLD = 0x8F,
    QV_REQ_AUTO_ADJUST_SHUTTER = 0x92,
    QV_REQ_SET_TIMER_VALUE = 0x95,
    QV_REQ_GET_TIMER_VALUE = 0x96,
    QV_REQ_SET_FOLLOW_ZONE = 0x9B,
    QV_REQ_GET_FOLLOW_ZONE = 0x9C,
    QV_REQ_VREF_ADC = 0x9D,
    QV_REQ_ADJUST_IF_LOST = 0x9E,
    QV_REQ_ADJUST_SHUTTER = 0x9F,
    QV_REQ_GET_CALIBRATED_DISTANCE = 0xA0,
    QV_REQ_SET_CALIBRATED_DISTANCE = 0xA1,
    QV_REQ_FLASH_PARAMS_SIZE = 0xA2,
    QV_REQ_READ_FLASH_PARAMS = 0xA3,
    QV_REQ_WRITE_FLASH_PARAMS = 0xA4,
    QV_REQ_PROTOCOL_MAJOR = 0xA5,
    QV_REQ_INIT_TEMPLATE = 0xB1,
    QV_REQ_LOAD_TEMPLATE = 0xB2,
    QV_REQ_FINALIZE_TEMPLATE = 0xB3,
    QV_REQ_CLK_PARAMETERS = 0xB5,
    QV_REQ_MAIN_MODE = 0xB8,
    QV_REQ_ADJUST_MODE = 0xB9,
    QV_REQ_WORKING_PARAMETER = 0xBA,
    QV_REQ_PIESO_PARAMETERS = 0xBB,
    QV_REQ_MODE_EX = 0xBC,
    QV_REQ_SYS_INFO = 0xC1,
    QV_REQ_FLASH_SYS_INFO = 0xC2,
    QV_REQ_ERASE_FLASH_SYS_INFO = 0xC3,
    QV_REQ_BOTTOM_OF_STACK = 0xC4,
    QV_REQ_DEBUG = 0xC5,
    QV_REQ_SYS_RST_IV = 0xC6,
    QV_REQ_REGIONS = 0xD0,
    QV_REQ_ACC_CALIBRATION = 0xD4,
    QV_REQ_DISABLE_PARAMS_CHANGE = 0xD5,
    QV_REQ_ENABLE_PARAMS_CHANGE = 0xD6,
};

// Working parameters (request 0xBA, wIndex).
enum : uint16_t {
    WP_BLACK_LEVEL = 1,
    WP_WHITE_LEVEL = 2,
    WP_ROW_BIN = 3,
    WP_USE_ROW_MASKS = 4,
    WP_AUTO_ANALOG_GAIN = 5,
    WP_PRINT_TEMPLATE = 8,
    WP_MIN_SHUTTER_TO_GAIN = 9,
    WP_MAX_SHUTTER_TO_GAIN = 10,
    WP_FRAME_SIZE = 12,
    WP_FRAME_WIDTH = 13,
    WP_FRAME_HEIGHT = 14,
    WP_SHOCK_DETECTION_MODE = 15,
    WP_ACC_SHOCK_EDGE_LEVEL = 16,
    WP_FOLLOW_IN_ADJUST = 17,
    WP_BIATHLON_DISTANCE = 18,
    WP_USE_ACC_CALIBRATION = 19,
    WP_TIMER_A_DIVIDER = 20,
    WP_FPS = 21,
    WP_ROW_BIN_SWITCHING_MAIN = 22,
    WP_ROW_BIN_SWITCHING_ADJUST = 23,
    // Where 0xFFFF firmware keeps the settings that others answer with requests of their own.
    WP_ANALOG_GAIN = 27,
    WP_DATA_MODE = 28,
    WP_AUTO_ADJUST_SHUTTER = 29,
    WP_VREF_ADC = 30,
    WP_ADJUST_IF_LOST = 31,
    WP_ADJUST_SHUTTER = 32,
    WP_SHUTTER_WIDTH = 33,
};

constexpr uint16_t KRegisterShutterWidth = 11;
constexpr uint16_t KResetToDefaults = 0xFFFF;
constexpr uint32_t KNotCalibrated = 0xFFFFFFFF;
constexpr float KOldScaleK = 1.0f;
constexpr float KOldLensDistance = 45.0f;
constexpr uint8_t KOldRowNoiseConst = 42;
constexpr double KDefaultWorkingDistance = 50000;
// Fault-log entry markers and sizes.
constexpr uint8_t KFaultEntryLong = 0x82;
constexpr uint8_t KFaultEntryShort = 0x83;
constexpr uint32_t KFaultLogBytes = 128;
// Measuring modes and the biathlon window.
constexpr uint8_t KAdjustMode = 1;
constexpr uint8_t KMainMode = 2;
constexpr uint8_t KAdjustBiathlonMode = 3;
constexpr uint16_t KBiathlonFrameSize = 80;
// Template items per load request (63 bytes), and the firmware that has no custom templates.
constexpr int KTemplateItemsPerRequest = 21;
constexpr uint16_t KNoTemplatesFirmware = 7;
// Firmware above this keeps one template per row binning.
constexpr uint16_t KOneTemplateFirmware = 30;

// Stores a value read or written in its field and copies it to the caller when asked.
template <typename T> bool Give(T& AField, std::type_identity_t<T> AValue, std::type_identity_t<T>* AOut) {
    AField = AValue;
    if (AOut)
        *AOut = AValue;
    return true;
}

const char* EditionSuffix(uint16_t AModel) {
    switch (AModel) {
    case 1:
    case 3:
        return " BASIC";
    case 2:
        return " ARCHERY";
    case 4:
        return " RVK/DLT";
    case 5:
        return "-S";
    default:
        return "";
    }
}

// Column of the model-type table: editions 1/3, 2, 4, 5, other.
int EditionColumn(uint16_t AModel) {
    switch (AModel) {
    case 1:
    case 3:
        return 0;
    case 2:
        return 1;
    case 4:
        return 2;
    case 5:
        return 3;
    default:
        return 4;
    }
}

const char* const KModelTypes[5][5] = {
    {"QV-T01-B", "QV-A01", "QV-T01", "QV-01(S)", "QV-01"},
    {"QV-T02-B", "QV-A02", "QV-T02", "QV-02(S)", "QV-02"},
    {"QV-T02V2-B", "QV-A02V2", "QV-T02V2", "QV-02S", "QV-02V2"},
    {"QV-T02V1-B", "QV-A02V1", "QV-T02V1", "QV-02V1(S)", "QV-02V1"},
    {"QV-T02V3-B", "QV-A02V3", "QV-T02V3", "QV-02V3(S)", "QV-02V3"},
};

const char* const KDeveloperNames[5] = {"QV-01", "QV-02", "QV-02V2", "QV-02V1", "QV-02V3"};

// A lens distance the pixel scale can be divided by.
bool UsableDistance(double AValue) {
    return std::isfinite(AValue) && AValue > 0;
}

} // namespace

uint16_t QVAccCalibrationChecksum(const TQVAccCalibration& ACalibration) {
    uint8_t bytes[sizeof ACalibration];
    std::memcpy(bytes, &ACalibration, sizeof bytes);
    uint16_t sum = 0;
    for (size_t i = 0; i < 21; ++i)
        sum = uint16_t(sum + GetLE16(bytes + 2 * i));
    return uint16_t(~sum);
}

TKelvoUsbQVSensor::TKelvoUsbQVSensor(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoUsbQVSensor::Initialize();
    // Handlers see the sensor's values as the packet left them, and what they change reaches the
    // packets after theirs.
    fStream.SetOnPacket([this](const TQVDataPacket_V1& APacket) {
        if (!fOnPacket)
            return;
        TakeStreamValues();
        fOnPacket(this, APacket);
        PutStreamValues();
    });
    fStream.SetOnImage([this](const TQVDataPacket_V1& APacket, const TQVBitmap& ABitmap) {
        if (!fOnImage)
            return;
        TakeStreamValues();
        fOnImage(this, APacket, ABitmap);
        PutStreamValues();
    });
    fStream.SetOnNewPoint([this](const TQueuedPoint_V1& APoint) {
        if (!fOnNewPoint) {
            if (!fStorePoints)
                return;
            // The queued copy outlives the packet it was made from.
            TQueuedPoint_V1 queued = APoint;
            queued.ExtraData = nullptr;
            fPoints.Add(&queued);
            return;
        }
        TakeStreamValues();
        fOnNewPoint(this, &APoint);
        PutStreamValues();
    });
}

void TKelvoUsbQVSensor::ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) {
    if (!ABuffer)
        return;
    PutStreamValues();
    fStream.ProcessData(ABuffer.get(), ABufferSize);
    TakeStreamValues();
}

void TKelvoUsbQVSensor::DoData(const uint8_t* ABuffer, uint32_t ABufferSize) {
    if (!ABuffer)
        return;
    PutStreamValues();
    fStream.DoData(ABuffer, ABufferSize);
    TakeStreamValues();
}

void TKelvoUsbQVSensor::ProtocolVersionChanged() {
    fStream.SetProtocol(fProtocolVersionMajor);
}

void TKelvoUsbQVSensor::PutStreamValues() {
    fStream.Sensor() = {fPixToMMScale, fWorkingDistance, fMT9VrefADC,  fAnalogGain,
                        fStartX,       fStartY,          fShutterWidth};
}

void TKelvoUsbQVSensor::TakeStreamValues() {
    const TQVSensorValues& values = fStream.Sensor();
    fMT9VrefADC = values.VrefADC;
    fAnalogGain = values.AnalogGain;
    fStartX = values.StartX;
    fStartY = values.StartY;
    fShutterWidth = values.ShutterWidth;
}

void TKelvoUsbQVSensor::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    TQV01FlashParams defaults{};
    defaults.dwCalibratedDistance = KNotCalibrated;
    defaults.wMT9CenterX = 501;
    defaults.wMT9CenterY = 240;
    defaults.ScaleK = KOldScaleK;
    defaults.LensDistance = KOldLensDistance;
    defaults.RowNoiseConst.fill(KOldRowNoiseConst);
    defaults.Model = 0;
    TakeFlashParams(defaults);
    fGetInfoAfterOpen = true;
    fPixelSize = QV_PIXEL_SIZE;
    SetWorkingDistance(fCalibratedDistance == KNotCalibrated ? KDefaultWorkingDistance
                                                             : fCalibratedDistance / 65536.0);
    fMatrixWidth = 752;
    fMatrixHeight = 480;
    fAccCalibrationOk = false;
    fAccCalibration = TQVAccCalibration{};
    fProtocolVersionMajor = 0;
    fProtocolVersionMinor = 0;
    fStream.SetProtocol(0);
    SetHostDefaults();
}

void TKelvoUsbQVSensor::SetHostDefaults() {
    fStarted = false;
    fShutterWidth = 32;
    fDataMode = 0;
    fStartX = 4;
    fStartY = 4;
    fMicLevel = 16;
    fMicEdgeLevel = 1;
    fFollowZoneRadius = 240;
    fMT9VrefADC = 0;
    fAnalogGain = 64;
    fAutoAdjustShutter = 1;
    fAdjustShutterIfTargetLost = false;
    fCLKParameters = {0x0201, 0x0101, 1};
    fPiesoParameters = {64, 4, 4};
    fPrintTemplate = false;
    fAutoAdjustAnalogGain = 2;
    fFrameWidth = 80;
    fFrameHeight = 80;
    fShockDetectionMode = 1;
    fAccShockEdgeLevel = 1024;
    fFollowInAdjust = 0;
    fBiathlonTargetsDistancePix = 38;
    SetWindowOrigin(fMT9CenterX, fMT9CenterY);
    fRowBin = 4;
    fMode = 1;
    fBlackLevel = 200;
    fWhiteLevel = 255;
    fFPS = 100;
    fUseAccCalibration = fAccCalibrationOk;
    fEnableRowBinSwitchingInMainMode = false;
    fEnableRowBinSwitchingInAdjustMode = false;
}

bool TKelvoUsbQVSensor::Open() {
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    if (!fGetInfoAfterOpen)
        return true;
    // Each read stands on its own: a refused one leaves its default.
    ReadFlashParams();
    GetBlackLevel();
    GetWhiteLevel();
    GetRowBin();
    GetFollowZoneRadius();
    GetMicLevels();
    GetTimerValue();
    GetMT9VrefADC();
    GetDataMode();
    GetAnalogGain();
    GetAutoAdjustShutter();
    GetAdjustShutterIfTargetLost();
    GetCLKParameters();
    GetPiesoParameters();
    GetPrintTemplate();
    GetAutoAdjustAnalogGain();
    GetUseRowMasks();
    GetMinShutterToGain();
    GetMaxShutterToGain();
    GetAdjustShutter();
    GetFrameWidth();
    GetShockDetectionMode();
    GetFollowInAdjust();
    GetBiathlonTargetsDistancePix();
    ReadAccCalibrationData();
    GetUseAccCalibration();
    GetFPS();
    return true;
}

// --- Identification ---

bool TKelvoUsbQVSensor::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(QV_REQ_SERIAL, ASerial);
}

bool TKelvoUsbQVSensor::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    return ReadVersionWords(QV_REQ_VERSION, AHW, ASF);
}

bool TKelvoUsbQVSensor::GetLocked(bool& ALocked) {
    return ReadLockState(QV_REQ_LOCKED, ALocked);
}

bool TKelvoUsbQVSensor::Unlock(const TDeviceKey& AKey) {
    return SendUnlockKey(QV_REQ_UNLOCK, AKey);
}

bool TKelvoUsbQVSensor::Lock(const TDeviceKey& AKey) {
    return SendLockKey(QV_REQ_LOCK, AKey);
}

bool TKelvoUsbQVSensor::GetRegions(uint16_t* ARegions) {
    if (fVersionFW < 19)
        return TCommonKelvoUsbDevice::GetRegions(ARegions);
    return ReadRegionsWord(QV_REQ_REGIONS, ARegions);
}

bool TKelvoUsbQVSensor::SetRegions(uint16_t ARegions, PDeviceKey APassword) {
    if (fVersionFW < 19)
        return TCommonKelvoUsbDevice::SetRegions(ARegions, APassword);
    return WriteRegionsWithKey(QV_REQ_REGIONS, ARegions, APassword);
}

bool TKelvoUsbQVSensor::NeedToRecoverOptionsAfterUpdate() {
    return fVersionFW <= 18;
}

bool TKelvoUsbQVSensor::CanChangeRegions() {
    return fVersionFW > 18;
}

std::string TKelvoUsbQVSensor::ModelDescription() {
    switch (Model()) {
    case 1:
    case 3:
        return "KELVO BASIC sensor";
    case 2:
        return "KELVO Archery sensor";
    case 4:
        return "KELVO RVK/DLT sensor";
    case 5:
        return "KELVO QV-02S sensor";
    default:
        return "KELVO QV-02 sensor";
    }
}

std::string TKelvoUsbQVSensor::ModelType() {
    if (fVersionHW < 1 || fVersionHW > 5)
        return "unknown";
    return KModelTypes[fVersionHW - 1][EditionColumn(Model())];
}

std::string TKelvoUsbQVSensor::DeveloperName() {
    const std::string board = fVersionHW >= 1 && fVersionHW <= 5 ? KDeveloperNames[fVersionHW - 1] : "QV-??";
    return board + EditionSuffix(Model());
}

TKelvoUsbTransceiver TKelvoUsbQVSensor::UsbTransceiver() {
    return KELVO_USB_MSP430X5XX;
}

std::string TKelvoUsbQVSensor::Code128() {
    return "QV:" + Code128Word(fRegions) + Code128Word(Model()) + Code128Serial(fSerialNum);
}

std::optional<uint16_t> TKelvoUsbQVSensor::ImpliedProtocolMajor(uint16_t AVersionHW, uint16_t AVersionFW) {
    if (AVersionFW >= 15)
        return std::nullopt;
    if (AVersionHW == 1)
        return AVersionFW > 10 ? 11 : AVersionFW == 10 ? 2 : 1;
    if (AVersionHW == 2 || AVersionHW == 3)
        return AVersionFW <= 10 ? 10 : 11;
    return std::nullopt;
}

bool TKelvoUsbQVSensor::GetProtocolVersion(PProtocolVersion AVersion) {
    if (fVersionFW > 20)
        return TCommonKelvoUsbDevice::GetProtocolVersion(AVersion);
    uint16_t major;
    if (fVersionFW >= 15) {
        if (!ReadWord(QV_REQ_PROTOCOL_MAJOR, major))
            return false;
    } else if (const auto implied = ImpliedProtocolMajor(fVersionHW, fVersionFW)) {
        major = *implied;
    } else {
        return false;
    }
    fProtocolVersionMajor = major;
    fProtocolVersionMinor = 0;
    ProtocolVersionChanged();
    return true;
}

// --- Update ---

TOptionsResult TKelvoUsbQVSensor::SaveOptions(TDeviceOptionsFile& AFile) {
    TQV01FlashParams params{};
    if (!ReadFlashParams(params))
        return TOptionsResult::NotReadFromDevice;
    if (!AFile.WriteBlock(CalibrationOptionKey, &params, sizeof params))
        return TOptionsResult::NotStored;
    TQVAccCalibration acc{};
    if (ReadAccCalibrationData(acc) && !AFile.WriteBlock("AccCalibration", &acc, sizeof acc))
        return TOptionsResult::NotStored;
    if (!AFile.WriteInteger("Regions", fRegions) || !AFile.WriteBool("Locked", fLocked))
        return TOptionsResult::NotStored;
    return TOptionsResult::Done;
}

TOptionsResult TKelvoUsbQVSensor::RecoverOptions(TDeviceOptionsFile& AFile) {
    // Only a sensor whose firmware keeps its parameters in the flash the update erases is asked
    // (the others are saved as needing no recovery); without a write-back it would come out of
    // every update with its lens and sensor parameters gone.
    TQV01FlashParams params{};
    if (!AFile.ReadBlock(CalibrationOptionKey, &params, sizeof params))
        return TOptionsResult::StoredNotRead;
    if (!WriteFlashParams(params))
        return TOptionsResult::NotSetInDevice;
    return TOptionsResult::Done;
}

bool TKelvoUsbQVSensor::NeedToConfirmSwitchToStub() {
    return true;
}

std::string TKelvoUsbQVSensor::SwitchToStubError() {
    return "Cannot switch QV sensor into STUB mode!";
}

bool TKelvoUsbQVSensor::NeedToReplugAfterErase() {
    return fVersionFW <= 10;
}

// --- Records ---

uint32_t TKelvoUsbQVSensor::FlashParamsSize() const {
    if (fVersionFW >= 15)
        return 26;
    if (fVersionFW >= 11)
        return 24;
    if (fVersionHW == 1 && fVersionFW <= 4)
        return 8;
    return 16;
}

bool TKelvoUsbQVSensor::GetFlashParamsSize(uint16_t& ASize) {
    ASize = 0;
    uint16_t size;
    // A size beyond the record cannot be read into it.
    if (!ReadWord(QV_REQ_FLASH_PARAMS_SIZE, size) || size > sizeof(TQV01FlashParams))
        return false;
    ASize = size;
    return true;
}

void TKelvoUsbQVSensor::FixFlashParams(TQV01FlashParams& AFP) const {
    if (fVersionHW < 2 && fVersionFW <= 4) {
        AFP.ScaleK = KOldScaleK;
        AFP.LensDistance = KOldLensDistance;
    }
    if (fVersionFW < 11)
        AFP.RowNoiseConst.fill(KOldRowNoiseConst);
    if (fVersionFW < 15)
        AFP.Model = 0;
}

void TKelvoUsbQVSensor::TakeFlashParams(const TQV01FlashParams& AFP) {
    fFlashParams = AFP;
    fCalibratedDistance = AFP.dwCalibratedDistance;
    fMT9CenterX = AFP.wMT9CenterX;
    fMT9CenterY = AFP.wMT9CenterY;
    fScaleK = AFP.ScaleK;
    // The pixel scale divides by the lens distance: a device record without a usable one keeps the
    // previous value for that (the record itself is kept as the device holds it).
    if (UsableDistance(AFP.LensDistance))
        fLensDistance = AFP.LensDistance;
    // The millimetres per pixel follow the lens the device reports.
    if (UsableDistance(fWorkingDistance))
        SetWorkingDistance(fWorkingDistance);
}

bool TKelvoUsbQVSensor::ReadFlashParams(TQV01FlashParams& AFP) {
    uint8_t bytes[sizeof(TQV01FlashParams)] = {};
    if (!VendorRequestRead(bytes, FlashParamsSize(), QV_REQ_READ_FLASH_PARAMS, 0, 0))
        return false;
    TQV01FlashParams record;
    std::memcpy(&record, bytes, sizeof record);
    FixFlashParams(record);
    TakeFlashParams(record);
    AFP = record;
    return true;
}

bool TKelvoUsbQVSensor::ReadFlashParams() {
    TQV01FlashParams record;
    return ReadFlashParams(record);
}

bool TKelvoUsbQVSensor::WriteFlashParams(TQV01FlashParams& AFP) {
    FixFlashParams(AFP);
    uint8_t bytes[sizeof(TQV01FlashParams)];
    std::memcpy(bytes, &AFP, sizeof bytes);
    if (!VendorRequestWrite(bytes, FlashParamsSize(), QV_REQ_WRITE_FLASH_PARAMS, 0, 0))
        return false;
    TakeFlashParams(AFP);
    return true;
}

bool TKelvoUsbQVSensor::ReadAccCalibrationData(TQVAccCalibration& AD) {
    if (fVersionFW <= 27) {
        fAccCalibrationOk = false;
        return false;
    }
    uint8_t bytes[sizeof(TQVAccCalibration)];
    if (!VendorRequestRead(bytes, sizeof bytes, QV_REQ_ACC_CALIBRATION, 0, 0)) {
        fAccCalibrationOk = false;
        return false;
    }
    TQVAccCalibration record;
    std::memcpy(&record, bytes, sizeof record);
    AD = record;
    fAccCalibrationOk = QVAccCalibrationChecksum(record) == record.wChecksum;
    if (fAccCalibrationOk)
        fAccCalibration = record;
    return fAccCalibrationOk;
}

bool TKelvoUsbQVSensor::ReadAccCalibrationData() {
    TQVAccCalibration record;
    return ReadAccCalibrationData(record);
}

bool TKelvoUsbQVSensor::WriteAccCalibrationData(const TQVAccCalibration& AD) {
    return VendorRequestWrite(&AD, sizeof AD, QV_REQ_ACC_CALIBRATION, 0, 0);
}

bool TKelvoUsbQVSensor::GetCalibratedDistance(uint32_t& ADistance) {
    uint8_t answer[4];
    if (!VendorRequestRead(answer, sizeof answer, QV_REQ_GET_CALIBRATED_DISTANCE, 0, 0))
        return false;
    fCalibratedDistance = GetLE32(answer);
    ADistance = fCalibratedDistance;
    return true;
}

bool TKelvoUsbQVSensor::SetCalibratedDistance(uint32_t ADistance) {
    uint8_t bytes[4];
    PutLE32(bytes, ADistance);
    if (!VendorRequestWrite(bytes, sizeof bytes, QV_REQ_SET_CALIBRATED_DISTANCE, 0, 0))
        return false;
    fCalibratedDistance = ADistance;
    return true;
}

bool TKelvoUsbQVSensor::IsDistanceCalibrated() const {
    return fCalibratedDistance != KNotCalibrated && fCalibratedDistance != 0;
}

// --- Fault diagnostics ---

bool TKelvoUsbQVSensor::GetSysInfo(TQVSysInfo& ASysInfo) {
    uint8_t bytes[sizeof(TQVSysInfo)];
    if (!VendorRequestRead(bytes, sizeof bytes, QV_REQ_SYS_INFO, 0, 0))
        return false;
    std::memcpy(&ASysInfo, bytes, sizeof bytes);
    return true;
}

bool TKelvoUsbQVSensor::GetFlashSysInfo(TQVSysInfoArray& ASysInfo) {
    uint8_t answer[KFaultLogBytes];
    uint32_t received = 0;
    if (!VendorRequestRead(answer, sizeof answer, QV_REQ_FLASH_SYS_INFO, 0, 0, received))
        return false;
    uint8_t log[sizeof(TQVSysInfoArray)];
    std::memset(log, 0xFF, sizeof log);
    // Entries are 8 or 6 bytes, each copied into an 8-byte element. The walk stays within the bytes
    // the device sent: an entry cut short by the end of the answer keeps 0xFF for what is missing.
    size_t element = 0;
    for (uint32_t offset = 0; offset < received && element < ASysInfo.size();) {
        const uint8_t marker = answer[offset];
        if (marker != KFaultEntryLong && marker != KFaultEntryShort)
            break;
        const uint32_t available = std::min<uint32_t>(sizeof(TQVSysInfo), received - offset);
        std::memcpy(log + element * sizeof(TQVSysInfo), answer + offset, available);
        ++element;
        offset += marker == KFaultEntryLong ? 8 : 6;
    }
    std::memcpy(ASysInfo.data(), log, sizeof log);
    return true;
}

bool TKelvoUsbQVSensor::EraseFlashSysInfo() {
    return VendorRequest(QV_REQ_ERASE_FLASH_SYS_INFO, 0, 0);
}

bool TKelvoUsbQVSensor::GetBottomOfStack(uint16_t& AAddress) {
    return ReadWord(QV_REQ_BOTTOM_OF_STACK, AAddress);
}

bool TKelvoUsbQVSensor::SetDebug(bool AOn) {
    return VendorRequest(QV_REQ_DEBUG, AOn ? 1 : 0, 0);
}

bool TKelvoUsbQVSensor::GetSysRstIv(uint16_t& AVector) {
    return ReadWord(QV_REQ_SYS_RST_IV, AVector);
}

// --- Control ---

bool TKelvoUsbQVSensor::Start() {
    if (!VendorRequest(QV_REQ_START, 0, 0))
        return false;
    fStarted = true;
    return true;
}

bool TKelvoUsbQVSensor::Stop() {
    if (!VendorRequest(QV_REQ_STOP, 0, 0))
        return false;
    fStarted = false;
    return true;
}

bool TKelvoUsbQVSensor::ResetToDefaults() {
    if (fVersionFW <= 30 || !VendorRequest(QV_REQ_STOP, KResetToDefaults, 0))
        return false;
    SetHostDefaults();
    return true;
}

bool TKelvoUsbQVSensor::Readjust() {
    return VendorRequest(QV_REQ_READJUST, 0, 0);
}

bool TKelvoUsbQVSensor::ResetCounter() {
    return VendorRequest(QV_REQ_RESET_COUNTER, 0, 0);
}

bool TKelvoUsbQVSensor::SetRegister(uint16_t ARegister, uint16_t AValue) {
    if (!VendorRequest(QV_REQ_SET_REGISTER, AValue, ARegister))
        return false;
    if (ARegister == KRegisterShutterWidth)
        fShutterWidth = AValue;
    return true;
}

bool TKelvoUsbQVSensor::EnableParametersChange(const TDeviceKey& APassword) {
    return fVersionFW <= 27 || VendorRequestWrite(APassword.data(), 8, QV_REQ_ENABLE_PARAMS_CHANGE, 0, 0);
}

bool TKelvoUsbQVSensor::DisableParametersChange() {
    return fVersionFW <= 27 || VendorRequest(QV_REQ_DISABLE_PARAMS_CHANGE, 0, 0);
}

bool TKelvoUsbQVSensor::GetWorkingParameter(uint16_t AIndex, uint16_t& AValue) {
    uint8_t answer[2];
    if (!VendorRequestRead(answer, sizeof answer, QV_REQ_WORKING_PARAMETER, 0, AIndex))
        return false;
    AValue = GetLE16(answer);
    return true;
}

bool TKelvoUsbQVSensor::SetWorkingParameter(uint16_t AIndex, uint16_t AValue) {
    return VendorRequest(QV_REQ_WORKING_PARAMETER, AValue, AIndex);
}

bool TKelvoUsbQVSensor::SetWorkingDistance(double ADistance) {
    if (!UsableDistance(ADistance) || !UsableDistance(fLensDistance))
        return false;
    fWorkingDistance = ADistance;
    fPixToMMScale = ADistance * QV_PIXEL_SIZE / fLensDistance;
    return true;
}

// --- Measuring modes ---

void TKelvoUsbQVSensor::SetWindowOrigin(int32_t AX0, int32_t AY0) {
    fX0 = AX0;
    fY0 = AY0;
    fStream.SetCenter(AX0 * fPixToMMScale, AY0 * fPixToMMScale);
}

bool TKelvoUsbQVSensor::SetAdjustMode() {
    if (fVersionFW < 8 || !VendorRequest(QV_REQ_ADJUST_MODE, fMT9CenterX, fMT9CenterY))
        return false;
    fMode = KAdjustMode;
    SetWindowOrigin(fMT9CenterX, fMT9CenterY);
    return true;
}

bool TKelvoUsbQVSensor::SetMainMode(uint16_t AX0, uint16_t AY0) {
    if (fVersionFW < 8 || !VendorRequest(QV_REQ_MAIN_MODE, AX0, AY0))
        return false;
    fMode = KMainMode;
    SetWindowOrigin(AX0, AY0);
    return true;
}

bool TKelvoUsbQVSensor::SetModeEx(uint8_t AMode, uint8_t ARowBin, uint16_t AX0, uint16_t AY0,
                                  uint16_t AFrameSize, uint16_t AltRowBin) {
    if (fVersionFW < 15)
        return false;
    uint8_t data[8] = {AMode, ARowBin};
    PutLE16(data + 2, AX0);
    PutLE16(data + 4, AY0);
    PutLE16(data + 6, AFrameSize);
    if (!VendorRequestWrite(data, sizeof data, QV_REQ_MODE_EX, AltRowBin, 0))
        return false;
    fMode = AMode;
    fRowBin = ARowBin;
    fFrameWidth = fFrameHeight = AFrameSize;
    SetWindowOrigin(AX0, AY0);
    return true;
}

bool TKelvoUsbQVSensor::SetAdjustBiathlonMode() {
    if (fVersionFW < 22)
        return false;
    return SetModeEx(KAdjustBiathlonMode, fRowBin, fMT9CenterX, fMT9CenterY, KBiathlonFrameSize, fRowBin);
}

bool TKelvoUsbQVSensor::SetCenterXY0(uint16_t AX0, uint16_t AY0) {
    return fVersionFW >= 8 && VendorRequest(QV_REQ_SET_CENTER_XY0, AX0, AY0);
}

// --- Target templates ---

bool TKelvoUsbQVSensor::InitCustomTemplate(uint16_t AIndex, bool ARotate) {
    return fVersionFW != KNoTemplatesFirmware && VendorRequest(QV_REQ_INIT_TEMPLATE, ARotate ? 1 : 0, AIndex);
}

bool TKelvoUsbQVSensor::LoadCustomTemplate(uint16_t AIndex, const TQVTemplate& AT) {
    const int n = std::min<int>(AT.nPoints, TQVTemplate::KMaxItems);
    for (int at = 0; at < n; at += KTemplateItemsPerRequest) {
        const int count = std::min(KTemplateItemsPerRequest, n - at);
        if (!VendorRequestWrite(&AT.Items[size_t(at)], uint32_t(count * sizeof(TQVTemplateItem)),
                                QV_REQ_LOAD_TEMPLATE, uint16_t(count), AIndex))
            return false;
    }
    return true;
}

bool TKelvoUsbQVSensor::FinalizeCustomTemplate(uint16_t AIndex) {
    return VendorRequest(QV_REQ_FINALIZE_TEMPLATE, 0, AIndex);
}

bool TKelvoUsbQVSensor::SetTemplate(uint16_t AIndex, const TQVTemplate& AT) {
    if (!InitCustomTemplate(AIndex, AT.bRotating != 0) || !AT.bValid)
        return false;
    return LoadCustomTemplate(AIndex, AT) && FinalizeCustomTemplate(AIndex);
}

bool TKelvoUsbQVSensor::SendTemplates(const std::function<TQVTemplate(int ARowBin)>& ABuild,
                                      double ADistance) {
    if (fVersionFW <= KOneTemplateFirmware) {
        if (!SetTemplate(0, ABuild(fRowBin)))
            return false;
    } else {
        for (int rowBin : {1, 2, 4})
            if (!SetTemplate(uint16_t(rowBin), ABuild(rowBin)))
                return false;
    }
    // A template is only valid for a positive distance, which the working distance takes.
    SetWorkingDistance(ADistance * 1000);
    return true;
}

bool TKelvoUsbQVSensor::SetRoundTargetTemplate(double ABlackSize, double ADistance, double ABlackFactor,
                                               double AWhiteFactor) {
    return SendTemplates(
        [&](int ARowBin) {
            return BuildRoundTargetTemplate(ARowBin, ABlackSize, ADistance, ABlackFactor, AWhiteFactor,
                                            fLensDistance);
        },
        ADistance);
}

bool TKelvoUsbQVSensor::SetArcheryTemplate(double ATargetSize, double ADistance) {
    return SendTemplates(
        [&](int ARowBin) { return BuildArcheryTemplate(ARowBin, ATargetSize, ADistance, fLensDistance); },
        ADistance);
}

bool TKelvoUsbQVSensor::SetTargetTemplate(const TTargetTemplate& AT, bool ARotatable, double ADistance) {
    return SendTemplates(
        [&](int ARowBin) { return ConvertTemplate(AT, ARotatable, ADistance, ARowBin, fLensDistance); },
        ADistance);
}

bool TKelvoUsbQVSensor::SetShootingEvent(int AEvent) {
    const auto event = QVShootingEvent(AEvent);
    if (!event)
        return false;
    if (event->Archery)
        return SetArcheryTemplate(event->Size, event->Distance);
    return SetRoundTargetTemplate(event->Size, event->Distance, event->BlackFactor, event->WhiteFactor);
}

// --- Transfer helpers ---

bool TKelvoUsbQVSensor::ReadByte(uint8_t bRequest, uint8_t& AValue) {
    return VendorRequestRead(&AValue, 1, bRequest, 0, 0);
}

bool TKelvoUsbQVSensor::ReadWord(uint8_t bRequest, uint16_t& AValue) {
    uint8_t answer[2];
    if (!VendorRequestRead(answer, sizeof answer, bRequest, 0, 0))
        return false;
    AValue = GetLE16(answer);
    return true;
}

// --- Tuning values ---

// How each tuning value travels: its working parameter (request 186), its own read and write requests
// where it has them, the bytes of its value, and the first firmware that reads and that writes it.
// A value with both a working parameter and requests of its own uses the working parameter only on
// firmware that reports 0xFFFF.
struct TQVTuning {
    uint16_t Parameter;  // KNoParameter: requests of its own only
    uint8_t ReadRequest; // KNoRequest: working parameter only
    uint8_t WriteRequest;
    uint8_t Width;     // 1: a byte or a flag, 2: a word
    uint16_t ReadFrom; // 0: every firmware
    uint16_t WriteFrom;
};

namespace {

constexpr uint16_t KNoParameter = 0;
constexpr uint8_t KNoRequest = 0;

enum TQVTune : uint8_t {
    TuneBlackLevel,
    TuneWhiteLevel,
    TuneRowBin,
    TuneUseRowMasks,
    TuneAutoAdjustAnalogGain,
    TunePrintTemplate,
    TuneMinShutterToGain,
    TuneMaxShutterToGain,
    TuneFrameSize,
    TuneFrameWidth,
    TuneFrameHeight,
    TuneShockDetectionMode,
    TuneAccShockEdgeLevel,
    TuneFollowInAdjust,
    TuneBiathlonTargetsDistancePix,
    TuneUseAccCalibration,
    TuneTimerADivider,
    TuneFPS,
    TuneRowBinSwitchingInMainMode,
    TuneRowBinSwitchingInAdjustMode,
    TuneShutterWidth,
    TuneDataMode,
    TuneAnalogGain,
    TuneAutoAdjustShutter,
    TuneMT9VrefADC,
    TuneAdjustShutterIfTargetLost,
    TuneAdjustShutter,
    TuneFollowZoneRadius,
    TuneTimerValue,
    TuneCount
};

constexpr TQVTuning KTunings[] = {
    // {working parameter, read request, write request, width, first firmware to read, to write}, in
    // the order of TQVTune.
    {WP_BLACK_LEVEL, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_WHITE_LEVEL, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_ROW_BIN, KNoRequest, KNoRequest, 1, 0, 8},
    {WP_USE_ROW_MASKS, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_AUTO_ANALOG_GAIN, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_PRINT_TEMPLATE, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_MIN_SHUTTER_TO_GAIN, KNoRequest, KNoRequest, 2, 0, 0},
    {WP_MAX_SHUTTER_TO_GAIN, KNoRequest, KNoRequest, 2, 0, 0},
    {WP_FRAME_SIZE, KNoRequest, KNoRequest, 2, 11, 11},
    // Firmware 10 and lower has a fixed frame: the getters answer it without asking the device.
    {WP_FRAME_WIDTH, KNoRequest, KNoRequest, 2, 11, 11},
    {WP_FRAME_HEIGHT, KNoRequest, KNoRequest, 2, 11, 11},
    // Below firmware 15 (16 for follow-in-adjust) the getters answer the fixed value of older firmware.
    {WP_SHOCK_DETECTION_MODE, KNoRequest, KNoRequest, 1, 15, 15},
    {WP_ACC_SHOCK_EDGE_LEVEL, KNoRequest, KNoRequest, 2, 15, 15},
    {WP_FOLLOW_IN_ADJUST, KNoRequest, KNoRequest, 1, 16, 16},
    {WP_BIATHLON_DISTANCE, KNoRequest, KNoRequest, 2, 22, 22},
    {WP_USE_ACC_CALIBRATION, KNoRequest, KNoRequest, 1, 0, 0},
    // Read from firmware 30, written from 29: firmware 29 takes the divider but does not report it.
    {WP_TIMER_A_DIVIDER, KNoRequest, KNoRequest, 2, 30, 29},
    // Older firmware sets the frame rate through the frame timer instead (SetFPS).
    {WP_FPS, KNoRequest, KNoRequest, 2, 29, 29},
    {WP_ROW_BIN_SWITCHING_MAIN, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_ROW_BIN_SWITCHING_ADJUST, KNoRequest, KNoRequest, 1, 0, 0},
    {WP_SHUTTER_WIDTH, QV_REQ_SHUTTER_WIDTH, QV_REQ_SHUTTER_WIDTH, 2, 0, 0},
    {WP_DATA_MODE, QV_REQ_DATA_MODE, QV_REQ_DATA_MODE, 1, 0, 0},
    {WP_ANALOG_GAIN, QV_REQ_ANALOG_GAIN, QV_REQ_ANALOG_GAIN, 2, 0, 0},
    {WP_AUTO_ADJUST_SHUTTER, QV_REQ_AUTO_ADJUST_SHUTTER, QV_REQ_AUTO_ADJUST_SHUTTER, 1, 0, 0},
    // Its read tells the working parameter apart by the hardware version (GetMT9VrefADC).
    {WP_VREF_ADC, QV_REQ_VREF_ADC, QV_REQ_VREF_ADC, 1, 0, 0},
    {WP_ADJUST_IF_LOST, QV_REQ_ADJUST_IF_LOST, QV_REQ_ADJUST_IF_LOST, 1, 0, 0},
    {WP_ADJUST_SHUTTER, QV_REQ_ADJUST_SHUTTER, QV_REQ_ADJUST_SHUTTER, 1, 0, 0},
    {KNoParameter, QV_REQ_GET_FOLLOW_ZONE, QV_REQ_SET_FOLLOW_ZONE, 2, 0, 0},
    {KNoParameter, QV_REQ_GET_TIMER_VALUE, QV_REQ_SET_TIMER_VALUE, 2, 0, 0},
};
static_assert(std::size(KTunings) == TuneCount);

// A flag is any non-zero value; a byte is the value's low byte.
template <typename T> T FromWire(uint16_t AValue) {
    if constexpr (std::is_same_v<T, bool>)
        return AValue != 0;
    else
        return T(AValue);
}

} // namespace

bool TKelvoUsbQVSensor::ReadTuning(const TQVTuning& ATuning, uint16_t& AValue) {
    if (fVersionFW < ATuning.ReadFrom)
        return false;
    if (ATuning.ReadRequest == KNoRequest || (ATuning.Parameter != KNoParameter && UsesWorkingParameters()))
        return GetWorkingParameter(ATuning.Parameter, AValue);
    if (ATuning.Width == 2)
        return ReadWord(ATuning.ReadRequest, AValue);
    uint8_t value;
    if (!ReadByte(ATuning.ReadRequest, value))
        return false;
    AValue = value;
    return true;
}

bool TKelvoUsbQVSensor::WriteTuning(const TQVTuning& ATuning, uint16_t AValue) {
    if (fVersionFW < ATuning.WriteFrom)
        return false;
    if (ATuning.WriteRequest == KNoRequest || (ATuning.Parameter != KNoParameter && UsesWorkingParameters()))
        return SetWorkingParameter(ATuning.Parameter, AValue);
    return VendorRequest(ATuning.WriteRequest, AValue, 0);
}

template <typename T> bool TKelvoUsbQVSensor::GetTuning(const TQVTuning& ATuning, T& AField, T* AValue) {
    uint16_t value;
    return ReadTuning(ATuning, value) && Give(AField, FromWire<T>(value), AValue);
}

template <typename T> bool TKelvoUsbQVSensor::SetTuning(const TQVTuning& ATuning, T& AField, T AValue) {
    return WriteTuning(ATuning, AValue) && Give(AField, AValue, nullptr);
}

bool TKelvoUsbQVSensor::GetBlackLevel(uint8_t* AValue) {
    return GetTuning(KTunings[TuneBlackLevel], fBlackLevel, AValue);
}

bool TKelvoUsbQVSensor::SetBlackLevel(uint8_t AValue) {
    // The black level is kept even when the device refuses it.
    fBlackLevel = AValue;
    return WriteTuning(KTunings[TuneBlackLevel], AValue);
}

bool TKelvoUsbQVSensor::GetWhiteLevel(uint8_t* AValue) {
    return GetTuning(KTunings[TuneWhiteLevel], fWhiteLevel, AValue);
}

bool TKelvoUsbQVSensor::SetWhiteLevel(uint8_t AValue) {
    return SetTuning(KTunings[TuneWhiteLevel], fWhiteLevel, AValue);
}

bool TKelvoUsbQVSensor::GetRowBin(uint8_t* AValue) {
    return GetTuning(KTunings[TuneRowBin], fRowBin, AValue);
}

bool TKelvoUsbQVSensor::SetRowBin(uint8_t AValue) {
    return SetTuning(KTunings[TuneRowBin], fRowBin, AValue);
}

bool TKelvoUsbQVSensor::GetUseRowMasks(uint8_t* AValue) {
    return GetTuning(KTunings[TuneUseRowMasks], fUseRowMasks, AValue);
}

bool TKelvoUsbQVSensor::SetUseRowMasks(uint8_t AValue) {
    return SetTuning(KTunings[TuneUseRowMasks], fUseRowMasks, AValue);
}

bool TKelvoUsbQVSensor::GetAutoAdjustAnalogGain(uint8_t* AValue) {
    return GetTuning(KTunings[TuneAutoAdjustAnalogGain], fAutoAdjustAnalogGain, AValue);
}

bool TKelvoUsbQVSensor::SetAutoAdjustAnalogGain(uint8_t AValue) {
    return SetTuning(KTunings[TuneAutoAdjustAnalogGain], fAutoAdjustAnalogGain, AValue);
}

bool TKelvoUsbQVSensor::GetPrintTemplate(bool* AValue) {
    return GetTuning(KTunings[TunePrintTemplate], fPrintTemplate, AValue);
}

bool TKelvoUsbQVSensor::SetPrintTemplate(bool AValue) {
    return SetTuning(KTunings[TunePrintTemplate], fPrintTemplate, AValue);
}

bool TKelvoUsbQVSensor::GetMinShutterToGain(uint16_t* AValue) {
    return GetTuning(KTunings[TuneMinShutterToGain], fMinShutterToGain, AValue);
}

bool TKelvoUsbQVSensor::SetMinShutterToGain(uint16_t AValue) {
    return SetTuning(KTunings[TuneMinShutterToGain], fMinShutterToGain, AValue);
}

bool TKelvoUsbQVSensor::GetMaxShutterToGain(uint16_t* AValue) {
    return GetTuning(KTunings[TuneMaxShutterToGain], fMaxShutterToGain, AValue);
}

bool TKelvoUsbQVSensor::SetMaxShutterToGain(uint16_t AValue) {
    return SetTuning(KTunings[TuneMaxShutterToGain], fMaxShutterToGain, AValue);
}

bool TKelvoUsbQVSensor::SetFrameSize(uint16_t ASize) {
    if (!WriteTuning(KTunings[TuneFrameSize], ASize))
        return false;
    fFrameWidth = ASize;
    fFrameHeight = ASize;
    return true;
}

bool TKelvoUsbQVSensor::GetFrameWidth(uint16_t* AValue) {
    if (fVersionFW < KTunings[TuneFrameWidth].ReadFrom)
        return Give(fFrameWidth, uint16_t(fMode == 2 ? 64 : 80), AValue);
    return GetTuning(KTunings[TuneFrameWidth], fFrameWidth, AValue);
}

bool TKelvoUsbQVSensor::SetFrameWidth(uint16_t AValue) {
    return SetTuning(KTunings[TuneFrameWidth], fFrameWidth, AValue);
}

bool TKelvoUsbQVSensor::GetFrameHeight(uint16_t* AValue) {
    if (fVersionFW < KTunings[TuneFrameHeight].ReadFrom)
        return Give(fFrameHeight, uint16_t(fMode == 2 ? 64 : 80), AValue);
    return GetTuning(KTunings[TuneFrameHeight], fFrameHeight, AValue);
}

bool TKelvoUsbQVSensor::SetFrameHeight(uint16_t AValue) {
    return SetTuning(KTunings[TuneFrameHeight], fFrameHeight, AValue);
}

bool TKelvoUsbQVSensor::GetShockDetectionMode(uint8_t* AValue) {
    if (fVersionFW < KTunings[TuneShockDetectionMode].ReadFrom)
        return Give(fShockDetectionMode, uint8_t(fVersionHW == 1 ? 2 : 1), AValue);
    return GetTuning(KTunings[TuneShockDetectionMode], fShockDetectionMode, AValue);
}

bool TKelvoUsbQVSensor::SetShockDetectionMode(uint8_t AValue) {
    if (fVersionFW < KTunings[TuneShockDetectionMode].WriteFrom)
        return AValue == (fVersionHW == 1 ? 2 : 1) && Give(fShockDetectionMode, AValue, nullptr);
    return SetTuning(KTunings[TuneShockDetectionMode], fShockDetectionMode, AValue);
}

bool TKelvoUsbQVSensor::GetAccShockEdgeLevel(uint16_t* AValue) {
    if (fVersionFW < KTunings[TuneAccShockEdgeLevel].ReadFrom)
        return Give(fAccShockEdgeLevel, fVersionHW == 1 ? fMicEdgeLevel : uint16_t(16), AValue);
    return GetTuning(KTunings[TuneAccShockEdgeLevel], fAccShockEdgeLevel, AValue);
}

bool TKelvoUsbQVSensor::SetAccShockEdgeLevel(uint16_t AValue) {
    return SetTuning(KTunings[TuneAccShockEdgeLevel], fAccShockEdgeLevel, AValue);
}

bool TKelvoUsbQVSensor::GetFollowInAdjust(uint8_t* AValue) {
    if (fVersionFW < KTunings[TuneFollowInAdjust].ReadFrom)
        return Give(fFollowInAdjust, uint8_t(0), AValue);
    return GetTuning(KTunings[TuneFollowInAdjust], fFollowInAdjust, AValue);
}

bool TKelvoUsbQVSensor::SetFollowInAdjust(uint8_t AValue) {
    if (fVersionFW < KTunings[TuneFollowInAdjust].WriteFrom)
        return AValue == 0 && Give(fFollowInAdjust, AValue, nullptr);
    return SetTuning(KTunings[TuneFollowInAdjust], fFollowInAdjust, AValue);
}

bool TKelvoUsbQVSensor::GetBiathlonTargetsDistancePix(uint16_t* AValue) {
    return GetTuning(KTunings[TuneBiathlonTargetsDistancePix], fBiathlonTargetsDistancePix, AValue);
}

bool TKelvoUsbQVSensor::SetBiathlonTargetsDistancePix(uint16_t AValue) {
    return SetTuning(KTunings[TuneBiathlonTargetsDistancePix], fBiathlonTargetsDistancePix, AValue);
}

bool TKelvoUsbQVSensor::GetUseAccCalibration(bool* AValue) {
    // A refused read stores nothing (no value arrived to store).
    return GetTuning(KTunings[TuneUseAccCalibration], fUseAccCalibration, AValue);
}

bool TKelvoUsbQVSensor::SetUseAccCalibration(bool AValue) {
    return SetTuning(KTunings[TuneUseAccCalibration], fUseAccCalibration, AValue);
}

bool TKelvoUsbQVSensor::GetTimerADivider(uint16_t* AValue) {
    return GetTuning(KTunings[TuneTimerADivider], fTimerADivider, AValue);
}

bool TKelvoUsbQVSensor::SetTimerADivider(uint16_t AValue) {
    return SetTuning(KTunings[TuneTimerADivider], fTimerADivider, AValue);
}

bool TKelvoUsbQVSensor::GetFPS(uint16_t* AValue) {
    return GetTuning(KTunings[TuneFPS], fFPS, AValue);
}

bool TKelvoUsbQVSensor::SetFPS(uint16_t AValue) {
    if (fVersionFW >= KTunings[TuneFPS].WriteFrom)
        return SetTuning(KTunings[TuneFPS], fFPS, AValue);
    // Older firmware takes the frame period in microseconds minus one, which must fit the 16-bit
    // request value: no frame rate of 0, none below 16 per second.
    if (AValue == 0)
        return false;
    const long period = std::lround(1000000.0 / AValue) - 1;
    if (period < 0 || period > 0xFFFF)
        return false;
    return SetTimerValue(uint16_t(period)) && Give(fFPS, AValue, nullptr);
}

bool TKelvoUsbQVSensor::GetEnableRowBinSwitchingInMainMode(bool* AValue) {
    return GetTuning(KTunings[TuneRowBinSwitchingInMainMode], fEnableRowBinSwitchingInMainMode, AValue);
}

bool TKelvoUsbQVSensor::SetEnableRowBinSwitchingInMainMode(bool AValue) {
    return SetTuning(KTunings[TuneRowBinSwitchingInMainMode], fEnableRowBinSwitchingInMainMode, AValue);
}

bool TKelvoUsbQVSensor::GetEnableRowBinSwitchingInAdjustMode(bool* AValue) {
    return GetTuning(KTunings[TuneRowBinSwitchingInAdjustMode], fEnableRowBinSwitchingInAdjustMode, AValue);
}

bool TKelvoUsbQVSensor::SetEnableRowBinSwitchingInAdjustMode(bool AValue) {
    return SetTuning(KTunings[TuneRowBinSwitchingInAdjustMode], fEnableRowBinSwitchingInAdjustMode, AValue);
}

bool TKelvoUsbQVSensor::GetShutterWidth(uint16_t* AValue) {
    return GetTuning(KTunings[TuneShutterWidth], fShutterWidth, AValue);
}

bool TKelvoUsbQVSensor::SetShutterWidth(uint16_t AValue) {
    return SetTuning(KTunings[TuneShutterWidth], fShutterWidth, AValue);
}

bool TKelvoUsbQVSensor::GetDataMode(uint8_t* AValue) {
    return GetTuning(KTunings[TuneDataMode], fDataMode, AValue);
}

bool TKelvoUsbQVSensor::SetDataMode(uint8_t AValue) {
    return SetTuning(KTunings[TuneDataMode], fDataMode, AValue);
}

bool TKelvoUsbQVSensor::GetAnalogGain(uint16_t* AValue) {
    return GetTuning(KTunings[TuneAnalogGain], fAnalogGain, AValue);
}

bool TKelvoUsbQVSensor::SetAnalogGain(uint16_t AValue) {
    return SetTuning(KTunings[TuneAnalogGain], fAnalogGain, AValue);
}

bool TKelvoUsbQVSensor::GetAutoAdjustShutter(uint8_t* AValue) {
    return GetTuning(KTunings[TuneAutoAdjustShutter], fAutoAdjustShutter, AValue);
}

bool TKelvoUsbQVSensor::SetAutoAdjustShutter(uint8_t AValue) {
    return SetTuning(KTunings[TuneAutoAdjustShutter], fAutoAdjustShutter, AValue);
}

bool TKelvoUsbQVSensor::GetMT9VrefADC(uint8_t* AValue) {
    // This one read is told apart by the hardware version, not the firmware version.
    const TQVTuning& tuning = KTunings[TuneMT9VrefADC];
    uint16_t value;
    bool read;
    if (fVersionHW == 0xFFFF) {
        read = GetWorkingParameter(tuning.Parameter, value);
    } else {
        uint8_t byte = 0;
        read = ReadByte(tuning.ReadRequest, byte);
        value = byte;
    }
    return read && Give(fMT9VrefADC, uint8_t(value), AValue);
}

bool TKelvoUsbQVSensor::SetMT9VrefADC(uint8_t AValue) {
    return SetTuning(KTunings[TuneMT9VrefADC], fMT9VrefADC, AValue);
}

bool TKelvoUsbQVSensor::GetAdjustShutterIfTargetLost(bool* AValue) {
    return GetTuning(KTunings[TuneAdjustShutterIfTargetLost], fAdjustShutterIfTargetLost, AValue);
}

bool TKelvoUsbQVSensor::SetAdjustShutterIfTargetLost(bool AValue) {
    return SetTuning(KTunings[TuneAdjustShutterIfTargetLost], fAdjustShutterIfTargetLost, AValue);
}

bool TKelvoUsbQVSensor::GetAdjustShutter(bool* AValue) {
    return GetTuning(KTunings[TuneAdjustShutter], fAdjustShutter, AValue);
}

bool TKelvoUsbQVSensor::SetAdjustShutter(bool AValue) {
    return SetTuning(KTunings[TuneAdjustShutter], fAdjustShutter, AValue);
}

bool TKelvoUsbQVSensor::GetFollowZoneRadius(uint16_t* AValue) {
    return GetTuning(KTunings[TuneFollowZoneRadius], fFollowZoneRadius, AValue);
}

bool TKelvoUsbQVSensor::SetFollowZoneRadius(uint16_t AValue) {
    return SetTuning(KTunings[TuneFollowZoneRadius], fFollowZoneRadius, AValue);
}

bool TKelvoUsbQVSensor::GetTimerValue(uint16_t* AValue) {
    return GetTuning(KTunings[TuneTimerValue], fTimerValue, AValue);
}

bool TKelvoUsbQVSensor::SetTimerValue(uint16_t AValue) {
    return SetTuning(KTunings[TuneTimerValue], fTimerValue, AValue);
}

bool TKelvoUsbQVSensor::GetCLKParameters(TQVCLKParameters* AValue) {
    uint8_t bytes[sizeof(TQVCLKParameters)];
    if (!VendorRequestRead(bytes, sizeof bytes, QV_REQ_CLK_PARAMETERS, 0, 0))
        return false;
    TQVCLKParameters value;
    std::memcpy(&value, bytes, sizeof value);
    return Give(fCLKParameters, value, AValue);
}

bool TKelvoUsbQVSensor::SetCLKParameters(const TQVCLKParameters& AValue) {
    return VendorRequestWrite(&AValue, sizeof AValue, QV_REQ_CLK_PARAMETERS, 0, 0) &&
           Give(fCLKParameters, AValue, nullptr);
}

bool TKelvoUsbQVSensor::GetPiesoParameters(TQVPiesoParameters* AValue) {
    if (fVersionHW != 2 && fVersionFW < 11)
        return false;
    uint8_t bytes[sizeof(TQVPiesoParameters)];
    if (!VendorRequestRead(bytes, sizeof bytes, QV_REQ_PIESO_PARAMETERS, 0, 0))
        return false;
    TQVPiesoParameters value;
    std::memcpy(&value, bytes, sizeof value);
    return Give(fPiesoParameters, value, AValue);
}

bool TKelvoUsbQVSensor::SetPiesoParameters(const TQVPiesoParameters& AValue) {
    return (fVersionHW == 2 || fVersionFW >= 11) &&
           VendorRequestWrite(&AValue, sizeof AValue, QV_REQ_PIESO_PARAMETERS, 0, 0) &&
           Give(fPiesoParameters, AValue, nullptr);
}

bool TKelvoUsbQVSensor::GetMicLevels(uint16_t* ALevel, uint16_t* AEdgeLevel) {
    if (fVersionHW != 1)
        return false;
    uint8_t answer[4];
    const uint8_t request = fVersionFW >= 4 ? QV_REQ_MIC_LEVELS : QV_REQ_MIC_LEVELS_OLD;
    if (!VendorRequestRead(answer, sizeof answer, request, 0, 0))
        return false;
    Give(fMicLevel, GetLE16(answer), ALevel);
    return Give(fMicEdgeLevel, GetLE16(answer + 2), AEdgeLevel);
}

bool TKelvoUsbQVSensor::SetMicLevels(uint16_t ALevel, uint16_t AEdgeLevel) {
    if (fVersionHW != 1 || fVersionFW > 10 || !VendorRequest(QV_REQ_MIC_LEVELS, ALevel, AEdgeLevel))
        return false;
    fMicLevel = ALevel;
    fMicEdgeLevel = AEdgeLevel;
    return true;
}
