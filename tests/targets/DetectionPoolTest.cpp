#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <thread>

#include "TargetTestSupport.h"
#include "synth/Renderer.h"
#include "targets/DetectionPool.h"

using namespace vantiro;
using namespace std::chrono_literals;

namespace {

// A run over int results as the calling thread and the workers saw it. Work i returns i * i.
struct Probe
{
    std::vector<int> prepared, delivered, values, progress; // values: -1 when not dispatched
    int maxAhead = 0;                                       // prepared, not yet delivered
    std::atomic<int> running{0}, maxRunning{0}, started{0}, finished{0}, sawStop{0}, lastDone{0};

    // Dispatches every index but those skip() names; Work i runs body(i, stop).
    OrderedJobs<int> jobs(const std::function<void(int, const StopToken&)>& body,
                          const std::function<bool(int)>& skip = [](int) { return false; })
    {
        OrderedJobs<int> j;
        j.prepare = [this, body, skip](int i) -> Work<int> {
            prepared.push_back(i);
            maxAhead = std::max(maxAhead, int(prepared.size() - delivered.size()));
            if (skip(i))
                return {};
            return [this, body, i](const StopToken& stop) {
                ++started;
                for (int now = ++running, seen = maxRunning; now > seen && !maxRunning.compare_exchange_weak(seen, now);) {
                }
                struct Leave { Probe* p; ~Leave() { --p->running; ++p->finished; } } leave{this};
                body(i, stop);
                return i * i;
            };
        };
        j.deliver = [this](int i, int* r) {
            delivered.push_back(i);
            values.push_back(r ? *r : -1);
        };
        j.progress = [this](int done, int) {
            progress.push_back(done);
            lastDone = done;
        };
        return j;
    }

    // Waits for the stop (at most 'limit') in small steps, as a job of several steps does.
    void waitForStop(const StopToken& stop, std::chrono::milliseconds limit)
    {
        for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(1ms))
            if (stop.stopRequested()) {
                ++sawStop;
                return;
            }
    }
};

std::vector<int> upTo(int n)
{
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), 0);
    return v;
}

} // namespace

TEST(DetectionPool, HandsResultsBackInListOrderWhileTheWorkRunsConcurrentlyAndBounded)
{
    // Every fourth index is not dispatched. Work 0 waits until the calling thread has reported
    // two finished indices (the skipped 3 and another work, counted while 0 still ran).
    Probe probe;
    const std::thread::id caller = std::this_thread::get_id();
    int asked = 0;
    OrderedJobs<int> jobs = probe.jobs(
        [&](int i, const StopToken&) {
            EXPECT_NE(std::this_thread::get_id(), caller);
            for (const auto end = std::chrono::steady_clock::now() + 5s;
                 i == 0 && probe.lastDone < 2 && std::chrono::steady_clock::now() < end;)
                std::this_thread::sleep_for(1ms);
            EXPECT_TRUE(i != 0 || probe.lastDone >= 2) << "progress counts work finished ahead of index 0";
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (i % 3)));
        },
        [](int i) { return i % 4 == 3; });
    jobs.abort = [&asked] { return ++asked < 0; };
    ASSERT_EQ(runInListOrder(13, jobs, {.workers = 3}), PoolStatus::Finished);
    EXPECT_TRUE(probe.prepared == upTo(13) && probe.delivered == upTo(13));
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(probe.values[size_t(i)], i % 4 == 3 ? -1 : i * i) << i;
    // Index 0 holds the delivery back, so the calling thread prepares as far as it may.
    EXPECT_EQ(probe.maxAhead, 6) << "two per worker: enough to keep them busy, no more";
    EXPECT_TRUE(probe.maxRunning >= 2 && probe.maxRunning <= 3 && probe.finished == 10) << probe.maxRunning;
    EXPECT_TRUE(probe.progress.front() == 0 && probe.progress.back() == 13 &&
                std::is_sorted(probe.progress.begin(), probe.progress.end()));
    EXPECT_GE(asked, 13) << "asked before every delivery at least";

    // Nothing dispatched: asked exactly once per index, as the one-by-one loop did.
    Probe none;
    OrderedJobs<int> skipped = none.jobs([](int, const StopToken&) {}, [](int) { return true; });
    asked = 0;
    skipped.abort = jobs.abort;
    EXPECT_EQ(runInListOrder(7, skipped), PoolStatus::Finished);
    EXPECT_TRUE(asked == 7 && none.values == std::vector<int>(7, -1)) << asked;
}

TEST(DetectionPool, AbortStopsDispatchingDropsWorkInFlightAndJoinsTheWorkers)
{
    // Works 0..2 are quick; from 3 on they are busy for 60 ms (a detection cannot be cut short)
    // and then run until told to stop (at most 5 s).
    Probe probe;
    OrderedJobs<int> jobs = probe.jobs([&](int i, const StopToken& stop) {
        if (i >= 3) {
            std::this_thread::sleep_for(60ms);
            probe.waitForStop(stop, 5000ms);
        }
    });
    int asksAfterAbort = 0, abortedCalls = 0, runningThen = -1;
    bool aborted = false;
    jobs.abort = [&] {
        asksAfterAbort += aborted;
        aborted = aborted || (probe.delivered.size() == 3 && probe.started == 5); // 3 and 4 under way
        return aborted;
    };
    jobs.aborted = [&] { ++abortedCalls, runningThen = probe.running; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runInListOrder(40, jobs, {.workers = 2}), PoolStatus::Aborted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the work was told to stop, not run out";
    EXPECT_TRUE(probe.delivered == upTo(3) && probe.prepared.size() <= 7) << "nothing more handed back or dispatched";
    EXPECT_TRUE(probe.started == probe.finished && probe.sawStop == 2) << "both works in flight stopped and joined";
    EXPECT_GE(asksAfterAbort, 1) << "the check kept the caller alive while the workers finished";
    EXPECT_TRUE(abortedCalls == 1 && runningThen == 2) << "told once, before the work in flight was waited for";
}

TEST(DetectionPool, AnExceptionOfAWorkEndsTheRunAtItsTurnAfterTheWorkersAreJoined)
{
    // Work 4 fails at once while 0..3 are still busy: 0..3 are handed back first.
    Probe probe;
    OrderedJobs<int> jobs = probe.jobs([&](int i, const StopToken& stop) {
        if (i == 4)
            throw cv::Exception(cv::Error::StsBadArg, "refused", "detect", "file", 1);
        probe.waitForStop(stop, i < 4 ? 30ms : 5000ms);
    });
    jobs.aborted = [] { ADD_FAILURE() << "a failure is no abort"; };
    try {
        runInListOrder(20, jobs, {.workers = 5});
        ADD_FAILURE() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.err, "refused");
    }
    EXPECT_TRUE(probe.delivered == upTo(4) && probe.started == probe.finished);
}

TEST(DetectionPool, TheLibraryKeepsOneThreadWhileSeveralWorkersRunAndGetsItsCountBack)
{
    cv::setNumThreads(2);
    ASSERT_EQ(cv::getNumThreads(), 2);
    auto threadsSeen = [](int count, const PoolOptions& options, const std::function<void(int)>& atDelivery = {}) {
        std::vector<int> seen;
        OrderedJobs<int> jobs;
        jobs.prepare = [](int) -> Work<int> { return [](const StopToken&) { return cv::getNumThreads(); }; };
        jobs.deliver = [&](int i, int* n) {
            seen.push_back(*n);
            if (atDelivery)
                atDelivery(i);
        };
        runInListOrder(count, jobs, options);
        return seen;
    };
    EXPECT_EQ(threadsSeen(4, {.workers = 2}), std::vector<int>(4, 1));
    EXPECT_EQ(cv::getNumThreads(), 2);
    EXPECT_EQ(threadsSeen(4, {.workers = 1}), std::vector<int>(4, 2)) << "one worker: the library keeps its threads";
    EXPECT_EQ(threadsSeen(1, {.workers = 2}), std::vector<int>(1, 2)) << "one image needs one worker only";
    EXPECT_EQ(threadsSeen(4, {.workers = 2, .capLibraryThreads = false}), std::vector<int>(4, 2));
    // A run started inside another (the GUI's event processing allows that) leaves the setting
    // to the outer one.
    std::vector<int> inner;
    const std::vector<int> outer = threadsSeen(6, {.workers = 2}, [&](int i) {
        if (i == 1)
            inner = threadsSeen(3, {.workers = 2});
    });
    EXPECT_TRUE(outer == std::vector<int>(6, 1) && inner == std::vector<int>(3, 1) && cv::getNumThreads() == 2);
}

TEST(DetectionPool, WorkerCountComesFromTheOverrideTheEnvironmentOrTheCores)
{
    qunsetenv("VANTIRO_THREADS");
    const int cores = detectionWorkerCount();
    EXPECT_GE(cores, 1);
    for (const char* bad : {"0", "-2", "two", "3x", ""}) {
        qputenv("VANTIRO_THREADS", bad);
        EXPECT_EQ(detectionWorkerCount(), cores) << bad;
    }
    qputenv("VANTIRO_THREADS", "5");
    EXPECT_EQ(detectionWorkerCount(), 5);
    setDetectionWorkerCount(1);
    EXPECT_EQ(detectionWorkerCount(), 1) << "the override wins";
    Probe probe; // and a run with the defaults uses it
    OrderedJobs<int> jobs = probe.jobs([](int, const StopToken&) { std::this_thread::sleep_for(2ms); });
    runInListOrder(6, jobs);
    EXPECT_EQ(probe.maxRunning, 1);
    setDetectionWorkerCount(0);
}

TEST(DetectionPool, ParallelDetectionEqualsTheOneByOneRunBitForBit)
{
    // All three kinds, found and not found, and a file that is no image in the middle.
    using namespace vantiro::synth;
    QTemporaryDir dir;
    struct Item
    {
        QString path;
        MainWindowSettings target;
        bool found;
    };
    std::vector<Item> items;
    const MainWindowSettings kinds[3] = {test::settingsOf(Chessboard, 10, 7, 25.0),
                                         test::settingsOf(ChArUco, 10, 7, 25.0, 18),
                                         test::settingsOf(RadonChessboardWithMarkers, 10, 7, 25.0)};
    CameraModel cam = CameraModel::ideal({640, 480}, 600.0);
    cam.setDistortion({-0.1, 0.03, 0, 0, 0});
    RenderOptions options{.supersampling = 2, .effects = {.blurSigma = 0.5, .noiseSigma = 1.5}};
    for (int k = 0; k < 3; ++k) {
        const BoardPattern board(kinds[k]);
        const double distance = distanceForCoverage(cam, board, 0.7);
        // Two views, then one of the board seen almost edge-on: not found.
        const double tilts[3][3] = {{20, -10, 5}, {-15, 25, 100}, {86, 0, 0}};
        for (const auto& t : tilts) {
            options.effects.noiseSeed = items.size() + 1;
            const QString path = dir.path() + QString("/view_%1.png").arg(items.size());
            cv::imwrite(QFile::encodeName(path).toStdString(),
                        render(cam, board, viewPose(board, distance, t[0], t[1], t[2]), options).colour);
            items.push_back({path, kinds[k], t[0] < 80});
        }
        if (k == 1) {
            QFile broken(dir.path() + "/broken.png");
            ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
            broken.write("no image");
            items.push_back({broken.fileName(), kinds[k], false});
        }
    }

    std::vector<ImageDetection> oneByOne;
    for (const Item& item : items) {
        ImageDetection d;
        const cv::Mat grey = cv::imread(QFile::encodeName(item.path).toStdString(), cv::IMREAD_GRAYSCALE);
        d.readable = !grey.empty();
        d.found = d.readable && detectTarget(grey, item.target, d.corners) && !d.corners.empty();
        oneByOne.push_back(d);
        EXPECT_EQ(d.found, item.found) << item.path.toStdString();
    }
    std::vector<ImageDetection> parallel(items.size());
    OrderedJobs<ImageDetection> jobs;
    jobs.prepare = [&](int i) -> Work<ImageDetection> {
        return [item = items[size_t(i)]](const StopToken& stop) { return loadAndDetect(item.path, item.target, stop); };
    };
    jobs.deliver = [&](int i, ImageDetection* d) { parallel[size_t(i)] = std::move(*d); };
    testing::internal::CaptureStdout(); // the marker board's diagnostic lines
    ASSERT_EQ(runInListOrder(int(items.size()), jobs, {.workers = 3}), PoolStatus::Finished);
    testing::internal::GetCapturedStdout();

    for (size_t i = 0; i < items.size(); ++i) {
        const ImageDetection &a = oneByOne[i], &b = parallel[i];
        EXPECT_TRUE(a.readable == b.readable && a.found == b.found && a.corners.size() == b.corners.size()) << i;
        EXPECT_EQ(b.size, a.readable ? cv::Size(640, 480) : cv::Size()) << i;
        for (size_t c = 0; c < std::min(a.corners.size(), b.corners.size()); ++c)
            EXPECT_TRUE(std::memcmp(&a.corners[c].imagePoint, &b.corners[c].imagePoint, sizeof(cv::Point2f)) == 0 &&
                        a.corners[c].objectPoint == b.corners[c].objectPoint && a.corners[c].id == b.corners[c].id)
                << i << " corner " << c;
    }
    // A stop asked before the detection skips it.
    std::atomic<bool> stop{true};
    const ImageDetection stopped = loadAndDetect(items[0].path, items[0].target, StopToken(&stop));
    EXPECT_TRUE(stopped.readable && !stopped.found && stopped.corners.empty());
}
