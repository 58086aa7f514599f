#pragma once
// TKelvoStubUSBDevice: the USB bootloader ("stub") that every family device turns into for
// programming. It enumerates under its own interface class whatever product it belongs to; this
// object tells which product that is and carries the bootloader's command set: erase, the
// synchronisation block, block writes, validation and leaving programming mode, plus the factory
// and service commands (serial number, device key, fuse lock). Every command is one vendor control
// request; none of them retries, and the order of a programming run is kept by the caller.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/Cyphers.h"

#include <cstdint>
#include <string>

#pragma pack(push, 1)
// The identity a bootloader reports (16 bytes, little-endian, as sent).
struct TStubHardwareInfo {
    uint16_t idProduct;      // product id of the device the bootloader belongs to
    uint16_t wProcessorID;   // the digits after "MSP430F" (147, 235, 5508, ...)
    uint16_t wCodeStartAddr; // first address of the application code
    uint16_t VersionHW;      // 0 or 0xFFFF from bootloaders that do not know it
    TSerialNum SerialNum;
};
using PStubHardwareInfo = TStubHardwareInfo*;
#pragma pack(pop)
static_assert(sizeof(TStubHardwareInfo) == 16);

// The service key that enables the bootloader's service operations.
using TSecretKey = std::array<uint8_t, 8>;
using PSecretKey = TSecretKey*;

// Size of the main-memory image a bootloader takes, and the largest block it takes at once.
constexpr uint16_t KELVO_STUB_IMAGE_SIZE = 0xDF00;
constexpr uint16_t KELVO_STUB_BLOCK_SIZE = 16;

class TKelvoStubUSBDevice : public TCommonKelvoUsbDevice {
public:
    TKelvoStubUSBDevice(TComponent* AOwner, const std::string& APath);

    // --- Overrides, in the base's order ---
    void Initialize() override;
    // The common open, then serial number, bootloader version and firmware version; their outcome
    // does not change the result.
    bool Open() override;
    bool GetSerialNum(PSerialNum ASerial) override;
    // A bootloader does not report versions this way: both 1, result false.
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    // A bootloader is never locked.
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;

    // --- Programming run ---
    bool EraseFlash();
    // One block of the enciphered image at image offset AAddress (0 is the first byte after the
    // synchronisation block). Throws std::invalid_argument for a block above 16 bytes or one that
    // would end beyond the image; nothing is sent then.
    bool WriteFlash(uint16_t AAddress, const void* AData, uint16_t ADataSize);
    bool ReconnectUsb();
    bool ValidateFlash();
    bool SetSynchro(const TGOSTDataBlock& ASynchro);
    static constexpr uint16_t RecommendedDataBlockSize() { return KELVO_STUB_BLOCK_SIZE; }

    // --- Identity ---
    // On success the hardware version is completed (FixHardwareVersion) and kept in fHWInfo, and
    // the product id becomes the device's.
    bool GetHardwareInfo(TStubHardwareInfo& AInfo);
    // fStubVersion := the version, or 1 when the request fails.
    bool GetStubVersion(uint16_t* AVersion);
    // fFirmwareVersion := the version in flash, or 0 when the request fails.
    bool GetFirmwareVersion(uint16_t* AVersion);
    // Bootloaders that do not know their hardware version get the one their product and processor
    // imply; a reported version is never changed.
    static void FixHardwareVersion(TStubHardwareInfo& AInfo);

    // --- Factory and service commands ---
    // An invalid serial number is not sent.
    bool SetSerialNumber(const TSerialNum& ASerial);
    bool SetDeviceKey(const TDeviceKey& AKey);
    bool GetDeviceKey(TDeviceKey& AKey);
    bool EnableSecretOperations(const TSecretKey& AKey);
    // Fuse commands: bootloader version 3 and later only; older ones fail without a request.
    bool IsFuseLocked(bool& AIsLocked);
    bool LockFuse();

    // --- Texts ---
    // e.g. "Sensor stub, V3, CPU:147".
    std::string GetDeviceInfo() const;
    std::string GetVersionInfo() const;
    std::string GetFirmwareVersionStr() const;

    TStubHardwareInfo fHWInfo{};
    uint16_t fStubVersion = 0;
    uint16_t fFirmwareVersion = 0;
};
using PKelvoStubUSBDevice = TKelvoStubUSBDevice*;
