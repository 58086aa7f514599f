#include "MyLib/ShotTraceDrawing.h"

#include <algorithm>
#include <cmath>

namespace {

// How many opacities a trace fades through.
constexpr int FadeSteps = 8;

bool IsFinite(const TAimPoint& APoint) {
    return std::isfinite(APoint.Time) && std::isfinite(APoint.x) && std::isfinite(APoint.y);
}

} // namespace

void DrawShotTraces(TTargetCanvas& ACanvas, const TBaseTarget& AFace, const TFaceView& AView,
                    const std::vector<TAimPoint>& APoints, const std::vector<TShotMark>& AShots,
                    const TShotTraceStyle& AStyle) {
    const double lineWidth = std::max(1.0, AView.Pixels(AFace.DefaultTraceWidth()));
    const auto byTime = [](const TAimPoint& APoint, double ATime) { return APoint.Time < ATime; };
    for (const TShotMark& shot : AShots) {
        if (!std::isfinite(shot.Time) || !(AStyle.Seconds > 0))
            continue;
        const double start = shot.Time - AStyle.Seconds;
        auto from = std::lower_bound(APoints.begin(), APoints.end(), start, byTime);
        const auto to =
            std::upper_bound(APoints.begin(), APoints.end(), shot.Time,
                             [](double ATime, const TAimPoint& APoint) { return ATime < APoint.Time; });
        // Runs of segments of one fade step are drawn as one line, so translucent joints do not overlap.
        std::vector<TCanvasPoint> run;
        int runStep = -1;
        const auto flush = [&] {
            if (run.size() >= 2)
                ACanvas.DrawPolyline(
                    run, {AStyle.TraceColor, 1 - runStep * (1 - AStyle.OldestOpacity) / (FadeSteps - 1)},
                    lineWidth);
            run.clear();
        };
        for (auto it = from; it != to && std::next(it) != to; ++it) {
            const TAimPoint& a = *it;
            const TAimPoint& b = *std::next(it);
            if (!IsFinite(a) || !IsFinite(b)) {
                flush();
                continue;
            }
            // A segment fades with the age of its newer end.
            const double age = std::clamp((shot.Time - b.Time) / AStyle.Seconds, 0.0, 1.0);
            const int step = std::min(FadeSteps - 1, int(age * FadeSteps));
            if (step != runStep || run.empty()) {
                flush();
                runStep = step;
                run.push_back(AView.ToPixels(a.x, a.y));
            }
            run.push_back(AView.ToPixels(b.x, b.y));
        }
        flush();
    }
    // Hits go over every trace, so a later trace never hides an earlier hit or its score.
    const double textHeight = std::max(10.0, AView.Pixels(AFace.Caliber()));
    for (const TShotMark& shot : AShots) {
        if (!std::isfinite(shot.x) || !std::isfinite(shot.y))
            continue;
        AFace.DrawBreach(ACanvas, AView, shot.x, shot.y, AStyle.HitColor);
        const TCanvasPoint hit = AView.ToPixels(shot.x, shot.y);
        const double beside = AFace.Caliber() / 2 * AView.ScaleX + textHeight / 3;
        ACanvas.DrawText({hit.x + beside, hit.y}, AFace.GetResultStr(shot.x, shot.y), {AStyle.HitColor},
                         textHeight, true);
    }
}
