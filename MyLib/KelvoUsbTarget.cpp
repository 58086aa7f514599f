#include "MyLib/KelvoUsbTarget.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <typeinfo>

namespace {

constexpr uint8_t KReqLEDsBasic = 0x81;
constexpr uint8_t KReqStart = 0x83;
constexpr uint8_t KReqStop = 0x84;
constexpr uint8_t KReqLEDsGroup = 0x85;
constexpr uint8_t KReqLEDState = 0x86;
constexpr uint8_t KReqSetSinTable = 0x87;
constexpr uint8_t KReqSignalLevels = 0x88;
constexpr uint8_t KReqGetSinTable = 0x89;
constexpr uint8_t KReqFrameInfo = 0x8A;
constexpr uint8_t KReqSerial = 0x8B;
constexpr uint8_t KReqSetTargetSerial = 0x8C;
constexpr uint8_t KReqEnable = 0x8D;
constexpr uint8_t KReqEnableTarget = 0x8E;
constexpr uint8_t KReqSwitchTargetToStub = 0x8F;
constexpr uint8_t KReqErase = 0x90;
constexpr uint8_t KReqWrite = 0x91;
constexpr uint8_t KReqValidate = 0x92;
constexpr uint8_t KReqReconnectTarget = 0x93;
constexpr uint8_t KReqSynchro = 0x94;
constexpr uint8_t KReqSetTargetKey = 0x95;
constexpr uint8_t KReqEnableSecret = 0x96;
constexpr uint8_t KReqGetTargetKey = 0x97;
constexpr uint8_t KReqVersion = 0x98;
constexpr uint8_t KReqLocked = 0x99;
constexpr uint8_t KReqLock = 0x9A;

constexpr uint8_t KTargetNormal = 1;
constexpr uint8_t KTargetStub = 2;
constexpr uint8_t KReportGone = 1;
constexpr uint8_t KReportChanged = 2;
// Firmware that also reports on the data path (generic driver only).
constexpr uint16_t KFirmwareReportsAsData = 8;
// The target index at the controller: it drives exactly one.
constexpr int KTargetIndex = 1;
constexpr double KFullScale = 65535.0;

// The fixed code that opens the target bootloader's service operations.
constexpr char KServiceCode[8] = {'p', 'I', 'r', 'U', 'n', 'A', 'v', 'o'};

struct TFrameType {
    uint16_t ProductId;
    const char* Description;
    const char* Code;
    double LedsDistance;
};

const TFrameType KFrameTypes[] = {
    {6, "Standard, metal frame", "METAL", 182},
    {7, "Biathlon, version 1", "BIATHLON1", 80},
    {8, "50/25m", "50M", 625},
    {11, "Standard, plastic frame", "PLASTIC", 190},
    {12, "Standard for wireless, not used anymore", "NOT_USED", 190},
    {13, "Biathlon, version 2", "BIATHLON2", 182},
};
const TFrameType KUnknownFrame = {0, "Unknown target", "UNKNOWN", 182};

const TFrameType& FrameType(uint16_t AProductId) {
    for (const TFrameType& type : KFrameTypes)
        if (type.ProductId == AProductId)
            return type;
    return KUnknownFrame;
}

// The frame types the controller drives (the table names two more that it does not).
bool IsDrivenFrame(uint16_t AProductId) {
    return AProductId == 6 || AProductId == 7 || AProductId == 11 || AProductId == 13;
}

// The assertion text of a construction that cannot go on, with the unit it comes from.
[[noreturn]] void FailConstruction(const char* AMessage) {
    throw std::logic_error(std::string(AMessage) + " (MyLib/kelvousbtarget)");
}

// Every target command travels through the controller that is the target object's parent.
TCommonKelvoUsbDevice& ControllerOf(TComponent* AParent) {
    auto* controller = dynamic_cast<TCommonKelvoUsbDevice*>(AParent);
    if (!controller)
        throw std::bad_cast();
    return *controller;
}

} // namespace

std::string FrameTypeDescription(uint16_t AProductId) {
    return FrameType(AProductId).Description;
}

std::string FrameTypeCode(uint16_t AProductId) {
    return FrameType(AProductId).Code;
}

double FrameLedsDistance(uint16_t AProductId) {
    return FrameType(AProductId).LedsDistance;
}

// --- Target in normal mode ---

TKelvoStdTargetObject::TKelvoStdTargetObject(TComponent* AOwner, TCommonKelvoUsbDevice* AParent, int AIndex,
                                             const TKelvoTargetFrameInfo& AInfo)
    : TKelvoTargetObject(AOwner, AParent, AIndex) {
    TKelvoStdTargetObject::SetDefaults();
    if (!IsDrivenFrame(AInfo.idProduct))
        FailConstruction("Unknown target product id!");
    fTargetType = AInfo.bTarget;
    fSinTableIndex = AInfo.bSinTableIndex;
    fProductId = AInfo.idProduct;
    fDataSize = AInfo.wDataSize;
    fFWVersion = AInfo.wFirmwareVersion;
    fHWVersion = 1;
    fSerial = AInfo.SerialNum;
    fTargetLocked = fFWVersion <= 2;
    fDeviceKey = BlankDeviceKey;
    const double distance = FrameLedsDistance(fProductId);
    fLedsDistance = distance;
    LedsX[0] = LedsX[1] = 0;
    LedsY[0] = distance / 2;
    LedsY[1] = -distance / 2;
    fModelDescription = FrameTypeDescription(fProductId);
    fModelType = FrameTypeCode(fProductId);
}

void TKelvoStdTargetObject::SetDefaults() {
    TKelvoTargetObject::SetDefaults();
    fModelDescription.clear();
    fModelType.clear();
    fLedsDistance = 190;
    LedsX[0] = LedsX[1] = 0;
    LedsY[0] = 95;
    LedsY[1] = -95;
}

bool TKelvoStdTargetObject::SetSignal(double ASignal1, double ASignal2) {
    if (std::isnan(ASignal1) || std::isnan(ASignal2))
        return false;
    // Nearest, ties to even (the default rounding mode).
    auto level = [](double ASignal) {
        return uint16_t(std::nearbyint(std::clamp(ASignal, 0.0, 1.0) * KFullScale));
    };
    return SetSignalLevelsBasic(level(ASignal1), level(ASignal2));
}

bool TKelvoStdTargetObject::SetFrequencies(int AFreq1, int AFreq2) {
    if (AFreq1 == 1200 && AFreq2 == 1400)
        return SetSinTableIndex(0);
    if (AFreq1 == 1600 && AFreq2 == 1800)
        return SetSinTableIndex(1);
    return false;
}

double TKelvoStdTargetObject::Signal1() {
    return fSignalLevel1 / KFullScale;
}

double TKelvoStdTargetObject::Signal2() {
    return fSignalLevel2 / KFullScale;
}

bool TKelvoStdTargetObject::Start() {
    return ControllerOf(fParent).VendorRequest(KReqStart, 0, 0);
}

bool TKelvoStdTargetObject::Stop() {
    return ControllerOf(fParent).VendorRequest(KReqStop, 0, 0);
}

bool TKelvoStdTargetObject::SetLEDsBasic(uint16_t AGreen, uint16_t ARed) {
    return ControllerOf(fParent).VendorRequest(KReqLEDsBasic, AGreen, ARed);
}

bool TKelvoStdTargetObject::SetLEDsGroup(uint16_t AIndex, uint16_t AMask) {
    return ControllerOf(fParent).VendorRequest(KReqLEDsGroup, AMask, AIndex);
}

bool TKelvoStdTargetObject::SetLEDState(uint16_t AIndex, uint16_t AState) {
    return ControllerOf(fParent).VendorRequest(KReqLEDState, AState, AIndex);
}

bool TKelvoStdTargetObject::SetSinTableIndex(uint8_t AIndex) {
    return ControllerOf(fParent).VendorRequest(KReqSetSinTable, AIndex, 0);
}

bool TKelvoStdTargetObject::GetSinTableIndex(uint8_t& AIndex) {
    AIndex = 0xFF;
    uint8_t answer = 0;
    if (!ControllerOf(fParent).VendorRequestRead(&answer, 1, KReqGetSinTable, 0, 0))
        return false;
    AIndex = answer;
    return true;
}

bool TKelvoStdTargetObject::SetSignalLevelsBasic(uint16_t ASignal1, uint16_t ASignal2) {
    if (!ControllerOf(fParent).VendorRequest(KReqSignalLevels, ASignal1, ASignal2))
        return false;
    fSignalLevel1 = ASignal1;
    fSignalLevel2 = ASignal2;
    return true;
}

bool TKelvoStdTargetObject::Enable(const TDeviceKey& AKey) {
    if (!ControllerOf(fParent).VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), KReqEnableTarget, 0, 0))
        return false;
    fDeviceKey = AKey;
    fTargetLocked = false;
    return true;
}

// --- Target in its bootloader ---

TKelvoStubTargetObject::TKelvoStubTargetObject(TComponent* AOwner, TCommonKelvoUsbDevice* AParent, int AIndex,
                                               const TKelvoTargetFrameInfo& AInfo)
    : TKelvoTargetObject(AOwner, AParent, AIndex) {
    if (!IsDrivenFrame(AInfo.idProduct))
        FailConstruction("Unknown stub product id!");
    fTargetType = AInfo.bTarget;
    fProductId = AInfo.idProduct;
    fFWVersion = AInfo.wFirmwareVersion;
    fHWVersion = 1;
    fSerial = AInfo.SerialNum;
    fModelDescription = FrameTypeDescription(fProductId);
    fModelType = FrameTypeCode(fProductId);
}

bool TKelvoStubTargetObject::SetSignal(double, double) {
    return false;
}

bool TKelvoStubTargetObject::SetFrequencies(int, int) {
    return false;
}

double TKelvoStubTargetObject::Signal1() {
    return 0;
}

double TKelvoStubTargetObject::Signal2() {
    return 0;
}

bool TKelvoStubTargetObject::EraseFlash() {
    return ControllerOf(fParent).VendorRequest(KReqErase, 0, 0);
}

bool TKelvoStubTargetObject::SetSynchro(const TGOSTDataBlock& ASynchro) {
    // A copy, so the caller's block may sit anywhere (even unaligned inside an image).
    const TGOSTDataBlock synchro = ASynchro;
    return ControllerOf(fParent).VendorRequestWrite(&synchro, sizeof synchro, KReqSynchro, 0, 0);
}

bool TKelvoStubTargetObject::WriteFlash(uint16_t AAddress, const void* AData, uint16_t ADataSize) {
    if (ADataSize != KBlockSize || !AData)
        return false;
    return ControllerOf(fParent).VendorRequestWrite(AData, ADataSize, KReqWrite, AAddress, 0);
}

bool TKelvoStubTargetObject::ValidateFlash() {
    return ControllerOf(fParent).VendorRequest(KReqValidate, 0, 0);
}

bool TKelvoStubTargetObject::SetSerialNumber(const TSerialNum& ASerial) {
    return ControllerOf(fParent).VendorRequestWrite(ASerial.data(), uint32_t(ASerial.size()),
                                                    KReqSetTargetSerial, 0, 0);
}

bool TKelvoStubTargetObject::SetDeviceKey(const TDeviceKey& AKey) {
    return ControllerOf(fParent).VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), KReqSetTargetKey, 0,
                                                    0);
}

bool TKelvoStubTargetObject::GetDeviceKey(TDeviceKey& AKey) {
    TDeviceKey key;
    if (!ControllerOf(fParent).VendorRequestRead(key.data(), uint32_t(key.size()), KReqGetTargetKey, 0, 0))
        return false;
    AKey = key;
    return true;
}

bool TKelvoStubTargetObject::EnableSecretOperations() {
    return ControllerOf(fParent).VendorRequestWrite(KServiceCode, sizeof KServiceCode, KReqEnableSecret, 0,
                                                    0);
}

bool TKelvoStubTargetObject::SetLEDsBasic(uint16_t AGreen, uint16_t ARed) {
    return ControllerOf(fParent).VendorRequest(KReqLEDsBasic, AGreen, ARed);
}

bool TKelvoStubTargetObject::SetLEDsGroup(uint16_t AIndex, uint16_t AMask) {
    return ControllerOf(fParent).VendorRequest(KReqLEDsGroup, AMask, AIndex);
}

bool TKelvoStubTargetObject::SetLEDState(uint16_t AIndex, uint16_t AState) {
    return ControllerOf(fParent).VendorRequest(KReqLEDState, AState, AIndex);
}

// --- The controller ---

TKelvoTargetUsbDevice::TKelvoTargetUsbDevice(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoTargetUsbDevice::Initialize();
}

TKelvoTargetUsbDevice::~TKelvoTargetUsbDevice() {
    TKelvoTargetUsbDevice::Finalize();
}

void TKelvoTargetUsbDevice::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    fOnDisconnect = nullptr;
    fOnConnect = nullptr;
    fOnStubConnect = nullptr;
    fOnStubDisconnect = nullptr;
    fPollReads = true;
    fFrame = nullptr;
    fStub = nullptr;
    fDeviceKey = BlankDeviceKey;
}

void TKelvoTargetUsbDevice::Finalize() {
    if (TKelvoStdTargetObject* frame = fFrame) {
        frame->Stop();
        fFrame = nullptr;
        if (fOnDisconnect)
            fOnDisconnect(this, frame);
        delete frame;
    }
    fOnDisconnect = nullptr;
    fOnConnect = nullptr;
    if (TKelvoStubTargetObject* stub = fStub) {
        fStub = nullptr;
        if (fOnStubDisconnect)
            fOnStubDisconnect(this, stub);
        delete stub;
    }
    fOnStubConnect = nullptr;
    fOnStubDisconnect = nullptr;
    TCommonKelvoUsbDevice::Finalize();
}

bool TKelvoTargetUsbDevice::Open() {
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    ConnectTarget(false);
    return true;
}

void TKelvoTargetUsbDevice::Close() {
    DisconnectTarget();
    TCommonKelvoUsbDevice::Close();
    // The reader hands over what it still read while it stops, and a report among it makes a target
    // object again: that one goes too, so a closed controller holds none.
    DisconnectTarget();
}

void TKelvoTargetUsbDevice::ConnectTarget(bool ADoNotify) {
    DisconnectTarget();
    TKelvoTargetFrameInfo info;
    if (!GetFrameInfo(info))
        return;
    try {
        if (info.bTarget == KTargetNormal) {
            fFrame = new TKelvoStdTargetObject(this, this, KTargetIndex, info);
            if (ADoNotify && fOnConnect)
                fOnConnect(this, fFrame);
        } else if (info.bTarget == KTargetStub) {
            fStub = new TKelvoStubTargetObject(this, this, KTargetIndex, info);
            if (ADoNotify && fOnStubConnect)
                fOnStubConnect(this, fStub);
        }
    } catch (const std::logic_error& e) {
        // Raised out of here it would leave Open, or the reader's hand-over, half done.
        Log(e.what());
    }
}

void TKelvoTargetUsbDevice::DisconnectTarget() {
    if (TKelvoStdTargetObject* frame = fFrame) {
        fFrame = nullptr;
        if (fOnDisconnect)
            fOnDisconnect(this, frame);
        delete frame;
    }
    if (TKelvoStubTargetObject* stub = fStub) {
        fStub = nullptr;
        if (fOnStubDisconnect)
            fOnStubDisconnect(this, stub);
        delete stub;
    }
}

void TKelvoTargetUsbDevice::TargetReport(uint8_t AReport) {
    if (AReport == KReportGone)
        DisconnectTarget();
    else if (AReport == KReportChanged)
        ConnectTarget(true);
}

void TKelvoTargetUsbDevice::DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize) {
    if (ABuffer && ABufferSize > 0 && (ABuffer[0] == KReportGone || ABuffer[0] == KReportChanged))
        TargetReport(ABuffer[0]);
    else
        TCommonKelvoUsbDevice::DoEvent(ABuffer, ABufferSize);
}

void TKelvoTargetUsbDevice::DoData(const uint8_t* ABuffer, uint32_t ABufferSize) {
    // The data path carries nothing else for this controller.
    if (!ABuffer || fVersionFW < KFirmwareReportsAsData || !fIsWinUsb)
        return;
    for (uint32_t i = 0; i < ABufferSize; ++i)
        TargetReport(ABuffer[i]);
}

bool TKelvoTargetUsbDevice::TargetPresent() {
    TKelvoTargetFrameInfo info;
    return GetFrameInfo(info) && (info.bTarget == KTargetNormal || info.bTarget == KTargetStub);
}

bool TKelvoTargetUsbDevice::GetFrameInfo(TKelvoTargetFrameInfo& AInfo) {
    AInfo.bTarget = 0xFF;
    TKelvoTargetFrameInfo info;
    if (!VendorRequestRead(&info, sizeof info, KReqFrameInfo, 0, 0))
        return false;
    AInfo = info;
    return true;
}

bool TKelvoTargetUsbDevice::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(KReqSerial, ASerial);
}

bool TKelvoTargetUsbDevice::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    if (ReadVersionWords(KReqVersion, AHW, ASF))
        return true;
    fVersionHW = 2;
    fVersionFW = 1;
    return false;
}

bool TKelvoTargetUsbDevice::GetLocked(bool& ALocked) {
    if (fVersionFW <= 1) {
        ALocked = true;
        return true;
    }
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, KReqLocked, 0, 0))
        return false;
    ALocked = answer != 0;
    return true;
}

bool TKelvoTargetUsbDevice::Unlock(const TDeviceKey& AKey) {
    return SendUnlockKey(KReqEnable, AKey);
}

bool TKelvoTargetUsbDevice::Lock() {
    if (!VendorRequest(KReqLock, 0, 0))
        return false;
    fLocked = true;
    return true;
}

bool TKelvoTargetUsbDevice::Enable(const TDeviceKey& AKey) {
    return VendorRequestWrite(AKey.data(), uint32_t(AKey.size()), KReqEnable, 0, 0);
}

bool TKelvoTargetUsbDevice::SwitchTargetToStub() {
    return VendorRequest(KReqSwitchTargetToStub, 0, 0);
}

bool TKelvoTargetUsbDevice::ReconnectTarget() {
    return VendorRequest(KReqReconnectTarget, 0, 0);
}

void TKelvoTargetUsbDevice::NotifyIfConnected() {
    if (fFrame && fOnConnect)
        fOnConnect(this, fFrame);
    if (fStub && fOnStubConnect)
        fOnStubConnect(this, fStub);
}

std::string TKelvoTargetUsbDevice::ModelDescription() {
    return "KELVO USB electronic target";
}

std::string TKelvoTargetUsbDevice::ModelType() {
    return "BQC-01";
}

std::string TKelvoTargetUsbDevice::DeveloperName() {
    return "BQC-01-147(RS232)";
}

TKelvoUsbTransceiver TKelvoTargetUsbDevice::UsbTransceiver() {
    return KELVO_USB_D12;
}
