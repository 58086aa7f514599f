// The camera stream against blocks laid out by the simulated sensor: the two sides write and read the
// layouts independently, so a mistake on either side shows here.
#include "MyLib/CameraStream.h"
#include "platform/LittleEndian.h"
#include "sim/SimCameraStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;
using THeader = TSimCameraStream::THeader;

THeader SampleHeader() {
    THeader h;
    h.StartX = 461, h.StartY = 200, h.BitmapX = 7, h.BitmapY = 9, h.Width = 40, h.Height = 30;
    h.RowBin = 2, h.Found = 1, h.AverageBlack = 77, h.X = 501.5f, h.Y = 239.25f, h.Shutter = 300;
    h.Index = 65535, h.Timer = 123456, h.ShockValue = 3000, h.ShockPhase = 321, h.PreSum = 9999;
    h.AxisX = 2100, h.AxisY = 2000, h.AxisZ = 3000, h.AccValue = 70000, h.Gain = 99, h.Piezo = 4, h.Vref = 12;
    return h;
}

TBytes Records(const std::vector<TBytes>& ABlocks) {
    TBytes bytes;
    for (const auto& block : ABlocks) {
        bytes.push_back(0x88);
        AppendLE32(bytes, uint32_t(block.size()));
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return bytes;
}

// A stream of protocol 18 recording its points and images.
struct TCapture {
    TCameraStream Stream;
    std::vector<TQueuedPoint_V1> Points;
    std::vector<TQVBitmap> Images;
    TCapture() {
        Stream.SetProtocol(18);
        Stream.Sensor().PixToMMScale = 0.5;
        Stream.SetOnNewPoint([this](const TQueuedPoint_V1& APoint) { Points.push_back(APoint); });
        Stream.SetOnImage(
            [this](const TQVDataPacket_V1&, const TQVBitmap& ABitmap) { Images.push_back(ABitmap); });
    }
    void Blocks(const std::vector<TBytes>& ABlocks) {
        for (const auto& block : ABlocks)
            Stream.DoData(block.data(), block.size());
    }
};

// A packet with an image: its header block and continuation blocks.
std::vector<TBytes> ImagePacket(uint8_t AId, uint16_t AWidth, uint16_t AHeight) {
    THeader h = SampleHeader();
    h.Id = AId, h.Width = uint8_t(AWidth), h.Height = uint8_t(AHeight);
    const TBytes image = TSimCameraStream::Image(AWidth, AHeight, AWidth / 2.0, AHeight / 2.0);
    h.Size = uint16_t(SIM_QV_BLOCK_SIZE + image.size());
    std::vector<TBytes> blocks{TSimCameraStream::HeaderBlock(18, h)};
    for (auto& block : TSimCameraStream::ContinuationBlocks(AId, image))
        blocks.push_back(block);
    return blocks;
}

} // namespace

TEST(CameraPackets, EveryProtocolLayoutDecodes) {
    const THeader h = SampleHeader();
    struct TCase {
        uint16_t Protocol;
        uint16_t Height, Gain;
        uint32_t AccValue, ShockPhase, PreSum;
        uint8_t Piezo, Vref;
    };
    for (const TCase& c :
         {TCase{1, 40, 99, 3000, 321, 0, 0, 5}, TCase{2, 40, 99, 70000, 321, 4096, 4, 5},
          TCase{10, 40, 99, 70000, 321, 9999, 4, 5}, TCase{11, 30, 99, 70000, 321, 9999, 4, 5},
          TCase{17, 30, 99, 70000, 321, 9999, 4, 5}, TCase{18, 30, 99, 70000, 321, 9999, 4, 12}}) {
        SCOPED_TRACE(c.Protocol);
        const TBytes block = TSimCameraStream::HeaderBlock(c.Protocol, h);
        TQVDataPacket_V1 p;
        ASSERT_TRUE(QVDecodeHeader(c.Protocol, block.data(), block.size(), {0.25, 5}, p));
        EXPECT_EQ(2, p.bPacketId);
        EXPECT_EQ(461, p.wStartX);
        EXPECT_EQ(7, p.wBitmapX);
        EXPECT_EQ(40, p.wImageWidth);
        EXPECT_EQ(c.Height, p.wImageHeight);
        EXPECT_EQ(2, p.bRowBin);
        EXPECT_EQ(77, p.wAverageBlack);
        EXPECT_EQ(501.5f, p.X);
        EXPECT_EQ(239.25f, p.Y);
        EXPECT_EQ(300, p.wShutterWidth);
        EXPECT_EQ(65535, p.wPacketIndex);
        EXPECT_EQ(123456u, p.dwTimer);
        EXPECT_EQ(3000u, p.dwShockValue);
        EXPECT_EQ(c.ShockPhase, p.dwShockPhase);
        EXPECT_EQ(c.PreSum, p.dwShockPreSum);
        EXPECT_EQ(2000, p.wAxisY);
        EXPECT_EQ(c.AccValue, p.dwAccValue);
        EXPECT_EQ(c.Gain, p.wAnalogGain);
        EXPECT_EQ(1, p.bImageFound);
        EXPECT_EQ(c.Piezo, p.bPiezoState);
        EXPECT_EQ(c.Vref, p.bVref);
        EXPECT_EQ(0.25, p.Scale);
        // One byte short of the layout is refused.
        EXPECT_FALSE(QVDecodeHeader(c.Protocol, block.data(), QVHeaderSize(c.Protocol) - 1, {}, p));
    }
    TQVDataPacket_V1 p;
    const TBytes block = TSimCameraStream::HeaderBlock(18, h);
    EXPECT_FALSE(QVDecodeHeader(12, block.data(), block.size(), {}, p)) << "no decoder";
}

TEST(CameraPackets, FaultLinesAndShortFaultPackets) {
    TBytes nmi = {0, 130, 0, 0, 0, 0, 0, 0, 0, 0, 0x5, 1, 0x34, 0x12, 0xCD, 0xAB, 0x0F, 0x00};
    EXPECT_EQ("KelvoUsbQVSensor::ProceedNMIInfoPacket - 0x5, UNIV=0xabcd, BERR=0xf, SNIV=0xabcd",
              QVFaultLine(nmi.data(), nmi.size()));
    EXPECT_EQ("", QVFaultLine(nmi.data(), nmi.size() - 1));
    TBytes stack = {0, 128};
    EXPECT_EQ("KelvoUsbQVSensor::ProceedStackErrorPacket", QVFaultLine(stack.data(), stack.size()));
}

TEST(CameraStream, PacketsBecomePointsInMillimetres) {
    TCapture c;
    c.Stream.SetUseXYFilter(false);
    c.Stream.FixAngle(0);
    c.Stream.SetCenter(250, 120); // window origin (500, 240) at 0.5 mm per pixel
    THeader h = SampleHeader();
    h.Piezo = 0;
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    ASSERT_EQ(1u, c.Points.size());
    const TQueuedPoint_V1& p = c.Points[0];
    EXPECT_TRUE(p.valid);
    EXPECT_DOUBLE_EQ(-0.75, p.xmm);
    EXPECT_DOUBLE_EQ(-0.375, p.ymm);
    EXPECT_EQ(123456u, p.dwCounter);
    EXPECT_EQ(65535u, p.dwSampleCounter);
    EXPECT_DOUBLE_EQ(32.1, c.Stream.Temperature()); // no shock: the phase word is the temperature
    EXPECT_EQ(0u, c.Stream.Packet().dwShockPhase);
    EXPECT_EQ(12, c.Stream.Sensor().VrefADC);
    EXPECT_EQ(99, c.Stream.Sensor().AnalogGain);

    h.Found = 0; // no mark
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    h.Found = 1, h.X = NAN;
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    h.Found = 2; // a flag without the mark's bit
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_FALSE(c.Points[i].valid) << i;
        EXPECT_TRUE(std::isnan(c.Points[i].xmm)) << i;
    }
    // The filters restarted and never saw a NaN: the next mark is where it is.
    c.Stream.SetUseXYFilter(true);
    h.Found = 1, h.X = 500;
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    EXPECT_DOUBLE_EQ(0, c.Points.back().xmm);
}

TEST(CameraStream, AngleAndSensorPosition) {
    TCapture c;
    c.Stream.SetUseAngleFilter(false);
    TQVDataPacket_V1 p;
    p.wAxisX = 2048 - 100, p.wAxisY = 2048;
    EXPECT_NEAR(M_PI / 2, c.Stream.CalculateAngle(p), 1e-12);
    p.wAxisX = 2048 + 100;
    EXPECT_NEAR(-M_PI / 2, c.Stream.CalculateAngle(p), 1e-12);
    struct TCase {
        uint16_t X, Y, Z;
        int Position;
    };
    for (const TCase& t : {TCase{2048, 2048, 3000, 1}, TCase{2048, 2048, 1000, 2}, TCase{2048, 3000, 2048, 3},
                           TCase{2048, 1000, 2048, 4}, TCase{3000, 2048, 2048, 5}, TCase{1000, 2048, 2048, 6},
                           TCase{2048, 2048, 2048, 0}, TCase{2500, 2500, 2048, 0}}) {
        p.wAxisX = t.X, p.wAxisY = t.Y, p.wAxisZ = t.Z;
        EXPECT_EQ(t.Position, TCameraStream::SensorPosition(p)) << t.X << " " << t.Y << " " << t.Z;
    }
}

TEST(CameraStream, ImagesAreReassembledAcrossIndexWraps) {
    // 80 x 80 (102 blocks), 255 x 255 (1033 blocks: index 0 after each wrap) and the whole image.
    for (auto [id, w, h] : {std::tuple{3, 80, 80}, std::tuple{5, 255, 255}}) {
        TCapture c;
        c.Blocks(ImagePacket(uint8_t(id), uint16_t(w), uint16_t(h)));
        ASSERT_EQ(1u, c.Images.size()) << id;
        EXPECT_EQ(w, c.Images[0].Width);
        EXPECT_EQ(TSimCameraStream::Image(uint16_t(w), uint16_t(h), w / 2.0, h / 2.0), c.Images[0].Pixels);
        EXPECT_FALSE(c.Stream.CollectingExtraData());
    }
    TCapture c;
    THeader h = SampleHeader();
    h.Id = 6, h.Size = uint16_t(SIM_QV_BLOCK_SIZE + 480 * 472);
    const TBytes image = TSimCameraStream::Image(480, 472, 100, 200);
    c.Blocks({TSimCameraStream::HeaderBlock(18, h)});
    c.Blocks(TSimCameraStream::ContinuationBlocks(6, image));
    ASSERT_EQ(1u, c.Images.size());
    EXPECT_EQ(472, c.Images[0].Height);
    EXPECT_EQ(image, c.Images[0].Pixels);
}

TEST(CameraStream, BrokenImagesGiveNoBitmap) {
    struct TCase {
        const char* Name;
        void (*Break)(std::vector<TBytes>& ABlocks);
        uint64_t Refused;
    };
    const TCase cases[] = {
        {"wrong index", [](std::vector<TBytes>& B) { B[3][0] = 9; }, 1 + 99},
        {"a continuation without its data", [](std::vector<TBytes>& B) { B[2].resize(1); }, 0},
        {"new header mid-image", [](std::vector<TBytes>& B) { B.insert(B.begin() + 5, B[0]); }, 0},
        {"size below the header block", [](std::vector<TBytes>& B) { PutLE16(B[0].data() + 2, 10); }, 102},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Name);
        TCapture c;
        std::vector<TBytes> blocks = ImagePacket(3, 80, 80);
        t.Break(blocks);
        c.Blocks(blocks);
        EXPECT_TRUE(c.Images.empty());
        EXPECT_FALSE(c.Points.empty());
        if (t.Refused) {
            EXPECT_EQ(t.Refused, c.Stream.RefusedBlocks());
        }
        // The next whole packet comes through.
        c.Blocks(ImagePacket(3, 80, 80));
        EXPECT_EQ(1u, c.Images.size());
    }
}

TEST(CameraStream, ReadsAreSplitIntoRecordsWithinTheFifo) {
    const TBytes stream = Records(ImagePacket(3, 80, 80));
    TBytes three;
    for (int i = 0; i < 3; ++i)
        three.insert(three.end(), stream.begin(), stream.end());
    // Whole reads of the FIFO's size that cut records anywhere: every byte fits, every image arrives.
    TCapture c;
    for (size_t at = 0; at < three.size(); at += TCameraStream::KFifoSize)
        c.Stream.ProcessData(three.data() + at,
                             std::min<size_t>(TCameraStream::KFifoSize, three.size() - at));
    EXPECT_EQ(3u, c.Images.size());
    EXPECT_EQ(0u, c.Stream.DroppedBytes());

    struct TCase {
        const char* Name;
        TBytes Bad;
        uint64_t Dropped;
    };
    TBytes huge = {0x88};
    AppendLE32(huge, 0xFFFFFFF0u);
    for (const TCase& t :
         {TCase{"bad marker", {0x77, 1, 0, 0, 0, 9}, 6}, TCase{"length beyond the FIFO", huge, 5}}) {
        SCOPED_TRACE(t.Name);
        TCapture d;
        d.Stream.ProcessData(t.Bad.data(), t.Bad.size());
        EXPECT_EQ(t.Dropped, d.Stream.DroppedBytes());
        d.Stream.ProcessData(stream.data(), stream.size());
        EXPECT_EQ(1u, d.Images.size());
    }
    // A record header alone at the end of a read waits for its data.
    TCapture e;
    e.Stream.ProcessData(stream.data(), 5);
    e.Stream.ProcessData(stream.data() + 5, stream.size() - 5);
    EXPECT_EQ(1u, e.Images.size());
}
