#include "projector/ui/CamProjStereoCalib.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/SlotGuard.h"
#include "projector/CapturedSets.h"
#include "projector/ExtrinsicInputWriter.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"
#include "widgets/ImageLabelWidget.h"
#include "widgets/ImageListMenu.h"

namespace {

// Corner marks in both views.
const OverlayColor kCornerColour(160, 255, 0);

QGroupBox* makeGroup(QWidget* parent, const char* name, const QString& title)
{
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QLatin1String(name));
    return group;
}

ImageLabelWidget* addViewTab(QTabWidget* tabs, const char* tabName, const char* viewName, const QString& title,
                             QWidget*& tab)
{
    tab = new QWidget();
    tab->setObjectName(QLatin1String(tabName));
    auto* layout = new QVBoxLayout(tab);
    auto* view = new ImageLabelWidget(tab);
    view->setObjectName(QLatin1String(viewName));
    view->setMinimumWidth(300);
    layout->addWidget(view);
    tabs->addTab(tab, title);
    return view;
}

} // namespace

TreeModel::TreeModel(QObject* parent) : QStandardItemModel(0, 1, parent)
{
    setHorizontalHeaderLabels({QStringLiteral("Image")});
}

CamProjStereoCalib::CamProjStereoCalib(const SensorObjectList& sensorList, QWidget* parent)
    : CalibrationModule(sensorList, parent)
{
    setObjectName(QStringLiteral("ProjectorCalibrationWidget"));
    setWindowTitle(QStringLiteral("Camera Projector Calibration"));
    resize(1440, 900);
    m_settings.targetType = Chessboard;
    m_settings.dictionary = 10;
    buildForm();
    m_log = std::make_unique<TextEditLogSink>(text_log);
    m_images.setLog(m_log.get());
    connectForm();
    updateSensorNames();
}

CamProjStereoCalib::~CamProjStereoCalib() = default;

void CamProjStereoCalib::buildForm()
{
    auto* layout = new QHBoxLayout(this);

    frame_left = new QFrame(this);
    frame_left->setObjectName(QStringLiteral("frame_left"));
    frame_left->setFixedWidth(300);
    auto* left = new QVBoxLayout(frame_left);
    left->setContentsMargins(0, 0, 0, 0);
    groupBox_2 = makeGroup(frame_left, "groupBox_2", QStringLiteral("Camera"));
    comboBox_sensor = new QComboBox(groupBox_2);
    comboBox_sensor->setObjectName(QStringLiteral("comboBox_sensor"));
    (new QVBoxLayout(groupBox_2))->addWidget(comboBox_sensor);
    left->addWidget(groupBox_2);
    groupBox_4 = makeGroup(frame_left, "groupBox_4", QStringLiteral("Projector"));
    comboBox_projector = new QComboBox(groupBox_4);
    comboBox_projector->setObjectName(QStringLiteral("comboBox_projector"));
    (new QVBoxLayout(groupBox_4))->addWidget(comboBox_projector);
    left->addWidget(groupBox_4);
    groupBox_3 = makeGroup(frame_left, "groupBox_3", QStringLiteral("Image List (Gray Code Sequences)"));
    auto* listLayout = new QVBoxLayout(groupBox_3);
    imageTree = new QTreeView(groupBox_3);
    imageTree->setObjectName(QStringLiteral("imageTree"));
    imageTree->header()->hide();
    m_model = new TreeModel(this);
    imageTree->setModel(m_model);
    listLayout->addWidget(imageTree);
    pushButton_LoadCapturedGrayCodeSets = new QPushButton(QStringLiteral("Load Captured Gray-Code Sets"), groupBox_3);
    pushButton_LoadCapturedGrayCodeSets->setObjectName(QStringLiteral("pushButton_LoadCapturedGrayCodeSets"));
    listLayout->addWidget(pushButton_LoadCapturedGrayCodeSets);
    left->addWidget(groupBox_3, 1);
    layout->addWidget(frame_left);

    // The views over the log, as in the other modules: the images get the whole width.
    auto* splitter = new QSplitter(Qt::Vertical, this);
    tabWidget = new QTabWidget(splitter);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    cam_view = addViewTab(tabWidget, "tab_CameraView", "cam_view", QStringLiteral("Camera View"), tab_CameraView);
    mask_view = addViewTab(tabWidget, "tab_ProjectionAreaMask", "mask_view", QStringLiteral("Projection Area Mask"),
                           tab_ProjectionAreaMask);
    decode_x = addViewTab(tabWidget, "tab_DecodedX", "decode_x", QStringLiteral("Decoded X"), tab_DecodedX);
    decode_y = addViewTab(tabWidget, "tab_DecodedY", "decode_y", QStringLiteral("Decoded Y"), tab_DecodedY);
    proj_view = addViewTab(tabWidget, "tab_ProjectorView", "proj_view", QStringLiteral("Projector View"),
                           tab_ProjectorView);
    tabWidget->setCurrentIndex(0);
    text_log = new QTextEdit(splitter);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    text_log->setMinimumWidth(400);
    splitter->addWidget(tabWidget);
    splitter->addWidget(text_log);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    frame_right = new QFrame(this);
    frame_right->setObjectName(QStringLiteral("frame_right"));
    frame_right->setMinimumWidth(320);
    auto* rightOuter = new QVBoxLayout(frame_right);
    rightOuter->setContentsMargins(0, 0, 0, 0);
    scrollArea = new QScrollArea(frame_right);
    scrollArea->setObjectName(QStringLiteral("scrollArea"));
    scrollArea->setWidgetResizable(true);
    auto* content = new QWidget();
    auto* right = new QVBoxLayout(content);

    group_proj_corner_detect =
        makeGroup(content, "group_proj_corner_detect", QStringLiteral("Camera-Projector Target Corner Estimation"));
    auto* grid = new QGridLayout(group_proj_corner_detect);
    label_4 = new QLabel(QStringLiteral("Homography Radius [px]"), group_proj_corner_detect);
    label_4->setObjectName(QStringLiteral("label_4"));
    spin_homography_win = new QSpinBox(group_proj_corner_detect);
    spin_homography_win->setObjectName(QStringLiteral("spin_homography_win"));
    spin_homography_win->setRange(2, 9999);
    spin_homography_win->setValue(10);
    label_7 = new QLabel(QStringLiteral("Projection Mask Thresh"), group_proj_corner_detect);
    label_7->setObjectName(QStringLiteral("label_7"));
    doubleSpinBox_RatioThresh = new QDoubleSpinBox(group_proj_corner_detect);
    doubleSpinBox_RatioThresh->setObjectName(QStringLiteral("doubleSpinBox_RatioThresh"));
    doubleSpinBox_RatioThresh->setRange(0.0, 1.0);
    doubleSpinBox_RatioThresh->setSingleStep(0.01);
    doubleSpinBox_RatioThresh->setDecimals(2);
    doubleSpinBox_RatioThresh->setValue(0.0);
    button_calibrate = new QPushButton(QStringLiteral("Detect / Decode"), group_proj_corner_detect);
    button_calibrate->setObjectName(QStringLiteral("button_calibrate"));
    button_calibrate->setMinimumHeight(40);
    grid->addWidget(label_4, 0, 0);
    grid->addWidget(spin_homography_win, 0, 1);
    grid->addWidget(label_7, 1, 0);
    grid->addWidget(doubleSpinBox_RatioThresh, 1, 1);
    grid->addWidget(button_calibrate, 2, 0, 1, 2);
    right->addWidget(group_proj_corner_detect);

    groupBox = makeGroup(content, "groupBox", QStringLiteral("Camera-Projector Extrinsics Calibration"));
    auto* extrinsics = new QVBoxLayout(groupBox);
    pushButton_WriteExtrinsicCalibrationInput =
        new QPushButton(QStringLiteral("Write Extrinsic Calibration Input Data"), groupBox);
    pushButton_WriteExtrinsicCalibrationInput->setObjectName(QStringLiteral("pushButton_WriteExtrinsicCalibrationInput"));
    pushButton_WriteExtrinsicCalibrationInput->setEnabled(false);
    pushButton_ExtrinsicProjectorCamera = new QPushButton(QStringLiteral("Open Extrinsic Camera-Projector Module"), groupBox);
    pushButton_ExtrinsicProjectorCamera->setObjectName(QStringLiteral("pushButton_ExtrinsicProjectorCamera"));
    extrinsics->addWidget(pushButton_WriteExtrinsicCalibrationInput);
    extrinsics->addWidget(pushButton_ExtrinsicProjectorCamera);
    right->addWidget(groupBox);
    right->addStretch(1);
    scrollArea->setWidget(content);
    rightOuter->addWidget(scrollArea);
    layout->addWidget(frame_right);
}

void CamProjStereoCalib::connectForm()
{
    // Every reaction reads user files (images, decoding) or writes them: nothing may escape into Qt.
    auto guarded = [this](void (CamProjStereoCalib::*slot)()) {
        return [this, slot] { guardWithLog(text_log, [this, slot] { (this->*slot)(); }); };
    };
    connect(imageTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                guardWithLog(text_log, [this, current] { onCurrentChanged(current); });
            });
    connect(m_model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) {
                guardWithLog(text_log, [&] { onModelDataChanged(topLeft, bottomRight, roles); });
            });
    connect(pushButton_WriteExtrinsicCalibrationInput, &QPushButton::clicked, this,
            guarded(&CamProjStereoCalib::writeExtrinsicInput));
    // The run guards itself (module frame).
    connect(button_calibrate, &QPushButton::clicked, this, &CamProjStereoCalib::onDetectDecodeClicked);
    connect(doubleSpinBox_RatioThresh, &QDoubleSpinBox::valueChanged, this,
            guarded(&CamProjStereoCalib::onThresholdChanged));
    connect(spin_homography_win, &QSpinBox::valueChanged, this, &CamProjStereoCalib::onRadiusChanged);
    connect(pushButton_LoadCapturedGrayCodeSets, &QPushButton::clicked, this, guarded(&CamProjStereoCalib::loadSets));
    connect(tabWidget, &QTabWidget::currentChanged, this, guarded(&CamProjStereoCalib::refreshViews));
    TNQ::installCheckAllMenu(imageTree);
}

void CamProjStereoCalib::updateSensorNames()
{
    refillSensorCombos({comboBox_sensor, comboBox_projector});
    // A new window offers the second object as the projector.
    if (!m_filledOnce && comboBox_projector->count() > 1)
        comboBox_projector->setCurrentIndex(1);
    m_filledOnce = m_filledOnce || comboBox_projector->count() > 0;
}

void CamProjStereoCalib::clearSetData()
{
    for (camproj::CornerSet& set : m_corners)
        set.clear();
    m_images.clearCaches();
}

void CamProjStereoCalib::loadSets()
{
    if (busy())
        return;
    emit getMainWindowSettings(m_settings);
    const cv::Size projector(m_settings.projectorWidth, m_settings.projectorHeight);
    m_suppressModelRefresh = true;
    m_model->removeRows(0, m_model->rowCount());
    m_images.setSets({});
    m_corners.clear();

    const std::vector<camproj::CapturedSet> found = camproj::findCapturedSets(workingDirectory(), projector);
    std::vector<QStringList> files;
    for (const camproj::CapturedSet& set : found) {
        auto* setItem = new QStandardItem(set.name);
        setItem->setToolTip(set.name);
        setItem->setEditable(false);
        setItem->setCheckable(true);
        setItem->setCheckState(Qt::Checked);
        setItem->setData(projector.width, TreeModel::ProjectorWidthRole);
        setItem->setData(projector.height, TreeModel::ProjectorHeightRole);
        for (int row = 0; row < set.files.size(); ++row) {
            const QString text = QStringLiteral("#%1 %2")
                                     .arg(row, 2, 10, QLatin1Char('0'))
                                     .arg(QFileInfo(set.files[row]).fileName());
            auto* image = new QStandardItem(text);
            image->setToolTip(text);
            image->setEditable(false);
            image->setData(set.files[row], Qt::UserRole);
            setItem->appendRow(image);
        }
        m_model->appendRow(setItem);
        files.push_back(set.files);
    }
    m_images.setSets(std::move(files));
    m_images.setProjectorSize(projector);
    m_images.setMaskThreshold(doubleSpinBox_RatioThresh->value());
    m_corners.assign(found.size(), camproj::CornerSet());
    m_suppressModelRefresh = false;

    imageTree->selectionModel()->clearSelection();
    m_currentSet = 0;
    m_currentRow = 0;
    if (found.empty()) {
        camproj::logNoCapturedSets(*m_log);
    } else {
        {
            const QSignalBlocker block(imageTree->selectionModel());
            imageTree->setCurrentIndex(m_model->index(0, 0));
        }
        refreshViews();
    }
    pushButton_WriteExtrinsicCalibrationInput->setEnabled(false);
}

void CamProjStereoCalib::onCurrentChanged(const QModelIndex& current)
{
    if (!current.isValid())
        return;
    if (current.parent().isValid()) {
        m_currentSet = current.parent().row();
        m_currentRow = current.row();
    } else {
        m_currentSet = current.row();
        m_currentRow = 0;
    }
    refreshViews();
}

void CamProjStereoCalib::onModelDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                            const QList<int>& roles)
{
    if (m_suppressModelRefresh)
        return;
    if (roles.isEmpty() || roles.contains(Qt::CheckStateRole)) {
        // The user's check marks decide what the next run and the writer use.
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
            const QModelIndex index = m_model->index(row, 0, topLeft.parent());
            if (index.parent().isValid() || row >= static_cast<int>(m_corners.size()))
                continue;
            const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            m_corners[static_cast<size_t>(row)].checked = checked;
            if (checked && m_corners[static_cast<size_t>(row)].grey) {
                m_corners[static_cast<size_t>(row)].grey = false;
                const QSignalBlocker block(m_model);
                m_model->item(row)->setBackground(QBrush());
            }
        }
    }
    // "Check All" changes every set at once: draw once for all of them.
    if (m_refreshPending)
        return;
    m_refreshPending = true;
    QTimer::singleShot(0, this, [this] {
        m_refreshPending = false;
        guardWithLog(text_log, [this] { refreshViews(); });
    });
}

void CamProjStereoCalib::onThresholdChanged()
{
    m_images.setMaskThreshold(doubleSpinBox_RatioThresh->value());
    if (m_images.setCount() == 0)
        return;
    clearSetData();
    pushButton_WriteExtrinsicCalibrationInput->setEnabled(false);
    if (tabWidget->currentWidget() == tab_ProjectionAreaMask)
        refreshViews();
    else
        tabWidget->setCurrentWidget(tab_ProjectionAreaMask);
}

void CamProjStereoCalib::onRadiusChanged()
{
    for (camproj::CornerSet& set : m_corners)
        set.projectorCorners.clear();
    // Without projector corners there is nothing to write until the next run.
    pushButton_WriteExtrinsicCalibrationInput->setEnabled(false);
}

void CamProjStereoCalib::refreshViews()
{
    if (m_images.setCount() == 0 || m_currentSet < 0 || m_currentSet >= m_images.setCount())
        return;
    const QSignalBlocker block(m_model);
    const camproj::CornerSet* corners =
        m_currentSet < static_cast<int>(m_corners.size()) ? &m_corners[static_cast<size_t>(m_currentSet)] : nullptr;
    QWidget* tab = tabWidget->currentWidget();
    if (tab == tab_ProjectionAreaMask) {
        mask_view->setImage(m_images.maskOverlay(m_currentSet));
    } else if (tab == tab_CameraView) {
        const cv::Mat image = m_images.loadSetImage(m_currentSet, m_currentRow, true);
        if (!image.empty()) {
            cam_view->setImage(image);
            if (corners && !corners->cameraCorners.empty())
                cam_view->setCircles(corners->cameraCorners,
                                     std::vector<OverlayColor>(corners->cameraCorners.size(), kCornerColour));
        }
    } else if (tab == tab_ProjectorView) {
        proj_view->setImage(m_images.projectorView(m_currentSet, false));
        if (corners && !corners->projectorCorners.empty())
            proj_view->setCircles(corners->projectorCorners,
                                  std::vector<OverlayColor>(corners->projectorCorners.size(), kCornerColour));
        return;
    } else if (tab == tab_DecodedX || tab == tab_DecodedY) {
        cv::Mat x, y;
        m_images.decodedColourImages(m_currentSet, x, y);
        if (tab == tab_DecodedX)
            decode_x->setImage(x);
        else
            decode_y->setImage(y);
    }
    imageTree->setFocus();
}

void CamProjStereoCalib::onDetectDecodeClicked()
{
    emit getMainWindowSettings(m_settings);
    runOrAbort(button_calibrate, QStringLiteral("Detect / Decode"), [this] { runJob(); });
}

void CamProjStereoCalib::setRunControlsEnabled(bool enabled)
{
    // The run works on the loaded sets and their caches: nothing may replace or clear them meanwhile.
    for (QWidget* w : std::initializer_list<QWidget*>{pushButton_LoadCapturedGrayCodeSets, spin_homography_win,
                                                      doubleSpinBox_RatioThresh})
        w->setEnabled(enabled);
    if (!enabled)
        pushButton_WriteExtrinsicCalibrationInput->setEnabled(false);
}

void CamProjStereoCalib::runJob()
{
    const cv::Size projector(m_settings.projectorWidth, m_settings.projectorHeight);
    if (m_images.setCount() > 0 && projector != m_images.projectorSize()) {
        // The sets were chosen by their image count, which the resolution decides.
        const cv::Size loaded = m_images.projectorSize();
        m_log->append(QStringLiteral("The projector resolution is now %1x%2 px, but the sets were loaded for %3x%4 px. "
                                     "Please load the sets again, aborting.\n\n")
                          .arg(projector.width)
                          .arg(projector.height)
                          .arg(loaded.width)
                          .arg(loaded.height),
                      vantiro::logcolor::Red);
        return;
    }
    const bool writable = pushButton_WriteExtrinsicCalibrationInput->isEnabled();
    setRunControlsEnabled(false);
    camproj::CornerJobOptions options;
    options.target = m_settings;
    options.homographyRadius = spin_homography_win->value();
    const camproj::CornerJobStatus status =
        camproj::estimateProjectorCorners(m_images, m_corners, options, abortCheck(), *m_log);
    setRunControlsEnabled(true);
    showSetStates();
    if (status != camproj::CornerJobStatus::Finished) {
        pushButton_WriteExtrinsicCalibrationInput->setEnabled(writable);
        refreshViews();
        return;
    }
    pushButton_WriteExtrinsicCalibrationInput->setEnabled(true);
    if (tabWidget->currentWidget() == tab_ProjectorView)
        refreshViews();
    else
        tabWidget->setCurrentWidget(tab_ProjectorView);
}

void CamProjStereoCalib::showSetStates()
{
    m_suppressModelRefresh = true;
    for (int s = 0; s < m_model->rowCount() && s < static_cast<int>(m_corners.size()); ++s) {
        QStandardItem* item = m_model->item(s);
        const camproj::CornerSet& set = m_corners[static_cast<size_t>(s)];
        item->setCheckState(set.checked ? Qt::Checked : Qt::Unchecked);
        item->setBackground(set.grey ? QBrush(QColor(vantiro::logcolor::Grey)) : QBrush());
    }
    m_suppressModelRefresh = false;
}

void CamProjStereoCalib::writeExtrinsicInput()
{
    if (busy())
        return;
    pushButton_ExtrinsicProjectorCamera->setEnabled(false);
    QApplication::processEvents();
    camproj::ExtrinsicInputRequest request;
    request.workingDirectory = workingDirectory();
    request.cameraName = comboBox_sensor->currentText();
    request.projectorName = comboBox_projector->currentText();
    camproj::writeExtrinsicInput(
        m_images, m_corners, request,
        [this](const QString& title, const QString& text) { return vantiro::dialogs::askYesNo(this, title, text); },
        *m_log);
    pushButton_ExtrinsicProjectorCamera->setEnabled(true);
}

void CamProjStereoCalib::handOverTo(ExtrinsicStereoCalibrationWidget* stereo)
{
    if (!stereo)
        return;
    const std::shared_ptr<SensorObject> camera = objectAtRow(comboBox_sensor->currentIndex());
    const std::shared_ptr<SensorObject> projector = objectAtRow(comboBox_projector->currentIndex());
    if (camera && projector)
        stereo->selectSensors(camera->id, projector->id);
    // Each box follows its twin with its own signals blocked, so that the change does not come back.
    const auto couple = [](QComboBox* ours, QComboBox* theirs) {
        connect(theirs, &QComboBox::currentIndexChanged, ours, [ours](int index) {
            const QSignalBlocker block(ours);
            ours->setCurrentIndex(index);
        });
        connect(ours, &QComboBox::currentIndexChanged, theirs, [theirs](int index) {
            const QSignalBlocker block(theirs);
            theirs->setCurrentIndex(index);
        });
    };
    couple(comboBox_sensor, stereo->comboBox_primary);
    couple(comboBox_projector, stereo->comboBox_secondary);
    const QString W = workingDirectory();
    stereo->setImageLists(camproj::extrinsicDataImages(W, comboBox_sensor->currentText()),
                          camproj::extrinsicDataImages(W, comboBox_projector->currentText()));
}
