#include "MyLib/clib.h"

#include "platform/System.h"

CThread::CThread() : CThread(MainLoop()) {}

CThread::CThread(TEventLoop& ALoop) : fLoop(ALoop) {
    fThread = std::thread([this] { ThreadEntry(); });
}

CThread::~CThread() {
    {
        std::lock_guard lock(fGateMutex);
        fReleased = true; // a worker still held at the gate leaves without running Execute
        fGate.notify_all();
    }
    {
        std::lock_guard lock(fJoinMutex);
        if (fThread.joinable())
            fThread.join();
    }
    // Posted calls that were never run refer to this object: drop them before it is gone.
    if (fLoop.IsMainThread())
        fLoop.WaitForWorker(this, [] { return true; });
}

void CThread::ThreadEntry() {
    {
        std::unique_lock lock(fGateMutex);
        fGate.wait(lock, [this] { return fSuspendCount <= 0 || fReleased; });
        if (fSuspendCount > 0) {
            fEnded = true;
            return;
        }
    }
    try {
        fExitCode = Execute();
        if (fOnTerminate)
            fOnTerminate(this);
    } catch (...) {
        // The worker ends quietly; its owner learns of it through Wait like any other end.
        fExitCode = 0;
    }
    fEnded = true;
}

int CThread::HandleCall(int AKind, PThreadCall ACall) {
    switch (AKind) {
    case THREAD_CALL_SENT:
    case THREAD_CALL_POSTED:
        if (ACall && ACall->Method)
            ACall->Method(ACall->Param1, ACall->Param2);
        break;
    case THREAD_CALL_STOP:
        Wait();
        if (fOnStop)
            fOnStop(this);
        break;
    default:
        break;
    }
    return 0;
}

int CThread::SendCall(uintptr_t AParam1, uintptr_t AParam2, TThreadMethod AMethod) {
    if (fStopped)
        return 0;
    TThreadCall call{this, std::move(AMethod), AParam1, AParam2};
    int result = 0;
    fLoop.Send(
        [&] {
            try {
                result = HandleCall(THREAD_CALL_SENT, &call);
            } catch (...) {
                result = 0; // a failing call is dropped; the worker goes on
            }
        },
        this);
    return result;
}

bool CThread::PostCall(uintptr_t AParam1, uintptr_t AParam2, TThreadMethod AMethod) {
    if (fStopped)
        return false;
    // The record lives as long as the queued call: freed after it ran, or when it is discarded.
    auto call = std::make_shared<TThreadCall>(TThreadCall{this, std::move(AMethod), AParam1, AParam2});
    return fLoop.Post(
        [call] {
            try {
                call->Thread->HandleCall(THREAD_CALL_POSTED, call.get());
            } catch (...) {
                // dropped, as a sent call would be
            }
        },
        this);
}

void CThread::Resume() {
    std::lock_guard lock(fGateMutex);
    if (fSuspendCount > 0)
        --fSuspendCount;
    fGate.notify_all();
}

void CThread::Suspend() {
    std::lock_guard lock(fGateMutex);
    ++fSuspendCount;
}

void CThread::Stop() {
    std::lock_guard lock(fGateMutex);
    // The flag is set before the gate opens, so a worker that never ran sees it from its first look.
    fStopped = true;
    if (fSuspendCount > 0)
        fSuspendCount = 0;
    fGate.notify_all();
}

void CThread::Wait() {
    if (fLoop.IsMainThread())
        fLoop.WaitForWorker(this, [this] { return fEnded.load(); });
    std::lock_guard lock(fJoinMutex);
    if (fThread.joinable())
        fThread.join();
}
