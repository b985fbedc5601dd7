#include "widgets/DefaultViewPort.h"

#include "widgets/ViewTransform.h"

#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QSettings>
#include <QWheelEvent>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>

using namespace vantiro::view;

namespace {

const char* const kMatrixKeys[9] = {
    "matrix_view.m11", "matrix_view.m12", "matrix_view.m13", "matrix_view.m21", "matrix_view.m22",
    "matrix_view.m23", "matrix_view.m31", "matrix_view.m32", "matrix_view.m33",
};

QColor toQColor(const OverlayColor& c)
{
    return QColor(c[0], c[1], c[2]);
}

} // namespace

void OCVViewPort::setMouseCallback(ViewMouseCallback callback, void* userData)
{
    m_mouseCallback = callback;
    m_mouseUserData = userData;
}

void OCVViewPort::callMouseCallback(int event, int x, int y, int flags)
{
    if (m_mouseCallback)
        m_mouseCallback(event, x, y, flags, m_mouseUserData);
}

DefaultViewPort::DefaultViewPort(QWidget* parent)
    : QGraphicsView(parent)
{
    setStyleSheet(QStringLiteral("QGraphicsView { border-style: none; }"));
    setContentsMargins(0, 0, 0, 0);
    setMinimumSize(1, 1);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    setInteractive(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    m_drawMat = cv::Mat(10, 100, CV_8UC3, cv::Scalar(127, 127, 127));
    m_drawImage = QImage(m_drawMat.data, m_drawMat.cols, m_drawMat.rows, int(m_drawMat.step), QImage::Format_RGB888);
    updateRatios(size());
    controlImagePosition();
}

DefaultViewPort::~DefaultViewPort() = default;

QWidget* DefaultViewPort::getWidget()
{
    return this;
}

void DefaultViewPort::writeSettings(QSettings& settings)
{
    const double values[9] = {m_transform.m11(), m_transform.m12(), m_transform.m13(),
                              m_transform.m21(), m_transform.m22(), m_transform.m23(),
                              m_transform.m31(), m_transform.m32(), m_transform.m33()};
    for (int i = 0; i < 9; ++i)
        settings.setValue(QLatin1String(kMatrixKeys[i]), values[i]);
}

void DefaultViewPort::readSettings(QSettings& settings)
{
    const double current[9] = {m_transform.m11(), m_transform.m12(), m_transform.m13(),
                               m_transform.m21(), m_transform.m22(), m_transform.m23(),
                               m_transform.m31(), m_transform.m32(), m_transform.m33()};
    double values[9];
    for (int i = 0; i < 9; ++i)
    {
        bool ok = false;
        values[i] = settings.value(QLatin1String(kMatrixKeys[i]), current[i]).toDouble(&ok);
        // A hand-edited or damaged file must not leave the view unusable.
        if (!ok)
            return;
    }
    setViewTransform(QTransform(values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                                values[7], values[8]));
}

bool DefaultViewPort::setViewTransform(const QTransform& transform)
{
    if (!isValidViewTransform(transform))
        return false;
    m_transform = transform;
    controlImagePosition();
    viewport()->update();
    return true;
}

void DefaultViewPort::updateImage(const cv::Mat& image)
{
    if (image.empty())
        return;
    m_drawMat.create(image.rows, image.cols, CV_8UC3);
    bool converted = false;
    if (image.depth() == CV_8U)
    {
        converted = true;
        switch (image.channels())
        {
        case 1:
            cv::cvtColor(image, m_drawMat, cv::COLOR_GRAY2RGB);
            break;
        case 3:
            cv::cvtColor(image, m_drawMat, cv::COLOR_BGR2RGB);
            break;
        case 4:
            cv::cvtColor(image, m_drawMat, cv::COLOR_BGRA2RGB);
            break;
        default:
            converted = false;
        }
    }
    // Types without a sensible display show mid-grey rather than stale memory.
    if (!converted)
        m_drawMat.setTo(cv::Scalar(127, 127, 127));
    m_drawImage = QImage(m_drawMat.data, m_drawMat.cols, m_drawMat.rows, int(m_drawMat.step), QImage::Format_RGB888);

    updateRatios(size());
    updateGeometry();
    // A new aspect ratio refits the view inside the space it was given.
    fitIntoOfferedRect();
    viewport()->update();
}

void DefaultViewPort::setCircles(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors)
{
    m_circlePoints = points;
    m_circleColors = colors;
    m_circlesActive = true;
    viewport()->update();
}

void DefaultViewPort::setCrossesColoured(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors)
{
    m_crossPoints = points;
    m_crossColors = colors;
    m_crossesColoured = true;
    m_crossesActive = true;
    viewport()->update();
}

void DefaultViewPort::setCrosses(const std::vector<cv::Point2f>& points)
{
    m_crossPoints = points;
    m_crossColors.clear();
    m_crossesColoured = false;
    m_crossesActive = true;
    viewport()->update();
}

void DefaultViewPort::setLines(const std::vector<cv::Vec4f>& segments, const std::vector<OverlayColor>& colors)
{
    m_lines = segments;
    m_lineColors = colors;
    m_linesActive = true;
    viewport()->update();
}

void DefaultViewPort::setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float textSize)
{
    m_axisOrigin = origin;
    m_axisX = xEnd;
    m_axisY = yEnd;
    m_axisTextSize = textSize;
    m_axesActive = true;
    viewport()->update();
}

void DefaultViewPort::setLabels(const std::vector<cv::Point2f>& positions, const QStringList& texts,
                                const std::vector<float>& textSizes, const std::vector<OverlayColor>& colors)
{
    m_labelPositions = positions;
    m_labelTexts = texts;
    m_labelSizes = textSizes;
    m_labelColors = colors;
    m_labelsActive = true;
    viewport()->update();
}

void DefaultViewPort::clearOverlays()
{
    // Every overlay belongs to the image it was set for; none may survive an image change.
    m_circlesActive = false;
    m_crossesActive = false;
    m_linesActive = false;
    m_axesActive = false;
    m_labelsActive = false;
    viewport()->update();
}

bool DefaultViewPort::hasActiveOverlays() const
{
    return m_circlesActive || m_crossesActive || m_linesActive || m_axesActive || m_labelsActive;
}

void DefaultViewPort::forwardMouseEvent(int event, QPointF pos, int flags)
{
    m_mouseImagePos = imageCoordinates(pos, m_inverse, m_ratioX, m_ratioY);
    callMouseCallback(event, int(m_mouseImagePos.x()), int(m_mouseImagePos.y()), flags);
}

void DefaultViewPort::siftWindowOnLeft()
{
    m_covered = pan(m_transform, size(), PanDirection::Left);
    m_inverse = m_transform.inverted();
    viewport()->update();
}

void DefaultViewPort::siftWindowOnRight()
{
    m_covered = pan(m_transform, size(), PanDirection::Right);
    m_inverse = m_transform.inverted();
    viewport()->update();
}

void DefaultViewPort::siftWindowOnUp()
{
    m_covered = pan(m_transform, size(), PanDirection::Up);
    m_inverse = m_transform.inverted();
    viewport()->update();
}

void DefaultViewPort::siftWindowOnDown()
{
    m_covered = pan(m_transform, size(), PanDirection::Down);
    m_inverse = m_transform.inverted();
    viewport()->update();
}

void DefaultViewPort::resetZoom()
{
    m_transform.reset();
    controlImagePosition();
    viewport()->update();
}

void DefaultViewPort::imgRegion()
{
    scaleView(gridZoomStep(scale()), QPoint(width() / 2, height() / 2));
}

void DefaultViewPort::ZoomIn()
{
    scaleView(0.5, QPoint(width() / 2, height() / 2));
}

void DefaultViewPort::ZoomOut()
{
    scaleView(-0.5, QPoint(width() / 2, height() / 2));
}

void DefaultViewPort::scaleView(double step, QPoint centre)
{
    if (!zoom(m_transform, step, centre, size()))
        return;
    controlImagePosition();
    viewport()->update();
}

void DefaultViewPort::controlImagePosition()
{
    m_covered = keepInPlace(m_transform, size());
    m_inverse = m_transform.inverted();
}

void DefaultViewPort::updateRatios(QSize viewSize)
{
    m_ratioX = float(viewSize.width()) / float(m_drawMat.cols);
    m_ratioY = float(viewSize.height()) / float(m_drawMat.rows);
}

void DefaultViewPort::resizeEvent(QResizeEvent* event)
{
    const QRect now(isWindow() ? QPoint(0, 0) : pos(), event->size());
    if (m_ownFitPending && now == m_ownFit)
        m_ownFitPending = false;
    else
        m_offered = now;

    controlImagePosition();
    updateRatios(event->size());
    fitIntoOfferedRect();
    QGraphicsView::resizeEvent(event);
}

void DefaultViewPort::fitIntoOfferedRect()
{
    if (m_fitting || m_offered.isEmpty())
        return;
    // The view takes the image's aspect ratio inside the space it is given, centred.
    const QSize offered = m_offered.size();
    const QSize fitted = fitSize(imageSize(), offered);
    const QPoint centring((offered.width() - fitted.width()) / 2, (offered.height() - fitted.height()) / 2);
    const QRect target(m_offered.topLeft() + centring, fitted);
    const QRect current(isWindow() ? QPoint(0, 0) : pos(), size());
    // Within a pixel is close enough; chasing rounding would resize forever.
    if (std::abs(target.width() - current.width()) <= 1 && std::abs(target.height() - current.height()) <= 1
        && (isWindow() || (target.topLeft() - current.topLeft()).manhattanLength() <= 1))
        return;

    m_fitting = true;
    m_ownFit = target;
    m_ownFitPending = true;
    if (isWindow())
        resize(fitted);
    else
        setGeometry(target);
    viewport()->resize(fitted);
    m_fitting = false;
}

QPointF DefaultViewPort::toView(cv::Point2f imagePoint) const
{
    return overlayPosition(QPointF(imagePoint.x, imagePoint.y), m_transform, m_ratioX, m_ratioY);
}

void DefaultViewPort::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(viewport());
        painter.setWorldTransform(m_transform);
        painter.drawImage(QRectF(0.0, 0.0, width(), height()), m_drawImage);
        painter.resetTransform();

        drawPixelGrid(painter);
        if (scale() > 1.0)
            drawOverview(painter);
        if (hasActiveOverlays())
            drawOverlays(painter);
    }
    QGraphicsView::paintEvent(event);
}

void DefaultViewPort::drawPixelGrid(QPainter& painter)
{
    const PixelGrid grid = pixelGrid(size(), m_transform, m_ratioX, m_ratioY);
    if (grid.xs.empty() && grid.ys.empty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(Qt::black, 1));
    for (double x : grid.xs)
        painter.drawLine(QLineF(x, 0.0, x, height()));
    for (double y : grid.ys)
        painter.drawLine(QLineF(0.0, y, width(), y));
    painter.restore();
}

void DefaultViewPort::drawOverview(QPainter& painter)
{
    const Overview o = overview(size(), scale(), m_covered);
    painter.save();
    painter.setBrush(QColor(0, 0, 0, 127));
    painter.setPen(Qt::green);
    painter.drawRect(o.box);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(Qt::darkBlue);
    painter.drawRect(o.visible);
    painter.restore();
}

void DefaultViewPort::drawOverlays(QPainter& painter)
{
    const double s = scale();
    const double r = 3.0 * m_ratioX * s;
    painter.save();
    painter.setBrush(Qt::NoBrush);

    if (m_linesActive)
    {
        painter.setRenderHint(QPainter::Antialiasing, true);
        const size_t n = std::min(m_lines.size(), m_lineColors.size());
        for (size_t i = 0; i < n; ++i)
        {
            const cv::Vec4f& seg = m_lines[i];
            painter.setPen(QPen(toQColor(m_lineColors[i]), 2));
            painter.drawLine(toView({seg[0], seg[1]}), toView({seg[2], seg[3]}));
        }
    }

    if (m_circlesActive)
    {
        painter.setRenderHint(QPainter::Antialiasing, true);
        const size_t n = std::min(m_circlePoints.size(), m_circleColors.size());
        for (size_t i = 0; i < n; ++i)
        {
            painter.setPen(QPen(toQColor(m_circleColors[i]), 2));
            painter.drawEllipse(toView(m_circlePoints[i]), r, r);
        }
    }

    if (m_crossesActive)
    {
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(Qt::cyan, 1));
        for (size_t i = 0; i < m_crossPoints.size(); ++i)
        {
            if (m_crossesColoured)
            {
                if (i >= m_crossColors.size())
                    break;
                painter.setPen(QPen(toQColor(m_crossColors[i]), 1));
            }
            const QPointF c = toView(m_crossPoints[i]);
            painter.drawLine(QLineF(c.x() - r, c.y(), c.x() + r, c.y()));
            painter.drawLine(QLineF(c.x(), c.y() - r, c.x(), c.y() + r));
        }
    }

    if (m_axesActive)
    {
        painter.setRenderHint(QPainter::Antialiasing, true);
        QFont font(QStringLiteral("Arial"));
        font.setBold(true);
        font.setPixelSize(std::clamp(int(m_axisTextSize * m_ratioY * s), 1, 100));
        painter.setFont(font);
        painter.setPen(QPen(Qt::magenta, 2));
        const QPointF o = toView(m_axisOrigin);
        const QPointF x = toView(m_axisX);
        const QPointF y = toView(m_axisY);
        painter.drawLine(o, x);
        painter.drawLine(o, y);
        painter.drawText(o, QStringLiteral("0"));
        painter.drawText(x, QStringLiteral("X"));
        painter.drawText(y, QStringLiteral("Y"));
    }

    if (m_labelsActive)
    {
        painter.setRenderHint(QPainter::Antialiasing, true);
        const size_t n = std::min({m_labelPositions.size(), size_t(m_labelTexts.size()), m_labelSizes.size(),
                                   m_labelColors.size()});
        for (size_t i = 0; i < n; ++i)
        {
            QFont font(QStringLiteral("Arial"));
            font.setBold(true);
            font.setPixelSize(std::max(1, int(m_labelSizes[i] * m_ratioY * s)));
            painter.setFont(font);
            painter.setPen(QPen(toQColor(m_labelColors[i]), 2));
            // Just right of and above the point, so the text does not hide it.
            painter.drawText(toView(m_labelPositions[i]) + QPointF(3.0, -3.0), m_labelTexts[i]);
        }
    }
    painter.restore();
}

void DefaultViewPort::wheelEvent(QWheelEvent* event)
{
    const QPoint angle = event->angleDelta();
    const QPointF pos = event->position();
    forwardMouseEvent(angle.y() != 0 ? 10 : 11, pos, mouseFlags(event->buttons(), event->modifiers(), angle.y()));
    if (angle.y() != 0)
        scaleView(angle.y() / 120.0, pos.toPoint());
    viewport()->update();
    QGraphicsView::wheelEvent(event);
    // Zooming is this view's answer to the wheel; an enclosing scroll area must not scroll as well.
    event->accept();
}

void DefaultViewPort::forwardButtonEvent(QMouseEvent* event, int leftKind, int rightKind, int middleKind)
{
    int kind = -1;
    if (event->button() == Qt::LeftButton)
        kind = leftKind;
    else if (event->button() == Qt::RightButton)
        kind = rightKind;
    else if (event->button() == Qt::MiddleButton)
        kind = middleKind;
    if (kind >= 0)
        forwardMouseEvent(kind, event->position(), mouseFlags(event->buttons(), event->modifiers()));
}

void DefaultViewPort::mousePressEvent(QMouseEvent* event)
{
    forwardButtonEvent(event, 1, 2, 3);
    if (event->button() == Qt::LeftButton && scale() > 1.0)
    {
        m_dragging = true;
        m_dragLast = event->position();
        viewport()->setCursor(Qt::ClosedHandCursor);
    }
    QGraphicsView::mousePressEvent(event);
}

void DefaultViewPort::mouseReleaseEvent(QMouseEvent* event)
{
    forwardButtonEvent(event, 4, 5, 6);
    if (event->button() == Qt::LeftButton && m_dragging)
    {
        m_dragging = false;
        viewport()->unsetCursor();
    }
    QGraphicsView::mouseReleaseEvent(event);
}

void DefaultViewPort::mouseDoubleClickEvent(QMouseEvent* event)
{
    forwardButtonEvent(event, 7, 8, 9);
    QGraphicsView::mouseDoubleClickEvent(event);
}

void DefaultViewPort::mouseMoveEvent(QMouseEvent* event)
{
    forwardMouseEvent(0, event->position(), mouseFlags(event->buttons(), event->modifiers()));
    if (m_dragging)
    {
        const QPointF delta = event->position() - m_dragLast;
        m_dragLast = event->position();
        m_transform *= QTransform::fromTranslate(delta.x(), delta.y());
        controlImagePosition();
        viewport()->update();
    }
    QGraphicsView::mouseMoveEvent(event);
}

void DefaultViewPort::keyPressEvent(QKeyEvent* event)
{
    switch (event->key())
    {
    case Qt::Key_Left:
        siftWindowOnLeft();
        break;
    case Qt::Key_Right:
        siftWindowOnRight();
        break;
    case Qt::Key_Up:
        siftWindowOnUp();
        break;
    case Qt::Key_Down:
        siftWindowOnDown();
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ZoomIn();
        break;
    case Qt::Key_Minus:
        ZoomOut();
        break;
    default:
        QGraphicsView::keyPressEvent(event);
        return;
    }
    event->accept();
}
