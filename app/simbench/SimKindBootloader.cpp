#include "app/simbench/SimKindBootloader.h"

#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"

namespace {

enum class TFlash { None, Half, Valid };

struct TBootloaderExtras {
    uint16_t Stub = 3;
    uint16_t Processor = 0;
    TFlash Flash = TFlash::None;
};

bool ParseExtras(const TSimDeviceOptions& AOptions, TBootloaderExtras& AOut, std::string& AError) {
    const uint16_t pid = AOptions.fPid.value_or(32);
    TSimFamilyBinding probe;
    if (!SimDefaultBindingFor({pid, {}, {}, 0, 0, 0}, probe)) {
        AError = "bad value \"" + std::to_string(pid) +
                 "\" for pid= (expected 32, 35, 0x1F01, 10, 19 or 5: a product with a simulated family)";
        return false;
    }
    for (const auto& [name, value] : AOptions.fExtra) {
        if (name == "flash") {
            if (value == "none")
                AOut.Flash = TFlash::None;
            else if (value == "half")
                AOut.Flash = TFlash::Half;
            else if (value == "valid")
                AOut.Flash = TFlash::Valid;
            else {
                AError = "bad value \"" + value + "\" for flash= (expected none, half or valid)";
                return false;
            }
            continue;
        }
        const auto number = ParseNumber(value, 0xFFFF);
        if (!number || (name == "stub" && *number == 0)) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected a number " +
                     (name == "stub" ? "1-65535" : "0-65535") + ")";
            return false;
        }
        (name == "stub" ? AOut.Stub : AOut.Processor) = uint16_t(*number);
    }
    return true;
}

// The board a bootloader without a hardware version sits on, as its processor tells.
uint16_t BoardOf(uint16_t AProductId, uint16_t AProcessor) {
    switch (AProductId) {
    case 35:
        return 5;
    case 19:
    case 0x1F01:
        return 3;
    case 5:
        return AProcessor == 235 ? 3 : AProcessor == 147 ? 2 : 4;
    default:
        return AProcessor == 235 ? 3 : 2;
    }
}

std::shared_ptr<TSimBusDevice> CreateBootloader(const TSimDeviceOptions& AOptions, uint32_t ALatencyMs) {
    TBootloaderExtras extras;
    std::string error;
    if (!ParseExtras(AOptions, extras, error))
        return nullptr; // the DEVICE text was checked when it was parsed
    TSimUnitIdentity identity;
    identity.ProductId = AOptions.fPid.value_or(32);
    const uint16_t reportedHw = AOptions.fHw.value_or(identity.ProductId == 35 ? 5 : 2);
    const bool knowsHw = reportedHw != 0 && reportedHw != 0xFFFF;
    const uint16_t processor =
        extras.Processor ? extras.Processor : SimProcessorOf(identity.ProductId, knowsHw ? reportedHw : 0);
    identity.VersionHW = knowsHw ? reportedHw : BoardOf(identity.ProductId, processor);
    identity.VersionFW = AOptions.fFw.value_or(1);
    identity.Serial = AOptions.fSerial.value_or(TSimBytes8{uint8_t(identity.ProductId), 7, 7, 7, 7, 7, 7, 7});
    identity.Key = AOptions.fKey.value_or(TSimBytes8{1, 1, 1, 1, 1, 1, 1, 1});
    identity.StubVersion = extras.Stub;
    TSimFamilyBinding binding;
    SimDefaultBindingFor(identity, binding);

    std::vector<uint8_t> flash(SIM_IMAGE_SIZE, 0xFF);
    if (extras.Flash != TFlash::None) {
        flash = SimPlainImage(identity.ProductId, identity.VersionHW, identity.VersionFW, processor);
        // Half-written: the writing stopped in the middle, the rest is still erased.
        if (extras.Flash == TFlash::Half)
            std::fill(flash.begin() + SIM_IMAGE_SIZE / 2, flash.end(), uint8_t(0xFF));
    }
    // The generic driver for the boards with the newer USB chip, the family driver for the others.
    const TUsbDriverKind driver =
        processor >= 5500 && processor <= 5699 ? TUsbDriverKind::Generic : TUsbDriverKind::Family;
    auto unit = TSimPhysicalDevice::CreateInBootloader(binding, AOptions.fDriver.value_or(driver), processor,
                                                       std::move(flash));
    if (!knowsHw)
        unit->BootloaderState()->HardwareAnswer = reportedHw;
    unit->SetLatency(std::chrono::milliseconds(ALatencyMs));
    return unit->Personality();
}

} // namespace

void RegisterBootloaderKind(TSimKinds& AKinds) {
    TSimKind kind;
    kind.fName = "bootloader";
    kind.fDescription = "a device left in its bootloader (default pid=32, hw=2, stub=3, flash=none); "
                        "flash=valid holds firmware fw=";
    kind.fExtraNames = {"stub", "processor", "flash"};
    kind.fCheckExtra = [](const TSimDeviceOptions& AOptions, std::string& AError) {
        TBootloaderExtras extras;
        return ParseExtras(AOptions, extras, AError);
    };
    kind.fCreate = CreateBootloader;
    AKinds.Register(std::move(kind));
}
