// Closes what linalg/simd_begin.h opened. No include guard.
}  // namespace
#if TARVO_SIMD_WIDTH == 4 || TARVO_SIMD_WIDTH == 8
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
#undef TARVO_SIMD_WIDTH
