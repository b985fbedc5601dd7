#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <cstdio>
#include <limits>

namespace {

using namespace stereo_synth;

const cv::TermCriteria kCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-10);
// Epsilon so large that the first step is never applied: the results are the start values.
const cv::TermCriteria kStartOnly(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e30);

cv::Mat fourteen(std::initializer_list<double> values)
{
    cv::Mat d = cv::Mat::zeros(1, 14, CV_64F);
    int i = 0;
    for (double v : values)
        d.at<double>(i++) = v;
    return d;
}

double rotationAngleBetween(const cv::Mat& omA, const cv::Vec3d& omB)
{
    cv::Matx33d A, B;
    cv::Rodrigues(omA, A);
    cv::Rodrigues(omB, B);
    cv::Vec3d d;
    cv::Rodrigues(A * B.t(), d);
    return cv::norm(d);
}

struct Run
{
    StereoCalibrate calib;
    std::string printout;
};

// Guesses a few per cent off the truth.
void setOffGuesses(StereoCalibrate& c, const Rig& rig)
{
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(1020, 0, 630, 0, 1020, 490, 0, 0, 1)), true);
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(970, 0, 660, 0, 970, 460, 0, 0, 1)), false);
    c.SetDistortionGuess(cv::Mat::zeros(1, 5, CV_64F), true);
    c.SetDistortionGuess(cv::Mat::zeros(1, 5, CV_64F), false);
    (void)rig;
}

void execute(StereoCalibrate& c, const Views& v, const Rig& rig, int flags1, int flags2,
             cv::TermCriteria criteria = kCriteria, std::string* printout = nullptr)
{
    testing::internal::CaptureStdout();
    try
    {
        c.Execute(v.object, v.image[0], v.image[1], rig.cam[0].size, rig.cam[1].size, flags1, flags2, criteria);
    }
    catch (...)
    {
        testing::internal::GetCapturedStdout();
        throw;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    if (printout)
        *printout = out;
}

void expectIntrinsicsNear(const StereoCalibrate& c, const Rig& rig, double pixels, double k1, double k2, double p)
{
    for (int k = 0; k < 2; ++k)
    {
        const cv::Mat& K = c.m_cameraMatrix[k];
        const cv::Matx33d& T = rig.cam[k].K;
        EXPECT_NEAR(K.at<double>(0, 0), T(0, 0), pixels) << "camera " << k + 1;
        EXPECT_NEAR(K.at<double>(1, 1), T(1, 1), pixels) << "camera " << k + 1;
        EXPECT_NEAR(K.at<double>(0, 2), T(0, 2), pixels) << "camera " << k + 1;
        EXPECT_NEAR(K.at<double>(1, 2), T(1, 2), pixels) << "camera " << k + 1;
        EXPECT_EQ(K.at<double>(0, 1), 0.0);
        EXPECT_EQ(K.at<double>(2, 2), 1.0);
        const cv::Mat& d = c.m_distCoeffs[k];
        ASSERT_EQ(d.total(), 14u);
        EXPECT_NEAR(d.at<double>(0), rig.cam[k].dist.at<double>(0), k1) << "camera " << k + 1;
        EXPECT_NEAR(d.at<double>(1), rig.cam[k].dist.at<double>(1), k2) << "camera " << k + 1;
        EXPECT_NEAR(d.at<double>(2), rig.cam[k].dist.at<double>(2), p) << "camera " << k + 1;
        EXPECT_NEAR(d.at<double>(3), rig.cam[k].dist.at<double>(3), p) << "camera " << k + 1;
    }
}

// ---------------------------------------------------------------------------------------------

TEST(StereoCalibrate, RecoversTheRigFromNoiseFreeViews)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 15, 0.0, 101);
    StereoCalibrate c;
    setOffGuesses(c, rig);
    const int flags = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_K3;
    execute(c, v, rig, flags, flags);

    expectIntrinsicsNear(c, rig, 0.02, 2e-5, 1e-4, 1e-6);
    EXPECT_LT(cv::norm(cv::Vec3d(c.m_T) - rig.T), 2e-3);
    EXPECT_LT(rotationAngleBetween(c.m_om, rig.om), 1e-6);
    EXPECT_LT(c.m_rms, 1e-4); // only the float rounding of the corners is left
    ASSERT_EQ(c.m_rvecs.size(), 15u);
    for (size_t i = 0; i < v.rvecs.size(); ++i)
    {
        EXPECT_LT(rotationAngleBetween(c.m_rvecs[i], v.rvecs[i]), 1e-6) << i;
        EXPECT_LT(cv::norm(cv::Vec3d(c.m_tvecs[i]) - v.tvecs[i]), 5e-3) << i;
    }

    // E relates the normalised views of one point: x2ᵀ·E·x1 = 0.
    cv::Mat Rm;
    c.GetRotationMatrix(Rm);
    const cv::Matx33d R = Rm;
    const cv::Vec3d t(c.m_T);
    const cv::Matx33d tx(0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0);
    EXPECT_LT(cv::norm(cv::Mat(tx * R) - c.m_E, cv::NORM_INF), 1e-12);
    std::vector<cv::Point2f> n1, n2;
    cv::undistortPoints(v.image[0][3], n1, rig.cam[0].K, rig.cam[0].dist);
    cv::undistortPoints(v.image[1][3], n2, rig.cam[1].K, rig.cam[1].dist);
    const cv::Matx33d E(c.m_E);
    for (size_t p = 0; p < n1.size(); ++p)
    {
        const cv::Vec3d x1(n1[p].x, n1[p].y, 1.0), x2(n2[p].x, n2[p].y, 1.0);
        EXPECT_LT(std::abs(x2.dot(E * x1)), 1e-4) << p;
    }
}

TEST(StereoCalibrate, RecoversTheRigFromNoisyViews)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 25, 0.25, 202);
    StereoCalibrate c;
    setOffGuesses(c, rig);
    const int flags = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_K3;
    execute(c, v, rig, flags, flags);

    // About twice the largest error seen over a dozen noise seeds: the principal point and the
    // rotation are the least determined by 25 views.
    expectIntrinsicsNear(c, rig, 8.0, 0.02, 0.1, 2e-3);
    EXPECT_NEAR(c.m_cameraMatrix[0].at<double>(0, 0), rig.cam[0].K(0, 0), 4.0);
    EXPECT_NEAR(c.m_cameraMatrix[1].at<double>(1, 1), rig.cam[1].K(1, 1), 4.0);
    EXPECT_LT(cv::norm(cv::Vec3d(c.m_T) - rig.T), 1.5);
    EXPECT_LT(rotationAngleBetween(c.m_om, rig.om), 0.4 * CV_PI / 180.0);
    // σ = 0.25 px per coordinate gives about 0.25·√2 per point, a little less after the fit.
    EXPECT_GT(c.m_rms, 0.32);
    EXPECT_LT(c.m_rms, 0.37);
    EXPECT_EQ(c.m_perViewErrors.rows, 25);
    EXPECT_EQ(c.m_perViewErrors.cols, 2);
}

TEST(StereoCalibrate, FixedIntrinsicsComeOutUnchanged)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 10, 0.2, 303);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[0].K), true);
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
    c.SetDistortionGuess(rig.cam[0].dist, true);
    c.SetDistortionGuess(rig.cam[1].dist, false);
    execute(c, v, rig, cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC);

    EXPECT_EQ(c.m_idxIntrins[0], -1);
    EXPECT_EQ(c.m_idxIntrins[1], -1);
    for (int k = 0; k < 2; ++k)
    {
        EXPECT_EQ(cv::norm(c.m_cameraMatrix[k], cv::Mat(rig.cam[k].K), cv::NORM_INF), 0.0);
        cv::Mat expected = cv::Mat::zeros(1, 14, CV_64F);
        rig.cam[k].dist.copyTo(expected.colRange(0, 5));
        EXPECT_EQ(cv::norm(c.m_distCoeffs[k], expected, cv::NORM_INF), 0.0);
    }
    EXPECT_LT(cv::norm(cv::Vec3d(c.m_T) - rig.T), 0.5);
    EXPECT_LT(rotationAngleBetween(c.m_om, rig.om), 0.05 * CV_PI / 180.0);
}

TEST(StereoCalibrate, SameFocalLengthSharesOneMatrixStartingFromTheMeans)
{
    Rig rig = defaultRig();
    rig.cam[1].K = rig.cam[0].K;
    const Views v = makeViews(rig, 15, 0.2, 404);
    StereoCalibrate c;
    const cv::Matx33d K1(1020, 0, 630, 0, 1030, 490, 0, 0, 1), K2(970, 0, 660, 0, 990, 470, 0, 0, 1);
    c.SetCameraMatrixGuess(cv::Mat(K1), true);
    c.SetCameraMatrixGuess(cv::Mat(K2), false);
    // Either word switches the sharing on, and it overrides a fixed camera.
    std::string out;
    execute(c, v, rig, cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_SAME_FOCAL_LENGTH,
            cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_INTRINSIC, kCriteria, &out);

    EXPECT_NE(out.find("Brennweiten: 995  1010  |  995  1010\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Hauptpunkte: 645  480  |  645  480\n"), std::string::npos) << out;
    EXPECT_TRUE(c.m_sameFocalLength);
    EXPECT_GE(c.m_idxIntrins[0], 0);
    EXPECT_GE(c.m_idxIntrins[1], 0);
    EXPECT_EQ(c.m_flags[1] & cv::CALIB_FIX_INTRINSIC, 0);
    EXPECT_EQ(cv::norm(c.m_cameraMatrix[0], c.m_cameraMatrix[1], cv::NORM_INF), 0.0);
    EXPECT_NEAR(c.m_cameraMatrix[1].at<double>(0, 0), rig.cam[0].K(0, 0), 3.0);
    EXPECT_NEAR(c.m_cameraMatrix[1].at<double>(1, 1), rig.cam[0].K(1, 1), 3.0);
    EXPECT_NEAR(c.m_cameraMatrix[1].at<double>(0, 2), rig.cam[0].K(0, 2), 3.0);
    EXPECT_NEAR(c.m_cameraMatrix[1].at<double>(1, 2), rig.cam[0].K(1, 2), 3.0);
    // Each camera keeps its own distortion.
    EXPECT_NEAR(c.m_distCoeffs[0].at<double>(0), rig.cam[0].dist.at<double>(0), 0.02);
    EXPECT_NEAR(c.m_distCoeffs[1].at<double>(0), rig.cam[1].dist.at<double>(0), 0.02);
    EXPECT_LT(c.m_rms, 0.3);
}

TEST(StereoCalibrate, SameFocalLengthWithBothCamerasFixedStaysFixed)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 6, 0.2, 405);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[0].K), true);
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
    const int flags = cv::CALIB_FIX_INTRINSIC | cv::CALIB_SAME_FOCAL_LENGTH;
    execute(c, v, rig, flags, flags);
    EXPECT_FALSE(c.m_sameFocalLength);
    EXPECT_EQ(c.m_idxIntrins[0], -1);
    EXPECT_EQ(c.m_idxIntrins[1], -1);
    // The start matrices were averaged, and nothing moved them afterwards.
    EXPECT_EQ(c.m_cameraMatrix[0].at<double>(0, 0), 0.5 * (rig.cam[0].K(0, 0) + rig.cam[1].K(0, 0)));
    EXPECT_EQ(c.m_cameraMatrix[1].at<double>(1, 2), 0.5 * (rig.cam[0].K(1, 2) + rig.cam[1].K(1, 2)));
}

// The transform camera 1 -> camera 2 that one view implies, from each camera's own PnP.
cv::Vec<double, 6> viewTransform(const Views& v, size_t i, const cv::Mat K[2], const cv::Mat D[2], cv::Vec3d* r1 = nullptr,
                                 cv::Vec3d* t1 = nullptr)
{
    cv::Vec3d r[2], t[2];
    for (int k = 0; k < 2; ++k)
        cv::solvePnP(v.object[i], v.image[k][i], K[k], D[k], r[k], t[k], false, cv::SOLVEPNP_ITERATIVE);
    cv::Matx33d R1, R2;
    cv::Rodrigues(r[0], R1);
    cv::Rodrigues(r[1], R2);
    const cv::Matx33d R = R2 * R1.t();
    const cv::Vec3d tt = t[1] - R * t[0];
    cv::Vec3d om;
    cv::Rodrigues(R, om);
    if (r1)
        *r1 = r[0];
    if (t1)
        *t1 = t[0];
    return {om[0], om[1], om[2], tt[0], tt[1], tt[2]};
}

TEST(StereoCalibrate, StartTransformIsTheMeanOfTwoViewsAndTheMedianOfThree)
{
    const Rig rig = defaultRig();
    // Heavy noise so that the views disagree visibly.
    const Views all = makeViews(rig, 3, 1.5, 505);
    const cv::Mat K[2] = {cv::Mat(rig.cam[0].K), cv::Mat(rig.cam[1].K)};
    const cv::Mat D[2] = {fourteen({-0.21, 0.09, 0.0011, -0.0007}), fourteen({-0.16, 0.05, -0.0009, 0.0006})};

    cv::Vec<double, 6> per[3];
    cv::Vec3d r1[3], t1[3];
    for (size_t i = 0; i < 3; ++i)
        per[i] = viewTransform(all, i, K, D, &r1[i], &t1[i]);

    for (size_t views : {2u, 3u})
    {
        Views v;
        v.object.assign(all.object.begin(), all.object.begin() + views);
        for (int k = 0; k < 2; ++k)
            v.image[k].assign(all.image[k].begin(), all.image[k].begin() + views);
        StereoCalibrate c;
        c.SetCameraMatrixGuess(K[0], true);
        c.SetCameraMatrixGuess(K[1], false);
        c.SetDistortionGuess(D[0], true);
        c.SetDistortionGuess(D[1], false);
        execute(c, v, rig, cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC, kStartOnly);

        for (int j = 0; j < 6; ++j)
        {
            double expected;
            if (views == 2)
                expected = 0.5 * (per[0][j] + per[1][j]);
            else
            {
                double s[3] = {per[0][j], per[1][j], per[2][j]};
                std::sort(s, s + 3);
                expected = s[1];
                ASSERT_GT(std::abs(expected - (s[0] + s[1] + s[2]) / 3.0), 1e-9) << "median equals mean";
            }
            const double got = j < 3 ? c.m_om.at<double>(j) : c.m_T.at<double>(j - 3);
            EXPECT_NEAR(got, expected, 1e-12 * (1.0 + std::abs(expected))) << views << " views, component " << j;
        }
        for (size_t i = 0; i < views; ++i)
        {
            EXPECT_LT(cv::norm(cv::Vec3d(c.m_rvecs[i]) - r1[i]), 1e-12);
            EXPECT_LT(cv::norm(cv::Vec3d(c.m_tvecs[i]) - t1[i]), 1e-9);
        }
    }
}

TEST(StereoCalibrate, ExtrinsicGuessIsTheStartTransform)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 4, 0.2, 606);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[0].K), true);
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
    const cv::Vec3d omGuess(0.02, -0.1, 0.0), tGuess(-100.0, 0.0, 0.0);
    cv::Matx33d Rguess;
    cv::Rodrigues(omGuess, Rguess);
    c.SetRotationGuess(cv::Mat(Rguess));
    c.SetTranslationGuess(cv::Mat(tGuess));
    // The flag in the second word alone is enough.
    execute(c, v, rig, cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC | cv::CALIB_USE_EXTRINSIC_GUESS, kStartOnly);
    EXPECT_LT(cv::norm(cv::Vec3d(c.m_om) - omGuess), 1e-12);
    EXPECT_EQ(cv::Vec3d(c.m_T), tGuess);
}

TEST(StereoCalibrate, FundamentalMatrixIsNormalisedOnlyForAPositiveCorner)
{
    int normalised = 0, kept = 0;
    for (double sign : {1.0, -1.0})
    {
        Rig rig = defaultRig();
        // Flipping the baseline flips the sign of E and F.
        rig.T = rig.T * sign;
        const Views v = makeViews(rig, 6, 0.1, 707);
        StereoCalibrate c;
        c.SetCameraMatrixGuess(cv::Mat(rig.cam[0].K), true);
        c.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
        c.SetDistortionGuess(rig.cam[0].dist, true);
        c.SetDistortionGuess(rig.cam[1].dist, false);
        execute(c, v, rig, cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC);

        const cv::Matx33d K1(c.m_cameraMatrix[0]), K2(c.m_cameraMatrix[1]), E(c.m_E);
        const cv::Matx33d raw = K2.inv().t() * E * K1.inv();
        const cv::Matx33d F(c.m_F);
        if (raw(2, 2) > 0)
        {
            ++normalised;
            EXPECT_EQ(F(2, 2), 1.0);
            EXPECT_LT(cv::norm(F - raw * (1.0 / raw(2, 2)), cv::NORM_INF), 1e-9 * cv::norm(F, cv::NORM_INF));
        }
        else
        {
            ++kept;
            EXPECT_LT(cv::norm(F - raw, cv::NORM_INF), 1e-12 * cv::norm(raw, cv::NORM_INF));
            EXPECT_LE(F(2, 2), 0.0);
        }
        // Epipolar constraint in pixels on one view.
        std::vector<cv::Point2f> u1, u2;
        cv::undistortPoints(v.image[0][0], u1, rig.cam[0].K, rig.cam[0].dist, cv::noArray(), rig.cam[0].K);
        cv::undistortPoints(v.image[1][0], u2, rig.cam[1].K, rig.cam[1].dist, cv::noArray(), rig.cam[1].K);
        std::vector<cv::Vec3f> lines;
        cv::computeCorrespondEpilines(u1, 1, c.m_F, lines);
        for (size_t p = 0; p < u1.size(); ++p)
            EXPECT_LT(std::abs(lines[p][0] * u2[p].x + lines[p][1] * u2[p].y + lines[p][2]), 1.0) << p;
    }
    EXPECT_EQ(normalised, 1);
    EXPECT_EQ(kept, 1);
}

TEST(StereoCalibrate, RmsAndPerViewErrorsFollowFromTheResiduals)
{
    const Rig rig = defaultRig();
    Views v = makeViews(rig, 5, 0.3, 808);
    // Views of different sizes, so each point must count once per camera.
    for (int k = 0; k < 2; ++k)
        v.image[k][1].resize(30);
    v.object[1].resize(30);
    for (int k = 0; k < 2; ++k)
        v.image[k][3].erase(v.image[k][3].begin(), v.image[k][3].begin() + 20);
    v.object[3].erase(v.object[3].begin(), v.object[3].begin() + 20);

    StereoCalibrate c;
    setOffGuesses(c, rig);
    execute(c, v, rig, cv::CALIB_USE_INTRINSIC_GUESS, cv::CALIB_USE_INTRINSIC_GUESS);

    double total = 0.0;
    size_t N = 0;
    ASSERT_EQ(c.m_perViewErrors.rows, 5);
    for (size_t i = 0; i < v.object.size(); ++i)
    {
        cv::Mat r2, t2;
        cv::composeRT(c.m_rvecs[i], c.m_tvecs[i], c.m_om, c.m_T, r2, t2);
        for (int k = 0; k < 2; ++k)
        {
            std::vector<cv::Point2d> proj;
            const std::vector<cv::Point3d> obj(v.object[i].begin(), v.object[i].end());
            cv::projectPoints(obj, k == 0 ? c.m_rvecs[i] : r2, k == 0 ? c.m_tvecs[i] : t2, c.m_cameraMatrix[k],
                              c.m_distCoeffs[k], proj);
            double sq = 0;
            for (size_t p = 0; p < proj.size(); ++p)
            {
                const double dx = proj[p].x - v.image[k][i][p].x, dy = proj[p].y - v.image[k][i][p].y;
                sq += dx * dx + dy * dy;
            }
            total += sq;
            EXPECT_NEAR(c.m_perViewErrors.at<double>(static_cast<int>(i), k), std::sqrt(sq / proj.size()), 1e-9);
        }
        N += v.object[i].size();
    }
    EXPECT_EQ(N, 5u * 54u - 24u - 20u);
    EXPECT_NEAR(c.m_rms, std::sqrt(total / (2.0 * N)), 1e-12);
    EXPECT_GT(c.m_rms, 0.3);
}

TEST(StereoCalibrate, StartParametersArePrintedToStandardOutput)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 3, 0.2, 909);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(1020, 0, 630.5, 0, 1021.25, 490, 0, 0, 1)), true);
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(970, 0, 660, 0, 975, 460, 0, 0, 1)), false);
    c.SetDistortionGuess((cv::Mat_<double>(1, 5) << -0.1, 0.05, 0.001, -0.002, 0.0), true);
    c.SetDistortionGuess((cv::Mat_<double>(1, 6) << -0.2, 0.01, 0.003, 0.004, 0.0, 1.5e-5), false);
    std::string out;
    // Zero tangential distortion clears p1, p2 of camera 2 before the printout.
    execute(c, v, rig, cv::CALIB_USE_INTRINSIC_GUESS,
            cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_RATIONAL_MODEL, kStartOnly, &out);
    const std::string expected = "- Startparameter:  Brennweiten: 1020  1021.25  |  970  975\n"
                                 "  Hauptpunkte: 630.5  490  |  660  460\n"
                                 "  Verzeichnung Kamera 1:\n"
                                 "  -0.1  0.05  0.001  -0.002  0  0  0  0  0  0  0  0  0  0\n"
                                 "  Verzeichnung Kamera 2:\n"
                                 "  -0.2  0.01  0  0  0  1.5e-05  0  0  0  0  0  0  0  0\n";
    EXPECT_EQ(out, expected);
}

TEST(StereoCalibrate, WithoutIntrinsicGuessEachCameraIsFirstCalibratedAlone)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 8, 0.2, 1001);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
    std::string out;
    execute(c, v, rig, 0, cv::CALIB_USE_INTRINSIC_GUESS, kCriteria, &out);

    // Camera 1 from its own calibration, started like the class does; camera 2 from its guess.
    cv::Mat K = (cv::Mat_<double>(3, 3) << 100, 0, 50, 0, 100, 50, 0, 0, 1), D = cv::Mat::zeros(1, 14, CV_64F);
    cv::calibrateCamera(v.object, v.image[0], rig.cam[0].size, K, D, cv::noArray(), cv::noArray(), 0, kCriteria);
    char line[256];
    std::snprintf(line, sizeof line, "Brennweiten: %g  %g  |  985  990\n", K.at<double>(0, 0), K.at<double>(1, 1));
    EXPECT_NE(out.find(line), std::string::npos) << out << "\nexpected " << line;
    std::snprintf(line, sizeof line, "Hauptpunkte: %g  %g  |  652  471\n", K.at<double>(0, 2), K.at<double>(1, 2));
    EXPECT_NE(out.find(line), std::string::npos) << out << "\nexpected " << line;
    std::snprintf(line, sizeof line, "Kamera 1:\n  %g  %g  %g  %g  %g  0  0", D.at<double>(0), D.at<double>(1),
                  D.at<double>(2), D.at<double>(3), D.at<double>(4));
    EXPECT_NE(out.find(line), std::string::npos) << out << "\nexpected " << line;
    EXPECT_NEAR(K.at<double>(0, 0), rig.cam[0].K(0, 0), 10.0); // a real calibration happened
}

// ---------------------------------------------------------------------------------------------
// Which coefficients move under which flags.

struct FlagCase
{
    const char* name;
    int flags;
    std::vector<int> unchanged; // indices into fx, fy, cx, cy, k1 ... τy (18)
    std::vector<int> changed;
};

double intrinsic(const StereoCalibrate& c, int k, int i)
{
    const cv::Mat& K = c.m_cameraMatrix[k];
    switch (i)
    {
    case 0: return K.at<double>(0, 0);
    case 1: return K.at<double>(1, 1);
    case 2: return K.at<double>(0, 2);
    case 3: return K.at<double>(1, 2);
    default: return c.m_distCoeffs[k].at<double>(i - 4);
    }
}

TEST(StereoCalibrate, FlagsFreezeExactlyTheirParameters)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 12, 0.2, 1102);
    const cv::Mat guess[2] = {
        fourteen({-0.2, 0.08, 0.001, -0.001, 0.001, 0.002, 0.003, 0.004, 1e-4, 2e-4, 3e-4, 4e-4, 1e-3, 2e-3}),
        fourteen({-0.15, 0.04, -0.001, 0.001, 0.002, 0.001, 0.002, 0.003, 2e-4, 1e-4, 4e-4, 3e-4, 2e-3, 1e-3})};
    const std::vector<int> extras = {9, 10, 11, 12, 13, 14, 15, 16, 17}; // k4 ... τy

    const std::vector<FlagCase> cases = {
        {"default", 0, extras, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
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
    const cv::Matx33d Kguess[2] = {cv::Matx33d(1010, 0, 635, 0, 1015, 485, 0, 0, 1),
                                   cv::Matx33d(975, 0, 655, 0, 980, 465, 0, 0, 1)};
    for (const FlagCase& fc : cases)
    {
        SCOPED_TRACE(fc.name);
        StereoCalibrate c;
        for (int k = 0; k < 2; ++k)
        {
            c.SetCameraMatrixGuess(cv::Mat(Kguess[k]), k == 0);
            c.SetDistortionGuess(guess[k], k == 0);
        }
        // The flag only in camera 1's word: camera 2 shows that it acts per camera.
        execute(c, v, rig, cv::CALIB_USE_INTRINSIC_GUESS | fc.flags,
                cv::CALIB_USE_INTRINSIC_GUESS | (fc.flags & ~(cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT |
                                                              cv::CALIB_FIX_TANGENT_DIST | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 |
                                                              cv::CALIB_FIX_K3 | cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 |
                                                              cv::CALIB_FIX_K6 | cv::CALIB_FIX_S1_S2_S3_S4 |
                                                              cv::CALIB_FIX_TAUX_TAUY)));
        auto start = [&](int k, int i) {
            return i < 4 ? (i == 0 ? Kguess[k](0, 0) : i == 1 ? Kguess[k](1, 1) : i == 2 ? Kguess[k](0, 2) : Kguess[k](1, 2))
                         : guess[k].at<double>(i - 4);
        };
        for (int i : fc.unchanged)
            EXPECT_EQ(intrinsic(c, 0, i), start(0, i)) << "camera 1, parameter " << i;
        for (int i : fc.changed)
            EXPECT_NE(intrinsic(c, 0, i), start(0, i)) << "camera 1, parameter " << i;
        // Fix flags in camera 1's word leave camera 2's parameters free.
        const bool fixes = fc.flags & ~(cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL);
        if (fixes)
        {
            for (int i : fc.unchanged)
            {
                if (i < 9)
                {
                    EXPECT_NE(intrinsic(c, 1, i), start(1, i)) << "camera 2, parameter " << i;
                }
            }
        }
        EXPECT_LT(c.m_rms, 0.35);
    }
}

TEST(StereoCalibrate, ZeroTangentialAndFixedAspectRatio)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, 12, 0.2, 1203);
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(1010, 0, 635, 0, 1020, 485, 0, 0, 1)), true);
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(975, 0, 655, 0, 980, 465, 0, 0, 1)), false);
    c.SetDistortionGuess(fourteen({-0.2, 0.08, 0.001, -0.001}), true);
    c.SetDistortionGuess(fourteen({-0.15, 0.04, -0.001, 0.001}), false);
    execute(c, v, rig, cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_ZERO_TANGENT_DIST,
            cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_ASPECT_RATIO);
    EXPECT_EQ(c.m_distCoeffs[0].at<double>(2), 0.0);
    EXPECT_EQ(c.m_distCoeffs[0].at<double>(3), 0.0);
    EXPECT_NE(c.m_distCoeffs[1].at<double>(2), -0.001);
    EXPECT_DOUBLE_EQ(c.m_aspectRatio[1], 975.0 / 980.0);
    EXPECT_EQ(c.m_aspectRatio[0], 0.0);
    const cv::Mat& K2 = c.m_cameraMatrix[1];
    EXPECT_NE(K2.at<double>(1, 1), 980.0);
    EXPECT_NEAR(K2.at<double>(0, 0) / K2.at<double>(1, 1), 975.0 / 980.0, 1e-14);
    EXPECT_NEAR(K2.at<double>(1, 1), rig.cam[1].K(1, 1), 8.0);
}

// ---------------------------------------------------------------------------------------------
// Guesses and unpacking

void expectAssertion(const std::function<void()>& f, const std::string& text, const std::string& func)
{
    try
    {
        f();
        ADD_FAILURE() << "no exception for " << text;
    }
    catch (const cv::Exception& e)
    {
        EXPECT_EQ(e.code, -215);
        EXPECT_EQ(e.err, text);
        EXPECT_EQ(e.func, func);
    }
}

TEST(StereoCalibrate, FreshObjectDefaults)
{
    StereoCalibrate c;
    for (int k = 0; k < 2; ++k)
    {
        EXPECT_EQ(cv::norm(c.m_cameraMatrix[k], cv::Mat(cv::Matx33d(100, 0, 50, 0, 100, 50, 0, 0, 1)), cv::NORM_INF), 0.0);
        EXPECT_EQ(c.m_distCoeffs[k].size(), cv::Size(14, 1));
        EXPECT_EQ(cv::countNonZero(c.m_distCoeffs[k]), 0);
        EXPECT_EQ(c.m_idxIntrins[k], -1);
    }
    EXPECT_EQ(c.m_om.size(), cv::Size(1, 3));
    EXPECT_EQ(cv::countNonZero(c.m_om), 0);
    EXPECT_EQ(c.m_T.size(), cv::Size(1, 3));
    EXPECT_EQ(c.m_objectPoints, nullptr);
    EXPECT_EQ(StereoCalibrate::NINTRINSIC, 18);
}

TEST(StereoCalibrate, GuessSettersCheckShapes)
{
    StereoCalibrate c;
    const char* camText = "cameraMat.rows == 3 && cameraMat.cols == 3 && cameraMat.channels() == 1";
    expectAssertion([&] { c.SetCameraMatrixGuess(cv::Mat::eye(2, 3, CV_64F), true); }, camText,
                    "StereoCalibrate::SetCameraMatrixGuess");
    expectAssertion([&] { c.SetCameraMatrixGuess(cv::Mat(3, 3, CV_64FC2, cv::Scalar(1, 1)), false); }, camText,
                    "StereoCalibrate::SetCameraMatrixGuess");
    EXPECT_EQ(c.m_cameraMatrix[0].at<double>(0, 0), 100.0); // nothing stored
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33f(800.5f, 0, 320, 0, 801, 240, 0, 0, 1)), false);
    EXPECT_EQ(c.m_cameraMatrix[1].type(), CV_64F);
    EXPECT_EQ(c.m_cameraMatrix[1].at<double>(0, 0), 800.5);
    EXPECT_EQ(c.m_cameraMatrix[0].at<double>(0, 0), 100.0);

    const char* distText = "(distMat.rows == 1 || distMat.cols == 1) && distMat.channels() == 1";
    expectAssertion([&] { c.SetDistortionGuess(cv::Mat::ones(2, 2, CV_64F), true); }, distText,
                    "StereoCalibrate::SetDistortionGuess");
    expectAssertion([&] { c.SetDistortionGuess(cv::Mat(1, 5, CV_64FC2), true); }, distText,
                    "StereoCalibrate::SetDistortionGuess");
    c.SetDistortionGuess(fourteen({0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5}), true);
    c.SetDistortionGuess((cv::Mat_<float>(5, 1) << 1, 2, 3, 4, 5), true);
    ASSERT_EQ(c.m_distCoeffs[0].size(), cv::Size(14, 1));
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(c.m_distCoeffs[0].at<double>(i), i < 5 ? i + 1.0 : 0.0) << i;
    cv::Mat sixteen(1, 16, CV_64F);
    for (int i = 0; i < 16; ++i)
        sixteen.at<double>(i) = i + 10.0;
    c.SetDistortionGuess(sixteen, false);
    ASSERT_EQ(c.m_distCoeffs[1].size(), cv::Size(14, 1));
    EXPECT_EQ(c.m_distCoeffs[1].at<double>(13), 23.0);

    const cv::Vec3d om(0.1, -0.2, 0.3);
    cv::Matx33d R;
    cv::Rodrigues(om, R);
    c.SetRotationGuess(cv::Mat(R));
    EXPECT_LT(cv::norm(cv::Vec3d(c.m_om) - om), 1e-12);
    c.SetRotationGuess((cv::Mat_<float>(1, 3) << 0.5f, 0.25f, -0.125f));
    EXPECT_EQ(c.m_om.size(), cv::Size(1, 3));
    EXPECT_EQ(cv::Vec3d(c.m_om), cv::Vec3d(0.5, 0.25, -0.125));
    cv::Mat back;
    c.GetRotationMatrix(back);
    cv::Matx33d expectedR;
    cv::Rodrigues(cv::Vec3d(0.5, 0.25, -0.125), expectedR);
    EXPECT_LT(cv::norm(back, cv::Mat(expectedR), cv::NORM_INF), 1e-15);
    expectAssertion([&] { c.SetRotationGuess(cv::Mat::eye(2, 2, CV_64F)); }, "matR.total() == 3 && matR.channels() == 1",
                    "StereoCalibrate::SetRotationGuess");

    c.SetTranslationGuess((cv::Mat_<double>(1, 3) << -120, 1, 2));
    EXPECT_EQ(c.m_T.size(), cv::Size(1, 3));
    EXPECT_EQ(c.m_T.at<double>(0), -120.0);
    const char* tText = "matT.channels() == 1 && matT.total() == 3";
    expectAssertion([&] { c.SetTranslationGuess(cv::Mat::zeros(4, 1, CV_64F)); }, tText,
                    "StereoCalibrate::SetTranslationGuess");
    expectAssertion([&] { c.SetTranslationGuess(cv::Mat(1, 1, CV_64FC3)); }, tText, "StereoCalibrate::SetTranslationGuess");
    EXPECT_EQ(c.m_T.at<double>(0), -120.0);
}

TEST(StereoCalibrate, ParamToIntrinsicsUnpacksBlocks)
{
    StereoCalibrate c;
    c.SetCameraMatrixGuess(cv::Mat(cv::Matx33d(500, 0, 10, 0, 501, 20, 0, 0, 1)), true);
    std::vector<double> param(12 + 2 * 18);
    for (size_t i = 0; i < param.size(); ++i)
        param[i] = static_cast<double>(i);
    cv::Mat K[2], D[2];

    // Camera 1 not optimised: its stored values; camera 2 from its block.
    c.m_idxIntrins[1] = 12 + 18;
    c.ParamToIntrinsics(param, K, D);
    EXPECT_EQ(cv::norm(K[0], c.m_cameraMatrix[0], cv::NORM_INF), 0.0);
    EXPECT_NE(K[0].data, c.m_cameraMatrix[0].data); // a copy
    EXPECT_EQ(cv::norm(K[1], cv::Mat(cv::Matx33d(30, 0, 32, 0, 31, 33, 0, 0, 1)), cv::NORM_INF), 0.0);
    ASSERT_EQ(D[1].total(), 14u);
    EXPECT_EQ(D[1].at<double>(0), 34.0);
    EXPECT_EQ(D[1].at<double>(13), 47.0);

    // Fixed aspect ratio replaces fx.
    c.m_idxIntrins[0] = 12;
    c.m_aspectRatio[0] = 0.5;
    c.ParamToIntrinsics(param, K, D);
    EXPECT_EQ(K[0].at<double>(0, 0), 6.5);
    EXPECT_EQ(K[0].at<double>(1, 1), 13.0);

    // One shared matrix: camera 1 gets camera 2's.
    c.m_sameFocalLength = true;
    c.ParamToIntrinsics(param, K, D);
    EXPECT_EQ(cv::norm(K[0], K[1], cv::NORM_INF), 0.0);
    EXPECT_EQ(D[0].at<double>(0), 16.0);

    param.resize(12 + 18 + 17);
    expectAssertion([&] { c.ParamToIntrinsics(param, K, D); },
                    "static_cast<int>(param.size()) >= m_idxIntrins[k] + NINTRINSIC", "StereoCalibrate::ParamToIntrinsics");
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST(StereoCalibrate, BadInputGivesCleanErrorsAndKeepsTheGuesses)
{
    const Rig rig = defaultRig();
    const Views good = makeViews(rig, 4, 0.2, 1301);
    const int flags = cv::CALIB_USE_INTRINSIC_GUESS;

    auto attempt = [&](const Views& v, int code, const std::string& text) {
        StereoCalibrate c;
        setOffGuesses(c, rig);
        const cv::Mat K0 = c.m_cameraMatrix[0].clone();
        try
        {
            execute(c, v, rig, flags, flags);
            ADD_FAILURE() << "no exception, expected " << text;
        }
        catch (const cv::Exception& e)
        {
            EXPECT_EQ(e.code, code) << e.what();
            EXPECT_NE(e.err.find(text), std::string::npos) << e.err;
            EXPECT_EQ(e.func, "StereoCalibrate::Execute");
        }
        EXPECT_EQ(c.m_objectPoints, nullptr);
        EXPECT_EQ(c.m_imagePoints1, nullptr);
        EXPECT_EQ(c.m_imagePoints2, nullptr);
        EXPECT_EQ(cv::norm(c.m_cameraMatrix[0], K0, cv::NORM_INF), 0.0);
        EXPECT_TRUE(c.m_rvecs.empty());
    };

    {
        Views v = good;
        v.image[1].pop_back();
        attempt(v, -215, "imagePoints1.size() == nPoses && imagePoints2.size() == nPoses");
        v = good;
        v.image[0].push_back(v.image[0][0]);
        attempt(v, -215, "imagePoints1.size() == nPoses && imagePoints2.size() == nPoses");
    }
    {
        Views v = good;
        v.object[2].resize(3);
        v.image[0][2].resize(3);
        v.image[1][2].resize(3);
        attempt(v, cv::Error::StsBadArg, "view 2 has 3 points, at least 4 are needed");
    }
    {
        Views v = good;
        v.image[1][1].pop_back();
        attempt(v, cv::Error::StsBadArg, "view 1: 54 target points but 54 and 53 image points");
    }
    {
        Views v = good;
        v.image[1][3][17].x = std::numeric_limits<float>::quiet_NaN();
        attempt(v, cv::Error::StsBadArg, "view 3 contains a coordinate that is not a finite number");
        v = good;
        v.object[0][5].z = std::numeric_limits<float>::infinity();
        attempt(v, cv::Error::StsBadArg, "view 0 contains a coordinate that is not a finite number");
    }
    {
        // One row of the grid only: the target points lie on a line.
        Views v = good;
        v.object[1].resize(9);
        v.image[0][1].resize(9);
        v.image[1][1].resize(9);
        attempt(v, cv::Error::StsBadArg, "view 1: the target points are collinear");
    }
    {
        // Target seen edge-on by camera 2.
        Views v = good;
        for (cv::Point2f& p : v.image[1][0])
            p = cv::Point2f(100.f + p.x, 200.f + 0.5f * p.x);
        attempt(v, cv::Error::StsBadArg, "view 0: the image points of camera 2 are collinear");
    }
    attempt(Views{}, cv::Error::StsBadArg, "no views");

    // The same object works afterwards on good input.
    StereoCalibrate c;
    setOffGuesses(c, rig);
    Views bad = good;
    bad.image[1].pop_back();
    EXPECT_THROW(execute(c, bad, rig, flags, flags), cv::Exception);
    execute(c, good, rig, flags, flags);
    EXPECT_LT(c.m_rms, 0.35);
    EXPECT_EQ(c.m_objectPoints, nullptr);
}

TEST(StereoCalibrate, ErrorWithoutPointsIsTheLargestDouble)
{
    StereoCalibrate c;
    cv::Mat perView = cv::Mat::ones(2, 2, CV_64F);
    EXPECT_EQ(c.ComputeError(std::vector<double>(12, 0.0), &perView), std::numeric_limits<double>::max());
    EXPECT_TRUE(perView.empty());
}

} // namespace
