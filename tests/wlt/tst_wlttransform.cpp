// The shape-adaptive wavelet: mask splitting, synthesis of lines and runs,
// the rounding scale, and the encoder's forward transform against it.

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "wltbitplane.h"
#include "wltencoder_p.h"
#include "wltpicture.h"
#include "wlttransform.h"
#include "wltvectors.h"

using namespace wlt;

using Bytes = std::vector<int>;
Q_DECLARE_METATYPE(Bytes)
using Values = std::vector<int32_t>;
Q_DECLARE_METATYPE(wlt::LineMode)

class tst_WltTransform : public QObject {
    Q_OBJECT
private slots:
    void scaleRoundTable_data();
    void scaleRoundTable();
    void scaleRoundFastOverItsRange();
    void splitAndRestoreMask_data();
    void splitAndRestoreMask();
    void isolatedSampleValue();
    void twoSampleRun_data();
    void twoSampleRun();
    void threeSampleRun();
    void decompositionKeepsEveryCoefficient();
    void decompositionMatchesLineByLine_data();
    void decompositionMatchesLineByLine();
    void forwardThenInverseLine();
    void forwardThenInversePicture();
    void clampAfterSynthesis_data();
    void clampAfterSynthesis();
    void plannedSynthesisMatchesReference_data();
    void plannedSynthesisMatchesReference();
};

void tst_WltTransform::scaleRoundTable_data()
{
    QTest::addColumn<int>("v");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("expected");
    QTest::newRow("-3 x 0.7071") << -3 << 2 << -2;
    QTest::newRow("3 x 1.4142") << 3 << 1 << 4;
    QTest::newRow("-3 x 1.4142") << -3 << 1 << -4;
    QTest::newRow("0") << 0 << 1 << 0;
    QTest::newRow("1 x 0.7071") << 1 << 2 << 1;
    QTest::newRow("-1 x 0.7071") << -1 << 2 << -1;
    QTest::newRow("2 x 1.4142") << 2 << 1 << 3;
    QTest::newRow("4800 x 0.7071") << 4800 << 2 << 3394;
}

void tst_WltTransform::scaleRoundTable()
{
    QFETCH(int, v);
    QFETCH(int, kind);
    QFETCH(int, expected);
    QCOMPARE(scaleRound(v, kind), int64_t(expected));
}

// The synthesis's 32-bit path rounds through floats for inputs below 2^13
// in size: every one of them, both factors, and on to where floats part
// from doubles.
void tst_WltTransform::scaleRoundFastOverItsRange()
{
    constexpr int32_t kBound = 12669;
    static_assert(kBound > (1 << 13), "beyond the range the synthesis uses");
    for (int kind = 1; kind <= 2; ++kind) {
        for (int32_t v = -kBound + 1; v < kBound; ++v) {
            if (scaleRoundFast(v, kind) != scaleRound(v, kind))
                QFAIL(qPrintable(QStringLiteral("%1 of kind %2").arg(v).arg(kind)));
        }
    }
}

void tst_WltTransform::splitAndRestoreMask_data()
{
    QTest::addColumn<LineMode>("mode");
    QTest::addColumn<Bytes>("source");
    QTest::addColumn<Bytes>("split");
    QTest::newRow("isolated odd sample moves (row)") << LineMode::Row << Bytes{0, 1, 0, 0} << Bytes{1, 0, 0x80, 0};
    QTest::newRow("isolated odd sample moves (column)") << LineMode::Column << Bytes{0, 1, 0, 0} << Bytes{1, 0, 0x81, 0};
    QTest::newRow("isolated even sample stays") << LineMode::Row << Bytes{0, 0, 1, 0} << Bytes{0, 1, 0, 0};
    QTest::newRow("run of two") << LineMode::Row << Bytes{0, 1, 1, 0} << Bytes{0, 1, 1, 0};
    QTest::newRow("last sample isolated") << LineMode::Row << Bytes{0, 0, 0, 1} << Bytes{0, 1, 0, 0x80};
    QTest::newRow("odd sample beside a row code stays high")
        << LineMode::Column << Bytes{0x80, 1, 0, 0} << Bytes{0x80, 0, 1, 0};
    QTest::newRow("codes end runs") << LineMode::Column << Bytes{1, 0x80, 1, 1} << Bytes{1, 1, 0x80, 1};
    QTest::newRow("mixed") << LineMode::Row << Bytes{1, 1, 1, 0, 0, 1, 0, 1}
                           << Bytes{1, 1, 1, 1, 1, 0, 0x80, 0x80};
}

void tst_WltTransform::splitAndRestoreMask()
{
    QFETCH(LineMode, mode);
    QFETCH(Bytes, source);
    QFETCH(Bytes, split);
    const int n = int(source.size());
    std::vector<uint8_t> s(source.begin(), source.end());
    std::vector<uint8_t> t(size_t(n), 0xEE);
    splitMaskLine(n, s.data(), t.data(), mode);
    QCOMPARE(Bytes(t.begin(), t.end()), split);

    std::vector<int32_t> values(size_t(n), 0);
    synthesizeLine(mode, n, values.data(), t.data());
    QCOMPARE(Bytes(t.begin(), t.end()), source);
}

// 0 1 0 0 in row mode: the sample comes back from the low slot, scaled.
void tst_WltTransform::isolatedSampleValue()
{
    std::vector<uint8_t> mask = {1, 0, 0x80, 0};
    std::vector<int32_t> values = {10, 99, 99, 99};
    synthesizeLine(LineMode::Row, 4, values.data(), mask.data());
    QCOMPARE(values, (std::vector<int32_t>{0, int32_t(scaleRound(10, 2)), 0, 0}));
    QCOMPARE(values[1], 7);
}

void tst_WltTransform::twoSampleRun_data()
{
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::newRow("positive") << 10 << 3;
    QTest::newRow("negative high") << 10 << -3;
    QTest::newRow("negative low") << -5 << 4;
    QTest::newRow("large") << 4000 << -1201;
}

// Unscaled: l - floor((h + 1) / 2), then that value plus h.
void tst_WltTransform::twoSampleRun()
{
    QFETCH(int, low);
    QFETCH(int, high);
    auto floorDiv2 = [](int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); };
    const int even = low - floorDiv2(high + 1);
    // Even start: positions 2 and 3 of a line of 8.
    std::vector<uint8_t> mask = {0, 1, 0, 0, 0, 1, 0, 0};
    std::vector<int32_t> values = {0, low, 0, 0, 0, high, 0, 0};
    synthesizeLine(LineMode::Row, 8, values.data(), mask.data());
    QCOMPARE(values, (std::vector<int32_t>{0, 0, even, even + high, 0, 0, 0, 0}));
    // Odd start: positions 1 and 2; the odd sample comes first.
    mask = {0, 1, 0, 0, 1, 0, 0, 0};
    values = {0, low, 0, 0, high, 0, 0, 0};
    synthesizeLine(LineMode::Row, 8, values.data(), mask.data());
    QCOMPARE(values, (std::vector<int32_t>{0, even + high, even, 0, 0, 0, 0, 0}));
}

// Worked by hand: samples 0..2 with low l0, l1 and high h0, scaled first.
void tst_WltTransform::threeSampleRun()
{
    std::vector<uint8_t> mask = {1, 1, 0, 0, 1, 0, 0, 0};
    std::vector<int32_t> values = {100, 40, 0, 0, -7, 0, 0, 0};
    synthesizeLine(LineMode::Row, 8, values.data(), mask.data());
    // l0 = 71, l1 = 28, h0 = -10; even: 71 - floor(-9/2) = 76, 28 - floor(-9/2) = 33;
    // odd: -10 + floor((76 + 33) / 2) = 44.
    QCOMPARE(values, (std::vector<int32_t>{76, 44, 33, 0, 0, 0, 0, 0}));
}

// Splitting only moves coefficients: the shape's sample count survives all
// four levels, so a channel never holds more coefficients than shape pixels.
void tst_WltTransform::decompositionKeepsEveryCoefficient()
{
    QRandomGenerator random(7);
    for (int trial = 0; trial < 20; ++trial) {
        Plane8 n{};
        int pixels = 0;
        const int density = int(random.bounded(100));
        for (int r = 0; r < kPictureRows; ++r) {
            for (int c = 0; c < kPictureCols; ++c) {
                n[r][c] = int(random.bounded(100)) < density ? 1 : 0;
                pixels += n[r][c];
            }
        }
        Plane8 d;
        decomposeMask(n, d, kLevels);
        int coefficients = 0;
        for (const auto &row : d) {
            for (uint8_t v : row)
                coefficients += v == kMaskInside;
        }
        QCOMPARE(coefficients, pixels);
    }
}

Q_DECLARE_METATYPE(std::shared_ptr<Plane8>)

void tst_WltTransform::decompositionMatchesLineByLine_data()
{
    QTest::addColumn<std::shared_ptr<Plane8>>("source");
    QRandomGenerator random(5);
    auto plane = [](auto value) {
        auto p = std::make_shared<Plane8>();
        for (int r = 0; r < kPlaneRows; ++r) {
            for (int c = 0; c < kPlaneCols; ++c)
                (*p)[r][c] = uint8_t(value(r, c));
        }
        return p;
    };
    auto inPicture = [](int r, int c) { return r < kPictureRows && c < kPictureCols; };
    QTest::newRow("empty") << plane([](int, int) { return 0; });
    QTest::newRow("whole plane") << plane([](int, int) { return 1; });
    QTest::newRow("disc") << plane([](int r, int c) { return (r - 64) * (r - 64) + (c - 50) * (c - 50) < 1500; });
    QTest::newRow("isolated samples everywhere") << plane([](int r, int c) { return r % 2 == 1 && c % 2 == 1; });
    QTest::newRow("checkerboard") << plane([](int r, int c) { return (r + c) % 2; });
    for (const int density : {3, 30, 70, 97}) {
        QTest::newRow(qPrintable(QStringLiteral("noise %1%").arg(density)))
            << plane([&](int r, int c) { return inPicture(r, c) && int(random.bounded(100)) < density; });
    }
    // Codes and other bytes in the source act as neither 0 nor 1.
    const uint8_t others[] = {0, 1, 1, 1, kMovedInRow, kMovedInColumn, 2, 0xFF};
    QTest::newRow("codes among the samples") << plane([&](int, int) { return others[random.bounded(8)]; });
}

// The decomposition, and the runs it records, as splitMaskLine gives them
// one row and then one gathered column after another.
void tst_WltTransform::decompositionMatchesLineByLine()
{
    QFETCH(std::shared_ptr<Plane8>, source);
    auto expectedPlan = std::make_unique<SynthesisPlan>();
    auto plan = std::make_unique<SynthesisPlan>();
    Plane8 expected = *source;
    for (int a = 1; a <= kLevels; ++a) {
        const int rows = levelRows(a);
        const int cols = levelCols(a);
        uint8_t line[kPlaneRows], split[kPlaneRows];
        for (int r = 0; r < rows; ++r) {
            const int index = SynthesisPlan::lineIndex(a, LineMode::Row, r);
            splitMaskLine(cols, expected[r].data(), split, LineMode::Row, &expectedPlan->runCount[index],
                          expectedPlan->runs[index]);
            std::copy(split, split + cols, expected[r].begin());
        }
        for (int c = 0; c < cols; ++c) {
            for (int r = 0; r < rows; ++r)
                line[r] = expected[r][c];
            const int index = SynthesisPlan::lineIndex(a, LineMode::Column, c);
            splitMaskLine(rows, line, split, LineMode::Column, &expectedPlan->runCount[index],
                          expectedPlan->runs[index]);
            for (int r = 0; r < rows; ++r)
                expected[r][c] = split[r];
        }
    }
    std::memset(plan.get(), 0xEE, sizeof *plan);
    Plane8 decomposed;
    decomposeMask(*source, decomposed, kLevels, plan.get());
    QVERIFY(decomposed == expected);
    for (int line = 0; line < SynthesisPlan::lineIndex(1, LineMode::Row, levelRows(1)); ++line) {
        QCOMPARE(plan->runCount[line], expectedPlan->runCount[line]);
        for (int i = 0; i < plan->runCount[line]; ++i) {
            QCOMPARE(plan->runs[line][i].start, expectedPlan->runs[line][i].start);
            QCOMPARE(plan->runs[line][i].length, expectedPlan->runs[line][i].length);
        }
    }
    // The per-sample flags the decomposition derives from the masks are the
    // ones the runs give, everywhere (the plan started as garbage).
    expectedPlan->prepareLifting();
    QVERIFY(std::memcmp(plan->columnFlags, expectedPlan->columnFlags, sizeof plan->columnFlags) == 0);
    QVERIFY(std::memcmp(plan->rowFlags, expectedPlan->rowFlags, sizeof plan->rowFlags) == 0);
    QVERIFY(std::memcmp(plan->inside, expectedPlan->inside, sizeof plan->inside) == 0);
    QVERIFY(std::memcmp(plan->shortRuns, expectedPlan->shortRuns,
                        size_t(SynthesisPlan::lineIndex(1, LineMode::Row, levelRows(1)))) == 0);
    Plane8 withoutPlan;
    decomposeMask(*source, withoutPlan, kLevels);
    QVERIFY(withoutPlan == expected);
}

// Runs of one or two samples come back exactly; longer runs within the
// rounding of their scaling.
void tst_WltTransform::forwardThenInverseLine()
{
    QRandomGenerator random(11);
    for (int trial = 0; trial < 2000; ++trial) {
        const int n = 2 * (1 + int(random.bounded(56)));
        std::vector<uint8_t> mask(static_cast<size_t>(n));
        std::vector<int32_t> original(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            mask[size_t(i)] = random.bounded(100) < 70 ? 1 : 0;
            original[size_t(i)] = mask[size_t(i)] ? int32_t(random.bounded(256)) : 0;
        }
        const std::vector<uint8_t> sourceMask = mask;
        std::vector<int32_t> values = original;
        analyzeLine(LineMode::Row, n, values.data(), mask.data());
        synthesizeLine(LineMode::Row, n, values.data(), mask.data());
        QCOMPARE(mask, sourceMask);
        for (int s = 0; s < n;) {
            int e = s;
            while (e < n && sourceMask[size_t(e)] == 1)
                ++e;
            for (int i = s; i < e; ++i) {
                const int error = std::abs(values[size_t(i)] - original[size_t(i)]);
                QVERIFY2(e - s <= 2 ? error == 0 : error <= 2,
                         qPrintable(QStringLiteral("run %1+%2, sample %3: %4 for %5")
                                        .arg(s).arg(e - s).arg(i).arg(values[size_t(i)]).arg(original[size_t(i)])));
            }
            s = e > s ? e : s + 1;
        }
    }
}

// A smooth picture on a disc through all four levels and back.
void tst_WltTransform::forwardThenInversePicture()
{
    Plane8 n{};
    Plane32 values{};
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            const int dr = r - 60, dc = c - 50;
            n[r][c] = dr * dr + dc * dc < 45 * 45 ? 1 : 0;
            values[r][c] = n[r][c] ? 40 + r + c / 2 : 0;
        }
    }
    Plane8 mask = n;
    Plane32 coefficients = values;
    analyze(mask, coefficients);
    Plane8 d;
    decomposeMask(n, d, kLevels);
    QVERIFY(mask == d);
    Plane8 channel;
    reconstructChannel(n, d, coefficients, channel);
    long totalError = 0;
    int worst = 0;
    int pixels = 0;
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            if (!n[r][c]) {
                QCOMPARE(int(channel[r][c]), 0);
                continue;
            }
            const int error = std::abs(int(channel[r][c]) - values[r][c]);
            totalError += error;
            worst = std::max(worst, error);
            ++pixels;
        }
    }
    QVERIFY2(worst <= 3, qPrintable(QString::number(worst)));
    QVERIFY2(totalError < pixels / 2, qPrintable(QString::number(double(totalError) / pixels)));
}

// A one-pixel shape at (0, 0): eight single-sample passes scale the
// coefficient down to the value, which is then clamped.
void tst_WltTransform::clampAfterSynthesis_data()
{
    QTest::addColumn<int>("coefficient");
    QTest::addColumn<int>("synthesized");
    QTest::addColumn<int>("written");
    QTest::newRow("-7 becomes 0") << -112 << -7 << 0;
    QTest::newRow("300 becomes 255") << 4800 << 300 << 255;
    QTest::newRow("in range") << 1600 << 100 << 100;
}

void tst_WltTransform::clampAfterSynthesis()
{
    QFETCH(int, coefficient);
    QFETCH(int, synthesized);
    QFETCH(int, written);
    Plane8 n{};
    n[0][0] = 1;
    Plane8 d;
    decomposeMask(n, d, kLevels);
    Plane32 decoded{};
    decoded[0][0] = coefficient;

    Plane8 mask = d;
    Plane32 values = decoded;
    for (int a = kLevels; a >= 1; --a)
        synthesizeLevel(mask, values, a);
    QCOMPARE(values[0][0], synthesized);

    Plane8 channel;
    reconstructChannel(n, d, decoded, channel);
    QCOMPARE(int(channel[0][0]), written);
}

// The per-picture plan and the vector lifting give exactly what the plain
// line-by-line synthesis gives, for the decoder's inputs: coefficients where
// the decomposed mask is 1, zeros elsewhere. Shapes range from scattered
// pixels (runs of one and two) to a full plane (runs reaching its last row
// and column); values from small ones to ones at the edge of the 32-bit path
// and beyond it, where the saturating path takes over.
void tst_WltTransform::plannedSynthesisMatchesReference_data()
{
    QTest::addColumn<int>("density");
    QTest::addColumn<bool>("wholePlane");
    QTest::addColumn<Values>("values");
    QTest::addColumn<int>("emptyLevels"); // the finest levels left without coefficients
    constexpr int32_t kEdge = int32_t(1) << 13; // the 32-bit path takes [-kEdge, kEdge)
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    // Two values: uniform in [first, second]; more: drawn from the list.
    // Later passes outgrow the 32-bit path from most of these: lines take
    // one path or the other as their inputs come.
    const Values small{-5000, 5000};
    const Values pixels{-255, 255};
    const Values insideEdge{-kEdge, -kEdge + 1, kEdge - 2, kEdge - 1};
    const Values acrossEdge{-kEdge - 1, -kEdge, kEdge - 1, kEdge};
    QTest::newRow("scattered pixels, small values") << 30 << false << small << 0;
    QTest::newRow("half filled, small values") << 50 << false << small << 0;
    QTest::newRow("dense, small values") << 95 << false << small << 0;
    QTest::newRow("whole plane, small values") << 100 << true << small << 0;
    QTest::newRow("whole plane, values of pixels' size") << 100 << true << pixels << 0;
    QTest::newRow("dense, largest values of the 32-bit path") << 90 << false << insideEdge << 0;
    QTest::newRow("whole plane, largest values of the 32-bit path") << 100 << true << insideEdge << 0;
    QTest::newRow("dense, values across that edge") << 90 << false << acrossEdge << 0;
    QTest::newRow("whole plane, values across that edge") << 100 << true << acrossEdge << 0;
    // The bands the walk leaves empty, as in pale channels.
    QTest::newRow("whole plane, the finest level empty") << 100 << true << pixels << 1;
    QTest::newRow("dense, only the coarsest level and the lowest band") << 90 << false << small << 3;
    QTest::newRow("whole plane, the finest two levels empty, values past the 32-bit path")
        << 100 << true << acrossEdge << 2;
    QTest::newRow("dense, values of 24 bits") << 90 << false << Values{-(1 << 24), (1 << 24) - 1} << 0;
    QTest::newRow("dense, 32-bit values") << 90 << false << Values{kMin, kMax} << 0;
    QTest::newRow("whole plane, scattered 32-bit values") << 40 << true << Values{kMin, kMax} << 0;
}

void tst_WltTransform::plannedSynthesisMatchesReference()
{
    QFETCH(int, density);
    QFETCH(bool, wholePlane);
    QFETCH(Values, values);
    QFETCH(int, emptyLevels);
    QRandomGenerator random(uint32_t(density * 7 + int(wholePlane) + values.size()));
    auto plan = std::make_unique<SynthesisPlan>();
    auto recorded = std::make_unique<SynthesisPlan>();
    const int rows = wholePlane ? kPlaneRows : kPictureRows;
    const int cols = wholePlane ? kPlaneCols : kPictureCols;
    for (int trial = 0; trial < 6; ++trial) {
        Plane8 n{};
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c)
                n[r][c] = int(random.bounded(100)) < density ? 1 : 0;
        }
        Plane8 d;
        decomposeMask(n, d, kLevels, recorded.get());
        // The plan recorded while decomposing is the one the synthesis finds.
        buildSynthesisPlan(d, *plan);
        for (int line = 0; line < SynthesisPlan::lineIndex(1, LineMode::Row, levelRows(1)); ++line) {
            QCOMPARE(recorded->runCount[line], plan->runCount[line]);
            for (int i = 0; i < plan->runCount[line]; ++i) {
                QCOMPARE(recorded->runs[line][i].start, plan->runs[line][i].start);
                QCOMPARE(recorded->runs[line][i].length, plan->runs[line][i].length);
            }
        }

        Plane32 decoded{};
        for (int r = 0; r < kPlaneRows; ++r) {
            for (int c = 0; c < kPlaneCols; ++c) {
                const int level = coefficientLevel(r, c);
                if (d[r][c] != kMaskInside || (level >= 1 && level <= emptyLevels))
                    continue;
                if (values.size() == 2)
                    decoded[r][c] = int32_t(values[0] + qint64(random.generate64() % quint64(qint64(values[1]) - values[0] + 1)));
                else
                    decoded[r][c] = values[random.bounded(int(values.size()))];
            }
        }

        Plane8 mask = d;
        Plane32 reference = decoded;
        for (int a = kLevels; a >= 1; --a)
            synthesizeLevel(mask, reference, a);
        Plane8 referenceChannel;
        reconstructChannel(n, d, decoded, referenceChannel);
        // The decoder's plan, through the baseline vectors, then the wide
        // ones where the processor has them.
        for (const bool wide : {false, true}) {
            if (allowWideVectors(wide) != wide)
                continue;
            const QString where = QStringLiteral("trial %1%2").arg(trial).arg(wide ? " wide" : "");
            Plane32 planned = decoded;
            synthesizePlanned(*recorded, planned);
            QVERIFY2(reference == planned, qPrintable(where));

            Plane8 channel;
            reconstructChannel(*recorded, decoded, channel);
            QVERIFY2(referenceChannel == channel, qPrintable(where));
            // The same, told which levels the walk left empty.
            Plane32 values = decoded;
            synthesizeIntoChannel(*recorded, values, channel, uint8_t((1 << (emptyLevels + 1)) - 2));
            QVERIFY2(referenceChannel == channel, qPrintable(where));
        }
    }
}

QTEST_APPLESS_MAIN(tst_WltTransform)
#include "tst_wlttransform.moc"
