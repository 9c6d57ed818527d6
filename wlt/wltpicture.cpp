// From coefficients to the BMP: per-channel synthesis, colour, background, smoothing, file layout.
#include "wltpicture.h"

#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wltbits.h"
#include "wltdecoder.h"
#include "wlttransform.h"
#include "wltvectors.h"

#if defined(WLT_WIDE_VECTORS) && defined(__SSE2__)
#include <immintrin.h>
#define WLT_WIDE_PICTURE 1 // its AVX2 steps end on an SSE2 one
#endif

namespace wlt {

namespace {

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// The colour conversion is R = Y + 1.402 Cr, G = Y - 0.34414 Cb - 0.71414 Cr,
// B = Y + 1.772 Cb (Cb, Cr centred on 128), truncated and clamped. Sums below
// 0 clamp to 0 whichever way they round, so truncation is floor here, and
// the factors are exact fractions: 701/500, 17207/50000, 35707/50000, 443/250.
// The biases keep the numerators positive, so that / floors.
constexpr int kRedBias = 180;   // 701 x 128 / 500 < 180
constexpr int kGreenBias = 140; // (17207 + 35707) x 128 / 50000 < 140
constexpr int kBlueBias = 227;  // 443 x 128 / 250 < 227

// The double formula lands just below its exact -37 for this one (Cb, Cr)
// pair when Y is 94 to 165; output stays identical to it.
constexpr int kGreenLowCb = 28;
constexpr int kGreenLowCr = 228;
constexpr int kGreenLowLumaFirst = 94;
constexpr int kGreenLowLumaLast = 165;

struct Rgb {
    uint8_t r, g, b;
};

Rgb yccToRgb(int y, int cbByte, int crByte)
{
    const int cb = cbByte - 128;
    const int cr = crByte - 128;
    const int red = y + (701 * cr + 500 * kRedBias) / 500 - kRedBias;
    int green = y + (50000 * kGreenBias - 17207 * cb - 35707 * cr) / 50000 - kGreenBias;
    const int blue = y + (443 * cb + 250 * kBlueBias) / 250 - kBlueBias;
    if (cbByte == kGreenLowCb && crByte == kGreenLowCr && y >= kGreenLowLumaFirst && y <= kGreenLowLumaLast)
        --green;
    return Rgb{clampByte(red), clampByte(green), clampByte(blue)};
}

// Replaces each channel of the pixel at p by the truncated mean of its 3 x 3
// block as it stands; stride is the distance between rows, either sign.
void softenPixel(uint8_t *p, ptrdiff_t stride)
{
    for (int k = 0; k < 3; ++k) {
        int sum = 0;
        for (int i = -1; i <= 1; ++i) {
            const uint8_t *q = p + i * stride + k;
            sum += q[-3] + q[0] + q[3];
        }
        p[k] = uint8_t(sum / 9);
    }
}

void writeBmpHeader(uint8_t *out)
{
    std::memset(out, 0, kBmpHeaderSize);
    out[0] = 'B';
    out[1] = 'M';
    putLe32(out + 2, kBmpFileSize);
    putLe32(out + 10, kBmpHeaderSize);
    putLe32(out + 14, 40);
    putLe32(out + 18, kPictureCols);
    putLe32(out + 22, kPictureRows);
    out[26] = 1;  // planes
    out[28] = 24; // bits per pixel
}

void clampIntoChannel(const Plane8 &n, const Plane32 &values, Plane8 &channel)
{
    for (auto &row : channel)
        row.fill(0);
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            const int32_t v = values[r][c];
            if (n[r][c] > 0)
                channel[r][c] = v < 0 ? 0 : v > 255 ? 255 : uint8_t(v);
        }
    }
}

void keepCoefficients(const Plane8 &D, const Plane32 &decoded, Plane32 &values)
{
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c)
            values[r][c] = D[r][c] > 0 ? decoded[r][c] : 0;
    }
}

} // namespace

void reconstructChannel(const Plane8 &n, const Plane8 &D, const Plane32 &decoded, Plane8 &channel)
{
    Plane32 values;
    Plane8 mask = D;
    keepCoefficients(D, decoded, values);
    for (int a = kLevels; a >= 1; --a)
        synthesizeLevel(mask, values, a);
    clampIntoChannel(n, values, channel);
}

// The planned synthesis reads only where D is 1 and clamps into the channel
// itself; its runs at the last level are the shape n.
void reconstructChannel(const SynthesisPlan &plan, const Plane32 &decoded, Plane8 &channel)
{
    Plane32 values = decoded;
    synthesizeIntoChannel(plan, values, channel);
}

void yccRowToRgb(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, uint8_t *pictureRow)
{
    for (int c = 0; c < kPictureCols; ++c) {
        const Rgb rgb = yccToRgb(yRow[c], cbRow[c], crRow[c]);
        pictureRow[3 * c + 0] = rgb.r;
        pictureRow[3 * c + 1] = rgb.g;
        pictureRow[3 * c + 2] = rgb.b;
    }
}

void assemblePicture(const Plane8 &yPlane, const Plane8 &cbPlane, const Plane8 &crPlane,
                     const Plane8 &n, const Colour &fixNum, Picture &picture)
{
    constexpr int kStride = kPictureCols * 3;
    for (int r = 0; r < kPictureRows; ++r)
        yccRowToRgb(yPlane[r].data(), cbPlane[r].data(), crPlane[r].data(), &picture[size_t(r) * kStride]);

    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            if (n[r][c] == 0) {
                uint8_t *p = &picture[size_t(r) * kStride + 3 * c];
                p[0] = fixNum.r;
                p[1] = fixNum.g;
                p[2] = fixNum.b;
            }
        }
    }

    // Soften the outline: background pixels touching the shape take the mean
    // of their neighbourhood, already-softened neighbours included. The
    // picture's border pixels are left alone.
    for (int r = 1; r < kPictureRows - 1; ++r) {
        for (int c = 1; c < kPictureCols - 1; ++c) {
            if (n[r][c] != 0)
                continue;
            bool nearShape = false;
            for (int i = -1; i <= 1 && !nearShape; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    if (n[r + i][c + j] > 0) {
                        nearShape = true;
                        break;
                    }
                }
            }
            if (nearShape)
                softenPixel(&picture[size_t(r) * kStride + 3 * c], kStride);
        }
    }
}

namespace {

// Background pixels that touch the shape, away from the picture's border;
// bit c of a mask stands for column c.
LineBits pixelsToSoften(const LineBits &above, const LineBits &row, const LineBits &below)
{
    constexpr LineBits kInner = LineBits::first(kPictureCols - 1) & ~LineBits::first(1);
    const LineBits v = above | row | below;
    return (v | v.fromPrevious() | v.fromNext()) & ~row & kInner;
}

constexpr int kRowPixels = kPlaneCols; // whole plane rows are converted, the picture's part kept
constexpr int kBackgroundRunBytes = 3 * 16;

#ifdef __SSE2__

// Four B G R 0 pixels to 12 bytes B G R B G R ..., stored with 4 spare
// bytes after them, which the next store overwrites.
inline __attribute__((always_inline)) void storeFourPixels(__m128i quad, uint8_t *out)
{
    // Two pixels per 64-bit lane to its low 6 bytes, then the lanes together.
    const __m128i firstPixel = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i secondPixel = _mm_set1_epi64x(0x0000FFFFFF000000);
    const __m128i firstSix = _mm_set_epi32(0, 0, 0x0000FFFF, -1);
    const __m128i pairs = _mm_or_si128(_mm_and_si128(quad, firstPixel),
                                       _mm_and_si128(_mm_srli_epi64(quad, 8), secondPixel));
    const __m128i packed = _mm_or_si128(_mm_and_si128(pairs, firstSix),
                                        _mm_andnot_si128(firstSix, _mm_srli_si128(pairs, 2)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), packed);
}

// 16 pixels from 16-byte B, G and R vectors to 48 bytes B G R B G R ...,
// and 4 spare bytes.
inline __attribute__((always_inline)) void storeBgr(__m128i b, __m128i g, __m128i r, uint8_t *out)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i bgLow = _mm_unpacklo_epi8(b, g);
    const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rLow = _mm_unpacklo_epi8(r, zero);
    const __m128i rHigh = _mm_unpackhi_epi8(r, zero);
    storeFourPixels(_mm_unpacklo_epi16(bgLow, rLow), out);
    storeFourPixels(_mm_unpackhi_epi16(bgLow, rLow), out + 12);
    storeFourPixels(_mm_unpacklo_epi16(bgHigh, rHigh), out + 24);
    storeFourPixels(_mm_unpackhi_epi16(bgHigh, rHigh), out + 36);
}

// The integers of the vector conversions (yccToRgb8, yccToRgb16). Each
// factor splits into a whole part and a fraction: 701/500 = 1 + 201/500,
// 443/250 = 1 + 193/250, and -(17207 Cb + 35707 Cr) / 50000 =
// (14293 Cr - 17207 Cb) / 50000 - Cr. The fractions' numerators are biased
// positive by offset x divisor; R's and B's are divided by a multiply-high by
// 33555 and a shift (x 33555 / 2^24 is x / 500, / 2^23 is x / 250).
constexpr int16_t kRedFraction = 201;
constexpr int16_t kRedOffset = 52;
constexpr int16_t kRedBiased = kRedOffset * 500;
constexpr int kRedShift = 8;
constexpr int16_t kBlueFraction = 193;
constexpr int16_t kBlueOffset = 99;
constexpr int16_t kBlueBiased = kBlueOffset * 250;
constexpr int kBlueShift = 7;
constexpr int16_t kDivisionMultiplier = int16_t(33555);
constexpr int32_t kGreenFractions = int32_t(uint32_t(uint16_t(-17207)) << 16 | 14293); // Cb's, Cr's
constexpr int32_t kGreenDivisor = 50000;
constexpr int16_t kGreenOffset = 81;

// R, G, B of 8 pixels in 16-bit lanes, before clamping; y, cb, cr centred as
// in yccToRgb. G takes the quotient by 50000 of a numerator below 2^24 in
// single precision, which truncates exactly for every (Cb, Cr).
inline __attribute__((always_inline)) void yccToRgb8(__m128i y, __m128i cb, __m128i cr, __m128i &red, __m128i &green,
                                                    __m128i &blue)
{
    const __m128i divide = _mm_set1_epi16(kDivisionMultiplier);
    const __m128i redNumerator = _mm_add_epi16(_mm_mullo_epi16(cr, _mm_set1_epi16(kRedFraction)), _mm_set1_epi16(kRedBiased));
    const __m128i redFloor = _mm_srli_epi16(_mm_mulhi_epu16(redNumerator, divide), kRedShift);
    red = _mm_add_epi16(_mm_add_epi16(y, cr), _mm_sub_epi16(redFloor, _mm_set1_epi16(kRedOffset)));

    const __m128i blueNumerator = _mm_add_epi16(_mm_mullo_epi16(cb, _mm_set1_epi16(kBlueFraction)), _mm_set1_epi16(kBlueBiased));
    const __m128i blueFloor = _mm_srli_epi16(_mm_mulhi_epu16(blueNumerator, divide), kBlueShift);
    blue = _mm_add_epi16(_mm_add_epi16(y, cb), _mm_sub_epi16(blueFloor, _mm_set1_epi16(kBlueOffset)));

    const __m128i factors = _mm_set1_epi32(kGreenFractions);
    const __m128i bias = _mm_set1_epi32(kGreenDivisor * kGreenOffset);
    const __m128 reciprocal = _mm_set1_ps(1.0f / float(kGreenDivisor));
    auto quotient = [&](__m128i crCb) {
        const __m128i numerator = _mm_add_epi32(_mm_madd_epi16(crCb, factors), bias);
        return _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(numerator), reciprocal));
    };
    const __m128i greenFloor = _mm_packs_epi32(quotient(_mm_unpacklo_epi16(cr, cb)),
                                               quotient(_mm_unpackhi_epi16(cr, cb)));
    green = _mm_add_epi16(_mm_sub_epi16(y, cr), _mm_sub_epi16(greenFloor, _mm_set1_epi16(kGreenOffset)));
}

// softenPixel over the pixels of mask in one row, in order, with each
// row's three pixels summed in 16-bit lanes; the division by 9 is a
// multiply-high, exact for sums up to 9 x 255. A pixel right after a
// softened one takes its bytes from a register: a load across their three
// fresh byte stores would wait for them to reach memory.
void softenRow(uint8_t *row, ptrdiff_t stride, const LineBits &mask)
{
    const __m128i zero = _mm_setzero_si128();
    auto leftAndCentre = [zero](const uint8_t *q) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(q - 3)), zero);
    };
    int previous = -2;
    uint64_t previousBytes = 0;
    forEachBit(mask, [&](int c) {
        uint8_t *p = row + 3 * c;
        __m128i centre;
        if (previous == c - 1) {
            uint64_t bytes; // p[0 .. 7], within the row (c < kPictureCols - 1)
            std::memcpy(&bytes, p, sizeof bytes);
            centre = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(bytes << 24 | previousBytes)), zero);
        } else {
            centre = leftAndCentre(p);
        }
        const __m128i columns = _mm_add_epi16(_mm_add_epi16(leftAndCentre(p - stride), centre), leftAndCentre(p + stride));
        // Lanes 0..7 hold bytes -3..4 of the three rows; byte 5 comes apart.
        const int lastByte = p[5 - stride] + p[5] + p[5 + stride];
        const __m128i sum = _mm_add_epi16(_mm_add_epi16(columns, _mm_srli_si128(columns, 6)),
                                          _mm_insert_epi16(_mm_srli_si128(columns, 12), lastByte, 2));
        const __m128i mean = _mm_mulhi_epu16(sum, _mm_set1_epi16(7282)); // 65536 / 9, rounded up
        const uint32_t bytes = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(mean, mean)));
        p[0] = uint8_t(bytes);
        p[1] = uint8_t(bytes >> 8);
        p[2] = uint8_t(bytes >> 16);
        previous = c;
        previousBytes = bytes & 0xFFFFFF;
    });
}

// The background colour, a byte per channel in every lane.
struct BackgroundBytes {
    __m128i red, green, blue;
};

// Pixels c .. c + 15 of a plane row into 48 B G R bytes at bgr + 3c and 4
// spare bytes; their shape pixels join inside.
inline __attribute__((always_inline)) void convertSixteen(const uint8_t *yRow, const uint8_t *cbRow,
                                                          const uint8_t *crRow, const uint8_t *nRow, int c,
                                                          const BackgroundBytes &fix, const uint8_t *backgroundRun,
                                                          uint8_t *bgr, LineBits &inside)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i centre = _mm_set1_epi16(128);
    const __m128i background = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(nRow + c)), zero);
    const uint32_t backgroundBits = uint32_t(_mm_movemask_epi8(background));
    inside.w[c >> 6] |= uint64_t(~backgroundBits & 0xFFFF) << (c & 63);
    if (backgroundBits == 0xFFFF) {
        std::memcpy(bgr + 3 * c, backgroundRun, kBackgroundRunBytes);
        return;
    }
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(yRow + c));
    const __m128i cb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cbRow + c));
    const __m128i cr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(crRow + c));
    __m128i red[2], green[2], blue[2];
    yccToRgb8(_mm_unpacklo_epi8(y, zero), _mm_sub_epi16(_mm_unpacklo_epi8(cb, zero), centre),
              _mm_sub_epi16(_mm_unpacklo_epi8(cr, zero), centre), red[0], green[0], blue[0]);
    yccToRgb8(_mm_unpackhi_epi8(y, zero), _mm_sub_epi16(_mm_unpackhi_epi8(cb, zero), centre),
              _mm_sub_epi16(_mm_unpackhi_epi8(cr, zero), centre), red[1], green[1], blue[1]);
    __m128i r8 = _mm_packus_epi16(red[0], red[1]);
    __m128i g8 = _mm_packus_epi16(green[0], green[1]);
    __m128i b8 = _mm_packus_epi16(blue[0], blue[1]);

    // Y - 38 instead of Y - 37 in the one case the double formula rounds down.
    const __m128i lumaFromFirst = _mm_sub_epi8(y, _mm_set1_epi8(char(kGreenLowLumaFirst)));
    const __m128i inRange = _mm_cmpeq_epi8(
        _mm_min_epu8(lumaFromFirst, _mm_set1_epi8(char(kGreenLowLumaLast - kGreenLowLumaFirst))), lumaFromFirst);
    const __m128i off = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(cb, _mm_set1_epi8(char(kGreenLowCb))),
                                                    _mm_cmpeq_epi8(cr, _mm_set1_epi8(char(kGreenLowCr)))),
                                      inRange);
    g8 = _mm_add_epi8(g8, off);

    r8 = _mm_or_si128(_mm_andnot_si128(background, r8), _mm_and_si128(background, fix.red));
    g8 = _mm_or_si128(_mm_andnot_si128(background, g8), _mm_and_si128(background, fix.green));
    b8 = _mm_or_si128(_mm_andnot_si128(background, b8), _mm_and_si128(background, fix.blue));
    storeBgr(b8, g8, r8, bgr + 3 * c);
}

BackgroundBytes backgroundBytes(const Colour &fixNum)
{
    return BackgroundBytes{_mm_set1_epi8(char(fixNum.r)), _mm_set1_epi8(char(fixNum.g)), _mm_set1_epi8(char(fixNum.b))};
}

// One plane row into kRowPixels B G R pixels and 4 spare bytes; returns the
// row's shape pixels as bits. backgroundRun: the background colour's 16 pixels.
LineBits convertRow(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, const uint8_t *nRow,
                   const Colour &fixNum, const uint8_t *backgroundRun, uint8_t *bgr)
{
    const BackgroundBytes fix = backgroundBytes(fixNum);
    LineBits inside;
    for (int c = 0; c < kRowPixels; c += 16)
        convertSixteen(yRow, cbRow, crRow, nRow, c, fix, backgroundRun, bgr, inside);
    return inside;
}

#ifdef WLT_WIDE_PICTURE

// yccToRgb8 for 16 pixels, in the 256-bit registers' 16-bit lanes.
__attribute__((target("avx2"), always_inline)) inline void yccToRgb16(__m256i y, __m256i cb, __m256i cr,
                                                                      __m256i &red, __m256i &green, __m256i &blue)
{
    const __m256i divide = _mm256_set1_epi16(kDivisionMultiplier);
    const __m256i redNumerator =
        _mm256_add_epi16(_mm256_mullo_epi16(cr, _mm256_set1_epi16(kRedFraction)), _mm256_set1_epi16(kRedBiased));
    const __m256i redFloor = _mm256_srli_epi16(_mm256_mulhi_epu16(redNumerator, divide), kRedShift);
    red = _mm256_add_epi16(_mm256_add_epi16(y, cr), _mm256_sub_epi16(redFloor, _mm256_set1_epi16(kRedOffset)));

    const __m256i blueNumerator =
        _mm256_add_epi16(_mm256_mullo_epi16(cb, _mm256_set1_epi16(kBlueFraction)), _mm256_set1_epi16(kBlueBiased));
    const __m256i blueFloor = _mm256_srli_epi16(_mm256_mulhi_epu16(blueNumerator, divide), kBlueShift);
    blue = _mm256_add_epi16(_mm256_add_epi16(y, cb), _mm256_sub_epi16(blueFloor, _mm256_set1_epi16(kBlueOffset)));

    const __m256i factors = _mm256_set1_epi32(kGreenFractions);
    const __m256i bias = _mm256_set1_epi32(kGreenDivisor * kGreenOffset);
    const __m256 reciprocal = _mm256_set1_ps(1.0f / float(kGreenDivisor));
    const __m256i lowNumerator = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(cr, cb), factors), bias);
    const __m256i highNumerator = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(cr, cb), factors), bias);
    const __m256i greenFloor =
        _mm256_packs_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(lowNumerator), reciprocal)),
                           _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(highNumerator), reciprocal)));
    green = _mm256_add_epi16(_mm256_sub_epi16(y, cr), _mm256_sub_epi16(greenFloor, _mm256_set1_epi16(kGreenOffset)));
}

// Byte j of the 48 B G R bytes of 16 pixels is channel j % 3 (B, G, R) of
// pixel j / 3: per 16-byte block, where each channel's bytes come from.
struct BgrShuffles {
    int8_t from[3][3][16]; // [block][channel][byte]: the pixel, or -1 for none
};
constexpr BgrShuffles bgrShuffles()
{
    BgrShuffles shuffles{};
    for (int block = 0; block < 3; ++block) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int i = 0; i < 16; ++i) {
                const int j = 16 * block + i;
                shuffles.from[block][channel][i] = int8_t(j % 3 == channel ? j / 3 : -1);
            }
        }
    }
    return shuffles;
}
constexpr BgrShuffles kBgrShuffles = bgrShuffles();

// storeBgr by byte shuffles (no spare bytes written).
__attribute__((target("avx2"), always_inline)) inline void storeBgrShuffled(__m128i b, __m128i g, __m128i r,
                                                                            uint8_t *out)
{
    for (int block = 0; block < 3; ++block) {
        const int8_t(&from)[3][16] = kBgrShuffles.from[block];
        const __m128i bytes = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(b, _mm_loadu_si128(reinterpret_cast<const __m128i *>(from[0]))),
                         _mm_shuffle_epi8(g, _mm_loadu_si128(reinterpret_cast<const __m128i *>(from[1])))),
            _mm_shuffle_epi8(r, _mm_loadu_si128(reinterpret_cast<const __m128i *>(from[2]))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * block), bytes);
    }
}

// convertSixteen for pixels c .. c + 31. The unpacks and packs stay within
// each 128-bit half, so each half holds its own 16 pixels throughout.
__attribute__((target("avx2"), always_inline)) inline void
convertThirtyTwo(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, const uint8_t *nRow, int c,
                 const BackgroundBytes &fix, const uint8_t *backgroundRun, uint8_t *bgr, LineBits &inside)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i centre = _mm256_set1_epi16(128);
    const __m256i background = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(nRow + c)), zero);
    const uint32_t backgroundBits = uint32_t(_mm256_movemask_epi8(background));
    inside.w[c >> 6] |= uint64_t(~backgroundBits) << (c & 63);
    if (backgroundBits == 0xFFFFFFFFu) {
        std::memcpy(bgr + 3 * c, backgroundRun, kBackgroundRunBytes);
        std::memcpy(bgr + 3 * c + kBackgroundRunBytes, backgroundRun, kBackgroundRunBytes);
        return;
    }
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(yRow + c));
    const __m256i cb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(cbRow + c));
    const __m256i cr = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(crRow + c));
    __m256i red[2], green[2], blue[2];
    yccToRgb16(_mm256_unpacklo_epi8(y, zero), _mm256_sub_epi16(_mm256_unpacklo_epi8(cb, zero), centre),
               _mm256_sub_epi16(_mm256_unpacklo_epi8(cr, zero), centre), red[0], green[0], blue[0]);
    yccToRgb16(_mm256_unpackhi_epi8(y, zero), _mm256_sub_epi16(_mm256_unpackhi_epi8(cb, zero), centre),
               _mm256_sub_epi16(_mm256_unpackhi_epi8(cr, zero), centre), red[1], green[1], blue[1]);
    __m256i r8 = _mm256_packus_epi16(red[0], red[1]);
    __m256i g8 = _mm256_packus_epi16(green[0], green[1]);
    __m256i b8 = _mm256_packus_epi16(blue[0], blue[1]);

    const __m256i lumaFromFirst = _mm256_sub_epi8(y, _mm256_set1_epi8(char(kGreenLowLumaFirst)));
    const __m256i inRange = _mm256_cmpeq_epi8(
        _mm256_min_epu8(lumaFromFirst, _mm256_set1_epi8(char(kGreenLowLumaLast - kGreenLowLumaFirst))), lumaFromFirst);
    const __m256i off = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(cb, _mm256_set1_epi8(char(kGreenLowCb))),
                                                          _mm256_cmpeq_epi8(cr, _mm256_set1_epi8(char(kGreenLowCr)))),
                                         inRange);
    g8 = _mm256_add_epi8(g8, off);

    const __m256i fixRed = _mm256_broadcastsi128_si256(fix.red);
    const __m256i fixGreen = _mm256_broadcastsi128_si256(fix.green);
    const __m256i fixBlue = _mm256_broadcastsi128_si256(fix.blue);
    r8 = _mm256_blendv_epi8(r8, fixRed, background);
    g8 = _mm256_blendv_epi8(g8, fixGreen, background);
    b8 = _mm256_blendv_epi8(b8, fixBlue, background);
    storeBgrShuffled(_mm256_castsi256_si128(b8), _mm256_castsi256_si128(g8), _mm256_castsi256_si128(r8), bgr + 3 * c);
    storeBgrShuffled(_mm256_extracti128_si256(b8, 1), _mm256_extracti128_si256(g8, 1),
                     _mm256_extracti128_si256(r8, 1), bgr + 3 * c + 48);
}

__attribute__((target("avx2"))) LineBits convertRowWide(const uint8_t *yRow, const uint8_t *cbRow,
                                                        const uint8_t *crRow, const uint8_t *nRow,
                                                        const Colour &fixNum, const uint8_t *backgroundRun,
                                                        uint8_t *bgr)
{
    static_assert(kRowPixels % 32 == 16, "three wide steps and a narrow one per row");
    const BackgroundBytes fix = backgroundBytes(fixNum);
    LineBits inside;
    int c = 0;
    for (; c + 32 <= kRowPixels; c += 32)
        convertThirtyTwo(yRow, cbRow, crRow, nRow, c, fix, backgroundRun, bgr, inside);
    convertSixteen(yRow, cbRow, crRow, nRow, c, fix, backgroundRun, bgr, inside);
    return inside;
}

#endif

#else

void softenRow(uint8_t *row, ptrdiff_t stride, const LineBits &mask)
{
    forEachBit(mask, [&](int c) { softenPixel(row + 3 * c, stride); });
}

LineBits convertRow(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, const uint8_t *nRow,
                   const Colour &fixNum, const uint8_t *, uint8_t *bgr)
{
    LineBits bits;
    for (int c = 0; c < kRowPixels; ++c) {
        uint8_t *p = bgr + 3 * c;
        if (nRow[c] == 0) {
            p[0] = fixNum.b;
            p[1] = fixNum.g;
            p[2] = fixNum.r;
            continue;
        }
        const Rgb rgb = yccToRgb(yRow[c], cbRow[c], crRow[c]);
        p[0] = rgb.b;
        p[1] = rgb.g;
        p[2] = rgb.r;
        bits.set(c);
    }
    return bits;
}

#endif

} // namespace

void assembleBmp(const Plane8 &yPlane, const Plane8 &cbPlane, const Plane8 &crPlane, const Plane8 &n,
                 const Colour &fixNum, uint8_t *out)
{
    writeBmpHeader(out);
    uint8_t *const pixels = out + kBmpHeaderSize;
    // Picture row r is stored at row kPictureRows - 1 - r.
    auto rowAt = [pixels](int r) { return pixels + ptrdiff_t(kPictureRows - 1 - r) * kBmpRowSize; };
    uint8_t backgroundRun[kBackgroundRunBytes];
    for (int i = 0; i < kBackgroundRunBytes; i += 3) {
        backgroundRun[i] = fixNum.b;
        backgroundRun[i + 1] = fixNum.g;
        backgroundRun[i + 2] = fixNum.r;
    }
    // Rows are converted whole, spilling into the next row in memory, which
    // is written after; the last one in memory goes through a buffer.
    static_assert(3 * kRowPixels + 4 <= 2 * kBmpRowSize, "a row spills into the next one only");
    LineBits inside[kPictureRows];
    uint8_t lastRow[3 * kRowPixels + 4];
    auto convert = convertRow;
#ifdef WLT_WIDE_PICTURE
    if (wideVectors())
        convert = convertRowWide;
#endif
    for (int r = kPictureRows - 1; r >= 0; --r) {
        uint8_t *row = rowAt(r);
        uint8_t *target = r == 0 ? lastRow : row;
        inside[r] = convert(yPlane[r].data(), cbPlane[r].data(), crPlane[r].data(), n[r].data(), fixNum,
                            backgroundRun, target);
        inside[r] = inside[r] & LineBits::first(kPictureCols);
        if (r == 0)
            std::memcpy(row, lastRow, 3 * kPictureCols);
        row[3 * kPictureCols] = 0;
        row[3 * kPictureCols + 1] = 0;
    }

    // Softening in scan order: a pixel sees the softened values of those before it.
    for (int r = 1; r < kPictureRows - 1; ++r) {
        softenRow(rowAt(r), kBmpRowSize, pixelsToSoften(inside[r - 1], inside[r], inside[r + 1]));
    }
}

void writeBmp(const Picture &picture, uint8_t *out)
{
    writeBmpHeader(out);
    uint8_t *row = out + kBmpHeaderSize;
    for (int r = kPictureRows - 1; r >= 0; --r) {
        const uint8_t *src = &picture[size_t(r) * kPictureCols * 3];
        for (int c = 0; c < kPictureCols; ++c) {
            row[3 * c + 0] = src[3 * c + 2];
            row[3 * c + 1] = src[3 * c + 1];
            row[3 * c + 2] = src[3 * c + 0];
        }
        row[kPictureCols * 3] = 0;
        row[kPictureCols * 3 + 1] = 0;
        row += kBmpRowSize;
    }
}

} // namespace wlt
