#pragma once
// Synthetic structured-light captures: a projector shines each pattern image onto the
// planar target while the camera photographs it.
//
// Every camera sample ray is intersected with the board plane; the hit is projected into
// the projector (its lens is a CameraModel, pixel-centre convention) and picks the pattern
// value of the projector pixel it falls in. Grey value of a sample on the board:
//     reflectance * (ambient + projectorLevel * cos(incidence) * pattern / 255 + global)
// with reflectance = blackInk + albedo * (1 - blackInk). global = globalFraction *
// projectorLevel * (mean of the pattern) / 255 is light scattered inside the lit area
// (within the paper and between nearby points); board points outside the projector's beam
// get the ambient light alone. Samples off the sheet see backgroundLevel (beyond the
// projector's reach). Blur and noise follow through applySensorEffects, with a different
// noise seed per image. The defaults are a dark room, as structured light is captured.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

#include "synth/BoardPattern.h"
#include "synth/CameraModel.h"
#include "synth/Renderer.h"

namespace vantiro::synth {

// The projector as an inverse camera, placed relative to the camera:
// X_projector = R * X_camera + t (millimetres).
struct ProjectorSetup
{
    CameraModel lens; // intrinsics, distortion and resolution
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Vec3d t = cv::Vec3d(0.0, 0.0, 0.0);

    // A projector with its centre at 'centre' (camera frame) aimed at 'target' (camera
    // frame), its rows kept parallel to the camera's x-z plane as far as the aim allows.
    static ProjectorSetup aimedAt(const CameraModel& lens, const cv::Vec3d& centre, const cv::Vec3d& target);
    // The projector centre in the camera frame.
    cv::Vec3d centre() const;
};

struct ProjectorLight
{
    double projectorLevel = 200.0; // white paper under the projector's full white, head-on
    double ambientLevel = 1.5;     // white paper under room light alone
    double globalFraction = 0.05;  // share of the mean projected light scattered inside the lit area
    double blackInk = 0.08;        // reflectance of the ink relative to the paper
    double backgroundLevel = 0.5;  // whatever lies behind the board
};

struct ProjectorCaptureOptions
{
    int supersampling = 2; // n x n samples per camera pixel, 1..16
    ProjectorLight light;
    // Only blur, noise (seed + image number), gradient and vignetting are used.
    SensorEffects effects = defaultEffects();

    static SensorEffects defaultEffects();
};

struct ProjectorCapture
{
    std::vector<cv::Mat> images; // CV_8UC1, one per pattern, camera size
    // CV_32FC2: projector column and row (continuous, pixel-centre convention: the lit
    // projector pixel is their rounded value) seen at each camera pixel centre; NaN where
    // the centre ray misses the sheet or the projector does not reach it.
    cv::Mat truth;
    // CV_32F: board albedo at each camera pixel centre (0 ink, 1 paper), -1 off the sheet.
    cv::Mat albedo;
};

// Renders one capture per pattern image (CV_8UC1, all of the projector's size). Throws
// std::invalid_argument for an empty camera size, supersampling outside 1..16, no patterns
// or patterns that differ from the projector's resolution.
ProjectorCapture renderProjectorCapture(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                                        const ProjectorSetup& projector, const std::vector<cv::Mat>& patterns,
                                        const ProjectorCaptureOptions& options = {});

// Writes the images into folder (created when missing) as a capture tool would:
// <prefix><number>.png with the number counted from 0 and not padded. Returns the paths in
// sequence order; throws std::runtime_error when a file cannot be written.
QStringList writeCaptureSet(const QString& folder, const std::vector<cv::Mat>& images,
                            const QString& prefix = QString());

} // namespace vantiro::synth
