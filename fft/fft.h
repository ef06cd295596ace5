// Two-dimensional complex FFTs for the reconstruction: a manager of prepared transforms, one
// slot per (nx, ny, direction), over two engines:
//   - the power-of-two engine (cfft_pow2*) when both sizes are powers of two,
//   - the mixed-radix engine (mrfft*) for every other size.
//
// Every transform is in place on an image of interleaved double-precision complex values;
// element (x, y) of an nx-by-ny image is complex value y*nx + x (nx is the contiguous extent).
//   'f': D(kx, ky) = sum_{x,y} d(x, y) exp(-2 pi i (x kx / nx + y ky / ny))
//   'b': the same with exp(+2 pi i ...)
// Neither direction is scaled: 'f' then 'b' multiplies the image by nx*ny.
//
// Status: entry points returning int give 0 on success and -1 on failure after printing
// their message on stderr. Nothing here ends the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "linalg/linalg.h"

// ---------------------------------------------------------------------------------------------
// Mixed-radix engine
// ---------------------------------------------------------------------------------------------

// A 1-D plan of length n, one contiguous block of mrfft_alloc's reported size, 264 + 16 n bytes:
// this header followed directly by the n roots (see roots()).
struct MixedRadixPlan {
  int32_t n;           // transform length
  int32_t backward;    // 0: exp(-i...), nonzero: exp(+i...)
  int32_t stages[64];  // up to 32 pairs (p, m) from the outermost stage; the last has m = 1
  // root k = (cos phi_k, sin phi_k), phi_k = (k * -2 pi) / n, negated when backward; n values
  // stored right after this header in the same block.
  dcomplex* roots() { return reinterpret_cast<dcomplex*>(this + 1); }
  const dcomplex* roots() const { return reinterpret_cast<const dcomplex*>(this + 1); }
};
static_assert(sizeof(MixedRadixPlan) == 264, "the plan header is 264 bytes");

// A multi-dimensional plan, one contiguous block: this header, then `plans` (ndims pointers),
// `dims` (ndims int32, padded to a multiple of 8 bytes), `buffer` (total values), then the
// ndims plan blocks one after another.
struct MixedRadixNdPlan {
  int32_t total;           // product of all dimensions
  int32_t ndims;           // number of dimensions
  int32_t* dims;           // ndims extents, slowest first, the last one contiguous
  MixedRadixPlan** plans;  // ndims plans, one per dimension
  dcomplex* buffer;        // total values: intermediate result of the passes
};
static_assert(sizeof(MixedRadixNdPlan) == 32, "the nd plan header is 32 bytes");

// Scratch of the mixed-radix transforms, owned by the caller and grown on demand (a buffer
// below the count needed is replaced by one of exactly that count); never shrinks.
struct FftScratch {
  dcomplex* work;          // input copy of the generic radix-p butterfly (work_capacity values)
  uint64_t work_capacity;  // values allocated in work
  dcomplex* copy;          // result of a transform whose input and output coincide; in mrfftnd
                           // the results of four transforms run side by side (4 len values)
  uint64_t copy_capacity;  // values allocated in copy
};

// Sets all four fields of s to zero.
void fft_scratch_init(FftScratch* s);
// Releases work and copy and zeroes all four fields.
void fft_scratch_free(FftScratch* s);
// Makes s hold at least `work` and `copy` values; 0, or -1 when an allocation fails (what s held
// before is kept).
int fft_scratch_reserve(FftScratch* s, int64_t work, int64_t copy);

// Builds the plan of length n (n >= 1).
//   lenmem null: the block is allocated (free it with tarvo::free_bytes).
//   lenmem non-null: *lenmem is set to the required size (264 + 16 n); the plan is built in mem
//   when mem is non-null and the size given in *lenmem was large enough.
// Returns the plan, or null when nothing was built.
MixedRadixPlan* mrfft_alloc(int32_t n, int32_t backward, void* mem, std::size_t* lenmem);

// Writes the factor pairs (p, n/p) of n into stages: factors of 4 first, then at most one 2,
// then odd factors increasing, the last being the remaining prime when it exceeds sqrt(n).
void mrfft_factor(int32_t n, int32_t* stages);

// out[k] = sum_{j<n} in[j * in_stride] exp(-+2 pi i j k / n), k < n; out contiguous; in and out
// may be the same array. Returns 0, or -1 (message printed, out untouched) when the scratch
// cannot grow.
int mrfft_stride(const MixedRadixPlan* plan, const dcomplex* in, dcomplex* out, int32_t in_stride,
                 FftScratch* scratch);

// In place: the `count` transforms of the plan's length n along the slow dimension of an
// n x count array (transform i reads and writes data[i + j count], j < n), four side by side
// where the plan allows. Returns 0, or -1 (message printed, data untouched) when the scratch
// cannot grow.
int mrfft_columns(const MixedRadixPlan* plan, dcomplex* data, int32_t count, FftScratch* scratch);

// Builds the plan of the unscaled ndims-dimensional DFT over dims (slowest first), with the
// same mem / lenmem rule as mrfft_alloc. Null when nothing was built (also when a dimension is
// below 1 or the product of the dims exceeds the int32 range).
MixedRadixNdPlan* mrfftnd_alloc(const int32_t* dims, int32_t ndims, int32_t backward, void* mem,
                                std::size_t* lenmem);

// The unscaled multi-dimensional DFT of the plan's `total` values at in, same layout, into out;
// in may equal out. Returns 0, or -1 (message printed, out untouched) when the scratch cannot
// grow.
int mrfftnd(const MixedRadixNdPlan* plan, const dcomplex* in, dcomplex* out, FftScratch* scratch);

// ---------------------------------------------------------------------------------------------
// Power-of-two engine. Lengths are counted in doubles: n doubles hold N = n/2 complex values.
// w: cos/sin table of nw doubles (serves every length up to 4 nw); ip: integer work table,
// ip[0] = nw built (0: none), ip[1] = 1, ip[2...] bit-reversal offsets (needs 2 + sqrt(nw)
// entries).
// ---------------------------------------------------------------------------------------------

// In place: X[k] = sum_{j<N} x[j] exp(+2 pi i j k / N) for isgn >= 0, exp(-...) for isgn < 0.
// n is a power of two >= 2. Rebuilds the tables with nw = n/4 when n > 4 ip[0].
void cfft_pow2(int32_t n, int32_t isgn, double* a, int32_t* ip, double* w);
// Builds w for nw and ip's header (and bit-reversal offsets when nw > 8).
void cfft_pow2_make_tables(int32_t nw, int32_t* ip, double* w);
// Builds the bit-reversal offsets ip[2 ...] for tables of nw.
void cfft_pow2_make_bitrev(int32_t nw, int32_t* ip);
// In place on nrows rows a[i] of rowlen doubles: the 2-D transform with the sign rule of
// cfft_pow2 in both dimensions. t: work area of 8 nrows doubles (4 nrows when rowlen = 4,
// 2 nrows when rowlen < 4), or null to allocate one for the call (then up to
// max(32 nrows, 4 rowlen) doubles, for wider column sweeps and rows four at a time). w and ip
// must hold nw = max(2 nrows, rowlen) / 4 doubles and 2 + sqrt(nw) entries.
// Returns 0, or -1 after "fft2d memory allocation error\n" with the rows untouched.
int cfft_pow2_2d(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t, int32_t* ip,
                 double* w);
// The column pass of cfft_pow2_2d (t required).
void cfft_pow2_2d_columns(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t,
                          int32_t* ip, double* w);

// ---------------------------------------------------------------------------------------------
// FFT manager
// ---------------------------------------------------------------------------------------------

constexpr int FFT_MANAGER_MAX_SLOTS = 512;

// Number of managers ever initialised in this process; never decremented. Atomic, so that
// managers may be initialised on several threads at once.
extern std::atomic<int32_t> fft_managers_created;

// Owned by a mixed-radix slot.
struct MixedRadixSlotData {
  MixedRadixNdPlan* plan;  // dims {ny, nx}: one block
  FftScratch scratch;      // grown on demand, kept until the manager is destroyed
};

// One prepared (nx, ny, direction).
struct FftSlot {
  uint32_t key;               // (nx << 16) + ny in 32-bit arithmetic
  char direction;             // 'f' or 'b'
  int32_t ndims;              // always 2
  char kind;                  // 'o': power-of-two engine, 'k': mixed-radix engine
  MixedRadixSlotData* mixed;  // kind 'k' only
  int32_t* ip;                // kind 'o' only: max(nx, ny) + 2 entries
  double* w;                  // kind 'o' only: max(nx, ny) / 2 doubles
  uint16_t tables_ready;      // kind 'o' only: 1 after the first transform
  double** rows;              // kind 'o' only: ny row pointers, refilled on every call
};

struct FftManager {
  int32_t id;          // fft_managers_created when this manager was initialised
  int32_t slot_count;  // slots prepared so far
  FftSlot** slots;     // FFT_MANAGER_MAX_SLOTS entries, filled from 0 upward without gaps
};

// Initialises m: no slots, a fresh id. Returns 0, or -1 after a message when the slot table
// cannot be allocated (m then counts as not initialised).
int fft_manager_init(FftManager* m);
// Releases every slot and the slot table. Always 0; m is not to be used afterwards.
int fft_manager_destroy(FftManager* m);
// Index of the slot for (nx, ny, dir), prepared now when missing; -1 on error.
int alloc_2dfft(FftManager* m, int nx, int ny, char dir);
// Transforms the nx-by-ny image at data in place, dir 'f' or 'b'. 0, or -1 on error with the
// image untouched.
int fft_2d(FftManager* m, int nx, int ny, double* data, char dir);
