#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "CliTestSupport.h"
#include "app/ProjectFile.h"
#include "intrinsic/IntrinsicFiles.h"

using namespace cli_test;

namespace {

QStringList views(int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << dataSet() + QString("/intrinsic/view_%1.png").arg(i, 2, 10, QChar('0'));
    return out;
}

// K and kc of an intrinsics file, or of the truth's "camera0"/"camera1".
struct Camera
{
    cv::Mat K, kc;
    double rms = -1.0;
};

Camera readCamera(const QString& path, const char* node = nullptr)
{
    Camera c;
    cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
    const cv::FileNode n = node ? fs[node] : fs.root();
    n["K"] >> c.K;
    n["kc"] >> c.kc;
    if (!node)
        fs["reprojErrRMS"] >> c.rms;
    return c;
}

QString blankImage(const QString& folder, const QString& name)
{
    QDir().mkpath(folder);
    const QString path = folder + "/" + name;
    cv::imwrite(path.toStdString(), cv::Mat(360, 480, CV_8UC3, cv::Scalar(128, 128, 128)));
    return path;
}

} // namespace

TEST(CliCalibration, DetectCountsCornersAndWritesCornerFiles)
{
    QTemporaryDir dir;
    const QStringList copies = copyInto(views(3), dir.path());
    const QString blank = blankImage(dir.path(), "wall.png");

    CliRun r = run({"detect", "--target", kTarget, "--write-corners", dir.path() + "/*.png"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty());
    // Natural order, one line per image, the corner file named beside it.
    const QString expected = copies[0] + ": 54 corners -> " + dir.path() + "/view_00.yml\n" + copies[1] +
                             ": 54 corners -> " + dir.path() + "/view_01.yml\n" + copies[2] + ": 54 corners -> " +
                             dir.path() + "/view_02.yml\n" + blank + ": target not found\nTarget found in 3 of 4 images\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/wall.yml"));

    // The corner files are what the modules read: 54 image points, the object grid of 25 mm.
    const auto file = vantiro::intrinsic::readCornerFile(dir.path() + "/view_01.yml");
    ASSERT_EQ(file.status, vantiro::intrinsic::CornerFileStatus::Loaded) << file.error.toStdString();
    ASSERT_EQ(file.imagePoints.size(), 54u);
    EXPECT_EQ(file.objectPoints[0], cv::Point3f(0, 0, 0));
    EXPECT_EQ(file.objectPoints[10], cv::Point3f(25, 25, 0));
    for (const cv::Point2f& p : file.imagePoints)
        EXPECT_TRUE(p.x > 0 && p.y > 0 && p.x < 480 && p.y < 360);

    // Nothing found anywhere: status 1 with the reason.
    r = run({"detect", "--target", kTarget, blank});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vantiro-cli detect: the target was not found in any image\n");

    // A missing image stops the command before any file is written.
    QTemporaryDir fresh;
    const QStringList one = copyInto(views(1), fresh.path());
    r = run({"detect", "--target", kTarget, "--write-corners", one[0], fresh.path() + "/missing.png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli detect: image not found: " + fresh.path() + "/missing.png\n");
    EXPECT_EQ(filesIn(fresh.path()), QStringList({"view_00.png"}));
    r = run({"detect", "--target", kTarget, fresh.path() + "/*.jpg"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli detect: no file matches \"" + fresh.path() + "/*.jpg\"\n");
}

TEST(CliCalibration, IntrinsicWritesTheIntrinsicsFileAndPrintsTheModuleLog)
{
    QTemporaryDir work;
    CliRun r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--name", "Cam7",
                 dataSet() + "/intrinsic/view_*.png"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    const QString file = work.path() + "/Cam7.intrinsics.yml";
    EXPECT_TRUE(r.out.startsWith("Target settings:\nTarget Type: Chessboard\nNum Squares X = 10\n"));
    EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nIntrinsic calibration with 5/5 images...\n\n"));
    EXPECT_TRUE(r.out.contains("\nCalibration completed with rms reprojection error: "));
    EXPECT_TRUE(r.out.contains("Intrinsics saved to:\n" + file + "\n"));
    EXPECT_FALSE(r.out.contains("\x1b[")) << "colours on a pipe";

    const Camera est = readCamera(file);
    const Camera truth = readCamera(dataSet() + "/truth.yml", "camera0");
    ASSERT_EQ(est.K.size(), cv::Size(3, 3));
    EXPECT_NEAR(est.K.at<double>(0, 0), truth.K.at<double>(0, 0), 0.01 * truth.K.at<double>(0, 0));
    EXPECT_NEAR(est.K.at<double>(0, 2), truth.K.at<double>(0, 2), 5.0);
    EXPECT_NEAR(est.kc.at<double>(0), truth.kc.at<double>(0), 0.02);
    EXPECT_GT(est.rms, 0.0);
    EXPECT_LT(est.rms, 0.5);

    // Options reach the routine: without radial distortion every coefficient stays 0; started from
    // the previous file, focal length and k3 stay where they were told to while k1 moves.
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--name", "Flat", "--no-radial",
             dataSet() + "/intrinsic/view_*.png"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(cv::countNonZero(readCamera(work.path() + "/Flat.intrinsics.yml").kc), 0);
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--name", "Fixed", "--guess", file, "--fix",
             "focal,k3", dataSet() + "/intrinsic/view_*.png"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const Camera fixedFocal = readCamera(work.path() + "/Fixed.intrinsics.yml");
    EXPECT_DOUBLE_EQ(fixedFocal.K.at<double>(0, 0), est.K.at<double>(0, 0));
    EXPECT_DOUBLE_EQ(fixedFocal.kc.at<double>(4), est.kc.at<double>(4));
    EXPECT_NE(fixedFocal.kc.at<double>(0), est.kc.at<double>(0));

    // Outlier removal is followed by the run the user of the module would start next.
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--name", "Strict", "--outlier-threshold",
             "0.1", dataSet() + "/intrinsic/view_*.png"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Detecting outliers: "));
    EXPECT_TRUE(r.out.contains("Calibrating again without the outliers:\n\n"));
    EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nIntrinsic calibration with 5/5 images"));
    EXPECT_LT(readCamera(work.path() + "/Strict.intrinsics.yml").rms, est.rms);
}

TEST(CliCalibration, IntrinsicFailuresLeaveNoFile)
{
    QTemporaryDir work;
    const QString blank = blankImage(work.path() + "/images", "wall.png");
    CliRun r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, blank});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vantiro-cli intrinsic: the target was not found in any image\n");
    EXPECT_TRUE(r.out.contains("Target detection failed on all images or none were selected!"));
    EXPECT_TRUE(filesIn(work.path()).isEmpty());

    const QString image = dataSet() + "/intrinsic/view_00.png";
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--fix", "focal", image});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli intrinsic: fixing the focal length or principal point needs start values: add "
                     "--guess FILE\n");
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--fix", "k4", image});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("k4, k5 and k6 exist only in the rational model (add --rational)"));
    r = run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--guess", image, image});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("vantiro-cli intrinsic: intrinsics file " + image + ": ")) << r.err.toStdString();
    EXPECT_EQ(r.err.count('\n'), 1);
    EXPECT_TRUE(filesIn(work.path()).isEmpty());
}

TEST(CliCalibration, StereoWritesBothIntrinsicsAndTheProject)
{
    QTemporaryDir work;
    // Unquoted globs as a shell hands them over: each option takes every file that follows.
    QStringList args = {"stereo", "--workdir", work.path(), "--settings", dataSet(), "--primary-images"};
    for (int i = 0; i < 5; ++i)
        args << dataSet() + QString("/stereo/primary_%1.png").arg(i, 2, 10, QChar('0'));
    args << "--secondary-images" << dataSet() + "/stereo/secondary_*.png"
         << "--primary-name" << "Left" << "--secondary-name" << "Right" << "--fix" << "k3";
    CliRun r = run(args);
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nExtrinsic calibration with 5/5 image sets...\n\n"));
    EXPECT_TRUE(r.out.contains("Estimated extrinsics (Right w.r.t Left coordinate system):\n\nTranslation vector:\nx: "));
    const QStringList written = {work.path() + "/Left.intrinsics.yml", work.path() + "/Right.intrinsics.yml",
                                 work.path() + "/Left.project.yml", work.path() + "/Left.project.json"};
    EXPECT_TRUE(r.out.contains("Results saved to:\n" + written.join('\n') + "\n"));
    EXPECT_EQ(filesIn(work.path()),
              QStringList({"Left.intrinsics.yml", "Left.project.json", "Left.project.yml", "Right.intrinsics.yml"}));

    // The project: the primary is the world, the secondary where the truth puts it.
    const ProjectReadResult project = readProjectFile(written[2]);
    ASSERT_EQ(project.status, ProjectReadResult::Status::Ok) << project.message.toStdString();
    ASSERT_EQ(project.objects.size(), 2u);
    EXPECT_EQ(project.objects[project.world].name, "Left");
    cv::FileStorage truth((dataSet() + "/truth.yml").toStdString(), cv::FileStorage::READ);
    cv::Mat secondaryT;
    truth["stereo"]["secondaryT"] >> secondaryT;
    EXPECT_LT(cv::norm(cv::Mat(project.objects[1].t), secondaryT), 2.0);
    const Camera right = readCamera(written[1]);
    const Camera rightTruth = readCamera(dataSet() + "/truth.yml", "camera1");
    EXPECT_NEAR(right.K.at<double>(1, 1), rightTruth.K.at<double>(1, 1), 0.01 * rightTruth.K.at<double>(1, 1));
    EXPECT_EQ(right.kc.at<double>(4), 0.0);

    // Lists that do not pair up, or one name for both: refused before anything is written.
    QTemporaryDir other;
    r = run({"stereo", "--workdir", other.path(), "--target", kTarget, "--primary-images",
             dataSet() + "/stereo/primary_*.png", "--secondary-images", dataSet() + "/stereo/secondary_0[0-3].png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli stereo: 5 primary images but 4 secondary images; the lists must pair up\n");
    r = run({"stereo", "--workdir", other.path(), "--target", kTarget, "--primary-images",
             dataSet() + "/stereo/primary_*.png", "--secondary-images", dataSet() + "/stereo/secondary_*.png",
             "--secondary-name", "Cam0"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli stereo: the primary and the secondary need different names\n");
    EXPECT_TRUE(filesIn(other.path()).isEmpty());

    // The relative pose of the project is a usable start for the next run.
    r = run({"stereo", "--workdir", other.path(), "--target", kTarget, "--primary-images",
             dataSet() + "/stereo/primary_*.png", "--secondary-images", dataSet() + "/stereo/secondary_*.png",
             "--primary-name", "Left", "--secondary-name", "Right", "--extrinsic-guess", written[2], "--fix", "k3"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const ProjectReadResult again = readProjectFile(other.path() + "/Left.project.yml");
    ASSERT_EQ(again.status, ProjectReadResult::Status::Ok);
    EXPECT_LT(cv::norm(again.objects[1].t - project.objects[1].t), 0.1);
}
