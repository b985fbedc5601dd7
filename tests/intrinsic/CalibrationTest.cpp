// The calibrate routine on rendered views with a known camera: accuracy, printout, intrinsics
// file, options, outlier removal, the reuse of corners between runs, and the runs that must stop
// or go on around bad input with the right log lines and nothing lost.

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <set>

#include "IntrinsicTestData.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/IntrinsicFiles.h"
#include "intrinsic/InputChecks.h"

using namespace intrinsic_test;

TEST(IntrinsicCalibration, RecoversTheRenderedCameraPrintsAndWritesIt)
{
    IntrinsicState state = viewState(15, false);
    QTemporaryDir wd;
    RecordingLogSink log;
    const CalibrationResult result =
        calibrate(state, {.options = {}, .target = kTarget, .workingDirectory = wd.path()}, log);
    const double rms = result.rms;
    const cv::Matx33d K = state.K, T = kCamera.K;
    const cv::Mat kc = state.distortion.reshape(1, 1);
    ASSERT_FALSE(kc.empty()) << log.text().toStdString();
    EXPECT_LT(cv::norm(cv::Vec2d(K(0, 0) - T(0, 0), K(1, 1) - T(1, 1)), cv::NORM_INF), 0.002 * T(0, 0)) << cv::Mat(K);
    EXPECT_LT(cv::norm(cv::Vec2d(K(0, 2) - T(0, 2), K(1, 2) - T(1, 2)), cv::NORM_INF), 1.0) << cv::Mat(K);
    // With k3 free, k2 and k3 trade off; the lens must agree: radial displacement in pixels
    // wherever corners were seen.
    double rMax = 0.0;
    for (const View& v : views())
        for (const auto& c : v.corners)
            rMax = std::max(rMax, std::hypot((c.image.x - T(0, 2)) / T(0, 0), (c.image.y - T(1, 2)) / T(1, 1)));
    for (double r = 0.05; r <= rMax; r += 0.05) {
        const double r2 = r * r, truth = kCamera.dist[0] * r2 + kCamera.dist[1] * r2 * r2;
        const double fitted = kc.at<double>(0) * r2 + kc.at<double>(1) * r2 * r2 + kc.at<double>(4) * r2 * r2 * r2;
        EXPECT_LT(std::abs(fitted - truth) * r * T(0, 0), 0.1) << "radius " << r;
    }
    // Noise of 1.5 grey values moves sub-pixel corners by a few hundredths of a pixel.
    EXPECT_TRUE(rms > 0.005 && rms < 0.15) << rms;

    // The whole log: parameters with 4 decimals (p1, p2 are exactly 0 and have no line), the RMS
    // in its colour, the file written, and nothing after it without outlier removal.
    const QString path = wd.path() + "/Cam7.intrinsics.yml";
    const QString all = tagged(log);
    const QString head = "Target settings:\n" + targetSettingsSummary(kTarget) + "\nDetecting targets: <green>0 1 2 "
                         "3 4 5 6 7 8 9 10 11 12 13 14 </>\n\nIntrinsic calibration with 15/15 images...\n\n";
    const QString tail = "\nCalibration completed with rms reprojection error: <" +
                         colorName(errorColor(rms, {}, {}, false)) + ">" + QString::number(rms, 'g', 6) +
                         " px\n</>\nIntrinsics saved to:\n" + path + "\n\n" + qualityLine(result);
    const QString value = " (-?\\d+\\.\\d{4}) \\+/- \\d+\\.\\d{4}\n";
    const auto m = QRegularExpression("^" + QRegularExpression::escape(head) + "Estimated intrinsics:\n\nCamera "
                                      "intrinsic matrix parameters:\nfx" + value + "fy" + value + "cx" + value + "cy" +
                                      value + "Distortion coefficients:\nk1" + value + "k2" + value + "k3" + value +
                                      QRegularExpression::escape(tail) + "$").match(all);
    ASSERT_TRUE(m.hasMatch()) << all.toStdString();
    const double printed[] = {K(0, 0), K(1, 1), K(0, 2), K(1, 2), kc.at<double>(0), kc.at<double>(1), kc.at<double>(4)};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(m.captured(i + 1), QString::number(printed[i], 'f', 4)) << "value " << i;

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QRegularExpression keys("^%YAML:1.0\n---\nimgSize: \\[ 640, 480 \\]\nK: [^\n]*\n(   [^\n]*\n)+kc: [^\n]*\n"
                                  "(   [^\n]*\n)+reprojErrRMS: [^\n]+\n$");
    EXPECT_TRUE(keys.match(file.readAll()).hasMatch());
    cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
    EXPECT_LT(cv::norm(fs["K"].mat(), state.K), 1e-9);
    EXPECT_LT(cv::norm(fs["kc"].mat().reshape(1, 1), kc), 1e-12);
    EXPECT_DOUBLE_EQ(double(fs["reprojErrRMS"]), rms);
    // The quality is judged on all views; its noise agrees with the library's RMS over the
    // degrees of freedom left by 6 intrinsics and 15 poses.
    const CalibrationQuality& q = *result.quality;
    ASSERT_EQ(q.views.size(), 15u);
    EXPECT_TRUE(q.views[14].image == 14 && q.views[14].points.size() == state.images[14].imagePoints.size());
    EXPECT_NEAR(q.sigma * q.sigma * (q.observations - 6 - 6 * 15) / (rms * rms * q.observations / 2), 1.0, 1e-4);
    // Every view got its pose, errors and one colour per corner.
    for (const ImageState& i : state.images)
        EXPECT_TRUE(i.hasPose() && i.minError <= i.rms && i.rms <= i.maxError &&
                    i.cornerColors.size() == i.imagePoints.size());
}

TEST(IntrinsicCalibration, LaterRunsReuseCornersWithoutOutliersAndFollowTheOptions)
{
    IntrinsicState state = viewState(15, true);
    state.images[4].checked = false;
    state.images[3].imagePoints[0] += cv::Point2f(6.f, 0.f);
    state.images[3].imagePoints[1] += cv::Point2f(0.f, 6.f);
    state.images[7].imagePoints[5] += cv::Point2f(-5.f, 5.f);
    // Exhaustive search and projector size do not change what was detected.
    QTemporaryDir wd;
    CalibrationRequest request{.options = {.removeOutliers = true, .outlierThreshold = 2.0}, .target = kTarget,
                               .workingDirectory = wd.path()};
    request.target.exhaustiveSearch = true;
    request.target.projectorWidth = 640;
    HookRecorder rec;
    RecordingLogSink log, log2, log3, log4, log5;
    const CalibrationResult removed = calibrateIntrinsics(state, request, rec.hooks(), log);
    EXPECT_TRUE(tagged(log).contains("Detecting targets: <reused>0 1 2 3 </><grey>4 </><reused>5 6 7 8 9 10 11 12 13 "
                                     "14 </>\n\nIntrinsic calibration with 14/15 images...\n\n"));
    EXPECT_TRUE(tagged(log).contains("Detecting outliers: <orange>3:2 7:1 \n\nCalibrate again to exclude the detected "
                                     "outliers!\n\n"));
    EXPECT_TRUE(log.text().endsWith("outliers!\n\n" + removed.quality->summary() + "\n")) << log.text().toStdString();
    EXPECT_TRUE(removed.quality->views[3].points.size() == 54 && state.images[3].imagePoints.size() == 52)
        << "judged on the corners the calibration used";
    EXPECT_TRUE(rec.aborts == 15 && state.images[4].rms == -1.0) << "asked once per image; image 4 takes no part";
    const CalibrationResult again = calibrate(state, request, log2);
    EXPECT_TRUE(log2.text().endsWith("Detecting outliers: none\n" + again.quality->summary() + "\n"))
        << "calibrated without the outliers";

    // A guess as a fresh object hands it out: (2,2) still 0, eight coefficients.
    state.K = (cv::Mat_<double>(3, 3) << 600, 0, 330, 0, 600, 230, 0, 0, 0);
    state.distortion = cv::Mat::zeros(1, 8, CV_64F);
    request.options = {.useIntrinsicGuess = true, .fixPrincipalPoint = true};
    ASSERT_EQ(calibrate(state, request, log3).status, CalibrationStatus::Calibrated);
    EXPECT_TRUE(state.K.at<double>(0, 2) == 330.0 && log3.text().contains("cx 330.0000 +/- 0.0000\n"))
        << "principal point fixed at the guess";
    EXPECT_NEAR(state.K.at<double>(0, 0), kCamera.K(0, 0), 0.02 * kCamera.K(0, 0));

    // The library hands back 14 coefficients for the rational model: state and file keep 8.
    request.options = {.fixK = {false, false, false, true, true, true}, .useRationalModel = true};
    const CalibrationResult rational = calibrate(state, request, log4);
    EXPECT_TRUE(state.distortion.total() == 8 && !log4.text().contains("k4 "));
    EXPECT_EQ(cv::FileStorage(QFile::encodeName(rational.intrinsicsFile).toStdString(), 0)["kc"].mat().total(), 8u);

    // Radial distortion off: k1..k3 fixed at 0, so no coefficient line at all.
    request.options = {.useRadialDistortion = false, .fixK = {true, true, true, false, false, false}};
    const CalibrationResult plain = calibrate(state, request, log5);
    EXPECT_TRUE(cv::countNonZero(state.distortion) == 0 &&
                log5.text().contains("Distortion coefficients:\n\nCalibration completed"));
    EXPECT_GT(plain.rms, 5 * rational.rms) << "the rendered lens distortion shows in the error";
}

TEST(IntrinsicCalibrationFailure, RunsThatEndWithoutAResultSayWhyAndStoreAndWriteNothing)
{
    QTemporaryDir wd, blank;
    cv::imwrite(QFile::encodeName(blank.path() + "/blank.png").toStdString(), cv::Mat(120, 160, CV_8U, 200));
    const QString noSensor = "<red>No sensor present in the sensor list, aborting.\n\n</>";
    const QString badGuess = "<red>When using intrinsic guess, reasonable start parameters fx, fy, cx and cy should "
                             "be used for the selected sensor (see main window). fx and fy must not be 0. "
                             "Aborting.\n\n</>";
    // A red line alone is the whole log: such runs stop before any image is looked at. The guess is
    // checked first, before the missing object.
    const struct { const char* name; int sensorAnswers; std::optional<cv::Mat> guess; int lifted; bool blank;
                   CalibrationStatus status; QString tail, also = ""; } cases[] = {
        {"no object", 0, {}, 0, false, CalibrationStatus::NoSensor, noSensor},
        {"fx 0", 0, cv::Mat::zeros(3, 3, CV_64F), 0, false, CalibrationStatus::InvalidGuess, badGuess},
        {"fy 0", 0, cv::Mat(cv::Matx33d(500, 0, 320, 0, 0, 240, 0, 0, 1)), 0, false, CalibrationStatus::InvalidGuess,
         badGuess},
        {"no guess", 0, cv::Mat(), 0, false, CalibrationStatus::InvalidGuess, badGuess},
        {"object removed while detecting", 1, {}, 0, false, CalibrationStatus::NoSensor, " px\n</>" + noSensor},
        {"principal point outside the image", -1, cv::Mat(cv::Matx33d(560, 0, -50, 0, 560, 240, 0, 0, 1)), 0, false,
         CalibrationStatus::LibraryError, "\nAborting.\n\n</>",
         "images\\.\\.\\.\n\n<red>OpenCV exception caught: .*Principal point must be within the image"},
        {"nothing detected", -1, {}, 0, true, CalibrationStatus::NoImages,
         "Detecting targets: <red>0 </>\n\n<red>Target detection failed on all images or none were selected!\n\n</>"
         "Calibrate\n"},
        {"3-D rig", -1, {}, 20, false, CalibrationStatus::NonPlanarWithoutGuess,
         "Detecting targets: <reused>0 1 2 </>\n\nIntrinsic calibration with 3/3 images...\n\n<red>Error: If you use a "
         "non-planar calibration target, you need to set initial intrinsic parameters (fx, fy, cx, cy) for Cam7 in the "
         "main window. You also need to set 'Use intrinsic guess' in the Calibration Options.\n</>Calibrate\n"}};
    for (const auto& c : cases) {
        IntrinsicState state = viewState(3, true);
        state.images[0].objectPoints.back().z = float(c.lifted); // as a corner file may describe it
        if (c.blank)
            state.loadImages({blank.path() + "/blank.png"});
        state.K = c.guess.value_or(cv::Mat()).clone();
        const CalibrationRequest request{.options = {.useIntrinsicGuess = c.guess.has_value()}, .target = kTarget,
                                         .workingDirectory = wd.path()};
        HookRecorder rec{.sensorAnswers = c.sensorAnswers};
        RecordingLogSink log;
        EXPECT_EQ(calibrateIntrinsics(state, request, rec.hooks(), log).status, c.status) << c.name;
        const QString all = tagged(log);
        EXPECT_TRUE((c.tail.startsWith("<red>") ? all == c.tail && rec.aborts == 0 : all.endsWith(c.tail)) &&
                    all.contains(QRegularExpression(c.also)))
            << c.name << ": " << all.toStdString();
        // Nothing stored or written; a failed detection unchecks the image.
        EXPECT_TRUE(rec.stores == 0 && QDir(wd.path()).isEmpty() && !state.images[0].hasPose() &&
                    state.images[0].checked != c.blank)
            << c.name;
    }
}

TEST(IntrinsicCalibrationFailure, BadInputIsLeftOutWithAWarningAndAnUnwritableFolderLosesNothing)
{
    QTemporaryDir dir;
    IntrinsicState state = viewState(6, true, &dir);
    // Image 0: a good corner file, shifted by a quarter pixel, which must win over the known corners.
    // Image 1: corners as integers; it is detected instead.
    const cv::Mat obj(state.images[0].objectPoints), shifted = cv::Mat(state.images[0].imagePoints) + cv::Scalar(0.25);
    writeCornerFile(cornerFilePath(state.images[0].path), shifted, obj);
    writeCornerFile(cornerFilePath(state.images[1].path), cv::Mat(54, 2, CV_32S, 3), obj);
    state.images[1].clearCorners();
    // In front an unchecked image, which decides nothing; at the end a file that is no image, and
    // an image of half the size whose corners came from somewhere.
    ImageState tiny, broken, half = state.images[3];
    tiny.path = dir.path() + "/tiny.png", tiny.checked = false;
    broken.path = writeText(dir.path() + "/broken.png", "text");
    half.path = dir.path() + "/half.png";
    cv::imwrite(QFile::encodeName(half.path).toStdString(), cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(90)));
    state.images.insert(state.images.begin(), tiny);
    state.images.insert(state.images.end(), {broken, half});
    // The working directory is a file: nothing can be written into it, whoever runs the test.
    const QString notADirectory = writeText(dir.path() + "/plain_file", "");

    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationRequest request{.options = {}, .target = kTarget, .workingDirectory = notADirectory};
    const CalibrationResult r = calibrateIntrinsics(state, request, rec.hooks(), log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated) << log.text().toStdString();
    const QString all = tagged(log);
    EXPECT_TRUE(all.startsWith("<orange>Warning: Corner file " + cornerFilePath(state.images[2].path) +
                               " ignored: \"corners\" is not a list of 2-D points.\n</>"))
        << all.toStdString();
    EXPECT_TRUE(all.contains("Detecting targets: <grey>0 </><reused>1 </><green>2 </><reused>3 4 5 6 </><red>7 </>"
                             "<reused>8 </>\n\n<orange>Warning: Image 7 could not be read: " + state.images[7].path +
                             " (not a PNG, JPEG, TIFF or BMP image)\nWarning: Image 8 is 320 x 240 px, image 1 is 640 x 480 px; image 8 is left out.\n</>\n"
                             "Intrinsic calibration with 6/9 images...\n\n"));
    EXPECT_EQ(cv::norm(cv::Mat(state.images[1].imagePoints), shifted, cv::NORM_INF), 0.0);
    EXPECT_FALSE(state.images[8].checked || state.images[8].hasPose());
    EXPECT_TRUE(all.endsWith(" px\n</><red>\nError: Could not save the intrinsics to:\n" + notADirectory +
                             "/Cam7.intrinsics.yml\n(" + r.writeError + ")\n\n</>" + qualityLine(r)));
    EXPECT_TRUE(rec.stores == 1 && r.intrinsicsFile.isEmpty()) << "the object still gets the result";
    EXPECT_EQ(state.imageSize, cv::Size(640, 480)) << "the first checked image decides";
}

TEST(IntrinsicCalibration, RectangularSquaresGiveTheirOwnSpacingAlongEachAxis)
{
    // 25 x 30 mm squares: detection must lay out the board's y axis with the height. Eight views,
    // detected and calibrated as the module does; the camera comes back as rendered.
    MainWindowSettings target = kTarget;
    target.squareHeight = 30.0;
    const vantiro::synth::BoardPattern board(target);
    const double distance = distanceForCoverage(kCamera, board, 0.65);
    const double poses[][3] = {{0, 0, 0}, {30, 0, 5}, {-30, 0, -5}, {0, 30, 10}, {0, -30, -10},
                               {20, 20, 30}, {-20, 20, -30}, {25, -20, 60}};
    QTemporaryDir dir;
    IntrinsicState state;
    for (const auto& p : poses) {
        ImageState image;
        image.path = dir.filePath(QStringLiteral("view_%1.png").arg(state.images.size()));
        const vantiro::synth::RenderOptions options{.supersampling = 3};
        cv::imwrite(QFile::encodeName(image.path).toStdString(),
                    render(kCamera, board, viewPose(board, distance, p[0], p[1], p[2], cv::Vec3d()), options).colour);
        state.images.push_back(image);
    }
    QTemporaryDir wd;
    RecordingLogSink log;
    const double rms = calibrate(state, {.options = {}, .target = target, .workingDirectory = wd.path()}, log).rms;
    ASSERT_FALSE(state.K.empty()) << log.text().toStdString();
    const cv::Matx33d K = state.K, T = kCamera.K;
    EXPECT_NEAR(K(0, 0), T(0, 0), 0.003 * T(0, 0));
    EXPECT_NEAR(K(1, 1), T(1, 1), 0.003 * T(1, 1));
    EXPECT_LT(rms, 0.15);
    // The first corner row steps by the width, the first column by the height.
    const ImageState& first = state.images[0];
    ASSERT_EQ(first.objectPoints.size(), 54u);
    std::set<float> xs, ys;
    for (const cv::Point3f& p : first.objectPoints) {
        xs.insert(p.x);
        ys.insert(p.y);
    }
    EXPECT_EQ(std::vector<float>(xs.begin(), xs.end()), (std::vector<float>{0, 25, 50, 75, 100, 125, 150, 175, 200}));
    EXPECT_EQ(std::vector<float>(ys.begin(), ys.end()), (std::vector<float>{0, 30, 60, 90, 120, 150}));
}

// A marker board seen at its edge leaves 1 to 3 corners, or a line of them: the view is left out
// with a warning and the others calibrate.
TEST(IntrinsicCalibrationFailure, ViewsTooSparseToCalibrateAreLeftOut)
{
    QTemporaryDir wd;
    IntrinsicState state = viewState(5, true);
    state.images[1].imagePoints.resize(3);
    state.images[1].objectPoints.resize(3);
    state.images[3].imagePoints.resize(9); // the first row of the board: collinear
    state.images[3].objectPoints.resize(9);
    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationRequest request{.options = {}, .target = kTarget, .workingDirectory = wd.path()};
    const CalibrationResult r = calibrateIntrinsics(state, request, rec.hooks(), log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated) << log.text().toStdString();
    EXPECT_TRUE(tagged(log).contains("<orange>Warning: Image 1 is left out: 3 corners; at least 4 are needed.\n"
                                     "Warning: Image 3 is left out: the target points lie on one line or one point.\n</>\n"
                                     "Intrinsic calibration with 3/5 images...\n\n"))
        << tagged(log).toStdString();
    EXPECT_EQ(r.usedImages, std::vector<int>({0, 2, 4}));
    EXPECT_FALSE(state.images[1].checked || state.images[1].hasCorners() || state.images[3].checked);
}

// A run whose numbers overflow reports it in red; nothing reaches the object, the file or the
// start values of the next run.
TEST(IntrinsicCalibrationFailure, NonFiniteResultsAreNeitherStoredNorWritten)
{
    QTemporaryDir wd;
    const QString file = wd.path() + "/Cam7.intrinsics.yml";
    ASSERT_FALSE(writeText(file, "good result").isEmpty());
    IntrinsicState state = viewState(4, true);
    const cv::Mat guess = (cv::Mat_<double>(3, 3) << 1e300, 0, 320, 0, 1e300, 240, 0, 0, 1);
    state.K = guess.clone();
    const CalibrationRequest request{.options = {.useIntrinsicGuess = true, .fixFocalLength = true},
                                     .target = kTarget, .workingDirectory = wd.path()};
    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationResult r = calibrateIntrinsics(state, request, rec.hooks(), log);
    EXPECT_EQ(r.status, CalibrationStatus::InvalidResult) << log.text().toStdString();
    EXPECT_TRUE(tagged(log).contains(QRegularExpression(
        "<red>Error: The calibration gave an unusable result \\(.+\\); nothing was stored or written. Aborting.\n\n</>$")))
        << tagged(log).toStdString();
    EXPECT_FALSE(log.text().contains("Calibration completed"));
    EXPECT_EQ(rec.stores, 0);
    EXPECT_EQ(cv::norm(state.K, guess, cv::NORM_INF), 0.0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "good result");
}

TEST(IntrinsicCalibrationFailure, ResultChecksNameTheUnusableValue)
{
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 560, 0, 320, 0, 560, 240, 0, 0, 1);
    const cv::Mat d = cv::Mat::zeros(1, 5, CV_64F);
    const cv::Size size(640, 480);
    EXPECT_EQ(intrinsicResultProblem(K, d, 0.1, size), "");
    auto with = [&K](int r, int c, double v) {
        cv::Mat k = K.clone();
        k.at<double>(r, c) = v;
        return k;
    };
    const cv::Mat nanD = (cv::Mat_<double>(1, 5) << 0, NAN, 0, 0, 0);
    const struct { cv::Mat K, d; double rms; QString problem; } cases[] = {
        {with(0, 0, NAN), d, 0.1, "the camera matrix holds a value that is not a finite number"},
        {K, nanD, 0.1, "a distortion coefficient is not a finite number"},
        {K, d, NAN, "the RMS error is nan"},
        {K, d, -1.0, "the RMS error is -1"},
        {with(0, 0, -5), d, 0.1, "implausible focal lengths fx = -5, fy = 560"},
        {with(1, 1, 0), d, 0.1, "implausible focal lengths fx = 560, fy = 0"},
        {with(0, 0, 640001), d, 0.1, "implausible focal lengths fx = 640001, fy = 560"},
        {with(0, 2, 6721), d, 0.1, "implausible principal point (6721, 240)"},
        {with(1, 2, -4561), d, 0.1, "implausible principal point (320, -4561)"},
        {cv::Mat::eye(2, 2, CV_64F), d, 0.1, "no 3 x 3 camera matrix"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(intrinsicResultProblem(c.K, c.d, c.rms, size), c.problem) << c.problem.toStdString();
    EXPECT_EQ(intrinsicResultProblem(with(0, 0, 639999), d, 0.1, size), "");
    EXPECT_EQ(intrinsicResultProblem(with(0, 2, 6719), d, 0.1, size), "");
}
