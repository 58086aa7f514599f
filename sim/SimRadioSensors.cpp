#include "sim/SimRadioSensors.h"

#include "sim/SimWirelessController.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr uint8_t KPacketSensorData = 0x44;
constexpr uint64_t KBatteryEverySlots = 500; // WD-M01/WD-02: every 5 s
constexpr uint64_t KNoSignalEverySlots = 10; // while the aim is out of view
// Slots missed by a thread held up this long are not made up.
constexpr std::chrono::milliseconds KGiveUpLate{200};
constexpr int KMaxSlotsAtOnce = 4;
constexpr std::chrono::milliseconds KIdleWait{100};

} // namespace

std::vector<uint8_t> SimSensorDataPacket(uint8_t AIndex, const std::vector<uint8_t>& ASensorPacket) {
    std::vector<uint8_t> packet(ASensorPacket);
    const uint8_t header[3] = {uint8_t(3 + ASensorPacket.size()), KPacketSensorData, AIndex};
    packet.insert(packet.begin(), std::begin(header), std::end(header));
    return packet;
}

TSimRadioSensor::TSimRadioSensor(const TSimRadioSensorSetup& ASetup)
    : fSetup(ASetup), fSensor(ASetup.Sensor, ASetup.Seed) {}

std::chrono::microseconds TSimRadioSensor::Period() const {
    return std::chrono::microseconds(fSensor.WD03Family() ? 20000 : 10000);
}

TSimRadioPackets TSimRadioSensor::NextSlot(std::vector<TSimAimSample>* AAims) {
    TSimRadioPackets packets;
    std::vector<TSimAimSample> aims;
    std::vector<uint8_t> data = fSensor.NextPacket(&aims);
    const bool inView =
        fSetup.ViewMm <= 0 || std::all_of(aims.begin(), aims.end(), [this](const TSimAimSample& A) {
            return std::hypot(A.XMm, A.YMm) <= fSetup.ViewMm;
        });
    if (inView) {
        fOutOfViewSlots = 0;
        packets.push_back(std::move(data));
        ++fDataPackets;
    } else if (fOutOfViewSlots++ % KNoSignalEverySlots == 0) {
        packets.push_back(fSensor.StatusPacket(TSimWirelessStatus::NoSignal));
        ++fStatusPackets;
    }
    if (!fSensor.WD03Family() && ++fSlots % KBatteryEverySlots == 0) {
        packets.push_back(fSensor.StatusPacket(TSimWirelessStatus::Battery));
        ++fStatusPackets;
    }
    if (AAims)
        *AAims = inView ? aims : std::vector<TSimAimSample>();
    return packets;
}

void TSimRadioSensor::SeeFrequencies(uint8_t ACode1, uint8_t ACode2) {
    // LEDs that keep their frequencies show no new symbol.
    const std::pair<uint8_t, uint8_t> pair{ACode1, ACode2};
    if (fSeenPair == pair)
        return;
    fSeenPair = pair;
    const auto symbol = TSimSensorCommandReceiver::SymbolOf(ACode1, ACode2);
    if (!symbol || !fSensor.WD03Family())
        return;
    std::optional<std::vector<uint8_t>> command;
    const auto echo = fReceiver.See(*symbol, command);
    if (!echo)
        return;
    if (!command) {
        fEchoes.push_back(fSensor.CommandEcho(echo->Type, echo->Symbol));
        return;
    }
    // Confirmed under the serial number the host knows, before a new one takes effect.
    std::vector<uint8_t> confirm = fSensor.CommandEcho(echo->Type, echo->Symbol);
    if (fSensor.ApplyCommand(*command))
        ++fCommandsApplied;
    else {
        ++fCommandsRefused;
        confirm = fSensor.CommandEcho(1, TSimSensorCommandReceiver::KIdle);
    }
    fEchoes.push_back(std::move(confirm));
}

TSimRadioPackets TSimRadioSensor::TakeEchoes() {
    fEchoesSent += fEchoes.size();
    return std::exchange(fEchoes, {});
}

TSimRadioSensorReport TSimRadioSensor::Report() const {
    TSimRadioSensorReport report;
    report.Model = SimWirelessModelName(fSetup.Sensor.ModelCode);
    report.Serial = fSensor.Serial();
    report.TargetIndex = fSetup.TargetIndex;
    report.DataPackets = fDataPackets;
    report.StatusPackets = fStatusPackets;
    report.Echoes = fEchoesSent;
    report.CommandsApplied = fCommandsApplied;
    report.CommandsAbandoned = fReceiver.Abandoned() + fCommandsRefused;
    report.ScaleWord = fSensor.RawScaleWord();
    report.VoltageStep = fSensor.VoltageStep();
    report.Fused = fSensor.Fused();
    return report;
}

TSimRadioSensorStream::TSimRadioSensorStream(std::shared_ptr<TSimWirelessState> AState, TPush APush)
    : fState(std::move(AState)), fPush(std::move(APush)) {}

TSimRadioSensorStream::~TSimRadioSensorStream() {
    {
        std::lock_guard lock(fMutex);
        fStopping = true;
    }
    fWakeUp.notify_all();
    if (fThread.joinable())
        fThread.join();
}

void TSimRadioSensorStream::Start() {
    // The state's lock is never taken while holding the stream's (Wake runs under the state's lock).
    std::vector<TClock::time_point> due;
    {
        std::lock_guard state(fState->Mutex);
        // The sensors' slots are a millisecond apart, as independent radios would be.
        const auto now = TClock::now();
        for (std::size_t i = 0; i < fState->Sensors.size(); ++i)
            due.push_back(now + std::chrono::milliseconds(i));
    }
    std::lock_guard lock(fMutex);
    if (due.empty() || fThread.joinable())
        return;
    fDue = std::move(due);
    fThread = std::thread([this] { Run(); });
}

void TSimRadioSensorStream::Wake() {
    {
        std::lock_guard lock(fMutex);
        fWoken = true;
    }
    fWakeUp.notify_all();
}

void TSimRadioSensorStream::Run() {
    std::unique_lock lock(fMutex);
    TClock::time_point next = TClock::now();
    while (true) {
        fWakeUp.wait_until(lock, next, [this] { return fStopping || fWoken; });
        if (fStopping)
            return;
        fWoken = false;
        lock.unlock();
        TSimRadioPackets packets;
        next = Collect(packets);
        for (const auto& packet : packets)
            fPush(packet);
        lock.lock();
    }
}

TSimRadioSensorStream::TClock::time_point TSimRadioSensorStream::Collect(TSimRadioPackets& APackets) {
    std::lock_guard lock(fState->Mutex);
    const auto now = TClock::now();
    const auto table = fState->StatusTable();
    TClock::time_point next = now + KIdleWait;
    for (std::size_t i = 0; i < fState->Sensors.size(); ++i) {
        TSimRadioSensor& sensor = fState->Sensors[i];
        const uint8_t index = sensor.TargetIndex();
        // The controller hears a sensor whose target is on its powered radio.
        const bool heard = fState->PowerOn && index >= 1 && index <= 16 && table[index - 1u] != 0;
        for (const auto& echo : sensor.TakeEchoes())
            if (heard)
                APackets.push_back(SimSensorDataPacket(index, echo));
        if (now - fDue[i] > KGiveUpLate)
            fDue[i] = now;
        for (int n = 0; n < KMaxSlotsAtOnce && fDue[i] <= now; ++n) {
            fDue[i] += sensor.Period();
            if (heard)
                for (const auto& packet : sensor.NextSlot())
                    APackets.push_back(SimSensorDataPacket(index, packet));
        }
        next = std::min(next, fDue[i]);
    }
    return next;
}
