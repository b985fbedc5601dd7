#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "CamProjScene.h"
#include "app/LogSink.h"
#include "projector/GrayCodeSets.h"
#include "projector/ProjectorCorners.h"

using namespace camproj;
using namespace camproj_test;

namespace {

// A 20 px chessboard texture (white 200, black 20); the projector lights x < 120 only, the room
// adds 15 % everywhere.
void partlyLitFrames(cv::Mat& white, cv::Mat& black)
{
    const cv::Size size(200, 160);
    cv::Mat texture(size, CV_32F);
    texture.forEach<float>([](float& v, const int* at) { v = ((at[0] / 20 + at[1] / 20) % 2) ? 20.0f : 200.0f; });
    cv::Mat lit(size, CV_32F, cv::Scalar(0.15f));
    lit(cv::Rect(0, 0, 120, size.height)).setTo(1.0f);
    cv::Mat(texture.mul(lit)).convertTo(white, CV_8U);
    cv::Mat(texture * 0.15f).convertTo(black, CV_8U);
}

} // namespace

TEST(BeamEdge, DistanceToTheUnlitPartIgnoresTheDarkSquaresOfALitBoard)
{
    cv::Mat white, black;
    partlyLitFrames(white, black);
    const cv::Mat d = beamEdgeDistance(white, black, 20.0f);
    ASSERT_EQ(d.type(), CV_32FC1);
    ASSERT_EQ(d.size(), white.size());
    // Along the edge of the light; a dark square cut by the edge may count as partly unlit.
    EXPECT_NEAR(d.at<float>(70, 100), 20.0f, 1.5f);
    EXPECT_NEAR(d.at<float>(70, 112), 8.0f, 1.5f);
    EXPECT_GE(d.at<float>(90, 100), 15.0f);
    EXPECT_EQ(d.at<float>(80, 125), 0.0f);
    // (90, 70) is the middle of a dark square of the lit part: lit, not 10 px from a hole.
    ASSERT_EQ(black.at<uint8_t>(90, 70), 3);
    EXPECT_GT(d.at<float>(90, 70), 40.0f);

    // Nothing lit, frames that do not fit, no pitch: no distances, so no corner is dropped.
    EXPECT_TRUE(beamEdgeDistance(black, black, 20.0f).empty());
    EXPECT_TRUE(beamEdgeDistance(white, black(cv::Rect(0, 0, 100, 100)), 20.0f).empty());
    EXPECT_TRUE(beamEdgeDistance(white, black, 0.0f).empty());
    EXPECT_TRUE(beamEdgeDistance(cv::Mat(), black, 20.0f).empty());
}

TEST(BeamEdge, PitchIsTheMedianNearestNeighbourDistance)
{
    std::vector<cv::Point2f> grid;
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x)
            grid.emplace_back(30.0f + 37.0f * x + 0.5f * y, 20.0f + 36.0f * y);
    EXPECT_NEAR(cornerPitch(grid), 36.0f, 0.01f);
    // A stray corner does not move the median.
    grid.emplace_back(31.0f, 21.0f);
    EXPECT_NEAR(cornerPitch(grid), 36.0f, 0.01f);
    EXPECT_EQ(cornerPitch({}), 0.0f);
    EXPECT_EQ(cornerPitch({cv::Point2f(1, 1)}), 0.0f);
    // Large lists are sampled across the whole list: 4000 corners 6 px apart, then 6000 4 px apart.
    std::vector<cv::Point2f> big;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 100; ++x)
            big.emplace_back(6.0f * x, 6.0f * y);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x)
            big.emplace_back(4.0f * x, 1000.0f + 4.0f * y);
    EXPECT_NEAR(cornerPitch(big), 4.0f, 0.01f);
}

// A board half in the beam under room light: the corners near the edge of the light are found off
// by up to a pixel in the camera, and their projector corners with them. They are dropped; the
// rest are as good as on a fully lit board.
TEST(BeamEdge, CornersNearTheEdgeOfTheLightAreDropped)
{
    QTemporaryDir dir;
    const BoardPattern board(boardSettings());
    const RenderedSet rendered = renderSet(dir.path() + "/c", viewPose(board, 550.0, 5, 10, 0), {215, 0, 550}, 13, 50.0);

    auto run = [&](double margin, std::vector<CornerSet>& corners) {
        GrayCodeSets images;
        images.setSets({rendered.files});
        images.setProjectorSize(kProjector);
        CornerJobOptions options;
        options.target = boardSettings();
        options.beamEdgeMargin = margin;
        vantiro::RecordingLogSink log;
        ASSERT_EQ(estimateProjectorCorners(images, corners, options, {}, log), CornerJobStatus::Finished);
        ASSERT_EQ(corners.size(), 1u);
    };
    auto worst = [&](const CornerSet& set) {
        double w = 0.0;
        for (size_t i = 0; i < set.projectorCorners.size(); ++i)
            w = std::max(w, cv::norm(cv::Point2d(set.projectorCorners[i]) - trueProjectorCorner(rendered, set.cameraCorners[i])));
        return w;
    };
    std::vector<CornerSet> all, kept;
    run(0.0, all);
    run(0.8, kept);
    ASSERT_TRUE(kept[0].checked);
    EXPECT_EQ(kept[0].projectorCorners.size(), kept[0].cameraCorners.size());
    EXPECT_EQ(kept[0].targetPoints.size(), kept[0].cameraCorners.size());
    EXPECT_GE(kept[0].cameraCorners.size(), 12u);
    EXPECT_LT(kept[0].cameraCorners.size(), all[0].cameraCorners.size());
    // The beam's edge runs down the left of what is lit: the dropped corners are the column
    // nearest to it, and the worst corner of all is among them.
    float leftmostKept = 1e9f;
    for (const cv::Point2f& c : kept[0].cameraCorners)
        leftmostKept = std::min(leftmostKept, c.x);
    int dropped = 0;
    for (const cv::Point2f& c : all[0].cameraCorners)
        if (std::find(kept[0].cameraCorners.begin(), kept[0].cameraCorners.end(), c) == kept[0].cameraCorners.end()) {
            ++dropped;
            EXPECT_LT(c.x, leftmostKept - 10.0f) << c;
        }
    EXPECT_EQ(dropped, int(all[0].cameraCorners.size() - kept[0].cameraCorners.size()));
    EXPECT_LT(worst(kept[0]), worst(all[0]) - 0.1);
    EXPECT_LT(worst(kept[0]), 0.35);
}
