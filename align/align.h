// Phase alignment of two stacks of complex frames: per frame, the phase difference of A and B
// that is linear along the first dimension plus a constant is estimated from the dominant
// singular vector of the masked phase-difference map and removed by turning A by minus half
// and B by plus half of it. Also home of the slot-divided workspace the frames run in and of
// the small dense SVD used by the straight-line fit.
//
// Every alignment owns its workspace and every rank-1 estimate its Lanczos store: calls made at
// the same time from several threads share no mutable state and do not wait on each other.
//
// Frames are column-major: element (i, j) of an nrows x ncols frame is at j*nrows + i, frame f
// of a stack starts at f*nrows*ncols. Messages go to the standard error stream.
#pragma once

#include "linalg/linalg.h"
#include "linalg/simd.h"

// ---------------------------------------------------------------------------------------------
// Workspace
// ---------------------------------------------------------------------------------------------

// Buffers of one alignment, cut into nslots equal per-slot pieces (one slot per worker). Each
// kind is one zero-filled block; entry k of a pointer array is the block start plus k per-slot
// sizes, so the slot-0 entries own the blocks.
struct AlignWorkspace {
  dcomplex** phase_map;  // nslots pointers; per slot nrows*ncols: phase-difference map
  dcomplex** left_vec;   // nslots pointers; per slot nrows: left singular vector
  dcomplex** right_vec;  // nslots pointers; per slot ncols: right singular vector
  float** mask;          // nslots pointers; per slot nrows*ncols: 0/1 mask
  float** support_cols;  // nslots pointers; per slot ncols: column support flags
  float** support_rows;  // nslots pointers; per slot nrows: row support flags
  double** real_form;    // nslots pointers; per slot dense_room(nrows, ncols): the SVD's dense
                         // matrix, before that the magnitudes for the mask
  int nrows;             // frame extent along the first (fastest) dimension
  int ncols;             // frame extent along the second dimension
  int nslots;            // number of slots
};

// Sets *workspace up (zero-filled) with nslots slots (none when nslots <= 0) for its caller
// alone: no process-wide state is read or written. Returns 0, or -1 after "Error: <caller> could
// not alloc the workspace memory" with the record untouched.
int align_workspace_create(int nrows, int ncols, int nslots, AlignWorkspace* workspace,
                           const char* caller);
// Frees what align_workspace_create set up; nslots becomes 0 and the pointers null.
void align_workspace_release(AlignWorkspace* workspace);
// Releases a workspace on every way out of the scope that made it.
struct AlignWorkspaceRelease {
  AlignWorkspace* workspace;
  ~AlignWorkspaceRelease() { align_workspace_release(workspace); }
};

// ---------------------------------------------------------------------------------------------
// Phase alignment
// ---------------------------------------------------------------------------------------------

// The unit of work of one frame.
struct AlignFrameRecord {
  dcomplex* frame_a;          // borrowed: the frame of A (read and rewritten)
  dcomplex* frame_b;          // borrowed: the frame of B (read and rewritten)
  int nrows;                  // extent of the first dimension
  int ncols;                  // extent of the second dimension
  AlignWorkspace* workspace;  // borrowed: the workspace whose slot this frame uses
  int slot;                   // workspace slot
  float slope_rows;           // result: linear phase slope along the first dimension, rad/sample
  float slope_cols;           // result: slope along the second dimension, always 0
  dcomplex phase_coef;        // result: (cos(phi0/2), sin(phi0/2)) of the constant phase phi0
  // Null: both frames are turned by the constant part; else they are not, and it gets the
  // factors [A's, B's] to turn them by.
  dcomplex* constant_turns = nullptr;
};

// Aligns a and b (ndims >= 2 extents dims; dims[0] x dims[1] frames, the product of the rest
// frames) in place, frame by frame. When slopes_out / coefs_out are given, an array of 2 floats
// / 1 dcomplex per frame is handed back through them (the caller frees it with
// tarvo::free_bytes). Frames are spread over tarvo::thread_count() workers, one slot each of a
// workspace the call owns; results do not depend on the thread count (tarvo::thread_count()
// workers). Calls made at the same time from several threads run side by side and give the
// bits they give one after the other.
// Returns 0, or -1 after a message (frame extents above 32767, bad arguments, memory): the
// outputs are then not set; other frames may already be aligned.
int align_phase(dcomplex* a, dcomplex* b, int ndims, const int* dims, float** slopes_out,
                dcomplex** coefs_out);

// Aligns one frame in the record's workspace slot and fills the three results. Returns 0, or -1
// after a message when the record does not fit its workspace or memory cannot be obtained.
int align_phase_frame(AlignFrameRecord* record);
// align_phase_frame on the frames a and b (nrows x ncols) in slot `slot` of the workspace. With
// constant_turns, the constant part's turns are left to the caller (see the record): turning a
// by constant_turns[0] and b by constant_turns[1] with turn_with gives the aligned frames.
int align_frame_pair(dcomplex* a, dcomplex* b, int nrows, int ncols, AlignWorkspace* workspace,
                     int slot, dcomplex* constant_turns = nullptr);

// out[i] <- z[i]*conj(w[i]) / |z[i]| where |z[i]| != 0; out[i] untouched elsewhere. Returns 0.
int phase_difference_map(const dcomplex* z, const dcomplex* w, int nrows, int ncols, dcomplex* out);

// phase_difference_map's n samples on one vector width (every width gives the same bits).
void phase_difference_with(tarvo::Simd path, const dcomplex* z, const dcomplex* w, std::int64_t n,
                           dcomplex* out);
// col[k] <- complex_mult(complex_mult(t[k], col[k]), u) for k < n, on one vector width.
void ramp_with(tarvo::Simd path, dcomplex* col, const dcomplex* t, std::int64_t n, dcomplex u);
// x[i] <- complex_mult(x[i], c) for i < n, on one vector width.
void turn_with(tarvo::Simd path, dcomplex* x, std::int64_t n, dcomplex c);
// out[i] <- sqrt(z[i].re^2 + z[i].im^2) for i < n, on one vector width; returns the largest of
// them and 0.0.
double magnitudes_with(tarvo::Simd path, const dcomplex* z, std::int64_t n, double* out);

// mask[i] <- 1 where |data[i]| > max|data| * fraction, else 0 (fraction outside [0, 1) means
// 0.25). scratch: nrows*ncols values, or null to use a private one. Returns 0, or -1 (message)
// when the private scratch cannot be obtained.
int magnitude_mask(const dcomplex* data, float* mask, int nrows, int ncols, float fraction,
                   dcomplex* scratch);

// support_cols[j] / support_rows[i] <- 1 when column j / row i has more than 3 entries with
// mask > 0, else 0. Returns 0.
int mask_support(const float* mask, int nrows, int ncols, float* support_rows, float* support_cols);

// Multiplies cnt1*cnt2 frames of len1 x len2 values by exp(i*pi*(s1*(k - len1/2) +
// s2*(l - len2/2))) at sample (k, l); the phases are formed in single precision. Returns 0, or
// -1 (message, data unchanged) when the phase tables cannot be obtained.
int apply_phase_ramp(dcomplex* data, short len1, short len2, short cnt1, unsigned short cnt2,
                     float s1, float s2);

// ---------------------------------------------------------------------------------------------
// Rank-1 phase estimate and linear-phase fit
// ---------------------------------------------------------------------------------------------

// Dominant singular triplet of conj(W o C) (C nrows x ncols, W the weights or all 1 when null),
// through the Lanczos SVD on its real representation: conj(W o C) v = sigma u. The run owns its
// Lanczos store. Outputs may be null. When the SVD yields no triplet (an all-zero or fully masked
// map) the outputs are zero. Returns 0, or -1 (message) when the SVD matrices cannot be obtained or
// the SVD run fails.
int dominant_singular_pair(const dcomplex* data, const float* weights, int nrows, int ncols,
                           double* sigma_out, dcomplex* u_out, dcomplex* v_out);
// The same in the caller's room of dense_room(nrows, ncols) doubles for the dense form of the
// real representation and the spans of its values (nothing allocated for them).
int dominant_singular_pair(const dcomplex* data, const float* weights, int nrows, int ncols,
                           double* room, double* sigma_out, dcomplex* u_out, dcomplex* v_out);
inline std::int64_t dense_room(int nrows, int ncols) {
  // Two copies of the map (2 doubles a value), and a pair of ints for each row and column.
  return 4 * static_cast<std::int64_t>(nrows) * ncols + nrows + ncols;
}

// Removes 2*pi jumps from phase[0..n-1] in place, sample 0 being the reference; samples whose
// weight is not > 0 are skipped in the differences. Returns 0, or -1 (message, phases unchanged)
// when the work array cannot be obtained.
int unwrap_phase(double* phase, const float* weights, int n);

// *slope_out <- slope of the weighted least-squares line through the unwrapped phase of u over
// the 1-based positions with weight > 0 (0 when there are none). Returns 0, or -1 (message,
// slope 0) when memory cannot be obtained.
int fit_linear_phase(const dcomplex* u, const float* weights, int n, float* slope_out);

// ---------------------------------------------------------------------------------------------
// Small dense SVD and least-squares solve (row-pointer matrices: m[i] = m[0] + i*cols)
// ---------------------------------------------------------------------------------------------

// n doubles, uninitialised; null on failure.
double* alloc_dvector(int n);
void free_dvector(double* v);
// rows x cols elements of elsize bytes behind rows row pointers, uninitialised; null on failure.
void** alloc_matrix2d(int rows, int cols, int elsize);
double** alloc_dmatrix(int rows, int cols);
// Frees the block (through row 0), then the row pointers; null is allowed.
template <class T>
void free_matrix2d(T** m) {
  if (!m) return;
  tarvo::free_bytes(m[0]);
  tarvo::free_bytes(m);
}

// a (m x n, m >= n) = U diag(w) V^T: a is overwritten by U, w gets the n singular values (>= 0,
// unsorted), v (n x n) gets V. Returns 0, 1 when a singular value did not converge in 30
// sweeps, -1 (message, nothing changed) when the work vector cannot be obtained.
int dense_svd(double** a, int m, int n, double* w, double** v);

// x (n) <- V diag(1/w) U^T b (b: m values), exactly-zero w dropped: the minimum-norm
// least-squares solution. Returns 0, or -1 (message, x unchanged) when memory fails.
int svd_solve(double** u, const double* w, double** v, int n, int m, const double* b, double* x);
