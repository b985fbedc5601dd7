#pragma once
// Rendered views of a chessboard through a known camera, and the run helpers shared by the
// intrinsic tests.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>

#include "app/LogSink.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "synth/Renderer.h"

namespace intrinsic_test {

using namespace vantiro;
using namespace vantiro::intrinsic;

// The camera every view is rendered with: 640 x 480, fx = fy = 560, barrel distortion k1, k2.
inline const vantiro::synth::CameraModel kCamera{.K = cv::Matx33d(560, 0, 323.5, 0, 560, 236.25, 0, 0, 1),
                                                 .dist = {-0.18, 0.06, 0, 0, 0, 0, 0, 0}, .size = {640, 480}};
// Chessboard 10 x 7 squares of 25 mm.
inline const MainWindowSettings kTarget{
    .numSquaresX = 10, .numSquaresY = 7, .squareWidth = 25.0, .squareHeight = 25.0, .dictionary = 10};

// A rendered view: its file, the board's pose and the exact projections of its corners.
struct View { QString path; vantiro::synth::TargetPose pose; std::vector<vantiro::synth::TruthCorner> corners; };

// Fifteen views at varied tilts, rolls and offsets. ctest starts one process per test, so they
// are rendered once into the build tree (bump the version when they change); copy them before
// putting files beside them.
inline const std::vector<View>& views()
{
    static const std::vector<View> all = [] {
        const QString dir = QStringLiteral(VANTIRO_BUILD_DIR "/test-cache/intrinsic-views-v1");
        QDir().mkpath(dir);
        const vantiro::synth::BoardPattern board(kTarget);
        const double distance = distanceForCoverage(kCamera, board, 0.65);
        // tilt x, tilt y, roll (degrees), shift x, y (mm)
        const double poses[][5] = {
            {0, 0, 0, 0, 0},           {30, 0, 5, 0, 0},     {-30, 0, -5, 0, 0},      {0, 30, 10, 0, 0},
            {0, -30, -10, 0, 0},       {20, 20, 30, 40, 20}, {-20, 20, -30, -40, 20}, {20, -20, 60, 30, -15},
            {-25, -20, -60, -40, -20}, {35, 10, 90, 0, 0},   {-10, 35, 180, 30, 0},   {15, -35, 120, -30, 10},
            {-35, -10, 200, 0, 30},    {10, 10, 15, 40, 25}, {-15, -10, -20, -40, -25}};
        vantiro::synth::RenderOptions options{.supersampling = 3, .effects = {.noiseSigma = 1.5}};
        std::vector<View> out;
        for (const auto& p : poses) {
            View v{dir + QStringLiteral("/view_%1.png").arg(out.size(), 2, 10, QLatin1Char('0')),
                   viewPose(board, distance, p[0], p[1], p[2], cv::Vec3d(p[3], p[4], 0.0)), {}};
            v.corners = projectCorners(kCamera, board, v.pose);
            options.effects.noiseSeed = uint64_t(out.size() + 1);
            if (!QFileInfo(v.path).isFile()) {
                // Parallel processes may render the same view: each writes its own copy and renames it.
                const QString own = v.path + "." + QString::number(QCoreApplication::applicationPid()) + ".png";
                cv::imwrite(QFile::encodeName(own).toStdString(), render(kCamera, board, v.pose, options).colour);
                std::rename(QFile::encodeName(own).constData(), QFile::encodeName(v.path).constData());
            }
            out.push_back(v);
        }
        return out;
    }();
    return all;
}

// The first n views; with corners, their exact corners as if detected; with copyTo, as copies in
// that folder (so that files can go beside them) whose size is not known yet.
inline IntrinsicState viewState(int n, bool corners, const QTemporaryDir* copyTo = nullptr)
{
    IntrinsicState state;
    for (const View& v : std::vector<View>(views().begin(), views().begin() + n)) {
        ImageState image;
        image.path = copyTo ? copyTo->path() + "/copy_" + QString::number(state.images.size()) + ".png" : v.path;
        QFile::copy(v.path, image.path); // without copyTo the target exists and nothing is copied
        for (size_t j = 0; corners && j < v.corners.size(); ++j) {
            image.imagePoints.emplace_back(v.corners[j].image);
            image.objectPoints.emplace_back(float(v.corners[j].board.x), float(v.corners[j].board.y), 0.f);
        }
        image.size = corners && !copyTo ? kCamera.size : cv::Size();
        state.images.push_back(image);
    }
    state.previousTarget = kTarget;
    return state;
}

// Hooks reporting object 7 "Cam7" (or, once it is gone, none), counting abort questions and
// results stored into it.
struct HookRecorder
{
    int sensorAnswers = -1, stores = 0, aborts = 0; // sensorAnswers: how often the object is there; -1: always

    CalibrationHooks hooks()
    {
        return {[this] { ++aborts; return false; }, // counts, never aborts
                [this] { return sensorAnswers-- != 0 ? std::optional<SensorRef>({7, "Cam7"}) : std::nullopt; },
                [this](int id, const cv::Mat&, const cv::Mat&, cv::Size) { stores += id == 7; }, {}};
    }
};

// One run with hooks that report object 7 "Cam7".
inline CalibrationResult calibrate(IntrinsicState& state, const CalibrationRequest& r, vantiro::RecordingLogSink& log)
{
    return calibrateIntrinsics(state, r, HookRecorder().hooks(), log);
}

// The log in one string, each run of one colour as "<colour>text</>" with the colours named:
// "Detecting targets: <reused>0 </><green>1 2 </>".
inline QString tagged(const vantiro::RecordingLogSink& log)
{
    using namespace vantiro::logcolor;
    const QMap<QString, QString> names{{Red, "red"}, {Green, "green"}, {Grey, "grey"}, {Reused, "reused"}};
    QString out, open;
    for (const auto& s : log.segments) {
        if (s.color != open)
            out += (open.isEmpty() ? "" : "</>") + (s.color.isEmpty() ? "" : "<" + names.value(s.color, s.color) + ">");
        out += s.text;
        open = s.color;
    }
    return out + (open.isEmpty() ? "" : "</>");
}

// The closing quality line of a run as tagged() writes it.
inline QString qualityLine(const CalibrationResult& result)
{
    vantiro::RecordingLogSink sink;
    logQuality(*result.quality, sink);
    return tagged(sink);
}

inline void writeCornerFile(const QString& path, const cv::Mat& corners, const cv::Mat& obj)
{
    cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::WRITE);
    fs << "corners" << corners << "obj" << obj;
}

inline QString writeText(const QString& path, const QByteArray& text)
{
    if (QFile f(path); f.open(QIODevice::WriteOnly))
        f.write(text);
    return path;
}

} // namespace intrinsic_test
