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

// ---- Colour rows ------------------------------------------------------------
// A step converts L::kPixels pixels in the lane types of GCC's generic
// vectors: 16 pixels in SSE2 registers, 32 in AVX2 ones. Operators do the
// arithmetic; each width's struct adds what they cannot say (the mask's
// bits, saturating packs, multiply-high, pairwise multiply-add, the B G R
// store). Those take and give vectors by reference: by value, a 32-byte
// vector would pass from the shared steps into the AVX2 functions by
// another calling convention, which GCC warns about and Clang refuses.
// Inlined into the row functions, they leave no calls.

// The integers of the conversion. Each factor splits into a whole part and a
// fraction: 701/500 = 1 + 201/500, 443/250 = 1 + 193/250, and
// -(17207 Cb + 35707 Cr) / 50000 = (14293 Cr - 17207 Cb) / 50000 - Cr. The
// fractions' numerators are biased positive by offset x divisor; R's and B's
// are divided by a multiply-high by 33555 and a shift (x 33555 / 2^24 is
// x / 500, / 2^23 is x / 250).
constexpr uint16_t kRedFraction = 201;
constexpr int16_t kRedOffset = 52;
constexpr uint16_t kRedBiased = kRedOffset * 500;
constexpr int kRedShift = 8;
constexpr uint16_t kBlueFraction = 193;
constexpr int16_t kBlueOffset = 99;
constexpr uint16_t kBlueBiased = kBlueOffset * 250;
constexpr int kBlueShift = 7;
constexpr uint16_t kDivisionMultiplier = 33555;
constexpr int32_t kGreenFractions = int32_t(uint32_t(uint16_t(-17207)) << 16 | 14293); // Cb's, Cr's
constexpr int32_t kGreenDivisor = 50000;
constexpr int16_t kGreenOffset = 81;

template <int kCount>
struct PixelLanes {
    static constexpr int kPixels = kCount;
    typedef uint8_t Bytes __attribute__((vector_size(kCount)));
    typedef int8_t Mask __attribute__((vector_size(kCount)));
    // Words hold half a step's pixels, Ints and Floats a quarter.
    typedef int16_t Words __attribute__((vector_size(kCount)));
    typedef uint16_t UnsignedWords __attribute__((vector_size(kCount)));
    typedef int32_t Ints __attribute__((vector_size(kCount)));
    typedef float Floats __attribute__((vector_size(kCount)));
};

struct SixteenPixels : PixelLanes<16> {
    // Bit i set where lane i of mask is.
    static uint32_t bits(const Mask &mask) { return uint32_t(_mm_movemask_epi8(__m128i(mask))); }
    // Bytes 0-7 and 8-15 as words.
    static void widen(const Bytes &v, Words &low, Words &high)
    {
        low = Words(_mm_unpacklo_epi8(__m128i(v), __m128i{}));
        high = Words(_mm_unpackhi_epi8(__m128i(v), __m128i{}));
    }
    // a and b's words interleaved, the first half's then the second's.
    static void interleave(const Words &a, const Words &b, Words &low, Words &high)
    {
        low = Words(_mm_unpacklo_epi16(__m128i(a), __m128i(b)));
        high = Words(_mm_unpackhi_epi16(__m128i(a), __m128i(b)));
    }
    // The upper 16 bits of each product.
    static void multiplyHigh(const UnsignedWords &a, uint16_t factor, UnsignedWords &out)
    {
        out = UnsignedWords(_mm_mulhi_epu16(__m128i(a), _mm_set1_epi16(int16_t(factor))));
    }
    // Each pair of words times the pair of factors' halves, summed.
    static void multiplyAddPairs(const Words &pairs, int32_t factors, Ints &out)
    {
        out = Ints(_mm_madd_epi16(__m128i(pairs), _mm_set1_epi32(factors)));
    }
    // Saturating packs: the low lanes' then the high lanes'.
    static void packWords(const Ints &low, const Ints &high, Words &out)
    {
        out = Words(_mm_packs_epi32(__m128i(low), __m128i(high)));
    }
    static void packBytes(const Words &low, const Words &high, Bytes &out)
    {
        out = Bytes(_mm_packus_epi16(__m128i(low), __m128i(high)));
    }
    // 48 bytes B G R B G R ... and 4 spare bytes.
    static void storeBgr(const Bytes &b, const Bytes &g, const Bytes &r, uint8_t *out)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bgLow = _mm_unpacklo_epi8(__m128i(b), __m128i(g));
        const __m128i bgHigh = _mm_unpackhi_epi8(__m128i(b), __m128i(g));
        const __m128i rLow = _mm_unpacklo_epi8(__m128i(r), zero);
        const __m128i rHigh = _mm_unpackhi_epi8(__m128i(r), zero);
        storeFourPixels(_mm_unpacklo_epi16(bgLow, rLow), out);
        storeFourPixels(_mm_unpackhi_epi16(bgLow, rLow), out + 12);
        storeFourPixels(_mm_unpacklo_epi16(bgHigh, rHigh), out + 24);
        storeFourPixels(_mm_unpackhi_epi16(bgHigh, rHigh), out + 36);
    }
};

#ifdef WLT_WIDE_PICTURE

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

// The same steps on both 128-bit halves at once: unpacks and packs stay
// within each half, so each half holds its own 16 pixels throughout.
struct ThirtyTwoPixels : PixelLanes<32> {
    __attribute__((target("avx2"))) static uint32_t bits(const Mask &mask)
    {
        return uint32_t(_mm256_movemask_epi8(__m256i(mask)));
    }
    __attribute__((target("avx2"))) static void widen(const Bytes &v, Words &low, Words &high)
    {
        low = Words(_mm256_unpacklo_epi8(__m256i(v), __m256i{}));
        high = Words(_mm256_unpackhi_epi8(__m256i(v), __m256i{}));
    }
    __attribute__((target("avx2"))) static void interleave(const Words &a, const Words &b, Words &low, Words &high)
    {
        low = Words(_mm256_unpacklo_epi16(__m256i(a), __m256i(b)));
        high = Words(_mm256_unpackhi_epi16(__m256i(a), __m256i(b)));
    }
    __attribute__((target("avx2"))) static void multiplyHigh(const UnsignedWords &a, uint16_t factor,
                                                             UnsignedWords &out)
    {
        out = UnsignedWords(_mm256_mulhi_epu16(__m256i(a), _mm256_set1_epi16(int16_t(factor))));
    }
    __attribute__((target("avx2"))) static void multiplyAddPairs(const Words &pairs, int32_t factors, Ints &out)
    {
        out = Ints(_mm256_madd_epi16(__m256i(pairs), _mm256_set1_epi32(factors)));
    }
    __attribute__((target("avx2"))) static void packWords(const Ints &low, const Ints &high, Words &out)
    {
        out = Words(_mm256_packs_epi32(__m256i(low), __m256i(high)));
    }
    __attribute__((target("avx2"))) static void packBytes(const Words &low, const Words &high, Bytes &out)
    {
        out = Bytes(_mm256_packus_epi16(__m256i(low), __m256i(high)));
    }
    // 96 bytes B G R B G R ..., by byte shuffles (no spare bytes).
    __attribute__((target("avx2"))) static void storeBgr(const Bytes &b, const Bytes &g, const Bytes &r,
                                                         uint8_t *out)
    {
        storeSixteen(_mm256_castsi256_si128(__m256i(b)), _mm256_castsi256_si128(__m256i(g)),
                     _mm256_castsi256_si128(__m256i(r)), out);
        storeSixteen(_mm256_extracti128_si256(__m256i(b), 1), _mm256_extracti128_si256(__m256i(g), 1),
                     _mm256_extracti128_si256(__m256i(r), 1), out + 48);
    }
    __attribute__((target("avx2"))) static void storeSixteen(__m128i b, __m128i g, __m128i r, uint8_t *out)
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
};

#endif

// R, G, B before clamping, in words, from y, cb, cr centred as in yccToRgb.
// G takes the quotient by 50000 of a numerator below 2^24 in single
// precision, which truncates exactly for every (Cb, Cr).
template <typename L>
inline __attribute__((always_inline)) void yccToRgbWords(const typename L::Words &y, const typename L::Words &cb,
                                                         const typename L::Words &cr, typename L::Words &red,
                                                         typename L::Words &green, typename L::Words &blue)
{
    using Words = typename L::Words;
    using UnsignedWords = typename L::UnsignedWords;
    using Ints = typename L::Ints;
    using Floats = typename L::Floats;
    UnsignedWords redFloor, blueFloor;
    L::multiplyHigh(UnsignedWords(cr) * kRedFraction + kRedBiased, kDivisionMultiplier, redFloor);
    L::multiplyHigh(UnsignedWords(cb) * kBlueFraction + kBlueBiased, kDivisionMultiplier, blueFloor);
    red = y + cr + (Words(redFloor >> kRedShift) - kRedOffset);
    blue = y + cb + (Words(blueFloor >> kBlueShift) - kBlueOffset);

    Words crCb[2];
    Ints quotient[2];
    L::interleave(cr, cb, crCb[0], crCb[1]);
    for (int i = 0; i < 2; ++i) {
        Ints numerator;
        L::multiplyAddPairs(crCb[i], kGreenFractions, numerator);
        const Floats scaled = __builtin_convertvector(numerator + kGreenDivisor * kGreenOffset, Floats)
                              * (1.0f / float(kGreenDivisor));
        quotient[i] = __builtin_convertvector(scaled, Ints);
    }
    Words greenFloor;
    L::packWords(quotient[0], quotient[1], greenFloor);
    green = y - cr + (greenFloor - kGreenOffset);
}

// The background colour, a byte per channel in every lane.
template <typename L>
struct Background {
    explicit Background(const Colour &fixNum)
        : red(typename L::Bytes{} + fixNum.r), green(typename L::Bytes{} + fixNum.g),
          blue(typename L::Bytes{} + fixNum.b)
    {
    }
    typename L::Bytes red, green, blue;
};

// Pixels c .. c + L::kPixels - 1 of a plane row into their B G R bytes at
// bgr + 3c (SixteenPixels adds 4 spare bytes); their shape pixels join
// inside.
template <typename L>
inline __attribute__((always_inline)) void convertPixels(const uint8_t *yRow, const uint8_t *cbRow,
                                                         const uint8_t *crRow, const uint8_t *nRow, int c,
                                                         const Background<L> &fix, const uint8_t *backgroundRun,
                                                         uint8_t *bgr, LineBits &inside)
{
    using Bytes = typename L::Bytes;
    using Words = typename L::Words;
    constexpr uint32_t kAll = uint32_t(uint64_t(1) << L::kPixels) - 1;
    Bytes n, y, cb, cr;
    std::memcpy(&n, nRow + c, sizeof n);
    const typename L::Mask background = n == 0;
    const uint32_t backgroundBits = L::bits(background);
    inside.w[c >> 6] |= uint64_t(~backgroundBits & kAll) << (c & 63);
    if (backgroundBits == kAll) {
        for (int i = 0; i < L::kPixels; i += 16)
            std::memcpy(bgr + 3 * (c + i), backgroundRun, kBackgroundRunBytes);
        return;
    }
    std::memcpy(&y, yRow + c, sizeof y);
    std::memcpy(&cb, cbRow + c, sizeof cb);
    std::memcpy(&cr, crRow + c, sizeof cr);
    Words luma[2], blueDifference[2], redDifference[2], red[2], green[2], blue[2];
    L::widen(y, luma[0], luma[1]);
    L::widen(cb, blueDifference[0], blueDifference[1]);
    L::widen(cr, redDifference[0], redDifference[1]);
    for (int i = 0; i < 2; ++i)
        yccToRgbWords<L>(luma[i], blueDifference[i] - 128, redDifference[i] - 128, red[i], green[i], blue[i]);
    Bytes r8, g8, b8;
    L::packBytes(red[0], red[1], r8);
    L::packBytes(green[0], green[1], g8);
    L::packBytes(blue[0], blue[1], b8);

    // Y - 38 instead of Y - 37 in the one case the double formula rounds down.
    const Bytes lumaFromFirst = y - kGreenLowLumaFirst;
    const typename L::Mask lowGreen = (cb == kGreenLowCb) & (cr == kGreenLowCr)
                                      & (lumaFromFirst <= kGreenLowLumaLast - kGreenLowLumaFirst);
    g8 += Bytes(lowGreen);

    L::storeBgr(background ? fix.blue : b8, background ? fix.green : g8, background ? fix.red : r8, bgr + 3 * c);
}

// One plane row into kRowPixels B G R pixels and 4 spare bytes; returns the
// row's shape pixels as bits. backgroundRun: the background colour's 16
// pixels. Steps of L's width, and one of sixteen pixels for what is left.
template <typename L>
inline __attribute__((always_inline)) LineBits convertRowBy(const uint8_t *yRow, const uint8_t *cbRow,
                                                            const uint8_t *crRow, const uint8_t *nRow,
                                                            const Colour &fixNum, const uint8_t *backgroundRun,
                                                            uint8_t *bgr)
{
    static_assert(kRowPixels % 16 == 0, "rows end on a whole narrow step");
    const Background<L> fix(fixNum);
    LineBits inside;
    int c = 0;
    for (; c + L::kPixels <= kRowPixels; c += L::kPixels)
        convertPixels<L>(yRow, cbRow, crRow, nRow, c, fix, backgroundRun, bgr, inside);
    if (c < kRowPixels)
        convertPixels<SixteenPixels>(yRow, cbRow, crRow, nRow, c, Background<SixteenPixels>(fixNum), backgroundRun,
                                     bgr, inside);
    return inside;
}

LineBits convertRow(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, const uint8_t *nRow,
                   const Colour &fixNum, const uint8_t *backgroundRun, uint8_t *bgr)
{
    return convertRowBy<SixteenPixels>(yRow, cbRow, crRow, nRow, fixNum, backgroundRun, bgr);
}

#ifdef WLT_WIDE_PICTURE
__attribute__((target("avx2"))) LineBits convertRowWide(const uint8_t *yRow, const uint8_t *cbRow,
                                                        const uint8_t *crRow, const uint8_t *nRow,
                                                        const Colour &fixNum, const uint8_t *backgroundRun,
                                                        uint8_t *bgr)
{
    return convertRowBy<ThirtyTwoPixels>(yRow, cbRow, crRow, nRow, fixNum, backgroundRun, bgr);
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
