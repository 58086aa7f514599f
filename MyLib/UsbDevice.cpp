#include "MyLib/UsbDevice.h"

#include "platform/System.h"
#include "platform/WinError.h"

#include <cstring>
#include <new>

TUsbReadThread::TUsbReadThread(TUsbDevice* ADevice, uint32_t ASingleBufferSize)
    : fDevice(ADevice), fBufferSize(ASingleBufferSize) {}

TUsbReadThread::~TUsbReadThread() {
    Stop();
}

void TUsbReadThread::Stop() {
    CThread::Stop();
    if (TUsbHandle* handle = fDevice->Handle())
        handle->CancelStreamRead();
    Wait();
}

int TUsbReadThread::Execute() {
    fBuffer.reset(new (std::nothrow) uint8_t[fBufferSize]);
    TUsbHandle* handle = fDevice->Handle();
    if (!fBuffer || !handle)
        return 0;
    bool fatal = false;
    while (!Stopped() && !fatal) {
        uint32_t wasRead = 0;
        uint32_t error = handle->ReadStream(fBuffer.get(), fBufferSize, wasRead);
        if (Stopped())
            break;
        if (error == ERROR_SUCCESS) {
            Deliver(wasRead);
            continue;
        }
        fLastError = error;
        if (error == ERROR_OPERATION_ABORTED)
            break; // woken by the stop request
        // A removed device ends the reader; any other error is retried at once.
        fatal = error == ERROR_INVALID_HANDLE || error == ERROR_DEVICE_REMOVED;
    }
    fBuffer.reset();
    return 0;
}

void TUsbReadThread::Deliver(uint32_t AWasRead) {
    fLastError = 0;
    if (AWasRead == 0)
        return;
    TUsbDevice* device = fDevice;
    if (device->fSynchronizeThread) {
        // The worker waits until the main thread has copied its buffer.
        SendCall(reinterpret_cast<uintptr_t>(fBuffer.get()), AWasRead,
                 [device](uintptr_t ABuffer, uintptr_t ASize) {
                     TUsbBlock block(new (std::nothrow) uint8_t[ASize]);
                     if (!block)
                         return;
                     std::memcpy(block.get(), reinterpret_cast<const uint8_t*>(ABuffer), ASize);
                     device->ProcessData(std::move(block), uint32_t(ASize));
                 });
        return;
    }
    TUsbBlock block(new (std::nothrow) uint8_t[AWasRead]);
    if (!block)
        return; // the read's data is dropped
    std::memcpy(block.get(), fBuffer.get(), AWasRead);
    // The queued call owns the block until it runs; a call discarded unrun frees it.
    auto held = std::make_shared<TUsbBlock>(std::move(block));
    PostCall(0, AWasRead, [device, held](uintptr_t, uintptr_t ASize) {
        device->ProcessData(std::move(*held), uint32_t(ASize));
    });
}

TUsbDevice::TUsbDevice(TComponent* AOwner, const std::string& APath)
    : TComponent(AOwner), fDevicePath(APath) {
    TUsbDevice::Initialize();
}

TUsbDevice::~TUsbDevice() {
    TUsbDevice::Close();
    TUsbDevice::Finalize();
}

void TUsbDevice::ProcessData(TUsbBlock, uint32_t) {}

void TUsbDevice::Initialize() {
    hDev.reset();
    fLastError = 0;
    fOverlapped = true;
    fThread.reset();
    fPollReads = true;
}

void TUsbDevice::Finalize() {
    Close();
}

bool TUsbDevice::Open() {
    fLastError = 0;
    if (Opened())
        return false;
    std::unique_ptr<TUsbHandle> handle;
    uint32_t error = UsbBus().Open(fDevicePath, handle);
    if (error != ERROR_SUCCESS || !handle) {
        fLastError = error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
        return false;
    }
    hDev = std::move(handle);
    if (fPollReads && fStartThreadAfterOpen)
        StartReaderThread();
    return true;
}

void TUsbDevice::Close() {
    if (Opened()) {
        // The thread's last read is pending on the handle: stop it before the handle goes.
        if (fThread) {
            fThread->Stop();
            fThread.reset();
        }
        hDev.reset();
    }
    fLastError = 0;
}

void TUsbDevice::StartReaderThread() {
    if (!Opened() || fThread)
        return;
    fThread = std::make_unique<TUsbReadThread>(this, fBufferSize);
    fThread->Resume();
}

void TUsbDevice::Poll() {
    if (!Opened())
        return;
    TUsbBlock block(new (std::nothrow) uint8_t[fBufferSize]);
    if (!block)
        return;
    uint32_t wasRead = 0;
    if (hDev->ReadStream(block.get(), fBufferSize, wasRead) == ERROR_SUCCESS && wasRead > 0)
        ProcessData(std::move(block), wasRead);
}
