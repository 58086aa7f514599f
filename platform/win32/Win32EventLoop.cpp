#include "platform/win32/Win32EventLoop.h"

#include <windows.h>

#include <algorithm>

namespace {

constexpr wchar_t WindowClassName[] = L"MyThreadWindowClass";
constexpr UINT_PTR TimerId = 1;

} // namespace

struct TWin32EventLoop::TWindow {
    static LRESULT CALLBACK Procedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam);
};

TWin32EventLoop::TWin32EventLoop() {
    fMessage = RegisterWindowMessageW(L"MyThreadMessage");
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TWindow::Procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClassName;
    RegisterClassExW(&windowClass); // fails harmlessly once another loop has registered it
    hWnd = CreateWindowExW(0, WindowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
}

TWin32EventLoop::~TWin32EventLoop() {
    if (hWnd)
        DestroyWindow(hWnd);
}

LRESULT CALLBACK TWin32EventLoop::TWindow::Procedure(HWND AWindow, UINT AMessage, WPARAM AWParam,
                                                     LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
    }
    auto* loop = reinterpret_cast<TWin32EventLoop*>(GetWindowLongPtrW(AWindow, GWLP_USERDATA));
    if (loop && (AMessage == loop->fMessage || (AMessage == WM_TIMER && AWParam == TimerId))) {
        if (AMessage == loop->fMessage)
            loop->fWakePosted = false;
        loop->RunQueued();
        return 0;
    }
    return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
}

void TWin32EventLoop::WakeUp() {
    // One wake-up message in the queue is enough: it runs everything queued up to then.
    if (hWnd && !fWakePosted.exchange(true) && !PostMessageW(hWnd, fMessage, 0, 0))
        fWakePosted = false;
}

void TWin32EventLoop::RunQueued() {
    TQueuedEventLoop::ProcessMessages();
    ArmTimer();
}

void TWin32EventLoop::ArmTimer() {
    const auto due = NextTimerDue();
    if (!due) {
        ::KillTimer(hWnd, TimerId);
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - TClock::now()).count();
    if (wait <= 0) {
        ::KillTimer(hWnd, TimerId);
        WakeUp(); // already due: run it from the message loop, not from inside this call
        return;
    }
    ::SetTimer(hWnd, TimerId, UINT(std::min<long long>(wait, USER_TIMER_MAXIMUM)), nullptr);
}

void TWin32EventLoop::ProcessMessages() {
    MSG message;
    bool quit = false;
    WPARAM quitCode = 0;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quit = true;
            quitCode = message.wParam;
            break;
        }
        // Wake-ups are answered once below, so that a call that queues another cannot keep us here.
        if (message.hwnd == hWnd && message.message == fMessage) {
            fWakePosted = false;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    RunQueued();
    if (quit)
        PostQuitMessage(int(quitCode)); // for the loop that waits for it
}

void TWin32EventLoop::Run() {
    for (;;) {
        if (fQuit.exchange(false))
            return;
        MSG message;
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            return;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void TWin32EventLoop::Quit() {
    fQuit = true;
    // Always a message of its own, so that GetMessageW returns even when a wake-up is under way.
    if (hWnd)
        PostMessageW(hWnd, fMessage, 0, 0);
}

bool TWin32EventLoop::RunUntil(const std::function<bool()>& APredicate, uint32_t ATimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    for (;;) {
        ProcessMessages();
        if (APredicate())
            return true;
        const auto now = TClock::now();
        if (now >= deadline)
            return false;
        // A predicate may also turn true on another thread, without a message; look again every few ms.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(std::min<long long>(left, 5)), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}
