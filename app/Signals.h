#pragma once
// Signals reach the main loop as events: SIGUSR1 is the external click on Update (the private
// window message of the desktop build), SIGINT and SIGTERM ask the program to close
// and end any firmware download under way at once.
// BlockSignals must run in main() before any thread is started, so that only the watcher's
// sigwait receives them.
#include "platform/EventLoop.h"

#include <atomic>
#include <functional>
#include <thread>

void BlockSignals();

class TSignalWatcher {
public:
    TSignalWatcher(TEventLoop& ALoop, std::function<void()> AOnClickUpdate, std::function<void()> AOnClose);
    ~TSignalWatcher();
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
    void Watch();

    TEventLoop& fLoop;
    std::function<void()> fOnClickUpdate;
    std::function<void()> fOnClose;
    std::atomic<bool> fStopping{false};
    std::thread fThread;
};
