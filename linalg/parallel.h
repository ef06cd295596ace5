// Worker threads owned by one call: a loop over independent jobs spread over a few std::thread
// workers that live only for the length of the loop. No thread outlives the call that made it
// and no host API is ever called from a worker.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace tarvo {

// Threads a call may use: the count of the innermost ThreadCountScope alive on this thread,
// else TARVO_NUM_THREADS when it holds a whole number >= 1, else
// std::thread::hardware_concurrency() (1 when unknown); at most 256. While the allocation test
// hook (alloc_fail_at) is armed the answer is 1, so that "the k-th allocation" names the same
// allocation on every run.
int thread_count();

// While it lives, thread_count() on the thread that made it (and on the workers of the loops
// that thread runs) answers `threads` when it is >= 1; a count < 1 leaves the answer as it
// was. One caller's count thus never changes another's, unlike the environment variable.
class ThreadCountScope {
 public:
  explicit ThreadCountScope(int threads);
  ~ThreadCountScope();
  ThreadCountScope(const ThreadCountScope&) = delete;
  ThreadCountScope& operator=(const ThreadCountScope&) = delete;

 private:
  int previous_;
};

// Runs job(index, worker) for every index in 0 .. count-1 on min(threads, count) workers
// (worker 0 is the calling thread; worker ids are 0 .. workers-1, and one worker runs one job
// at a time, so per-worker buffers indexed by the id are never shared). Jobs must not depend on
// which worker runs them. Returns 0 when every job returned 0; otherwise -1 once the running
// jobs have finished (no new job starts after a failure). An exception thrown by a job is
// captured and rethrown on the calling thread after every worker has been joined.
int parallel_for(std::int64_t count, int threads,
                 const std::function<int(std::int64_t index, int worker)>& job);

// Number of workers parallel_for uses for count jobs on `threads` threads.
inline int worker_count(std::int64_t count, int threads) {
  if (threads < 1) threads = 1;
  return count < threads ? static_cast<int>(count < 1 ? 1 : count) : threads;
}

}  // namespace tarvo
