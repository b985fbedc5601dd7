#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"

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
#include <QRadioButton>
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

#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/ModuleForm.h"
#include "app/ui/SlotGuard.h"
#include "app/ImageFile.h"
#include "intrinsic/ErrorAnalysis.h"
#include "sensors/ui/SceneProps.h"
#include "widgets/ImageLabelWidget.h"
#include "widgets/ImageListMenu.h"
#include "widgets/VtkOpenGLWidget.h"

using namespace vantiro::stereo;
using vantiro::intrinsic::colorStyleSheet;
using vantiro::intrinsic::errorColor;

namespace {

const QString kCalibrateText = QStringLiteral("Calibrate Stereo");

using moduleform::checkBox;
using moduleform::groupBox;
using moduleform::toQColor;

QDoubleSpinBox* outlierSpin(QWidget* parent, const QString& name)
{
    auto* spin = new QDoubleSpinBox(parent);
    spin->setObjectName(name);
    spin->setDecimals(1);
    spin->setRange(0.1, 9999.0);
    spin->setSingleStep(0.1);
    spin->setValue(5.0);
    return spin;
}

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

std::optional<std::pair<double, double>> meanErrorRange(const StereoState& state)
{
    std::optional<std::pair<double, double>> range;
    for (const StereoPair& pair : state.pairs) {
        if (pair.meanError < 0.0)
            continue;
        if (!range)
            range = std::make_pair(pair.meanError, pair.meanError);
        range->first = std::min(range->first, pair.meanError);
        range->second = std::max(range->second, pair.meanError);
    }
    return range;
}

} // namespace

ExtrinsicStereoCalibrationWidget::ExtrinsicStereoCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent)
    : CalibrationModule(sensorList, parent), m_renderer(vtkSmartPointer<vtkRenderer>::New())
{
    setWindowTitle(QStringLiteral("Extrinsic Stereo Calibration"));
    resize(1440, 960);
    buildForm();
    connectForm();
}

ExtrinsicStereoCalibrationWidget::~ExtrinsicStereoCalibrationWidget() = default;

// ---------------------------------------------------------------- form

void ExtrinsicStereoCalibrationWidget::buildForm()
{
    auto* layout = new QHBoxLayout(this);

    // Left: objects and the two image lists.
    auto* left = new QVBoxLayout();
    auto* sensors = groupBox(this, QStringLiteral("group_select_sensors"),
                             QStringLiteral("Select Calibration Objects (Primary/Secondary)"));
    auto* sensorLayout = new QFormLayout(sensors);
    comboBox_primary = new QComboBox(sensors);
    comboBox_primary->setObjectName(QStringLiteral("comboBox_primary"));
    comboBox_secondary = new QComboBox(sensors);
    comboBox_secondary->setObjectName(QStringLiteral("comboBox_secondary"));
    sensorLayout->addRow(QStringLiteral("Primary"), comboBox_primary);
    sensorLayout->addRow(QStringLiteral("Secondary"), comboBox_secondary);
    left->addWidget(sensors);
    const auto imageList = [this, left](QListWidget*& list, QPushButton*& button, const QString& name,
                                        const QString& buttonName, const QString& title, const QString& text) {
        auto* group = groupBox(this, name + QStringLiteral("_group"), title);
        auto* groupLayout = new QVBoxLayout(group);
        list = new QListWidget(group);
        list->setObjectName(name);
        button = new QPushButton(text, group);
        button->setObjectName(buttonName);
        groupLayout->addWidget(list);
        groupLayout->addWidget(button);
        left->addWidget(group, 1);
    };
    imageList(list_images_primary, button_change_dir_primary, QStringLiteral("list_images_primary"),
              QStringLiteral("button_change_dir_primary"), QStringLiteral("Primary Images"),
              QStringLiteral("Open Primary Files"));
    imageList(list_images_secondary, button_change_dir_secondary, QStringLiteral("list_images_secondary"),
              QStringLiteral("button_change_dir_secondary"), QStringLiteral("Secondary Images"),
              QStringLiteral("Open Secondary Files"));
    auto* leftWidget = new QWidget(this);
    leftWidget->setLayout(left);
    leftWidget->setFixedWidth(280);
    left->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(leftWidget);

    // Middle: the result tabs over the log.
    auto* splitter = new QSplitter(Qt::Vertical, this);
    tabWidget = new QTabWidget(splitter);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    auto* tab2d = new QWidget();
    tab2d->setObjectName(QStringLiteral("tab_2DTargets"));
    auto* grid = new QGridLayout(tab2d);
    const auto errorLabels = [tab2d](ErrorLabels& labels, const QString& name, const QString& title) {
        labels.group = groupBox(tab2d, name, title);
        auto* row = new QHBoxLayout(labels.group);
        for (auto [label, text, suffix] : {std::tuple{&labels.rms, QStringLiteral("RMS:"), QStringLiteral("_rms")},
                                           std::tuple{&labels.min, QStringLiteral("Min:"), QStringLiteral("_min")},
                                           std::tuple{&labels.max, QStringLiteral("Max:"), QStringLiteral("_max")}}) {
            *label = new QLabel(text, labels.group);
            (*label)->setObjectName(name + suffix);
            row->addWidget(*label);
        }
        row->addStretch(1);
    };
    image_label_primary = new ImageLabelWidget(tab2d);
    image_label_primary->setObjectName(QStringLiteral("image_label_primary"));
    image_label_secondary = new ImageLabelWidget(tab2d);
    image_label_secondary->setObjectName(QStringLiteral("image_label_secondary"));
    errorLabels(reprojErrPrimary, QStringLiteral("group_reproj_err_primary"), QStringLiteral("Reprojection Error"));
    errorLabels(reprojErrSecondary, QStringLiteral("group_reproj_err_secondary"), QStringLiteral("Reprojection Error"));
    errorLabels(epipolarErr, QStringLiteral("group_epipolar_err"), QStringLiteral("Epipolar Error"));
    grid->addWidget(image_label_primary, 0, 0);
    grid->addWidget(image_label_secondary, 0, 1);
    grid->addWidget(reprojErrPrimary.group, 1, 0);
    grid->addWidget(reprojErrSecondary.group, 1, 1);
    grid->addWidget(epipolarErr.group, 2, 0, 1, 2);
    grid->setRowStretch(0, 1);
    tabWidget->addTab(tab2d, QStringLiteral("2D Targets"));
    auto* tab3d = new QWidget();
    tab3d->setObjectName(QStringLiteral("tab_3DTargets"));
    auto* layout3d = new QVBoxLayout(tab3d);
    widget_vtk = new VtkOpenGLWidget(tab3d);
    widget_vtk->setObjectName(QStringLiteral("widget_vtk"));
    layout3d->addWidget(widget_vtk);
    tabWidget->addTab(tab3d, QStringLiteral("3D Targets"));
    text_log = new QTextEdit(splitter);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    splitter->addWidget(tabWidget);
    splitter->addWidget(text_log);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    // Right: options and rectification, the run button below both.
    auto* right = new QVBoxLayout();
    tabWidget_settings = new QTabWidget(this);
    tabWidget_settings->setObjectName(QStringLiteral("tabWidget_settings"));
    tab_calib_options = new QWidget();
    tab_calib_options->setObjectName(QStringLiteral("tab_calib_options"));
    auto* options = new QVBoxLayout(tab_calib_options);
    auto* sensorTabs = new QTabWidget(tab_calib_options);
    sensorTabs->setObjectName(QStringLiteral("tabWidget_intrinsics"));
    sensorTabs->addTab(buildSensorTab(primaryForm, QStringLiteral("1"), QStringLiteral("_1")),
                       QStringLiteral("Primary Intrinsics"));
    sensorTabs->addTab(buildSensorTab(secondaryForm, QStringLiteral("2"), QStringLiteral("_2")),
                       QStringLiteral("Secondary Intrinsics"));
    primaryForm.tab->setObjectName(QStringLiteral("tab_primary"));
    secondaryForm.tab->setObjectName(QStringLiteral("tab_secondary"));
    options->addWidget(sensorTabs);
    check_same_focal_length =
        checkBox(tab_calib_options, QStringLiteral("check_same_focal_length"), QStringLiteral("Equal focal lengths f1=f2"));
    checkBox_UseExtrinsicGuess =
        checkBox(tab_calib_options, QStringLiteral("checkBox_UseExtrinsicGuess"), QStringLiteral("Use Extrinsic Guess"));
    options->addWidget(check_same_focal_length);
    options->addWidget(checkBox_UseExtrinsicGuess);
    group_term_criteria = groupBox(tab_calib_options, QStringLiteral("group_term_criteria"),
                                   QStringLiteral("Termination Criteria for Optimization"));
    auto* criteria = new QFormLayout(group_term_criteria);
    spin_max_iterations = new QSpinBox(group_term_criteria);
    spin_max_iterations->setObjectName(QStringLiteral("spin_max_iterations"));
    spin_max_iterations->setRange(0, 9999);
    spin_max_iterations->setValue(100);
    spin_accuracy = new QDoubleSpinBox(group_term_criteria);
    spin_accuracy->setObjectName(QStringLiteral("spin_accuracy"));
    spin_accuracy->setDecimals(3);
    spin_accuracy->setMinimum(0.001);
    spin_accuracy->setSingleStep(0.001);
    spin_accuracy->setValue(0.001);
    criteria->addRow(QStringLiteral("Max iterations"), spin_max_iterations);
    criteria->addRow(QStringLiteral("Epsilon [px]"), spin_accuracy);
    options->addWidget(group_term_criteria);
    group_outliers = groupBox(tab_calib_options, QStringLiteral("group_outliers"), QStringLiteral("Remove Outliers"), true);
    auto* outliers = new QFormLayout(group_outliers);
    doubleSpinBox_RemoveOutliersPrimary = outlierSpin(group_outliers, QStringLiteral("doubleSpinBox_RemoveOutliersPrimary"));
    doubleSpinBox_RemoveOutliersSecondary =
        outlierSpin(group_outliers, QStringLiteral("doubleSpinBox_RemoveOutliersSecondary"));
    doubleSpinBox_RemoveOutliersEpipolar =
        outlierSpin(group_outliers, QStringLiteral("doubleSpinBox_RemoveOutliersEpipolar"));
    outliers->addRow(QStringLiteral("Max Reproj Err Primary [px]"), doubleSpinBox_RemoveOutliersPrimary);
    outliers->addRow(QStringLiteral("Max Reproj Err Secondary [px]"), doubleSpinBox_RemoveOutliersSecondary);
    outliers->addRow(QStringLiteral("Max Epipolar Err [px]"), doubleSpinBox_RemoveOutliersEpipolar);
    options->addWidget(group_outliers);
    options->addStretch(1);
    tabWidget_settings->addTab(tab_calib_options, QStringLiteral("Calibration Options"));
    tabWidget_settings->addTab(buildRectificationTab(), QStringLiteral("Rectification"));
    right->addWidget(tabWidget_settings, 1);
    button_calibrate = new QPushButton(kCalibrateText, this);
    button_calibrate->setObjectName(QStringLiteral("button_calibrate"));
    button_calibrate->setMinimumHeight(40);
    right->addWidget(button_calibrate);
    auto* rightWidget = new QWidget(this);
    rightWidget->setLayout(right);
    rightWidget->setFixedWidth(340);
    right->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rightWidget);

    for (ErrorLabels* labels : {&reprojErrPrimary, &reprojErrSecondary, &epipolarErr})
        labels->group->setVisible(false);

    widget_vtk->renderWindow()->AddRenderer(m_renderer);
    moduleform::setTargetViewBackground(m_renderer);
}

QWidget* ExtrinsicStereoCalibrationWidget::buildSensorTab(SensorForm& form, const QString& suffix,
                                                          const QString& kSuffix)
{
    form.tab = new QWidget();
    auto* layout = new QVBoxLayout(form.tab);
    form.groupBox_UseIntrinsicGuess = groupBox(form.tab, QStringLiteral("groupBox_UseIntrinsicGuess") + suffix,
                                               QStringLiteral("Use intrinsic guess"), true, false);
    auto* guess = new QVBoxLayout(form.groupBox_UseIntrinsicGuess);
    form.check_fix_focal = checkBox(form.groupBox_UseIntrinsicGuess, QStringLiteral("check_fix_focal") + suffix,
                                    QStringLiteral("Fix focal length fx,fy"));
    form.check_fix_pp = checkBox(form.groupBox_UseIntrinsicGuess, QStringLiteral("check_fix_pp") + suffix,
                                 QStringLiteral("Fix principal point (cx,cy)"));
    guess->addWidget(form.check_fix_focal);
    guess->addWidget(form.check_fix_pp);
    layout->addWidget(form.groupBox_UseIntrinsicGuess);
    form.check_fix_aspect_ratio = checkBox(form.tab, QStringLiteral("check_fix_aspect_ratio") + suffix,
                                           QStringLiteral("Fix aspect ratio fx/fy"), true);
    layout->addWidget(form.check_fix_aspect_ratio);
    form.group_use_radial_distortion = groupBox(form.tab, QStringLiteral("group_use_radial_distortion") + suffix,
                                                QStringLiteral("Radial Distortion"), true, true);
    auto* radial = new QGridLayout(form.group_use_radial_distortion);
    for (int k = 0; k < 6; ++k)
        form.check_fix_k[size_t(k)] =
            checkBox(form.group_use_radial_distortion, QStringLiteral("check_fix_k%1").arg(k + 1) + kSuffix,
                     QStringLiteral("Fix k%1").arg(k + 1));
    form.check_use_rational_model = checkBox(form.group_use_radial_distortion,
                                             QStringLiteral("check_use_rational_model") + kSuffix,
                                             QStringLiteral("Rational model"));
    for (int k = 0; k < 3; ++k) {
        radial->addWidget(form.check_fix_k[size_t(k)], 0, k);
        radial->addWidget(form.check_fix_k[size_t(k + 3)], 2, k);
    }
    radial->addWidget(form.check_use_rational_model, 1, 0, 1, 3);
    layout->addWidget(form.group_use_radial_distortion);
    form.check_use_tangential_distortion =
        checkBox(form.tab, QStringLiteral("check_use_tangential_distortion") + suffix,
                 QStringLiteral("Tangential distortion p1, p2"));
    layout->addWidget(form.check_use_tangential_distortion);
    layout->addStretch(1);
    return form.tab;
}

QWidget* ExtrinsicStereoCalibrationWidget::buildRectificationTab()
{
    tab_Rect = new QWidget();
    tab_Rect->setObjectName(QStringLiteral("tab_Rect"));
    auto* layout = new QVBoxLayout(tab_Rect);
    check_equal_pp = checkBox(tab_Rect, QStringLiteral("check_equal_pp"), QStringLiteral("Equal principal points"), true);
    layout->addWidget(check_equal_pp);
    group_new_image_size = groupBox(tab_Rect, QStringLiteral("group_new_image_size"),
                                    QStringLiteral("Resize rectified images"), true, false);
    auto* size = new QFormLayout(group_new_image_size);
    spinBox_rectificationNewWidth = new QSpinBox(group_new_image_size);
    spinBox_rectificationNewWidth->setObjectName(QStringLiteral("spinBox_rectificationNewWidth"));
    spinBox_rectificationNewHeight = new QSpinBox(group_new_image_size);
    spinBox_rectificationNewHeight->setObjectName(QStringLiteral("spinBox_rectificationNewHeight"));
    for (QSpinBox* spin : {spinBox_rectificationNewWidth, spinBox_rectificationNewHeight})
        spin->setRange(1, 20000);
    spinBox_rectificationNewWidth->setValue(1280);
    spinBox_rectificationNewHeight->setValue(960);
    size->addRow(QStringLiteral("Width:"), spinBox_rectificationNewWidth);
    size->addRow(QStringLiteral("Height"), spinBox_rectificationNewHeight);
    layout->addWidget(group_new_image_size);
    groupBox_3 = groupBox(tab_Rect, QStringLiteral("groupBox_3"), QStringLiteral("Crop rectified images"));
    auto* crop = new QGridLayout(groupBox_3);
    radio_alpha_0 = new QRadioButton(QStringLiteral("Crop to valid pixels, alpha = 0"), groupBox_3);
    radio_alpha_0->setObjectName(QStringLiteral("radio_alpha_0"));
    radio_alpha_0->setChecked(true);
    radio_alpha_1 = new QRadioButton(QStringLiteral("Don't crop, alpha = 1"), groupBox_3);
    radio_alpha_1->setObjectName(QStringLiteral("radio_alpha_1"));
    radio_alpha_custom = new QRadioButton(QStringLiteral("Set custom alpha [0 .. 1]"), groupBox_3);
    radio_alpha_custom->setObjectName(QStringLiteral("radio_alpha_custom"));
    double_spin_alpha = new QDoubleSpinBox(groupBox_3);
    double_spin_alpha->setObjectName(QStringLiteral("double_spin_alpha"));
    double_spin_alpha->setRange(0.0, 1.0);
    double_spin_alpha->setSingleStep(0.1);
    double_spin_alpha->setEnabled(false);
    crop->addWidget(radio_alpha_0, 0, 0, 1, 2);
    crop->addWidget(radio_alpha_1, 1, 0, 1, 2);
    crop->addWidget(radio_alpha_custom, 2, 0);
    crop->addWidget(double_spin_alpha, 2, 1);
    layout->addWidget(groupBox_3);
    // The button's text as the users know it.
    pushButton_RectifyStereo = new QPushButton(QStringLiteral("Calibrate Rectication Parameters"), tab_Rect);
    pushButton_RectifyStereo->setObjectName(QStringLiteral("pushButton_RectifyStereo"));
    pushButton_RectifyStereo->setEnabled(false);
    layout->addWidget(pushButton_RectifyStereo);
    groupBox_PreviewRectifiedImages = groupBox(tab_Rect, QStringLiteral("groupBox_PreviewRectifiedImages"),
                                               QStringLiteral("Preview Rectified Images"), true, false);
    groupBox_PreviewRectifiedImages->setEnabled(false);
    auto* preview = new QFormLayout(groupBox_PreviewRectifiedImages);
    spin_epi_lines = new QSpinBox(groupBox_PreviewRectifiedImages);
    spin_epi_lines->setObjectName(QStringLiteral("spin_epi_lines"));
    spin_epi_lines->setRange(0, 999);
    spin_epi_lines->setValue(10);
    preview->addRow(QStringLiteral("Epipolar Lines Displayed"), spin_epi_lines);
    layout->addWidget(groupBox_PreviewRectifiedImages);
    pushButton_WriteRectifiedImages = new QPushButton(QStringLiteral("Write Rectified Images"), tab_Rect);
    pushButton_WriteRectifiedImages->setObjectName(QStringLiteral("pushButton_WriteRectifiedImages"));
    pushButton_WriteRectifiedImages->setEnabled(false);
    layout->addWidget(pushButton_WriteRectifiedImages);
    layout->addStretch(1);
    return tab_Rect;
}

void ExtrinsicStereoCalibrationWidget::connectForm()
{
    // Slots where the user's files come in keep whatever they throw in the log.
    connect(button_change_dir_primary, &QPushButton::clicked, this,
            [this] { guardWithLog(text_log, [this] { loadPrimaryImages(); }); });
    connect(button_change_dir_secondary, &QPushButton::clicked, this,
            [this] { guardWithLog(text_log, [this] { loadSecondaryImages(); }); });
    connect(button_calibrate, &QPushButton::clicked, this, &ExtrinsicStereoCalibrationWidget::onCalibrateClicked);
    for (QListWidget* list : {list_images_primary, list_images_secondary}) {
        connect(list, &QListWidget::currentRowChanged, this, &ExtrinsicStereoCalibrationWidget::selectRow);
        connect(list, &QListWidget::itemChanged, this, &ExtrinsicStereoCalibrationWidget::onItemChanged);
    }
    // Each list's menu sets the same state on the other list's row.
    TNQ::installCheckAllMenu(list_images_primary, list_images_secondary);
    TNQ::installCheckAllMenu(list_images_secondary, list_images_primary);
    connectSensorForm(primaryForm);
    connectSensorForm(secondaryForm);
    connect(radio_alpha_custom, &QRadioButton::toggled, double_spin_alpha, &QDoubleSpinBox::setEnabled);
    connect(pushButton_RectifyStereo, &QPushButton::clicked, this,
            [this] { guardWithLog(text_log, [this] { rectify(); }); });
    connect(pushButton_WriteRectifiedImages, &QPushButton::clicked, this,
            [this] { guardWithLog(text_log, [this] { writeRectifiedImages(); }); });
    connect(groupBox_PreviewRectifiedImages, &QGroupBox::toggled, this, [this](bool) {
        const QSignalBlocker block(tabWidget);
        tabWidget->setCurrentIndex(0);
        guardWithLog(text_log, [this] { update2dView(); });
    });
    connect(spin_epi_lines, &QSpinBox::valueChanged, this, [this](int) {
        if (groupBox_PreviewRectifiedImages->isChecked())
            guardWithLog(text_log, [this] { update2dView(); });
    });
    connect(tabWidget, &QTabWidget::currentChanged, this, [this](int) { updateView(); });
}

void ExtrinsicStereoCalibrationWidget::connectSensorForm(SensorForm& form)
{
    moduleform::coupleLensModelBoxes({form.groupBox_UseIntrinsicGuess, form.check_fix_focal, form.check_fix_pp,
                                      form.group_use_radial_distortion, form.check_fix_k,
                                      form.check_use_rational_model});
}

// ---------------------------------------------------------------- objects and options

void ExtrinsicStereoCalibrationWidget::updateSensorNames()
{
    refillSensorCombos({comboBox_primary, comboBox_secondary});
}

bool ExtrinsicStereoCalibrationWidget::selectSensors(int primaryId, int secondaryId)
{
    bool found[2] = {false, false};
    QComboBox* combos[2] = {comboBox_primary, comboBox_secondary};
    const int ids[2] = {primaryId, secondaryId};
    for (const auto& [row, object] : m_comboRows)
        for (int k = 0; k < 2; ++k)
            if (object && object->id == ids[k] && row < combos[k]->count()) {
                combos[k]->setCurrentIndex(row);
                found[k] = true;
            }
    return found[0] && found[1];
}

std::optional<int> ExtrinsicStereoCalibrationWidget::selectedId(QComboBox* combo) const
{
    const auto object = objectAtRow(combo->currentIndex());
    return object ? std::optional<int>(object->id) : std::nullopt;
}

SensorOptions ExtrinsicStereoCalibrationWidget::sensorOptions(const SensorForm& form) const
{
    SensorOptions o;
    o.useIntrinsicGuess = form.groupBox_UseIntrinsicGuess->isChecked();
    o.fixFocalLength = form.check_fix_focal->isChecked();
    o.fixPrincipalPoint = form.check_fix_pp->isChecked();
    o.fixAspectRatio = form.check_fix_aspect_ratio->isChecked();
    o.useRadialDistortion = form.group_use_radial_distortion->isChecked();
    for (int k = 0; k < 6; ++k)
        o.fixK[size_t(k)] = form.check_fix_k[size_t(k)]->isChecked();
    o.useRationalModel = form.check_use_rational_model->isChecked();
    o.useTangentialDistortion = form.check_use_tangential_distortion->isChecked();
    return o;
}

StereoOptions ExtrinsicStereoCalibrationWidget::options() const
{
    StereoOptions o;
    o.primary = sensorOptions(primaryForm);
    o.secondary = sensorOptions(secondaryForm);
    o.sameFocalLength = check_same_focal_length->isChecked();
    o.useExtrinsicGuess = checkBox_UseExtrinsicGuess->isChecked();
    o.maxIterations = spin_max_iterations->value();
    o.epsilon = spin_accuracy->value();
    o.removeOutliers = group_outliers->isChecked();
    o.maxErrorPrimary = doubleSpinBox_RemoveOutliersPrimary->value();
    o.maxErrorSecondary = doubleSpinBox_RemoveOutliersSecondary->value();
    o.maxErrorEpipolar = doubleSpinBox_RemoveOutliersEpipolar->value();
    return o;
}

RectificationOptions ExtrinsicStereoCalibrationWidget::rectificationOptions() const
{
    RectificationOptions o;
    o.equalPrincipalPoints = check_equal_pp->isChecked();
    if (group_new_image_size->isChecked())
        o.newImageSize = cv::Size(spinBox_rectificationNewWidth->value(), spinBox_rectificationNewHeight->value());
    o.alpha = radio_alpha_1->isChecked() ? 1.0 : radio_alpha_custom->isChecked() ? double_spin_alpha->value() : 0.0;
    return o;
}

// ---------------------------------------------------------------- image lists

void ExtrinsicStereoCalibrationWidget::loadPrimaryImages()
{
    if (busy())
        return;
    const QStringList files = loadImageList(
        list_images_primary, text_log, QStringLiteral("Calibration Images"),
        [this](const QStringList& paths) { m_state.loadPrimary(paths); }, false);
    if (!files.isEmpty())
        listsReplaced();
}

void ExtrinsicStereoCalibrationWidget::loadSecondaryImages()
{
    if (busy())
        return;
    const QStringList files = loadImageList(
        list_images_secondary, text_log, QStringLiteral("Calibration Images"),
        [this](const QStringList& paths) { m_state.loadSecondary(paths); }, false);
    if (!files.isEmpty())
        listsReplaced();
}

void ExtrinsicStereoCalibrationWidget::setImageLists(const QStringList& primaryFiles, const QStringList& secondaryFiles)
{
    if (busy())
        return;
    loadList(true, primaryFiles);
    loadList(false, secondaryFiles);
    listsReplaced();
}

void ExtrinsicStereoCalibrationWidget::loadList(bool primary, const QStringList& files)
{
    warnAboutImageFolder(text_log, files, false);
    if (primary)
        m_state.loadPrimary(files);
    else
        m_state.loadSecondary(files);
    fillImageList(primary ? list_images_primary : list_images_secondary, files);
}

void ExtrinsicStereoCalibrationWidget::listsReplaced()
{
    // The pairs' corners and results went with the old lists.
    m_renderer->RemoveAllViewProps();
    updateView();
}

void ExtrinsicStereoCalibrationWidget::syncChecksFromLists()
{
    for (auto [list, images] : {std::pair{list_images_primary, &m_state.primary},
                                std::pair{list_images_secondary, &m_state.secondary}})
        for (int i = 0; i < list->count() && i < int(images->size()); ++i)
            (*images)[size_t(i)].checked = list->item(i)->checkState() == Qt::Checked;
}

void ExtrinsicStereoCalibrationWidget::syncChecksToLists()
{
    for (auto [list, images] : {std::pair{list_images_primary, &m_state.primary},
                                std::pair{list_images_secondary, &m_state.secondary}}) {
        const QSignalBlocker block(list);
        for (int i = 0; i < list->count() && i < int(images->size()); ++i) {
            const bool checked = (*images)[size_t(i)].checked;
            list->item(i)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
            if (!checked)
                list->item(i)->setBackground(QColor(vantiro::logcolor::Grey));
        }
    }
}

void ExtrinsicStereoCalibrationWidget::onItemChanged(QListWidgetItem*)
{
    syncChecksFromLists();
    // "Check All" changes every item at once: draw once for all of them.
    if (m_viewUpdatePending)
        return;
    m_viewUpdatePending = true;
    QTimer::singleShot(0, this, [this] {
        m_viewUpdatePending = false;
        updateView();
    });
}

void ExtrinsicStereoCalibrationWidget::selectRow(int row)
{
    // Row i of both lists is one pair.
    for (QListWidget* list : {list_images_primary, list_images_secondary})
        if (list->currentRow() != row && row < list->count()) {
            const QSignalBlocker block(list);
            list->setCurrentRow(row);
        }
    updateView();
}

// ---------------------------------------------------------------- calibration

void ExtrinsicStereoCalibrationWidget::onCalibrateClicked()
{
    const QSignalBlocker blockPrimary(list_images_primary);
    const QSignalBlocker blockSecondary(list_images_secondary);
    const bool ran = runOrAbort(button_calibrate, kCalibrateText, [this] {
        // The run works on the current lists: nothing may replace them meanwhile.
        for (QPushButton* b : {button_change_dir_primary, button_change_dir_secondary, pushButton_RectifyStereo,
                               pushButton_WriteRectifiedImages})
            b->setEnabled(false);
        calibrate();
    });
    if (!ran)
        return; // the click asked the running calibration to stop
    // Whatever the run ended with.
    button_change_dir_primary->setEnabled(true);
    button_change_dir_secondary->setEnabled(true);
    pushButton_RectifyStereo->setEnabled(m_lastResult.has_value());
    pushButton_WriteRectifiedImages->setEnabled(m_rectification.hasMaps());
    {
        const QSignalBlocker block(groupBox_PreviewRectifiedImages);
        groupBox_PreviewRectifiedImages->setChecked(false);
    }
    groupBox_PreviewRectifiedImages->setEnabled(false);
    updateView();
}

void ExtrinsicStereoCalibrationWidget::calibrate()
{
    syncChecksFromLists();
    MainWindowSettings target;
    target.targetType = Chessboard;
    target.dictionary = 10;
    emit getMainWindowSettings(target);

    StereoRequest request;
    request.options = options();
    request.target = target;
    StereoSensor* sensors[2] = {&request.primary, &request.secondary};
    QComboBox* combos[2] = {comboBox_primary, comboBox_secondary};
    const bool guess[2] = {request.options.primary.useIntrinsicGuess, request.options.secondary.useIntrinsicGuess};
    for (int k = 0; k < 2; ++k) {
        const auto id = selectedId(combos[k]);
        if (!id)
            continue;
        sensors[k]->id = *id;
        sensors[k]->name = combos[k]->currentText();
        if (!guess[k])
            continue;
        if (k == 0)
            emit getPrimaryIntrinsics(*id, sensors[k]->K, sensors[k]->distortion, sensors[k]->imageSize);
        else
            emit getSecondaryIntrinsics(*id, sensors[k]->K, sensors[k]->distortion, sensors[k]->imageSize);
    }

    StereoHooks hooks;
    hooks.abort = abortCheck();
    hooks.storePrimaryIntrinsics = [this](int id, const cv::Mat& K, const cv::Mat& kc, cv::Size size) {
        cv::Mat k = K.clone(), d = kc.clone();
        emit updatePrimaryIntrinsics(id, k, d, size);
    };
    hooks.storeSecondaryIntrinsics = [this](int id, const cv::Mat& K, const cv::Mat& kc, cv::Size size) {
        cv::Mat k = K.clone(), d = kc.clone();
        emit updateSecondaryIntrinsics(id, k, d, size);
    };
    hooks.storeSecondaryExtrinsics = [this](int primaryId, int secondaryId, const cv::Matx33d& R, const cv::Matx31d& t) {
        emit updateSecondaryExtrinsics(primaryId, secondaryId, R, t);
    };
    TextEditLogSink log(text_log);
    const StereoResult result = calibrateStereo(m_state, request, hooks, log);

    // A run that got past its first checks starts over: the rectification of the old result goes.
    if (result.status != StereoStatus::SameSensor && result.status != StereoStatus::ListSizeMismatch)
        m_rectification.release();
    syncChecksToLists();
    if (result.status != StereoStatus::Calibrated)
        return;
    m_lastResult = result;
    m_target = target;
    for (int k = 0; k < 2; ++k) {
        m_resultIds[k] = sensors[k]->id;
        m_resultNames[k] = sensors[k]->name;
    }
    moduleform::showFromBehindCamera(m_renderer, [this] { update3dView(); });
}

// ---------------------------------------------------------------- rectification

// Rectification belongs to the objects of the last result, whatever the boxes show now (their
// names as they are now); before any result, to the objects in the boxes.
QString ExtrinsicStereoCalibrationWidget::resultName(int sensor) const
{
    if (!m_lastResult)
        return (sensor ? comboBox_secondary : comboBox_primary)->currentText();
    const auto object = m_sensorList.find(m_resultIds[sensor]);
    return object ? object->name : m_resultNames[sensor];
}

void ExtrinsicStereoCalibrationWidget::rectify()
{
    if (busy())
        return;
    // Asked only without a result, for the objects in the boxes.
    const int ids[2] = {selectedId(comboBox_primary).value_or(-1), selectedId(comboBox_secondary).value_or(-1)};
    RectificationInput input;
    if (m_lastResult) {
        input = rectificationInput(*m_lastResult, resultName(0), resultName(1));
    } else {
        input.primaryName = resultName(0);
        input.secondaryName = resultName(1);
        input.R = m_state.R;
        input.T = m_state.T;
    }
    const FetchIntrinsics fetch = [this, ids](int sensor, cv::Mat& K, cv::Mat& kc, cv::Size& size) {
        if (sensor == 0)
            emit getPrimaryIntrinsics(ids[0], K, kc, size);
        else
            emit getSecondaryIntrinsics(ids[1], K, kc, size);
    };
    TextEditLogSink log(text_log);
    if (rectifyStereo(input, rectificationOptions(), workingDirectory(), fetch, m_rectification, log) !=
        RectificationStatus::Rectified)
        return;
    pushButton_WriteRectifiedImages->setEnabled(true);
    groupBox_PreviewRectifiedImages->setEnabled(true);
    if (groupBox_PreviewRectifiedImages->isChecked())
        update2dView();
    else
        groupBox_PreviewRectifiedImages->setChecked(true); // shows the pair rectified
}

void ExtrinsicStereoCalibrationWidget::writeRectifiedImages()
{
    if (busy())
        return;
    QStringList lists[2];
    for (const StereoImage& image : m_state.primary)
        lists[0] << image.path;
    for (const StereoImage& image : m_state.secondary)
        lists[1] << image.path;
    const auto confirm = [this](const QString& primaryFolder, const QString& secondaryFolder) {
        return vantiro::dialogs::askYesNo(this, QStringLiteral("Write Rectified Images"),
                                          QStringLiteral("Writing rectified images to:\n\n") + primaryFolder +
                                              QStringLiteral("\n\nand\n\n") + secondaryFolder +
                                              QStringLiteral("\n\nContinue?"));
    };
    TextEditLogSink log(text_log);
    vantiro::stereo::writeRectifiedImages(lists[0], lists[1], m_rectification, resultName(0), resultName(1), confirm,
                                          log);
}

// ---------------------------------------------------------------- views

void ExtrinsicStereoCalibrationWidget::updateView()
{
    // Shows the user's image files: whatever they hold must not end the program.
    guardWithLog(text_log, [this] {
        update2dView();
        updateListColours();
        update3dView();
    });
}

void ExtrinsicStereoCalibrationWidget::update2dView()
{
    const int row = list_images_primary->currentRow() >= 0 ? list_images_primary->currentRow()
                                                           : list_images_secondary->currentRow();
    const StereoPair* pair = row >= 0 && row < int(m_state.pairs.size()) ? &m_state.pairs[size_t(row)] : nullptr;
    const bool preview = groupBox_PreviewRectifiedImages->isChecked() && m_rectification.hasMaps();
    const std::vector<StereoImage>* images[2] = {&m_state.primary, &m_state.secondary};
    ImageLabelWidget* views[2] = {image_label_primary, image_label_secondary};
    QListWidget* lists[2] = {list_images_primary, list_images_secondary};
    bool checked = pair != nullptr;
    for (int k = 0; k < 2; ++k) {
        cv::Mat shown;
        if (row >= 0 && row < int(images[k]->size()))
            shown = vantiro::readImageChecked((*images[k])[size_t(row)].path, cv::IMREAD_COLOR);
        checked = checked && row < lists[k]->count() && lists[k]->item(row)->checkState() == Qt::Checked;
        if (preview && !shown.empty() && shown.size() == m_rectification.sourceSize[k]) {
            shown = rectifyImage(shown, m_rectification, k);
            drawEpipolarLines(shown, spin_epi_lines->value());
            views[k]->setImage(shown);
            continue;
        }
        const std::vector<cv::Point2f>* points = nullptr;
        if (pair && !shown.empty())
            points = k == 0 ? &pair->primaryPoints : &pair->secondaryPoints;
        if (!points || points->empty()) {
            views[k]->setImage(shown);
            continue;
        }
        // After a calibration the corners carry their error colours and the projections show as
        // crosses; before, the detected corners are plain green.
        const std::vector<cv::Vec3b>& colours = k == 0 ? pair->primaryColors : pair->secondaryColors;
        std::vector<OverlayColor> circleColours(points->size(), OverlayColor{0, 200, 0});
        std::vector<cv::Point2f> crosses;
        if (pair->hasPoses() && colours.size() == points->size()) {
            circleColours = colours;
            crosses = k == 0 ? pair->primaryProjected : pair->secondaryProjected;
        }
        views[k]->clearOverlays();
        views[k]->setImageWithOverlays(shown, *points, circleColours, crosses);
    }

    const bool results = checked && pair->hasPoses() && m_lastResult;
    for (ErrorLabels* labels : {&reprojErrPrimary, &reprojErrSecondary, &epipolarErr})
        labels->group->setVisible(results);
    if (!results)
        return;
    const auto fill = [](ErrorLabels& labels, double rms, double minimum, double maximum, bool coloured) {
        labels.rms->setText(QStringLiteral("RMS: ") + fixed4(rms) + QStringLiteral(" px"));
        labels.min->setText(QStringLiteral("Min: ") + fixed4(minimum) + QStringLiteral(" px"));
        labels.max->setText(QStringLiteral("Max: ") + fixed4(maximum) + QStringLiteral(" px"));
        if (!coloured)
            return;
        labels.rms->setStyleSheet(colorStyleSheet(errorColor(rms, minimum, maximum)));
        labels.min->setStyleSheet(colorStyleSheet(errorColor(minimum, minimum, maximum)));
        labels.max->setStyleSheet(colorStyleSheet(errorColor(maximum, minimum, maximum)));
    };
    fill(reprojErrPrimary, pair->primaryError, pair->primaryMin, pair->primaryMax, true);
    fill(reprojErrSecondary, pair->secondaryError, pair->secondaryMin, pair->secondaryMax, true);
    fill(epipolarErr, pair->epipolarRms, pair->epipolarMin, pair->epipolarMax, false);
}

void ExtrinsicStereoCalibrationWidget::updateListColours()
{
    const auto range = meanErrorRange(m_state);
    for (QListWidget* list : {list_images_primary, list_images_secondary}) {
        const QSignalBlocker block(list);
        for (int i = 0; i < list->count() && i < int(m_state.pairs.size()); ++i) {
            QListWidgetItem* item = list->item(i);
            if (item->checkState() != Qt::Checked)
                continue;
            const StereoPair& pair = m_state.pairs[size_t(i)];
            if (pair.hasPoses() && range)
                item->setBackground(toQColor(errorColor(pair.meanError, range->first, range->second)));
            else
                item->setBackground(QBrush());
        }
    }
}

void ExtrinsicStereoCalibrationWidget::update3dView()
{
    m_renderer->RemoveAllViewProps();
    const auto range = meanErrorRange(m_state);
    if (!m_lastResult || !range) {
        widget_vtk->render();
        return;
    }
    const int current = list_images_primary->currentRow();
    double distance = 0.0;
    int shown = 0;
    for (int i = 0; i < int(m_state.pairs.size()); ++i) {
        const StereoPair& pair = m_state.pairs[size_t(i)];
        if (!pair.hasPoses() || i >= list_images_primary->count() ||
            list_images_primary->item(i)->checkState() != Qt::Checked)
            continue;
        cv::Matx33d R;
        cv::Rodrigues(pair.primaryRvec, R);
        const cv::Vec3d t(pair.primaryTvec.reshape(1, 3));
        // The selected pair stands out, the others recede.
        props::boardPlane(m_renderer, nullptr, R, t, m_target.numSquaresX - 1, m_target.numSquaresY - 1,
                          m_target.squareWidth, m_target.squareHeight,
                          errorColor(pair.meanError, range->first, range->second), i == current ? 1.0 : 0.35);
        distance += cv::norm(t);
        ++shown;
    }
    if (shown > 0) {
        // Both sensors in the primary's frame, sized to the scene.
        distance /= shown;
        const StereoResult& r = *m_lastResult;
        const cv::Mat R2(r.secondaryR), t2(r.secondaryT);
        m_renderer->AddActor(props::axesGlyph(0.2 * distance));
        props::frustum(m_renderer, r.K[0], r.imageSize[0], 0.3 * distance);
        props::frustum(m_renderer, r.K[1], r.imageSize[1], 0.3 * distance, R2, t2);
        props::nameLabel(m_renderer, m_resultNames[0]);
        const cv::Vec3d at(r.secondaryT(0), r.secondaryT(1), r.secondaryT(2));
        props::nameLabel(m_renderer, m_resultNames[1], &at);
    }
    widget_vtk->render();
}
