#pragma once
// Shape-adaptive 5/3 wavelet: the mask decomposition and the inverse
// (synthesis) transform; the encoder's forward one is in wltencoder_p.h.

#include <cmath>

#include "wltplanes.h"

namespace wlt {

// The runs that synthesizeLevel finds in every line of every level depend
// only on the decomposed mask, which all three channels share: the plan
// records them once per picture, and synthesizePlanned replays them with
// the same arithmetic, without restoring the mask line by line.
struct SynthesisPlan {
    struct Run {
        uint8_t start;
        uint8_t length;
    };
    // Lines in synthesis order: level 4 to 1, each its columns then its rows.
    static constexpr int kMaxLines = 2 * (kPlaneRows + kPlaneCols);
    // Runs of a line are apart, so a line holds at most half its length.
    static constexpr int kMaxRunsPerLine = kPlaneRows / 2;
    uint8_t runCount[kMaxLines];
    Run runs[kMaxLines][kMaxRunsPerLine];

    // The runs again as one byte of flags per sample, so that the lifting
    // makes fixed passes over whole lines instead of one loop per run.
    // Columns of a level: a row of flags per even sample index, one of
    // zeros, a row per odd sample index, one of zeros; rows of a level: each
    // row's even samples, then its odd ones.
    static constexpr int kColumnFlagBytes = (kPlaneRows + 2) * kPlaneCols + (kPlaneRows / 2 + 2) * (kPlaneCols / 2)
                                            + (kPlaneRows / 4 + 2) * 32 + (kPlaneRows / 8 + 2) * 16;
    static constexpr int kRowFlagBytes = kPlaneRows * kPlaneCols + (kPlaneRows / 2) * 64 + (kPlaneRows / 4) * 32
                                         + (kPlaneRows / 8) * 16;
    uint8_t columnFlags[kColumnFlagBytes];
    uint8_t rowFlags[kRowFlagBytes];
    // 0xFF where the last rows' runs lie within the picture: what reaches a channel.
    uint8_t inside[kPlaneRows][kPlaneCols];
    // 1 for the lines with runs of one or two samples, which take the
    // slower lifting.
    uint8_t shortRuns[kMaxLines];

    static constexpr int lineIndex(int level, LineMode mode, int i)
    {
        int base = 0;
        for (int a = kLevels; a > level; --a)
            base += levelRows(a) + levelCols(a);
        return base + (mode == LineMode::Row ? levelCols(level) : 0) + i;
    }
    // The flags and inside from the runs, for buildSynthesisPlan;
    // decomposeMask derives the same from the masks as it splits them.
    void prepareLifting();
};

// kind 1: v x 1.4142, kind 2: v x 0.7071, rounded half away from zero.
// Inline: the encoder's analysis searches with it, a few calls per coefficient.
inline int64_t scaleRound(int64_t v, int kind)
{
    const double product = double(v) * (kind == 1 ? 1.4142 : 0.7071);
    // Half away from zero: + 0.5 when product >= 0, - 0.5 below (-0.0 ends
    // at 0 either way); without a branch on the sign.
    return int64_t(product + std::copysign(0.5, product));
}
// The same for |v| < 2^13 (where it is checked value by value), rounding in
// integers: the synthesis's 32-bit path scales this way.
int32_t scaleRoundFast(int32_t v, int kind);

// The runs of 1s in a line's source are the runs its synthesis will find; a
// plan, when given, receives them.
void splitMaskLine(int count, const uint8_t *source, uint8_t *target, LineMode mode,
                   uint8_t *runCount = nullptr, SynthesisPlan::Run *runs = nullptr);
void decomposeMask(const Plane8 &source, Plane8 &target, int levels, SynthesisPlan *plan = nullptr);

void synthesizeRun(int length, bool oddStart, int32_t *v, int highIndex, int lowIndex,
                   int32_t *o, int start);
void synthesizeLine(LineMode mode, int count, int32_t *values, uint8_t *mask);
void synthesizeLevel(Plane8 &mask, Plane32 &values, int level);

// The plan from a decomposed mask, restoring it as the synthesis does.
void buildSynthesisPlan(const Plane8 &D, SynthesisPlan &plan);
// values: the coefficients where the decomposed mask is 1 and zeros
// elsewhere, as the walk leaves them (a sample that stayed in its high slot
// is read from its low one); synthesised in place, 0 outside the shape.
void synthesizePlanned(const SynthesisPlan &plan, Plane32 &values);
// The same, clamped into bytes within the picture (0 outside the shape and
// beyond the picture); values serve as the workspace and are left holding
// intermediate results.
// Bit a of emptyLevels set tells that level a's bands hold only zeros.
void synthesizeIntoChannel(const SynthesisPlan &plan, Plane32 &values, Plane8 &channel, uint8_t emptyLevels = 0);

} // namespace wlt
