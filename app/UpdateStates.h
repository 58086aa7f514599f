#pragma once
// The two small state machines of the updater. Their numbers are fixed: update steps are stored in
// every device's settings file, and a device's state is the integer its Tag carries.
#include "platform/Component.h"

// The update journal: the "UpdateStep" value of a device's settings file. A device that arrives
// is handled by the step its last update reached.
enum class TUpdateStep : int {
    Idle = 0,            // no update under way (finished or abandoned)
    SwitchRequested = 1, // the device was asked to enter its bootloader
    StubArrived = 2,     // the bootloader arrived and identified itself
    FlashErased = 3,     // the flash was erased; the image is not complete
    FlashWritten = 4,    // every block was written; the flash is not validated
    FlashValidated = 5,  // validated and told to leave programming mode; parameters go back next
    RestoreFailed = 6,   // putting the parameters back failed; the user is told once more
};

// Whether a journal holds an update that has not finished: the device went (or was sent) into its
// bootloader and has not come back with a validated flash.
inline bool JournalMidUpdate(TUpdateStep AStep) {
    return AStep >= TUpdateStep::SwitchRequested && AStep <= TUpdateStep::FlashValidated;
}

// What the window has made of a device object, kept in its Tag.
enum class TDeviceState : int {
    Created = 0,         // not identified (or held on a journal step the connection does not act on)
    Identified = 1,      // identified and not offered: up to date, no image, or just restored
    JournalReset = 2,    // its journal was reset (steps 1, 2 or 6) or a restore failed
    UpdateOffered = 3,   // newer firmware offered, Update enabled
    Usb30Issue = 4,      // newer firmware exists but is withheld for the USB 3.0 issue
    SwitchingToStub = 5, // told to switch into its bootloader
};

inline TDeviceState StateOf(const TComponent& ADevice) {
    return TDeviceState(ADevice.Tag);
}

inline void SetState(TComponent& ADevice, TDeviceState AState) {
    ADevice.Tag = int(AState);
}
