#include "targets/DetectionPool.h"

#include "app/ImageFile.h"

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

namespace vantiro {

namespace {

std::atomic<int> g_workerOverride{0};

int availableCores()
{
#ifdef __linux__
    // Honours taskset and container CPU sets, which hardware_concurrency ignores.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
#endif
    return std::max(1, int(std::thread::hardware_concurrency()));
}

// Caps the library's thread pool at one thread for as long as any multi-worker run is going on.
// Runs can nest (the GUI's abort check processes events, and those may start another module's
// run), so only the outermost changes the setting: changing it while workers are inside the
// library would tear its pool down under them.
class LibraryThreadsCap
{
public:
    LibraryThreadsCap()
    {
        const std::lock_guard<std::mutex> lock(mutex());
        if (depth()++ == 0) {
            saved() = cv::getNumThreads();
            cv::setNumThreads(1);
        }
    }
    ~LibraryThreadsCap()
    {
        const std::lock_guard<std::mutex> lock(mutex());
        if (--depth() == 0)
            cv::setNumThreads(saved());
    }
    LibraryThreadsCap(const LibraryThreadsCap&) = delete;
    LibraryThreadsCap& operator=(const LibraryThreadsCap&) = delete;

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static int& depth()
    {
        static int d = 0;
        return d;
    }
    static int& saved()
    {
        static int s = 0;
        return s;
    }
};

enum class Slot : unsigned char
{
    Pending,
    Done,
    NotDispatched,
};

class Pool
{
public:
    Pool(int count, int workers) : m_slots(size_t(count), Slot::Pending), m_errors(size_t(count)), m_workers(workers) {}

    ~Pool()
    {
        // Normally joined already; this is the last line of defence.
        requestStop();
        for (std::thread& t : m_threads)
            if (t.joinable())
                t.join();
    }

    // Queues Work i, starting another worker while fewer than allowed are running.
    void dispatch(int i, detail::ErasedWork work)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.emplace_back(i, std::move(work));
        // Idle workers that were woken but have not taken their item yet still count as idle.
        if (int(m_threads.size()) < m_workers && int(m_queue.size()) > m_idle) {
            ++m_alive;
            m_threads.emplace_back([this] { workerLoop(); });
        }
        m_workAvailable.notify_one();
    }

    void skip(int i)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_slots[size_t(i)] = Slot::NotDispatched;
        ++m_finished;
    }

    // Nothing more will be queued: idle workers may leave.
    void close()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_workAvailable.notify_all();
    }

    void requestStop()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop.store(true);
        m_queue.clear();
        m_workAvailable.notify_all();
    }

    // Waits up to 'wait' for index i. Returns whether it is finished; 'finished' gets the count.
    bool waitFor(int i, std::chrono::milliseconds wait, int& finished)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_resultReady.wait_for(lock, wait, [&] { return m_slots[size_t(i)] != Slot::Pending; });
        finished = m_finished;
        return m_slots[size_t(i)] != Slot::Pending;
    }

    Slot slot(int i)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_slots[size_t(i)];
    }

    std::exception_ptr error(int i)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors[size_t(i)];
    }

    // Waits until every worker has left, calling keepAlive every 'poll' meanwhile, then joins them.
    void join(std::chrono::milliseconds poll, const std::function<void()>& keepAlive)
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_resultReady.wait_for(lock, poll, [&] { return m_alive == 0; }))
                    break;
            }
            if (keepAlive)
                keepAlive();
        }
        for (std::thread& t : m_threads)
            t.join();
        m_threads.clear();
    }

    const std::atomic<bool>& stopFlag() const { return m_stop; }

private:
    void workerLoop()
    {
        const StopToken token(&m_stop);
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            ++m_idle;
            m_workAvailable.wait(lock, [&] { return m_stop.load() || !m_queue.empty() || m_closed; });
            --m_idle;
            if (m_stop.load() || m_queue.empty())
                break;
            auto [index, work] = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            std::exception_ptr error;
            try {
                work(token);
            } catch (...) {
                error = std::current_exception();
            }
            work = nullptr; // whatever the Work captured goes now, off the calling thread
            lock.lock();
            m_errors[size_t(index)] = error;
            m_slots[size_t(index)] = Slot::Done;
            ++m_finished;
            m_resultReady.notify_all();
        }
        --m_alive;
        m_resultReady.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_workAvailable; // workers wait here
    std::condition_variable m_resultReady;   // the calling thread waits here
    std::deque<std::pair<int, detail::ErasedWork>> m_queue;
    std::vector<Slot> m_slots;
    std::vector<std::exception_ptr> m_errors;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    const int m_workers;
    int m_alive = 0;
    int m_idle = 0;
    int m_finished = 0;
    bool m_closed = false;
};

} // namespace

int detectionWorkerCount()
{
    if (const int n = g_workerOverride.load(); n > 0)
        return n;
    if (const char* env = std::getenv("VANTIRO_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n > 0 && n <= 1024)
            return int(n);
    }
    return availableCores();
}

void setDetectionWorkerCount(int workers)
{
    g_workerOverride.store(std::max(0, workers));
}

ImageDetection loadAndDetect(const QString& path, const MainWindowSettings& target, const StopToken& stop)
{
    ImageDetection result;
    const cv::Mat grey = readImageChecked(path, cv::IMREAD_GRAYSCALE, &result.error);
    if (grey.empty())
        return result;
    result.readable = true;
    result.size = grey.size();
    // The detection is the long part: skip it once the run has stopped.
    if (stop.stopRequested())
        return result;
    result.found = detectTarget(grey, target, result.corners) && !result.corners.empty();
    return result;
}

namespace detail {

PoolStatus runErased(int count, const ErasedJobs& jobs, const PoolOptions& options)
{
    if (count <= 0)
        return PoolStatus::Finished;
    const int workers = std::max(1, std::min(options.workers > 0 ? options.workers : detectionWorkerCount(), count));
    const int window = std::max(options.window > 0 ? options.window : 2 * workers, 2);
    const std::chrono::milliseconds poll(std::max(1, options.pollMs));

    std::optional<LibraryThreadsCap> cap;
    if (options.capLibraryThreads && workers > 1)
        cap.emplace();
    Pool pool(count, workers);

    bool abortUsable = bool(jobs.abort);
    // While workers finish after a stop the abort check keeps the GUI alive; its answer no longer matters.
    const std::function<void()> keepAlive = [&] {
        if (!abortUsable)
            return;
        try {
            jobs.abort();
        } catch (...) {
            abortUsable = false;
        }
    };
    auto stopAndJoin = [&] {
        pool.requestStop();
        pool.join(poll, keepAlive);
    };
    auto abortRun = [&] {
        pool.requestStop();
        if (jobs.aborted)
            jobs.aborted();
        pool.join(poll, keepAlive);
        return PoolStatus::Aborted;
    };

    int reported = -1;
    auto report = [&](int finished) {
        if (jobs.progress && finished > reported) {
            reported = finished;
            jobs.progress(finished, count);
        }
    };

    try {
        int prepared = 0;
        bool closed = false;
        report(0);
        for (int next = 0; next < count; ++next) {
            for (; prepared < count && prepared - next < window; ++prepared) {
                ErasedWork work = jobs.prepare(prepared);
                if (work)
                    pool.dispatch(prepared, std::move(work));
                else
                    pool.skip(prepared);
            }
            if (prepared == count && !closed) {
                pool.close();
                closed = true;
            }

            if (jobs.abort && jobs.abort())
                return abortRun();
            int finished = 0;
            while (!pool.waitFor(next, poll, finished)) {
                report(finished);
                if (jobs.abort && jobs.abort())
                    return abortRun();
            }
            report(finished);
            if (const std::exception_ptr error = pool.error(next)) {
                stopAndJoin();
                std::rethrow_exception(error);
            }
            jobs.deliver(next, pool.slot(next) == Slot::Done);
        }
        pool.join(poll, keepAlive);
    } catch (...) {
        // A Work's exception on its way (the workers are joined already) or one of the caller's
        // callbacks failed: either way no worker outlives the run. The abort check is not asked
        // any more, it may be what failed.
        abortUsable = false;
        pool.requestStop();
        pool.join(poll, keepAlive);
        throw;
    }
    return PoolStatus::Finished;
}

} // namespace detail

} // namespace vantiro
