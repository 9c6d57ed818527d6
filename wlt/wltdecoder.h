#pragma once
// Internals of the WLT block decoder, shared with the encoder and the tests.

#include "wltbitplane.h"

namespace wlt {

// Little-endian 32-bit fields, as the block and the BMP file store them.
inline int32_t readLe32(const uint8_t *p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}
inline void putLe32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

constexpr uint8_t kMagic[7] = {'W', 'L', 'f', 0x00, '~', 0x00, '2'};
constexpr int kScrambledFrom = 10;
constexpr int kShapeLengthOffset = 11;
constexpr int kShapeStreamOffset = 15;
constexpr int kMaxStreamLength = 1032;
constexpr uint8_t kStreamMarker = 'o';
// The largest top bit-plane whose values and steps fit 32-bit planes.
constexpr int kMaxTopPlane = 29;
// Bytes of the last colour stream that lie past the colour data.
constexpr int kLastStreamOverhang = 30;

struct StreamLengths {
    int64_t l0, l1, l2;
};
// The split of the colour data of length T (its own 4 length bytes
// included) into the Y, Cb and Cr streams.
StreamLengths colourStreamLengths(int64_t colourDataLength);

// Bit-plane decoding of one colour stream (byte 0: top plane, byte 1: 'o').
// Returns 1 or 11. The stream must hold at least 2 bytes and its top plane
// must not exceed kMaxTopPlane.
int decodeChannel(const uint8_t *stream, int length, const ShapeIndex &shape, ChannelPlanes &planes);

} // namespace wlt
