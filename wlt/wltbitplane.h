#pragma once
// The bit-plane walk over one colour channel's coefficients. The decoder
// drives it with a Coder that decodes each symbol; the encoder drives the very
// same walk with a Coder that chooses and encodes the symbols, so both sides
// always agree on which symbol comes next.

#include <cstdlib>
#include <cstring>

#include "libwlt.h"
#include "qmcoder.h"
#include "wltplanes.h"
#include "wltshape.h"

namespace wlt {

constexpr uint8_t kNoMark = 255;
// Marks: 0 positive significant, 1 negative significant, 2 zero root,
// 3 isolated zero; 4 and 5 are the zero root and isolated zero of a
// coefficient outside the shape.
constexpr uint8_t kMarkZeroRoot = 2;
constexpr uint8_t kMarkOutsideZeroRoot = 4;
constexpr uint8_t kMarkOutsideIsolatedZero = 5;

constexpr int kListCapacity = kPlaneSize;
constexpr int kLowestRows = kPlaneRows >> kLevels;
constexpr int kLowestCols = kPlaneCols >> kLevels;

struct Coord {
    uint8_t row, col;
};

// The coordinate list G with room for every coefficient of a plane.
struct CoordList {
    int count = 0;
    Coord entries[kListCapacity];
};

inline bool listAppend(CoordList &list, int row, int col)
{
    if (list.count >= kListCapacity)
        return false;
    list.entries[list.count++] = Coord{uint8_t(row), uint8_t(col)};
    return true;
}

inline Coord listAt(const CoordList &list, int index) { return list.entries[index]; }

// Per-channel planes and lists.
struct ChannelPlanes {
    Plane32 value;
    Plane8 mark;
    Plane8 significant;
    // This plane's underZeroRoot answer for the children of each visited
    // coefficient: its mark is a zero root, or it is unmarked below one.
    Plane8 cover;
    CoordList list;
    CoordList secondGroup;
};

// What the walk asks for; the encoder needs it to choose the symbol.
enum class SymbolKind { Lowest, Band, OutsideShape, Refinement };

// The level of the coefficient at (row, col) of the 128 x 112 plane: 0 for
// the lowest band, 1..4 for the detail bands.
inline int coefficientLevel(int row, int col)
{
    for (int a = 1; a <= kLevels; ++a) {
        if (row >= (kPlaneRows >> a) || col >= (kPlaneCols >> a))
            return a;
    }
    return 0;
}

// True when the first marked ancestor (up to level 4) is a zero root.
inline bool underZeroRoot(const Plane8 &mark, int level, int row, int col)
{
    for (int a = level; a < kLevels; ++a) {
        row >>= 1;
        col >>= 1;
        const uint8_t m = mark[row][col];
        if (m != kNoMark)
            return m == kMarkZeroRoot || m == kMarkOutsideZeroRoot;
    }
    return false;
}

// True when some finer-level descendant of (row, col) lies in the shape.
inline bool hasShapeDescendant(const Plane8 &r, int level, int row, int col)
{
    for (int k = 1; k <= level - 1; ++k) {
        const int size = 1 << k;
        for (int i = row * size; i < row * size + size; ++i) {
            for (int j = col * size; j < col * size + size; ++j) {
                if (r[i][j] == kMaskInside)
                    return true;
            }
        }
    }
    return false;
}

// hasShapeDescendant for every coefficient, computed once per picture from
// the finest level up: a coefficient has a shape descendant when one of its
// four children lies in the shape or has one.
inline void computeShapeDescendants(const Plane8 &r, Plane8 &below)
{
    for (auto &row : below)
        row.fill(0);
    for (int a = 2; a <= kLevels; ++a) {
        for (int row = 0; row < levelRows(a); ++row) {
            for (int col = 0; col < levelCols(a); ++col) {
                if (row < (kPlaneRows >> a) && col < (kPlaneCols >> a))
                    continue; // the next coarser level
                uint8_t any = 0;
                for (int i = 0; i < 2; ++i) {
                    for (int j = 0; j < 2; ++j)
                        any |= uint8_t(r[2 * row + i][2 * col + j] == kMaskInside) | below[2 * row + i][2 * col + j];
                }
                below[row][col] = any;
            }
        }
    }
}

// Where coefficients exist, and, band by band in scan order, the positions
// whose pass can code a symbol: those in the shape and, above level 1, those
// outside it with a shape descendant. Built once per picture.
struct ShapeIndex {
    Plane8 r;
    Plane8 shapeBelow;
    Plane8 active; // in the shape, or with a shape descendant
    Coord visits[kPlaneSize];
    int lowestEnd = 0;              // visits[0 .. lowestEnd): the lowest band
    int bandEnd[kLevels + 1][4] = {}; // band (a, b) ends at bandEnd[a][b]
    int bandBegin(int a, int b) const
    {
        if (b > 1)
            return bandEnd[a][b - 1];
        return a == kLevels ? lowestEnd : bandEnd[a + 1][3];
    }
};

struct SynthesisPlan;
// n: the 0/1 shape mask. The decomposition also fills plan, when given.
void buildShapeIndex(const Plane8 &n, ShapeIndex &index, SynthesisPlan *plan = nullptr);

// LiteralZeroRoot asks underZeroRoot for every coefficient instead of reading
// the parent's cover; both give the same walk (the tests hold them to it).
template <class Coder, bool LiteralZeroRoot = false>
class BitPlaneWalk {
public:
    BitPlaneWalk(Coder &coder, const ShapeIndex &index, ChannelPlanes &planes)
        : m_coder(coder), m_index(index), m_r(index.r), m_shapeBelow(index.shapeBelow), m_planes(planes)
    {
    }

    // Runs every bit-plane from top down to 0 or until the coder runs out.
    // Returns 1, or 11 when the list cannot be reordered.
    int run(int topPlane)
    {
        InitState(m_s3a, 3);
        InitState(m_s4, 4);
        InitState(m_s3b, 3);
        InitState(m_s2a, 2);
        InitState(m_s2b, 2);
        for (auto &row : m_planes.value)
            row.fill(0);
        for (auto &row : m_planes.significant)
            row.fill(0);
        m_planes.list.count = 0;
        m_fixL = int32_t(1) << (topPlane + 1);

        for (m_fix = topPlane; m_fix >= 0; --m_fix) {
            if (m_coder.IsEnd_2ff0())
                return WltSuccess;
            m_fixM = int32_t(1) << m_fix;
            for (auto &row : m_planes.mark)
                row.fill(kNoMark);
            std::memset(m_open, 0, sizeof m_open);

            if (!lowestBand())
                return WltSuccess;
            bool end = false;
            for (int a = kLevels; a >= 1 && !end; --a) {
                for (int b = 1; b <= 3 && !end; ++b)
                    end = decodeBand(a, b);
            }
            if (m_coder.IsEnd_2ff0())
                return WltSuccess;
            if (m_fix > 0 && m_planes.list.count > 0) {
                m_fixS = int32_t(1) << (m_fix - 1);
                refine();
                if (!reorderList())
                    return WltListOverflow;
            }
        }
        return WltSuccess;
    }

private:
    // False when the coder ran out.
    bool lowestBand()
    {
        for (int i = 0; i < m_index.lowestEnd; ++i) {
            const int row = m_index.visits[i].row;
            const int col = m_index.visits[i].col;
            if (m_r[row][col] != kMaskInside || m_planes.significant[row][col])
                continue;
            const int s = m_coder.symbol(m_s3a, SymbolKind::Lowest, row, col, m_fix);
            if (m_coder.IsEnd_2ff0())
                return false;
            if (s == 2) {
                m_planes.mark[row][col] = 2;
                m_planes.value[row][col] = 0;
            } else if (!becomeSignificant(row, col, s)) {
                return false;
            }
        }
        return true;
    }

    // One pass over band b (1: right of the lowest band, scanned column by
    // column; 2: below it and 3: diagonal, row by row) of level a. True when
    // the coder ran out.
    bool decodeBand(int a, int b)
    {
        if (LiteralZeroRoot || a == kLevels) {
            const int end = m_index.bandEnd[a][b];
            for (int i = m_index.bandBegin(a, b); i < end; ++i) {
                if (visit(a, b, m_index.visits[i].row, m_index.visits[i].col))
                    return true;
            }
            return false;
        }
        // Below level 4 the walk goes by parents, in the same scan order: the
        // two children of a parent that covers them take its cover at once, a
        // parent without shape below has nothing below to visit, and a parent
        // line with neither an uncovered nor an active parent is passed over
        // whole (its descendants' lines stay closed in turn).
        const int h = kPlaneRows >> a;
        const int w = kPlaneCols >> a;
        const int top = h * x[8 + b];
        const int left = w * y[8 + b];
        const uint8_t *open = m_open[a + 1][b];
        if (b == 1) {
            for (int pc = 0; pc < w / 2; ++pc) {
                if (!open[pc])
                    continue;
                for (int dc = 0; dc < 2; ++dc) {
                    const int col = left + 2 * pc + dc;
                    for (int pr = 0; pr < h / 2; ++pr) {
                        if (visitPair(a, b, top / 2 + pr, left / 2 + pc, top + 2 * pr, col, top + 2 * pr + 1, col))
                            return true;
                    }
                }
            }
        } else {
            for (int pr = 0; pr < h / 2; ++pr) {
                if (!open[pr])
                    continue;
                for (int dr = 0; dr < 2; ++dr) {
                    const int row = top + 2 * pr + dr;
                    for (int pc = 0; pc < w / 2; ++pc) {
                        if (visitPair(a, b, top / 2 + pr, left / 2 + pc, row, left + 2 * pc, row, left + 2 * pc + 1))
                            return true;
                    }
                }
            }
        }
        return false;
    }

    bool visitPair(int a, int b, int parentRow, int parentCol, int row1, int col1, int row2, int col2)
    {
        if (!m_index.active[parentRow][parentCol])
            return false;
        if (m_planes.cover[parentRow][parentCol]) {
            m_planes.cover[row1][col1] = 1;
            m_planes.cover[row2][col2] = 1;
            return false;
        }
        return visitUncovered(a, b, row1, col1) || visitUncovered(a, b, row2, col2);
    }

    bool visit(int a, int b, int row, int col)
    {
        const bool underZero = LiteralZeroRoot ? underZeroRoot(m_planes.mark, a, row, col)
                                               : a < kLevels && m_planes.cover[row >> 1][col >> 1];
        if (underZero) {
            m_planes.cover[row][col] = 1;
            return false;
        }
        return visitUncovered(a, b, row, col);
    }

    // A coefficient whose ancestors do not make it a zero-root descendant.
    bool visitUncovered(int a, int b, int row, int col)
    {
        uint8_t &cover = m_planes.cover[row][col];
        cover = 0;
        bool end = false;
        if (m_r[row][col] == kMaskInside) {
            if (!m_planes.significant[row][col]) {
                const int s = m_coder.symbol(a == 1 ? m_s3b : m_s4, SymbolKind::Band, row, col, m_fix);
                if (m_coder.IsEnd_2ff0())
                    return true;
                m_planes.mark[row][col] = uint8_t(s);
                cover = s == kMarkZeroRoot;
                if (s == 0 || s == 1)
                    end = !becomeSignificant(row, col, s);
            }
        } else if (a > 1 && m_shapeBelow[row][col]) {
            const int s = m_coder.symbol(m_s2a, SymbolKind::OutsideShape, row, col, m_fix);
            m_planes.mark[row][col] = s == 1 ? kMarkOutsideIsolatedZero : kMarkOutsideZeroRoot;
            cover = s != 1;
        }
        if (a > 1 && !cover && m_index.active[row][col])
            m_open[a][b][b == 1 ? col - (kPlaneCols >> a) : row - (kPlaneRows >> a)] = 1;
        return end;
    }

    bool becomeSignificant(int row, int col, int s)
    {
        m_planes.mark[row][col] = uint8_t(s);
        m_planes.value[row][col] = s == 1 ? -m_fixM : m_fixM;
        m_planes.significant[row][col] = 1;
        return listAppend(m_planes.list, row, col);
    }

    void refine()
    {
        for (int i = 0; i < m_planes.list.count; ++i) {
            const Coord c = listAt(m_planes.list, i);
            if (!m_planes.significant[c.row][c.col] || m_r[c.row][c.col] != kMaskInside)
                continue;
            const int t = m_coder.symbol(m_s2b, SymbolKind::Refinement, c.row, c.col, m_fix);
            if (m_coder.IsEnd_2ff0())
                return;
            int32_t &v = m_planes.value[c.row][c.col];
            const int32_t magnitude = std::abs(v) | (t ? m_fixS : 0);
            v = v < 0 ? -magnitude : magnitude;
        }
    }

    // Keeps the list ordered by magnitude: within each run of entries that
    // agree on the bits above this plane, those with the refined bit set come
    // first, each group in its previous order.
    bool reorderList()
    {
        const int32_t mask = m_fixL - m_fixM;
        CoordList &list = m_planes.list;
        Coord *second = m_planes.secondGroup.entries;
        auto key = [&](const Coord &c) { return std::abs(m_planes.value[c.row][c.col]) & mask; };
        for (int start = 0; start < list.count;) {
            const int32_t runKey = key(list.entries[start]);
            int end = start;
            while (end < list.count && key(list.entries[end]) == runKey)
                ++end;
            int firstCount = 0;
            int secondCount = 0;
            for (int i = start; i < end; ++i) {
                const Coord c = list.entries[i];
                if (std::abs(m_planes.value[c.row][c.col]) & m_fixS) {
                    list.entries[start + firstCount++] = c;
                } else {
                    if (secondCount >= kListCapacity - 1)
                        return false;
                    second[secondCount++] = c;
                }
            }
            for (int i = 0; i < secondCount; ++i)
                list.entries[start + firstCount + i] = second[i];
            start = end;
        }
        return true;
    }

    Coder &m_coder;
    const ShapeIndex &m_index;
    const Plane8 &m_r;
    const Plane8 &m_shapeBelow;
    ChannelPlanes &m_planes;
    State m_s3a, m_s4, m_s3b, m_s2a, m_s2b;
    // Per level and band, the lines (columns of band 1, rows of bands 2 and
    // 3) holding an active coefficient left uncovered in this plane.
    uint8_t m_open[kLevels + 1][4][kPlaneRows >> 2];
    int m_fix = 0;
    int32_t m_fixL = 0;
    int32_t m_fixM = 0;
    int32_t m_fixS = 0;
};

} // namespace wlt
