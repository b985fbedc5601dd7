#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "sensors/Pose.h"

namespace {
double maxAbsDiff(const cv::Matx33d& a, const cv::Matx33d& b)
{
    return cv::norm(cv::Mat(a), cv::Mat(b), cv::NORM_INF);
}
} // namespace

TEST(Pose, YawOfNinetyIsRotationAboutMinusX)
{
    const cv::Matx33d R = anglesToRotation({0, 0, 90});
    const cv::Matx33d expected(1, 0, 0, 0, 0, 1, 0, -1, 0);
    // Roll turns about z, pitch about y.
    EXPECT_NEAR(anglesToRotation({30, 0, 0})(0, 1), 0.5, 1e-12);
    EXPECT_NEAR(anglesToRotation({0, 30, 0})(2, 0), 0.5, 1e-12);
    EXPECT_LT(maxAbsDiff(R, expected), 1e-12);
    const PoseAngles back = rotationToAngles(R);
    EXPECT_NEAR(back.roll, 0, 1e-9);
    EXPECT_NEAR(back.pitch, 0, 1e-9);
    EXPECT_NEAR(back.yaw, 90, 1e-9);
}

TEST(Pose, AnglesRoundTripAwayFromGimbalLock)
{
    for (double roll : {-170.0, -45.0, 0.0, 12.5, 179.0})
        for (double pitch : {-89.0, -30.0, 0.0, 45.0, 89.0})
            for (double yaw : {-120.0, 0.0, 33.0, 150.0}) {
                const PoseAngles a = rotationToAngles(anglesToRotation({roll, pitch, yaw}));
                EXPECT_NEAR(a.roll, roll, 1e-7) << roll << " " << pitch << " " << yaw;
                EXPECT_NEAR(a.pitch, pitch, 1e-7);
                EXPECT_NEAR(a.yaw, yaw, 1e-7);
            }
}

TEST(Pose, GimbalLockKeepsTheRotation)
{
    for (double pitch : {90.0, -90.0}) {
        const cv::Matx33d R = anglesToRotation({20, pitch, 35});
        const cv::Matx33d R2 = anglesToRotation(rotationToAngles(R));
        EXPECT_LT(maxAbsDiff(R, R2), 1e-9) << pitch;
    }
}

TEST(Pose, RelativeIsInverseOfCompose)
{
    cv::Matx33d Rw, Ri, R, R2;
    cv::Rodrigues(cv::Vec3d(0.1, -0.4, 0.3), Rw);
    cv::Rodrigues(cv::Vec3d(-0.7, 0.2, 0.05), Ri);
    const cv::Matx31d tw(10, -200, 35), ti(-5, 40, 1000);
    cv::Matx31d t, t2;
    relativePose(Rw, tw, Ri, ti, R, t);
    composePose(Rw, tw, R, t, R2, t2);
    EXPECT_LT(maxAbsDiff(R2, Ri), 1e-12);
    EXPECT_LT(cv::norm(t2 - ti), 1e-9);
    // The world relative to itself is the identity.
    relativePose(Rw, tw, Rw, tw, R, t);
    EXPECT_LT(maxAbsDiff(R, cv::Matx33d::eye()), 1e-12);
    EXPECT_LT(cv::norm(t), 1e-12);
}

TEST(Pose, RotationsAreToldFromOtherMatrices)
{
    const cv::Matx33d R = anglesToRotation({30, -20, 75});
    EXPECT_TRUE(isRotation(R));
    EXPECT_TRUE(isRotation(cv::Matx33d::eye()));
    cv::Matx33d scaled = R * 1.001, reflected = R, sheared = R, nan = R;
    reflected(0, 0) *= -1, reflected(1, 0) *= -1, reflected(2, 0) *= -1; // det -1
    sheared(0, 1) += 2e-6;
    nan(2, 2) = NAN;
    EXPECT_FALSE(isRotation(scaled));
    EXPECT_FALSE(isRotation(reflected));
    EXPECT_FALSE(isRotation(sheared));
    EXPECT_TRUE(isRotation(sheared, 1e-5));
    EXPECT_FALSE(isRotation(nan));
    EXPECT_FALSE(isRotation(cv::Matx33d::zeros()));
}
