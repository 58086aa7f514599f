#pragma once
// The USB side of the operating system: device interfaces listed by interface-class GUID, arrival
// and removal reports, and opened interfaces bound either to the family's own driver or to the
// generic driver. Every failure is one of the system error numbers of WinError.h.
#include "platform/Guid.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFF;

// Generic-driver pipe policies.
constexpr uint32_t SHORT_PACKET_TERMINATE = 0x01;
constexpr uint32_t AUTO_CLEAR_STALL = 0x02;
constexpr uint32_t PIPE_TRANSFER_TIMEOUT = 0x03;
constexpr uint32_t IGNORE_SHORT_PACKETS = 0x04;
constexpr uint32_t ALLOW_PARTIAL_READS = 0x05;
constexpr uint32_t AUTO_FLUSH = 0x06;
constexpr uint32_t RAW_IO = 0x07;

enum class TUsbDriverKind { Family, Generic };

enum TUsbdPipeType : uint8_t {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3
};

#pragma pack(push, 1)
struct TUsbSetupPacket {
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
};

struct TUsbInterfaceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};
#pragma pack(pop)

struct TUsbPipeInformation {
    TUsbdPipeType PipeType = UsbdPipeTypeControl;
    uint8_t PipeId = 0; // endpoint address; bit 7 set for IN pipes
    uint16_t MaximumPacketSize = 0;
    uint8_t Interval = 0;
};

// One overlapped family-driver request. Caller and driver share it: dropping the caller's reference
// before completion is safe, the driver keeps the request and its buffers until it completes.
class TUsbPendingIo {
public:
    virtual ~TUsbPendingIo() = default;
    // Waits up to AMilliseconds (INFINITE_WAIT: no limit); true once the request has completed.
    virtual bool Wait(uint32_t AMilliseconds) = 0;
    // ERROR_IO_INCOMPLETE while pending; else the request's result, with the output bytes returned.
    virtual uint32_t Result(uint32_t& AReturned) = 0;
    virtual const std::vector<uint8_t>& Output() const = 0;
};

// One opened device interface. Destroying it closes it: pending reads complete with
// ERROR_OPERATION_ABORTED first. Calls may come from several threads (a reader per pipe and the
// main thread); implementations are thread-safe.
class TUsbHandle {
public:
    virtual ~TUsbHandle() = default;
    virtual TUsbDriverKind DriverKind() const = 0;

    // --- Family driver (on a generic-bound handle these fail with ERROR_INVALID_FUNCTION) ---
    // Synchronous driver control code with input and output buffers.
    virtual uint32_t IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                               uint32_t& AReturned) = 0;
    // Overlapped driver control code; the input is copied, the output is kept in the request.
    virtual std::shared_ptr<TUsbPendingIo> IoControlAsync(uint32_t ACode, const void* AIn, uint32_t AInSize,
                                                          uint32_t AOutSize) = 0;
    // Blocking read of the device's stream: 0 with the bytes of one transfer (possibly 0),
    // ERROR_OPERATION_ABORTED when cancelled, or the error of a failed read (6 or 1617 once removed).
    virtual uint32_t ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) = 0;
    // Any thread: completes the pending ReadStream with ERROR_OPERATION_ABORTED, or, when none is
    // pending, the next one (a latched wake-up, like an auto-reset stop event).
    virtual void CancelStreamRead() = 0;

    // --- Generic driver (on a family-bound handle InitializeGeneric fails and the rest with 6) ---
    // Succeeds only when the device's function driver is the generic driver.
    virtual uint32_t InitializeGeneric() = 0;
    // Control transfer on the default pipe; honours its PIPE_TRANSFER_TIMEOUT policy
    // (ERROR_SEM_TIMEOUT when it runs out).
    virtual uint32_t ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer, uint32_t ABufferLength,
                                     uint32_t& ATransferred) = 0;
    virtual uint32_t GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALanguage, void* ABuffer,
                                   uint32_t ALength, uint32_t& ATransferred) = 0;
    virtual uint32_t QueryInterfaceSettings(uint8_t AAlternateSetting, TUsbInterfaceDescriptor& ADescriptor) = 0;
    virtual uint32_t QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex, TUsbPipeInformation& APipe) = 0;
    virtual uint32_t SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) = 0;
    virtual uint32_t ResetPipe(uint8_t APipeId) = 0;
    // Completes every pending read of the pipe with ERROR_OPERATION_ABORTED.
    virtual uint32_t AbortPipe(uint8_t APipeId) = 0;
    // Asynchronous IN-pipe read into ABuffer, which must stay valid until the read completes.
    // 0: completed at once with ATransferred bytes; ERROR_IO_PENDING: pending, reported later by
    // WaitPipeRead under ATag; any other value: the submit failed.
    virtual uint32_t SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                                    uint32_t& ATransferred) = 0;
    // Blocks until one pending read of the pipe completes and reports its tag, byte count and result
    // (0, ERROR_OPERATION_ABORTED after AbortPipe, or the read's error). False when none is pending.
    virtual bool WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred, uint32_t& AResult) = 0;
};

// Receives arrival and removal reports, always on the main thread.
class TDeviceChangeSink {
public:
    virtual ~TDeviceChangeSink() = default;
    // AEvent: DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE.
    virtual void DeviceChange(uint32_t AEvent, const TGUID& AClass, const std::string& APath) = 0;
};

// One member of an interface class as the enumeration sees it: its path, or the error that
// reading its details gives.
struct TUsbInterfaceEntry {
    std::string Path;
    uint32_t DetailError = 0;
};

class TUsbBus {
public:
    virtual ~TUsbBus() = default;
    // Snapshot of the present interfaces of AClass in member order; 0, or the error that prevents
    // building the set.
    virtual uint32_t GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) = 0;
    // Registers ASink for arrivals and removals of AClass; reports are posted to the main loop.
    // Returns a non-zero registration handle, or 0 with AError set.
    virtual uintptr_t RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                                 uint32_t& AError) = 0;
    // After this returns, ASink gets no further report through that registration, queued ones included.
    virtual void UnregisterDeviceNotification(uintptr_t ARegistration) = 0;
    // Opens an interface by its path; 0 with AHandle set, or the error (ERROR_FILE_NOT_FOUND for a
    // path that is not present).
    virtual uint32_t Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) = 0;
    // Whether the generic driver can be used at all on this system.
    virtual bool GenericDriverAvailable() = 0;
};
