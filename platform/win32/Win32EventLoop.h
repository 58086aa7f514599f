#pragma once
// The main loop as a Win32 message loop. The constructing thread becomes the main thread and owns a
// hidden message-only window: work queued from any thread wakes it with the registered message
// "MyThreadMessage", and the earliest one-shot timer is a Win32 timer on it. So queued calls, sent
// calls and timers run wherever the main thread pumps messages: in Run, in ProcessMessages, or in a
// modal loop of the system's, next to the program's own windows and device notifications.
#include "platform/QueuedEventLoop.h"

#include <atomic>

// The system's window handle type, without the system headers: they define the error numbers of
// WinError.h as macros, which would break a file that includes this header before that one.
struct HWND__;

class TWin32EventLoop : public TQueuedEventLoop {
public:
    TWin32EventLoop();
    ~TWin32EventLoop() override;
    TWin32EventLoop(const TWin32EventLoop&) = delete;
    TWin32EventLoop& operator=(const TWin32EventLoop&) = delete;

    // Dispatches the thread's pending window messages, then runs what is pending as every loop does.
    void ProcessMessages() override;
    // Runs the message loop until Quit, or until a WM_QUIT arrives.
    void Run() override;
    void Quit() override;
    // Main thread: runs events until APredicate holds or ATimeoutMs has passed; true when it holds.
    bool RunUntil(const std::function<bool()>& APredicate, uint32_t ATimeoutMs);

protected:
    void WakeUp() override;

private:
    struct TWindow; // the hidden window's procedure
    // Main thread: runs the queued calls and due timers, then sets the Win32 timer for the next one.
    void RunQueued();
    void ArmTimer();

    HWND__* hWnd = nullptr;
    unsigned fMessage = 0;
    std::atomic<bool> fWakePosted{false};
    std::atomic<bool> fQuit{false};
};
