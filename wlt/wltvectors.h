#pragma once
// Whether the decoder's AVX2 paths run. The baseline SSE2 paths give the same
// bytes; the tests run both.

// Where AVX2 code can be compiled beside the baseline (GCC or Clang on x86,
// each AVX2 function marked for it); the processor is asked at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define WLT_WIDE_VECTORS 1
#endif

namespace wlt {

// True where the processor has AVX2, unless allowWideVectors(false) turned
// them off.
bool wideVectors();
// Allows or forbids the AVX2 paths; returns whether they now run.
bool allowWideVectors(bool allow);

} // namespace wlt
