// The calibrate routine on rendered views with a known camera: accuracy, printout, stored result,
// intrinsics file, options and the reuse of corners between runs.

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>

#include "IntrinsicTestData.h"
#include "intrinsic/ErrorAnalysis.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace intrinsic_test;

namespace {

CalibrationResult run(IntrinsicState& state, const CalibrationRequest& request, RecordingLogSink& log)
{
    HookRecorder rec;
    return calibrateIntrinsics(state, request, rec.hooks(), log);
}

} // namespace

TEST(IntrinsicCalibration, RecoversTheRenderedCamera)
{
    const FirstRun& first = firstRun();
    ASSERT_EQ(first.result.status, CalibrationStatus::Calibrated) << first.log.text().toStdString();
    const Truth& t = kTruth;
    const cv::Mat& K = first.state.K;
    const cv::Mat kc = first.state.distortion.reshape(1, 1);
    std::printf("default options: fx %.4f fy %.4f cx %.4f cy %.4f k1 %.5f k2 %.5f k3 %.5f rms %.4f px\n",
                K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2), kc.at<double>(0),
                kc.at<double>(1), kc.at<double>(4), first.result.rms);
    EXPECT_NEAR(K.at<double>(0, 0), t.fx, 0.002 * t.fx);
    EXPECT_NEAR(K.at<double>(1, 1), t.fy, 0.002 * t.fy);
    EXPECT_NEAR(K.at<double>(0, 2), t.cx, 1.0);
    EXPECT_NEAR(K.at<double>(1, 2), t.cy, 1.0);
    // With k3 free, k2 and k3 trade off; the lens must agree: radial displacement in pixels
    // wherever corners were seen.
    double rMax = 0.0;
    for (const View& v : views())
        for (const auto& c : v.corners)
            rMax = std::max(rMax, std::hypot((c.image.x - t.cx) / t.fx, (c.image.y - t.cy) / t.fy));
    for (double r = 0.05; r <= rMax; r += 0.05) {
        const double r2 = r * r;
        const double fitted = kc.at<double>(0) * r2 + kc.at<double>(1) * r2 * r2 + kc.at<double>(4) * r2 * r2 * r2;
        EXPECT_LT(std::abs(fitted - (t.k1 * r2 + t.k2 * r2 * r2)) * r * t.fx, 0.1) << "radius " << r;
    }
    // Noise of 1.5 grey values moves sub-pixel corners by a few hundredths of a pixel.
    EXPECT_GT(first.result.rms, 0.005);
    EXPECT_LT(first.result.rms, 0.15);

    // The rendering has no k3: with k3 fixed the model matches and k1, k2 are identifiable.
    IntrinsicState state = detectedState();
    QTemporaryDir wd;
    CalibrationRequest request = requestFor(wd.path());
    request.options.fixK[2] = true;
    RecordingLogSink log;
    const CalibrationResult r = run(state, request, log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated);
    const cv::Mat& K3 = state.K;
    const cv::Mat kc3 = state.distortion.reshape(1, 1);
    std::printf("k3 fixed: errors fx %+.4f fy %+.4f cx %+.4f cy %+.4f px, k1 %+.5f k2 %+.5f, rms %.4f px\n",
                K3.at<double>(0, 0) - t.fx, K3.at<double>(1, 1) - t.fy, K3.at<double>(0, 2) - t.cx,
                K3.at<double>(1, 2) - t.cy, kc3.at<double>(0) - t.k1, kc3.at<double>(1) - t.k2, r.rms);
    EXPECT_NEAR(K3.at<double>(0, 0), t.fx, 0.001 * t.fx);
    EXPECT_NEAR(K3.at<double>(0, 2), t.cx, 0.5);
    EXPECT_NEAR(K3.at<double>(1, 2), t.cy, 0.5);
    EXPECT_NEAR(kc3.at<double>(0), t.k1, 0.005);
    EXPECT_NEAR(kc3.at<double>(1), t.k2, 0.01);
    EXPECT_FALSE(log.text().contains("k3 ")) << "a coefficient of exactly 0 has no line";
}

TEST(IntrinsicCalibration, PrintsStoresAndWritesTheResult)
{
    const FirstRun& first = firstRun();
    ASSERT_EQ(first.result.status, CalibrationStatus::Calibrated);
    const auto& segs = first.log.segments;
    const size_t n = views().size();
    ASSERT_GT(segs.size(), n + 6);
    EXPECT_EQ(segs[0].text, "Target settings:\n");
    EXPECT_TRUE(segs[0].bold);
    EXPECT_EQ(segs[1].text, targetSettingsSummary(target()) + "\n");
    EXPECT_EQ(segs[2].text, "Detecting targets: ");
    EXPECT_TRUE(segs[2].bold);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(segs[3 + i].text, QString("%1 ").arg(i));
        EXPECT_EQ(segs[3 + i].color, logcolor::Green) << i;
    }
    EXPECT_EQ(segs[3 + n].text, "\n\n");
    EXPECT_EQ(segs[4 + n].text, "Intrinsic calibration with 15/15 images...\n\n");
    EXPECT_TRUE(segs[4 + n].bold);
    // Parameter lines in order with 4 decimals; p1, p2 are exactly 0 and have no line.
    const QString all = first.log.text();
    const QRegularExpression block(
        "Estimated intrinsics:\n\nCamera intrinsic matrix parameters:\nfx (\\S+) \\+/- \\d+\\.\\d{4}\nfy -?\\d+\\.\\d{4} "
        "\\+/- \\d+\\.\\d{4}\ncx \\S+ \\+/- \\S+\ncy \\S+ \\+/- \\S+\nDistortion coefficients:\nk1 -?\\d+\\.\\d{4} "
        "\\+/- \\d+\\.\\d{4}\nk2 \\S+ \\+/- \\S+\nk3 \\S+ \\+/- \\S+\n\nCalibration completed");
    const auto m = block.match(all);
    ASSERT_TRUE(m.hasMatch()) << all.toStdString();
    EXPECT_EQ(m.captured(1), QString::number(first.state.K.at<double>(0, 0), 'f', 4));
    const auto* rms = first.log.find(" px\n");
    EXPECT_EQ(rms->text, QString::number(first.result.rms, 'g', 6) + " px\n");
    EXPECT_TRUE(rms->bold);
    EXPECT_EQ(rms->color, colorName(errorColor(first.result.rms, {}, {}, false)));
    const QString path = first.workingDirectory.path() + "/Cam7.intrinsics.yml";
    EXPECT_TRUE(all.endsWith("\nIntrinsics saved to:\n" + path + "\n\n")) << "nothing follows without outlier removal";

    EXPECT_EQ(first.storedId, 7);
    EXPECT_EQ(cv::norm(first.storedK, first.state.K), 0.0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression order("^%YAML:1.0\n---\nimgSize: \\[ 640, 480 \\]\nK: [^\n]*\n(   [^\n]*\n)+kc: "
                                   "[^\n]*\n(   [^\n]*\n)+reprojErrRMS: [^\n]+\n$");
    EXPECT_TRUE(order.match(text).hasMatch()) << text.toStdString();
    cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
    cv::Mat K, kc;
    fs["K"] >> K;
    fs["kc"] >> kc;
    EXPECT_LT(cv::norm(K, first.state.K), 1e-9);
    EXPECT_LT(cv::norm(kc.reshape(1, 1), first.state.distortion.reshape(1, 1)), 1e-12);
    EXPECT_DOUBLE_EQ(double(fs["reprojErrRMS"]), first.result.rms);

    // Every view got its pose, errors and one colour per corner.
    for (const ImageState& image : first.state.images) {
        EXPECT_TRUE(image.hasPose());
        EXPECT_LE(image.minError, image.rms);
        EXPECT_GE(image.maxError, image.rms);
        EXPECT_EQ(image.cornerColors.size(), image.imagePoints.size());
    }
}

TEST(IntrinsicCalibration, SecondRunReusesCornersUntilTheTargetGeometryChanges)
{
    IntrinsicState state = detectedState();
    state.images[4].checked = false;
    // Stale working values must not leak into a run without a guess.
    state.K = (cv::Mat_<double>(3, 3) << 100, 0, 10, 0, 100, 10, 0, 0, 1);
    state.distortion = cv::Mat::ones(1, 5, CV_64F);
    QTemporaryDir wd;
    HookRecorder rec;
    RecordingLogSink log;
    // Exhaustive search and projector size do not change what was detected.
    CalibrationRequest request = requestFor(wd.path());
    request.target.exhaustiveSearch = true;
    request.target.projectorWidth = 640;
    ASSERT_EQ(calibrateIntrinsics(state, request, rec.hooks(), log).status, CalibrationStatus::Calibrated);
    EXPECT_EQ(textInColour(log, logcolor::Grey), "4 ");
    EXPECT_EQ(textInColour(log, logcolor::Green), "");
    EXPECT_EQ(textInColour(log, logcolor::Reused), "0 1 2 3 5 6 7 8 9 10 11 12 13 14 ");
    EXPECT_TRUE(log.text().contains("Intrinsic calibration with 14/15 images...\n\n"));
    EXPECT_EQ(state.images[4].rms, -1.0) << "an unchecked image takes no part";
    EXPECT_EQ(rec.aborts, 15) << "asked once per image";
    EXPECT_NEAR(state.K.at<double>(0, 0), kTruth.fx, 0.01 * kTruth.fx);

    // A different square size: everything is detected again.
    state.images[4].checked = true;
    state.images[9].imagePoints.resize(10); // would be reused if the cache survived
    state.images[9].objectPoints.resize(10);
    RecordingLogSink log2;
    request = requestFor(wd.path());
    request.target.squareWidth = request.target.squareHeight = 30.0;
    ASSERT_EQ(run(state, request, log2).status, CalibrationStatus::Calibrated);
    EXPECT_EQ(textInColour(log2, logcolor::Green), "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 ");
    EXPECT_EQ(state.images[9].imagePoints.size(), 54u);
    EXPECT_FLOAT_EQ(std::abs(state.images[0].objectPoints[1].x - state.images[0].objectPoints[0].x), 30.0f);
}

TEST(IntrinsicCalibration, GuessRationalModelAndRadialOptions)
{
    QTemporaryDir wd;
    IntrinsicState state = detectedState();
    // As a fresh object hands them out: (2,2) still 0, eight coefficients.
    state.K = (cv::Mat_<double>(3, 3) << 600, 0, 330, 0, 600, 230, 0, 0, 0);
    state.distortion = cv::Mat::zeros(1, 8, CV_64F);
    CalibrationRequest request = requestFor(wd.path());
    request.options.useIntrinsicGuess = true;
    request.options.fixPrincipalPoint = true;
    RecordingLogSink log;
    ASSERT_EQ(run(state, request, log).status, CalibrationStatus::Calibrated);
    EXPECT_EQ(state.K.at<double>(0, 2), 330.0) << "principal point fixed at the guess";
    EXPECT_TRUE(log.text().contains("cx 330.0000 +/- 0.0000\n"));
    EXPECT_NEAR(state.K.at<double>(0, 0), kTruth.fx, 0.02 * kTruth.fx);

    request = requestFor(wd.path());
    request.options.useRationalModel = true;
    request.options.fixK = {false, false, false, true, true, true};
    RecordingLogSink log2;
    const CalibrationResult rational = run(state, request, log2);
    ASSERT_EQ(rational.status, CalibrationStatus::Calibrated);
    EXPECT_EQ(state.distortion.total(), 8u);
    EXPECT_FALSE(log2.text().contains("k4 "));
    cv::FileStorage fs(QFile::encodeName(rational.intrinsicsFile).toStdString(), cv::FileStorage::READ);
    EXPECT_EQ(fs["kc"].mat().total(), 8u);

    // Radial distortion off: k1..k3 fixed at 0, so no coefficient line at all.
    request = requestFor(wd.path());
    request.options.useRadialDistortion = false;
    request.options.fixK = {true, true, true, false, false, false};
    RecordingLogSink log3;
    const CalibrationResult plain = run(state, request, log3);
    ASSERT_EQ(plain.status, CalibrationStatus::Calibrated);
    EXPECT_EQ(cv::countNonZero(state.distortion), 0);
    EXPECT_TRUE(log3.text().contains("Distortion coefficients:\n\nCalibration completed"));
    EXPECT_GT(plain.rms, 5 * rational.rms) << "the rendered lens distortion shows in the error";
}
