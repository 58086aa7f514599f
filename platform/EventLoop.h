#pragma once
// The main thread's event loop. The window, the device notifier, every device request and every
// update sequence run on it; worker threads reach it only through Post and Send.
#include <cstdint>
#include <functional>

class TEventLoop {
public:
    using TCall = std::function<void()>;
    using TTimerId = uint64_t;

    virtual ~TEventLoop() = default;

    // Queues ACall for the main thread; callable from any thread. ASender tags the call so that
    // WaitForWorker can discard what a stopping worker posted. False when the call cannot be queued.
    virtual bool Post(TCall ACall, const void* ASender = nullptr) = 0;
    // Runs ACall on the main thread and returns once it has run. Called on the main thread, it runs
    // ACall at once.
    virtual void Send(TCall ACall, const void* ASender = nullptr) = 0;
    // Main thread: runs the calls, sent calls and due timers that are pending now, then returns.
    virtual void ProcessMessages() = 0;
    // One-shot timer: ACall runs once on the main thread after AMilliseconds, unless killed first.
    virtual TTimerId SetTimer(uint32_t AMilliseconds, TCall ACall) = 0;
    virtual void KillTimer(TTimerId ATimer) = 0;
    // Main thread: runs events until Quit.
    virtual void Run() = 0;
    // Any thread: makes Run return once the current event is done.
    virtual void Quit() = 0;
    virtual bool IsMainThread() const = 0;
    // Main thread: returns once ADone() holds. Meanwhile every call sent to the main thread is served
    // (so a worker blocked in Send can finish), and calls posted by ASender are discarded unrun.
    // Other posted calls and timers stay queued.
    virtual void WaitForWorker(const void* ASender, const std::function<bool()>& ADone) = 0;
};
