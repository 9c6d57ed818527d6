// The person's outline: the shape stream's fields, the chain's fill, and the encoder's tracing.
#include "wltshape.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "libwlt.h"
#include "wltbits.h"

namespace wlt {

const int ChTb[8] = {4, 3, 5, 2, 6, 1, 7, 0};

namespace {

bool insidePicture(int col, int row)
{
    return col >= 0 && col < kPictureCols && row >= 0 && row < kPictureRows;
}

} // namespace

int decodeShape(QmDecoder &decoder, Colour &fixNum, Chain &chain)
{
    State s2;
    State s8;
    InitState(s2, 2);
    InitState(s8, 8);
    if (decoder.decodeBits(s2, 1) != 0)
        return WltBadShapeFirstBit;
    fixNum.r = uint8_t(decoder.decodeBits(s2, 8));
    fixNum.g = uint8_t(decoder.decodeBits(s2, 8));
    fixNum.b = uint8_t(decoder.decodeBits(s2, 8));
    if (decoder.decodeBits(s2, 8) != 1)
        return WltNoShape;

    const int count = decoder.decodeBits(s2, 16);
    chain.x0 = decoder.decodeBits(s2, 12);
    chain.y0 = decoder.decodeBits(s2, 12);
    // The chain buffer and the picture bound what a chain may be.
    if (count > kMaxChainLength)
        return WltBadChain;
    chain.count = count;
    int direction = decoder.decodeSymbol<8>(s8);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            direction += ChTb[decoder.decodeSymbol<8>(s8)] - 4;
            if (direction < 0)
                direction += 8;
            else if (direction > 7)
                direction -= 8;
        }
        chain.directions[i] = uint8_t(direction);
    }
    if (decoder.decodeBits(s2, 1) != 0)
        return WltBadChain;
    if (!chainInsidePicture(chain))
        return WltBadChain;
    return WltSuccess;
}

bool chainInsidePicture(const Chain &chain)
{
    if (chain.count < 0 || chain.count > kMaxChainLength)
        return false;
    int col = chain.x0;
    int row = chain.y0;
    if (!insidePicture(col, row))
        return false;
    for (int i = 0; i < chain.count; ++i) {
        col += kColumnStep[chain.directions[i] & 7];
        row += kRowStep[chain.directions[i] & 7];
        if (!insidePicture(col, row))
            return false;
    }
    return true;
}

namespace {

// The low 16 mask bits to 16 bytes of 0 or 1 at out, lowest bit first.
void storeBitsAsBytes(uint64_t bits, uint8_t *out)
{
#ifdef __SSE2__
    __m128i spread = _mm_cvtsi32_si128(int(bits & 0xFFFF));
    spread = _mm_unpacklo_epi8(spread, spread);
    spread = _mm_unpacklo_epi16(spread, spread);
    spread = _mm_unpacklo_epi32(spread, spread); // the low byte 8 times, then the high one
    const __m128i bit = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
    const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(spread, bit), bit);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_and_si128(set, _mm_set1_epi8(1)));
#else
    for (int k = 0; k < 16; ++k)
        out[k] = uint8_t(bits >> k & 1);
#endif
}

} // namespace

void fillChain(const Chain &chain, Plane8 &n)
{
    // One bit per pixel, in one walk along the chain. A toggle flips its row
    // from column 0 up to and including its own; the flips left of the
    // chain's leftmost column are cleared at the end.
    LineBits rows[kPictureRows];
    LineBits onChain[kPictureRows];
    auto toggle = [&rows](int r, int c) {
        const LineBits flipped = LineBits::first(c + 1);
        rows[r].w[0] ^= flipped.w[0];
        rows[r].w[1] ^= flipped.w[1];
    };
    int cx = chain.x0;
    int cy = chain.y0;
    bool inside = chain.count >= 0 && chain.count <= kMaxChainLength && insidePicture(cx, cy);
    int minX = cx, minY = cy, maxY = cy;
    if (inside)
        onChain[cy].set(cx);

    // Row toggling: every row the chain enters vertically is toggled up to the
    // entry point; where the chain turns back vertically, the row it leaves
    // is toggled too, so that the turning row keeps only its run.
    int v = -1;
    for (int i = 0; i < chain.count && inside; ++i) {
        const int d = chain.directions[i] & 7;
        const int nx = cx + kColumnStep[d];
        const int ny = cy + kRowStep[d];
        const int dy = kRowStep[d];
        inside = insidePicture(nx, ny);
        if (!inside)
            break;
        if (v + dy == 0) {
            toggle(cy, cx);
            toggle(ny, nx);
        } else if (dy == v) {
            toggle(ny, nx);
        }
        if (dy != 0)
            v = dy;
        onChain[ny].set(nx);
        minX = nx < minX ? nx : minX;
        minY = ny < minY ? ny : minY;
        maxY = ny > maxY ? ny : maxY;
        cx = nx;
        cy = ny;
    }
    if (!inside) {
        std::memset(&n, 0, sizeof n);
        return;
    }

    static_assert(kPictureCols <= 128 && kPlaneCols % 16 == 0, "rows expand 16 pixels at a time");
    std::memset(&n[0], 0, sizeof n[0] * size_t(minY));
    std::memset(&n[maxY + 1], 0, sizeof n[0] * size_t(kPlaneRows - 1 - maxY));
    const LineBits fromChain = ~LineBits::first(minX);
    for (int r = minY; r <= maxY; ++r) {
        const LineBits filled = (rows[r] & fromChain) | onChain[r];
        for (int c = 0; c < kPlaneCols; c += 16)
            storeBitsAsBytes(filled.w[c >> 6] >> (c & 63), &n[r][c]);
    }
}

// ---- Encoder ---------------------------------------------------------------

bool traceOutline(const Plane8 &mask, Chain &chain)
{
    auto inside = [&mask](int col, int row) {
        return insidePicture(col, row) && mask[row][col] != 0;
    };
    int startCol = -1, startRow = -1;
    for (int r = 0; r < kPictureRows && startRow < 0; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            if (mask[r][c]) {
                startCol = c;
                startRow = r;
                break;
            }
        }
    }
    if (startRow < 0)
        return false;
    chain.x0 = startCol;
    chain.y0 = startRow;
    chain.count = 0;

    // Moore-neighbour tracing: sweep clockwise from the last background
    // neighbour; stop on leaving the start point the way the trace began.
    int col = startCol, row = startRow;
    int back = 4; // the pixel to the west of the first one is background
    int firstDirection = -1;
    for (int steps = 0; steps < 4 * kPictureRows * kPictureCols; ++steps) {
        int found = -1;
        for (int k = 1; k <= 8; ++k) {
            const int d = (back + k) & 7;
            if (inside(col + kColumnStep[d], row + kRowStep[d])) {
                found = d;
                const int b = (back + k - 1) & 7;
                const int backCol = col + kColumnStep[b];
                const int backRow = row + kRowStep[b];
                const int nextCol = col + kColumnStep[d];
                const int nextRow = row + kRowStep[d];
                for (int e = 0; e < 8; ++e) {
                    if (nextCol + kColumnStep[e] == backCol && nextRow + kRowStep[e] == backRow) {
                        back = e;
                        break;
                    }
                }
                break;
            }
        }
        if (found < 0)
            return true; // a single pixel: an empty chain
        if (col == startCol && row == startRow) {
            if (firstDirection < 0)
                firstDirection = found;
            else if (found == firstDirection)
                return true;
        }
        if (chain.count == kMaxChainLength)
            return false;
        chain.directions[chain.count++] = uint8_t(found);
        col += kColumnStep[found];
        row += kRowStep[found];
    }
    return false;
}

void encodeShape(QmEncoder &encoder, const Colour &fixNum, const Chain &chain)
{
    State s2;
    State s8;
    InitState(s2, 2);
    InitState(s8, 8);
    encoder.encodeBits(s2, 0, 1);
    encoder.encodeBits(s2, fixNum.r, 8);
    encoder.encodeBits(s2, fixNum.g, 8);
    encoder.encodeBits(s2, fixNum.b, 8);
    encoder.encodeBits(s2, 1, 8);
    encoder.encodeBits(s2, uint32_t(chain.count), 16);
    encoder.encodeBits(s2, uint32_t(chain.x0), 12);
    encoder.encodeBits(s2, uint32_t(chain.y0), 12);
    // The first direction is always present, even in an empty chain.
    encoder.encodeSymbol(s8, chain.count > 0 ? chain.directions[0] : 0);
    for (int i = 1; i < chain.count; ++i) {
        const int turn = (chain.directions[i] - chain.directions[i - 1] + 8) & 7;
        const int change = turn >= 4 ? turn - 8 : turn; // -4 .. 3
        int symbol = 0;
        while (ChTb[symbol] - 4 != change)
            ++symbol;
        encoder.encodeSymbol(s8, symbol);
    }
    encoder.encodeBits(s2, 0, 1);
}

} // namespace wlt
