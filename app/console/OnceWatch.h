#pragma once
// The console front end's end of a --once run on the USB bus: the devices present at start are done
// once nothing has happened for a second and none of them is between leaving for its bootloader and
// coming back updated (its journal between SwitchRequested and FlashValidated). A device that does
// not come back is given up once nothing has happened for the wait the user allows.
#include "app/console/QuietWatch.h"

#include <cstdint>
#include <functional>

class TEventLoop;
class TForm1;

class TOnceWatch {
public:
    // ALoopIdle: whether the loop holds no pending call. AOnDone runs once, when the run is done or a
    // device was given up after AWaitMs.
    TOnceWatch(TEventLoop& ALoop, std::function<bool()> ALoopIdle, TForm1& AForm, uint32_t AWaitMs,
               std::function<void()> AOnDone);

private:
    bool Idle() const;
    void Done();

    std::function<bool()> fLoopIdle;
    TForm1& fForm;
    std::function<void()> fOnDone;
    bool fDone = false;
    TQuietWatch fFinished;
    TQuietWatch fGivenUp;
};
