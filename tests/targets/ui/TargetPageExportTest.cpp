#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <iostream>

#include "../TargetTestSupport.h"
#include "support/PrintedBoard.h"
#include "support/TestSupport.h"
#include "targets/TargetDetection.h"
#include "targets/ui/TargetPagePainter.h"

using namespace vantiro::print;
using vantiro::test::settingsOf;

namespace {

struct Kind
{
    const char* name;
    MainWindowSettings settings;
    size_t corners; // all inner corners
};

MainWindowSettings charuco(int nx, int ny, double square, int marker, int dictionary, bool legacy)
{
    MainWindowSettings s = settingsOf(ChArUco, nx, ny, square, marker, legacy);
    s.dictionary = dictionary;
    return s;
}

const Kind kKinds[] = {
    {"chessboard", MainWindowSettings{Chessboard, 10, 7, 25, 22}, 54},
    {"charuco", charuco(10, 7, 25, 18, 10, false), 54},
    {"charuco legacy", charuco(8, 6, 30, 22, 0, true), 35},
    {"chessboard with markers", settingsOf(RadonChessboardWithMarkers, 10, 7, 20), 54},
};

} // namespace

// Every kind written as PDF, SVG and PNG, rasterised (PDF and SVG by independent tools) at a known
// resolution and detected: every corner found, the grid's scale within 0.5 % of the square size
// at that resolution, and the board centred where the layout put it.
TEST(TargetPageExport, EveryKindAndFormatIsFoundAtTrueScale)
{
    QTemporaryDir dir;
    const std::pair<const char*, int> formats[] = {{"pdf", 100}, {"svg", 120}, {"png", 150}};
    for (const Kind& kind : kKinds) {
        for (const auto& [suffix, dpi] : formats) {
            SCOPED_TRACE(testing::Message() << kind.name << " as " << suffix << " at " << dpi << " dpi");
            ExportRequest request{kind.settings, {-1, -1}, Paper::A4,
                                  dir.path() + QStringLiteral("/board.") + QLatin1String(suffix), dpi};
            vantiro::RecordingLogSink log;
            const auto prepared = prepareExport(request, log);
            ASSERT_TRUE(prepared && prepared->check.detectable) << log.text().toStdString();
            EXPECT_TRUE(prepared->page.fitsPaper && prepared->page.annotated);
            QString error;
            ASSERT_TRUE(writeTargetFile(request.path, *prepared, dpi, &error)) << error.toStdString();

            QString why;
            const cv::Mat page = vantiro::test::rasterisedPage(request.path, dpi, &why);
            if (page.empty())
                GTEST_SKIP() << why.toStdString();
            const double k = dpi / 25.4;
            EXPECT_NEAR(page.cols, prepared->page.size.width * k, 1.0);
            EXPECT_NEAR(page.rows, prepared->page.size.height * k, 1.0);

            TargetCornerList corners;
            ASSERT_TRUE(detectTarget(page, kind.settings, corners));
            EXPECT_EQ(corners.size(), kind.corners);
            const vantiro::test::MeasuredGrid grid = vantiro::test::measureGrid(corners);
            // The Radon conversion runs its object x down the board: its scales are the other way round.
            const bool transposed = kind.settings.targetType == RadonChessboardWithMarkers;
            const double measuredW = (transposed ? grid.pxPerMmY : grid.pxPerMmX) / k * kind.settings.squareWidth;
            const double measuredH = (transposed ? grid.pxPerMmX : grid.pxPerMmY) / k * kind.settings.squareHeight;
            EXPECT_NEAR(measuredW / kind.settings.squareWidth, 1.0, 0.005);
            EXPECT_NEAR(measuredH / kind.settings.squareHeight, 1.0, 0.005);
            EXPECT_LT(grid.maxResidual, 0.5);
            const cv::Point2d centre = prepared->page.gridOrigin +
                                       cv::Point2d(prepared->board.grid.width, prepared->board.grid.height) * 0.5;
            EXPECT_LT(cv::norm(grid.centroid - (centre * k - cv::Point2d(0.5, 0.5))), 1.0);
            std::cout << "[ measured ] " << kind.name << " " << suffix << " @" << dpi << " dpi: square "
                      << measuredW << " x " << measuredH << " mm (expected " << kind.settings.squareWidth << " x "
                      << kind.settings.squareHeight << "), residual " << grid.maxResidual << " px\n";

            // The printed ChArUco layout is the one asked for: the other one is not found.
            if (kind.settings.targetType == ChArUco && kind.settings.numSquaresY % 2 == 0) {
                MainWindowSettings other = kind.settings;
                other.legacyPattern = !other.legacyPattern;
                EXPECT_FALSE(detectTarget(page, other, corners));
            }
        }
    }
}

// The PDF's page is the paper (in points) in the orientation that holds the board, or the custom
// page; the PNG has the page's size at its resolution and says so in the file.
TEST(TargetPageExport, PageSizesAndResolution)
{
    QTemporaryDir dir;
    const MainWindowSettings wide = settingsOf(Chessboard, 10, 7, 25), tall = settingsOf(Chessboard, 5, 8, 25);
    const struct { MainWindowSettings s; Paper paper; cv::Size points; } pages[] = {
        {wide, Paper::A4, {842, 595}}, {tall, Paper::A3, {842, 1191}}, {tall, Paper::Letter, {612, 792}},
        {settingsOf(Chessboard, 12, 9, 30), Paper::A4, {1106, 927}}, // does not fit: 390 x 327 mm
    };
    for (const auto& p : pages) {
        const QString path = dir.path() + "/page.pdf";
        vantiro::RecordingLogSink log;
        const auto prepared = prepareExport({p.s, {-1, -1}, p.paper, path, 300}, log);
        ASSERT_TRUE(prepared);
        ASSERT_TRUE(writeTargetFile(path, *prepared, 300, nullptr));
        QString why;
        const cv::Mat at72 = vantiro::test::rasterisedPage(path, 72, &why); // one pixel per point
        if (at72.empty())
            GTEST_SKIP() << why.toStdString();
        EXPECT_NEAR(at72.cols, p.points.width, 1) << prepared->page.paperLabel.toStdString();
        EXPECT_NEAR(at72.rows, p.points.height, 1) << prepared->page.paperLabel.toStdString();
    }

    vantiro::RecordingLogSink log;
    const auto prepared = prepareExport({wide, {-1, -1}, Paper::A4, dir.path() + "/page.png", 200}, log);
    ASSERT_TRUE(prepared);
    ASSERT_TRUE(writeTargetFile(dir.path() + "/page.png", *prepared, 200, nullptr));
    const QImage png(dir.path() + "/page.png");
    EXPECT_EQ(png.size(), QSize(2339, 1654)); // 297 x 210 mm at 200 dpi, rounded up
    EXPECT_EQ(png.dotsPerMeterX(), 7874);
    EXPECT_TRUE(png.isGrayscale());
    // The annotation is on the page: the caption's and bar's ink lies outside the board.
    const QImage page = paintPage(prepared->page, 50);
    int inkOutside = 0;
    const cv::Rect2d board = prepared->page.board;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x) {
            const cv::Point2d mm((x + 0.5) * 25.4 / 50, (y + 0.5) * 25.4 / 50);
            inkOutside += qGray(page.pixel(x, y)) < 128 && !board.contains(mm);
        }
    EXPECT_GT(inkOutside, 40);
}

// A file that cannot be written leaves nothing behind and says why; an existing file is replaced
// whole.
TEST(TargetPageExport, UnwritablePathsFailCleanly)
{
    QTemporaryDir dir;
    vantiro::RecordingLogSink log;
    const PreparedExport prepared = *prepareExport({settingsOf(Chessboard, 10, 7, 25), {-1, -1}, Paper::A4,
                                                    dir.path() + "/x.pdf", 300},
                                                   log);
    PreparedExport svg = prepared; // the PDF and PNG cases: the window's and the tool's tests
    svg.format = Format::Svg;
    QString error;
    EXPECT_FALSE(writeTargetFile(dir.path() + "/missing/board.svg", svg, 300, &error));
    EXPECT_FALSE(error.isEmpty());

    const QString path = dir.path() + "/board.pdf";
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(500000, 'x'));
    }
    ASSERT_TRUE(writeTargetFile(path, prepared, 300, nullptr));
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray data = written.readAll();
    EXPECT_TRUE(data.startsWith("%PDF-") && data.size() < 100000 && !data.contains("xxxxxxxx"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"board.pdf"}); // no temporary file left
}
