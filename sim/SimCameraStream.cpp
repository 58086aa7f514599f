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

void PutSingle(uint8_t* AAt, float AValue) {
    PutLE32(AAt, std::bit_cast<uint32_t>(AValue));
}

} // namespace

TSimCameraStream::TSimCameraStream(uint32_t ASeed, uint16_t AFirstIndex)
    : fPath(ASeed), fIndex(AFirstIndex) {}

std::vector<uint8_t> TSimCameraStream::HeaderBlock(uint16_t AProtocol, const THeader& H) {
    std::vector<uint8_t> block(SIM_QV_BLOCK_SIZE, 0);
    uint8_t* b = block.data();
    b[1] = H.Id;
    PutLE16(b + 2, H.Size);
    PutLE16(b + 4, H.StartX);
    PutLE16(b + 6, H.StartY);
    if (AProtocol == 1) {
        PutLE16(b + 8, H.BitmapX);
        PutLE16(b + 10, H.BitmapY);
        PutLE16(b + 12, H.Width);
        PutLE16(b + 14, H.AverageBlack);
        PutSingle(b + 16, H.X);
        PutSingle(b + 20, H.Y);
        PutLE16(b + 24, H.Shutter);
        PutLE16(b + 26, H.Index);
        PutLE32(b + 28, H.Timer);
        PutLE16(b + 32, H.ShockValue);
        PutLE16(b + 34, uint16_t(H.ShockPhase));
        PutLE16(b + 40, H.AxisX);
        PutLE16(b + 42, H.AxisY);
        PutLE16(b + 44, H.AxisZ);
        PutLE16(b + 46, H.Gain);
        b[48] = H.Found;
        b[49] = H.RowBin;
        return block;
    }
    if (AProtocol == 2 || AProtocol == 10) {
        b[8] = H.BitmapX;
        b[9] = H.BitmapY;
        b[10] = H.Width;
        b[11] = H.RowBin;
        PutLE16(b + 12, H.AverageBlack);
        PutSingle(b + 14, H.X);
        PutSingle(b + 18, H.Y);
        PutLE16(b + 22, H.Shutter);
        PutLE16(b + 24, H.Index);
        PutLE32(b + 26, H.Timer);
        if (AProtocol == 2) {
            PutLE32(b + 30, H.ShockPhase);
            PutLE16(b + 34, H.ShockValue);
            PutLE16(b + 36, H.AxisX);
            PutLE16(b + 38, H.AxisY);
            PutLE16(b + 40, H.AxisZ);
            PutLE32(b + 42, H.AccValue);
            PutLE16(b + 46, H.Gain);
            b[48] = H.Found;
        } else {
            PutLE16(b + 30, H.ShockValue);
            PutLE32(b + 32, H.ShockPhase);
            PutLE32(b + 36, H.PreSum);
            PutLE16(b + 40, H.AxisX);
            PutLE16(b + 42, H.AxisY);
            PutLE16(b + 44, H.AxisZ);
            PutLE32(b + 46, H.AccValue);
            PutLE16(b + 50, H.Gain);
            b[52] = H.Found;
            b[53] = H.Piezo;
        }
        return block;
    }
    b[8] = H.BitmapX;
    b[9] = H.BitmapY;
    b[10] = H.Width;
    b[11] = H.Height;
    b[12] = H.RowBin;
    b[13] = H.Found;
    PutLE16(b + 14, H.AverageBlack);
    PutSingle(b + 16, H.X);
    PutSingle(b + 20, H.Y);
    PutLE16(b + 24, H.Shutter);
    PutLE16(b + 26, H.Index);
    PutLE32(b + 28, H.Timer);
    PutLE16(b + 32, H.ShockValue);
    PutLE32(b + 34, H.ShockPhase);
    PutLE32(b + 38, H.PreSum);
    PutLE16(b + 42, H.AxisX);
    PutLE16(b + 44, H.AxisY);
    PutLE16(b + 46, H.AxisZ);
    PutLE32(b + 48, H.AccValue);
    b[52] = uint8_t(H.Gain);
    b[53] = H.Piezo;
    b[54] = H.Vref; // read by the host from protocol 18 on
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
