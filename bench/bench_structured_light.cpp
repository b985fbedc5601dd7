// Gray-code decoding speed and completeness on synthetic captures of a 1024 x 768 projector
// lighting a chessboard, for a 1280 x 1024 and a 2448 x 2048 camera, against OpenCV
// contrib's GrayCodePattern decoded pixel by pixel with getProjPixel.
//
// Counters: complete = fraction of the lit board pixels decoded to the true projector
// column and row (+-1); wrong = fraction of the decoded pixels that are not.

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/structured_light.hpp>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Common/StructuredLight.h"
#include "projector/GrayCodePatternGenerator.h"
#include "projector/GrayCodeSets.h"
#include "projector/ProjectorCorners.h"
#include "synth/ProjectorCapture.h"

namespace {

using namespace vantiro::synth;

const cv::Size kProjector(1024, 768);

struct CaptureSet
{
    std::vector<cv::Mat> images;
    cv::Mat truth;
    QStringList paths;
};

std::unique_ptr<QTemporaryDir> g_folder;

CaptureSet makeSet(int cameraHeight)
{
    const cv::Size cameraSize = cameraHeight >= 2048 ? cv::Size(2448, 2048) : cv::Size(1280, 1024);
    // The board fills about two thirds of the view; the camera samples the projector
    // 1.4 (small camera) and 2.6 (large camera) times per projector pixel.
    const CameraModel camera = CameraModel::ideal(cameraSize, cameraHeight >= 2048 ? 3400.0 : 1800.0);
    MainWindowSettings target;
    target.targetType = Chessboard;
    target.numSquaresX = 11;
    target.numSquaresY = 8;
    target.squareWidth = target.squareHeight = 40.0;
    const BoardPattern board(target);
    const TargetPose pose = viewPose(board, 900.0, 12.0, -15.0, 4.0);

    const CameraModel lens = CameraModel::ideal(kProjector, 1300.0);
    const ProjectorSetup projector = ProjectorSetup::aimedAt(lens, cv::Vec3d(200.0, -30.0, 0.0), cv::Vec3d(0, 0, 900.0));

    GrayCodePatternGenerator generator(kProjector.height, kProjector.width);
    std::vector<cv::Mat> patterns;
    for (int i = 0; i < generator.imageCount(); ++i)
        patterns.push_back(generator.nextImage());

    ProjectorCaptureOptions options;
    options.supersampling = 2;
    ProjectorCapture capture = renderProjectorCapture(camera, board, pose, projector, patterns, options);

    if (!g_folder)
        g_folder = std::make_unique<QTemporaryDir>();
    CaptureSet set;
    set.images = std::move(capture.images);
    set.truth = capture.truth;
    set.paths = writeCaptureSet(g_folder->path() + "/set_" + QString::number(cameraHeight), set.images);
    return set;
}

const CaptureSet& captureSet(int cameraHeight)
{
    static std::map<int, CaptureSet> sets;
    auto it = sets.find(cameraHeight);
    if (it == sets.end())
        it = sets.emplace(cameraHeight, makeSet(cameraHeight)).first;
    return it->second;
}

// The module's light estimate from images already in memory (rows 14-17 and 34-37).
cv::Mat lightEstimate(const std::vector<cv::Mat>& images)
{
    std::vector<cv::Mat> used;
    for (int row = 14; row <= 17; ++row) {
        used.push_back(images[row]);
        used.push_back(images[row + 20]);
    }
    return sl::estimate_direct_light(used, camproj::kLightRatio);
}

cv::Mat decodeVantiro(const std::vector<cv::Mat>& images)
{
    cv::Mat decoded;
    sl::decode_pattern(images, decoded, kProjector, camproj::kDecodeFlags, lightEstimate(images), camproj::kMinDirectLight);
    return decoded;
}

// Contrib decodes uncentred codes: it is given the whole 1024 x 1024 code space (same bit
// counts, no rows lost to its range check) and the row offset is taken off afterwards.
cv::Ptr<cv::structured_light::GrayCodePattern> contribPattern()
{
    cv::structured_light::GrayCodePattern::Params params;
    params.width = 1 << sl::grayCodeBits(kProjector.width);
    params.height = 1 << sl::grayCodeBits(kProjector.height);
    return cv::structured_light::GrayCodePattern::create(params);
}

cv::Mat decodeContrib(const cv::Ptr<cv::structured_light::GrayCodePattern>& pattern,
                      const std::vector<cv::Mat>& images)
{
    const std::vector<cv::Mat> patternImages(images.begin() + 2, images.end());
    const int offsetX = sl::grayCodeOffset(kProjector.width);
    const int offsetY = sl::grayCodeOffset(kProjector.height);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::Mat decoded(images[0].size(), CV_32FC2, cv::Scalar(nan, nan));
    // Rows in parallel, as our decoder runs: the comparison is of the per-pixel work.
    cv::parallel_for_(cv::Range(0, decoded.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            cv::Vec2f* out = decoded.ptr<cv::Vec2f>(y);
            for (int x = 0; x < decoded.cols; ++x) {
                cv::Point p;
                if (pattern->getProjPixel(patternImages, x, y, p))
                    continue; // error: not decodable
                const int px = p.x - offsetX;
                const int py = p.y - offsetY;
                if (px >= 0 && px < kProjector.width && py >= 0 && py < kProjector.height)
                    out[x] = cv::Vec2f(float(px), float(py));
            }
        }
    });
    return decoded;
}

struct Score
{
    double complete = 0.0;
    double wrong = 0.0;
};

Score score(const cv::Mat& decoded, const cv::Mat& truth)
{
    long lit = 0;
    long right = 0;
    long decodedCount = 0;
    long wrongCount = 0;
    for (int r = 0; r < truth.rows; ++r) {
        for (int c = 0; c < truth.cols; ++c) {
            const cv::Vec2f t = truth.at<cv::Vec2f>(r, c);
            const cv::Vec2f d = decoded.empty() ? cv::Vec2f(NAN, NAN) : decoded.at<cv::Vec2f>(r, c);
            const bool isLit = !std::isnan(t[0]);
            const bool isDecoded = !std::isnan(d[0]) && !std::isnan(d[1]);
            const bool correct = isLit && isDecoded && std::abs(d[0] - std::round(t[0])) <= 1.0f
                && std::abs(d[1] - std::round(t[1])) <= 1.0f;
            lit += isLit;
            right += correct;
            decodedCount += isDecoded;
            wrongCount += isDecoded && !correct;
        }
    }
    return { lit ? double(right) / lit : 0.0, decodedCount ? double(wrongCount) / decodedCount : 0.0 };
}

void report(benchmark::State& state, const cv::Mat& decoded, const cv::Mat& truth)
{
    const Score s = score(decoded, truth);
    state.counters["complete"] = s.complete;
    state.counters["wrong"] = s.wrong;
}

void BM_Decode_Vantiro(benchmark::State& state)
{
    const CaptureSet& set = captureSet(static_cast<int>(state.range(0)));
    cv::Mat decoded;
    for (auto _ : state) {
        decoded = decodeVantiro(set.images);
        benchmark::DoNotOptimize(decoded.data);
    }
    report(state, decoded, set.truth);
}

void BM_Decode_Contrib(benchmark::State& state)
{
    const CaptureSet& set = captureSet(static_cast<int>(state.range(0)));
    const auto pattern = contribPattern();
    cv::Mat decoded;
    for (auto _ : state) {
        decoded = decodeContrib(pattern, set.images);
        benchmark::DoNotOptimize(decoded.data);
    }
    report(state, decoded, set.truth);
}

void BM_LoadDecode_Vantiro(benchmark::State& state)
{
    const CaptureSet& set = captureSet(static_cast<int>(state.range(0)));
    cv::Mat decoded;
    for (auto _ : state) {
        // What the module runs per set: light estimate from its files, then the decoder.
        camproj::decodeSet(set.paths, decoded, kProjector, nullptr);
        benchmark::DoNotOptimize(decoded.data);
    }
    report(state, decoded, set.truth);
}

void BM_LoadDecode_Contrib(benchmark::State& state)
{
    const CaptureSet& set = captureSet(static_cast<int>(state.range(0)));
    const auto pattern = contribPattern();
    cv::Mat decoded;
    for (auto _ : state) {
        // Read side by side, as ours reads its pairs.
        std::vector<cv::Mat> images(set.paths.size());
        cv::parallel_for_(cv::Range(0, static_cast<int>(images.size())), [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i)
                images[i] = cv::imread(set.paths[i].toStdString(), cv::IMREAD_GRAYSCALE);
        });
        decoded = decodeContrib(pattern, images);
        benchmark::DoNotOptimize(decoded.data);
    }
    report(state, decoded, set.truth);
}

} // namespace

// The beam-edge distance of one capture set: a board with squares of width / 20 px, lit on its
// left two thirds. Arg: image width (height 4/5 of it).
void BM_BeamEdgeDistance(benchmark::State& state)
{
    const int width = int(state.range(0));
    const cv::Size size(width, width * 4 / 5);
    const int square = width / 20;
    cv::Mat white(size, CV_8UC1), black(size, CV_8UC1);
    for (int r = 0; r < size.height; ++r)
        for (int c = 0; c < size.width; ++c) {
            const bool dark = ((r / square + c / square) % 2) != 0;
            const int ambient = dark ? 2 : 30;
            black.at<uint8_t>(r, c) = uint8_t(ambient);
            white.at<uint8_t>(r, c) = uint8_t(c < 2 * size.width / 3 ? (dark ? 14 : 230) : ambient);
        }
    for (auto _ : state)
        benchmark::DoNotOptimize(camproj::beamEdgeDistance(white, black, float(square)));
}

BENCHMARK(BM_BeamEdgeDistance)->Arg(1280)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decode_Vantiro)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decode_Contrib)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadDecode_Vantiro)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadDecode_Contrib)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
