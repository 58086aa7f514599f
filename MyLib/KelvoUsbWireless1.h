#pragma once
// TKelvoWireless: the wireless target controller (product 0x0E, or 0x22 with the newer USB chip). It
// reaches up to 16 targets over its radio: the host sends each target command as a vendor request
// addressed by the target's index, the controller forwards it and hands back the target's answer.
// The controller keeps a 16-entry table of the indexes that hold a target and pushes that table on
// every change, together with sensor data and overcharge alarms, as packets on its data path.
#include "MyLib/CommonKelvoUsbDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#pragma pack(push, 1)
// The answer to target command 0x20.
struct TTargetInfoBlock {
    uint8_t bIndex;
    uint8_t bTarget; // 1 firmware running, 2 bootloader running, 0xFF invalid
    uint16_t wProductId;
    uint16_t wFWVersion;
    uint16_t wHWVersion;
    TSerialNum SerialNum;
    uint8_t bLocked;
};
using PTargetInfoBlock = TTargetInfoBlock*;
#pragma pack(pop)
static_assert(sizeof(TTargetInfoBlock) == 17);

// Per target serial number: how often it connected as bootloader, as target and in all.
struct TTargetsHistoryItem {
    TSerialNum Serial;
    int32_t ConnectedAsStub;
    int32_t ConnectedAsTarget;
    int32_t TotalConnects;
};
static_assert(sizeof(TTargetsHistoryItem) == 20);

// Radio indexes run from 1 to this.
constexpr int KELVO_WIRELESS_TARGETS = 16;

// Target command time-out words: bit 15 set means milliseconds in the low 15 bits, clear means
// microseconds, 0 leaves the time-out to the controller.
constexpr uint16_t KELVO_TIMEOUT_MS = 0x8000;
constexpr uint16_t KELVO_TIMEOUT_TARGET_INFO = 250;

class TKelvoWireless;
// A change of the status table: the 16 bytes (byte i-1 describes index i, 0 = no target).
using TWirelessStatusNotify =
    std::function<void(TKelvoWireless* ASender, const std::array<uint8_t, KELVO_WIRELESS_TARGETS>& AStatus)>;

class TKelvoWireless : public TCommonKelvoUsbDevice {
public:
    TKelvoWireless(TComponent* AOwner, const std::string& APath);
    ~TKelvoWireless() override;

    // Walks the controller's packets (length byte, id byte, payload); no record framing.
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override;
    void Initialize() override;
    void Finalize() override;
    // The inherited open, then the status table, priority target, overcharge and retry count.
    bool Open() override;
    // Powers the radio off while the device is still there, then closes.
    void Close() override;
    void DataPipeRead(TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ABufferSize) override;
    bool GetSerialNum(PSerialNum ASerial) override;
    bool GetVersion(uint16_t& AHW, uint16_t& ASF) override;
    bool GetLocked(bool& ALocked) override;
    bool Unlock(const TDeviceKey& AKey) override;
    // Firmware 8 or later keeps regions; earlier ones use the family default.
    bool GetRegions(uint16_t* ARegions) override;
    bool SetRegions(uint16_t ARegions, PDeviceKey APassword) override;
    bool NeedToRecoverOptionsAfterUpdate() override;
    bool CanChangeRegions() override;
    std::string ModelDescription() override;
    std::string ModelType() override;
    std::string DeveloperName() override;
    TKelvoUsbTransceiver UsbTransceiver() override;

    bool Lock(const TDeviceKey& AKey);

    // One target command to the target at AIndex (1..16): the command bytes go out with 0xF0, the
    // answer (when AAnswerBufferSize > 0) comes back with 0xF1 at its real length in AAnsweredSize.
    // A failure writes one "TargetCmd fail" log line.
    bool TargetCmd(uint8_t AIndex, uint16_t ATimeout, const void* ACmd, int ACmdBufferSize, void* AAnswer,
                   int AAnswerBufferSize, int& AAnsweredSize);
    // Command 0x20; exactly 17 answer bytes.
    bool GetTargetInfoBlock(int AIndex, TTargetInfoBlock& ATIB);
    // Reads the table (0x82) and takes it over; false when unreadable (nothing changes then).
    bool UpdateTargetsStatusTable(bool ADoNotify);
    // The status byte of index AIndex; 0 outside 1..16.
    uint8_t TargetStatus(int AIndex) const;
    int NumTargets() const { return KELVO_WIRELESS_TARGETS; }

    bool TurnPowerOn();
    bool TurnPowerOff();
    bool SetTargetsPower(bool AValue) { return AValue ? TurnPowerOn() : TurnPowerOff(); }
    bool TargetsPower() const { return fPowerOn; }

    bool SetPriorityTarget(uint8_t AIndex);
    bool GetPriorityTarget(uint8_t& AIndex);
    bool GetOvercharge(uint8_t* pbOC);
    bool GetOvercharge() const { return fOvercharge != 0; }
    bool ResetOvercharge();
    bool GetMaxCommandRetries(uint8_t* pbMaxRetries);
    bool SetMaxCommandRetries(uint8_t bMaxRetries);
    uint8_t PriorityTarget() const { return fPriorityTarget; }
    uint8_t MaxCommandRetries() const { return bMaxCommandRetries; }
    const std::vector<TTargetsHistoryItem>& TargetsHistory() const { return fTargetsHistory; }

    TWirelessStatusNotify fOnStatusChange;
    TUsbDeviceNotify fOnOvercharge;

private:
    bool IsNewTransceiver() const;
    bool HasMaxCommandRetries() const;
    // Takes over a table read by request or pushed; fires fOnStatusChange when asked and it changed.
    void ApplyStatusTable(const uint8_t* AStatus, bool ADoNotify);
    void HandleOvercharge(const uint8_t* APayload, uint32_t ASize);

    std::array<uint8_t, KELVO_WIRELESS_TARGETS> fStatus{};
    bool fPowerOn = false;
    uint8_t fPriorityTarget = 0;
    uint8_t fOvercharge = 0;
    uint8_t bMaxCommandRetries = 1;
    std::vector<TTargetsHistoryItem> fTargetsHistory;
};
using PKelvoWireless = TKelvoWireless*;
