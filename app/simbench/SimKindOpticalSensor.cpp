#include "app/simbench/SimKindOpticalSensor.h"

#include "app/simbench/SimKindValues.h"
#include "sim/SimFamilyBindings.h"
#include "sim/SimOpticalSensor.h"

namespace {

// Factors 1.04, 0.96, 1.0, 0.98 and a distance factor of 2.5, in 16.16 fixed point.
const char* const KDefaultCalibration = "3D0A0100C3F5000000000100E1FA000000800200";

struct TOpticalSensorExtras {
    std::optional<std::array<uint8_t, 20>> Calibration;
    std::optional<uint16_t> Stub;
};

bool ParseExtras(const TSimDeviceOptions& AOptions, TOpticalSensorExtras& AOut, std::string& AError) {
    if (AOptions.fPid && *AOptions.fPid != 32 && *AOptions.fPid != 35) {
        AError = "bad value \"" + std::to_string(*AOptions.fPid) + "\" for pid= (expected 32 or 35)";
        return false;
    }
    for (const auto& [name, value] : AOptions.fExtra) {
        auto bad = [&, &name = name, &value = value](const char* AExpected) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected " + AExpected + ")";
            return false;
        };
        if (name == "calibration") {
            AOut.Calibration = ParseSimKindBytes<20>(value);
            if (!AOut.Calibration)
                return bad("40 hexadecimal digits: the 20 calibration bytes");
        } else if (name == "stub") {
            AOut.Stub = ParseNumber(value, 0xFFFF);
            if (!AOut.Stub)
                return bad("a number 0-65535, decimal or 0x hexadecimal");
        }
    }
    return true;
}

std::shared_ptr<TSimBusDevice> CreateOpticalSensor(const TSimDeviceOptions& AOptions, uint32_t ALatencyMs) {
    TOpticalSensorExtras extras;
    std::string error;
    if (!ParseExtras(AOptions, extras, error))
        return nullptr; // the DEVICE text was checked when it was parsed
    auto state = std::make_shared<TSimOpticalSensorState>();
    // The second generation defaults to its own board with firmware one below the collection's.
    state->ProductId = AOptions.fPid.value_or(32);
    const bool lp02 = state->ProductId == 35;
    state->VersionHW = AOptions.fHw.value_or(lp02 ? 5 : 2);
    state->VersionFW = AOptions.fFw.value_or(lp02 ? 10 : 9);
    if (AOptions.fSerial)
        state->Serial = *AOptions.fSerial;
    if (AOptions.fKey)
        state->Key = *AOptions.fKey;
    state->Locked = AOptions.fLocked.value_or(false);
    state->FlashCalibration = extras.Calibration.value_or(*ParseSimKindBytes<20>(KDefaultCalibration));
    state->Calibration = state->FlashCalibration;
    if (extras.Stub) {
        state->StubActual = *extras.Stub;
        state->StubUpdate = *extras.Stub;
    }
    // Old boards come with the family's driver, new ones with the generic one.
    const TUsbDriverKind driver = state->VersionHW >= 5 ? TUsbDriverKind::Generic : TUsbDriverKind::Family;
    return CreateRunningSimDevice(SimOpticalSensorBinding(state), AOptions, ALatencyMs, driver);
}

} // namespace

void RegisterOpticalSensorKind(TSimKinds& AKinds) {
    TSimKind kind;
    kind.fName = "optical-sensor";
    kind.fDescription = "optical aiming sensor (default pid=32, hw=2, fw=9, family driver; pid=35: hw=5, "
                        "fw=10, generic driver)";
    kind.fExtraNames = {"calibration", "stub"};
    kind.fCheckExtra = [](const TSimDeviceOptions& AOptions, std::string& AError) {
        TOpticalSensorExtras extras;
        return ParseExtras(AOptions, extras, AError);
    };
    kind.fCreate = CreateOpticalSensor;
    AKinds.Register(std::move(kind));
}
