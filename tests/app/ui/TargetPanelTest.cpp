#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextEdit>

#include "MainWindowFixture.h"

namespace {
int countOf(const QString& haystack, const QString& needle)
{
    return haystack.count(needle);
}
} // namespace

TEST_F(MainWindowTest, ReadTargetSettingsFillsOnlyTheCheckedKind)
{
    MainWindow& w = make();
    MainWindowSettings s;
    s.dictionary = 10;
    s.markerSize = 33;
    w.ui.spinBox_ChessboardNumSquaresX->setValue(12);
    w.ui.checkBox_ChessboardIndependentSquareHeight->setChecked(true);
    w.ui.spinBox_ChessboardSquareHeight->setValue(25.5);
    w.ui.checkBox_ChessboardExhaustiveSearch->setChecked(true);
    w.ui.spin_proj_width->setValue(800);
    w.readTargetSettings(s);
    EXPECT_EQ(s.targetType, Chessboard);
    EXPECT_EQ(s.numSquaresX, 12);
    EXPECT_EQ(s.numSquaresY, 9);
    EXPECT_EQ(s.squareWidth, 100);
    EXPECT_EQ(s.squareHeight, 25.5);
    EXPECT_TRUE(s.exhaustiveSearch);
    EXPECT_EQ(s.markerSize, 33) << "fields of other kinds are left alone";
    EXPECT_EQ(s.projectorWidth, 800);
    EXPECT_EQ(s.projectorHeight, 768);

    w.ui.radioButton_TargetChArUco->setChecked(true);
    w.ui.doubleSpinBox_ChArUcoSquareSize->setValue(30);
    w.ui.doubleSpinBox_ArUcoMarkerSize->setValue(7.9);
    w.ui.comboBox_ChArUcoDictionary->setCurrentIndex(3);
    w.ui.checkBox_CharucoLegacy->setChecked(true);
    MainWindowSettings c;
    w.readTargetSettings(c);
    EXPECT_EQ(c.targetType, ChArUco);
    EXPECT_EQ(c.numSquaresX, 10);
    EXPECT_EQ(c.squareWidth, 30);
    EXPECT_EQ(c.squareHeight, 30);
    EXPECT_EQ(c.markerSize, 7) << "truncated toward zero";
    EXPECT_EQ(c.dictionary, 3);
    EXPECT_TRUE(c.legacyPattern);
    EXPECT_FALSE(c.exhaustiveSearch);
    EXPECT_TRUE(targetSettingsSummary(c).contains("ArUco Tag Size = 7\n"));

    w.ui.radioButton_TargetRadonChessboardWithMarkers->setChecked(true);
    w.ui.spinBox_RadonChessboardSquareSize->setValue(40);
    MainWindowSettings r;
    w.readTargetSettings(r);
    EXPECT_EQ(r.targetType, RadonChessboardWithMarkers);
    EXPECT_EQ(r.squareWidth, 40);
    EXPECT_EQ(r.squareHeight, 40);
    EXPECT_EQ(r.dictionary, 3) << "the dictionary is written for this kind too";
    EXPECT_FALSE(r.legacyPattern);
}

TEST_F(MainWindowTest, SquareHeightFollowsWidthUnlessIndependent)
{
    MainWindow& w = make();
    w.ui.spinBox_ChessboardSquareWidth->setValue(42);
    EXPECT_EQ(w.ui.spinBox_ChessboardSquareHeight->value(), 42);
    w.ui.checkBox_ChessboardIndependentSquareHeight->setChecked(true);
    EXPECT_TRUE(w.ui.spinBox_ChessboardSquareHeight->isEnabled());
    w.ui.spinBox_ChessboardSquareHeight->setValue(30);
    w.ui.spinBox_ChessboardSquareWidth->setValue(50);
    EXPECT_EQ(w.ui.spinBox_ChessboardSquareHeight->value(), 30);
    w.ui.checkBox_ChessboardIndependentSquareHeight->setChecked(false);
    EXPECT_FALSE(w.ui.spinBox_ChessboardSquareHeight->isEnabled());
    EXPECT_EQ(w.ui.spinBox_ChessboardSquareHeight->value(), 50);
}

TEST_F(MainWindowTest, MarkerNeverExceedsSquare)
{
    MainWindow& w = make();
    w.ui.radioButton_TargetChArUco->setChecked(true);
    w.ui.doubleSpinBox_ArUcoMarkerSize->setValue(120);
    EXPECT_EQ(w.ui.doubleSpinBox_ChArUcoSquareSize->value(), 120) << "square raised to the marker";
    w.ui.doubleSpinBox_ChArUcoSquareSize->setValue(60);
    EXPECT_EQ(w.ui.doubleSpinBox_ArUcoMarkerSize->value(), 60) << "marker lowered to the square";
    w.ui.doubleSpinBox_ArUcoMarkerSize->setValue(40);
    w.ui.doubleSpinBox_ChArUcoSquareSize->setValue(50);
    EXPECT_EQ(w.ui.doubleSpinBox_ArUcoMarkerSize->value(), 40);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");
}

TEST_F(MainWindowTest, StatusShowsParityAndWarnsOncePerRebuild)
{
    MainWindow& w = make();
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");
    EXPECT_EQ(w.ui.label_TargetStatus->styleSheet(), "QLabel { color : green; }");
    const QString warning = "Warning: The sum of Num Squares X and Num Squares Y is even which causes to rotation "
                            "ambiuity during target detection.";
    w.ui.spinBox_ChessboardNumSquaresY->setValue(10);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Ambiguous");
    EXPECT_EQ(w.ui.label_TargetStatus->styleSheet(), "QLabel { color : orange; }");
    EXPECT_EQ(countOf(logText(), warning), 1);

    // The exhaustive-search flag does not rebuild; the projector resolution does.
    w.ui.checkBox_ChessboardExhaustiveSearch->setChecked(true);
    EXPECT_EQ(countOf(logText(), warning), 1);
    w.ui.spin_proj_width->setValue(800);
    EXPECT_EQ(countOf(logText(), warning), 2);

    // With the height box following the width, a width change rebuilds once, not twice.
    w.ui.spinBox_ChessboardSquareWidth->setValue(20);
    EXPECT_EQ(countOf(logText(), warning), 3);

    // ChArUco never checks parity.
    w.ui.radioButton_TargetChArUco->setChecked(true);
    w.ui.spinBox_ChArUcoHeight->setValue(10);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");
}
