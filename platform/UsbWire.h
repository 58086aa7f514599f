#pragma once
// A USB device as it is on the wire, and nothing more: its descriptors, control transfers on the
// default pipe, reads from its IN endpoints and the notice that it has gone. Everything else the
// device library sees (control codes, a record stream, pipe policies) is a driver binding's doing
// on top of a wire (UsbFamilyBinding.h, UsbGenericBinding.h).
//
// Implementations: the simulated devices (sim/), real devices through libusb (platform/libusb/),
// and whatever serves a wire on to someone else (a USB/IP server).
//
// Results are the system error numbers of WinError.h:
//   ERROR_SUCCESS               the transfer completed (possibly short)
//   ERROR_GEN_FAILURE           the device stalled the request or the endpoint
//   ERROR_SEM_TIMEOUT           the device did not answer within the transfer's time-out
//   ERROR_OPERATION_ABORTED     the transfer was cancelled
//   ERROR_DEVICE_NOT_CONNECTED  the device has gone (pulled out, or re-enumerating)
//   ERROR_INSUFFICIENT_BUFFER   the device sent more than the read asked for (overflow)
//   ERROR_INVALID_PARAMETER     no such endpoint, or a malformed request
//   any other number            a transfer error the host side reported, passed on unchanged
//
// A device that re-enumerates (into its bootloader and back) is a new wire: the old one reports
// that it has gone and fails everything from then on, and the bus presents a new wire with the new
// descriptors. A wire never comes back.
//
// Every call may come from any thread. Completions run exactly once, on the submitting thread
// before the submit call returns (when the device can answer at once) or on another thread; they
// must not call back into the same wire while the submitter may hold a lock the completion takes,
// so submit without holding locks that completions need.
#include "platform/UsbBus.h"

#include <cstdint>
#include <functional>
#include <vector>

// Standard request codes and descriptor types the bindings and wires use.
constexpr uint8_t USB_REQUEST_GET_STATUS = 0x00;
constexpr uint8_t USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr uint8_t USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr uint8_t USB_REQUEST_SET_INTERFACE = 0x0B;
constexpr uint8_t USB_DESCRIPTOR_DEVICE = 1;
constexpr uint8_t USB_DESCRIPTOR_CONFIGURATION = 2;
constexpr uint8_t USB_DESCRIPTOR_STRING = 3;
constexpr uint8_t USB_DEVICE_DESCRIPTOR_SIZE = 18;

enum class TUsbSpeed { Low, Full, High, Super };

// A control transfer's end: the result, the bytes moved in the data stage (either direction; fewer
// than asked when the device answered or took short) and, for a device-to-host request, the bytes
// received (ATransferred of them).
using TUsbControlCompletion =
    std::function<void(uint32_t AResult, uint32_t ATransferred, std::vector<uint8_t> AData)>;
// An IN read's end: the result and the bytes of one transfer from the device (possibly none).
using TUsbReadCompletion = std::function<void(uint32_t AResult, std::vector<uint8_t> AData)>;

class TUsbWire {
public:
    virtual ~TUsbWire() = default;

    // --- What the device told the host at enumeration (fixed for the wire's life) ---
    // The standard device descriptor (18 bytes).
    virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
    // The active configuration descriptor with its interface and endpoint descriptors behind it.
    virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;
    virtual TUsbSpeed Speed() const = 0;
    // String descriptors are read with a GET_DESCRIPTOR control transfer (type 3, index, language).

    // --- Default pipe ---
    // Submits one control transfer. A host-to-device request sends AData (ASetup.Length bytes); a
    // device-to-host request asks for up to ASetup.Length bytes and AData is ignored. The wire ends
    // the transfer with ERROR_SEM_TIMEOUT once ATimeoutMs (0: no limit) has passed without an
    // answer; callers that must not wait longer than they meant cancel it themselves.
    // Returns 0 and an id for CancelTransfer; any other value: the submit failed and AOnDone will
    // never run (ERROR_DEVICE_NOT_CONNECTED once the device has gone).
    virtual uint32_t SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t> AData,
                                   uint32_t ATimeoutMs, TUsbControlCompletion AOnDone, uint64_t& AId) = 0;

    // --- IN endpoints (bulk and interrupt), several reads outstanding per endpoint ---
    // Submits one read of up to ALength bytes from endpoint AEndpoint (bit 7 set). It completes with
    // one transfer from the device: when the device ends it with a short packet or ALength bytes
    // have come. Reads of one endpoint complete in submit order. Returns as SubmitControl does; a
    // halted endpoint or one the device refuses to serve may fail the submit at once.
    virtual uint32_t SubmitRead(uint8_t AEndpoint, uint32_t ALength, TUsbReadCompletion AOnDone,
                                uint64_t& AId) = 0;

    // Cancels a submitted transfer: unless it has already completed, its completion runs with
    // ERROR_OPERATION_ABORTED (possibly on this thread, before this returns). Unknown ids are ignored.
    virtual void CancelTransfer(uint64_t AId) = 0;
    // Clears the halt of endpoint AEndpoint after a stall (the host side's toggle reset included).
    virtual uint32_t ClearHalt(uint8_t AEndpoint) = 0;

    // --- Presence ---
    // True once the device has gone; from then on every submit fails with ERROR_DEVICE_NOT_CONNECTED.
    virtual bool Gone() const = 0;
    // AOnGone runs once, on any thread, after the device has gone (transfers outstanding then
    // complete with ERROR_DEVICE_NOT_CONNECTED); at once when it has already gone. Returns an id for
    // RemoveGoneListener; once that has returned, AOnGone is not started any more.
    virtual uint64_t AddGoneListener(std::function<void()> AOnGone) = 0;
    virtual void RemoveGoneListener(uint64_t AId) = 0;
};

// Runs one control transfer on AWire and waits for it: up to ATimeoutMs (0: no limit), after which
// the transfer is cancelled and ERROR_SEM_TIMEOUT returned. AData carries the bytes to send and
// receives the bytes that came back; ATransferred counts the bytes moved either way.
uint32_t UsbWireControl(TUsbWire& AWire, const TUsbSetupPacket& ASetup, std::vector<uint8_t>& AData,
                        uint32_t ATimeoutMs, uint32_t& ATransferred);
