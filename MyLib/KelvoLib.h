#pragma once
// Shooting-target faces: for each face the card size, shot calibre, distance, display texts in two
// languages, the score of a hit, the size of each scoring ring and the painting of the face and of a
// hit on a TTargetCanvas. One instance of every face lives in a registry keyed by its tag.
//
// Lengths are millimetres on the card; positions are (x, y) from the aiming centre, x to the right
// and y upwards. Scores are in tenths of a point (104 is 10.4); a hit at a non-finite position is a
// miss and is not drawn.
#include "MyLib/TargetCanvas.h"
#include "MyLib/TargetTemplate.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint16_t LangDefault = 0;
inline constexpr std::uint16_t LangRussian = 1049;

// Shape families, bits 16-23 of a face's type code, and the compound-bow bit.
inline constexpr int tsRingFace = 0;
inline constexpr int tsArcheryFace = 0x10000;
inline constexpr int tsShapedFace = 0x20000;
inline constexpr int ttCompoundArchery = 0x100;

// The colour of a hit drawn by DrawBreach.
inline constexpr TColor clBreach = RGBColor(0xFF, 0x8C, 0x00);

struct TTargetTextInfo {
    std::uint16_t fLangID;
    std::string fDistanceInfo;
    std::string fCaliberInfo;
    std::string fName;
};

struct TTargetPoint {
    double x;
    double y;
};
using TTargetPolygon = std::vector<TTargetPoint>;

// Whether (x, y) lies in APolygon by the even-odd crossing rule; a point on an edge is inside.
bool PolygonContains(const TTargetPolygon& APolygon, double x, double y);

// The language the Name/DistanceInfo/CaliberInfo overloads without a language use: Russian when the
// locale (LC_ALL, LC_MESSAGES, LANG, the first one set) names it, else the default texts.
std::uint16_t SystemLangId();

// Where a face lies on a canvas: the pixel of its aiming centre and the pixels per millimetre.
struct TFaceView {
    double CentreX;
    double CentreY;
    double ScaleX;
    double ScaleY;

    TCanvasPoint ToPixels(double x, double y) const { return {CentreX + x * ScaleX, CentreY - y * ScaleY}; }
    TCanvasPoint ToPixels(TTargetPoint APoint) const { return ToPixels(APoint.x, APoint.y); }
    std::vector<TCanvasPoint> ToPixels(const TTargetPolygon& APolygon) const;
    // The pixel bounds of a circle of ADiameter around (x, y).
    TCanvasRect CircleBounds(double x, double y, double ADiameter) const;
    // A length for lines and text: millimetres at the smaller of the two scales.
    double Pixels(double AMillimetres) const;
};

// The values a face is created with.
struct TTargetFaceData {
    int fType;
    const char* fTag;
    double fBlankWidth;
    double fBlankHeight;
    double fCaliber;
    double fDistance;
    bool fFracs;
    double fDefaultF;
    double fDefaultTraceWidth;
    double fBlackSize;
    TTargetTextInfo fDefaultTexts;
    TTargetTextInfo fRussianTexts;
};

class TBaseTarget {
public:
    virtual ~TBaseTarget() = default;

    int Type() const { return fType; }
    const std::string& Tag() const { return fTag; }
    double BlankWidth() const { return fBlankWidth; }
    double BlankHeight() const { return fBlankHeight; }
    double Caliber() const { return fCaliber; }
    bool Fracs() const { return fFracs; }
    double DefaultF() const { return fDefaultF; }
    double Distance() const { return fDistance; }
    double DefaultTraceWidth() const { return fDefaultTraceWidth; }
    double BlackSize() const { return fBlackSize; }
    bool DrawScoreRings() const { return fDrawScoreRings; }
    void SetDrawScoreRings(bool AValue) { fDrawScoreRings = AValue; }
    const std::vector<TTargetTextInfo>& TextInfo() const { return fTextInfo; }
    // fType and 0xFF0000: tsRingFace, tsArcheryFace or tsShapedFace.
    int TargetShape() const { return fType & 0xFF0000; }

    // Texts of the system's language, or of language lid; a language without texts gets language 0's.
    std::string Name() const { return Name(SystemLangId()); }
    std::string Name(std::uint16_t lid) const { return Texts(lid).fName; }
    std::string DistanceInfo() const { return DistanceInfo(SystemLangId()); }
    std::string DistanceInfo(std::uint16_t lid) const { return Texts(lid).fDistanceInfo; }
    std::string CaliberInfo() const { return CaliberInfo(SystemLangId()); }
    std::string CaliberInfo(std::uint16_t lid) const { return Texts(lid).fCaliberInfo; }

    // The score of a hit centred at (x, y) in tenths of a point; 0 for a miss.
    int Get_Result(double x, double y) const;
    virtual std::string GetResultStr(double x, double y) const { return FormatResultStr(Get_Result(x, y)); }
    // ARes div 10, and with fFracs "." and ARes mod 10.
    std::string FormatResultStr(int ARes) const;
    // The outer diameter of scoring ring r; the larger card side outside the face's rings.
    virtual double GetRingSize(double r) const;
    bool IsInside(double x, double y) const;
    // The scoring area of a position on a shaped face; -1 on other faces and for non-finite positions.
    int GetAreaCode(double x, double y) const;
    virtual TTargetTemplate GetTemplate() const { return {}; }
    virtual bool IsTemplateRotatable() const { return false; }

    // The placement DrawTarget and DrawBreach use: a negative AScaleX stretches the card to ARect in
    // each direction, 0 fits it with the smaller factor, positive factors are taken as they are (a
    // non-positive AScaleY then takes AScaleX). The card is centred in ARect.
    TFaceView View(const TCanvasRect& ARect, double AScaleX, double AScaleY) const;
    // Fills the card with ABkColor and paints the face on it.
    void DrawTarget(TTargetCanvas& ACanvas, const TCanvasRect& ARect, double AScaleX, double AScaleY,
                    TColor AFgColor, TColor ABkColor) const;
    // A hit: a filled circle of the calibre's diameter, its centre on a whole pixel.
    void DrawBreach(TTargetCanvas& ACanvas, const TCanvasRect& ARect, double AScaleX, double AScaleY,
                    double X, double Y, TColor AColor = clBreach) const;
    void DrawBreach(TTargetCanvas& ACanvas, const TFaceView& AView, double X, double Y,
                    TColor AColor = clBreach) const;

protected:
    explicit TBaseTarget(const TTargetFaceData& AData);

    // The score of a hit at a finite position.
    virtual int ScoreAt(double x, double y) const = 0;
    // The area code of a finite position.
    virtual int AreaCodeAt(double, double) const { return -1; }
    // Paints the face on its card, which is already filled with ABkColor; by default rings 1 to 10.
    virtual void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                           TColor ABkColor) const {
        PaintRings(ACanvas, AView, AFgColor, ABkColor, 1);
    }
    // Rings AFirstRing to 10 of a ring face with its black area and ring numbers.
    void PaintRings(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor, TColor ABkColor,
                    int AFirstRing) const;
    double LargerSide() const;

    int fType;
    std::string fTag;
    double fBlankWidth;
    double fBlankHeight;
    double fCaliber;
    bool fFracs;
    double fDefaultF;
    double fDistance;
    bool fDrawScoreRings = true;
    double fDefaultTraceWidth;
    std::vector<TTargetTextInfo> fTextInfo;
    double fBlackSize;

private:
    const TTargetTextInfo& Texts(std::uint16_t lid) const;
};

// Ring faces.

class TAPTarget : public TBaseTarget {
public:
    TAPTarget();
    double GetRingSize(double r) const override;

protected:
    int ScoreAt(double x, double y) const override;
};

class TARTarget : public TBaseTarget {
public:
    TARTarget();
    double GetRingSize(double r) const override;

protected:
    int ScoreAt(double x, double y) const override;
};

class TSBRTarget : public TBaseTarget {
public:
    TSBRTarget();
    double GetRingSize(double r) const override;

protected:
    int ScoreAt(double x, double y) const override;
};

class TSBPTarget : public TBaseTarget {
public:
    TSBPTarget();
    double GetRingSize(double r) const override;

protected:
    explicit TSBPTarget(const TTargetFaceData& AData) : TBaseTarget(AData) {}
    int ScoreAt(double x, double y) const override;
};

class TSPTarget : public TSBPTarget {
public:
    TSPTarget();
};

class TPMTarget : public TBaseTarget {
public:
    TPMTarget();
    double GetRingSize(double r) const override;
    TTargetTemplate GetTemplate() const override;
    bool IsTemplateRotatable() const override { return true; }

protected:
    int ScoreAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;
};

class TRFPTarget : public TBaseTarget {
public:
    TRFPTarget();
    double GetRingSize(double r) const override;

protected:
    int ScoreAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;
};

// Archery faces: ten zones of equal width in five colour pairs.

class TFITACustomTarget : public TBaseTarget {
public:
    double GetRingSize(double r) const override;
    void SetDefaultColors();
    bool IsCompound() const { return (fType & ttCompoundArchery) != 0; }

    TColor fBlackColor;
    TColor fBlueColor;
    TColor fRedColor;
    TColor fYellowColor;
    double InnerTenSize() const { return fInnerTenSize; }
    double ScoringZoneSize() const { return fScoringZoneSize; }
    double ScoreRingThickness() const { return fScoreRingThickness; }

protected:
    TFITACustomTarget(const TTargetFaceData& AData, double AInnerTenSize, double AScoringZoneSize,
                      double AScoreRingThickness);
    int ScoreAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;

    double fInnerTenSize;
    double fScoringZoneSize;
    double fScoreRingThickness;
};

class TFITA122Target : public TFITACustomTarget {
public:
    TFITA122Target();
};

class TFITA40Target : public TFITACustomTarget {
public:
    TFITA40Target();
};

class TFITA80Target : public TFITACustomTarget {
public:
    TFITA80Target();

protected:
    using TFITACustomTarget::TFITACustomTarget;
};

// The compound face: only the inner ten scores 10, the rest of the two inner zones scores 9.
class TFITA80CTarget : public TFITA80Target {
public:
    TFITA80CTarget();

protected:
    int ScoreAt(double x, double y) const override;
};

// Shaped faces: the score is the area code times 10.

class TCustomShapeTarget : public TBaseTarget {
public:
    double GetRingSize(double r) const override;

protected:
    using TBaseTarget::TBaseTarget;
    int ScoreAt(double x, double y) const override;
};

// A figure-eight band: two rings of radius fRadius and half-width fThickness whose centres are fBase
// apart, joined by straight bands that cross between them.
class TTraining8Target : public TCustomShapeTarget {
public:
    TTraining8Target();

    double Base() const { return fBase; }
    double Radius() const { return fRadius; }
    double Thickness() const { return fThickness; }
    // Each setter refuses (returns false, keeps the value) what would give no band: a value that is not
    // positive and finite, a radius above half the base or not above the thickness, a base below twice
    // the radius, a thickness not below the radius.
    bool SetBase(double AValue);
    bool SetRadius(double AValue);
    bool SetThickness(double AValue);

protected:
    int ScoreAt(double x, double y) const override;
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;

private:
    void Recalculate();
    // The crossing band beyond the outer circle, and the notch it leaves inside the inner circle, on the
    // right half of the card.
    TTargetPolygon CrossingBand() const;
    TTargetPolygon CrossingNotch() const;

    double fBase = 50;
    double fRadius = 25;
    double fThickness = 10;
    // Derived: radius and half-width, inner and outer radius, the rings' centre x, the crossing point
    // and the corners where the crossing band meets the outer and the inner circle.
    double fR = 0, fW = 0, fRI = 0, fRO = 0, fRX = 0, fX0 = 0, fX2 = 0, fY2 = 0, fX3 = 0, fY3 = 0;
};

class TChestTarget : public TCustomShapeTarget {
public:
    TChestTarget();

protected:
    explicit TChestTarget(const TTargetFaceData& AData) : TCustomShapeTarget(AData) {}
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;
};

// Chest silhouettes whose scoring area is a rectangle on the chest.
class TChestCTarget : public TChestTarget {
public:
    TChestCTarget();

protected:
    explicit TChestCTarget(const TTargetFaceData& AData) : TChestTarget(AData) {}
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;
};

class TChestSTarget : public TChestCTarget {
public:
    TChestSTarget();
};

class TBeltTarget : public TCustomShapeTarget {
public:
    TBeltTarget();
    double GetRingSize(double) const override { return fBlankHeight; }

protected:
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;
};

class TBodyTarget : public TCustomShapeTarget {
public:
    TBodyTarget();
    double GetRingSize(double) const override { return fBlankHeight; }

protected:
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;

    TTargetPolygon fPoly;
};

// Zones A (5), C (3) and D (1) inside the outline fO.
class TIPSCClassicTarget : public TCustomShapeTarget {
public:
    TIPSCClassicTarget();
    double GetRingSize(double) const override { return fBlankHeight; }
    // "A", "C", "D", or empty for a miss.
    std::string GetResultStr(double x, double y) const override;

protected:
    int AreaCodeAt(double x, double y) const override;
    void PaintFace(TTargetCanvas& ACanvas, const TFaceView& AView, TColor AFgColor,
                   TColor ABkColor) const override;

    TTargetPolygon fA;
    TTargetPolygon fC;
    TTargetPolygon fD;
    TTargetPolygon fO;
};

// The registry: one instance of every face, in creation order, made on first use.
const std::vector<std::unique_ptr<const TBaseTarget>>& Targets();
// The registered face with tag ATag (letter case ignored), or nullptr.
const TBaseTarget* FindTarget(std::string_view ATag);
// The registered face with type code AType, or nullptr.
const TBaseTarget* FindTargetByType(int AType);
