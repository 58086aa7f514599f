#pragma once
// The USB bus on Windows: present device interfaces of a class through SetupAPI, arrivals and
// removals through device notifications on a hidden message-only window, and devices opened with
// CreateFileW and bound to the generic driver when WinUsb_Initialize accepts them, else to the
// family's driver. winusb.dll is loaded at run time; without it only the family driver is used.
//
// Everything a system call gives back about a device (detail sizes, broadcast sizes, paths) is
// checked before it is read.
#include "platform/EventLoop.h"
#include "platform/win32/Win32Api.h"

#include <map>
#include <memory>
#include <mutex>

class TWin32UsbBus : public TUsbBus {
public:
    // Main thread: the notification window belongs to it, and so WM_DEVICECHANGE reaches it while
    // that thread pumps messages. Reports are posted to ALoop, which must outlive the bus.
    explicit TWin32UsbBus(TEventLoop& ALoop, std::shared_ptr<const TWin32Api> AApi = DefaultApi());
    ~TWin32UsbBus() override;
    TWin32UsbBus(const TWin32UsbBus&) = delete;
    TWin32UsbBus& operator=(const TWin32UsbBus&) = delete;

    uint32_t GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) override;
    uintptr_t RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                         uint32_t& AError) override;
    void UnregisterDeviceNotification(uintptr_t ARegistration) override;
    uint32_t Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) override;
    // Loads winusb.dll on first use; a failed load is tried again at the next call.
    bool GenericDriverAvailable() override;

    // The window the device notifications are registered on.
    HWND NotificationWindow() const { return hWnd; }

    static std::shared_ptr<const TWin32Api> DefaultApi();

private:
    struct TState; // shared with queued reports, which may outlive the bus

    static LRESULT CALLBACK WindowProc(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam);
    void DeviceChange(WPARAM AEvent, LPARAM ABroadcast);
    uint32_t ReadDevicePath(HDEVINFO ASet, SP_DEVICE_INTERFACE_DATA& AData, std::string& APath);
    std::shared_ptr<const TWinUsbApi> WinUsb();

    TEventLoop& fLoop;
    std::shared_ptr<const TWin32Api> fApi;
    std::shared_ptr<TState> fState;
    HWND hWnd = nullptr;
    uint32_t fWindowError = ERROR_SUCCESS;
    std::mutex fWinUsbMutex;
    std::shared_ptr<const TWinUsbApi> fWinUsb;
};
