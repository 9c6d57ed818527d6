// Unpack_Data on hand-built blocks: every failure code with its reason, the
// outline fill, streams that end early, and bounds on hostile input.

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "libwlt.h"
#include "wltdecoder.h"
#include "wltencoder.h"
#include "wlttransform.h"

using namespace wlt;

namespace {

// The fields of a shape stream, each of which a test may spoil.
struct ShapeFields {
    int firstBit = 0;
    Colour background{250, 240, 230};
    int present = 1;
    int count = 76;
    int x0 = 40;
    int y0 = 50;
    // d0 and then one turn symbol per further direction: a 20 x 20 square.
    std::vector<int> symbols;
    int finalBit = 0;

    ShapeFields()
    {
        symbols.push_back(0); // east
        for (int side = 0; side < 4; ++side) {
            if (side > 0)
                symbols.push_back(4); // +2: a right turn
            for (int i = 0; i < 18; ++i)
                symbols.push_back(0);
        }
    }

    std::vector<uint8_t> stream() const
    {
        QmEncoder e;
        State s2, s8;
        InitState(s2, 2);
        InitState(s8, 8);
        e.encodeBits(s2, uint32_t(firstBit), 1);
        e.encodeBits(s2, background.r, 8);
        e.encodeBits(s2, background.g, 8);
        e.encodeBits(s2, background.b, 8);
        e.encodeBits(s2, uint32_t(present), 8);
        e.encodeBits(s2, uint32_t(count), 16);
        e.encodeBits(s2, uint32_t(x0), 12);
        e.encodeBits(s2, uint32_t(y0), 12);
        for (int s : symbols)
            e.encodeSymbol(s8, s);
        e.encodeBits(s2, uint32_t(finalBit), 1);
        e.flush();
        std::vector<uint8_t> out{'o'};
        const std::vector<uint8_t> bytes = e.stuffedBytes();
        out.insert(out.end(), bytes.begin(), bytes.end());
        out.push_back(0);
        return out;
    }
};

// A block laid out field by field, before scrambling.
struct BlockLayout {
    uint8_t magic[7] = {kMagic[0], kMagic[1], kMagic[2], kMagic[3], kMagic[4], kMagic[5], kMagic[6]};
    ShapeFields shape;
    std::vector<uint8_t> shapeStream = shape.stream();
    int64_t shapeLength = int64_t(shapeStream.size());
    int64_t colourLength = kWltBlockSize - kShapeStreamOffset - int64_t(shapeStream.size());
    int topPlane[3] = {3, 3, 3};
    uint8_t marker[3] = {'o', 'o', 'o'};
    int length = kWltBlockSize;

    void respell() // after changing shape
    {
        shapeStream = shape.stream();
        shapeLength = int64_t(shapeStream.size());
        colourLength = kWltBlockSize - kShapeStreamOffset - shapeLength;
    }

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> b(4096, 0);
        std::copy(std::begin(magic), std::end(magic), b.begin());
        auto put32 = [&b](size_t at, int64_t v) {
            for (int i = 0; i < 4; ++i)
                b[at + size_t(i)] = uint8_t(uint64_t(v) >> (8 * i));
        };
        put32(kShapeLengthOffset, shapeLength);
        std::copy(shapeStream.begin(), shapeStream.end(), b.begin() + kShapeStreamOffset);
        const size_t colourAt = kShapeStreamOffset + shapeStream.size();
        put32(colourAt, colourLength);
        // Stream headers where the split puts them (the nominal split when
        // the length field is spoilt).
        StreamLengths l = colourStreamLengths(colourLength);
        if (l.l0 < 2 || l.l1 < 2 || l.l2 < 2 || l.l0 + l.l1 > 3000)
            l = colourStreamLengths(kWltBlockSize - kShapeStreamOffset - int64_t(shapeStream.size()));
        const size_t starts[3] = {colourAt + 4, colourAt + 4 + size_t(l.l0), colourAt + 4 + size_t(l.l0 + l.l1)};
        for (int c = 0; c < 3; ++c) {
            b[starts[c]] = uint8_t(topPlane[c]);
            b[starts[c] + 1] = marker[c];
        }
        b.resize(size_t(length));
        for (size_t i = kScrambledFrom; i < b.size(); ++i)
            b[i] ^= kWltScrambleMask;
        return b;
    }
};

int unpack(const std::vector<uint8_t> &block, std::vector<uint8_t> *bmp = nullptr)
{
    std::vector<uint8_t> out(40960, 0);
    int outLength = -1;
    libwlt decoder;
    const int result = decoder.Unpack_Data(block.data(), int(block.size()), out.data(), &outLength);
    if (result == WltSuccess && outLength != kWltBmpFileSize)
        return -1;
    if (bmp)
        *bmp = std::vector<uint8_t>(out.begin(), out.begin() + kWltBmpFileSize);
    return result;
}

using Mutation = std::function<void(BlockLayout &)>;

} // namespace

Q_DECLARE_METATYPE(Mutation)

class tst_WltDecoder : public QObject {
    Q_OBJECT
private slots:
    void wellFormedBlock();
    void rejected_data();
    void rejected();
    void failureWritesNothing_data();
    void failureWritesNothing();
    void resultTexts();
    void horizontalChainTogglesNothing();
    void fillMatchesPrefixToggling_data();
    void fillMatchesPrefixToggling();
    void filledSquare();
    void streamsEndingEarly_data();
    void streamsEndingEarly();
    void lastStreamByteNeverRead();
    void hostileBlocks();
    void shapeDescendants();
    void coverMatchesZeroRootWalk();
};

void tst_WltDecoder::wellFormedBlock()
{
    std::vector<uint8_t> bmp;
    QCOMPARE(unpack(BlockLayout().bytes(), &bmp), int(WltSuccess));
}

void tst_WltDecoder::rejected_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<int>("code");

    auto row = [](const char *name, int code, Mutation m) { QTest::newRow(name) << m << code; };
    row("3: magic missing", 3, [](BlockLayout &b) { b.magic[0] = 'w'; });
    row("3: magic spoilt", 3, [](BlockLayout &b) { b.magic[4] = '-'; });
    row("3: block shorter than the magic", 3, [](BlockLayout &b) { b.length = 6; });
    row("4: block shorter than 15 bytes", 4, [](BlockLayout &b) { b.length = 14; });
    row("4: shape stream longer than 1032", 4, [](BlockLayout &b) { b.shapeLength = 1033; });
    row("4: shape stream past the work copy", 4, [](BlockLayout &b) {
        b.length = 100; // work copy: 2 * (100 - 10) + 10 = 190 bytes
        b.shapeLength = 176;
    });
    row("5: shape length 0", 5, [](BlockLayout &b) { b.shapeLength = 0; });
    row("5: shape length negative", 5, [](BlockLayout &b) { b.shapeLength = -2; });
    row("5: shape stream without 'o'", 5, [](BlockLayout &b) { b.shapeStream[0] = 'p'; });
    row("6: first shape bit 1", 6, [](BlockLayout &b) { b.shape.firstBit = 1; b.respell(); });
    row("7: shape-present 0", 7, [](BlockLayout &b) { b.shape.present = 0; b.respell(); });
    row("7: shape-present 2", 7, [](BlockLayout &b) { b.shape.present = 2; b.respell(); });
    row("8: chain of 509 directions", 8, [](BlockLayout &b) { b.shape.count = 509; b.respell(); });
    row("8: chain of 65535 directions", 8, [](BlockLayout &b) { b.shape.count = 65535; b.respell(); });
    row("8: start right of the picture", 8, [](BlockLayout &b) {
        b.shape.x0 = 102;
        b.shape.count = 0;
        b.shape.symbols = {0};
        b.respell();
    });
    row("8: start below the picture", 8, [](BlockLayout &b) {
        b.shape.y0 = 4095;
        b.shape.count = 0;
        b.shape.symbols = {0};
        b.respell();
    });
    row("8: chain leaving at the right", 8, [](BlockLayout &b) { b.shape.x0 = 101 - 18; b.respell(); });
    row("8: chain leaving at the top", 8, [](BlockLayout &b) {
        b.shape.count = 2;
        b.shape.x0 = 5;
        b.shape.y0 = 0;
        b.shape.symbols = {6, 0}; // north, north
        b.respell();
    });
    row("8: bit after the chain 1", 8, [](BlockLayout &b) { b.shape.finalBit = 1; b.respell(); });
    row("9: Y stream longer than 1032", 9, [](BlockLayout &b) { b.colourLength = 1300; });
    row("9: colour length negative", 9, [](BlockLayout &b) { b.colourLength = -1000; });
    row("9: colour length huge", 9, [](BlockLayout &b) { b.colourLength = 0x7FFFFFFF; });
    row("9: streams past the work copy", 9, [](BlockLayout &b) { b.length = 400; });
    row("9: no room for the colour length", 9, [](BlockLayout &b) {
        b.length = 100;
        b.shapeStream.resize(175, 0); // ends 1 byte before the 190-byte work copy does
        b.shapeLength = 175;
    });
    row("10: Y stream without 'o'", 10, [](BlockLayout &b) { b.marker[0] = 0; });
    row("10: Cr stream without 'o'", 10, [](BlockLayout &b) { b.marker[2] = 'O'; });
    row("10: top plane 30", 10, [](BlockLayout &b) { b.topPlane[1] = 30; });
    row("10: top plane 255", 10, [](BlockLayout &b) { b.topPlane[0] = 255; });
}

void tst_WltDecoder::rejected()
{
    QFETCH(Mutation, mutation);
    QFETCH(int, code);
    BlockLayout layout;
    mutation(layout);
    QCOMPARE(unpack(layout.bytes()), code);
}

// A failure leaves both the output buffer and the output length alone.
void tst_WltDecoder::failureWritesNothing_data()
{
    QTest::addColumn<int>("spoilt");
    QTest::newRow("magic") << 0;
    QTest::newRow("shape length") << 11;
    QTest::newRow("shape stream") << 20;
}

void tst_WltDecoder::failureWritesNothing()
{
    QFETCH(int, spoilt);
    std::vector<uint8_t> block = BlockLayout().bytes();
    block[size_t(spoilt)] ^= 0x40;
    std::vector<uint8_t> out(40960, 0xAB);
    int outLength = 1234;
    libwlt decoder;
    QVERIFY(decoder.Unpack_Data(block.data(), int(block.size()), out.data(), &outLength) != WltSuccess);
    QCOMPARE(outLength, 1234);
    QVERIFY(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0xAB; }));
}

void tst_WltDecoder::resultTexts()
{
    for (int code = 3; code <= 11; ++code)
        QVERIFY(QByteArray(wltResultText(code)) != "unknown result");
    QCOMPARE(QByteArray(wltResultText(2)), QByteArray("unknown result"));
    QCOMPARE(QByteArray(wltResultText(WltNoMagic)), QByteArray("magic missing"));
}

void tst_WltDecoder::horizontalChainTogglesNothing()
{
    Chain chain;
    chain.x0 = 10;
    chain.y0 = 20;
    chain.count = 5;
    const uint8_t directions[] = {0, 0, 0, 4, 4}; // east 3, west 2
    std::copy(std::begin(directions), std::end(directions), chain.directions);
    Plane8 n;
    fillChain(chain, n);
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c)
            QCOMPARE(int(n[r][c]), r == 20 && c >= 10 && c <= 13 ? 1 : 0);
    }
}

namespace {

// The row-toggling fill done literally: each toggle flips the row from the
// chain's leftmost column up to its own, one pixel at a time.
void fillByPrefixToggling(const Chain &chain, Plane8 &n)
{
    n = Plane8{};
    int minX = chain.x0, col = chain.x0, row = chain.y0;
    for (int i = 0; i < chain.count; ++i) {
        col += kColumnStep[chain.directions[i]];
        minX = std::min(minX, col);
    }
    auto toggle = [&](int r, int c) {
        for (int i = minX; i <= c; ++i)
            n[r][i] ^= 1;
    };
    col = chain.x0;
    int v = -1;
    for (int i = 0; i < chain.count; ++i) {
        const int d = chain.directions[i];
        const int nextCol = col + kColumnStep[d];
        const int nextRow = row + kRowStep[d];
        if (v + kRowStep[d] == 0) {
            toggle(row, col);
            toggle(nextRow, nextCol);
        } else if (kRowStep[d] == v) {
            toggle(nextRow, nextCol);
        }
        if (kRowStep[d] != 0)
            v = kRowStep[d];
        col = nextCol;
        row = nextRow;
    }
    col = chain.x0;
    row = chain.y0;
    n[row][col] = 1;
    for (int i = 0; i < chain.count; ++i) {
        col += kColumnStep[chain.directions[i]];
        row += kRowStep[chain.directions[i]];
        n[row][col] = 1;
    }
}

} // namespace

Q_DECLARE_METATYPE(std::shared_ptr<Chain>)

void tst_WltDecoder::fillMatchesPrefixToggling_data()
{
    QTest::addColumn<std::shared_ptr<Chain>>("chain");
    QRandomGenerator random(3);
    // Random walks that stay in the picture, crossing themselves freely.
    auto walk = [&random](int x0, int y0, int count) {
        auto chain = std::make_shared<Chain>();
        chain->x0 = x0;
        chain->y0 = y0;
        int col = x0, row = y0;
        while (chain->count < count) {
            const int d = int(random.bounded(8));
            const int nextCol = col + kColumnStep[d], nextRow = row + kRowStep[d];
            if (nextCol < 0 || nextCol >= kPictureCols || nextRow < 0 || nextRow >= kPictureRows)
                continue;
            col = nextCol;
            row = nextRow;
            chain->directions[chain->count++] = uint8_t(d);
        }
        return chain;
    };
    QTest::newRow("empty chain") << walk(101, 125, 0);
    QTest::newRow("walk from the top-left corner") << walk(0, 0, kMaxChainLength);
    QTest::newRow("walk from the bottom-right corner") << walk(101, 125, kMaxChainLength);
    QTest::newRow("walk across the word edge") << walk(64, 60, 200);
    for (int i = 0; i < 4; ++i)
        QTest::newRow(qPrintable(QStringLiteral("walk %1").arg(i))) << walk(int(random.bounded(102)), int(random.bounded(126)), 300);
    // Outlines traced around blobs.
    auto outline = [](auto inside) {
        Plane8 mask{};
        for (int r = 0; r < kPictureRows; ++r) {
            for (int c = 0; c < kPictureCols; ++c)
                mask[r][c] = inside(r, c) ? 1 : 0;
        }
        auto chain = std::make_shared<Chain>();
        traceOutline(mask, *chain);
        return chain;
    };
    QTest::newRow("outline of a disc") << outline([](int r, int c) { return (r - 60) * (r - 60) + (c - 50) * (c - 50) < 900; });
    QTest::newRow("outline of a bust at the picture's edges") << outline([](int r, int c) {
        return r >= 30 && (r >= 90 || (c >= 25 && c < 77 && (r - 30) * (r - 30) + (c - 51) * (c - 51) < 1300));
    });
    QTest::newRow("outline of a comb") << outline([](int r, int c) { return r >= 20 && r < 100 && (r >= 90 || c % 6 < 3); });
}

void tst_WltDecoder::fillMatchesPrefixToggling()
{
    QFETCH(std::shared_ptr<Chain>, chain);
    QVERIFY(chainInsidePicture(*chain));
    Plane8 expected, n;
    fillByPrefixToggling(*chain, expected);
    std::memset(&n, 0xEE, sizeof n);
    fillChain(*chain, n);
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c)
            QVERIFY2(n[r][c] == expected[r][c], qPrintable(QStringLiteral("row %1, column %2").arg(r).arg(c)));
    }
}

// The block's square outline decodes into the filled square, with its
// outside painted in the background colour.
void tst_WltDecoder::filledSquare()
{
    std::vector<uint8_t> bmp;
    QCOMPARE(unpack(BlockLayout().bytes(), &bmp), int(WltSuccess));
    auto pixel = [&bmp](int row, int col) {
        const uint8_t *p = &bmp[size_t(54 + (125 - row) * 308 + col * 3)];
        return QByteArray(reinterpret_cast<const char *>(p), 3);
    };
    const QByteArray background("\xe6\xf0\xfa", 3); // B, G, R
    QCOMPARE(pixel(0, 0), background);
    QCOMPARE(pixel(48, 45), background);
    QCOMPARE(pixel(125, 101), background);
    Chain chain;
    Colour fixNum;
    const std::vector<uint8_t> stream = ShapeFields().stream();
    QmDecoder decoder;
    decoder.start(stream.data(), int(stream.size()), 1);
    QCOMPARE(decodeShape(decoder, fixNum, chain), int(WltSuccess));
    Plane8 n;
    fillChain(chain, n);
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c)
            QCOMPARE(int(n[r][c]), r >= 50 && r < 70 && c >= 40 && c < 60 ? 1 : 0);
    }
}

// Colour streams that end before their first plane, or hold nothing but
// their header, still give a picture.
void tst_WltDecoder::streamsEndingEarly_data()
{
    QTest::addColumn<int>("colourLength");
    QTest::newRow("streams of 10, 10 and 10 bytes") << 4;
    QTest::newRow("streams of 2, 10 and 8 bytes") << -6;
}

void tst_WltDecoder::streamsEndingEarly()
{
    QFETCH(int, colourLength);
    BlockLayout layout;
    layout.colourLength = colourLength;
    layout.topPlane[0] = layout.topPlane[1] = layout.topPlane[2] = 7;
    QCOMPARE(unpack(layout.bytes()), int(WltSuccess));
}

// The last byte of the shape stream and of the Y and Cb streams of a real
// block can be anything: the decoder never reads it.
void tst_WltDecoder::lastStreamByteNeverRead()
{
    std::vector<uint8_t> rgb(size_t(kPictureRows) * kPictureCols * 3);
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            uint8_t *p = &rgb[(size_t(r) * kPictureCols + size_t(c)) * 3];
            const bool inside = (r - 70) * (r - 70) + (c - 50) * (c - 50) < 40 * 40;
            p[0] = inside ? uint8_t(60 + r) : 255;
            p[1] = inside ? uint8_t(30 + c) : 255;
            p[2] = inside ? uint8_t(r + c) : 255;
        }
    }
    const std::vector<uint8_t> block = encodePhoto(rgb.data());
    QCOMPARE(int(block.size()), kWltBlockSize);
    std::vector<uint8_t> reference;
    QCOMPARE(unpack(block, &reference), int(WltSuccess));

    auto le32 = [&block](size_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(block[at + size_t(i)] ^ kWltScrambleMask) << (8 * i);
        return int64_t(int32_t(v));
    };
    const int64_t shapeLength = le32(kShapeLengthOffset);
    const int64_t colourAt = kShapeStreamOffset + shapeLength;
    const StreamLengths l = colourStreamLengths(le32(size_t(colourAt)));
    const int64_t lastBytes[] = {colourAt - 1, colourAt + 4 + l.l0 - 1, colourAt + 4 + l.l0 + l.l1 - 1};
    int checked = 0;
    for (int64_t at : lastBytes) {
        if ((block[size_t(at - 1)] ^ kWltScrambleMask) == 0xFF)
            continue; // an FF before it would take it as its second byte
        ++checked;
        for (uint8_t value : {0x00, 0x01, 0x7F, 0xFF}) {
            std::vector<uint8_t> changed = block;
            changed[size_t(at)] = value ^ kWltScrambleMask;
            std::vector<uint8_t> bmp;
            QCOMPARE(unpack(changed, &bmp), int(WltSuccess));
            QVERIFY(bmp == reference);
        }
    }
    QVERIFY(checked >= 2);
}

// Spoilt and cut blocks: every result is success or a listed code, and the
// sanitizer build sees no access outside a buffer.
void tst_WltDecoder::hostileBlocks()
{
    std::vector<uint8_t> rgb(size_t(kPictureRows) * kPictureCols * 3);
    QRandomGenerator random(2024);
    for (uint8_t &v : rgb)
        v = uint8_t(random.bounded(256));
    const std::vector<uint8_t> seeds[] = {BlockLayout().bytes(), encodePhoto(rgb.data())};
    for (const std::vector<uint8_t> &seed : seeds) {
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<uint8_t> block = seed;
            const int flips = 1 + int(random.bounded(8));
            for (int i = 0; i < flips; ++i) {
                const size_t at = 7 + random.bounded(uint32_t(block.size() - 7));
                block[at] = uint8_t(random.bounded(256));
            }
            if (trial % 4 == 0)
                block.resize(7 + random.bounded(uint32_t(block.size() - 7)));
            const int result = unpack(block);
            QVERIFY2(result == WltSuccess || (result >= 4 && result <= 10), qPrintable(QString::number(result)));
        }
    }
}

namespace {

Plane8 randomShape(QRandomGenerator &random)
{
    Plane8 n{};
    const int cr = 20 + int(random.bounded(86)), cc = 20 + int(random.bounded(62));
    const int radius = 5 + int(random.bounded(50));
    const int noise = int(random.bounded(30));
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            const bool disc = (r - cr) * (r - cr) + (c - cc) * (c - cc) < radius * radius;
            n[r][c] = disc != (int(random.bounded(100)) < noise) ? 1 : 0;
        }
    }
    return n;
}

// Decodes and records where each symbol was asked for, and whether the walk
// named each state's tree right.
struct RecordingCoder {
    QmDecoder &decoder;
    std::vector<int> &trace;
    bool treesRight = true;
    template <int kTree>
    int symbol(State &state, SymbolKind kind, int row, int col, int fix)
    {
        trace.push_back(int(kind) << 24 | fix << 16 | row << 8 | col);
        treesRight = treesRight && state.kind == kTree;
        return decoder.decodeSymbol(state);
    }
    bool IsEnd_2ff0() const { return decoder.IsEnd_2ff0(); }
};

} // namespace

// The bottom-up flags agree with asking hasShapeDescendant everywhere.
void tst_WltDecoder::shapeDescendants()
{
    QRandomGenerator random(5);
    for (int trial = 0; trial < 10; ++trial) {
        const Plane8 n = randomShape(random);
        Plane8 r, below;
        decomposeMask(n, r, kLevels);
        computeShapeDescendants(r, below);
        for (int row = 0; row < kPlaneRows; ++row) {
            for (int col = 0; col < kPlaneCols; ++col) {
                const int a = coefficientLevel(row, col);
                QCOMPARE(bool(below[row][col]), a > 1 && hasShapeDescendant(r, a, row, col));
            }
        }
    }
}

// The walk that reads each parent's cover asks for the same symbols at the
// same places as the one that asks underZeroRoot, on random streams.
void tst_WltDecoder::coverMatchesZeroRootWalk()
{
    QRandomGenerator random(17);
    auto index = std::make_unique<ShapeIndex>();
    auto fast = std::make_unique<ChannelPlanes>();
    auto literal = std::make_unique<ChannelPlanes>();
    for (int trial = 0; trial < 30; ++trial) {
        buildShapeIndex(randomShape(random), *index);
        addLiteralVisits(*index);
        std::vector<uint8_t> stream(2 + random.bounded(1030));
        for (uint8_t &b : stream)
            b = uint8_t(random.bounded(trial % 2 ? 256 : 8)); // sparse bytes walk further
        stream[0] = uint8_t(random.bounded(13));
        std::vector<int> fastTrace, literalTrace;
        QmDecoder a, b;
        a.start(stream.data(), int(stream.size()), 2);
        b.start(stream.data(), int(stream.size()), 2);
        RecordingCoder fastCoder{a, fastTrace}, literalCoder{b, literalTrace};
        BitPlaneWalk<RecordingCoder> fastWalk(fastCoder, *index, *fast);
        BitPlaneWalk<RecordingCoder, true> literalWalk(literalCoder, *index, *literal);
        QCOMPARE(fastWalk.run(stream[0]), literalWalk.run(stream[0]));
        QCOMPARE(fastTrace, literalTrace);
        QVERIFY(fast->value == literal->value);
        QVERIFY(fastCoder.treesRight && literalCoder.treesRight);
    }
}

QTEST_APPLESS_MAIN(tst_WltDecoder)
#include "tst_wltdecoder.moc"
