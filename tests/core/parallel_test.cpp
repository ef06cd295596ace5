// Results do not depend on the number of threads: the worker loop itself, the
// kernel fit (its Gram matrix), the phase alignment and the synthesis, bit for bit for 1, 2, 3 and
// 8 threads, and whole corrections run side by side give the bits of the same corrections run one
// at a time (whole calls on every thread count are pinned by the gateway's reference test). Also
// built under ThreadSanitizer (TARVO_TSAN) by tools/test.sh.
#include "linalg/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "align/align.h"
#include "core/core.h"
#include "core/internal.h"
#include "core/phantom.h"
#include "core/tarvo.h"
#include "core/test_util.h"
#include "linalg/report.h"

namespace {

using tarvo_test::Phantom;

// Sets TARVO_NUM_THREADS for the length of a scope.
class Threads {
 public:
  explicit Threads(int n) { setenv("TARVO_NUM_THREADS", std::to_string(n).c_str(), 1); }
  ~Threads() { unsetenv("TARVO_NUM_THREADS"); }
};

bool same_bits(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dcomplex)) == 0;
}

struct Outputs {
  int status = -1;
  std::vector<dcomplex> E, F;
};

// Outputs 1 and 2 of a whole call.
Outputs correct(const Phantom& ph) {
  using tarvo_test::Volume;
  Volume A(ph.M, ph.N, ph.Z, ph.L, ph.even), B(ph.M, ph.N, ph.Z, ph.L, ph.odd);
  Volume E(ph.M, ph.N, ph.Z, ph.L), F(ph.M, ph.N, ph.Z, ph.L);
  tarvo::Calibration calibration;
  tarvo::Status status;
  const int code =
      tarvo::correct(A.record, B.record, nullptr, &E.record, &F.record, &calibration, &status);
  return {code, E.data, F.data};
}

Phantom make(int M, int N, int Z, int L) {
  tarvo_test::PhantomOptions o;
  o.M = M, o.N = N, o.Z = Z, o.L = L;
  o.a = 0.4, o.b = 0.05, o.d = 0.1, o.noise = 1e-4;
  return tarvo_test::make_phantom(o);
}

// Every job runs once, and every worker runs at least one (job w is worker w's first), so
// what a worker sets up on its first job is set up the same number of times on every run.
TEST(ParallelFor, RunsEveryJobOnceAndEveryWorkerAtLeastOnce) {
  for (int run = 0; run < 20; ++run) {
    std::vector<std::atomic<int>> hits(1000), per_worker(3);
    std::vector<int> first_worker(3, -1);
    std::atomic<int> bad_worker{0};
    EXPECT_EQ(tarvo::parallel_for(1000, 3,
                                  [&](std::int64_t i, int w) {
                                    hits[i].fetch_add(1);
                                    if (w < 0 || w >= 3) {
                                      bad_worker.store(1);
                                      return 0;
                                    }
                                    per_worker[w].fetch_add(1);
                                    if (i < 3) first_worker[i] = w;
                                    return 0;
                                  }),
              0);
    for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
    ASSERT_EQ(bad_worker.load(), 0);
    for (int w = 0; w < 3; ++w) {
      EXPECT_GE(per_worker[w].load(), 1) << w;
      EXPECT_EQ(first_worker[w], w);
    }
  }
}

TEST(ParallelFor, FailureAndExceptionReachTheCallingThread) {
  EXPECT_EQ(tarvo::parallel_for(64, 4, [](std::int64_t i, int) { return i == 17 ? -1 : 0; }), -1);
  EXPECT_THROW(tarvo::parallel_for(64, 4,
                                   [](std::int64_t i, int) -> int {
                                     if (i == 5) throw std::runtime_error("job 5");
                                     return 0;
                                   }),
               std::runtime_error);
}

// Runs parallel_for(count, threads) and checks that every job ran once and that no worker id
// was ever held by two threads at a time (per-worker buffers would be shared otherwise).
// `inner` runs inside every job. False on any fault.
template <class Inner>
bool checked_loop(int count, int threads, const Inner& inner) {
  std::vector<std::atomic<int>> hits(count), busy(threads);
  std::atomic<bool> ok{true};
  const int status = tarvo::parallel_for(count, threads, [&](std::int64_t i, int w) {
    if (w < 0 || w >= threads || busy[w].exchange(1) != 0) {
      ok = false;
      return 0;
    }
    hits[i].fetch_add(1);
    if (!inner()) ok = false;
    busy[w].store(0);
    return 0;
  });
  for (const auto& h : hits)
    if (h.load() != 1) ok = false;
  return status == 0 && ok;
}

// Loops started from inside the jobs of other loops, and from several host threads at once,
// share the helpers: none waits for a helper another loop holds (a deadlock hangs the test).
TEST(ParallelFor, NestedLoopsAndLoopsFromSeveralCallersRunEveryJobOnce) {
  auto nested = [] {
    return checked_loop(6, 3, [] { return checked_loop(40, 3, [] { return true; }); });
  };
  std::vector<std::atomic<int>> passed(3);
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&, c] {
      for (int rep = 0; rep < 30; ++rep)
        if (nested()) passed[c].fetch_add(1);
    });
  for (std::thread& t : callers) t.join();
  for (int c = 0; c < 3; ++c) EXPECT_EQ(passed[c].load(), 30) << "caller " << c;
}

TEST(ThreadCount, ReadsTheEnvironmentAndIsOneWhileAFailureIsArmed) {
  {
    Threads t(3);
    EXPECT_EQ(tarvo::thread_count(), 3);
    tarvo::alloc_fail_at(1000000);
    EXPECT_EQ(tarvo::thread_count(), 1);
    tarvo::alloc_fail_at(0);
  }
  setenv("TARVO_NUM_THREADS", "two", 1);
  EXPECT_GE(tarvo::thread_count(), 1);
  unsetenv("TARVO_NUM_THREADS");
}

// A scope's count beats the environment on its own thread and on its loops' workers, and not
// on another thread; it ends with the scope.
TEST(ThreadCount, AScopeSetsTheCountOfItsThreadAndItsWorkersOnly) {
  Threads t(3);
  {
    tarvo::ThreadCountScope scope(5);
    EXPECT_EQ(tarvo::thread_count(), 5);
    // Job 0 runs on the calling thread and waits (up to 10 s) until a helper has run a job, so
    // the helpers' answer is read on every run, not only when they happen to take a share.
    std::vector<int> seen(8, 0);
    std::atomic<int> on_helpers{0};
    const std::thread::id caller = std::this_thread::get_id();
    ASSERT_EQ(tarvo::parallel_for(8, 4,
                                  [&](std::int64_t i, int) {
                                    seen[i] = tarvo::thread_count();
                                    if (std::this_thread::get_id() != caller) ++on_helpers;
                                    for (int k = 0; i == 0 && on_helpers == 0 && k < 10000; ++k)
                                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                    return 0;
                                  }),
              0);
    ASSERT_GT(on_helpers.load(), 0);
    for (int v : seen) EXPECT_EQ(v, 5);
    int other = 0;
    std::thread([&] { other = tarvo::thread_count(); }).join();
    EXPECT_EQ(other, 3);
    tarvo::ThreadCountScope unset(0);
    EXPECT_EQ(tarvo::thread_count(), 5);
  }
  EXPECT_EQ(tarvo::thread_count(), 3);
}

// A binding hands the inner steps' messages to its caller: those reported by the helpers of a
// loop reach the calling thread's capture (said once each), and nothing reaches stderr.
TEST(ReportCapture, KeepsWhatTheLoopsHelpersReportAndPrintsNothing) {
  testing::internal::CaptureStderr();
  std::string text;
  {
    const tarvo::ReportCapture capture;
    std::atomic<int> on_helpers{0};
    const std::thread::id caller = std::this_thread::get_id();
    tarvo::parallel_for(16, 4, [&](std::int64_t i, int) {
      // Long enough for the helpers to take their shares.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (std::this_thread::get_id() != caller) ++on_helpers;
      tarvo::report(" job %d failed\n", static_cast<int>(i % 3));
      return 0;
    });
    EXPECT_GT(on_helpers.load(), 0);
    text = capture.text();
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const char* line : {"job 0 failed", "job 1 failed", "job 2 failed"})
    EXPECT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.size(), 3 * std::strlen("job 0 failed") + 2) << text;
}

TEST(KernelFit, SameWeightsForEveryThreadCountAndCloseToTheExactKernel) {
  const int M = 16, N = 12, L = 3, K = tarvo_test::kW * tarvo_test::kS * L;
  const std::vector<dcomplex> W = tarvo_test::random_values(std::size_t(K) * L, 11, 0.1);
  const std::vector<dcomplex> slice = tarvo_test::exact_kernel_slice(M, N, L, W, 12);
  std::vector<int> calib;
  for (int l = 1; l < N; l += 2) calib.push_back(l);
  const SliceShape shape{M, N, L, N};
  const TrainingSet training{static_cast<int>(calib.size()), calib.data(), M};
  std::vector<dcomplex> first;
  for (int threads : {1, 2, 3, 8}) {
    Threads t(threads);
    dcomplex* coefficients = nullptr;
    ASSERT_EQ(calibrate_kernel(shape, slice.data(), tarvo_test::kKernel, training, &coefficients),
              0);
    std::vector<dcomplex> got(coefficients, coefficients + std::size_t(K) * L);
    tarvo::free_bytes(coefficients);
    if (first.empty()) {
      first = got;
      // A well-conditioned fit of exact data: the weights themselves, to 1e-10 relative.
      EXPECT_LT(tarvo_test::max_abs_difference(got, W), 1e-10 * tarvo_test::max_abs(W));
    }
    EXPECT_TRUE(same_bits(got, first)) << threads << " threads";
  }
}

TEST(AlignPhase, FramesGiveTheSameBitsOnEveryThreadCount) {
  const int M = 24, N = 20, frames = 7;
  const std::vector<dcomplex> a0 = tarvo_test::random_values(std::size_t(M) * N * frames, 5);
  std::vector<dcomplex> b0 = a0;
  for (std::size_t i = 0; i < b0.size(); ++i) {
    const double phi =
        0.3 + 0.02 * static_cast<double>(i % M) + 0.1 * static_cast<double>(i / (M * N));
    b0[i] = complex_mult(a0[i], {std::cos(phi), std::sin(phi)});
  }
  const int dims[3] = {M, N, frames};
  std::vector<dcomplex> first_a, first_b;
  for (int threads : {1, 2, 3, 8, 8}) {
    Threads t(threads);
    std::vector<dcomplex> a = a0, b = b0;
    ASSERT_EQ(align_phase(a.data(), b.data(), 3, dims, nullptr, nullptr), 0);
    if (first_a.empty()) first_a = a, first_b = b;
    EXPECT_TRUE(same_bits(a, first_a) && same_bits(b, first_b)) << threads << " threads";
  }
}

// Whole corrections started at the same time from two threads (each spreading its frames over
// two workers, each alignment with its own workspace and Lanczos stores) give the bits of the
// same corrections made one after the other; under ThreadSanitizer, any state the calls shared
// would be reported.
TEST(Pipeline, CallsFromTwoThreadsAtOnceGiveTheSerialBits) {
  const Phantom ph[2] = {make(32, 24, 2, 4), make(24, 20, 3, 3)};
  Threads t(2);
  const Outputs want[2] = {correct(ph[0]), correct(ph[1])};
  Outputs got[2];
  std::thread other([&] { got[1] = correct(ph[1]); });
  got[0] = correct(ph[0]);
  other.join();
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(want[k].status, 0) << k;
    EXPECT_EQ(got[k].status, 0) << k;
    EXPECT_TRUE(same_bits(got[k].E, want[k].E) && same_bits(got[k].F, want[k].F)) << k;
  }
}

TEST(SideBySideSolves, GiveTheBitsOfOneSolveEachAndOfOneProductEach) {
  // A Hermitian positive definite system of moderate condition, several right-hand sides, with
  // tolerances that stop some systems early and leave others running all passes.
  const int n = 70, count = 5;
  const std::vector<dcomplex> G = tarvo_test::random_values(std::size_t(n) * n, 21);
  std::vector<dcomplex> A(std::size_t(n) * n, {0, 0});
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double re = i == j ? 2.0 * n : 0.0, im = 0.0;
      for (int k = 0; k < n; ++k) {
        const dcomplex a = G[k + std::size_t(n) * i], b = G[k + std::size_t(n) * j];
        re += a.re * b.re + a.im * b.im;
        im += a.re * b.im - a.im * b.re;
      }
      A[i + std::size_t(n) * j] = {re, im};
    }
  std::vector<dcomplex> B = tarvo_test::random_values(std::size_t(n) * count, 22);
  for (int i = 0; i < n; ++i) B[std::size_t(n) * 2 + i] = {B[i].re * 1e-8, 0.0};  // stops early
  std::vector<dcomplex> Y(std::size_t(n) * count);
  for (int threads : {1, 3}) {
    Threads t(threads);
    std::vector<dcomplex> many(std::size_t(n) * count, {0, 0});
    ASSERT_EQ(tarvo::complex_cg_solve_many(A.data(), n, count, B.data(), many.data(), 40, 1e-9), 0);
    tarvo::complex_matmat(A.data(), n, n, B.data(), count, Y.data());
    for (int c = 0; c < count; ++c) {
      std::vector<dcomplex> one(n, {0, 0}), y(n);
      ASSERT_EQ(complex_cg_solve(A.data(), n, B.data() + std::size_t(n) * c, one.data(), 40, 1e-9),
                0);
      complex_matvec(A.data(), B.data() + std::size_t(n) * c, n, n, y.data());
      EXPECT_EQ(std::memcmp(one.data(), many.data() + std::size_t(n) * c, n * sizeof(dcomplex)), 0)
          << "system " << c;
      EXPECT_EQ(std::memcmp(y.data(), Y.data() + std::size_t(n) * c, n * sizeof(dcomplex)), 0)
          << "product " << c;
    }
  }
}

// The synthesis of a half gives the same bits on every thread count (M = 37 leaves a partial
// block of samples, L = 3 an odd number of coils), and the one-pattern form gives those bits
// and marks what it wrote.
TEST(Synthesis, SameBitsOnEveryThreadCountAndFromTheOnePatternForm) {
  const int M = 37, N = 10, L = 3;
  std::vector<int> acquired;
  for (int l = 0; l < N; l += 2) acquired.push_back(l);
  const std::vector<dcomplex> source = tarvo_test::random_values(std::size_t(M) * N * L, 31);
  std::vector<dcomplex> start(source.size(), dcomplex{0, 0});
  for (std::size_t i = 0; i < start.size(); ++i)
    if (int(i % N) % 2 == 0) start[i] = source[i];
  const std::vector<dcomplex> W =
      tarvo_test::random_values(std::size_t(tarvo_test::kW) * tarvo_test::kS * L * L, 32);
  SliceKernelSet* set = tarvo_test::one_pattern_set(&W);
  const SliceShape shape{M, int(acquired.size()), L, N};
  std::vector<dcomplex> first;
  for (int threads : {1, 2, 3, 8}) {
    Threads t(threads);
    std::vector<dcomplex> data = start;
    ASSERT_EQ(
        synthesize_missing_lines(data.data(), acquired.data(), shape, nullptr, nullptr, 1.0f, set),
        0);
    if (first.empty()) first = data;
    EXPECT_TRUE(same_bits(data, first)) << threads << " threads";
  }
  std::vector<dcomplex> data = start;
  std::vector<int> mask(N, 0);
  for (int l : acquired) mask[l] = 1;
  ASSERT_EQ(
      synthesize_pattern(shape, data.data(), tarvo_test::kKernel, mask.data(), W.data(), 1.0f), 0);
  EXPECT_TRUE(same_bits(data, first));
  for (int l = 0; l < N; ++l) EXPECT_EQ(mask[l], l % 2 == 0 ? 1 : 3) << l;
  tarvo_test::free_set(set);
}

}  // namespace
