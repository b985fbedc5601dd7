// How far a calibration can be trusted: the predicted projection uncertainty against the spread
// of many calibrations with fresh noise and against the whole problem solved the plain way, the map
// where corners were and were not seen, the free parameters under the flags, coverage, residuals
// and the closing log line.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

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

// tilt x, tilt y, roll (degrees)
const double kTilts[9][3] = {{0, 0, 0},     {30, 0, 10},    {-30, 0, -10},  {0, 30, 20},  {0, -30, -20},
                             {20, 20, 45},  {-20, -20, 90}, {20, -20, 135}, {-20, 20, 180}};

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

// Nine views of a board covering a third of the image, all around the centre; and eighteen
// views of a larger board pushed into every corner and edge of the image.
std::vector<TargetPose> centralPoses()
{
    std::vector<TargetPose> poses;
    const double d = distanceForCoverage(kCamera, board(), 0.35);
    for (int i = 0; i < 9; ++i)
        poses.push_back(viewPose(board(), d, kTilts[i][0], kTilts[i][1], kTilts[i][2]));
    return poses;
}

std::vector<TargetPose> borderPoses()
{
    std::vector<TargetPose> poses;
    const double d = distanceForCoverage(kCamera, board(), 0.45), mmPerPx = d / kCamera.K(0, 0);
    for (int i = 0; i < 18; ++i) {
        const double sign = i < 9 ? 1.0 : -1.0;
        const cv::Vec3d shift((i % 3 - 1) * 215.0 * mmPerPx, (i / 3 % 3 - 1) * 165.0 * mmPerPx, 0.0);
        poses.push_back(viewPose(board(), d, sign * kTilts[(i + 3) % 9][0], sign * kTilts[i % 9][1], kTilts[i % 9][2],
                                 shift));
    }
    return poses;
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
        // At 1 m, at the boards' own distance (0.3 m, where distance along the ray and depth differ
        // most), and at infinity (0).
        const double distances[] = {1000.0, 300.0, 0.0};
        std::vector<std::vector<PixelUncertainty>> predicted;
        for (double d : distances)
            predicted.push_back(model.at(probes, d));

        using Clouds = std::vector<std::vector<cv::Point2d>>; // per probe
        std::vector<Clouds> clouds(3, Clouds(probes.size()));
        for (int t = 0; t < trials; ++t) {
            const Calibration c = calibrateNoisy(set, noise, m.flags, rng, m.guess);
            for (size_t d = 0; d < 3; ++d)
                for (size_t p = 0; p < probes.size(); ++p)
                    clouds[d][p].push_back(calibratedProjection(set, c, probes[p], distances[d]));
        }
        for (size_t d = 0; d < 3; ++d)
            for (size_t p = 0; p < probes.size(); ++p) {
                const double simulated = worstSpread(clouds[d][p]);
                EXPECT_NEAR(predicted[d][p].sigma / simulated, 1.0, 0.2)
                    << m.name << " at " << probes[p] << ", " << distances[d] << " mm: predicted "
                    << predicted[d][p].sigma << ", simulated " << simulated;
            }
        const auto& near = predicted[0];
        const auto& far = predicted[2];
        // The corners no view reached are far less certain than the centre, at 1 m and at infinity.
        EXPECT_GT(near[5].sigma, 10 * near[0].sigma) << m.name;
        EXPECT_GT(far[6].sigma, 10 * far[0].sigma) << m.name;
    }
}

TEST(CalibrationQuality, SmallWhereCornersWereSeenLargeWhereNotAndTheLogSaysSo)
{
    const int flags = CalibrationOptions().flags();
    cv::RNG rng(3);
    const CornerSet centralSet = cornerSet(kCamera, centralPoses());
    const CalibrationQuality central = assessCalibration(calibrateNoisy(centralSet, 0.1, flags, rng).input);
    ASSERT_TRUE(central.determined()) << central.problem.toStdString();
    EXPECT_LT(central.coveredFraction, 0.15);
    // Every map node where the board was is within half the centre's value again; every node
    // 100 px away from it is over fifty times the centre, or beyond where the fitted lens has an
    // inverse at all.
    cv::Mat away;
    cv::distanceTransform(255 - central.covered, away, cv::DIST_L2, 3);
    int inside = 0, outside = 0;
    const cv::Mat& map = central.atDistance.sigma;
    for (int r = 0; r < map.rows; ++r)
        for (int c = 0; c < map.cols; ++c) {
            const cv::Point2d p = central.atDistance.node(c, r);
            const double d = away.at<float>(int(p.y * central.coverageScale), int(p.x * central.coverageScale)) /
                             central.coverageScale;
            const float sigma = map.at<float>(r, c);
            if (d == 0.0) {
                ++inside;
                EXPECT_LT(sigma, 1.5 * central.centre) << p;
            } else if (d > 100.0) {
                ++outside;
                EXPECT_FALSE(sigma <= 50 * central.centre) << p;
            }
        }
    EXPECT_TRUE(inside > 200 && outside > 1000) << inside << " " << outside;
    EXPECT_NEAR(central.atDistance.at({319.5, 239.5}), central.centre, 0.02 * central.centre) << "map and probe agree";
    EXPECT_TRUE(std::isnan(central.worstCorner()) && central.cornersPoor());
    EXPECT_EQ(central.summary(), "Projection uncertainty at 1 m: " + formatPixels(central.centre) +
                                     " px at the centre, not determined at the corners. The corners are poorly "
                                     "determined: more views with the target near the image borders would help.\n");

    const CornerSet borderSet = cornerSet(kCamera, borderPoses());
    const CalibrationQuality border = assessCalibration(calibrateNoisy(borderSet, 0.1, flags, rng).input);
    ASSERT_TRUE(border.determined());
    EXPECT_GT(border.coveredFraction, 0.75);
    const double worst = border.worstCorner();
    EXPECT_TRUE(worst > border.centre && worst < 5 * border.centre && !border.cornersPoor()) << worst;
    const double best = *std::min_element(border.corners.begin(), border.corners.end());
    EXPECT_EQ(border.summary(),
              QString("Projection uncertainty at 1 m: %1 px at the centre, %2 to %3 px at the corners.\n")
                                    .arg(formatPixels(border.centre), formatPixels(best), formatPixels(worst)));
    // The probes are those of the maps: centre, then pixels (0, 0), (w-1, 0), (0, h-1), (w-1, h-1).
    const cv::Point2d corner[] = {{0, 0}, {639, 0}, {0, 479}, {639, 479}};
    for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(border.atDistance.at(corner[c]), border.corners[size_t(c)], 1e-5 * border.corners[size_t(c)]) << c;
        EXPECT_NEAR(border.atInfinity.at(corner[c]), border.cornersInfinity[size_t(c)], 1e-5 * border.corners[size_t(c)]);
    }
    EXPECT_NEAR(border.atInfinity.at({319.5, 239.5}), border.centreInfinity, 0.02 * border.centreInfinity);
    EXPECT_GT(border.centreInfinity, 1.2 * border.centre) << "at infinity the rotations weigh more";

    RecordingLogSink log;
    logQuality(central, log);
    logQuality(border, log);
    ASSERT_EQ(log.segments.size(), 2u);
    EXPECT_TRUE(log.segments[0].color == logcolor::Orange && log.segments[1].color.isEmpty());
}

TEST(CalibrationQuality, FreeParametersFollowTheFlagsAndTheModel)
{
    using Names = QStringList;
    const Names kLibraryOrder = {"fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"};
    const int zeroTangent = cv::CALIB_ZERO_TANGENT_DIST, fixAspect = cv::CALIB_FIX_ASPECT_RATIO;
    const struct { int flags, coefficients; Names names; } cases[] = {
        {fixAspect | zeroTangent, 5, {"f", "cx", "cy", "k1", "k2", "k3"}},
        {0, 5, {"fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3"}},
        {cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT | zeroTangent, 5, {"k1", "k2", "k3"}},
        // Radial distortion off: k1..k3 fixed.
        {fixAspect | zeroTangent | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3, 5, {"f", "cx", "cy"}},
        {cv::CALIB_FIX_TANGENT_DIST | cv::CALIB_FIX_K2, 4, {"fx", "fy", "cx", "cy", "k1"}},
        // Eight coefficients move only with the rational model.
        {zeroTangent, 8, {"fx", "fy", "cx", "cy", "k1", "k2", "k3"}},
        {zeroTangent | cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K5, 8,
         {"fx", "fy", "cx", "cy", "k1", "k2", "k3", "k4", "k6"}},
        {zeroTangent | cv::CALIB_RATIONAL_MODEL, 0, {"fx", "fy", "cx", "cy"}}};
    for (const auto& c : cases) {
        const FreeIntrinsics free = freeIntrinsics(c.flags, c.coefficients, 1.25);
        EXPECT_EQ(free.names, c.names) << c.flags << " " << c.names.join(",").toStdString();
        ASSERT_EQ(free.basis.size(), cv::Size(int(c.names.size()), 4 + c.coefficients));
        // Each parameter moves its own entry; with a fixed aspect ratio f moves fx by 1.25 and fy by 1.
        for (int j = 0; j < free.names.size(); ++j) {
            const QString& n = free.names[j];
            const int row = kLibraryOrder.indexOf(n);
            cv::Mat expected = cv::Mat::zeros(4 + c.coefficients, 1, CV_64F);
            if (n == "f")
                expected.at<double>(0) = 1.25, expected.at<double>(1) = 1.0;
            else
                expected.at<double>(row) = 1.0;
            EXPECT_EQ(cv::norm(free.basis.col(j), expected, cv::NORM_INF), 0.0) << n.toStdString();
        }
    }
}

TEST(CalibrationQuality, CoverageAndResidualsOfEveryCorner)
{
    // A lens without distortion and twice the same frontal view, 21 px between corners: the
    // covered area is the corner grid's rectangle, every 16 px cell holds at most one corner of a
    // view, so 54 cells hold two.
    const CameraModel ideal = CameraModel::ideal({640, 480}, 500);
    const double d = 25.0 * 500 / 21.0;
    const CornerSet frontal = cornerSet(ideal, {viewPose(board(), d), viewPose(board(), d)});
    cv::RNG rng(5);
    const CalibrationQuality covered =
        assessCalibration(calibrateNoisy(frontal, 0.0, CalibrationOptions().flags(), rng, cv::Mat(ideal.K)).input);
    const cv::Rect2f grid = cv::boundingRect(frontal.image[0]);
    EXPECT_NEAR(covered.coveredFraction, grid.area() / (640.0 * 480.0), 0.01);
    EXPECT_EQ(covered.cornerCount.size(), cv::Size(40, 30));
    EXPECT_EQ(cv::sum(covered.cornerCount)[0], 108.0);
    EXPECT_EQ(cv::countNonZero(covered.cornerCount == 2), 54);
    EXPECT_EQ(covered.cornerCount.at<int>(int(frontal.image[0][0].y) / 16, int(frontal.image[0][0].x) / 16), 2);

    const CornerSet set = cornerSet(kCamera, renderedPoses(3));
    Calibration c = calibrateNoisy(set, 0.1, CalibrationOptions().flags(), rng);
    CalibrationQuality q = assessCalibration(c.input);
    // Per-view RMS as the library reports it; residuals are detected minus projected.
    std::vector<cv::Mat> rvecs, tvecs;
    cv::Mat K = c.K.clone(), dist = c.distortion.clone(), sd1, sd2, perView;
    std::vector<std::vector<cv::Point2f>> image;
    for (const QualityView& v : c.input.views)
        image.push_back(v.imagePoints);
    cv::calibrateCamera(set.object, image, kCamera.size, K, dist, rvecs, tvecs, sd1, sd2, perView,
                        c.input.flags | cv::CALIB_USE_INTRINSIC_GUESS);
    ASSERT_EQ(q.views.size(), 3u);
    for (int v = 0; v < 3; ++v) {
        EXPECT_EQ(q.views[size_t(v)].image, v);
        EXPECT_NEAR(q.views[size_t(v)].rms, perView.at<double>(v), 1e-3 * perView.at<double>(v));
    }
    const cv::Point2f before = q.views[1].residuals[3];
    c.input.views[1].imagePoints[3] += cv::Point2f(1.0f, -0.5f);
    q = assessCalibration(c.input);
    EXPECT_LT(cv::norm(q.views[1].residuals[3] - before - cv::Point2f(1.0f, -0.5f)), 1e-4);
    EXPECT_EQ(q.views[1].points[3], c.input.views[1].imagePoints[3]);
}

TEST(CalibrationQuality, WhatCannotBeToldIsSaidNotGuessed)
{
    const CornerSet set = cornerSet(kCamera, renderedPoses(3));
    cv::RNG rng(11);
    Calibration c = calibrateNoisy(set, 0.1, CalibrationOptions().flags(), rng);

    // Four corners of one view cannot determine six intrinsics and a pose.
    QualityInput few = c.input;
    few.views.resize(1);
    few.views[0].objectPoints.resize(4);
    few.views[0].imagePoints.resize(4);
    // A view without corners says nothing about its pose.
    QualityInput empty = c.input;
    empty.views[1].objectPoints.clear();
    empty.views[1].imagePoints.clear();
    const struct { QualityInput input; QString problem; } cases[] = {
        {few, "8 corner coordinates do not outnumber the 12 free parameters"},
        {empty, "the corners do not depend on the pose of view 1"}};
    for (const auto& k : cases) {
        const CalibrationQuality q = assessCalibration(k.input);
        EXPECT_EQ(q.problem, k.problem);
        EXPECT_TRUE(q.atDistance.sigma.empty() && std::isnan(q.centre) && !q.cornersPoor());
        EXPECT_EQ(q.summary(), "Projection uncertainty not determined: " + k.problem + ".\n");
        EXPECT_GT(q.coveredFraction, 0.0) << "coverage and residuals are still there";
        EXPECT_EQ(q.views.size(), k.input.views.size());
        RecordingLogSink log;
        logQuality(q, log);
        EXPECT_EQ(log.segments.at(0).color, logcolor::Orange);
    }
    // Nothing a run hands over makes it throw: a state without a model becomes a problem.
    IntrinsicState state;
    state.images.resize(1);
    const auto q = assessCalibration(state, {0}, 0);
    EXPECT_FALSE(q->determined());
}

TEST(CalibrationQuality, UnprojectionInvertsTheLensUpToWhereItFolds)
{
    // Strong barrel distortion folds the image back before its corners; close to the fold the
    // library's own iteration stops short and must be finished, beyond it there is no inverse.
    CameraModel lens = CameraModel::ideal({640, 480}, 500);
    lens.setDistortion({-0.35, 0.0, 0.0, 0.0, 0.0});
    std::vector<cv::Point2d> pixels;
    for (int y = 0; y < 480; y += 4)
        for (int x = 0; x < 640; x += 4)
            pixels.emplace_back(x, y);
    std::vector<cv::Point2d> rays;
    const std::vector<bool> ok = unprojectPixels(pixels, cv::Mat(lens.K), lens.distCoeffs(), rays);
    int inverted = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        cv::Vec3d ray;
        ASSERT_EQ(ok[i], pixelToRay(lens, pixels[i], ray)) << pixels[i];
        if (!ok[i]) {
            EXPECT_TRUE(std::isnan(rays[i].x)) << pixels[i];
            continue;
        }
        ++inverted;
        EXPECT_LT(cv::norm(cv::Point2d(ray[0] / ray[2], ray[1] / ray[2]) - rays[i]), 1e-9) << pixels[i];
    }
    EXPECT_TRUE(inverted > 15000 && inverted < int(pixels.size())) << inverted;
}

TEST(CalibrationQuality, IntrinsicDeviationsAgreeWithTheLibrarysOwn)
{
    // Non-square pixels held at their ratio (fx follows fy), the principal point and k1..k3 free:
    // the deviations of the free intrinsics from the covariance built here are the library's.
    CameraModel camera = kCamera;
    camera.K(1, 1) = 600;
    const CornerSet set = cornerSet(camera, renderedPoses(10));
    cv::RNG rng(13);
    const int flags = CalibrationOptions().flags() | cv::CALIB_USE_INTRINSIC_GUESS;
    const Calibration c = calibrateNoisy(set, 0.1, flags, rng, cv::Mat(camera.K));
    std::vector<std::vector<cv::Point2f>> image;
    for (const QualityView& v : c.input.views)
        image.push_back(v.imagePoints);
    cv::Mat K = c.K.clone(), dist = c.distortion.clone(), deviations, extrinsic, perView;
    std::vector<cv::Mat> rvecs, tvecs;
    cv::calibrateCamera(set.object, image, camera.size, K, dist, rvecs, tvecs, deviations, extrinsic, perView, flags);
    const CalibrationQuality q = assessCalibration(c.input);
    ASSERT_EQ(q.intrinsicNames, QStringList({"f", "cx", "cy", "k1", "k2", "k3"}));
    // The library takes the noise over the corners less the parameters, not over the coordinates
    // (which the simulation above confirms); brought to the same noise, the deviations agree.
    const double corners = q.observations / 2.0;
    const double toOurNoise = std::sqrt((corners - q.parameters) / (q.observations - q.parameters));
    const int library[] = {1, 2, 3, 4, 5, 8}; // fy, cx, cy, k1, k2, k3
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(q.intrinsicDeviations[size_t(i)] / (toOurNoise * deviations.at<double>(library[i])), 1.0, 0.01)
            << q.intrinsicNames[i].toStdString() << " " << q.intrinsicDeviations[size_t(i)] << " "
            << deviations.at<double>(library[i]);
}

TEST(CalibrationQuality, PixelCovarianceIsTheWholeProblemsSandwich)
{
    // The arrow-shaped shortcut against the plain way: the Jacobian of every residual in one
    // matrix, its normal matrix inverted whole, and the chain of a pixel (through each view's
    // board frame and back, averaged, projected) differentiated numerically. Tangential terms free,
    // so that every kind of intrinsic takes part.
    const CornerSet set = cornerSet(kCamera, renderedPoses(6));
    cv::RNG rng(19);
    const int flags = CalibrationOptions().flags() & ~cv::CALIB_ZERO_TANGENT_DIST;
    const Calibration c = calibrateNoisy(set, 0.1, flags, rng);
    const ProjectionUncertainty model(c.input);
    ASSERT_TRUE(model.valid()) << model.problem().toStdString();
    const cv::Mat basis = model.intrinsics().basis;
    ASSERT_EQ(basis.cols, 8);
    const int ni = basis.cols, nv = int(c.input.views.size()), n = ni + 6 * nv;
    const int nd = int(c.distortion.total());

    cv::Mat J;
    for (int v = 0; v < nv; ++v) {
        const QualityView& view = c.input.views[size_t(v)];
        std::vector<cv::Point2f> projected;
        cv::Mat jacobian;
        cv::projectPoints(view.objectPoints, view.rvec, view.tvec, c.K, c.distortion, projected, jacobian);
        cv::Mat rows = cv::Mat::zeros(jacobian.rows, n, CV_64F);
        cv::Mat(jacobian.colRange(6, 10 + nd) * basis).copyTo(rows.colRange(0, ni));
        jacobian.colRange(0, 6).copyTo(rows.colRange(ni + 6 * v, ni + 6 * v + 6));
        J.push_back(rows);
    }
    const cv::Mat N = J.t() * J;
    cv::Mat scale(n, 1, CV_64F);
    for (int i = 0; i < n; ++i)
        scale.at<double>(i) = 1.0 / std::sqrt(N.at<double>(i, i));
    const cv::Mat S = cv::Mat::diag(scale);
    const cv::Mat covariance = model.sigma() * model.sigma() * S * cv::Mat(S * N * S).inv(cv::DECOMP_SVD) * S;

    cv::Mat intrinsics = (cv::Mat_<double>(4, 1) << c.K.at<double>(0, 0), c.K.at<double>(1, 1), c.K.at<double>(0, 2),
                          c.K.at<double>(1, 2));
    intrinsics.push_back(cv::Mat(c.distortion.reshape(1, nd)));
    // Where the solution moved by delta puts the scene point P (a direction when not finite).
    const auto chain = [&](const cv::Mat& delta, const cv::Vec3d& P, bool finite) {
        const cv::Mat k = intrinsics + basis * delta.rowRange(0, ni);
        const cv::Matx33d K(k.at<double>(0), 0, k.at<double>(2), 0, k.at<double>(1), k.at<double>(3), 0, 0, 1);
        cv::Vec3d sum;
        for (int v = 0; v < nv; ++v) {
            const QualityView& view = c.input.views[size_t(v)];
            cv::Matx33d R0, R1;
            cv::Rodrigues(view.rvec, R0);
            const double* d = delta.ptr<double>(ni + 6 * v);
            cv::Rodrigues(view.rvec + cv::Vec3d(d[0], d[1], d[2]), R1);
            const cv::Vec3d t1 = view.tvec + cv::Vec3d(d[3], d[4], d[5]);
            sum += finite ? R1 * (R0.t() * (P - view.tvec)) + t1 : R1 * (R0.t() * P);
        }
        std::vector<cv::Point2d> out;
        cv::projectPoints(std::vector<cv::Point3d>{cv::Point3d(sum / double(nv))}, cv::Vec3d(), cv::Vec3d(), K,
                          k.rowRange(4, 4 + nd), out);
        return out[0];
    };

    const std::vector<cv::Point2d> probes = {{319.5, 239.5}, {600, 60}, {100, 400}, {0, 0}, {639, 479}};
    std::vector<cv::Point2d> rays;
    const std::vector<bool> ok = unprojectPixels(probes, c.K, c.distortion, rays);
    for (double distance : {1000.0, 300.0, 0.0}) {
        const std::vector<PixelUncertainty> predicted = model.at(probes, distance);
        for (size_t p = 0; p < probes.size(); ++p) {
            ASSERT_TRUE(ok[p]) << probes[p];
            cv::Vec3d P(rays[p].x, rays[p].y, 1.0);
            P /= cv::norm(P);
            if (distance > 0)
                P *= distance;
            cv::Mat g(2, n, CV_64F);
            for (int j = 0; j < n; ++j) {
                // A step far inside the parameter's own uncertainty: the chain is linear there.
                const double h = 1e-3 * std::sqrt(covariance.at<double>(j, j));
                cv::Mat delta = cv::Mat::zeros(n, 1, CV_64F);
                delta.at<double>(j) = h;
                const cv::Point2d d = (chain(delta, P, distance > 0) - chain(-delta, P, distance > 0)) / (2 * h);
                g.at<double>(0, j) = d.x;
                g.at<double>(1, j) = d.y;
            }
            const cv::Matx22d expected(cv::Mat(g * covariance * g.t()));
            const cv::Matx22d& got = predicted[p].covariance;
            const double size = expected(0, 0) + expected(1, 1);
            for (int e = 0; e < 4; ++e)
                EXPECT_NEAR(got.val[e], expected.val[e], 1e-4 * size)
                    << probes[p] << " at " << distance << " mm, entry " << e;
            cv::Mat values;
            cv::eigen(cv::Mat(expected), values);
            EXPECT_NEAR(predicted[p].sigma, std::sqrt(values.at<double>(0)), 1e-4 * std::sqrt(size)) << probes[p];
        }
    }
}

TEST(CalibrationQuality, CornersArePoorBeyondFiveTimesTheCentreAndATenthOfAPixel)
{
    const auto poor = [](double centre, double worstCorner) {
        CalibrationQuality q;
        q.centre = centre;
        q.corners = {centre, worstCorner, centre, centre};
        return q.cornersPoor();
    };
    // Five times the centre decides once that is above a tenth of a pixel; below, the floor does.
    EXPECT_FALSE(poor(0.1, 0.49));
    EXPECT_TRUE(poor(0.1, 0.51));
    EXPECT_FALSE(poor(0.01, 0.099));
    EXPECT_TRUE(poor(0.01, 0.101));
    CalibrationQuality unknown;
    unknown.problem = "the views do not determine all free parameters";
    unknown.corners = {NAN, NAN, NAN, NAN};
    EXPECT_FALSE(unknown.cornersPoor()) << "nothing was determined: no advice about the corners";
}
