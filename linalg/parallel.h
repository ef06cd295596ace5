// Worker threads owned by one call: a loop over independent jobs spread over a few std::thread
// workers that live only for the length of the loop. No thread outlives the call that made it
// and no host API is ever called from a worker.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace tarvo {

// Threads a call may use: TARVO_NUM_THREADS when it holds a whole number >= 1 (at most 256),
// else std::thread::hardware_concurrency() (1 when unknown). While the allocation test hook
// (alloc_fail_at) is armed the answer is 1, so that "the k-th allocation" names the same
// allocation on every run.
int thread_count();

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
