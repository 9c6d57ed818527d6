// The shape index that the bit-plane walk visits, and one colour channel's decoding.
#include "wltbitplane.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltdecoder.h"
#include "wlttransform.h"

namespace wlt {

namespace {

// Calls f(row, col, line) for every active coefficient of band (a, b) in
// scan order: the lowest band (a = 0) and band 1 column by column, bands 2
// and 3 row by row; line is the column or row within the band (0 in the
// lowest band).
template <class F>
void forEachVisited(const ShapeIndex &index, int a, int b, F f)
{
    auto visit = [&](int row, int col, int line) {
        if (index.state[row][col] & kStateActive)
            f(row, col, line);
    };
    if (a == 0) {
        for (int row = 0; row < kLowestRows; ++row) {
            for (int col = 0; col < kLowestCols; ++col)
                visit(row, col, 0);
        }
        return;
    }
    const int h = kPlaneRows >> a;
    const int w = kPlaneCols >> a;
    // Band 1 lies right of the lows, band 2 below them, band 3 diagonally.
    constexpr int kBelow[4] = {0, 0, 1, 1};
    constexpr int kRight[4] = {0, 1, 0, 1};
    const int top = h * kBelow[b];
    const int left = w * kRight[b];
    if (b == 1) {
        for (int col = left; col < left + w; ++col) {
            for (int row = top; row < top + h; ++row)
                visit(row, col, col - left);
        }
    } else {
        for (int row = top; row < top + h; ++row) {
            for (int col = left; col < left + w; ++col)
                visit(row, col, row - top);
        }
    }
}

// below[i] for count coefficients of one line from their children's two
// lines (r0, b0 and r1, b1 from the first child on): whether one of the four
// lies in the shape or has shape below.
void markShapeBelow(const uint8_t *r0, const uint8_t *r1, const uint8_t *b0, const uint8_t *b1, uint8_t *below,
                    int count)
{
    int i = 0;
#ifdef __SSE2__
    // Eight coefficients from sixteen children per step: the pairs side by
    // side are folded as 16-bit lanes and packed back into bytes.
    const __m128i inside = _mm_set1_epi8(char(kMaskInside));
    const __m128i one = _mm_set1_epi8(1);
    const __m128i low = _mm_set1_epi16(0x00FF);
    auto load = [](const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); };
    for (; i + 8 <= count; i += 8) {
        const __m128i shape = _mm_and_si128(
            _mm_or_si128(_mm_cmpeq_epi8(load(r0 + 2 * i), inside), _mm_cmpeq_epi8(load(r1 + 2 * i), inside)), one);
        const __m128i any = _mm_or_si128(shape, _mm_or_si128(load(b0 + 2 * i), load(b1 + 2 * i)));
        const __m128i pairs = _mm_and_si128(_mm_or_si128(any, _mm_srli_epi16(any, 8)), low);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(below + i), _mm_packus_epi16(pairs, pairs));
    }
#endif
    for (; i < count; ++i) {
        const int c = 2 * i;
        below[i] = uint8_t((r0[c] == kMaskInside) | (r0[c + 1] == kMaskInside) | (r1[c] == kMaskInside)
                           | (r1[c + 1] == kMaskInside) | b0[c] | b0[c + 1] | b1[c] | b1[c + 1]);
    }
}

// Only levels 2 to 4 have shape below, so kStateOutside stays there.
void markStates(const uint8_t *__restrict r, const uint8_t *__restrict below, uint8_t *__restrict state)
{
    for (int i = 0; i < kPlaneSize; ++i) {
        const uint8_t inside = r[i] == kMaskInside;
        const uint8_t outside = uint8_t(!inside & (below[i] != 0));
        state[i] = uint8_t(inside * (kStateInside | kStateActive) + outside * (kStateOutside | kStateActive));
    }
}

} // namespace

void computeShapeDescendants(const Plane8 &r, Plane8 &below)
{
    for (auto &row : below)
        row.fill(0);
    // The children of level a lie beyond the coefficients level a writes, so
    // a level never reads what it writes.
    for (int a = 2; a <= kLevels; ++a) {
        for (int row = 0; row < levelRows(a); ++row) {
            // The top-left part belongs to the next coarser level.
            const int first = row < (kPlaneRows >> a) ? kPlaneCols >> a : 0;
            markShapeBelow(&r[2 * row][2 * first], &r[2 * row + 1][2 * first], &below[2 * row][2 * first],
                           &below[2 * row + 1][2 * first], &below[row][first], levelCols(a) - first);
        }
    }
}

void buildShapeIndex(const Plane8 &n, ShapeIndex &index, SynthesisPlan *plan)
{
    decomposeMask(n, index.r, kLevels, plan);
    computeShapeDescendants(index.r, index.shapeBelow);
    markStates(&index.r[0][0], &index.shapeBelow[0][0], &index.state[0][0]);

    // The lowest band and level 4, visited one by one.
    int count = 0;
    forEachVisited(index, 0, 0, [&](int row, int col, int) { index.topVisits[count++] = uint16_t(flatIndex(row, col)); });
    index.topBandEnd[0] = count;
    for (int b = 1; b <= 3; ++b) {
        int lines = 0;
        int lastLine = -1;
        forEachVisited(index, kLevels, b, [&](int row, int col, int line) {
            if (line != lastLine && lastLine >= 0)
                index.topLineEnd[b][lines++] = uint16_t(count - index.topBandEnd[b - 1]);
            lastLine = line;
            index.topVisits[count++] = uint16_t(flatIndex(row, col));
        });
        if (lastLine >= 0)
            index.topLineEnd[b][lines++] = uint16_t(count - index.topBandEnd[b - 1]);
        index.topLineCount[b] = lines;
        index.topBandEnd[b] = count;
    }
}

void addLiteralVisits(ShapeIndex &index)
{
    int count = 0;
    auto add = [&](int row, int col, int) { index.visits[count++] = Coord{uint8_t(row), uint8_t(col)}; };
    forEachVisited(index, 0, 0, add);
    index.lowestEnd = count;
    for (int a = kLevels; a >= 1; --a) {
        for (int b = 1; b <= 3; ++b) {
            forEachVisited(index, a, b, add);
            index.bandEnd[a][b] = count;
        }
    }
}

namespace {

struct DecodingCoder {
    QmDecoder &decoder;
    template <int kTree>
    int symbol(State &state, SymbolKind, int, int, int)
    {
        return decoder.decodeSymbol<kTree>(state);
    }
    bool IsEnd_2ff0() const { return decoder.IsEnd_2ff0(); }
};

} // namespace

int decodeChannel(const uint8_t *stream, int length, const ShapeIndex &shape, ChannelPlanes &planes)
{
    QmDecoder decoder;
    decoder.start(stream, length, 2);
    DecodingCoder coder{decoder};
    BitPlaneWalk<DecodingCoder> walk(coder, shape, planes);
    return walk.run(stream[0]);
}

} // namespace wlt
