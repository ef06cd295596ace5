// Closes what linalg/simd_begin.h opened. No include guard.
}  // namespace
#if TARVO_SIMD_WIDTH == 4 || TARVO_SIMD_WIDTH == 8
#pragma GCC pop_options
#endif
#undef TARVO_SIMD_WIDTH
