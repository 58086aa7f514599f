#pragma once
// The family's own driver over a USB wire: what the family's kernel driver does where there is
// none (Linux), or where the device is simulated. It turns the driver's control codes into control
// transfers and the device's IN transfers into the legacy record stream:
//
//  control code                     what the binding does
//  -------------------------------  ---------------------------------------------------------------
//  FAMILY_IOCTL_VENDOR_REQUEST      input: LE16 request, LE16 value, LE16 index, LE16 length, then
//                                   length bytes. With data: vendor OUT transfer (bmRequestType
//                                   0x40) carrying them. Without data and with an output buffer:
//                                   vendor IN transfer (0xC0) asking for the output size (at most
//                                   0xFFFF), bytes returned = bytes received. Neither: vendor OUT
//                                   transfer without data. Time-out: the driver's unanswered limit.
//  FAMILY_IOCTL_DRIVER_VERSION      answered by the binding: LE16 version (0: a driver too old to
//                                   know the code, ERROR_INVALID_FUNCTION).
//  FAMILY_IOCTL_DEVICE_DESCRIPTOR   version 0x207 and later: standard GET_DESCRIPTOR (device, 18
//                                   bytes) on the wire; an output under 18 bytes is refused.
//  FAMILY_IOCTL_LOG_SIZE/READ/      version 0x217 and later, answered by the binding from the driver's
//  CLEAR/ENABLE/DISABLE             own log: one line "VR tt rr vvvv iiii length -> result" per
//                                   vendor request while enabled, at most 64 KiB (oldest dropped).
//                                   LOG_SIZE: LE64 byte count.
//  any other code of the form       a family's extra code (function f = bits 2..13) as two vendor
//  0x22xxxx, METHOD_BUFFERED,       transfers to interface 0: OUT 0x41, request 0x01 (run), value f,
//  FILE_ANY_ACCESS                  data = LE32 output size then the input; then IN 0xC1, request 0x02
//                                   (result), value f, asking 4 + output size bytes: LE32 error
//                                   number, then the output. A device that stalls "run" does not
//                                   know the code: ERROR_INVALID_FUNCTION. The pair is atomic per device.
//  any other code                   ERROR_INVALID_FUNCTION.
//
//  stream read of N bytes           one read of up to N bytes on bulk IN endpoint 0x81: the device
//                                   sends whole legacy records there (type byte, LE32 length,
//                                   payload), several per transfer but never one across two; the
//                                   transfer is the read's result. A record longer than N fails the
//                                   read (overflow, ERROR_INSUFFICIENT_BUFFER).
//
// Wire results become the driver's: ERROR_DEVICE_NOT_CONNECTED becomes ERROR_DEVICE_REMOVED (as does
// every call once the device has gone); a control transfer that outlives the unanswered limit ends
// with ERROR_SEM_TIMEOUT; the rest (stall = ERROR_GEN_FAILURE ...) pass through.
#include "platform/UsbBus.h"
#include "platform/UsbWire.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Family-driver control codes (device type 0x22, buffered, any access).
constexpr uint32_t FAMILY_IOCTL_VENDOR_REQUEST = 0x222000;
constexpr uint32_t FAMILY_IOCTL_DRIVER_VERSION = 0x222204;
constexpr uint32_t FAMILY_IOCTL_DEVICE_DESCRIPTOR = 0x222208;
constexpr uint32_t FAMILY_IOCTL_LOG_SIZE = 0x222214;
constexpr uint32_t FAMILY_IOCTL_LOG_READ = 0x222218;
constexpr uint32_t FAMILY_IOCTL_LOG_CLEAR = 0x22221C;
constexpr uint32_t FAMILY_IOCTL_LOG_ENABLE = 0x222220;
constexpr uint32_t FAMILY_IOCTL_LOG_DISABLE = 0x222224;

// The vendor requests to interface 0 that carry a family's extra control codes.
constexpr uint8_t FAMILY_WIRE_RUN_CODE = 0x01;
constexpr uint8_t FAMILY_WIRE_CODE_RESULT = 0x02;
// The bulk IN endpoint the legacy record stream travels on.
constexpr uint8_t FAMILY_STREAM_ENDPOINT = 0x81;

// The driver installed for one device: its version, how long it waits for an unanswered request
// and its log. Shared by every handle opened onto the device; thread-safe.
class TUsbFamilyDriver {
public:
    void SetVersion(uint16_t AVersion);
    uint16_t Version() const;
    void SetUnansweredLimit(std::chrono::milliseconds ALimit);
    std::chrono::milliseconds UnansweredLimit() const;
    std::string Log() const;

    // Used by the binding.
    void LogRequest(const TUsbSetupPacket& ASetup, uint32_t AResult);
    uint32_t LogControl(uint32_t ACode, uint8_t* AOut, uint32_t AOutSize, uint32_t& AReturned);
    // Held across the two transfers of an extra code.
    std::mutex& CodeMutex() { return fCodeMutex; }

private:
    mutable std::mutex fMutex;
    std::mutex fCodeMutex;
    uint16_t fVersion = 0x0217;
    std::chrono::milliseconds fUnansweredLimit{15000};
    bool fLogEnabled = false;
    std::string fLog;
};

// A handle bound to the family driver over AWire.
std::unique_ptr<TUsbHandle> MakeFamilyHandle(std::shared_ptr<TUsbWire> AWire,
                                             std::shared_ptr<TUsbFamilyDriver> ADriver);
