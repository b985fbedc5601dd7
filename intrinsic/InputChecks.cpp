#include "intrinsic/InputChecks.h"

#include <cmath>

namespace vantiro::intrinsic {

namespace {

// Eigenvalues of the points' covariance, largest first.
template<int N, typename Point>
cv::Vec<double, N> spreads(const std::vector<Point>& points)
{
    cv::Vec<double, N> mean = cv::Vec<double, N>::all(0.0);
    auto vec = [](const Point& p) {
        cv::Vec<double, N> v;
        const float* f = &p.x;
        for (int i = 0; i < N; ++i)
            v[i] = double(f[i]);
        return v;
    };
    for (const Point& p : points)
        mean += vec(p);
    mean *= 1.0 / double(points.size());
    cv::Matx<double, N, N> covariance = cv::Matx<double, N, N>::zeros();
    for (const Point& p : points) {
        const cv::Vec<double, N> d = vec(p) - mean;
        covariance += d * d.t();
    }
    covariance *= 1.0 / double(points.size());
    cv::Mat values;
    cv::eigen(covariance, values);
    return cv::Vec<double, N>(values.ptr<double>());
}

bool finiteWithin(float v, double bound)
{
    return std::isfinite(v) && std::abs(double(v)) <= bound;
}

} // namespace

bool spansPlane(const std::vector<cv::Point2f>& points, double minSpread)
{
    if (points.size() < 3)
        return false;
    return std::sqrt(std::max(0.0, spreads<2>(points)[1])) > minSpread;
}

bool spansPlane(const std::vector<cv::Point3f>& points)
{
    if (points.size() < 3)
        return false;
    const cv::Vec3d s = spreads<3>(points);
    // Relative: target sizes range from micrometres to metres.
    return s[0] > 0.0 && s[1] > 1e-10 * s[0];
}

QString cornerListProblem(const std::vector<cv::Point2f>& imagePoints, const std::vector<cv::Point3f>& objectPoints)
{
    if (imagePoints.size() != objectPoints.size())
        return QStringLiteral("%1 image points but %2 target points").arg(imagePoints.size()).arg(objectPoints.size());
    if (imagePoints.size() < 4)
        return QStringLiteral("%1 corners; at least 4 are needed").arg(imagePoints.size());
    if (imagePoints.size() > size_t(kMaxCornersPerView))
        return QStringLiteral("%1 corners; at most %2 are read").arg(imagePoints.size()).arg(kMaxCornersPerView);
    for (const cv::Point2f& p : imagePoints)
        if (!finiteWithin(p.x, kMaxImageCoordinate) || !finiteWithin(p.y, kMaxImageCoordinate))
            return QStringLiteral("image point (%1, %2) is not a finite coordinate within %3 px")
                .arg(double(p.x))
                .arg(double(p.y))
                .arg(kMaxImageCoordinate);
    for (const cv::Point3f& p : objectPoints)
        if (!finiteWithin(p.x, kMaxObjectCoordinate) || !finiteWithin(p.y, kMaxObjectCoordinate) ||
            !finiteWithin(p.z, kMaxObjectCoordinate))
            return QStringLiteral("target point (%1, %2, %3) is not a finite coordinate within %4 mm")
                .arg(double(p.x))
                .arg(double(p.y))
                .arg(double(p.z))
                .arg(kMaxObjectCoordinate);
    if (!spansPlane(imagePoints, 0.01))
        return QStringLiteral("the image points lie on one line or one point");
    if (!spansPlane(objectPoints))
        return QStringLiteral("the target points lie on one line or one point");
    return QString();
}

QString intrinsicResultProblem(const cv::Mat& K, const cv::Mat& distortion, double rms, cv::Size imageSize)
{
    if (K.rows != 3 || K.cols != 3 || K.channels() != 1)
        return QStringLiteral("no 3 x 3 camera matrix");
    cv::Mat k;
    K.convertTo(k, CV_64F);
    if (!cv::checkRange(k))
        return QStringLiteral("the camera matrix holds a value that is not a finite number");
    if (!distortion.empty() && !cv::checkRange(distortion))
        return QStringLiteral("a distortion coefficient is not a finite number");
    if (!std::isfinite(rms) || rms < 0.0)
        return QStringLiteral("the RMS error is %1").arg(rms);
    const double fx = k.at<double>(0, 0), fy = k.at<double>(1, 1);
    const double cx = k.at<double>(0, 2), cy = k.at<double>(1, 2);
    const double w = std::max(1, imageSize.width), h = std::max(1, imageSize.height);
    const double span = std::max(w, h);
    if (!(fx > 0.0 && fy > 0.0 && fx < 1000.0 * span && fy < 1000.0 * span))
        return QStringLiteral("implausible focal lengths fx = %1, fy = %2").arg(fx).arg(fy);
    if (std::abs(cx - 0.5 * w) > 10.0 * w || std::abs(cy - 0.5 * h) > 10.0 * h)
        return QStringLiteral("implausible principal point (%1, %2)").arg(cx).arg(cy);
    return QString();
}

void logUnusableResult(LogSink& log, const QString& problem)
{
    log.append(QStringLiteral("Error: The calibration gave an unusable result (%1); nothing was stored or written. "
                              "Aborting.\n\n")
                   .arg(problem),
               logcolor::Red);
}

} // namespace vantiro::intrinsic
