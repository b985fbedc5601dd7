#pragma once
// Damped least-squares engine and the joint stereo bundle adjustment built on it.
// Headless: OpenCV only.

#include <opencv2/core.hpp>

#include <vector>

// Minimises a sum of squared residuals over a parameter vector; any subset of the
// parameters can be frozen by a mask. The problem comes from a subclass through
// ComputeJtJ and ComputeError.
class AbstractLevMarq
{
public:
    AbstractLevMarq(const std::vector<double>& param, const std::vector<uchar>& mask,
                    cv::TermCriteria criteria, int solveMethod);

    // The whole minimisation; the owner reads m_param afterwards.
    void Run();

    // Declares parameter ranges (full-vector indices) that couple only with the parameters
    // outside every range, never with each other. The solve then eliminates them first;
    // when that is not safely possible it falls back to the dense solve. Empty = dense only.
    void SetIndependentBlocks(std::vector<cv::Range> blocks);

    cv::Mat m_JtJ;
    cv::Mat m_JtJN;
    cv::Mat m_JtErr;
    std::vector<double> m_param;
    std::vector<double> m_trialParam;
    cv::Mat m_delta;
    const std::vector<uchar>* m_mask = nullptr;
    std::vector<uchar> m_one;
    cv::TermCriteria m_criteria;
    int m_solveMethod = cv::DECOMP_SVD;
    int m_lambdaLg10 = -3;
    double m_prevErr;
    double m_trialErr;

protected:
    // Full-size Jᵀ·J (upper triangle at least) and Jᵀ·e at param, e = model - measurement.
    virtual void ComputeJtJ(const std::vector<double>& param, cv::Mat& JtJ, cv::Mat& JtErr) = 0;
    // Plain sum of squared residuals; the largest finite double when param cannot be evaluated.
    virtual double ComputeError(const std::vector<double>& param) = 0;

    void Step();

    ~AbstractLevMarq() = default;

private:
    void ReduceNormalEquations(const cv::Mat& JtJ, const cv::Mat& JtErr);
    bool SolveDamped();

    std::vector<cv::Range> m_blocks;        // full-vector indices
    std::vector<cv::Range> m_reducedBlocks; // the same, counted among the free parameters
};

// Solves A·x = b for symmetric positive definite A in which the given index ranges couple
// only with the indices outside all ranges (arrow shape). The ranges are eliminated first
// (Schur complement), so the cost grows linearly with their number. Returns false without
// touching x when a pivot is not safely positive (singular or badly conditioned system);
// the caller then solves densely.
bool SolveArrowSystem(const cv::Mat& A, const cv::Mat& b, const std::vector<cv::Range>& blocks, cv::Mat& x);

class StereoCalibrate;

class LevMarqStereoCalib : public AbstractLevMarq
{
public:
    LevMarqStereoCalib(const std::vector<double>& param, const std::vector<uchar>& mask,
                       cv::TermCriteria criteria, int solveMethod, StereoCalibrate* stereo);

protected:
    void ComputeJtJ(const std::vector<double>& param, cv::Mat& JtJ, cv::Mat& JtErr) override;
    double ComputeError(const std::vector<double>& param) override;

private:
    StereoCalibrate* m_stereo;
};

// Joint adjustment of both cameras' intrinsics, the camera 1 -> camera 2 transform and the
// target pose of every view from simultaneous views of a planar target.
class StereoCalibrate
{
public:
    static constexpr int NINTRINSIC = 18;

    StereoCalibrate();

    void SetCameraMatrixGuess(const cv::Mat& cameraMat, bool first);
    void SetDistortionGuess(const cv::Mat& distMat, bool first);
    void SetRotationGuess(const cv::Mat& matR);
    void SetTranslationGuess(const cv::Mat& matT);
    void GetRotationMatrix(cv::Mat& R) const;

    void Execute(const std::vector<std::vector<cv::Point3f>>& objectPoints,
                 const std::vector<std::vector<cv::Point2f>>& imagePoints1,
                 const std::vector<std::vector<cv::Point2f>>& imagePoints2,
                 cv::Size imageSize1, cv::Size imageSize2, int flags1, int flags2,
                 cv::TermCriteria criteria);

    void ParamToIntrinsics(const std::vector<double>& param, cv::Mat (&cameraMatrix)[2],
                           cv::Mat (&distCoeffs)[2]) const;

    // Normal equations of the reprojection error at param (full size, both triangles filled).
    // Needs the point pointers (set during Execute, or by hand).
    void ComputeJtJ(const std::vector<double>& param, cv::Mat& JtJ, cv::Mat& JtErr);
    // Sum of squared reprojection residuals of both cameras; with perViewErrors, also the
    // per-view RMS of each camera (views x 2).
    double ComputeError(const std::vector<double>& param, cv::Mat* perViewErrors = nullptr);

    cv::Mat m_E;
    cv::Mat m_F;
    cv::Mat m_perViewErrors;
    std::vector<cv::Mat> m_rvecs;
    std::vector<cv::Mat> m_tvecs;
    double m_rms = 0.0;
    const std::vector<std::vector<cv::Point3f>>* m_objectPoints = nullptr;
    const std::vector<std::vector<cv::Point2f>>* m_imagePoints1 = nullptr;
    const std::vector<std::vector<cv::Point2f>>* m_imagePoints2 = nullptr;
    int m_flags[2] = {0, 0};
    cv::Size m_imageSize[2];
    cv::TermCriteria m_criteria;
    cv::Mat m_om;
    cv::Mat m_T;
    cv::Mat m_cameraMatrix[2];
    cv::Mat m_distCoeffs[2];
    int m_idxIntrins[2] = {-1, -1};
    double m_aspectRatio[2] = {0.0, 0.0};
    bool m_sameFocalLength = false;

private:
    void LoadView(size_t view);

    // Double-precision copies of one view's points, reused from call to call.
    std::vector<cv::Point3d> m_viewObject;
    std::vector<cv::Point2d> m_viewImage[2];
    std::vector<cv::Point2d> m_projected;
    cv::Mat m_projJacobian;
    std::vector<double> m_localJ;
};
