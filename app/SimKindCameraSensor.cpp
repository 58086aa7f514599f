#include "app/SimKindCameraSensor.h"

#include "platform/HexText.h"
#include "sim/SimCameraSensor.h"
#include "sim/SimFamilyBindings.h"

#include <charconv>

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

// Decimal, or hexadecimal with a 0x prefix, 0-65535.
std::optional<uint16_t> ParseWord(const std::string& AText) {
    std::string_view digits(AText);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value > 0xFFFF)
        return std::nullopt;
    return uint16_t(value);
}

// Exactly N bytes as 2N hexadecimal digits of either case, in memory order.
template <size_t N> std::optional<std::array<uint8_t, N>> ParseHexBytes(const std::string& AText) {
    if (AText.size() != 2 * N)
        return std::nullopt;
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < N; ++i) {
        const int high = HexDigitValue(AText[2 * i]);
        const int low = HexDigitValue(AText[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = uint8_t(high << 4 | low);
    }
    return bytes;
}

bool ParseExtras(const std::map<std::string, std::string>& AExtra, TCameraSensorExtras& AOut,
                 std::string& AError) {
    for (const auto& [name, value] : AExtra) {
        auto bad = [&, &name = name, &value = value](const char* AExpected) {
            AError = "bad value \"" + value + "\" for " + name + "= (expected " + AExpected + ")";
            return false;
        };
        if (name == "edition" || name == "regions" || name == "stub") {
            const auto number = ParseWord(value);
            if (!number)
                return bad("a number 0-65535, decimal or 0x hexadecimal");
            (name == "edition" ? AOut.Edition : name == "regions" ? AOut.Regions : AOut.Stub) = number;
        } else if (name == "flash") {
            AOut.Flash = ParseHexBytes<SIM_QV_FLASH_PARAMS_BYTES>(value);
            if (!AOut.Flash)
                return bad("52 hexadecimal digits: the 26-byte flash-parameter record");
        } else if (name == "acc") {
            AOut.AccNone = value == "none";
            if (!AOut.AccNone) {
                AOut.Acc = ParseHexBytes<SIM_QV_ACC_CALIBRATION_BYTES>(value);
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
    auto unit = TSimPhysicalDevice::CreateRunning(
        SimCameraSensorBinding(state, AOptions.fPid.value_or(SIM_QV_PRODUCT_ID)),
        AOptions.fDriver.value_or(TUsbDriverKind::Generic));
    unit->SetLatency(std::chrono::milliseconds(ALatencyMs));
    return unit->Personality();
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
