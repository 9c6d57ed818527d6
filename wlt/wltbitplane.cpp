// The shape index that the bit-plane walk visits, and one colour channel's decoding.
#include "wltbitplane.h"

#include "wltdecoder.h"
#include "wlttransform.h"

namespace wlt {

void buildShapeIndex(const Plane8 &n, ShapeIndex &index, SynthesisPlan *plan)
{
    decomposeMask(n, index.r, kLevels, plan);
    computeShapeDescendants(index.r, index.shapeBelow);
    const uint8_t *r = &index.r[0][0];
    const uint8_t *below = &index.shapeBelow[0][0];
    uint8_t *active = &index.active[0][0];
    uint8_t *state = &index.state[0][0];
    // Only levels 2 to 4 have shape below, so kStateOutside stays there.
    for (int i = 0; i < kPlaneSize; ++i) {
        const bool inside = r[i] == kMaskInside;
        active[i] = inside || below[i];
        state[i] = inside ? kStateInside | kStateActive : below[i] ? kStateOutside | kStateActive : kStateNone;
    }

    int count = 0;
    auto add = [&](int row, int col) {
        if (active[flatIndex(row, col)])
            index.visits[count++] = Coord{uint8_t(row), uint8_t(col)};
    };
    for (int row = 0; row < kLowestRows; ++row) {
        for (int col = 0; col < kLowestCols; ++col)
            add(row, col);
    }
    index.lowestEnd = count;
    for (int a = kLevels; a >= 1; --a) {
        const int h = kPlaneRows >> a;
        const int w = kPlaneCols >> a;
        for (int b = 1; b <= 3; ++b) {
            const int top = h * x[8 + b];
            const int left = w * y[8 + b];
            if (b == 1) {
                for (int col = left; col < left + w; ++col) {
                    for (int row = top; row < top + h; ++row)
                        add(row, col);
                }
            } else {
                for (int row = top; row < top + h; ++row) {
                    for (int col = left; col < left + w; ++col)
                        add(row, col);
                }
            }
            index.bandEnd[a][b] = count;
        }
    }

    // The lowest band and level 4 as the fast walk visits them.
    const int topEnd = index.bandEnd[kLevels][3];
    for (int i = 0; i < topEnd; ++i) {
        const Coord c = index.visits[i];
        const bool bandOne = i >= index.lowestEnd && i < index.bandEnd[kLevels][1];
        const int line = i < index.lowestEnd ? 0
                         : bandOne          ? c.col - (kPlaneCols >> kLevels)
                                            : c.row - (kPlaneRows >> kLevels);
        index.topVisits[i] = Visit{uint16_t(flatIndex(c.row, c.col)), uint8_t(line)};
    }
    index.topBandEnd[0] = index.lowestEnd;
    for (int b = 1; b <= 3; ++b)
        index.topBandEnd[b] = index.bandEnd[kLevels][b];

    // Below level 4: the child pairs of active parents, in scan order.
    int pairs = 0;
    for (int a = kLevels - 1; a >= 1; --a) {
        const int h = kPlaneRows >> a;
        const int w = kPlaneCols >> a;
        for (int b = 1; b <= 3; ++b) {
            const int top = h * x[8 + b];
            const int left = w * y[8 + b];
            uint16_t *begin = index.pairBegin[a][b];
            auto addPair = [&](int parentRow, int parentCol, int row1, int col1, int row2, int col2, int line) {
                const int parent = flatIndex(parentRow, parentCol);
                if (active[parent])
                    index.pairs[pairs++] = ChildPair{uint16_t(parent), uint16_t(flatIndex(row1, col1)),
                                                     uint16_t(flatIndex(row2, col2)), uint8_t(line)};
            };
            if (b == 1) {
                for (int pc = 0; pc < w / 2; ++pc) {
                    begin[pc] = uint16_t(pairs);
                    for (int dc = 0; dc < 2; ++dc) {
                        const int col = left + 2 * pc + dc;
                        for (int pr = 0; pr < h / 2; ++pr)
                            addPair(top / 2 + pr, left / 2 + pc, top + 2 * pr, col, top + 2 * pr + 1, col, 2 * pc + dc);
                    }
                }
                begin[w / 2] = uint16_t(pairs);
            } else {
                for (int pr = 0; pr < h / 2; ++pr) {
                    begin[pr] = uint16_t(pairs);
                    for (int dr = 0; dr < 2; ++dr) {
                        const int row = top + 2 * pr + dr;
                        for (int pc = 0; pc < w / 2; ++pc)
                            addPair(top / 2 + pr, left / 2 + pc, row, left + 2 * pc, row, left + 2 * pc + 1, 2 * pr + dr);
                    }
                }
                begin[h / 2] = uint16_t(pairs);
            }
        }
    }
}

namespace {

struct DecodingCoder {
    Jg &jg;
    int symbol(State &state, SymbolKind, int, int, int) { return jg.decodeSymbol(state); }
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
