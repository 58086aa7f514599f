#include "sim/SimTargetController.h"

#include "platform/LittleEndian.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <algorithm>

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
    // Every request under the state lock; false stalls.
    auto handle = [this](uint8_t ARequest, auto AAnswer) {
        SetVendorHandler(ARequest,
                         [this, AAnswer](const TSimVendorRequest& AReq, std::vector<uint8_t>& AOut) {
                             std::lock_guard lock(fState->Mutex);
                             return AAnswer(*fState, AReq, AOut);
                         });
    };
    // A command to the target: only while it is there, in one of the modes that take it.
    auto target = [this, handle](uint8_t ARequest, bool ANormal, bool ABootloader, auto AAnswer) {
        handle(ARequest, [this, ANormal, ABootloader, AAnswer](TState& S, const TSimVendorRequest& R,
                                                               std::vector<uint8_t>& A) {
            if (Absent(S))
                return false;
            const bool takes = S.TargetMode == TSimTargetMode::Normal ? ANormal : ABootloader;
            return takes && AAnswer(S, R, A);
        });
    };
    using TReq = const TSimVendorRequest&;
    using TOut = std::vector<uint8_t>&;
    auto none = [](TReq R) { return !R.DeviceToHost() && R.Data.empty(); };
    auto eight = [](TReq R) { return !R.DeviceToHost() && R.Data.size() == 8; };

    // --- The controller ---
    handle(KReqSerial, [](TState& S, TReq R, TOut A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return R.DeviceToHost();
    });
    handle(KReqVersion, [](TState& S, TReq R, TOut A) {
        A.resize(4);
        PutLE16(&A[0], S.VersionFW);
        PutLE16(&A[2], S.VersionHW);
        return R.DeviceToHost();
    });
    handle(KReqLocked, [](TState& S, TReq R, TOut A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return R.DeviceToHost();
    });
    handle(KReqLock, [none](TState& S, TReq R, TOut) {
        if (!none(R))
            return false;
        S.Locked = true;
        return true;
    });
    // A wrong key leaves the lock as it is.
    handle(KReqEnable, [eight](TState& S, TReq R, TOut) {
        if (!eight(R) || !Same(R.Data, S.Key))
            return false;
        S.Locked = false;
        return true;
    });
    handle(KReqStubVersion, [](TState& S, TReq R, TOut A) {
        A.resize(4);
        PutLE16(&A[0], S.StubActual);
        PutLE16(&A[2], S.StubUpdate);
        return R.DeviceToHost();
    });
    handle(KReqFrameInfo, [](TState& S, TReq R, TOut A) {
        A.assign(16, 0);
        A[0] = ModeByte(S.TargetMode);
        if (S.TargetMode != TSimTargetMode::None) {
            A[1] = S.SinTableIndex;
            PutLE16(&A[2], S.Target.ProductId);
            PutLE16(&A[4], S.DataSize);
            PutLE16(&A[6], S.TargetFirmwareVersion());
            std::copy(S.Target.Serial.begin(), S.Target.Serial.end(), A.begin() + 8);
        }
        return R.DeviceToHost();
    });
    SetVendorHandler(KReqSwitchToStub, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        if (AReq.DeviceToHost() || !AReq.Data.empty())
            return false;
        SwitchToBootloaderAfterRequest();
        return true;
    });

    // --- The target in either mode ---
    target(KReqLEDsBasic, true, true, [none](TState&, TReq R, TOut) { return none(R); });
    target(KReqLEDsGroup, true, true, [none](TState&, TReq R, TOut) { return none(R); });
    target(KReqLEDState, true, true, [none](TState&, TReq R, TOut) { return none(R); });

    // --- The target running its firmware ---
    target(KReqStart, true, false, [none](TState& S, TReq R, TOut) {
        if (!none(R))
            return false;
        S.TargetStarted = true;
        return true;
    });
    target(KReqStop, true, false, [none](TState& S, TReq R, TOut) {
        if (!none(R))
            return false;
        S.TargetStarted = false;
        return true;
    });
    target(KReqSetSinTable, true, false, [none](TState& S, TReq R, TOut) {
        if (!none(R) || R.wValue > 1)
            return false;
        S.SinTableIndex = uint8_t(R.wValue);
        return true;
    });
    target(KReqGetSinTable, true, false, [](TState& S, TReq R, TOut A) {
        A = {S.SinTableIndex};
        return R.DeviceToHost();
    });
    target(KReqSignalLevels, true, false, [none](TState& S, TReq R, TOut) {
        if (!none(R))
            return false;
        S.SignalLevel1 = R.wValue;
        S.SignalLevel2 = R.wIndex;
        return true;
    });
    target(KReqEnableTarget, true, false, [eight](TState& S, TReq R, TOut) {
        if (!eight(R) || !Same(R.Data, S.TargetKey))
            return false;
        S.TargetLocked = false;
        return true;
    });
    target(KReqSwitchTargetToStub, true, false, [this, none](TState& S, TReq R, TOut) {
        if (!none(R))
            return false;
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
    target(KReqErase, false, true, [this, none, fails](TState& S, TReq R, TOut) {
        if (!none(R) || fails(S, TSimStubRequest::Erase))
            return false;
        S.Target.EraseFlash();
        DropOffAfter(TSimUpdateStage::Erase);
        return true;
    });
    target(KReqSynchro, false, true, [this, eight, fails](TState& S, TReq R, TOut) {
        if (!eight(R) || fails(S, TSimStubRequest::Synchro) || !S.Target.TakeSynchro(R.Data))
            return false;
        DropOffAfter(TSimUpdateStage::Synchro);
        return true;
    });
    target(KReqWrite, false, true, [this](TState& S, TReq R, TOut) { return Write(S, R); });
    // Authentic, and built for this target's product.
    target(KReqValidate, false, true, [this, none, fails](TState& S, TReq R, TOut) {
        if (!none(R) || fails(S, TSimStubRequest::Validate))
            return false;
        S.Target.FlashValid = S.Target.ValidateFlash() && S.Target.FlashProductId() == S.Target.ProductId;
        DropOffAfter(TSimUpdateStage::Validate);
        return S.Target.FlashValid;
    });
    // The target restarts: into its firmware when the flash holds a valid image.
    target(KReqReconnectTarget, false, true, [this, none, fails](TState& S, TReq R, TOut) {
        if (!none(R) || fails(S, TSimStubRequest::Reconnect))
            return false;
        S.StayInBootloader = false;
        S.Target.ResetRun();
        S.TargetMode = PowerUpMode(S);
        Report(KReportChanged, S.VersionFW);
        DropOffAfter(TSimUpdateStage::Reconnect);
        return true;
    });
    target(KReqEnableSecret, false, true, [eight](TState& S, TReq R, TOut) {
        S.Target.SecretEnabled = eight(R) && Same(R.Data, KServiceCode);
        return S.Target.SecretEnabled;
    });
    target(KReqSetTargetSerial, false, true, [eight](TState& S, TReq R, TOut) {
        if (!eight(R) || !S.Target.SecretEnabled)
            return false;
        std::copy(R.Data.begin(), R.Data.end(), S.Target.Serial.begin());
        return true;
    });
    target(KReqSetTargetKey, false, true, [eight](TState& S, TReq R, TOut) {
        if (!eight(R) || !S.Target.SecretEnabled)
            return false;
        std::copy(R.Data.begin(), R.Data.end(), S.TargetKey.begin());
        return true;
    });
    target(KReqGetTargetKey, false, true, [](TState& S, TReq R, TOut A) {
        A.assign(S.TargetKey.begin(), S.TargetKey.end());
        return R.DeviceToHost() && S.Target.SecretEnabled;
    });
}

bool TSimTargetController::Write(TSimTargetControllerState& S, const TSimVendorRequest& AReq) {
    if (AReq.DeviceToHost() || AReq.Data.size() != KTargetBlock)
        return false;
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
