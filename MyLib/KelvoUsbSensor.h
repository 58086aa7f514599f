#pragma once
// TKelvoSensorUsbDevice: the optical aiming sensor on USB (product 32, first generation; 35, second).
// Two hardware generations: old hardware (versions 1-4, a separate USB interface chip) answers many
// questions from fixed defaults, new hardware (5 and above) is asked; some requests also need
// firmware above 10. Besides the identity it carries a calibration that must survive a firmware
// update, and sampling, ADC and piezo (shot-detection) parameters read at open.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/OpticalStream.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#pragma pack(push, 1)
// The calibration as the device stores and transfers it: 16.16 fixed point, 0xFFFFFFFF = not set.
struct TCalibrationInfoBlock {
    uint32_t k[4];
    uint32_t d; // distance factor
};
using PCalibrationInfoBlock = TCalibrationInfoBlock*;

// The same calibration as numbers.
struct TSensorCalibrationInfo {
    float K[4];
    float DistanceK;
};
using PSensorCalibrationInfo = TSensorCalibrationInfo*;
#pragma pack(pop)
static_assert(sizeof(TCalibrationInfoBlock) == 20 && sizeof(TSensorCalibrationInfo) == 20);

// A calibration value that was never written.
constexpr uint32_t KELVO_CALIBRATION_NOT_SET = 0xFFFFFFFF;

// One fixed-point value as a factor: not set counts as 1.0.
float CalibrationValueToFactor(uint32_t AValue);
// A factor as a fixed-point value: rounded to the nearest, ties to even, low 32 bits kept. A factor
// that is not a finite number has no value and gives "not set".
uint32_t CalibrationFactorToValue(float AFactor);
// The block as numbers; false when any value is not set (the calibration is not complete).
bool CalibrationBlockToInfo(const TCalibrationInfoBlock& ABlock, TSensorCalibrationInfo& AInfo);
TCalibrationInfoBlock CalibrationInfoToBlock(const TSensorCalibrationInfo& AInfo);
// The 20 bytes in wire order (little-endian) and back.
std::array<uint8_t, 20> CalibrationBlockBytes(const TCalibrationInfoBlock& ABlock);
TCalibrationInfoBlock CalibrationBlockFromBytes(const uint8_t* ABytes);

// Vendor requests of the optical sensor.
enum : uint8_t {
    SENSOR_REQ_OSC_OFF = 0x81,
    SENSOR_REQ_OSC_ON = 0x82,            // wValue = channel
    SENSOR_REQ_SIN_TABLE = 0x84,         // wValue = table index (old hardware)
    SENSOR_REQ_PIEZO_LEVEL = 0x85,       // wValue = level
    SENSOR_REQ_GET_CALIBRATION = 0x86,   // read 20
    SENSOR_REQ_SET_CALIBRATION_K = 0x87, // write 16
    SENSOR_REQ_SET_CALIBRATION_D = 0x88, // write 4
    SENSOR_REQ_APPLY_CALIBRATION = 0x89, // takes the written calibration into use
    SENSOR_REQ_SERIAL = 0x8B,            // read 8
    SENSOR_REQ_UNLOCK = 0x8C,            // write 8: the device key
    SENSOR_REQ_START = 0x8D,
    SENSOR_REQ_STOP = 0x8E,
    SENSOR_REQ_VERSION = 0x90,         // read 4: firmware low word, hardware high word
    SENSOR_REQ_LOCKED = 0x91,          // read 1
    SENSOR_REQ_LOCK = 0x92,            // old hardware
    SENSOR_REQ_LOCK_WITH_KEY = 0x93,   // write 8, new hardware
    SENSOR_REQ_RECONFIGURE_ADC = 0x94, // wValue = ADC configuration word
    SENSOR_REQ_GET_OFFSCALE = 0x95,    // read 2
    SENSOR_REQ_SET_OFFSCALE = 0x96,    // wValue = value
    SENSOR_REQ_RESET_COUNTER = 0x97,
    SENSOR_REQ_SET_PIEZO = 0x98,        // wValue = MinPiezoLevel, wIndex = MinPiezoDelta0
    SENSOR_REQ_GET_PIEZO = 0x99,        // read 6
    SENSOR_REQ_GET_SAMPLING = 0x9A,     // read 10
    SENSOR_REQ_GET_ADC = 0x9B,          // read 2
    SENSOR_REQ_SET_FREQUENCIES = 0x9C,  // wValue = Freq1 / 2, wIndex = Freq2 / 2
    SENSOR_REQ_GET_FREQUENCIES = 0x9D,  // read 2
    SENSOR_REQ_SET_EDGE_SAMPLES = 0x9E, // wValue = samples
    SENSOR_REQ_REGIONS = 0xD0,          // read 2, or write 8 (the key) with wValue = regions
};

// Oscilloscope samples of one frame, in the device's ADC units.
using TOscDataNotify =
    std::function<void(TCommonKelvoUsbDevice* ASender, const std::vector<uint16_t>& AData)>;

class TKelvoSensorUsbDevice : public TCommonKelvoUsbDevice {
public:
    TKelvoSensorUsbDevice(TComponent* AOwner, const std::string& APath);
    ~TKelvoSensorUsbDevice() override;

    // --- Overridden virtual operations, in the base's order ---
    // A whole stream read: aiming frames or oscilloscope samples, to the stream.
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override;
    void Initialize() override;
    // Drops the oscilloscope handler, stops measuring when open, then closes.
    void Finalize() override;
    // The inherited open and identity, then (when the identity was read) the sampling, off-scale,
    // piezo and ADC parameters and the frequencies, and the oscilloscope buffer size.
    bool Open() override;
    // A block the generic driver split: to the stream.
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    bool GetSerialNum(PSerialNum ASerial) override;
    // On failure the object's versions fall back to hardware 2, firmware 1.
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    bool GetRegions(uint16_t* ARegions) override;
    bool SetRegions(uint16_t ARegions, PDeviceKey APassword) override;
    bool NeedToRecoverOptionsAfterUpdate() override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    bool GetProtocolVersion(PProtocolVersion AVersion) override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;
    // The calibration block, as read from the device, under "Calibration".
    TOptionsResult SaveOptions(TDeviceOptionsFile& AFile) override;
    // The saved calibration block, set and then flashed.
    TOptionsResult RecoverOptions(TDeviceOptionsFile& AFile) override;
    // --- Added virtual operation ---
    virtual bool SetOscMode(bool ATurnOn, uint16_t AChannel);

    // Hardware 5 and above: the microcontroller's own USB.
    bool IsNewHardware() const { return fVersionHW >= 5; }

    // --- Lock ---
    bool Lock(const TDeviceKey& AKey);
    bool Enable(const TDeviceKey& AKey) { return Unlock(AKey); }

    // --- Measuring ---
    bool Start();
    bool Stop();
    bool ResetPacketCounter();

    // --- Calibration ---
    // Reads the device's block into fCalibrationRawData exactly as read.
    bool GetCalibrationInfo();
    // Writes fCalibration (as a block).
    bool SetCalibrationInfo();
    // Writes ABlock as it is: the form that restores a saved block.
    bool SetCalibrationInfo(const TCalibrationInfoBlock& ABlock);
    // Takes the written calibration into use (into the device's flash).
    bool ApplyCalibrationInfo();
    // Writes "not set" for every value.
    bool ResetCalibrationInfo();
    bool IsCalibrationValid() const;
    bool IsDistanceKValid() const;
    double Distance() const;
    // Fixed scale for a target at ADistance. False, changing nothing, while the distance factor is 0
    // (the scale would be a division by zero).
    bool SetStaticTarget(double ADistance, double ALedX1, double ALedY1, double ALedX2, double ALedY2);

    // --- Sampling, ADC, piezo, LED frequencies ---
    bool GetSamplingParameters();
    bool GetOffScaleADCValue();
    bool SetOffScaleADCValue(uint16_t AValue);
    bool GetPiezoParams();
    bool SetPiezoParams(uint16_t AMinPiezoLevel, uint16_t AMinPiezoDelta0);
    bool SetPiezoEdgeDetectionSamples(uint16_t AValue);
    // Stores AValue as MinPiezoLevel whether or not the device took it.
    bool SetPiesoLevel(uint16_t AValue);
    bool GetADCParams();
    bool ReconfigureADC(uint8_t ASHT, uint8_t ADivider, uint8_t ACLKSrc, bool APDiv);
    bool GetFrequencies();
    bool SetFrequencies(uint8_t AFreq1, uint8_t AFreq2);
    bool SetSinTableIndex(uint16_t AIndex);

    // The aiming points: targets, scale, filters, frame skipping, the point event and queue, and the
    // packet counter.
    TOpticalStream& Stream() { return fStream; }
    const TOpticalStream& Stream() const { return fStream; }

    // --- Read-only properties ---
    const TSensorCalibrationInfo& CalibrationInfo() const { return fCalibration; }
    const TCalibrationInfoBlock& CalibrationRawData() const { return fCalibrationRawData; }
    bool Calibrated() const { return fCalibrated; }
    uint16_t OffScaleADCValue() const { return fOffScaleADCValue; }
    uint16_t MinPiezoLevel() const { return fMinPiezoLevel; }
    uint16_t MinPiezoDelta0() const { return fMinPiezoDelta0; }
    uint16_t ADCParams() const { return fADCParams; }
    uint32_t ClockFrequency() const { return fClockFrequency; }
    uint16_t SamplesPerFrame() const { return fSamplesPerFrame; }
    uint16_t FrameLength() const { return fFrameLength; }
    uint8_t Freq1() const { return fFreq1; }
    uint8_t Freq2() const { return fFreq2; }
    uint16_t PiezoEdgeDetectionSamples() const { return fPiezoEdgeDetectionSamples; }
    uint16_t MaxPiezoLevel() const { return fMaxPiezoLevel; }
    float MinSignal() const { return fMinSignal; }
    float MaxSignal() const { return fMaxSignal; }
    float NormalSignal() const { return fNormalSignal; }
    float MinNormalSignal() const { return fMinNormalSignal; }
    float MaxNormalSignal() const { return fMaxNormalSignal; }
    bool UseCalibration() const { return fUseCalibration; }
    void SetUseCalibration(bool AValue) { fUseCalibration = AValue; }

    // The largest oscilloscope buffer the sampling parameters may ask for (samples).
    static constexpr uint32_t KMaxOscSamples = 1u << 20;

    TSensorCalibrationInfo fCalibration{};
    TCalibrationInfoBlock fCalibrationRawData{};
    bool fUseCalibration = false;
    bool fUnlockSuccessful = false;
    uint16_t fOffScaleADCValue = 4080;
    uint16_t fMinPiezoLevel = 512;
    uint16_t fMinPiezoDelta0 = 16;
    uint16_t fSamplesPerFrame = 400;
    uint16_t fFrameLength = 20000;
    uint32_t fClockFrequency = 8000000;
    std::vector<uint16_t> fOscData;
    uint16_t fADCParams = 0x1110;
    uint32_t fOscFrameLength = 20000;
    uint16_t fFrameRate = 100;
    uint8_t fFreq1 = 12;
    uint8_t fFreq2 = 14;
    bool fCalibrated = false;
    uint16_t fPiezoEdgeDetectionSamples = 5;
    uint16_t fMaxPiezoLevel = 4095;
    float fMinSignal = 0.0f;
    float fMaxSignal = 8191.0f;
    float fNormalSignal = 4000.0f;
    float fMinNormalSignal = 3000.0f;
    float fMaxNormalSignal = 5000.0f;
    // The oscilloscope mode is on.
    bool fOscMode = false;
    TOscDataNotify fOnOscData;

private:
    // Brings the stream up to the device's versions, calibration and oscilloscope settings.
    void PrepareStream();

    TOpticalStream fStream;
    uint16_t fStreamVersionHW = 0xFFFF; // the versions the stream was set up for
    uint16_t fStreamVersionFW = 0xFFFF;

    // Sizes the oscilloscope buffer to SamplesPerFrame x fOscFrameLength / FrameLength samples,
    // rounded; leaves it as it is when that cannot be computed or is absurdly large.
    void SizeOscBuffer();
};
using PKelvoSensorUsbDevice = TKelvoSensorUsbDevice*;
