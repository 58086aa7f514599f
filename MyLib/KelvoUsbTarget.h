#pragma once
// TKelvoTargetUsbDevice: the USB target controller (product id 2, "BQC-01"), a family device that
// drives one electronic target frame. The controller is identified and locked like every family
// device; the target behind it comes and goes while the controller stays connected, and is
// represented by a target object of its own: TKelvoStdTargetObject while the target runs its
// firmware, TKelvoStubTargetObject while it runs its bootloader (through which it is flashed in
// 8-byte blocks). Every target command is a vendor request to the controller. The controller reports
// a target that leaves (1) or changes (2) on its event path, and from firmware 8 on the generic
// driver on its data path.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/Cyphers.h"

#include <cstdint>
#include <functional>
#include <string>

#pragma pack(push, 1)
// What the controller reports of its target (16 bytes, little-endian).
struct TKelvoTargetFrameInfo {
    uint8_t bTarget;        // 1 normal mode, 2 bootloader, anything else: no usable target
    uint8_t bSinTableIndex; // sine table selected in the target
    uint16_t idProduct;     // the frame type
    uint16_t wDataSize;     // stored, not interpreted
    uint16_t wFirmwareVersion;
    TSerialNum SerialNum;
};
using PKelvoTargetFrameInfo = TKelvoTargetFrameInfo*;
#pragma pack(pop)
static_assert(sizeof(TKelvoTargetFrameInfo) == 16);

// Frame types: their names, short codes and the spacing of their two LED groups.
std::string FrameTypeDescription(uint16_t AProductId);
std::string FrameTypeCode(uint16_t AProductId);
double FrameLedsDistance(uint16_t AProductId);

// The target in normal mode: LEDs, signal levels, modulation frequencies, start and stop, its lock.
class TKelvoStdTargetObject : public TKelvoTargetObject {
public:
    // Throws std::logic_error ("Unknown target product id!") for a frame type the controller does
    // not drive (6, 7, 11 and 13 are driven).
    TKelvoStdTargetObject(TComponent* AOwner, TCommonKelvoUsbDevice* AParent, int AIndex,
                          const TKelvoTargetFrameInfo& AInfo);

    void SetDefaults() override;
    // Levels in 0..1 of full scale, clamped; NaN is refused without a request.
    bool SetSignal(double ASignal1, double ASignal2) override;
    // (1200, 1400) selects sine table 0, (1600, 1800) table 1; other pairs are refused.
    bool SetFrequencies(int AFreq1, int AFreq2) override;
    double Signal1() override;
    double Signal2() override;

    bool Start();
    bool Stop();
    bool SetLEDsBasic(uint16_t AGreen, uint16_t ARed);
    bool SetLEDsGroup(uint16_t AIndex, uint16_t AMask);
    bool SetLEDState(uint16_t AIndex, uint16_t AState);
    bool SetSinTableIndex(uint8_t AIndex);
    // AIndex is 0xFF unless the target answered.
    bool GetSinTableIndex(uint8_t& AIndex);
    bool SetSignalLevelsBasic(uint16_t ASignal1, uint16_t ASignal2);
    // The target's own key; on success it is kept and the target counts as unlocked.
    bool Enable(const TDeviceKey& AKey);
    double LedsDistance() const { return FrameLedsDistance(fProductId); }

    uint8_t fSinTableIndex = 0;
    uint16_t fDataSize = 0;
    uint16_t fSignalLevel1 = 0;
    uint16_t fSignalLevel2 = 0;
    bool fTargetLocked = false; // the target's own lock, apart from the base's fLocked
    TDeviceKey fDeviceKey = BlankDeviceKey;
};
using PKelvoStdTargetObject = TKelvoStdTargetObject*;

// The target in its bootloader: erase, synchronisation block, 8-byte writes, validation, and the
// factory commands.
class TKelvoStubTargetObject : public TKelvoTargetObject {
public:
    // Throws std::logic_error ("Unknown stub product id!") for a frame type the controller does not
    // drive.
    TKelvoStubTargetObject(TComponent* AOwner, TCommonKelvoUsbDevice* AParent, int AIndex,
                           const TKelvoTargetFrameInfo& AInfo);

    // A bootloader has no signal: refused without a request; the levels read 0.
    bool SetSignal(double ASignal1, double ASignal2) override;
    bool SetFrequencies(int AFreq1, int AFreq2) override;
    double Signal1() override;
    double Signal2() override;

    bool EraseFlash();
    bool SetSynchro(const TGOSTDataBlock& ASynchro);
    // One 8-byte block at byte offset AAddress of the image's data area; any other size is refused
    // without a request.
    bool WriteFlash(uint16_t AAddress, const void* AData, uint16_t ADataSize);
    bool ValidateFlash();
    bool SetSerialNumber(const TSerialNum& ASerial);
    bool SetDeviceKey(const TDeviceKey& AKey);
    bool GetDeviceKey(TDeviceKey& AKey);
    // Sends the fixed service access code.
    bool EnableSecretOperations();
    bool SetLEDsBasic(uint16_t AGreen, uint16_t ARed);
    bool SetLEDsGroup(uint16_t AIndex, uint16_t AMask);
    bool SetLEDState(uint16_t AIndex, uint16_t AState);

    static constexpr uint16_t KBlockSize = 8;
};
using PKelvoStubTargetObject = TKelvoStubTargetObject*;

class TKelvoTargetUsbDevice;
// A target object came or went; AFrame is the object concerned (still alive during the call).
using TTargetEvent = std::function<void(TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* AFrame)>;

class TKelvoTargetUsbDevice : public TCommonKelvoUsbDevice {
public:
    TKelvoTargetUsbDevice(TComponent* AOwner, const std::string& APath);
    ~TKelvoTargetUsbDevice() override;

    // --- Overrides, in the base's order ---
    void Initialize() override;
    // Stops a normal-mode target and reports both target objects gone.
    void Finalize() override;
    // The common open, then the target object for what the controller reports, without an event.
    bool Open() override;
    // Reports the target object gone, then closes.
    void Close() override;
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    void DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    bool GetSerialNum(PSerialNum ASerial) override;
    // On failure the controller counts as hardware 2, firmware 1.
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    // Firmware 0 and 1 have no lock query and count as locked.
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;

    // bTarget is 0xFF unless the controller answered.
    bool GetFrameInfo(TKelvoTargetFrameInfo& AInfo);
    // Whether the controller answers that a target is behind it, running or in its bootloader.
    bool TargetPresent();
    bool Lock();
    bool Enable(const TDeviceKey& AKey);
    // Restarts the target into its bootloader, or back into its firmware; the new target is reported.
    bool SwitchTargetToStub();
    bool ReconnectTarget();
    bool FrameConnected() const { return fFrame != nullptr; }
    bool StubConnected() const { return fStub != nullptr; }
    // Fires the connect event of the target object present, if any, without a request.
    void NotifyIfConnected();

    TKelvoStdTargetObject* Frame() const { return fFrame; }
    TKelvoStubTargetObject* Stub() const { return fStub; }
    const TDeviceKey& DeviceKey() const { return fDeviceKey; }

    TTargetEvent fOnDisconnect;
    TTargetEvent fOnConnect;
    TTargetEvent fOnStubConnect;
    TTargetEvent fOnStubDisconnect;

private:
    // Replaces the target object by the one the frame information describes. A frame type the
    // controller does not drive counts as no usable target: logged, no object, no event.
    void ConnectTarget(bool ADoNotify);
    // Clears the field before its event fires, then frees the object.
    void DisconnectTarget();
    // One report byte: 1 the target left, 2 it changed.
    void TargetReport(uint8_t AReport);

    TKelvoStdTargetObject* fFrame = nullptr; // owned
    TKelvoStubTargetObject* fStub = nullptr; // owned
    TDeviceKey fDeviceKey = BlankDeviceKey;
};
using PKelvoTargetUsbDevice = TKelvoTargetUsbDevice*;
