#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>
#include <stdexcept>
#include <thread>

#include "TargetTestSupport.h"
#include "synth/Renderer.h"
#include "targets/DetectionPool.h"

using namespace vantiro;
using namespace std::chrono_literals;

namespace {

// What the calling thread saw of a run.
struct Trace
{
    std::vector<int> prepared, delivered, progress;
    std::vector<int> values; // the result delivered, -1 for "not dispatched"
    int maxAhead = 0;        // prepared but not yet delivered
};

// Work that counts how many run at once and whether they saw the stop.
struct Meter
{
    std::atomic<int> running{0}, maxRunning{0}, started{0}, finished{0}, sawStop{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;

    void enter()
    {
        ++started;
        const int now = ++running;
        int seen = maxRunning.load();
        while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
        }
        const std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
    }
    void leave()
    {
        --running;
        ++finished;
    }
};

// Waits for the stop (or the time) in small steps, as a multi-step job does.
void waitForStop(const StopToken& stop, Meter& meter, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (stop.stopRequested()) {
            ++meter.sawStop;
            return;
        }
        std::this_thread::sleep_for(1ms);
    }
}

OrderedJobs<int> tracedJobs(Trace& trace, const std::function<Work<int>(int)>& prepare)
{
    OrderedJobs<int> jobs;
    jobs.prepare = [&trace, prepare](int i) {
        trace.prepared.push_back(i);
        trace.maxAhead = std::max(trace.maxAhead, int(trace.prepared.size() - trace.delivered.size()));
        return prepare(i);
    };
    jobs.deliver = [&trace](int i, int* result) {
        trace.delivered.push_back(i);
        trace.values.push_back(result ? *result : -1);
    };
    jobs.progress = [&trace](int done, int total) { trace.progress.push_back(done * 100 + total); };
    return jobs;
}

// Every index dispatched; Work i runs body(i, stop) metered and returns i.
OrderedJobs<int> meteredJobs(Trace& trace, Meter& meter, const std::function<void(int, const StopToken&)>& body)
{
    return tracedJobs(trace, [&meter, body](int i) -> Work<int> {
        return [&meter, body, i](const StopToken& stop) {
            meter.enter();
            try {
                body(i, stop);
            } catch (...) {
                meter.leave();
                throw;
            }
            meter.leave();
            return i;
        };
    });
}

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
    // two finished indices: the skipped 3 and at least one other work, finished out of order
    // and counted while 0 was still running.
    Meter meter;
    std::atomic<int> reported{0};
    Trace trace;
    const std::thread::id caller = std::this_thread::get_id();
    OrderedJobs<int> jobs = tracedJobs(trace, [&](int i) -> Work<int> {
        if (i % 4 == 3)
            return {};
        return [&, i](const StopToken&) {
            meter.enter();
            EXPECT_NE(std::this_thread::get_id(), caller);
            const auto end = std::chrono::steady_clock::now() + 5s;
            while (i == 0 && reported < 2 && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(1ms);
            EXPECT_TRUE(i != 0 || reported >= 2) << "progress counts work finished ahead of index 0";
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (i % 3)));
            meter.leave();
            return i * i;
        };
    });
    const auto progress = jobs.progress;
    jobs.progress = [&](int done, int total) {
        reported = done;
        progress(done, total);
    };
    int asked = 0;
    jobs.abort = [&asked] {
        ++asked;
        return false;
    };
    ASSERT_EQ(runInListOrder(13, jobs, {.workers = 3}), PoolStatus::Finished);

    EXPECT_EQ(trace.prepared, upTo(13));
    EXPECT_EQ(trace.delivered, upTo(13));
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(trace.values[size_t(i)], i % 4 == 3 ? -1 : i * i) << i;
    EXPECT_LE(trace.maxAhead, 6) << "two per worker";
    EXPECT_TRUE(meter.maxRunning >= 2 && meter.maxRunning <= 3 && meter.threads.size() <= 3) << meter.maxRunning;
    EXPECT_EQ(meter.finished, 10);
    EXPECT_TRUE(trace.progress.front() == 13 && trace.progress.back() == 1313 &&
                std::is_sorted(trace.progress.begin(), trace.progress.end()));
    EXPECT_GE(asked, 13) << "asked before every delivery at least";

    // Nothing dispatched: the abort check is asked exactly once per index, as the one-by-one
    // loop did, and no worker is needed.
    Trace skipped;
    OrderedJobs<int> none = tracedJobs(skipped, [](int) { return Work<int>(); });
    asked = 0;
    none.abort = jobs.abort;
    EXPECT_EQ(runInListOrder(7, none), PoolStatus::Finished);
    EXPECT_TRUE(asked == 7 && skipped.delivered == upTo(7) && skipped.values == std::vector<int>(7, -1)) << asked;
    EXPECT_EQ(runInListOrder(0, none), PoolStatus::Finished);
}

TEST(DetectionPool, AbortStopsDispatchingDropsWorkInFlightAndJoinsTheWorkers)
{
    // Works 0..2 are quick; from 3 on they are busy for 60 ms (a detection cannot be cut
    // short) and then run until told to stop (at most 5 s).
    Meter meter;
    Trace trace;
    OrderedJobs<int> jobs = meteredJobs(trace, meter, [&](int i, const StopToken& stop) {
        if (i >= 3) {
            std::this_thread::sleep_for(60ms);
            waitForStop(stop, meter, 5000ms);
        }
    });
    int asksAfterAbort = 0;
    bool aborted = false;
    jobs.abort = [&] {
        if (aborted)
            ++asksAfterAbort;
        // Once works 3 and 4 are both under way.
        aborted = aborted || (trace.delivered.size() == 3 && meter.started == 5);
        return aborted;
    };
    int abortedCalls = 0, runningThen = -1;
    jobs.aborted = [&] {
        ++abortedCalls;
        runningThen = meter.running;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runInListOrder(40, jobs, {.workers = 2}), PoolStatus::Aborted);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(trace.delivered, upTo(3)) << "nothing handed back after the abort";
    EXPECT_LE(trace.prepared.size(), 3u + 4u) << "dispatching stopped at once";
    EXPECT_EQ(meter.started.load(), meter.finished.load()) << "no work outlives the run";
    EXPECT_EQ(meter.sawStop, 2) << "both works in flight were told to stop";
    EXPECT_LT(seconds, 2.0) << "the run did not wait for the work to run out";
    EXPECT_GE(asksAfterAbort, 1) << "the check kept the caller alive while the workers finished";
    EXPECT_TRUE(abortedCalls == 1 && runningThen == 2) << "told once, before the work in flight was waited for";
}

TEST(DetectionPool, ExceptionsEndTheRunAtTheirTurnAfterTheWorkersAreJoined)
{
    // Work 4 fails at once while 0..3 are still busy: 0..3 are handed back first.
    Meter meter;
    Trace trace;
    OrderedJobs<int> jobs = meteredJobs(trace, meter, [&](int i, const StopToken& stop) {
        if (i == 4)
            throw cv::Exception(cv::Error::StsBadArg, "refused", "detect", "file", 1);
        waitForStop(stop, meter, std::chrono::milliseconds(i < 4 ? 30 : 5000));
    });
    jobs.aborted = [] { ADD_FAILURE() << "a failure is no abort"; };
    try {
        runInListOrder(20, jobs, {.workers = 5});
        ADD_FAILURE() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.err, "refused");
    }
    EXPECT_EQ(trace.delivered, upTo(4));
    EXPECT_EQ(meter.started.load(), meter.finished.load());

    // The caller's own callback failing has the same effect.
    Meter meter2;
    Trace trace2;
    OrderedJobs<int> failing = meteredJobs(trace2, meter2, [&](int i, const StopToken& stop) {
        waitForStop(stop, meter2, std::chrono::milliseconds(i < 3 ? 0 : 5000));
    });
    const auto deliver = failing.deliver;
    failing.deliver = [&](int i, int* r) {
        if (i == 2)
            throw std::runtime_error("bookkeeping failed");
        deliver(i, r);
    };
    EXPECT_THROW(runInListOrder(10, failing, {.workers = 2}), std::runtime_error);
    EXPECT_TRUE(trace2.delivered == upTo(2) && meter2.started == meter2.finished);
}

TEST(DetectionPool, TheLibraryKeepsOneThreadWhileSeveralWorkersRunAndGetsItsCountBack)
{
    cv::setNumThreads(2);
    const int before = cv::getNumThreads();
    ASSERT_EQ(before, 2);
    auto threadsSeen = [](int count, const PoolOptions& options, const std::function<void(int)>& atDelivery = {}) {
        std::vector<int> seen(size_t(count), -1);
        OrderedJobs<int> jobs;
        jobs.prepare = [](int) -> Work<int> { return [](const StopToken&) { return cv::getNumThreads(); }; };
        jobs.deliver = [&](int i, int* n) {
            seen[size_t(i)] = *n;
            if (atDelivery)
                atDelivery(i);
        };
        runInListOrder(count, jobs, options);
        return seen;
    };
    EXPECT_EQ(threadsSeen(4, {.workers = 2}), std::vector<int>(4, 1));
    EXPECT_EQ(cv::getNumThreads(), before);
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
    EXPECT_TRUE(outer == std::vector<int>(6, 1) && inner == std::vector<int>(3, 1));
    EXPECT_EQ(cv::getNumThreads(), before);
}

TEST(DetectionPool, WorkerCountComesFromTheOverrideTheEnvironmentOrTheCores)
{
    qunsetenv("VANTIRO_THREADS");
    setDetectionWorkerCount(0);
    const int cores = detectionWorkerCount();
    EXPECT_GE(cores, 1);
    qputenv("VANTIRO_THREADS", "5");
    EXPECT_EQ(detectionWorkerCount(), 5);
    for (const char* bad : {"0", "-2", "two", "3x", ""}) {
        qputenv("VANTIRO_THREADS", bad);
        EXPECT_EQ(detectionWorkerCount(), cores) << bad;
    }
    qputenv("VANTIRO_THREADS", "5");
    setDetectionWorkerCount(1);
    EXPECT_EQ(detectionWorkerCount(), 1) << "the override wins";
    // The default run uses it: one worker thread for everything.
    Meter meter;
    OrderedJobs<int> jobs;
    jobs.prepare = [&](int) -> Work<int> { return [&](const StopToken&) { meter.enter(); meter.leave(); return 0; }; };
    jobs.deliver = [](int, int*) {};
    runInListOrder(6, jobs);
    EXPECT_EQ(meter.threads.size(), 1u);
    setDetectionWorkerCount(0);
    qunsetenv("VANTIRO_THREADS");
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
