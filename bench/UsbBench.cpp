// Hand-over of read blocks from a reader thread to the main thread, and the cost of one control
// transfer through the family device class, on the simulated bus at zero latency.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "tests/support/TestKelvoDevice.h"

#include <benchmark/benchmark.h>

namespace {

class TCountingDevice : public TUsbDevice {
public:
    using TUsbDevice::TUsbDevice;
    ~TCountingDevice() override { Close(); }
    void ProcessData(TUsbBlock, uint32_t ABufferSize) override {
        ++fBlocks;
        fBytes += ABufferSize;
    }
    uint64_t fBlocks = 0;
    uint64_t fBytes = 0;
};

// Blocks of ABlockSize bytes, one per stream read, handed to ProcessData sent (arg 1) or posted (arg 0).
void BM_BlocksToMainThread(benchmark::State& AState) {
    const bool sent = AState.range(0) != 0;
    const std::size_t blockSize = std::size_t(AState.range(1));
    constexpr int KBatch = 256;
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    auto fw = PlugTestFirmware(bus, TUsbDriverKind::Family);
    TCountingDevice device(nullptr, fw->Path());
    device.fSynchronizeThread = sent;
    if (!device.Open()) {
        AState.SkipWithError("open failed");
        return;
    }
    const std::vector<uint8_t> block(blockSize, 0x5A);
    uint64_t expected = 0;
    for (auto _ : AState) {
        for (int i = 0; i < KBatch; ++i)
            fw->PushStreamTransfer(block);
        expected += KBatch;
        if (!loop.RunUntil([&] { return device.fBlocks >= expected; }, 10000)) {
            AState.SkipWithError("blocks did not arrive");
            break;
        }
    }
    AState.SetItemsProcessed(int64_t(device.fBlocks));
    AState.SetBytesProcessed(int64_t(device.fBytes));
    device.Close();
    bus.Unplug(*fw);
    loop.ProcessMessages();
}
BENCHMARK(BM_BlocksToMainThread)
    ->ArgNames({"sent", "bytes"})
    ->Args({1, 64})
    ->Args({0, 64})
    ->Args({1, 4096})
    ->Args({0, 4096})
    ->UseRealTime();

// One 4-byte device-to-host vendor request (GetProtocolVersion) on the family driver (arg 0) or the
// generic driver (arg 1).
void BM_ControlTransfer(benchmark::State& AState) {
    const TUsbDriverKind kind = AState.range(0) ? TUsbDriverKind::Generic : TUsbDriverKind::Family;
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope scope(loop, bus);
    auto fw = PlugTestFirmware(bus, kind);
    TTestKelvoDevice device(nullptr, fw->Path());
    if (!device.Open()) {
        AState.SkipWithError("open failed");
        return;
    }
    TProtocolVersion version{};
    for (auto _ : AState) {
        if (!device.GetProtocolVersion(&version)) {
            AState.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(version);
    }
    AState.SetItemsProcessed(int64_t(AState.iterations()));
    device.Close();
    bus.Unplug(*fw);
    loop.ProcessMessages();
}
BENCHMARK(BM_ControlTransfer)->ArgName("generic")->Arg(0)->Arg(1);

} // namespace
