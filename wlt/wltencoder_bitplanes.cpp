// Encoder, bit-plane stage: descendant planes, the symbols chosen for the walk, the stream.
#include "wltencoder_p.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "wltdecoder.h"

namespace wlt {

namespace {

int magnitudePlane(int32_t v)
{
    uint32_t m = uint32_t(std::abs(v));
    int plane = -1;
    while (m) {
        ++plane;
        m >>= 1;
    }
    return plane;
}

// For every coefficient, the set of bit-planes (bit p) in which one of its
// in-shape descendants becomes significant.
void computeDescendantPlanes(const Plane32 &coefficients, const Plane8 &r, Plane<uint32_t> &planes)
{
    for (auto &row : planes)
        row.fill(0);
    for (int a = 2; a <= kLevels; ++a) {
        for (int row = 0; row < kPlaneRows >> (a - 1); ++row) {
            for (int col = 0; col < kPlaneCols >> (a - 1); ++col) {
                if (coefficientLevel(row, col) != a)
                    continue;
                uint32_t bits = 0;
                for (int i = 0; i < 2; ++i) {
                    for (int j = 0; j < 2; ++j) {
                        const int cr = 2 * row + i, cc = 2 * col + j;
                        bits |= planes[cr][cc];
                        if (r[cr][cc] == kMaskInside && coefficients[cr][cc] != 0)
                            bits |= 1u << magnitudePlane(coefficients[cr][cc]);
                    }
                }
                planes[row][col] = bits;
            }
        }
    }
}

// Chooses and encodes each symbol the walk asks for: the true one for the
// first `cut` symbols, then the one that changes nothing, so that whatever the
// decoder reads past the cut leaves the coefficients as they are.
struct EncodingCoder {
    QmEncoder &encoder;
    const Plane32 &coefficients;
    const Plane<uint32_t> &descendantPlanes;
    long cut;
    int stopAfterBytes;
    // The lowest bit-plane each coefficient's value reaches with the true
    // symbols (-1: none).
    Plane<int8_t> *precision = nullptr;
    long count = 0;
    int cutPlane = -1; // the plane the first symbol past the cut belongs to

    int symbol(State &state, SymbolKind kind, int row, int col, int fix)
    {
        const bool isTrue = count < cut;
        if (count == cut)
            cutPlane = fix;
        const int s = isTrue ? trueSymbol(state, kind, row, col, fix) : harmlessSymbol(kind);
        ++count;
        encoder.encodeSymbol(state, s);
        if (isTrue && precision) {
            if (kind == SymbolKind::Refinement)
                (*precision)[row][col] = int8_t(fix - 1);
            else if (kind != SymbolKind::OutsideShape && s <= 1)
                (*precision)[row][col] = int8_t(fix);
        }
        return s;
    }

    int trueSymbol(const State &state, SymbolKind kind, int row, int col, int fix) const
    {
        const int32_t c = coefficients[row][col];
        const uint32_t magnitude = uint32_t(std::abs(c));
        const bool descendantTurns = (descendantPlanes[row][col] >> fix & 1) != 0;
        switch (kind) {
        case SymbolKind::Lowest:
        case SymbolKind::Band:
            if (magnitude >> fix & 1)
                return c < 0 ? 1 : 0;
            if (kind == SymbolKind::Band && state.kind == 4 && descendantTurns)
                return 3;
            return 2;
        case SymbolKind::OutsideShape:
            return descendantTurns ? 1 : 0;
        case SymbolKind::Refinement:
            return int(magnitude >> (fix - 1) & 1);
        }
        return 0;
    }

    static int harmlessSymbol(SymbolKind kind)
    {
        return kind == SymbolKind::Lowest || kind == SymbolKind::Band ? 2 : 0;
    }

    bool IsEnd_2ff0() const { return encoder.rawSize() > stopAfterBytes; }
};

} // namespace

ChannelEncoder::ChannelEncoder(const Plane32 &c, const ShapeIndex &index)
    : coefficients(c), shape(index), r(index.r)
{
    computeDescendantPlanes(coefficients, r, descendantPlanes);
    int32_t largest = 0;
    for (int row = 0; row < kPlaneRows; ++row) {
        for (int col = 0; col < kPlaneCols; ++col) {
            if (r[row][col] == kMaskInside)
                largest = std::max(largest, std::abs(coefficients[row][col]));
        }
    }
    topPlane = std::max(0, magnitudePlane(largest));
}

bool ChannelEncoder::attempt(long cut, int length, int realBytes, std::vector<uint8_t> &stream)
{
    QmEncoder encoder;
    for (auto &row : precision)
        row.fill(-1);
    EncodingCoder coder{encoder, coefficients, descendantPlanes, cut, realBytes + 8, &precision};
    BitPlaneWalk<EncodingCoder> walk(coder, shape, encoded);
    walk.run(topPlane);
    symbolsUsed = coder.count;
    cutPlane = coder.cutPlane;
    encoder.flush();
    const std::vector<uint8_t> bytes = encoder.stuffedBytes();
    stream.assign(size_t(length), 0);
    stream[0] = uint8_t(topPlane);
    stream[1] = kStreamMarker;
    for (size_t i = 0; i < bytes.size() && int(i) + 2 < std::min(realBytes, length); ++i)
        stream[i + 2] = bytes[i];
    if (decodeChannel(stream.data(), length, shape, decoded) != WltSuccess)
        return false;
    return std::memcmp(&decoded.value, &encoded.value, sizeof(Plane32)) == 0;
}

std::vector<uint8_t> ChannelEncoder::encode(int length, int realBytes)
{
    std::vector<uint8_t> stream;
    long all = 1L << 40;
    if (attempt(all, length, realBytes, stream))
        return stream;
    long low = 0;
    long high = symbolsUsed;
    while (low < high) {
        const long middle = (low + high + 1) / 2;
        if (attempt(middle, length, realBytes, stream))
            low = middle;
        else
            high = middle - 1;
    }
    attempt(low, length, realBytes, stream);
    return stream;
}

} // namespace wlt
