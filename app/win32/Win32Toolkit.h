#pragma once
// The native Win32 toolkit: the updater's one window (window class "TForm1") with its list box, a
// comctl32 progress bar and the Update button, laid out at the form's original sizes until the form
// resizes the log. Sizes are those of 96 dots per inch, scaled to the window's monitor; the window
// follows a move to a monitor of another scale. Its messages run on the program's Win32 message
// loop, so queued calls, device notifications and the window share the main thread.
#include "app/ui/Toolkit.h"
#include "platform/EventLoop.h"

#include <cstdint>
#include <functional>
#include <utility>

// The system's handle types, without the system headers: their macros rename the library's own
// functions (RegisterDeviceNotification and others) in every file that includes this one.
struct HWND__;
struct HFONT__;

class TWin32ListBox final : public TListBox {
public:
    void AddAndSelect(const std::string& ALine) override;
    void Clear() override;
    int Count() const override;
    std::string Item(int AIndex) const override;
    void Repaint() override;

private:
    friend class TWin32Toolkit;
    HWND__* hList = nullptr;
};

class TWin32ProgressBar final : public TProgressBar {
public:
    void SetMin(int AMin) override;
    void SetMax(int AMax) override;
    void SetPosition(int APosition) override;
    int Min() const override { return fMin; }
    int Max() const override { return fMax; }
    int Position() const override { return fPosition; }
    void Repaint() override;

private:
    friend class TWin32Toolkit;
    void SendRange();
    HWND__* hBar = nullptr;
    int fMin = 0;
    int fMax = 100;
    int fPosition = 0;
};

class TWin32Button final : public TButton {
public:
    void SetCaption(const std::string& ACaption) override;
    std::string Caption() const override;
    void SetEnabled(bool AEnabled) override;
    bool Enabled() const override;

private:
    friend class TWin32Toolkit;
    HWND__* hButton = nullptr;
};

// A one-shot Win32 timer of the main window: it stops before its handler runs.
class TWin32Timer final : public TTimer {
public:
    void SetInterval(int AMilliseconds) override;
    int Interval() const override { return fInterval; }
    void SetEnabled(bool AEnabled) override;
    bool Enabled() const override { return fEnabled; }

private:
    friend class TWin32Toolkit;
    // WM_TIMER of its id.
    void Elapsed();
    HWND__* hOwner = nullptr;
    int fInterval = 1000;
    bool fEnabled = false;
};

class TWin32Toolkit final : public TToolkit {
public:
    static constexpr int BorderWidth = 16;
    // The window message that clicks Update.
    static constexpr unsigned WM_CLICKUPDATE = 0x0400 + 1;

    // The window is made hidden; Show shows it. ALoop runs its messages and ends when it is destroyed.
    explicit TWin32Toolkit(TEventLoop& ALoop);
    ~TWin32Toolkit() override;
    TWin32Toolkit(const TWin32Toolkit&) = delete;
    TWin32Toolkit& operator=(const TWin32Toolkit&) = delete;

    void ShowMessage(const std::string& AText) override;
    std::optional<std::string> InputBox(const std::string& ATitle, const std::string& APrompt,
                                        const std::string& AText) override;
    void SetBusyCursor(bool ABusy) override;
    void SetWindowEnabled(bool AEnabled) override;
    void SetCaption(const std::string& ACaption) override;
    void SetLogSize(int AWidth, int AHeight) override;
    void CenterOnScreen() override;
    void ProcessMessages() override { fLoop.ProcessMessages(); }
    void Terminate() override { fLoop.Quit(); }

    TListBox& ListBox() override { return fListBox; }
    TProgressBar& ProgressBar() override { return fProgressBar; }
    TButton& Button() override { return fButton; }
    TTimer& Timer() override { return fTimer; }

    void Show();
    // Runs when the window is about to close, before it is destroyed.
    void SetOnClose(std::function<void()> AHandler) { fOnClose = std::move(AHandler); }
    // Runs when the window receives WM_CLICKUPDATE.
    void SetOnClickRequest(std::function<void()> AHandler) { fOnClickRequest = std::move(AHandler); }
    HWND__* Window() const { return hWnd; }

private:
    // A control's place in 96-dpi pixels of the client area.
    struct TPlace {
        int fLeft, fTop, fWidth, fHeight;
    };

    struct TWindow; // the window's procedure
    intptr_t HandleMessage(unsigned AMessage, uintptr_t AWParam, intptr_t ALParam);
    int Scale(int APixels) const;
    // The font at the current scale, and every control placed and the window sized to wrap them.
    void ApplyScale();
    void Layout();
    // The window's outer width and height for the controls at the current scale.
    std::pair<int, int> FittedSize() const;

    TEventLoop& fLoop;
    HWND__* hWnd = nullptr;
    HFONT__* hFont = nullptr;
    unsigned fDpi = 96;
    TPlace fListPlace{BorderWidth, BorderWidth, 480, 257};
    TPlace fBarPlace{BorderWidth, BorderWidth + 272, 480, 17};
    TPlace fButtonPlace{BorderWidth, BorderWidth + 295, 121, 25};
    TWin32ListBox fListBox;
    TWin32ProgressBar fProgressBar;
    TWin32Button fButton;
    TWin32Timer fTimer;
    bool fBusy = false;
    std::function<void()> fOnClose;
    std::function<void()> fOnClickRequest;
};
