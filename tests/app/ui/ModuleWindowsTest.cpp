#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QPushButton>

#include "intrinsic/ui/IntrinsicCalibrationWidget.h"
#include "MainWindowFixture.h"
#include "projector/ui/CamProjStereoCalib.h"
#include "robot/ui/HandEyeCalib.h"
#include "robot/ui/ToolFlangeCalib.h"
#include "sensors/ui/SensorTree.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"

TEST_F(MainWindowTest, EachPressOpensAnIndependentModelessWindow)
{
    MainWindow& w = make();
    w.ui.button_checker_intr_calib->click();
    IntrinsicCalibrationWidget* first = w.intrinsicWindow();
    w.ui.button_checker_intr_calib->click();
    IntrinsicCalibrationWidget* second = w.intrinsicWindow();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);
    EXPECT_TRUE(first->isVisible());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(first->parent(), nullptr);
    EXPECT_TRUE(first->windowFlags() & Qt::Window);
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(first->windowTitle(), "Intrinsic Calibration");

    w.ui.button_checker_extr_calib->click();
    w.ui.button_checker_cam_proj_calib->click();
    w.ui.button_hand_eye->click();
    w.ui.button_tool_flange->click();
    EXPECT_EQ(w.stereoWindow()->windowTitle(), "Extrinsic Stereo Calibration");
    EXPECT_EQ(w.camProjWindow()->windowTitle(), "Camera Projector Calibration");
    EXPECT_EQ(w.handEyeWindow()->windowTitle(), "Hand / Eye Calibration");
    EXPECT_EQ(w.toolFlangeWindow()->windowTitle(), "Tool / Flange Calibration");
}

TEST_F(MainWindowTest, ModulesTalkToThePanelThroughTheirSignals)
{
    MainWindow& w = make();
    SensorTree* tree = w.ui.widget_sensors;
    IntrinsicCalibrationWidget* m = w.openIntrinsicModule();
    ASSERT_EQ(m->combo_sensor->count(), 2);

    // Selection follows the object id when rows move.
    m->combo_sensor->setCurrentIndex(1);
    tree->renameObject(1, "Right");
    EXPECT_EQ(m->combo_sensor->currentText(), "Right");
    tree->addObject();
    tree->removeObject(0);
    ASSERT_EQ(m->combo_sensor->count(), 2);
    EXPECT_EQ(m->combo_sensor->currentText(), "Right");
    EXPECT_EQ(m->combo_sensor->currentIndex(), 0);
    tree->removeObject(1);
    EXPECT_EQ(m->combo_sensor->currentText(), "Cam2") << "a vanished object falls back to the first row";

    MainWindowSettings s;
    emit m->getMainWindowSettings(s);
    EXPECT_EQ(s.numSquaresX, 10);
    EXPECT_EQ(s.projectorWidth, 1024);

    cv::Mat K = (cv::Mat_<double>(3, 3) << 700, 0, 300, 0, 700, 200, 0, 0, 1);
    cv::Mat kc = cv::Mat::zeros(1, 5, CV_64F);
    cv::Size size(600, 400);
    emit m->updateIntrinsics(2, K, kc, size);
    EXPECT_EQ(tree->sensorList().find(2)->K.at<double>(0, 0), 700);
    cv::Mat K2, kc2;
    cv::Size size2;
    emit m->getIntrinsics(2, K2, kc2, size2);
    EXPECT_EQ(size2, size);

    HandEyeCalib* h = w.openHandEyeModule();
    tree->addObject();
    emit h->updateSecondaryExtrinsics(2, 3, cv::Matx33d::eye(), cv::Matx31d(1, 2, 3));
    // The pose is given in object 2's frame, which sits at (0, 200, 0).
    EXPECT_EQ(tree->sensorList().find(3)->t, cv::Matx31d(1, 202, 3));
    EXPECT_EQ(h->combo_robot->count(), 2);
}

TEST_F(MainWindowTest, ClosingAsksAndClosesModuleWindowsOnYes)
{
    MainWindow& w = make();
    w.show();
    IntrinsicCalibrationWidget* m = w.openIntrinsicModule();
    ExtrinsicStereoCalibrationWidget* s = w.openStereoModule();
    answer = QMessageBox::No;
    EXPECT_FALSE(w.close());
    EXPECT_EQ(boxes, QStringList({"Vantiro|Close Vantiro?"}));
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(m->isVisible());
    answer = QMessageBox::Yes;
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(m->isVisible());
    EXPECT_FALSE(s->isVisible());
}

TEST_F(MainWindowTest, GrayCodeButtonWritesThePatternFolder)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    w.ui.pushButton_generateGrayCodeImages->click();
    EXPECT_TRUE(logText().contains("Please specify a working directory")) << logText().toStdString();
    EXPECT_TRUE(boxes.isEmpty());

    w.setWorkingDirectory(dir.path());
    w.ui.spin_proj_width->setValue(64);
    w.ui.spin_proj_height->setValue(32);
    answer = QMessageBox::No;
    w.ui.pushButton_generateGrayCodeImages->click();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Generate Gray-Code Projector Images (64x32 px)|"));
    const QString folder = dir.path() + "/GrayCodeImages_64_32";
    EXPECT_FALSE(QFileInfo::exists(folder)) << "No writes nothing";

    answer = QMessageBox::Yes;
    w.ui.pushButton_generateGrayCodeImages->click();
    // 2 + 2 * (6 column bits + 5 row bits) images.
    EXPECT_EQ(QDir(folder).entryList({"*.png"}, QDir::Files).size(), 24);
    EXPECT_TRUE(logText().contains("Saved 24 Gray-Code images to:\n" + folder));
}
