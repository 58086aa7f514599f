#pragma once
// The frame clock of a simulated device that streams: a thread that calls the device's frame function
// once per period while the device says it runs, keeping the rhythm from frame to frame, and stops
// when the device goes.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class TSimFramePacer {
public:
    // The period of the next frame, or nothing while the device does not stream.
    using TPeriod = std::function<std::optional<std::chrono::microseconds>()>;

    // The period of a stream of AFramesPerSecond frames (a rate of 0 counts as 1).
    static std::chrono::microseconds PeriodAt(uint16_t AFramesPerSecond);

    // Starts the thread; AFrame runs on it.
    TSimFramePacer(TPeriod APeriod, std::function<void()> AFrame);
    // Stops the thread and waits for it; a frame under way is finished first.
    ~TSimFramePacer();
    TSimFramePacer(const TSimFramePacer&) = delete;
    TSimFramePacer& operator=(const TSimFramePacer&) = delete;

private:
    void Run();

    TPeriod fPeriod;
    std::function<void()> fFrame;
    // A plain flag under a mutex rather than a stop token: the Windows C++ runtime's stop callbacks
    // wait on a semaphore that can miss its wake-up, which left the thread, and its joiner, waiting
    // for good.
    std::mutex fStopMutex;
    std::condition_variable fStopWake;
    bool fStop = false;
    std::thread fThread; // last: starts once the rest is there
};
