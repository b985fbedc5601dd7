#include <QTest>

#include <vtkAssembly.h>
#include <vtkMatrix4x4.h>
#include <vtkPropCollection.h>

#include "MainWindowFixture.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {

// Board pixels are dimmed: black prints at 51, white at 153 (before lighting).
void countBoardPixels(const QImage& img, int& dark, int& light)
{
    dark = light = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            const bool grey = std::abs(c.red() - c.green()) < 4 && std::abs(c.green() - c.blue()) < 4;
            if (grey && std::abs(c.red() - 51) < 12)
                ++dark;
            if (grey && std::abs(c.red() - 153) < 12)
                ++light;
        }
}

class TargetPreviewTest : public MainWindowTest
{
protected:
    QImage targetShot(MainWindow& w, const char* name)
    {
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        const QImage img = w.ui.QVTKWidget_Target->grabFramebuffer();
        img.save(vantiro::test::artefactDir() + "/" + name);
        return img;
    }
};

} // namespace

TEST_F(TargetPreviewTest, ChessboardBoardIsDrawnWithItsSizeAndOrigin)
{
    MainWindow& w = make();
    ASSERT_NE(w.targetBoardActor(), nullptr);
    double b[6];
    w.targetBoardActor()->GetBounds(b);
    EXPECT_NEAR(b[1] - b[0], 1100, 1e-6) << "10 squares of 100 mm plus a 50 mm border on each side";
    EXPECT_NEAR(b[3] - b[2], 1000, 1e-6);
    EXPECT_NEAR(b[5] - b[4], 11, 1e-6) << "thickness W / 100";
    vtkMatrix4x4* origin = w.targetOriginActor()->GetUserMatrix();
    EXPECT_DOUBLE_EQ(origin->GetElement(0, 3), 400);
    EXPECT_DOUBLE_EQ(origin->GetElement(1, 3), -350);
    EXPECT_EQ(w.targetRenderer()->GetViewProps()->GetNumberOfItems(), 2);

    int dark = 0, light = 0;
    countBoardPixels(targetShot(w, "target_chessboard.png"), dark, light);
    EXPECT_GT(dark, 5000);
    EXPECT_GT(light, 5000);

    // A rebuild replaces the board instead of stacking a second one.
    w.ui.spinBox_ChessboardNumSquaresX->setValue(12);
    EXPECT_EQ(w.targetRenderer()->GetViewProps()->GetNumberOfItems(), 2);
    w.targetBoardActor()->GetBounds(b);
    EXPECT_NEAR(b[1] - b[0], 1300, 1e-6);
}

TEST_F(TargetPreviewTest, CharucoPreviewAndInvalidSettings)
{
    MainWindow& w = make();
    w.ui.radioButton_TargetChArUco->setChecked(true);
    w.ui.doubleSpinBox_ArUcoMarkerSize->setValue(100); // equal to the square
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");
    ASSERT_NE(w.targetBoardActor(), nullptr);
    EXPECT_DOUBLE_EQ(w.targetOriginActor()->GetUserMatrix()->GetElement(0, 3), -500);
    EXPECT_DOUBLE_EQ(w.targetOriginActor()->GetUserMatrix()->GetElement(1, 3), 450);
    int dark = 0, light = 0;
    countBoardPixels(targetShot(w, "target_charuco.png"), dark, light);
    EXPECT_GT(dark, 3000);
    EXPECT_GT(light, 3000);

    // More squares than the dictionary has markers: the library refuses, the panel says so.
    w.ui.comboBox_ChArUcoDictionary->setCurrentIndex(0); // 50 markers
    w.ui.spinBox_ChArUcoWidth->setValue(40);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Invalid");
    EXPECT_EQ(w.ui.label_TargetStatus->styleSheet(), "QLabel { color : red; }");
    EXPECT_TRUE(logText().contains("Error: The target cannot be built with these settings:")) << logText().toStdString();
    EXPECT_EQ(w.targetBoardActor(), nullptr);
    EXPECT_EQ(w.targetRenderer()->GetViewProps()->GetNumberOfItems(), 1) << "only the origin glyph";

    w.ui.spinBox_ChArUcoWidth->setValue(5);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");
    EXPECT_NE(w.targetBoardActor(), nullptr);
}

TEST_F(TargetPreviewTest, HugeBoardsStayResponsive)
{
    MainWindow& w = make();
    // The largest chessboard the panel allows must neither hang nor exhaust memory.
    w.ui.spinBox_ChessboardNumSquaresY->setValue(998);
    w.ui.spinBox_ChessboardSquareWidth->setValue(999999);
    ASSERT_NE(w.targetBoardActor(), nullptr);
    double b[6];
    w.targetBoardActor()->GetBounds(b);
    EXPECT_GT(b[3] - b[2], 9.9e8);
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Ambiguous");
}
