// The real bus on Windows: the device interfaces the system's drivers present.
#include "app/RealUsbBus.h"

#include "app/DeviceList.h"

std::unique_ptr<TUsbBus> CreateRealUsbBus(TEventLoop&, uint16_t, std::function<void(const std::string&)>,
                                          std::string& AError) {
    AError = "this Windows build has no USB access yet; only the simulated bench (--simulate) has devices";
    return nullptr;
}

std::vector<TListedDevice> ListRealUsbDevices(TUsbBus&) {
    return {};
}
