#pragma once
// The simulated family device: the device side of the wire that every simulated family (sensors,
// controllers, bootloaders) builds on. On the bus it is a TUsbWire (descriptors, control transfers,
// one bulk IN and one interrupt IN endpoint); a handle opened onto it is the family-driver or the
// generic-driver binding over that wire (platform/UsbFamilyBinding.h, UsbGenericBinding.h), chosen
// per device as the product's driver installation would. While bound to the family driver the
// device sends the legacy record stream on its bulk IN endpoint and answers the family's extra
// control codes as that binding carries them.
// Vendor requests go to per-request handlers that a family fills in. Data can be pushed from any
// thread. Faults can be programmed on vendor request N, and each control transfer can take a latency.
//
// A family device that re-enumerates (into its bootloader and back) is two TSimDevice objects on
// the bus in turn, sharing the family's state object; LeaveBusAfterRequest does the switch.
#include "platform/UsbBus.h"
#include "platform/UsbWire.h"
#include "platform/WinError.h"
#include "sim/SimBusDevice.h"
#include "sim/SimProducts.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

class TSimPhysicalDevice;

// Legacy stream record types.
constexpr uint8_t SIM_RECORD_DATA = 0x44;
constexpr uint8_t SIM_RECORD_EVENT = 0x88;

// Latency per control transfer that makes a demo feel like a full-speed device (one USB frame).
constexpr std::chrono::microseconds SIM_DEMO_LATENCY{1000};

// Generic-binding pipes.
constexpr uint8_t SIM_PIPE_DATA_IN = 0x81;  // bulk
constexpr uint8_t SIM_PIPE_EVENT_IN = 0x82; // interrupt

// What a vendor request asks of the device.
struct TSimVendorRequest {
    uint8_t RequestType = 0; // 0x40 host-to-device, 0xC0 device-to-host
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;      // bytes asked for (device-to-host) or sent
    std::vector<uint8_t> Data; // the bytes sent (host-to-device)
    bool DeviceToHost() const { return (RequestType & 0x80) != 0; }
};

// Answers one vendor request: true with the answer bytes (device-to-host; longer answers are cut
// to the length asked), false to stall.
using TSimVendorHandler =
    std::function<bool(const TSimVendorRequest& ARequest, std::vector<uint8_t>& AAnswer)>;
// Answers one extra family-driver control code: the error number (0 on success) and the output.
using TSimIoControlHandler = std::function<uint32_t(const std::vector<uint8_t>& AInput, uint32_t AOutputSize,
                                                    std::vector<uint8_t>& AOutput)>;

enum class TSimFaultKind {
    Fail,    // the transfer fails with Error
    Stall,   // the device stalls the request (ERROR_GEN_FAILURE)
    Short,   // the device answers or takes ShortBy bytes fewer than asked
    Timeout, // the device never answers; the host gives up after its time-out
    DropOff  // the device drops off the bus before answering
};

struct TSimFault {
    TSimFaultKind Kind = TSimFaultKind::Fail;
    uint32_t Error = ERROR_BAD_COMMAND; // for Fail
    uint32_t ShortBy = 1;               // for Short
};

class TSimDevice : public TSimBusDevice {
public:
    TSimDevice(const TSimDeviceIdentity& AIdentity, TUsbDriverKind ADriver, std::string APathName);
    ~TSimDevice() override;
    TSimDevice(const TSimDevice&) = delete;
    TSimDevice& operator=(const TSimDevice&) = delete;

    // --- TSimBusDevice ---
    // By product id; a bootloader overrides it.
    TGUID InterfaceClass() const override;
    std::string PathName() const override { return fPathName; }
    uint32_t OpenHandle(std::unique_ptr<TUsbHandle>& AHandle) override;
    void Attached(TSimBus& ABus, const std::string& APath) override;
    void Detached() override;

    // --- Identity and binding (set before plugging) ---
    TSimDeviceIdentity Identity() const;
    void SetIdentity(const TSimDeviceIdentity& AIdentity);
    // Handles opened later bind to ADriver; open ones keep theirs.
    TUsbDriverKind DriverKind() const;
    void SetDriverKind(TUsbDriverKind ADriver);
    // The family driver's version answer; 0: a driver too old to answer the query. Descriptor reads
    // need 0x207 or later, the driver-side log 0x217 or later.
    void SetDriverVersion(uint16_t AVersion);
    // As the device sends it: the identity, with the binding the device is made for.
    std::vector<uint8_t> DeviceDescriptor() const;

    // --- Behaviour ---
    void SetVendorHandler(uint8_t ARequest, TSimVendorHandler AHandler);
    void SetIoControlHandler(uint32_t ACode, TSimIoControlHandler AHandler);
    // Vendor request handlers that answer under the family state's lock (its Mutex) and return
    // false to stall: a request the firmware does not know, or data it refuses. AFill answers a
    // device-to-host request, ATake takes a host-to-device one; a direction without one stalls.
    template <class TState>
    void OnReadWrite(
        uint8_t ARequest, std::shared_ptr<TState> AState,
        std::type_identity_t<std::function<bool(TState&, const TSimVendorRequest&, std::vector<uint8_t>&)>>
            AFill,
        std::type_identity_t<std::function<bool(TState&, const TSimVendorRequest&)>> ATake) {
        SetVendorHandler(ARequest,
                         [AState, AFill, ATake](const TSimVendorRequest& AReq, std::vector<uint8_t>& AOut) {
                             std::lock_guard lock(AState->Mutex);
                             if (AReq.DeviceToHost())
                                 return AFill && AFill(*AState, AReq, AOut);
                             return ATake && ATake(*AState, AReq);
                         });
    }
    // AFill takes the state and the answer, and the request too where it reads wValue or wIndex.
    template <class TState, class TFill>
    void OnRead(uint8_t ARequest, std::shared_ptr<TState> AState, TFill AFill) {
        using TAnswer = std::vector<uint8_t>;
        OnReadWrite<TState>(
            ARequest, std::move(AState),
            [AFill](TState& S, const TSimVendorRequest& AReq, TAnswer& AOut) {
                if constexpr (std::is_invocable_v<TFill&, TState&, const TSimVendorRequest&, TAnswer&>)
                    return AFill(S, AReq, AOut);
                else
                    return AFill(S, AOut);
            },
            nullptr);
    }
    // ADataLength, when given, is the exact number of data bytes the request must carry (0: none).
    template <class TState>
    void OnWrite(uint8_t ARequest, std::shared_ptr<TState> AState, std::optional<std::size_t> ADataLength,
                 std::type_identity_t<std::function<bool(TState&, const TSimVendorRequest&)>> ATake) {
        OnReadWrite<TState>(ARequest, std::move(AState), nullptr,
                            [ADataLength, ATake](TState& S, const TSimVendorRequest& AReq) {
                                return (!ADataLength || AReq.Data.size() == *ADataLength) && ATake(S, AReq);
                            });
    }
    // A broken device: AGarbage (when not empty) stands for both its device and its configuration
    // descriptor, on the wire and in answer to descriptor requests.
    void SetGarbageDescriptors(std::vector<uint8_t> AGarbage);
    // A broken device: it stalls every control transfer (AStall false ends it).
    void SetStallEverything(bool AStall);
    // Fault on vendor request AN (counted from 1 over the device's life); one fault per number.
    void SetFault(uint32_t AN, const TSimFault& AFault);
    uint32_t VendorRequestCount() const;
    // How many vendor requests of each request type (0x40 host-to-device, 0xC0 device-to-host) and
    // request code the device answered or refused, over its life.
    std::map<std::pair<uint8_t, uint8_t>, uint32_t> VendorRequestsSeen() const;
    // Delay before each control transfer is answered (0 in tests, about 1 ms in demos).
    void SetLatency(std::chrono::microseconds ALatency);
    // How long the family driver waits for a device that does not answer before it fails the
    // request with ERROR_SEM_TIMEOUT; also the limit of a generic transfer without a pipe time-out.
    void SetUnansweredLimit(std::chrono::milliseconds ALimit);
    // After the vendor request being answered now, the device leaves the bus and AThen runs (on the
    // same thread; a family plugs its other personality there).
    void LeaveBusAfterRequest(std::function<void()> AThen);
    // What the device does once it has left the bus for its bootloader (the physical device that
    // owns this personality plugs the bootloader there). Without it the device just leaves.
    // AThen receives the bus the device has left.
    void SetOnSwitchToBootloader(std::function<void(TSimBus* ABus)> AThen);
    // In the switch-to-bootloader handler: leave the bus after this request, then re-enumerate.
    void SwitchToBootloaderAfterRequest();
    // Leaves the bus now (any thread).
    void LeaveBus();
    // The bus the device was last plugged into (nullptr before the first plug).
    TSimBus* Bus() const;
    // The physical device this is a personality of (none for a bare simulated device); the
    // personality keeps it alive.
    void SetUnit(std::shared_ptr<TSimPhysicalDevice> AUnit) { fUnit = std::move(AUnit); }
    const std::shared_ptr<TSimPhysicalDevice>& Unit() const { return fUnit; }
    bool IsAttached() const;
    std::string Path() const;
    // The device as the host sees it on the wire while plugged in (nullptr otherwise). Every plug
    // makes a new wire; the old one has gone.
    std::shared_ptr<TUsbWire> Wire() const;

    // --- Pushed data (any thread) ---
    // By binding: a legacy record of type 0x44 / 0x88, or a packet on the bulk / interrupt IN pipe
    // (split into maximum-size packets). False when the payload cannot be carried.
    bool PushData(const std::vector<uint8_t>& APayload);
    bool PushEvent(const std::vector<uint8_t>& APayload);
    // Family driver: one record; records travel together in a read but never straddle two reads.
    bool PushRecord(uint8_t AType, const std::vector<uint8_t>& APayload);
    // Family driver: these exact bytes as the result of one stream read (any content, even broken).
    void PushStreamTransfer(const std::vector<uint8_t>& ABytes);
    // Family driver: the next stream read fails with AError.
    void PushStreamError(uint32_t AError);
    // Generic driver: one packet (at most the pipe's maximum packet size; may be empty).
    bool PushPacket(uint8_t APipeId, const std::vector<uint8_t>& APacket);
    // Generic driver: APayload as maximum-size packets (one empty packet for an empty payload).
    bool PushPackets(uint8_t APipeId, const std::vector<uint8_t>& APayload);
    // Generic driver: the next read of the pipe fails with AError (ERROR_GEN_FAILURE also halts the
    // pipe unless AUTO_CLEAR_STALL is set, so that reads fail until it is reset).
    void PushPipeError(uint8_t APipeId, uint32_t AError);
    // Generic driver: every read submitted on the pipe fails at once with AError (0 ends it).
    void SetPipeSubmitError(uint8_t APipeId, uint32_t AError);
    // Bytes and packets pushed but not yet read.
    std::size_t PendingStreamBytes() const;
    std::size_t PendingPackets(uint8_t APipeId) const;
    // Stream and pipe reads waiting for data right now (all handles).
    std::size_t WaitingReads() const;

    // The driver-side log text kept while the log is enabled (one line per vendor request).
    std::string DriverLog() const;

    // The state the device's wires share with it; they keep it alive after the device is gone.
    struct TCore;

private:
    std::string fPathName;
    std::shared_ptr<TCore> fCore;
    std::shared_ptr<TSimPhysicalDevice> fUnit;
};
