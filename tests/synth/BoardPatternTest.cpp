#include <gtest/gtest.h>

#include <opencv2/aruco/charuco.hpp>

#include "Common/ArucoCompat.h"
#include "synth/BoardPattern.h"

using namespace vantiro::synth;

namespace {

MainWindowSettings settingsOf(TargetType kind, int nx, int ny, double square, int marker = 0, int dictionary = 10,
                              bool legacy = false)
{
    MainWindowSettings s;
    s.targetType = kind;
    s.numSquaresX = nx;
    s.numSquaresY = ny;
    s.squareWidth = s.squareHeight = square;
    s.markerSize = marker;
    s.dictionary = dictionary;
    s.legacyPattern = legacy;
    return s;
}

// The board sampled at pixel centres, 'scale' pixels per millimetre, no margin.
cv::Mat rasterise(const BoardPattern& board, double scale)
{
    const cv::Size2d g = board.gridSize();
    cv::Mat img(cvRound(g.height * scale), cvRound(g.width * scale), CV_8UC1);
    for (int y = 0; y < img.rows; ++y)
        for (int x = 0; x < img.cols; ++x)
            img.at<uchar>(y, x) = board.albedo((x + 0.5) / scale, (y + 0.5) / scale) > 0.5 ? 255 : 0;
    return img;
}

} // namespace

TEST(BoardPattern, ChessboardSquaresAndMargin)
{
    MainWindowSettings s = settingsOf(Chessboard, 4, 3, 10);
    s.squareHeight = 20;
    const BoardPattern board(s);
    EXPECT_EQ(board.margin(), 10);
    EXPECT_EQ(board.albedo(5, 10), 0.0);   // square (0, 0) black
    EXPECT_EQ(board.albedo(15, 10), 1.0);  // (1, 0) white
    EXPECT_EQ(board.albedo(15, 30), 0.0);  // (1, 1) black
    EXPECT_EQ(board.albedo(-5, 10), 1.0);  // margin
    EXPECT_EQ(board.albedo(-11, 10), -1.0); // off the sheet
    EXPECT_EQ(board.albedo(45, 70), -1.0);
    const std::vector<BoardCorner> corners = board.innerCorners();
    ASSERT_EQ(corners.size(), 6u);
    EXPECT_EQ(corners[4].id, 4);
    EXPECT_EQ(corners[4].point, cv::Point2d(20, 40)); // row 1, column 1
}

TEST(BoardPattern, CharucoMatchesTheLibraryDrawing)
{
    // 8 px per bit cell: the library's drawing is exact, so both must agree pixel for pixel.
    const BoardPattern board(settingsOf(ChArUco, 5, 4, 100, 64, 10));
    const cv::Mat ours = rasterise(board, 1.0);
    cv::Ptr<cv::aruco::CharucoBoard> lib =
        cv::aruco::CharucoBoard::create(5, 4, 100.f, 64.f, cv::aruco::getPredefinedDictionary(10));
    cv::Mat theirs;
    lib->draw(cv::Size(500, 400), theirs, 0, 1);
    EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_L1), 0);
}

TEST(BoardPattern, LegacyCharucoLayout)
{
    const BoardPattern legacy(settingsOf(ChArUco, 5, 4, 100, 64, 10, true));
    const BoardPattern standard(settingsOf(ChArUco, 5, 4, 100, 64, 10, false));
    ASSERT_EQ(legacy.markerSquares().size(), standard.markerSquares().size());
    EXPECT_EQ(legacy.markerSquares()[0], cv::Point(0, 0)); // white top-left square with marker 0
    EXPECT_EQ(standard.markerSquares()[0], cv::Point(1, 0));
    EXPECT_EQ(legacy.albedo(10, 10), 1.0);   // white square border around the marker
    EXPECT_EQ(legacy.albedo(150, 10), 0.0);  // square (1, 0) black
    // Same layout as the library's board in its legacy form.
    vantiro::aruco::CharucoBoard lib({5, 4}, 100.f, 64.f, vantiro::aruco::getPredefinedDictionary(10));
    lib.setLegacyPattern(true);
    EXPECT_EQ(legacy.markerSquares(), lib.markerSquares());
    // Odd row counts have one layout only.
    EXPECT_EQ(BoardPattern(settingsOf(ChArUco, 5, 5, 100, 64, 10, true)).markerSquares(),
              BoardPattern(settingsOf(ChArUco, 5, 5, 100, 64, 10, false)).markerSquares());
}

TEST(BoardPattern, RadonDotsAndRoundedRing)
{
    const BoardPattern board(settingsOf(RadonChessboardWithMarkers, 6, 5, 10), RadonMarkerCell{2, 1});
    // Dot cell (2, 1) is white with a black dot; (2, 2) and (3, 1) black with white dots.
    EXPECT_EQ(board.albedo(25, 15), 0.0);
    EXPECT_EQ(board.albedo(22, 12), 1.0);
    EXPECT_EQ(board.albedo(25, 25), 1.0);
    EXPECT_EQ(board.albedo(22, 22), 0.0);
    EXPECT_EQ(board.albedo(35, 15), 1.0);
    // An ordinary black inner cell and an ordinary white one.
    EXPECT_EQ(board.albedo(15, 15), 0.0);
    EXPECT_EQ(board.albedo(45, 15), 1.0);
    // Outer ring: cell (2, 0) is black but cut back on its outer half, with a cap of radius 5
    // centred on the cut line.
    EXPECT_EQ(board.albedo(25, 7), 0.0);
    EXPECT_EQ(board.albedo(25, 1), 0.0);  // inside the cap
    EXPECT_EQ(board.albedo(21, 1), 1.0);  // outside the cap, in the cut-away half
    // Corner cell (0, 0): a small tab in its inner quarter.
    EXPECT_EQ(board.albedo(7, 7), 0.0);
    EXPECT_EQ(board.albedo(1, 1), 1.0);
}

TEST(BoardPattern, CentredRadonMarkerIsWhite)
{
    for (const auto& [nx, ny] : std::vector<std::pair<int, int>>{{10, 7}, {10, 9}, {9, 8}, {11, 11}, {4, 4}}) {
        const RadonMarkerCell m = BoardPattern::centredRadonMarker(nx, ny);
        EXPECT_EQ((m.column + m.row) % 2, 1) << nx << " x " << ny;
        EXPECT_LE(std::abs(m.column - (nx - 1) / 2) + std::abs(m.row - (ny - 1) / 2), 1);
    }
    EXPECT_EQ(BoardPattern::centredRadonMarker(10, 7).column, 4);
    EXPECT_EQ(BoardPattern::centredRadonMarker(10, 7).row, 3);
}

TEST(BoardPattern, RefusesBoardsThatCannotBePrinted)
{
    EXPECT_THROW(BoardPattern(settingsOf(Chessboard, 1, 5, 10)), std::invalid_argument);
    EXPECT_THROW(BoardPattern(settingsOf(Chessboard, 5, 5, 0)), std::invalid_argument);
    EXPECT_THROW(BoardPattern(settingsOf(TargetType(7), 5, 5, 10)), std::invalid_argument);
    EXPECT_THROW(BoardPattern(settingsOf(ChArUco, 5, 5, 10, 10)), std::invalid_argument); // marker == square
    EXPECT_THROW(BoardPattern(settingsOf(ChArUco, 5, 5, 10, 7, 99)), std::invalid_argument);
    EXPECT_THROW(BoardPattern(settingsOf(ChArUco, 20, 20, 10, 7, 0)), std::invalid_argument); // 200 markers > 50
    EXPECT_THROW(BoardPattern(settingsOf(RadonChessboardWithMarkers, 6, 5, 10), RadonMarkerCell{5, 1}),
                 std::invalid_argument);
}
