// Pipeline benchmark: one whole correction call on simulated EPI phantoms through the core
// API (tarvo::calibrate, tarvo::apply, tarvo::corrected_even), with 1 thread and with all
// hardware threads, against one-thread OpenBLAS zgemm measured in the same run.
//
//   tarvo_pipeline_bench [small] [S] [M] [L] [XL] [--reps=N] [--threads=T]
//
// First the small call: a 4 x 4 x 1 x 2 call on all hardware threads against one thread
// (median of 301 calls each), the cost of starting parallel loops when there is no work to share;
// "small" alone runs only that.
// Sizes (readout x lines x slices x coils): S 64x64x4x8, M 128x96x4x32, L 208x90x8x32,
// XL 256x128x2x64; default S and M. Each figure is the median of the repetitions (default 3),
// after one call that is not counted; with 1 thread and all hardware threads, or T threads only.
// Columns: calib, apply and even are the three API calls of a call (even: the corrected even
// frame with its final alignment), total the whole call. The stage breakdown beside them is
// measured outside the call: interl the interleave step alone, estim = calib - interl, gram
// the Gram matrices alone (formed as the fits form them), solves = estim - gram. Rates are
// GFLOP/s (8 real flops per complex multiply-add) and their fraction of zgemm's one-thread rate
// per thread used, the Gram's counted as its direct sums (the fused form takes most of its
// entries from the readout shifts instead, about 40 % of those products, so Gram% may pass
// 100); lines% is the
// line synthesis in k-space on its own (one half of one slice, spread over the threads by blocks
// of samples; the synthesis of odd extents), synth% the whole apply with its transforms and
// alignments. bound is the call's arithmetic bound (its products at zgemm's one-thread rate on
// every thread used, plus its transforms at the speed measured here; for even extents the
// synthesis' products and transforms are those of its completion after the readout transform),
// total/bound how far the whole call is from it, and apply/bound the same for the apply alone
// (one volume's synthesis products and transforms). Each repetition has its own bounds, from
// zgemm's rate and the transforms' times measured just before it; the ratios are the medians of
// the repetitions' ratios, and the zgemm column the median of their rates. Peak
// memory is the resident high-water mark during the call (VmHWM after clearing it), less the
// resident size before the call, in volumes of M*N*Z*L complex doubles; the two inputs,
// already resident, are not counted in it.
#include <cblas.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "core/core.h"
#include "core/internal.h"
#include "core/phantom.h"
#include "core/tarvo.h"
#include "core/test_util.h"
#include "fft/fft.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "linalg/simd.h"

namespace {

using tarvo_bench::Clock;
using tarvo_bench::median;
using tarvo_bench::seconds_since;

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

void reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// zgemm rate (GFLOP/s) on `threads` threads on a product shaped like the Gram matrix: K x R
// times R x K.
double zgemm_rate(int K, int R, int threads, int reps = 5) {
  openblas_set_num_threads(threads);
  std::vector<std::complex<double>> a(static_cast<std::size_t>(K) * R),
      c(static_cast<std::size_t>(K) * K);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = {std::sin(0.1 * i), std::cos(0.3 * i)};
  const std::complex<double> one(1.0), zero(0.0);
  std::vector<double> t;
  for (int rep = 0; rep < reps; ++rep) {
    const auto t0 = Clock::now();
    cblas_zgemm(CblasColMajor, CblasConjTrans, CblasNoTrans, K, K, R, &one, a.data(), R, a.data(),
                R, &zero, c.data(), K);
    t.push_back(seconds_since(t0));
  }
  return 8.0 * K * K * static_cast<double>(R) / median(t) * 1e-9;
}

// The peer runs the vector width this module runs: OpenBLAS's AVX-512 kernels when this module
// takes its AVX-512 path, its AVX2 ones when it takes AVX2 (TARVO_NO_AVX512=1), which is what a
// processor without AVX-512 would give both. OpenBLAS otherwise picks by the processor model it
// recognises (it may run AVX2 kernels on an AVX-512 processor it does not know), or by
// OPENBLAS_CORETYPE from the environment. It reads that when it is loaded, so the process starts
// itself again with the matching value.
void match_peer_width(char** argv) {
  const tarvo::Simd width = tarvo::simd_best();
  if (width == tarvo::Simd::kPortable) return;
  const char* core = width == tarvo::Simd::kAvx512 ? "SkylakeX" : "Haswell";
  const char* set = std::getenv("OPENBLAS_CORETYPE");
  if (set && std::strcmp(set, core) == 0) return;
  setenv("OPENBLAS_CORETYPE", core, 1);
  execv("/proc/self/exe", argv);
  std::perror("execv");  // not started again: the peer keeps the choice it had
}

struct Size {
  const char* name;
  int M, N, Z, L;
};

struct Times {
  double calibrate = 0, apply = 0, even = 0, total = 0;
  double lines = 0;  // synthesis of the missing lines of one half of slice 0, on its own
  double peak_volumes = 0;
};

// The line synthesis alone (no transforms, no alignment): the odd lines of one half of a slice
// (M x N/2 samples of L coils, K = w S L products each) from its even lines. -1 on failure.
double line_synthesis_seconds(const tarvo_test::Phantom& p, const tarvo::KernelView& kernel) {
  if (!kernel.re) return -1;
  std::vector<dcomplex> coefficients(static_cast<std::size_t>(kernel.rows * kernel.cols));
  for (std::size_t i = 0; i < coefficients.size(); ++i)
    coefficients[i] = {kernel.re[i * kernel.step], kernel.im[i * kernel.step]};
  SliceKernelSet* set = tarvo_test::one_pattern_set(&coefficients);
  const std::int64_t size = static_cast<std::int64_t>(p.M) * p.N * p.L;
  tarvo::buffer<dcomplex> half(tarvo::alloc_array<dcomplex>(size, true));
  std::vector<int> lines;
  for (int l = 0; l < p.N; l += 2) lines.push_back(l);
  if (!half) {
    tarvo_test::free_set(set);
    return -1;
  }
  for (std::int64_t i = 0; i < size; ++i) half[i] = {std::sin(0.1 * i), std::cos(0.3 * i)};
  const SliceShape shape{p.M, static_cast<int>(lines.size()), p.L, p.N};
  int* list = nullptr;
  int count = 0;
  const auto t0 = Clock::now();
  const int status =
      synthesize_missing_lines(half.get(), lines.data(), shape, &count, &list, 1.0f, set);
  const double seconds = seconds_since(t0);
  tarvo::free_bytes(list);
  tarvo_test::free_set(set);
  return status == 0 ? seconds : -1;
}

ComplexVolume record(const tarvo_test::Phantom& p, const dcomplex* data) {
  ComplexVolume v{};
  v.ndims = 4;
  v.dims[0] = p.M, v.dims[1] = p.N, v.dims[2] = p.Z, v.dims[3] = p.L;
  std::memcpy(v.tag, "dblc", 5);
  v.data = const_cast<dcomplex*>(data);
  return v;
}

// One whole call (outputs 1 and 2) through the core API: calibrate, apply, corrected_even.
// With `stages` false no stage is measured on its own and the heap is left as it is (t->total
// only).
bool run_call(const tarvo_test::Phantom& p, Times* t, bool stages = true) {
  const std::int64_t count = static_cast<std::int64_t>(p.M) * p.N * p.Z * p.L;
  const ComplexVolume A = record(p, p.even.data());
  const ComplexVolume B = record(p, p.odd.data());
  long rss0 = 0;
  if (stages) {
    malloc_trim(0);  // what earlier calls left cached is not counted as this call's
    rss0 = status_kib("VmRSS:");
    reset_peak();
  }
  const auto start = Clock::now();
  tarvo::buffer<dcomplex> e(tarvo::alloc_array<dcomplex>(count, true));
  tarvo::buffer<dcomplex> f(tarvo::alloc_array<dcomplex>(count, true));
  ComplexVolume E = record(p, e.get()), F = record(p, f.get());
  tarvo::Calibration calibration;
  tarvo::Status status;
  auto t0 = Clock::now();
  bool ok = e && f && tarvo::calibrate(A, B, &calibration, &status) == 0;
  t->calibrate = seconds_since(t0);
  // The line synthesis measured on its own is not part of the call: its time is taken off.
  t0 = Clock::now();
  if (stages) ok = ok && (t->lines = line_synthesis_seconds(p, calibration.kernel(0))) > 0;
  const double measuring = seconds_since(t0);
  t0 = Clock::now();
  ok = ok && tarvo::apply(&calibration, B, &E, &status) == 0;
  t->apply = seconds_since(t0);
  t0 = Clock::now();
  ok = ok && tarvo::corrected_even(&calibration, E, &F, &status) == 0;
  t->even = seconds_since(t0);
  t->total = seconds_since(start) - measuring;
  if (!stages) return ok;
  const long hwm = status_kib("VmHWM:");
  t->peak_volumes = (hwm - rss0) * 1024.0 / (static_cast<double>(count) * sizeof(dcomplex));
  return ok;
}

// Stage breakdown, outside the whole call: the interleave step of a calibration on its own
// (seconds, -1 on failure), so that the calibration's time splits into interleave and
// estimation.
double interleave_seconds(const tarvo_test::Phantom& p) {
  const std::int64_t count = static_cast<std::int64_t>(p.M) * p.N * p.Z * p.L;
  const ComplexVolume A = record(p, p.even.data());
  const ComplexVolume B = record(p, p.odd.data());
  tarvo::buffer<dcomplex> d(tarvo::alloc_array<dcomplex>(count, true));
  if (!d) return -1;
  ComplexVolume D = record(p, d.get());
  CorrectionContext context{};
  if (context_create(&context, &A) != 0) return -1;
  const auto t0 = Clock::now();
  const bool ok = tarvo_interleave_frames(&A, &B, &D, &context) == 0;
  const double seconds = seconds_since(t0);
  context_destroy(&context);
  return ok ? seconds : -1;
}

// Seconds per centred 2-D transform of one rows x cols frame on one thread (median of 21, after
// the slot is prepared); -1 on failure.
double fft_seconds(int rows, int cols) {
  FftManager m{};
  if (fft_manager_init(&m) != 0) return -1;
  std::vector<dcomplex> frame(static_cast<std::size_t>(rows) * cols);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = {std::sin(0.1 * i), std::cos(0.7 * i)};
  std::vector<double> t;
  bool ok = core_detail::centred_fft(&m, frame.data(), rows, cols, 'b') == 0;
  for (int rep = 0; ok && rep < 21; ++rep) {
    const auto t0 = Clock::now();
    ok = core_detail::centred_fft(&m, frame.data(), rows, cols, rep % 2 ? 'f' : 'b') == 0;
    t.push_back(seconds_since(t0));
  }
  fft_manager_destroy(&m);
  return ok ? median(t) : -1;
}

// Seconds per coil of a slice's transforms in the synthesis of even extents (one thread, median
// of 21): N transforms along the readout (length M, both halves' lines at once) and 2 M along
// the lines (length N, one per half and image column); -1 on failure.
double hybrid_transform_seconds(int M, int N) {
  tarvo::buffer<MixedRadixPlan> readout(mrfft_alloc(M, 1, nullptr, nullptr));
  tarvo::buffer<MixedRadixPlan> lines(mrfft_alloc(N, 1, nullptr, nullptr));
  FftScratch scratch{};
  std::vector<dcomplex> data(static_cast<std::size_t>(M) * N);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = {std::sin(0.1 * i), std::cos(0.7 * i)};
  bool ok = readout && lines;
  std::vector<double> t;
  for (int rep = 0; ok && rep < 22; ++rep) {
    const auto t0 = Clock::now();
    ok = mrfft_columns(readout.get(), data.data(), N, &scratch) == 0 &&
         mrfft_columns(lines.get(), data.data(), M, &scratch) == 0 &&
         mrfft_columns(lines.get(), data.data(), M, &scratch) == 0;
    if (rep > 0) t.push_back(seconds_since(t0));              // the first prepares the scratch
    for (dcomplex& v : data) v = {v.re * 1e-3, v.im * 1e-3};  // kept finite
  }
  fft_scratch_free(&scratch);
  return ok ? median(t) : -1;
}

// Gram formation of one slice's pattern in isolation, as the fit forms it (core_detail::fit_gram,
// unregularised): K = 10 L, R = (M/4) * N, every line a calibration line, AH as panels.
double gram_seconds(const tarvo_test::Phantom& p) {
  const int M = p.M, N = p.N, L = p.L;
  const int line_offsets[] = {-1, 1}, readout_offsets[] = {-2, -1, 0, 1, 2};
  const KernelGeometry kernel{2, line_offsets, 5, readout_offsets};
  std::vector<int> lines(N);
  for (int l = 0; l < N; ++l) lines[l] = l;
  const TrainingSet training{N, lines.data(), M / 4};
  const SliceShape slice{M, N, L, N};
  const int K = static_cast<int>(kernel.rows(L));
  const std::int64_t R = static_cast<std::int64_t>(M / 4) * N;
  const std::int64_t stored = tarvo::panels_size(K, static_cast<int>(R));
  tarvo::buffer<dcomplex> AH(tarvo::alloc_array<dcomplex>(stored));
  tarvo::buffer<dcomplex> X(tarvo::alloc_array<dcomplex>(static_cast<std::int64_t>(K) * K, true));
  const int threads = tarvo::thread_count();
  for (std::int64_t e = 0; e < stored; ++e)
    AH[e] = {std::sin(0.1 * static_cast<double>(e)), -std::cos(0.2 * static_cast<double>(e))};
  std::vector<double> t;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = Clock::now();
    if (core_detail::fit_gram(slice, p.even.data(), kernel, training, AH.get(), 1.0, false, X.get(),
                              threads) != 0)
      return -1;
    t.push_back(seconds_since(t0));
  }
  return median(t);
}

// A call too small to gain from threads: what a parallel loop costs to start shows in full.
// Median seconds of `calls` whole 4 x 4 x 1 x 2 calls on `threads` threads; -1 on failure.
double small_call_seconds(int threads, int calls) {
  tarvo_test::PhantomOptions o;
  o.M = 4, o.N = 4, o.Z = 1, o.L = 2;
  const tarvo_test::Phantom p = tarvo_test::make_phantom(o);
  setenv("TARVO_NUM_THREADS", std::to_string(threads).c_str(), 1);
  std::vector<double> t;
  for (int i = 0; i <= calls; ++i) {
    Times one;
    if (!run_call(p, &one, false)) return -1;
    if (i > 0) t.push_back(one.total);  // the first call sets up what later calls reuse
  }
  return median(t);
}

}  // namespace

int main(int argc, char** argv) {
  match_peer_width(argv);
  const Size all[] = {
      {"S", 64, 64, 4, 8}, {"M", 128, 96, 4, 32}, {"L", 208, 90, 8, 32}, {"XL", 256, 128, 2, 64}};
  std::vector<Size> sizes;
  int reps = 3;
  int only_threads = 0;  // 0: 1 thread and all hardware threads
  bool small_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--reps=", 7) == 0) {
      reps = std::max(1, std::atoi(argv[i] + 7));
      continue;
    }
    if (std::strncmp(argv[i], "--threads=", 10) == 0) {
      only_threads = std::max(1, std::atoi(argv[i] + 10));
      continue;
    }
    if (std::strcmp(argv[i], "small") == 0) small_only = true;
    for (const Size& s : all)
      if (std::strcmp(argv[i], s.name) == 0) sizes.push_back(s);
  }
  if (sizes.empty() && !small_only) sizes = {all[0], all[1]};
  const int hw = std::max(1u, std::thread::hardware_concurrency());
  if (hw > 1) {
    const double one = small_call_seconds(1, 301), all_threads = small_call_seconds(hw, 301);
    if (one <= 0 || all_threads <= 0) {
      std::printf("small call: the call failed\n");
      return 1;
    }
    std::printf(
        "small 4x4x1x2 call: %.1f us on 1 thread, %.1f us on %d (%.2fx the one-thread time)\n",
        one * 1e6, all_threads * 1e6, hw, all_threads / one);
  }
  if (sizes.empty()) return 0;
  std::vector<int> thread_counts = {1};
  if (hw > 1) thread_counts.push_back(hw);
  if (only_threads > 0) thread_counts = {only_threads};

  std::printf(
      "size  thr   calib interl  estim   gram solves  apply   even   total  peak(vol)"
      "  Gram%%  solve%%  synth%%  lines%%  bound  total/bound  apply/bound  (GF/s: zgemm1)\n");
  for (const Size& s : sizes) {
    const int K = 10 * s.L;
    const int R = (s.M / 4) * s.N;
    const double zgemm_one = zgemm_rate(K, R, 1);
    // What the machine gives a tuned product on all its threads: the reference for the
    // speed-up of the whole call.
    const double zgemm_all = zgemm_rate(K, R, hw);
    openblas_set_num_threads(1);
    std::printf("%s: zgemm (OpenBLAS %s kernels) %.2f GFLOP/s on 1 thread, %.2f on %d (%.2fx)\n",
                s.name, openblas_get_corename(), zgemm_one, zgemm_all, hw, zgemm_all / zgemm_one);
    tarvo_test::PhantomOptions o;
    o.M = s.M, o.N = s.N, o.Z = s.Z, o.L = s.L;
    o.a = 0.4, o.b = 0.03;
    const tarvo_test::Phantom p = tarvo_test::make_phantom(o);
    const bool hybrid = s.M % 2 == 0 && s.N % 2 == 0;
    // One call that is not counted: the first call of a process takes its memory fresh from
    // the system (faults and clearing of every page), which later calls find already mapped.
    Times warm_up;
    if (!run_call(p, &warm_up)) {
      std::printf("%s: the call failed\n", s.name);
      return 1;
    }
    // Flop counts: Gram K(K+1)/2 R per slice (the lower triangle's direct sums, the task's
    // bound whichever way the fit forms it); solves per coil K R (A^H b)
    // plus 40 passes of K^2; synthesis per volume: for even extents, per image column of a
    // slice the kernel's S L x L weights folded over its w readout offsets and S L per missing
    // sample per coil, half the lines in each of two halves; else K per missing sample per coil.
    const double gram_flops = 8.0 * K * (K + 1) / 2.0 * R * s.Z;
    const double solve_flops = 8.0 * s.Z * s.L * (static_cast<double>(K) * R + 40.0 * K * K);
    const double SL = static_cast<double>(tarvo::kKernelSourceLines) * s.L;
    const double synth_flops = hybrid
                                   ? 8.0 * s.Z * s.M * s.L * SL * (tarvo::kKernelReadoutWidth + s.N)
                                   : 8.0 * s.Z * s.L * s.N * static_cast<double>(s.M) * K;
    // The line synthesis of one half of one slice.
    const double lines_flops = 8.0 * s.L * (s.N / 2) * static_cast<double>(s.M) * K;
    for (int threads : thread_counts) {
      setenv("TARVO_NUM_THREADS", std::to_string(threads).c_str(), 1);
      // Each repetition's bounds from the peer's rate and the transforms' times measured just
      // before it, so that a host whose speed drifts during the run (a shared one) moves both
      // sides of each ratio alike; the ratios are the medians of the repetitions' own.
      std::vector<Times> runs;
      std::vector<double> rates, bounds, total_ratios, apply_ratios;
      for (int r = 0; r < reps; ++r) {
        const double rate = zgemm_rate(K, R, 1, 3);
        openblas_set_num_threads(1);
        // Transforms of a call: interleave 2 Z L backward and Z L forward (M x N); the synthesis
        // of each of two volumes, per coil and slice, its readout and line transforms for even
        // extents, else 2 (both halves) N x M.
        const double fft = fft_seconds(s.M, s.N);
        const double synth_fft = hybrid ? hybrid_transform_seconds(s.M, s.N) : 2.0 * fft;
        const double transforms = 3.0 * s.Z * s.L * fft + 2.0 * s.Z * s.L * synth_fft;
        Times t;
        if (!run_call(p, &t)) {
          std::printf("%s: the call failed\n", s.name);
          return 1;
        }
        // Arithmetic bound of the whole call: its products at zgemm's one-thread rate on every
        // thread, plus its transforms at the measured FFT speed spread over the threads (the
        // alignment's Lanczos steps, copies and memory traffic are left out). The apply's own
        // bound: one volume's synthesis products and transforms.
        const double bound =
            (gram_flops + solve_flops + 2 * synth_flops) * 1e-9 / (rate * threads) +
            transforms / threads;
        const double apply_bound =
            synth_flops * 1e-9 / (rate * threads) + s.Z * s.L * synth_fft / threads;
        runs.push_back(t);
        rates.push_back(rate);
        bounds.push_back(bound);
        total_ratios.push_back(t.total / bound);
        apply_ratios.push_back(t.apply / apply_bound);
      }
      auto med = [&](double Times::*m) {
        std::vector<double> v;
        for (const Times& t : runs) v.push_back(t.*m);
        return median(v);
      };
      const double zgemm = median(rates);
      const double gram = gram_seconds(p) * s.Z;
      std::vector<double> interleaves;
      for (int r = 0; r < reps; ++r) interleaves.push_back(interleave_seconds(p));
      const double interleave = median(interleaves);
      const double estimate = std::max(med(&Times::calibrate) - interleave, 1e-9);
      const double solves = std::max(estimate - gram, 1e-9);
      // apply: the synthesis of one volume (its transforms and alignments included).
      const double synth = med(&Times::apply);
      auto frac = [&](double flops, double sec) {
        return 100.0 * flops / sec * 1e-9 / zgemm / threads;
      };
      std::printf(
          "%-4s %4d %7.3f %6.3f %6.3f %6.3f %6.3f %6.3f %6.3f %7.3f %8.1f  %6.1f %6.1f %6.1f "
          "%6.1f %6.3f %8.2f %11.2f  (%.2f)\n",
          s.name, threads, med(&Times::calibrate), interleave, estimate, gram, solves,
          med(&Times::apply), med(&Times::even), med(&Times::total), med(&Times::peak_volumes),
          frac(gram_flops, gram), frac(solve_flops, solves), frac(synth_flops, synth),
          frac(lines_flops, med(&Times::lines)), median(bounds), median(total_ratios),
          median(apply_ratios), zgemm);
      std::fflush(stdout);
    }
  }
  return 0;
}
