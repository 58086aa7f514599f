#include "app/simbench/SimKindCameraSensor.h"

#include "app/simbench/SimKindValues.h"
#include "sim/SimCameraSensor.h"
#include "sim/SimFamilyBindings.h"

namespace {

// The kind's own values, parsed.
struct TCameraSensorExtras {
    std::optional<uint16_t> Edition;
    std::optional<std::array<uint8_t, SIM_QV_FLASH_PARAMS_BYTES>> Flash;
    std::optional<std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES>> Acc;
    bool AccNone = false;
    std::optional<uint16_t> Regions;
    std::optional<uint16_t> Stub;
};

bool ParseExtras(const std::map<std::string, std::string>& AExtra, TCameraSensorExtras& AOut,
                 std::string& AError) {
    for (const auto& [name, value] : AExtra) {
        auto bad = [&, &name = name, &value = value](const char* AExpected) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected " + AExpected + ")";
            return false;
        };
        if (name == "edition" || name == "regions" || name == "stub") {
            const auto number = ParseNumber(value, 0xFFFF);
            if (!number)
                return bad("a number 0-65535, decimal or 0x hexadecimal");
            (name == "edition" ? AOut.Edition : name == "regions" ? AOut.Regions : AOut.Stub) = number;
        } else if (name == "flash") {
            AOut.Flash = ParseSimKindBytes<SIM_QV_FLASH_PARAMS_BYTES>(value);
            if (!AOut.Flash)
                return bad("52 hexadecimal digits: the 26-byte flash-parameter record");
        } else if (name == "acc") {
            AOut.AccNone = value == "none";
            if (!AOut.AccNone) {
                AOut.Acc = ParseSimKindBytes<SIM_QV_ACC_CALIBRATION_BYTES>(value);
                if (!AOut.Acc)
                    return bad("88 hexadecimal digits: the 44-byte accelerometer record, or none");
            }
        }
    }
    return true;
}

std::shared_ptr<TSimBusDevice> CreateCameraSensor(const TSimDeviceOptions& AOptions, uint32_t ALatencyMs) {
    TCameraSensorExtras extras;
    std::string error;
    if (!ParseExtras(AOptions.fExtra, extras, error))
        return nullptr; // the DEVICE text was checked when it was parsed
    auto state = std::make_shared<TSimCameraSensorState>();
    if (AOptions.fSerial)
        state->Serial = *AOptions.fSerial;
    if (AOptions.fKey)
        state->Key = *AOptions.fKey;
    state->VersionHW = AOptions.fHw.value_or(state->VersionHW);
    state->VersionFW = AOptions.fFw.value_or(state->VersionFW);
    state->Locked = AOptions.fLocked.value_or(state->Locked);
    if (extras.Flash)
        state->FlashParams = *extras.Flash;
    if (extras.Edition)
        state->SetEdition(*extras.Edition);
    if (extras.Acc)
        state->AccCalibration = *extras.Acc;
    state->AccCalibrationReadable = !extras.AccNone;
    state->Regions = extras.Regions.value_or(state->Regions);
    if (extras.Stub) {
        state->StubActual = *extras.Stub;
        state->StubUpdate = *extras.Stub;
    }
    return CreateRunningSimDevice(SimCameraSensorBinding(state, AOptions.fPid.value_or(SIM_QV_PRODUCT_ID)),
                                  AOptions, ALatencyMs, TUsbDriverKind::Generic);
}

} // namespace

void RegisterCameraSensorKind(TSimKinds& AKinds) {
    TSimKind kind;
    kind.fName = "camera-sensor";
    kind.fDescription = "camera-based aiming sensor (default hw=3, fw=31, edition 0, generic driver)";
    kind.fExtraNames = {"edition", "flash", "acc", "regions", "stub"};
    kind.fCheckExtra = [](const TSimDeviceOptions& AOptions, std::string& AError) {
        TCameraSensorExtras extras;
        return ParseExtras(AOptions.fExtra, extras, AError);
    };
    kind.fCreate = CreateCameraSensor;
    AKinds.Register(std::move(kind));
}
