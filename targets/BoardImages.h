#pragma once
// Flat images of the configured target for the 3D preview, and the target's validity status.
// Images are 8-bit single-channel, white (255) background, black (0) print; the preview dims
// and flips them (dimBoardImage, flipBoardImage) before texturing its board box.

#include <QString>

#include <array>

#include <opencv2/core.hpp>

#include "targets/TargetSettings.h"

// Longest side of a board image in pixels. Boards that would be larger at the usual scale
// (1 px per mm, 100+ px per Radon cell) are drawn at a power-of-two smaller scale: a texture
// beyond this is more than graphics hardware takes and would cost hundreds of megabytes
// (the panel allows 999 rows of 999999 mm squares).
inline constexpr int kMaxBoardImageSide = 8192;

struct BoardImage
{
    cv::Mat image;           // CV_8UC1; empty when the board could not be built
    double width = 0.0;      // the board box, millimetres: the grid plus the border on each side
    double height = 0.0;
    int border = 0;          // b, whole millimetres
    double pixelsPerMm = 1.0;
    TargetStatusInfo status; // Valid / Ambiguous by the parity rule, Invalid when the library refused
    QString message;         // the library's exception text when Invalid
};

// The border b: half the (larger) square side, truncated to whole millimetres.
int boardBorder(double squareSize);

// Chessboard: 1 px per mm, squares of whole millimetres, the top-left square black.
BoardImage chessboardImage(int numX, int numY, double squareWidth, double squareHeight);

// Chessboard with three marker dots: cells of whole millimetres doubled (with the border) until
// at least 100 px; outer ring cut back to rounded tabs; dots in cells (markerX, markerY),
// (markerX, markerY + 1) and (markerX + 1, markerY).
BoardImage radonImage(int numX, int numY, double squareSize, int markerX, int markerY);

// ChArUco, drawn by the library (the legacy layout by our own drawing, same arithmetic). A
// marker not smaller than the square is drawn 0.001 smaller. Boards whose markers would get
// fewer than 2 px per bit are drawn at a doubled scale.
BoardImage charucoImage(int numX, int numY, double squareSize, double markerSize, int dictionaryId, bool legacy);

// Status of ChArUco settings without drawing: Invalid (with the library's message) when the
// board cannot be built, otherwise Valid. Same rules as charucoImage.
TargetStatusInfo charucoStatus(int numX, int numY, double squareSize, double markerSize, int dictionaryId,
                               bool legacy, QString* message = nullptr);

// Status of a settings record as the panel shows it (chessboard and Radon by parity).
TargetStatusInfo targetSettingsStatus(const MainWindowSettings& settings, QString* message = nullptr);

// Each pixel v becomes 0.4 * v + 51 (black 51, white 153).
cv::Mat dimBoardImage(const cv::Mat& image);
// Upside down, for a texture whose origin is the bottom-left.
cv::Mat flipBoardImage(const cv::Mat& image);

// One cell of a Radon board as shapes, in cell units: (0, 0) is the cell's top-left corner, u runs
// along the columns, v down the rows. Black cells are ink (the outer ring cut back by half a cell
// on its outer side(s), with a disc over each cut side: the disc's inner half lies in the cut-back
// cell, so the outer halves make the rounded tabs); a dot cell has its dot painted over that,
// white in a black cell and black in a white one. The preview image, the renderer and the printed
// board all draw from this.
struct RadonCell
{
    bool black = false;
    cv::Rect2d ink;                  // the (cut-back) black area of a black cell, bounds inclusive
    int capCount = 0;
    std::array<cv::Vec3d, 4> caps{}; // (u, v, radius) of each cap disc
    bool dot = false;
    cv::Vec3d dotDisc{0.5, 0.5, 0.17};
};
RadonCell radonCell(int col, int row, int numX, int numY, cv::Point markerCell);

// The dot cell (column, row) the Radon detection's origin rule expects: the cell whose top-left
// corner is inner corner ((numX - 1) / 2 - 1, (numY - 1) / 2 - 1), where the detection places its
// origin. Dots must sit in a white cell to be found; when that one is black, the cell to its
// right is used and the detection's grid is one column off (it drops column 0).
cv::Point radonDetectionMarkerCell(int numX, int numY);

// Radon board geometry shared with the synthetic renderer. (u, v) in cells from the grid's
// top-left corner, u along the columns; returns 0 for black print, 1 for white (also off the
// grid). markerCell is the origin dot's cell (column, row).
int radonBoardValue(double u, double v, int numX, int numY, cv::Point markerCell);
