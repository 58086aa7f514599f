// The real kelvo-trace drawing simulated sensors' streams on a face: the shots it lists, the hits where
// their positions say, the trace before each shot fading with age, one picture per shot, and the
// whole trace of a stream without shots. Pixels are sampled where the picture's view puts them.
#include "sim/SimCameraStream.h"
#include "sim/SimOpticalStream.h"
#include "tests/support/TextLines.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int KSize = 800;       // the pictures' longer side
constexpr double KCardMm = 170;  // AP10's card
constexpr double KCalibre = 4.5; // and calibre
const QColor KHitColour(0xFF, 0x8C, 0x00);
const QColor KTraceColour(0x00, 0xC0, 0x00);

struct TRun {
    int fStatus;
    std::string fOut;
    std::string fErr;
};

TRun RunTrace(const QStringList& AArgs) {
    QProcess process;
    process.start(KELVO_TRACE_PATH, AArgs);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

struct TShot {
    double fSeconds, fX, fY;
};

// The listed shots, after the header line.
std::vector<TShot> Shots(const std::string& AOut) {
    const auto lines = Lines(AOut);
    EXPECT_FALSE(lines.empty());
    if (lines.empty())
        return {};
    EXPECT_EQ(lines[0], "shot,seconds,x_mm,y_mm,result");
    std::vector<TShot> shots;
    for (size_t i = 1; i < lines.size(); ++i) {
        unsigned number = 0;
        TShot shot{};
        EXPECT_EQ(
            4, std::sscanf(lines[i].c_str(), "%u,%lf,%lf,%lf", &number, &shot.fSeconds, &shot.fX, &shot.fY))
            << lines[i];
        EXPECT_EQ(number, i);
        shots.push_back(shot);
    }
    return shots;
}

using TTrace = std::vector<std::pair<double, double>>;

// The decoded points from the CSV, one a frame; an invalid one not a number.
TTrace Points(const std::string& AOut) {
    TTrace points;
    for (const std::string& line : Lines(AOut)) {
        unsigned counter = 0, valid = 0;
        double x = 0, y = 0;
        if (std::sscanf(line.c_str(), "%u,%lf,%lf,%u", &counter, &x, &y, &valid) == 4)
            points.emplace_back(valid ? x : std::nan(""), valid ? y : std::nan(""));
    }
    return points;
}

// The valid points of frames AFrom to ATo.
TTrace Trace(const TTrace& APoints, int AFrom, int ATo) {
    TTrace trace;
    for (int i = std::max(AFrom, 0); i <= ATo && i < int(APoints.size()); ++i)
        if (std::isfinite(APoints[size_t(i)].first))
            trace.push_back(APoints[size_t(i)]);
    return trace;
}

// Where a picture puts a position: around the aiming centre, zoomed so that the nearer edge lies
// 1.15 times as far as what is drawn reaches (the trace, the hits, and four calibres right of a hit
// for its result), at least five calibres, rounded up to 5 mm; the whole card at most.
struct TView {
    TView(const std::vector<TShot>& AShots, const TTrace& ATrace) {
        double reach = 0;
        for (const auto& [x, y] : ATrace)
            reach = std::max({reach, std::abs(x), std::abs(y)});
        for (const TShot& shot : AShots)
            reach = std::max({reach, std::abs(shot.fX) + KCalibre / 2, shot.fX + 4 * KCalibre,
                              std::abs(shot.fY) + KCalibre / 2});
        const double half = std::ceil(std::max(reach * 1.15, 5 * KCalibre) / 5) * 5;
        fZoom = std::max(KSize / KCardMm, KSize / (2 * half));
    }
    QPointF Pixel(double AX, double AY) const { return {KSize / 2.0 + AX * fZoom, KSize / 2.0 - AY * fZoom}; }
    double HitRadius() const { return KCalibre / 2 * fZoom; }

    double fZoom;
};

// How opaque the trace colour lies at APixel over the face's black or white, or a negative number
// where it lies over neither (a ring's edge, a number's).
double TraceOpacity(const QImage& APicture, QPoint APixel) {
    const QColor seen = APicture.pixelColor(APixel);
    if (seen.red() < 3 && seen.blue() < 3)
        return seen.green() / double(KTraceColour.green());
    const double overWhite = 1 - seen.red() / 255.0;
    const double green = 255 - (255 - KTraceColour.green()) * overWhite;
    if (std::abs(seen.red() - seen.blue()) < 3 && std::abs(seen.green() - green) < 6)
        return overWhite;
    return -1;
}

bool IsHitColour(const QColor& AColour) {
    return std::abs(AColour.red() - KHitColour.red()) < 8 &&
           std::abs(AColour.green() - KHitColour.green()) < 8 &&
           std::abs(AColour.blue() - KHitColour.blue()) < 8;
}

// The hit of AShot: its colour inside the calibre, not beyond it (left, above and below: its result
// is written to the right).
void ExpectHit(const QImage& APicture, const TView& AView, const TShot& AShot, const std::string& AWhere) {
    const QPointF centre = AView.Pixel(AShot.fX, AShot.fY);
    const QPoint at(int(std::lround(centre.x())), int(std::lround(centre.y())));
    const int inside = int(AView.HitRadius()) - 2, outside = int(AView.HitRadius()) + 3;
    for (QPoint offset : {QPoint(0, 0), QPoint(-inside, 0), QPoint(0, -inside), QPoint(0, inside)})
        EXPECT_TRUE(IsHitColour(APicture.pixelColor(at + offset)))
            << AWhere << " inside at " << offset.x() << "," << offset.y();
    for (QPoint offset : {QPoint(-outside, 0), QPoint(0, -outside), QPoint(0, outside)})
        EXPECT_FALSE(IsHitColour(APicture.pixelColor(at + offset))) << AWhere << " outside";
}

// The trace of the points of frames AFrom to ATo fades from opaque at ATo to faint at AFrom, in the
// steps of its age, as measured where it lies clear of the hit and its result text. A newer part may
// cross an older one, so a pixel is at least as opaque as its own part. False when too little of it
// lies clear to tell.
bool ExpectFadingTrace(const QImage& APicture, const TView& AView, const TTrace& APoints, int AFrom, int ATo,
                       const TShot* AShot, const std::string& AWhere) {
    const auto clear = [&](QPointF APixel) {
        if (!AShot)
            return true;
        const QPointF hit = AView.Pixel(AShot->fX, AShot->fY);
        const double radius = AView.HitRadius();
        const bool nearHit = std::hypot(APixel.x() - hit.x(), APixel.y() - hit.y()) < radius + 4;
        const bool onText = APixel.x() > hit.x() && APixel.x() < hit.x() + 8 * radius &&
                            std::abs(APixel.y() - hit.y()) < 1.2 * radius;
        return !nearHit && !onText;
    };
    double newest = -1, oldest = 2;
    int measured = 0;
    for (int frame = AFrom; frame <= ATo; ++frame) {
        const auto& [x, y] = APoints.at(size_t(frame));
        if (!std::isfinite(x))
            continue;
        const QPointF pixel = AView.Pixel(x, y);
        const double opacity = clear(pixel) ? TraceOpacity(APicture, pixel.toPoint()) : -1;
        if (opacity < 0)
            continue;
        ++measured;
        // Eight steps from opaque to 0.15 over the trace's length; a point ends its segment.
        const double age = double(ATo - frame) / (ATo - AFrom);
        const double own = 1 - std::min(7, int(age * 8)) * 0.85 / 7;
        EXPECT_GT(opacity, own - 0.12) << AWhere << " frame " << frame;
        if (age >= 0.75)
            oldest = std::min(oldest, opacity);
        newest = opacity; // the newest clear point comes last
    }
    if (measured < 10)
        return false;
    EXPECT_LT(oldest, 0.35) << AWhere;
    EXPECT_GT(newest, oldest + 0.3) << AWhere;
    return true;
}

std::string Records(const std::vector<std::vector<uint8_t>>& APieces) {
    std::string bytes;
    for (const auto& piece : APieces) {
        const uint32_t n = uint32_t(piece.size());
        bytes += char(0x88);
        for (int b = 0; b < 4; ++b)
            bytes += char(n >> (8 * b));
        bytes.append(piece.begin(), piece.end());
    }
    return bytes;
}

// AFrames frames of a simulated optical board as captured (a new board unless AVersionHW says
// otherwise), and the frames it shot in.
std::string OpticalCapture(int AFrames, std::vector<int>& AShotFrames, uint16_t AVersionHW = 5,
                           uint16_t AVersionFW = 11) {
    TSimOpticalStream stream({AVersionHW, AVersionFW});
    std::vector<std::vector<uint8_t>> pieces;
    for (int i = 0; i < AFrames; ++i) {
        TSimAimSample aim;
        for (const auto& transfer : stream.NextFrame(&aim))
            pieces.push_back(transfer.Bytes);
        if (aim.Shot)
            AShotFrames.push_back(i);
    }
    if (stream.SendsRecords())
        return Records(pieces);
    std::string raw;
    for (const auto& piece : pieces)
        raw.append(piece.begin(), piece.end());
    return raw;
}

class KelvoTracePicture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fFolder.isValid()); }
    QString Path(const char* AName) const { return fFolder.filePath(AName); }
    QString Write(const char* AName, const std::string& ABytes) const {
        std::ofstream(Path(AName).toStdString(), std::ios::binary) << ABytes;
        return Path(AName);
    }

    QTemporaryDir fFolder;
};

TEST_F(KelvoTracePicture, DrawsEachShotWithTheTraceBeforeIt) {
    std::vector<int> shotFrames;
    const QString capture = Write("optical.bin", OpticalCapture(1000, shotFrames));
    ASSERT_GE(shotFrames.size(), 2u);
    const QStringList decode{"decode", "--kind", "optical", "--hw", "5", "--fw", "11"};
    const auto points = Points(RunTrace(decode + QStringList{capture}).fOut);
    const TRun run = RunTrace(decode + QStringList{"--face", "AP10", "--png", Path("all.png"), "--png-each",
                                                   Path("each"), capture});
    ASSERT_EQ(run.fStatus, 0) << run.fErr;
    const std::vector<TShot> shots = Shots(run.fOut);
    ASSERT_EQ(shots.size(), shotFrames.size());
    TTrace traces; // the second before each shot, 100 frames
    for (size_t i = 0; i < shots.size(); ++i) {
        // The frame counter starts at 0, 100 frames a second.
        EXPECT_NEAR(shots[i].fSeconds, shotFrames[i] / 100.0, 1e-9);
        const auto point = points.at(size_t(shotFrames[i]));
        EXPECT_NEAR(shots[i].fX, point.first, 1e-3);
        EXPECT_NEAR(shots[i].fY, point.second, 1e-3);
        const TTrace trace = Trace(points, shotFrames[i] - 100, shotFrames[i]);
        traces.insert(traces.end(), trace.begin(), trace.end());
    }
    EXPECT_EQ(QDir(Path("each")).entryList(QDir::Files).size(), qsizetype(shots.size()));

    const QImage all(Path("all.png"));
    ASSERT_EQ(all.size(), QSize(KSize, KSize));
    const TView allView(shots, traces);
    EXPECT_GT(allView.fZoom, KSize / KCardMm); // zoomed in on the shots
    int faded = 0;
    for (size_t i = 0; i < shots.size(); ++i) {
        const std::string where = "shot " + std::to_string(i + 1);
        ExpectHit(all, allView, shots[i], "all, " + where);
        char name[64];
        std::snprintf(name, sizeof name, "each/shot-%03zu.png", i + 1);
        const QImage each(Path(name));
        ASSERT_EQ(each.size(), QSize(KSize, KSize)) << name;
        const TView view({shots[i]}, Trace(points, shotFrames[i] - 100, shotFrames[i]));
        ExpectHit(each, view, shots[i], name);
        // Only this shot's hit: the others' centres show the face or a trace.
        for (size_t j = 0; j < shots.size(); ++j) {
            const QPointF other = view.Pixel(shots[j].fX, shots[j].fY);
            const bool apart = std::hypot(shots[j].fX - shots[i].fX, shots[j].fY - shots[i].fY) > KCalibre;
            EXPECT_TRUE(j == i || !apart || !QRectF(0, 0, KSize, KSize).contains(other) ||
                        !IsHitColour(each.pixelColor(other.toPoint())))
                << name << " shows shot " << j + 1;
        }
        faded += ExpectFadingTrace(each, view, points, shotFrames[i] - 99, shotFrames[i], &shots[i], name);
    }
    EXPECT_GE(faded, 1); // a trace may lie wholly under its result
}

// New boards tell a shot by its sample index; old boards, whose frames carry none, by the microphone
// level reaching the sensor's shot level.
TEST_F(KelvoTracePicture, ListsTheShotsOfEveryOpticalBoard) {
    for (const auto& [hw, fw] : {std::pair{5, 11}, std::pair{2, 10}, std::pair{2, 9}}) {
        std::vector<int> shotFrames;
        const QString capture =
            Write("board.bin", OpticalCapture(900, shotFrames, uint16_t(hw), uint16_t(fw)));
        ASSERT_GE(shotFrames.size(), 2u);
        const TRun run =
            RunTrace({"decode", "--kind", "optical", "--hw", QString::number(hw), "--fw", QString::number(fw),
                      "--face", "AP10", "--png", Path("board.png"), capture});
        ASSERT_EQ(run.fStatus, 0) << run.fErr;
        const std::vector<TShot> shots = Shots(run.fOut);
        ASSERT_EQ(shots.size(), shotFrames.size()) << hw << "/" << fw;
        for (size_t i = 0; i < shots.size(); ++i)
            EXPECT_NEAR(shots[i].fSeconds, shotFrames[i] / 100.0, 1e-9) << hw << "/" << fw;
    }
}

TEST_F(KelvoTracePicture, AStreamWithoutShotsGivesItsWholeTrace) {
    std::vector<int> shotFrames;
    const QString capture = Write("quiet.bin", OpticalCapture(150, shotFrames));
    ASSERT_TRUE(shotFrames.empty());
    const QStringList decode{"decode", "--kind", "optical", "--hw", "5", "--fw", "11"};
    const auto points = Points(RunTrace(decode + QStringList{capture}).fOut);
    const TRun run = RunTrace(decode + QStringList{"--face", "AP10", "--png", Path("all.png"), "--png-each",
                                                   Path("each"), capture});
    ASSERT_EQ(run.fStatus, 0) << run.fErr;
    EXPECT_EQ(run.fOut, "shot,seconds,x_mm,y_mm,result\n");
    EXPECT_EQ(QDir(Path("each")).entryList(QDir::Files), QStringList{"trace.png"});
    const TView view({}, Trace(points, 0, 149));
    for (const char* name : {"all.png", "each/trace.png"})
        EXPECT_TRUE(ExpectFadingTrace(QImage(Path(name)), view, points, 0, 149, nullptr, name));
}

// Camera packets carry a shot mark; the packet index, from 65500 across its wrap, times them.
TEST_F(KelvoTracePicture, TakesTheCameraSensorsShotMarks) {
    TSimCameraStream stream(1, 65500);
    TSimCameraFrame frame;
    frame.PixelsPerMm = 45 / (50000 * 0.006); // the sensor's defaults: 50 m, lens distance 45
    std::vector<std::vector<uint8_t>> pieces;
    std::vector<int> shotFrames;
    for (int i = 0; i < 700; ++i) {
        TSimAimSample aim;
        for (const auto& transfer : stream.NextPacket(frame, &aim))
            pieces.push_back(transfer.Bytes);
        if (aim.Shot)
            shotFrames.push_back(i);
    }
    const QString capture = Write("camera.bin", Records(pieces));
    ASSERT_GE(shotFrames.size(), 2u);
    const QStringList decode{"decode", "--kind", "camera", "--hw", "3", "--fw", "31", "--protocol", "18"};
    const TTrace points = Points(RunTrace(decode + QStringList{capture}).fOut);
    const TRun run = RunTrace(decode + QStringList{"--face", "AP10", "--png", Path("camera.png"), capture});
    ASSERT_EQ(run.fStatus, 0) << run.fErr;
    const std::vector<TShot> shots = Shots(run.fOut);
    ASSERT_EQ(shots.size(), shotFrames.size());
    TTrace traces;
    for (size_t i = 0; i < shots.size(); ++i) {
        EXPECT_NEAR(shots[i].fSeconds, shotFrames[i] / 100.0, 1e-9);
        const TTrace trace = Trace(points, shotFrames[i] - 100, shotFrames[i]);
        traces.insert(traces.end(), trace.begin(), trace.end());
    }
    const QImage picture(Path("camera.png"));
    for (size_t i = 0; i < shots.size(); ++i)
        ExpectHit(picture, TView(shots, traces), shots[i], "camera shot " + std::to_string(i + 1));
}

TEST_F(KelvoTracePicture, RecordDrawsOnePicturePerShotItLists) {
    const TRun run = RunTrace({"record", "--simulate", "optical-sensor,hw=5,fw=11", "--seconds", "2.5",
                               "--face", "AR10", "--png-each", Path("each"), "--csv", Path("points.csv")});
    ASSERT_EQ(run.fStatus, 0) << run.fErr;
    const size_t shots = Shots(run.fOut).size();
    const QStringList files = QDir(Path("each")).entryList(QDir::Files);
    EXPECT_EQ(files, shots == 0 ? QStringList{"trace.png"} : files);
    EXPECT_EQ(files.size(), qsizetype(std::max<size_t>(shots, 1)));
    for (const QString& file : files)
        EXPECT_EQ(QImage(QDir(Path("each")).filePath(file)).size(), QSize(KSize, KSize));
    std::ifstream csv(Path("points.csv").toStdString());
    std::string header;
    std::getline(csv, header);
    EXPECT_EQ(header, "counter,x_mm,y_mm,valid");
}

TEST_F(KelvoTracePicture, APictureThatCannotBeWrittenFails) {
    std::vector<int> shotFrames;
    const QString capture = Write("optical.bin", OpticalCapture(300, shotFrames));
    Write("file", "not a folder");
    struct TCase {
        QStringList fArgs;
        std::string fSaid;
    };
    const TCase cases[] = {
        {{"--png", "/nonexistent-folder/all.png"}, "cannot write /nonexistent-folder/all.png"},
        {{"--png-each", Path("file") + "/each"},
         "cannot make the folder " + Path("file").toStdString() + "/each"},
    };
    for (const TCase& c : cases) {
        const TRun run =
            RunTrace(QStringList{"decode", "--kind", "optical", "--hw", "5", "--fw", "11", "--face", "AP10"} +
                     c.fArgs + QStringList{capture});
        EXPECT_EQ(run.fStatus, 1) << c.fSaid;
        EXPECT_NE(run.fErr.find("kelvo-trace: decode: " + c.fSaid), std::string::npos) << run.fErr;
    }
}

} // namespace
