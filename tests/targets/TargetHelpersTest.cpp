#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <string>

#include "Common/TargetHelpers.h"

namespace {

// A 'rows' x 'cols' grid of corners, 10 px apart, starting at (100, 50).
std::vector<cv::Point2f> grid(int rows, int cols)
{
    std::vector<cv::Point2f> out;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            out.emplace_back(100.f + 10.f * c, 50.f + 10.f * r);
    return out;
}

cv::Mat metaWithOrigin(int rows, int cols, int r0, int c0)
{
    cv::Mat meta(rows, cols, CV_8UC1, cv::Scalar(1));
    meta.at<uchar>(r0, c0) = 4;
    return meta;
}

} // namespace

TEST(TargetHelpers, ExtractionChecksRaiseAssertionsAtTheirLines)
{
    const std::vector<cv::Point2f> corners = grid(3, 4);
    try {
        TNQ::extractTargetCornerTripletsFromMeta(corners, cv::Mat(3, 4, CV_32SC1, cv::Scalar(0)), {8, 9}, 10.f);
        FAIL() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsAssert);
        EXPECT_EQ(e.err, "meta.type() == CV_8UC1");
        EXPECT_EQ(e.line, 191);
        EXPECT_NE(e.file.find("Common/TargetHelpers"), std::string::npos);
        EXPECT_NE(e.func.find("extractTargetCornerTripletsFromMeta"), std::string::npos);
    }
    try {
        TNQ::extractTargetCornerTripletsFromMeta(corners, metaWithOrigin(4, 4, 1, 1), {8, 9}, 10.f);
        FAIL() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsAssert);
        EXPECT_EQ(e.err, "(int)corners.size() == subRows * subCols");
        EXPECT_EQ(e.line, 192);
    }
}

TEST(TargetHelpers, ExtractionPlacesOriginAtGridCentre)
{
    // The worked example: full grid 8 x 9, sub-grid 4 x 5 with the origin at row 1, column 2.
    const std::vector<cv::Point2f> corners = grid(4, 5);
    testing::internal::CaptureStdout();
    const TargetCornerList list = TNQ::extractTargetCornerTripletsFromMeta(corners, metaWithOrigin(4, 5, 1, 2),
                                                                           {8, 9}, 25.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "   meta.rows:   4   meta.cols:   5   corners.size():   20\n");
    ASSERT_EQ(list.size(), 20u);
    // Sub-grid (r, c) -> grid (c + 1, r + 2).
    const TargetCorner& first = list.front();
    EXPECT_EQ(first.imagePoint, corners[0]);
    EXPECT_EQ(first.objectPoint, cv::Point3f(25.f, 50.f, 0.f));
    EXPECT_EQ(first.id, 8 * 2 + 1);
    const TargetCorner& origin = list[size_t(1 * 5 + 2)];
    EXPECT_EQ(origin.id, 8 * 3 + 3); // the centre corner (3, 3)
    EXPECT_EQ(origin.objectPoint, cv::Point3f(75.f, 75.f, 0.f));
    EXPECT_EQ(list.back().id, 8 * 5 + 5);
}

TEST(TargetHelpers, ExtractionDropsCornersOutsideTheFullGrid)
{
    // Origin at the sub-grid's last column: everything left of column 3 - 4 = -1 falls off,
    // and the full grid has only 5 rows.
    const std::vector<cv::Point2f> corners = grid(6, 5);
    testing::internal::CaptureStdout();
    const TargetCornerList list =
        TNQ::extractTargetCornerTripletsFromMeta(corners, metaWithOrigin(6, 5, 0, 4), {8, 5}, 10.f);
    testing::internal::GetCapturedStdout();
    // Columns: gx = c - 1 -> c = 1..4 kept; rows: gy = r + 1 -> r = 0..3 kept.
    ASSERT_EQ(list.size(), 16u);
    for (const TargetCorner& t : list) {
        EXPECT_GE(t.id, 0);
        EXPECT_LT(t.id, 8 * 5);
        EXPECT_GE(t.objectPoint.x, 0.f);
        EXPECT_LT(t.objectPoint.y, 50.f);
    }
    EXPECT_EQ(list.front().imagePoint, corners[1]);
}

TEST(TargetHelpers, ExtractionWithoutOriginWritesErrorAndReturnsNothing)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const TargetCornerList list =
        TNQ::extractTargetCornerTripletsFromMeta(grid(3, 3), cv::Mat(3, 3, CV_8UC1, cv::Scalar(2)), {8, 9}, 10.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Marker (meta == 4) not found. Cannot establish origin.\n");
    EXPECT_TRUE(list.empty());
}

TEST(TargetHelpers, GridResidualsFindMadeUpCorners)
{
    // A perspective view of a plane, bent by barrel distortion (35 px at the far corner): every
    // corner agrees with its neighbours to well under the detector's 2 px.
    const cv::Matx33d H(1.2, 0.1, 300, -0.05, 0.9, 200, 0.0004, 0.0002, 1);
    const int rows = 7, cols = 9;
    std::vector<cv::Point2f> grid;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const cv::Vec3d p = H * cv::Vec3d(45.0 * c, 45.0 * r, 1.0);
            const cv::Point2d u(p[0] / p[2] - 320, p[1] / p[2] - 240);
            const double k = 1 - 0.08 * u.dot(u) / (500.0 * 500.0);
            grid.emplace_back(float(320 + u.x * k), float(240 + u.y * k));
        }
    std::vector<double> residuals = TNQ::gridResiduals(grid, rows, cols);
    ASSERT_EQ(residuals.size(), grid.size());
    EXPECT_LT(*std::max_element(residuals.begin(), residuals.end()), 1.0);
    // The detector's made-up corners: a corner of the grid and three of the last column,
    // some of them 50 px out.
    std::vector<cv::Point2f> bad = grid;
    bad[0] += cv::Point2f(6, -5);
    for (int r = 0; r < 3; ++r)
        bad[size_t(r * cols + cols - 1)] += cv::Point2f(50, 8);
    residuals = TNQ::gridResiduals(bad, rows, cols);
    EXPECT_GT(residuals[0], 6.0);
    for (int r = 0; r < 3; ++r)
        EXPECT_GT(residuals[size_t(r * cols + cols - 1)], 40.0);
    int flagged = 0;
    for (double e : residuals)
        flagged += e > 2.0 ? 1 : 0;
    EXPECT_EQ(flagged, 4); // their neighbours are not blamed
    // Two corners swapped, as in bogus grids.
    std::vector<cv::Point2f> scrambled = grid;
    std::swap(scrambled[10], scrambled[20]);
    residuals = TNQ::gridResiduals(scrambled, rows, cols);
    EXPECT_GT(residuals[10], 20.0);
    EXPECT_GT(residuals[20], 20.0);
    EXPECT_TRUE(TNQ::gridResiduals(grid, 2, 31).empty());
    EXPECT_TRUE(TNQ::gridResiduals(grid, 6, 9).empty());
    // Spacing: the median neighbour distance, untouched by the made-up corners.
    const double spacing = TNQ::gridSpacing(grid, rows, cols);
    EXPECT_GT(spacing, 35.0);
    EXPECT_LT(spacing, 60.0);
    EXPECT_NEAR(TNQ::gridSpacing(bad, rows, cols), spacing, 1.0);
    EXPECT_EQ(TNQ::gridSpacing(grid, 6, 9), 0.0);
}

TEST(TargetHelpers, CornersSeenInImage)
{
    // A frontal board of 40 px squares: grid corner (r, c) at (60 + 40 c, 60 + 40 r), with a
    // white margin of two squares.
    cv::Mat img(340, 420, CV_8UC1, cv::Scalar(220));
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 8; ++c)
            if ((r + c) % 2 == 0)
                img(cv::Rect(20 + 40 * c, 20 + 40 * r, 40, 40)).setTo(30);
    const int rows = 5, cols = 8; // the last column lies in the margin: corners made up there
    std::vector<cv::Point2f> corners;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            corners.emplace_back(59.5f + 40.f * c, 59.5f + 40.f * r);
    corners[size_t(2 * cols + 3)] += cv::Point2f(7, -4); // next to a real corner
    const std::vector<bool> seen = TNQ::cornersSeenInImage(img, corners, rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const bool real = c < cols - 1 && !(r == 2 && c == 3);
            EXPECT_EQ(seen[size_t(r * cols + c)], real) << r << ", " << c;
        }
}

TEST(TargetHelpers, MarkerLayoutResidual)
{
    // Three markers of 10 mm at 2 px/mm, shifted by (50, 20).
    const std::vector<std::vector<cv::Point3f>> layout = {
        {{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}},
        {{20, 0, 0}, {30, 0, 0}, {30, 10, 0}, {20, 10, 0}},
        {{0, 20, 0}, {10, 20, 0}, {10, 30, 0}, {0, 30, 0}}};
    std::vector<std::vector<cv::Point2f>> image;
    for (const auto& m : layout) {
        image.emplace_back();
        for (const cv::Point3f& p : m)
            image.back().emplace_back(50 + 2 * p.x, 20 + 2 * p.y);
    }
    EXPECT_LT(TNQ::markerLayoutResidual(image, {0, 1, 2}, layout), 1e-3);
    EXPECT_GT(TNQ::markerLayoutResidual(image, {1, 0, 2}, layout), 5.0); // markers in other places
    EXPECT_TRUE(std::isinf(TNQ::markerLayoutResidual({image[0], image[1]}, {0, 1}, layout)));
    EXPECT_TRUE(std::isinf(TNQ::markerLayoutResidual(image, {0, 1, 7}, layout))); // unknown id ignored
}

TEST(TargetHelpers, TransposeGridAndSplitLists)
{
    std::vector<cv::Point2f> corners = grid(2, 3);
    cv::Mat meta = (cv::Mat_<uchar>(2, 3) << 1, 2, 4, 3, 1, 0);
    TNQ::transposeGrid(corners, meta);
    ASSERT_EQ(meta.rows, 3);
    EXPECT_EQ(meta.at<uchar>(2, 0), 4);
    EXPECT_EQ(corners[1], cv::Point2f(100, 60)); // (row 0, col 1) was (row 1, col 0)
    EXPECT_EQ(corners[4], cv::Point2f(120, 50));

    TargetCornerList list = {{{1, 2}, {3, 4, 0}, 7}, {{5, 6}, {7, 8, 0}, 3}};
    EXPECT_EQ(TNQ::imagePoints(list), (std::vector<cv::Point2f>{{1, 2}, {5, 6}}));
    EXPECT_EQ(TNQ::objectPoints(list)[1], cv::Point3f(7, 8, 0));
    EXPECT_EQ(TNQ::cornerIds(list), (std::vector<int>{7, 3}));
    ASSERT_NE(TNQ::findCorner(list, 3), nullptr);
    EXPECT_EQ(TNQ::findCorner(list, 3)->imagePoint, cv::Point2f(5, 6));
    EXPECT_EQ(TNQ::findCorner(list, 4), nullptr);
}

TEST(TargetHelpers, MarkerDotsMustBeInTheImage)
{
    // A flat grid image with the three dots drawn: found; a blank one: not.
    const int rows = 5, cols = 6;
    std::vector<cv::Point2f> corners;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            corners.emplace_back(20.f + 30.f * c, 20.f + 30.f * r);
    cv::Mat meta(rows, cols, CV_8UC1, cv::Scalar(1));
    meta.at<uchar>(1, 2) = 4;
    meta.at<uchar>(1, 3) = 3;
    meta.at<uchar>(2, 2) = 3;
    cv::Mat img(200, 220, CV_8UC1, cv::Scalar(220));
    img(cv::Rect(110, 50, 30, 30)).setTo(30); // black cell right of the origin cell
    img(cv::Rect(80, 80, 30, 30)).setTo(30);  // black cell below it
    cv::circle(img, {95, 65}, 5, cv::Scalar(30), cv::FILLED);
    cv::circle(img, {125, 65}, 5, cv::Scalar(220), cv::FILLED);
    cv::circle(img, {95, 95}, 5, cv::Scalar(220), cv::FILLED);
    EXPECT_TRUE(TNQ::markerDotsVisible(img, corners, meta));
    cv::Mat noOriginDot = img.clone();
    cv::circle(noOriginDot, {95, 65}, 6, cv::Scalar(220), cv::FILLED);
    EXPECT_FALSE(TNQ::markerDotsVisible(noOriginDot, corners, meta));
    EXPECT_FALSE(TNQ::markerDotsVisible(cv::Mat(200, 220, CV_8UC1, cv::Scalar(128)), corners, meta));
    meta.at<uchar>(1, 2) = 1;
    EXPECT_FALSE(TNQ::markerDotsVisible(img, corners, meta)); // no origin claimed
}
