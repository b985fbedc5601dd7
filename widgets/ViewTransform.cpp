#include "widgets/ViewTransform.h"

#include <cmath>

namespace vantiro::view {

std::optional<double> zoomFactor(double scale, double step)
{
    double factor = step / 5.0 + 1.0;
    // The image never gets smaller than the view.
    if (scale <= 1.0 && factor < 1.0)
        return std::nullopt;
    if (scale * factor < 1.0)
        factor = 1.0 / scale;
    if (scale > kMaxScale && factor > 1.0)
        return std::nullopt;
    return factor;
}

bool zoom(QTransform& transform, double step, QPoint centre, QSize view)
{
    const double scale = transform.m11();
    const std::optional<double> factor = zoomFactor(scale, step);
    if (!factor)
        return false;
    const double f = *factor;
    // The unzoomed point under the centre stays under it.
    const QPoint p = transform.inverted().map(centre);
    transform.translate(p.x() - p.x() * f, p.y() - p.y() * f);
    transform.scale(f, f);
    // 1/s * s need not give 1 in floating point; scale 1 must be exact so that
    // "zoom out at scale 1" is recognised.
    if (scale * f < 1.0 + 1e-9)
        transform = QTransform(1.0, 0.0, 0.0, 1.0, transform.dx(), transform.dy());
    keepInPlace(transform, view);
    return true;
}

double gridZoomStep(double scale)
{
    return (kGridScale / scale - 1.0) * 5.0;
}

QRect keepInPlace(QTransform& transform, QSize view)
{
    // Corrections are made in screen space so that an edge lands exactly on the
    // view border instead of overshooting by the zoom factor.
    const QPointF topLeft = transform.map(QPointF(0.0, 0.0));
    if (topLeft.x() > 0.0)
        transform *= QTransform::fromTranslate(-topLeft.x(), 0.0);
    if (topLeft.y() > 0.0)
        transform *= QTransform::fromTranslate(0.0, -topLeft.y());

    const QPointF bottomRight = transform.map(QPointF(view.width(), view.height()));
    if (view.width() > bottomRight.x())
        transform *= QTransform::fromTranslate(view.width() - bottomRight.x(), 0.0);
    if (view.height() > bottomRight.y())
        transform *= QTransform::fromTranslate(0.0, view.height() - bottomRight.y());

    const QPointF tl = transform.map(QPointF(0.0, 0.0));
    const QPointF br = transform.map(QPointF(view.width(), view.height()));
    QRect covered;
    covered.setCoords(int(tl.x()), int(tl.y()), int(br.x()), int(br.y()));
    return covered;
}

QRect pan(QTransform& transform, QSize view, PanDirection direction)
{
    const double scale = transform.m11();
    const float dx = float(2.0 * view.width() / (100.0 * scale));
    const float dy = float(2.0 * view.height() / (100.0 * scale));
    switch (direction)
    {
    case PanDirection::Left:
        transform.translate(dx, 0.0);
        break;
    case PanDirection::Right:
        transform.translate(-dx, 0.0);
        break;
    case PanDirection::Up:
        transform.translate(0.0, dy);
        break;
    case PanDirection::Down:
        transform.translate(0.0, -dy);
        break;
    }
    return keepInPlace(transform, view);
}

QPointF overlayPosition(QPointF imagePoint, const QTransform& transform, double ratioX, double ratioY)
{
    const double s = transform.m11();
    return {(imagePoint.x() + 0.5) * ratioX * s + transform.dx(), (imagePoint.y() + 0.5) * ratioY * s + transform.dy()};
}

QPointF imageCoordinates(QPointF viewPos, const QTransform& inverse, double ratioX, double ratioY)
{
    const QPointF unzoomed = inverse.map(viewPos);
    return {unzoomed.x() / ratioX, unzoomed.y() / ratioY};
}

Overview overview(QSize view, double scale, QRect covered)
{
    const QSize boxSize = view.scaled(100, 100, Qt::KeepAspectRatio);
    Overview result;
    result.box = QRect(view.width() - boxSize.width() - 1, 0, boxSize.width(), boxSize.height());
    const double inv = 1.0 / scale;
    const double window = double(boxSize.height()) / double(view.height());
    result.visible = QRectF(view.width() - boxSize.width() - covered.left() * inv * window - 1.0,
                            -covered.top() * inv * window,
                            (boxSize.width() - 1) * inv,
                            (boxSize.height() - 1) * inv);
    return result;
}

namespace {

// Border positions k * pitch + offset inside [0, extent).
std::vector<double> borders(double pitch, double offset, int extent)
{
    std::vector<double> result;
    const double first = std::ceil(-offset / pitch);
    for (double k = first;; k += 1.0)
    {
        const double pos = k * pitch + offset;
        if (pos >= extent)
            break;
        if (pos >= 0.0)
            result.push_back(pos);
    }
    return result;
}

} // namespace

PixelGrid pixelGrid(QSize view, const QTransform& transform, double ratioX, double ratioY)
{
    const double s = transform.m11();
    const double pitchX = ratioX * s;
    const double pitchY = ratioY * s;
    PixelGrid grid;
    if (!(pitchX >= kGridScale && pitchY >= kGridScale))
        return grid;
    grid.xs = borders(pitchX, transform.dx(), view.width());
    grid.ys = borders(pitchY, transform.dy(), view.height());
    return grid;
}

int mouseFlags(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int wheelAngle)
{
    int flags = 0;
    if (buttons & Qt::LeftButton)
        flags += 1;
    if (buttons & Qt::RightButton)
        flags += 2;
    if (buttons & Qt::MiddleButton)
        flags += 4;
    if (modifiers & Qt::ControlModifier)
        flags += 8;
    if (modifiers & Qt::ShiftModifier)
        flags += 16;
    if (modifiers & Qt::AltModifier)
        flags += 32;
    return flags + int(unsigned(wheelAngle) << 16);
}

bool isValidViewTransform(const QTransform& t)
{
    const double values[] = {t.m11(), t.m12(), t.m13(), t.m21(), t.m22(), t.m23(), t.m31(), t.m32(), t.m33()};
    for (double v : values)
        if (!std::isfinite(v))
            return false;
    return t.m12() == 0.0 && t.m13() == 0.0 && t.m21() == 0.0 && t.m23() == 0.0 && t.m33() == 1.0
        && t.m11() == t.m22() && t.m11() >= 1.0 && t.m11() <= kMaxValidScale;
}

QSize fitSize(QSize imageSize, QSize bound)
{
    if (imageSize.isEmpty() || bound.isEmpty())
        return {1, 1};
    const QSize fitted = imageSize.scaled(bound, Qt::KeepAspectRatio);
    return fitted.expandedTo(QSize(1, 1));
}

} // namespace vantiro::view
