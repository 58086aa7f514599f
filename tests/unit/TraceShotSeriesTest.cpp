// A recording's points on its clock of seconds, the shots its sensor reported, what is kept of a long
// recording, and the total of the shots on a face.
#include "trace/ShotSeries.h"

#include "MyLib/KelvoLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

TQueuedPoint_V1 Point(double AX, double AY, uint32_t AMicIndex = 0, double AMic = 0, uint32_t ATick = 0) {
    TQueuedPoint_V1 point;
    point.xmm = AX;
    point.ymm = AY;
    point.valid = true;
    point.micidx = AMicIndex;
    point.mic = AMic;
    point.dwTick = ATick;
    return point;
}

TEST(TraceShotSeries, TimesPointsByTheirCounterAcrossItsWrap) {
    struct TCase {
        const char* Name;
        TTraceClock Clock;
        std::vector<uint32_t> Counters;
        std::vector<uint32_t> Ticks;
        std::vector<double> Seconds;
    };
    const TCase cases[] = {
        {"16-bit packet index", {100, 16}, {65534, 65535, 0, 1}, {}, {0, 0.01, 0.02, 0.03}},
        {"32-bit frame counter", {100, 32}, {0xFFFFFFFF, 0, 5}, {}, {0, 0.01, 0.06}},
        {"a frame rate of 50 and lost frames", {50, 32}, {10, 11, 21}, {}, {0, 0.02, 0.22}},
        {"two points of one packet", {100, 8}, {255, 255, 0}, {}, {0, 0, 0.01}},
        {"host ticks", {.HostTicks = true}, {7, 0, 3}, {0xFFFFFFF6, 4, 504}, {0, 0.014, 0.514}},
        {"no frame rate", {0, 32}, {1, 2}, {}, {0, 0.01}},
    };
    for (const TCase& c : cases) {
        TShotSeries series;
        series.SetClock(c.Clock);
        for (size_t i = 0; i < c.Counters.size(); ++i)
            series.Add(c.Counters[i], Point(1, 2, 0, 0, c.Ticks.empty() ? 0 : c.Ticks[i]));
        ASSERT_EQ(series.Points().size(), c.Seconds.size()) << c.Name;
        for (size_t i = 0; i < c.Seconds.size(); ++i)
            EXPECT_NEAR(series.Points()[i].Time, c.Seconds[i], 1e-9) << c.Name << " point " << i;
    }
}

// Points that came before the source's clock was known keep their times; the clock goes on from them.
TEST(TraceShotSeries, AClockSetLateGoesOnFromTheLastPoint) {
    TShotSeries series;
    series.Add(7, Point(0, 0, 0, 0, 5000));
    series.Add(8, Point(0, 0, 0, 0, 5002));
    series.SetClock({.HostTicks = true});
    series.Add(9, Point(0, 0, 0, 0, 5010));
    series.Add(10, Point(0, 0, 0, 0, 5510));
    ASSERT_EQ(series.Points().size(), 4u);
    EXPECT_DOUBLE_EQ(series.Points()[1].Time, 0.01);
    EXPECT_DOUBLE_EQ(series.Points()[2].Time, 0.01);
    EXPECT_DOUBLE_EQ(series.Points()[3].Time, 0.51);
}

TEST(TraceShotSeries, TellsShotsFromTheDetectorIndexOrTheMicrophoneLevel) {
    struct TSample {
        uint32_t MicIndex;
        double Mic;
    };
    struct TCase {
        const char* Name;
        double ShotLevel;
        std::vector<TSample> Samples;
        std::vector<size_t> Shots; // the points that are shots
    };
    const TCase cases[] = {
        {"a new index is a shot, the same index again is not",
         0,
         {{0, 40}, {123, 3000}, {123, 40}, {0, 40}, {124, 40}},
         {1, 4}},
        {"one index after another", 0, {{7, 0}, {9, 0}, {9, 0}}, {0, 1}},
        {"without a shot level the microphone says nothing", 0, {{0, 40}, {0, 3000}, {0, 40}}, {}},
        {"the level rising to the shot level",
         512,
         {{0, 40}, {0, 3000}, {0, 3000}, {0, 40}, {0, 512}},
         {1, 4}},
        {"index and level of one shot", 512, {{0, 40}, {123, 3000}, {0, 40}}, {1}},
    };
    for (const TCase& c : cases) {
        TShotSeries series;
        series.SetClock({100, 32, false, c.ShotLevel});
        for (size_t i = 0; i < c.Samples.size(); ++i)
            series.Add(uint32_t(i), Point(double(i), -double(i), c.Samples[i].MicIndex, c.Samples[i].Mic));
        ASSERT_EQ(series.Shots().size(), c.Shots.size()) << c.Name;
        for (size_t i = 0; i < c.Shots.size(); ++i) {
            EXPECT_DOUBLE_EQ(series.Shots()[i].Time, c.Shots[i] / 100.0) << c.Name;
            EXPECT_DOUBLE_EQ(series.Shots()[i].x, double(c.Shots[i])) << c.Name;
            EXPECT_DOUBLE_EQ(series.Shots()[i].y, -double(c.Shots[i])) << c.Name;
        }
    }
}

TEST(TraceShotSeries, AnInvalidPointBreaksTheTraceAndLeavesItsShotWithoutPosition) {
    TShotSeries series;
    TQueuedPoint_V1 invalid = Point(3, 4, 5);
    invalid.valid = false;
    TQueuedPoint_V1 notANumber = Point(std::numeric_limits<double>::quiet_NaN(), 4);
    series.Add(0, Point(1, 1));
    series.Add(1, invalid);
    series.Add(2, notANumber);
    ASSERT_EQ(series.Points().size(), 3u);
    EXPECT_TRUE(std::isnan(series.Points()[1].x) && std::isnan(series.Points()[1].y));
    EXPECT_TRUE(std::isnan(series.Points()[2].x) && std::isnan(series.Points()[2].y));
    ASSERT_EQ(series.Shots().size(), 1u);
    EXPECT_TRUE(std::isnan(series.Shots()[0].x));
}

// A long recording keeps every point while it has no shot (for the picture of its whole trace), and
// once it has shots only the trace before each shot and the last second.
TEST(TraceShotSeries, KeepsTheTracesTheShotsNeed) {
    struct TCase {
        const char* Name;
        std::vector<uint32_t> ShotFrames;
        size_t MaxPoints; // pruned now and then, not at every point
    };
    const TCase cases[] = {
        {"no shot", {}, 20000},
        {"shots at 5 s and 5.5 s", {500, 550}, 4500},
        {"a shot in the last second", {19950}, 4500},
    };
    for (const TCase& c : cases) {
        TShotSeries series(1.0);
        uint32_t index = 0;
        for (uint32_t frame = 0; frame < 20000; ++frame) {
            const bool shot =
                std::find(c.ShotFrames.begin(), c.ShotFrames.end(), frame) != c.ShotFrames.end();
            series.Add(frame, Point(frame, 0, shot ? ++index : 0));
        }
        const auto& points = series.Points();
        EXPECT_LE(points.size(), c.MaxPoints) << c.Name;
        // Every point of a shot's trace is there, in order.
        for (uint32_t shotFrame : c.ShotFrames)
            for (uint32_t frame = shotFrame - 100; frame <= shotFrame; ++frame)
                EXPECT_TRUE(std::any_of(points.begin(), points.end(),
                                        [&](const TAimPoint& APoint) { return APoint.x == frame; }))
                    << c.Name << " frame " << frame;
        EXPECT_TRUE(std::is_sorted(points.begin(), points.end(),
                                   [](const TAimPoint& A, const TAimPoint& B) { return A.Time < B.Time; }));
        EXPECT_EQ(points.back().x, 19999) << c.Name;
        if (c.ShotFrames.empty()) {
            EXPECT_EQ(points.size(), 20000u);
        }
    }
}

TEST(TraceShotSeries, TotalsTheShotsAsTheFaceCountsThem) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    struct TCase {
        const char* Tag;
        std::vector<TShotMark> Shots;
        const char* Total;
    };
    const TCase cases[] = {
        {"AP10", {{1, 0, 0}, {2, 8, 0}}, "20.9"},
        {"AP10", {{1, 0, 0}, {2, none, none}, {3, 0, -80.1}}, "10.9"},
        {"AP10", {}, "0.0"},
        {"FITA80C", {{1, 20, 0}, {2, 30, 0}, {3, 81, 0}}, "27"},
        {"IPSCCLASSIC", {{1, 0, 100}, {2, 200, 0}, {3, 240, 0}}, "6"},
    };
    for (const TCase& c : cases) {
        const TBaseTarget* face = FindTarget(c.Tag);
        ASSERT_NE(face, nullptr) << c.Tag;
        EXPECT_EQ(TotalResult(*face, c.Shots), c.Total) << c.Tag;
    }
}

} // namespace
