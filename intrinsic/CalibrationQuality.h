#pragma once
// How far a finished intrinsic calibration can be trusted, and where in the image: the noise of
// the corners, the covariance of every free parameter, the projection uncertainty per pixel,
// where corners were seen, and the residual of every corner.
//
// The projection uncertainty of a pixel q is that of a point fixed to the scene, not to the
// lens: q is unprojected to a point at a given distance (or to a direction), that point is
// carried into each view's board frame with the solution's poses, a perturbed solution carries
// it back with its own poses and averages over the views, and projects it with its own
// intrinsics. A principal point that moves while the poses compensate thus costs nothing, as it
// should. The derivative of that chain with respect to all free parameters, sandwiched around
// their covariance sigma^2 (J^T J)^-1, gives the 2x2 covariance of q.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <array>
#include <limits>
#include <memory>
#include <vector>

#include "app/LogSink.h"

namespace vantiro::intrinsic {

struct IntrinsicState;

// One view as the calibration used it.
struct QualityView
{
    int image = -1; // index in the module's image list
    std::vector<cv::Point3f> objectPoints;
    std::vector<cv::Point2f> imagePoints;
    cv::Vec3d rvec, tvec;
};

// A finished calibration: the model, the library flags it was run with, and its views.
struct QualityInput
{
    cv::Mat K;          // 3 x 3
    cv::Mat distortion; // k1, k2, p1, p2[, k3[, k4, k5, k6]]; may be empty
    cv::Size imageSize;
    int flags = 0;
    std::vector<QualityView> views;
};

// The views of state the calibration used (indices into state.images), with their poses.
QualityInput qualityInput(const IntrinsicState& state, const std::vector<int>& usedImages, int flags);

// The intrinsics the calibration was free to move under its flags. Each column of basis says how
// the library's intrinsics (fx, fy, cx, cy, then the distortion coefficients in stored order) move
// with one free parameter; with a fixed aspect ratio fx follows fy, so one parameter moves both.
struct FreeIntrinsics
{
    QStringList names;
    cv::Mat basis; // (4 + distortion count) x names.size(), CV_64F
};
FreeIntrinsics freeIntrinsics(int flags, int distortionCount, double aspectRatio);

struct PixelUncertainty
{
    cv::Matx22d covariance = cv::Matx22d::zeros();
    // Standard deviation in the worst direction (px); NaN where it cannot be told.
    double sigma = std::numeric_limits<double>::quiet_NaN();
};

// The covariance of all free parameters (free intrinsics, then rvec and tvec of every view) and
// the projection uncertainty it implies. J^T J has an arrow shape (each view's pose couples only
// with the intrinsics), so it is never inverted whole: products with its inverse go through the
// intrinsics' Schur complement and the views' 6 x 6 blocks, which keeps many views cheap.
class ProjectionUncertainty
{
public:
    explicit ProjectionUncertainty(const QualityInput& input);

    // False when the covariance could not be formed; problem() says why. sigma() may still be known.
    bool valid() const { return m_problem.isEmpty(); }
    const QString& problem() const { return m_problem; }
    // Noise of one corner coordinate: sqrt(sum of squared residuals / degrees of freedom).
    double sigma() const { return m_sigma; }
    int observations() const { return m_observations; }
    int parameters() const { return m_parameters; }
    int degreesOfFreedom() const { return m_observations - m_parameters; }
    const FreeIntrinsics& intrinsics() const { return m_free; }
    // The free intrinsics' block of sigma^2 (J^T J)^-1; empty when not valid.
    cv::Mat intrinsicCovariance() const;

    // The uncertainty of each pixel for a scene point at distance (mm, along the ray); a distance
    // that is not finite and positive means a direction (a point at infinity).
    std::vector<PixelUncertainty> at(const std::vector<cv::Point2d>& pixels, double distance) const;

private:
    // J^T J in blocks: A for the intrinsics, and per view B (intrinsics with pose) and D (pose).
    struct View
    {
        cv::Matx33d R;                // the pose's rotation
        std::array<cv::Matx33d, 3> dR; // its derivative with respect to each rvec component
        cv::Vec3d t;
        cv::Matx<double, 6, 6> Dinverse;
        cv::Mat E; // D^-1 B^T, 6 x free intrinsics
    };

    cv::Mat m_K, m_distortion;
    FreeIntrinsics m_free;
    std::vector<View> m_views;
    // (A - sum B D^-1 B^T)^-1, the intrinsics' block of (J^T J)^-1.
    cv::Mat m_Sinverse;
    double m_sigma = std::numeric_limits<double>::quiet_NaN();
    int m_observations = 0;
    int m_parameters = 0;
    QString m_problem;
};

// Normalised viewing rays (x, y) of pixels through the model; false where the lens model has no
// unique inverse there (beyond where strong distortion folds the image back).
std::vector<bool> unprojectPixels(const std::vector<cv::Point2d>& pixels, const cv::Mat& K, const cv::Mat& distortion,
                                  std::vector<cv::Point2d>& rays);

// The worst-direction uncertainty on a regular grid of pixels that includes the image's corners.
struct UncertaintyMap
{
    cv::Size imageSize;
    cv::Mat sigma; // CV_32F, one value per grid node, NaN where unknown

    cv::Point2d node(int column, int row) const;
    // Bilinear between the nodes; NaN when a neighbouring node is unknown.
    double at(cv::Point2d pixel) const;
};

struct ViewResiduals
{
    int image = -1;
    std::vector<cv::Point2f> points;    // detected corners
    std::vector<cv::Point2f> residuals; // detected minus projected, px
    double rms = 0.0;                   // root mean square residual length
};

struct QualityOptions
{
    double distance = 1000.0; // mm: the scene points the uncertainty is quoted for
    int cellSize = 16;        // px: cells of the corner density
    double gridSpacing = 0.0; // px between map nodes; 0: about 64 nodes along the longer side
};

struct CalibrationQuality
{
    cv::Size imageSize;
    double distance = 1000.0;

    // Noise and parameters.
    double sigma = std::numeric_limits<double>::quiet_NaN();
    int observations = 0;
    int parameters = 0;
    QStringList intrinsicNames;     // the free intrinsics
    std::vector<double> intrinsicDeviations; // their standard deviations, same order
    // Empty when the projection uncertainty was determined; else why not.
    QString problem;

    // Projection uncertainty (px, worst direction) at the distance and at infinity.
    UncertaintyMap atDistance, atInfinity;
    double centre = std::numeric_limits<double>::quiet_NaN();
    double centreInfinity = std::numeric_limits<double>::quiet_NaN();
    // Pixels (0, 0), (w-1, 0), (0, h-1), (w-1, h-1).
    std::array<double, 4> corners{}, cornersInfinity{};

    // Coverage: corners per cell, and the image area the target covered in some used view (the
    // union of each view's corner hull), drawn at coverageScale of the image.
    int cellSize = 16;
    cv::Mat cornerCount; // CV_32S, ceil(h / cellSize) x ceil(w / cellSize)
    cv::Mat covered;     // CV_8U, 255 where covered
    double coverageScale = 1.0;
    double coveredFraction = 0.0;

    std::vector<ViewResiduals> views;

    bool determined() const { return problem.isEmpty(); }
    double worstCorner() const;
    // The corners are much less certain than the centre (or not known at all).
    bool cornersPoor() const;
    // The line that ends the module's log, with the advice when the corners are poor.
    QString summary() const;
};

// Everything above for a finished calibration. Throws cv::Exception on malformed input.
CalibrationQuality assessCalibration(const QualityInput& input, const QualityOptions& options = {});

// assessCalibration on the used views of state; never throws: a failure becomes the record's
// problem.
std::shared_ptr<const CalibrationQuality> assessCalibration(const IntrinsicState& state,
                                                            const std::vector<int>& usedImages, int flags);

// The closing log line and a blank one (orange when the corners are poor or nothing could be told).
void logQuality(const CalibrationQuality& quality, LogSink& log);

// Sigma as the log and the reports print it: two significant digits.
QString formatPixels(double value);

} // namespace vantiro::intrinsic
