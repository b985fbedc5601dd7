#include "synth/Renderer.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>

#include "synth/CameraModelDetail.h"

namespace vantiro::synth {

TargetPose TargetPose::fromRvec(const cv::Vec3d& rvec, const cv::Vec3d& t)
{
    TargetPose p;
    cv::Rodrigues(rvec, p.R);
    p.t = t;
    return p;
}

cv::Vec3d TargetPose::rvec() const
{
    cv::Vec3d r;
    cv::Rodrigues(R, r);
    return r;
}

cv::Vec3d TargetPose::cameraCentreOnBoard() const
{
    return -(R.t() * t);
}

namespace {

cv::Matx33d rotX(double deg)
{
    const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
    return {1, 0, 0, 0, c, -s, 0, s, c};
}

cv::Matx33d rotY(double deg)
{
    const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
    return {c, 0, s, 0, 1, 0, -s, 0, c};
}

cv::Matx33d rotZ(double deg)
{
    const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
    return {c, -s, 0, s, c, 0, 0, 0, 1};
}

} // namespace

TargetPose viewPose(const BoardPattern& board, double distance, double tiltXDeg, double tiltYDeg, double rollDeg,
                    const cv::Vec3d& shift)
{
    const cv::Size2d g = board.gridSize();
    const cv::Vec3d centre(0.5 * g.width, 0.5 * g.height, 0.0);
    TargetPose p;
    p.R = rotZ(rollDeg) * rotX(tiltXDeg) * rotY(tiltYDeg);
    p.t = cv::Vec3d(0, 0, distance) + shift - p.R * centre;
    return p;
}

double distanceForCoverage(const CameraModel& camera, const BoardPattern& board, double fraction)
{
    const cv::Size2d g = board.gridSize();
    const double dx = camera.K(0, 0) * g.width / (fraction * camera.size.width);
    const double dy = camera.K(1, 1) * g.height / (fraction * camera.size.height);
    return std::max(dx, dy);
}

namespace {

// The board plane in camera coordinates, set up once per pose.
struct Plane
{
    explicit Plane(const TargetPose& pose)
        : R(pose.R), t(pose.t), normal(pose.R(0, 2), pose.R(1, 2), pose.R(2, 2)), offset(normal.dot(pose.t))
    {
        front = pose.cameraCentreOnBoard()[2] < 0;
    }

    bool hit(const cv::Vec3d& ray, cv::Point2d& board, double* depth) const
    {
        const double denom = normal.dot(ray);
        if (!(std::abs(denom) > 1e-15))
            return false;
        const double lambda = offset / denom;
        if (!(lambda > 0))
            return false;
        const cv::Vec3d d = lambda * ray - t;
        // R^T * d, the first two rows only
        board = cv::Point2d(R(0, 0) * d[0] + R(1, 0) * d[1] + R(2, 0) * d[2],
                            R(0, 1) * d[0] + R(1, 1) * d[1] + R(2, 1) * d[2]);
        if (depth)
            *depth = lambda * ray[2];
        return true;
    }

    cv::Matx33d R;
    cv::Vec3d t;
    cv::Vec3d normal;
    double offset;
    bool front = true;
};

} // namespace

bool intersectTargetPlane(const TargetPose& pose, const cv::Vec3d& ray, cv::Point2d& boardPoint, double* depth)
{
    return Plane(pose).hit(ray, boardPoint, depth);
}

namespace {

// Sample positions inside a pixel, as offsets from its centre: a Hammersley set of n^2
// points, shifted per pixel (toroidally, by a hash of the pixel position). The set has n^2
// distinct abscissae and ordinates, so an axis-aligned edge moves the pixel value in n^2
// steps, and few points in any corner region, so an X-junction inside the pixel is weighed
// fairly. The per-pixel shift turns what error remains into noise instead of a pattern
// that repeats with the pixel grid and would bias corner positions.
std::vector<cv::Point2d> hammersley(int n)
{
    const int N = n * n;
    std::vector<cv::Point2d> points;
    points.reserve(size_t(N));
    for (int k = 0; k < N; ++k) {
        double inverse = 0.0, f = 0.5;
        for (int b = k; b; b >>= 1, f *= 0.5)
            if (b & 1)
                inverse += f;
        points.emplace_back((k + 0.5) / N, inverse);
    }
    return points;
}

cv::Point2d pixelShift(int x, int y)
{
    uint64_t h = uint64_t(uint32_t(x)) * 0x9E3779B97F4A7C15ULL ^ uint64_t(uint32_t(y)) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
    return {double(h & 0xFFFFFF) / double(0x1000000), double((h >> 24) & 0xFFFFFF) / double(0x1000000)};
}

struct Sample
{
    cv::Vec3f value;
    cv::Point2d normalized; // valid when 'ok'
    bool ok = false;
};

// The tracer, templated on the shader so the board renderer pays no call overhead.
//
// Each pixel is first probed at its four corners (shared with its neighbours) and its centre;
// when the five agree exactly the pixel is uniform and takes that value, otherwise it is
// sampled n x n. Details smaller than about half a pixel that touch none of the five probes
// are therefore missed in otherwise uniform pixels.
template <class Shader>
cv::Mat tracePlane(const CameraModel& camera, const TargetPose& pose, int supersampling, const Shader& shader,
                   const cv::Vec3f& background)
{
    if (camera.size.width <= 0 || camera.size.height <= 0)
        throw std::invalid_argument("Synthetic view: the image size is empty");
    if (supersampling < 1 || supersampling > 16)
        throw std::invalid_argument("Synthetic view: supersampling must lie in 1..16");
    const detail::Distortion lens(camera);
    const Plane plane(pose);
    const int W = camera.size.width;
    const std::vector<cv::Point2d> unitSamples = hammersley(supersampling);
    const float weight = 1.f / float(unitSamples.size());
    cv::Mat out(camera.size, CV_32FC3);

    // Radiance along the ray through the normalised point xy, seen at 'pixel'.
    const auto shadeRay = [&](cv::Point2d pixel, cv::Point2d xy) -> cv::Vec3f {
        PlaneSample ps;
        ps.pixel = pixel;
        ps.frontSide = plane.front;
        return plane.hit(cv::Vec3d(xy.x, xy.y, 1.0), ps.board, nullptr) ? cv::Vec3f(shader(ps)) : background;
    };
    // 'near': a nearby solution of the lens inversion, from which it converges in a step or two.
    const auto sampleAt = [&](cv::Point2d pixel, const Sample* near) {
        Sample s;
        const cv::Point2d* guess = near && near->ok ? &near->normalized : nullptr;
        if (!lens.pixelToNormalized(pixel, s.normalized, guess)) {
            s.value = background;
            return s;
        }
        s.ok = true;
        s.value = shadeRay(pixel, s.normalized);
        return s;
    };
    const auto cornerRow = [&](double v, std::vector<Sample>& row) {
        for (int x = 0; x <= W; ++x)
            row[size_t(x)] = sampleAt(cv::Point2d(x - 0.5, v), x > 0 ? &row[size_t(x - 1)] : nullptr);
    };

    cv::parallel_for_(cv::Range(0, camera.size.height), [&](const cv::Range& rows) {
        std::vector<Sample> top(size_t(W + 1)), bottom(size_t(W + 1));
        cornerRow(rows.start - 0.5, top);
        for (int y = rows.start; y < rows.end; ++y) {
            cornerRow(y + 0.5, bottom);
            cv::Vec3f* dst = out.ptr<cv::Vec3f>(y);
            for (int x = 0; x < W; ++x) {
                const Sample centre = sampleAt(cv::Point2d(x, y), &top[size_t(x)]);
                const cv::Vec3f& v = centre.value;
                if (top[size_t(x)].value == v && top[size_t(x + 1)].value == v && bottom[size_t(x)].value == v &&
                    bottom[size_t(x + 1)].value == v) {
                    dst[x] = v;
                    continue;
                }
                // Within the pixel the inverse lens is linear to about 1e-5 px: the samples take
                // the centre's exact ray and its derivative, except near the fold radius.
                cv::Matx22d toUndistorted;
                bool linear = false;
                if (centre.ok && !lens.identity) {
                    const cv::Point2d c = centre.normalized;
                    cv::Matx22d J;
                    lens.distort(c, &J);
                    linear = c.x * c.x + c.y * c.y < 0.8 * lens.maxR2 && cv::determinant(J) > 0.1;
                    if (linear)
                        toUndistorted = J.inv() * cv::Matx22d(1.0 / lens.fx, 0, 0, 1.0 / lens.fy);
                }
                cv::Vec3f acc;
                const cv::Point2d shift = pixelShift(x, y);
                for (const cv::Point2d& u : unitSamples) {
                    const double ox = u.x + shift.x, oy = u.y + shift.y;
                    const cv::Point2d offset((ox < 1 ? ox : ox - 1) - 0.5, (oy < 1 ? oy : oy - 1) - 0.5);
                    if (!linear) {
                        acc += sampleAt(cv::Point2d(x + offset.x, y + offset.y), &centre).value;
                        continue;
                    }
                    const cv::Vec2d d = toUndistorted * cv::Vec2d(offset.x, offset.y);
                    acc += shadeRay(cv::Point2d(x + offset.x, y + offset.y),
                                    centre.normalized + cv::Point2d(d[0], d[1]));
                }
                dst[x] = acc * weight;
            }
            std::swap(top, bottom);
        }
    });
    return out;
}

} // namespace

cv::Mat renderPlane(const CameraModel& camera, const TargetPose& pose, int supersampling, const PlaneShader& shader,
                    const cv::Vec3f& background)
{
    return tracePlane(camera, pose, supersampling, shader, background);
}

cv::Mat applySensorEffects(const cv::Mat& radiance, const SensorEffects& e)
{
    CV_Assert(radiance.depth() == CV_32F && (radiance.channels() == 1 || radiance.channels() == 3));
    cv::Mat img = radiance.clone();
    const int W = img.cols, H = img.rows;
    if (e.gradient != 0.0 || e.vignetting != 0.0) {
        const double a = e.gradientAngleDeg * CV_PI / 180.0;
        const double ca = std::cos(a), sa = std::sin(a);
        const double extent = std::max(1e-9, std::abs((W - 1) * ca) + std::abs((H - 1) * sa));
        const double cx = 0.5 * (W - 1), cy = 0.5 * (H - 1);
        const double rmax2 = std::max(1e-9, cx * cx + cy * cy);
        const int cn = img.channels();
        for (int y = 0; y < H; ++y) {
            float* row = img.ptr<float>(y);
            for (int x = 0; x < W; ++x) {
                const double s = ((x - cx) * ca + (y - cy) * sa) / extent + 0.5; // 0 .. 1 across the image
                double gain = 1.0 - e.gradient * s;
                gain *= 1.0 - e.vignetting * ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / rmax2;
                for (int c = 0; c < cn; ++c)
                    row[x * cn + c] *= float(gain);
            }
        }
    }
    if (e.blurSigma > 0)
        cv::GaussianBlur(img, img, cv::Size(), e.blurSigma, e.blurSigma, cv::BORDER_REFLECT);
    if (e.noiseSigma > 0) {
        cv::Mat noise(img.size(), img.type());
        cv::RNG rng(e.noiseSeed);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, e.noiseSigma);
        img += noise;
    }
    cv::Mat out;
    img.convertTo(out, CV_8U); // rounds and saturates
    return out;
}

std::vector<TruthCorner> projectCorners(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                                        double truthBorder)
{
    const detail::Distortion lens(camera);
    std::vector<TruthCorner> out;
    if (!(pose.cameraCentreOnBoard()[2] < 0))
        return out; // the printed side faces away
    for (const BoardCorner& c : board.innerCorners()) {
        const cv::Vec3d P = pose.R * cv::Vec3d(c.point.x, c.point.y, 0.0) + pose.t;
        if (!(P[2] > 0))
            continue;
        const cv::Point2d xy(P[0] / P[2], P[1] / P[2]);
        if (!lens.regular(xy))
            continue;
        const cv::Point2d d = lens.distort(xy);
        const cv::Point2d px(lens.fx * d.x + lens.cx, lens.fy * d.y + lens.cy);
        if (px.x < truthBorder || px.y < truthBorder || px.x > camera.size.width - 1 - truthBorder ||
            px.y > camera.size.height - 1 - truthBorder)
            continue;
        out.push_back({c.id, c.point, px});
    }
    return out;
}

Rendering render(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                 const RenderOptions& options, double truthBorder)
{
    const SensorEffects& e = options.effects;
    const cv::Vec3f background = cv::Vec3f(cv::Vec3d(e.backgroundTint) * e.backgroundLevel);
    const cv::Vec3f back = cv::Vec3f::all(float(e.boardBackLevel));
    const cv::Vec3f light = cv::Vec3f(e.lightGain);
    const auto shader = [&](const PlaneSample& s) -> cv::Vec3f {
        const double a = board.albedo(s.board.x, s.board.y);
        if (a < 0)
            return background;
        if (!s.frontSide)
            return back;
        return light * float(e.blackLevel + (e.whiteLevel - e.blackLevel) * a);
    };
    Rendering r;
    r.colour = applySensorEffects(tracePlane(camera, pose, options.supersampling, shader, background), e);
    cv::cvtColor(r.colour, r.grey, cv::COLOR_BGR2GRAY);
    r.corners = projectCorners(camera, board, pose, truthBorder);
    return r;
}

Rendering render(const Scene& scene, double truthBorder)
{
    const BoardPattern board(scene.target, scene.radonMarker, scene.margin);
    return render(scene.camera, board, scene.pose, scene.options, truthBorder);
}

} // namespace vantiro::synth
