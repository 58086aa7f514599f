#include "MyLib/CameraTemplates.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double KPixelSize = 0.006; // millimetres
constexpr double KTwoPi = 2 * std::numbers::pi;
// Below this black radius in pixels a round mark is a 2 x 2 square; below 0.7 it cannot be found.
constexpr double KSmallBlackRadius = 1.3;
constexpr double KSmallestBlackRadius = 0.7;
constexpr double KSmallWhiteCircle = 4;
constexpr uint16_t KSmallRingSize = 8;
constexpr int KSizeLimit = 64;
constexpr int KMinCustomSize = 12;

// A small round mark, and the ring of white points around it.
constexpr int8_t KSmallMark[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
constexpr int8_t KSmallRing[20][2] = {{0, 4},   {1, 4},  {2, 4},  {3, 3},  {4, 2},  {4, 1},   {4, 0},
                                      {4, -1},  {3, -2}, {2, -3}, {1, -3}, {0, -3}, {-1, -3}, {-2, -2},
                                      {-3, -1}, {-3, 0}, {-3, 1}, {-3, 2}, {-2, 3}, {-1, 4}};

// Rounds half to even, as the device's tools do.
double RoundEven(double AValue) {
    return std::nearbyint(AValue);
}

// Collects template items; anything that does not fit the device's record makes it unusable.
class TTemplateBuilder {
public:
    TTemplateBuilder() : fT{} {}

    void Add(double AX, double AY, uint8_t AFlag) {
        if (fT.nPoints >= TQVTemplate::KMaxItems) {
            fFits = false;
            return;
        }
        fT.Items[fT.nPoints++] = {Coordinate(AX), Coordinate(AY), AFlag};
    }
    // AN points on the circle of radius AR, from angle 0 on.
    void Circle(double AR, int AN, uint8_t AFlag) {
        for (int k = 0; k < AN; ++k)
            Add(AR * std::cos(k * KTwoPi / AN), AR * std::sin(k * KTwoPi / AN), AFlag);
    }
    // round(AR) * 2 + 1.
    uint16_t Diameter(double AR) {
        const double size = RoundEven(AR) * 2 + 1;
        if (!(size >= 0 && size <= 0xFFFF)) {
            fFits = false;
            return 0xFFFF;
        }
        return uint16_t(size);
    }
    // The template, valid when AValid and everything fitted.
    TQVTemplate Finish(bool AValid) {
        fT.bValid = AValid && fFits ? 1 : 0;
        return fT;
    }
    TQVTemplate& Template() { return fT; }

private:
    int8_t Coordinate(double AValue) {
        const double r = RoundEven(AValue);
        if (!(r >= -128 && r <= 127)) {
            fFits = false;
            return 0;
        }
        return int8_t(r);
    }

    TQVTemplate fT;
    bool fFits = true;
};

} // namespace

std::optional<double> QVTemplatePixelsPerMM(double ADistance, double ALensDistance, int ARowBin) {
    if (!(ADistance > 0) || !(ALensDistance > 0) || !std::isfinite(ALensDistance) || ARowBin < 1)
        return std::nullopt;
    const double e = 1 / (ADistance * 1000 / ALensDistance * KPixelSize) / ARowBin;
    if (!std::isfinite(e) || !(e > 0))
        return std::nullopt;
    return e;
}

TQVTemplate BuildRoundTargetTemplate(int ARowBin, double ABlackSize, double ADistance, double ABlackFactor,
                                     double AWhiteFactor, double ALensDistance) {
    TTemplateBuilder b;
    const auto e = QVTemplatePixelsPerMM(ADistance, ALensDistance, ARowBin);
    if (!e)
        return b.Finish(false);
    const double rb = ABlackSize / 2 * ABlackFactor * *e, rw = ABlackSize / 2 * AWhiteFactor * *e;
    if (!std::isfinite(rb) || !std::isfinite(rw))
        return b.Finish(false);
    TQVTemplate& t = b.Template();
    if (rb < KSmallBlackRadius) {
        for (const auto& point : KSmallMark)
            b.Add(point[0], point[1], 1);
        t.BlackSize = 2;
        if (rw >= KSmallWhiteCircle) {
            b.Circle(rw, 20, 0);
            t.AllSize = b.Diameter(rw);
        } else {
            for (const auto& point : KSmallRing)
                b.Add(point[0], point[1], 0);
            t.AllSize = KSmallRingSize;
        }
        return b.Finish(rb >= KSmallestBlackRadius);
    }
    b.Add(0, 0, 1);
    b.Circle(rb, 8, 1);
    b.Circle(rw, 32, 0);
    t.BlackSize = b.Diameter(rb);
    t.AllSize = b.Diameter(rw);
    return b.Finish(t.AllSize < KSizeLimit);
}

TQVTemplate BuildArcheryTemplate(int ARowBin, double ATargetSize, double ADistance, double ALensDistance) {
    TTemplateBuilder b;
    const auto e = QVTemplatePixelsPerMM(ADistance, ALensDistance, ARowBin);
    if (!e)
        return b.Finish(false);
    const double s = ATargetSize;
    const double black = (s / 2 - s / 10 - s / 20) * *e, white = (s / 2 - s / 20 + s / 40) * *e;
    if (!std::isfinite(black) || !std::isfinite(white))
        return b.Finish(false);
    b.Circle(black, 8, 1);
    b.Circle(white, 8, 0);
    TQVTemplate& t = b.Template();
    t.BlackSize = b.Diameter(black);
    t.AllSize = b.Diameter(white);
    return b.Finish(t.AllSize < KSizeLimit);
}

TQVTemplate ConvertTemplate(const TTargetTemplate& AT, bool ARotatable, double ADistance, int ARowBin,
                            double ALensDistance) {
    TTemplateBuilder b;
    const auto e = QVTemplatePixelsPerMM(ADistance, ALensDistance, ARowBin);
    if (!e)
        return b.Finish(false);
    const size_t n = std::min(AT.size(), size_t(TQVTemplate::KMaxItems));
    for (size_t i = 0; i < n; ++i)
        b.Add(AT[i].x * *e, AT[i].y * *e, AT[i].flag);
    TQVTemplate& t = b.Template();
    t.bRotating = ARotatable ? 1 : 0;
    CalculateTemplateSize(t);
    return b.Finish(t.AllSize >= KMinCustomSize && t.AllSize < KSizeLimit);
}

void CalculateTemplateSize(TQVTemplate& AT) {
    AT.BlackSize = 0;
    double largest = 0;
    const int n = std::min<int>(AT.nPoints, TQVTemplate::KMaxItems);
    for (int i = 0; i < n; ++i) {
        const double x = AT.Items[size_t(i)].x, y = AT.Items[size_t(i)].y;
        largest = std::max(largest, AT.bRotating ? std::hypot(x, y) : std::max(std::abs(x), std::abs(y)));
    }
    // Items are signed bytes, so the size is at most 2 * 182 + 1.
    AT.AllSize = uint16_t(RoundEven(largest) * 2 + 1);
}

std::optional<TQVShootingEvent> QVShootingEvent(int AEvent) {
    auto round = [](double ABlack, double ADistance, double AWhite) {
        return TQVShootingEvent{false, ABlack, ADistance, 0.55, AWhite};
    };
    auto archery = [](double ASize, double ADistance) {
        return TQVShootingEvent{true, ASize, ADistance, 0, 0};
    };
    switch (AEvent) {
    case 1:
        return round(30.5, 10, 1.9);
    case 2:
        return round(112.4, 50, 1.9);
    case 3:
        return round(59.5, 10, 1.9);
    case 5:
        return round(200, 50, 1.9);
    case 6:
        return archery(1220, 63);
    case 7:
        return archery(400, 18);
    case 8:
        return archery(800, 50);
    case 9:
        return round(914.4, 546, 1.9);
    case 10:
        return round(500, 25, 2.2);
    case 11:
        return round(500, 100, 2.2);
    default:
        return std::nullopt;
    }
}
