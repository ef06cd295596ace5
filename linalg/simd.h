// The vector instruction sets the module's sample-wise kernels are built for, the widest this
// processor has chosen at run time, and the kernels of this library that use them.
#pragma once

#include <cstdint>

#include "linalg/linalg.h"

namespace tarvo {

// Every kernel gives the same bits on each of these.
enum class Simd { kPortable, kAvx2, kAvx512 };

// The widest this processor (and this build: no AVX-512 in the Windows module) has;
// TARVO_NO_AVX512=1 in the environment leaves AVX-512 out.
Simd simd_best();

// out = (a + b) / d1 / d2 * 0.5, part by part, on n values.
void average_scaled(Simd path, const dcomplex* a, const dcomplex* b, std::int64_t n, double d1,
                    double d2, dcomplex* out);
inline void average_scaled(const dcomplex* a, const dcomplex* b, std::int64_t n, double d1,
                           double d2, dcomplex* out) {
  average_scaled(simd_best(), a, b, n, d1, d2, out);
}

// out = (a ca + b cb) / d1 / d2 * 0.5 on n values, each product as complex_mult forms it: the
// bits of turning a by ca and b by cb (turn_with) and then averaging them as above.
void turned_average_scaled(Simd path, const dcomplex* a, dcomplex ca, const dcomplex* b,
                           dcomplex cb, std::int64_t n, double d1, double d2, dcomplex* out);
inline void turned_average_scaled(const dcomplex* a, dcomplex ca, const dcomplex* b, dcomplex cb,
                                  std::int64_t n, double d1, double d2, dcomplex* out) {
  turned_average_scaled(simd_best(), a, ca, b, cb, n, d1, d2, out);
}

// Columns j0 .. j0 + count - 1 of the n x n column-major g less the products of its columns
// 0 .. j0 - 1, at rows r0 .. r1 - 1 (at or below those columns' diagonals): the left-looking
// Cholesky update, each element taking the products in column order with the scalar form's
// operations (complex_cholesky_solve's bits on every width).
void cholesky_subtract_products(Simd path, dcomplex* g, int n, int j0, int count, int r0, int r1);

// complex_axpby on the given width (the same bits on each).
void complex_axpby(Simd path, dcomplex alpha, dcomplex* y, dcomplex beta, const dcomplex* x, int n);

// out(j, i) <- in(i, j) for a rows x cols block: element (i, j) of in at in[i + in_stride*j],
// element (j, i) of out at out[j + out_stride*i]. The values are moved, not computed: the same
// on every path.
void complex_transpose(Simd path, const dcomplex* in, std::int64_t in_stride, int rows, int cols,
                       dcomplex* out, std::int64_t out_stride);
inline void complex_transpose(const dcomplex* in, std::int64_t in_stride, int rows, int cols,
                              dcomplex* out, std::int64_t out_stride) {
  complex_transpose(simd_best(), in, in_stride, rows, cols, out, out_stride);
}

// The same transpose split by columns: column j of in goes to first when half_of[j] is 1 and to
// second when it is 2, zeros taking its place in the other output (in both when it is neither).
void complex_transpose_halves(Simd path, const dcomplex* in, std::int64_t in_stride, int rows,
                              int cols, const unsigned char* half_of, dcomplex* first,
                              dcomplex* second, std::int64_t out_stride);
inline void complex_transpose_halves(const dcomplex* in, std::int64_t in_stride, int rows, int cols,
                                     const unsigned char* half_of, dcomplex* first,
                                     dcomplex* second, std::int64_t out_stride) {
  complex_transpose_halves(simd_best(), in, in_stride, rows, cols, half_of, first, second,
                           out_stride);
}

}  // namespace tarvo
