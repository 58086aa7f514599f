// The host's cost of one update: the write sequence of the main window (erase, synchronisation
// block, 3,568 blocks of 16 bytes with the window's events run after each, validation, reconnect)
// against a simulated bootloader, at zero latency (the cost per block of the whole stack) and at
// 1 ms per control transfer (against the floor of 3,568 transfers at 1 ms).
#include "app/Unit1.h"
#include "app/console/ConsoleToolkit.h"
#include "app/simbench/SimBench.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

constexpr int KBlocks = 3568;

void BM_UpdateWriteSequence(benchmark::State& AState) {
    const uint32_t latencyUs = uint32_t(AState.range(0));
    TSimDeviceOptions options;
    std::string error;
    if (!ParseSimDevice("bootloader,pid=32,hw=2", TSimKinds::BuiltIn(), options, error)) {
        AState.SkipWithError(error.c_str());
        return;
    }
    std::string home = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
    if (!mkdtemp(home.data())) {
        AState.SkipWithError("no scratch folder");
        return;
    }
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    std::FILE* devnull = std::fopen("/dev/null", "w");
    double seconds = 0;
    for (auto _ : AState) {
        TStdEventLoop loop;
        TSimBus bus(loop);
        TSystemScope scope(loop, bus);
        std::istringstream in;
        TConsoleToolkit toolkit(loop, in, devnull, devnull, false);
        TForm1 form(toolkit);
        // No download server: the built-in image is used.
        form.fFirmwareServer = "http://127.0.0.1:1/downloads/fw/";
        form.FormCreate();
        auto device = CreateSimDevice(options, TSimKinds::BuiltIn(), 0);
        auto sim = std::dynamic_pointer_cast<TSimDevice>(device);
        bus.Plug(device);
        // The bootloader's arrival arms the window's timer; the sequence is then run at once.
        if (!loop.RunUntil([&] { return form.Timer1.Enabled(); }, 10000)) {
            AState.SkipWithError("the bootloader was not taken up");
            break;
        }
        sim->Unit()->SetLatency(std::chrono::microseconds(latencyUs));
        const auto start = std::chrono::steady_clock::now();
        form.Timer1Timer();
        const auto stop = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(stop - start).count();
        AState.SetIterationTime(elapsed);
        seconds += elapsed;
        if (form.Failures() != 0 || !sim->Unit()->Report().FlashValid) {
            AState.SkipWithError("the write sequence failed");
            break;
        }
        form.FormClose();
    }
    AState.SetItemsProcessed(int64_t(AState.iterations()) * KBlocks);
    AState.counters["us_per_block"] = seconds * 1e6 / (double(AState.iterations()) * KBlocks);
    if (latencyUs > 0) {
        // The sequence against the time the device itself needs for the blocks alone.
        const double floor = KBlocks * latencyUs * 1e-6;
        AState.counters["floor_s"] = floor;
        AState.counters["overhead_pct"] = (seconds / double(AState.iterations()) - floor) / floor * 100;
    }
    std::fclose(devnull);
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_UpdateWriteSequence)
    ->ArgName("latency_us")
    ->Arg(0)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
