#pragma once
// Whether the decoder's AVX2 paths run. The baseline SSE2 paths give the same
// bytes; the tests run both.

namespace wlt {

// True where the processor has AVX2, unless allowWideVectors(false) turned
// them off.
bool wideVectors();
// Allows or forbids the AVX2 paths; returns whether they now run.
bool allowWideVectors(bool allow);

} // namespace wlt
