#pragma once
// The optical sensor's stream bytes and the arithmetic of one frame: the record stream of the family
// driver (id byte, 32-bit length, data), the new-hardware 47-byte frame and the old-hardware 93-byte
// frame, the LED spots computed from their amplitudes, and TOpticalAim, which turns spots into a point
// in millimetres on the target through the scale, angle and smoothing filters.
// Every byte is the device's: lengths are checked against the bytes received, and a non-finite value
// makes the point invalid instead of reaching a filter.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/MyMath.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint8_t KSensorRecordId = 0x88;
constexpr size_t KSensorRecordHeaderSize = 5;
constexpr int KNewFrameSize = 47;
constexpr int KOldFrameSize = 93;
constexpr int KOldFrameFirstPart = 63;
constexpr int KOldFrameSecondPart = 30;

// New hardware (version 5 and above).
struct TNewSensorFrame {
    uint32_t dwCounter = 0;
    uint32_t dwSampleCounter = 0;
    uint32_t dwMicIndex = 0;
    uint16_t wMic = 0;
    std::array<float, 4> Led1{}; // quadrants 0..3
    std::array<float, 4> Led2{};
    uint8_t bOffScale = 0;
};
// Reads KNewFrameSize bytes.
TNewSensorFrame ReadNewSensorFrame(const uint8_t* ABytes);

// Old hardware: eight pairs of correlation sums (pair = quadrant * 2 + LED), the piezo value and its
// bitmap (not interpreted).
struct TUsbFrame {
    std::array<int32_t, 16> ch{};
    uint32_t pieso = 0;
    std::array<uint8_t, 25> PiesoBitmap{};
};
// Reads KOldFrameSize bytes.
TUsbFrame ReadUsbFrame(const uint8_t* ABytes);

// How a walk over a record stream ended.
enum class TRecordWalkEnd { Complete, NoId, BadSize };
struct TRecordWalk {
    TRecordWalkEnd End = TRecordWalkEnd::Complete;
    // The length a BadSize record claimed (0 when its header itself was cut short).
    uint32_t BadLength = 0;
};

// Calls AOnRecord(data, length) for each record of the buffer in order. A record that does not start
// with KSensorRecordId, or whose header or data run past the buffer, ends the walk.
template <class TOnRecord>
TRecordWalk WalkSensorRecords(const uint8_t* ABuffer, size_t ACount, TOnRecord&& AOnRecord) {
    size_t pos = 0;
    while (pos < ACount) {
        if (ABuffer[pos] != KSensorRecordId)
            return {TRecordWalkEnd::NoId, 0};
        size_t rest = ACount - pos;
        if (rest < KSensorRecordHeaderSize)
            return {TRecordWalkEnd::BadSize, 0};
        uint32_t length = uint32_t(ABuffer[pos + 1]) | uint32_t(ABuffer[pos + 2]) << 8 |
                          uint32_t(ABuffer[pos + 3]) << 16 | uint32_t(ABuffer[pos + 4]) << 24;
        if (uint64_t(length) > rest - KSensorRecordHeaderSize)
            return {TRecordWalkEnd::BadSize, length};
        AOnRecord(ABuffer + pos + KSensorRecordHeaderSize, size_t(length));
        pos += KSensorRecordHeaderSize + length;
    }
    return {};
}

// Per-quadrant calibration factors; a factor of 0 (or not finite) is "not set" and leaves the
// amplitude alone. Null means no calibration.
using TQuadrantFactors = std::array<float, 4>;

// A point's amplitudes (amp: LED 1 quadrants 0..3, then LED 2) and the two LED spots made of them
// (x, y and sum at index 1 and 2), and whether they are usable (valid).
// New hardware: amplitudes below 20 (or not finite) make the spots invalid.
TQueuedPoint_V1 NewFrameSpots(const TNewSensorFrame& AFrame, const TQuadrantFactors* AK);

// Old hardware, from the sums of the previous frame and this one (added in 64 bits), phase-corrected
// (phase filled too); all eight corrected amplitudes must reach 25. AIdx is the quadrant order.
TQueuedPoint_V1 OldFrameSpots(const TUsbFrame& APrevious, const TUsbFrame& AFrame, const TQuadrantFactors* AK,
                              const TPhaseCorrection& APC1, const TPhaseCorrection& APC2,
                              const std::array<int, 4>& AIdx);

// The target geometry (LED positions, scale, angle) and the filters that turn LED spots into a
// point in millimetres. The scale filter is the Chebyshev low-pass at 0.05: it restarts from its first
// input, so the first dynamic scale is exact, and follows a changing distance without the 49-frame
// lag of a moving average.
class TOpticalAim {
public:
    // Millimetres per spot unit until a target is set: the sensor's default.
    static constexpr double KDefaultScale = 0.5;

    TOpticalAim();

    // LED positions; the LED distance follows them.
    void SetTarget(double ALedX1, double ALedY1, double ALedX2, double ALedY2);
    // Fixed scale ADistance / ADistanceK; a DistanceK of 0 (or not finite) is "not set" and leaves the
    // scale to be measured, as with a dynamic target.
    void SetStaticTarget(double ADistance, double ADistanceK, double ALedX1, double ALedY1, double ALedX2,
                         double ALedY2);
    void SetDynamicTarget(double ALedX1, double ALedY1, double ALedX2, double ALedY2);
    // LED coordinates times AFactor; the LED distance stays.
    void ScaleTarget(double AFactor);
    // Restarts the X and Y filters.
    void ResetFilter();

    // Normalises the point's spots (x, y scaled to a sum of 2000; index 0 the mean spot and the
    // total sum), measures the LED distance and fills xmm, ymm, angle and scale. Spots with a
    // non-finite value make the point invalid and leave every filter and the target state as they
    // were.
    void Finish(TQueuedPoint_V1& APoint);

    double Scale() const { return fScale; }
    double Angle() const { return fAngle; }
    double LedsDistance() const { return fLedsDistance; }
    double RealLedsDistance() const { return fRealLedsDistance; }
    bool DynamicScale() const { return fDynamicScale; }
    void SetDynamicScale(bool AValue) { fDynamicScale = AValue; }
    bool Smoothing() const { return fSmoothing; }
    void SetSmoothing(bool AValue) { fSmoothing = AValue; }
    bool AngleOn() const { return fAngleOn; }
    void SetAngleOn(bool AValue) { fAngleOn = AValue; }
    void SetScale(double AValue) { fScale = AValue; }
    void SetAngle(double AValue) { fAngle = AValue; }

private:
    double fLedsX[2] = {0, 0};
    double fLedsY[2] = {91, -91};
    double fLedsDistance = 182;
    double fRealLedsDistance = 0;
    double fScale = KDefaultScale;
    double fAngle = 0;
    bool fDynamicScale = false;
    bool fSmoothing = true;
    bool fAngleOn = true;
    TCheb2 fScaleCheb;
    TCheb2 fXCheb;
    TCheb2 fYCheb;
    TAngleCheb2 fAngleCheb;
};
