// The quality pictures: heat map with its contours and coverage, residual vectors, corner
// density and the per-image chart with its clickable bars.

#include <gtest/gtest.h>

#include <cmath>

#include "intrinsic/QualityPictures.h"

using namespace vantiro::intrinsic;

namespace {

const cv::Vec3b kGrey(80, 80, 80), kBackground(40, 40, 40);

// A 400 x 300 image whose uncertainty grows linearly with x from 0 to 1.2 px; the board covered
// its left half; one view with one corner.
CalibrationQuality rampQuality()
{
    CalibrationQuality q;
    q.imageSize = {400, 300};
    for (UncertaintyMap* map : {&q.atDistance, &q.atInfinity}) {
        map->imageSize = q.imageSize;
        map->sigma.create(4, 5, CV_32F);
        for (int c = 0; c < 5; ++c)
            map->sigma.col(c).setTo(1.2 * map->node(c, 0).x / 399.0);
    }
    q.covered = cv::Mat::zeros(300, 400, CV_8U);
    q.covered.colRange(0, 200).setTo(255);
    q.cornerCount = cv::Mat::zeros(19, 25, CV_32S);
    q.cornerCount.at<int>(2, 3) = 4;
    q.cornerCount.at<int>(2, 4) = 1;
    q.views.push_back({3, {{100.f, 150.f}}, {{0.03f, -0.04f}}, 0.05});
    return q;
}

} // namespace

TEST(QualityPictures, HeatMapColoursContoursAndCoverage)
{
    const CalibrationQuality q = rampQuality();
    const cv::Mat plain = uncertaintyPicture(q, {.coverage = false});
    ASSERT_EQ(plain.size(), cv::Size(400 + kLegendWidth, 300));
    EXPECT_EQ(plain.type(), CV_8UC3);
    // Away from the contours every pixel has the colour of its value; the scale is logarithmic
    // between 0.01 and 10 px and clamped outside.
    EXPECT_EQ(plain.at<cv::Vec3b>(150, 250), uncertaintyColor(q.atDistance.at({250, 150})));
    EXPECT_EQ(uncertaintyColor(0.001), uncertaintyColor(0.01));
    EXPECT_EQ(uncertaintyColor(100.0), uncertaintyColor(10.0));
    EXPECT_NE(uncertaintyColor(0.1), uncertaintyColor(1.0));
    EXPECT_EQ(uncertaintyColor(NAN), kGrey);
    // A contour line (black) where the value crosses each level, nowhere else along a row clear of
    // the level labels.
    std::vector<int> black;
    for (int x = 0; x < 400; ++x)
        if (plain.at<cv::Vec3b>(20, x) == cv::Vec3b(0, 0, 0))
            black.push_back(x);
    ASSERT_EQ(black.size(), kContourLevels.size()) << (black.empty() ? -1 : black[0]) << " " << black.back();
    for (size_t i = 0; i < kContourLevels.size(); ++i)
        EXPECT_NEAR(black[i], kContourLevels[i] / 1.2 * 399.0, 1.5) << kContourLevels[i];

    // Coverage: the uncovered right half is dimmed, the left is not; the border between them is white.
    const cv::Mat covered = uncertaintyPicture(q);
    EXPECT_EQ(covered.at<cv::Vec3b>(150, 100), plain.at<cv::Vec3b>(150, 100));
    const cv::Vec3b raw = plain.at<cv::Vec3b>(150, 350), dim = covered.at<cv::Vec3b>(150, 350);
    EXPECT_LT(cv::norm(dim, kGrey), cv::norm(raw, kGrey));
    EXPECT_EQ(covered.at<cv::Vec3b>(50, 199), cv::Vec3b(255, 255, 255));

    // Nothing known: grey, and no contour.
    CalibrationQuality unknown = q;
    unknown.atDistance.sigma = cv::Mat(4, 5, CV_32F, cv::Scalar(NAN));
    const cv::Mat grey = uncertaintyPicture(unknown, {.coverage = false});
    EXPECT_EQ(cv::countNonZero(cv::Mat(grey(cv::Rect(0, 0, 400, 300)) != cv::Scalar(80, 80, 80)).reshape(1)), 0);
    // The map at infinity is the other one.
    unknown.atInfinity = q.atDistance;
    EXPECT_EQ(uncertaintyPicture(unknown, {.infinity = true, .coverage = false}).at<cv::Vec3b>(150, 250),
              plain.at<cv::Vec3b>(150, 250));
}

TEST(QualityPictures, ResidualVectorsAreMagnifiedFromTheirCorner)
{
    CalibrationQuality q = rampQuality();
    // RMS 0.05 px: 15 px / 0.05 = 300 -> 200; at half scale 600 -> 500; no residual -> 1.
    EXPECT_EQ(residualMagnification(q, 1.0), 200.0);
    EXPECT_EQ(residualMagnification(q, 0.5), 500.0);
    CalibrationQuality still = q;
    still.views[0].residuals[0] = {0.f, 0.f};
    EXPECT_EQ(residualMagnification(still, 1.0), 1.0);

    // (0.03, -0.04) x 200 = (6, -8): from (100, 150) to (106, 142).
    const cv::Mat picture = residualPicture(q);
    ASSERT_EQ(picture.size(), cv::Size(400 + kLegendWidth, 300));
    EXPECT_NE(picture.at<cv::Vec3b>(146, 103), kBackground) << "halfway along";
    EXPECT_NE(picture.at<cv::Vec3b>(142, 106), kBackground) << "the tip";
    EXPECT_EQ(picture.at<cv::Vec3b>(158, 94), kBackground) << "not the other way";
    EXPECT_EQ(picture.at<cv::Vec3b>(134, 112), kBackground) << "not longer";
    // The selected image's vectors stand out in magenta.
    EXPECT_EQ(residualPicture(q, 3).at<cv::Vec3b>(146, 103), cv::Vec3b(255, 0, 255));
    // On the heat map only when asked for.
    EXPECT_EQ(uncertaintyPicture(q, {.coverage = false}).at<cv::Vec3b>(146, 103),
              uncertaintyColor(q.atDistance.at({103, 146})));
    const cv::Vec3b white = uncertaintyPicture(q, {.coverage = false, .residuals = true}).at<cv::Vec3b>(146, 103);
    EXPECT_TRUE(white[0] > 240 && white[1] > 240 && white[2] > 240) << white;
}

TEST(QualityPictures, CornerDensityPerCell)
{
    const CalibrationQuality q = rampQuality();
    const cv::Mat picture = coveragePicture(q);
    // Cell (row 2, column 3) holds four corners, its neighbour one, the next none.
    const cv::Vec3b full = picture.at<cv::Vec3b>(2 * 16 + 8, 3 * 16 + 8);
    const cv::Vec3b one = picture.at<cv::Vec3b>(2 * 16 + 8, 4 * 16 + 8);
    EXPECT_EQ(picture.at<cv::Vec3b>(2 * 16 + 8, 5 * 16 + 8), kBackground);
    EXPECT_TRUE(full[1] > one[1] && one[1] > kBackground[1]) << full << one;
    EXPECT_EQ(full[1], 255);
}

TEST(QualityPictures, ChartBarsFollowTheRmsAndSelectTheirImage)
{
    CalibrationQuality q;
    q.imageSize = {640, 480};
    const double rms[] = {0.2, 0.1, 0.05};
    for (int i = 0; i < 3; ++i)
        q.views.push_back({10 + i, {}, {}, rms[i]});
    const ViewErrorChart chart = viewErrorChart(q, {400, 200}, 11);
    ASSERT_EQ(chart.picture.size(), cv::Size(400, 200));
    ASSERT_EQ(chart.columns.size(), 3u);
    EXPECT_EQ(chart.images, std::vector<int>({10, 11, 12}));
    // Bar heights in proportion to the RMS: from the bottom up to the first background pixel.
    std::vector<int> heights;
    for (const cv::Rect& column : chart.columns) {
        const int x = column.x + column.width / 2, bottom = column.br().y - 1;
        int y = bottom;
        while (y > column.y && chart.picture.at<cv::Vec3b>(y - 1, x) != kBackground &&
               chart.picture.at<cv::Vec3b>(y - 1, x) != cv::Vec3b(90, 90, 90))
            --y;
        heights.push_back(bottom - y);
    }
    EXPECT_NEAR(heights[1] * 2.0, heights[0], 4.0);
    EXPECT_NEAR(heights[2] * 4.0, heights[0], 8.0);
    EXPECT_GT(heights[0], 100);
    // Clicks anywhere in a column, even above the bar, select its image; beside the plot nothing.
    for (int i = 0; i < 3; ++i) {
        const cv::Rect c = chart.columns[size_t(i)];
        EXPECT_EQ(chart.imageAt({double(c.x), double(c.y) + 1}), 10 + i) << "its first pixel";
        EXPECT_EQ(chart.imageAt({c.br().x - 0.5, c.br().y - 0.5}), 10 + i);
    }
    EXPECT_EQ(chart.imageAt({5, 100}), -1);
    EXPECT_EQ(chart.imageAt({200, 2}), -1);
    EXPECT_EQ(chart.imageAt({chart.columns[0].x + 5.0, double(chart.columns[0].br().y) + 1}), -1);
    // The selected bar is outlined.
    const cv::Rect c = chart.columns[1];
    EXPECT_EQ(chart.picture.at<cv::Vec3b>(c.br().y - 1, c.x + c.width / 2), cv::Vec3b(255, 255, 255));
    EXPECT_NE(chart.picture.at<cv::Vec3b>(chart.columns[0].br().y - 1, chart.columns[0].x + c.width / 2),
              cv::Vec3b(255, 255, 255));
}
