#include "MyLib/CameraPackets.h"

#include "platform/LittleEndian.h"

#include <bit>
#include <cstdio>

namespace {

// The part of the whole image's size that its 16-bit size field cannot carry.
constexpr uint32_t KFullImageHighPart = (uint32_t(KQVFullImageWidth) * KQVFullImageHeight) & 0xFFFF0000u;
// Where an NMI packet carries its fault record, and the bytes the record needs.
constexpr size_t KNmiRecordAt = 10;
constexpr size_t KNmiRecordEnd = KNmiRecordAt + 8;

// Where a layout keeps a field: byte offset and width (1, 2 or 4), or, with At < 0, a fixed value
// (0 unless given).
struct TField {
    int At;
    int Size;
    uint32_t Fixed = 0;
};
constexpr TField KAbsent{-1, 0};

// One header layout. Without a height field the height is the width; without a reference ADC field
// the sensor's value holds; protocol 2 tells a shock by its phase.
struct TLayout {
    size_t Size;
    TField BitmapX, BitmapY, Width, Height, RowBin, Found, AverageBlack, X, Y, Shutter, Index, Timer;
    TField ShockValue, ShockPhase, PreSum, AxisX, AxisY, AxisZ, AccValue, Gain, Piezo, Vref;
};

// Protocols 1, 2, 10, 11 (also 16 and 17) and 18.
constexpr TLayout KProtocol1{50,      {8, 2},  {10, 2}, {12, 2}, KAbsent, {49, 1},    {48, 1}, {14, 2},
                             {16, 4}, {20, 4}, {24, 2}, {26, 2}, {28, 4}, {32, 2},    {34, 2}, KAbsent,
                             {40, 2}, {42, 2}, {44, 2}, {32, 2}, {46, 2}, KAbsent, KAbsent};
constexpr TLayout KProtocol2{49,      {8, 1},  {9, 1},  {10, 1}, KAbsent, {11, 1}, {48, 1}, {12, 2},
                             {14, 4}, {18, 4}, {22, 2}, {24, 2}, {26, 4}, {34, 2}, {30, 4}, {-1, 0, 4096},
                             {36, 2}, {38, 2}, {40, 2}, {42, 4}, {46, 2}, KAbsent, KAbsent};
constexpr TLayout KProtocol10{54,      {8, 1},  {9, 1},  {10, 1}, KAbsent, {11, 1}, {52, 1}, {12, 2},
                              {14, 4}, {18, 4}, {22, 2}, {24, 2}, {26, 4}, {30, 2}, {32, 4}, {36, 4},
                              {40, 2}, {42, 2}, {44, 2}, {46, 4}, {50, 2}, {53, 1}, KAbsent};
constexpr TLayout KProtocol11{54,      {8, 1},  {9, 1},  {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 2},
                              {16, 4}, {20, 4}, {24, 2}, {26, 2}, {28, 4}, {32, 2}, {34, 4}, {38, 4},
                              {42, 2}, {44, 2}, {46, 2}, {48, 4}, {52, 1}, {53, 1}, KAbsent};
constexpr TLayout KProtocol18{55,      {8, 1},  {9, 1},  {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 2},
                              {16, 4}, {20, 4}, {24, 2}, {26, 2}, {28, 4}, {32, 2}, {34, 4}, {38, 4},
                              {42, 2}, {44, 2}, {46, 2}, {48, 4}, {52, 1}, {53, 1}, {54, 1}};

const TLayout* Layout(uint16_t AProtocolMajor) {
    switch (AProtocolMajor) {
    case 1:
        return &KProtocol1;
    case 2:
        return &KProtocol2;
    case 10:
        return &KProtocol10;
    case 11:
    case 16:
    case 17:
        return &KProtocol11;
    case 18:
        return &KProtocol18;
    default:
        return nullptr;
    }
}

uint32_t Read(const uint8_t* ABlock, const TField& AField) {
    switch (AField.Size) {
    case 1:
        return ABlock[AField.At];
    case 2:
        return GetLE16(ABlock + AField.At);
    case 4:
        return GetLE32(ABlock + AField.At);
    default:
        return AField.Fixed;
    }
}

} // namespace

bool QVHasDecoder(uint16_t AProtocolMajor) {
    return Layout(AProtocolMajor) != nullptr;
}

size_t QVHeaderSize(uint16_t AProtocolMajor) {
    const TLayout* layout = Layout(AProtocolMajor);
    return layout ? layout->Size : 0;
}

bool QVDecodeHeader(uint16_t AProtocolMajor, const uint8_t* ABlock, size_t ACount,
                    const TQVDecodeContext& AContext, TQVDataPacket_V1& APacket) {
    const TLayout* layout = Layout(AProtocolMajor);
    if (!layout || ACount < layout->Size)
        return false;
    const TLayout& L = *layout;
    auto read = [ABlock](const TField& AField) { return Read(ABlock, AField); };
    TQVDataPacket_V1 p;
    p.bPacketId = ABlock[1];
    p.dwPacketSize = GetLE16(ABlock + 2);
    p.wStartX = GetLE16(ABlock + 4);
    p.wStartY = GetLE16(ABlock + 6);
    p.wBitmapX = uint16_t(read(L.BitmapX));
    p.wBitmapY = uint16_t(read(L.BitmapY));
    p.wImageWidth = uint16_t(read(L.Width));
    p.wImageHeight = L.Height.At < 0 ? p.wImageWidth : uint16_t(read(L.Height));
    p.bRowBin = uint8_t(read(L.RowBin));
    p.bImageFound = uint8_t(read(L.Found));
    p.wAverageBlack = uint16_t(read(L.AverageBlack));
    p.X = std::bit_cast<float>(read(L.X));
    p.Y = std::bit_cast<float>(read(L.Y));
    p.Scale = AContext.Scale;
    p.wShutterWidth = uint16_t(read(L.Shutter));
    p.wPacketIndex = uint16_t(read(L.Index));
    p.dwTimer = read(L.Timer);
    p.dwShockValue = read(L.ShockValue);
    p.wShockEdgeValue = uint16_t(p.dwShockValue);
    p.wShockEdgeStart = 0;
    p.dwShockPhase = read(L.ShockPhase);
    p.dwShockPreSum = read(L.PreSum);
    p.wAxisX = uint16_t(read(L.AxisX));
    p.wAxisY = uint16_t(read(L.AxisY));
    p.wAxisZ = uint16_t(read(L.AxisZ));
    p.dwAccValue = read(L.AccValue);
    p.wAnalogGain = uint16_t(read(L.Gain));
    // Protocol 2 tells a shock by its phase.
    p.bPiezoState =
        L.Piezo.Size == 0 && AProtocolMajor == 2 ? (p.dwShockPhase != 0 ? 4 : 0) : uint8_t(read(L.Piezo));
    p.bVref = L.Vref.At < 0 ? AContext.VrefADC : uint8_t(read(L.Vref));
    if (p.bPacketId == QV_PACKET_FULL_IMAGE) {
        p.wImageWidth = KQVFullImageWidth;
        p.wImageHeight = KQVFullImageHeight;
        p.dwPacketSize += KFullImageHighPart;
    }
    APacket = p;
    return true;
}

std::string QVFaultLine(const uint8_t* ABlock, size_t ACount) {
    if (ACount < 2)
        return {};
    switch (ABlock[1]) {
    case QV_PACKET_STACK_ERROR:
        return "KelvoUsbQVSensor::ProceedStackErrorPacket";
    case QV_PACKET_MT9_ERROR:
        return "KelvoUsbQVSensor::ProceedMT9ErrorPacket";
    case QV_PACKET_NMI_INFO:
    case QV_PACKET_NMI_INFO_2: {
        if (ACount < KNmiRecordEnd)
            return {};
        const uint8_t* info = ABlock + KNmiRecordAt;
        const unsigned univ = GetLE16(info + 4), berr = GetLE16(info + 6);
        char line[120];
        std::snprintf(line, sizeof line,
                      "KelvoUsbQVSensor::ProceedNMIInfoPacket - 0x%x, UNIV=0x%x, BERR=0x%x, SNIV=0x%x",
                      unsigned(info[0]), univ, berr, univ);
        return line;
    }
    default:
        return {};
    }
}

const std::array<TQVBitmap::TRgb, 256>& TQVBitmap::GreyPalette() {
    static const std::array<TRgb, 256> palette = [] {
        std::array<TRgb, 256> entries{};
        for (size_t i = 0; i < entries.size(); ++i)
            entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
        return entries;
    }();
    return palette;
}
