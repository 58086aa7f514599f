#pragma once
// The simulated wireless target controller (product 14 on the family driver, 0x22 with the newer
// USB chip on the generic driver) and the radio targets behind it. The controller answers its own
// requests (identity, lock, regions, radio power, priority target, overcharge, retry count, the
// 16-byte status table) and forwards target commands: 0xF0 carries a command to the target at
// wIndex and succeeds only when a live target there took it; 0xF1 returns that target's last answer
// at its real length. A target runs its firmware (info block, the requests of its model and version
// with the settings they set mirrored, switch into the bootloader) or its bootloader (info, hardware
// info, serial number, erase, synchronisation block, 8-byte blocks in order deciphered with the demo
// key, validation of the image's authentication code and product, reconnect, and the factory commands:
// once given the factory secret it writes the serial number and the key and reads the key). Every
// change of the status table is pushed as an 18-byte packet on the data path.
#include "sim/SimBootloader.h"
#include "sim/SimDevice.h"
#include "sim/SimPhysicalDevice.h"
#include "sim/SimRadioSensors.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

// The secret that enables a radio target bootloader's factory commands.
constexpr std::array<uint8_t, 8> SIM_RADIO_FACTORY_SECRET = {0x52, 0x46, 0x2D, 0x46, 0x41, 0x43, 0x54, 0x31};

// One target on the radio.
struct TSimRadioTarget {
    uint8_t Index = 1; // 1..16
    uint16_t ProductId = 12;
    uint16_t VersionHW = 3;
    uint16_t VersionFW = 12;
    std::array<uint8_t, 8> Serial = {12, 3, 0, 0, 0, 0, 0, 1};
    std::array<uint8_t, 8> Key = {1, 2, 3, 4, 5, 6, 7, 8};
    bool Locked = false;
    // The firmware's settings, as it reports them and as commands set them: the properties block
    // (frequency codes 12 and 14, mid signal levels, LED masks, started, receiver power and
    // enabled, sync), the LED and lamp brightness levels, and a receiver but no lamps.
    std::array<uint8_t, 10> Properties = {12, 14, 128, 128, 0, 0, 0, 1, 1, 0};
    uint8_t LedsBrightness = 5;
    uint8_t LampsBrightness = 5;
    std::array<uint8_t, 8> Capabilities = {1, 0, 0, 0, 0, 0, 0, 0};
    // The blinker's four little-endian words: 3 blinks, 200 ms light, 300 ms dark, DAC value 1000;
    // and the blinks it was told to give.
    std::array<uint8_t, 8> BlinkerProperties = {3, 0, 200, 0, 0x2C, 0x01, 0xE8, 0x03};
    uint32_t Blinks = 0;
    // Biathlon and rapid-fire settings: IR LED mask, biathlon flag and receiver mode, lamp status.
    uint8_t IReds = 0x0F;
    uint8_t Flag = 0;
    uint8_t ReceiverMode = 0;
    uint8_t LampStatus = 0;
    uint8_t Address = 0;    // radio address as last set (0: never set)
    bool Stub = false;      // its bootloader is running
    bool SecretOps = false; // its bootloader took the factory secret; until it leaves or restarts
    bool Silent = false;    // out of radio reach: it takes no command and is not in the table
    // Faults, each firing once: silent once the answer to write number N since the
    // synchronisation block was read (0: never), or after a bootloader stage (switch: the
    // firmware's switch); back in reach (in its bootloader) this long after going silent; these
    // bootloader commands fail once each. Out of reach until this long after the controller starts.
    uint32_t SilentAtBlock = 0;
    std::optional<TSimUpdateStage> SilentAfter;
    std::optional<uint32_t> BackAfterMs;
    std::set<TSimStubRequest> FailOnce;
    uint32_t AppearAfterMs = 0;

    // The bootloader's plain flash (the image's main memory; filled with an image of VersionFW
    // when the controller is made and FlashValid holds) and its programming run.
    std::vector<uint8_t> Flash;
    bool FlashValid = true;
    bool SilentPending = false; // goes silent once its last answer was read
    bool Erased = false;
    bool HaveSynchro = false;
    std::array<uint8_t, 8> Chain{};
    uint32_t NextAddress = 0;
    uint32_t BlocksAccepted = 0;
};

struct TSimWirelessState {
    std::mutex Mutex;
    uint16_t ProductId = 14; // 0x22: the newer USB chip, with priority target and overcharge
    std::array<uint8_t, 8> Serial = {14, 2, 0, 0, 0, 0, 0, 7};
    std::array<uint8_t, 8> Key = {2, 7, 1, 8, 2, 8, 1, 8};
    uint16_t VersionHW = 2;
    uint16_t VersionFW = 6;
    bool Locked = false;
    uint16_t Regions = 0x0FFF;
    bool PowerOn = false;
    int PowerOffRequests = 0;
    uint8_t PriorityTarget = 0;
    uint8_t Overcharge = 0;
    uint8_t MaxRetries = 3;
    std::vector<TSimRadioTarget> Targets;
    std::vector<TSimRadioSensor> Sensors;
    uint16_t StubActual = 3;
    uint16_t StubUpdate = 3;
    // The controller drops off the bus after forwarding target write number N (0: never) and comes
    // back after UnplugReplugAfterMs when given.
    uint32_t UnplugAtTargetBlock = 0;
    std::optional<uint32_t> UnplugReplugAfterMs;
    uint32_t TargetBlocksForwarded = 0;
    // The answer of the last command that went through, for 0xF1.
    std::vector<uint8_t> LastAnswer;
    // The last target command forwarded, whether a target took it or not: index, time-out word and
    // command bytes.
    uint16_t LastCommandIndex = 0;
    uint16_t LastCommandTimeout = 0;
    std::vector<uint8_t> LastCommand;

    TSimRadioTarget* TargetAt(uint16_t AIndex);
    // Byte i-1: a status code for index i (0 when none or silent).
    std::array<uint8_t, 16> StatusTable() const;
    // The radio for reports (takes the lock).
    TSimRadioReport RadioReport();
};

class TSimWirelessController : public TSimDevice {
public:
    TSimWirelessController(std::shared_ptr<TSimWirelessState> AState, TUsbDriverKind ADriver);
    // Stops the radio's timer and the sensors' stream.
    ~TSimWirelessController() override;

    // Starts the radio's timer for the targets that appear late, and the sensors' stream; call once
    // the device is plugged.
    void Attached(TSimBus& ABus, const std::string& APath) override;

    const std::shared_ptr<TSimWirelessState>& State() const { return fState; }
    // Pushes the current status table as one packet.
    bool PushStatus();
    // Pushes these bytes as one transfer on the data path (any content).
    bool PushRaw(const std::vector<uint8_t>& ABytes);
    // Brings the target at AIndex back in reach (in its bootloader, as after a restart) and pushes.
    void Revive(uint8_t AIndex);
    // A target that restarts leaves the table and comes back: the table with AIndex at 0, then the
    // table as it is.
    void PushRestart(uint8_t AIndex);
    // Whether a target is still to appear or come back (its radio timer has work).
    bool HasPendingTimers() const;

private:
    // What a command did to the radio, acted on after the state's lock is released.
    struct TEffect {
        bool Restarted = false; // the target restarted (0, then present, in the table)
        bool Changed = false;   // the table changed otherwise
        bool WentSilent = false;
        bool Unplug = false; // the controller drops off after this request
    };
    // Pushes what a command or answer at AIndex did to the radio (the state's lock not held).
    void ApplyEffect(uint16_t AIndex, const TEffect& AEffect);
    // Under the state's lock: runs one command; false when no live target took it.
    bool Command(TSimWirelessState& S, uint16_t AIndex, const std::vector<uint8_t>& ACmd, TEffect& AEffect);
    bool FirmwareCommand(TSimRadioTarget& T, const std::vector<uint8_t>& ACmd, std::vector<uint8_t>& AAnswer,
                         TEffect& AEffect);
    bool BootloaderCommand(TSimRadioTarget& T, const std::vector<uint8_t>& ACmd,
                           std::vector<uint8_t>& AAnswer, TEffect& AEffect);
    // Under the state's lock: the target goes out of reach, now or after the named stage (once
    // its answer was read).
    void GoSilent(TSimRadioTarget& T, TEffect& AEffect);
    void SilentAfter(TSimRadioTarget& T, TSimUpdateStage AStage, TEffect& AEffect);
    // Runs AAction (without the state's lock) AAfterMs from now on the radio's timer thread.
    void After(uint32_t AAfterMs, std::function<void()> AAction);
    void TimerLoop();
    // Under the state's lock: the LEDs of the target at AIndex took new modulation frequencies,
    // which the sensors aimed at it see.
    void SensorsSeeFrequencies(uint8_t AIndex, uint8_t ACode1, uint8_t ACode2);

    std::shared_ptr<TSimWirelessState> fState;
    mutable std::mutex fTimerMutex;
    std::condition_variable fTimerWake;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::function<void()>>> fTimers;
    bool fStopping = false;
    bool fStarted = false;
    bool fTimerRunning = false;
    std::thread fTimer;
    // Sends while the controller is on the bus; stopped first when the controller goes.
    std::unique_ptr<TSimRadioSensorStream> fSensorStream;
};
