// Request frames as the frame builder lays them out: the common rule and
// the requests the reader takes only with their own L field or checksum,
// each checked against a frame the reader is known to accept.

#include "frame.h"
#include "reports.h"
#include "resultcodes.h"

#include <QtTest>

#include <climits>

#include <cstring>

using testsupport::hex;

class tst_Frame : public QObject
{
    Q_OBJECT
private slots:
    void knownFrames_data();
    void knownFrames();
    void refusesWhatWouldNotFit();
};

void tst_Frame::knownFrames_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("beep") << 0xB2 << hex("32") << hex("0208000200 B2 32 8A");
    QTest::newRow("no parameters") << 0x41 << QByteArray() << hex("0208000100 41 48");
    QTest::newRow("identity card find") << 0xB0 << QByteArray() << hex("0208000100 B0 B9");
    QTest::newRow("M1 read block 4") << 0x46 << hex("04") << hex("0208000200 46 04 48");
    QTest::newRow("WTX answer") << 0x86 << hex("01F205") << hex("0208000400 86 01F205 7C");
    QTest::newRow("L above 255") << 0x72 << QByteArray(300, '\0') << hex("0208002D01 72") + QByteArray(300, '\0') + hex("56");
    // The requests with their own rule.
    QTest::newRow("version: checksum from offset 2") << 0x10 << QByteArray() << hex("0208000100 10 11");
    QTest::newRow("power-off: L 1, checksum from offset 2") << 0x73 << hex("0C") << hex("0208000100 73 0C 7E");
    QTest::newRow("swipe read: L 2") << 0x30 << hex("010A") << hex("0208000200 30 010A 31");
    QTest::newRow("15693 read block 5: L 1") << 0x91 << hex("05") << hex("0208000100 91 05 9D");
    QTest::newRow("15693 lock AFI: L 1") << 0x93 << hex("01") << hex("0208000100 93 01 9B");
    QTest::newRow("15693 inventory: no parameters") << 0x90 << QByteArray() << hex("0208000100 90 99");
}

void tst_Frame::knownFrames()
{
    QFETCH(int, command);
    QFETCH(QByteArray, params);
    QFETCH(QByteArray, frame);
    std::vector<unsigned char> out(frame.size() + 4, 0xEE);
    const int length = luvaro::buildRequest(static_cast<unsigned char>(command),
                                            reinterpret_cast<const unsigned char *>(params.constData()),
                                            params.size(), out.data(), int(out.size()));
    QCOMPARE(length, frame.size());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.data()), length).toHex(' '), frame.toHex(' '));
    QCOMPARE(int(out[length]), 0xEE);
}

void tst_Frame::refusesWhatWouldNotFit()
{
    unsigned char frame[8];
    std::memset(frame, 0xEE, sizeof frame);
    const unsigned char params[] = {1, 2};
    QCOMPARE(luvaro::buildRequest(0x4E, params, 2, frame, 8), luvaro::kBadParameter);
    QCOMPARE(luvaro::buildRequest(0x4E, nullptr, 1, frame, 8), luvaro::kBadParameter);
    QCOMPARE(luvaro::buildRequest(0x4E, params, -1, frame, 8), luvaro::kBadParameter);
    // Counts whose frame length would overflow an int.
    QCOMPARE(luvaro::buildRequest(0x4E, params, INT_MAX, frame, 8), luvaro::kBadParameter);
    QCOMPARE(luvaro::buildRequest(0x4E, params, INT_MAX - 6, frame, 8), luvaro::kBadParameter);
    for (unsigned char b : frame)
        QCOMPARE(b, 0xEE);
    QCOMPARE(luvaro::buildRequest(0x4E, params, 1, frame, 8), 8); // exactly full
}

QTEST_APPLESS_MAIN(tst_Frame)
#include "tst_frame.moc"
