#pragma once
// Numeric building blocks of the sensors: a run-time designed recursive Chebyshev filter (and its
// variant for angles that wrap at +-pi), a moving average, the phase-dependent amplitude correction of
// the optical sensor and three plane-geometry helpers. All are single-threaded value objects.
#include <array>
#include <cstdint>
#include <vector>

enum class TFilterPassType : std::uint8_t { LowPass = 0, HighPass = 1 };

// Recursive Chebyshev low-pass or high-pass filter, designed by the bilinear transform as a cascade
// of two-pole sections. A ripple of 0 gives a Butterworth response. Filtering runs the first two-pole
// recursion (fA[0..2], fB[1..2]), which is the whole filter for the two-pole designs the sensors use.
class TCheb2 {
public:
    // Recursion coefficients; the design needs two guard slots above the 20 poles it supports.
    using TCoeffArray = std::array<double, 23>;
    static constexpr int MaxPoles = 20;

    TCheb2() = default;
    virtual ~TCheb2() = default;

    // Designs the filter. ACutOffFreq is the -3 dB point as a fraction of the sampling rate (0 to 0.5
    // exclusive), APercentRipple the pass-band ripple in percent, NPoles an even count of 2 to 20.
    // Parameters outside these ranges leave the filter undesigned; an undesigned filter passes its
    // input through. Returns whether the design succeeded.
    bool Init(double ACutOffFreq, TFilterPassType APassType, double APercentRipple, std::uint8_t NPoles);
    // One sample in, one sample out.
    virtual double Filter(double A);
    // The next Filter call restarts the history from its input.
    void Reset() { fReset = true; }

    bool IsOk() const { return fOk; }
    const TCoeffArray& GetCoeffA() const { return fA; }
    const TCoeffArray& GetCoeffB() const { return fB; }

protected:
    // Adds ADelta to both remembered inputs and outputs.
    void ShiftHistory(double ADelta);

    bool fOk = false;
    double fCutOffFreq = 0;
    TFilterPassType fPassType = TFilterPassType::LowPass;
    double fPercentRipple = 0;
    std::uint8_t fPoles = 0;
    TCoeffArray fA{};
    TCoeffArray fB{};
    double fPrev[2] = {};  // last two inputs, newest first
    double fPrevF[2] = {}; // last two outputs, newest first
    bool fReset = true;
};

// TCheb2 for an angle in radians that wraps at +-pi: when the input jumps across the wrap, the history
// is moved by a full turn, so the output follows the angle continuously (and may leave (-pi, pi]).
class TAngleCheb2 : public TCheb2 {
public:
    double Filter(double A) override;
};

// Moving average over a ring of N slots. The ring keeps one slot free, so the mean covers at most the
// last N - 1 inputs.
class TAverageFilter {
public:
    // N slots, empty. Fewer than one slot is taken as one, which makes the filter pass its input.
    void Init(int N);
    // Empty again; the slots keep their contents but are ignored.
    void Reset();
    // Adds A and returns the mean of the values held (A itself when none is held).
    double Filter(double A);

private:
    std::vector<double> fValues;
    std::int32_t fHead = 0;
    std::int32_t fTail = 0;
};

// Amplitude correction of the optical sensor's LED signals, by phase angle. The table holds 1000
// factors; a full turn covers it four times.
class TPhaseCorrection {
public:
    static constexpr int TableSize = 1000;

    // Builds the table for the LED frequency index AFreq.
    explicit TPhaseCorrection(int AFreq);
    // The correction factor for a phase angle in radians (any finite angle; NaN when it is not finite).
    float get_K(float AAngle) const;

    int GetFrequency() const { return fFrequency; }
    const std::array<float, TableSize>& GetTable() const { return fTable; }

private:
    std::array<float, TableSize> fTable{};
    std::int32_t fFrequency;
};

struct TPoint2D {
    double x = 0;
    double y = 0;
};
using PPoint2D = TPoint2D*;

// Direction of the vector from (AFromX, AFromY) to (AToX, AToY), in [0, 2*pi); 0 when they coincide.
double PointsAngle(double AToX, double AToY, double AFromX, double AFromY);
// AAngle1 - AAngle2 brought into (-pi, pi].
double AnglesDiff(double AAngle1, double AAngle2);
// The point (AX, AY) rotated by -AAlpha about the origin.
TPoint2D RotatePoint(double AX, double AY, double AAlpha);
