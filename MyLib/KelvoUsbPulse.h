#pragma once
// TKelvoPulseUsbDevice: the pulse sensor. Product id 10 is the finger clip (an LED and a photo
// detector: the host regulates the LED drive level and derives the pulse curve from the readings),
// product id 19 the chest-belt receiver (every event is one heart beat; the host measures the rate).
// Both are identified like every family device; the clip's LED level and the lock go through extra
// control codes of the family driver.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/MyMath.h"

#include <array>
#include <cstdint>
#include <functional>

// Family-driver functions of the pulse sensor.
constexpr uint32_t KELVO_PULSE_FN_SET_LEVEL = 0x815;     // 2 bytes: 4095 - level
constexpr uint32_t KELVO_PULSE_FN_LOCK = 0x818;          // no input (firmware below 5)
constexpr uint32_t KELVO_PULSE_FN_LOCK_WITH_KEY = 0x81C; // 8 bytes: the device key

// Product id of the chest-belt receiver.
constexpr uint16_t KELVO_PULSE_POLAR_PID = 19;

class TKelvoPulseUsbDevice;
// One clip sample: whether it was a heart beat, and the filtered pulse reading.
using TPulseValueNotify =
    std::function<void(TKelvoPulseUsbDevice* ASender, bool AHeartBeat, float APulseValue)>;
using TPulseNotify = std::function<void(TKelvoPulseUsbDevice* ASender)>;

class TKelvoPulseUsbDevice : public TCommonKelvoUsbDevice {
public:
    TKelvoPulseUsbDevice(TComponent* AOwner, const std::string& APath);
    ~TKelvoPulseUsbDevice() override;

    void Initialize() override;
    // Clears the events, stops a device that is open, then closes.
    void Finalize() override;
    // The inherited open; then the product id tells the clip from the chest-belt receiver.
    bool Open() override;
    // One sample of the clip, or one beat of the chest belt.
    void DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    bool GetSerialNum(PSerialNum ASerial) override;
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;

    // Firmware below 5 locks without a key; later firmware needs a driver that passes the key on.
    bool Lock(const TDeviceKey& AKey);
    // On failure AKey is eight zero bytes (never a valid key).
    bool GetDeviceKey(TDeviceKey& AKey);
    // Sets the LED drive level (0..4095; the regulation keeps it within 1..2047). fLevel follows even
    // when the device refuses; a level the drive word cannot carry is refused and not stored.
    bool SetSignalLevel(int32_t ALevel);
    bool Start();
    bool Stop();
    // The device is the chest-belt receiver.
    bool Polar() const { return !fClipVersion; }

    // Registers one heart beat at ATime (system tick count in milliseconds) and updates the rate.
    void RegisterBeat(uint32_t ATime);

    int32_t fLevel = 2048;
    int32_t fCounter = 100;
    TCheb2 fCheb;
    TAverageFilter fAvSignal;
    TPulseValueNotify fOnPulseValue;
    double fLedValue = 0;
    float fPulseValue = 0;
    TPulseNotify fOnHeartBeat;
    float fLastValue = 0;
    float fLastDelta = 0;
    float fLastMax = 0;
    float fLastMin = 65535.0f;
    float fMin = 65535.0f;
    float fMax = 0;
    int32_t fMinCounter = 0;
    int32_t fMaxCounter = 0;
    int32_t fSignalCounter = 0;
    std::array<uint32_t, 4> fHits{};
    int32_t fEnableCounter = 100;
    int32_t fDesiredLedLevel = 1000;
    bool fAutoAdjust = true;
    float fHeartRate = 0;
    bool fHeartBeat = false;
    bool fHoldHeartBeat = false;
    bool fClipVersion = true;
    bool fStarted = false;
    uint8_t fEdgeDetectionState = 0;
    float fEdgeValue = 0;

private:
    // One clip sample: the LED reading (AR0) and the pulse reading (AR1) as the device sends them.
    void ClipSample(uint16_t AR0, uint16_t AR1);
    // Moves the LED drive level toward the one that gives fDesiredLedLevel.
    void AdjustLedLevel();
};
using PKelvoPulseUsbDevice = TKelvoPulseUsbDevice*;
