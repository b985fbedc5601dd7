#include "synth/RobotRig.h"

#include <opencv2/calib3d.hpp>

#include <stdexcept>

namespace vantiro::synth {

cv::Vec3d Rigid::rvec() const
{
    cv::Vec3d r;
    cv::Rodrigues(R, r);
    return r;
}

Rigid Rigid::fromRvec(const cv::Vec3d& rvec, const cv::Vec3d& t)
{
    Rigid p;
    cv::Rodrigues(rvec, p.R);
    p.t = t;
    return p;
}

Rigid targetFrame(const BoardPattern& board)
{
    if (board.kind() == ChArUco)
        return {};
    if (board.kind() != Chessboard)
        throw std::invalid_argument("robot rigs need a chessboard or ChArUco target");
    if ((board.squaresX() + board.squaresY()) % 2 == 0)
        throw std::invalid_argument("a chessboard of an even number of squares in all has no defined orientation");
    const cv::Matx33d turn(-1, 0, 0, 0, -1, 0, 0, 0, 1);
    return {turn, cv::Vec3d((board.squaresX() - 1) * board.squareWidth(), (board.squaresY() - 1) * board.squareHeight(), 0.0)};
}

TargetPose boardPose(const BoardPattern& board, const Rigid& targetToCamera)
{
    const Rigid p = targetToCamera * targetFrame(board).inverse();
    TargetPose pose;
    pose.R = p.R;
    pose.t = p.t;
    return pose;
}

namespace {

// Target poses in the camera that show every inner corner: tilted both ways, turned about the
// view axis, at varied distances and offsets.
std::vector<Rigid> visibleTargetPoses(const CameraModel& camera, const BoardPattern& board, int count, cv::RNG& rng,
                                      double maxTilt)
{
    const size_t corners = board.innerCorners().size();
    const cv::Size2d grid = board.gridSize();
    const Rigid frame = targetFrame(board);
    std::vector<Rigid> poses;
    for (int attempt = 0; int(poses.size()) < count; ++attempt) {
        if (attempt > 5000 * std::max(count, 1))
            throw std::invalid_argument("no pose shows the whole target to the camera");
        const double distance = distanceForCoverage(camera, board, rng.uniform(0.45, 0.7));
        const TargetPose pose =
            viewPose(board, distance, rng.uniform(-maxTilt, maxTilt), rng.uniform(-maxTilt, maxTilt),
                     rng.uniform(-45.0, 45.0),
                     cv::Vec3d(rng.uniform(-0.15, 0.15) * grid.width, rng.uniform(-0.15, 0.15) * grid.height, 0.0));
        if (projectCorners(camera, board, pose, 12.0).size() != corners)
            continue;
        poses.push_back(Rigid{pose.R, pose.t} * frame);
    }
    return poses;
}

} // namespace

RobotRig makeHandEyeRig(const CameraModel& camera, const BoardPattern& board, int count, uint64_t seed, double maxTilt)
{
    cv::RNG rng(seed);
    RobotRig rig;
    rig.handEye = true;
    // A camera beside the flange, looking along the tool, turned about it.
    rig.X = Rigid::fromRvec(cv::Vec3d(0.06, -0.09, 1.15), cv::Vec3d(42.5, -61.0, 118.0));
    // The target lies on a table in front of the robot, printed side up (its z into the table).
    rig.Y = Rigid::fromRvec(cv::Vec3d(CV_PI, 0.0, 0.0), cv::Vec3d(620.0, -140.0, 35.0)) *
            Rigid::fromRvec(cv::Vec3d(0.0, 0.0, 0.4), cv::Vec3d());
    rig.target = visibleTargetPoses(camera, board, count, rng, maxTilt);
    const Rigid cameraToTcp = rig.X;
    for (const Rigid& C : rig.target) {
        // Camera -> base = W C^-1; the TCP follows: G = (W C^-1) X^-1.
        rig.tcp.push_back(rig.Y * C.inverse() * cameraToTcp.inverse());
    }
    return rig;
}

RobotRig makeToolFlangeRig(const CameraModel& camera, const BoardPattern& board, int count, uint64_t seed, double maxTilt)
{
    cv::RNG rng(seed);
    RobotRig rig;
    rig.handEye = false;
    // The camera on a stand beside the robot, looking down into the workspace.
    const cv::Vec3d centre(950.0, 260.0, 820.0), lookAt(520.0, 30.0, 260.0);
    const cv::Vec3d z = cv::normalize(lookAt - centre);
    const cv::Vec3d x = cv::normalize(cv::Vec3d(0.0, 0.0, 1.0).cross(z));
    const cv::Vec3d y = z.cross(x);
    rig.Y.R = cv::Matx33d(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
    rig.Y.t = centre;
    // The target on the flange, centred on the tool axis, printed side away from the flange.
    const cv::Size2d grid = board.gridSize();
    rig.X = Rigid::fromRvec(cv::Vec3d(CV_PI * 0.98, 0.05, 0.0), cv::Vec3d(-0.4 * grid.width, 0.35 * grid.height, 22.0));
    rig.target = visibleTargetPoses(camera, board, count, rng, maxTilt);
    for (const Rigid& C : rig.target)
        rig.tcp.push_back(rig.Y * C * rig.X.inverse()); // G X = Y C
    return rig;
}

} // namespace vantiro::synth
