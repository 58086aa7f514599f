#pragma once
// A real USB device through libusb-1.0 as a TUsbWire. Opening claims interface 0 (detaching a kernel
// driver bound to it, reattached on close) and reads the device's descriptors afresh, checking them;
// transfers are asynchronous and complete on the bus's event thread. Closing (destruction) cancels
// every transfer and waits for its completion. A device pulled out fails every transfer with
// ERROR_DEVICE_NOT_CONNECTED.
#include "platform/UsbWire.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct libusb_device_handle;
struct libusb_transfer;

class TLibUsbWire : public TUsbWire {
public:
    // Takes over the opened AHandle and its file AFd (both closed on failure too) and keeps
    // AKeepAlive (what runs the event thread) while it lives; 0 with AWire set, or the error
    // (ERROR_DEVICE_NOT_CONNECTED when the device has gone, ERROR_BUSY when another program has
    // claimed it, ERROR_GEN_FAILURE with AProblem set for descriptors that make no sense).
    // Transfers need the bus's event thread running.
    static uint32_t Open(libusb_device_handle* AHandle, int AFd, std::shared_ptr<void> AKeepAlive,
                         std::shared_ptr<TLibUsbWire>& AWire, std::string& AProblem);
    ~TLibUsbWire() override;
    TLibUsbWire(const TLibUsbWire&) = delete;
    TLibUsbWire& operator=(const TLibUsbWire&) = delete;

    std::vector<uint8_t> DeviceDescriptor() const override { return fDeviceDescriptor; }
    std::vector<uint8_t> ConfigurationDescriptor() const override { return fConfigDescriptor; }
    TUsbSpeed Speed() const override { return fSpeed; }
    uint32_t SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t> AData, uint32_t ATimeoutMs,
                           TUsbControlCompletion AOnDone, uint64_t& AId) override;
    uint32_t SubmitRead(uint8_t AEndpoint, uint32_t ALength, TUsbReadCompletion AOnDone,
                        uint64_t& AId) override;
    void CancelTransfer(uint64_t AId) override;
    uint32_t ClearHalt(uint8_t AEndpoint) override;
    bool Gone() const override;
    uint64_t AddGoneListener(std::function<void()> AOnGone) override;
    void RemoveGoneListener(uint64_t AId) override;

    // The bus saw the device leave: every transfer fails from now on.
    void MarkGone();

private:
    struct TTransfer;
    TLibUsbWire(libusb_device_handle* AHandle, int AFd, std::shared_ptr<void> AKeepAlive);
    static void Completed(libusb_transfer* ATransfer);
    uint32_t Submit(std::unique_ptr<TTransfer> ATransfer, uint64_t& AId);

    libusb_device_handle* hDevice;
    int fFd;
    std::shared_ptr<void> fKeepAlive;
    bool fKernelDriverDetached = false;
    bool fClaimed = false;
    std::vector<uint8_t> fDeviceDescriptor;
    std::vector<uint8_t> fConfigDescriptor;
    TUsbSpeed fSpeed = TUsbSpeed::Full;

    mutable std::mutex fMutex;
    std::condition_variable fIdle;
    bool fGone = false;
    uint64_t fNextId = 0;
    std::map<uint64_t, TTransfer*> fTransfers;
    std::map<uint64_t, std::function<void()>> fGoneListeners;
};
