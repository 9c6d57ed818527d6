// The shape index that the bit-plane walk visits, and one colour channel's decoding.
#include "wltbitplane.h"

#include "wltdecoder.h"
#include "wlttransform.h"

namespace wlt {

void buildShapeIndex(const Plane8 &n, ShapeIndex &index, SynthesisPlan *plan)
{
    decomposeMask(n, index.r, kLevels, plan);
    computeShapeDescendants(index.r, index.shapeBelow);
    for (int row = 0; row < kPlaneRows; ++row) {
        for (int col = 0; col < kPlaneCols; ++col)
            index.active[row][col] = index.r[row][col] == kMaskInside || index.shapeBelow[row][col];
    }
    int count = 0;
    auto add = [&](int a, int row, int col) {
        if (index.r[row][col] == kMaskInside || (a > 1 && index.shapeBelow[row][col]))
            index.visits[count++] = Coord{uint8_t(row), uint8_t(col)};
    };
    for (int row = 0; row < kLowestRows; ++row) {
        for (int col = 0; col < kLowestCols; ++col)
            add(0, row, col);
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
                        add(a, row, col);
                }
            } else {
                for (int row = top; row < top + h; ++row) {
                    for (int col = left; col < left + w; ++col)
                        add(a, row, col);
                }
            }
            index.bandEnd[a][b] = count;
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
