#pragma once
// QM binary arithmetic coder (ITU-T T.81 Annex D) with the WLT byte
// conventions, and the adaptive symbol models built on it: a symbol is a walk
// down a small binary tree, one adaptive context per tree node.

#include <array>
#include <cstdint>
#include <vector>

namespace wlt {

// One row of the probability-estimation table.
struct QmRow {
    uint16_t qe;
    uint8_t nextLps;
    uint8_t nextMps;
    uint8_t switchMps;
};
constexpr int kQmStateCount = 113;
// The table, a row per state (qmtable.cpp).
extern const std::array<QmRow, kQmStateCount> kQmStates;

struct Context {
    uint8_t mps = 0;
    uint8_t state = 0;
    uint16_t qe = 0x5A1D;
};

// After decision 0 the walk goes to next0, which is the symbol when leaf0 is
// 1 and otherwise the next node; likewise for decision 1.
struct TreeNode {
    uint8_t leaf0, next0, leaf1, next1;
};

// kind: the tree's number of symbols, 2, 3, 4 or 8.
struct State {
    std::array<Context, 8> contexts;
    const TreeNode *tree = nullptr;
    int kind = 0;
};

void InitState(State &state, int kind);

// The probability estimate's move after a decision that renormalised: to the
// next state of the LPS (switching the MPS where the table says) or the MPS.
inline void adaptContext(Context &cx, bool lps)
{
    const QmRow &row = kQmStates[cx.state];
    cx.mps = uint8_t(cx.mps ^ (int(lps) & row.switchMps));
    cx.state = lps ? row.nextLps : row.nextMps;
    cx.qe = kQmStates[cx.state].qe;
}

// The bytes a T.81 decoder reads from one stream, one at a time. The stream's
// last byte is never delivered and everything past it reads as 0; a byte FF
// is a prefix: FF 00 delivers FF, FF xx delivers xx.
class QmByteReader {
public:
    // position: index of the first coded byte. data must hold length bytes.
    QmByteReader(const uint8_t *data, int length, int position) : m_data(data), m_length(length), m_position(position) {}
    uint32_t readByte()
    {
        const int p = m_position;
        if (p + 1 >= m_length) {
            m_position = p + 1;
            return 0;
        }
        const uint8_t b = m_data[p];
        m_position = p + 1;
        if (b != 0xFF)
            return b;
        const uint8_t b2 = m_data[p + 1];
        m_position = p + 2;
        return b2 != 0 ? b2 : 0xFF;
    }
    int position() const { return m_position; }
    // True once a read went beyond the stream.
    bool pastEnd() const { return m_position > m_length; }

private:
    const uint8_t *m_data;
    int m_length;
    int m_position;
};

// The T.81 decoder over one stream (the bytes of QmByteReader). Decisions
// and symbols are inline: they are the inner loop of every photo.
//
// T.81 keeps the code in C, whose upper 16 bits are compared with A, and
// feeds it a byte whenever its bit count CT runs out. Here a 64-bit W holds C
// in its upper half with the code that follows already below it: a byte fed
// later would land exactly there, and no subtraction ever reaches those bits,
// so every decision is T.81's while renormalising is a single shift and
// bytes are read a few at a time. The end of the stream is where T.81's reads
// would pass it: after S shifts T.81 has read 2 + ceil(S / 8) bytes.
class QmDecoder {
public:
    // position: index of the first coded byte (1 for the shape stream, 2 for
    // a colour stream). data must hold length bytes.
    void start(const uint8_t *data, int length, int position);

    int decodeDecision(Context &cx)
    {
        Registers r = registers();
        const int d = decide(cx, r);
        store(r);
        return d;
    }
    // The four trees' walks written out (tst_QmCoder holds them to the tree
    // tables, which the encoder walks).
    int decodeSymbol(State &state)
    {
        switch (state.kind) {
        case 2: return decode2(state);
        case 3: return decode3(state);
        case 4: return decode4(state);
        default: return decode8(state);
        }
    }
    // The same where the caller knows the state's tree: kTree is its kind.
    template <int kTree>
    int decodeSymbol(State &state)
    {
        static_assert(kTree == 2 || kTree == 3 || kTree == 4 || kTree == 8, "no such tree");
        if constexpr (kTree == 2)
            return decode2(state);
        else if constexpr (kTree == 3)
            return decode3(state);
        else if constexpr (kTree == 4)
            return decode4(state);
        else
            return decode8(state);
    }
    // count symbols of a two-symbol state, most significant first; -1 when count <= 0.
    int decodeBits(State &state, int count);
    // True once T.81 would have asked for a byte beyond the stream.
    bool IsEnd_2ff0() const { return m_shifts > m_shiftLimit; }

private:
    // The registers in locals while a symbol is decoded: the contexts' byte
    // stores could otherwise alias them.
    struct Registers {
        uint32_t a;
        uint64_t w;
        int s;
    };
    Registers registers() const { return Registers{A, W, m_shifts}; }
    void store(const Registers &r)
    {
        A = r.a;
        W = r.w;
        m_shifts = r.s;
    }

    int decode2(State &state)
    {
        Registers r = registers();
        const int symbol = decide(state.contexts[0], r);
        store(r);
        return symbol;
    }
    int decode3(State &state)
    {
        Registers r = registers();
        const int symbol = decide(state.contexts[0], r) ? 2 : decide(state.contexts[1], r);
        store(r);
        return symbol;
    }
    int decode4(State &state)
    {
        Registers r = registers();
        const int high = decide(state.contexts[0], r);
        const int symbol = high << 1 | decide(state.contexts[high ? 2 : 1], r);
        store(r);
        return symbol;
    }
    int decode8(State &state)
    {
        Registers r = registers();
        const int high = decide(state.contexts[0], r);
        const int middle = decide(state.contexts[high ? 4 : 1], r);
        const int symbol = high << 2 | middle << 1 | decide(state.contexts[high ? 5 + middle : 2 + middle], r);
        store(r);
        return symbol;
    }

    // DECODE: the lower sub-interval is the MPS unless the conditional
    // exchange gives it to the LPS; RENORM_D after either exchange. Past the
    // common case (the MPS, no renormalisation) the exchanges are computed
    // without branches: their outcome is what the code says, which no
    // predictor knows.
    [[gnu::always_inline]] int decide(Context &cx, Registers &r)
    {
        uint32_t &a = r.a;
        uint64_t &w = r.w;
        int &s = r.s;
        const uint32_t qe = cx.qe;
        a -= qe;
        const bool lower = uint32_t(w >> 48) < a;
        if (lower && a > 0x7FFF)
            return cx.mps;
        // Cond_MPS_exchange (lower) and Cond_LPS_exchange: the LPS when the
        // lower interval is the smaller one, or the upper the larger.
        const bool lps = lower == (a < qe);
        w = lower ? w : w - (uint64_t(a) << 48);
        a = lower ? a : qe;
        const int d = cx.mps ^ int(lps);
        adaptContext(cx, lps);
        // RENORM_D: A shifts left until its bit 15 is set, W with it.
        const int shifts = __builtin_clz(a) - 16; // 0 < a < 0x8000 here
        a <<= shifts;
        w <<= shifts;
        s += shifts;
        if (m_loadedEnd - s < kMinLoaded)
            refill(w, s);
        return d;
    }

    // W holds code bits s .. m_loadedEnd - 1 from its top bit down; a
    // renormalisation shifts at most 15, so keeping 48 leaves C whole.
    static constexpr int kMinLoaded = 48;
    void refill(uint64_t &w, int s);

    QmByteReader m_reader{nullptr, 0, 0};
    int m_reads = 0; // bytes read, T.81's first two included
    uint32_t A = 0;
    uint64_t W = 0;
    int m_shifts = 0;     // S: renormalisation shifts so far
    int m_shiftLimit = 0; // the last S at which T.81 has not read past the end
    int m_loadedEnd = 0;  // code bits in W or shifted out, counted from the stream's first
};

// The T.81 encoder (A, C, CT with carry propagation), producing the byte
// sequence that QmDecoder reads: FF is followed by a stuffed 00.
class QmEncoder {
public:
    QmEncoder();
    void encodeDecision(Context &cx, int decision);
    void encodeSymbol(State &state, int symbol);
    void encodeBits(State &state, uint32_t value, int count);
    // Terminates the code (T.81 Flush); trailing zero bytes are dropped since
    // the decoder reads zeros past the end anyway.
    void flush();
    // Coded bytes so far, without stuffing (their count bounds the stuffed size
    // from below).
    int rawSize() const { return int(m_bytes.size()); }
    // Coded bytes so far with a 00 stuffed after each FF.
    int stuffedSize() const { return int(m_bytes.size()) + m_ffCount; }
    // Renormalisation shifts so far: the decoder, at the same point, compares
    // code bits codeBits() .. codeBits() + 15 of the unstuffed bytes.
    long codeBits() const { return 8L * long(m_bytes.size()) + 11 - CT; }
    // codeBits() at the last decision encodeSymbol(state, symbol) would make:
    // the decoder gets that symbol right once it has the code up to this + 16.
    long lastDecisionBits(const State &state, int symbol) const;
    // The coded bytes with a 00 stuffed after each FF.
    std::vector<uint8_t> stuffedBytes() const;

private:
    void codeMps(Context &cx);
    void codeLps(Context &cx);
    void renormalize();
    void byteOut();

    uint32_t A;
    uint32_t C;
    int CT;
    int m_ffCount = 0;
    std::vector<uint8_t> m_bytes;
};

} // namespace wlt
