// Shape-adaptive 5/3 wavelet: mask splitting, synthesis, and the encoder's analysis.
#include "wlttransform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltbits.h"

namespace wlt {

namespace {

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if (a % b != 0 && a < 0)
        --q;
    return q;
}

// Planes hold 32-bit values; hostile streams can push sums past that range,
// so lifting works in 64 bits and stores saturated.
int32_t saturate(int64_t v)
{
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

uint8_t movedCode(LineMode mode) { return mode == LineMode::Row ? kMovedInRow : kMovedInColumn; }

// The coefficient c whose scaleRound(c, kind) comes closest to target.
int64_t scalePreimage(int64_t target, int kind)
{
    const double factor = kind == 1 ? 1.4142 : 0.7071;
    const int64_t guess = int64_t(double(target) / factor);
    int64_t best = guess;
    int64_t bestError = std::numeric_limits<int64_t>::max();
    for (int64_t c = guess - 2; c <= guess + 2; ++c) {
        const int64_t error = std::llabs(scaleRound(c, kind) - target);
        if (error < bestError || (error == bestError && std::llabs(c) < std::llabs(best))) {
            best = c;
            bestError = error;
        }
    }
    return best;
}

} // namespace

int64_t scaleRound(int64_t v, int kind)
{
    const double product = double(v) * (kind == 1 ? 1.4142 : 0.7071);
    // Half away from zero: + 0.5 when product >= 0, - 0.5 below (-0.0 ends
    // at 0 either way); without a branch on the sign.
    return int64_t(product + std::copysign(0.5, product));
}

// ---- Mask decomposition --------------------------------------------------

int SynthesisPlan::lineIndex(int level, LineMode mode, int i)
{
    int base = 0;
    for (int a = kLevels; a > level; --a)
        base += levelRows(a) + levelCols(a);
    return base + (mode == LineMode::Row ? levelCols(level) : 0) + i;
}

void splitMaskLine(int count, const uint8_t *source, uint8_t *target, LineMode mode,
                   uint8_t *runCount, SynthesisPlan::Run *runs)
{
    if (runCount)
        *runCount = 0;
    static const uint8_t empty[kPlaneRows] = {};
    if (std::memcmp(source, empty, size_t(count)) == 0) {
        std::memset(target, 0, size_t(count)); // most lines lie outside the shape
        return;
    }
    const int half = count / 2;
    for (int i = 0; i < half; ++i) {
        target[i] = source[2 * i];
        target[half + i] = source[2 * i + 1];
    }
    // An isolated sample at an odd position moves to the low band, unless its
    // low slot is taken by a code of the other direction.
    for (int c = 0; c < count;) {
        if (source[c] != kMaskInside) {
            ++c;
            continue;
        }
        int end = c;
        while (end < count && source[end] == kMaskInside)
            ++end;
        if (end - c == 1 && target[c >> 1] == 0) {
            target[c >> 1] = kMaskInside;
            target[(c >> 1) + half] = movedCode(mode);
        }
        if (runCount)
            runs[(*runCount)++] = SynthesisPlan::Run{uint8_t(c), uint8_t(end - c)};
        c = end;
    }
}

namespace {

// Which samples of a line hold 1 and which 0; the bytes up to the next
// multiple of 16 are readable.
template <int count>
void lineMasks(const uint8_t *line, LineBits &ones, LineBits &zeros)
{
    ones = LineBits();
    zeros = LineBits();
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(kMaskInside);
#pragma GCC unroll 8
    for (int i = 0; i < count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + i));
        ones.w[i >> 6] |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, one)))) << (i & 63);
        zeros.w[i >> 6] |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (i & 63);
    }
#else
    for (int i = 0; i < count; ++i) {
        if (line[i] == kMaskInside)
            ones.set(i);
        else if (line[i] == 0)
            zeros.set(i);
    }
#endif
    const LineBits inLine = LineBits::first(count);
    ones = ones & inLine;
    zeros = zeros & inLine;
}

// Even samples of from to the first half of to, odd ones to the second; the
// 16-byte blocks that hold from's count bytes are readable, and to may be from.
template <int count>
void deinterleave(const uint8_t *from, uint8_t *to)
{
    static_assert(kPlaneCols % 16 == 0, "rows are whole 16-byte blocks");
    const int half = count / 2;
#ifdef __SSE2__
    __m128i in[kPlaneCols / 16 + 1];
    const int blocks = (count + 15) / 16;
    for (int k = 0; k < blocks; ++k)
        in[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 16 * k));
    in[blocks] = _mm_setzero_si128();
    uint8_t out[kPlaneCols + 16];
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (int i = 0; i < half; i += 16) {
        const __m128i a = in[i / 8];
        const __m128i b = in[i / 8 + 1];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                         _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes)));
    }
    for (int i = 0; i < half; i += 16) {
        const __m128i a = in[i / 8];
        const __m128i b = in[i / 8 + 1];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + half + i),
                         _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    }
    std::memcpy(to, out, size_t(count));
#else
    uint8_t in[kPlaneCols];
    std::memcpy(in, from, size_t(count));
    for (int i = 0; i < half; ++i) {
        to[i] = in[2 * i];
        to[half + i] = in[2 * i + 1];
    }
#endif
}

// Runs of a line's 1s, for the plan.
void recordRuns(const LineBits &ones, uint8_t &runCount, SynthesisPlan::Run *runs)
{
    const LineBits starts = ones & ~ones.fromPrevious();
    const LineBits lasts = ones & ~ones.fromNext();
    int n = 0;
    forEachBit(starts, [&](int i) { runs[n++].start = uint8_t(i); });
    n = 0;
    forEachBit(lasts, [&](int i) {
        runs[n].length = uint8_t(i + 1 - runs[n].start);
        ++n;
    });
    runCount = uint8_t(n);
}

// Isolated 1s at odd positions whose even neighbour before them is 0: the
// samples that move to the low band.
LineBits movingSamples(const LineBits &ones, const LineBits &previousOnes, const LineBits &nextOnes,
                       const LineBits &previousZeros)
{
    return ones & ~previousOnes & ~nextOnes & previousZeros;
}

constexpr LineBits kOddBits{{0xAAAAAAAAAAAAAAAAull, 0xAAAAAAAAAAAAAAAAull}};

// splitMaskLine over every row of the level, then every column, with the
// lines seen as bit masks: rows and columns are deinterleaved whole, and
// only the moved samples and the runs are visited one by one. The rows are
// read from from, which may be plane.
template <int level>
void splitLevel(const Plane8 &from, Plane8 &plane, SynthesisPlan *plan)
{
    constexpr int rows = levelRows(level);
    constexpr int cols = levelCols(level);
    const int rowLines = plan ? SynthesisPlan::lineIndex(level, LineMode::Row, 0) : 0;
    const int columnLines = plan ? SynthesisPlan::lineIndex(level, LineMode::Column, 0) : 0;

    for (int r = 0; r < rows; ++r) {
        uint8_t *line = plane[r].data();
        LineBits ones, zeros;
        lineMasks<cols>(from[r].data(), ones, zeros);
        if (plan)
            recordRuns(ones, plan->runCount[rowLines + r], plan->runs[rowLines + r]);
        if (!(~zeros & LineBits::first(cols)).any()) {
            if (&from != &plane)
                std::memset(line, 0, size_t(cols));
            continue; // most lines lie outside the shape
        }
        deinterleave<cols>(from[r].data(), line);
        const int half = cols / 2;
        forEachBit(movingSamples(ones, ones.fromPrevious(), ones.fromNext(), zeros.fromPrevious()) & kOddBits,
                   [&](int c) {
                       line[c >> 1] = kMaskInside;
                       line[half + (c >> 1)] = kMovedInRow;
                   });
    }

    // Columns: the rows' masks give every column's runs and moves at once.
    LineBits ones[kPlaneRows + 1], zeros[kPlaneRows];
    for (int r = 0; r < rows; ++r)
        lineMasks<cols>(plane[r].data(), ones[r], zeros[r]);
    ones[rows] = LineBits();
    if (plan) {
        uint8_t *runCount = &plan->runCount[columnLines];
        std::memset(runCount, 0, size_t(cols));
        uint8_t openedAt[kPlaneCols];
        LineBits previous;
        for (int r = 0; r <= rows; ++r) {
            forEachBit(previous & ~ones[r], [&](int c) {
                plan->runs[columnLines + c][runCount[c]++] =
                    SynthesisPlan::Run{openedAt[c], uint8_t(r - openedAt[c])};
            });
            forEachBit(ones[r] & ~previous, [&](int c) { openedAt[c] = uint8_t(r); });
            previous = ones[r];
        }
    }
    uint8_t region[kPlaneRows][kPlaneCols];
    for (int r = 0; r < rows; ++r)
        std::memcpy(region[r], plane[r].data(), size_t(cols));
    const int half = rows / 2;
    for (int i = 0; i < half; ++i) {
        std::memcpy(plane[i].data(), region[2 * i], size_t(cols));
        std::memcpy(plane[half + i].data(), region[2 * i + 1], size_t(cols));
    }
    for (int r = 1; r < rows; r += 2) {
        forEachBit(movingSamples(ones[r], ones[r - 1], ones[r + 1], zeros[r - 1]), [&](int c) {
            plane[r >> 1][c] = kMaskInside;
            plane[half + (r >> 1)][c] = kMovedInColumn;
        });
    }
}

using SplitLevel = void (*)(const Plane8 &, Plane8 &, SynthesisPlan *);
constexpr SplitLevel kSplitLevel[kLevels + 1] = {nullptr, splitLevel<1>, splitLevel<2>, splitLevel<3>, splitLevel<4>};

} // namespace

void decomposeMask(const Plane8 &source, Plane8 &target, int levels, SynthesisPlan *plan)
{
    if (levels < 1) {
        target = source;
        return;
    }
    static_assert(levelRows(1) == kPlaneRows && levelCols(1) == kPlaneCols, "level 1 writes the whole plane");
    splitLevel<1>(source, target, plan);
    for (int a = 2; a <= levels && a <= kLevels; ++a)
        kSplitLevel[a](target, target, plan);
}

// ---- Synthesis -----------------------------------------------------------

int32_t scaleRoundFast(int32_t v, int kind)
{
    // For v != 0, 0.7 < |p| < 2^29: |p| + 0.5 is exact in doubles unless it
    // reaches the next power of two, which is then its floor. So scaleRound
    // is floor(|p| + 0.5) with p's sign, that is (floor(2|p|) + 1) / 2
    // floored, and 2p is exact.
    const int32_t t = int32_t(double(v) * (2.0 * (kind == 1 ? 1.4142 : 0.7071)));
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
    for (int s = 0; s < count;) {
        if (q[s] != kMaskInside) {
            ++s;
            continue;
        }
        int end = s;
        while (end < count && q[end] == kMaskInside)
            ++end;
        const int length = end - s;
        synthesizeRun(length, (s & 1) != 0, values, half + (s >> 1),
                      length == 1 ? s >> 1 : (s + 1) >> 1, o, s);
        s = end;
    }
    std::memcpy(values, o, sizeof(int32_t) * size_t(count));
    std::memcpy(mask, q, size_t(count));
}

// Runs a line transform down every column, through a copy of the column.
static void forEachColumn(Plane8 &mask, Plane32 &values, int rows, int cols,
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

// ---- Planned synthesis ------------------------------------------------------

void buildSynthesisPlan(const Plane8 &D, SynthesisPlan &plan)
{
    Plane8 mask = D;
    uint8_t split[kPlaneRows];
    uint8_t restored[kPlaneRows];
    auto record = [&](int count, int line) {
        uint8_t &n = plan.runCount[line];
        n = 0;
        for (int s = 0; s < count;) {
            if (restored[s] != kMaskInside) {
                ++s;
                continue;
            }
            int end = s;
            while (end < count && restored[end] == kMaskInside)
                ++end;
            plan.runs[line][n++] = SynthesisPlan::Run{uint8_t(s), uint8_t(end - s)};
            s = end;
        }
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
}

namespace {

// synthesizeRun with the mirrored ends folded into the buffers, so that every
// sample takes the interior formula; same arithmetic, same saturation. The
// 64-bit path, for runs whose inputs are too large for 32 bits.
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

// The 32-bit path takes a run whose inputs all lie in [-2^24, 2^24), where
// scaleRoundFast is exact. Then scaled lows stay within 0.7071 * 2^24 + 0.5
// and scaled highs within 1.4142 * 2^24 + 0.5 < 2.4e7; the even step's sum of
// two highs stays under 4.8e7 and the evens under 2.4e7; the odd step's sum
// of two evens under 4.8e7 and the odds under 4.8e7 < 2^26. Nothing wraps,
// nothing saturates, and the shifts floor like floorDiv, so the results are
// the 64-bit path's. Streams of real pictures stay far below the bound.
constexpr int kFastBits = 24;
constexpr int32_t kFastBias = int32_t(1) << kFastBits;

// Whole vectors are read and written past the end of a line or a run; the
// line buffers leave this much room behind the longest line.
constexpr int kLineSlack = 8;
constexpr int kLineLength = kPlaneRows + kLineSlack;
constexpr int kLanes = 4;

#ifdef __SSE2__

using Lanes = __m128i;

Lanes loadLanes(const int32_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
void storeLanes(int32_t *p, Lanes v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
Lanes splatLanes(int32_t v) { return _mm_set1_epi32(v); }
Lanes addLanes(Lanes a, Lanes b) { return _mm_add_epi32(a, b); }
Lanes subLanes(Lanes a, Lanes b) { return _mm_sub_epi32(a, b); }
Lanes orLanes(Lanes a, Lanes b) { return _mm_or_si128(a, b); }
template <int kBits>
Lanes shiftLanes(Lanes v) { return _mm_srai_epi32(v, kBits); }

// scaleRoundFast of four inputs from p on.
template <int kKind>
Lanes scaleLanes(const int32_t *p)
{
    const __m128d twice = _mm_set1_pd(2.0 * (kKind == 1 ? 1.4142 : 0.7071));
    const Lanes lo = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))), twice));
    const Lanes hi = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 2))), twice));
    const Lanes t = _mm_unpacklo_epi64(lo, hi);
    return _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(t, _mm_srai_epi32(t, 31)), _mm_set1_epi32(1)), 1);
}

// a0 b0 a1 b1 a2 b2 a3 b3 from p on.
void storeInterleaved(int32_t *p, Lanes a, Lanes b)
{
    storeLanes(p, _mm_unpacklo_epi32(a, b));
    storeLanes(p + kLanes, _mm_unpackhi_epi32(a, b));
}

// Inputs biased by kFastBias and ORed together: all were in range when no
// bit above kFastBits is set.
bool lanesInRange(Lanes biased)
{
    const Lanes over = _mm_srli_epi32(biased, kFastBits + 1);
    return _mm_movemask_epi8(_mm_cmpeq_epi32(over, _mm_setzero_si128())) == 0xFFFF;
}

// A 4 x 4 block from rows of src to rows of dst, transposed.
void transpose4(const int32_t *src, int srcStride, int32_t *dst, int dstStride)
{
    const Lanes r0 = loadLanes(src);
    const Lanes r1 = loadLanes(src + srcStride);
    const Lanes r2 = loadLanes(src + 2 * srcStride);
    const Lanes r3 = loadLanes(src + 3 * srcStride);
    const Lanes t0 = _mm_unpacklo_epi32(r0, r1);
    const Lanes t1 = _mm_unpacklo_epi32(r2, r3);
    const Lanes t2 = _mm_unpackhi_epi32(r0, r1);
    const Lanes t3 = _mm_unpackhi_epi32(r2, r3);
    storeLanes(dst, _mm_unpacklo_epi64(t0, t1));
    storeLanes(dst + dstStride, _mm_unpackhi_epi64(t0, t1));
    storeLanes(dst + 2 * dstStride, _mm_unpacklo_epi64(t2, t3));
    storeLanes(dst + 3 * dstStride, _mm_unpackhi_epi64(t2, t3));
}

// Four values clamped to 0..255 (the two saturating packs do exactly that).
void clampFour(const int32_t *src, uint8_t *dst)
{
    const Lanes v = loadLanes(src);
    const Lanes words = _mm_packs_epi32(v, v);
    const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
    std::memcpy(dst, &bytes, sizeof bytes);
}

void clampSixteen(const int32_t *src, uint8_t *dst)
{
    const Lanes a = _mm_packs_epi32(loadLanes(src), loadLanes(src + 4));
    const Lanes b = _mm_packs_epi32(loadLanes(src + 8), loadLanes(src + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_packus_epi16(a, b));
}

#else

// The same operations lane by lane, wrapping like the vector instructions.
struct Lanes {
    int32_t v[kLanes];
};

Lanes loadLanes(const int32_t *p)
{
    Lanes r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
}
void storeLanes(int32_t *p, const Lanes &v) { std::memcpy(p, v.v, sizeof v.v); }
Lanes splatLanes(int32_t v) { return Lanes{{v, v, v, v}}; }
template <typename Op>
Lanes eachLane(const Lanes &a, const Lanes &b, Op op)
{
    Lanes r;
    for (int i = 0; i < kLanes; ++i)
        r.v[i] = int32_t(op(uint32_t(a.v[i]), uint32_t(b.v[i])));
    return r;
}
Lanes addLanes(const Lanes &a, const Lanes &b) { return eachLane(a, b, [](uint32_t x, uint32_t y) { return x + y; }); }
Lanes subLanes(const Lanes &a, const Lanes &b) { return eachLane(a, b, [](uint32_t x, uint32_t y) { return x - y; }); }
Lanes orLanes(const Lanes &a, const Lanes &b) { return eachLane(a, b, [](uint32_t x, uint32_t y) { return x | y; }); }
template <int kBits>
Lanes shiftLanes(const Lanes &a)
{
    Lanes r;
    for (int i = 0; i < kLanes; ++i)
        r.v[i] = a.v[i] >> kBits;
    return r;
}
template <int kKind>
Lanes scaleLanes(const int32_t *p)
{
    Lanes r;
    for (int i = 0; i < kLanes; ++i)
        r.v[i] = int32_t(uint32_t(scaleRound(p[i], kKind))); // defined for lanes past the run too
    return r;
}
void storeInterleaved(int32_t *p, const Lanes &a, const Lanes &b)
{
    for (int i = 0; i < kLanes; ++i) {
        p[2 * i] = a.v[i];
        p[2 * i + 1] = b.v[i];
    }
}
bool lanesInRange(const Lanes &biased)
{
    uint32_t all = 0;
    for (int32_t v : biased.v)
        all |= uint32_t(v);
    return (all >> (kFastBits + 1)) == 0;
}
void transpose4(const int32_t *src, int srcStride, int32_t *dst, int dstStride)
{
    for (int i = 0; i < kLanes; ++i) {
        for (int j = 0; j < kLanes; ++j)
            dst[j * dstStride + i] = src[i * srcStride + j];
    }
}
void clampFour(const int32_t *src, uint8_t *dst)
{
    for (int i = 0; i < 4; ++i)
        dst[i] = uint8_t(src[i] < 0 ? 0 : src[i] > 255 ? 255 : src[i]);
}
void clampSixteen(const int32_t *src, uint8_t *dst)
{
    for (int i = 0; i < 16; i += 4)
        clampFour(src + i, dst + i);
}

#endif

// Per-call buffers of the planned synthesis.
struct SynthesisScratch {
    int32_t in[kLanes][kLineLength];  // a group of columns, transposed
    int32_t out[kLanes][kLineLength]; // their synthesised lines, or one row's
    int32_t high[kLineLength];        // a run's scaled highs, then its evens
    int32_t even[kLineLength];
};

// A run of three or more samples in 32 bits: the high coefficients scaled,
// then each even sample from its scaled low and the two highs beside it, then
// each odd sample from its high and the two evens beside it, written
// interleaved from out[start] on. high[k + 1] and even[k + 1] hold the k-th
// odd and even sample of the run; slot 0 and the one after the last mirror the
// ends. Whole vectors read up to 3 inputs past the run and write up to 7
// samples past it. Returns false, having written nothing to out, when an
// input lies outside [-2^24, 2^24).
bool liftLongRun(int start, int length, const int32_t *in, int half, int32_t *out, SynthesisScratch &s)
{
    const int oddStart = start & 1;
    const int evenCount = oddStart ? length / 2 : (length + 1) / 2;
    const int oddCount = length - evenCount;
    const int32_t *lowIn = in + ((start + 1) >> 1);
    const int32_t *highIn = in + half + (start >> 1);
    int32_t *high = s.high;
    int32_t *even = s.even;
    const Lanes bias = splatLanes(kFastBias);
    Lanes range = splatLanes(0);

    for (int k = 0; k < oddCount; k += kLanes) {
        range = orLanes(range, addLanes(loadLanes(highIn + k), bias));
        storeLanes(high + 1 + k, scaleLanes<1>(highIn + k));
    }
    high[0] = high[1];
    high[oddCount + 1] = high[oddCount];

    // Even sample k lies between odd samples k - 1 and k when the run starts
    // even, between k and k + 1 when it starts odd.
    const int32_t *left = high + oddStart;
    const Lanes two = splatLanes(2);
    for (int k = 0; k < evenCount; k += kLanes) {
        range = orLanes(range, addLanes(loadLanes(lowIn + k), bias));
        const Lanes sum = addLanes(addLanes(loadLanes(left + k), loadLanes(left + k + 1)), two);
        storeLanes(even + 1 + k, subLanes(scaleLanes<2>(lowIn + k), shiftLanes<2>(sum)));
    }
    if (!lanesInRange(range))
        return false;
    even[0] = even[1];
    even[evenCount + 1] = even[evenCount];

    // Pairs of samples from out[start]: (even k, odd k) when the run starts
    // even, (odd k, even k) when it starts odd; a last odd or even past the
    // run's end lands in the slack.
    const int pairs = (length + 1) / 2;
    int32_t *to = out + start;
    if (oddStart) {
        for (int k = 0; k < pairs; k += kLanes, to += 2 * kLanes) {
            const Lanes e = loadLanes(even + 1 + k);
            const Lanes o = addLanes(loadLanes(high + 1 + k), shiftLanes<1>(addLanes(loadLanes(even + k), e)));
            storeInterleaved(to, o, e);
        }
    } else {
        for (int k = 0; k < pairs; k += kLanes, to += 2 * kLanes) {
            const Lanes e = loadLanes(even + 1 + k);
            const Lanes o = addLanes(loadLanes(high + 1 + k), shiftLanes<1>(addLanes(e, loadLanes(even + 2 + k))));
            storeInterleaved(to, e, o);
        }
    }
    return true;
}

// Every run of a line, from in (low half, then high half) to the same
// positions in out; between the runs, out holds whatever whole vectors left.
void liftLine(const SynthesisPlan &plan, int line, const int32_t *in, int half, int32_t *out, SynthesisScratch &s)
{
    const SynthesisPlan::Run *runs = plan.runs[line];
    for (int i = 0; i < plan.runCount[line]; ++i) {
        const int start = runs[i].start;
        const int length = runs[i].length;
        if (length < 3 || !liftLongRun(start, length, in, half, out, s))
            liftRun(length, start, in, half, out);
    }
}

// out[from, to) = in[from, to), by whole vectors where it is long enough (the
// last one overlapping the one before).
void copySpan(const int32_t *in, int32_t *out, int from, int to)
{
    if (to - from < kLanes) {
        for (int i = from; i < to; ++i)
            out[i] = in[i];
        return;
    }
    for (int i = from; i < to - kLanes; i += kLanes)
        storeLanes(out + i, loadLanes(in + i));
    storeLanes(out + to - kLanes, loadLanes(in + to - kLanes));
}

// The same, clamping into bytes.
void clampSpan(const int32_t *in, uint8_t *out, int from, int to)
{
    if (to - from >= 16) {
        for (int i = from; i < to - 16; i += 16)
            clampSixteen(in + i, out + i);
        clampSixteen(in + to - 16, out + to - 16);
    } else if (to - from >= 4) {
        for (int i = from; i < to - 4; i += 4)
            clampFour(in + i, out + i);
        clampFour(in + to - 4, out + to - 4);
    } else {
        for (int i = from; i < to; ++i)
            out[i] = uint8_t(in[i] < 0 ? 0 : in[i] > 255 ? 255 : in[i]);
    }
}

int runsEnd(const SynthesisPlan &plan, int line)
{
    const SynthesisPlan::Run last = plan.runs[line][plan.runCount[line] - 1];
    return last.start + last.length;
}

// The column lines of a level, four neighbouring columns at a time: the rows
// their inputs span are transposed into line buffers, lifted there, and the
// rows their runs span transposed back. Between the runs the plane receives
// whatever the buffers held; nothing reads there before it is written again.
void synthesizeColumns(const SynthesisPlan &plan, int level, int32_t *values, SynthesisScratch &s)
{
    const int rows = levelRows(level);
    const int cols = levelCols(level);
    const int half = rows / 2;
    const int base = SynthesisPlan::lineIndex(level, LineMode::Column, 0);
    for (int first = 0; first < cols; first += kLanes) {
        const int width = std::min(kLanes, cols - first);
        int inFrom = rows, inTo = 0, outFrom = rows, outTo = 0;
        for (int j = 0; j < width; ++j) {
            const int line = base + first + j;
            if (plan.runCount[line] == 0)
                continue;
            const int start = plan.runs[line][0].start;
            const int end = runsEnd(plan, line);
            // Lows from start / 2 on, highs up to half + (end - 1) / 2.
            inFrom = std::min(inFrom, start >> 1);
            inTo = std::max(inTo, half + ((end + 1) >> 1));
            outFrom = std::min(outFrom, start);
            outTo = std::max(outTo, end);
        }
        if (outTo == 0)
            continue;
        // Row counts are multiples of 4.
        const int roundDown = ~(kLanes - 1);
        for (int r = inFrom & roundDown; r < inTo; r += kLanes)
            transpose4(values + r * kPlaneCols + first, kPlaneCols, &s.in[0][r], kLineLength);
        for (int j = 0; j < width; ++j)
            liftLine(plan, base + first + j, s.in[j], half, s.out[j], s);
        if (width == kLanes) {
            for (int r = outFrom & roundDown; r < outTo; r += kLanes)
                transpose4(&s.out[0][r], kLineLength, values + r * kPlaneCols + first, kPlaneCols);
        } else {
            // Columns past the level's last belong to the band beside it.
            for (int r = outFrom; r < outTo; ++r) {
                for (int j = 0; j < width; ++j)
                    values[r * kPlaneCols + first + j] = s.out[j][r];
            }
        }
    }
}

// The row lines of a level, each lifted into a line buffer; the last level's
// rows go to store(row, lifted line or nullptr when it has no runs), the
// others back into the plane over the span of their runs.
template <typename Store>
void synthesizeRows(const SynthesisPlan &plan, int level, int32_t *values, SynthesisScratch &s, Store *store)
{
    const int rows = levelRows(level);
    const int half = levelCols(level) / 2;
    const int base = SynthesisPlan::lineIndex(level, LineMode::Row, 0);
    for (int r = 0; r < rows; ++r) {
        const int line = base + r;
        if (plan.runCount[line] == 0) {
            if (store)
                (*store)(r, nullptr);
            continue;
        }
        int32_t *row = values + r * kPlaneCols;
        const int32_t *in = row;
        if (r == kPlaneRows - 1) {
            // Whole vectors would read past the plane.
            std::memcpy(s.in[0], row, sizeof(int32_t) * kPlaneCols);
            in = s.in[0];
        }
        liftLine(plan, line, in, half, s.out[0], s);
        if (store)
            (*store)(r, s.out[0]);
        else
            copySpan(s.out[0], row, plan.runs[line][0].start, runsEnd(plan, line));
    }
}

template <typename Store>
void synthesizeAll(const SynthesisPlan &plan, Plane32 &plane, Store &store)
{
    SynthesisScratch s{};
    int32_t *values = plane[0].data();
    for (int a = kLevels; a >= 1; --a) {
        synthesizeColumns(plan, a, values, s);
        synthesizeRows(plan, a, values, s, a == 1 ? &store : static_cast<Store *>(nullptr));
    }
}

} // namespace

void synthesizePlanned(const SynthesisPlan &plan, Plane32 &values)
{
    const int base = SynthesisPlan::lineIndex(1, LineMode::Row, 0);
    auto store = [&](int r, const int32_t *lifted) {
        int32_t *row = values[r].data();
        std::memset(row, 0, sizeof(int32_t) * kPlaneCols);
        if (!lifted)
            return;
        for (int i = 0; i < plan.runCount[base + r]; ++i) {
            const SynthesisPlan::Run run = plan.runs[base + r][i];
            copySpan(lifted, row, run.start, run.start + run.length);
        }
    };
    synthesizeAll(plan, values, store);
}

void synthesizeIntoChannel(const SynthesisPlan &plan, Plane32 &values, Plane8 &channel)
{
    const int base = SynthesisPlan::lineIndex(1, LineMode::Row, 0);
    // Only the picture is kept; the rest of the plane stays 0.
    auto store = [&](int r, const int32_t *lifted) {
        uint8_t *row = channel[r].data();
        std::memset(row, 0, kPlaneCols);
        if (!lifted || r >= kPictureRows)
            return;
        for (int i = 0; i < plan.runCount[base + r]; ++i) {
            const SynthesisPlan::Run run = plan.runs[base + r][i];
            clampSpan(lifted, row, run.start, std::min(run.start + run.length, kPictureCols));
        }
    };
    synthesizeAll(plan, values, store);
}

// ---- Analysis (encoder) ----------------------------------------------------

void analyzeLine(LineMode mode, int count, int32_t *values, uint8_t *mask)
{
    const int half = count / 2;
    uint8_t split[kPlaneRows];
    int32_t out[kPlaneRows] = {};
    int64_t x[kPlaneRows];
    int64_t h[kPlaneRows];
    splitMaskLine(count, mask, split, mode);
    for (int s = 0; s < count;) {
        if (mask[s] != kMaskInside) {
            ++s;
            continue;
        }
        int end = s;
        while (end < count && mask[end] == kMaskInside)
            ++end;
        const int length = end - s;
        const int last = end - 1;
        if (length == 1) {
            // Odd samples that could not move stay in the high slot, but the
            // synthesis reads them from the low slot, which holds no
            // coefficient: nothing worth coding there.
            const bool inLowSlot = (s & 1) == 0 || split[half + (s >> 1)] == movedCode(mode);
            if (inLowSlot)
                out[s >> 1] = saturate(scalePreimage(values[s], 2));
            s = end;
            continue;
        }
        for (int q = s; q <= last; ++q)
            x[q] = values[q];
        // Forward lifting: predict the odd samples, then update the even ones.
        for (int q = s + ((s & 1) ? 0 : 1); q <= last; q += 2) {
            const bool hasLeft = q > s;
            const bool hasRight = q < last;
            if (hasLeft && hasRight)
                h[q] = x[q] - floorDiv(x[q - 1] + x[q + 1], 2);
            else
                h[q] = x[q] - (hasLeft ? x[q - 1] : x[q + 1]);
        }
        for (int q = s + ((s & 1) ? 1 : 0); q <= last; q += 2) {
            const bool hasLeft = q > s;
            const bool hasRight = q < last;
            int64_t l;
            if (hasLeft && hasRight)
                l = x[q] + floorDiv(h[q - 1] + h[q + 1] + 2, 4);
            else
                l = x[q] + floorDiv((hasLeft ? h[q - 1] : h[q + 1]) + 1, 2);
            out[q >> 1] = saturate(length >= 3 ? scalePreimage(l, 2) : l);
        }
        for (int q = s + ((s & 1) ? 0 : 1); q <= last; q += 2)
            out[half + (q >> 1)] = saturate(length >= 3 ? scalePreimage(h[q], 1) : h[q]);
        s = end;
    }
    std::memcpy(values, out, sizeof(int32_t) * size_t(count));
    std::memcpy(mask, split, size_t(count));
}

void analyzeLevel(Plane8 &mask, Plane32 &values, int level)
{
    const int rows = levelRows(level);
    const int cols = levelCols(level);
    for (int r = 0; r < rows; ++r)
        analyzeLine(LineMode::Row, cols, values[r].data(), mask[r].data());
    forEachColumn(mask, values, rows, cols, analyzeLine);
}

void analyze(Plane8 &mask, Plane32 &values)
{
    for (int a = 1; a <= kLevels; ++a)
        analyzeLevel(mask, values, a);
}

} // namespace wlt
