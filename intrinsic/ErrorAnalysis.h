#pragma once
// Reprojection errors per corner, their colour code and the removal of outlier corners.

#include <QString>

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

#include "app/LogSink.h"

namespace vantiro::intrinsic {

struct ImageState;

// Green (0, 0.666, 0) through yellow to red (1, 0, 0), as (red, green, blue) fractions.
// Range mode: the ramp spans [minimum, maximum] (value clamped into it). Fixed mode: the ramp
// is centred on 1 px. Range mode needs both ends and rangeMode set.
cv::Vec3d errorColor(double value, std::optional<double> minimum, std::optional<double> maximum, bool rangeMode);
// The same with the process-wide "DynamicMinMaxColorMapping" switch deciding the mode.
cv::Vec3d errorColor(double value, std::optional<double> minimum = std::nullopt,
                     std::optional<double> maximum = std::nullopt);

// Each fraction clamped to 0..1, times 255, truncated; (red, green, blue).
cv::Vec3b toRgb8(const cv::Vec3d& color);
// "#rrggbb" of the 8-bit colour, as the log sinks take colours.
QString colorName(const cv::Vec3d& color);
// "color:rgb(r,g,b);" with the fractions times 255 in general format, for a label.
QString colorStyleSheet(const cv::Vec3d& color);

// For every image with a pose: reprojects its object points, takes the per-corner errors, the
// image's minimum and maximum and the colours of the kept corners. With removeOutliers set,
// corners whose error exceeds threshold are deleted from the image's corner lists and logged
// as "index:count " in orange, or "none\n" when there were none. Returns whether any corner
// was deleted.
bool analyseErrors(std::vector<ImageState>& images, const cv::Mat& K, const cv::Mat& distortion, bool removeOutliers,
                   double threshold, LogSink& log);

// Smallest and largest per-image RMS over the images that took part in the last calibration
// (RMS >= 0); nullopt when there are none.
std::optional<std::pair<double, double>> rmsRange(const std::vector<ImageState>& images);

} // namespace vantiro::intrinsic
