// Encoder, colour and search: YCbCr, quantisation choices, picture error, the block search.
#include "wltencoder_p.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "wltdecoder.h"
#include "wltpicture.h"
#include "wlttransform.h"

namespace wlt {

namespace {

// Squared error of the channel the decoder rebuilds from decoded.
double channelError(const Plane32 &original, const Plane8 &n, const SynthesisPlan &plan, const Plane32 &decoded,
                    Plane8 &rebuilt)
{
    reconstructChannel(plan, decoded, rebuilt);
    int64_t error = 0;
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            const int64_t d = n[r][c] ? int64_t(original[r][c]) - rebuilt[r][c] : 0;
            error += d * d;
        }
    }
    return double(error);
}

// How coefficients are quantised, given where the last coding of the channel
// ended. The decoder keeps the known bits of each value and zeros below, so
// values fall short by half a step on average: each significant magnitude is
// coded 5/8 of its last step higher, which rounds instead. A coefficient that
// stayed insignificant but comes within `threshold` of the last whole plane
// is coded as that plane's step, so that it is sent at all. (5/8 and
// thresholds near 0.6 were found best on the portrait.)
void requantize(const Plane32 &coefficients, const Plane<int8_t> &precision, int cutPlane, double threshold,
                Plane32 &coded)
{
    const int lastWholePlane = cutPlane + 1;
    const int32_t step = lastWholePlane > 0 && lastWholePlane < 31 ? int32_t(1) << lastWholePlane : 0;
    // Magnitudes are whole: at least threshold * step means at least its ceiling.
    const int32_t least = step > 0 ? int32_t(std::ceil(threshold * step)) : 0;
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c) {
            const int q = precision[r][c];
            const int32_t v = coefficients[r][c];
            const int32_t magnitude = std::abs(v);
            int32_t codedMagnitude = magnitude;
            if (q >= 1 && v != 0)
                codedMagnitude = magnitude + int32_t((int64_t(5) << q) >> 3);
            else if (q < 0 && step > 0 && magnitude < step && magnitude >= least)
                codedMagnitude = step;
            coded[r][c] = v < 0 ? -codedMagnitude : codedMagnitude;
        }
    }
}

// The wavelet coefficients of a channel's samples within the shape.
void analyzeChannel(const Plane32 &samples, const Plane8 &n, Plane32 &coefficients)
{
    Plane8 mask = n;
    coefficients = samples;
    analyze(mask, coefficients);
}

// Rounds of coding per threshold, the plain coding first: each later round
// requantises from where the round before ended, since the requantised
// values move the cut a little.
constexpr int kRounds = 3;

// The channel's stream, best of the plain coding and a few quantisations.
std::vector<uint8_t> encodeChannel(ChannelEncoder &encoder, const Plane32 &samples, const Plane32 &coefficients,
                                   const SynthesisPlan &plan, const Plane8 &n, int length, int realBytes,
                                   const std::vector<double> &thresholds, Plane8 &rebuilt)
{
    auto candidate = std::make_unique<Plane8>();
    std::vector<uint8_t> best;
    double bestError = 0;
    // A coding is checked only when it would be kept: one that a better one
    // beats may stay unchecked.
    auto keepIfBetter = [&](const ChannelCoding &unchecked) -> const ChannelCoding & {
        double error = channelError(samples, n, plan, unchecked.planes.value, *candidate);
        if (!best.empty() && error >= bestError)
            return unchecked;
        const ChannelCoding &coding = encoder.check();
        if (&coding != &unchecked || coding.stream != unchecked.stream)
            error = channelError(samples, n, plan, coding.planes.value, *candidate);
        if (best.empty() || error < bestError) {
            best = coding.stream;
            bestError = error;
            rebuilt = *candidate;
        }
        return coding;
    };
    // Every quantisation coded so far, with where its coding ended: nearby
    // thresholds often requantise alike, and the same values code the same.
    struct Coded {
        std::unique_ptr<Plane32> values = std::make_unique<Plane32>();
        std::unique_ptr<Plane<int8_t>> precision = std::make_unique<Plane<int8_t>>();
        int cutPlane = -1;
    };
    std::vector<Coded> coded;
    coded.reserve(thresholds.size() * size_t(kRounds - 1) + 1);
    const auto remember = [&](const Plane32 &values, const ChannelCoding &coding) {
        coded.emplace_back();
        *coded.back().values = values;
        *coded.back().precision = coding.precision;
        coded.back().cutPlane = coding.cutPlane;
    };
    const ChannelCoding &plain = keepIfBetter(encoder.encode(coefficients, length, realBytes));
    remember(coefficients, plain);
    auto next = std::make_unique<Plane32>();
    for (double threshold : thresholds) {
        size_t previous = 0; // the plain coding
        for (int round = 1; round < kRounds; ++round) {
            requantize(coefficients, *coded[previous].precision, coded[previous].cutPlane, threshold, *next);
            const auto same = std::find_if(coded.begin(), coded.end(), [&](const Coded &c) {
                return std::memcmp(c.values.get(), next.get(), sizeof(Plane32)) == 0;
            });
            if (same != coded.end()) {
                previous = size_t(same - coded.begin());
                continue;
            }
            const ChannelCoding &coding = keepIfBetter(encoder.encode(*next, length, realBytes));
            remember(*next, coding);
            previous = coded.size() - 1;
        }
    }
    return best;
}

void toYcc(const uint8_t *rgb, Plane32 planes[3])
{
    for (int c = 0; c < 3; ++c) {
        for (auto &row : planes[c])
            row.fill(0);
    }
    for (int row = 0; row < kPictureRows; ++row) {
        for (int col = 0; col < kPictureCols; ++col) {
            const uint8_t *p = pixelAt(rgb, row, col);
            const double r = p[0], g = p[1], b = p[2];
            // The decoder truncates its RGB results, so aim half a step high.
            const double luma = 0.299 * r + 0.587 * g + 0.114 * b + 0.5;
            const double cb = 128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b;
            const double cr = 128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b;
            planes[0][row][col] = int32_t(std::lround(std::min(255.0, luma)));
            planes[1][row][col] = int32_t(std::lround(cb));
            planes[2][row][col] = int32_t(std::lround(cr));
        }
    }
}

struct Work {
    Plane8 mask, n;
    ShapeIndex shape;
    SynthesisPlan plan;
    Plane32 channels[3];
    Plane32 chromaCoefficients[2]; // Cb, Cr
    Chain chain;
    Colour background;
    std::unique_ptr<ChannelEncoder> encoder;
};

// RGB squared error of the picture the decoder makes of the channels it
// rebuilds (the channels of a block are checked to decode as meant).
double pictureError(const Plane8 rebuilt[3], const Plane8 &n, const Colour &background, const uint8_t *rgb)
{
    auto picture = std::make_unique<Picture>();
    assemblePicture(rebuilt[0], rebuilt[1], rebuilt[2], n, background, *picture);
    double error = 0;
    for (size_t i = 0; i < picture->size(); ++i) {
        const double d = double(rgb[i]) - (*picture)[i];
        error += d * d;
    }
    return error;
}

// Luma that, with the chroma the decoder will have, comes closest to the
// picture's RGB (the decoder truncates, hence the half step).
void compensateLuma(const uint8_t *rgb, const Plane8 &cb, const Plane8 &cr, const Plane8 &n, Plane32 &luma)
{
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            if (!n[r][c])
                continue;
            const uint8_t *p = pixelAt(rgb, r, c);
            const double cbv = double(cb[r][c]) - 128.0;
            const double crv = double(cr[r][c]) - 128.0;
            const double target = ((p[0] - 1.402 * crv) + (p[1] + 0.34414 * cbv + 0.71414 * crv)
                                   + (p[2] - 1.772 * cbv)) / 3.0 + 0.5;
            luma[r][c] = int32_t(std::lround(std::min(255.0, std::max(0.0, target))));
        }
    }
}

// The block for one colour-data length and its picture's squared error;
// empty when that length does not fit.
std::vector<uint8_t> encodeBlock(Work &work, const uint8_t *rgb, const std::vector<uint8_t> &shapeStream,
                                 int colourDataLength, int blockSize, const std::vector<double> &thresholds,
                                 double &error)
{
    const int shapeLength = int(shapeStream.size());
    const StreamLengths lengths = colourStreamLengths(colourDataLength);
    const int streamLengths[3] = {int(lengths.l0), int(lengths.l1), int(lengths.l2)};
    const int64_t starts[3] = {kShapeStreamOffset + shapeLength + 4,
                               kShapeStreamOffset + shapeLength + 4 + lengths.l0,
                               kShapeStreamOffset + shapeLength + 4 + lengths.l0 + lengths.l1};
    // Each stream's header inside the block, and bytes left for each.
    int realBytes[3];
    for (int c = 0; c < 3; ++c) {
        if (streamLengths[c] < 2 || streamLengths[c] > kMaxStreamLength)
            return {};
        realBytes[c] = int(std::min<int64_t>(streamLengths[c], blockSize - starts[c]));
        if (realBytes[c] < 8)
            return {};
    }

    std::vector<uint8_t> block(size_t(blockSize), 0);
    std::memcpy(block.data(), kMagic, sizeof kMagic);
    putLe32(&block[kShapeLengthOffset], uint32_t(shapeLength));
    std::memcpy(&block[kShapeStreamOffset], shapeStream.data(), shapeStream.size());
    putLe32(&block[size_t(kShapeStreamOffset + shapeLength)], uint32_t(colourDataLength));

    // Chroma first: luma then makes up for what the chroma gets wrong.
    auto rebuilt = std::make_unique<Plane8[]>(3);
    auto luma = std::make_unique<Plane32>(work.channels[0]);
    auto lumaCoefficients = std::make_unique<Plane32>();
    for (int c : {1, 2, 0}) {
        if (c == 0) {
            compensateLuma(rgb, rebuilt[1], rebuilt[2], work.n, *luma);
            analyzeChannel(*luma, work.n, *lumaCoefficients);
        }
        const Plane32 &samples = c == 0 ? *luma : work.channels[c];
        const Plane32 &coefficients = c == 0 ? *lumaCoefficients : work.chromaCoefficients[c - 1];
        const std::vector<uint8_t> stream
            = encodeChannel(*work.encoder, samples, coefficients, work.plan, work.n, streamLengths[c],
                            realBytes[c], thresholds, rebuilt[c]);
        std::memcpy(&block[size_t(starts[c])], stream.data(), size_t(realBytes[c]));
    }
    for (size_t i = kScrambledFrom; i < block.size(); ++i)
        block[i] ^= kWltScrambleMask;
    error = pictureError(rebuilt.get(), work.n, work.background, rgb);
    return block;
}

} // namespace

std::vector<uint8_t> encodePhoto(const uint8_t *rgb, const EncoderOptions &options)
{
    if (rgb == nullptr || options.blockSize < 128 || options.blockSize > kWltBlockSize)
        return {};

    auto work = std::make_unique<Work>();
    findShape(rgb, options.backgroundTolerance, work->mask, work->background);
    bool wholePicture = true;
    for (int r = 0; r < kPictureRows && wholePicture; ++r)
        wholePicture = std::all_of(work->mask[r].begin(), work->mask[r].begin() + kPictureCols, [](uint8_t v) { return v != 0; });
    if (!wholePicture) {
        for (int i = 0; i < options.shapeMargin; ++i)
            work->mask = morph(work->mask, true);
    }
    outlineChain(work->mask, work->chain, work->n);
    buildShapeIndex(work->n, work->shape, &work->plan);
    work->encoder = std::make_unique<ChannelEncoder>(work->shape);

    QmEncoder shapeEncoder;
    encodeShape(shapeEncoder, work->background, work->chain);
    shapeEncoder.flush();
    std::vector<uint8_t> shapeStream{kStreamMarker};
    const std::vector<uint8_t> shapeBytes = shapeEncoder.stuffedBytes();
    shapeStream.insert(shapeStream.end(), shapeBytes.begin(), shapeBytes.end());
    shapeStream.push_back(0); // the last byte is never read

    const int shapeLength = int(shapeStream.size());
    if (shapeLength > kMaxStreamLength)
        return {};
    toYcc(rgb, work->channels);
    for (int c = 1; c < 3; ++c)
        analyzeChannel(work->channels[c], work->n, work->chromaCoefficients[c - 1]);

    // The split of the colour data follows from its length field, and the Cr
    // stream takes what is left of the block. A field a little short of the
    // block gives Cr (which the picture needs more than a few more bytes of
    // Y and Cb) some of their bytes: try a few lengths, keep the best picture.
    const int nominalLength = options.blockSize - kShapeStreamOffset - shapeLength;
    const std::vector<double> thresholds
        = !options.thorough ? std::vector<double>{0.6} : std::vector<double>{0.55, 0.6, 0.65, 0.7};
    std::vector<uint8_t> best;
    double bestError = 0;
    int bestShortening = 0;
    auto tryLength = [&](int shortening) {
        double error = 0;
        std::vector<uint8_t> block = encodeBlock(*work, rgb, shapeStream, nominalLength - shortening,
                                                 options.blockSize, thresholds, error);
        if (block.empty())
            return;
        if (best.empty() || error < bestError) {
            best.swap(block);
            bestError = error;
            bestShortening = shortening;
        }
    };
    if (!options.thorough) {
        tryLength(20);
        if (best.empty())
            tryLength(0);
        return best;
    }
    for (int shortening = 0; shortening <= 40; shortening += 10)
        tryLength(shortening);
    const int coarse = bestShortening;
    tryLength(coarse + 5);
    if (coarse > 0)
        tryLength(coarse - 5);
    return best;
}

} // namespace wlt
