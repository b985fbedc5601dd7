#pragma once
// Pictures of a calibration's quality, the same for the module's "Quality" tab and the command
// line's report: the uncertainty heat map, the coverage, the residual vectors and the per-image
// error chart. All are 8-bit BGR images; the map pictures show the image at a scale that keeps
// their longer side within maxSide, with a legend strip on the right.

#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "intrinsic/CalibrationQuality.h"

namespace vantiro::intrinsic {

// Contour lines of the uncertainty heat map, px.
inline constexpr std::array<double, 4> kContourLevels = {0.1, 0.25, 0.5, 1.0};
// The heat map's colour scale runs logarithmically between these (px).
inline constexpr double kScaleLow = 0.01;
inline constexpr double kScaleHigh = 10.0;
// Width of the legend strip right of a map.
inline constexpr int kLegendWidth = 96;

struct QualityPictureOptions
{
    bool infinity = false;  // the map for points at infinity instead of at the quality's distance
    bool coverage = true;   // dim what no view covered and outline the covered area
    bool residuals = false; // the residual vectors, magnified
    int selectedImage = -1; // its residual vectors stand out
    int maxSide = 1280;
};

// Image pixels to picture pixels.
double pictureScale(cv::Size imageSize, int maxSide);

// The colour of an uncertainty on the heat map's scale (NaN: grey).
cv::Vec3b uncertaintyColor(double sigma);

// Residual magnification (1, 2, 5, 10, ...) that makes the typical residual about 15 picture
// pixels long.
double residualMagnification(const CalibrationQuality& quality, double scale);

// Heat map of the projection uncertainty with contour lines at kContourLevels and the legend.
cv::Mat uncertaintyPicture(const CalibrationQuality& quality, const QualityPictureOptions& options = {});
// Corners per cell, brighter where more corners fell, and the covered area's outline.
cv::Mat coveragePicture(const CalibrationQuality& quality, int maxSide = 1280);
// Every corner's residual vector, magnified and coloured by its length.
cv::Mat residualPicture(const CalibrationQuality& quality, int selectedImage = -1, int maxSide = 1280);

// RMS per used image as bars; a click at a point of the picture selects the bar's image.
struct ViewErrorChart
{
    cv::Mat picture;
    std::vector<int> images;       // image index of each bar, in bar order
    std::vector<cv::Rect> columns; // the clickable column of each bar, the full plot height

    // The image whose column holds point, -1 when none does.
    int imageAt(cv::Point2d point) const;
};
ViewErrorChart viewErrorChart(const CalibrationQuality& quality, cv::Size size, int selectedImage = -1);

} // namespace vantiro::intrinsic
