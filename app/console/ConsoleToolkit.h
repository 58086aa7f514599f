#pragma once
// The console front end's toolkit: stdout carries exactly the log lines (one per line, flushed at
// once, so a pipe sees them as they happen); everything else goes to stderr: the progress bar
// (drawn in place on a terminal, otherwise a line at every 10 %; a reset to the start after progress
// is not drawn), message boxes as "error: " lines
// and prompts.
#include "app/ui/Toolkit.h"
#include "platform/EventLoop.h"

#include <cstdio>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

class TConsoleListBox final : public TListBox {
public:
    // A null AOut keeps the lines without writing them (stdout carries something else).
    explicit TConsoleListBox(std::FILE* AOut) : fOut(AOut) {}
    void AddAndSelect(const std::string& ALine) override;
    void Clear() override { fLines.clear(); }
    int Count() const override { return static_cast<int>(fLines.size()); }
    std::string Item(int AIndex) const override;
    void Repaint() override {}
    // The cause of the first failed write of the log (a closed pipe, a full disk); empty while
    // every line got out. After a failure the lines are only kept, not written.
    const std::string& OutputError() const { return fOutputError; }

private:
    std::FILE* fOut;
    std::vector<std::string> fLines;
    std::string fOutputError;
};

class TConsoleProgressBar final : public TProgressBar {
public:
    TConsoleProgressBar(std::FILE* AErr, bool ATerminal) : fErr(AErr), fTerminal(ATerminal) {}
    void SetMin(int AMin) override;
    void SetMax(int AMax) override;
    void SetPosition(int APosition) override;
    // Each position is written as it is set.
    void Repaint() override {}
    int Min() const override { return fMin; }
    int Max() const override { return fMax; }
    int Position() const override { return fPosition; }
    // Whether positions are written at all.
    void SetShown(bool AShown) { fShown = AShown; }

private:
    void Show();

    std::FILE* fErr;
    bool fTerminal;
    bool fShown = true;
    int fMin = 0;
    int fMax = 100;
    int fPosition = 0;
    int fShownPercent = -1;
};

class TConsoleButton final : public TButton {
public:
    void SetCaption(const std::string& ACaption) override { fCaption = ACaption; }
    std::string Caption() const override { return fCaption; }
    void SetEnabled(bool AEnabled) override;
    bool Enabled() const override { return fEnabled; }
    // Runs each time the button goes from disabled to enabled.
    void SetOnEnabled(std::function<void()> AHandler) { fOnEnabled = std::move(AHandler); }

private:
    std::string fCaption;
    bool fEnabled = true;
    std::function<void()> fOnEnabled;
};

// Runs on the main event loop's one-shot timers; enabling arms it, disabling kills it.
class TLoopTimer final : public TTimer {
public:
    explicit TLoopTimer(TEventLoop& ALoop) : fLoop(ALoop) {}
    ~TLoopTimer() override { SetEnabled(false); }
    void SetInterval(int AMilliseconds) override;
    int Interval() const override { return fInterval; }
    void SetEnabled(bool AEnabled) override;
    bool Enabled() const override { return fTimer != 0; }

private:
    TEventLoop& fLoop;
    int fInterval = 1000;
    TEventLoop::TTimerId fTimer = 0;
};

class TConsoleToolkit final : public TToolkit {
public:
    // AIn answers input boxes; AOut gets the log (none when null), AErr everything else.
    TConsoleToolkit(TEventLoop& ALoop, std::istream& AIn, std::FILE* AOut, std::FILE* AErr, bool ATerminal);
    // Drops the clicks it has posted and not yet run.
    ~TConsoleToolkit() override;

    void ShowMessage(const std::string& AText) override;
    std::optional<std::string> InputBox(const std::string& ATitle, const std::string& APrompt,
                                        const std::string& AText) override;
    void SetBusyCursor(bool) override {}
    void SetWindowEnabled(bool AEnabled) override { fWindowEnabled = AEnabled; }
    void SetCaption(const std::string& ACaption) override { fCaption = ACaption; }
    void SetLogSize(int, int) override {}
    void CenterOnScreen() override {}
    void ProcessMessages() override { fLoop.ProcessMessages(); }
    void Terminate() override { fLoop.Quit(); }
    // A line on stderr that is neither log nor error.
    void Note(const std::string& AText);
    // Clicks Update (as a posted event) whenever it becomes enabled.
    void SetAutoClick(bool AAutoClick);
    // Input boxes get AAnswer without asking. Without an answer they read a line from the input
    // when it is interactive, and are cancelled otherwise.
    void SetInputAnswer(std::optional<std::string> AAnswer) { fAnswer = std::move(AAnswer); }
    void SetInteractive(bool AInteractive) { fInteractive = AInteractive; }
    // Whether the progress bar is shown on AErr (it is unless told otherwise).
    void SetProgressShown(bool AShown) { fProgressBar.SetShown(AShown); }

    TListBox& ListBox() override { return fListBox; }
    TProgressBar& ProgressBar() override { return fProgressBar; }
    TButton& Button() override { return fButton; }
    TTimer& Timer() override { return fTimer; }

    bool WindowEnabled() const { return fWindowEnabled; }
    const std::string& LogOutputError() const { return fListBox.OutputError(); }
    const std::string& Caption() const { return fCaption; }

private:
    TEventLoop& fLoop;
    std::istream& fIn;
    std::FILE* fErr;
    TConsoleListBox fListBox;
    TConsoleProgressBar fProgressBar;
    TConsoleButton fButton;
    TLoopTimer fTimer;
    bool fWindowEnabled = true;
    std::string fCaption;
    std::optional<std::string> fAnswer;
    bool fInteractive = true;
};
