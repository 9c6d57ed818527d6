// The QM coder: its table against the data file, the decoder's byte and
// decision conventions, the symbol trees, encoder/decoder agreement, and the
// two published test sequences of the coder, decoded and encoded.

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <vector>

#include "qmcoder.h"

using namespace wlt;

Q_DECLARE_METATYPE(std::vector<int>)

class tst_QmCoder : public QObject {
    Q_OBJECT
private slots:
    void tableMatchesDataFile();
    void readByte_data();
    void readByte();
    void endOfStream();
    void decisionsMatchByteAtATime_data();
    void decisionsMatchByteAtATime();
    void firstDecision_data();
    void firstDecision();
    void trees_data();
    void trees();
    void symbolsFollowTrees_data();
    void symbolsFollowTrees();
    void decodeBitsOfNothing();
    void roundTrip_data();
    void roundTrip();
    void foreseenDecisions_data();
    void foreseenDecisions();
    void knownAnswerDecode_data() { addKnownAnswers(); }
    void knownAnswerDecode();
    void knownAnswerEncode_data() { addKnownAnswers(); }
    void knownAnswerEncode();

private:
    static void addKnownAnswers();
};

void tst_QmCoder::tableMatchesDataFile()
{
    QFile file(QStringLiteral(DORVENT_SOURCE_DIR "/data/qm-probability-table.tsv"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), kQmStateCount + 1);
    QCOMPARE(lines[0].trimmed(), QByteArray("state\tqe\tnext_lps\tnext_mps\tswitch_mps"));
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].trimmed().split('\t');
        QCOMPARE(f.size(), 5);
        const int state = f[0].toInt();
        QCOMPARE(state, i - 1);
        bool ok = false;
        QCOMPARE(int(kQmStates[state].qe), f[1].toInt(&ok, 16));
        QVERIFY(ok);
        QCOMPARE(int(kQmStates[state].nextLps), f[2].toInt());
        QCOMPARE(int(kQmStates[state].nextMps), f[3].toInt());
        QCOMPARE(int(kQmStates[state].switchMps), f[4].toInt());
    }
}

// Streams are read from position 1, as the shape stream is: byte 0 is 'o',
// and the decoder's start takes the next two bytes; the rows list what
// follows.
void tst_QmCoder::readByte_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("delivered");
    QTest::addColumn<int>("positionAfter");
    QTest::newRow("plain bytes") << QByteArray::fromHex("6f0000112233aa") << QByteArray::fromHex("112233") << 6;
    QTest::newRow("FF 00 delivers FF") << QByteArray::fromHex("6f0000ff0012aa") << QByteArray::fromHex("ff12") << 6;
    QTest::newRow("FF 7A delivers 7A") << QByteArray::fromHex("6f0000ff7a12aa") << QByteArray::fromHex("7a12") << 6;
    QTest::newRow("last byte never delivered") << QByteArray::fromHex("6f00001122") << QByteArray::fromHex("110000") << 6;
    QTest::newRow("FF takes the last byte") << QByteArray::fromHex("6f0000ff05") << QByteArray::fromHex("0500") << 6;
    QTest::newRow("FF as the last byte") << QByteArray::fromHex("6f000011ff") << QByteArray::fromHex("1100") << 5;
}

void tst_QmCoder::readByte()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, delivered);
    QFETCH(int, positionAfter);
    const std::vector<uint8_t> data(stream.begin(), stream.end());
    QmByteReader reader(data.data(), int(data.size()), 1);
    reader.readByte();
    reader.readByte();
    QCOMPARE(reader.position(), 3);
    QByteArray got;
    for (int i = 0; i < delivered.size(); ++i)
        got.append(char(reader.readByte()));
    QCOMPARE(got.toHex(), delivered.toHex());
    QCOMPARE(reader.position(), positionAfter);
}

void tst_QmCoder::endOfStream()
{
    // A stream of 5 bytes: the end shows once a read goes past position 5.
    const uint8_t data[] = {'o', 0x12, 0x34, 0x56, 0x78};
    QmByteReader reader(data, 5, 1);
    reader.readByte();
    reader.readByte();
    QVERIFY(!reader.pastEnd());
    QCOMPARE(reader.readByte(), 0x56u);
    QCOMPARE(reader.readByte(), 0u); // byte 4 is the last: never delivered
    QVERIFY(!reader.pastEnd());
    QCOMPARE(reader.position(), 5);
    QCOMPARE(reader.readByte(), 0u);
    QVERIFY(reader.pastEnd());
}

namespace {

// The decoder as T.81 draws it: C fed a byte whenever CT runs out, one
// shift at a time. The decoder under test must take the same decisions and
// see the end of the stream at the same moment.
class ByteAtATimeDecoder {
public:
    ByteAtATimeDecoder(const uint8_t *data, int length, int position) : m_reader(data, length, position)
    {
        const uint32_t b1 = m_reader.readByte();
        const uint32_t b2 = m_reader.readByte();
        m_c = b1 << 24 | b2 << 16;
    }
    bool pastEnd() const { return m_reader.pastEnd(); }
    int decide(Context &cx)
    {
        const uint32_t qe = cx.qe;
        m_a -= qe;
        if ((m_c >> 16) < m_a) {
            if (m_a > 0x7FFF)
                return cx.mps;
            const bool lps = m_a < qe; // the conditional MPS exchange
            const int d = cx.mps ^ int(lps);
            adaptContext(cx, lps);
            renormalize();
            return d;
        }
        m_c -= m_a << 16;
        const bool lps = m_a >= qe; // the conditional LPS exchange
        m_a = qe;
        const int d = cx.mps ^ int(lps);
        adaptContext(cx, lps);
        renormalize();
        return d;
    }

private:
    void renormalize()
    {
        while (m_a < 0x8000) {
            if (m_ct == 0) {
                m_c |= m_reader.readByte() << 8;
                m_ct = 8;
            }
            m_a <<= 1;
            m_c <<= 1;
            --m_ct;
        }
    }
    QmByteReader m_reader;
    uint32_t m_a = 0x10000;
    uint32_t m_c = 0;
    int m_ct = 0;
};

} // namespace

void tst_QmCoder::decisionsMatchByteAtATime_data()
{
    QTest::addColumn<int>("byteRange"); // bytes drawn from 0 .. byteRange - 1
    QTest::addColumn<int>("ffPercent"); // and this share replaced by FF
    QTest::newRow("small bytes") << 4 << 0;
    QTest::newRow("any bytes") << 256 << 0;
    QTest::newRow("mostly FF") << 256 << 70;
}

// On random streams of every length from 1 byte, read long past their end.
void tst_QmCoder::decisionsMatchByteAtATime()
{
    QFETCH(int, byteRange);
    QFETCH(int, ffPercent);
    QRandomGenerator random{quint32(byteRange + ffPercent)};
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint8_t> data(1 + random.bounded(trial < 200 ? 40 : 2000));
        for (uint8_t &b : data)
            b = int(random.bounded(100)) < ffPercent ? 0xFF : uint8_t(random.bounded(byteRange));
        const int position = 1 + trial % 2;
        ByteAtATimeDecoder reference(data.data(), int(data.size()), position);
        QmDecoder decoder;
        decoder.start(data.data(), int(data.size()), position);
        QCOMPARE(decoder.IsEnd_2ff0(), reference.pastEnd());
        Context referenceContexts[8], contexts[8];
        const int decisions = 8 * int(data.size()) + 2000;
        for (int i = 0; i < decisions; ++i) {
            const quint32 k = random.bounded(8);
            const int expected = reference.decide(referenceContexts[k]);
            if (decoder.decodeDecision(contexts[k]) != expected || decoder.IsEnd_2ff0() != reference.pastEnd())
                QFAIL(qPrintable(QStringLiteral("trial %1, decision %2").arg(trial).arg(i)));
        }
    }
}

// A fresh context (state 0, Qe 0x5A1D, MPS 0) splits A = 0x10000 into the MPS
// part [0, 0xA5E3) below and the LPS part above; an LPS in state 0 swaps the
// MPS sense and moves to state 1.
void tst_QmCoder::firstDecision_data()
{
    QTest::addColumn<int>("codeHigh");
    QTest::addColumn<int>("decision");
    QTest::addColumn<int>("mps");
    QTest::addColumn<int>("state");
    QTest::newRow("bottom: MPS") << 0x0000 << 0 << 0 << 0;
    QTest::newRow("just below the split: MPS") << 0xA5E2 << 0 << 0 << 0;
    QTest::newRow("at the split: LPS") << 0xA5E3 << 1 << 1 << 1;
    QTest::newRow("top: LPS") << 0xFFFF << 1 << 1 << 1;
}

void tst_QmCoder::firstDecision()
{
    QFETCH(int, codeHigh);
    QFETCH(int, decision);
    QFETCH(int, mps);
    QFETCH(int, state);
    const uint8_t data[] = {'o', uint8_t(codeHigh >> 8), uint8_t(codeHigh), 0, 0, 0, 0};
    QmDecoder decoder;
    decoder.start(data, int(sizeof data), 1);
    Context cx;
    QCOMPARE(decoder.decodeDecision(cx), decision);
    QCOMPARE(int(cx.mps), mps);
    QCOMPARE(int(cx.state), state);
    QCOMPARE(int(cx.qe), int(kQmStates[state].qe));
}

// Walks a tree with the given decisions; returns the symbol and the nodes
// (contexts) used, or -1 when the decisions do not end on a leaf.
static int walkTree(const State &state, const std::vector<int> &decisions, std::vector<int> &nodes)
{
    int node = 0;
    for (int d : decisions) {
        nodes.push_back(node);
        const TreeNode &n = state.tree[node];
        const bool leaf = d ? n.leaf1 : n.leaf0;
        const int next = d ? n.next1 : n.next0;
        if (leaf)
            return nodes.size() == decisions.size() ? next : -1;
        node = next;
    }
    return -1;
}

void tst_QmCoder::trees_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<std::vector<int>>("decisions");
    QTest::addColumn<int>("symbol");
    QTest::addColumn<std::vector<int>>("nodes");
    QTest::newRow("2 symbols, 0") << 2 << std::vector<int>{0} << 0 << std::vector<int>{0};
    QTest::newRow("2 symbols, 1") << 2 << std::vector<int>{1} << 1 << std::vector<int>{0};
    QTest::newRow("3 symbols, 1") << 3 << std::vector<int>{1} << 2 << std::vector<int>{0};
    QTest::newRow("3 symbols, 00") << 3 << std::vector<int>{0, 0} << 0 << std::vector<int>{0, 1};
    QTest::newRow("3 symbols, 01") << 3 << std::vector<int>{0, 1} << 1 << std::vector<int>{0, 1};
    QTest::newRow("4 symbols, 00") << 4 << std::vector<int>{0, 0} << 0 << std::vector<int>{0, 1};
    QTest::newRow("4 symbols, 01") << 4 << std::vector<int>{0, 1} << 1 << std::vector<int>{0, 1};
    QTest::newRow("4 symbols, 10") << 4 << std::vector<int>{1, 0} << 2 << std::vector<int>{0, 2};
    QTest::newRow("4 symbols, 11") << 4 << std::vector<int>{1, 1} << 3 << std::vector<int>{0, 2};
    const std::vector<int> second = {1, 1, 4, 4};
    const std::vector<int> third = {2, 3, 5, 6};
    for (int s = 0; s < 8; ++s) {
        QTest::addRow("8 symbols, %d", s) << 8 << std::vector<int>{s >> 2 & 1, s >> 1 & 1, s & 1} << s
                                          << std::vector<int>{0, second[size_t(s >> 1)], third[size_t(s >> 1)]};
    }
}

void tst_QmCoder::trees()
{
    QFETCH(int, kind);
    QFETCH(std::vector<int>, decisions);
    QFETCH(int, symbol);
    QFETCH(std::vector<int>, nodes);
    State state;
    InitState(state, kind);
    std::vector<int> used;
    QCOMPARE(walkTree(state, decisions, used), symbol);
    QCOMPARE(used, nodes);
    for (const Context &cx : state.contexts) {
        QCOMPARE(int(cx.mps), 0);
        QCOMPARE(int(cx.state), 0);
        QCOMPARE(int(cx.qe), 0x5A1D);
    }
}

void tst_QmCoder::symbolsFollowTrees_data()
{
    QTest::addColumn<int>("kind");
    for (int kind : {2, 3, 4, 8})
        QTest::addRow("vl%d", kind) << kind;
}

// The decoder's written-out symbol walks take the same decisions with the
// same contexts as a walk down the tree tables, on random streams.
void tst_QmCoder::symbolsFollowTrees()
{
    QFETCH(int, kind);
    QRandomGenerator random{quint32(kind)};
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<uint8_t> data(2 + random.bounded(300));
        for (uint8_t &b : data)
            b = uint8_t(random.bounded(trial % 2 ? 256 : 4));
        QmDecoder fast, slow;
        fast.start(data.data(), int(data.size()), 1);
        slow.start(data.data(), int(data.size()), 1);
        State fastState, slowState;
        InitState(fastState, kind);
        InitState(slowState, kind);
        for (int i = 0; i < 2000; ++i) {
            int node = 0;
            int symbol = -1;
            while (symbol < 0) {
                const TreeNode &n = slowState.tree[node];
                const bool one = slow.decodeDecision(slowState.contexts[size_t(node)]) != 0;
                if (one ? n.leaf1 : n.leaf0)
                    symbol = one ? n.next1 : n.next0;
                else
                    node = one ? n.next1 : n.next0;
            }
            QCOMPARE(fast.decodeSymbol(fastState), symbol);
            QCOMPARE(fast.IsEnd_2ff0(), slow.IsEnd_2ff0());
        }
        for (size_t c = 0; c < fastState.contexts.size(); ++c) {
            QCOMPARE(fastState.contexts[c].state, slowState.contexts[c].state);
            QCOMPARE(fastState.contexts[c].mps, slowState.contexts[c].mps);
        }
    }
}

void tst_QmCoder::decodeBitsOfNothing()
{
    const uint8_t data[] = {'o', 0x12, 0x34, 0x56};
    QmDecoder decoder, fresh;
    decoder.start(data, 4, 1);
    fresh.start(data, 4, 1);
    State s, freshState;
    InitState(s, 2);
    InitState(freshState, 2);
    QCOMPARE(decoder.decodeBits(s, 0), -1);
    QCOMPARE(decoder.decodeBits(s, -3), -1);
    // Nothing was taken: the decoder goes on as a fresh one.
    QCOMPARE(decoder.decodeBits(s, 16), fresh.decodeBits(freshState, 16));
}

// Symbols of every tree, skewed and even, through the encoder and back,
// with the decoder reading the stream as a colour stream (two header bytes,
// one spare byte at the end).
void tst_QmCoder::roundTrip_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("skew");
    QTest::newRow("short") << 10 << 0;
    QTest::newRow("even") << 5000 << 0;
    QTest::newRow("skewed") << 20000 << 95;
    QTest::newRow("all the same") << 20000 << 100;
}

// Symbols of every tree, each with the tree (index into kKinds) it is coded in.
constexpr int kKinds[] = {2, 3, 4, 8};
struct SymbolSequence {
    std::vector<int> symbols;
    std::vector<int> trees;
};

// count symbols in random trees; skew percent of them 0, the rest even.
static SymbolSequence randomSymbols(int count, int skew, uint seed)
{
    QRandomGenerator random(seed);
    SymbolSequence sequence;
    for (int i = 0; i < count; ++i) {
        const int k = int(random.bounded(4));
        sequence.trees.push_back(k);
        sequence.symbols.push_back(int(random.bounded(100)) < skew ? 0 : int(random.bounded(kKinds[k])));
    }
    return sequence;
}

static void initStates(State (&states)[4])
{
    for (int k = 0; k < 4; ++k)
        InitState(states[k], kKinds[k]);
}

// Decodes symbols 0 .. last from a colour stream (two header bytes); returns
// the first that comes out wrong, or -1.
static int firstMisdecoded(const std::vector<uint8_t> &stream, const SymbolSequence &sequence, int last)
{
    State states[4];
    initStates(states);
    QmDecoder decoder;
    decoder.start(stream.data(), int(stream.size()), 2);
    for (int i = 0; i <= last; ++i) {
        if (decoder.decodeSymbol(states[sequence.trees[size_t(i)]]) != sequence.symbols[size_t(i)])
            return i;
    }
    return -1;
}

void tst_QmCoder::roundTrip()
{
    QFETCH(int, count);
    QFETCH(int, skew);
    const SymbolSequence sequence = randomSymbols(count, skew, uint(count * 131 + skew));
    State states[4];
    initStates(states);
    QmEncoder encoder;
    for (int i = 0; i < count; ++i)
        encoder.encodeSymbol(states[sequence.trees[size_t(i)]], sequence.symbols[size_t(i)]);
    encoder.flush();
    std::vector<uint8_t> stream = {12, 'o'};
    const std::vector<uint8_t> bytes = encoder.stuffedBytes();
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    stream.push_back(0xA5); // the last byte is never read
    QCOMPARE(firstMisdecoded(stream, sequence, count - 1), -1);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF)
            QCOMPARE(int(bytes[i + 1]), 0);
    }
    QCOMPARE(encoder.stuffedSize(), int(bytes.size()));
}

// The decisions that walk a tree down to symbol (empty when none does).
static std::vector<int> decisionsFor(const State &state, int symbol)
{
    for (int length = 1; length <= 3; ++length) {
        for (int bits = 0; bits < 1 << length; ++bits) {
            std::vector<int> decisions;
            for (int i = length - 1; i >= 0; --i)
                decisions.push_back(bits >> i & 1);
            std::vector<int> nodes;
            if (walkTree(state, decisions, nodes) == symbol)
                return decisions;
        }
    }
    return {};
}

void tst_QmCoder::foreseenDecisions_data()
{
    QTest::addColumn<int>("skew");
    QTest::newRow("even") << 0;
    QTest::newRow("skewed") << 90;
}

// lastDecisionBits() foresees where the last decision of a symbol will sit
// (checked by coding the symbol decision by decision), and that is what a
// decoder needs: holding the code only up to there + 16, followed by low or
// high filler, it gets the symbol and all before it right.
void tst_QmCoder::foreseenDecisions()
{
    QFETCH(int, skew);
    constexpr int kCount = 2000;
    const SymbolSequence sequence = randomSymbols(kCount, skew, uint(7 + skew));
    std::vector<long> foreseen;
    State states[4];
    initStates(states);
    QmEncoder encoder;
    for (int i = 0; i < kCount; ++i) {
        State &state = states[sequence.trees[size_t(i)]];
        const int symbol = sequence.symbols[size_t(i)];
        foreseen.push_back(encoder.lastDecisionBits(state, symbol));
        const std::vector<int> decisions = decisionsFor(state, symbol);
        std::vector<int> nodes;
        walkTree(state, decisions, nodes);
        for (size_t d = 0; d < decisions.size(); ++d) {
            if (d + 1 == decisions.size())
                QCOMPARE(encoder.codeBits(), foreseen.back());
            encoder.encodeDecision(state.contexts[size_t(nodes[d])], decisions[d]);
        }
    }
    encoder.flush();
    const std::vector<uint8_t> stuffed = encoder.stuffedBytes();
    std::vector<uint8_t> raw;
    for (size_t i = 0; i < stuffed.size(); ++i) {
        raw.push_back(stuffed[i]);
        i += stuffed[i] == 0xFF;
    }
    for (int last = 0; last < kCount; last += 37) {
        const long needed = (foreseen[size_t(last)] + 16 + 7) / 8;
        for (const uint8_t filler : {0x00, 0xFE}) {
            std::vector<uint8_t> stream = {12, 'o'};
            for (long i = 0; i < needed && i < long(raw.size()); ++i) {
                stream.push_back(raw[size_t(i)]);
                if (raw[size_t(i)] == 0xFF)
                    stream.push_back(0x00);
            }
            stream.insert(stream.end(), 8, filler);
            stream.push_back(0xA5); // the last byte is never read
            QCOMPARE(firstMisdecoded(stream, sequence, last), -1);
        }
    }
}

// The standards' own test sequences for this coder (every context starts at
// state 0, MPS 0): 256 decisions, bit i of `decisions` (most significant bit
// first) coded in the context given by bit i of `contexts`, and the coded
// bytes the standard publishes for them, with a 00 stuffed after each FF.
// The same text is kept in data/qm-test-sequences.txt.
void tst_QmCoder::addKnownAnswers()
{
    QTest::addColumn<QByteArray>("decisions");
    QTest::addColumn<QByteArray>("contexts");
    QTest::addColumn<QByteArray>("coded");
    // ITU-T T.81 Annex K.4.1: 32 bytes, all in one context. Followed by the
    // marker FF D9 in the standard.
    QTest::newRow("T.81 K.4.1")
        << QByteArray::fromHex("00020051 000000C0 0352872A AAAAAAAA 82C02000 FCD79EF6 74EAABF7 697EE74C")
        << QByteArray(32, 0)
        << QByteArray::fromHex("655B5144 F7969D51 7855BFFF 00FC5184 C7CEF939 00287D46 708ECBC0 F6");
    // ITU-T T.82 clause 7.1: PIX and CX as sixteen 16-bit words each, two
    // contexts; its carries run into stuffed FF 00 pairs. Followed by the
    // marker FF 02 in the standard.
    QTest::newRow("T.82 7.1")
        << QByteArray::fromHex("05E0 0000 8B00 01C4 1700 0034 7FFF 1A3F 951B 05D8 1D17 E770 0000 0000 0656 0E6A")
        << QByteArray::fromHex("0FE0 0000 0F00 00F0 FF00 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000")
        << QByteArray::fromHex("6989995C 32EAFAA0 D5FF0052 7FFF00FF 00FF00C0 0000003F FF002D20 8291");
}

static int bitAt(const QByteArray &bits, int i) { return uint8_t(bits[i / 8]) >> (7 - i % 8) & 1; }

// The standard's decoder reads the coded bytes up to the marker and zero bits
// from the marker on. Ours knows no markers (FF D9 would deliver D9 as code):
// a stream ends at its length, its last byte is never delivered, and the
// decoder reads zeros past it. So the stream here is 'o' (the byte start()
// skips at position 1, as for the shape stream), the coded bytes, and the
// marker's FF as the stream's last byte, never delivered; the D9 or 02 is
// left out, and the zeros our decoder then reads are the standard's zeros
// from the marker on. Both sequences read past their coded bytes for their
// last decisions (delivered as code, D9 or 02 would spoil them), and without
// the spare byte the final coded byte would never be delivered.
void tst_QmCoder::knownAnswerDecode()
{
    QFETCH(QByteArray, decisions);
    QFETCH(QByteArray, contexts);
    QFETCH(QByteArray, coded);
    const QByteArray stream = 'o' + coded + char(0xFF);
    const std::vector<uint8_t> data(stream.begin(), stream.end());
    QmDecoder decoder;
    decoder.start(data.data(), int(data.size()), 1);
    Context cx[2];
    QByteArray decoded(decisions.size(), 0);
    for (int i = 0; i < 8 * decisions.size(); ++i)
        decoded[i / 8] = char(decoded[i / 8] | decoder.decodeDecision(cx[bitAt(contexts, i)]) << (7 - i % 8));
    QCOMPARE(decoded.toHex(' '), decisions.toHex(' '));
    QVERIFY(decoder.IsEnd_2ff0());
}

// Our flush is the standard's (the final bits cleared, two bytes out,
// trailing zero bytes dropped) and stuffedBytes() puts a 00 after each FF as
// the standard does, so the bytes must be the published ones exactly; only
// the marker after them is not ours to write (our streams have none).
void tst_QmCoder::knownAnswerEncode()
{
    QFETCH(QByteArray, decisions);
    QFETCH(QByteArray, contexts);
    QFETCH(QByteArray, coded);
    QmEncoder encoder;
    Context cx[2];
    for (int i = 0; i < 8 * decisions.size(); ++i)
        encoder.encodeDecision(cx[bitAt(contexts, i)], bitAt(decisions, i));
    encoder.flush();
    const std::vector<uint8_t> bytes = encoder.stuffedBytes();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex(' '), coded.toHex(' '));
    QCOMPARE(encoder.stuffedSize(), int(bytes.size()));
}

QTEST_APPLESS_MAIN(tst_QmCoder)
#include "tst_qmcoder.moc"
