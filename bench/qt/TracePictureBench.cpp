// Trace pictures per second: a 10 s trace at 100 points a second along the simulated aiming path,
// with the shots that fell in it, drawn on one face (the picture of every shot and the picture of a
// whole trace without shots), and with the PNG encoding a written picture adds.
#include "MyLib/KelvoLib.h"
#include "sim/SimOpticalStream.h"
#include "trace/QtCanvas.h"
#include "trace/TracePicture.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QImageWriter>

#include <vector>

namespace {

constexpr int KPointsPerSecond = 100;
constexpr int KSeconds = 10;

struct TRecording {
    std::vector<TAimPoint> Points;
    std::vector<TShotMark> Shots;
};

TRecording Recording() {
    TSimAimPath path(1, KPointsPerSecond);
    TRecording recording;
    for (int i = 0; i < KSeconds * KPointsPerSecond; ++i) {
        const TSimAimSample aim = path.Next();
        const double time = double(i) / KPointsPerSecond;
        recording.Points.push_back({time, aim.XMm, aim.YMm});
        if (aim.Shot)
            recording.Shots.push_back({time, aim.XMm, aim.YMm});
    }
    return recording;
}

void Run(benchmark::State& AState, bool AShots, bool AEncode) {
    StartGuiApplication();
    const TBaseTarget& face = *FindTarget("AP10");
    const TRecording recording = Recording();
    const std::vector<TShotMark> shots = AShots ? recording.Shots : std::vector<TShotMark>{};
    int64_t bytes = 0;
    for (auto _ : AState) {
        const QImage picture = DrawTracePicture(face, recording.Points, shots, "3 shots, total 28.1");
        if (AEncode) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter(&buffer, "png").write(picture);
            bytes += png.size();
        }
        benchmark::DoNotOptimize(picture.constBits());
    }
    AState.counters["shots"] = double(shots.size());
    AState.counters["png_bytes"] = AEncode ? double(bytes) / double(AState.iterations()) : 0;
    AState.SetItemsProcessed(int64_t(AState.iterations()));
}

void BM_TracePictureShots(benchmark::State& AState) {
    Run(AState, true, false);
}
void BM_TracePictureWholeTrace(benchmark::State& AState) {
    Run(AState, false, false);
}
void BM_TracePictureShotsAsPng(benchmark::State& AState) {
    Run(AState, true, true);
}

BENCHMARK(BM_TracePictureShots)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TracePictureWholeTrace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TracePictureShotsAsPng)->Unit(benchmark::kMillisecond);

} // namespace
