#pragma once
#include <opencv2/core.hpp>

// Poses map object coordinates into a parent frame: X_parent = R * X + t (t in mm).

struct PoseAngles
{
    double roll = 0.0;  // about z, degrees
    double pitch = 0.0; // about y, degrees
    double yaw = 0.0;   // about x, degrees
};

// R = Rx(-yaw) * Ry(-pitch) * Rz(-roll). Note that yaw turns about x and roll about z.
cv::Matx33d anglesToRotation(const PoseAngles& angles);

// Inverse of anglesToRotation for pitch in (-90, 90) degrees.
PoseAngles rotationToAngles(const cv::Matx33d& R);

// [R t; 0 1] as a 4x4 matrix.
cv::Matx44d poseMatrix(const cv::Matx33d& R, const cv::Matx31d& t);

// [R2 t2] = [R1 t1] * [R t]: a pose given relative to frame 1 expressed in frame 1's parent.
void composePose(const cv::Matx33d& R1, const cv::Matx31d& t1, const cv::Matx33d& R, const cv::Matx31d& t,
                 cv::Matx33d& R2, cv::Matx31d& t2);

// [R t] = [Rw tw]^-1 * [Ri ti]: pose i relative to the frame of pose w (4x4 inverse by LU,
// as a general matrix, so that a slightly non-orthogonal R is treated consistently).
void relativePose(const cv::Matx33d& Rw, const cv::Matx31d& tw, const cv::Matx33d& Ri, const cv::Matx31d& ti,
                  cv::Matx33d& R, cv::Matx31d& t);

// A proper rotation: finite, orthonormal within tolerance (per element of R^T R - I), det +1.
bool isRotation(const cv::Matx33d& R, double tolerance = 1e-6);
