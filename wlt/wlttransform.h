#pragma once
// Shape-adaptive 5/3 wavelet: mask decomposition, inverse (synthesis) and the
// encoder's forward (analysis) transform, which the synthesis undoes.

#include "wltplanes.h"

namespace wlt {

// kind 1: v x 1.4142, kind 2: v x 0.7071, rounded half away from zero.
int64_t scaleRound(int64_t v, int kind);

void splitMaskLine(int count, const uint8_t *source, uint8_t *target, LineMode mode);
void splitMaskLevel(Plane8 &plane, int level);
void decomposeMask(const Plane8 &source, Plane8 &target, int levels);

void synthesizeRun(int length, bool oddStart, int32_t *v, int highIndex, int lowIndex,
                   int32_t *o, int start);
void synthesizeLine(LineMode mode, int count, int32_t *values, uint8_t *mask);
void synthesizeLevel(Plane8 &mask, Plane32 &values, int level);

// Forward transform of one line: values and mask (0/1 and the moved codes)
// become the low half followed by the high half, as synthesizeLine expects.
void analyzeLine(LineMode mode, int count, int32_t *values, uint8_t *mask);
void analyzeLevel(Plane8 &mask, Plane32 &values, int level);
// Forward transform over all levels: mask is the 0/1 shape on input and its
// decomposition on output; values become the coefficients (0 where mask != 1).
void analyze(Plane8 &mask, Plane32 &values);

} // namespace wlt
