// Target faces: the registry, scores and result texts of each face family, area codes, ring sizes,
// the language tables, the figure-eight setters and the placement of what is drawn.
#include "MyLib/KelvoLib.h"
#include "MyLib/ShotTraceDrawing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

const TBaseTarget& Face(const char* ATag) {
    const TBaseTarget* face = FindTarget(ATag);
    EXPECT_NE(face, nullptr) << ATag;
    return *face;
}

} // namespace

#ifdef _WIN32
// The C runtime's environment, changed as setenv and unsetenv change it on Linux.
int setenv(const char* AName, const char* AValue, int) {
    return _putenv_s(AName, AValue);
}
int unsetenv(const char* AName) {
    return _putenv_s(AName, "");
}
#endif

TEST(KelvoLibRegistry, HoldsTheEighteenFacesInCreationOrderWithUniqueTagsAndTypes) {
    const std::vector<std::string> order = {
        "AP10", "AR10", "SBR50",       "SBP50",   "SP25",   "PM25",    "RFP25",  "TRAINING8", "CHEST",
        "BELT", "BODY", "IPSCCLASSIC", "FITA122", "FITA80", "FITA80C", "FITA40", "CHEST_C",   "CHEST_S"};
    ASSERT_EQ(Targets().size(), order.size());
    std::set<std::string> tags;
    std::set<int> types;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const TBaseTarget& face = *Targets()[i];
        EXPECT_EQ(face.Tag(), order[i]);
        tags.insert(face.Tag());
        types.insert(face.Type());
        EXPECT_EQ(FindTarget(face.Tag()), &face);
        EXPECT_EQ(FindTargetByType(face.Type()), &face);
        EXPECT_TRUE(face.DrawScoreRings());
    }
    EXPECT_EQ(tags.size(), order.size());
    EXPECT_EQ(types.size(), order.size());
    EXPECT_EQ(FindTarget("fita80c"), FindTarget("FITA80C"));
    EXPECT_EQ(FindTarget("AP1"), nullptr);
    EXPECT_EQ(FindTargetByType(8), nullptr);
}

TEST(KelvoLibRegistry, FacesCarryTheirCardCalibreDistanceAndDrawingValues) {
    struct TRow {
        const char* fTag;
        int fType;
        int fShape;
        double fWidth, fHeight, fCaliber, fDistance;
        bool fFracs;
        double fDefaultF, fTraceWidth, fBlackSize;
    };
    const TRow rows[] = {
        {"AP10", 1, tsRingFace, 170, 170, 4.5, 10, true, 15, 1.0, 59.5},
        {"AR10", 2, tsRingFace, 80, 80, 4.5, 10, true, 35, 0.2, 30.5},
        {"SBR50", 3, tsRingFace, 250, 250, 5.6, 50, true, 55, 1.0, 112.4},
        {"SBP50", 4, tsRingFace, 550, 550, 5.6, 50, true, 55, 1.0, 200},
        {"SP25", 5, tsRingFace, 550, 550, 5.6, 25, true, 55, 1.0, 200},
        {"PM25", 6, tsRingFace, 510, 510, 9, 25, false, 0, 2.0, 0},
        {"RFP25", 7, tsRingFace, 550, 550, 5.6, 25, true, 0, 1.0, 500},
        {"TRAINING8", 0x20001, tsShapedFace, 170, 170, 4.5, 10, false, 0, 1.0, 0},
        {"CHEST", 0x20002, tsShapedFace, 510, 510, 9, 25, false, 0, 1.0, 0},
        {"CHEST_C", 0x20003, tsShapedFace, 510, 510, 9, 25, false, 0, 1.0, 0},
        {"CHEST_S", 0x20004, tsShapedFace, 510, 510, 9, 25, false, 0, 1.0, 0},
        {"BELT", 0x20005, tsShapedFace, 510, 1010, 9, 25, false, 0, 2.0, 0},
        {"BODY", 0x20006, tsShapedFace, 510, 1510, 9, 25, false, 1, 2.0, 0},
        {"IPSCCLASSIC", 0x20007, tsShapedFace, 460, 590, 9, 25, false, 1, 1.0, 0},
        {"FITA122", 0x10001, tsArcheryFace, 1240, 1240, 10, 70, false, 0, 2.5, 1220},
        {"FITA80", 0x10002, tsArcheryFace, 820, 820, 10, 60, false, 0, 2.0, 800},
        {"FITA80C", 0x101, tsRingFace, 820, 820, 10, 50, false, 0, 2.0, 800},
        {"FITA40", 0x10003, tsArcheryFace, 410, 410, 10, 18, false, 0, 1.5, 400},
    };
    for (const TRow& row : rows) {
        const TBaseTarget& face = Face(row.fTag);
        SCOPED_TRACE(row.fTag);
        EXPECT_EQ(face.Type(), row.fType);
        EXPECT_EQ(face.TargetShape(), row.fShape);
        EXPECT_EQ(face.BlankWidth(), row.fWidth);
        EXPECT_EQ(face.BlankHeight(), row.fHeight);
        EXPECT_EQ(face.Caliber(), row.fCaliber);
        EXPECT_EQ(face.Distance(), row.fDistance);
        EXPECT_EQ(face.Fracs(), row.fFracs);
        EXPECT_EQ(face.DefaultF(), row.fDefaultF);
        EXPECT_EQ(face.DefaultTraceWidth(), row.fTraceWidth);
        EXPECT_EQ(face.BlackSize(), row.fBlackSize);
    }
    const auto& compound = dynamic_cast<const TFITACustomTarget&>(Face("FITA80C"));
    EXPECT_TRUE(compound.IsCompound());
    EXPECT_EQ(compound.fBlueColor, 0xE2BC00u);
    EXPECT_FALSE(dynamic_cast<const TFITACustomTarget&>(Face("FITA80")).IsCompound());
}

TEST(KelvoLibScore, EachFaceFamilyScoresAndWordsItsHits) {
    struct TRow {
        const char* fTag;
        double x, y;
        int fTenths;
        const char* fText;
    };
    const TRow rows[] = {
        // Pistol and rifle faces, with tenths: limits at 10.9 and 1.0.
        {"AP10", 0, 0, 109, "10.9"},
        {"AP10", 8, 0, 100, "10.0"},
        {"AP10", 4.8, -6.4, 100, "10.0"},
        {"AP10", 0, 80, 10, "1.0"},
        {"AP10", 80.1, 0, 0, "0.0"},
        {"AP10", 1e200, 1e200, 0, "0.0"},
        {"AR10", 2.5, 0, 100, "10.0"},
        {"AR10", 0, -3, 98, "9.8"},
        {"SBR50", 0, 8, 100, "10.0"},
        {"SBP50", 20, 0, 102, "10.2"},
        {"SBP50", 52.8, 0, 90, "9.0"},
        {"SP25", 0, 252.8, 10, "1.0"},
        {"SP25", 0, 253, 0, "0.0"},
        {"RFP25", 0, 0, 109, "10.9"},
        {"RFP25", 92.8, 0, 90, "9.0"},
        {"RFP25", 252.8, 0, 50, "5.0"},
        {"RFP25", 253, 0, 0, "0.0"},
        // The PM25 rings inside the chest outline, in whole points.
        {"PM25", 0, 49.9, 100, "10"},
        {"PM25", 0, 50, 90, "9"},
        {"PM25", 240, 0, 60, "6"},
        {"PM25", 0, 250, 0, "0"},
        {"PM25", 150, 100, 0, "0"},
        // Archery.
        {"FITA122", 0, 0, 100, "10"},
        {"FITA122", 62, 0, 90, "9"},
        {"FITA122", 0, 610, 10, "1"},
        {"FITA122", 0, 611, 0, "0"},
        {"FITA40", 20, 0, 100, "10"},
        {"FITA80", 41, 0, 90, "9"},
        {"FITA80C", 20, 0, 100, "10"},
        {"FITA80C", 30, 0, 90, "9"},
        {"FITA80C", 81, 0, 80, "8"},
        {"FITA80C", 401, 0, 0, "0"},
        // Shaped faces.
        {"TRAINING8", 45, 0, 10, "1"},
        {"TRAINING8", -5, 0, 10, "1"},
        {"TRAINING8", 25, 0, 0, "0"},
        {"TRAINING8", 70, 0, 0, "0"},
        {"CHEST", 100, 200, 10, "1"},
        {"CHEST", 200, 100, 0, "0"},
        {"CHEST_C", 105, 145, 10, "1"},
        {"CHEST_S", 0, -153, 0, "0"},
        {"BELT", 0, 499, 10, "1"},
        {"BELT", 200, 400, 0, "0"},
        {"BODY", 0, 750, 10, "1"},
        {"BODY", 160, -600, 10, "1"},
        {"BODY", 200, -600, 0, "0"},
        {"IPSCCLASSIC", 0, 100, 50, "A"},
        {"IPSCCLASSIC", 100, 0, 30, "C"},
        {"IPSCCLASSIC", 200, 0, 10, "D"},
        {"IPSCCLASSIC", 240, 0, 0, ""},
        // A position that is not a number is a miss on every face, the figure-eight's included.
        {"AP10", NaN, 0, 0, "0.0"},
        {"PM25", 0, -Inf, 0, "0"},
        {"TRAINING8", NaN, NaN, 0, "0"},
        {"IPSCCLASSIC", Inf, 0, 0, ""},
    };
    for (const TRow& row : rows) {
        const TBaseTarget& face = Face(row.fTag);
        EXPECT_EQ(face.Get_Result(row.x, row.y), row.fTenths) << row.fTag << " " << row.x << "," << row.y;
        EXPECT_EQ(face.GetResultStr(row.x, row.y), row.fText) << row.fTag << " " << row.x << "," << row.y;
    }
    EXPECT_EQ(Face("AP10").FormatResultStr(104), "10.4");
    EXPECT_EQ(Face("PM25").FormatResultStr(104), "10");
}

// The pistol faces score with one formula inside the ten ring and another outside it; the two meet
// where the hit's edge reaches the ten ring (r - c = 25 mm, 50 mm on the rapid-fire face), so a hit
// inside the ten ring never scores by the outer formula.
TEST(KelvoLibScore, PistolFormulasMeetAtTheTenRing) {
    struct TRow {
        const char* fTag;
        double r;
        int fTenths;
    };
    const TRow rows[] = {
        {"SP25", 22.3, 101},  {"SP25", 22.5, 101},  {"SP25", 27.8, 100}, {"SP25", 28.0, 99},
        {"SBP50", 22.5, 101}, {"SBP50", 27.8, 100}, {"RFP25", 48, 100},  {"RFP25", 47.2, 101},
        {"RFP25", 52.8, 100}, {"RFP25", 53.0, 99},
    };
    for (const TRow& row : rows) {
        EXPECT_EQ(Face(row.fTag).Get_Result(row.r, 0), row.fTenths) << row.fTag << " r " << row.r;
        EXPECT_EQ(Face(row.fTag).Get_Result(0, -row.r), row.fTenths) << row.fTag << " r " << row.r;
    }
}

TEST(KelvoLibScore, AreaCodesOfShapedFacesAndNoneElsewhere) {
    struct TRow {
        const char* fTag;
        double x, y;
        int fArea;
    };
    const TRow rows[] = {
        {"IPSCCLASSIC", 0, 260, 5}, {"IPSCCLASSIC", 150, 0, 3}, {"IPSCCLASSIC", 225, 95, 1},
        {"IPSCCLASSIC", 0, 290, 0}, {"CHEST", 0, 0, 1},         {"CHEST", 251, 0, 0},
        {"TRAINING8", 45, 0, 0},    {"TRAINING8", -25, 0, -1},  {"TRAINING8", 0, NaN, -1},
        {"AP10", 0, 0, -1},         {"FITA40", 0, 0, -1},       {"PM25", 0, 0, -1},
    };
    for (const TRow& row : rows)
        EXPECT_EQ(Face(row.fTag).GetAreaCode(row.x, row.y), row.fArea)
            << row.fTag << " " << row.x << "," << row.y;
}

TEST(KelvoLibRings, RingDiametersAndTheCardOutsideThem) {
    struct TRow {
        const char* fTag;
        double r;
        double fDiameter;
    };
    const TRow rows[] = {
        {"AP10", 10, 11.5},      {"AP10", 1, 155.5},    {"AP10", 0, 170},       {"AP10", 11, 170},
        {"AR10", 10, 0.5},       {"AR10", 4, 30.5},     {"SBR50", 10, 10.4},    {"SBR50", 1, 154.4},
        {"SBP50", 7, 200},       {"SP25", 1, 500},      {"RFP25", 5, 500},      {"RFP25", 4, 550},
        {"PM25", 6, 500},        {"PM25", 5, 510},      {"FITA122", 0.5, 1240}, {"FITA122", 1, 1220},
        {"FITA122", 10, 122},    {"FITA122", 10.5, 61}, {"FITA80C", 9, 160},    {"FITA40", 11, 20},
        {"TRAINING8", 3, 170},   {"CHEST_S", 1, 510},   {"BELT", 1, 1010},      {"BODY", 10, 1510},
        {"IPSCCLASSIC", 5, 590}, {"AP10", NaN, 170},    {"FITA40", NaN, 410},
    };
    for (const TRow& row : rows)
        EXPECT_DOUBLE_EQ(Face(row.fTag).GetRingSize(row.r), row.fDiameter) << row.fTag << " ring " << row.r;
}

TEST(KelvoLibRings, IsInsideIsTheCardIncludingItsEdges) {
    EXPECT_TRUE(Face("AP10").IsInside(85, -85));
    EXPECT_FALSE(Face("AP10").IsInside(85.01, 0));
    EXPECT_TRUE(Face("BODY").IsInside(-255, 755));
    EXPECT_FALSE(Face("BODY").IsInside(0, 756));
    EXPECT_FALSE(Face("BODY").IsInside(NaN, 0));
}

TEST(KelvoLibTexts, RussianTextsForLanguage1049AndTheDefaultOnesForAnyOther) {
    struct TRow {
        const char* fTag;
        const char* fName;
        const char* fRussianName;
    };
    const TRow rows[] = {
        {"AP10", "Air pistol", "Пневматический пистолет"},
        {"AR10", "Air rifle", "Пневматическая винтовка"},
        {"SBR50", "Small-bore rifle", "Мелкокалиберная винтовка"},
        {"SBP50", "Free Pistol", "Мелкокалиберный пистолет"},
        {"SP25", "Precision Pistol", "Стандартный пистолет"},
        {"PM25", "Target #4", "Мишень №4"},
        {"RFP25", "Rapid-fire pistol", "Скорострельный пистолет"},
        {"TRAINING8", "Training \"8\" target", "Тренировочная мишень \"8\""},
        {"CHEST", "Chest target #6", "Грудная мишень №6"},
        {"CHEST_C", "Chest target #6c", "Грудная мишень №6в"},
        {"CHEST_S", "Chest target #4s", "Грудная мишень №4с"},
        {"BELT", "Belt target #7", "Поясная мишень №7"},
        {"BODY", "Body target #8", "Ростовая мишень №8"},
        {"IPSCCLASSIC", "IPSC Classic target", "Мишень классическая МКПС"},
        {"FITA122", "FITA 122 cm", "FITA 122 см"},
        {"FITA80", "FITA 80 cm", "FITA 80 см"},
        {"FITA80C", "FITA 80C", "FITA 80C"},
        {"FITA40", "FITA 40 cm", "FITA 40 см"},
    };
    for (const TRow& row : rows) {
        const TBaseTarget& face = Face(row.fTag);
        EXPECT_EQ(face.Name(LangDefault), row.fName);
        EXPECT_EQ(face.Name(1033), row.fName);
        EXPECT_EQ(face.Name(LangRussian), row.fRussianName);
        EXPECT_EQ(face.TextInfo().front().fLangID, LangDefault);
    }
    struct TInfoRow {
        const char* fTag;
        std::uint16_t fLang;
        const char* fCaliber;
        const char* fDistance;
    };
    const TInfoRow infos[] = {
        {"AP10", LangDefault, "Caliber 4.5 mm", "Distance 10 meters"},
        {"AP10", LangRussian, "Калибр 4.5 мм", "Дистанция 10 метров"},
        {"TRAINING8", LangRussian, "???", "Дистанция 10 метров"},
        {"BELT", 1033, "Caliber 9 mm", "Distance 25 meters"},
        {"FITA122", LangDefault, "Recurve bow", "Distance 70 meters"},
        {"FITA80C", LangRussian, "Блочный лук", "Дистанция 50 метров"},
        {"FITA40", LangRussian, "Олимпийский лук", "Дистанция 18 метров"},
    };
    for (const TInfoRow& row : infos) {
        EXPECT_EQ(Face(row.fTag).CaliberInfo(row.fLang), row.fCaliber) << row.fTag << " " << row.fLang;
        EXPECT_EQ(Face(row.fTag).DistanceInfo(row.fLang), row.fDistance) << row.fTag << " " << row.fLang;
    }
}

TEST(KelvoLibTexts, TheSystemLanguageComesFromTheLocale) {
    const char* saved = std::getenv("LC_ALL");
    const std::string restore = saved ? saved : "";
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(Face("AP10").Name(), "Пневматический пистолет");
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(Face("AP10").DistanceInfo(), "Distance 10 meters");
    if (saved)
        setenv("LC_ALL", restore.c_str(), 1);
    else
        unsetenv("LC_ALL");
}

TEST(KelvoLibTraining8, SettersRefuseValuesThatGiveNoBand) {
    TTraining8Target face;
    // Above half the base the crossing corners would need the root of a negative number.
    EXPECT_FALSE(face.SetRadius(26));
    EXPECT_FALSE(face.SetBase(49));
    EXPECT_FALSE(face.SetThickness(25));
    EXPECT_FALSE(face.SetThickness(0));
    EXPECT_FALSE(face.SetRadius(10));
    EXPECT_FALSE(face.SetBase(NaN));
    EXPECT_EQ(face.Base(), 50);
    EXPECT_EQ(face.Radius(), 25);
    EXPECT_EQ(face.Thickness(), 10);
    EXPECT_EQ(face.Get_Result(45, 0), 10);

    // Wider apart, the rings are joined by crossing bands through the centre.
    ASSERT_TRUE(face.SetBase(80));
    EXPECT_EQ(face.Get_Result(0, 0), 10);   // where the bands cross
    EXPECT_EQ(face.Get_Result(5, 4), 10);   // on a crossing band
    EXPECT_EQ(face.Get_Result(5, -25), 0);  // between the bands
    EXPECT_EQ(face.Get_Result(-40, 0), 0);  // in a ring's hole
    EXPECT_EQ(face.Get_Result(-74, 0), 10); // on the far side of a ring
    EXPECT_EQ(face.Get_Result(20, 0), 0);   // the notch inside the ring beside the crossing
    EXPECT_TRUE(face.SetThickness(5));
    EXPECT_TRUE(face.SetRadius(40));
    EXPECT_EQ(face.Get_Result(80, 0), 10);
}

TEST(KelvoLibTemplate, PM25HasItsRotatableReferencePointsAndOtherFacesNone) {
    const TTargetTemplate points = Face("PM25").GetTemplate();
    ASSERT_EQ(points.size(), 15u);
    EXPECT_TRUE(Face("PM25").IsTemplateRotatable());
    // The axis points go round from 0 degrees, x the cosine and y the sine component.
    EXPECT_EQ(double(points[2].x), 0); // copied: a packed member binds to no reference
    EXPECT_EQ(double(points[2].y), 350);
    EXPECT_EQ(int(points[2].flag), 0);
    EXPECT_TRUE(Face("AP10").GetTemplate().empty());
    EXPECT_FALSE(Face("CHEST").IsTemplateRotatable());
}

namespace {

// Records what is drawn: ellipses by their bounds, lines, and texts.
class TRecordingCanvas : public TTargetCanvas {
public:
    void FillEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint) override {
        fFilled.push_back(ABounds);
        fFillColors.push_back(APaint.Color);
    }
    void OutlineEllipse(const TCanvasRect& ABounds, TCanvasPaint, double) override {
        fOutlined.push_back(ABounds);
    }
    void FillRect(const TCanvasRect& ARect, TCanvasPaint) override { fRects.push_back(ARect); }
    void OutlineRect(const TCanvasRect&, TCanvasPaint, double) override {}
    void FillPolygon(const std::vector<TCanvasPoint>&, TCanvasPaint) override {}
    void OutlinePolygon(const std::vector<TCanvasPoint>&, TCanvasPaint, double) override {}
    void DrawPolyline(const std::vector<TCanvasPoint>&, TCanvasPaint APaint, double) override {
        fLineOpacities.push_back(APaint.Opacity);
    }
    void DrawText(TCanvasPoint, const std::string& AText, TCanvasPaint, double, bool) override {
        fTexts.push_back(AText);
    }

    std::vector<TCanvasRect> fFilled;
    std::vector<TColor> fFillColors;
    std::vector<TCanvasRect> fOutlined;
    std::vector<TCanvasRect> fRects;
    std::vector<double> fLineOpacities;
    std::vector<std::string> fTexts;
};

} // namespace

TEST(KelvoLibDrawing, ScaleModesPlaceTheCardInTheRectangle) {
    const TBaseTarget& face = Face("BELT"); // 510 x 1010
    const TCanvasRect rect{10, 20, 520, 2040};
    struct TRow {
        double fScaleX, fScaleY;
        double fExpectX, fExpectY;
    };
    const TRow rows[] = {{-1, 0, 1, 2}, {0, 0, 1, 1}, {0.5, 0.25, 0.5, 0.25}, {0.5, 0, 0.5, 0.5}};
    for (const TRow& row : rows) {
        const TFaceView view = face.View(rect, row.fScaleX, row.fScaleY);
        EXPECT_DOUBLE_EQ(view.ScaleX, row.fExpectX);
        EXPECT_DOUBLE_EQ(view.ScaleY, row.fExpectY);
        EXPECT_DOUBLE_EQ(view.CentreX, 265);
        EXPECT_DOUBLE_EQ(view.CentreY, 1030);
    }
    TRecordingCanvas canvas;
    face.DrawTarget(canvas, rect, -1, 0, clBlack, clWhite);
    ASSERT_EQ(canvas.fRects.size(), 1u);
    EXPECT_DOUBLE_EQ(canvas.fRects[0].Left, 10);
    EXPECT_DOUBLE_EQ(canvas.fRects[0].Bottom, 2040);
}

TEST(KelvoLibDrawing, BreachIsTheCalibreOnAWholePixelAndNothingWhenNotFinite) {
    const TBaseTarget& face = Face("AP10");
    TRecordingCanvas canvas;
    face.DrawBreach(canvas, {0, 0, 340, 340}, 0, 0, 0.3,
                    -0.4); // 2 px/mm: (170.6, 170.8) rounds to (171, 171)
    face.DrawBreach(canvas, {0, 0, 340, 340}, 0, 0, NaN, 1);
    face.DrawBreach(canvas, {0, 0, 340, 340}, 0, 0, 1, Inf);
    ASSERT_EQ(canvas.fFilled.size(), 1u);
    EXPECT_DOUBLE_EQ(canvas.fFilled[0].Left, 171 - 4.5);
    EXPECT_DOUBLE_EQ(canvas.fFilled[0].Top, 171 - 4.5);
    EXPECT_DOUBLE_EQ(canvas.fFilled[0].Width(), 9);
}

TEST(KelvoLibDrawing, RingOutlinesOnlyWhileScoreRingsAreDrawn) {
    TAPTarget face;
    TRecordingCanvas withRings;
    face.DrawTarget(withRings, {0, 0, 170, 170}, 0, 0, clBlack, clWhite);
    EXPECT_EQ(withRings.fOutlined.size(), 10u);
    face.SetDrawScoreRings(false);
    TRecordingCanvas without;
    face.DrawTarget(without, {0, 0, 170, 170}, 0, 0, clBlack, clWhite);
    EXPECT_TRUE(without.fOutlined.empty());
    ASSERT_EQ(without.fFilled.size(), 1u); // the black area stays
    EXPECT_DOUBLE_EQ(without.fFilled[0].Width(), 59.5);
}

TEST(KelvoLibDrawing, ShotTracesFadeWithAgeAndHitsCarryTheirScore) {
    const TBaseTarget& face = Face("AP10");
    const std::vector<TAimPoint> points = {{0.0, 30, 30}, {0.5, 20, 20}, {0.9, NaN, 0},
                                           {1.0, 10, 10}, {1.5, 0, 0},   {1.6, 50, 50}};
    const std::vector<TShotMark> shots = {{1.5, 0, 0}, {3.0, NaN, 0}};
    TRecordingCanvas canvas;
    DrawShotTraces(canvas, face, face.View({0, 0, 170, 170}, 0, 0), points, shots);
    // Within the second before the shot: 0.5-0.9 and 0.9-1.0 touch the broken point, so 1.0-1.5 only.
    ASSERT_EQ(canvas.fLineOpacities.size(), 1u);
    EXPECT_DOUBLE_EQ(canvas.fLineOpacities[0], 1.0);
    EXPECT_EQ(canvas.fTexts, std::vector<std::string>{"10.9"});

    const std::vector<TAimPoint> steady = {{0.0, 0, 0}, {0.5, 1, 0}, {1.0, 2, 0}};
    TRecordingCanvas fading;
    DrawShotTraces(fading, face, face.View({0, 0, 170, 170}, 0, 0), steady, {{1.0, 2, 0}});
    ASSERT_EQ(fading.fLineOpacities.size(), 2u);
    EXPECT_LT(fading.fLineOpacities[0], fading.fLineOpacities[1]);
}
