// Robot rigs: the loops close, and the target frame is the one the detection reports.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "synth/RobotRig.h"
#include "targets/TargetDetection.h"

using namespace vantiro::synth;

namespace {

const MainWindowSettings kChessboard{
    .numSquaresX = 8, .numSquaresY = 5, .squareWidth = 30.0, .squareHeight = 25.0, .dictionary = 10};
const MainWindowSettings kCharuco{.targetType = ChArUco, .numSquaresX = 7, .numSquaresY = 5, .squareWidth = 40.0,
                                  .squareHeight = 40.0, .markerSize = 30, .dictionary = 10};

double distance(const Rigid& a, const Rigid& b)
{
    return cv::norm(a.R, b.R) + cv::norm(a.t - b.t);
}

} // namespace

TEST(RobotRig, LoopsCloseForBothKinds)
{
    const CameraModel camera = CameraModel::ideal({640, 512}, 700);
    const BoardPattern board(kChessboard);
    const RobotRig handEye = makeHandEyeRig(camera, board, 6, 3);
    ASSERT_EQ(handEye.tcp.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_LT(distance(handEye.tcp[i] * handEye.X * handEye.target[i], handEye.Y), 1e-9) << i; // G X C = W
    const RobotRig toolFlange = makeToolFlangeRig(camera, board, 6, 4);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_LT(distance(toolFlange.tcp[i] * toolFlange.X, toolFlange.Y * toolFlange.target[i]), 1e-9) << i;
    // Views differ in rotation, or AX = XB has no unique answer.
    EXPECT_GT(cv::norm(toolFlange.target[0].rvec() - toolFlange.target[1].rvec()), 0.1);

    EXPECT_THROW(targetFrame(BoardPattern(MainWindowSettings{.targetType = RadonChessboardWithMarkers, .numSquaresX = 10,
                                                             .numSquaresY = 7, .squareWidth = 30, .squareHeight = 30})),
                 std::invalid_argument);
    EXPECT_THROW(targetFrame(BoardPattern(MainWindowSettings{.numSquaresX = 8, .numSquaresY = 6, .squareWidth = 30,
                                                             .squareHeight = 30})),
                 std::invalid_argument);
}

TEST(RobotRig, TheTargetFrameIsTheDetectionsFrame)
{
    // Each detected corner's object point, carried by the rig's target pose, lands on the corner (within the
    // detection's own error; a wrong frame is a square or more off).
    const CameraModel camera = CameraModel::ideal({640, 512}, 700);
    RenderOptions options;
    options.supersampling = 3;
    for (const MainWindowSettings& s : {kChessboard, kCharuco}) {
        const BoardPattern board(s);
        const RobotRig rig = makeToolFlangeRig(camera, board, 3, 7);
        for (const Rigid& C : rig.target) {
            const Rendering r = render(camera, board, boardPose(board, C), options);
            TargetCornerList corners;
            ASSERT_TRUE(detectTarget(r.grey, s, corners));
            ASSERT_GE(corners.size(), 12u);
            for (const TargetCorner& c : corners) {
                const cv::Vec3d p = C.R * cv::Vec3d(c.objectPoint.x, c.objectPoint.y, c.objectPoint.z) + C.t;
                EXPECT_LT(cv::norm(projectToPixel(camera, p) - cv::Point2d(c.imagePoint)), 0.6)
                    << "kind " << s.targetType << " id " << c.id;
            }
        }
    }
}
