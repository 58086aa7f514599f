#include "MyLib/KelvoLib.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

// Scores cut towards zero; this absorbs the binary rounding of positions given in decimals, so that a
// hit exactly on a ring's edge scores that ring.
constexpr double ScoreEpsilon = 1e-9;

// trunc(AValue) as a score: 0 below ALow, AHigh above AHigh. Far-off hits give values no int holds, so
// the limits are applied before the conversion.
int LimitedScore(double AValue, int ALow, int AHigh) {
    const double value = std::trunc(AValue + ScoreEpsilon);
    if (!(value >= ALow))
        return 0;
    return value > AHigh ? AHigh : int(value);
}

// Ring faces whose rings are AStep wide around a ten of AInnerSize, for rings AFirst to 10; the larger
// card side outside them.
double RingDiameter(double r, int AFirst, double AStep, double AInnerSize, double ALargerSide) {
    if (!(r >= AFirst && r <= 10))
        return ALargerSide;
    return (10 - r) * AStep + AInnerSize;
}

TTargetTextInfo FaceTexts(std::uint16_t ALang, std::string AName, std::string ACaliber,
                          std::string ADistance) {
    return {ALang, std::move(ADistance), std::move(ACaliber), std::move(AName)};
}

TTargetFaceData RingFace(int AType, const char* ATag, double ASide, double ACaliber, double ADistance,
                         bool AFracs, double ADefaultF, double ATraceWidth, double ABlackSize,
                         TTargetTextInfo AEnglish, TTargetTextInfo ARussian) {
    return TTargetFaceData{AType,
                           ATag,
                           ASide,
                           ASide,
                           ACaliber,
                           ADistance,
                           AFracs,
                           ADefaultF,
                           ATraceWidth,
                           ABlackSize,
                           std::move(AEnglish),
                           std::move(ARussian)};
}

const TTargetFaceData APData =
    RingFace(1, "AP10", 170, 4.5, 10, true, 15, 1.0, 59.5,
             FaceTexts(LangDefault, "Air pistol", "Caliber 4.5 mm", "Distance 10 meters"),
             FaceTexts(LangRussian, "Пневматический пистолет", "Калибр 4.5 мм", "Дистанция 10 метров"));
const TTargetFaceData ARData =
    RingFace(2, "AR10", 80, 4.5, 10, true, 35, 0.2, 30.5,
             FaceTexts(LangDefault, "Air rifle", "Caliber 4.5 mm", "Distance 10 meters"),
             FaceTexts(LangRussian, "Пневматическая винтовка", "Калибр 4.5 мм", "Дистанция 10 метров"));
const TTargetFaceData SBRData =
    RingFace(3, "SBR50", 250, 5.6, 50, true, 55, 1.0, 112.4,
             FaceTexts(LangDefault, "Small-bore rifle", "Caliber 5.6 mm", "Distance 50 meters"),
             FaceTexts(LangRussian, "Мелкокалиберная винтовка", "Калибр 5.6 мм", "Дистанция 50 метров"));
const TTargetFaceData SBPData =
    RingFace(4, "SBP50", 550, 5.6, 50, true, 55, 1.0, 200,
             FaceTexts(LangDefault, "Free Pistol", "Caliber 5.6 mm", "Distance 50 meters"),
             FaceTexts(LangRussian, "Мелкокалиберный пистолет", "Калибр 5.6 мм", "Дистанция 50 метров"));
const TTargetFaceData SPData =
    RingFace(5, "SP25", 550, 5.6, 25, true, 55, 1.0, 200,
             FaceTexts(LangDefault, "Precision Pistol", "Caliber 5.6 mm", "Distance 25 meters"),
             FaceTexts(LangRussian, "Стандартный пистолет", "Калибр 5.6 мм", "Дистанция 25 метров"));
const TTargetFaceData PMData =
    RingFace(6, "PM25", 510, 9, 25, false, 0, 2.0, 0,
             FaceTexts(LangDefault, "Target #4", "Caliber 9 mm", "Distance 25 meters"),
             FaceTexts(LangRussian, "Мишень №4", "Калибр 9 мм", "Дистанция 25 метров"));
const TTargetFaceData RFPData =
    RingFace(7, "RFP25", 550, 5.6, 25, true, 0, 1.0, 500,
             FaceTexts(LangDefault, "Rapid-fire pistol", "Caliber 5.6 mm", "Distance 25 meters"),
             FaceTexts(LangRussian, "Скорострельный пистолет", "Калибр 5.6 мм", "Дистанция 25 метров"));

TTargetFaceData ShapedFace(int AType, const char* ATag, double AWidth, double AHeight, double ADefaultF,
                           double ATraceWidth, const char* AName, const char* ARussianName) {
    return TTargetFaceData{AType,
                           ATag,
                           AWidth,
                           AHeight,
                           9,
                           25,
                           false,
                           ADefaultF,
                           ATraceWidth,
                           0,
                           FaceTexts(LangDefault, AName, "Caliber 9 mm", "Distance 25 meters"),
                           FaceTexts(LangRussian, ARussianName, "Калибр 9 мм", "Дистанция 25 метров")};
}

const TTargetFaceData Training8Data{
    0x20001,
    "TRAINING8",
    170,
    170,
    4.5,
    10,
    false,
    0,
    1.0,
    0,
    FaceTexts(LangDefault, "Training \"8\" target", "???", "Distance 10 meters"),
    FaceTexts(LangRussian, "Тренировочная мишень \"8\"", "???", "Дистанция 10 метров")};
const TTargetFaceData ChestData =
    ShapedFace(0x20002, "CHEST", 510, 510, 0, 1.0, "Chest target #6", "Грудная мишень №6");
const TTargetFaceData ChestCData =
    ShapedFace(0x20003, "CHEST_C", 510, 510, 0, 1.0, "Chest target #6c", "Грудная мишень №6в");
const TTargetFaceData ChestSData =
    ShapedFace(0x20004, "CHEST_S", 510, 510, 0, 1.0, "Chest target #4s", "Грудная мишень №4с");
const TTargetFaceData BeltData =
    ShapedFace(0x20005, "BELT", 510, 1010, 0, 2.0, "Belt target #7", "Поясная мишень №7");
const TTargetFaceData BodyData =
    ShapedFace(0x20006, "BODY", 510, 1510, 1, 2.0, "Body target #8", "Ростовая мишень №8");
const TTargetFaceData IPSCData =
    ShapedFace(0x20007, "IPSCCLASSIC", 460, 590, 1, 1.0, "IPSC Classic target", "Мишень классическая МКПС");

TTargetFaceData ArcheryFace(int AType, const char* ATag, double ASide, double ADistance, double ATraceWidth,
                            double AFaceSize, const char* AName, const char* ABow, const char* ARussianName,
                            const char* ARussianBow) {
    const std::string distance = std::to_string(int(ADistance));
    return TTargetFaceData{
        AType,
        ATag,
        ASide,
        ASide,
        10,
        ADistance,
        false,
        0,
        ATraceWidth,
        AFaceSize,
        FaceTexts(LangDefault, AName, ABow, std::string("Distance ").append(distance).append(" meters")),
        FaceTexts(LangRussian, ARussianName, ARussianBow,
                  std::string("Дистанция ").append(distance).append(" метров"))};
}

const TTargetFaceData FITA122Data = ArcheryFace(0x10001, "FITA122", 1240, 70, 2.5, 1220, "FITA 122 cm",
                                                "Recurve bow", "FITA 122 см", "Олимпийский лук");
const TTargetFaceData FITA80Data = ArcheryFace(0x10002, "FITA80", 820, 60, 2.0, 800, "FITA 80 cm",
                                               "Recurve bow", "FITA 80 см", "Олимпийский лук");
const TTargetFaceData FITA80CData = ArcheryFace(0x101, "FITA80C", 820, 50, 2.0, 800, "FITA 80C",
                                                "Compound archery", "FITA 80C", "Блочный лук");
const TTargetFaceData FITA40Data = ArcheryFace(0x10003, "FITA40", 410, 18, 1.5, 400, "FITA 40 cm",
                                               "Recurve bow", "FITA 40 см", "Олимпийский лук");

// The chest silhouette of the chest faces and of the PM25 miss test: a 500 mm square whose upper
// corners beside the head are cut away above y = 70.
const TTargetPolygon ChestOutline = {{-250, -250}, {250, -250}, {250, 70},  {115, 70},
                                     {115, 250},   {-115, 250}, {-115, 70}, {-250, 70}};
const TTargetPolygon BeltOutline = {{-250, -500}, {250, -500}, {250, 320},  {115, 320},
                                    {115, 500},   {-115, 500}, {-115, 320}, {-250, 320}};

bool InChestOutline(double x, double y) {
    return !(std::abs(x) > 250 || std::abs(y) > 250 || (y > 70 && std::abs(x) > 115));
}

// The part of APolygon with x >= 0 (one pass of polygon clipping against the y axis).
TTargetPolygon RightHalf(const TTargetPolygon& APolygon) {
    TTargetPolygon result;
    for (std::size_t i = 0; i < APolygon.size(); ++i) {
        const TTargetPoint& a = APolygon[i];
        const TTargetPoint& b = APolygon[(i + 1) % APolygon.size()];
        if (a.x >= 0)
            result.push_back(a);
        if ((a.x >= 0) != (b.x >= 0))
            result.push_back({0, a.y + (b.y - a.y) * (0 - a.x) / (b.x - a.x)});
    }
    return result;
}

TTargetPolygon Mirrored(TTargetPolygon APolygon) {
    for (TTargetPoint& point : APolygon)
        point.x = -point.x;
    return APolygon;
}

} // namespace

bool PolygonContains(const TTargetPolygon& APolygon, double x, double y) {
    bool inside = false;
    for (std::size_t i = 0, j = APolygon.size() - 1; i < APolygon.size(); j = i++) {
        const TTargetPoint& a = APolygon[i];
        const TTargetPoint& b = APolygon[j];
        // On the edge: collinear with it and within its bounds.
        const double cross = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
        const double length = std::abs(b.x - a.x) + std::abs(b.y - a.y);
        if (std::abs(cross) <= 1e-9 * std::max(1.0, length) && x >= std::min(a.x, b.x) &&
            x <= std::max(a.x, b.x) && y >= std::min(a.y, b.y) && y <= std::max(a.y, b.y))
            return true;
        if ((a.y > y) != (b.y > y) && x < a.x + (b.x - a.x) * (y - a.y) / (b.y - a.y))
            inside = !inside;
    }
    return inside;
}

std::uint16_t SystemLangId() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return std::string_view(value).substr(0, 2) == "ru" ? LangRussian : LangDefault;
    }
    return LangDefault;
}

std::vector<TCanvasPoint> TFaceView::ToPixels(const TTargetPolygon& APolygon) const {
    std::vector<TCanvasPoint> points;
    points.reserve(APolygon.size());
    for (const TTargetPoint& point : APolygon)
        points.push_back(ToPixels(point));
    return points;
}

TCanvasRect TFaceView::CircleBounds(double x, double y, double ADiameter) const {
    const TCanvasPoint centre = ToPixels(x, y);
    const double rx = ADiameter / 2 * ScaleX;
    const double ry = ADiameter / 2 * ScaleY;
    return {centre.x - rx, centre.y - ry, centre.x + rx, centre.y + ry};
}

double TFaceView::Pixels(double AMillimetres) const {
    return AMillimetres * std::min(ScaleX, ScaleY);
}

// ---- TBaseTarget

TBaseTarget::TBaseTarget(const TTargetFaceData& AData)
    : fType(AData.fType), fTag(AData.fTag), fBlankWidth(AData.fBlankWidth), fBlankHeight(AData.fBlankHeight),
      fCaliber(AData.fCaliber), fFracs(AData.fFracs), fDefaultF(AData.fDefaultF), fDistance(AData.fDistance),
      fDefaultTraceWidth(AData.fDefaultTraceWidth), fTextInfo{AData.fDefaultTexts, AData.fRussianTexts},
      fBlackSize(AData.fBlackSize) {}

const TTargetTextInfo& TBaseTarget::Texts(std::uint16_t lid) const {
    for (const TTargetTextInfo& info : fTextInfo)
        if (info.fLangID == lid)
            return info;
    return fTextInfo.front();
}

int TBaseTarget::Get_Result(double x, double y) const {
    if (!std::isfinite(x) || !std::isfinite(y))
        return 0;
    return ScoreAt(x, y);
}

int TBaseTarget::GetAreaCode(double x, double y) const {
    if (!std::isfinite(x) || !std::isfinite(y))
        return -1;
    return AreaCodeAt(x, y);
}

std::string TBaseTarget::FormatResultStr(int ARes) const {
    const long long value = ARes;
    const long long magnitude = value < 0 ? -value : value;
    std::string text = value < 0 ? "-" : "";
    text += std::to_string(magnitude / 10);
    if (fFracs) {
        text += '.';
        text += std::to_string(magnitude % 10);
    }
    return text;
}

double TBaseTarget::LargerSide() const {
    return std::max(fBlankWidth, fBlankHeight);
}

double TBaseTarget::GetRingSize(double) const {
    return LargerSide();
}

bool TBaseTarget::IsInside(double x, double y) const {
    return std::abs(x) <= fBlankWidth / 2 && std::abs(y) <= fBlankHeight / 2;
}

TFaceView TBaseTarget::View(const TCanvasRect& ARect, double AScaleX, double AScaleY) const {
    double scaleX = AScaleX;
    double scaleY = AScaleY > 0 ? AScaleY : AScaleX;
    if (AScaleX < 0) {
        scaleX = ARect.Width() / fBlankWidth;
        scaleY = ARect.Height() / fBlankHeight;
    } else if (AScaleX == 0) {
        scaleX = scaleY = std::min(ARect.Width() / fBlankWidth, ARect.Height() / fBlankHeight);
    }
    return {(ARect.Left + ARect.Right) / 2, (ARect.Top + ARect.Bottom) / 2, scaleX, scaleY};
}

void TBaseTarget::DrawTarget(TTargetCanvas& ACanvas, const TCanvasRect& ARect, double AScaleX, double AScaleY,
                             TColor AFgColor, TColor ABkColor) const {
    const TFaceView view = View(ARect, AScaleX, AScaleY);
    const TCanvasPoint topLeft = view.ToPixels(-fBlankWidth / 2, fBlankHeight / 2);
    const TCanvasPoint bottomRight = view.ToPixels(fBlankWidth / 2, -fBlankHeight / 2);
    ACanvas.FillRect({topLeft.x, topLeft.y, bottomRight.x, bottomRight.y}, {ABkColor});
    PaintFace(ACanvas, view, AFgColor, ABkColor);
}

void TBaseTarget::DrawBreach(TTargetCanvas& ACanvas, const TCanvasRect& ARect, double AScaleX, double AScaleY,
                             double X, double Y, TColor AColor) const {
    DrawBreach(ACanvas, View(ARect, AScaleX, AScaleY), X, Y, AColor);
}

void TBaseTarget::DrawBreach(TTargetCanvas& ACanvas, const TFaceView& AView, double X, double Y,
                             TColor AColor) const {
    if (!std::isfinite(X) || !std::isfinite(Y))
        return;
    const TCanvasPoint centre = AView.ToPixels(X, Y);
    const double x = std::round(centre.x);
    const double y = std::round(centre.y);
    const double rx = fCaliber / 2 * AView.ScaleX;
    const double ry = fCaliber / 2 * AView.ScaleY;
    const TCanvasRect bounds{x - rx, y - ry, x + rx, y + ry};
    ACanvas.FillEllipse(bounds, {AColor});
    ACanvas.OutlineEllipse(bounds, {clBlack}, 1);
}

void TBaseTarget::PaintRings(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor, TColor ABkColor,
                             int AFirstRing) const {
    if (fBlackSize > 0)
        ACanvas.FillEllipse(AView.CircleBounds(0, 0, fBlackSize), {AFgColor});
    if (!fDrawScoreRings)
        return;
    const double lineWidth = std::max(1.0, AView.Pixels(0.1));
    for (int r = AFirstRing; r <= 10; ++r) {
        const double diameter = GetRingSize(r);
        ACanvas.OutlineEllipse(AView.CircleBounds(0, 0, diameter),
                               {diameter < fBlackSize ? ABkColor : AFgColor}, lineWidth);
    }
    // Ring numbers on the four axes, in the middle of each ring, up to ring 8 as on printed cards.
    for (int r = AFirstRing; r <= 8; ++r) {
        const double outer = GetRingSize(r);
        const double inner = GetRingSize(r + 1);
        const double middle = (outer + inner) / 4;
        const double height = AView.Pixels((outer - inner) / 2 * 0.6);
        if (height < 6)
            continue;
        const TCanvasPaint paint{middle * 2 < fBlackSize ? ABkColor : AFgColor};
        const std::string number = std::to_string(r);
        for (const TTargetPoint at : {TTargetPoint{-middle, 0}, {middle, 0}, {0, middle}, {0, -middle}})
            ACanvas.DrawText(AView.ToPixels(at), number, paint, height);
    }
}

// ---- Ring faces

TAPTarget::TAPTarget() : TBaseTarget(APData) {}

int TAPTarget::ScoreAt(double x, double y) const {
    return LimitedScore((11 - std::hypot(x, y) / 8) * 10, 10, 109);
}

double TAPTarget::GetRingSize(double r) const {
    return RingDiameter(r, 1, 16, 11.5, LargerSide());
}

TARTarget::TARTarget() : TBaseTarget(ARData) {}

int TARTarget::ScoreAt(double x, double y) const {
    return LimitedScore((11 - std::hypot(x, y) / 2.5) * 10, 10, 109);
}

double TARTarget::GetRingSize(double r) const {
    return RingDiameter(r, 1, 5, 0.5, LargerSide());
}

TSBRTarget::TSBRTarget() : TBaseTarget(SBRData) {}

int TSBRTarget::ScoreAt(double x, double y) const {
    return LimitedScore((11 - std::hypot(x, y) / 8) * 10, 10, 109);
}

double TSBRTarget::GetRingSize(double r) const {
    return RingDiameter(r, 1, 16, 10.4, LargerSide());
}

TSBPTarget::TSBPTarget() : TBaseTarget(SBPData) {}

int TSBPTarget::ScoreAt(double x, double y) const {
    const double r = std::hypot(x, y);
    const double c = fCaliber / 2;
    const double points = r - c > 25 ? 10 - (r - c - 25) / 25 : 11 - r / (c + 25);
    return LimitedScore(points * 10, 10, 109);
}

double TSBPTarget::GetRingSize(double r) const {
    return RingDiameter(r, 1, 50, 50, LargerSide());
}

TSPTarget::TSPTarget() : TSBPTarget(SPData) {}

TPMTarget::TPMTarget() : TBaseTarget(PMData) {}

int TPMTarget::ScoreAt(double x, double y) const {
    if (!InChestOutline(x, y))
        return 0;
    const int score = 100 - int(std::trunc(std::hypot(x, y) / 50)) * 10;
    return score < 60 ? 0 : score;
}

double TPMTarget::GetRingSize(double r) const {
    return RingDiameter(r, 6, 100, 100, LargerSide());
}

TTargetTemplate TPMTarget::GetTemplate() const {
    return {{0, 0, 1},      {350, 0, 0},   {0, 350, 0},    {-350, 0, 0},   {0, -350, 0},
            {125, 0, 1},    {0, 125, 1},   {-125, 0, 1},   {0, -125, 1},   {125, 125, 1},
            {-125, 125, 1}, {352, 352, 0}, {-350, 352, 0}, {200, -200, 0}, {-200, -200, 0}};
}

void TPMTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                          TColor ABkColor) const {
    ACanvas.OutlinePolygon(AView.ToPixels(ChestOutline), {AFgColor}, std::max(1.0, AView.Pixels(1.5)));
    PaintRings(ACanvas, AView, AFgColor, ABkColor, 6);
}

TRFPTarget::TRFPTarget() : TBaseTarget(RFPData) {}

int TRFPTarget::ScoreAt(double x, double y) const {
    const double r = std::hypot(x, y);
    const double c = fCaliber / 2;
    const double points = r - c > 50 ? 10 - (r - c - 50) / 40 : 11 - r / (c + 50);
    return LimitedScore(points * 10, 50, 109);
}

double TRFPTarget::GetRingSize(double r) const {
    return RingDiameter(r, 5, 80, 100, LargerSide());
}

void TRFPTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                           TColor ABkColor) const {
    PaintRings(ACanvas, AView, AFgColor, ABkColor, 5);
}

// ---- Archery faces

TFITACustomTarget::TFITACustomTarget(const TTargetFaceData& AData, double AInnerTenSize,
                                     double AScoringZoneSize, double AScoreRingThickness)
    : TBaseTarget(AData), fInnerTenSize(AInnerTenSize), fScoringZoneSize(AScoringZoneSize),
      fScoreRingThickness(AScoreRingThickness) {
    SetDefaultColors();
}

void TFITACustomTarget::SetDefaultColors() {
    fBlackColor = 0x000000;
    fBlueColor = 0xE2BC00;
    fRedColor = 0x2C35E5;
    fYellowColor = 0x26E5F9;
}

int TFITACustomTarget::ScoreAt(double x, double y) const {
    const double r = std::hypot(x, y);
    if (r > 10 * fScoringZoneSize)
        return 0;
    return std::min(100, int(std::trunc(11 - r / fScoringZoneSize + ScoreEpsilon)) * 10);
}

double TFITACustomTarget::GetRingSize(double r) const {
    if (!std::isfinite(r) || r < 1)
        return fBlankWidth;
    if (r >= 10.5)
        return fInnerTenSize;
    return (11 - r) * fScoringZoneSize * 2;
}

void TFITACustomTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor,
                                  TColor ABkColor) const {
    // Zones 1-2 are white (the card's colour), then black, blue, red and gold in pairs.
    const TColor zoneColors[] = {ABkColor, fBlackColor, fBlueColor, fRedColor, fYellowColor};
    for (int pair = 0; pair < 5; ++pair)
        ACanvas.FillEllipse(AView.CircleBounds(0, 0, GetRingSize(1 + 2 * pair)), {zoneColors[pair]});
    if (!fDrawScoreRings)
        return;
    const double lineWidth = std::max(1.0, AView.Pixels(fScoreRingThickness));
    // Rings 1 to 10 and the inner ten; ring 4 lies inside the black zones and is drawn white.
    for (const double r : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 10.5})
        ACanvas.OutlineEllipse(AView.CircleBounds(0, 0, GetRingSize(r)), {r == 4 ? ABkColor : fBlackColor},
                               lineWidth);
}

TFITA122Target::TFITA122Target() : TFITACustomTarget(FITA122Data, 61, 61, 1.0) {}

TFITA80Target::TFITA80Target() : TFITACustomTarget(FITA80Data, 40, 40, 0.6) {}

TFITA80CTarget::TFITA80CTarget() : TFITA80Target(FITA80CData, 40, 40, 0.6) {}

int TFITA80CTarget::ScoreAt(double x, double y) const {
    const double r = std::hypot(x, y);
    if (r > 10 * fScoringZoneSize)
        return 0;
    if (r <= fInnerTenSize / 2)
        return 100;
    if (r <= fScoringZoneSize)
        return 90;
    return TFITACustomTarget::ScoreAt(x, y);
}

TFITA40Target::TFITA40Target() : TFITACustomTarget(FITA40Data, 20, 20, 0.3) {}

// ---- Shaped faces

int TCustomShapeTarget::ScoreAt(double x, double y) const {
    return std::max(0, AreaCodeAt(x, y)) * 10;
}

double TCustomShapeTarget::GetRingSize(double) const {
    return fBlankWidth;
}

TTraining8Target::TTraining8Target() : TCustomShapeTarget(Training8Data) {
    Recalculate();
}

bool TTraining8Target::SetBase(double AValue) {
    if (!(std::isfinite(AValue) && AValue > 0 && AValue >= 2 * fRadius))
        return false;
    fBase = AValue;
    Recalculate();
    return true;
}

bool TTraining8Target::SetRadius(double AValue) {
    if (!(std::isfinite(AValue) && AValue > fThickness && AValue <= fBase / 2))
        return false;
    fRadius = AValue;
    Recalculate();
    return true;
}

bool TTraining8Target::SetThickness(double AValue) {
    if (!(std::isfinite(AValue) && AValue > 0 && AValue < fRadius))
        return false;
    fThickness = AValue;
    Recalculate();
    return true;
}

void TTraining8Target::Recalculate() {
    fR = fRadius;
    fW = fThickness;
    fRI = fR - fW;
    fRO = fR + fW;
    fRX = fBase / 2;
    fX0 = (1 - fRI / fR) * fBase / 2;
    fX3 = fBase / 2 - fR * 2 * fRI / fBase;
    fY3 = std::sqrt(fRI * fRI - std::pow(fR * 2 * fRI / fBase, 2));
    fX2 = fBase / 2 - fRO * 2 * fR / fBase;
    fY2 = std::sqrt(fRO * fRO - std::pow(fRO * 2 * fR / fBase, 2));
}

TTargetPolygon TTraining8Target::CrossingBand() const {
    return {{-fX0, 0}, {fX2, fY2}, {fX2, -fY2}};
}

TTargetPolygon TTraining8Target::CrossingNotch() const {
    return {{fX0, 0}, {fX3, fY3}, {fX3, -fY3}};
}

int TTraining8Target::AreaCodeAt(double x, double y) const {
    x = std::abs(x);
    const double d = std::hypot(x - fRX, y);
    if (d > fRO && !PolygonContains(CrossingBand(), x, y))
        return -1;
    if (d < fRI || PolygonContains(CrossingNotch(), x, y))
        return -1;
    return 0;
}

int TTraining8Target::ScoreAt(double x, double y) const {
    const int area = AreaCodeAt(x, y);
    return area < 0 ? 0 : area * 10 + 10;
}

void TTraining8Target::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                                 TColor ABkColor) const {
    // The band is the outer discs and the crossing band, less the inner discs and the notches. The
    // triangles are clipped to their own half, as each half of the card is scored against its ring.
    const TTargetPolygon band = RightHalf(CrossingBand());
    const TTargetPolygon notch = RightHalf(CrossingNotch());
    for (const double side : {-1.0, 1.0})
        ACanvas.FillEllipse(AView.CircleBounds(side * fRX, 0, 2 * fRO), {AFgColor});
    if (band.size() >= 3)
        for (const TTargetPolygon& part : {band, Mirrored(band)})
            ACanvas.FillPolygon(AView.ToPixels(part), {AFgColor});
    for (const double side : {-1.0, 1.0})
        ACanvas.FillEllipse(AView.CircleBounds(side * fRX, 0, 2 * fRI), {ABkColor});
    if (notch.size() >= 3)
        for (const TTargetPolygon& part : {notch, Mirrored(notch)})
            ACanvas.FillPolygon(AView.ToPixels(part), {ABkColor});
}

TChestTarget::TChestTarget() : TCustomShapeTarget(ChestData) {}

int TChestTarget::AreaCodeAt(double x, double y) const {
    return InChestOutline(x, y) ? 1 : 0;
}

void TChestTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor, TColor) const {
    ACanvas.FillPolygon(AView.ToPixels(ChestOutline), {AFgColor});
}

TChestCTarget::TChestCTarget() : TChestTarget(ChestCData) {}

int TChestCTarget::AreaCodeAt(double x, double y) const {
    return x >= -105 && x <= 105 && y >= -152 && y <= 145 ? 1 : 0;
}

void TChestCTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                              TColor ABkColor) const {
    TChestTarget::PaintFace(ACanvas, AView, AFgColor, ABkColor);
    if (!fDrawScoreRings)
        return;
    const TCanvasPoint topLeft = AView.ToPixels(-105, 145);
    const TCanvasPoint bottomRight = AView.ToPixels(105, -152);
    ACanvas.OutlineRect({topLeft.x, topLeft.y, bottomRight.x, bottomRight.y}, {ABkColor},
                        std::max(1.0, AView.Pixels(1)));
}

TChestSTarget::TChestSTarget() : TChestCTarget(ChestSData) {}

TBeltTarget::TBeltTarget() : TCustomShapeTarget(BeltData) {}

int TBeltTarget::AreaCodeAt(double x, double y) const {
    return std::abs(x) > 250 || std::abs(y) > 500 || (y > 320 && std::abs(x) > 115) ? 0 : 1;
}

void TBeltTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor, TColor) const {
    ACanvas.FillPolygon(AView.ToPixels(BeltOutline), {AFgColor});
}

TBodyTarget::TBodyTarget()
    : TCustomShapeTarget(BodyData), fPoly{{-115, 750}, {115, 750},   {115, 570},   {250, 570},  {250, -250},
                                          {125, -750}, {-125, -750}, {-250, -250}, {-250, 570}, {-115, 570}} {
}

int TBodyTarget::AreaCodeAt(double x, double y) const {
    return PolygonContains(fPoly, x, y) ? 1 : 0;
}

void TBodyTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor, TColor) const {
    ACanvas.FillPolygon(AView.ToPixels(fPoly), {AFgColor});
}

TIPSCClassicTarget::TIPSCClassicTarget()
    : TCustomShapeTarget(IPSCData), fA{{-25, 260}, {25, 260},  {75, 95},  {75, 10},
                                       {25, -65},  {-25, -65}, {-75, 10}, {-75, 95}},
      fC{{-75, 285}, {75, 285}, {150, 95}, {150, -50}, {50, -165}, {-50, -165}, {-150, -50}, {-150, 95}},
      fD{{-75, 285}, {75, 285}, {225, 95}, {225, -95}, {75, -285}, {-75, -285}, {-225, -95}, {-225, 95}},
      fO{{-80, 290}, {80, 290}, {230, 100}, {230, -100}, {80, -290}, {-80, -290}, {-230, -100}, {-230, 100}} {
}

int TIPSCClassicTarget::AreaCodeAt(double x, double y) const {
    if (PolygonContains(fA, x, y))
        return 5;
    if (PolygonContains(fC, x, y))
        return 3;
    return PolygonContains(fD, x, y) ? 1 : 0;
}

std::string TIPSCClassicTarget::GetResultStr(double x, double y) const {
    switch (Get_Result(x, y)) {
    case 50:
        return "A";
    case 30:
        return "C";
    case 10:
        return "D";
    default:
        return "";
    }
}

void TIPSCClassicTarget::PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                                   TColor) const {
    ACanvas.OutlinePolygon(AView.ToPixels(fO), {AFgColor}, std::max(1.0, AView.Pixels(3)));
    if (!fDrawScoreRings)
        return;
    const double lineWidth = std::max(1.0, AView.Pixels(1));
    for (const TTargetPolygon* zone : {&fD, &fC, &fA})
        ACanvas.OutlinePolygon(AView.ToPixels(*zone), {AFgColor}, lineWidth);
    // Zone letters in the upper part of each zone.
    const double height = AView.Pixels(20);
    ACanvas.DrawText(AView.ToPixels(0, 200), "A", {AFgColor}, height);
    ACanvas.DrawText(AView.ToPixels(93, 150), "C", {AFgColor}, height);
    ACanvas.DrawText(AView.ToPixels(155, 150), "D", {AFgColor}, height);
}

// ---- Registry

const std::vector<std::unique_ptr<const TBaseTarget>>& Targets() {
    static const std::vector<std::unique_ptr<const TBaseTarget>> targets = [] {
        std::vector<std::unique_ptr<const TBaseTarget>> list;
        list.push_back(std::make_unique<TAPTarget>());
        list.push_back(std::make_unique<TARTarget>());
        list.push_back(std::make_unique<TSBRTarget>());
        list.push_back(std::make_unique<TSBPTarget>());
        list.push_back(std::make_unique<TSPTarget>());
        list.push_back(std::make_unique<TPMTarget>());
        list.push_back(std::make_unique<TRFPTarget>());
        list.push_back(std::make_unique<TTraining8Target>());
        list.push_back(std::make_unique<TChestTarget>());
        list.push_back(std::make_unique<TBeltTarget>());
        list.push_back(std::make_unique<TBodyTarget>());
        list.push_back(std::make_unique<TIPSCClassicTarget>());
        list.push_back(std::make_unique<TFITA122Target>());
        list.push_back(std::make_unique<TFITA80Target>());
        list.push_back(std::make_unique<TFITA80CTarget>());
        list.push_back(std::make_unique<TFITA40Target>());
        list.push_back(std::make_unique<TChestCTarget>());
        list.push_back(std::make_unique<TChestSTarget>());
        return list;
    }();
    return targets;
}

const TBaseTarget* FindTarget(std::string_view ATag) {
    auto sameLetters = [ATag](const std::string& ATargetTag) {
        return std::equal(ATag.begin(), ATag.end(), ATargetTag.begin(), ATargetTag.end(), [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
        });
    };
    for (const auto& target : Targets())
        if (sameLetters(target->Tag()))
            return target.get();
    return nullptr;
}

const TBaseTarget* FindTargetByType(int AType) {
    for (const auto& target : Targets())
        if (target->Type() == AType)
            return target.get();
    return nullptr;
}
