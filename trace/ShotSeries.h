#pragma once
// A recording's aiming points on a clock of seconds and the shots its sensor reported, as the trace
// pictures take them. Shots are what the sensor says of them: a new shot-detector event (a sample
// index that is not 0 and differs from the point before), or, on sensors whose frames carry no
// index, the microphone level rising to the shot level.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/ShotTraceDrawing.h"

#include <cstdint>
#include <string>
#include <vector>

class TBaseTarget;

// How a stream's points are timed and how its shots show.
struct TTraceClock {
    // The counter a point is timed by counts this many steps a second and wraps at 2^CounterBits.
    double CountsPerSecond = 100;
    int CounterBits = 32;
    // Time by the host's tick count (milliseconds) instead: for counters that wrap within seconds.
    bool HostTicks = false;
    // The microphone level from which a point reports a shot; 0: only the detector's index tells.
    double ShotLevel = 0;
};

// The optical sensor's points by frame counter at its frame rate. Frames of old boards carry no
// shot index, so their microphone level tells a shot against the sensor's shot level.
TTraceClock OpticalClock(uint16_t AFrameRate, uint16_t AVersionHW, uint16_t AShotLevel);
// The camera sensor's points by their 16-bit packet index at its frame rate; its shot marks give
// them a shot index.
TTraceClock CameraClock(uint16_t AFramesPerSecond);

class TShotSeries {
public:
    // ATraceSeconds: how much trace before a shot is kept once the series has shots (before the first
    // shot every point is kept, for the picture of a whole trace without shots).
    explicit TShotSeries(double ATraceSeconds = TShotTraceStyle{}.Seconds);

    // The clock of the points to come (set before the first point, or they go on from the last one's
    // time).
    void SetClock(const TTraceClock& AClock);
    // One point, ACounter being the counter the source numbers its points by. An invalid point or
    // one off the card's numbers breaks the trace.
    void Add(uint32_t ACounter, const TQueuedPoint_V1& APoint);

    // In time order, the first point at 0 s.
    const std::vector<TAimPoint>& Points() const { return fPoints; }
    const std::vector<TShotMark>& Shots() const { return fShots; }

private:
    double TimeOf(uint32_t ACounter, const TQueuedPoint_V1& APoint);
    bool IsShot(const TQueuedPoint_V1& APoint) const;
    // Drops the points no shot's trace reaches and no coming shot's trace may reach.
    void Prune();

    double fTraceSeconds;
    TTraceClock fClock;
    std::vector<TAimPoint> fPoints;
    std::vector<TShotMark> fShots;
    bool fStarted = false;
    uint64_t fLastCount = 0; // counter or tick of the last point
    uint64_t fSteps = 0;     // of the clock since it was set
    double fClockStart = 0;  // the time when it was set
    double fLastTime = 0;
    uint32_t fLastIndex = 0;
    double fLastMic = 0;
    size_t fPruneAt = 4096;
};

// The total of the shots as AFace counts it, as its result text.
std::string TotalResult(const TBaseTarget& AFace, const std::vector<TShotMark>& AShots);
