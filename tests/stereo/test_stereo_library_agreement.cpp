// The adjustment against the vision library's own stereo calibration on identical input.

#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <cstdio>

namespace {

using namespace stereo_synth;

struct Agreement
{
    double K = 0, dist = 0, R = 0, T = 0, rms = 0, F = 0, perView = 0;
};

Agreement compare(int flags, bool guessIsTruth, int nViews, uint64_t seed, double* rmsOut = nullptr)
{
    const Rig rig = defaultRig();
    const Views v = makeViews(rig, nViews, 0.2, seed);
    const cv::TermCriteria crit(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-10);
    cv::Mat Kg[2], Dg[2];
    for (int k = 0; k < 2; ++k)
    {
        Kg[k] = guessIsTruth ? cv::Mat(rig.cam[k].K, true)
                             : cv::Mat(cv::Matx33d(k ? 970 : 1020, 0, k ? 660 : 630, 0, k ? 970 : 1020, k ? 460 : 490, 0, 0, 1), true);
        Dg[k] = guessIsTruth ? rig.cam[k].dist.clone() : cv::Mat::zeros(1, 5, CV_64F);
    }

    StereoCalibrate ours;
    for (int k = 0; k < 2; ++k)
    {
        ours.SetCameraMatrixGuess(Kg[k], k == 0);
        ours.SetDistortionGuess(Dg[k], k == 0);
    }
    testing::internal::CaptureStdout();
    ours.Execute(v.object, v.image[0], v.image[1], rig.cam[0].size, rig.cam[1].size, flags, flags, crit);
    testing::internal::GetCapturedStdout();

    cv::Mat K1 = Kg[0].clone(), K2 = Kg[1].clone(), D1 = Dg[0].clone(), D2 = Dg[1].clone(), R, T, E, F, perView;
    const double rms = cv::stereoCalibrate(v.object, v.image[0], v.image[1], K1, D1, K2, D2, rig.cam[0].size, R, T, E, F,
                                           perView, flags, crit);
    cv::Mat ourR;
    ours.GetRotationMatrix(ourR);

    Agreement a;
    const cv::Mat K[2] = {K1, K2}, D[2] = {D1, D2};
    for (int k = 0; k < 2; ++k)
    {
        a.K = std::max(a.K, cv::norm(ours.m_cameraMatrix[k], K[k], cv::NORM_INF));
        const int n = static_cast<int>(std::min<size_t>(D[k].total(), 14));
        for (int i = 0; i < n; ++i)
            a.dist = std::max(a.dist, std::abs(ours.m_distCoeffs[k].at<double>(i) - D[k].at<double>(i)));
        for (int i = n; i < 14; ++i)
            a.dist = std::max(a.dist, std::abs(ours.m_distCoeffs[k].at<double>(i)));
    }
    a.R = cv::norm(ourR, R, cv::NORM_INF);
    a.T = cv::norm(ours.m_T, T.reshape(1, 3), cv::NORM_INF);
    a.rms = std::abs(ours.m_rms - rms);
    a.F = cv::norm(ours.m_F / cv::norm(ours.m_F) - F / cv::norm(F), cv::NORM_INF);
    a.perView = cv::norm(ours.m_perViewErrors, perView, cv::NORM_INF);
    if (rmsOut)
        *rmsOut = rms;
    std::printf("[ library ] flags 0x%x, %d views: |dK| %.2e px, |ddist| %.2e, |dR| %.2e, |dT| %.2e mm, |drms| %.2e px "
                "(rms %.6f), |dF| %.2e, |dperView| %.2e px\n",
                flags, nViews, a.K, a.dist, a.R, a.T, a.rms, rms, a.F, a.perView);
    return a;
}

// `loose` widens the parameter tolerances for models whose optimum lies in a flat valley: the
// error agrees to rounding there while the parameters may still drift a little.
void expectSame(const Agreement& a, double loose = 1.0)
{
    EXPECT_LT(a.K, 1e-4 * loose);
    EXPECT_LT(a.dist, 1e-4 * loose);
    EXPECT_LT(a.R, 1e-7 * loose);
    EXPECT_LT(a.T, 1e-5 * loose);
    EXPECT_LT(a.rms, 1e-9);
    EXPECT_LT(a.F, 1e-6);
    EXPECT_LT(a.perView, 1e-6);
}

TEST(StereoLibraryAgreement, IntrinsicGuess)
{
    expectSame(compare(cv::CALIB_USE_INTRINSIC_GUESS, false, 13, 42));
}

TEST(StereoLibraryAgreement, IntrinsicGuessWithLu)
{
    expectSame(compare(cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_USE_LU, false, 13, 43));
}

TEST(StereoLibraryAgreement, EachCameraCalibratedAlone)
{
    expectSame(compare(0, false, 13, 44));
}

TEST(StereoLibraryAgreement, FixedIntrinsics)
{
    const Agreement a = compare(cv::CALIB_FIX_INTRINSIC, true, 13, 45);
    EXPECT_EQ(a.K, 0.0);
    EXPECT_EQ(a.dist, 0.0);
    expectSame(a);
}

TEST(StereoLibraryAgreement, FixedFocalLengthAndPrincipalPointWithK3)
{
    expectSame(compare(cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT |
                           cv::CALIB_FIX_K3,
                       true, 13, 46));
}

TEST(StereoLibraryAgreement, TiltedModel)
{
    // The tilt of the sensor trades against the principal point and the rotation.
    expectSame(compare(cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_TILTED_MODEL, false, 13, 47), 20.0);
}

} // namespace
