// Included by a .cpp file whose functions from here on may use AVX-512F, AVX2 and FMA (called
// only after a run-time check of the processor); linalg/avx512_end.h closes the region. No
// include guard: each inclusion opens one region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2,fma"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
#endif
