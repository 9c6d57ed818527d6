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

// The runs that synthesizeLevel finds in every line of every level depend
// only on the decomposed mask, which all three channels share: the plan
// records them once per picture, and synthesizePlanned replays them with
// the same synthesizeRun, without restoring the mask line by line.
struct SynthesisPlan {
    struct Run {
        uint8_t start;
        uint8_t length;
    };
    static constexpr int MaxLines = 2 * (PlaneRows + PlaneCols);
    static constexpr int MaxRuns = PlaneSize * 2;
    Run runs[MaxRuns];
    int lineEnd[MaxLines]; // runs of line i: [lineEnd[i - 1], lineEnd[i])
};
void buildSynthesisPlan(const Plane8 &D, SynthesisPlan &plan);
// values: the decoded coefficients, 0 where D is 0; synthesised in place.
void synthesizePlanned(const SynthesisPlan &plan, Plane32 &values);

// Forward transform of one line: values and mask (0/1 and the moved codes)
// become the low half followed by the high half, as synthesizeLine expects.
void analyzeLine(LineMode mode, int count, int32_t *values, uint8_t *mask);
void analyzeLevel(Plane8 &mask, Plane32 &values, int level);
// Forward transform over all levels: mask is the 0/1 shape on input and its
// decomposition on output; values become the coefficients (0 where mask != 1).
void analyze(Plane8 &mask, Plane32 &values);

} // namespace wlt
