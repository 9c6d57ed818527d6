#pragma once
// libwlt: the identity card's WLT photo codec (plain C++, no Qt).
//
// Decoding a card's 1024-byte photo block into a 102 x 126 24-bit BMP file:
//
//     libwlt decoder;
//     unsigned char bmp[40960] = {};          // at least kWltBmpFileSize bytes
//     int bmpLength = 0;
//     int result = decoder.Unpack_Data(block, 1024, bmp, &bmpLength);
//     if (result != WltSuccess)
//         fprintf(stderr, "WLT %d: %s\n", result, wltResultText(result));
//
// A caller decoding many blocks keeps one libwlt (or wlt::Decoder): the
// workspace is allocated once. Encoding a picture into such a block: see
// wltencoder.h.

#include <cstdint>
#include <memory>

// Every byte of a block from offset 10 on is stored XORed with this mask.
constexpr uint8_t kWltScrambleMask = 0x5C;
constexpr int kWltBlockSize = 1024;
constexpr int kWltBmpFileSize = 38862;
constexpr int kWltPictureWidth = 102;
constexpr int kWltPictureHeight = 126;

// Unpack_Data results.
enum WltResult {
    WltSuccess = 1,
    WltNoMagic = 3,
    WltBadShapeStreamSize = 4,
    WltBadShapeStreamHeader = 5,
    WltBadShapeFirstBit = 6,
    WltNoShape = 7,
    WltBadChain = 8,
    WltBadColourStreamSize = 9,
    WltBadColourStreamHeader = 10,
    WltListOverflow = 11,
};

// A fixed English text for each result code ("unknown result" otherwise).
const char *wltResultText(int result);

namespace wlt {

struct Workspace;

// A decoder that keeps its workspace (about 370 KB, allocated on the first
// block) for the next block: a caller decoding many blocks keeps one.
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    // As libwlt::Unpack_Data.
    int decode(const unsigned char *input, int length, unsigned char *output, int *outputLength);

private:
    std::unique_ptr<Workspace> m_workspace;
};

} // namespace wlt

class libwlt {
public:
    libwlt();
    ~libwlt();

    // Decodes input[0 .. length) into a complete BMP file image. On success
    // returns 1, fills output[0 .. 38862) and sets *outputLength = 38862;
    // otherwise returns a WltResult code and writes nothing. output must hold
    // at least 38862 bytes; a null output or outputLength is refused with 4.
    // One object decodes block after block without allocating again.
    int Unpack_Data(const unsigned char *input, int length, unsigned char *output, int *outputLength);

private:
    wlt::Decoder m_decoder;
};
