#include "sim/SimBootloader.h"

#include "platform/LittleEndian.h"

#include "sim/DemoKeys.h"
#include "sim/SimGost.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint8_t KReqErase = 0x80;
constexpr uint8_t KReqWrite = 0x81;
constexpr uint8_t KReqReconnect = 0x82;
constexpr uint8_t KReqValidate = 0x83;
constexpr uint8_t KReqHardwareInfo = 0x84;
constexpr uint8_t KReqSynchro = 0x85;
constexpr uint8_t KReqSerial = 0x86;
constexpr uint8_t KReqSetSerial = 0x87;
constexpr uint8_t KReqSetKey = 0x88;
constexpr uint8_t KReqEnableSecret = 0x89;
constexpr uint8_t KReqGetKey = 0x8A;
constexpr uint8_t KReqStubVersion = 0x8B;
constexpr uint8_t KReqFirmwareVersion = 0x8C;
constexpr uint8_t KReqIsFuseLocked = 0x8D;
constexpr uint8_t KReqLockFuse = 0x8E;

// The first bootloader version that answers the version request, and the first with the fuse.
constexpr uint16_t KStubAnswersVersion = 2;
constexpr uint16_t KStubWithFuse = 3;
constexpr uint16_t KPresent = 0xA55A;
constexpr std::size_t KMarkerOffset = 0x40;
constexpr std::size_t KProgramSize = 0x3000;

const TSimGost& DemoCipher() {
    static const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    return cipher;
}

} // namespace

bool SimImageAuthentic(const std::vector<uint8_t>& AImage) {
    if (AImage.size() != SIM_IMAGE_SIZE)
        return false;
    uint8_t mac[8];
    DemoCipher().Mac(AImage.data(), SIM_IMAGE_MAC, mac);
    return std::equal(mac, mac + 8, AImage.begin() + SIM_IMAGE_MAC);
}

std::vector<uint8_t> SimPlainImage(uint16_t AProductId, uint16_t AVersionHW, uint16_t AVersionFW,
                                   uint16_t AProcessorId) {
    std::vector<uint8_t> image(SIM_IMAGE_SIZE, 0xFF);
    // A stand-in program that differs between products and versions.
    uint32_t x = 0x9E3779B9u ^ (uint32_t(AProductId) << 16 | AVersionFW);
    for (std::size_t i = 0; i < KProgramSize; ++i) {
        x = x * 1664525u + 1013904223u;
        image[i] = uint8_t(x >> 24);
    }
    char marker[64];
    const int length = std::snprintf(marker, sizeof marker, "@FWID@P%X&H%X&F%X&CMSP430F%u", AProductId,
                                     AVersionHW, AVersionFW, unsigned(AProcessorId));
    std::copy(marker, marker + length + 1, image.begin() + KMarkerOffset);
    PutLE16(image.data() + SIM_IMAGE_SECURITY_LEVEL, 0);
    PutLE16(image.data() + SIM_IMAGE_FIRMWARE_VERSION, AVersionFW);
    PutLE16(image.data() + SIM_IMAGE_PRODUCT_ID, AProductId);
    PutLE16(image.data() + SIM_IMAGE_PRESENCE_FLAG, KPresent);
    DemoCipher().Mac(image.data(), SIM_IMAGE_MAC, image.data() + SIM_IMAGE_MAC);
    return image;
}

uint16_t SimProcessorOf(uint16_t AProductId, uint16_t AVersionHW) {
    struct TRow {
        uint16_t ProductId, VersionHW, Processor;
    };
    // The first row that matches wins; hardware 0 matches any board of that product.
    static const TRow rows[] = {{2, 2, 147},  {5, 2, 147},   {5, 3, 235},   {5, 4, 5508},  {6, 0, 167},
                                {10, 0, 167}, {11, 0, 167},  {12, 1, 1611}, {12, 0, 2617}, {14, 2, 147},
                                {14, 3, 235}, {18, 0, 2617}, {19, 0, 235},  {23, 0, 235},  {32, 2, 147},
                                {32, 3, 235}, {34, 0, 5508}, {35, 0, 5522}, {48, 0, 5528}, {0x1F01, 0, 5528}};
    for (const TRow& row : rows)
        if (row.ProductId == AProductId && (row.VersionHW == 0 || row.VersionHW == AVersionHW))
            return row.Processor;
    for (const TRow& row : rows)
        if (row.ProductId == AProductId)
            return row.Processor;
    return 147;
}

void TSimBootloaderState::ResetRun() {
    Erased = false;
    HaveSynchro = false;
    NextAddress = 0;
    Partial.clear();
    WritesSinceSynchro = 0;
    LeaveRequested = false;
    SecretEnabled = false;
}

void TSimBootloaderState::EraseFlash() {
    std::fill(Flash.begin(), Flash.end(), uint8_t(0xFF));
    FlashValid = false;
    Erased = true;
    HaveSynchro = false;
    NextAddress = 0;
    Partial.clear();
    ++Erases;
}

bool TSimBootloaderState::TakeSynchro(const std::vector<uint8_t>& ABlock) {
    // Only on erased flash, before the first block.
    if (!Erased || NextAddress != 0 || ABlock.size() != Chain.size()) {
        ++Refused;
        return false;
    }
    std::copy(ABlock.begin(), ABlock.end(), Chain.begin());
    HaveSynchro = true;
    WritesSinceSynchro = 0;
    return true;
}

bool TSimBootloaderState::TakeBlock(uint32_t AAddress, const std::vector<uint8_t>& AData,
                                    std::size_t AMaxBlock) {
    const std::size_t size = AData.size();
    // Blocks strictly in order, after the erase and the synchronisation block, within the image.
    if (!Erased || !HaveSynchro || AAddress != NextAddress || size == 0 || size > AMaxBlock ||
        NextAddress + size > SIM_IMAGE_SIZE) {
        ++Refused;
        return false;
    }
    std::size_t done = NextAddress - Partial.size();
    Partial.insert(Partial.end(), AData.begin(), AData.end());
    NextAddress += uint32_t(size);
    const std::size_t whole = Partial.size() / 8 * 8;
    DemoCipher().Decipher(Partial.data(), Flash.data() + done, whole, Chain.data());
    Partial.erase(Partial.begin(), Partial.begin() + std::ptrdiff_t(whole));
    ++BlocksAccepted;
    return true;
}

bool TSimBootloaderState::ValidateFlash() {
    // A run that was started must have been finished; the code must match the memory.
    const bool complete = !Erased || (HaveSynchro && NextAddress == SIM_IMAGE_SIZE && Partial.empty());
    FlashValid = complete && SimImageAuthentic(Flash);
    return FlashValid;
}

uint16_t TSimBootloaderState::FlashFirmwareVersion() const {
    return FlashValid ? GetLE16(Flash.data() + SIM_IMAGE_FIRMWARE_VERSION) : 0xFFFF;
}

uint16_t TSimBootloaderState::FlashProductId() const {
    return FlashValid ? GetLE16(Flash.data() + SIM_IMAGE_PRODUCT_ID) : 0xFFFF;
}

TSimBootloader::TSimBootloader(std::shared_ptr<TSimBootloaderState> AState, TUsbDriverKind ADriver,
                               THooks AHooks)
    : TSimDevice({AState->ProductId, SIM_VENDOR_ID, 0x0200, 0x0100, 64, SIM_SUBCLASS_BOOTLOADER}, ADriver,
                 "usb_stub"),
      fState(std::move(AState)), fHooks(std::move(AHooks)) {
    using TState = TSimBootloaderState;

    // --- Programming run ---
    OnWrite(KReqErase, fState, 0, [this](TState& S, const TSimVendorRequest&) {
        if (FailsNow(TSimStubRequest::Erase))
            return false;
        S.EraseFlash();
        if (fHooks.Erased)
            fHooks.Erased();
        DropOffAfter(TSimUpdateStage::Erase);
        return true;
    });
    OnWrite(KReqSynchro, fState, 8, [this](TState& S, const TSimVendorRequest& AReq) {
        if (FailsNow(TSimStubRequest::Synchro))
            return false;
        if (!S.TakeSynchro(AReq.Data))
            return false;
        DropOffAfter(TSimUpdateStage::Synchro);
        return true;
    });
    SetVendorHandler(KReqWrite, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        std::lock_guard lock(fState->Mutex);
        return Write(AReq);
    });
    OnWrite(KReqValidate, fState, 0, [this](TState& S, const TSimVendorRequest&) {
        if (FailsNow(TSimStubRequest::Validate))
            return false;
        const bool valid = S.ValidateFlash();
        DropOffAfter(TSimUpdateStage::Validate);
        return valid;
    });
    OnWrite(KReqReconnect, fState, 0, [this](TState& S, const TSimVendorRequest&) {
        if (FailsNow(TSimStubRequest::Reconnect))
            return false;
        S.LeaveRequested = true;
        const bool dropOff = S.Faults.UnplugAfter == TSimUpdateStage::Reconnect;
        if (dropOff)
            S.Faults.UnplugAfter.reset();
        // The owner decides what comes back (the firmware when the flash holds a valid image).
        LeaveThen(dropOff ? fHooks.DroppedOff : fHooks.Reconnect);
        return true;
    });

    // --- Identity ---
    OnRead(KReqHardwareInfo, fState, [this](TState& S, std::vector<uint8_t>& A) {
        if (FailsNow(TSimStubRequest::HwInfo))
            return false;
        AppendLE16(A, S.ProductId);
        AppendLE16(A, S.ProcessorId);
        AppendLE16(A, S.CodeStartAddr);
        AppendLE16(A, S.HardwareAnswer.value_or(S.VersionHW));
        A.insert(A.end(), S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqSerial, fState, [](TState& S, std::vector<uint8_t>& A) {
        // A broken serial-number read stays broken until the bootloader re-enumerates.
        if (S.Faults.FailOnce.count(TSimStubRequest::Serial))
            return false;
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    OnRead(KReqStubVersion, fState, [](TState& S, std::vector<uint8_t>& A) {
        if (S.StubVersion < KStubAnswersVersion)
            return false;
        AppendLE16(A, S.StubVersion);
        return true;
    });
    OnRead(KReqFirmwareVersion, fState, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.FlashFirmwareVersion());
        return true;
    });

    // --- Service operations: only after the service key was given ---
    OnWrite(KReqEnableSecret, fState, 8, [](TState& S, const TSimVendorRequest& AReq) {
        S.SecretEnabled = std::equal(AReq.Data.begin(), AReq.Data.end(), SIM_STUB_SERVICE_KEY.begin());
        return S.SecretEnabled;
    });
    OnWrite(KReqSetSerial, fState, 8, [](TState& S, const TSimVendorRequest& AReq) {
        if (!S.SecretEnabled)
            return false;
        std::copy(AReq.Data.begin(), AReq.Data.end(), S.Serial.begin());
        return true;
    });
    OnWrite(KReqSetKey, fState, 8, [](TState& S, const TSimVendorRequest& AReq) {
        if (!S.SecretEnabled)
            return false;
        std::copy(AReq.Data.begin(), AReq.Data.end(), S.Key.begin());
        return true;
    });
    OnRead(KReqGetKey, fState, [](TState& S, std::vector<uint8_t>& A) {
        if (!S.SecretEnabled)
            return false;
        A.assign(S.Key.begin(), S.Key.end());
        return true;
    });
    OnRead(KReqIsFuseLocked, fState, [](TState& S, std::vector<uint8_t>& A) {
        if (S.StubVersion < KStubWithFuse)
            return false;
        A = {uint8_t(S.FuseLocked ? 1 : 0)};
        return true;
    });
    OnWrite(KReqLockFuse, fState, 0, [](TState& S, const TSimVendorRequest&) {
        if (S.StubVersion < KStubWithFuse || !S.SecretEnabled)
            return false;
        S.FuseLocked = true;
        return true;
    });
}

TGUID TSimBootloader::InterfaceClass() const {
    return SIM_STUB_INTERFACE_CLASS;
}

bool TSimBootloader::FailsNow(TSimStubRequest ARequest) {
    return fState->Faults.FailOnce.erase(ARequest) > 0;
}

void TSimBootloader::DropOffAfter(TSimUpdateStage AStage) {
    auto& faults = fState->Faults;
    if (faults.UnplugAfter != AStage)
        return;
    faults.UnplugAfter.reset();
    LeaveThen(fHooks.DroppedOff);
}

void TSimBootloader::LeaveThen(const std::function<void(TSimBus*)>& AHook) {
    std::function<void()> then;
    if (AHook)
        then = [AHook, bus = Bus()] { AHook(bus); };
    LeaveBusAfterRequest(std::move(then));
}

bool TSimBootloader::Write(const TSimVendorRequest& AReq) {
    TSimBootloaderState& S = *fState;
    if (AReq.DeviceToHost())
        return false;
    // The cable comes out right after block N is taken: the host sees the block go through and
    // then the bootloader's removal, between two blocks.
    if (S.HaveSynchro) {
        ++S.WritesSinceSynchro;
        if (S.Faults.UnplugAtBlock != 0 && S.WritesSinceSynchro == S.Faults.UnplugAtBlock) {
            S.Faults.UnplugAtBlock = 0;
            LeaveThen(fHooks.DroppedOff);
        }
    }
    if (FailsNow(TSimStubRequest::Write))
        return false;
    return S.TakeBlock(AReq.wValue, AReq.Data, SIM_STUB_MAX_BLOCK);
}
