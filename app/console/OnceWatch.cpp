#include "app/console/OnceWatch.h"

#include "app/Unit1.h"

#include <utility>

TOnceWatch::TOnceWatch(TEventLoop& ALoop, std::function<bool()> ALoopIdle, TForm1& AForm, uint32_t AWaitMs,
                       std::function<void()> AOnDone)
    : fLoopIdle(std::move(ALoopIdle)), fForm(AForm), fOnDone(std::move(AOnDone)),
      fFinished(
          ALoop, [this] { return Idle() && fForm.Tally().fUnfinished == 0; }, [this] { Done(); }),
      fGivenUp(
          ALoop, [this] { return Idle(); }, [this] { Done(); }, AWaitMs) {}

bool TOnceWatch::Idle() const {
    // A write sequence lets events run between its blocks: a quiet moment inside it is no end.
    return !fForm.Timer1.Enabled() && !fForm.UpdateUnderWay() && fLoopIdle();
}

void TOnceWatch::Done() {
    if (!std::exchange(fDone, true))
        fOnDone();
}
