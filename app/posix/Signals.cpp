#include "app/Signals.h"

#include "platform/Http.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

namespace {

// SIGUSR2 only wakes the watcher when it is being stopped.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

// A thread that takes the blocked signals with sigwait and posts their events.
struct TSignalWatcher::TWatch {
    TWatch(TEventLoop& ALoop, std::function<void()> AOnClickUpdate, std::function<void()> AOnClose)
        : fLoop(ALoop), fOnClickUpdate(std::move(AOnClickUpdate)), fOnClose(std::move(AOnClose)) {
        fThread = std::thread([this] { Watch(); });
    }

    ~TWatch() {
        fStopping = true;
        pthread_kill(fThread.native_handle(), SIGUSR2);
        fThread.join();
        // Whatever the watcher posted and the loop has not run yet must not outlive the watcher.
        fLoop.WaitForWorker(this, [] { return true; });
    }

    void Watch() {
        const sigset_t set = WatchedSignals();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            switch (signal) {
            case SIGUSR1:
                fLoop.Post([this] { fOnClickUpdate(); }, this);
                break;
            case SIGINT:
            case SIGTERM:
                // A download blocks the main loop, so it is ended from here rather than by the event.
                CancelHttpTransfers();
                fLoop.Post([this] { fOnClose(); }, this);
                break;
            default: // SIGUSR2 from the destructor stops the watcher; from anyone else it is ignored.
                if (fStopping)
                    return;
                break;
            }
        }
    }

    TEventLoop& fLoop;
    std::function<void()> fOnClickUpdate;
    std::function<void()> fOnClose;
    std::atomic<bool> fStopping{false};
    std::thread fThread;
};

void BlockSignals() {
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(TEventLoop& ALoop, std::function<void()> AOnClickUpdate,
                               std::function<void()> AOnClose) {
    BlockSignals();
    fWatch = std::make_unique<TWatch>(ALoop, std::move(AOnClickUpdate), std::move(AOnClose));
}

TSignalWatcher::~TSignalWatcher() = default;
