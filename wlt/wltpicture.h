#pragma once
// From decoded coefficient planes to the 24-bit BMP file image.

#include "wltplanes.h"
#include "wltshape.h"

namespace wlt {

constexpr int kBmpHeaderSize = 54;
constexpr int kBmpRowSize = kPictureCols * 3 + 2; // 308: rows padded to 4 bytes
constexpr int kBmpFileSize = kBmpHeaderSize + kPictureRows * kBmpRowSize; // 38862

// Picture buffer: 126 rows of 102 pixels, R, G, B.
using Picture = std::array<uint8_t, kPictureRows * kPictureCols * 3>;

// Inverse transform of one channel's decoded values over the decomposed mask
// D, clamped to bytes; samples outside the shape n stay 0.
void reconstructChannel(const Plane8 &n, const Plane8 &D, const Plane32 &decoded, Plane8 &channel);
struct SynthesisPlan;
// The same, replaying the runs planned for D (their last level is the shape).
void reconstructChannel(const SynthesisPlan &plan, const Plane32 &decoded, Plane8 &channel);

void yccRowToRgb(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, uint8_t *pictureRow);

// Colour conversion, background fill and smoothing next to the shape.
void assemblePicture(const Plane8 &yPlane, const Plane8 &cbPlane, const Plane8 &crPlane,
                     const Plane8 &n, const Colour &fixNum, Picture &picture);

void writeBmp(const Picture &picture, uint8_t *out);

// assemblePicture and writeBmp in one pass, straight into the kBmpFileSize
// bytes at out: the same bytes, at a fraction of the cost.
void assembleBmp(const Plane8 &yPlane, const Plane8 &cbPlane, const Plane8 &crPlane, const Plane8 &n,
                 const Colour &fixNum, uint8_t *out);

} // namespace wlt
