#include "MyLib/OpticalFrames.h"
#include "platform/LittleEndian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

std::vector<uint8_t> NewFrameBytes(uint32_t ACounter, std::array<float, 4> ALed1,
                                   std::array<float, 4> ALed2) {
    std::vector<uint8_t> bytes(KNewFrameSize, 0);
    PutLE32(bytes.data(), ACounter);
    PutLE32(bytes.data() + 4, ACounter * 10);
    PutLE32(bytes.data() + 8, 7);
    PutLE16(bytes.data() + 12, 0x1234);
    for (int q = 0; q < 4; ++q) {
        PutLE32(bytes.data() + 14 + 4 * q, std::bit_cast<uint32_t>(ALed1[q]));
        PutLE32(bytes.data() + 30 + 4 * q, std::bit_cast<uint32_t>(ALed2[q]));
    }
    bytes[46] = 0x02;
    return bytes;
}

std::vector<uint8_t> Record(const std::vector<uint8_t>& AData, uint32_t ALength) {
    std::vector<uint8_t> bytes(5 + AData.size(), KSensorRecordId);
    PutLE32(bytes.data() + 1, ALength);
    std::copy(AData.begin(), AData.end(), bytes.begin() + 5);
    return bytes;
}

// LED 1 spot at (500, 1000) and LED 2 at (500, -1000) once normalised: mean (500, 0), distance 2000.
constexpr std::array<float, 4> KLed1{50, 250, 350, 150};
constexpr std::array<float, 4> KLed2{250, 50, 150, 350};

TEST(OpticalFrames, RecordWalkChecksEveryLength) {
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Bytes;
        std::vector<size_t> Lengths;
        TRecordWalkEnd End;
        uint32_t BadLength;
    };
    auto two = Record(std::vector<uint8_t>(47, 1), 47);
    auto second = Record(std::vector<uint8_t>(46, 2), 46);
    two.insert(two.end(), second.begin(), second.end());
    auto noId = Record({1, 2}, 2);
    noId.push_back(0x77);
    std::vector<TCase> cases{
        {"two records", two, {47, 46}, TRecordWalkEnd::Complete, 0},
        {"empty record", Record({}, 0), {0}, TRecordWalkEnd::Complete, 0},
        {"id missing after a record", noId, {2}, TRecordWalkEnd::NoId, 0},
        {"longer than the rest", Record({1, 2, 3}, 4), {}, TRecordWalkEnd::BadSize, 4},
        {"length wraps a 32-bit sum", Record({1, 2, 3}, 0xFFFFFFFF), {}, TRecordWalkEnd::BadSize, 0xFFFFFFFF},
        {"header cut short", {KSensorRecordId, 1, 0}, {}, TRecordWalkEnd::BadSize, 0},
    };
    for (const auto& c : cases) {
        std::vector<size_t> lengths;
        TRecordWalk walk =
            WalkSensorRecords(c.Bytes.data(), c.Bytes.size(),
                              [&](const uint8_t*, size_t ALength) { lengths.push_back(ALength); });
        EXPECT_EQ(lengths, c.Lengths) << c.Name;
        EXPECT_EQ(walk.End, c.End) << c.Name;
        EXPECT_EQ(walk.BadLength, c.BadLength) << c.Name;
    }
}

TEST(OpticalFrames, NewFrameLayout) {
    auto bytes = NewFrameBytes(0xA1B2C3D4, KLed1, KLed2);
    TNewSensorFrame frame = ReadNewSensorFrame(bytes.data());
    EXPECT_EQ(frame.dwCounter, 0xA1B2C3D4u);
    EXPECT_EQ(frame.dwSampleCounter, 0xA1B2C3D4u * 10);
    EXPECT_EQ(frame.dwMicIndex, 7u);
    EXPECT_EQ(frame.wMic, 0x1234);
    EXPECT_EQ(frame.Led1, KLed1);
    EXPECT_EQ(frame.Led2, KLed2);
    EXPECT_EQ(frame.bOffScale, 2);
}

TEST(OpticalFrames, NewFrameSpotsAndValidity) {
    constexpr float Nan = std::numeric_limits<float>::quiet_NaN();
    struct TCase {
        const char* Name;
        std::array<float, 4> Led1, Led2;
        bool Valid;
    };
    std::vector<TCase> cases{
        {"strong", KLed1, KLed2, true},
        {"one amplitude below 20", {19.9f, 250, 350, 150}, KLed2, false},
        {"LED 2 sums to 150", KLed1, {30, 40, 40, 40}, false},
        {"not a number", KLed1, {250, Nan, 150, 350}, false},
        {"infinite", {std::numeric_limits<float>::infinity(), 250, 350, 150}, KLed2, false},
    };
    for (const auto& c : cases) {
        TNewSensorFrame frame;
        frame.Led1 = c.Led1;
        frame.Led2 = c.Led2;
        TQueuedPoint_V1 point = NewFrameSpots(frame, nullptr);
        TOpticalAim aim;
        aim.SetStaticTarget(0.1, 1, 0, 91, 0, -91);
        aim.Finish(point);
        EXPECT_EQ(point.valid, c.Valid) << c.Name;
    }
    TNewSensorFrame frame;
    frame.Led1 = KLed1;
    frame.Led2 = KLed2;
    TQueuedPoint_V1 spots = NewFrameSpots(frame, nullptr);
    EXPECT_DOUBLE_EQ(spots.x[1], 200);
    EXPECT_DOUBLE_EQ(spots.y[1], 400);
    EXPECT_DOUBLE_EQ(spots.sum[1], 800);
    EXPECT_DOUBLE_EQ(spots.y[2], -400);

    // Calibration multiplies each quadrant of both LEDs; a factor of 0 is not set.
    TQuadrantFactors k{2, 0, 1, 1};
    spots = NewFrameSpots(frame, &k);
    EXPECT_DOUBLE_EQ(spots.amp[0], 100);
    EXPECT_DOUBLE_EQ(spots.amp[4], 500);
    EXPECT_DOUBLE_EQ(spots.amp[1], 250);
}

TEST(OpticalFrames, StaticAndDynamicScale) {
    TNewSensorFrame far, near;
    far.Led1 = KLed1;
    far.Led2 = KLed2;
    // Spots 1000 apart: LED 1 at (500, 500), LED 2 at (500, -500).
    near.Led1 = {100, 200, 300, 200};
    near.Led2 = {200, 100, 200, 300};

    TOpticalAim fixed;
    fixed.SetStaticTarget(0.1, 1, 0, 91, 0, -91);
    TQueuedPoint_V1 aim = NewFrameSpots(far, nullptr);
    fixed.Finish(aim);
    EXPECT_TRUE(aim.valid);
    EXPECT_NEAR(aim.xmm, 50, 1e-9);
    EXPECT_NEAR(aim.ymm, 0, 1e-9);
    EXPECT_DOUBLE_EQ(fixed.RealLedsDistance(), 2000);
    for (int i = 0; i < 20; ++i) {
        aim = NewFrameSpots(near, nullptr);
        fixed.Finish(aim);
        EXPECT_DOUBLE_EQ(aim.scale, 0.1);
    }

    TOpticalAim dynamic;
    dynamic.SetDynamicTarget(0, 91, 0, -91);
    aim = NewFrameSpots(far, nullptr);
    dynamic.Finish(aim);
    EXPECT_NEAR(aim.scale, 0.091, 1e-12);
    EXPECT_NEAR(aim.xmm, 45.5, 1e-9);
    for (int i = 0; i < 200; ++i) {
        aim = NewFrameSpots(near, nullptr);
        dynamic.Finish(aim);
    }
    EXPECT_NEAR(aim.scale, 0.182, 1e-12);
    EXPECT_NEAR(dynamic.Scale(), 0.182, 1e-6);

    // A DistanceK of 0 is not set: the scale is measured instead of divided by zero.
    TOpticalAim unset;
    unset.SetStaticTarget(0.1, 0, 0, 91, 0, -91);
    aim = NewFrameSpots(far, nullptr);
    unset.Finish(aim);
    EXPECT_NEAR(aim.scale, 0.091, 1e-12);
}

TEST(OpticalFrames, NonFiniteSpotsLeaveTheFiltersAlone) {
    TNewSensorFrame good, bad;
    good.Led1 = KLed1;
    good.Led2 = KLed2;
    bad = good;
    bad.Led2[2] = std::numeric_limits<float>::quiet_NaN();
    TOpticalAim clean, poisoned;
    clean.SetDynamicTarget(0, 91, 0, -91);
    poisoned.SetDynamicTarget(0, 91, 0, -91);
    for (int i = 0; i < 5; ++i) {
        TQueuedPoint_V1 expected = NewFrameSpots(good, nullptr);
        clean.Finish(expected);
        TQueuedPoint_V1 hostile = NewFrameSpots(bad, nullptr);
        poisoned.Finish(hostile);
        EXPECT_FALSE(hostile.valid);
        TQueuedPoint_V1 after = NewFrameSpots(good, nullptr);
        poisoned.Finish(after);
        EXPECT_TRUE(after.valid);
        EXPECT_DOUBLE_EQ(after.xmm, expected.xmm);
        EXPECT_DOUBLE_EQ(after.scale, expected.scale);
    }
}

TEST(OpticalFrames, OldFrameSumsIn64Bits) {
    std::vector<uint8_t> bytes(KOldFrameSize, 0);
    for (int i = 0; i < 16; ++i)
        PutLE32(bytes.data() + 4 * i, uint32_t(i % 2 == 0 ? 2000000000 : -2000000000));
    PutLE32(bytes.data() + 64, 4000);
    TUsbFrame frame = ReadUsbFrame(bytes.data());
    EXPECT_EQ(frame.ch[1], -2000000000);
    EXPECT_EQ(frame.pieso, 4000u);

    TPhaseCorrection pc1(24), pc2(28);
    TQueuedPoint_V1 spots = OldFrameSpots(frame, frame, nullptr, pc1, pc2, {1, 2, 0, 3});
    double s = 4e9 / 200 / 512;
    // Sa = s, Sb = -s: amplitude s * sqrt(2) before correction, phase 7/4 pi.
    EXPECT_NEAR(spots.phase[0], 7 * std::numbers::pi / 4, 1e-9);
    EXPECT_NEAR(spots.amp[0], s * std::sqrt(2.0) * pc1.get_K(float(spots.phase[0])), 1e-3);
    EXPECT_NEAR(spots.amp[5], s * std::sqrt(2.0) * pc2.get_K(float(spots.phase[5])), 1e-3);
    EXPECT_TRUE(spots.valid);
    // Equal amplitudes in every quadrant: both spots at the centre.
    EXPECT_NEAR(spots.x[1], 0, 1e-6);
    EXPECT_NEAR(spots.y[2], 0, 1e-6);

    TUsbFrame silent;
    EXPECT_FALSE(OldFrameSpots(silent, silent, nullptr, pc1, pc2, {1, 2, 0, 3}).valid);
}

} // namespace
