// The frame clock of the simulated streaming sensors: frames only while a period is given, and a
// clock that is destroyed stops whatever it was doing (on Windows a stop that missed its wake-up
// once left the clock's thread and its owner waiting for each other).
#include "sim/SimFramePacer.h"
#include "platform/StdEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(SimFramePacer, FramesRunOnlyWhileAPeriodIsGiven) {
    TStdEventLoop loop; // only its RunUntil, to wait for the clock's thread
    std::atomic<bool> streaming{false};
    std::atomic<int> frames{0};
    std::atomic<int> asked{0};
    TSimFramePacer pacer(
        [&]() -> std::optional<std::chrono::microseconds> {
            ++asked;
            return streaming ? std::optional(std::chrono::microseconds(500)) : std::nullopt;
        },
        [&] { ++frames; });
    ASSERT_TRUE(loop.RunUntil([&] { return asked >= 3; }, 10000));
    EXPECT_EQ(0, frames);
    streaming = true;
    EXPECT_TRUE(loop.RunUntil([&] { return frames >= 20; }, 10000));
    streaming = false;
    const int stopped = frames;
    const int askedWhenStopped = asked;
    ASSERT_TRUE(loop.RunUntil([&] { return asked >= askedWhenStopped + 3; }, 10000));
    // At most the frame already asked for when streaming ended.
    EXPECT_LE(frames, stopped + 1);
}

// Clocks destroyed at once, while idle, between frames and in the middle of a frame, many times over:
// each destruction must end, and no frame may run after it.
TEST(SimFramePacer, ADestroyedClockStopsWhateverItIsDoing) {
    struct TCase {
        const char* Name;
        std::optional<std::chrono::microseconds> Period;
        std::chrono::microseconds FrameTakes;
    };
    for (const TCase& c :
         {TCase{"idle", std::nullopt, {}}, TCase{"back to back", std::chrono::microseconds(0), {}},
          TCase{"between frames", std::chrono::microseconds(200), {}},
          TCase{"mid-frame", std::chrono::microseconds(0), std::chrono::microseconds(300)}}) {
        SCOPED_TRACE(c.Name);
        for (int i = 0; i < 200; ++i) {
            std::atomic<int> frames{0};
            {
                TSimFramePacer pacer([&] { return c.Period; },
                                     [&] {
                                         ++frames;
                                         std::this_thread::sleep_for(c.FrameTakes);
                                     });
                if (i % 2)
                    std::this_thread::sleep_for(std::chrono::microseconds(100 * (i % 7)));
            }
            const int afterStop = frames;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            EXPECT_EQ(afterStop, frames) << "a frame ran after the clock was destroyed";
        }
    }
}
