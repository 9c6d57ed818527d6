// The planned synthesis in vector lanes: fixed passes over whole lines and
// column groups, steered by the flags the mask decomposition left, four
// lanes wide in SSE2 and eight in AVX2.
#include "wlttransform.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltvectors.h"
#include "wlttransform_p.h"

namespace wlt {

namespace {

// Lanes in GCC's generic vectors, with the arithmetic of the lifting: the
// baseline build runs four lanes in SSE2 registers, the AVX2 build eight.
// Lanes wrap like the instructions; nothing in range ever does. The helpers
// are always inlined, so the calling convention GCC warns about (at the end
// of the file, hence no pop) never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

// For the helpers and lambdas that take or return vectors.
#define WLT_INLINE inline __attribute__((always_inline))
#define WLT_INLINE_LAMBDA __attribute__((always_inline))

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

// The first and the end of a line's runs.
int lineStart(const SynthesisPlan &plan, int line) { return plan.runs[line][0].start; }
int lineEnd(const SynthesisPlan &plan, int line)
{
    const SynthesisPlan::Run last = plan.runs[line][plan.runCount[line] - 1];
    return last.start + last.length;
}

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

} // namespace wlt
