// Ghost-correction core: the even/odd interleave, the kernel patterns and their calibration
// lines, the least-squares kernel fit, the per-slice estimation driver and the synthesis of the
// missing lines with the final averaging. These are the steps; bindings, benchmarks and tests
// run a correction through core/tarvo.h (calibrate, apply, corrected_even, correct).
//
// Layouts. A volume (ComplexVolume) holds M x N frames, M readout samples (contiguous) by N
// phase-encode lines; frame (z, c) of Z slices and L coils starts at element (z + Z*c)*M*N.
// Inside the kernel fit and the synthesis a slice is held line-fastest: element (line l,
// sample m, coil c) is at l + N*(m + M*c).
//
// Kernel model. A pattern with S source lines at line offsets o[s] and a readout width w with
// readout offsets q[j] predicts
//   target(c, m, l) = sum_{j, c', s} W(s + S*(c' + L*j), c) * data(c', m + q[j], l + o[s])
// with circular line and sample indices. W is the pattern's coefficient array, K x L
// column-major with K = w*S*L.
//
// Errors. Entry points returning int give 0 on success and -1 on failure, after a message on
// the standard error stream; nothing here ends the process. Every buffer whose size depends on
// the data comes from tarvo::alloc_array (linalg/memory.h), so tests can make it fail.
#pragma once

#include <cstdint>

#include "core/volume.h"
#include "fft/fft.h"
#include "linalg/linalg.h"

// ---------------------------------------------------------------------------------------------
// Geometry
// ---------------------------------------------------------------------------------------------

// One line-fastest slice: M readout samples by N lines of L coils, of which the `acquired`
// lines of the caller's acquired-line list were measured.
struct SliceShape {
  int M = 0;         // readout samples
  int acquired = 0;  // entries of the acquired-line list
  int L = 0;         // coils
  int N = 0;         // lines
  std::int64_t coil_elements() const { return static_cast<std::int64_t>(M) * N; }
};

// Where a kernel reads: S source lines at line offsets o[s] from the target line, each at w
// readout offsets q[j] from the target sample.
struct KernelGeometry {
  int S = 0;
  const int* line_offsets = nullptr;  // S entries (borrowed)
  int w = 0;
  const int* readout_offsets = nullptr;  // w entries (borrowed)
  // Rows of the coefficient array for L coils: K = w*S*L.
  std::int64_t rows(int L) const { return static_cast<std::int64_t>(w) * S * L; }
};

// The training positions of one fit: the n_ro central readout samples of C calibration lines.
struct TrainingSet {
  int C = 0;
  const int* lines = nullptr;  // C calibration lines (borrowed)
  int n_ro = 0;
  // The first training sample of a line of M: the window is centred, the odd sample of M - n_ro
  // left over at the end.
  int start(int M) const { return (M - n_ro) / 2; }
};

// ---------------------------------------------------------------------------------------------
// Sampling patterns and calibration lines
// ---------------------------------------------------------------------------------------------

// A kernel pattern: one character per consecutive line, '*' a source, 'x' the target, 'o' a
// line between sources that the kernel neither reads nor predicts.
struct KernelPattern {
  char* text;                 // NUL-terminated text, buffer of (S - 1)*dk + 3 bytes (owned)
  std::int32_t calib_count;   // number of calibration lines
  std::int32_t* calib_lines;  // calibration lines, ascending (calib_count, owned)
  dcomplex* coefficients;     // fitted weights, K x L column-major (owned; null until fitted)
  std::int8_t whole_readout;  // trained on every readout sample (a small calibration)
  std::int64_t equations;     // training equations of the fit, per target coil
  double ridge;               // added to the normal matrix's diagonal (0: none)
};

// Number of patterns of one spacing: (dk - 1)*(S - 1) (none for S < 2).
int pattern_count(int dk, int S);

// Writes the texts of one spacing into patterns[0 .. pattern_count(dk, S) - 1] (texts
// allocated where null). The pattern numbered k (target in gap k / (dk - 1), (k mod (dk - 1)) + 1
// lines after that gap's first source) goes into record order[k], so the records run from the
// central target positions outward. Returns 0, or -1 when a text cannot be allocated.
int build_patterns(KernelPattern* patterns, int dk, int S);

// Clears offsets[0 .. S-1], then writes, for each '*' in order, its distance from the last 'x'
// (from -1 when there is none). The text must hold at most S sources. dk is not used.
int parse_pattern(const char* text, int* offsets, int S, int dk);

// The states of a line in a line mask (one int per line of a slice).
enum LineState : int {
  kLineMissing = 0,      // not acquired (a target of the synthesis)
  kLineAcquired = 1,     // acquired, or counted as occupied
  kLineSelected = 2,     // a calibration line while select_calibration_lines runs
  kLineSynthesized = 3,  // written by synthesize_pattern
};

// Calibration lines of one pattern: the lines l with mask[l] >= 1 whose every source
// (l + offsets[s]) mod N has mask >= 1 (with `bounded`, every source l + offsets[s] lies in
// 0 .. N-1 as well: no training position reaches across the first or last line). *list is allocated
// when null (reused otherwise, and must then hold room for every such line); *count receives the
// number of lines. The mask is left as it was found. Returns 0, or -1 after " could not alloc ACS
// lines array\n".
int select_calibration_lines(int* count, int** list, int* mask, int N, int S, const int* offsets,
                             bool bounded = false);

// select_calibration_lines for every pattern of every spacing. patterns[j] is the array of
// pattern_count(spacings[j], S) records of spacing j. Returns 0, or -1 after
// " could not alloc pattern offsets array\n" or the message of select_calibration_lines.
int select_all_calibration_lines(KernelPattern** patterns, int spacing_count, const int* spacings,
                                 int S, int N, int* mask, bool bounded = false);

// ---------------------------------------------------------------------------------------------
// Both-polarity kernels (acceleration R >= 2)
// ---------------------------------------------------------------------------------------------
//
// A frame read with alternating polarity holds two single-polarity k-spaces, the positive one
// (the lines read with the polarity of the first acquired line, which is that of the first line
// of the calibration's even frame) and the negative one. Line n of the k-space of polarity h is
// predicted from S acquired lines n + offsets[s], each read with polarity polarity[s] (the line
// n itself among them when it was read with polarity -h), 5 readout samples x L coils each.
// Both k-spaces are held interleaved in one slice of 2N lines, line 2l + (h < 0) holding line l
// of polarity h: a pattern is then an ordinary kernel geometry of S line offsets in that slice.
inline constexpr int kMaxPolaritySources = 5;
struct CorrectionContext;
struct SliceKernelSet;
struct PolarityPattern {
  int half = 1;  // +1 or -1: the polarity of the k-space it completes
  int S = 0;
  int dk = 0;  // twice the largest gap between neighbouring lines of the pattern
  int offsets[kMaxPolaritySources] = {};   // ascending, frame lines from the target
  int polarity[kMaxPolaritySources] = {};  // +1 or -1
  // Offset of source s in the interleaved slice of 2N lines.
  int interleaved_offset(int s) const {
    return 2 * offsets[s] + (polarity[s] < 0 ? 1 : 0) - (half < 0 ? 1 : 0);
  }
};

// The patterns of acceleration R (2 .. tarvo::kMaxAcceleration) into out[0 ..] (when not null),
// in the order they are fitted, stored and tried; returns their number, 2 R (R + 5). Per half,
// positive first, the patterns run from more sources to fewer (a line takes the first whose
// sources were all acquired): 5 lines g apart around a line read with the other polarity
// (g = 1 .. R); 4 lines around a missing line in a gap of R; 3 lines around a line read with the
// other polarity (gaps g and g, R and 1, 1 and R); 2 lines: a line read with the other polarity
// and one neighbour g away on either side, and a missing line between two lines up to R apart.
int polarity_patterns(int R, PolarityPattern* out);

// The pattern's text into text (room for 24 bytes): its half ('+' or '-'), ':', then one
// character per line from the lowest offset to the highest: '+' or '-' a source of that
// polarity, '*' the target line as a source (read with the other polarity), 'x' the target line
// when it is not a source, 'o' a line not used. E.g. "+:-o+o*o+o-".
void polarity_pattern_text(const PolarityPattern& pattern, char* text);

// Fits the both-polarity kernels of acceleration R for every slice of the pair (M x Nc x Z x L,
// "dblc" or "fltc", even's line 0 read with positive polarity) into context->slices (allocated
// there): per pattern, the training positions are the lines of the pair whose sources lie
// within it; a pattern wider than the pair, or one of more than 2 source lines with fewer than
// 2 equations per unknown on the whole readout, is left out (its coefficients zero); on the
// central quarter of the readout (every sample with fewer than
// tarvo::kMinEquationsPerUnknown equations per unknown), regularised by tarvo::kRidge. Returns 0,
// or -1 after a message.
int fit_polarity_kernels(const ComplexVolume* even, const ComplexVolume* odd, int R,
                         CorrectionContext* context);

// Completes both single-polarity k-spaces of one slice with the set's polarity kernels: plus and
// minus (N x M line-fastest per coil, L coils, coil stride M N) hold the lines read with each
// polarity (others zero) as `acquired_plus` / `acquired_minus` (N flags each) say; every line of
// either that a pattern reaches is written (a kernel of zeros is not applied). Lines none
// reaches stay as they are. Returns 0, or
// -1 after a message.
int complete_polarities(dcomplex* plus, dcomplex* minus, const unsigned char* acquired_plus,
                        const unsigned char* acquired_minus, int M, int N, int L,
                        const SliceKernelSet* set, int threads);

// The images of both single-polarity k-spaces of one slice completed as complete_polarities
// completes them, for even M and N: the lines read with each polarity (as `acquired_plus` /
// `acquired_minus` say) of the slice's M x N readout-fastest frames at source (coil stride
// coil_stride) are taken along the readout first and completed column by column there, then
// along the lines. plus_image and minus_image receive the centred unscaled backward transforms,
// as core_detail::centred_fft gives them up to rounding, at the image columns 0, step, 2 step,
// ... below M only: C x N per coil (readout-fastest, coil stride C N) for those C columns.
// room, when given, holds 2 N M L values: the acquired lines along the readout (a caller that
// completes one slice after another keeps it; nothing of it is read before it is written).
// Returns 0, or -1 after a message.
int polarity_images(const dcomplex* source, std::int64_t coil_stride,
                    const unsigned char* acquired_plus, const unsigned char* acquired_minus, int M,
                    int N, int L, const SliceKernelSet* set, int threads, dcomplex* plus_image,
                    dcomplex* minus_image, int step = 1, dcomplex* room = nullptr);

// The two parity halves of one slice (the odd half's lines odd_lines, the even half's even_lines;
// half_of[l] 1 for a line of the odd half, 2 for one of the even half, 0 for neither) completed
// with the slice's kernels and taken to images, as synthesize_missing_lines_on on each half and
// the centred unscaled backward transform give them up to rounding (even M and N, 1 to
// kMaxPolaritySources source lines, a readout width of at least 1; else "Error: parity_images
// called with invalid arguments"): along the readout first and completed column by column there,
// as polarity_images, then along the lines. odd_image and even_image receive M x N per coil
// (readout-fastest); room as for polarity_images, of N M L values (a line is filled in one half
// only). Returns 0, or -1 after a message.
int parity_images(const dcomplex* source, std::int64_t coil_stride, const int* odd_lines,
                  int odd_count, const int* even_lines, int even_count,
                  const unsigned char* half_of, int M, int N, int L, const SliceKernelSet* set,
                  int threads, dcomplex* odd_image, dcomplex* even_image, dcomplex* room = nullptr);

// ---------------------------------------------------------------------------------------------
// Per-slice kernel sets and the correction context
// ---------------------------------------------------------------------------------------------

// The kernel configuration of one slice and its fitted patterns.
struct SliceKernelSet {
  std::int32_t spacing_count;  // number of line spacings fitted
  std::int32_t* spacings;      // the spacings dk (spacing_count, owned)
  std::int32_t source_lines;   // S, source lines per pattern
  std::int32_t readout_width;  // w, kernel width along the readout
  KernelPattern** patterns;    // per spacing: pattern_count(dk, S) records (owned)
  // 1: a calibration block's rules: training lines never reach across the slice's first or
  // last line, every fit is regularised by tarvo::kRidge, and one with fewer than
  // tarvo::kMinEquationsPerUnknown equations per unknown trains on the whole readout.
  std::int8_t bounded;
  // The both-polarity kernels of an accelerated calibration (R >= 2; else none):
  // polarity_count records, record p for polarity_patterns(polarity_R)[p] (owned).
  std::int32_t polarity_R;
  std::int32_t polarity_count;
  KernelPattern* polarity;
};

// The per-call state: the FFT pool, the scratch volumes of the first input's size and the
// per-slice kernel sets.
struct CorrectionContext {
  std::uint16_t initialized;  // 1 while the FFT manager and the scratch buffers are held
  FftManager fft;             // prepared 2-D FFTs
  // Owned scratch. odd_half, the one whole volume (M*N*Z*L elements): the calibration k-space
  // the interleave forms and the kernels are fitted to, given back once they are. odd_slice and
  // even_slice,
  // slice_elements each (a slice of the volume, M*N*L): a synthesis's two halves of the slice
  // it completes, and the slice a fit reads.
  dcomplex* odd_half;
  dcomplex* even_slice;
  dcomplex* odd_slice;
  std::int64_t slice_elements;
  // The hybrid space of accelerated frames (hybrid_elements values): taken by the first one and
  // kept, so that the frames of a series do not each take it fresh, page faults and all.
  dcomplex* hybrid;
  std::int64_t hybrid_elements;
  std::int32_t ndims;          // the first input's ndims
  std::int32_t* dims;          // copy of its first ndims extents (owned)
  std::int32_t slice_count;    // Z
  SliceKernelSet** slices;     // slice_count sets, null until estimated (owned, with the sets,
                               // unless borrowed)
  std::int32_t borrowed;       // 1: slices is another context's table, which outlives this one
  std::int32_t spacing_count;  // line spacings fitted per slice (2, 3, ...): 1, or 2R - 1
  std::int32_t bounded;        // 1: the kernel sets are fitted with the calibration block's rules
};

// Fills every field from the first input record: dims, slices (cleared), the four cleared
// scratch buffers, spacing_count 1, the FFT manager,
// initialized 1. Returns 0, or -1 after a message when something cannot be obtained; the
// context then holds nothing (context_destroy on it is harmless).
int context_create(CorrectionContext* context, const ComplexVolume* first);

// Releases the FFT manager and the scratch buffers (when initialized), then every kernel set
// (contents first) and the table, unless they are borrowed, and dims. The context may be
// destroyed again afterwards.
void context_destroy(CorrectionContext* context);

// The context's whole-volume scratch (odd_half), cleared, allocated on first use; null when it
// cannot be had (or the context is not set up).
dcomplex* context_volume(CorrectionContext* context);
// Gives the whole-volume scratch back (a later context_volume takes it afresh).
void context_release_volume(CorrectionContext* context);

// ---------------------------------------------------------------------------------------------
// Frame utilities
// ---------------------------------------------------------------------------------------------

// For every frame and j = 0, 2, 4, ... < N - source_first: copies line source_first + j of the
// source to line destination_first + j of the destination when both lie in 0 .. N-1. M = dims[0],
// N = dims[1], frames = product of dims[2 .. ndims-1]. Returns 0.
int copy_alternate_lines(int ndims, const int* dims, const dcomplex* source, int source_first,
                         dcomplex* destination, int destination_first);

// Exchanges the quadrants of a rows x cols column-major frame in place: with hr = rows/2,
// hc = cols/2, element (r, c) <-> (r + hr, c + hc) and (r + hr, c) <-> (r, c + hc) for r < hr,
// c < hc. Even extents: the half-size circular shift (its own inverse); an odd extent keeps its
// last row/column in place. An extent of 1 is left unshifted while the other is still shifted.
void swap_quadrants(dcomplex* frame, int rows, int cols);

// ---------------------------------------------------------------------------------------------
// Frame interleaving
// ---------------------------------------------------------------------------------------------

// Combines the even frame E and the odd frame O (same slices, opposite readout polarity) into
// the calibration k-space D, frame by frame: s0 <- odd lines of E with even lines of O (in D's
// frame), s1 <- even lines of E with odd lines of O (a frame of scratch); both to image space
// (centred backward 2-D FFT), phase-aligned, averaged, D = (s0 + s1) / (M*N) * 0.5, and back to
// k-space. E and O may be "dblc" or "fltc" (widened to double). D must be set up by the caller
// with room for the volume.
int tarvo_interleave_frames(const ComplexVolume* even, const ComplexVolume* odd, ComplexVolume* D,
                            CorrectionContext* context);

// ---------------------------------------------------------------------------------------------
// Coefficient estimation
// ---------------------------------------------------------------------------------------------

// Fits one SliceKernelSet per slice of the calibration k-space D (the context's spacing_count
// spacings 2, 3, ..., two source lines, readout width 5, the central quarter of the readout;
// the calibration block's rules when context->bounded). Each slice is transposed (line-fastest)
// into the context's odd_slice scratch while it is fitted; D is left as it is. Returns 0, or -1
// after a message.
int estimate_coefficients(ComplexVolume* D, CorrectionContext* context);

// Releases everything the set owns (not the set itself) and zeroes its pointers. Returns 0.
int release_kernel_set(SliceKernelSet* set);

// ---------------------------------------------------------------------------------------------
// Missing-line synthesis
// ---------------------------------------------------------------------------------------------

// Ghost-corrected coil images of source into output (set up by the caller with the source's
// extents): the volume is split by line parity, each half completed slice by slice with the
// context's kernels, both taken to image space, phase-aligned (the odd-line half first) and
// averaged. The even half holds the ceil(N/2) even lines, the odd half the
// floor(N/2) odd lines. Slice by slice, in the context's slice scratch: output may be source.
// Returns 0, or -1 after a message.
//
// With `halves`, the halves are the given lines (each ascending within 0 .. N-1): first the
// half aligned first (the odd lines above), then the other; the lines of neither stay zero
// unless a kernel reaches them. The parity halves are halves {1, 3, ...} and {0, 2, ...}.
struct LineHalves {
  const int* first = nullptr;
  int first_count = 0;
  const int* second = nullptr;
  int second_count = 0;
};
int synthesize_volume(const ComplexVolume* source, ComplexVolume* output,
                      CorrectionContext* context, const LineHalves* halves = nullptr);

// Synthesises every line l with mask[l] == 0 whose sources all have mask exactly 1, in every
// coil, and marks it 3 (each output sums the kernel model term by term: coil, offset, source).
// Returns 0, or -1 after " could not alloc synthesis work array\n" (data and mask unchanged).
int synthesize_pattern(const SliceShape& shape, dcomplex* data, const KernelGeometry& kernel,
                       int* mask, const dcomplex* coefficients, float fraction);
