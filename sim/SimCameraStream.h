#pragma once
// What the simulated camera sensor sends while it measures: one packet per frame with a wrapping
// packet index, the mark's pixel position computed from an aiming path (the optical sensor's
// simulation's), and on request the image of the measuring window (ids 3 and 5) or the whole image
// (id 6). A packet is a 64-byte header block and, for an image, continuation blocks carrying its
// running index. The header layouts of every protocol version are written here from the byte tables,
// sharing nothing with the library. Faults can be injected every N packets.
#include "sim/SimOpticalStream.h"

#include <cstdint>
#include <vector>

constexpr size_t SIM_QV_BLOCK_SIZE = 64;
constexpr uint16_t SIM_QV_FULL_WIDTH = 480;
constexpr uint16_t SIM_QV_FULL_HEIGHT = 472;

enum class TSimCameraFault {
    None,
    BadSize,       // family driver: a record claiming more than the read carries; generic: a packet
                   // size below its header block
    BadMarker,     // family driver: a record without its 0x88; generic: a block outside any packet
    BadHeader,     // a header block cut to 30 bytes
    BadIndex,      // a window image whose second continuation block carries a wrong index
    NonFinite,     // a found mark at a position that is not a number
    OversizedRead, // family driver: one read of 10,240 bytes, its last record cut
    ShortFault,    // a fault report (id 130) too short for its fault record
};

// One piece of the stream: a block, which the family driver carries as a 0x88 record and the
// generic driver as one bulk IN packet; or, with WholeRead, the exact bytes of one family-driver read.
struct TSimCameraTransfer {
    bool WholeRead = false;
    std::vector<uint8_t> Bytes;
};

// How the next packet is made: the sensor's settings while it is sent.
struct TSimCameraFrame {
    uint16_t Protocol = 18;
    uint8_t ImageId = 0;    // 0: no image; 3, 5: the window; 6: the whole image
    int X0 = 501, Y0 = 240; // window origin: where the mark is when the aim is at the centre
    uint16_t FrameWidth = 80, FrameHeight = 80;
    double PixelsPerMm = 1; // of the target, at the scene's distance
    uint8_t RowBin = 4;
    uint8_t Vref = 0;
    uint16_t AnalogGain = 64;
    uint16_t ShutterWidth = 32;
    uint16_t FrameRate = 100;
    TSimCameraFault Fault = TSimCameraFault::None;
    uint32_t FaultEvery = 0; // 0: never
    bool FamilyDriver = false;
};

class TSimCameraStream {
public:
    explicit TSimCameraStream(uint32_t ASeed = 1, uint16_t AFirstIndex = 0);
    // The transfers of the next packet and the aim it encodes.
    std::vector<TSimCameraTransfer> NextPacket(const TSimCameraFrame& AFrame, TSimAimSample* AAim = nullptr);
    uint16_t PacketIndex() const { return fIndex; }

    // The header block of a packet as the protocol lays it out (64 bytes).
    struct THeader {
        uint8_t Id = 2;
        uint16_t Size = SIM_QV_BLOCK_SIZE; // the packet size field
        uint16_t StartX = 0, StartY = 0;
        uint8_t BitmapX = 0, BitmapY = 0, Width = 0, Height = 0, RowBin = 4, Found = 1;
        uint16_t AverageBlack = 40;
        float X = 0, Y = 0;
        uint16_t Shutter = 32, Index = 0;
        uint32_t Timer = 0;
        uint16_t ShockValue = 0;
        uint32_t ShockPhase = 0, PreSum = 0;
        uint16_t AxisX = 2048, AxisY = 2048, AxisZ = 3072;
        uint32_t AccValue = 0;
        uint16_t Gain = 64;
        uint8_t Piezo = 0, Vref = 0;
    };
    static std::vector<uint8_t> HeaderBlock(uint16_t AProtocol, const THeader& AHeader);
    // The continuation blocks of an image: id 6 blocks start 1, index, 0; others with the index.
    static std::vector<std::vector<uint8_t>> ContinuationBlocks(uint8_t AId,
                                                                const std::vector<uint8_t>& AImage);
    // A grey image with a dark round mark at (AX, AY).
    static std::vector<uint8_t> Image(uint16_t AWidth, uint16_t AHeight, double AX, double AY);

private:
    TSimAimPath fPath;
    uint16_t fIndex;
    uint64_t fPackets = 0;
    bool fFoundBefore = false;
};
