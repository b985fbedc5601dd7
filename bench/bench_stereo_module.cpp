// The stereo module's work on 50 rendered pairs at 1920 x 1200 (10 x 7 chessboard), split as a user
// waits for it:
//   BM_Detection        reading and detecting all 100 images
//   BM_Engine           the calibration routine over pairs whose corners are known (single-camera
//                       starts, joint adjustment, log, error analysis)
//   BM_Rectification    rectifying transforms, the rectification file and both fixed-point maps
//   BM_WriteRectified   rectified copies of all 100 images
//   BM_WholeRun         fresh lists: calibration with detection, rectification and writing
// "CPU" is the work of all threads of the process, "Time" the wall clock (worth little on a busy
// machine).

#include <benchmark/benchmark.h>

#include "bench/QuietStdout.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>

#include "app/LogSink.h"
#include "bench/NullLogSink.h"
#include "stereo/Rectification.h"
#include "stereo/StereoWorkflow.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"
#include "QtBenchmarkMain.h"

using namespace vantiro;
using namespace vantiro::stereo;
using namespace vantiro::synth;

namespace {

constexpr int kPairs = 50;

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

struct Rig
{
    CameraModel cams[2];
    cv::Matx33d R; // primary -> secondary
    cv::Vec3d T;
    Rig()
    {
        for (int k = 0; k < 2; ++k) {
            cams[k] = CameraModel::ideal({1920, 1200}, k ? 1670.0 : 1650.0);
            cams[k].setDistortion({k ? -0.10 : -0.12, 0.05, 0.0, 0.0, 0.0});
        }
        // 150 mm to the right, turned 6 degrees towards the primary's axis.
        cv::Rodrigues(cv::Vec3d(0.0, 6.0 * CV_PI / 180.0, 0.0), R);
        T = -(R * cv::Vec3d(150.0, 0.0, 0.0));
    }
};

struct Pairs
{
    QTemporaryDir dir;
    QStringList paths[2];
};

// Rendered once, before timing starts.
const Pairs& pairs()
{
    static const Pairs* p = [] {
        auto* out = new Pairs;
        const Rig rig;
        const BoardPattern board(boardSettings());
        const double distance = distanceForCoverage(rig.cams[0], board, 0.45);
        RenderOptions options;
        options.supersampling = 2;
        options.effects.noiseSigma = 1.0;
        for (int i = 0; i < kPairs; ++i) {
            const double a = i * 2.0 * CV_PI / kPairs;
            TargetPose pose[2] = {viewPose(board, distance, 25.0 * std::cos(a), 25.0 * std::sin(a), 7.0 * i,
                                           cv::Vec3d(75.0 + 50.0 * std::sin(2 * a), 40.0 * std::cos(3 * a), 0.0))};
            pose[1].R = rig.R * pose[0].R;
            pose[1].t = rig.R * pose[0].t + rig.T;
            for (int k = 0; k < 2; ++k) {
                options.effects.noiseSeed = uint64_t(2 * i + k + 1);
                out->paths[k] << out->dir.path() + QStringLiteral("/%1_%2.png").arg(k ? "right" : "left").arg(i, 2, 10, QLatin1Char('0'));
                cv::imwrite(QFile::encodeName(out->paths[k].back()).toStdString(),
                            render(rig.cams[k], board, pose[k], options).colour);
            }
        }
        return out;
    }();
    return *p;
}

StereoRequest request()
{
    StereoRequest r;
    r.target = boardSettings();
    r.primary = {0, QStringLiteral("Left"), {}, {}, {}};
    r.secondary = {1, QStringLiteral("Right"), {}, {}, {}};
    return r;
}

StereoState freshState()
{
    StereoState s;
    s.loadPrimary(pairs().paths[0]);
    s.loadSecondary(pairs().paths[1]);
    return s;
}

// The state after one complete run (corners cached) and its result.
const std::pair<StereoState, StereoResult>& calibrated()
{
    static const std::pair<StereoState, StereoResult> c = [] {
        StereoState s = freshState();
        NullLogSink log;
        QuietStdout quiet;
        StereoResult r = calibrateStereo(s, request(), {}, log);
        return std::make_pair(s, r);
    }();
    return c;
}

void reportResult(benchmark::State& state, const StereoResult& r)
{
    const Rig rig;
    state.counters["pairs"] = double(r.usedPairs.size());
    state.counters["rms_px"] = r.rms;
    state.counters["baseline_err_mm"] = r.T.empty() ? -1.0 : cv::norm(cv::Vec3d(r.T.reshape(1, 3)) - rig.T);
}

void BM_Detection(benchmark::State& state)
{
    const MainWindowSettings target = boardSettings();
    int found = 0;
    for (auto _ : state) {
        found = 0;
        for (const QStringList& list : pairs().paths)
            for (const QString& path : list) {
                const cv::Mat grey = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_GRAYSCALE);
                TargetCornerList corners;
                found += detectTarget(grey, target, corners) ? 1 : 0;
                benchmark::DoNotOptimize(corners.data());
            }
    }
    state.counters["detected"] = found;
}
BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime()->UseRealTime();

void BM_Engine(benchmark::State& state)
{
    const auto& [cached, first] = calibrated();
    if (first.status != StereoStatus::Calibrated) {
        state.SkipWithError("calibration failed");
        return;
    }
    StereoResult r;
    StereoState s;
    QuietStdout quiet;
    for (auto _ : state) {
        state.PauseTiming();
        s = cached;
        s.R.release(); // no start value from the earlier run
        s.T.release();
        state.ResumeTiming();
        NullLogSink log;
        r = calibrateStereo(s, request(), {}, log);
    }
    reportResult(state, r);
}
BENCHMARK(BM_Engine)->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime()->UseRealTime();

void BM_Rectification(benchmark::State& state)
{
    const StereoResult& r = calibrated().second;
    QTemporaryDir wd;
    Rectification maps;
    for (auto _ : state) {
        NullLogSink log;
        if (rectifyStereo(rectificationInput(r, QStringLiteral("Left"), QStringLiteral("Right")), {}, wd.path(), {},
                          maps, log) != RectificationStatus::Rectified)
            state.SkipWithError("rectification failed");
    }
}
BENCHMARK(BM_Rectification)->Unit(benchmark::kMillisecond)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime();

void BM_WriteRectified(benchmark::State& state)
{
    const StereoResult& r = calibrated().second;
    QTemporaryDir wd;
    Rectification maps;
    NullLogSink log;
    rectifyStereo(rectificationInput(r, QStringLiteral("Left"), QStringLiteral("Right")), {}, wd.path(), {}, maps, log);
    int written = 0;
    for (auto _ : state)
        written = writeRectifiedImages(pairs().paths[0], pairs().paths[1], maps, QStringLiteral("Left"),
                                       QStringLiteral("Right"), {}, log)
                      .written;
    state.counters["written"] = written;
}
BENCHMARK(BM_WriteRectified)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime()->UseRealTime();

void BM_WholeRun(benchmark::State& state)
{
    QTemporaryDir wd;
    StereoResult r;
    QuietStdout quiet;
    for (auto _ : state) {
        state.PauseTiming();
        StereoState s = freshState();
        state.ResumeTiming();
        NullLogSink log;
        r = calibrateStereo(s, request(), {}, log);
        Rectification maps;
        rectifyStereo(rectificationInput(r, QStringLiteral("Left"), QStringLiteral("Right")), {}, wd.path(), {}, maps,
                      log);
        writeRectifiedImages(pairs().paths[0], pairs().paths[1], maps, QStringLiteral("Left"), QStringLiteral("Right"),
                             {}, log);
    }
    reportResult(state, r);
}
BENCHMARK(BM_WholeRun)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime()->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runQtBenchmarks(argc, argv, [] {
        pairs();
        QuietStdout quiet;
        calibrated();
    });
}
