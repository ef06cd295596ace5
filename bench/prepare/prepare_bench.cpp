// Line-preparation benchmark: preparing one ramp-sampled frame (building the readout grid and
// resampling every line) as a fraction of a whole correction call on the prepared pair, both
// measured in the same run on the same threads.
//
//   tarvo_prepare_bench [--reps=N]
//
// Frame: 128 x 96 x 4 x 32 (readout x lines x slices x coils), R = 218 samples per line on a
// trapezoid readout with 40 % of them on the ramps, odd lines reversed. Each time is the median
// of the repetitions (default 5) after one uncounted run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/phantom.h"
#include "core/tarvo.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "prepare/prepare.h"
#include "prepare/trajectory.h"

namespace {

using tarvo_bench::Clock;
using tarvo_bench::median;
using tarvo_bench::seconds_since;

// One whole call (outputs E and F) through the core API the MEX function runs.
bool correction_call(const tarvo_test::Phantom& p) {
  const std::int64_t count = static_cast<std::int64_t>(p.M) * p.N * p.Z * p.L;
  auto make = [&](const dcomplex* data) {
    return ComplexVolume{4, {p.M, p.N, p.Z, p.L}, "dblc", const_cast<dcomplex*>(data)};
  };
  tarvo::buffer<dcomplex> e(tarvo::alloc_array<dcomplex>(count, true));
  tarvo::buffer<dcomplex> f(tarvo::alloc_array<dcomplex>(count, true));
  if (!e || !f) return false;
  ComplexVolume E = make(e.get()), F = make(f.get());
  tarvo::Calibration calibration;
  tarvo::Status status;
  return tarvo::correct(make(p.even.data()), make(p.odd.data()), nullptr, &E, &F, &calibration,
                        &status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--reps=", 0) == 0) reps = std::max(1, std::atoi(a.c_str() + 7));
  }
  tarvo_test::PhantomOptions o;
  o.M = 128, o.N = 96, o.Z = 4, o.L = 32;
  const tarvo_test::Phantom p = tarvo_test::make_phantom(o);
  const int R = 218, M = o.M, N = o.N;
  const std::int64_t frames = std::int64_t{o.Z} * o.L;
  const std::vector<double> kx = tarvo_test::trapezoid_kx(R, M, 0.4);
  // Raw lines with arbitrary values: the cost does not depend on them.
  std::vector<dcomplex> raw(static_cast<std::size_t>(R) * N * frames);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = {1.0 / (1 + i % 97), -0.5 + (i % 13)};
  std::vector<unsigned char> flags(N);
  tarvo::Error error;
  tarvo::reversed_by_parity("odd", N, flags.data(), &error);
  std::vector<dcomplex> out(static_cast<std::size_t>(M) * N * frames);

  std::vector<double> build_t, apply_t, call_t;
  for (int rep = 0; rep <= reps; ++rep) {
    auto t0 = Clock::now();
    tarvo::ReadoutGrid grid;
    if (grid.build(kx.data(), R, M, &error) != 0) {
      std::fprintf(stderr, "grid: %s\n", error.message);
      return 1;
    }
    const double b = seconds_since(t0);
    t0 = Clock::now();
    if (tarvo::prepare_lines(grid, raw.data(), {R, N, frames}, flags.data(), out.data(), &error)) {
      std::fprintf(stderr, "prepare: %s\n", error.message);
      return 1;
    }
    const double a = seconds_since(t0);
    t0 = Clock::now();
    if (!correction_call(p)) {
      std::fprintf(stderr, "correction call failed\n");
      return 1;
    }
    const double c = seconds_since(t0);
    if (rep == 0) continue;  // the first run takes its memory fresh from the system
    build_t.push_back(b), apply_t.push_back(a), call_t.push_back(c);
  }
  const double b = median(build_t), a = median(apply_t), c = median(call_t);
  std::printf("frame %dx%dx%dx%d from R = %d, %d threads, median of %d\n", M, N, o.Z, o.L, R,
              tarvo::thread_count(), reps);
  std::printf("  grid build      %8.2f ms\n", 1e3 * b);
  std::printf("  resampling      %8.2f ms  (%.2f GFLOP/s)\n", 1e3 * a,
              8.0 * M * R * N * frames / a * 1e-9);
  std::printf("  correction call %8.2f ms\n", 1e3 * c);
  std::printf("  prepare / call  %8.3f\n", (a + b) / c);
  return 0;
}
