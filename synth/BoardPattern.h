#pragma once
// The printed calibration target as a function on its plane, for every target kind.
//
// Board frame (millimetres): origin at the top-left outer corner of the square grid as
// printed, x along the columns (numSquaresX), y down along the rows (numSquaresY), z into
// the board (right-handed), so the camera looks at the printed side from negative z.
// For ChArUco this is exactly the library's board frame (its chessboardCorners and marker
// corners are in it).

#include <opencv2/core.hpp>

#include <vector>

#include "targets/TargetSettings.h"

namespace vantiro::synth {

// One inner corner of the grid, in the board frame.
struct BoardCorner
{
    int id = 0;         // row-major over the inner corners: row * (numSquaresX - 1) + column
    cv::Point2d point;  // ((column + 1) * square width, (row + 1) * square height)
};

// Cell (column, row) that carries the origin dot of a Radon board; the two other dots sit
// in the cells below and to the right of it.
struct RadonMarkerCell
{
    int column = -1; // -1: centred, see BoardPattern::centredRadonMarker
    int row = -1;
};

class BoardPattern
{
public:
    using RadonMarker = RadonMarkerCell;

    // Throws std::invalid_argument for settings no board can be printed from (fewer than
    // 2 squares, non-positive sizes, unknown kind, ChArUco marker not smaller than the square
    // or more markers than the dictionary holds, Radon dots outside the grid).
    // margin: white paper around the grid in millimetres; negative picks half a square.
    explicit BoardPattern(const MainWindowSettings& settings, RadonMarker radonMarker = RadonMarker(),
                          double margin = -1.0);

    // The dot cell the Radon detection's origin rule expects: the cell whose top-left corner is
    // inner corner ((numSquaresX - 1) / 2 - 1, (numSquaresY - 1) / 2 - 1), where the detection
    // places its origin. The dot cell has to be white; when that one is black, the cell to its
    // right is used and the detection's grid is off by one column (it drops column 0).
    static RadonMarker centredRadonMarker(int numSquaresX, int numSquaresY);

    TargetType kind() const { return m_kind; }
    int squaresX() const { return m_nx; }
    int squaresY() const { return m_ny; }
    double squareWidth() const { return m_w; }
    double squareHeight() const { return m_h; }
    double margin() const { return m_margin; }
    RadonMarker radonMarker() const { return m_marker; }
    // The grid without the margin: (numSquaresX * width) x (numSquaresY * height) mm.
    cv::Size2d gridSize() const { return {m_nx * m_w, m_ny * m_h}; }
    // The whole sheet including the margin, in board coordinates.
    cv::Rect2d sheet() const;

    // Reflectance at a board point: 0 black ink, 1 white paper, -1 off the sheet.
    // Point sampling: anti-aliasing is the caller's business (supersample the footprint).
    double albedo(double x, double y) const;

    // All (numSquaresX - 1) * (numSquaresY - 1) inner corners, in id order.
    std::vector<BoardCorner> innerCorners() const;

    // ChArUco only: the marker squares as (column, row) in marker id order, following the
    // legacy layout when it applies (legacy flag and an even number of rows).
    const std::vector<cv::Point>& markerSquares() const { return m_markerSquares; }

private:
    double charucoAlbedo(double x, double y, int col, int row) const;
    double radonAlbedo(double x, double y, int col, int row) const;

    TargetType m_kind = Chessboard;
    int m_nx = 0;
    int m_ny = 0;
    double m_w = 0.0;
    double m_h = 0.0;
    double m_margin = 0.0;
    // ChArUco
    double m_markerLength = 0.0;
    int m_markerCells = 0;              // marker side in bit cells, including the 1-cell border
    std::vector<int> m_squareMarker;    // per square (row-major): marker id or -1
    std::vector<cv::Point> m_markerSquares;
    std::vector<cv::Mat> m_markerBits;  // per marker id: m_markerCells^2 bytes, 0 black
    // Radon
    RadonMarker m_marker;
};

} // namespace vantiro::synth
