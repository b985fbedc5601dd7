#pragma once
#include <QMutex>
#include <QPoint>
#include <QWidget>

#include <opencv2/core.hpp>

#include "widgets/DefaultViewPort.h"

class QSettings;

// The image view of the calibration modules: one image scaled to the widget, zoom,
// pan and overlays in image coordinates. Holds its own copy of the image.
class ImageLabelWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ImageLabelWidget(QWidget* parent = nullptr);
    ~ImageLabelWidget() override;

    // Shows a copy of image (an empty image shows a 10 x 100 mid-grey strip) and
    // removes all overlays.
    void setImage(const cv::Mat& image);
    // Ignored without points or when the colour list does not match them.
    void setCircles(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors);
    // Cyan crosses with an empty colour list, else one colour per point; other
    // colour counts are ignored.
    void setCrosses(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors = {});
    void setLines(const std::vector<cv::Vec4f>& segments, const std::vector<OverlayColor>& colors);
    void setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float textSize);
    void setLabels(const std::vector<cv::Point2f>& positions, const QStringList& texts,
                   const std::vector<float>& textSizes, const std::vector<OverlayColor>& colors);
    void clearOverlays();
    // A non-empty image replaces the shown one; circles as setCircles, crosses in
    // cyan when there are any. Overlays set before stay.
    void setImageWithOverlays(const cv::Mat& image, const std::vector<cv::Point2f>& circlePoints,
                              const std::vector<OverlayColor>& circleColors,
                              const std::vector<cv::Point2f>& crossPoints);

    // A copy of the stored image (the caller's image as given, not the RGB draw copy).
    // Safe from any thread; everything else belongs to the GUI thread.
    cv::Mat image() const;

    // The view transform as "matrix_view.m11" ... "matrix_view.m33" in the current group.
    void writeSettings(QSettings& settings);
    void readSettings(QSettings& settings);

    DefaultViewPort* viewPort() const { return m_view; }

signals:
    // Image pixel under the mouse, for every mouse move, button and wheel event.
    void sendMouseCoord(QPoint imagePosition);

private:
    static void onMouse(int event, int x, int y, int flags, void* userData);

    DefaultViewPort* m_view = nullptr;
    cv::Mat m_image;
    mutable QMutex m_imageMutex;
};
