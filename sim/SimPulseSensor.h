#pragma once
// The simulated pulse sensor: the finger clip (product id 10) and the chest-belt receiver (product
// id 19). It answers the pulse sensor's vendor requests, the family requests every device answers
// (bootloader version, switch to the bootloader), and the family driver's three extra control codes
// (LED drive level, lock, lock with the key). While started, the clip reports samples (LED reading
// and pulse reading) and the belt receiver one empty event per heart beat.
#include "sim/SimDevice.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

// Control codes the family driver adds for the pulse sensor.
constexpr uint32_t SIM_IOCTL_PULSE_LEVEL = 0x222054;    // 2 bytes: 4095 - drive level
constexpr uint32_t SIM_IOCTL_PULSE_LOCK = 0x222060;     // no input
constexpr uint32_t SIM_IOCTL_PULSE_LOCK_KEY = 0x222070; // 8 bytes: the device key

// What the sensor keeps across re-enumeration (its flash and its driver's version).
struct TSimPulseState {
    std::mutex Mutex;
    uint16_t ProductId = 10;
    std::array<uint8_t, 8> Serial = {10, 20, 30, 40, 50, 60, 70, 80};
    std::array<uint8_t, 8> Key = {3, 1, 4, 1, 5, 9, 2, 6};
    uint16_t VersionHW = 2;
    uint16_t VersionFW = 5;
    bool Locked = false;
    uint16_t StubActual = 3;
    uint16_t StubUpdate = 3;
    // The family driver's version; 516 and later pass a key on with the lock.
    uint16_t DriverVersion = 0x217;
    // The last drive word received (4095 - level), and the share of the drive the detector sees.
    uint16_t DriveWord = 4095 - 2048;
    double LightPerLevel = 0.5;
    bool Started = false;
    // Requests that reached the firmware's handlers, for tests that check what was sent.
    int Starts = 0;
    int Stops = 0;
};

class TSimPulseSensor : public TSimDevice {
public:
    // The product id of AState decides clip or belt; the driver version is taken from AState.
    TSimPulseSensor(std::shared_ptr<TSimPulseState> AState, TUsbDriverKind ADriver = TUsbDriverKind::Family);

    const std::shared_ptr<TSimPulseState>& State() const { return fState; }
    bool IsBeltReceiver() const;

    // Clip, while started: one sample with the pulse reading APulseLight (light on the detector,
    // 0..4095); the LED reading follows the current drive level. False when nothing was sent.
    bool PushSample(uint16_t APulseLight);
    // Belt receiver, while started: one heart beat. False when nothing was sent.
    bool PushBeat();
    // The LED reading the clip reports now (4095 - light seen from the LED).
    uint16_t LedReading() const;

private:
    std::shared_ptr<TSimPulseState> fState;
};
