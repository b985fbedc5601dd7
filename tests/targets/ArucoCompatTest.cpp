#include <gtest/gtest.h>

#include "Common/ArucoCompat.h"
#include "TargetTestSupport.h"

namespace aruco = vantiro::aruco;
using vantiro::test::raisedBy;

TEST(ArucoCompat, RefusesWhatTheLibraryWouldMishandle)
{
    // DICT_ARUCO_MIP_36h12 (21) is not in 4.6, and for other ids the library alone would quietly
    // hand out DICT_4X4_50: refused, naming the id.
    EXPECT_EQ(aruco::getPredefinedDictionary(20)->bytesList.rows, 587); // DICT_APRILTAG_36h11, the last one
    for (const int id : {21, 99, -1}) {
        const cv::Exception e = raisedBy([id] { aruco::getPredefinedDictionary(id); });
        EXPECT_TRUE(e.code == cv::Error::StsOutOfRange && e.err.find(std::to_string(id)) != std::string::npos) << e.err;
    }
    // A marker as large as the square: the library's own check.
    const auto dict = aruco::getPredefinedDictionary(0); // 50 markers
    const cv::Exception e = raisedBy([&] { aruco::CharucoBoard({5, 5}, 10.f, 10.f, dict); });
    EXPECT_TRUE(e.code == cv::Error::StsAssert && e.err.find("squareLength > markerLength") != std::string::npos);
    EXPECT_THROW(aruco::CharucoBoard({11, 10}, 10.f, 5.f, dict), cv::Exception); // 55 markers
    EXPECT_NO_THROW(aruco::CharucoBoard({10, 10}, 10.f, 5.f, dict));            // exactly 50
    // 999 x 999 squares would keep the library busy for hours; refused at once.
    const cv::Exception huge =
        raisedBy([] { aruco::CharucoBoard({999, 999}, 10.f, 5.f, aruco::getPredefinedDictionary(10)); });
    EXPECT_TRUE(huge.code == cv::Error::StsOutOfRange && huge.err.find("250") != std::string::npos) << huge.err;
}

TEST(ArucoCompat, LegacyLayoutDrawingAndDetection)
{
    // The legacy layout moves the markers only: marker 0 from square (1, 0) to (0, 0), the third
    // marker of row 0 to square (4, 0). (The interpolation tables that follow the markers are
    // held to the rendered truth by the legacy cases of TargetDetectionTest.)
    aruco::CharucoBoard small({5, 4}, 30.f, 22.f, aruco::getPredefinedDictionary(10));
    const auto standard = small.getObjPoints();
    const auto innerCorners = small.getChessboardCorners();
    const auto markerIdsOfBoard = small.getIds();
    small.setLegacyPattern(true);
    const auto& legacy = small.getObjPoints();
    EXPECT_TRUE(legacy[0][0] == cv::Point3f(4, 4, 0) && legacy[0][2] == cv::Point3f(26, 26, 0) &&
                legacy[2][0] == cv::Point3f(124, 4, 0));
    EXPECT_TRUE(small.getChessboardCorners() == innerCorners && small.getIds() == markerIdsOfBoard);
    small.setLegacyPattern(false);
    EXPECT_EQ(small.getObjPoints(), standard);
    // Odd row counts: both layouts are one.
    aruco::CharucoBoard odd({5, 5}, 30.f, 22.f, aruco::getPredefinedDictionary(10));
    const auto before = odd.getObjPoints();
    odd.setLegacyPattern(true);
    EXPECT_EQ(odd.getObjPoints(), before);

    // Our drawing (used for the legacy layout) is the library's, pixel for pixel, on the standard
    // layout, with the grid fitted across and along.
    const aruco::CharucoBoard board({5, 4}, 100.f, 70.f, aruco::getPredefinedDictionary(10));
    for (const auto& [size, margin] :
         std::vector<std::pair<cv::Size, int>>{{{500, 400}, 0}, {{613, 480}, 17}, {{400, 700}, 25}}) {
        cv::Mat ours, theirs;
        aruco::drawCharucoBoard(board, size, ours, margin, 1);
        board.legacyBoardObject()->draw(size, theirs, margin, 1);
        EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_L1), 0) << size << " margin " << margin;
    }
    // Without markers handed in, the board detector finds them itself and hands them back;
    // with nothing to find, both outputs are emptied.
    cv::Mat img;
    board.generateImage({560, 460}, img, 30, 1);
    std::vector<std::vector<cv::Point2f>> markers;
    std::vector<cv::Point2f> corners;
    std::vector<int> markerIds, ids;
    aruco::CharucoDetector(board).detectBoard(img, corners, ids, markers, markerIds);
    EXPECT_TRUE(markerIds.size() == 10 && corners.size() == 12) << markerIds.size() << ", " << corners.size();
    ids.assign(3, 1);
    aruco::CharucoDetector(board).detectBoard(cv::Mat(100, 100, CV_8UC1, cv::Scalar(255)), corners, ids);
    EXPECT_TRUE(corners.empty() && ids.empty());
}
