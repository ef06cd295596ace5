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
}  // namespace

int thread_count() {
  if (alloc_fail_armed()) return 1;
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
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_lock;
  std::exception_ptr error;
  auto work = [&](int worker) {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        if (job(i, worker) != 0) failed.store(true);
      } catch (...) {
        std::lock_guard<std::mutex> hold(error_lock);
        if (!error) error = std::current_exception();
        failed.store(true);
      }
    }
  };
  if (workers == 1) {
    work(0);
  } else {
    std::vector<std::thread> pool;
    try {
      pool.reserve(static_cast<std::size_t>(workers - 1));
      for (int w = 1; w < workers; ++w) pool.emplace_back(work, w);
    } catch (...) {
      // A thread that cannot be started (or no room for its handle): the calling thread and
      // the workers already started do the work.
    }
    work(0);
    for (std::thread& t : pool) t.join();
  }
  if (error) std::rethrow_exception(error);
  return failed.load() ? -1 : 0;
}

}  // namespace tarvo
