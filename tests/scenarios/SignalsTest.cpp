// Signals arrive on the main loop as the external click and the close request.
#include "app/Signals.h"
#include "platform/Http.h"
#include "platform/StdEventLoop.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

TEST(SignalWatcher, MapsSignalsToLoopEvents) {
    BlockSignals();
    TStdEventLoop loop;
    int clicks = 0;
    int closes = 0;
    {
        TSignalWatcher watcher(
            loop, [&] { ++clicks; }, [&] { ++closes; });
        kill(getpid(), SIGUSR1);
        ASSERT_TRUE(loop.RunUntil([&] { return clicks == 1; }, 5000));
        EXPECT_FALSE(HttpTransfersCancelled());
        kill(getpid(), SIGTERM);
        ASSERT_TRUE(loop.RunUntil([&] { return closes == 1; }, 5000));
        // The close request also ends any download, which blocks the loop while it runs.
        EXPECT_TRUE(HttpTransfersCancelled());
        kill(getpid(), SIGINT);
        ASSERT_TRUE(loop.RunUntil([&] { return closes == 2; }, 5000));
        // A stray SIGUSR2 does not stop the watcher.
        kill(getpid(), SIGUSR2);
        kill(getpid(), SIGUSR1);
        ASSERT_TRUE(loop.RunUntil([&] { return clicks == 2; }, 5000));
        // A signal whose event has not run yet when the watcher goes is dropped with it.
        kill(getpid(), SIGUSR1);
        usleep(50 * 1000);
    }
    loop.ProcessMessages();
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(closes, 2);
}
