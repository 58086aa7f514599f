// The frame clock of the simulated streaming sensors: frames only while a period is given, and a
// clock that is destroyed stops whatever it was doing (on Windows a stop that missed its wake-up
// once left the clock's thread and its owner waiting for each other).
#include "sim/SimFramePacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Waits, a few ms at a time, until APredicate holds; false after 10 s.
template <typename TPredicate> bool Eventually(TPredicate APredicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!APredicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace

TEST(SimFramePacer, FramesRunOnlyWhileAPeriodIsGiven) {
    std::atomic<bool> streaming{false};
    std::atomic<int> frames{0};
    std::atomic<int> asked{0};
    TSimFramePacer pacer(
        [&]() -> std::optional<std::chrono::microseconds> {
            ++asked;
            return streaming ? std::optional(std::chrono::microseconds(500)) : std::nullopt;
        },
        [&] { ++frames; });
    ASSERT_TRUE(Eventually([&] { return asked >= 3; }));
    EXPECT_EQ(0, frames);
    streaming = true;
    EXPECT_TRUE(Eventually([&] { return frames >= 20; }));
    streaming = false;
    const int stopped = frames;
    const int askedWhenStopped = asked;
    ASSERT_TRUE(Eventually([&] { return asked >= askedWhenStopped + 3; }));
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
    for (const TCase& c : {TCase{"idle", std::nullopt, {}}, TCase{"back to back", std::chrono::microseconds(0), {}},
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
