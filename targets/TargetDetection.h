#pragma once
// Finding the configured calibration target in one image.

#include <opencv2/core.hpp>

#include <vector>

#include "targets/TargetSettings.h"

// One detected corner.
struct TargetCorner
{
    cv::Point2f imagePoint;  // sub-pixel position, pixels; the centre of pixel (0, 0) is (0, 0)
    cv::Point3f objectPoint; // position on the target, millimetres; z is always 0
    int32_t id = 0;          // stable corner id, see detectTarget
};

// In the order the detector reports the corners.
using TargetCornerList = std::vector<TargetCorner>;

// Clears 'corners', converts a multi-channel image to grey and runs the detector of
// settings.targetType. Returns whether the target was found (false for an unknown kind or an
// empty image). Exceptions of the vision library (for instance on 16-bit input or settings it
// refuses) reach the caller.
//
// Ids: chessboard 0 .. (X-1)(Y-1)-1 in detector order; ChArUco the board's corner ids;
// chessboard with markers the grid position relative to the origin marker. A chessboard with
// markers that is found without its origin marker yields true with an empty list.
//
// Beyond the library: ChArUco corners follow the pixel-centre convention like the others
// (4.6 reports them half a pixel off); a ChArUco view whose markers fit the other layout
// (standard vs legacy) is not found; for the chessboard with markers, corners the library
// makes up at the edge of a partial view are dropped, grids it reports on boards without
// proper dots are not found, and every grid is put in one orientation so that ids agree
// across views.
bool detectTarget(const cv::Mat& image, const MainWindowSettings& settings, TargetCornerList& corners);

// The detectors themselves: grey 8-bit image in, corners appended.
bool detectChessboard(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners);
bool detectCharuco(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners);
bool detectRadonChessboard(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners);
