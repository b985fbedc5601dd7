#include "widgets/ImageLabelWidget.h"

#include <QMutexLocker>
#include <QVBoxLayout>

ImageLabelWidget::ImageLabelWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // The default constraint keeps the minimum size below; min-and-max would replace
    // it with the view's 1 x 1 on every layout pass.
    layout->setSizeConstraint(QLayout::SetDefaultConstraint);
    m_view = new DefaultViewPort(this);
    layout->addWidget(m_view);
    setMinimumSize(100, 100);
    m_view->setMouseCallback(&ImageLabelWidget::onMouse, this);
}

ImageLabelWidget::~ImageLabelWidget()
{
    m_view->setMouseCallback(nullptr, nullptr);
}

void ImageLabelWidget::onMouse(int /*event*/, int x, int y, int /*flags*/, void* userData)
{
    emit static_cast<ImageLabelWidget*>(userData)->sendMouseCoord(QPoint(x, y));
}

void ImageLabelWidget::setImage(const cv::Mat& image)
{
    cv::Mat shown;
    {
        QMutexLocker lock(&m_imageMutex);
        m_image = image.empty() ? cv::Mat(10, 100, CV_8UC1, cv::Scalar(127)) : image.clone();
        // Shares the pixels: a later replacement allocates anew, so this stays valid.
        shown = m_image;
    }
    m_view->updateImage(shown);
    m_view->clearOverlays();
}

void ImageLabelWidget::setCircles(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors)
{
    if (points.empty() || points.size() != colors.size())
        return;
    m_view->setCircles(points, colors);
}

void ImageLabelWidget::setCrosses(const std::vector<cv::Point2f>& points, const std::vector<OverlayColor>& colors)
{
    if (points.empty())
        return;
    if (colors.empty())
        m_view->setCrosses(points);
    else if (colors.size() == points.size())
        m_view->setCrossesColoured(points, colors);
}

void ImageLabelWidget::setLines(const std::vector<cv::Vec4f>& segments, const std::vector<OverlayColor>& colors)
{
    if (segments.empty() || segments.size() != colors.size())
        return;
    m_view->setLines(segments, colors);
}

void ImageLabelWidget::setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float textSize)
{
    m_view->setAxes(origin, xEnd, yEnd, textSize);
}

void ImageLabelWidget::setLabels(const std::vector<cv::Point2f>& positions, const QStringList& texts,
                                 const std::vector<float>& textSizes, const std::vector<OverlayColor>& colors)
{
    const size_t n = positions.size();
    if (n == 0 || size_t(texts.size()) != n || textSizes.size() != n || colors.size() != n)
        return;
    m_view->setLabels(positions, texts, textSizes, colors);
}

void ImageLabelWidget::clearOverlays()
{
    m_view->clearOverlays();
}

void ImageLabelWidget::setImageWithOverlays(const cv::Mat& image, const std::vector<cv::Point2f>& circlePoints,
                                            const std::vector<OverlayColor>& circleColors,
                                            const std::vector<cv::Point2f>& crossPoints)
{
    if (!image.empty())
    {
        cv::Mat shown;
        {
            QMutexLocker lock(&m_imageMutex);
            m_image = image.clone();
            shown = m_image;
        }
        m_view->updateImage(shown);
    }
    setCircles(circlePoints, circleColors);
    if (!crossPoints.empty())
        m_view->setCrosses(crossPoints);
}

cv::Mat ImageLabelWidget::image() const
{
    QMutexLocker lock(&m_imageMutex);
    return m_image.clone();
}

void ImageLabelWidget::writeSettings(QSettings& settings)
{
    m_view->writeSettings(settings);
}

void ImageLabelWidget::readSettings(QSettings& settings)
{
    m_view->readSettings(settings);
}
