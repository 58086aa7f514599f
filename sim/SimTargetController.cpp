#include "sim/SimTargetController.h"

#include "platform/LittleEndian.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <algorithm>
#include <functional>

namespace {

constexpr uint16_t KProductId = 2;
constexpr uint16_t KTargetHardware = 1;

constexpr uint8_t KReqLEDsBasic = 0x81;
constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqLEDsGroup = 0x85;
constexpr uint8_t KReqLEDState = 0x86;
constexpr uint8_t KReqSetSinTable = 0x87;
constexpr uint8_t KReqSignalLevels = 0x88;
constexpr uint8_t KReqGetSinTable = 0x89;
constexpr uint8_t KReqFrameInfo = 0x8A;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqSetTargetSerial = 0x8C;
constexpr uint8_t KReqEnable = 0x8D;
constexpr uint8_t KReqEnableTarget = 0x8E;
constexpr uint8_t KReqSwitchTargetToStub = 0x8F;
constexpr uint8_t KReqErase = 0x90;
constexpr uint8_t KReqWrite = 0x91;
constexpr uint8_t KReqValidate = 0x92;
constexpr uint8_t KReqReconnectTarget = 0x93;
constexpr uint8_t KReqSynchro = 0x94;
constexpr uint8_t KReqSetTargetKey = 0x95;
constexpr uint8_t KReqEnableSecret = 0x96;
constexpr uint8_t KReqGetTargetKey = 0x97;
constexpr uint8_t KReqVersion = 0x98;
constexpr uint8_t KReqLocked = 0x99;
constexpr uint8_t KReqLock = 0x9A;
constexpr uint8_t KReqStubVersion = 0xFE;
constexpr uint8_t KReqSwitchToStub = 0xFF;

constexpr uint8_t KReportGone = 1;
constexpr uint8_t KReportChanged = 2;
// Firmware from which the reports travel on the bulk pipe of the generic binding.
constexpr uint16_t KFirmwareReportsAsData = 8;
// The target bootloader takes exactly one cipher block per write.
constexpr std::size_t KTargetBlock = 8;
constexpr std::array<uint8_t, 8> KServiceCode = {'p', 'I', 'r', 'U', 'n', 'A', 'v', 'o'};

using TState = TSimTargetControllerState;

uint8_t ModeByte(TSimTargetMode AMode) {
    switch (AMode) {
    case TSimTargetMode::Normal:
        return 1;
    case TSimTargetMode::Bootloader:
        return 2;
    default:
        return 0;
    }
}

// The mode a target powers up in: its bootloader when it was switched there or holds no valid image.
TSimTargetMode PowerUpMode(const TState& S) {
    return S.StayInBootloader || !S.Target.FlashValid ? TSimTargetMode::Bootloader : TSimTargetMode::Normal;
}

bool Same(const std::vector<uint8_t>& AData, const std::array<uint8_t, 8>& ABytes) {
    return AData.size() == ABytes.size() && std::equal(AData.begin(), AData.end(), ABytes.begin());
}

} // namespace

std::vector<uint8_t> SimTargetImage(uint16_t AProductId, uint16_t AVersionFW) {
    return SimPlainImage(AProductId, KTargetHardware, AVersionFW,
                         SimProcessorOf(AProductId, KTargetHardware));
}

TSimTargetController::TSimTargetController(std::shared_ptr<TSimTargetControllerState> AState,
                                           TUsbDriverKind ADriver)
    : TSimDevice({KProductId, SIM_VENDOR_ID, 0x0110, 0x0100, 16}, ADriver, "target_controller"),
      fState(std::move(AState)) {
    using TReq = const TSimVendorRequest&;
    using TOut = std::vector<uint8_t>&;
    using TTake = std::function<bool(TState&, TReq)>;
    // A command to the target: only while it is there, in one of the modes that take it.
    auto takes = [this](TState& S, bool ANormal, bool ABootloader) {
        return !Absent(S) && (S.TargetMode == TSimTargetMode::Normal ? ANormal : ABootloader);
    };
    auto targetWrite = [this, takes](uint8_t ARequest, bool ANormal, bool ABootloader, std::size_t ALength,
                                     TTake ATake) {
        OnWrite(ARequest, fState, ALength, [takes, ANormal, ABootloader, ATake](TState& S, TReq R) {
            return takes(S, ANormal, ABootloader) && ATake(S, R);
        });
    };
    auto targetRead = [this, takes](uint8_t ARequest, bool ABootloader,
                                    std::function<bool(TState&, TOut)> AFill) {
        OnRead(ARequest, fState, [takes, ABootloader, AFill](TState& S, TOut A) {
            return takes(S, !ABootloader, ABootloader) && AFill(S, A);
        });
    };
    auto accept = [](TState&, TReq) { return true; };

    // --- The controller ---
    OnRead(KReqSerial, fState, [](TState& S, TOut A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.VersionFW);
        AppendLE16(A, S.VersionHW);
        return true;
    });
    OnRead(KReqLocked, fState, [](TState& S, TOut A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return true;
    });
    OnWrite(KReqLock, fState, 0, [](TState& S, TReq) {
        S.Locked = true;
        return true;
    });
    // A wrong key leaves the lock as it is.
    OnWrite(KReqEnable, fState, 8, [](TState& S, TReq R) {
        if (!Same(R.Data, S.Key))
            return false;
        S.Locked = false;
        return true;
    });
    OnRead(KReqStubVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
        return true;
    });
    OnRead(KReqFrameInfo, fState, [](TState& S, TOut A) {
        A.assign(16, 0);
        A[0] = ModeByte(S.TargetMode);
        if (S.TargetMode != TSimTargetMode::None) {
            A[1] = S.SinTableIndex;
            PutLE16(&A[2], S.Target.ProductId);
            PutLE16(&A[4], S.DataSize);
            PutLE16(&A[6], S.TargetFirmwareVersion());
            std::copy(S.Target.Serial.begin(), S.Target.Serial.end(), A.begin() + 8);
        }
        return true;
    });
    SetVendorHandler(KReqSwitchToStub, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        if (AReq.DeviceToHost() || !AReq.Data.empty())
            return false;
        SwitchToBootloaderAfterRequest();
        return true;
    });

    // --- The target in either mode ---
    targetWrite(KReqLEDsBasic, true, true, 0, accept);
    targetWrite(KReqLEDsGroup, true, true, 0, accept);
    targetWrite(KReqLEDState, true, true, 0, accept);

    // --- The target running its firmware ---
    targetWrite(KReqStart, true, false, 0, [](TState& S, TReq) {
        S.TargetStarted = true;
        return true;
    });
    targetWrite(KReqStop, true, false, 0, [](TState& S, TReq) {
        S.TargetStarted = false;
        return true;
    });
    targetWrite(KReqSetSinTable, true, false, 0, [](TState& S, TReq R) {
        if (R.wValue > 1)
            return false;
        S.SinTableIndex = uint8_t(R.wValue);
        return true;
    });
    targetRead(KReqGetSinTable, false, [](TState& S, TOut A) {
        A = {S.SinTableIndex};
        return true;
    });
    targetWrite(KReqSignalLevels, true, false, 0, [](TState& S, TReq R) {
        S.SignalLevel1 = R.wValue;
        S.SignalLevel2 = R.wIndex;
        return true;
    });
    targetWrite(KReqEnableTarget, true, false, 8, [](TState& S, TReq R) {
        if (!Same(R.Data, S.TargetKey))
            return false;
        S.TargetLocked = false;
        return true;
    });
    targetWrite(KReqSwitchTargetToStub, true, false, 0, [this](TState& S, TReq) {
        S.TargetMode = TSimTargetMode::Bootloader;
        S.StayInBootloader = true;
        S.TargetStarted = false;
        S.Target.ResetRun();
        Report(KReportChanged, S.VersionFW);
        DropOffAfter(TSimUpdateStage::Switch);
        return true;
    });

    // --- The target's bootloader ---
    auto fails = [](TState& S, TSimStubRequest ARequest) {
        return S.Target.Faults.FailOnce.erase(ARequest) > 0;
    };
    targetWrite(KReqErase, false, true, 0, [this, fails](TState& S, TReq) {
        if (fails(S, TSimStubRequest::Erase))
            return false;
        S.Target.EraseFlash();
        DropOffAfter(TSimUpdateStage::Erase);
        return true;
    });
    targetWrite(KReqSynchro, false, true, 8, [this, fails](TState& S, TReq R) {
        if (fails(S, TSimStubRequest::Synchro) || !S.Target.TakeSynchro(R.Data))
            return false;
        DropOffAfter(TSimUpdateStage::Synchro);
        return true;
    });
    targetWrite(KReqWrite, false, true, KTargetBlock, [this](TState& S, TReq R) { return Write(S, R); });
    // Authentic, and built for this target's product.
    targetWrite(KReqValidate, false, true, 0, [this, fails](TState& S, TReq) {
        if (fails(S, TSimStubRequest::Validate))
            return false;
        S.Target.FlashValid = S.Target.ValidateFlash() && S.Target.FlashProductId() == S.Target.ProductId;
        DropOffAfter(TSimUpdateStage::Validate);
        return S.Target.FlashValid;
    });
    // The target restarts: into its firmware when the flash holds a valid image.
    targetWrite(KReqReconnectTarget, false, true, 0, [this, fails](TState& S, TReq) {
        if (fails(S, TSimStubRequest::Reconnect))
            return false;
        S.StayInBootloader = false;
        S.Target.ResetRun();
        S.TargetMode = PowerUpMode(S);
        Report(KReportChanged, S.VersionFW);
        DropOffAfter(TSimUpdateStage::Reconnect);
        return true;
    });
    targetWrite(KReqEnableSecret, false, true, 8, [](TState& S, TReq R) {
        S.Target.SecretEnabled = Same(R.Data, KServiceCode);
        return S.Target.SecretEnabled;
    });
    targetWrite(KReqSetTargetSerial, false, true, 8, [](TState& S, TReq R) {
        if (!S.Target.SecretEnabled)
            return false;
        std::copy(R.Data.begin(), R.Data.end(), S.Target.Serial.begin());
        return true;
    });
    targetWrite(KReqSetTargetKey, false, true, 8, [](TState& S, TReq R) {
        if (!S.Target.SecretEnabled)
            return false;
        std::copy(R.Data.begin(), R.Data.end(), S.TargetKey.begin());
        return true;
    });
    targetRead(KReqGetTargetKey, true, [](TState& S, TOut A) {
        A.assign(S.TargetKey.begin(), S.TargetKey.end());
        return S.Target.SecretEnabled;
    });
}

bool TSimTargetController::Write(TSimTargetControllerState& S, const TSimVendorRequest& AReq) {
    TSimBootloaderState& T = S.Target;
    const bool counted = T.HaveSynchro;
    if (counted)
        ++T.WritesSinceSynchro;
    if (T.Faults.FailOnce.erase(TSimStubRequest::Write) > 0 ||
        !T.TakeBlock(AReq.wValue, AReq.Data, KTargetBlock))
        return false;
    // The cable comes out right after the block was taken.
    if (counted && T.WritesSinceSynchro == T.Faults.UnplugAtBlock) {
        T.Faults.UnplugAtBlock = 0;
        DropOff();
    }
    if (counted && T.WritesSinceSynchro == S.TargetUnplugAtBlock) {
        S.TargetUnplugAtBlock = 0;
        S.TargetMode = TSimTargetMode::None;
        S.GonePending = true;
        T.ResetRun();
        if (T.Faults.ReplugAfterMs)
            Later(*T.Faults.ReplugAfterMs, &TSimTargetController::PlugTarget);
    }
    return true;
}

bool TSimTargetController::Absent(TSimTargetControllerState& S) {
    if (S.TargetMode != TSimTargetMode::None)
        return false;
    if (S.GonePending) {
        S.GonePending = false;
        Report(KReportGone, S.VersionFW);
    }
    return true;
}

void TSimTargetController::DropOffAfter(TSimUpdateStage AStage) {
    auto& faults = fState->Target.Faults;
    if (faults.UnplugAfter != AStage)
        return;
    faults.UnplugAfter.reset();
    DropOff();
}

void TSimTargetController::DropOff() {
    // Kept alive until it is plugged in again.
    std::shared_ptr<TSimDevice> self = Unit() ? Unit()->Personality() : nullptr;
    const std::optional<uint32_t> replug = fState->Target.Faults.ReplugAfterMs;
    LeaveBusAfterRequest([self, bus = Bus(), replug] {
        if (self && bus && replug)
            bus->PlugAfter(self, *replug);
    });
}

void TSimTargetController::Later(uint32_t AMilliseconds, void (TSimTargetController::*AAction)()) {
    TSimBus* bus = Bus();
    if (!bus || !Unit())
        return;
    bus->RunAfter(
        [unit = std::weak_ptr<TSimPhysicalDevice>(Unit()), AAction] {
            const auto physical = unit.lock();
            if (!physical || physical->Mode() != TSimPhysicalDevice::TMode::Running)
                return;
            if (auto controller = std::dynamic_pointer_cast<TSimTargetController>(physical->Personality()))
                (controller.get()->*AAction)();
        },
        AMilliseconds);
}

void TSimTargetController::Attached(TSimBus& ABus, const std::string& APath) {
    TSimDevice::Attached(ABus, APath);
    std::optional<uint32_t> plugAfter;
    {
        std::lock_guard lock(fState->Mutex);
        TState& S = *fState;
        // Powered up with the controller: a programming run does not survive it.
        S.Target.ResetRun();
        S.TargetStarted = false;
        S.GonePending = false;
        if (S.TargetMode != TSimTargetMode::None)
            S.TargetMode = PowerUpMode(S);
        plugAfter = S.TargetPlugAfterMs;
        S.TargetPlugAfterMs.reset();
    }
    if (plugAfter)
        Later(*plugAfter, &TSimTargetController::PlugTarget);
}

void TSimTargetController::PlugTarget() {
    std::lock_guard lock(fState->Mutex);
    TState& S = *fState;
    if (S.GonePending) {
        S.GonePending = false;
        Report(KReportGone, S.VersionFW);
    }
    S.Target.ResetRun();
    S.TargetMode = PowerUpMode(S);
    Report(KReportChanged, S.VersionFW);
}

void TSimTargetController::PullTarget() {
    std::lock_guard lock(fState->Mutex);
    fState->TargetMode = TSimTargetMode::None;
    fState->Target.ResetRun();
    Report(KReportGone, fState->VersionFW);
}

void TSimTargetController::Report(uint8_t AReport, uint16_t AFirmware) {
    if (!IsAttached())
        return;
    if (AFirmware >= KFirmwareReportsAsData && DriverKind() == TUsbDriverKind::Generic)
        PushData({AReport});
    else
        PushEvent({AReport});
}
