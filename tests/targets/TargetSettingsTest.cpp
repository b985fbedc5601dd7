#include <gtest/gtest.h>

#include "targets/TargetSettings.h"

TEST(TargetSettings, DictionaryTableHas22EntriesInIdOrder)
{
    const auto& names = dictionaryNames();
    ASSERT_EQ(names.size(), 22u);
    EXPECT_EQ(dictionaryName(0), "DICT_4X4_50");
    EXPECT_EQ(dictionaryName(10), "DICT_6X6_250");
    EXPECT_EQ(dictionaryName(16), "DICT_ARUCO_ORIGINAL");
    EXPECT_EQ(dictionaryName(21), "DICT_ARUCO_MIP_36h12");
    EXPECT_EQ(dictionaryName(22), "");
    EXPECT_EQ(dictionaryName(-1), "");
    EXPECT_EQ(dictionaryId("DICT_APRILTAG_36h11"), 20);
    EXPECT_EQ(dictionaryId("nonsense"), -1);
}

TEST(TargetSettings, ChessboardSummaryLines)
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 9;
    s.squareWidth = 100;
    s.squareHeight = 12.3456789;
    s.exhaustiveSearch = true;
    EXPECT_EQ(targetSettingsSummary(s), "Target Type: Chessboard\n"
                                        "Num Squares X = 10\n"
                                        "Num Squares Y = 9\n"
                                        "Square Width = 100\n"
                                        "Square Height = 12.3457\n"
                                        "Exhaustive Chessboard Search = true\n");
}

TEST(TargetSettings, CharucoSummaryUsesIntegerMarkerAndDictionaryName)
{
    MainWindowSettings s;
    s.targetType = ChArUco;
    s.numSquaresX = 5;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 30.5;
    s.markerSize = 7; // 7.9 mm in the panel arrives truncated
    s.dictionary = 10;
    EXPECT_EQ(targetSettingsSummary(s), "Target Type: ChArUco\n"
                                        "Num Squares X = 5\n"
                                        "Num Squares Y = 7\n"
                                        "Square Size = 30.5\n"
                                        "ArUco Tag Size = 7\n"
                                        "ChArUco Dictionary = DICT_6X6_250\n"
                                        "Legacy ChArUco Pattern = false\n");
    s.dictionary = 99;
    s.legacyPattern = true;
    EXPECT_TRUE(targetSettingsSummary(s).contains("ChArUco Dictionary = \nLegacy ChArUco Pattern = true\n"));
}

TEST(TargetSettings, RadonSummaryIsTheTypeLineAlone)
{
    MainWindowSettings s;
    s.targetType = RadonChessboardWithMarkers;
    s.numSquaresX = 10;
    EXPECT_EQ(targetSettingsSummary(s), "Target Type: ");
}

TEST(TargetSettings, ParityDecidesChessboardStatus)
{
    EXPECT_EQ(chessboardStatus(10, 9).text, "Valid");
    EXPECT_EQ(chessboardStatus(10, 9).styleSheet, "QLabel { color : green; }");
    EXPECT_EQ(chessboardStatus(10, 10).text, "Ambiguous");
    EXPECT_EQ(chessboardStatus(10, 10).styleSheet, "QLabel { color : orange; }");
    EXPECT_EQ(targetStatus(TargetStatus::Invalid).styleSheet, "QLabel { color : red; }");
}

TEST(TargetSettings, GeometryComparisonIgnoresProjectorAndSearchFlag)
{
    MainWindowSettings a;
    a.numSquaresX = 10;
    MainWindowSettings b = a;
    b.exhaustiveSearch = true;
    b.projectorWidth = 800;
    EXPECT_TRUE(sameTargetGeometry(a, b));
    b.squareWidth = 1;
    EXPECT_FALSE(sameTargetGeometry(a, b));
    b = a;
    b.legacyPattern = true;
    EXPECT_FALSE(sameTargetGeometry(a, b));
}
