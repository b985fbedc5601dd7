#include <gtest/gtest.h>

#include "TargetTestSupport.h"
#include "targets/BoardImages.h"

using vantiro::test::settingsOf;
using Values = std::vector<int>;

// Grey values at the given pixels (x, y).
static Values valuesAt(const cv::Mat& image, const std::vector<cv::Point>& pixels)
{
    Values values;
    for (const cv::Point& p : pixels)
        values.push_back(image.at<uchar>(p));
    return values;
}

TEST(BoardImages, ChessboardAndRadonBoards)
{
    const BoardImage b = chessboardImage(10, 9, 100, 100);
    ASSERT_EQ(b.image.type(), CV_8UC1);
    EXPECT_TRUE(b.image.size() == cv::Size(1100, 1000) && b.width == 1100 && b.height == 1000 && b.border == 50);
    // White border, black top-left square, its right neighbour white; bottom-right square (9, 8) white (17 odd).
    EXPECT_EQ(valuesAt(b.image, {{49, 49}, {50, 50}, {149, 149}, {150, 50}, {1049, 949}, {949, 949}}),
              (Values{255, 0, 0, 255, 255, 0}));
    // Whole millimetres: 25.7 x 12.2 mm squares are 25 x 12 px, border int(12.85) = 12.
    EXPECT_EQ(chessboardImage(4, 3, 25.7, 12.2).image.size(), cv::Size(4 * 25 + 2 * 12, 3 * 12 + 2 * 12));

    // Radon: 30 -> 60 -> 120 px cells, border 15 -> 30 -> 60; a square of 250 mm needs no doubling.
    const BoardImage radon = radonImage(10, 9, 30, 3, 4);
    EXPECT_TRUE(radon.image.size() == cv::Size(10 * 120 + 2 * 60, 9 * 120 + 2 * 60) && radon.border == 15);
    EXPECT_DOUBLE_EQ(radon.pixelsPerMm, 4.0);
    EXPECT_EQ(radonImage(4, 3, 250, 1, 1).image.cols, 4 * 250 + 2 * 125);
    // Cell centres: (3, 4) is white (7 odd) with a black dot, (3, 5) and (4, 4) black with white
    // dots, (2, 2) black without. (The dots' and the outer ring's shapes: BoardPatternTest.)
    EXPECT_EQ(valuesAt(radon.image, {{480, 600}, {480, 720}, {600, 600}, {360, 360}}), (Values{0, 255, 255, 0}));

    // Huge boards are drawn at a smaller scale under the cap (not hung), tiny squares scaled up.
    const BoardImage huge = radonImage(99, 999, 100, 1, 1);
    EXPECT_TRUE(huge.image.rows <= kMaxBoardImageSide && huge.image.rows > kMaxBoardImageSide / 2) << huge.image.size;
    const BoardImage chess = chessboardImage(99, 999, 999999, 999999); // rows the longer side
    EXPECT_TRUE(chess.image.rows <= kMaxBoardImageSide && chess.image.rows > kMaxBoardImageSide / 2);
    EXPECT_DOUBLE_EQ(chess.width, 99 * 999999.0 + 2 * 499999);
    EXPECT_FALSE(chessboardImage(10, 9, 0.001, 0.001).image.empty());
}

TEST(BoardImages, CharucoBoardsAndStatus)
{
    // A marker not smaller than the square is drawn slightly smaller instead of refused.
    EXPECT_EQ(charucoImage(5, 4, 40, 40, 10, false).image.size(), cv::Size(5 * 40 + 2 * 20, 4 * 40 + 2 * 20));
    EXPECT_EQ(targetSettingsStatus(settingsOf(ChArUco, 10, 9, 100, 120)).text, "Valid");
    // Top-left square black, margin white; legacy: white top-left square carrying a marker.
    EXPECT_EQ(valuesAt(charucoImage(10, 9, 100, 75, 10, false).image, {{60, 60}, {10, 10}}), (Values{0, 255}));
    EXPECT_EQ(valuesAt(charucoImage(10, 8, 100, 75, 10, true).image, {{55, 55}, {155, 55}}), (Values{255, 0}));
    // Small squares are drawn at a larger scale so that every marker bit is visible; huge boards
    // at a smaller one (990 of the dictionary's 1024 markers).
    EXPECT_GT(charucoImage(6, 5, 8, 7, 10, false).pixelsPerMm, 1.0);
    EXPECT_EQ(charucoImage(45, 44, 999999, 999998, 16, false).status.text, "Valid");
    // Radon status by parity; no ambiguity check for ChArUco (markers fix the orientation).
    EXPECT_EQ(targetSettingsStatus(settingsOf(RadonChessboardWithMarkers, 10, 10, 100)).text, "Ambiguous");
    EXPECT_EQ(targetSettingsStatus(settingsOf(ChArUco, 10, 10, 100, 75)).text, "Valid");
    // Boards the library refuses are Invalid, red, without image, with the library's message.
    const BoardImage b = charucoImage(1, 4, 40, 30, 10, false);
    EXPECT_TRUE(b.status.text == "Invalid" && b.status.styleSheet == "QLabel { color : red; }" && b.image.empty());
    EXPECT_TRUE(b.message.contains("squaresX > 1")) << b.message.toStdString();
    QString message;
    EXPECT_EQ(targetSettingsStatus(MainWindowSettings{ChArUco, 10, 10, 100, 100, 75, 30}, &message).text, "Invalid");
    EXPECT_TRUE(message.contains("30")) << message.toStdString();
}
