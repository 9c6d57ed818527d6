#pragma once
// Encoding a 102 x 126 RGB picture into a WLT photo block that
// libwlt::Unpack_Data decodes (plain C++, no Qt).
//
//     // rgb: 102 x 126 pixels, rows top-down, 3 bytes R, G, B each
//     std::vector<unsigned char> block = wlt::encodePhoto(rgb);   // about 10 ms
//     // block.size() == kWltBlockSize, or empty when the options are unusable
//
// The person is told from an even, light background that touches the
// picture's border; the background is sent as one colour and the person as
// an outline plus wavelet-coded Y, Cb and Cr. A picture without such a
// background is coded whole.

#include <cstdint>
#include <vector>

#include "libwlt.h"
#include "wltplanes.h"
#include "wltshape.h"

namespace wlt {

struct EncoderOptions {
    // Bytes of the block, 128 .. 1024; the block is always this long.
    int blockSize = kWltBlockSize;
    // Largest per-channel difference from the background colour that still
    // counts as background.
    int backgroundTolerance = 28;
    // Background pixels around the person coded with the person: the decoder
    // softens the background next to the outline, which then blends
    // background with background instead of with the person.
    int shapeMargin = 3;
    // Tries several splits of the colour data and quantisations and keeps the
    // best picture: about 0.1 dB better, about ten times slower (around a
    // tenth of a second instead of ten milliseconds).
    bool thorough = false;
};

std::vector<uint8_t> encodePhoto(const uint8_t *rgb, const EncoderOptions &options = {});

// ---- Stages, for tests and tools -------------------------------------------

// The background colour and the person's mask (1 inside, over the picture).
// Without a background along the border the mask covers the whole picture.
void findShape(const uint8_t *rgb, int tolerance, Plane8 &mask, Colour &background);

// A chain whose fill gives mask, or the closest one found after smoothing the
// mask. n receives the fill that the decoder will make of the chain.
void outlineChain(const Plane8 &mask, Chain &chain, Plane8 &n);

} // namespace wlt
