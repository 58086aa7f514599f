#include "platform/win32/Win32EventLoop.h"

#include "tests/threads/EventLoopContract.h"

#include <windows.h>

INSTANTIATE_TYPED_TEST_SUITE_P(Win32EventLoop, EventLoopContract, TWin32EventLoop);

namespace {

// Pumps the thread's messages as a modal loop of the system would, until ADone or about 5 s.
bool PumpLikeAModalLoop(const std::function<bool()>& ADone) {
    for (int slice = 0; slice < 500 && !ADone(); ++slice) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    return ADone();
}

TEST(Win32EventLoop, CallsSentCallsAndTimersRunInAnyMessageLoopOfTheMainThread) {
    TWin32EventLoop loop;
    std::atomic<int> ran{0};
    loop.SetTimer(1, [&] { ++ran; });
    std::thread worker([&] {
        loop.Post([&] { ++ran; });
        loop.Send([&] { ++ran; });
    });
    EXPECT_TRUE(PumpLikeAModalLoop([&] { return ran == 3; }));
    worker.join();
}

TEST(Win32EventLoop, AQuitMessageOfTheThreadEndsRunAndSurvivesProcessMessages) {
    TWin32EventLoop loop;
    bool after = false;
    loop.Post([&] {
        PostQuitMessage(0); // as a closing window does
        loop.ProcessMessages();
        after = true;
    });
    loop.Run(); // returns, or the test times out
    EXPECT_TRUE(after);
}

} // namespace
