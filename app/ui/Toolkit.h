#pragma once
// The window toolkit as the main form sees it. The form only talks through these interfaces, so
// the same form runs in the Qt window and in the console front end (and under tests).
#include <functional>
#include <optional>
#include <string>

class TListBox {
public:
    virtual ~TListBox() = default;
    // Appends a line and selects it, so the newest log line is the visible one.
    virtual void AddAndSelect(const std::string& ALine) = 0;
    virtual void Clear() = 0;
    virtual int Count() const = 0;
    virtual std::string Item(int AIndex) const = 0;
    // Repaints at once, so a log line shows even inside a long step.
    virtual void Repaint() = 0;
};

class TProgressBar {
public:
    virtual ~TProgressBar() = default;
    virtual void SetMin(int AMin) = 0;
    virtual void SetMax(int AMax) = 0;
    virtual void SetPosition(int APosition) = 0;
    virtual int Min() const = 0;
    virtual int Max() const = 0;
    virtual int Position() const = 0;
    // Repaints at once, so the position shows inside a step that lets no events run.
    virtual void Repaint() = 0;
};

class TButton {
public:
    using TClickHandler = std::function<void()>;
    virtual ~TButton() = default;
    virtual void SetCaption(const std::string& ACaption) = 0;
    virtual std::string Caption() const = 0;
    virtual void SetEnabled(bool AEnabled) = 0;
    virtual bool Enabled() const = 0;
    void SetOnClick(TClickHandler AHandler) { fOnClick = std::move(AHandler); }
    // Runs the current handler whatever the enabled state: the external click request relies on it.
    void Click() {
        if (fOnClick)
            fOnClick();
    }

private:
    TClickHandler fOnClick;
};

// A timer that fires once per enabling: the handler is expected to disable it first.
class TTimer {
public:
    using THandler = std::function<void()>;
    virtual ~TTimer() = default;
    virtual void SetInterval(int AMilliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool AEnabled) = 0;
    virtual bool Enabled() const = 0;
    void SetOnTimer(THandler AHandler) { fOnTimer = std::move(AHandler); }
    void Fire() {
        if (fOnTimer)
            fOnTimer();
    }

private:
    THandler fOnTimer;
};

// Everything beyond the controls: modal dialogs, cursor, window state and the event loop.
class TToolkit {
public:
    virtual ~TToolkit() = default;
    virtual void ShowMessage(const std::string& AText) = 0;
    // One-line input; nullopt when cancelled.
    virtual std::optional<std::string> InputBox(const std::string& ATitle, const std::string& APrompt,
                                                const std::string& AText) = 0;
    virtual void SetBusyCursor(bool ABusy) = 0;
    virtual void SetWindowEnabled(bool AEnabled) = 0;
    virtual void SetCaption(const std::string& ACaption) = 0;
    // Resizes the log and places the progress bar and the button under it, 16 px apart; the
    // window wraps the controls inside its 16 px border.
    virtual void SetLogSize(int AWidth, int AHeight) = 0;
    virtual void CenterOnScreen() = 0;
    // Lets pending events (paints, input, posted calls) run before returning.
    virtual void ProcessMessages() = 0;
    virtual void Terminate() = 0;

    virtual TListBox& ListBox() = 0;
    virtual TProgressBar& ProgressBar() = 0;
    virtual TButton& Button() = 0;
    virtual TTimer& Timer() = 0;
};
