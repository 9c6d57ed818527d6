#pragma once

// Hex text as card data crosses the protocol and the driver: uppercase, two
// digits per byte, no separators. Text to be packed holding anything else
// (spaces included: they would shift every later byte) is refused whole.

// The value of one hex digit; anything that is not a hex digit counts as 0.
int util_C2I(char c);

// Packs the digit pairs of `hex` into dst[offset], dst[offset + 1], ...; a
// trailing odd digit is ignored. Returns offset plus the bytes written, or -14
// (and writes nothing) when they would not fit in dstCapacity bytes or the
// text holds anything but hex digits.
int util_putHex2Char(const char *hex, unsigned char *dst, int offset, int dstCapacity);

// Writes 2·n uppercase digits and a NUL; returns 2·n (0 and "" for n <= 0).
// Returns -14 with "" written (capacity permitting) when the text would not
// fit in outCapacity bytes.
int util_char2Hex(const unsigned char *bytes, int n, char *out, int outCapacity);

namespace luvaro {

// Whether every character of text is a hex digit (an empty or absent text
// holds nothing else).
bool isHexText(const char *text);

// The bytes a hex text holds when it is nothing but whole digit pairs (0 for
// ""); -1 for an absent text, an odd last digit or anything not a digit.
// Card data and codes are taken only so: a dropped digit would change them.
long long wholeHexBytes(const char *text);

// Whether a NUL follows the digits. Most card commands write none: their
// callers hand in zeroed buffers and read the length they expect.
enum class HexEnd { Nul, None };

// Writes n bytes (none for n <= 0) as 2·n uppercase digits into out[size],
// then a NUL with HexEnd::Nul. Returns the digit count, or -14 when the text
// would not fit: then only an empty text is written (HexEnd::Nul, room permitting).
int writeHex(const unsigned char *bytes, int n, char *out, int size, HexEnd end);

} // namespace luvaro
