// The error colour ramp and the per-corner error and outlier analysis.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <cmath>

#include "IntrinsicTestData.h"
#include "app/Settings.h"
#include "intrinsic/ErrorAnalysis.h"

using namespace intrinsic_test;

namespace {

const cv::Mat kPlainK = (cv::Mat_<double>(3, 3) << 800, 0, 320, 0, 800, 240, 0, 0, 1);

// A 4 x 3 grid of 20 mm seen by a plain camera, with pixel offsets added to some corners.
ImageState gridImage(const std::map<int, cv::Point2f>& offsets)
{
    ImageState image;
    for (int j = 0; j < 12; ++j)
        image.objectPoints.emplace_back(j % 4 * 20.f, j / 4 * 20.f, 0.f);
    image.rvec = (cv::Mat_<double>(3, 1) << 0.1, -0.05, 0.02);
    image.tvec = (cv::Mat_<double>(3, 1) << -30, -20, 400);
    cv::projectPoints(image.objectPoints, image.rvec, image.tvec, kPlainK, cv::noArray(), image.imagePoints);
    for (const auto& [j, d] : offsets)
        image.imagePoints[size_t(j)] += d;
    return image;
}

} // namespace

TEST(ErrorColor, FixedRampCentredOnOnePixelOrRangeModeBetweenMinimumAndMaximum)
{
    const std::optional<double> no;
    // value, minimum, maximum, range mode -> red, green; f = 1 / (1/value + 1) in fixed mode.
    const struct { double v; std::optional<double> lo, hi; bool range; double r, g; } cases[] = {
        {0.0, no, no, false, 0, 0.666}, {-1.0, no, no, false, 0, 0.666}, {NAN, no, no, false, 0, 0.666},
        {1.0, no, no, false, 1, 0.666}, {0.5, no, no, false, 2.0 / 3.0, 0.666}, {3.0, no, no, false, 1, 0.333},
        {1.0, 0.0, 10.0, false, 1, 0.666}, {1.0, 0.0, no, true, 1, 0.666}, // fixed ramp: no range mode, one end
        {1.0, 1.0, 3.0, true, 0, 0.666}, {1.5, 1.0, 3.0, true, 0.5, 0.666}, {2.0, 1.0, 3.0, true, 1, 0.666},
        {2.5, 1.0, 3.0, true, 1, 0.333}, {9.0, 1.0, 3.0, true, 1, 0}, {0.0, 1.0, 3.0, true, 0, 0.666}, // clamped
        {5.0, 2.0, 2.0, true, 0, 0.666}}; // an empty range is green
    for (const auto& c : cases)
        EXPECT_LT(cv::norm(errorColor(c.v, c.lo, c.hi, c.range) - cv::Vec3d(c.r, c.g, 0)), 1e-9)
            << c.v << (c.range ? " in range mode" : "");
    EXPECT_EQ(toRgb8({1.5, -0.2, 0.999}), cv::Vec3b(255, 0, 254));
    EXPECT_EQ(colorName({1, 0.666, 0}), "#ffa900");
    EXPECT_EQ(colorStyleSheet({1, 0.666, 0}), "color:rgb(255,169.83,0);");
}

TEST(AnalyseErrors, RemovesCornersAboveTheThresholdLogsThemAndColoursTheRest)
{
    setDynamicMinMaxColorMapping(false); // the process-wide switch: fixed ramp, whatever range the analysis gives
    std::vector<ImageState> images{gridImage({{1, {9.f, 0.f}}}), gridImage({}), ImageState(),
                                   gridImage({{2, {3.f, 0.f}}, {7, {0.f, -4.f}}, {5, {1.7f, 0.9f}}}),
                                   gridImage({{0, {6.f, 0.f}}})};
    images[0].rvec.release(); // not part of the calibration: never looked at
    // The threshold is exactly corner 5's error as the analysis computes it: that corner stays.
    const cv::Point2f d = images[3].imagePoints[5] - gridImage({}).imagePoints[5];
    RecordingLogSink log;
    EXPECT_TRUE(analyseErrors(images, kPlainK, cv::Mat::zeros(1, 5, CV_64F), true,
                              std::sqrt(double(d.x) * d.x + double(d.y) * d.y), log));
    EXPECT_EQ(tagged(log), "<orange>3:2 4:1 </>");
    EXPECT_TRUE(images[0].imagePoints.size() == 12 && images[0].cornerColors.empty());
    EXPECT_EQ(images[1].cornerColors, std::vector<cv::Vec3b>(12, cv::Vec3b(0, 169, 0)));
    EXPECT_TRUE(images[3].imagePoints.size() == 10 && images[3].reprojected.size() == 10 &&
                images[3].cornerColors.size() == 10 && images[4].imagePoints.size() == 11);
    // The right corners went: 2 at (40, 0) and 7 at (60, 20); 5 at (20, 20) is still there.
    std::vector<cv::Point3f> kept = gridImage({}).objectPoints;
    kept.erase(kept.begin() + 7);
    kept.erase(kept.begin() + 2);
    EXPECT_EQ(images[3].objectPoints, kept);
    // Minimum and maximum are taken before removal.
    EXPECT_TRUE(std::abs(images[3].maxError - 4.0) < 1e-3 && images[3].minError < 1e-3);

    // Without removal every corner stays and gets its colour; with no outlier the log says so.
    images = {gridImage({{4, {1.f, 0.f}}, {9, {30.f, 40.f}}})};
    EXPECT_FALSE(analyseErrors(images, kPlainK, cv::Mat(), false, 2.5, log));
    EXPECT_TRUE(images[0].cornerColors.size() == 12 && images[0].cornerColors[9] == cv::Vec3b(255, 6, 0)) << "50 px";
    EXPECT_EQ(images[0].cornerColors[4], cv::Vec3b(255, 169, 0)) << "1 px is the yellow middle";
    EXPECT_FALSE(analyseErrors(images, kPlainK, cv::Mat(), true, 99.0, log));
    EXPECT_EQ(tagged(log), "<orange>3:2 4:1 </><reused>none\n</>");

    // In range mode the ramp spans each image's own errors; equal errors are all green.
    setDynamicMinMaxColorMapping(true);
    images.push_back(gridImage({}));
    for (auto& p : images[1].imagePoints)
        p.y += 2.f;
    analyseErrors(images, kPlainK, cv::Mat(), false, 5.0, log);
    EXPECT_TRUE(images[0].cornerColors[9] == cv::Vec3b(255, 0, 0) && images[0].cornerColors[0] == cv::Vec3b(0, 169, 0));
    EXPECT_EQ(images[1].cornerColors, std::vector<cv::Vec3b>(12, cv::Vec3b(0, 169, 0)));

    // The list colours span the images that took part in the last calibration (RMS >= 0).
    std::vector<ImageState> rms(4);
    EXPECT_FALSE(rmsRange(rms).has_value());
    rms[0].rms = 0.4, rms[2].rms = 0.1, rms[3].rms = 0.25;
    EXPECT_EQ(rmsRange(rms), std::make_pair(0.1, 0.4));
}
