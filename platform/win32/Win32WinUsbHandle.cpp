#include "platform/win32/Win32WinUsbHandle.h"

#include <vector>

namespace {

// The policies whose value is a single byte (WinUSB's UCHAR policies); the time-out is a ULONG.
bool IsBytePolicy(uint32_t APolicyType) {
    return APolicyType != PIPE_TRANSFER_TIMEOUT;
}

} // namespace

TWin32WinUsbHandle::TWin32WinUsbHandle(std::shared_ptr<const TWin32Api> AApi,
                                       std::shared_ptr<const TWinUsbApi> AWinUsb, HANDLE hDevice,
                                       WINUSB_INTERFACE_HANDLE hInterface)
    : fApi(std::move(AApi)), fWinUsb(std::move(AWinUsb)), hDev(hDevice), hWinUsb(hInterface) {}

TWin32WinUsbHandle::~TWin32WinUsbHandle() {
    {
        std::lock_guard lock(fMutex);
        for (auto& [pipe, reads] : fReads) {
            if (reads.empty())
                continue;
            fWinUsb->WinUsb_AbortPipe(hWinUsb, pipe);
            // The buffers and events may go only once the driver has let go of every read.
            for (auto& read : reads) {
                DWORD transferred = 0;
                fWinUsb->WinUsb_GetOverlappedResult(hWinUsb, read->Overlapped.Get(), &transferred, TRUE);
            }
        }
        fReads.clear();
    }
    fWinUsb->WinUsb_Free(hWinUsb);
    fApi->CloseHandle(hDev);
}

uint32_t TWin32WinUsbHandle::ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer,
                                             uint32_t ABufferLength, uint32_t& ATransferred) {
    ATransferred = 0;
    ULONG transferred = 0;
    if (!fWinUsb->WinUsb_ControlTransfer(hWinUsb, ASetup, static_cast<PUCHAR>(ABuffer), ABufferLength,
                                         &transferred, nullptr))
        return Failed();
    if (transferred > ABufferLength)
        return ERROR_INVALID_DATA;
    ATransferred = transferred;
    return ERROR_SUCCESS;
}

uint32_t TWin32WinUsbHandle::GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALanguage, void* ABuffer,
                                           uint32_t ALength, uint32_t& ATransferred) {
    ATransferred = 0;
    ULONG transferred = 0;
    if (!fWinUsb->WinUsb_GetDescriptor(hWinUsb, AType, AIndex, ALanguage, static_cast<PUCHAR>(ABuffer),
                                       ALength, &transferred))
        return Failed();
    if (transferred > ALength)
        return ERROR_INVALID_DATA;
    ATransferred = transferred;
    return ERROR_SUCCESS;
}

uint32_t TWin32WinUsbHandle::QueryInterfaceSettings(uint8_t AAlternateSetting,
                                                    TUsbInterfaceDescriptor& ADescriptor) {
    TUsbInterfaceDescriptor descriptor{};
    if (!fWinUsb->WinUsb_QueryInterfaceSettings(hWinUsb, AAlternateSetting, &descriptor))
        return Failed();
    ADescriptor = descriptor;
    return ERROR_SUCCESS;
}

uint32_t TWin32WinUsbHandle::QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex,
                                       TUsbPipeInformation& APipe) {
    TWinUsbPipeInformation pipe{};
    if (!fWinUsb->WinUsb_QueryPipe(hWinUsb, AAlternateSetting, APipeIndex, &pipe))
        return Failed();
    if (pipe.PipeType < UsbdPipeTypeControl || pipe.PipeType > UsbdPipeTypeInterrupt)
        return ERROR_INVALID_DATA;
    APipe.PipeType = TUsbdPipeType(pipe.PipeType);
    APipe.PipeId = pipe.PipeId;
    APipe.MaximumPacketSize = pipe.MaximumPacketSize;
    APipe.Interval = pipe.Interval;
    return ERROR_SUCCESS;
}

uint32_t TWin32WinUsbHandle::SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) {
    UCHAR byteValue = UCHAR(AValue != 0);
    ULONG longValue = AValue;
    const bool isByte = IsBytePolicy(APolicyType);
    if (!fWinUsb->WinUsb_SetPipePolicy(hWinUsb, APipeId, APolicyType, isByte ? 1 : sizeof(ULONG),
                                       isByte ? static_cast<PVOID>(&byteValue)
                                              : static_cast<PVOID>(&longValue)))
        return Failed();
    return ERROR_SUCCESS;
}

uint32_t TWin32WinUsbHandle::ResetPipe(uint8_t APipeId) {
    return fWinUsb->WinUsb_ResetPipe(hWinUsb, APipeId) ? ERROR_SUCCESS : Failed();
}

uint32_t TWin32WinUsbHandle::AbortPipe(uint8_t APipeId) {
    return fWinUsb->WinUsb_AbortPipe(hWinUsb, APipeId) ? ERROR_SUCCESS : Failed();
}

uint32_t TWin32WinUsbHandle::SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                                            uint32_t& ATransferred) {
    ATransferred = 0;
    auto read = std::make_unique<TPipeRead>(*fApi);
    if (!read->Overlapped.Ready())
        return read->Overlapped.Error();
    read->Tag = ATag;
    read->Size = ASize;
    std::lock_guard lock(fMutex);
    ULONG transferred = 0;
    if (fWinUsb->WinUsb_ReadPipe(hWinUsb, APipeId, static_cast<PUCHAR>(ABuffer), ASize, &transferred,
                                 read->Overlapped.Get())) {
        if (transferred > ASize)
            return ERROR_INVALID_DATA;
        ATransferred = transferred;
        return ERROR_SUCCESS;
    }
    const DWORD error = Failed();
    if (error == ERROR_IO_PENDING)
        fReads[APipeId].push_back(std::move(read));
    return error;
}

bool TWin32WinUsbHandle::WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred,
                                      uint32_t& AResult) {
    ATag = 0;
    ATransferred = 0;
    AResult = ERROR_SUCCESS;
    for (;;) {
        std::vector<HANDLE> events;
        {
            std::lock_guard lock(fMutex);
            for (const auto& read : fReads[APipeId]) {
                if (events.size() == MAXIMUM_WAIT_OBJECTS)
                    break; // the oldest reads complete first; the others are waited for later
                events.push_back(read->Overlapped.Event());
            }
        }
        if (events.empty())
            return false;
        const DWORD woken =
            fApi->WaitForMultipleObjects(DWORD(events.size()), events.data(), FALSE, INFINITE);
        // A failed wait falls back on the oldest read, waiting for it to end.
        const bool failed = woken >= WAIT_OBJECT_0 + events.size();
        const HANDLE event = events[failed ? 0 : woken - WAIT_OBJECT_0];
        std::unique_ptr<TPipeRead> read;
        {
            std::lock_guard lock(fMutex);
            auto& reads = fReads[APipeId];
            for (auto it = reads.begin(); it != reads.end(); ++it)
                if ((*it)->Overlapped.Event() == event) {
                    read = std::move(*it);
                    reads.erase(it);
                    break;
                }
        }
        if (!read)
            continue; // another waiter on the same pipe took it
        DWORD transferred = 0;
        ATag = read->Tag;
        if (!fWinUsb->WinUsb_GetOverlappedResult(hWinUsb, read->Overlapped.Get(), &transferred,
                                                 failed ? TRUE : FALSE))
            AResult = Failed();
        else if (transferred > read->Size)
            AResult = ERROR_INVALID_DATA;
        else
            ATransferred = transferred;
        return true;
    }
}
