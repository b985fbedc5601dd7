#pragma once
// Distortion model with its coefficients unpacked and the fold radius precomputed, for loops
// that map many points through one camera. Internal to the renderer.

#include <opencv2/core.hpp>

#include "synth/CameraModel.h"

namespace vantiro::synth::detail {

struct Distortion
{
    explicit Distortion(const CameraModel& camera);

    // Normalised undistorted -> normalised distorted, with the 2 x 2 Jacobian on request.
    cv::Point2d distort(cv::Point2d p, cv::Matx22d* jacobian = nullptr) const;
    // Inside the fold radius and orientation-preserving.
    bool regular(cv::Point2d p) const;
    // Normalised distorted -> undistorted; false outside the regular domain.
    bool undistort(cv::Point2d distorted, cv::Point2d& p, const cv::Point2d* guess = nullptr) const;
    bool pixelToNormalized(cv::Point2d pixel, cv::Point2d& p, const cv::Point2d* guess = nullptr) const;

    double k1, k2, p1, p2, k3, k4, k5, k6;
    double fx, fy, cx, cy;
    bool identity = true;
    double maxR2 = 0.0; // squared normalised radius where the radial map stops growing
};

} // namespace vantiro::synth::detail
