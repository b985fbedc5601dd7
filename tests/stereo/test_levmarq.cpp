#include "stereo/stereo_calib.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>

namespace {

using Vec = std::vector<double>;

// A least-squares problem given by its residual vector and Jacobian; counts the callbacks.
class FunctionLevMarq : public AbstractLevMarq
{
public:
    using Residual = std::function<Vec(const Vec&)>;
    using Jacobian = std::function<cv::Mat(const Vec&)>; // residuals x params, CV_64F

    FunctionLevMarq(const Vec& param, const std::vector<uchar>& mask, cv::TermCriteria criteria, int method,
                    Residual residual, Jacobian jacobian)
        : AbstractLevMarq(param, mask, criteria, method), m_residual(std::move(residual)),
          m_jacobian(std::move(jacobian))
    {
    }

    // Replaces the error of every vector except the start vector when set.
    std::function<double(const Vec&, double)> errorOverride;
    int jtjCalls = 0;
    int errorCalls = 0;
    std::vector<Vec> evaluated;

    double SumOfSquares(const Vec& p) const
    {
        double s = 0;
        for (double r : m_residual(p))
            s += r * r;
        return s;
    }

protected:
    void ComputeJtJ(const Vec& param, cv::Mat& JtJ, cv::Mat& JtErr) override
    {
        ++jtjCalls;
        const cv::Mat J = m_jacobian(param);
        const Vec e = m_residual(param);
        JtJ = J.t() * J;
        JtErr = J.t() * cv::Mat(e);
    }
    double ComputeError(const Vec& param) override
    {
        ++errorCalls;
        evaluated.push_back(param);
        const double err = SumOfSquares(param);
        return errorOverride ? errorOverride(param, err) : err;
    }

private:
    Residual m_residual;
    Jacobian m_jacobian;
};

// Linear residual A·p - b with columns of very different scale, so that multiplicative and
// additive damping give visibly different steps.
struct LinearProblem
{
    cv::Mat A = (cv::Mat_<double>(5, 3) << 1, 0.2, 40, 2, -0.1, 10, -1, 0.4, 25, 0.5, 0.3, -30, 3, -0.2, 5);
    cv::Mat b = (cv::Mat_<double>(5, 1) << 3, -1, 2, 0.5, 4);

    FunctionLevMarq::Residual residual() const
    {
        return [A = A, b = b](const Vec& p) {
            cv::Mat r = A * cv::Mat(p) - b;
            return Vec(r.begin<double>(), r.end<double>());
        };
    }
    FunctionLevMarq::Jacobian jacobian() const
    {
        return [A = A](const Vec&) { return A.clone(); };
    }
    Vec optimum() const
    {
        cv::Mat x;
        cv::solve(A, b, x, cv::DECOMP_SVD);
        return Vec(x.begin<double>(), x.end<double>());
    }
};

const cv::TermCriteria kTight(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-14);

TEST(LevMarq, LinearProblemOneAcceptedStepIsTheMultiplicativelyDampedSolve)
{
    LinearProblem lp;
    const Vec start = {1.0, -2.0, 0.5};
    const std::vector<uchar> mask(3, 1);
    FunctionLevMarq lm(start, mask, cv::TermCriteria(cv::TermCriteria::COUNT, 1, 0), cv::DECOMP_SVD, lp.residual(),
                       lp.jacobian());
    lm.Run();

    // Expected: p - (JᵀJ with its diagonal times 1.001)⁻¹ Jᵀe.
    const cv::Mat JtJ = lp.A.t() * lp.A;
    const cv::Mat e = lp.A * cv::Mat(start) - lp.b;
    cv::Mat damped = JtJ.clone(), added = JtJ.clone();
    for (int i = 0; i < 3; ++i)
    {
        damped.at<double>(i, i) *= 1.001;
        added.at<double>(i, i) += 1e-3;
    }
    cv::Mat dMul, dAdd;
    cv::solve(damped, lp.A.t() * e, dMul, cv::DECOMP_SVD);
    cv::solve(added, lp.A.t() * e, dAdd, cv::DECOMP_SVD);
    ASSERT_GT(cv::norm(dMul - dAdd), 1e-4); // the case tells the two dampings apart
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(lm.m_param[i], start[i] - dMul.at<double>(i), 1e-11) << i;
    EXPECT_EQ(lm.m_lambdaLg10, -4);
    EXPECT_EQ(lm.jtjCalls, 2);

    // One step already lands on the least-squares optimum up to the damping.
    const Vec opt = lp.optimum();
    const double optErr = lm.SumOfSquares(opt);
    EXPECT_LT(lm.SumOfSquares(lm.m_param) - optErr, 1e-5 * (lm.SumOfSquares(start) - optErr));

    FunctionLevMarq full(start, mask, kTight, cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    full.Run();
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(full.m_param[i], opt[i], 1e-10) << i;
    EXPECT_DOUBLE_EQ(full.m_prevErr, full.SumOfSquares(full.m_param));
}

TEST(LevMarq, RosenbrockValleyConverges)
{
    auto residual = [](const Vec& p) { return Vec{10.0 * (p[1] - p[0] * p[0]), 1.0 - p[0]}; };
    auto jacobian = [](const Vec& p) { return cv::Mat((cv::Mat_<double>(2, 2) << -20.0 * p[0], 10.0, -1.0, 0.0)); };
    const std::vector<uchar> mask(2, 1);
    FunctionLevMarq lm({-1.2, 1.0}, mask, kTight, cv::DECOMP_SVD, residual, jacobian);
    lm.Run();
    EXPECT_NEAR(lm.m_param[0], 1.0, 1e-8);
    EXPECT_NEAR(lm.m_param[1], 1.0, 1e-8);
    EXPECT_LT(lm.m_prevErr, 1e-20);
    // One Jacobian per accepted step plus the start; one error per trial plus the start.
    EXPECT_GT(lm.jtjCalls, 2);
    EXPECT_GE(lm.errorCalls, lm.jtjCalls);
}

TEST(LevMarq, FrozenParametersKeepTheirStartValuesExactly)
{
    LinearProblem lp;
    const Vec start = {1.0, 0.3712345678901, 0.5};
    const std::vector<uchar> mask = {1, 0, 1};
    FunctionLevMarq lm(start, mask, kTight, cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    lm.Run();
    EXPECT_EQ(lm.m_param[1], start[1]);
    for (const Vec& trial : lm.evaluated)
        EXPECT_EQ(trial[1], start[1]);

    // The free ones reach the optimum with the frozen one held: columns 0 and 2 against b - A1·p1.
    cv::Mat A02;
    cv::hconcat(lp.A.col(0), lp.A.col(2), A02);
    cv::Mat x;
    cv::solve(A02, lp.b - lp.A.col(1) * start[1], x, cv::DECOMP_SVD);
    EXPECT_NEAR(lm.m_param[0], x.at<double>(0), 1e-10);
    EXPECT_NEAR(lm.m_param[2], x.at<double>(1), 1e-10);
}

TEST(LevMarq, EmptyParameterVectorReturnsAtOnce)
{
    const std::vector<uchar> mask;
    FunctionLevMarq lm({}, mask, kTight, cv::DECOMP_SVD, [](const Vec&) { return Vec{1.0}; },
                       [](const Vec&) { return cv::Mat(); });
    lm.Run();
    EXPECT_TRUE(lm.m_param.empty());
    EXPECT_EQ(lm.jtjCalls, 0);
    EXPECT_EQ(lm.errorCalls, 0);
    EXPECT_EQ(lm.m_prevErr, DBL_MAX);
}

TEST(LevMarq, MismatchedMaskRaisesTheAssertion)
{
    const std::vector<uchar> mask(2, 1);
    try
    {
        FunctionLevMarq lm({1.0, 2.0, 3.0}, mask, kTight, cv::DECOMP_SVD, nullptr, nullptr);
        FAIL() << "no exception";
    }
    catch (const cv::Exception& e)
    {
        EXPECT_EQ(e.code, cv::Error::StsAssert);
        EXPECT_EQ(e.code, -215);
        EXPECT_EQ(e.err, "param.size() == mask.size()");
        EXPECT_EQ(e.func, "AbstractLevMarq::AbstractLevMarq");
    }
}

// exp(-p) keeps falling by about one unit of p per step, so every step is accepted.
FunctionLevMarq endlessDescent(const std::vector<uchar>& mask, cv::TermCriteria criteria)
{
    return FunctionLevMarq({0.0}, mask, criteria, cv::DECOMP_SVD, [](const Vec& p) { return Vec{std::exp(-p[0])}; },
                           [](const Vec& p) { return cv::Mat((cv::Mat_<double>(1, 1) << -std::exp(-p[0]))); });
}

TEST(LevMarq, CriteriaAreNormalised)
{
    const std::vector<uchar> mask(1, 1);
    struct Case
    {
        cv::TermCriteria in;
        int count;
        double eps;
    };
    const Case cases[] = {
        {cv::TermCriteria(cv::TermCriteria::COUNT, 0, 0.5), 1, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::COUNT, -7, 0.5), 1, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::COUNT, 5000, 0.5), 1000, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::COUNT, 17, -1.0), 17, DBL_EPSILON},
        {cv::TermCriteria(cv::TermCriteria::EPS, 17, 1e-3), 30, 1e-3},
        {cv::TermCriteria(cv::TermCriteria::EPS, 17, -1.0), 30, 0.0},
        {cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 12, 1e-9), 12, 1e-9},
    };
    for (const Case& c : cases)
    {
        FunctionLevMarq lm = endlessDescent(mask, c.in);
        EXPECT_EQ(lm.m_criteria.maxCount, c.count) << c.in.type << " " << c.in.maxCount;
        EXPECT_EQ(lm.m_criteria.epsilon, c.eps) << c.in.type << " " << c.in.epsilon;
        EXPECT_EQ(lm.m_lambdaLg10, -3);
        EXPECT_EQ(lm.m_prevErr, DBL_MAX);
        EXPECT_EQ(lm.m_trialErr, DBL_MAX);
        EXPECT_EQ(lm.m_trialParam.size(), 1u);
    }
    EXPECT_EQ(DBL_EPSILON, 2.220446049250313e-16);
}

TEST(LevMarq, IterationCountLimitsAcceptedSteps)
{
    const std::vector<uchar> mask(1, 1);
    {
        FunctionLevMarq lm = endlessDescent(mask, cv::TermCriteria(cv::TermCriteria::EPS, 5, 1e-9));
        lm.Run();
        EXPECT_EQ(lm.jtjCalls, 31); // 30 accepted steps and the start
        EXPECT_NEAR(lm.m_param[0], 30.0, 0.5);
    }
    {
        FunctionLevMarq lm = endlessDescent(mask, cv::TermCriteria(cv::TermCriteria::COUNT, 0, 0));
        lm.Run();
        EXPECT_EQ(lm.jtjCalls, 2);
        EXPECT_NEAR(lm.m_param[0], 1.0, 1e-2);
    }
}

TEST(LevMarq, NegativeEpsilonEndsOnlyByDampingOverflow)
{
    LinearProblem lp;
    const std::vector<uchar> mask(3, 1);
    FunctionLevMarq lm({1.0, -2.0, 0.5}, mask, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, -1.0),
                       cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    lm.Run();
    EXPECT_EQ(lm.m_criteria.epsilon, 0.0);
    EXPECT_EQ(lm.m_lambdaLg10, 17);
    EXPECT_LT(lm.jtjCalls, 1000);
    const Vec opt = lp.optimum();
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(lm.m_param[i], opt[i], 1e-10);
}

TEST(LevMarq, EqualErrorIsRejectedUntilTheDampingOverflows)
{
    LinearProblem lp;
    const Vec start = {1.0, -2.0, 0.5};
    const std::vector<uchar> mask(3, 1);
    FunctionLevMarq lm(start, mask, kTight, cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    lm.errorOverride = [](const Vec&, double) { return 42.0; };
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_EQ(lm.m_prevErr, 42.0);
    // λ went from 10⁻³ through 10¹⁶: 20 trials, then the increment to 17 ended the run.
    EXPECT_EQ(lm.m_lambdaLg10, 17);
    EXPECT_EQ(lm.errorCalls, 21);
    EXPECT_EQ(lm.jtjCalls, 1);
}

TEST(LevMarq, TwentyRejectionsFromTheStartEndTheRun)
{
    LinearProblem lp;
    const Vec start = {1.0, -2.0, 0.5};
    const std::vector<uchar> mask(3, 1);
    FunctionLevMarq lm(start, mask, kTight, cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    // Every move makes things worse.
    lm.errorOverride = [start](const Vec& p, double err) { return p == start ? err : err + 1e6; };
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_EQ(lm.m_lambdaLg10, 17);
    EXPECT_EQ(lm.errorCalls, 21);
    // The trials took ever smaller steps as λ grew.
    ASSERT_EQ(lm.evaluated.size(), 21u);
    const double firstStep = cv::norm(cv::Mat(lm.evaluated[1]) - cv::Mat(start));
    const double lastStep = cv::norm(cv::Mat(lm.evaluated[20]) - cv::Mat(start));
    EXPECT_GT(firstStep, 1e6 * lastStep);
}

TEST(LevMarq, StepBelowEpsilonIsNotApplied)
{
    LinearProblem lp;
    Vec start = lp.optimum();
    start[0] += 1e-3; // the next step is about 1e-3 long
    const std::vector<uchar> mask(3, 1);
    FunctionLevMarq lm(start, mask, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-2),
                       cv::DECOMP_SVD, lp.residual(), lp.jacobian());
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_LT(lm.m_trialErr, lm.m_prevErr); // it would have lowered the error
    EXPECT_EQ(lm.jtjCalls, 1);
}

// The residual does not depend on the second parameter: Jᵀ·J is singular whatever λ.
struct SingularProblem
{
    FunctionLevMarq::Residual residual = [](const Vec& p) { return Vec{p[0] - 3.0, 2.0 * p[0] + 1.0}; };
    FunctionLevMarq::Jacobian jacobian = [](const Vec&) {
        return cv::Mat((cv::Mat_<double>(2, 2) << 1.0, 0.0, 2.0, 0.0));
    };
};

TEST(LevMarq, SingularSystemWithLuRejectsEveryStep)
{
    SingularProblem sp;
    const Vec start = {0.25, 7.0};
    const std::vector<uchar> mask(2, 1);
    FunctionLevMarq lm(start, mask, kTight, cv::DECOMP_LU, sp.residual, sp.jacobian);
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_EQ(lm.m_lambdaLg10, 17);
    EXPECT_EQ(lm.m_trialErr, DBL_MAX);
    EXPECT_EQ(lm.m_trialParam, Vec(2, DBL_MAX));
    EXPECT_EQ(lm.errorCalls, 1); // failed solves never reach the error evaluation
}

TEST(LevMarq, SingularSystemWithSvdTakesTheMinimumNormStep)
{
    SingularProblem sp;
    const std::vector<uchar> mask(2, 1);
    FunctionLevMarq lm({0.25, 7.0}, mask, kTight, cv::DECOMP_SVD, sp.residual, sp.jacobian);
    lm.Run();
    // (3 - 2) / 5, as far as the error can still tell the difference
    EXPECT_NEAR(lm.m_param[0], 0.2, 1e-7);
    EXPECT_EQ(lm.m_param[1], 7.0);
}

// ---------------------------------------------------------------------------------------------
// Structured solve

// A random symmetric positive definite arrow matrix: `blocks` blocks of `p` unknowns coupling
// only with `m` shared unknowns placed before and after them.
cv::Mat arrowMatrix(int blocks, int p, int mHead, int mTail, std::vector<cv::Range>& ranges, uint64_t seed)
{
    const int n = mHead + blocks * p + mTail;
    cv::RNG rng(seed);
    cv::Mat J = cv::Mat::zeros(3 * n, n, CV_64F);
    ranges.clear();
    int row = 0;
    for (int b = 0; b < blocks; ++b)
    {
        const int start = mHead + b * p;
        ranges.emplace_back(start, start + p);
        for (int r = 0; r < 2 * p; ++r, ++row)
        {
            for (int c = 0; c < p; ++c)
                J.at<double>(row % J.rows, start + c) = rng.uniform(-1.0, 1.0) * (c + 1) * 10.0;
            for (int c = 0; c < mHead; ++c)
                J.at<double>(row % J.rows, c) = rng.uniform(-1.0, 1.0);
            for (int c = 0; c < mTail; ++c)
                J.at<double>(row % J.rows, mHead + blocks * p + c) = rng.uniform(-1.0, 1.0) * 1e3;
        }
    }
    cv::Mat A = J.t() * J;
    // Blocks must not see each other.
    for (size_t a = 0; a < ranges.size(); ++a)
        for (size_t b = 0; b < ranges.size(); ++b)
            if (a != b)
                A(ranges[a], ranges[b]).setTo(0.0);
    A.diag() += 1e-3 * cv::mean(A.diag())[0];
    return A;
}

TEST(ArrowSolve, MatchesTheDenseSolve)
{
    std::vector<cv::Range> ranges;
    const cv::Mat A = arrowMatrix(25, 6, 6, 20, ranges, 7);
    cv::RNG rng(3);
    cv::Mat b(A.rows, 1, CV_64F);
    rng.fill(b, cv::RNG::UNIFORM, -100.0, 100.0);

    cv::Mat x, xSvd, xLu;
    ASSERT_TRUE(SolveArrowSystem(A, b, ranges, x));
    cv::solve(A, b, xSvd, cv::DECOMP_SVD);
    cv::solve(A, b, xLu, cv::DECOMP_LU);
    EXPECT_LT(cv::norm(x - xSvd) / cv::norm(xSvd), 1e-10);
    EXPECT_LT(cv::norm(x - xLu) / cv::norm(xLu), 1e-10);
    EXPECT_LT(cv::norm(A * x - b) / cv::norm(b), 1e-10);

    // No blocks at all is the plain dense Cholesky solve.
    cv::Mat xNone;
    ASSERT_TRUE(SolveArrowSystem(A, b, {}, xNone));
    EXPECT_LT(cv::norm(xNone - xSvd) / cv::norm(xSvd), 1e-10);
}

TEST(ArrowSolve, RefusesSingularSystems)
{
    std::vector<cv::Range> ranges;
    cv::Mat A = arrowMatrix(4, 3, 2, 2, ranges, 11);
    const cv::Mat b = cv::Mat::ones(A.rows, 1, CV_64F);
    cv::Mat x = cv::Mat::zeros(A.rows, 1, CV_64F);

    // A block unknown without any information.
    cv::Mat singularBlock = A.clone();
    const int i = ranges[2].start + 1;
    singularBlock.row(i).setTo(0.0);
    singularBlock.col(i).setTo(0.0);
    EXPECT_FALSE(SolveArrowSystem(singularBlock, b, ranges, x));

    // A shared unknown that duplicates another one.
    cv::Mat singularShared = A.clone();
    const int last = A.rows - 1;
    singularShared.row(last - 1).copyTo(singularShared.row(last));
    singularShared.col(last - 1).copyTo(singularShared.col(last));
    EXPECT_FALSE(SolveArrowSystem(singularShared, b, ranges, x));
    EXPECT_EQ(cv::countNonZero(x), 0); // untouched

    cv::Mat nan = A.clone();
    nan.at<double>(0, 0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(SolveArrowSystem(nan, b, ranges, x));
}

TEST(ArrowSolve, SingularBlockStillEndsLikeTheDenseLu)
{
    // The parameter without influence forms a block of its own: the structured solve must hand
    // over to the dense LU, which reports the singular system, so the run ends with the start.
    SingularProblem sp;
    const Vec start = {0.25, 7.0};
    const std::vector<uchar> mask(2, 1);
    FunctionLevMarq lm(start, mask, kTight, cv::DECOMP_LU, sp.residual, sp.jacobian);
    lm.SetIndependentBlocks({cv::Range(1, 2)});
    lm.Run();
    EXPECT_EQ(lm.m_param, start);
    EXPECT_EQ(lm.m_lambdaLg10, 17);

    // With SVD the same fallback takes the minimum-norm step instead.
    FunctionLevMarq svd(start, mask, kTight, cv::DECOMP_SVD, sp.residual, sp.jacobian);
    svd.SetIndependentBlocks({cv::Range(1, 2)});
    svd.Run();
    EXPECT_NEAR(svd.m_param[0], 0.2, 1e-7);
    EXPECT_EQ(svd.m_param[1], 7.0);
}

} // namespace
