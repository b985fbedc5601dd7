// The intrinsic calibration routine on 20 rendered 1920 x 1200 views of a 10 x 7 chessboard:
// detection (reading and detecting every image) and calibration (the routine with the corners
// already known: calibration, printout, intrinsics file, error analysis) measured apart, then the
// whole routine from fresh images.

#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cmath>

#include "app/LogSink.h"
#include "bench/NullLogSink.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"
#include "QtBenchmarkMain.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace vantiro::synth;

namespace {

MainWindowSettings boardSettings()
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 40.0;
    s.dictionary = 10;
    return s;
}

CameraModel camera()
{
    CameraModel cam = CameraModel::ideal({1920, 1200}, 1650.0);
    cam.K(0, 2) = 963.0;
    cam.K(1, 2) = 596.5;
    cam.setDistortion({-0.12, 0.05, 0.0, 0.0, 0.0});
    return cam;
}

struct Views
{
    QTemporaryDir dir;
    QStringList paths;
};

const Views& views()
{
    static const Views* v = [] {
        auto* out = new Views;
        const CameraModel cam = camera();
        const BoardPattern board(boardSettings());
        const double distance = distanceForCoverage(cam, board, 0.6);
        RenderOptions options;
        options.supersampling = 2;
        options.effects.noiseSigma = 1.5;
        for (int i = 0; i < 20; ++i) {
            const double a = i * 2.0 * CV_PI / 20.0;
            const TargetPose pose = viewPose(board, distance, 30.0 * std::cos(a), 30.0 * std::sin(a), 18.0 * i,
                                             cv::Vec3d(60.0 * std::sin(2 * a), 40.0 * std::cos(3 * a), 0.0));
            options.effects.noiseSeed = uint64_t(i + 1);
            const Rendering r = render(cam, board, pose, options);
            out->paths << out->dir.path() + QStringLiteral("/view_%1.png").arg(i);
            cv::imwrite(QFile::encodeName(out->paths.back()).toStdString(), r.colour);
        }
        return out;
    }();
    return *v;
}

CalibrationHooks hooks()
{
    CalibrationHooks h;
    h.abort = [] { return false; };
    h.sensor = [] { return std::optional<SensorRef>(SensorRef{0, QStringLiteral("Cam0")}); };
    return h;
}

CalibrationRequest request(const QString& workingDirectory)
{
    CalibrationRequest r;
    r.target = boardSettings();
    r.workingDirectory = workingDirectory;
    return r;
}

void reportAccuracy(benchmark::State& state, const IntrinsicState& s, const CalibrationResult& r)
{
    const CameraModel truth = camera();
    state.counters["rms_px"] = r.rms;
    state.counters["fx_err_px"] = s.K.at<double>(0, 0) - truth.K(0, 0);
    state.counters["cx_err_px"] = s.K.at<double>(0, 2) - truth.K(0, 2);
    state.counters["cy_err_px"] = s.K.at<double>(1, 2) - truth.K(1, 2);
    state.counters["views"] = double(r.usedImages.size());
}

// Reading and detecting all 20 images, as the routine does for images without corners.
void BM_Detection(benchmark::State& state)
{
    const Views& v = views();
    const MainWindowSettings target = boardSettings();
    int found = 0;
    for (auto _ : state) {
        found = 0;
        for (const QString& path : v.paths) {
            const cv::Mat grey = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_GRAYSCALE);
            TargetCornerList corners;
            found += detectTarget(grey, target, corners) ? 1 : 0;
            benchmark::DoNotOptimize(corners.data());
        }
    }
    state.counters["detected"] = found;
}
BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->Iterations(2);

// The routine over images whose corners are known: calibration and everything after it.
void BM_Calibration(benchmark::State& state)
{
    QTemporaryDir wd;
    IntrinsicState detected;
    detected.loadImages(views().paths);
    NullLogSink log;
    const CalibrationResult first = calibrateIntrinsics(detected, request(wd.path()), hooks(), log);
    if (first.status != CalibrationStatus::Calibrated) {
        state.SkipWithError("calibration failed");
        return;
    }
    CalibrationResult r;
    IntrinsicState s;
    for (auto _ : state) {
        state.PauseTiming();
        s = detected;
        state.ResumeTiming();
        r = calibrateIntrinsics(s, request(wd.path()), hooks(), log);
    }
    reportAccuracy(state, s, r);
}
BENCHMARK(BM_Calibration)->Unit(benchmark::kMillisecond)->Iterations(5);

// Fresh images: detection and calibration together.
void BM_WholeRoutine(benchmark::State& state)
{
    QTemporaryDir wd;
    CalibrationResult r;
    IntrinsicState s;
    for (auto _ : state) {
        state.PauseTiming();
        s = IntrinsicState();
        s.loadImages(views().paths);
        state.ResumeTiming();
        NullLogSink log;
        r = calibrateIntrinsics(s, request(wd.path()), hooks(), log);
    }
    reportAccuracy(state, s, r);
}
BENCHMARK(BM_WholeRoutine)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    return runQtBenchmarks(argc, argv, [] { views(); });
}
