#include "intrinsic/ui/QualityTab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "app/CaughtException.h"
#include "widgets/ImageLabelWidget.h"

using namespace vantiro::intrinsic;

ViewErrorChartWidget::ViewErrorChartWidget(QWidget* parent) : QWidget(parent)
{
    setMinimumHeight(120);
    setCursor(Qt::PointingHandCursor);
}

void ViewErrorChartWidget::setQuality(std::shared_ptr<const CalibrationQuality> quality, int selectedImage)
{
    m_quality = std::move(quality);
    m_selected = selectedImage;
    redraw();
}

void ViewErrorChartWidget::redraw()
{
    // Drawn at the widget's own size, so that a click's position is the chart's.
    m_chart = m_quality ? viewErrorChart(*m_quality, {width(), height()}, m_selected) : ViewErrorChart();
    update();
}

void ViewErrorChartWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (m_chart.picture.empty()) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    const cv::Mat& p = m_chart.picture;
    const QImage image(p.data, p.cols, p.rows, int(p.step), QImage::Format_BGR888);
    painter.drawImage(QPoint(0, 0), image);
}

void ViewErrorChartWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    redraw();
}

void ViewErrorChartWidget::mousePressEvent(QMouseEvent* event)
{
    const int image = m_chart.imageAt(cv::Point2d(event->position().x(), event->position().y()));
    if (image >= 0)
        emit imageClicked(image);
    QWidget::mousePressEvent(event);
}

QualityTab::QualityTab(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    label_quality_summary = new QLabel(this);
    label_quality_summary->setObjectName(QStringLiteral("label_quality_summary"));
    label_quality_summary->setWordWrap(true);
    layout->addWidget(label_quality_summary);

    auto* controls = new QHBoxLayout();
    combo_quality_view = new QComboBox(this);
    combo_quality_view->setObjectName(QStringLiteral("combo_quality_view"));
    combo_quality_view->addItems({QStringLiteral("Uncertainty at 1 m"), QStringLiteral("Uncertainty at infinity"),
                                  QStringLiteral("Coverage"), QStringLiteral("Residual vectors")});
    check_quality_coverage = new QCheckBox(QStringLiteral("Coverage"), this);
    check_quality_coverage->setObjectName(QStringLiteral("check_quality_coverage"));
    check_quality_coverage->setChecked(true);
    check_quality_residuals = new QCheckBox(QStringLiteral("Residual vectors"), this);
    check_quality_residuals->setObjectName(QStringLiteral("check_quality_residuals"));
    controls->addWidget(combo_quality_view);
    controls->addWidget(check_quality_coverage);
    controls->addWidget(check_quality_residuals);
    controls->addStretch(1);
    layout->addLayout(controls);

    image_quality = new ImageLabelWidget(this);
    image_quality->setObjectName(QStringLiteral("image_quality"));
    layout->addWidget(image_quality, 3);
    chart_view_errors = new ViewErrorChartWidget(this);
    chart_view_errors->setObjectName(QStringLiteral("chart_view_errors"));
    layout->addWidget(chart_view_errors, 1);

    connect(combo_quality_view, &QComboBox::currentIndexChanged, this, [this](int index) {
        // The overlays belong to the heat maps.
        check_quality_coverage->setEnabled(index < 2);
        check_quality_residuals->setEnabled(index < 2);
        redraw();
    });
    connect(check_quality_coverage, &QCheckBox::toggled, this, &QualityTab::redraw);
    connect(check_quality_residuals, &QCheckBox::toggled, this, &QualityTab::redraw);
    connect(chart_view_errors, &ViewErrorChartWidget::imageClicked, this, &QualityTab::imageClicked);
    setQuality(nullptr);
}

void QualityTab::setQuality(std::shared_ptr<const CalibrationQuality> quality)
{
    m_quality = std::move(quality);
    if (!m_quality) {
        label_quality_summary->setText(
            QStringLiteral("Calibrate to see where in the image the result can be trusted."));
        label_quality_summary->setStyleSheet(QString());
    } else {
        const CalibrationQuality& q = *m_quality;
        label_quality_summary->setText(
            q.summary().trimmed() + QStringLiteral("\nCorner noise %1 px per coordinate; %2 % of the image covered.")
                                        .arg(formatPixels(q.sigma))
                                        .arg(qRound(100.0 * q.coveredFraction)));
        label_quality_summary->setStyleSheet(!q.determined() || q.cornersPoor() ? QStringLiteral("color: orange;")
                                                                                : QString());
    }
    chart_view_errors->setQuality(m_quality, m_selected);
    redraw();
}

void QualityTab::setSelectedImage(int image)
{
    if (image == m_selected)
        return;
    m_selected = image;
    chart_view_errors->setQuality(m_quality, m_selected);
    redraw();
}

void QualityTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_stale)
        redraw();
}

void QualityTab::redraw()
{
    if (!isVisible()) {
        m_stale = true;
        return;
    }
    m_stale = false;
    if (!m_quality) {
        image_quality->setImage(cv::Mat());
        return;
    }
    cv::Mat picture;
    try {
        switch (combo_quality_view->currentIndex()) {
        case 2:
            picture = coveragePicture(*m_quality);
            break;
        case 3:
            picture = residualPicture(*m_quality, m_selected);
            break;
        default:
            picture = uncertaintyPicture(*m_quality, {.infinity = combo_quality_view->currentIndex() == 1,
                                                      .coverage = check_quality_coverage->isChecked(),
                                                      .residuals = check_quality_residuals->isChecked(),
                                                      .selectedImage = m_selected});
        }
    } catch (...) {
        // A picture that cannot be drawn must not take the window down; say so where it would be.
        const vantiro::CaughtException caught = vantiro::describeCurrentException();
        label_quality_summary->setText(
            QStringLiteral("The picture could not be drawn (%1): %2").arg(caught.title, caught.message));
        picture.release();
    }
    image_quality->setImage(picture);
}
