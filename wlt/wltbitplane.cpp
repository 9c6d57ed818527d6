// The shape index that the bit-plane walk visits, and one colour channel's decoding.
#include "wltbitplane.h"

#include "wltdecoder.h"
#include "wlttransform.h"

namespace wlt {

namespace {

// Calls f(row, col, line) for every coefficient of band (a, b) in scan order:
// band 1 column by column, bands 2 and 3 row by row; line is the column or
// row within the band.
template <class F>
void forEachInBand(int a, int b, F f)
{
    const int h = kPlaneRows >> a;
    const int w = kPlaneCols >> a;
    const int top = h * x[8 + b];
    const int left = w * y[8 + b];
    if (b == 1) {
        for (int col = left; col < left + w; ++col) {
            for (int row = top; row < top + h; ++row)
                f(row, col, col - left);
        }
    } else {
        for (int row = top; row < top + h; ++row) {
            for (int col = left; col < left + w; ++col)
                f(row, col, row - top);
        }
    }
}

// Only levels 2 to 4 have shape below, so kStateOutside stays there.
void markStates(const uint8_t *__restrict r, const uint8_t *__restrict below, uint8_t *__restrict active,
                uint8_t *__restrict state)
{
    for (int i = 0; i < kPlaneSize; ++i) {
        const uint8_t inside = r[i] == kMaskInside;
        const uint8_t outside = uint8_t(!inside & (below[i] != 0));
        active[i] = inside | outside;
        state[i] = uint8_t(inside * (kStateInside | kStateActive) + outside * (kStateOutside | kStateActive));
    }
}

} // namespace

void buildShapeIndex(const Plane8 &n, ShapeIndex &index, SynthesisPlan *plan)
{
    decomposeMask(n, index.r, kLevels, plan);
    computeShapeDescendants(index.r, index.shapeBelow);
    markStates(&index.r[0][0], &index.shapeBelow[0][0], &index.active[0][0], &index.state[0][0]);
    const uint8_t *active = &index.active[0][0];

    // The lowest band and level 4, visited one by one.
    int count = 0;
    for (int row = 0; row < kLowestRows; ++row) {
        for (int col = 0; col < kLowestCols; ++col) {
            if (active[flatIndex(row, col)])
                index.topVisits[count++] = Visit{uint16_t(flatIndex(row, col)), 0};
        }
    }
    index.topBandEnd[0] = count;
    for (int b = 1; b <= 3; ++b) {
        forEachInBand(kLevels, b, [&](int row, int col, int line) {
            if (active[flatIndex(row, col)])
                index.topVisits[count++] = Visit{uint16_t(flatIndex(row, col)), uint8_t(line)};
        });
        index.topBandEnd[b] = count;
    }

}

void addLiteralVisits(ShapeIndex &index)
{
    int count = 0;
    for (int row = 0; row < kLowestRows; ++row) {
        for (int col = 0; col < kLowestCols; ++col) {
            if (index.active[row][col])
                index.visits[count++] = Coord{uint8_t(row), uint8_t(col)};
        }
    }
    index.lowestEnd = count;
    for (int a = kLevels; a >= 1; --a) {
        for (int b = 1; b <= 3; ++b) {
            forEachInBand(a, b, [&](int row, int col, int) {
                if (index.active[row][col])
                    index.visits[count++] = Coord{uint8_t(row), uint8_t(col)};
            });
            index.bandEnd[a][b] = count;
        }
    }
}

namespace {

struct DecodingCoder {
    Jg &jg;
    // The walk asks for the lowest band and the detail bands of level 1 with
    // vl3 states, above with vl4, outside the shape and for refinement with vl2.
    int symbol(State &state, SymbolKind kind, int, int, int)
    {
        switch (kind) {
        case SymbolKind::Lowest: return jg.decode3(state);
        case SymbolKind::Band: return state.kind == 3 ? jg.decode3(state) : jg.decode4(state);
        default: return jg.decode2(state);
        }
    }
    bool IsEnd_2ff0() const { return jg.IsEnd_2ff0(); }
};

} // namespace

int decodeChannel(const uint8_t *stream, int length, const ShapeIndex &shape, ChannelPlanes &planes)
{
    Jg jg;
    jg.start(stream, length, 2);
    DecodingCoder coder{jg};
    BitPlaneWalk<DecodingCoder> walk(coder, shape, planes);
    return walk.run(stream[0]);
}

} // namespace wlt
