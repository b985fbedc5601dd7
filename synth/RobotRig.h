#pragma once
// Robot set-ups with exactly known geometry for the hand-eye and tool-flange calibrations.
//
// Hand-eye: the camera rides on the robot's tool (X = camera -> TCP) and looks at a target
// lying fixed in the robot base frame (W = target -> base). Tool-flange: the camera stands
// fixed (Y = camera -> base) and the target rides on the flange (X = target -> TCP).
// For every view the rig holds the TCP pose G (TCP -> base) and the target's pose in the
// camera C, so that G X C = W (hand-eye) and G X = Y C (tool-flange).
//
// The target frame is the one the detection reports object points in (targetFrame), and
// boardPose() turns C into the renderer's board frame.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "synth/BoardPattern.h"
#include "synth/CameraModel.h"
#include "synth/Renderer.h"

namespace vantiro::synth {

// A rigid transform, X_parent = R X + t (mm).
struct Rigid
{
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Vec3d t;

    Rigid operator*(const Rigid& o) const { return {R * o.R, R * o.t + t}; }
    Rigid inverse() const { return {R.t(), -(R.t() * t)}; }
    cv::Vec3d rvec() const;
    static Rigid fromRvec(const cv::Vec3d& rvec, const cv::Vec3d& t);
};

struct RobotRig
{
    bool handEye = true;
    Rigid X;                   // hand-eye: camera -> TCP; tool-flange: target -> TCP
    Rigid Y;                   // tool-flange: camera -> base; hand-eye: the target -> base (W)
    std::vector<Rigid> tcp;    // G per view: TCP -> base
    std::vector<Rigid> target; // C per view: target -> camera
};

// The detection's target frame in the board frame (target -> board). ChArUco: the board's own
// frame. Chessboard: the sector-based detector starts at the far end of the grid as the
// renderer prints it (its top-left square is black), so the frame sits at the last inner corner,
// turned by 180 degrees; that holds for an odd number of squares in all, where the colours tell
// the ends apart. Throws std::invalid_argument for a chessboard with markers (its frame follows
// the marker, which the rigs do not model) and for a chessboard of an even number of squares.
Rigid targetFrame(const BoardPattern& board);

// The renderer's pose of the board for a target pose in the detection frame.
TargetPose boardPose(const BoardPattern& board, const Rigid& targetToCamera);

// count views with the whole target in the image (a margin of 12 px around every corner),
// turned up to maxTiltDeg about both board axes and up to 45 degrees about the view axis.
RobotRig makeHandEyeRig(const CameraModel& camera, const BoardPattern& board, int count, uint64_t seed,
                        double maxTiltDeg = 35.0);
RobotRig makeToolFlangeRig(const CameraModel& camera, const BoardPattern& board, int count, uint64_t seed,
                           double maxTiltDeg = 35.0);

} // namespace vantiro::synth
