// Series benchmark: the time per frame of correcting a series with one calibration
// (tarvo::apply_frames, what tarvo_apply runs) against a whole call on one frame
// (tarvo::correct with E and F, what tarvo(even, odd, target) runs), measured in the same run,
// on 1 thread and on all hardware threads.
//
//   tarvo_series_bench [S] [M] [L] [--frames=T] [--reps=N] [--R=R]
//
// Sizes (readout x lines x slices x coils): S 64x64x4x8, M 128x96x4x32, L 208x90x8x32;
// default M with T = 16 frames. Each figure is the median of the repetitions (default 3) after
// one uncounted run. ratio = (series time / T) / whole call; the goal is <= 0.30.
// With --R=R (2 .. 4) the series is also corrected as an accelerated one: every R-th line of each
// frame acquired (the polarity alternating from one acquired line to the next), the others zero,
// with kernels calibrated for R; "R s/frame" is its time per frame and "vs R=1" its ratio to the
// fully sampled series' in the same run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "core/phantom.h"
#include "core/tarvo.h"

namespace {

using tarvo_bench::Clock;
using tarvo_bench::median;
using tarvo_bench::seconds_since;

ComplexVolume record(const tarvo::VolumeShape& s, const dcomplex* data) {
  ComplexVolume v{};
  v.ndims = 4;
  v.dims[0] = s.M, v.dims[1] = s.N, v.dims[2] = s.Z, v.dims[3] = s.L;
  std::memcpy(v.tag, "dblc", 5);
  v.data = const_cast<dcomplex*>(data);
  return v;
}

struct Size {
  const char* name;
  int M, N, Z, L;
};

}  // namespace

int main(int argc, char** argv) {
  const Size all[] = {{"S", 64, 64, 4, 8}, {"M", 128, 96, 4, 32}, {"L", 208, 90, 8, 32}};
  std::vector<Size> sizes;
  int reps = 3, T = 16, R = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--reps=", 7) == 0) {
      reps = std::max(1, std::atoi(argv[i] + 7));
    } else if (std::strncmp(argv[i], "--R=", 4) == 0) {
      R = std::clamp(std::atoi(argv[i] + 4), 1, tarvo::kMaxAcceleration);
    } else if (std::strncmp(argv[i], "--frames=", 9) == 0) {
      T = std::max(1, std::atoi(argv[i] + 9));
    } else {
      for (const Size& s : all)
        if (std::strcmp(argv[i], s.name) == 0) sizes.push_back(s);
    }
  }
  if (sizes.empty()) sizes.push_back(all[1]);
  const int hw = std::max(1u, std::thread::hardware_concurrency());
  std::printf("%-4s %7s %5s %12s %14s %8s", "size", "threads", "T", "whole call s",
              "series s/frame", "ratio");
  if (R > 1) std::printf(" %11s %7s", "R s/frame", "vs R=1");
  std::printf("\n");
  for (const Size& size : sizes) {
    tarvo_test::PhantomOptions o;
    o.M = size.M, o.N = size.N, o.Z = size.Z, o.L = size.L, o.seed = 3, o.noise = 0.01;
    const tarvo_test::Phantom p = tarvo_test::make_phantom(o);
    const tarvo::VolumeShape shape{size.M, size.N, size.Z, size.L};
    const std::int64_t count = shape.elements();
    // The series: the odd frame with a constant phase that drifts from frame to frame.
    std::vector<dcomplex> series(static_cast<std::size_t>(count) * T);
    for (int t = 0; t < T; ++t) {
      const double c = std::cos(0.05 * t), s = std::sin(0.05 * t);
      for (std::int64_t i = 0; i < count; ++i) {
        const dcomplex v = p.odd[i];
        series[t * count + i] = {v.re * c - v.im * s, v.re * s + v.im * c};
      }
    }
    // The accelerated series: lines 0, R, 2R, ... of each frame, the polarity alternating from
    // one acquired line to the next (a line of the series' polarity at even positions, of the
    // even frame's opposite one at odd positions), the others zero.
    std::vector<dcomplex> accelerated(R > 1 ? series.size() : 0, dcomplex{0, 0});
    for (int t = 0; R > 1 && t < T; ++t)
      for (std::int64_t f = 0; f < std::int64_t{size.Z} * size.L; ++f)
        for (int l = 0, i = 0; l < size.N; l += R, ++i) {
          const bool odd_polarity = (l % 2 == 0) != (i % 2 == 0);
          const dcomplex* from = odd_polarity ? &series[t * count] : p.even.data();
          const std::int64_t at = (f * size.N + l) * size.M;
          std::memcpy(&accelerated[t * count + at], from + at, size.M * sizeof(dcomplex));
        }
    std::vector<dcomplex> E(count), F(count), out(static_cast<std::size_t>(count) * T);
    const ComplexVolume even = record(shape, p.even.data()), odd = record(shape, p.odd.data());
    for (int threads : {1, hw}) {
      setenv("TARVO_NUM_THREADS", std::to_string(threads).c_str(), 1);
      std::vector<double> whole, per_frame, per_accelerated;
      for (int rep = 0; rep <= reps; ++rep) {
        ComplexVolume e = record(shape, E.data()), f = record(shape, F.data());
        const ComplexVolume target = record(shape, series.data());
        tarvo::Calibration calibration;
        tarvo::Status status;
        auto t0 = Clock::now();
        if (tarvo::correct(even, odd, &target, &e, &f, &calibration, &status) != 0) {
          std::fprintf(stderr, "correct failed: %s\n", status.message);
          return 1;
        }
        const double w = seconds_since(t0);
        t0 = Clock::now();
        const int rc = tarvo::apply_frames(
            &calibration, shape, T,
            [&](std::int64_t t, dcomplex* in) {
              std::memcpy(in, series.data() + t * count, count * sizeof(dcomplex));
              return 0;
            },
            [&](std::int64_t t, const dcomplex* res) {
              std::memcpy(out.data() + t * count, res, count * sizeof(dcomplex));
              return 0;
            },
            &status);
        const double s = seconds_since(t0) / T;
        if (rc != 0) {
          std::fprintf(stderr, "apply_frames failed: %s\n", status.message);
          return 1;
        }
        // Frame 0 of the series is the whole call's target: the same bits.
        if (std::memcmp(out.data(), E.data(), count * sizeof(dcomplex)) != 0) {
          std::fprintf(stderr, "frame 0 differs from the whole call\n");
          return 1;
        }
        if (rep > 0) whole.push_back(w), per_frame.push_back(s);
        if (R > 1) {
          tarvo::Calibration fitted;
          if (tarvo::calibrate(even, odd, {.R = R}, &fitted, &status) != 0) {
            std::fprintf(stderr, "calibrate failed: %s\n", status.message);
            return 1;
          }
          t0 = Clock::now();
          const int arc = tarvo::apply_frames(
              &fitted, shape, T,
              [&](std::int64_t t, dcomplex* in) {
                std::memcpy(in, accelerated.data() + t * count, count * sizeof(dcomplex));
                return 0;
              },
              [&](std::int64_t t, const dcomplex* res) {
                std::memcpy(out.data() + t * count, res, count * sizeof(dcomplex));
                return 0;
              },
              &status);
          if (arc != 0) {
            std::fprintf(stderr, "accelerated apply_frames failed: %s\n", status.message);
            return 1;
          }
          if (rep > 0) per_accelerated.push_back(seconds_since(t0) / T);
        }
      }
      std::printf("%-4s %7d %5d %12.3f %14.3f %8.2f", size.name, threads, T, median(whole),
                  median(per_frame), median(per_frame) / median(whole));
      if (R > 1)
        std::printf(" %11.3f %7.2f", median(per_accelerated),
                    median(per_accelerated) / median(per_frame));
      std::printf("\n");
      if (hw == 1) break;
    }
  }
  unsetenv("TARVO_NUM_THREADS");
  return 0;
}
