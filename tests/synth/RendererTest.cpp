#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "synth/Renderer.h"

using namespace vantiro::synth;

static MainWindowSettings chessboard(int nx, int ny, double square)
{
    return { .targetType = Chessboard, .numSquaresX = nx, .numSquaresY = ny, .squareWidth = square, .squareHeight = square };
}

// Fraction of [a, b] that lies in even stripes [2kS, (2k+1)S).
static double evenStripeFraction(double a, double b, double S)
{
    const auto F = [S](double x) {
        const double k = std::floor(x / (2 * S));
        return k * S + std::min(x - k * 2 * S, S);
    };
    return (F(b) - F(a)) / (b - a);
}

TEST(Renderer, PlaneIntersection)
{
    // Board tilted 30 degrees about its x axis, origin 800 mm ahead.
    const TargetPose pose = TargetPose::fromRvec(cv::Vec3d(30 * CV_PI / 180, 0, 0), cv::Vec3d(0, 0, 800));
    cv::Point2d hit;
    double depth = 0;
    ASSERT_TRUE(intersectTargetPlane(pose, cv::Vec3d(0, 0, 1), hit, &depth));
    EXPECT_LT(cv::norm(hit), 1e-9);
    EXPECT_NEAR(depth, 800, 1e-9);
    // Any board point seen along its own ray comes back.
    const cv::Vec3d P = pose.R * cv::Vec3d(120, -45, 0) + pose.t;
    ASSERT_TRUE(intersectTargetPlane(pose, P / P[2] * 3.0, hit, &depth));
    EXPECT_LT(cv::norm(hit - cv::Point2d(120, -45)), 1e-9);
    EXPECT_NEAR(depth, P[2], 1e-9);
    // Parallel rays and planes behind the camera are missed.
    EXPECT_FALSE(intersectTargetPlane(TargetPose::fromRvec(cv::Vec3d(0, CV_PI / 2, 0), cv::Vec3d(0, 0, 800)),
                                      cv::Vec3d(0, 0, 1), hit));
    EXPECT_FALSE(intersectTargetPlane(TargetPose{ cv::Matx33d::eye(), cv::Vec3d(0, 0, -500) }, cv::Vec3d(0.1, 0, 1), hit));
}

TEST(Renderer, TruthCornersAreOpenCvProjections)
{
    const BoardPattern board(chessboard(10, 9, 30));
    CameraModel cam = CameraModel::ideal({ 640, 480 }, 700);
    cam.setDistortion({ -0.25, 0.08, 0.001, -0.002, 0 });
    const TargetPose pose = viewPose(board, distanceForCoverage(cam, board, 0.7), 20, -15, 10);
    const std::vector<TruthCorner> truth = projectCorners(cam, board, pose, 2.0);
    ASSERT_EQ(truth.size(), 72u);
    std::vector<cv::Point3d> points;
    for (const TruthCorner& t : truth)
        points.emplace_back(t.board.x, t.board.y, 0.0);
    std::vector<cv::Point2d> expected;
    cv::projectPoints(points, pose.rvec(), pose.t, cv::Mat(cam.K), cam.distCoeffs(), expected);
    for (size_t i = 0; i < truth.size(); ++i) {
        EXPECT_EQ(truth[i].id, int(i));
        EXPECT_LT(cv::norm(truth[i].image - expected[i]), 1e-6) << "corner " << i;
    }
    // Corners off the image (or too near its edge) are left out, ids stay.
    const TargetPose shifted = viewPose(board, distanceForCoverage(cam, board, 0.7), 0, 0, 0, cv::Vec3d(230, 0, 0));
    const std::vector<TruthCorner> partial = projectCorners(cam, board, shifted, 2.0);
    EXPECT_TRUE(partial.size() > 20u && partial.size() < 72u) << partial.size();
    for (const TruthCorner& t : partial)
        EXPECT_EQ(t.board, board.innerCorners()[size_t(t.id)].point);
}

TEST(Renderer, FrontalViewOrientationAndScale)
{
    const BoardPattern board(chessboard(4, 3, 50));
    const CameraModel cam = CameraModel::ideal({ 400, 300 }, 500);
    const Rendering r = render(cam, board, viewPose(board, 1000, 0, 0, 0), RenderOptions());
    // Grid 200 x 150 mm at 0.5 px/mm, centred: the top-left square is black and at the top left.
    const cv::Point2d centre(cam.K(0, 2), cam.K(1, 2));
    const auto grey = [&](double dx, double dy) { return r.grey.at<uchar>(cvRound(centre.y + dy), cvRound(centre.x + dx)); };
    EXPECT_LT(grey(-40, -30), 40);  // square (0, 0)
    EXPECT_GT(grey(-15, -30), 200); // square (1, 0)
    ASSERT_EQ(r.corners.size(), 6u);
    EXPECT_LT(cv::norm(r.corners[0].image - (centre + cv::Point2d(-25, -12.5))), 1e-9);
    // The white margin (half a square) surrounds the grid, then the tinted background.
    EXPECT_GT(grey(-55, 0), 200);
    EXPECT_NEAR(grey(-70, 0), cv::saturate_cast<uchar>(0.114 * 95 * 1.15 + 0.587 * 95 * 0.95 + 0.299 * 95 * 0.8), 1);
}

TEST(Renderer, SupersamplingApproachesTheExactPixelIntegral)
{
    // Frontal chessboard: the box-filtered image has a closed form (per-axis stripe fractions).
    const BoardPattern board(chessboard(10, 9, 30), {}, 0.0);
    const CameraModel cam = CameraModel::ideal({ 320, 240 }, 700);
    const TargetPose pose = viewPose(board, 1400, 0, 0, 0, cv::Vec3d(1.234, 0.77, 0));
    const double S = 700 * 30 / 1400.0;
    const double ox = cam.K(0, 2) + 700 * pose.t[0] / pose.t[2], oy = cam.K(1, 2) + 700 * pose.t[1] / pose.t[2];
    const auto shader = [&](const PlaneSample& s) {
        const double a = board.albedo(s.board.x, s.board.y);
        return cv::Vec3f::all(float(25 + 200 * (a < 0 ? 1 : a)));
    };
    double previousMean = 1e9;
    for (int n : { 2, 4, 8, 16 }) {
        const cv::Mat radiance = renderPlane(cam, pose, n, shader, cv::Vec3f::all(225));
        double worst = 0, sum = 0;
        int edgePixels = 0;
        for (int y = 0; y < radiance.rows; ++y)
            for (int x = 0; x < radiance.cols; ++x) {
                const double x0 = std::max(x - 0.5 - ox, 0.0), x1 = std::min(x + 0.5 - ox, 10 * S);
                const double y0 = std::max(y - 0.5 - oy, 0.0), y1 = std::min(y + 0.5 - oy, 9 * S);
                double black = 0;
                if (x1 > x0 && y1 > y0) {
                    const double fx = evenStripeFraction(x0, x1, S), fy = evenStripeFraction(y0, y1, S);
                    black = (fx * fy + (1 - fx) * (1 - fy)) * (x1 - x0) * (y1 - y0);
                }
                const double exact = 225 - 200 * black;
                const double error = std::abs(radiance.at<cv::Vec3f>(y, x)[0] - exact);
                worst = std::max(worst, error);
                const bool edge = exact > 25.001 && exact < 224.999;
                sum += edge ? error : 0.0;
                edgePixels += edge;
                EXPECT_TRUE(edge || error <= 1e-6) << "uniform pixel " << x << ", " << y << " off by " << error;
            }
        const double mean = sum / edgePixels;
        EXPECT_LT(mean, previousMean) << "n = " << n;
        if (n >= 8) {
            EXPECT_LT(mean, 2.0) << "n = " << n; // of 200 grey values
            EXPECT_LT(worst, 12.0) << "n = " << n;
        }
        previousMean = mean;
    }
}

TEST(Renderer, SensorEffects)
{
    const cv::Mat flat(200, 300, CV_32FC1, cv::Scalar(100));
    // Vignetting: corners keep 1 - 0.4. Gradient 0.5: full brightness at one side, half at
    // the other, left to right at 0 degrees, top to bottom at 90.
    struct Case { double vignetting, gradient, angle; cv::Point bright, dim; double dimValue; };
    for (const Case& c : { Case{ 0.4, 0, 0, { 150, 100 }, { 0, 0 }, 60 }, Case{ 0, 0.5, 0, { 0, 100 }, { 299, 100 }, 50 },
                           Case{ 0, 0.5, 90, { 150, 0 }, { 150, 199 }, 50 } }) {
        const cv::Mat out =
            applySensorEffects(flat, { .gradient = c.gradient, .gradientAngleDeg = c.angle, .vignetting = c.vignetting });
        ASSERT_EQ(out.type(), CV_8UC1);
        EXPECT_NEAR(out.at<uchar>(c.bright), 100, 1) << c.vignetting << " " << c.gradient << " " << c.angle;
        EXPECT_NEAR(out.at<uchar>(c.dim), c.dimValue, 1) << c.vignetting << " " << c.gradient << " " << c.angle;
    }

    SensorEffects e{ .noiseSigma = 4 };
    const cv::Mat noisy = applySensorEffects(flat, e);
    cv::Scalar mean, stddev;
    cv::meanStdDev(noisy, mean, stddev);
    EXPECT_NEAR(mean[0], 100, 0.2);
    EXPECT_NEAR(stddev[0], 4, 0.2);
    e.noiseSeed = 2;
    EXPECT_GT(cv::norm(noisy, applySensorEffects(flat, e), cv::NORM_L1), 0);

    // Blur spreads a step over neighbouring pixels, symmetrically about the edge.
    cv::Mat step(20, 40, CV_32FC1, cv::Scalar(0));
    step.colRange(20, 40).setTo(200);
    const cv::Mat blurred = applySensorEffects(step, { .blurSigma = 1.5 });
    EXPECT_GT(blurred.at<uchar>(10, 18), 5);
    EXPECT_LT(blurred.at<uchar>(10, 21), 195);
    EXPECT_NEAR(blurred.at<uchar>(10, 19) + blurred.at<uchar>(10, 20), 200, 2);
}

TEST(Renderer, ColourAndGreyAgreeRepeatAndTheBackShowsNoPrint)
{
    Scene scene;
    scene.camera = CameraModel::ideal({ 320, 240 }, 350);
    scene.target = chessboard(6, 5, 40);
    const BoardPattern board(scene.target);
    scene.pose = viewPose(board, 900, 15, 10, 5);
    scene.options.effects.noiseSigma = 2;
    scene.options.effects.lightGain = cv::Vec3d(0.8, 1.0, 1.1);
    const Rendering a = render(scene);
    ASSERT_EQ(a.colour.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(a.colour, render(scene).colour, cv::NORM_INF), 0); // same scene, same seed, same image
    cv::Mat grey;
    cv::cvtColor(a.colour, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(grey, a.grey, cv::NORM_INF), 0);
    // The light colour shows in the channels of white paper.
    const cv::Point2d nearCorner = a.corners[0].image + cv::Point2d(3, -3);
    const cv::Vec3b paper = a.colour.at<cv::Vec3b>(cvRound(nearCorner.y), cvRound(nearCorner.x));
    EXPECT_TRUE(paper[0] < paper[1] && paper[1] < paper[2]) << paper;

    // Turned round about its y axis: the unprinted back, and no corners.
    const Rendering back = render(scene.camera, board, viewPose(board, 900, 0, 180, 0), RenderOptions());
    EXPECT_TRUE(back.corners.empty());
    double lo, hi;
    cv::minMaxLoc(back.grey(cv::Rect(140, 100, 40, 40)), &lo, &hi);
    EXPECT_EQ(lo, hi);
    EXPECT_NEAR(lo, 170, 1);
}

TEST(Renderer, RefusesBadScenes)
{
    // An empty image, supersampling outside 1..16; the same scene renders once they are fixed.
    Scene scene;
    scene.target = chessboard(6, 5, 40);
    for (const auto& [size, supersampling] : { std::pair(cv::Size(0, 0), 2), std::pair(cv::Size(64, 48), 0),
                                               std::pair(cv::Size(64, 48), 17) }) {
        scene.camera = CameraModel::ideal(size, 100);
        scene.options.supersampling = supersampling;
        EXPECT_THROW(render(scene), std::invalid_argument) << size << ", supersampling " << supersampling;
    }
    scene.options.supersampling = 2;
    EXPECT_NO_THROW(render(scene));
}
