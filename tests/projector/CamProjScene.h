#pragma once
// A small camera-projector rig for the tests: a 320 x 240 camera looking at a 9 x 7 chessboard
// (25 mm squares) about 550 mm away, a 256 x 192 projector 150 mm to its right. Capture sets are
// rendered into folders as a user would capture them.

#include <QDir>
#include <QStringList>

#include <opencv2/core.hpp>

#include <cmath>
#include <limits>

#include "GrayCodeSequence.h"
#include "synth/ProjectorCapture.h"

namespace camproj_test {

using namespace vantiro::synth;

inline const cv::Size kProjector(256, 192);
inline const CameraModel kCamera = CameraModel::ideal({320, 240}, 420.0);
inline const CameraModel kLens = CameraModel::ideal(kProjector, 300.0);
inline MainWindowSettings boardSettings()
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 9;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 25.0;
    s.projectorWidth = kProjector.width;
    s.projectorHeight = kProjector.height;
    return s;
}

struct RenderedSet
{
    QStringList files;
    TargetPose pose;
    ProjectorSetup projector;
};

// The projector aimed at 'aim' (camera frame); aiming beside the board leaves part of it unlit.
inline ProjectorSetup projectorAimedAt(const cv::Vec3d& aim)
{
    return ProjectorSetup::aimedAt(kLens, cv::Vec3d(150.0, -20.0, 0.0), aim);
}

// ambient: room light on white paper (grey values); with more than a little of it the unlit part
// of a board can still be detected.
inline RenderedSet renderSet(const QString& folder, const TargetPose& pose, const cv::Vec3d& aim, uint64_t seed,
                             double ambient = 1.5)
{
    static const std::vector<cv::Mat> patterns = graySequence(kProjector);
    RenderedSet set;
    set.pose = pose;
    set.projector = projectorAimedAt(aim);
    ProjectorCaptureOptions options;
    options.effects.noiseSeed = seed;
    options.light.ambientLevel = ambient;
    const BoardPattern board(boardSettings());
    set.files = writeCaptureSet(folder, renderProjectorCapture(kCamera, board, pose, set.projector, patterns, options).images);
    return set;
}

// Where the projector shows the board corner the camera sees nearest to 'camera' (NaN when no
// corner is within 1 px).
inline cv::Point2d trueProjectorCorner(const RenderedSet& set, const cv::Point2f& camera)
{
    const BoardPattern board(boardSettings());
    for (const TruthCorner& corner : projectCorners(kCamera, board, set.pose, 0.0)) {
        if (std::hypot(corner.image.x - camera.x, corner.image.y - camera.y) > 1.0)
            continue;
        const cv::Vec3d inCamera = set.pose.R * cv::Vec3d(corner.board.x, corner.board.y, 0.0) + set.pose.t;
        return projectToPixel(kLens, set.projector.R * inCamera + set.projector.t);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
}

} // namespace camproj_test
