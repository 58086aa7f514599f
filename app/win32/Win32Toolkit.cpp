#include "app/win32/Win32Toolkit.h"

#include "app/win32/Win32InputBox.h"
#include "platform/win32/Win32Text.h"

#include <windows.h>

#include <commctrl.h>

#include <algorithm>

namespace {

constexpr wchar_t WindowClassName[] = L"TForm1";
constexpr int ListId = 100;
constexpr int BarId = 101;
constexpr int ButtonId = 102;
constexpr UINT_PTR TimerId = 1;
// The log's line height and the font's character height at 96 dots per inch.
constexpr int ItemHeight = 13;
constexpr int FontHeight = 11;
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

// The per-monitor scale functions exist from Windows 10 on; before it the system scale holds for
// every window.
using TGetDpiForWindow = UINT(WINAPI*)(HWND);
using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename TFunction> TFunction User32Function(const char* AName) {
    return reinterpret_cast<TFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), AName)));
}

UINT DpiOf(HWND AWindow) {
    static const auto getDpiForWindow = User32Function<TGetDpiForWindow>("GetDpiForWindow");
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(AWindow))
            return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? UINT(dpi) : 96;
}

void AdjustForDpi(RECT& ARect, UINT ADpi) {
    static const auto adjust = User32Function<TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    if (adjust)
        adjust(&ARect, WindowStyle, FALSE, 0, ADpi);
    else
        AdjustWindowRectEx(&ARect, WindowStyle, FALSE, 0);
}

std::string WindowText(HWND AWindow) {
    std::wstring text(size_t(std::max(GetWindowTextLengthW(AWindow), 0)) + 1, L'\0');
    text.resize(size_t(std::max(GetWindowTextW(AWindow, text.data(), int(text.size())), 0)));
    return WideToUtf8(text);
}

void RepaintNow(HWND AWindow) {
    RedrawWindow(AWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

} // namespace

void TWin32ListBox::AddAndSelect(const std::string& ALine) {
    const LRESULT index =
        SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(ALine).c_str()));
    // Selecting the line scrolls the list to it.
    if (index >= 0)
        SendMessageW(hList, LB_SETCURSEL, WPARAM(index), 0);
}

void TWin32ListBox::Clear() {
    SendMessageW(hList, LB_RESETCONTENT, 0, 0);
}

int TWin32ListBox::Count() const {
    return std::max(int(SendMessageW(hList, LB_GETCOUNT, 0, 0)), 0);
}

std::string TWin32ListBox::Item(int AIndex) const {
    const LRESULT length = SendMessageW(hList, LB_GETTEXTLEN, WPARAM(AIndex), 0);
    if (length < 0)
        return {};
    std::wstring text(size_t(length) + 1, L'\0');
    const LRESULT copied =
        SendMessageW(hList, LB_GETTEXT, WPARAM(AIndex), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(std::clamp<LRESULT>(copied, 0, length)));
    return WideToUtf8(text);
}

void TWin32ListBox::Repaint() {
    RepaintNow(hList);
}

void TWin32ProgressBar::SetMin(int AMin) {
    fMin = AMin;
    SendRange();
}

void TWin32ProgressBar::SetMax(int AMax) {
    fMax = AMax;
    SendRange();
}

void TWin32ProgressBar::SendRange() {
    SendMessageW(hBar, PBM_SETRANGE32, WPARAM(fMin), LPARAM(fMax));
    // The control keeps its position inside the range; the position asked for is kept here.
    SendMessageW(hBar, PBM_SETPOS, WPARAM(fPosition), 0);
}

void TWin32ProgressBar::SetPosition(int APosition) {
    fPosition = APosition;
    SendMessageW(hBar, PBM_SETPOS, WPARAM(APosition), 0);
}

void TWin32ProgressBar::Repaint() {
    RepaintNow(hBar);
}

void TWin32Button::SetCaption(const std::string& ACaption) {
    SetWindowTextW(hButton, Utf8ToWide(ACaption).c_str());
}

std::string TWin32Button::Caption() const {
    return WindowText(hButton);
}

void TWin32Button::SetEnabled(bool AEnabled) {
    EnableWindow(hButton, AEnabled);
}

bool TWin32Button::Enabled() const {
    return IsWindowEnabled(hButton);
}

void TWin32Timer::SetInterval(int AMilliseconds) {
    fInterval = AMilliseconds;
    // A running timer restarts with the new interval.
    if (fEnabled)
        SetTimer(hOwner, TimerId, UINT(std::max(fInterval, USER_TIMER_MINIMUM)), nullptr);
}

void TWin32Timer::SetEnabled(bool AEnabled) {
    if (AEnabled == fEnabled)
        return;
    fEnabled = AEnabled;
    if (AEnabled)
        SetTimer(hOwner, TimerId, UINT(std::max(fInterval, USER_TIMER_MINIMUM)), nullptr);
    else
        KillTimer(hOwner, TimerId);
}

void TWin32Timer::Elapsed() {
    // A WM_TIMER already queued when the timer was stopped is not a firing.
    if (!fEnabled)
        return;
    SetEnabled(false);
    Fire();
}

struct TWin32Toolkit::TWindow {
    static LRESULT CALLBACK Procedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam);
};

TWin32Toolkit::TWin32Toolkit(TEventLoop& ALoop) : fLoop(ALoop) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TWindow::Procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WindowClassName;
    // The program's icon is resource 1, at the sizes the system asks for.
    windowClass.hIcon =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                      GetSystemMetrics(SM_CYICON), 0));
    windowClass.hIconSm =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    RegisterClassExW(&windowClass);
    hWnd = CreateWindowExW(0, WindowClassName, L"", WindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                           nullptr, instance, this);
    fDpi = DpiOf(hWnd);
    fListBox.hList =
        CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                        0, 0, 0, 0, hWnd, reinterpret_cast<HMENU>(INT_PTR(ListId)), instance, nullptr);
    fProgressBar.hBar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hWnd,
                                        reinterpret_cast<HMENU>(INT_PTR(BarId)), instance, nullptr);
    fButton.hButton =
        CreateWindowExW(0, L"BUTTON", L"Update", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0,
                        0, hWnd, reinterpret_cast<HMENU>(INT_PTR(ButtonId)), instance, nullptr);
    fButton.SetEnabled(false);
    fProgressBar.SendRange();
    fTimer.hOwner = hWnd;
    fTimer.SetInterval(200);
    ApplyScale();
}

TWin32Toolkit::~TWin32Toolkit() {
    fTimer.SetEnabled(false);
    if (hWnd) {
        // Destroyed from here, the window no longer reaches the handlers or the loop.
        fOnClose = nullptr;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        DestroyWindow(hWnd);
    }
    if (hFont)
        DeleteObject(hFont);
}

LRESULT CALLBACK TWin32Toolkit::TWindow::Procedure(HWND AWindow, UINT AMessage, WPARAM AWParam,
                                                   LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* toolkit = reinterpret_cast<TWin32Toolkit*>(GetWindowLongPtrW(AWindow, GWLP_USERDATA));
    if (!toolkit || toolkit->hWnd != AWindow)
        return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
    return toolkit->HandleMessage(AMessage, AWParam, ALParam);
}

intptr_t TWin32Toolkit::HandleMessage(unsigned AMessage, uintptr_t AWParam, intptr_t ALParam) {
    switch (AMessage) {
    case WM_COMMAND:
        if (LOWORD(AWParam) == ButtonId && HIWORD(AWParam) == BN_CLICKED) {
            fButton.Click();
            return 0;
        }
        break;
    case WM_TIMER:
        if (AWParam == TimerId) {
            fTimer.Elapsed();
            return 0;
        }
        break;
    case WM_CLICKUPDATE:
        if (fOnClickRequest)
            fOnClickRequest();
        return 0;
    case WM_SETCURSOR:
        // Sent to the window for its controls too, so the busy cursor covers all of it.
        if (fBusy) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_DPICHANGED: {
        fDpi = HIWORD(AWParam);
        const RECT* suggested = reinterpret_cast<const RECT*>(ALParam);
        SetWindowPos(hWnd, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
        ApplyScale();
        return 0;
    }
    case WM_CLOSE:
        // A dialog still open (the key prompt, a message) is cancelled first, as the user would.
        if (const HWND popup = GetWindow(hWnd, GW_ENABLEDPOPUP); popup && popup != hWnd)
            SendMessageW(popup, WM_CLOSE, 0, 0);
        if (fOnClose)
            fOnClose();
        DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY:
        fTimer.SetEnabled(false);
        fLoop.Quit();
        return 0;
    case WM_NCDESTROY:
        hWnd = nullptr;
        fTimer.hOwner = nullptr;
        break;
    default:
        break;
    }
    return DefWindowProcW(hWnd, AMessage, AWParam, ALParam);
}

int TWin32Toolkit::Scale(int APixels) const {
    return MulDiv(APixels, int(fDpi), 96);
}

void TWin32Toolkit::ApplyScale() {
    LOGFONTW font{};
    font.lfHeight = -Scale(FontHeight);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    lstrcpynW(font.lfFaceName, L"Tahoma", LF_FACESIZE);
    const HFONT previous = hFont;
    hFont = CreateFontIndirectW(&font);
    for (const HWND control : {fListBox.hList, fProgressBar.hBar, fButton.hButton})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
    if (previous)
        DeleteObject(previous);
    SendMessageW(fListBox.hList, LB_SETITEMHEIGHT, 0, Scale(ItemHeight));
    Layout();
}

void TWin32Toolkit::Layout() {
    const auto place = [this](HWND AControl, const TPlace& APlace) {
        MoveWindow(AControl, Scale(APlace.fLeft), Scale(APlace.fTop), Scale(APlace.fWidth),
                   Scale(APlace.fHeight), TRUE);
    };
    place(fListBox.hList, fListPlace);
    place(fProgressBar.hBar, fBarPlace);
    place(fButton.hButton, fButtonPlace);
    const auto [width, height] = FittedSize();
    SetWindowPos(hWnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::pair<int, int> TWin32Toolkit::FittedSize() const {
    int right = 0;
    int bottom = 0;
    for (const TPlace& place : {fListPlace, fBarPlace, fButtonPlace}) {
        right = std::max(right, place.fLeft + place.fWidth);
        bottom = std::max(bottom, place.fTop + place.fHeight);
    }
    RECT frame{0, 0, Scale(right + BorderWidth), Scale(bottom + BorderWidth)};
    AdjustForDpi(frame, fDpi);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

void TWin32Toolkit::SetLogSize(int AWidth, int AHeight) {
    fListPlace.fWidth = AWidth;
    fListPlace.fHeight = AHeight;
    fBarPlace = {fListPlace.fLeft, fListPlace.fTop + AHeight + 16, AWidth, fBarPlace.fHeight};
    fButtonPlace.fLeft = fListPlace.fLeft;
    fButtonPlace.fTop = fBarPlace.fTop + fBarPlace.fHeight + 16;
    Layout();
}

void TWin32Toolkit::CenterOnScreen() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    RECT window{};
    GetWindowRect(hWnd, &window);
    const RECT& area = monitor.rcWork;
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    SetWindowPos(hWnd, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWin32Toolkit::SetCaption(const std::string& ACaption) {
    SetWindowTextW(hWnd, Utf8ToWide(ACaption).c_str());
}

void TWin32Toolkit::Show() {
    ShowWindow(hWnd, SW_SHOW);
    UpdateWindow(hWnd);
}

void TWin32Toolkit::ShowMessage(const std::string& AText) {
    // No owner: the box is centred on the screen, as the start-up error must be; task-modal, it
    // disables the window meanwhile.
    MessageBoxW(nullptr, Utf8ToWide(AText).c_str(), Utf8ToWide(WindowText(hWnd)).c_str(),
                MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

std::optional<std::string> TWin32Toolkit::InputBox(const std::string& ATitle, const std::string& APrompt,
                                                   const std::string& AText) {
    const auto text = RunInputBox(hWnd, Utf8ToWide(ATitle), Utf8ToWide(APrompt), Utf8ToWide(AText));
    if (!text)
        return std::nullopt;
    return WideToUtf8(*text);
}

void TWin32Toolkit::SetBusyCursor(bool ABusy) {
    if (ABusy == fBusy)
        return;
    fBusy = ABusy;
    if (ABusy)
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    else if (hWnd)
        // The cursor the window would set now, without waiting for the mouse to move.
        SendMessageW(hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hWnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

void TWin32Toolkit::SetWindowEnabled(bool AEnabled) {
    EnableWindow(hWnd, AEnabled);
}
