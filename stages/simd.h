// Builds the inner loops for more than one instruction set where the platform allows it.
#pragma once

// The inner loops run on the widest vectors the processor has: where the compiler can choose at
// run time (x86-64 Linux builds with optimisation), each of these functions is built for AVX2
// besides the baseline and the processor picks one when the program starts. AVX2 adds wider
// registers, not other arithmetic (no fused multiply-add), so both give the same results.
#if defined(ZEL_RUNTIME_SIMD) && defined(__x86_64__) && defined(__linux__)
#define ZEL_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZEL_SIMD_CLONES
#endif

// Helpers of those loops, inlined into whichever build of their caller runs, so that they are
// built for the same instruction set.
#if defined(__GNUC__) || defined(__clang__)
#define ZEL_INLINE __attribute__((always_inline)) inline
#else
#define ZEL_INLINE inline
#endif
