#pragma once
// TKelvoWireless: the wireless target controller (product 0x0E, or 0x22 with the newer USB chip). It
// reaches up to 16 targets over its radio: the host sends each target command as a vendor request
// addressed by the target's index, the controller forwards it and hands back the target's answer.
// The controller keeps a 16-entry table of the indexes that hold a target and pushes that table on
// every change, together with sensor data and overcharge alarms, as packets on its data path. Each
// target present is represented by an object of its own (TCustom485Target and its descendants),
// created and freed as the table changes. The wireless aiming sensors aimed at those targets are
// heard through the controller too: it keeps one sensor object per sensor, most recently heard first.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/KelvoWirelessSensor.h"

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
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

// Info block bTarget values.
constexpr uint8_t KELVO_485_FIRMWARE = 1;
constexpr uint8_t KELVO_485_BOOTLOADER = 2;
constexpr uint8_t KELVO_485_INVALID = 0xFF;

class TKelvoWireless;

// A target behind the wireless controller, known to it by its radio index. Every command goes out
// through the controller's TargetCmd to that index.
class TCustom485Target : public TKelvoTargetObject {
public:
    TCustom485Target(TKelvoWireless* AController, int AIndex);

    // --- Virtual operations after the base's, in this order for every descendant ---
    // The base's defaults, the custom model texts and zero connection counters.
    void SetDefaults() override;
    void ReleaseResources() override;
    // No signal unless the model has one: refused without a command; the levels read 0.
    bool SetSignal(double ASignal1, double ASignal2) override;
    bool SetFrequencies(int AFreq1, int AFreq2) override;
    double Signal1() override;
    double Signal2() override;
    // Takes over the identity of an info block; model classes read their settings here too.
    virtual void AssignInfo(const TTargetInfoBlock& ATIB);
    // Base: nothing to switch off.
    virtual bool TurnOff();

    TKelvoWireless* TargetController() const;
    // Whether its info block reported the bootloader running (the object is then a TTargetStub).
    bool InBootloader() const { return fTargetType == KELVO_485_BOOTLOADER; }
    // The target restarts into its bootloader; the controller then reports it anew.
    bool SwitchToStub();
    bool GetTargetInfoBlock(TTargetInfoBlock& ATIB);
    // Re-reads the info block and takes over its identity fields only (no model reads).
    bool UpdateTargetInfo();
    // The connection counters of this target's serial number when it was connected.
    void AssignHistory(const TTargetsHistoryItem& AItem);
    int WasConnectedAsStub() const { return fWasConnectedAsStub; }
    int WasConnectedAsTarget() const { return fWasConnectedAsTarget; }
    int TotalConnects() const { return fTotalConnects; }

protected:
    // The identity fields of an info block, as every class takes them.
    void AssignIdentity(const TTargetInfoBlock& ATIB);
    // One command to this target; AAnswerSize > 0 asks for an answer of exactly that many bytes.
    bool Command(uint16_t ATimeout, std::initializer_list<uint8_t> ACmd, void* AAnswer = nullptr,
                 int AAnswerSize = 0);
    bool Command(uint16_t ATimeout, const uint8_t* ACmd, int ACmdSize, void* AAnswer, int AAnswerSize);

    int fWasConnectedAsStub = 0;
    int fWasConnectedAsTarget = 0;
    int fTotalConnects = 0;
};
using PCustom485Target = TCustom485Target*;

// A target object came (after it was created and read) or goes (before it is freed).
using TKelvo485TargetEvent = std::function<void(TKelvoWireless* ASender, TCustom485Target* ATarget)>;
// A sensor object was made for a sensor heard for the first time (before its first packet is decoded).
using TNewWirelessSensorEvent = std::function<void(TKelvoWireless* ASender, TCustomWirelessSensor* ASensor)>;

class TKelvoWireless : public TCommonKelvoUsbDevice {
public:
    TKelvoWireless(TComponent* AOwner, const std::string& APath);
    ~TKelvoWireless() override;

    // Walks the controller's packets (length byte, id byte, payload); no record framing.
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override;
    void Initialize() override;
    void Finalize() override;
    // The inherited open, then the status table (target objects made without events), priority
    // target, overcharge and retry count.
    bool Open() override;
    // Reports every target gone and frees it, powers the radio off while the device is still
    // there, then closes.
    void Close() override;
    // Sensor data of a wireless sensor aimed at a target (packet id 0x44, whole packet): the sensor
    // whose packet it is takes it, aimed at the target of the packet's index; a sensor heard for the
    // first time gets an object of its model class.
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override;
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
    // Reads the table (0x82) and takes it over: objects for new targets, none for gone ones, and a
    // re-read of present ones (a different target there is replaced); false when unreadable.
    bool UpdateTargetsStatusTable(bool ADoNotify);
    // The target object at radio index AIndex; none outside 1..16.
    TCustom485Target* Targets(int AIndex) const;
    int NumTargets() const { return KELVO_WIRELESS_TARGETS; }
    // Fires the connect event for every target object present, index 1 to 16.
    void NotifyConnected();

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

    // Sensor data is taken only while enabled (the default); disabling also destroys the sensors.
    void EnableWirelessSensors() { fWirelessSensorsEnabled = true; }
    void DisableWirelessSensors();
    bool WirelessSensorsEnabled() const { return fWirelessSensorsEnabled; }
    // Frees every sensor object. Called from a handler while a packet is being handed out, the
    // sensors leave the list at once and are freed once the packet is done (a point handler that
    // wants its sensor gone calls this rather than freeing the sensor under its own decoder).
    void DestroyWirelessSensors();
    // The sensors known, most recently heard first.
    const std::vector<TCustomWirelessSensor*>& Sensors() const { return fSensors; }

    TKelvo485TargetEvent fOnTargetConnect;
    TKelvo485TargetEvent fOnTargetDisconnect;
    TUsbDeviceNotify fOnOvercharge;
    TNewWirelessSensorEvent fOnNewSensor;

private:
    bool IsNewTransceiver() const;
    bool HasMaxCommandRetries() const;
    // Takes over a pushed table: objects for new targets, none for gone ones. A present target
    // whose status byte changed value is in another state: it is read again.
    void ApplyStatusTable(const uint8_t* AStatus);
    void HandleOvercharge(const uint8_t* APayload, uint32_t ASize);
    // Creates the object the info block of AIndex describes, with its history; fires the connect
    // event when asked.
    void ConnectTargetAt(int AIndex, bool ADoNotify);
    // Clears the slot, fires the disconnect event, lets go of the sensors aimed at the target and
    // frees the object.
    void DisconnectTargetAt(int AIndex);
    // Replaces the object at AIndex when the info block now describes another target or state.
    void RefreshTargetAt(int AIndex, bool ADoNotify);
    TTargetsHistoryItem& FindHistoryItem(const TSerialNum& ASerial);
    // Hands one sensor packet (ASize bytes received) to its sensor, or to a new one, aimed at ATarget.
    void DispatchSensorPacket(uint8_t* APacket, uint32_t ASize, TCustom485Target* ATarget);
    // A sensor object's destroy event: it leaves the list.
    void SensorDestroyed(TCustomWirelessSensor* ASender);
    // Frees the sensors destroyed while a packet was being handed out, once none is.
    void FreeRetiredSensors();

    std::array<TCustom485Target*, KELVO_WIRELESS_TARGETS> fTargs{}; // owned
    // The status byte last taken over for each index.
    std::array<uint8_t, KELVO_WIRELESS_TARGETS> fStatus{};
    bool fPowerOn = false;
    uint8_t fPriorityTarget = 0;
    uint8_t fOvercharge = 0;
    uint8_t bMaxCommandRetries = 1;
    std::vector<TTargetsHistoryItem> fTargetsHistory;
    std::vector<TCustomWirelessSensor*> fSensors; // owned, most recently heard first
    bool fWirelessSensorsEnabled = true;
    // Sensor packets being handed out (a handler may take further packets), and the sensors
    // destroyed meanwhile, out of the list but not yet freed.
    int fSensorDispatchDepth = 0;
    std::vector<TCustomWirelessSensor*> fRetiredSensors;
};
using PKelvoWireless = TKelvoWireless*;
