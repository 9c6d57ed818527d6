#include "wltencoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "wltdecoder.h"
#include "wltpicture.h"
#include "wlttransform.h"

namespace wlt {

namespace {

constexpr int BorderPixels = 2 * PictureCols + 2 * (PictureRows - 2);

const uint8_t *pixelAt(const uint8_t *rgb, int row, int col)
{
    return rgb + (size_t(row) * PictureCols + size_t(col)) * 3;
}

bool nearColour(const uint8_t *p, const Colour &c, int tolerance)
{
    return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance
           && std::abs(p[2] - c.b) <= tolerance;
}

template <typename F>
void forEachBorderPixel(F f)
{
    for (int c = 0; c < PictureCols; ++c) {
        f(0, c);
        f(PictureRows - 1, c);
    }
    for (int r = 1; r < PictureRows - 1; ++r) {
        f(r, 0);
        f(r, PictureCols - 1);
    }
}

// Marks the pixels the border reaches through 4-neighbours that `open` lets
// through, and makes the mask everything else.
template <typename Open>
void maskOutsideOfBorderFlood(Plane8 &mask, Open open)
{
    Plane8 outside{};
    std::vector<std::pair<int, int>> stack;
    forEachBorderPixel([&](int r, int c) {
        if (open(r, c)) {
            outside[r][c] = 1;
            stack.push_back({r, c});
        }
    });
    while (!stack.empty()) {
        auto [r, c] = stack.back();
        stack.pop_back();
        for (int d = 0; d < 8; d += 2) {
            const int nr = r + y[d];
            const int nc = c + x[d];
            if (nr >= 0 && nr < PictureRows && nc >= 0 && nc < PictureCols && !outside[nr][nc]
                && open(nr, nc)) {
                outside[nr][nc] = 1;
                stack.push_back({nr, nc});
            }
        }
    }
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c)
            mask[r][c] = outside[r][c] ? 0 : 1;
    }
}

// Keeps the largest 8-connected set of 1s.
void keepLargestComponent(Plane8 &mask)
{
    Plane<int16_t> label{};
    std::vector<int> sizes(1, 0);
    std::vector<std::pair<int, int>> stack;
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c) {
            if (!mask[r][c] || label[r][c])
                continue;
            const int id = int(sizes.size());
            sizes.push_back(0);
            stack.assign(1, {r, c});
            label[r][c] = int16_t(id);
            while (!stack.empty()) {
                auto [pr, pc] = stack.back();
                stack.pop_back();
                ++sizes[id];
                for (int d = 0; d < 8; ++d) {
                    const int nr = pr + y[d];
                    const int nc = pc + x[d];
                    if (nr >= 0 && nr < PictureRows && nc >= 0 && nc < PictureCols && mask[nr][nc]
                        && !label[nr][nc]) {
                        label[nr][nc] = int16_t(id);
                        stack.push_back({nr, nc});
                    }
                }
            }
        }
    }
    const int best = int(std::max_element(sizes.begin(), sizes.end()) - sizes.begin());
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c)
            mask[r][c] = label[r][c] == best && best > 0 ? 1 : 0;
    }
}

// Background pixels that the border cannot reach become part of the shape.
void fillHoles(Plane8 &mask)
{
    const Plane8 shape = mask;
    maskOutsideOfBorderFlood(mask, [&](int r, int c) { return !shape[r][c]; });
}

// 3 x 3 erosion or dilation within the picture (outside counts as outside).
Plane8 morph(const Plane8 &mask, bool dilate)
{
    Plane8 out{};
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c) {
            bool any = false, all = true;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    const int nr = r + i, nc = c + j;
                    const bool in = nr >= 0 && nr < PictureRows && nc >= 0 && nc < PictureCols
                                    ? mask[nr][nc] != 0
                                    : mask[r][c] != 0; // the border continues the picture
                    any = any || in;
                    all = all && in;
                }
            }
            out[r][c] = (dilate ? any : all) ? 1 : 0;
        }
    }
    return out;
}

int countDifferences(const Plane8 &a, const Plane8 &b)
{
    int differences = 0;
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c)
            differences += (a[r][c] != 0) != (b[r][c] != 0);
    }
    return differences;
}

// ---- Bit-plane coding --------------------------------------------------------

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
    for (int a = 2; a <= Levels; ++a) {
        for (int row = 0; row < PlaneRows >> (a - 1); ++row) {
            for (int col = 0; col < PlaneCols >> (a - 1); ++col) {
                if (coefficientLevel(row, col) != a)
                    continue;
                uint32_t bits = 0;
                for (int i = 0; i < 2; ++i) {
                    for (int j = 0; j < 2; ++j) {
                        const int cr = 2 * row + i, cc = 2 * col + j;
                        bits |= planes[cr][cc];
                        if (r[cr][cc] == MaskInside && coefficients[cr][cc] != 0)
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

struct ChannelEncoder {
    const Plane32 &coefficients;
    const ShapeIndex &shape;
    const Plane8 &r;
    Plane<uint32_t> descendantPlanes;
    int topPlane = 0;
    ChannelPlanes encoded;
    ChannelPlanes decoded;
    long symbolsUsed = 0;

    ChannelEncoder(const Plane32 &c, const ShapeIndex &index)
        : coefficients(c), shape(index), r(index.r)
    {
        computeDescendantPlanes(coefficients, r, descendantPlanes);
        int32_t largest = 0;
        for (int row = 0; row < PlaneRows; ++row) {
            for (int col = 0; col < PlaneCols; ++col) {
                if (r[row][col] == MaskInside)
                    largest = std::max(largest, std::abs(coefficients[row][col]));
            }
        }
        topPlane = std::max(0, magnitudePlane(largest));
    }

    // Filled by the last attempt (see EncodingCoder::precision).
    Plane<int8_t> precision;
    int cutPlane = -1;

    // The stream (length bytes, zero from realBytes on) carrying the first
    // `cut` symbols; true when the decoder gets exactly what was meant.
    bool attempt(long cut, int length, int realBytes, std::vector<uint8_t> &stream)
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
        stream[1] = StreamMarker;
        for (size_t i = 0; i < bytes.size() && int(i) + 2 < std::min(realBytes, length); ++i)
            stream[i + 2] = bytes[i];
        if (decodeChannel(stream.data(), length, shape, decoded) != WltSuccess)
            return false;
        return std::memcmp(&decoded.value, &encoded.value, sizeof(Plane32)) == 0;
    }

    // The longest prefix of true symbols that the decoder reads back exactly
    // (in practice: the longest that fits).
    std::vector<uint8_t> encode(int length, int realBytes)
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
};

// Squared error of the channel the decoder rebuilds from decoded.
double channelError(const Plane32 &original, const Plane8 &n, const ShapeIndex &shape,
                    const SynthesisPlan &plan, const Plane32 &decoded, Plane8 &rebuilt)
{
    reconstructChannel(n, shape.r, plan, decoded, rebuilt);
    double error = 0;
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c) {
            if (n[r][c]) {
                const double d = double(original[r][c]) - rebuilt[r][c];
                error += d * d;
            }
        }
    }
    return error;
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
    for (int r = 0; r < PlaneRows; ++r) {
        for (int c = 0; c < PlaneCols; ++c) {
            const int q = precision[r][c];
            const int32_t v = coefficients[r][c];
            const int32_t magnitude = std::abs(v);
            int32_t codedMagnitude = magnitude;
            if (q >= 1 && v != 0)
                codedMagnitude = magnitude + ((int32_t(5) << q) >> 3);
            else if (q < 0 && step > 0 && magnitude < step && magnitude >= threshold * step)
                codedMagnitude = step;
            coded[r][c] = v < 0 ? -codedMagnitude : codedMagnitude;
        }
    }
}

// The channel's stream, best of a few quantisations: each starts from where
// the plain coding ended and is refined over `rounds` codings, since the
// requantised values move the cut a little.
std::vector<uint8_t> encodeChannel(const Plane32 &samples, const ShapeIndex &shape, const SynthesisPlan &plan,
                                   const Plane8 &n, int length, int realBytes, int rounds,
                                   const std::vector<double> &thresholds, Plane8 &rebuilt)
{
    Plane8 mask = n;
    auto coefficients = std::make_unique<Plane32>(samples);
    analyze(mask, *coefficients);
    auto coded = std::make_unique<Plane32>();
    std::vector<uint8_t> best;
    double bestError = 0;
    auto keepIfBetter = [&](ChannelEncoder &encoder, std::vector<uint8_t> &stream) {
        auto candidate = std::make_unique<Plane8>();
        const double error = channelError(samples, n, shape, plan, encoder.decoded.value, *candidate);
        if (best.empty() || error < bestError) {
            best.swap(stream);
            bestError = error;
            rebuilt = *candidate;
        }
    };
    auto plain = std::make_unique<ChannelEncoder>(*coefficients, shape);
    std::vector<uint8_t> stream = plain->encode(length, realBytes);
    keepIfBetter(*plain, stream);
    for (double threshold : thresholds) {
        const ChannelEncoder *previous = plain.get();
        std::unique_ptr<ChannelEncoder> encoder;
        for (int round = 1; round < rounds; ++round) {
            requantize(*coefficients, previous->precision, previous->cutPlane, threshold, *coded);
            auto next = std::make_unique<ChannelEncoder>(*coded, shape);
            stream = next->encode(length, realBytes);
            keepIfBetter(*next, stream);
            encoder = std::move(next);
            previous = encoder.get();
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
    for (int row = 0; row < PictureRows; ++row) {
        for (int col = 0; col < PictureCols; ++col) {
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

void putLe32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

struct Work {
    Plane8 mask, n;
    ShapeIndex shape;
    SynthesisPlan plan;
    Plane32 channels[3];
    Chain chain;
};

// RGB squared error of the picture a block decodes to.
double pictureError(const std::vector<uint8_t> &block, const uint8_t *rgb)
{
    std::vector<uint8_t> bmp(BmpFileSize);
    int length = 0;
    libwlt decoder;
    if (decoder.Unpack_Data(block.data(), int(block.size()), bmp.data(), &length) != WltSuccess)
        return 1e300;
    double error = 0;
    for (int r = 0; r < PictureRows; ++r) {
        const uint8_t *row = &bmp[size_t(BmpHeaderSize + (PictureRows - 1 - r) * BmpRowSize)];
        for (int c = 0; c < PictureCols; ++c) {
            const uint8_t *p = pixelAt(rgb, r, c);
            for (int k = 0; k < 3; ++k) {
                const double d = double(p[k]) - row[3 * c + 2 - k];
                error += d * d;
            }
        }
    }
    return error;
}

// Luma that, with the chroma the decoder will have, comes closest to the
// picture's RGB (the decoder truncates, hence the half step).
void compensateLuma(const uint8_t *rgb, const Plane8 &cb, const Plane8 &cr, const Plane8 &n, Plane32 &luma)
{
    for (int r = 0; r < PictureRows; ++r) {
        for (int c = 0; c < PictureCols; ++c) {
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

// The block for one colour-data length; empty when that length does not fit.
std::vector<uint8_t> encodeBlock(const Work &work, const uint8_t *rgb, const std::vector<uint8_t> &shapeStream,
                                 int colourDataLength, int blockSize, int rounds, const std::vector<double> &thresholds)
{
    const int shapeLength = int(shapeStream.size());
    const StreamLengths lengths = colourStreamLengths(colourDataLength);
    const int streamLengths[3] = {int(lengths.l0), int(lengths.l1), int(lengths.l2)};
    const int64_t starts[3] = {ShapeStreamOffset + shapeLength + 4,
                               ShapeStreamOffset + shapeLength + 4 + lengths.l0,
                               ShapeStreamOffset + shapeLength + 4 + lengths.l0 + lengths.l1};
    // Each stream's header inside the block, and bytes left for each.
    int realBytes[3];
    for (int c = 0; c < 3; ++c) {
        if (streamLengths[c] < 2 || streamLengths[c] > MaxStreamLength)
            return {};
        realBytes[c] = int(std::min<int64_t>(streamLengths[c], blockSize - starts[c]));
        if (realBytes[c] < 8)
            return {};
    }

    std::vector<uint8_t> block(size_t(blockSize), 0);
    std::memcpy(block.data(), Magic, sizeof Magic);
    putLe32(&block[ShapeLengthOffset], uint32_t(shapeLength));
    std::memcpy(&block[ShapeStreamOffset], shapeStream.data(), shapeStream.size());
    putLe32(&block[size_t(ShapeStreamOffset + shapeLength)], uint32_t(colourDataLength));

    // Chroma first: luma then makes up for what the chroma gets wrong.
    auto rebuilt = std::make_unique<Plane8[]>(3);
    auto luma = std::make_unique<Plane32>(work.channels[0]);
    for (int c : {1, 2, 0}) {
        if (c == 0)
            compensateLuma(rgb, rebuilt[1], rebuilt[2], work.n, *luma);
        const Plane32 &samples = c == 0 ? *luma : work.channels[c];
        const std::vector<uint8_t> stream = encodeChannel(samples, work.shape, work.plan, work.n, streamLengths[c],
                                                          realBytes[c], rounds, thresholds, rebuilt[c]);
        std::memcpy(&block[size_t(starts[c])], stream.data(), size_t(realBytes[c]));
    }
    for (size_t i = ScrambledFrom; i < block.size(); ++i)
        block[i] ^= WltScrambleMask;
    return block;
}

} // namespace

void findShape(const uint8_t *rgb, int tolerance, Plane8 &mask, Colour &background)
{
    for (auto &row : mask)
        row.fill(0);
    // The background colour: the commonest coarse colour along the border,
    // averaged over the border pixels that have it.
    std::vector<int> bins(4096, 0);
    auto binOf = [](const uint8_t *p) { return (p[0] >> 4) << 8 | (p[1] >> 4) << 4 | (p[2] >> 4); };
    forEachBorderPixel([&](int r, int c) { ++bins[binOf(pixelAt(rgb, r, c))]; });
    const int bestBin = int(std::max_element(bins.begin(), bins.end()) - bins.begin());
    long sum[3] = {0, 0, 0};
    int count = 0;
    forEachBorderPixel([&](int r, int c) {
        const uint8_t *p = pixelAt(rgb, r, c);
        if (binOf(p) == bestBin) {
            for (int k = 0; k < 3; ++k)
                sum[k] += p[k];
            ++count;
        }
    });
    background.r = uint8_t((sum[0] + count / 2) / count);
    background.g = uint8_t((sum[1] + count / 2) / count);
    background.b = uint8_t((sum[2] + count / 2) / count);

    int nearCount = 0;
    forEachBorderPixel([&](int r, int c) { nearCount += nearColour(pixelAt(rgb, r, c), background, tolerance); });
    // An even background covers most of the border; anything less is taken
    // for part of the picture.
    if (nearCount * 2 < BorderPixels) {
        for (int r = 0; r < PictureRows; ++r)
            std::fill_n(mask[r].begin(), PictureCols, uint8_t(1));
        return;
    }

    // The background is what the border reaches through pixels near its colour.
    maskOutsideOfBorderFlood(mask, [&](int r, int c) { return nearColour(pixelAt(rgb, r, c), background, tolerance); });
    keepLargestComponent(mask);
    fillHoles(mask);
}

void outlineChain(const Plane8 &mask, Chain &chain, Plane8 &n)
{
    // Try the mask as it is, then ever smoother versions, until the outline
    // is short enough and its fill gives back the mask exactly.
    Plane8 candidate = mask;
    int bestDifferences = -1;
    Chain best;
    for (int attempt = 0; attempt < 8; ++attempt) {
        Chain trial;
        if (traceOutline(candidate, trial)) {
            Plane8 filled;
            fillChain(trial, filled);
            const int differences = countDifferences(filled, mask);
            if (bestDifferences < 0 || differences < bestDifferences) {
                bestDifferences = differences;
                best = trial;
            }
            if (countDifferences(filled, candidate) == 0)
                break;
        }
        // Opening removes one-pixel spurs and necks; closing then fills notches.
        Plane8 smoothed = morph(morph(candidate, false), true);
        if (attempt % 2 == 1)
            smoothed = morph(morph(smoothed, true), false);
        keepLargestComponent(smoothed);
        fillHoles(smoothed);
        bool empty = true;
        for (int r = 0; r < PictureRows && empty; ++r) {
            for (int c = 0; c < PictureCols && empty; ++c)
                empty = smoothed[r][c] == 0;
        }
        if (empty)
            break;
        candidate = smoothed;
    }
    if (bestDifferences < 0) {
        // Nothing traceable: a single pixel in the middle carries the colours.
        best = Chain{};
        best.x0 = PictureCols / 2;
        best.y0 = PictureRows / 2;
    }
    chain = best;
    fillChain(chain, n);
}

std::vector<uint8_t> encodePhoto(const uint8_t *rgb, const EncoderOptions &options)
{
    if (rgb == nullptr || options.blockSize < 128 || options.blockSize > WltBlockSize)
        return {};

    auto work = std::make_unique<Work>();
    Colour background;
    findShape(rgb, options.backgroundTolerance, work->mask, background);
    bool wholePicture = true;
    for (int r = 0; r < PictureRows && wholePicture; ++r)
        wholePicture = std::all_of(work->mask[r].begin(), work->mask[r].begin() + PictureCols, [](uint8_t v) { return v != 0; });
    if (!wholePicture) {
        for (int i = 0; i < options.shapeMargin; ++i)
            work->mask = morph(work->mask, true);
    }
    outlineChain(work->mask, work->chain, work->n);
    buildShapeIndex(work->n, work->shape, &work->plan);

    QmEncoder shapeEncoder;
    encodeShape(shapeEncoder, background, work->chain);
    shapeEncoder.flush();
    std::vector<uint8_t> shapeStream{StreamMarker};
    const std::vector<uint8_t> shapeBytes = shapeEncoder.stuffedBytes();
    shapeStream.insert(shapeStream.end(), shapeBytes.begin(), shapeBytes.end());
    shapeStream.push_back(0); // the last byte is never read

    const int shapeLength = int(shapeStream.size());
    if (shapeLength > MaxStreamLength)
        return {};
    toYcc(rgb, work->channels);

    // The split of the colour data follows from its length field, and the Cr
    // stream takes what is left of the block. A field a little short of the
    // block gives Cr (which the picture needs more than a few more bytes of
    // Y and Cb) some of their bytes: try a few lengths, keep the best picture.
    const int nominalLength = options.blockSize - ShapeStreamOffset - shapeLength;
    const std::vector<double> thresholds
        = !options.thorough ? std::vector<double>{0.6} : std::vector<double>{0.55, 0.6, 0.65, 0.7};
    std::vector<uint8_t> best;
    double bestError = 0;
    int bestShortening = 0;
    auto tryLength = [&](int shortening) {
        std::vector<uint8_t> block = encodeBlock(*work, rgb, shapeStream, nominalLength - shortening,
                                                 options.blockSize, options.thorough ? 3 : 2, thresholds);
        if (block.empty())
            return;
        const double error = pictureError(block, rgb);
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
