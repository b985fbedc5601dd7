// The stereo module inside the real main window, shown: image pairs in, Calibrate, results out,
// rectification and its preview, option coupling.

#include <gtest/gtest.h>

#include <QtWidgets>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vtkPropCollection.h>

#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "sensors/ui/SensorTree.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"
#include "support/TestSupport.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"
#include "widgets/ImageLabelWidget.h"

using namespace vantiro;
using namespace vantiro::synth;

namespace {

// Chessboard 10 x 7 squares of 25 mm seen by two 640 x 480 cameras; the secondary 100 mm to the
// right of the primary, turned 8 degrees towards its axis.
MainWindowSettings boardSettings()
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 25.0;
    s.dictionary = 10;
    return s;
}

struct Rig
{
    CameraModel cams[2] = {CameraModel::ideal({640, 480}, 560.0), CameraModel::ideal({640, 480}, 580.0)};
    cv::Matx33d R;
    cv::Vec3d T;
    Rig()
    {
        cams[0].setDistortion({-0.15, 0.05, 0.0, 0.0, 0.0});
        cams[1].setDistortion({-0.1, 0.02, 0.0, 0.0, 0.0});
        cv::Rodrigues(cv::Vec3d(0.0, 8.0 * CV_PI / 180.0, 0.0), R);
        T = -(R * cv::Vec3d(100.0, 0.0, 0.0));
    }
};

// Six rendered pairs, made once per build tree (bump the version when they change) and copied into
// the test's own folders, so that "Rectified" folders go there.
void copyPairs(const QString& to, QStringList& primary, QStringList& secondary)
{
    static const QString cache = [] {
        const QString dir = QStringLiteral(VANTIRO_BUILD_DIR "/test-cache/stereo-pairs-v1");
        QDir().mkpath(dir);
        const Rig rig;
        const BoardPattern board(boardSettings());
        const double tilts[][3] = {{0, 0, 0}, {25, 0, 5}, {-25, 5, -5}, {0, 25, 10}, {5, -25, -10}, {15, 15, 20}};
        RenderOptions options;
        options.supersampling = 3;
        options.effects.noiseSigma = 1.0;
        for (int i = 0; i < 6; ++i) {
            TargetPose pose[2] = {viewPose(board, 480.0, tilts[i][0], tilts[i][1], tilts[i][2], cv::Vec3d(45, 0, 0))};
            pose[1].R = rig.R * pose[0].R;
            pose[1].t = rig.R * pose[0].t + rig.T;
            for (int k = 0; k < 2; ++k) {
                const QString path = dir + QString("/%1_%2.png").arg(k ? "right" : "left").arg(i);
                if (QFileInfo(path).isFile())
                    continue;
                // Parallel processes may render the same pair: each writes its own copy and renames it.
                const QString own = path + "." + QString::number(QCoreApplication::applicationPid()) + ".png";
                options.effects.noiseSeed = uint64_t(2 * i + k + 1);
                cv::imwrite(own.toStdString(), render(rig.cams[k], board, pose[k], options).colour);
                std::rename(QFile::encodeName(own).constData(), QFile::encodeName(path).constData());
            }
        }
        return dir;
    }();
    for (int k = 0; k < 2; ++k) {
        const QString folder = to + (k ? "/right" : "/left");
        QDir().mkpath(folder);
        for (int i = 0; i < 6; ++i) {
            const QString name = QString("/%1_%2.png").arg(k ? "right" : "left").arg(i);
            QFile::copy(cache + name, folder + name);
            (k ? secondary : primary) << folder + name;
        }
    }
}

class StereoModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        test::resetUserSettings();
        copyPairs(images.path(), primary, secondary);
        dialogs::setMessageHandler([this](const dialogs::MessageRequest& r) {
            questions << r.title + "|" + r.text;
            return answer;
        });
        // The primary button asks first, then the secondary one.
        dialogs::setFileHandler([this](const dialogs::FileRequest& r) {
            files << r.caption + "|" + r.directory;
            return files.size() % 2 ? primary : secondary;
        });
        window = std::make_unique<MainWindow>();
        window->setWorkingDirectory(workingDirectory.path());
        window->ui.spinBox_ChessboardNumSquaresY->setValue(7);
        window->ui.spinBox_ChessboardSquareWidth->setValue(25.0);
        module = window->openStereoModule();
        module->show();
        QApplication::processEvents();
    }

    void TearDown() override
    {
        window.reset();
        dialogs::setMessageHandler({});
        dialogs::setFileHandler({});
    }

    QString log() const { return module->text_log->toPlainText(); }
    QColor colourOf(const QString& s) const
    {
        return module->text_log->document()->find(s).charFormat().foreground().color();
    }
    std::shared_ptr<SensorObject> object(int id) const { return window->ui.widget_sensors->sensorList().find(id); }
    int props() const { return module->targetRenderer()->GetViewProps()->GetNumberOfItems(); }
    void loadAndSelect()
    {
        module->button_change_dir_primary->click();
        module->button_change_dir_secondary->click();
        ASSERT_TRUE(module->selectSensors(0, 1));
    }

    QTemporaryDir images, workingDirectory;
    QStringList primary, secondary, questions, files;
    std::unique_ptr<MainWindow> window;
    ExtrinsicStereoCalibrationWidget* module = nullptr;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
};

// Vertical disparity of the corners detected in the two shown images: mean and largest.
std::pair<double, double> rowDifferences(const cv::Mat& a, const cv::Mat& b)
{
    TargetCornerList corners[2];
    if (!detectTarget(a, boardSettings(), corners[0]) || !detectTarget(b, boardSettings(), corners[1]) ||
        corners[0].size() != corners[1].size())
        return {1e9, 1e9};
    double sum = 0.0, worst = 0.0;
    for (size_t j = 0; j < corners[0].size(); ++j) {
        const double dy = std::abs(corners[0][j].imagePoint.y - corners[1][j].imagePoint.y);
        sum += dy;
        worst = std::max(worst, dy);
    }
    return {sum / double(corners[0].size()), worst};
}

} // namespace

TEST_F(StereoModuleTest, CalibratesThroughTheButtonsAndHandsTheResultsOver)
{
    EXPECT_EQ(module->size(), QSize(1440, 960));
    loadAndSelect();
    EXPECT_EQ(files, QStringList({"Calibration Images|" + workingDirectory.path(),
                                  "Calibration Images|" + workingDirectory.path()}));
    // Images from elsewhere: the module's warning (without "Warning: "), once per list.
    const QString warning = "Current Directory and working directory are different, settings will be saved in "
                            "working directory\n\n";
    EXPECT_EQ(log(), warning + warning);
    EXPECT_EQ(colourOf("Current Directory"), QColor("orange"));
    EXPECT_EQ(module->list_images_secondary->count(), 6);
    EXPECT_EQ(module->list_images_secondary->item(5)->text(), "right_5.png");
    EXPECT_FALSE(module->pushButton_RectifyStereo->isEnabled());

    // The same object twice is refused before anything happens.
    module->text_log->clear();
    module->comboBox_secondary->setCurrentIndex(0);
    module->button_calibrate->click();
    EXPECT_EQ(log(), "Same sensor is selected twice in 'Select Sensors', aborting.\n\n");
    EXPECT_FALSE(module->selectSensors(0, 42)) << "an unknown id";
    EXPECT_EQ(module->comboBox_primary->currentIndex(), 0);
    EXPECT_EQ(module->comboBox_secondary->currentIndex(), 0) << "is left as it was";
    ASSERT_TRUE(module->selectSensors(0, 1));

    const cv::Matx33d R0 = object(0)->R;
    const cv::Matx31d t0 = object(0)->t;
    QStringList handed; // the hand-over signals in the order they came
    QObject::connect(module, &ExtrinsicStereoCalibrationWidget::updatePrimaryIntrinsics, module,
                     [&handed](int id, cv::Mat&, cv::Mat&, cv::Size&) { handed << QString("primary %1").arg(id); });
    QObject::connect(module, &ExtrinsicStereoCalibrationWidget::updateSecondaryIntrinsics, module,
                     [&handed](int id, cv::Mat&, cv::Mat&, cv::Size&) { handed << QString("secondary %1").arg(id); });
    QObject::connect(module, &ExtrinsicStereoCalibrationWidget::updateSecondaryExtrinsics, module,
                     [&handed](int a, int b, cv::Matx33d, cv::Matx31d) { handed << QString("pose %1 %2").arg(a).arg(b); });
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_EQ(handed, QStringList({"primary 0", "secondary 1", "pose 0 1"}));
    EXPECT_EQ(module->button_calibrate->text(), "Calibrate Stereo");
    EXPECT_TRUE(log().contains("Detecting targets: 0 1 2 3 4 5 \n\nExtrinsic calibration with 6/6 image sets...\n\n"))
        << log().toStdString();
    EXPECT_TRUE(log().contains("Estimated extrinsics (Cam1 w.r.t Cam0 coordinate system):\n\n"));
    ASSERT_TRUE(module->lastResult().has_value());
    const auto& r = *module->lastResult();

    // Both intrinsics and the secondary's pose in the primary's frame: Rᵀ and -Rᵀ·T of the engine.
    const Rig rig;
    EXPECT_NEAR(object(0)->K.at<double>(0, 0), 560.0, 3.0);
    EXPECT_NEAR(object(1)->K.at<double>(0, 0), 580.0, 3.0);
    EXPECT_EQ(object(1)->imgSize, cv::Size(640, 480));
    const cv::Matx31d inPrimary = -(rig.R.t() * cv::Matx31d(rig.T));
    EXPECT_LT(cv::norm(object(1)->t - (R0 * inPrimary + t0)), 1.5) << "100 mm to the right of Cam0";
    EXPECT_LT(cv::norm(cv::Mat(object(1)->R), cv::Mat(R0 * cv::Matx33d(r.R).t())), 1e-9);
    // The engine's own R and T stay as the next start value.
    EXPECT_LT(cv::norm(module->state().R, r.R), 1e-12);
    EXPECT_LT(cv::norm(module->state().T, r.T), 1e-12);

    // The selected pair: corners in error colours, crosses, labels of both sensors and the epipolar error.
    module->list_images_secondary->setCurrentRow(2);
    EXPECT_EQ(module->list_images_primary->currentRow(), 2) << "a pair is one row of both lists";
    const vantiro::stereo::StereoPair& pair = module->state().pairs[2];
    EXPECT_EQ(module->reprojErrPrimary.rms->text(), QString("RMS: %1 px").arg(pair.primaryError, 0, 'f', 4));
    EXPECT_EQ(module->reprojErrSecondary.max->text(), QString("Max: %1 px").arg(pair.secondaryMax, 0, 'f', 4));
    EXPECT_EQ(module->epipolarErr.min->text(), QString("Min: %1 px").arg(pair.epipolarMin, 0, 'f', 4));
    EXPECT_EQ(module->epipolarErr.rms->text(), QString("RMS: %1 px").arg(pair.epipolarRms, 0, 'f', 4));
    EXPECT_TRUE(module->reprojErrSecondary.rms->styleSheet().startsWith("color:rgb("));
    EXPECT_TRUE(module->epipolarErr.group->isVisible() && module->reprojErrPrimary.group->isVisible());
    EXPECT_TRUE(module->image_label_secondary->viewPort()->hasActiveOverlays());
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(module->list_images_primary->item(i)->background().style(), Qt::NoBrush) << i;
    EXPECT_GT(props(), 6) << "six boards, two cameras";
    EXPECT_TRUE(module->pushButton_RectifyStereo->isEnabled());
    EXPECT_FALSE(module->groupBox_PreviewRectifiedImages->isEnabled());
    QApplication::processEvents();
    const QString shot = test::artefactDir() + "/stereo_module_calibrated.png";
    ASSERT_TRUE(module->grab().toImage().save(shot));
    EXPECT_GT(QFileInfo(shot).size(), 10000);

    // An unchecked pair is left out of the next run, which reuses the corners (cached pairs are
    // reported as reused before their check state is looked at).
    module->list_images_secondary->item(4)->setCheckState(Qt::Unchecked);
    EXPECT_TRUE(module->reprojErrPrimary.group->isVisible());
    module->list_images_primary->setCurrentRow(4);
    EXPECT_FALSE(module->reprojErrPrimary.group->isVisible()) << "no errors for a pair that is not checked";
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Detecting targets: 0 1 2 3 4 5 \n\nExtrinsic calibration with 5/6 image sets"));
    EXPECT_EQ(colourOf("0 1 2 3 4 5 "), QColor(logcolor::Reused));
    EXPECT_EQ(module->list_images_primary->item(4)->checkState(), Qt::Unchecked);
}

TEST_F(StereoModuleTest, RectifiesPreviewsAndWritesThePairs)
{
    loadAndSelect();
    module->button_calibrate->click();
    ASSERT_TRUE(module->lastResult().has_value()) << log().toStdString();

    module->text_log->clear();
    module->tabWidget_settings->setCurrentWidget(module->tab_Rect);
    module->spin_epi_lines->setValue(0);
    module->pushButton_RectifyStereo->click();
    const QString file = workingDirectory.path() + "/Cam0_Cam1.rectification.yml";
    EXPECT_EQ(log(), "Rectification parameters saved to:\n" + file + "\n\n");
    ASSERT_TRUE(QFileInfo(file).isFile());
    EXPECT_TRUE(module->groupBox_PreviewRectifiedImages->isEnabled() && module->groupBox_PreviewRectifiedImages->isChecked());
    EXPECT_TRUE(module->pushButton_WriteRectifiedImages->isEnabled());
    // The pair on screen is rectified: its corners lie on common rows.
    module->list_images_primary->setCurrentRow(1);
    const auto [mean, worst] = rowDifferences(module->image_label_primary->image(), module->image_label_secondary->image());
    EXPECT_LT(mean, 0.15);
    EXPECT_LT(worst, 0.4);
    const cv::Mat raw = cv::imread(primary[1].toStdString(), cv::IMREAD_COLOR);
    EXPECT_GT(rowDifferences(raw, cv::imread(secondary[1].toStdString(), cv::IMREAD_COLOR)).second, 3.0);

    // Lines across the preview: N = 3 on 480 rows at y = 120, 240, 360, the first one red.
    module->spin_epi_lines->setValue(3);
    const cv::Mat lined = module->image_label_primary->image();
    EXPECT_EQ(lined.at<cv::Vec3b>(120, 5), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(lined.at<cv::Vec3b>(360, 600), cv::Vec3b(0, 255, 238));
    QApplication::processEvents();
    const QString shot = test::artefactDir() + "/stereo_rectified_preview.png";
    ASSERT_TRUE(module->grab().toImage().save(shot));
    EXPECT_GT(QFileInfo(shot).size(), 10000);

    // The options of the tab go into the file.
    module->check_equal_pp->setChecked(false);
    module->group_new_image_size->setChecked(true);
    module->spinBox_rectificationNewWidth->setValue(800);
    module->spinBox_rectificationNewHeight->setValue(600);
    EXPECT_FALSE(module->double_spin_alpha->isEnabled());
    module->radio_alpha_custom->setChecked(true);
    EXPECT_TRUE(module->double_spin_alpha->isEnabled());
    module->double_spin_alpha->setValue(0.3);
    module->pushButton_RectifyStereo->click();
    cv::FileStorage fs(file.toStdString(), cv::FileStorage::READ);
    cv::Size size;
    fs["newImageSize"] >> size;
    EXPECT_EQ(size, cv::Size(800, 600));
    EXPECT_EQ(double(fs["alpha"]), 0.3);
    EXPECT_EQ(int(fs["flags"]), 0);
    EXPECT_EQ(module->image_label_secondary->image().size(), cv::Size(800, 600));

    // The rectification belongs to the calibrated objects, under their present names, whatever the
    // boxes show now.
    window->ui.widget_sensors->renameObject(1, "Right");
    module->comboBox_secondary->setCurrentIndex(0);
    module->pushButton_RectifyStereo->click();
    EXPECT_TRUE(QFileInfo(workingDirectory.path() + "/Cam0_Right.rectification.yml").isFile()) << log().toStdString();
    module->comboBox_secondary->setCurrentIndex(1);

    // Writing asks first; "No" writes nothing, "Yes" writes both lists, checked or not.
    answer = QMessageBox::No;
    module->list_images_primary->item(3)->setCheckState(Qt::Unchecked);
    module->pushButton_WriteRectifiedImages->click();
    const QString left = images.path() + "/left/Rectified/", right = images.path() + "/right/Rectified/";
    EXPECT_EQ(questions, QStringList({"Write Rectified Images|Writing rectified images to:\n\n" + left + "\n\nand\n\n" +
                                      right + "\n\nContinue?"}));
    EXPECT_FALSE(QDir(left).exists());
    answer = QMessageBox::Yes;
    module->pushButton_WriteRectifiedImages->click();
    EXPECT_EQ(QDir(left).entryList(QDir::Files).size(), 6);
    EXPECT_EQ(QDir(right).entryList(QDir::Files).size(), 6);
    EXPECT_EQ(cv::imread((right + "right_2.png").toStdString()).size(), cv::Size(800, 600));
    EXPECT_TRUE(log().endsWith("Rectified secondary images written to:\n" + images.path() + "/right/Rectified/\n\n"));

    // A new calibration releases the rectification.
    module->button_calibrate->click();
    EXPECT_FALSE(module->rectification().hasMaps());
    EXPECT_FALSE(module->groupBox_PreviewRectifiedImages->isEnabled() || module->groupBox_PreviewRectifiedImages->isChecked());
    EXPECT_FALSE(module->pushButton_WriteRectifiedImages->isEnabled());
    EXPECT_TRUE(module->pushButton_RectifyStereo->isEnabled()) << "works again without new detection";
}

TEST_F(StereoModuleTest, OptionsCoupleListsFollowEachOtherAndAbortStopsAtAPair)
{
    // Each sensor's options react within that sensor only.
    auto& second = module->secondaryForm;
    second.check_use_rational_model->setChecked(true);
    EXPECT_FALSE(second.check_fix_k[3]->isHidden());
    EXPECT_TRUE(module->primaryForm.check_fix_k[3]->isHidden());
    second.check_fix_k[4]->setChecked(true);
    second.group_use_radial_distortion->setChecked(false);
    EXPECT_TRUE(second.check_fix_k[0]->isChecked() && second.check_fix_k[1]->isChecked() && second.check_fix_k[2]->isChecked());
    EXPECT_FALSE(second.check_use_rational_model->isChecked() || second.check_fix_k[4]->isChecked());
    EXPECT_TRUE(second.check_fix_k[4]->isHidden());
    second.groupBox_UseIntrinsicGuess->setChecked(true);
    second.check_fix_focal->setChecked(true);
    second.check_fix_pp->setChecked(true);
    module->check_same_focal_length->setChecked(true);
    module->checkBox_UseExtrinsicGuess->setChecked(true);
    const vantiro::stereo::StereoOptions o = module->options();
    EXPECT_EQ(o.secondaryFlags() & (0x1 | 0x4 | 0x10 | 0xE8 | 0x200 | 0x400000 | 0x4000),
              0x1 | 0x4 | 0x10 | 0xE8 | 0x200 | 0x400000);
    EXPECT_EQ(o.primaryFlags(), 0x2 | 0x8 | 0x200 | 0x400000) << "primary: defaults plus the shared options";
    second.groupBox_UseIntrinsicGuess->setChecked(false);
    EXPECT_FALSE(second.check_fix_focal->isChecked() || second.check_fix_pp->isChecked());
    // Each threshold and crop choice reaches its own option.
    module->group_outliers->setChecked(true);
    module->doubleSpinBox_RemoveOutliersPrimary->setValue(1.5);
    module->doubleSpinBox_RemoveOutliersSecondary->setValue(2.5);
    module->doubleSpinBox_RemoveOutliersEpipolar->setValue(3.5);
    const vantiro::stereo::StereoOptions thresholds = module->options();
    EXPECT_TRUE(thresholds.removeOutliers);
    EXPECT_EQ(std::vector<double>({thresholds.maxErrorPrimary, thresholds.maxErrorSecondary, thresholds.maxErrorEpipolar}),
              std::vector<double>({1.5, 2.5, 3.5}));
    module->group_outliers->setChecked(false);
    module->double_spin_alpha->setValue(0.7);
    EXPECT_EQ(module->rectificationOptions().alpha, 0.0);
    module->radio_alpha_1->setChecked(true);
    EXPECT_EQ(module->rectificationOptions().alpha, 1.0);
    module->radio_alpha_custom->setChecked(true);
    EXPECT_EQ(module->rectificationOptions().alpha, 0.7);
    for (const char* name : {"check_fix_k1_2", "check_use_rational_model_1", "groupBox_UseIntrinsicGuess2",
                             "check_use_tangential_distortion1", "doubleSpinBox_RemoveOutliersEpipolar", "tab_Rect"})
        EXPECT_NE(module->findChild<QWidget*>(name), nullptr) << name;

    // The hand-over: both lists without dialogs. Lists of different lengths are refused.
    module->setImageLists(primary, secondary.mid(0, 4));
    EXPECT_TRUE(files.isEmpty());
    ASSERT_EQ(module->list_images_primary->count(), 6);
    ASSERT_TRUE(module->selectSensors(0, 1));
    module->checkBox_UseExtrinsicGuess->setChecked(false);
    module->check_same_focal_length->setChecked(false);
    // "Uncheck All" from the shorter list reaches only the first four of the longer one.
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        menu->actions().at(1)->trigger();
        menu->close();
    });
    emit module->list_images_secondary->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(module->list_images_primary->item(3)->checkState(), Qt::Unchecked);
    EXPECT_EQ(module->list_images_primary->item(4)->checkState(), Qt::Checked);
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_EQ(log(), "Image list size mismatch. aborting.\n\n");

    // Abort as soon as the first pair has been reported.
    module->setImageLists(primary, secondary);
    EXPECT_EQ(module->list_images_primary->item(3)->checkState(), Qt::Checked) << "a new list is checked again";
    bool pressed = false;
    QObject::connect(module->text_log, &QTextEdit::textChanged, module, [&] {
        if (!pressed && log().contains("Detecting targets: 0 ")) {
            pressed = true;
            EXPECT_TRUE(module->button_calibrate->text() == "Abort" && !module->button_change_dir_primary->isEnabled());
            module->button_calibrate->click();
        }
    });
    module->text_log->clear();
    module->button_calibrate->click();
    ASSERT_TRUE(pressed);
    EXPECT_TRUE(log().endsWith("Detecting targets: 0 Calibration aborted \n\n")) << log().toStdString();
    EXPECT_EQ(colourOf("Calibration aborted"), QColor(logcolor::Red));
    EXPECT_EQ(module->button_calibrate->text(), "Calibrate Stereo");
    EXPECT_FALSE(module->lastResult().has_value());
    EXPECT_EQ(cv::countNonZero(object(1)->K), 0) << "nothing handed over";
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_EQ(colourOf("0 "), QColor(logcolor::Reused)) << log().toStdString();
    EXPECT_TRUE(module->lastResult().has_value());
}
