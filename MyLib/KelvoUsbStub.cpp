#include "MyLib/KelvoUsbStub.h"

#include "MyLib/KelvoProducts.h"

#include "platform/LittleEndian.h"

#include <stdexcept>

namespace {

constexpr uint8_t KReqErase = 0x80;
constexpr uint8_t KReqWrite = 0x81;
constexpr uint8_t KReqReconnect = 0x82;
constexpr uint8_t KReqValidate = 0x83;
constexpr uint8_t KReqHardwareInfo = 0x84;
constexpr uint8_t KReqSynchro = 0x85;
constexpr uint8_t KReqSerial = 0x86;
constexpr uint8_t KReqSetSerial = 0x87;
constexpr uint8_t KReqSetKey = 0x88;
constexpr uint8_t KReqEnableSecret = 0x89;
constexpr uint8_t KReqGetKey = 0x8A;
constexpr uint8_t KReqStubVersion = 0x8B;
constexpr uint8_t KReqFirmwareVersion = 0x8C;
constexpr uint8_t KReqIsFuseLocked = 0x8D;
constexpr uint8_t KReqLockFuse = 0x8E;

// The first bootloader version with the fuse commands.
constexpr uint16_t KStubWithFuse = 3;

// The hardware version a processor implies on boards that came in a 147 and a 235 edition.
uint16_t ByProcessor(uint16_t AProcessor, uint16_t AUnchanged) {
    if (AProcessor == 147)
        return 2;
    if (AProcessor == 235)
        return 3;
    return AUnchanged;
}

} // namespace

TKelvoStubUSBDevice::TKelvoStubUSBDevice(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoStubUSBDevice::Initialize();
}

void TKelvoStubUSBDevice::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    fPollReads = false;
    fHWInfo.idProduct = 0;
    fHWInfo.wProcessorID = 0;
    fHWInfo.wCodeStartAddr = 0;
    fHWInfo.SerialNum = NoSerialNum;
    fHWInfo.VersionHW = 0xFFFF;
    fStubVersion = 0;
    fFirmwareVersion = 0;
    fGetInfoAfterOpen = false;
}

bool TKelvoStubUSBDevice::Open() {
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    GetSerialNum(nullptr);
    GetStubVersion(nullptr);
    GetFirmwareVersion(nullptr);
    return true;
}

bool TKelvoStubUSBDevice::GetSerialNum(PSerialNum ASerial) {
    if (!ReadSerialNum(KReqSerial, ASerial))
        return false;
    fHWInfo.SerialNum = fSerialNum;
    return true;
}

bool TKelvoStubUSBDevice::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    AHW = 1;
    ASF = 1;
    fVersionHW = 1;
    fVersionFW = 1;
    return false;
}

bool TKelvoStubUSBDevice::GetLocked(bool& ALocked) {
    fLocked = false;
    ALocked = false;
    return true;
}

bool TKelvoStubUSBDevice::Unlock(const TDeviceKey&) {
    return true;
}

std::string TKelvoStubUSBDevice::DeveloperName() {
    return "STUB";
}

TKelvoUsbTransceiver TKelvoStubUSBDevice::UsbTransceiver() {
    const bool x5xx = fHWInfo.wProcessorID >= 5500 && fHWInfo.wProcessorID <= 5699;
    return x5xx ? KELVO_USB_MSP430X5XX : KELVO_USB_D12;
}

bool TKelvoStubUSBDevice::EraseFlash() {
    return VendorRequest(KReqErase, 0, 0);
}

bool TKelvoStubUSBDevice::WriteFlash(uint16_t AAddress, const void* AData, uint16_t ADataSize) {
    if (ADataSize > KELVO_STUB_BLOCK_SIZE)
        throw std::invalid_argument("Invalid flash data block size");
    if (uint32_t(AAddress) + ADataSize > KELVO_STUB_IMAGE_SIZE)
        throw std::invalid_argument("Invalid flash data block address");
    return VendorRequestWrite(AData, ADataSize, KReqWrite, AAddress, 0);
}

bool TKelvoStubUSBDevice::ReconnectUsb() {
    return VendorRequest(KReqReconnect, 0, 0);
}

bool TKelvoStubUSBDevice::ValidateFlash() {
    return VendorRequest(KReqValidate, 0, 0);
}

bool TKelvoStubUSBDevice::SetSynchro(const TGOSTDataBlock& ASynchro) {
    // A copy, so the caller's block may sit anywhere (even unaligned inside an image).
    const TGOSTDataBlock synchro = ASynchro;
    return VendorRequestWrite(&synchro, sizeof synchro, KReqSynchro, 0, 0);
}

bool TKelvoStubUSBDevice::GetHardwareInfo(TStubHardwareInfo& AInfo) {
    TStubHardwareInfo info;
    if (!VendorRequestRead(&info, sizeof info, KReqHardwareInfo, 0, 0))
        return false;
    FixHardwareVersion(info);
    AInfo = info;
    fProductId = info.idProduct;
    fHWInfo = info;
    return true;
}

bool TKelvoStubUSBDevice::GetStubVersion(uint16_t* AVersion) {
    uint8_t answer[2];
    if (!VendorRequestRead(answer, sizeof answer, KReqStubVersion, 0, 0)) {
        fStubVersion = 1;
        return false;
    }
    fStubVersion = GetLE16(answer);
    if (AVersion)
        *AVersion = fStubVersion;
    return true;
}

bool TKelvoStubUSBDevice::GetFirmwareVersion(uint16_t* AVersion) {
    uint8_t answer[2];
    const bool ok = VendorRequestRead(answer, sizeof answer, KReqFirmwareVersion, 0, 0);
    fFirmwareVersion = ok ? GetLE16(answer) : 0;
    if (AVersion)
        *AVersion = fFirmwareVersion;
    return ok;
}

void TKelvoStubUSBDevice::FixHardwareVersion(TStubHardwareInfo& AInfo) {
    if (AInfo.VersionHW != 0 && AInfo.VersionHW != 0xFFFF)
        return;
    const TKelvoProduct* product = FindKelvoProduct(AInfo.idProduct);
    if (!product)
        return;
    if (product->StubHardware == TKelvoStubHardware::Fixed)
        AInfo.VersionHW = product->StubFixedHardware;
    else if (product->StubHardware == TKelvoStubHardware::ByProcessor)
        AInfo.VersionHW = ByProcessor(AInfo.wProcessorID, AInfo.VersionHW);
}

bool TKelvoStubUSBDevice::SetSerialNumber(const TSerialNum& ASerial) {
    if (!SerialValid(ASerial))
        return false;
    if (!VendorRequestWrite(ASerial.data(), uint32_t(ASerial.size()), KReqSetSerial, 0, 0))
        return false;
    fSerialNum = ASerial;
    fSerialNumValid = true;
    return true;
}

bool TKelvoStubUSBDevice::SetDeviceKey(const TDeviceKey& AKey) {
    return VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), KReqSetKey, 0, 0);
}

bool TKelvoStubUSBDevice::GetDeviceKey(TDeviceKey& AKey) {
    TDeviceKey key;
    if (!VendorRequestRead(key.data(), uint32_t(key.size()), KReqGetKey, 0, 0))
        return false;
    AKey = key;
    return true;
}

bool TKelvoStubUSBDevice::EnableSecretOperations(const TSecretKey& AKey) {
    return VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), KReqEnableSecret, 0, 0);
}

bool TKelvoStubUSBDevice::IsFuseLocked(bool& AIsLocked) {
    if (fStubVersion < KStubWithFuse)
        return false;
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, KReqIsFuseLocked, 0, 0))
        return false;
    AIsLocked = answer != 0;
    return true;
}

bool TKelvoStubUSBDevice::LockFuse() {
    if (fStubVersion < KStubWithFuse)
        return false;
    return VendorRequest(KReqLockFuse, 0, 0);
}

std::string TKelvoStubUSBDevice::GetDeviceInfo() const {
    const TKelvoProduct* product = FindKelvoProduct(fHWInfo.idProduct);
    const std::string name = product ? HardwareName(product->StubNames, fHWInfo.VersionHW) : "";
    std::string text = name.empty() ? std::string() : name + ", ";
    return text + "V" + std::to_string(fStubVersion) + ", CPU:" + std::to_string(fHWInfo.wProcessorID);
}

std::string TKelvoStubUSBDevice::GetVersionInfo() const {
    if (fHWInfo.VersionHW == 0 || fHWInfo.VersionHW == 0xFFFF)
        return "Hardware version is not available!";
    return "Hardware version: " + std::to_string(fHWInfo.VersionHW);
}

std::string TKelvoStubUSBDevice::GetFirmwareVersionStr() const {
    if (fFirmwareVersion == 0)
        return "Firmware version: not available";
    if (fFirmwareVersion == 0xFFFF)
        return "Firmware version: none";
    return "Firmware version: " + std::to_string(fFirmwareVersion);
}
