#include "stereo/stereo_calib.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>

namespace {

using Vec = std::vector<double>;

// A least-squares problem given by its residual vector and Jacobian; records the callbacks.
struct FunctionLevMarq : AbstractLevMarq
{
    std::function<Vec(const Vec&)> residual;
    std::function<cv::Mat(const Vec&)> jacobian; // residuals x params, CV_64F
    std::function<double(const Vec&, double)> errorOverride; // replaces every error when set
    int jtjCalls = 0;
    std::vector<Vec> evaluated;

    FunctionLevMarq(const Vec& param, const std::vector<uchar>& mask, cv::TermCriteria criteria, int method,
                    std::function<Vec(const Vec&)> r, std::function<cv::Mat(const Vec&)> j)
        : AbstractLevMarq(param, mask, criteria, method), residual(std::move(r)), jacobian(std::move(j))
    {
    }
    void ComputeJtJ(const Vec& p, cv::Mat& JtJ, cv::Mat& JtErr) override
    {
        ++jtjCalls;
        const cv::Mat J = jacobian(p);
        JtJ = J.t() * J;
        JtErr = J.t() * cv::Mat(residual(p));
    }
    double ComputeError(const Vec& p) override
    {
        evaluated.push_back(p);
        const double err = cv::norm(cv::Mat(residual(p)), cv::NORM_L2SQR);
        return errorOverride ? errorOverride(p, err) : err;
    }
};

const cv::TermCriteria kTight(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-14);
const Vec kStart = {1.0, -2.0, 0.5};
const std::vector<uchar> kAllFree(3, 1);
// Linear residual A·p - b with columns of very different scale, so that multiplicative and
// additive damping give visibly different steps.
const cv::Mat kA = (cv::Mat_<double>(5, 3) << 1, 0.2, 40, 2, -0.1, 10, -1, 0.4, 25, 0.5, 0.3, -30, 3, -0.2, 5);
const cv::Mat kB = (cv::Mat_<double>(5, 1) << 3, -1, 2, 0.5, 4);

FunctionLevMarq linear(const Vec& start, cv::TermCriteria criteria)
{
    return FunctionLevMarq(
        start, kAllFree, criteria, cv::DECOMP_SVD, [](const Vec& p) { return Vec(cv::Mat(kA * cv::Mat(p) - kB)); },
        [](const Vec&) { return kA.clone(); });
}

Vec solved(const cv::Mat& A, const cv::Mat& b)
{
    cv::Mat x;
    cv::solve(A, b, x, cv::DECOMP_SVD);
    return Vec(x);
}

TEST(LevMarq, StepIsMultiplicativelyDampedAndLowersTheDamping)
{
    FunctionLevMarq lm = linear(kStart, cv::TermCriteria(cv::TermCriteria::COUNT, 1, 0));
    lm.Run();
    // Expected: p - (JᵀJ with its diagonal times 1.001)⁻¹ Jᵀe, visibly unlike adding 10⁻³.
    const cv::Mat JtE = kA.t() * (kA * cv::Mat(kStart) - kB);
    cv::Mat damped = kA.t() * kA, added = kA.t() * kA;
    damped.diag() *= 1.001;
    added.diag() += 1e-3;
    const Vec dMul = solved(damped, JtE);
    ASSERT_GT(cv::norm(cv::Mat(dMul) - cv::Mat(solved(added, JtE))), 1e-4);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(lm.m_param[i], kStart[i] - dMul[i], 1e-11) << i;
    EXPECT_EQ(lm.m_lambdaLg10, -4);
    EXPECT_EQ(lm.jtjCalls, 2);
}

TEST(LevMarq, MismatchedMaskIsRefusedAndAnEmptyProblemReturnsAtOnce)
{
    try {
        FunctionLevMarq lm(kStart, std::vector<uchar>(2, 1), kTight, cv::DECOMP_SVD, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, -215);
        EXPECT_EQ(e.err, "param.size() == mask.size()");
        EXPECT_EQ(e.func, "AbstractLevMarq::AbstractLevMarq");
    }
    const std::vector<uchar> none;
    FunctionLevMarq empty({}, none, kTight, cv::DECOMP_SVD, nullptr, nullptr); // would throw if called
    empty.Run();
    EXPECT_EQ(empty.jtjCalls + empty.evaluated.size(), 0u);
}

TEST(LevMarq, CriteriaAreNormalisedAndLimitTheAcceptedSteps)
{
    struct Case { cv::TermCriteria in; int count; double eps; };
    const Case cases[] = {
        {cv::TermCriteria(cv::TermCriteria::COUNT, 0, 0.5), 1, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::COUNT, 5000, 0.5), 1000, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::COUNT, 17, -1.0), 17, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::EPS, 5, 1e-3), 30, 1e-3},
        {cv::TermCriteria(cv::TermCriteria::EPS, 17, -1.0), 30, 0.0},
        {cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 12, 1e-9), 12, 1e-9},
    };
    const std::vector<uchar> mask(1, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.in.type << ", count " << c.in.maxCount << ", eps " << c.in.epsilon);
        // exp(-p) keeps falling by about one unit of p per step: every step is accepted.
        FunctionLevMarq lm({0.0}, mask, c.in, cv::DECOMP_SVD, [](const Vec& p) { return Vec{std::exp(-p[0])}; },
                           [](const Vec& p) { return cv::Mat(1, 1, CV_64F, cv::Scalar(-std::exp(-p[0]))); });
        EXPECT_EQ(lm.m_criteria.maxCount, c.count);
        EXPECT_EQ(lm.m_criteria.epsilon, c.eps);
        lm.Run();
        if (c.count <= 30) { // one Jacobian per accepted step and one at the start
            EXPECT_EQ(lm.jtjCalls, c.count + 1);
        }
    }
}

TEST(LevMarq, NoBetterErrorEndsTheRunWhenTheDampingOverflows)
{
    // An equal error counts as no improvement, as does a worse one.
    const std::function<double(const Vec&, double)> overrides[] = {
        [](const Vec&, double) { return 42.0; },
        [](const Vec& p, double err) { return p == kStart ? err : err + 1e6; },
    };
    for (const auto& override : overrides) {
        FunctionLevMarq lm = linear(kStart, kTight);
        lm.errorOverride = override;
        lm.Run();
        EXPECT_EQ(lm.m_param, kStart);
        // λ went from 10⁻³ through 10¹⁶: 20 trials, then the increment to 17 ended the run.
        EXPECT_EQ(lm.m_lambdaLg10, 17);
        EXPECT_EQ(lm.jtjCalls, 1);
        ASSERT_EQ(lm.evaluated.size(), 21u);
        // The trials took ever smaller steps as λ grew.
        EXPECT_GT(cv::norm(cv::Mat(lm.evaluated[1]) - cv::Mat(kStart)),
                  1e6 * cv::norm(cv::Mat(lm.evaluated[20]) - cv::Mat(kStart)));
    }
}

TEST(LevMarq, StepBelowEpsilonIsNotApplied)
{
    Vec start = solved(kA, kB);
    start[0] += 1e-3; // the next step is about 1e-3 long
    FunctionLevMarq lm = linear(start, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-2));
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_LT(lm.m_trialErr, lm.m_prevErr); // it would have lowered the error
    EXPECT_EQ(lm.jtjCalls, 1);
}

TEST(LevMarq, SingularSystemsEndOrTakeTheMinimumNormStepWithOrWithoutBlocks)
{
    // The residual does not depend on the second parameter: Jᵀ·J is singular whatever λ. Either
    // parameter as a block of its own makes the structured solve hand over to the dense one.
    const Vec start = {0.25, 7.0};
    const std::vector<uchar> mask(2, 1);
    for (int method : {cv::DECOMP_LU, cv::DECOMP_SVD})
        for (int block : {-1, 0, 1}) {
            SCOPED_TRACE(testing::Message() << "method " << method << ", block " << block);
            FunctionLevMarq lm(start, mask, kTight, method, [](const Vec& p) { return Vec{p[0] - 3.0, 2.0 * p[0] + 1.0}; },
                               [](const Vec&) { return cv::Mat((cv::Mat_<double>(2, 2) << 1.0, 0.0, 2.0, 0.0)); });
            if (block >= 0)
                lm.SetIndependentBlocks({cv::Range(block, block + 1)});
            lm.Run();
            if (method == cv::DECOMP_SVD) {
                EXPECT_NEAR(lm.m_param[0], 0.2, 1e-7); // (3 - 2) / 5
                EXPECT_EQ(lm.m_param[1], 7.0);
                continue;
            }
            // LU refuses every step; failed solves never reach the error evaluation.
            EXPECT_EQ(lm.m_param, start);
            EXPECT_EQ(lm.m_lambdaLg10, 17);
            EXPECT_EQ(lm.m_trialErr, DBL_MAX);
            EXPECT_EQ(lm.m_trialParam, Vec(2, DBL_MAX));
            EXPECT_EQ(lm.evaluated.size(), 1u);
        }
}

TEST(ArrowSolve, MatchesTheDenseSolve)
{
    // 25 blocks of 6 unknowns between 6 shared ones before and 20 after, coupling only with
    // those; columns of very different scale.
    const int n = 6 + 25 * 6 + 20;
    cv::RNG rng(7);
    cv::Mat J = cv::Mat::zeros(2 * n, n, CV_64F), b(n, 1, CV_64F), x, xNone, xSvd;
    std::vector<cv::Range> ranges;
    for (int blk = 0; blk < 25; ++blk) {
        ranges.emplace_back(6 + 6 * blk, 12 + 6 * blk);
        for (int r = 12 * blk; r < 12 * blk + 12; ++r)
            for (int c = 0; c < n; ++c)
                if (c < 6 || c >= n - 20 || (ranges.back().start <= c && c < ranges.back().end))
                    J.at<double>(r, c) = rng.uniform(-1.0, 1.0) * (c >= n - 20 ? 1e3 : 10.0 * (c % 6 + 1));
    }
    cv::Mat A = J.t() * J;
    A.diag() += 1e-3 * cv::mean(A.diag())[0];
    rng.fill(b, cv::RNG::UNIFORM, -100.0, 100.0);
    cv::solve(A, b, xSvd, cv::DECOMP_SVD);
    ASSERT_TRUE(SolveArrowSystem(A, b, ranges, x));
    EXPECT_LT(cv::norm(x - xSvd) / cv::norm(xSvd), 1e-10);
    ASSERT_TRUE(SolveArrowSystem(A, b, {}, xNone)); // no blocks: the plain dense Cholesky solve
    EXPECT_LT(cv::norm(xNone - xSvd) / cv::norm(xSvd), 1e-10);
    // Refused systems leave the solution alone.
    A.row(n - 2).copyTo(A.row(n - 1));
    A.col(n - 2).copyTo(A.col(n - 1));
    EXPECT_FALSE(SolveArrowSystem(A, b, ranges, x));
    EXPECT_LT(cv::norm(x - xSvd) / cv::norm(xSvd), 1e-10);
}

} // namespace
