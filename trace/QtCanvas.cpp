#include "trace/QtCanvas.h"

#include "platform/AtomicFile.h"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPolygonF>

#include <algorithm>

namespace {

QColor ToQColor(TCanvasPaint APaint) {
    QColor color(ColorRed(APaint.Color), ColorGreen(APaint.Color), ColorBlue(APaint.Color));
    color.setAlphaF(float(APaint.Opacity));
    return color;
}

QRectF ToQRect(const TCanvasRect& ARect) {
    return QRectF(QPointF(ARect.Left, ARect.Top), QPointF(ARect.Right, ARect.Bottom)).normalized();
}

QPolygonF ToQPolygon(const std::vector<TCanvasPoint>& APoints) {
    QPolygonF polygon;
    for (const TCanvasPoint& point : APoints)
        polygon << QPointF(point.x, point.y);
    return polygon;
}

} // namespace

TQtCanvas::TQtCanvas(QImage& AImage) : fPainter(&AImage) {
    fPainter.setRenderHint(QPainter::Antialiasing);
}

void TQtCanvas::Fill(TCanvasPaint APaint) {
    fPainter.setPen(Qt::NoPen);
    fPainter.setBrush(ToQColor(APaint));
}

void TQtCanvas::Outline(TCanvasPaint APaint, double ALineWidth) {
    fPainter.setPen(QPen(ToQColor(APaint), ALineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    fPainter.setBrush(Qt::NoBrush);
}

void TQtCanvas::FillEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint) {
    Fill(APaint);
    fPainter.drawEllipse(ToQRect(ABounds));
}

void TQtCanvas::OutlineEllipse(const TCanvasRect& ABounds, TCanvasPaint APaint, double ALineWidth) {
    Outline(APaint, ALineWidth);
    fPainter.drawEllipse(ToQRect(ABounds));
}

void TQtCanvas::FillRect(const TCanvasRect& ARect, TCanvasPaint APaint) {
    Fill(APaint);
    fPainter.drawRect(ToQRect(ARect));
}

void TQtCanvas::OutlineRect(const TCanvasRect& ARect, TCanvasPaint APaint, double ALineWidth) {
    Outline(APaint, ALineWidth);
    fPainter.drawRect(ToQRect(ARect));
}

void TQtCanvas::FillPolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint) {
    Fill(APaint);
    fPainter.drawPolygon(ToQPolygon(APoints), Qt::OddEvenFill);
}

void TQtCanvas::OutlinePolygon(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                               double ALineWidth) {
    Outline(APaint, ALineWidth);
    fPainter.drawPolygon(ToQPolygon(APoints));
}

void TQtCanvas::DrawPolyline(const std::vector<TCanvasPoint>& APoints, TCanvasPaint APaint,
                             double ALineWidth) {
    Outline(APaint, ALineWidth);
    fPainter.drawPolyline(ToQPolygon(APoints));
}

void TQtCanvas::DrawText(TCanvasPoint ACentre, const std::string& AText, TCanvasPaint APaint,
                         double ATextHeight, bool ALeftAligned) {
    QFont font("DejaVu Sans");
    font.setPixelSize(std::max(1, int(ATextHeight + 0.5)));
    fPainter.setFont(font);
    fPainter.setPen(ToQColor(APaint));
    // A box around the anchor, wide enough for any label; the text is aligned inside it.
    const double width = ATextHeight * (AText.size() + 1);
    const QRectF box(ALeftAligned ? ACentre.x : ACentre.x - width / 2, ACentre.y - ATextHeight, width,
                     2 * ATextHeight);
    fPainter.drawText(box, (ALeftAligned ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter,
                      QString::fromStdString(AText));
}

// Without a display it runs on the offscreen platform. Its start-up notice about a missing
// XDG_RUNTIME_DIR, which nothing here uses, is kept off stderr.
void StartGuiApplication() {
    static int argc = 1;
    static char name[] = "kelvo-trace";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QtMessageHandler previous = nullptr;
    previous =
        qInstallMessageHandler([](QtMsgType AType, const QMessageLogContext& AContext, const QString& AText) {
            if (!AText.startsWith("QStandardPaths: XDG_RUNTIME_DIR"))
                previous(AType, AContext, AText);
        });
    static QGuiApplication application(argc, argv);
    qInstallMessageHandler(previous);
}

QImage NewCanvasImage(int AWidth, int AHeight) {
    QImage image(AWidth, AHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    return image;
}

bool SavePng(const QImage& AImage, const std::string& AFileName, std::string& AError) {
    // Encoded in memory and then put in place whole, so a failed write leaves the old picture.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(AImage)) {
        AError = writer.errorString().toStdString();
        return false;
    }
    try {
        ReplaceFileContents(AFileName, std::string_view(png.constData(), size_t(png.size())));
    } catch (const EAtomicWriteError& e) {
        AError = e.what();
        return false;
    }
    return true;
}
