#include "app/ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextEdit>
#include <QUrl>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkFollower.h>
#include <vtkMatrix4x4.h>
#include <vtkCamera.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkProp3D.h>
#include <vtkRenderer.h>

#include <cmath>
#include <iostream>

#include "app/CaughtException.h"
#include "app/ProjectFile.h"
#include "app/Settings.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/LogoLabel.h"
#include "app/ui/SlotGuard.h"
#include "intrinsic/ui/IntrinsicCalibrationWidget.h"
#include "projector/GrayCodePatternGenerator.h"
#include "projector/ui/CamProjStereoCalib.h"
#include "robot/ui/HandEyeCalib.h"
#include "robot/ui/ToolFlangeCalib.h"
#include "sensors/ui/SceneProps.h"
#include "sensors/ui/SensorTree.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"
#include "targets/BoardImages.h"
#include "targets/TargetPrint.h"
#include "targets/TargetSettingsFile.h"
#include "targets/ui/TargetPagePainter.h"
#include "targets/ui/TargetPreview.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {
const QString kWorkingDirectoryKey = QStringLiteral("MainWindow/comboBox_WorkingDirectory");
const QString kRecentKey = QStringLiteral("MainWindow/RecentWorkingDirectories");
const QString kSettingsFileName = QStringLiteral("/MainWindowSettings.ini");
const QString kSettingsGroup = QStringLiteral("MainWindowSettings/");

bool isDirectory(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// Strict conversions for values read back from a settings file: garbage keeps the widget as it is.
std::optional<bool> toBool(const QVariant& v)
{
    const QString s = v.toString().trimmed().toLower();
    if (s == QLatin1String("true") || s == QLatin1String("1"))
        return true;
    if (s == QLatin1String("false") || s == QLatin1String("0"))
        return false;
    return std::nullopt;
}

std::optional<int> toInt(const QVariant& v)
{
    bool ok = false;
    const int i = v.toString().trimmed().toInt(&ok);
    return ok ? std::optional<int>(i) : std::nullopt;
}

std::optional<double> toDouble(const QVariant& v)
{
    bool ok = false;
    const double d = v.toString().trimmed().toDouble(&ok);
    return ok && std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}
} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    try {
        // C1
        m_targetRenderer = vtkSmartPointer<vtkRenderer>::New();
        m_sceneRenderer = vtkSmartPointer<vtkRenderer>::New();
        m_sceneOverlayRenderer = vtkSmartPointer<vtkRenderer>::New();
        m_targetOriginActor = props::axesGlyph(100);
        buildDictionaryNames();

        // C2
        ui.setupUi(this);
        resize(1440, 900);
        ui.tabWidget->setCurrentWidget(ui.tab_TargetView);

        // C3
        if (!readSetting(QStringLiteral("Experimental/RadonTarget"), false).toBool())
            ui.radioButton_TargetRadonChessboardWithMarkers->hide();

        // C5, C6
        setUpLogo();
        ui.button_manhattan_extr_calib->setEnabled(false);
        ui.groupBox_sceneBasedCalibration->hide();

        // C7
        for (const auto& [id, name] : m_dictionaryNames)
            ui.comboBox_ChArUcoDictionary->addItem(name);
        ui.comboBox_ChArUcoDictionary->setCurrentIndex(10);

        // C8, C9
        setWindowTitle(QCoreApplication::applicationName());
        setUpViews();

        // C10
        ui.groupBox_TargetChArUco->hide();
        ui.groupBox_TargetRadonChessboardWithMarkers->hide();
        connectTargetPanel();

        // C11
        ui.widget_sensors->addObject();
        ui.widget_sensors->addObject();
        resetTargetView();
        ui.tabWidget->setCurrentWidget(ui.tab_TargetView);

        // C12
        restoreWorkingDirectory();
        buildMenus();
        updateTargetPreview();
        ui.button_set_working_directory->setDefault(true);
        ui.button_set_working_directory->setFocus();
    } catch (const std::exception& e) {
        std::cerr << "MainWindow::MainWindow" << " -- Exception: " << e.what() << std::endl;
    }
}

MainWindow::~MainWindow()
{
    for (const QPointer<QWidget>& w : m_moduleWindows)
        delete w.data();
}

void MainWindow::buildDictionaryNames()
{
    m_dictionaryNames = ::dictionaryNames();
}

void MainWindow::setUpLogo()
{
    Q_INIT_RESOURCE(resources);
    const QImage image(QStringLiteral(":images/TNQ-Logo.png"));
    auto* logo = new TNQ::LogoLabel(ui.frame_left);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setScaledContents(true);
    logo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    const int width = ui.layout_left->width() - 50;
    logo->setFixedWidth(width);
    if (!image.isNull())
        logo->setFixedHeight(int(std::lround(double(image.height()) * width / image.width())));
    logo->setPixmap(QPixmap::fromImage(image));
    logo->setAlignment(Qt::AlignCenter);
    logo->setMouseTracking(true);
    ui.Layout_TNQLogo->setContentsMargins(10, 10, 10, 4);
    ui.Layout_TNQLogo->addWidget(logo, 0, Qt::AlignCenter);
}

void MainWindow::setUpViews()
{
    m_sceneRenderer->SetBackground(0.3, 0.6, 0.9);
    m_sceneRenderer->SetBackground2(0.9, 0.9, 0.9);
    m_sceneRenderer->GradientBackgroundOn();
    vtkGenericOpenGLRenderWindow* sceneWindow = ui.QVTKWidget_Scene->renderWindow();
    sceneWindow->SetNumberOfLayers(2);
    m_sceneRenderer->SetLayer(0);
    m_sceneOverlayRenderer->SetLayer(1);
    // Labels live in the overlay and move with the scene; the scene renderer takes the mouse.
    m_sceneOverlayRenderer->SetActiveCamera(m_sceneRenderer->GetActiveCamera());
    m_sceneOverlayRenderer->InteractiveOff();
    sceneWindow->AddRenderer(m_sceneRenderer);
    sceneWindow->AddRenderer(m_sceneOverlayRenderer);
    vtkCamera* camera = m_sceneRenderer->GetActiveCamera();
    camera->SetViewUp(0, -1, 0);
    camera->SetPosition(0, 0, -5000);
    camera->SetFocalPoint(0, 0, 0);

    m_targetRenderer->SetBackground(0.9, 0.9, 0.9);
    m_targetRenderer->SetBackground2(0.3, 0.6, 0.9);
    m_targetRenderer->GradientBackgroundOn();
    ui.QVTKWidget_Target->renderWindow()->AddRenderer(m_targetRenderer);
}

void MainWindow::connectTargetPanel()
{
    auto radio = [this](QRadioButton* button, QGroupBox* group) {
        connect(button, &QRadioButton::toggled, this, [this, group](bool checked) {
            group->setVisible(checked);
            if (checked)
                updateTargetPreview();
        });
    };
    radio(ui.radioButton_TargetChessboard, ui.groupBox_TargetChessboard);
    radio(ui.radioButton_TargetChArUco, ui.groupBox_TargetChArUco);
    radio(ui.radioButton_TargetRadonChessboardWithMarkers, ui.groupBox_TargetRadonChessboardWithMarkers);

    connect(ui.spinBox_ChessboardSquareWidth, &QDoubleSpinBox::valueChanged, this, [this](double width) {
        if (!ui.checkBox_ChessboardIndependentSquareHeight->isChecked()) {
            const QSignalBlocker block(ui.spinBox_ChessboardSquareHeight);
            ui.spinBox_ChessboardSquareHeight->setValue(width);
        }
        updateTargetPreview();
    });
    connect(ui.checkBox_ChessboardIndependentSquareHeight, &QCheckBox::toggled, this, [this](bool checked) {
        ui.spinBox_ChessboardSquareHeight->setEnabled(checked);
        if (!checked)
            ui.spinBox_ChessboardSquareHeight->setValue(ui.spinBox_ChessboardSquareWidth->value());
    });
    connect(ui.doubleSpinBox_ChArUcoSquareSize, &QDoubleSpinBox::valueChanged, this, [this](double square) {
        if (ui.doubleSpinBox_ArUcoMarkerSize->value() >= square) {
            const QSignalBlocker block(ui.doubleSpinBox_ArUcoMarkerSize);
            ui.doubleSpinBox_ArUcoMarkerSize->setValue(square);
        }
        updateTargetPreview();
    });
    connect(ui.doubleSpinBox_ArUcoMarkerSize, &QDoubleSpinBox::valueChanged, this, [this](double marker) {
        if (marker >= ui.doubleSpinBox_ChArUcoSquareSize->value()) {
            const QSignalBlocker block(ui.doubleSpinBox_ChArUcoSquareSize);
            ui.doubleSpinBox_ChArUcoSquareSize->setValue(marker);
        }
        updateTargetPreview();
    });

    for (QDoubleSpinBox* box : {ui.spinBox_ChessboardSquareHeight, ui.spinBox_RadonChessboardSquareSize})
        connect(box, &QDoubleSpinBox::valueChanged, this, &MainWindow::updateTargetPreview);
    for (QSpinBox* box : {ui.spinBox_ChessboardNumSquaresX, ui.spinBox_ChessboardNumSquaresY, ui.spinBox_ChArUcoWidth,
                          ui.spinBox_ChArUcoHeight, ui.spin_proj_width, ui.spin_proj_height,
                          ui.spinBox_RadonChessboardNumSquaresX, ui.spinBox_RadonChessboardNumSquaresY,
                          ui.spinBox_RadonChessboardMarkerPositionX, ui.spinBox_RadonChessboardMarkerPositionY})
        connect(box, &QSpinBox::valueChanged, this, &MainWindow::updateTargetPreview);
    connect(ui.comboBox_ChArUcoDictionary, &QComboBox::currentIndexChanged, this, &MainWindow::updateTargetPreview);
    connect(ui.checkBox_CharucoLegacy, &QCheckBox::toggled, this, &MainWindow::updateTargetPreview);

    connect(ui.pushButton_SaveCurrentSettingsInWorkingDirectory, &QPushButton::clicked, this,
            &MainWindow::saveCurrentSettings);
    connect(ui.pushButton_TargetResetView, &QPushButton::clicked, this, &MainWindow::resetTargetView);
    connect(ui.pushButton_SceneResetView, &QPushButton::clicked, this, &MainWindow::resetSceneView);
    connect(ui.button_set_working_directory, &QPushButton::clicked, this, &MainWindow::chooseWorkingDirectory);
    connect(ui.comboBox_WorkingDirectory, &QComboBox::currentIndexChanged, this, &MainWindow::workingDirectoryChanged);
    connect(ui.button_open_working_directory, &QPushButton::clicked, this, &MainWindow::openWorkingDirectory);
    connect(ui.button_remove_from_recent_working_directories_list, &QPushButton::clicked, this,
            &MainWindow::removeFromRecentList);
    connect(ui.button_checker_intr_calib, &QPushButton::clicked, this, &MainWindow::openIntrinsicModule);
    connect(ui.button_checker_extr_calib, &QPushButton::clicked, this, &MainWindow::openStereoModule);
    connect(ui.button_checker_cam_proj_calib, &QPushButton::clicked, this, &MainWindow::openCamProjModule);
    connect(ui.button_hand_eye, &QPushButton::clicked, this, &MainWindow::openHandEyeModule);
    connect(ui.button_tool_flange, &QPushButton::clicked, this, &MainWindow::openToolFlangeModule);
    connect(ui.widget_sensors, &SensorTree::updateSceneRender, this, &MainWindow::redrawScene);
    connect(ui.widget_sensors, &SensorTree::removeSensorFromRender, this, &MainWindow::removeSensorProps);
    connect(ui.pushButton_generateGrayCodeImages, &QPushButton::clicked, this, &MainWindow::generateGrayCodeImages);

    using vantiro::print::Paper;
    for (const Paper paper : {Paper::A4, Paper::A3, Paper::Letter, Paper::Fit})
        ui.comboBox_TargetExportPaper->addItem(paper == Paper::Fit ? QStringLiteral("Fit") : vantiro::print::paperName(paper),
                                               int(paper));
    ui.spinBox_TargetExportDpi->setRange(vantiro::print::kMinDpi, vantiro::print::kMaxDpi);
    ui.spinBox_TargetExportDpi->setValue(300);
    connect(ui.pushButton_ExportTarget, &QPushButton::clicked, this, &MainWindow::exportTarget);
}

void MainWindow::buildMenus()
{
    const QString app = QCoreApplication::applicationName();
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* newProject = file->addAction(QStringLiteral("&New Project"), this, &MainWindow::newProject);
    newProject->setShortcut(QKeySequence::New);
    QAction* open = file->addAction(QStringLiteral("&Open Project"), this, &MainWindow::openProject);
    open->setShortcut(QKeySequence::Open);
    QAction* save = file->addAction(QStringLiteral("&Save Project"), this, &MainWindow::saveProject);
    save->setShortcut(QKeySequence::Save);
    file->addSeparator();
    QAction* settings = file->addAction(QStringLiteral("Open Settings (") + app + QStringLiteral(".ini)"), this,
                                        &MainWindow::openSettingsFile);
    settings->setStatusTip(QStringLiteral("Open ") + app + QStringLiteral(".ini file with default application"));
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("&Quit ") + app, qApp, &QCoreApplication::quit);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* about = help->addAction(QStringLiteral("&About ") + app, this, &MainWindow::showAbout);
    about->setShortcut(QKeySequence::HelpContents);
    about->setStatusTip(QStringLiteral("Show the application's About box"));
}

void MainWindow::showAbout()
{
    const QString app = QCoreApplication::applicationName();
    const QString text =
        QStringLiteral("<h2>%1</h2><p>Toolkit for the Geometric Calibration of<br>Cameras, Projectors and Robots</p>"
                       "<p>Version %2</p><p>Built with OpenCV, Qt Framework and Visualization Toolkit.</p>")
            .arg(app, QStringLiteral(VANTIRO_VERSION));
    vantiro::dialogs::message({QMessageBox::Information, this, QStringLiteral("About ") + app, text, QMessageBox::Ok});
}

void MainWindow::openSettingsFile()
{
    vantiro::dialogs::openUrl(QUrl::fromLocalFile(vantiro::userSettingsFile()));
}

// ---------------------------------------------------------------- target panel

void MainWindow::readTargetSettings(MainWindowSettings& s)
{
    if (ui.radioButton_TargetChessboard->isChecked()) {
        s.targetType = Chessboard;
        s.numSquaresX = ui.spinBox_ChessboardNumSquaresX->value();
        s.numSquaresY = ui.spinBox_ChessboardNumSquaresY->value();
        s.squareWidth = ui.spinBox_ChessboardSquareWidth->value();
        s.squareHeight = ui.spinBox_ChessboardSquareHeight->value();
        s.exhaustiveSearch = ui.checkBox_ChessboardExhaustiveSearch->isChecked();
    } else if (ui.radioButton_TargetChArUco->isChecked()) {
        s.targetType = ChArUco;
        s.numSquaresX = ui.spinBox_ChArUcoWidth->value();
        s.numSquaresY = ui.spinBox_ChArUcoHeight->value();
        s.squareWidth = s.squareHeight = ui.doubleSpinBox_ChArUcoSquareSize->value();
        s.markerSize = int32_t(ui.doubleSpinBox_ArUcoMarkerSize->value());
        s.legacyPattern = ui.checkBox_CharucoLegacy->isChecked();
        s.dictionary = ui.comboBox_ChArUcoDictionary->currentIndex();
    } else if (ui.radioButton_TargetRadonChessboardWithMarkers->isChecked()) {
        s.targetType = RadonChessboardWithMarkers;
        s.numSquaresX = ui.spinBox_RadonChessboardNumSquaresX->value();
        s.numSquaresY = ui.spinBox_RadonChessboardNumSquaresY->value();
        s.squareWidth = s.squareHeight = ui.spinBox_RadonChessboardSquareSize->value();
        s.dictionary = ui.comboBox_ChArUcoDictionary->currentIndex();
    }
    s.projectorWidth = ui.spin_proj_width->value();
    s.projectorHeight = ui.spin_proj_height->value();
}

void MainWindow::updateTargetPreview()
{
    ui.tabWidget->setCurrentWidget(ui.tab_TargetView);
    if (m_targetBoardActor)
        m_targetRenderer->RemoveViewProp(m_targetBoardActor);
    m_targetRenderer->RemoveViewProp(m_targetOriginActor);

    BoardImage board;
    cv::Vec3d origin;
    if (ui.radioButton_TargetChessboard->isChecked() || ui.radioButton_TargetRadonChessboardWithMarkers->isChecked()) {
        const bool radon = ui.radioButton_TargetRadonChessboardWithMarkers->isChecked();
        int numX, numY;
        double w, h;
        if (radon) {
            numX = ui.spinBox_RadonChessboardNumSquaresX->value();
            numY = ui.spinBox_RadonChessboardNumSquaresY->value();
            w = h = ui.spinBox_RadonChessboardSquareSize->value();
            board = radonImage(numX, numY, w, ui.spinBox_RadonChessboardMarkerPositionX->value(),
                               ui.spinBox_RadonChessboardMarkerPositionY->value());
        } else {
            numX = ui.spinBox_ChessboardNumSquaresX->value();
            numY = ui.spinBox_ChessboardNumSquaresY->value();
            w = ui.spinBox_ChessboardSquareWidth->value();
            h = ui.spinBox_ChessboardSquareHeight->value();
            board = chessboardImage(numX, numY, w, h);
        }
        origin = cv::Vec3d(w * numX * 0.5 - w, -(h * numY * 0.5 - h), 0);
    } else {
        const int id = ui.comboBox_ChArUcoDictionary->currentIndex();
        if (m_dictionaryNames.count(id) == 0) {
            // Not a dictionary of the table: show the previous board again.
            if (m_targetBoardActor)
                m_targetRenderer->AddViewProp(m_targetBoardActor);
            m_targetRenderer->AddViewProp(m_targetOriginActor);
            ui.QVTKWidget_Target->render();
            return;
        }
        const int numX = ui.spinBox_ChArUcoWidth->value();
        const int numY = ui.spinBox_ChArUcoHeight->value();
        const double s = ui.doubleSpinBox_ChArUcoSquareSize->value();
        board = charucoImage(numX, numY, s, ui.doubleSpinBox_ArUcoMarkerSize->value(), id,
                             ui.checkBox_CharucoLegacy->isChecked());
        origin = cv::Vec3d(-s * numX * 0.5, s * numY * 0.5, 0);
    }

    ui.label_TargetStatus->setStyleSheet(board.status.styleSheet);
    ui.label_TargetStatus->setText(board.status.text);
    if (board.status.status == TargetStatus::Ambiguous)
        appendLog(ui.text_log, kAmbiguityWarning, QColor(QStringLiteral("orange")));
    if (board.status.status == TargetStatus::Invalid) {
        std::cout << board.message.toStdString() << std::endl;
        appendLog(ui.text_log, QStringLiteral("Error: The target cannot be built with these settings:\n") +
                                   board.message + QStringLiteral("\n\n"),
                  Qt::red);
    }

    m_targetBoardActor = boardAssembly(board);
    if (m_targetBoardActor)
        m_targetRenderer->AddViewProp(m_targetBoardActor);
    m_targetOriginActor->SetUserMatrix(props::poseMatrix(cv::Matx33d::eye(), origin));
    m_targetRenderer->AddViewProp(m_targetOriginActor);
    // A board of another size is refitted; otherwise the user's view stays.
    const cv::Size2d size(board.width, board.height);
    if (size != m_previewBoardSize && board.width > 0) {
        m_previewBoardSize = size;
        resetTargetView();
        return;
    }
    m_targetRenderer->ResetCameraClippingRange();
    ui.QVTKWidget_Target->render();
}

void MainWindow::showTargetGroups()
{
    ui.groupBox_TargetChArUco->setVisible(ui.radioButton_TargetChArUco->isChecked());
    ui.groupBox_TargetChessboard->setVisible(ui.radioButton_TargetChessboard->isChecked());
    ui.groupBox_TargetRadonChessboardWithMarkers->setVisible(ui.radioButton_TargetRadonChessboardWithMarkers->isChecked());
}

// ---------------------------------------------------------------- working directory and settings

QString MainWindow::currentWorkingDirectory() const
{
    return ui.comboBox_WorkingDirectory->currentText();
}

void MainWindow::setWorkingDirectory(const QString& path)
{
    if (!isDirectory(path))
        return;
    QComboBox* combo = ui.comboBox_WorkingDirectory;
    const QSignalBlocker block(combo);
    const int existing = combo->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (existing >= 0)
        combo->removeItem(existing);
    int at = combo->count();
    for (int i = 0; i < combo->count(); ++i)
        if (QString::compare(combo->itemText(i), path, Qt::CaseInsensitive) >= 0) {
            at = i;
            break;
        }
    combo->insertItem(at, path);
    combo->setCurrentIndex(at);
    ui.tabWidget->setCurrentWidget(ui.tab_TargetView);
    const QString settingsFile = path + kSettingsFileName;
    if (QFileInfo(settingsFile).isFile())
        loadSettingsFile(settingsFile);
    vantiro::openSettings()->setValue(kWorkingDirectoryKey, path);
    ui.pushButton_TargetResetView->click();
    saveRecentList();
}

void MainWindow::saveRecentList()
{
    QStringList recent;
    for (int i = 0; i < ui.comboBox_WorkingDirectory->count(); ++i)
        if (isDirectory(ui.comboBox_WorkingDirectory->itemText(i)))
            recent << ui.comboBox_WorkingDirectory->itemText(i);
    vantiro::openSettings()->setValue(kRecentKey, recent);
}

void MainWindow::restoreWorkingDirectory()
{
    auto store = vantiro::openSettings();
    {
        const QSignalBlocker block(ui.comboBox_WorkingDirectory);
        ui.comboBox_WorkingDirectory->addItems(store->value(kRecentKey).toStringList());
    }
    const QString stored = store->value(kWorkingDirectoryKey).toString();
    store.reset();
    if (isDirectory(stored))
        setWorkingDirectory(stored);
    else if (isDirectory(currentWorkingDirectory()))
        setWorkingDirectory(currentWorkingDirectory());
}

void MainWindow::chooseWorkingDirectory()
{
    setWorkingDirectory(vantiro::dialogs::existingDirectory(this, QStringLiteral("Select Working Directory"),
                                                            currentWorkingDirectory()));
}

void MainWindow::workingDirectoryChanged(int index)
{
    const QString text = ui.comboBox_WorkingDirectory->currentText();
    if (isDirectory(text)) {
        setWorkingDirectory(text);
        return;
    }
    appendLog(ui.text_log,
              QStringLiteral("Warning: The selected working directory does not exist and was removed from the list of "
                             "recent working directories:\n") +
                  text + QStringLiteral("\n\n"),
              QColor(QStringLiteral("orange")));
    QComboBox* combo = ui.comboBox_WorkingDirectory;
    {
        const QSignalBlocker block(combo);
        combo->removeItem(index);
    }
    if (combo->count() == 0)
        return;
    const int next = std::min(index, combo->count() - 1);
    {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(next);
    }
    if (isDirectory(combo->itemText(next)))
        setWorkingDirectory(combo->itemText(next));
}

void MainWindow::removeFromRecentList()
{
    QComboBox* combo = ui.comboBox_WorkingDirectory;
    if (!vantiro::dialogs::askYesNo(this, QStringLiteral("Remove ComboBox Entry"),
                                    QStringLiteral("Removing entry:\n\n") + combo->currentText() +
                                        QStringLiteral("\n\nfrom list of recent working directories.\n\nContinue?")))
        return;
    const int index = combo->currentIndex();
    {
        const QSignalBlocker block(combo);
        combo->removeItem(index);
    }
    if (combo->count() == 0)
        return;
    const int next = std::min(index, combo->count() - 1);
    {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(next);
    }
    if (isDirectory(combo->itemText(next)))
        setWorkingDirectory(combo->itemText(next));
}

void MainWindow::openWorkingDirectory()
{
    vantiro::dialogs::openUrl(QUrl::fromLocalFile(currentWorkingDirectory()));
}

QList<QWidget*> MainWindow::settingsWidgets() const
{
    QList<QWidget*> result;
    for (QWidget* w : ui.frame_right->findChildren<QWidget*>())
        if (qobject_cast<QCheckBox*>(w) || qobject_cast<QGroupBox*>(w) || qobject_cast<QRadioButton*>(w) ||
            qobject_cast<QSpinBox*>(w) || qobject_cast<QDoubleSpinBox*>(w) || qobject_cast<QSlider*>(w) ||
            qobject_cast<QComboBox*>(w))
            result << w;
    return result;
}

void MainWindow::saveCurrentSettings()
{
    const QString dir = currentWorkingDirectory();
    if (!isDirectory(dir))
        return;
    const QString path = dir + kSettingsFileName;
    auto store = vantiro::openSettings(path);
    for (QWidget* w : settingsWidgets()) {
        const QString key = kSettingsGroup + w->objectName();
        if (auto* c = qobject_cast<QCheckBox*>(w))
            store->setValue(key, c->isChecked());
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            store->setValue(key, g->isChecked());
        else if (auto* r = qobject_cast<QRadioButton*>(w))
            store->setValue(key, r->isChecked());
        else if (auto* s = qobject_cast<QSpinBox*>(w))
            store->setValue(key, s->value());
        else if (auto* d = qobject_cast<QDoubleSpinBox*>(w))
            store->setValue(key, d->value());
        else if (auto* sl = qobject_cast<QSlider*>(w))
            store->setValue(key, sl->value());
        else if (auto* cb = qobject_cast<QComboBox*>(w))
            store->setValue(key, cb->currentIndex());
    }
    store->sync();
    if (store->status() != QSettings::NoError) {
        appendLog(ui.text_log, QStringLiteral("Error: Target settings could not be written to:\n") + path +
                                   QStringLiteral("\n\n"),
                  Qt::red);
        return;
    }
    appendLog(ui.text_log, QStringLiteral("Target settings saved to:\n"), QColor(), true);
    appendLog(ui.text_log, path + QStringLiteral("\n\n"));
}

void MainWindow::loadSettingsFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return;
    if (info.size() > kMaxTargetSettingsFileBytes) {
        appendLog(ui.text_log,
                  QStringLiteral("Error: The target settings in %1 could not be read: larger than %2 KB, not a "
                                 "settings file\n\n")
                      .arg(path)
                      .arg(kMaxTargetSettingsFileBytes / 1024),
                  Qt::red);
        return;
    }
    try {
        applySettingsFile(path);
    } catch (...) {
        // Whatever was read stays; the rest of the panel keeps its values.
        const vantiro::CaughtException what = vantiro::describeCurrentException();
        appendLog(ui.text_log,
                  QStringLiteral("Error: The target settings in %1 could not be read: %2\n\n").arg(path, what.message),
                  Qt::red);
    }
}

void MainWindow::applySettingsFile(const QString& path)
{
    for (QWidget* w : settingsWidgets()) {
        const QSignalBlocker block(w);
        const QString key = kSettingsGroup + w->objectName();
        if (auto* c = qobject_cast<QCheckBox*>(w)) {
            if (const auto v = toBool(readSetting(key, c->isChecked(), path)))
                c->setChecked(*v);
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            if (const auto v = toBool(readSetting(key, g->isChecked(), path)))
                g->setChecked(*v);
        } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
            if (const auto v = toBool(readSetting(key, r->isChecked(), path)); v && *v)
                r->setChecked(true); // radio buttons are exclusive: only a checked one changes the group
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            if (const auto v = toInt(readSetting(key, s->value(), path)))
                s->setValue(*v);
        } else if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            if (const auto v = toDouble(readSetting(key, d->value(), path)))
                d->setValue(*v);
        } else if (auto* sl = qobject_cast<QSlider*>(w)) {
            if (const auto v = toInt(readSetting(key, sl->value(), path)))
                sl->setValue(*v);
        } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
            if (const auto v = toInt(readSetting(key, cb->currentIndex(), path)); v && *v >= 0 && *v < cb->count())
                cb->setCurrentIndex(*v);
        }
    }
    // The height box follows the width unless it is independent.
    ui.spinBox_ChessboardSquareHeight->setEnabled(ui.checkBox_ChessboardIndependentSquareHeight->isChecked());
    showTargetGroups();
    updateTargetPreview();
}

// ---------------------------------------------------------------- project

void MainWindow::newProject()
{
    guardWithBox([this] {
        const QString dir = vantiro::dialogs::existingDirectory(this, QStringLiteral("Select Working Directory"),
                                                                currentWorkingDirectory());
        if (dir.isEmpty())
            return;
        setWorkingDirectory(dir);
        m_sceneRenderer->RemoveAllViewProps();
        ui.widget_sensors->clear();
        ui.widget_sensors->addObject();
        ui.widget_sensors->addObject();
        ui.QVTKWidget_Scene->render();
        ui.tabWidget->setCurrentWidget(ui.tab_SceneView);
    });
}

void MainWindow::saveProject()
{
    guardWithBox([this] { saveProjectAs(); });
}

void MainWindow::saveProjectAs()
{
    const SensorObjectList& list = ui.widget_sensors->sensorList();
    QStringList names;
    for (const auto& o : list.objects)
        names << o->name;

    QDialog dialog(this, Qt::Dialog | Qt::WindowTitleHint);
    dialog.setWindowTitle(QStringLiteral("Select World/Reference Coordinate System"));
    auto* row = new QHBoxLayout(&dialog);
    row->addWidget(new QLabel(QStringLiteral("World/Reference Coordinate System"), &dialog));
    auto* combo = new QComboBox(&dialog);
    combo->setObjectName(QStringLiteral("combo_world"));
    combo->addItems(names);
    row->addWidget(combo);
    auto* saveAs = new QPushButton(QStringLiteral("Save As..."), &dialog);
    row->addWidget(saveAs);
    connect(saveAs, &QPushButton::clicked, &dialog, &QDialog::accept);
    if (vantiro::dialogs::exec(&dialog) != QDialog::Accepted)
        return;
    const int world = combo->currentIndex();
    if (world < 0)
        return;

    const QString path = vantiro::dialogs::saveFileName(
        this, QStringLiteral("Save Vantiro project as"),
        proposedProjectPath(currentWorkingDirectory(), names[world]), QStringLiteral("Calibration files (*.yml)"));
    if (path.isEmpty())
        return;

    // Probe the file without truncating an existing project.
    const bool existed = QFileInfo::exists(path);
    {
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Append)) {
            vantiro::dialogs::information(this, QStringLiteral("Unable to open file"), probe.errorString());
            return;
        }
    }
    std::vector<ProjectObject> objects;
    for (const auto& o : list.objects) {
        ProjectObject p;
        p.name = o->name;
        p.K = o->K;
        p.kc = o->kc;
        p.imgSize = o->imgSize;
        p.R = o->R;
        p.t = o->t;
        objects.push_back(p);
    }
    const bool written = guardWithBox(
        [&] {
            writeProjectFile(path, objects, world,
                             QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        },
        QStringLiteral("Couldn't write project file: %1").arg(path));
    if (!written && !existed)
        QFile::remove(path);
}

void MainWindow::openProject()
{
    guardWithBox([this] { openProjectFile(); });
}

void MainWindow::openProjectFile()
{
    const QString path = vantiro::dialogs::openFileName(this, QStringLiteral("Open Vantiro project"),
                                                        currentWorkingDirectory(), QStringLiteral("Calibration (*.yml)"));
    if (path.isEmpty())
        return;
    ProjectReadResult project;
    if (!guardWithBox([&] { project = readProjectFile(path); },
                      QStringLiteral("Couldn't read project file: %1").arg(path)))
        return;
    if (project.status != ProjectReadResult::Status::Ok) {
        vantiro::dialogs::critical(this, QStringLiteral("Error"), project.message);
        return;
    }
    if (!project.warning.isEmpty())
        vantiro::dialogs::warning(this, QStringLiteral("Warning"), project.warning);

    SensorTree* tree = ui.widget_sensors;
    m_sceneRenderer->RemoveAllViewProps();
    tree->clear();
    for (const ProjectObject& o : project.objects) {
        const auto object = tree->addObject();
        tree->renameObject(object->id, o.name);
        if (!o.K.empty())
            tree->UpdateIntrinsicsForId(object->id, o.K, o.kc, o.imgSize);
    }
    for (size_t i = 0; i < project.objects.size(); ++i)
        tree->UpdateExtrinsicsForId(project.world, int(i), project.objects[i].R, project.objects[i].t);
}

// ---------------------------------------------------------------- scene

void MainWindow::updateSceneCameraRange()
{
    // Both layers share one camera: clip by the props of both.
    double bounds[6];
    m_sceneRenderer->ComputeVisiblePropBounds(bounds);
    double overlay[6];
    m_sceneOverlayRenderer->ComputeVisiblePropBounds(overlay);
    if (overlay[0] <= overlay[1]) {
        if (bounds[0] > bounds[1]) {
            std::copy(overlay, overlay + 6, bounds);
        } else {
            for (int i = 0; i < 6; i += 2) {
                bounds[i] = std::min(bounds[i], overlay[i]);
                bounds[i + 1] = std::max(bounds[i + 1], overlay[i + 1]);
            }
        }
    }
    if (bounds[0] <= bounds[1])
        m_sceneRenderer->ResetCameraClippingRange(bounds);
}

void MainWindow::redrawScene()
{
    const SensorObjectList& list = ui.widget_sensors->sensorList();
    if (list.objects.empty())
        return;
    for (const auto& o : list.objects) {
        m_sceneRenderer->RemoveActor(o->frustumActor);
        m_sceneRenderer->RemoveActor(o->axesActor);
        m_sceneOverlayRenderer->RemoveActor(o->label);
        o->axesActor = props::axesGlyph(400);
        o->frustumActor = props::frustum(m_sceneRenderer, o->K, o->imgSize, 1000);
        const cv::Vec3d position(o->t(0), o->t(1), o->t(2));
        o->label = props::nameLabel(m_sceneOverlayRenderer, o->name, &position);
        const auto pose = props::poseMatrix(o->R, position);
        o->axesActor->SetUserMatrix(pose);
        o->frustumActor->SetUserMatrix(pose);
        m_sceneRenderer->AddActor(o->axesActor);
    }
    updateSceneCameraRange();
    ui.QVTKWidget_Scene->render();
    ui.tabWidget->setCurrentWidget(ui.tab_SceneView);
}

void MainWindow::removeSensorProps(int id)
{
    const auto o = ui.widget_sensors->sensorList().find(id);
    if (!o)
        return;
    m_sceneRenderer->RemoveActor(o->frustumActor);
    m_sceneRenderer->RemoveActor(o->axesActor);
    m_sceneOverlayRenderer->RemoveActor(o->label);
    updateSceneCameraRange();
    ui.QVTKWidget_Scene->render();
    ui.tabWidget->setCurrentWidget(ui.tab_SceneView);
}

void MainWindow::resetSceneView()
{
    vtkCamera* camera = m_sceneRenderer->GetActiveCamera();
    camera->SetPosition(0, 0, -5000);
    camera->SetFocalPoint(0, 0, 0);
    camera->SetViewUp(0, -1, 0);
    updateSceneCameraRange();
    ui.QVTKWidget_Scene->render();
    ui.tabWidget->setCurrentWidget(ui.tab_SceneView);
}

void MainWindow::resetTargetView()
{
    vtkCamera* camera = m_targetRenderer->GetActiveCamera();
    camera->SetPosition(0, 0, 1000);
    camera->SetFocalPoint(0, 0, 0);
    camera->SetViewUp(0, 1, 0);
    m_targetRenderer->ResetCamera();
    ui.QVTKWidget_Target->render();
}

void MainWindow::generateGrayCodeImages()
{
    guardWithLog(ui.text_log, [this] {
        TextEditLogSink log(ui.text_log);
        ::generateGrayCodeImages(currentWorkingDirectory(), ui.spin_proj_width->value(), ui.spin_proj_height->value(),
                                 log, [this](const QString& title, const QString& text) {
                                     return vantiro::dialogs::askYesNo(this, title, text);
                                 });
    });
}

void MainWindow::exportTarget()
{
    using namespace vantiro::print;
    ExportRequest request;
    readTargetSettings(request.settings);
    if (ui.radioButton_TargetRadonChessboardWithMarkers->isChecked())
        request.radonDots = cv::Point(ui.spinBox_RadonChessboardMarkerPositionX->value(),
                                      ui.spinBox_RadonChessboardMarkerPositionY->value());
    request.paper = Paper(ui.comboBox_TargetExportPaper->currentData().toInt());
    request.dpi = ui.spinBox_TargetExportDpi->value();

    const QString dir = currentWorkingDirectory();
    const QString name = suggestedFileName(request.settings);
    QString path = vantiro::dialogs::saveFileName(this, QStringLiteral("Export Target"),
                                                  isDirectory(dir) ? dir + QLatin1Char('/') + name : name,
                                                  QStringLiteral("PDF (*.pdf);;SVG (*.svg);;PNG (*.png)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pdf");
    request.path = path;

    TextEditLogSink log(ui.text_log);
    const std::optional<PreparedExport> prepared = prepareExport(request, log);
    if (!prepared)
        return;
    if (!prepared->check.detectable &&
        !vantiro::dialogs::askYesNo(this, QStringLiteral("Export Target"),
                                    QStringLiteral("The detector will not find the board these settings describe:\n\n") +
                                        prepared->check.problems.join(QLatin1Char('\n')) +
                                        QStringLiteral("\n\nExport it anyway?"))) {
        log.append(QStringLiteral("The target was not exported.\n\n"), vantiro::logcolor::Orange);
        return;
    }
    QString error;
    if (!writeTargetFile(path, *prepared, request.dpi, &error)) {
        log.append(QStringLiteral("Error: Cannot write %1: %2. Aborting.\n\n").arg(path, error), vantiro::logcolor::Red);
        return;
    }
    logExportWritten(request, *prepared, log);
}

// ---------------------------------------------------------------- modules

template <class Module>
void MainWindow::connectCommon(Module* module)
{
    module->setWindowFlags(module->windowFlags() | Qt::Window);
    module->show();
    SensorTree* tree = ui.widget_sensors;
    connect(module, &Module::getSensorList, this, [tree](SensorObjectList& list) { list = tree->sensorList(); },
            Qt::DirectConnection);
    connect(module, &Module::getMainWindowSettings, this, &MainWindow::readTargetSettings, Qt::DirectConnection);
    connect(tree, &SensorTree::sensorNamesChanged, module, &Module::updateSensorNames, Qt::DirectConnection);
    connect(tree, &SensorTree::removeSensorFromRender, module, &Module::updateSensorNames, Qt::DirectConnection);
    m_moduleWindows << module;
    module->updateSensorNames();
}

namespace {
// The signal groups the modules share, each connected directly to the panel.
template <class Module>
void connectIntrinsicsOfOne(Module* m, SensorTree* tree)
{
    QObject::connect(m, &Module::getIntrinsics, tree, &SensorTree::GetIntrinsicsForId, Qt::DirectConnection);
}

template <class Module>
void connectIntrinsicsOfPair(Module* m, SensorTree* tree)
{
    QObject::connect(m, &Module::updatePrimaryIntrinsics, tree, &SensorTree::UpdateIntrinsicsForId, Qt::DirectConnection);
    QObject::connect(m, &Module::updateSecondaryIntrinsics, tree, &SensorTree::UpdateIntrinsicsForId, Qt::DirectConnection);
    QObject::connect(m, &Module::getPrimaryIntrinsics, tree, &SensorTree::GetIntrinsicsForId, Qt::DirectConnection);
    QObject::connect(m, &Module::getSecondaryIntrinsics, tree, &SensorTree::GetIntrinsicsForId, Qt::DirectConnection);
}

template <class Module>
void connectExtrinsics(Module* m, SensorTree* tree)
{
    QObject::connect(m, &Module::updateSecondaryExtrinsics, tree, &SensorTree::UpdateExtrinsicsForId,
                     Qt::DirectConnection);
}
} // namespace

IntrinsicCalibrationWidget* MainWindow::openIntrinsicModule()
{
    auto* module = new IntrinsicCalibrationWidget(ui.widget_sensors->sensorList());
    connect(module, &IntrinsicCalibrationWidget::updateIntrinsics, ui.widget_sensors,
            &SensorTree::UpdateIntrinsicsForId, Qt::DirectConnection);
    connectIntrinsicsOfOne(module, ui.widget_sensors);
    connectCommon(module);
    return m_intrinsic = module;
}

ExtrinsicStereoCalibrationWidget* MainWindow::openStereoModule()
{
    auto* module = new ExtrinsicStereoCalibrationWidget(ui.widget_sensors->sensorList());
    connectIntrinsicsOfPair(module, ui.widget_sensors);
    connectExtrinsics(module, ui.widget_sensors);
    connectCommon(module);
    return m_stereo = module;
}

CamProjStereoCalib* MainWindow::openCamProjModule()
{
    auto* module = new CamProjStereoCalib(ui.widget_sensors->sensorList());
    connectIntrinsicsOfPair(module, ui.widget_sensors);
    connectCommon(module);
    // Its own hand-over: a new stereo window, opened as by its button, on the data it wrote.
    connect(module->pushButton_ExtrinsicProjectorCamera, &QPushButton::clicked, module,
            [this, module] { guardWithBox([this, module] { module->handOverTo(openStereoModule()); }); });
    return m_camProj = module;
}

HandEyeCalib* MainWindow::openHandEyeModule()
{
    auto* module = new HandEyeCalib(ui.widget_sensors->sensorList());
    connectExtrinsics(module, ui.widget_sensors);
    connectIntrinsicsOfOne(module, ui.widget_sensors);
    connectCommon(module);
    return m_handEye = module;
}

ToolFlangeCalib* MainWindow::openToolFlangeModule()
{
    auto* module = new ToolFlangeCalib(ui.widget_sensors->sensorList());
    connectExtrinsics(module, ui.widget_sensors);
    connectIntrinsicsOfOne(module, ui.widget_sensors);
    connectCommon(module);
    return m_toolFlange = module;
}

IntrinsicCalibrationWidget* MainWindow::intrinsicWindow() const
{
    return m_intrinsic;
}
ExtrinsicStereoCalibrationWidget* MainWindow::stereoWindow() const
{
    return m_stereo;
}
CamProjStereoCalib* MainWindow::camProjWindow() const
{
    return m_camProj;
}
HandEyeCalib* MainWindow::handEyeWindow() const
{
    return m_handEye;
}
ToolFlangeCalib* MainWindow::toolFlangeWindow() const
{
    return m_toolFlange;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!vantiro::dialogs::askYesNo(this, QStringLiteral("Vantiro"), QStringLiteral("Close Vantiro?"))) {
        event->ignore();
        return;
    }
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && qobject_cast<QDialog*>(w))
            w->close();
    event->accept();
}
