// Phase-alignment benchmark: two align_phase calls made at the same time from two host threads
// against the same two calls made one after the other. Each call owns its workspace, so on two
// cores the pair should take about as long as one call.
//
//   tarvo_align_bench [--reps=N] [--frames=F] [--hash]
//
// Stacks are 128 x 96 frames (F of them, default 64) of a smooth object whose second copy is
// turned by a linear-plus-constant phase and carries a little noise. Unless TARVO_NUM_THREADS
// is set the program sets it to 1, so that each call runs on its caller's thread alone and the
// ratio measures the calls' independence, not the worker pool. Times are medians of N (default
// 5) repetitions after one uncounted pair. The process's CPU time over the wall time of the
// concurrent pair shows whether two cores were actually free for it.
//
// --hash prints a 64-bit FNV-1a hash of every output (both stacks, slopes, coefficients) of
// align_phase on a few stacks of odd and even shapes, to compare builds bit for bit.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "align/align.h"
#include "linalg/memory.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stack {
  std::vector<int> dims;
  std::vector<dcomplex> a, b;
};

// A smooth elliptical object with a noisy, phase-turned copy: b = a e^{-i(alpha + beta r)} + n.
Stack make_stack(std::vector<int> dims, std::uint32_t seed) {
  Stack s;
  s.dims = dims;
  std::int64_t count = 1;
  for (int d : dims) count *= d;
  const int nrows = dims[0], ncols = dims[1];
  const std::int64_t frame = std::int64_t{nrows} * ncols;
  s.a.resize(count);
  s.b.resize(count);
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::uniform_real_distribution<double> turn(-0.6, 0.6);
  for (std::int64_t f = 0; f < count / std::max<std::int64_t>(frame, 1); ++f) {
    const double alpha = turn(gen), beta = 0.1 * turn(gen);
    for (int j = 0; j < ncols; ++j)
      for (int i = 0; i < nrows; ++i) {
        const double x = (i - 0.5 * nrows) / (0.4 * nrows), y = (j - 0.5 * ncols) / (0.35 * ncols);
        const double r2 = x * x + y * y;
        const double mag = r2 < 1.0 ? 1.0 - 0.5 * r2 : 0.05 * std::fabs(noise(gen));
        const double ph = 0.3 * x + 0.2 * y * y;
        const std::int64_t k = f * frame + std::int64_t{j} * nrows + i;
        s.a[k] = {mag * std::cos(ph), mag * std::sin(ph)};
        const double t = ph - (alpha + beta * i);
        s.b[k] = {mag * std::cos(t) + noise(gen), mag * std::sin(t) + noise(gen)};
      }
  }
  return s;
}

std::uint64_t fnv1a(const void* data, std::size_t bytes, std::uint64_t h = 1469598103934665603ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

int hash_outputs() {
  const std::vector<std::vector<int>> shapes = {{64, 48, 6},    {37, 29, 5}, {128, 96, 3},
                                                {20, 33, 2, 2}, {5, 200, 3}, {96, 7}};
  int failures = 0;
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    Stack st = make_stack(shapes[s], 100 + static_cast<std::uint32_t>(s));
    float* slopes = nullptr;
    dcomplex* coefs = nullptr;
    const int rc = align_phase(st.a.data(), st.b.data(), static_cast<int>(st.dims.size()),
                               st.dims.data(), &slopes, &coefs);
    if (rc != 0) {
      std::printf("shape %zu: align_phase failed\n", s);
      ++failures;
      continue;
    }
    const std::int64_t nframes =
        static_cast<std::int64_t>(st.a.size()) / (std::int64_t{st.dims[0]} * st.dims[1]);
    std::uint64_t h = fnv1a(st.a.data(), st.a.size() * sizeof(dcomplex));
    h = fnv1a(st.b.data(), st.b.size() * sizeof(dcomplex), h);
    h = fnv1a(slopes, 2 * nframes * sizeof(float), h);
    h = fnv1a(coefs, nframes * sizeof(dcomplex), h);
    std::printf("shape %zu: %016llx\n", s, static_cast<unsigned long long>(h));
    tarvo::free_bytes(slopes);
    tarvo::free_bytes(coefs);
  }
  return failures == 0 ? 0 : 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 5, frames = 64;
  bool hash = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--reps=", 0) == 0) {
      reps = std::max(1, std::atoi(arg.c_str() + 7));
    } else if (arg.rfind("--frames=", 0) == 0) {
      frames = std::max(1, std::atoi(arg.c_str() + 9));
    } else if (arg == "--hash") {
      hash = true;
    } else {
      std::fprintf(stderr, "usage: %s [--reps=N] [--frames=F] [--hash]\n", argv[0]);
      return 2;
    }
  }
  if (hash) return hash_outputs();
  if (!std::getenv("TARVO_NUM_THREADS")) setenv("TARVO_NUM_THREADS", "1", 1);

  const Stack inputs[2] = {make_stack({128, 96, frames}, 1), make_stack({128, 96, frames}, 2)};
  Stack work[2] = {inputs[0], inputs[1]};
  int status[2] = {-1, -1};
  auto run = [&](int k) {
    work[k].a = inputs[k].a;
    work[k].b = inputs[k].b;
    status[k] =
        align_phase(work[k].a.data(), work[k].b.data(), 3, work[k].dims.data(), nullptr, nullptr);
  };
  auto seconds = [](Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
  };
  std::vector<double> serial, together, cpu_together;
  for (int r = 0; r <= reps; ++r) {  // repetition 0 is the uncounted warm-up
    auto t0 = Clock::now();
    run(0);
    run(1);
    const double ts = seconds(t0);
    const std::vector<dcomplex> serial_a0 = work[0].a, serial_b1 = work[1].b;
    if (status[0] != 0 || status[1] != 0) {
      std::fprintf(stderr, "align_phase failed\n");
      return 1;
    }
    t0 = Clock::now();
    const std::clock_t c0 = std::clock();  // CPU time of the whole process
    std::thread other([&] { run(1); });
    run(0);
    other.join();
    const double tt = seconds(t0);
    const double ct = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    if (status[0] != 0 || status[1] != 0) {
      std::fprintf(stderr, "align_phase failed\n");
      return 1;
    }
    if (std::memcmp(serial_a0.data(), work[0].a.data(), serial_a0.size() * sizeof(dcomplex)) ||
        std::memcmp(serial_b1.data(), work[1].b.data(), serial_b1.size() * sizeof(dcomplex))) {
      std::fprintf(stderr, "concurrent calls gave other bits than serial ones\n");
      return 1;
    }
    if (r > 0) {
      serial.push_back(ts);
      together.push_back(tt);
      cpu_together.push_back(ct / tt);
    }
  }
  const double s = median(serial), t = median(together);
  std::printf("align_phase 128x96x%d, TARVO_NUM_THREADS=%s, %u hardware threads\n", frames,
              std::getenv("TARVO_NUM_THREADS"), std::thread::hardware_concurrency());
  std::printf("two calls one after the other: %.1f ms\n", 1e3 * s);
  std::printf("two calls at once on two threads: %.1f ms\n", 1e3 * t);
  std::printf("serial / concurrent: %.2f (2.00 is perfect overlap, 1.00 none)\n", s / t);
  std::printf("CPU time / wall time while both run: %.2f (below 2 when other work holds a core)\n",
              median(cpu_together));
  return 0;
}
