#pragma once
// The interface classes of the family with the device object each one is opened as. Apart from the
// product table, so that the units that only read the table do not pull in every family's class.
#include "platform/Guid.h"

#include <memory>
#include <string>

class TCommonKelvoUsbDevice;
class TComponent;

// The device object a device of interface class AClass is opened as; none for a class the library
// opens no object for.
std::unique_ptr<TCommonKelvoUsbDevice> CreateKelvoDevice(const TGUID& AClass, TComponent* AOwner,
                                                         const std::string& APath);
