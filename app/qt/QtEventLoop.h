#pragma once
// The main event loop on top of Qt's. The queue, sent calls and timers are the shared queued loop's;
// Qt only wakes the GUI thread: a queued call into it when work arrives, and one Qt timer for the
// earliest due loop timer. Run/Quit are the application's exec/quit. Create it on the thread that
// runs the QApplication.
#include "platform/QueuedEventLoop.h"

#include <QObject>
#include <QTimer>

#include <atomic>

class TQtEventLoop final : public TQueuedEventLoop {
public:
    TQtEventLoop();

    // Lets Qt's own events run too (paints, input), then the loop's calls and due timers.
    void ProcessMessages() override;
    void Run() override;
    void Quit() override;

protected:
    void WakeUp() override;

private:
    // GUI thread: runs what is pending and arms the Qt timer for the next loop timer.
    void Dispatch();

    QObject fContext;
    QTimer fDueTimer;
    std::atomic<bool> fWakePending{false};
};
