#pragma once
// Geometry shared by the WLT decoder and encoder.

#include <array>
#include <cstdint>

namespace wlt {

// Coefficient planes; the picture occupies the top-left 126 x 102.
constexpr int kPlaneRows = 128;
constexpr int kPlaneCols = 112;
constexpr int kPictureRows = 126;
constexpr int kPictureCols = 102;
constexpr int kLevels = 4;
constexpr int kPlaneSize = kPlaneRows * kPlaneCols;

template <typename T>
using Plane = std::array<std::array<T, kPlaneCols>, kPlaneRows>;
using Plane32 = Plane<int32_t>;
using Plane8 = Plane<uint8_t>;

// Decomposed-mask codes: a coefficient exists where the code is 1; a high-band
// slot whose isolated sample moved to the low band holds 0x80 (row split) or
// 0x81 (column split).
constexpr uint8_t kMaskInside = 1;
constexpr uint8_t kMovedInRow = 0x80;
constexpr uint8_t kMovedInColumn = 0x81;

enum class LineMode { Row, Column };

// Level a (1..4) works on the top-left levelRows(a) x levelCols(a) region.
constexpr int levelRows(int level) { return kPlaneRows >> (level - 1); }
constexpr int levelCols(int level) { return kPlaneCols >> (level - 1); }

} // namespace wlt
