// The camera-projector module inside the real main window: captured sets in, Detect / Decode,
// the five views, the write and the hand-over to the stereo module.

#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include "../CamProjScene.h"
#include "app/Settings.h"
#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "projector/ui/CamProjStereoCalib.h"
#include "sensors/ui/SensorTree.h"
#include "stereo/StereoWorkflow.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"
#include "support/TestSupport.h"
#include "widgets/ImageLabelWidget.h"

using namespace vantiro;
using namespace camproj_test;

namespace {

class CamProjModuleTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // Two lit poses, one without a target, and the program's own folders, which are no sets.
        s_dir = new QTemporaryDir;
        const QString w = s_dir->path();
        const BoardPattern board(boardSettings());
        renderSet(w + "/pose_1", viewPose(board, 550.0, 15, -10, 3), {0, 0, 550}, 21);
        renderSet(w + "/pose_2", viewPose(board, 600.0, -20, 20, -8, {10, -5, 0}), {0, 0, 550}, 22);
        const int count = int(graySequence(kProjector).size());
        writeCaptureSet(w + "/pose_3", std::vector<cv::Mat>(size_t(count), cv::Mat(240, 320, CV_8UC1, cv::Scalar(40))));
        writeCaptureSet(w + "/GrayCodeImages_256_192", graySequence(kProjector));
        writeCaptureSet(w + "/short", std::vector<cv::Mat>(size_t(count - 1), cv::Mat(24, 32, CV_8UC1)));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }

    void SetUp() override
    {
        dialogs::setMessageHandler([this](const dialogs::MessageRequest& r) {
            questions << r.title + "|" + r.text;
            return answer;
        });
        window = std::make_unique<MainWindow>();
        window->ui.spinBox_ChessboardNumSquaresX->setValue(9);
        window->ui.spinBox_ChessboardNumSquaresY->setValue(7);
        window->ui.spin_proj_width->setValue(kProjector.width);
        window->ui.spin_proj_height->setValue(kProjector.height);
        window->setWorkingDirectory(s_dir->path());
        QDir(s_dir->path() + "/ExtrinsicCalibrationData").removeRecursively();
        window->ui.button_checker_cam_proj_calib->click();
        module = window->camProjWindow();
        ASSERT_TRUE(module);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(module));
    }

    void TearDown() override { dialogs::setMessageHandler({}); }

    QString log() const { return module->text_log->toPlainText(); }
    void load() { QTest::mouseClick(module->pushButton_LoadCapturedGrayCodeSets, Qt::LeftButton); }
    void detect() { QTest::mouseClick(module->button_calibrate, Qt::LeftButton); }
    void showTab(QWidget* tab)
    {
        QTabBar* bar = module->tabWidget->tabBar();
        const int index = module->tabWidget->indexOf(tab);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        ASSERT_EQ(module->tabWidget->currentWidget(), tab);
    }
    QStandardItem* setRow(int s) const { return module->imageModel()->item(s); }
    void screenshot(const QString& name) const
    {
        EXPECT_TRUE(module->grab().save(test::artefactDir() + "/" + name)) << name.toStdString();
    }

    static QTemporaryDir* s_dir;
    std::unique_ptr<MainWindow> window;
    CamProjStereoCalib* module = nullptr;
    QStringList questions;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
};

QTemporaryDir* CamProjModuleTest::s_dir = nullptr;

} // namespace

TEST_F(CamProjModuleTest, LoadDetectBrowseAndWrite)
{
    EXPECT_EQ(module->objectName(), "ProjectorCalibrationWidget");
    EXPECT_EQ(module->comboBox_sensor->currentText(), "Cam0");
    EXPECT_EQ(module->comboBox_projector->currentText(), "Cam1");
    EXPECT_FALSE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());

    load();
    TreeModel* model = module->imageModel();
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(setRow(0)->text(), "pose_1");
    EXPECT_EQ(setRow(0)->rowCount(), 34);
    EXPECT_EQ(setRow(0)->child(10)->text(), "#10 10.png");
    EXPECT_EQ(setRow(0)->child(2)->data(Qt::UserRole).toString(), s_dir->path() + "/pose_1/2.png");
    EXPECT_EQ(setRow(1)->data(TreeModel::ProjectorWidthRole).toInt(), 256);
    EXPECT_EQ(setRow(1)->checkState(), Qt::Checked);
    EXPECT_EQ(module->cam_view->image().size(), cv::Size(320, 240));

    detect();
    EXPECT_EQ(module->button_calibrate->text(), "Detect / Decode");
    EXPECT_TRUE(log().contains("Extracting projector corners: 0 1 2 \n\n")) << log().toStdString();
    EXPECT_TRUE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());
    EXPECT_EQ(module->tabWidget->currentWidget(), module->tab_ProjectorView);
    EXPECT_EQ(module->proj_view->image().size(), cv::Size(256, 192));
    // The set without a target is unchecked and greyed.
    EXPECT_EQ(setRow(2)->checkState(), Qt::Unchecked);
    EXPECT_EQ(setRow(2)->background().color(), QColor(logcolor::Grey));
    EXPECT_EQ(setRow(0)->background().style(), Qt::NoBrush);
    screenshot("camproj_projector_view.png");

    // Browsing: an image row of the second set, then the other views.
    module->imageTree->expand(model->index(1, 0));
    module->imageTree->setCurrentIndex(model->index(5, 0, model->index(1, 0)));
    EXPECT_EQ(module->currentSet(), 1);
    EXPECT_EQ(module->currentRow(), 5);
    showTab(module->tab_CameraView);
    EXPECT_EQ(module->cam_view->image().size(), cv::Size(320, 240));
    showTab(module->tab_DecodedX);
    ASSERT_EQ(module->decode_x->image().type(), CV_8UC3);
    screenshot("camproj_decoded_x.png");
    showTab(module->tab_DecodedY);
    EXPECT_EQ(module->decode_y->image().size(), cv::Size(320, 240));
    showTab(module->tab_ProjectionAreaMask);
    EXPECT_EQ(module->mask_view->image().size(), cv::Size(320, 240));
    screenshot("camproj_mask_overlay.png");

    // Same object twice writes nothing; then the real write, answered Yes.
    module->comboBox_projector->setCurrentIndex(0);
    QTest::mouseClick(module->pushButton_WriteExtrinsicCalibrationInput, Qt::LeftButton);
    EXPECT_TRUE(log().endsWith("Please set distinct objects before writing input data for extrinsic calibration.\n\n"));
    EXPECT_TRUE(questions.isEmpty());
    module->comboBox_projector->setCurrentIndex(1);
    QTest::mouseClick(module->pushButton_WriteExtrinsicCalibrationInput, Qt::LeftButton);
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].startsWith("Writing extrinsic calibration data|"));
    const QString data = s_dir->path() + "/ExtrinsicCalibrationData/";
    EXPECT_EQ(QDir(data + "Cam0").entryList({"*.png"}), QStringList({"cam_view_0.png", "cam_view_1.png"}));
    EXPECT_EQ(QDir(data + "Cam1").entryList({"*.yml"}), QStringList({"proj_view_0.yml", "proj_view_1.yml"}));
    EXPECT_TRUE(log().endsWith("Finished writing. Use Extrinsic Stereo module for extrinsic camera-projector "
                               "calibration.\n\n"));
    EXPECT_TRUE(module->pushButton_ExtrinsicProjectorCamera->isEnabled());
}

TEST_F(CamProjModuleTest, ThresholdRadiusAndAbortClearWhatTheyMust)
{
    load();
    detect();
    ASSERT_EQ(module->cornerSets()[1].cameraCorners.size(), 48u);

    // A new radius drops the projector corners only; the write waits for the next run.
    module->spin_homography_win->setValue(12);
    EXPECT_TRUE(module->cornerSets()[1].projectorCorners.empty());
    EXPECT_EQ(module->cornerSets()[1].cameraCorners.size(), 48u);
    EXPECT_FALSE(module->images().decodedPatterns()[1].empty());
    EXPECT_FALSE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());

    // A new mask threshold drops everything and shows the mask.
    detect();
    module->doubleSpinBox_RatioThresh->setValue(0.55);
    EXPECT_EQ(module->tabWidget->currentWidget(), module->tab_ProjectionAreaMask);
    EXPECT_TRUE(module->cornerSets()[1].cameraCorners.empty());
    EXPECT_TRUE(module->images().decodedPatterns().empty());
    EXPECT_FALSE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());
    EXPECT_EQ(module->mask_view->image().size(), cv::Size(320, 240));

    // Pressing the button again during the run aborts it at the next set.
    setRow(0)->setCheckState(Qt::Unchecked);
    QTimer::singleShot(0, module, [this] { module->button_calibrate->click(); });
    detect();
    EXPECT_TRUE(log().endsWith("Calibration aborted \n\n"));
    EXPECT_EQ(module->button_calibrate->text(), "Detect / Decode");
    EXPECT_FALSE(module->busy());
    EXPECT_FALSE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());
    // The unchecked set was passed over, and stays so in the next, complete run.
    detect();
    EXPECT_TRUE(module->cornerSets()[0].projectorCorners.empty());
    EXPECT_EQ(setRow(0)->background().color(), QColor(logcolor::Grey));
    EXPECT_EQ(module->cornerSets()[1].projectorCorners.size(), 48u);
    // Checking it again clears the grey.
    setRow(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(setRow(0)->background().style(), Qt::NoBrush);
    EXPECT_TRUE(module->cornerSets()[0].checked && !module->cornerSets()[0].grey);
}

TEST_F(CamProjModuleTest, NoSetsExplainsTheLayoutAndANewResolutionNeedsANewLoad)
{
    load();
    window->ui.spin_proj_width->setValue(300);
    detect();
    EXPECT_TRUE(log().endsWith("The projector resolution is now 300x192 px, but the sets were loaded for 256x192 px. "
                               "Please load the sets again, aborting.\n\n"));
    EXPECT_TRUE(module->cornerSets()[0].cameraCorners.empty());
    load();
    EXPECT_EQ(module->imageModel()->rowCount(), 0) << "300 px take 36 images";

    EXPECT_TRUE(log().contains("No valid Gray-Code image sets were found in the selected working directory.\n\n"));
    detect();
    EXPECT_TRUE(log().endsWith("Image list is empty, aborting.\n\n"));
    EXPECT_FALSE(module->pushButton_WriteExtrinsicCalibrationInput->isEnabled());
}

TEST_F(CamProjModuleTest, HandOverOpensTheStereoModuleOnTheWrittenViewsWithBothObjects)
{
    // A third object as the projector, so that the stereo window's own start selection is not enough.
    window->ui.widget_sensors->addObject();
    ASSERT_EQ(module->comboBox_projector->count(), 3);
    module->comboBox_projector->setCurrentIndex(2);
    ASSERT_EQ(module->comboBox_projector->currentText(), "Cam2");
    load();
    detect();
    QTest::mouseClick(module->pushButton_WriteExtrinsicCalibrationInput, Qt::LeftButton);
    ASSERT_TRUE(log().endsWith("Use Extrinsic Stereo module for extrinsic camera-projector calibration.\n\n"));

    QTest::mouseClick(module->pushButton_ExtrinsicProjectorCamera, Qt::LeftButton);
    ExtrinsicStereoCalibrationWidget* stereo = window->stereoWindow();
    ASSERT_TRUE(stereo);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(stereo));
    EXPECT_EQ(stereo->comboBox_primary->currentText(), "Cam0");
    EXPECT_EQ(stereo->comboBox_secondary->currentText(), "Cam2");
    const QString data = s_dir->path() + "/ExtrinsicCalibrationData/";
    ASSERT_EQ(stereo->list_images_primary->count(), 2);
    ASSERT_EQ(stereo->list_images_secondary->count(), 2);
    EXPECT_EQ(stereo->list_images_primary->item(1)->text(), "cam_view_1.png");
    EXPECT_EQ(stereo->list_images_secondary->item(0)->text(), "proj_view_0.png");
    ASSERT_EQ(stereo->state().primary.size(), 2u);
    EXPECT_EQ(stereo->state().primary[1].path, data + "Cam0/cam_view_1.png");
    EXPECT_EQ(stereo->state().secondary[0].path, data + "Cam2/proj_view_0.png");

    // The object boxes stay coupled both ways, row for row.
    stereo->comboBox_secondary->setCurrentIndex(1);
    EXPECT_EQ(module->comboBox_projector->currentText(), "Cam1");
    module->comboBox_sensor->setCurrentIndex(2);
    EXPECT_EQ(stereo->comboBox_primary->currentText(), "Cam2");
    EXPECT_EQ(stereo->comboBox_secondary->currentText(), "Cam1");
    // A second press opens a second stereo window; the first stays open.
    QTest::mouseClick(module->pushButton_ExtrinsicProjectorCamera, Qt::LeftButton);
    EXPECT_NE(window->stereoWindow(), stereo);
    EXPECT_TRUE(stereo->isVisible());
}
