#include "intrinsic/ui/IntrinsicCalibrationWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vtkGenericOpenGLRenderWindow.h>

#include "app/ImageFile.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/ModuleForm.h"
#include "app/ui/SlotGuard.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/Undistortion.h"
#include "intrinsic/ui/QualityTab.h"
#include "sensors/ui/SceneProps.h"
#include "widgets/ImageLabelWidget.h"
#include "widgets/ImageListMenu.h"
#include "widgets/VtkOpenGLWidget.h"

using namespace vantiro::intrinsic;

namespace {

using moduleform::checkBox;
using moduleform::groupBox;
using moduleform::toQColor;

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

} // namespace

IntrinsicCalibrationWidget::IntrinsicCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent)
    : CalibrationModule(sensorList, parent), m_renderer(vtkSmartPointer<vtkRenderer>::New())
{
    m_target.dictionary = 10;
    setWindowTitle(QStringLiteral("Intrinsic Calibration"));
    resize(1400, 860);
    buildForm();
    connectForm();
}

IntrinsicCalibrationWidget::~IntrinsicCalibrationWidget() = default;

void IntrinsicCalibrationWidget::buildForm()
{
    auto* layout = new QHBoxLayout(this);

    // Left: object and images.
    auto* left = new QVBoxLayout();
    auto* sensorGroup = groupBox(this, "group_select_camera", QStringLiteral("Select Camera"));
    auto* sensorLayout = new QVBoxLayout(sensorGroup);
    combo_sensor = new QComboBox(sensorGroup);
    combo_sensor->setObjectName(QStringLiteral("combo_sensor"));
    sensorLayout->addWidget(combo_sensor);
    left->addWidget(sensorGroup);

    group_image_list = groupBox(this, "group_image_list", QStringLiteral("Image List"));
    auto* listLayout = new QVBoxLayout(group_image_list);
    list_images = new QListWidget(group_image_list);
    list_images->setObjectName(QStringLiteral("list_images"));
    listLayout->addWidget(list_images);
    button_change_dir = new QPushButton(QStringLiteral("Open Files"), group_image_list);
    button_change_dir->setObjectName(QStringLiteral("button_change_dir"));
    listLayout->addWidget(button_change_dir);
    left->addWidget(group_image_list, 1);
    auto* leftWidget = new QWidget(this);
    leftWidget->setLayout(left);
    leftWidget->setFixedWidth(260);
    left->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(leftWidget);

    // Middle: views over the log.
    auto* splitter = new QSplitter(Qt::Vertical, this);
    tabWidget = new QTabWidget(splitter);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    auto* tab2d = new QWidget();
    tab2d->setObjectName(QStringLiteral("tab_2d"));
    auto* layout2d = new QVBoxLayout(tab2d);
    group_reproj_err = groupBox(tab2d, "group_reproj_err", QStringLiteral("Reprojection Error"));
    auto* errLayout = new QHBoxLayout(group_reproj_err);
    label_rms_err = new QLabel(QStringLiteral("RMS:"), group_reproj_err);
    label_rms_err->setObjectName(QStringLiteral("label_rms_err"));
    label_min_err = new QLabel(QStringLiteral("Min:"), group_reproj_err);
    label_min_err->setObjectName(QStringLiteral("label_min_err"));
    label_max_err = new QLabel(QStringLiteral("Max:"), group_reproj_err);
    label_max_err->setObjectName(QStringLiteral("label_max_err"));
    errLayout->addWidget(label_rms_err);
    errLayout->addWidget(label_min_err);
    errLayout->addWidget(label_max_err);
    errLayout->addStretch(1);
    layout2d->addWidget(group_reproj_err);
    image_label = new ImageLabelWidget(tab2d);
    image_label->setObjectName(QStringLiteral("image_label"));
    layout2d->addWidget(image_label, 1);
    tabWidget->addTab(tab2d, QStringLiteral("2D Targets"));
    auto* tab3d = new QWidget();
    tab3d->setObjectName(QStringLiteral("tab_3d"));
    auto* layout3d = new QVBoxLayout(tab3d);
    widget_vtk = new VtkOpenGLWidget(tab3d);
    widget_vtk->setObjectName(QStringLiteral("widget_vtk"));
    layout3d->addWidget(widget_vtk);
    tabWidget->addTab(tab3d, QStringLiteral("3D Targets"));
    tab_quality = new QualityTab();
    tab_quality->setObjectName(QStringLiteral("tab_quality"));
    tabWidget->addTab(tab_quality, QStringLiteral("Quality"));
    text_log = new QTextEdit(splitter);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    splitter->addWidget(tabWidget);
    splitter->addWidget(text_log);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    // Right: options and the run button.
    auto* right = new QVBoxLayout();
    group_use_radial_distortion = groupBox(this, "group_use_radial_distortion", QStringLiteral("Radial Distortion"));
    group_use_radial_distortion->setCheckable(true);
    group_use_radial_distortion->setChecked(true);
    auto* radial = new QGridLayout(group_use_radial_distortion);
    check_fix_k1 = checkBox(group_use_radial_distortion, "check_fix_k1", QStringLiteral("Fix k1"));
    check_fix_k2 = checkBox(group_use_radial_distortion, "check_fix_k2", QStringLiteral("Fix k2"));
    check_fix_k3 = checkBox(group_use_radial_distortion, "check_fix_k3", QStringLiteral("Fix k3"));
    check_fix_k4 = checkBox(group_use_radial_distortion, "check_fix_k4", QStringLiteral("Fix k4"));
    check_fix_k5 = checkBox(group_use_radial_distortion, "check_fix_k5", QStringLiteral("Fix k5"));
    check_fix_k6 = checkBox(group_use_radial_distortion, "check_fix_k6", QStringLiteral("Fix k6"));
    check_use_rational_model =
        checkBox(group_use_radial_distortion, "check_use_rational_model", QStringLiteral("Rational model"));
    radial->addWidget(check_fix_k1, 0, 0);
    radial->addWidget(check_fix_k2, 0, 1);
    radial->addWidget(check_fix_k3, 0, 2);
    radial->addWidget(check_use_rational_model, 1, 0, 1, 3);
    radial->addWidget(check_fix_k4, 2, 0);
    radial->addWidget(check_fix_k5, 2, 1);
    radial->addWidget(check_fix_k6, 2, 2);
    right->addWidget(group_use_radial_distortion);

    check_use_tangential_distortion = checkBox(this, "check_use_tangential_distortion",
                                               QStringLiteral("Tangential distortion p1, p2"));
    right->addWidget(check_use_tangential_distortion);

    groupBox_UseIntrinsicGuess = groupBox(this, "groupBox_UseIntrinsicGuess", QStringLiteral("Use intrinsic guess"));
    groupBox_UseIntrinsicGuess->setCheckable(true);
    groupBox_UseIntrinsicGuess->setChecked(false);
    auto* guess = new QVBoxLayout(groupBox_UseIntrinsicGuess);
    check_fix_focal = checkBox(groupBox_UseIntrinsicGuess, "check_fix_focal", QStringLiteral("Fix focal length fx, fy"));
    check_fix_pp =
        checkBox(groupBox_UseIntrinsicGuess, "check_fix_pp", QStringLiteral("Fix principal point pp(cx, cy)"));
    guess->addWidget(check_fix_focal);
    guess->addWidget(check_fix_pp);
    right->addWidget(groupBox_UseIntrinsicGuess);

    // Applies with or without a guess, so it lives outside the guess group.
    check_fix_aspect_ratio = checkBox(this, "check_fix_aspect_ratio", QStringLiteral("Fix aspect ratio fx/fy"), true);
    right->addWidget(check_fix_aspect_ratio);

    group_term_criteria =
        groupBox(this, "group_term_criteria", QStringLiteral("Termination Criteria for Optimization"));
    auto* criteria = new QFormLayout(group_term_criteria);
    spin_max_iterations = new QSpinBox(group_term_criteria);
    spin_max_iterations->setObjectName(QStringLiteral("spin_max_iterations"));
    spin_max_iterations->setRange(1, 999);
    spin_max_iterations->setValue(100);
    spin_accuracy = new QDoubleSpinBox(group_term_criteria);
    spin_accuracy->setObjectName(QStringLiteral("spin_accuracy"));
    spin_accuracy->setDecimals(3);
    spin_accuracy->setSingleStep(0.001);
    spin_accuracy->setMinimum(0.001);
    spin_accuracy->setValue(0.001);
    criteria->addRow(QStringLiteral("Max iterations"), spin_max_iterations);
    criteria->addRow(QStringLiteral("Epsilon [px]"), spin_accuracy);
    right->addWidget(group_term_criteria);

    group_outliers = groupBox(this, "group_outliers", QStringLiteral("Remove Outliers"));
    group_outliers->setCheckable(true);
    group_outliers->setChecked(false);
    auto* outliers = new QFormLayout(group_outliers);
    spin_outlier = new QDoubleSpinBox(group_outliers);
    spin_outlier->setObjectName(QStringLiteral("spin_outlier"));
    spin_outlier->setDecimals(1);
    spin_outlier->setSingleStep(0.1);
    spin_outlier->setRange(0.1, 99.0);
    spin_outlier->setValue(5.0);
    outliers->addRow(QStringLiteral("Max Reprojection Err [px]"), spin_outlier);
    right->addWidget(group_outliers);

    button_calibrate = new QPushButton(QStringLiteral("Calibrate"), this);
    button_calibrate->setObjectName(QStringLiteral("button_calibrate"));
    button_calibrate->setMinimumHeight(40);
    right->addWidget(button_calibrate);

    groupBox_PreviewUndistortion =
        groupBox(this, "groupBox_PreviewUndistortion", QStringLiteral("Preview Undistortion"));
    groupBox_PreviewUndistortion->setCheckable(true);
    groupBox_PreviewUndistortion->setChecked(false);
    groupBox_PreviewUndistortion->setEnabled(false);
    auto* preview = new QVBoxLayout(groupBox_PreviewUndistortion);
    pushButton_WriteUndistortedImages =
        new QPushButton(QStringLiteral("Write Undistorted Images"), groupBox_PreviewUndistortion);
    pushButton_WriteUndistortedImages->setObjectName(QStringLiteral("pushButton_WriteUndistortedImages"));
    preview->addWidget(pushButton_WriteUndistortedImages);
    right->addWidget(groupBox_PreviewUndistortion);
    right->addStretch(1);
    auto* rightWidget = new QWidget(this);
    rightWidget->setLayout(right);
    rightWidget->setFixedWidth(300);
    right->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rightWidget);

    showErrorLabels(false);

    widget_vtk->renderWindow()->AddRenderer(m_renderer);
    moduleform::setTargetViewBackground(m_renderer);
}

void IntrinsicCalibrationWidget::connectForm()
{
    connect(button_change_dir, &QPushButton::clicked, this, [this] { guardWithLog(text_log, [this] { loadImages(); }); });
    connect(button_calibrate, &QPushButton::clicked, this, &IntrinsicCalibrationWidget::onCalibrateClicked);
    connect(list_images, &QListWidget::currentRowChanged, this, [this](int row) {
        tab_quality->setSelectedImage(row);
        if (!m_fillingList)
            updateView();
    });
    connect(tab_quality, &QualityTab::imageClicked, list_images, [this](int row) { list_images->setCurrentRow(row); });
    connect(list_images, &QListWidget::itemChanged, this, &IntrinsicCalibrationWidget::onItemChanged);
    TNQ::installCheckAllMenu(list_images);
    moduleform::coupleLensModelBoxes({groupBox_UseIntrinsicGuess,
                                      check_fix_focal,
                                      check_fix_pp,
                                      group_use_radial_distortion,
                                      {check_fix_k1, check_fix_k2, check_fix_k3, check_fix_k4, check_fix_k5, check_fix_k6},
                                      check_use_rational_model});
    connect(groupBox_PreviewUndistortion, &QGroupBox::toggled, this, [this](bool) {
        const QSignalBlocker block(tabWidget);
        tabWidget->setCurrentIndex(0);
        updateView();
    });
    connect(tabWidget, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 0)
            updateView();
        else if (index == 1)
            guardWithLog(text_log, [this] { update3dView(); });
    });
    connect(pushButton_WriteUndistortedImages, &QPushButton::clicked, this,
            [this] { guardWithLog(text_log, [this] { writeUndistortedImages(); }); });
}

void IntrinsicCalibrationWidget::updateSensorNames()
{
    refillSensorCombos({combo_sensor});
}

CalibrationOptions IntrinsicCalibrationWidget::options() const
{
    CalibrationOptions o;
    o.useRadialDistortion = group_use_radial_distortion->isChecked();
    o.fixK = {check_fix_k1->isChecked(), check_fix_k2->isChecked(), check_fix_k3->isChecked(),
              check_fix_k4->isChecked(), check_fix_k5->isChecked(), check_fix_k6->isChecked()};
    o.useRationalModel = check_use_rational_model->isChecked();
    o.useIntrinsicGuess = groupBox_UseIntrinsicGuess->isChecked();
    o.fixFocalLength = check_fix_focal->isChecked();
    o.fixPrincipalPoint = check_fix_pp->isChecked();
    o.fixAspectRatio = check_fix_aspect_ratio->isChecked();
    o.useTangentialDistortion = check_use_tangential_distortion->isChecked();
    o.maxIterations = spin_max_iterations->value();
    o.epsilon = spin_accuracy->value();
    o.removeOutliers = group_outliers->isChecked();
    o.outlierThreshold = spin_outlier->value();
    return o;
}

std::optional<SensorRef> IntrinsicCalibrationWidget::selectedSensor() const
{
    const auto object = objectAtRow(combo_sensor->currentIndex());
    if (!object)
        return std::nullopt;
    return SensorRef{object->id, combo_sensor->currentText()};
}

void IntrinsicCalibrationWidget::loadImages()
{
    // The running routine works on the current list.
    if (busy())
        return;
    QStringList files;
    {
        const QScopedValueRollback<bool> filling(m_fillingList, true);
        files = loadImageList(list_images, text_log, QStringLiteral("Calibration Images"),
                              [this](const QStringList& paths) {
                                  m_state.loadImages(paths);
                                  m_lastResult.reset();
                                  tab_quality->setQuality(nullptr);
                              });
    }
    if (files.isEmpty())
        return;
    group_outliers->setChecked(false);
    {
        const QSignalBlocker block(groupBox_PreviewUndistortion);
        groupBox_PreviewUndistortion->setChecked(false);
    }
    m_renderer->RemoveAllViewProps();
    widget_vtk->render();
    updateView();
}

void IntrinsicCalibrationWidget::onCalibrateClicked()
{
    runOrAbort(button_calibrate, QStringLiteral("Calibrate"), [this] {
        // The run works on the current image list: nothing may replace it meanwhile (writing
        // undistorted images waits for the run too, see writeUndistortedImages).
        button_change_dir->setEnabled(false);
        calibrate();
        button_change_dir->setEnabled(true);
    });
}

void IntrinsicCalibrationWidget::syncChecksFromList()
{
    for (int i = 0; i < list_images->count() && i < int(m_state.images.size()); ++i)
        m_state.images[size_t(i)].checked = list_images->item(i)->checkState() == Qt::Checked;
}

void IntrinsicCalibrationWidget::syncChecksToList()
{
    const QSignalBlocker block(list_images);
    for (int i = 0; i < list_images->count() && i < int(m_state.images.size()); ++i)
        list_images->item(i)->setCheckState(m_state.images[size_t(i)].checked ? Qt::Checked : Qt::Unchecked);
}

void IntrinsicCalibrationWidget::onItemChanged(QListWidgetItem* item)
{
    if (m_fillingList)
        return;
    const int row = list_images->row(item);
    if (row >= 0 && row < int(m_state.images.size()))
        m_state.images[size_t(row)].checked = item->checkState() == Qt::Checked;
    // "Check All" changes every item at once: draw once for all of them.
    if (m_viewUpdatePending)
        return;
    m_viewUpdatePending = true;
    QTimer::singleShot(0, this, [this] {
        m_viewUpdatePending = false;
        updateView();
    });
}

void IntrinsicCalibrationWidget::calibrate()
{
    syncChecksFromList();
    const CalibrationOptions opts = options();
    if (opts.useIntrinsicGuess) {
        const auto sensor = selectedSensor();
        emit getIntrinsics(sensor ? sensor->id : -1, m_state.K, m_state.distortion, m_state.imageSize);
    }
    MainWindowSettings target;
    target.targetType = Chessboard;
    target.dictionary = 10;
    emit getMainWindowSettings(target);

    CalibrationRequest request;
    request.options = opts;
    request.target = target;
    request.workingDirectory = workingDirectory();
    CalibrationHooks hooks;
    hooks.abort = abortCheck();
    hooks.sensor = [this] { return selectedSensor(); };
    hooks.storeIntrinsics = [this](int id, const cv::Mat& K, const cv::Mat& kc, cv::Size size) {
        cv::Mat k = K.clone();
        cv::Mat d = kc.clone();
        emit updateIntrinsics(id, k, d, size);
    };
    TextEditLogSink log(text_log);
    const CalibrationResult result = calibrateIntrinsics(m_state, request, hooks, log);

    syncChecksToList();
    if (result.detectionFinished) {
        const QSignalBlocker block(list_images);
        for (int i = 0; i < list_images->count(); ++i)
            if (list_images->item(i)->checkState() != Qt::Checked)
                list_images->item(i)->setBackground(QColor(vantiro::logcolor::Grey));
    }
    if (result.rms >= 0.0) {
        // The 3D view draws the boards of this run.
        m_target = target;
        m_lastResult = result;
        tab_quality->setQuality(result.quality);
        if (!groupBox_PreviewUndistortion->isEnabled())
            groupBox_PreviewUndistortion->setEnabled(true);
        moduleform::showFromBehindCamera(m_renderer, [this] { update3dView(); });
    }
    updateView();
}

bool IntrinsicCalibrationWidget::analyseErrors(bool removeOutliers)
{
    TextEditLogSink log(text_log);
    return vantiro::intrinsic::analyseErrors(m_state.images, m_state.K, m_state.distortion, removeOutliers,
                                             spin_outlier->value(), log);
}

void IntrinsicCalibrationWidget::colorLabel(QLabel* label, double value, double minimum, double maximum)
{
    label->setStyleSheet(colorStyleSheet(errorColor(value, minimum, maximum)));
}

void IntrinsicCalibrationWidget::showErrorLabels(bool visible)
{
    group_reproj_err->setVisible(visible);
    label_rms_err->setVisible(visible);
    label_min_err->setVisible(visible);
    label_max_err->setVisible(visible);
}

void IntrinsicCalibrationWidget::updateView()
{
    // Shows the user's image files: whatever they hold must not end the program.
    guardWithLog(text_log, [this] {
        update2dView();
        updateListColours();
        update3dView();
    });
}

void IntrinsicCalibrationWidget::update2dView()
{
    const int row = list_images->currentRow();
    if (row < 0 || row >= int(m_state.images.size())) {
        showErrorLabels(false);
        image_label->setImage(cv::Mat());
        return;
    }
    const ImageState& image = m_state.images[size_t(row)];
    // Header-checked: an image of absurd size shows nothing instead of stalling the window.
    cv::Mat shown = vantiro::readImageChecked(image.path, cv::IMREAD_COLOR);
    const bool haveModel = !m_state.K.empty() && !m_state.distortion.empty();
    bool undistort = groupBox_PreviewUndistortion->isChecked() && haveModel;
    try {
        if (undistort && !shown.empty())
            shown = undistortImage(shown, m_state.K, m_state.distortion);
    } catch (const cv::Exception&) {
        // A model the library refuses for this image: show the image as it is.
        undistort = false;
    }
    const QListWidgetItem* item = list_images->item(row);
    if (item && item->checkState() == Qt::Checked && image.hasCorners() && haveModel && image.hasPose() &&
        !shown.empty()) {
        label_rms_err->setText(QStringLiteral("RMS: ") + fixed4(image.rms) + QStringLiteral(" px"));
        colorLabel(label_rms_err, image.rms, image.minError, image.maxError);
        label_min_err->setText(QStringLiteral("Min: ") + fixed4(image.minError) + QStringLiteral(" px"));
        colorLabel(label_min_err, image.minError, image.minError, image.maxError);
        label_max_err->setText(QStringLiteral("Max: ") + fixed4(image.maxError) + QStringLiteral(" px"));
        colorLabel(label_max_err, image.maxError, image.minError, image.maxError);
        showErrorLabels(true);
        std::vector<cv::Point2f> circles = image.imagePoints;
        std::vector<cv::Point2f> crosses = image.reprojected;
        if (undistort) {
            // The marks must sit where the corners are in the undistorted picture.
            try {
                circles = undistortImagePoints(circles, m_state.K, m_state.distortion);
                crosses = undistortImagePoints(crosses, m_state.K, m_state.distortion);
            } catch (const cv::Exception&) {
                circles.clear();
                crosses.clear();
            }
        }
        image_label->clearOverlays();
        image_label->setImageWithOverlays(shown, circles, image.cornerColors, crosses);
        return;
    }
    showErrorLabels(false);
    image_label->setImage(shown);
}

void IntrinsicCalibrationWidget::updateListColours()
{
    const auto range = rmsRange(m_state.images);
    const QSignalBlocker block(list_images);
    for (int i = 0; i < list_images->count() && i < int(m_state.images.size()); ++i) {
        QListWidgetItem* item = list_images->item(i);
        const ImageState& image = m_state.images[size_t(i)];
        if (item->checkState() != Qt::Checked)
            continue;
        if (image.hasPose() && range)
            item->setBackground(toQColor(errorColor(image.rms, range->first, range->second)));
        else
            item->setBackground(QBrush());
    }
}

void IntrinsicCalibrationWidget::update3dView()
{
    m_renderer->RemoveAllViewProps();
    const auto range = rmsRange(m_state.images);
    const int current = list_images->currentRow();
    int shown = 0;
    double distance = 0.0;
    for (int i = 0; i < list_images->count() && i < int(m_state.images.size()); ++i) {
        const ImageState& image = m_state.images[size_t(i)];
        if (list_images->item(i)->checkState() != Qt::Checked || !image.hasPose() || !range)
            continue;
        cv::Matx33d R;
        cv::Rodrigues(image.rvec, R);
        cv::Mat tv;
        image.tvec.reshape(1, 3).convertTo(tv, CV_64F);
        const cv::Vec3d t(tv.at<double>(0), tv.at<double>(1), tv.at<double>(2));
        // The current image stands out, the others recede.
        const double opacity = i == current ? 1.0 : 0.35;
        props::boardPlane(m_renderer, nullptr, R, t, m_target.numSquaresX - 1, m_target.numSquaresY - 1,
                          m_target.squareWidth, m_target.squareHeight,
                          errorColor(image.rms, range->first, range->second), opacity);
        distance += cv::norm(t);
        ++shown;
    }
    if (shown > 0) {
        // The camera at the origin, sized to the scene.
        distance /= shown;
        m_renderer->AddActor(props::axesGlyph(0.2 * distance));
        props::frustum(m_renderer, m_state.K, m_state.imageSize, 0.3 * distance);
    }
    widget_vtk->render();
}

void IntrinsicCalibrationWidget::writeUndistortedImages()
{
    if (busy())
        return;
    QStringList paths;
    for (const ImageState& image : m_state.images)
        paths << image.path;
    TextEditLogSink log(text_log);
    vantiro::intrinsic::writeUndistortedImages(
        paths, m_state.K, m_state.distortion, combo_sensor->currentText(),
        [this](const QString& folder) {
            return vantiro::dialogs::askYesNo(
                this, QStringLiteral("Write Undistorted Images"),
                QStringLiteral("Writing undistorted images to:\n\n") + folder + QStringLiteral("\n\nContinue?"));
        },
        log);
}
