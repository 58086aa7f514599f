#include "platform/win32/Win32FamilyHandle.h"

#include "platform/win32/Win32Overlapped.h"

#include <cstring>

// One overlapped control-code request. The driver writes into fOutput and fOverlapped until the
// request completes, so the object lives on in the handle's list until then, whoever else lets go.
class TWin32FamilyHandle::TPendingIo : public TUsbPendingIo {
public:
    TPendingIo(const TWin32Api& AApi, HANDLE hDevice, const void* AIn, uint32_t AInSize, uint32_t AOutSize)
        : fApi(AApi), hDev(hDevice), fOverlapped(AApi), fInput(AInSize), fOutput(AOutSize) {
        if (AInSize)
            std::memcpy(fInput.data(), AIn, AInSize);
    }

    void Start(uint32_t ACode) {
        std::lock_guard lock(fMutex);
        if (!fOverlapped.Ready()) {
            Finish(fOverlapped.Error(), 0);
            return;
        }
        DWORD returned = 0;
        if (fApi.DeviceIoControl(hDev, ACode, fInput.empty() ? nullptr : fInput.data(), DWORD(fInput.size()),
                                 fOutput.empty() ? nullptr : fOutput.data(), DWORD(fOutput.size()), &returned,
                                 fOverlapped.Get()))
            Finish(ERROR_SUCCESS, returned);
        else if (const DWORD error = fApi.GetLastError(); error != ERROR_IO_PENDING)
            Finish(error, 0);
    }

    bool Wait(uint32_t AMilliseconds) override {
        {
            std::lock_guard lock(fMutex);
            if (fDone)
                return true;
        }
        return fApi.WaitForSingleObject(fOverlapped.Event(), AMilliseconds) == WAIT_OBJECT_0;
    }

    uint32_t Result(uint32_t& AReturned) override {
        std::lock_guard lock(fMutex);
        AReturned = 0;
        if (!fDone && !Collect(false))
            return ERROR_IO_INCOMPLETE;
        AReturned = fReturned;
        return fResult;
    }

    const std::vector<uint8_t>& Output() const override { return fOutput; }

    // The handle is closing: the request was cancelled; wait until the driver has let go of it.
    void Settle() {
        std::lock_guard lock(fMutex);
        if (!fDone)
            Collect(true);
    }

private:
    // Under fMutex: takes the outcome from the system; false while it is still pending.
    bool Collect(bool AWait) {
        DWORD returned = 0;
        if (fApi.GetOverlappedResult(hDev, fOverlapped.Get(), &returned, AWait ? TRUE : FALSE)) {
            Finish(ERROR_SUCCESS, returned);
            return true;
        }
        const DWORD error = fApi.GetLastError();
        if (error == ERROR_IO_INCOMPLETE && !AWait)
            return false;
        Finish(error, 0);
        return true;
    }

    void Finish(uint32_t AResult, DWORD AReturned) {
        fDone = true;
        // A driver that claims more bytes than the buffer holds is not believed.
        fResult = AReturned > fOutput.size() ? ERROR_INVALID_DATA : AResult;
        fReturned = fResult == ERROR_SUCCESS ? AReturned : 0;
    }

    const TWin32Api& fApi;
    HANDLE hDev;
    TWin32Overlapped fOverlapped;
    std::vector<uint8_t> fInput;
    std::vector<uint8_t> fOutput;
    std::mutex fMutex;
    bool fDone = false;
    uint32_t fResult = ERROR_IO_INCOMPLETE;
    uint32_t fReturned = 0;
};

TWin32FamilyHandle::TWin32FamilyHandle(std::shared_ptr<const TWin32Api> AApi, HANDLE hDevice)
    : fApi(std::move(AApi)), hDev(hDevice), hCancel(fApi->CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

TWin32FamilyHandle::~TWin32FamilyHandle() {
    fApi->CancelIoEx(hDev, nullptr);
    {
        std::lock_guard lock(fMutex);
        for (const auto& pending : fPending)
            pending->Settle();
        fPending.clear();
    }
    if (hCancel)
        fApi->CloseHandle(hCancel);
    fApi->CloseHandle(hDev);
}

uint32_t TWin32FamilyHandle::IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut,
                                       uint32_t AOutSize, uint32_t& AReturned) {
    AReturned = 0;
    TWin32Overlapped overlapped(*fApi);
    if (!overlapped.Ready())
        return overlapped.Error();
    DWORD returned = 0;
    if (!fApi->DeviceIoControl(hDev, ACode, const_cast<void*>(AIn), AInSize, AOut, AOutSize, &returned,
                               overlapped.Get())) {
        const DWORD error = fApi->GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        if (!fApi->GetOverlappedResult(hDev, overlapped.Get(), &returned, TRUE))
            return fApi->GetLastError();
    }
    if (returned > AOutSize)
        return ERROR_INVALID_DATA;
    AReturned = returned;
    return ERROR_SUCCESS;
}

std::shared_ptr<TUsbPendingIo> TWin32FamilyHandle::IoControlAsync(uint32_t ACode, const void* AIn,
                                                                  uint32_t AInSize, uint32_t AOutSize) {
    auto pending = std::make_shared<TPendingIo>(*fApi, hDev, AIn, AInSize, AOutSize);
    pending->Start(ACode);
    std::lock_guard lock(fMutex);
    // Requests the driver is done with need not be kept any more; their outcome is taken first,
    // so a caller that still holds one can read it after the handle has closed.
    std::erase_if(fPending, [](const std::shared_ptr<TPendingIo>& AOld) {
        if (!AOld->Wait(0))
            return false;
        uint32_t returned;
        AOld->Result(returned);
        return true;
    });
    fPending.push_back(pending);
    return pending;
}

uint32_t TWin32FamilyHandle::ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) {
    ARead = 0;
    if (!hCancel)
        return ERROR_INVALID_HANDLE;
    // A cancel that came while no read was pending ends this one before it starts.
    if (fApi->WaitForSingleObject(hCancel, 0) == WAIT_OBJECT_0)
        return ERROR_OPERATION_ABORTED;
    TWin32Overlapped overlapped(*fApi);
    if (!overlapped.Ready())
        return overlapped.Error();
    DWORD read = 0;
    if (!fApi->ReadFile(hDev, ABuffer, ASize, &read, overlapped.Get())) {
        DWORD error = fApi->GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        const HANDLE waits[2] = {overlapped.Event(), hCancel};
        const DWORD woken = fApi->WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0) {
            error = woken == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : fApi->GetLastError();
            // The read must be over before its buffer and event go away.
            fApi->CancelIoEx(hDev, overlapped.Get());
            fApi->GetOverlappedResult(hDev, overlapped.Get(), &read, TRUE);
            return error;
        }
        if (!fApi->GetOverlappedResult(hDev, overlapped.Get(), &read, FALSE))
            return fApi->GetLastError();
    }
    if (read > ASize)
        return ERROR_INVALID_DATA;
    ARead = read;
    return ERROR_SUCCESS;
}

void TWin32FamilyHandle::CancelStreamRead() {
    if (hCancel)
        fApi->SetEvent(hCancel);
}
