#include "sim/SimTriggerController.h"

#include "platform/LittleEndian.h"

#include <algorithm>

namespace {

constexpr uint16_t KProductId = 5;
constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqVersion = 0x85;
constexpr uint8_t KReqLocked = 0x86;
constexpr uint8_t KReqLock = 0x87;
constexpr uint8_t KReqUnlock = 0x88;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqLockWithKey = 0x8C;
constexpr uint8_t KReqRegions = 0xD0;
constexpr uint8_t KReqStubVersion = 0xFE;
constexpr uint8_t KReqSwitchToStub = 0xFF;

// Firmware 4 replaced the lock without a key by the lock with the key; regions came with hardware 4
// and firmware 8.
constexpr uint16_t KFirmwareLockWithKey = 4;
constexpr uint16_t KHardwareWithRegions = 4;
constexpr uint16_t KFirmwareWithRegions = 8;
constexpr uint16_t KAllRegions = 0x0FFF;

bool KeepsRegions(const TSimTriggerState& AState) {
    return AState.VersionHW >= KHardwareWithRegions && AState.VersionFW >= KFirmwareWithRegions;
}

bool IsKey(const TSimTriggerState& AState, const std::vector<uint8_t>& AData) {
    return AData.size() == AState.Key.size() && std::equal(AData.begin(), AData.end(), AState.Key.begin());
}

} // namespace

TSimTriggerController::TSimTriggerController(std::shared_ptr<TSimTriggerState> AState, TUsbDriverKind ADriver)
    : TSimDevice({KProductId, SIM_VENDOR_ID, 0x0110, 0x0100, 16}, ADriver, "trigger"),
      fState(std::move(AState)) {
    using TState = TSimTriggerState;
    using TReq = const TSimVendorRequest&;
    using TOut = std::vector<uint8_t>&;

    OnRead(KReqVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.VersionFW);
        AppendLE16(A, S.VersionHW);
        return true;
    });
    OnRead(KReqSerial, fState, [](TState& S, TOut A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqLocked, fState, [](TState& S, TOut A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return true;
    });
    OnRead(KReqStubVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
        return true;
    });
    OnWrite(KReqLock, fState, 0, [](TState& S, TReq) {
        if (S.VersionFW >= KFirmwareLockWithKey)
            return false;
        S.Locked = true;
        return true;
    });
    // A wrong key neither opens nor closes the lock.
    OnWrite(KReqLockWithKey, fState, std::nullopt, [](TState& S, TReq R) {
        if (S.VersionFW < KFirmwareLockWithKey || !IsKey(S, R.Data))
            return false;
        S.Locked = true;
        return true;
    });
    OnWrite(KReqUnlock, fState, std::nullopt, [](TState& S, TReq R) {
        if (!IsKey(S, R.Data))
            return false;
        S.Locked = false;
        return true;
    });
    // Read: the mask. Write: the device key, with the new mask in wValue.
    OnReadWrite(
        KReqRegions, fState,
        [](TState& S, TReq, TOut A) {
            if (!KeepsRegions(S))
                return false;
            AppendLE16(A, S.Regions);
            return true;
        },
        [](TState& S, TReq R) {
            if (!KeepsRegions(S) || !IsKey(S, R.Data) || R.wValue > KAllRegions)
                return false;
            S.Regions = R.wValue;
            return true;
        });
    OnWrite(KReqStart, fState, 0, [](TState& S, TReq) {
        S.Started = true;
        return true;
    });
    OnWrite(KReqStop, fState, 0, [](TState& S, TReq) {
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
}

bool TSimTriggerController::PushLevel(uint16_t ALevel, bool AValid) {
    {
        std::lock_guard lock(fState->Mutex);
        if (!fState->Started)
            return false;
    }
    const uint16_t word = uint16_t((ALevel & 0x7FFF) | (AValid ? 0 : 0x8000));
    std::vector<uint8_t> reading;
    AppendLE16(reading, word);
    return PushEvent(reading);
}
