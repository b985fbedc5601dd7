#include "synth/BoardPattern.h"

#include <opencv2/aruco.hpp>

#include <cmath>
#include <stdexcept>
#include <string>

#include "Common/ArucoCompat.h"
#include "targets/BoardImages.h"

namespace vantiro::synth {

namespace {

void require(bool condition, const std::string& what)
{
    if (!condition)
        throw std::invalid_argument("Synthetic board: " + what);
}

bool positive(double v)
{
    return v > 0 && std::isfinite(v);
}

} // namespace

BoardPattern::RadonMarker BoardPattern::centredRadonMarker(int numSquaresX, int numSquaresY)
{
    const cv::Point cell = radonDetectionMarkerCell(numSquaresX, numSquaresY);
    return {cell.x, cell.y};
}

BoardPattern::BoardPattern(const MainWindowSettings& s, RadonMarker radonMarker, double margin)
    : m_kind(TargetType(s.targetType))
    , m_nx(s.numSquaresX)
    , m_ny(s.numSquaresY)
    , m_w(s.squareWidth)
    , m_h(s.squareHeight)
{
    require(s.targetType == Chessboard || s.targetType == ChArUco || s.targetType == RadonChessboardWithMarkers,
            "unknown target type " + std::to_string(s.targetType));
    require(m_nx >= 2 && m_ny >= 2, "a board needs at least 2 x 2 squares");
    require(positive(m_w) && positive(m_h), "square sizes must be positive");
    if (m_kind != Chessboard) {
        // One square size for both directions, as the panel hands them.
        require(m_w == m_h, "ChArUco and Radon squares are square");
    }
    m_margin = margin >= 0 ? margin : 0.5 * std::max(m_w, m_h);

    if (m_kind == ChArUco) {
        m_markerLength = s.markerSize;
        require(m_markerLength > 0 && m_markerLength < m_w, "the ChArUco marker must be smaller than the square");
        require(s.dictionary >= 0 && s.dictionary < vantiro::aruco::kPredefinedDictionaryCount,
                "dictionary " + std::to_string(s.dictionary) + " is not available");
        const cv::Ptr<cv::aruco::Dictionary> dict = vantiro::aruco::getPredefinedDictionary(s.dictionary);
        // Layout as the library defines it: top-left square black, markers where the column
        // and row parities differ, numbered row by row; legacy boards with an even row count
        // are shifted by one row.
        const bool shifted = s.legacyPattern && m_ny % 2 == 0;
        m_squareMarker.assign(size_t(m_nx) * size_t(m_ny), -1);
        for (int y = 0; y < m_ny; ++y)
            for (int x = 0; x < m_nx; ++x) {
                const bool marker = shifted ? ((y + 1) % 2 != x % 2) : (y % 2 != x % 2);
                if (!marker)
                    continue;
                m_squareMarker[size_t(y) * size_t(m_nx) + size_t(x)] = int(m_markerSquares.size());
                m_markerSquares.emplace_back(x, y);
            }
        require(int(m_markerSquares.size()) <= dict->bytesList.rows,
                "the board needs " + std::to_string(m_markerSquares.size()) + " markers, the dictionary holds " +
                    std::to_string(dict->bytesList.rows));
        m_markerCells = dict->markerSize + 2;
        m_markerBits.reserve(m_markerSquares.size());
        for (int id = 0; id < int(m_markerSquares.size()); ++id) {
            cv::Mat bits;
            cv::aruco::drawMarker(dict, id, m_markerCells, bits, 1); // one pixel per bit cell
            m_markerBits.push_back(bits);
        }
    } else if (m_kind == RadonChessboardWithMarkers) {
        require(m_nx >= 3 && m_ny >= 3, "a chessboard with markers needs at least 3 x 3 squares");
        m_marker = radonMarker.column < 0 || radonMarker.row < 0 ? centredRadonMarker(m_nx, m_ny) : radonMarker;
        require(m_marker.column >= 0 && m_marker.column + 1 < m_nx && m_marker.row >= 0 && m_marker.row + 1 < m_ny,
                "the marker dots must lie on the board");
    }
}

cv::Rect2d BoardPattern::sheet() const
{
    return {-m_margin, -m_margin, m_nx * m_w + 2 * m_margin, m_ny * m_h + 2 * m_margin};
}

double BoardPattern::albedo(double x, double y) const
{
    const double gw = m_nx * m_w, gh = m_ny * m_h;
    if (!(x >= -m_margin && y >= -m_margin && x < gw + m_margin && y < gh + m_margin))
        return -1.0;
    if (!(x >= 0 && y >= 0 && x < gw && y < gh))
        return 1.0;
    const int col = std::min(int(x / m_w), m_nx - 1);
    const int row = std::min(int(y / m_h), m_ny - 1);
    switch (m_kind) {
    case Chessboard:
        return (col + row) % 2 == 0 ? 0.0 : 1.0;
    case ChArUco:
        return charucoAlbedo(x, y, col, row);
    case RadonChessboardWithMarkers:
        return radonAlbedo(x, y, col, row);
    }
    return 1.0;
}

double BoardPattern::charucoAlbedo(double x, double y, int col, int row) const
{
    const int id = m_squareMarker[size_t(row) * size_t(m_nx) + size_t(col)];
    if (id < 0)
        return 0.0;
    const double inset = 0.5 * (m_w - m_markerLength);
    const double u = (x - col * m_w - inset) / m_markerLength;
    const double v = (y - row * m_h - inset) / m_markerLength;
    if (!(u >= 0 && v >= 0 && u < 1 && v < 1))
        return 1.0;
    const cv::Mat& bits = m_markerBits[size_t(id)];
    const int bx = std::min(int(u * m_markerCells), m_markerCells - 1);
    const int by = std::min(int(v * m_markerCells), m_markerCells - 1);
    return bits.at<uchar>(by, bx) ? 1.0 : 0.0;
}

double BoardPattern::radonAlbedo(double x, double y, int, int) const
{
    return radonBoardValue(x / m_w, y / m_h, m_nx, m_ny, cv::Point(m_marker.column, m_marker.row));
}

std::vector<BoardCorner> BoardPattern::innerCorners() const
{
    std::vector<BoardCorner> out;
    out.reserve(size_t(m_nx - 1) * size_t(m_ny - 1));
    for (int r = 0; r + 1 < m_ny; ++r)
        for (int c = 0; c + 1 < m_nx; ++c)
            out.push_back({r * (m_nx - 1) + c, cv::Point2d((c + 1) * m_w, (r + 1) * m_h)});
    return out;
}

} // namespace vantiro::synth
