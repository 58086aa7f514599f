#include "sim/SimFramePacer.h"

#include <condition_variable>
#include <mutex>

TSimFramePacer::TSimFramePacer(TPeriod APeriod, std::function<void()> AFrame)
    : fPeriod(std::move(APeriod)), fFrame(std::move(AFrame)),
      fThread([this](std::stop_token AStop) { Run(AStop); }) {}

void TSimFramePacer::Run(std::stop_token AStop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // While the device is idle it is polled at this rate.
    constexpr std::chrono::milliseconds KIdlePoll{10};
    auto next = std::chrono::steady_clock::now();
    while (!AStop.stop_requested()) {
        if (const auto period = fPeriod()) {
            fFrame();
            next += *period;
        } else {
            next = std::chrono::steady_clock::now() + KIdlePoll;
        }
        wake.wait_until(lock, AStop, next, [] { return false; });
    }
}
