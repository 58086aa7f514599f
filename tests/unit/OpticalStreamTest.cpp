#include "MyLib/OpticalStream.h"
#include "MyLib/WinUsb.h"
#include "platform/LittleEndian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;

TBytes NewFrame(uint32_t ACounter) {
    TBytes bytes;
    AppendLE32(bytes, ACounter);
    AppendLE32(bytes, 0);
    AppendLE32(bytes, 0);
    AppendLE16(bytes, 0);
    for (float a : {50.f, 250.f, 350.f, 150.f, 250.f, 50.f, 150.f, 350.f})
        AppendLE32(bytes, std::bit_cast<uint32_t>(a));
    bytes.push_back(0);
    return bytes;
}

TBytes OldFrame() {
    TBytes bytes;
    for (int i = 0; i < 16; ++i)
        AppendLE32(bytes, 3000000);
    bytes.resize(KOldFrameSize, 0);
    return bytes;
}

TBytes Records(const std::vector<TBytes>& AData) {
    TBytes bytes;
    for (const auto& data : AData) {
        size_t at = bytes.size();
        bytes.resize(at + 5 + data.size(), KSensorRecordId);
        PutLE32(bytes.data() + at + 1, uint32_t(data.size()));
        std::copy(data.begin(), data.end(), bytes.begin() + ptrdiff_t(at + 5));
    }
    return bytes;
}

TBytes Part(const TBytes& AFrame, size_t AFrom, size_t ACount) {
    return TBytes(AFrame.begin() + ptrdiff_t(AFrom), AFrame.begin() + ptrdiff_t(AFrom + ACount));
}

struct TRecorder {
    explicit TRecorder(TOpticalStream& AStream) {
        AStream.SetOnNewPoint(
            [this](const TQueuedPoint_V1& APoint) { Counters.push_back(APoint.dwCounter); });
    }
    std::vector<uint32_t> Counters;
};

TEST(OpticalStream, RecordsOfNewBoards) {
    TOpticalStream stream;
    stream.SetDevice(5, 11);
    TRecorder points(stream);
    // A 46-byte record between two frames is skipped and leaves them whole.
    TBytes odd = NewFrame(2);
    odd.pop_back();
    TBytes read = Records({NewFrame(1), odd, NewFrame(3)});
    stream.ProcessData(read.data(), read.size());
    EXPECT_EQ(points.Counters, (std::vector<uint32_t>{1, 3}));

    // With frame skipping, three queued frames give one point, from the last.
    stream.SetSkipFrames(true);
    read = Records({NewFrame(4), NewFrame(5), NewFrame(6)});
    stream.ProcessData(read.data(), read.size());
    EXPECT_EQ(points.Counters.back(), 6u);
    EXPECT_EQ(points.Counters.size(), 3u);
    EXPECT_EQ(stream.PacketCounter(), 6u);

    // Generic binding: blocks of whole frames only.
    stream.SetSkipFrames(false);
    TBytes two = NewFrame(7);
    TBytes eight = NewFrame(8);
    two.insert(two.end(), eight.begin(), eight.end());
    stream.DoData(two.data(), two.size());
    stream.DoData(odd.data(), odd.size());
    EXPECT_EQ(points.Counters.back(), 8u);
    EXPECT_EQ(points.Counters.size(), 5u);
}

TEST(OpticalStream, PointsGoToTheHandlerOrTheQueue) {
    struct TCase {
        const char* Name;
        bool Handler, Store;
        size_t Handled, Queued;
    };
    for (TCase c : {TCase{"handler", true, true, 2, 0}, TCase{"queue", false, true, 0, 2},
                    TCase{"neither", false, false, 0, 0}}) {
        TOpticalStream stream;
        stream.SetDevice(5, 11);
        stream.SetStorePoints(c.Store);
        size_t handled = 0;
        if (c.Handler)
            stream.SetOnNewPoint([&](const TQueuedPoint_V1&) { ++handled; });
        TBytes read = Records({NewFrame(1), NewFrame(2)});
        stream.ProcessData(read.data(), read.size());
        TPointsArray queued = stream.GetPoints();
        EXPECT_EQ(handled, c.Handled) << c.Name;
        ASSERT_EQ(queued.size(), c.Queued) << c.Name;
        if (!queued.empty()) {
            EXPECT_EQ(queued[1].dwCounter, 2u);
            EXPECT_EQ(queued[1].targetindex, 1);
            EXPECT_TRUE(queued[1].valid);
        }
        EXPECT_TRUE(stream.GetPoints().empty()) << c.Name;
    }
}

TEST(OpticalStream, BrokenRecordsEndTheRead) {
    std::vector<std::string> lines;
    SetDebugOutput([&](const std::string& ALine) { lines.push_back(ALine); });
    TOpticalStream stream;
    stream.SetDevice(5, 11);
    TRecorder points(stream);
    TBytes read = Records({NewFrame(1)});
    read.push_back(0x44);
    stream.ProcessData(read.data(), read.size());
    read = Records({NewFrame(2)});
    PutLE32(read.data() + 1, 0xFFFFFFF0);
    stream.ProcessData(read.data(), read.size());
    SetDebugOutput(nullptr);
    EXPECT_EQ(points.Counters, (std::vector<uint32_t>{1}));
    EXPECT_EQ(lines, (std::vector<std::string>{"usb sensor: received bad packet, no id",
                                               "usb sensor: received bad packet size: 4294967280"}));
}

TEST(OpticalStream, OldBoardHalves) {
    TBytes frame = OldFrame();
    TBytes first = Part(frame, 0, 63), second = Part(frame, 63, 30);
    struct TCase {
        const char* Name;
        std::vector<TBytes> Packets;
        size_t Points;
    };
    std::vector<TCase> cases{
        {"pairs", {first, second, first, second}, 2},
        {"a lone second half is dropped by the next first half", {second, first, second}, 1},
        {"a lone first half is dropped", {first, first, second}, 1},
    };
    for (const auto& c : cases) {
        for (bool records : {true, false}) {
            TOpticalStream stream;
            stream.SetDevice(2, 10);
            TRecorder points(stream);
            for (const auto& packet : c.Packets) {
                if (records) {
                    TBytes read = Records({packet});
                    stream.ProcessData(read.data(), read.size());
                } else
                    stream.DoData(packet.data(), packet.size());
            }
            EXPECT_EQ(points.Counters.size(), c.Points) << c.Name << records;
        }
    }
}

TEST(OpticalStream, OversizedInputNeverOverrunsTheBuffer) {
    // Old boards below firmware 10: a raw read of 10,240 bytes (110 frames and 10 bytes) is taken
    // in pieces that fit.
    TBytes frame = OldFrame(), read;
    while (read.size() < 10240)
        read.insert(read.end(), frame.begin(), frame.end());
    read.resize(10240);
    TOpticalStream old;
    old.SetDevice(2, 9);
    TRecorder oldPoints(old);
    old.ProcessData(read.data(), read.size());
    EXPECT_EQ(oldPoints.Counters.size(), 110u);
    EXPECT_EQ(old.Pending(), 10u);

    TOpticalStream stream;
    stream.SetDevice(5, 11);
    stream.SetOscMode(true);
    TBytes big(5000, 0);
    stream.DoData(big.data(), big.size());
    TBytes record = Records({big});
    stream.ProcessData(record.data(), record.size());
    EXPECT_EQ(stream.DroppedBytes(), 10000u);
    EXPECT_EQ(stream.Pending(), 0u);
}

TEST(OpticalStream, OscilloscopeBlocks) {
    TOpticalStream stream;
    stream.SetDevice(5, 11);
    stream.SetOscMode(true);
    EXPECT_FALSE(stream.SetOscSamples(0));
    EXPECT_FALSE(stream.SetOscSamples(2049));
    ASSERT_TRUE(stream.SetOscSamples(4));
    std::vector<std::vector<uint16_t>> blocks;
    stream.SetOnOscData([&](const std::vector<uint16_t>& ASamples) { blocks.push_back(ASamples); });
    TBytes samples;
    for (uint16_t s : {1, 2, 3, 4, 5, 6, 7, 8, 9})
        AppendLE16(samples, s);
    stream.DoData(samples.data(), samples.size());
    samples.push_back(0); // an odd block is dropped
    stream.DoData(samples.data(), samples.size());
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], (std::vector<uint16_t>{5, 6, 7, 8}));
    EXPECT_EQ(stream.Pending(), 2u);
}

} // namespace
