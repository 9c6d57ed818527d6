#pragma once
// Internals shared by the encoder's stages (shape, bit-planes, colour and search).

#include <cstdint>
#include <vector>

#include "wltbitplane.h"
#include "wltencoder.h"

namespace wlt {

// Pixel (row, col) of a 102 x 126 RGB picture, 3 bytes each.
inline const uint8_t *pixelAt(const uint8_t *rgb, int row, int col)
{
    return rgb + (size_t(row) * kPictureCols + size_t(col)) * 3;
}

// 3 x 3 erosion or dilation within the picture (outside counts as outside).
Plane8 morph(const Plane8 &mask, bool dilate);

// One channel's coefficients coded as bit-planes into a stream of fixed
// length, checked by decoding it back.
struct ChannelEncoder {
    const Plane32 &coefficients;
    const ShapeIndex &shape;
    const Plane8 &r;
    Plane<uint32_t> descendantPlanes;
    int topPlane = 0;
    ChannelPlanes encoded;
    ChannelPlanes decoded;
    long symbolsUsed = 0;

    ChannelEncoder(const Plane32 &c, const ShapeIndex &index);

    // Filled by the last attempt: the lowest bit-plane each coefficient's
    // value reaches with the true symbols (-1: none), and the plane the first
    // symbol past the cut belongs to.
    Plane<int8_t> precision;
    int cutPlane = -1;

    // The stream (length bytes, zero from realBytes on) carrying the first
    // `cut` symbols; true when the decoder gets exactly what was meant.
    bool attempt(long cut, int length, int realBytes, std::vector<uint8_t> &stream);

    // The longest prefix of true symbols that the decoder reads back exactly
    // (in practice: the longest that fits).
    std::vector<uint8_t> encode(int length, int realBytes);
};

} // namespace wlt
