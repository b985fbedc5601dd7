#pragma once
#include <opencv2/core.hpp>

#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <map>
#include <vector>

#include "app/ui/CalibrationModule.h"
#include "robot/RobotCalibration.h"
#include "targets/TargetSettings.h"

class ImageLabelWidget;
class QButtonGroup;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTextEdit;
class VtkOpenGLWidget;

// What the hand-eye and tool-flange windows share: the camera and robot choice, the image and
// TCP lists, the pose-estimation options, the log, the view of one image with its TCP pose and
// the 3D view of all poses. The calibration itself is the core's calibrateRobot.
class RobotModuleWindow : public CalibrationModule
{
    Q_OBJECT

public:
    RobotModuleWindow(vantiro::robot::RobotModule module, const SensorObjectList& sensorList, QWidget* parent);
    ~RobotModuleWindow() override;

    // The controls as the routine needs them.
    vantiro::robot::RobotOptions options() const;
    const std::vector<TcpPose>& tcpPoses() const { return m_poses; }
    const vantiro::robot::RobotResult& result() const { return m_result; }
    bool calibrated() const { return m_result.calibrated; }
    vtkRenderer* allPosesRenderer() const { return m_allPoses; }
    vtkRenderer* viewRenderer() const { return m_view; }

    QComboBox* combo_sensor = nullptr;
    QComboBox* combo_robot = nullptr;
    QGroupBox* group_image_tcp = nullptr;
    QListWidget* list_images = nullptr;
    QPushButton* button_open_images = nullptr;
    QListWidget* list_tcpPoses = nullptr;
    QPushButton* button_open_tcp = nullptr;
    QGroupBox* group_length_unit = nullptr;
    QRadioButton* radio_m = nullptr;
    QRadioButton* radio_mm = nullptr;
    QGroupBox* group_target_pose = nullptr;
    QRadioButton* radio_EP3P = nullptr; // tool-flange only
    QRadioButton* radio_iterative_PNP = nullptr;
    QRadioButton* radio_EPNP = nullptr;
    QGroupBox* group_ransac = nullptr;
    QSpinBox* spin_max_iterations = nullptr;
    QDoubleSpinBox* spin_reproj_err = nullptr;
    QSpinBox* spin_confidence = nullptr;
    QGroupBox* group_method = nullptr; // hand-eye only
    QRadioButton* radio_park = nullptr;
    QRadioButton* radio_andreff = nullptr;
    QRadioButton* radio_horaud = nullptr;
    QPushButton* button_calibrate = nullptr;
    QTextEdit* text_log = nullptr;
    QTabWidget* tabWidget_View = nullptr;
    QWidget* tab_CamViewTcpPose = nullptr;
    QWidget* tab_AllPoses3DView = nullptr;
    ImageLabelWidget* image_label = nullptr;
    VtkOpenGLWidget* widget_vtk = nullptr;
    VtkOpenGLWidget* widget_vtk_allPoses = nullptr;
    QGroupBox* group_reproj_err = nullptr;
    QLabel* label_rms_err = nullptr;
    QLabel* label_min_err = nullptr;
    QLabel* label_max_err = nullptr;
    QGroupBox* group_3d_err = nullptr;
    QLabel* label_rms_3d = nullptr;
    QLabel* label_trans_err = nullptr;
    QLabel* label_rot_err = nullptr;
    QGroupBox* groupBox_TcpPoses = nullptr;
    QLabel* label_x = nullptr;
    QLabel* label_y = nullptr;
    QLabel* label_z = nullptr;
    QLabel* label_rx = nullptr;
    QLabel* label_ry = nullptr;
    QLabel* label_rz = nullptr;

public slots:
    void updateSensorNames();

public:
    // "Open Image Files": a new image list.
    void openImages();
    // "Open TCP File": the pose list from one or more files.
    void openTcpFiles();
    // "Calibrate" / "Abort".
    void onCalibrateClicked();
    // The image, its corners and errors, its TCP pose and its 3D view for list row r.
    void showRow(int row);

protected:
    void requestSensorList(SensorObjectList& list) override = 0;
    // The module's signals.
    virtual void requestIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imageSize) = 0;
    virtual void requestTargetSettings(MainWindowSettings& settings) = 0;
    virtual void handOverExtrinsics(int idCamera, int idRobot, const cv::Matx33d& R, const cv::Matx31d& t) = 0;

private:
    void buildForm();
    void connectForm();
    void calibrate();
    std::optional<vantiro::robot::SensorRef> selectedObject(QComboBox* combo) const;
    void clearResult();
    void showRowLabels(int row, const vantiro::robot::RobotView* view);
    void showTcp(int row);
    // Props of the given views in the robot base frame, in millimetres.
    void fillScene(vtkRenderer* renderer, const std::vector<const vantiro::robot::RobotView*>& views,
                   bool withLabels);
    void selectRow(int row);

    const vantiro::robot::RobotModule m_module;
    QStringList m_imagePaths;
    std::vector<TcpPose> m_poses;
    vantiro::robot::RobotResult m_result;
    std::map<int, size_t> m_viewOfRow;
    MainWindowSettings m_target;
    cv::Mat m_K;
    cv::Size m_imageSize;
    vtkSmartPointer<vtkRenderer> m_allPoses;
    vtkSmartPointer<vtkRenderer> m_view;
    bool m_selecting = false;
};
