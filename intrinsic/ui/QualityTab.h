#pragma once
// The intrinsic module's "Quality" tab: the uncertainty heat map (or the coverage or the residual
// vectors) of the last calibration, and the per-image error chart whose bars select images.

#include <QWidget>

#include <memory>

#include "intrinsic/CalibrationQuality.h"
#include "intrinsic/QualityPictures.h"

class ImageLabelWidget;
class QCheckBox;
class QComboBox;
class QLabel;

// The per-image RMS bars, drawn at the widget's size; a click on a bar reports its image.
class ViewErrorChartWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ViewErrorChartWidget(QWidget* parent = nullptr);
    void setQuality(std::shared_ptr<const vantiro::intrinsic::CalibrationQuality> quality, int selectedImage);
    const vantiro::intrinsic::ViewErrorChart& chart() const { return m_chart; }

signals:
    void imageClicked(int image);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void redraw();

    std::shared_ptr<const vantiro::intrinsic::CalibrationQuality> m_quality;
    int m_selected = -1;
    vantiro::intrinsic::ViewErrorChart m_chart;
};

class QualityTab : public QWidget
{
    Q_OBJECT

public:
    explicit QualityTab(QWidget* parent = nullptr);

    // The quality of the last calibration; null clears the tab.
    void setQuality(std::shared_ptr<const vantiro::intrinsic::CalibrationQuality> quality);
    const std::shared_ptr<const vantiro::intrinsic::CalibrationQuality>& quality() const { return m_quality; }
    // The image whose residuals stand out and whose bar is outlined.
    void setSelectedImage(int image);

    QLabel* label_quality_summary = nullptr;
    QComboBox* combo_quality_view = nullptr;
    QCheckBox* check_quality_coverage = nullptr;
    QCheckBox* check_quality_residuals = nullptr;
    ImageLabelWidget* image_quality = nullptr;
    ViewErrorChartWidget* chart_view_errors = nullptr;

signals:
    void imageClicked(int image);

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Draws now when shown, else when the tab is next shown.
    void redraw();

    std::shared_ptr<const vantiro::intrinsic::CalibrationQuality> m_quality;
    int m_selected = -1;
    bool m_stale = false;
};
