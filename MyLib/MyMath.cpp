#include "MyLib/MyMath.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace {
constexpr double Pi = std::numbers::pi;
constexpr double TwoPi = 2 * std::numbers::pi;

// One two-pole section of the design: y = A0 x + A1 x1 + A2 x2 + B1 y1 + B2 y2.
struct TSection {
    double A0, A1, A2, B1, B2;
};

// Section p (1-based) of an NPoles-pole Chebyshev prototype, moved to the z-domain and to the cut-off.
TSection DesignSection(int p, int NPoles, double ACutOffFreq, TFilterPassType APassType,
                       double APercentRipple) {
    // Pole on the unit circle (Butterworth position).
    double angle = Pi / (2.0 * NPoles) + (p - 1) * Pi / NPoles;
    double rp = -std::cos(angle);
    double ip = std::sin(angle);
    // Warp to the Chebyshev ellipse, scaled so that the cut-off stays the -3 dB point.
    if (APercentRipple != 0) {
        double es = std::sqrt(std::pow(100.0 / (100.0 - APercentRipple), 2) - 1);
        double vx = std::log(1 / es + std::sqrt(1 / (es * es) + 1)) / NPoles;
        double kx = std::log(1 / es + std::sqrt(1 / (es * es) - 1)) / NPoles;
        kx = (std::exp(kx) + std::exp(-kx)) / 2;
        rp = rp * ((std::exp(vx) - std::exp(-vx)) / 2) / kx;
        ip = ip * ((std::exp(vx) + std::exp(-vx)) / 2) / kx;
    }
    // Bilinear transform of the prototype, cut-off at 1 radian per sample.
    double t = 2 * std::tan(0.5);
    double m = rp * rp + ip * ip;
    double d = 4 - 4 * rp * t + m * t * t;
    double x0 = t * t / d;
    double x1 = 2 * t * t / d;
    double x2 = t * t / d;
    double y1 = (8 - 2 * m * t * t) / d;
    double y2 = (-4 - 4 * rp * t - m * t * t) / d;
    // Low-pass to low-pass or low-pass to high-pass transform to the wanted cut-off.
    double w = TwoPi * ACutOffFreq;
    double k = APassType == TFilterPassType::HighPass ? -std::cos(w / 2 + 0.5) / std::cos(w / 2 - 0.5)
                                                      : std::sin(0.5 - w / 2) / std::sin(0.5 + w / 2);
    d = 1 + y1 * k - y2 * k * k;
    TSection s;
    s.A0 = (x0 - x1 * k + x2 * k * k) / d;
    s.A1 = (-2 * x0 * k + x1 + x1 * k * k - 2 * x2 * k) / d;
    s.A2 = (x0 * k * k - x1 * k + x2) / d;
    s.B1 = (2 * k + y1 + y1 * k * k - 2 * y2 * k) / d;
    s.B2 = (-k * k - y1 * k + y2) / d;
    if (APassType == TFilterPassType::HighPass) {
        s.A1 = -s.A1;
        s.B1 = -s.B1;
    }
    return s;
}

// The largest ripple the ellipse warp can take: beyond it the -3 dB scaling has no real solution.
const double MaxPercentRipple = 100.0 * (1.0 - 1.0 / std::sqrt(2.0));
} // namespace

bool TCheb2::Init(double ACutOffFreq, TFilterPassType APassType, double APercentRipple, std::uint8_t NPoles) {
    fCutOffFreq = ACutOffFreq;
    fPassType = APassType;
    fPercentRipple = APercentRipple;
    fPoles = NPoles;
    fOk = false;
    fA.fill(0);
    fB.fill(0);
    // Refuse what would divide by zero or take the root of a negative number below.
    bool valid = NPoles >= 2 && NPoles <= MaxPoles && NPoles % 2 == 0 && ACutOffFreq > 0 &&
                 ACutOffFreq < 0.5 && APercentRipple >= 0 && APercentRipple < MaxPercentRipple;
    if (!valid) {
        return false;
    }

    fA[2] = 1;
    fB[2] = 1;
    for (int p = 1; p <= NPoles / 2; ++p) {
        TSection s = DesignSection(p, NPoles, ACutOffFreq, APassType, APercentRipple);
        // Multiply this section into the cascade built so far.
        TCoeffArray ta = fA;
        TCoeffArray tb = fB;
        for (std::size_t i = 2; i < fA.size(); ++i) {
            fA[i] = s.A0 * ta[i] + s.A1 * ta[i - 1] + s.A2 * ta[i - 2];
            fB[i] = tb[i] - s.B1 * tb[i - 1] - s.B2 * tb[i - 2];
        }
    }
    fB[2] = 0;
    for (std::size_t i = 0; i <= 20; ++i) {
        fA[i] = fA[i + 2];
        fB[i] = -fB[i + 2];
    }

    // Unit gain at zero frequency (low-pass) or at the Nyquist frequency (high-pass).
    double sa = 0;
    double sb = 0;
    for (std::size_t i = 0; i <= 20; ++i) {
        double sign = APassType == TFilterPassType::HighPass && i % 2 == 1 ? -1.0 : 1.0;
        sa += fA[i] * sign;
        sb += fB[i] * sign;
    }
    double gain = sa / (1 - sb);
    if (!std::isfinite(gain) || gain == 0) {
        fA.fill(0);
        fB.fill(0);
        return false;
    }
    for (std::size_t i = 0; i <= 20; ++i) {
        fA[i] /= gain;
    }
    fOk = true;
    return true;
}

double TCheb2::Filter(double A) {
    if (!fOk) {
        return A;
    }
    if (fReset) {
        fPrev[0] = fPrev[1] = A;
        fPrevF[0] = fPrevF[1] = A;
        fReset = false;
        return A;
    }
    double y = fA[0] * A + fA[1] * fPrev[0] + fA[2] * fPrev[1] + fB[1] * fPrevF[0] + fB[2] * fPrevF[1];
    fPrev[1] = fPrev[0];
    fPrev[0] = A;
    fPrevF[1] = fPrevF[0];
    fPrevF[0] = y;
    return y;
}

void TCheb2::ShiftHistory(double ADelta) {
    for (int i = 0; i < 2; ++i) {
        fPrev[i] += ADelta;
        fPrevF[i] += ADelta;
    }
}

double TAngleCheb2::Filter(double A) {
    if (fOk && !fReset) {
        if (A > Pi / 2 && fPrevF[0] < -Pi / 2) {
            ShiftHistory(TwoPi);
        } else if (A < -Pi / 2 && fPrevF[0] > Pi / 2) {
            ShiftHistory(-TwoPi);
        }
    }
    return TCheb2::Filter(A);
}

void TAverageFilter::Init(int N) {
    fValues.assign(std::size_t(N < 1 ? 1 : N), 0.0);
    Reset();
}

void TAverageFilter::Reset() {
    fHead = 0;
    fTail = 0;
}

double TAverageFilter::Filter(double A) {
    if (fValues.empty()) {
        Init(1);
    }
    const auto n = std::int32_t(fValues.size());
    fValues[std::size_t(fTail)] = A;
    fTail = (fTail + 1) % n;
    if (fTail == fHead) {
        fHead = (fHead + 1) % n;
    }
    double sum = 0;
    int count = 0;
    for (std::int32_t i = fHead; i != fTail; i = (i + 1) % n) {
        sum += fValues[std::size_t(i)];
        ++count;
    }
    return count == 0 ? A : sum / count;
}

TPhaseCorrection::TPhaseCorrection(int AFreq) : fFrequency(AFreq) {
    // Rounding is to the nearest integer with ties to even (the default floating-point mode).
    constexpr int RefLen = 200;
    constexpr int SignalLen = 400;
    std::array<double, RefLen> sr;
    std::array<double, RefLen> cr;
    for (int i = 0; i < RefLen; ++i) {
        double arg = TwoPi * AFreq * i / SignalLen;
        sr[std::size_t(i)] = std::nearbyint(511 * std::sin(arg));
        cr[std::size_t(i)] = std::nearbyint(511 * std::cos(arg));
    }
    // The test signal's sine does not depend on the phase: it is computed once, not for every entry.
    std::array<double, SignalLen> signal;
    for (int i = 0; i < SignalLen; ++i)
        signal[std::size_t(i)] = 512 * std::sin(TwoPi * AFreq * i / SignalLen);
    for (int k = 0; k < TableSize; ++k) {
        // The test signal's phase term is added to its value, not to the sine's argument; the
        // table the sensor thresholds were set with is built that way, and it comes out nearly flat.
        double phase = TwoPi * k / TableSize;
        double sumS = 0;
        double sumC = 0;
        for (int i = 0; i < SignalLen; ++i) {
            double s = std::nearbyint(signal[std::size_t(i)] + phase) + 2048;
            sumS += sr[std::size_t(i % RefLen)] * s;
            sumC += cr[std::size_t(i % RefLen)] * s;
        }
        double sc = sumS / RefLen / 512;
        double cc = sumC / RefLen / 512;
        double amplitude = std::sqrt(sc * sc + cc * cc);
        // A frequency the reference cannot see (amplitude 0) gets no correction rather than an
        // infinite one.
        double factor = amplitude > 0 ? 512 / amplitude : 1.0;
        fTable[std::size_t(k)] = float(factor);
    }
}

float TPhaseCorrection::get_K(float AAngle) const {
    if (!std::isfinite(AAngle)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    // Any angle maps into the table: negative and very large ones wrap like the angles 0 to 2*pi.
    double index = std::fmod(std::nearbyint(double(AAngle) * 2000.0 / Pi), double(TableSize));
    if (index < 0) {
        index += TableSize;
    }
    return fTable[std::size_t(index)];
}

double PointsAngle(double AToX, double AToY, double AFromX, double AFromY) {
    if (AToX == AFromX && AToY == AFromY) {
        return 0;
    }
    if (AToX == AFromX) {
        return AToY > AFromY ? Pi / 2 : 3 * Pi / 2;
    }
    double a = std::atan((AToY - AFromY) / (AToX - AFromX));
    double result;
    if (AToX < AFromX) {
        result = a + Pi;
    } else if (AToY >= AFromY) {
        result = a;
    } else {
        result = a + TwoPi;
    }
    // A tiny negative a rounds a + 2*pi up to 2*pi, which belongs to 0.
    return result >= TwoPi ? result - TwoPi : result;
}

double AnglesDiff(double AAngle1, double AAngle2) {
    double d = AAngle1 - AAngle2;
    if (!std::isfinite(d)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // Far-off angles are reduced in one step; the loops then settle the (-pi, pi] boundary.
    if (std::abs(d) > 4 * Pi) {
        d = std::remainder(d, TwoPi);
    }
    while (d > Pi) {
        d -= TwoPi;
    }
    while (d <= -Pi) {
        d += TwoPi;
    }
    return d;
}

TPoint2D RotatePoint(double AX, double AY, double AAlpha) {
    double c = std::cos(AAlpha);
    double s = std::sin(AAlpha);
    return {AX * c + AY * s, AY * c - AX * s};
}
