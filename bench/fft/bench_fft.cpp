// fft_2d against FFTW 3 on the same sizes: both in place, forward, plans made once (FFTW with
// FFTW_MEASURE, ours through the manager's slot). Prints per size our time, FFTW's time and the
// ratio (CPU time; the median of the repetitions with --benchmark_repetitions=N). The kernels
// are those of the processor's best instruction set (AVX2/FMA or SSE2); --isa=sse2 forces the
// baseline ones. Repeated in-place
// transforms let the values grow; x86 SSE/AVX arithmetic has no slow path for large or non-finite
// values, so both sides are timed on equal terms.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fft/fft.h"
#include "fft/simd.h"

namespace {

const std::vector<std::pair<int, int>> kSizes = {{64, 64},     {128, 128}, {256, 256}, {512, 512},
                                                 {1024, 1024}, {96, 96},   {90, 104},  {208, 90},
                                                 {130, 130},   {176, 88}};

void fill(double* d, std::size_t count) {
  std::mt19937_64 gen(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (std::size_t k = 0; k < count; ++k) d[k] = u(gen);
}

void BM_tarvo(benchmark::State& state) {
  const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
  const std::size_t count = 2 * static_cast<std::size_t>(nx) * ny;
  tarvo::buffer<double> img = tarvo::make_buffer<double>(static_cast<int64_t>(count));
  fill(img.get(), count);
  FftManager m{};
  fft_manager_init(&m);
  fft_2d(&m, nx, ny, img.get(), 'f');  // prepares the slot and its tables
  for (auto _ : state) {
    fft_2d(&m, nx, ny, img.get(), 'f');
    benchmark::ClobberMemory();
  }
  fft_manager_destroy(&m);
}

void BM_fftw(benchmark::State& state) {
  const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
  const std::size_t count = 2 * static_cast<std::size_t>(nx) * ny;
  auto* img = static_cast<fftw_complex*>(fftw_malloc(sizeof(double) * count));
  // ny rows of nx contiguous values, the same layout as fft_2d's image.
  fftw_plan p = fftw_plan_dft_2d(ny, nx, img, img, FFTW_FORWARD, FFTW_MEASURE);
  fill(reinterpret_cast<double*>(img), count);
  for (auto _ : state) {
    fftw_execute(p);
    benchmark::ClobberMemory();
  }
  fftw_destroy_plan(p);
  fftw_free(img);
}

// Console output as usual, plus the CPU time per transform of every benchmark for the table:
// the median of the repetitions when --benchmark_repetitions is given, else the single run.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const double us = r.GetAdjustedCPUTime();  // every benchmark reports microseconds
      const std::string name = r.run_name.str();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        median_[name] = us;
      else if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        single_[name] = us;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintTable() const {
    std::printf("\n%-12s %14s %14s %8s\n", "size", "fft_2d (us)", "FFTW (us)", "ratio");
    for (auto [nx, ny] : kSizes) {
      char ours_name[64], peer_name[64], size[32];
      std::snprintf(ours_name, sizeof ours_name, "BM_tarvo/%d/%d", nx, ny);
      std::snprintf(peer_name, sizeof peer_name, "BM_fftw/%d/%d", nx, ny);
      std::snprintf(size, sizeof size, "%dx%d", nx, ny);
      const double ours = time_of(ours_name), peer = time_of(peer_name);
      if (ours <= 0 || peer <= 0) continue;
      std::printf("%-12s %14.1f %14.1f %8.2f\n", size, ours, peer, ours / peer);
    }
  }

 private:
  double time_of(const std::string& name) const {
    const auto m = median_.find(name);
    if (m != median_.end()) return m->second;
    const auto s = single_.find(name);
    return s != single_.end() ? s->second : 0.0;
  }
  std::map<std::string, double> median_, single_;  // microseconds per transform
};

}  // namespace

int main(int argc, char** argv) {
  int kept = 1;
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], "--isa=sse2") == 0)
      tarvo::fftk::use_isa(tarvo::fftk::isa::sse2);
    else
      argv[kept++] = argv[k];
  }
  argc = kept;
  std::printf("fft_2d kernels: %s\n",
              tarvo::fftk::active_isa() == tarvo::fftk::isa::avx512 ? "AVX-512"
              : tarvo::fftk::active_isa() == tarvo::fftk::isa::avx2 ? "AVX2/FMA"
                                                                    : "SSE2");
  for (auto [nx, ny] : kSizes) {
    benchmark::RegisterBenchmark("BM_tarvo", BM_tarvo)
        ->Args({nx, ny})
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_fftw", BM_fftw)->Args({nx, ny})->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argc, argv);
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
