// The plain synthesis, a line and a run at a time, which the vector lifting
// must agree with; the 64-bit lifting it falls back on where its inputs are
// too large; and the synthesis plan as the plain synthesis finds it.
#include "wlttransform.h"

#include <algorithm>
#include <cstring>

#include "wlttransform_p.h"

namespace wlt {

int32_t scaleRoundFast(int32_t v, int kind)
{
    // For v != 0, 0.7 < |p| < 2^14: |p| + 0.5 is exact in doubles, so
    // scaleRound is floor(|p| + 0.5) with p's sign, that is
    // (floor(2|p|) + 1) / 2 floored. 2p in floats truncates to the same
    // integer as in doubles while |v| < 12669 (every v was tried), so
    // the vector lanes convert twice as many values per instruction.
    const int32_t t = int32_t(float(v) * float(2.0 * (kind == 1 ? 1.4142 : 0.7071)));
    return (t + (t >> 31) + 1) >> 1;
}

void synthesizeRun(int length, bool oddStart, int32_t *v, int highIndex, int lowIndex,
                   int32_t *o, int start)
{
    if (length <= 0)
        return;
    if (length == 1) {
        o[start] = saturate(scaleRound(v[lowIndex], 2));
        return;
    }
    const int last = start + length - 1;
    const int firstEven = oddStart ? start + 1 : start;
    const int firstOdd = oddStart ? start : start + 1;
    const int evenCount = (last - firstEven) / 2 + 1;
    const int oddCount = (last - firstOdd) / 2 + 1;
    if (length >= 3) {
        for (int k = 0; k < evenCount; ++k)
            v[lowIndex + k] = saturate(scaleRound(v[lowIndex + k], 2));
        for (int k = 0; k < oddCount; ++k)
            v[highIndex + k] = saturate(scaleRound(v[highIndex + k], 1));
    }
    auto low = [&](int q) -> int64_t { return v[lowIndex + (q - firstEven) / 2]; };
    auto high = [&](int q) -> int64_t { return v[highIndex + (q - firstOdd) / 2]; };

    // Reversible 5/3 inverse lifting; a missing neighbour at either end of the
    // run is mirrored from the other side.
    for (int q = firstEven; q <= last; q += 2) {
        const bool hasLeft = q > start;
        const bool hasRight = q < last;
        int64_t value;
        if (hasLeft && hasRight) {
            value = low(q) - floorDiv(high(q - 1) + high(q + 1) + 2, 4);
        } else {
            const int64_t h = hasLeft ? high(q - 1) : high(q + 1);
            value = low(q) - floorDiv(h + 1, 2);
        }
        o[q] = saturate(value);
    }
    for (int q = firstOdd; q <= last; q += 2) {
        const bool hasLeft = q > start;
        const bool hasRight = q < last;
        int64_t value;
        if (hasLeft && hasRight)
            value = high(q) + floorDiv(int64_t(o[q - 1]) + o[q + 1], 2);
        else
            value = high(q) + (hasLeft ? o[q - 1] : o[q + 1]);
        o[q] = saturate(value);
    }
}

namespace {

// Step 1 of synthesizeLine: the mask before this line's split.
void restoreMaskLine(LineMode mode, int count, const uint8_t *mask, uint8_t *q)
{
    const int half = count / 2;
    const uint8_t moved = movedCode(mode);
    for (int i = 0; i < half; ++i) {
        const uint8_t h = mask[half + i];
        if (h == moved) {
            q[2 * i] = 0;
            q[2 * i + 1] = kMaskInside;
        } else {
            q[2 * i] = mask[i];
            q[2 * i + 1] = h;
        }
    }
}

} // namespace

void synthesizeLine(LineMode mode, int count, int32_t *values, uint8_t *mask)
{
    const int half = count / 2;
    uint8_t q[kPlaneRows];
    int32_t o[kPlaneRows] = {};
    restoreMaskLine(mode, count, mask, q);
    forEachRun(q, count, [&](int s, int end) {
        const int length = end - s;
        synthesizeRun(length, (s & 1) != 0, values, half + (s >> 1),
                      length == 1 ? s >> 1 : (s + 1) >> 1, o, s);
    });
    std::memcpy(values, o, sizeof(int32_t) * size_t(count));
    std::memcpy(mask, q, size_t(count));
}

void forEachColumn(Plane8 &mask, Plane32 &values, int rows, int cols,
                   void (*line)(LineMode, int, int32_t *, uint8_t *))
{
    int32_t lineValues[kPlaneRows];
    uint8_t lineMask[kPlaneRows];
    for (int c = 0; c < cols; ++c) {
        for (int r = 0; r < rows; ++r) {
            lineValues[r] = values[r][c];
            lineMask[r] = mask[r][c];
        }
        line(LineMode::Column, rows, lineValues, lineMask);
        for (int r = 0; r < rows; ++r) {
            values[r][c] = lineValues[r];
            mask[r][c] = lineMask[r];
        }
    }
}

void synthesizeLevel(Plane8 &mask, Plane32 &values, int level)
{
    const int rows = levelRows(level);
    const int cols = levelCols(level);
    forEachColumn(mask, values, rows, cols, synthesizeLine);
    for (int r = 0; r < rows; ++r)
        synthesizeLine(LineMode::Row, cols, values[r].data(), mask[r].data());
}

// ---- The 64-bit fallback ----------------------------------------------------

void liftRun(int length, int start, const int32_t *v, int half, int32_t *o)
{
    if (length == 1) {
        o[start] = saturate(scaleRound(v[start >> 1], 2));
        return;
    }
    // x[p + 1] is the coefficient of sample p; x[0] and x[length + 1] mirror.
    int64_t x[kPlaneRows + 2];
    int64_t e[kPlaneRows + 2];
    const int firstEven = start & 1; // run offsets of the first even and odd samples
    const int firstOdd = 1 - firstEven;
    const int32_t *low = v + ((start + 1) >> 1);
    const int32_t *high = v + half + (start >> 1);
    if (length >= 3) {
        // 0.7071 keeps any 32-bit value in range; 1.4142 may not.
        for (int p = firstEven, k = 0; p < length; p += 2, ++k)
            x[p + 1] = scaleRound(low[k], 2);
        for (int p = firstOdd, k = 0; p < length; p += 2, ++k)
            x[p + 1] = saturate(scaleRound(high[k], 1));
    } else {
        x[firstEven + 1] = low[0];
        x[firstOdd + 1] = high[0];
    }
    x[0] = x[2];
    x[length + 1] = x[length - 1];
    for (int p = firstEven; p < length; p += 2) {
        const int32_t value = saturate(x[p + 1] - floorDiv(x[p] + x[p + 2] + 2, 4));
        e[p + 1] = value;
        o[start + p] = value;
    }
    e[0] = e[2];
    e[length + 1] = e[length - 1];
    for (int p = firstOdd; p < length; p += 2)
        o[start + p] = saturate(x[p + 1] + floorDiv(e[p] + e[p + 2], 2));
}

// ---- The plan as the plain synthesis finds it ---------------------------------

void buildSynthesisPlan(const Plane8 &D, SynthesisPlan &plan)
{
    Plane8 mask = D;
    uint8_t split[kPlaneRows];
    uint8_t restored[kPlaneRows];
    auto record = [&](int count, int line) {
        uint8_t &n = plan.runCount[line];
        n = 0;
        forEachRun(restored, count,
                   [&](int s, int end) { plan.runs[line][n++] = SynthesisPlan::Run{uint8_t(s), uint8_t(end - s)}; });
    };
    for (int a = kLevels; a >= 1; --a) {
        const int rows = levelRows(a);
        const int cols = levelCols(a);
        for (int c = 0; c < cols; ++c) {
            for (int r = 0; r < rows; ++r)
                split[r] = mask[r][c];
            restoreMaskLine(LineMode::Column, rows, split, restored);
            for (int r = 0; r < rows; ++r)
                mask[r][c] = restored[r];
            record(rows, SynthesisPlan::lineIndex(a, LineMode::Column, c));
        }
        for (int r = 0; r < rows; ++r) {
            restoreMaskLine(LineMode::Row, cols, mask[r].data(), restored);
            std::memcpy(mask[r].data(), restored, size_t(cols));
            record(cols, SynthesisPlan::lineIndex(a, LineMode::Row, r));
        }
    }
    plan.prepareLifting();
}

namespace {

// The flags of one line's runs, by sample pair: even[k] for sample 2k,
// odd[k] for 2k + 1, over zeros.
void lineFlags(int runCount, const SynthesisPlan::Run *runs, uint8_t *even, uint8_t *odd)
{
    for (int i = 0; i < runCount; ++i) {
        const int s = runs[i].start;
        const int end = s + runs[i].length;
        if (end - s == 1) {
            // A lone odd sample comes back from the low slot of the even
            // sample before it, which lies outside every run.
            constexpr uint8_t kLone = kAlone | kLeftMissing | kRightMissing;
            if (s & 1) {
                odd[s >> 1] = kLone;
                even[s >> 1] = kAlone | kChecked;
            } else {
                even[s >> 1] = kLone | kChecked;
            }
            continue;
        }
        const uint8_t flags = kChecked | (end - s == 2 ? kRaw : 0);
        std::memset(even + ((s + 1) >> 1), flags, size_t(((end - 1) >> 1) - ((s + 1) >> 1) + 1));
        std::memset(odd + (s >> 1), flags, size_t(((end - 2) >> 1) - (s >> 1) + 1));
        ((s & 1) ? odd : even)[s >> 1] |= kLeftMissing;
        (((end - 1) & 1) ? odd : even)[(end - 1) >> 1] |= kRightMissing;
    }
}

uint8_t hasShortRuns(const SynthesisPlan &plan, int line)
{
    for (int i = 0; i < plan.runCount[line]; ++i) {
        if (plan.runs[line][i].length <= 2)
            return 1;
    }
    return 0;
}

} // namespace

void SynthesisPlan::prepareLifting()
{
    std::memset(columnFlags, 0, sizeof columnFlags);
    std::memset(rowFlags, 0, sizeof rowFlags);
    std::memset(inside, 0, sizeof inside);
    for (int a = 1; a <= kLevels; ++a) {
        const int half = levelRows(a) / 2;
        const int stride = columnFlagStride(a);
        uint8_t *columns = columnFlags + columnFlagOffset(a);
        for (int c = 0; c < levelCols(a); ++c) {
            uint8_t even[kPlaneRows / 2] = {}, odd[kPlaneRows / 2] = {};
            const int line = lineIndex(a, LineMode::Column, c);
            lineFlags(runCount[line], runs[line], even, odd);
            shortRuns[line] = hasShortRuns(*this, line);
            for (int k = 0; k < half; ++k) {
                columns[k * stride + c] = even[k];
                columns[(oddColumnFlags(a) + k) * stride + c] = odd[k];
            }
        }
        const int flagHalf = rowFlagHalf(a);
        for (int r = 0; r < levelRows(a); ++r) {
            const int line = lineIndex(a, LineMode::Row, r);
            uint8_t *even = rowFlags + rowFlagOffset(a) + r * 2 * flagHalf;
            lineFlags(runCount[line], runs[line], even, even + flagHalf);
            shortRuns[line] = hasShortRuns(*this, line);
            for (int i = 0; a == 1 && r < kPictureRows && i < runCount[line]; ++i) {
                const int s = runs[line][i].start;
                for (int c = s; c < std::min(s + runs[line][i].length, kPictureCols); ++c)
                    inside[r][c] = 0xFF;
            }
        }
    }
}

} // namespace wlt
