#include "linalg/parallel.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "linalg/report.h"
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "linalg/memory.h"

namespace tarvo {

namespace {

constexpr int kMaxThreads = 256;

// The count set by the innermost ThreadCountScope of this thread (or of the thread whose loop
// this helper is running a share of); 0 when none.
thread_local int t_scope_threads = 0;

// The form asked for by the innermost KernelFormScope of this thread (or of the thread whose
// loop this helper runs a share of).
thread_local KernelForm t_form = KernelForm::kBest;

// One parallel loop as the helpers see it: worker ids 1 .. workers-1 are handed out once each,
// to a helper thread or, for those no helper has taken when the calling thread runs out of
// work, to the calling thread itself. A loop therefore never waits for a thread to become free:
// it waits only for shares that are already running, which finish whatever else is going on.
struct Loop {
  using Share = void (*)(void* context, int worker);
  Loop(int n, Share s, void* c) : share(s), context(c), workers(n) {}
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  void work(int worker) { share(context, worker); }

  const Share share;    // runs worker w's share of the jobs; never throws
  void* const context;  // borrowed: what share works on
  const int workers;
  int taken = 1;                     // ids 1 .. taken-1 have been handed out (0 is the caller's)
  int running = 0;                   // ids a helper took and has not finished
  bool queued = false;               // in the queue of loops with ids left
  Loop* next = nullptr;              // that queue
  std::condition_variable finished;  // running dropped to 0
};

#ifndef _WIN32
// The module's helper threads: started on first use, as many as the widest loop so far asked
// for (at most kMaxThreads - 1), idle between loops, shared by every calling thread. Stopped
// and joined when the module is unloaded (its static objects are destroyed: dlclose or exit),
// so that no helper is left running code that is no longer mapped.
class Pool {
 public:
  Pool() = default;
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // Offers loop's worker ids to the helpers, starting helpers up to workers - 1 of them. A
  // helper that cannot be started is not an error: the calling thread takes its share.
  void offer(Loop* loop) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return;
    grow(loop->workers - 1);
    if (tail_)
      tail_->next = loop;
    else
      head_ = loop;
    tail_ = loop;
    loop->queued = true;
    for (int k = std::min(idle_, loop->workers - 1); k > 0; --k) wake_.notify_one();
  }

  // Runs on the calling thread every id of loop that no helper has taken, then waits for the
  // shares helpers are running. Afterwards no helper refers to loop.
  void finish(Loop* loop) {
    std::unique_lock<std::mutex> hold(lock_);
    while (loop->taken < loop->workers) {
      const int id = take(loop);
      hold.unlock();
      loop->work(id);
      hold.lock();
    }
    loop->finished.wait(hold, [loop] { return loop->running == 0; });
  }

 private:
  // Starts helpers until there are n (lock_ held).
  void grow(int n) {
    if (static_cast<int>(threads_.size()) >= n) return;
    // Helpers take no signals: the host's handlers run on its own threads.
    sigset_t all, old;
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &old) == 0;
    try {
      threads_.reserve(static_cast<std::size_t>(n));
      while (static_cast<int>(threads_.size()) < n) threads_.emplace_back([this] { serve(); });
    } catch (...) {
      // No room or no thread: the loops run on fewer helpers.
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  // Hands out loop's next id and drops the loop from the queue once none is left (lock_ held).
  int take(Loop* loop) {
    const int id = loop->taken++;
    if (loop->taken == loop->workers && loop->queued) {
      Loop** link = &head_;
      Loop* prev = nullptr;
      while (*link != loop) {
        prev = *link;
        link = &(*link)->next;
      }
      *link = loop->next;
      if (tail_ == loop) tail_ = prev;
      loop->next = nullptr;
      loop->queued = false;
    }
    return id;
  }

  void serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      while (!stopping_ && !head_) {
        ++idle_;
        wake_.wait(hold);
        --idle_;
      }
      if (stopping_) return;
      Loop* loop = head_;
      const int id = take(loop);
      ++loop->running;
      hold.unlock();
      loop->work(id);
      hold.lock();
      // Notified with lock_ held: the caller cannot see running == 0, return and destroy the
      // loop before this thread has let go of it.
      if (--loop->running == 0) loop->finished.notify_one();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;  // a loop was queued, or stopping_ was set
  Loop* head_ = nullptr;          // loops with ids left, oldest first
  Loop* tail_ = nullptr;
  std::vector<std::thread> threads_;
  int idle_ = 0;  // helpers waiting on wake_
  bool stopping_ = false;
};

Pool& pool() {
  static Pool the_pool;
  return the_pool;
}

void share_out(Loop* loop) {
  Pool& p = pool();
  p.offer(loop);
  loop->work(0);
  p.finish(loop);
}
#else
// Windows runs the static destructors of a module that is unloaded with the loader's lock
// held, and a thread cannot end while another holds it: helpers could never be joined there.
// Each loop starts its own helpers instead, and joins them before it returns.
void share_out(Loop* loop) {
  std::mutex lock;
  auto take = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return loop->taken < loop->workers ? loop->taken++ : 0;
  };
  auto serve = [&] {
    for (int id = take(); id != 0; id = take()) loop->work(id);
  };
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(static_cast<std::size_t>(loop->workers - 1));
    for (int w = 1; w < loop->workers; ++w) helpers.emplace_back(serve);
  } catch (...) {
    // No room or no thread: the calling thread takes the shares no helper took.
  }
  loop->work(0);
  serve();
  for (std::thread& t : helpers) t.join();
}
#endif

}  // namespace

ThreadCountScope::ThreadCountScope(int threads) : previous_(t_scope_threads) {
  if (threads >= 1) t_scope_threads = threads > kMaxThreads ? kMaxThreads : threads;
}

ThreadCountScope::~ThreadCountScope() {
  t_scope_threads = previous_;
}

KernelFormScope::KernelFormScope(KernelForm form) : previous_(t_form) {
  t_form = form;
}

KernelFormScope::~KernelFormScope() {
  t_form = previous_;
}

KernelForm kernel_form() {
  return t_form;
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
  // Worker `worker`'s share: its first job, then jobs not yet taken.
  const int scope_threads = t_scope_threads;
  const KernelForm form = kernel_form();
  ReportCapture* const capture = current_report_capture();
  auto work = [&](int worker) {
    const ThreadCountScope inherited(scope_threads);  // a helper counts as its caller does,
    const KernelFormScope same_form(form);            // computes as its caller does
    const ReportTo reporting(capture);                // and reports where its caller does
    if (!run(worker, worker)) return;
    for (;;) {
      const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count || !run(i, worker)) return;
    }
  };
  if (workers == 1) {
    work(0);
  } else {
    using Work = decltype(work);
    Loop loop(
        workers, [](void* w, int worker) { (*static_cast<Work*>(w))(worker); }, &work);
    share_out(&loop);
  }
  if (error) std::rethrow_exception(error);
  return failed.load() ? -1 : 0;
}

}  // namespace tarvo
