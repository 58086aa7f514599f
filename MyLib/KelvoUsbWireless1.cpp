#include "MyLib/KelvoUsbWireless1.h"

#include "MyLib/KelvoWirelessTargets.h"
#include "platform/LittleEndian.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr uint8_t KReqSerial = 0x81;
constexpr uint8_t KReqStatusTable = 0x82;
constexpr uint8_t KReqVersion = 0x86;
constexpr uint8_t KReqLock = 0x89;
constexpr uint8_t KReqUnlock = 0x8A;
constexpr uint8_t KReqLocked = 0x8B;
constexpr uint8_t KReqPower = 0x90;
constexpr uint8_t KReqSetPriority = 0xA0;
constexpr uint8_t KReqGetPriority = 0xA1;
constexpr uint8_t KReqResetOvercharge = 0xA2;
constexpr uint8_t KReqGetOvercharge = 0xA3;
constexpr uint8_t KReqMaxRetries = 0xA4;
constexpr uint8_t KReqRegions = 0xD0;
constexpr uint8_t KReqTargetCmd = 0xF0;
constexpr uint8_t KReqTargetAnswer = 0xF1;

constexpr uint8_t KCmdTargetInfo = 0x20;
constexpr uint8_t KCmdSwitchToStub = 0xF0;

constexpr uint8_t KPacketSensorData = 0x44;
constexpr uint8_t KPacketStatus = 0x88;
constexpr uint8_t KPacketOvercharge = 0xCC;
constexpr uint32_t KPacketHeader = 2;
// Sensor data: the target's index in the low bits of the byte after the header, then the sensor's
// packet, whose first byte holds its own length (that byte included) in its low bits.
constexpr uint8_t KSensorIndexMask = 0x1F;
constexpr uint32_t KSensorPayloadOffset = 3;

constexpr uint16_t KProductNewTransceiver = 0x22;
constexpr uint16_t KProductOld = 0x0E;
constexpr uint16_t KFirmwareWithRegions = 8;

// The host waits for a target command as long as the radio may take plus this margin, so that a
// command the target finished in time is never reported as failed; a time-out word of 0 leaves
// the radio time to the controller and the host keeps its usual limit.
constexpr uint32_t KHostMarginMs = 2000;

uint32_t RadioTimeoutMs(uint16_t ATimeout) {
    if (ATimeout & KELVO_TIMEOUT_MS)
        return ATimeout & 0x7FFF;
    return (uint32_t(ATimeout) + 999) / 1000;
}

std::string Format(const char* AFormat, auto... AArgs) {
    char text[160];
    std::snprintf(text, sizeof text, AFormat, AArgs...);
    return text;
}

} // namespace

TKelvoWireless::TKelvoWireless(TComponent* AOwner, const std::string& APath)
    : TCommonKelvoUsbDevice(AOwner, APath) {
    TKelvoWireless::Initialize();
}

TKelvoWireless::~TKelvoWireless() {
    TKelvoWireless::Finalize();
}

void TKelvoWireless::Initialize() {
    TCommonKelvoUsbDevice::Initialize();
    fTargs.fill(nullptr);
    fStatus.fill(0);
    fOnTargetConnect = nullptr;
    fOnTargetDisconnect = nullptr;
    fOnOvercharge = nullptr;
    fPowerOn = false;
    fThreadName = "RQT";
    fOvercharge = 0;
    fPriorityTarget = 0;
    bMaxCommandRetries = 1;
    fTargetsHistory.clear();
    fSensors.clear();
    fOnNewSensor = nullptr;
    fWirelessSensorsEnabled = true;
}

void TKelvoWireless::Finalize() {
    if (Opened())
        Close();
    fOnTargetConnect = nullptr;
    fOnTargetDisconnect = nullptr;
    fOnOvercharge = nullptr;
    DestroyWirelessSensors();
    FreeRetiredSensors();
    fOnNewSensor = nullptr;
    fTargetsHistory.clear();
    TCommonKelvoUsbDevice::Finalize();
}

bool TKelvoWireless::Open() {
    fPowerOn = false;
    if (!TCommonKelvoUsbDevice::Open())
        return false;
    UpdateTargetsStatusTable(false);
    uint8_t priority;
    GetPriorityTarget(priority);
    GetOvercharge(nullptr);
    GetMaxCommandRetries(nullptr);
    return true;
}

void TKelvoWireless::Close() {
    for (int i = 1; i <= KELVO_WIRELESS_TARGETS; ++i)
        DisconnectTargetAt(i);
    fStatus.fill(0);
    if (Opened())
        TurnPowerOff();
    fPowerOn = false;
    TCommonKelvoUsbDevice::Close();
}

void TKelvoWireless::DataPipeRead(TWinUsbBulkPipeReader*, TUsbBlock ABuffer, uint32_t ABufferSize) {
    ProcessData(std::move(ABuffer), ABufferSize);
}

void TKelvoWireless::ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) {
    const uint8_t* block = ABuffer.get();
    uint32_t offset = 0;
    while (block && offset < ABufferSize) {
        // A lone trailing byte cannot hold a packet id.
        if (ABufferSize - offset < KPacketHeader) {
            Log(Format("Bad packet: size=%d, id=%d, ABufferSize=%d, offset=%d", int(block[offset]), -1,
                       int(ABufferSize), int(offset)));
            return;
        }
        const uint8_t length = block[offset];
        const uint8_t id = block[offset + 1];
        if (length == 0) {
            Log("Bad packet, size == 0 !!!");
            return;
        }
        if (length > ABufferSize - offset) {
            Log(Format("Bad packet: size=%d, id=%d, ABufferSize=%d, offset=%d", int(length), int(id),
                       int(ABufferSize), int(offset)));
            return;
        }
        const uint8_t* packet = block + offset;
        const uint32_t payloadSize = length >= KPacketHeader ? length - KPacketHeader : 0;
        switch (id) {
        case KPacketSensorData:
            DoData(packet, length);
            break;
        case KPacketStatus:
            // A short status packet would apply bytes that are not part of it, creating and
            // freeing targets at random.
            if (payloadSize >= KELVO_WIRELESS_TARGETS)
                ApplyStatusTable(packet + KPacketHeader);
            else
                Log(Format("Bad status packet: size=%d", int(length)));
            break;
        case KPacketOvercharge:
            HandleOvercharge(packet + KPacketHeader, length);
            break;
        default:
            break;
        }
        offset += length;
    }
}

void TKelvoWireless::HandleOvercharge(const uint8_t* APayload, uint32_t ASize) {
    if (ASize < 3 || APayload[0] != 1)
        return;
    fOvercharge = 1;
    if (fOnOvercharge)
        fOnOvercharge(this);
}

bool TKelvoWireless::TargetCmd(uint8_t AIndex, uint16_t ATimeout, const void* ACmd, int ACmdBufferSize,
                               void* AAnswer, int AAnswerBufferSize, int& AAnsweredSize) {
    const uint32_t savedTimeout = fRequestTimeout;
    if (ATimeout)
        fRequestTimeout = std::max(savedTimeout, RadioTimeoutMs(ATimeout) + KHostMarginMs);
    if (fIsWinUsb && hWinUsb && fRequestTimeout != savedTimeout)
        hWinUsb->SetPipePolicy(0, PIPE_TRANSFER_TIMEOUT, fRequestTimeout);
    bool ok = ACmdBufferSize >= 0 &&
              VendorRequestWrite(ACmd, uint32_t(ACmdBufferSize), KReqTargetCmd, ATimeout, AIndex);
    if (ok && AAnswer && AAnswerBufferSize > 0) {
        uint32_t wasRead = 0;
        ok = VendorRequestRead(AAnswer, uint32_t(AAnswerBufferSize), KReqTargetAnswer, ATimeout, AIndex,
                               wasRead);
        if (ok)
            AAnsweredSize = int(wasRead);
    }
    if (fRequestTimeout != savedTimeout) {
        fRequestTimeout = savedTimeout;
        if (fIsWinUsb && hWinUsb)
            hWinUsb->SetPipePolicy(0, PIPE_TRANSFER_TIMEOUT, fRequestTimeout);
    }
    if (ok)
        return true;
    std::string line =
        (ATimeout & KELVO_TIMEOUT_MS)
            ? Format("TargetCmd fail: index=%d, timeout=%d ms, cmd=(", int(AIndex), int(ATimeout & 0x7FFF))
            : Format("TargetCmd fail: index=%d, timeout=%d mks, cmd=(", int(AIndex), int(ATimeout));
    const auto* cmd = static_cast<const uint8_t*>(ACmd);
    for (int i = 0; cmd && i < ACmdBufferSize; ++i) {
        if (i)
            line += ",";
        line += Format("%x", unsigned(cmd[i]));
    }
    Log(line + ")");
    return false;
}

bool TKelvoWireless::GetTargetInfoBlock(int AIndex, TTargetInfoBlock& ATIB) {
    const uint8_t cmd = KCmdTargetInfo;
    uint8_t answer[sizeof(TTargetInfoBlock)];
    int answered = 0;
    if (AIndex < 1 || AIndex > KELVO_WIRELESS_TARGETS ||
        !TargetCmd(uint8_t(AIndex), KELVO_TIMEOUT_TARGET_INFO, &cmd, 1, answer, sizeof answer, answered) ||
        answered != int(sizeof answer)) {
        Log("TKelvoWireless.GetTargetInfoBlock failed!");
        return false;
    }
    ATIB.bIndex = answer[0];
    ATIB.bTarget = answer[1];
    ATIB.wProductId = GetLE16(answer + 2);
    ATIB.wFWVersion = GetLE16(answer + 4);
    ATIB.wHWVersion = GetLE16(answer + 6);
    std::memcpy(ATIB.SerialNum.data(), answer + 8, ATIB.SerialNum.size());
    ATIB.bLocked = answer[16];
    return true;
}

bool TKelvoWireless::UpdateTargetsStatusTable(bool ADoNotify) {
    uint8_t table[KELVO_WIRELESS_TARGETS];
    if (!VendorRequestRead(table, sizeof table, KReqStatusTable, 0, 0))
        return false;
    for (int i = 1; i <= KELVO_WIRELESS_TARGETS; ++i) {
        const uint8_t status = table[i - 1];
        fStatus[std::size_t(i - 1)] = status;
        if (!status)
            DisconnectTargetAt(i);
        else if (fTargs[std::size_t(i - 1)])
            RefreshTargetAt(i, ADoNotify);
        else
            ConnectTargetAt(i, ADoNotify);
    }
    return true;
}

void TKelvoWireless::ApplyStatusTable(const uint8_t* AStatus) {
    for (int i = 1; i <= KELVO_WIRELESS_TARGETS; ++i) {
        const uint8_t status = AStatus[i - 1];
        const uint8_t previous = std::exchange(fStatus[std::size_t(i - 1)], status);
        if (!status)
            DisconnectTargetAt(i);
        else if (!fTargs[std::size_t(i - 1)])
            ConnectTargetAt(i, true);
        else if (status != previous)
            RefreshTargetAt(i, true);
    }
}

void TKelvoWireless::RefreshTargetAt(int AIndex, bool ADoNotify) {
    TCustom485Target* target = fTargs[std::size_t(AIndex - 1)];
    TTargetInfoBlock tib{};
    if (!GetTargetInfoBlock(AIndex, tib))
        return;
    const bool same = tib.bTarget == target->fTargetType && tib.wProductId == target->fProductId &&
                      tib.wFWVersion == target->fFWVersion && tib.wHWVersion == target->fHWVersion &&
                      (tib.bLocked != 0) == target->fLocked && SameSerial(tib.SerialNum, target->fSerial);
    if (same)
        return;
    DisconnectTargetAt(AIndex);
    ConnectTargetAt(AIndex, ADoNotify);
}

void TKelvoWireless::ConnectTargetAt(int AIndex, bool ADoNotify) {
    DisconnectTargetAt(AIndex);
    TTargetInfoBlock tib{};
    if (!GetTargetInfoBlock(AIndex, tib))
        return;
    if (tib.bIndex != AIndex)
        Log("ON CONNECT: Invalid target index");
    TCustom485Target* target = nullptr;
    switch (tib.bTarget) {
    case KELVO_485_FIRMWARE:
        target = New485TargetModel(this, AIndex, tib.wProductId);
        if (!target) {
            Log("ON CONNECT: unknown target model");
            return;
        }
        break;
    case KELVO_485_BOOTLOADER:
        Log("ON CONNECT: stub");
        target = new TTargetStub(this, AIndex);
        break;
    case KELVO_485_INVALID:
        Log("ON CONNECT: Target invalid");
        return;
    default:
        Log("ON CONNECT: Target unknown");
        return;
    }
    target->AssignInfo(tib);
    TTargetsHistoryItem& history = FindHistoryItem(tib.SerialNum);
    if (tib.bTarget == KELVO_485_BOOTLOADER)
        ++history.ConnectedAsStub;
    else
        ++history.ConnectedAsTarget;
    ++history.TotalConnects;
    target->AssignHistory(history);
    fTargs[std::size_t(AIndex - 1)] = target;
    if (ADoNotify && fOnTargetConnect)
        fOnTargetConnect(this, target);
}

void TKelvoWireless::DisconnectTargetAt(int AIndex) {
    TCustom485Target* target = std::exchange(fTargs[std::size_t(AIndex - 1)], nullptr);
    if (!target)
        return;
    if (fOnTargetDisconnect)
        fOnTargetDisconnect(this, target);
    // A sensor never keeps a target that is gone: it uses the default geometry until its next
    // packet aims it again.
    for (auto* sensors : {&fSensors, &fRetiredSensors})
        for (TCustomWirelessSensor* sensor : *sensors)
            sensor->ForgetTarget(target);
    delete target;
}

TTargetsHistoryItem& TKelvoWireless::FindHistoryItem(const TSerialNum& ASerial) {
    for (auto& item : fTargetsHistory)
        if (SameSerial(item.Serial, ASerial))
            return item;
    return fTargetsHistory.emplace_back(TTargetsHistoryItem{ASerial, 0, 0, 0});
}

TCustom485Target* TKelvoWireless::Targets(int AIndex) const {
    if (AIndex < 1 || AIndex > KELVO_WIRELESS_TARGETS)
        return nullptr;
    return fTargs[std::size_t(AIndex - 1)];
}

void TKelvoWireless::NotifyConnected() {
    // A handler may cause targets to come and go; each index is looked at as it is reached.
    for (int i = 1; fOnTargetConnect && i <= KELVO_WIRELESS_TARGETS; ++i)
        if (TCustom485Target* target = fTargs[std::size_t(i - 1)])
            fOnTargetConnect(this, target);
}

void TKelvoWireless::DoData(const uint8_t* ABuffer, uint32_t ABufferSize) {
    if (!fWirelessSensorsEnabled)
        return;
    if (ABufferSize <= KPacketHeader) {
        Log(Format("TARGET DATA: too small packet, size = %d", int(ABufferSize)));
        return;
    }
    const int index = ABuffer[KPacketHeader] & KSensorIndexMask;
    if (index == 0) {
        Log("TARGET INDEX = 0");
        return;
    }
    // Five bits reach 31; the radio has 16 indexes.
    if (index > KELVO_WIRELESS_TARGETS) {
        Log(Format("TARGET INDEX = %d out of range", index));
        return;
    }
    TCustom485Target* target = Targets(index);
    if (!target) {
        Log("TARGET == NULL");
        return;
    }
    if (!dynamic_cast<TWirelessTarget*>(target)) {
        Log("TARGET is not wireless");
        return;
    }
    // The sensor's packet must lie wholly inside the bytes received before anything reads it.
    const uint32_t received = ABufferSize - std::min(ABufferSize, KSensorPayloadOffset);
    const uint32_t length = received ? ABuffer[KSensorPayloadOffset] & KSensorPacketLengthMask : 0;
    if (length == 0 || length > received) {
        Log(Format("BAD PACKET, sensor length %d, received %d", int(length), int(received)));
        return;
    }
    // The sensor decodes in place (an inverted packet is turned back), so it gets its own copy; a
    // sensor packet is at most 31 bytes, so what follows beyond the copy is never read.
    std::array<uint8_t, 256> packet;
    const uint32_t size = std::min<uint32_t>(received, packet.size());
    std::copy_n(ABuffer + KSensorPayloadOffset, size, packet.begin());
    DispatchSensorPacket(packet.data(), size, target);
}

void TKelvoWireless::DispatchSensorPacket(uint8_t* APacket, uint32_t ASize, TCustom485Target* ATarget) {
    ++fSensorDispatchDepth;
    auto it = std::find_if(fSensors.begin(), fSensors.end(), [&](TCustomWirelessSensor* ASensor) {
        return ASensor->CheckPacket(APacket, ASize);
    });
    TCustomWirelessSensor* sensor = nullptr;
    if (it != fSensors.end()) {
        sensor = *it;
        if (sensor->Target() != ATarget)
            sensor->SetDynamicTarget(ATarget);
        // Moved to the front before it decodes: a point handler may change the list.
        std::rotate(fSensors.begin(), it, it + 1);
    } else if (TWirelessSensorClass make = SensorClassFor(APacket, ASize); !make)
        Log("BAD PACKET, unknown class");
    else {
        sensor = make(this);
        if (!sensor->GetSerialFromPacket(APacket, ASize)) {
            delete sensor;
            sensor = nullptr;
        } else {
            sensor->OnDestroy = [this](TCustomWirelessSensor* ASender) { SensorDestroyed(ASender); };
            sensor->SetDynamicTarget(ATarget);
            // In the list before the handler runs, so that a handler that destroys it (or every
            // sensor) takes it out again.
            fSensors.push_back(sensor);
            std::rotate(fSensors.begin(), fSensors.end() - 1, fSensors.end());
            if (fOnNewSensor)
                fOnNewSensor(this, sensor);
            if (std::find(fSensors.begin(), fSensors.end(), sensor) == fSensors.end())
                sensor = nullptr;
        }
    }
    if (sensor)
        sensor->Feed(APacket, ASize);
    if (--fSensorDispatchDepth == 0)
        FreeRetiredSensors();
}

void TKelvoWireless::SensorDestroyed(TCustomWirelessSensor* ASender) {
    auto it = std::find(fSensors.begin(), fSensors.end(), ASender);
    if (it != fSensors.end())
        fSensors.erase(it);
}

void TKelvoWireless::DisableWirelessSensors() {
    fWirelessSensorsEnabled = false;
    DestroyWirelessSensors();
}

void TKelvoWireless::DestroyWirelessSensors() {
    while (!fSensors.empty()) {
        TCustomWirelessSensor* sensor = fSensors.front();
        fSensors.erase(fSensors.begin());
        if (fSensorDispatchDepth == 0) {
            delete sensor;
            continue;
        }
        // A sensor may be decoding a packet right now (its point handler, still running, called
        // us): it stops handing out points and is freed once the packet is done.
        sensor->StopPoints();
        fRetiredSensors.push_back(sensor);
    }
}

void TKelvoWireless::FreeRetiredSensors() {
    while (!fRetiredSensors.empty()) {
        TCustomWirelessSensor* sensor = fRetiredSensors.back();
        fRetiredSensors.pop_back();
        delete sensor;
    }
}

bool TKelvoWireless::TurnPowerOn() {
    if (!VendorRequest(KReqPower, 1, 0))
        return false;
    fPowerOn = true;
    return true;
}

bool TKelvoWireless::TurnPowerOff() {
    if (!VendorRequest(KReqPower, 0, 0))
        return false;
    fPowerOn = false;
    return true;
}

bool TKelvoWireless::GetSerialNum(PSerialNum ASerial) {
    return ReadSerialNum(KReqSerial, ASerial);
}

bool TKelvoWireless::GetVersion(uint16_t& AHW, uint16_t& ASF) {
    return ReadVersionWords(KReqVersion, AHW, ASF);
}

bool TKelvoWireless::GetLocked(bool& ALocked) {
    return ReadLockState(KReqLocked, ALocked);
}

bool TKelvoWireless::Lock(const TDeviceKey& AKey) {
    return SendLockKey(KReqLock, AKey);
}

bool TKelvoWireless::Unlock(const TDeviceKey& AKey) {
    return SendUnlockKey(KReqUnlock, AKey);
}

bool TKelvoWireless::GetRegions(uint16_t* ARegions) {
    if (fVersionFW < KFirmwareWithRegions)
        return TCommonKelvoUsbDevice::GetRegions(ARegions);
    return ReadRegionsWord(KReqRegions, ARegions);
}

bool TKelvoWireless::SetRegions(uint16_t ARegions, PDeviceKey APassword) {
    if (fVersionFW < KFirmwareWithRegions)
        return TCommonKelvoUsbDevice::SetRegions(ARegions, APassword);
    return WriteRegionsWithKey(KReqRegions, ARegions, APassword);
}

bool TKelvoWireless::NeedToRecoverOptionsAfterUpdate() {
    return fVersionFW < KFirmwareWithRegions;
}

bool TKelvoWireless::CanChangeRegions() {
    return fVersionFW >= KFirmwareWithRegions;
}

bool TKelvoWireless::IsNewTransceiver() const {
    return fDeviceDescriptor.idProduct == KProductNewTransceiver;
}

bool TKelvoWireless::SetPriorityTarget(uint8_t AIndex) {
    if (IsNewTransceiver() ? !VendorRequest(KReqSetPriority, AIndex, 0) : AIndex != 0)
        return false;
    fPriorityTarget = AIndex;
    return true;
}

bool TKelvoWireless::GetPriorityTarget(uint8_t& AIndex) {
    if (!IsNewTransceiver()) {
        AIndex = 0;
        return true;
    }
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, KReqGetPriority, 0, 0))
        return false;
    fPriorityTarget = answer;
    AIndex = answer;
    return true;
}

bool TKelvoWireless::GetOvercharge(uint8_t* pbOC) {
    if (!IsNewTransceiver()) {
        fOvercharge = 0;
        return true;
    }
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, KReqGetOvercharge, 0, 0))
        return false;
    fOvercharge = answer;
    if (pbOC)
        *pbOC = answer;
    return true;
}

bool TKelvoWireless::ResetOvercharge() {
    if (IsNewTransceiver() && !VendorRequest(KReqResetOvercharge, 0, 0))
        return false;
    fOvercharge = 0;
    return true;
}

bool TKelvoWireless::HasMaxCommandRetries() const {
    return (fVersionHW == 4 && fVersionFW >= 10) || (fVersionHW == 3 && fVersionFW >= 5) ||
           (fVersionHW == 2 && fVersionFW >= 5);
}

bool TKelvoWireless::GetMaxCommandRetries(uint8_t* pbMaxRetries) {
    if (!HasMaxCommandRetries()) {
        bMaxCommandRetries = 1;
        if (pbMaxRetries)
            *pbMaxRetries = 1;
        return true;
    }
    uint8_t answer = 0;
    if (!VendorRequestRead(&answer, 1, KReqMaxRetries, 0, 0)) {
        Log("Vendor 0xa4 failed");
        return false;
    }
    Log(Format("bMaxCommandRetries = %d", int(answer)));
    bMaxCommandRetries = answer;
    if (pbMaxRetries)
        *pbMaxRetries = answer;
    return true;
}

bool TKelvoWireless::SetMaxCommandRetries(uint8_t bMaxRetries) {
    if (!HasMaxCommandRetries()) {
        bMaxCommandRetries = 1;
        return bMaxRetries == 1;
    }
    if (!VendorRequest(KReqMaxRetries, bMaxRetries, 0))
        return false;
    bMaxCommandRetries = bMaxRetries;
    return true;
}

std::string TKelvoWireless::ModelDescription() {
    return "KELVO electronic target controller";
}

std::string TKelvoWireless::ModelType() {
    if (IsNewTransceiver())
        return fVersionHW == 4 ? "RQC-01" : "unknown";
    switch (fVersionHW) {
    case 2:
        return "RQC-01(147)";
    case 3:
        return "RQC-01(235)";
    default:
        return "RQC-01(OLD)";
    }
}

std::string TKelvoWireless::DeveloperName() {
    if (IsNewTransceiver())
        return "RI5508";
    if (fDeviceDescriptor.idProduct == KProductOld && fVersionHW == 2)
        return "VA485-147";
    if (fDeviceDescriptor.idProduct == KProductOld && fVersionHW == 3)
        return "VA485-235";
    return "VA485-??";
}

TKelvoUsbTransceiver TKelvoWireless::UsbTransceiver() {
    return IsNewTransceiver() ? KELVO_USB_MSP430X5XX : KELVO_USB_D12;
}

TCustom485Target::TCustom485Target(TKelvoWireless* AController, int AIndex)
    : TKelvoTargetObject(AController, AController, AIndex) {
    TCustom485Target::SetDefaults();
}

void TCustom485Target::SetDefaults() {
    TKelvoTargetObject::SetDefaults();
    fModelDescription = "Custom target device";
    fModelType = "CUSTOM";
    fWasConnectedAsStub = 0;
    fWasConnectedAsTarget = 0;
    fTotalConnects = 0;
}

void TCustom485Target::ReleaseResources() {
    TKelvoTargetObject::ReleaseResources();
}

bool TCustom485Target::SetSignal(double, double) {
    return false;
}

bool TCustom485Target::SetFrequencies(int, int) {
    return false;
}

double TCustom485Target::Signal1() {
    return 0;
}

double TCustom485Target::Signal2() {
    return 0;
}

void TCustom485Target::AssignIdentity(const TTargetInfoBlock& ATIB) {
    fSerial = ATIB.SerialNum;
    fProductId = ATIB.wProductId;
    fTargetType = ATIB.bTarget;
    fFWVersion = ATIB.wFWVersion;
    fHWVersion = ATIB.wHWVersion;
    fLocked = ATIB.bLocked != 0;
}

void TCustom485Target::AssignInfo(const TTargetInfoBlock& ATIB) {
    AssignIdentity(ATIB);
}

bool TCustom485Target::TurnOff() {
    return true;
}

TKelvoWireless* TCustom485Target::TargetController() const {
    return &dynamic_cast<TKelvoWireless&>(*fParent);
}

void TCustom485Target::AssignHistory(const TTargetsHistoryItem& AItem) {
    fWasConnectedAsStub = AItem.ConnectedAsStub;
    fWasConnectedAsTarget = AItem.ConnectedAsTarget;
    fTotalConnects = AItem.TotalConnects;
}

bool TCustom485Target::Command(uint16_t ATimeout, const uint8_t* ACmd, int ACmdSize, void* AAnswer,
                               int AAnswerSize) {
    int answered = 0;
    return TargetController()->TargetCmd(uint8_t(fIndex), ATimeout, ACmd, ACmdSize, AAnswer, AAnswerSize,
                                         answered) &&
           (AAnswerSize == 0 || answered == AAnswerSize);
}

bool TCustom485Target::Command(uint16_t ATimeout, std::initializer_list<uint8_t> ACmd, void* AAnswer,
                               int AAnswerSize) {
    return Command(ATimeout, ACmd.begin(), int(ACmd.size()), AAnswer, AAnswerSize);
}

bool TCustom485Target::SwitchToStub() {
    return Command(0, {KCmdSwitchToStub});
}

bool TCustom485Target::GetTargetInfoBlock(TTargetInfoBlock& ATIB) {
    return TargetController()->GetTargetInfoBlock(fIndex, ATIB);
}

bool TCustom485Target::UpdateTargetInfo() {
    TTargetInfoBlock tib{};
    if (!GetTargetInfoBlock(tib))
        return false;
    AssignIdentity(tib);
    return true;
}
