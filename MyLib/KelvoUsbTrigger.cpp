#include "MyLib/KelvoUsbTrigger.h"

#include "platform/LittleEndian.h"

namespace {

constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqVersion = 0x85;
constexpr uint8_t KReqLocked = 0x86;
constexpr uint8_t KReqLock = 0x87;
constexpr uint8_t KReqUnlock = 0x88;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqLockWithKey = 0x8C;
constexpr uint8_t KReqRegions = 0xD0;

// The first firmware that locks with the key.
constexpr uint16_t KFirmwareLockWithKey = 4;
// Regions are kept from this hardware and firmware on; this hardware has the newer USB chip.
constexpr uint16_t KHardwareWithRegions = 4;
constexpr uint16_t KFirmwareWithRegions = 8;
constexpr uint16_t KHardwareMsp430 = 4;

} // namespace

TKelvoTriggerUsbDevice::TKelvoTriggerUsbDevice(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoTriggerUsbDevice::Initialize();
}

TKelvoTriggerUsbDevice::~TKelvoTriggerUsbDevice() {
    TKelvoTriggerUsbDevice::Finalize();
}

void TKelvoTriggerUsbDevice::Initialize() {
    fCheb.Init(0.05, TFilterPassType::LowPass, 0.05, 2);
    fCheb.Reset();
    fOnTrigger = nullptr;
    fLevel = 0;
    fValid = false;
    fUseFilter = true;
    fStarted = false;
    TCommonKelvoUsbDevice::Initialize();
}

void TKelvoTriggerUsbDevice::Finalize() {
    fOnTrigger = nullptr;
    fOnData = nullptr;
    fOnEvent = nullptr;
    if (Opened())
        Stop();
    TCommonKelvoUsbDevice::Finalize();
}

void TKelvoTriggerUsbDevice::DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) {
    TCommonKelvoUsbDevice::DoEvent(ABuffer, ABufferSize);
    if (!ABuffer || ABufferSize < 2)
        return;
    // Bit 15 set marks a reading the device does not vouch for.
    const uint16_t word = GetLE16(ABuffer);
    const uint16_t level = word & 0x7FFF;
    fValid = (word & 0x8000) == 0;
    fLevel = fUseFilter ? float(fCheb.Filter(level)) : float(level);
    if (fOnTrigger)
        fOnTrigger(this, fLevel);
}

bool TKelvoTriggerUsbDevice::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(KReqSerial, ASerial);
}

bool TKelvoTriggerUsbDevice::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    return ReadVersionWords(KReqVersion, AHW, ASF);
}

bool TKelvoTriggerUsbDevice::GetLocked(bool& ALocked) {
    // The trigger answers 1 when locked; any other answer is unlocked.
    return ReadLockState(KReqLocked, ALocked, true);
}

bool TKelvoTriggerUsbDevice::Unlock(const TDeviceKey& AKey) {
    return SendUnlockKey(KReqUnlock, AKey);
}

bool TKelvoTriggerUsbDevice::Lock(const TDeviceKey& AKey) {
    if (fVersionFW >= KFirmwareLockWithKey)
        return SendLockKey(KReqLockWithKey, AKey);
    if (!VendorRequest(KReqLock, 0, 0))
        return false;
    fLocked = true;
    return true;
}

bool TKelvoTriggerUsbDevice::HasRegions() const {
    return fVersionHW >= KHardwareWithRegions && fVersionFW >= KFirmwareWithRegions;
}

bool TKelvoTriggerUsbDevice::GetRegions(uint16_t* ARegions) {
    if (!HasRegions())
        return TCommonKelvoUsbDevice::GetRegions(ARegions);
    return ReadRegionsWord(KReqRegions, ARegions);
}

bool TKelvoTriggerUsbDevice::SetRegions(uint16_t ARegions, PDeviceKey APassword) {
    if (!HasRegions()) {
        fRegions = KELVO_ALL_REGIONS;
        return ARegions == KELVO_ALL_REGIONS;
    }
    return WriteRegionsWithKey(KReqRegions, ARegions, APassword);
}

bool TKelvoTriggerUsbDevice::NeedToRecoverOptionsAfterUpdate() {
    return false;
}

bool TKelvoTriggerUsbDevice::CanChangeRegions() {
    return HasRegions();
}

bool TKelvoTriggerUsbDevice::Start() {
    if (!VendorRequest(KReqStart, 0, 0))
        return false;
    fStarted = true;
    return true;
}

bool TKelvoTriggerUsbDevice::Stop() {
    if (!VendorRequest(KReqStop, 0, 0))
        return false;
    fStarted = false;
    return true;
}

std::string TKelvoTriggerUsbDevice::ModelDescription() {
    return "KELVO USB Trigger control";
}

std::string TKelvoTriggerUsbDevice::ModelType() {
    return "KTG 01";
}

std::string TKelvoTriggerUsbDevice::DeveloperName() {
    switch (fVersionHW) {
    case 1:
    case 2:
        return "KTG-01-147";
    case 3:
        return "KTG-01-235";
    case 4:
        return "KTG-01-5508";
    default:
        return "KTG-??";
    }
}

TKelvoUsbTransceiver TKelvoTriggerUsbDevice::UsbTransceiver() {
    return fVersionHW >= KHardwareMsp430 ? KELVO_USB_MSP430X5XX : KELVO_USB_D12;
}
