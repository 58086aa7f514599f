#include "sim/SimWirelessController.h"

#include "platform/LittleEndian.h"
#include "sim/DemoKeys.h"
#include "sim/SimBootloader.h"
#include "sim/SimGost.h"

#include <algorithm>

namespace {

constexpr uint8_t KReqSerial = 0x81;
constexpr uint8_t KReqStatusTable = 0x82;
constexpr uint8_t KReqVersion = 0x86;
constexpr uint8_t KReqLock = 0x89;
constexpr uint8_t KReqUnlock = 0x8A;
constexpr uint8_t KReqLocked = 0x8B;
constexpr uint8_t KReqPower = 0x90;
constexpr uint8_t KReqSetPriority = 0xA0;
constexpr uint8_t KReqGetPriority = 0xA1;
constexpr uint8_t KReqResetOvercharge = 0xA2;
constexpr uint8_t KReqGetOvercharge = 0xA3;
constexpr uint8_t KReqMaxRetries = 0xA4;
constexpr uint8_t KReqRegions = 0xD0;
constexpr uint8_t KReqTargetCmd = 0xF0;
constexpr uint8_t KReqTargetAnswer = 0xF1;

constexpr uint8_t KPacketStatus = 0x88;
constexpr uint8_t KStatusFirmware = 1;
constexpr uint8_t KStatusBootloader = 2;
constexpr uint8_t KBlockSize = 8;
constexpr uint16_t KNoFirmware = 0xFFFF;

const TSimGost& DemoCipher() {
    static const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    return cipher;
}

bool IsKey(const std::array<uint8_t, 8>& AKey, const std::vector<uint8_t>& AData) {
    return AData.size() == AKey.size() && std::equal(AData.begin(), AData.end(), AKey.begin());
}

uint16_t ImageWord(const std::vector<uint8_t>& AFlash, std::size_t AOffset) {
    return AFlash.size() == SIM_IMAGE_SIZE ? GetLE16(AFlash.data() + AOffset) : KNoFirmware;
}

} // namespace

TSimRadioTarget* TSimWirelessState::TargetAt(uint16_t AIndex) {
    for (auto& target : Targets)
        if (target.Index == AIndex)
            return &target;
    return nullptr;
}

std::array<uint8_t, 16> TSimWirelessState::StatusTable() const {
    std::array<uint8_t, 16> table{};
    for (const auto& target : Targets)
        if (!target.Silent && target.Index >= 1 && target.Index <= 16)
            table[target.Index - 1u] = target.Stub ? KStatusBootloader : KStatusFirmware;
    return table;
}

TSimWirelessController::TSimWirelessController(std::shared_ptr<TSimWirelessState> AState,
                                               TUsbDriverKind ADriver, uint16_t AProductId)
    : TSimDevice({AProductId, SIM_VENDOR_ID, 0x0110, 0x0100, 16}, ADriver, "wireless"),
      fState(std::move(AState)) {
    using TState = TSimWirelessState;
    using TReq = const TSimVendorRequest&;
    using TOut = std::vector<uint8_t>&;
    const bool newChip = AProductId == 0x22;

    OnRead(KReqSerial, fState, [](TState& S, TOut A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.VersionFW);
        AppendLE16(A, S.VersionHW);
        return true;
    });
    OnRead(KReqStatusTable, fState, [](TState& S, TOut A) {
        const auto table = S.StatusTable();
        A.assign(table.begin(), table.end());
        return true;
    });
    OnRead(KReqLocked, fState, [](TState& S, TOut A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return true;
    });
    OnWrite(KReqLock, fState, std::nullopt, [](TState& S, TReq R) {
        if (!IsKey(S.Key, R.Data))
            return false;
        S.Locked = true;
        return true;
    });
    OnWrite(KReqUnlock, fState, std::nullopt, [](TState& S, TReq R) {
        if (!IsKey(S.Key, R.Data))
            return false;
        S.Locked = false;
        return true;
    });
    OnWrite(KReqPower, fState, 0, [](TState& S, TReq R) {
        if (R.wValue > 1)
            return false;
        S.PowerOn = R.wValue == 1;
        if (!S.PowerOn)
            ++S.PowerOffRequests;
        return true;
    });
    OnReadWrite(
        KReqRegions, fState,
        [](TState& S, TReq, TOut A) {
            if (S.VersionFW < 8)
                return false;
            AppendLE16(A, S.Regions);
            return true;
        },
        [](TState& S, TReq R) {
            if (S.VersionFW < 8 || !IsKey(S.Key, R.Data) || R.wValue > 0x0FFF)
                return false;
            S.Regions = R.wValue;
            return true;
        });
    // Retry count: hardware 2 and 3 from firmware 5, hardware 4 from firmware 10.
    OnReadWrite(
        KReqMaxRetries, fState,
        [](TState& S, TReq, TOut A) {
            A = {S.MaxRetries};
            return S.VersionFW >= (S.VersionHW == 4 ? 10 : 5);
        },
        [](TState& S, TReq R) {
            if (S.VersionFW < (S.VersionHW == 4 ? 10 : 5) || R.wValue > 0xFF)
                return false;
            S.MaxRetries = uint8_t(R.wValue);
            return true;
        });
    if (newChip) {
        OnWrite(KReqSetPriority, fState, 0, [](TState& S, TReq R) {
            if (R.wValue > 16)
                return false;
            S.PriorityTarget = uint8_t(R.wValue);
            return true;
        });
        OnRead(KReqGetPriority, fState, [](TState& S, TOut A) {
            A = {S.PriorityTarget};
            return true;
        });
        OnRead(KReqGetOvercharge, fState, [](TState& S, TOut A) {
            A = {S.Overcharge};
            return true;
        });
        OnWrite(KReqResetOvercharge, fState, 0, [](TState& S, TReq) {
            S.Overcharge = 0;
            return true;
        });
    }
    // The status pushes leave after the lock is released.
    SetVendorHandler(KReqTargetCmd, [this](TReq R, TOut) {
        if (R.DeviceToHost())
            return false;
        bool changed = false;
        bool ok;
        {
            std::lock_guard lock(fState->Mutex);
            ok = Command(*fState, R.wIndex, R.Data, changed);
        }
        if (changed)
            PushStatus();
        return ok;
    });
    OnRead(KReqTargetAnswer, fState, [](TState& S, TReq R, TOut A) {
        const TSimRadioTarget* target = S.TargetAt(R.wIndex);
        if (!target || target->Silent)
            return false;
        A = S.LastAnswer;
        return true;
    });
}

bool TSimWirelessController::Command(TSimWirelessState& S, uint16_t AIndex, const std::vector<uint8_t>& ACmd,
                                     bool& AChanged) {
    TSimRadioTarget* target = S.TargetAt(AIndex);
    if (!target || target->Silent || ACmd.empty())
        return false;
    std::vector<uint8_t> answer;
    bool ok = true;
    const uint8_t code = ACmd[0];
    if (code == 0x20) {
        const bool noImage = target->Stub && !target->FlashValid;
        answer = {uint8_t(AIndex), target->Stub ? KStatusBootloader : KStatusFirmware};
        AppendLE16(answer, target->ProductId);
        AppendLE16(answer, noImage ? KNoFirmware : target->VersionFW);
        AppendLE16(answer, target->VersionHW);
        answer.insert(answer.end(), target->Serial.begin(), target->Serial.end());
        answer.push_back(target->Locked ? 1 : 0);
    } else if (!target->Stub) {
        // The firmware: only the switch into the bootloader matters here; it restarts into it.
        ok = code == 0xF0 && ACmd.size() == 1;
        if (ok) {
            target->Stub = true;
            target->Erased = target->HaveSynchro = false;
            AChanged = true;
        }
    } else {
        ok = BootloaderCommand(*target, ACmd, answer, AChanged);
    }
    if (ok)
        S.LastAnswer = answer;
    return ok;
}

bool TSimWirelessController::BootloaderCommand(TSimRadioTarget& T, const std::vector<uint8_t>& ACmd,
                                               std::vector<uint8_t>& AAnswer, bool& AChanged) {
    auto okByte = [&AAnswer](bool AOk) {
        AAnswer = {uint8_t(AOk ? 1 : 0)};
        return true;
    };
    switch (ACmd[0]) {
    case 0x60: // erase
        T.Flash.assign(SIM_IMAGE_SIZE, 0xFF);
        T.FlashValid = false;
        T.Erased = true;
        T.HaveSynchro = false;
        T.NextAddress = 0;
        return okByte(true);
    case 0x65: // synchronisation block, on erased flash before the first block
        if (ACmd.size() != 9 || !T.Erased || T.NextAddress != 0)
            return okByte(false);
        std::copy(ACmd.begin() + 1, ACmd.end(), T.Chain.begin());
        T.HaveSynchro = true;
        T.BlocksAccepted = 0;
        return okByte(true);
    case 0x61: { // 0x61, n, address low, high, 8 data bytes: strictly in order
        if (ACmd.size() != 12 || ACmd[1] != KBlockSize || !T.HaveSynchro ||
            GetLE16(ACmd.data() + 2) != T.NextAddress || T.NextAddress + KBlockSize > SIM_IMAGE_SIZE)
            return okByte(false);
        DemoCipher().Decipher(ACmd.data() + 4, T.Flash.data() + T.NextAddress, KBlockSize, T.Chain.data());
        T.NextAddress += KBlockSize;
        ++T.BlocksAccepted;
        if (T.SilentAtBlock && T.BlocksAccepted == T.SilentAtBlock) {
            T.SilentAtBlock = 0;
            T.Silent = true;
            AChanged = true;
        }
        return okByte(true);
    }
    case 0x63: // validation: the authentication code and this target's product
        T.FlashValid = T.NextAddress == SIM_IMAGE_SIZE && SimImageAuthentic(T.Flash) &&
                       ImageWord(T.Flash, SIM_IMAGE_PRODUCT_ID) == T.ProductId;
        if (T.FlashValid)
            T.VersionFW = ImageWord(T.Flash, SIM_IMAGE_FIRMWARE_VERSION);
        T.HaveSynchro = false;
        return okByte(T.FlashValid);
    case 0x62: // reconnect: the firmware starts when the flash holds a valid image
        if (T.FlashValid) {
            T.Stub = false;
            AChanged = true;
        }
        return true;
    case 0x64: { // hardware information
        AppendLE16(AAnswer, T.ProductId);
        AppendLE16(AAnswer, SimProcessorOf(T.ProductId, T.VersionHW));
        AppendLE16(AAnswer, 0x1100);
        AppendLE16(AAnswer, T.VersionHW);
        AAnswer.insert(AAnswer.end(), T.Serial.begin(), T.Serial.end());
        return true;
    }
    case 0x66:
        AAnswer.assign(T.Serial.begin(), T.Serial.end());
        return true;
    default:
        return false;
    }
}

bool TSimWirelessController::PushRaw(const std::vector<uint8_t>& ABytes) {
    if (DriverKind() == TUsbDriverKind::Generic)
        return PushPackets(SIM_PIPE_DATA_IN, ABytes);
    PushStreamTransfer(ABytes);
    return true;
}

bool TSimWirelessController::PushStatus() {
    std::vector<uint8_t> packet = {18, KPacketStatus};
    {
        std::lock_guard lock(fState->Mutex);
        const auto table = fState->StatusTable();
        packet.insert(packet.end(), table.begin(), table.end());
    }
    return PushRaw(packet);
}

void TSimWirelessController::Revive(uint8_t AIndex) {
    {
        std::lock_guard lock(fState->Mutex);
        TSimRadioTarget* target = fState->TargetAt(AIndex);
        if (!target)
            return;
        target->Silent = false;
        target->Stub = true;
        target->Erased = target->HaveSynchro = false;
    }
    PushStatus();
}
