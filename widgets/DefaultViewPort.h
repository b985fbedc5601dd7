#pragma once
#include <QGraphicsView>
#include <QImage>
#include <QRect>
#include <QStringList>
#include <QTransform>

#include <opencv2/core.hpp>

#include <vector>

class QSettings;

// Overlay colours are (red, green, blue).
using OverlayColor = cv::Vec3b;

// Called for mouse events over a view: event kind (0 move, 1/2/3 left/right/middle
// press, 4/5/6 release, 7/8/9 double click, 10 vertical and 11 horizontal wheel),
// image x and y, flags (vantiro::view::mouseFlags) and the user data given with it.
using ViewMouseCallback = void (*)(int event, int x, int y, int flags, void* userData);

// A surface that shows one image with overlays in image coordinates.
class ViewPort
{
public:
    virtual ~ViewPort() = default;

    virtual QWidget* getWidget() = 0;
    virtual void setMouseCallback(ViewMouseCallback callback, void* userData) = 0;
    virtual void writeSettings(QSettings& settings) = 0;
    virtual void readSettings(QSettings& settings) = 0;
    virtual void updateImage(const cv::Mat& image) = 0;
    virtual void setCircles(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors) = 0;
    virtual void setCrossesColoured(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors) = 0;
    virtual void setCrosses(const std::vector<cv::Point2f>& points) = 0;
    // A segment is (x1, y1, x2, y2).
    virtual void setLines(const std::vector<cv::Vec4f>& segments, const std::vector<OverlayColor>& colors) = 0;
    virtual void setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float textSize) = 0;
    virtual void setLabels(const std::vector<cv::Point2f>& positions, const QStringList& texts,
                           const std::vector<float>& textSizes, const std::vector<OverlayColor>& colors) = 0;
    virtual void clearOverlays() = 0;
    // pos in view (screen) coordinates.
    virtual void forwardMouseEvent(int event, QPointF pos, int flags) = 0;
};

// Keeps the mouse callback of a view surface.
class OCVViewPort : public ViewPort
{
public:
    void setMouseCallback(ViewMouseCallback callback, void* userData) override;

protected:
    void callMouseCallback(int event, int x, int y, int flags);

    ViewMouseCallback m_mouseCallback = nullptr;
    void* m_mouseUserData = nullptr;
};

// The zoomable drawing surface: keeps the image to draw, the view transform and the
// overlay lists, and paints everything itself (no graphics scene).
class DefaultViewPort : public QGraphicsView, public OCVViewPort
{
    Q_OBJECT

public:
    explicit DefaultViewPort(QWidget* parent = nullptr);
    ~DefaultViewPort() override;

    QWidget* getWidget() override;
    void writeSettings(QSettings& settings) override;
    void readSettings(QSettings& settings) override;
    void updateImage(const cv::Mat& image) override;
    void setCircles(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors) override;
    void setCrossesColoured(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors) override;
    void setCrosses(const std::vector<cv::Point2f>& points) override;
    void setLines(const std::vector<cv::Vec4f>& segments, const std::vector<OverlayColor>& colors) override;
    void setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float textSize) override;
    void setLabels(const std::vector<cv::Point2f>& positions, const QStringList& texts,
                   const std::vector<float>& textSizes, const std::vector<OverlayColor>& colors) override;
    void clearOverlays() override;
    void forwardMouseEvent(int event, QPointF pos, int flags) override;

    QTransform viewTransform() const { return m_transform; }
    // Replaces the view transform (rejected unless vantiro::view::isValidViewTransform);
    // the image is kept in place. Returns whether it was taken.
    bool setViewTransform(const QTransform& transform);
    double scale() const { return m_transform.m11(); }
    float ratioX() const { return m_ratioX; }
    float ratioY() const { return m_ratioY; }
    // Screen rectangle covered by the image.
    QRect coveredRect() const { return m_covered; }
    // Size of the image being drawn.
    QSize imageSize() const { return QSize(m_drawMat.cols, m_drawMat.rows); }
    // Image coordinates of the last mouse event.
    QPointF lastMouseImagePosition() const { return m_mouseImagePos; }
    bool hasActiveOverlays() const;

public slots:
    void siftWindowOnLeft();
    void siftWindowOnRight();
    void siftWindowOnUp();
    void siftWindowOnDown();
    void resetZoom();
    void imgRegion();
    void ZoomIn();
    void ZoomOut();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void scaleView(double step, QPoint centre);
    void controlImagePosition();
    void updateRatios(QSize viewSize);
    void fitIntoOfferedRect();
    void drawOverlays(QPainter& painter);
    void drawPixelGrid(QPainter& painter);
    void drawOverview(QPainter& painter);
    QPointF toView(cv::Point2f imagePoint) const;
    void forwardButtonEvent(QMouseEvent* event, int leftKind, int rightKind, int middleKind);

    QTransform m_transform;
    QTransform m_inverse;
    QRect m_covered;

    cv::Mat m_drawMat; // 8-bit RGB, owns the pixels m_drawImage shows
    QImage m_drawImage;
    float m_ratioX = 1.0f;
    float m_ratioY = 1.0f;

    std::vector<cv::Point2f> m_circlePoints;
    std::vector<OverlayColor> m_circleColors;
    bool m_circlesActive = false;

    std::vector<cv::Point2f> m_crossPoints;
    std::vector<OverlayColor> m_crossColors;
    bool m_crossesColoured = false;
    bool m_crossesActive = false;

    std::vector<cv::Vec4f> m_lines;
    std::vector<OverlayColor> m_lineColors;
    bool m_linesActive = false;

    cv::Point2f m_axisOrigin;
    cv::Point2f m_axisX;
    cv::Point2f m_axisY;
    float m_axisTextSize = 0.0f;
    bool m_axesActive = false;

    std::vector<cv::Point2f> m_labelPositions;
    QStringList m_labelTexts;
    std::vector<float> m_labelSizes;
    std::vector<OverlayColor> m_labelColors;
    bool m_labelsActive = false;

    // The rectangle the parent (its layout) last gave this view; the view shrinks
    // itself inside it to the image's aspect ratio.
    QRect m_offered;
    QRect m_ownFit;
    bool m_ownFitPending = false;
    bool m_fitting = false;

    QPointF m_mouseImagePos;
    // Left-button drag pans the zoomed view.
    bool m_dragging = false;
    QPointF m_dragLast;
};
