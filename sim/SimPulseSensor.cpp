#include "sim/SimPulseSensor.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqVersion = 0x85;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqLocked = 0x91;
constexpr uint8_t KReqUnlock = 0x93;
constexpr uint8_t KReqDeviceKey = 0x95;
constexpr uint8_t KReqStubVersion = 0xFE;
constexpr uint8_t KReqSwitchToStub = 0xFF;

constexpr uint16_t KBeltProductId = 19;
// Firmware from this version on locks only with the key; the driver passes a key on from 516.
constexpr uint16_t KFirmwareLockWithKey = 5;
constexpr uint16_t KDriverLockWithKey = 516;

} // namespace

TSimPulseSensor::TSimPulseSensor(std::shared_ptr<TSimPulseState> AState, TUsbDriverKind ADriver)
    : TSimDevice({AState->ProductId, SIM_VENDOR_ID, 0x0110, 0x0100, 16}, ADriver,
                 AState->ProductId == KBeltProductId ? "pulse_polar" : "pulse"),
      fState(std::move(AState)) {
    SetDriverVersion(fState->DriverVersion);
    auto state = fState;

    OnRead(KReqVersion, fState, [](TSimPulseState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.VersionFW);
        AppendLE16(A, S.VersionHW);
        return true;
    });
    OnRead(KReqSerial, fState, [](TSimPulseState& S, std::vector<uint8_t>& A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqLocked, fState, [](TSimPulseState& S, std::vector<uint8_t>& A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return true;
    });
    // The key is given away only to a host that has opened the lock.
    OnRead(KReqDeviceKey, fState, [](TSimPulseState& S, std::vector<uint8_t>& A) {
        if (S.Locked)
            return false;
        A.assign(S.Key.begin(), S.Key.end());
        return true;
    });
    OnRead(KReqStubVersion, fState, [](TSimPulseState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
        return true;
    });
    OnWrite(KReqUnlock, fState, 8, [](TSimPulseState& S, const TSimVendorRequest& R) {
        if (!std::equal(R.Data.begin(), R.Data.end(), S.Key.begin()))
            return false;
        S.Locked = false;
        return true;
    });
    OnWrite(KReqStart, fState, 0, [](TSimPulseState& S, const TSimVendorRequest&) {
        S.Started = true;
        ++S.Starts;
        return true;
    });
    OnWrite(KReqStop, fState, 0, [](TSimPulseState& S, const TSimVendorRequest&) {
        S.Started = false;
        ++S.Stops;
        return true;
    });
    SetVendorHandler(KReqSwitchToStub, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        if (AReq.DeviceToHost() || !AReq.Data.empty())
            return false;
        {
            std::lock_guard lock(fState->Mutex);
            fState->Started = false;
        }
        SwitchToBootloaderAfterRequest();
        return true;
    });

    SetIoControlHandler(SIM_IOCTL_PULSE_LEVEL,
                        [state](const std::vector<uint8_t>& AIn, uint32_t, std::vector<uint8_t>&) {
                            if (AIn.size() != 2)
                                return ERROR_INVALID_PARAMETER;
                            std::lock_guard lock(state->Mutex);
                            state->DriveWord = GetLE16(AIn.data());
                            return ERROR_SUCCESS;
                        });
    SetIoControlHandler(SIM_IOCTL_PULSE_LOCK,
                        [state](const std::vector<uint8_t>& AIn, uint32_t, std::vector<uint8_t>&) {
                            if (!AIn.empty())
                                return ERROR_INVALID_PARAMETER;
                            std::lock_guard lock(state->Mutex);
                            if (state->VersionFW >= KFirmwareLockWithKey)
                                return ERROR_GEN_FAILURE; // the firmware wants the key
                            state->Locked = true;
                            return ERROR_SUCCESS;
                        });
    SetIoControlHandler(SIM_IOCTL_PULSE_LOCK_KEY,
                        [state](const std::vector<uint8_t>& AIn, uint32_t, std::vector<uint8_t>&) {
                            std::lock_guard lock(state->Mutex);
                            if (state->DriverVersion < KDriverLockWithKey)
                                return ERROR_INVALID_FUNCTION; // a driver that does not know the code
                            if (AIn.size() != 8)
                                return ERROR_INVALID_PARAMETER;
                            // Older firmware has no keyed lock, and a wrong key does not close the lock.
                            if (state->VersionFW < KFirmwareLockWithKey ||
                                !std::equal(AIn.begin(), AIn.end(), state->Key.begin()))
                                return ERROR_GEN_FAILURE;
                            state->Locked = true;
                            return ERROR_SUCCESS;
                        });
}

bool TSimPulseSensor::IsBeltReceiver() const {
    std::lock_guard lock(fState->Mutex);
    return fState->ProductId == KBeltProductId;
}

uint16_t TSimPulseSensor::LedReading() const {
    std::lock_guard lock(fState->Mutex);
    const double level = 4095 - std::min<int>(fState->DriveWord, 4095);
    const double light = std::clamp(std::round(level * fState->LightPerLevel), 0.0, 4095.0);
    return uint16_t(4095 - int(light));
}

bool TSimPulseSensor::PushSample(uint16_t APulseLight) {
    {
        std::lock_guard lock(fState->Mutex);
        if (!fState->Started || fState->ProductId == KBeltProductId)
            return false;
    }
    std::vector<uint8_t> sample;
    AppendLE16(sample, LedReading());
    AppendLE16(sample, uint16_t(4095 - std::min<uint16_t>(APulseLight, 4095)));
    return PushEvent(sample);
}

bool TSimPulseSensor::PushBeat() {
    {
        std::lock_guard lock(fState->Mutex);
        if (!fState->Started || fState->ProductId != KBeltProductId)
            return false;
    }
    return PushEvent({});
}
