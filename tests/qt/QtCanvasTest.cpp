// Faces painted through the Qt canvas, checked against their geometry by sampling pixels: ring lines
// where the ring sizes put them, the black area, the archery zone colours, the shaped faces' areas,
// and a hit and its trace.
#include "trace/QtCanvas.h"
#include "MyLib/KelvoLib.h"
#include "MyLib/ShotTraceDrawing.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <cmath>

namespace {

void StartApp() {
    static int argc = 1;
    static char name[] = "qt-canvas-test";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}

// A face drawn to fit a square of APixels, black on white, with where it was placed.
struct TPicture {
    QImage fImage;
    TFaceView fView;

    TPicture(const TBaseTarget& AFace, int APixels) : fImage(NewCanvasImage(APixels, APixels)) {
        StartApp();
        const TCanvasRect rect{0, 0, double(APixels), double(APixels)};
        fView = AFace.View(rect, 0, 0);
        TQtCanvas canvas(fImage);
        AFace.DrawTarget(canvas, rect, 0, 0, clBlack, clWhite);
    }
    // The colour at millimetres (x, y) of the card.
    QColor At(double x, double y) const {
        const TCanvasPoint pixel = fView.ToPixels(x, y);
        return fImage.pixelColor(int(std::floor(pixel.x)), int(std::floor(pixel.y)));
    }
    // Brightness at radius AMillimetres on a ray 30 degrees above the x axis, clear of the ring numbers.
    int GrayOnRay(double AMillimetres) const {
        return qGray(At(AMillimetres * std::sqrt(3.0) / 2, AMillimetres / 2).rgb());
    }
};

bool Near(const QColor& AColor, TColor AExpected) {
    return std::abs(AColor.red() - ColorRed(AExpected)) <= 8 &&
           std::abs(AColor.green() - ColorGreen(AExpected)) <= 8 &&
           std::abs(AColor.blue() - ColorBlue(AExpected)) <= 8;
}

std::string Describe(const QColor& AColor) {
    return "rgb(" + std::to_string(AColor.red()) + "," + std::to_string(AColor.green()) + "," +
           std::to_string(AColor.blue()) + ")";
}

} // namespace

TEST(QtCanvas, RingFacesHaveTheirRingLinesAndBlackAreaWhereTheGeometrySays) {
    struct TRow {
        const char* fTag;
        int fFirstRing;
    };
    for (const TRow& row :
         {TRow{"AP10", 1}, {"AR10", 1}, {"SBR50", 1}, {"SP25", 1}, {"RFP25", 5}, {"PM25", 6}}) {
        const TBaseTarget& face = *FindTarget(row.fTag);
        const TPicture picture(face, 1200);
        const double pixel = 1 / picture.fView.ScaleX; // one pixel in millimetres
        for (int r = row.fFirstRing; r <= 10; ++r) {
            const double radius = face.GetRingSize(r) / 2;
            if (radius == face.BlackSize() / 2)
                continue; // the ring is the black area's edge
            const bool inBlack = radius < face.BlackSize() / 2;
            // The line: the most contrasting pixel within a pixel and a half of the ring's radius.
            int line = inBlack ? 0 : 255;
            for (double d = -1.5; d <= 1.5; d += 0.25) {
                const int gray = picture.GrayOnRay(radius + d * pixel);
                line = inBlack ? std::max(line, gray) : std::min(line, gray);
            }
            EXPECT_TRUE(inBlack ? line > 96 : line < 160)
                << row.fTag << " ring " << r << " line gray " << line;
            // Halfway to the next ring inwards the background shows.
            const double inner = r < 10 ? face.GetRingSize(r + 1) / 2 : 0;
            const int between = picture.GrayOnRay((radius + inner) / 2);
            const bool betweenInBlack = (radius + inner) < face.BlackSize();
            EXPECT_TRUE(betweenInBlack ? between < 16 : between > 240)
                << row.fTag << " inside ring " << r << " gray " << between;
        }
        if (face.BlackSize() > 0) {
            EXPECT_LT(picture.GrayOnRay(face.BlackSize() / 2 - 3 * pixel), 16) << row.fTag;
            EXPECT_GT(picture.GrayOnRay(face.BlackSize() / 2 + 3 * pixel), 240) << row.fTag;
        }
    }
}

TEST(QtCanvas, ArcheryZonesHaveTheirColoursOnEitherSideOfEachRing) {
    for (const char* tag : {"FITA122", "FITA80", "FITA80C", "FITA40"}) {
        const auto& face = dynamic_cast<const TFITACustomTarget&>(*FindTarget(tag));
        const TPicture picture(face, 900);
        const TColor pairColors[] = {clWhite, face.fBlackColor, face.fBlueColor, face.fRedColor,
                                     face.fYellowColor};
        for (int r = 1; r <= 10; ++r) {
            // The middle of ring r, between its outer edge and ring r + 1's.
            const double middle = (face.GetRingSize(r) + face.GetRingSize(r + 1)) / 4;
            const QColor color = picture.At(middle, 0);
            EXPECT_TRUE(Near(color, pairColors[(r - 1) / 2]))
                << tag << " ring " << r << " " << Describe(color);
        }
        // The card beyond the face.
        EXPECT_TRUE(Near(picture.At((face.GetRingSize(1) + face.BlankWidth()) / 4, 0), clWhite)) << tag;
    }
}

TEST(QtCanvas, ShapedFacesAreDarkExactlyWhereTheyScore) {
    TTraining8Target crossing;
    ASSERT_TRUE(crossing.SetBase(80));
    for (const TBaseTarget* face : {FindTarget("CHEST"), FindTarget("BELT"), FindTarget("BODY"),
                                    FindTarget("TRAINING8"), static_cast<const TBaseTarget*>(&crossing)}) {
        const TPicture picture(*face, 600);
        const double margin = 2 / picture.fView.ScaleX;
        int checked = 0;
        for (int i = 0; i < 48; ++i) {
            for (int j = 0; j < 48; ++j) {
                const double x = (i + 0.5) / 48 * face->BlankWidth() - face->BlankWidth() / 2;
                const double y = (j + 0.5) / 48 * face->BlankHeight() - face->BlankHeight() / 2;
                const bool scores = face->Get_Result(x, y) > 0;
                // Only positions a couple of pixels away from any edge of the area.
                bool clear = true;
                for (const auto& [dx, dy] :
                     {std::pair{margin, 0.0}, {-margin, 0.0}, {0.0, margin}, {0.0, -margin}})
                    clear = clear && (face->Get_Result(x + dx, y + dy) > 0) == scores;
                if (!clear)
                    continue;
                ++checked;
                const QColor color = picture.At(x, y);
                EXPECT_TRUE(Near(color, scores ? clBlack : clWhite))
                    << face->Tag() << " at " << x << "," << y << " " << Describe(color);
            }
        }
        EXPECT_GT(checked, 48 * 48 * 3 / 4) << face->Tag();
    }
}

TEST(QtCanvas, HitAndItsTraceAreDrawnOnTheFace) {
    const TBaseTarget& face = *FindTarget("AP10");
    TPicture picture(face, 850); // 5 px/mm
    const std::vector<TAimPoint> trace = {{0.0, 60, 55}, {0.5, 40, 55}, {1.0, 40, 40}};
    {
        TQtCanvas canvas(picture.fImage);
        DrawShotTraces(canvas, face, picture.fView, trace, {{1.0, 40, 40}, {1.0, std::nan(""), 0}});
    }
    EXPECT_TRUE(Near(picture.At(40, 40), clBreach)) << Describe(picture.At(40, 40));
    // The newer half of the trace is drawn at full strength, the older half fainter.
    const QColor newer = picture.At(40, 48);
    const QColor older = picture.At(50, 55);
    EXPECT_TRUE(Near(newer, RGBColor(0, 0xC0, 0))) << Describe(newer);
    EXPECT_GT(older.red(), 40) << Describe(older);
    EXPECT_LT(older.red(), 255) << Describe(older);
}
