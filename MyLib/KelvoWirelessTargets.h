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

// The blinker's settings (answer of 0x21, parameter of 0x22): four little-endian words.
struct TBlinkerProperties {
    uint16_t nBlinks;
    uint16_t msLight; // ms
    uint16_t msDark;  // ms
    uint16_t wDACValue;
};
using PBlinkerProperties = TBlinkerProperties*;

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
              sizeof(TBlinkerProperties) == 8 && sizeof(TStubHardwareInfo) == 16);

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
// co-branded targets. Setters mirror what they set only when the target took it; a value that does
// not fit its byte on the wire is refused without a command.
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
    // LEDs off and stopped.
    bool TurnOff() override;
    // Firmware 7 and later answer the query; earlier ones have a receiver and nothing else.
    virtual bool GetCapabilities();

    bool GetProperties();
    bool SetProperties(const TTargetPropertiesBlock& AProp);
    bool ReceiverOn() const { return fProperties.bRcvEnabled != 0; }
    bool SetReceiverOn(bool AValue);
    bool SetSync(bool AValue);
    // LED masks: green, red, or both in one command.
    bool SetGreenLeds(int ALeds);
    bool SetRedLeds(int ALeds);
    bool SetLeds(int AGreenLeds, int ARedLeds);
    // Models and hardware without the levels refuse without a command; the queries then also
    // zero the level.
    bool SetLedsBrightness(int ALevel);
    bool SetLampsBrightness(int ALamps);
    bool GetLedsBrightness();
    bool GetLampsBrightness();
    // Firmware before 7 cannot take capabilities.
    bool SetCapabilities(const TWirelessTargetCapabilities& ACaps);
    // Start and Stop also log "START n" and "STOP n" for target index n.
    bool Start();
    bool Stop();
    bool StartWithoutReceiver();
    bool StartWithReceiver();
    // Radio address 1..31, from hardware 6; nothing is mirrored.
    bool SetAddress(int AAddress);

    uint8_t fMinSignalLevel = 10;
    uint8_t fMaxSignalLevel = 250;
    TTargetPropertiesBlock fProperties{};
    uint8_t fLedsBrightness = 0;
    uint8_t fLampsBrightness = 0;
    TWirelessTargetCapabilities fCaps{};

protected:
    // The capabilities of the models that do not report them.
    bool FixedCapabilities(bool ALamps);
    // Whether this model or hardware has the brightness levels.
    virtual bool HasLedsBrightness() const;
    virtual bool HasLampsBrightness() const;
    // ACode with AValue as its one parameter byte; AMirror takes AValue when the target took it.
    bool SetByte(uint8_t ACode, int AValue, uint8_t& AMirror);
    // ACode without parameters, answered by one byte that AMirror takes.
    bool GetByte(uint8_t ACode, uint8_t& AMirror);
};

// The night-mode blinker (product 15): no signal, no frequencies; its properties are read on demand.
class TBlinker : public TLockableTarget {
public:
    TBlinker(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    bool TurnOff() override;
    bool GetProperties();
    bool SetProperties(const TBlinkerProperties& AProps);
    bool Blink();
    uint16_t NumberOfBlinks() const { return fProps.nBlinks; }
    uint16_t LightTime() const { return fProps.msLight; }
    uint16_t DarkTime() const { return fProps.msDark; }
    uint16_t DACValue() const { return fProps.wDACValue; }

    TBlinkerProperties fProps{};
};

// The biathlon target (product 18).
class TBiathlon2Target : public TWirelessTarget {
public:
    TBiathlon2Target(TKelvoWireless* AController, int AIndex);

    void SetDefaults() override;
    // The standard target's reads, then the biathlon settings and the receiver mode.
    void AssignInfo(const TTargetInfoBlock& ATIB) override;
    bool GetCapabilities() override;
    bool SetIReds(int AMask);
    // IR LED mask, flag and LED brightness.
    bool GetBiaProperties();
    bool SetBiaFlag(bool ATurnOn);
    // Hardware 1 has no receiver mode: refused without a command (the query also zeroes it).
    bool SetReceiverMode(int AMode);
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
    bool SetIReds(int AMask);
    // IR LED mask, lamp status and both brightness levels.
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
    // The factory operations: the bootloader takes the serial and key writes and the key read only
    // once EnableSecretOps has given it the factory secret.
    bool SetSerialNum(const TSerialNum& ASerial);
    bool SetDeviceKey(const TDeviceKey& AKey);
    bool EnableSecretOps(const TDeviceKey& ASecret);
    bool GetDeviceKey(TDeviceKey& AKey);
    // The product id in decimal and what the product and processor make of it, such as
    // "12 (Wireless target 2)".
    std::string HardwareIdStr() const;

    uint16_t ProcId() const { return fProcessorID; }
    uint16_t CodeStartAddr() const { return fCodeStartAddr; }
    const TDeviceKey& Key() const { return fDeviceKey; }
    bool SecretOps() const { return fSecretOps; }

    static constexpr uint8_t KBlockSize = 8;

private:
    // A command whose one-byte answer is non-zero on success.
    bool OkCommand(uint16_t ATimeout, const uint8_t* ACmd, int ACmdSize);
    // An ok-byte command of its code and the eight bytes at ABytes.
    bool OkEightBytes(uint8_t ACode, uint16_t ATimeout, const void* ABytes);

    uint16_t fProcessorID = 0;
    uint16_t fCodeStartAddr = 0;
    TDeviceKey fDeviceKey = BlankDeviceKey;
    bool fSecretOps = false;
};
using PTargetStub = TTargetStub*;
