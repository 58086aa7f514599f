#pragma once
// The queue, sent calls and timers that every event loop shares. A concrete loop only says how the
// main thread is woken when work arrives (WakeUp) and how it sleeps in Run: TStdEventLoop with a
// condition variable, the Qt adapter by posting an event to its own loop.
#include "platform/EventLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class TQueuedEventLoop : public TEventLoop {
public:
    using TClock = std::chrono::steady_clock;

    // The constructing thread becomes the main thread. The loop must outlive every thread that
    // posts or sends to it.
    TQueuedEventLoop();

    bool Post(TCall ACall, const void* ASender = nullptr) override;
    void Send(TCall ACall, const void* ASender = nullptr) override;
    void ProcessMessages() override;
    TTimerId SetTimer(uint32_t AMilliseconds, TCall ACall) override;
    void KillTimer(TTimerId ATimer) override;
    bool IsMainThread() const override;
    void WaitForWorker(const void* ASender, const std::function<bool()>& ADone) override;

    // How many queued and sent calls wait to run (timers not counted).
    size_t PendingCalls() const;
    // When the earliest timer is due, if any is set.
    std::optional<TClock::time_point> NextTimerDue() const;

protected:
    // Called after a call is queued or a timer set, from the thread that did it (any thread).
    virtual void WakeUp() = 0;

private:
    struct TSentCall;
    struct TQueued {
        TCall Call;
        const void* Sender = nullptr;
        std::shared_ptr<TSentCall> Sent; // set for sent calls: the sender waits on it
    };

    static void RunGuarded(const TCall& ACall);
    void Complete(TSentCall& ASent);
    bool RunOneQueued();
    void RunDueTimers();

    std::thread::id fMainThread;
    mutable std::mutex fMutex;
    std::condition_variable fChanged; // a call was queued or a sent call completed
    std::deque<TQueued> fQueue;
    struct TTimer {
        TClock::time_point Due;
        TCall Call;
    };
    std::map<TTimerId, TTimer> fTimers;
    TTimerId fNextTimer = 1;
};
