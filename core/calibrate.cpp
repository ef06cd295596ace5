// Kernel calibration: the least-squares fit of one pattern's weights by the normal equations.
//
// A (R x K) holds the source values of every training position, row r + n_ro*i for readout
// position r and calibration line i, column s + S*(c + L*j) for source s, coil c and readout
// offset j (held only as its conjugate transpose AH); b_c (R) the target coil's values there.
// For each target coil c:
//   (A^H A) W_c = A^H b_c,
// solved by conjugate gradients. Both sides are formed from A/sigma and b/sigma, sigma the RMS
// magnitude of A's entries: the weights are unchanged, while the solver's absolute stop test
// (residual norm below 1e-9) sees data of unit scale whatever the scale of the k-space.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/core.h"
#include "core/internal.h"
#include "linalg/parallel.h"
#include "linalg/report.h"

namespace {

constexpr int kCgPasses = 40;
constexpr double kCgTolerance = 1e-9;
// Columns of X per job of the Gram matrix: each job packs the rows of A^H from its first column
// down once more, so as wide as leaves two jobs per thread (the jobs shrink along the triangle:
// largest first, two per thread share the work out evenly), in multiples of 8 (the kernel's
// widest tile) from 16 to 256. Four narrower jobs per thread packed A^H nearly twice as often
// (K = 320, R = 3072 on two threads: 54-72 GFLOP/s against 86-90).
int gram_block(int K, int threads) {
  const int per_job = (K / (2 * std::max(1, threads)) + 7) / 8 * 8;
  return std::clamp(per_job, 16, 256);
}

// The upper triangle of the leading n x n block of X (leading dimension ld) as the exact
// conjugate of its lower one: by tiles of 32 x 32, so that the rows written and the columns read
// stay in the cache, and a column of tiles per job.
void conjugate_upper(dcomplex* X, std::int64_t ld, int n, int threads) {
  constexpr int kTile = 32;
  const int tiles = (n + kTile - 1) / kTile;
  tarvo::parallel_for(tiles, threads, [&](std::int64_t t, int) {
    const int i0 = static_cast<int>(t) * kTile, i1 = std::min(n, i0 + kTile);
    for (int k0 = i0; k0 < n; k0 += kTile)
      for (int i = i0; i < i1; ++i)
        for (int k = std::max(k0, i + 1); k < std::min(n, k0 + kTile); ++k) {
          const dcomplex v = X[k + ld * i];
          X[i + ld * k] = {v.re, -v.im};
        }
    return 0;
  });
}

// Where job t of `jobs` starts over the rows 0 .. K-1 of the first `width` columns of a lower
// triangle (row i holds min(i + 1, width) entries) for jobs of about equal work: on a panel
// boundary, increasing in t, 0 for t = 0 and K for t = jobs.
int balanced_row(int K, int width, int t, int jobs) {
  if (t >= jobs) return K;
  auto entries_before = [&](std::int64_t i) {
    const std::int64_t diagonal = std::min<std::int64_t>(i, width);
    return diagonal * (diagonal + 1) / 2 + (i - diagonal) * width;
  };
  const std::int64_t share = entries_before(K) * t;
  int i = 0;
  while (i < K && entries_before(i) * jobs < share) ++i;
  return i / tarvo::kPanelRows * tarvo::kPanelRows;
}

}  // namespace

namespace core_detail {

void gram_matrix(const dcomplex* AH, int K, std::int64_t R, dcomplex* X, int threads) {
  // Blocks of columns are independent jobs; each entry is the sum of gram_column, in
  // increasing r, whichever worker forms it (column i of A is the conjugate of row i of AH).
  // The upper triangle is the conjugate of the lower one, which is exact.
  const int width = gram_block(K, threads);
  const int blocks = (K + width - 1) / width;
  tarvo::parallel_for(blocks, threads, [&](std::int64_t b, int) {
    const int i0 = static_cast<int>(b) * width;
    const int i1 = std::min(K, i0 + width);
    tarvo::complex_gram_panels(AH, K, static_cast<int>(R), i0, i1 - i0,
                               X + static_cast<std::int64_t>(i0) * K);
    return 0;
  });
  conjugate_upper(X, K, K, threads);
}

int shifted_gram(const SliceShape& slice, const dcomplex* data, const KernelGeometry& kernel,
                 const TrainingSet& training, const dcomplex* AH, double scale, dcomplex* X,
                 int threads) {
  const int L = slice.L, M = slice.M, N = slice.N, C = training.C, w = kernel.w;
  const int SL = kernel.S * L;
  const int K = static_cast<int>(kernel.rows(L));
  const std::int64_t R = std::int64_t{training.n_ro} * C;
  if (w < 2 || C < 1 || training.n_ro < 1) return 0;
  for (int j = 1; j < w; ++j)
    if (kernel.readout_offsets[j] != kernel.readout_offsets[j - 1] + 1) return 0;
  // Per offset j < w - 1, the samples just before the window and just past it: E_j (2C x SL,
  // column-major; rows 0 .. C-1 the first sample of each calibration line, C .. 2C-1 the one
  // after its last) and F_j = [-E_j first rows; E_j last rows]^H (SL x 2C), divided by scale
  // as A is.
  const std::int64_t edge = std::int64_t{2} * C * SL;
  tarvo::buffer<dcomplex> E(tarvo::alloc_array<dcomplex>(edge * (w - 1)));
  tarvo::buffer<dcomplex> F(tarvo::alloc_array<dcomplex>(edge * (w - 1)));
  const int workers = tarvo::worker_count(w - 1, threads);
  tarvo::buffer<dcomplex> D(tarvo::alloc_array<dcomplex>(std::int64_t{SL} * SL * workers));
  if (!E || !F || !D) {
    tarvo::report(" could not alloc Gram edge array\n");
    return -1;
  }
  // The edge samples, one offset per job: E_j column by column (a source's values along the
  // calibration lines), then F_j from it.
  const int start = training.start(M);
  tarvo::parallel_for(w - 1, workers, [&](std::int64_t j, int) {
    dcomplex* e = E.get() + edge * j;
    for (int end = 0; end < 2; ++end) {
      const int sample =
          core_detail::wrap(start + kernel.readout_offsets[j], end == 0 ? 0 : training.n_ro, M);
      for (int c = 0; c < L; ++c) {
        const dcomplex* at_sample =
            data + c * slice.coil_elements() + static_cast<std::int64_t>(N) * sample;
        for (int s = 0; s < kernel.S; ++s) {
          dcomplex* column = e + std::int64_t{2} * C * (s + kernel.S * c) + std::int64_t{C} * end;
          for (int i = 0; i < C; ++i) {
            const dcomplex v =
                at_sample[core_detail::wrap(training.lines[i], kernel.line_offsets[s], N)];
            column[i] = scale != 1.0 ? dcomplex{v.re / scale, v.im / scale} : v;
          }
        }
      }
    }
    dcomplex* f = F.get() + edge * j;
    for (int row = 0; row < 2 * C; ++row)
      for (int u = 0; u < SL; ++u) {
        const dcomplex v = e[row + std::int64_t{2} * C * u];
        f[u + std::int64_t{SL} * row] = row < C ? dcomplex{-v.re, v.im} : dcomplex{v.re, -v.im};
      }
    return 0;
  });
  // The first block column (the columns of offset 0) directly, split by rows: each job reads its
  // rows of A once for all SL columns. Two jobs per thread, of about equal work.
  const int jobs = 2 * std::max(1, threads);
  tarvo::parallel_for(jobs, threads, [&](std::int64_t b, int) {
    tarvo::complex_gram_panels(AH, K, static_cast<int>(R), 0, SL,
                               balanced_row(K, SL, static_cast<int>(b), jobs),
                               balanced_row(K, SL, static_cast<int>(b) + 1, jobs), X);
    return 0;
  });
  auto at = [&](int a, int b, int u, int v) -> dcomplex& {
    return X[a * SL + u + std::int64_t{K} * (b * SL + v)];
  };
  conjugate_upper(X, K, SL, threads);
  // A column of offset j + 1 is the one of offset j a sample further on, so block (a, b) is
  // block (a - 1, b - 1) with the products of the sample before the window taken out and those
  // of the sample past it added: E_(a-1)^H E_(b-1) on those rows, F_(a-1) E_(b-1). The blocks of
  // one diagonal are a chain; the chains are independent jobs, each with its worker's block D.
  tarvo::parallel_for(w - 1, workers, [&](std::int64_t d, int worker) {
    dcomplex* product = D.get() + std::int64_t{SL} * SL * worker;
    for (int b = 1; b + d < w; ++b) {
      const int a = b + static_cast<int>(d);
      tarvo::complex_matmat_rows(F.get() + edge * (a - 1), SL, 2 * C, E.get() + edge * (b - 1), SL,
                                 nullptr, 0, SL, product);
      for (int v = 0; v < SL; ++v)
        for (int u = 0; u < SL; ++u) {
          const dcomplex before = at(a - 1, b - 1, u, v), e = product[u + std::int64_t{SL} * v];
          at(a, b, u, v) = {before.re + e.re, before.im + e.im};
        }
    }
    return 0;
  });
  conjugate_upper(X, K, K, threads);
  return 1;
}

int fit_gram(const SliceShape& slice, const dcomplex* data, const KernelGeometry& kernel,
             const TrainingSet& training, const dcomplex* AH, double scale, bool regularised,
             dcomplex* X, int threads) {
  // The shifts round differently from the direct sums, as the fused products do: the fused form
  // takes them for every fit, the baseline form only where a ridge already moves the bits.
  const int shifted = regularised || tarvo::fma_kernels_in_use()
                          ? shifted_gram(slice, data, kernel, training, AH, scale, X, threads)
                          : 0;
  if (shifted < 0) return -1;
  if (shifted == 0)
    gram_matrix(AH, static_cast<int>(kernel.rows(slice.L)),
                std::int64_t{training.n_ro} * training.C, X, threads);
  return 0;
}

}  // namespace core_detail

namespace {

// b (n_ro*C) <- coil c's values at the training positions, divided by scale: sample
// (M - n_ro)/2 + r of calibration line i at b[r + n_ro*i].
void training_values(const dcomplex* data, const SliceShape& slice, const TrainingSet& training,
                     int c, double scale, dcomplex* b) {
  const int N = slice.N;
  const dcomplex* coil = data + c * slice.coil_elements();
  const int start = training.start(slice.M);
  for (int i = 0; i < training.C; ++i) {
    const int line = training.lines[i];
    for (int r = 0; r < training.n_ro; ++r) {
      const dcomplex v = coil[line + static_cast<std::int64_t>(N) * (start + r)];
      b[r + static_cast<std::int64_t>(training.n_ro) * i] = {v.re / scale, v.im / scale};
    }
  }
}

}  // namespace

namespace {

// The normal equations of one fit: AH (K x R, R = n_ro*C: A's conjugate transpose, A divided
// by scale, held as panels of rows; its storage, of ah_count elements, is free once A^H b is
// formed) and X = A^H A (K x K), both borrowed.
struct NormalSystem {
  dcomplex* AH = nullptr;
  std::int64_t ah_count = 0;
  const dcomplex* X = nullptr;
  double scale = 1.0;
};

// block holds at least count elements afterwards (its contents lost when it grows); false
// after the message when it cannot.
bool grow(tarvo::buffer<dcomplex>& block, std::int64_t have, std::int64_t count,
          const char* message) {
  if (block && have >= count) return true;
  block.reset();
  block.reset(tarvo::alloc_array<dcomplex>(count));
  if (!block) tarvo::report("%s", message);
  return static_cast<bool>(block);
}

// Every target coil at once: b (R x L) their training values, Xb = AH b in one pass over AH,
// then the L solves side by side (one pass over X per solver step), or, with a shift, by the
// Cholesky factorisation of X + shift I.
int solve_all_coils(const dcomplex* data, const SliceShape& slice, const TrainingSet& training,
                    const NormalSystem& system, std::int64_t K, dcomplex* columns, double shift) {
  const int L = slice.L;
  const std::int64_t R = static_cast<std::int64_t>(training.n_ro) * training.C;
  tarvo::buffer<dcomplex> b(tarvo::alloc_array<dcomplex>(R * L));
  if (!b) {
    tarvo::report(" could not alloc b array\n");
    return -1;
  }
  tarvo::buffer<dcomplex> Xb(tarvo::alloc_array<dcomplex>(K * L));
  if (!Xb) {
    tarvo::report(" could not alloc Xb array\n");
    return -1;
  }
  tarvo::parallel_for(L, tarvo::thread_count(), [&](std::int64_t c, int) {
    training_values(data, slice, training, static_cast<int>(c), system.scale, b.get() + R * c);
    return 0;
  });
  tarvo::complex_matmat_panels_on(system.AH, static_cast<int>(K), static_cast<int>(R), b.get(), L,
                                  nullptr, Xb.get(), tarvo::thread_count());
  // A regularised system directly (conjugate gradients stop short on the ill-conditioned
  // systems of small acceleration kernels); one that is not positive definite after all, by
  // the solver.
  if (shift > 0.0) {
    const int rc =
        tarvo::complex_cholesky_solve(system.X, static_cast<int>(K), L, Xb.get(), columns, shift);
    if (rc <= 0) {
      if (rc < 0) tarvo::report(" could not alloc Cholesky factor array\n");
      return rc;
    }
  }
  // The solver packs X into AH's storage when it has room for it.
  const bool room = system.ah_count >= tarvo::panels_size(static_cast<int>(K), static_cast<int>(K));
  return tarvo::complex_cg_solve_many(system.X, static_cast<int>(K), L, Xb.get(), columns,
                                      kCgPasses, kCgTolerance, room ? system.AH : nullptr);
}

}  // namespace

namespace {

// A (R x K, R = n_ro*C, K = kernel.rows(L)) as its conjugate transpose AH (K x R, column r =
// conjugated row r of A) held as panels of rows (tarvo::complex_pack_panels' layout, the rows
// past K cleared): row r + n_ro*i of A is training position r on calibration line i,
// column s + S*(c + L*j) source s of coil c at readout offset j. The training window is the
// n_ro central samples from (M - n_ro)/2, widened by the readout offsets, circular at both
// ends. A calibration line's rows are one job, which also sums the squared magnitudes of its
// entries into line_squares[i].re (in the order coil, offset, source, sample).
void fill_conjugate_rows(const SliceShape& slice, const dcomplex* data,
                         const KernelGeometry& kernel, const TrainingSet& training, dcomplex* AH,
                         dcomplex* line_squares) {
  const int M = slice.M, N = slice.N, L = slice.L;
  const int S = kernel.S, w = kernel.w, n_ro = training.n_ro;
  const int K = static_cast<int>(kernel.rows(L));
  const std::int64_t R = static_cast<std::int64_t>(n_ro) * training.C;
  const int start = training.start(M);
  constexpr int kP = tarvo::kPanelRows;
  const std::int64_t stride = tarvo::panel_stride(static_cast<int>(R));
  tarvo::parallel_for(training.C, tarvo::thread_count(), [&](std::int64_t i, int) {
    double squares = 0.0;
    for (int c = 0; c < L; ++c) {
      const dcomplex* coil = data + c * slice.coil_elements();
      for (int j = 0; j < w; ++j)
        for (int s = 0; s < S; ++s) {
          const int line = core_detail::wrap(training.lines[i], kernel.line_offsets[s], N);
          // Row k of AH from column n_ro*i on: element r kP further on per column.
          const std::int64_t k = s + static_cast<std::int64_t>(S) * (c + std::int64_t{L} * j);
          dcomplex* ah = AH + stride * (k / kP) + kP * (std::int64_t{n_ro} * i) + k % kP;
          int sample = core_detail::wrap(start + kernel.readout_offsets[j], 0, M);
          for (int r = 0; r < n_ro; ++r) {
            const dcomplex v = coil[line + static_cast<std::int64_t>(N) * sample];
            ah[std::int64_t{kP} * r] = {v.re, -v.im};
            squares += v.re * v.re + v.im * v.im;
            if (++sample == M) sample = 0;  // the window is circular
          }
        }
    }
    // The rows past K in the last panel.
    for (int k = K; k % kP != 0; ++k)
      for (int r = 0; r < n_ro; ++r)
        AH[stride * (k / kP) + kP * (std::int64_t{n_ro} * i + r) + k % kP] = {0.0, 0.0};
    line_squares[i] = {squares, 0.0};
    return 0;
  });
}

// AH (K x R as panels, C lines' sums in line_squares) divided by the RMS magnitude of its
// entries, which is returned (1 when it is 0 or not finite: AH is then left alone). The lines'
// sums are added in line order, whatever the thread count.
double normalise_rows(dcomplex* AH, std::int64_t K, std::int64_t R, const dcomplex* line_squares,
                      int C) {
  const std::int64_t AK = R * K;
  double sum_squares = 0.0;
  for (int i = 0; i < C; ++i) sum_squares += line_squares[i].re;
  double scale = AK > 0 ? std::sqrt(sum_squares / static_cast<double>(AK)) : 0.0;
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  // A /= scale, panel by panel (the cleared rows stay +0.0).
  if (scale != 1.0) {
    const std::int64_t stride = tarvo::panel_stride(static_cast<int>(R));
    tarvo::parallel_for(tarvo::panel_count(static_cast<int>(K)), tarvo::thread_count(),
                        [&](std::int64_t p, int) {
                          dcomplex* panel = AH + stride * p;
                          for (std::int64_t e = 0; e < tarvo::kPanelRows * R; ++e)
                            panel[e] = {panel[e].re / scale, panel[e].im / scale};
                          return 0;
                        });
  }
  return scale;
}

// Tikhonov: ridge times the mean diagonal of X (K x K), the normal matrix's own scale (0 when
// ridge is not > 0).
double ridge_shift(const dcomplex* X, int K, double ridge) {
  if (!(ridge > 0.0) || K <= 0) return 0.0;
  double trace = 0.0;
  for (int k = 0; k < K; ++k) trace += X[k + static_cast<std::int64_t>(K) * k].re;
  return ridge * trace / K;
}

}  // namespace

int core_detail::calibrate_kernel_with(const SliceShape& slice, const dcomplex* data,
                                       const KernelGeometry& kernel, const TrainingSet& training,
                                       dcomplex** coefficients, CalibrationBlocks* blocks,
                                       double ridge, double* ridge_value) {
  const int L = slice.L;
  const int C = training.C;
  const int K = static_cast<int>(kernel.rows(L));
  const std::int64_t R = static_cast<std::int64_t>(training.n_ro) * C;
  // AH as panels of rows, followed by one element per calibration line for its sum of squares.
  const std::int64_t AK = tarvo::panels_size(K, static_cast<int>(R));

  if (!grow(blocks->AH, blocks->a_count, AK + C, " could not alloc AH array\n")) {
    blocks->a_count = 0;
    return -1;
  }
  blocks->a_count = std::max(blocks->a_count, AK + C);
  dcomplex* const AH = blocks->AH.get();
  fill_conjugate_rows(slice, data, kernel, training, AH, AH + AK);
  const double scale = normalise_rows(AH, K, R, AH + AK, C);

  const std::int64_t KK = static_cast<std::int64_t>(K) * K;
  if (!grow(blocks->X, blocks->x_count, KK, " could not alloc X array\n")) {
    blocks->x_count = 0;
    return -1;
  }
  blocks->x_count = std::max(blocks->x_count, KK);
  dcomplex* const X = blocks->X.get();
  if (core_detail::fit_gram(slice, data, kernel, training, AH, scale, ridge > 0.0, X,
                            tarvo::thread_count()) != 0)
    return -1;
  const double shift = ridge_shift(X, K, ridge);
  if (ridge_value) *ridge_value = shift;

  const std::int64_t total = static_cast<std::int64_t>(K) * L;
  if (!*coefficients) {
    *coefficients = tarvo::alloc_array<dcomplex>(total);
    if (!*coefficients) {
      tarvo::report(" could not alloc N array\n");
      return -1;
    }
  }
  for (std::int64_t e = 0; e < total; ++e) (*coefficients)[e] = {0.0, 0.0};

  const NormalSystem system{AH, AK + C, X, scale};
  return solve_all_coils(data, slice, training, system, K, *coefficients, shift);
}
