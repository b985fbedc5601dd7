#include "targets/BoardImages.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

#include "Common/ArucoCompat.h"

namespace {

bool fitsCap(double cols, double rows)
{
    return cols <= kMaxBoardImageSide && rows <= kMaxBoardImageSide;
}

TargetStatusInfo invalid(const cv::Exception& e, QString* message)
{
    if (message)
        *message = QString::fromStdString(e.what());
    return targetStatus(TargetStatus::Invalid);
}

} // namespace

int boardBorder(double squareSize)
{
    return int(squareSize * 0.5);
}

BoardImage chessboardImage(int numX, int numY, double squareWidth, double squareHeight)
{
    BoardImage out;
    out.status = chessboardStatus(numX, numY);
    out.border = boardBorder(std::max(squareWidth, squareHeight));
    out.width = std::max(numX, 0) * squareWidth + 2.0 * out.border;
    out.height = std::max(numY, 0) * squareHeight + 2.0 * out.border;
    if (numX <= 0 || numY <= 0 || !(squareWidth > 0) || !(squareHeight > 0) || !std::isfinite(squareWidth) ||
        !std::isfinite(squareHeight))
        return out;

    // 1 px per mm; squares under a millimetre scaled up until they are a pixel wide, huge boards
    // scaled down under the cap, both by powers of two.
    double scale = 1.0;
    while (std::min(squareWidth, squareHeight) * scale < 1.0 && scale < 1024.0)
        scale *= 2.0;
    auto side = [&](int n, double square) {
        return n * std::floor(square * scale) + 2.0 * std::floor(out.border * scale);
    };
    while (!fitsCap(side(numX, squareWidth), side(numY, squareHeight)))
        scale /= 2.0;
    const int w = int(squareWidth * scale);
    const int h = int(squareHeight * scale);
    const int b = int(out.border * scale);
    out.pixelsPerMm = scale;
    out.image = cv::Mat(std::max(1, numY * h + 2 * b), std::max(1, numX * w + 2 * b), CV_8UC1, cv::Scalar(255));
    for (int r = 0; r < numY; ++r)
        for (int c = 0; c < numX; ++c)
            if ((r + c) % 2 == 0 && w > 0 && h > 0)
                out.image(cv::Rect(b + c * w, b + r * h, w, h)).setTo(0);
    return out;
}

RadonCell radonCell(int col, int row, int numX, int numY, cv::Point markerCell)
{
    RadonCell cell;
    cell.black = (col + row) % 2 == 0;
    cell.dot = (col == markerCell.x && row == markerCell.y) || (col == markerCell.x && row == markerCell.y + 1) ||
               (col == markerCell.x + 1 && row == markerCell.y);
    if (!cell.black)
        return cell;
    const bool left = col == 0, right = col == numX - 1, top = row == 0, bottom = row == numY - 1;
    const double u0 = left ? 0.5 : 0.0, u1 = right ? 0.5 : 1.0;
    const double v0 = top ? 0.5 : 0.0, v1 = bottom ? 0.5 : 1.0;
    cell.ink = cv::Rect2d(u0, v0, u1 - u0, v1 - v0);
    const double mu = 0.5 * (u0 + u1), mv = 0.5 * (v0 + v1);
    const double across = 0.5 * (u1 - u0), down = 0.5 * (v1 - v0);
    auto cap = [&](bool cut, double u, double v, double radius) {
        if (cut && radius > 0)
            cell.caps[size_t(cell.capCount++)] = cv::Vec3d(u, v, radius);
    };
    cap(top, mu, v0, across);
    cap(bottom, mu, v1, across);
    cap(left, u0, mv, down);
    cap(right, u1, mv, down);
    return cell;
}

cv::Point radonDetectionMarkerCell(int numX, int numY)
{
    cv::Point cell((numX - 1) / 2, (numY - 1) / 2);
    if ((cell.x + cell.y) % 2 == 0)
        ++cell.x;
    return cell;
}

int radonBoardValue(double u, double v, int numX, int numY, cv::Point markerCell)
{
    if (!(u >= 0 && v >= 0 && u < numX && v < numY))
        return 1;
    const int col = std::min(int(u), numX - 1);
    const int row = std::min(int(v), numY - 1);
    const double fu = u - col;
    const double fv = v - row;
    const RadonCell cell = radonCell(col, row, numX, numY, markerCell);
    auto inDisc = [&](const cv::Vec3d& d) {
        return (fu - d[0]) * (fu - d[0]) + (fv - d[1]) * (fv - d[1]) <= d[2] * d[2];
    };
    if (cell.dot && inDisc(cell.dotDisc))
        return cell.black ? 1 : 0;
    if (!cell.black)
        return 1;
    const cv::Rect2d& r = cell.ink;
    if (fu >= r.x && fu <= r.x + r.width && fv >= r.y && fv <= r.y + r.height)
        return 0;
    for (int i = 0; i < cell.capCount; ++i)
        if (inDisc(cell.caps[size_t(i)]))
            return 0;
    return 1;
}

BoardImage radonImage(int numX, int numY, double squareSize, int markerX, int markerY)
{
    BoardImage out;
    out.status = chessboardStatus(numX, numY);
    out.border = boardBorder(squareSize);
    out.width = std::max(numX, 0) * squareSize + 2.0 * out.border;
    out.height = std::max(numY, 0) * squareSize + 2.0 * out.border;
    if (numX <= 0 || numY <= 0 || !(squareSize > 0) || !std::isfinite(squareSize))
        return out;

    // Cells of whole millimetres, doubled with the border until they reach 100 px.
    long long s = std::max(1LL, (long long)squareSize);
    long long b = out.border;
    while (s < 100) {
        s *= 2;
        b *= 2;
    }
    while (!fitsCap(double(numX) * s + 2.0 * b, double(numY) * s + 2.0 * b) && s > 1) {
        s /= 2;
        b /= 2;
    }
    out.pixelsPerMm = double(s) / squareSize;
    const int cols = int(numX * s + 2 * b);
    const int rows = int(numY * s + 2 * b);
    out.image = cv::Mat(rows, cols, CV_8UC1, cv::Scalar(255));
    const cv::Point marker(markerX, markerY);
    cv::Mat& img = out.image;
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            uchar* row = img.ptr<uchar>(y);
            const double v = (y + 0.5 - double(b)) / double(s);
            for (int x = 0; x < cols; ++x) {
                const double u = (x + 0.5 - double(b)) / double(s);
                row[x] = radonBoardValue(u, v, numX, numY, marker) ? 255 : 0;
            }
        }
    });
    return out;
}

namespace {

// The marker length the preview draws with: a marker equal to (or, from older settings, larger
// than) the square would be refused by the library.
float previewMarkerLength(double squareSize, double markerSize)
{
    return markerSize < squareSize ? float(markerSize) : float(squareSize - 0.001);
}

} // namespace

TargetStatusInfo charucoStatus(int numX, int numY, double squareSize, double markerSize, int dictionaryId, bool legacy,
                               QString* message)
{
    try {
        vantiro::aruco::CharucoBoard board(cv::Size(numX, numY), float(squareSize),
                                           previewMarkerLength(squareSize, markerSize),
                                           vantiro::aruco::getPredefinedDictionary(dictionaryId));
        board.setLegacyPattern(legacy);
    } catch (const cv::Exception& e) {
        return invalid(e, message);
    }
    return targetStatus(TargetStatus::Valid);
}

BoardImage charucoImage(int numX, int numY, double squareSize, double markerSize, int dictionaryId, bool legacy)
{
    BoardImage out;
    out.border = boardBorder(squareSize);
    out.width = numX * squareSize + 2.0 * out.border;
    out.height = numY * squareSize + 2.0 * out.border;
    try {
        vantiro::aruco::CharucoBoard board(cv::Size(numX, numY), float(squareSize),
                                           previewMarkerLength(squareSize, markerSize),
                                           vantiro::aruco::getPredefinedDictionary(dictionaryId));
        board.setLegacyPattern(legacy);
        if (!std::isfinite(out.width) || !std::isfinite(out.height))
            CV_Error(cv::Error::StsOutOfRange, "The board size is not finite");

        // 1 px per mm; doubled while a marker bit would be under 2 px, halved under the cap.
        const int bits = board.getDictionary()->markerSize + 2;
        double scale = 1.0;
        while (board.getMarkerLength() * scale < 2.0 * bits && scale < 1024.0 &&
               fitsCap(2 * out.width * scale, 2 * out.height * scale))
            scale *= 2.0;
        while (!fitsCap(std::round(out.width * scale), std::round(out.height * scale)))
            scale /= 2.0;
        out.pixelsPerMm = scale;
        const cv::Size size(int(std::round(out.width * scale)), int(std::round(out.height * scale)));
        board.generateImage(size, out.image, int(out.border * scale), 1);
    } catch (const cv::Exception& e) {
        out.image.release();
        out.status = invalid(e, &out.message);
        return out;
    }
    out.status = targetStatus(TargetStatus::Valid);
    return out;
}

TargetStatusInfo targetSettingsStatus(const MainWindowSettings& s, QString* message)
{
    switch (s.targetType) {
    case Chessboard:
    case RadonChessboardWithMarkers:
        return chessboardStatus(s.numSquaresX, s.numSquaresY);
    case ChArUco:
        return charucoStatus(s.numSquaresX, s.numSquaresY, s.squareWidth, s.markerSize, s.dictionary, s.legacyPattern,
                             message);
    default:
        break;
    }
    if (message)
        *message = QStringLiteral("Unknown target type %1").arg(s.targetType);
    return targetStatus(TargetStatus::Invalid);
}

cv::Mat dimBoardImage(const cv::Mat& image)
{
    cv::Mat out;
    image.convertTo(out, CV_8U, 0.4, 51.0);
    return out;
}

cv::Mat flipBoardImage(const cv::Mat& image)
{
    cv::Mat out;
    cv::flip(image, out, 0);
    return out;
}
