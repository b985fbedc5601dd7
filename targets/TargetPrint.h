#pragma once
// The configured target as a printable page: the board as vector shapes in millimetres, laid out at
// true scale on a paper size, with a 100 mm scale bar and a caption outside the board's quiet zone.
// The shapes come from the same layout code as the preview images and the detector (the parity
// rule, the ChArUco board object with its legacy layout and dictionary bits, the Radon cell
// shapes). SVG is written here; PDF and PNG are painted by targets/ui/TargetPagePainter.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

#include "app/LogSink.h"
#include "targets/TargetSettings.h"

namespace vantiro::print {

enum class Paper
{
    A4,
    A3,
    Letter,
    Fit, // a custom page just large enough for the board and its annotation
};

// "A4", "A3", "Letter", "fit" (any case); nullopt for anything else.
std::optional<Paper> paperFromName(const QString& name);
QString paperName(Paper paper);
// Portrait size in millimetres; (0, 0) for Fit.
cv::Size2d paperSize(Paper paper);

enum class Format
{
    Pdf,
    Svg,
    Png,
};
// By the file's extension (any case); nullopt for other extensions.
std::optional<Format> formatForPath(const QString& path);

// A filled rectangle, or the disc inscribed in a square box.
struct Shape
{
    cv::Rect2d box;
    bool disc = false;
};

// The board in its own frame: millimetres, origin at the grid's top-left outer corner, x along the
// columns, y down the rows (the detector's ChArUco frame).
struct BoardDrawing
{
    cv::Size2d grid;          // numSquaresX * width x numSquaresY * height
    double quietZone = 0.0;   // white margin on every side: the preview's border (half a square)
    std::vector<Shape> ink;   // black
    std::vector<Shape> white; // painted over the ink (Radon dots in black cells)
    QString caption;          // names the target settings
    cv::Size2d size() const { return {grid.width + 2 * quietZone, grid.height + 2 * quietZone}; }
};

// Throws std::invalid_argument with a one-sentence reason for settings no board can be drawn from
// (too few squares, sizes that are not positive and finite, a ChArUco marker not smaller than the
// square, a dictionary that is not available or too small for the board). radonDots is the cell
// of the Radon origin dot as the panel's marker position gives it; (-1, -1) picks the cell the
// detection expects.
BoardDrawing boardDrawing(const MainWindowSettings& settings, cv::Point radonDots = {-1, -1});

// Text with its baseline starting at origin; angle 0 reads left to right, -90 bottom to top.
struct TextItem
{
    cv::Point2d origin;
    double height = 0.0; // em size, millimetres
    int angle = 0;
    QString text;
};

struct PageDrawing
{
    Paper paper = Paper::Fit;    // the standard paper of the page; Fit for a custom page
    bool landscape = false;
    QString paperLabel;          // "A4 landscape", "custom page 310 x 235 mm"
    cv::Size2d size;             // millimetres
    bool fitsPaper = true;       // false: the board does not fit the paper asked for at true scale
    bool annotated = true;       // false: no room for the scale bar and caption outside the quiet zone
    cv::Rect2d board;            // the board with its quiet zone, page coordinates (y down)
    cv::Point2d gridOrigin;      // where the board frame's origin lies on the page
    std::vector<Shape> ink;      // page coordinates
    std::vector<Shape> white;
    std::vector<TextItem> texts;
};

// Printable margin: the grid and the annotation keep this far from the paper's edge; the white
// quiet zone may reach into it.
inline constexpr double kPrintMargin = 5.0;
inline constexpr double kScaleBarLength = 100.0;

// The board centred on the paper at true scale, in the orientation that holds it (and its
// annotation, below or beside it). A board that does not fit the paper is put on a custom page
// instead (fitsPaper false), never scaled.
PageDrawing layoutPage(const BoardDrawing& board, Paper paper);
// A page of exactly the board with its quiet zone, without annotation.
PageDrawing boardPage(const BoardDrawing& board);

// Black on white, CV_8UC1, the page's top-left at pixel (0, 0) and pixelsPerMm pixels per
// millimetre (text is not drawn). Shapes keep their sub-pixel positions; edges are not smoothed.
cv::Mat rasterisePage(const PageDrawing& page, double pixelsPerMm);

// The page as an SVG document in millimetres.
QByteArray svgDocument(const PageDrawing& page);

// What stands between these settings and a board the detector finds with the right corner ids.
struct BoardCheck
{
    bool detectable = true; // false: not found in a clean image of the board, or corners misplaced
    QStringList problems;   // why not, one sentence each
    QStringList notes;      // rotation ambiguity; a check that could not be made
};
// Rules that explain the usual mistakes (Radon dots in a black cell or where the detection does
// not expect them), then a trial: the board drawn at a scale where every marker bit is several
// pixels, and detectTarget run on it, its corners compared with the drawn ones.
BoardCheck checkBoard(const MainWindowSettings& settings, cv::Point radonDots, const BoardDrawing& board);

// One export as both the window and the command line run it.
struct ExportRequest
{
    MainWindowSettings settings;
    cv::Point radonDots{-1, -1};
    Paper paper = Paper::A4;
    QString path;
    int dpi = 300; // PNG only
};

struct PreparedExport
{
    Format format = Format::Pdf;
    BoardDrawing board;
    PageDrawing page;
    BoardCheck check;
};

inline constexpr int kMinDpi = 10;
inline constexpr int kMaxDpi = 4800;
// Largest PNG side in pixels.
inline constexpr int kMaxPngSide = 32000;

// Checks the request, draws and lays out the board and logs what the user must know before the
// file is written: an undetectable board (red), rotation ambiguity and a page that is not the
// paper asked for (orange). nullopt after a red "... Aborting." line when nothing can be written.
std::optional<PreparedExport> prepareExport(const ExportRequest& request, LogSink& log);

// A file name naming the target, with the extension .pdf: "Chessboard_10x7_25mm.pdf".
QString suggestedFileName(const MainWindowSettings& settings);

// Writes SVG files (the other formats need the painter); false with the reason in error.
bool writeSvgFile(const QString& path, const PageDrawing& page, QString* error);

// The closing log line of a written export.
void logExportWritten(const ExportRequest& request, const PreparedExport& prepared, LogSink& log);

} // namespace vantiro::print
