#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "synth/CameraModel.h"

using namespace vantiro::synth;

namespace {

CameraModel lens(const std::vector<double>& coefficients)
{
    CameraModel c = CameraModel::ideal({640, 480}, 600.0);
    c.K(0, 0) = 610.0; // unequal focal lengths and an off-centre principal point catch swapped terms
    c.K(0, 2) = 331.5;
    c.K(1, 2) = 228.25;
    c.setDistortion(coefficients);
    return c;
}

std::vector<CameraModel> lenses()
{
    return {lens({0, 0, 0, 0}), lens({-0.28, 0.09, 0.0012, -0.0008, -0.012}),
            lens({0.35, -0.2, -0.002, 0.0015, 0.05, 0.3, -0.1, 0.04}), // rational model
            lens({-0.42, 0.18, 0, 0, -0.035})};
}

} // namespace

TEST(CameraModel, ProjectionMatchesOpenCv)
{
    cv::RNG rng(7);
    for (const CameraModel& cam : lenses()) {
        std::vector<cv::Point3d> points;
        for (int i = 0; i < 200; ++i)
            points.emplace_back(rng.uniform(-0.55, 0.55) * 1000, rng.uniform(-0.4, 0.4) * 1000, 1000.0);
        std::vector<cv::Point2d> expected;
        cv::projectPoints(points, cv::Vec3d(), cv::Vec3d(), cv::Mat(cam.K), cam.distCoeffs(), expected);
        for (size_t i = 0; i < points.size(); ++i) {
            const cv::Point2d p = projectToPixel(cam, cv::Vec3d(points[i].x, points[i].y, points[i].z));
            EXPECT_NEAR(p.x, expected[i].x, 1e-9);
            EXPECT_NEAR(p.y, expected[i].y, 1e-9);
        }
    }
}

TEST(CameraModel, RayInvertsProjectionOverTheWholeImage)
{
    for (const CameraModel& cam : lenses()) {
        double worst = 0.0;
        int inverted = 0;
        for (int y = 0; y < cam.size.height; y += 17)
            for (int x = 0; x < cam.size.width; x += 13) {
                cv::Vec3d ray;
                if (!pixelToRay(cam, cv::Point2d(x + 0.25, y - 0.25), ray))
                    continue;
                ++inverted;
                EXPECT_DOUBLE_EQ(ray[2], 1.0);
                const cv::Point2d back = projectToPixel(cam, ray * 750.0);
                worst = std::max(worst, cv::norm(back - cv::Point2d(x + 0.25, y - 0.25)));
            }
        EXPECT_LT(worst, 1e-8);
        // None of these lenses folds inside the image: every pixel has its ray.
        EXPECT_EQ(inverted, ((cam.size.height + 16) / 17) * ((cam.size.width + 12) / 13));
    }
}

TEST(CameraModel, FoldedRegionHasNoRay)
{
    // Strong barrel distortion: r * (1 + k1 r^2) peaks at r = 1 / sqrt(3 |k1|) (0.816 here) and
    // maps at most to 0.544 normalised, i.e. 0.544 * 500 = 272 px from the centre.
    CameraModel cam = CameraModel::ideal({1000, 1000}, 500.0);
    cam.setDistortion({-0.5, 0, 0, 0});
    const cv::Point2d c(cam.K(0, 2), cam.K(1, 2));
    cv::Vec3d ray;
    EXPECT_TRUE(pixelToRay(cam, c + cv::Point2d(265, 0), ray));
    EXPECT_LT(ray[0], 0.817);
    EXPECT_FALSE(pixelToRay(cam, c + cv::Point2d(280, 0), ray)); // no preimage at all
    EXPECT_TRUE(distortionIsRegular(cam, {0.8, 0.0}));
    EXPECT_FALSE(distortionIsRegular(cam, {0.83, 0.0}));   // beyond the peak the image folds back
    EXPECT_FALSE(distortionIsRegular(cam, {0.0, -1.2}));
}

TEST(CameraModel, DistortionCoefficientCounts)
{
    CameraModel cam;
    cam.setDistortion({0.1, 0.2, 0.3, 0.4, 0.5});
    EXPECT_EQ(cam.distCoeffs().cols, 8);
    EXPECT_DOUBLE_EQ(cam.distCoeffs().at<double>(0, 4), 0.5);
    EXPECT_DOUBLE_EQ(cam.distCoeffs().at<double>(0, 5), 0.0);
    EXPECT_TRUE(cam.hasDistortion());
    EXPECT_THROW(cam.setDistortion({0.1, 0.2, 0.3}), cv::Exception);
    cam.setDistortion({0, 0, 0, 0});
    EXPECT_FALSE(cam.hasDistortion());
}
