#include "sim/SimWirelessController.h"

#include "platform/LittleEndian.h"
#include "sim/DemoKeys.h"
#include "sim/SimBootloader.h"
#include "sim/SimBus.h"
#include "sim/SimGost.h"
#include "sim/SimPhysicalDevice.h"

#include <algorithm>
#include <map>
#include <utility>

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
constexpr uint8_t KReqStubVersion = 0xFE;
constexpr uint8_t KReqSwitchToStub = 0xFF;
// How long the controller tries a target that does not answer before it fails the command.
constexpr std::chrono::milliseconds KUnansweredRadioWait{20};

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

constexpr uint16_t KProductStandard = 12;
constexpr uint16_t KProductBlinker = 15;
constexpr uint16_t KProductBiathlon = 18;
constexpr uint16_t KProductRapidFire = 20;

// Offsets in a target's properties block.
enum : std::size_t { KFreq1, KFreq2, KSig1, KSig2, KLeds1, KLeds2, KStarted, KRcvPower, KRcvEnabled, KSync };

// The parameter bytes the firmware of T takes with request ACode; none when its model or version
// lacks the request. The blinker has lamps of its own: no LEDs, receiver, signal or frequencies.
std::optional<std::size_t> FirmwareParams(const TSimRadioTarget& T, uint8_t ACode) {
    const bool blinker = T.ProductId == KProductBlinker;
    const bool biathlon = T.ProductId == KProductBiathlon;
    const bool rapidFire = T.ProductId == KProductRapidFire;
    const bool ledsLevel = T.VersionHW >= 3 || biathlon || rapidFire;
    const bool lampsLevel = T.VersionHW >= 3 || rapidFire;
    const bool capabilities = T.ProductId == KProductStandard && T.VersionFW >= 7;
    auto when = [](bool AHas, std::size_t AParams) { return AHas ? std::optional(AParams) : std::nullopt; };
    switch (ACode) {
    case 0x12: // switch off
    case 0x21: // properties
    case 0xF0: // restart into the bootloader
        return 0;
    case 0x22:
        return blinker ? 8 : 10;
    case 0x30: // the blinker blinks; a target sets its green LEDs
        return blinker ? 0 : 1;
    case 0x61: // lock and unlock with the key
    case 0x62:
        return 8;
    case 0x10: // start, stop, start without and with the receiver
    case 0x11:
    case 0x15:
    case 0x16:
        return when(!blinker, 0);
    case 0x23: // receiver on, sync, red LEDs
    case 0x24:
    case 0x31:
        return when(!blinker, 1);
    case 0x32: // both LED masks, frequency codes, signal levels
    case 0x40:
    case 0x50:
        return when(!blinker, 2);
    case 0x17: // radio address
        return when(!blinker && T.VersionHW >= 6, 1);
    case 0x25: // IR LEDs
        return when(biathlon || rapidFire, 1);
    case 0x26: // biathlon or rapid-fire properties
        return when(biathlon || rapidFire, 0);
    case 0x27: // biathlon flag
        return when(biathlon, 1);
    case 0x28: // receiver mode
        return when(biathlon && T.VersionHW >= 2, 1);
    case 0x29:
        return when(biathlon && T.VersionHW >= 2, 0);
    case 0x33: // LED brightness
        return when(ledsLevel, 1);
    case 0x71: // brightness query (the LED level)
        return when(ledsLevel, 0);
    case 0x34: // lamp brightness
        return when(lampsLevel, 1);
    case 0x72: // capabilities
        return when(capabilities, 0);
    case 0x73:
        return when(capabilities, 8);
    default:
        return std::nullopt;
    }
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

TSimRadioReport TSimWirelessState::RadioReport() {
    std::lock_guard lock(Mutex);
    TSimRadioReport report;
    report.PowerOn = PowerOn;
    report.PowerOffRequests = PowerOffRequests;
    for (const auto& target : Targets) {
        const bool valid = target.FlashValid;
        report.Targets.push_back({target.Index, target.Stub, !target.Silent, target.ProductId,
                                  target.VersionHW, valid ? target.VersionFW : KNoFirmware, target.Serial,
                                  valid});
    }
    for (const auto& sensor : Sensors)
        report.Sensors.push_back(sensor.Report());
    return report;
}

TSimWirelessController::TSimWirelessController(std::shared_ptr<TSimWirelessState> AState,
                                               TUsbDriverKind ADriver)
    : TSimDevice({AState->ProductId, SIM_VENDOR_ID, 0x0110, 0x0100, 16}, ADriver, "wireless"),
      fState(std::move(AState)), fSensorStream(std::make_unique<TSimRadioSensorStream>(
                                     fState, [this](const std::vector<uint8_t>& APacket) {
                                         if (IsAttached())
                                             PushRaw(APacket);
                                     })) {
    using TState = TSimWirelessState;
    using TReq = const TSimVendorRequest&;
    using TOut = std::vector<uint8_t>&;
    const bool newChip = fState->ProductId == 0x22;
    {
        // A target with firmware holds a valid image of it, which its bootloader can validate.
        std::lock_guard lock(fState->Mutex);
        for (auto& target : fState->Targets)
            if (target.FlashValid && target.Flash.empty())
                target.Flash = SimPlainImage(target.ProductId, target.VersionHW, target.VersionFW,
                                             SimProcessorOf(target.ProductId, target.VersionHW));
    }

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
    OnRead(KReqStubVersion, fState, [](TState& S, TOut A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
        return true;
    });
    SetVendorHandler(KReqSwitchToStub, [this](TReq R, TOut) {
        if (R.DeviceToHost() || !R.Data.empty())
            return false;
        SwitchToBootloaderAfterRequest();
        return true;
    });
    // What the command did to the radio is pushed after the lock is released. A target out of
    // reach costs the controller its radio retries before it gives up.
    SetVendorHandler(KReqTargetCmd, [this](TReq R, TOut) {
        if (R.DeviceToHost())
            return false;
        TEffect effect;
        bool ok;
        bool unanswered;
        {
            std::lock_guard lock(fState->Mutex);
            fState->LastCommandIndex = R.wIndex;
            fState->LastCommandTimeout = R.wValue;
            fState->LastCommand = R.Data;
            ok = Command(*fState, R.wIndex, R.Data, effect);
            const TSimRadioTarget* target = fState->TargetAt(R.wIndex);
            unanswered = !target || target->Silent;
        }
        if (!ok && unanswered)
            std::this_thread::sleep_for(KUnansweredRadioWait);
        ApplyEffect(R.wIndex, effect);
        return ok;
    });
    // A target whose fault fires after its answer was read goes out of reach once it is read.
    SetVendorHandler(KReqTargetAnswer, [this](TReq R, TOut A) {
        if (!R.DeviceToHost())
            return false;
        TEffect effect;
        {
            std::lock_guard lock(fState->Mutex);
            TSimRadioTarget* target = fState->TargetAt(R.wIndex);
            if (!target || target->Silent)
                return false;
            A = fState->LastAnswer;
            if (std::exchange(target->SilentPending, false))
                GoSilent(*target, effect);
        }
        ApplyEffect(R.wIndex, effect);
        return true;
    });
}

void TSimWirelessController::ApplyEffect(uint16_t AIndex, const TEffect& AEffect) {
    if (AEffect.Restarted)
        PushRestart(uint8_t(AIndex));
    else if (AEffect.Changed || AEffect.WentSilent)
        PushStatus();
    if (AEffect.WentSilent) {
        std::optional<uint32_t> back;
        {
            std::lock_guard lock(fState->Mutex);
            if (TSimRadioTarget* target = fState->TargetAt(AIndex))
                back = std::exchange(target->BackAfterMs, std::nullopt);
        }
        if (back)
            After(*back, [this, index = uint8_t(AIndex)] { Revive(index); });
    }
    if (AEffect.Unplug) {
        std::optional<uint32_t> replug;
        {
            std::lock_guard lock(fState->Mutex);
            replug = fState->UnplugReplugAfterMs;
        }
        LeaveBusAfterRequest([this, replug, bus = Bus()] {
            if (replug && bus && Unit())
                bus->PlugAfter(Unit()->Personality(), *replug);
        });
    }
}
TSimWirelessController::~TSimWirelessController() {
    fSensorStream.reset();
    {
        std::lock_guard lock(fTimerMutex);
        fStopping = true;
    }
    fTimerWake.notify_all();
    if (fTimer.joinable())
        fTimer.join();
}

void TSimWirelessController::Attached(TSimBus& ABus, const std::string& APath) {
    TSimDevice::Attached(ABus, APath);
    {
        std::lock_guard lock(fTimerMutex);
        if (fStarted)
            return;
        fStarted = true;
        fTimer = std::thread([this] { TimerLoop(); });
    }
    fSensorStream->Start();
    std::vector<std::pair<uint8_t, uint32_t>> late;
    {
        std::lock_guard lock(fState->Mutex);
        for (auto& target : fState->Targets)
            if (target.AppearAfterMs) {
                late.emplace_back(target.Index, std::exchange(target.AppearAfterMs, 0));
                target.Silent = true;
            }
    }
    for (const auto& [index, ms] : late)
        After(ms, [this, index = index] {
            {
                std::lock_guard lock(fState->Mutex);
                if (TSimRadioTarget* target = fState->TargetAt(index))
                    target->Silent = false;
            }
            PushStatus();
        });
}

void TSimWirelessController::After(uint32_t AAfterMs, std::function<void()> AAction) {
    {
        std::lock_guard lock(fTimerMutex);
        fTimers.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(AAfterMs),
                             std::move(AAction));
    }
    fTimerWake.notify_all();
}

void TSimWirelessController::TimerLoop() {
    std::unique_lock lock(fTimerMutex);
    while (!fStopping) {
        if (fTimers.empty()) {
            fTimerWake.wait(lock);
            continue;
        }
        auto next = std::min_element(fTimers.begin(), fTimers.end(),
                                     [](const auto& A, const auto& B) { return A.first < B.first; });
        if (std::chrono::steady_clock::now() < next->first) {
            fTimerWake.wait_until(lock, next->first);
            continue;
        }
        auto action = std::move(next->second);
        fTimers.erase(next);
        fTimerRunning = true;
        lock.unlock();
        action();
        lock.lock();
        fTimerRunning = false;
    }
}

bool TSimWirelessController::HasPendingTimers() const {
    std::lock_guard lock(fTimerMutex);
    return !fTimers.empty() || fTimerRunning;
}

void TSimWirelessController::GoSilent(TSimRadioTarget& T, TEffect& AEffect) {
    T.Silent = true;
    AEffect.WentSilent = true;
}

void TSimWirelessController::SilentAfter(TSimRadioTarget& T, TSimUpdateStage AStage, TEffect& AEffect) {
    if (T.SilentAfter != AStage)
        return;
    T.SilentAfter.reset();
    // The switch and the restart answer nothing; the other stages go silent once their answer
    // was read.
    if (AStage == TSimUpdateStage::Switch || AStage == TSimUpdateStage::Reconnect)
        GoSilent(T, AEffect);
    else
        T.SilentPending = true;
}

bool TSimWirelessController::Command(TSimWirelessState& S, uint16_t AIndex, const std::vector<uint8_t>& ACmd,
                                     TEffect& AEffect) {
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
        ok = FirmwareCommand(*target, ACmd, answer, AEffect);
    } else {
        if (code == 0x61 && S.UnplugAtTargetBlock && ++S.TargetBlocksForwarded == S.UnplugAtTargetBlock) {
            S.UnplugAtTargetBlock = 0;
            AEffect.Unplug = true;
        }
        ok = BootloaderCommand(*target, ACmd, answer, AEffect);
    }
    if (ok)
        S.LastAnswer = answer;
    return ok;
}

// The firmware takes the requests of its model and version at their exact length, answers what it
// reports and keeps what it is told; a request it lacks fails.
bool TSimWirelessController::FirmwareCommand(TSimRadioTarget& T, const std::vector<uint8_t>& ACmd,
                                             std::vector<uint8_t>& AAnswer, TEffect& AEffect) {
    const auto params = FirmwareParams(T, ACmd[0]);
    if (!params || ACmd.size() != 1 + *params)
        return false;
    const uint8_t* p = ACmd.data() + 1;
    auto& props = T.Properties;
    switch (ACmd[0]) {
    case 0x10:
    case 0x11:
        props[KStarted] = ACmd[0] == 0x10;
        break;
    case 0x12: // the blinker goes dark; a target switches its LEDs off and stops
        if (T.ProductId != KProductBlinker)
            props[KLeds1] = props[KLeds2] = props[KStarted] = 0;
        break;
    case 0x15:
    case 0x16:
        props[KStarted] = 1;
        props[KRcvEnabled] = ACmd[0] == 0x16;
        break;
    case 0x17:
        if (p[0] < 1 || p[0] > 31)
            return false;
        T.Address = p[0];
        break;
    case 0x21:
        if (T.ProductId == KProductBlinker)
            AAnswer.assign(T.BlinkerProperties.begin(), T.BlinkerProperties.end());
        else
            AAnswer.assign(props.begin(), props.end());
        break;
    case 0x22:
        if (T.ProductId == KProductBlinker)
            std::copy_n(p, T.BlinkerProperties.size(), T.BlinkerProperties.begin());
        else
            std::copy_n(p, props.size(), props.begin());
        break;
    case 0x23:
        props[KRcvEnabled] = p[0];
        break;
    case 0x24:
        props[KSync] = p[0];
        break;
    case 0x25:
        T.IReds = p[0];
        break;
    case 0x26:
        if (T.ProductId == KProductRapidFire)
            AAnswer = {T.IReds, T.LampStatus, T.LedsBrightness, T.LampsBrightness};
        else
            AAnswer = {T.IReds, T.Flag, T.LedsBrightness};
        break;
    case 0x27:
        T.Flag = p[0];
        break;
    case 0x28:
        T.ReceiverMode = p[0];
        break;
    case 0x29:
        AAnswer = {T.ReceiverMode};
        break;
    case 0x30:
        if (T.ProductId == KProductBlinker)
            ++T.Blinks;
        else
            props[KLeds1] = p[0];
        break;
    case 0x31:
        props[KLeds2] = p[0];
        break;
    case 0x32:
        props[KLeds1] = p[0];
        props[KLeds2] = p[1];
        break;
    case 0x33:
        T.LedsBrightness = p[0];
        break;
    case 0x34:
        T.LampsBrightness = p[0];
        break;
    case 0x40: // the modulation frequency codes, in units of 100 Hz
        props[KFreq1] = p[0];
        props[KFreq2] = p[1];
        SensorsSeeFrequencies(T.Index, p[0], p[1]);
        break;
    case 0x50:
        props[KSig1] = p[0];
        props[KSig2] = p[1];
        break;
    case 0x61: // lock and unlock with the target's key
    case 0x62:
        if (!std::equal(T.Key.begin(), T.Key.end(), p))
            return false;
        T.Locked = ACmd[0] == 0x61;
        break;
    case 0x71:
        AAnswer = {T.LedsBrightness};
        break;
    case 0x72:
        AAnswer.assign(T.Capabilities.begin(), T.Capabilities.end());
        break;
    case 0x73:
        std::copy_n(p, T.Capabilities.size(), T.Capabilities.begin());
        break;
    case 0xF0: // restart into the bootloader
        T.Stub = true;
        T.Erased = T.HaveSynchro = T.SecretOps = false;
        AEffect.Restarted = true;
        SilentAfter(T, TSimUpdateStage::Switch, AEffect);
        break;
    }
    return true;
}

void TSimWirelessController::SensorsSeeFrequencies(uint8_t AIndex, uint8_t ACode1, uint8_t ACode2) {
    bool seen = false;
    for (auto& sensor : fState->Sensors)
        if (sensor.TargetIndex() == AIndex) {
            sensor.SeeFrequencies(ACode1, ACode2);
            seen = true;
        }
    if (seen)
        fSensorStream->Wake();
}

bool TSimWirelessController::BootloaderCommand(TSimRadioTarget& T, const std::vector<uint8_t>& ACmd,
                                               std::vector<uint8_t>& AAnswer, TEffect& AEffect) {
    static const std::map<uint8_t, TSimStubRequest> named = {
        {0x60, TSimStubRequest::Erase},     {0x65, TSimStubRequest::Synchro},
        {0x61, TSimStubRequest::Write},     {0x63, TSimStubRequest::Validate},
        {0x62, TSimStubRequest::Reconnect}, {0x64, TSimStubRequest::HwInfo},
        {0x66, TSimStubRequest::Serial}};
    if (const auto it = named.find(ACmd[0]); it != named.end() && T.FailOnce.erase(it->second))
        return false;
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
        SilentAfter(T, TSimUpdateStage::Erase, AEffect);
        return okByte(true);
    case 0x65: // synchronisation block, on erased flash before the first block
        if (ACmd.size() != 9 || !T.Erased || T.NextAddress != 0)
            return okByte(false);
        std::copy(ACmd.begin() + 1, ACmd.end(), T.Chain.begin());
        T.HaveSynchro = true;
        T.BlocksAccepted = 0;
        SilentAfter(T, TSimUpdateStage::Synchro, AEffect);
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
            T.SilentPending = true;
        }
        return okByte(true);
    }
    case 0x63: // validation of what the flash holds: the authentication code and this target's product
        T.FlashValid = T.Flash.size() == SIM_IMAGE_SIZE && SimImageAuthentic(T.Flash) &&
                       ImageWord(T.Flash, SIM_IMAGE_PRODUCT_ID) == T.ProductId;
        if (T.FlashValid)
            T.VersionFW = ImageWord(T.Flash, SIM_IMAGE_FIRMWARE_VERSION);
        T.HaveSynchro = false;
        SilentAfter(T, TSimUpdateStage::Validate, AEffect);
        return okByte(T.FlashValid);
    case 0x62: // reconnect: the firmware starts when the flash holds a valid image
        if (T.FlashValid) {
            T.Stub = T.SecretOps = false;
            AEffect.Restarted = true;
        }
        SilentAfter(T, TSimUpdateStage::Reconnect, AEffect);
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
    case 0x67: // serial number write, a factory command
    case 0x68: // key write, a factory command
        if (ACmd.size() != 9 || !T.SecretOps)
            return okByte(false);
        std::copy(ACmd.begin() + 1, ACmd.end(), (ACmd[0] == 0x67 ? T.Serial : T.Key).begin());
        return okByte(true);
    case 0x69: // the factory secret
        T.SecretOps =
            ACmd.size() == 9 && std::equal(ACmd.begin() + 1, ACmd.end(), SIM_RADIO_FACTORY_SECRET.begin());
        return okByte(T.SecretOps);
    case 0x6A: // key read: no answer without the factory secret
        if (!T.SecretOps)
            return false;
        AAnswer.assign(T.Key.begin(), T.Key.end());
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

void TSimWirelessController::PushRestart(uint8_t AIndex) {
    std::vector<uint8_t> packet = {18, KPacketStatus};
    {
        std::lock_guard lock(fState->Mutex);
        const auto table = fState->StatusTable();
        packet.insert(packet.end(), table.begin(), table.end());
    }
    if (AIndex >= 1 && AIndex <= 16)
        packet[1u + AIndex] = 0;
    PushRaw(packet);
    PushStatus();
}

void TSimWirelessController::Revive(uint8_t AIndex) {
    {
        std::lock_guard lock(fState->Mutex);
        TSimRadioTarget* target = fState->TargetAt(AIndex);
        if (!target)
            return;
        target->Silent = false;
        target->Stub = true;
        target->Erased = target->HaveSynchro = target->SecretOps = false;
    }
    PushStatus();
}
