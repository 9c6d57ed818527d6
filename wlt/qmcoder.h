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
        uint32_t a = A, c = C;
        int ct = CT;
        const int d = decide(cx, a, c, ct);
        A = a;
        C = c;
        CT = ct;
        return d;
    }
    // The four trees' walks written out (tst_QmCoder holds them to the tree
    // tables, which the encoder walks); the registers live in locals
    // meanwhile, since the contexts' byte stores could alias them.
    int decodeSymbol(State &state)
    {
        uint32_t a = A, c = C;
        int ct = CT;
        Context *cx = state.contexts.data();
        int symbol;
        switch (state.kind) {
        case 2:
            symbol = decide(cx[0], a, c, ct);
            break;
        case 3:
            symbol = decide(cx[0], a, c, ct) ? 2 : decide(cx[1], a, c, ct);
            break;
        case 4: {
            const int high = decide(cx[0], a, c, ct);
            symbol = high << 1 | decide(cx[high ? 2 : 1], a, c, ct);
            break;
        }
        default: {
            const int high = decide(cx[0], a, c, ct);
            const int middle = decide(cx[high ? 4 : 1], a, c, ct);
            symbol = high << 2 | middle << 1 | decide(cx[high ? 5 + middle : 2 + middle], a, c, ct);
            break;
        }
        }
        A = a;
        C = c;
        CT = ct;
        return symbol;
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
    // DECODE: the lower sub-interval is the MPS unless the conditional
    // exchange gives it to the LPS; RENORM_D after either exchange.
    [[gnu::always_inline]] int decide(Context &cx, uint32_t &a, uint32_t &c, int &ct)
    {
        const uint32_t qe = cx.qe;
        a -= qe;
        int d;
        if ((c >> 16) < a) {
            if (a > 0x7FFF)
                return cx.mps;
            // Cond_MPS_exchange
            if (a < qe) {
                d = 1 - cx.mps;
                lpsTransition(cx);
            } else {
                d = cx.mps;
                mpsTransition(cx);
            }
        } else {
            // Cond_LPS_exchange
            c -= a << 16;
            if (a < qe) {
                d = cx.mps;
                mpsTransition(cx);
            } else {
                d = 1 - cx.mps;
                lpsTransition(cx);
            }
            a = qe;
        }
        renormalize(a, c, ct);
        return d;
    }

    static void mpsTransition(Context &cx)
    {
        cx.state = ShiftTb[cx.state].nextMps;
        cx.qe = ShiftTb[cx.state].qe;
    }
    static void lpsTransition(Context &cx)
    {
        const QmRow &row = ShiftTb[cx.state];
        cx.mps = uint8_t(cx.mps ^ row.switchMps);
        cx.state = row.nextLps;
        cx.qe = ShiftTb[cx.state].qe;
    }

    // Shifts A left until its bit 15 is set, in as few steps as the bytes
    // allow; a byte enters C whenever CT runs out and a shift remains.
    void renormalize(uint32_t &a, uint32_t &c, int &ct)
    {
        int shifts = __builtin_clz(a) - 16; // 0 < a < 0x8000 here
        while (shifts > 0) {
            if (ct == 0) {
                c |= readByte() << 8;
                ct = 8;
            }
            const int k = shifts < ct ? shifts : ct;
            a <<= k;
            c <<= k;
            ct -= k;
            shifts -= k;
        }
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
    std::vector<uint8_t> m_bytes;
};

} // namespace wlt
