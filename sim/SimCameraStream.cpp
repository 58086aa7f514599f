#include "sim/SimCameraStream.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr size_t KOversizedRead = 10240;
constexpr uint8_t KFoundAnew = 0x04;
constexpr uint8_t KPiezoShock = 4;
constexpr uint16_t KTemperatureTenths = 253;
constexpr uint8_t KBackground = 180, KMark = 20;
constexpr double KMarkRadius = 6;

std::vector<uint8_t> Record(const std::vector<uint8_t>& AData, uint32_t ALength, uint8_t AMarker = 0x88) {
    std::vector<uint8_t> bytes(5 + AData.size(), AMarker);
    PutLE32(bytes.data() + 1, ALength);
    std::copy(AData.begin(), AData.end(), bytes.begin() + 5);
    return bytes;
}

} // namespace

TSimCameraStream::TSimCameraStream(uint32_t ASeed, uint16_t AFirstIndex)
    : fPath(ASeed), fIndex(AFirstIndex) {}

std::vector<uint8_t> TSimCameraStream::HeaderBlock(uint16_t AProtocol, const THeader& H) {
    // Each field's place (offset, width) by layout: protocols 1, 2, 10, 11 to 17, 18; width 0: not sent.
    struct TPlace {
        int At, Width;
    };
    struct TField {
        uint32_t Value;
        TPlace Places[5];
    };
    const uint32_t x = std::bit_cast<uint32_t>(H.X), y = std::bit_cast<uint32_t>(H.Y);
    const TField fields[] = {
        {H.BitmapX, {{8, 2}, {8, 1}, {8, 1}, {8, 1}, {8, 1}}},
        {H.BitmapY, {{10, 2}, {9, 1}, {9, 1}, {9, 1}, {9, 1}}},
        {H.Width, {{12, 2}, {10, 1}, {10, 1}, {10, 1}, {10, 1}}},
        {H.Height, {{0, 0}, {0, 0}, {0, 0}, {11, 1}, {11, 1}}},
        {H.RowBin, {{49, 1}, {11, 1}, {11, 1}, {12, 1}, {12, 1}}},
        {H.Found, {{48, 1}, {48, 1}, {52, 1}, {13, 1}, {13, 1}}},
        {H.AverageBlack, {{14, 2}, {12, 2}, {12, 2}, {14, 2}, {14, 2}}},
        {x, {{16, 4}, {14, 4}, {14, 4}, {16, 4}, {16, 4}}},
        {y, {{20, 4}, {18, 4}, {18, 4}, {20, 4}, {20, 4}}},
        {H.Shutter, {{24, 2}, {22, 2}, {22, 2}, {24, 2}, {24, 2}}},
        {H.Index, {{26, 2}, {24, 2}, {24, 2}, {26, 2}, {26, 2}}},
        {H.Timer, {{28, 4}, {26, 4}, {26, 4}, {28, 4}, {28, 4}}},
        {H.ShockValue, {{32, 2}, {34, 2}, {30, 2}, {32, 2}, {32, 2}}},
        {H.ShockPhase, {{34, 2}, {30, 4}, {32, 4}, {34, 4}, {34, 4}}},
        {H.PreSum, {{0, 0}, {0, 0}, {36, 4}, {38, 4}, {38, 4}}},
        {H.AxisX, {{40, 2}, {36, 2}, {40, 2}, {42, 2}, {42, 2}}},
        {H.AxisY, {{42, 2}, {38, 2}, {42, 2}, {44, 2}, {44, 2}}},
        {H.AxisZ, {{44, 2}, {40, 2}, {44, 2}, {46, 2}, {46, 2}}},
        {H.AccValue, {{0, 0}, {42, 4}, {46, 4}, {48, 4}, {48, 4}}},
        {H.Gain, {{46, 2}, {46, 2}, {50, 2}, {52, 1}, {52, 1}}},
        {H.Piezo, {{0, 0}, {0, 0}, {53, 1}, {53, 1}, {53, 1}}},
        {H.Vref, {{0, 0}, {0, 0}, {0, 0}, {54, 1}, {54, 1}}}, // read by the host from protocol 18 on
    };
    const int layout = AProtocol == 1    ? 0
                       : AProtocol == 2  ? 1
                       : AProtocol == 10 ? 2
                       : AProtocol == 18 ? 4
                                         : 3;
    std::vector<uint8_t> block(SIM_QV_BLOCK_SIZE, 0);
    uint8_t* b = block.data();
    b[1] = H.Id;
    PutLE16(b + 2, H.Size);
    PutLE16(b + 4, H.StartX);
    PutLE16(b + 6, H.StartY);
    for (const TField& field : fields) {
        const TPlace place = field.Places[layout];
        if (place.Width == 1)
            b[place.At] = uint8_t(field.Value);
        else if (place.Width == 2)
            PutLE16(b + place.At, uint16_t(field.Value));
        else if (place.Width == 4)
            PutLE32(b + place.At, field.Value);
    }
    return block;
}

std::vector<std::vector<uint8_t>> TSimCameraStream::ContinuationBlocks(uint8_t AId,
                                                                       const std::vector<uint8_t>& AImage) {
    const bool full = AId == 6;
    const size_t prefix = full ? 3 : 1, room = SIM_QV_BLOCK_SIZE - prefix;
    std::vector<std::vector<uint8_t>> blocks;
    uint8_t index = 0;
    for (size_t at = 0; at < AImage.size(); at += room) {
        const size_t n = std::min(room, AImage.size() - at);
        std::vector<uint8_t> block(prefix + n, 0);
        ++index;
        if (full) {
            block[0] = 1;
            block[1] = index;
        } else {
            block[0] = index;
        }
        std::copy_n(AImage.begin() + std::ptrdiff_t(at), n, block.begin() + std::ptrdiff_t(prefix));
        blocks.push_back(std::move(block));
    }
    return blocks;
}

std::vector<uint8_t> TSimCameraStream::Image(uint16_t AWidth, uint16_t AHeight, double AX, double AY) {
    std::vector<uint8_t> pixels(size_t(AWidth) * AHeight, KBackground);
    for (uint16_t row = 0; row < AHeight; ++row)
        for (uint16_t column = 0; column < AWidth; ++column)
            if (std::hypot(column - AX, row - AY) <= KMarkRadius)
                pixels[size_t(row) * AWidth + column] = KMark;
    return pixels;
}

std::vector<TSimCameraTransfer> TSimCameraStream::NextPacket(const TSimCameraFrame& AFrame,
                                                             TSimAimSample* AAim) {
    const TSimAimSample aim = fPath.Next();
    if (AAim)
        *AAim = aim;
    ++fPackets;
    const TSimCameraFault fault =
        AFrame.FaultEvery != 0 && fPackets % AFrame.FaultEvery == 0 ? AFrame.Fault : TSimCameraFault::None;
    const bool square = AFrame.Protocol <= 10;
    const uint8_t width = uint8_t(std::min<uint16_t>(AFrame.FrameWidth, 255));
    const uint8_t height = square ? width : uint8_t(std::min<uint16_t>(AFrame.FrameHeight, 255));

    THeader h;
    h.Index = fIndex++;
    h.Timer = uint32_t(fPackets * 1000 / std::max<uint16_t>(AFrame.FrameRate, 1));
    h.X = float(AFrame.X0 - aim.XMm * AFrame.PixelsPerMm);
    h.Y = float(AFrame.Y0 + aim.YMm * AFrame.PixelsPerMm);
    h.StartX = uint16_t(std::max(0, AFrame.X0 - width / 2));
    h.StartY = uint16_t(std::max(0, AFrame.Y0 - height / 2));
    h.Width = width;
    h.Height = height;
    h.RowBin = AFrame.RowBin;
    h.Found = uint8_t(1 | (fFoundBefore ? 0 : KFoundAnew));
    fFoundBefore = true;
    h.Shutter = AFrame.ShutterWidth;
    h.Gain = AFrame.AnalogGain;
    h.Vref = AFrame.Vref;
    h.ShockValue = aim.Shot ? 3000 : 40;
    h.Piezo = aim.Shot ? KPiezoShock : 0;
    // Without a shot the shock phase word carries the temperature in tenths of a degree; the oldest
    // layouts tell a shot by a phase that is not 0.
    h.ShockPhase = aim.Shot ? 123 : AFrame.Protocol <= 2 ? 0 : KTemperatureTenths;
    h.PreSum = aim.Shot ? 5000 : 0;
    h.AccValue = aim.Shot ? 900 : 10;
    if (fault == TSimCameraFault::NonFinite)
        h.X = std::numeric_limits<float>::quiet_NaN();

    const uint8_t id = fault == TSimCameraFault::BadIndex ? 3 : AFrame.ImageId;
    std::vector<uint8_t> image;
    if (id == 3 || id == 5) {
        image = Image(width, height, h.X - h.StartX, h.Y - h.StartY);
        h.Size = uint16_t(SIM_QV_BLOCK_SIZE + image.size());
    } else if (id == 6) {
        image = Image(SIM_QV_FULL_WIDTH, SIM_QV_FULL_HEIGHT, h.X * SIM_QV_FULL_WIDTH / 752,
                      h.Y * SIM_QV_FULL_HEIGHT / 480);
        h.Size = uint16_t(SIM_QV_BLOCK_SIZE + image.size()); // the host adds what 16 bits cannot hold
    }
    if (id != 0)
        h.Id = id;
    if (fault == TSimCameraFault::BadSize && !AFrame.FamilyDriver)
        h.Size = 10;

    std::vector<uint8_t> header = HeaderBlock(AFrame.Protocol, h);
    if (fault == TSimCameraFault::BadHeader)
        header.resize(30);
    std::vector<TSimCameraTransfer> out;
    switch (fault) {
    case TSimCameraFault::BadSize:
        if (AFrame.FamilyDriver) {
            out.push_back({true, Record(header, 0xFFFFFF00u)});
            return out;
        }
        break;
    case TSimCameraFault::BadMarker:
        if (AFrame.FamilyDriver) {
            out.push_back({true, Record(header, uint32_t(header.size()), 0x77)});
            return out;
        }
        out.push_back({false, {5, 1, 2, 3}});
        break;
    case TSimCameraFault::OversizedRead:
        if (AFrame.FamilyDriver) {
            std::vector<uint8_t> read;
            const std::vector<uint8_t> record = Record(header, uint32_t(header.size()));
            while (read.size() < KOversizedRead)
                read.insert(read.end(), record.begin(), record.end());
            read.resize(KOversizedRead);
            out.push_back({true, read});
            return out;
        }
        break;
    case TSimCameraFault::ShortFault:
        out.push_back({false, {0, 130, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}});
        break;
    default:
        break;
    }
    out.push_back({false, header});
    std::vector<std::vector<uint8_t>> blocks = ContinuationBlocks(id, image);
    if (fault == TSimCameraFault::BadIndex && blocks.size() > 1)
        blocks[1][0] = uint8_t(blocks[1][0] + 7);
    for (auto& block : blocks)
        out.push_back({false, std::move(block)});
    return out;
}
