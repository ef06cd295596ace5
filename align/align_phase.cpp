// Per-frame removal of the linear-along-readout and constant phase difference of two stacks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "align/align.h"
#include "linalg/parallel.h"
#include "linalg/report.h"

namespace {

// The ramp carries frame extents as signed 16-bit integers.
constexpr int kMaxExtent = 32767;
// Fraction of the largest magnitude of the phase-difference map above which a sample is masked.
constexpr float kMaskFraction = 0.2f;
// pi as the single-precision ramp scales are formed with it.
constexpr float kPiSingle = 3.1415927f;
// pi as the ramp phases are formed with it, after widening the single-precision product.
constexpr double kPiRamp = 3.141592654;

constexpr const char* kBadArguments = "Error: %s called with invalid arguments\n";
constexpr const char* kExtentTooLarge =
    "Error: align_phase frame extents %d x %d are above 32767, which is not supported\n";
constexpr const char* kNoWorkspace =
    "Error: align_phase_frame called with a record that does not fit its workspace\n";

}  // namespace

int phase_difference_map(const dcomplex* z, const dcomplex* w, int nrows, int ncols,
                         dcomplex* out) {
  phase_difference_with(tarvo::simd_best(), z, w, static_cast<std::int64_t>(nrows) * ncols, out);
  return 0;
}

int magnitude_mask(const dcomplex* data, float* mask, int nrows, int ncols, float fraction,
                   dcomplex* scratch) {
  const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
  tarvo::buffer<dcomplex> own;
  if (!scratch) {
    own.reset(tarvo::alloc_array<dcomplex>(n));
    if (!own) {
      tarvo::report("magnitude_mask: could not alloc scratch array\n");
      return -1;
    }
    scratch = own.get();
  }
  // The magnitudes (as doubles, in the scratch's first half) and the largest of them.
  auto* magnitude = reinterpret_cast<double*>(scratch);
  const double max = magnitudes_with(tarvo::simd_best(), data, n, magnitude);
  if (fraction < 0.0f || fraction >= 1.0f) fraction = 0.25f;
  const double threshold = max * static_cast<double>(fraction);
  for (std::int64_t i = 0; i < n; ++i) mask[i] = magnitude[i] > threshold ? 1.0f : 0.0f;
  return 0;
}

int mask_support(const float* mask, int nrows, int ncols, float* support_rows,
                 float* support_cols) {
  // A row or column is supported when more than 3 of its entries are masked. The row counts are
  // kept in support_rows while the columns are walked once.
  for (int i = 0; i < nrows; ++i) support_rows[i] = 0.0f;
  for (int j = 0; j < ncols; ++j) {
    const float* col = mask + static_cast<std::int64_t>(j) * nrows;
    int count = 0;
    for (int i = 0; i < nrows; ++i) {
      const bool in = col[i] > 0.0f;
      count += in;
      support_rows[i] += in ? 1.0f : 0.0f;  // exact: counts stay far below 2^24
    }
    support_cols[j] = count > 3 ? 1.0f : 0.0f;
  }
  for (int i = 0; i < nrows; ++i) support_rows[i] = support_rows[i] > 3.0f ? 1.0f : 0.0f;
  return 0;
}

namespace {

// The ramp's phase tables: t1[k] = exp(i pi s1 (k - len1/2)) for k < len1, t2 likewise; each
// phase is the single-precision product, widened, times pi.
void ramp_tables(int len1, int len2, float s1, float s2, dcomplex* t1, dcomplex* t2) {
  const int half1 = len1 / 2;
  const int half2 = len2 / 2;
  // cos(+-0) = 1 and sin(+-0) = +-0 exactly: a zero slope (the columns' always) costs no calls.
  auto turn = [](double x) {
    return x == 0.0 ? dcomplex{1.0, x} : dcomplex{std::cos(x), std::sin(x)};
  };
  for (int k = 0; k < len1; ++k)
    t1[k] = turn(static_cast<double>(static_cast<float>(k - half1) * s1) * kPiRamp);
  for (int l = 0; l < len2; ++l)
    t2[l] = turn(static_cast<double>(static_cast<float>(l - half2) * s2) * kPiRamp);
}

}  // namespace

int apply_phase_ramp(dcomplex* data, short len1, short len2, short cnt1, unsigned short cnt2,
                     float s1, float s2) {
  if (len1 <= 0 || len2 <= 0 || cnt1 <= 0 || cnt2 == 0) return 0;
  tarvo::buffer<dcomplex> t1(tarvo::alloc_array<dcomplex>(len1));
  tarvo::buffer<dcomplex> t2(tarvo::alloc_array<dcomplex>(len2));
  if (!t1 || !t2) {
    tarvo::report("apply_phase_ramp: could not alloc phase tables\n");
    return -1;
  }
  ramp_tables(len1, len2, s1, s2, t1.get(), t2.get());
  const std::int64_t frame_size = static_cast<std::int64_t>(len1) * len2;
  for (int a = 0; a < cnt1; ++a) {
    for (int b = 0; b < cnt2; ++b) {
      dcomplex* frame = data + (static_cast<std::int64_t>(cnt1) * b + a) * frame_size;
      for (int l = 0; l < len2; ++l)
        ramp_with(tarvo::simd_best(), frame + static_cast<std::int64_t>(l) * len1, t1.get(), len1,
                  t2[l]);
    }
  }
  return 0;
}

namespace {

// Linear and constant part in one sweep over the columns. Each column of B is turned by
// the ramp of slopes sb (rows, columns) and of A by sa, as apply_phase_ramp turns them, and
// its masked samples' P = A conj(B) / |A| are summed while the column is in the cache (map
// holds P from before the linear part: samples with |A| = 0 keep that value). Then phi0 = arg
// of the mean of P over the mask; A is turned by -phi0/2 and B by +phi0/2, or (turn_out given)
// their factors go into turn_out[0] and turn_out[1] with A and B left as they are. Returns B's
// factor (cos(phi0/2), sin(phi0/2)), 1 for an empty mask, in *coef; 0, or -1 after a message
// when the phase tables cannot be obtained (the frames unchanged).
int remove_linear_and_constant_phase(dcomplex* a, dcomplex* b, int nrows, int ncols,
                                     const float sa[2], const float sb[2], dcomplex* map,
                                     const float* mask, dcomplex* turn_out, dcomplex* coef) {
  const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
  tarvo::buffer<dcomplex> tables(tarvo::alloc_array<dcomplex>(2 * (std::int64_t{nrows} + ncols)));
  if (!tables) {
    tarvo::report("apply_phase_ramp: could not alloc phase tables\n");
    return -1;
  }
  dcomplex* tb1 = tables.get();
  dcomplex* tb2 = tb1 + nrows;
  dcomplex* ta1 = tb2 + ncols;
  dcomplex* ta2 = ta1 + nrows;
  ramp_tables(nrows, ncols, sb[0], sb[1], tb1, tb2);
  ramp_tables(nrows, ncols, sa[0], sa[1], ta1, ta2);
  const tarvo::Simd path = tarvo::simd_best();
  std::int64_t k = 0;
  double sum_re = 0.0, sum_im = 0.0;
  // Only the masked samples' P is needed: it is formed by runs of samples, and a run without one
  // is passed over (P of a sample does not depend on the run it is formed in). The sum takes the
  // masked samples in order; the others would add +0.0, which changes no sum (one that starts at
  // +0.0 is never -0.0).
  constexpr std::int64_t kRun = 64;
  for (int l = 0; l < ncols; ++l) {
    const std::int64_t c0 = std::int64_t{l} * nrows, c1 = c0 + nrows;
    ramp_with(path, b + c0, tb1, nrows, tb2[l]);
    ramp_with(path, a + c0, ta1, nrows, ta2[l]);
    for (std::int64_t i0 = c0; i0 < c1; i0 += kRun) {
      const std::int64_t i1 = std::min(c1, i0 + kRun);
      const std::int64_t first =
          std::find_if(mask + i0, mask + i1, [](float m) { return m != 0.0f; }) - mask;
      if (first == i1) continue;
      phase_difference_with(path, a + first, b + first, i1 - first, map + first);
      for (std::int64_t i = first; i < i1; ++i) {
        if (mask[i] == 0.0f) continue;
        ++k;
        sum_re += map[i].re;
        sum_im += map[i].im;
      }
    }
  }
  dcomplex c_a = {1.0, 0.0};
  dcomplex c_b = {1.0, 0.0};
  if (k > 0) {  // an empty mask has no mean phase: no constant correction
    const double phi0 =
        std::atan2(sum_im / static_cast<double>(k), sum_re / static_cast<double>(k));
    c_b = {std::cos(phi0 * 0.5), std::sin(phi0 * 0.5)};
    c_a = {std::cos(phi0 * -0.5), std::sin(phi0 * -0.5)};
  }
  *coef = c_b;
  if (turn_out) {
    turn_out[0] = c_a;
    turn_out[1] = c_b;
    return 0;
  }
  turn_with(path, b, n, c_b);
  turn_with(path, a, n, c_a);
  return 0;
}

}  // namespace

int align_phase_frame(AlignFrameRecord* record) {
  if (!record) {
    tarvo::report(kBadArguments, "align_phase_frame");
    return -1;
  }
  AlignFrameRecord& r = *record;
  const AlignWorkspace* ws = r.workspace;
  if (!ws || r.slot < 0 || r.slot >= ws->nslots || r.nrows != ws->nrows || r.ncols != ws->ncols ||
      !r.frame_a || !r.frame_b) {
    tarvo::report("%s", kNoWorkspace);
    return -1;
  }
  if (r.nrows > kMaxExtent || r.ncols > kMaxExtent) {
    tarvo::report(kExtentTooLarge, r.nrows, r.ncols);
    return -1;
  }
  r.slope_rows = 0.0f;
  r.slope_cols = 0.0f;
  r.phase_coef = {1.0, 0.0};
  const int nrows = r.nrows;
  const int ncols = r.ncols;
  const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
  if (n == 0) return 0;
  dcomplex* a = r.frame_a;
  dcomplex* b = r.frame_b;
  dcomplex* map = ws->phase_map[r.slot];
  float* mask = ws->mask[r.slot];
  float* support_rows = ws->support_rows[r.slot];
  float* support_cols = ws->support_cols[r.slot];
  dcomplex* u = ws->left_vec[r.slot];

  // P = A conj(B) / |A|: the phase of A conj(B) with the magnitude of B.
  std::memset(map, 0, static_cast<std::size_t>(n) * sizeof(dcomplex));  // +0.0 parts
  phase_difference_map(a, b, nrows, ncols, map);
  // The magnitudes go where the SVD's matrix goes next (room for 2 nrows*ncols complex values).
  if (magnitude_mask(map, mask, nrows, ncols, kMaskFraction,
                     reinterpret_cast<dcomplex*>(ws->real_form[r.slot])) != 0)
    return -1;

  // conj(mask o P) v = sigma u: the phase of u is minus the row profile of the phase of P.
  if (dominant_singular_pair(map, mask, nrows, ncols, ws->real_form[r.slot], nullptr, u,
                             ws->right_vec[r.slot]) != 0)
    return -1;
  for (int i = 0; i < nrows; ++i) support_rows[i] = 0.0f;
  for (int j = 0; j < ncols; ++j) support_cols[j] = 0.0f;
  mask_support(mask, nrows, ncols, support_rows, support_cols);
  float slope = 0.0f;
  if (fit_linear_phase(u, support_rows, nrows, &slope) != 0) return -1;
  r.slope_rows = slope;

  // Linear part: A turned by +slope/2*(i - nrows/2), B by -slope/2*(i - nrows/2) (slope runs
  // opposite to the phase difference); then the constant part.
  const float sa[2] = {r.slope_rows * 0.5f / kPiSingle, r.slope_cols * 0.5f / kPiSingle};
  const float sb[2] = {r.slope_rows * -0.5f / kPiSingle, r.slope_cols * -0.5f / kPiSingle};
  if (remove_linear_and_constant_phase(a, b, nrows, ncols, sa, sb, map, mask, r.constant_turns,
                                       &r.phase_coef) != 0)
    return -1;
  r.slope_cols = 0.0f;
  return 0;
}

int align_frame_pair(dcomplex* a, dcomplex* b, int nrows, int ncols, AlignWorkspace* workspace,
                     int slot, dcomplex* constant_turns) {
  AlignFrameRecord record = {};
  record.constant_turns = constant_turns;
  record.frame_a = a;
  record.frame_b = b;
  record.nrows = nrows;
  record.ncols = ncols;
  record.workspace = workspace;
  record.slot = slot;
  return align_phase_frame(&record);
}

int align_phase(dcomplex* a, dcomplex* b, int ndims, const int* dims, float** slopes_out,
                dcomplex** coefs_out) {
  if (!a || !b || !dims || ndims < 2) {
    tarvo::report(kBadArguments, "align_phase");
    return -1;
  }
  for (int d = 0; d < ndims; ++d) {
    if (dims[d] < 0) {
      tarvo::report(kBadArguments, "align_phase");
      return -1;
    }
  }
  const int nrows = dims[0];
  const int ncols = dims[1];
  if (nrows > kMaxExtent || ncols > kMaxExtent) {
    tarvo::report(kExtentTooLarge, nrows, ncols);
    return -1;
  }
  // Number of frames: the product of the remaining extents (0 when one of them is 0).
  std::int64_t nframes = 1;
  for (int d = 2; d < ndims; ++d) {
    if (dims[d] == 0) {
      nframes = 0;
      break;
    }
  }
  for (int d = 2; d < ndims && nframes > 0; ++d) {
    nframes *= dims[d];
    if (nframes > std::numeric_limits<int>::max()) {
      tarvo::report(kBadArguments, "align_phase");
      return -1;
    }
  }

  tarvo::buffer<dcomplex> coefs;
  tarvo::buffer<float> slopes;
  if (coefs_out) coefs.reset(tarvo::alloc_array<dcomplex>(nframes, true));
  if (slopes_out) slopes.reset(tarvo::alloc_array<float>(2 * nframes, true));
  if ((coefs_out && !coefs) || (slopes_out && !slopes)) {
    tarvo::report("align_phase: could not alloc output arrays\n");
    return -1;
  }

  // Frames are independent jobs: frame f runs in the slot of the worker that takes it, and its
  // result does not depend on the slot (every slot buffer is rewritten by the frame). The
  // workspace belongs to this call alone.
  const int nslots = tarvo::worker_count(nframes, tarvo::thread_count());
  AlignWorkspace workspace = {};
  if (align_workspace_create(nrows, ncols, nslots, &workspace, "align_phase") != 0) return -1;
  const AlignWorkspaceRelease release{&workspace};
  AlignWorkspace* ws = &workspace;

  const std::int64_t frame_size = static_cast<std::int64_t>(nrows) * ncols;
  int status = -1;
  try {
    status = tarvo::parallel_for(nframes, nslots, [&](std::int64_t f, int worker) {
      AlignFrameRecord record = {};
      record.frame_a = a + f * frame_size;
      record.frame_b = b + f * frame_size;
      record.nrows = nrows;
      record.ncols = ncols;
      record.workspace = ws;
      record.slot = worker;
      if (align_phase_frame(&record) != 0) return -1;
      if (slopes) {
        slopes[2 * f] = record.slope_rows;
        slopes[2 * f + 1] = record.slope_cols;
      }
      if (coefs) coefs[f] = record.phase_coef;
      return 0;
    });
  } catch (const std::exception& e) {
    tarvo::report("align_phase: %s\n", e.what());
  } catch (...) {
    tarvo::report("align_phase: a frame failed\n");
  }
  if (status != 0) return -1;

  if (coefs_out) *coefs_out = coefs.release();
  if (slopes_out) *slopes_out = slopes.release();
  return 0;
}
