#include "IntrinsicTestData.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <memory>

using namespace vantiro::intrinsic;
using namespace vantiro::synth;

namespace intrinsic_test {

CameraModel truthCamera()
{
    CameraModel cam = CameraModel::ideal(kTruth.size, kTruth.fx);
    cam.K(1, 1) = kTruth.fy;
    cam.K(0, 2) = kTruth.cx;
    cam.K(1, 2) = kTruth.cy;
    cam.setDistortion({kTruth.k1, kTruth.k2, 0.0, 0.0, 0.0});
    return cam;
}

MainWindowSettings target()
{
    MainWindowSettings s;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 25.0;
    s.dictionary = 10;
    return s;
}

namespace {

// ctest starts one process per test: the views outlive the process. Bump the version when they change.
QString cacheDir()
{
    const QString dir = QStringLiteral(VANTIRO_BUILD_DIR "/test-cache/intrinsic-views-v1");
    QDir().mkpath(dir);
    return dir;
}

// Parallel processes may write the same file: each writes its own copy and renames it into place.
void publish(const QString& temporary, const QString& path)
{
    std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData());
}

QString ownSuffix()
{
    return QString::number(QCoreApplication::applicationPid());
}

} // namespace

const std::vector<View>& views()
{
    static const std::vector<View> all = [] {
        const CameraModel cam = truthCamera();
        const BoardPattern board(target());
        const double distance = distanceForCoverage(cam, board, 0.65);
        // tilt x, tilt y, roll (degrees), shift x, y (mm)
        const double poses[][5] = {{0, 0, 0, 0, 0},          {30, 0, 5, 0, 0},        {-30, 0, -5, 0, 0},
                                   {0, 30, 10, 0, 0},        {0, -30, -10, 0, 0},     {20, 20, 30, 40, 20},
                                   {-20, 20, -30, -40, 20},  {20, -20, 60, 30, -15},  {-25, -20, -60, -40, -20},
                                   {35, 10, 90, 0, 0},       {-10, 35, 180, 30, 0},   {15, -35, 120, -30, 10},
                                   {-35, -10, 200, 0, 30},   {10, 10, 15, 40, 25},    {-15, -10, -20, -40, -25}};
        RenderOptions options;
        options.supersampling = 3;
        options.effects.noiseSigma = 1.5;
        std::vector<View> out;
        for (const auto& p : poses) {
            View v;
            v.pose = viewPose(board, distance, p[0], p[1], p[2], cv::Vec3d(p[3], p[4], 0.0));
            v.corners = projectCorners(cam, board, v.pose);
            v.path = cacheDir() + QStringLiteral("/view_%1.png").arg(out.size(), 2, 10, QLatin1Char('0'));
            if (!QFileInfo(v.path).isFile()) {
                options.effects.noiseSeed = uint64_t(out.size() + 1);
                const QString temporary = v.path + "." + ownSuffix() + ".png";
                cv::imwrite(QFile::encodeName(temporary).toStdString(), render(cam, board, v.pose, options).colour);
                publish(temporary, v.path);
            }
            out.push_back(v);
        }
        return out;
    }();
    return all;
}

QStringList viewPaths()
{
    QStringList paths;
    for (const View& v : views())
        paths << v.path;
    return paths;
}

CalibrationRequest requestFor(const QString& workingDirectory)
{
    CalibrationRequest r;
    r.target = target();
    r.workingDirectory = workingDirectory;
    return r;
}

CalibrationHooks HookRecorder::hooks()
{
    CalibrationHooks h;
    h.abort = [this] { return ++aborts >= abortAtCall && abortAtCall > 0; };
    h.sensor = [this]() -> std::optional<SensorRef> {
        return sensorPresent ? std::optional<SensorRef>(SensorRef{7, QStringLiteral("Cam7")}) : std::nullopt;
    };
    h.storeIntrinsics = [this](int, const cv::Mat&, const cv::Mat&, cv::Size) { ++stores; };
    return h;
}

const FirstRun& firstRun()
{
    static const std::unique_ptr<FirstRun> run = [] {
        auto r = std::make_unique<FirstRun>();
        r->state.loadImages(viewPaths());
        HookRecorder rec;
        CalibrationHooks hooks = rec.hooks();
        FirstRun* raw = r.get();
        hooks.storeIntrinsics = [raw](int id, const cv::Mat& K, const cv::Mat&, cv::Size) {
            raw->storedId = id;
            raw->storedK = K.clone();
        };
        r->result = calibrateIntrinsics(r->state, requestFor(r->workingDirectory.path()), hooks, r->log);
        return r;
    }();
    return *run;
}

IntrinsicState detectedState()
{
    IntrinsicState state;
    state.loadImages(viewPaths());
    // Detected corners are kept beside the cached views, under a name no image has.
    const QString cache = cacheDir() + QStringLiteral("/detections.yml");
    cv::FileStorage in;
    if (QFileInfo(cache).isFile())
        in.open(QFile::encodeName(cache).toStdString(), cv::FileStorage::READ);
    const bool cached = in.isOpened() && int(in["count"]) == int(state.images.size());
    const IntrinsicState* detected = cached ? nullptr : &firstRun().state;
    const QString temporary = cache + "." + ownSuffix() + ".yml";
    cv::FileStorage out;
    if (!cached) {
        out.open(QFile::encodeName(temporary).toStdString(), cv::FileStorage::WRITE);
        out << "count" << int(state.images.size());
    }
    for (size_t i = 0; i < state.images.size(); ++i) {
        const std::string n = std::to_string(i);
        ImageState& image = state.images[i];
        if (cached) {
            in["img" + n] >> image.imagePoints;
            in["obj" + n] >> image.objectPoints;
        } else {
            image.imagePoints = detected->images[i].imagePoints;
            image.objectPoints = detected->images[i].objectPoints;
            out << "img" + n << image.imagePoints << "obj" + n << image.objectPoints;
        }
        image.size = kTruth.size;
    }
    if (!cached) {
        out.release();
        publish(temporary, cache);
    }
    state.previousTarget = target();
    return state;
}

QString textInColour(const vantiro::RecordingLogSink& log, const QString& colour)
{
    QString out;
    for (const auto& s : log.segments)
        if (s.color == colour)
            out += s.text;
    return out;
}

void writeCornerFile(const QString& path, const cv::Mat& corners, const cv::Mat& obj)
{
    cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::WRITE);
    fs << "corners" << corners << "obj" << obj;
}

} // namespace intrinsic_test
