#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

namespace {

using namespace stereo_synth;
using Vec = std::vector<double>;

// The residual vector computed independently of the class: every view projected in both
// cameras (camera 2 through the composed pose) minus the detections. A fixed aspect ratio makes
// fx = ratio * fy; a shared matrix makes camera 1 project with camera 2's fx, fy, cx, cy.
Vec residuals(const StereoCalibrate& c, const Views& v, const Vec& p)
{
    cv::Mat K[2], D[2];
    for (int k = 0; k < 2; ++k) {
        const int j = c.m_idxIntrins[k];
        const double fx = c.m_aspectRatio[k] != 0.0 ? c.m_aspectRatio[k] * p[j + 1] : p[j];
        K[k] = (cv::Mat_<double>(3, 3) << fx, 0, p[j + 2], 0, p[j + 1], p[j + 3], 0, 0, 1);
        D[k] = cv::Mat(1, 14, CV_64F, const_cast<double*>(&p[j + 4])).clone();
    }
    if (c.m_sameFocalLength)
        K[0] = K[1].clone();
    Vec e;
    for (size_t i = 0; i < v.object.size(); ++i) {
        const cv::Vec3d r1(&p[6 + 6 * i]), t1(&p[9 + 6 * i]);
        cv::Vec3d r2, t2;
        cv::composeRT(r1, t1, cv::Vec3d(&p[0]), cv::Vec3d(&p[3]), r2, t2);
        const std::vector<cv::Point3d> obj(v.object[i].begin(), v.object[i].end());
        for (int k = 0; k < 2; ++k) {
            std::vector<cv::Point2d> proj;
            cv::projectPoints(obj, k == 0 ? r1 : r2, k == 0 ? t1 : t2, K[k], D[k], proj);
            for (size_t q = 0; q < proj.size(); ++q) {
                e.push_back(proj[q].x - v.image[k][i][q].x);
                e.push_back(proj[q].y - v.image[k][i][q].y);
            }
        }
    }
    return e;
}

struct Mode
{
    const char* name;
    bool sameFocalLength;
    bool fixAspectRatio;
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class StereoNormalEquations : public testing::TestWithParam<Mode>
{
};

} // namespace

// J^T J and J^T e against finite differences, with the plain model, one shared camera matrix, a
// fixed aspect ratio, and both: each mode routes the intrinsic columns differently.
TEST_P(StereoNormalEquations, MatchFiniteDifferencesOfTheResiduals)
{
    const Mode mode = GetParam();
    const Rig rig = defaultRig();
    const Views views = makeViews(rig, 3, 0.3, 11);
    StereoCalibrate calib;
    calib.m_objectPoints = &views.object;
    calib.m_imagePoints1 = &views.image[0];
    calib.m_imagePoints2 = &views.image[1];
    const int nv = int(views.object.size());
    calib.m_idxIntrins[0] = 6 * (nv + 1);
    calib.m_idxIntrins[1] = calib.m_idxIntrins[0] + StereoCalibrate::NINTRINSIC;
    Vec p(size_t(calib.m_idxIntrins[1] + StereoCalibrate::NINTRINSIC), 0.0);

    // Near the truth but not at it, every distortion term non-zero so all 18 intrinsic columns count.
    cv::RNG rng(12);
    for (int c = 0; c < 3; ++c) {
        p[size_t(c)] = rig.om[c] + rng.uniform(-0.01, 0.01);
        p[size_t(3 + c)] = rig.T[c] + rng.uniform(-2.0, 2.0);
        for (int i = 0; i < nv; ++i) {
            p[size_t(6 + 6 * i + c)] = views.rvecs[size_t(i)][c] + rng.uniform(-0.01, 0.01);
            p[size_t(9 + 6 * i + c)] = views.tvecs[size_t(i)][c] + rng.uniform(-2.0, 2.0);
        }
    }
    for (int k = 0; k < 2; ++k) {
        const cv::Matx33d& K = rig.cam[k].K;
        const double block[18] = {K(0, 0) + 3, K(1, 1) - 2, K(0, 2) + 1.5, K(1, 2) - 1, -0.18 + 0.02 * k, 0.07,
                                  0.0012, -0.0008, 0.01, 0.002, -0.001, 0.003, 0.0011, -0.0007, 0.0005, 0.0009,
                                  0.004, -0.003};
        std::copy(block, block + 18, p.begin() + calib.m_idxIntrins[k]);
        if (mode.fixAspectRatio)
            calib.m_aspectRatio[k] = K(0, 0) / K(1, 1);
    }
    calib.m_sameFocalLength = mode.sameFocalLength;

    cv::Mat JtJ, JtErr;
    calib.ComputeJtJ(p, JtJ, JtErr);
    const Vec e = residuals(calib, views, p);
    const int n = int(p.size()), m = int(e.size());
    cv::Mat J(m, n, CV_64F);
    for (int c = 0; c < n; ++c) {
        const double h = 1e-6 * std::max(1.0, std::abs(p[size_t(c)]));
        Vec plus = p, minus = p;
        plus[size_t(c)] += h;
        minus[size_t(c)] -= h;
        const Vec ep = residuals(calib, views, plus), em = residuals(calib, views, minus);
        for (int r = 0; r < m; ++r)
            J.at<double>(r, c) = (ep[size_t(r)] - em[size_t(r)]) / (2 * h);
    }
    const cv::Mat refJtJ = J.t() * J, refJtErr = J.t() * cv::Mat(e);
    double sq = 0;
    for (double r : e)
        sq += r * r;
    EXPECT_NEAR(calib.ComputeError(p), sq, 1e-10 * sq);
    ASSERT_GT(sq, 1.0) << "away from the optimum, so J^T e says something";

    // Each entry relative to the scale of its row and column; both triangles filled alike.
    for (int r = 0; r < n; ++r) {
        const double sr = std::sqrt(refJtJ.at<double>(r, r));
        for (int c = r; c < n; ++c) {
            const double scale = sr * std::sqrt(refJtJ.at<double>(c, c)) + 1e-12;
            EXPECT_LT(std::abs(JtJ.at<double>(r, c) - refJtJ.at<double>(r, c)) / scale, 1e-5) << r << "," << c;
            EXPECT_EQ(JtJ.at<double>(r, c), JtJ.at<double>(c, r));
        }
        EXPECT_LT(std::abs(JtErr.at<double>(r) - refJtErr.at<double>(r)) / (sr * std::sqrt(sq) + 1e-12), 1e-5) << r;
    }
    calib.m_objectPoints = nullptr;
    calib.m_imagePoints1 = calib.m_imagePoints2 = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Modes, StereoNormalEquations,
                         testing::Values(Mode{"Plain", false, false}, Mode{"SharedMatrix", true, false},
                                         Mode{"FixedAspect", false, true}, Mode{"SharedMatrixFixedAspect", true, true}),
                         [](const testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });
