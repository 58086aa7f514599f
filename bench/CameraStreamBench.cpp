// Camera stream bytes reassembled per second through the whole input path: from the family driver's
// read buffer (or the generic driver's blocks) to the point and image events, filters included.
#include "MyLib/CameraStream.h"
#include "sim/SimCameraStream.h"

#include "platform/LittleEndian.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr size_t KReadSize = 10240;

// The packets as the family driver's reads (records never straddle two) and as generic blocks.
struct TCapture {
    std::vector<std::vector<uint8_t>> Reads;
    std::vector<std::vector<uint8_t>> Blocks;
    size_t Bytes = 0;
};

TCapture Capture(uint8_t AImageId, int APackets) {
    TSimCameraStream stream;
    TSimCameraFrame frame;
    frame.ImageId = AImageId;
    TCapture capture;
    capture.Reads.emplace_back();
    for (int i = 0; i < APackets; ++i)
        for (auto& transfer : stream.NextPacket(frame)) {
            if (capture.Reads.back().size() + 5 + transfer.Bytes.size() > KReadSize)
                capture.Reads.emplace_back();
            std::vector<uint8_t>& read = capture.Reads.back();
            read.push_back(0x88);
            AppendLE32(read, uint32_t(transfer.Bytes.size()));
            read.insert(read.end(), transfer.Bytes.begin(), transfer.Bytes.end());
            capture.Bytes += transfer.Bytes.size();
            capture.Blocks.push_back(std::move(transfer.Bytes));
        }
    return capture;
}

void Run(benchmark::State& AState, uint8_t AImageId, int APackets, bool ABlocks) {
    const TCapture capture = Capture(AImageId, APackets);
    TCameraStream stream;
    stream.SetProtocol(18);
    stream.Sensor().PixToMMScale = 6;
    int64_t points = 0, images = 0;
    double sink = 0;
    stream.SetOnNewPoint([&](const TQueuedPoint_V1& APoint) {
        ++points;
        sink += APoint.xmm;
    });
    stream.SetOnImage([&](const TQVDataPacket_V1&, const TQVBitmap& ABitmap) {
        ++images;
        sink += ABitmap.Pixels[0];
    });
    for (auto _ : AState) {
        if (ABlocks)
            for (const auto& block : capture.Blocks)
                stream.DoData(block.data(), block.size());
        else
            for (const auto& read : capture.Reads)
                stream.ProcessData(read.data(), read.size());
    }
    benchmark::DoNotOptimize(sink);
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(capture.Bytes));
    AState.counters["points"] = benchmark::Counter(double(points), benchmark::Counter::kIsRate);
    AState.counters["images"] = benchmark::Counter(double(images), benchmark::Counter::kIsRate);
}

// Points only, the window's image (80 x 80) with each point, and the whole image.
void BM_CameraPointsReads(benchmark::State& AState) {
    Run(AState, 0, 1000, false);
}
void BM_CameraPointsBlocks(benchmark::State& AState) {
    Run(AState, 0, 1000, true);
}
void BM_CameraWindowImagesReads(benchmark::State& AState) {
    Run(AState, 3, 50, false);
}
void BM_CameraWindowImagesBlocks(benchmark::State& AState) {
    Run(AState, 3, 50, true);
}
void BM_CameraFullImageReads(benchmark::State& AState) {
    Run(AState, 6, 2, false);
}
void BM_CameraFullImageBlocks(benchmark::State& AState) {
    Run(AState, 6, 2, true);
}

BENCHMARK(BM_CameraPointsReads);
BENCHMARK(BM_CameraPointsBlocks);
BENCHMARK(BM_CameraWindowImagesReads);
BENCHMARK(BM_CameraWindowImagesBlocks);
BENCHMARK(BM_CameraFullImageReads);
BENCHMARK(BM_CameraFullImageBlocks);

} // namespace
