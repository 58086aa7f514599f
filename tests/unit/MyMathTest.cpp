#include "MyLib/MyMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace {
using cd = std::complex<double>;
constexpr double Pi = std::numbers::pi;

// Independent design: analog Chebyshev (or Butterworth) prototype poles scaled to -3 dB at 1 rad/s,
// moved to the pre-warped cut-off, bilinear-transformed, expanded, and normalised to unit pass-band
// gain. Returns a[0..N] and b[1..N] in the same recursion form as TCheb2 (b[0] unused).
struct TDesign {
    std::vector<double> a, b;
};
TDesign ReferenceDesign(double AFc, TFilterPassType APass, double ARipple, int N) {
    double eps = std::sqrt(std::pow(100 / (100 - ARipple), 2) - 1);
    double wc = 2 * std::tan(Pi * AFc);
    std::vector<cd> den{1.0}; // polynomial in z^-1
    for (int k = 1; k <= N; ++k) {
        double th = (2 * k - 1) * Pi / (2 * N);
        cd s = ARipple == 0 ? cd(-std::sin(th), std::cos(th))
                            : cd(-std::sinh(std::asinh(1 / eps) / N) * std::sin(th),
                                 std::cosh(std::asinh(1 / eps) / N) * std::cos(th)) /
                                  std::cosh(std::acosh(1 / eps) / N);
        cd p = APass == TFilterPassType::LowPass ? wc * s : wc / s;
        cd z = (2.0 + p) / (2.0 - p);
        den.push_back(0);
        for (std::size_t i = den.size() - 1; i > 0; --i) {
            den[i] -= z * den[i - 1];
        }
    }
    double zeroSign = APass == TFilterPassType::LowPass ? 1 : -1; // zeros at z = -1 or z = 1
    std::vector<double> num{1};
    for (int k = 0; k < N; ++k) {
        num.push_back(0);
        for (std::size_t i = num.size() - 1; i > 0; --i) {
            num[i] += zeroSign * num[i - 1];
        }
    }
    double sn = 0, sd = 0; // response at the pass-band end: z = 1 or z = -1
    for (int i = 0; i <= N; ++i) {
        sn += num[std::size_t(i)] * std::pow(zeroSign, i);
        sd += den[std::size_t(i)].real() * std::pow(zeroSign, i);
    }
    TDesign d;
    for (int i = 0; i <= N; ++i) {
        d.a.push_back(num[std::size_t(i)] * sd / sn);
        d.b.push_back(-den[std::size_t(i)].real());
    }
    return d;
}

// |H(e^jw)| evaluated from the filter's coefficients.
double Magnitude(const TCheb2& AF, int N, double AW) {
    cd n = 0, d = 1;
    for (int i = 0; i <= N; ++i) {
        cd e = std::polar(1.0, -AW * i);
        n += AF.GetCoeffA()[std::size_t(i)] * e;
        if (i > 0) {
            d -= AF.GetCoeffB()[std::size_t(i)] * e;
        }
    }
    return std::abs(n / d);
}
} // namespace

TEST(Cheb2, DesignMatchesAnIndependentDesignAndItsResponse) {
    for (auto pass : {TFilterPassType::LowPass, TFilterPassType::HighPass}) {
        for (double fc : {0.05, 0.15, 0.25, 0.4}) {
            for (double ripple : {0.0, 0.05, 0.5, 5.0}) {
                for (int n : {2, 4, 6}) {
                    SCOPED_TRACE(testing::Message()
                                 << int(pass) << " fc " << fc << " r " << ripple << " n " << n);
                    TCheb2 f;
                    ASSERT_TRUE(f.Init(fc, pass, ripple, std::uint8_t(n)));
                    TDesign ref = ReferenceDesign(fc, pass, ripple, n);
                    for (int i = 0; i <= n; ++i) {
                        EXPECT_NEAR(ref.a[std::size_t(i)], f.GetCoeffA()[std::size_t(i)], 1e-9);
                        if (i > 0) {
                            EXPECT_NEAR(ref.b[std::size_t(i)], f.GetCoeffB()[std::size_t(i)], 1e-9);
                        }
                    }
                    // Pass band (up to the ripple edge) and the -3 dB point at the cut-off.
                    double eps = std::sqrt(std::pow(100 / (100 - ripple), 2) - 1);
                    double stretch = ripple == 0 ? 1 : std::cosh(std::acosh(1 / eps) / n);
                    double wc = 2 * Pi * fc;
                    double edge = pass == TFilterPassType::LowPass
                                      ? 2 * std::atan(std::tan(wc / 2) / stretch)
                                      : 2 * std::atan(std::tan(wc / 2) * stretch);
                    double lo = pass == TFilterPassType::LowPass ? 0 : edge;
                    double hi = pass == TFilterPassType::LowPass ? edge : Pi;
                    double mx = 0, mn = 1e9;
                    for (int i = 0; i <= 4000; ++i) {
                        double m = Magnitude(f, n, lo + (hi - lo) * i / 4000);
                        mx = std::max(mx, m);
                        mn = std::min(mn, m);
                    }
                    if (ripple > 0) { // a Butterworth pass band falls steadily to the cut-off
                        EXPECT_NEAR(-20 * std::log10(1 - ripple / 100), 20 * std::log10(mx / mn), 1e-4);
                    }
                    EXPECT_NEAR(-3.0103, 20 * std::log10(Magnitude(f, n, wc) / mx), 1e-3);
                }
            }
        }
    }
    // 0.5 % ripple is 0.0435 dB.
    EXPECT_NEAR(0.0435, -20 * std::log10(0.995), 5e-5);
}

TEST(Cheb2, PublishedTwoPoleLowPassCoefficients) {
    // The published table (cut-off 0.05, 0.5 % ripple) gives seven digits from a single-precision
    // computation, so agreement is to about a part in a million.
    TCheb2 f;
    ASSERT_TRUE(f.Init(0.05, TFilterPassType::LowPass, 0.5, 2));
    const double a[3] = {1.868823e-02, 3.737647e-02, 1.868823e-02};
    const double b[3] = {0, 1.593937e+00, -6.686903e-01};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(a[i], f.GetCoeffA()[i], 1e-6 * a[i]) << i;
        EXPECT_NEAR(b[i], f.GetCoeffB()[i], 1e-6 * std::abs(b[i])) << i;
    }
}

TEST(Cheb2, FilteringGainsResetAndSteadyStateResponse) {
    TCheb2 lp;
    lp.Init(0.05, TFilterPassType::LowPass, 0.5, 2);
    for (int i = 0; i < 50; ++i) {
        EXPECT_NEAR(1000.0, lp.Filter(1000), 1e-9) << i;
    }
    lp.Reset();
    EXPECT_EQ(-7.25, lp.Filter(-7.25));

    TCheb2 hp;
    hp.Init(0.1, TFilterPassType::HighPass, 0.5, 2);
    double y = 0;
    for (int i = 0; i < 400; ++i) {
        y = hp.Filter(i % 2 ? -1 : 1);
    }
    EXPECT_NEAR(-1.0, y, 1e-6); // unit gain at the Nyquist frequency

    // A sine at the cut-off comes out scaled by the designed magnitude there.
    TCheb2 f;
    f.Init(0.05, TFilterPassType::LowPass, 0.5, 2);
    double peak = 0;
    for (int i = 0; i < 2000; ++i) {
        double out = f.Filter(std::sin(2 * Pi * 0.05 * i));
        if (i > 1000) {
            peak = std::max(peak, std::abs(out));
        }
    }
    EXPECT_NEAR(Magnitude(f, 2, 2 * Pi * 0.05), peak, 2e-3);
}

TEST(Cheb2, ParametersThatCannotBeDesignedLeaveAPassThrough) {
    const double nan = std::nan("");
    struct TCase {
        double fc, ripple;
        int poles;
    } cases[] = {{0.05, 0.5, 0}, {0.05, 0.5, 3}, {0.05, 0.5, 22}, {0, 0.5, 2},
                 {0.5, 0.5, 2},  {-0.1, 0.5, 2}, {nan, 0.5, 2},   {0.05, -1, 2},
                 {0.05, 100, 2}, {0.05, 30, 2},  {0.05, nan, 2}};
    for (const TCase& c : cases) {
        TCheb2 f;
        EXPECT_FALSE(f.Init(c.fc, TFilterPassType::LowPass, c.ripple, std::uint8_t(c.poles)))
            << c.fc << c.ripple;
        EXPECT_EQ(3.0, f.Filter(3.0));
        EXPECT_EQ(-5.0, f.Filter(-5.0));
    }
    TCheb2 widest;
    EXPECT_TRUE(widest.Init(0.05, TFilterPassType::LowPass, 29, 20));
    EXPECT_TRUE(std::isfinite(widest.Filter(1)) && std::isfinite(widest.Filter(2)));
}

TEST(AngleCheb2, HistoryFollowsTheAngleAcrossTheWrap) {
    TAngleCheb2 f;
    f.Init(0.05, TFilterPassType::LowPass, 0.5, 2);
    for (int i = 0; i < 100; ++i) {
        f.Filter(3.1);
    }
    double y = f.Filter(-3.1);
    EXPECT_GT(y, -3.2);
    EXPECT_LT(y, -3.1);

    f.Reset();
    f.Filter(-3.1);
    y = f.Filter(3.1);
    EXPECT_GT(y, 3.1);
    EXPECT_LT(y, 3.2);

    // Small angles either side of 0 are not moved.
    f.Reset();
    f.Filter(0.1);
    EXPECT_NEAR(0.1, f.Filter(-0.1), 0.05);

    // A steady rotation through +-pi several times: apart from whole turns, the output is that of the
    // plain filter fed the unwrapped angle, so it never swings back through 0.
    TCheb2 plain;
    plain.Init(0.05, TFilterPassType::LowPass, 0.5, 2);
    f.Reset();
    for (int i = 0; i < 600; ++i) {
        double unwrapped = 0.05 * i;
        double out = f.Filter(std::remainder(unwrapped, 2 * Pi));
        EXPECT_NEAR(0, std::remainder(out - plain.Filter(unwrapped), 2 * Pi), 1e-9) << i;
    }
}

TEST(AverageFilter, RingKeepsOneSlotFree) {
    TAverageFilter f;
    f.Init(3);
    EXPECT_EQ(1.0, f.Filter(1));
    EXPECT_EQ(1.5, f.Filter(2));
    EXPECT_EQ(2.5, f.Filter(3));
    EXPECT_EQ(3.5, f.Filter(4));
    f.Reset();
    EXPECT_EQ(10.0, f.Filter(10));
    EXPECT_EQ(7.0, f.Filter(4));

    f.Init(100);
    double y = 0;
    for (int i = 1; i <= 150; ++i) {
        y = f.Filter(i);
    }
    EXPECT_DOUBLE_EQ(101.0, y); // mean of 52..150: the last 99 inputs
}

TEST(AverageFilter, TooFewSlotsPassTheInput) {
    TAverageFilter never;
    EXPECT_EQ(2.0, never.Filter(2));
    for (int n : {0, -5, 1}) {
        TAverageFilter f;
        f.Init(n);
        EXPECT_EQ(2.0, f.Filter(2)) << n;
        EXPECT_EQ(-9.0, f.Filter(-9)) << n;
    }
}

TEST(PhaseCorrection, AngleSelectsTheTableEntry) {
    TPhaseCorrection pc(24);
    const auto& table = pc.GetTable();
    EXPECT_EQ(table[0], pc.get_K(0));
    EXPECT_EQ(table[0], pc.get_K(float(Pi / 2)));
    for (float angle : {0.0007f, 0.1f, 0.7854f, 1.5f, 2.0f, 3.14159f, 4.0f, 6.2f, 6.2831f, -0.0007f, -0.1f,
                        -1.5f, -6.2f, -1000.0f, 12345.678f}) {
        long double x =
            std::nearbyint(static_cast<long double>(angle) * 2000 / std::numbers::pi_v<long double>);
        long double m = std::fmod(x, 1000.0L);
        std::size_t k = std::size_t(m < 0 ? m + 1000 : m);
        EXPECT_EQ(table[k], pc.get_K(angle)) << angle;
    }
    for (float huge : {3.0e9f, -3.0e38f, 3.4e38f}) {
        EXPECT_NE(table.end(), std::find(table.begin(), table.end(), pc.get_K(huge))) << huge;
    }
    EXPECT_TRUE(std::isnan(pc.get_K(std::nanf(""))));
    EXPECT_TRUE(std::isnan(pc.get_K(INFINITY)));
}

TEST(PhaseCorrection, TableIsNearlyFlatAndAlwaysFinite) {
    for (int freq : {24, 28}) {
        TPhaseCorrection pc(freq);
        EXPECT_EQ(freq, pc.GetFrequency());
        float lo = 10, hi = 0;
        for (float k : pc.GetTable()) {
            lo = std::min(lo, k);
            hi = std::max(hi, k);
        }
        // The reference has amplitude 511 and the signal 512; the phase term only moves the rounding.
        EXPECT_NEAR(512.0 / 511.0, lo, 3e-3) << freq;
        EXPECT_NEAR(512.0 / 511.0, hi, 3e-3) << freq;
        EXPECT_LT(lo, hi) << freq;
    }
    // At half the sampling rate the sine reference is all zeros and the cosine cancels the signal.
    TPhaseCorrection blind(200);
    for (float k : blind.GetTable()) {
        EXPECT_EQ(1.0f, k);
    }
}

TEST(Geometry, DirectionDifferenceAndRotation) {
    EXPECT_EQ(0.0, PointsAngle(2, 3, 2, 3));
    EXPECT_DOUBLE_EQ(Pi / 2, PointsAngle(1, 5, 1, 2));
    EXPECT_DOUBLE_EQ(3 * Pi / 2, PointsAngle(1, -5, 1, 2));
    for (double a = 0.05; a < 2 * Pi; a += 0.3) {
        double x = 10 + 3 * std::cos(a), y = -4 + 3 * std::sin(a);
        EXPECT_NEAR(a, PointsAngle(x, y, 10, -4), 1e-12) << a;
    }
    double nearlyFull = PointsAngle(1, -1e-300, 0, 0);
    EXPECT_GE(nearlyFull, 0.0);
    EXPECT_LT(nearlyFull, 2 * Pi);

    EXPECT_NEAR(0.2, AnglesDiff(0.1, 2 * Pi - 0.1), 1e-12);
    EXPECT_NEAR(-0.2, AnglesDiff(2 * Pi - 0.1, 0.1), 1e-12);
    EXPECT_DOUBLE_EQ(Pi, AnglesDiff(Pi, 0));
    EXPECT_DOUBLE_EQ(Pi, AnglesDiff(0, Pi));
    EXPECT_NEAR(0.3, AnglesDiff(1000 * Pi + 0.3, 0), 1e-9);
    EXPECT_TRUE(std::isnan(AnglesDiff(INFINITY, 0)));

    TPoint2D p = RotatePoint(1, 0, Pi / 2);
    EXPECT_NEAR(0, p.x, 1e-15);
    EXPECT_NEAR(-1, p.y, 1e-15);
    TPoint2D q = RotatePoint(3, 4, 0.7);
    TPoint2D back = RotatePoint(q.x, q.y, -0.7);
    EXPECT_NEAR(5, std::hypot(q.x, q.y), 1e-12);
    EXPECT_NEAR(3, back.x, 1e-12);
    EXPECT_NEAR(4, back.y, 1e-12);
}
