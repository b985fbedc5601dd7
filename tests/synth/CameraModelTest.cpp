#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "synth/CameraModel.h"

using namespace vantiro::synth;

TEST(CameraModel, ProjectionMatchesOpenCvAndRaysInvertItOverTheWholeImage)
{
    cv::RNG rng(7);
    // None, 5 coefficients, the rational model, strong barrel distortion.
    for (const std::vector<double>& coefficients :
         { std::vector<double>{ 0, 0, 0, 0 }, { -0.28, 0.09, 0.0012, -0.0008, -0.012 },
           { 0.35, -0.2, -0.002, 0.0015, 0.05, 0.3, -0.1, 0.04 }, { -0.42, 0.18, 0, 0, -0.035 } }) {
        // Unequal focal lengths and an off-centre principal point catch swapped terms.
        CameraModel cam = CameraModel::ideal({ 640, 480 }, 600.0);
        cam.K = cv::Matx33d(610.0, 0, 331.5, 0, 600.0, 228.25, 0, 0, 1);
        cam.setDistortion(coefficients);
        std::vector<cv::Point3d> points;
        for (int i = 0; i < 200; ++i)
            points.emplace_back(rng.uniform(-0.55, 0.55) * 1000, rng.uniform(-0.4, 0.4) * 1000, 1000.0);
        std::vector<cv::Point2d> expected;
        cv::projectPoints(points, cv::Vec3d(), cv::Vec3d(), cv::Mat(cam.K), cam.distCoeffs(), expected);
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_LT(cv::norm(projectToPixel(cam, cv::Vec3d(points[i])) - expected[i]), 1e-9) << coefficients.size();

        // None of these lenses folds inside the image: every pixel has its ray.
        for (int y = 0; y < cam.size.height; y += 17)
            for (int x = 0; x < cam.size.width; x += 13) {
                const cv::Point2d pixel(x + 0.25, y - 0.25);
                cv::Vec3d ray;
                ASSERT_TRUE(pixelToRay(cam, pixel, ray)) << pixel;
                EXPECT_EQ(ray[2], 1.0);
                EXPECT_LT(cv::norm(projectToPixel(cam, ray * 750.0) - pixel), 1e-8) << pixel;
            }
    }
}

TEST(CameraModel, FoldedRegionHasNoRay)
{
    // Strong barrel distortion: r * (1 + k1 r^2) peaks at r = 1 / sqrt(3 |k1|) (0.816 here) and
    // maps at most to 0.544 normalised, i.e. 0.544 * 500 = 272 px from the centre.
    CameraModel cam = CameraModel::ideal({ 1000, 1000 }, 500.0);
    cam.setDistortion({ -0.5, 0, 0, 0 });
    const cv::Point2d c(cam.K(0, 2), cam.K(1, 2));
    cv::Vec3d ray;
    EXPECT_TRUE(pixelToRay(cam, c + cv::Point2d(265, 0), ray));
    EXPECT_LT(ray[0], 0.817);
    EXPECT_FALSE(pixelToRay(cam, c + cv::Point2d(280, 0), ray)); // no preimage at all
    EXPECT_TRUE(distortionIsRegular(cam, { 0.8, 0.0 }));
    EXPECT_FALSE(distortionIsRegular(cam, { 0.83, 0.0 })); // beyond the peak the image folds back
    EXPECT_FALSE(distortionIsRegular(cam, { 0.0, -1.2 }));
}

TEST(CameraModel, DistortionCoefficientCounts)
{
    CameraModel cam;
    cam.setDistortion({ 0.1, 0.2, 0.3, 0.4, 0.5 }); // k3 is the fifth in OpenCV's order
    EXPECT_EQ(cv::norm(cam.distCoeffs(), cv::Mat(cv::Matx<double, 1, 8>(0.1, 0.2, 0.3, 0.4, 0.5, 0, 0, 0))), 0);
    EXPECT_TRUE(cam.hasDistortion());
    EXPECT_THROW(cam.setDistortion({ 0.1, 0.2, 0.3 }), cv::Exception);
    cam.setDistortion({ 0, 0, 0, 0 });
    EXPECT_FALSE(cam.hasDistortion());
}
