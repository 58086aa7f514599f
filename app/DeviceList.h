#pragma once
// What `kelvo-fwupd-cli --list` prints: each family device found on the bus with its path, product
// id, interface class, driver binding and, once it has been opened, its serial number.
#include "platform/Guid.h"
#include "platform/UsbBus.h"

#include <cstdint>
#include <string>
#include <vector>

struct TListedDevice {
    std::string Path;
    uint16_t ProductId = 0;
    TGUID Class{};
    TUsbDriverKind Driver = TUsbDriverKind::Family;
    // "" when the device could not be opened or its class has no serial number to read.
    std::string Serial;
};

// Opens the device at APath as the library's class for AClass and reads its serial number; "" when
// that fails. Needs the bus installed (TSystemScope).
std::string ReadListedSerial(const TGUID& AClass, const std::string& APath);

// One line per device ("no devices found" for none), or a JSON array of objects with the keys
// "path", "productId", "interfaceClass", "binding" ("family" or "generic") and "serial" (null
// when unknown).
std::string DeviceListText(const std::vector<TListedDevice>& ADevices);
std::string DeviceListJson(const std::vector<TListedDevice>& ADevices);
