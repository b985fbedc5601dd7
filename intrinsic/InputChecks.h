#pragma once
// Bounds and sanity checks on what users hand the calibration (corner lists, images) and on what
// the calibration hands back, so that neither absurd input nor a non-finite result ever becomes a
// file or a calibration object.

#include <QString>

#include <opencv2/core.hpp>

#include <vector>

#include "app/LogSink.h"

namespace vantiro::intrinsic {

// Corners per view: a 200 x 100 board has 19701; calibration memory grows with the count.
inline constexpr int kMaxCornersPerView = 20'000;
// Image coordinates of corners may lie outside the image (projector views), but not this far.
inline constexpr double kMaxImageCoordinate = 1e5;
// Target coordinates in mm: 999 squares of at most 999999 mm each.
inline constexpr double kMaxObjectCoordinate = 1e9;

// True when the points do not all lie on one line (nor on one point): the second principal
// spread exceeds minSpread (same unit as the points).
bool spansPlane(const std::vector<cv::Point2f>& points, double minSpread);
bool spansPlane(const std::vector<cv::Point3f>& points);

// Why a corner list (image and target points of one view) cannot be used, or empty: counts,
// finite values within the bounds above, and at least 4 corners not on one line.
QString cornerListProblem(const std::vector<cv::Point2f>& imagePoints, const std::vector<cv::Point3f>& objectPoints);

// Why a calibration result must not be used, or empty: finite camera matrix with positive focal
// lengths below 1000 image widths and the principal point within 10 image sizes of the image,
// finite distortion and a finite, non-negative RMS.
QString intrinsicResultProblem(const cv::Mat& K, const cv::Mat& distortion, double rms, cv::Size imageSize);

// The red line that ends a run whose result is refused for problem.
void logUnusableResult(LogSink& log, const QString& problem);

} // namespace vantiro::intrinsic
