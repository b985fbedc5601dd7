#pragma once
// Helpers shared by the target detectors and the modules that consume their corners.

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

#include "targets/TargetDetection.h"

namespace TNQ {

// The parallel lists the calibration calls take, in list order.
std::vector<cv::Point2f> imagePoints(const TargetCornerList& corners);
std::vector<cv::Point3f> objectPoints(const TargetCornerList& corners);
std::vector<int> cornerIds(const TargetCornerList& corners);

// The corner with the given id, or nullptr.
const TargetCorner* findCorner(const TargetCornerList& corners, int id);

// How far each corner of a detected grid (rows x cols, row-major) lies from where its
// neighbours put it, in pixels: a homography fitted by least median of squares to the 5 x 5
// block of corners around it (moved inwards at the grid's edges) predicts it. Lens distortion
// bends a grid only slowly, so real corners stay well under a pixel, while corners a detector
// made up, or grids out of order, miss by many pixels. Empty for grids smaller than 3 x 3 or
// a size that does not match the list.
std::vector<double> gridResiduals(const std::vector<cv::Point2f>& corners, int rows, int cols);

// Whether the image shows a chessboard corner at each grid corner (rows x cols, row-major):
// the corner stays put (within max(1 px, 3 % of the spacing)) when refined against the image,
// and the four points a quarter spacing away along the grid's diagonals read dark, light,
// dark, light. A position a detector extrapolated either moves to the real corner nearby or
// sits on a uniform area. Grids smaller than 2 x 2 are not judged (all true).
std::vector<bool> cornersSeenInImage(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, int rows, int cols);

// Median distance between neighbouring corners of a grid (rows x cols, row-major), pixels;
// 0 for a grid without neighbours.
double gridSpacing(const std::vector<cv::Point2f>& corners, int rows, int cols);

// Root-mean-square residual (pixels) of the homography from a marker layout's corners
// (objPoints indexed by marker id, x and y in millimetres) to the detected marker corners.
// Infinite with fewer than 3 known markers: two markers fit any layout exactly.
double markerLayoutResidual(const std::vector<std::vector<cv::Point2f>>& markerCorners,
                            const std::vector<int>& markerIds,
                            const std::vector<std::vector<cv::Point3f>>& objPoints);

// Chessboard with markers: whether the image really shows the three dots the detector's meta
// claims (value 4 at the white origin cell with a black dot, 3 at the black cells right of
// and below it with white dots). Each meta entry describes the cell whose top-left corner is
// that grid corner. False when meta holds no 4 or the cells are not inside the grid.
bool markerDotsVisible(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, const cv::Mat& meta);

// Swaps rows and columns of a row-major corner grid and its meta matrix (rows x cols on input).
void transposeGrid(std::vector<cv::Point2f>& corners, cv::Mat& meta);

// Places a sub-grid found by the chessboard-with-markers detector inside the full grid:
// the corner the detector marks with 4 in 'meta' (the origin marker) is taken to sit at the
// centre of the full grid, fullGrid = (column count, row count). Corners that fall outside
// the full grid are dropped. Ids are fullCols * row + column, object points
// (column, row) * squareSize. Raises the library's assertion error when meta is not 8-bit
// single-channel or does not match the corner count; without a 4 in meta it writes a line to
// standard error and returns an empty list.
TargetCornerList extractTargetCornerTripletsFromMeta(const std::vector<cv::Point2f>& corners, const cv::Mat& meta,
                                                     std::pair<int, int> fullGrid, float squareSize);

} // namespace TNQ
