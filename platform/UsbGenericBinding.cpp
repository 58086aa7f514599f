#include "platform/UsbGenericBinding.h"

#include "platform/UsbDescriptorWalk.h"
#include "platform/UsbDriverHandles.h"

#include "platform/WinError.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace {

uint32_t GenericResult(uint32_t AWireResult) {
    return AWireResult == ERROR_DEVICE_NOT_CONNECTED ? ERROR_INVALID_HANDLE : AWireResult;
}

// Interface 0, alternate setting 0, and its endpoints as the configuration descriptor lists them.
// Lengths are checked: a device's descriptor may be anything.
struct TInterfaceLayout {
    std::optional<TUsbInterfaceDescriptor> Interface;
    std::vector<TUsbPipeInformation> Pipes;

    explicit TInterfaceLayout(const std::vector<uint8_t>& AConfig) {
        bool inInterface = false;
        for (TUsbDescriptorWalk d(AConfig); !d.AtEnd(); d.Advance()) {
            if (d.Type() == USB_DESCRIPTOR_INTERFACE && d.Length() >= sizeof(TUsbInterfaceDescriptor)) {
                TUsbInterfaceDescriptor interface;
                std::memcpy(&interface, d.Bytes(), sizeof interface);
                inInterface =
                    interface.bInterfaceNumber == 0 && interface.bAlternateSetting == 0 && !Interface;
                if (inInterface)
                    Interface = interface;
            } else if (d.Type() == USB_DESCRIPTOR_ENDPOINT && d.Length() >= USB_ENDPOINT_DESCRIPTOR_SIZE &&
                       inInterface) {
                TUsbPipeInformation pipe;
                pipe.PipeId = d[2];
                pipe.PipeType = TUsbdPipeType(d[3] & 3);
                pipe.MaximumPacketSize = uint16_t(d[4] | (d[5] << 8));
                pipe.Interval = d[6];
                Pipes.push_back(pipe);
            }
        }
    }

    bool IsInPipe(uint8_t APipeId) const {
        return (APipeId & 0x80) && std::any_of(Pipes.begin(), Pipes.end(), [&](const TUsbPipeInformation& P) {
                   return P.PipeId == APipeId;
               });
    }
};

// The reads of one handle, shared with their completions, which may run after the handle has gone.
struct TReads {
    std::mutex M;
    std::condition_variable Changed;
    struct TRead {
        uint8_t* Buffer;
        uint32_t Size;
        uintptr_t Tag;
        uint64_t Seq;
        std::optional<uint64_t> Transfer;
    };
    struct TDone {
        uintptr_t Tag;
        uint32_t Transferred;
        uint32_t Result;
        uint64_t Seq;
    };
    std::map<uint8_t, std::deque<TRead>> Pending;
    std::map<uint8_t, std::deque<TDone>> Done;
    std::map<uint8_t, std::map<uint32_t, uint32_t>> Policies;
    std::set<uint8_t> Halted;
    std::set<uint8_t> ClearHaltDue; // stalled with AUTO_CLEAR_STALL: cleared before the next read
    std::set<uint64_t> AbortedUnsubmitted;
    uint64_t NextSeq = 0;

    uint32_t Policy(uint8_t APipe, uint32_t AType) const {
        auto pipe = Policies.find(APipe);
        if (pipe == Policies.end())
            return 0;
        auto value = pipe->second.find(AType);
        return value == pipe->second.end() ? 0 : value->second;
    }

    // A read's completion from the wire.
    void Complete(uint8_t APipe, uint64_t ASeq, uint32_t AResult, const std::vector<uint8_t>& AData) {
        std::lock_guard lock(M);
        auto& pending = Pending[APipe];
        auto read =
            std::find_if(pending.begin(), pending.end(), [&](const TRead& R) { return R.Seq == ASeq; });
        if (read == pending.end())
            return; // aborted or closed: its buffer may be gone
        uint32_t n = 0;
        uint32_t result = GenericResult(AResult);
        if (result == ERROR_SUCCESS) {
            n = uint32_t(std::min<std::size_t>(read->Size, AData.size()));
            if (n)
                std::memcpy(read->Buffer, AData.data(), n);
        } else if (result == ERROR_GEN_FAILURE) {
            if (Policy(APipe, AUTO_CLEAR_STALL))
                ClearHaltDue.insert(APipe);
            else
                Halted.insert(APipe);
        }
        Done[APipe].push_back({read->Tag, n, result, ASeq});
        pending.erase(read);
        Changed.notify_all();
    }
};

class TGenericHandle : public TGenericDriverHandle {
public:
    TGenericHandle(std::shared_ptr<TUsbWire> AWire, std::function<uint32_t()> ADefaultTimeoutMs)
        : fWire(std::move(AWire)), fDefaultTimeoutMs(std::move(ADefaultTimeoutMs)),
          fLayout(fWire->ConfigurationDescriptor()) {}

    ~TGenericHandle() override {
        std::vector<uint64_t> transfers;
        {
            std::lock_guard lock(fReads->M);
            for (auto& [pipe, reads] : fReads->Pending)
                for (const auto& read : reads)
                    if (read.Transfer)
                        transfers.push_back(*read.Transfer);
            fReads->Pending.clear();
        }
        for (uint64_t id : transfers)
            fWire->CancelTransfer(id);
    }

    uint32_t InitializeGeneric() override {
        if (fWire->Gone())
            return ERROR_INVALID_HANDLE;
        std::lock_guard lock(fReads->M);
        fReady = true;
        return ERROR_SUCCESS;
    }

    uint32_t ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer, uint32_t ABufferLength,
                             uint32_t& ATransferred) override {
        ATransferred = 0;
        uint32_t timeout;
        {
            std::lock_guard lock(fReads->M);
            if (uint32_t error = Check())
                return error;
            timeout = fReads->Policy(0, PIPE_TRANSFER_TIMEOUT);
        }
        if (!timeout)
            timeout = fDefaultTimeoutMs();
        if (ASetup.Length > ABufferLength || (ASetup.Length && !ABuffer))
            return ERROR_INVALID_PARAMETER;
        auto* buffer = static_cast<uint8_t*>(ABuffer);
        std::vector<uint8_t> data;
        if (!(ASetup.RequestType & 0x80))
            data.assign(buffer, buffer + ASetup.Length);
        uint32_t result = GenericResult(UsbWireControl(*fWire, ASetup, data, timeout, ATransferred));
        if (result == ERROR_SUCCESS && (ASetup.RequestType & 0x80) && ATransferred)
            std::memcpy(buffer, data.data(), ATransferred);
        return result;
    }

    uint32_t GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALanguage, void* ABuffer, uint32_t ALength,
                           uint32_t& ATransferred) override {
        ATransferred = 0;
        {
            std::lock_guard lock(fReads->M);
            if (uint32_t error = Check())
                return error;
        }
        if (ALength && !ABuffer)
            return ERROR_INVALID_PARAMETER;
        TUsbSetupPacket setup{USB_REQUEST_TYPE_DEVICE_IN, USB_REQUEST_GET_DESCRIPTOR,
                              uint16_t(AType << 8 | AIndex), ALanguage,
                              uint16_t(std::min<uint32_t>(ALength, 0xFFFF))};
        return ControlTransfer(setup, ABuffer, ALength, ATransferred);
    }

    uint32_t QueryInterfaceSettings(uint8_t AAlternateSetting,
                                    TUsbInterfaceDescriptor& ADescriptor) override {
        std::lock_guard lock(fReads->M);
        if (uint32_t error = Check())
            return error;
        if (AAlternateSetting != 0 || !fLayout.Interface)
            return ERROR_NO_MORE_ITEMS;
        ADescriptor = *fLayout.Interface;
        return ERROR_SUCCESS;
    }

    uint32_t QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex, TUsbPipeInformation& APipe) override {
        std::lock_guard lock(fReads->M);
        if (uint32_t error = Check())
            return error;
        if (AAlternateSetting != 0 || APipeIndex >= fLayout.Pipes.size())
            return ERROR_NO_MORE_ITEMS;
        APipe = fLayout.Pipes[APipeIndex];
        return ERROR_SUCCESS;
    }

    uint32_t SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) override {
        std::lock_guard lock(fReads->M);
        if (uint32_t error = Check())
            return error;
        if (APipeId != 0 && !fLayout.IsInPipe(APipeId))
            return ERROR_INVALID_PARAMETER;
        if (APolicyType < SHORT_PACKET_TERMINATE || APolicyType > RAW_IO)
            return ERROR_INVALID_PARAMETER;
        fReads->Policies[APipeId][APolicyType] = AValue;
        return ERROR_SUCCESS;
    }

    uint32_t ResetPipe(uint8_t APipeId) override {
        {
            std::lock_guard lock(fReads->M);
            if (uint32_t error = Check())
                return error;
            if (!fLayout.IsInPipe(APipeId))
                return ERROR_INVALID_PARAMETER;
            fReads->Halted.erase(APipeId);
            fReads->ClearHaltDue.erase(APipeId);
        }
        return GenericResult(fWire->ClearHalt(APipeId));
    }

    uint32_t AbortPipe(uint8_t APipeId) override {
        std::vector<uint64_t> transfers;
        {
            std::lock_guard lock(fReads->M);
            if (uint32_t error = Check())
                return error;
            if (!fLayout.IsInPipe(APipeId))
                return ERROR_INVALID_PARAMETER;
            auto& reads = fReads->Pending[APipeId];
            for (const auto& read : reads) {
                fReads->Done[APipeId].push_back({read.Tag, 0, ERROR_OPERATION_ABORTED, read.Seq});
                if (read.Transfer)
                    transfers.push_back(*read.Transfer);
                else
                    fReads->AbortedUnsubmitted.insert(read.Seq);
            }
            reads.clear();
            fReads->Changed.notify_all();
        }
        for (uint64_t id : transfers)
            fWire->CancelTransfer(id);
        return ERROR_SUCCESS;
    }

    uint32_t SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                            uint32_t& ATransferred) override {
        ATransferred = 0;
        uint64_t seq;
        bool clearHalt;
        {
            std::lock_guard lock(fReads->M);
            if (uint32_t error = Check())
                return error;
            if (!fLayout.IsInPipe(APipeId) || (ASize && !ABuffer))
                return ERROR_INVALID_PARAMETER;
            if (fReads->Halted.count(APipeId))
                return ERROR_GEN_FAILURE;
            clearHalt = fReads->ClearHaltDue.erase(APipeId) > 0;
            seq = fReads->NextSeq++;
            fReads->Pending[APipeId].push_back(
                {static_cast<uint8_t*>(ABuffer), ASize, ATag, seq, std::nullopt});
        }
        if (clearHalt)
            fWire->ClearHalt(APipeId);
        uint64_t id = 0;
        uint32_t error = fWire->SubmitRead(
            APipeId, ASize,
            [reads = fReads, APipeId, seq](uint32_t AResult, std::vector<uint8_t> AData) {
                reads->Complete(APipeId, seq, AResult, AData);
            },
            id);

        std::unique_lock lock(fReads->M);
        auto& pending = fReads->Pending[APipeId];
        auto read = std::find_if(pending.begin(), pending.end(), [&](const auto& R) { return R.Seq == seq; });
        if (error != ERROR_SUCCESS) {
            if (read != pending.end())
                pending.erase(read);
            fReads->AbortedUnsubmitted.erase(seq);
            return GenericResult(error);
        }
        if (read != pending.end()) {
            read->Transfer = id;
            return ERROR_IO_PENDING;
        }
        if (fReads->AbortedUnsubmitted.erase(seq)) {
            lock.unlock();
            fWire->CancelTransfer(id);
            return ERROR_IO_PENDING;
        }
        // Completed before the submit returned. It is reported at once only when no earlier
        // completion is still to be reported, so that completions keep their order.
        auto& done = fReads->Done[APipeId];
        if (done.size() != 1 || done.front().Seq != seq)
            return ERROR_IO_PENDING;
        ATransferred = done.front().Transferred;
        uint32_t result = done.front().Result;
        done.pop_front();
        return result;
    }

    bool WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred, uint32_t& AResult) override {
        std::unique_lock lock(fReads->M);
        for (;;) {
            auto& done = fReads->Done[APipeId];
            if (!done.empty()) {
                ATag = done.front().Tag;
                ATransferred = done.front().Transferred;
                AResult = done.front().Result;
                done.pop_front();
                return true;
            }
            if (fReads->Pending[APipeId].empty())
                return false;
            fReads->Changed.wait(lock);
        }
    }

private:
    // Under the reads' mutex: the error a call fails with before it starts.
    uint32_t Check() const {
        if (!fReady || fWire->Gone())
            return ERROR_INVALID_HANDLE;
        return ERROR_SUCCESS;
    }

    std::shared_ptr<TUsbWire> fWire;
    std::function<uint32_t()> fDefaultTimeoutMs;
    const TInterfaceLayout fLayout;
    std::shared_ptr<TReads> fReads = std::make_shared<TReads>();
    bool fReady = false;
};

} // namespace

std::unique_ptr<TUsbHandle> MakeGenericHandle(std::shared_ptr<TUsbWire> AWire,
                                              std::function<uint32_t()> ADefaultTimeoutMs) {
    return std::make_unique<TGenericHandle>(std::move(AWire), std::move(ADefaultTimeoutMs));
}
