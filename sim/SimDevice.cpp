#include "sim/SimDevice.h"

#include "platform/LittleEndian.h"
#include "platform/UsbFamilyBinding.h"
#include "platform/UsbGenericBinding.h"

#include "sim/SimBus.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;
using TCalls = std::vector<std::function<void()>>;

// Largest stream read the family driver hands over; a record must fit one read.
constexpr std::size_t KMaxStreamTransfer = 10240;
constexpr std::size_t KRecordHeader = 5;
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

void RunCalls(TCalls& ACalls) {
    for (auto& call : ACalls)
        call();
    ACalls.clear();
}

// A string descriptor: UTF-16LE text behind its length and type.
std::vector<uint8_t> StringDescriptor(const std::string& AText) {
    std::vector<uint8_t> d = {uint8_t(2 + 2 * AText.size()), USB_DESCRIPTOR_STRING};
    for (char c : AText)
        d.insert(d.end(), {uint8_t(c), 0});
    return d;
}

} // namespace

// The device as one attachment to the bus shows it on the wire. A re-plugged device is a new wire.
class TSimWire : public TUsbWire {
public:
    explicit TSimWire(std::shared_ptr<TSimDevice::TCore> ACore) : fCore(std::move(ACore)) {}

    std::vector<uint8_t> DeviceDescriptor() const override;
    std::vector<uint8_t> ConfigurationDescriptor() const override;
    TUsbSpeed Speed() const override { return TUsbSpeed::Full; }
    uint32_t SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t> AData, uint32_t ATimeoutMs,
                           TUsbControlCompletion AOnDone, uint64_t& AId) override;
    uint32_t SubmitRead(uint8_t AEndpoint, uint32_t ALength, TUsbReadCompletion AOnDone,
                        uint64_t& AId) override;
    void CancelTransfer(uint64_t AId) override;
    uint32_t ClearHalt(uint8_t AEndpoint) override;
    bool Gone() const override;
    uint64_t AddGoneListener(std::function<void()> AOnGone) override;
    void RemoveGoneListener(uint64_t AId) override;

    // Guarded by the core's mutex.
    bool IsGone = false;
    struct TRead {
        uint64_t Id;
        uint32_t Length;
        TUsbReadCompletion OnDone;
    };
    std::map<uint8_t, std::deque<TRead>> Reads;
    std::map<uint64_t, TUsbControlCompletion> Unanswered;
    std::map<uint64_t, std::function<void()>> GoneListeners;

private:
    std::shared_ptr<TSimDevice::TCore> fCore;
};

struct TSimDevice::TCore {
    TSimDevice* Owner = nullptr;

    mutable std::mutex M;
    // Serialises control transfers, as the default pipe does; handlers run under it.
    std::mutex ControlMutex;

    TSimDeviceIdentity Identity;
    TUsbDriverKind Driver = TUsbDriverKind::Family;
    std::shared_ptr<TUsbFamilyDriver> FamilyDriver = std::make_shared<TUsbFamilyDriver>();
    std::vector<TSimPipe> Pipes = {{SIM_PIPE_DATA_IN, 2, 64, 0}, {SIM_PIPE_EVENT_IN, 3, 64, 1}};
    std::string PathName;

    bool Attached = false;
    TSimBus* Bus = nullptr;
    std::string Path;
    std::shared_ptr<TSimWire> Wire; // of the current attachment
    uint64_t NextId = 0;

    std::map<uint8_t, TSimVendorHandler> VendorHandlers;
    std::map<uint32_t, TSimIoControlHandler> IoControlHandlers;
    // Extra control codes run and not yet asked for: LE32 result, then the output.
    std::map<uint16_t, std::vector<uint8_t>> CodeResults;
    std::map<uint32_t, TSimFault> Faults;
    std::vector<uint8_t> GarbageDescriptors;
    bool StallEverything = false;
    uint32_t RequestCount = 0;
    std::map<std::pair<uint8_t, uint8_t>, uint32_t> RequestsSeen;
    std::chrono::microseconds Latency{0};
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

    struct TPacket {
        std::vector<uint8_t> Bytes;
        uint32_t Error = 0;
    };
    std::map<uint8_t, std::deque<TPacket>> PipeQueues;
    std::map<uint8_t, uint32_t> SubmitErrors;

    // Under M: the identity as the descriptor on the wire tells it, the binding included.
    TSimDeviceIdentity WireIdentity() const {
        TSimDeviceIdentity identity = Identity;
        if (Driver == TUsbDriverKind::Generic)
            identity.DeviceProtocol = SIM_PROTOCOL_GENERIC;
        return identity;
    }

    const TSimPipe* FindInPipe(uint8_t APipeId) const {
        for (const TSimPipe& pipe : Pipes)
            if (pipe.Address == APipeId && (pipe.Address & 0x80))
                return &pipe;
        return nullptr;
    }

    // Under M: the family's record stream travels on the bulk IN pipe while it is bound to the
    // family driver; everything else is plain packets.
    bool CarriesStream(uint8_t AEndpoint) const {
        return AEndpoint == SIM_PIPE_DATA_IN && Driver == TUsbDriverKind::Family;
    }

    // Under M: what the device sends for one read of ALength bytes, if it has anything.
    std::optional<std::pair<uint32_t, std::vector<uint8_t>>> TakeFor(uint8_t AEndpoint, uint32_t ALength) {
        if (CarriesStream(AEndpoint))
            return TakeStream(ALength);
        auto& queue = PipeQueues[AEndpoint];
        if (queue.empty())
            return std::nullopt;
        TPacket packet = std::move(queue.front());
        queue.pop_front();
        if (packet.Bytes.size() > ALength)
            packet.Bytes.resize(ALength);
        return std::make_pair(packet.Error, std::move(packet.Bytes));
    }

    // Under M: whole records up to ALength bytes, one raw transfer, or one read error.
    std::optional<std::pair<uint32_t, std::vector<uint8_t>>> TakeStream(uint32_t ALength) {
        if (Stream.empty())
            return std::nullopt;
        TStreamItem& first = Stream.front();
        if (first.Error) {
            uint32_t error = first.Error;
            Stream.pop_front();
            return std::make_pair(error, std::vector<uint8_t>());
        }
        std::vector<uint8_t> out;
        if (!first.Record) {
            // A raw transfer the size of the read at most; what does not fit is lost, as on an overrun.
            out.assign(first.Bytes.begin(), first.Bytes.begin() + std::ptrdiff_t(std::min<std::size_t>(
                                                                      ALength, first.Bytes.size())));
            StreamBytes -= first.Bytes.size();
            Stream.pop_front();
            return std::make_pair(ERROR_SUCCESS, std::move(out));
        }
        if (first.Bytes.size() > ALength) {
            // A record that does not fit the read is dropped rather than split.
            StreamBytes -= first.Bytes.size();
            Stream.pop_front();
            return std::make_pair(ERROR_INSUFFICIENT_BUFFER, std::move(out));
        }
        while (!Stream.empty() && Stream.front().Record &&
               Stream.front().Bytes.size() <= ALength - out.size()) {
            const auto& bytes = Stream.front().Bytes;
            out.insert(out.end(), bytes.begin(), bytes.end());
            StreamBytes -= bytes.size();
            Stream.pop_front();
        }
        return std::make_pair(ERROR_SUCCESS, std::move(out));
    }

    // Under M: hands what the device has for AEndpoint to the reads waiting there, oldest first.
    void Feed(uint8_t AEndpoint, TCalls& ACalls) {
        if (!Wire)
            return;
        auto& reads = Wire->Reads[AEndpoint];
        while (!reads.empty()) {
            auto sent = TakeFor(AEndpoint, reads.front().Length);
            if (!sent)
                return;
            ACalls.push_back([done = std::move(reads.front().OnDone), sent = std::move(*sent)]() mutable {
                done(sent.first, std::move(sent.second));
            });
            reads.pop_front();
        }
    }

    // Under M: the current wire goes (removal or destruction); its transfers complete as gone.
    void WireGone(TCalls& ACalls) {
        if (Wire) {
            Wire->IsGone = true;
            for (auto& [endpoint, reads] : Wire->Reads)
                for (auto& read : reads)
                    ACalls.push_back(
                        [done = std::move(read.OnDone)] { done(ERROR_DEVICE_NOT_CONNECTED, {}); });
            Wire->Reads.clear();
            for (auto& [id, done] : Wire->Unanswered)
                ACalls.push_back([done = std::move(done)] { done(ERROR_DEVICE_NOT_CONNECTED, 0, {}); });
            Wire->Unanswered.clear();
            for (auto& [id, listener] : Wire->GoneListeners)
                ACalls.push_back(std::move(listener));
            Wire->GoneListeners.clear();
            Wire.reset();
        }
        Stream.clear();
        StreamBytes = 0;
        PipeQueues.clear();
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

    // One control transfer as the device answers it: the result (KUnanswered: never), the bytes
    // moved, and the answer of a device-to-host request.
    uint32_t Answer(const TSimWire& AWire, const TUsbSetupPacket& ASetup, const std::vector<uint8_t>& AData,
                    std::vector<uint8_t>& AAnswer, uint32_t& ATransferred) {
        ATransferred = 0;
        const uint8_t type = ASetup.RequestType & 0x60;
        const uint8_t recipient = ASetup.RequestType & 0x1F;
        {
            std::lock_guard lock(M);
            if (StallEverything)
                return ERROR_GEN_FAILURE;
        }
        if (type == 0x40 && recipient == 0)
            return VendorRequest(AWire, ASetup, AData, AAnswer, ATransferred);
        std::lock_guard control(ControlMutex);
        std::chrono::microseconds latency;
        {
            std::lock_guard lock(M);
            latency = Latency;
        }
        WaitLatency(latency);
        uint32_t result = ERROR_GEN_FAILURE;
        if (type == 0)
            result = StandardRequest(ASetup, AAnswer);
        else if (type == 0x40 && recipient == 1)
            result = CodeRequest(ASetup, AData, AAnswer);
        if (result != ERROR_SUCCESS)
            return result;
        if (ASetup.RequestType & 0x80) {
            if (AAnswer.size() > ASetup.Length)
                AAnswer.resize(ASetup.Length);
            ATransferred = uint32_t(AAnswer.size());
        } else {
            ATransferred = uint32_t(AData.size());
        }
        return ERROR_SUCCESS;
    }

    // The chapter-9 requests a host sends while enumerating and configuring.
    uint32_t StandardRequest(const TUsbSetupPacket& ASetup, std::vector<uint8_t>& AAnswer) {
        std::lock_guard lock(M);
        switch (ASetup.Request) {
        case USB_REQUEST_GET_DESCRIPTOR:
            if (ASetup.RequestType != 0x80)
                return ERROR_GEN_FAILURE;
            if (!GarbageDescriptors.empty() && ASetup.Value >> 8 != USB_DESCRIPTOR_STRING) {
                AAnswer = GarbageDescriptors;
                return ERROR_SUCCESS;
            }
            switch (ASetup.Value) {
            case USB_DESCRIPTOR_DEVICE << 8:
                AAnswer = SimDeviceDescriptorBytes(WireIdentity());
                return ERROR_SUCCESS;
            case USB_DESCRIPTOR_CONFIGURATION << 8:
                AAnswer = SimConfigurationDescriptorBytes(Pipes);
                return ERROR_SUCCESS;
            case USB_DESCRIPTOR_STRING << 8:
                AAnswer = {4, USB_DESCRIPTOR_STRING, 0x09, 0x04}; // US English only
                return ERROR_SUCCESS;
            case USB_DESCRIPTOR_STRING << 8 | 1:
                AAnswer = StringDescriptor("KELVO");
                return ERROR_SUCCESS;
            case USB_DESCRIPTOR_STRING << 8 | 2:
                AAnswer = StringDescriptor("KELVO simulated device");
                return ERROR_SUCCESS;
            case USB_DESCRIPTOR_STRING << 8 | 3:
                AAnswer = StringDescriptor(PathName);
                return ERROR_SUCCESS;
            default:
                return ERROR_GEN_FAILURE;
            }
        case USB_REQUEST_GET_STATUS:
            AAnswer = {0, 0};
            return ERROR_SUCCESS;
        case USB_REQUEST_GET_CONFIGURATION:
            AAnswer = {1};
            return ERROR_SUCCESS;
        case USB_REQUEST_SET_CONFIGURATION:
            return ASetup.Value <= 1 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
        case USB_REQUEST_SET_INTERFACE:
            return ASetup.Value == 0 && ASetup.Index == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
        case USB_REQUEST_CLEAR_FEATURE:
            return ERROR_SUCCESS;
        default:
            return ERROR_GEN_FAILURE;
        }
    }

    // Under ControlMutex: a family's extra driver code, run and then asked for (UsbFamilyBinding.h).
    uint32_t CodeRequest(const TUsbSetupPacket& ASetup, const std::vector<uint8_t>& AData,
                         std::vector<uint8_t>& AAnswer) {
        const uint16_t function = ASetup.Value;
        std::unique_lock lock(M);
        if (ASetup.RequestType == 0xC1 && ASetup.Request == FAMILY_WIRE_CODE_RESULT) {
            auto found = CodeResults.find(function);
            if (found == CodeResults.end())
                return ERROR_GEN_FAILURE;
            AAnswer = std::move(found->second);
            CodeResults.erase(found);
            return ERROR_SUCCESS;
        }
        if (ASetup.RequestType != 0x41 || ASetup.Request != FAMILY_WIRE_RUN_CODE || AData.size() < 4)
            return ERROR_GEN_FAILURE;
        auto found = IoControlHandlers.find(0x220000u | uint32_t(function) << 2);
        if (found == IoControlHandlers.end())
            return ERROR_GEN_FAILURE;
        TSimIoControlHandler handler = found->second;
        lock.unlock();
        const uint32_t outSize = GetLE32(AData.data());
        std::vector<uint8_t> output;
        uint32_t result = handler(std::vector<uint8_t>(AData.begin() + 4, AData.end()), outSize, output);
        const std::size_t n = result == ERROR_SUCCESS ? std::min<std::size_t>(output.size(), outSize) : 0;
        std::vector<uint8_t> answer(4 + n); // sized first: see UsbFamilyBinding.cpp on GCC 12
        PutLE32(answer.data(), result);
        if (n)
            std::memcpy(answer.data() + 4, output.data(), n);
        lock.lock();
        CodeResults[function] = std::move(answer);
        return ERROR_SUCCESS;
    }

    // One vendor request to the device: counted, faults applied, answered by its handler.
    uint32_t VendorRequest(const TSimWire& AWire, const TUsbSetupPacket& ASetup,
                           const std::vector<uint8_t>& AData, std::vector<uint8_t>& AAnswer,
                           uint32_t& ATransferred) {
        std::unique_lock control(ControlMutex);
        std::optional<TSimFault> fault;
        TSimVendorHandler handler;
        std::chrono::microseconds latency;
        {
            std::lock_guard lock(M);
            if (AWire.IsGone)
                return ERROR_DEVICE_NOT_CONNECTED;
            ++RequestCount;
            ++RequestsSeen[{ASetup.RequestType, ASetup.Request}];
            auto found = Faults.find(RequestCount);
            if (found != Faults.end()) {
                fault = found->second;
                Faults.erase(found);
            }
            auto h = VendorHandlers.find(ASetup.Request);
            if (h != VendorHandlers.end())
                handler = h->second;
            latency = Latency;
        }
        WaitLatency(latency);

        if (fault) {
            switch (fault->Kind) {
            case TSimFaultKind::DropOff:
                control.unlock();
                Leave();
                return ERROR_DEVICE_NOT_CONNECTED;
            case TSimFaultKind::Timeout:
                return KUnanswered;
            case TSimFaultKind::Fail:
                return fault->Error;
            case TSimFaultKind::Stall:
                return ERROR_GEN_FAILURE;
            case TSimFaultKind::Short:
                break;
            }
        }

        TSimVendorRequest request;
        request.RequestType = ASetup.RequestType;
        request.bRequest = ASetup.Request;
        request.wValue = ASetup.Value;
        request.wIndex = ASetup.Index;
        request.wLength = ASetup.Length;
        if (!request.DeviceToHost())
            request.Data = AData;
        uint32_t result = handler && handler(request, AAnswer) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
        if (result == ERROR_SUCCESS) {
            uint32_t shortBy = fault ? fault->ShortBy : 0;
            if (request.DeviceToHost()) {
                uint32_t n = uint32_t(std::min<std::size_t>(AAnswer.size(), request.wLength));
                n -= std::min(n, shortBy);
                AAnswer.resize(n);
                ATransferred = n;
            } else {
                uint32_t n = uint32_t(request.Data.size());
                ATransferred = n - std::min(n, shortBy);
                AAnswer.clear();
            }
        } else {
            AAnswer.clear();
        }
        std::function<void()> then;
        bool leave;
        {
            std::lock_guard lock(M);
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
};

std::vector<uint8_t> TSimWire::DeviceDescriptor() const {
    std::lock_guard lock(fCore->M);
    if (!fCore->GarbageDescriptors.empty())
        return fCore->GarbageDescriptors;
    return SimDeviceDescriptorBytes(fCore->WireIdentity());
}

std::vector<uint8_t> TSimWire::ConfigurationDescriptor() const {
    std::lock_guard lock(fCore->M);
    if (!fCore->GarbageDescriptors.empty())
        return fCore->GarbageDescriptors;
    return SimConfigurationDescriptorBytes(fCore->Pipes);
}

uint32_t TSimWire::SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t> AData, uint32_t,
                                 TUsbControlCompletion AOnDone, uint64_t& AId) {
    {
        std::lock_guard lock(fCore->M);
        if (IsGone)
            return ERROR_DEVICE_NOT_CONNECTED;
        AId = ++fCore->NextId;
    }
    if (!(ASetup.RequestType & 0x80) && AData.size() != ASetup.Length)
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> answer;
    uint32_t transferred = 0;
    uint32_t result = fCore->Answer(*this, ASetup, AData, answer, transferred);
    if (result == KUnanswered) {
        // Held until cancelled or the device goes; the host's time-out is the caller's to keep.
        std::unique_lock lock(fCore->M);
        if (!IsGone) {
            Unanswered[AId] = std::move(AOnDone);
            return ERROR_SUCCESS;
        }
        result = ERROR_DEVICE_NOT_CONNECTED;
    }
    AOnDone(result, transferred, std::move(answer));
    return ERROR_SUCCESS;
}

uint32_t TSimWire::SubmitRead(uint8_t AEndpoint, uint32_t ALength, TUsbReadCompletion AOnDone,
                              uint64_t& AId) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        if (IsGone)
            return ERROR_DEVICE_NOT_CONNECTED;
        if (!fCore->FindInPipe(AEndpoint))
            return ERROR_INVALID_PARAMETER;
        if (uint32_t error = fCore->SubmitErrors[AEndpoint])
            return error;
        AId = ++fCore->NextId;
        Reads[AEndpoint].push_back({AId, ALength, std::move(AOnDone)});
        fCore->Feed(AEndpoint, calls);
    }
    RunCalls(calls);
    return ERROR_SUCCESS;
}

void TSimWire::CancelTransfer(uint64_t AId) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        for (auto& [endpoint, reads] : Reads)
            for (auto read = reads.begin(); read != reads.end(); ++read)
                if (read->Id == AId) {
                    calls.push_back([done = std::move(read->OnDone)] { done(ERROR_OPERATION_ABORTED, {}); });
                    reads.erase(read);
                    break;
                }
        if (auto found = Unanswered.find(AId); found != Unanswered.end()) {
            calls.push_back([done = std::move(found->second)] { done(ERROR_OPERATION_ABORTED, 0, {}); });
            Unanswered.erase(found);
        }
    }
    RunCalls(calls);
}

uint32_t TSimWire::ClearHalt(uint8_t AEndpoint) {
    std::lock_guard lock(fCore->M);
    if (IsGone)
        return ERROR_DEVICE_NOT_CONNECTED;
    return fCore->FindInPipe(AEndpoint) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

bool TSimWire::Gone() const {
    std::lock_guard lock(fCore->M);
    return IsGone;
}

uint64_t TSimWire::AddGoneListener(std::function<void()> AOnGone) {
    {
        std::lock_guard lock(fCore->M);
        uint64_t id = ++fCore->NextId;
        if (!IsGone) {
            GoneListeners[id] = std::move(AOnGone);
            return id;
        }
    }
    AOnGone();
    return 0;
}

void TSimWire::RemoveGoneListener(uint64_t AId) {
    std::lock_guard lock(fCore->M);
    GoneListeners.erase(AId);
}

TSimDevice::TSimDevice(const TSimDeviceIdentity& AIdentity, TUsbDriverKind ADriver, std::string APathName)
    : fPathName(std::move(APathName)), fCore(std::make_shared<TCore>()) {
    fCore->Owner = this;
    fCore->PathName = fPathName;
    fCore->Identity = AIdentity;
    fCore->Driver = ADriver;
}

TSimDevice::~TSimDevice() {
    // Requests in progress finish first; afterwards open handles fail as if the device was removed.
    TCalls calls;
    {
        std::lock_guard control(fCore->ControlMutex);
        std::lock_guard lock(fCore->M);
        fCore->Owner = nullptr;
        fCore->Attached = false;
        fCore->VendorHandlers.clear();
        fCore->IoControlHandlers.clear();
        fCore->AfterLeaving = nullptr;
        fCore->OnSwitchToBootloader = nullptr;
        fCore->WireGone(calls);
    }
    RunCalls(calls);
}

TGUID TSimDevice::InterfaceClass() const {
    return SimInterfaceClassOf(Identity().ProductId);
}

uint32_t TSimDevice::OpenHandle(std::unique_ptr<TUsbHandle>& AHandle) {
    std::shared_ptr<TSimWire> wire;
    TUsbDriverKind driver;
    {
        std::lock_guard lock(fCore->M);
        if (!fCore->Attached || !fCore->Wire)
            return ERROR_FILE_NOT_FOUND;
        wire = fCore->Wire;
        driver = fCore->Driver;
    }
    if (driver == TUsbDriverKind::Family)
        AHandle = MakeFamilyHandle(wire, fCore->FamilyDriver);
    else
        AHandle = MakeGenericHandle(
            wire, [driver = fCore->FamilyDriver] { return uint32_t(driver->UnansweredLimit().count()); });
    return ERROR_SUCCESS;
}

void TSimDevice::Attached(TSimBus& ABus, const std::string& APath) {
    std::lock_guard lock(fCore->M);
    fCore->Attached = true;
    fCore->Bus = &ABus;
    fCore->Path = APath;
    fCore->Wire = std::make_shared<TSimWire>(fCore);
}

void TSimDevice::Detached() {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        fCore->Attached = false;
        fCore->WireGone(calls);
    }
    RunCalls(calls);
}

std::shared_ptr<TUsbWire> TSimDevice::Wire() const {
    std::lock_guard lock(fCore->M);
    return fCore->Wire;
}

TSimDeviceIdentity TSimDevice::Identity() const {
    std::lock_guard lock(fCore->M);
    return fCore->Identity;
}

std::vector<uint8_t> TSimDevice::DeviceDescriptor() const {
    std::lock_guard lock(fCore->M);
    return SimDeviceDescriptorBytes(fCore->WireIdentity());
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
    fCore->FamilyDriver->SetVersion(AVersion);
}

void TSimDevice::SetVendorHandler(uint8_t ARequest, TSimVendorHandler AHandler) {
    std::lock_guard lock(fCore->M);
    fCore->VendorHandlers[ARequest] = std::move(AHandler);
}

void TSimDevice::SetIoControlHandler(uint32_t ACode, TSimIoControlHandler AHandler) {
    std::lock_guard lock(fCore->M);
    fCore->IoControlHandlers[ACode] = std::move(AHandler);
}

void TSimDevice::SetGarbageDescriptors(std::vector<uint8_t> AGarbage) {
    std::lock_guard lock(fCore->M);
    fCore->GarbageDescriptors = std::move(AGarbage);
}

void TSimDevice::SetStallEverything(bool AStall) {
    std::lock_guard lock(fCore->M);
    fCore->StallEverything = AStall;
}

void TSimDevice::SetFault(uint32_t AN, const TSimFault& AFault) {
    std::lock_guard lock(fCore->M);
    fCore->Faults[AN] = AFault;
}

uint32_t TSimDevice::VendorRequestCount() const {
    std::lock_guard lock(fCore->M);
    return fCore->RequestCount;
}

std::map<std::pair<uint8_t, uint8_t>, uint32_t> TSimDevice::VendorRequestsSeen() const {
    std::lock_guard lock(fCore->M);
    return fCore->RequestsSeen;
}

void TSimDevice::SetLatency(std::chrono::microseconds ALatency) {
    std::lock_guard lock(fCore->M);
    fCore->Latency = ALatency;
}

void TSimDevice::SetUnansweredLimit(std::chrono::milliseconds ALimit) {
    fCore->FamilyDriver->SetUnansweredLimit(ALimit);
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
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        fCore->StreamBytes += item.Bytes.size();
        fCore->Stream.push_back(std::move(item));
        fCore->Feed(SIM_PIPE_DATA_IN, calls);
    }
    RunCalls(calls);
    return true;
}

void TSimDevice::PushStreamTransfer(const std::vector<uint8_t>& ABytes) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        fCore->StreamBytes += ABytes.size();
        fCore->Stream.push_back({ABytes, 0, false});
        fCore->Feed(SIM_PIPE_DATA_IN, calls);
    }
    RunCalls(calls);
}

void TSimDevice::PushStreamError(uint32_t AError) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        fCore->Stream.push_back({{}, AError, false});
        fCore->Feed(SIM_PIPE_DATA_IN, calls);
    }
    RunCalls(calls);
}

bool TSimDevice::PushPacket(uint8_t APipeId, const std::vector<uint8_t>& APacket) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        const TSimPipe* pipe = fCore->FindInPipe(APipeId);
        if (!pipe || APacket.size() > pipe->MaxPacketSize)
            return false;
        fCore->PipeQueues[APipeId].push_back({APacket, 0});
        fCore->Feed(APipeId, calls);
    }
    RunCalls(calls);
    return true;
}

void TSimDevice::PushPipeError(uint8_t APipeId, uint32_t AError) {
    TCalls calls;
    {
        std::lock_guard lock(fCore->M);
        fCore->PipeQueues[APipeId].push_back({{}, AError});
        fCore->Feed(APipeId, calls);
    }
    RunCalls(calls);
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
    std::size_t n = 0;
    if (fCore->Wire)
        for (const auto& [endpoint, reads] : fCore->Wire->Reads)
            n += reads.size();
    return n;
}

std::string TSimDevice::DriverLog() const {
    return fCore->FamilyDriver->Log();
}
