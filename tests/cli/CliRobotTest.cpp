// handeye and toolflange on the tool's own synthetic robot sets, against their truth.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include "CliTestSupport.h"

using namespace cli_test;

namespace {

struct Transform
{
    cv::Matx33d R;
    cv::Vec3d t;
};

Transform truthOf(const char* set, const char* which)
{
    cv::FileStorage fs((dataSet() + "/truth.yml").toStdString(), cv::FileStorage::READ);
    const cv::FileNode node = fs[set][which];
    return {cv::Matx33d(node["R"].mat()), cv::Vec3d(node["t"].mat())};
}

Transform resultOf(const QString& file, const char* letter)
{
    cv::FileStorage fs(file.toStdString(), cv::FileStorage::READ);
    return {cv::Matx33d(fs[std::string("R") + letter].mat()), cv::Vec3d(fs[std::string("t") + letter].mat())};
}

double degrees(const cv::Matx33d& a, const cv::Matx33d& b)
{
    cv::Vec3d r;
    cv::Rodrigues(a.t() * b, r);
    return cv::norm(r) * 180.0 / CV_PI;
}

// The set's images in reverse order: the command pairs them by name all the same.
QStringList imagesOf(const char* folder)
{
    QStringList images;
    for (const QString& f : QDir(dataSet() + "/" + folder).entryList({"view_*.png"}, QDir::Files, QDir::Name))
        images.prepend(dataSet() + "/" + folder + "/" + f);
    return images;
}

} // namespace

TEST(CliRobot, HandEyeRecoversXFromTheXmlPosesInMetres)
{
    const Transform truth = truthOf("handEye", "X");
    Transform park;
    for (const char* method : {"park", "andreff"}) {
        QTemporaryDir work;
        QStringList arguments{"handeye", "--workdir", work.path(), "--camera-name", "Eye", "--robot-name", "Arm",
                              "--intrinsics", dataSet() + "/camera0.intrinsics.yml", "--tcp",
                              dataSet() + "/handeye/tcp_poses.xml", "--target", kTarget};
        if (QString(method) != "park")
            arguments << "--method" << method;
        const CliRun r = run(arguments + imagesOf("handeye"));
        ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith("Parsing " + dataSet() + "/handeye/tcp_poses.xml\nFound 5 tcp entries.\n\n"));
        EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nHand/Eye-Calibration with 5/5 image/TCP "
                                   "coordinate sets...\n\nEstimated X (Eye w.r.t. Arm TCP coordinate system):"));
        EXPECT_TRUE(r.out.endsWith("Extrinsics saved to:\n" + work.path() + "/AX-XB.yml\n\n"));
        const Transform X = resultOf(work.path() + "/AX-XB.yml", "X");
        if (QString(method) == "park") {
            // Five views of 480 x 360 px: about a millimetre (0.07 mm with 15 views of 1280 x 1024).
            EXPECT_LT(degrees(X.R, truth.R), 0.1);
            EXPECT_LT(cv::norm(X.t - truth.t), 2.0);
            park = X;
        } else {
            // The linear method is a little less accurate, and it is another method.
            EXPECT_LT(degrees(X.R, truth.R), 0.3);
            EXPECT_LT(cv::norm(X.t - truth.t), 5.0);
            EXPECT_GT(cv::norm(X.t - park.t), 1e-6);
        }
    }
}

TEST(CliRobot, ToolFlangeRecoversXAndYFromTextPosesInMillimetres)
{
    for (const char* pnp : {"iterative", "p3p"}) {
        QTemporaryDir work;
        const CliRun r = run(QStringList{"toolflange", "--workdir", work.path(), "--intrinsics",
                                         dataSet() + "/camera0.intrinsics.yml", "--tcp",
                                         dataSet() + "/toolflange/tcp_poses_mm.txt", "--tcp-units", "mm", "--pnp", pnp,
                                         "--settings", dataSet()} +
                             imagesOf("toolflange"));
        ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("Estimated Y (Cam0 w.r.t Robot coordinate system):"));
        const QString file = work.path() + "/AX-YB.yml";
        const Transform X = resultOf(file, "X"), Y = resultOf(file, "Y");
        const Transform trueX = truthOf("toolFlange", "X"), trueY = truthOf("toolFlange", "Y");
        EXPECT_LT(degrees(Y.R, trueY.R), 0.2) << pnp;
        EXPECT_LT(cv::norm(Y.t - trueY.t), 2.0) << pnp;
        EXPECT_LT(degrees(X.R, trueX.R), 0.2) << pnp;
        EXPECT_LT(cv::norm(X.t - trueX.t), 2.0) << pnp;
    }
    // Millimetres read as metres (the default): the loop no longer closes.
    QTemporaryDir work;
    const CliRun wrong = run(QStringList{"toolflange", "--workdir", work.path(), "--intrinsics",
                                         dataSet() + "/camera0.intrinsics.yml", "--tcp",
                                         dataSet() + "/toolflange/tcp_poses_mm.txt", "--target", kTarget} +
                             imagesOf("toolflange"));
    const QString rms = wrong.out.section("RMS 3D-Error of all calibration points: ", 1).section(" mm", 0, 0);
    EXPECT_GT(rms.toDouble(), 100.0) << wrong.out.toStdString();
}

TEST(CliRobot, BadArgumentsAndPoseFilesAreRefusedAndRunsThatFailSayWhy)
{
    QTemporaryDir work;
    const QString intrinsics = dataSet() + "/camera0.intrinsics.yml", poses = dataSet() + "/handeye/tcp_poses.xml";
    const QStringList images = imagesOf("handeye");
    const QString broken = work.filePath("broken.txt");
    {
        QFile f(broken);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("1 2 3 0 0 0\n4 5 6 0 0 0\n7 8 9 0 0\n");
    }
    const std::pair<QStringList, QString> cases[] = {
        {{"handeye", "--target", kTarget, "--tcp", poses}, "give the camera's intrinsics with --intrinsics FILE"},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics}, "give the TCP poses with --tcp FILE"},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", work.filePath("none.xml")},
         "pose file not found: " + work.filePath("none.xml")},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", poses, "--tcp-units", "cm"},
         "--tcp-units must be m or mm, not \"cm\""},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", poses, "--pnp", "p3p"},
         "--pnp must be iterative or epnp, not \"p3p\""},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", poses, "--method", "tsai"},
         "--method must be park, andreff or horaud, not \"tsai\""},
        {{"toolflange", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", poses, "--pnp", "p3p",
          "--ransac-iterations", "50"},
         "--pnp p3p uses four corners and no RANSAC; drop the --ransac options"},
        {{"toolflange", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", poses, "--ransac-threshold", "0.05"},
         "--ransac-threshold must be a number from 0.1 to 999, not \"0.05\""},
        {{"handeye", "--target", kTarget, "--intrinsics", intrinsics, "--tcp", broken},
         "pose file " + broken + ": Invalid line 2 in file " + broken},
    };
    for (const auto& [arguments, message] : cases) {
        const CliRun r = run(QStringList(arguments) << "--workdir" << work.path() << images);
        EXPECT_EQ(r.code, 2) << message.toStdString();
        EXPECT_EQ(r.err, "vantiro-cli " + arguments[0] + ": " + message + "\n");
    }

    // Four images for five poses: the module's message, exit status 1, nothing written.
    const CliRun r = run(QStringList{"handeye", "--workdir", work.path(), "--target", kTarget, "--intrinsics", intrinsics,
                                     "--tcp", poses} +
                         images.mid(1));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.endsWith("Number of images differs from the number of tool center point positions.\nAborting.\n\n"));
    EXPECT_EQ(r.err, "vantiro-cli handeye: the number of images differs from the number of poses\n");
    EXPECT_FALSE(QFileInfo::exists(work.filePath("AX-XB.yml")));

    const CliRun help = run({"toolflange", "--help"});
    EXPECT_TRUE(help.out.contains("--pnp SOLVER") && help.out.contains("p3p"));
    EXPECT_TRUE(run({"--help"}).out.contains("\n  handeye "));
}
