#include "MyLib/clib.h"
#include "platform/StdEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A worker whose body is given by the test.
class TTestThread : public CThread {
public:
    TTestThread(TEventLoop& ALoop, std::function<int(TTestThread&)> ABody)
        : CThread(ALoop), fBody(std::move(ABody)) {}
    ~TTestThread() override {
        // The owner's part: a worker that was started is stopped and waited for first.
        if (fStarted) {
            Stop();
            Wait();
        }
    }
    void Start() {
        fStarted = true;
        Resume();
    }
    std::atomic<int> fExecuted{0};

protected:
    int Execute() override {
        ++fExecuted;
        return fBody(*this);
    }

private:
    std::function<int(TTestThread&)> fBody;
    bool fStarted = false;
};

} // namespace

TEST(CThread, SentAndPostedCallsRunOnTheMainThreadWithTheirParameters) {
    TStdEventLoop loop;
    std::vector<std::string> ran;
    bool allOnMain = true;
    auto record = [&](const char* AWhat) {
        return [&, AWhat](uintptr_t A1, uintptr_t A2) {
            allOnMain = allOnMain && loop.IsMainThread();
            ran.push_back(std::string(AWhat) + std::to_string(A1) + "," + std::to_string(A2));
        };
    };
    std::atomic<bool> sendsReturned{false};
    TTestThread thread(loop, [&](TTestThread& T) {
        EXPECT_EQ(0, T.SendCall(1, 2, record("sent")));
        EXPECT_TRUE(T.PostCall(3, 4, record("posted")));
        EXPECT_EQ(0, T.SendCall(5, 6, record("sent")));
        sendsReturned = true;
        return 7;
    });
    thread.Start();
    ASSERT_TRUE(loop.RunUntil([&] { return sendsReturned && ran.size() == 3; }, 5000));
    // One queue: the posted call ran before the send that followed it.
    EXPECT_EQ((std::vector<std::string>{"sent1,2", "posted3,4", "sent5,6"}), ran);
    EXPECT_TRUE(allOnMain);
    thread.Wait();
    EXPECT_EQ(7, thread.ExitCode());
}

TEST(CThread, CallsAfterStopDoNothing) {
    TStdEventLoop loop;
    bool ran = false;
    std::atomic<int> sendResult{-1};
    std::atomic<int> postResult{-1};
    TTestThread thread(loop, [&](TTestThread& T) {
        sendResult = T.SendCall(0, 0, [&](uintptr_t, uintptr_t) { ran = true; });
        postResult = T.PostCall(0, 0, [&](uintptr_t, uintptr_t) { ran = true; });
        return 0;
    });
    thread.Stop(); // also lets the never-resumed worker run, already stopped
    thread.Wait();
    loop.ProcessMessages();
    EXPECT_EQ(1, thread.fExecuted.load());
    EXPECT_EQ(0, sendResult.load());
    EXPECT_EQ(0, postResult.load());
    EXPECT_FALSE(ran);
}

TEST(CThread, WaitServesAWorkerBlockedInSendCallAndDropsWhatItPosted) {
    TStdEventLoop loop;
    std::vector<std::string> ran;
    TTestThread thread(loop, [&](TTestThread& T) {
        T.PostCall(1, 0, [&](uintptr_t, uintptr_t) { ran.push_back("posted"); });
        // Each send blocks until the main thread serves it; the loop ends once the stop is seen.
        while (!T.Stopped())
            T.SendCall(2, 0, [&](uintptr_t, uintptr_t) { ran.push_back("sent"); });
        return 0;
    });
    thread.Start();
    while (loop.PendingCalls() < 2) // the posted call, and the send the worker is blocked in
        std::this_thread::yield();
    thread.Stop();
    thread.Wait();
    EXPECT_TRUE(thread.Ended());
    loop.ProcessMessages();
    // The blocked send ran during Wait; the queued posted call never runs.
    ASSERT_EQ(1u, ran.size());
    EXPECT_EQ("sent", ran[0]);
}

TEST(CThread, ExceptionsInCallsAreDiscardedAndTheWorkerGoesOn) {
    TStdEventLoop loop;
    int ranAfter = 0;
    std::atomic<bool> done{false};
    TTestThread thread(loop, [&](TTestThread& T) {
        T.SendCall(0, 0, [](uintptr_t, uintptr_t) { throw std::runtime_error("sent"); });
        T.PostCall(0, 0, [](uintptr_t, uintptr_t) { throw std::runtime_error("posted"); });
        T.SendCall(0, 0, [&](uintptr_t, uintptr_t) { ++ranAfter; });
        done = true;
        return 0;
    });
    thread.Start();
    ASSERT_TRUE(loop.RunUntil([&] { return done.load(); }, 5000));
    EXPECT_EQ(1, ranAfter);
}

TEST(CThread, TerminateHandlerRunsOnTheWorkerOnlyAfterANormalEnd) {
    TStdEventLoop loop;
    std::thread::id terminatedOn;
    TTestThread normal(loop, [](TTestThread&) { return 5; });
    normal.fOnTerminate = [&](CThread* ASender) {
        EXPECT_EQ(&normal, ASender);
        terminatedOn = std::this_thread::get_id();
    };
    normal.Start();
    normal.Wait();
    EXPECT_NE(std::thread::id(), terminatedOn);
    EXPECT_NE(std::this_thread::get_id(), terminatedOn);
    EXPECT_EQ(5, normal.ExitCode());

    bool raisedTerminated = false;
    TTestThread raising(loop, [](TTestThread&) -> int { throw std::runtime_error("body"); });
    raising.fOnTerminate = [&](CThread*) { raisedTerminated = true; };
    raising.Start();
    raising.Wait();
    EXPECT_TRUE(raising.Ended());
    EXPECT_FALSE(raisedTerminated);
    EXPECT_EQ(0, raising.ExitCode());
}

TEST(CThread, NeverResumedWorkerNeverRunsAndIsDestroyedCleanly) {
    TStdEventLoop loop;
    auto* thread = new TTestThread(loop, [](TTestThread&) { return 0; });
    thread->Suspend(); // held back twice now
    thread->Resume();  // once: still held
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, thread->fExecuted.load());
    EXPECT_FALSE(thread->Ended());
    delete thread; // must neither hang nor leak (asan)
}

TEST(CThread, WaitOffTheMainThreadJoinsAndStopNotificationWaitsThenNotifies) {
    TStdEventLoop loop;
    std::atomic<bool> release{false};
    TTestThread thread(loop, [&](TTestThread&) {
        while (!release)
            std::this_thread::yield();
        return 3;
    });
    thread.Start();
    std::atomic<bool> joined{false};
    std::thread waiter([&] {
        thread.Wait();
        joined = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(joined);
    release = true;
    waiter.join();
    EXPECT_TRUE(joined);

    bool notified = false;
    thread.fOnStop = [&](CThread* ASender) {
        EXPECT_TRUE(ASender->Ended());
        notified = true;
    };
    EXPECT_EQ(0, thread.HandleCall(THREAD_CALL_STOP, nullptr));
    EXPECT_TRUE(notified);
}

TEST(CThread, SeveralThreadsShareTheLoopAndEachWaitDropsOnlyItsOwnPosts) {
    TStdEventLoop loop;
    std::vector<int> ran;
    std::atomic<int> posted{0};
    auto body = [&](int AId) {
        return [&, AId](TTestThread& T) {
            T.PostCall(uintptr_t(AId), 0, [&](uintptr_t A1, uintptr_t) { ran.push_back(int(A1)); });
            ++posted;
            return 0;
        };
    };
    TTestThread a(loop, body(1));
    TTestThread b(loop, body(2));
    a.Start();
    b.Start();
    while (posted < 2)
        std::this_thread::yield();
    a.Stop();
    a.Wait();
    loop.ProcessMessages();
    EXPECT_EQ(std::vector<int>{2}, ran);
}
