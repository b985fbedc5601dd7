#pragma once
// Extrinsic stereo calibration of a primary and a secondary sensor from image pairs of the planar
// target, free of any widget: detection of both lists (or their corner files), the corners seen in
// both images, the joint adjustment, the log, and the outlier analysis by reprojection and
// epipolar error. The stereo module window and the command-line tool both run it.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <array>
#include <cfloat>
#include <functional>
#include <optional>
#include <vector>

#include "app/LogSink.h"
#include "targets/TargetDetection.h"
#include "targets/TargetSettings.h"

namespace vantiro::stereo {

// The options of one sensor on the options tab.
struct SensorOptions
{
    bool useIntrinsicGuess = false;
    bool fixFocalLength = false;
    bool fixPrincipalPoint = false;
    bool fixAspectRatio = true;
    bool useRadialDistortion = true;
    std::array<bool, 6> fixK{}; // k1 .. k6
    bool useRationalModel = false;
    bool useTangentialDistortion = false;

    // The library's calibration flags of this sensor (without the shared ones).
    int flags() const;
    // Coefficients kept in results: 8 with the rational model in use, else 5.
    int coefficientCount() const;
};

struct StereoOptions
{
    SensorOptions primary;
    SensorOptions secondary;
    bool sameFocalLength = false;
    bool useExtrinsicGuess = false;
    int maxIterations = 100;
    double epsilon = 0.001;
    bool removeOutliers = false;
    double maxErrorPrimary = 5.0;   // px
    double maxErrorSecondary = 5.0; // px
    double maxErrorEpipolar = 5.0;  // px

    // Flag words of both sensors, the shared options included.
    int primaryFlags() const;
    int secondaryFlags() const;
    cv::TermCriteria criteria() const;
};

// One image of a list.
struct StereoImage
{
    QString path;
    bool checked = true;
};

// Everything known about pair i (row i of both lists).
struct StereoPair
{
    // Target points seen in both images and the matching detected corners, same order and count.
    std::vector<cv::Point3f> objectPoints;
    std::vector<cv::Point2f> primaryPoints;
    std::vector<cv::Point2f> secondaryPoints;
    // Sizes of the two images, known once they have been read.
    cv::Size primarySize, secondarySize;
    // Target poses of the last calibration (3x1 CV_64F each); empty when the pair was not used.
    cv::Mat primaryRvec, primaryTvec, secondaryRvec, secondaryTvec;
    double meanError = -1.0;
    double primaryError = -1.0;
    double secondaryError = -1.0;
    // Outlier analysis.
    double epipolarRms = -1.0;
    double primaryMin = DBL_MAX, primaryMax = 0.0;
    double secondaryMin = DBL_MAX, secondaryMax = 0.0;
    double epipolarMin = DBL_MAX, epipolarMax = 0.0;
    std::vector<cv::Point2f> primaryProjected, secondaryProjected;
    std::vector<cv::Vec3b> primaryColors, secondaryColors; // (red, green, blue) per kept corner

    bool hasCorners() const { return !objectPoints.empty() && !primaryPoints.empty() && !secondaryPoints.empty(); }
    bool hasPoses() const { return !primaryRvec.empty() && !secondaryRvec.empty(); }
    void clearCorners();
    void clearResults();
};

// The dialog's state between runs.
struct StereoState
{
    std::vector<StereoImage> primary;
    std::vector<StereoImage> secondary;
    std::vector<StereoPair> pairs; // one per row of the longer list
    // Camera 1 -> camera 2 of the last run (X2 = R X1 + T); the extrinsic guess of the next run.
    cv::Mat R, T;
    // The target the cached corners were found with.
    std::optional<MainWindowSettings> previousTarget;

    // A new list for one side: all items checked, every pair's corners dropped.
    void loadPrimary(const QStringList& paths);
    void loadSecondary(const QStringList& paths);
};

// A calibration object as the run needs it: its identity and its stored intrinsics, used as start
// values when the sensor's "Use intrinsic guess" is set.
struct StereoSensor
{
    int id = -1;
    QString name;
    cv::Mat K;
    cv::Mat distortion;
    cv::Size imageSize;
};

struct StereoRequest
{
    StereoOptions options;
    MainWindowSettings target;
    StereoSensor primary;
    StereoSensor secondary;
};

struct StereoHooks
{
    // Asked before each pair and, while pairs are being detected, every few milliseconds; true
    // stops the run at once (pairs in flight are dropped).
    AbortCheck abort;
    // Told how many pairs are done (in any order) while they are detected.
    std::function<void(int done, int pairs)> progress;
    // Results for the calibration objects, in the order the module emits them.
    std::function<void(int id, const cv::Mat& K, const cv::Mat& distortion, cv::Size imageSize)> storePrimaryIntrinsics;
    std::function<void(int id, const cv::Mat& K, const cv::Mat& distortion, cv::Size imageSize)>
        storeSecondaryIntrinsics;
    // The secondary's pose in the primary's frame.
    std::function<void(int primaryId, int secondaryId, const cv::Matx33d& R, const cv::Matx31d& t)>
        storeSecondaryExtrinsics;
    // Told the message of a library error that ended the run (after it was logged); when unset
    // the message goes to standard output, where a windowed run keeps it.
    std::function<void(const QString& message)> libraryError;
};

enum class StereoStatus
{
    Calibrated,
    SameSensor,
    ListSizeMismatch,
    NoSensor,
    MissingIntrinsics,
    Aborted,
    NoPairs,
    LibraryError,
    InvalidResult, // non-finite or implausible values: nothing stored, nothing written
};

struct StereoResult
{
    StereoStatus status = StereoStatus::LibraryError;
    // Both sensors' intrinsics (K 3x3, distortion 1x5 or 1x8, CV_64F) and image sizes.
    cv::Mat K[2];
    cv::Mat distortion[2];
    cv::Size imageSize[2];
    // Camera 1 -> camera 2 (X2 = R X1 + T), the essential and fundamental matrices.
    cv::Mat R, T, E, F;
    // The secondary's pose in the primary's frame: R^T and -R^T T.
    cv::Matx33d secondaryR = cv::Matx33d::eye();
    cv::Matx31d secondaryT = cv::Matx31d::zeros();
    // Per used pair: RMS of the primary and the secondary (pixels), and the overall RMS.
    cv::Mat perViewErrors;
    double rms = -1.0;
    // RMS over all used corners of each sensor alone.
    double sensorRms[2] = {-1.0, -1.0};
    std::vector<int> usedPairs;
    bool outliersFound = false;
    // Files written by writeStereoResultFiles.
    QStringList filesWritten;
};

// The whole run of the Calibrate button. Never throws: library errors end the run with a red log line.
StereoResult calibrateStereo(StereoState& state, const StereoRequest& request, const StereoHooks& hooks, LogSink& log);

// Corners of both detections with the same id, in the primary's order; the object point is the
// primary's. Returns the number of common corners.
int pairCornersById(const TargetCornerList& primary, const TargetCornerList& secondary,
                    std::vector<cv::Point3f>& objectPoints, std::vector<cv::Point2f>& primaryPoints,
                    std::vector<cv::Point2f>& secondaryPoints);

// Corners of a corner file (no ids) against a detection: matched by equal target position.
int pairCornersByPosition(const std::vector<cv::Point3f>& fileObject, const std::vector<cv::Point2f>& fileImage,
                          const TargetCornerList& detected, bool fileIsPrimary, std::vector<cv::Point3f>& objectPoints,
                          std::vector<cv::Point2f>& primaryPoints, std::vector<cv::Point2f>& secondaryPoints);

// The per-pair analysis: reprojection errors of both sensors, epipolar errors, colours, and (with
// removal) the deletion of outlier corners, logged as "index:count " in orange, or "none\n\n" when
// no corner was removed (also without removal).
// Returns whether any outlier was found.
bool analyseStereoErrors(StereoState& state, const StereoResult& result, const StereoOptions& options, bool remove,
                         LogSink& log);

// Why a run's result must not be used, or empty: each sensor's intrinsics as
// intrinsic::intrinsicResultProblem sees them, R a rotation, T and the errors, E and F finite.
QString stereoResultProblem(const std::array<cv::Mat, 2>& K, const std::array<cv::Mat, 2>& distortion, double rms,
                            const std::array<cv::Size, 2>& imageSize, const cv::Mat& R, const cv::Mat& T,
                            const cv::Mat& perViewErrors, const cv::Mat& E, const cv::Mat& F);

// The results as files of the working directory: "<primary>.intrinsics.yml",
// "<secondary>.intrinsics.yml" and the project "<primary>.project.yml" (with its JSON twin) holding
// both objects with the primary as the world. The four files are replaced as one set: all of them
// or, when any cannot be written, none. Adds the paths to result.filesWritten; false with a
// reason when nothing was written.
bool writeStereoResultFiles(StereoResult& result, const QString& workingDirectory, const QString& primaryName,
                            const QString& secondaryName, QString* error = nullptr);

} // namespace vantiro::stereo
