#include "trace/TracePicture.h"

#include "MyLib/KelvoLib.h"
#include "trace/QtCanvas.h"
#include "trace/ShotSeries.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <system_error>

namespace {

// The picture's view: a margin around what is drawn, at least this many calibres from the centre,
// the room of a result written beside a hit, and the steps of the zoom.
constexpr double KMargin = 1.15;
constexpr double KLeastCalibres = 5;
constexpr double KResultCalibres = 4;
constexpr double KZoomStepMm = 5; // of the distance from the centre to the picture's nearer edge

std::string ShotCount(size_t ACount) {
    return std::to_string(ACount) + (ACount == 1 ? " shot" : " shots");
}

std::string EachName(size_t AShot) {
    char name[32];
    std::snprintf(name, sizeof name, "shot-%03zu.png", AShot);
    return name;
}

std::string WholeTraceCaption(const std::vector<TAimPoint>& APoints) {
    std::ostringstream caption;
    caption << "No shot, " << std::fixed << std::setprecision(1)
            << (APoints.empty() ? 0.0 : APoints.back().Time - APoints.front().Time) << " s of aiming";
    return caption.str();
}

// How far from the aiming centre, along x or y, what is drawn reaches: the traces before AShots
// and their hits with the results written to their right.
double Extent(const TBaseTarget& AFace, const std::vector<TAimPoint>& APoints,
              const std::vector<TShotMark>& AShots, double ASeconds) {
    double extent = 0;
    const auto byTime = [](const TAimPoint& APoint, double ATime) { return APoint.Time < ATime; };
    for (const TShotMark& shot : AShots) {
        // The points in time order, as DrawShotTraces takes them.
        auto point = std::lower_bound(APoints.begin(), APoints.end(), shot.Time - ASeconds, byTime);
        for (; point != APoints.end() && point->Time <= shot.Time; ++point)
            if (std::isfinite(point->x) && std::isfinite(point->y))
                extent = std::max({extent, std::abs(point->x), std::abs(point->y)});
        if (std::isfinite(shot.x) && std::isfinite(shot.y))
            extent = std::max({extent, std::abs(shot.x) + AFace.Caliber() / 2,
                               shot.x + KResultCalibres * AFace.Caliber(),
                               std::abs(shot.y) + AFace.Caliber() / 2});
    }
    return extent;
}

} // namespace

QImage DrawTracePicture(const TBaseTarget& AFace, const std::vector<TAimPoint>& APoints,
                        const std::vector<TShotMark>& AShots, const std::string& ACaption, int ASize) {
    const double longer = std::max(AFace.BlankWidth(), AFace.BlankHeight());
    const int width = std::max(1, int(std::lround(ASize * AFace.BlankWidth() / longer)));
    const int height = std::max(1, int(std::lround(ASize * AFace.BlankHeight() / longer)));
    // Without shots, the whole trace as the trace before a shot without a hit at its end.
    TShotTraceStyle style;
    std::vector<TShotMark> shots = AShots;
    if (shots.empty() && APoints.size() >= 2 && APoints.back().Time > APoints.front().Time) {
        style.Seconds = APoints.back().Time - APoints.front().Time;
        shots.push_back({APoints.back().Time, std::nan(""), std::nan("")});
    }
    // The card around its aiming centre, zoomed in until what is drawn fills the picture with a margin,
    // and never to less than a few calibres across; in steps, so that pictures of a series compare.
    const TCanvasRect card{0, 0, double(width), double(height)};
    const double reach =
        std::max(Extent(AFace, APoints, shots, style.Seconds) * KMargin, KLeastCalibres * AFace.Caliber());
    const double half = std::ceil(reach / KZoomStepMm) * KZoomStepMm;
    const double zoom = std::max(AFace.View(card, 0, 0).ScaleX, std::min(width, height) / (2 * half));

    QImage image = NewCanvasImage(width, height);
    TQtCanvas canvas(image);
    AFace.DrawTarget(canvas, card, zoom, zoom, clBlack, clWhite);
    DrawShotTraces(canvas, AFace, AFace.View(card, zoom, zoom), APoints, shots, style);
    const double textHeight = std::max(12.0, std::max(width, height) / 40.0);
    canvas.DrawText({textHeight / 2, textHeight}, ACaption, {clBlack}, textHeight, true);
    return image;
}

bool WriteTracePictures(const TBaseTarget& AFace, const TShotSeries& ASeries,
                        const std::optional<std::string>& APng, const std::optional<std::string>& AEachFolder,
                        std::string& AError, const std::function<void(size_t, size_t)>& AOnWritten) {
    const std::vector<TAimPoint>& points = ASeries.Points();
    const std::vector<TShotMark>& shots = ASeries.Shots();
    const std::string whole = shots.empty()
                                  ? WholeTraceCaption(points)
                                  : ShotCount(shots.size()) + ", total " + TotalResult(AFace, shots);
    if (APng && !SavePng(DrawTracePicture(AFace, points, shots, whole), *APng, AError))
        return false;
    if (!AEachFolder)
        return true;
    std::error_code error;
    std::filesystem::create_directories(*AEachFolder, error);
    if (error) {
        AError = "cannot make the folder " + *AEachFolder + ": " + error.message();
        return false;
    }
    const std::filesystem::path folder(*AEachFolder);
    if (shots.empty())
        return SavePng(DrawTracePicture(AFace, points, shots, whole), (folder / "trace.png").string(),
                       AError);
    for (size_t i = 0; i < shots.size(); ++i) {
        const TShotMark& shot = shots[i];
        const std::string result = std::isfinite(shot.x) && std::isfinite(shot.y)
                                       ? AFace.GetResultStr(shot.x, shot.y)
                                       : "no position";
        const std::string caption =
            "Shot " + std::to_string(i + 1) + " of " + std::to_string(shots.size()) + ": " + result;
        if (!SavePng(DrawTracePicture(AFace, points, {shot}, caption), (folder / EachName(i + 1)).string(),
                     AError))
            return false;
        if (AOnWritten)
            AOnWritten(i + 1, shots.size());
    }
    return true;
}
