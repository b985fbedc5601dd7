#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgproc.hpp>

#include "TargetTestSupport.h"
#include "targets/BoardImages.h"
#include "targets/TargetPrint.h"

using namespace vantiro::print;
using vantiro::test::settingsOf;

namespace {

MainWindowSettings charuco(int nx, int ny, double square, int marker, int dictionary, bool legacy = false)
{
    MainWindowSettings s = settingsOf(ChArUco, nx, ny, square, marker, legacy);
    s.dictionary = dictionary;
    return s;
}

// Pixels of a that differ from b, not counting those within a pixel of an edge of a (where the
// two drawings may round the other way).
int differencesOffEdges(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size())
        return -1;
    cv::Mat lo, hi;
    cv::erode(a, lo, cv::Mat());
    cv::dilate(a, hi, cv::Mat());
    return cv::countNonZero((a != b) & (lo == hi));
}

bool inside(const cv::Rect2d& inner, const cv::Rect2d& outer)
{
    const double eps = 1e-9;
    return inner.x >= outer.x - eps && inner.y >= outer.y - eps &&
           inner.x + inner.width <= outer.x + outer.width + eps && inner.y + inner.height <= outer.y + outer.height + eps;
}

// The box a text item covers, from the layout's own text metrics (ascent 0.77, descent 0.24 and
// 0.62 em per character).
cv::Rect2d textBox(const TextItem& t)
{
    const double length = 0.62 * t.height * t.text.size(), up = 0.77 * t.height, down = 0.24 * t.height;
    if (t.angle == 0)
        return {t.origin.x, t.origin.y - up, length, up + down};
    return {t.origin.x - up, t.origin.y - length, up + down, length}; // reads bottom to top
}

// Everything printed besides the board lies outside its quiet zone and inside the printable area;
// the bar is one thin 100 mm rectangle.
void expectAnnotationClear(const PageDrawing& page)
{
    const cv::Rect2d printable(kPrintMargin, kPrintMargin, page.size.width - 2 * kPrintMargin,
                               page.size.height - 2 * kPrintMargin);
    std::vector<cv::Rect2d> boxes;
    for (const Shape& s : page.ink)
        if (!inside(s.box, page.board))
            boxes.push_back(s.box);
    ASSERT_EQ(page.texts.size(), 2u);
    for (const TextItem& t : page.texts)
        boxes.push_back(textBox(t));
    int bars = 0;
    for (const cv::Rect2d& b : boxes) {
        EXPECT_TRUE(inside(b, printable)) << b;
        EXPECT_TRUE((b & page.board).area() == 0) << b << " overlaps the board " << page.board;
        bars += std::abs(std::max(b.width, b.height) - kScaleBarLength) < 1e-9 && std::min(b.width, b.height) < 0.5;
    }
    EXPECT_EQ(bars, 1);
    EXPECT_EQ(page.texts[0].text, "100 mm");
}

} // namespace

// The printed board is the preview's: drawn at the preview image's scale it gives the same pixels
// (off the edges) for each kind, the ChArUco legacy layout and the marker dots wherever they sit.
TEST(TargetPrint, BoardIsThePreviewBoard)
{
    struct Case { MainWindowSettings s; cv::Point dots; BoardImage preview; };
    const Case cases[] = {
        {settingsOf(Chessboard, 10, 7, 25), {}, chessboardImage(10, 7, 25, 25)},
        {MainWindowSettings{Chessboard, 9, 6, 30, 20}, {}, chessboardImage(9, 6, 30, 20)},
        {charuco(8, 6, 60, 44, 0), {}, charucoImage(8, 6, 60, 44, 0, false)},
        {charuco(8, 6, 60, 44, 0, true), {}, charucoImage(8, 6, 60, 44, 0, true)},
        {charuco(7, 5, 50, 37, 10, true), {}, charucoImage(7, 5, 50, 37, 10, true)}, // odd rows: no shift
        {settingsOf(RadonChessboardWithMarkers, 10, 9, 30), {5, 4}, radonImage(10, 9, 30, 5, 4)},
        {settingsOf(RadonChessboardWithMarkers, 10, 9, 30), {1, 1}, radonImage(10, 9, 30, 1, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.s.targetType << " legacy " << c.s.legacyPattern << " dots "
                                        << c.dots);
        const BoardDrawing board = boardDrawing(c.s, c.dots);
        EXPECT_EQ(board.quietZone, c.preview.border);
        const cv::Mat drawn = rasterisePage(boardPage(board), c.preview.pixelsPerMm);
        ASSERT_EQ(drawn.size(), c.preview.image.size());
        EXPECT_EQ(differencesOffEdges(drawn, c.preview.image), 0);
        EXPECT_GT(cv::countNonZero(drawn == 0), drawn.total() / 4); // not an empty page matching an empty one
    }
    // The dots' colours: white in the black cells (5, 5) and (6, 4), black in the white cell (5, 4).
    const BoardDrawing radon = boardDrawing(settingsOf(RadonChessboardWithMarkers, 10, 9, 30), {5, 4});
    ASSERT_EQ(radon.white.size(), 2u);
    const cv::Rect2d dot = radon.white[0].box; // cell (6, 4) comes first, row by row
    EXPECT_TRUE(radon.white[0].disc);
    EXPECT_NEAR(dot.x + dot.width / 2, 6 * 30 + 15, 1e-9);
    EXPECT_NEAR(dot.y + dot.height / 2, 4 * 30 + 15, 1e-9);
    EXPECT_NEAR(dot.width, 0.34 * 30, 1e-9);
    // The default dots: those the detection expects.
    EXPECT_EQ(boardDrawing(settingsOf(RadonChessboardWithMarkers, 10, 9, 30)).white.size(), 2u);
    EXPECT_TRUE(boardDrawing(settingsOf(RadonChessboardWithMarkers, 10, 9, 30)).caption.contains("dots at (5, 4)"));
}

TEST(TargetPrint, CaptionsAndRefusedSettings)
{
    EXPECT_EQ(boardDrawing(settingsOf(Chessboard, 10, 7, 25)).caption,
              "Chessboard 10 x 7 squares of 25 mm - print at 100 %");
    EXPECT_EQ(boardDrawing(MainWindowSettings{Chessboard, 9, 6, 30, 20.5}).caption,
              "Chessboard 9 x 6 squares of 30 x 20.5 mm - print at 100 %");
    EXPECT_EQ(boardDrawing(charuco(10, 9, 40, 30, 10, true)).caption,
              "ChArUco 10 x 9 squares of 40 mm, markers 30 mm, DICT_6X6_250, legacy layout - print at 100 %");
    EXPECT_EQ(suggestedFileName(charuco(10, 9, 40, 30, 10, true)), "ChArUco_10x9_40mm_30mm_DICT_6X6_250_legacy.pdf");
    EXPECT_EQ(suggestedFileName(MainWindowSettings{Chessboard, 9, 6, 30, 20.5}), "Chessboard_9x6_30x20.5mm.pdf");

    const std::pair<MainWindowSettings, const char*> refused[] = {
        {settingsOf(Chessboard, 2, 7, 25), "at least 3 x 3 squares"},
        {settingsOf(Chessboard, 10, 7, std::nan("")), "positive"},
        {charuco(10, 9, 40, 40, 10), "The ArUco marker (40 mm) must be smaller than the square (40 mm)."},
        {charuco(10, 9, 40, 30, 21), "21 is not available"},
        {charuco(40, 40, 40, 30, 0), "needs 800 markers"},
        {settingsOf(Chessboard, 99, 9, 100), "larger than a page can be"},
        {MainWindowSettings{7, 10, 9, 25, 25}, "Unknown target type 7."},
    };
    for (const auto& [s, why] : refused) {
        try {
            boardDrawing(s);
            ADD_FAILURE() << why;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
    }
}

TEST(TargetPrint, PagesHoldTheBoardAtTrueScale)
{
    // 274 x 199 mm: A4 landscape, centred; the bar and caption find room only in the side strips.
    const BoardDrawing board = boardDrawing(settingsOf(Chessboard, 10, 7, 25));
    const PageDrawing a4 = layoutPage(board, Paper::A4);
    EXPECT_EQ(a4.paperLabel, "A4 landscape");
    EXPECT_TRUE(a4.landscape && a4.paper == Paper::A4 && a4.fitsPaper && a4.annotated);
    EXPECT_EQ(a4.size, cv::Size2d(297, 210));
    EXPECT_EQ(a4.board, cv::Rect2d(11.5, 5.5, 274, 199));
    EXPECT_EQ(a4.gridOrigin, cv::Point2d(23.5, 17.5));
    EXPECT_EQ(a4.ink.front().box, cv::Rect2d(23.5, 17.5, 25, 25)); // the top-left square, black
    EXPECT_EQ(a4.texts[0].angle, -90);
    expectAnnotationClear(a4);

    // Portrait where the board is tall; the bar and caption stacked below it.
    const PageDrawing tall = layoutPage(boardDrawing(settingsOf(Chessboard, 6, 9, 25)), Paper::A4);
    EXPECT_EQ(tall.paperLabel, "A4 portrait");
    EXPECT_EQ(tall.size, cv::Size2d(210, 297));
    EXPECT_TRUE(tall.texts[0].angle == 0 && tall.texts[1].origin.y > tall.texts[0].origin.y);
    expectAnnotationClear(tall);
    const PageDrawing letter = layoutPage(boardDrawing(settingsOf(Chessboard, 6, 9, 25)), Paper::Letter);
    EXPECT_EQ(letter.size, cv::Size2d(215.9, 279.4));
    expectAnnotationClear(letter);

    // Too large for A4, fits A3; too large for both: a custom page, never a scaled board.
    const BoardDrawing big = boardDrawing(settingsOf(Chessboard, 11, 8, 30));
    EXPECT_FALSE(layoutPage(big, Paper::A4).fitsPaper);
    const PageDrawing a3 = layoutPage(big, Paper::A3);
    EXPECT_TRUE(a3.fitsPaper && a3.paperLabel == "A3 landscape" && a3.size == cv::Size2d(420, 297));
    const BoardDrawing huge = boardDrawing(settingsOf(Chessboard, 10, 9, 100));
    const PageDrawing custom = layoutPage(huge, Paper::A3);
    EXPECT_FALSE(custom.fitsPaper);
    EXPECT_EQ(custom.paper, Paper::Fit);
    EXPECT_EQ(custom.paperLabel, "custom page 1100 x 1027 mm");
    EXPECT_EQ(custom.ink.front().box, cv::Rect2d(50, 63.5, 100, 100));
    expectAnnotationClear(custom);
    const PageDrawing fit = layoutPage(huge, Paper::Fit);
    EXPECT_TRUE(fit.fitsPaper && fit.size == custom.size);
    // A small board's fit page is as wide as its caption needs.
    const PageDrawing small = layoutPage(boardDrawing(settingsOf(Chessboard, 4, 3, 10)), Paper::Fit);
    EXPECT_GT(small.size.width, 100.0);
    expectAnnotationClear(small);

    // The grid keeps the printable margin: 288 mm of grid (296 with its white margin) do not fit
    // 297 mm of paper, 279 mm do.
    EXPECT_FALSE(layoutPage(boardDrawing(settingsOf(Chessboard, 32, 3, 9)), Paper::A4).fitsPaper);
    EXPECT_TRUE(layoutPage(boardDrawing(settingsOf(Chessboard, 31, 3, 9)), Paper::A4).fitsPaper);
    // A board that fills the paper (293 x 209 mm) leaves no room for the annotation: left out,
    // the board kept.
    const PageDrawing full = layoutPage(boardDrawing(settingsOf(Chessboard, 13, 9, 21)), Paper::A4);
    EXPECT_TRUE(full.fitsPaper && !full.annotated && full.texts.empty());
    EXPECT_EQ(full.ink.size(), 59u);
}

TEST(TargetPrint, SvgDocumentInMillimetres)
{
    const PageDrawing page = layoutPage(boardDrawing(settingsOf(RadonChessboardWithMarkers, 10, 9, 20)), Paper::A4);
    const QString svg = QString::fromUtf8(svgDocument(page));
    EXPECT_TRUE(svg.contains("width=\"297mm\" height=\"210mm\" viewBox=\"0 0 297 210\"")) << svg.left(300).toStdString();
    // The top-left square of the board: cut back to its lower-right quarter (x 48.5 + 10, y 5 + 10 + 10).
    EXPECT_TRUE(svg.contains("M58.5 25H68.5V35H58.5Z"));
    // Discs as two clockwise arcs: the origin dot in cell (5, 4), radius 0.17 x 20 mm.
    EXPECT_TRUE(svg.contains("M155.1 105A3.4 3.4 0 1 1 161.9 105A3.4 3.4 0 1 1 155.1 105Z"));
    EXPECT_EQ(svg.count("<path "), 2);
    EXPECT_TRUE(svg.contains("<text ") && svg.contains(">100 mm</text>"));
    EXPECT_TRUE(svg.contains("rotate(-90 ")); // bar and caption beside the board
}

TEST(TargetPrint, UndetectableSettingsAreFoundBeforeExport)
{
    auto check = [](const MainWindowSettings& s, cv::Point dots = {-1, -1}) {
        return checkBoard(s, dots, boardDrawing(s, dots));
    };
    // Boards the detector finds with the right corners: no problems.
    for (const MainWindowSettings& s : {settingsOf(Chessboard, 10, 7, 25), charuco(8, 6, 30, 22, 0, true),
                                        charuco(10, 9, 100, 75, 10), settingsOf(RadonChessboardWithMarkers, 10, 9, 20),
                                        settingsOf(RadonChessboardWithMarkers, 10, 7, 25)}) {
        const BoardCheck c = check(s);
        EXPECT_TRUE(c.detectable && c.problems.isEmpty()) << s.targetType << ": " << c.problems.join(" ").toStdString();
    }
    // The panel's default dots (1, 1) sit in a black cell; dots elsewhere misplace the grid.
    const MainWindowSettings radon = settingsOf(RadonChessboardWithMarkers, 10, 9, 20);
    BoardCheck c = check(radon, {1, 1});
    ASSERT_FALSE(c.detectable);
    EXPECT_EQ(c.problems.join(""), "The marker dots sit in a black cell (Marker Position X = 1, Y = 1): the detector "
                                   "does not find a board printed like this. It expects the dots at Marker Position "
                                   "X = 5, Y = 4.");
    c = check(radon, {2, 1});
    EXPECT_FALSE(c.detectable);
    EXPECT_TRUE(c.problems.join("").startsWith("The detector takes the dots for the middle of the board, at Marker "
                                               "Position X = 5, Y = 4; with the dots at Marker Position X = 2, Y = 1"));
    c = check(radon, {9, 4});
    EXPECT_TRUE(!c.detectable && c.problems.join("").contains("do not all lie on the board"));
    // The dots where the detection expects them; its origin rule loses a column on this board.
    c = check(radon, {5, 4});
    EXPECT_TRUE(c.detectable);
    EXPECT_EQ(c.notes.join(""), "The detector finds 64 of the board's 72 corners in a clean image of it (its origin "
                                "rule loses a column on boards of this size).");

    // The trial detection: settings the detector refuses, boards it does not find whole.
    c = check(settingsOf(Chessboard, 3, 3, 20));
    EXPECT_TRUE(!c.detectable && c.problems.join("").startsWith("The detector refuses these settings:"));
    c = check(charuco(5, 5, 20, 19, 12));
    EXPECT_TRUE(!c.detectable && c.problems.join("").contains("finds only")) << c.problems.join("").toStdString();
    // A wrong dictionary would not be noticed here (the board is drawn with the settings' own), but
    // a detector run with other settings than the drawing is.
    const BoardDrawing legacy = boardDrawing(charuco(8, 6, 30, 22, 0, true));
    EXPECT_FALSE(checkBoard(charuco(8, 6, 30, 22, 0, false), {-1, -1}, legacy).detectable);
    const BoardDrawing wide = boardDrawing(settingsOf(Chessboard, 10, 7, 25));
    EXPECT_FALSE(checkBoard(MainWindowSettings{Chessboard, 10, 7, 25, 20}, {-1, -1}, wide).detectable);

    // Rotation ambiguity is a note, not a problem; boards too large for a trial are not judged.
    c = check(settingsOf(Chessboard, 10, 10, 20));
    EXPECT_TRUE(c.detectable && c.notes.size() == 1 && c.notes[0].startsWith("Warning: The sum of Num Squares X"));
    c = check(settingsOf(Chessboard, 9, 300, 10));
    EXPECT_TRUE(c.detectable && c.notes.join("").contains("too many squares"));
}

TEST(TargetPrint, ExportRequestsAreCheckedBeforeAnythingIsWritten)
{
    QTemporaryDir dir;
    auto prepare = [&](ExportRequest r, vantiro::RecordingLogSink& log) { return prepareExport(r, log); };
    ExportRequest r{settingsOf(Chessboard, 10, 9, 100), {-1, -1}, Paper::A4, dir.path() + "/board.svg", 300};
    {
        // The default panel board does not fit A4: an orange warning naming the custom page.
        vantiro::RecordingLogSink log;
        const auto p = prepare(r, log);
        ASSERT_TRUE(p);
        const auto* w = log.find("does not fit on A4 paper at true scale");
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->color, "orange");
        EXPECT_TRUE(w->text.contains("custom page 1100 x 1027 mm")) << w->text.toStdString();
        EXPECT_EQ(log.find("rotation ambiuity"), nullptr); // 10 + 9 is odd
        QString error;
        ASSERT_TRUE(writeSvgFile(r.path, p->page, &error)) << error.toStdString();
        logExportWritten(r, *p, log);
        EXPECT_TRUE(log.text().endsWith("Target written to:\n" + r.path +
                                        "\nSVG, custom page 1100 x 1027 mm; board 1100 x 1000 mm with its white "
                                        "margin.\n\n"))
            << log.text().toStdString();
        QFile svg(r.path);
        ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
        EXPECT_EQ(svg.readAll(), svgDocument(p->page));
    }
    const std::pair<ExportRequest, QString> refused[] = {
        {{r.settings, {-1, -1}, Paper::A4, "  ", 300}, "No file name was given"},
        {{r.settings, {-1, -1}, Paper::A4, dir.path() + "/board.jpg", 300}, "written as .pdf, .svg or .png"},
        {{r.settings, {-1, -1}, Paper::A4, dir.path() + "/folder.pdf", 300}, "is a folder"},
        {{r.settings, {-1, -1}, Paper::A4, dir.path() + "/b.png", 9}, "must be 10 to 4800 dpi, not 9"},
        {{r.settings, {-1, -1}, Paper::Fit, dir.path() + "/b.png", 600}, "too large for a PNG file at 600 dpi"},
        {{charuco(10, 9, 40, 40, 10), {-1, -1}, Paper::A4, dir.path() + "/b.pdf", 300},
         "No board can be drawn from these target settings: The ArUco marker (40 mm)"},
    };
    QDir(dir.path()).mkdir("folder.pdf");
    for (const auto& [request, why] : refused) {
        vantiro::RecordingLogSink log;
        EXPECT_FALSE(prepare(request, log)) << why.toStdString();
        ASSERT_EQ(log.segments.size(), 1u) << why.toStdString();
        EXPECT_TRUE(log.segments[0].text.startsWith("Error: ") && log.segments[0].text.contains(why) &&
                    log.segments[0].text.endsWith(" Aborting.\n\n"))
            << log.segments[0].text.toStdString();
        EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Red);
    }
    // A PDF's resolution is not checked; an undetectable board is prepared, with its warnings.
    vantiro::RecordingLogSink log;
    const auto p = prepare({settingsOf(RadonChessboardWithMarkers, 10, 9, 20), {1, 1}, Paper::A4,
                            dir.path() + "/radon.PDF", 1},
                           log);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->format, Format::Pdf);
    EXPECT_FALSE(p->check.detectable);
    ASSERT_NE(log.find("Warning: The detector will not find the board"), nullptr);
    EXPECT_EQ(log.find("Warning: The marker dots sit in a black cell")->color, "orange");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"board.svg"});
}
