#pragma once
// One bit per sample of a plane line (up to 128 samples): masks that let
// whole lines be tested and combined at once.

#include <cstdint>

#include "wltplanes.h"

namespace wlt {

struct LineBits {
    uint64_t w[2] = {0, 0};

    // Bits 0 .. count - 1.
    static constexpr LineBits first(int count)
    {
        LineBits bits;
        bits.w[0] = count >= 64 ? ~uint64_t(0) : (uint64_t(1) << count) - 1;
        bits.w[1] = count >= 128 ? ~uint64_t(0) : count <= 64 ? 0 : (uint64_t(1) << (count - 64)) - 1;
        return bits;
    }
    constexpr bool any() const { return (w[0] | w[1]) != 0; }
    void set(int i) { w[i >> 6] |= uint64_t(1) << (i & 63); }
    // Bit i of the result is bit i - 1 (i + 1) of this.
    constexpr LineBits fromPrevious() const { return LineBits{{w[0] << 1, w[1] << 1 | w[0] >> 63}}; }
    constexpr LineBits fromNext() const { return LineBits{{w[0] >> 1 | w[1] << 63, w[1] >> 1}}; }
};
static_assert(kPlaneRows <= 128 && kPlaneCols <= 128, "a plane line fits a LineBits");

constexpr LineBits operator|(const LineBits &a, const LineBits &b) { return LineBits{{a.w[0] | b.w[0], a.w[1] | b.w[1]}}; }
constexpr LineBits operator&(const LineBits &a, const LineBits &b) { return LineBits{{a.w[0] & b.w[0], a.w[1] & b.w[1]}}; }
constexpr LineBits operator~(const LineBits &a) { return LineBits{{~a.w[0], ~a.w[1]}}; }

// f(i) for every set bit i, in increasing order.
template <typename F>
void forEachBit(const LineBits &bits, F f)
{
    for (int word = 0; word < 2; ++word) {
        for (uint64_t rest = bits.w[word]; rest != 0; rest &= rest - 1)
            f(64 * word + __builtin_ctzll(rest));
    }
}

} // namespace wlt
