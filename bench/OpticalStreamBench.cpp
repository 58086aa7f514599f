// Optical frames decoded per second through the whole input path: from the read buffer (or the
// transport's block) to the point event, filters included.
#include "MyLib/OpticalStream.h"
#include "sim/SimOpticalStream.h"

#include "platform/LittleEndian.h"

#include <benchmark/benchmark.h>

#include <algorithm>

#include <vector>

namespace {

constexpr int KFramesPerRead = 64;

// One stream read as the family driver delivers it, and the frame pieces of the generic driver.
struct TCapture {
    std::vector<uint8_t> Read;
    std::vector<std::vector<uint8_t>> Pieces;
};

TCapture Capture(uint16_t AVersionHW, uint16_t AVersionFW) {
    TSimOpticalStream stream({AVersionHW, AVersionFW});
    TCapture capture;
    for (int i = 0; i < KFramesPerRead; ++i)
        for (const auto& transfer : stream.NextFrame()) {
            size_t at = capture.Read.size(), header = stream.SendsRecords() ? 5 : 0;
            capture.Read.resize(at + header + transfer.Bytes.size(), 0x88);
            if (header)
                PutLE32(capture.Read.data() + at + 1, uint32_t(transfer.Bytes.size()));
            std::copy(transfer.Bytes.begin(), transfer.Bytes.end(),
                      capture.Read.begin() + ptrdiff_t(at + header));
            capture.Pieces.push_back(transfer.Bytes);
        }
    return capture;
}

void Run(benchmark::State& AState, uint16_t AVersionHW, uint16_t AVersionFW, bool ABlocks) {
    TCapture capture = Capture(AVersionHW, AVersionFW);
    TOpticalStream stream;
    stream.SetDevice(AVersionHW, AVersionFW);
    int64_t points = 0;
    double sink = 0;
    stream.SetOnNewPoint([&](const TQueuedPoint_V1& APoint) {
        ++points;
        sink += APoint.xmm;
    });
    for (auto _ : AState) {
        if (ABlocks)
            for (const auto& piece : capture.Pieces)
                stream.DoData(piece.data(), piece.size());
        else
            stream.ProcessData(capture.Read.data(), capture.Read.size());
    }
    benchmark::DoNotOptimize(sink);
    AState.SetItemsProcessed(points);
}

void BM_OpticalNewBoardRecords(benchmark::State& AState) {
    Run(AState, 5, 11, false);
}
void BM_OpticalNewBoardBlocks(benchmark::State& AState) {
    Run(AState, 5, 11, true);
}
void BM_OpticalOldBoardRecords(benchmark::State& AState) {
    Run(AState, 2, 10, false);
}
void BM_OpticalOldBoardRawReads(benchmark::State& AState) {
    Run(AState, 2, 9, false);
}

BENCHMARK(BM_OpticalNewBoardRecords);
BENCHMARK(BM_OpticalNewBoardBlocks);
BENCHMARK(BM_OpticalOldBoardRecords);
BENCHMARK(BM_OpticalOldBoardRawReads);

} // namespace
