#pragma once
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QTransform>

#include <optional>
#include <vector>

// The geometry of the zoomable image view, free of any widget so that it can be
// tested headless. The view transform maps "unzoomed view" coordinates (the image
// stretched over the view, 0..view width, 0..view height) to the screen; it only
// ever holds a uniform scale >= 1 and a translation.
namespace vantiro::view {

// Zooming further in is refused beyond this scale.
inline constexpr double kMaxScale = 100.0;
// One image pixel covering this many screen pixels both ways shows the pixel grid;
// imgRegion zooms straight to it.
inline constexpr double kGridScale = 30.0;

// Factor a zoom step d applies at scale s, or nothing when the step must be ignored
// (zooming out at scale 1, zooming in beyond the maximum). The result never takes
// the scale below 1.
std::optional<double> zoomFactor(double scale, double step);

// Zooms the transform by a step around centre (screen coordinates) and keeps the
// image in place; returns false (transform untouched) when the step is refused.
bool zoom(QTransform& transform, double step, QPoint centre, QSize view);

// The step that takes scale s straight to kGridScale.
double gridZoomStep(double scale);

// Moves the transform so that the image covers the whole view (no empty margin on
// any side); returns the rectangle the image covers on the screen.
QRect keepInPlace(QTransform& transform, QSize view);

enum class PanDirection
{
    Left,
    Right,
    Up,
    Down,
};

// Shifts the visible window over the image by 2 % of the view, then keeps the
// image in place.
QRect pan(QTransform& transform, QSize view, PanDirection direction);

// Screen position of the centre of image pixel (x, y).
QPointF overlayPosition(QPointF imagePoint, const QTransform& transform, double ratioX, double ratioY);

// Image coordinates (pixels, fractional) under a screen position.
QPointF imageCoordinates(QPointF viewPos, const QTransform& inverse, double ratioX, double ratioY);

// The overview in the top-right corner shown while zoomed in: the whole image as a
// box, and inside it the part currently visible.
struct Overview
{
    QRect box;
    QRectF visible;
};
Overview overview(QSize view, double scale, QRect covered);

// Screen x positions of vertical and y positions of horizontal pixel-border lines
// inside the view; both empty unless a pixel covers kGridScale screen pixels.
struct PixelGrid
{
    std::vector<double> xs;
    std::vector<double> ys;
};
PixelGrid pixelGrid(QSize view, const QTransform& transform, double ratioX, double ratioY);

// Mouse flags handed to a view's mouse callback: 1 left, 2 right, 4 middle button,
// 8 Ctrl, 16 Shift, 32 Alt, plus the vertical wheel angle in the upper 16 bits.
int mouseFlags(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int wheelAngle = 0);

// True for a transform this view can have produced: finite, uniform scale from 1 to
// kMaxValidScale, translation only. Anything else read from a settings file is rejected.
inline constexpr double kMaxValidScale = 10000.0;
bool isValidViewTransform(const QTransform& transform);

// imageSize scaled to fit bound with its aspect ratio kept (at least 1 x 1).
QSize fitSize(QSize imageSize, QSize bound);

} // namespace vantiro::view
