#pragma once
// The generic-driver path: whether the platform offers the generic driver at all, and
// TWinUsbBulkPipeReader, a worker that keeps 16 reads outstanding on one IN pipe and hands every
// packet to a handler on the main thread.
#include "MyLib/UsbDevice.h"
#include "MyLib/clib.h"
#include "platform/UsbBus.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Whether the generic driver can be used on this system; when not, devices use the family driver.
bool LoadWinUsb();

class TWinUsbBulkPipeReader;
// Receives one packet on the main thread; the handler owns the block.
using TWinUsbPipeReadDataEvent =
    std::function<void(TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ABufferLength)>;

// Where the reader's debug lines go ("Error 1167"); standard error unless replaced.
using TDebugOutput = std::function<void(const std::string& ALine)>;
void SetDebugOutput(TDebugOutput AOutput);
void OutputDebugLine(const std::string& ALine);

class TWinUsbBulkPipeReader : public CThread {
public:
    // Reads of AInterfaceHandle's pipe APipeInfo.PipeId, each one maximum packet. Created suspended;
    // the creator resumes it. The handle is borrowed and must outlive the reader.
    TWinUsbBulkPipeReader(TUsbHandle* AInterfaceHandle, const TUsbPipeInformation& APipeInfo,
                          TWinUsbPipeReadDataEvent AOnRead, bool ASynchronizeThread);
    ~TWinUsbBulkPipeReader() override;

    // Sets the stop flag, aborts the pipe (every outstanding read completes) and waits for the worker.
    void Stop();

    uint8_t PipeId() const { return bPipeID; }
    // Reads kept outstanding on the pipe while the reader waits for data.
    int RequestCount() const { return fNumberOfRequests; }
    uint32_t LastError() const { return fLastError.load(); }

    // Consecutive failed submits after which the reader gives up, so that it always ends.
    static constexpr int SUBMIT_RETRY_LIMIT = 16;

protected:
    int Execute() override;

private:
    struct TPipeReadRequest {
        TUsbBlock Buffer;
        uint32_t BufferSize = 0;
        uint8_t Index = 0;
        bool Active = false;
        uint32_t LengthTransferred = 0;
    };

    bool Submit(TPipeReadRequest& ARequest);
    bool HandleError(uint32_t AError);
    void Deliver(TPipeReadRequest& ARequest);

    TUsbHandle* hWinUsb;
    uint8_t bPipeID;
    uint16_t fMaxPacketSize;
    std::atomic<uint32_t> fLastError{0};
    TWinUsbPipeReadDataEvent fOnRead;
    bool fSynchronizeThread;
    int fNumberOfRequests = 16;
    bool fFatal = false;
    int fFailedSubmits = 0;
    int fActive = 0;
};
