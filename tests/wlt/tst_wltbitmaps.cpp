// The decoder's output is pinned: every committed block (the fixtures and the
// fuzz corpus) and a seeded crowd of damaged variants of each fixture must
// decode to exactly the result code and bitmap recorded in
// tests/wlt/fixtures/bitmaps.sha256. Any change to the decoder's stages,
// however it is made faster, must leave every line of that file true.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <random>
#include <vector>

#include "libwlt.h"
#include "wltdecoder.h"
#include "wlttransform.h"

namespace {

const QString kFixtures = QStringLiteral(DORVENT_SOURCE_DIR "/tests/wlt/fixtures");
const QString kCorpus = QStringLiteral(DORVENT_SOURCE_DIR "/fuzz/corpus-wlt");
const QString kManifest = kFixtures + QStringLiteral("/bitmaps.sha256");
constexpr int kVariantsPerFixture = 96;

// "<name> <result> <sha256 of the bitmap, or of every variant's result and bitmap>"
QMap<QString, QByteArray> readManifest()
{
    QMap<QString, QByteArray> expected;
    QFile file(kManifest);
    if (!file.open(QIODevice::ReadOnly))
        return expected;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const int space = line.indexOf(' ');
        expected.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1));
    }
    return expected;
}

QByteArray readBlock(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Result code, then the bitmap on success, into the hash.
int decodeInto(libwlt &decoder, const QByteArray &block, int length, QCryptographicHash &hash)
{
    std::vector<unsigned char> bmp(kWltBmpFileSize);
    int bmpLength = 0;
    const int result = decoder.Unpack_Data(reinterpret_cast<const unsigned char *>(block.constData()), length,
                                           bmp.data(), &bmpLength);
    const char code[4] = {char(result), 0, 0, 0};
    hash.addData(code, 4);
    if (result == WltSuccess)
        hash.addData(reinterpret_cast<const char *>(bmp.data()), bmpLength);
    return result;
}

// The field at `at` of a block, descrambled.
int32_t plainLe32(const QByteArray &block, int at)
{
    uint8_t field[4];
    for (int i = 0; i < 4; ++i)
        field[i] = uint8_t(block[at + i]) ^ kWltScrambleMask;
    return wlt::readLe32(field);
}

// The offsets of the three colour streams' first bytes (their top bit-plane),
// or an empty list when the header does not lead to them.
std::vector<int> colourStreamStarts(const QByteArray &block)
{
    const int32_t shapeLength = plainLe32(block, wlt::kShapeLengthOffset);
    if (shapeLength <= 0 || shapeLength > wlt::kMaxStreamLength)
        return {};
    int64_t at = wlt::kShapeStreamOffset + int64_t(shapeLength);
    if (at + 4 > block.size())
        return {};
    const wlt::StreamLengths l = wlt::colourStreamLengths(plainLe32(block, int(at)));
    at += 4;
    std::vector<int> starts;
    for (int64_t length : {l.l0, l.l1, l.l2}) {
        if (at < 0 || at >= block.size() || length < 2)
            return {};
        starts.push_back(int(at));
        at += length;
    }
    return starts;
}

} // namespace

class tst_WltBitmaps : public QObject {
    Q_OBJECT
private slots:
    void committedBlocks_data();
    void committedBlocks();
    void damagedVariants_data();
    void damagedVariants();

private:
    QMap<QString, QByteArray> m_expected = readManifest();
};

// Every block through each synthesis the machine can run: the baseline one
// and, where the processor has them, the wide vectors.
static std::vector<bool> synthesisWidths()
{
    std::vector<bool> wide{false};
    if (wlt::allowWideSynthesis(true))
        wide.push_back(true);
    return wide;
}

void tst_WltBitmaps::committedBlocks_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("wide");
    for (const bool wide : synthesisWidths()) {
        for (const QString &dir : {kFixtures, kCorpus}) {
            for (const QString &name : QDir(dir).entryList({QStringLiteral("*.wlt")}, QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(QFileInfo(dir).fileName() + QLatin1Char('/') + name + (wide ? " wide" : "")))
                    << dir + QLatin1Char('/') + name << wide;
        }
    }
}

void tst_WltBitmaps::committedBlocks()
{
    QFETCH(QString, path);
    QFETCH(bool, wide);
    wlt::allowWideSynthesis(wide);
    const QByteArray block = readBlock(path);
    QVERIFY(!block.isEmpty());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    libwlt decoder;
    const int result = decodeInto(decoder, block, block.size(), hash);
    const QString name = QFileInfo(QFileInfo(path).path()).fileName() + QLatin1Char('/') + QFileInfo(path).fileName();
    const QByteArray actual = QByteArray::number(result) + ' ' + hash.result().toHex();
    QVERIFY2(m_expected.contains(name), qPrintable(QStringLiteral("not in the manifest: %1 %2").arg(name, QString::fromLatin1(actual))));
    QCOMPARE(actual, m_expected.value(name));
}

void tst_WltBitmaps::damagedVariants_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("wide");
    for (const bool wide : synthesisWidths()) {
        for (const QString &name : QDir(kFixtures).entryList({QStringLiteral("*.wlt")}, QDir::Files, QDir::Name))
            QTest::newRow(qPrintable(name + (wide ? " wide" : ""))) << kFixtures + QLatin1Char('/') + name << wide;
    }
}

// Bytes overwritten, bits flipped in the colour streams, top bit-planes
// raised up to the largest allowed (values the picture never has, so that
// the wide arithmetic and its saturation run), and blocks cut short.
void tst_WltBitmaps::damagedVariants()
{
    QFETCH(QString, path);
    QFETCH(bool, wide);
    wlt::allowWideSynthesis(wide);
    const QByteArray original = readBlock(path);
    QVERIFY(!original.isEmpty());
    const std::vector<int> starts = colourStreamStarts(original);
    QCOMPARE(int(starts.size()), 3);
    std::mt19937 random(20261210u); // the raw sequence is fixed by the standard
    QCryptographicHash hash(QCryptographicHash::Sha256);
    int successes = 0;
    // One decoder for all: what a block leaves in its workspace must not
    // reach the next (the pinned hashes come from a fresh decoder per block).
    libwlt decoder;
    for (int i = 0; i < kVariantsPerFixture; ++i) {
        QByteArray block = original;
        int length = block.size();
        switch (i % 4) {
        case 0:
            for (uint32_t k = 0, n = 1 + random() % 4; k < n; ++k)
                block[int(wlt::kScrambledFrom + random() % uint32_t(block.size() - wlt::kScrambledFrom))] = char(random());
            break;
        case 1: {
            const uint32_t from = uint32_t(starts[0]) + 2;
            const int at = int(from + random() % uint32_t(block.size() - int(from)));
            block[at] = char(block[at] ^ char(1u << (random() % 8)));
            break;
        }
        case 2:
            block[starts[random() % 3]] = char((14 + random() % 16) ^ kWltScrambleMask);
            break;
        case 3:
            length = int(20 + random() % uint32_t(block.size() - 20));
            break;
        }
        successes += decodeInto(decoder, block, length, hash) == WltSuccess;
    }
    QVERIFY(successes > 0);
    const QString name = QStringLiteral("damaged/") + QFileInfo(path).fileName();
    const QByteArray actual = QByteArray::number(successes) + ' ' + hash.result().toHex();
    QVERIFY2(m_expected.contains(name), qPrintable(QStringLiteral("not in the manifest: %1 %2").arg(name, QString::fromLatin1(actual))));
    QCOMPARE(actual, m_expected.value(name));
}

QTEST_MAIN(tst_WltBitmaps)
#include "tst_wltbitmaps.moc"
