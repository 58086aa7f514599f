#pragma once
// The main event loop on top of Qt's: posted and sent calls from worker threads are queued here and
// drained by a queued call into the GUI thread, timers are Qt timers, Run/Quit are the
// application's exec/quit. Create it on the thread that runs the QApplication.
#include "platform/EventLoop.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class QTimer;

class TQtEventLoop final : public TEventLoop {
public:
    TQtEventLoop();
    ~TQtEventLoop() override;

    bool Post(TCall ACall, const void* ASender = nullptr) override;
    void Send(TCall ACall, const void* ASender = nullptr) override;
    void ProcessMessages() override;
    TTimerId SetTimer(uint32_t AMilliseconds, TCall ACall) override;
    void KillTimer(TTimerId ATimer) override;
    void Run() override;
    void Quit() override;
    bool IsMainThread() const override { return std::this_thread::get_id() == fMainThread; }
    void WaitForWorker(const void* ASender, const std::function<bool()>& ADone) override;

    // Timers armed and not yet run or killed.
    size_t PendingTimers() const { return fTimers.size(); }

private:
    struct TQueued {
        TCall fCall;
        const void* fSender;
        // Set for sent calls: the worker waits until fDone.
        std::shared_ptr<bool> fDone;
    };

    // Asks the GUI thread to drain the queue; at most one such request is outstanding.
    void Wake();
    // GUI thread: runs what is queued now. With AOnlySent, runs only sent calls and drops the calls
    // posted by ADropSender.
    void Drain(bool AOnlySent, const void* ADropSender);

    std::thread::id fMainThread;
    QObject fContext;
    std::mutex fLock;
    std::condition_variable fChanged;
    std::deque<TQueued> fQueue;
    bool fWakePending = false;
    bool fClosed = false;
    TTimerId fNextTimer = 0;
    std::map<TTimerId, std::unique_ptr<QTimer>> fTimers;
};
