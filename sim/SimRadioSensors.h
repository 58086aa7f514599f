#pragma once
// Wireless aiming sensors on the simulated controller's radio. Each sensor aims at the target of one
// radio index and, while the radio is powered and that target is in the status table, its packets
// reach the host as the controller's sensor data packets (0x44, the index, the sensor packet):
// WD-M01/WD-02 100 a second, the WD-03 family 50 a second with two aims each; a WD-M01/WD-02 adds a
// battery report every 5 seconds, and a sensor whose aim leaves its view reports no signal instead.
// The WD-03 family watches the target's modulation frequencies (the optical command channel) and
// echoes each new symbol.
//
// TSimRadioSensor is one sensor's state; the controller keeps them in its state, under its lock.
// TSimRadioSensorStream is the thread that sends for all of them.
#include "sim/SimPhysicalDevice.h"
#include "sim/SimSensorCommandReceiver.h"
#include "sim/SimWirelessSensor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

struct TSimWirelessState;

struct TSimRadioSensorSetup {
    TSimWirelessSensorSetup Sensor;
    uint8_t TargetIndex = 1; // 1..16
    uint32_t Seed = 1;       // of the aiming path
    // How far from the target's centre the aim may go with the LEDs still in view; 0: always in view.
    double ViewMm = 0;
};

using TSimRadioPackets = std::vector<std::vector<uint8_t>>;

class TSimRadioSensor {
public:
    // Throws std::invalid_argument as TSimWirelessSensor does.
    explicit TSimRadioSensor(const TSimRadioSensorSetup& ASetup);

    uint8_t TargetIndex() const { return fSetup.TargetIndex; }
    // The time between two data packets.
    std::chrono::microseconds Period() const;
    // The sensor packets of the next data slot; AAims receives the aims the data packet encodes
    // (none when the aim was out of view).
    TSimRadioPackets NextSlot(std::vector<TSimAimSample>* AAims = nullptr);
    // The target's LEDs took these frequencies (units of 100 Hz). Only a change is seen.
    void SeeFrequencies(uint8_t ACode1, uint8_t ACode2);
    // The echoes waiting to be sent, in order; taken.
    TSimRadioPackets TakeEchoes();
    TSimRadioSensorReport Report() const;

private:
    TSimRadioSensorSetup fSetup;
    TSimWirelessSensor fSensor;
    TSimSensorCommandReceiver fReceiver;
    std::optional<std::pair<uint8_t, uint8_t>> fSeenPair;
    TSimRadioPackets fEchoes;
    uint64_t fSlots = 0;
    uint64_t fOutOfViewSlots = 0;
    uint64_t fDataPackets = 0;
    uint64_t fStatusPackets = 0;
    uint64_t fEchoesSent = 0;
    uint64_t fCommandsApplied = 0;
    uint64_t fCommandsRefused = 0;
};

// The controller's sensor data packet around one sensor packet.
std::vector<uint8_t> SimSensorDataPacket(uint8_t AIndex, const std::vector<uint8_t>& ASensorPacket);

// Sends the packets of AState's sensors through APush, each sensor at its own rate, and their echoes
// as soon as Wake says there are some. Stops and joins in the destructor.
class TSimRadioSensorStream {
public:
    using TPush = std::function<void(const std::vector<uint8_t>& APacket)>;

    TSimRadioSensorStream(std::shared_ptr<TSimWirelessState> AState, TPush APush);
    ~TSimRadioSensorStream();
    TSimRadioSensorStream(const TSimRadioSensorStream&) = delete;
    TSimRadioSensorStream& operator=(const TSimRadioSensorStream&) = delete;

    // Starts the thread (once; a stream whose state has no sensors starts none).
    void Start();
    // Echoes are waiting. May be called with the state's lock held.
    void Wake();

private:
    using TClock = std::chrono::steady_clock;
    void Run();
    // Under the state's lock: the controller packets due now; returns when the next slot is due.
    TClock::time_point Collect(TSimRadioPackets& APackets);

    std::shared_ptr<TSimWirelessState> fState;
    TPush fPush;
    std::vector<TClock::time_point> fDue; // per sensor, used by the thread only
    std::mutex fMutex;
    std::condition_variable fWakeUp;
    bool fWoken = false;
    bool fStopping = false;
    std::thread fThread;
};
