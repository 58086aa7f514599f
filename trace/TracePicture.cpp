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

} // namespace

QImage DrawTracePicture(const TBaseTarget& AFace, const std::vector<TAimPoint>& APoints,
                        const std::vector<TShotMark>& AShots, const std::string& ACaption, int ASize) {
    const double longer = std::max(AFace.BlankWidth(), AFace.BlankHeight());
    const int width = std::max(1, int(std::lround(ASize * AFace.BlankWidth() / longer)));
    const int height = std::max(1, int(std::lround(ASize * AFace.BlankHeight() / longer)));
    QImage image = NewCanvasImage(width, height);
    TQtCanvas canvas(image);
    const TCanvasRect card{0, 0, double(width), double(height)};
    AFace.DrawTarget(canvas, card, 0, 0, clBlack, clWhite);
    const TFaceView view = AFace.View(card, 0, 0);
    if (!AShots.empty()) {
        DrawShotTraces(canvas, AFace, view, APoints, AShots);
    } else if (APoints.size() >= 2 && APoints.back().Time > APoints.front().Time) {
        // The whole trace, as the trace before a shot without a hit at its end.
        TShotTraceStyle whole;
        whole.Seconds = APoints.back().Time - APoints.front().Time;
        const double none = std::nan("");
        DrawShotTraces(canvas, AFace, view, APoints, {{APoints.back().Time, none, none}}, whole);
    }
    const double textHeight = std::max(12.0, std::max(width, height) / 40.0);
    canvas.DrawText({textHeight / 2, textHeight}, ACaption, {clBlack}, textHeight, true);
    return image;
}

bool WriteTracePictures(const TBaseTarget& AFace, const TShotSeries& ASeries, const std::optional<std::string>& APng,
                        const std::optional<std::string>& AEachFolder, std::string& AError) {
    const std::vector<TAimPoint>& points = ASeries.Points();
    const std::vector<TShotMark>& shots = ASeries.Shots();
    const std::string whole = shots.empty() ? WholeTraceCaption(points)
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
        return SavePng(DrawTracePicture(AFace, points, shots, whole), (folder / "trace.png").string(), AError);
    for (size_t i = 0; i < shots.size(); ++i) {
        const TShotMark& shot = shots[i];
        const std::string result =
            std::isfinite(shot.x) && std::isfinite(shot.y) ? AFace.GetResultStr(shot.x, shot.y) : "no position";
        const std::string caption =
            "Shot " + std::to_string(i + 1) + " of " + std::to_string(shots.size()) + ": " + result;
        if (!SavePng(DrawTracePicture(AFace, points, {shot}, caption), (folder / EachName(i + 1)).string(), AError))
            return false;
    }
    return true;
}
