#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/core.hpp>

#include <csignal>

#include "CliTestSupport.h"

using namespace cli_test;

TEST(CliSynth, WritesItsTruthAndRendersEveryTargetKind)
{
    // The truth names the target and holds the rig both ways round (where it puts the corners is
    // checked with detect).
    cv::FileStorage fs((dataSet() + "/truth.yml").toStdString(), cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    EXPECT_EQ(fs["target"].string(), "chessboard:10x7:25");
    const cv::Mat R = fs["stereo"]["R"].mat(), T = fs["stereo"]["T"].mat();
    EXPECT_LT(cv::norm(fs["stereo"]["secondaryR"].mat(), R.t()), 1e-12);
    EXPECT_LT(cv::norm(fs["stereo"]["secondaryT"].mat(), -R.t() * T), 1e-9);

    // ChArUco and the chessboard with markers, rendered and found again by detect.
    QTemporaryDir dir;
    const std::pair<const char*, int> targets[] = {{"charuco:6x5:30:22:DICT_4X4_50", 12}, {"radon:9x8:30", 20}};
    for (const auto& [target, minimum] : targets) {
        const QString out = dir.path() + "/" + QString(target).left(5);
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
        for (const QString& line : lines)
            EXPECT_GE(line.section(": ", 1).section(' ', 0, 0).toInt(), minimum) << line.toStdString();
    }
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
    const CliRun r = run({"demo", "--workdir", root, "--poses", "4", "--projector-sets", "4"});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Vantiro demo: synthetic data, calibrated and compared with the ground truth\n"
                                 "Working directory: " + root + "\n"));
    for (const char* line : {"[1/8] Data set: chessboard:10x7:25, 640x480 px, 4 views, 4 pairs, 4 Gray-code set(s)",
                             "[2/8] Intrinsic calibration of Cam0 from 4 views", "      fx     ",
                             "      PASS  intrinsic: ", "[3/8] Stereo calibration of Cam0 and Cam1 from 4 pairs",
                             "      Cam1 x [mm]", "      PASS  stereo: ", "[4/8] Stereo rectification of the 4 pairs",
                             "      estimated rig: 4 pairs, 216 corners: vertical disparity mean ",
                             "      PASS  rectification: ", "[5/8] Gray-code decoding", "      PASS  decoding: ",
                             "[6/8] Camera-projector calibration of Cam0 and Proj from 4 capture sets",
                             "      Proj fx     ", "      PASS  camera-projector: ",
                             "[7/8] Hand-eye calibration from 4 views", "      tX x [mm]", "      PASS  hand-eye: ",
                             "[8/8] Tool-flange calibration from 4 views", "      Y: rotation off by ",
                             "      PASS  tool-flange: ", "Result: 7 of 7 modules pass"})
        EXPECT_TRUE(r.out.contains(line)) << line;
    EXPECT_FALSE(r.out.contains("FAIL"));
    // Each command's full output is kept, with the results it wrote.
    for (const char* file : {"intrinsic/Cam0.intrinsics.yml", "stereo/Cam0.project.yml", "decode/decoded_x.png",
                             "stereo/stereo.log", "stereo/Cam0_Cam1.rectification.yml",
                             "data/stereo/Rectified/secondary_03.png", "data/projector/Proj.intrinsics.yml",
                             "data/projector/ExtrinsicCalibrationData/Proj/proj_view_3.yml", "handeye/AX-XB.yml",
                             "toolflange/AX-YB.yml", "toolflange/toolflange.log"})
        EXPECT_TRUE(QFileInfo::exists(root + "/" + file)) << file;
}
