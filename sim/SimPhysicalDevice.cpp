#include "sim/SimPhysicalDevice.h"

#include "sim/SimBootloader.h"
#include "sim/SimBus.h"
#include "sim/SimFamilyBindings.h"

#include <algorithm>

std::shared_ptr<TSimPhysicalDevice>
TSimPhysicalDevice::CreateRunning(TSimFamilyBinding AFamily, TUsbDriverKind ADriver, uint16_t AProcessorId) {
    auto unit = std::make_shared<TSimPhysicalDevice>(TPrivate{}, std::move(AFamily), ADriver, TMode::Running);
    unit->ShareIdentity();
    TSimBootloaderState& stub = *unit->fStub;
    const TSimUnitIdentity identity = unit->Family().Identity();
    stub.ProcessorId = AProcessorId ? AProcessorId : SimProcessorOf(identity.ProductId, identity.VersionHW);
    stub.Flash = SimPlainImage(identity.ProductId, identity.VersionHW, identity.VersionFW, stub.ProcessorId);
    stub.FlashValid = true;
    return unit;
}

std::shared_ptr<TSimPhysicalDevice> TSimPhysicalDevice::CreateInBootloader(TSimFamilyBinding AFamily,
                                                                           TUsbDriverKind ADriver,
                                                                           uint16_t AProcessorId,
                                                                           std::vector<uint8_t> AFlash) {
    auto unit =
        std::make_shared<TSimPhysicalDevice>(TPrivate{}, std::move(AFamily), ADriver, TMode::Bootloader);
    unit->ShareIdentity();
    TSimBootloaderState& stub = *unit->fStub;
    const TSimUnitIdentity identity = unit->Family().Identity();
    stub.ProcessorId = AProcessorId ? AProcessorId : SimProcessorOf(identity.ProductId, identity.VersionHW);
    AFlash.resize(SIM_IMAGE_SIZE, 0xFF);
    stub.Flash = std::move(AFlash);
    stub.FlashValid = SimImageAuthentic(stub.Flash);
    return unit;
}

TSimPhysicalDevice::TSimPhysicalDevice(TPrivate, TSimFamilyBinding AFamily, TUsbDriverKind ADriver,
                                       TMode AMode)
    : fFamily(std::move(AFamily)), fDriver(ADriver), fMode(AMode) {}

TSimFamilyBinding TSimPhysicalDevice::Family() const {
    std::lock_guard lock(fMutex);
    return fFamily;
}

void TSimPhysicalDevice::ShareIdentity() {
    const TSimUnitIdentity identity = Family().Identity();
    std::lock_guard lock(fStub->Mutex);
    fStub->ProductId = identity.ProductId;
    fStub->VersionHW = identity.VersionHW;
    fStub->Serial = identity.Serial;
    fStub->Key = identity.Key;
    fStub->StubVersion = identity.StubVersion;
    fStub->ResetRun();
}

std::shared_ptr<TSimDevice> TSimPhysicalDevice::Personality() {
    std::lock_guard lock(fMutex);
    if (auto current = fPersonality.lock(); current && fPersonalityMode == fMode)
        return current;
    auto device = MakePersonality(fMode);
    fPersonality = device;
    fPersonalityMode = fMode;
    return device;
}

std::shared_ptr<TSimDevice> TSimPhysicalDevice::MakePersonality(TMode AMode) {
    std::shared_ptr<TSimDevice> device;
    auto self = shared_from_this();
    if (AMode == TMode::Running) {
        device = fFamily.MakeRunning(fDriver); // under fMutex
        device->SetOnSwitchToBootloader([self](TSimBus* ABus) { self->SwitchedToBootloader(ABus); });
    } else {
        TSimBootloader::THooks hooks;
        hooks.Reconnect = [self](TSimBus* ABus) { self->LeftBus(ABus, true); };
        hooks.DroppedOff = [self](TSimBus* ABus) { self->LeftBus(ABus, false); };
        // The family of the firmware in flash at the time of the erase.
        hooks.Erased = [self] { self->Family().Wipe(); };
        device = std::make_shared<TSimBootloader>(fStub, fDriver, std::move(hooks));
    }
    device->SetLatency(fLatency);
    device->SetUnit(self);
    return device;
}

std::shared_ptr<TSimDevice> TSimPhysicalDevice::PlugInto(TSimBus& ABus) {
    auto device = Personality();
    ABus.Plug(device);
    return device;
}

TSimPhysicalDevice::TMode TSimPhysicalDevice::Mode() const {
    std::lock_guard lock(fMutex);
    return fMode;
}

void TSimPhysicalDevice::SetFaults(const TSimUpdateFaults& AFaults) {
    std::lock_guard lock(fStub->Mutex);
    fStub->Faults = AFaults;
}

void TSimPhysicalDevice::SetLatency(std::chrono::microseconds ALatency) {
    std::shared_ptr<TSimDevice> current;
    {
        std::lock_guard lock(fMutex);
        fLatency = ALatency;
        current = fPersonality.lock();
    }
    if (current)
        current->SetLatency(ALatency);
}

void TSimPhysicalDevice::SwitchedToBootloader(TSimBus* ABus) {
    ShareIdentity();
    std::optional<uint32_t> replug;
    bool stayAway;
    {
        std::lock_guard lock(fStub->Mutex);
        stayAway = fStub->Faults.UnplugAfter == TSimUpdateStage::Switch;
        if (stayAway)
            fStub->Faults.UnplugAfter.reset();
        replug = fStub->Faults.ReplugAfterMs;
    }
    {
        std::lock_guard lock(fMutex);
        fMode = TMode::Bootloader;
    }
    if (!stayAway)
        ComeBack(ABus, std::nullopt);
    else if (replug)
        ComeBack(ABus, replug);
}

void TSimPhysicalDevice::LeftBus(TSimBus* ABus, bool AComeBackNow) {
    bool start;
    TSimUnitIdentity identity;
    std::optional<uint32_t> replug;
    {
        std::lock_guard lock(fStub->Mutex);
        TSimBootloaderState& S = *fStub;
        start = S.LeaveRequested && S.FlashValid;
        identity.ProductId = S.FlashProductId();
        identity.VersionFW = S.FlashFirmwareVersion();
        identity.VersionHW = S.VersionHW;
        identity.Serial = S.Serial;
        identity.Key = S.Key;
        identity.StubVersion = S.StubVersion;
        replug = S.Faults.ReplugAfterMs;
        // Leaving programming mode and losing power both end the run; the flash keeps its bytes.
        S.ResetRun();
        S.Faults.FailOnce.erase(TSimStubRequest::Serial);
    }
    if (start) {
        TSimFamilyBinding family = Family();
        const auto& ids = family.ProductIds;
        TSimFamilyBinding other;
        const bool foreign = std::find(ids.begin(), ids.end(), identity.ProductId) == ids.end();
        // Another family's firmware: the device is that family's now (with its default state);
        // an image of a product no family simulates still runs on the old family's behaviour.
        if (foreign && SimDefaultBindingFor(identity, other))
            family = other;
        family.Restore(identity);
        std::lock_guard lock(fMutex);
        fFamily = family;
        fMode = TMode::Running;
    }
    if (AComeBackNow)
        ComeBack(ABus, std::nullopt);
    else if (replug)
        ComeBack(ABus, replug);
}

void TSimPhysicalDevice::ComeBack(TSimBus* ABus, std::optional<uint32_t> AAfterMs) {
    if (!ABus)
        return;
    auto device = Personality();
    if (AAfterMs)
        ABus->PlugAfter(device, *AAfterMs);
    else
        ABus->Plug(device);
}

TSimUnitReport TSimPhysicalDevice::Report() const {
    TSimUnitReport report;
    const TSimFamilyBinding family = Family();
    report.Kind = family.Kind;
    report.InBootloader = Mode() == TMode::Bootloader;
    report.Calibration = family.Calibration ? family.Calibration() : std::vector<uint8_t>();
    if (family.Target)
        report.Target = family.Target();
    if (family.Radio)
        report.Radio = family.Radio();
    if (!report.InBootloader) {
        const TSimUnitIdentity identity = family.Identity();
        report.ProductId = identity.ProductId;
        report.VersionHW = identity.VersionHW;
        report.VersionFW = identity.VersionFW;
        report.StubVersion = identity.StubVersion;
        report.Serial = identity.Serial;
    }
    std::lock_guard lock(fStub->Mutex);
    report.FlashValid = fStub->FlashValid;
    if (report.InBootloader) {
        report.ProductId = fStub->ProductId;
        report.VersionHW = fStub->VersionHW;
        report.VersionFW = fStub->FlashFirmwareVersion();
        report.StubVersion = fStub->StubVersion;
        report.Serial = fStub->Serial;
    }
    return report;
}
