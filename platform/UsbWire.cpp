#include "platform/UsbWire.h"

#include "platform/WinError.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

uint32_t UsbWireControl(TUsbWire& AWire, const TUsbSetupPacket& ASetup, std::vector<uint8_t>& AData,
                        uint32_t ATimeoutMs, uint32_t& ATransferred) {
    struct TWait {
        std::mutex M;
        std::condition_variable Done;
        bool Finished = false;
        uint32_t Result = ERROR_IO_PENDING;
        uint32_t Transferred = 0;
        std::vector<uint8_t> Data;
    };
    auto wait = std::make_shared<TWait>();
    uint64_t id = 0;
    uint32_t error = AWire.SubmitControl(
        ASetup, AData, ATimeoutMs,
        [wait](uint32_t AResult, uint32_t ATransferredNow, std::vector<uint8_t> ABytes) {
            std::lock_guard lock(wait->M);
            wait->Finished = true;
            wait->Result = AResult;
            wait->Transferred = ATransferredNow;
            wait->Data = std::move(ABytes);
            wait->Done.notify_all();
        },
        id);
    ATransferred = 0;
    if (error != ERROR_SUCCESS)
        return error;
    std::unique_lock lock(wait->M);
    auto finished = [&] { return wait->Finished; };
    bool timedOut = false;
    if (ATimeoutMs == 0)
        wait->Done.wait(lock, finished);
    else if (!wait->Done.wait_for(lock, std::chrono::milliseconds(ATimeoutMs), finished))
        timedOut = true;
    if (timedOut) {
        // The wire may not have given up yet: cancel, and wait for the completion so that nothing
        // runs on after this returns.
        lock.unlock();
        AWire.CancelTransfer(id);
        lock.lock();
        wait->Done.wait(lock, finished);
        if (wait->Result == ERROR_OPERATION_ABORTED)
            wait->Result = ERROR_SEM_TIMEOUT;
    }
    AData = std::move(wait->Data);
    ATransferred = wait->Result == ERROR_SUCCESS ? wait->Transferred : 0;
    return wait->Result;
}
