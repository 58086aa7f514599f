// A build without any USB access: only the simulated bench has devices.
#include "app/RealUsbBus.h"

#include "app/DeviceList.h"

std::unique_ptr<TUsbBus> CreateRealUsbBus(TEventLoop&, uint16_t, std::function<void(const std::string&)>,
                                          std::string& AError) {
    AError = "this build has no USB access (libusb-1.0 was not found)";
    return nullptr;
}

std::vector<TListedDevice> ListRealUsbDevices(TUsbBus&) {
    return {};
}
