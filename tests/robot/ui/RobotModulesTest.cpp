// The hand-eye and tool-flange windows inside the real main window, driven through their buttons.

#include <gtest/gtest.h>

#include <QtWidgets>
#include <QTest>

#include <vtkPropCollection.h>

#include "../RobotTestData.h"
#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "robot/ui/HandEyeCalib.h"
#include "robot/ui/ToolFlangeCalib.h"
#include "sensors/ui/SensorTree.h"
#include "support/TestSupport.h"
#include "widgets/DefaultViewPort.h"
#include "widgets/ImageLabelWidget.h"
#include "widgets/VtkOpenGLWidget.h"

using namespace robot_test;

namespace {

constexpr int kViews = 8;

// The first poses of a rig as a file: XML in metres, or text lines in millimetres.
QString writeTcpFile(const QString& path, const vantiro::synth::RobotRig& rig, bool xml)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    QTextStream out(&f);
    out.setRealNumberPrecision(12);
    if (xml)
        out << "<TCP_Poses>\n";
    for (int i = 0; i < kViews; ++i) {
        const cv::Vec3d t = xml ? rig.tcp[size_t(i)].t * 0.001 : rig.tcp[size_t(i)].t;
        const cv::Vec3d r = rig.tcp[size_t(i)].rvec();
        if (xml)
            out << "<Pose ID=\"" << 100 + i << "\" Name=\"P" << i << "\"><X>" << t[0] << "</X><Y>" << t[1] << "</Y><Z>"
                << t[2] << "</Z><RX>" << r[0] << "</RX><RY>" << r[1] << "</RY><RZ>" << r[2] << "</RZ></Pose>\n";
        else
            out << t[0] << " " << t[1] << " " << t[2] << " " << r[0] << " " << r[1] << " " << r[2] << "\n";
    }
    if (xml)
        out << "</TCP_Poses>\n";
    return path;
}

// Pixels that differ clearly from the view's gradient background (which has red == green).
int propPixels(const QImage& img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            n += std::abs(c.red() - c.green()) > 40 || c.blue() < c.red() - 40;
        }
    return n;
}

class RobotModulesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dialogs::setFileHandler([this](const dialogs::FileRequest& r) {
            requests << r.caption + "|" + r.filter;
            return r.caption == "Open TCP File(s)" ? tcpFiles : images;
        });
        window = std::make_unique<MainWindow>();
        window->setWorkingDirectory(workingDirectory.path());
        window->ui.spinBox_ChessboardNumSquaresX->setValue(10);
        window->ui.spinBox_ChessboardNumSquaresY->setValue(7);
        window->ui.spinBox_ChessboardSquareWidth->setValue(30.0);
        // Cam0 is the camera with its true intrinsics; Cam1 stands for the robot.
        window->ui.widget_sensors->UpdateIntrinsicsForId(0, cv::Mat(kCamera.K, true), cv::Mat(kCamera.distCoeffs()),
                                                         kCamera.size);
        window->show();
    }
    void TearDown() override { dialogs::setFileHandler({}); }

    template <class Module> void load(Module* m, const RigViews& views, bool xml)
    {
        module = m;
        module->combo_sensor->setCurrentIndex(0);
        module->combo_robot->setCurrentIndex(1);
        module->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(module));
        images = views.paths.mid(0, kViews);
        tcpFiles = {writeTcpFile(files.path() + (xml ? "/poses.xml" : "/poses.txt"), views.rig, xml)};
        module->button_open_images->click();
        module->button_open_tcp->click();
    }
    QString log() const { return module->text_log->toPlainText(); }
    SensorObject& object(int id) const { return *window->ui.widget_sensors->sensorList().find(id); }
    QImage allPosesShot()
    {
        QApplication::processEvents();
        return module->widget_vtk_allPoses->grabFramebuffer();
    }

    QStringList images, tcpFiles, requests;
    QTemporaryDir workingDirectory, files;
    std::unique_ptr<MainWindow> window;
    RobotModuleWindow* module = nullptr;
};

} // namespace

TEST_F(RobotModulesTest, HandEyeRunThroughTheButtonsShowsStoresAndWritesX)
{
    const RigViews& views = handEyeViews();
    load(window->openHandEyeModule(), views, true);
    EXPECT_EQ(requests, QStringList({"Calibration Image Files|Image Files (*.png *.jpg *.jpeg *.tif *.tiff *.bmp);; All "
                                     "files (*.*)",
                                     "Open TCP File(s)|TCP Files (*.xml *.txt)"}));
    EXPECT_TRUE(log().contains("Parsing " + tcpFiles[0] + "\nFound 8 tcp entries.\n\n")) << log().toStdString();
    ASSERT_EQ(module->list_tcpPoses->count(), kViews);
    EXPECT_EQ(module->list_tcpPoses->item(1)->text(), "ID: 101 Name: P1");
    // The first pose on show, as the file has it (metres) with its angles.
    const TcpPose& p0 = module->tcpPoses()[0];
    EXPECT_EQ(module->label_x->text(), QString("X: %1 m").arg(p0.t[0], 7, 'f', 4));
    EXPECT_TRUE(module->label_rz->text().startsWith(QString(" RZ: %1 (yaw ").arg(p0.r[2], 7, 'f', 4)));
    EXPECT_EQ(module->groupBox_TcpPoses->title(), "TCP w.r.t. Cam1");
    EXPECT_TRUE(module->group_3d_err->isHidden() && module->label_rms_err->text() == "RMS: -");
    const QImage before = allPosesShot();

    module->list_images->item(2)->setCheckState(Qt::Unchecked);
    static_cast<HandEyeCalib*>(module)->radio_horaud->setChecked(true);
    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    EXPECT_TRUE(log().contains("Detecting targets: 0 1 3 4 5 6 7 \n\nHand/Eye-Calibration with 7/7 image/TCP coordinate "
                               "sets...\n\nEstimated X (Cam0 w.r.t. Cam1 TCP coordinate system):"))
        << log().toStdString();
    EXPECT_TRUE(log().endsWith("Extrinsics saved to:\n" + workingDirectory.path() + "/AX-XB.yml\n\n"));
    EXPECT_EQ(module->button_calibrate->text(), "Calibrate");
    ASSERT_TRUE(module->calibrated());
    // The unchecked row and its pose are grey.
    EXPECT_EQ(module->list_images->item(2)->background().color(), QColor(logcolor::Grey));
    EXPECT_EQ(module->list_tcpPoses->item(2)->background().color(), QColor(logcolor::Grey));
    EXPECT_EQ(module->list_tcpPoses->item(3)->background().style(), Qt::NoBrush);

    // Cam1 (the TCP) now sits at X^-1 in Cam0's frame, Cam0 at the origin: the window's hand-over of
    // the run's X, here with the metres and Horaud's method the window passed on.
    EXPECT_LT(angleDeg(object(1).R, views.rig.X.R.t()), 0.05);
    EXPECT_LT(cv::norm(cv::Vec3d(object(1).t.val) + views.rig.X.R.t() * views.rig.X.t), 0.5);

    // All poses in 3D, on show: the base, 7 TCPs, 7 frusta, 7 boards (plane and edges) and the labels.
    EXPECT_EQ(module->tabWidget_View->currentWidget(), module->tab_AllPoses3DView);
    EXPECT_EQ(module->allPosesRenderer()->GetViewProps()->GetNumberOfItems(), 1 + 1 + 7 * 5);
    const QImage after = allPosesShot();
    after.save(vantiro::test::artefactDir() + "/handeye_all_poses.png");
    EXPECT_GT(propPixels(after), propPixels(before) + 2000) << "frusta, boards and frames drawn";
    ASSERT_TRUE(module->grab().toImage().save(vantiro::test::artefactDir() + "/handeye_module.png"));

    // One view on the first tab: corners, errors, its TCP.
    module->tabWidget_View->setCurrentWidget(module->tab_CamViewTcpPose);
    module->list_images->setCurrentRow(4);
    EXPECT_EQ(module->list_tcpPoses->currentRow(), 4) << "the lists go in step";
    const RobotView& v = module->result().views[3];
    ASSERT_EQ(v.row, 4);
    EXPECT_EQ(module->label_rms_err->text(), "RMS: " + QString::number(v.rms, 'f', 4) + " px");
    EXPECT_EQ(module->label_rms_3d->text(), "RMS: " + QString::number(v.rms3d, 'f', 4) + " mm");
    EXPECT_EQ(module->label_rot_err->text(), QString::fromUtf8("ΔR: ") + QString::number(v.rotationDeviation, 'f', 4) +
                                                 QString::fromUtf8("°"));
    EXPECT_TRUE(module->label_min_err->styleSheet().startsWith("color:rgb("));
    EXPECT_TRUE(module->group_3d_err->isVisible() && module->image_label->viewPort()->hasActiveOverlays());
    EXPECT_EQ(module->label_x->text(), QString("X: %1 m").arg(module->tcpPoses()[4].t[0], 7, 'f', 4));
    EXPECT_GT(module->viewRenderer()->GetViewProps()->GetNumberOfItems(), 3);
    // Unchecked rows show their picture without results: one left out, one unchecked after the run.
    module->list_images->setCurrentRow(2);
    EXPECT_TRUE(module->label_rms_err->text() == "RMS: -" && module->label_trans_err->text() == QString::fromUtf8("||Δt||: -"));
    module->list_images->item(5)->setCheckState(Qt::Unchecked);
    module->list_images->setCurrentRow(5);
    EXPECT_EQ(module->label_rms_3d->text(), "RMS: -");
}

TEST_F(RobotModulesTest, ToolFlangeWithEP3PAndMillimetreTextPoses)
{
    const RigViews& views = toolFlangeViews();
    auto* toolFlange = window->openToolFlangeModule();
    load(toolFlange, views, false);
    EXPECT_TRUE(log().contains("Found 8 tcp entries."));
    EXPECT_EQ(module->list_tcpPoses->item(0)->text(), "TCP_0");
    module->radio_mm->setChecked(true);
    module->group_ransac->setChecked(true);
    module->radio_EP3P->setChecked(true);
    EXPECT_FALSE(module->group_ransac->isEnabled()) << "four corners leave nothing for RANSAC";
    EXPECT_FALSE(module->options().useRansac);
    EXPECT_EQ(module->options().solver, PoseSolver::EP3P);
    EXPECT_EQ(module->spin_reproj_err->decimals(), 2);

    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    ASSERT_TRUE(module->calibrated()) << log().toStdString();
    EXPECT_TRUE(log().contains("Tool/Flange-Calibration with 8/8 image/TCP sets...\n\nEstimated Y (Cam0 w.r.t Cam1"));
    EXPECT_TRUE(QFileInfo(workingDirectory.path() + "/AX-YB.yml").isFile());
    // The robot base (Cam1) in the camera's frame: the millimetres and the four-corner solver were
    // passed on (four corners carry a little less than all 54).
    EXPECT_LT(angleDeg(object(1).R, views.rig.Y.R.t()), 0.1);
    EXPECT_LT(cv::norm(cv::Vec3d(object(1).t.val) + views.rig.Y.R.t() * views.rig.Y.t), 1.0);
    // The base, one camera, 8 TCPs and 8 boards and labels.
    EXPECT_EQ(module->allPosesRenderer()->GetViewProps()->GetNumberOfItems(), 1 + 1 + 1 + 8 * 4);
    EXPECT_GT(propPixels(allPosesShot()), 2000);
    ASSERT_TRUE(module->grab().toImage().save(vantiro::test::artefactDir() + "/toolflange_module.png"));
}

TEST_F(RobotModulesTest, AbortStopsTheRunAndStopsLeaveNothingBehind)
{
    const RigViews& views = handEyeViews();
    load(window->openHandEyeModule(), views, true);
    // Press Abort as soon as the second image has been reported.
    bool pressed = false;
    QObject::connect(module->text_log, &QTextEdit::textChanged, module, [&] {
        if (!pressed && log().contains("Detecting targets: 0 1 ")) {
            pressed = true;
            EXPECT_TRUE(module->button_calibrate->text() == "Abort" && !module->button_open_tcp->isEnabled());
            QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
        }
    });
    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    ASSERT_TRUE(pressed);
    EXPECT_TRUE(log().endsWith("Detecting targets: 0 1 Calibration aborted \n\n")) << log().toStdString();
    EXPECT_TRUE(module->button_calibrate->text() == "Calibrate" && module->button_open_tcp->isEnabled());
    EXPECT_FALSE(module->calibrated() || QFileInfo::exists(workingDirectory.path() + "/AX-XB.yml"));

    // A camera without intrinsics, and a robot object removed: the run stops with its message.
    module->text_log->clear();
    module->combo_sensor->setCurrentIndex(1);
    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    EXPECT_EQ(log(), "Intrinsic parameters for Camera 'Cam1' required. Please calibrate it with the 'Intrinsic "
                     "Calibration' module or load the parameters.\n\n");
    // One image fewer than poses.
    module->text_log->clear();
    module->combo_sensor->setCurrentIndex(0);
    images.removeLast();
    module->button_open_images->click();
    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    EXPECT_TRUE(log().endsWith("Number of images differs from the number of tool center point positions.\nAborting.\n\n"));
    // Cancelling the pose dialog keeps the poses.
    tcpFiles.clear();
    module->button_open_tcp->click();
    EXPECT_EQ(module->tcpPoses().size(), size_t(kViews));
}

TEST_F(RobotModulesTest, TcpAnglesAndOptionsAsTheRunGetsThem)
{
    auto* handEye = window->openHandEyeModule();
    module = handEye;
    // Half a radian about x, then 0.3 rad about z: the RX line's angle shows the turn about x,
    // the RZ line's the one about z.
    QFile f(files.filePath("turns.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("0.1 -0.2 1.5 0.5 0 0\n0 0 0 0 0 0.3\n");
    f.close();
    tcpFiles = {f.fileName()};
    module->button_open_tcp->click();
    EXPECT_EQ(module->label_rx->text(), QString::fromUtf8(" RX:  0.5000 (roll -28.65°)"));
    EXPECT_EQ(module->label_z->text(), "Z:  1.5000 m");
    module->list_tcpPoses->setCurrentRow(1);
    EXPECT_EQ(module->label_rz->text(), QString::fromUtf8(" RZ:  0.3000 (yaw -17.19°)"));
    EXPECT_TRUE(module->label_ry->text().startsWith(" RY:  0.0000 (pitch "));

    module->group_ransac->setChecked(true);
    module->spin_confidence->setValue(80);
    module->spin_max_iterations->setValue(300);
    module->spin_reproj_err->setValue(0.25);
    module->radio_mm->setChecked(true);
    module->radio_EPNP->setChecked(true);
    handEye->radio_andreff->setChecked(true);
    const RobotOptions o = module->options();
    EXPECT_TRUE(o.useRansac && !o.metres && o.solver == PoseSolver::EPnP && o.method == HandEyeMethod::Andreff);
    handEye->radio_horaud->setChecked(true);
    EXPECT_EQ(module->options().method, HandEyeMethod::Horaud);
    EXPECT_EQ(o.confidence, 0.8);
    EXPECT_EQ(o.ransacIterations, 300);
    EXPECT_EQ(o.maxReprojectionError, 0.25f);
    EXPECT_EQ(module->spin_reproj_err->decimals(), 3);
}
