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

// The list of significant coefficients (flat indices, see flatIndex), with
// room for every coefficient of a plane.
struct CoordList {
    int count = 0;
    uint16_t entries[kListCapacity];
};

inline bool listAppend(CoordList &list, int index)
{
    if (list.count >= kListCapacity)
        return false;
    list.entries[list.count++] = uint16_t(index);
    return true;
}

// Per-channel planes and lists.
struct ChannelPlanes {
    Plane32 value;
    // The walk's state of each coefficient (kState*), starting from the
    // shape index's.
    Plane8 state;
    // Marks, kept only by the literal walk, which reads them.
    Plane8 mark;
    CoordList list;
    CoordList secondGroup;
    // Bit a set when a coefficient of level a's bands became significant.
    uint8_t significantLevels = 0;
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
void computeShapeDescendants(const Plane8 &r, Plane8 &below);

// Per-coefficient state of the fast walk: what the coefficient's pass codes
// (nothing, a symbol of a coefficient in the shape not yet significant, the
// zero-tree symbol of one outside it with shape below), or that it is
// significant already; kStateActive marks those in the shape or with shape
// below, the only ones whose children are ever visited.
constexpr uint8_t kStateNone = 0;
constexpr uint8_t kStateInside = 1;
constexpr uint8_t kStateOutside = 2;
constexpr uint8_t kStateSignificant = 3;
constexpr uint8_t kStateCode = 3;
constexpr uint8_t kStateActive = 4;

inline int flatIndex(int row, int col) { return row * kPlaneCols + col; }

// Where coefficients exist, and, band by band in scan order, the positions
// whose pass can code a symbol: those in the shape and, above level 1, those
// outside it with a shape descendant. Built once per picture.
struct ShapeIndex {
    Plane8 r;
    Plane8 shapeBelow;

    // The walk: each coefficient's starting state, and the visited
    // coefficients of the lowest band and of level 4 in scan order (below
    // level 4 the walk goes by the parents it left uncovered).
    Plane8 state;
    uint16_t topVisits[kPlaneSize / 16 * 4];
    int topBandEnd[4] = {}; // topVisits[0 .. topBandEnd[0]): the lowest band
    // Where each line of a level-4 band ends in topVisits; lines without
    // visits are left out.
    static constexpr int kTopLines = kPlaneRows >> kLevels;
    uint16_t topLineEnd[4][kTopLines] = {};
    int topLineCount[4] = {};

    // Only for the literal walk (see addLiteralVisits): every visited
    // coefficient, band by band in scan order.
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
// The visits lists the literal walk goes by, after buildShapeIndex.
void addLiteralVisits(ShapeIndex &index);

// The walk asks its Coder for each symbol with
// template <int kTree> int symbol(State &state, SymbolKind kind, int row, int col, int fix),
// kTree being state's tree (its kind), and whether it ran out with IsEnd_2ff0().
// LiteralZeroRoot asks underZeroRoot for every coefficient over the visits
// lists instead of visiting only the children of the parents left uncovered;
// both give the same walk (the tests hold them to it).
template <class Coder, bool LiteralZeroRoot = false>
class BitPlaneWalk {
public:
    BitPlaneWalk(Coder &coder, const ShapeIndex &index, ChannelPlanes &planes)
        : m_coder(coder), m_index(index), m_planes(planes), m_value(&planes.value[0][0]),
          m_state(&planes.state[0][0])
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
        std::memset(&m_planes.value, 0, sizeof m_planes.value);
        m_planes.state = m_index.state;
        m_planes.list.count = 0;
        m_planes.significantLevels = 0;
        m_fixL = int32_t(1) << (topPlane + 1);

        for (m_fix = topPlane; m_fix >= 0; --m_fix) {
            if (m_coder.IsEnd_2ff0())
                return WltSuccess;
            m_fixM = int32_t(1) << m_fix;
            if (LiteralZeroRoot) {
                for (auto &row : m_planes.mark)
                    row.fill(kNoMark);
            }
            for (int a = 1; a < kLevels; ++a) {
                for (int b = 1; b <= 3; ++b)
                    children(a, b).clear();
            }
            m_pendingCount = 0;

            if (!lowestBand())
                return WltSuccess;
            static_assert(kLevels == 4, "one call per level");
            if (!decodeLevel<4>() && !decodeLevel<3>() && !decodeLevel<2>())
                decodeLevel<1>();
            if (m_coder.IsEnd_2ff0())
                return WltSuccess;
            if (m_fix > 0 && m_planes.list.count > 0) {
                m_fixS = int32_t(1) << (m_fix - 1);
                if (!refineAndReorder())
                    return WltListOverflow;
            }
        }
        return WltSuccess;
    }

private:
    // A parent line holds at most 32 coefficients, each with two children
    // per child line.
    static constexpr int kPendingCapacity = 2 * (kPlaneRows >> 2);
    // The coefficients of a band of levels 1 to 3 to visit in this plane, in
    // scan order, and where each of their lines ends.
    struct ChildVisits {
        int count = 0;
        int lineCount = 0;
        uint16_t lineEnd[kPlaneRows >> 1];
        uint16_t index[kPlaneSize / 4 + kPendingCapacity];
        void clear()
        {
            count = 0;
            lineCount = 0;
        }
    };

    static int rowOf(int index) { return index / kPlaneCols; }
    static int colOf(int index) { return index % kPlaneCols; }

    // False when the coder ran out.
    bool lowestBand()
    {
        for (int i = 0; i < m_index.topBandEnd[0]; ++i) {
            const int index = m_index.topVisits[i];
            if ((m_state[index] & kStateCode) != kStateInside)
                continue;
            const int s = m_coder.template symbol<3>(m_s3a, SymbolKind::Lowest, rowOf(index), colOf(index), m_fix);
            if (m_coder.IsEnd_2ff0())
                return false;
            if (s == 2) {
                if (LiteralZeroRoot)
                    m_planes.mark[rowOf(index)][colOf(index)] = 2;
            } else if (!becomeSignificant(index, s)) {
                return false;
            }
        }
        return true;
    }

    // The passes over level a's three bands. True when the coder ran out.
    template <int a>
    bool decodeLevel()
    {
        const int listed = m_planes.list.count;
        bool end = false;
        for (int b = 1; b <= 3 && !end; ++b)
            end = decodeBand<a>(b);
        // Noted here rather than per coefficient, away from the inner loop.
        if (m_planes.list.count != listed)
            m_planes.significantLevels |= uint8_t(1 << a);
        return end;
    }

    // One pass over band b (1: right of the lowest band, scanned column by
    // column; 2: below it and 3: diagonal, row by row) of level a. True when
    // the coder ran out.
    template <int a>
    bool decodeBand(int b)
    {
        if (LiteralZeroRoot) {
            const int end = m_index.bandEnd[a][b];
            for (int i = m_index.bandBegin(a, b); i < end; ++i) {
                const Coord c = m_index.visits[i];
                if (underZeroRoot(m_planes.mark, a, c.row, c.col))
                    continue;
                if (visitUncovered<a>(b, flatIndex(c.row, c.col)))
                    return true;
            }
            return false;
        }
        if constexpr (a == kLevels) {
            return visitLines<a>(b, m_index.topVisits + m_index.topBandEnd[b - 1], m_index.topLineEnd[b],
                                 m_index.topLineCount[b]);
        } else if constexpr (a > 1) {
            const ChildVisits &c = children(a, b);
            return visitLines<a>(b, c.index, c.lineEnd, c.lineCount);
        } else {
            // Level 1 lists nothing for a finer level: one run through.
            const ChildVisits &c = children(a, b);
            for (int k = 0; k < c.count; ++k) {
                if (visitUncovered<a>(b, c.index[k]))
                    return true;
            }
            return false;
        }
    }

    // visits[0 .. lineEnd[lineCount - 1]), line by line: the children a
    // line leaves to visit are complete at its end.
    template <int a>
    bool visitLines(int b, const uint16_t *visits, const uint16_t *lineEnd, int lineCount)
    {
        int k = 0;
        for (int line = 0; line < lineCount; ++line) {
            for (const int end = lineEnd[line]; k < end; ++k) {
                if (visitUncovered<a>(b, visits[k]))
                    return true;
            }
            endParentLine(children(a - 1, b));
        }
        return false;
    }

    // A coefficient whose ancestors do not make it a zero-root descendant, in
    // band b. Above level 1, when it is active and does not cover its
    // children in turn, the next level visits them.
    template <int a>
    bool visitUncovered(int b, int index)
    {
        const uint8_t state = m_state[index];
        bool cover = false;
        bool end = false;
        switch (state & kStateCode) {
        case kStateInside: {
            const int s = m_coder.template symbol<a == 1 ? 3 : 4>(a == 1 ? m_s3b : m_s4, SymbolKind::Band, rowOf(index), colOf(index), m_fix);
            if (m_coder.IsEnd_2ff0())
                return true;
            if (LiteralZeroRoot)
                m_planes.mark[rowOf(index)][colOf(index)] = uint8_t(s);
            cover = s == kMarkZeroRoot;
            if (s == 0 || s == 1)
                end = !becomeSignificant(index, s);
            break;
        }
        case kStateOutside: {
            const int s = m_coder.template symbol<2>(m_s2a, SymbolKind::OutsideShape, rowOf(index), colOf(index), m_fix);
            if (LiteralZeroRoot)
                m_planes.mark[rowOf(index)][colOf(index)] = s == 1 ? kMarkOutsideIsolatedZero : kMarkOutsideZeroRoot;
            cover = s != 1;
            break;
        }
        default:
            break;
        }
        if constexpr (a > 1 && !LiteralZeroRoot) {
            if (!cover && (state & kStateActive))
                addChildren<a>(b, index);
        }
        return end;
    }

    // The children of (row, col) are (2 row + i, 2 col + j), the first at
    // flat index 2 x index. Band 1 pairs them down a column (j = 0, then 1),
    // bands 2 and 3 along a row (i = 0, then 1): the first pair belongs to
    // the parent line's first child line, the second to the next one, which
    // waits until the parent line ends.
    template <int a>
    void addChildren(int b, int index)
    {
        ChildVisits &c = children(a - 1, b);
        const int first = 2 * index;
        const int along = b == 1 ? kPlaneCols : 1;
        const int next = b == 1 ? 1 : kPlaneCols;
        c.index[c.count] = uint16_t(first);
        c.index[c.count + 1] = uint16_t(first + along);
        c.count += 2;
        m_pending[m_pendingCount] = uint16_t(first + next);
        m_pending[m_pendingCount + 1] = uint16_t(first + next + along);
        m_pendingCount += 2;
    }

    // Closes a parent line: its first child line is complete, the second
    // follows from the pending pairs. Lines without children are left out.
    void endParentLine(ChildVisits &c)
    {
        if (m_pendingCount == 0)
            return;
        c.lineEnd[c.lineCount++] = uint16_t(c.count);
        std::memcpy(c.index + c.count, m_pending, sizeof m_pending); // whole, into the slack
        c.count += m_pendingCount;
        c.lineEnd[c.lineCount++] = uint16_t(c.count);
        m_pendingCount = 0;
    }

    bool becomeSignificant(int index, int s)
    {
        if (LiteralZeroRoot)
            m_planes.mark[rowOf(index)][colOf(index)] = uint8_t(s);
        m_value[index] = s == 1 ? -m_fixM : m_fixM;
        m_state[index] = (m_state[index] & ~kStateCode) | kStateSignificant;
        return listAppend(m_planes.list, index);
    }

    // Only coefficients in the shape become significant, so every entry of
    // the list takes a refinement symbol. The list stays ordered by
    // magnitude: within each run of entries that agree on the bits above
    // this plane, those with the refined bit set go first, each group in its
    // previous order. Once the coder runs out the rest of the list is left
    // unrefined (its entries join the second groups). False when the list
    // cannot be reordered.
    bool refineAndReorder()
    {
        const int32_t mask = m_fixL - m_fixM;
        CoordList &list = m_planes.list;
        uint16_t *second = m_planes.secondGroup.entries;
        int start = 0;
        int firstCount = 0;
        int secondCount = 0;
        int32_t runKey = std::abs(m_value[list.entries[0]]) & mask;
        bool ended = false;
        for (int i = 0; i < list.count; ++i) {
            const uint16_t index = list.entries[i];
            int32_t &v = m_value[index];
            const int32_t key = std::abs(v) & mask;
            if (key != runKey) {
                std::memcpy(list.entries + start + firstCount, second, sizeof(uint16_t) * size_t(secondCount));
                start = i;
                firstCount = 0;
                secondCount = 0;
                runKey = key;
            }
            int t = 0;
            if (!ended) {
                t = m_coder.template symbol<2>(m_s2b, SymbolKind::Refinement, rowOf(index), colOf(index), m_fix);
                ended = m_coder.IsEnd_2ff0();
                t = ended ? 0 : t;
            }
            if (t != 0) {
                const int32_t magnitude = std::abs(v) | m_fixS;
                v = v < 0 ? -magnitude : magnitude;
                list.entries[start + firstCount++] = index;
            } else {
                if (secondCount >= kListCapacity - 1)
                    return false;
                second[secondCount++] = index;
            }
        }
        std::memcpy(list.entries + start + firstCount, second, sizeof(uint16_t) * size_t(secondCount));
        return true;
    }

    Coder &m_coder;
    const ShapeIndex &m_index;
    ChannelPlanes &m_planes;
    int32_t *const m_value;
    uint8_t *const m_state;
    State m_s3a, m_s4, m_s3b, m_s2a, m_s2b;
    ChildVisits &children(int a, int b) { return m_children[a - 1][b - 1]; }
    ChildVisits m_children[kLevels - 1][3];
    uint16_t m_pending[kPendingCapacity];
    int m_pendingCount = 0;
    int m_fix = 0;
    int32_t m_fixL = 0;
    int32_t m_fixM = 0;
    int32_t m_fixS = 0;
};

} // namespace wlt
