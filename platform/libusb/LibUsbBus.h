#pragma once
// The real USB bus on Linux: the family's devices found by vendor id, published under the interface
// class of their product id (or the bootloader's class for a device in its bootloader), with a
// device path built from the bus and port numbers, stable while the device stays plugged in.
// Opening a device claims it through libusb-1.0 and binds it to the family driver or the generic
// driver, as its device descriptor asks (bDeviceSubClass 0x01: bootloader; bDeviceProtocol 0x01:
// generic driver).
//
// Devices are listed from sysfs and opened through their usbfs node. Arrivals and removals come
// from libusb's hotplug callbacks on the bus's event thread (rescanning on the main loop); where the
// system gives no hotplug events (no udev daemon) the bus says so in one log line and rescans every
// 500 ms instead.
#include "platform/EventLoop.h"
#include "platform/UsbBus.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TLibUsbBusOptions {
    uint16_t VendorId = 0x1209;
    // The interface class of a running device of AProductId; all-zero for a product the family lacks.
    std::function<TGUID(uint16_t AProductId)> ClassOf;
    TGUID BootloaderClass{};
    // One line for each problem a device gives (reported once per device).
    std::function<void(const std::string& ALine)> Log;
    // Where the USB devices are listed and opened (tests point them elsewhere).
    std::string SysfsDevices = "/sys/bus/usb/devices";
    std::string DevNodes = "/dev/bus/usb";
};

// One family device as the bus has found it.
struct TLibUsbDeviceInfo {
    std::string Path;
    std::string Port; // bus and port path, "1-1.2"
    uint16_t ProductId = 0;
    TGUID Class{};
    bool Bootloader = false;
    TUsbDriverKind Driver = TUsbDriverKind::Family;
};

class TLibUsbBus : public TUsbBus {
public:
    // Starts libusb and the event thread and finds the devices present now; 0 with ABus set, or the
    // error that stops libusb from starting.
    static uint32_t Create(TEventLoop& ALoop, TLibUsbBusOptions AOptions, std::unique_ptr<TLibUsbBus>& ABus);
    ~TLibUsbBus() override;
    TLibUsbBus(const TLibUsbBus&) = delete;
    TLibUsbBus& operator=(const TLibUsbBus&) = delete;

    uint32_t GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) override;
    uintptr_t RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                         uint32_t& AError) override;
    void UnregisterDeviceNotification(uintptr_t ARegistration) override;
    uint32_t Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) override;
    bool GenericDriverAvailable() override { return true; }

    // The family devices present now, in the order they were found.
    std::vector<TLibUsbDeviceInfo> Devices() const;
    // Main thread: reads the device list again and reports what came and went.
    void Rescan();

private:
    struct TState;
    TLibUsbBus(TEventLoop& ALoop, TLibUsbBusOptions AOptions);

    TEventLoop& fLoop;
    std::shared_ptr<TState> fState;
};
