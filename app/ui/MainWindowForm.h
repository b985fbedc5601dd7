#pragma once

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSpinBox;
class QTabWidget;
class QTextEdit;
class QVBoxLayout;
class QWidget;
class SensorTree;
class VtkOpenGLWidget;

// The widgets of the main window, built in code with the object names the rest of the
// program (and the per-directory settings file) refers to.
struct MainWindowForm
{
    void setupUi(QMainWindow* window);

    QWidget* centralwidget = nullptr;
    QPushButton* button_set_working_directory = nullptr;
    QComboBox* comboBox_WorkingDirectory = nullptr;
    QPushButton* button_remove_from_recent_working_directories_list = nullptr;
    QPushButton* button_open_working_directory = nullptr;

    QFrame* frame_left = nullptr;
    QHBoxLayout* Layout_TNQLogo = nullptr;
    QGroupBox* layout_left = nullptr;
    SensorTree* widget_sensors = nullptr;

    QFrame* frame_middle = nullptr;
    QTabWidget* tabWidget = nullptr;
    QWidget* tab_SceneView = nullptr;
    VtkOpenGLWidget* QVTKWidget_Scene = nullptr;
    QPushButton* pushButton_SceneResetView = nullptr;
    QWidget* tab_TargetView = nullptr;
    VtkOpenGLWidget* QVTKWidget_Target = nullptr;
    QPushButton* pushButton_TargetResetView = nullptr;
    QLabel* label_TargetExportPaper = nullptr;
    QComboBox* comboBox_TargetExportPaper = nullptr;
    QLabel* label_TargetExportDpi = nullptr;
    QSpinBox* spinBox_TargetExportDpi = nullptr;
    QPushButton* pushButton_ExportTarget = nullptr;
    QTextEdit* text_log = nullptr;

    QScrollArea* scrollArea = nullptr;
    QFrame* frame_right = nullptr;
    QGroupBox* groupBox_TargetSettings = nullptr;
    QRadioButton* radioButton_TargetChessboard = nullptr;
    QRadioButton* radioButton_TargetChArUco = nullptr;
    QRadioButton* radioButton_TargetRadonChessboardWithMarkers = nullptr;

    QGroupBox* groupBox_TargetChessboard = nullptr;
    QSpinBox* spinBox_ChessboardNumSquaresX = nullptr;
    QSpinBox* spinBox_ChessboardNumSquaresY = nullptr;
    QDoubleSpinBox* spinBox_ChessboardSquareWidth = nullptr;
    QCheckBox* checkBox_ChessboardIndependentSquareHeight = nullptr;
    QDoubleSpinBox* spinBox_ChessboardSquareHeight = nullptr;
    QCheckBox* checkBox_ChessboardExhaustiveSearch = nullptr;

    QGroupBox* groupBox_TargetChArUco = nullptr;
    QSpinBox* spinBox_ChArUcoWidth = nullptr;
    QSpinBox* spinBox_ChArUcoHeight = nullptr;
    QDoubleSpinBox* doubleSpinBox_ChArUcoSquareSize = nullptr;
    QDoubleSpinBox* doubleSpinBox_ArUcoMarkerSize = nullptr;
    QComboBox* comboBox_ChArUcoDictionary = nullptr;
    QCheckBox* checkBox_CharucoLegacy = nullptr;

    QGroupBox* groupBox_TargetRadonChessboardWithMarkers = nullptr;
    QSpinBox* spinBox_RadonChessboardNumSquaresX = nullptr;
    QSpinBox* spinBox_RadonChessboardNumSquaresY = nullptr;
    QDoubleSpinBox* spinBox_RadonChessboardSquareSize = nullptr;
    QSpinBox* spinBox_RadonChessboardMarkerPositionX = nullptr;
    QSpinBox* spinBox_RadonChessboardMarkerPositionY = nullptr;

    QLabel* label_TargetStatus = nullptr;

    QGroupBox* group_checker_calib = nullptr;
    QGroupBox* groupBox_2 = nullptr;
    QPushButton* button_checker_intr_calib = nullptr;
    QPushButton* button_checker_extr_calib = nullptr;
    QGroupBox* group_proj_calib = nullptr;
    QGroupBox* group_projector_resolution = nullptr;
    QSpinBox* spin_proj_width = nullptr;
    QSpinBox* spin_proj_height = nullptr;
    QPushButton* pushButton_generateGrayCodeImages = nullptr;
    QPushButton* button_checker_cam_proj_calib = nullptr;
    QGroupBox* group_robot = nullptr;
    QPushButton* button_hand_eye = nullptr;
    QPushButton* button_tool_flange = nullptr;
    QGroupBox* groupBox_sceneBasedCalibration = nullptr;
    QPushButton* button_manhattan_extr_calib = nullptr;
    QPushButton* pushButton_SaveCurrentSettingsInWorkingDirectory = nullptr;
};
