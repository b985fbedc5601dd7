#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "Common/ArucoCompat.h"
#include "Common/TargetHelpers.h"
#include "TargetTestSupport.h"

// A 'rows' x 'cols' grid of corners, 'step' px apart from 'origin', row-major.
static std::vector<cv::Point2f> grid(int rows, int cols, float step = 10.f, cv::Point2f origin = {100.f, 50.f})
{
    std::vector<cv::Point2f> out;
    for (int i = 0; i < rows * cols; ++i)
        out.push_back(origin + step * cv::Point2f(float(i % cols), float(i / cols)));
    return out;
}

static cv::Mat metaWithOrigin(int rows, int cols, int r0, int c0)
{
    cv::Mat meta(rows, cols, CV_8UC1, cv::Scalar(1));
    meta.at<uchar>(r0, c0) = 4;
    return meta;
}

TEST(TargetHelpers, ExtractionPlacesTheOriginAtTheGridCentre)
{
    // The worked example: full grid 8 x 9, sub-grid 4 x 5 with the origin at row 1, column 2,
    // placed at the centre corner (3, 3): sub-grid (r, c) becomes grid (c + 1, r + 2).
    const std::vector<cv::Point2f> corners = grid(4, 5);
    testing::internal::CaptureStdout();
    TargetCornerList list = TNQ::extractTargetCornerTripletsFromMeta(corners, metaWithOrigin(4, 5, 1, 2), {8, 9}, 25.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "   meta.rows:   4   meta.cols:   5   corners.size():   20\n");
    ASSERT_EQ(list.size(), 20u);
    for (int i = 0; i < 20; ++i) // sub-grid (i / 5, i % 5)
        EXPECT_TRUE(list[i].imagePoint == corners[i] && list[i].id == 8 * (i / 5 + 2) + i % 5 + 1 &&
                    list[i].objectPoint == cv::Point3f(25.f * (i % 5 + 1), 25.f * (i / 5 + 2), 0.f)) << i;
    // Origin at the sub-grid's last column of a full grid of 5 rows: only columns 1..4 and rows
    // 0..3 land in it, at grid (c - 1, r + 1); the rest is dropped.
    const std::vector<cv::Point2f> cut = grid(6, 5);
    list = TNQ::extractTargetCornerTripletsFromMeta(cut, metaWithOrigin(6, 5, 0, 4), {8, 5}, 10.f);
    ASSERT_EQ(list.size(), 16u);
    EXPECT_TRUE(list.front().imagePoint == cut[1] && list.front().id == 8);
    EXPECT_TRUE(list.back().imagePoint == cut[19] && list.back().id == 35);
    EXPECT_EQ(list.back().objectPoint, cv::Point3f(30.f, 40.f, 0.f));
    // No origin mark: a line on standard error, nothing on standard output, no corners.
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    list = TNQ::extractTargetCornerTripletsFromMeta(grid(3, 3), cv::Mat(3, 3, CV_8UC1, cv::Scalar(2)), {8, 9}, 10.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Marker (meta == 4) not found. Cannot establish origin.\n");
    EXPECT_TRUE(list.empty());

    // A meta matrix of another type or size: the library's assertion error, at its line.
    const cv::Exception type = vantiro::test::raisedBy([&] {
        TNQ::extractTargetCornerTripletsFromMeta(corners, cv::Mat(4, 5, CV_32SC1, cv::Scalar(0)), {8, 9}, 10.f);
    });
    EXPECT_TRUE(type.code == cv::Error::StsAssert && type.err == "meta.type() == CV_8UC1" && type.line == 191 &&
                type.file.find("Common/TargetHelpers") != std::string::npos &&
                type.func.find("extractTargetCornerTripletsFromMeta") != std::string::npos)
        << type.what();
    const cv::Exception count = vantiro::test::raisedBy(
        [&] { TNQ::extractTargetCornerTripletsFromMeta(corners, metaWithOrigin(4, 4, 1, 1), {8, 9}, 10.f); });
    EXPECT_TRUE(count.code == cv::Error::StsAssert && count.err == "(int)corners.size() == subRows * subCols" &&
                count.line == 192)
        << count.what();
}

// The checks that decide which detected corners and markers to believe.
TEST(TargetHelpers, PlausibilityOfDetectedGridsAndMarkers)
{
    // A perspective view of a plane, bent by barrel distortion (35 px at the far corner): every
    // corner agrees with its neighbours to well under the detector's 2 px.
    const cv::Matx33d H(1.2, 0.1, 300, -0.05, 0.9, 200, 0.0004, 0.0002, 1);
    const int rows = 7, cols = 9;
    std::vector<cv::Point2f> good;
    for (const cv::Point2f& g : grid(rows, cols, 45.f, {0.f, 0.f})) {
        const cv::Vec3d p = H * cv::Vec3d(g.x, g.y, 1.0);
        const cv::Point2d u(p[0] / p[2] - 320, p[1] / p[2] - 240);
        good.push_back(cv::Point2d(320, 240) + u * (1 - 0.08 * u.dot(u) / (500.0 * 500.0)));
    }
    std::vector<double> res = TNQ::gridResiduals(good, rows, cols);
    ASSERT_EQ(res.size(), good.size());
    EXPECT_LT(*std::max_element(res.begin(), res.end()), 1.0);
    // The detector's made-up corners: a corner of the grid and three of the last column, some
    // 50 px out. Their neighbours are not blamed.
    std::vector<cv::Point2f> bad = good;
    bad[0] += cv::Point2f(6, -5);
    for (const int i : {cols - 1, 2 * cols - 1, 3 * cols - 1})
        bad[i] += cv::Point2f(50, 8);
    res = TNQ::gridResiduals(bad, rows, cols);
    EXPECT_GT(res[0], 6.0);
    EXPECT_GT(std::min({res[cols - 1], res[2 * cols - 1], res[3 * cols - 1]}), 40.0);
    EXPECT_EQ(std::count_if(res.begin(), res.end(), [](double e) { return e > 2.0; }), 4);
    // Spacing: the median neighbour distance, untouched by the made-up corners.
    const double spacing = TNQ::gridSpacing(good, rows, cols);
    EXPECT_TRUE(spacing > 35.0 && spacing < 60.0) << spacing;
    EXPECT_NEAR(TNQ::gridSpacing(bad, rows, cols), spacing, 1.0);
    // Grids too small or not matching the list; two corners swapped, as in bogus grids.
    EXPECT_TRUE(TNQ::gridResiduals(good, 2, 31).empty() && TNQ::gridResiduals(good, 6, 9).empty());
    std::swap(good[10], good[20]);
    res = TNQ::gridResiduals(good, rows, cols);
    EXPECT_GT(std::min(res[10], res[20]), 20.0);

    // Marker layouts: three markers of a board's layout, seen at 2 px/mm shifted by (50, 20).
    const auto dict = vantiro::aruco::getPredefinedDictionary(0);
    const auto layout = vantiro::aruco::CharucoBoard({3, 2}, 10.f, 6.f, dict).getObjPoints();
    std::vector<std::vector<cv::Point2f>> image(layout.size());
    for (size_t m = 0; m < layout.size(); ++m)
        for (const cv::Point3f& p : layout[m])
            image[m].emplace_back(50 + 2 * p.x, 20 + 2 * p.y);
    EXPECT_LT(TNQ::markerLayoutResidual(image, {0, 1, 2}, layout), 1e-3);
    EXPECT_GT(TNQ::markerLayoutResidual(image, {1, 0, 2}, layout), 5.0); // markers in other places
    // Two markers fit any layout: no verdict (infinite); unknown ids are ignored.
    EXPECT_TRUE(std::isinf(TNQ::markerLayoutResidual({image[0], image[1]}, {0, 1}, layout)));
    EXPECT_TRUE(std::isinf(TNQ::markerLayoutResidual(image, {0, 1, 7}, layout)));

    // A frontal board of 40 px squares with a white margin of two squares. The corners' last
    // column lies in the margin (made up there), and one corner sits next to a real one.
    cv::Mat img(340, 420, CV_8UC1, cv::Scalar(220));
    for (int i = 0; i < 48; i += 2) // 6 x 8 squares, black where row + column is even
        img(cv::Rect(20 + 40 * (i % 8 + i / 8 % 2), 20 + 40 * (i / 8), 40, 40)).setTo(30);
    std::vector<cv::Point2f> corners = grid(5, 8, 40.f, {59.5f, 59.5f});
    corners[19] += cv::Point2f(7, -4);
    const std::vector<bool> seen = TNQ::cornersSeenInImage(img, corners, 5, 8);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(seen[i], i % 8 != 7 && i != 19) << "corner " << i;

    // A flat grid image (30 px cells from (20, 20)) with the three dots drawn: found; on a blank
    // image, without the origin dot or without an origin in meta: not.
    corners = grid(5, 6, 30.f, {20.f, 20.f});
    cv::Mat meta = metaWithOrigin(5, 6, 1, 2);
    meta.at<uchar>(1, 3) = meta.at<uchar>(2, 2) = 3;
    EXPECT_FALSE(TNQ::markerDotsVisible(cv::Mat(200, 220, CV_8UC1, cv::Scalar(128)), corners, meta));
    img = cv::Mat(200, 220, CV_8UC1, cv::Scalar(220));
    img(cv::Rect(110, 50, 30, 30)).setTo(30); // black cell right of the origin cell
    img(cv::Rect(80, 80, 30, 30)).setTo(30);  // black cell below it
    cv::circle(img, {125, 65}, 5, cv::Scalar(220), cv::FILLED);
    cv::circle(img, {95, 95}, 5, cv::Scalar(220), cv::FILLED);
    EXPECT_FALSE(TNQ::markerDotsVisible(img, corners, meta)); // no origin dot yet
    cv::circle(img, {95, 65}, 5, cv::Scalar(30), cv::FILLED);
    EXPECT_TRUE(TNQ::markerDotsVisible(img, corners, meta));
    meta.at<uchar>(1, 2) = 1;
    EXPECT_FALSE(TNQ::markerDotsVisible(img, corners, meta));
}
