#include "sim/SimDevice.h"

#include "platform/LittleEndian.h"

#include "sim/SimBus.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

// Largest stream read the family driver hands over; a record must fit one read.
constexpr std::size_t KMaxStreamTransfer = 10240;
constexpr std::size_t KRecordHeader = 5;
constexpr std::size_t KMaxDriverLog = 64 * 1024;
// Transfer result meaning "the device will not answer this one"; never reported to a caller.
constexpr uint32_t KUnanswered = 0xFFFFFFFF;

// Holds a transfer for the device's latency. A plain sleep overshoots by the scheduler's slack
// (tens of microseconds to a whole tick), which would make a 1 ms device look several per cent
// slower than it is; the last stretch is waited out by yielding instead.
void WaitLatency(std::chrono::microseconds ALatency) {
    if (ALatency.count() <= 0)
        return;
    constexpr std::chrono::microseconds KSlack{200};
    const auto deadline = TClock::now() + ALatency;
    if (ALatency > KSlack)
        std::this_thread::sleep_until(deadline - KSlack);
    while (TClock::now() < deadline)
        std::this_thread::yield();
}

// One overlapped family-driver request, shared by the caller and the simulated driver.
class TSimPendingIo : public TUsbPendingIo {
public:
    explicit TSimPendingIo(uint32_t AOutSize) : fOutput(AOutSize) {}

    bool Wait(uint32_t AMilliseconds) override {
        std::unique_lock lock(fMutex);
        std::optional<TClock::time_point> until;
        if (AMilliseconds != INFINITE_WAIT)
            until = TClock::now() + std::chrono::milliseconds(AMilliseconds);
        // The driver's give-up time also ends the wait, so an unanswered request never hangs it.
        while (!fDone && !GaveUp()) {
            std::optional<TClock::time_point> wake = until;
            if (fGiveUpAt && (!wake || *fGiveUpAt < *wake))
                wake = fGiveUpAt;
            if (!wake)
                fChanged.wait(lock);
            else if (fChanged.wait_until(lock, *wake) == std::cv_status::timeout && until &&
                     TClock::now() >= *until)
                break;
        }
        SettleIfGivenUp();
        return fDone;
    }

    uint32_t Result(uint32_t& AReturned) override {
        std::lock_guard lock(fMutex);
        SettleIfGivenUp();
        AReturned = fDone ? fReturned : 0;
        return fDone ? fResult : ERROR_IO_INCOMPLETE;
    }

    const std::vector<uint8_t>& Output() const override { return fOutput; }
    std::vector<uint8_t>& Output() { return fOutput; }

    void Complete(uint32_t AResult, uint32_t AReturned) {
        std::lock_guard lock(fMutex);
        if (fDone)
            return;
        fDone = true;
        fResult = AResult;
        fReturned = AReturned;
        fChanged.notify_all();
    }

    // The device does not answer; the driver fails the request with ERROR_SEM_TIMEOUT at ADeadline.
    void Unanswered(TClock::time_point ADeadline) {
        std::lock_guard lock(fMutex);
        fGiveUpAt = ADeadline;
    }

    bool Done() {
        std::lock_guard lock(fMutex);
        SettleIfGivenUp();
        return fDone;
    }

private:
    bool GaveUp() const { return fGiveUpAt && TClock::now() >= *fGiveUpAt; }
    void SettleIfGivenUp() {
        if (!fDone && GaveUp()) {
            fDone = true;
            fResult = ERROR_SEM_TIMEOUT;
            fReturned = 0;
        }
    }

    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fDone = false;
    uint32_t fResult = ERROR_IO_INCOMPLETE;
    uint32_t fReturned = 0;
    std::optional<TClock::time_point> fGiveUpAt;
    std::vector<uint8_t> fOutput;
};

} // namespace

// One open handle's state; every field is guarded by the core's mutex.
struct TSimHandleState {
    TUsbDriverKind Kind = TUsbDriverKind::Family;
    bool Removed = false;
    bool Closed = false;
    bool GenericReady = false;
    bool CancelLatched = false;
    struct TPipeRead {
        uint8_t* Buffer;
        uint32_t Size;
        uintptr_t Tag;
    };
    struct TPipeDone {
        uintptr_t Tag;
        uint32_t Transferred;
        uint32_t Result;
    };
    std::map<uint8_t, std::deque<TPipeRead>> Pending;
    std::map<uint8_t, std::deque<TPipeDone>> Done;
    std::map<uint8_t, std::map<uint32_t, uint32_t>> Policies;
    std::vector<std::shared_ptr<TSimPendingIo>> Unanswered;

    // The error every call reports once the device has left the bus.
    uint32_t RemovedError() const {
        return Kind == TUsbDriverKind::Family ? ERROR_DEVICE_REMOVED : ERROR_INVALID_HANDLE;
    }
    uint32_t Policy(uint8_t APipe, uint32_t AType) const {
        auto pipe = Policies.find(APipe);
        if (pipe == Policies.end())
            return 0;
        auto value = pipe->second.find(AType);
        return value == pipe->second.end() ? 0 : value->second;
    }
};

struct TSimDevice::TCore {
    TSimDevice* Owner = nullptr;

    mutable std::mutex M;
    std::condition_variable Changed;
    // Serialises control transfers, as the default pipe does; handlers run under it.
    std::mutex ControlMutex;

    TSimDeviceIdentity Identity;
    TUsbDriverKind Driver = TUsbDriverKind::Family;
    uint16_t DriverVersion = 0x0217;
    std::vector<TSimPipe> Pipes = {{SIM_PIPE_DATA_IN, 2, 64, 0}, {SIM_PIPE_EVENT_IN, 3, 64, 1}};

    bool Attached = false;
    TSimBus* Bus = nullptr;
    std::string Path;

    std::map<uint8_t, TSimVendorHandler> VendorHandlers;
    std::map<uint32_t, TSimIoControlHandler> IoControlHandlers;
    std::map<uint32_t, TSimFault> Faults;
    uint32_t RequestCount = 0;
    std::chrono::microseconds Latency{0};
    std::chrono::milliseconds UnansweredLimit{15000};
    std::function<void()> AfterLeaving;
    bool LeaveAfterRequest = false;
    std::function<void(TSimBus*)> OnSwitchToBootloader;

    // Family stream: records (joined into reads), raw transfers and read errors, in push order.
    struct TStreamItem {
        std::vector<uint8_t> Bytes;
        uint32_t Error = 0;
        bool Record = false;
    };
    std::deque<TStreamItem> Stream;
    std::size_t StreamBytes = 0;
    std::size_t StreamReaders = 0;

    struct TPacket {
        std::vector<uint8_t> Bytes;
        uint32_t Error = 0;
    };
    std::map<uint8_t, std::deque<TPacket>> PipeQueues;
    std::map<uint8_t, uint32_t> SubmitErrors;
    std::map<uint8_t, bool> Halted;

    std::vector<TSimHandleState*> Handles;

    bool LogEnabled = false;
    std::string DriverLog;

    const TSimPipe* FindInPipe(uint8_t APipeId) const {
        for (const TSimPipe& pipe : Pipes)
            if (pipe.Address == APipeId && (pipe.Address & 0x80))
                return &pipe;
        return nullptr;
    }

    // Under M: completes a read with a packet or an error and queues its completion.
    void CompleteRead(TSimHandleState& AHandle, uint8_t APipe, const TSimHandleState::TPipeRead& ARead,
                      const TPacket& APacket) {
        uint32_t n = 0;
        if (APacket.Error == 0) {
            n = uint32_t(std::min<std::size_t>(ARead.Size, APacket.Bytes.size()));
            if (n)
                std::memcpy(ARead.Buffer, APacket.Bytes.data(), n);
        } else if (APacket.Error == ERROR_GEN_FAILURE && !AHandle.Policy(APipe, AUTO_CLEAR_STALL)) {
            Halted[APipe] = true;
        }
        AHandle.Done[APipe].push_back({ARead.Tag, n, APacket.Error});
    }

    // Under M: the device has gone (removal or destruction); handles fail from now on.
    void RemoveHandles() {
        for (TSimHandleState* h : Handles) {
            h->Removed = true;
            for (auto& [pipe, reads] : h->Pending) {
                for (const auto& read : reads)
                    h->Done[pipe].push_back({read.Tag, 0, h->RemovedError()});
                reads.clear();
            }
            for (auto& io : h->Unanswered)
                io->Complete(h->RemovedError(), 0);
            h->Unanswered.clear();
        }
        Stream.clear();
        StreamBytes = 0;
        PipeQueues.clear();
        Changed.notify_all();
    }

    void AppendLog(const TSimVendorRequest& ARequest, uint32_t AResult) {
        if (!LogEnabled)
            return;
        char line[96];
        std::snprintf(line, sizeof line, "VR %02X %02X %04X %04X %u -> %u\r\n", ARequest.RequestType,
                      ARequest.bRequest, ARequest.wValue, ARequest.wIndex, ARequest.wLength, AResult);
        DriverLog += line;
        if (DriverLog.size() > KMaxDriverLog)
            DriverLog.erase(0, DriverLog.size() - KMaxDriverLog);
    }

    void Leave() {
        TSimBus* bus;
        {
            std::lock_guard lock(M);
            bus = Attached ? Bus : nullptr;
        }
        if (bus && Owner)
            bus->Unplug(*Owner);
    }

    // One vendor request on the default pipe. AAnswer receives up to ARequest.wLength bytes of a
    // device-to-host request; ATransferred counts the bytes moved in either direction. AWaitLimit
    // bounds how long a caller waits for a device that does not answer; with AAsync the transfer
    // returns KUnanswered instead of waiting.
    uint32_t Transfer(TSimHandleState& AHandle, const TSimVendorRequest& ARequest, uint8_t* AAnswer,
                      uint32_t& ATransferred, std::chrono::milliseconds AWaitLimit, bool AAsync) {
        ATransferred = 0;
        std::unique_lock control(ControlMutex);
        std::optional<TSimFault> fault;
        TSimVendorHandler handler;
        {
            std::lock_guard lock(M);
            if (AHandle.Removed)
                return AHandle.RemovedError();
            ++RequestCount;
            auto found = Faults.find(RequestCount);
            if (found != Faults.end()) {
                fault = found->second;
                Faults.erase(found);
            }
            auto h = VendorHandlers.find(ARequest.bRequest);
            if (h != VendorHandlers.end())
                handler = h->second;
        }
        WaitLatency(Latency);

        if (fault) {
            switch (fault->Kind) {
            case TSimFaultKind::DropOff:
                control.unlock();
                Leave();
                return AHandle.RemovedError();
            case TSimFaultKind::Timeout: {
                if (AAsync)
                    return KUnanswered;
                std::unique_lock lock(M);
                if (Changed.wait_for(lock, AWaitLimit, [&] { return AHandle.Removed; }))
                    return AHandle.RemovedError();
                return ERROR_SEM_TIMEOUT;
            }
            case TSimFaultKind::Fail:
                return fault->Error;
            case TSimFaultKind::Stall:
                return ERROR_GEN_FAILURE;
            case TSimFaultKind::Short:
                break;
            }
        }

        std::vector<uint8_t> answer;
        uint32_t result = handler && handler(ARequest, answer) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
        if (result == ERROR_SUCCESS) {
            uint32_t shortBy = fault ? fault->ShortBy : 0;
            if (ARequest.DeviceToHost()) {
                uint32_t n = uint32_t(std::min<std::size_t>(answer.size(), ARequest.wLength));
                n -= std::min(n, shortBy);
                if (n)
                    std::memcpy(AAnswer, answer.data(), n);
                ATransferred = n;
            } else {
                uint32_t n = uint32_t(ARequest.Data.size());
                ATransferred = n - std::min(n, shortBy);
            }
        }
        std::function<void()> then;
        bool leave;
        {
            std::lock_guard lock(M);
            AppendLog(ARequest, result);
            leave = LeaveAfterRequest;
            LeaveAfterRequest = false;
            then = std::move(AfterLeaving);
            AfterLeaving = nullptr;
        }
        control.unlock();
        if (leave) {
            Leave();
            if (then)
                then();
        }
        return result;
    }

    // The family driver's vendor request code: an 8-byte block, then wLength bytes to send; with no
    // data, an output buffer asks the device for that many bytes.
    uint32_t DriverVendorRequest(TSimHandleState& AHandle, const uint8_t* AIn, uint32_t AInSize,
                                 uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned, bool AAsync) {
        AReturned = 0;
        if (!AIn || AInSize < 8)
            return ERROR_INVALID_PARAMETER;
        TSimVendorRequest request;
        uint16_t code = GetLE16(AIn);
        if (code > 0xFF)
            return ERROR_INVALID_PARAMETER;
        request.bRequest = uint8_t(code);
        request.wValue = GetLE16(AIn + 2);
        request.wIndex = GetLE16(AIn + 4);
        uint16_t length = GetLE16(AIn + 6);
        if (AInSize != 8u + length)
            return ERROR_INVALID_PARAMETER;
        uint32_t transferred = 0;
        if (length > 0) {
            request.RequestType = 0x40;
            request.wLength = length;
            request.Data.assign(AIn + 8, AIn + 8 + length);
        } else if (AOutSize > 0 && AOut) {
            request.RequestType = 0xC0;
            request.wLength = uint16_t(std::min<uint32_t>(AOutSize, 0xFFFF));
        } else {
            request.RequestType = 0x40;
        }
        std::chrono::milliseconds limit;
        {
            std::lock_guard lock(M);
            limit = UnansweredLimit;
        }
        uint32_t result = Transfer(AHandle, request, AOut, transferred, limit, AAsync);
        if (result == ERROR_SUCCESS && request.DeviceToHost())
            AReturned = transferred;
        return result;
    }

    uint32_t DriverIoControl(TSimHandleState& AHandle, uint32_t ACode, const uint8_t* AIn, uint32_t AInSize,
                             uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned) {
        AReturned = 0;
        if (ACode == SIM_IOCTL_VENDOR_REQUEST)
            return DriverVendorRequest(AHandle, AIn, AInSize, AOut, AOutSize, AReturned, false);

        std::unique_lock control(ControlMutex);
        std::unique_lock lock(M);
        if (AHandle.Removed)
            return AHandle.RemovedError();
        switch (ACode) {
        case SIM_IOCTL_DRIVER_VERSION:
            if (DriverVersion == 0)
                return ERROR_INVALID_FUNCTION;
            if (AOutSize < 2 || !AOut)
                return ERROR_INSUFFICIENT_BUFFER;
            PutLE16(AOut, DriverVersion);
            AReturned = 2;
            return ERROR_SUCCESS;
        case SIM_IOCTL_DEVICE_DESCRIPTOR: {
            if (DriverVersion < 0x207)
                return ERROR_INVALID_FUNCTION;
            auto descriptor = SimDeviceDescriptorBytes(Identity);
            if (AOutSize < descriptor.size() || !AOut)
                return ERROR_INSUFFICIENT_BUFFER;
            auto latency = Latency;
            lock.unlock();
            WaitLatency(latency);
            std::memcpy(AOut, descriptor.data(), descriptor.size());
            AReturned = uint32_t(descriptor.size());
            return ERROR_SUCCESS;
        }
        case SIM_IOCTL_LOG_SIZE:
        case SIM_IOCTL_LOG_READ:
        case SIM_IOCTL_LOG_CLEAR:
        case SIM_IOCTL_LOG_ENABLE:
        case SIM_IOCTL_LOG_DISABLE:
            return DriverLogControl(ACode, AOut, AOutSize, AReturned);
        default:
            break;
        }
        auto found = IoControlHandlers.find(ACode);
        if (found == IoControlHandlers.end())
            return ERROR_INVALID_FUNCTION;
        TSimIoControlHandler handler = found->second;
        auto latency = Latency;
        lock.unlock();
        WaitLatency(latency);
        std::vector<uint8_t> output;
        uint32_t result = handler(std::vector<uint8_t>(AIn, AIn + (AIn ? AInSize : 0)), AOutSize, output);
        if (result == ERROR_SUCCESS) {
            uint32_t n = uint32_t(std::min<std::size_t>(output.size(), AOutSize));
            if (n && AOut)
                std::memcpy(AOut, output.data(), n);
            AReturned = AOut ? n : 0;
        }
        return result;
    }

    // Under M.
    uint32_t DriverLogControl(uint32_t ACode, uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned) {
        if (DriverVersion < 0x217)
            return ERROR_INVALID_FUNCTION;
        switch (ACode) {
        case SIM_IOCTL_LOG_SIZE: {
            if (AOutSize < 8 || !AOut)
                return ERROR_INSUFFICIENT_BUFFER;
            uint32_t size = uint32_t(DriverLog.size());
            std::memset(AOut, 0, 8);
            std::memcpy(AOut, &size, 4);
            AReturned = 8;
            return ERROR_SUCCESS;
        }
        case SIM_IOCTL_LOG_READ: {
            uint32_t n = AOut ? uint32_t(std::min<std::size_t>(AOutSize, DriverLog.size())) : 0;
            if (n)
                std::memcpy(AOut, DriverLog.data(), n);
            AReturned = n;
            return ERROR_SUCCESS;
        }
        case SIM_IOCTL_LOG_CLEAR:
            DriverLog.clear();
            return ERROR_SUCCESS;
        case SIM_IOCTL_LOG_ENABLE:
            LogEnabled = true;
            return ERROR_SUCCESS;
        default:
            LogEnabled = false;
            return ERROR_SUCCESS;
        }
    }
};

namespace {

class TSimHandle : public TUsbHandle {
public:
    using TCore = TSimDevice::TCore;

    TSimHandle(std::shared_ptr<TCore> ACore, TUsbDriverKind AKind) : fCore(std::move(ACore)) {
        fState.Kind = AKind;
        fCore->Handles.push_back(&fState); // the caller holds the core's mutex
    }

    ~TSimHandle() override {
        std::lock_guard lock(fCore->M);
        fState.Closed = true;
        for (auto& io : fState.Unanswered)
            io->Complete(ERROR_OPERATION_ABORTED, 0);
        auto& handles = fCore->Handles;
        handles.erase(std::remove(handles.begin(), handles.end(), &fState), handles.end());
        fCore->Changed.notify_all();
    }

    TUsbDriverKind DriverKind() const override { return fState.Kind; }

    // --- Family driver ---
    uint32_t IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                       uint32_t& AReturned) override {
        AReturned = 0;
        if (fState.Kind != TUsbDriverKind::Family)
            return ERROR_INVALID_FUNCTION;
        return fCore->DriverIoControl(fState, ACode, static_cast<const uint8_t*>(AIn), AInSize,
                                      static_cast<uint8_t*>(AOut), AOutSize, AReturned);
    }

    std::shared_ptr<TUsbPendingIo> IoControlAsync(uint32_t ACode, const void* AIn, uint32_t AInSize,
                                                  uint32_t AOutSize) override {
        auto io = std::make_shared<TSimPendingIo>(AOutSize);
        if (fState.Kind != TUsbDriverKind::Family) {
            io->Complete(ERROR_INVALID_FUNCTION, 0);
            return io;
        }
        // The input is copied, as the driver does, so the caller's buffer may go at once.
        std::vector<uint8_t> input(static_cast<const uint8_t*>(AIn),
                                   static_cast<const uint8_t*>(AIn) + (AIn ? AInSize : 0));
        uint32_t returned = 0;
        uint32_t result;
        uint8_t* out = AOutSize ? io->Output().data() : nullptr;
        if (ACode == SIM_IOCTL_VENDOR_REQUEST)
            result = fCore->DriverVendorRequest(fState, input.data(), AInSize, out, AOutSize, returned, true);
        else
            result = fCore->DriverIoControl(fState, ACode, input.data(), AInSize, out, AOutSize, returned);
        if (result != KUnanswered) {
            io->Complete(result, returned);
            return io;
        }
        std::lock_guard lock(fCore->M);
        auto& pending = fState.Unanswered;
        pending.erase(std::remove_if(pending.begin(), pending.end(), [](auto& p) { return p->Done(); }),
                      pending.end());
        if (fState.Removed) {
            io->Complete(fState.RemovedError(), 0);
        } else {
            io->Unanswered(TClock::now() + fCore->UnansweredLimit);
            pending.push_back(io);
        }
        return io;
    }

    uint32_t ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) override {
        ARead = 0;
        if (fState.Kind != TUsbDriverKind::Family)
            return ERROR_INVALID_FUNCTION;
        std::unique_lock lock(fCore->M);
        for (;;) {
            if (fState.Removed)
                return fState.RemovedError();
            if (fState.CancelLatched) {
                fState.CancelLatched = false;
                return ERROR_OPERATION_ABORTED;
            }
            if (!fCore->Stream.empty())
                return TakeStream(static_cast<uint8_t*>(ABuffer), ASize, ARead);
            ++fCore->StreamReaders;
            fCore->Changed.wait(lock);
            --fCore->StreamReaders;
        }
    }

    void CancelStreamRead() override {
        std::lock_guard lock(fCore->M);
        fState.CancelLatched = true;
        fCore->Changed.notify_all();
    }

    // --- Generic driver ---
    uint32_t InitializeGeneric() override {
        if (fState.Kind != TUsbDriverKind::Generic)
            return ERROR_INVALID_FUNCTION;
        std::lock_guard lock(fCore->M);
        if (fState.Removed)
            return fState.RemovedError();
        fState.GenericReady = true;
        return ERROR_SUCCESS;
    }

    uint32_t ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer, uint32_t ABufferLength,
                             uint32_t& ATransferred) override {
        ATransferred = 0;
        std::chrono::milliseconds limit;
        {
            std::lock_guard lock(fCore->M);
            if (uint32_t error = GenericCheck())
                return error;
            uint32_t timeout = fState.Policy(0, PIPE_TRANSFER_TIMEOUT);
            limit = timeout ? std::chrono::milliseconds(timeout) : fCore->UnansweredLimit;
        }
        if (ASetup.Length > ABufferLength || (ASetup.Length && !ABuffer))
            return ERROR_INVALID_PARAMETER;
        if (ASetup.RequestType == 0x80 && ASetup.Request == 6) // standard GET_DESCRIPTOR
            return GetDescriptor(uint8_t(ASetup.Value >> 8), uint8_t(ASetup.Value), ASetup.Index, ABuffer,
                                 ASetup.Length, ATransferred);
        if ((ASetup.RequestType & 0x60) != 0x40)
            return ERROR_GEN_FAILURE; // only vendor requests are answered
        TSimVendorRequest request;
        request.RequestType = ASetup.RequestType;
        request.bRequest = ASetup.Request;
        request.wValue = ASetup.Value;
        request.wIndex = ASetup.Index;
        request.wLength = ASetup.Length;
        if (!request.DeviceToHost())
            request.Data.assign(static_cast<uint8_t*>(ABuffer),
                                static_cast<uint8_t*>(ABuffer) + ASetup.Length);
        return fCore->Transfer(fState, request, static_cast<uint8_t*>(ABuffer), ATransferred, limit, false);
    }

    uint32_t GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t, void* ABuffer, uint32_t ALength,
                           uint32_t& ATransferred) override {
        ATransferred = 0;
        std::vector<uint8_t> descriptor;
        std::chrono::microseconds latency;
        {
            std::lock_guard lock(fCore->M);
            if (uint32_t error = GenericCheck())
                return error;
            if (AType == 1 && AIndex == 0)
                descriptor = SimDeviceDescriptorBytes(fCore->Identity);
            else if (AType == 2 && AIndex == 0)
                descriptor = SimConfigurationDescriptorBytes(fCore->Pipes);
            else
                return ERROR_GEN_FAILURE;
            latency = fCore->Latency;
        }
        WaitLatency(latency);
        uint32_t n = uint32_t(std::min<std::size_t>(ALength, descriptor.size()));
        if (n && !ABuffer)
            return ERROR_INVALID_PARAMETER;
        if (n)
            std::memcpy(ABuffer, descriptor.data(), n);
        ATransferred = n;
        return ERROR_SUCCESS;
    }

    uint32_t QueryInterfaceSettings(uint8_t AAlternateSetting,
                                    TUsbInterfaceDescriptor& ADescriptor) override {
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (AAlternateSetting != 0)
            return ERROR_NO_MORE_ITEMS;
        auto bytes = SimInterfaceDescriptorBytes(uint8_t(fCore->Pipes.size()));
        std::memcpy(&ADescriptor, bytes.data(), sizeof ADescriptor);
        return ERROR_SUCCESS;
    }

    uint32_t QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex, TUsbPipeInformation& APipe) override {
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (AAlternateSetting != 0 || APipeIndex >= fCore->Pipes.size())
            return ERROR_NO_MORE_ITEMS;
        const TSimPipe& pipe = fCore->Pipes[APipeIndex];
        APipe.PipeType = TUsbdPipeType(pipe.Attributes & 3);
        APipe.PipeId = pipe.Address;
        APipe.MaximumPacketSize = pipe.MaxPacketSize;
        APipe.Interval = pipe.Interval;
        return ERROR_SUCCESS;
    }

    uint32_t SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) override {
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (APipeId != 0 && !fCore->FindInPipe(APipeId))
            return ERROR_INVALID_PARAMETER;
        if (APolicyType < SHORT_PACKET_TERMINATE || APolicyType > RAW_IO)
            return ERROR_INVALID_PARAMETER;
        fState.Policies[APipeId][APolicyType] = AValue;
        return ERROR_SUCCESS;
    }

    uint32_t ResetPipe(uint8_t APipeId) override {
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (!fCore->FindInPipe(APipeId))
            return ERROR_INVALID_PARAMETER;
        fCore->Halted[APipeId] = false;
        return ERROR_SUCCESS;
    }

    uint32_t AbortPipe(uint8_t APipeId) override {
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (!fCore->FindInPipe(APipeId))
            return ERROR_INVALID_PARAMETER;
        auto& reads = fState.Pending[APipeId];
        for (const auto& read : reads)
            fState.Done[APipeId].push_back({read.Tag, 0, ERROR_OPERATION_ABORTED});
        reads.clear();
        fCore->Changed.notify_all();
        return ERROR_SUCCESS;
    }

    uint32_t SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                            uint32_t& ATransferred) override {
        ATransferred = 0;
        std::lock_guard lock(fCore->M);
        if (uint32_t error = GenericCheck())
            return error;
        if (!fCore->FindInPipe(APipeId) || (ASize && !ABuffer))
            return ERROR_INVALID_PARAMETER;
        if (uint32_t error = fCore->SubmitErrors[APipeId])
            return error;
        if (fCore->Halted[APipeId])
            return ERROR_GEN_FAILURE;
        auto& queue = fCore->PipeQueues[APipeId];
        auto& pending = fState.Pending[APipeId];
        auto& done = fState.Done[APipeId];
        TSimHandleState::TPipeRead read{static_cast<uint8_t*>(ABuffer), ASize, ATag};
        if (!queue.empty() && pending.empty()) {
            // Data is waiting: the read takes it. It completes at once only when no earlier
            // completion is still to be reported, so that completions keep their order.
            TCore::TPacket packet = std::move(queue.front());
            queue.pop_front();
            fCore->CompleteRead(fState, APipeId, read, packet);
            if (done.size() > 1)
                return ERROR_IO_PENDING;
            TSimHandleState::TPipeDone completed = done.back();
            done.pop_back();
            ATransferred = completed.Transferred;
            return completed.Result;
        }
        pending.push_back(read);
        return ERROR_IO_PENDING;
    }

    bool WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred, uint32_t& AResult) override {
        std::unique_lock lock(fCore->M);
        for (;;) {
            auto& done = fState.Done[APipeId];
            if (!done.empty()) {
                ATag = done.front().Tag;
                ATransferred = done.front().Transferred;
                AResult = done.front().Result;
                done.pop_front();
                return true;
            }
            if (fState.Pending[APipeId].empty())
                return false;
            fCore->Changed.wait(lock);
        }
    }

private:
    // Under the core's mutex: the error a generic-driver call fails with before it starts.
    uint32_t GenericCheck() const {
        if (fState.Kind != TUsbDriverKind::Generic || !fState.GenericReady)
            return ERROR_INVALID_HANDLE;
        if (fState.Removed)
            return fState.RemovedError();
        return ERROR_SUCCESS;
    }

    // Under the core's mutex, with the stream not empty: fills one read.
    uint32_t TakeStream(uint8_t* ABuffer, uint32_t ASize, uint32_t& ARead) {
        auto& stream = fCore->Stream;
        TCore::TStreamItem& first = stream.front();
        if (first.Error) {
            uint32_t error = first.Error;
            stream.pop_front();
            return error;
        }
        if (!first.Record) {
            // A raw transfer the size of the read at most; what does not fit is lost, as on an overrun.
            ARead = uint32_t(std::min<std::size_t>(ASize, first.Bytes.size()));
            if (ARead)
                std::memcpy(ABuffer, first.Bytes.data(), ARead);
            fCore->StreamBytes -= first.Bytes.size();
            stream.pop_front();
            return ERROR_SUCCESS;
        }
        if (first.Bytes.size() > ASize) {
            // A record that does not fit the read is dropped rather than split.
            fCore->StreamBytes -= first.Bytes.size();
            stream.pop_front();
            return ERROR_INSUFFICIENT_BUFFER;
        }
        while (!stream.empty() && stream.front().Record && stream.front().Bytes.size() <= ASize - ARead) {
            const auto& bytes = stream.front().Bytes;
            std::memcpy(ABuffer + ARead, bytes.data(), bytes.size());
            ARead += uint32_t(bytes.size());
            fCore->StreamBytes -= bytes.size();
            stream.pop_front();
        }
        return ERROR_SUCCESS;
    }

    std::shared_ptr<TCore> fCore;
    TSimHandleState fState;
};

} // namespace

TSimDevice::TSimDevice(const TSimDeviceIdentity& AIdentity, TUsbDriverKind ADriver, std::string APathName)
    : fPathName(std::move(APathName)), fCore(std::make_shared<TCore>()) {
    fCore->Owner = this;
    fCore->Identity = AIdentity;
    fCore->Driver = ADriver;
}

TSimDevice::~TSimDevice() {
    // Requests in progress finish first; afterwards open handles fail as if the device was removed.
    std::lock_guard control(fCore->ControlMutex);
    std::lock_guard lock(fCore->M);
    fCore->Owner = nullptr;
    fCore->Attached = false;
    fCore->VendorHandlers.clear();
    fCore->IoControlHandlers.clear();
    fCore->AfterLeaving = nullptr;
    fCore->OnSwitchToBootloader = nullptr;
    fCore->RemoveHandles();
}

TGUID TSimDevice::InterfaceClass() const {
    return SimInterfaceClassOf(Identity().ProductId);
}

uint32_t TSimDevice::OpenHandle(std::unique_ptr<TUsbHandle>& AHandle) {
    std::lock_guard lock(fCore->M);
    if (!fCore->Attached)
        return ERROR_FILE_NOT_FOUND;
    AHandle = std::make_unique<TSimHandle>(fCore, fCore->Driver);
    return ERROR_SUCCESS;
}

void TSimDevice::Attached(TSimBus& ABus, const std::string& APath) {
    std::lock_guard lock(fCore->M);
    fCore->Attached = true;
    fCore->Bus = &ABus;
    fCore->Path = APath;
}

void TSimDevice::Detached() {
    std::lock_guard lock(fCore->M);
    fCore->Attached = false;
    fCore->RemoveHandles();
}

TSimDeviceIdentity TSimDevice::Identity() const {
    std::lock_guard lock(fCore->M);
    return fCore->Identity;
}

void TSimDevice::SetIdentity(const TSimDeviceIdentity& AIdentity) {
    std::lock_guard lock(fCore->M);
    fCore->Identity = AIdentity;
}

TUsbDriverKind TSimDevice::DriverKind() const {
    std::lock_guard lock(fCore->M);
    return fCore->Driver;
}

void TSimDevice::SetDriverKind(TUsbDriverKind ADriver) {
    std::lock_guard lock(fCore->M);
    fCore->Driver = ADriver;
}

void TSimDevice::SetDriverVersion(uint16_t AVersion) {
    std::lock_guard lock(fCore->M);
    fCore->DriverVersion = AVersion;
}

void TSimDevice::SetVendorHandler(uint8_t ARequest, TSimVendorHandler AHandler) {
    std::lock_guard lock(fCore->M);
    fCore->VendorHandlers[ARequest] = std::move(AHandler);
}

void TSimDevice::SetIoControlHandler(uint32_t ACode, TSimIoControlHandler AHandler) {
    std::lock_guard lock(fCore->M);
    fCore->IoControlHandlers[ACode] = std::move(AHandler);
}

void TSimDevice::SetFault(uint32_t AN, const TSimFault& AFault) {
    std::lock_guard lock(fCore->M);
    fCore->Faults[AN] = AFault;
}

uint32_t TSimDevice::VendorRequestCount() const {
    std::lock_guard lock(fCore->M);
    return fCore->RequestCount;
}

void TSimDevice::SetLatency(std::chrono::microseconds ALatency) {
    std::lock_guard lock(fCore->M);
    fCore->Latency = ALatency;
}

void TSimDevice::SetUnansweredLimit(std::chrono::milliseconds ALimit) {
    std::lock_guard lock(fCore->M);
    fCore->UnansweredLimit = ALimit;
}

void TSimDevice::LeaveBusAfterRequest(std::function<void()> AThen) {
    std::lock_guard lock(fCore->M);
    fCore->LeaveAfterRequest = true;
    fCore->AfterLeaving = std::move(AThen);
}

void TSimDevice::SetOnSwitchToBootloader(std::function<void(TSimBus*)> AThen) {
    std::lock_guard lock(fCore->M);
    fCore->OnSwitchToBootloader = std::move(AThen);
}

void TSimDevice::SwitchToBootloaderAfterRequest() {
    std::lock_guard lock(fCore->M);
    fCore->LeaveAfterRequest = true;
    fCore->AfterLeaving = nullptr;
    if (fCore->OnSwitchToBootloader)
        fCore->AfterLeaving = [hook = fCore->OnSwitchToBootloader, bus = fCore->Bus] { hook(bus); };
}

TSimBus* TSimDevice::Bus() const {
    std::lock_guard lock(fCore->M);
    return fCore->Bus;
}

void TSimDevice::LeaveBus() {
    fCore->Leave();
}

bool TSimDevice::IsAttached() const {
    std::lock_guard lock(fCore->M);
    return fCore->Attached;
}

std::string TSimDevice::Path() const {
    std::lock_guard lock(fCore->M);
    return fCore->Path;
}

bool TSimDevice::PushData(const std::vector<uint8_t>& APayload) {
    if (DriverKind() == TUsbDriverKind::Family)
        return PushRecord(SIM_RECORD_DATA, APayload);
    return PushPackets(SIM_PIPE_DATA_IN, APayload);
}

bool TSimDevice::PushEvent(const std::vector<uint8_t>& APayload) {
    if (DriverKind() == TUsbDriverKind::Family)
        return PushRecord(SIM_RECORD_EVENT, APayload);
    return PushPackets(SIM_PIPE_EVENT_IN, APayload);
}

bool TSimDevice::PushPackets(uint8_t APipeId, const std::vector<uint8_t>& APayload) {
    std::size_t packetSize;
    {
        std::lock_guard lock(fCore->M);
        const TSimPipe* pipe = fCore->FindInPipe(APipeId);
        if (!pipe || pipe->MaxPacketSize == 0)
            return false;
        packetSize = pipe->MaxPacketSize;
    }
    if (APayload.empty())
        return PushPacket(APipeId, APayload);
    for (std::size_t at = 0; at < APayload.size(); at += packetSize) {
        auto end = APayload.begin() + std::ptrdiff_t(std::min(APayload.size(), at + packetSize));
        if (!PushPacket(APipeId, std::vector<uint8_t>(APayload.begin() + std::ptrdiff_t(at), end)))
            return false;
    }
    return true;
}

bool TSimDevice::PushRecord(uint8_t AType, const std::vector<uint8_t>& APayload) {
    if (APayload.size() + KRecordHeader > KMaxStreamTransfer)
        return false;
    TCore::TStreamItem item;
    item.Record = true;
    uint32_t length = uint32_t(APayload.size());
    item.Bytes = {AType};
    AppendLE32(item.Bytes, length);
    item.Bytes.insert(item.Bytes.end(), APayload.begin(), APayload.end());
    std::lock_guard lock(fCore->M);
    fCore->StreamBytes += item.Bytes.size();
    fCore->Stream.push_back(std::move(item));
    fCore->Changed.notify_all();
    return true;
}

void TSimDevice::PushStreamTransfer(const std::vector<uint8_t>& ABytes) {
    std::lock_guard lock(fCore->M);
    fCore->StreamBytes += ABytes.size();
    fCore->Stream.push_back({ABytes, 0, false});
    fCore->Changed.notify_all();
}

void TSimDevice::PushStreamError(uint32_t AError) {
    std::lock_guard lock(fCore->M);
    fCore->Stream.push_back({{}, AError, false});
    fCore->Changed.notify_all();
}

bool TSimDevice::PushPacket(uint8_t APipeId, const std::vector<uint8_t>& APacket) {
    std::lock_guard lock(fCore->M);
    const TSimPipe* pipe = fCore->FindInPipe(APipeId);
    if (!pipe || APacket.size() > pipe->MaxPacketSize)
        return false;
    TCore::TPacket packet{APacket, 0};
    for (TSimHandleState* h : fCore->Handles) {
        auto& reads = h->Pending[APipeId];
        if (h->Removed || reads.empty())
            continue;
        fCore->CompleteRead(*h, APipeId, reads.front(), packet);
        reads.pop_front();
        fCore->Changed.notify_all();
        return true;
    }
    fCore->PipeQueues[APipeId].push_back(std::move(packet));
    return true;
}

void TSimDevice::PushPipeError(uint8_t APipeId, uint32_t AError) {
    std::lock_guard lock(fCore->M);
    TCore::TPacket packet{{}, AError};
    for (TSimHandleState* h : fCore->Handles) {
        auto& reads = h->Pending[APipeId];
        if (h->Removed || reads.empty())
            continue;
        fCore->CompleteRead(*h, APipeId, reads.front(), packet);
        reads.pop_front();
        fCore->Changed.notify_all();
        return;
    }
    fCore->PipeQueues[APipeId].push_back(std::move(packet));
}

void TSimDevice::SetPipeSubmitError(uint8_t APipeId, uint32_t AError) {
    std::lock_guard lock(fCore->M);
    fCore->SubmitErrors[APipeId] = AError;
}

std::size_t TSimDevice::PendingStreamBytes() const {
    std::lock_guard lock(fCore->M);
    return fCore->StreamBytes;
}

std::size_t TSimDevice::PendingPackets(uint8_t APipeId) const {
    std::lock_guard lock(fCore->M);
    auto found = fCore->PipeQueues.find(APipeId);
    return found == fCore->PipeQueues.end() ? 0 : found->second.size();
}

std::size_t TSimDevice::WaitingReads() const {
    std::lock_guard lock(fCore->M);
    std::size_t n = fCore->StreamReaders;
    for (TSimHandleState* h : fCore->Handles)
        for (const auto& [pipe, reads] : h->Pending)
            n += reads.size();
    return n;
}

std::string TSimDevice::DriverLog() const {
    std::lock_guard lock(fCore->M);
    return fCore->DriverLog;
}
