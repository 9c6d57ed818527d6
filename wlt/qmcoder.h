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
extern const std::array<QmRow, kQmStateCount> ShiftTb;

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

// kind 2, 3, 4 or 8: the trees vl2, vl3, vl4, vl8.
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
    const QmRow &row = ShiftTb[cx.state];
    cx.mps = uint8_t(cx.mps ^ (int(lps) & row.switchMps));
    cx.state = lps ? row.nextLps : row.nextMps;
    cx.qe = ShiftTb[cx.state].qe;
}

// The decoder registers of T.81 (A, C, CT) over one stream. The stream's last
// byte is never delivered and everything past it reads as 0; a byte FF is a
// prefix: FF 00 delivers FF, FF xx delivers xx. Decisions and symbols are
// inline: they are the inner loop of every photo.
class Jg {
public:
    // position: index of the first coded byte (1 for the shape stream, 2 for
    // a colour stream). data must hold length bytes.
    void start(const uint8_t *data, int length, int position);

    int decodeDecision(Context &cx)
    {
        return withRegisters([&](uint32_t &a, uint32_t &c, int &ct) { return decide(cx, a, c, ct); });
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
    // count symbols of a vl2 state, most significant first; -1 when count <= 0.
    int decodeBits(State &state, int count);
    // True once the decoder has asked for a byte beyond the stream.
    bool IsEnd_2ff0() const { return m_position > m_length; }
    int position() const { return m_position; }
    // The next byte of the code, as the decoder sees it.
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

private:
    int decode2(State &state)
    {
        return withRegisters([&](uint32_t &a, uint32_t &c, int &ct) { return decide(state.contexts[0], a, c, ct); });
    }
    int decode3(State &state)
    {
        return withRegisters([&](uint32_t &a, uint32_t &c, int &ct) {
            return decide(state.contexts[0], a, c, ct) ? 2 : decide(state.contexts[1], a, c, ct);
        });
    }
    int decode4(State &state)
    {
        return withRegisters([&](uint32_t &a, uint32_t &c, int &ct) {
            const int high = decide(state.contexts[0], a, c, ct);
            return high << 1 | decide(state.contexts[high ? 2 : 1], a, c, ct);
        });
    }
    int decode8(State &state)
    {
        return withRegisters([&](uint32_t &a, uint32_t &c, int &ct) {
            const int high = decide(state.contexts[0], a, c, ct);
            const int middle = decide(state.contexts[high ? 4 : 1], a, c, ct);
            return high << 2 | middle << 1 | decide(state.contexts[high ? 5 + middle : 2 + middle], a, c, ct);
        });
    }

    // Runs f on copies of the registers in locals and stores them back: the
    // contexts' byte stores could otherwise alias them.
    template <class F>
    [[gnu::always_inline]] int withRegisters(F f)
    {
        uint32_t a = A, c = C;
        int ct = CT;
        const int result = f(a, c, ct);
        A = a;
        C = c;
        CT = ct;
        return result;
    }

    // DECODE: the lower sub-interval is the MPS unless the conditional
    // exchange gives it to the LPS; RENORM_D after either exchange. Past the
    // common case (the MPS, no renormalisation) the exchanges are computed
    // without branches: their outcome is what the code says, which no
    // predictor knows.
    [[gnu::always_inline]] int decide(Context &cx, uint32_t &a, uint32_t &c, int &ct)
    {
        const uint32_t qe = cx.qe;
        a -= qe;
        const bool lower = (c >> 16) < a;
        if (lower && a > 0x7FFF)
            return cx.mps;
        // Cond_MPS_exchange (lower) and Cond_LPS_exchange: the LPS when the
        // lower interval is the smaller one, or the upper the larger.
        const bool lps = lower == (a < qe);
        c = lower ? c : c - (a << 16);
        a = lower ? a : qe;
        const int d = cx.mps ^ int(lps);
        adaptContext(cx, lps);
        renormalize(a, c, ct);
        return d;
    }

    // Shifts A left until its bit 15 is set; a byte enters C whenever CT
    // runs out and a shift remains.
    [[gnu::always_inline]] void renormalize(uint32_t &a, uint32_t &c, int &ct)
    {
        int shifts = __builtin_clz(a) - 16; // 0 < a < 0x8000 here
        while (shifts > ct) {
            a <<= ct;
            c <<= ct;
            shifts -= ct;
            c |= readByte() << 8;
            ct = 8;
        }
        a <<= shifts;
        c <<= shifts;
        ct -= shifts;
    }

    uint32_t A = 0;
    uint32_t C = 0;
    int CT = 0;
    const uint8_t *m_data = nullptr;
    int m_length = 0;
    int m_position = 0;
};

// The T.81 encoder (A, C, CT with carry propagation), producing the byte
// sequence that Jg reads: FF is followed by a stuffed 00.
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
