#include "MyLib/WinUsb.h"

#include "platform/System.h"
#include "platform/WinError.h"

#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <vector>

namespace {
std::mutex gDebugMutex;
TDebugOutput gDebugOutput;
} // namespace

bool LoadWinUsb() {
    return UsbBus().GenericDriverAvailable();
}

void SetDebugOutput(TDebugOutput AOutput) {
    std::lock_guard lock(gDebugMutex);
    gDebugOutput = std::move(AOutput);
}

void OutputDebugLine(const std::string& ALine) {
    std::lock_guard lock(gDebugMutex);
    if (gDebugOutput)
        gDebugOutput(ALine);
    else
        std::cerr << ALine << '\n';
}

TWinUsbBulkPipeReader::TWinUsbBulkPipeReader(TUsbHandle* AInterfaceHandle,
                                             const TUsbPipeInformation& APipeInfo,
                                             TWinUsbPipeReadDataEvent AOnRead, bool ASynchronizeThread)
    : hWinUsb(AInterfaceHandle), bPipeID(APipeInfo.PipeId), fMaxPacketSize(APipeInfo.MaximumPacketSize),
      fOnRead(std::move(AOnRead)), fSynchronizeThread(ASynchronizeThread) {}

TWinUsbBulkPipeReader::~TWinUsbBulkPipeReader() {
    Stop();
}

void TWinUsbBulkPipeReader::Stop() {
    CThread::Stop();
    hWinUsb->AbortPipe(bPipeID);
    Wait();
}

int TWinUsbBulkPipeReader::Execute() {
    std::vector<TPipeReadRequest> requests(static_cast<std::size_t>(fNumberOfRequests));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        requests[i].Buffer.reset(new (std::nothrow) uint8_t[fMaxPacketSize ? fMaxPacketSize : 1]);
        if (!requests[i].Buffer)
            return 0;
        requests[i].BufferSize = fMaxPacketSize;
        requests[i].Index = uint8_t(i);
    }
    hWinUsb->SetPipePolicy(bPipeID, AUTO_CLEAR_STALL, 1);
    hWinUsb->SetPipePolicy(bPipeID, RAW_IO, 1);
    hWinUsb->ResetPipe(bPipeID);

    while (!Stopped() && !fFatal) {
        // Refill: keep every request outstanding.
        while (fActive < fNumberOfRequests && !Stopped() && !fFatal) {
            TPipeReadRequest* idle = nullptr;
            for (auto& request : requests)
                if (!request.Active) {
                    idle = &request;
                    break;
                }
            if (!idle || !Submit(*idle))
                break;
        }
        if (Stopped() || fFatal)
            break;
        uintptr_t tag = 0;
        uint32_t transferred = 0;
        uint32_t result = 0;
        if (!hWinUsb->WaitPipeRead(bPipeID, tag, transferred, result)) {
            // Nothing outstanding: the submits are failing, and their retries are bounded. A read
            // the handle lost track of is fatal.
            if (fActive > 0)
                fFatal = true;
            continue;
        }
        if (tag >= requests.size() || !requests[tag].Active)
            continue;
        TPipeReadRequest& request = requests[tag];
        request.Active = false;
        --fActive;
        request.LengthTransferred = transferred;
        bool keepReading;
        if (result == ERROR_SUCCESS) {
            Deliver(request);
            keepReading = true;
        } else {
            fLastError = result;
            keepReading = HandleError(result);
        }
        if (keepReading && !Stopped())
            Submit(request);
    }

    // Every outstanding read must complete before its buffer goes.
    hWinUsb->AbortPipe(bPipeID);
    uintptr_t tag;
    uint32_t transferred, result;
    while (fActive > 0 && hWinUsb->WaitPipeRead(bPipeID, tag, transferred, result))
        if (tag < requests.size() && requests[tag].Active) {
            requests[tag].Active = false;
            --fActive;
        }
    return 0;
}

bool TWinUsbBulkPipeReader::Submit(TPipeReadRequest& ARequest) {
    uint32_t transferred = 0;
    uint32_t error = hWinUsb->SubmitPipeRead(bPipeID, ARequest.Buffer.get(), ARequest.BufferSize,
                                             ARequest.Index, transferred);
    if (error == ERROR_SUCCESS) {
        fFailedSubmits = 0;
        ARequest.LengthTransferred = transferred;
        Deliver(ARequest);
        return true;
    }
    if (error == ERROR_IO_PENDING) {
        fFailedSubmits = 0;
        fLastError = ERROR_IO_PENDING;
        ARequest.Active = true;
        ++fActive;
        return true;
    }
    fLastError = error;
    bool keepReading = HandleError(error);
    // A submit that keeps failing would otherwise be retried for ever and the reader never stop.
    if (keepReading && ++fFailedSubmits >= SUBMIT_RETRY_LIMIT) {
        fFatal = true;
        return false;
    }
    return keepReading;
}

bool TWinUsbBulkPipeReader::HandleError(uint32_t AError) {
    switch (AError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
        fFatal = true;
        return false;
    case ERROR_GEN_FAILURE: {
        uint32_t reset = hWinUsb->ResetPipe(bPipeID);
        if (reset == ERROR_SUCCESS)
            return true;
        fLastError = reset;
        fFatal = true;
        return false;
    }
    default:
        OutputDebugLine("Error " + std::to_string(AError));
        return true;
    }
}

void TWinUsbBulkPipeReader::Deliver(TPipeReadRequest& ARequest) {
    fLastError = 0;
    uint32_t length = ARequest.LengthTransferred;
    if (length == 0)
        return;
    if (fSynchronizeThread) {
        // The worker waits until the main thread has copied the request's buffer.
        SendCall(reinterpret_cast<uintptr_t>(ARequest.Buffer.get()), length,
                 [this](uintptr_t ABuffer, uintptr_t ALength) {
                     TUsbBlock block(new (std::nothrow) uint8_t[ALength]);
                     if (!block)
                         return;
                     std::memcpy(block.get(), reinterpret_cast<const uint8_t*>(ABuffer), ALength);
                     if (fOnRead)
                         fOnRead(this, std::move(block), uint32_t(ALength));
                 });
        return;
    }
    TUsbBlock block(new (std::nothrow) uint8_t[length]);
    if (!block)
        return; // the packet is dropped
    std::memcpy(block.get(), ARequest.Buffer.get(), length);
    auto held = std::make_shared<TUsbBlock>(std::move(block));
    PostCall(0, length, [this, held](uintptr_t, uintptr_t ALength) {
        if (fOnRead)
            fOnRead(this, std::move(*held), uint32_t(ALength));
    });
}
