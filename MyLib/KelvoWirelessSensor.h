#pragma once
// The wireless aiming sensors heard through the wireless controller: each sensor packet the controller
// receives (as bytes, from the sensor's length byte on) is taken by the sensor object that recognises
// it, or makes a new object of the sensor's model class. A sensor object decodes its packets into
// battery, scale, angle and status, turns the measurements into aiming points in its target's frame,
// smooths them and hands each to the point handler or its points queue.
// Two families: WD-M01/WD-02 report LED spot amplitudes, the host computes the spots; WD-03 and later
// (WD-03V2, WD-05, WD-M02, WD-M02V2, WD-M02V3) report two aiming positions per packet and spread angle,
// distance and battery over successive packets.
// Every byte is the sensor's: a packet's own length is checked against the bytes received and its
// kind's minimum before anything is read or inverted, and a value that is not finite never reaches a
// filter.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/MyMath.h"
#include "platform/Component.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TCustomWirelessSensor;

struct TKelvoWDLowSignal {
    std::array<uint8_t, 8> Amplitudes{};
};
using PKelvoWDLowSignal = TKelvoWDLowSignal*;

enum class TBatteryState { batteryCritical, batteryLow, batteryMid, batteryHigh };

using TKelvoPointEvent = std::function<void(TCustomWirelessSensor* ASender, PQueuedPoint P)>;
using TKelvoWDLowSignalEvent = std::function<void(TCustomWirelessSensor* ASender, PKelvoWDLowSignal AAmp)>;
using TSensorNotifyEvent = std::function<void(TCustomWirelessSensor* ASender)>;

// Byte 0 of a sensor packet: the length (byte 0 included), status or data, inverted transmission.
constexpr uint8_t KSensorPacketLengthMask = 0x1F;
constexpr uint8_t KSensorPacketStatusBit = 0x20;
constexpr uint8_t KSensorPacketInvertedBit = 0x40;
// The header every sensor packet carries: length byte, model code, 16-bit serial.
constexpr size_t KSensorPacketHeaderSize = 4;

// The packet's own length when it fits in the ASize bytes received and holds the header; else 0.
size_t SensorPacketLength(const uint8_t* APacket, size_t ASize);
// The model code and serial of a packet whose header is whole (SensorPacketLength not 0), read
// through the inversion when the packet is sent inverted.
uint8_t SensorPacketModel(const uint8_t* APacket);
uint16_t SensorPacketSerial(const uint8_t* APacket);

// The geometry a sensor aims at: its target's, or the defaults of a new target object while it has none.
struct TSensorTargetGeometry {
    uint16_t Index = 0;
    double LedsDistance = 190.0;
    double LedsX[2] = {0.0, 0.0};
    double LedsY[2] = {-95.0, 95.0};
};

class TCustomWirelessSensor : public TComponent {
public:
    explicit TCustomWirelessSensor(TComponent* AOwner);
    // Fires OnDestroy (the controller drops the sensor from its list).
    ~TCustomWirelessSensor() override;

    // --- Virtual operations, in this order for every descendant ---
    // Back to the state of a new object: the base settings, then each model's own.
    virtual void Initialize();
    virtual void RecalcScale();
    // Takes the serial of a whole packet; false when the packet is not whole or not this model's kind.
    virtual bool GetSerialFromPacket(const uint8_t* APacket, size_t ASize);
    // A whole packet of this model and serial. The packet is not changed.
    virtual bool CheckPacket(const uint8_t* APacket, size_t ASize) const;
    // Decodes one packet of ASize bytes received; an inverted packet is turned back in place first.
    virtual void Feed(uint8_t* APacket, size_t ASize) = 0;
    // Commands over the optical channel (WD-03 family); refused by the models that do not take them.
    virtual bool SetHigherVoltage() { return false; }
    virtual bool SetLowerVoltage() { return false; }
    // APassword is the caller's byte string; the sensor checks it.
    virtual bool UnlockFuse(const std::string& APassword) { return (void)APassword, false; }
    virtual bool LockFuse(const std::string& APassword) { return (void)APassword, false; }
    virtual std::string Code128();

    void SetDynamicTarget(TKelvoTargetObject* ATarget);
    void SetStaticTarget(double ADistance, TKelvoTargetObject* ATarget);
    // The target object ATarget is going away: a sensor aimed at it lets go (keeping its scale mode)
    // and uses the default geometry until it is aimed again.
    void ForgetTarget(const TKelvoTargetObject* ATarget);
    // Hands out no further points: the sensor is to be freed once the packet it decodes is done.
    void StopPoints() { fPointsStopped = true; }
    TPointsArray GetPoints() { return fQueue.Get(); }
    // Queued points the bounded queue let go, the oldest first, because nobody took them in time.
    uint64_t DroppedPoints() const { return fQueue.Dropped(); }
    bool ValidSerial() const { return fSerial != 0 && fSerial != 0xFFFF; }
    bool XTFailed() const { return (fDeviceStatusBits & 1) != 0; }
    bool NotFused() const { return (fDeviceStatusBits & 2) != 0; }
    uint8_t BatteryLevel() const;
    TBatteryState BatteryState() const;
    void ResetFilters();

    uint8_t HardwareId() const { return fHardwareId; }
    uint16_t Serial() const { return fSerial; }
    float Battery() const { return fBattery; }
    bool DynamicScale() const { return fDynamicScale; }
    TKelvoTargetObject* Target() const { return fTarget; }
    double Scale() const { return fScale; }
    double Angle() const { return fAngle; }
    const std::string& ShortName() const { return fShortName; }
    const std::string& LongName() const { return fLongName; }
    uint16_t MaxPiezoLevel() const { return fMaxPiezoLevel; }
    bool HasVoltageControl() const { return fHasVoltageControl; }
    bool HasUnlockableFuse() const { return fHasUnlockableFuse; }
    float NormalSignal() const { return fNormalSignal; }
    float MaxSignal() const { return fMaxSignal; }
    float MinSignal() const { return fMinSignal; }
    float MaxNormalSignal() const { return fMaxNormalSignal; }
    float MinNormalSignal() const { return fMinNormalSignal; }
    uint8_t DeviceStatusBits() const { return fDeviceStatusBits; }
    // Packets dropped because their length did not fit the bytes received or their kind.
    uint64_t DroppedPackets() const { return fDroppedPackets; }

    bool StorePoints() const { return fStorePoints; }
    void SetStorePoints(bool AValue) { fStorePoints = AValue; }
    bool AngleOn() const { return fAngleOn; }
    void SetAngleOn(bool AValue) { fAngleOn = AValue; }

    TKelvoPointEvent OnNewPoint;
    TSensorNotifyEvent OnLowBattery;
    TSensorNotifyEvent OnNoSignal;
    TKelvoWDLowSignalEvent OnLowSignal;
    TSensorNotifyEvent OnDestroy;
    TSensorNotifyEvent OnBattery;

protected:
    TSensorTargetGeometry Geometry() const;
    // Smooths the point's position (xmm, ymm) through the X and Y filters and hands the point on. A
    // position that is not finite makes the point invalid and leaves the filters alone.
    void FilterAndEmit(TQueuedPoint_V1& APoint, double AX, double AY);
    void Emit(TQueuedPoint_V1& APoint);

    uint8_t fHardwareId = 0;
    uint16_t fSerial = 0xFFFF;
    float fBattery = 0;
    TKelvoTargetObject* fTarget = nullptr; // not owned
    bool fDynamicScale = false;
    double fRealDistance = 0;
    double fAngle = 0;
    bool fAngleOn = true;
    double fDistanceK = 0;
    double fScale = 0;
    TPointsQueue fQueue;
    bool fStorePoints = false;
    std::string fShortName;
    std::string fLongName;
    float fBatteryMin = 0, fBatteryMid = 0, fBatteryHigh = 0, fBatteryMax = 0;
    uint16_t fMaxPiezoLevel = 255;
    bool fHasVoltageControl = false;
    float fNormalSignal = 400, fMaxSignal = 1023, fMinSignal = 0, fMaxNormalSignal = 600,
          fMinNormalSignal = 250;
    bool fHasUnlockableFuse = false;
    uint8_t fDeviceStatusBits = 0;
    TCheb2 fScaleCheb;
    TAngleCheb2 fAngleCheb;
    TCheb2 fXCheb;
    TCheb2 fYCheb;
    uint64_t fDroppedPackets = 0;
    bool fPointsStopped = false;

private:
    void InitializeOwn();
};

// Battery thresholds, volts.
struct TBatteryRange {
    float Min, Mid, High, Max;
};

// The model table's entry of one sensor class.
struct TWDModel {
    uint8_t HardwareId;
    const char* ShortName;
    const char* LongName;
    double BatteryFactor; // BatteryVoltage(b) = 4 b / 1023 * BatteryFactor
    TBatteryRange Battery;
    bool HasVoltageControl;
    bool HasUnlockableFuse;
};

class TWDCustomSensor : public TCustomWirelessSensor {
public:
    TWDCustomSensor(TComponent* AOwner, const TWDModel& AModel);
    void Initialize() override;
    void Feed(uint8_t* APacket, size_t ASize) override;
    float BatteryVoltage(uint8_t b) const;

protected:
    // The shortest packet of each kind the model decodes; a shorter one is dropped.
    virtual size_t MinStatusLength() const = 0;
    virtual size_t MinDataLength() const = 0;
    // APacket holds ALength (>= the kind's minimum) bytes, already turned back when sent inverted.
    virtual void ProcessStatusPacket(const uint8_t* APacket, size_t ALength) = 0;
    virtual void ProcessDataPacket(const uint8_t* APacket, size_t ALength) = 0;
    // Takes a battery byte; fires OnBattery when it changed. Returns whether it changed.
    bool TakeBatteryByte(uint8_t b);

    uint8_t bBattery = 0;

private:
    void InitializeOwn();
    const TWDModel& fModel;
};

// WD-M01: the host computes both LED spots from eight amplitude words.
class TWDM01Sensor : public TWDCustomSensor {
public:
    explicit TWDM01Sensor(TComponent* AOwner);
    void Initialize() override;
    void RecalcScale() override;

    double DistanceK() const { return fDistanceK; }
    uint8_t XTMode() const { return bXTMode; }
    uint8_t XTTries() const { return bXTTries; }
    uint8_t XTLoTries() const { return bXTLoTries; }

    static constexpr uint8_t KDistanceKTaken = 0xFF;

protected:
    TWDM01Sensor(TComponent* AOwner, const TWDModel& AModel, bool ACounterHasOffScale);
    size_t MinStatusLength() const override { return 5; }
    size_t MinDataLength() const override { return 22; }
    void ProcessStatusPacket(const uint8_t* APacket, size_t ALength) override;
    void ProcessDataPacket(const uint8_t* APacket, size_t ALength) override;

    uint32_t dwDistanceK = 0;
    uint8_t bDistanceKValid = 0;
    uint8_t bXTMode = 0;
    uint8_t bXTTries = 0;
    uint8_t bXTLoTries = 0;

private:
    void InitializeOwn();
    void TakeAuxiliary(uint8_t ASelector, uint8_t AValue);
    // Bit 7 of the counter byte is the off-scale flag (WD-02) rather than part of the counter (WD-M01).
    bool fCounterHasOffScale;
};

class TWD02Sensor : public TWDM01Sensor {
public:
    explicit TWD02Sensor(TComponent* AOwner);
};

// The spots of a WD-M01/WD-02 data packet: the eight amplitude words (words 0..7 of APacket + 6) into
// amp, the two LED spots (index 1 and 2) normalised to an amplitude sum of 2000, their mean (index 0)
// and their distance (VisibleDistance). A spot with an amplitude sum of 50 or less makes the point
// invalid.
void ComputeSpots(const uint8_t* AWords, TQueuedPoint_V1& P);

// The LED modulation frequencies (Hz) of the target's two LED groups that stand for one symbol of
// the optical command channel.
struct TFrequencyPair {
    int Freq1;
    int Freq2;
};

// WD-03 and later: the sensor reports two aiming positions per packet. The host sends it commands
// optically: each symbol is a frequency pair set on the target's LEDs, and the sensor echoes every
// symbol it saw over the radio before the next one is set.
class TWD03Sensor : public TWDCustomSensor {
public:
    explicit TWD03Sensor(TComponent* AOwner);
    void Initialize() override;
    void RecalcScale() override {}

    double VisibleDistance() const { return fVisibleDistance; }

    // Sets the target's LEDs to the symbol's frequency pair; false without a target or when the
    // target refuses.
    bool SendSymbol(uint8_t ASymbol);
    // Starts sending ALen command bytes: the start symbol goes out now, each further symbol when the
    // sensor has echoed the one before. False (and nothing pending) for an empty command or when the
    // start symbol cannot be sent.
    bool SendCommand(const uint8_t* AData, size_t ALen);
    // The sensor's echo: type 0 resets; type 1 ends the command (53 cancelled, which resets too, 54
    // done); type 2 repeats the symbol just sent, so the next one goes out. Anything unexpected resets.
    void HandleCommandAck(uint8_t AType, uint8_t ASymbol);
    // Drops the pending command and sets the idle symbol.
    void ResetCommand();
    bool StoreCalibrationScale(uint32_t dwScale);
    bool SetSerialNumber(uint16_t wSerial);
    bool CommandPending() const { return !fCommand.empty(); }
    const std::array<TFrequencyPair, 55>& Codes() const { return fCodes; }

    TSensorNotifyEvent OnCommandCancel;
    TSensorNotifyEvent OnCommandSuccess;

    // Symbols besides the nibbles 0..15.
    static constexpr uint8_t KSymbolStart = 16;
    static constexpr uint8_t KSymbolRepeat = 33; // between two equal nibbles
    static constexpr uint8_t KSymbolIdle = 53;
    static constexpr uint8_t KSymbolEnd = 54;

    static constexpr double KRawScaleUnit = 251658240.0;

protected:
    TWD03Sensor(TComponent* AOwner, const TWDModel& AModel);
    size_t MinStatusLength() const override { return 7; }
    size_t MinDataLength() const override { return 14; }
    void ProcessStatusPacket(const uint8_t* APacket, size_t ALength) override;
    void ProcessDataPacket(const uint8_t* APacket, size_t ALength) override;
    // The data packet's tail (bytes 14 on): mic, mic index, raw mode and the device status bits.
    // Returns whether the packet is in raw mode with its scale word in ARawScale.
    virtual bool ReadDataTail(const uint8_t* APacket, size_t ALength, TQueuedPoint_V1& P,
                              uint32_t& ARawScale);
    // A status packet of ABitsLength bytes carries the device status bits in its last byte; the
    // models that report status bits take them (0 from a packet of another length).
    virtual void TakeStatusBits(const uint8_t* APacket, size_t ALength, size_t ABitsLength) {
        (void)APacket, (void)ALength, (void)ABitsLength;
    }
    virtual bool IsNoSignalLength(size_t ALength) const { return ALength == 18; }
    // A command of a code, the password's length and the password; a password longer than its
    // length byte holds is refused.
    bool SendPasswordCommand(uint8_t ACode, const std::string& APassword);

    uint8_t fTestSum = 0;
    uint8_t fTestSum2 = 0;
    int16_t fAngleWord = 0;
    uint8_t fAngleBits = 0;
    uint16_t fDistanceWord = 0;
    uint8_t fDistanceBits = 0;
    double fVisibleDistance = 0;
    std::vector<uint8_t> fCommand; // symbols of the command being sent
    size_t fCommandIndex = 0;      // the symbol sent last, waiting for its echo
    std::array<TFrequencyPair, 55> fCodes{};

private:
    void InitializeOwn();
    void TakeAuxiliary(uint8_t ACounter, uint8_t AValue);
    // One of the packet's two positions, rotated by the angle, smoothed and handed on.
    void EmitPosition(TQueuedPoint_V1 P, int16_t AX, int16_t AY, bool ARaw);
};

class TWD03V2Sensor : public TWD03Sensor {
public:
    explicit TWD03V2Sensor(TComponent* AOwner);
    bool SetHigherVoltage() override;
    bool SetLowerVoltage() override;
};

class TWD05Sensor : public TWD03Sensor {
public:
    explicit TWD05Sensor(TComponent* AOwner);
};

class TWDM02Sensor : public TWD03Sensor {
public:
    explicit TWDM02Sensor(TComponent* AOwner);
    // A status packet of 15 bytes gives no serial: no sensor object is kept for it.
    bool GetSerialFromPacket(const uint8_t* APacket, size_t ASize) override;

protected:
    TWDM02Sensor(TComponent* AOwner, const TWDModel& AModel);
};

class TWDM02V2Sensor : public TWDM02Sensor {
public:
    explicit TWDM02V2Sensor(TComponent* AOwner);
    bool UnlockFuse(const std::string& APassword) override;
    bool LockFuse(const std::string& APassword) override;

protected:
    TWDM02V2Sensor(TComponent* AOwner, const TWDModel& AModel);
};

// WD-M02V3 adds the device status bits to its packets.
class TWDM02V3Sensor : public TWDM02V2Sensor {
public:
    explicit TWDM02V3Sensor(TComponent* AOwner);

protected:
    bool ReadDataTail(const uint8_t* APacket, size_t ALength, TQueuedPoint_V1& P,
                      uint32_t& ARawScale) override;
    void TakeStatusBits(const uint8_t* APacket, size_t ALength, size_t ABitsLength) override;
    bool IsNoSignalLength(size_t ALength) const override { return ALength == 18 || ALength == 19; }
};

// Creates a sensor of one model class, owned by AOwner.
using TWirelessSensorClass = TCustomWirelessSensor* (*)(TComponent* AOwner);
// The class for the model code of a whole packet; null for an unknown code or a packet that is not
// whole.
TWirelessSensorClass SensorClassFor(const uint8_t* APacket, size_t ASize);
