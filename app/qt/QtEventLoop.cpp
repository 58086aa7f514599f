#include "app/qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

TQtEventLoop::TQtEventLoop() : fMainThread(std::this_thread::get_id()) {}

TQtEventLoop::~TQtEventLoop() {
    std::deque<TQueued> left;
    {
        std::lock_guard lock(fLock);
        fClosed = true;
        left.swap(fQueue);
        // A worker still blocked in Send is released; its call is dropped with the loop.
        for (TQueued& queued : left)
            if (queued.fDone)
                *queued.fDone = true;
    }
    fChanged.notify_all();
}

void TQtEventLoop::Wake() {
    // Caller holds fLock.
    if (fWakePending)
        return;
    fWakePending = true;
    QMetaObject::invokeMethod(
        &fContext, [this] { Drain(false, nullptr); }, Qt::QueuedConnection);
}

bool TQtEventLoop::Post(TCall ACall, const void* ASender) {
    std::lock_guard lock(fLock);
    if (fClosed)
        return false;
    fQueue.push_back({std::move(ACall), ASender, nullptr});
    Wake();
    return true;
}

void TQtEventLoop::Send(TCall ACall, const void* ASender) {
    if (IsMainThread()) {
        ACall();
        return;
    }
    auto done = std::make_shared<bool>(false);
    std::unique_lock lock(fLock);
    if (fClosed)
        return;
    fQueue.push_back({std::move(ACall), ASender, done});
    Wake();
    fChanged.notify_all(); // a main thread in WaitForWorker serves it at once
    fChanged.wait(lock, [&] { return *done; });
}

void TQtEventLoop::Drain(bool AOnlySent, const void* ADropSender) {
    std::unique_lock lock(fLock);
    if (!AOnlySent)
        fWakePending = false;
    std::deque<TQueued> keep;
    while (!fQueue.empty()) {
        TQueued queued = std::move(fQueue.front());
        fQueue.pop_front();
        const bool sent = queued.fDone != nullptr;
        if (AOnlySent && !sent) {
            if (queued.fSender != ADropSender || ADropSender == nullptr)
                keep.push_back(std::move(queued));
            continue;
        }
        lock.unlock();
        queued.fCall();
        lock.lock();
        if (sent) {
            *queued.fDone = true;
            fChanged.notify_all();
        }
    }
    // Calls posted while draining went to fQueue after the kept ones; keep the original order.
    if (!keep.empty()) {
        for (auto it = keep.rbegin(); it != keep.rend(); ++it)
            fQueue.push_front(std::move(*it));
        Wake();
    }
}

void TQtEventLoop::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
}

TEventLoop::TTimerId TQtEventLoop::SetTimer(uint32_t AMilliseconds, TCall ACall) {
    const TTimerId id = ++fNextTimer;
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setInterval(static_cast<int>(std::min<uint32_t>(AMilliseconds, INT32_MAX)));
    QObject::connect(timer.get(), &QTimer::timeout, &fContext, [this, id, call = std::move(ACall)] {
        // The timer object goes first, so the call may arm a new timer or run a nested loop.
        auto it = fTimers.find(id);
        if (it == fTimers.end())
            return;
        it->second.release()->deleteLater();
        fTimers.erase(it);
        call();
    });
    timer->start();
    fTimers.emplace(id, std::move(timer));
    return id;
}

void TQtEventLoop::KillTimer(TTimerId ATimer) {
    auto it = fTimers.find(ATimer);
    if (it == fTimers.end())
        return;
    it->second->stop();
    it->second.release()->deleteLater();
    fTimers.erase(it);
}

void TQtEventLoop::Run() {
    QCoreApplication::exec();
}

void TQtEventLoop::Quit() {
    // Queued, so it is safe from any thread and the current event finishes first.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void TQtEventLoop::WaitForWorker(const void* ASender, const std::function<bool()>& ADone) {
    while (!ADone()) {
        Drain(true, ASender);
        std::unique_lock lock(fLock);
        // Woken by a new sent call; the short limit re-checks ADone, which the worker may change
        // without telling the loop.
        fChanged.wait_for(lock, std::chrono::milliseconds(2), [&] {
            for (const TQueued& queued : fQueue)
                if (queued.fDone || queued.fSender == ASender)
                    return true;
            return false;
        });
    }
    Drain(true, ASender);
}
