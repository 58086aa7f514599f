#pragma once
// The objects that stand for targets behind the wireless controller: the target models that run
// their firmware (standard target, blinker, biathlon, rapid-fire, co-branded standard target), with
// the settings they report when they connect, and the target bootloader (TTargetStub), through which
// a target's flash is rewritten in 8-byte blocks. Every operation is one target command through the
// controller.
#include "MyLib/Cyphers.h"
#include "MyLib/KelvoUsbWireless1.h"

#include <cstdint>
#include <string>

#pragma pack(push, 1)
// A standard target's settings (answer of 0x21, parameter of 0x22).
struct TTargetPropertiesBlock {
    uint8_t bFreq1; // in units of 100
    uint8_t bFreq2;
    uint8_t bSig1; // 0..255 = 0..full scale
    uint8_t bSig2;
    uint8_t bLeds1; // green LED mask
    uint8_t bLeds2; // red LED mask
    uint8_t bStarted;
    uint8_t bRcvPower;
    uint8_t bRcvEnabled;
    uint8_t bSync;
};
using PTargetPropertiesBlock = TTargetPropertiesBlock*;

// What a standard target has (answer of 0x72).
struct TWirelessTargetCapabilities {
    uint8_t bReceiver;
    uint8_t bLamps;
    uint8_t bReserved[6];
};
using PWirelessTargetCapabilities = TWirelessTargetCapabilities*;

// The bootloader's identity (answer of 0x64).
struct TStubHardwareInfo {
    uint16_t idProduct;
    uint16_t wProcessorID;
    uint16_t wCodeStartAddr;
    uint16_t VersionHW; // as the bootloader reports it; not kept
    TSerialNum SerialNum;
};
using PStubHardwareInfo = TStubHardwareInfo*;
#pragma pack(pop)
static_assert(sizeof(TTargetPropertiesBlock) == 10 && sizeof(TWirelessTargetCapabilities) == 8 &&
              sizeof(TStubHardwareInfo) == 16);

// The target model for a product id reported in normal mode (12, 15, 18, 20, 22); none for another.
TCustom485Target* New485TargetModel(TKelvoWireless* AController, int AIndex, uint16_t AProductId);

// A target that a key locks and unlocks.
class TLockableTarget : public TCustom485Target {
public:
    using TCustom485Target::TCustom485Target;
    bool Lock(const TDeviceKey& AKey) override;
    bool Unlock(const TDeviceKey& AKey) override;
};

// The standard electronic target (product 12) and the base of the biathlon, rapid-fire and
// co-branded targets.
class TWirelessTarget : public TLockableTarget {
public:
    TWirelessTarget(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    // Levels in 0..1 of full scale; anything else (NaN included) is refused without a command.
    bool SetSignal(double ASignal1, double ASignal2) override;
    // Multiples of 100 from 0 to 10,000 Hz; anything else is refused without a command.
    bool SetFrequencies(int AFreq1, int AFreq2) override;
    double Signal1() override;
    double Signal2() override;
    // "KL:", receiver and lamps as 1 or 0, the serial number in the label encoding.
    std::string Code128() override;
    // The identity, then the settings, the brightness levels and the capabilities (each result
    // ignored); a product-12 target is named by whether it has a receiver.
    void AssignInfo(const TTargetInfoBlock& ATIB) override;
    bool TurnOff() override;
    // Firmware 7 and later answer the query; earlier ones have a receiver and nothing else.
    virtual bool GetCapabilities();

    bool GetProperties();
    // Models and hardware without the level answer 0 without a command (and fail).
    bool GetLedsBrightness();
    bool GetLampsBrightness();

    uint8_t fMinSignalLevel = 10;
    uint8_t fMaxSignalLevel = 250;
    TTargetPropertiesBlock fProperties{};
    uint8_t fLedsBrightness = 0;
    uint8_t fLampsBrightness = 0;
    TWirelessTargetCapabilities fCaps{};

protected:
    // The capabilities of the models that do not report them.
    bool FixedCapabilities(bool ALamps);
    // Whether this model or hardware answers the brightness queries.
    virtual bool HasLedsBrightness() const;
    virtual bool HasLampsBrightness() const;
};

// The night-mode blinker (product 15): no signal, no frequencies.
class TBlinker : public TLockableTarget {
public:
    TBlinker(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    bool TurnOff() override;
};

// The biathlon target (product 18).
class TBiathlon2Target : public TWirelessTarget {
public:
    TBiathlon2Target(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    // The standard target's reads, then the biathlon settings and the receiver mode.
    void AssignInfo(const TTargetInfoBlock& ATIB) override;
    bool GetCapabilities() override;
    bool GetBiaProperties();
    // Hardware 1 has no receiver mode: 0 without a command (and fails).
    bool GetReceiverMode();

    uint8_t fIReds = 0;
    uint8_t fFlag = 0;
    uint8_t fReceiverMode = 0;

protected:
    bool HasLedsBrightness() const override;
};

// The rapid-fire target (product 20).
class TRFTarget : public TWirelessTarget {
public:
    TRFTarget(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    // The standard target's reads, the geometry of its hardware version, then its own settings.
    void AssignInfo(const TTargetInfoBlock& ATIB) override;
    bool GetCapabilities() override;
    bool GetRapidFireProperties();

    uint8_t fIReds = 0;
    uint8_t fLampStatus = 0;

protected:
    bool HasLedsBrightness() const override;
    bool HasLampsBrightness() const override;
};

// The co-branded standard target (product 22).
class TKelvoDumakTarget : public TWirelessTarget {
public:
    TKelvoDumakTarget(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    bool GetCapabilities() override;
};

// A target running its bootloader: identification, erase, synchronisation block, 8-byte blocks in
// address order, validation, and the restart into the new firmware.
class TTargetStub : public TCustom485Target {
public:
    TTargetStub(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    // The identity, then the bootloader's hardware information (its result ignored).
    void AssignInfo(const TTargetInfoBlock& ATIB) override;

    bool EraseFlash();
    // One block of at most 8 bytes at byte offset AAddress of the image's data area; a shorter
    // block is padded with 0xFF.
    bool WriteFlashBlock(uint16_t AAddress, const void* AData, uint8_t ADataSize);
    // The bootloader leaves for the target's firmware; no answer.
    bool Reconnect();
    bool ValidateFlash();
    // Serial number, product id, processor id and code start (not the hardware version).
    bool GetStubHWInfo();
    bool SetSynchro(const TGOSTDataBlock& ASynchro);
    bool GetSerialNum(TSerialNum& ASerial);

    uint16_t ProcId() const { return fProcessorID; }
    uint16_t CodeStartAddr() const { return fCodeStartAddr; }

    static constexpr uint8_t KBlockSize = 8;

private:
    // A command whose one-byte answer is non-zero on success.
    bool OkCommand(uint16_t ATimeout, const uint8_t* ACmd, int ACmdSize);

    uint16_t fProcessorID = 0;
    uint16_t fCodeStartAddr = 0;
};
using PTargetStub = TTargetStub*;
