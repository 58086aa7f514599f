#include "sim/SimFramePacer.h"

#include <algorithm>

std::chrono::microseconds TSimFramePacer::PeriodAt(uint16_t AFramesPerSecond) {
    return std::chrono::microseconds(1000000 / std::max<uint16_t>(AFramesPerSecond, 1));
}

TSimFramePacer::TSimFramePacer(TPeriod APeriod, std::function<void()> AFrame)
    : fPeriod(std::move(APeriod)), fFrame(std::move(AFrame)), fThread([this] { Run(); }) {}

TSimFramePacer::~TSimFramePacer() {
    {
        std::lock_guard lock(fStopMutex);
        fStop = true;
    }
    fStopWake.notify_all();
    fThread.join();
}

void TSimFramePacer::Run() {
    // While the device is idle it is polled at this rate.
    constexpr std::chrono::milliseconds KIdlePoll{10};
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(fStopMutex);
    while (!fStop) {
        lock.unlock();
        if (const auto period = fPeriod()) {
            fFrame();
            next += *period;
        } else {
            next = std::chrono::steady_clock::now() + KIdlePoll;
        }
        lock.lock();
        fStopWake.wait_until(lock, next, [this] { return fStop; });
    }
}
