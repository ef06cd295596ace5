#include "linalg/parallel.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "linalg/memory.h"

namespace tarvo {

namespace {
constexpr int kMaxThreads = 256;
// The count set by the innermost ThreadCountScope of this thread (or of the thread whose loop
// this worker runs); 0 when none.
thread_local int t_scope_threads = 0;
}  // namespace

ThreadCountScope::ThreadCountScope(int threads) : previous_(t_scope_threads) {
  if (threads >= 1) t_scope_threads = threads > kMaxThreads ? kMaxThreads : threads;
}

ThreadCountScope::~ThreadCountScope() {
  t_scope_threads = previous_;
}

int thread_count() {
  if (alloc_fail_armed()) return 1;
  if (t_scope_threads >= 1) return t_scope_threads;
  if (const char* text = std::getenv("TARVO_NUM_THREADS")) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && v >= 1)
      return v > kMaxThreads ? kMaxThreads : static_cast<int>(v);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw == 0) return 1;
  return hw > static_cast<unsigned>(kMaxThreads) ? kMaxThreads : static_cast<int>(hw);
}

int parallel_for(std::int64_t count, int threads,
                 const std::function<int(std::int64_t, int)>& job) {
  if (count <= 0) return 0;
  const int workers = worker_count(count, threads);
  // Worker w first runs job w, then takes the next job not yet taken. Every worker thus runs
  // at least one job, so whatever a worker sets up on its first job (an FFT slot, say) is set
  // up the same number of times on every run, whatever the scheduling.
  std::atomic<std::int64_t> next{workers};
  std::atomic<bool> failed{false};
  std::mutex error_lock;
  std::exception_ptr error;
  auto run = [&](std::int64_t i, int worker) {
    if (failed.load(std::memory_order_relaxed)) return false;
    try {
      if (job(i, worker) != 0) failed.store(true);
    } catch (...) {
      std::lock_guard<std::mutex> hold(error_lock);
      if (!error) error = std::current_exception();
      failed.store(true);
    }
    return !failed.load(std::memory_order_relaxed);
  };
  auto take_rest = [&](int worker) {
    for (;;) {
      const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count || !run(i, worker)) return;
    }
  };
  const int scope_threads = t_scope_threads;
  auto work = [&](int worker) {
    t_scope_threads = scope_threads;  // a worker counts threads as its caller does
    if (run(worker, worker)) take_rest(worker);
  };
  if (workers == 1) {
    work(0);
  } else {
    std::vector<std::thread> pool;
    try {
      pool.reserve(static_cast<std::size_t>(workers - 1));
      for (int w = 1; w < workers; ++w) pool.emplace_back(work, w);
    } catch (...) {
      // A thread that cannot be started (or no room for its handle): the calling thread runs
      // the first jobs of the workers that did not start, then shares the rest.
    }
    bool going = run(0, 0);
    for (int w = 1 + static_cast<int>(pool.size()); going && w < workers; ++w) going = run(w, 0);
    if (going) take_rest(0);
    for (std::thread& t : pool) t.join();
  }
  if (error) std::rethrow_exception(error);
  return failed.load() ? -1 : 0;
}

}  // namespace tarvo
