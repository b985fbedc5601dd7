#include <gtest/gtest.h>

#include "targets/BoardImages.h"

TEST(BoardImages, ChessboardSizeBorderAndFirstSquare)
{
    const BoardImage b = chessboardImage(10, 9, 100, 100);
    ASSERT_EQ(b.image.type(), CV_8UC1);
    EXPECT_EQ(b.image.cols, 1100);
    EXPECT_EQ(b.image.rows, 1000);
    EXPECT_EQ(b.border, 50);
    EXPECT_EQ(b.width, 1100);
    EXPECT_EQ(b.height, 1000);
    EXPECT_EQ(b.status.text, "Valid");
    EXPECT_EQ(b.image.at<uchar>(49, 49), 255);  // border
    EXPECT_EQ(b.image.at<uchar>(50, 50), 0);    // top-left square black
    EXPECT_EQ(b.image.at<uchar>(149, 149), 0);
    EXPECT_EQ(b.image.at<uchar>(50, 150), 255); // its right neighbour white
    EXPECT_EQ(b.image.at<uchar>(949, 1049), 255); // bottom-right square (9, 8): 17 odd, white
    EXPECT_EQ(b.image.at<uchar>(949, 949), 0);

    // Whole millimetres: 25.7 x 12.2 mm squares are 25 x 12 px, border int(12.85) = 12.
    const BoardImage c = chessboardImage(4, 3, 25.7, 12.2);
    EXPECT_EQ(c.image.cols, 4 * 25 + 2 * 12);
    EXPECT_EQ(c.image.rows, 3 * 12 + 2 * 12);
    EXPECT_EQ(chessboardImage(10, 10, 100, 100).status.text, "Ambiguous");
    EXPECT_EQ(chessboardImage(10, 10, 100, 100).status.styleSheet, "QLabel { color : orange; }");
}

TEST(BoardImages, RadonCellDoublingAndDots)
{
    const BoardImage b = radonImage(10, 9, 30, 3, 4);
    // 30 -> 60 -> 120 px cells, border 15 -> 30 -> 60.
    EXPECT_EQ(b.image.cols, 10 * 120 + 2 * 60);
    EXPECT_EQ(b.image.rows, 9 * 120 + 2 * 60);
    EXPECT_DOUBLE_EQ(b.pixelsPerMm, 4.0);
    EXPECT_EQ(b.border, 15);
    const auto centre = [](int cx, int cy) { return cv::Point(60 + cx * 120 + 60, 60 + cy * 120 + 60); };
    const auto at = [&](cv::Point p) { return b.image.at<uchar>(p); };
    // Cell (3, 4) is white (7 odd): black dot; (3, 5) and (4, 4) black with white dots.
    EXPECT_EQ(at(centre(3, 4)), 0);
    EXPECT_EQ(at(centre(3, 4) + cv::Point(30, 0)), 255);
    EXPECT_EQ(at(centre(3, 5)), 255);
    EXPECT_EQ(at(centre(3, 5) + cv::Point(30, 0)), 0);
    EXPECT_EQ(at(centre(4, 4)), 255);
    // No dots elsewhere.
    EXPECT_EQ(at(centre(5, 4)), 255);
    EXPECT_EQ(at(centre(2, 2)), 0);
    // Outer ring black cell (2, 0): cut back on its outer side, rounded cap reaching the grid edge.
    EXPECT_EQ(at(centre(2, 0) + cv::Point(0, 30)), 0);
    EXPECT_EQ(at(centre(2, 0) + cv::Point(-50, -50)), 255);
    EXPECT_EQ(at(centre(2, 0) + cv::Point(0, -55)), 0);
    // Square size of 250 mm needs no doubling.
    EXPECT_EQ(radonImage(4, 3, 250, 1, 1).image.cols, 4 * 250 + 2 * 125);
}

TEST(BoardImages, CharucoMarkerEqualToSquareStillBuilds)
{
    const BoardImage b = charucoImage(5, 4, 40, 40, 10, false);
    EXPECT_EQ(b.status.text, "Valid");
    EXPECT_EQ(b.status.styleSheet, "QLabel { color : green; }");
    ASSERT_FALSE(b.image.empty());
    EXPECT_EQ(b.image.cols, 5 * 40 + 2 * 20);
    EXPECT_EQ(b.image.rows, 4 * 40 + 2 * 20);
    EXPECT_EQ(charucoStatus(5, 4, 40, 40, 10, false).text, "Valid");

    const BoardImage normal = charucoImage(10, 9, 100, 75, 10, false);
    EXPECT_EQ(normal.image.cols, 1100);
    EXPECT_EQ(normal.image.rows, 1000);
    EXPECT_EQ(normal.image.at<uchar>(60, 60), 0);   // top-left square black
    EXPECT_EQ(normal.image.at<uchar>(10, 10), 255); // margin
    const BoardImage legacy = charucoImage(10, 8, 100, 75, 10, true);
    EXPECT_EQ(legacy.image.at<uchar>(55, 55), 255); // legacy: white top-left square with a marker
    EXPECT_EQ(legacy.image.at<uchar>(55, 155), 0);

    // Small squares are drawn at a larger scale so that every marker bit is visible.
    const BoardImage small = charucoImage(6, 5, 8, 7, 10, false);
    EXPECT_EQ(small.status.text, "Valid");
    EXPECT_GT(small.pixelsPerMm, 1.0);
}

TEST(BoardImages, RefusedCharucoSettingsAreInvalidWithTheLibraryMessage)
{
    BoardImage b = charucoImage(1, 4, 40, 30, 10, false);
    EXPECT_EQ(b.status.text, "Invalid");
    EXPECT_EQ(b.status.styleSheet, "QLabel { color : red; }");
    EXPECT_TRUE(b.image.empty());
    EXPECT_TRUE(b.message.contains("squaresX > 1"));
    b = charucoImage(5, 4, 40, 30, 99, false);
    EXPECT_EQ(b.status.text, "Invalid");
    EXPECT_TRUE(b.message.contains("99"));
    QString message;
    EXPECT_EQ(charucoStatus(20, 20, 40, 30, 0, false, &message).text, "Invalid"); // 200 markers, 50 in the dictionary
    EXPECT_TRUE(message.contains("50"));
}

TEST(BoardImages, HugeBoardsAreCappedNotHung)
{
    const BoardImage chess = chessboardImage(99, 999, 999999, 999999);
    EXPECT_LE(chess.image.cols, kMaxBoardImageSide);
    EXPECT_LE(chess.image.rows, kMaxBoardImageSide);
    EXPECT_GT(chess.image.rows, kMaxBoardImageSide / 2);
    EXPECT_DOUBLE_EQ(chess.width, 99 * 999999.0 + 2 * 499999);
    const BoardImage radon = radonImage(99, 999, 100, 1, 1);
    EXPECT_LE(radon.image.rows, kMaxBoardImageSide);
    EXPECT_GT(radon.image.rows, kMaxBoardImageSide / 2);
    const BoardImage tiny = chessboardImage(10, 9, 0.001, 0.001);
    EXPECT_FALSE(tiny.image.empty());
    EXPECT_EQ(charucoImage(999, 999, 100, 75, 10, false).status.text, "Invalid");
    EXPECT_EQ(charucoImage(45, 44, 999999, 999998, 16, false).status.text, "Valid"); // 990 of 1024 markers
}

TEST(BoardImages, DimAndFlip)
{
    cv::Mat img = (cv::Mat_<uchar>(2, 3) << 0, 255, 100, 10, 20, 30);
    const cv::Mat dim = dimBoardImage(img);
    EXPECT_EQ(dim.at<uchar>(0, 0), 51);
    EXPECT_EQ(dim.at<uchar>(0, 1), 153);
    EXPECT_EQ(dim.at<uchar>(0, 2), 91);
    const cv::Mat flipped = flipBoardImage(img);
    EXPECT_EQ(flipped.at<uchar>(0, 0), 10);
    EXPECT_EQ(flipped.at<uchar>(1, 2), 100);
}

TEST(BoardImages, StatusOfSettings)
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 9;
    EXPECT_EQ(targetSettingsStatus(s).text, "Valid");
    s.targetType = RadonChessboardWithMarkers;
    s.numSquaresY = 10;
    EXPECT_EQ(targetSettingsStatus(s).text, "Ambiguous");
    s.targetType = ChArUco; // no ambiguity check: markers fix the orientation
    s.squareWidth = s.squareHeight = 100;
    s.markerSize = 75;
    s.dictionary = 10;
    EXPECT_EQ(targetSettingsStatus(s).text, "Valid");
    s.markerSize = 120;
    QString message;
    EXPECT_EQ(targetSettingsStatus(s, &message).text, "Valid"); // drawn 0.001 smaller than the square
    s.dictionary = 30;
    EXPECT_EQ(targetSettingsStatus(s, &message).text, "Invalid");
    EXPECT_FALSE(message.isEmpty());
}
