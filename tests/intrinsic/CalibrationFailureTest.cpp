// Runs that must stop, or go on around bad input, with the right log lines and nothing lost.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "IntrinsicTestData.h"
#include "intrinsic/IntrinsicFiles.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace intrinsic_test;

namespace {

// A run whose whole log is one red line.
void expectOnlyRedLine(const RecordingLogSink& log, const QString& text)
{
    ASSERT_EQ(log.segments.size(), 1u) << log.text().toStdString();
    EXPECT_EQ(log.segments[0].text, text);
    EXPECT_EQ(log.segments[0].color, logcolor::Red);
}

// The first n views with their known corners, as copies in dir (so that files can go beside them).
IntrinsicState copiedViews(const QTemporaryDir& dir, int n)
{
    const IntrinsicState known = detectedState();
    IntrinsicState state;
    QStringList paths;
    for (int i = 0; i < n; ++i) {
        paths << dir.path() + QStringLiteral("/copy_%1.png").arg(i);
        QFile::copy(views()[size_t(i)].path, paths.back());
    }
    state.loadImages(paths);
    for (int i = 0; i < n; ++i) {
        state.images[size_t(i)].imagePoints = known.images[size_t(i)].imagePoints;
        state.images[size_t(i)].objectPoints = known.images[size_t(i)].objectPoints;
    }
    state.previousTarget = target();
    return state;
}

QString writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return path;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
}

} // namespace

TEST(IntrinsicCalibrationFailure, NoObjectBeforeOrAfterDetection)
{
    QTemporaryDir wd;
    IntrinsicState state = detectedState();
    HookRecorder rec;
    rec.sensorPresent = false;
    RecordingLogSink log;
    EXPECT_EQ(calibrateIntrinsics(state, requestFor(wd.path()), rec.hooks(), log).status, CalibrationStatus::NoSensor);
    expectOnlyRedLine(log, "No sensor present in the sensor list, aborting.\n\n");
    EXPECT_EQ(rec.aborts, 0) << "no image was looked at";

    // Present at the start, removed by the user while images were detected: nothing is stored.
    int asked = 0;
    CalibrationHooks hooks = rec.hooks();
    hooks.sensor = [&asked]() -> std::optional<SensorRef> {
        if (asked++ == 0)
            return SensorRef{3, "Cam3"};
        return std::nullopt;
    };
    RecordingLogSink log2;
    const CalibrationResult r = calibrateIntrinsics(state, requestFor(wd.path()), hooks, log2);
    EXPECT_EQ(r.status, CalibrationStatus::NoSensor);
    EXPECT_GE(r.rms, 0.0) << "the calibration itself ran";
    EXPECT_EQ(log2.segments.back().text, "No sensor present in the sensor list, aborting.\n\n");
    EXPECT_EQ(log2.segments.back().color, logcolor::Red);
    EXPECT_EQ(rec.stores, 0);
    EXPECT_FALSE(state.images[0].hasPose());
    EXPECT_TRUE(entries(wd.path()).isEmpty());
}

TEST(IntrinsicCalibrationFailure, GuessWithoutFocalLengthStopsFirst)
{
    QTemporaryDir wd;
    CalibrationRequest request = requestFor(wd.path());
    request.options.useIntrinsicGuess = true;
    for (const cv::Mat& guess : {cv::Mat(cv::Mat::zeros(3, 3, CV_64F)),
                                 cv::Mat((cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 0, 240, 0, 0, 1)), cv::Mat()}) {
        IntrinsicState state = detectedState();
        state.K = guess.clone();
        HookRecorder rec;
        rec.sensorPresent = false; // the guess is checked before anything else
        RecordingLogSink log;
        EXPECT_EQ(calibrateIntrinsics(state, request, rec.hooks(), log).status, CalibrationStatus::InvalidGuess);
        expectOnlyRedLine(log, "When using intrinsic guess, reasonable start parameters fx, fy, cx and cy should be "
                               "used for the selected sensor (see main window). fx and fy must not be 0. Aborting.\n\n");
        EXPECT_EQ(rec.aborts, 0);
    }
}

TEST(IntrinsicCalibrationFailure, AllDetectionsFailed)
{
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 0; i < 2; ++i) {
        paths << dir.path() + QStringLiteral("/blank_%1.png").arg(i);
        cv::imwrite(QFile::encodeName(paths.back()).toStdString(), cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(200)));
    }
    IntrinsicState state;
    state.loadImages(paths);
    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationResult r = calibrateIntrinsics(state, requestFor(dir.path()), rec.hooks(), log);
    EXPECT_EQ(r.status, CalibrationStatus::NoImages);
    EXPECT_EQ(textInColour(log, logcolor::Red), "0 1 Target detection failed on all images or none were selected!\n\n");
    EXPECT_EQ(log.segments.back().text, "Calibrate\n");
    EXPECT_TRUE(log.segments.back().color.isEmpty());
    EXPECT_FALSE(state.images[0].checked) << "a failed detection unchecks the image";
    EXPECT_FALSE(state.images[1].checked);

    EXPECT_EQ(rec.stores, 0);
}

TEST(IntrinsicCalibrationFailure, NonPlanarTargetNeedsAGuess)
{
    // A 3-D rig in corner files: board corners lifted by 0, 20 or 40 mm, projected exactly.
    QTemporaryDir dir;
    IntrinsicState state = copiedViews(dir, 6);
    const auto cam = truthCamera();
    for (size_t i = 0; i < state.images.size(); ++i) {
        std::vector<cv::Point3f> obj;
        for (const auto& c : views()[i].corners)
            obj.emplace_back(float(c.board.x), float(c.board.y), float(20 * (c.id % 3)));
        std::vector<cv::Point2f> img;
        cv::projectPoints(obj, cv::Vec3d(views()[i].pose.rvec()), views()[i].pose.t, cv::Mat(cam.K), cam.distCoeffs(),
                          img);
        writeCornerFile(cornerFilePath(state.images[i].path), cv::Mat(img).clone(), cv::Mat(obj).clone());
    }
    HookRecorder rec;
    RecordingLogSink log;
    EXPECT_EQ(calibrateIntrinsics(state, requestFor(dir.path()), rec.hooks(), log).status,
              CalibrationStatus::NonPlanarWithoutGuess);
    EXPECT_EQ(textInColour(log, logcolor::Red),
              "Error: If you use a non-planar calibration target, you need to set initial intrinsic parameters (fx, fy, "
              "cx, cy) for Cam7 in the main window. You also need to set 'Use intrinsic guess' in the Calibration "
              "Options.\n");
    EXPECT_EQ(log.segments.back().text, "Calibrate\n");
    EXPECT_EQ(textInColour(log, logcolor::Reused), "0 1 2 3 4 5 ");
}

TEST(IntrinsicCalibrationFailure, AbortKeepsTheCornersFoundSoFar)
{
    IntrinsicState state;
    state.loadImages(viewPaths().mid(0, 5));
    QTemporaryDir wd;
    HookRecorder rec;
    rec.abortAtCall = 3; // the user pressed Abort while image 1 was being detected
    RecordingLogSink log;
    EXPECT_EQ(calibrateIntrinsics(state, requestFor(wd.path()), rec.hooks(), log).status, CalibrationStatus::Aborted);
    EXPECT_EQ(log.segments.back().text, "Calibration aborted \n\n");
    EXPECT_EQ(log.segments.back().color, logcolor::Red);
    EXPECT_EQ(textInColour(log, logcolor::Green), "0 1 ");
    EXPECT_EQ(rec.stores, 0);
    EXPECT_TRUE(entries(wd.path()).isEmpty());

    // The next run picks up where the aborted one stopped.
    HookRecorder again;
    RecordingLogSink log2;
    ASSERT_EQ(calibrateIntrinsics(state, requestFor(wd.path()), again.hooks(), log2).status,
              CalibrationStatus::Calibrated);
    EXPECT_EQ(textInColour(log2, logcolor::Reused), "0 1 ");
    EXPECT_EQ(textInColour(log2, logcolor::Green), "2 3 4 ");
}

TEST(IntrinsicCalibrationFailure, LibraryExceptionEndsTheRunInRed)
{
    // A principal point outside the image is refused by the library.
    IntrinsicState state = detectedState();
    state.K = (cv::Mat_<double>(3, 3) << 560, 0, -50, 0, 560, 240, 0, 0, 1);
    QTemporaryDir wd;
    CalibrationRequest request = requestFor(wd.path());
    request.options.useIntrinsicGuess = true;
    HookRecorder rec;
    RecordingLogSink log;
    EXPECT_EQ(calibrateIntrinsics(state, request, rec.hooks(), log).status, CalibrationStatus::LibraryError);
    const QString red = textInColour(log, logcolor::Red);
    EXPECT_TRUE(red.startsWith("OpenCV exception caught: ")) << red.toStdString();
    EXPECT_TRUE(red.contains("Principal point must be within the image"));
    EXPECT_TRUE(red.endsWith("\nAborting.\n\n"));
    EXPECT_EQ(log.segments.back().text, "Aborting.\n\n");
    EXPECT_EQ(rec.stores, 0);
    EXPECT_TRUE(entries(wd.path()).isEmpty());
}

TEST(IntrinsicCalibrationFailure, UnreadableAndMismatchedImagesAreLeftOut)
{
    QTemporaryDir dir;
    IntrinsicState state = copiedViews(dir, 6);
    // In front: an unchecked small image, which decides nothing. At the end: a file that is no
    // image, and an image of half the size whose corners came from somewhere.
    ImageState tiny;
    tiny.path = dir.path() + "/tiny.png";
    tiny.checked = false;
    cv::imwrite(QFile::encodeName(tiny.path).toStdString(), cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(90)));
    state.images.insert(state.images.begin(), tiny);
    ImageState broken;
    broken.path = writeText(dir.path() + "/broken.png", "this is text, not a picture\n");
    state.images.push_back(broken);
    ImageState half = state.images[1];
    half.path = dir.path() + "/half.png";
    cv::Mat small;
    cv::resize(cv::imread(QFile::encodeName(views()[0].path).toStdString()), small, cv::Size(320, 240));
    cv::imwrite(QFile::encodeName(half.path).toStdString(), small);
    state.images.push_back(half);

    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationResult r = calibrateIntrinsics(state, requestFor(dir.path()), rec.hooks(), log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated) << log.text().toStdString();
    EXPECT_EQ(textInColour(log, logcolor::Red), "7 ");
    EXPECT_EQ(textInColour(log, logcolor::Orange),
              "Warning: Image 7 could not be read: " + broken.path + "\n" +
                  "Warning: Image 8 is 320 x 240 px, image 1 is 640 x 480 px; image 8 is left out.\n");
    EXPECT_TRUE(log.text().contains("Intrinsic calibration with 6/9 images...\n\n"));
    EXPECT_FALSE(state.images[8].checked);
    EXPECT_FALSE(state.images[8].hasPose());
    cv::FileStorage fs(QFile::encodeName(r.intrinsicsFile).toStdString(), cv::FileStorage::READ);
    cv::Size size;
    fs["imgSize"] >> size;
    EXPECT_EQ(size, cv::Size(640, 480));
}

TEST(IntrinsicCalibrationFailure, CornerFilesReplaceDetectionUnlessUnusable)
{
    QTemporaryDir dir;
    IntrinsicState state = copiedViews(dir, 7);
    // Image 0: a good corner file with the exact corners, which must win over the cached ones.
    std::vector<cv::Point2f> exact;
    std::vector<cv::Point3f> obj;
    for (const auto& c : views()[0].corners) {
        exact.emplace_back(float(c.image.x), float(c.image.y));
        obj.emplace_back(float(c.board.x), float(c.board.y), 0.f);
    }
    writeCornerFile(cornerFilePath(state.images[0].path), cv::Mat(exact).clone(), cv::Mat(obj).clone());
    // Image 1: corners as integers. Image 2: counts that do not match. Both are detected instead.
    writeCornerFile(cornerFilePath(state.images[1].path), cv::Mat(54, 2, CV_32S, cv::Scalar(3)), cv::Mat(obj).clone());
    writeCornerFile(cornerFilePath(state.images[2].path), cv::Mat(exact).rowRange(0, 50).clone(), cv::Mat(obj).clone());
    state.images[1].clearCorners();
    state.images[2].clearCorners();

    HookRecorder rec;
    RecordingLogSink log;
    ASSERT_EQ(calibrateIntrinsics(state, requestFor(dir.path()), rec.hooks(), log).status,
              CalibrationStatus::Calibrated);
    EXPECT_EQ(textInColour(log, logcolor::Orange),
              "Warning: Corner file " + cornerFilePath(state.images[1].path) +
                  " ignored: \"corners\" is not a list of 2-D points.\n" + "Warning: Corner file " +
                  cornerFilePath(state.images[2].path) + " ignored: \"corners\" has 50 points but \"obj\" has 54.\n");
    EXPECT_EQ(textInColour(log, logcolor::Green), "1 2 ");
    EXPECT_EQ(textInColour(log, logcolor::Reused), "0 3 4 5 6 ");
    ASSERT_EQ(state.images[0].imagePoints.size(), exact.size());
    EXPECT_EQ(state.images[0].imagePoints[5], exact[5]);
}

TEST(IntrinsicCalibrationFailure, UnwritableWorkingDirectoryKeepsTheResultAndWritesNothing)
{
    QTemporaryDir dir;
    // A working directory that is a file: nothing can be created in it, whoever runs the test.
    const QString notADirectory = writeText(dir.path() + "/plain_file", "");
    IntrinsicState state = detectedState();
    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationResult r = calibrateIntrinsics(state, requestFor(notADirectory), rec.hooks(), log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated);
    EXPECT_TRUE(r.intrinsicsFile.isEmpty());
    EXPECT_EQ(rec.stores, 1) << "the object still gets the result";
    const QString red = textInColour(log, logcolor::Red);
    EXPECT_TRUE(red.startsWith("\nError: Could not save the intrinsics to:\n" + notADirectory + "/Cam7.intrinsics.yml\n("))
        << red.toStdString();
    EXPECT_FALSE(log.text().contains("Intrinsics saved to"));
    EXPECT_EQ(entries(dir.path()), QStringList{"plain_file"});

    // The file name is taken by a folder: the write fails and leaves no temporary file behind.
    QTemporaryDir wd;
    QDir(wd.path()).mkdir("Cam7.intrinsics.yml");
    RecordingLogSink log2;
    calibrateIntrinsics(state, requestFor(wd.path()), rec.hooks(), log2);
    EXPECT_TRUE(textInColour(log2, logcolor::Red).startsWith("\nError: Could not save the intrinsics to:\n"));
    EXPECT_EQ(entries(wd.path()), QStringList{"Cam7.intrinsics.yml"});
}
