#pragma once
// Per-image work over an image list on all cores, the results handed back in list order on the
// calling thread.
//
// A module's run keeps the shape of its one-by-one loop: for index 0, 1, 2, ... it decides what
// to do with the image, and afterwards logs and stores the outcome. Here the decision (prepare)
// and the bookkeeping (deliver) stay on the calling thread and in list order; only the work in
// between (reading the image, detecting the target, reading a corner file, ...) runs on worker
// threads. Log lines, colours and per-image state therefore come out as in the one-by-one run.
//
//   OrderedJobs<ImageDetection> jobs;
//   jobs.prepare = [&](int i) -> Work<ImageDetection> {
//       if (!images[i].checked)
//           return {};                           // not dispatched: deliver(i, nullptr)
//       return [path = images[i].path, target](const StopToken& stop) { return loadAndDetect(path, target, stop); };
//   };
//   jobs.deliver = [&](int i, ImageDetection* found) { ... log "i " in its colour, keep the corners ... };
//   jobs.abort = hooks.abort;
//   jobs.aborted = [&] { log.append("Calibration aborted \n\n", logcolor::Red); };
//   if (runInListOrder(int(images.size()), jobs) == PoolStatus::Aborted)
//       return;
//
// Contract
// - prepare(i): calling thread, list order, at most `window` indices ahead of delivery (so it may
//   run before deliver(i - 1)); it must decide from entry i alone. An empty Work means "not
//   dispatched". The Work runs on a worker thread, concurrently with deliver() of earlier indices
//   and with other Work: capture by value what it needs and touch nothing the calling thread
//   changes.
// - deliver(i, result): calling thread, exactly once per index, strictly in list order; result
//   is what the Work returned (deliver may move from it), or nullptr when i was not dispatched.
// - abort(): calling thread; asked before every delivery (where the one-by-one loop asked it
//   before every image) and every pollMs while a result is awaited. The GUI's check processes
//   events there, so the window repaints and the Abort button reacts during a detection. Once
//   it says true nothing more is prepared, dispatched or delivered; aborted() is told at once
//   (the place for the abort line, so that it shows within an event-loop turn of the click);
//   Work in flight is told to stop (StopToken) and its results are dropped; the call returns
//   Aborted when the workers have been joined, which takes up to the rest of one detection
//   (abort() is still asked meanwhile, its answer ignored, so the window stays alive).
// - An exception thrown by a Work is rethrown on the calling thread at that index's turn (after
//   deliver(i - 1)), once the workers are stopped and joined: the run ends where the one-by-one
//   loop would have ended. An exception from prepare, deliver, abort or progress likewise stops
//   and joins the workers before it propagates. No thread outlives the call.
// - progress(done, total): calling thread; told at the start and whenever `done` grows. done
//   counts indices whose Work finished (in any order) or that were not dispatched.
// - Memory: at most `workers` images are worked on at once and at most `window` (default two per
//   worker) results wait for delivery.
// - The vision library's own thread pool: while a run has more than one worker it is capped at
//   one thread (process-wide, restored when the last such run ends), so that each core works on
//   an image of its own instead of the library splitting one image across cores, which it does
//   only partly (bench_detection measures both). With one worker it is left alone.
// - Detection is deterministic: the same image gives the same corners, bit for bit, whatever the
//   thread and whatever the library's thread count.

#include <QString>

#include <opencv2/core.hpp>

#include <atomic>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "app/LogSink.h"
#include "targets/TargetDetection.h"
#include "targets/TargetSettings.h"

namespace vantiro {

// What a Work asks between its steps: true once the run was aborted or failed, so that a job
// of several steps (two images of a pair, a set of pattern images) can stop early. Its result
// is dropped anyway. A default token never stops.
class StopToken
{
public:
    StopToken() = default;
    explicit StopToken(const std::atomic<bool>* flag) : m_flag(flag) {}
    bool stopRequested() const { return m_flag && m_flag->load(std::memory_order_relaxed); }

private:
    const std::atomic<bool>* m_flag = nullptr;
};

template <class Result> using Work = std::function<Result(const StopToken&)>;

template <class Result> struct OrderedJobs
{
    std::function<Work<Result>(int index)> prepare;
    std::function<void(int index, Result* result)> deliver;
    AbortCheck abort;                                  // optional
    std::function<void()> aborted;                     // optional
    std::function<void(int done, int total)> progress; // optional
};

struct PoolOptions
{
    int workers = 0; // 0: detectionWorkerCount()
    int window = 0;  // results prepared but not delivered; 0: two per worker (at least 2)
    int pollMs = 10; // how often abort() is asked while a result is awaited
    // Cap the vision library's thread pool at one thread while more than one worker runs.
    bool capLibraryThreads = true;
};

enum class PoolStatus
{
    Finished,
    Aborted,
};

// Workers a run uses by default: setDetectionWorkerCount's value when set, else the
// environment variable VANTIRO_THREADS (a positive number), else the cores this process may
// run on.
int detectionWorkerCount();
// Process-wide override of the default (0 goes back to automatic).
void setDetectionWorkerCount(int workers);

// The usual Work: the image read as grey inside the worker through readImageChecked (header
// checked and size-limited before it is decoded), then detectTarget.
struct ImageDetection
{
    bool readable = false; // the file passed the header checks and could be decoded
    QString error;         // why not, when not readable
    cv::Size size;         // of the image read
    bool found = false;    // target found with at least one corner (an empty list counts as not found)
    TargetCornerList corners;
};
// Exceptions of detectTarget (settings the library refuses) reach the caller through the pool.
// With stop requested once the image is read, returns without detecting.
ImageDetection loadAndDetect(const QString& path, const MainWindowSettings& target, const StopToken& stop = {});

namespace detail {

using ErasedWork = std::function<void(const StopToken&)>;

struct ErasedJobs
{
    std::function<ErasedWork(int)> prepare;
    std::function<void(int, bool dispatched)> deliver;
    AbortCheck abort;
    std::function<void()> aborted;
    std::function<void(int, int)> progress;
};

PoolStatus runErased(int count, const ErasedJobs& jobs, const PoolOptions& options);

} // namespace detail

// Runs jobs over the indices 0 .. count - 1 as the contract above says.
template <class Result>
PoolStatus runInListOrder(int count, const OrderedJobs<Result>& jobs, const PoolOptions& options = {})
{
    // Slot i is written by the worker that ran Work i and read by the calling thread after the
    // pool has marked i finished (under its lock).
    std::vector<std::optional<Result>> results(size_t(count > 0 ? count : 0));
    detail::ErasedJobs erased;
    erased.prepare = [&](int i) -> detail::ErasedWork {
        Work<Result> work = jobs.prepare(i);
        if (!work)
            return {};
        std::optional<Result>* slot = &results[size_t(i)];
        return [slot, work = std::move(work)](const StopToken& stop) { slot->emplace(work(stop)); };
    };
    erased.deliver = [&](int i, bool dispatched) {
        std::optional<Result>& slot = results[size_t(i)];
        jobs.deliver(i, dispatched && slot ? &*slot : nullptr);
        slot.reset();
    };
    erased.abort = jobs.abort;
    erased.aborted = jobs.aborted;
    erased.progress = jobs.progress;
    return detail::runErased(count, erased, options);
}

} // namespace vantiro
