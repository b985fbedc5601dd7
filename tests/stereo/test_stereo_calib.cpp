#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <functional>
#include <limits>

namespace {

using namespace stereo_synth;

const Rig kRig = defaultRig();
const cv::Size kSize = kRig.cam[0].size;
const cv::TermCriteria kCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-10);
// Epsilon so large that the first step is never applied: the results are the start values.
const cv::TermCriteria kStartOnly(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e30);
const int kGuess = cv::CALIB_USE_INTRINSIC_GUESS;
// Guesses a few per cent off the truth.
const cv::Matx33d kOff[2] = {cv::Matx33d(1020, 0, 630, 0, 1020, 490, 0, 0, 1), cv::Matx33d(970, 0, 660, 0, 970, 460, 0, 0, 1)};

cv::Mat fourteen(const cv::Mat& values)
{
    cv::Mat out = cv::Mat::zeros(1, 14, CV_64F);
    values.reshape(1, 1).copyTo(out.colRange(0, static_cast<int>(values.total())));
    return out;
}

// Start matrices, and distortion where given.
void guess(StereoCalibrate& c, const cv::Matx33d& K1, const cv::Matx33d& K2, const cv::Mat& D1 = {}, const cv::Mat& D2 = {})
{
    c.SetCameraMatrixGuess(cv::Mat(K1), true);
    c.SetCameraMatrixGuess(cv::Mat(K2), false);
    if (!D1.empty())
        c.SetDistortionGuess(D1, true);
    if (!D2.empty())
        c.SetDistortionGuess(D2, false);
}

// Runs the adjustment and returns what it printed.
std::string execute(StereoCalibrate& c, const Views& v, int flags1, int flags2, cv::TermCriteria criteria = kCriteria)
{
    testing::internal::CaptureStdout();
    try {
        c.Execute(v.object, v.image[0], v.image[1], kSize, kSize, flags1, flags2, criteria);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// fx, fy, cx, cy, k1 ... τy of one camera.
std::vector<double> intrinsics(const cv::Mat& K, const cv::Mat& D)
{
    std::vector<double> v = {K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2)};
    v.insert(v.end(), D.begin<double>(), D.end<double>());
    return v;
}

void keepPoints(Views& v, size_t view, int from, int to)
{
    v.object[view] = std::vector<cv::Point3f>(v.object[view].begin() + from, v.object[view].begin() + to);
    for (int k = 0; k < 2; ++k)
        v.image[k][view] = std::vector<cv::Point2f>(v.image[k][view].begin() + from, v.image[k][view].begin() + to);
}

// Both cameras' residuals with one shared matrix. x: camera 1 -> 2 rotation and translation,
// each view's pose in camera 1, then fx, fy, cx, cy; the distortions are the result's.
std::vector<double> sharedMatrixResiduals(const StereoCalibrate& c, const Views& v, const std::vector<double>& x)
{
    const size_t k0 = 6 + 6 * v.object.size();
    const cv::Matx33d K(x[k0], 0, x[k0 + 2], 0, x[k0 + 1], x[k0 + 3], 0, 0, 1);
    std::vector<double> e;
    for (size_t i = 0; i < v.object.size(); ++i) {
        const cv::Vec3d r1(&x[6 + 6 * i]), t1(&x[9 + 6 * i]);
        cv::Vec3d r2, t2;
        cv::composeRT(r1, t1, cv::Vec3d(&x[0]), cv::Vec3d(&x[3]), r2, t2);
        const std::vector<cv::Point3d> obj(v.object[i].begin(), v.object[i].end());
        for (int k = 0; k < 2; ++k) {
            std::vector<cv::Point2d> proj;
            cv::projectPoints(obj, k ? r2 : r1, k ? t2 : t1, K, c.m_distCoeffs[k], proj);
            for (size_t q = 0; q < proj.size(); ++q) {
                e.push_back(proj[q].x - v.image[k][i][q].x);
                e.push_back(proj[q].y - v.image[k][i][q].y);
            }
        }
    }
    return e;
}

// The Gauss-Newton step from the result over the poses and the shared matrix, with a
// finite-difference Jacobian: zero at an optimum of the joint reprojection error.
std::vector<double> sharedMatrixNewtonStep(const StereoCalibrate& c, const Views& v)
{
    std::vector<double> x(c.m_om.begin<double>(), c.m_om.end<double>());
    x.insert(x.end(), c.m_T.begin<double>(), c.m_T.end<double>());
    for (size_t i = 0; i < v.object.size(); ++i) {
        x.insert(x.end(), c.m_rvecs[i].begin<double>(), c.m_rvecs[i].end<double>());
        x.insert(x.end(), c.m_tvecs[i].begin<double>(), c.m_tvecs[i].end<double>());
    }
    const cv::Matx33d K(c.m_cameraMatrix[1]);
    x.insert(x.end(), {K(0, 0), K(1, 1), K(0, 2), K(1, 2)});
    const std::vector<double> e = sharedMatrixResiduals(c, v, x);
    cv::Mat J(int(e.size()), int(x.size()), CV_64F);
    for (size_t j = 0; j < x.size(); ++j) {
        const double h = 1e-6 * std::max(1.0, std::abs(x[j]));
        std::vector<double> plus = x, minus = x;
        plus[j] += h;
        minus[j] -= h;
        const std::vector<double> ep = sharedMatrixResiduals(c, v, plus), em = sharedMatrixResiduals(c, v, minus);
        for (size_t r = 0; r < e.size(); ++r)
            J.at<double>(int(r), int(j)) = (ep[r] - em[r]) / (2 * h);
    }
    cv::Mat step;
    cv::solve(J.t() * J, -(J.t() * cv::Mat(e)), step, cv::DECOMP_CHOLESKY);
    return std::vector<double>(step.begin<double>(), step.end<double>());
}

TEST(StereoCalibrate, SameFocalLengthSharesOneMatrixStartingFromTheMeans)
{
    Rig rig = defaultRig(); // one camera matrix, camera 2 without tangential distortion
    rig.cam[1].K = rig.cam[0].K;
    rig.cam[1].dist.colRange(2, 4).setTo(0.0);
    const Views v = makeViews(rig, 15, 0.2, 404);
    const cv::Matx33d K1(1020, 0, 630, 0, 1030, 490, 0, 0, 1), K2(971, 0, 661, 0, 992.5, 470, 0, 0, 1);
    StereoCalibrate c, fixed;
    guess(c, K1, K2, (cv::Mat_<double>(1, 5) << -0.1, 0.05, 0.001, -0.002, 0.0),
          (cv::Mat_<double>(1, 6) << -0.2, 0.01, 0.003, 0.004, 0.0, 1.5e-5));
    // Either word switches the sharing on, and it overrides a fixed camera. The start values go to
    // standard output, p1 and p2 already cleared where tangential distortion is off.
    EXPECT_EQ(execute(c, v, kGuess | cv::CALIB_SAME_FOCAL_LENGTH, kGuess | cv::CALIB_FIX_INTRINSIC | cv::CALIB_ZERO_TANGENT_DIST),
              "- Startparameter:  Brennweiten: 995.5  1011.25  |  995.5  1011.25\n"
              "  Hauptpunkte: 645.5  480  |  645.5  480\n"
              "  Verzeichnung Kamera 1:\n"
              "  -0.1  0.05  0.001  -0.002  0  0  0  0  0  0  0  0  0  0\n"
              "  Verzeichnung Kamera 2:\n"
              "  -0.2  0.01  0  0  0  1.5e-05  0  0  0  0  0  0  0  0\n");
    EXPECT_EQ(cv::norm(c.m_cameraMatrix[0], c.m_cameraMatrix[1], cv::NORM_INF), 0.0);
    EXPECT_LT(cv::norm(c.m_cameraMatrix[1], cv::Mat(rig.cam[0].K), cv::NORM_INF), 3.0);
    // The result is the optimum of both cameras' residuals: a further Gauss-Newton step barely moves
    // the shared matrix (leaving camera 1's corners out of the shared principal point's normal
    // equations stops the run about a pixel away, in a valley the poses make flat).
    const std::vector<double> step = sharedMatrixNewtonStep(c, v);
    const size_t k0 = step.size() - 4;
    const char* names[] = {"fx", "fy", "cx", "cy"};
    for (size_t j = 0; j < 4; ++j)
        EXPECT_LT(std::abs(step[k0 + j]), 0.01) << names[j];
    // Each camera keeps its own distortion.
    EXPECT_NEAR(c.m_distCoeffs[0].at<double>(0), rig.cam[0].dist.at<double>(0), 0.02);
    EXPECT_NEAR(c.m_distCoeffs[1].at<double>(0), rig.cam[1].dist.at<double>(0), 0.02);
    EXPECT_LT(c.m_rms, 0.3);

    // Both cameras fixed: the start matrices are averaged, and nothing moves them afterwards.
    guess(fixed, K1, K2);
    execute(fixed, v, cv::CALIB_FIX_INTRINSIC | cv::CALIB_SAME_FOCAL_LENGTH, cv::CALIB_FIX_INTRINSIC);
    EXPECT_FALSE(fixed.m_sameFocalLength);
    EXPECT_EQ(cv::norm(fixed.m_cameraMatrix[1], cv::Mat(cv::Matx33d(995.5, 0, 645.5, 0, 1011.25, 480, 0, 0, 1)), cv::NORM_INF),
              0.0);
}

TEST(StereoCalibrate, StartTransformIsTheMedianOfTheViewsOrTheGuess)
{
    // Heavy noise so that the views disagree visibly. The transform camera 1 -> camera 2 each view
    // implies, from each camera's own PnP, one component per row.
    const Views all = makeViews(kRig, 3, 1.5, 505);
    const cv::Mat D[2] = {fourteen(kRig.cam[0].dist), fourteen(kRig.cam[1].dist)};
    std::vector<double> per[6];
    for (int i = 0; i < 3; ++i) {
        cv::Vec3d r[2], t[2], om;
        cv::Matx33d R[2];
        for (int k = 0; k < 2; ++k) {
            cv::solvePnP(all.object[i], all.image[k][i], kRig.cam[k].K, D[k], r[k], t[k]);
            cv::Rodrigues(r[k], R[k]);
        }
        cv::Rodrigues(R[1] * R[0].t(), om);
        const cv::Vec3d tt = t[1] - R[1] * R[0].t() * t[0];
        for (int j = 0; j < 3; ++j) {
            per[j].push_back(om[j]);
            per[j + 3].push_back(tt[j]);
        }
    }
    const cv::Vec6d extrinsicGuess(0.02, -0.1, 0.0, -100.0, 0.0, 0.0);
    for (int views : {2, 3, 0}) { // 0: three views and the extrinsic guess
        SCOPED_TRACE(views);
        StereoCalibrate c;
        guess(c, kRig.cam[0].K, kRig.cam[1].K, D[0], D[1]);
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(extrinsicGuess.val), R);
        c.SetRotationGuess(cv::Mat(R));
        c.SetTranslationGuess(cv::Mat(cv::Vec3d(extrinsicGuess.val + 3)));
        const size_t n = views ? views : 3;
        // Fixed intrinsics and an unreachable epsilon leave the start as the result. The guess flag
        // in the second word alone is enough.
        execute(c, makeViews(kRig, n, 1.5, 505), cv::CALIB_FIX_INTRINSIC, // the first n of the views above
                cv::CALIB_FIX_INTRINSIC | (views ? 0 : cv::CALIB_USE_EXTRINSIC_GUESS), kStartOnly);
        for (int j = 0; j < 6; ++j) {
            std::vector<double> s(per[j].begin(), per[j].begin() + n);
            std::sort(s.begin(), s.end());
            ASSERT_TRUE(views != 3 || std::abs(s[1] - (s[0] + s[1] + s[2]) / 3.0) > 1e-9) << "median equals mean";
            const double expected = views == 0 ? extrinsicGuess[j] : views == 2 ? 0.5 * (s[0] + s[1]) : s[1];
            const double got = j < 3 ? c.m_om.at<double>(j) : c.m_T.at<double>(j - 3);
            // The translation guess is taken as it is.
            EXPECT_NEAR(got, expected, views ? 1e-12 * (1.0 + std::abs(expected)) : j < 3 ? 5e-13 : 0.0) << j;
        }
    }
}

TEST(StereoCalibrate, FundamentalMatrixIsNormalisedOnlyForAPositiveCorner)
{
    int normalised = 0;
    for (double sign : {1.0, -1.0}) {
        Rig rig = defaultRig();
        rig.T = rig.T * sign; // flipping the baseline flips the sign of E and F
        StereoCalibrate c;
        guess(c, rig.cam[0].K, rig.cam[1].K, rig.cam[0].dist, rig.cam[1].dist);
        execute(c, makeViews(rig, 6, 0.1, 707), cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC);
        const cv::Matx33d F(c.m_F), raw = kRig.cam[1].K.inv().t() * cv::Matx33d(c.m_E) * kRig.cam[0].K.inv();
        const bool positive = raw(2, 2) > 0;
        normalised += positive;
        EXPECT_LT(cv::norm(F - raw * (positive ? 1.0 / raw(2, 2) : 1.0), cv::NORM_INF),
                  (positive ? 1e-9 : 1e-12) * cv::norm(F, cv::NORM_INF));
    }
    EXPECT_EQ(normalised, 1);
}

TEST(StereoCalibrate, FlagsFreezeExactlyTheirParametersPerCamera)
{
    const Views v = makeViews(kRig, 12, 0.2, 1102);
    const cv::Mat D[2] = {
        (cv::Mat_<double>(1, 14) << -0.2, 0.08, 0.001, -0.001, 0.001, 0.002, 0.003, 0.004, 1e-4, 2e-4, 3e-4, 4e-4, 1e-3, 2e-3),
        (cv::Mat_<double>(1, 14) << -0.15, 0.04, -0.001, 0.001, 0.002, 0.001, 0.002, 0.003, 2e-4, 1e-4, 4e-4, 3e-4, 2e-3, 1e-3)};
    const cv::Matx33d K[2] = {cv::Matx33d(1010, 0, 635, 0, 1015, 485, 0, 0, 1), cv::Matx33d(975, 0, 655, 0, 980, 465, 0, 0, 1)};
    const std::vector<double> start[2] = {intrinsics(cv::Mat(K[0]), D[0]), intrinsics(cv::Mat(K[1]), D[1])};
    struct Case { const char* name; int flags; std::vector<int> unchanged, changed; }; // into fx, fy, cx, cy, k1 ... τy
    const Case cases[] = {
        {"default", 0, {9, 10, 11, 12, 13, 14, 15, 16, 17}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"fix focal length", cv::CALIB_FIX_FOCAL_LENGTH, {0, 1}, {2, 3, 4}},
        {"fix principal point", cv::CALIB_FIX_PRINCIPAL_POINT, {2, 3}, {0, 1}},
        {"fix tangential", cv::CALIB_FIX_TANGENT_DIST, {6, 7}, {4, 5}},
        {"fix k1", cv::CALIB_FIX_K1, {4}, {5, 8}},
        {"fix k2", cv::CALIB_FIX_K2, {5}, {4, 8}},
        {"fix k3", cv::CALIB_FIX_K3, {8}, {4, 5}},
        {"rational", cv::CALIB_RATIONAL_MODEL, {12, 13, 14, 15, 16, 17}, {9, 10, 11}},
        {"rational, fix k4", cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K4, {9}, {10, 11}},
        {"rational, fix k5", cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K5, {10}, {9, 11}},
        {"rational, fix k6", cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K6, {11}, {9, 10}},
        {"thin prism", cv::CALIB_THIN_PRISM_MODEL, {9, 10, 11, 16, 17}, {12, 13, 14, 15}},
        {"thin prism fixed", cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_FIX_S1_S2_S3_S4, {12, 13, 14, 15}, {4}},
        {"tilted", cv::CALIB_TILTED_MODEL, {9, 10, 11, 12, 13, 14, 15}, {16, 17}},
        {"tilted fixed", cv::CALIB_TILTED_MODEL | cv::CALIB_FIX_TAUX_TAUY, {16, 17}, {4}},
    };
    const int models = cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL;
    for (const auto& fc : cases) {
        SCOPED_TRACE(fc.name);
        StereoCalibrate c;
        guess(c, K[0], K[1], D[0], D[1]);
        // Fix flags only in camera 1's word: camera 2's parameters stay free.
        execute(c, v, kGuess | fc.flags, kGuess | (fc.flags & models));
        const std::vector<double> got[2] = {intrinsics(c.m_cameraMatrix[0], c.m_distCoeffs[0]),
                                            intrinsics(c.m_cameraMatrix[1], c.m_distCoeffs[1])};
        for (int i : fc.unchanged) {
            EXPECT_EQ(got[0][i], start[0][i]) << "camera 1, parameter " << i;
            EXPECT_TRUE(!(fc.flags & ~models) || i >= 9 || got[1][i] != start[1][i]) << "camera 2, parameter " << i;
        }
        for (int i : fc.changed)
            EXPECT_NE(got[0][i], start[0][i]) << "camera 1, parameter " << i;
        EXPECT_LT(c.m_rms, 0.35);
    }
}

TEST(StereoCalibrate, RefusedInputNamesTheCheckAndKeepsTheGuesses)
{
    // Accepted guesses become doubles in the shapes used inside: 1 x 14 (cut or padded), 3 x 1.
    StereoCalibrate c;
    guess(c, kOff[0], kOff[1], kRig.cam[0].dist.t());
    cv::Mat sixteen = cv::Mat::ones(1, 16, CV_64F) * 9.0;
    fourteen(kRig.cam[1].dist).copyTo(sixteen.colRange(0, 14));
    c.SetDistortionGuess(sixteen, false);
    c.SetRotationGuess((cv::Mat_<float>(1, 3) << 0.5f, 0.25f, -0.125f));
    c.SetTranslationGuess((cv::Mat_<double>(1, 3) << -120, 1, 2));

    const Views good = makeViews(kRig, 4, 0.2, 1301);
    const auto spoilt = [&c, &good](std::function<void(Views&)> spoil) {
        return [&c, &good, spoil] {
            Views v = good;
            spoil(v);
            execute(c, v, kGuess, kGuess);
        };
    };
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const char* camera = "cameraMat.rows == 3 && cameraMat.cols == 3 && cameraMat.channels() == 1";
    const char* dist = "(distMat.rows == 1 || distMat.cols == 1) && distMat.channels() == 1";
    const char* translation = "matT.channels() == 1 && matT.total() == 3";
    const char* sizes = "imagePoints1.size() == nPoses && imagePoints2.size() == nPoses";
    const int bad = cv::Error::StsBadArg;
    struct Case { std::function<void()> call; int code; const char *text, *func; };
    const Case cases[] = {
        {[&] { c.SetCameraMatrixGuess(cv::Mat::eye(2, 3, CV_64F), true); }, -215, camera, "SetCameraMatrixGuess"},
        {[&] { c.SetCameraMatrixGuess(cv::Mat(3, 3, CV_64FC2, cv::Scalar(1, 1)), false); }, -215, camera, "SetCameraMatrixGuess"},
        {[&] { c.SetDistortionGuess(cv::Mat::ones(2, 2, CV_64F), true); }, -215, dist, "SetDistortionGuess"},
        {[&] { c.SetDistortionGuess(cv::Mat(1, 5, CV_64FC2, cv::Scalar(7, 7)), true); }, -215, dist, "SetDistortionGuess"},
        {[&] { c.SetRotationGuess(cv::Mat::eye(2, 2, CV_64F)); }, -215, "matR.total() == 3 && matR.channels() == 1",
         "SetRotationGuess"},
        {[&] { c.SetTranslationGuess(cv::Mat::zeros(4, 1, CV_64F)); }, -215, translation, "SetTranslationGuess"},
        {[&] { c.SetTranslationGuess(cv::Mat(1, 1, CV_64FC3, cv::Scalar(7, 7, 7))); }, -215, translation, "SetTranslationGuess"},
        {spoilt([](Views& v) { v.image[1].pop_back(); }), -215, sizes, "Execute"},
        {spoilt([](Views& v) { v.image[0].push_back(v.image[0][0]); }), -215, sizes, "Execute"},
        {spoilt([](Views& v) { keepPoints(v, 2, 0, 3); }), bad, "view 2 has 3 points, at least 4 are needed", "Execute"},
        {spoilt([](Views& v) { v.image[1][1].pop_back(); }), bad, "view 1: 54 target points but 54 and 53 image points",
         "Execute"},
        {spoilt([&](Views& v) { v.image[1][3][17].x = nan; }), bad,
         "view 3 contains a coordinate that is not a finite number", "Execute"},
        {spoilt([&](Views& v) { v.object[0][5].z = inf; }), bad, "view 0 contains a coordinate that is not a finite number",
         "Execute"},
        // One row of the grid only: the target points lie on a line.
        {spoilt([](Views& v) { keepPoints(v, 1, 0, 9); }), bad, "view 1: the target points are collinear", "Execute"},
        // The target seen edge-on by camera 2.
        {spoilt([](Views& v) {
             for (cv::Point2f& p : v.image[1][0])
                 p = cv::Point2f(100.f + p.x, 200.f + 0.5f * p.x);
         }),
         bad, "view 0: the image points of camera 2 are collinear", "Execute"},
        {spoilt([](Views& v) { v = Views(); }), bad, "no views to calibrate", "Execute"},
    };
    for (const auto& cs : cases) {
        try {
            cs.call();
            ADD_FAILURE() << "no exception, expected " << cs.text;
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, cs.code) << e.what();
            EXPECT_EQ(e.err, cs.text);
            EXPECT_EQ(e.func, std::string("StereoCalibrate::") + cs.func);
        }
    }
    // What the accepted calls stored, untouched by the refused ones; no points kept.
    EXPECT_TRUE(!c.m_objectPoints && !c.m_imagePoints1 && !c.m_imagePoints2 && c.m_rvecs.empty());
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(cv::norm(c.m_cameraMatrix[k], cv::Mat(kOff[k]), cv::NORM_INF), 0.0) << k;
        EXPECT_EQ(cv::norm(c.m_distCoeffs[k], fourteen(kRig.cam[k].dist), cv::NORM_INF), 0.0) << k;
    }
    EXPECT_EQ(c.m_om.size(), cv::Size(1, 3));
    EXPECT_EQ(c.m_T.size(), cv::Size(1, 3));
    EXPECT_EQ(cv::Vec3d(c.m_om), cv::Vec3d(0.5, 0.25, -0.125));
    EXPECT_EQ(cv::Vec3d(c.m_T), cv::Vec3d(-120, 1, 2));

    // The same object works afterwards on good input, and lets go of the points again.
    execute(c, good, kGuess, kGuess);
    EXPECT_LT(c.m_rms, 0.35);
    cv::Mat perView = cv::Mat::ones(2, 2, CV_64F);
    EXPECT_EQ(c.ComputeError(std::vector<double>(30, 0.0), &perView), std::numeric_limits<double>::max());
    EXPECT_TRUE(perView.empty());
}

// Against the vision library's own stereo calibration on identical input, with views of different
// sizes so that each point must count once per camera in the RMS and per-view errors; on noise-free
// views also against the truth.
TEST(StereoCalibrate, AgreesWithTheLibraryAndTheTruth)
{
    const int fixFocusK3 = cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_K3;
    // `loose`: the tilt trades against the principal point and the rotation, a flat valley.
    struct Case { const char* name; int flags; bool truthGuess; uint64_t seed; double noise, loose; };
    const Case cases[] = {
        {"noise-free", kGuess | cv::CALIB_FIX_K3, false, 101, 0.0, 1.0},
        {"intrinsic guess", kGuess, false, 42, 0.2, 1.0},
        {"intrinsic guess with LU", kGuess | cv::CALIB_USE_LU, false, 43, 0.2, 1.0},
        {"each camera calibrated alone", 0, false, 44, 0.2, 1.0},
        {"fixed intrinsics", cv::CALIB_FIX_INTRINSIC, true, 45, 0.2, 1.0},
        {"fixed focal length and principal point with k3", kGuess | fixFocusK3, true, 46, 0.2, 1.0},
        {"tilted model", kGuess | cv::CALIB_TILTED_MODEL, false, 47, 0.2, 20.0},
        {"fixed aspect ratio, no tangential", kGuess | cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST, false, 49, 0.2, 1.0},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        Views v = makeViews(kRig, cs.noise > 0 ? 13 : 15, cs.noise, cs.seed);
        keepPoints(v, 1, 0, 30);
        keepPoints(v, 3, 20, 54);
        cv::Mat K[2], D[2], R, T, E, F, perView, ourR;
        for (int k = 0; k < 2; ++k) {
            K[k] = cv::Mat(cs.truthGuess ? kRig.cam[k].K : kOff[k], true);
            D[k] = cs.truthGuess ? kRig.cam[k].dist.clone() : cv::Mat::zeros(1, 5, CV_64F);
        }
        StereoCalibrate ours;
        guess(ours, cv::Matx33d(K[0]), cv::Matx33d(K[1]), D[0], D[1]);
        execute(ours, v, cs.flags, cs.flags);
        const double rms = cv::stereoCalibrate(v.object, v.image[0], v.image[1], K[0], D[0], K[1], D[1], kSize, R, T,
                                               E, F, perView, cs.flags, kCriteria);
        for (int k = 0; k < 2; ++k) {
            const double dK = cv::norm(ours.m_cameraMatrix[k], K[k], cv::NORM_INF);
            const double dD = cv::norm(ours.m_distCoeffs[k], fourteen(D[k]), cv::NORM_INF);
            EXPECT_LT(dK, 1e-4 * cs.loose) << "camera " << k + 1;
            EXPECT_LT(dD, 1e-4 * cs.loose) << "camera " << k + 1;
            EXPECT_TRUE(!(cs.flags & cv::CALIB_FIX_INTRINSIC) || dK + dD == 0.0) << "camera " << k + 1;
        }
        ours.GetRotationMatrix(ourR);
        EXPECT_LT(cv::norm(ourR, R, cv::NORM_INF), 1e-7 * cs.loose);
        EXPECT_LT(cv::norm(ours.m_T, T.reshape(1, 3), cv::NORM_INF), 1e-5 * cs.loose);
        EXPECT_LT(std::abs(ours.m_rms - rms), 1e-9);
        EXPECT_LT(cv::norm(ours.m_F / cv::norm(ours.m_F) - F / cv::norm(F), cv::NORM_INF), 1e-6);
        EXPECT_LT(cv::norm(ours.m_perViewErrors, perView, cv::NORM_INF), 1e-6);
        if (cs.noise > 0)
            continue;
        // Only the float rounding of the corners is left.
        const double tolerance[8] = {0.02, 0.02, 0.02, 0.02, 2e-5, 1e-4, 1e-6, 1e-6}; // fx, fy, cx, cy, k1, k2, p1, p2
        for (int k = 0; k < 2; ++k)
            for (int i = 0; i < 8; ++i)
                EXPECT_NEAR(intrinsics(ours.m_cameraMatrix[k], ours.m_distCoeffs[k])[i],
                            intrinsics(cv::Mat(kRig.cam[k].K), kRig.cam[k].dist)[i], tolerance[i]) << k << ", " << i;
        EXPECT_LT(cv::norm(cv::Vec3d(ours.m_T) - kRig.T), 2e-3);
        EXPECT_LT(cv::norm(cv::Vec3d(ours.m_om) - kRig.om), 1e-6);
        EXPECT_LT(ours.m_rms, 1e-4);
        for (size_t i = 0; i < v.rvecs.size(); ++i) {
            EXPECT_LT(cv::norm(cv::Vec3d(ours.m_rvecs[i]) - v.rvecs[i]), 1e-6) << i;
            EXPECT_LT(cv::norm(cv::Vec3d(ours.m_tvecs[i]) - v.tvecs[i]), 5e-3) << i;
        }
        const cv::Vec3d t(ours.m_T); // E = [T]ₓ·R
        EXPECT_LT(cv::norm(cv::Mat(cv::Matx33d(0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0) * cv::Matx33d(ourR)) - ours.m_E,
                           cv::NORM_INF), 1e-12);
    }
}

// Without a guess each camera is first calibrated alone; with the thin-prism model (and without the
// tilted one) the library takes twelve coefficients there, not fourteen. The result is the library's
// stereo adjustment started from those single-camera calibrations.
TEST(StereoCalibrate, ThinPrismWithoutAGuessStartsFromTwelveCoefficientCalibrations)
{
    const Views v = makeViews(kRig, 13, 0.2, 50);
    const int flags = cv::CALIB_THIN_PRISM_MODEL;
    StereoCalibrate ours;
    ASSERT_NO_THROW(execute(ours, v, flags, flags));
    cv::Mat K[2], D[2], R, T, E, F, ourR;
    for (int k = 0; k < 2; ++k) {
        K[k] = cv::Mat(cv::Matx33d(100, 0, 50, 0, 100, 50, 0, 0, 1), true);
        D[k] = cv::Mat::zeros(1, 12, CV_64F);
        cv::calibrateCamera(v.object, v.image[k], kSize, K[k], D[k], cv::noArray(), cv::noArray(), flags, kCriteria);
    }
    cv::stereoCalibrate(v.object, v.image[0], v.image[1], K[0], D[0], K[1], D[1], kSize, R, T, E, F,
                        flags | kGuess, kCriteria);
    for (int k = 0; k < 2; ++k) {
        EXPECT_LT(cv::norm(ours.m_cameraMatrix[k], K[k], cv::NORM_INF), 2e-3) << "camera " << k + 1;
        EXPECT_LT(cv::norm(ours.m_distCoeffs[k], fourteen(D[k]), cv::NORM_INF), 2e-3) << "camera " << k + 1;
        EXPECT_EQ(ours.m_distCoeffs[k].at<double>(12), 0.0);
        EXPECT_EQ(ours.m_distCoeffs[k].at<double>(13), 0.0);
    }
    ours.GetRotationMatrix(ourR);
    EXPECT_LT(cv::norm(ourR, R, cv::NORM_INF), 2e-5);
    EXPECT_LT(cv::norm(ours.m_T, T.reshape(1, 3), cv::NORM_INF), 2e-3);
}

} // namespace
