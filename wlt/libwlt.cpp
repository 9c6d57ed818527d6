// The WLT block container: magic, descrambling, stream bounds, and Unpack_Data over the stages.
#include "libwlt.h"

#include <cstring>
#include <memory>

#include "wltdecoder.h"
#include "wltpicture.h"
#include "wlttransform.h"

namespace wlt {

namespace {

struct ResultText {
    int code;
    const char *meaning;
};

constexpr ResultText kResultTexts[] = {
    {WltSuccess, "success"},
    {WltNoMagic, "magic missing"},
    {WltBadShapeStreamSize, "input too short, or shape stream not within the block or longer than 1032 bytes"},
    {WltBadShapeStreamHeader, "shape-stream length 0 or less, or its first byte not 'o'"},
    {WltBadShapeFirstBit, "first shape bit not 0"},
    {WltNoShape, "shape-present value not 1"},
    {WltBadChain, "outline chain too long, leaving the picture, or not followed by a 0 bit"},
    {WltBadColourStreamSize, "a colour stream not within the block or not 2 to 1032 bytes long"},
    {WltBadColourStreamHeader, "a colour stream's byte 1 not 'o', or its top bit-plane above 29"},
    {WltListOverflow, "list reordering overflow"},
};

// The physical work copy: whatever the length fields say, nothing is read
// past the shape stream, the colour length and three colour streams, each
// stream at most kMaxStreamLength bytes long.
constexpr int kWorkCopyLimit = kShapeStreamOffset + 4 + 4 * kMaxStreamLength;

} // namespace

// Everything one decode needs: about 370 KB, reused by a Decoder.
struct Workspace {
    uint8_t work[kWorkCopyLimit];
    int64_t workLength = 0; // the logical length; bytes past kWorkCopyLimit are never read
    uint8_t shapeStream[kMaxStreamLength];
    uint8_t colourStreams[3][kMaxStreamLength];
    int colourLengths[3] = {};
    Colour fixNum;
    Chain chain;
    Plane8 n;
    ShapeIndex shape;
    SynthesisPlan synthesisPlan;
    ChannelPlanes planes;
    Plane8 channels[3];

    int decode(const uint8_t *input, int length, uint8_t *bmp);
};

// Everything after the magic check; bmp is written only on success.
int Workspace::decode(const uint8_t *input, int length, uint8_t *bmp)
{
    // Descramble into the work copy; past the input it reads zeros, so the
    // last colour stream, which reaches 30 bytes past the colour data, ends
    // in zeros.
    workLength = 2 * (int64_t(length) - kScrambledFrom) + kScrambledFrom;
    std::memset(work, 0, sizeof work);
    const int copied = length < kWorkCopyLimit ? length : kWorkCopyLimit;
    for (int i = 0; i < copied; ++i)
        work[i] = i >= kScrambledFrom ? uint8_t(input[i] ^ kWltScrambleMask) : input[i];

    if (length < kShapeStreamOffset)
        return WltBadShapeStreamSize;
    const int32_t shapeLength = readLe32(work + kShapeLengthOffset);
    if (shapeLength <= 0)
        return WltBadShapeStreamHeader;
    if (shapeLength > kMaxStreamLength || kShapeStreamOffset + int64_t(shapeLength) > workLength)
        return WltBadShapeStreamSize;
    std::memcpy(shapeStream, work + kShapeStreamOffset, size_t(shapeLength));
    if (shapeStream[0] != kStreamMarker)
        return WltBadShapeStreamHeader;

    QmDecoder shapeDecoder;
    shapeDecoder.start(shapeStream, shapeLength, 1);
    const int shapeResult = decodeShape(shapeDecoder, fixNum, chain);
    if (shapeResult != WltSuccess)
        return shapeResult;
    fillChain(chain, n);
    buildShapeIndex(n, shape, &synthesisPlan);

    int64_t offset = kShapeStreamOffset + int64_t(shapeLength);
    if (offset + 4 > workLength)
        return WltBadColourStreamSize;
    const StreamLengths lengths = colourStreamLengths(readLe32(work + offset));
    offset += 4;
    const int64_t streamLengths[3] = {lengths.l0, lengths.l1, lengths.l2};
    for (int c = 0; c < 3; ++c) {
        const int64_t l = streamLengths[c];
        if (l < 2 || l > kMaxStreamLength || offset + l > workLength)
            return WltBadColourStreamSize;
        std::memcpy(colourStreams[c], work + offset, size_t(l));
        colourLengths[c] = int(l);
        offset += l;
    }
    for (int c = 0; c < 3; ++c) {
        if (colourStreams[c][1] != kStreamMarker || colourStreams[c][0] > kMaxTopPlane)
            return WltBadColourStreamHeader;
    }

    for (int c = 0; c < 3; ++c) {
        const int result = decodeChannel(colourStreams[c], colourLengths[c], shape, planes);
        if (result != WltSuccess)
            return result;
        synthesizeIntoChannel(synthesisPlan, planes.value, channels[c], uint8_t(~planes.significantLevels));
    }
    assembleBmp(channels[0], channels[1], channels[2], n, fixNum, bmp);
    return WltSuccess;
}

StreamLengths colourStreamLengths(int64_t colourDataLength)
{
    const int64_t m = colourDataLength - 4;
    StreamLengths s;
    s.l0 = m * 85 / 100 + 10;
    s.l1 = m * 8 / 100 + 10;
    s.l2 = m - s.l0 - s.l1 + kLastStreamOverhang;
    return s;
}

} // namespace wlt

const char *wltResultText(int result)
{
    for (const auto &entry : wlt::kResultTexts) {
        if (entry.code == result)
            return entry.meaning;
    }
    return "unknown result";
}

namespace wlt {

Decoder::Decoder() = default;
Decoder::~Decoder() = default;

int Decoder::decode(const unsigned char *input, int length, unsigned char *output, int *outputLength)
{
    if (input == nullptr || length < int(sizeof kMagic) || std::memcmp(input, kMagic, sizeof kMagic) != 0)
        return WltNoMagic;
    if (output == nullptr || outputLength == nullptr)
        return WltBadShapeStreamSize;
    // Default-initialised: every part is written before it is read.
    if (!m_workspace)
        m_workspace.reset(new Workspace);
    const int result = m_workspace->decode(input, length, output);
    if (result == WltSuccess)
        *outputLength = kBmpFileSize;
    return result;
}

} // namespace wlt

libwlt::libwlt() = default;
libwlt::~libwlt() = default;

int libwlt::Unpack_Data(const unsigned char *input, int length, unsigned char *output, int *outputLength)
{
    return m_decoder.decode(input, length, output, outputLength);
}
