#pragma once
// What every main loop promises (TEventLoop), as typed tests: a suite instantiates them for its
// loop, which also offers PendingCalls and RunUntil as TStdEventLoop does.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

template <typename TLoop> class EventLoopContract : public ::testing::Test {};
TYPED_TEST_SUITE_P(EventLoopContract);

TYPED_TEST_P(EventLoopContract, PostedCallsRunOnTheMainThreadInOrderAndOnlyWhenProcessed) {
    TypeParam loop;
    std::vector<int> order;
    std::atomic<bool> allOnMain{true};
    std::thread worker([&] {
        EXPECT_FALSE(loop.IsMainThread());
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(loop.Post([&, i] {
                allOnMain = allOnMain && loop.IsMainThread();
                order.push_back(i);
            }));
    });
    worker.join();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(100u, loop.PendingCalls());
    loop.ProcessMessages();
    ASSERT_EQ(100u, order.size());
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(i, order[size_t(i)]);
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(0u, loop.PendingCalls());
}

TYPED_TEST_P(EventLoopContract, ProcessMessagesRunsWhatWasPendingOnEntryOnly) {
    TypeParam loop;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        loop.Post(again);
    };
    loop.Post(again);
    loop.ProcessMessages();
    EXPECT_EQ(1, runs);
    loop.ProcessMessages();
    EXPECT_EQ(2, runs);
}

TYPED_TEST_P(EventLoopContract, SendWaitsForTheMainThreadAndRunsAtOnceOnIt) {
    TypeParam loop;
    bool ranInline = false;
    loop.Send([&] { ranInline = true; });
    EXPECT_TRUE(ranInline);

    std::atomic<bool> returned{false};
    bool ranOnMain = false;
    std::thread worker([&] {
        loop.Send([&] { ranOnMain = loop.IsMainThread(); });
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned); // nobody has served it yet
    EXPECT_TRUE(loop.RunUntil([&] { return returned.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

TYPED_TEST_P(EventLoopContract, ExceptionsFromCallsAndTimersAreDiscarded) {
    TypeParam loop;
    int after = 0;
    loop.Post([] { throw std::runtime_error("posted"); });
    loop.Post([&] { ++after; });
    loop.SetTimer(0, [] { throw 42; });
    loop.SetTimer(0, [&] { ++after; });
    std::thread worker([&] {
        loop.Send([] { throw std::runtime_error("sent"); });
        loop.Post([&] { ++after; });
    });
    EXPECT_NO_THROW(loop.Send([] { throw std::runtime_error("inline"); }));
    EXPECT_TRUE(loop.RunUntil([&] { return after == 3; }, 5000));
    worker.join();
}

TYPED_TEST_P(EventLoopContract, TimersFireOnceInDueOrderUnlessKilled) {
    TypeParam loop;
    std::vector<int> fired;
    loop.SetTimer(30, [&] { fired.push_back(30); });
    auto killed = loop.SetTimer(10, [&] { fired.push_back(-1); });
    loop.SetTimer(5, [&] { fired.push_back(5); });
    // A timer that kills a later one before it falls due.
    auto victim = loop.SetTimer(40, [&] { fired.push_back(-2); });
    loop.SetTimer(20, [&] {
        fired.push_back(20);
        loop.KillTimer(victim);
    });
    loop.KillTimer(killed);
    loop.KillTimer(12345); // unknown ids are ignored
    loop.SetTimer(60, [&] { loop.Quit(); });
    loop.Run();
    EXPECT_EQ((std::vector<int>{5, 20, 30}), fired);
    loop.ProcessMessages();
    EXPECT_EQ(3u, fired.size());
}

TYPED_TEST_P(EventLoopContract, QuitFromAnotherThreadEndsRun) {
    TypeParam loop;
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        loop.Quit();
    });
    loop.Run(); // returns, or the test times out
    worker.join();
}

TYPED_TEST_P(EventLoopContract, WaitForWorkerServesSentCallsAndDropsOnlyThatWorkersPosts) {
    TypeParam loop;
    int worker = 0, other = 0; // their addresses are the sender tags
    std::vector<std::string> ran;
    std::atomic<bool> ended{false};
    loop.Post([&] { ran.push_back("other-before"); }, &other);
    std::thread t([&] {
        loop.Post([&] { ran.push_back("worker-posted-1"); }, &worker);
        loop.Send([&] { ran.push_back("worker-sent"); }, &worker);
        loop.Send([&] { ran.push_back("other-sent"); }, &other);
        loop.Post([&] { ran.push_back("worker-posted-2"); }, &worker);
        loop.Post([&] { ran.push_back("untagged"); });
        ended = true;
    });
    loop.WaitForWorker(&worker, [&] { return ended.load(); });
    t.join();
    EXPECT_EQ((std::vector<std::string>{"worker-sent", "other-sent"}), ran);
    loop.ProcessMessages();
    EXPECT_EQ((std::vector<std::string>{"worker-sent", "other-sent", "other-before", "untagged"}), ran);
}

TYPED_TEST_P(EventLoopContract, TimersStayArmedWhileWaitingForAWorker) {
    TypeParam loop;
    bool fired = false;
    loop.SetTimer(0, [&] { fired = true; });
    int tag = 0;
    loop.WaitForWorker(&tag, [] { return true; });
    EXPECT_FALSE(fired);
    loop.ProcessMessages();
    EXPECT_TRUE(fired);
}

REGISTER_TYPED_TEST_SUITE_P(EventLoopContract, PostedCallsRunOnTheMainThreadInOrderAndOnlyWhenProcessed,
                            ProcessMessagesRunsWhatWasPendingOnEntryOnly,
                            SendWaitsForTheMainThreadAndRunsAtOnceOnIt,
                            ExceptionsFromCallsAndTimersAreDiscarded, TimersFireOnceInDueOrderUnlessKilled,
                            QuitFromAnotherThreadEndsRun,
                            WaitForWorkerServesSentCallsAndDropsOnlyThatWorkersPosts,
                            TimersStayArmedWhileWaitingForAWorker);
