// Target detection time per image, by target kind and image size, on synthetic views with
// known corners. Counters: corners found, and their mean and largest distance from the truth
// (pixels) -- a detector that got faster by getting worse shows here.
//
//   bench_detection [--benchmark_filter=Charuco]
//
// The views are rendered once per kind and size before timing (at 4000 x 3000 that takes a
// few seconds).
//
// Image lists, read from files and detected as a module run does (1920 x 1200 chessboard views):
//   BM_DetectList_Sequential/<n>                 one image after the other, the library's threads as they are
//   BM_DetectList_Parallel/<n>                   the detection pool with its defaults (a worker per core)
//   BM_DetectList_Sequential_Threads/<n>/<t>     one after the other, the library capped at t threads
//   BM_DetectList_Parallel_Workers/<n>/<t>       the pool with t workers (library at one thread)
//   BM_DetectList_Parallel_SharedLibrary/<n>/<t> the pool with t workers and the library's threads left alone
// The machine is shared: run it when `uptime` shows little load, with --benchmark_repetitions.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <functional>
#include <map>
#include <memory>

#include "app/ImageFile.h"
#include "synth/Renderer.h"
#include "targets/DetectionPool.h"
#include "targets/TargetDetection.h"

using namespace vantiro::synth;

namespace {

MainWindowSettings settingsFor(TargetType kind)
{
    MainWindowSettings s;
    s.targetType = kind;
    s.squareWidth = s.squareHeight = 100;
    s.dictionary = 10;
    switch (kind) {
    case Chessboard:
        s.numSquaresX = 10;
        s.numSquaresY = 9;
        break;
    case ChArUco:
        s.numSquaresX = 10;
        s.numSquaresY = 9;
        s.markerSize = 75;
        break;
    case RadonChessboardWithMarkers:
        s.numSquaresX = 10; // 10 x 7: the centred dot cell is white
        s.numSquaresY = 7;
        break;
    }
    return s;
}

struct Case
{
    MainWindowSettings settings;
    Rendering view;
};

// A tilted view through a mildly distorting lens, the board over 70 % of the image.
const Case& caseFor(TargetType kind, cv::Size size)
{
    static std::map<std::pair<int, int>, std::unique_ptr<Case>> cache;
    auto& slot = cache[{int(kind), size.width}];
    if (!slot) {
        slot = std::make_unique<Case>();
        slot->settings = settingsFor(kind);
        const BoardPattern board(slot->settings);
        CameraModel cam = CameraModel::ideal(size, 0.9 * size.width);
        cam.setDistortion({-0.12, 0.04, 0, 0, 0});
        const TargetPose pose = viewPose(board, distanceForCoverage(cam, board, 0.7), 18, -12, 8);
        RenderOptions options;
        options.effects.blurSigma = 0.6;
        options.effects.noiseSigma = 1.5;
        slot->view = render(cam, board, pose, options);
    }
    return *slot;
}

const TruthCorner* truthById(const Case& c, int id)
{
    for (const TruthCorner& t : c.view.corners)
        if (t.id == id)
            return &t;
    return nullptr;
}

// Truth id of a detected corner, per kind's id convention (see the detection tests). The
// chessboard detectors may list the corners from either end of the board.
int truthId(TargetType kind, const Case& c, const TargetCornerList& corners, const TargetCorner& corner)
{
    const MainWindowSettings& s = c.settings;
    switch (kind) {
    case ChArUco:
        return corner.id;
    case RadonChessboardWithMarkers:
        return int(std::lround(corner.objectPoint.x / s.squareWidth)) * (s.numSquaresX - 1) +
               int(std::lround(corner.objectPoint.y / s.squareWidth));
    default: {
        const int last = int(corners.size()) - 1;
        const TruthCorner* first = truthById(c, 0);
        const TruthCorner* end = truthById(c, last);
        const cv::Point2d p(corners.front().imagePoint);
        const bool reversed = first && end && cv::norm(p - end->image) < cv::norm(p - first->image);
        return reversed ? last - corner.id : corner.id;
    }
    }
}

void setAccuracyCounters(benchmark::State& state, TargetType kind, const Case& c, const TargetCornerList& corners)
{
    double sum = 0, worst = 0;
    int matched = 0;
    for (const TargetCorner& corner : corners)
        if (const TruthCorner* t = truthById(c, truthId(kind, c, corners, corner))) {
            const double d = cv::norm(cv::Point2d(corner.imagePoint) - t->image);
            sum += d;
            worst = std::max(worst, d);
            ++matched;
        }
    state.counters["corners"] = double(corners.size());
    state.counters["matched"] = matched;
    state.counters["mean_px"] = matched ? sum / matched : -1;
    state.counters["max_px"] = matched ? worst : -1;
}

void BM_Detect(benchmark::State& state, TargetType kind)
{
    const cv::Size size(int(state.range(0)), int(state.range(1)));
    const Case& c = caseFor(kind, size);
    TargetCornerList corners;
    bool found = false;
    for (auto _ : state) {
        found = detectTarget(c.view.grey, c.settings, corners);
        benchmark::DoNotOptimize(found);
    }
    if (!found)
        state.SkipWithError("target not found");
    setAccuracyCounters(state, kind, c, corners);
}

// The sector-based chessboard detector alone, with and without image normalisation (flags 16,
// the first attempt, and 18, the fall-back): what the fall-back costs in accuracy.
void BM_ChessboardFlags(benchmark::State& state)
{
    const int flags = int(state.range(0));
    const cv::Size size(int(state.range(1)), int(state.range(2)));
    const Case& c = caseFor(Chessboard, size);
    std::vector<cv::Point2f> found;
    bool ok = false;
    for (auto _ : state) {
        ok = cv::findChessboardCornersSB(c.view.grey, cv::Size(9, 8), found, flags);
        benchmark::DoNotOptimize(ok);
    }
    if (!ok) {
        state.SkipWithError("board not found");
        return;
    }
    TargetCornerList corners;
    for (size_t k = 0; k < found.size(); ++k)
        corners.push_back({found[k], cv::Point3f(), int(k)});
    setAccuracyCounters(state, Chessboard, c, corners);
}

// Eight distinct 1920 x 1200 chessboard views as PNG files; a list of n cycles through them.
QStringList listOf(int n)
{
    static QTemporaryDir dir;
    static QStringList files;
    if (files.isEmpty()) {
        const MainWindowSettings s = settingsFor(Chessboard);
        const BoardPattern board(s);
        CameraModel cam = CameraModel::ideal({1920, 1200}, 1700.0);
        cam.setDistortion({-0.12, 0.04, 0, 0, 0});
        const double distance = distanceForCoverage(cam, board, 0.6);
        const double poses[8][3] = {{0, 0, 0},    {25, 0, 5},  {-25, 5, -5}, {0, 25, 10},
                                    {5, -25, -10}, {15, 15, 20}, {-15, 20, 80}, {20, -15, 170}};
        RenderOptions options;
        options.supersampling = 2;
        options.effects.blurSigma = 0.6;
        options.effects.noiseSigma = 1.5;
        for (const auto& p : poses) {
            files << dir.path() + QString("/view_%1.png").arg(files.size());
            options.effects.noiseSeed = uint64_t(files.size());
            cv::imwrite(QFile::encodeName(files.last()).toStdString(),
                        render(cam, board, viewPose(board, distance, p[0], p[1], p[2]), options).grey);
        }
    }
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << files[i % files.size()];
    return list;
}

// Today's loop: read (header checked, as the modules do), detect, next.
int detectOneByOne(const QStringList& list, const MainWindowSettings& target)
{
    int found = 0;
    for (const QString& path : list) {
        const cv::Mat grey = vantiro::readImageChecked(path, cv::IMREAD_GRAYSCALE);
        TargetCornerList corners;
        found += detectTarget(grey, target, corners) && !corners.empty();
    }
    return found;
}

int detectInPool(const QStringList& list, const MainWindowSettings& target, const vantiro::PoolOptions& options)
{
    int found = 0;
    vantiro::OrderedJobs<vantiro::ImageDetection> jobs;
    jobs.prepare = [&](int i) -> vantiro::Work<vantiro::ImageDetection> {
        return [path = list[i], target](const vantiro::StopToken& stop) {
            return vantiro::loadAndDetect(path, target, stop);
        };
    };
    jobs.deliver = [&found](int, vantiro::ImageDetection* d) { found += d->found; };
    vantiro::runInListOrder(int(list.size()), jobs, options);
    return found;
}

// Times detect on the list of state.range(0) views; every view must be found.
void timeList(benchmark::State& state, const std::function<int(const QStringList&)>& detect)
{
    const int n = int(state.range(0));
    const QStringList list = listOf(n);
    int found = 0;
    for (auto _ : state)
        found = detect(list);
    if (found != n)
        state.SkipWithError("a view was not found");
    state.counters["ms_per_image"] =
        benchmark::Counter(double(n) * double(state.iterations()) / 1000.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DetectList_Sequential(benchmark::State& state)
{
    timeList(state, [](const QStringList& list) { return detectOneByOne(list, settingsFor(Chessboard)); });
}

void BM_DetectList_Parallel(benchmark::State& state)
{
    timeList(state, [](const QStringList& list) { return detectInPool(list, settingsFor(Chessboard), {}); });
    state.counters["workers"] = std::min(int(state.range(0)), vantiro::detectionWorkerCount());
}

void BM_DetectList_Sequential_Threads(benchmark::State& state)
{
    const int before = cv::getNumThreads();
    cv::setNumThreads(int(state.range(1)));
    timeList(state, [](const QStringList& list) { return detectOneByOne(list, settingsFor(Chessboard)); });
    cv::setNumThreads(before);
}

void BM_DetectList_Parallel_Workers(benchmark::State& state)
{
    const vantiro::PoolOptions options{.workers = int(state.range(1))};
    timeList(state, [&](const QStringList& list) { return detectInPool(list, settingsFor(Chessboard), options); });
}

void BM_DetectList_Parallel_SharedLibrary(benchmark::State& state)
{
    const vantiro::PoolOptions options{.workers = int(state.range(1)), .capLibraryThreads = false};
    timeList(state, [&](const QStringList& list) { return detectInPool(list, settingsFor(Chessboard), options); });
}

void lists(benchmark::internal::Benchmark* b)
{
    b->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void capped(benchmark::internal::Benchmark* b)
{
    b->ArgsProduct({{8, 32}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Args({640, 480})->Args({1920, 1200})->Args({4000, 3000});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace

BENCHMARK_CAPTURE(BM_Detect, Chessboard, Chessboard)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Detect, Charuco, ChArUco)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Detect, Radon, RadonChessboardWithMarkers)->Apply(sizes);
BENCHMARK(BM_ChessboardFlags)
    ->ArgsProduct({{16, 18}, {640}, {480}})
    ->Args({16, 1920, 1200})
    ->Args({18, 1920, 1200})
    ->Args({16, 4000, 3000})
    ->Args({18, 4000, 3000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_DetectList_Sequential)->Apply(lists);
BENCHMARK(BM_DetectList_Parallel)->Apply(lists);
BENCHMARK(BM_DetectList_Sequential_Threads)->Apply(capped);
BENCHMARK(BM_DetectList_Parallel_Workers)->Apply(capped);
BENCHMARK(BM_DetectList_Parallel_SharedLibrary)->Apply(capped);

BENCHMARK_MAIN();
