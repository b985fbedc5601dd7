#include "synth/ProjectorCapture.h"

#include <QDir>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace vantiro::synth {

namespace {

// What one camera sample sees, independent of the pattern shown.
struct SampleCache
{
    std::vector<float> reflectance; // -1: off the sheet (background)
    std::vector<float> gain;        // reflectance * projectorLevel * cos / 255, per pattern grey value
    std::vector<int32_t> index;     // lit projector pixel (row-major), -1 when unlit
};

struct Hit
{
    bool onSheet = false;
    float reflectance = -1.0f;
    double albedo = -1.0;
    bool lit = false;
    cv::Point2d projector; // continuous projector position when lit
    int32_t index = -1;    // the projector pixel it falls in (row-major) when lit
    double cosine = 0.0;
};

class Tracer
{
public:
    Tracer(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose, const ProjectorSetup& projector,
           const ProjectorLight& light)
        : m_camera(camera)
        , m_board(board)
        , m_pose(pose)
        , m_projector(projector)
        , m_light(light)
        , m_normal(pose.R(0, 2), pose.R(1, 2), pose.R(2, 2))
        , m_projectorCentre(projector.centre())
    {
    }

    Hit trace(const cv::Point2d& pixel, cv::Point2d& guess, bool& haveGuess) const
    {
        Hit hit;
        cv::Vec3d ray;
        if (!pixelToRay(m_camera, pixel, ray, haveGuess ? &guess : nullptr)) {
            haveGuess = false;
            return hit;
        }
        guess = cv::Point2d(ray[0] / ray[2], ray[1] / ray[2]);
        haveGuess = true;

        cv::Point2d boardPoint;
        double depth = 0.0;
        if (!intersectTargetPlane(m_pose, ray, boardPoint, &depth))
            return hit;
        const double albedo = m_board.albedo(boardPoint.x, boardPoint.y);
        if (albedo < 0.0)
            return hit;
        hit.onSheet = true;
        hit.albedo = albedo;
        hit.reflectance = static_cast<float>(m_light.blackInk + albedo * (1.0 - m_light.blackInk));

        const cv::Vec3d point = ray * (depth / ray[2]);
        const cv::Vec3d toProjector = m_projectorCentre - point;
        const double cameraSide = -m_normal.dot(point);
        const double projectorSide = m_normal.dot(toProjector);
        if (cameraSide * projectorSide <= 0.0)
            return hit; // the projector lights the other face
        const cv::Vec3d inProjector = m_projector.R * point + m_projector.t;
        if (inProjector[2] <= 0.0)
            return hit;
        const CameraModel& lens = m_projector.lens;
        if (lens.hasDistortion()
            && !distortionIsRegular(lens, cv::Point2d(inProjector[0] / inProjector[2], inProjector[1] / inProjector[2])))
            return hit;
        const cv::Point2d uv = projectToPixel(lens, inProjector);
        const double u = std::floor(uv.x + 0.5);
        const double v = std::floor(uv.y + 0.5);
        if (u < 0.0 || v < 0.0 || u >= lens.size.width || v >= lens.size.height)
            return hit;
        hit.lit = true;
        hit.projector = uv;
        hit.index = static_cast<int32_t>(v) * lens.size.width + static_cast<int32_t>(u);
        hit.cosine = std::abs(projectorSide) / cv::norm(toProjector);
        return hit;
    }

private:
    const CameraModel& m_camera;
    const BoardPattern& m_board;
    const TargetPose& m_pose;
    const ProjectorSetup& m_projector;
    const ProjectorLight& m_light;
    cv::Vec3d m_normal; // board z axis in the camera frame
    cv::Vec3d m_projectorCentre;
};

} // namespace

ProjectorSetup ProjectorSetup::aimedAt(const CameraModel& lens, const cv::Vec3d& centre, const cv::Vec3d& target)
{
    const cv::Vec3d z = cv::normalize(target - centre);
    cv::Vec3d x = cv::Vec3d(0.0, 1.0, 0.0).cross(z);
    if (cv::norm(x) < 1e-9)
        x = cv::Vec3d(1.0, 0.0, 0.0); // aimed straight up or down
    x = cv::normalize(x);
    const cv::Vec3d y = z.cross(x);

    ProjectorSetup setup;
    setup.lens = lens;
    setup.R = cv::Matx33d(x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
    setup.t = -(setup.R * centre);
    return setup;
}

cv::Vec3d ProjectorSetup::centre() const
{
    return -(R.t() * t);
}

SensorEffects ProjectorCaptureOptions::defaultEffects()
{
    SensorEffects effects;
    effects.blurSigma = 0.5;
    effects.noiseSigma = 0.8;
    return effects;
}

ProjectorCapture renderProjectorCapture(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                                        const ProjectorSetup& projector, const std::vector<cv::Mat>& patterns,
                                        const ProjectorCaptureOptions& options)
{
    if (camera.size.width <= 0 || camera.size.height <= 0)
        throw std::invalid_argument("renderProjectorCapture: empty camera image size");
    const int n = options.supersampling;
    if (n < 1 || n > 16)
        throw std::invalid_argument("renderProjectorCapture: supersampling must be 1..16");
    if (patterns.empty())
        throw std::invalid_argument("renderProjectorCapture: no pattern images");
    for (const cv::Mat& pattern : patterns) {
        if (pattern.type() != CV_8UC1 || pattern.size() != projector.lens.size)
            throw std::invalid_argument(
                "renderProjectorCapture: patterns must be 8-bit greyscale images of the projector's resolution");
    }

    const ProjectorLight& light = options.light;
    const Tracer tracer(camera, board, pose, projector, light);
    const int width = camera.size.width;
    const int height = camera.size.height;
    const int samples = n * n;

    ProjectorCapture capture;
    capture.truth.create(camera.size, CV_32FC2);
    capture.albedo.create(camera.size, CV_32F);
    SampleCache cache;
    const size_t total = static_cast<size_t>(width) * height * samples;
    cache.reflectance.resize(total);
    cache.gain.resize(total);
    cache.index.resize(total);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            cv::Point2d guess;
            bool haveGuess = false;
            for (int c = 0; c < width; ++c) {
                const size_t base = (static_cast<size_t>(r) * width + c) * samples;
                for (int j = 0; j < n; ++j) {
                    for (int i = 0; i < n; ++i) {
                        const cv::Point2d pixel(c - 0.5 + (i + 0.5) / n, r - 0.5 + (j + 0.5) / n);
                        const Hit hit = tracer.trace(pixel, guess, haveGuess);
                        const size_t s = base + j * n + i;
                        cache.reflectance[s] = hit.onSheet ? hit.reflectance : -1.0f;
                        cache.gain[s] = hit.lit
                            ? static_cast<float>(hit.reflectance * light.projectorLevel * hit.cosine / 255.0)
                            : 0.0f;
                        cache.index[s] = hit.index;
                    }
                }
                const Hit centre = tracer.trace(cv::Point2d(c, r), guess, haveGuess);
                capture.albedo.at<float>(r, c) = centre.onSheet ? static_cast<float>(centre.albedo) : -1.0f;
                capture.truth.at<cv::Vec2f>(r, c) = centre.lit
                    ? cv::Vec2f(static_cast<float>(centre.projector.x), static_cast<float>(centre.projector.y))
                    : cv::Vec2f(nan, nan);
            }
        }
    });

    capture.images.reserve(patterns.size());
    for (size_t k = 0; k < patterns.size(); ++k) {
        const cv::Mat pattern = patterns[k].isContinuous() ? patterns[k] : patterns[k].clone();
        const uint8_t* values = pattern.ptr<uint8_t>();
        const float global = static_cast<float>(light.globalFraction * light.projectorLevel * cv::mean(pattern)[0] / 255.0);
        const float ambient = static_cast<float>(light.ambientLevel);
        const float background = static_cast<float>(light.backgroundLevel);

        cv::Mat radiance(camera.size, CV_32F);
        cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& range) {
            for (int r = range.start; r < range.end; ++r) {
                float* out = radiance.ptr<float>(r);
                for (int c = 0; c < width; ++c) {
                    const size_t base = (static_cast<size_t>(r) * width + c) * samples;
                    float sum = 0.0f;
                    for (int s = 0; s < samples; ++s) {
                        const float reflectance = cache.reflectance[base + s];
                        if (reflectance < 0.0f) {
                            sum += background;
                            continue;
                        }
                        sum += reflectance * ambient;
                        const int32_t index = cache.index[base + s];
                        if (index >= 0)
                            sum += reflectance * global + cache.gain[base + s] * values[index];
                    }
                    out[c] = sum / samples;
                }
            }
        });
        SensorEffects effects = options.effects;
        effects.noiseSeed = options.effects.noiseSeed + k;
        capture.images.push_back(applySensorEffects(radiance, effects));
    }
    return capture;
}

QStringList writeCaptureSet(const QString& folder, const std::vector<cv::Mat>& images, const QString& prefix)
{
    if (!QDir().mkpath(folder))
        throw std::runtime_error("writeCaptureSet: cannot create " + folder.toStdString());
    QStringList paths;
    for (size_t k = 0; k < images.size(); ++k) {
        const QString path = folder + "/" + prefix + QString::number(k) + ".png";
        if (!cv::imwrite(path.toLocal8Bit().toStdString(), images[k]))
            throw std::runtime_error("writeCaptureSet: cannot write " + path.toStdString());
        paths << path;
    }
    return paths;
}

} // namespace vantiro::synth
