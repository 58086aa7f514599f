#pragma once
// What the simulated bus needs of a simulated device: the interface class it publishes, a way to
// open it, and the notices of being plugged in and pulled out. A device that re-enumerates (into
// its bootloader and back) is unplugged and a different TSimBusDevice sharing its state is plugged.
#include "platform/Guid.h"
#include "platform/UsbBus.h"

#include <cstdint>
#include <memory>
#include <string>

class TSimBus;

class TSimBusDevice {
public:
    virtual ~TSimBusDevice() = default;
    // The interface class GUID the device publishes, and a short name used in its device path.
    virtual TGUID InterfaceClass() const = 0;
    virtual std::string PathName() const = 0;
    // Opens one handle onto the device. The bus calls it only while the device is plugged in.
    virtual uint32_t OpenHandle(std::unique_ptr<TUsbHandle>& AHandle) = 0;
    // The bus has made the device present under APath (any thread).
    virtual void Attached(TSimBus& ABus, const std::string& APath) = 0;
    // The device has left the bus (any thread): from now on its open handles fail with the
    // device-removed errors and their pending reads complete with them.
    virtual void Detached() = 0;
};
