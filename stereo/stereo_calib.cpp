#include "stereo/stereo_calib.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

// The library's assertion error (code -215) carrying our own expression text and function name,
// so that callers and tests see exactly what was checked and where.
#define STEREO_ASSERT(expr, func)                                                                  \
    do {                                                                                           \
        if (!(expr))                                                                               \
            cv::error(cv::Error::StsAssert, #expr, func, __FILE__, __LINE__);                      \
    } while (false)

namespace {

constexpr double kMaxError = std::numeric_limits<double>::max();

// A pivot of the structured Cholesky below this fraction of the original diagonal entry means
// the system is too close to singular to trust the elimination; the dense solve takes over.
constexpr double kPivotTolerance = 1e-12;

// Columns of src with a non-zero column-mask byte, then of those the rows with a non-zero
// row-mask byte, in order.
void subMatrix(const cv::Mat& src, cv::Mat& dst, const std::vector<uchar>& cols, const std::vector<uchar>& rows)
{
    CV_Assert(src.rows == static_cast<int>(rows.size()) && src.cols == static_cast<int>(cols.size()));
    std::vector<int> colIdx;
    colIdx.reserve(cols.size());
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i])
            colIdx.push_back(static_cast<int>(i));
    int nRows = 0;
    for (uchar r : rows)
        nRows += r ? 1 : 0;

    dst.create(nRows, static_cast<int>(colIdx.size()), src.type());
    const size_t esz = src.elemSize();
    int out = 0;
    for (int i = 0; i < src.rows; ++i)
    {
        if (!rows[i])
            continue;
        const uchar* s = src.ptr(i);
        uchar* d = dst.ptr(out++);
        for (size_t c = 0; c < colIdx.size(); ++c)
            std::memcpy(d + c * esz, s + colIdx[c] * esz, esz);
    }
}

// In-place Cholesky of the p x p row-major matrix a (lower factor in the lower triangle).
// diag holds the original diagonal for the pivot test.
bool choleskyInPlace(double* a, int p, const double* diag)
{
    for (int k = 0; k < p; ++k)
    {
        double d = a[k * p + k];
        for (int j = 0; j < k; ++j)
            d -= a[k * p + j] * a[k * p + j];
        if (!(d > kPivotTolerance * diag[k]) || !std::isfinite(d))
            return false;
        const double lkk = std::sqrt(d);
        a[k * p + k] = lkk;
        for (int i = k + 1; i < p; ++i)
        {
            double s = a[i * p + k];
            for (int j = 0; j < k; ++j)
                s -= a[i * p + j] * a[k * p + j];
            a[i * p + k] = s / lkk;
        }
    }
    return true;
}

// Solves L·y = rhs in place for ncols right-hand sides stored as rows of length stride
// (rhs is p x ncols, row-major).
void forwardSubstitute(const double* L, int p, double* rhs, int ncols)
{
    for (int i = 0; i < p; ++i)
    {
        double* ri = rhs + static_cast<size_t>(i) * ncols;
        for (int j = 0; j < i; ++j)
        {
            const double lij = L[i * p + j];
            const double* rj = rhs + static_cast<size_t>(j) * ncols;
            for (int c = 0; c < ncols; ++c)
                ri[c] -= lij * rj[c];
        }
        const double inv = 1.0 / L[i * p + i];
        for (int c = 0; c < ncols; ++c)
            ri[c] *= inv;
    }
}

// Solves Lᵀ·x = y in place for one right-hand side.
void backSubstitute(const double* L, int p, double* y)
{
    for (int i = p - 1; i >= 0; --i)
    {
        double s = y[i];
        for (int j = i + 1; j < p; ++j)
            s -= L[j * p + i] * y[j];
        y[i] = s / L[i * p + i];
    }
}

template <typename P>
bool allFinite2(const std::vector<P>& pts)
{
    for (const P& p : pts)
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
            return false;
    return true;
}

bool allFinite3(const std::vector<cv::Point3f>& pts)
{
    for (const cv::Point3f& p : pts)
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            return false;
    return true;
}

// True when the points span no more than a line: the second principal axis of their spread is
// negligible against the first.
bool isCollinear(const cv::Mat& points)
{
    cv::Mat m = points.clone();
    cv::Mat mean;
    cv::reduce(m, mean, 0, cv::REDUCE_AVG);
    m -= cv::repeat(mean, m.rows, 1);
    cv::Mat w;
    cv::SVD::compute(m, w, cv::SVD::NO_UV);
    const double w0 = w.at<double>(0);
    return !(w0 > 0.0) || w.at<double>(1) <= 1e-6 * w0;
}

bool isCollinear(const std::vector<cv::Point3f>& pts)
{
    cv::Mat m;
    cv::Mat(pts).reshape(1, static_cast<int>(pts.size())).convertTo(m, CV_64F);
    return isCollinear(m);
}

bool isCollinear(const std::vector<cv::Point2f>& pts)
{
    cv::Mat m;
    cv::Mat(pts).reshape(1, static_cast<int>(pts.size())).convertTo(m, CV_64F);
    return isCollinear(m);
}

std::array<double, 6> relativeTransform(const cv::Mat& r1, const cv::Mat& t1, const cv::Mat& r2, const cv::Mat& t2)
{
    cv::Matx33d R1, R2;
    cv::Rodrigues(r1, R1);
    cv::Rodrigues(r2, R2);
    const cv::Matx33d R = R2 * R1.t();
    const cv::Vec3d t = cv::Vec3d(t2.ptr<double>()) - R * cv::Vec3d(t1.ptr<double>());
    cv::Vec3d om;
    cv::Rodrigues(R, om);
    return {om[0], om[1], om[2], t[0], t[1], t[2]};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return (n % 2) ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// One row of 14 double coefficients, zero-padded or cut.
cv::Mat fourteenCoefficients(const cv::Mat& src)
{
    cv::Mat out = cv::Mat::zeros(1, 14, CV_64F);
    if (src.empty())
        return out;
    cv::Mat d;
    src.convertTo(d, CV_64F);
    d = d.clone().reshape(1, 1);
    const int n = std::min(static_cast<int>(d.total()), 14);
    for (int i = 0; i < n; ++i)
        out.at<double>(i) = d.at<double>(i);
    return out;
}

// The coefficient count of the model the flags select; the library's single-camera calibration
// refuses more than 12 coefficients for the thin-prism model without the tilted one.
int modelCoefficientCount(int flags)
{
    if (flags & cv::CALIB_TILTED_MODEL)
        return 14;
    if (flags & cv::CALIB_THIN_PRISM_MODEL)
        return 12;
    if (flags & cv::CALIB_RATIONAL_MODEL)
        return 8;
    return 5;
}

} // namespace

// ----------------------------------------------------------------------------------------------
// AbstractLevMarq

AbstractLevMarq::AbstractLevMarq(const std::vector<double>& param, const std::vector<uchar>& mask,
                                 cv::TermCriteria criteria, int solveMethod)
    : m_param(param), m_trialParam(param.size(), 0.0), m_mask(&mask), m_one(1, 1),
      m_solveMethod(solveMethod), m_lambdaLg10(-3), m_prevErr(kMaxError), m_trialErr(kMaxError)
{
    STEREO_ASSERT(param.size() == mask.size(), "AbstractLevMarq::AbstractLevMarq");

    m_criteria.type = criteria.type;
    m_criteria.maxCount = (criteria.type & cv::TermCriteria::COUNT) ? std::clamp(criteria.maxCount, 1, 1000) : 30;
    m_criteria.epsilon = (criteria.type & cv::TermCriteria::EPS) ? std::max(criteria.epsilon, 0.0) : DBL_EPSILON;
}

void AbstractLevMarq::SetIndependentBlocks(std::vector<cv::Range> blocks)
{
    const int n = static_cast<int>(m_param.size());
    std::sort(blocks.begin(), blocks.end(), [](const cv::Range& a, const cv::Range& b) { return a.start < b.start; });
    int previousEnd = 0;
    for (const cv::Range& r : blocks)
    {
        CV_Assert(r.start >= previousEnd && r.start <= r.end && r.end <= n);
        previousEnd = r.end;
    }
    m_blocks = std::move(blocks);
}

void AbstractLevMarq::ReduceNormalEquations(const cv::Mat& JtJ, const cv::Mat& JtErr)
{
    const int n = static_cast<int>(m_param.size());
    CV_Assert(JtJ.type() == CV_64F && JtJ.rows == n && JtJ.cols == n);
    CV_Assert(JtErr.type() == CV_64F && JtErr.rows == n && JtErr.cols == 1);
    subMatrix(JtJ, m_JtJ, *m_mask, *m_mask);
    subMatrix(JtErr, m_JtErr, m_one, *m_mask);
    if (!m_JtJ.empty())
        cv::completeSymm(m_JtJ, false);
}

bool AbstractLevMarq::SolveDamped()
{
    if (m_JtJN.rows == 0)
        return true;
    // A non-finite system cannot give a usable step; the dense solvers would only chew on it.
    if (!cv::checkRange(m_JtJN) || !cv::checkRange(m_JtErr))
        return false;
    if (!m_reducedBlocks.empty() && SolveArrowSystem(m_JtJN, m_JtErr, m_reducedBlocks, m_delta))
        return cv::checkRange(m_delta);
    if (!cv::solve(m_JtJN, m_JtErr, m_delta, m_solveMethod))
        return false;
    return cv::checkRange(m_delta);
}

void AbstractLevMarq::Step()
{
    const std::vector<uchar>& mask = *m_mask;
    m_JtJ.copyTo(m_JtJN);
    const double lambda = std::pow(10.0, static_cast<double>(m_lambdaLg10));
    for (int i = 0; i < m_JtJN.rows; ++i)
        m_JtJN.at<double>(i, i) *= 1.0 + lambda;

    m_delta.create(m_JtJ.cols, 1, CV_64F);
    if (!SolveDamped())
    {
        std::fill(m_trialParam.begin(), m_trialParam.end(), kMaxError);
        m_trialErr = kMaxError;
        return;
    }

    const double* delta = m_delta.ptr<double>();
    for (size_t i = 0, j = 0; i < m_param.size(); ++i)
        m_trialParam[i] = mask[i] ? m_param[i] - delta[j++] : m_param[i];

    m_trialErr = ComputeError(m_trialParam);
    // NaN would slip through every comparison and be accepted.
    if (!(m_trialErr <= kMaxError))
        m_trialErr = kMaxError;
}

void AbstractLevMarq::Run()
{
    if (m_param.empty())
        return;
    const std::vector<uchar>& mask = *m_mask;
    const int n = static_cast<int>(m_param.size());

    // The independent blocks in the numbering of the free parameters.
    m_reducedBlocks.clear();
    if (!m_blocks.empty())
    {
        std::vector<int> freeBefore(n + 1, 0);
        for (int i = 0; i < n; ++i)
            freeBefore[i + 1] = freeBefore[i] + (mask[i] ? 1 : 0);
        for (const cv::Range& r : m_blocks)
            if (freeBefore[r.end] > freeBefore[r.start])
                m_reducedBlocks.emplace_back(freeBefore[r.start], freeBefore[r.end]);
    }

    m_lambdaLg10 = -3;
    cv::Mat JtJ, JtErr;
    ComputeJtJ(m_param, JtJ, JtErr);
    m_prevErr = ComputeError(m_param);
    if (!(m_prevErr <= kMaxError))
        m_prevErr = kMaxError;
    ReduceNormalEquations(JtJ, JtErr);
    Step();

    for (int iter = 0; iter < m_criteria.maxCount; ++iter)
    {
        double change = 0.0;
        for (int i = 0; i < n; ++i)
            if (mask[i])
            {
                const double d = m_param[i] - m_trialParam[i];
                change += d * d;
            }
        if (m_criteria.epsilon > std::sqrt(change))
            break;

        bool exhausted = false;
        while (m_trialErr >= m_prevErr)
        {
            if (++m_lambdaLg10 > 16)
            {
                exhausted = true;
                break;
            }
            Step();
        }
        if (exhausted)
            break;

        m_param = m_trialParam;
        m_prevErr = m_trialErr;
        m_lambdaLg10 = std::max(m_lambdaLg10 - 1, -16);

        ComputeJtJ(m_param, JtJ, JtErr);
        ReduceNormalEquations(JtJ, JtErr);
        Step();
    }

    m_JtJ.release();
    m_JtJN.release();
    m_JtErr.release();
    m_delta.release();
}

// ----------------------------------------------------------------------------------------------
// Structured solve

bool SolveArrowSystem(const cv::Mat& A, const cv::Mat& b, const std::vector<cv::Range>& blocks, cv::Mat& x)
{
    CV_Assert(A.type() == CV_64F && A.rows == A.cols);
    CV_Assert(b.type() == CV_64F && b.rows == A.rows && b.cols == 1);
    const int n = A.rows;

    std::vector<uchar> inBlock(n, 0);
    for (const cv::Range& r : blocks)
    {
        CV_Assert(r.start >= 0 && r.start <= r.end && r.end <= n);
        for (int i = r.start; i < r.end; ++i)
        {
            CV_Assert(!inBlock[i]);
            inBlock[i] = 1;
        }
    }
    std::vector<int> shared;
    for (int i = 0; i < n; ++i)
        if (!inBlock[i])
            shared.push_back(i);
    const int m = static_cast<int>(shared.size());

    auto a = [&](int r, int c) { return A.ptr<double>(r)[c]; };
    const double* bp = b.ptr<double>();

    // Schur complement S = U - Σ Wᵀ V⁻¹ W and its right-hand side, with V = L Lᵀ per block:
    // Y = L⁻¹ W and z = L⁻¹ b_B give Wᵀ V⁻¹ W = Yᵀ Y and Wᵀ V⁻¹ b_B = Yᵀ z.
    std::vector<double> S(static_cast<size_t>(m) * m), r(m), sharedDiag(m);
    for (int i = 0; i < m; ++i)
    {
        for (int j = 0; j < m; ++j)
            S[i * m + j] = a(shared[i], shared[j]);
        r[i] = bp[shared[i]];
        sharedDiag[i] = a(shared[i], shared[i]);
    }

    struct Factor
    {
        int start, size;
        std::vector<double> L, Y, z;
    };
    std::vector<Factor> factors;
    factors.reserve(blocks.size());
    std::vector<double> diag;
    for (const cv::Range& blk : blocks)
    {
        const int p = blk.end - blk.start;
        if (p == 0)
            continue;
        Factor f{blk.start, p, std::vector<double>(p * p), std::vector<double>(static_cast<size_t>(p) * m),
                 std::vector<double>(p)};
        diag.resize(p);
        for (int i = 0; i < p; ++i)
        {
            const double* row = A.ptr<double>(blk.start + i);
            for (int j = 0; j < p; ++j)
                f.L[i * p + j] = row[blk.start + j];
            for (int j = 0; j < m; ++j)
                f.Y[static_cast<size_t>(i) * m + j] = row[shared[j]];
            f.z[i] = bp[blk.start + i];
            diag[i] = row[blk.start + i];
        }
        if (!choleskyInPlace(f.L.data(), p, diag.data()))
            return false;
        forwardSubstitute(f.L.data(), p, f.Y.data(), m);
        forwardSubstitute(f.L.data(), p, f.z.data(), 1);
        for (int k = 0; k < p; ++k)
        {
            const double* yk = &f.Y[static_cast<size_t>(k) * m];
            const double zk = f.z[k];
            for (int i = 0; i < m; ++i)
            {
                const double yki = yk[i];
                if (yki == 0.0)
                    continue;
                double* Si = &S[static_cast<size_t>(i) * m];
                for (int j = i; j < m; ++j)
                    Si[j] -= yki * yk[j];
                r[i] -= yki * zk;
            }
        }
        factors.push_back(std::move(f));
    }
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < i; ++j)
            S[i * m + j] = S[j * m + i];

    if (m > 0)
    {
        if (!choleskyInPlace(S.data(), m, sharedDiag.data()))
            return false;
        forwardSubstitute(S.data(), m, r.data(), 1);
        backSubstitute(S.data(), m, r.data());
    }

    x.create(n, 1, CV_64F);
    double* xp = x.ptr<double>();
    for (int i = 0; i < m; ++i)
        xp[shared[i]] = r[i];
    for (Factor& f : factors)
    {
        // x_B = V⁻¹ (b_B - W x_S) = L⁻ᵀ (z - Y x_S)
        for (int i = 0; i < f.size; ++i)
        {
            const double* yi = &f.Y[static_cast<size_t>(i) * m];
            double s = f.z[i];
            for (int j = 0; j < m; ++j)
                s -= yi[j] * r[j];
            f.z[i] = s;
        }
        backSubstitute(f.L.data(), f.size, f.z.data());
        for (int i = 0; i < f.size; ++i)
            xp[f.start + i] = f.z[i];
    }
    return true;
}

// ----------------------------------------------------------------------------------------------
// LevMarqStereoCalib

LevMarqStereoCalib::LevMarqStereoCalib(const std::vector<double>& param, const std::vector<uchar>& mask,
                                       cv::TermCriteria criteria, int solveMethod, StereoCalibrate* stereo)
    : AbstractLevMarq(param, mask, criteria, solveMethod), m_stereo(stereo)
{
    // Each view's pose couples only with the camera transform and the intrinsics.
    if (m_stereo && m_stereo->m_objectPoints)
    {
        const int nViews = static_cast<int>(m_stereo->m_objectPoints->size());
        if (static_cast<int>(param.size()) >= 6 * (nViews + 1))
        {
            std::vector<cv::Range> blocks;
            blocks.reserve(nViews);
            for (int i = 0; i < nViews; ++i)
                blocks.emplace_back(6 + 6 * i, 12 + 6 * i);
            SetIndependentBlocks(std::move(blocks));
        }
    }
}

void LevMarqStereoCalib::ComputeJtJ(const std::vector<double>& param, cv::Mat& JtJ, cv::Mat& JtErr)
{
    m_stereo->ComputeJtJ(param, JtJ, JtErr);
}

double LevMarqStereoCalib::ComputeError(const std::vector<double>& param)
{
    return m_stereo->ComputeError(param);
}

// ----------------------------------------------------------------------------------------------
// StereoCalibrate

StereoCalibrate::StereoCalibrate()
{
    for (int k = 0; k < 2; ++k)
    {
        m_cameraMatrix[k] = (cv::Mat_<double>(3, 3) << 100, 0, 50, 0, 100, 50, 0, 0, 1);
        m_distCoeffs[k] = cv::Mat::zeros(1, 14, CV_64F);
    }
    m_om = cv::Mat::zeros(3, 1, CV_64F);
    m_T = cv::Mat::zeros(3, 1, CV_64F);
}

void StereoCalibrate::SetCameraMatrixGuess(const cv::Mat& cameraMat, bool first)
{
    STEREO_ASSERT(cameraMat.rows == 3 && cameraMat.cols == 3 && cameraMat.channels() == 1,
                  "StereoCalibrate::SetCameraMatrixGuess");
    cv::Mat K;
    cameraMat.convertTo(K, CV_64F);
    m_cameraMatrix[first ? 0 : 1] = K;
}

void StereoCalibrate::SetDistortionGuess(const cv::Mat& distMat, bool first)
{
    STEREO_ASSERT((distMat.rows == 1 || distMat.cols == 1) && distMat.channels() == 1,
                  "StereoCalibrate::SetDistortionGuess");
    m_distCoeffs[first ? 0 : 1] = fourteenCoefficients(distMat);
}

void StereoCalibrate::SetRotationGuess(const cv::Mat& matR)
{
    if (matR.rows == 3 && matR.cols == 3 && matR.channels() == 1)
    {
        cv::Mat R, om;
        matR.convertTo(R, CV_64F);
        cv::Rodrigues(R, om);
        m_om = om;
        return;
    }
    STEREO_ASSERT(matR.total() == 3 && matR.channels() == 1, "StereoCalibrate::SetRotationGuess");
    cv::Mat om;
    matR.convertTo(om, CV_64F);
    m_om = om.clone().reshape(1, 3);
}

void StereoCalibrate::SetTranslationGuess(const cv::Mat& matT)
{
    STEREO_ASSERT(matT.channels() == 1 && matT.total() == 3, "StereoCalibrate::SetTranslationGuess");
    cv::Mat T;
    matT.convertTo(T, CV_64F);
    m_T = T.clone().reshape(1, 3);
}

void StereoCalibrate::GetRotationMatrix(cv::Mat& R) const
{
    cv::Rodrigues(m_om, R);
}

void StereoCalibrate::ParamToIntrinsics(const std::vector<double>& param, cv::Mat (&cameraMatrix)[2],
                                        cv::Mat (&distCoeffs)[2]) const
{
    for (int k = 0; k < 2; ++k)
    {
        if (m_idxIntrins[k] < 0)
        {
            cameraMatrix[k] = m_cameraMatrix[k].clone();
            distCoeffs[k] = m_distCoeffs[k].clone();
            continue;
        }
        STEREO_ASSERT(static_cast<int>(param.size()) >= m_idxIntrins[k] + NINTRINSIC,
                      "StereoCalibrate::ParamToIntrinsics");
        const double* p = &param[m_idxIntrins[k]];
        const double fy = p[1];
        const double fx = m_aspectRatio[k] != 0.0 ? m_aspectRatio[k] * fy : p[0];
        cameraMatrix[k] = (cv::Mat_<double>(3, 3) << fx, 0, p[2], 0, fy, p[3], 0, 0, 1);
        distCoeffs[k] = cv::Mat(1, 14, CV_64F);
        std::copy(p + 4, p + NINTRINSIC, distCoeffs[k].ptr<double>());
    }
    if (m_sameFocalLength)
        cameraMatrix[0] = cameraMatrix[1].clone();
}

void StereoCalibrate::LoadView(size_t view)
{
    const std::vector<cv::Point3f>& obj = (*m_objectPoints)[view];
    const std::vector<cv::Point2f>* img[2] = {&(*m_imagePoints1)[view], &(*m_imagePoints2)[view]};
    CV_Assert(img[0]->size() == obj.size() && img[1]->size() == obj.size());
    m_viewObject.resize(obj.size());
    for (size_t i = 0; i < obj.size(); ++i)
        m_viewObject[i] = cv::Point3d(obj[i].x, obj[i].y, obj[i].z);
    for (int k = 0; k < 2; ++k)
    {
        m_viewImage[k].resize(obj.size());
        for (size_t i = 0; i < obj.size(); ++i)
            m_viewImage[k][i] = cv::Point2d((*img[k])[i].x, (*img[k])[i].y);
    }
}

double StereoCalibrate::ComputeError(const std::vector<double>& param, cv::Mat* perViewErrors)
{
    if (!m_objectPoints || !m_imagePoints1 || !m_imagePoints2)
    {
        if (perViewErrors)
            perViewErrors->release();
        return kMaxError;
    }
    const size_t nViews = m_objectPoints->size();
    CV_Assert(m_imagePoints1->size() == nViews && m_imagePoints2->size() == nViews);
    CV_Assert(param.size() >= 6 * (nViews + 1));

    cv::Mat K[2], D[2];
    ParamToIntrinsics(param, K, D);
    const cv::Mat omLR(3, 1, CV_64F, const_cast<double*>(&param[0]));
    const cv::Mat TLR(3, 1, CV_64F, const_cast<double*>(&param[3]));
    if (perViewErrors)
        perViewErrors->create(static_cast<int>(nViews), 2, CV_64F);

    double total = 0.0;
    cv::Mat r2, t2;
    for (size_t i = 0; i < nViews; ++i)
    {
        LoadView(i);
        const cv::Mat rvec(3, 1, CV_64F, const_cast<double*>(&param[6 + 6 * i]));
        const cv::Mat tvec(3, 1, CV_64F, const_cast<double*>(&param[9 + 6 * i]));
        cv::composeRT(rvec, tvec, omLR, TLR, r2, t2);
        const size_t n = m_viewObject.size();
        for (int k = 0; k < 2; ++k)
        {
            double sq = 0.0;
            if (n > 0)
            {
                cv::projectPoints(m_viewObject, k == 0 ? rvec : r2, k == 0 ? tvec : t2, K[k], D[k], m_projected);
                for (size_t p = 0; p < n; ++p)
                {
                    const double dx = m_projected[p].x - m_viewImage[k][p].x;
                    const double dy = m_projected[p].y - m_viewImage[k][p].y;
                    sq += dx * dx + dy * dy;
                }
            }
            total += sq;
            if (perViewErrors)
                perViewErrors->at<double>(static_cast<int>(i), k) = n > 0 ? std::sqrt(sq / static_cast<double>(n)) : 0.0;
        }
    }
    return total;
}

void StereoCalibrate::ComputeJtJ(const std::vector<double>& param, cv::Mat& JtJ, cv::Mat& JtErr)
{
    const int nparams = static_cast<int>(param.size());
    JtJ.create(nparams, nparams, CV_64F);
    JtJ.setTo(0.0);
    JtErr.create(nparams, 1, CV_64F);
    JtErr.setTo(0.0);
    if (!m_objectPoints || !m_imagePoints1 || !m_imagePoints2)
        return;
    const size_t nViews = m_objectPoints->size();
    CV_Assert(m_imagePoints1->size() == nViews && m_imagePoints2->size() == nViews);
    CV_Assert(param.size() >= 6 * (nViews + 1));

    cv::Mat K[2], D[2];
    ParamToIntrinsics(param, K, D);
    const cv::Mat omLR(3, 1, CV_64F, const_cast<double*>(&param[0]));
    const cv::Mat TLR(3, 1, CV_64F, const_cast<double*>(&param[3]));

    // Where each camera's 18 intrinsic columns land. With one shared matrix, camera 1's
    // fx, fy, cx, cy are camera 2's parameters (camera 1's own copies stay frozen).
    int intrinsicIdx[2][NINTRINSIC];
    double aspect[2] = {0.0, 0.0};
    for (int k = 0; k < 2; ++k)
    {
        if (m_idxIntrins[k] < 0)
            continue;
        CV_Assert(m_idxIntrins[k] + NINTRINSIC <= nparams);
        for (int c = 0; c < NINTRINSIC; ++c)
            intrinsicIdx[k][c] = (k == 0 && m_sameFocalLength && c < 4 && m_idxIntrins[1] >= 0)
                                     ? m_idxIntrins[1] + c
                                     : m_idxIntrins[k] + c;
        // The projection must see the matrix it actually uses: camera 2's under a shared matrix.
        aspect[k] = (k == 0 && m_sameFocalLength) ? m_aspectRatio[1] : m_aspectRatio[k];
    }

    double* M = JtJ.ptr<double>();
    double* G = JtErr.ptr<double>();
    const size_t stride = static_cast<size_t>(nparams);

    cv::Mat r2, t2, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2;
    double Dv[6][6], Dt[6][6]; // d(r3,t3)/d(view pose), d(r3,t3)/d(camera transform)
    int idx[30];
    double NL[30 * 30];
    double gl[30];

    for (size_t i = 0; i < nViews; ++i)
    {
        LoadView(i);
        const int n = static_cast<int>(m_viewObject.size());
        if (n == 0)
            continue;
        const int viewIdx = 6 + 6 * static_cast<int>(i);
        const cv::Mat rvec(3, 1, CV_64F, const_cast<double*>(&param[viewIdx]));
        const cv::Mat tvec(3, 1, CV_64F, const_cast<double*>(&param[viewIdx + 3]));
        cv::composeRT(rvec, tvec, omLR, TLR, r2, t2, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2);
        for (int a = 0; a < 3; ++a)
            for (int c = 0; c < 3; ++c)
            {
                Dv[a][c] = dr3dr1.at<double>(a, c);
                Dv[a][c + 3] = dr3dt1.at<double>(a, c);
                Dv[a + 3][c] = dt3dr1.at<double>(a, c);
                Dv[a + 3][c + 3] = dt3dt1.at<double>(a, c);
                Dt[a][c] = dr3dr2.at<double>(a, c);
                Dt[a][c + 3] = dr3dt2.at<double>(a, c);
                Dt[a + 3][c] = dt3dr2.at<double>(a, c);
                Dt[a + 3][c + 3] = dt3dt2.at<double>(a, c);
            }

        for (int k = 0; k < 2; ++k)
        {
            const bool hasIntrinsics = m_idxIntrins[k] >= 0;
            cv::projectPoints(m_viewObject, k == 0 ? rvec : r2, k == 0 ? tvec : t2, K[k], D[k], m_projected,
                              m_projJacobian, aspect[k]);
            CV_Assert(m_projJacobian.cols == 10 + NINTRINSIC - 4 && m_projJacobian.rows == 2 * n);

            // Local columns: the view's pose, for camera 2 the camera transform, then the intrinsics.
            int L = 0;
            for (int c = 0; c < 6; ++c)
                idx[L++] = viewIdx + c;
            const int lrCol = L;
            if (k == 1)
                for (int c = 0; c < 6; ++c)
                    idx[L++] = c;
            const int intrCol = L;
            if (hasIntrinsics)
                for (int c = 0; c < NINTRINSIC; ++c)
                    idx[L++] = intrinsicIdx[k][c];

            m_localJ.resize(static_cast<size_t>(2 * n) * L);
            for (int r = 0; r < 2 * n; ++r)
            {
                const double* jc = m_projJacobian.ptr<double>(r);
                double* jl = &m_localJ[static_cast<size_t>(r) * L];
                if (k == 0)
                {
                    for (int c = 0; c < 6; ++c)
                        jl[c] = jc[c];
                }
                else
                {
                    for (int c = 0; c < 6; ++c)
                    {
                        double sv = 0.0, st = 0.0;
                        for (int q = 0; q < 6; ++q)
                        {
                            sv += jc[q] * Dv[q][c];
                            st += jc[q] * Dt[q][c];
                        }
                        jl[c] = sv;
                        jl[lrCol + c] = st;
                    }
                }
                if (hasIntrinsics)
                    for (int c = 0; c < NINTRINSIC; ++c)
                        jl[intrCol + c] = jc[6 + c];
            }

            // Both rows of a point per pass: half the traffic on the accumulator.
            std::fill(NL, NL + L * L, 0.0);
            std::fill(gl, gl + L, 0.0);
            for (int p = 0; p < n; ++p)
            {
                const double ex = m_projected[p].x - m_viewImage[k][p].x;
                const double ey = m_projected[p].y - m_viewImage[k][p].y;
                const double* jx = &m_localJ[static_cast<size_t>(2 * p) * L];
                const double* jy = jx + L;
                for (int a = 0; a < L; ++a)
                {
                    const double xa = jx[a], ya = jy[a];
                    gl[a] += xa * ex + ya * ey;
                    double* row = NL + a * L;
                    for (int b = a; b < L; ++b)
                        row[b] += xa * jx[b] + ya * jy[b];
                }
            }

            // Scatter into both triangles; a column pair landing on one parameter adds twice,
            // as the chain rule demands.
            for (int a = 0; a < L; ++a)
            {
                const size_t ia = static_cast<size_t>(idx[a]);
                G[ia] += gl[a];
                M[ia * stride + ia] += NL[a * L + a];
                for (int b = a + 1; b < L; ++b)
                {
                    const size_t ib = static_cast<size_t>(idx[b]);
                    const double v = NL[a * L + b];
                    M[ia * stride + ib] += v;
                    M[ib * stride + ia] += v;
                }
            }
        }
    }
}

void StereoCalibrate::Execute(const std::vector<std::vector<cv::Point3f>>& objectPoints,
                              const std::vector<std::vector<cv::Point2f>>& imagePoints1,
                              const std::vector<std::vector<cv::Point2f>>& imagePoints2, cv::Size imageSize1,
                              cv::Size imageSize2, int flags1, int flags2, cv::TermCriteria criteria)
{
    static const char* const kFunc = "StereoCalibrate::Execute";

    // The point pointers live only for this call, and a failed run leaves the guesses as they were.
    struct Guard
    {
        StereoCalibrate& self;
        cv::Mat K[2], D[2], om, T;
        bool done = false;
        ~Guard()
        {
            self.m_objectPoints = nullptr;
            self.m_imagePoints1 = nullptr;
            self.m_imagePoints2 = nullptr;
            if (!done)
            {
                for (int k = 0; k < 2; ++k)
                {
                    self.m_cameraMatrix[k] = K[k];
                    self.m_distCoeffs[k] = D[k];
                }
                self.m_om = om;
                self.m_T = T;
            }
        }
    } guard{*this, {m_cameraMatrix[0], m_cameraMatrix[1]}, {m_distCoeffs[0], m_distCoeffs[1]}, m_om, m_T};

    m_objectPoints = &objectPoints;
    m_imagePoints1 = &imagePoints1;
    m_imagePoints2 = &imagePoints2;
    m_imageSize[0] = imageSize1;
    m_imageSize[1] = imageSize2;
    m_flags[0] = flags1;
    m_flags[1] = flags2;
    m_criteria = criteria;

    const size_t nPoses = objectPoints.size();
    STEREO_ASSERT(imagePoints1.size() == nPoses && imagePoints2.size() == nPoses, "StereoCalibrate::Execute");

    // Input the adjustment cannot work with: say which view and why instead of failing deep inside.
    if (nPoses == 0)
        cv::error(cv::Error::StsBadArg, "no views to calibrate", kFunc, __FILE__, __LINE__);
    size_t totalPoints = 0;
    for (size_t i = 0; i < nPoses; ++i)
    {
        const size_t n = objectPoints[i].size();
        if (imagePoints1[i].size() != n || imagePoints2[i].size() != n)
            cv::error(cv::Error::StsBadArg,
                      cv::format("view %zu: %zu target points but %zu and %zu image points", i, n,
                                 imagePoints1[i].size(), imagePoints2[i].size()),
                      kFunc, __FILE__, __LINE__);
        if (n < 4)
            cv::error(cv::Error::StsBadArg,
                      cv::format("view %zu has %zu points, at least 4 are needed", i, n), kFunc, __FILE__, __LINE__);
        if (!allFinite3(objectPoints[i]) || !allFinite2(imagePoints1[i]) || !allFinite2(imagePoints2[i]))
            cv::error(cv::Error::StsBadArg, cv::format("view %zu contains a coordinate that is not a finite number", i),
                      kFunc, __FILE__, __LINE__);
        if (isCollinear(objectPoints[i]))
            cv::error(cv::Error::StsBadArg, cv::format("view %zu: the target points are collinear", i), kFunc,
                      __FILE__, __LINE__);
        for (int k = 0; k < 2; ++k)
            if (isCollinear(k == 0 ? imagePoints1[i] : imagePoints2[i]))
                cv::error(cv::Error::StsBadArg,
                          cv::format("view %zu: the image points of camera %d are collinear", i, k + 1), kFunc,
                          __FILE__, __LINE__);
        totalPoints += n;
    }

    // Work on private copies: callers may share the guess matrices' data.
    for (int k = 0; k < 2; ++k)
    {
        cv::Mat K;
        m_cameraMatrix[k].convertTo(K, CV_64F);
        CV_Assert(K.rows == 3 && K.cols == 3);
        m_cameraMatrix[k] = K.clone();
        m_distCoeffs[k] = fourteenCoefficients(m_distCoeffs[k]);
    }

    int nparams = 6 * static_cast<int>(nPoses + 1);
    m_idxIntrins[0] = m_idxIntrins[1] = -1;
    m_aspectRatio[0] = m_aspectRatio[1] = 0.0;

    const bool sameFocal = ((m_flags[0] | m_flags[1]) & cv::CALIB_SAME_FOCAL_LENGTH) != 0;
    const bool bothFixed = (m_flags[0] & cv::CALIB_FIX_INTRINSIC) && (m_flags[1] & cv::CALIB_FIX_INTRINSIC);
    for (int k = 0; k < 2; ++k)
    {
        if (sameFocal && !bothFixed)
            m_flags[k] &= ~cv::CALIB_FIX_INTRINSIC;
        if (!(m_flags[k] & cv::CALIB_FIX_INTRINSIC))
        {
            m_idxIntrins[k] = nparams;
            nparams += NINTRINSIC;
        }
        if (!(m_flags[k] & (cv::CALIB_FIX_INTRINSIC | cv::CALIB_USE_INTRINSIC_GUESS)))
        {
            cv::Mat tempK = m_cameraMatrix[k].clone();
            cv::Mat tempDist = m_distCoeffs[k].colRange(0, modelCoefficientCount(m_flags[k])).clone();
            cv::calibrateCamera(objectPoints, k == 0 ? imagePoints1 : imagePoints2, m_imageSize[k], tempK, tempDist,
                                cv::noArray(), cv::noArray(), m_flags[k], m_criteria);
            STEREO_ASSERT(tempK.rows == 3 && tempK.cols == 3 && tempK.channels() == 1, "StereoCalibrate::Execute");
            cv::Mat K;
            tempK.convertTo(K, CV_64F);
            m_cameraMatrix[k] = K;
            m_distCoeffs[k] = fourteenCoefficients(tempDist);
        }
        if (m_flags[k] & cv::CALIB_FIX_ASPECT_RATIO)
            m_aspectRatio[k] = m_cameraMatrix[k].at<double>(0, 0) / m_cameraMatrix[k].at<double>(1, 1);
    }

    if (sameFocal)
    {
        const int at[4][2] = {{0, 0}, {1, 1}, {0, 2}, {1, 2}};
        for (const auto& rc : at)
        {
            const double mean = 0.5 * (m_cameraMatrix[0].at<double>(rc[0], rc[1]) + m_cameraMatrix[1].at<double>(rc[0], rc[1]));
            m_cameraMatrix[0].at<double>(rc[0], rc[1]) = mean;
            m_cameraMatrix[1].at<double>(rc[0], rc[1]) = mean;
        }
    }
    m_sameFocalLength = sameFocal && !bothFixed;

    for (int k = 0; k < 2; ++k)
    {
        if (!(m_flags[k] & cv::CALIB_RATIONAL_MODEL))
            m_flags[k] |= cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6;
        if (!(m_flags[k] & cv::CALIB_THIN_PRISM_MODEL))
            m_flags[k] |= cv::CALIB_FIX_S1_S2_S3_S4;
        if (!(m_flags[k] & cv::CALIB_TILTED_MODEL))
            m_flags[k] |= cv::CALIB_FIX_TAUX_TAUY;
        if (m_flags[k] & cv::CALIB_ZERO_TANGENT_DIST)
        {
            m_distCoeffs[k].at<double>(2) = 0.0;
            m_distCoeffs[k].at<double>(3) = 0.0;
        }
    }

    std::vector<uchar> mask(nparams, 1);
    for (int k = 0; k < 2; ++k)
    {
        const int j = m_idxIntrins[k];
        if (j < 0)
            continue;
        const int f = m_flags[k];
        auto freeze = [&](int from, int count) { std::fill(mask.begin() + j + from, mask.begin() + j + from + count, 0); };
        if (m_sameFocalLength && k == 0)
            freeze(0, 4);
        if (f & cv::CALIB_FIX_ASPECT_RATIO)
            freeze(0, 1);
        if (f & cv::CALIB_FIX_FOCAL_LENGTH)
            freeze(0, 2);
        if (f & cv::CALIB_FIX_PRINCIPAL_POINT)
            freeze(2, 2);
        if (f & (cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_TANGENT_DIST))
            freeze(6, 2);
        if (f & cv::CALIB_FIX_K1)
            freeze(4, 1);
        if (f & cv::CALIB_FIX_K2)
            freeze(5, 1);
        if (f & cv::CALIB_FIX_K3)
            freeze(8, 1);
        if (f & cv::CALIB_FIX_K4)
            freeze(9, 1);
        if (f & cv::CALIB_FIX_K5)
            freeze(10, 1);
        if (f & cv::CALIB_FIX_K6)
            freeze(11, 1);
        if (f & cv::CALIB_FIX_S1_S2_S3_S4)
            freeze(12, 4);
        if (f & cv::CALIB_FIX_TAUX_TAUY)
            freeze(16, 2);
    }

    // Per-view starts from each camera alone, and the transform each view implies.
    std::vector<double> param(nparams, 0.0);
    std::vector<std::array<double, 6>> perView(nPoses);
    for (size_t i = 0; i < nPoses; ++i)
    {
        cv::Mat rv[2], tv[2];
        for (int k = 0; k < 2; ++k)
        {
            const bool ok = cv::solvePnP(objectPoints[i], k == 0 ? imagePoints1[i] : imagePoints2[i], m_cameraMatrix[k],
                                         m_distCoeffs[k], rv[k], tv[k], false, cv::SOLVEPNP_ITERATIVE);
            if (!ok || !cv::checkRange(rv[k]) || !cv::checkRange(tv[k]))
                cv::error(cv::Error::StsInternal, "PnP solver failed", kFunc, __FILE__, __LINE__);
            rv[k].convertTo(rv[k], CV_64F);
            tv[k].convertTo(tv[k], CV_64F);
        }
        for (int c = 0; c < 3; ++c)
        {
            param[6 + 6 * i + c] = rv[0].at<double>(c);
            param[9 + 6 * i + c] = tv[0].at<double>(c);
        }
        perView[i] = relativeTransform(rv[0], tv[0], rv[1], tv[1]);
    }

    if ((m_flags[0] | m_flags[1]) & cv::CALIB_USE_EXTRINSIC_GUESS)
    {
        CV_Assert(m_om.total() == 3 && m_T.total() == 3);
        cv::Mat om, T;
        m_om.convertTo(om, CV_64F);
        m_T.convertTo(T, CV_64F);
        for (int c = 0; c < 3; ++c)
        {
            param[c] = om.at<double>(c);
            param[3 + c] = T.at<double>(c);
        }
    }
    else
    {
        std::vector<double> values(nPoses);
        for (int c = 0; c < 6; ++c)
        {
            for (size_t i = 0; i < nPoses; ++i)
                values[i] = perView[i][c];
            param[c] = median(values);
        }
    }

    for (int k = 0; k < 2; ++k)
    {
        const int j = m_idxIntrins[k];
        if (j < 0)
            continue;
        const cv::Mat& K = m_cameraMatrix[k];
        param[j] = K.at<double>(0, 0);
        param[j + 1] = K.at<double>(1, 1);
        param[j + 2] = K.at<double>(0, 2);
        param[j + 3] = K.at<double>(1, 2);
        for (int c = 0; c < 14; ++c)
            param[j + 4 + c] = m_distCoeffs[k].at<double>(c);
    }

    cv::Mat startK[2], startD[2];
    ParamToIntrinsics(param, startK, startD);
    std::printf("- Startparameter:");
    std::printf("  Brennweiten: %g  %g  |  %g  %g\n", startK[0].at<double>(0, 0), startK[0].at<double>(1, 1),
                startK[1].at<double>(0, 0), startK[1].at<double>(1, 1));
    std::printf("  Hauptpunkte: %g  %g  |  %g  %g\n", startK[0].at<double>(0, 2), startK[0].at<double>(1, 2),
                startK[1].at<double>(0, 2), startK[1].at<double>(1, 2));
    std::printf("  Verzeichnung Kamera 1:\n");
    for (int c = 0; c < 14; ++c)
        std::printf("  %g", startD[0].at<double>(c));
    std::printf("\n  Verzeichnung Kamera 2:\n");
    for (int c = 0; c < 14; ++c)
        std::printf("  %g", startD[1].at<double>(c));
    std::printf("\n");
    std::fflush(stdout);

    const bool useLU = ((m_flags[0] | m_flags[1]) & cv::CALIB_USE_LU) != 0;
    LevMarqStereoCalib solver(param, mask, m_criteria, useLU ? cv::DECOMP_LU : cv::DECOMP_SVD, this);
    solver.Run();
    const std::vector<double>& result = solver.m_param;

    for (double v : result)
        if (!std::isfinite(v))
            cv::error(cv::Error::StsNoConv, "the stereo adjustment ended with values that are not finite numbers",
                      kFunc, __FILE__, __LINE__);

    cv::Mat K[2], D[2];
    ParamToIntrinsics(result, K, D);
    for (int k = 0; k < 2; ++k)
    {
        m_cameraMatrix[k] = K[k];
        m_distCoeffs[k] = D[k];
    }
    m_om = (cv::Mat_<double>(3, 1) << result[0], result[1], result[2]);
    m_T = (cv::Mat_<double>(3, 1) << result[3], result[4], result[5]);
    m_rvecs.resize(nPoses);
    m_tvecs.resize(nPoses);
    for (size_t i = 0; i < nPoses; ++i)
    {
        m_rvecs[i] = (cv::Mat_<double>(3, 1) << result[6 + 6 * i], result[7 + 6 * i], result[8 + 6 * i]);
        m_tvecs[i] = (cv::Mat_<double>(3, 1) << result[9 + 6 * i], result[10 + 6 * i], result[11 + 6 * i]);
    }

    cv::Matx33d R;
    cv::Rodrigues(m_om, R);
    const double t1 = result[3], t2 = result[4], t3 = result[5];
    const cv::Matx33d tx(0, -t3, t2, t3, 0, -t1, -t2, t1, 0);
    const cv::Matx33d E = tx * R;
    m_E = cv::Mat(E, true);

    const cv::Matx33d K1(K[0].ptr<double>()), K2(K[1].ptr<double>());
    cv::Matx33d F = K2.inv().t() * E * K1.inv();
    if (F(2, 2) > 0.0)
    {
        const double f22 = F(2, 2);
        for (int e = 0; e < 9; ++e)
            F.val[e] /= f22;
    }
    m_F = cv::Mat(F, true);

    cv::Mat perViewErrors;
    const double total = ComputeError(result, &perViewErrors);
    m_perViewErrors = perViewErrors;
    m_rms = std::sqrt(total / (2.0 * static_cast<double>(totalPoints)));

    guard.done = true;
}
