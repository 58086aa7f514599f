#pragma once
// An OVERLAPPED with its own manual-reset event, for one request on a handle opened for overlapped
// I/O. The request must be over before the object goes away.
#include "platform/win32/Win32Api.h"

class TWin32Overlapped {
public:
    explicit TWin32Overlapped(const TWin32Api& AApi) : fApi(AApi) {
        fOverlapped.hEvent = fApi.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!fOverlapped.hEvent)
            fError = fApi.GetLastError();
    }
    ~TWin32Overlapped() {
        if (fOverlapped.hEvent)
            fApi.CloseHandle(fOverlapped.hEvent);
    }
    TWin32Overlapped(const TWin32Overlapped&) = delete;
    TWin32Overlapped& operator=(const TWin32Overlapped&) = delete;

    // False when the event could not be made; Error says why.
    bool Ready() const { return fOverlapped.hEvent != nullptr; }
    uint32_t Error() const { return fError ? fError : ERROR_NOT_ENOUGH_MEMORY; }
    OVERLAPPED* Get() { return &fOverlapped; }
    HANDLE Event() const { return fOverlapped.hEvent; }

private:
    const TWin32Api& fApi;
    OVERLAPPED fOverlapped{};
    uint32_t fError = 0;
};
