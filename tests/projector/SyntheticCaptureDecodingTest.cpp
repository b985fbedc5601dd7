#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "CamProjScene.h"
#include "projector/GrayCodeSets.h"

using namespace camproj_test;

TEST(SyntheticCaptureDecoding, LitBoardPixelsDecodeToTheTrueProjectorPixel)
{
    QTemporaryDir dir;
    const BoardPattern board(boardSettings());
    const std::vector<cv::Mat> patterns = graySequence(kProjector);
    struct PoseCase { const char* name; double tiltX, tiltY, roll; cv::Vec3d shift, aim; }; // aim: where the projector points
    // In the last the beam misses the left part of the board: unlit board pixels must not decode.
    const PoseCase poses[] = { { "frontal", 0, 0, 0, cv::Vec3d(), cv::Vec3d(0, 0, 550) },
                               { "tilted 20/-15, roll 5", 20, -15, 5, cv::Vec3d(), cv::Vec3d(0, 0, 550) },
                               { "turned 35 about y, shifted", 0, 35, -8, cv::Vec3d(-30, 20, 60), cv::Vec3d(0, 0, 600) },
                               { "half outside the beam", 10, 10, 0, cv::Vec3d(), cv::Vec3d(230, 0, 550) } };
    for (int i = 0; i < 4; ++i) {
        const PoseCase& p = poses[i];
        ProjectorCaptureOptions options;
        options.effects.noiseSeed = 100 + i;
        const TargetPose pose = viewPose(board, 550.0, p.tiltX, p.tiltY, p.roll, p.shift);
        const ProjectorCapture capture = renderProjectorCapture(kCamera, board, pose, projectorAimedAt(p.aim), patterns, options);
        // The module's path: light estimate and decoding from the files.
        cv::Mat decoded;
        ASSERT_TRUE(camproj::decodeSet(writeCaptureSet(dir.path() + "/pose" + QString::number(i), capture.images),
                                       decoded, kProjector, nullptr)) << p.name;
        // Lit: the truth is known (false for NaN); unlit: at least 2 px away from any lit pixel.
        cv::Mat t[2], d[2], rounded[2], nearLit;
        cv::split(capture.truth, t);
        cv::split(decoded, d);
        const cv::Mat lit = t[0] == t[0];
        cv::dilate(lit, nearLit, cv::Mat::ones(5, 5, CV_8UC1));
        for (int ch = 0; ch < 2; ++ch)
            t[ch].convertTo(rounded[ch], CV_32S), rounded[ch].convertTo(rounded[ch], CV_32F);
        // Within +-1 of the rounded truth in both channels (false for NaN), and exactly.
        const cv::Mat correct = lit & (cv::abs(d[0] - rounded[0]) <= 1) & (cv::abs(d[1] - rounded[1]) <= 1);
        const cv::Mat exact = correct & (d[0] == rounded[0]) & (d[1] == rounded[1]);
        const cv::Mat unlit = ~nearLit, undecoded = ~(d[0] == d[0]) & ~(d[1] == d[1]);
        const cv::Mat unlitOnBoard = unlit & (capture.albedo >= 0.0f); // on the sheet, lit by the room alone
        const double litCount = cv::countNonZero(lit);
        EXPECT_GT(litCount, 10000) << p.name;
        EXPECT_GE(cv::countNonZero(correct), 0.99 * litCount) << p.name;
        // Decoded pixels are the rounded true position: no shift hides in the +-1 allowance.
        EXPECT_GE(cv::countNonZero(exact), 0.5 * litCount) << p.name;
        EXPECT_LT(cv::norm(cv::mean(decoded - capture.truth, correct), cv::NORM_INF), 0.1) << p.name << ": mean error";
        EXPECT_GT(cv::countNonZero(unlit), 5000) << p.name;
        EXPECT_GE(cv::countNonZero(unlit & undecoded), 0.995 * cv::countNonZero(unlit)) << p.name;
        EXPECT_GE(cv::countNonZero(unlitOnBoard & undecoded), 0.99 * cv::countNonZero(unlitOnBoard)) << p.name;
        EXPECT_TRUE(i != 3 || cv::countNonZero(unlitOnBoard) > 3000) << "the beam misses much of the board";
    }
}

TEST(SyntheticCaptureDecoding, TruthIsTheProjectorsViewOfTheBoard)
{
    // The truth must agree with the library's projection of the board through the projector
    // pose, or decoding tests would only check the renderer against itself. Both lenses are
    // ideal: camera and projector pixels of the board plane are related by a homography.
    const BoardPattern board(boardSettings());
    const TargetPose pose = viewPose(board, 550.0, 15, -10, 3);
    const ProjectorSetup projector = projectorAimedAt(cv::Vec3d(0, 0, 550));
    const ProjectorCapture capture = renderProjectorCapture(kCamera, board, pose, projector, { graySequence(kProjector)[0] },
                                                            ProjectorCaptureOptions{ .supersampling = 1, .light = {} });
    std::vector<cv::Point3d> corners;
    for (const BoardCorner& corner : board.innerCorners())
        corners.push_back(cv::Point3d(pose.R * cv::Vec3d(corner.point.x, corner.point.y, 0.0) + pose.t));
    cv::Vec3d rvec;
    cv::Rodrigues(projector.R, rvec);
    std::vector<cv::Point2d> inCamera, inProjector;
    cv::projectPoints(corners, cv::Vec3d(), cv::Vec3d(), kCamera.K, kCamera.distCoeffs(), inCamera);
    cv::projectPoints(corners, rvec, cv::Vec3d(projector.t), kLens.K, kLens.distCoeffs(), inProjector);
    cv::Mat pixels(capture.truth.size(), CV_64FC2), expected, truth, lit;
    pixels.forEach<cv::Vec2d>([](cv::Vec2d& p, const int* position) { p = cv::Vec2d(position[1], position[0]); });
    cv::perspectiveTransform(pixels, expected, cv::findHomography(inCamera, inProjector));
    capture.truth.convertTo(truth, CV_64F);
    cv::extractChannel(capture.truth == capture.truth, lit, 0); // false for NaN
    ASSERT_GT(cv::countNonZero(lit), 20000);
    EXPECT_LT(cv::norm(truth, expected, cv::NORM_INF, lit), 1e-3); // float precision
}
