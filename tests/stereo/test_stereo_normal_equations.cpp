#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

namespace {

using namespace stereo_synth;
using Vec = std::vector<double>;

// A stereo problem set up by hand, as Execute would leave it during the adjustment.
struct Problem
{
    Views views;
    StereoCalibrate calib;
    Vec param;

    Problem(int nViews, bool intrinsics1, bool intrinsics2, uint64_t seed)
    {
        const Rig rig = defaultRig();
        views = makeViews(rig, nViews, 0.3, seed);
        calib.m_objectPoints = &views.object;
        calib.m_imagePoints1 = &views.image[0];
        calib.m_imagePoints2 = &views.image[1];
        calib.SetCameraMatrixGuess(cv::Mat(rig.cam[0].K), true);
        calib.SetDistortionGuess(rig.cam[0].dist, true);
        calib.SetCameraMatrixGuess(cv::Mat(rig.cam[1].K), false);
        calib.SetDistortionGuess(rig.cam[1].dist, false);

        int n = 6 * (nViews + 1);
        calib.m_idxIntrins[0] = intrinsics1 ? n : -1;
        n += intrinsics1 ? StereoCalibrate::NINTRINSIC : 0;
        calib.m_idxIntrins[1] = intrinsics2 ? n : -1;
        n += intrinsics2 ? StereoCalibrate::NINTRINSIC : 0;
        param.assign(n, 0.0);

        // Near the truth but not at it, with every distortion term non-zero so that all
        // eighteen intrinsic columns are exercised.
        cv::RNG rng(seed + 1);
        for (int c = 0; c < 3; ++c)
        {
            param[c] = rig.om[c] + rng.uniform(-0.01, 0.01);
            param[3 + c] = rig.T[c] + rng.uniform(-2.0, 2.0);
        }
        for (int i = 0; i < nViews; ++i)
            for (int c = 0; c < 3; ++c)
            {
                param[6 + 6 * i + c] = views.rvecs[i][c] + rng.uniform(-0.01, 0.01);
                param[9 + 6 * i + c] = views.tvecs[i][c] + rng.uniform(-2.0, 2.0);
            }
        for (int k = 0; k < 2; ++k)
        {
            const int j = calib.m_idxIntrins[k];
            if (j < 0)
                continue;
            const cv::Matx33d& K = rig.cam[k].K;
            const double block[18] = {K(0, 0) + 3, K(1, 1) - 2, K(0, 2) + 1.5, K(1, 2) - 1,
                                      -0.18 + 0.02 * k, 0.07, 0.0012, -0.0008, 0.01, 0.002, -0.001, 0.003,
                                      0.0011, -0.0007, 0.0005, 0.0009, 0.004, -0.003};
            std::copy(block, block + 18, param.begin() + j);
        }
    }

    // The residual vector computed independently of the class: projection of every view in
    // both cameras minus the detections.
    Vec Residuals(const Vec& p) const
    {
        cv::Mat K[2], D[2];
        for (int k = 0; k < 2; ++k)
        {
            const int j = calib.m_idxIntrins[k];
            if (j < 0)
            {
                K[k] = calib.m_cameraMatrix[k].clone();
                D[k] = calib.m_distCoeffs[k].clone();
                continue;
            }
            // A shared matrix takes fx, fy, cx, cy from camera 2's block.
            const int jm = (k == 0 && calib.m_sameFocalLength) ? calib.m_idxIntrins[1] : j;
            const double aspect = (k == 0 && calib.m_sameFocalLength) ? calib.m_aspectRatio[1] : calib.m_aspectRatio[k];
            const double fy = p[jm + 1], fx = aspect != 0.0 ? aspect * fy : p[jm];
            K[k] = (cv::Mat_<double>(3, 3) << fx, 0, p[jm + 2], 0, fy, p[jm + 3], 0, 0, 1);
            D[k] = cv::Mat(1, 14, CV_64F, const_cast<double*>(&p[j + 4])).clone();
        }
        const cv::Vec3d om(p[0], p[1], p[2]), T(p[3], p[4], p[5]);
        Vec e;
        for (size_t i = 0; i < views.object.size(); ++i)
        {
            const cv::Vec3d r1(&p[6 + 6 * i]), t1(&p[9 + 6 * i]);
            cv::Vec3d r2, t2;
            cv::composeRT(r1, t1, om, T, r2, t2);
            const std::vector<cv::Point3d> obj(views.object[i].begin(), views.object[i].end());
            for (int k = 0; k < 2; ++k)
            {
                std::vector<cv::Point2d> proj;
                cv::projectPoints(obj, k == 0 ? r1 : r2, k == 0 ? t1 : t2, K[k], D[k], proj);
                for (size_t q = 0; q < proj.size(); ++q)
                {
                    e.push_back(proj[q].x - views.image[k][i][q].x);
                    e.push_back(proj[q].y - views.image[k][i][q].y);
                }
            }
        }
        return e;
    }

    cv::Mat NumericJacobian(const Vec& p) const
    {
        const int m = static_cast<int>(Residuals(p).size());
        cv::Mat J(m, static_cast<int>(p.size()), CV_64F);
        for (size_t c = 0; c < p.size(); ++c)
        {
            const double h = 1e-6 * std::max(1.0, std::abs(p[c]));
            Vec plus = p, minus = p;
            plus[c] += h;
            minus[c] -= h;
            const Vec ep = Residuals(plus), em = Residuals(minus);
            for (int r = 0; r < m; ++r)
                J.at<double>(r, static_cast<int>(c)) = (ep[r] - em[r]) / (2.0 * h);
        }
        return J;
    }
};

void expectNormalEquationsMatchDifferences(Problem& pr)
{
    cv::Mat JtJ, JtErr;
    pr.calib.ComputeJtJ(pr.param, JtJ, JtErr);
    const int n = static_cast<int>(pr.param.size());
    ASSERT_EQ(JtJ.size(), cv::Size(n, n));
    ASSERT_EQ(JtErr.size(), cv::Size(1, n));

    const cv::Mat J = pr.NumericJacobian(pr.param);
    const Vec e = pr.Residuals(pr.param);
    const cv::Mat refJtJ = J.t() * J, refJtErr = J.t() * cv::Mat(e);
    const double eNorm = cv::norm(cv::Mat(e));

    double sq = 0;
    for (double r : e)
        sq += r * r;
    EXPECT_NEAR(pr.calib.ComputeError(pr.param), sq, 1e-10 * sq);
    EXPECT_GT(sq, 1.0); // away from the optimum, so Jᵀ·e says something

    // Entries relative to the scale of their row and column.
    double worstJtJ = 0, worstJtErr = 0;
    for (int r = 0; r < n; ++r)
    {
        const double sr = std::sqrt(refJtJ.at<double>(r, r));
        for (int c = r; c < n; ++c)
        {
            const double sc = std::sqrt(refJtJ.at<double>(c, c));
            const double scale = sr * sc + 1e-12;
            worstJtJ = std::max(worstJtJ, std::abs(JtJ.at<double>(r, c) - refJtJ.at<double>(r, c)) / scale);
            // Both triangles hold the same numbers.
            EXPECT_EQ(JtJ.at<double>(r, c), JtJ.at<double>(c, r)) << r << "," << c;
        }
        worstJtErr = std::max(worstJtErr, std::abs(JtErr.at<double>(r) - refJtErr.at<double>(r)) / (sr * eNorm + 1e-12));
    }
    EXPECT_LT(worstJtJ, 1e-5);
    EXPECT_LT(worstJtErr, 1e-5);

    // Views never couple with each other.
    const size_t nViews = pr.views.object.size();
    for (size_t a = 0; a < nViews; ++a)
        for (size_t b = 0; b < nViews; ++b)
            if (a != b) {
                EXPECT_EQ(cv::countNonZero(JtJ(cv::Range(6 + 6 * a, 12 + 6 * a), cv::Range(6 + 6 * b, 12 + 6 * b))), 0);
            }
}

TEST(StereoNormalEquations, MatchFiniteDifferencesWithBothIntrinsicsFree)
{
    Problem pr(3, true, true, 11);
    expectNormalEquationsMatchDifferences(pr);
}

TEST(StereoNormalEquations, MatchFiniteDifferencesWithSameFocalLength)
{
    Problem pr(3, true, true, 12);
    pr.calib.m_sameFocalLength = true;
    expectNormalEquationsMatchDifferences(pr);

    // Camera 1's own fx, fy, cx, cy do not enter the error at all.
    cv::Mat JtJ, JtErr;
    pr.calib.ComputeJtJ(pr.param, JtJ, JtErr);
    const int j1 = pr.calib.m_idxIntrins[0];
    EXPECT_EQ(cv::countNonZero(JtJ.rowRange(j1, j1 + 4)), 0);
    EXPECT_EQ(cv::countNonZero(JtErr.rowRange(j1, j1 + 4)), 0);
    // While camera 2's gather the derivatives of both cameras. The derivatives by fx, fy, cx, cy
    // do not depend on the matrix itself, so the shared diagonal is the sum of both cameras'.
    Problem alone(3, true, true, 12);
    cv::Mat JtJ2, JtErr2;
    alone.calib.ComputeJtJ(alone.param, JtJ2, JtErr2);
    const int j2 = pr.calib.m_idxIntrins[1];
    for (int c = 0; c < 4; ++c)
    {
        const double sum = JtJ2.at<double>(j1 + c, j1 + c) + JtJ2.at<double>(j2 + c, j2 + c);
        EXPECT_NEAR(JtJ.at<double>(j2 + c, j2 + c), sum, 1e-12 * sum) << c;
    }
}

TEST(StereoNormalEquations, MatchFiniteDifferencesWithFixedAspectRatio)
{
    Problem pr(3, true, true, 13);
    pr.calib.m_aspectRatio[1] = 0.995;
    expectNormalEquationsMatchDifferences(pr);
    cv::Mat JtJ, JtErr;
    pr.calib.ComputeJtJ(pr.param, JtJ, JtErr);
    EXPECT_EQ(cv::countNonZero(JtJ.row(pr.calib.m_idxIntrins[1])), 0); // fx follows fy
}

TEST(StereoNormalEquations, MatchFiniteDifferencesWithOneOrNoCameraOptimised)
{
    Problem second(3, false, true, 14);
    EXPECT_EQ(second.param.size(), 24u + 18u);
    expectNormalEquationsMatchDifferences(second);
    Problem none(4, false, false, 15);
    EXPECT_EQ(none.param.size(), 30u);
    expectNormalEquationsMatchDifferences(none);
}

// ---------------------------------------------------------------------------------------------
// The structured solve on the real problem.

TEST(StereoNormalEquations, StructuredStepEqualsTheDenseStep)
{
    Problem pr(20, true, true, 21);
    cv::Mat JtJ, JtErr;
    pr.calib.ComputeJtJ(pr.param, JtJ, JtErr);

    // The mask of a five-coefficient model, with a fixed principal point on camera 2.
    const int n = static_cast<int>(pr.param.size());
    std::vector<int> freeIdx;
    for (int i = 0; i < n; ++i)
    {
        bool frozen = false;
        for (int k = 0; k < 2; ++k)
        {
            const int j = pr.calib.m_idxIntrins[k];
            frozen |= i >= j + 9 && i < j + 18;
        }
        frozen |= i == pr.calib.m_idxIntrins[1] + 2 || i == pr.calib.m_idxIntrins[1] + 3;
        if (!frozen)
            freeIdx.push_back(i);
    }
    const int m = static_cast<int>(freeIdx.size());
    cv::Mat A(m, m, CV_64F), b(m, 1, CV_64F);
    for (int r = 0; r < m; ++r)
    {
        for (int c = 0; c < m; ++c)
            A.at<double>(r, c) = JtJ.at<double>(freeIdx[r], freeIdx[c]);
        b.at<double>(r) = JtErr.at<double>(freeIdx[r]);
    }
    for (double lambda : {1e-3, 1e-8})
    {
        cv::Mat damped = A.clone();
        damped.diag() *= 1.0 + lambda;
        std::vector<cv::Range> blocks;
        for (int i = 0; i < 20; ++i)
            blocks.emplace_back(6 + 6 * i, 12 + 6 * i);
        cv::Mat xArrow, xSvd, xLu;
        ASSERT_TRUE(SolveArrowSystem(damped, b, blocks, xArrow));
        cv::solve(damped, b, xSvd, cv::DECOMP_SVD);
        cv::solve(damped, b, xLu, cv::DECOMP_LU);
        // The system is badly scaled (pixels against distortion coefficients): the two dense
        // solvers themselves differ by about 1e-7. The structured step must be no further from
        // the dense LU step than the dense SVD step is.
        const double inf = cv::norm(xLu, cv::NORM_INF);
        for (int r = 0; r < m; ++r)
        {
            const double scale = std::abs(xLu.at<double>(r)) + 1e-9 * inf;
            EXPECT_NEAR(xArrow.at<double>(r), xLu.at<double>(r), 1e-7 * scale) << "λ " << lambda << ", row " << r;
        }
        EXPECT_LE(cv::norm(xArrow - xLu), cv::norm(xSvd - xLu) + 1e-12 * cv::norm(xLu)) << "λ " << lambda;
        EXPECT_LT(cv::norm(xArrow - xSvd) / cv::norm(xSvd), 1e-6) << "λ " << lambda;
        const double resArrow = cv::norm(damped * xArrow - b), resLu = cv::norm(damped * xLu - b);
        EXPECT_LT(resArrow, 10.0 * resLu + 1e-12 * cv::norm(b)) << "λ " << lambda;
    }
}

TEST(StereoNormalEquations, EngineEndsTheSameWithAndWithoutTheStructuredSolve)
{
    Problem pr(12, true, true, 31);
    std::vector<uchar> mask(pr.param.size(), 1);
    for (int k = 0; k < 2; ++k)
        std::fill(mask.begin() + pr.calib.m_idxIntrins[k] + 9, mask.begin() + pr.calib.m_idxIntrins[k] + 18, 0);
    const cv::TermCriteria crit(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-10);
    for (int method : {cv::DECOMP_SVD, cv::DECOMP_LU})
    {
        LevMarqStereoCalib structured(pr.param, mask, crit, method, &pr.calib);
        LevMarqStereoCalib dense(pr.param, mask, crit, method, &pr.calib);
        dense.SetIndependentBlocks({});
        structured.Run();
        dense.Run();
        ASSERT_EQ(structured.m_param.size(), dense.m_param.size());
        for (size_t i = 0; i < dense.m_param.size(); ++i)
            EXPECT_NEAR(structured.m_param[i], dense.m_param[i], 1e-7 * (1.0 + std::abs(dense.m_param[i]))) << i;
        EXPECT_NEAR(structured.m_prevErr, dense.m_prevErr, 1e-9 * dense.m_prevErr);
        EXPECT_LT(dense.m_prevErr, 0.5 * pr.calib.ComputeError(pr.param));
        for (size_t i = 0; i < mask.size(); ++i)
            if (!mask[i]) {
                EXPECT_EQ(structured.m_param[i], pr.param[i]);
            }
    }
}

} // namespace
