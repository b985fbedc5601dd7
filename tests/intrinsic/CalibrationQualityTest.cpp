// How far a calibration can be trusted: the predicted projection uncertainty against the spread
// of many calibrations with fresh noise, the map where corners were and were not seen, the free
// parameters under the flags, coverage, residuals and the closing log line.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <cmath>

#include "IntrinsicTestData.h"
#include "intrinsic/CalibrationQuality.h"

using namespace intrinsic_test;
using namespace vantiro::synth;

namespace {

const BoardPattern& board()
{
    static const BoardPattern b(kTarget);
    return b;
}

// Exact corners of the given poses through camera, as one calibration's input.
struct CornerSet
{
    CameraModel camera;
    std::vector<TargetPose> poses;
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image;
};

CornerSet cornerSet(const CameraModel& camera, const std::vector<TargetPose>& poses)
{
    CornerSet s{camera, poses, {}, {}};
    for (const TargetPose& pose : poses) {
        std::vector<cv::Point3f> o;
        std::vector<cv::Point2f> i;
        for (const TruthCorner& c : projectCorners(camera, board(), pose)) {
            o.emplace_back(float(c.board.x), float(c.board.y), 0.f);
            i.emplace_back(c.image);
        }
        s.object.push_back(o);
        s.image.push_back(i);
    }
    return s;
}

// Poses of the rendered views the other intrinsic tests calibrate from.
std::vector<TargetPose> renderedPoses(int n)
{
    std::vector<TargetPose> poses;
    for (int i = 0; i < n; ++i)
        poses.push_back(views()[size_t(i)].pose);
    return poses;
}

// One calibration of the scene's corners with Gaussian noise sigma, as the module runs it.
struct Calibration
{
    cv::Mat K, distortion;
    std::vector<cv::Mat> rvecs, tvecs;
    QualityInput input;
};

Calibration calibrateNoisy(const CornerSet& s, double sigma, int flags, cv::RNG& rng, const cv::Mat& guess = cv::Mat())
{
    Calibration c;
    std::vector<std::vector<cv::Point2f>> noisy = s.image;
    for (auto& view : noisy)
        for (cv::Point2f& p : view)
            p += cv::Point2f(float(rng.gaussian(sigma)), float(rng.gaussian(sigma)));
    c.K = guess.clone();
    cv::calibrateCamera(s.object, noisy, s.camera.size, c.K, c.distortion, c.rvecs, c.tvecs, flags,
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-9));
    c.input = {c.K, c.distortion, s.camera.size, flags, {}};
    for (size_t v = 0; v < noisy.size(); ++v)
        c.input.views.push_back({int(v), s.object[v], noisy[v], cv::Vec3d(c.rvecs[v]), cv::Vec3d(c.tvecs[v])});
    return c;
}

// Where a calibration puts the scene point that truly lies at distance along pixel q's ray (a
// direction when distance is 0): carried into each board frame by the true poses, back by the
// calibrated ones, averaged, and projected with the calibrated intrinsics.
cv::Point2d calibratedProjection(const CornerSet& s, const Calibration& c, cv::Point2d q, double distance)
{
    cv::Vec3d ray;
    EXPECT_TRUE(pixelToRay(s.camera, q, ray));
    ray /= cv::norm(ray);
    const cv::Vec3d P = distance > 0 ? ray * distance : ray;
    cv::Vec3d sum;
    for (size_t v = 0; v < s.poses.size(); ++v) {
        const TargetPose& truth = s.poses[v];
        const TargetPose calibrated = TargetPose::fromRvec(cv::Vec3d(c.rvecs[v]), cv::Vec3d(c.tvecs[v]));
        sum += distance > 0 ? calibrated.R * (truth.R.t() * (P - truth.t)) + calibrated.t
                            : calibrated.R * (truth.R.t() * P);
    }
    std::vector<cv::Point2d> out;
    cv::projectPoints(std::vector<cv::Point3d>{cv::Point3d(sum / double(s.poses.size()))}, cv::Vec3d(), cv::Vec3d(),
                      c.K, c.distortion, out);
    return out[0];
}

// Worst-direction standard deviation of a cloud of points.
double worstSpread(const std::vector<cv::Point2d>& points)
{
    cv::Mat data(int(points.size()), 2, CV_64F, const_cast<cv::Point2d*>(points.data()));
    cv::Mat covariance, mean;
    cv::calcCovarMatrix(data, covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE);
    covariance *= double(points.size()) / double(points.size() - 1);
    cv::Mat values;
    cv::eigen(covariance, values);
    return std::sqrt(values.at<double>(0));
}

} // namespace

TEST(CalibrationQuality, PredictedUncertaintyAgreesWithTheSpreadOfRepeatedCalibrations)
{
    // Ten of the rendered views' poses, corners with 0.1 px of noise, 100 calibrations each: once
    // with the module's default model, once with the principal point and k3 held at the truth,
    // which must then contribute nothing. The prediction comes from the first calibration alone.
    const CornerSet set = cornerSet(kCamera, renderedPoses(10));
    const int defaults = CalibrationOptions().flags();
    const struct { const char* name; int flags; cv::Mat guess; QStringList free; } models[] = {
        {"defaults", defaults, cv::Mat(), {"f", "cx", "cy", "k1", "k2", "k3"}},
        {"principal point and k3 fixed",
         defaults | cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_K3,
         cv::Mat(kCamera.K), {"f", "k1", "k2"}}};
    // Centre, inside the covered area, outside it, and two image corners no view reached.
    const std::vector<cv::Point2d> probes = {{319.5, 239.5}, {480, 360}, {160, 120}, {100, 400},
                                             {600, 60},      {0, 0},     {639, 479}};
    const double noise = 0.1;
    const int trials = 100;
    for (const auto& m : models) {
        cv::RNG rng(7);
        const Calibration first = calibrateNoisy(set, noise, m.flags, rng, m.guess);
        const ProjectionUncertainty model(first.input);
        ASSERT_TRUE(model.valid()) << m.name << ": " << model.problem().toStdString();
        EXPECT_EQ(model.intrinsics().names, m.free) << m.name;
        EXPECT_NEAR(model.sigma(), noise, 0.1 * noise) << m.name;
        const auto near = model.at(probes, 1000.0), far = model.at(probes, 0.0);

        std::vector<std::vector<cv::Point2d>> nearCloud(probes.size()), farCloud(probes.size());
        for (int t = 0; t < trials; ++t) {
            const Calibration c = calibrateNoisy(set, noise, m.flags, rng, m.guess);
            for (size_t p = 0; p < probes.size(); ++p) {
                nearCloud[p].push_back(calibratedProjection(set, c, probes[p], 1000.0));
                farCloud[p].push_back(calibratedProjection(set, c, probes[p], 0.0));
            }
        }
        for (size_t p = 0; p < probes.size(); ++p) {
            const double simulatedNear = worstSpread(nearCloud[p]), simulatedFar = worstSpread(farCloud[p]);
            EXPECT_NEAR(near[p].sigma / simulatedNear, 1.0, 0.2)
                << m.name << " at " << probes[p] << ": predicted " << near[p].sigma << ", simulated " << simulatedNear;
            EXPECT_NEAR(far[p].sigma / simulatedFar, 1.0, 0.2)
                << m.name << " at infinity " << probes[p] << ": predicted " << far[p].sigma << ", simulated "
                << simulatedFar;
        }
        // The corners no view reached are far less certain than the centre, at 1 m and at infinity.
        EXPECT_GT(near[5].sigma, 10 * near[0].sigma) << m.name;
        EXPECT_GT(far[6].sigma, 10 * far[0].sigma) << m.name;
    }
}
