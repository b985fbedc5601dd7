// The error colour ramp and the per-corner error and outlier analysis.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include "IntrinsicTestData.h"
#include "app/Settings.h"
#include "intrinsic/ErrorAnalysis.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace intrinsic_test;

namespace {

void expectColor(const cv::Vec3d& c, double r, double g)
{
    EXPECT_NEAR(c[0], r, 1e-9);
    EXPECT_NEAR(c[1], g, 1e-9);
    EXPECT_EQ(c[2], 0.0);
}

// Sets the process-wide colour mode for one test.
struct RangeMode
{
    explicit RangeMode(bool on) : previous(dynamicMinMaxColorMapping()) { setDynamicMinMaxColorMapping(on); }
    ~RangeMode() { setDynamicMinMaxColorMapping(previous); }
    bool previous;
};

const cv::Mat kPlainK = (cv::Mat_<double>(3, 3) << 800, 0, 320, 0, 800, 240, 0, 0, 1);

// A 4 x 3 grid seen by a plain camera, with pixel offsets added to some corners.
ImageState gridImage(const std::map<int, cv::Point2f>& offsets)
{
    ImageState image;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            image.objectPoints.emplace_back(x * 20.f, y * 20.f, 0.f);
    image.rvec = (cv::Mat_<double>(3, 1) << 0.1, -0.05, 0.02);
    image.tvec = (cv::Mat_<double>(3, 1) << -30, -20, 400);
    cv::projectPoints(image.objectPoints, image.rvec, image.tvec, kPlainK, cv::noArray(), image.imagePoints);
    for (const auto& [j, d] : offsets)
        image.imagePoints[size_t(j)] += d;
    return image;
}

} // namespace

TEST(ErrorColor, FixedRampIsCentredOnOnePixel)
{
    const RangeMode fixedMode(false);
    expectColor(errorColor(0.0), 0, 0.666);
    expectColor(errorColor(-1.0), 0, 0.666);
    expectColor(errorColor(1.0), 1, 0.666);
    expectColor(errorColor(0.5), 2.0 / 3.0, 0.666); // f = 1 / (1/v + 1) = 1/3
    expectColor(errorColor(3.0), 1, 0.25 * 1.332);  // f = 3/4
    EXPECT_LT(errorColor(1000.0)[1], 0.002);
    expectColor(errorColor(1.0, 0.0, 10.0), 1, 0.666); // a range is ignored while the switch is off
    EXPECT_EQ(toRgb8({0, 0.666, 0}), cv::Vec3b(0, 169, 0));
    EXPECT_EQ(toRgb8({1.5, -0.2, 0.999}), cv::Vec3b(255, 0, 254));
    EXPECT_EQ(colorName({1, 0.666, 0}), "#ffa900");
    EXPECT_EQ(colorStyleSheet({1, 0.666, 0}), "color:rgb(255,169.83,0);");
}

TEST(ErrorColor, RangeModeSpansTheGivenMinimumAndMaximum)
{
    const RangeMode rangeMode(true);
    expectColor(errorColor(1.0, 1.0, 3.0), 0, 0.666);
    expectColor(errorColor(1.5, 1.0, 3.0), 0.5, 0.666);
    expectColor(errorColor(2.0, 1.0, 3.0), 1, 0.666); // the midpoint is yellow
    expectColor(errorColor(2.5, 1.0, 3.0), 1, 0.333);
    expectColor(errorColor(9.0, 1.0, 3.0), 1, 0);      // clamped
    expectColor(errorColor(0.0, 1.0, 3.0), 0, 0.666);  // clamped
    expectColor(errorColor(5.0, 2.0, 2.0), 0, 0.666);  // an empty range is green
    expectColor(errorColor(1.0, 0.0, std::nullopt), 1, 0.666); // one end alone: fixed ramp
    expectColor(errorColor(1.0, 0.0, 10.0, false), 1, 0.666); // the explicit form ignores the switch
}

TEST(AnalyseErrors, RemovesCornersAboveTheThresholdAndLogsThem)
{
    const RangeMode fixedMode(false);
    std::vector<ImageState> images(5);
    images[1] = gridImage({});
    images[3] = gridImage({{2, {3.f, 0.f}}, {7, {0.f, -4.f}}, {5, {1.7f, 0.9f}}});
    images[4] = gridImage({{0, {6.f, 0.f}}});
    images[0] = gridImage({{1, {9.f, 0.f}}});
    images[0].rvec.release(); // not part of the calibration: never looked at
    // The threshold is exactly corner 5's error as the analysis computes it: that corner stays.
    std::vector<cv::Point2f> projected;
    cv::projectPoints(images[3].objectPoints, images[3].rvec, images[3].tvec, kPlainK, cv::noArray(), projected);
    const cv::Point2f d = images[3].imagePoints[5] - projected[5];
    const double threshold = std::sqrt(double(d.x) * d.x + double(d.y) * d.y);

    RecordingLogSink log;
    EXPECT_TRUE(analyseErrors(images, kPlainK, cv::Mat::zeros(1, 5, CV_64F), true, threshold, log));
    EXPECT_EQ(log.text(), "3:2 4:1 ");
    EXPECT_EQ(textInColour(log, logcolor::Orange), log.text());
    EXPECT_EQ(images[0].imagePoints.size(), 12u);
    EXPECT_TRUE(images[0].cornerColors.empty());
    EXPECT_EQ(images[1].cornerColors, std::vector<cv::Vec3b>(12, cv::Vec3b(0, 169, 0)));
    ASSERT_EQ(images[3].imagePoints.size(), 10u);
    EXPECT_EQ(images[3].objectPoints.size(), 10u);
    EXPECT_EQ(images[3].reprojected.size(), 10u);
    EXPECT_EQ(images[3].cornerColors.size(), 10u);
    // The right corners went: object point 2 was (40, 0), 7 was (60, 20); 5 is still there.
    const auto has = [&](float x, float y) {
        return std::count(images[3].objectPoints.begin(), images[3].objectPoints.end(), cv::Point3f(x, y, 0.f)) > 0;
    };
    EXPECT_FALSE(has(40.f, 0.f));
    EXPECT_FALSE(has(60.f, 20.f));
    EXPECT_TRUE(has(20.f, 20.f));
    // Minimum and maximum are taken before removal.
    EXPECT_NEAR(images[3].maxError, 4.0, 1e-3);
    EXPECT_LT(images[3].minError, 1e-3);
    EXPECT_EQ(images[4].imagePoints.size(), 11u);

    // Without removal every corner stays and gets its colour; with no outlier the log says so.
    std::vector<ImageState> kept{gridImage({{4, {1.f, 0.f}}, {9, {30.f, 40.f}}})};
    RecordingLogSink quiet;
    EXPECT_FALSE(analyseErrors(kept, kPlainK, cv::Mat(), false, 2.5, quiet));
    EXPECT_TRUE(quiet.segments.empty());
    ASSERT_EQ(kept[0].cornerColors.size(), 12u);
    EXPECT_EQ(kept[0].cornerColors[4], toRgb8(errorColor(1.0, {}, {}, false)));
    EXPECT_EQ(kept[0].cornerColors[9], toRgb8(errorColor(50.0, {}, {}, false)));
    RecordingLogSink none;
    EXPECT_FALSE(analyseErrors(kept, kPlainK, cv::Mat(), true, 99.0, none));
    ASSERT_EQ(none.segments.size(), 1u);
    EXPECT_EQ(none.segments[0].text, "none\n");
    EXPECT_EQ(none.segments[0].color, logcolor::Reused);
}

TEST(AnalyseErrors, RangeModeColoursWithinEachImage)
{
    const RangeMode rangeMode(true);
    std::vector<ImageState> images{gridImage({{0, {2.f, 0.f}}, {1, {4.f, 0.f}}})};
    for (size_t j = 2; j < 12; ++j)
        images[0].imagePoints[j] += cv::Point2f(1.f, 0.f);
    std::vector<ImageState> flat{gridImage({})};
    for (auto& p : flat[0].imagePoints)
        p += cv::Point2f(0.f, 2.f);
    RecordingLogSink log;
    analyseErrors(images, kPlainK, cv::Mat(), false, 5.0, log);
    analyseErrors(flat, kPlainK, cv::Mat(), false, 5.0, log);
    EXPECT_EQ(images[0].cornerColors[1], cv::Vec3b(255, 0, 0)) << "the image's largest error is red";
    EXPECT_LE(images[0].cornerColors[5][0], 2) << "its smallest (up to float rounding) is green";
    EXPECT_EQ(images[0].cornerColors[5][1], 169);
    EXPECT_EQ(flat[0].cornerColors, std::vector<cv::Vec3b>(12, cv::Vec3b(0, 169, 0))) << "equal errors: all green";

    std::vector<ImageState> rms(4);
    EXPECT_FALSE(rmsRange(rms).has_value());
    rms[0].rms = 0.4;
    rms[2].rms = 0.1; // rms[1] stays -1: not calibrated, not part of the range
    rms[3].rms = 0.25;
    ASSERT_TRUE(rmsRange(rms).has_value());
    EXPECT_EQ(*rmsRange(rms), std::make_pair(0.1, 0.4));
}

TEST(AnalyseErrors, CalibrateRunRemovesOutliersAndTheNextRunUsesTheRest)
{
    IntrinsicState state = detectedState();
    state.images[3].imagePoints[0] += cv::Point2f(6.f, 0.f);
    state.images[3].imagePoints[1] += cv::Point2f(0.f, 6.f);
    state.images[7].imagePoints[5] += cv::Point2f(-5.f, 5.f);
    QTemporaryDir wd;
    CalibrationRequest request = requestFor(wd.path());
    request.options.removeOutliers = true;
    request.options.outlierThreshold = 2.0;
    HookRecorder rec;
    RecordingLogSink log;
    const CalibrationResult r = calibrateIntrinsics(state, request, rec.hooks(), log);
    ASSERT_EQ(r.status, CalibrationStatus::Calibrated) << log.text().toStdString();
    EXPECT_TRUE(log.text().endsWith("Detecting outliers: 3:2 7:1 \n\nCalibrate again to exclude the detected "
                                    "outliers!\n\n"))
        << log.text().toStdString();
    EXPECT_EQ(textInColour(log, logcolor::Orange), "3:2 7:1 \n\nCalibrate again to exclude the detected outliers!\n\n");
    EXPECT_EQ(state.images[3].imagePoints.size(), 52u);
    EXPECT_EQ(state.images[7].objectPoints.size(), 53u);

    RecordingLogSink log2;
    const CalibrationResult r2 = calibrateIntrinsics(state, request, rec.hooks(), log2);
    ASSERT_EQ(r2.status, CalibrationStatus::Calibrated);
    EXPECT_EQ(textInColour(log2, logcolor::Reused), "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 none\n");
    EXPECT_TRUE(log2.text().endsWith("Detecting outliers: none\n"));
    EXPECT_LT(r2.rms, r.rms / 3) << "without the outliers the fit is clean again";
}
