#pragma once
#include <QString>

#include <opencv2/core.hpp>

#include <array>

// Geometry of the props the 3D views draw, free of any rendering library.

// The axes glyph as ASCII PLY with the placeholders ":LENGTH:" and ":WIDTH:" (a leading "-"
// in the text makes a value negative): a white centre cube and red, green and blue arms
// along x, y and z.
const QString& axesGlyphTemplate();
// The template with length L and width L / 40 filled in ('g' format, 6 significant digits).
QString axesGlyphPly(double length);

// Viewing frustum of a camera at depth d in its own frame: the four far corners (image
// corners (0,0), (w,0), (w,h), (0,h) back-projected) and the apex. A zero focal length gives
// non-finite corners.
std::array<cv::Vec3d, 5> frustumPoints(const cv::Mat& K, cv::Size imageSize, double depth);
bool allFinite(const std::array<cv::Vec3d, 5>& points);

// Corners of a board plane of nx x ny squares (sx x sy mm) at pose (R, t): origin O = t,
// A = R (nx sx, 0, 0) + t, B = R (0, ny sy, 0) + t.
struct BoardPlaneCorners
{
    cv::Vec3d origin, alongX, alongY;
};
BoardPlaneCorners boardPlaneCorners(const cv::Matx33d& R, const cv::Vec3d& t, int nx, int ny, double sx, double sy);
