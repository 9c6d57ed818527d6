// From coefficients to the BMP: per-channel synthesis, colour, background, smoothing, file layout.
#include "wltpicture.h"

#include <cstring>

#include "wlttransform.h"

namespace wlt {

namespace {

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

void putLe32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace

namespace {

void clampIntoChannel(const Plane8 &n, const Plane32 &values, Plane8 &channel)
{
    for (auto &row : channel)
        row.fill(0);
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            const int32_t v = values[r][c];
            if (n[r][c] > 0)
                channel[r][c] = v < 0 ? 0 : v > 255 ? 255 : uint8_t(v);
        }
    }
}

void keepCoefficients(const Plane8 &D, const Plane32 &decoded, Plane32 &values)
{
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c)
            values[r][c] = D[r][c] > 0 ? decoded[r][c] : 0;
    }
}

} // namespace

void reconstructChannel(const Plane8 &n, const Plane8 &D, const Plane32 &decoded, Plane8 &channel)
{
    Plane32 values;
    Plane8 mask = D;
    keepCoefficients(D, decoded, values);
    for (int a = kLevels; a >= 1; --a)
        synthesizeLevel(mask, values, a);
    clampIntoChannel(n, values, channel);
}

// The planned synthesis reads only where D is 1 and clamps into the channel
// itself; its runs at the last level are the shape n.
void reconstructChannel(const Plane8 &, const Plane8 &, const SynthesisPlan &plan,
                        const Plane32 &decoded, Plane8 &channel)
{
    Plane32 values = decoded;
    synthesizeIntoChannel(plan, values, channel);
}

void reconstructDecodedChannel(const Plane8 &, const SynthesisPlan &plan, Plane32 &decoded, Plane8 &channel)
{
    synthesizeIntoChannel(plan, decoded, channel);
}

void yccRowToRgb(const uint8_t *yRow, const uint8_t *cbRow, const uint8_t *crRow, uint8_t *pictureRow)
{
    for (int c = 0; c < kPictureCols; ++c) {
        const double luma = yRow[c];
        const double cb = double(cbRow[c]) - 128.0;
        const double cr = double(crRow[c]) - 128.0;
        pictureRow[3 * c + 0] = clampByte(int(luma + 1.402 * cr));
        pictureRow[3 * c + 1] = clampByte(int(luma - 0.34414 * cb - 0.71414 * cr));
        pictureRow[3 * c + 2] = clampByte(int(luma + 1.772 * cb));
    }
}

void assemblePicture(const Plane8 &yPlane, const Plane8 &cbPlane, const Plane8 &crPlane,
                     const Plane8 &n, const Colour &fixNum, Picture &picture)
{
    constexpr int kStride = kPictureCols * 3;
    for (int r = 0; r < kPictureRows; ++r)
        yccRowToRgb(yPlane[r].data(), cbPlane[r].data(), crPlane[r].data(), &picture[size_t(r) * kStride]);

    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            if (n[r][c] == 0) {
                uint8_t *p = &picture[size_t(r) * kStride + 3 * c];
                p[0] = fixNum.r;
                p[1] = fixNum.g;
                p[2] = fixNum.b;
            }
        }
    }

    // Soften the outline: background pixels touching the shape take the mean
    // of their neighbourhood, already-softened neighbours included. The
    // picture's border pixels are left alone.
    for (int r = 1; r < kPictureRows - 1; ++r) {
        for (int c = 1; c < kPictureCols - 1; ++c) {
            if (n[r][c] != 0)
                continue;
            bool nearShape = false;
            for (int i = -1; i <= 1 && !nearShape; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    if (n[r + i][c + j] > 0) {
                        nearShape = true;
                        break;
                    }
                }
            }
            if (!nearShape)
                continue;
            for (int k = 0; k < 3; ++k) {
                int sum = 0;
                for (int i = -1; i <= 1; ++i) {
                    for (int j = -1; j <= 1; ++j)
                        sum += picture[size_t(r + i) * kStride + 3 * (c + j) + k];
                }
                picture[size_t(r) * kStride + 3 * c + k] = uint8_t(sum / 9);
            }
        }
    }
}

void writeBmp(const Picture &picture, uint8_t *out)
{
    std::memset(out, 0, kBmpHeaderSize);
    out[0] = 'B';
    out[1] = 'M';
    putLe32(out + 2, kBmpFileSize);
    putLe32(out + 10, kBmpHeaderSize);
    putLe32(out + 14, 40);
    putLe32(out + 18, kPictureCols);
    putLe32(out + 22, kPictureRows);
    out[26] = 1;  // planes
    out[28] = 24; // bits per pixel
    uint8_t *row = out + kBmpHeaderSize;
    for (int r = kPictureRows - 1; r >= 0; --r) {
        const uint8_t *src = &picture[size_t(r) * kPictureCols * 3];
        for (int c = 0; c < kPictureCols; ++c) {
            row[3 * c + 0] = src[3 * c + 2];
            row[3 * c + 1] = src[3 * c + 1];
            row[3 * c + 2] = src[3 * c + 0];
        }
        row[kPictureCols * 3] = 0;
        row[kPictureCols * 3 + 1] = 0;
        row += kBmpRowSize;
    }
}

} // namespace wlt
