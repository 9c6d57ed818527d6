#include "hexutil.h"

#include "resultcodes.h"

#include <cctype>
#include <cstring>

int util_C2I(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

int util_putHex2Char(const char *hex, unsigned char *dst, int offset, int dstCapacity)
{
    const std::size_t pairs = hex ? std::strlen(hex) / 2 : 0;
    if (!luvaro::isHexText(hex) || offset < 0 || offset > dstCapacity
        || pairs > static_cast<std::size_t>(dstCapacity - offset))
        return luvaro::kBadParameter;
    for (std::size_t i = 0; i < pairs; ++i)
        dst[offset + i] = static_cast<unsigned char>(util_C2I(hex[2 * i]) << 4 | util_C2I(hex[2 * i + 1]));
    return offset + static_cast<int>(pairs);
}

int util_char2Hex(const unsigned char *bytes, int n, char *out, int outCapacity)
{
    return luvaro::writeHex(bytes, n, out, outCapacity, luvaro::HexEnd::Nul);
}

namespace luvaro {

bool isHexText(const char *text)
{
    for (; text && *text; ++text)
        if (!std::isxdigit(static_cast<unsigned char>(*text)))
            return false;
    return true;
}

long long wholeHexBytes(const char *text)
{
    if (!text || !isHexText(text))
        return -1;
    const std::size_t digits = std::strlen(text);
    return digits % 2 == 0 ? static_cast<long long>(digits / 2) : -1;
}

int writeHex(const unsigned char *bytes, int n, char *out, int size, HexEnd end)
{
    static const char kDigits[] = "0123456789ABCDEF";
    if (n < 0)
        n = 0;
    const long long needed = 2LL * n + (end == HexEnd::Nul ? 1 : 0);
    if (needed == 0)
        return 0;
    if (!out || size < needed || (n > 0 && !bytes)) {
        if (out && size > 0 && end == HexEnd::Nul)
            out[0] = '\0';
        return kBadParameter;
    }
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    if (end == HexEnd::Nul)
        out[2 * n] = '\0';
    return 2 * n;
}

} // namespace luvaro
