#include "app/ui/MainWindowForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpacerItem>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include "sensors/ui/SensorTree.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {

template <class T>
T* named(T* w, const char* name)
{
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QSpinBox* intBox(QWidget* parent, const char* name, int min, int max, int value)
{
    auto* s = named(new QSpinBox(parent), name);
    s->setRange(min, max);
    s->setValue(value);
    return s;
}

QDoubleSpinBox* doubleBox(QWidget* parent, const char* name, double min, double max, double value)
{
    auto* s = named(new QDoubleSpinBox(parent), name);
    s->setDecimals(3);
    s->setRange(min, max);
    s->setValue(value);
    return s;
}

QLabel* squaresLabel(const QString& text, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    l->setToolTip(QStringLiteral("Number of inner corners of the chessboard target"));
    return l;
}

QFrame* panel(QWidget* parent, const char* name)
{
    auto* f = named(new QFrame(parent), name);
    f->setFrameShape(QFrame::StyledPanel);
    f->setFrameShadow(QFrame::Raised);
    return f;
}

} // namespace

void MainWindowForm::setupUi(QMainWindow* window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    centralwidget = named(new QWidget(window), "centralwidget");
    auto* outer = new QVBoxLayout(centralwidget);

    // Working directory row.
    auto* top = new QHBoxLayout();
    button_set_working_directory =
        named(new QPushButton(QStringLiteral("  Set Working Directory  "), centralwidget), "button_set_working_directory");
    comboBox_WorkingDirectory = named(new QComboBox(centralwidget), "comboBox_WorkingDirectory");
    comboBox_WorkingDirectory->setEditable(false);
    comboBox_WorkingDirectory->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button_remove_from_recent_working_directories_list =
        named(new QPushButton(QStringLiteral("Remove From List"), centralwidget),
              "button_remove_from_recent_working_directories_list");
    button_open_working_directory =
        named(new QPushButton(QStringLiteral(" Open In Explorer "), centralwidget), "button_open_working_directory");
    top->addWidget(button_set_working_directory);
    top->addWidget(comboBox_WorkingDirectory, 1);
    top->addWidget(button_remove_from_recent_working_directories_list);
    top->addWidget(button_open_working_directory);
    outer->addLayout(top);

    auto* columns = new QHBoxLayout();
    outer->addLayout(columns, 1);

    // Left: logo and calibration objects.
    frame_left = panel(centralwidget, "frame_left");
    auto* leftLayout = new QVBoxLayout(frame_left);
    Layout_TNQLogo = named(new QHBoxLayout(), "Layout_TNQLogo");
    leftLayout->addLayout(Layout_TNQLogo);
    layout_left = named(new QGroupBox(QStringLiteral("Calibration Objects (Cameras, Projectors, etc.)"), frame_left),
                        "layout_left");
    layout_left->setFixedWidth(300);
    auto* sensorsLayout = new QVBoxLayout(layout_left);
    widget_sensors = named(new SensorTree(layout_left), "widget_sensors");
    sensorsLayout->addWidget(widget_sensors);
    leftLayout->addWidget(layout_left, 1);
    columns->addWidget(frame_left);

    // Middle: 3D views and the log.
    frame_middle = panel(centralwidget, "frame_middle");
    auto* middleLayout = new QVBoxLayout(frame_middle);
    tabWidget = named(new QTabWidget(frame_middle), "tabWidget");
    tab_SceneView = named(new QWidget(), "tab_SceneView");
    auto* sceneLayout = new QVBoxLayout(tab_SceneView);
    QVTKWidget_Scene = named(new VtkOpenGLWidget(tab_SceneView), "QVTKWidget_Scene");
    pushButton_SceneResetView = named(new QPushButton(QStringLiteral("Reset View"), tab_SceneView), "pushButton_SceneResetView");
    sceneLayout->addWidget(QVTKWidget_Scene, 1);
    sceneLayout->addWidget(pushButton_SceneResetView);
    tabWidget->addTab(tab_SceneView, QStringLiteral("Scene Preview"));
    tab_TargetView = named(new QWidget(), "tab_TargetView");
    auto* targetLayout = new QVBoxLayout(tab_TargetView);
    QVTKWidget_Target = named(new VtkOpenGLWidget(tab_TargetView), "QVTKWidget_Target");
    pushButton_TargetResetView =
        named(new QPushButton(QStringLiteral("Reset View"), tab_TargetView), "pushButton_TargetResetView");
    targetLayout->addWidget(QVTKWidget_Target, 1);
    // Below the preview: its view reset, and the export of the board to print.
    auto* targetRow = new QHBoxLayout();
    targetRow->addWidget(pushButton_TargetResetView, 1);
    label_TargetExportPaper = named(new QLabel(QStringLiteral("Paper"), tab_TargetView), "label_TargetExportPaper");
    comboBox_TargetExportPaper = named(new QComboBox(tab_TargetView), "comboBox_TargetExportPaper");
    comboBox_TargetExportPaper->setToolTip(
        QStringLiteral("Paper the board is printed on at true scale; Fit makes a page just large enough"));
    label_TargetExportDpi = named(new QLabel(QStringLiteral("PNG dpi"), tab_TargetView), "label_TargetExportDpi");
    spinBox_TargetExportDpi = named(new QSpinBox(tab_TargetView), "spinBox_TargetExportDpi");
    spinBox_TargetExportDpi->setToolTip(QStringLiteral("Resolution of an exported PNG file"));
    pushButton_ExportTarget =
        named(new QPushButton(QStringLiteral("Export Target\u2026"), tab_TargetView), "pushButton_ExportTarget");
    pushButton_ExportTarget->setToolTip(QStringLiteral("Write the board as a PDF, SVG or PNG page to print at 100 %"));
    for (QWidget* w : std::initializer_list<QWidget*>{label_TargetExportPaper, comboBox_TargetExportPaper,
                                                      label_TargetExportDpi, spinBox_TargetExportDpi,
                                                      pushButton_ExportTarget})
        targetRow->addWidget(w);
    targetLayout->addLayout(targetRow);
    tabWidget->addTab(tab_TargetView, QStringLiteral("Target Preview"));
    middleLayout->addWidget(tabWidget, 3);
    text_log = named(new QTextEdit(frame_middle), "text_log");
    text_log->setReadOnly(true);
    text_log->setAcceptRichText(true);
    text_log->setMinimumWidth(400);
    text_log->setFont(QFont(QStringLiteral("Segoe UI"), 9));
    middleLayout->addWidget(text_log, 1);
    columns->addWidget(frame_middle, 1);

    // Right: target settings and module buttons, in a scroll area.
    scrollArea = named(new QScrollArea(centralwidget), "scrollArea");
    scrollArea->setWidgetResizable(true);
    scrollArea->setFixedWidth(340 + 20);
    frame_right = panel(nullptr, "frame_right");
    frame_right->setFixedWidth(340);
    auto* right = new QVBoxLayout(frame_right);

    groupBox_TargetSettings = named(new QGroupBox(QStringLiteral("Calibration Target"), frame_right), "groupBox_TargetSettings");
    auto* targetBox = new QVBoxLayout(groupBox_TargetSettings);
    radioButton_TargetChessboard =
        named(new QRadioButton(QStringLiteral("Chessboard"), groupBox_TargetSettings), "radioButton_TargetChessboard");
    radioButton_TargetChArUco = named(new QRadioButton(QStringLiteral("ChArUco"), groupBox_TargetSettings), "radioButton_TargetChArUco");
    radioButton_TargetRadonChessboardWithMarkers =
        named(new QRadioButton(QStringLiteral("Radon Chessboard With Markers"), groupBox_TargetSettings),
              "radioButton_TargetRadonChessboardWithMarkers");
    radioButton_TargetChessboard->setChecked(true);
    targetBox->addWidget(radioButton_TargetChessboard);
    targetBox->addWidget(radioButton_TargetChArUco);
    targetBox->addWidget(radioButton_TargetRadonChessboardWithMarkers);

    groupBox_TargetChessboard =
        named(new QGroupBox(QStringLiteral("Chessboard Settings"), groupBox_TargetSettings), "groupBox_TargetChessboard");
    {
        auto* g = new QGridLayout(groupBox_TargetChessboard);
        QWidget* p = groupBox_TargetChessboard;
        spinBox_ChessboardNumSquaresX = intBox(p, "spinBox_ChessboardNumSquaresX", 3, 99, 10);
        spinBox_ChessboardNumSquaresY = intBox(p, "spinBox_ChessboardNumSquaresY", 3, 999, 9);
        spinBox_ChessboardSquareWidth = doubleBox(p, "spinBox_ChessboardSquareWidth", 0.001, 999999, 100);
        checkBox_ChessboardIndependentSquareHeight = named(new QCheckBox(p), "checkBox_ChessboardIndependentSquareHeight");
        spinBox_ChessboardSquareHeight = doubleBox(p, "spinBox_ChessboardSquareHeight", 0.001, 999999, 100);
        spinBox_ChessboardSquareHeight->setEnabled(false);
        checkBox_ChessboardExhaustiveSearch =
            named(new QCheckBox(QStringLiteral("Exhaustive Search"), p), "checkBox_ChessboardExhaustiveSearch");
        g->addWidget(squaresLabel(QStringLiteral("Num Squares X"), p), 0, 1);
        g->addWidget(spinBox_ChessboardNumSquaresX, 0, 2);
        g->addWidget(squaresLabel(QStringLiteral("Num Squares Y"), p), 1, 1);
        g->addWidget(spinBox_ChessboardNumSquaresY, 1, 2);
        g->addWidget(new QLabel(QStringLiteral("Square Width [mm]"), p), 2, 1);
        g->addWidget(spinBox_ChessboardSquareWidth, 2, 2);
        g->addWidget(checkBox_ChessboardIndependentSquareHeight, 3, 0);
        g->addWidget(new QLabel(QStringLiteral("Square Height [mm]"), p), 3, 1);
        g->addWidget(spinBox_ChessboardSquareHeight, 3, 2);
        g->addWidget(checkBox_ChessboardExhaustiveSearch, 4, 1, 1, 2);
    }
    targetBox->addWidget(groupBox_TargetChessboard);

    groupBox_TargetChArUco =
        named(new QGroupBox(QStringLiteral("ChArUco Settings"), groupBox_TargetSettings), "groupBox_TargetChArUco");
    {
        auto* f = new QFormLayout(groupBox_TargetChArUco);
        QWidget* p = groupBox_TargetChArUco;
        spinBox_ChArUcoWidth = intBox(p, "spinBox_ChArUcoWidth", 2, 999, 10);
        spinBox_ChArUcoHeight = intBox(p, "spinBox_ChArUcoHeight", 2, 999, 9);
        doubleSpinBox_ChArUcoSquareSize = doubleBox(p, "doubleSpinBox_ChArUcoSquareSize", 7, 999999, 100);
        doubleSpinBox_ArUcoMarkerSize = doubleBox(p, "doubleSpinBox_ArUcoMarkerSize", 7, 999999, 75);
        comboBox_ChArUcoDictionary = named(new QComboBox(p), "comboBox_ChArUcoDictionary");
        checkBox_CharucoLegacy = named(new QCheckBox(QStringLiteral("ChArUco Legacy"), p), "checkBox_CharucoLegacy");
        f->addRow(squaresLabel(QStringLiteral("Num Squares X"), p), spinBox_ChArUcoWidth);
        f->addRow(squaresLabel(QStringLiteral("Num Squares Y"), p), spinBox_ChArUcoHeight);
        f->addRow(QStringLiteral("Square Size [mm]"), doubleSpinBox_ChArUcoSquareSize);
        f->addRow(QStringLiteral("ArUco Size [mm]"), doubleSpinBox_ArUcoMarkerSize);
        f->addRow(QStringLiteral("Dictionary"), comboBox_ChArUcoDictionary);
        f->addRow(checkBox_CharucoLegacy);
    }
    targetBox->addWidget(groupBox_TargetChArUco);

    groupBox_TargetRadonChessboardWithMarkers =
        named(new QGroupBox(QStringLiteral("Radon Chessboard With Markers Settings"), groupBox_TargetSettings),
              "groupBox_TargetRadonChessboardWithMarkers");
    {
        auto* f = new QFormLayout(groupBox_TargetRadonChessboardWithMarkers);
        QWidget* p = groupBox_TargetRadonChessboardWithMarkers;
        spinBox_RadonChessboardNumSquaresX = intBox(p, "spinBox_RadonChessboardNumSquaresX", 3, 99, 10);
        spinBox_RadonChessboardNumSquaresY = intBox(p, "spinBox_RadonChessboardNumSquaresY", 3, 999, 9);
        spinBox_RadonChessboardSquareSize = doubleBox(p, "spinBox_RadonChessboardSquareSize", 0.001, 999999, 100);
        spinBox_RadonChessboardMarkerPositionX = intBox(p, "spinBox_RadonChessboardMarkerPositionX", 1, 99, 1);
        spinBox_RadonChessboardMarkerPositionY = intBox(p, "spinBox_RadonChessboardMarkerPositionY", 1, 99, 1);
        f->addRow(squaresLabel(QStringLiteral("Num Squares X"), p), spinBox_RadonChessboardNumSquaresX);
        f->addRow(squaresLabel(QStringLiteral("Num Squares Y"), p), spinBox_RadonChessboardNumSquaresY);
        f->addRow(QStringLiteral("Square Size [mm]"), spinBox_RadonChessboardSquareSize);
        f->addRow(QStringLiteral("Marker Position X"), spinBox_RadonChessboardMarkerPositionX);
        f->addRow(QStringLiteral("Marker Position Y"), spinBox_RadonChessboardMarkerPositionY);
    }
    targetBox->addWidget(groupBox_TargetRadonChessboardWithMarkers);

    auto* status = new QHBoxLayout();
    status->addWidget(new QLabel(QStringLiteral("Target Status:"), groupBox_TargetSettings));
    label_TargetStatus = named(new QLabel(groupBox_TargetSettings), "label_TargetStatus");
    status->addWidget(label_TargetStatus, 1);
    targetBox->addLayout(status);
    right->addWidget(groupBox_TargetSettings);

    group_checker_calib =
        named(new QGroupBox(QStringLiteral("Target-based Calibration"), frame_right), "group_checker_calib");
    auto* checker = new QVBoxLayout(group_checker_calib);
    groupBox_2 = named(new QGroupBox(QStringLiteral("Camera Calibration"), group_checker_calib), "groupBox_2");
    auto* camera = new QVBoxLayout(groupBox_2);
    button_checker_intr_calib =
        named(new QPushButton(QStringLiteral("Camera Intrinsics"), groupBox_2), "button_checker_intr_calib");
    button_checker_extr_calib =
        named(new QPushButton(QStringLiteral("Extrinsic Stereo"), groupBox_2), "button_checker_extr_calib");
    camera->addWidget(button_checker_intr_calib);
    camera->addWidget(button_checker_extr_calib);
    checker->addWidget(groupBox_2);

    group_proj_calib =
        named(new QGroupBox(QStringLiteral("Projector-Camera Calibration"), group_checker_calib), "group_proj_calib");
    auto* proj = new QVBoxLayout(group_proj_calib);
    group_projector_resolution = named(new QGroupBox(QStringLiteral("Projector Resolution W x H"), group_proj_calib),
                                       "group_projector_resolution");
    auto* res = new QGridLayout(group_projector_resolution);
    spin_proj_width = intBox(group_projector_resolution, "spin_proj_width", 1, 999999, 1024);
    spin_proj_height = intBox(group_projector_resolution, "spin_proj_height", 1, 999999, 768);
    pushButton_generateGrayCodeImages =
        named(new QPushButton(QStringLiteral("Generate Gray-Code Projector Images"), group_projector_resolution),
              "pushButton_generateGrayCodeImages");
    res->addWidget(spin_proj_width, 0, 0);
    res->addWidget(spin_proj_height, 0, 1);
    res->addWidget(pushButton_generateGrayCodeImages, 1, 0, 1, 2);
    proj->addWidget(group_projector_resolution);
    button_checker_cam_proj_calib =
        named(new QPushButton(QStringLiteral("Projector Calibration"), group_proj_calib), "button_checker_cam_proj_calib");
    proj->addWidget(button_checker_cam_proj_calib);
    checker->addWidget(group_proj_calib);

    group_robot = named(new QGroupBox(QStringLiteral("Robot-Camera Calibration"), group_checker_calib), "group_robot");
    auto* robot = new QVBoxLayout(group_robot);
    button_hand_eye = named(new QPushButton(QStringLiteral("Hand-Eye"), group_robot), "button_hand_eye");
    button_tool_flange = named(new QPushButton(QStringLiteral("Tool-Flange (Robot-World)"), group_robot), "button_tool_flange");
    robot->addWidget(button_hand_eye);
    robot->addWidget(button_tool_flange);
    checker->addWidget(group_robot);
    right->addWidget(group_checker_calib);

    groupBox_sceneBasedCalibration = named(new QGroupBox(QStringLiteral("Scene-based Calibration"), frame_right),
                                           "groupBox_sceneBasedCalibration");
    auto* sceneBased = new QVBoxLayout(groupBox_sceneBasedCalibration);
    button_manhattan_extr_calib = named(new QPushButton(QStringLiteral("Manhattan World"), groupBox_sceneBasedCalibration),
                                        "button_manhattan_extr_calib");
    sceneBased->addWidget(button_manhattan_extr_calib);
    right->addWidget(groupBox_sceneBasedCalibration);

    right->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    pushButton_SaveCurrentSettingsInWorkingDirectory =
        named(new QPushButton(QStringLiteral("Save Current Settings"), frame_right),
              "pushButton_SaveCurrentSettingsInWorkingDirectory");
    right->addWidget(pushButton_SaveCurrentSettingsInWorkingDirectory);

    scrollArea->setWidget(frame_right);
    columns->addWidget(scrollArea);

    window->setCentralWidget(centralwidget);
}
