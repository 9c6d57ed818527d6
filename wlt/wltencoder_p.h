#pragma once
// Internals shared by the encoder's stages (shape, bit-planes, colour and search).

#include <cstdint>
#include <memory>
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

// Forward transform of one line: values and mask (0/1 and the moved codes)
// become the low half followed by the high half, as synthesizeLine expects.
void analyzeLine(LineMode mode, int count, int32_t *values, uint8_t *mask);
void analyzeLevel(Plane8 &mask, Plane32 &values, int level);
// Forward transform over all levels: mask is the 0/1 shape on input and its
// decomposition on output; values become the coefficients (0 where mask != 1).
void analyze(Plane8 &mask, Plane32 &values);

// One channel's stream and what the decoder makes of it.
struct ChannelCoding {
    std::vector<uint8_t> stream; // length bytes, zero from realBytes on
    ChannelPlanes planes;        // planes.value: the coefficients the decoder gets
    // The lowest bit-plane each coefficient's value reaches with the true
    // symbols (-1: none), and the plane the first symbol past the cut belongs
    // to (-1: nothing was cut).
    Plane<int8_t> precision;
    int cutPlane = -1;
};

// Codes one channel's coefficients as bit-planes into a stream of fixed
// length: the true symbols up to where the code the decoder is sure to get
// ends, or fewer when the decoder does not read that back exactly (checked
// by decoding the stream, for the codings a caller keeps). Keeps its planes
// from one coding to the next.
class ChannelEncoder {
public:
    explicit ChannelEncoder(const ShapeIndex &index);
    ~ChannelEncoder();

    // Codes with the cut where the code the decoder is sure to get ends,
    // unchecked. The result stays valid until the next encode.
    const ChannelCoding &encode(const Plane32 &coefficients, int length, int realBytes);
    // The last encode's coding once the decoder reads it back exactly: as it
    // is, or coded again with an earlier cut.
    const ChannelCoding &check();

private:
    // Codes with the given cut into the trial coding; when unchecked or read
    // back exactly, it becomes the kept one.
    bool attempt(long cut, int length, int realBytes, bool check);
    bool decodesAsMeant(const ChannelCoding &coding);

    const ShapeIndex &m_shape;
    const Plane32 *m_coefficients = nullptr;
    Plane<uint32_t> m_descendantPlanes;
    int m_topPlane = 0;
    std::unique_ptr<ChannelCoding> m_trial;
    std::unique_ptr<ChannelCoding> m_kept;
    std::unique_ptr<ChannelPlanes> m_check;
    // Where the true symbols that differ from the harmless ones were sent in
    // the coding that cut where the code ends.
    std::vector<long> m_departures;
    int m_length = 0;
    int m_realBytes = 0;
    bool m_checked = false;
};

} // namespace wlt
