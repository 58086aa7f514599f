#include "app/console/QuietWatch.h"

#include "platform/EventLoop.h"

namespace {
constexpr uint32_t QuietCheckMs = 100;
}

TQuietWatch::TQuietWatch(TEventLoop& ALoop, std::function<bool()> AIsQuiet, std::function<void()> AOnQuiet,
                         uint32_t AQuietMs)
    : fLoop(ALoop), fIsQuiet(std::move(AIsQuiet)), fOnQuiet(std::move(AOnQuiet)), fQuietMs(AQuietMs) {
    fTimer = fLoop.SetTimer(QuietCheckMs, [this] { Check(); });
}

TQuietWatch::~TQuietWatch() {
    if (fTimer)
        fLoop.KillTimer(fTimer);
}

void TQuietWatch::Check() {
    fTimer = 0;
    fQuietSoFar = fIsQuiet() ? fQuietSoFar + QuietCheckMs : 0;
    if (fQuietSoFar >= fQuietMs) {
        fOnQuiet();
        return;
    }
    fTimer = fLoop.SetTimer(QuietCheckMs, [this] { Check(); });
}
