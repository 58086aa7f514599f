// The host's cost of one update: the write sequences of the main window against simulated
// devices, at zero latency (the cost per block of the whole stack) and at 1 ms per control transfer
// (against the floor of the transfers themselves at 1 ms).
// - USB device: erase, synchronisation block, 3,568 blocks of 16 bytes with the window's events run
//   after each, validation, reconnect, through its bootloader (floor: the 3,568 block transfers);
// - target behind a USB target controller: erase, synchronisation block, 7,136 blocks of 8 bytes
//   with events after each, validation, reconnect, through the controller (floor: all 7,140
//   transfers);
// - target behind a wireless controller: erase, synchronisation block, 7,136 blocks of 8 bytes,
//   validation and the read-back of the target's identity, each a command and its answer over the
//   radio command channel (floor: all 14,282 transfers).
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
#include <functional>
#include <sstream>

namespace {

// One write sequence as the window runs it once its timer is armed for ADevice.
struct TSequence {
    const char* fDevice;
    int fBlocks;
    // Control transfers the device needs for the sequence, the floor at a latency.
    int fFloorTransfers;
    // Runs the sequence the armed timer would run.
    std::function<void(TForm1& AForm)> fRun;
    // Whether the device holds the new image afterwards.
    std::function<bool(const TSimUnitReport& AReport)> fFlashed;
};

void RunSequence(benchmark::State& AState, const TSequence& ASequence) {
    const uint32_t latencyUs = uint32_t(AState.range(0));
    TSimDeviceOptions options;
    std::string error;
    if (!ParseSimDevice(ASequence.fDevice, TSimKinds::BuiltIn(), options, error)) {
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
        // The device's arrival arms the window's timer; the sequence is then run at once.
        if (!loop.RunUntil([&] { return form.Timer1.Enabled(); }, 10000)) {
            AState.SkipWithError("the device was not taken up");
            break;
        }
        form.Timer1.SetEnabled(false);
        sim->Unit()->SetLatency(std::chrono::microseconds(latencyUs));
        const auto start = std::chrono::steady_clock::now();
        ASequence.fRun(form);
        const auto stop = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(stop - start).count();
        AState.SetIterationTime(elapsed);
        seconds += elapsed;
        if (form.Failures() != 0 || !ASequence.fFlashed(sim->Unit()->Report())) {
            AState.SkipWithError("the write sequence failed");
            break;
        }
        form.FormClose();
    }
    const double blocks = double(AState.iterations()) * ASequence.fBlocks;
    AState.SetItemsProcessed(int64_t(blocks));
    AState.counters["us_per_block"] = seconds * 1e6 / blocks;
    if (latencyUs > 0) {
        // The sequence against the time the device itself needs for its transfers alone.
        const double floor = ASequence.fFloorTransfers * latencyUs * 1e-6;
        AState.counters["floor_s"] = floor;
        AState.counters["overhead_pct"] = (seconds / double(AState.iterations()) - floor) / floor * 100;
    }
    std::fclose(devnull);
    std::filesystem::remove_all(home);
}

void BM_UpdateWriteSequence(benchmark::State& AState) {
    RunSequence(AState, {"bootloader,pid=32,hw=2", 3568, 3568, [](TForm1& AForm) { AForm.Timer1Timer(); },
                         [](const TSimUnitReport& AReport) { return AReport.FlashValid; }});
}

// A target found in its bootloader with an older image is flashed as soon as it is reported.
void BM_TargetFlash(benchmark::State& AState) {
    RunSequence(AState, {"target-controller,target=bootloader", 7136, 7136 + 4,
                         [](TForm1& AForm) { AForm.TargetFlashTimer(); },
                         [](const TSimUnitReport& AReport) {
                             return AReport.Target && AReport.Target->FlashValid &&
                                    AReport.Target->VersionFW == 8;
                         }});
}

// A wireless target found in its bootloader with an older image is flashed as soon as it is reported.
void BM_WirelessTargetFlash(benchmark::State& AState) {
    RunSequence(AState, {"wireless-controller,t1=12:3:11:stub", 7136, 2 * (7136 + 3) + 4,
                         [](TForm1& AForm) { AForm.Target485FlashTimer(); },
                         [](const TSimUnitReport& AReport) {
                             return AReport.Radio && AReport.Radio->Targets.at(0).FlashValid &&
                                    AReport.Radio->Targets.at(0).VersionFW == 13;
                         }});
}

BENCHMARK(BM_UpdateWriteSequence)
    ->ArgName("latency_us")
    ->Arg(0)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_TargetFlash)
    ->ArgName("latency_us")
    ->Arg(0)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_WirelessTargetFlash)
    ->ArgName("latency_us")
    ->Arg(0)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
