#pragma once
// TKelvoUsbQVSensor: the camera-based aiming sensor on USB (an image sensor behind a lens, an
// accelerometer for shot detection). Identification by hardware version and edition, the flash
// parameters and accelerometer calibration records, the fault log, and the tuning requests, each
// behind the version gate of the firmware that answers it; the measuring modes and target templates.
// The incoming packets go to the camera stream, whose points land in the sensor's points queue.
#include "MyLib/CameraStream.h"
#include "MyLib/CameraTemplates.h"
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/CommonKelvoUsbDevice.h"

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>

static_assert(std::endian::native == std::endian::little, "device records are copied as they travel");

#pragma pack(push, 1)
// One row-noise constant per row group.
using TRowNoiseConstArray = std::array<uint8_t, 8>;

// The sensor's flash parameters. Older firmware transfers only the first 8, 16 or 24 bytes.
struct TQV01FlashParams {
    uint32_t dwCalibratedDistance; // 16.16 fixed point; 0xFFFFFFFF or 0: not calibrated
    uint16_t wMT9CenterX;          // optical centre, pixel column
    uint16_t wMT9CenterY;          // optical centre, pixel row
    float ScaleK;
    float LensDistance;
    TRowNoiseConstArray RowNoiseConst;
    uint16_t Model; // edition code
};
using PQV01FlashParams = TQV01FlashParams*;

// The accelerometer calibration; the axis blocks are the device's own and pass through unchanged.
struct TQVAccCalibration {
    uint8_t XCal[12];
    uint8_t YCal[12];
    uint8_t ZCal[12];
    int16_t XOffs;
    int16_t YOffs;
    int16_t ZOffs;
    uint16_t wChecksum; // complement of the wrapping sum of the 21 words before it
};
using PQVAccCalibration = TQVAccCalibration*;

// One record of the sensor's system-fault log.
struct TQVSysInfo {
    uint8_t bNMIhappened;
    uint8_t bIndex;
    uint16_t wAddress;
    union {
        uint16_t wSysUniv;
        uint16_t wSysSniv;
    };
    uint16_t wSysBerr;
};
using PQVSysInfo = TQVSysInfo*;
using TQVSysInfoArray = std::array<TQVSysInfo, 32>;

// Clock settings for row binning 1, 2 and 4.
struct TQVCLKParameters {
    uint16_t wCLKParametersBin1;
    uint16_t wCLKParametersBin2;
    uint16_t wCLKParametersBin4;
};

struct TQVPiesoParameters {
    uint16_t wMinPiesoLevel;
    uint16_t wMinPiesoDelta0;
    uint16_t wPiesoEdgeDetectionSamples;
};
#pragma pack(pop)
static_assert(sizeof(TQV01FlashParams) == 26 && sizeof(TQVAccCalibration) == 44 && sizeof(TQVSysInfo) == 8 &&
              sizeof(TQVSysInfoArray) == 256 && sizeof(TQVCLKParameters) == 6 &&
              sizeof(TQVPiesoParameters) == 6);

constexpr uint16_t QV_PRODUCT_ID = 0x1F01;
// Pixel pitch of the image sensor, millimetres.
constexpr double QV_PIXEL_SIZE = 0.006;

// The checksum word a valid accelerometer record carries.
uint16_t QVAccCalibrationChecksum(const TQVAccCalibration& ACalibration);

// How one tuning value travels to and from the device (the tuning table in KelvoUsbQV.cpp).
struct TQVTuning;

class TKelvoUsbQVSensor;
// The stream's events, with the sensor as sender.
using TQVPacketEvent = std::function<void(TKelvoUsbQVSensor* ASender, const TQVDataPacket_V1& APacket)>;
using TQVImageEvent = std::function<void(TKelvoUsbQVSensor* ASender, const TQVDataPacket_V1& APacket,
                                         const TQVBitmap& ABitmap)>;
using TQVPointEvent = std::function<void(TKelvoUsbQVSensor* ASender, const TQueuedPoint_V1* APoint)>;

class TKelvoUsbQVSensor : public TCommonKelvoUsbDevice {
public:
    TKelvoUsbQVSensor(TComponent* AOwner, const std::string& APath);

    // --- Overrides of the base's virtual operations ---
    // A stream read of the family driver, and one block of the generic driver: to the stream.
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override;
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    void Initialize() override;
    bool Open() override;
    // The packet layout follows the protocol version.
    void ProtocolVersionChanged() override;
    bool GetSerialNum(PSerialNum ASerial) override;
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    bool GetRegions(uint16_t* ARegions) override;
    bool SetRegions(uint16_t ARegions, PDeviceKey APassword) override;
    bool NeedToRecoverOptionsAfterUpdate() override;
    bool CanChangeRegions() override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    bool GetProtocolVersion(PProtocolVersion AVersion) override;
    // The protocol major version of firmware below 15, which does not report it; none for other
    // boards or newer firmware.
    static std::optional<uint16_t> ImpliedProtocolMajor(uint16_t AVersionHW, uint16_t AVersionFW);
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;
    std::string Code128() override;
    // The flash parameters under "Calibration", the accelerometer calibration when it reads
    // (under "AccCalibration"), the regions and the lock state.
    TOptionsResult SaveOptions(TDeviceOptionsFile& AFile) override;
    // The saved flash parameters, written back; the other saved values are a record only.
    TOptionsResult RecoverOptions(TDeviceOptionsFile& AFile) override;
    bool NeedToConfirmSwitchToStub() override;
    std::string SwitchToStubError() override;
    // Firmware 10 and below.
    bool NeedToReplugAfterErase() override;

    // --- Identification ---
    uint16_t Model() const { return fFlashParams.Model; }
    bool IsArchery() const { return Model() == 2; }
    bool Lock(const TDeviceKey& AKey);

    // --- Records ---
    // Bytes of the flash parameters the device's versions transfer.
    uint32_t FlashParamsSize() const;
    // The size the device itself reports; 0 on failure or when it exceeds the record.
    bool GetFlashParamsSize(uint16_t& ASize);
    bool ReadFlashParams(TQV01FlashParams& AFP);
    bool ReadFlashParams();
    // Fills in what the device's versions cannot keep, in AFP too, then writes.
    bool WriteFlashParams(TQV01FlashParams& AFP);
    // True only for a record with a valid checksum; AD receives the bytes read even when not.
    bool ReadAccCalibrationData(TQVAccCalibration& AD);
    bool ReadAccCalibrationData();
    bool WriteAccCalibrationData(const TQVAccCalibration& AD);
    bool GetCalibratedDistance(uint32_t& ADistance);
    bool SetCalibratedDistance(uint32_t ADistance);
    bool IsDistanceCalibrated() const;

    // --- Fault diagnostics ---
    bool GetSysInfo(TQVSysInfo& ASysInfo);
    // The fault log kept in flash; elements the log does not fill stay all 0xFF.
    bool GetFlashSysInfo(TQVSysInfoArray& ASysInfo);
    bool EraseFlashSysInfo();
    bool GetBottomOfStack(uint16_t& AAddress);
    bool SetDebug(bool AOn);
    bool GetSysRstIv(uint16_t& AVector);

    // --- Control ---
    bool Start();
    bool Stop();
    bool ResetToDefaults();
    bool Readjust();
    bool ResetCounter();
    bool SetRegister(uint16_t ARegister, uint16_t AValue);
    bool EnableParametersChange(const TDeviceKey& APassword);
    bool DisableParametersChange();
    bool GetWorkingParameter(uint16_t AIndex, uint16_t& AValue);
    bool SetWorkingParameter(uint16_t AIndex, uint16_t AValue);

    // --- Stream ---
    // The packet reassembly, the centre, the angle and the filters.
    TCameraStream& Stream() { return fStream; }
    // The points the stream made while no point handler is set and StorePoints is on, for consumers
    // on any thread (without the packet reference).
    TPointsQueue& Points() { return fPoints; }
    bool StorePoints() const { return fStorePoints; }
    void SetStorePoints(bool AValue) { fStorePoints = AValue; }
    void SetOnPacket(TQVPacketEvent AValue) { fOnPacket = std::move(AValue); }
    void SetOnImage(TQVImageEvent AValue) { fOnImage = std::move(AValue); }
    // Points go to this handler when one is set, else (while StorePoints is on) to the points queue.
    void SetOnNewPoint(TQVPointEvent AValue) { fOnNewPoint = std::move(AValue); }

    // --- Measuring modes (each stores its values only on success; the centre follows the window) ---
    bool SetAdjustMode();
    bool SetMainMode(uint16_t AX0, uint16_t AY0);
    bool SetModeEx(uint8_t AMode, uint8_t ARowBin, uint16_t AX0, uint16_t AY0, uint16_t AFrameSize,
                   uint16_t AltRowBin);
    bool SetAdjustBiathlonMode();
    bool SetCenterXY0(uint16_t AX0, uint16_t AY0);

    // --- Target templates (sizes in millimetres, distances in metres) ---
    // Firmware 30 and below: one template for the current row binning in slot 0; above: one for row
    // binning 1, 2 and 4 in slots 1, 2 and 4, each after the previous one was taken. On success the
    // working distance becomes the target's.
    bool SetRoundTargetTemplate(double ABlackSize, double ADistance, double ABlackFactor,
                                double AWhiteFactor);
    bool SetArcheryTemplate(double ATargetSize, double ADistance);
    bool SetTargetTemplate(const TTargetTemplate& AT, bool ARotatable, double ADistance);
    // The template of a shooting event; false, nothing sent, for an event without one.
    bool SetShootingEvent(int AEvent);
    // Initialises the slot, then loads and finalises a valid template; false for an invalid one.
    bool SetTemplate(uint16_t AIndex, const TQVTemplate& AT);
    bool InitCustomTemplate(uint16_t AIndex, bool ARotate);
    bool LoadCustomTemplate(uint16_t AIndex, const TQVTemplate& AT);
    bool FinalizeCustomTemplate(uint16_t AIndex);

    // --- Working distance and scale (host side) ---
    // False, changing nothing, for a distance or lens distance that is not a positive number.
    bool SetWorkingDistance(double ADistance);
    double PixelToMM(double APixels) const { return APixels * fPixToMMScale; }
    // Working and lens distances are kept positive, so neither division can be by zero.
    double MMToPixel(double AMM) const { return AMM / (fWorkingDistance / fLensDistance * QV_PIXEL_SIZE); }

    // --- Tuning: getters store the value and copy it when AValue is given; setters store on success ---
    bool GetBlackLevel(uint8_t* AValue = nullptr);
    bool SetBlackLevel(uint8_t AValue); // stores the value even when the device refuses it
    bool GetWhiteLevel(uint8_t* AValue = nullptr);
    bool SetWhiteLevel(uint8_t AValue);
    bool GetRowBin(uint8_t* AValue = nullptr);
    bool SetRowBin(uint8_t AValue);
    bool GetUseRowMasks(uint8_t* AValue = nullptr);
    bool SetUseRowMasks(uint8_t AValue);
    bool GetAutoAdjustAnalogGain(uint8_t* AValue = nullptr);
    bool SetAutoAdjustAnalogGain(uint8_t AValue);
    bool GetPrintTemplate(bool* AValue = nullptr);
    bool SetPrintTemplate(bool AValue);
    bool GetMinShutterToGain(uint16_t* AValue = nullptr);
    bool SetMinShutterToGain(uint16_t AValue);
    bool GetMaxShutterToGain(uint16_t* AValue = nullptr);
    bool SetMaxShutterToGain(uint16_t AValue);
    // A square frame of ASize pixels.
    bool SetFrameSize(uint16_t ASize);
    bool GetFrameWidth(uint16_t* AValue = nullptr);
    bool SetFrameWidth(uint16_t AValue);
    bool GetFrameHeight(uint16_t* AValue = nullptr);
    bool SetFrameHeight(uint16_t AValue);
    bool GetShockDetectionMode(uint8_t* AValue = nullptr);
    bool SetShockDetectionMode(uint8_t AValue);
    bool GetAccShockEdgeLevel(uint16_t* AValue = nullptr);
    bool SetAccShockEdgeLevel(uint16_t AValue);
    bool GetFollowInAdjust(uint8_t* AValue = nullptr);
    bool SetFollowInAdjust(uint8_t AValue);
    bool GetBiathlonTargetsDistancePix(uint16_t* AValue = nullptr);
    bool SetBiathlonTargetsDistancePix(uint16_t AValue);
    bool GetUseAccCalibration(bool* AValue = nullptr);
    bool SetUseAccCalibration(bool AValue);
    bool GetTimerADivider(uint16_t* AValue = nullptr);
    bool SetTimerADivider(uint16_t AValue);
    bool GetFPS(uint16_t* AValue = nullptr);
    bool SetFPS(uint16_t AValue);
    bool GetEnableRowBinSwitchingInMainMode(bool* AValue = nullptr);
    bool SetEnableRowBinSwitchingInMainMode(bool AValue);
    bool GetEnableRowBinSwitchingInAdjustMode(bool* AValue = nullptr);
    bool SetEnableRowBinSwitchingInAdjustMode(bool AValue);
    bool GetShutterWidth(uint16_t* AValue = nullptr);
    bool SetShutterWidth(uint16_t AValue);
    bool GetDataMode(uint8_t* AValue = nullptr);
    bool SetDataMode(uint8_t AValue);
    bool GetAnalogGain(uint16_t* AValue = nullptr);
    bool SetAnalogGain(uint16_t AValue);
    bool GetAutoAdjustShutter(uint8_t* AValue = nullptr);
    bool SetAutoAdjustShutter(uint8_t AValue);
    bool GetMT9VrefADC(uint8_t* AValue = nullptr);
    bool SetMT9VrefADC(uint8_t AValue);
    bool GetAdjustShutterIfTargetLost(bool* AValue = nullptr);
    bool SetAdjustShutterIfTargetLost(bool AValue);
    bool GetAdjustShutter(bool* AValue = nullptr);
    bool SetAdjustShutter(bool AValue);
    bool GetFollowZoneRadius(uint16_t* AValue = nullptr);
    bool SetFollowZoneRadius(uint16_t AValue);
    bool GetTimerValue(uint16_t* AValue = nullptr);
    bool SetTimerValue(uint16_t AValue);
    bool GetCLKParameters(TQVCLKParameters* AValue = nullptr);
    bool SetCLKParameters(const TQVCLKParameters& AValue);
    bool GetPiesoParameters(TQVPiesoParameters* AValue = nullptr);
    bool SetPiesoParameters(const TQVPiesoParameters& AValue);
    // Hardware 1 only.
    bool GetMicLevels(uint16_t* ALevel = nullptr, uint16_t* AEdgeLevel = nullptr);
    bool SetMicLevels(uint16_t ALevel, uint16_t AEdgeLevel);

    bool fStarted = false;
    uint16_t fShutterWidth = 0;
    uint8_t fDataMode = 0;
    uint16_t fStartX = 0;
    uint16_t fStartY = 0;
    uint16_t fMicLevel = 0;
    uint16_t fMicEdgeLevel = 0;
    uint32_t fCalibratedDistance = 0;
    TQV01FlashParams fFlashParams{};
    uint16_t fMT9CenterX = 0;
    uint16_t fMT9CenterY = 0;
    uint8_t fBlackLevel = 0;
    uint8_t fWhiteLevel = 0;
    float fScaleK = 0;
    float fLensDistance = 0;
    int32_t fMatrixWidth = 0;
    int32_t fMatrixHeight = 0;
    double fPixToMMScale = 0;
    uint16_t fFollowZoneRadius = 0;
    uint16_t fTimerValue = 0;
    uint8_t fMT9VrefADC = 0;
    uint16_t fAnalogGain = 0;
    uint8_t fAutoAdjustShutter = 0;
    bool fAdjustShutterIfTargetLost = false;
    bool fAdjustShutter = false;
    TQVCLKParameters fCLKParameters{};
    double fWorkingDistance = 0;
    TQVPiesoParameters fPiesoParameters{};
    bool fPrintTemplate = false;
    uint8_t fAutoAdjustAnalogGain = 0;
    uint8_t fUseRowMasks = 0;
    uint16_t fMinShutterToGain = 0;
    uint16_t fMaxShutterToGain = 0;
    uint16_t fFrameWidth = 0;
    uint16_t fFrameHeight = 0;
    uint8_t fShockDetectionMode = 0;
    uint16_t fAccShockEdgeLevel = 0;
    uint8_t fMode = 0;
    int32_t fX0 = 0;
    int32_t fY0 = 0;
    uint8_t fRowBin = 0;
    uint8_t fFollowInAdjust = 0;
    double fPixelSize = 0;
    uint16_t fBiathlonTargetsDistancePix = 0;
    bool fUseAccCalibration = false;
    bool fAccCalibrationOk = false;
    TQVAccCalibration fAccCalibration{};
    uint16_t fFPS = 0;
    bool fEnableRowBinSwitchingInMainMode = false;
    bool fEnableRowBinSwitchingInAdjustMode = false;
    uint16_t fTimerADivider = 0;

private:
    // The sensor values the stream reads, and those its packets updated.
    void PutStreamValues();
    void TakeStreamValues();
    // Window origin and the centre in millimetres that follows it.
    void SetWindowOrigin(int32_t AX0, int32_t AY0);
    // Sends the templates ABuild makes for each row binning the firmware keeps one for.
    bool SendTemplates(const std::function<TQVTemplate(int ARowBin)>& ABuild, double ADistance);

    // Firmware that reports 0xFFFF keeps its image settings as working parameters.
    bool UsesWorkingParameters() const { return fVersionFW == 0xFFFF; }
    void SetHostDefaults();
    // Takes a record read from or written to the device and mirrors its fields.
    void TakeFlashParams(const TQV01FlashParams& AFP);
    // Patches what the device's versions do not keep.
    void FixFlashParams(TQV01FlashParams& AFP) const;
    bool ReadByte(uint8_t bRequest, uint8_t& AValue);
    bool ReadWord(uint8_t bRequest, uint16_t& AValue);
    // A tuning value as its entry in the tuning table says (request, working parameter, firmware
    // gate); the typed pair stores it in AField on success.
    bool ReadTuning(const TQVTuning& ATuning, uint16_t& AValue);
    bool WriteTuning(const TQVTuning& ATuning, uint16_t AValue);
    template <typename T> bool GetTuning(const TQVTuning& ATuning, T& AField, T* AValue);
    template <typename T> bool SetTuning(const TQVTuning& ATuning, T& AField, T AValue);

    TCameraStream fStream;
    TPointsQueue fPoints;
    bool fStorePoints = true;
    TQVPacketEvent fOnPacket;
    TQVImageEvent fOnImage;
    TQVPointEvent fOnNewPoint;
};
using PKelvoUsbQVSensor = TKelvoUsbQVSensor*;
