// StereoCalibrate::Execute against the vision library's stereoCalibrate on the same synthetic
// views (9 x 6 corners, 0.2 px noise) with the same flags and criteria.
//   BM_Stereo_Vantiro/<views>, BM_Stereo_OpenCV/<views>: intrinsics free, started from a guess
//   BM_Stereo_VantiroFixed/<views>, BM_Stereo_OpenCVFixed/<views>: intrinsics fixed

#include "stereo/stereo_calib.h"
#include "tests/stereo/StereoSynthetic.h"

#include <benchmark/benchmark.h>

#include "bench/QuietStdout.h"
#include <opencv2/calib3d.hpp>

#include <cstdio>
#include <map>

namespace {

using namespace stereo_synth;

const cv::TermCriteria kCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);

const Views& viewsFor(int count)
{
    static std::map<int, Views> cache;
    auto it = cache.find(count);
    if (it == cache.end())
        it = cache.emplace(count, makeViews(defaultRig(), count, 0.2, 4242)).first;
    return it->second;
}

cv::Mat guessMatrix(int k, bool fixed)
{
    const Rig rig = defaultRig();
    if (fixed)
        return cv::Mat(rig.cam[k].K, true);
    return cv::Mat(cv::Matx33d(k ? 970 : 1020, 0, k ? 660 : 630, 0, k ? 970 : 1020, k ? 460 : 490, 0, 0, 1), true);
}

cv::Mat guessDistortion(int k, bool fixed)
{
    return fixed ? defaultRig().cam[k].dist.clone() : cv::Mat::zeros(1, 5, CV_64F);
}

void runVantiro(benchmark::State& state, bool fixed)
{
    const Views& v = viewsFor(static_cast<int>(state.range(0)));
    const Rig rig = defaultRig();
    const int flags = fixed ? cv::CALIB_FIX_INTRINSIC : cv::CALIB_USE_INTRINSIC_GUESS;
    double rms = 0;
    {
        QuietStdout quiet;
        for (auto _ : state)
        {
            StereoCalibrate c;
            for (int k = 0; k < 2; ++k)
            {
                c.SetCameraMatrixGuess(guessMatrix(k, fixed), k == 0);
                c.SetDistortionGuess(guessDistortion(k, fixed), k == 0);
            }
            c.Execute(v.object, v.image[0], v.image[1], rig.cam[0].size, rig.cam[1].size, flags, flags, kCriteria);
            rms = c.m_rms;
        }
    }
    // Both calls have side effects the compiler cannot drop; the RMS shows that the results match.
    state.counters["rms"] = rms;
}

void runLibrary(benchmark::State& state, bool fixed)
{
    const Views& v = viewsFor(static_cast<int>(state.range(0)));
    const Rig rig = defaultRig();
    const int flags = fixed ? cv::CALIB_FIX_INTRINSIC : cv::CALIB_USE_INTRINSIC_GUESS;
    double rms = 0;
    for (auto _ : state)
    {
        cv::Mat K1 = guessMatrix(0, fixed), K2 = guessMatrix(1, fixed);
        cv::Mat D1 = guessDistortion(0, fixed), D2 = guessDistortion(1, fixed);
        cv::Mat R, T, E, F, perView;
        rms = cv::stereoCalibrate(v.object, v.image[0], v.image[1], K1, D1, K2, D2, rig.cam[0].size, R, T, E, F, perView,
                                  flags, kCriteria);
    }
    state.counters["rms"] = rms;
}

void BM_Stereo_Vantiro(benchmark::State& state) { runVantiro(state, false); }
void BM_Stereo_OpenCV(benchmark::State& state) { runLibrary(state, false); }
void BM_Stereo_VantiroFixed(benchmark::State& state) { runVantiro(state, true); }
void BM_Stereo_OpenCVFixed(benchmark::State& state) { runLibrary(state, true); }

BENCHMARK(BM_Stereo_Vantiro)->Arg(13)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stereo_OpenCV)->Arg(13)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stereo_VantiroFixed)->Arg(13)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stereo_OpenCVFixed)->Arg(13)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
