#pragma once
#include <QStandardItemModel>

#include <opencv2/core.hpp>

#include <memory>
#include <vector>

#include "app/ui/CalibrationModule.h"
#include "projector/GrayCodeSets.h"
#include "projector/ProjectorCorners.h"
#include "targets/TargetSettings.h"

class ExtrinsicStereoCalibrationWidget;
class ImageLabelWidget;
class QComboBox;
class QDoubleSpinBox;
class QFrame;
class QGroupBox;
class QLabel;
class QScrollArea;
class QSpinBox;
class QTabWidget;
class QTextEdit;
class QTreeView;
class TextEditLogSink;

// The image tree of the camera-projector module: one top-level row per captured set, one child
// row per image, in a single column headed "Image".
class TreeModel : public QStandardItemModel
{
    Q_OBJECT

public:
    // Data roles of a set row: the projector resolution the set was loaded for.
    static constexpr int ProjectorWidthRole = 259;
    static constexpr int ProjectorHeightRole = 260;

    explicit TreeModel(QObject* parent = nullptr);
};

// The "Camera Projector Calibration" module: captured Gray-code sets of several target poses,
// their decoded views, the projector corners of each set ("Detect / Decode"), the input data of the
// extrinsic stereo module and the hand-over to that module.
class CamProjStereoCalib : public CalibrationModule
{
    Q_OBJECT

public:
    explicit CamProjStereoCalib(const SensorObjectList& sensorList, QWidget* parent = nullptr);
    ~CamProjStereoCalib() override;

    // "Load Captured Gray-Code Sets".
    void loadSets();
    // "Detect / Decode" / "Abort".
    void onDetectDecodeClicked();
    // "Write Extrinsic Calibration Input Data".
    void writeExtrinsicInput();
    // Shows the current tab's view of the current set.
    void refreshViews();
    // "Open Extrinsic Camera-Projector Module", once the main window has opened stereo: selects the
    // camera and the projector there, hands it the views written for both and keeps its object
    // boxes and ours in step from then on.
    void handOverTo(ExtrinsicStereoCalibrationWidget* stereo);

    int currentSet() const { return m_currentSet; }
    int currentRow() const { return m_currentRow; }
    const std::vector<camproj::CornerSet>& cornerSets() const { return m_corners; }
    const GrayCodeSets& images() const { return m_images; }
    TreeModel* imageModel() const { return m_model; }

    QFrame* frame_left = nullptr;
    QGroupBox* groupBox_2 = nullptr;
    QComboBox* comboBox_sensor = nullptr;
    QGroupBox* groupBox_4 = nullptr;
    QComboBox* comboBox_projector = nullptr;
    QGroupBox* groupBox_3 = nullptr;
    QTreeView* imageTree = nullptr;
    QPushButton* pushButton_LoadCapturedGrayCodeSets = nullptr;
    QTabWidget* tabWidget = nullptr;
    QWidget* tab_CameraView = nullptr;
    ImageLabelWidget* cam_view = nullptr;
    QWidget* tab_ProjectionAreaMask = nullptr;
    ImageLabelWidget* mask_view = nullptr;
    QWidget* tab_DecodedX = nullptr;
    ImageLabelWidget* decode_x = nullptr;
    QWidget* tab_DecodedY = nullptr;
    ImageLabelWidget* decode_y = nullptr;
    QWidget* tab_ProjectorView = nullptr;
    ImageLabelWidget* proj_view = nullptr;
    QTextEdit* text_log = nullptr;
    QFrame* frame_right = nullptr;
    QScrollArea* scrollArea = nullptr;
    QGroupBox* group_proj_corner_detect = nullptr;
    QLabel* label_4 = nullptr;
    QSpinBox* spin_homography_win = nullptr;
    QLabel* label_7 = nullptr;
    QDoubleSpinBox* doubleSpinBox_RatioThresh = nullptr;
    QPushButton* button_calibrate = nullptr;
    QGroupBox* groupBox = nullptr;
    QPushButton* pushButton_WriteExtrinsicCalibrationInput = nullptr;
    QPushButton* pushButton_ExtrinsicProjectorCamera = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updatePrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getPrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

public slots:
    void updateSensorNames();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }

private:
    void buildForm();
    void connectForm();
    void runJob();
    void onCurrentChanged(const QModelIndex& current);
    void onModelDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles);
    void onThresholdChanged();
    void onRadiusChanged();
    // Check state and grey background of the set rows from the job's state.
    void showSetStates();
    void setRunControlsEnabled(bool enabled);
    void clearSetData();

    TreeModel* m_model = nullptr;
    std::unique_ptr<TextEditLogSink> m_log;
    MainWindowSettings m_settings;
    GrayCodeSets m_images;
    std::vector<camproj::CornerSet> m_corners;
    int m_currentSet = 0;
    int m_currentRow = 0;
    bool m_suppressModelRefresh = false;
    bool m_refreshPending = false;
    bool m_filledOnce = false;
};
