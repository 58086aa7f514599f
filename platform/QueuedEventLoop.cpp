#include "platform/QueuedEventLoop.h"

#include <algorithm>
#include <vector>

struct TQueuedEventLoop::TSentCall {
    bool Done = false;
};

TQueuedEventLoop::TQueuedEventLoop() : fMainThread(std::this_thread::get_id()) {}

void TQueuedEventLoop::RunGuarded(const TCall& ACall) {
    try {
        ACall();
    } catch (...) {
        // A failing call must never unwind into the loop that dispatched it.
    }
}

void TQueuedEventLoop::Complete(TSentCall& ASent) {
    std::lock_guard lock(fMutex);
    ASent.Done = true;
    fChanged.notify_all();
}

bool TQueuedEventLoop::Post(TCall ACall, const void* ASender) {
    if (!ACall)
        return false;
    {
        std::lock_guard lock(fMutex);
        fQueue.push_back({std::move(ACall), ASender, nullptr});
        fChanged.notify_all();
    }
    WakeUp();
    return true;
}

void TQueuedEventLoop::Send(TCall ACall, const void* ASender) {
    if (!ACall)
        return;
    if (IsMainThread()) {
        RunGuarded(ACall);
        return;
    }
    auto sent = std::make_shared<TSentCall>();
    {
        std::lock_guard lock(fMutex);
        fQueue.push_back({std::move(ACall), ASender, sent});
        fChanged.notify_all();
    }
    WakeUp();
    std::unique_lock lock(fMutex);
    fChanged.wait(lock, [&] { return sent->Done; });
}

bool TQueuedEventLoop::RunOneQueued() {
    TQueued item;
    {
        std::lock_guard lock(fMutex);
        if (fQueue.empty())
            return false;
        item = std::move(fQueue.front());
        fQueue.pop_front();
    }
    RunGuarded(item.Call);
    if (item.Sent)
        Complete(*item.Sent);
    return true;
}

void TQueuedEventLoop::RunDueTimers() {
    std::vector<TTimerId> due;
    {
        std::lock_guard lock(fMutex);
        const auto now = TClock::now();
        for (const auto& [id, timer] : fTimers)
            if (timer.Due <= now)
                due.push_back(id);
        // Earliest first, like the system's timer queue.
        std::sort(due.begin(), due.end(),
                  [&](TTimerId a, TTimerId b) { return fTimers.at(a).Due < fTimers.at(b).Due; });
    }
    for (TTimerId id : due) {
        TCall call;
        {
            std::lock_guard lock(fMutex);
            auto it = fTimers.find(id);
            if (it == fTimers.end())
                continue; // killed by an earlier call
            call = std::move(it->second.Call);
            fTimers.erase(it);
        }
        RunGuarded(call);
    }
}

void TQueuedEventLoop::ProcessMessages() {
    // Only what is pending on entry runs, so a call that queues another cannot keep us here.
    size_t pending;
    {
        std::lock_guard lock(fMutex);
        pending = fQueue.size();
    }
    while (pending-- > 0 && RunOneQueued()) {
    }
    RunDueTimers();
}

TEventLoop::TTimerId TQueuedEventLoop::SetTimer(uint32_t AMilliseconds, TCall ACall) {
    TTimerId id;
    {
        std::lock_guard lock(fMutex);
        id = fNextTimer++;
        fTimers[id] = {TClock::now() + std::chrono::milliseconds(AMilliseconds), std::move(ACall)};
    }
    WakeUp();
    return id;
}

void TQueuedEventLoop::KillTimer(TTimerId ATimer) {
    TCall dropped;
    std::lock_guard lock(fMutex);
    auto it = fTimers.find(ATimer);
    if (it != fTimers.end()) {
        dropped = std::move(it->second.Call);
        fTimers.erase(it);
    }
}

bool TQueuedEventLoop::IsMainThread() const {
    return std::this_thread::get_id() == fMainThread;
}

void TQueuedEventLoop::WaitForWorker(const void* ASender, const std::function<bool()>& ADone) {
    for (;;) {
        // Done is checked before the sweep, so whatever the worker posted before it ended is swept.
        const bool done = ADone();
        std::vector<TQueued> discarded;
        TQueued sent;
        {
            std::lock_guard lock(fMutex);
            for (auto it = fQueue.begin(); it != fQueue.end();) {
                if (!it->Sent && it->Sender == ASender) {
                    discarded.push_back(std::move(*it));
                    it = fQueue.erase(it);
                } else {
                    ++it;
                }
            }
            auto first = std::find_if(fQueue.begin(), fQueue.end(), [](const TQueued& q) { return q.Sent; });
            if (first != fQueue.end()) {
                sent = std::move(*first);
                fQueue.erase(first);
            }
        }
        discarded.clear(); // their captures are released outside the lock
        if (sent.Sent) {
            RunGuarded(sent.Call);
            Complete(*sent.Sent);
            continue;
        }
        if (done)
            return;
        // The worker's end is not an event; a sent call wakes us at once, the end within a tick.
        std::unique_lock lock(fMutex);
        fChanged.wait_for(lock, std::chrono::milliseconds(1));
    }
}

size_t TQueuedEventLoop::PendingCalls() const {
    std::lock_guard lock(fMutex);
    return fQueue.size();
}

std::optional<TQueuedEventLoop::TClock::time_point> TQueuedEventLoop::NextTimerDue() const {
    std::lock_guard lock(fMutex);
    std::optional<TClock::time_point> next;
    for (const auto& [id, timer] : fTimers)
        if (!next || timer.Due < *next)
            next = timer.Due;
    return next;
}
