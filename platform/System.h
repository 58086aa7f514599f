#pragma once
// The operating system as the device library sees it: the main event loop and the USB bus.
// A front end (or a test) installs both for its lifetime with a TSystemScope; the library reaches
// them through MainLoop() and UsbBus().
#include "platform/EventLoop.h"
#include "platform/UsbBus.h"

TEventLoop& MainLoop();
TUsbBus& UsbBus();

class TSystemScope {
public:
    TSystemScope(TEventLoop& ALoop, TUsbBus& ABus);
    ~TSystemScope();
    TSystemScope(const TSystemScope&) = delete;
    TSystemScope& operator=(const TSystemScope&) = delete;

private:
    TEventLoop* fPrevLoop;
    TUsbBus* fPrevBus;
};
