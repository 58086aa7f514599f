#include "app/Signals.h"

#include "platform/Http.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// The system kills the process this long after a close, log-off or shut-down event was delivered;
// the handler holds it back a little less, while the program closes in order.
constexpr auto CloseGrace = std::chrono::milliseconds(4500);

std::mutex WatchLock;
std::condition_variable WatchEnded;

} // namespace

// The console's control handler, which the system calls on a thread of its own for Ctrl+C,
// Ctrl+Break and the closing of the console window.
struct TSignalWatcher::TWatch {
    TWatch(TEventLoop& ALoop, std::function<void()> AOnClose) : fLoop(ALoop), fOnClose(std::move(AOnClose)) {
        {
            std::lock_guard<std::mutex> lock(WatchLock);
            Active = this;
        }
        SetConsoleCtrlHandler(Handler, TRUE);
    }

    ~TWatch() {
        SetConsoleCtrlHandler(Handler, FALSE);
        {
            std::lock_guard<std::mutex> lock(WatchLock);
            Active = nullptr;
        }
        WatchEnded.notify_all();
        // Whatever the handler posted and the loop has not run yet must not outlive the watcher.
        fLoop.WaitForWorker(this, [] { return true; });
    }

    static BOOL WINAPI Handler(DWORD AEvent) {
        std::unique_lock<std::mutex> lock(WatchLock);
        TWatch* watch = Active;
        if (!watch)
            return FALSE;
        // A download blocks the main loop, so it is ended from here rather than by the event.
        CancelHttpTransfers();
        watch->fLoop.Post([watch] { watch->fOnClose(); }, watch);
        // After Ctrl+C or Ctrl+Break the program goes on until it has closed. After the other
        // events the system ends the process as soon as the handler returns, so the handler waits
        // for the program to close first.
        if (AEvent != CTRL_C_EVENT && AEvent != CTRL_BREAK_EVENT)
            WatchEnded.wait_for(lock, CloseGrace, [] { return Active == nullptr; });
        return TRUE;
    }

    static inline TWatch* Active = nullptr;
    TEventLoop& fLoop;
    std::function<void()> fOnClose;
};

void BlockSignals() {}

// The external click on Update is a window message on Windows, which a console program has no
// window for.
TSignalWatcher::TSignalWatcher(TEventLoop& ALoop, std::function<void()>, std::function<void()> AOnClose)
    : fWatch(std::make_unique<TWatch>(ALoop, std::move(AOnClose))) {}

TSignalWatcher::~TSignalWatcher() = default;
