// The intrinsic module inside the real main window: images in, Calibrate, results out.

#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>

#include <opencv2/imgproc.hpp>

#include <iostream>

#include <vtkPropCollection.h>

#include "../IntrinsicTestData.h"
#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "intrinsic/QualityPictures.h"
#include "intrinsic/ui/IntrinsicCalibrationWidget.h"
#include "intrinsic/ui/QualityTab.h"
#include "sensors/ui/SensorTree.h"
#include "support/TestSupport.h"
#include "targets/TargetDetection.h"
#include "widgets/ImageLabelWidget.h"

using namespace vantiro;
using namespace vantiro::intrinsic;

namespace {

class IntrinsicModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Eight views, copied so that undistorted images go into a folder of this test.
        static QTemporaryDir images;
        for (const auto& image : intrinsic_test::viewState(8, false, &images).images)
            paths << image.path;
        dialogs::setMessageHandler([this](const dialogs::MessageRequest& r) {
            questions << r.title + "|" + r.text;
            return answer;
        });
        dialogs::setFileHandler([this](const dialogs::FileRequest& r) {
            files << r.caption + "|" + r.directory;
            return paths;
        });
        window = std::make_unique<MainWindow>();
        window->setWorkingDirectory(workingDirectory.path());
        window->ui.spinBox_ChessboardNumSquaresY->setValue(7); // 10 x 7 squares; their size does not matter
        module = window->openIntrinsicModule();
        module->button_change_dir->click();
    }

    QString log() const { return module->text_log->toPlainText(); }
    // Colour of the first log text that contains s (of its last character).
    QColor colourOf(const QString& s) const
    {
        return module->text_log->document()->find(s).charFormat().foreground().color();
    }
    cv::Mat K(int id) const { return window->ui.widget_sensors->sensorList().find(id)->K; }
    int props() const { return module->targetRenderer()->GetViewProps()->GetNumberOfItems(); }

    QStringList paths, questions, files;
    QTemporaryDir workingDirectory;
    std::unique_ptr<MainWindow> window;
    IntrinsicCalibrationWidget* module = nullptr;
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
    EXPECT_FALSE(module->check_use_rational_model->isChecked() || !module->check_fix_k5->isHidden());
    EXPECT_EQ(module->options().flags() & (32 | 64 | 128 | 4096 | 16384), 32 | 64 | 128);
    module->groupBox_UseIntrinsicGuess->setChecked(true);
    module->check_fix_focal->setChecked(true);
    module->check_fix_pp->setChecked(true);
    EXPECT_EQ(module->options().flags() & (1 | 4 | 16), 1 | 4 | 16);
    module->groupBox_UseIntrinsicGuess->setChecked(false);
    EXPECT_FALSE(module->check_fix_focal->isChecked() || module->check_fix_pp->isChecked());
}

TEST_F(IntrinsicModuleTest, CalibratesEndToEndLeavesAScreenshotAndUndistorts)
{
    EXPECT_EQ(files, QStringList{"Calibration Images|" + workingDirectory.path()}) << "title, starting folder";
    // The images live outside the working directory: one warning.
    EXPECT_EQ(log(), "Warning: Current Directory and working directory are different, settings will be saved in "
                     "working directory\n\n");
    EXPECT_EQ(colourOf("Warning: Current Directory"), QColor("orange"));
    EXPECT_FALSE(module->groupBox_PreviewUndistortion->isEnabled());

    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Detecting targets: 0 1 2 3 4 5 6 7 \n\nIntrinsic calibration with 8/8 images...\n\n"));
    // The object in the sensor panel carries the result, the file is in the working directory.
    EXPECT_NEAR(K(0).at<double>(0, 0), 560.0, 2.0);
    EXPECT_EQ(window->ui.widget_sensors->sensorList().find(0)->imgSize, cv::Size(640, 480));
    EXPECT_TRUE(cv::countNonZero(K(1)) == 0 && QFileInfo(workingDirectory.path() + "/Cam0.intrinsics.yml").isFile())
        << "the other object is untouched";

    // Results on screen: coloured list items, error labels, corners and crosses, 3D targets.
    for (int i = 0; i < 8; ++i)
        EXPECT_NE(module->list_images->item(i)->background().style(), Qt::NoBrush) << i;
    EXPECT_TRUE(module->groupBox_PreviewUndistortion->isEnabled() && props() > 0);
    module->list_images->setCurrentRow(3);
    EXPECT_EQ(module->label_rms_err->text(), QString("RMS: %1 px").arg(module->state().images[3].rms, 0, 'f', 4));
    EXPECT_TRUE(!module->group_reproj_err->isHidden() && module->label_min_err->styleSheet().startsWith("color:rgb("));
    module->show();
    QApplication::processEvents();
    const QString shot = test::artefactDir() + "/intrinsic_module_calibrated.png";
    ASSERT_TRUE(module->grab().toImage().save(shot));
    EXPECT_GT(QFileInfo(shot).size(), 10000);

    // The undistortion preview shows on the 2D tab, with the marks moved along.
    const cv::Mat before = module->image_label->image();
    module->tabWidget->setCurrentIndex(1);
    module->groupBox_PreviewUndistortion->setChecked(true);
    EXPECT_TRUE(module->tabWidget->currentIndex() == 0 && module->image_label->viewPort()->hasActiveOverlays());
    EXPECT_GT(cv::norm(before, module->image_label->image(), cv::NORM_L1), 0.0);

    answer = QMessageBox::No;
    module->pushButton_WriteUndistortedImages->click();
    const QString folder = QFileInfo(paths[0]).absolutePath() + "/Undistorted";
    EXPECT_EQ(questions, QStringList{"Write Undistorted Images|Writing undistorted images to:\n\n" + folder +
                                     "/\n\nContinue?"});
    EXPECT_FALSE(QDir(folder).exists());
    answer = QMessageBox::Yes;
    module->list_images->item(1)->setCheckState(Qt::Unchecked);
    module->pushButton_WriteUndistortedImages->click();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 8) << "unchecked images too";
}

TEST_F(IntrinsicModuleTest, AbortUncheckedImagesTargetChangesAndNewLists)
{
    module->list_images->item(5)->setCheckState(Qt::Unchecked);
    // Press Abort as soon as the first image has been reported.
    bool pressed = false;
    QObject::connect(module->text_log, &QTextEdit::textChanged, module, [&] {
        if (!pressed && log().contains("Detecting targets: 0 ")) {
            pressed = true;
            // No new list while the run uses this one.
            EXPECT_TRUE(module->button_calibrate->text() == "Abort" && !module->button_change_dir->isEnabled());
            module->button_calibrate->click();
        }
    });
    module->button_calibrate->click();
    ASSERT_TRUE(pressed);
    EXPECT_TRUE(log().endsWith("Detecting targets: 0 Calibration aborted \n\n")) << log().toStdString();
    EXPECT_EQ(colourOf("Calibration aborted"), QColor(logcolor::Red));
    EXPECT_TRUE(module->button_calibrate->text() == "Calibrate" && module->button_change_dir->isEnabled());
    EXPECT_TRUE(cv::countNonZero(K(0)) == 0 && QDir(workingDirectory.path()).entryList({"Cam0*"}).isEmpty());

    // The next run goes on where it stopped and leaves the unchecked image out, greyed.
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Detecting targets: 0 1 2 3 4 5 6 7 \n\nIntrinsic calibration with 7/8 images"));
    EXPECT_EQ(colourOf("0 "), QColor(logcolor::Reused));
    EXPECT_EQ(module->list_images->item(5)->background().color(), QColor(logcolor::Grey));

    // A new square size in the main window: everything is detected again.
    window->ui.spinBox_ChessboardSquareWidth->setValue(30.0);
    module->group_outliers->setChecked(true);
    module->text_log->clear();
    module->button_calibrate->click();
    EXPECT_TRUE(log().contains("Square Width = 30\n")) << log().toStdString();
    EXPECT_EQ(colourOf("0 1 2 3 4 "), QColor(logcolor::Green));

    // A new list checks everything again and clears results and options.
    module->button_change_dir->click();
    EXPECT_EQ(module->list_images->item(5)->checkState(), Qt::Checked);
    EXPECT_FALSE(module->group_outliers->isChecked() || module->state().images[0].hasCorners());
    EXPECT_TRUE(module->group_reproj_err->isHidden() && props() == 0);
}

TEST_F(IntrinsicModuleTest, QualityTabShowsWhereTheResultHoldsAndItsBarsSelectImages)
{
    module->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(module));
    QualityTab* tab = module->tab_quality;
    EXPECT_EQ(tab->label_quality_summary->text(), "Calibrate to see where in the image the result can be trusted.");
    module->button_calibrate->click();
    const auto quality = tab->quality();
    ASSERT_TRUE(quality && quality->determined());
    EXPECT_EQ(quality->views.size(), 8u);
    EXPECT_TRUE(log().endsWith(quality->summary() + "\n")) << "the log ends with the quality line";

    // Opened as a user does, by its tab.
    QTabBar* bar = module->tabWidget->tabBar();
    ASSERT_EQ(bar->tabText(2), "Quality");
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
    QApplication::processEvents();
    ASSERT_TRUE(tab->isVisible());
    EXPECT_TRUE(tab->label_quality_summary->text().startsWith(quality->summary().trimmed() + "\nCorner noise "));
    // The heat map of the whole 640 x 480 image beside its legend; where the board was, the colour
    // is that of the uncertainty there.
    cv::Mat shown = tab->image_quality->image();
    ASSERT_EQ(shown.size(), cv::Size(640 + kLegendWidth, 480));
    EXPECT_EQ(shown.at<cv::Vec3b>(250, 300), uncertaintyColor(quality->atDistance.at({300, 250})));

    // A click on the fifth bar selects that image in the list; its bar gets a white outline.
    ViewErrorChartWidget* chart = tab->chart_view_errors;
    ASSERT_EQ(chart->chart().columns.size(), 8u);
    const cv::Rect column = chart->chart().columns[5];
    QTest::mouseClick(chart, Qt::LeftButton, {}, QPoint(column.x + column.width / 2, column.br().y - 2));
    EXPECT_EQ(module->list_images->currentRow(), 5);
    EXPECT_EQ(chart->chart().picture.at<cv::Vec3b>(column.br().y - 1, column.x + column.width / 2),
              cv::Vec3b(255, 255, 255));
    QTest::mouseClick(chart, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(module->list_images->currentRow(), 5) << "a click beside the bars selects nothing";

    // Residual vectors on the map; the overlays go with the coverage and residual pictures.
    QCheckBox* residuals = tab->check_quality_residuals;
    QTest::mouseClick(residuals, Qt::LeftButton, {}, QPoint(5, residuals->height() / 2));
    ASSERT_TRUE(tab->check_quality_residuals->isChecked());
    EXPECT_GT(cv::norm(shown, tab->image_quality->image(), cv::NORM_L1), 0.0);
    const QString shot = test::artefactDir() + "/intrinsic_quality_tab.png";
    ASSERT_TRUE(module->grab().toImage().save(shot));
    EXPECT_GT(QFileInfo(shot).size(), 10000);
    tab->combo_quality_view->setCurrentIndex(2);
    EXPECT_TRUE(!tab->check_quality_coverage->isEnabled() && !tab->check_quality_residuals->isEnabled());
    EXPECT_EQ(cv::norm(tab->image_quality->image(), coveragePicture(*quality), cv::NORM_INF), 0.0);

    // A new image list: nothing to judge.
    module->button_change_dir->click();
    EXPECT_FALSE(tab->quality());
    EXPECT_EQ(chart->chart().columns.size(), 0u);
}

TEST_F(IntrinsicModuleTest, WindowRepaintsAndAbortReactsWhileALongListIsDetected)
{
    // Twelve views scaled up to 1920 x 1440: each takes a noticeable time to detect.
    static QTemporaryDir large;
    QStringList big;
    for (int i = 0; i < 12; ++i) {
        big << large.path() + QString("/large_%1.png").arg(i);
        if (QFileInfo::exists(big.last()))
            continue;
        cv::Mat view = cv::imread(QFile::encodeName(intrinsic_test::views()[size_t(i)].path).toStdString());
        cv::resize(view, view, {}, 3.0, 3.0, cv::INTER_CUBIC);
        cv::imwrite(QFile::encodeName(big.last()).toStdString(), view);
    }
    QElapsedTimer clock;
    clock.start();
    TargetCornerList corners;
    ASSERT_TRUE(detectTarget(cv::imread(QFile::encodeName(big[0]).toStdString(), cv::IMREAD_GRAYSCALE),
                             intrinsic_test::kTarget, corners));
    const qint64 oneImage = clock.elapsed();

    paths = big;
    module->button_change_dir->click();
    module->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(module));

    // A timer asks for a repaint of the image list every 5 ms and notes the gaps between its
    // turns while images are being detected; the list counts its paints.
    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    module->list_images->viewport()->installEventFilter(&counter);
    // In the second run below a second click on Abort comes two turns after the first, while
    // the images in flight finish (the run sees the abort in the first turn).
    qint64 last = -1, longestGap = 0, pressedAt = -1, abortLineAt = -1;
    int turns = 0, turnsAfterPress = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const bool detecting = module->busy() && !log().contains("Intrinsic calibration with");
        const qint64 now = clock.elapsed();
        if (detecting && last >= 0)
            longestGap = std::max(longestGap, now - last);
        last = detecting ? now : -1;
        turns += detecting;
        module->list_images->viewport()->update();
        if (pressedAt >= 0 && ++turnsAfterPress == 2 && module->button_calibrate->text() == "Abort")
            QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    });
    ticker.start(5);
    clock.restart();
    const int paintsBefore = counter.paints;
    module->button_calibrate->click();
    const qint64 run = clock.elapsed();
    ASSERT_TRUE(log().contains("Detecting targets: 0 1 2 3 4 5 6 7 8 9 10 11 \n\nIntrinsic calibration with 12/12"))
        << log().toStdString();
    std::cerr << "one image " << oneImage << " ms, run " << run << " ms, " << turns << " event-loop turns, longest gap "
              << longestGap << " ms, " << counter.paints - paintsBefore << " paints of the list\n";
    EXPECT_GT(turns, 10);
    EXPECT_LT(longestGap, std::max<qint64>(oneImage / 2, 50)) << "the window never waits for a detection";
    EXPECT_GE(counter.paints - paintsBefore, turns / 4) << "the list repainted throughout";

    // Abort while images are in flight: the abort line at once, the run's end when they are
    // done, and nothing after the line.
    module->button_change_dir->click();
    module->text_log->clear();
    const QMetaObject::Connection pressAbort = QObject::connect(module->text_log, &QTextEdit::textChanged, module, [&] {
        if (abortLineAt < 0 && log().contains("Calibration aborted"))
            abortLineAt = clock.elapsed();
        if (pressedAt < 0 && log().contains("Detecting targets: 0 1 ")) {
            pressedAt = clock.elapsed();
            QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
        }
    });
    clock.restart();
    QTest::mouseClick(module->button_calibrate, Qt::LeftButton);
    const qint64 stopped = clock.elapsed();
    ASSERT_GE(pressedAt, 0);
    std::cerr << "abort line after " << abortLineAt - pressedAt << " ms, run ended after " << stopped - pressedAt
              << " ms\n";
    EXPECT_TRUE(abortLineAt >= pressedAt && abortLineAt - pressedAt < std::max<qint64>(oneImage / 2, 50))
        << "the abort line shows at once";
    EXPECT_LT(stopped - pressedAt, 3 * oneImage + 200) << "the images in flight finish, not the remaining ones";
    EXPECT_TRUE(log().endsWith("Detecting targets: 0 1 Calibration aborted \n\n")) << log().toStdString();
    EXPECT_TRUE(module->button_calibrate->text() == "Calibrate" && !module->busy());
    const QString final = log();
    QTest::qWait(300);
    EXPECT_EQ(log(), final) << "no line after the abort line";
    EXPECT_FALSE(module->state().images[2].hasCorners());
    QObject::disconnect(pressAbort);
    module->list_images->viewport()->removeEventFilter(&counter);
}
