#pragma once
// The person's outline: a chain code from a start point, filled row by row
// into the shape mask.

#include "qmcoder.h"
#include "wltplanes.h"

namespace wlt {

constexpr int kMaxChainLength = 508;

// Column and row step of chain directions 0..7 (east, then clockwise).
inline constexpr int kColumnStep[8] = {1, 1, 0, -1, -1, -1, 0, 1};
inline constexpr int kRowStep[8] = {0, 1, 1, 1, 0, -1, -1, -1};
// Chain symbol s turns the direction by ChTb[s] - 4.
extern const int ChTb[8];

struct Chain {
    int x0 = 0; // column
    int y0 = 0; // row
    int count = 0;
    uint8_t directions[kMaxChainLength] = {};
};

struct Colour {
    uint8_t r = 0, g = 0, b = 0;
};

// Decodes the shape stream's fields; 1 on success, else the failure code
// (6, 7, or 8 for a chain that is too long, leaves the picture or is not
// followed by a 0 bit).
int decodeShape(QmDecoder &decoder, Colour &fixNum, Chain &chain);

// True when the start point and every point of the chain lie in the picture.
bool chainInsidePicture(const Chain &chain);

// The shape mask n (1 inside, 0 outside) that the chain's row-toggling fill
// gives. The chain must lie inside the picture.
void fillChain(const Chain &chain, Plane8 &n);

// ---- Encoder ---------------------------------------------------------------

// Traces the outer boundary of the 8-connected blob that holds the first
// pixel of mask (0/1 over the picture) in raster order, clockwise from that
// pixel. False when the mask is empty or the chain would be too long.
bool traceOutline(const Plane8 &mask, Chain &chain);

void encodeShape(QmEncoder &encoder, const Colour &fixNum, const Chain &chain);

} // namespace wlt
