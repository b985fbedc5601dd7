#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <csignal>

#include "CliTestSupport.h"
#include "targets/TargetSettingsFile.h"

using namespace cli_test;

TEST(CliSynth, WritesTheDataSetWithItsTruth)
{
    const QString data = dataSet();
    EXPECT_EQ(filesIn(data + "/intrinsic").size(), 5);
    EXPECT_EQ(filesIn(data + "/stereo").size(), 10);
    EXPECT_EQ(filesIn(data + "/projector/set_00").size(), 26);
    EXPECT_EQ(cv::imread((data + "/stereo/secondary_04.png").toStdString()).size(), cv::Size(480, 360));

    // The target for the GUI and --settings.
    const auto settings = readTargetSettingsFile(data + "/MainWindowSettings.ini");
    ASSERT_TRUE(settings.ok) << settings.error.toStdString();
    EXPECT_EQ(settings.settings.numSquaresX, 10);
    EXPECT_EQ(settings.settings.numSquaresY, 7);
    EXPECT_EQ(settings.settings.projectorWidth, 64);

    // The truth: the camera asked for, a rig whose inverse is stored beside it, a pose per view
    // that projects the grid where the detector finds it.
    cv::FileStorage fs((data + "/truth.yml").toStdString(), cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    EXPECT_EQ(fs["target"].string(), "chessboard:10x7:25");
    cv::Mat K, kc, R, T, sR, sT;
    fs["camera0"]["K"] >> K;
    fs["camera0"]["kc"] >> kc;
    EXPECT_DOUBLE_EQ(K.at<double>(0, 0), 0.875 * 480);
    EXPECT_DOUBLE_EQ(kc.at<double>(0), -0.18);
    fs["stereo"]["R"] >> R;
    fs["stereo"]["T"] >> T;
    fs["stereo"]["secondaryR"] >> sR;
    fs["stereo"]["secondaryT"] >> sT;
    EXPECT_LT(cv::norm(sR, R.t()), 1e-12);
    EXPECT_LT(cv::norm(sT, -R.t() * T), 1e-9);
    EXPECT_NEAR(cv::norm(sT), 120.0, 1e-6);

    const cv::FileNode view = fs["intrinsicViews"][2];
    EXPECT_EQ(view["image"].string(), "intrinsic/view_02.png");
    cv::Mat rvec, tvec;
    view["rvec"] >> rvec;
    view["tvec"] >> tvec;
    std::vector<cv::Point3f> grid;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 9; ++c)
            grid.emplace_back(25.0f * float(c + 1), 25.0f * float(r + 1), 0.0f);
    std::vector<cv::Point2f> projected;
    cv::projectPoints(grid, rvec, tvec, K, kc, projected);
    QTemporaryDir dir;
    const QStringList copy = copyInto({data + "/intrinsic/view_02.png"}, dir.path());
    const CliRun r = run({"detect", "--target", kTarget, "--write-corners", copy[0]});
    ASSERT_EQ(r.code, 0);
    cv::FileStorage corners((dir.path() + "/view_02.yml").toStdString(), cv::FileStorage::READ);
    cv::Mat found;
    corners["corners"] >> found;
    ASSERT_EQ(found.total(), 54u);
    // The detector's order may run either way along the board; compare with the nearer end.
    double forward = 0.0, backward = 0.0;
    for (int i = 0; i < 54; ++i) {
        forward = std::max(forward, double(cv::norm(found.at<cv::Point2f>(i) - projected[size_t(i)])));
        backward = std::max(backward, double(cv::norm(found.at<cv::Point2f>(i) - projected[size_t(53 - i)])));
    }
    EXPECT_LT(std::min(forward, backward), 0.5);
}

TEST(CliSynth, OtherTargetsCamerasAndRefusals)
{
    QTemporaryDir dir;
    // ChArUco and the chessboard with markers, rendered and found again by detect.
    const std::pair<const char*, int> targets[] = {{"charuco:6x5:30:22:DICT_4X4_50", 12}, {"radon:9x8:30", 20}};
    int n = 0;
    for (const auto& [target, minimum] : targets) {
        const QString out = dir.path() + QString("/t%1").arg(n++);
        CliRun r = run({"synth", "--output", out, "--target", target, "--sets", "intrinsic", "--poses", "2", "--camera",
                     "wide,size=400x300", "--noise", "0.5"});
        ASSERT_EQ(r.code, 0) << target << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(QString("(%1, 400x300 px)").arg(target)));
        EXPECT_FALSE(QFileInfo::exists(out + "/stereo"));
        r = run({"detect", "--settings", out, out + "/intrinsic/view_*.png"});
        EXPECT_EQ(r.code, 0) << target << r.out.toStdString();
        // The marker board's detector adds a diagnostic line per image of its own.
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts).filter(".png: ");
        ASSERT_EQ(lines.size(), 2) << r.out.toStdString();
        EXPECT_TRUE(r.out.endsWith("Target found in 2 of 2 images\n"));
        for (int i = 0; i < 2; ++i)
            EXPECT_GE(lines[i].section(": ", 1).section(' ', 0, 0).toInt(), minimum) << lines[i].toStdString();
    }

    const std::pair<QStringList, QString> refused[] = {
        {{"--camera", "fisheye"}, "--camera \"fisheye\": \"fisheye\" is not a preset"},
        {{"--camera", "k1=-3"}, "this distortion folds the image corners over"},
        {{"--secondary-camera", "f=-5"}, "--secondary-camera \"f=-5\": f must be positive"},
        {{"--sets", "intrinsic,mono"}, "--sets: unknown set \"mono\""},
        {{"--projector", "8x8"}, "--projector must be from 16x16 to 4096x4096"},
        {{"--target", "charuco:6x5:30:30:DICT_4X4_50"}, "this target cannot be rendered"},
    };
    for (const auto& [args, reason] : refused) {
        const QString out = dir.path() + "/refused";
        const CliRun r = run(QStringList{"synth", "--output", out} + args);
        EXPECT_EQ(r.code, 2) << reason.toStdString();
        EXPECT_TRUE(r.err.contains(reason)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1);
        EXPECT_FALSE(QFileInfo::exists(out)) << reason.toStdString();
    }
    // Never into a folder that holds something.
    const CliRun r = run({"synth", "--output", dataSet(), "--sets", "intrinsic"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli synth: the output folder " + dataSet() + " is not empty\n");
}

TEST(CliSynth, CtrlCStopsAtAnImageAndLeavesNoTruth)
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/long";
    QProcess p;
    p.start(binary(), {"synth", "--output", out, "--sets", "intrinsic", "--poses", "200"});
    ASSERT_TRUE(p.waitForStarted());
    // Once images are being written the handler is in place.
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(out + "/intrinsic") && clock.elapsed() < 20000)
        QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(out + "/intrinsic"));
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(err, "vantiro-cli synth: interrupted; the data set in " + out + " is incomplete\n");
    EXPECT_FALSE(QFileInfo::exists(out + "/truth.yml"));
    EXPECT_LT(filesIn(out + "/intrinsic").size(), 200);
}

TEST(CliDemo, ReportsEveryModuleAgainstTheTruth)
{
    QTemporaryDir dir;
    const QString root = dir.path() + "/demo";
    const CliRun r = run({"demo", "--workdir", root, "--poses", "4"});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Vantiro demo: synthetic data, calibrated and compared with the ground truth\n"
                                 "Working directory: " + root + "\n"));
    for (const char* line : {"[1/4] Data set: chessboard:10x7:25, 640x480 px, 4 views, 4 pairs",
                             "[2/4] Intrinsic calibration of Cam0 from 4 views", "      fx     ",
                             "      PASS  intrinsic: ", "[3/4] Stereo calibration of Cam0 and Cam1 from 4 pairs",
                             "      Cam1 x [mm]", "      PASS  stereo: ", "[4/4] Gray-code decoding",
                             "      PASS  decoding: ", "Result: 3 of 3 modules pass"})
        EXPECT_TRUE(r.out.contains(line)) << line;
    EXPECT_FALSE(r.out.contains("FAIL"));
    // Each command's full output is kept, with the results it wrote.
    EXPECT_TRUE(QFileInfo::exists(root + "/intrinsic/Cam0.intrinsics.yml"));
    EXPECT_TRUE(QFileInfo::exists(root + "/stereo/Cam0.project.yml"));
    EXPECT_TRUE(QFileInfo::exists(root + "/decode/decoded_x.png"));
    EXPECT_TRUE(QFileInfo::exists(root + "/stereo/stereo.log"));

    const CliRun again = run({"demo", "--workdir", root});
    EXPECT_EQ(again.code, 2);
    EXPECT_EQ(again.err, "vantiro-cli demo: the demo needs a fresh folder; " + root + " is not empty\n");
}
