#include <gtest/gtest.h>

#include "Common/ArucoCompat.h"
#include "synth/BoardPattern.h"

using namespace vantiro::synth;

static MainWindowSettings settingsOf(TargetType kind, int nx, int ny, double square, int marker = 0, int dictionary = 10,
                                     bool legacy = false)
{
    return { .targetType = kind, .numSquaresX = nx, .numSquaresY = ny, .squareWidth = square, .squareHeight = square,
             .markerSize = marker, .dictionary = dictionary, .legacyPattern = legacy };
}

TEST(BoardPattern, ChessboardSquaresMarginAndCorners)
{
    MainWindowSettings s = settingsOf(Chessboard, 4, 3, 10);
    s.squareHeight = 20;
    const BoardPattern board(s);
    EXPECT_EQ(board.margin(), 10); // half the larger square side
    // Squares (0, 0) black, (1, 0) white, (1, 1) black; the margin is white, then off the sheet.
    const double probes[][3] = { { 5, 10, 0 }, { 15, 10, 1 }, { 15, 30, 0 }, { -5, 10, 1 }, { -11, 10, -1 }, { 45, 70, -1 } };
    for (const auto& p : probes)
        EXPECT_EQ(board.albedo(p[0], p[1]), p[2]) << "at " << p[0] << ", " << p[1];
    const std::vector<BoardCorner> corners = board.innerCorners();
    ASSERT_EQ(corners.size(), 6u);
    EXPECT_EQ(corners[4].id, 4);
    EXPECT_EQ(corners[4].point, cv::Point2d(20, 40)); // row 1, column 1
}

TEST(BoardPattern, CharucoMatchesTheLibraryDrawingInBothLayouts)
{
    // 8 px per bit cell: the library's drawing is exact, so both must agree pixel for pixel.
    for (const bool legacy : { false, true }) {
        const BoardPattern board(settingsOf(ChArUco, 5, 4, 100, 64, 10, legacy));
        cv::Mat ours(400, 500, CV_8UC1);
        ours.forEach<uchar>([&](uchar& v, const int* yx) { v = board.albedo(yx[1] + 0.5, yx[0] + 0.5) > 0.5 ? 255 : 0; });
        vantiro::aruco::CharucoBoard lib({ 5, 4 }, 100.f, 64.f, vantiro::aruco::getPredefinedDictionary(10));
        lib.setLegacyPattern(legacy);
        cv::Mat theirs;
        lib.generateImage(cv::Size(500, 400), theirs, 0, 1);
        EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_L1), 0) << "legacy " << legacy;
        // The marker squares in id order (legacy: marker 0 in the white top-left square).
        EXPECT_EQ(board.markerSquares(), lib.markerSquares()) << "legacy " << legacy;
    }
    // Odd row counts have one layout only.
    EXPECT_EQ(BoardPattern(settingsOf(ChArUco, 5, 5, 100, 64, 10, true)).markerSquares(),
              BoardPattern(settingsOf(ChArUco, 5, 5, 100, 64, 10, false)).markerSquares());
}

TEST(BoardPattern, RadonDotsAndRoundedRing)
{
    const BoardPattern board(settingsOf(RadonChessboardWithMarkers, 6, 5, 10), RadonMarkerCell{ 2, 1 });
    // Dot cell (2, 1) is white with a black dot; (2, 2) and (3, 1) black with white dots. Then
    // an ordinary black and an ordinary white inner cell. Outer ring: cell (2, 0) is black but
    // cut back on its outer half, with a cap of radius 5 centred on the cut line (inside the
    // cap, outside it in the cut-away half). Corner cell (0, 0): a small tab in its inner quarter.
    const double probes[][3] = { { 25, 15, 0 }, { 22, 12, 1 }, { 25, 25, 1 }, { 22, 22, 0 }, { 35, 15, 1 },
                                 { 15, 15, 0 }, { 45, 15, 1 },
                                 { 25, 7, 0 },  { 25, 1, 0 },  { 21, 1, 1 },
                                 { 7, 7, 0 },   { 1, 1, 1 } };
    for (const auto& p : probes)
        EXPECT_EQ(board.albedo(p[0], p[1]), p[2]) << "at " << p[0] << ", " << p[1];
}

TEST(BoardPattern, CentredRadonMarkerIsWhite)
{
    for (const auto& [nx, ny] : std::vector<std::pair<int, int>>{ { 10, 7 }, { 10, 9 }, { 9, 8 }, { 11, 11 }, { 4, 4 } }) {
        const RadonMarkerCell m = BoardPattern::centredRadonMarker(nx, ny);
        EXPECT_EQ((m.column + m.row) % 2, 1) << nx << " x " << ny;
        EXPECT_LE(std::abs(m.column - (nx - 1) / 2) + std::abs(m.row - (ny - 1) / 2), 1) << nx << " x " << ny;
    }
    EXPECT_EQ(cv::Point(BoardPattern::centredRadonMarker(10, 7).column, BoardPattern::centredRadonMarker(10, 7).row),
              cv::Point(4, 3));
}

TEST(BoardPattern, RefusesBoardsThatCannotBePrinted)
{
    // Too few squares, no square size, unknown kind, marker as large as the square, unknown
    // dictionary, 200 markers where the dictionary holds 50, Radon dots off the grid.
    for (const MainWindowSettings& s : { settingsOf(Chessboard, 1, 5, 10), settingsOf(Chessboard, 5, 5, 0),
                                         settingsOf(TargetType(7), 5, 5, 10), settingsOf(ChArUco, 5, 5, 10, 10),
                                         settingsOf(ChArUco, 5, 5, 10, 7, 99), settingsOf(ChArUco, 20, 20, 10, 7, 0) })
        EXPECT_THROW(BoardPattern{ s }, std::invalid_argument) << s.targetType << " " << s.numSquaresX << " " << s.markerSize;
    EXPECT_THROW(BoardPattern(settingsOf(RadonChessboardWithMarkers, 6, 5, 10), RadonMarkerCell{ 5, 1 }),
                 std::invalid_argument);
}
