// The encoder's forward transform: each level's rows and then columns
// lifted into low and high halves over the shape, which the decoder's
// synthesis undoes.
#include "wltencoder_p.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "wlttransform.h"
#include "wlttransform_p.h"

namespace wlt {

namespace {

// The coefficient c whose scaleRound(c, kind) comes closest to target.
int64_t scalePreimage(int64_t target, int kind)
{
    const double factor = kind == 1 ? 1.4142 : 0.7071;
    const int64_t guess = int64_t(double(target) / factor);
    int64_t best = guess;
    int64_t bestError = std::numeric_limits<int64_t>::max();
    for (int64_t c = guess - 2; c <= guess + 2; ++c) {
        const int64_t error = std::llabs(scaleRound(c, kind) - target);
        if (error < bestError || (error == bestError && std::llabs(c) < std::llabs(best))) {
            best = c;
            bestError = error;
        }
    }
    return best;
}

} // namespace

void analyzeLine(LineMode mode, int count, int32_t *values, uint8_t *mask)
{
    const int half = count / 2;
    uint8_t split[kPlaneRows];
    int32_t out[kPlaneRows] = {};
    int64_t x[kPlaneRows];
    int64_t h[kPlaneRows];
    splitMaskLine(count, mask, split, mode);
    forEachRun(mask, count, [&](int s, int end) {
        const int length = end - s;
        const int last = end - 1;
        if (length == 1) {
            // Odd samples that could not move stay in the high slot, but the
            // synthesis reads them from the low slot, which holds no
            // coefficient: nothing worth coding there.
            const bool inLowSlot = (s & 1) == 0 || split[half + (s >> 1)] == movedCode(mode);
            if (inLowSlot)
                out[s >> 1] = saturate(scalePreimage(values[s], 2));
            return;
        }
        for (int q = s; q <= last; ++q)
            x[q] = values[q];
        // Forward lifting: predict the odd samples, then update the even ones.
        for (int q = s + ((s & 1) ? 0 : 1); q <= last; q += 2) {
            const bool hasLeft = q > s;
            const bool hasRight = q < last;
            if (hasLeft && hasRight)
                h[q] = x[q] - floorDiv(x[q - 1] + x[q + 1], 2);
            else
                h[q] = x[q] - (hasLeft ? x[q - 1] : x[q + 1]);
        }
        for (int q = s + ((s & 1) ? 1 : 0); q <= last; q += 2) {
            const bool hasLeft = q > s;
            const bool hasRight = q < last;
            int64_t l;
            if (hasLeft && hasRight)
                l = x[q] + floorDiv(h[q - 1] + h[q + 1] + 2, 4);
            else
                l = x[q] + floorDiv((hasLeft ? h[q - 1] : h[q + 1]) + 1, 2);
            out[q >> 1] = saturate(length >= 3 ? scalePreimage(l, 2) : l);
        }
        for (int q = s + ((s & 1) ? 0 : 1); q <= last; q += 2)
            out[half + (q >> 1)] = saturate(length >= 3 ? scalePreimage(h[q], 1) : h[q]);
    });
    std::memcpy(values, out, sizeof(int32_t) * size_t(count));
    std::memcpy(mask, split, size_t(count));
}

void analyzeLevel(Plane8 &mask, Plane32 &values, int level)
{
    const int rows = levelRows(level);
    const int cols = levelCols(level);
    for (int r = 0; r < rows; ++r)
        analyzeLine(LineMode::Row, cols, values[r].data(), mask[r].data());
    forEachColumn(mask, values, rows, cols, analyzeLine);
}

void analyze(Plane8 &mask, Plane32 &values)
{
    for (int a = 1; a <= kLevels; ++a)
        analyzeLevel(mask, values, a);
}

} // namespace wlt
