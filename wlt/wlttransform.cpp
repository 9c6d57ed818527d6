// Shape-adaptive 5/3 wavelet: mask splitting, synthesis, and the encoder's analysis.
#include "wlttransform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltbits.h"
#include "wltvectors.h"

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

// Flags of a sample for the synthesis's fixed passes (SynthesisPlan).
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

#define WLT_INLINE inline __attribute__((always_inline))
#define WLT_INLINE_LAMBDA __attribute__((always_inline))

typedef uint8_t Bytes16 __attribute__((vector_size(16)));

WLT_INLINE Bytes16 loadBytes(const uint8_t *p)
{
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
WLT_INLINE void storeBytes(uint8_t *p, Bytes16 v) { std::memcpy(p, &v, sizeof v); }
// 0xFF at the 1s among count bytes of line from 16 * chunk on, 0 elsewhere
// and past count.
WLT_INLINE Bytes16 onesOf(const uint8_t *line, int chunk, int count)
{
    static const uint8_t kValid[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const int valid = std::min(std::max(count - 16 * chunk, 0), 16);
    return Bytes16(loadBytes(line + 16 * chunk) == kMaskInside) & loadBytes(kValid + 16 - valid);
}

// The flags of 16 samples from whether they, and the two samples on either
// side, lie in runs (0xFF or 0); odd is 0xFF at odd samples. The same flags
// as lineFlags gives from the runs, without visiting them.
WLT_INLINE Bytes16 runFlags(Bytes16 before2, Bytes16 before, Bytes16 in, Bytes16 after, Bytes16 after2, Bytes16 odd)
{
    const Bytes16 first = in & ~before;
    const Bytes16 last = in & ~after;
    const Bytes16 lone = first & last;
    const Bytes16 pair = in & ((~before & after & ~after2) | (~after & before & ~before2));
    const Bytes16 beforeLoneOdd = after & ~in & ~after2 & ~odd;
    const Bytes16 checked = (in & ~(lone & odd)) | beforeLoneOdd;
    return (checked & kChecked) | ((lone | beforeLoneOdd) & kAlone) | (first & kLeftMissing)
           | (last & kRightMissing) | (pair & kRaw);
}

// The 16 bytes from n bytes before b's end on, through a and b in a row.
template <int n>
WLT_INLINE Bytes16 shiftedIn(Bytes16 a, Bytes16 b)
{
#ifdef __SSE2__
    return Bytes16(_mm_or_si128(_mm_srli_si128(__m128i(a), 16 - n), _mm_slli_si128(__m128i(b), n)));
#else
    uint8_t both[32];
    std::memcpy(both, &a, 16);
    std::memcpy(both + 16, &b, 16);
    return loadBytes(both + 16 - n);
#endif
}

// The even bytes of a then b, and the odd ones.
WLT_INLINE void splitPairs(Bytes16 a, Bytes16 b, Bytes16 &evens, Bytes16 &odds)
{
#ifdef __SSE2__
    const __m128i low = _mm_set1_epi16(0x00FF);
    evens = Bytes16(_mm_packus_epi16(_mm_and_si128(__m128i(a), low), _mm_and_si128(__m128i(b), low)));
    odds = Bytes16(_mm_packus_epi16(_mm_srli_epi16(__m128i(a), 8), _mm_srli_epi16(__m128i(b), 8)));
#else
    for (int i = 0; i < 8; ++i) {
        evens[i] = a[2 * i];
        evens[8 + i] = b[2 * i];
        odds[i] = a[2 * i + 1];
        odds[8 + i] = b[2 * i + 1];
    }
#endif
}

// The first 16 bytes of v to p, or 8 where only 8 are left before end
// (rows of flags are whole multiples of 8).
WLT_INLINE void storeFlags(uint8_t *p, Bytes16 v, const uint8_t *end)
{
    if (end - p >= 16)
        storeBytes(p, v);
    else if (end - p >= 8)
        std::memcpy(p, &v, 8);
}

// 1 when flags (ORed together) show a run of one or two samples.
WLT_INLINE uint8_t hasShortRuns(Bytes16 flags)
{
    uint64_t w[2];
    std::memcpy(w, &flags, sizeof w);
    return ((w[0] | w[1]) & (0x0101010101010101ull * (kRaw | kAlone))) != 0;
}

// Row r's flags of a level, and at level 1 its inside, from the row before
// its split. Neighbours come from whole chunks shifted in registers.
template <int level>
void rowFlagsOf(const uint8_t *line, int r, SynthesisPlan &plan)
{
    constexpr int cols = levelCols(level);
    constexpr int flagHalf = rowFlagHalf(level);
    constexpr int chunks = (cols + 15) / 16;
    const Bytes16 odd = Bytes16{0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF};
    Bytes16 in[chunks + 3] = {}; // in[1 + i]: chunk i's samples lying in runs
    for (int i = 0; i < chunks; ++i)
        in[1 + i] = onesOf(line, i, cols);
    // Pairs of chunks of flags, split into their even and odd samples.
    uint8_t *even = plan.rowFlags + rowFlagOffset(level) + r * 2 * flagHalf;
    Bytes16 pair[2], any{};
    for (int i = 0; i <= chunks; ++i) {
        const Bytes16 b = in[i], c = in[i + 1], d = in[i + 2];
        const Bytes16 before2 = shiftedIn<2>(b, c), before = shiftedIn<1>(b, c);
        const Bytes16 after = shiftedIn<15>(c, d), after2 = shiftedIn<14>(c, d);
        pair[i & 1] = runFlags(before2, before, c, after, after2, odd);
        any |= pair[i & 1];
        if ((i & 1) == 0)
            continue;
        Bytes16 evens, odds;
        splitPairs(pair[0], pair[1], evens, odds);
        // Samples past the line have no flags, so the rows' padding is 0.
        const int k = 16 * (i >> 1);
        storeFlags(even + k, evens, even + flagHalf);
        storeFlags(even + flagHalf + k, odds, even + 2 * flagHalf);
    }
    plan.shortRuns[SynthesisPlan::lineIndex(level, LineMode::Row, r)] = hasShortRuns(any);
    if (level == 1) {
        static_assert(level > 1 || 16 * chunks == kPlaneCols, "level 1 rows are whole chunks");
        for (int i = 0; i < chunks; ++i)
            storeBytes(plan.inside[r] + 16 * i, r < kPictureRows ? onesOf(line, i, kPictureCols) : Bytes16{});
    }
}

typedef int8_t Signed16 __attribute__((vector_size(16)));

// 0xFF at the indices from 16 * chunk on that lie in [first, last].
WLT_INLINE Bytes16 spanOf(int chunk, int first, int last)
{
    const Signed16 index = Signed16{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15} + int8_t(16 * chunk);
    return Bytes16((index >= int8_t(first)) & (index <= int8_t(last)));
}

// The same for a row whose one run [start, end) has three samples or more,
// the common case: ranges of flags and its two ends, without the neighbours.
template <int level>
void rowFlagsOf(int start, int end, int r, SynthesisPlan &plan)
{
    constexpr int flagHalf = rowFlagHalf(level);
    uint8_t *even = plan.rowFlags + rowFlagOffset(level) + r * 2 * flagHalf;
    uint8_t *odd = even + flagHalf;
    for (int k = 0; k < flagHalf; k += 16) {
        storeFlags(even + k, spanOf(k / 16, (start + 1) >> 1, (end - 1) >> 1) & kChecked, even + flagHalf);
        storeFlags(odd + k, spanOf(k / 16, start >> 1, (end - 2) >> 1) & kChecked, odd + flagHalf);
    }
    even[(start & 1) * flagHalf + (start >> 1)] |= kLeftMissing;
    even[((end - 1) & 1) * flagHalf + ((end - 1) >> 1)] |= kRightMissing;
    plan.shortRuns[SynthesisPlan::lineIndex(level, LineMode::Row, r)] = 0;
    if (level == 1) {
        for (int i = 0; i < kPlaneCols / 16; ++i) {
            const Bytes16 inside = spanOf(i, start, std::min(end, kPictureCols) - 1);
            storeBytes(plan.inside[r] + 16 * i, r < kPictureRows ? inside : Bytes16{});
        }
    }
}

// A level's column flags from its rows after their split.
template <int level>
void columnFlagsOf(const Plane8 &plane, SynthesisPlan &plan)
{
    constexpr int rows = levelRows(level);
    constexpr int cols = levelCols(level);
    constexpr int stride = columnFlagStride(level);
    constexpr int chunks = (cols + 15) / 16;
    uint8_t in[kPlaneRows + 4][16 * chunks]; // in[2 + q]: row q's samples lying in runs
    std::memset(in, 0, sizeof in[0] * 2);
    std::memset(in[rows + 2], 0, sizeof in[0] * 2);
    for (int q = 0; q < rows; ++q) {
        for (int i = 0; i < chunks; ++i)
            storeBytes(in[2 + q] + 16 * i, onesOf(plane[q].data(), i, cols));
    }
    uint8_t *flags = plan.columnFlags + columnFlagOffset(level);
    Bytes16 any[chunks] = {};
    for (int q = 0; q < rows; ++q) {
        Bytes16 odd;
        std::memset(&odd, (q & 1) ? 0xFF : 0, sizeof odd);
        uint8_t *to = flags + ((q & 1) ? oddColumnFlags(level) + q / 2 : q / 2) * stride;
        for (int i = 0; i < chunks; ++i) {
            const int c = 16 * i;
            const Bytes16 f = runFlags(loadBytes(in[q] + c), loadBytes(in[q + 1] + c), loadBytes(in[q + 2] + c),
                                       loadBytes(in[q + 3] + c), loadBytes(in[q + 4] + c), odd);
            any[i] |= f;
            storeFlags(to + c, f, to + stride);
        }
    }
    std::memset(flags + rows / 2 * stride, 0, stride);
    std::memset(flags + (rows + 1) * stride, 0, stride);
    uint8_t columnAny[16 * chunks];
    std::memcpy(columnAny, any, sizeof columnAny);
    uint8_t *shortRuns = plan.shortRuns + SynthesisPlan::lineIndex(level, LineMode::Column, 0);
    for (int c = 0; c < cols; ++c)
        shortRuns[c] = (columnAny[c] & (kRaw | kAlone)) != 0;
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
        if (plan) {
            recordRuns(ones, plan->runCount[rowLines + r], plan->runs[rowLines + r]);
            const SynthesisPlan::Run *run = plan->runs[rowLines + r];
            if (plan->runCount[rowLines + r] == 1 && run->length >= 3)
                rowFlagsOf<level>(run->start, run->start + run->length, r, *plan);
            else
                rowFlagsOf<level>(from[r].data(), r, *plan);
        }
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
        columnFlagsOf<level>(plane, *plan);
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

// Every level's split, the finest first.
void splitLevels(const Plane8 &source, Plane8 &target, int levels, SynthesisPlan *plan)
{
    static_assert(levelRows(1) == kPlaneRows && levelCols(1) == kPlaneCols, "level 1 writes the whole plane");
    static_assert(kLevels == 4, "one call per level");
    splitLevel<1>(source, target, plan);
    if (levels >= 2)
        splitLevel<2>(target, target, plan);
    if (levels >= 3)
        splitLevel<3>(target, target, plan);
    if (levels >= 4)
        splitLevel<4>(target, target, plan);
}

#ifdef WLT_WIDE_VECTORS
// The same with every step inlined and compiled for AVX2, whose
// three-operand forms spare the register copies of the 16-byte steps
// (about a sixth of the time).
__attribute__((target("avx2"), flatten)) void splitLevelsWide(const Plane8 &source, Plane8 &target, int levels,
                                                             SynthesisPlan *plan)
{
    splitLevels(source, target, levels, plan);
}
#endif

} // namespace

void decomposeMask(const Plane8 &source, Plane8 &target, int levels, SynthesisPlan *plan)
{
    if (levels < 1) {
        target = source;
        return;
    }
#ifdef WLT_WIDE_VECTORS
    if (wideVectors()) {
        splitLevelsWide(source, target, levels, plan);
        return;
    }
#endif
    splitLevels(source, target, levels, plan);
}

// ---- Synthesis -----------------------------------------------------------

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
    plan.prepareLifting();
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

// The fast path lifts in 32 bits when every input it reads lies in
// [-2^13, 2^13), where scaleRoundFast is exact. Then scaled values stay
// within 1.4142 * 2^13 + 0.5 and every sum of the steps far inside 32 bits:
// nothing wraps, nothing saturates, and the shifts floor like floorDiv, so
// the results are liftRun's. Real pictures stay below the bound (their
// lowest band under 16 x 255); a line or column group that crosses it goes
// through liftRun instead.
constexpr int kFastBits = 13;
constexpr int32_t kFastBias = int32_t(1) << kFastBits;

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

int lineStart(const SynthesisPlan &plan, int line) { return plan.runs[line][0].start; }
int lineEnd(const SynthesisPlan &plan, int line)
{
    const SynthesisPlan::Run last = plan.runs[line][plan.runCount[line] - 1];
    return last.start + last.length;
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

namespace {

// Lanes in GCC's generic vectors, with the arithmetic of the lifting: the
// baseline build runs four lanes in SSE2 registers, the AVX2 build eight.
// Lanes wrap like the instructions; nothing in range ever does. The helpers
// are always inlined, so the calling convention GCC warns about (at the end
// of the file, hence no pop) never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr int bitIndex(uint8_t bit) { return bit == 1 ? 0 : 1 + bitIndex(uint8_t(bit >> 1)); }

template <int kCount>
struct LaneTypes {
    static constexpr int kLanes = kCount;
    typedef int32_t V __attribute__((vector_size(4 * kCount)));
    typedef uint32_t U __attribute__((vector_size(4 * kCount)));
    typedef float F __attribute__((vector_size(4 * kCount)));
};

struct FourLanes : LaneTypes<4> {
    // Each lane holds the four flag bytes and tests its own.
    static WLT_INLINE V flags(const uint8_t *p)
    {
        int32_t w;
        std::memcpy(&w, p, sizeof w);
        return V{} + w;
    }
    // All ones in the lanes whose flags hold bit.
    template <uint8_t kBit>
    static WLT_INLINE V has(const V &flags)
    {
        constexpr int32_t b0 = kBit, b1 = b0 << 8, b2 = b0 << 16, b3 = int32_t(uint32_t(b0) << 24);
        return (flags & V{b0, b1, b2, b3}) != 0;
    }
    // a where has() set the lane, b elsewhere.
    static WLT_INLINE V pick(const V &has, const V &a, const V &b) { return (a & has) | (b & ~has); }
    // a's last lane then b's first three; a's last three then b's first.
    static WLT_INLINE V lastThen(const V &a, const V &b) { return __builtin_shufflevector(a, b, 3, 4, 5, 6); }
    static WLT_INLINE V thenFirst(const V &a, const V &b) { return __builtin_shufflevector(a, b, 1, 2, 3, 4); }
    // a0 b0 a1 b1, then a2 b2 a3 b3.
    static WLT_INLINE V zipLow(const V &a, const V &b) { return __builtin_shufflevector(a, b, 0, 4, 1, 5); }
    static WLT_INLINE V zipHigh(const V &a, const V &b) { return __builtin_shufflevector(a, b, 2, 6, 3, 7); }
    // The lanes ORed together.
    static WLT_INLINE int32_t any(V v)
    {
        v |= __builtin_shufflevector(v, v, 2, 3, 0, 1);
        v |= __builtin_shufflevector(v, v, 1, 0, 3, 2);
        return v[0];
    }
};

struct EightLanes : LaneTypes<8> {
    typedef int64_t Q __attribute__((vector_size(32)));
    // Lanes 0-3 hold the first four flag bytes, lanes 4-7 the next four.
    static WLT_INLINE V flags(const uint8_t *p)
    {
        int64_t w;
        std::memcpy(&w, p, sizeof w);
        return __builtin_shufflevector(V(Q{} + w), V(Q{} + w), 0, 0, 0, 0, 1, 1, 1, 1);
    }
    // The sign bit set in the lanes whose flags hold bit: a shift per lane
    // and a blend on the sign alone (AVX2), cheaper than whole masks.
    template <uint8_t kBit>
    static WLT_INLINE V has(const V &flags)
    {
        constexpr int32_t s = 31 - bitIndex(kBit);
        return flags << V{s, s - 8, s - 16, s - 24, s, s - 8, s - 16, s - 24};
    }
    static WLT_INLINE V pick(const V &has, const V &a, const V &b) { return has < 0 ? a : b; }
    static WLT_INLINE V lastThen(const V &a, const V &b)
    {
        return __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 12, 13, 14);
    }
    static WLT_INLINE V thenFirst(const V &a, const V &b) { return __builtin_shufflevector(a, b, 1, 2, 3, 4, 5, 6, 7, 8); }
    static WLT_INLINE V zipLow(const V &a, const V &b) { return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11); }
    static WLT_INLINE V zipHigh(const V &a, const V &b)
    {
        return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
    }
    static WLT_INLINE int32_t any(const V &v)
    {
        return FourLanes::any(__builtin_shufflevector(v, v, 0, 1, 2, 3) | __builtin_shufflevector(v, v, 4, 5, 6, 7));
    }
};

template <typename L>
struct Lift : L {
    using V = typename L::V;
    using U = typename L::U;
    using Float = typename L::F;
    using L::kLanes;

    static WLT_INLINE V load(const int32_t *p)
    {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static WLT_INLINE void store(int32_t *p, const V &v) { std::memcpy(p, &v, sizeof v); }
    // a and b interleaved from p on.
    static WLT_INLINE void interleave(const V &a, const V &b, int32_t *p)
    {
        store(p, L::zipLow(a, b));
        store(p + kLanes, L::zipHigh(a, b));
    }
    static WLT_INLINE V splat(int32_t v) { return V{} + v; }
    static WLT_INLINE V add(const V &a, const V &b) { return V(U(a) + U(b)); }
    static WLT_INLINE V sub(const V &a, const V &b) { return V(U(a) - U(b)); }
    // a where flags hold bit, b elsewhere.
    template <uint8_t kBit>
    static WLT_INLINE V pick(const V &flags, const V &a, const V &b)
    {
        return L::pick(L::template has<kBit>(flags), a, b);
    }
    // scaleRoundFast lane by lane, in the same float arithmetic. Lanes
    // outside the runs may hold anything; their conversions compile to the
    // instructions' defined out-of-range result and are never read.
    template <int kKind>
    static WLT_INLINE V scale(const V &v)
    {
        const Float twice = __builtin_convertvector(v, Float) * float(2.0 * (kKind == 1 ? 1.4142 : 0.7071));
        const V t = __builtin_convertvector(twice, V);
        return add(add(t, t >> 31), splat(1)) >> 1;
    }
    // The inputs of the lanes that check, biased so that an input in range
    // sets no bit from kFastBits + 1 up.
    static WLT_INLINE V checkBits(const V &v, const V &flags)
    {
        return pick<kChecked>(flags, add(v, splat(kFastBias)), V{});
    }
    static WLT_INLINE bool inRange(const V &checked)
    {
        return L::any(V(U(checked) >> (kFastBits + 1))) == 0;
    }

    // The steps of the k-th even and odd samples.
    // A high, scaled unless its run has two samples.
    // Without short runs (kShort false) no lane is raw or alone.
    template <bool kShort>
    static WLT_INLINE V high(const V &x, const V &flags)
    {
        return kShort ? pick<kRaw>(flags, x, scale<1>(x)) : scale<1>(x);
    }
    // An even sample from its low and the highs before and after it.
    template <bool kShort>
    static WLT_INLINE V even(const V &x, const V &flags, const V &before, const V &after)
    {
        const V low = kShort ? pick<kRaw>(flags, x, scale<2>(x)) : scale<2>(x);
        const V right = pick<kRightMissing>(flags, before, after);
        const V left = pick<kLeftMissing>(flags, right, before);
        const V update = add(add(left, right), splat(2)) >> 2;
        return sub(low, kShort ? pick<kAlone>(flags, V{}, update) : update);
    }
    // An odd sample from its high and the evens before and after it; a lone
    // one is the even before it (its low slot, scaled).
    template <bool kShort>
    static WLT_INLINE V odd(const V &high, const V &flags, const V &before, const V &after)
    {
        const V right = pick<kRightMissing>(flags, before, after);
        const V left = pick<kLeftMissing>(flags, right, before);
        return add(kShort ? pick<kAlone>(flags, V{}, high) : high, add(left, right) >> 1);
    }
    // The same steps where every high is 0 (a band the walk left empty
    // there): the update vanishes, evens are the scaled lows and odds the
    // mean of their neighbours.
    template <bool kShort>
    static WLT_INLINE V evenOfLow(const V &x, const V &flags)
    {
        return kShort ? pick<kRaw>(flags, x, scale<2>(x)) : scale<2>(x);
    }
    static WLT_INLINE V oddBetween(const V &flags, const V &before, const V &after)
    {
        const V right = pick<kRightMissing>(flags, before, after);
        const V left = pick<kLeftMissing>(flags, right, before);
        return add(left, right) >> 1;
    }
    // The inputs of the lanes that read them, 0 elsewhere.
    static WLT_INLINE V read(const V &v, const V &flags) { return pick<kChecked>(flags, v, V{}); }
    static WLT_INLINE bool isZero(const V &v) { return L::any(v) == 0; }
};

// Per-call buffers.
struct SynthesisScratch {
    static constexpr int kLine = kPlaneCols + 32;
    int32_t line[kPlaneRows];  // a column or a row, for liftRun
    int32_t high[kLine];       // a row's lifted highs from index 1 on
    int32_t even[kLine];       // its evens
    int32_t out[kLine];        // its samples in order
    int32_t columnOut[kPlaneRows];
};

// 64-bit lifting of the runs of one column of a group that failed the range
// check, from the plane into the columns' output.
void liftColumnSlowly(const SynthesisPlan &plan, int line, int rows, const int32_t *values, int c, int32_t *out,
                      SynthesisScratch &s)
{
    for (int r = 0; r < rows; ++r)
        s.line[r] = values[r * kPlaneCols + c];
    for (int i = 0; i < plan.runCount[line]; ++i) {
        const SynthesisPlan::Run run = plan.runs[line][i];
        liftRun(run.length, run.start, s.line, rows / 2, s.columnOut);
        for (int q = run.start; q < run.start + run.length; ++q)
            out[q * kPlaneCols + c] = s.columnOut[q];
    }
}

// 64-bit lifting of a row that failed the range check, from its lows and
// highs in in to out.
void liftRowSlowly(const SynthesisPlan &plan, int line, const int32_t *in, int half, int32_t *out)
{
    for (int i = 0; i < plan.runCount[line]; ++i)
        liftRun(plan.runs[line][i].length, plan.runs[line][i].start, in, half, out);
}

// A vector of neighbouring columns of a level from c0 on, from values to
// out (the same geometry), marching down the sample pairs [from, to): lows
// from row k, highs from row half + k, evens to row 2k, odds to 2k + 1.
// Outside the runs out receives garbage, also in the columns past the
// level's last (out is scratch there); nothing reads it.
template <typename L, bool kShort, bool kZeroHighs>
WLT_INLINE void liftColumnGroup(const SynthesisPlan &plan, int level, const int32_t *values, int32_t *out,
                                SynthesisScratch &s, int c0, int from, int to)
{
    using F = Lift<L>;
    using V = typename F::V;
    const int rows = levelRows(level);
    const int half = rows / 2;
    const int stride = columnFlagStride(level);
    const int32_t *low = values + c0;
    const int32_t *highs = values + half * kPlaneCols + c0;
    const uint8_t *f = plan.columnFlags + columnFlagOffset(level) + c0;
    const uint8_t *odd = f + oddColumnFlags(level) * stride;
    V checked{};
    // The k-th high and even sample; k reaches half, past the last high:
    // its flags are the rows of zeros and it reads the last high again.
    // Inlined even without optimisation: they take and return vectors,
    // which a call from the AVX2 code would pass differently.
    auto high = [&](int k) WLT_INLINE_LAMBDA {
        const V x = F::load(highs + std::min(k, half - 1) * kPlaneCols);
        const V fl = F::flags(odd + k * stride);
        checked |= F::checkBits(x, fl);
        return F::template high<kShort>(x, fl);
    };
    auto even = [&](int k, const V &before, const V &after) WLT_INLINE_LAMBDA {
        const V x = F::load(low + k * kPlaneCols);
        const V fl = F::flags(f + k * stride);
        checked |= F::checkBits(x, fl);
        return F::template even<kShort>(x, fl, before, after);
    };
    int32_t *o = out + c0;
    if constexpr (kZeroHighs) {
        auto evenOfLow = [&](int k) WLT_INLINE_LAMBDA {
            const V x = F::load(low + k * kPlaneCols);
            const V fl = F::flags(f + k * stride);
            checked |= F::checkBits(x, fl);
            return F::template evenOfLow<kShort>(x, fl);
        };
        V e = evenOfLow(from);
        for (int k = from; k < to; ++k) {
            const V nextEven = evenOfLow(k + 1);
            F::store(o + 2 * k * kPlaneCols, e);
            F::store(o + (2 * k + 1) * kPlaneCols, F::oddBetween(F::flags(odd + k * stride), e, nextEven));
            e = nextEven;
        }
    } else {
        V h = high(from);
        V e = even(from, V{}, h);
        for (int k = from; k < to; ++k) {
            const V nextHigh = high(k + 1);
            const V nextEven = even(k + 1, h, nextHigh);
            F::store(o + 2 * k * kPlaneCols, e);
            F::store(o + (2 * k + 1) * kPlaneCols, F::template odd<kShort>(h, F::flags(odd + k * stride), e, nextEven));
            h = nextHigh;
            e = nextEven;
        }
    }
    if (!F::inRange(checked)) {
        const int base = SynthesisPlan::lineIndex(level, LineMode::Column, 0);
        for (int c = c0; c < std::min(c0 + F::kLanes, levelCols(level)); ++c) {
            if (plan.runCount[base + c] != 0)
                liftColumnSlowly(plan, base + c, rows, values, c, out, s);
        }
    }
}

// f(kShort, kZeroHighs) with the two as compile-time constants: the lifting's
// four variants from the two facts found at run time.
template <typename F>
WLT_INLINE void withVariant(bool shortRuns, bool zeroHighs, F f)
{
    if (shortRuns && zeroHighs)
        f(std::true_type{}, std::true_type{});
    else if (shortRuns)
        f(std::true_type{}, std::false_type{});
    else if (zeroHighs)
        f(std::false_type{}, std::true_type{});
    else
        f(std::false_type{}, std::false_type{});
}

// The columns of a level, a vector of them at a time over the sample pairs
// their runs span; groups without runs of one or two samples skip their
// handling.
template <typename L>
WLT_INLINE void liftColumns(const SynthesisPlan &plan, int level, const int32_t *values, int32_t *out,
                            SynthesisScratch &s, bool emptyBands)
{
    using F = Lift<L>;
    constexpr int kLanes = L::kLanes;
    const int cols = levelCols(level);
    const int base = SynthesisPlan::lineIndex(level, LineMode::Column, 0);
    // Without coefficients in the level's bands the right half's columns
    // are zeros, which the rows, having no highs, do not read.
    for (int c0 = 0; c0 < (emptyBands ? cols / 2 : cols); c0 += kLanes) {
        int from = levelRows(level) / 2, to = 0;
        bool hasShort = false;
        for (int c = c0; c < std::min(c0 + kLanes, cols); ++c) {
            if (plan.runCount[base + c] == 0)
                continue;
            from = std::min(from, lineStart(plan, base + c) >> 1);
            to = std::max(to, (lineEnd(plan, base + c) + 1) >> 1);
            hasShort |= plan.shortRuns[base + c] != 0;
        }
        if (to == 0)
            continue;
        // Bands the walk left empty make the lifting simpler: without highs
        // there is no update, without any input every output is 0. The
        // highs, and the lows right of the level's middle, are coefficients,
        // 0 wherever the walk left none (outside the runs too).
        const int half = levelRows(level) / 2;
        typename L::V highs{};
        for (int k = from; k <= std::min(to, half - 1) && !emptyBands; ++k)
            highs |= F::load(values + (half + k) * kPlaneCols + c0);
        const bool zeroHighs = emptyBands || F::isZero(highs);
        bool zeroLows = false;
        if (zeroHighs && !emptyBands && c0 >= cols / 2) {
            typename L::V lows{};
            for (int k = from; k < half && k <= to; ++k)
                lows |= F::load(values + k * kPlaneCols + c0);
            zeroLows = F::isZero(lows);
        }
        if (zeroLows) {
            for (int row = 2 * from; row < 2 * to; ++row)
                F::store(out + row * kPlaneCols + c0, typename L::V{});
            continue;
        }
        withVariant(hasShort, zeroHighs, [&](auto kShort, auto kZeroHighs) WLT_INLINE_LAMBDA {
            liftColumnGroup<L, kShort, kZeroHighs>(plan, level, values, out, s, c0, from, to);
        });
    }
}

// One row of a level from in (lows, then highs) to s.out in sample order,
// over the vectors that span its runs; returns the span [*from, *to) of
// s.out it wrote. Neighbours come from whole vectors shifted in registers:
// a load straddling two fresh stores would wait for them to reach memory.
template <typename L, bool kShort, bool kZeroHighs>
WLT_INLINE void liftRow(const SynthesisPlan &plan, int level, int r, const int32_t *in, SynthesisScratch &s,
                        int *from, int *to)
{
    using F = Lift<L>;
    using V = typename F::V;
    constexpr int kLanes = F::kLanes;
    const int half = levelCols(level) / 2;
    const int flagHalf = rowFlagHalf(level);
    const uint8_t *evenFlags = plan.rowFlags + rowFlagOffset(level) + r * 2 * flagHalf;
    const uint8_t *oddFlags = evenFlags + flagHalf;
    const int line = SynthesisPlan::lineIndex(level, LineMode::Row, r);
    // Vectors aligned to the flags' rows, which are whole vectors long.
    const int k0 = (lineStart(plan, line) >> 1) & ~7;
    const int k1 = (lineEnd(plan, line) + 1) >> 1;
    *from = 2 * k0;
    *to = std::min(2 * k1, 2 * half);
    V checked{};
    if constexpr (kZeroHighs) {
        for (int k = k0; k < k1; k += kLanes) {
            const V x = F::load(in + k);
            const V fl = F::flags(evenFlags + k);
            checked |= F::checkBits(x, fl);
            F::store(s.even + k, F::template evenOfLow<kShort>(x, fl));
        }
        if (!F::inRange(checked)) {
            // The highs, 0, may not have been written at all.
            std::memcpy(s.line, in, sizeof(int32_t) * size_t(half));
            std::memset(s.line + half, 0, sizeof(int32_t) * size_t(half));
            liftRowSlowly(plan, line, s.line, half, s.out);
            return;
        }
        for (int k = k0; k < k1; k += kLanes) {
            const V e = F::load(s.even + k);
            const V after = L::thenFirst(e, F::load(s.even + k + kLanes));
            F::interleave(e, F::oddBetween(F::flags(oddFlags + k), e, after), s.out + 2 * k);
        }
        return;
    }
    for (int k = k0; k < k1; k += kLanes) {
        const V x = F::load(in + half + k);
        const V fl = F::flags(oddFlags + k);
        checked |= F::checkBits(x, fl);
        F::store(s.high + 1 + k, F::template high<kShort>(x, fl));
    }
    V previous{};
    for (int k = k0; k < k1; k += kLanes) {
        const V x = F::load(in + k);
        const V fl = F::flags(evenFlags + k);
        checked |= F::checkBits(x, fl);
        const V highs = F::load(s.high + 1 + k);
        F::store(s.even + k, F::template even<kShort>(x, fl, L::lastThen(previous, highs), highs));
        previous = highs;
    }
    if (!F::inRange(checked)) {
        liftRowSlowly(plan, line, in, half, s.out);
        return;
    }
    for (int k = k0; k < k1; k += kLanes) {
        const V e = F::load(s.even + k);
        const V after = L::thenFirst(e, F::load(s.even + k + kLanes));
        F::interleave(e, F::template odd<kShort>(F::load(s.high + 1 + k), F::flags(oddFlags + k), e, after),
                      s.out + 2 * k);
    }
}

// True when the highs liftRow reads for row r are all 0.
template <typename L>
WLT_INLINE bool rowHighsZero(const SynthesisPlan &plan, int level, int r, const int32_t *in)
{
    using F = Lift<L>;
    const int half = levelCols(level) / 2;
    const int line = SynthesisPlan::lineIndex(level, LineMode::Row, r);
    const int k1 = (lineEnd(plan, line) + 1) >> 1;
    const uint8_t *oddFlags = plan.rowFlags + rowFlagOffset(level) + (2 * r + 1) * rowFlagHalf(level);
    typename F::V highs{};
    for (int k = (lineStart(plan, line) >> 1) & ~7; k < k1; k += F::kLanes)
        highs |= F::read(F::load(in + half + k), F::flags(oddFlags + k));
    return F::isZero(highs);
}

// Sixteen samples clamped into bytes (the two saturating packs do exactly
// that), kept where keep is 0xFF.
WLT_INLINE void clampSixteen(const int32_t *in, const uint8_t *keep, uint8_t *out)
{
#ifdef __SSE2__
    auto at = [&](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)); };
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(at(0), at(4)), _mm_packs_epi32(at(8), at(12)));
    const __m128i kept = _mm_and_si128(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(keep)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), kept);
#else
    for (int i = 0; i < 16; ++i)
        out[i] = uint8_t(in[i] < 0 ? 0 : in[i] > 255 ? 255 : in[i]) & keep[i];
#endif
}

// Level a's columns into work and then its rows back into values; level
// 1's rows go to store(row, its samples in order or nullptr when it has no
// runs). Inlined per level, so that each level's geometry is constant.
template <typename L, typename Store>
WLT_INLINE void liftLevel(const SynthesisPlan &plan, int a, int32_t *values, Plane32 &work, SynthesisScratch &s,
                          Store &store, bool emptyBands)
{
    liftColumns<L>(plan, a, values, work[0].data(), s, emptyBands);
    const int base = SynthesisPlan::lineIndex(a, LineMode::Row, 0);
    for (int r = 0; r < levelRows(a); ++r) {
        if (plan.runCount[base + r] == 0) {
            if (a == 1)
                store(r, nullptr);
            continue;
        }
        int from, to;
        const bool zeroHighs = emptyBands || rowHighsZero<L>(plan, a, r, work[r].data());
        withVariant(plan.shortRuns[base + r] != 0, zeroHighs, [&](auto kShort, auto kZeroHighs) WLT_INLINE_LAMBDA {
            liftRow<L, kShort, kZeroHighs>(plan, a, r, work[r].data(), s, &from, &to);
        });
        if (a == 1)
            store(r, s.out);
        else
            std::memcpy(values + r * kPlaneCols + from, s.out + from, sizeof(int32_t) * size_t(to - from));
    }
}

// Every level, coarsest first; bit a of emptyLevels: level a's bands hold
// only zeros.
template <typename L, typename Store>
WLT_INLINE void synthesizeLevels(const SynthesisPlan &plan, Plane32 &plane, Plane32 &work, Store &store,
                                 uint8_t emptyLevels)
{
    SynthesisScratch s;
    std::memset(&s, 0, sizeof s); // lanes outside the runs read it
    static_assert(kLevels == 4, "one call per level");
    liftLevel<L>(plan, 4, plane[0].data(), work, s, store, emptyLevels & (1 << 4));
    liftLevel<L>(plan, 3, plane[0].data(), work, s, store, emptyLevels & (1 << 3));
    liftLevel<L>(plan, 2, plane[0].data(), work, s, store, emptyLevels & (1 << 2));
    liftLevel<L>(plan, 1, plane[0].data(), work, s, store, emptyLevels & (1 << 1));
}

template <typename Store>
void synthesizeBaseline(const SynthesisPlan &plan, Plane32 &plane, Plane32 &work, Store &store, uint8_t emptyLevels)
{
    synthesizeLevels<FourLanes>(plan, plane, work, store, emptyLevels);
}

#ifdef WLT_WIDE_VECTORS
template <typename Store>
__attribute__((target("avx2"))) void synthesizeWide(const SynthesisPlan &plan, Plane32 &plane, Plane32 &work,
                                                   Store &store, uint8_t emptyLevels)
{
    synthesizeLevels<EightLanes>(plan, plane, work, store, emptyLevels);
}

#endif

template <typename Store>
void synthesizeAll(const SynthesisPlan &plan, Plane32 &plane, Store &store, uint8_t emptyLevels = 0)
{
    Plane32 work; // the columns' output; only what the runs wrote there is read
#ifdef WLT_WIDE_VECTORS
    if (wideVectors()) {
        synthesizeWide(plan, plane, work, store, emptyLevels);
        return;
    }
#endif
    synthesizeBaseline(plan, plane, work, store, emptyLevels);
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
            std::memcpy(row + run.start, lifted + run.start, sizeof(int32_t) * run.length);
        }
    };
    synthesizeAll(plan, values, store);
}

void synthesizeIntoChannel(const SynthesisPlan &plan, Plane32 &values, Plane8 &channel, uint8_t emptyLevels)
{
    // Only the picture is kept; the rest of the plane stays 0.
    auto store = [&](int r, const int32_t *lifted) {
        uint8_t *row = channel[r].data();
        if (!lifted) {
            std::memset(row, 0, kPlaneCols);
            return;
        }
        for (int c = 0; c < kPlaneCols; c += 16)
            clampSixteen(lifted + c, plan.inside[r] + c, row + c);
    };
    synthesizeAll(plan, values, store, emptyLevels);
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
