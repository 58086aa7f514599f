#include "MyLib/CommonKelvoUsbDevice.h"

#include "platform/LittleEndian.h"

#include "platform/WinError.h"

#include <cstdio>
#include <cstring>

namespace {

// The family driver's 8-byte vendor request block, little-endian; ALength bytes follow it.
std::vector<uint8_t> RequestBlock(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint16_t ALength) {
    std::vector<uint8_t> block(8);
    block[0] = bRequest;
    PutLE16(&block[2], wValue);
    PutLE16(&block[4], wIndex);
    PutLE16(&block[6], ALength);
    return block;
}

TUsbDeviceDescriptor DescriptorFromBytes(const uint8_t* ABytes) {
    TUsbDeviceDescriptor d;
    d.bLength = ABytes[0];
    d.bDescriptorType = ABytes[1];
    d.bcdUSB = GetLE16(ABytes + 2);
    d.bDeviceClass = ABytes[4];
    d.bDeviceSubClass = ABytes[5];
    d.bDeviceProtocol = ABytes[6];
    d.bMaxPacketSize0 = ABytes[7];
    d.idVendor = GetLE16(ABytes + 8);
    d.idProduct = GetLE16(ABytes + 10);
    d.bcdDevice = GetLE16(ABytes + 12);
    d.iManufacturer = ABytes[14];
    d.iProduct = ABytes[15];
    d.iSerialNumber = ABytes[16];
    d.bNumConfigurations = ABytes[17];
    return d;
}

constexpr uint32_t KLegacyLogClear = 0x887;
constexpr uint32_t KLegacyLogEnable = 0x888;
constexpr uint32_t KLegacyLogDisable = 0x889;
// Driver versions that answer the descriptor query, and that keep a driver-side log.
constexpr uint16_t KDriverWithDescriptor = 0x207;
constexpr uint16_t KDriverWithLog = 0x217;
constexpr uint16_t KDriverTooOld = 0x100;

const struct {
    uint16_t Bit;
    const char* Name;
} KRegionNames[] = {{0x001, "RU"}, {0x002, "EU"}, {0x004, "US"}, {0x008, "AF"}, {0x010, "ME"},
                    {0x020, "LA"}, {0x040, "CA"}, {0x080, "AS"}, {0x100, "OC"}, {0x200, "UK"}};

} // namespace

TCommonKelvoUsbDevice::TCommonKelvoUsbDevice(TComponent* AOwner, const std::string& APath)
    : TUsbDevice(AOwner, APath) {
    TCommonKelvoUsbDevice::Initialize();
}

TCommonKelvoUsbDevice::~TCommonKelvoUsbDevice() {
    TCommonKelvoUsbDevice::Close();
}

void TCommonKelvoUsbDevice::Initialize() {
    TUsbDevice::Initialize();
    fOnData = nullptr;
    fOnEvent = nullptr;
    fLog = nullptr;
    fOnLog = nullptr;
    fLogging = false;
    fIsWinUsb = false;
    hWinUsb = nullptr;
    fWinUsbReaders.clear();
    fDriverVersion = 0;
    fDriverVersionStr.clear();
    fSerialNum = NoSerialNum;
    fSerialNumValid = false;
    fVersionHW = 0;
    fVersionFW = 0;
    fLocked = true;
    fGetInfoAfterOpen = true;
    fDeviceDescriptor = TUsbDeviceDescriptor{};
    fDeviceDescriptorValid = false;
    fRegions = 0;
    fProtocolVersionMajor = 0;
    fProtocolVersionMinor = 0;
    fLogAvailable = false;
    fEnableLogAfterOpen = false;
    fActualStubVersion = 0;
    fStubCodeVersion = 0;
    fProductId = 0;
}

void TCommonKelvoUsbDevice::Finalize() {
    TUsbDevice::Finalize();
}

bool TCommonKelvoUsbDevice::Open() {
    fStartThreadAfterOpen = false;
    if (!TUsbDevice::Open())
        return false;
    // The path follows the driver installed for the device: only a device bound to the generic
    // driver accepts the generic binding.
    fIsWinUsb = LoadWinUsb() && hDev->InitializeGeneric() == ERROR_SUCCESS;
    if (!fIsWinUsb) {
        if (fPollReads)
            StartReaderThread();
    } else {
        hWinUsb = hDev.get();
        hWinUsb->SetPipePolicy(0, PIPE_TRANSFER_TIMEOUT, fRequestTimeout);
        CreatePipeReaders();
    }
    if (!fGetInfoAfterOpen)
        return true;

    // Each step stands on its own: a failure leaves the defaults and the next step runs.
    GetDriverVersion(nullptr);
    GetDeviceDescriptor(nullptr);
    if (fLogAvailable && fEnableLogAfterOpen)
        EnableLog();
    GetSerialNum(nullptr);
    if (!GetVersion(fVersionHW, fVersionFW)) {
        if (fVersionHW == 0)
            fVersionHW = 1;
        if (fVersionFW == 0)
            fVersionFW = 1;
    }
    if (!GetLocked(fLocked))
        fLocked = true;
    GetRegions(nullptr);
    GetProtocolVersion(nullptr);
    return true;
}

void TCommonKelvoUsbDevice::CreatePipeReaders() {
    TUsbInterfaceDescriptor descriptor{};
    if (hWinUsb->QueryInterfaceSettings(0, descriptor) != ERROR_SUCCESS)
        return;
    for (uint8_t i = 0; i < descriptor.bNumEndpoints; ++i) {
        TUsbPipeInformation pipe;
        if (hWinUsb->QueryPipe(0, i, pipe) != ERROR_SUCCESS || !(pipe.PipeId & 0x80))
            continue;
        TWinUsbPipeReadDataEvent onRead;
        if (pipe.PipeType == UsbdPipeTypeBulk)
            onRead = [this](TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ASize) {
                DataPipeRead(ASender, std::move(ABuffer), ASize);
            };
        else if (pipe.PipeType == UsbdPipeTypeInterrupt)
            onRead = [this](TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ASize) {
                EventPipeRead(ASender, std::move(ABuffer), ASize);
            };
        else
            continue;
        fWinUsbReaders.push_back(
            std::make_unique<TWinUsbBulkPipeReader>(hWinUsb, pipe, std::move(onRead), fSynchronizeThread));
        fWinUsbReaders.back()->Resume();
    }
}

void TCommonKelvoUsbDevice::Close() {
    fWinUsbReaders.clear(); // each reader stops itself
    hWinUsb = nullptr;
    TUsbDevice::Close();
}

void TCommonKelvoUsbDevice::ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) {
    // Records: type byte, 32-bit little-endian payload length, payload. Every length is checked
    // against what is left of the block, so a broken block ends the parsing instead of overrunning.
    constexpr uint32_t KHeader = 5;
    const uint8_t* block = ABuffer.get();
    uint32_t offset = 0;
    while (block && offset < ABufferSize) {
        uint32_t left = ABufferSize - offset;
        if (left < KHeader)
            break;
        uint8_t type = block[offset];
        uint32_t length = GetLE32(block + offset + 1);
        if (length > left - KHeader)
            break;
        const uint8_t* payload = block + offset + KHeader;
        if (type == KELVO_RECORD_DATA)
            DoData(payload, length);
        else if (type == KELVO_RECORD_EVENT)
            DoEvent(payload, length);
        else
            break;
        offset += KHeader + length;
    }
}

void TCommonKelvoUsbDevice::DoData(const uint8_t* ABuffer, uint32_t ABufferSize) {
    if (fOnData)
        fOnData(this, ABuffer, ABufferSize);
}

void TCommonKelvoUsbDevice::DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) {
    if (fOnEvent)
        fOnEvent(this, ABuffer, ABufferSize);
}

void TCommonKelvoUsbDevice::ProtocolVersionChanged() {}

void TCommonKelvoUsbDevice::DataPipeRead(TWinUsbBulkPipeReader*, TUsbBlock ABuffer, uint32_t ABufferSize) {
    DoData(ABuffer.get(), ABufferSize);
}

void TCommonKelvoUsbDevice::EventPipeRead(TWinUsbBulkPipeReader*, TUsbBlock ABuffer, uint32_t ABufferSize) {
    DoEvent(ABuffer.get(), ABufferSize);
}

bool TCommonKelvoUsbDevice::GetRegions(uint16_t* ARegions) {
    fRegions = KELVO_ALL_REGIONS;
    if (ARegions)
        *ARegions = fRegions;
    return true;
}

bool TCommonKelvoUsbDevice::SetRegions(uint16_t, PDeviceKey) {
    return false;
}

bool TCommonKelvoUsbDevice::NeedToRecoverOptionsAfterUpdate() {
    return true;
}

bool TCommonKelvoUsbDevice::CanChangeRegions() {
    return false;
}

std::string TCommonKelvoUsbDevice::ModelDescription() {
    return "Generic KELVO USB device";
}

std::string TCommonKelvoUsbDevice::ModelType() {
    return "";
}

bool TCommonKelvoUsbDevice::GetProtocolVersion(PProtocolVersion AVersion) {
    uint8_t answer[4];
    if (!VendorRequestRead(answer, sizeof answer, 0x45, 0, 0))
        return false;
    fProtocolVersionMajor = GetLE16(answer);
    fProtocolVersionMinor = GetLE16(answer + 2);
    if (AVersion)
        *AVersion = TProtocolVersion{fProtocolVersionMajor, fProtocolVersionMinor};
    ProtocolVersionChanged();
    return true;
}

std::string TCommonKelvoUsbDevice::Code128() {
    return "KX:" + Code128Word(fRegions) + Code128Serial(fSerialNum);
}

TOptionsResult TCommonKelvoUsbDevice::SaveOptions(TDeviceOptionsFile&) {
    return TOptionsResult::Done;
}

TOptionsResult TCommonKelvoUsbDevice::RecoverOptions(TDeviceOptionsFile&) {
    return TOptionsResult::Done;
}

bool TCommonKelvoUsbDevice::NeedToConfirmSwitchToStub() {
    return false;
}

std::string TCommonKelvoUsbDevice::SwitchToStubError() {
    return "Cannot switch device into STUB mode!";
}

bool TCommonKelvoUsbDevice::NeedToReplugAfterErase() {
    return false;
}

// --- Transport ---

bool TCommonKelvoUsbDevice::DriverControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut,
                                          uint32_t AOutSize, uint32_t& AReturned) {
    AReturned = 0;
    if (!Opened())
        return false;
    if (hDev->IoControl(ACode, AIn, AInSize, AOut, AOutSize, AReturned) != ERROR_SUCCESS)
        return false;
    // The driver never reports more than the output buffer holds; a count beyond it is not trusted.
    return AReturned <= AOutSize;
}

bool TCommonKelvoUsbDevice::ControlTransfer(uint8_t ARequestType, uint8_t bRequest, uint16_t wValue,
                                            uint16_t wIndex, void* ABuffer, uint32_t ASize,
                                            uint32_t& ATransferred) {
    ATransferred = 0;
    if (!hWinUsb || ASize > 0xFFFF)
        return false;
    TUsbSetupPacket setup{ARequestType, bRequest, wValue, wIndex, uint16_t(ASize)};
    if (hWinUsb->ControlTransfer(setup, ABuffer, ASize, ATransferred) != ERROR_SUCCESS)
        return false;
    return ATransferred <= ASize;
}

bool TCommonKelvoUsbDevice::VendorRequest(uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
    if (!Opened())
        return false;
    uint32_t transferred;
    if (fIsWinUsb)
        return ControlTransfer(0x40, bRequest, wValue, wIndex, nullptr, 0, transferred);
    // Overlapped: a device that does not answer costs at most the request time-out. The request is
    // shared with the driver, which keeps it (and its buffers) until it completes.
    auto block = RequestBlock(bRequest, wValue, wIndex, 0);
    std::shared_ptr<TUsbPendingIo> io =
        hDev->IoControlAsync(IOCTL_KELVO_VENDOR_REQUEST, block.data(), uint32_t(block.size()), 0);
    if (!io || !io->Wait(fRequestTimeout))
        return false;
    return io->Result(transferred) == ERROR_SUCCESS;
}

bool TCommonKelvoUsbDevice::VendorRequestWrite(const void* ABuffer, uint32_t ASize, uint8_t bRequest,
                                               uint16_t wValue, uint16_t wIndex) {
    // The request carries its length in 16 bits; a larger write cannot be described.
    if (!Opened() || ASize > 0xFFFF || (ASize && !ABuffer))
        return false;
    if (fIsWinUsb) {
        uint32_t transferred;
        return ControlTransfer(0x40, bRequest, wValue, wIndex, const_cast<void*>(ABuffer), ASize,
                               transferred) &&
               transferred == ASize;
    }
    auto block = RequestBlock(bRequest, wValue, wIndex, uint16_t(ASize));
    if (ASize)
        block.insert(block.end(), static_cast<const uint8_t*>(ABuffer),
                     static_cast<const uint8_t*>(ABuffer) + ASize);
    uint32_t returned;
    return DriverControl(IOCTL_KELVO_VENDOR_REQUEST, block.data(), uint32_t(block.size()), nullptr, 0,
                         returned);
}

bool TCommonKelvoUsbDevice::VendorRequestRead(void* ABuffer, uint32_t ASize, uint8_t bRequest,
                                              uint16_t wValue, uint16_t wIndex, uint32_t& AWasRead) {
    AWasRead = 0;
    if (!Opened() || ASize > 0xFFFF || (ASize && !ABuffer))
        return false;
    if (fIsWinUsb)
        return ControlTransfer(0xC0, bRequest, wValue, wIndex, ABuffer, ASize, AWasRead);
    auto block = RequestBlock(bRequest, wValue, wIndex, 0);
    return DriverControl(IOCTL_KELVO_VENDOR_REQUEST, block.data(), uint32_t(block.size()), ABuffer, ASize,
                         AWasRead);
}

bool TCommonKelvoUsbDevice::VendorRequestRead(void* ABuffer, uint32_t ASize, uint8_t bRequest,
                                              uint16_t wValue, uint16_t wIndex) {
    uint32_t wasRead;
    return VendorRequestRead(ABuffer, ASize, bRequest, wValue, wIndex, wasRead) && wasRead == ASize;
}

bool TCommonKelvoUsbDevice::VendorRequest(TVendorRequest& AVr) {
    if (AVr.IsDeviceToHost()) {
        AVr.Buffer.assign(AVr.wLength, 0);
        return VendorRequestRead(AVr.Buffer.data(), AVr.wLength, AVr.bRequest, AVr.wValue, AVr.wIndex,
                                 AVr.wWasRead);
    }
    if (AVr.wLength == 0)
        return VendorRequest(AVr.bRequest, AVr.wValue, AVr.wIndex);
    // A record claiming more data than it holds is not sent.
    if (!AVr.HasData())
        return false;
    return VendorRequestWrite(AVr.Buffer.data(), AVr.wLength, AVr.bRequest, AVr.wValue, AVr.wIndex);
}

// --- Family driver ---

bool TCommonKelvoUsbDevice::IoControl(uint32_t AFunction) {
    return IoControl(AFunction, nullptr, 0);
}

bool TCommonKelvoUsbDevice::IoControl(uint32_t AFunction, const void* AInBuffer, uint32_t AInBufSize) {
    uint32_t returned;
    return DriverControl(KelvoControlCode(AFunction), AInBuffer, AInBufSize, nullptr, 0, returned);
}

bool TCommonKelvoUsbDevice::DeviceControl(const void* ABufferOut, void* ABufferIn, uint32_t AOutBufferSize,
                                          uint32_t AInBufferSize, uint8_t bRequest, uint16_t wValue,
                                          uint16_t wIndex) {
    if (AOutBufferSize > 0xFFFF || (AOutBufferSize && !ABufferOut) || (AInBufferSize && !ABufferIn))
        return false;
    auto block = RequestBlock(bRequest, wValue, wIndex, uint16_t(AOutBufferSize));
    if (AOutBufferSize)
        block.insert(block.end(), static_cast<const uint8_t*>(ABufferOut),
                     static_cast<const uint8_t*>(ABufferOut) + AOutBufferSize);
    uint32_t returned;
    return DriverControl(IOCTL_KELVO_VENDOR_REQUEST, block.data(), uint32_t(block.size()), ABufferIn,
                         AInBufferSize, returned);
}

bool TCommonKelvoUsbDevice::DeviceControl(uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
    return DeviceControl(nullptr, nullptr, 0, 0, bRequest, wValue, wIndex);
}

bool TCommonKelvoUsbDevice::GetDriverVersion(uint16_t* AVersion) {
    if (fIsWinUsb) {
        if (AVersion)
            *AVersion = 0;
        fDriverVersion = 0;
        fDriverVersionStr = "WinUsb";
        fLogAvailable = false;
        return false;
    }
    uint8_t answer[2];
    uint32_t returned;
    if (DriverControl(IOCTL_KELVO_DRIVER_VERSION, nullptr, 0, answer, sizeof answer, returned) &&
        returned == sizeof answer) {
        fDriverVersion = GetLE16(answer);
        char text[16];
        std::snprintf(text, sizeof text, "0x%X", fDriverVersion);
        fDriverVersionStr = text;
        fLogAvailable = fDriverVersion >= KDriverWithLog;
        if (AVersion)
            *AVersion = fDriverVersion;
        return true;
    }
    // A driver too old to answer the query.
    fDriverVersion = KDriverTooOld;
    fDriverVersionStr = "Early";
    fLogAvailable = false;
    if (AVersion)
        *AVersion = fDriverVersion;
    return false;
}

bool TCommonKelvoUsbDevice::GetDeviceDescriptor(PUsbDeviceDescriptor ADeviceDescriptor) {
    uint8_t bytes[sizeof(TUsbDeviceDescriptor)];
    uint32_t transferred = 0;
    bool ok;
    if (fIsWinUsb) {
        ok = hWinUsb && hWinUsb->GetDescriptor(1, 0, 0, bytes, sizeof bytes, transferred) == ERROR_SUCCESS;
    } else {
        if (fDriverVersion < KDriverWithDescriptor) {
            fDeviceDescriptorValid = false;
            return false;
        }
        ok = DriverControl(IOCTL_KELVO_DEVICE_DESCRIPTOR, nullptr, 0, bytes, sizeof bytes, transferred);
    }
    if (!ok || transferred != sizeof bytes)
        return false;
    fDeviceDescriptor = DescriptorFromBytes(bytes);
    fProductId = fDeviceDescriptor.idProduct;
    fDeviceDescriptorValid = true;
    if (ADeviceDescriptor)
        *ADeviceDescriptor = fDeviceDescriptor;
    return true;
}

bool TCommonKelvoUsbDevice::EnableLog() {
    return !fIsWinUsb && IoControl(KLegacyLogEnable);
}

bool TCommonKelvoUsbDevice::DisableLog() {
    return !fIsWinUsb && IoControl(KLegacyLogDisable);
}

bool TCommonKelvoUsbDevice::ClearLog() {
    return !fIsWinUsb && IoControl(KLegacyLogClear);
}

bool TCommonKelvoUsbDevice::GetLogSize(uint32_t& ASize) {
    if (fIsWinUsb)
        return false;
    uint8_t answer[8];
    uint32_t returned;
    if (!DriverControl(IOCTL_KELVO_LOG_SIZE, nullptr, 0, answer, sizeof answer, returned) || returned < 4)
        return false;
    ASize = GetLE32(answer);
    return true;
}

bool TCommonKelvoUsbDevice::GetLog(void* ABuffer, uint32_t ABufferSize, uint32_t& ALogSize) {
    ALogSize = 0;
    if (fIsWinUsb || (ABufferSize && !ABuffer))
        return false;
    return DriverControl(IOCTL_KELVO_LOG_READ, nullptr, 0, ABuffer, ABufferSize, ALogSize);
}

bool TCommonKelvoUsbDevice::ReadSerialNum(uint8_t ARequest, PSerialNum ASerial) {
    TSerialNum serial;
    if (!VendorRequestRead(serial.data(), uint32_t(serial.size()), ARequest, 0, 0)) {
        // A device that no longer answers has no serial number to rely on.
        fSerialNumValid = false;
        return false;
    }
    fSerialNum = serial;
    fSerialNumValid = SerialValid(serial);
    if (ASerial)
        *ASerial = serial;
    return true;
}

bool TCommonKelvoUsbDevice::ReadVersionWords(uint8_t ARequest, uint16_t& AHW, uint16_t& ASF) {
    uint8_t answer[4];
    if (!VendorRequestRead(answer, sizeof answer, ARequest, 0, 0))
        return false;
    fVersionFW = GetLE16(answer);
    fVersionHW = GetLE16(answer + 2);
    AHW = fVersionHW;
    ASF = fVersionFW;
    return true;
}

bool TCommonKelvoUsbDevice::SendUnlockKey(uint8_t ARequest, const TDeviceKey& AKey) {
    if (!VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), ARequest, 0, 0))
        return false;
    fLocked = false;
    return true;
}

bool TCommonKelvoUsbDevice::ReadLockState(uint8_t ARequest, bool& ALocked, bool AOnlyOneLocks) {
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, ARequest, 0, 0))
        return false;
    fLocked = AOnlyOneLocks ? answer == 1 : answer != 0;
    ALocked = fLocked;
    return true;
}

bool TCommonKelvoUsbDevice::SendLockKey(uint8_t ARequest, const TDeviceKey& AKey) {
    if (!VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), ARequest, 0, 0))
        return false;
    fLocked = true;
    return true;
}

bool TCommonKelvoUsbDevice::ReadRegionsWord(uint8_t ARequest, uint16_t* ARegions) {
    uint8_t answer[2];
    if (!VendorRequestRead(answer, sizeof answer, ARequest, 0, 0))
        return false;
    fRegions = GetLE16(answer);
    if (ARegions)
        *ARegions = fRegions;
    return true;
}

bool TCommonKelvoUsbDevice::WriteRegionsWithKey(uint8_t ARequest, uint16_t ARegions, PDeviceKey AKey) {
    if (!AKey || !VendorRequestWrite(AKey->data(), uint32_t(AKey->size()), ARequest, ARegions, 0))
        return false;
    fRegions = ARegions;
    return true;
}

// --- Family-wide requests ---

bool TCommonKelvoUsbDevice::SwitchToStub() {
    return VendorRequest(0xFF, 0, 0);
}

bool TCommonKelvoUsbDevice::GetStubVersion(PKelvoStubVersion AVersion) {
    uint8_t answer[4];
    if (!VendorRequestRead(answer, sizeof answer, 0xFE, 0, 0))
        return false;
    fActualStubVersion = GetLE16(answer);
    fStubCodeVersion = GetLE16(answer + 2);
    if (AVersion)
        *AVersion = TKelvoStubVersion{fActualStubVersion, fStubCodeVersion};
    return true;
}

bool TCommonKelvoUsbDevice::CheckStubInfo() {
    bool answers = fVersionHW == 5 ? fVersionFW >= 11 : fVersionFW >= 10;
    return answers && VendorRequest(0xFD, 0, 0);
}

bool TCommonKelvoUsbDevice::HasUsb30CompatibilityIssue() {
    bool oldStub = fActualStubVersion == 0xFFFF || fActualStubVersion < 3;
    return oldStub && UsbTransceiver() == KELVO_USB_D12;
}

std::string TCommonKelvoUsbDevice::RegionsStr() const {
    if (fRegions == KELVO_ALL_REGIONS)
        return "ALL";
    if (fRegions == 0xFFE)
        return "~RU";
    std::string text;
    for (const auto& region : KRegionNames)
        if (fRegions & region.Bit) {
            if (!text.empty())
                text += ',';
            text += region.Name;
        }
    return text;
}

void TCommonKelvoUsbDevice::Log(const std::string& AText) {
    if (!fLogging)
        return;
    if (fLog)
        fLog->push_back(AText);
    if (fOnLog)
        fOnLog(this);
}
