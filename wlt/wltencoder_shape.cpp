// Encoder, shape stage: the background colour, the person's mask and its outline chain.
#include "wltencoder_p.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace wlt {

namespace {

constexpr int kBorderPixels = 2 * kPictureCols + 2 * (kPictureRows - 2);

bool nearColour(const uint8_t *p, const Colour &c, int tolerance)
{
    return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance
           && std::abs(p[2] - c.b) <= tolerance;
}

template <typename F>
void forEachBorderPixel(F f)
{
    for (int c = 0; c < kPictureCols; ++c) {
        f(0, c);
        f(kPictureRows - 1, c);
    }
    for (int r = 1; r < kPictureRows - 1; ++r) {
        f(r, 0);
        f(r, kPictureCols - 1);
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
            const int nr = r + kRowStep[d];
            const int nc = c + kColumnStep[d];
            if (nr >= 0 && nr < kPictureRows && nc >= 0 && nc < kPictureCols && !outside[nr][nc]
                && open(nr, nc)) {
                outside[nr][nc] = 1;
                stack.push_back({nr, nc});
            }
        }
    }
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c)
            mask[r][c] = outside[r][c] ? 0 : 1;
    }
}

// Keeps the largest 8-connected set of 1s.
void keepLargestComponent(Plane8 &mask)
{
    Plane<int16_t> label{};
    std::vector<int> sizes(1, 0);
    std::vector<std::pair<int, int>> stack;
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
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
                    const int nr = pr + kRowStep[d];
                    const int nc = pc + kColumnStep[d];
                    if (nr >= 0 && nr < kPictureRows && nc >= 0 && nc < kPictureCols && mask[nr][nc]
                        && !label[nr][nc]) {
                        label[nr][nc] = int16_t(id);
                        stack.push_back({nr, nc});
                    }
                }
            }
        }
    }
    const int best = int(std::max_element(sizes.begin(), sizes.end()) - sizes.begin());
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c)
            mask[r][c] = label[r][c] == best && best > 0 ? 1 : 0;
    }
}

// Background pixels that the border cannot reach become part of the shape.
void fillHoles(Plane8 &mask)
{
    const Plane8 shape = mask;
    maskOutsideOfBorderFlood(mask, [&](int r, int c) { return !shape[r][c]; });
}

int countDifferences(const Plane8 &a, const Plane8 &b)
{
    int differences = 0;
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c)
            differences += (a[r][c] != 0) != (b[r][c] != 0);
    }
    return differences;
}

} // namespace

// 3 x 3 erosion or dilation within the picture (outside counts as outside).
// A neighbour past the border counts as the pixel itself, which the pixel's
// own term already covers: the window is just clipped, and then it splits
// into a pass along the rows and one down the columns.
Plane8 morph(const Plane8 &mask, bool dilate)
{
    const auto apply = [&](auto op) {
        constexpr int kLast = kPictureCols - 1;
        Plane8 across{};
        for (int r = 0; r < kPictureRows; ++r) {
            uint8_t in[kPictureCols];
            for (int c = 0; c < kPictureCols; ++c)
                in[c] = mask[r][c] != 0;
            uint8_t *line = across[r].data();
            line[0] = op(in[0], in[1]);
            for (int c = 1; c < kLast; ++c)
                line[c] = op(op(in[c - 1], in[c]), in[c + 1]);
            line[kLast] = op(in[kLast - 1], in[kLast]);
        }
        Plane8 out{};
        for (int r = 0; r < kPictureRows; ++r) {
            const uint8_t *up = across[r > 0 ? r - 1 : r].data();
            const uint8_t *line = across[r].data();
            const uint8_t *down = across[r < kPictureRows - 1 ? r + 1 : r].data();
            for (int c = 0; c < kPictureCols; ++c)
                out[r][c] = op(op(up[c], line[c]), down[c]);
        }
        return out;
    };
    if (dilate)
        return apply([](uint8_t a, uint8_t b) { return uint8_t(a | b); });
    return apply([](uint8_t a, uint8_t b) { return uint8_t(a & b); });
}

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
    if (nearCount * 2 < kBorderPixels) {
        for (int r = 0; r < kPictureRows; ++r)
            std::fill_n(mask[r].begin(), kPictureCols, uint8_t(1));
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
        for (int r = 0; r < kPictureRows && empty; ++r) {
            for (int c = 0; c < kPictureCols && empty; ++c)
                empty = smoothed[r][c] == 0;
        }
        if (empty)
            break;
        candidate = smoothed;
    }
    if (bestDifferences < 0) {
        // Nothing traceable: a single pixel in the middle carries the colours.
        best = Chain{};
        best.x0 = kPictureCols / 2;
        best.y0 = kPictureRows / 2;
    }
    chain = best;
    fillChain(chain, n);
}

} // namespace wlt
