// Sensor packets per second through the wireless controller's data path: one transfer of sensor
// data packets walked by the controller, each handed to its sensor (found in the list, aimed at the
// target of its index), decoded and filtered up to the point event. The controller is opened on the
// simulated controller with a standard target at index 1.
#include "MyLib/KelvoUsbWireless1.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimRadioSensors.h"
#include "sim/SimWirelessController.h"
#include "sim/SimWirelessSensor.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int KPacketsPerTransfer = 8;

// ASensors sensors of one model taking turns, so the list walk is part of the cost.
void Run(benchmark::State& AState, uint8_t AModelCode) {
    const int sensors = int(AState.range(0));
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    auto state = std::make_shared<TSimWirelessState>();
    state->Targets.push_back(TSimRadioTarget{});
    auto sim = std::make_shared<TSimWirelessController>(state, TUsbDriverKind::Family);
    bus.Plug(sim);
    TKelvoWireless device(nullptr, sim->Path());
    if (!device.Open()) {
        AState.SkipWithError("the controller did not open");
        return;
    }
    double sink = 0;
    int64_t points = 0;
    device.fOnNewSensor = [&](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
        ASensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint P) {
            sink += P->xmm;
            ++points;
        };
    };
    std::vector<TSimWirelessSensor> simSensors;
    for (int i = 0; i < sensors; ++i) {
        TSimWirelessSensorSetup setup;
        setup.ModelCode = AModelCode;
        setup.Serial = uint16_t(100 + i);
        simSensors.emplace_back(setup, uint32_t(i + 1));
    }
    std::vector<std::vector<uint8_t>> transfers(64);
    int turn = 0;
    for (auto& transfer : transfers)
        for (int i = 0; i < KPacketsPerTransfer; ++i) {
            const std::vector<uint8_t> packet =
                SimSensorDataPacket(1, simSensors[size_t(turn++ % sensors)].NextPacket());
            transfer.insert(transfer.end(), packet.begin(), packet.end());
        }
    for (auto _ : AState)
        for (const auto& transfer : transfers) {
            // The controller owns and frees each transfer, as a reader hands it over.
            auto buffer = std::make_unique<uint8_t[]>(transfer.size());
            std::memcpy(buffer.get(), transfer.data(), transfer.size());
            device.ProcessData(std::move(buffer), uint32_t(transfer.size()));
        }
    benchmark::DoNotOptimize(sink);
    const int64_t packets = int64_t(AState.iterations()) * int64_t(transfers.size()) * KPacketsPerTransfer;
    AState.SetItemsProcessed(packets);
    // 1 for WD-M01, 2 for WD-03: every packet reached its sensor.
    AState.counters["points_per_packet"] = double(points) / double(packets);
}

void BM_WirelessControllerWDM01Packets(benchmark::State& AState) {
    Run(AState, 0);
}
void BM_WirelessControllerWD03Packets(benchmark::State& AState) {
    Run(AState, 2);
}

BENCHMARK(BM_WirelessControllerWDM01Packets)->Arg(1)->Arg(8);
BENCHMARK(BM_WirelessControllerWD03Packets)->Arg(1)->Arg(8);

} // namespace
