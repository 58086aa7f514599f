#include "trace/ShotSeries.h"

#include "MyLib/KelvoLib.h"

#include <algorithm>
#include <cmath>
#include <limits>

TTraceClock OpticalClock(uint16_t AFrameRate, uint16_t AVersionHW, uint16_t AShotLevel) {
    return {.CountsPerSecond = double(AFrameRate),
            .CounterBits = 32,
            .ShotLevel = AVersionHW >= 5 ? 0.0 : double(AShotLevel)};
}

TTraceClock CameraClock(uint16_t AFramesPerSecond) {
    return {.CountsPerSecond = double(AFramesPerSecond), .CounterBits = 16};
}

TShotSeries::TShotSeries(double ATraceSeconds) : fTraceSeconds(ATraceSeconds) {}

void TShotSeries::SetClock(const TTraceClock& AClock) {
    fClock = AClock;
    fStarted = false;
    fSteps = 0;
    fClockStart = fLastTime;
}

double TShotSeries::TimeOf(uint32_t ACounter, const TQueuedPoint_V1& APoint) {
    const uint64_t count = fClock.HostTicks ? APoint.dwTick : ACounter;
    // A sensor that reports no frame rate is taken at the usual one.
    const double rate = fClock.HostTicks             ? 1000
                        : fClock.CountsPerSecond > 0 ? fClock.CountsPerSecond
                                                     : TTraceClock{}.CountsPerSecond;
    const int bits = fClock.HostTicks ? 32 : std::clamp(fClock.CounterBits, 1, 32);
    const uint64_t mask = bits == 32 ? 0xFFFFFFFFull : (1ull << bits) - 1;
    if (fStarted)
        // Forward by the steps since the last point, across the counter's wrap.
        fSteps += (count - fLastCount) & mask;
    fStarted = true;
    fLastCount = count;
    fLastTime = fClockStart + double(fSteps) / rate;
    return fLastTime;
}

bool TShotSeries::IsShot(const TQueuedPoint_V1& APoint) const {
    if (APoint.micidx != 0 && APoint.micidx != fLastIndex)
        return true;
    return fClock.ShotLevel > 0 && APoint.mic >= fClock.ShotLevel && !(fLastMic >= fClock.ShotLevel);
}

void TShotSeries::Add(uint32_t ACounter, const TQueuedPoint_V1& APoint) {
    const double time = TimeOf(ACounter, APoint);
    constexpr double None = std::numeric_limits<double>::quiet_NaN();
    const bool onCard = APoint.valid && std::isfinite(APoint.xmm) && std::isfinite(APoint.ymm);
    const double x = onCard ? APoint.xmm : None;
    const double y = onCard ? APoint.ymm : None;
    fPoints.push_back({time, x, y});
    if (IsShot(APoint))
        fShots.push_back({time, x, y});
    fLastIndex = APoint.micidx;
    fLastMic = APoint.mic;
    if (!fShots.empty() && fPoints.size() >= fPruneAt)
        Prune();
}

void TShotSeries::Prune() {
    std::vector<TAimPoint> kept;
    auto shot = fShots.begin();
    for (const TAimPoint& point : fPoints) {
        // Shots and points are both in time order: skip the shots whose trace ended before this point.
        while (shot != fShots.end() && shot->Time < point.Time)
            ++shot;
        const bool inTrace = shot != fShots.end() && point.Time >= shot->Time - fTraceSeconds;
        if (inTrace || point.Time >= fLastTime - fTraceSeconds)
            kept.push_back(point);
    }
    fPoints = std::move(kept);
    fPruneAt = std::max<size_t>(4096, 2 * fPoints.size());
}

std::string TotalResult(const TBaseTarget& AFace, const std::vector<TShotMark>& AShots) {
    int total = 0;
    for (const TShotMark& shot : AShots)
        total += AFace.Get_Result(shot.x, shot.y); // 0 for a shot without a position
    return AFace.FormatResultStr(total);
}
