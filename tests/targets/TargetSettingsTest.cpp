#include <gtest/gtest.h>

#include "targets/TargetSettings.h"

TEST(TargetSettings, DictionaryNamesSummaryLinesStatusAndGeometry)
{
    for (const auto& [id, name] : std::vector<std::pair<int, QString>>{
             {0, "DICT_4X4_50"}, {10, "DICT_6X6_250"}, {16, "DICT_ARUCO_ORIGINAL"}, {21, "DICT_ARUCO_MIP_36h12"},
             {22, ""}, {-1, ""}})
        EXPECT_EQ(dictionaryName(id), name) << id;
    EXPECT_TRUE(dictionaryNames().size() == 22 && dictionaryId("DICT_APRILTAG_36h11") == 20 && dictionaryId("x") == -1);

    // A 7.9 mm ChArUco marker arrives here truncated to 7; a dictionary id outside the table
    // gives an empty name.
    const std::pair<MainWindowSettings, const char*> cases[] = {
        {{Chessboard, 10, 9, 100, 12.3456789, 0, 0, false, true},
         "Target Type: Chessboard\nNum Squares X = 10\nNum Squares Y = 9\nSquare Width = 100\n"
         "Square Height = 12.3457\nExhaustive Chessboard Search = true\n"},
        {{ChArUco, 5, 7, 30.5, 30.5, 7, 10},
         "Target Type: ChArUco\nNum Squares X = 5\nNum Squares Y = 7\nSquare Size = 30.5\nArUco Tag Size = 7\n"
         "ChArUco Dictionary = DICT_6X6_250\nLegacy ChArUco Pattern = false\n"},
        {{RadonChessboardWithMarkers, 10, 9, 30, 30}, "Target Type: "},
    };
    for (const auto& [settings, text] : cases)
        EXPECT_EQ(targetSettingsSummary(settings), text);
    EXPECT_TRUE(targetSettingsSummary({ChArUco, 5, 7, 30.5, 30.5, 7, 99, true})
                    .endsWith("\nChArUco Dictionary = \nLegacy ChArUco Pattern = true\n"));

    const auto shown = [](const TargetStatusInfo& s) { return s.text + " " + s.styleSheet; };
    EXPECT_EQ(shown(chessboardStatus(10, 9)), "Valid QLabel { color : green; }");
    EXPECT_EQ(shown(chessboardStatus(10, 10)), "Ambiguous QLabel { color : orange; }");
    EXPECT_EQ(shown(targetStatus(TargetStatus::Invalid)), "Invalid QLabel { color : red; }");
    // The projector size and the exhaustive-search flag do not change the geometry.
    const MainWindowSettings a{Chessboard, 10, 9, 25, 25};
    EXPECT_TRUE(sameTargetGeometry(a, {Chessboard, 10, 9, 25, 25, 0, 0, false, true, 800}));
    // Every field that moves corners or object points counts on its own: a change of any one of them
    // must not let stale corners be reused.
    const std::pair<const char*, void (*)(MainWindowSettings&)> changes[] = {
        {"type", [](MainWindowSettings& s) { s.targetType = ChArUco; }},
        {"squares x", [](MainWindowSettings& s) { s.numSquaresX = 11; }},
        {"squares y", [](MainWindowSettings& s) { s.numSquaresY = 8; }},
        {"width", [](MainWindowSettings& s) { s.squareWidth = 1; }},
        {"height", [](MainWindowSettings& s) { s.squareHeight = 30; }},
        {"marker", [](MainWindowSettings& s) { s.markerSize = 18; }},
        {"dictionary", [](MainWindowSettings& s) { s.dictionary = 10; }},
        {"legacy", [](MainWindowSettings& s) { s.legacyPattern = true; }},
    };
    for (const auto& [field, change] : changes) {
        MainWindowSettings b = a;
        change(b);
        EXPECT_FALSE(sameTargetGeometry(a, b)) << field;
        EXPECT_FALSE(sameTargetGeometry(b, a)) << field;
    }
}
