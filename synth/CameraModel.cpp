#include "synth/CameraModel.h"

#include "synth/CameraModelDetail.h"

#include <cmath>
#include <limits>
#include <array>
#include <optional>

namespace vantiro::synth {

CameraModel CameraModel::ideal(cv::Size size, double focalPx)
{
    CameraModel c;
    c.size = size;
    c.K = cv::Matx33d(focalPx, 0, (size.width - 1) * 0.5, 0, focalPx, (size.height - 1) * 0.5, 0, 0, 1);
    return c;
}

void CameraModel::setDistortion(const std::vector<double>& coefficients)
{
    CV_Assert(coefficients.size() == 4 || coefficients.size() == 5 || coefficients.size() == 8);
    dist = cv::Vec<double, 8>::all(0.0);
    for (size_t i = 0; i < coefficients.size(); ++i)
        dist[int(i)] = coefficients[i];
}

cv::Mat CameraModel::distCoeffs() const
{
    return cv::Mat(1, 8, CV_64F, const_cast<double*>(dist.val)).clone();
}

bool CameraModel::hasDistortion() const
{
    for (int i = 0; i < 8; ++i)
        if (dist[i] != 0.0)
            return true;
    return false;
}

namespace detail {

Distortion::Distortion(const CameraModel& camera)
    : k1(camera.dist[0]), k2(camera.dist[1]), p1(camera.dist[2]), p2(camera.dist[3]), k3(camera.dist[4]),
      k4(camera.dist[5]), k5(camera.dist[6]), k6(camera.dist[7]), fx(camera.K(0, 0)), fy(camera.K(1, 1)),
      cx(camera.K(0, 2)), cy(camera.K(1, 2))
{
    identity = !camera.hasDistortion();
    // The radial map r -> r * radial(r^2) must grow monotonically for the inverse to be unique;
    // find where it first stops doing so (or where the rational denominator vanishes).
    maxR2 = std::numeric_limits<double>::infinity();
    if (!identity) {
        const double rLimit = 20.0; // ~174 degrees full field; beyond that nothing is imaged
        const int steps = 20000;
        for (int i = 1; i <= steps; ++i) {
            const double r = rLimit * i / steps;
            const double r2 = r * r;
            const double num = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
            const double den = 1 + r2 * (k4 + r2 * (k5 + r2 * k6));
            const double dnum = k1 + r2 * (2 * k2 + 3 * r2 * k3);
            const double dden = k4 + r2 * (2 * k5 + 3 * r2 * k6);
            // d/dr (r * num / den) = num/den + 2 r^2 (dnum * den - num * dden) / den^2
            const double slope = num / den + 2 * r2 * (dnum * den - num * dden) / (den * den);
            if (den <= 0 || num / den <= 0 || slope <= 0) {
                const double rPrev = rLimit * (i - 1) / steps;
                maxR2 = rPrev * rPrev;
                break;
            }
        }
    }
}

cv::Point2d Distortion::distort(cv::Point2d p, cv::Matx22d* jacobian) const
{
    if (identity) {
        if (jacobian)
            *jacobian = cv::Matx22d::eye();
        return p;
    }
    const double x = p.x, y = p.y;
    const double r2 = x * x + y * y;
    const double num = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const double den = 1 + r2 * (k4 + r2 * (k5 + r2 * k6));
    const double radial = num / den;
    const double xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    const double yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
    if (jacobian) {
        const double dnum = k1 + r2 * (2 * k2 + 3 * r2 * k3);
        const double dden = k4 + r2 * (2 * k5 + 3 * r2 * k6);
        const double dRadial = (dnum * den - num * dden) / (den * den); // d radial / d r2
        const double cross = 2 * x * y * dRadial + 2 * p1 * x + 2 * p2 * y;
        *jacobian = cv::Matx22d(radial + 2 * x * x * dRadial + 2 * p1 * y + 6 * p2 * x, cross, cross,
                                radial + 2 * y * y * dRadial + 6 * p1 * y + 2 * p2 * x);
    }
    return {xd, yd};
}

bool Distortion::regular(cv::Point2d p) const
{
    if (identity)
        return true;
    if (p.x * p.x + p.y * p.y >= maxR2)
        return false;
    cv::Matx22d J;
    distort(p, &J);
    return cv::determinant(J) > 0;
}

bool Distortion::undistort(cv::Point2d distorted, cv::Point2d& p, const cv::Point2d* guess) const
{
    if (identity) {
        p = distorted;
        return true;
    }
    if (guess) {
        p = *guess;
    } else {
        // OpenCV's fixed-point iteration gives a good start near the centre.
        p = distorted;
        for (int i = 0; i < 8; ++i) {
            const double r2 = p.x * p.x + p.y * p.y;
            const double num = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
            const double den = 1 + r2 * (k4 + r2 * (k5 + r2 * k6));
            const double icdist = den / num;
            if (!std::isfinite(icdist) || icdist <= 0)
                break;
            const double dx = 2 * p1 * p.x * p.y + p2 * (r2 + 2 * p.x * p.x);
            const double dy = p1 * (r2 + 2 * p.y * p.y) + 2 * p2 * p.x * p.y;
            p = {(distorted.x - dx) * icdist, (distorted.y - dy) * icdist};
        }
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || p.x * p.x + p.y * p.y >= maxR2)
            p = distorted;
    }
    // Newton on distort(p) = distorted, to ~1e-9 px at focal lengths up to 1e5 px.
    const double tol = 1e-14;
    for (int it = 0; it < 30; ++it) {
        cv::Matx22d J;
        const cv::Point2d f = distort(p, &J);
        const cv::Point2d r = distorted - f;
        const double det = cv::determinant(J);
        if (r.x * r.x + r.y * r.y < tol * tol)
            return p.x * p.x + p.y * p.y < maxR2 && det > 0; // regular(p), with the Jacobian at hand
        if (!(std::abs(det) > 1e-12))
            return false;
        cv::Point2d step((J(1, 1) * r.x - J(0, 1) * r.y) / det, (-J(1, 0) * r.x + J(0, 0) * r.y) / det);
        // Damp steps that would jump across the fold radius.
        for (int halve = 0; halve < 20; ++halve) {
            const cv::Point2d q = p + step;
            if (q.x * q.x + q.y * q.y < maxR2)
                break;
            step *= 0.5;
        }
        p += step;
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
            return false;
    }
    const cv::Point2d r = distorted - distort(p);
    return r.x * r.x + r.y * r.y < 1e-20 && regular(p);
}

bool Distortion::pixelToNormalized(cv::Point2d pixel, cv::Point2d& p, const cv::Point2d* guess) const
{
    const cv::Point2d d((pixel.x - cx) / fx, (pixel.y - cy) / fy);
    return undistort(d, p, guess);
}

} // namespace detail

namespace {

// Inverting the model needs its fold radius, which takes a scan to find. Callers map pixel
// after pixel through a camera, or alternate between a camera and a projector, so the
// unpacked models of the last few cameras are kept per thread.
const detail::Distortion& lensOf(const CameraModel& camera)
{
    struct Entry
    {
        cv::Matx33d K;
        cv::Vec<double, 8> dist;
        std::optional<detail::Distortion> lens;
    };
    constexpr size_t kSlots = 4;
    thread_local std::array<Entry, kSlots> cache;
    thread_local size_t next = 0;
    for (Entry& e : cache)
        if (e.lens && e.K == camera.K && e.dist == camera.dist)
            return *e.lens;
    Entry& e = cache[next];
    next = (next + 1) % kSlots;
    e.K = camera.K;
    e.dist = camera.dist;
    e.lens.emplace(camera);
    return *e.lens;
}

} // namespace

cv::Point2d distortNormalized(const CameraModel& camera, cv::Point2d xy)
{
    return lensOf(camera).distort(xy);
}

cv::Point2d projectToPixel(const CameraModel& camera, const cv::Vec3d& X)
{
    CV_Assert(X[2] > 0);
    const cv::Point2d d = distortNormalized(camera, cv::Point2d(X[0] / X[2], X[1] / X[2]));
    return {camera.K(0, 0) * d.x + camera.K(0, 2), camera.K(1, 1) * d.y + camera.K(1, 2)};
}

bool pixelToRay(const CameraModel& camera, cv::Point2d pixel, cv::Vec3d& ray, const cv::Point2d* guess)
{
    cv::Point2d p;
    if (!lensOf(camera).pixelToNormalized(pixel, p, guess))
        return false;
    ray = cv::Vec3d(p.x, p.y, 1.0);
    return true;
}

bool distortionIsRegular(const CameraModel& camera, cv::Point2d xy)
{
    return lensOf(camera).regular(xy);
}

} // namespace vantiro::synth
