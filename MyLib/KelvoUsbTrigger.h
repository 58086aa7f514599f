#pragma once
// TKelvoTriggerUsbDevice: the trigger controller (product id 5). It reports the force on the trigger
// as a 15-bit level with a validity bit; the host smooths it with a low-pass filter. Besides that it
// is identified like every family device, with a lock and, on newer hardware and firmware, the
// market regions it is sold for.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/MyMath.h"

#include <cstdint>
#include <functional>

class TKelvoTriggerUsbDevice;
// One trigger reading: the (filtered) level.
using TTriggerNotify = std::function<void(TKelvoTriggerUsbDevice* ASender, float ALevel)>;

class TKelvoTriggerUsbDevice : public TCommonKelvoUsbDevice {
public:
    TKelvoTriggerUsbDevice(TComponent* AOwner, const std::string& APath);
    ~TKelvoTriggerUsbDevice() override;

    void Initialize() override;
    // Clears the event, stops a device that is open, then closes.
    void Finalize() override;
    // One trigger reading.
    void DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) override;
    bool GetSerialNum(PSerialNum ASerial) override;
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    // Hardware below 4 or firmware below 8 keeps no regions: every region, without a request.
    bool GetRegions(uint16_t* ARegions) override;
    // Needs the device key; a device without regions accepts only every region.
    bool SetRegions(uint16_t ARegions, PDeviceKey APassword) override;
    bool NeedToRecoverOptionsAfterUpdate() override;
    bool CanChangeRegions() override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;

    // Firmware below 4 locks without a key.
    bool Lock(const TDeviceKey& AKey);
    bool Start();
    bool Stop();

    TCheb2 fCheb;
    float fLevel = 0;
    bool fValid = false;
    TTriggerNotify fOnTrigger;
    bool fUseFilter = true;
    bool fStarted = false;

private:
    // Hardware and firmware that keep regions in the device.
    bool HasRegions() const;
};
using PKelvoTriggerUsbDevice = TKelvoTriggerUsbDevice*;
