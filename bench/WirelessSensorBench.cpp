// Wireless sensor packets decoded per second, as the controller hands them over: the packet check,
// the inversion of inverted packets, the decoder and the filters, up to the point event.
#include "MyLib/KelvoWirelessSensor.h"
#include "sim/SimWirelessSensor.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr int KPackets = 256;

void Run(benchmark::State& AState, uint8_t AModelCode) {
    TSimWirelessSensorSetup setup;
    setup.ModelCode = AModelCode;
    TSimWirelessSensor sim(setup);
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < KPackets; ++i)
        packets.push_back(sim.NextPacket());
    std::unique_ptr<TCustomWirelessSensor> sensor(
        SensorClassFor(packets[0].data(), packets[0].size())(nullptr));
    sensor->GetSerialFromPacket(packets[0].data(), packets[0].size());
    sensor->SetDynamicTarget(nullptr);
    double sink = 0;
    sensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint P) { sink += P->xmm; };
    std::vector<uint8_t> packet;
    for (auto _ : AState)
        for (const auto& sent : packets) {
            // Feed turns an inverted packet back in place: each round starts from the bytes as sent.
            packet = sent;
            if (sensor->CheckPacket(packet.data(), packet.size()))
                sensor->Feed(packet.data(), packet.size());
        }
    benchmark::DoNotOptimize(sink);
    AState.SetItemsProcessed(int64_t(AState.iterations()) * KPackets);
}

void BM_WirelessWDM01Packets(benchmark::State& AState) {
    Run(AState, 0);
}
void BM_WirelessWD03Packets(benchmark::State& AState) {
    Run(AState, 2);
}

BENCHMARK(BM_WirelessWDM01Packets);
BENCHMARK(BM_WirelessWD03Packets);

} // namespace
