#include "targets/TargetPrint.h"

#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/aruco.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "Common/ArucoCompat.h"
#include "targets/BoardImages.h"
#include "targets/TargetDetection.h"

namespace vantiro::print {

namespace {

[[noreturn]] void refuse(const QString& why)
{
    throw std::invalid_argument(why.toStdString());
}

QString mm(double v)
{
    return QString::number(v, 'g', 6);
}

bool positive(double v)
{
    return v > 0 && std::isfinite(v);
}

// A page holds at most this much: PDF pages end at 200 inches.
constexpr double kMaxPageSide = 5000.0;

// Annotation: two lines outside the quiet zone, the scale bar with its "100 mm" label and the
// caption, stacked in one strip beside the board or each in a strip of its own. Text sizes in
// ems of kTextHeight; a sans-serif face rises about 0.77 em above the baseline, drops 0.24 em
// below it, and advances a little under 0.62 em per character (the strips are sized by that).
constexpr double kTextHeight = 2.8;
constexpr double kAscent = 0.77 * kTextHeight;
constexpr double kDescent = 0.24 * kTextHeight;
constexpr double kAdvancePerChar = 0.62;
constexpr double kStripGap = 1.5;  // from the quiet zone to the first line
constexpr double kLineGap = 1.0;   // between stacked lines
constexpr double kTickLength = 2.5;
constexpr double kMinorTickLength = 1.2;
constexpr double kBarThickness = 0.25;
constexpr double kTextLineDepth = kAscent + kDescent;
constexpr double kBarLineDepth = std::max(kTickLength, kTextLineDepth);

const QString kBarLabel = QStringLiteral("100 mm");

double textLength(const QString& text)
{
    return kAdvancePerChar * kTextHeight * text.size();
}

double barLineLength()
{
    return kScaleBarLength + 2.0 + textLength(kBarLabel);
}

void addRect(std::vector<Shape>& out, double x, double y, double w, double h)
{
    if (w > 0 && h > 0)
        out.push_back({cv::Rect2d(x, y, w, h), false});
}

void addDisc(std::vector<Shape>& out, double cx, double cy, double r)
{
    if (r > 0)
        out.push_back({cv::Rect2d(cx - r, cy - r, 2 * r, 2 * r), true});
}

QString squaresText(const MainWindowSettings& s)
{
    return QStringLiteral("%1 x %2 squares of %3 mm").arg(s.numSquaresX).arg(s.numSquaresY).arg(mm(s.squareWidth));
}

void drawChessboard(const MainWindowSettings& s, BoardDrawing& d)
{
    for (int r = 0; r < s.numSquaresY; ++r)
        for (int c = 0; c < s.numSquaresX; ++c)
            if ((r + c) % 2 == 0) // the top-left square is black
                addRect(d.ink, c * s.squareWidth, r * s.squareHeight, s.squareWidth, s.squareHeight);
    d.caption = s.squareHeight == s.squareWidth
                    ? QStringLiteral("Chessboard ") + squaresText(s)
                    : QStringLiteral("Chessboard %1 x %2 squares of %3 x %4 mm")
                          .arg(s.numSquaresX)
                          .arg(s.numSquaresY)
                          .arg(mm(s.squareWidth), mm(s.squareHeight));
}

void drawCharuco(const MainWindowSettings& s, BoardDrawing& d)
{
    if (s.markerSize <= 0)
        refuse(QStringLiteral("The ArUco marker must be at least 1 mm."));
    if (s.markerSize >= s.squareWidth)
        refuse(QStringLiteral("The ArUco marker (%1 mm) must be smaller than the square (%2 mm).")
                   .arg(s.markerSize)
                   .arg(mm(s.squareWidth)));
    try {
        // The board object of the detector: its marker squares (either layout), ids and marker
        // corners are what detection expects to see.
        vantiro::aruco::CharucoBoard board(cv::Size(s.numSquaresX, s.numSquaresY), float(s.squareWidth),
                                           float(s.markerSize), vantiro::aruco::getPredefinedDictionary(s.dictionary));
        board.setLegacyPattern(s.legacyPattern);
        const std::vector<cv::Point> markers = board.markerSquares();
        std::vector<bool> hasMarker(size_t(s.numSquaresX) * size_t(s.numSquaresY), false);
        for (const cv::Point& m : markers)
            hasMarker[size_t(m.y) * size_t(s.numSquaresX) + size_t(m.x)] = true;
        const double L = s.squareWidth;
        for (int r = 0; r < s.numSquaresY; ++r)
            for (int c = 0; c < s.numSquaresX; ++c)
                if (!hasMarker[size_t(r) * size_t(s.numSquaresX) + size_t(c)])
                    addRect(d.ink, c * L, r * L, L, L);

        const cv::Ptr<cv::aruco::Dictionary>& dictionary = board.getDictionary();
        const int cells = dictionary->markerSize + 2; // with the one-bit black border
        const auto& corners = board.getObjPoints();
        const auto& ids = board.getIds();
        for (size_t i = 0; i < ids.size(); ++i) {
            cv::Mat bits;
            cv::aruco::drawMarker(dictionary, ids[i], cells, bits, 1); // one pixel per bit
            const cv::Point3f& topLeft = corners[i][0];
            const double x0 = topLeft.x, y0 = topLeft.y;
            const double bit = double(corners[i][1].x - topLeft.x) / cells;
            for (int by = 0; by < cells; ++by) {
                const uchar* row = bits.ptr<uchar>(by);
                // Runs of black bits as one rectangle each.
                for (int bx = 0; bx < cells;) {
                    if (row[bx]) {
                        ++bx;
                        continue;
                    }
                    const int start = bx;
                    while (bx < cells && !row[bx])
                        ++bx;
                    addRect(d.ink, x0 + start * bit, y0 + by * bit, (bx - start) * bit, bit);
                }
            }
        }
    } catch (const cv::Exception& e) {
        refuse(QString::fromStdString(e.err) + QLatin1Char('.'));
    }
    d.caption = QStringLiteral("ChArUco ") + squaresText(s) +
                QStringLiteral(", markers %1 mm, %2").arg(s.markerSize).arg(dictionaryName(s.dictionary)) +
                (s.legacyPattern ? QStringLiteral(", legacy layout") : QString());
}

void drawRadon(const MainWindowSettings& s, cv::Point dots, BoardDrawing& d)
{
    const double L = s.squareWidth;
    for (int r = 0; r < s.numSquaresY; ++r)
        for (int c = 0; c < s.numSquaresX; ++c) {
            const RadonCell cell = radonCell(c, r, s.numSquaresX, s.numSquaresY, dots);
            const double x0 = c * L, y0 = r * L;
            if (cell.black) {
                addRect(d.ink, x0 + cell.ink.x * L, y0 + cell.ink.y * L, cell.ink.width * L, cell.ink.height * L);
                for (int i = 0; i < cell.capCount; ++i) {
                    const cv::Vec3d& cap = cell.caps[size_t(i)];
                    addDisc(d.ink, x0 + cap[0] * L, y0 + cap[1] * L, cap[2] * L);
                }
            }
            if (cell.dot)
                addDisc(cell.black ? d.white : d.ink, x0 + cell.dotDisc[0] * L, y0 + cell.dotDisc[1] * L,
                        cell.dotDisc[2] * L);
        }
    d.caption = QStringLiteral("Chessboard with markers ") + squaresText(s) +
                QStringLiteral(", dots at (%1, %2)").arg(dots.x).arg(dots.y);
}

cv::Point resolvedDots(const MainWindowSettings& s, cv::Point dots)
{
    return dots.x < 0 || dots.y < 0 ? radonDetectionMarkerCell(s.numSquaresX, s.numSquaresY) : dots;
}

// ------------------------------------------------------------------------------------ layout

// A strip of the page along one side of the board, in band coordinates: u along the strip (the
// reading direction of its text), v away from the board. The text's up direction points to the
// board in the strips below and right of it, away from it above and left of it.
struct Strip
{
    cv::Point2d origin;                // (u, v) = (0, 0): a corner of the board's quiet zone
    cv::Vec2d along, away;
    double depth = 0.0;                // free depth up to the printable margin
    double uMin = 0.0, uMax = 0.0;     // the printable range along the strip
    int angle = 0;
    bool upTowardsBoard = true;

    cv::Point2d at(double u, double v) const
    {
        return {origin.x + u * along[0] + v * away[0], origin.y + u * along[1] + v * away[1]};
    }
    // Where a line of the given length starts: at the board's edge when it can.
    std::optional<double> start(double length) const
    {
        if (uMax - uMin < length - 1e-9)
            return std::nullopt;
        return std::clamp(0.0, uMin, uMax - length);
    }
};

// Below, right of, above and left of the board b on a page.
std::vector<Strip> stripsAround(const cv::Rect2d& b, cv::Size2d page)
{
    const double m = kPrintMargin;
    const double left = b.x, right = b.x + b.width, top = b.y, bottom = b.y + b.height;
    std::vector<Strip> out(4);
    out[0] = {{left, bottom}, {1, 0}, {0, 1}, page.height - m - bottom, m - left, page.width - m - left, 0, true};
    out[1] = {{right, bottom}, {0, -1}, {1, 0}, page.width - m - right, bottom - (page.height - m), bottom - m, -90, true};
    out[2] = {{left, top}, {1, 0}, {0, -1}, top - m, m - left, page.width - m - left, 0, false};
    out[3] = {{left, bottom}, {0, -1}, {-1, 0}, left - m, bottom - (page.height - m), bottom - m, -90, false};
    return out;
}

void addStripRect(std::vector<Shape>& out, const Strip& s, double u, double v, double length, double depth)
{
    const cv::Point2d a = s.at(u, v), b = s.at(u + length, v + depth);
    addRect(out, std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x), std::abs(b.y - a.y));
}

// A text line occupying v in [v0, v0 + kTextLineDepth].
TextItem stripText(const Strip& s, double u, double v0, const QString& text)
{
    const double baseline = s.upTowardsBoard ? v0 + kAscent : v0 + kDescent;
    return {s.at(u, baseline), kTextHeight, s.angle, text};
}

// The bar line at depth v0 of a strip: the bar on its far side with ticks towards the board
// (long at the ends, short every 10 mm), the label after it.
void addBarLine(PageDrawing& page, const Strip& s, double u0, double v0)
{
    const double far = v0 + kBarLineDepth;
    addStripRect(page.ink, s, u0, far - kBarThickness, kScaleBarLength, kBarThickness);
    for (int i = 0; i <= 10; ++i) {
        const double tick = i == 0 || i == 10 ? kTickLength : kMinorTickLength;
        addStripRect(page.ink, s, u0 + std::min(i * 10.0, kScaleBarLength - kBarThickness), far - tick,
                     kBarThickness, tick);
    }
    page.texts.push_back(stripText(s, u0 + kScaleBarLength + 2.0, far - kTextLineDepth, kBarLabel));
}

bool boardFits(const BoardDrawing& board, cv::Size2d page)
{
    const cv::Size2d size = board.size();
    const double eps = 1e-9;
    return size.width <= page.width + eps && size.height <= page.height + eps &&
           board.grid.width + 2 * kPrintMargin <= page.width + eps &&
           board.grid.height + 2 * kPrintMargin <= page.height + eps;
}

// The board centred on the page, its shapes moved there; annotated when the bar and caption find
// room: both in one strip (below, right, above, left), else each in a strip of its own.
PageDrawing place(const BoardDrawing& board, cv::Size2d pageSize, bool annotate)
{
    PageDrawing out;
    out.size = pageSize;
    const cv::Size2d size = board.size();
    out.board = cv::Rect2d((pageSize.width - size.width) / 2, (pageSize.height - size.height) / 2, size.width,
                           size.height);
    out.gridOrigin = cv::Point2d(out.board.x + board.quietZone, out.board.y + board.quietZone);
    auto moved = [&](const std::vector<Shape>& shapes, std::vector<Shape>& to) {
        to.reserve(to.size() + shapes.size());
        for (const Shape& s : shapes)
            to.push_back({s.box + out.gridOrigin, s.disc});
    };
    moved(board.ink, out.ink);
    moved(board.white, out.white);
    out.annotated = false;
    if (!annotate)
        return out;

    const std::vector<Strip> strips = stripsAround(out.board, pageSize);
    const double barLength = barLineLength(), captionLength = textLength(board.caption);
    const double eps = 1e-9;
    for (const Strip& s : strips) {
        const double stacked = kStripGap + kBarLineDepth + kLineGap + kTextLineDepth;
        const auto bar = s.start(barLength), caption = s.start(captionLength);
        if (bar && caption && s.depth + eps >= stacked) {
            addBarLine(out, s, *bar, kStripGap);
            out.texts.push_back(stripText(s, *caption, kStripGap + kBarLineDepth + kLineGap, board.caption));
            out.annotated = true;
            return out;
        }
    }
    for (const Strip& forBar : strips)
        for (const Strip& forCaption : strips) {
            if (&forBar == &forCaption)
                continue;
            const auto bar = forBar.start(barLength), caption = forCaption.start(captionLength);
            if (bar && caption && forBar.depth + eps >= kStripGap + kBarLineDepth &&
                forCaption.depth + eps >= kStripGap + kTextLineDepth) {
                addBarLine(out, forBar, *bar, kStripGap);
                out.texts.push_back(stripText(forCaption, *caption, kStripGap, board.caption));
                out.annotated = true;
                return out;
            }
        }
    return out;
}

} // namespace

std::optional<Paper> paperFromName(const QString& name)
{
    for (Paper p : {Paper::A4, Paper::A3, Paper::Letter, Paper::Fit})
        if (name.compare(paperName(p), Qt::CaseInsensitive) == 0)
            return p;
    return std::nullopt;
}

QString paperName(Paper paper)
{
    switch (paper) {
    case Paper::A4:
        return QStringLiteral("A4");
    case Paper::A3:
        return QStringLiteral("A3");
    case Paper::Letter:
        return QStringLiteral("Letter");
    case Paper::Fit:
        break;
    }
    return QStringLiteral("fit");
}

cv::Size2d paperSize(Paper paper)
{
    switch (paper) {
    case Paper::A4:
        return {210, 297};
    case Paper::A3:
        return {297, 420};
    case Paper::Letter:
        return {215.9, 279.4};
    case Paper::Fit:
        break;
    }
    return {0, 0};
}

std::optional<Format> formatForPath(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pdf"))
        return Format::Pdf;
    if (suffix == QLatin1String("svg"))
        return Format::Svg;
    if (suffix == QLatin1String("png"))
        return Format::Png;
    return std::nullopt;
}

BoardDrawing boardDrawing(const MainWindowSettings& s, cv::Point radonDots)
{
    const int kind = s.targetType;
    if (kind != Chessboard && kind != ChArUco && kind != RadonChessboardWithMarkers)
        refuse(QStringLiteral("Unknown target type %1.").arg(kind));
    const int minSquares = kind == ChArUco ? 2 : 3;
    if (s.numSquaresX < minSquares || s.numSquaresY < minSquares)
        refuse(QStringLiteral("The board needs at least %1 x %1 squares, not %2 x %3.")
                   .arg(minSquares)
                   .arg(s.numSquaresX)
                   .arg(s.numSquaresY));
    if (!positive(s.squareWidth) || !positive(s.squareHeight))
        refuse(QStringLiteral("The square size must be a positive number of millimetres."));
    if (kind != Chessboard && s.squareWidth != s.squareHeight)
        refuse(QStringLiteral("ChArUco and marker chessboards have square squares."));

    BoardDrawing d;
    d.grid = cv::Size2d(s.numSquaresX * s.squareWidth, s.numSquaresY * s.squareHeight);
    d.quietZone = boardBorder(std::max(s.squareWidth, s.squareHeight));
    const cv::Size2d size = d.size();
    if (size.width > kMaxPageSide || size.height > kMaxPageSide)
        refuse(QStringLiteral("The board (%1 x %2 mm) is larger than a page can be (%3 mm).")
                   .arg(mm(size.width), mm(size.height), mm(kMaxPageSide)));
    switch (kind) {
    case Chessboard:
        drawChessboard(s, d);
        break;
    case ChArUco:
        drawCharuco(s, d);
        break;
    default:
        drawRadon(s, resolvedDots(s, radonDots), d);
        break;
    }
    d.caption += QStringLiteral(" - print at 100 %");
    return d;
}

PageDrawing layoutPage(const BoardDrawing& board, Paper paper)
{
    if (paper != Paper::Fit) {
        const cv::Size2d portrait = paperSize(paper);
        const cv::Size2d landscape(portrait.height, portrait.width);
        const bool wide = board.size().width > board.size().height;
        std::optional<PageDrawing> bare;
        for (const cv::Size2d& o : {wide ? landscape : portrait, wide ? portrait : landscape}) {
            if (!boardFits(board, o))
                continue;
            PageDrawing page = place(board, o, true);
            page.paper = paper;
            page.landscape = o.width > o.height;
            page.paperLabel = paperName(paper) + (page.landscape ? QStringLiteral(" landscape") : QStringLiteral(" portrait"));
            if (page.annotated)
                return page;
            if (!bare)
                bare = std::move(page);
        }
        if (bare)
            return *bare;
    }

    // A custom page: the board centred, the bar and caption stacked below it, the margins around.
    const cv::Size2d size = board.size();
    const double band = kStripGap + kBarLineDepth + kLineGap + kTextLineDepth;
    const double longest = std::max(barLineLength(), textLength(board.caption));
    const cv::Size2d page(
        std::ceil(std::max({size.width, board.grid.width + 2 * kPrintMargin, longest + 2 * kPrintMargin})),
        std::ceil(size.height + 2 * (band + kPrintMargin)));
    PageDrawing out = place(board, page, true);
    out.paper = Paper::Fit;
    out.fitsPaper = paper == Paper::Fit;
    out.paperLabel = QStringLiteral("custom page %1 x %2 mm").arg(mm(page.width), mm(page.height));
    return out;
}

PageDrawing boardPage(const BoardDrawing& board)
{
    PageDrawing out = place(board, board.size(), false);
    out.paper = Paper::Fit;
    out.paperLabel = QStringLiteral("board %1 x %2 mm").arg(mm(out.size.width), mm(out.size.height));
    return out;
}

cv::Mat rasterisePage(const PageDrawing& page, double k)
{
    cv::Mat out(std::max(1, int(std::ceil(page.size.height * k - 1e-9))),
                std::max(1, int(std::ceil(page.size.width * k - 1e-9))), CV_8UC1, cv::Scalar(255));
    // A pixel belongs to a shape when its centre does.
    auto first = [](double edge) { return int(std::ceil(edge - 0.5)); };
    auto fill = [&](const std::vector<Shape>& shapes, uchar value) {
        for (const Shape& s : shapes) {
            const double x0 = s.box.x * k, y0 = s.box.y * k, x1 = (s.box.x + s.box.width) * k,
                         y1 = (s.box.y + s.box.height) * k;
            const int c0 = std::max(0, first(x0)), c1 = std::min(out.cols, first(x1));
            const int r0 = std::max(0, first(y0)), r1 = std::min(out.rows, first(y1));
            if (c0 >= c1 || r0 >= r1)
                continue;
            if (!s.disc) {
                out(cv::Range(r0, r1), cv::Range(c0, c1)).setTo(value);
                continue;
            }
            const double cx = 0.5 * (x0 + x1), cy = 0.5 * (y0 + y1), r = 0.5 * (x1 - x0);
            for (int y = r0; y < r1; ++y) {
                uchar* row = out.ptr<uchar>(y);
                const double dy = y + 0.5 - cy;
                for (int x = c0; x < c1; ++x) {
                    const double dx = x + 0.5 - cx;
                    if (dx * dx + dy * dy <= r * r)
                        row[x] = value;
                }
            }
        }
    };
    fill(page.ink, 0);
    fill(page.white, 255);
    return out;
}

// ------------------------------------------------------------------------------------ SVG

namespace {

QString num(double v)
{
    QString s = QString::number(v, 'f', 4);
    while (s.endsWith(QLatin1Char('0')))
        s.chop(1);
    if (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    return s == QLatin1String("-0") ? QStringLiteral("0") : s;
}

// Every shape as a clockwise sub-path of one path: with the non-zero rule they unite, and no
// seams show between touching shapes.
QString pathData(const std::vector<Shape>& shapes)
{
    QString d;
    for (const Shape& s : shapes) {
        const cv::Rect2d& b = s.box;
        if (!s.disc) {
            d += QStringLiteral("M%1 %2H%3V%4H%1Z").arg(num(b.x), num(b.y), num(b.x + b.width), num(b.y + b.height));
        } else {
            const double r = 0.5 * b.width, cy = b.y + r;
            d += QStringLiteral("M%1 %2A%3 %3 0 1 1 %4 %2A%3 %3 0 1 1 %1 %2Z")
                     .arg(num(b.x), num(cy), num(r), num(b.x + b.width));
        }
    }
    return d;
}

} // namespace

QByteArray svgDocument(const PageDrawing& page)
{
    const QString w = num(page.size.width), h = num(page.size.height);
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%1mm\" "
                                 "height=\"%2mm\" viewBox=\"0 0 %1 %2\">\n")
                      .arg(w, h);
    const QString title = page.texts.empty() ? QString() : page.texts.back().text;
    if (!title.isEmpty())
        svg += QStringLiteral("<title>%1</title>\n").arg(title.toHtmlEscaped());
    svg += QStringLiteral("<rect width=\"%1\" height=\"%2\" fill=\"#ffffff\"/>\n").arg(w, h);
    if (!page.ink.empty())
        svg += QStringLiteral("<path fill=\"#000000\" d=\"%1\"/>\n").arg(pathData(page.ink));
    if (!page.white.empty())
        svg += QStringLiteral("<path fill=\"#ffffff\" d=\"%1\"/>\n").arg(pathData(page.white));
    for (const TextItem& t : page.texts) {
        const QString x = num(t.origin.x), y = num(t.origin.y);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"%3\" "
                              "fill=\"#000000\"%4>%5</text>\n")
                   .arg(x, y, num(t.height),
                        t.angle ? QStringLiteral(" transform=\"rotate(%1 %2 %3)\"").arg(t.angle).arg(x, y) : QString(),
                        t.text.toHtmlEscaped());
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

bool writeSvgFile(const QString& path, const PageDrawing& page, QString* error)
{
    QSaveFile file(path);
    const QByteArray data = svgDocument(page);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

// ------------------------------------------------------------------------------------ check

namespace {

// Where the detector's object point of a corner lies in the board frame.
cv::Point2d boardPointOf(const MainWindowSettings& s, const TargetCorner& c, bool reversed)
{
    const double w = s.squareWidth, h = s.squareHeight;
    switch (s.targetType) {
    case Chessboard: {
        const int perRow = s.numSquaresX - 1;
        const int k = reversed ? perRow * (s.numSquaresY - 1) - 1 - c.id : c.id;
        return {(k % perRow + 1) * w, (k / perRow + 1) * h};
    }
    case ChArUco:
        return {c.objectPoint.x, c.objectPoint.y};
    default:
        // The Radon conversion runs its grid columns down the board: (x, y) there is (row, column).
        return {c.objectPoint.y + w, c.objectPoint.x + h};
    }
}

} // namespace

BoardCheck checkBoard(const MainWindowSettings& s, cv::Point radonDots, const BoardDrawing& board)
{
    BoardCheck check;
    auto problem = [&](const QString& why) {
        check.detectable = false;
        check.problems << why;
    };
    if (s.targetType != ChArUco && (s.numSquaresX + s.numSquaresY) % 2 == 0)
        check.notes << kAmbiguityWarning.trimmed();

    if (s.targetType == RadonChessboardWithMarkers) {
        const cv::Point dots = resolvedDots(s, radonDots);
        const cv::Point expected = radonDetectionMarkerCell(s.numSquaresX, s.numSquaresY);
        const QString at = QStringLiteral("Marker Position X = %1, Y = %2");
        if (dots.x < 0 || dots.y < 0 || dots.x + 1 >= s.numSquaresX || dots.y + 1 >= s.numSquaresY)
            problem(QStringLiteral("The three marker dots (%1) do not all lie on the board; the detector expects "
                                   "them at %2.")
                        .arg(at.arg(dots.x).arg(dots.y), at.arg(expected.x).arg(expected.y)));
        else if ((dots.x + dots.y) % 2 == 0)
            problem(QStringLiteral("The marker dots sit in a black cell (%1): the detector does not find a board "
                                   "printed like this. It expects the dots at %2.")
                        .arg(at.arg(dots.x).arg(dots.y), at.arg(expected.x).arg(expected.y)));
        else if (dots != expected)
            problem(QStringLiteral("The detector takes the dots for the middle of the board, at %1; with the dots "
                                   "at %2 it gives the corners the wrong places on the board and loses some of them.")
                        .arg(at.arg(expected.x).arg(expected.y), at.arg(dots.x).arg(dots.y)));
        if (!check.detectable)
            return check;
    }

    // The trial: squares of at least 32 px and marker bits of at least 4 px, in at most 2400 px.
    const double square = std::min(s.squareWidth, s.squareHeight);
    double k = 32.0 / square;
    double minK = 16.0 / square;
    if (s.targetType == ChArUco && s.markerSize > 0) {
        const int bits = vantiro::aruco::getPredefinedDictionary(s.dictionary)->markerSize + 2;
        k = std::max(k, 4.0 * bits / s.markerSize);
        minK = std::max(minK, 3.0 * bits / s.markerSize);
    }
    const cv::Size2d size = board.size();
    k = std::min(k, 2400.0 / std::max(size.width, size.height));
    if (k < minK) {
        check.notes << QStringLiteral("The board has too many squares for a trial detection; it was not checked.");
        return check;
    }
    cv::Mat image = rasterisePage(boardPage(board), k);
    cv::GaussianBlur(image, image, cv::Size(0, 0), 0.7);
    TargetCornerList corners;
    bool found = false;
    try {
        found = detectTarget(image, s, corners);
    } catch (const cv::Exception& e) {
        problem(QStringLiteral("The detector refuses these settings: %1.").arg(QString::fromStdString(e.err)));
        return check;
    } catch (const std::exception& e) {
        problem(QStringLiteral("The detector refuses these settings: %1.").arg(QString::fromLocal8Bit(e.what())));
        return check;
    }
    if (!found || corners.empty()) {
        problem(QStringLiteral("The detector does not find this board even in a clean image of it."));
        return check;
    }

    // Every corner where its object point says, up to one shift of the whole grid (the Radon
    // origin rule may place it a square off); the chessboard may be reported from either end.
    const double tolerance = std::max(1.0, 0.1 * square * k);
    const cv::Point2d quiet(board.quietZone, board.quietZone);
    size_t misplaced = corners.size();
    double worst = 0;
    for (const bool reversed : {false, true}) {
        if (reversed && s.targetType != Chessboard)
            break;
        std::vector<cv::Point2d> offsets;
        for (const TargetCorner& c : corners) {
            const cv::Point2d seen(c.imagePoint.x + 0.5, c.imagePoint.y + 0.5);
            offsets.push_back(seen - (boardPointOf(s, c, reversed) + quiet) * k);
        }
        const cv::Point2d shift = s.targetType == RadonChessboardWithMarkers ? offsets.front() : cv::Point2d();
        size_t off = 0;
        double maxError = 0;
        for (const cv::Point2d& o : offsets) {
            const double e = cv::norm(o - shift);
            maxError = std::max(maxError, e);
            off += e > tolerance;
        }
        if (off < misplaced) {
            misplaced = off;
            worst = maxError / k;
        }
    }
    const size_t all = size_t(s.numSquaresX - 1) * size_t(s.numSquaresY - 1);
    if (misplaced > 0)
        problem(QStringLiteral("The detector finds this board but puts %1 of its %2 corners in the wrong place "
                               "(up to %3 mm off).")
                    .arg(misplaced)
                    .arg(corners.size())
                    .arg(mm(worst)));
    else if (s.targetType != RadonChessboardWithMarkers && corners.size() < all)
        problem(QStringLiteral("The detector finds only %1 of the board's %2 corners even in a clean image of it.")
                    .arg(corners.size())
                    .arg(all));
    else if (corners.size() < all)
        check.notes << QStringLiteral("The detector finds %1 of the board's %2 corners in a clean image of it (its "
                                      "origin rule loses a column on boards of this size).")
                           .arg(corners.size())
                           .arg(all);
    return check;
}

// ------------------------------------------------------------------------------------ export

std::optional<PreparedExport> prepareExport(const ExportRequest& r, LogSink& log)
{
    auto abort = [&](const QString& text) {
        log.append(QStringLiteral("Error: ") + text + QStringLiteral(" Aborting.\n\n"), logcolor::Red);
        return std::nullopt;
    };
    if (r.path.trimmed().isEmpty())
        return abort(QStringLiteral("No file name was given for the target."));
    const std::optional<Format> format = formatForPath(r.path);
    if (!format)
        return abort(QStringLiteral("The target is written as .pdf, .svg or .png, not as %1.").arg(r.path));
    if (QFileInfo(r.path).isDir())
        return abort(QStringLiteral("%1 is a folder.").arg(r.path));
    if (*format == Format::Png && (r.dpi < kMinDpi || r.dpi > kMaxDpi))
        return abort(QStringLiteral("The resolution must be %1 to %2 dpi, not %3.").arg(kMinDpi).arg(kMaxDpi).arg(r.dpi));

    PreparedExport out;
    out.format = *format;
    try {
        out.board = boardDrawing(r.settings, r.radonDots);
        out.check = checkBoard(r.settings, r.radonDots, out.board);
    } catch (const std::exception& e) {
        return abort(QStringLiteral("No board can be drawn from these target settings: %1")
                         .arg(QString::fromLocal8Bit(e.what())));
    }
    out.page = layoutPage(out.board, r.paper);
    if (*format == Format::Png) {
        const double side = std::max(out.page.size.width, out.page.size.height) * r.dpi / 25.4;
        const double area = out.page.size.width * out.page.size.height * std::pow(r.dpi / 25.4, 2);
        if (side > kMaxPngSide || area > 4e8)
            return abort(QStringLiteral("The page (%1 x %2 mm) is too large for a PNG file at %3 dpi; choose a lower "
                                        "resolution.")
                             .arg(mm(out.page.size.width), mm(out.page.size.height))
                             .arg(r.dpi));
    }

    const QString orange = logcolor::Orange;
    for (const QString& p : out.check.problems)
        log.append(QStringLiteral("Warning: ") + p + QLatin1Char('\n'), orange);
    if (!out.check.detectable)
        log.append(QStringLiteral("Warning: The detector will not find the board these settings describe.\n"), orange);
    for (const QString& n : out.check.notes)
        log.append(n.startsWith(QLatin1String("Warning")) ? n + QLatin1Char('\n')
                                                           : QStringLiteral("Note: ") + n + QLatin1Char('\n'),
                   orange);
    const cv::Size2d size = out.board.size();
    if (!out.page.fitsPaper)
        log.append(QStringLiteral("Warning: The board (%1 x %2 mm with its white margin) does not fit on %3 paper at "
                                  "true scale. It is written on a %4 instead; print that at 100 % on paper at least "
                                  "that large.\n")
                       .arg(mm(size.width), mm(size.height), paperName(r.paper), out.page.paperLabel),
                   orange);
    if (!out.page.annotated)
        log.append(QStringLiteral("Warning: %1 leaves no room for the scale bar and caption outside the board's white "
                                  "margin; they are left out.\n")
                       .arg(out.page.paperLabel),
                   orange);
    return out;
}

QString suggestedFileName(const MainWindowSettings& s)
{
    QString kind = QStringLiteral("Chessboard");
    QString extra;
    if (s.targetType == ChArUco) {
        kind = QStringLiteral("ChArUco");
        extra = QStringLiteral("_%1mm_%2").arg(s.markerSize).arg(dictionaryName(s.dictionary));
        if (s.legacyPattern)
            extra += QStringLiteral("_legacy");
    } else if (s.targetType == RadonChessboardWithMarkers) {
        kind = QStringLiteral("ChessboardWithMarkers");
    }
    QString size = mm(s.squareWidth);
    if (s.targetType == Chessboard && s.squareHeight != s.squareWidth)
        size += QLatin1Char('x') + mm(s.squareHeight);
    return QStringLiteral("%1_%2x%3_%4mm%5.pdf").arg(kind).arg(s.numSquaresX).arg(s.numSquaresY).arg(size, extra);
}

void logExportWritten(const ExportRequest& r, const PreparedExport& p, LogSink& log)
{
    static const char* const kFormats[] = {"PDF", "SVG", "PNG"};
    QString what = QStringLiteral("%1, %2").arg(QString::fromLatin1(kFormats[int(p.format)]), p.page.paperLabel);
    if (p.format == Format::Png)
        what += QStringLiteral(" at %1 dpi").arg(r.dpi);
    log.append(QStringLiteral("Target written to:\n"), QString(), true);
    log.append(QStringLiteral("%1\n%2; board %3 x %4 mm with its white margin.\n\n")
                   .arg(r.path, what, mm(p.board.size().width), mm(p.board.size().height)));
}

} // namespace vantiro::print
