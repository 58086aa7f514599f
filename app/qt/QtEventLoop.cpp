#include "app/qt/QtEventLoop.h"

#include <QCoreApplication>

#include <algorithm>

TQtEventLoop::TQtEventLoop() {
    fDueTimer.setSingleShot(true);
    QObject::connect(&fDueTimer, &QTimer::timeout, &fContext, [this] { Dispatch(); });
}

void TQtEventLoop::WakeUp() {
    // One queued dispatch at a time is enough: it runs everything pending when it gets to run.
    if (fWakePending.exchange(true))
        return;
    QMetaObject::invokeMethod(
        &fContext, [this] { Dispatch(); }, Qt::QueuedConnection);
}

void TQtEventLoop::Dispatch() {
    fWakePending = false;
    TQueuedEventLoop::ProcessMessages();
    // Calls queued while running are dispatched by their own wake; timers need the Qt timer.
    if (PendingCalls() > 0)
        WakeUp();
    if (const auto due = NextTimerDue()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - TClock::now()).count();
        fDueTimer.start(static_cast<int>(std::clamp<long long>(wait, 0, INT32_MAX)));
    } else {
        fDueTimer.stop();
    }
}

void TQtEventLoop::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    Dispatch();
}

void TQtEventLoop::Run() {
    QCoreApplication::exec();
}

void TQtEventLoop::Quit() {
    // Queued, so it is safe from any thread and the current event finishes first.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}
