// svdLAS2A (one triplet) on the real representation of masked complex maps, against Eigen's
// dense BDCSVD (thin U and V) of the same matrix, measured in the same run. Prints the largest
// singular value of both (and of JacobiSVD) first, then both times and the ratio dense / Lanczos.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "svd/svd.h"

namespace {

// Real 2m x 2m representation of a masked complex m x m map: unit-ish phasors with a linear
// phase along the rows, about `density` of the samples kept.
Eigen::MatrixXd masked_map(int m, double density) {
  std::mt19937 gen(1234u + m);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Eigen::MatrixXcd C = Eigen::MatrixXcd::Zero(m, m);
  for (int j = 0; j < m; j++)
    for (int i = 0; i < m; i++)
      if (u(gen) < density) C(i, j) = std::polar(0.5 + u(gen), 0.05 * i + 0.1 * u(gen));
  Eigen::MatrixXd D(2 * m, 2 * m);
  D << C.real(), C.imag(), -C.imag(), C.real();
  return D;
}

SMat* to_smat(const Eigen::MatrixXd& M) {
  DMat* D = svdNewDMat(static_cast<int>(M.rows()), static_cast<int>(M.cols()));
  for (int i = 0; i < M.rows(); i++)
    for (int j = 0; j < M.cols(); j++) D->value[i][j] = M(i, j);
  SMat* S = svdConvertDtoS(D);
  svdFreeDMat(D);
  return S;
}

void BM_Lanczos(benchmark::State& state) {
  const Eigen::MatrixXd M = masked_map(static_cast<int>(state.range(0)), 0.4);
  SMat* S = to_smat(M);
  double s = 0.0;
  for (auto _ : state) {
    SVDRec* R = svdLAS2A(S, 1);  // as the phase alignment runs it, once per frame
    s = R ? R->s[0] : -1.0;
    svdFreeSVDRec(R);
    benchmark::DoNotOptimize(s);
  }
  svdFreeSMat(S);
}

void BM_EigenBdcsvd(benchmark::State& state) {
  const Eigen::MatrixXd M = masked_map(static_cast<int>(state.range(0)), 0.4);
  for (auto _ : state) {
    Eigen::BDCSVD<Eigen::MatrixXd> svd(M, Eigen::ComputeThinU | Eigen::ComputeThinV);
    benchmark::DoNotOptimize(svd.singularValues().data());
  }
}

BENCHMARK(BM_Lanczos)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenBdcsvd)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);

// Console output plus a record of the CPU time per iteration of every run, for the ratios
// (CPU time: both sides are single-threaded, and it is less disturbed by a loaded machine).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : benchmark::ConsoleReporter(OO_None) {}  // plain text: the ratios follow
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        seconds_[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    for (const char* size : {"128", "256"}) {
      const auto lan = seconds_.find(std::string("BM_Lanczos/") + size);
      const auto den = seconds_.find(std::string("BM_EigenBdcsvd/") + size);
      if (lan == seconds_.end() || den == seconds_.end()) continue;
      std::printf(
          "map %sx%s (real %dx%d): svdLAS2A %.3f ms, Eigen BDCSVD %.3f ms (CPU), ratio %.1fx\n",
          size, size, 2 * std::stoi(size), 2 * std::stoi(size), lan->second * 1e3,
          den->second * 1e3, den->second / lan->second);
    }
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The two must agree before their times mean anything.
  for (int m : {128, 256}) {
    const Eigen::MatrixXd M = masked_map(m, 0.4);
    SMat* S = to_smat(M);
    SVDRec* R = svdLAS2A(S, 1);
    const double dense = Eigen::JacobiSVD<Eigen::MatrixXd>(M).singularValues()(0);
    Eigen::BDCSVD<Eigen::MatrixXd> bdc(M, Eigen::ComputeThinU | Eigen::ComputeThinV);
    std::printf("map %dx%d: %d of %d stored; sigma svdLAS2A %.15g, Jacobi %.15g, BDC %.15g\n", m, m,
                S->vals, 4 * m * m, R ? R->s[0] : -1.0, dense, bdc.singularValues()(0));
    svdFreeSVDRec(R);
    svdFreeSMat(S);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
