#include "MyLib/KelvoWirelessTargets.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr uint8_t KCmdStart = 0x10;
constexpr uint8_t KCmdStop = 0x11;
constexpr uint8_t KCmdTurnOff = 0x12;
constexpr uint8_t KCmdStartWithoutReceiver = 0x15;
constexpr uint8_t KCmdStartWithReceiver = 0x16;
constexpr uint8_t KCmdSetAddress = 0x17;
constexpr uint8_t KCmdGetProperties = 0x21;
constexpr uint8_t KCmdSetProperties = 0x22;
constexpr uint8_t KCmdReceiverOn = 0x23;
constexpr uint8_t KCmdSync = 0x24;
constexpr uint8_t KCmdSetIReds = 0x25;
constexpr uint8_t KCmdBiaProperties = 0x26; // the rapid-fire target answers its own properties
constexpr uint8_t KCmdBiaFlag = 0x27;
constexpr uint8_t KCmdSetReceiverMode = 0x28;
constexpr uint8_t KCmdGetReceiverMode = 0x29;
constexpr uint8_t KCmdGreenLeds = 0x30; // the blinker blinks
constexpr uint8_t KCmdRedLeds = 0x31;
constexpr uint8_t KCmdLeds = 0x32;
constexpr uint8_t KCmdLedsBrightness = 0x33;
constexpr uint8_t KCmdLampsBrightness = 0x34;
constexpr uint8_t KCmdFrequencies = 0x40;
constexpr uint8_t KCmdSignals = 0x50;
constexpr uint8_t KCmdLock = 0x61;
constexpr uint8_t KCmdUnlock = 0x62;
constexpr uint8_t KCmdBrightness = 0x71;
constexpr uint8_t KCmdGetCapabilities = 0x72;
constexpr uint8_t KCmdSetCapabilities = 0x73;

constexpr uint8_t KStubErase = 0x60;
constexpr uint8_t KStubWrite = 0x61;
constexpr uint8_t KStubReconnect = 0x62;
constexpr uint8_t KStubValidate = 0x63;
constexpr uint8_t KStubHWInfo = 0x64;
constexpr uint8_t KStubSynchro = 0x65;
constexpr uint8_t KStubSerial = 0x66;
constexpr uint8_t KStubSetSerial = 0x67;
constexpr uint8_t KStubSetKey = 0x68;
constexpr uint8_t KStubEnableSecret = 0x69;
constexpr uint8_t KStubGetKey = 0x6A;

constexpr uint16_t KTimeoutRead = 10000;
constexpr uint16_t KTimeoutWrite = 20000;
constexpr uint16_t KTimeoutLock = KELVO_TIMEOUT_MS + 500;
constexpr uint16_t KTimeoutBlock = KELVO_TIMEOUT_MS + 2000;
constexpr uint16_t KTimeoutErase = KELVO_TIMEOUT_MS + 15000;
constexpr uint16_t KTimeoutValidate = KELVO_TIMEOUT_MS + 30000;
constexpr uint16_t KTimeoutFactoryWrite = KELVO_TIMEOUT_MS + 1000;

constexpr uint16_t KProductStandard = 12;
constexpr uint16_t KProductBlinker = 15;
constexpr uint16_t KProductBiathlon = 18;
constexpr uint16_t KProductRapidFire = 20;
constexpr uint16_t KProductDumak = 22;

constexpr int KMaxFrequency = 10000;
constexpr int KFrequencyUnit = 100;
constexpr uint16_t KFirmwareWithCapabilities = 7;
constexpr uint16_t KHardwareWithBrightness = 3;
constexpr uint16_t KHardwareWithAddress = 6;
constexpr uint16_t KHardwareWithReceiverMode = 2;
constexpr int KMaxAddress = 31;

bool IsLevel(double ALevel) {
    return ALevel >= 0.0 && ALevel <= 1.0; // false for NaN
}

bool FitsByte(int AValue) {
    return AValue >= 0 && AValue <= 0xFF;
}

bool IsFrequency(int AFrequency) {
    return AFrequency >= 0 && AFrequency <= KMaxFrequency && AFrequency % KFrequencyUnit == 0;
}

} // namespace

TCustom485Target* New485TargetModel(TKelvoWireless* AController, int AIndex, uint16_t AProductId) {
    switch (AProductId) {
    case KProductStandard:
        return new TWirelessTarget(AController, AIndex);
    case KProductBlinker:
        return new TBlinker(AController, AIndex);
    case KProductBiathlon:
        return new TBiathlon2Target(AController, AIndex);
    case KProductRapidFire:
        return new TRFTarget(AController, AIndex);
    case KProductDumak:
        return new TKelvoDumakTarget(AController, AIndex);
    default:
        return nullptr;
    }
}

bool TLockableTarget::Lock(const TDeviceKey& AKey) {
    uint8_t cmd[1 + sizeof AKey] = {KCmdLock};
    std::memcpy(cmd + 1, AKey.data(), AKey.size());
    if (!Command(KTimeoutLock, cmd, sizeof cmd, nullptr, 0))
        return false;
    fLocked = true;
    return true;
}

bool TLockableTarget::Unlock(const TDeviceKey& AKey) {
    uint8_t cmd[1 + sizeof AKey] = {KCmdUnlock};
    std::memcpy(cmd + 1, AKey.data(), AKey.size());
    if (!Command(KTimeoutLock, cmd, sizeof cmd, nullptr, 0))
        return false;
    fLocked = false;
    return true;
}

TWirelessTarget::TWirelessTarget(TKelvoWireless* AController, int AIndex)
    : TLockableTarget(AController, AIndex) {
    TWirelessTarget::SetDefaults();
}

void TWirelessTarget::SetDefaults() {
    TLockableTarget::SetDefaults();
    fLedsDistance = 190;
    LedsX[0] = LedsX[1] = 0;
    LedsY[0] = 95;
    LedsY[1] = -95;
    fRealDistance = 10;
    fEmulatedDistance = 10;
    fMinSignalLevel = 10;
    fMaxSignalLevel = 250;
    fProperties = {};
    fCaps = {};
    fLedsBrightness = 0;
    fLampsBrightness = 0;
}

bool TWirelessTarget::SetSignal(double ASignal1, double ASignal2) {
    if (!IsLevel(ASignal1) || !IsLevel(ASignal2))
        return false;
    // Rounded to nearest, ties to even, as the default floating-point rounding does.
    const auto s1 = uint8_t(std::nearbyint(ASignal1 * 255));
    const auto s2 = uint8_t(std::nearbyint(ASignal2 * 255));
    if (!Command(KTimeoutWrite, {KCmdSignals, s1, s2}))
        return false;
    fProperties.bSig1 = s1;
    fProperties.bSig2 = s2;
    return true;
}

// Negative multiples of 100 are refused too: their codes would wrap around in the byte.
bool TWirelessTarget::SetFrequencies(int AFreq1, int AFreq2) {
    if (!IsFrequency(AFreq1) || !IsFrequency(AFreq2))
        return false;
    const auto c1 = uint8_t(AFreq1 / KFrequencyUnit);
    const auto c2 = uint8_t(AFreq2 / KFrequencyUnit);
    if (!Command(KTimeoutWrite, {KCmdFrequencies, c1, c2}))
        return false;
    fProperties.bFreq1 = c1;
    fProperties.bFreq2 = c2;
    return true;
}

double TWirelessTarget::Signal1() {
    return fProperties.bSig1 / 255.0;
}

double TWirelessTarget::Signal2() {
    return fProperties.bSig2 / 255.0;
}

std::string TWirelessTarget::Code128() {
    return std::string("KL:") + (fCaps.bReceiver ? "1" : "0") + (fCaps.bLamps ? "1" : "0") +
           Code128Serial(fSerial);
}

void TWirelessTarget::AssignInfo(const TTargetInfoBlock& ATIB) {
    TLockableTarget::AssignInfo(ATIB);
    GetProperties();
    GetLedsBrightness();
    GetLampsBrightness();
    GetCapabilities();
    if (fProductId != KProductStandard)
        return;
    if (fCaps.bReceiver == 1) {
        fModelDescription = "KELVO electronic target";
        fModelType = "RQT-01";
    } else {
        fModelDescription = "KELVO USB electronic target";
        fModelType = "EK4-12";
    }
}

bool TWirelessTarget::TurnOff() {
    if (!Command(0, {KCmdTurnOff}))
        return false;
    fProperties.bLeds1 = fProperties.bLeds2 = fProperties.bStarted = 0;
    return true;
}

bool TWirelessTarget::GetProperties() {
    TTargetPropertiesBlock answer{};
    if (!Command(KTimeoutRead, {KCmdGetProperties}, &answer, sizeof answer))
        return false;
    fProperties = answer;
    return true;
}

bool TWirelessTarget::SetProperties(const TTargetPropertiesBlock& AProp) {
    uint8_t cmd[1 + sizeof AProp] = {KCmdSetProperties};
    std::memcpy(cmd + 1, &AProp, sizeof AProp);
    if (!Command(KTimeoutWrite, cmd, sizeof cmd, nullptr, 0))
        return false;
    fProperties = AProp;
    return true;
}

bool TWirelessTarget::SetByte(uint8_t ACode, int AValue, uint8_t& AMirror) {
    if (!FitsByte(AValue) || !Command(0, {ACode, uint8_t(AValue)}))
        return false;
    AMirror = uint8_t(AValue);
    return true;
}

bool TWirelessTarget::GetByte(uint8_t ACode, uint8_t& AMirror) {
    uint8_t answer = 0;
    if (!Command(0, {ACode}, &answer, 1))
        return false;
    AMirror = answer;
    return true;
}

bool TWirelessTarget::SetReceiverOn(bool AValue) {
    return SetByte(KCmdReceiverOn, AValue, fProperties.bRcvEnabled);
}

bool TWirelessTarget::SetSync(bool AValue) {
    return SetByte(KCmdSync, AValue, fProperties.bSync);
}

bool TWirelessTarget::SetGreenLeds(int ALeds) {
    return SetByte(KCmdGreenLeds, ALeds, fProperties.bLeds1);
}

bool TWirelessTarget::SetRedLeds(int ALeds) {
    return SetByte(KCmdRedLeds, ALeds, fProperties.bLeds2);
}

bool TWirelessTarget::SetLeds(int AGreenLeds, int ARedLeds) {
    if (!FitsByte(AGreenLeds) || !FitsByte(ARedLeds) ||
        !Command(0, {KCmdLeds, uint8_t(AGreenLeds), uint8_t(ARedLeds)}))
        return false;
    fProperties.bLeds1 = uint8_t(AGreenLeds);
    fProperties.bLeds2 = uint8_t(ARedLeds);
    return true;
}

bool TWirelessTarget::HasLedsBrightness() const {
    return fHWVersion >= KHardwareWithBrightness;
}

bool TWirelessTarget::HasLampsBrightness() const {
    return fHWVersion >= KHardwareWithBrightness;
}

bool TWirelessTarget::SetLedsBrightness(int ALevel) {
    return HasLedsBrightness() && SetByte(KCmdLedsBrightness, ALevel, fLedsBrightness);
}

bool TWirelessTarget::SetLampsBrightness(int ALamps) {
    return HasLampsBrightness() && SetByte(KCmdLampsBrightness, ALamps, fLampsBrightness);
}

bool TWirelessTarget::GetLedsBrightness() {
    if (!HasLedsBrightness()) {
        fLedsBrightness = 0;
        return false;
    }
    return GetByte(KCmdBrightness, fLedsBrightness);
}

// The targets answer the lamps query with the same command as the LED one.
bool TWirelessTarget::GetLampsBrightness() {
    if (!HasLampsBrightness()) {
        fLampsBrightness = 0;
        return false;
    }
    return GetByte(KCmdBrightness, fLampsBrightness);
}

bool TWirelessTarget::GetCapabilities() {
    if (fFWVersion < KFirmwareWithCapabilities)
        return FixedCapabilities(false);
    TWirelessTargetCapabilities answer{};
    if (!Command(0, {KCmdGetCapabilities}, &answer, sizeof answer))
        return false;
    fCaps = answer;
    return true;
}

bool TWirelessTarget::SetCapabilities(const TWirelessTargetCapabilities& ACaps) {
    if (fFWVersion < KFirmwareWithCapabilities)
        return false;
    uint8_t cmd[1 + sizeof ACaps] = {KCmdSetCapabilities};
    std::memcpy(cmd + 1, &ACaps, sizeof ACaps);
    if (!Command(KTimeoutWrite, cmd, sizeof cmd, nullptr, 0))
        return false;
    fCaps = ACaps;
    return true;
}

bool TWirelessTarget::FixedCapabilities(bool ALamps) {
    fCaps = {};
    fCaps.bReceiver = 1;
    fCaps.bLamps = ALamps ? 1 : 0;
    return true;
}

bool TWirelessTarget::Start() {
    Log("START " + std::to_string(fIndex));
    if (!Command(0, {KCmdStart}))
        return false;
    fProperties.bStarted = 1;
    return true;
}

bool TWirelessTarget::Stop() {
    Log("STOP " + std::to_string(fIndex));
    if (!Command(0, {KCmdStop}))
        return false;
    fProperties.bStarted = 0;
    return true;
}

bool TWirelessTarget::StartWithoutReceiver() {
    if (!Command(0, {KCmdStartWithoutReceiver}))
        return false;
    fProperties.bStarted = 1;
    fProperties.bRcvEnabled = 0;
    return true;
}

bool TWirelessTarget::StartWithReceiver() {
    if (!Command(0, {KCmdStartWithReceiver}))
        return false;
    fProperties.bStarted = 1;
    fProperties.bRcvEnabled = 1;
    return true;
}

bool TWirelessTarget::SetAddress(int AAddress) {
    if (fHWVersion < KHardwareWithAddress || AAddress < 1 || AAddress > KMaxAddress)
        return false;
    return Command(0, {KCmdSetAddress, uint8_t(AAddress)});
}

TBlinker::TBlinker(TKelvoWireless* AController, int AIndex) : TLockableTarget(AController, AIndex) {
    TBlinker::SetDefaults();
}

void TBlinker::SetDefaults() {
    TLockableTarget::SetDefaults();
    fModelDescription = "Night-mode blinker";
    fModelType = "BLINKER";
    fProps = {};
}

bool TBlinker::TurnOff() {
    return Command(0, {KCmdTurnOff});
}

bool TBlinker::GetProperties() {
    uint8_t answer[sizeof(TBlinkerProperties)];
    if (!Command(0, {KCmdGetProperties}, answer, sizeof answer))
        return false;
    fProps = {GetLE16(answer), GetLE16(answer + 2), GetLE16(answer + 4), GetLE16(answer + 6)};
    return true;
}

bool TBlinker::SetProperties(const TBlinkerProperties& AProps) {
    uint8_t cmd[1 + sizeof AProps] = {KCmdSetProperties};
    PutLE16(cmd + 1, AProps.nBlinks);
    PutLE16(cmd + 3, AProps.msLight);
    PutLE16(cmd + 5, AProps.msDark);
    PutLE16(cmd + 7, AProps.wDACValue);
    if (!Command(KTimeoutWrite, cmd, sizeof cmd, nullptr, 0))
        return false;
    fProps = AProps;
    return true;
}

bool TBlinker::Blink() {
    return Command(0, {KCmdGreenLeds});
}

TBiathlon2Target::TBiathlon2Target(TKelvoWireless* AController, int AIndex)
    : TWirelessTarget(AController, AIndex) {
    TBiathlon2Target::SetDefaults();
}

void TBiathlon2Target::SetDefaults() {
    TWirelessTarget::SetDefaults();
    fModelDescription = "KELVO USB Biathlon target 5m";
    fModelType = "KBT 5";
    fLedsDistance = 50;
    LedsY[0] = 25;
    LedsY[1] = -25;
    fRealDistance = 5;
    fEmulatedDistance = 50;
    fIReds = 0;
    fFlag = 0;
    fReceiverMode = 0;
}

void TBiathlon2Target::AssignInfo(const TTargetInfoBlock& ATIB) {
    TWirelessTarget::AssignInfo(ATIB);
    GetBiaProperties();
    GetReceiverMode();
}

bool TBiathlon2Target::HasLedsBrightness() const {
    return true;
}

bool TBiathlon2Target::GetCapabilities() {
    return FixedCapabilities(true);
}

bool TBiathlon2Target::SetIReds(int AMask) {
    return SetByte(KCmdSetIReds, AMask, fIReds);
}

bool TBiathlon2Target::GetBiaProperties() {
    uint8_t answer[3] = {};
    if (!Command(0, {KCmdBiaProperties}, answer, sizeof answer))
        return false;
    fIReds = answer[0];
    fFlag = answer[1];
    fLedsBrightness = answer[2];
    return true;
}

bool TBiathlon2Target::SetBiaFlag(bool ATurnOn) {
    return SetByte(KCmdBiaFlag, ATurnOn, fFlag);
}

bool TBiathlon2Target::SetReceiverMode(int AMode) {
    return fHWVersion >= KHardwareWithReceiverMode && SetByte(KCmdSetReceiverMode, AMode, fReceiverMode);
}

bool TBiathlon2Target::GetReceiverMode() {
    if (fHWVersion < KHardwareWithReceiverMode) {
        fReceiverMode = 0;
        return false;
    }
    return GetByte(KCmdGetReceiverMode, fReceiverMode);
}

TRFTarget::TRFTarget(TKelvoWireless* AController, int AIndex) : TWirelessTarget(AController, AIndex) {
    TRFTarget::SetDefaults();
}

void TRFTarget::SetDefaults() {
    TWirelessTarget::SetDefaults();
    fModelDescription = "Rapid-fire target";
    fModelType = "RAPIDFIRE WL";
    fEmulatedDistance = 25;
    fIReds = 0;
    fLampStatus = 0;
}

void TRFTarget::AssignInfo(const TTargetInfoBlock& ATIB) {
    TWirelessTarget::AssignInfo(ATIB);
    if (fHWVersion == 1) {
        fLedsDistance = 57;
        LedsY[0] = 28.5;
        LedsY[1] = -28.5;
        fRealDistance = 5;
    } else if (fHWVersion == 2) {
        fLedsDistance = 50;
        LedsY[0] = 25;
        LedsY[1] = -25;
        fRealDistance = 2.5;
    }
    GetRapidFireProperties();
}

bool TRFTarget::HasLedsBrightness() const {
    return true;
}

bool TRFTarget::HasLampsBrightness() const {
    return true;
}

bool TRFTarget::GetCapabilities() {
    return FixedCapabilities(true);
}

bool TRFTarget::SetIReds(int AMask) {
    return SetByte(KCmdSetIReds, AMask, fIReds);
}

bool TRFTarget::GetRapidFireProperties() {
    uint8_t answer[4] = {};
    if (!Command(0, {KCmdBiaProperties}, answer, sizeof answer))
        return false;
    fIReds = answer[0];
    fLampStatus = answer[1];
    fLedsBrightness = answer[2];
    fLampsBrightness = answer[3];
    return true;
}

TKelvoDumakTarget::TKelvoDumakTarget(TKelvoWireless* AController, int AIndex)
    : TWirelessTarget(AController, AIndex) {
    TKelvoDumakTarget::SetDefaults();
}

void TKelvoDumakTarget::SetDefaults() {
    TWirelessTarget::SetDefaults();
    fModelDescription = "KELVO-Dumak target";
    fModelType = "KELVO-DUMAK";
}

bool TKelvoDumakTarget::GetCapabilities() {
    return FixedCapabilities(false);
}

TTargetStub::TTargetStub(TKelvoWireless* AController, int AIndex) : TCustom485Target(AController, AIndex) {
    TTargetStub::SetDefaults();
}

void TTargetStub::SetDefaults() {
    TCustom485Target::SetDefaults();
    fModelDescription = "Target stub";
    fModelType = "STUB";
    fProcessorID = 0;
    fCodeStartAddr = 0;
    fDeviceKey = BlankDeviceKey;
    fSecretOps = false;
}

void TTargetStub::AssignInfo(const TTargetInfoBlock& ATIB) {
    TCustom485Target::AssignInfo(ATIB);
    GetStubHWInfo();
}

bool TTargetStub::OkCommand(uint16_t ATimeout, const uint8_t* ACmd, int ACmdSize) {
    uint8_t ok = 0;
    return Command(ATimeout, ACmd, ACmdSize, &ok, 1) && ok != 0;
}

bool TTargetStub::EraseFlash() {
    const uint8_t cmd = KStubErase;
    return OkCommand(KTimeoutErase, &cmd, 1);
}

bool TTargetStub::WriteFlashBlock(uint16_t AAddress, const void* AData, uint8_t ADataSize) {
    const uint8_t size = std::min(ADataSize, KBlockSize);
    // The command always carries a whole block; the bytes beyond a short one are erased flash.
    uint8_t cmd[4 + KBlockSize];
    cmd[0] = KStubWrite;
    cmd[1] = size;
    PutLE16(cmd + 2, AAddress);
    std::fill(cmd + 4, cmd + sizeof cmd, 0xFF);
    if (size)
        std::memcpy(cmd + 4, AData, size);
    return OkCommand(KTimeoutBlock, cmd, sizeof cmd);
}

bool TTargetStub::Reconnect() {
    return Command(0, {KStubReconnect});
}

bool TTargetStub::ValidateFlash() {
    const uint8_t cmd = KStubValidate;
    return OkCommand(KTimeoutValidate, &cmd, 1);
}

bool TTargetStub::GetStubHWInfo() {
    uint8_t answer[sizeof(TStubHardwareInfo)];
    if (!Command(0, {KStubHWInfo}, answer, sizeof answer))
        return false;
    fProductId = GetLE16(answer);
    fProcessorID = GetLE16(answer + 2);
    fCodeStartAddr = GetLE16(answer + 4);
    std::memcpy(fSerial.data(), answer + 8, fSerial.size());
    return true;
}

bool TTargetStub::OkEightBytes(uint8_t ACode, uint16_t ATimeout, const void* ABytes) {
    uint8_t cmd[1 + 8] = {ACode};
    std::memcpy(cmd + 1, ABytes, 8);
    return OkCommand(ATimeout, cmd, sizeof cmd);
}

bool TTargetStub::SetSynchro(const TGOSTDataBlock& ASynchro) {
    static_assert(sizeof ASynchro == 8);
    return OkEightBytes(KStubSynchro, 0, &ASynchro);
}

bool TTargetStub::GetSerialNum(TSerialNum& ASerial) {
    TSerialNum answer{};
    if (!Command(0, {KStubSerial}, answer.data(), int(answer.size())))
        return false;
    ASerial = answer;
    fSerial = answer;
    return true;
}

bool TTargetStub::SetSerialNum(const TSerialNum& ASerial) {
    if (!OkEightBytes(KStubSetSerial, KTimeoutFactoryWrite, ASerial.data()))
        return false;
    fSerial = ASerial;
    return true;
}

bool TTargetStub::SetDeviceKey(const TDeviceKey& AKey) {
    if (!OkEightBytes(KStubSetKey, KTimeoutFactoryWrite, AKey.data()))
        return false;
    fDeviceKey = AKey;
    return true;
}

bool TTargetStub::EnableSecretOps(const TDeviceKey& ASecret) {
    if (!OkEightBytes(KStubEnableSecret, 0, ASecret.data()))
        return false;
    fSecretOps = true;
    return true;
}

bool TTargetStub::GetDeviceKey(TDeviceKey& AKey) {
    TDeviceKey answer{};
    if (!Command(0, {KStubGetKey}, answer.data(), int(answer.size())))
        return false;
    AKey = answer;
    fDeviceKey = answer;
    return true;
}

std::string TTargetStub::HardwareIdStr() const {
    const char* suffix = " (unknown)";
    switch (fProductId) {
    case KProductStandard:
        if (fProcessorID == 1611)
            suffix = " (Wireless target)";
        else if (fProcessorID != 2617)
            suffix = "";
        else if (fHWVersion == 3)
            suffix = " (Wireless target)";
        else if (fHWVersion == 5)
            suffix = " (Wireless target 2)";
        else
            suffix = " (unknown 2617)";
        break;
    case KProductBlinker:
        suffix = " (Blinker)";
        break;
    case KProductBiathlon:
        suffix = " (Biathlon WL target)";
        break;
    case KProductRapidFire:
        suffix = " (Rapid fire)";
        break;
    }
    return std::to_string(fProductId) + suffix;
}
