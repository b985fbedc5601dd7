#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include "CliTestSupport.h"
#include "support/PrintedBoard.h"
#include "support/TestSupport.h"
#include "targets/TargetSettingsFile.h"

using namespace cli_test;

// The PDF of the tool's own example, rasterised by pdftoppm at 150 dpi and detected: the board
// sits centred on landscape A4 and its squares measure 25 mm (printed at 100 %). The page image
// is kept as an artefact.
TEST(CliTarget, PdfBoardMeasuresTheSquareSize)
{
    QTemporaryDir dir;
    const QString pdf = dir.path() + "/board.pdf";
    const CliRun r = run({"target", "--target", kTarget, "--output", pdf});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Target written to:\n" + pdf + "\nPDF, A4 landscape; board 274 x 199 mm"))
        << r.out.toStdString();

    QString why;
    const cv::Mat page = vantiro::test::rasterisedPage(pdf, 150, &why);
    if (page.empty())
        GTEST_SKIP() << why.toStdString();
    cv::imwrite((vantiro::test::artefactDir() + "/target_export_a4.png").toStdString(), page);
    EXPECT_NEAR(page.cols, 297 * 150 / 25.4, 1.5); // A4 in whole points: 842 x 595
    EXPECT_NEAR(page.rows, 210 * 150 / 25.4, 1.5);
    TargetCornerList corners;
    ASSERT_TRUE(detectTarget(page, MainWindowSettings{Chessboard, 10, 7, 25, 25}, corners));
    ASSERT_EQ(corners.size(), 54u);
    const vantiro::test::MeasuredGrid grid = vantiro::test::measureGrid(corners);
    const double k = 150 / 25.4;
    EXPECT_NEAR(grid.pxPerMmX / k, 1.0, 0.005);
    EXPECT_NEAR(grid.pxPerMmY / k, 1.0, 0.005);
    EXPECT_NEAR(grid.centroid.x, 148.5 * k - 0.5, 1.0); // the page's centre
    EXPECT_NEAR(grid.centroid.y, 105 * k - 0.5, 1.0);

    // A PNG on a page that fits the board, at the resolution asked for.
    const QString png = dir.path() + "/board.png";
    ASSERT_EQ(run({"target", "--target", kTarget, "--output", png, "--paper", "fit", "--dpi", "100"}).code, 0);
    const cv::Mat fit = cv::imread(png.toStdString(), cv::IMREAD_GRAYSCALE);
    EXPECT_EQ(fit.size(), cv::Size(1079, 890)); // 274 x 226 mm at 100 dpi, rounded up
}

TEST(CliTarget, BadArgumentsAndUndetectableBoardsWriteNothing)
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/board.pdf";
    const struct { QStringList args; int code; const char* message; } cases[] = {
        {{"target", "--target", kTarget}, 2, "--output FILE is required"},
        {{"target", "--target", kTarget, "--output", out, "--paper", "B5"}, 2, "--paper must be A4, A3, Letter or fit"},
        {{"target", "--target", kTarget, "--output", out, "--dpi", "5"}, 2, "--dpi"},
        {{"target", "--target", kTarget, "--output", dir.path() + "/board.jpg"}, 2, "written as .pdf, .svg or .png"},
        {{"target", "--target", kTarget, "--output", out, "--dots", "5,4"}, 2, "chessboard with markers only"},
        {{"target", "--target", "radon:10x9:20", "--output", out, "--dots", "0,4"}, 2, "--dots must be X,Y"},
        {{"target", "--target", "charuco:10x9:25:25:DICT_6X6_250", "--output", out}, 2,
         "the marker (25 mm) must be smaller than the square (25 mm)"},
        {{"target", "--target", kTarget, "--output", dir.path() + "/missing/board.pdf"}, 1, "cannot write"},
        {{"target", "--target", "radon:10x9:20", "--output", out, "--dots", "1,1"}, 1, "--force writes it anyway"},
    };
    for (const auto& c : cases) {
        const CliRun r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
    EXPECT_TRUE(filesIn(dir.path()).isEmpty());

    // The dots the GUI saved count: its defaults (1, 1) are a black cell.
    const QString settings = dir.path() + "/MainWindowSettings.ini";
    ASSERT_TRUE(writeTargetSettingsFile(settings, {RadonChessboardWithMarkers, 10, 9, 20, 20, 0, 10}));
    {
        QSettings file(settings, QSettings::IniFormat);
        file.setValue("MainWindowSettings/spinBox_RadonChessboardMarkerPositionX", 1);
        file.setValue("MainWindowSettings/spinBox_RadonChessboardMarkerPositionY", 1);
    }
    CliRun r = run({"target", "--settings", settings, "--output", out});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains("Warning: The marker dots sit in a black cell (Marker Position X = 1, Y = 1)"))
        << r.out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out));
    r = run({"target", "--settings", settings, "--output", out, "--force"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(QFileInfo(out).size() > 1000);
}
