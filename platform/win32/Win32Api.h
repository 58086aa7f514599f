#pragma once
// Every Win32 entry point the USB units call, as one table of function pointers. The programs use
// DefaultWin32Api (the system's own functions); tests hand the units a table of fakes instead.
// winusb.dll is optional: its entry points are looked up at run time into a TWinUsbApi.
//
// The platform headers come before the system's: the system headers define the same error numbers
// and constants as macros, which would otherwise rewrite the platform's own declarations.
#include "platform/UsbBus.h"
#include "platform/WinError.h"

#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

// winuser.h maps this name to its ANSI or wide variant; TUsbBus has a method of that name.
#undef RegisterDeviceNotification

#include <memory>

struct TWin32Api {
    // SetupAPI
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    // Kernel I/O, events and waits
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::DeviceIoControl) DeviceIoControl;
    decltype(&::ReadFile) ReadFile;
    decltype(&::GetOverlappedResult) GetOverlappedResult;
    decltype(&::CancelIoEx) CancelIoEx;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::SetEvent) SetEvent;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    decltype(&::GetLastError) GetLastError;
    // Run-time loading
    decltype(&::LoadLibraryW) LoadLibraryW;
    decltype(&::GetProcAddress) GetProcAddress;
    // Device notifications
    decltype(&::RegisterDeviceNotificationW) RegisterDeviceNotificationW;
    decltype(&::UnregisterDeviceNotification) UnregisterDeviceNotification;
};

// winusb.dll's own types, declared here because the system's WinUSB headers redeclare the pipe
// type names UsbBus.h already has. The setup packet (8 packed bytes) and the interface descriptor
// (9 packed bytes) have UsbBus.h's layouts.
using WINUSB_INTERFACE_HANDLE = void*;
struct TWinUsbPipeInformation { // WINUSB_PIPE_INFORMATION, natural alignment
    int32_t PipeType;
    UCHAR PipeId;
    USHORT MaximumPacketSize;
    UCHAR Interval;
};
static_assert(sizeof(TUsbSetupPacket) == 8 && sizeof(TUsbInterfaceDescriptor) == 9);
static_assert(sizeof(TWinUsbPipeInformation) == 12);

// The entry points of winusb.dll the generic-driver handle calls.
struct TWinUsbApi {
    BOOL(WINAPI* WinUsb_Initialize)(HANDLE ADevice, WINUSB_INTERFACE_HANDLE* AInterface) = nullptr;
    BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE AInterface) = nullptr;
    BOOL(WINAPI* WinUsb_GetDescriptor)
    (WINUSB_INTERFACE_HANDLE AInterface, UCHAR AType, UCHAR AIndex, USHORT ALanguage, PUCHAR ABuffer,
     ULONG ALength, PULONG ATransferred) = nullptr;
    BOOL(WINAPI* WinUsb_ControlTransfer)
    (WINUSB_INTERFACE_HANDLE AInterface, TUsbSetupPacket ASetup, PUCHAR ABuffer, ULONG ALength,
     PULONG ATransferred, LPOVERLAPPED AOverlapped) = nullptr;
    BOOL(WINAPI* WinUsb_ReadPipe)
    (WINUSB_INTERFACE_HANDLE AInterface, UCHAR APipeId, PUCHAR ABuffer, ULONG ALength, PULONG ATransferred,
     LPOVERLAPPED AOverlapped) = nullptr;
    BOOL(WINAPI* WinUsb_GetOverlappedResult)
    (WINUSB_INTERFACE_HANDLE AInterface, LPOVERLAPPED AOverlapped, LPDWORD ATransferred,
     BOOL AWait) = nullptr;
    BOOL(WINAPI* WinUsb_AbortPipe)(WINUSB_INTERFACE_HANDLE AInterface, UCHAR APipeId) = nullptr;
    BOOL(WINAPI* WinUsb_QueryInterfaceSettings)
    (WINUSB_INTERFACE_HANDLE AInterface, UCHAR AAlternateSetting,
     TUsbInterfaceDescriptor* ADescriptor) = nullptr;
    BOOL(WINAPI* WinUsb_QueryPipe)
    (WINUSB_INTERFACE_HANDLE AInterface, UCHAR AAlternateSetting, UCHAR APipeIndex,
     TWinUsbPipeInformation* APipe) = nullptr;
    BOOL(WINAPI* WinUsb_ResetPipe)(WINUSB_INTERFACE_HANDLE AInterface, UCHAR APipeId) = nullptr;
    BOOL(WINAPI* WinUsb_SetPipePolicy)
    (WINUSB_INTERFACE_HANDLE AInterface, UCHAR APipeId, ULONG APolicyType, ULONG AValueLength,
     PVOID AValue) = nullptr;
};

// The system's own entry points.
const TWin32Api& DefaultWin32Api();

// Loads winusb.dll through AApi and looks up every entry point of TWinUsbApi. Null when the library
// is absent or lacks one of them: then the generic driver cannot be used at all.
std::shared_ptr<const TWinUsbApi> LoadWinUsbApi(const TWin32Api& AApi);
