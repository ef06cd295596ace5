// Parallel loops over independent jobs. The jobs of a loop are shared between the calling
// thread and the module's helper threads: started on first use (as many as the widest loop so
// far needed), idle between loops, shared by every thread that calls into the module, and
// stopped and joined when the module is unloaded. A loop never waits for a helper to become
// free (shares no helper has taken are run by the calling thread), so loops started inside
// the jobs of other loops, or from several host threads at once, cannot deadlock. No host API
// is ever called from a helper. (On Windows each loop starts and joins its own helpers.)
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

// The form of the product kernel: kBest is the fused form where fma_kernels_available(), else
// the baseline; kBaseline and kFused force one (kFused acts as kBest where FMA is missing).
enum class KernelForm { kBest, kBaseline, kFused };

// While it lives, the product kernel on the thread that made it (and on the workers of the
// loops that thread runs) takes `form`; elsewhere the choice stays as it was. Tests of each
// path use it; the module itself always runs kBest.
class KernelFormScope {
 public:
  explicit KernelFormScope(KernelForm form);
  ~KernelFormScope();
  KernelFormScope(const KernelFormScope&) = delete;
  KernelFormScope& operator=(const KernelFormScope&) = delete;

 private:
  KernelForm previous_;
};

// The form asked for on this thread.
KernelForm kernel_form();

// Runs job(index, worker) for every index in 0 .. count-1 on min(threads, count) workers
// (worker 0 is the calling thread; worker ids are 0 .. workers-1, and one worker runs one job
// at a time, so per-worker buffers indexed by the id are never shared). Jobs must not depend on
// which worker runs them. Returns 0 when every job returned 0; otherwise -1 once the running
// jobs have finished (no new job starts after a failure). An exception thrown by a job is
// captured and rethrown on the calling thread once every worker has finished. A helper that
// cannot be started is not an error: the calling thread runs that worker's share, under the
// worker's own id.
int parallel_for(std::int64_t count, int threads,
                 const std::function<int(std::int64_t index, int worker)>& job);

// Number of workers parallel_for uses for count jobs on `threads` threads.
inline int worker_count(std::int64_t count, int threads) {
  if (threads < 1) threads = 1;
  return count < threads ? static_cast<int>(count < 1 ? 1 : count) : threads;
}

}  // namespace tarvo
