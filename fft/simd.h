// Instruction-set dispatch of the FFT engines: every kernel exists for the x86-64 baseline
// (SSE2), for processors with AVX2 and FMA and (outside Windows) for processors with AVX-512F;
// the choice is made once at run time. The AVX-512 kernels give the AVX2 kernels' bits;
// TARVO_NO_AVX512=1 keeps the AVX2 kernels, as it does for the product kernel. Internal to
// fft/ and its tests.
#pragma once

#include <cstdint>

#include "fft/fft.h"

namespace tarvo::fftk {

// Ordered: a processor that has a set has every set before it.
enum class isa { sse2, avx2, avx512 };

// The best set this processor (and its operating system) supports.
isa best_isa();
// The set the engines use now: best_isa() unless changed by use_isa().
isa active_isa();
// Makes the engines use `set` from now on (tests of each path). Returns false and changes
// nothing when the processor lacks it.
bool use_isa(isa set);

// Four interleaved power-of-two transforms in place: element j of transform c is the complex
// value 4 j + c of a, each transform n doubles long (n/2 values, n a power of two >= 2); exp(-)
// when `minus`, else exp(+). Tables built for at least n/4 (ip[0] >= n/4).
void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w);

// Four transforms of one mixed-radix plan whose inputs lie side by side: input j of transform
// c is in[j * in_stride + c], its output k goes to out[4 k + c] (4 n values). Every radix of the
// plan must have a fixed butterfly (2, 3, 4, 5, 7, 11, 13).
void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride, dcomplex* out);

namespace sse2 {
void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w);
void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride, dcomplex* out);
}  // namespace sse2
namespace avx512 {
void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w);
void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride, dcomplex* out);
}  // namespace avx512
namespace avx2 {
void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w);
// Rows rows[0..3] (rowlen doubles each) transformed in place as four interleaved transforms
// (by the active engine, AVX2 or AVX-512), t holding 4 rowlen doubles.
void pow2_rows4(double* const* rows, int32_t rowlen, bool minus, const int32_t* ip, const double* w,
                double* t);
// Column sweep moves of the 2-D driver: for every row i, the 8 blocks doubles at a[i] + j to
// and from t[4 col b + 8 i ...], b < blocks (block b holding four interleaved columns).
void gather_columns4(double* const* a, int32_t nrows, int32_t j, int32_t blocks, int64_t col,
                     double* t);
void scatter_columns4(double* const* a, int32_t nrows, int32_t j, int32_t blocks, int64_t col,
                      const double* t);
void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride, dcomplex* out);
}  // namespace avx2

}  // namespace tarvo::fftk
