#pragma once
// An interface bound to the family's own kernel driver: its control codes through DeviceIoControl
// and its record stream through overlapped reads, on a handle opened for overlapped I/O. Error
// numbers are the system's own; every byte count the driver gives back is checked against the
// buffer it was given.
#include "platform/UsbDriverHandles.h"
#include "platform/win32/Win32Api.h"

#include <memory>
#include <mutex>
#include <vector>

class TWin32FamilyHandle : public TFamilyDriverHandle {
public:
    // Takes over hDevice. AApi must hold the entry points for as long as the handle lives.
    TWin32FamilyHandle(std::shared_ptr<const TWin32Api> AApi, HANDLE hDevice);
    // Cancels every request still pending on the device, waits for each, then closes the handle.
    ~TWin32FamilyHandle() override;
    TWin32FamilyHandle(const TWin32FamilyHandle&) = delete;
    TWin32FamilyHandle& operator=(const TWin32FamilyHandle&) = delete;

    uint32_t IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                       uint32_t& AReturned) override;
    std::shared_ptr<TUsbPendingIo> IoControlAsync(uint32_t ACode, const void* AIn, uint32_t AInSize,
                                                  uint32_t AOutSize) override;
    uint32_t ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) override;
    void CancelStreamRead() override;

private:
    class TPendingIo;

    std::shared_ptr<const TWin32Api> fApi;
    HANDLE hDev;
    HANDLE hCancel; // auto-reset: ends the pending stream read, or the next one when none is pending
    std::mutex fMutex;
    // Overlapped requests the driver may still write into; each keeps its buffers until it completes.
    std::vector<std::shared_ptr<TPendingIo>> fPending;
};
