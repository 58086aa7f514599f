#pragma once
// TUsbDevice: one opened device interface, and optionally a TUsbReadThread that keeps a stream read
// pending on it and hands every block it reads to the device object on the main thread. Data reaches
// a device only through ProcessData, always on the main thread, always as a block it owns.
#include "MyLib/clib.h"
#include "MyLib/devintf.h"
#include "platform/Component.h"
#include "platform/UsbBus.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// A data block read from a device. Every producer and consumer of blocks uses this one allocator.
using TUsbBlock = std::unique_ptr<uint8_t[]>;

class TUsbDevice;

class TUsbReadThread : public CThread {
public:
    TUsbReadThread(TUsbDevice* ADevice, uint32_t ASingleBufferSize);
    ~TUsbReadThread() override;

    // Sets the stop flag, wakes the pending read and waits until the worker has ended; calls it
    // sent meanwhile are served, blocks it posted are dropped.
    void Stop();
    // The last read error; 0 after each delivered block.
    uint32_t LastError() const { return fLastError.load(); }

protected:
    int Execute() override;

private:
    void Deliver(uint32_t AWasRead);

    TUsbDevice* fDevice; // borrowed
    TUsbBlock fBuffer;
    uint32_t fBufferSize;
    std::atomic<uint32_t> fLastError{0};
};

class TUsbDevice : public TComponent {
public:
    // Constructors apply the defaults of Initialize (a descendant that overrides Initialize calls its
    // own in its constructor, since a constructor cannot reach a descendant's override).
    TUsbDevice(TComponent* AOwner, const std::string& APath);
    // The interface found by an enumeration.
    TUsbDevice(TComponent* AOwner, const TUsbDeviceInfo& ADeviceInfo)
        : TUsbDevice(AOwner, ADeviceInfo.fPath) {}
    // Closes the device. A descendant whose ProcessData or readers reach its own fields closes in its
    // own destructor first.
    ~TUsbDevice() override;

    // --- Virtual operations, in this order for every descendant ---
    // The data sink (main thread): receives a block of ABufferSize bytes and owns it. Base: drops it.
    virtual void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize);
    // Handle-related defaults.
    virtual void Initialize();
    // Runs at destruction after Close.
    virtual void Finalize();
    // Opens the interface by its path; false when already open or when it cannot be opened
    // (LastError then tells why).
    virtual bool Open();
    // Stops the read thread, then closes the handle.
    virtual void Close();

    bool Opened() const { return hDev != nullptr; }
    void StartReaderThread();
    // One synchronous stream read on the caller's thread, handed to ProcessData when not empty.
    void Poll();

    const std::string& DevicePath() const { return fDevicePath; }
    uint32_t LastError() const { return fLastError; }
    TUsbHandle* Handle() const { return hDev.get(); }
    TUsbReadThread* ReadThread() const { return fThread.get(); }

    bool fSynchronizeThread = true; // true: sent hand-over (the reader waits); false: posted copies
    bool fPollReads = true;         // whether opening starts reading at all
    bool fStartThreadAfterOpen = true;
    bool fOverlapped = true; // kept for descendants; platform handles serve both kinds of read
    uint32_t fBufferSize = 10240;
    std::string fThreadName;

protected:
    std::string fDevicePath;
    uint32_t fLastError = 0;
    std::unique_ptr<TUsbReadThread> fThread;
    std::unique_ptr<TUsbHandle> hDev;
};
using PUsbDevice = TUsbDevice*;
