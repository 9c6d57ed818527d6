#pragma once
// Internals shared by the transform's parts: the per-sample flags that the
// mask decomposition leaves for the vector lifting and where they lie, the
// fast path's bound, and the exact integer steps of the plain lifting.

#include <cstdint>
#include <limits>

#include "wlttransform.h"

namespace wlt {

// ---- Flags of a sample for the synthesis's fixed passes -------------------
// Samples outside every run have none, and lanes there compute garbage
// nobody reads.
constexpr uint8_t kRaw = 0x01;          // in a run of two: not scaled
constexpr uint8_t kLeftMissing = 0x02;  // first of its run: mirror the right neighbour
constexpr uint8_t kRightMissing = 0x04; // last of its run
constexpr uint8_t kAlone = 0x08;        // no neighbour to lift from: even ones keep the scaled low
constexpr uint8_t kChecked = 0x10;      // its input is read, so it must fit the fast path

constexpr int roundUp8(int v) { return (v + 7) & ~7; }
// Column flags of a level: rows of even samples' flags, a row of zeros, rows
// of odd samples' flags, a row of zeros; each row one byte per column.
constexpr int columnFlagStride(int level) { return roundUp8(levelCols(level)); }
constexpr int columnFlagOffset(int level)
{
    return level == 1 ? 0 : columnFlagOffset(level - 1) + (levelRows(level - 1) + 2) * columnFlagStride(level - 1);
}
constexpr int oddColumnFlags(int level) { return levelRows(level) / 2 + 1; }
// Row flags of a level: per row, its even samples' flags, then its odd ones'.
constexpr int rowFlagHalf(int level) { return roundUp8(levelCols(level) / 2); }
constexpr int rowFlagOffset(int level)
{
    return level == 1 ? 0 : rowFlagOffset(level - 1) + levelRows(level - 1) * 2 * rowFlagHalf(level - 1);
}
static_assert(columnFlagOffset(kLevels + 1) == SynthesisPlan::kColumnFlagBytes, "column flags fill their array");
static_assert(rowFlagOffset(kLevels + 1) == SynthesisPlan::kRowFlagBytes, "row flags fill their array");

// ---- The fast path's bound --------------------------------------------------
// The fast path lifts in 32 bits when every input it reads lies in
// [-2^13, 2^13), where scaleRoundFast is exact. Then scaled values stay
// within 1.4142 * 2^13 + 0.5 and every sum of the steps far inside 32 bits:
// nothing wraps, nothing saturates, and the shifts floor like floorDiv, so
// the results are liftRun's. Real pictures stay below the bound (their
// lowest band under 16 x 255); a line or column group that crosses it goes
// through liftRun instead.
constexpr int kFastBits = 13;
constexpr int32_t kFastBias = int32_t(1) << kFastBits;

// ---- Exact steps ------------------------------------------------------------

inline int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if (a % b != 0 && a < 0)
        --q;
    return q;
}

// Planes hold 32-bit values; hostile streams can push sums past that range,
// so lifting works in 64 bits and stores saturated.
inline int32_t saturate(int64_t v)
{
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

inline uint8_t movedCode(LineMode mode) { return mode == LineMode::Row ? kMovedInRow : kMovedInColumn; }

// f(start, end) for every run of 1s in line[0 .. count), in order.
template <typename F>
void forEachRun(const uint8_t *line, int count, F f)
{
    for (int s = 0; s < count;) {
        if (line[s] != kMaskInside) {
            ++s;
            continue;
        }
        int end = s;
        while (end < count && line[end] == kMaskInside)
            ++end;
        f(s, end);
        s = end;
    }
}

// Runs a line transform down every column, through a copy of the column.
void forEachColumn(Plane8 &mask, Plane32 &values, int rows, int cols,
                   void (*line)(LineMode, int, int32_t *, uint8_t *));

// synthesizeRun with the mirrored ends folded into the buffers, so that every
// sample takes the interior formula; same arithmetic, same saturation. The
// 64-bit path, for runs whose inputs are too large for the fast one: the
// run [start, start + length) of a line whose lows begin at v and highs at
// v + half, into o.
void liftRun(int length, int start, const int32_t *v, int half, int32_t *o);

} // namespace wlt
