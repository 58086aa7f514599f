#pragma once
// An interface bound to the generic driver through winusb.dll: control transfers on the default
// pipe, descriptors, interface and pipe queries, pipe policies, and overlapped IN-pipe reads
// (submit, wait for any, abort, reset). Error numbers are the system's own; every byte count the
// driver gives back is checked against the buffer it was given.
#include "platform/UsbDriverHandles.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Overlapped.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>

class TWin32WinUsbHandle : public TGenericDriverHandle {
public:
    // Takes over hDevice and hWinUsb (WinUsb_Initialize's interface handle on it).
    TWin32WinUsbHandle(std::shared_ptr<const TWin32Api> AApi, std::shared_ptr<const TWinUsbApi> AWinUsb,
                       HANDLE hDevice, WINUSB_INTERFACE_HANDLE hWinUsb);
    // Aborts every pipe with reads pending, waits for each read, then frees both handles.
    ~TWin32WinUsbHandle() override;
    TWin32WinUsbHandle(const TWin32WinUsbHandle&) = delete;
    TWin32WinUsbHandle& operator=(const TWin32WinUsbHandle&) = delete;

    uint32_t InitializeGeneric() override { return ERROR_SUCCESS; }
    uint32_t ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer, uint32_t ABufferLength,
                             uint32_t& ATransferred) override;
    uint32_t GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALanguage, void* ABuffer, uint32_t ALength,
                           uint32_t& ATransferred) override;
    uint32_t QueryInterfaceSettings(uint8_t AAlternateSetting, TUsbInterfaceDescriptor& ADescriptor) override;
    uint32_t QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex, TUsbPipeInformation& APipe) override;
    // Boolean policies travel as one byte, PIPE_TRANSFER_TIMEOUT as a 32-bit count of milliseconds.
    uint32_t SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) override;
    uint32_t ResetPipe(uint8_t APipeId) override;
    uint32_t AbortPipe(uint8_t APipeId) override;
    uint32_t SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                            uint32_t& ATransferred) override;
    bool WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred, uint32_t& AResult) override;

private:
    struct TPipeRead {
        explicit TPipeRead(const TWin32Api& AApi) : Overlapped(AApi) {}
        TWin32Overlapped Overlapped;
        uintptr_t Tag = 0;
        uint32_t Size = 0;
    };

    // The system's result of a call that returned false.
    uint32_t Failed() const { return fApi->GetLastError(); }

    std::shared_ptr<const TWin32Api> fApi;
    std::shared_ptr<const TWinUsbApi> fWinUsb;
    HANDLE hDev;
    WINUSB_INTERFACE_HANDLE hWinUsb;
    std::mutex fMutex;
    // Pending reads per pipe, in submission order.
    std::map<uint8_t, std::deque<std::unique_ptr<TPipeRead>>> fReads;
};
