#pragma once
// Camera geometry of the synthetic renderer: OpenCV's pinhole model with radial (k1..k6,
// rational) and tangential (p1, p2) distortion, and its inverse.
//
// Pixel convention: the centre of pixel (0, 0) is at image position (0, 0), as in
// cv::projectPoints; the pixel covers [-0.5, 0.5] x [-0.5, 0.5]. Like cv::projectPoints the
// model uses fx, fy, cx, cy of K and ignores its skew entry.

#include <opencv2/core.hpp>

#include <vector>

namespace vantiro::synth {

struct CameraModel
{
    cv::Matx33d K = cv::Matx33d::eye();
    // k1, k2, p1, p2, k3, k4, k5, k6: OpenCV's coefficient order; unused terms stay 0.
    cv::Vec<double, 8> dist = cv::Vec<double, 8>::all(0.0);
    cv::Size size;

    // Square pixels, principal point at the image centre ((w - 1) / 2, (h - 1) / 2), no distortion.
    static CameraModel ideal(cv::Size size, double focalPx);

    // Takes 4, 5 or 8 coefficients (any other count throws cv::Exception).
    void setDistortion(const std::vector<double>& coefficients);
    // The 1 x 8 row cv::projectPoints and cv::calibrateCamera accept.
    cv::Mat distCoeffs() const;
    bool hasDistortion() const;
};

// Normalised undistorted (x, y) -> normalised distorted coordinates.
cv::Point2d distortNormalized(const CameraModel& camera, cv::Point2d xy);

// Same result as cv::projectPoints with a zero pose; the point must lie in front (z > 0).
cv::Point2d projectToPixel(const CameraModel& camera, const cv::Vec3d& pointInCamera);

// Inverse of projectToPixel: the viewing ray (x, y, 1) through an image position.
// Iterative (Newton on the distortion model, seeded by the fixed-point iteration OpenCV's
// undistortPoints uses) and exact to about 1e-9 px. Returns false where the model has no
// unique inverse: beyond the radius where strong distortion folds the image back
// (there the mapping stops being orientation-preserving) or when it fails to converge.
// 'guess' (normalised, optional) speeds up neighbouring look-ups.
bool pixelToRay(const CameraModel& camera, cv::Point2d pixel, cv::Vec3d& ray, const cv::Point2d* guess = nullptr);

// True where the distortion mapping is locally one-to-one and orientation-preserving at the
// normalised undistorted position xy: corners there are seen once and unmirrored.
bool distortionIsRegular(const CameraModel& camera, cv::Point2d xy);

} // namespace vantiro::synth
