#pragma once
// Hand-eye (AX = XB: a camera on the robot's tool) and tool-flange (AX = YB: a fixed camera
// and the target on the flange) calibration, free of any widget. The module windows map their
// controls to RobotOptions, keep the image rows and the poses, and hand the routine a log sink
// and the hooks through which it reaches the application.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <functional>
#include <optional>
#include <vector>

#include "app/LogSink.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "robot/TcpPose.h"
#include "targets/TargetSettings.h"

namespace vantiro::robot {

using intrinsic::SensorRef;

enum class RobotModule
{
    HandEye,    // X: the camera in the TCP frame
    ToolFlange, // Y: the camera in the robot base frame, X: the target in the TCP frame
};

enum class PoseSolver
{
    Iterative,
    EPnP,
    // Tool-flange only: the library's P3P solver on the four outer corners of a complete view.
    EP3P,
};

// The library's numbering.
enum class HandEyeMethod
{
    Park = 1,
    Horaud = 2,
    Andreff = 3,
};

struct RobotOptions
{
    PoseSolver solver = PoseSolver::Iterative;
    bool useRansac = false; // not with EP3P
    int ransacIterations = 25;
    // RANSAC inlier threshold; five times it bounds the mean error of an EPnP pose (hand-eye).
    float maxReprojectionError = 1.0f;
    double confidence = 0.5;
    // TCP positions in metres (multiplied by 1000), else millimetres.
    bool metres = true;
    HandEyeMethod method = HandEyeMethod::Park;
};

// One row of the image list.
struct RobotImage
{
    QString path;
    // How messages name the image (the list text); the file name when empty.
    QString text;
    bool checked = true;
    // Corners to use instead of detecting in the image (both empty: detect).
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    // Set by a run: the row was left out (unchecked, missing, no target, pose refused) and shows
    // grey together with its TCP row.
    bool dropped = false;

    QString label() const;
};

struct RobotRequest
{
    RobotModule module = RobotModule::HandEye;
    RobotOptions options;
    MainWindowSettings target;
    // The camera's intrinsics as the object holds them.
    cv::Mat K;
    cv::Mat distortion;
    cv::Size imageSize;
    // Where the result file goes.
    QString workingDirectory;
};

struct RobotHooks
{
    // Asked before each image is taken and while a detection is awaited; true stops the run.
    AbortCheck abort;
    // Images detected so far (in any order) of those the run detects; optional.
    std::function<void(int done, int total)> progress;
    // The objects the module shows at this moment; nullopt when there is none.
    std::function<std::optional<SensorRef>()> camera;
    std::function<std::optional<SensorRef>()> robot;
    // Hands the robot object's pose in the camera's frame to the application.
    std::function<void(int cameraId, int robotId, const cv::Matx33d& R, const cv::Matx31d& t)> storeExtrinsics;
    // Library errors are also told here (the program prints them on standard output).
    std::function<void(const QString&)> reportException;
};

// A view that took part in the solve.
struct RobotView
{
    int row = -1;
    // The TCP pose (TCP -> base), translation in millimetres.
    cv::Matx33d tcpR = cv::Matx33d::eye();
    cv::Vec3d tcpT;
    // The target in the camera (target -> camera).
    cv::Vec3d rvec;
    cv::Vec3d tvec;
    // Corners used (the inliers when RANSAC ran).
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    // Reprojection of the corners with the view's pose.
    std::vector<cv::Point2f> projected;
    std::vector<double> errors;
    std::vector<cv::Vec3b> colours; // (red, green, blue) per corner
    double minError = 0.0;
    double maxError = 0.0;
    double rms = 0.0;
    // 3D consistency in the robot base frame (mm, degrees).
    double rms3d = 0.0;
    double translationDeviation = 0.0;
    double rotationDeviation = 0.0;

    cv::Matx33d targetR() const;
};

enum class RobotStatus
{
    Calibrated,
    NoCamera,
    NoIntrinsics,
    NoImages,
    NoPoses,
    CountMismatch,
    TooFewImages,
    Aborted,
    TooFewViews,
    NoSensor, // solved, but the camera or the robot object is gone: nothing written or handed on
    InvalidResult, // the solver gave non-finite values (views without motion): nothing written or handed on
    LibraryError,
};

struct RobotResult
{
    RobotStatus status = RobotStatus::LibraryError;
    bool calibrated = false;
    std::vector<RobotView> views;
    // Hand-eye: X = camera -> TCP. Tool-flange: X = target -> TCP, Y = camera -> base.
    cv::Matx33d RX = cv::Matx33d::eye();
    cv::Vec3d tX;
    cv::Matx33d RY = cv::Matx33d::eye();
    cv::Vec3d tY;
    bool ryTransposed = false;
    double rms3d = -1.0;
    // Size of the images read (for the camera's frustum when the object has none).
    cv::Size imageSize;
    QString resultFile;
    QString writeError;
};

// The whole run of either module. Marks the rows it leaves out in images (checked, dropped).
// Never throws: library errors end the run with a red log line.
RobotResult calibrateRobot(std::vector<RobotImage>& images, const std::vector<TcpPose>& poses,
                           const RobotRequest& request, const RobotHooks& hooks, LogSink& log);

// --- the pieces, for the views and tests

// "AX-XB.yml" / "AX-YB.yml" in the working directory.
QString resultFilePath(const QString& workingDirectory, RobotModule module);
// Hand-eye: "RX", "tX". Tool-flange: "RY", "tY", "RX", "tX". Replaced in one piece; false with
// the reason when nothing was written.
bool writeResultFile(const QString& path, const RobotResult& result, RobotModule module, QString* error = nullptr);

// Rotation closest to the mean of the matrices: U V^T of the mean's SVD.
cv::Matx33d meanRotation(const std::vector<cv::Matx33d>& rotations);
// Angle of a^T b in degrees.
double rotationAngle(const cv::Matx33d& a, const cv::Matx33d& b);

// Hand-eye consistency: each view's target in the base frame, G X C, against their mean pose.
// Fills the per-view values and returns the RMS over all points (mm).
double handEyeConsistency(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX);
// Tool-flange consistency: every target point along both sides of the loop, G X p and Y C p.
// Per view also the distance and angle between the two target poses. Returns the RMS (mm).
double toolFlangeConsistency(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX,
                             const cv::Matx33d& RY, const cv::Vec3d& tY);

// Whether the loop closes better with RY transposed (tY unchanged) than with RY as it is.
bool yFitsBetterTransposed(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX,
                           const cv::Matx33d& RY, const cv::Vec3d& tY);

// The four outer corners of a complete view (first, last of the first row, last, first of the
// last row), found by their target positions. False when the view is not complete.
bool outerCorners(const std::vector<cv::Point2f>& imagePoints, const std::vector<cv::Point3f>& objectPoints,
                  const MainWindowSettings& target, std::vector<cv::Point2f>& image4, std::vector<cv::Point3f>& object4);

} // namespace vantiro::robot
