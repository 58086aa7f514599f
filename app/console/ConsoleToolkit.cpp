#include "app/console/ConsoleToolkit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

void TConsoleListBox::AddAndSelect(const std::string& ALine) {
    fLines.push_back(ALine);
    if (!fOut || !fOutputError.empty())
        return;
    errno = 0;
    std::fprintf(fOut, "%s\n", ALine.c_str());
    if (std::fflush(fOut) != 0 || std::ferror(fOut))
        fOutputError = errno != 0 ? std::strerror(errno) : "write error";
}

std::string TConsoleListBox::Item(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        return {};
    return fLines[static_cast<size_t>(AIndex)];
}

void TConsoleProgressBar::SetMin(int AMin) {
    fMin = AMin;
    Show();
}

void TConsoleProgressBar::SetMax(int AMax) {
    fMax = AMax;
    Show();
}

void TConsoleProgressBar::SetPosition(int APosition) {
    fPosition = APosition;
    Show();
}

void TConsoleProgressBar::Show() {
    // An empty or inverted range has no meaningful share; it shows nothing rather than dividing by 0.
    if (!fShown || fMax <= fMin)
        return;
    const long long span = static_cast<long long>(fMax) - fMin;
    const long long done = std::clamp<long long>(static_cast<long long>(fPosition) - fMin, 0, span);
    // A terminal redraws one line in place at every percent; a pipe or file gets a line per 10 %.
    const int step = fTerminal ? 1 : 10;
    const int percent = static_cast<int>(done * 100 / span) / step * step;
    if (percent == fShownPercent)
        return;
    // A return to the start after progress was shown is the bar being reset once a run ended, not
    // progress: nothing is printed, and the next run's progress is shown from there.
    if (done == 0 && fShownPercent > 0) {
        fShownPercent = 0;
        return;
    }
    fShownPercent = percent;
    if (fTerminal) {
        constexpr int width = 40;
        const int filled = percent * width / 100;
        std::fprintf(fErr, "\r[%s%s] %3d%%%s", std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), ' ').c_str(), percent,
                     percent == 100 ? "\n" : "");
    } else {
        std::fprintf(fErr, "%d%%\n", percent);
    }
    std::fflush(fErr);
}

void TLoopTimer::SetInterval(int AMilliseconds) {
    fInterval = AMilliseconds;
    // A running timer restarts with the new interval, as a window timer does.
    if (Enabled()) {
        SetEnabled(false);
        SetEnabled(true);
    }
}

void TLoopTimer::SetEnabled(bool AEnabled) {
    if (AEnabled == Enabled())
        return;
    if (!AEnabled) {
        fLoop.KillTimer(fTimer);
        fTimer = 0;
        return;
    }
    fTimer = fLoop.SetTimer(static_cast<uint32_t>(std::max(fInterval, 0)), [this] {
        fTimer = 0;
        Fire();
    });
}

TConsoleToolkit::TConsoleToolkit(TEventLoop& ALoop, std::istream& AIn, std::FILE* AOut, std::FILE* AErr,
                                 bool ATerminal)
    : fLoop(ALoop), fIn(AIn), fErr(AErr), fListBox(AOut), fProgressBar(AErr, ATerminal), fTimer(ALoop) {}

TConsoleToolkit::~TConsoleToolkit() {
    fLoop.WaitForWorker(this, [] { return true; });
}

void TConsoleToolkit::ShowMessage(const std::string& AText) {
    std::fprintf(fErr, "error: %s\n", AText.c_str());
    std::fflush(fErr);
}

void TConsoleToolkit::Note(const std::string& AText) {
    std::fprintf(fErr, "%s\n", AText.c_str());
    std::fflush(fErr);
}

void TConsoleButton::SetEnabled(bool AEnabled) {
    const bool wasEnabled = fEnabled;
    fEnabled = AEnabled;
    if (AEnabled && !wasEnabled && fOnEnabled)
        fOnEnabled();
}

void TConsoleToolkit::SetAutoClick(bool AAutoClick) {
    if (!AAutoClick) {
        fButton.SetOnEnabled(nullptr);
        return;
    }
    // Posted, so the handler that made the offer finishes before the click runs; the click only
    // happens if the offer still stands by then.
    fButton.SetOnEnabled([this] {
        fLoop.Post(
            [this] {
                if (!fButton.Enabled())
                    return;
                Note("clicking Update");
                fButton.Click();
            },
            this);
    });
}

std::optional<std::string> TConsoleToolkit::InputBox(const std::string& ATitle, const std::string& APrompt,
                                                     const std::string& AText) {
    if (fAnswer) {
        Note(ATitle + ": " + APrompt + " [answered with --key]");
        return fAnswer;
    }
    if (!fInteractive) {
        Note(ATitle + ": " + APrompt + " [cancelled: no terminal to ask]");
        return std::nullopt;
    }
    std::fprintf(fErr, "%s: %s [%s] ", ATitle.c_str(), APrompt.c_str(), AText.c_str());
    std::fflush(fErr);
    std::string line;
    if (!std::getline(fIn, line))
        return std::nullopt;
    // An empty answer keeps the offered text, as confirming an untouched input box does.
    return line.empty() ? AText : line;
}
