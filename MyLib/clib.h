#pragma once
// CThread: a worker thread that can run calls on the thread that created it (the main thread).
// Readers derive from it and hand every block they read to their device object through SendCall
// (waits until the main thread has run it) or PostCall (queues it), so device objects only ever
// run on the main thread.
#include "platform/EventLoop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class CThread;

// A method with two pointer-sized parameters, run on the main thread.
using TThreadMethod = std::function<void(uintptr_t AParam1, uintptr_t AParam2)>;
using TNotification = std::function<void(CThread* ASender)>;

// One call travelling from the worker to the main thread.
struct TThreadCall {
    CThread* Thread = nullptr;
    TThreadMethod Method;
    uintptr_t Param1 = 0;
    uintptr_t Param2 = 0;
};
using PThreadCall = TThreadCall*;

// Kinds of call that HandleCall runs.
constexpr int THREAD_CALL_SENT = 1;
constexpr int THREAD_CALL_STOP = 2;
constexpr int THREAD_CALL_POSTED = 3;

class CThread {
public:
    // The worker is created suspended; it runs Execute only after Resume (or Stop). Calls go to
    // MainLoop(), or to ALoop.
    CThread();
    explicit CThread(TEventLoop& ALoop);
    // Releases a worker that never ran and joins it. A worker that did run must have been stopped
    // and waited for (Stop, wake it, Wait) by the owner first.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Main thread: runs ACall (kind THREAD_CALL_SENT or THREAD_CALL_POSTED: its method; kind
    // THREAD_CALL_STOP: Wait, then fOnStop). Always 0.
    virtual int HandleCall(int AKind, PThreadCall ACall);
    // Worker: runs AMethod(AParam1, AParam2) on the main thread and waits for it. 0 (also when
    // stopped: then nothing runs).
    virtual int SendCall(uintptr_t AParam1, uintptr_t AParam2, TThreadMethod AMethod);
    // Worker: queues AMethod(AParam1, AParam2) for the main thread. False when stopped or when the
    // call could not be queued.
    virtual bool PostCall(uintptr_t AParam1, uintptr_t AParam2, TThreadMethod AMethod);

    // Lets a suspended worker go on; each Resume undoes one Suspend (creation counts as one).
    void Resume();
    // Holds the worker back again before it starts Execute. A worker already running Execute is
    // not interrupted; it notices fStopped at its own pace.
    void Suspend();
    // Sets the stop flag and lets a held-back worker go, so it sees the flag from its first look.
    // Does not wait.
    void Stop();
    // Waits until the worker has ended. On the main thread the calls the worker sends meanwhile
    // are served and those it posted are discarded unrun; elsewhere it simply joins.
    void Wait();

    bool Stopped() const { return fStopped.load(); }
    // Whether the worker is done: Execute was left (returned or raised), or never entered.
    bool Ended() const { return fEnded.load(); }
    // Execute's result once ended; 0 when Execute raised or never ran.
    int ExitCode() const { return fExitCode.load(); }

    TNotification fOnStop;      // main thread, by a THREAD_CALL_STOP call
    TNotification fOnTerminate; // worker thread, right after Execute returned normally

protected:
    // The worker's body; its result becomes the thread's exit code.
    virtual int Execute() = 0;
    TEventLoop& Loop() const { return fLoop; }

private:
    void ThreadEntry();

    TEventLoop& fLoop;
    std::thread fThread;
    std::atomic<bool> fStopped{false};
    std::atomic<bool> fEnded{false};
    std::atomic<int> fExitCode{0};
    // Start gate: the worker waits here while suspended; fReleased lets it leave without running.
    std::mutex fGateMutex;
    std::condition_variable fGate;
    int fSuspendCount = 1;
    bool fReleased = false;
    std::mutex fJoinMutex;
};
