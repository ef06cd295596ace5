// Opens the namespace of one vector width for a file of sample-wise kernels written with GCC
// vectors: define TARVO_SIMD_WIDTH (2, 4 or 8 doubles) first; linalg/simd_end.h closes it. Inside
// are V (the vector, aligned to 8 bytes only), kW, and unaligned load and store. Widths above 2
// are compiled for AVX2 or AVX-512 alone (no fused multiply-adds), so every width gives the
// scalar form's bits as long as the kernels are written element by element.
// No include guard: each inclusion opens one namespace.
#if TARVO_SIMD_WIDTH == 4
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
#elif TARVO_SIMD_WIDTH == 8
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace avx512 {
#else
namespace portable {
#endif
constexpr int kW = TARVO_SIMD_WIDTH;
typedef double V __attribute__((vector_size(8 * TARVO_SIMD_WIDTH), aligned(8)));

inline V load(const double* p) {
  return *reinterpret_cast<const V*>(p);
}

inline void store(double* p, V v) {
  *reinterpret_cast<V*>(p) = v;
}
