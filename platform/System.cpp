#include "platform/System.h"

#include <stdexcept>

namespace {
TEventLoop* gLoop = nullptr;
TUsbBus* gBus = nullptr;
} // namespace

TEventLoop& MainLoop() {
    if (!gLoop)
        throw std::logic_error("no event loop installed");
    return *gLoop;
}

TUsbBus& UsbBus() {
    if (!gBus)
        throw std::logic_error("no USB bus installed");
    return *gBus;
}

TSystemScope::TSystemScope(TEventLoop& ALoop, TUsbBus& ABus) : fPrevLoop(gLoop), fPrevBus(gBus) {
    gLoop = &ALoop;
    gBus = &ABus;
}

TSystemScope::~TSystemScope() {
    gLoop = fPrevLoop;
    gBus = fPrevBus;
}
