#pragma once
// The camera sensor's packets: the decoded packet record, the header layouts of every protocol
// version (a header block is the first USB block of a packet; its extra data, an image, follows in
// continuation blocks), the fault packets, and the grey bitmap an image is shown as.
// Every byte is the device's: a block shorter than its layout is refused, never read past.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Packet ids of the header block (byte 1).
enum : uint8_t {
    QV_PACKET_POINT = 2,      // the mark's position, no image
    QV_PACKET_IMAGE = 3,      // with the image of the measuring window
    QV_PACKET_IMAGE_ALT = 5,  // the same, second kind
    QV_PACKET_FULL_IMAGE = 6, // with the whole image
    QV_PACKET_STACK_ERROR = 128,
    QV_PACKET_MT9_ERROR = 129,
    QV_PACKET_NMI_INFO = 130,
    QV_PACKET_NMI_INFO_2 = 131,
};

// The whole image of packet id 6.
constexpr uint16_t KQVFullImageWidth = 480;
constexpr uint16_t KQVFullImageHeight = 472;

// A decoded packet (host side; its layout is the host's own).
struct TQVDataPacket_V1 {
    uint8_t bPacketId = 0;
    uint32_t dwPacketSize = 0; // bytes of the whole packet, its header block included
    uint16_t wStartX = 0;
    uint16_t wStartY = 0;
    uint16_t wBitmapX = 0;
    uint16_t wBitmapY = 0;
    uint16_t wImageWidth = 0;
    uint16_t wImageHeight = 0;
    uint16_t wAverageBlack = 0;
    float X = 0; // pixels
    float Y = 0;
    double Scale = 0; // millimetres per pixel
    uint16_t wShutterWidth = 0;
    uint16_t wPacketIndex = 0;
    uint32_t dwTimer = 0;
    uint16_t wAxisX = 0;
    uint16_t wAxisY = 0;
    uint16_t wAxisZ = 0;
    uint32_t dwAccValue = 0;
    uint16_t wAnalogGain = 0;
    uint8_t bImageFound = 0; // bit 0: mark found; bits 2, 3, 4: found anew
    uint8_t bRowBin = 0;
    uint32_t dwShockPhase = 0;
    uint32_t dwShockValue = 0;
    uint16_t wShockEdgeValue = 0;
    uint16_t wShockEdgeStart = 0;
    uint32_t dwShockPreSum = 0;
    uint8_t bPiezoState = 0;
    float fTemperature = 0;              // degrees Celsius
    const uint8_t* pExtraData = nullptr; // valid while the image event runs
    uint32_t dwExtraDataSize = 0;
    uint8_t bVref = 0;
};
using PQVDataPacket_V1 = TQVDataPacket_V1*;

// What a header takes from the sensor besides its bytes.
struct TQVDecodeContext {
    double Scale = 0;    // the sensor's millimetres per pixel
    uint8_t VrefADC = 0; // the sensor's reference ADC value (the header carries it from protocol 18)
};

// Whether a protocol major version has a header layout (1, 2, 10, 11, 16, 17, 18).
bool QVHasDecoder(uint16_t AProtocolMajor);
// Bytes a header block of that protocol needs (0 when there is no decoder).
size_t QVHeaderSize(uint16_t AProtocolMajor);
// Decodes a header block of ACount bytes into APacket: false, APacket unchanged, when the protocol
// has no decoder or the block is shorter than the layout. Id 6 takes the whole image's size and
// dimensions. Scale comes from the context and wShockEdgeStart is 0.
bool QVDecodeHeader(uint16_t AProtocolMajor, const uint8_t* ABlock, size_t ACount,
                    const TQVDecodeContext& AContext, TQVDataPacket_V1& APacket);

// The debugger line of a fault packet (ids 128 to 131); empty for any other id, and for an NMI
// packet too short to carry its fault record (from byte 10 on).
std::string QVFaultLine(const uint8_t* ABlock, size_t ACount);

// An 8-bit image with the grey palette: one byte per pixel, row after row.
struct TQVBitmap {
    struct TRgb {
        uint8_t Red, Green, Blue;
    };
    uint16_t Width = 0;
    uint16_t Height = 0;
    std::vector<uint8_t> Pixels;
    // Entry i is red i, green i, blue i; built once.
    static const std::array<TRgb, 256>& GreyPalette();
};
