#include "sim/SimFamilyBindings.h"

#include "sim/SimCameraSensor.h"
#include "sim/SimOpticalSensor.h"
#include "sim/SimPulseSensor.h"
#include "sim/SimTargetController.h"
#include "sim/SimTriggerController.h"
#include "sim/SimWirelessController.h"

namespace {

constexpr uint16_t KTriggerProductId = 5;
constexpr uint16_t KTargetControllerProductId = 2;
constexpr uint16_t KWirelessProductId = 14;
constexpr uint16_t KWirelessNewProductId = 0x22;

// The identity fields every family state keeps under the same names.
template <class TState> TSimUnitIdentity CommonIdentity(TState& AState, uint16_t AProductId) {
    std::lock_guard lock(AState.Mutex);
    TSimUnitIdentity identity;
    identity.ProductId = AProductId;
    identity.Serial = AState.Serial;
    identity.Key = AState.Key;
    identity.VersionHW = AState.VersionHW;
    identity.VersionFW = AState.VersionFW;
    identity.StubVersion = AState.StubActual;
    return identity;
}

// The new firmware starts: the bootloader's identity and the image's versions, unlocked (a fresh
// image keeps no lock state), nothing started.
template <class TState> void CommonRestore(TState& AState, const TSimUnitIdentity& AIdentity) {
    AState.Serial = AIdentity.Serial;
    AState.Key = AIdentity.Key;
    AState.VersionHW = AIdentity.VersionHW;
    AState.VersionFW = AIdentity.VersionFW;
    AState.StubActual = AState.StubUpdate = AIdentity.StubVersion;
}

std::vector<uint8_t> Bytes(const uint8_t* AData, std::size_t ASize) {
    return std::vector<uint8_t>(AData, AData + ASize);
}

} // namespace

TSimFamilyBinding SimOpticalSensorBinding(std::shared_ptr<TSimOpticalSensorState> AState) {
    TSimFamilyBinding binding;
    binding.Kind = "optical-sensor";
    binding.ProductIds = {32, 35};
    binding.Identity = [AState] {
        return CommonIdentity(*AState, [&] {
            std::lock_guard lock(AState->Mutex);
            return AState->ProductId;
        }());
    };
    binding.Restore = [AState](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
        AState->ProductId = AIdentity.ProductId;
        AState->Calibration = AState->FlashCalibration;
        AState->Measuring = false;
        AState->OscMode = false;
    };
    // The second generation from firmware 11 on keeps its calibration in a segment the bootloader
    // does not erase; every other sensor loses it with the firmware.
    binding.Wipe = [AState] {
        std::lock_guard lock(AState->Mutex);
        if (AState->ProductId == 35 && AState->VersionFW > 10)
            return;
        AState->FlashCalibration = SIM_CALIBRATION_ERASED;
        AState->Calibration = SIM_CALIBRATION_ERASED;
    };
    binding.Calibration = [AState] {
        std::lock_guard lock(AState->Mutex);
        return Bytes(AState->FlashCalibration.data(), AState->FlashCalibration.size());
    };
    binding.MakeRunning = [AState](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        return std::make_shared<TSimOpticalSensor>(AState, ADriver);
    };
    return binding;
}

TSimFamilyBinding SimCameraSensorBinding(std::shared_ptr<TSimCameraSensorState> AState, uint16_t AProductId) {
    auto productId = std::make_shared<uint16_t>(AProductId); // guarded by the state's mutex
    TSimFamilyBinding binding;
    binding.Kind = "camera-sensor";
    binding.ProductIds = {SIM_QV_PRODUCT_ID};
    binding.Identity = [AState, productId] {
        uint16_t pid;
        {
            std::lock_guard lock(AState->Mutex);
            pid = *productId;
        }
        return CommonIdentity(*AState, pid);
    };
    binding.Restore = [AState, productId](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
        *productId = AIdentity.ProductId;
        AState->Started = false;
    };
    // Firmware up to 18 keeps the flash parameters in the flash the bootloader erases; later
    // firmware keeps them, and the accelerometer record, in a segment the erase leaves alone.
    binding.Wipe = [AState] {
        std::lock_guard lock(AState->Mutex);
        if (AState->VersionFW <= 18)
            AState->FlashParams.fill(0xFF);
    };
    binding.Calibration = [AState] {
        std::lock_guard lock(AState->Mutex);
        std::vector<uint8_t> bytes = Bytes(AState->FlashParams.data(), AState->FlashParams.size());
        bytes.insert(bytes.end(), AState->AccCalibration.begin(), AState->AccCalibration.end());
        return bytes;
    };
    binding.MakeRunning = [AState, productId](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        auto device = std::make_shared<TSimCameraSensor>(AState, ADriver);
        TSimDeviceIdentity identity = device->Identity();
        {
            std::lock_guard lock(AState->Mutex);
            identity.ProductId = *productId;
        }
        device->SetIdentity(identity);
        return device;
    };
    return binding;
}

TSimFamilyBinding SimPulseSensorBinding(std::shared_ptr<TSimPulseState> AState) {
    TSimFamilyBinding binding;
    binding.Kind = "pulse-sensor";
    binding.ProductIds = {10, 19};
    binding.Identity = [AState] {
        return CommonIdentity(*AState, [&] {
            std::lock_guard lock(AState->Mutex);
            return AState->ProductId;
        }());
    };
    binding.Restore = [AState](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
        AState->ProductId = AIdentity.ProductId;
        AState->Started = false;
    };
    binding.Wipe = [] {};
    binding.Calibration = [] { return std::vector<uint8_t>(); };
    binding.MakeRunning = [AState](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        return std::make_shared<TSimPulseSensor>(AState, ADriver);
    };
    return binding;
}

TSimFamilyBinding SimTriggerBinding(std::shared_ptr<TSimTriggerState> AState) {
    TSimFamilyBinding binding;
    binding.Kind = "trigger";
    binding.ProductIds = {KTriggerProductId};
    binding.Identity = [AState] { return CommonIdentity(*AState, KTriggerProductId); };
    binding.Restore = [AState](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
        AState->Started = false;
    };
    binding.Wipe = [] {};
    binding.Calibration = [] { return std::vector<uint8_t>(); };
    binding.MakeRunning = [AState](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        return std::make_shared<TSimTriggerController>(AState, ADriver);
    };
    return binding;
}

TSimFamilyBinding SimTargetControllerBinding(std::shared_ptr<TSimTargetControllerState> AState) {
    TSimFamilyBinding binding;
    binding.Kind = "target-controller";
    binding.ProductIds = {KTargetControllerProductId};
    binding.Identity = [AState] { return CommonIdentity(*AState, KTargetControllerProductId); };
    binding.Restore = [AState](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
    };
    binding.Wipe = [] {};
    binding.Calibration = [] { return std::vector<uint8_t>(); };
    binding.MakeRunning = [AState](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        return std::make_shared<TSimTargetController>(AState, ADriver);
    };
    binding.Target = [AState] {
        std::lock_guard lock(AState->Mutex);
        TSimTargetReport report;
        report.Present = AState->TargetMode != TSimTargetMode::None;
        report.InBootloader = AState->TargetMode == TSimTargetMode::Bootloader;
        report.ProductId = AState->Target.ProductId;
        report.VersionHW = AState->Target.VersionHW;
        report.VersionFW = AState->TargetFirmwareVersion();
        report.Serial = AState->Target.Serial;
        report.FlashValid = AState->Target.FlashValid;
        return report;
    };
    return binding;
}

TSimFamilyBinding SimWirelessBinding(std::shared_ptr<TSimWirelessState> AState) {
    TSimFamilyBinding binding;
    binding.Kind = "wireless-controller";
    binding.ProductIds = {KWirelessProductId, KWirelessNewProductId};
    binding.Identity = [AState] {
        TSimUnitIdentity identity = CommonIdentity(*AState, 0);
        std::lock_guard lock(AState->Mutex);
        identity.ProductId = AState->ProductId;
        return identity;
    };
    binding.Restore = [AState](const TSimUnitIdentity& AIdentity) {
        std::lock_guard lock(AState->Mutex);
        CommonRestore(*AState, AIdentity);
        AState->ProductId = AIdentity.ProductId;
        AState->PowerOn = false;
    };
    binding.Wipe = [] {};
    binding.Calibration = [] { return std::vector<uint8_t>(); };
    binding.MakeRunning = [AState](TUsbDriverKind ADriver) -> std::shared_ptr<TSimDevice> {
        return std::make_shared<TSimWirelessController>(AState, ADriver);
    };
    binding.Radio = [AState] { return AState->RadioReport(); };
    return binding;
}

bool SimDefaultBindingFor(const TSimUnitIdentity& AIdentity, TSimFamilyBinding& ABinding) {
    auto fill = [&](auto& AState) {
        AState.Serial = AIdentity.Serial;
        AState.Key = AIdentity.Key;
        AState.VersionHW = AIdentity.VersionHW;
        AState.VersionFW = AIdentity.VersionFW;
        AState.StubActual = AState.StubUpdate = AIdentity.StubVersion;
    };
    switch (AIdentity.ProductId) {
    case 32:
    case 35: {
        auto state = std::make_shared<TSimOpticalSensorState>();
        fill(*state);
        state->ProductId = AIdentity.ProductId;
        ABinding = SimOpticalSensorBinding(state);
        return true;
    }
    case SIM_QV_PRODUCT_ID: {
        auto state = std::make_shared<TSimCameraSensorState>();
        fill(*state);
        ABinding = SimCameraSensorBinding(state, AIdentity.ProductId);
        return true;
    }
    case 10:
    case 19: {
        auto state = std::make_shared<TSimPulseState>();
        fill(*state);
        state->ProductId = AIdentity.ProductId;
        ABinding = SimPulseSensorBinding(state);
        return true;
    }
    case KTriggerProductId: {
        auto state = std::make_shared<TSimTriggerState>();
        fill(*state);
        ABinding = SimTriggerBinding(state);
        return true;
    }
    case KWirelessProductId:
    case KWirelessNewProductId: {
        auto state = std::make_shared<TSimWirelessState>();
        fill(*state);
        state->ProductId = AIdentity.ProductId;
        ABinding = SimWirelessBinding(state);
        return true;
    }
    default:
        return false;
    }
}
