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

// complex_axpby on the given width (the same bits on each).
void complex_axpby(Simd path, dcomplex alpha, dcomplex* y, dcomplex beta, const dcomplex* x, int n);

}  // namespace tarvo
