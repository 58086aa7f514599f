#pragma once
// The simulated USB bootloader: the programming personality of every simulated family device. It
// publishes the bootloader's own interface class whatever product it belongs to, reports its
// 16-byte hardware information, and runs one programming run at a time: erase, then the
// synchronisation block, then the enciphered blocks strictly in order (anything else stalls). It
// deciphers each block with the demo key and table through its own cipher (sim/SimGost) and keeps
// the plain main memory; validation recomputes the authentication code over it. Leaving programming
// mode, and dropping off the bus on a programmed fault, are handed to the physical device
// (sim/SimPhysicalDevice) that owns this personality.
#include "sim/SimDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

// The plain main memory an image holds (MSP430 addresses 0x1100..0xEFFF) and its fixed fields.
constexpr std::size_t SIM_IMAGE_SIZE = 0xDF00;
constexpr std::size_t SIM_IMAGE_SECURITY_LEVEL = 0xDEF0;
constexpr std::size_t SIM_IMAGE_FIRMWARE_VERSION = 0xDEF2;
constexpr std::size_t SIM_IMAGE_PRODUCT_ID = 0xDEF4;
constexpr std::size_t SIM_IMAGE_PRESENCE_FLAG = 0xDEF6;
constexpr std::size_t SIM_IMAGE_MAC = 0xDEF8; // the code covers everything before it
// The largest block a bootloader takes in one write.
constexpr std::size_t SIM_STUB_MAX_BLOCK = 16;
// The service key the simulated bootloaders enable their service operations with.
constexpr std::array<uint8_t, 8> SIM_STUB_SERVICE_KEY = {0x53, 0x49, 0x4D, 0x2D, 0x53, 0x56, 0x43, 0x31};

// Bootloader requests a fault can name.
enum class TSimStubRequest { Erase, Synchro, Write, Validate, Reconnect, HwInfo, Serial };
// Points of an update after which a fault can make the device drop off the bus.
enum class TSimUpdateStage { Switch, Erase, Synchro, Validate, Reconnect };

// Faults of one physical device; each one fires once.
struct TSimUpdateFaults {
    // The bootloader drops off right after answering write number N (counted from 1 since the
    // synchronisation block). 0: never.
    uint32_t UnplugAtBlock = 0;
    // The device drops off right after answering this request.
    std::optional<TSimUpdateStage> UnplugAfter;
    // After such a drop-off it comes back this many ms later; without it, it stays away.
    std::optional<uint32_t> ReplugAfterMs;
    // These requests stall once each; the serial-number read stalls for the whole of the next
    // enumeration of the bootloader (the open reads it too), until it leaves the bus.
    std::set<TSimStubRequest> FailOnce;
};

// The bootloader's side of the physical device: identity, flash and the programming run. Guard
// every access with Mutex while the bootloader is plugged in.
struct TSimBootloaderState {
    std::mutex Mutex;
    uint16_t ProductId = 0;
    uint16_t ProcessorId = 147;
    uint16_t CodeStartAddr = 0x1100;
    uint16_t VersionHW = 0;
    std::array<uint8_t, 8> Serial{};
    std::array<uint8_t, 8> Key{};
    // Version 1 does not answer the version request; 3 and later know the fuse commands.
    uint16_t StubVersion = 3;
    // What a bootloader that does not know the hardware version reports instead (0 or 0xFFFF).
    std::optional<uint16_t> HardwareAnswer;
    bool FuseLocked = false;
    bool SecretEnabled = false;

    // The plain main memory in flash, and whether it holds an image that passed validation.
    std::vector<uint8_t> Flash = std::vector<uint8_t>(SIM_IMAGE_SIZE, 0xFF);
    bool FlashValid = false;
    // Set by the reconnect request: the firmware is to start when the flash is valid.
    bool LeaveRequested = false;

    // The programming run.
    bool Erased = false;
    bool HaveSynchro = false;
    std::array<uint8_t, 8> Chain{};
    uint32_t NextAddress = 0;
    std::vector<uint8_t> Partial; // enciphered bytes short of a whole cipher block
    uint32_t WritesSinceSynchro = 0;

    TSimUpdateFaults Faults;

    // Counters for tests.
    uint32_t Erases = 0;
    uint32_t BlocksAccepted = 0;
    uint32_t Refused = 0;

    // Forgets the programming run (power lost, or programming mode left).
    void ResetRun();
    // The steps of a programming run, as every simulated bootloader takes them: the erase wipes the
    // flash and starts a run; the synchronisation block is taken only on erased flash before the
    // first block; blocks of up to AMaxBlock bytes only strictly in order within the image, each
    // deciphered into the flash; validation needs a finished run (or none) and an authentic image.
    // A refused step counts in Refused.
    void EraseFlash();
    bool TakeSynchro(const std::vector<uint8_t>& ABlock);
    bool TakeBlock(uint32_t AAddress, const std::vector<uint8_t>& AData, std::size_t AMaxBlock);
    bool ValidateFlash();
    // Firmware version and product id of the image in flash, 0xFFFF when it holds none.
    uint16_t FlashFirmwareVersion() const;
    uint16_t FlashProductId() const;
};

// Whether the authentication code inside AImage (SIM_IMAGE_SIZE plain bytes) matches its contents
// under the demo key and table.
bool SimImageAuthentic(const std::vector<uint8_t>& AImage);
// A plain main memory: erased flash with a stand-in program, the firmware-id marker, the identity
// words and a matching authentication code.
std::vector<uint8_t> SimPlainImage(uint16_t AProductId, uint16_t AVersionHW, uint16_t AVersionFW,
                                   uint16_t AProcessorId);
// The processor the family's boards carry for a product and hardware version (as the built-in
// images are built for).
uint16_t SimProcessorOf(uint16_t AProductId, uint16_t AVersionHW);

class TSimBootloader : public TSimDevice {
public:
    // What the bootloader hands to its owner, each with the bus it has just left. Reconnect: it
    // left programming mode; DroppedOff: a fault made it drop off. Erased: the erase wiped the
    // parameters the firmware kept in flash (called under the state's lock).
    struct THooks {
        std::function<void(TSimBus* ABus)> Reconnect;
        std::function<void(TSimBus* ABus)> DroppedOff;
        std::function<void()> Erased;
    };

    TSimBootloader(std::shared_ptr<TSimBootloaderState> AState, TUsbDriverKind ADriver, THooks AHooks);

    TGUID InterfaceClass() const override;
    const std::shared_ptr<TSimBootloaderState>& State() const { return fState; }

private:
    // Under the state's lock: whether the named request is to fail now (and consumes the fault).
    bool FailsNow(TSimStubRequest ARequest);
    // Under the state's lock: drop off after this request when the fault names this stage.
    void DropOffAfter(TSimUpdateStage AStage);
    // Leave the bus after this request and hand the bus left to AHook.
    void LeaveThen(const std::function<void(TSimBus*)>& AHook);
    bool Write(const TSimVendorRequest& AReq);

    std::shared_ptr<TSimBootloaderState> fState;
    THooks fHooks;
};
