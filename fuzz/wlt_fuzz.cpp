// libFuzzer target: Unpack_Data on arbitrary blocks must return success with
// a whole bitmap or one of its failure codes, and touch nothing outside its
// buffers (AddressSanitizer and UndefinedBehaviorSanitizer watch).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "libwlt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    // An exact-size copy, so that any read past the block is caught. (Copies
    // and fills go through libc: instrumented loops here would cost more than
    // the decoding.)
    std::unique_ptr<unsigned char[]> block(new unsigned char[size ? size : 1]);
    std::memcpy(block.get(), data, size);
    static unsigned char bmp[kWltBmpFileSize];
    std::memset(bmp, 0, sizeof bmp);
    int bmpLength = -1;
    libwlt decoder;
    const int result = decoder.Unpack_Data(block.get(), int(size), bmp, &bmpLength);
    if (result == WltSuccess) {
        if (bmpLength != kWltBmpFileSize || bmp[0] != 'B' || bmp[1] != 'M')
            std::abort();
    } else if (result < WltNoMagic || result > WltListOverflow || bmpLength != -1) {
        std::abort();
    }
    return 0;
}
