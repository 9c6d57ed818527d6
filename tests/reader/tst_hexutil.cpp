#include "hexutil.h"
#include "luvarocard.h"

#include <QtTest>

#include <climits>
#include <cstring>

class tst_HexUtil : public QObject
{
    Q_OBJECT
private slots:
    void digits();
    void pack_data();
    void pack();
    void refusesNonHex_data();
    void refusesNonHex();
    void refusesWhatWouldNotFit();
    void format_data();
    void format();
    void digitsWithoutNul_data();
    void digitsWithoutNul();
    void wholeBytes_data();
    void wholeBytes();
};

void tst_HexUtil::digits()
{
    const struct { char c; int value; } cases[] = {
        {'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15}, {'G', 0}, {'g', 0}, {' ', 0}, {'\0', 0}};
    for (const auto &c : cases)
        QCOMPARE(util_C2I(c.c), c.value);
}

void tst_HexUtil::pack_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("odd digit dropped") << QByteArray("3b9") << 0 << QByteArray("\x3B", 1);
    QTest::newRow("mixed case") << QByteArray("aB") << 0 << QByteArray("\xAB", 1);
    QTest::newRow("at an offset") << QByteArray("00A4ff") << 2 << QByteArray("\x00\xA4\xFF", 3);
    QTest::newRow("empty") << QByteArray("") << 3 << QByteArray();
}

void tst_HexUtil::pack()
{
    QFETCH(QByteArray, hex);
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    unsigned char dst[16];
    std::memset(dst, 0xEE, sizeof dst);
    QCOMPARE(util_putHex2Char(hex.constData(), dst, offset, sizeof dst), offset + bytes.size());
    QCOMPARE(QByteArray(reinterpret_cast<char *>(dst) + offset, bytes.size()), bytes);
    for (int i = 0; i < offset; ++i)
        QCOMPARE(dst[i], 0xEE); // nothing before the offset
    QCOMPARE(dst[offset + bytes.size()], 0xEE); // nothing after
}

void tst_HexUtil::refusesNonHex_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("letters past F") << QByteArray("ZZZZZZZZZZ");
    QTest::newRow("space between bytes") << QByteArray("00 A4");
    QTest::newRow("leading space") << QByteArray(" 00A4");
    QTest::newRow("odd trailing non-digit") << QByteArray("00A4-");
    QTest::newRow("0x prefix") << QByteArray("0x00A4");
    QTest::newRow("high byte") << QByteArray("00\xC3\xA4");
}

void tst_HexUtil::refusesNonHex()
{
    QFETCH(QByteArray, hex);
    unsigned char dst[16];
    std::memset(dst, 0xEE, sizeof dst);
    QCOMPARE(util_putHex2Char(hex.constData(), dst, 0, sizeof dst), luvaro::kBadParameter);
    QVERIFY(!luvaro::isHexText(hex.constData()));
    for (unsigned char b : dst)
        QCOMPARE(b, 0xEE);
}

void tst_HexUtil::refusesWhatWouldNotFit()
{
    unsigned char dst[4];
    std::memset(dst, 0xEE, sizeof dst);
    QCOMPARE(util_putHex2Char("0102030405", dst, 0, sizeof dst), luvaro::kBadParameter);
    QCOMPARE(util_putHex2Char("010203", dst, 2, sizeof dst), luvaro::kBadParameter);
    QCOMPARE(util_putHex2Char("01", dst, 5, sizeof dst), luvaro::kBadParameter);
    for (unsigned char b : dst)
        QCOMPARE(b, 0xEE);
    QCOMPARE(util_putHex2Char("0102", dst, 2, sizeof dst), 4); // exactly full
    QCOMPARE(util_putHex2Char(nullptr, dst, 0, sizeof dst), 0);

    // One byte short of the NUL: refused, and the text left empty.
    char small[4];
    std::memset(small, 'x', sizeof small);
    const unsigned char two[] = {0x12, 0x34};
    QCOMPARE(util_char2Hex(two, 2, small, sizeof small), luvaro::kBadParameter);
    QCOMPARE(small[0], '\0');
    QCOMPARE(small[1], 'x');
}

void tst_HexUtil::format_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("two bytes") << QByteArray("\x0A\xFF", 2) << 2 << QByteArray("0AFF");
    QTest::newRow("none") << QByteArray() << 0 << QByteArray("");
    QTest::newRow("negative count") << QByteArray("\x01", 1) << -3 << QByteArray("");
}

void tst_HexUtil::format()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, n);
    QFETCH(QByteArray, text);
    char out[16];
    std::memset(out, 'x', sizeof out);
    QCOMPARE(util_char2Hex(reinterpret_cast<const unsigned char *>(bytes.constData()), n, out, sizeof out),
             text.size());
    QCOMPARE(QByteArray(out), text);
}

void tst_HexUtil::digitsWithoutNul_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("written"); // the buffer's first 6 bytes afterwards
    QTest::newRow("room to spare: no NUL") << 2 << 6 << 4 << QByteArray("0AFFxx");
    QTest::newRow("exactly the digits") << 2 << 4 << 4 << QByteArray("0AFFxx");
    QTest::newRow("one short: nothing") << 2 << 3 << int(luvaro::kBadParameter) << QByteArray("xxxxxx");
    QTest::newRow("no bytes") << 0 << 0 << 0 << QByteArray("xxxxxx");
    QTest::newRow("digits beyond an int: nothing") << INT_MAX / 2 + 1 << 6 << int(luvaro::kBadParameter)
                                                   << QByteArray("xxxxxx");
}

void tst_HexUtil::wholeBytes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<long long>("bytes");
    QTest::newRow("empty") << QByteArray("") << 0LL;
    QTest::newRow("one pair") << QByteArray("aB") << 1LL;
    QTest::newRow("three pairs") << QByteArray("00A4FF") << 3LL;
    QTest::newRow("odd digit") << QByteArray("3b9") << -1LL;
    QTest::newRow("one digit") << QByteArray("0") << -1LL;
    QTest::newRow("not hex") << QByteArray("0G") << -1LL;
    QTest::newRow("space") << QByteArray("00 A4") << -1LL;
}

void tst_HexUtil::wholeBytes()
{
    QFETCH(QByteArray, text);
    QTEST(luvaro::wholeHexBytes(text.constData()), "bytes");
    QCOMPARE(luvaro::wholeHexBytes(nullptr), -1LL);
}

void tst_HexUtil::digitsWithoutNul()
{
    QFETCH(int, n);
    QFETCH(int, size);
    const unsigned char bytes[] = {0x0A, 0xFF};
    char out[6];
    std::memset(out, 'x', sizeof out);
    QTEST(luvaro::writeHex(bytes, n, out, size, luvaro::HexEnd::None), "result");
    QTEST(QByteArray(out, sizeof out), "written");
}

QTEST_APPLESS_MAIN(tst_HexUtil)
#include "tst_hexutil.moc"
