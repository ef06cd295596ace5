// Frame interleaving: the calibration k-space from the even and the odd frame.
#include <cstdio>
#include <cstring>

#include "align/align.h"
#include "core/core.h"
#include "core/internal.h"
#include "linalg/parallel.h"
#include "linalg/report.h"
#include "linalg/simd.h"

namespace core_detail {

int centred_fft(FftManager* manager, dcomplex* frame, int rows, int cols, char direction) {
  swap_quadrants(frame, rows, cols);
  const int status = fft_2d(manager, rows, cols, reinterpret_cast<double*>(frame), direction);
  swap_quadrants(frame, rows, cols);
  return status;
}

WorkerFfts::WorkerFfts(FftManager* first, int workers) : first_(first) {
  if (workers < 2) return;
  try {
    own_.reserve(static_cast<std::size_t>(workers - 1));
  } catch (...) {
    return;  // the calling thread's manager alone
  }
  for (int w = 1; w < workers; ++w) {
    FftManager m{};
    if (fft_manager_init(&m) != 0) break;
    own_.push_back(m);
  }
}

WorkerFfts::~WorkerFfts() {
  for (FftManager& m : own_) fft_manager_destroy(&m);
}

}  // namespace core_detail

namespace {

// The frame's elements as "dblc": the data itself, or a widened copy of "fltc" data held in
// `copy`. Null when the tag is neither (or the copy cannot be allocated: *alloc_failed).
const dcomplex* as_double(const ComplexVolume* v, std::int64_t count, tarvo::buffer<dcomplex>& copy,
                          bool* alloc_failed) {
  if (std::memcmp(v->tag, "dblc", 5) == 0) return static_cast<const dcomplex*>(v->data);
  if (std::memcmp(v->tag, "fltc", 5) != 0) return nullptr;
  copy.reset(tarvo::alloc_array<dcomplex>(count));
  if (!copy) {
    *alloc_failed = true;
    return nullptr;
  }
  const float* f = static_cast<const float*>(v->data);
  for (std::int64_t i = 0; i < count; ++i) copy[i] = {f[2 * i], f[2 * i + 1]};
  return copy.get();
}

// True when even and odd have the same extents and the context and D have room for them
// (else false after the message); *count their element count.
bool fits_frames(const ComplexVolume* even, const ComplexVolume* odd, const ComplexVolume* D,
                 const CorrectionContext* context, std::int64_t* count) {
  if (even->ndims != odd->ndims) {
    tarvo::report(
        "tarvo_interleave_frames: even and odd frames have different array size.  "
        "Interleave failed.\n");
    return false;
  }
  const int ndims = even->ndims;
  for (int i = 0; i < ndims; ++i) {
    if (even->dims[i] != odd->dims[i]) {
      tarvo::report(
          "tarvo_interleave_frames: even and odd frames have different dim %d (%d vs "
          "%d).  Interleave failed.\n",
          i, even->dims[i], odd->dims[i]);
      return false;
    }
  }
  *count = core_detail::element_count(ndims, even->dims);
  if (ndims < 2 || !core_detail::context_holds(*context, *count) || !D->data) {
    tarvo::report(
        "tarvo_interleave_frames: the correction context or the output does not fit "
        "the frames.  Interleave failed.\n");
    return false;
  }
  return true;
}

}  // namespace

int tarvo_interleave_frames(const ComplexVolume* even, const ComplexVolume* odd, ComplexVolume* D,
                            CorrectionContext* context) {
  std::int64_t count = 0;
  if (!fits_frames(even, odd, D, context, &count)) return -1;
  const int ndims = even->ndims;
  for (int i = 0; i < ndims; ++i) D->dims[i] = even->dims[i];
  const int M = even->dims[0];
  const int N = even->dims[1];
  const std::int64_t frames = core_detail::frame_count(ndims, even->dims);
  const std::int64_t MN = static_cast<std::int64_t>(M) * N;

  tarvo::buffer<dcomplex> even_copy, odd_copy;
  bool alloc_failed = false;
  const dcomplex* e = as_double(even, count, even_copy, &alloc_failed);
  const dcomplex* o = e ? as_double(odd, count, odd_copy, &alloc_failed) : nullptr;
  if (alloc_failed) {
    tarvo::report(" could not alloc interleave double copy array\n");
    return -1;
  }
  if (!e || !o) {
    tarvo::report(
        "tarvo_interleave_frames: even input frame data needs to be 'dblc' or "
        "'fltc'.\n\tInterleave failed.\n");
    return -1;
  }

  // Frames are independent jobs, each worker with its own FFT manager, align slot and frame of
  // scratch. Per frame: the odd lines of E and the even lines of O in D's frame, the even lines
  // of E and the odd lines of O in the worker's frame; both to image space, phase-aligned,
  // averaged into D's frame and back to k-space, while they are in the cache.
  const int frame_dims[2] = {M, N};
  core_detail::WorkerFfts ffts(&context->fft, tarvo::worker_count(frames, tarvo::thread_count()));
  const int workers = ffts.workers();
  tarvo::buffer<dcomplex> halves(tarvo::alloc_array<dcomplex>(MN * workers));
  if (!halves) {
    tarvo::report(" could not alloc interleave half array\n");
    return -1;
  }
  AlignWorkspace align = {};
  if (align_workspace_create(M, N, workers, &align, "align_phase") != 0) return -1;
  const AlignWorkspaceRelease release{&align};
  dcomplex* d = static_cast<dcomplex*>(D->data);
  const double area = static_cast<double>(MN);
  return tarvo::parallel_for(frames, workers, [&](std::int64_t f, int w) {
    const std::int64_t at = f * MN;
    dcomplex* s0 = d + at;
    dcomplex* s1 = halves.get() + w * MN;
    copy_alternate_lines(2, frame_dims, e + at, 0, s1, 0);
    copy_alternate_lines(2, frame_dims, e + at, 1, s0, 1);
    copy_alternate_lines(2, frame_dims, o + at, 1, s1, 1);
    copy_alternate_lines(2, frame_dims, o + at, 0, s0, 0);
    if (core_detail::centred_fft(ffts.get(w), s0, M, N, 'b') != 0 ||
        core_detail::centred_fft(ffts.get(w), s1, M, N, 'b') != 0)
      return -1;
    dcomplex turns[2];  // the alignment's constant turns, taken in the averaging's pass
    if (align_frame_pair(s0, s1, M, N, &align, w, turns) != 0) return -1;
    // Undo the unscaled backward transform (divide by the integer M*N as a double), average
    // ((s0 + s1) / area * 0.5: dividing by 1.0 as well changes no bit), back to k-space.
    tarvo::turned_average_scaled(s0, turns[0], s1, turns[1], MN, area, 1.0, s0);
    return core_detail::centred_fft(ffts.get(w), s0, M, N, 'f');
  });
}
