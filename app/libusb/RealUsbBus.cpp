// The real bus over libusb-1.0: the family's devices as the Linux kernel's USB stack shows them.
#include "app/RealUsbBus.h"

#include "MyLib/KelvoSerials.h"
#include "app/DeviceList.h"
#include "platform/libusb/LibUsbBus.h"

std::unique_ptr<TUsbBus> CreateRealUsbBus(TEventLoop& ALoop, uint16_t AVendorId,
                                          std::function<void(const std::string&)> ALog, std::string& AError) {
    TLibUsbBusOptions options;
    options.VendorId = AVendorId;
    options.ClassOf = [](uint16_t AProductId) {
        TGUID guid;
        ProductIdToGuid(AProductId, guid);
        return guid;
    };
    options.BootloaderClass = GUID_KELVO_USB_STUB;
    options.Log = std::move(ALog);
    std::unique_ptr<TLibUsbBus> bus;
    if (uint32_t error = TLibUsbBus::Create(ALoop, std::move(options), bus)) {
        AError = "cannot start USB access (error " + std::to_string(error) + ")";
        return nullptr;
    }
    return bus;
}

std::vector<TListedDevice> ListRealUsbDevices(TUsbBus& ABus) {
    std::vector<TListedDevice> listed;
    for (const TLibUsbDeviceInfo& info : static_cast<TLibUsbBus&>(ABus).Devices())
        listed.push_back(
            {info.Path, info.ProductId, info.Class, info.Driver, ReadListedSerial(info.Class, info.Path)});
    return listed;
}
