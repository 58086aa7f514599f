#include "sim/SimWirelessSensor.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace {

constexpr double Pi = std::numbers::pi;
constexpr uint8_t KStatusBit = 0x20;
constexpr uint8_t KInvertedBit = 0x40;
constexpr double KSpotSum = 4000;     // amplitude sum of one LED group's spot
constexpr double KAmplitudeWord = 12; // amplitude word units per amplitude unit
constexpr double KRawScaleUnit = 251658240.0;
constexpr uint8_t KTestSum = 30, KTestSum2 = 35;
constexpr uint8_t KXTValues[3] = {1, 2, 3}; // diagnostic values, passed on only

// A value that a field of AMax can hold; throws when it cannot (never wrapped).
uint32_t FitField(double AValue, double AMax, const char* AWhat) {
    if (!(AValue >= 0 && AValue <= AMax))
        throw std::invalid_argument(std::string(AWhat) + " does not fit its field");
    return uint32_t(std::lround(AValue));
}

constexpr std::pair<uint8_t, const char*> KModelNames[] = {{0, "WD-M01"},   {2, "WD-03"},   {3, "WD-M02"},
                                                           {4, "WD-02"},    {5, "WD-03V2"}, {6, "WD-05"},
                                                           {7, "WD-M02V2"}, {8, "WD-M02V3"}};

} // namespace

std::optional<uint8_t> SimWirelessModelCode(const std::string& AName) {
    std::string upper = AName;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char C) { return char(std::toupper(C)); });
    for (const auto& [code, name] : KModelNames)
        if (upper == name)
            return code;
    return std::nullopt;
}

std::string SimWirelessModelName(uint8_t AModelCode) {
    for (const auto& [code, name] : KModelNames)
        if (code == AModelCode)
            return name;
    return "???";
}

TSimWirelessSensor::TSimWirelessSensor(const TSimWirelessSensorSetup& ASetup, uint32_t ASeed)
    : fSetup(ASetup), fPath(ASeed) {
    // With ZeroCoefficient the coefficient, distance and scale words stay 0; the angle is sent anyway.
    if (!fSetup.ZeroCoefficient && WD03Family()) {
        // The host's scale is word / 10000 * LedsDistance / 50 per 50 position units.
        double units = fSetup.LedsDistance * fSetup.UnitsPerMm;
        fDistanceWord = uint16_t(FitField(2500 * 10000 / units, 0xFFFF, "distance word"));
        fRawScaleWord = FitField(KRawScaleUnit * 50 / units, 0xFFFFFFFF, "raw scale word");
    } else if (!fSetup.ZeroCoefficient)
        fDistanceKWord = FitField(fSetup.DistanceK * 65536, 0xFFFFFFFF, "distance coefficient");
    // The sensor reports the direction from LED group 1 to group 0, canted: sin in the word, the
    // half (cos < 0) in its lowest bit.
    double alpha = fSetup.CantRad + (fSetup.UpperGroupFirst ? Pi / 2 : -Pi / 2);
    int word = int(std::lround(10000 * std::sin(alpha)));
    bool odd = std::cos(alpha) < -1e-9;
    if ((word & 1) != int(odd))
        word += word > 0 ? -1 : 1;
    fAngleWord = int16_t(word);
}

std::vector<uint8_t> TSimWirelessSensor::Header(size_t ALength, bool AStatus) const {
    std::vector<uint8_t> bytes(std::max<size_t>(ALength, 4), 0);
    bytes[0] = uint8_t(ALength | (AStatus ? KStatusBit : 0));
    bytes[1] = fSetup.ModelCode;
    PutLE16(bytes.data() + 2, fSetup.Serial);
    return bytes;
}

void TSimWirelessSensor::Invert(std::vector<uint8_t>& APacket) {
    APacket[0] |= KInvertedBit;
    for (size_t i = 1; i < APacket.size(); ++i)
        APacket[i] = uint8_t(~APacket[i]);
}

void TSimWirelessSensor::Spot(const TSimAimSample& AAim, double ALedY, double& AX, double& AY) const {
    double x = AAim.XMm * fSetup.UnitsPerMm, y = (AAim.YMm + ALedY) * fSetup.UnitsPerMm;
    double c = std::cos(fSetup.CantRad), s = std::sin(fSetup.CantRad);
    AX = x * c - y * s;
    AY = x * s + y * c;
}

int16_t TSimWirelessSensor::Field16(double AValue, bool& AClipped) {
    double limit = std::numeric_limits<int16_t>::max();
    if (std::abs(AValue) > limit) {
        AClipped = true;
        ++fClipped;
        return int16_t(AValue > 0 ? limit : -limit);
    }
    return int16_t(std::lround(AValue));
}

std::vector<uint8_t> TSimWirelessSensor::WDM01Data(const TSimAimSample& AAim) {
    std::vector<uint8_t> bytes = Header(fSetup.WithMic ? 24 : 22, false);
    uint8_t selector = fCounter & 7;
    bytes[4] = fCounter;
    if (selector < 4)
        bytes[5] = uint8_t(fDistanceKWord >> (8 * selector));
    else if (selector == 4)
        bytes[5] = fSetup.BatteryByte;
    else
        bytes[5] = KXTValues[selector - 5];
    // Spot 1 is LED group 0's; its quadrants go to the even words, spot 2's to the odd ones.
    const double half = fSetup.LedsDistance / 2;
    double ledY[2] = {fSetup.UpperGroupFirst ? half : -half, fSetup.UpperGroupFirst ? -half : half};
    for (int c = 0; c < 2; ++c) {
        double x, y;
        Spot(AAim, ledY[c], x, y);
        double px = x * KSpotSum / 2000, py = y * KSpotSum / 2000;
        double a[4] = {KSpotSum + px + py, KSpotSum + px - py, KSpotSum - px + py, KSpotSum - px - py};
        for (int q = 0; q < 4; ++q) {
            // An amplitude cannot fall below 0: a spot outside the sensor's view is clipped there.
            double word = std::clamp(a[q] / 4 * KAmplitudeWord, 0.0, 65535.0);
            PutLE16(bytes.data() + 6 + 4 * q + 2 * c, uint16_t(std::lround(word)));
        }
    }
    if (fSetup.WithMic) {
        bytes[22] = AAim.Shot ? 7 : 0;
        bytes[23] = AAim.Shot ? 250 : 3;
    }
    return bytes;
}

uint8_t TSimWirelessSensor::WD03Auxiliary(uint8_t ACounter) const {
    switch (ACounter % 6) {
    case 0:
        return ACounter == 0 ? fSetup.BatteryByte : KTestSum;
    case 1:
        return KTestSum2;
    case 2:
        return uint8_t(uint16_t(fAngleWord));
    case 3:
        return uint8_t(uint16_t(fAngleWord) >> 8);
    case 4:
        return uint8_t(fDistanceWord);
    default:
        return uint8_t(fDistanceWord >> 8);
    }
}

std::vector<uint8_t> TSimWirelessSensor::WD03Data(const TSimAimSample& AAim1, const TSimAimSample& AAim2) {
    bool v3 = fSetup.ModelCode == 8;
    size_t n = fSetup.RawMode ? 18 : fSetup.WithMic ? 16 : 14;
    std::vector<uint8_t> bytes = Header(n + (v3 ? 1 : 0), false);
    uint8_t k = fCounter & 0x7F;
    bytes[5] = WD03Auxiliary(k);
    bool clipped = false;
    // The distance and raw scale words are chosen so that one position unit is 1 / UnitsPerMm mm.
    const TSimAimSample* aims[2] = {&AAim1, &AAim2};
    for (int i = 0; i < 2; ++i) {
        double x, y;
        Spot(*aims[i], 0, x, y);
        PutLE16(bytes.data() + 6 + 4 * i, uint16_t(Field16(x, clipped)));
        PutLE16(bytes.data() + 8 + 4 * i, uint16_t(Field16(y, clipped)));
    }
    bytes[4] = uint8_t(k | (clipped ? 0x80 : 0));
    if (fSetup.RawMode)
        PutLE32(bytes.data() + 14, fRawScaleWord);
    else if (fSetup.WithMic) {
        bool shot = AAim1.Shot || AAim2.Shot;
        bytes[14] = shot ? 9 : 0;
        bytes[15] = shot ? 240 : 2;
    }
    if (v3)
        bytes.back() = fSetup.StatusBits;
    return bytes;
}

std::vector<uint8_t> TSimWirelessSensor::Hostile(std::vector<uint8_t> APacket,
                                                 TSimWirelessFault AFault) const {
    switch (AFault) {
    case TSimWirelessFault::LengthBeyondBytes:
        APacket.resize(APacket.size() - 3);
        break;
    case TSimWirelessFault::BelowMinimum:
        APacket.resize(10);
        APacket[0] = 10;
        break;
    case TSimWirelessFault::UnknownModel:
        APacket[1] = 1;
        break;
    case TSimWirelessFault::ForeignSerial:
        PutLE16(APacket.data() + 2, uint16_t(fSetup.Serial + 1));
        break;
    case TSimWirelessFault::None:
        break;
    }
    return APacket;
}

std::vector<uint8_t> TSimWirelessSensor::NextPacket(std::vector<TSimAimSample>* AAims) {
    std::vector<TSimAimSample> aims{fPath.Next()};
    if (WD03Family())
        aims.push_back(fPath.Next());
    std::vector<uint8_t> packet = WD03Family() ? WD03Data(aims[0], aims[1]) : WDM01Data(aims[0]);
    ++fCounter;
    ++fPackets;
    if (AAims)
        *AAims = aims;
    if (fSetup.FaultEvery != 0 && fPackets % fSetup.FaultEvery == 0)
        return Hostile(packet, fSetup.Fault);
    if (fSetup.InvertEvery != 0 && fPackets % fSetup.InvertEvery == 0)
        Invert(packet);
    return packet;
}

std::vector<uint8_t> TSimWirelessSensor::StatusPacket(TSimWirelessStatus AKind) {
    bool v3 = fSetup.ModelCode == 8;
    std::vector<uint8_t> bytes;
    if (!WD03Family()) {
        bytes = Header(6, true);
        bytes[4] = AKind == TSimWirelessStatus::NoSignal ? 1 : 0;
        bytes[5] = fSetup.BatteryByte;
    } else if (AKind == TSimWirelessStatus::WeakSignal) {
        bytes = Header(v3 ? 16 : 15, true);
        for (int i = 0; i < 8; ++i)
            bytes[4 + i] = uint8_t(10 + i);
        bytes[12] = fSetup.BatteryByte;
    } else {
        bytes = Header(v3 ? 19 : 18, true);
        bytes[15] = fSetup.BatteryByte;
    }
    if (v3 && WD03Family())
        bytes.back() = fSetup.StatusBits;
    return bytes;
}

std::vector<uint8_t> TSimWirelessSensor::CommandEcho(uint8_t AType, uint8_t ASymbol) const {
    std::vector<uint8_t> bytes = Header(7, true);
    bytes[4] = AType;
    bytes[5] = ASymbol;
    return bytes;
}

bool TSimWirelessSensor::ApplyCommand(const std::vector<uint8_t>& ACommand) {
    if (!WD03Family() || ACommand.size() < 2 || ACommand[1] != ACommand.size() - 2)
        return false;
    const uint8_t* data = ACommand.data() + 2;
    const size_t length = ACommand.size() - 2;
    const bool hasFuse = fSetup.ModelCode == 7 || fSetup.ModelCode == 8;
    switch (ACommand[0]) {
    case 0xF0: {
        if (length != 4)
            return false;
        const uint32_t raw = GetLE32(data);
        // The distance word of ordinary packets gives the same scale as the raw word.
        const double distance = double(raw) * 500000 / KRawScaleUnit;
        if (raw == 0 || distance > 0xFFFF)
            return false;
        fRawScaleWord = raw;
        fDistanceWord = uint16_t(std::lround(distance));
        return true;
    }
    case 0xF1:
        if (length != 2)
            return false;
        fSetup.Serial = GetLE16(data);
        return true;
    case 0xF2:
    case 0xF3:
        if (fSetup.ModelCode != 5 || length != 0)
            return false;
        fVoltageStep = std::clamp(fVoltageStep + (ACommand[0] == 0xF2 ? 1 : -1), -8, 8);
        return true;
    case 0xF8:
    case 0xF9: {
        if (!hasFuse)
            return false;
        // A wrong password is taken but changes nothing: the status bits tell the host.
        if (std::string(data, data + length) == fSetup.FusePassword)
            fSetup.StatusBits =
                uint8_t(ACommand[0] == 0xF8 ? fSetup.StatusBits | 0x02 : fSetup.StatusBits & ~0x02);
        return true;
    }
    default:
        return false;
    }
}
