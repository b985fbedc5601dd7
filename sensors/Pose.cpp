#include "sensors/Pose.h"

#include <cmath>

namespace {
constexpr double kDegToRad = CV_PI / 180.0;
constexpr double kRadToDeg = 180.0 / CV_PI;

cv::Matx33d rotX(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return {1, 0, 0, 0, c, -s, 0, s, c};
}
cv::Matx33d rotY(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return {c, 0, s, 0, 1, 0, -s, 0, c};
}
cv::Matx33d rotZ(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return {c, -s, 0, s, c, 0, 0, 0, 1};
}
} // namespace

cv::Matx33d anglesToRotation(const PoseAngles& a)
{
    return rotX(-a.yaw * kDegToRad) * rotY(-a.pitch * kDegToRad) * rotZ(-a.roll * kDegToRad);
}

PoseAngles rotationToAngles(const cv::Matx33d& R)
{
    PoseAngles a;
    const double yaw = std::atan2(R(1, 2), R(2, 2));
    const double s = std::sin(yaw), c = std::cos(yaw);
    const double roll = std::atan2(s * R(2, 0) - c * R(1, 0), c * R(1, 1) - s * R(2, 1));
    const double pitch = std::atan2(-R(0, 2), std::sqrt(R(0, 0) * R(0, 0) + R(0, 1) * R(0, 1)));
    a.yaw = yaw * kRadToDeg;
    a.roll = roll * kRadToDeg;
    a.pitch = pitch * kRadToDeg;
    return a;
}

cv::Matx44d poseMatrix(const cv::Matx33d& R, const cv::Matx31d& t)
{
    return {R(0, 0), R(0, 1), R(0, 2), t(0), R(1, 0), R(1, 1), R(1, 2), t(1),
            R(2, 0), R(2, 1), R(2, 2), t(2), 0,       0,       0,       1};
}

void composePose(const cv::Matx33d& R1, const cv::Matx31d& t1, const cv::Matx33d& R, const cv::Matx31d& t,
                 cv::Matx33d& R2, cv::Matx31d& t2)
{
    R2 = R1 * R;
    t2 = R1 * t + t1;
}

void relativePose(const cv::Matx33d& Rw, const cv::Matx31d& tw, const cv::Matx33d& Ri, const cv::Matx31d& ti,
                  cv::Matx33d& R, cv::Matx31d& t)
{
    const cv::Matx44d M = poseMatrix(Rw, tw).inv(cv::DECOMP_LU) * poseMatrix(Ri, ti);
    R = M.get_minor<3, 3>(0, 0);
    t = M.get_minor<3, 1>(0, 3);
}

bool isRotation(const cv::Matx33d& R, double tolerance)
{
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(R.val[i]))
            return false;
    const cv::Matx33d d = R.t() * R - cv::Matx33d::eye();
    for (int i = 0; i < 9; ++i)
        if (std::abs(d.val[i]) > tolerance)
            return false;
    return cv::determinant(R) > 0.0;
}
