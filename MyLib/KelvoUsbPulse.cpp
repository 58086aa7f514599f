#include "MyLib/KelvoUsbPulse.h"

#include "platform/LittleEndian.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqVersion = 0x85;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqLocked = 0x91;
constexpr uint8_t KReqUnlock = 0x93;
constexpr uint8_t KReqDeviceKey = 0x95;

// The first firmware that locks with the key, and the first driver that passes a key on.
constexpr uint16_t KFirmwareLockWithKey = 5;
constexpr uint16_t KDriverLockWithKey = 516;

// Readings and drive words are 12-bit values.
constexpr int32_t KFullScale = 4095;
constexpr int32_t KMaxRegulatedLevel = 2047;
// A peak counts as fresh for this many samples.
constexpr int32_t KPeakHold = 300;
// Beat intervals taken as plausible, in milliseconds.
constexpr uint32_t KMinBeatInterval = 200;
constexpr uint32_t KMaxBeatInterval = 2000;

void CountUp(int32_t& ACounter) {
    if (ACounter < std::numeric_limits<int32_t>::max())
        ++ACounter;
}

} // namespace

TKelvoPulseUsbDevice::TKelvoPulseUsbDevice(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoPulseUsbDevice::Initialize();
}

TKelvoPulseUsbDevice::~TKelvoPulseUsbDevice() {
    TKelvoPulseUsbDevice::Finalize();
}

void TKelvoPulseUsbDevice::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    fCheb.Init(0.05, TFilterPassType::LowPass, 0.05, 2);
    fCheb.Reset();
    fLevel = 2048;
    fCounter = 100;
    fOnPulseValue = nullptr;
    fOnHeartBeat = nullptr;
    fLastMin = 65535.0f;
    fMin = 65535.0f;
    fMax = 0;
    fMinCounter = 0;
    fMaxCounter = 0;
    fSignalCounter = 0;
    fEnableCounter = 100;
    fDesiredLedLevel = 1000;
    fAutoAdjust = true;
    fAvSignal.Init(100);
    fHoldHeartBeat = false;
    fClipVersion = true;
    fStarted = false;
    fEdgeDetectionState = 0;
    fEdgeValue = 0;
}

void TKelvoPulseUsbDevice::Finalize() {
    fOnPulseValue = nullptr;
    fOnHeartBeat = nullptr;
    fOnData = nullptr;
    fOnEvent = nullptr;
    if (Opened())
        Stop();
    TCommonKelvoUsbDevice::Finalize();
}

bool TKelvoPulseUsbDevice::Open() {
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    fClipVersion = !(fDeviceDescriptorValid && fDeviceDescriptor.idProduct == KELVO_PULSE_POLAR_PID);
    return true;
}

void TKelvoPulseUsbDevice::DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) {
    TCommonKelvoUsbDevice::DoEvent(ABuffer, ABufferSize);
    if (!fClipVersion) {
        // The belt receiver's events carry no data: each one is a beat.
        RegisterBeat(TickCount());
        if (fOnHeartBeat)
            fOnHeartBeat(this);
        return;
    }
    // Two 16-bit readings; a shorter event is not a sample.
    if (!ABuffer || ABufferSize < 4)
        return;
    ClipSample(GetLE16(ABuffer), GetLE16(ABuffer + 2));
    if (fOnPulseValue)
        fOnPulseValue(this, fHeartBeat, fPulseValue);
    if (fHeartBeat && fOnHeartBeat)
        fOnHeartBeat(this);
}

void TKelvoPulseUsbDevice::ClipSample(uint16_t AR0, uint16_t AR1) {
    fLedValue = KFullScale - AR0;
    fPulseValue = float(fCheb.Filter(double(KFullScale - AR1)));
    fLedValue = fAvSignal.Filter(fLedValue);

    fHeartBeat = false;
    CountUp(fMinCounter);
    CountUp(fMaxCounter);
    const float diff = fPulseValue - fLastValue;
    if (fEnableCounter > 0)
        --fEnableCounter;
    CountUp(fSignalCounter);

    if (fAutoAdjust && fSignalCounter > 2 &&
        (fLedValue < fDesiredLedLevel - 100 || fLedValue > fDesiredLedLevel + 100)) {
        AdjustLedLevel();
        fSignalCounter = 0;
    }

    // Peaks and valleys of the pulse curve, for the regulation at each beat.
    if (fLastDelta > 0 && diff <= 0) {
        fLastMax = fPulseValue;
        if (fMaxCounter > KPeakHold || fPulseValue > fMax) {
            fMax = fPulseValue;
            fMaxCounter = 0;
        }
    } else if (fLastDelta < 0 && diff >= 0) {
        fLastMin = fPulseValue;
        if (fMinCounter > KPeakHold || fPulseValue < fMin) {
            fMin = fPulseValue;
            fMinCounter = 0;
        }
    }
    fLastValue = fPulseValue;
    fLastDelta = diff;
}

void TKelvoPulseUsbDevice::AdjustLedLevel() {
    double target;
    if (fDesiredLedLevel >= fLedValue)
        target = fLedValue <= 0 ? fLevel + 1.0 : fDesiredLedLevel / fLedValue * fLevel;
    else
        target = fLevel < 3 ? fLevel + 1.0 : fDesiredLedLevel / fLedValue * fLevel;
    // Small steps only, and always within the regulated range (an infinite ratio is one step too).
    target = std::clamp(std::round(target), fLevel - 3.0, fLevel + 3.0);
    const int32_t level = int32_t(std::clamp(target, 1.0, double(KMaxRegulatedLevel)));
    if (level == fLevel)
        return;
    fEnableCounter = std::min(fEnableCounter + 5, 200);
    SetSignalLevel(level);
    fAvSignal.Reset();
}

void TKelvoPulseUsbDevice::RegisterBeat(uint32_t ATime) {
    fHeartBeat = true;
    fMax = fPulseValue;
    fMin = fLastMin;
    fMaxCounter = 0;

    std::rotate(fHits.begin(), fHits.begin() + 1, fHits.end());
    fHits.back() = ATime;
    // Tick counts wrap; unsigned differences stay right across the wrap.
    const double mean = (ATime - fHits.front()) / 3.0;
    if (fHits.front() != 0) {
        bool steady = true;
        for (std::size_t i = 1; i < fHits.size(); ++i) {
            const uint32_t interval = fHits[i] - fHits[i - 1];
            steady = steady && interval >= KMinBeatInterval && interval <= KMaxBeatInterval &&
                     std::abs(interval - mean) <= mean / 2;
        }
        if (steady)
            fHeartRate = float(60.0 / (mean / 1000.0));
    }

    // The clip's LED level follows the size of the curve: a curve near the top of the range wants
    // less light, a flat one more.
    if (fVersionHW < 3 && fAutoAdjust) {
        if (fMax > 3686.4f && fDesiredLedLevel >= 600) {
            fDesiredLedLevel -= 25;
            AdjustLedLevel();
        }
        if (fMax - fMin < 1228.8f && fDesiredLedLevel <= 1400) {
            fDesiredLedLevel += 25;
            AdjustLedLevel();
        }
    }
}

bool TKelvoPulseUsbDevice::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(KReqSerial, ASerial);
}

bool TKelvoPulseUsbDevice::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    return ReadVersionWords(KReqVersion, AHW, ASF);
}

bool TKelvoPulseUsbDevice::GetLocked(bool& ALocked) {
    return ReadLockState(KReqLocked, ALocked);
}

bool TKelvoPulseUsbDevice::Unlock(const TDeviceKey& AKey) {
    return SendUnlockKey(KReqUnlock, AKey);
}

bool TKelvoPulseUsbDevice::Lock(const TDeviceKey& AKey) {
    bool ok;
    if (fVersionFW < KFirmwareLockWithKey)
        ok = IoControl(KELVO_PULSE_FN_LOCK);
    else if (fDriverVersion >= KDriverLockWithKey)
        ok = IoControl(KELVO_PULSE_FN_LOCK_WITH_KEY, AKey.data(), uint32_t(AKey.size()));
    else
        return false;
    if (ok)
        fLocked = true;
    return ok;
}

bool TKelvoPulseUsbDevice::GetDeviceKey(TDeviceKey& AKey) {
    TDeviceKey key;
    if (!VendorRequestRead(key.data(), uint32_t(key.size()), KReqDeviceKey, 0, 0)) {
        AKey.fill(0);
        return false;
    }
    AKey = key;
    return true;
}

bool TKelvoPulseUsbDevice::SetSignalLevel(int32_t ALevel) {
    // The drive word is 4095 - level; outside 0..4095 it would wrap into a different level.
    if (ALevel < 0 || ALevel > KFullScale)
        return false;
    fLevel = ALevel;
    const uint16_t drive = uint16_t(KFullScale - ALevel);
    uint8_t word[2];
    PutLE16(word, drive);
    return IoControl(KELVO_PULSE_FN_SET_LEVEL, word, sizeof word);
}

bool TKelvoPulseUsbDevice::Start() {
    if (!VendorRequest(KReqStart, 0, 0))
        return false;
    fStarted = true;
    fHoldHeartBeat = false;
    return true;
}

bool TKelvoPulseUsbDevice::Stop() {
    if (!VendorRequest(KReqStop, 0, 0))
        return false;
    fStarted = false;
    return true;
}

std::string TKelvoPulseUsbDevice::ModelDescription() {
    switch (fVersionHW) {
    case 1:
    case 2:
        return "KELVO USB pulse sensor";
    case 3:
        return "KELVO USB Pulse sensor (Polar uncoded)";
    default:
        return "unknown";
    }
}

std::string TKelvoPulseUsbDevice::ModelType() {
    switch (fVersionHW) {
    case 1:
    case 2:
        return "HB-00";
    case 3:
        return "HB 01";
    default:
        return "unknown";
    }
}

std::string TKelvoPulseUsbDevice::DeveloperName() {
    switch (fVersionHW) {
    case 1:
    case 2:
        return "PULSE-147";
    case 3:
        return "PULSE-POLAR-235";
    default:
        return "PULSE-??";
    }
}

TKelvoUsbTransceiver TKelvoPulseUsbDevice::UsbTransceiver() {
    return KELVO_USB_D12;
}
