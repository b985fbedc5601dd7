#pragma once
// Intrinsic calibration of one camera from images of the planar target: the run itself, free of
// any widget. The module window maps its controls to CalibrationOptions, keeps an IntrinsicState
// and hands the routine a log sink and the hooks through which it reaches the application.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <array>
#include <cfloat>
#include <functional>
#include <optional>
#include <vector>

#include "app/LogSink.h"
#include "intrinsic/CalibrationQuality.h"
#include "targets/TargetSettings.h"

namespace vantiro::intrinsic {

// What the calibration options of the module say.
struct CalibrationOptions
{
    bool useRadialDistortion = true;
    std::array<bool, 6> fixK{}; // k1 .. k6
    bool useRationalModel = false;
    bool useIntrinsicGuess = false;
    bool fixFocalLength = false;
    bool fixPrincipalPoint = false;
    bool fixAspectRatio = true;
    bool useTangentialDistortion = false;
    int maxIterations = 100;
    double epsilon = 0.001;
    bool removeOutliers = false;
    double outlierThreshold = 5.0;

    // The library's calibration flags.
    int flags() const;
    cv::TermCriteria criteria() const;
};

// One image of the list and everything known about it.
struct ImageState
{
    QString path;
    bool checked = true;
    // Corners in detector (or corner file) order; empty until detected.
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    // Size of the image once it has been read.
    cv::Size size;
    // Target pose of the last calibration; empty when the image was not part of it.
    cv::Mat rvec;
    cv::Mat tvec;
    double rms = -1.0;
    double minError = DBL_MAX;
    double maxError = 0.0;
    std::vector<cv::Point2f> reprojected;
    std::vector<cv::Vec3b> cornerColors; // (red, green, blue), one per kept corner

    bool hasCorners() const { return !imagePoints.empty(); }
    bool hasPose() const { return !rvec.empty() && !tvec.empty(); }
    void clearCorners();
    void clearResults();
};

// The module's working state between runs.
struct IntrinsicState
{
    std::vector<ImageState> images;
    // Working estimate: filled from the object when a guess is used, the result after a run.
    cv::Mat K;
    cv::Mat distortion;
    cv::Size imageSize;
    // Target of the previous run; a different geometry drops all corners.
    std::optional<MainWindowSettings> previousTarget;

    // A new image list: one fresh entry per path, all checked, no corners.
    void loadImages(const QStringList& paths);
};

// The calibration object a run stores its result into.
struct SensorRef
{
    int id = -1;
    QString name;
};

struct CalibrationRequest
{
    CalibrationOptions options;
    MainWindowSettings target;
    // Where the intrinsics file goes.
    QString workingDirectory;
};

struct CalibrationHooks
{
    // Asked before each image and, while images are being detected, every few milliseconds;
    // true stops the run at once (images in flight are dropped).
    AbortCheck abort;
    // The object the module shows at this moment (the user may remove it while images are
    // being detected); nullopt when there is none.
    std::function<std::optional<SensorRef>()> sensor;
    // Stores a result into the object with that id.
    std::function<void(int id, const cv::Mat& K, const cv::Mat& distortion, cv::Size imageSize)> storeIntrinsics;
    // Told how many images of the list are done (in any order) while they are detected.
    std::function<void(int done, int total)> progress;
};

enum class CalibrationStatus
{
    Calibrated,
    InvalidGuess,
    NoSensor,
    Aborted,
    NoImages,
    NonPlanarWithoutGuess,
    LibraryError,
    InvalidResult, // non-finite or implausible values: nothing stored, nothing written
};

struct CalibrationResult
{
    CalibrationStatus status = CalibrationStatus::LibraryError;
    double rms = -1.0;
    // Indices of the images the calibration used, in list order.
    std::vector<int> usedImages;
    // The intrinsics file written, empty when none was.
    QString intrinsicsFile;
    QString writeError;
    bool outliersRemoved = false;
    // Detection went through all images: unchecked images are final for this run.
    bool detectionFinished = false;
    // Where the result can be trusted, judged on the corners the calibration used.
    std::shared_ptr<const CalibrationQuality> quality;
};

// A start value the library can work from: a 3 x 3 matrix with non-zero focal lengths.
bool hasFocalLengths(const cv::Mat& K);

// The whole run: guess check, cache invalidation, corner files, detection of every checked
// image, calibration, printout, storing into the object, the intrinsics file and the error and
// outlier analysis. Never throws for library errors: they end the run with a red log line.
CalibrationResult calibrateIntrinsics(IntrinsicState& state, const CalibrationRequest& request,
                                      const CalibrationHooks& hooks, LogSink& log);

} // namespace vantiro::intrinsic
