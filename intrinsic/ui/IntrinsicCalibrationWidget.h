#pragma once
#include <opencv2/core.hpp>

#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <optional>

#include "app/ui/CalibrationModule.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "targets/TargetSettings.h"

class ImageLabelWidget;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QSpinBox;
class QTabWidget;
class QTextEdit;
class QualityTab;
class VtkOpenGLWidget;

// The "Intrinsic Calibration" module: camera matrix and distortion of one calibration object
// from images of the target, with per-corner error display, outlier removal and undistortion.
class IntrinsicCalibrationWidget : public CalibrationModule
{
    Q_OBJECT

public:
    explicit IntrinsicCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent = nullptr);
    ~IntrinsicCalibrationWidget() override;

    // The controls as the calibration routine needs them.
    vantiro::intrinsic::CalibrationOptions options() const;
    const vantiro::intrinsic::IntrinsicState& state() const { return m_state; }
    // The result of the last run that got as far as calibrating.
    const std::optional<vantiro::intrinsic::CalibrationResult>& lastResult() const { return m_lastResult; }
    vtkRenderer* targetRenderer() const { return m_renderer; }

    // Error analysis of the current result (see analyseErrors of the core); true when corners were removed.
    bool analyseErrors(bool removeOutliers);
    // Sets a label's text colour from the error colour of value within [minimum, maximum].
    static void colorLabel(QLabel* label, double value, double minimum, double maximum);

    QComboBox* combo_sensor = nullptr;
    QGroupBox* group_image_list = nullptr;
    QListWidget* list_images = nullptr;
    QPushButton* button_change_dir = nullptr;
    QTextEdit* text_log = nullptr;
    QTabWidget* tabWidget = nullptr;
    ImageLabelWidget* image_label = nullptr;
    VtkOpenGLWidget* widget_vtk = nullptr;
    QualityTab* tab_quality = nullptr;
    QGroupBox* group_reproj_err = nullptr;
    QLabel* label_rms_err = nullptr;
    QLabel* label_min_err = nullptr;
    QLabel* label_max_err = nullptr;
    QGroupBox* group_use_radial_distortion = nullptr;
    QCheckBox* check_fix_k1 = nullptr;
    QCheckBox* check_fix_k2 = nullptr;
    QCheckBox* check_fix_k3 = nullptr;
    QCheckBox* check_fix_k4 = nullptr;
    QCheckBox* check_fix_k5 = nullptr;
    QCheckBox* check_fix_k6 = nullptr;
    QCheckBox* check_use_rational_model = nullptr;
    QGroupBox* groupBox_UseIntrinsicGuess = nullptr;
    QCheckBox* check_fix_focal = nullptr;
    QCheckBox* check_fix_pp = nullptr;
    QCheckBox* check_fix_aspect_ratio = nullptr;
    QCheckBox* check_use_tangential_distortion = nullptr;
    QGroupBox* group_term_criteria = nullptr;
    QSpinBox* spin_max_iterations = nullptr;
    QDoubleSpinBox* spin_accuracy = nullptr;
    QPushButton* button_calibrate = nullptr;
    QGroupBox* group_outliers = nullptr;
    QDoubleSpinBox* spin_outlier = nullptr;
    QGroupBox* groupBox_PreviewUndistortion = nullptr;
    QPushButton* pushButton_WriteUndistortedImages = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updateIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

public slots:
    void updateSensorNames();

public:
    // "Open Files": a new image list.
    void loadImages();
    // "Calibrate" / "Abort".
    void onCalibrateClicked();
    // 2D view, error labels, list colours and 3D view for the current row.
    void updateView();
    // "Write Undistorted Images".
    void writeUndistortedImages();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }

private:
    void buildForm();
    void connectForm();
    // The calibrate routine around the core run.
    void calibrate();
    std::optional<vantiro::intrinsic::SensorRef> selectedSensor() const;
    void syncChecksFromList();
    void syncChecksToList();
    void update2dView();
    void updateListColours();
    void update3dView();
    void showErrorLabels(bool visible);
    void onItemChanged(QListWidgetItem* item);

    vantiro::intrinsic::IntrinsicState m_state;
    std::optional<vantiro::intrinsic::CalibrationResult> m_lastResult;
    MainWindowSettings m_target;
    vtkSmartPointer<vtkRenderer> m_renderer;
    bool m_fillingList = false;
    bool m_viewUpdatePending = false;
};
