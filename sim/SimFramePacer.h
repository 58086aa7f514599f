#pragma once
// The frame clock of a simulated device that streams: a thread that calls the device's frame function
// once per period while the device says it runs, keeping the rhythm from frame to frame, and stops
// when the device goes.
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

class TSimFramePacer {
public:
    // The period of the next frame, or nothing while the device does not stream.
    using TPeriod = std::function<std::optional<std::chrono::microseconds>()>;

    // Starts the thread; AFrame runs on it.
    TSimFramePacer(TPeriod APeriod, std::function<void()> AFrame);

private:
    void Run(std::stop_token AStop);

    TPeriod fPeriod;
    std::function<void()> fFrame;
    std::jthread fThread; // last: stops before the functions go
};
