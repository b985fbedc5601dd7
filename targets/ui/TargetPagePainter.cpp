#include "targets/ui/TargetPagePainter.h"

#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>

#include <cmath>

namespace vantiro::print {

namespace {

// Shapes as clockwise sub-paths of one path: with the winding rule they unite, and no hairline
// seams show where shapes touch.
QPainterPath shapePath(const std::vector<Shape>& shapes, double k)
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    for (const Shape& s : shapes) {
        const QRectF r(s.box.x * k, s.box.y * k, s.box.width * k, s.box.height * k);
        if (s.disc) {
            path.moveTo(r.right(), r.center().y());
            path.arcTo(r, 0, -360);
        } else {
            path.moveTo(r.topLeft());
            path.lineTo(r.topRight());
            path.lineTo(r.bottomRight());
            path.lineTo(r.bottomLeft());
        }
        path.closeSubpath();
    }
    return path;
}

// k: device pixels per millimetre.
void paint(QPainter& painter, const PageDrawing& page, double k)
{
    painter.setPen(Qt::NoPen);
    painter.fillRect(QRectF(0, 0, page.size.width * k, page.size.height * k), Qt::white);
    painter.fillPath(shapePath(page.ink, k), Qt::black);
    painter.fillPath(shapePath(page.white, k), Qt::white);
    painter.setPen(Qt::black);
    for (const TextItem& t : page.texts) {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setStyleHint(QFont::SansSerif);
        font.setPixelSize(std::max(1, int(std::lround(t.height * k))));
        painter.setFont(font);
        painter.save();
        painter.translate(t.origin.x * k, t.origin.y * k);
        painter.rotate(t.angle);
        painter.drawText(QPointF(0, 0), t.text);
        painter.restore();
    }
}

bool failed(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace

bool writePdfFile(const QString& path, const PageDrawing& page, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failed(error, file.errorString());
    {
        QPdfWriter writer(&file);
        constexpr int kResolution = 1200;
        writer.setResolution(kResolution);
        writer.setCreator(QStringLiteral("Vantiro"));
        if (!page.texts.empty())
            writer.setTitle(page.texts.back().text);
        QPageSize size;
        switch (page.paper) {
        case Paper::A4:
            size = QPageSize(QPageSize::A4);
            break;
        case Paper::A3:
            size = QPageSize(QPageSize::A3);
            break;
        case Paper::Letter:
            size = QPageSize(QPageSize::Letter);
            break;
        case Paper::Fit:
            size = QPageSize(QSizeF(page.size.width, page.size.height), QPageSize::Millimeter, QString(),
                             QPageSize::ExactMatch);
            break;
        }
        QPageLayout layout(size, page.landscape ? QPageLayout::Landscape : QPageLayout::Portrait, QMarginsF(),
                           QPageLayout::Millimeter);
        layout.setMode(QPageLayout::FullPageMode);
        if (!writer.setPageLayout(layout))
            return failed(error, QStringLiteral("the page size is not supported"));
        QPainter painter;
        if (!painter.begin(&writer))
            return failed(error, QStringLiteral("the PDF could not be started"));
        paint(painter, page, kResolution / 25.4);
        if (!painter.end())
            return failed(error, QStringLiteral("the PDF could not be finished"));
    }
    if (!file.commit())
        return failed(error, file.errorString());
    return true;
}

QImage paintPage(const PageDrawing& page, int dpi)
{
    const double k = dpi / 25.4;
    QImage image(int(std::ceil(page.size.width * k - 1e-9)), int(std::ceil(page.size.height * k - 1e-9)),
                 QImage::Format_Grayscale8);
    if (image.isNull())
        return image;
    // The last row and column may be only partly on the page: white, not whatever memory held.
    image.fill(255);
    const int dotsPerMetre = int(std::lround(dpi / 0.0254));
    image.setDotsPerMeterX(dotsPerMetre);
    image.setDotsPerMeterY(dotsPerMetre);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    paint(painter, page, k);
    return image;
}

bool writePngFile(const QString& path, const PageDrawing& page, int dpi, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failed(error, file.errorString());
    const QImage image = paintPage(page, dpi);
    if (image.isNull())
        return failed(error, QStringLiteral("not enough memory for the image"));
    if (!image.save(&file, "PNG"))
        return failed(error, file.error() != QFileDevice::NoError ? file.errorString()
                                                                  : QStringLiteral("the PNG could not be encoded"));
    if (!file.commit())
        return failed(error, file.errorString());
    return true;
}

bool writeTargetFile(const QString& path, const PreparedExport& prepared, int dpi, QString* error)
{
    switch (prepared.format) {
    case Format::Pdf:
        return writePdfFile(path, prepared.page, error);
    case Format::Png:
        return writePngFile(path, prepared.page, dpi, error);
    case Format::Svg:
        break;
    }
    return writeSvgFile(path, prepared.page, error);
}

} // namespace vantiro::print
