#include "history/ChunkRunner.h"

#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <time.h>

namespace harbelle {
namespace {

constexpr int kHelperThreads = 3;
// How long a caller past its share waits for a helper to finish a range before it takes one.
constexpr std::chrono::milliseconds kStalled{20};

QThreadPool& helperPool() {
    static QThreadPool pool;
    static std::once_flag sized;
    std::call_once(sized, [] { pool.setMaxThreadCount(kHelperThreads); });
    return pool;
}

struct SharedChunks {
    const std::function<void(std::size_t, std::size_t, std::size_t)>* work = nullptr;  // valid until all are done
    std::size_t total = 0;
    std::size_t chunkSize = 1;
    std::size_t chunks = 0;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable allDone;
    std::size_t done = 0;

    // Ranges until none is left, or until `stop` says this thread has done its share.
    template <class Stop>
    void take(Stop stop) {
        for (;;) {
            if (stop()) return;
            const std::size_t chunk = next.fetch_add(1);
            if (chunk >= chunks) return;  // nothing left: `work` is not touched again
            (*work)(chunk, chunk * chunkSize, std::min(total, (chunk + 1) * chunkSize));
            std::lock_guard lock(mutex);
            if (++done == chunks) allDone.notify_all();
        }
    }
};

std::chrono::microseconds threadProcessorTime() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::seconds(t.tv_sec) +
                                                                 std::chrono::nanoseconds(t.tv_nsec));
}

}  // namespace

std::size_t usefulThreads(std::size_t wanted) {
    return std::min<std::size_t>({wanted, std::max(1u, std::thread::hardware_concurrency()),
                                  static_cast<std::size_t>(kHelperThreads + 1)});
}

void runInChunks(std::size_t total, std::size_t threads, std::size_t chunks,
                 const std::function<void(std::size_t, std::size_t, std::size_t)>& work,
                 std::chrono::microseconds callerShare) {
    if (total == 0) return;
    threads = usefulThreads(threads);
    if (threads < 2 || chunks < 2 || total < 2) {
        work(0, 0, total);
        return;
    }
    auto shared = std::make_shared<SharedChunks>();
    shared->work = &work;
    shared->total = total;
    // Ranges of equal size, rounded up; the last may be shorter and none is empty.
    shared->chunkSize = (total + std::min(chunks, total) - 1) / std::min(chunks, total);
    shared->chunks = (total + shared->chunkSize - 1) / shared->chunkSize;
    for (std::size_t helper = 1; helper < threads; ++helper)
        helperPool().start([shared] { shared->take([] { return false; }); });
    if (callerShare == std::chrono::microseconds::max()) {
        shared->take([] { return false; });
    } else {
        const auto until = threadProcessorTime() + callerShare;
        shared->take([&] { return threadProcessorTime() >= until; });
    }
    // Past its share the caller waits for the helpers, unless none of them finishes a range for
    // a while (the pool busy with another caller's ranges): then it takes one more itself.
    std::unique_lock lock(shared->mutex);
    std::size_t seen = shared->done;
    while (!shared->allDone.wait_for(lock, kStalled, [&] { return shared->done == shared->chunks; })) {
        if (shared->done != seen) {
            seen = shared->done;
            continue;
        }
        lock.unlock();
        bool tookOne = false;
        shared->take([&] { return std::exchange(tookOne, true); });
        lock.lock();
        seen = shared->done;
    }
}

}  // namespace harbelle
