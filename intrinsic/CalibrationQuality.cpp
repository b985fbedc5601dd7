#include "intrinsic/CalibrationQuality.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "intrinsic/IntrinsicCalibration.h"

namespace vantiro::intrinsic {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Columns of cv::projectPoints' Jacobian: rvec, tvec, (fx, fy), (cx, cy), distortion.
constexpr int kRvecCol = 0;
constexpr int kTvecCol = 3;
constexpr int kIntrinsicCol = 6;

cv::Mat distortionRow(const cv::Mat& distortion)
{
    cv::Mat row;
    if (!distortion.empty())
        distortion.reshape(1, 1).convertTo(row, CV_64F);
    return row;
}

// Smallest eigenvalue relative to the largest below which the views do not tell the parameters apart.
constexpr double kRankTolerance = 1e-13;

} // namespace

FreeIntrinsics freeIntrinsics(int flags, int distortionCount, double aspectRatio)
{
    FreeIntrinsics out;
    const int rows = 4 + distortionCount;
    std::vector<cv::Mat> columns;
    auto add = [&](const char* name, std::initializer_list<std::pair<int, double>> entries) {
        cv::Mat c = cv::Mat::zeros(rows, 1, CV_64F);
        for (const auto& [row, value] : entries)
            c.at<double>(row) = value;
        columns.push_back(c);
        out.names << QLatin1String(name);
    };
    if (!(flags & cv::CALIB_FIX_FOCAL_LENGTH)) {
        if (flags & cv::CALIB_FIX_ASPECT_RATIO) {
            add("f", {{0, aspectRatio}, {1, 1.0}});
        } else {
            add("fx", {{0, 1.0}});
            add("fy", {{1, 1.0}});
        }
    }
    if (!(flags & cv::CALIB_FIX_PRINCIPAL_POINT)) {
        add("cx", {{2, 1.0}});
        add("cy", {{3, 1.0}});
    }
    // The library fixes k4..k6 unless the rational model is on, and never moves the tangential
    // terms when they are held at zero or fixed.
    const bool tangential = !(flags & (cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_TANGENT_DIST));
    const bool rational = flags & cv::CALIB_RATIONAL_MODEL;
    const struct
    {
        const char* name;
        int index;
        bool free;
    } coefficients[] = {{"k1", 0, !(flags & cv::CALIB_FIX_K1)},
                        {"k2", 1, !(flags & cv::CALIB_FIX_K2)},
                        {"p1", 2, tangential},
                        {"p2", 3, tangential},
                        {"k3", 4, !(flags & cv::CALIB_FIX_K3)},
                        {"k4", 5, rational && !(flags & cv::CALIB_FIX_K4)},
                        {"k5", 6, rational && !(flags & cv::CALIB_FIX_K5)},
                        {"k6", 7, rational && !(flags & cv::CALIB_FIX_K6)}};
    for (const auto& c : coefficients)
        if (c.free && c.index < distortionCount)
            add(c.name, {{4 + c.index, 1.0}});
    if (columns.empty())
        out.basis = cv::Mat::zeros(rows, 0, CV_64F);
    else
        cv::hconcat(columns, out.basis);
    return out;
}

namespace {

// Inverse of a symmetric matrix scaled to a unit diagonal by scale (S M S), or empty when its
// smallest eigenvalue is not above tolerance times reference.
cv::Mat scaledInverse(const cv::Mat& M, const cv::Mat& scale, double tolerance, double reference = 0.0)
{
    const cv::Mat S = cv::Mat::diag(scale);
    cv::Mat values, vectors;
    cv::eigen(S * M * S, values, vectors);
    const double largest = reference > 0.0 ? reference : values.at<double>(0);
    if (!(values.at<double>(values.rows - 1) > tolerance * largest))
        return cv::Mat();
    // eigen gives S M S = V^T diag(values) V, so its inverse is V^T diag(1 / values) V.
    cv::Mat inverseValues;
    cv::divide(1.0, values, inverseValues);
    return S * (vectors.t() * cv::Mat::diag(inverseValues) * vectors) * S;
}

cv::Mat inverseSqrtDiagonal(const cv::Mat& M)
{
    cv::Mat scale(M.rows, 1, CV_64F);
    for (int i = 0; i < M.rows; ++i)
        scale.at<double>(i) = 1.0 / std::sqrt(M.at<double>(i, i));
    return scale;
}

// A diagonal entry of J^T J that is not positive: that parameter moves no corner.
int firstDead(const cv::Mat& M)
{
    for (int i = 0; i < M.rows; ++i) {
        const double d = M.at<double>(i, i);
        if (!(d > 0.0) || !std::isfinite(d))
            return i;
    }
    return -1;
}

} // namespace

ProjectionUncertainty::ProjectionUncertainty(const QualityInput& input)
{
    input.K.convertTo(m_K, CV_64F);
    CV_Assert(m_K.rows == 3 && m_K.cols == 3 && m_K.at<double>(1, 1) != 0.0);
    m_distortion = distortionRow(input.distortion);
    const int nd = int(m_distortion.total());
    m_free = freeIntrinsics(input.flags, nd, m_K.at<double>(0, 0) / m_K.at<double>(1, 1));
    const int ni = m_free.names.size();
    const int nv = int(input.views.size());
    m_parameters = ni + 6 * nv;

    cv::Mat A = cv::Mat::zeros(ni, ni, CV_64F);
    std::vector<cv::Mat> B(static_cast<size_t>(nv)), D(static_cast<size_t>(nv));
    m_views.resize(size_t(nv));
    double squares = 0.0;
    for (int v = 0; v < nv; ++v) {
        const QualityView& view = input.views[size_t(v)];
        CV_Assert(view.objectPoints.size() == view.imagePoints.size());
        View& block = m_views[size_t(v)];
        cv::Mat dR;
        cv::Rodrigues(view.rvec, block.R, dR);
        for (int k = 0; k < 3; ++k)
            block.dR[size_t(k)] = cv::Matx33d(dR.ptr<double>(k));
        block.t = view.tvec;
        D[size_t(v)] = cv::Mat::zeros(6, 6, CV_64F);
        B[size_t(v)] = cv::Mat::zeros(ni, 6, CV_64F);
        if (view.objectPoints.empty())
            continue;
        std::vector<cv::Point2f> projected;
        cv::Mat jacobian;
        cv::projectPoints(view.objectPoints, view.rvec, view.tvec, m_K, m_distortion, projected, jacobian);
        for (size_t j = 0; j < projected.size(); ++j) {
            const cv::Point2d r = cv::Point2d(projected[j]) - cv::Point2d(view.imagePoints[j]);
            squares += r.dot(r);
        }
        m_observations += 2 * int(projected.size());
        const cv::Mat Jp = jacobian.colRange(kRvecCol, kRvecCol + 6);
        D[size_t(v)] = Jp.t() * Jp;
        if (ni == 0) // every intrinsic fixed: the views are independent
            continue;
        const cv::Mat Ji = jacobian.colRange(kIntrinsicCol, kIntrinsicCol + 4 + nd) * m_free.basis;
        A += Ji.t() * Ji;
        B[size_t(v)] = Ji.t() * Jp;
    }

    if (degreesOfFreedom() <= 0) {
        m_problem = QStringLiteral("%1 corner coordinates do not outnumber the %2 free parameters")
                        .arg(m_observations)
                        .arg(m_parameters);
        return;
    }
    m_sigma = std::sqrt(squares / degreesOfFreedom());

    if (const int i = firstDead(A); i >= 0) {
        m_problem = QStringLiteral("the corners do not depend on %1").arg(m_free.names[i]);
        return;
    }
    // Each pose block, then what the poses leave of the intrinsics, must be well determined; both
    // are judged scaled to a unit diagonal, so that the parameters' units do not matter.
    cv::Mat schur = A.clone();
    for (int v = 0; v < nv; ++v) {
        if (firstDead(D[size_t(v)]) >= 0) {
            m_problem = QStringLiteral("the corners do not depend on the pose of view %1").arg(v);
            return;
        }
        const cv::Mat inverse = scaledInverse(D[size_t(v)], inverseSqrtDiagonal(D[size_t(v)]), kRankTolerance);
        if (inverse.empty()) {
            m_problem = QStringLiteral("the corners of view %1 do not determine its pose").arg(v);
            return;
        }
        View& block = m_views[size_t(v)];
        block.Dinverse = cv::Matx<double, 6, 6>(inverse);
        block.E = inverse * B[size_t(v)].t();
        if (ni > 0)
            schur -= B[size_t(v)] * block.E;
    }
    if (ni > 0) {
        // Scaled, A has a unit diagonal; its largest eigenvalue is at most ni.
        m_Sinverse = scaledInverse(schur, inverseSqrtDiagonal(A), kRankTolerance, double(ni));
        if (m_Sinverse.empty()) {
            m_problem = QStringLiteral("the views do not determine all free parameters");
            return;
        }
    }
}

cv::Mat ProjectionUncertainty::intrinsicCovariance() const
{
    if (!valid())
        return cv::Mat();
    if (m_Sinverse.empty())
        return cv::Mat::zeros(0, 0, CV_64F);
    return m_sigma * m_sigma * m_Sinverse;
}

std::vector<bool> unprojectPixels(const std::vector<cv::Point2d>& pixels, const cv::Mat& K, const cv::Mat& distortion,
                                  std::vector<cv::Point2d>& rays)
{
    std::vector<bool> ok(pixels.size(), false);
    rays.assign(pixels.size(), cv::Point2d(kNaN, kNaN));
    if (pixels.empty())
        return ok;
    const cv::Mat d = distortionRow(distortion);
    cv::undistortPoints(pixels, rays, K, d, cv::noArray(), cv::noArray(),
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-14));
    // The library's fixed-point iteration stalls in strongly distorted corners; Newton on the
    // projection finishes the job and tells where there is no inverse at all.
    std::vector<cv::Point3d> points(pixels.size());
    const cv::Mat zero = cv::Mat::zeros(3, 1, CV_64F);
    constexpr int kIterations = 6;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        for (size_t i = 0; i < rays.size(); ++i)
            points[i] = std::isfinite(rays[i].x) && std::isfinite(rays[i].y) ? cv::Point3d(rays[i].x, rays[i].y, 1.0)
                                                                             : cv::Point3d(0.0, 0.0, 1.0);
        std::vector<cv::Point2d> projected;
        cv::Mat jacobian;
        cv::projectPoints(points, zero, zero, K, d, projected, jacobian);
        const bool last = iteration == kIterations - 1;
        for (size_t i = 0; i < rays.size(); ++i) {
            // With the point at (x, y, 1) and a zero pose, d(pixel)/d(tvec) is d(pixel)/d(x, y, z).
            const int r = 2 * int(i);
            const cv::Matx22d J(jacobian.at<double>(r, kTvecCol), jacobian.at<double>(r, kTvecCol + 1),
                                jacobian.at<double>(r + 1, kTvecCol), jacobian.at<double>(r + 1, kTvecCol + 1));
            const cv::Vec2d error(projected[i].x - pixels[i].x, projected[i].y - pixels[i].y);
            const double det = cv::determinant(J);
            if (last) {
                ok[i] = std::isfinite(rays[i].x) && det > 0.0 && cv::norm(error) < 1e-4;
                if (!ok[i])
                    rays[i] = cv::Point2d(kNaN, kNaN);
                continue;
            }
            if (!(det > 0.0) || !std::isfinite(rays[i].x))
                continue;
            const cv::Vec2d step = J.inv() * error;
            rays[i] -= cv::Point2d(step[0], step[1]);
        }
    }
    return ok;
}

std::vector<PixelUncertainty> ProjectionUncertainty::at(const std::vector<cv::Point2d>& pixels, double distance) const
{
    std::vector<PixelUncertainty> out(pixels.size());
    if (!valid() || pixels.empty())
        return out;
    const bool finite = std::isfinite(distance) && distance > 0.0;
    std::vector<cv::Point2d> rays;
    const std::vector<bool> ok = unprojectPixels(pixels, m_K, m_distortion, rays);

    const int ni = m_free.names.size();
    const int nd = int(m_distortion.total());
    const double weight = 1.0 / double(m_views.size());
    const cv::Mat zero = cv::Mat::zeros(3, 1, CV_64F);
    constexpr size_t kChunk = 512;
    for (size_t begin = 0; begin < pixels.size(); begin += kChunk) {
        const size_t end = std::min(pixels.size(), begin + kChunk);
        const int m = int(end - begin);
        std::vector<cv::Point3d> scene(static_cast<size_t>(m));
        for (int i = 0; i < m; ++i) {
            const cv::Point2d ray = ok[begin + size_t(i)] ? rays[begin + size_t(i)] : cv::Point2d(0.0, 0.0);
            const cv::Vec3d d(ray.x, ray.y, 1.0);
            scene[size_t(i)] = finite ? cv::Point3d(d * (distance / cv::norm(d))) : cv::Point3d(d / cv::norm(d));
        }
        // Perturbed intrinsics project the unmoved point; projection is scale-invariant, so the
        // direction gives the same derivative. With a zero pose, d(pixel)/d(tvec) is d(pixel)/d(point).
        std::vector<cv::Point2d> projected;
        cv::Mat jacobian;
        cv::projectPoints(scene, zero, zero, m_K, m_distortion, projected, jacobian);
        // x^T (J^T J)^-1 y through the arrow shape, for the rows x, y of the chain's derivative g:
        // r^T S^-1 r' + sum over views of gv^T D^-1 gv', with r = gi - sum gv^T E.
        cv::Mat r = ni > 0 ? cv::Mat(jacobian.colRange(kIntrinsicCol, kIntrinsicCol + 4 + nd) * m_free.basis)
                           : cv::Mat();
        std::vector<cv::Vec3d> form(static_cast<size_t>(m)); // (x x, y y, x y)
        for (int i = 0; i < m; ++i) {
            const double* jx = jacobian.ptr<double>(2 * i);
            const double* jy = jacobian.ptr<double>(2 * i + 1);
            const cv::Matx23d dq(jx[kTvecCol], jx[kTvecCol + 1], jx[kTvecCol + 2], jy[kTvecCol], jy[kTvecCol + 1],
                                 jy[kTvecCol + 2]);
            const cv::Vec3d P(scene[size_t(i)]);
            for (const View& view : m_views) {
                // Each view carries the point into its board frame; its perturbed pose carries it
                // back, and the views' results are averaged. A direction does not move with a
                // translation.
                const cv::Vec3d onBoard = view.R.t() * (finite ? P - view.t : P);
                cv::Matx<double, 2, 6> g = cv::Matx<double, 2, 6>::zeros();
                for (int k = 0; k < 3; ++k) {
                    const cv::Vec2d d = dq * (view.dR[size_t(k)] * onBoard);
                    g(0, k) = weight * d[0];
                    g(1, k) = weight * d[1];
                    if (finite) {
                        g(0, 3 + k) = weight * dq(0, k);
                        g(1, 3 + k) = weight * dq(1, k);
                    }
                }
                const cv::Matx<double, 2, 6> gD = g * view.Dinverse;
                form[size_t(i)] += cv::Vec3d(gD.row(0).dot(g.row(0)), gD.row(1).dot(g.row(1)), gD.row(0).dot(g.row(1)));
                for (int row = 0; row < 2 && ni > 0; ++row) {
                    double* ri = r.ptr<double>(2 * i + row);
                    for (int k = 0; k < 6; ++k) {
                        const double* e = view.E.ptr<double>(k);
                        for (int c = 0; c < ni; ++c)
                            ri[c] -= g(row, k) * e[c];
                    }
                }
            }
        }
        if (ni > 0) {
            const cv::Mat x = r * m_Sinverse;
            for (int i = 0; i < m; ++i)
                form[size_t(i)] += cv::Vec3d(r.row(2 * i).dot(x.row(2 * i)), r.row(2 * i + 1).dot(x.row(2 * i + 1)),
                                             r.row(2 * i).dot(x.row(2 * i + 1)));
        }
        const double variance = m_sigma * m_sigma;
        for (int i = 0; i < m; ++i) {
            if (!ok[begin + size_t(i)])
                continue;
            const double xx = variance * form[size_t(i)][0], yy = variance * form[size_t(i)][1];
            const double xy = variance * form[size_t(i)][2];
            PixelUncertainty& u = out[begin + size_t(i)];
            u.covariance = cv::Matx22d(xx, xy, xy, yy);
            const double mean = 0.5 * (xx + yy);
            const double spread = std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
            u.sigma = std::sqrt(std::max(0.0, mean + spread));
        }
    }
    return out;
}

cv::Point2d UncertaintyMap::node(int column, int row) const
{
    const double sx = sigma.cols > 1 ? double(imageSize.width - 1) / (sigma.cols - 1) : 0.0;
    const double sy = sigma.rows > 1 ? double(imageSize.height - 1) / (sigma.rows - 1) : 0.0;
    return {column * sx, row * sy};
}

double UncertaintyMap::at(cv::Point2d pixel) const
{
    if (sigma.empty())
        return kNaN;
    const double gx = imageSize.width > 1 ? pixel.x * (sigma.cols - 1) / (imageSize.width - 1) : 0.0;
    const double gy = imageSize.height > 1 ? pixel.y * (sigma.rows - 1) / (imageSize.height - 1) : 0.0;
    const double cx = std::clamp(gx, 0.0, double(sigma.cols - 1));
    const double cy = std::clamp(gy, 0.0, double(sigma.rows - 1));
    const int x0 = std::min(int(cx), std::max(0, sigma.cols - 2));
    const int y0 = std::min(int(cy), std::max(0, sigma.rows - 2));
    const int x1 = std::min(x0 + 1, sigma.cols - 1);
    const int y1 = std::min(y0 + 1, sigma.rows - 1);
    const double fx = cx - x0, fy = cy - y0;
    const auto v = [this](int r, int c) { return double(sigma.at<float>(r, c)); };
    return (1 - fy) * ((1 - fx) * v(y0, x0) + fx * v(y0, x1)) + fy * ((1 - fx) * v(y1, x0) + fx * v(y1, x1));
}

double CalibrationQuality::worstCorner() const
{
    double worst = 0.0;
    for (double c : corners) {
        if (!std::isfinite(c))
            return kNaN;
        worst = std::max(worst, c);
    }
    return worst;
}

bool CalibrationQuality::cornersPoor() const
{
    if (!determined())
        return false;
    const double worst = worstCorner();
    // An absolute floor keeps a very good calibration from being called poor for a ratio alone.
    return !std::isfinite(worst) || worst > std::max(0.1, 5.0 * centre);
}

QString formatPixels(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("not determined");
    if (value >= 100.0)
        return QString::number(value, 'f', 0);
    if (value >= 10.0)
        return QString::number(value, 'f', 1);
    return QString::number(value, 'g', 2);
}

QString CalibrationQuality::summary() const
{
    if (!determined())
        return QStringLiteral("Projection uncertainty not determined: %1.\n").arg(problem);
    const QString metres = QString::number(distance / 1000.0, 'g', 3);
    double best = corners[0];
    for (double c : corners)
        best = std::min(best, c);
    const double worst = worstCorner();
    QString cornerText;
    if (!std::isfinite(worst))
        cornerText = QStringLiteral("not determined at the corners");
    else if (formatPixels(best) == formatPixels(worst))
        cornerText = QStringLiteral("%1 px at the corners").arg(formatPixels(worst));
    else
        cornerText = QStringLiteral("%1 to %2 px at the corners").arg(formatPixels(best), formatPixels(worst));
    QString line = QStringLiteral("Projection uncertainty at %1 m: %2 px at the centre, %3.")
                       .arg(metres, formatPixels(centre), cornerText);
    if (cornersPoor())
        line += QStringLiteral(" The corners are poorly determined: more views with the target near the image borders "
                               "would help.");
    return line + QStringLiteral("\n");
}

void logQuality(const CalibrationQuality& quality, LogSink& log)
{
    const bool warn = !quality.determined() || quality.cornersPoor();
    log.append(quality.summary() + QStringLiteral("\n"), warn ? logcolor::Orange : QString());
}

QualityInput qualityInput(const IntrinsicState& state, const std::vector<int>& usedImages, int flags)
{
    QualityInput in;
    in.K = state.K;
    in.distortion = state.distortion;
    in.imageSize = state.imageSize;
    in.flags = flags;
    for (int i : usedImages) {
        const ImageState& image = state.images.at(size_t(i));
        QualityView v;
        v.image = i;
        v.objectPoints = image.objectPoints;
        v.imagePoints = image.imagePoints;
        cv::Mat r, t;
        image.rvec.reshape(1, 3).convertTo(r, CV_64F);
        image.tvec.reshape(1, 3).convertTo(t, CV_64F);
        v.rvec = cv::Vec3d(r);
        v.tvec = cv::Vec3d(t);
        in.views.push_back(std::move(v));
    }
    return in;
}

namespace {

UncertaintyMap uncertaintyMap(const ProjectionUncertainty& model, cv::Size size, double spacing, double distance)
{
    UncertaintyMap map;
    map.imageSize = size;
    const int columns = std::max(2, int(std::ceil((size.width - 1) / spacing)) + 1);
    const int rows = std::max(2, int(std::ceil((size.height - 1) / spacing)) + 1);
    map.sigma.create(rows, columns, CV_32F);
    std::vector<cv::Point2d> nodes;
    nodes.reserve(size_t(rows * columns));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            nodes.push_back(map.node(c, r));
    const std::vector<PixelUncertainty> u = model.at(nodes, distance);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            map.sigma.at<float>(r, c) = float(u[size_t(r * columns + c)].sigma);
    return map;
}

void measureCoverage(const QualityInput& input, CalibrationQuality& q)
{
    const cv::Size size = input.imageSize;
    q.cornerCount = cv::Mat::zeros((size.height + q.cellSize - 1) / q.cellSize,
                                   (size.width + q.cellSize - 1) / q.cellSize, CV_32S);
    // The covered area is drawn at most about a megapixel large; its outline is all that is coarser.
    q.coverageScale = std::min(1.0, 1024.0 / std::max(size.width, size.height));
    const cv::Size maskSize(std::max(1, int(std::lround(size.width * q.coverageScale))),
                            std::max(1, int(std::lround(size.height * q.coverageScale))));
    q.covered = cv::Mat::zeros(maskSize, CV_8U);
    constexpr int kShift = 4; // sub-pixel vertices for fillConvexPoly
    for (const QualityView& v : input.views) {
        std::vector<cv::Point2f> inside;
        for (const cv::Point2f& p : v.imagePoints) {
            if (!(p.x >= 0.0f && p.y >= 0.0f && p.x < float(size.width) && p.y < float(size.height)))
                continue;
            ++q.cornerCount.at<int>(int(p.y) / q.cellSize, int(p.x) / q.cellSize);
            inside.push_back(p);
        }
        if (inside.size() < 3)
            continue;
        std::vector<cv::Point2f> hull;
        cv::convexHull(inside, hull);
        std::vector<cv::Point> scaled;
        for (const cv::Point2f& p : hull)
            scaled.emplace_back(int(std::lround(p.x * q.coverageScale * (1 << kShift))),
                                int(std::lround(p.y * q.coverageScale * (1 << kShift))));
        cv::fillConvexPoly(q.covered, scaled, cv::Scalar(255), cv::LINE_8, kShift);
    }
    q.coveredFraction = double(cv::countNonZero(q.covered)) / double(q.covered.total());
}

void measureResiduals(const QualityInput& input, const cv::Mat& K, const cv::Mat& distortion, CalibrationQuality& q)
{
    for (const QualityView& v : input.views) {
        ViewResiduals out;
        out.image = v.image;
        out.points = v.imagePoints;
        std::vector<cv::Point2f> projected;
        if (!v.objectPoints.empty())
            cv::projectPoints(v.objectPoints, v.rvec, v.tvec, K, distortion, projected);
        double squares = 0.0;
        for (size_t j = 0; j < projected.size(); ++j) {
            out.residuals.push_back(v.imagePoints[j] - projected[j]);
            squares += double(out.residuals.back().dot(out.residuals.back()));
        }
        out.rms = projected.empty() ? 0.0 : std::sqrt(squares / double(projected.size()));
        q.views.push_back(std::move(out));
    }
}

} // namespace

CalibrationQuality assessCalibration(const QualityInput& input, const QualityOptions& options)
{
    CV_Assert(input.imageSize.width > 0 && input.imageSize.height > 0 && options.cellSize > 0);
    CalibrationQuality q;
    q.imageSize = input.imageSize;
    q.distance = options.distance;
    q.cellSize = options.cellSize;

    const ProjectionUncertainty model(input);
    q.sigma = model.sigma();
    q.observations = model.observations();
    q.parameters = model.parameters();
    q.intrinsicNames = model.intrinsics().names;
    q.problem = model.problem();
    measureCoverage(input, q);
    measureResiduals(input, input.K, distortionRow(input.distortion), q);
    if (!model.valid())
        return q;

    for (int i = 0; i < q.intrinsicNames.size(); ++i)
        q.intrinsicDeviations.push_back(std::sqrt(model.intrinsicCovariance().at<double>(i, i)));
    const cv::Size size = input.imageSize;
    const double spacing =
        options.gridSpacing > 0.0 ? options.gridSpacing : std::max(8.0, std::max(size.width, size.height) / 64.0);
    q.atDistance = uncertaintyMap(model, size, spacing, options.distance);
    q.atInfinity = uncertaintyMap(model, size, spacing, kNaN);
    const double w = size.width - 1, h = size.height - 1;
    const std::vector<cv::Point2d> probes = {{w / 2, h / 2}, {0, 0}, {w, 0}, {0, h}, {w, h}};
    const std::vector<PixelUncertainty> near = model.at(probes, options.distance);
    const std::vector<PixelUncertainty> far = model.at(probes, kNaN);
    q.centre = near[0].sigma;
    q.centreInfinity = far[0].sigma;
    for (size_t c = 0; c < 4; ++c) {
        q.corners[c] = near[c + 1].sigma;
        q.cornersInfinity[c] = far[c + 1].sigma;
    }
    return q;
}

std::shared_ptr<const CalibrationQuality> assessCalibration(const IntrinsicState& state,
                                                            const std::vector<int>& usedImages, int flags)
{
    auto q = std::make_shared<CalibrationQuality>();
    try {
        *q = assessCalibration(qualityInput(state, usedImages, flags));
    } catch (const cv::Exception& e) {
        q->problem = QString::fromStdString(e.what()).trimmed();
    } catch (const std::exception& e) {
        q->problem = QString::fromLocal8Bit(e.what()).trimmed();
    }
    return q;
}

} // namespace vantiro::intrinsic
