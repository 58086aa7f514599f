#include "platform/win32/Win32Api.h"

#include <utility>

const TWin32Api& DefaultWin32Api() {
    static const TWin32Api api{
        ::SetupDiGetClassDevsW,
        ::SetupDiEnumDeviceInterfaces,
        ::SetupDiGetDeviceInterfaceDetailW,
        ::SetupDiDestroyDeviceInfoList,
        ::CreateFileW,
        ::DeviceIoControl,
        ::ReadFile,
        ::GetOverlappedResult,
        ::CancelIoEx,
        ::CloseHandle,
        ::CreateEventW,
        ::SetEvent,
        ::WaitForSingleObject,
        ::WaitForMultipleObjects,
        ::GetLastError,
        ::LoadLibraryW,
        ::GetProcAddress,
        ::RegisterDeviceNotificationW,
        ::UnregisterDeviceNotification,
    };
    return api;
}

namespace {

template <typename TFunction>
bool LookUp(const TWin32Api& AApi, HMODULE AModule, const char* AName, TFunction& AEntry) {
    // GetProcAddress gives a generic function pointer; the table's types say what each one is.
    AEntry = reinterpret_cast<TFunction>(reinterpret_cast<void*>(AApi.GetProcAddress(AModule, AName)));
    return AEntry != nullptr;
}

} // namespace

std::shared_ptr<const TWinUsbApi> LoadWinUsbApi(const TWin32Api& AApi) {
    HMODULE module = AApi.LoadLibraryW(L"winusb.dll");
    if (!module)
        return nullptr;
    // The library stays loaded for the life of the process: handles keep calling into it.
    auto api = std::make_shared<TWinUsbApi>();
    const bool complete =
        LookUp(AApi, module, "WinUsb_Initialize", api->WinUsb_Initialize) &&
        LookUp(AApi, module, "WinUsb_Free", api->WinUsb_Free) &&
        LookUp(AApi, module, "WinUsb_GetDescriptor", api->WinUsb_GetDescriptor) &&
        LookUp(AApi, module, "WinUsb_ControlTransfer", api->WinUsb_ControlTransfer) &&
        LookUp(AApi, module, "WinUsb_ReadPipe", api->WinUsb_ReadPipe) &&
        LookUp(AApi, module, "WinUsb_GetOverlappedResult", api->WinUsb_GetOverlappedResult) &&
        LookUp(AApi, module, "WinUsb_AbortPipe", api->WinUsb_AbortPipe) &&
        LookUp(AApi, module, "WinUsb_QueryInterfaceSettings", api->WinUsb_QueryInterfaceSettings) &&
        LookUp(AApi, module, "WinUsb_QueryPipe", api->WinUsb_QueryPipe) &&
        LookUp(AApi, module, "WinUsb_ResetPipe", api->WinUsb_ResetPipe) &&
        LookUp(AApi, module, "WinUsb_SetPipePolicy", api->WinUsb_SetPipePolicy);
    if (!complete)
        return nullptr;
    return api;
}
