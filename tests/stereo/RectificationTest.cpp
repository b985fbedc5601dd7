#include "stereo/Rectification.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <iostream>

#include "synth/Renderer.h"
#include "targets/TargetDetection.h"

using namespace vantiro;
using namespace vantiro::stereo;

namespace {

// The synthetic rig of the stereo tests as the last calibration would leave it.
RectificationInput rigInput()
{
    const stereo_synth::Rig rig = stereo_synth::defaultRig();
    RectificationInput in;
    in.primaryName = "Left";
    in.secondaryName = "Right";
    for (int k = 0; k < 2; ++k) {
        in.K[k] = cv::Mat(rig.cam[k].K, true);
        in.distortion[k] = rig.cam[k].dist.clone();
        in.imageSize[k] = rig.cam[k].size;
    }
    cv::Rodrigues(cv::Mat(rig.om), in.R);
    in.T = cv::Mat(rig.T, true);
    return in;
}


QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

cv::Mat readMat(const cv::FileStorage& fs, const char* key)
{
    cv::Mat m;
    fs[key] >> m;
    return m;
}

} // namespace

TEST(Rectification, FileHoldsTheLibrarysResultUnderItsKeysInOrder)
{
    struct Case { RectificationOptions options; int flags; cv::Size newSize; cv::Size secondarySize; };
    const Case cases[] = {
        {{true, 0.4, cv::Size(800, 600)}, 1024, cv::Size(800, 600), cv::Size(1280, 960)},
        // No new size: camera 1's, also when camera 2's differs.
        {{false, 1.0, cv::Size()}, 0, cv::Size(1280, 960), cv::Size(1024, 768)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        QTemporaryDir dir;
        RectificationInput in = rigInput();
        in.imageSize[1] = c.secondarySize;
        Rectification r;
        RecordingLogSink log;
        ASSERT_EQ(rectifyStereo(in, c.options, dir.path(), {}, r, log), RectificationStatus::Rectified)
            << log.text().toStdString();
        const QString path = dir.path() + "/Left_Right.rectification.yml";
        EXPECT_EQ(rectificationFilePath(dir.path(), "Left", "Right"), path);
        EXPECT_TRUE(log.text().endsWith("Rectification parameters saved to:\n" + path + "\n\n"));
        EXPECT_TRUE(log.find("Rectification parameters saved to:\n")->bold);

        // The keys in their order, the first one spelled as every reader of these files expects.
        const QString text = readAll(path);
        qsizetype at = 0;
        for (const char* key : {"imgageSize:", "newImageSize:", "alpha:", "flags:", "R0:", "R1:", "P0:", "P1:", "Q:"}) {
            const qsizetype next = text.indexOf(QString("\n") + key, at);
            ASSERT_GE(next, 0) << key << " missing or out of order";
            at = next;
        }

        cv::Mat R0, R1, P0, P1, Q;
        cv::stereoRectify(in.K[0], in.distortion[0], in.K[1], in.distortion[1], in.imageSize[0], in.R, in.T, R0, R1, P0,
                          P1, Q, c.flags, c.options.alpha, c.options.newImageSize);
        cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
        cv::Size size, newSize;
        fs["imgageSize"] >> size;
        fs["newImageSize"] >> newSize;
        EXPECT_EQ(size, cv::Size(1280, 960));
        EXPECT_EQ(newSize, c.newSize);
        EXPECT_EQ(double(fs["alpha"]), c.options.alpha);
        EXPECT_EQ(int(fs["flags"]), c.flags);
        const std::pair<const char*, cv::Mat> expected[] = {{"R0", R0}, {"R1", R1}, {"P0", P0}, {"P1", P1}, {"Q", Q}};
        for (const auto& [key, value] : expected) {
            const cv::Mat stored = readMat(fs, key);
            ASSERT_EQ(stored.size(), value.size()) << key;
            EXPECT_LT(cv::norm(stored, value, cv::NORM_INF), 1e-12) << key;
        }
        // Equal principal points only with the zero-disparity flag.
        const double dcx = std::abs(P0.at<double>(0, 2) - P1.at<double>(0, 2));
        EXPECT_EQ(dcx < 1e-9, c.flags == 1024) << dcx;
        EXPECT_LT(std::abs(P0.at<double>(1, 2) - P1.at<double>(1, 2)), 1e-9);

        // Fixed-point maps of the rectified size, each camera's from its own rotation and projection.
        const cv::Mat rotations[2] = {R0, R1}, projections[2] = {P0, P1};
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(r.map1[k].type(), CV_16SC2);
            EXPECT_EQ(r.map2[k].type(), CV_16UC1);
            EXPECT_EQ(r.map1[k].size(), c.newSize);
            cv::Mat map1, map2;
            cv::initUndistortRectifyMap(in.K[k], in.distortion[k], rotations[k], projections[k], c.newSize, CV_16SC2,
                                        map1, map2);
            EXPECT_EQ(cv::norm(r.map1[k], map1, cv::NORM_INF) + cv::norm(r.map2[k], map2, cv::NORM_INF), 0.0) << k;
        }
        EXPECT_TRUE(r.hasMaps());
        // Where no source pixel falls the rectified image is black.
        if (c.options.alpha == 1.0) {
            cv::Mat grey;
            cv::cvtColor(rectifyImage(cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(255)), r, 0), grey,
                         cv::COLOR_BGR2GRAY);
            EXPECT_GT(grey.total() - size_t(cv::countNonZero(grey)), 1000u);
        }
    }
}

TEST(Rectification, CorrespondingCornersOfARenderedPairLandOnOneRow)
{
    using namespace vantiro::synth;
    MainWindowSettings target;
    target.targetType = Chessboard;
    target.numSquaresX = 10;
    target.numSquaresY = 7;
    target.squareWidth = target.squareHeight = 25.0;
    const BoardPattern board(target);
    CameraModel cams[2] = {CameraModel::ideal({640, 480}, 560.0), CameraModel::ideal({640, 480}, 590.0)};
    cams[0].setDistortion({-0.18, 0.06, 0.0, 0.0, 0.0});
    cams[1].setDistortion({-0.12, 0.03, 0.001, -0.001, 0.0});
    cams[1].K(0, 2) += 12.0;
    cams[1].K(1, 2) -= 9.0;
    // The secondary 90 mm to the right, turned towards the primary's axis and rolled a little:
    // without rectification the rows differ by many pixels.
    cv::Matx33d R;
    cv::Rodrigues(cv::Vec3d(0.02, -6.0 * CV_PI / 180.0, 0.03), R);
    const cv::Vec3d T = -(R * cv::Vec3d(90.0, 2.0, -3.0));

    RectificationInput in;
    in.primaryName = "A";
    in.secondaryName = "B";
    for (int k = 0; k < 2; ++k) {
        in.K[k] = cv::Mat(cams[k].K, true);
        in.distortion[k] = cams[k].distCoeffs();
        in.imageSize[k] = cams[k].size;
    }
    in.R = cv::Mat(R, true);
    in.T = cv::Mat(T, true);
    QTemporaryDir dir;
    Rectification r;
    RecordingLogSink log;
    ASSERT_EQ(rectifyStereo(in, {}, dir.path(), {}, r, log), RectificationStatus::Rectified);

    RenderOptions options;
    options.supersampling = 4;
    double worst = 0.0, sum = 0.0, before = 0.0;
    int n = 0;
    for (const auto& p : {cv::Vec3d(0, 0, 0), cv::Vec3d(20, -15, 10), cv::Vec3d(-15, 25, -8)}) {
        TargetPose pose[2] = {viewPose(board, 520.0, p[0], p[1], p[2], cv::Vec3d(40.0, 0.0, 0.0))};
        pose[1].R = R * pose[0].R;
        pose[1].t = R * pose[0].t + T;
        TargetCornerList corners[2], raw[2];
        for (int k = 0; k < 2; ++k) {
            const cv::Mat image = render(cams[k], board, pose[k], options).colour;
            const cv::Mat rectified = rectifyImage(image, r, k);
            ASSERT_EQ(rectified.size(), cv::Size(640, 480));
            ASSERT_TRUE(detectTarget(rectified, target, corners[k]));
            ASSERT_TRUE(detectTarget(image, target, raw[k]));
        }
        ASSERT_EQ(corners[0].size(), corners[1].size());
        for (size_t j = 0; j < corners[0].size(); ++j) {
            ASSERT_EQ(corners[0][j].id, corners[1][j].id);
            const double dy = std::abs(corners[0][j].imagePoint.y - corners[1][j].imagePoint.y);
            worst = std::max(worst, dy);
            sum += dy;
            before = std::max(before, double(std::abs(raw[0][j].imagePoint.y - raw[1][j].imagePoint.y)));
            ++n;
        }
    }
    EXPECT_GT(before, 10.0) << "the pair must need rectifying";
    // Both corners carry the detector's own error (about 0.05 px each).
    EXPECT_LT(sum / n, 0.05);
    EXPECT_LT(worst, 0.2);
    std::cout << "vertical disparity: mean " << sum / n << " px, largest " << worst << " px over " << n << " corners\n";
}

TEST(Rectification, StopsWithTheMessageOfWhatIsMissing)
{
    struct Case { const char* name; std::function<void(RectificationInput&)> change; RectificationStatus status; QString red; };
    const Case cases[] = {
        {"no primary intrinsics", [](RectificationInput& in) { in.K[0] = cv::Mat::zeros(3, 3, CV_64F); },
         RectificationStatus::MissingIntrinsics, "Left does not have any intrinsics, aborting.\n\n"},
        {"no secondary intrinsics", [](RectificationInput& in) { in.K[1].release(); },
         RectificationStatus::MissingIntrinsics, "Right does not have any intrinsics, aborting.\n\n"},
        {"no rotation", [](RectificationInput& in) { in.R.release(); }, RectificationStatus::NoStereoResult,
         "Use [Calibrate Stereo] before rectification.\n\n"},
        {"no translation", [](RectificationInput& in) { in.T.release(); }, RectificationStatus::NoStereoResult,
         "Use [Calibrate Stereo] before rectification.\n\n"},
        {"translation of two numbers", [](RectificationInput& in) { in.T = cv::Mat::ones(2, 1, CV_64F); },
         RectificationStatus::LibraryError, "OpenCV exception caught:\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        RectificationInput in = rigInput();
        c.change(in);
        Rectification r;
        r.map1[0] = cv::Mat::ones(2, 2, CV_16SC2); // left from an earlier run
        RecordingLogSink log;
        EXPECT_EQ(rectifyStereo(in, {}, dir.path(), {}, r, log), c.status);
        EXPECT_TRUE(test::textInColour(log, logcolor::Red).startsWith(c.red)) << log.text().toStdString();
        EXPECT_TRUE(r.map1[0].empty() && r.P[0].empty());
        EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    }

    // Missing intrinsics are asked for; a missing distortion means none.
    QTemporaryDir dir;
    RectificationInput in = rigInput();
    in.K[1].release();
    in.distortion[0].release();
    std::vector<int> asked;
    const FetchIntrinsics fetch = [&asked](int sensor, cv::Mat& K, cv::Mat&, cv::Size& size) {
        asked.push_back(sensor);
        K = cv::Mat(stereo_synth::defaultRig().cam[1].K, true);
        size = cv::Size(1280, 960);
    };
    Rectification r;
    RecordingLogSink log;
    ASSERT_EQ(rectifyStereo(in, {}, dir.path(), fetch, r, log), RectificationStatus::Rectified);
    EXPECT_EQ(asked, std::vector<int>({1}));
    EXPECT_EQ(cv::countNonZero(r.distortion[0]), 0);
    EXPECT_EQ(r.distortion[0].total(), 5u);

    // Sizes that differ are worth a warning, not a stop.
    in = rigInput();
    in.imageSize[1] = cv::Size(640, 480);
    RecordingLogSink warned;
    EXPECT_EQ(rectifyStereo(in, {}, dir.path(), {}, r, warned), RectificationStatus::Rectified);
    EXPECT_EQ(test::textInColour(warned, logcolor::Orange), "Warning: Images for Left and Right differ in size. Rectification "
                                                  "may compute correct but unpractical results.\n\n");
    EXPECT_EQ(r.sourceSize[1], cv::Size(640, 480));

    // A working directory that cannot take the file: nothing half-done.
    RecordingLogSink unwritable;
    EXPECT_EQ(rectifyStereo(rigInput(), {}, dir.path() + "/missing", {}, r, unwritable),
              RectificationStatus::FileNotWritten);
    EXPECT_TRUE(test::textInColour(unwritable, logcolor::Red).startsWith("Could not write " + dir.path() + "/missing/"));
    EXPECT_TRUE(test::textInColour(unwritable, logcolor::Red).endsWith("Aborting.\n\n"));
    EXPECT_FALSE(r.hasMaps());
}

TEST(Rectification, PreviewLinesAreEvenlySpacedInStepsOfHue)
{
    cv::Mat image = cv::Mat::zeros(100, 300, CV_8UC3);
    drawEpipolarLines(image, 0);
    EXPECT_EQ(cv::countNonZero(image.reshape(1)), 0);
    drawEpipolarLines(image, 3);
    // Rows 25, 50, 75; hue 0 (red), 32 and 64 degrees, fully saturated and bright.
    const int rows[] = {25, 50, 75};
    const cv::Vec3b colours[] = {{0, 0, 255}, {0, 136, 255}, {0, 255, 238}};
    for (int k = 0; k < 3; ++k)
        for (int x : {0, 150, 299}) {
            const cv::Vec3b c = image.at<cv::Vec3b>(rows[k], x);
            EXPECT_LE(cv::norm(cv::Vec3i(c) - cv::Vec3i(colours[k]), cv::NORM_INF), 2) << k << " at " << x;
        }
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey), 3 * 300) << "one pixel wide at this height, nothing else drawn";
}

TEST(Rectification, WriterFillsRectifiedFoldersSkipsWhatItCannotUseAndStopsWhereItCannotWrite)
{
    QTemporaryDir dir;
    const RectificationInput in = rigInput();
    Rectification r;
    RecordingLogSink setup;
    ASSERT_EQ(rectifyStereo(in, {true, 0.0, cv::Size(640, 480)}, dir.path(), {}, r, setup),
              RectificationStatus::Rectified);

    // Primary images in one folder, secondary ones in another; one unreadable, one of another size.
    QDir(dir.path()).mkpath("left");
    QDir(dir.path()).mkpath("right");
    QStringList lists[2];
    cv::Mat source[2];
    for (int k = 0; k < 2; ++k) {
        source[k] = cv::Mat(960, 1280, CV_8UC3);
        cv::randu(source[k], 0, 255);
        const QString folder = dir.path() + (k ? "/right" : "/left");
        for (int i = 0; i < 2; ++i) {
            lists[k] << folder + QString("/img%1.png").arg(i);
            cv::imwrite(lists[k].last().toStdString(), source[k]);
        }
    }
    lists[0] << dir.path() + "/left/broken.png";
    QFile broken(lists[0].last());
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly) && broken.write("not an image") > 0);
    broken.close();
    lists[1] << dir.path() + "/right/small.png";
    cv::imwrite(lists[1].last().toStdString(), cv::Mat::zeros(480, 640, CV_8UC3));

    // "No" writes nothing; the question names both folders.
    QStringList asked;
    RecordingLogSink declined;
    const auto no = [&asked](const QString& a, const QString& b) { asked << a << b; return false; };
    EXPECT_EQ(writeRectifiedImages(lists[0], lists[1], r, "Left", "Right", no, declined).written, 0);
    EXPECT_EQ(asked, QStringList({dir.path() + "/left/Rectified/", dir.path() + "/right/Rectified/"}));
    EXPECT_TRUE(declined.segments.empty());
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/left/Rectified"));

    // An empty list: no question, nothing written.
    RecordingLogSink empty;
    EXPECT_EQ(writeRectifiedImages({}, lists[1], r, "Left", "Right", no, empty).written, 0);
    EXPECT_EQ(writeRectifiedImages(lists[0], {}, r, "Left", "Right", no, empty).written, 0);
    EXPECT_EQ(asked.size(), 2);
    EXPECT_TRUE(empty.segments.empty());

    // Without maps: the warning, after the question.
    RecordingLogSink noMaps;
    const auto yes = [](const QString&, const QString&) { return true; };
    EXPECT_EQ(writeRectifiedImages(lists[0], lists[1], Rectification(), "Left", "Right", yes, noMaps).written, 0);
    EXPECT_EQ(test::textInColour(noMaps, logcolor::Orange),
              "Warning: Calibration parameters for rectification not available. Aborting.\n\n");

    // An earlier file is replaced.
    QDir(dir.path()).mkpath("left/Rectified");
    cv::imwrite((dir.path() + "/left/Rectified/img1.png").toStdString(), cv::Mat::zeros(5, 5, CV_8UC3));
    RecordingLogSink log;
    const RectifiedWriteResult result = writeRectifiedImages(lists[0], lists[1], r, "Left", "Right", yes, log);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.written, 4);
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 2; ++i) {
            const QString written = QFileInfo(lists[k][i]).absolutePath() + "/Rectified/" + QFileInfo(lists[k][i]).fileName();
            const cv::Mat image = cv::imread(written.toStdString(), cv::IMREAD_COLOR);
            ASSERT_EQ(image.size(), cv::Size(640, 480)) << written.toStdString();
            EXPECT_EQ(cv::norm(image, rectifyImage(source[k], r, k), cv::NORM_INF), 0.0) << written.toStdString();
        }
    EXPECT_EQ(QDir(dir.path() + "/left/Rectified").entryList(QDir::Files | QDir::Hidden).size(), 2) << "no leftovers";
    EXPECT_EQ(log.text(), "Rectifying Left images\n"
                          "Warning: Could not read " + lists[0][2] + ", it was skipped.\n"
                          "Rectified primary images written to:\n" + dir.path() + "/left/Rectified/\n\n"
                          "Rectifying Right images\n"
                          "Warning: " + lists[1][2] + " is 640x480 px, not 1280x960 px as calibrated; it was skipped.\n"
                          "Rectified secondary images written to:\n" + dir.path() + "/right/Rectified/\n\n");
    EXPECT_TRUE(log.segments[0].bold);
    EXPECT_EQ(test::textInColour(log, logcolor::Orange).count("Warning:"), 2);

    // Each camera's images are held to that camera's calibrated size.
    Rectification mixed = r;
    mixed.sourceSize[1] = cv::Size(640, 480);
    RecordingLogSink mixedLog;
    const RectifiedWriteResult own =
        writeRectifiedImages({lists[0][0]}, {lists[1][2], lists[1][0]}, mixed, "Left", "Right", yes, mixedLog);
    EXPECT_EQ(own.written, 2) << mixedLog.text().toStdString();
    EXPECT_EQ(test::textInColour(mixedLog, logcolor::Orange),
              "Warning: " + lists[1][0] + " is 1280x960 px, not 640x480 px as calibrated; it was skipped.\n");

    // A folder where nothing can be created (a file named "Rectified" is in the way) stops the
    // writer before the secondary list; what was written stays.
    QDir(dir.path() + "/right/Rectified").removeRecursively();
    QFile blocker(dir.path() + "/right/Rectified");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    RecordingLogSink blocked;
    const RectifiedWriteResult stopped =
        writeRectifiedImages(lists[1], lists[0], r, "Right", "Left", yes, blocked);
    EXPECT_FALSE(stopped.completed);
    EXPECT_EQ(stopped.written, 0);
    EXPECT_EQ(test::textInColour(blocked, logcolor::Red),
              "\nError: Could not create the folder " + dir.path() + "/right/Rectified\nAborting.\n\n");
    EXPECT_FALSE(blocked.text().contains("Rectifying Left"));

    // A file that cannot be replaced (a folder of its name) stops at that image.
    QFile::remove(dir.path() + "/left/Rectified/img0.png");
    QDir(dir.path()).mkpath("left/Rectified/img0.png");
    RecordingLogSink clash;
    const RectifiedWriteResult halted = writeRectifiedImages(lists[0], lists[0], r, "Left", "Left", yes, clash);
    EXPECT_FALSE(halted.completed);
    EXPECT_EQ(test::textInColour(clash, logcolor::Red),
              "\nError: Could not write " + dir.path() + "/left/Rectified/img0.png\nAborting.\n\n");
    EXPECT_EQ(QDir(dir.path() + "/left/Rectified").entryList(QDir::Files | QDir::Hidden).size(), 1);

    // A read-only folder (only meaningful where permissions bind the test's user).
    if (geteuid() != 0) {
        QDir(dir.path() + "/left/Rectified").removeRecursively();
        QFile::setPermissions(dir.path() + "/left", QFile::ReadOwner | QFile::ExeOwner);
        RecordingLogSink readOnly;
        EXPECT_FALSE(writeRectifiedImages(lists[0], lists[1], r, "Left", "Right", yes, readOnly).completed);
        EXPECT_TRUE(test::textInColour(readOnly, logcolor::Red).contains("Could not create the folder"));
        QFile::setPermissions(dir.path() + "/left", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}
