#include "platform/libusb/LibUsbWire.h"
#include "platform/UsbDescriptorWalk.h"

#include "platform/WinError.h"
#include "platform/libusb/LibUsbErrors.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

// Time-out of the descriptor reads at open.
constexpr unsigned KDescriptorTimeoutMs = 1000;

// Reads a descriptor of AType with a control transfer; 0 with ABytes, or the libusb error.
int ReadDescriptor(libusb_device_handle* AHandle, uint8_t AType, uint16_t ALength,
                   std::vector<uint8_t>& ABytes) {
    ABytes.assign(ALength, 0);
    int n = libusb_control_transfer(AHandle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    uint16_t(AType << 8), 0, ABytes.data(), ALength, KDescriptorTimeoutMs);
    if (n < 0)
        return n;
    ABytes.resize(std::size_t(n));
    return 0;
}

} // namespace

// One transfer in flight; the libusb transfer and its buffer are freed when it completes.
struct TLibUsbWire::TTransfer {
    TLibUsbWire* Wire = nullptr;
    libusb_transfer* Transfer = nullptr;
    std::vector<uint8_t> Buffer;
    uint64_t Id = 0;
    bool Control = false;
    TUsbControlCompletion OnControl;
    TUsbReadCompletion OnRead;

    TTransfer() : Transfer(libusb_alloc_transfer(0)) {}
    ~TTransfer() { libusb_free_transfer(Transfer); }
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;
};

TLibUsbWire::TLibUsbWire(libusb_device_handle* AHandle, int AFd, std::shared_ptr<void> AKeepAlive)
    : hDevice(AHandle), fFd(AFd), fKeepAlive(std::move(AKeepAlive)) {}

uint32_t TLibUsbWire::Open(libusb_device_handle* AHandle, int AFd, std::shared_ptr<void> AKeepAlive,
                           std::shared_ptr<TLibUsbWire>& AWire, std::string& AProblem) {
    libusb_device_handle* handle = AHandle;
    std::shared_ptr<TLibUsbWire> wire(new TLibUsbWire(handle, AFd, std::move(AKeepAlive)));
    switch (libusb_get_device_speed(libusb_get_device(handle))) {
    case LIBUSB_SPEED_LOW:
        wire->fSpeed = TUsbSpeed::Low;
        break;
    case LIBUSB_SPEED_HIGH:
        wire->fSpeed = TUsbSpeed::High;
        break;
    case LIBUSB_SPEED_SUPER:
    case LIBUSB_SPEED_SUPER_PLUS:
        wire->fSpeed = TUsbSpeed::Super;
        break;
    default:
        wire->fSpeed = TUsbSpeed::Full;
        break;
    }
    if (libusb_kernel_driver_active(handle, 0) == 1) {
        if (int error = libusb_detach_kernel_driver(handle, 0))
            return LibUsbError(error);
        wire->fKernelDriverDetached = true;
    }
    if (int error = libusb_claim_interface(handle, 0))
        return LibUsbError(error);
    wire->fClaimed = true;

    // Read afresh rather than from the system's cache: what the device says now is what counts.
    std::vector<uint8_t>& device = wire->fDeviceDescriptor;
    std::vector<uint8_t>& config = wire->fConfigDescriptor;
    int error = ReadDescriptor(handle, LIBUSB_DT_DEVICE, USB_DEVICE_DESCRIPTOR_SIZE, device);
    if (!error)
        error = ReadDescriptor(handle, LIBUSB_DT_CONFIG, 9, config);
    if (!error && config.size() == 9 && (config[2] | config[3] << 8) > 9)
        error = ReadDescriptor(handle, LIBUSB_DT_CONFIG, uint16_t(config[2] | config[3] << 8), config);
    if (error) {
        AProblem = std::string("reading its descriptors fails: ") + libusb_error_name(error);
        return LibUsbError(error);
    }
    AWire = std::move(wire);
    return ERROR_SUCCESS;
}

TLibUsbWire::~TLibUsbWire() {
    std::unique_lock lock(fMutex);
    for (auto& [id, transfer] : fTransfers)
        libusb_cancel_transfer(transfer->Transfer);
    // The completions come on the event thread; none may run after the wire has gone.
    fIdle.wait(lock, [&] { return fTransfers.empty(); });
    lock.unlock();
    if (fClaimed)
        libusb_release_interface(hDevice, 0);
    if (fKernelDriverDetached)
        libusb_attach_kernel_driver(hDevice, 0);
    libusb_close(hDevice);
    if (fFd >= 0)
        ::close(fFd); // a wrapped device's file stays the caller's
}

void TLibUsbWire::Completed(libusb_transfer* ATransfer) {
    std::unique_ptr<TTransfer> t(static_cast<TTransfer*>(ATransfer->user_data));
    TLibUsbWire& wire = *t->Wire;
    uint32_t result = LibUsbTransferStatus(ATransfer->status);
    bool goneNow = false;
    {
        std::lock_guard lock(wire.fMutex);
        goneNow = result == ERROR_DEVICE_NOT_CONNECTED && !wire.fGone;
        // Transfers cancelled because the device went complete as gone, not as cancelled.
        if (wire.fGone && result != ERROR_SUCCESS)
            result = ERROR_DEVICE_NOT_CONNECTED;
    }
    if (goneNow)
        wire.MarkGone();
    const uint32_t length = result == ERROR_SUCCESS ? uint32_t(std::max(ATransfer->actual_length, 0)) : 0;
    std::vector<uint8_t> data;
    if (t->Control) {
        if (t->Buffer[0] & LIBUSB_ENDPOINT_IN)
            data.assign(t->Buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE,
                        t->Buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE + length);
        t->OnControl(result, length, std::move(data));
    } else {
        data.assign(t->Buffer.begin(), t->Buffer.begin() + length);
        t->OnRead(result, std::move(data));
    }
    // Last: the wire may be destroyed as soon as its last transfer is off the list.
    std::lock_guard lock(wire.fMutex);
    wire.fTransfers.erase(t->Id);
    if (wire.fTransfers.empty())
        wire.fIdle.notify_all();
}

uint32_t TLibUsbWire::Submit(std::unique_ptr<TTransfer> ATransfer, uint64_t& AId) {
    std::lock_guard lock(fMutex);
    if (fGone)
        return ERROR_DEVICE_NOT_CONNECTED;
    ATransfer->Wire = this;
    ATransfer->Id = AId = ++fNextId;
    ATransfer->Transfer->user_data = ATransfer.get();
    ATransfer->Transfer->callback = &TLibUsbWire::Completed;
    if (int error = libusb_submit_transfer(ATransfer->Transfer)) {
        if (error == LIBUSB_ERROR_NO_DEVICE)
            fGone = true;
        return LibUsbError(error);
    }
    fTransfers[AId] = ATransfer.release();
    return ERROR_SUCCESS;
}

uint32_t TLibUsbWire::SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t> AData,
                                    uint32_t ATimeoutMs, TUsbControlCompletion AOnDone, uint64_t& AId) {
    const bool in = ASetup.RequestType & LIBUSB_ENDPOINT_IN;
    if (!in && AData.size() != ASetup.Length)
        return ERROR_INVALID_PARAMETER;
    auto t = std::make_unique<TTransfer>();
    if (!t->Transfer)
        return ERROR_NOT_ENOUGH_MEMORY;
    t->Control = true;
    t->OnControl = std::move(AOnDone);
    t->Buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + ASetup.Length, 0);
    libusb_fill_control_setup(t->Buffer.data(), ASetup.RequestType, ASetup.Request, ASetup.Value,
                              ASetup.Index, ASetup.Length);
    if (!in && ASetup.Length)
        std::memcpy(t->Buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, AData.data(), ASetup.Length);
    libusb_fill_control_transfer(t->Transfer, hDevice, t->Buffer.data(), nullptr, nullptr, ATimeoutMs);
    return Submit(std::move(t), AId);
}

uint32_t TLibUsbWire::SubmitRead(uint8_t AEndpoint, uint32_t ALength, TUsbReadCompletion AOnDone,
                                 uint64_t& AId) {
    // The endpoint's type from the configuration descriptor (checked at open).
    int type = -1;
    for (TUsbDescriptorWalk d(fConfigDescriptor); !d.AtEnd(); d.Advance())
        if (d.Type() == USB_DESCRIPTOR_ENDPOINT && d.Length() >= 4 && d[2] == AEndpoint)
            type = d[3] & 3;
    if (!(AEndpoint & LIBUSB_ENDPOINT_IN) ||
        (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT))
        return ERROR_INVALID_PARAMETER;
    auto t = std::make_unique<TTransfer>();
    if (!t->Transfer)
        return ERROR_NOT_ENOUGH_MEMORY;
    t->OnRead = std::move(AOnDone);
    t->Buffer.assign(ALength, 0);
    if (type == LIBUSB_TRANSFER_TYPE_BULK)
        libusb_fill_bulk_transfer(t->Transfer, hDevice, AEndpoint, t->Buffer.data(), int(ALength), nullptr,
                                  nullptr, 0);
    else
        libusb_fill_interrupt_transfer(t->Transfer, hDevice, AEndpoint, t->Buffer.data(), int(ALength),
                                       nullptr, nullptr, 0);
    return Submit(std::move(t), AId);
}

void TLibUsbWire::CancelTransfer(uint64_t AId) {
    std::lock_guard lock(fMutex);
    auto found = fTransfers.find(AId);
    if (found != fTransfers.end())
        libusb_cancel_transfer(found->second->Transfer);
}

uint32_t TLibUsbWire::ClearHalt(uint8_t AEndpoint) {
    if (Gone())
        return ERROR_DEVICE_NOT_CONNECTED;
    return LibUsbError(libusb_clear_halt(hDevice, AEndpoint));
}

bool TLibUsbWire::Gone() const {
    std::lock_guard lock(fMutex);
    return fGone;
}

uint64_t TLibUsbWire::AddGoneListener(std::function<void()> AOnGone) {
    {
        std::lock_guard lock(fMutex);
        if (!fGone) {
            fGoneListeners[++fNextId] = std::move(AOnGone);
            return fNextId;
        }
    }
    AOnGone();
    return 0;
}

void TLibUsbWire::RemoveGoneListener(uint64_t AId) {
    std::lock_guard lock(fMutex);
    fGoneListeners.erase(AId);
}

void TLibUsbWire::MarkGone() {
    std::map<uint64_t, std::function<void()>> listeners;
    {
        std::lock_guard lock(fMutex);
        fGone = true;
        // The system fails them too once the device has gone; cancelling makes sure of it.
        for (auto& [id, transfer] : fTransfers)
            libusb_cancel_transfer(transfer->Transfer);
        listeners.swap(fGoneListeners);
    }
    for (auto& [id, listener] : listeners)
        listener();
}
