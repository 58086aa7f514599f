#pragma once
// Requests from outside the program reach the main loop as events. On Linux SIGUSR1 is the
// external click on Update (the private window message of the desktop build); SIGINT and SIGTERM,
// and on Windows Ctrl+C, Ctrl+Break and the closing of the console, ask the program to close and
// end any firmware download under way at once.
// BlockSignals must run in main() before any thread is started, so that only the watcher receives
// the signals (nothing to do on Windows).
#include "platform/EventLoop.h"

#include <functional>
#include <memory>

void BlockSignals();

class TSignalWatcher {
public:
    TSignalWatcher(TEventLoop& ALoop, std::function<void()> AOnClickUpdate, std::function<void()> AOnClose);
    ~TSignalWatcher();
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
    // The operating system's way of watching, defined by its implementation file.
    struct TWatch;
    std::unique_ptr<TWatch> fWatch;
};
