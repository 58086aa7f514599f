#pragma once
// TTargetCanvas over a QPainter on a QImage: antialiased, offscreen, no display needed. Text needs a
// QGuiApplication to exist (for the fonts).
#include "MyLib/TargetCanvas.h"

#include <QImage>
#include <QPainter>

#include <string>

class TQtCanvas : public TTargetCanvas {
public:
    // Paints on AImage, which must outlive the canvas.
    explicit TQtCanvas(QImage& AImage);

    void FillEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint) override;
    void OutlineEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint, double ALineWidth) override;
    void FillRect(const TCanvasRect& ARect, TCanvasPaint APaint) override;
    void OutlineRect(const TCanvasRect& ARect, TCanvasPaint APaint, double ALineWidth) override;
    void FillPolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint) override;
    void OutlinePolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                        double ALineWidth) override;
    void DrawPolyline(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                      double ALineWidth) override;
    void DrawText(TCanvasPoint ACentre, const std::string& AText, TCanvasPaint APaint, double ATextHeight,
                  bool ALeftAligned) override;

private:
    void Fill(TCanvasPaint APaint);
    void Outline(TCanvasPaint APaint, double ALineWidth);

    QPainter fPainter;
};

// QPainter text needs a QGuiApplication: starts the program's one, once.
void StartGuiApplication();
// A white image of AWidth x AHeight pixels for a canvas.
QImage NewCanvasImage(int AWidth, int AHeight);
// Writes AImage as PNG; false with AError set when the file cannot be written.
bool SavePng(const QImage& AImage, const std::string& AFileName, std::string& AError);
