// The intrinsic module inside the real main window: images in, Calibrate, results out.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>

#include <opencv2/imgcodecs.hpp>

#include <vtkPropCollection.h>

#include <memory>

#include "app/LogSink.h"
#include "app/Settings.h"
#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/ui/IntrinsicCalibrationWidget.h"
#include "sensors/ui/SensorTree.h"
#include "support/TestSupport.h"
#include "synth/Renderer.h"
#include "widgets/ImageLabelWidget.h"

using namespace vantiro;
using namespace vantiro::synth;

namespace {

// Eight views of a 10 x 7 board of 25 mm squares through a lens with barrel distortion.
const QStringList& renderedViews()
{
    static QTemporaryDir dir;
    static const QStringList paths = [] {
        CameraModel cam = CameraModel::ideal({640, 480}, 560.0);
        cam.setDistortion({-0.18, 0.06, 0.0, 0.0, 0.0});
        MainWindowSettings s;
        s.numSquaresX = 10;
        s.numSquaresY = 7;
        s.squareWidth = s.squareHeight = 25.0;
        const BoardPattern board(s);
        const double distance = distanceForCoverage(cam, board, 0.65);
        const double poses[][3] = {{0, 0, 0},     {30, 0, 5},   {-30, 0, -5},    {0, 30, 10},
                                   {0, -30, -10}, {20, 20, 30}, {-20, -20, -60}, {25, -15, 90}};
        RenderOptions options;
        options.supersampling = 2;
        options.effects.noiseSigma = 1.0;
        QStringList out;
        for (const auto& p : poses) {
            out << dir.path() + QStringLiteral("/img_%1.png").arg(out.size());
            cv::imwrite(QFile::encodeName(out.back()).toStdString(),
                        render(cam, board, viewPose(board, distance, p[0], p[1], p[2]), options).colour);
        }
        return out;
    }();
    return paths;
}

// Colour of the log text that contains needle.
QColor colourOf(QTextEdit* log, const QString& needle)
{
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().text().contains(needle))
                return it.fragment().charFormat().foreground().color();
    return {};
}

class IntrinsicModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // ctest runs test processes side by side and they share the test-mode settings store;
        // the working directory set here must not be replaced by another process meanwhile.
        static QTemporaryDir ownSettings;
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, ownSettings.path());
        test::resetUserSettings();
        dialogs::setMessageHandler([this](const dialogs::MessageRequest& r) {
            questions << r.title + "|" + r.text;
            return answer;
        });
        dialogs::setFileHandler([this](const dialogs::FileRequest& r) {
            fileRequests << r.caption + "|" + r.directory + "|" + r.filter;
            return renderedViews();
        });
        window = std::make_unique<MainWindow>();
        window->setWorkingDirectory(workingDirectory.path());
        window->ui.spinBox_ChessboardNumSquaresX->setValue(10);
        window->ui.spinBox_ChessboardNumSquaresY->setValue(7);
        window->ui.spinBox_ChessboardSquareWidth->setValue(25.0);
        module = window->openIntrinsicModule();
        module->resize(1300, 820);
    }

    void TearDown() override
    {
        window.reset();
        dialogs::setMessageHandler({});
        dialogs::setFileHandler({});
        test::resetUserSettings();
    }

    QString log() const { return module->text_log->toPlainText(); }
    std::shared_ptr<SensorObject> object(int id) const { return window->ui.widget_sensors->sensorList().find(id); }

    QTemporaryDir workingDirectory;
    std::unique_ptr<MainWindow> window;
    IntrinsicCalibrationWidget* module = nullptr;
    QStringList questions;
    QStringList fileRequests;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
};

} // namespace

TEST_F(IntrinsicModuleTest, OptionBoxesReactToEachOther)
{
    module->check_use_rational_model->setChecked(true);
    EXPECT_FALSE(module->check_fix_k4->isHidden());
    module->check_fix_k5->setChecked(true);
    // Radial distortion off fixes k1..k3 and drops the rational model with its k4..k6 boxes.
    module->group_use_radial_distortion->setChecked(false);
    EXPECT_TRUE(module->check_fix_k1->isChecked() && module->check_fix_k2->isChecked() &&
                module->check_fix_k3->isChecked());
    EXPECT_FALSE(module->check_use_rational_model->isChecked());
    EXPECT_TRUE(module->check_fix_k5->isHidden());
    EXPECT_EQ(module->options().flags() & (32 | 64 | 128 | 4096 | 16384), 32 | 64 | 128);

    module->groupBox_UseIntrinsicGuess->setChecked(true);
    module->check_fix_focal->setChecked(true);
    module->check_fix_pp->setChecked(true);
    EXPECT_EQ(module->options().flags() & (1 | 4 | 16), 1 | 4 | 16);
    module->groupBox_UseIntrinsicGuess->setChecked(false);
    EXPECT_FALSE(module->check_fix_focal->isChecked() || module->check_fix_pp->isChecked());
}

TEST_F(IntrinsicModuleTest, CalibratesEndToEndAndLeavesAScreenshot)
{
    module->button_change_dir->click();
    ASSERT_EQ(fileRequests, QStringList{"Calibration Images|" + workingDirectory.path() +
                                        "|Image Files (*.png *.jpg *.jpeg *.tif *.tiff *.bmp);; All files (*.*)"});
    ASSERT_EQ(module->list_images->count(), 8);
    EXPECT_EQ(module->list_images->item(2)->text(), "img_2.png");
    // The images live outside the working directory: one warning.
    EXPECT_EQ(log(), "Warning: Current Directory and working directory are different, settings will be saved in "
                     "working directory\n\n");
    EXPECT_EQ(colourOf(module->text_log, "Warning: Current Directory"), QColor("orange"));

    module->button_calibrate->click();
    EXPECT_EQ(module->button_calibrate->text(), "Calibrate");
    EXPECT_FALSE(module->busy());
    EXPECT_TRUE(log().contains("Intrinsic calibration with 8/8 images...")) << log().toStdString();
    EXPECT_EQ(colourOf(module->text_log, "0 1 2 3 4 5 6 7 "), QColor(logcolor::Green));
    ASSERT_TRUE(module->lastResult().has_value());
    const double rms = module->lastResult()->rms;
    EXPECT_EQ(colourOf(module->text_log, QString::number(rms, 'g', 6) + " px"),
              QColor(intrinsic::colorName(intrinsic::errorColor(rms))));

    // The object in the sensor panel carries the result, the file is in the working directory.
    EXPECT_NEAR(object(0)->K.at<double>(0, 0), 560.0, 2.0);
    EXPECT_NEAR(object(0)->kc.at<double>(0), -0.18, 0.02);
    EXPECT_EQ(object(0)->imgSize, cv::Size(640, 480));
    EXPECT_EQ(cv::countNonZero(object(1)->K), 0) << "the other object is untouched";
    EXPECT_TRUE(QFileInfo(workingDirectory.path() + "/Cam0.intrinsics.yml").isFile());

    // Results on screen: coloured list items, error labels, corners and crosses, 3D targets.
    EXPECT_TRUE(module->groupBox_PreviewUndistortion->isEnabled());
    for (int i = 0; i < module->list_images->count(); ++i)
        EXPECT_NE(module->list_images->item(i)->background().style(), Qt::NoBrush) << i;
    EXPECT_TRUE(module->image_label->viewPort()->hasActiveOverlays());
    EXPECT_GT(module->targetRenderer()->GetViewProps()->GetNumberOfItems(), 0);
    module->list_images->setCurrentRow(3);
    EXPECT_FALSE(module->group_reproj_err->isHidden());
    EXPECT_EQ(module->label_rms_err->text(), QString("RMS: %1 px").arg(module->state().images[3].rms, 0, 'f', 4));
    EXPECT_TRUE(module->label_min_err->styleSheet().startsWith("color:rgb("));

    // For the picture, corner colours spread over each image's own error range.
    const bool rangeMode = dynamicMinMaxColorMapping();
    setDynamicMinMaxColorMapping(true);
    module->analyseErrors(false);
    module->show();
    module->updateView();
    QApplication::processEvents();
    const auto& colours = module->state().images[3].cornerColors;
    EXPECT_NE(std::find(colours.begin(), colours.end(), cv::Vec3b(255, 0, 0)), colours.end());
    const QString shotPath = test::artefactDir() + "/intrinsic_module_calibrated.png";
    ASSERT_TRUE(module->grab().toImage().save(shotPath));
    EXPECT_GT(QFileInfo(shotPath).size(), 10000);
    module->tabWidget->setCurrentIndex(1);
    QApplication::processEvents();
    EXPECT_TRUE(module->grab().toImage().save(test::artefactDir() + "/intrinsic_module_3d.png"));
    setDynamicMinMaxColorMapping(rangeMode);
}

TEST_F(IntrinsicModuleTest, AbortDuringDetectionStopsAndTheNextRunReusesCorners)
{
    module->button_change_dir->click();
    // Press Abort as soon as the first image has been reported.
    bool pressed = false;
    QObject::connect(module->text_log, &QTextEdit::textChanged, module, [&] {
        if (!pressed && log().contains("Detecting targets: 0 ")) {
            pressed = true;
            EXPECT_EQ(module->button_calibrate->text(), "Abort");
            EXPECT_FALSE(module->button_change_dir->isEnabled()) << "no new list while the run uses this one";
            module->button_calibrate->click();
        }
    });
    module->button_calibrate->click();
    ASSERT_TRUE(pressed);
    EXPECT_TRUE(log().endsWith("Detecting targets: 0 Calibration aborted \n\n")) << log().toStdString();
    EXPECT_EQ(colourOf(module->text_log, "Calibration aborted"), QColor(logcolor::Red));
    EXPECT_EQ(module->button_calibrate->text(), "Calibrate");
    EXPECT_TRUE(module->button_change_dir->isEnabled());
    EXPECT_EQ(cv::countNonZero(object(0)->K), 0) << "no result";
    EXPECT_FALSE(QFileInfo(workingDirectory.path() + "/Cam0.intrinsics.yml").exists());

    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Intrinsic calibration with 8/8 images")) << log().toStdString();
    EXPECT_EQ(colourOf(module->text_log, "0 "), QColor(logcolor::Reused));
    EXPECT_EQ(colourOf(module->text_log, "1 2 3"), QColor(logcolor::Green));
}

TEST_F(IntrinsicModuleTest, UncheckedImagesTargetChangesAndNewLists)
{
    module->button_change_dir->click();
    module->list_images->item(5)->setCheckState(Qt::Unchecked);
    module->group_outliers->setChecked(true);
    module->spin_outlier->setValue(0.1); // below the noise: corners go
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Intrinsic calibration with 7/8 images")) << log().toStdString();
    EXPECT_EQ(colourOf(module->text_log, "5 "), QColor(logcolor::Grey));
    EXPECT_EQ(module->list_images->item(5)->background().color(), QColor(logcolor::Grey));
    EXPECT_EQ(colourOf(module->text_log, "Calibrate again to exclude the detected outliers!"), QColor("orange"));

    // A new square size in the main window: everything is detected again, with all corners.
    window->ui.spinBox_ChessboardSquareWidth->setValue(30.0);
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Square Width = 30\n")) << log().toStdString();
    EXPECT_EQ(colourOf(module->text_log, "0 1 2 3 4 "), QColor(logcolor::Green));

    // A new list checks everything again and clears results and options.
    module->button_change_dir->click();
    EXPECT_EQ(module->list_images->item(5)->checkState(), Qt::Checked);
    EXPECT_FALSE(module->group_outliers->isChecked());
    EXPECT_TRUE(module->group_reproj_err->isHidden());
    EXPECT_EQ(module->targetRenderer()->GetViewProps()->GetNumberOfItems(), 0);
    EXPECT_FALSE(module->state().images[0].hasCorners());

    // Without any object the run stops before detection.
    window->ui.widget_sensors->removeObject(0);
    window->ui.widget_sensors->removeObject(1);
    EXPECT_EQ(module->combo_sensor->count(), 0);
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_EQ(log(), "No sensor present in the sensor list, aborting.\n\n");
}

TEST_F(IntrinsicModuleTest, UndistortionPreviewAndWriter)
{
    module->button_change_dir->click();
    module->button_calibrate->click();
    const cv::Mat before = module->image_label->image();
    module->tabWidget->setCurrentIndex(1);
    module->groupBox_PreviewUndistortion->setChecked(true);
    EXPECT_EQ(module->tabWidget->currentIndex(), 0) << "the preview shows on the 2D tab";
    const cv::Mat after = module->image_label->image();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_GT(cv::norm(before, after, cv::NORM_L1), 0.0);
    EXPECT_TRUE(module->image_label->viewPort()->hasActiveOverlays());

    answer = QMessageBox::No;
    module->pushButton_WriteUndistortedImages->click();
    const QString folder = QFileInfo(renderedViews()[0]).absolutePath() + "/Undistorted";
    EXPECT_EQ(questions, QStringList{"Write Undistorted Images|Writing undistorted images to:\n\n" + folder +
                                     "/\n\nContinue?"});
    EXPECT_FALSE(QDir(folder).exists());

    answer = QMessageBox::Yes;
    module->list_images->item(1)->setCheckState(Qt::Unchecked);
    module->pushButton_WriteUndistortedImages->click();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 8) << "unchecked images too";
    EXPECT_TRUE(log().endsWith("Undistorting Cam0 images........\nUndistorted images written to:\n" + folder + "/\n\n"));
    QDir(folder).removeRecursively();
}
