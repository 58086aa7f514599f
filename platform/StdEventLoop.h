#pragma once
// The main loop for the console front end and the tests: the thread that creates it is the main
// thread; Run sleeps on a condition variable until a call arrives, a timer falls due or Quit.
#include "platform/QueuedEventLoop.h"

class TStdEventLoop : public TQueuedEventLoop {
public:
    void Run() override;
    void Quit() override;
    // Main thread: runs events until APredicate holds or ATimeoutMs has passed; true when it holds.
    // Tests and the console front end use it to wait for something that arrives as an event.
    bool RunUntil(const std::function<bool()>& APredicate, uint32_t ATimeoutMs);

protected:
    void WakeUp() override;

private:
    // Sleeps until woken, the next timer is due or ADeadline (if any) passes.
    void Sleep(std::optional<TClock::time_point> ADeadline);

    std::mutex fWakeMutex;
    std::condition_variable fWake;
    bool fWoken = false;
    bool fQuit = false;
};
