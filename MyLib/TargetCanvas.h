#pragma once
// The drawing surface target faces, hits and aiming traces are painted on. Coordinates are pixels of
// the surface, x to the right and y downwards; the faces convert their millimetres themselves. A
// toolkit backend implements the few primitives below, so the library needs no toolkit.
#include <cstdint>
#include <string>
#include <vector>

// A colour as the face tables give it: 0x00BBGGRR (blue-green-red byte order), fully opaque.
using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;

inline constexpr std::uint8_t ColorRed(TColor AColor) {
    return std::uint8_t(AColor);
}
inline constexpr std::uint8_t ColorGreen(TColor AColor) {
    return std::uint8_t(AColor >> 8);
}
inline constexpr std::uint8_t ColorBlue(TColor AColor) {
    return std::uint8_t(AColor >> 16);
}
inline constexpr TColor RGBColor(std::uint8_t ARed, std::uint8_t AGreen, std::uint8_t ABlue) {
    return TColor(ARed) | TColor(AGreen) << 8 | TColor(ABlue) << 16;
}

struct TCanvasPoint {
    double x;
    double y;
};

struct TCanvasRect {
    double Left;
    double Top;
    double Right;
    double Bottom;

    double Width() const { return Right - Left; }
    double Height() const { return Bottom - Top; }
};

// A brush or pen: a colour with an opacity from 0 (invisible) to 1 (opaque).
struct TCanvasPaint {
    TColor Color;
    double Opacity = 1.0;
};

class TTargetCanvas {
public:
    virtual ~TTargetCanvas() = default;

    // Ellipses are given by their bounding rectangle.
    virtual void FillEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint) = 0;
    virtual void OutlineEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint, double ALineWidth) = 0;
    virtual void FillRect(const TCanvasRect& ARect, TCanvasPaint APaint) = 0;
    virtual void OutlineRect(const TCanvasRect& ARect, TCanvasPaint APaint, double ALineWidth) = 0;
    // Polygons are closed; filling follows the even-odd rule.
    virtual void FillPolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint) = 0;
    virtual void OutlinePolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                                double ALineWidth) = 0;
    // An open line through APoints with round ends and joints.
    virtual void DrawPolyline(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                              double ALineWidth) = 0;
    // UTF-8 text in a sans-serif font whose characters are ATextHeight pixels high, centred on ACentre
    // or, with ALeftAligned, starting at ACentre.x and centred vertically on ACentre.y.
    virtual void DrawText(TCanvasPoint ACentre, const std::string& AText, TCanvasPaint APaint,
                          double ATextHeight, bool ALeftAligned = false) = 0;
};
