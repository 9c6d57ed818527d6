// The QM decoder and encoder, registers named as in T.81, and the symbol trees.
#include "qmcoder.h"

#include <cstddef>
#include <limits>

namespace wlt {

namespace {

// Each tree as {leaf0, next0, leaf1, next1} per node; see TreeNode.
constexpr TreeNode kTwoSymbolTree[1] = {{1, 0, 1, 1}};
constexpr TreeNode kThreeSymbolTree[2] = {{0, 1, 1, 2}, {1, 0, 1, 1}};
constexpr TreeNode kFourSymbolTree[3] = {{0, 1, 0, 2}, {1, 0, 1, 1}, {1, 2, 1, 3}};
constexpr TreeNode kEightSymbolTree[7] = {
    {0, 1, 0, 4}, // first decision
    {0, 2, 0, 3}, // after 0
    {1, 0, 1, 1}, // after 00
    {1, 2, 1, 3}, // after 01
    {0, 5, 0, 6}, // after 1
    {1, 4, 1, 5}, // after 10
    {1, 6, 1, 7}, // after 11
};

// The nodes and decisions that lead to one symbol's leaf (length 0: the tree
// has no such leaf).
constexpr int kMaxTreeDepth = 3;
constexpr int kMaxTreeSymbols = 8;
struct SymbolPath {
    uint8_t length;
    uint8_t nodes[kMaxTreeDepth];
    uint8_t decisions[kMaxTreeDepth];
};

// Depth-first search for the leaf that yields symbol, recording the nodes and
// decisions on the way.
constexpr bool findPath(const TreeNode *tree, int node, int symbol, int depth, SymbolPath &path)
{
    if (depth >= kMaxTreeDepth)
        return false;
    const TreeNode &n = tree[node];
    for (int d = 0; d < 2; ++d) {
        const bool leaf = d ? n.leaf1 : n.leaf0;
        const int next = d ? n.next1 : n.next0;
        path.nodes[depth] = uint8_t(node);
        path.decisions[depth] = uint8_t(d);
        if (leaf && next == symbol) {
            path.length = uint8_t(depth + 1);
            return true;
        }
        if (!leaf && findPath(tree, next, symbol, depth + 1, path))
            return true;
    }
    return false;
}

// Every symbol's path through one tree (length 0: the tree has no such leaf).
constexpr std::array<SymbolPath, kMaxTreeSymbols> pathsOf(const TreeNode *tree)
{
    std::array<SymbolPath, kMaxTreeSymbols> paths{};
    for (int symbol = 0; symbol < kMaxTreeSymbols; ++symbol) {
        SymbolPath path{};
        if (findPath(tree, 0, symbol, 0, path))
            paths[std::size_t(symbol)] = path;
    }
    return paths;
}

// The four trees' paths, found once instead of per symbol.
constexpr std::array<SymbolPath, kMaxTreeSymbols> kPaths[4] = {pathsOf(kTwoSymbolTree), pathsOf(kThreeSymbolTree),
                                                                pathsOf(kFourSymbolTree), pathsOf(kEightSymbolTree)};

// symbol in 0 .. kMaxTreeSymbols - 1.
const SymbolPath &symbolPath(int kind, int symbol)
{
    constexpr uint8_t kTreeOfKind[9] = {0, 0, 0, 1, 2, 0, 0, 0, 3};
    return kPaths[kind >= 0 && kind <= 8 ? kTreeOfKind[kind] : 0][std::size_t(symbol)];
}

} // namespace

void InitState(State &state, int kind)
{
    for (Context &cx : state.contexts)
        cx = Context{};
    state.kind = kind;
    switch (kind) {
    case 3: state.tree = kThreeSymbolTree; break;
    case 4: state.tree = kFourSymbolTree; break;
    case 8: state.tree = kEightSymbolTree; break;
    default: state.kind = 2; state.tree = kTwoSymbolTree; break;
    }
}

// ---- Decoder -------------------------------------------------------------

void QmDecoder::start(const uint8_t *data, int length, int position)
{
    m_reader = QmByteReader(data, length, position);
    m_reads = 0;
    m_shiftLimit = std::numeric_limits<int>::max();
    m_shifts = 0;
    m_loadedEnd = 0;
    A = 0x10000;
    // T.81 starts with C = the first two bytes and CT = 0.
    W = 0;
    refill(W, 0);
}

void QmDecoder::refill(uint64_t &w, int s)
{
    // Whole bytes below the loaded bits, until 56 or more are loaded.
    for (int loaded = m_loadedEnd - s; loaded <= 56; loaded += 8) {
        w |= uint64_t(m_reader.readByte()) << (56 - loaded);
        m_loadedEnd += 8;
        ++m_reads;
        // The first read past the end: T.81 makes it once 2 + ceil(S / 8)
        // reaches m_reads. It lies ahead of T.81's, which never reads
        // beyond the bits in W.
        if (m_reader.pastEnd() && m_shiftLimit == std::numeric_limits<int>::max())
            m_shiftLimit = 8 * (m_reads - 3);
    }
}

int QmDecoder::decodeBits(State &state, int count)
{
    if (count <= 0)
        return -1;
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 1 | decode2(state);
    return value;
}

// ---- Encoder -------------------------------------------------------------

QmEncoder::QmEncoder() : A(0x10000), C(0), CT(11) {}

void QmEncoder::encodeDecision(Context &cx, int decision)
{
    if (decision == cx.mps)
        codeMps(cx);
    else
        codeLps(cx);
}

// Code_MPS: the MPS keeps the lower sub-interval unless it is the smaller one.
void QmEncoder::codeMps(Context &cx)
{
    A -= cx.qe;
    if (A > 0x7FFF)
        return;
    if (A < cx.qe) {
        C += A;
        A = cx.qe;
    }
    adaptContext(cx, false);
    renormalize();
}

// Code_LPS.
void QmEncoder::codeLps(Context &cx)
{
    A -= cx.qe;
    if (A >= cx.qe) {
        C += A;
        A = cx.qe;
    }
    adaptContext(cx, true);
    renormalize();
}

// RENORM_E.
void QmEncoder::renormalize()
{
    do {
        A <<= 1;
        C <<= 1;
        if (--CT == 0) {
            byteOut();
            CT = 8;
        }
    } while (A <= 0x7FFF);
}

// Byte_out with the carry propagated into the bytes already written.
void QmEncoder::byteOut()
{
    uint32_t t = C >> 19;
    if (t > 0xFF) {
        for (auto it = m_bytes.rbegin(); it != m_bytes.rend(); ++it) {
            m_ffCount -= *it == 0xFF;
            if (++*it != 0) {
                m_ffCount += *it == 0xFF;
                break;
            }
        }
        t &= 0xFF;
    }
    m_bytes.push_back(uint8_t(t));
    m_ffCount += t == 0xFF;
    C &= 0x7FFFF;
}

void QmEncoder::flush()
{
    // Clear_final_bits: the value in [C, C + A) with the most trailing zeros.
    uint32_t t = (C + A - 1) & 0xFFFF0000u;
    if (t < C)
        t += 0x8000;
    C = t << CT;
    byteOut();
    C <<= 8;
    byteOut();
    while (!m_bytes.empty() && m_bytes.back() == 0)
        m_bytes.pop_back();
}

void QmEncoder::encodeSymbol(State &state, int symbol)
{
    if (symbol < 0 || symbol >= kMaxTreeSymbols)
        return;
    const SymbolPath &path = symbolPath(state.kind, symbol);
    for (int i = 0; i < path.length; ++i)
        encodeDecision(state.contexts[path.nodes[i]], path.decisions[i]);
}

// Only A decides how far each decision shifts, and the decisions of one
// symbol use different contexts, so A alone is followed.
long QmEncoder::lastDecisionBits(const State &state, int symbol) const
{
    long bits = codeBits();
    if (symbol < 0 || symbol >= kMaxTreeSymbols)
        return bits;
    const SymbolPath &path = symbolPath(state.kind, symbol);
    uint32_t a = A;
    for (int i = 0; i + 1 < path.length; ++i) {
        const Context &cx = state.contexts[path.nodes[i]];
        a -= cx.qe;
        if (path.decisions[i] == cx.mps) {
            if (a > 0x7FFF)
                continue;
            if (a < cx.qe)
                a = cx.qe;
        } else if (a >= cx.qe) {
            a = cx.qe;
        }
        while (a <= 0x7FFF) {
            a <<= 1;
            ++bits;
        }
    }
    return bits;
}

void QmEncoder::encodeBits(State &state, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        encodeSymbol(state, int(value >> i & 1));
}

std::vector<uint8_t> QmEncoder::stuffedBytes() const
{
    std::vector<uint8_t> out;
    out.reserve(m_bytes.size() + m_bytes.size() / 64 + 2);
    for (uint8_t b : m_bytes) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0x00);
    }
    return out;
}

} // namespace wlt
