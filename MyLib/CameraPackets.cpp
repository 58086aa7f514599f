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

float Single(const uint8_t* AAt) {
    return std::bit_cast<float>(GetLE32(AAt));
}

// Protocols 11, 16, 17 and 18.
void DecodeCurrent(const uint8_t* b, bool AWithVref, TQVDataPacket_V1& P) {
    P.wBitmapX = b[8];
    P.wBitmapY = b[9];
    P.wImageWidth = b[10];
    P.wImageHeight = b[11];
    P.bRowBin = b[12];
    P.bImageFound = b[13];
    P.wAverageBlack = GetLE16(b + 14);
    P.X = Single(b + 16);
    P.Y = Single(b + 20);
    P.wShutterWidth = GetLE16(b + 24);
    P.wPacketIndex = GetLE16(b + 26);
    P.dwTimer = GetLE32(b + 28);
    P.dwShockValue = P.wShockEdgeValue = GetLE16(b + 32);
    P.dwShockPhase = GetLE32(b + 34);
    P.dwShockPreSum = GetLE32(b + 38);
    P.wAxisX = GetLE16(b + 42);
    P.wAxisY = GetLE16(b + 44);
    P.wAxisZ = GetLE16(b + 46);
    P.dwAccValue = GetLE32(b + 48);
    P.wAnalogGain = b[52];
    P.bPiezoState = b[53];
    if (AWithVref)
        P.bVref = b[54];
}

// Protocols 10 and 2 share the head of the layout; the shock and accelerometer words moved.
void DecodeByteWindow(const uint8_t* b, TQVDataPacket_V1& P) {
    P.wBitmapX = b[8];
    P.wBitmapY = b[9];
    P.wImageWidth = P.wImageHeight = b[10];
    P.bRowBin = b[11];
    P.wAverageBlack = GetLE16(b + 12);
    P.X = Single(b + 14);
    P.Y = Single(b + 18);
    P.wShutterWidth = GetLE16(b + 22);
    P.wPacketIndex = GetLE16(b + 24);
    P.dwTimer = GetLE32(b + 26);
}

void DecodeProtocol10(const uint8_t* b, TQVDataPacket_V1& P) {
    DecodeByteWindow(b, P);
    P.dwShockValue = P.wShockEdgeValue = GetLE16(b + 30);
    P.dwShockPhase = GetLE32(b + 32);
    P.dwShockPreSum = GetLE32(b + 36);
    P.wAxisX = GetLE16(b + 40);
    P.wAxisY = GetLE16(b + 42);
    P.wAxisZ = GetLE16(b + 44);
    P.dwAccValue = GetLE32(b + 46);
    P.wAnalogGain = GetLE16(b + 50);
    P.bImageFound = b[52];
    P.bPiezoState = b[53];
}

void DecodeProtocol2(const uint8_t* b, TQVDataPacket_V1& P) {
    DecodeByteWindow(b, P);
    P.dwShockValue = P.wShockEdgeValue = GetLE16(b + 34);
    P.dwShockPhase = GetLE32(b + 30);
    P.dwShockPreSum = 4096;
    P.wAxisX = GetLE16(b + 36);
    P.wAxisY = GetLE16(b + 38);
    P.wAxisZ = GetLE16(b + 40);
    P.dwAccValue = GetLE32(b + 42);
    P.wAnalogGain = GetLE16(b + 46);
    P.bImageFound = b[48];
    P.bPiezoState = P.dwShockPhase != 0 ? 4 : 0;
}

void DecodeProtocol1(const uint8_t* b, TQVDataPacket_V1& P) {
    P.wBitmapX = GetLE16(b + 8);
    P.wBitmapY = GetLE16(b + 10);
    P.wImageWidth = P.wImageHeight = GetLE16(b + 12);
    P.bRowBin = b[49];
    P.wAverageBlack = GetLE16(b + 14);
    P.X = Single(b + 16);
    P.Y = Single(b + 20);
    P.wShutterWidth = GetLE16(b + 24);
    P.wPacketIndex = GetLE16(b + 26);
    P.dwTimer = GetLE32(b + 28);
    P.dwShockValue = P.wShockEdgeValue = GetLE16(b + 32);
    P.dwShockPhase = GetLE16(b + 34);
    P.dwShockPreSum = 0;
    P.wAxisX = GetLE16(b + 40);
    P.wAxisY = GetLE16(b + 42);
    P.wAxisZ = GetLE16(b + 44);
    P.dwAccValue = GetLE16(b + 32);
    P.wAnalogGain = GetLE16(b + 46);
    P.bImageFound = b[48];
    P.bPiezoState = 0;
}

} // namespace

bool QVHasDecoder(uint16_t AProtocolMajor) {
    return QVHeaderSize(AProtocolMajor) != 0;
}

size_t QVHeaderSize(uint16_t AProtocolMajor) {
    switch (AProtocolMajor) {
    case 1:
        return 50;
    case 2:
        return 49;
    case 10:
    case 11:
    case 16:
    case 17:
        return 54;
    case 18:
        return 55;
    default:
        return 0;
    }
}

bool QVDecodeHeader(uint16_t AProtocolMajor, const uint8_t* ABlock, size_t ACount,
                    const TQVDecodeContext& AContext, TQVDataPacket_V1& APacket) {
    const size_t need = QVHeaderSize(AProtocolMajor);
    if (need == 0 || ACount < need)
        return false;
    TQVDataPacket_V1 p;
    p.bPacketId = ABlock[1];
    p.dwPacketSize = GetLE16(ABlock + 2);
    p.wStartX = GetLE16(ABlock + 4);
    p.wStartY = GetLE16(ABlock + 6);
    p.bVref = AContext.VrefADC;
    switch (AProtocolMajor) {
    case 1:
        DecodeProtocol1(ABlock, p);
        break;
    case 2:
        DecodeProtocol2(ABlock, p);
        break;
    case 10:
        DecodeProtocol10(ABlock, p);
        break;
    default:
        DecodeCurrent(ABlock, AProtocolMajor == 18, p);
        break;
    }
    p.Scale = AContext.Scale;
    p.wShockEdgeStart = 0;
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
