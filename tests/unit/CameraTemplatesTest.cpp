#include "MyLib/CameraTemplates.h"
#include "MyLib/KelvoLib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// A lens distance of 60 at 10 m makes one template pixel per millimetre at row binning 1.
constexpr double KLens = 60, KDistance = 10;

int X(const TQVTemplate& AT, int AIndex) {
    return AT.Items[size_t(AIndex)].x;
}

} // namespace

TEST(CameraTemplates, RoundTargets) {
    struct TCase {
        double BlackSize, BlackFactor, WhiteFactor;
        int RowBin;
        uint16_t Points, BlackSize2, AllSize;
        bool Valid;
    };
    const TCase cases[] = {
        {2, 0.5, 3, 1, 24, 2, 8, false},  // black radius 0.5 px: too small to find
        {2, 1.0, 3, 1, 24, 2, 8, true},   // 1.0 px
        {2, 1.0, 10, 1, 24, 2, 21, true}, // white circle of 10 px instead of the fixed ring
        {20, 0.5, 2, 1, 41, 11, 41, true},
        {20, 0.5, 2, 2, 41, 5, 21, true}, // row binning halves the pixels per millimetre
        {20, 0.5, 7, 1, 41, 11, 141, false},
        {20, 0.5, 20, 1, 41, 11, 401, false}, // white points beyond a signed byte
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.BlackSize << " " << c.BlackFactor << " " << c.WhiteFactor);
        const TQVTemplate t =
            BuildRoundTargetTemplate(c.RowBin, c.BlackSize, KDistance, c.BlackFactor, c.WhiteFactor, KLens);
        EXPECT_EQ(c.Points, t.nPoints);
        EXPECT_EQ(c.BlackSize2, t.BlackSize);
        EXPECT_EQ(c.AllSize, t.AllSize);
        EXPECT_EQ(c.Valid, t.bValid != 0);
        EXPECT_EQ(0, t.bRotating);
    }
    const TQVTemplate t = BuildRoundTargetTemplate(1, 20, KDistance, 0.5, 2, KLens);
    EXPECT_EQ(5, X(t, 1));  // first black point on the circle
    EXPECT_EQ(20, X(t, 9)); // first white point
    EXPECT_EQ(0, t.Items[9].flag);
}

TEST(CameraTemplates, ArcheryAndCustomTemplates) {
    const TQVTemplate archery = BuildArcheryTemplate(4, 200, KDistance, KLens);
    EXPECT_EQ(16, archery.nPoints);
    EXPECT_EQ(37, archery.BlackSize); // radius 17.5 rounds to even
    EXPECT_EQ(49, archery.AllSize);
    EXPECT_TRUE(archery.bValid);

    struct TCase {
        const char* Name;
        TTargetTemplate Items;
        bool Rotating;
        uint16_t Points, AllSize;
        bool Valid;
    };
    const TCase cases[] = {
        {"70 items are cut to 64", TTargetTemplate(70, {6, 0, 1}), false, 64, 13, true},
        {"reaching 40 pixels", {{40, 0, 1}, {0, -40, 0}}, false, 2, 81, false},
        {"rotating: the largest distance", {{3, 4, 1}, {-1, 1, 0}}, true, 2, 11, false},
        {"rotating and valid", {{6, 8, 1}}, true, 1, 21, true},
        {"beyond a signed byte", {{200, 0, 1}, {5, 0, 0}}, false, 2, 11, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TQVTemplate t = ConvertTemplate(c.Items, c.Rotating, KDistance, 1, KLens);
        EXPECT_EQ(c.Points, t.nPoints);
        EXPECT_EQ(c.AllSize, t.AllSize);
        EXPECT_EQ(0, t.BlackSize);
        EXPECT_EQ(c.Valid, t.bValid != 0);
        EXPECT_EQ(c.Rotating, t.bRotating != 0);
    }
}

// A face's reference points go to the camera as the face gives them: the chest face's template at
// a distance keeps every point, its flags and its rotation, each axis point opposite its mirror.
TEST(CameraTemplates, FaceTemplatesGoToTheCameraAsTheyAre) {
    const TBaseTarget* face = FindTarget("PM25");
    ASSERT_NE(nullptr, face);
    const TTargetTemplate points = face->GetTemplate();
    // A fifth of a pixel per millimetre keeps the 350 mm axis points inside a signed byte.
    const TQVTemplate t = ConvertTemplate(points, face->IsTemplateRotatable(), 50, 1, KLens);
    ASSERT_EQ(points.size(), size_t(t.nPoints));
    EXPECT_TRUE(t.bRotating);
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(points[i].flag, t.Items[i].flag) << i;
    // The axis points at 0, 90, 180 and 270 degrees.
    EXPECT_EQ(X(t, 1), -X(t, 3));
    EXPECT_EQ(t.Items[2].y, -t.Items[4].y);
    EXPECT_NEAR(70, X(t, 1), 1);
}

TEST(CameraTemplates, UnusableDistancesGiveNoTemplate) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    for (auto [distance, lens, factor] :
         {std::tuple{KDistance, 0.0, 1.0}, std::tuple{KDistance, nan, 1.0}, std::tuple{KDistance, inf, 1.0},
          std::tuple{0.0, KLens, 1.0}, std::tuple{KDistance, KLens, inf}}) {
        const TQVTemplate t = BuildRoundTargetTemplate(1, 20, distance, factor, 2, lens);
        EXPECT_FALSE(t.bValid) << distance << " " << lens << " " << factor;
        if (factor == 1.0) {
            EXPECT_FALSE(BuildArcheryTemplate(1, 200, distance, lens).bValid);
        }
    }
}

TEST(CameraTemplates, ShootingEvents) {
    for (int event : {0, 4, 12})
        EXPECT_FALSE(QVShootingEvent(event)) << event;
    const auto archery = QVShootingEvent(6);
    ASSERT_TRUE(archery);
    EXPECT_TRUE(archery->Archery);
    EXPECT_EQ(1220, archery->Size);
    EXPECT_EQ(63, archery->Distance);
    const auto round = QVShootingEvent(11);
    ASSERT_TRUE(round);
    EXPECT_FALSE(round->Archery);
    EXPECT_EQ(500, round->Size);
    EXPECT_EQ(100, round->Distance);
    EXPECT_EQ(0.55, round->BlackFactor);
    EXPECT_EQ(2.2, round->WhiteFactor);
}
