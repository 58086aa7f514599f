#include "platform/UsbFamilyBinding.h"

#include "platform/UsbDriverHandles.h"

#include "platform/LittleEndian.h"
#include "platform/WinError.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

constexpr std::size_t KMaxDriverLog = 64 * 1024;
constexpr uint8_t KVendorOut = 0x40;
constexpr uint8_t KVendorIn = 0xC0;
constexpr uint8_t KVendorInterfaceOut = 0x41;
constexpr uint8_t KVendorInterfaceIn = 0xC1;

uint32_t DriverResult(uint32_t AWireResult) {
    return AWireResult == ERROR_DEVICE_NOT_CONNECTED ? ERROR_DEVICE_REMOVED : AWireResult;
}

uint32_t LimitMs(std::chrono::milliseconds ALimit) {
    return uint32_t(std::clamp<int64_t>(ALimit.count(), 1, INFINITE_WAIT - 1));
}

// One overlapped request, shared by the caller and the driver. A request the device leaves
// unanswered is failed with ERROR_SEM_TIMEOUT at the driver's give-up time, and its transfer cancelled.
class TFamilyPendingIo : public TUsbPendingIo {
public:
    TFamilyPendingIo(uint32_t AOutSize, std::weak_ptr<TUsbWire> AWire)
        : fOutput(AOutSize), fWire(std::move(AWire)) {}

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
        bool done = Settle(lock);
        return done;
    }

    uint32_t Result(uint32_t& AReturned) override {
        std::unique_lock lock(fMutex);
        bool done = Settle(lock);
        AReturned = done ? fReturned : 0;
        return done ? fResult : ERROR_IO_INCOMPLETE;
    }

    const std::vector<uint8_t>& Output() const override { return fOutput; }

    void Start(uint64_t ATransfer, TClock::time_point AGiveUpAt) {
        std::lock_guard lock(fMutex);
        fTransfer = ATransfer;
        fGiveUpAt = AGiveUpAt;
    }

    bool Done() {
        std::lock_guard lock(fMutex);
        return fDone;
    }

    uint64_t Transfer() {
        std::lock_guard lock(fMutex);
        return fTransfer;
    }

    void Complete(uint32_t AResult, uint32_t AReturned, const std::vector<uint8_t>& AData) {
        std::lock_guard lock(fMutex);
        if (fDone)
            return;
        std::size_t n = std::min(AData.size(), fOutput.size());
        if (n)
            std::memcpy(fOutput.data(), AData.data(), n);
        fDone = true;
        fResult = AResult;
        fReturned = AReturned;
        fChanged.notify_all();
    }

private:
    bool GaveUp() const { return fGiveUpAt && TClock::now() >= *fGiveUpAt; }

    // Under the lock (released and taken again to cancel): whether the request has completed.
    bool Settle(std::unique_lock<std::mutex>& ALock) {
        if (fDone || !GaveUp())
            return fDone;
        fDone = true;
        fResult = ERROR_SEM_TIMEOUT;
        fReturned = 0;
        if (auto wire = fWire.lock()) {
            ALock.unlock();
            wire->CancelTransfer(fTransfer);
            ALock.lock();
        }
        return true;
    }

    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fDone = false;
    uint32_t fResult = ERROR_IO_INCOMPLETE;
    uint32_t fReturned = 0;
    std::optional<TClock::time_point> fGiveUpAt;
    uint64_t fTransfer = 0;
    std::vector<uint8_t> fOutput;
    std::weak_ptr<TUsbWire> fWire;
};

// The state of the stream reads of one handle.
struct TStreamReads {
    std::mutex M;
    std::condition_variable Changed;
    // A cancel that came while no read was outstanding (the reader between two reads): the next
    // read ends at once as cancelled, so a reader told to stop never blocks on one more read.
    bool Latched = false;
    uint64_t NextCall = 0;
    struct TCall {
        std::optional<uint64_t> Transfer;
        bool Cancelled = false;
        bool Finished = false;
        uint32_t Result = 0;
        std::vector<uint8_t> Data;
    };
    std::map<uint64_t, TCall> Calls;
};

class TFamilyHandle : public TFamilyDriverHandle {
public:
    TFamilyHandle(std::shared_ptr<TUsbWire> AWire, std::shared_ptr<TUsbFamilyDriver> ADriver)
        : fWire(std::move(AWire)), fDriver(std::move(ADriver)) {}

    ~TFamilyHandle() override {
        // Overlapped requests still outstanding complete with ERROR_OPERATION_ABORTED.
        std::lock_guard lock(fOutstandingMutex);
        for (auto& weak : fOutstanding)
            if (auto io = weak.lock(); io && !io->Done())
                fWire->CancelTransfer(io->Transfer());
    }

    uint32_t IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                       uint32_t& AReturned) override {
        AReturned = 0;
        const auto* in = static_cast<const uint8_t*>(AIn);
        auto* out = static_cast<uint8_t*>(AOut);
        if (ACode == FAMILY_IOCTL_VENDOR_REQUEST) {
            TUsbSetupPacket setup{};
            std::vector<uint8_t> data;
            if (uint32_t error = VendorSetup(in, AInSize, out ? AOutSize : 0, setup, data))
                return error;
            uint32_t transferred = 0;
            uint32_t result = DriverResult(
                UsbWireControl(*fWire, setup, data, LimitMs(fDriver->UnansweredLimit()), transferred));
            fDriver->LogRequest(setup, result);
            if (result == ERROR_SUCCESS && (setup.RequestType & 0x80)) {
                if (transferred)
                    std::memcpy(out, data.data(), transferred);
                AReturned = transferred;
            }
            return result;
        }
        if (fWire->Gone())
            return ERROR_DEVICE_REMOVED;
        switch (ACode) {
        case FAMILY_IOCTL_DRIVER_VERSION: {
            uint16_t version = fDriver->Version();
            if (version == 0)
                return ERROR_INVALID_FUNCTION;
            if (AOutSize < 2 || !out)
                return ERROR_INSUFFICIENT_BUFFER;
            PutLE16(out, version);
            AReturned = 2;
            return ERROR_SUCCESS;
        }
        case FAMILY_IOCTL_DEVICE_DESCRIPTOR:
            return ReadDeviceDescriptor(out, AOutSize, AReturned);
        case FAMILY_IOCTL_LOG_SIZE:
        case FAMILY_IOCTL_LOG_READ:
        case FAMILY_IOCTL_LOG_CLEAR:
        case FAMILY_IOCTL_LOG_ENABLE:
        case FAMILY_IOCTL_LOG_DISABLE:
            return fDriver->LogControl(ACode, out, AOutSize, AReturned);
        default:
            return ExtraCode(ACode, in, in ? AInSize : 0, out, AOutSize, AReturned);
        }
    }

    std::shared_ptr<TUsbPendingIo> IoControlAsync(uint32_t ACode, const void* AIn, uint32_t AInSize,
                                                  uint32_t AOutSize) override {
        auto io = std::make_shared<TFamilyPendingIo>(AOutSize, fWire);
        if (ACode != FAMILY_IOCTL_VENDOR_REQUEST) {
            // The other codes are answered before the call returns, as the driver completes them at once.
            std::vector<uint8_t> output(AOutSize);
            uint32_t returned = 0;
            uint32_t result =
                IoControl(ACode, AIn, AInSize, AOutSize ? output.data() : nullptr, AOutSize, returned);
            io->Complete(result, returned, output);
            return io;
        }
        TUsbSetupPacket setup{};
        std::vector<uint8_t> data;
        if (uint32_t error = VendorSetup(static_cast<const uint8_t*>(AIn), AInSize, AOutSize, setup, data)) {
            io->Complete(error, 0, {});
            return io;
        }
        const auto giveUpAt = TClock::now() + fDriver->UnansweredLimit();
        uint64_t id = 0;
        uint32_t error = fWire->SubmitControl(
            setup, std::move(data), LimitMs(fDriver->UnansweredLimit()),
            [io, setup, driver = fDriver](uint32_t AResult, uint32_t ATransferred,
                                          std::vector<uint8_t> AData) {
                uint32_t result = DriverResult(AResult);
                driver->LogRequest(setup, result);
                io->Complete(result, result == ERROR_SUCCESS && (setup.RequestType & 0x80) ? ATransferred : 0,
                             AData);
            },
            id);
        if (error != ERROR_SUCCESS) {
            io->Complete(DriverResult(error), 0, {});
            return io;
        }
        io->Start(id, giveUpAt);
        std::lock_guard lock(fOutstandingMutex);
        std::erase_if(fOutstanding, [](const std::weak_ptr<TFamilyPendingIo>& AIo) {
            auto alive = AIo.lock();
            return !alive || alive->Done();
        });
        fOutstanding.push_back(io);
        return io;
    }

    uint32_t ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) override {
        ARead = 0;
        uint64_t call;
        {
            std::lock_guard lock(fStream->M);
            if (fStream->Latched) {
                fStream->Latched = false;
                return ERROR_OPERATION_ABORTED;
            }
            call = fStream->NextCall++;
            fStream->Calls[call];
        }
        uint64_t id = 0;
        uint32_t error = fWire->SubmitRead(
            FAMILY_STREAM_ENDPOINT, ASize,
            [stream = fStream, call](uint32_t AResult, std::vector<uint8_t> AData) {
                std::lock_guard lock(stream->M);
                auto& c = stream->Calls[call];
                c.Finished = true;
                c.Result = AResult;
                c.Data = std::move(AData);
                stream->Changed.notify_all();
            },
            id);
        std::unique_lock lock(fStream->M);
        auto& c = fStream->Calls[call];
        if (error != ERROR_SUCCESS) {
            fStream->Calls.erase(call);
            return DriverResult(error);
        }
        c.Transfer = id;
        if (c.Cancelled && !c.Finished) {
            lock.unlock();
            fWire->CancelTransfer(id);
            lock.lock();
        }
        fStream->Changed.wait(lock, [&] { return c.Finished; });
        uint32_t result = DriverResult(c.Result);
        if (result == ERROR_SUCCESS) {
            ARead = uint32_t(std::min<std::size_t>(ASize, c.Data.size()));
            if (ARead)
                std::memcpy(ABuffer, c.Data.data(), ARead);
        }
        fStream->Calls.erase(call);
        return result;
    }

    void CancelStreamRead() override {
        std::vector<uint64_t> cancel;
        {
            std::lock_guard lock(fStream->M);
            if (fStream->Calls.empty()) {
                fStream->Latched = true;
                return;
            }
            for (auto& [call, c] : fStream->Calls) {
                c.Cancelled = true;
                if (c.Transfer && !c.Finished)
                    cancel.push_back(*c.Transfer);
            }
        }
        for (uint64_t id : cancel)
            fWire->CancelTransfer(id);
    }

private:
    // The vendor request block: 8 bytes, then wLength bytes to send; with no data, AOutSize bytes
    // are asked of the device.
    static uint32_t VendorSetup(const uint8_t* AIn, uint32_t AInSize, uint32_t AOutSize,
                                TUsbSetupPacket& ASetup, std::vector<uint8_t>& AData) {
        if (!AIn || AInSize < 8)
            return ERROR_INVALID_PARAMETER;
        uint16_t code = GetLE16(AIn);
        uint16_t length = GetLE16(AIn + 6);
        if (code > 0xFF || AInSize != 8u + length)
            return ERROR_INVALID_PARAMETER;
        ASetup.Request = uint8_t(code);
        ASetup.Value = GetLE16(AIn + 2);
        ASetup.Index = GetLE16(AIn + 4);
        if (length > 0) {
            ASetup.RequestType = KVendorOut;
            ASetup.Length = length;
            AData.assign(AIn + 8, AIn + 8 + length);
        } else if (AOutSize > 0) {
            ASetup.RequestType = KVendorIn;
            ASetup.Length = uint16_t(std::min<uint32_t>(AOutSize, 0xFFFF));
        } else {
            ASetup.RequestType = KVendorOut;
            ASetup.Length = 0;
        }
        return ERROR_SUCCESS;
    }

    uint32_t ReadDeviceDescriptor(uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned) {
        if (fDriver->Version() < 0x207)
            return ERROR_INVALID_FUNCTION;
        if (AOutSize < USB_DEVICE_DESCRIPTOR_SIZE || !AOut)
            return ERROR_INSUFFICIENT_BUFFER;
        TUsbSetupPacket setup{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_DEVICE << 8, 0,
                              USB_DEVICE_DESCRIPTOR_SIZE};
        std::vector<uint8_t> data;
        uint32_t transferred = 0;
        uint32_t result = DriverResult(
            UsbWireControl(*fWire, setup, data, LimitMs(fDriver->UnansweredLimit()), transferred));
        if (result != ERROR_SUCCESS)
            return result;
        std::memcpy(AOut, data.data(), transferred);
        AReturned = transferred;
        return ERROR_SUCCESS;
    }

    uint32_t ExtraCode(uint32_t ACode, const uint8_t* AIn, uint32_t AInSize, uint8_t* AOut, uint32_t AOutSize,
                       uint32_t& AReturned) {
        // Only buffered, any-access codes of the family's device type travel.
        if ((ACode & 0xFFFFC003) != 0x00220000)
            return ERROR_INVALID_FUNCTION;
        const uint16_t function = uint16_t((ACode >> 2) & 0xFFF);
        const uint32_t outSize = AOut ? std::min<uint32_t>(AOutSize, 0xFFFF - 4) : 0;
        if (AInSize > 0xFFFF - 4)
            return ERROR_INVALID_PARAMETER;
        const uint32_t limit = LimitMs(fDriver->UnansweredLimit());
        std::lock_guard code(fDriver->CodeMutex());

        // Sized first and filled in place: growing a 4-byte vector trips a false array-bounds
        // warning of GCC 12 at -O3.
        std::vector<uint8_t> data(4 + AInSize);
        PutLE32(data.data(), outSize);
        if (AInSize)
            std::memcpy(data.data() + 4, AIn, AInSize);
        TUsbSetupPacket run{KVendorInterfaceOut, FAMILY_WIRE_RUN_CODE, function, 0, uint16_t(data.size())};
        uint32_t transferred = 0;
        uint32_t result = DriverResult(UsbWireControl(*fWire, run, data, limit, transferred));
        if (result == ERROR_GEN_FAILURE)
            return ERROR_INVALID_FUNCTION;
        if (result != ERROR_SUCCESS)
            return result;

        TUsbSetupPacket ask{KVendorInterfaceIn, FAMILY_WIRE_CODE_RESULT, function, 0, uint16_t(4 + outSize)};
        data.clear();
        result = DriverResult(UsbWireControl(*fWire, ask, data, limit, transferred));
        if (result != ERROR_SUCCESS)
            return result;
        if (transferred < 4)
            return ERROR_GEN_FAILURE; // a device that cannot say how the code went
        result = GetLE32(data.data());
        if (result == ERROR_SUCCESS) {
            AReturned = transferred - 4;
            if (AReturned)
                std::memcpy(AOut, data.data() + 4, AReturned);
        }
        return result;
    }

    std::shared_ptr<TUsbWire> fWire;
    std::shared_ptr<TUsbFamilyDriver> fDriver;
    // Overlapped requests that may still be outstanding on the wire, cancelled when the handle closes.
    std::mutex fOutstandingMutex;
    std::vector<std::weak_ptr<TFamilyPendingIo>> fOutstanding;
    std::shared_ptr<TStreamReads> fStream = std::make_shared<TStreamReads>();
};

} // namespace

void TUsbFamilyDriver::SetVersion(uint16_t AVersion) {
    std::lock_guard lock(fMutex);
    fVersion = AVersion;
}

uint16_t TUsbFamilyDriver::Version() const {
    std::lock_guard lock(fMutex);
    return fVersion;
}

void TUsbFamilyDriver::SetUnansweredLimit(std::chrono::milliseconds ALimit) {
    std::lock_guard lock(fMutex);
    fUnansweredLimit = ALimit;
}

std::chrono::milliseconds TUsbFamilyDriver::UnansweredLimit() const {
    std::lock_guard lock(fMutex);
    return fUnansweredLimit;
}

std::string TUsbFamilyDriver::Log() const {
    std::lock_guard lock(fMutex);
    return fLog;
}

void TUsbFamilyDriver::LogRequest(const TUsbSetupPacket& ASetup, uint32_t AResult) {
    std::lock_guard lock(fMutex);
    if (!fLogEnabled)
        return;
    char line[96];
    std::snprintf(line, sizeof line, "VR %02X %02X %04X %04X %u -> %u\r\n", ASetup.RequestType,
                  ASetup.Request, ASetup.Value, ASetup.Index, ASetup.Length, AResult);
    fLog += line;
    if (fLog.size() > KMaxDriverLog)
        fLog.erase(0, fLog.size() - KMaxDriverLog);
}

uint32_t TUsbFamilyDriver::LogControl(uint32_t ACode, uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned) {
    std::lock_guard lock(fMutex);
    if (fVersion < 0x217)
        return ERROR_INVALID_FUNCTION;
    switch (ACode) {
    case FAMILY_IOCTL_LOG_SIZE:
        if (AOutSize < 8 || !AOut)
            return ERROR_INSUFFICIENT_BUFFER;
        PutLE32(AOut, uint32_t(fLog.size()));
        PutLE32(AOut + 4, 0);
        AReturned = 8;
        return ERROR_SUCCESS;
    case FAMILY_IOCTL_LOG_READ:
        AReturned = AOut ? uint32_t(std::min<std::size_t>(AOutSize, fLog.size())) : 0;
        if (AReturned)
            std::memcpy(AOut, fLog.data(), AReturned);
        return ERROR_SUCCESS;
    case FAMILY_IOCTL_LOG_CLEAR:
        fLog.clear();
        return ERROR_SUCCESS;
    case FAMILY_IOCTL_LOG_ENABLE:
        fLogEnabled = true;
        return ERROR_SUCCESS;
    default:
        fLogEnabled = false;
        return ERROR_SUCCESS;
    }
}

std::unique_ptr<TUsbHandle> MakeFamilyHandle(std::shared_ptr<TUsbWire> AWire,
                                             std::shared_ptr<TUsbFamilyDriver> ADriver) {
    return std::make_unique<TFamilyHandle>(std::move(AWire), std::move(ADriver));
}
