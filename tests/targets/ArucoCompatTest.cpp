#include <gtest/gtest.h>

#include <opencv2/aruco/charuco.hpp>

#include "Common/ArucoCompat.h"
#include "synth/Renderer.h"

namespace aruco = vantiro::aruco;

TEST(ArucoCompat, PredefinedDictionaryRange)
{
    EXPECT_EQ(aruco::getPredefinedDictionary(0)->bytesList.rows, 50);
    EXPECT_EQ(aruco::getPredefinedDictionary(16)->bytesList.rows, 1024); // DICT_ARUCO_ORIGINAL
    EXPECT_EQ(aruco::getPredefinedDictionary(20)->bytesList.rows, 587);  // DICT_APRILTAG_36h11
    // DICT_ARUCO_MIP_36h12 is not in 4.6: refused rather than replaced by DICT_4X4_50.
    EXPECT_THROW(aruco::getPredefinedDictionary(21), cv::Exception);
    // The library alone would quietly hand out DICT_4X4_50 here.
    try {
        aruco::getPredefinedDictionary(99);
        FAIL() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsOutOfRange);
        EXPECT_NE(e.err.find("99"), std::string::npos);
    }
    EXPECT_THROW(aruco::getPredefinedDictionary(-1), cv::Exception);
}

TEST(ArucoCompat, BoardConstructionFailures)
{
    const auto dict = aruco::getPredefinedDictionary(0); // 50 markers
    try {
        aruco::CharucoBoard({5, 5}, 10.f, 10.f, dict);
        FAIL() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsAssert); // the library's own check
        EXPECT_NE(e.err.find("squareLength > markerLength"), std::string::npos);
    }
    EXPECT_THROW(aruco::CharucoBoard({1, 5}, 10.f, 5.f, dict), cv::Exception);
    EXPECT_THROW(aruco::CharucoBoard({11, 10}, 10.f, 5.f, dict), cv::Exception); // 55 markers
    EXPECT_NO_THROW(aruco::CharucoBoard({10, 10}, 10.f, 5.f, dict));            // exactly 50
    // 999 x 999 squares would keep the library busy for hours; refused at once.
    try {
        aruco::CharucoBoard({999, 999}, 10.f, 5.f, aruco::getPredefinedDictionary(10));
        FAIL() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsOutOfRange);
        EXPECT_NE(e.err.find("250"), std::string::npos);
    }
}

TEST(ArucoCompat, NearestMarkersReproduceTheLibrary)
{
    for (const cv::Size size : {cv::Size(5, 4), cv::Size(8, 6), cv::Size(3, 7), cv::Size(2, 2)}) {
        const auto lib = cv::aruco::CharucoBoard::create(size.width, size.height, 30.f, 22.f,
                                                         cv::aruco::getPredefinedDictionary(10));
        std::vector<std::vector<int>> idx, corners;
        aruco::nearestMarkers(lib->chessboardCorners, lib->objPoints, 30.f, idx, corners);
        EXPECT_EQ(idx, lib->nearestMarkerIdx) << size;
        EXPECT_EQ(corners, lib->nearestMarkerCorners) << size;
    }
}

TEST(ArucoCompat, LegacyLayoutMovesMarkersOnly)
{
    aruco::CharucoBoard board({5, 4}, 30.f, 22.f, aruco::getPredefinedDictionary(10));
    const auto standardCorners = board.getChessboardCorners();
    const auto standardIds = board.getIds();
    EXPECT_EQ(board.getObjPoints()[0][0], cv::Point3f(34, 4, 0)); // square (1, 0)
    board.setLegacyPattern(true);
    EXPECT_TRUE(board.getLegacyPattern());
    EXPECT_EQ(board.getObjPoints()[0][0], cv::Point3f(4, 4, 0)); // square (0, 0)
    EXPECT_EQ(board.getObjPoints()[0][2], cv::Point3f(26, 26, 0));
    EXPECT_EQ(board.getObjPoints()[2][0], cv::Point3f(124, 4, 0)); // third marker of row 0: square (4, 0)
    EXPECT_EQ(board.getChessboardCorners(), standardCorners);
    EXPECT_EQ(board.getIds(), standardIds);
    // The interpolation tables follow the markers: inner corner 0 at (30, 30) now sits between
    // marker 0 (square (0, 0), its bottom-right corner) and the marker of square (1, 1).
    const auto& lib = *board.legacyBoardObject();
    ASSERT_EQ(lib.nearestMarkerIdx[0].size(), 2u);
    EXPECT_EQ(lib.nearestMarkerIdx[0][0], 0);
    EXPECT_EQ(lib.nearestMarkerCorners[0][0], 2);
    EXPECT_EQ(board.markerSquares()[lib.nearestMarkerIdx[0][1]], cv::Point(1, 1));
    board.setLegacyPattern(false);
    EXPECT_EQ(board.getObjPoints()[0][0], cv::Point3f(34, 4, 0));

    // Odd row counts: both layouts are one.
    aruco::CharucoBoard odd({5, 5}, 30.f, 22.f, aruco::getPredefinedDictionary(10));
    const auto before = odd.getObjPoints();
    odd.setLegacyPattern(true);
    EXPECT_EQ(odd.getObjPoints(), before);
}

TEST(ArucoCompat, DrawingMatchesTheLibraryAndDrawsLegacyBoards)
{
    const auto dict = aruco::getPredefinedDictionary(10);
    for (const auto& [size, margin] : std::vector<std::pair<cv::Size, int>>{
             {{500, 400}, 0}, {{613, 480}, 17}, {{400, 700}, 25}}) {
        aruco::CharucoBoard board({5, 4}, 100.f, 70.f, dict);
        cv::Mat ours, theirs;
        aruco::drawCharucoBoard(board, size, ours, margin, 1);
        board.legacyBoardObject()->draw(size, theirs, margin, 1);
        EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_L1), 0) << size << " margin " << margin;
    }
    aruco::CharucoBoard legacy({5, 4}, 100.f, 70.f, dict);
    legacy.setLegacyPattern(true);
    cv::Mat img;
    legacy.generateImage({500, 400}, img, 0, 1);
    EXPECT_EQ(img.at<uchar>(3, 3), 255);   // top-left square white
    EXPECT_EQ(img.at<uchar>(3, 103), 0);   // its right neighbour black
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<int> ids;
    aruco::ArucoDetector(dict).detectMarkers(img, corners, ids);
    ASSERT_EQ(ids.size(), 10u);
    const auto it = std::find(ids.begin(), ids.end(), 0);
    ASSERT_NE(it, ids.end());
    const cv::Point2f tl = corners[size_t(it - ids.begin())][0];
    EXPECT_NEAR(tl.x, 15, 1.5); // marker 0 in square (0, 0), inset 15 px
    EXPECT_NEAR(tl.y, 15, 1.5);
}

TEST(ArucoCompat, CharucoCornersUsePixelCentres)
{
    using namespace vantiro::synth;
    MainWindowSettings s;
    s.targetType = ChArUco;
    s.numSquaresX = 7;
    s.numSquaresY = 5;
    s.squareWidth = s.squareHeight = 40;
    s.markerSize = 30;
    s.dictionary = 10;
    const BoardPattern pattern(s);
    const CameraModel cam = CameraModel::ideal({640, 480}, 700);
    const auto dict = aruco::getPredefinedDictionary(10);
    const aruco::CharucoBoard board({7, 5}, 40.f, 30.f, dict);
    cv::Point2d offsetRaw(0, 0), offsetOurs(0, 0);
    int n = 0;
    for (int k = 0; k < 4; ++k) {
        const TargetPose pose =
            viewPose(pattern, distanceForCoverage(cam, pattern, 0.7), 12 - 8 * k, 6 * k - 9, 20 * k);
        const Rendering r = render(cam, pattern, pose, RenderOptions());
        std::vector<std::vector<cv::Point2f>> markers;
        std::vector<int> ids;
        aruco::ArucoDetector(dict).detectMarkers(r.grey, markers, ids);
        std::vector<cv::Point2f> raw, ours;
        std::vector<int> rawIds, ourIds;
        cv::aruco::interpolateCornersCharuco(markers, ids, r.grey, board.legacyBoardObject(), raw, rawIds);
        aruco::CharucoDetector(board).detectBoard(r.grey, ours, ourIds, markers, ids);
        ASSERT_EQ(ourIds, rawIds);
        ASSERT_GE(ours.size(), 12u);
        for (size_t i = 0; i < ours.size(); ++i) {
            EXPECT_EQ(ours[i], raw[i] - cv::Point2f(0.5f, 0.5f));
            const cv::Point2d truth = r.corners[size_t(ourIds[i])].image;
            ASSERT_EQ(r.corners[size_t(ourIds[i])].id, ourIds[i]);
            offsetRaw += cv::Point2d(raw[i]) - truth;
            offsetOurs += cv::Point2d(ours[i]) - truth;
            ++n;
        }
    }
    offsetRaw /= double(n);
    offsetOurs /= double(n);
    EXPECT_NEAR(offsetRaw.x, 0.5, 0.05);
    EXPECT_NEAR(offsetRaw.y, 0.5, 0.05);
    EXPECT_NEAR(offsetOurs.x, 0.0, 0.05);
    EXPECT_NEAR(offsetOurs.y, 0.0, 0.05);
}

TEST(ArucoCompat, DetectBoardFindsMarkersItselfAndHandsThemBack)
{
    const auto dict = aruco::getPredefinedDictionary(10);
    const aruco::CharucoBoard board({5, 4}, 100.f, 70.f, dict);
    cv::Mat img;
    board.generateImage({560, 460}, img, 30, 1);
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> markers;
    std::vector<int> markerIds;
    aruco::CharucoDetector(board).detectBoard(img, corners, ids, markers, markerIds);
    EXPECT_EQ(markerIds.size(), 10u);
    EXPECT_EQ(corners.size(), 12u);
    // Nothing to find: both outputs emptied.
    corners.assign(3, cv::Point2f());
    ids.assign(3, 1);
    aruco::CharucoDetector(board).detectBoard(cv::Mat(100, 100, CV_8UC1, cv::Scalar(255)), corners, ids);
    EXPECT_TRUE(corners.empty());
    EXPECT_TRUE(ids.empty());
}
