#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <iostream>
#include <vector>

#include "projector/GrayCodePatternGenerator.h"
#include "projector/GrayCodeSets.h"
#include "synth/ProjectorCapture.h"

using namespace vantiro::synth;

namespace {

const cv::Size kProjector(256, 192);
const cv::Size kCamera(320, 240);

// A 320 x 240 camera looking at a 9 x 7 chessboard (25 mm squares) about 550 mm away; the
// projector sits 150 mm to the right and samples the board about 1.4 times more coarsely
// than the camera.
struct Rig
{
    CameraModel camera = CameraModel::ideal(kCamera, 420.0);
    CameraModel lens = CameraModel::ideal(kProjector, 300.0);
    MainWindowSettings target;
    std::vector<cv::Mat> patterns;

    Rig()
    {
        target.targetType = Chessboard;
        target.numSquaresX = 9;
        target.numSquaresY = 7;
        target.squareWidth = target.squareHeight = 25.0;
        GrayCodePatternGenerator generator(kProjector.height, kProjector.width);
        for (int i = 0; i < generator.imageCount(); ++i)
            patterns.push_back(generator.nextImage());
    }
    ProjectorSetup projector(const cv::Vec3d& aim = cv::Vec3d(0.0, 0.0, 550.0)) const
    {
        return ProjectorSetup::aimedAt(lens, cv::Vec3d(150.0, -20.0, 0.0), aim);
    }
};

const Rig& rig()
{
    static const Rig instance;
    return instance;
}

struct Figures
{
    long lit = 0;        // board pixels the projector reaches (truth known)
    long correct = 0;    // ... decoded to the true column and row (+-1)
    long unlit = 0;      // pixels at least 2 px away from any lit one
    long unlitNan = 0;   // ... undecoded in both channels
    long exact = 0;      // lit pixels decoded to exactly the rounded truth
    cv::Vec2d bias;      // mean decoded - true position over the correct pixels


    double completeness() const { return lit ? double(correct) / lit : 0.0; }
    double unlitRejection() const { return unlit ? double(unlitNan) / unlit : 1.0; }
};

Figures evaluate(const cv::Mat& decoded, const cv::Mat& truth, const cv::Mat& consider = cv::Mat())
{
    cv::Mat litMask(truth.size(), CV_8UC1);
    for (int r = 0; r < truth.rows; ++r)
        for (int c = 0; c < truth.cols; ++c)
            litMask.at<uint8_t>(r, c) = std::isnan(truth.at<cv::Vec2f>(r, c)[0]) ? 0 : 255;
    cv::Mat nearLit;
    cv::dilate(litMask, nearLit, cv::Mat::ones(5, 5, CV_8UC1));

    Figures f;
    for (int r = 0; r < truth.rows; ++r) {
        for (int c = 0; c < truth.cols; ++c) {
            if (!consider.empty() && !consider.at<uint8_t>(r, c))
                continue;
            const cv::Vec2f t = truth.at<cv::Vec2f>(r, c);
            const cv::Vec2f d = decoded.at<cv::Vec2f>(r, c);
            if (litMask.at<uint8_t>(r, c)) {
                ++f.lit;
                const double error = std::max(std::abs(d[0] - std::round(t[0])), std::abs(d[1] - std::round(t[1])));
                if (error <= 1.0) { // false for NaN
                    ++f.correct;
                    f.exact += error == 0.0;
                    f.bias += cv::Vec2d(d[0] - t[0], d[1] - t[1]);
                }
            } else if (!nearLit.at<uint8_t>(r, c)) {
                ++f.unlit;
                f.unlitNan += std::isnan(d[0]) && std::isnan(d[1]);
            }
        }
    }
    if (f.correct)
        f.bias /= double(f.correct);
    return f;
}

struct PoseCase
{
    const char* name;
    double tiltX, tiltY, roll;
    cv::Vec3d shift;
    cv::Vec3d aim; // where the projector points
};

} // namespace

TEST(SyntheticCaptureDecoding, LitBoardPixelsDecodeToTheTrueProjectorPixel)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Rig& r = rig();
    const BoardPattern board(r.target);
    const std::vector<PoseCase> poses = {
        { "frontal", 0, 0, 0, cv::Vec3d(), cv::Vec3d(0, 0, 550) },
        { "tilted 20/-15, roll 5", 20, -15, 5, cv::Vec3d(), cv::Vec3d(0, 0, 550) },
        { "turned 35 about y, shifted", 0, 35, -8, cv::Vec3d(-30, 20, 60), cv::Vec3d(0, 0, 600) },
        // The beam misses the left part of the board: unlit board pixels must not decode.
        { "half outside the beam", 10, 10, 0, cv::Vec3d(), cv::Vec3d(230, 0, 550) },
    };
    for (size_t i = 0; i < poses.size(); ++i) {
        const PoseCase& p = poses[i];
        const TargetPose pose = viewPose(board, 550.0, p.tiltX, p.tiltY, p.roll, p.shift);
        ProjectorCaptureOptions options;
        options.effects.noiseSeed = 100 + i;
        const ProjectorCapture capture = renderProjectorCapture(r.camera, board, pose, r.projector(p.aim), r.patterns,
                                                                options);
        ASSERT_EQ(capture.images.size(), 34u);
        const QStringList paths = writeCaptureSet(dir.path() + "/pose" + QString::number(i), capture.images);

        // The module's path: light estimate and decoding from the files.
        cv::Mat decoded;
        ASSERT_TRUE(camproj::decodeSet(paths, decoded, kProjector, nullptr)) << p.name;
        ASSERT_EQ(decoded.size(), kCamera);

        const Figures f = evaluate(decoded, capture.truth);
        std::cout << "[ figures  ] " << p.name << ": " << f.correct << " of " << f.lit << " lit board pixels correct ("
                  << 100.0 * f.completeness() << " %, " << 100.0 * f.exact / std::max(f.lit, 1L)
                  << " % exact, mean error " << f.bias << " px), " << f.unlitNan << " of " << f.unlit
                  << " unlit pixels NaN (" << 100.0 * f.unlitRejection() << " %)" << std::endl;
        EXPECT_GT(f.lit, 10000) << p.name;
        EXPECT_GE(f.completeness(), 0.99) << p.name;
        // Decoded pixels are the rounded true position: no shift hides in the +-1 allowance.
        EXPECT_GE(double(f.exact) / f.lit, 0.5) << p.name;
        EXPECT_LT(std::abs(f.bias[0]), 0.1) << p.name;
        EXPECT_LT(std::abs(f.bias[1]), 0.1) << p.name;
        EXPECT_GT(f.unlit, 5000) << p.name;
        EXPECT_GE(f.unlitRejection(), 0.995) << p.name;
        if (i == 3) {
            // Board pixels outside the beam: on the sheet, not lit.
            cv::Mat unlitBoard = (capture.albedo >= 0.0f);
            long unlitOnBoard = 0;
            long unlitOnBoardNan = 0;
            for (int y = 0; y < kCamera.height; ++y) {
                for (int x = 0; x < kCamera.width; ++x) {
                    if (!unlitBoard.at<uint8_t>(y, x) || !std::isnan(capture.truth.at<cv::Vec2f>(y, x)[0]))
                        continue;
                    ++unlitOnBoard;
                    unlitOnBoardNan += std::isnan(decoded.at<cv::Vec2f>(y, x)[0]);
                }
            }
            EXPECT_GT(unlitOnBoard, 3000);
            EXPECT_GE(double(unlitOnBoardNan) / std::max(unlitOnBoard, 1L), 0.99);
        }

        // The decoder gives the same from memory as from the files.
        if (i == 1) {
            cv::Mat fromMemory;
            std::vector<cv::Mat> used;
            for (int row : { 10, 11, 12, 13 }) {
                used.push_back(capture.images[row]);
                used.push_back(capture.images[row + 16]);
            }
            const cv::Mat light = sl::estimate_direct_light(used, camproj::kLightRatio);
            ASSERT_TRUE(sl::decode_pattern(capture.images, fromMemory, kProjector, camproj::kDecodeFlags, light,
                                           camproj::kMinDirectLight));
            cv::Mat same;
            cv::compare(fromMemory, decoded, same, cv::CMP_EQ); // NaN != NaN
            // Either NaN in both or equal: x == x is false exactly for NaN.
            const cv::Mat numbers = (fromMemory == fromMemory) | (decoded == decoded);
            cv::Mat agree = same;
            agree.setTo(255, numbers == 0);
            EXPECT_EQ(cv::countNonZero(agree.reshape(1) == 0), 0);
        }
    }
}

TEST(SyntheticCaptureDecoding, DarkInkAndAFaintProjectorAreUndecodable)
{
    const Rig& r = rig();
    const BoardPattern board(r.target);
    const TargetPose pose = viewPose(board, 550.0, 10, -10, 0);

    // Ink that reflects 1 %: under 200 grey values of projector light it stays below the
    // minimum direct light of 5, while the paper decodes.
    ProjectorCaptureOptions options;
    options.light.blackInk = 0.01;
    ProjectorCapture capture = renderProjectorCapture(r.camera, board, pose, r.projector(), r.patterns, options);
    std::vector<cv::Mat> used;
    for (int row : { 10, 11, 12, 13 }) {
        used.push_back(capture.images[row]);
        used.push_back(capture.images[row + 16]);
    }
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(capture.images, decoded, kProjector, camproj::kDecodeFlags,
                                   sl::estimate_direct_light(used, camproj::kLightRatio), camproj::kMinDirectLight));
    // Interiors of the squares: every pixel of a 5 x 5 neighbourhood has the same albedo.
    cv::Mat ink = capture.albedo == 0.0f;
    cv::Mat paper = capture.albedo == 1.0f;
    cv::erode(ink, ink, cv::Mat::ones(5, 5, CV_8UC1));
    cv::erode(paper, paper, cv::Mat::ones(5, 5, CV_8UC1));
    const Figures onInk = evaluate(decoded, capture.truth, ink);
    const Figures onPaper = evaluate(decoded, capture.truth, paper);
    ASSERT_GT(onInk.lit, 2000);
    EXPECT_LE(onInk.completeness(), 0.01) << "ink pixels decode";
    EXPECT_GE(onPaper.completeness(), 0.99);

    // A projector too faint for the threshold: nothing decodes.
    options.light.blackInk = 0.08;
    options.light.projectorLevel = 1.0;
    capture = renderProjectorCapture(r.camera, board, pose, r.projector(), r.patterns, options);
    used.clear();
    for (int row : { 10, 11, 12, 13 }) {
        used.push_back(capture.images[row]);
        used.push_back(capture.images[row + 16]);
    }
    ASSERT_TRUE(sl::decode_pattern(capture.images, decoded, kProjector, camproj::kDecodeFlags,
                                   sl::estimate_direct_light(used, camproj::kLightRatio), camproj::kMinDirectLight));
    cv::Mat decodedAnywhere = decoded == decoded; // false for NaN
    EXPECT_LE(cv::countNonZero(decodedAnywhere.reshape(1)), kCamera.area() * 2 / 200);
}

TEST(SyntheticCaptureDecoding, TruthIsTheProjectorsViewOfTheBoard)
{
    // The truth must agree with the library's projection of the board corners through the
    // projector pose, or decoding tests would only check the renderer against itself.
    const Rig& r = rig();
    const BoardPattern board(r.target);
    const TargetPose pose = viewPose(board, 550.0, 15, -10, 3);
    const ProjectorSetup projector = r.projector();
    ProjectorCaptureOptions options;
    options.supersampling = 1;
    const ProjectorCapture capture = renderProjectorCapture(r.camera, board, pose, projector, { r.patterns[0] }, options);
    ASSERT_EQ(capture.images.size(), 1u);

    cv::Vec3d rvec;
    cv::Rodrigues(cv::Mat(projector.R), rvec);
    int compared = 0;
    for (const BoardCorner& corner : board.innerCorners()) {
        const cv::Vec3d inCamera = pose.R * cv::Vec3d(corner.point.x, corner.point.y, 0.0) + pose.t;
        const cv::Point2d pixel = projectToPixel(r.camera, inCamera);
        std::vector<cv::Point2d> expected;
        cv::projectPoints(std::vector<cv::Point3d>{ cv::Point3d(inCamera) }, rvec, cv::Vec3d(projector.t), r.lens.K,
                          r.lens.distCoeffs(), expected);
        // Bilinear look-up of the truth at the corner's camera position.
        const int x0 = static_cast<int>(std::floor(pixel.x));
        const int y0 = static_cast<int>(std::floor(pixel.y));
        ASSERT_TRUE(x0 >= 0 && y0 >= 0 && x0 + 1 < kCamera.width && y0 + 1 < kCamera.height);
        const double fx = pixel.x - x0;
        const double fy = pixel.y - y0;
        cv::Vec2d truth;
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx)
                truth += cv::Vec2d(capture.truth.at<cv::Vec2f>(y0 + dy, x0 + dx)) * ((dx ? fx : 1 - fx) * (dy ? fy : 1 - fy));
        EXPECT_NEAR(truth[0], expected[0].x, 0.02) << "corner " << corner.id;
        EXPECT_NEAR(truth[1], expected[0].y, 0.02) << "corner " << corner.id;
        ++compared;
    }
    EXPECT_EQ(compared, 8 * 6);
}
