#include "platform/StdEventLoop.h"

void TStdEventLoop::WakeUp() {
    std::lock_guard lock(fWakeMutex);
    fWoken = true;
    fWake.notify_all();
}

void TStdEventLoop::Quit() {
    std::lock_guard lock(fWakeMutex);
    fQuit = true;
    fWake.notify_all();
}

void TStdEventLoop::Sleep(std::optional<TClock::time_point> ADeadline) {
    auto until = ADeadline;
    if (auto due = NextTimerDue(); due && (!until || *due < *until))
        until = due;
    std::unique_lock lock(fWakeMutex);
    if (until)
        fWake.wait_until(lock, *until, [&] { return fWoken || fQuit; });
    else
        fWake.wait(lock, [&] { return fWoken || fQuit; });
    fWoken = false;
}

void TStdEventLoop::Run() {
    for (;;) {
        ProcessMessages();
        {
            std::lock_guard lock(fWakeMutex);
            if (fQuit) {
                fQuit = false;
                return;
            }
        }
        Sleep(std::nullopt);
    }
}

bool TStdEventLoop::RunUntil(const std::function<bool()>& APredicate, uint32_t ATimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    // A predicate may also turn true on another thread, without an event; look again every few ms.
    const auto slice = std::chrono::milliseconds(5);
    for (;;) {
        ProcessMessages();
        if (APredicate())
            return true;
        const auto now = TClock::now();
        if (now >= deadline)
            return false;
        Sleep(std::min(deadline, now + slice));
    }
}
