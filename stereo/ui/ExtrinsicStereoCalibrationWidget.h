#pragma once
#include <opencv2/core.hpp>

#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <array>
#include <optional>

#include "app/ui/CalibrationModule.h"
#include "stereo/Rectification.h"
#include "stereo/StereoWorkflow.h"
#include "targets/TargetSettings.h"

class ImageLabelWidget;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTextEdit;
class VtkOpenGLWidget;

// The "Extrinsic Stereo Calibration" module: a primary and a secondary calibration object from
// pairs of images taken at the same moment, with per-corner and epipolar errors, the hand-over of
// both intrinsics and the secondary's pose, and rectification of the pair.
class ExtrinsicStereoCalibrationWidget : public CalibrationModule
{
    Q_OBJECT

public:
    explicit ExtrinsicStereoCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent = nullptr);
    ~ExtrinsicStereoCalibrationWidget() override;

    // Both image lists as if the user had chosen them with the two buttons (no dialogs).
    void setImageLists(const QStringList& primaryFiles, const QStringList& secondaryFiles);
    // Selects the objects with these ids in the two combo boxes; an id not in the list leaves its
    // box as it is. Returns whether both were found.
    bool selectSensors(int primaryId, int secondaryId);

    // The controls as the core routines need them.
    vantiro::stereo::StereoOptions options() const;
    vantiro::stereo::RectificationOptions rectificationOptions() const;
    const vantiro::stereo::StereoState& state() const { return m_state; }
    // The result of the last completed calibration.
    const std::optional<vantiro::stereo::StereoResult>& lastResult() const { return m_lastResult; }
    const vantiro::stereo::Rectification& rectification() const { return m_rectification; }
    vtkRenderer* targetRenderer() const { return m_renderer; }

    // The options of one sensor; the secondary's object names end in 2 (or _2) instead of 1.
    struct SensorForm
    {
        QWidget* tab = nullptr;
        QGroupBox* groupBox_UseIntrinsicGuess = nullptr;
        QCheckBox* check_fix_focal = nullptr;
        QCheckBox* check_fix_pp = nullptr;
        QCheckBox* check_fix_aspect_ratio = nullptr;
        QGroupBox* group_use_radial_distortion = nullptr;
        std::array<QCheckBox*, 6> check_fix_k{}; // k1 .. k6
        QCheckBox* check_use_rational_model = nullptr;
        QCheckBox* check_use_tangential_distortion = nullptr;
    };
    // What the 2D tab shows under one image.
    struct ErrorLabels
    {
        QGroupBox* group = nullptr;
        QLabel* rms = nullptr;
        QLabel* min = nullptr;
        QLabel* max = nullptr;
    };

    QComboBox* comboBox_primary = nullptr;
    QComboBox* comboBox_secondary = nullptr;
    QListWidget* list_images_primary = nullptr;
    QListWidget* list_images_secondary = nullptr;
    QPushButton* button_change_dir_primary = nullptr;
    QPushButton* button_change_dir_secondary = nullptr;
    QTextEdit* text_log = nullptr;
    QTabWidget* tabWidget = nullptr; // "2D Targets", "3D Targets"
    ImageLabelWidget* image_label_primary = nullptr;
    ImageLabelWidget* image_label_secondary = nullptr;
    ErrorLabels reprojErrPrimary, reprojErrSecondary, epipolarErr;
    VtkOpenGLWidget* widget_vtk = nullptr;

    QTabWidget* tabWidget_settings = nullptr; // options, rectification
    QWidget* tab_calib_options = nullptr;
    QWidget* tab_Rect = nullptr;
    SensorForm primaryForm, secondaryForm;
    QCheckBox* check_same_focal_length = nullptr;
    QCheckBox* checkBox_UseExtrinsicGuess = nullptr;
    QGroupBox* group_term_criteria = nullptr;
    QSpinBox* spin_max_iterations = nullptr;
    QDoubleSpinBox* spin_accuracy = nullptr;
    QGroupBox* group_outliers = nullptr;
    QDoubleSpinBox* doubleSpinBox_RemoveOutliersPrimary = nullptr;
    QDoubleSpinBox* doubleSpinBox_RemoveOutliersSecondary = nullptr;
    QDoubleSpinBox* doubleSpinBox_RemoveOutliersEpipolar = nullptr;
    QPushButton* button_calibrate = nullptr;

    QCheckBox* check_equal_pp = nullptr;
    QGroupBox* group_new_image_size = nullptr;
    QSpinBox* spinBox_rectificationNewWidth = nullptr;
    QSpinBox* spinBox_rectificationNewHeight = nullptr;
    QGroupBox* groupBox_3 = nullptr;
    QRadioButton* radio_alpha_0 = nullptr;
    QRadioButton* radio_alpha_1 = nullptr;
    QRadioButton* radio_alpha_custom = nullptr;
    QDoubleSpinBox* double_spin_alpha = nullptr;
    QPushButton* pushButton_RectifyStereo = nullptr;
    QGroupBox* groupBox_PreviewRectifiedImages = nullptr;
    QSpinBox* spin_epi_lines = nullptr;
    QPushButton* pushButton_WriteRectifiedImages = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void getMainWindowSettings(MainWindowSettings& settings);
    void getPrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updatePrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Matx33d R, cv::Matx31d t);

public slots:
    void updateSensorNames();

public:
    // "Open Primary Files" / "Open Secondary Files".
    void loadPrimaryImages();
    void loadSecondaryImages();
    // "Calibrate Stereo" / "Abort".
    void onCalibrateClicked();
    // "Calibrate Rectication Parameters".
    void rectify();
    // "Write Rectified Images".
    void writeRectifiedImages();
    // 2D views, error labels, list colours and 3D view for the selected pair.
    void updateView();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }

private:
    void buildForm();
    QWidget* buildSensorTab(SensorForm& form, const QString& suffix, const QString& kSuffix);
    QWidget* buildRectificationTab();
    void connectForm();
    void connectSensorForm(SensorForm& form);
    void calibrate();
    void loadList(bool primary, const QStringList& files);
    void listsReplaced();
    void syncChecksFromLists();
    void syncChecksToLists();
    void onItemChanged(QListWidgetItem* item);
    void selectRow(int row);
    void update2dView();
    void updateListColours();
    void update3dView();
    std::optional<int> selectedId(QComboBox* combo) const;
    QString resultName(int sensor) const;
    vantiro::stereo::SensorOptions sensorOptions(const SensorForm& form) const;

    vantiro::stereo::StereoState m_state;
    std::optional<vantiro::stereo::StereoResult> m_lastResult;
    // The objects the last result belongs to, for its rectification.
    int m_resultIds[2] = {-1, -1};
    QString m_resultNames[2];
    vantiro::stereo::Rectification m_rectification;
    MainWindowSettings m_target;
    vtkSmartPointer<vtkRenderer> m_renderer;
    bool m_viewUpdatePending = false;
};
