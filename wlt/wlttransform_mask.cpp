// The mask decomposition: each level's rows and then columns split into low
// and high halves, and, for the synthesis, the runs and per-sample flags it
// will replay.
#include "wlttransform.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltbits.h"
#include "wltvectors.h"
#include "wlttransform_p.h"

namespace wlt {

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
    forEachRun(source, count, [&](int c, int end) {
        if (end - c == 1 && target[c >> 1] == 0) {
            target[c >> 1] = kMaskInside;
            target[(c >> 1) + half] = movedCode(mode);
        }
        if (runCount)
            runs[(*runCount)++] = SynthesisPlan::Run{uint8_t(c), uint8_t(end - c)};
    });
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

// Sixteen samples' bytes in GCC's generic vectors: the same steps serve the
// baseline build and, inlined into splitLevelsWide, the AVX2 one.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Bytes16 loadBytes(const uint8_t *p)
{
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void storeBytes(uint8_t *p, Bytes16 v) { std::memcpy(p, &v, sizeof v); }
// 0xFF at the 1s among count bytes of line from 16 * chunk on, 0 elsewhere
// and past count.
[[gnu::always_inline]] inline Bytes16 onesOf(const uint8_t *line, int chunk, int count)
{
    static const uint8_t kValid[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const int valid = std::min(std::max(count - 16 * chunk, 0), 16);
    return Bytes16(loadBytes(line + 16 * chunk) == kMaskInside) & loadBytes(kValid + 16 - valid);
}

// The flags of 16 samples from whether they, and the two samples on either
// side, lie in runs (0xFF or 0); odd is 0xFF at odd samples. The same flags
// as lineFlags gives from the runs, without visiting them.
[[gnu::always_inline]] inline Bytes16 runFlags(Bytes16 before2, Bytes16 before, Bytes16 in, Bytes16 after,
                                               Bytes16 after2, Bytes16 odd)
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
[[gnu::always_inline]] inline Bytes16 shiftedIn(Bytes16 a, Bytes16 b)
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
[[gnu::always_inline]] inline void splitPairs(Bytes16 a, Bytes16 b, Bytes16 &evens, Bytes16 &odds)
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
[[gnu::always_inline]] inline void storeFlags(uint8_t *p, Bytes16 v, const uint8_t *end)
{
    if (end - p >= 16)
        storeBytes(p, v);
    else if (end - p >= 8)
        std::memcpy(p, &v, 8);
}

// 1 when flags (ORed together) show a run of one or two samples.
[[gnu::always_inline]] inline uint8_t hasShortRuns(Bytes16 flags)
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
[[gnu::always_inline]] inline Bytes16 spanOf(int chunk, int first, int last)
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

} // namespace wlt
