#include "robot/ui/RobotModuleWindow.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include <opencv2/imgcodecs.hpp>

#include <vtkActor.h>
#include <vtkCamera.h>
#include <vtkMatrix4x4.h>
#include <vtkGenericOpenGLRenderWindow.h>

#include <cmath>
#include <cstdio>

#include "app/ImageFile.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/ModuleForm.h"
#include "app/ui/SlotGuard.h"
#include "intrinsic/ErrorAnalysis.h"
#include "sensors/Pose.h"
#include "sensors/ui/SceneProps.h"
#include "widgets/ImageLabelWidget.h"
#include "widgets/ImageListMenu.h"
#include "widgets/VtkOpenGLWidget.h"

using namespace vantiro::robot;
using vantiro::intrinsic::colorStyleSheet;
using vantiro::intrinsic::errorColor;
using moduleform::groupBox;

namespace {

QRadioButton* radio(QWidget* parent, const char* name, const QString& text, bool checked = false)
{
    auto* button = new QRadioButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setChecked(checked);
    return button;
}

QLabel* label(QWidget* parent, const char* name, const QString& text)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    return l;
}

struct LabelEntry
{
    QLabel** label;
    const char* name;
    const char* text;
};

// A group of labels filled column by column into the given number of columns.
QGroupBox* labelGroup(QWidget* parent, const char* name, const QString& title, int columns,
                      std::initializer_list<LabelEntry> labels, const QFont& font = QFont())
{
    QGroupBox* group = groupBox(parent, name, title);
    auto* grid = new QGridLayout(group);
    const int rows = (int(labels.size()) + columns - 1) / columns;
    int i = 0;
    for (const LabelEntry& entry : labels) {
        *entry.label = label(group, entry.name, QString::fromUtf8(entry.text));
        if (font != QFont())
            (*entry.label)->setFont(font);
        grid->addWidget(*entry.label, i % rows, i / rows);
        ++i;
    }
    return group;
}

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

void colorLabel(QLabel* l, double value, double minimum, double maximum)
{
    l->setStyleSheet(colorStyleSheet(errorColor(value, minimum, maximum)));
}

// A TCP frame: smaller than the base's, so that a few dozen of them stay readable.
void addTcpGlyph(vtkRenderer* renderer, const cv::Matx33d& R, const cv::Vec3d& t)
{
    vtkSmartPointer<vtkActor> glyph = props::axesGlyph(100.0);
    glyph->SetUserMatrix(props::poseMatrix(R, t));
    renderer->AddActor(glyph);
}

const QChar kDegree(0x00B0);
const QChar kDelta(0x0394);

} // namespace

RobotModuleWindow::RobotModuleWindow(RobotModule module, const SensorObjectList& sensorList, QWidget* parent)
    : CalibrationModule(sensorList, parent), m_module(module), m_allPoses(vtkSmartPointer<vtkRenderer>::New()),
      m_view(vtkSmartPointer<vtkRenderer>::New())
{
    m_target.dictionary = 10;
    resize(1450, 900);
    buildForm();
    connectForm();
}

RobotModuleWindow::~RobotModuleWindow() = default;

void RobotModuleWindow::buildForm()
{
    const bool handEye = m_module == RobotModule::HandEye;
    auto* layout = new QHBoxLayout(this);

    // Left: objects, images and poses.
    auto* left = new QVBoxLayout();
    auto* objects = groupBox(this, "group_select_objects", QStringLiteral("Select Camera / Robot Base"));
    auto* objectsLayout = new QFormLayout(objects);
    combo_sensor = new QComboBox(objects);
    combo_sensor->setObjectName(QStringLiteral("combo_sensor"));
    combo_robot = new QComboBox(objects);
    combo_robot->setObjectName(QStringLiteral("combo_robot"));
    objectsLayout->addRow(QStringLiteral("Camera"), combo_sensor);
    objectsLayout->addRow(QStringLiteral("Robot Base"), combo_robot);
    left->addWidget(objects);

    group_image_tcp = groupBox(this, "group_image_tcp", QStringLiteral("Image / TCP List"));
    group_image_tcp->setToolTip(QStringLiteral("TCP =  Tool Center Point"));
    auto* lists = new QGridLayout(group_image_tcp);
    list_images = new QListWidget(group_image_tcp);
    list_images->setObjectName(QStringLiteral("list_images"));
    list_tcpPoses = new QListWidget(group_image_tcp);
    list_tcpPoses->setObjectName(QStringLiteral("list_tcpPoses"));
    button_open_images = new QPushButton(QStringLiteral("Open Image Files"), group_image_tcp);
    button_open_images->setObjectName(QStringLiteral("button_open_images"));
    button_open_tcp = new QPushButton(QStringLiteral("Open TCP File"), group_image_tcp);
    button_open_tcp->setObjectName(QStringLiteral("button_open_tcp"));
    lists->addWidget(list_images, 0, 0);
    lists->addWidget(list_tcpPoses, 0, 1);
    lists->addWidget(button_open_images, 1, 0);
    lists->addWidget(button_open_tcp, 1, 1);
    left->addWidget(group_image_tcp, 1);
    auto* leftWidget = new QWidget(this);
    leftWidget->setLayout(left);
    leftWidget->setFixedWidth(380);
    left->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(leftWidget);

    // Middle: the views over the log.
    auto* splitter = new QSplitter(Qt::Vertical, this);
    tabWidget_View = new QTabWidget(splitter);
    tabWidget_View->setObjectName(QStringLiteral("tabWidget_View"));
    tab_CamViewTcpPose = new QWidget();
    tab_CamViewTcpPose->setObjectName(QStringLiteral("tab_CamViewTcpPose"));
    auto* viewLayout = new QGridLayout(tab_CamViewTcpPose);
    image_label = new ImageLabelWidget(tab_CamViewTcpPose);
    image_label->setObjectName(QStringLiteral("image_label"));
    widget_vtk = new VtkOpenGLWidget(tab_CamViewTcpPose);
    widget_vtk->setObjectName(QStringLiteral("widget_vtk"));
    viewLayout->addWidget(image_label, 0, 0);
    viewLayout->addWidget(widget_vtk, 0, 1);
    viewLayout->setColumnStretch(0, 3);
    viewLayout->setColumnStretch(1, 2);
    viewLayout->setRowStretch(0, 1);

    auto* labels = new QHBoxLayout();
    group_reproj_err = labelGroup(tab_CamViewTcpPose, "group_reproj_err", QStringLiteral("Reprojection Error"), 1,
                                  {{&label_rms_err, "label_rms_err", "RMS: -"},
                                   {&label_min_err, "label_min_err", "Min: -"},
                                   {&label_max_err, "label_max_err", "Max: -"}});
    group_3d_err = labelGroup(tab_CamViewTcpPose, "group_3d_err", QStringLiteral("3D Error"), 1,
                              {{&label_rms_3d, "label_rms_3d", "RMS: -"},
                               {&label_trans_err, "label_trans_err", "dt:"},
                               {&label_rot_err, "label_rot_err", "dR:"}});
    // Position and orientation side by side, in a fixed-width font so that the numbers line up.
    groupBox_TcpPoses = labelGroup(tab_CamViewTcpPose, "groupBox_TcpPoses", QStringLiteral("TCP"), 2,
                                   {{&label_x, "label_x", "X:"},
                                    {&label_y, "label_y", "Y:"},
                                    {&label_z, "label_z", "Z:"},
                                    {&label_rx, "label_rx", "rX:"},
                                    {&label_ry, "label_ry", "rY:"},
                                    {&label_rz, "label_rz", "rZ:"}},
                                   QFont(QStringLiteral("Monospace")));
    labels->addWidget(group_reproj_err);
    labels->addWidget(group_3d_err);
    labels->addWidget(groupBox_TcpPoses, 1);
    viewLayout->addLayout(labels, 1, 0, 1, 2);
    tabWidget_View->addTab(tab_CamViewTcpPose, QStringLiteral("Cam View / TCP Pose"));

    tab_AllPoses3DView = new QWidget();
    tab_AllPoses3DView->setObjectName(QStringLiteral("tab_AllPoses3DView"));
    auto* allLayout = new QVBoxLayout(tab_AllPoses3DView);
    widget_vtk_allPoses = new VtkOpenGLWidget(tab_AllPoses3DView);
    widget_vtk_allPoses->setObjectName(QStringLiteral("widget_vtk_allPoses"));
    allLayout->addWidget(widget_vtk_allPoses);
    tabWidget_View->addTab(tab_AllPoses3DView, QStringLiteral("All Poses 3D View"));

    text_log = new QTextEdit(splitter);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    splitter->addWidget(tabWidget_View);
    splitter->addWidget(text_log);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    // Right: options and the run button.
    auto* right = new QVBoxLayout();
    group_length_unit = groupBox(this, "group_length_unit", QStringLiteral("Unit of Length"));
    auto* unit = new QHBoxLayout(group_length_unit);
    radio_m = radio(group_length_unit, "radio_m", QStringLiteral("m"), true);
    radio_mm = radio(group_length_unit, "radio_mm", QStringLiteral("mm"));
    unit->addWidget(radio_m);
    unit->addWidget(radio_mm);
    right->addWidget(group_length_unit);

    group_target_pose = groupBox(this, "group_target_pose", QStringLiteral("Target Pose Estimation"));
    auto* pose = new QVBoxLayout(group_target_pose);
    if (!handEye) {
        radio_EP3P = radio(group_target_pose, "radio_EP3P", QStringLiteral("EP3P"));
        pose->addWidget(radio_EP3P);
    }
    radio_iterative_PNP = radio(group_target_pose, "radio_iterative_PNP", QStringLiteral("Iterative PnP"), true);
    radio_EPNP = radio(group_target_pose, "radio_EPNP", QStringLiteral("EPnP"));
    pose->addWidget(radio_iterative_PNP);
    pose->addWidget(radio_EPNP);
    right->addWidget(group_target_pose);

    group_ransac = groupBox(this, "group_ransac", QStringLiteral("Use RANSAC Scheme"), true, false);
    auto* ransac = new QFormLayout(group_ransac);
    spin_max_iterations = new QSpinBox(group_ransac);
    spin_max_iterations->setObjectName(QStringLiteral("spin_max_iterations"));
    spin_max_iterations->setRange(1, 9999);
    spin_max_iterations->setValue(25);
    spin_reproj_err = new QDoubleSpinBox(group_ransac);
    spin_reproj_err->setObjectName(QStringLiteral("spin_reproj_err"));
    spin_reproj_err->setDecimals(handEye ? 3 : 2);
    spin_reproj_err->setRange(handEye ? 0.001 : 0.1, 999.0);
    spin_reproj_err->setSingleStep(0.1);
    spin_reproj_err->setValue(1.0);
    spin_confidence = new QSpinBox(group_ransac);
    spin_confidence->setObjectName(QStringLiteral("spin_confidence"));
    spin_confidence->setRange(1, 99);
    spin_confidence->setValue(50);
    ransac->addRow(QStringLiteral("Iterations"), spin_max_iterations);
    ransac->addRow(QStringLiteral("Max. reproj. Err. [px]"), spin_reproj_err);
    ransac->addRow(QStringLiteral("Confidence [%]"), spin_confidence);
    right->addWidget(group_ransac);

    if (handEye) {
        group_method = groupBox(this, "group_method", QStringLiteral("AX=XB Solve Method"));
        auto* method = new QVBoxLayout(group_method);
        radio_park = radio(group_method, "radio_park", QStringLiteral("Park"), true);
        radio_andreff = radio(group_method, "radio_andreff", QStringLiteral("Andreff"));
        radio_horaud = radio(group_method, "radio_horaud", QStringLiteral("Horaud"));
        method->addWidget(radio_park);
        method->addWidget(radio_andreff);
        method->addWidget(radio_horaud);
        right->addWidget(group_method);
    }

    button_calibrate = new QPushButton(QStringLiteral("Calibrate"), this);
    button_calibrate->setObjectName(QStringLiteral("button_calibrate"));
    button_calibrate->setMinimumHeight(40);
    right->addWidget(button_calibrate);
    right->addStretch(1);
    auto* rightWidget = new QWidget(this);
    rightWidget->setLayout(right);
    rightWidget->setFixedWidth(250);
    right->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rightWidget);

    group_reproj_err->setVisible(false);
    group_3d_err->setVisible(false);

    for (auto [widget, renderer] : {std::pair{widget_vtk, m_view.Get()}, std::pair{widget_vtk_allPoses, m_allPoses.Get()}}) {
        widget->renderWindow()->AddRenderer(renderer);
        moduleform::setTargetViewBackground(renderer);
    }
}

void RobotModuleWindow::connectForm()
{
    // Files and images enter through these slots: nothing they throw may reach the event loop.
    connect(button_open_images, &QPushButton::clicked, this, [this] { guardWithLog(text_log, [this] { openImages(); }); });
    connect(button_open_tcp, &QPushButton::clicked, this, [this] { guardWithLog(text_log, [this] { openTcpFiles(); }); });
    connect(button_calibrate, &QPushButton::clicked, this, &RobotModuleWindow::onCalibrateClicked);
    for (QListWidget* list : {list_images, list_tcpPoses})
        connect(list, &QListWidget::currentRowChanged, this,
                [this](int row) { guardWithLog(text_log, [this, row] { selectRow(row); }); });
    connect(tabWidget_View, &QTabWidget::currentChanged, this, [this](int) {
        // Poses may be there before any image.
        guardWithLog(text_log, [this] {
            showRow(list_images->count() > 0 ? list_images->currentRow() : list_tcpPoses->currentRow());
        });
    });
    TNQ::installCheckAllMenu(list_images);
    if (radio_EP3P) // four corners leave nothing for RANSAC to choose from
        connect(radio_EP3P, &QRadioButton::toggled, group_ransac, &QGroupBox::setDisabled);
}

void RobotModuleWindow::updateSensorNames()
{
    refillSensorCombos({combo_sensor, combo_robot});
}

RobotOptions RobotModuleWindow::options() const
{
    RobotOptions o;
    o.solver = radio_EP3P && radio_EP3P->isChecked() ? PoseSolver::EP3P
               : radio_EPNP->isChecked()             ? PoseSolver::EPnP
                                                     : PoseSolver::Iterative;
    o.useRansac = group_ransac->isChecked() && group_ransac->isEnabled();
    o.ransacIterations = spin_max_iterations->value();
    o.maxReprojectionError = float(spin_reproj_err->value());
    o.confidence = spin_confidence->value() / 100.0;
    o.metres = radio_m->isChecked();
    if (radio_horaud && radio_horaud->isChecked())
        o.method = HandEyeMethod::Horaud;
    else if (radio_andreff && radio_andreff->isChecked())
        o.method = HandEyeMethod::Andreff;
    else
        o.method = HandEyeMethod::Park;
    return o;
}

std::optional<SensorRef> RobotModuleWindow::selectedObject(QComboBox* combo) const
{
    const auto object = objectAtRow(combo->currentIndex());
    if (!object)
        return std::nullopt;
    return SensorRef{object->id, combo->currentText()};
}

void RobotModuleWindow::clearResult()
{
    m_result = RobotResult();
    m_viewOfRow.clear();
    for (QListWidget* list : {list_images, list_tcpPoses}) {
        const QSignalBlocker block(list);
        for (int i = 0; i < list->count(); ++i)
            list->item(i)->setBackground(QBrush());
    }
    m_allPoses->RemoveAllViewProps();
    widget_vtk_allPoses->render();
}

void RobotModuleWindow::openImages()
{
    // The running routine works on the current list.
    if (busy())
        return;
    const QSignalBlocker block(list_images);
    const QStringList files = loadImageList(list_images, text_log, QStringLiteral("Calibration Image Files"),
                                            [this](const QStringList& paths) { m_imagePaths = paths; });
    if (files.isEmpty())
        return;
    clearResult();
    showRow(list_images->currentRow());
}

void RobotModuleWindow::openTcpFiles()
{
    if (busy())
        return;
    const QStringList files = vantiro::dialogs::openFileNames(this, QStringLiteral("Open TCP File(s)"),
                                                              workingDirectory(), QStringLiteral("TCP Files (*.xml *.txt)"));
    // Cancel keeps the poses there are.
    if (files.isEmpty())
        return;
    m_poses.clear();
    clearResult();
    TextEditLogSink log(text_log);
    TcpPoseList read = readTcpPoseFiles(files, log);
    m_poses = std::move(read.poses);
    {
        const QSignalBlocker block(list_tcpPoses);
        list_tcpPoses->clear();
        list_tcpPoses->addItems(read.entries);
    }
    groupBox_TcpPoses->setVisible(true);
    group_reproj_err->setVisible(false);
    group_3d_err->setVisible(false);
    if (!m_poses.empty()) {
        list_tcpPoses->setCurrentRow(0);
        showRow(0);
    }
}

void RobotModuleWindow::onCalibrateClicked()
{
    runOrAbort(button_calibrate, QStringLiteral("Calibrate"), [this] {
        // Nothing may replace the lists while the run uses them; they open again however the run ends.
        struct ListsLocked
        {
            QPushButton* images;
            QPushButton* tcp;
            ListsLocked(QPushButton* a, QPushButton* b) : images(a), tcp(b)
            {
                images->setEnabled(false);
                tcp->setEnabled(false);
            }
            ~ListsLocked()
            {
                images->setEnabled(true);
                tcp->setEnabled(true);
            }
        };
        const ListsLocked locked(button_open_images, button_open_tcp);
        calibrate();
    });
}

void RobotModuleWindow::calibrate()
{
    clearResult();
    RobotRequest request;
    request.module = m_module;
    request.options = options();
    request.workingDirectory = workingDirectory();
    MainWindowSettings target;
    target.targetType = Chessboard;
    target.dictionary = 10;
    requestTargetSettings(target);
    request.target = target;
    m_K.release();
    m_imageSize = cv::Size();
    if (const auto camera = selectedObject(combo_sensor)) {
        cv::Mat kc;
        requestIntrinsics(camera->id, m_K, kc, m_imageSize);
        request.K = m_K;
        request.distortion = kc;
        request.imageSize = m_imageSize;
    }

    std::vector<RobotImage> images;
    for (int i = 0; i < list_images->count() && i < m_imagePaths.size(); ++i) {
        RobotImage image;
        image.path = m_imagePaths[i];
        image.text = list_images->item(i)->text();
        image.checked = list_images->item(i)->checkState() == Qt::Checked;
        images.push_back(image);
    }

    RobotHooks hooks;
    hooks.abort = abortCheck();
    hooks.camera = [this] { return selectedObject(combo_sensor); };
    hooks.robot = [this] { return selectedObject(combo_robot); };
    hooks.storeExtrinsics = [this](int camera, int robot, const cv::Matx33d& R, const cv::Matx31d& t) {
        handOverExtrinsics(camera, robot, R, t);
    };
    hooks.reportException = [](const QString& message) {
        std::fputs(message.toLocal8Bit().constData(), stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    };
    TextEditLogSink log(text_log);
    m_result = calibrateRobot(images, m_poses, request, hooks, log);
    m_target = target;

    // Rows left out show unchecked and grey, with their TCP rows.
    {
        const QSignalBlocker blockImages(list_images);
        const QSignalBlocker blockPoses(list_tcpPoses);
        for (size_t i = 0; i < images.size(); ++i) {
            if (!images[i].dropped)
                continue;
            QListWidgetItem* item = list_images->item(int(i));
            item->setCheckState(Qt::Unchecked);
            item->setBackground(QColor(vantiro::logcolor::Grey));
            if (QListWidgetItem* pose = list_tcpPoses->item(int(i)))
                pose->setBackground(QColor(vantiro::logcolor::Grey));
        }
    }
    for (size_t k = 0; k < m_result.views.size(); ++k)
        m_viewOfRow[m_result.views[k].row] = k;
    if (m_result.status == RobotStatus::Calibrated) {
        std::vector<const RobotView*> all;
        for (const RobotView& v : m_result.views)
            all.push_back(&v);
        fillScene(m_allPoses, all, true);
        tabWidget_View->setCurrentWidget(tab_AllPoses3DView);
    }
    showRow(list_images->currentRow());
}

void RobotModuleWindow::selectRow(int row)
{
    if (m_selecting)
        return;
    m_selecting = true;
    // The two lists go in step: image i was taken at pose i.
    for (QListWidget* list : {list_images, list_tcpPoses})
        if (row >= 0 && row < list->count() && list->currentRow() != row)
            list->setCurrentRow(row);
    m_selecting = false;
    showRow(row);
}

void RobotModuleWindow::showRow(int row)
{
    const auto found = m_viewOfRow.find(row);
    const QListWidgetItem* item = row >= 0 ? list_images->item(row) : nullptr;
    const RobotView* view = m_result.calibrated && item && item->checkState() == Qt::Checked && found != m_viewOfRow.end()
                                ? &m_result.views[found->second]
                                : nullptr;
    if (item && row < m_imagePaths.size() && image_label->isVisible()) {
        const cv::Mat image = vantiro::readImageChecked(m_imagePaths[row], cv::IMREAD_COLOR);
        if (view) {
            image_label->clearOverlays();
            image_label->setImageWithOverlays(image, view->imagePoints, view->colours, view->projected);
        } else {
            image_label->setImage(image);
        }
    }
    showRowLabels(row, view);
    showTcp(row);

    // This view alone in 3D: the base, the TCP and, once calibrated, the camera and the target.
    if (view) {
        fillScene(m_view, {view}, false);
    } else {
        m_view->RemoveAllViewProps();
        props::axesAtPose(m_view);
        if (row >= 0 && row < int(m_poses.size())) {
            const TcpPose& p = m_poses[size_t(row)];
            const cv::Vec3d t = options().metres ? p.t * 1000.0 : p.t;
            addTcpGlyph(m_view, tcpRotation(p), t);
        }
        m_view->ResetCamera();
        widget_vtk->render();
    }
}

void RobotModuleWindow::showRowLabels(int, const RobotView* view)
{
    if (!view) {
        label_rms_err->setText(QStringLiteral("RMS: -"));
        label_min_err->setText(QStringLiteral("Min: -"));
        label_max_err->setText(QStringLiteral("Max: -"));
        label_rms_3d->setText(QStringLiteral("RMS: -"));
        label_trans_err->setText(QStringLiteral("||") + kDelta + QStringLiteral("t||: -"));
        label_rot_err->setText(kDelta + QStringLiteral("R: -"));
        for (QLabel* l : {label_rms_err, label_min_err, label_max_err})
            l->setStyleSheet(QString());
        return;
    }
    label_rms_err->setText(QStringLiteral("RMS: ") + fixed4(view->rms) + QStringLiteral(" px"));
    colorLabel(label_rms_err, view->rms, view->minError, view->maxError);
    label_min_err->setText(QStringLiteral("Min: ") + fixed4(view->minError) + QStringLiteral(" px"));
    colorLabel(label_min_err, view->minError, view->minError, view->maxError);
    label_max_err->setText(QStringLiteral("Max: ") + fixed4(view->maxError) + QStringLiteral(" px"));
    colorLabel(label_max_err, view->maxError, view->minError, view->maxError);
    label_rms_3d->setText(QStringLiteral("RMS: ") + fixed4(view->rms3d) + QStringLiteral(" mm"));
    label_trans_err->setText(QStringLiteral("||") + kDelta + QStringLiteral("t||: ") + fixed4(view->translationDeviation) +
                             QStringLiteral(" mm"));
    label_rot_err->setText(kDelta + QStringLiteral("R: ") + fixed4(view->rotationDeviation) + kDegree);
    group_reproj_err->setVisible(true);
    group_3d_err->setVisible(true);
}

void RobotModuleWindow::showTcp(int row)
{
    groupBox_TcpPoses->setTitle(QStringLiteral("TCP w.r.t. ") + combo_robot->currentText());
    if (row < 0 || row >= int(m_poses.size())) {
        for (QLabel* l : {label_x, label_y, label_z})
            l->setText(l->objectName().right(1).toUpper() + QStringLiteral(": -"));
        label_rx->setText(QStringLiteral(" RX: -"));
        label_ry->setText(QStringLiteral(" RY: -"));
        label_rz->setText(QStringLiteral(" RZ: -"));
        return;
    }
    // As read from the file, whatever the unit.
    const TcpPose& p = m_poses[size_t(row)];
    label_x->setText(QStringLiteral("X: %1 m").arg(p.t[0], 7, 'f', 4));
    label_y->setText(QStringLiteral("Y: %1 m").arg(p.t[1], 7, 'f', 4));
    label_z->setText(QStringLiteral("Z: %1 m").arg(p.t[2], 7, 'f', 4));
    const PoseAngles a = rotationToAngles(tcpRotation(p));
    label_rx->setText(QStringLiteral(" RX: %1 (roll %2%3)").arg(p.r[0], 7, 'f', 4).arg(a.yaw, 0, 'f', 2).arg(kDegree));
    label_ry->setText(QStringLiteral(" RY: %1 (pitch %2%3)").arg(p.r[1], 7, 'f', 4).arg(a.pitch, 0, 'f', 2).arg(kDegree));
    label_rz->setText(QStringLiteral(" RZ: %1 (yaw %2%3)").arg(p.r[2], 7, 'f', 4).arg(a.roll, 0, 'f', 2).arg(kDegree));
}

void RobotModuleWindow::fillScene(vtkRenderer* renderer, const std::vector<const RobotView*>& views, bool withLabels)
{
    renderer->RemoveAllViewProps();
    const bool handEye = m_module == RobotModule::HandEye;
    const cv::Vec3d origin(0, 0, 0);
    props::axesAtPose(renderer);
    if (withLabels)
        props::nameLabel(renderer, combo_robot->currentText(), &origin);
    const cv::Size imageSize = m_imageSize.empty() ? m_result.imageSize : m_imageSize;
    auto frustumAt = [&](const cv::Matx33d& R, const cv::Vec3d& t) {
        if (!m_K.empty() && !imageSize.empty())
            props::frustum(renderer, m_K, imageSize, 500.0, cv::Mat(R), cv::Mat(t));
    };
    // The fixed camera of the tool-flange set-up.
    if (!handEye)
        frustumAt(m_result.RY, m_result.tY);
    double lo = 1e300, hi = 0.0;
    for (const RobotView* v : views) {
        lo = std::min(lo, v->rms3d);
        hi = std::max(hi, v->rms3d);
    }
    for (const RobotView* v : views) {
        addTcpGlyph(renderer, v->tcpR, v->tcpT);
        if (withLabels && v->row < int(m_poses.size()))
            props::nameLabel(renderer, QString::fromStdString(m_poses[size_t(v->row)].name), &v->tcpT);
        // Target -> base: G X C (hand-eye, through the camera on the tool) or G X (on the flange).
        cv::Matx33d boardR = v->tcpR * m_result.RX;
        cv::Vec3d boardT = v->tcpR * m_result.tX + v->tcpT;
        if (handEye) {
            frustumAt(boardR, boardT); // the camera at G X
            boardT = boardR * v->tvec + boardT;
            boardR = boardR * v->targetR();
        }
        // The plane covers the corners the view used.
        float minX = 1e30f, minY = 1e30f, maxX = -1e30f, maxY = -1e30f;
        for (const cv::Point3f& p : v->objectPoints) {
            minX = std::min(minX, p.x);
            minY = std::min(minY, p.y);
            maxX = std::max(maxX, p.x);
            maxY = std::max(maxY, p.y);
        }
        const double sx = m_target.squareWidth > 0 ? m_target.squareWidth : 1.0;
        const double sy = m_target.squareHeight > 0 ? m_target.squareHeight : 1.0;
        const int nx = std::max(1, int(std::lround((maxX - minX) / sx)));
        const int ny = std::max(1, int(std::lround((maxY - minY) / sy)));
        props::boardPlane(renderer, nullptr, boardR, boardR * cv::Vec3d(minX, minY, 0.0) + boardT, nx, ny, sx, sy,
                          errorColor(v->rms3d, lo, hi), 0.5);
    }
    // The robot base frame has z up; look from the front, a little from above.
    vtkCamera* camera = renderer->GetActiveCamera();
    camera->SetFocalPoint(0, 0, 0);
    camera->SetPosition(-1, -1.5, 1);
    camera->SetViewUp(0, 0, 1);
    renderer->ResetCamera();
    (renderer == m_view.Get() ? widget_vtk : widget_vtk_allPoses)->render();
}
