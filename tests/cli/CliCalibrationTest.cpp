#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <csignal>

#include "CliTestSupport.h"
#include "app/ProjectFile.h"
#include "intrinsic/IntrinsicFiles.h"

using namespace cli_test;

namespace {

// A matrix of a YAML file, under node when given (the truth's "camera0" and "camera1").
cv::Mat readMat(const QString& path, const char* key, const char* node = nullptr)
{
    cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
    return (node ? fs[node][key] : fs[key]).mat();
}

double readRms(const QString& path)
{
    return double(cv::FileStorage(path.toStdString(), cv::FileStorage::READ)["reprojErrRMS"]);
}

QString blankImage(const QString& folder)
{
    QDir().mkpath(folder);
    cv::imwrite((folder + "/wall.png").toStdString(), cv::Mat(360, 480, CV_8UC3, cv::Scalar(128, 128, 128)));
    return folder + "/wall.png";
}

} // namespace

TEST(CliCalibration, DetectCountsCornersAndWritesCornerFiles)
{
    // Copies named so that the natural order (9, 10, 11) is not the alphabetical one.
    QTemporaryDir dir;
    QStringList copies;
    for (int i = 0; i < 3; ++i) {
        copies << dir.filePath(QString("view_%1.png").arg(9 + i));
        QFile::copy(dataSet() + QString("/intrinsic/view_0%1.png").arg(i), copies.last());
    }
    const QString blank = blankImage(dir.path());

    // A missing image stops the command before any file is written.
    CliRun r = run({"detect", "--target", kTarget, "--write-corners", copies[0], dir.path() + "/missing.png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli detect: image not found: " + dir.path() + "/missing.png\n");
    EXPECT_EQ(filesIn(dir.path()), QStringList({"view_10.png", "view_11.png", "view_9.png", "wall.png"}));

    // Natural order, one line per image, the corner file named beside it.
    r = run({"detect", "--target", kTarget, "--write-corners", dir.path() + "/*.png"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty());
    QString expected;
    for (int i = 0; i < 3; ++i)
        expected += copies[i] + ": 54 corners -> " + dir.filePath(QString("view_%1.yml\n").arg(9 + i));
    EXPECT_EQ(r.out, expected + blank + ": target not found\nTarget found in 3 of 4 images\n");
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/wall.yml"));

    // The corner files are what the modules read: 54 image points, the object grid of 25 mm.
    const auto file = vantiro::intrinsic::readCornerFile(dir.filePath("view_10.yml"));
    ASSERT_EQ(file.status, vantiro::intrinsic::CornerFileStatus::Loaded) << file.error.toStdString();
    ASSERT_EQ(file.imagePoints.size(), 54u);
    EXPECT_EQ(file.objectPoints[0], cv::Point3f(0, 0, 0));
    EXPECT_EQ(file.objectPoints[10], cv::Point3f(25, 25, 0));
    // They lie where the truth's pose projects the board's inner corners; the detector's order may
    // run either way along the board, so compare with the nearer end.
    cv::FileStorage truth((dataSet() + "/truth.yml").toStdString(), cv::FileStorage::READ);
    const cv::FileNode view = truth["intrinsicViews"][1];
    EXPECT_EQ(view["image"].string(), "intrinsic/view_01.png");
    std::vector<cv::Point3f> grid;
    for (int i = 0; i < 54; ++i)
        grid.emplace_back(25.0f * float(i % 9 + 1), 25.0f * float(i / 9 + 1), 0.0f);
    std::vector<cv::Point2f> projected;
    cv::projectPoints(grid, view["rvec"].mat(), view["tvec"].mat(), truth["camera0"]["K"].mat(),
                      truth["camera0"]["kc"].mat(), projected);
    double forward = 0.0, backward = 0.0;
    for (size_t i = 0; i < 54; ++i) {
        forward = std::max(forward, double(cv::norm(file.imagePoints[i] - projected[i])));
        backward = std::max(backward, double(cv::norm(file.imagePoints[i] - projected[53 - i])));
    }
    EXPECT_LT(std::min(forward, backward), 0.5);

    // Nothing found anywhere: status 1 with the reason.
    r = run({"detect", "--target", kTarget, blank});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vantiro-cli detect: the target was not found in any image\n");

    // Settings the library refuses (2 x 2 inner corners) fail at the first image it sees, named.
    // The image before it has a sound header and a cut-off body: read (and refused) in a worker.
    QFile whole(copies[0]), broken(dir.filePath("broken.png"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly) && broken.open(QIODevice::WriteOnly) &&
                broken.write(whole.read(100)) == 100);
    broken.close();
    r = run({"detect", "--target", "chessboard:3x3:25", broken.fileName(), copies[1], copies[2]});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, broken.fileName() + ": cannot read the image (cannot be decoded)\n");
    // The decoder may have complained on standard error before.
    EXPECT_TRUE(r.err.contains(QRegularExpression("(^|\\n)vantiro-cli detect: " + QRegularExpression::escape(copies[1]) +
                                                  ": [^\\n]+\\n$")))
        << r.err.toStdString();
}

TEST(CliCalibration, CtrlCStopsDetectionWithEveryReportedImageInOrder)
{
    // Many names for one view: the run lasts long enough to be interrupted.
    QTemporaryDir dir;
    const int count = 400;
    const auto name = [&dir](int i) { return dir.filePath(QString("v%1.png").arg(i, 3, 10, QChar('0'))); };
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(QFile::link(dataSet() + "/intrinsic/view_00.png", name(i)));
    QProcess p;
    p.start(binary(), {"detect", "--target", kTarget, dir.path() + "/*.png"});
    ASSERT_TRUE(p.waitForStarted());
    // Interrupt once the tool catches SIGINT (a loaded machine may take a while to get there).
    const auto catchesInterrupt = [&p] {
        QFile status(QString("/proc/%1/status").arg(p.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("SigCgt:");
        return at >= 0 && (text.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) & (1ull << (SIGINT - 1))) != 0;
    };
    QElapsedTimer clock;
    clock.start();
    while (!catchesInterrupt() && clock.elapsed() < 20000)
        QThread::msleep(10);
    QThread::msleep(300); // usually some images are done by then; none is fine too
    ASSERT_EQ(p.state(), QProcess::Running);
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 130);
    const QStringList lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(err, QString("vantiro-cli detect: interrupted after %1 of %2 images\n").arg(lines.size()).arg(count));
    EXPECT_LT(lines.size(), count);
    for (int i = 0; i < int(lines.size()); ++i)
        EXPECT_EQ(lines[i], name(i) + ": 54 corners") << i;
}

TEST(CliCalibration, IntrinsicWritesTheIntrinsicsFileAndPrintsTheModuleLog)
{
    QTemporaryDir work;
    auto calibrate = [&work](const QString& name, const QStringList& options, const QString& images) {
        return run(QStringList{"intrinsic", "--workdir", work.path(), "--target", kTarget, "--name", name} + options +
                   QStringList{images});
    };
    const QString views = dataSet() + "/intrinsic/view_*.png";

    // No target anywhere: status 1, the module's message, no file.
    CliRun r = calibrate("Cam0", {}, blankImage(work.path() + "/images"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vantiro-cli intrinsic: the target was not found in any image\n");
    EXPECT_TRUE(r.out.contains("Target detection failed on all images or none were selected!"));
    EXPECT_TRUE(filesIn(work.path()).isEmpty());

    r = calibrate("Cam7", {}, views);
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    const QString file = work.path() + "/Cam7.intrinsics.yml";
    EXPECT_TRUE(r.out.startsWith("Target settings:\nTarget Type: Chessboard\nNum Squares X = 10\n"));
    EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nIntrinsic calibration with 5/5 images...\n\n"));
    EXPECT_TRUE(r.out.contains("\nCalibration completed with rms reprojection error: "));
    EXPECT_TRUE(r.out.contains("Intrinsics saved to:\n" + file + "\n"));
    EXPECT_FALSE(r.out.contains("\x1b[")) << "colours on a pipe";

    const cv::Mat K = readMat(file, "K"), kc = readMat(file, "kc");
    const QString truth = dataSet() + "/truth.yml";
    const cv::Mat trueK = readMat(truth, "K", "camera0"), trueKc = readMat(truth, "kc", "camera0");
    ASSERT_EQ(K.size(), cv::Size(3, 3));
    EXPECT_NEAR(K.at<double>(0, 0), trueK.at<double>(0, 0), 0.01 * trueK.at<double>(0, 0));
    EXPECT_NEAR(K.at<double>(0, 2), trueK.at<double>(0, 2), 5.0);
    EXPECT_NEAR(kc.at<double>(0), trueKc.at<double>(0), 0.02);
    const double rms = readRms(file);
    EXPECT_GT(rms, 0.0);
    EXPECT_LT(rms, 0.5);

    // Options reach the routine: without radial distortion every coefficient stays 0; started from
    // the previous file, focal length and k3 stay where they were told to while k1 moves.
    ASSERT_EQ(calibrate("Flat", {"--no-radial"}, views).code, 0);
    EXPECT_EQ(cv::countNonZero(readMat(work.path() + "/Flat.intrinsics.yml", "kc")), 0);
    ASSERT_EQ(calibrate("Fixed", {"--guess", file, "--fix", "focal,k3"}, views).code, 0);
    const cv::Mat fixedKc = readMat(work.path() + "/Fixed.intrinsics.yml", "kc");
    EXPECT_DOUBLE_EQ(readMat(work.path() + "/Fixed.intrinsics.yml", "K").at<double>(0, 0), K.at<double>(0, 0));
    EXPECT_DOUBLE_EQ(fixedKc.at<double>(4), kc.at<double>(4));
    EXPECT_NE(fixedKc.at<double>(0), kc.at<double>(0));

    // Outlier removal is followed by the run the user of the module would start next.
    r = calibrate("Strict", {"--outlier-threshold", "0.1"}, views);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Detecting outliers: "));
    EXPECT_TRUE(r.out.contains("Calibrating again without the outliers:\n\n"));
    EXPECT_TRUE(r.out.contains("Detecting targets: 0 1 2 3 4 \n\nIntrinsic calibration with 5/5 images"));
    EXPECT_LT(readRms(work.path() + "/Strict.intrinsics.yml"), rms);
}

TEST(CliCalibration, IntrinsicReportHoldsThePicturesAndTheQualityFigures)
{
    QTemporaryDir work;
    const QString report = work.path() + "/report/of/Cam0";
    const QString views = dataSet() + "/intrinsic/view_*.png";
    auto calibrate = [&](const QString& folder, const QString& images) {
        return run({"intrinsic", "--workdir", work.path(), "--target", kTarget, "--report", folder, images});
    };

    // A report folder that is a file is refused before anything runs; a failed run writes none.
    const QString plainFile = work.path() + "/plain";
    QFile(plainFile).open(QIODevice::WriteOnly);
    CliRun r = calibrate(plainFile, views);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli intrinsic: --report needs a folder: " + plainFile + "\n");
    EXPECT_EQ(calibrate(report, blankImage(work.path() + "/images")).code, 1);
    EXPECT_TRUE(filesIn(work.path()) == QStringList{"plain"} && !QFileInfo::exists(work.path() + "/report"));

    r = calibrate(report, views);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(filesIn(report), QStringList({"coverage.png", "per_view_rms.png", "quality.yml", "residuals.png",
                                            "uncertainty.png", "uncertainty_infinity.png"}));
    const QRegularExpression ending("\nProjection uncertainty at 1 m: [^\n]+ px at the centre, [^\n]+ at the "
                                    "corners\\.[^\n]*\n\nQuality report written to:\n" +
                                    QRegularExpression::escape(report) + "\n$");
    EXPECT_TRUE(ending.match(r.out).hasMatch()) << r.out.toStdString();
    // The data set's 480 x 360 views: the maps are that size with their legend beside them.
    for (const char* map : {"uncertainty.png", "uncertainty_infinity.png", "coverage.png", "residuals.png"})
        EXPECT_EQ(cv::imread((report + "/" + map).toStdString()).size(), cv::Size(480 + 96, 360)) << map;

    cv::FileStorage fs((report + "/quality.yml").toStdString(), cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    const double sigma = fs["sigma"], centre = fs["uncertaintyCentre"], corner = fs["uncertaintyCorner"];
    EXPECT_TRUE(sigma > 0.0 && sigma < 0.5) << sigma;
    EXPECT_TRUE(centre > 0.0 && centre < corner) << centre << " " << corner;
    std::vector<double> corners, perView;
    fs["uncertaintyCorners"] >> corners;
    fs["perViewRms"] >> perView;
    ASSERT_EQ(corners.size(), 4u);
    EXPECT_EQ(corners[0], corner) << "pixel (0, 0)";
    EXPECT_GT(double(fs["uncertaintyCornerInfinity"]), double(fs["uncertaintyCentreInfinity"]));
    const double covered = fs["coveredFraction"];
    EXPECT_TRUE(covered > 0.2 && covered < 1.0) << covered;
    EXPECT_EQ(int(fs["determined"]), 1);
    // Per view: its image and corners; together the views' RMS make the calibration's.
    ASSERT_EQ(perView.size(), 5u);
    const cv::FileNode list = fs["views"];
    ASSERT_EQ(list.size(), 5u);
    double squares = 0.0, count = 0.0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(QString::fromStdString(list[i]["image"].string()),
                  QFileInfo(dataSet() + QString("/intrinsic/view_%1.png").arg(i, 2, 10, QChar('0'))).absoluteFilePath());
        EXPECT_EQ(double(list[i]["rms"]), perView[size_t(i)]);
        const int n = list[i]["corners"];
        squares += perView[size_t(i)] * perView[size_t(i)] * n;
        count += n;
    }
    EXPECT_NEAR(std::sqrt(squares / count), readRms(work.path() + "/Cam0.intrinsics.yml"), 1e-4);
}

TEST(CliCalibration, StereoWritesBothIntrinsicsAndTheProject)
{
    QTemporaryDir work, other;
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
    const double trueFy = readMat(dataSet() + "/truth.yml", "K", "camera1").at<double>(1, 1);
    EXPECT_NEAR(readMat(written[1], "K").at<double>(1, 1), trueFy, 0.01 * trueFy);
    EXPECT_EQ(readMat(written[1], "kc").at<double>(4), 0.0);

    // The relative pose of the project is a usable start for the next run.
    r = run({"stereo", "--workdir", other.path(), "--target", kTarget, "--primary-images",
             dataSet() + "/stereo/primary_*.png", "--secondary-images", dataSet() + "/stereo/secondary_*.png",
             "--primary-name", "Left", "--secondary-name", "Right", "--extrinsic-guess", written[2], "--fix", "k3"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const ProjectReadResult again = readProjectFile(other.path() + "/Left.project.yml");
    ASSERT_EQ(again.status, ProjectReadResult::Status::Ok);
    EXPECT_LT(cv::norm(again.objects[1].t - project.objects[1].t), 0.1);
}

TEST(CliCalibration, StereoRectifiesIntoAWorkingDirectoryItCreates)
{
    // Copies of the pairs, so that the "Rectified" folder goes into this test's folder.
    QTemporaryDir dir;
    const QString images = dir.path() + "/pairs", workdir = dir.path() + "/new/results";
    QDir().mkpath(images);
    for (const QString& name : QDir(dataSet() + "/stereo").entryList({"*.png"}, QDir::Files))
        QFile::copy(dataSet() + "/stereo/" + name, images + "/" + name);
    const CliRun r = run({"stereo", "--workdir", workdir, "--target", kTarget, "--primary-images",
                          images + "/primary_*.png", "--secondary-images", images + "/secondary_*.png", "--fix", "k3",
                          "--rectify", "--alpha", "0.25", "--rectified-size", "400x300", "--write-rectified"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    const QString file = workdir + "/Cam0_Cam1.rectification.yml";
    EXPECT_TRUE(r.out.contains("Rectification parameters saved to:\n" + file + "\n\n"));
    EXPECT_TRUE(r.out.endsWith("Rectified secondary images written to:\n" + images + "/Rectified/\n\n"));
    cv::FileStorage fs(file.toStdString(), cv::FileStorage::READ);
    cv::Size size;
    fs["newImageSize"] >> size;
    EXPECT_EQ(size, cv::Size(400, 300));
    EXPECT_EQ(double(fs["alpha"]), 0.25);
    EXPECT_EQ(int(fs["flags"]), 1024);

    // Every image of both lists, rectified to the size asked for.
    const QStringList written = filesIn(images + "/Rectified");
    EXPECT_EQ(written.size(), 10);
    for (const QString& name : written)
        EXPECT_EQ(cv::imread((images + "/Rectified/" + name).toStdString()).size(), cv::Size(400, 300)) << name.toStdString();
}
