// The Qt window offscreen: control geometry, caption and initial states, the dialogs' plumbing, and
// the event-loop adapter serving worker threads.
#include "app/qt/QtToolkit.h"
#include "app/qt/QtEventLoop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "qt-toolkit-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

} // namespace

TEST(QtToolkit, StartsWithTheFormsOriginalLayoutAndStates) {
    App();
    TQtToolkit toolkit;
    EXPECT_EQ(toolkit.LogWidget().geometry(), QRect(16, 16, 480, 257));
    EXPECT_EQ(toolkit.BarWidget().geometry(), QRect(16, 16 + 272, 480, 17));
    EXPECT_EQ(toolkit.ButtonWidget().geometry(), QRect(16, 16 + 295, 121, 25));
    EXPECT_EQ(toolkit.Button().Caption(), "Update");
    EXPECT_FALSE(toolkit.Button().Enabled());
    EXPECT_FALSE(toolkit.Timer().Enabled());
    EXPECT_EQ(toolkit.Timer().Interval(), 200);
    EXPECT_EQ(toolkit.ProgressBar().Position(), 0);
    EXPECT_EQ(toolkit.ListBox().Count(), 0);
    EXPECT_EQ(toolkit.LogWidget().selectionMode(), QAbstractItemView::SingleSelection);
    // Fixed border with the system menu and close only.
    const Qt::WindowFlags flags = toolkit.Window().windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(toolkit.Window().font().pixelSize(), 11);
}

TEST(QtToolkit, ResizingTheLogMovesTheControlsAndWrapsTheWindow) {
    App();
    TQtToolkit toolkit;
    toolkit.SetCaption("KELVO firmware updater 2.0");
    toolkit.SetLogSize(640, 320);
    EXPECT_EQ(toolkit.Window().windowTitle(), "KELVO firmware updater 2.0");
    EXPECT_EQ(toolkit.LogWidget().geometry(), QRect(16, 16, 640, 320));
    // Progress bar at 336 and button at 369 in the border's coordinates.
    EXPECT_EQ(toolkit.BarWidget().geometry(), QRect(16, 16 + 336, 640, 17));
    EXPECT_EQ(toolkit.ButtonWidget().geometry(), QRect(16, 16 + 369, 121, 25));
    EXPECT_EQ(toolkit.Window().size(), QSize(16 + 640 + 16, 16 + 369 + 25 + 16));
    EXPECT_EQ(toolkit.Window().minimumSize(), toolkit.Window().maximumSize());
}

TEST(QtToolkit, LogSelectsTheNewestLineAndButtonRunsItsCurrentHandler) {
    App();
    TQtToolkit toolkit;
    toolkit.ListBox().AddAndSelect("one");
    toolkit.ListBox().AddAndSelect("two");
    EXPECT_EQ(toolkit.ListBox().Count(), 2);
    EXPECT_EQ(toolkit.ListBox().Item(1), "two");
    EXPECT_EQ(toolkit.ListBox().Item(2), "");
    EXPECT_EQ(toolkit.LogWidget().currentRow(), 1);
    toolkit.ListBox().Clear();
    EXPECT_EQ(toolkit.ListBox().Count(), 0);

    int clicks = 0;
    toolkit.Button().SetOnClick([&] { ++clicks; });
    toolkit.Button().Click(); // disabled, still runs
    toolkit.Button().SetEnabled(true);
    toolkit.ButtonWidget().click();
    EXPECT_EQ(clicks, 2);
}

TEST(QtToolkit, TimerFiresOnceUntilEnabledAgain) {
    App();
    TQtToolkit toolkit;
    int fired = 0;
    toolkit.Timer().SetOnTimer([&] { ++fired; });
    toolkit.Timer().SetInterval(1);
    toolkit.Timer().SetEnabled(true);
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(50);
    while (guard.isActive())
        toolkit.ProcessMessages();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(toolkit.Timer().Enabled());
}

TEST(QtToolkit, DialogsReturnWhatTheUserChose) {
    App();
    TQtToolkit toolkit;
    // Answers the dialog once it is up: accept the first input box, reject the second.
    bool accept = true;
    auto answer = [&] {
        QTimer::singleShot(20, [&] {
            if (QWidget* modal = QApplication::activeModalWidget())
                QMetaObject::invokeMethod(modal, accept ? "accept" : "reject");
        });
    };
    answer();
    EXPECT_EQ(toolkit.InputBox("Device key", "Enter key", "1-2-3-4-5-6-7-8"), "1-2-3-4-5-6-7-8");
    accept = false;
    answer();
    EXPECT_EQ(toolkit.InputBox("Device key", "Enter key", "x"), std::nullopt);
}

TEST(QtEventLoop, ServesWorkersPostsSendsAndTimers) {
    App();
    TQtEventLoop loop;
    EXPECT_TRUE(loop.IsMainThread());
    std::vector<int> order;
    std::atomic<bool> sent{false};
    std::thread worker([&] {
        EXPECT_FALSE(loop.IsMainThread());
        loop.Post([&] { order.push_back(1); });
        loop.Send([&] { order.push_back(2); });
        sent = true;
    });
    const int workerTag = 0; // the worker posts untagged, so nothing of it is dropped
    loop.WaitForWorker(&workerTag, [&] { return sent.load(); });
    worker.join();
    // The sent call ran inside the wait; the posted one stays queued for the loop.
    EXPECT_EQ(order, std::vector<int>({2}));
    loop.ProcessMessages();
    EXPECT_EQ(order, std::vector<int>({2, 1}));

    bool fired = false;
    loop.SetTimer(1, [&] {
        fired = true;
        loop.Quit();
    });
    const auto killed = loop.SetTimer(1, [&] { ADD_FAILURE() << "killed timer ran"; });
    loop.KillTimer(killed);
    loop.Run();
    EXPECT_TRUE(fired);
    EXPECT_FALSE(loop.NextTimerDue().has_value());
}

TEST(QtEventLoop, WaitingForAWorkerDropsOnlyItsPostedCalls) {
    App();
    TQtEventLoop loop;
    const int stopping = 0;
    const int other = 0;
    std::vector<int> ran;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        loop.Post([&] { ran.push_back(1); }, &stopping);
        loop.Post([&] { ran.push_back(2); }, &other);
        loop.Send([&] { ran.push_back(3); }, &stopping);
        done = true;
    });
    loop.WaitForWorker(&stopping, [&] { return done.load(); });
    worker.join();
    loop.ProcessMessages();
    EXPECT_EQ(ran, std::vector<int>({3, 2}));
}
