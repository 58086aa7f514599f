#pragma once
// The USB bus a kelvo-trace device command works on: the simulated bench of --simulate, else the
// system's USB devices as the updaters find them (the vendor id of --usb-vendor-id, else settings.ini's,
// else the default).
#include "platform/CommandArgs.h"
#include "platform/Guid.h"
#include "platform/MainEventLoop.h"
#include "platform/System.h"
#include "platform/UsbBus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TSimBusDevice;

// A device found on the bus: its interface class and its path.
struct TBusDevice {
    TGUID fClass;
    std::string fPath;
};

class TTraceBus {
public:
    // How long a command waits for a device to be plugged in when none is there yet.
    static constexpr uint32_t KFindDeviceMs = 2000;

    // From the --simulate and --usb-vendor-id values of AArgs: a usage fault for a value that is
    // none, std::runtime_error naming ACommand when the settings cannot be read or there is no USB
    // access. The bus is installed as the system's until it goes.
    TTraceBus(const std::string& ACommand, const TParsedArgs& AArgs);
    TTraceBus(const TTraceBus&) = delete;
    TTraceBus& operator=(const TTraceBus&) = delete;

    TMainEventLoop& Loop() { return fLoop; }
    // The first device of the first class of AClasses that has one, waiting up to KFindDeviceMs
    // (the loop running) for one to arrive; none when none did.
    std::optional<TBusDevice> FindFirst(const std::vector<TGUID>& AClasses);

private:
    std::optional<TBusDevice> Present(const std::vector<TGUID>& AClasses);

    TMainEventLoop fLoop;
    std::unique_ptr<TUsbBus> fBus;
    std::vector<std::shared_ptr<TSimBusDevice>> fSimDevices;
    std::optional<TSystemScope> fScope;
};
