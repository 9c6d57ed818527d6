// M1 cards against the emulated reader: exact request frames, what is
// refused before anything is sent, a whole session with the emulated card,
// and the value-block checks on replies the card would never give.

#include "emulatedreader.h"
#include "luvarocard.h"
#include "m1.h"
#include "reports.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::DriverCall;
using testsupport::hex;

namespace {
constexpr unsigned char kKeyA = 0x60;
constexpr unsigned char kKeyB = 0x04;
const char kDefaultKey[] = "FFFFFFFFFFFF";
} // namespace

class tst_M1 : public QObject
{
    Q_OBJECT
private slots:
    void init();

    // Each request's exact frame, and nothing sent without a reader.
    void requests_data();
    void requests();
    void refusedBeforeSending_data();
    void refusedBeforeSending();
    void session();
    void authenticationIsLost_data();
    void authenticationIsLost();
    void valueArithmeticRefused();
    void valueRead_data();
    void valueRead();
    void blockReadReplies_data();
    void blockReadReplies();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    void activate();
    std::unique_ptr<luvaroCard> m_card;
    M1Card *m_m1 = nullptr;
};

void tst_M1::init()
{
    reader().reset();
    auto card = demoM1Card();
    m_m1 = card.get();
    reader().deck().radioField().insert(std::move(card));
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_M1::activate()
{
    char uid[256] = {};
    QCOMPARE(m_card->luvaro_USB_ICRequest(), 0);
    QCOMPARE(m_card->luvaro_USB_ICAnticoll(uid), 0);
    QCOMPARE(QByteArray(uid), QByteArray("5A3C9E21"));
    QCOMPARE(m_card->luvaro_USB_ICSelect('A'), 0);
}

void tst_M1::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("read block 4") << DriverCall([](luvaroCard &c) { char b[128] = {}; return c.luvaro_USB_M1Read(4, b); })
                                  << hex("02 08 00 02 00 46 04 48");
    QTest::newRow("authenticate sector 39, key B")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyB, 39, kDefaultKey); })
        << hex("02 08 00 09 00 44 04 27 FF FF FF FF FF FF 66");
    QTest::newRow("authenticate with a mixed-case key")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 1, "a0A1a2A3a4A5"); })
        << hex("02 08 00 09 00 44 60 01 A0 A1 A2 A3 A4 A5 25");
    QTest::newRow("write: missing bytes 00")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Write(5, "0102"); })
        << hex("02 08 00 12 00 47 05 01 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 5B");
    QTest::newRow("init value 5 on block 4")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Initval(4, 5); })
        << hex("02 08 00 12 00 47 04 05 00 00 00 FA FF FF FF 05 00 00 00 04 FB 04 FB 5C");
    QTest::newRow("increment, little-endian")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Increment(5, 0x01020304); })
        << hex("02 08 00 06 00 48 05 04 03 02 01 47");
    QTest::newRow("decrement by 0xFFFFFFFF")
        << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Decrement(5, 0xFFFFFFFFul); })
        << hex("02 08 00 06 00 49 05 FF FF FF FF 42");
    QTest::newRow("read value: a block read")
        << DriverCall([](luvaroCard &c) { unsigned long v = 0; return c.luvaro_USB_M1Readval(4, &v); })
        << hex("02 08 00 02 00 46 04 48");
}

void tst_M1::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_M1::refusedBeforeSending_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::newRow("sector 40") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 40, kDefaultKey); });
    QTest::newRow("sector 255") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 255, kDefaultKey); });
    QTest::newRow("init 0x100000000") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Initval(4, 0x100000000ul); });
    QTest::newRow("init -1 as 64 bits") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Initval(4, ~0ul); });
    QTest::newRow("increment 0x100000000") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Increment(4, 0x100000000ul); });
    QTest::newRow("decrement 0x100000000") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Decrement(4, 0x100000000ul); });
    QTest::newRow("write 17 bytes") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Write(4, "000102030405060708090A0B0C0D0E0F10"); });
    QTest::newRow("write nothing") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Write(4, ""); });
    QTest::newRow("write an odd digit") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Write(4, "0011223"); });
    QTest::newRow("write without data") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Write(4, nullptr); });
    // A key is exactly six bytes: one cut or filled up is another key.
    for (const char *key : {"", "A0A1", "A0A1A2A3A4A", "A0A1A2A3A4A5A", "A0A1A2A3A4A5A6A7", "A0A1A2A3A4G5"})
        QTest::addRow("key \"%s\"", key) << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 1, key); });
    QTest::newRow("no key") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 1, nullptr); });
    QTest::newRow("value read without an output") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1Readval(4, nullptr); });
}

void tst_M1::refusedBeforeSending()
{
    QFETCH(DriverCall, call);
    reader().clearLog();
    QCOMPARE(call(*m_card), -14);
    QCOMPARE(int(reader().transfers().size()), 0);
    luvaroCard closed;
    QCOMPARE(call(closed), -12);
}

void tst_M1::session()
{
    activate();
    QCOMPARE(m_card->luvaro_USB_M1VerifyPass(kKeyA, 1, kDefaultKey), 0);
    QCOMPARE(m_card->luvaro_USB_M1Write(4, "00112233445566778899AABBCCDDEEFF"), 0);
    char text[128] = {};
    QCOMPARE(m_card->luvaro_USB_M1Read(4, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("00112233445566778899AABBCCDDEEFF"));
    // A short text leaves zeros.
    QCOMPARE(m_card->luvaro_USB_M1Write(6, "AB"), 0);
    QCOMPARE(m_card->luvaro_USB_M1Read(6, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("AB000000000000000000000000000000"));
    // The trailer hides key A.
    QCOMPARE(m_card->luvaro_USB_M1Read(7, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("000000000000FF078069FFFFFFFFFFFF"));

    unsigned long value = 0;
    QCOMPARE(m_card->luvaro_USB_M1Initval(5, 100), 0);
    QCOMPARE(m_card->luvaro_USB_M1Increment(5, 50), 0);
    QCOMPARE(m_card->luvaro_USB_M1Decrement(5, 30), 0);
    QCOMPARE(m_card->luvaro_USB_M1Readval(5, &value), 0);
    QCOMPARE(value, 120ul);
    QCOMPARE(m_card->luvaro_USB_M1Read(5, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("7800000087FFFFFF7800000005FA05FA"));
    QCOMPARE(m_card->luvaro_USB_M1Initval(5, 0xFFFFFFFFul), 0);
    QCOMPARE(m_card->luvaro_USB_M1Readval(5, &value), 0);
    QCOMPARE(value, ~0ul);

    // Outside the open sector, and the maker's block.
    QCOMPARE(m_card->luvaro_USB_M1Read(8, text), -21);
    QCOMPARE(m_card->luvaro_USB_M1Write(8, "01"), -21);
    QCOMPARE(m_card->luvaro_USB_M1Readval(8, &value), -14);
    QCOMPARE(m_card->luvaro_USB_M1VerifyPass(kKeyB, 0, kDefaultKey), 0);
    QCOMPARE(m_card->luvaro_USB_M1Write(0, "00"), -21);
    QCOMPARE(m_card->luvaro_USB_M1Read(0, text), 0);
    QCOMPARE(QByteArray(text).left(10), QByteArray("5A3C9E21D9"));
    // A 1K card has 16 sectors: the driver sends sector 39, the card refuses it.
    QCOMPARE(m_card->luvaro_USB_M1VerifyPass(kKeyA, 39, kDefaultKey), -21);
}

void tst_M1::authenticationIsLost_data()
{
    QTest::addColumn<DriverCall>("event");
    QTest::addColumn<int>("result");
    QTest::newRow("wrong key") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(kKeyA, 1, "A0A1A2A3A4A5"); }) << -21;
    QTest::newRow("unknown key type 0x61") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(0x61, 1, kDefaultKey); }) << -21;
    QTest::newRow("field off and on") << DriverCall([](luvaroCard &c) { c.luvaro_USB_SwitchRF(0); return c.luvaro_USB_SwitchRF(1); }) << 0;
    QTest::newRow("selected again") << DriverCall([](luvaroCard &c) {
        char uid[256] = {};
        c.luvaro_USB_ICRequest();
        c.luvaro_USB_ICAnticoll(uid);
        return c.luvaro_USB_ICSelect('A');
    }) << 0;
}

void tst_M1::authenticationIsLost()
{
    QFETCH(DriverCall, event);
    QFETCH(int, result);
    activate();
    QCOMPARE(m_card->luvaro_USB_M1VerifyPass(kKeyB, 1, kDefaultKey), 0);
    QCOMPARE(event(*m_card), result);
    char text[128] = {};
    QCOMPARE(m_card->luvaro_USB_M1Read(4, text), -21);
    QCOMPARE(QByteArray(text), QByteArray());
}

void tst_M1::valueArithmeticRefused()
{
    activate();
    QCOMPARE(m_card->luvaro_USB_M1VerifyPass(kKeyA, 1, kDefaultKey), 0);
    // Block 4 holds no value block: the card refuses both; the codes differ.
    QCOMPARE(m_card->luvaro_USB_M1Increment(4, 1), -21);
    QCOMPARE(m_card->luvaro_USB_M1Decrement(4, 1), -14);
    QCOMPARE(m_card->luvaro_USB_M1Initval(4, 10), 0);
    QCOMPARE(m_card->luvaro_USB_M1Decrement(4, 11), -14);
    QCOMPARE(m_card->luvaro_USB_M1Increment(4, 0xFFFFFFF6ul), -21);
    unsigned long value = 0;
    QCOMPARE(m_card->luvaro_USB_M1Readval(4, &value), 0);
    QCOMPARE(value, 10ul);
}

void tst_M1::valueRead_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("result");
    QTest::addColumn<qulonglong>("value");
    const qulonglong untouched = 7;
    QTest::newRow("100") << hex("02 02 00 10 64000000 9BFFFFFF 64000000 04FB04FB") << 0 << 100ull;
    QTest::newRow("0xFFFFFFFF widens to -1") << hex("02 02 00 10 FFFFFFFF 00000000 FFFFFFFF 04FB04FB") << 0 << ~0ull;
    QTest::newRow("0x80000000 widens") << hex("02 02 00 10 00000080 FFFFFF7F 00000080 04FB04FB") << 0 << 0xFFFFFFFF80000000ull;
    QTest::newRow("bytes 8-11 differ") << hex("02 02 00 10 64000000 9BFFFFFF 65000000 04FB04FB") << -14 << untouched;
    QTest::newRow("complement wrong") << hex("02 02 00 10 64000000 9AFFFFFF 64000000 04FB04FB") << -14 << untouched;
    QTest::newRow("address copies differ") << hex("02 02 00 10 64000000 9BFFFFFF 64000000 04FB05FB") << -14 << untouched;
    QTest::newRow("address complement copies differ") << hex("02 02 00 10 64000000 9BFFFFFF 64000000 04FB04FA") << -14 << untouched;
    QTest::newRow("address not complemented") << hex("02 02 00 10 64000000 9BFFFFFF 64000000 04FA04FA") << -14 << untouched;
    QTest::newRow("refused status") << hex("02 02 01 00") << -14 << untouched;
    QTest::newRow("not a reply") << hex("02 08 00 10 64000000 9BFFFFFF 64000000 04FB04FB") << -15 << untouched;
    QTest::newRow("continued marker") << hex("82 02 00 10 64000000 9BFFFFFF 64000000 04FB04FB") << -15 << untouched;
}

void tst_M1::valueRead()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, result);
    QFETCH(qulonglong, value);
    reader().injectReplyReports({testsupport::report(reply)});
    unsigned long got = 7;
    QCOMPARE(m_card->luvaro_USB_M1Readval(4, &got), result);
    QCOMPARE(qulonglong(got), value);
}

void tst_M1::blockReadReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("text");
    const QByteArray block = hex("02 02 00 10 000102030405060708090A0B0C0D0E0F");
    QTest::newRow("16 bytes, count ignored") << hex("02 02 00 FF 000102030405060708090A0B0C0D0E0F") << 128 << 0
                                             << QByteArray("000102030405060708090A0B0C0D0E0F");
    QTest::newRow("exactly 32 digits fit") << block << 32 << 0 << QByteArray("000102030405060708090A0B0C0D0E0F");
    QTest::newRow("31 do not: nothing written") << block << 31 << -14 << QByteArray();
    QTest::newRow("refused") << hex("02 02 01 10 000102030405060708090A0B0C0D0E0F") << 128 << -21 << QByteArray();
    QTest::newRow("not a reply") << hex("02 00 00 10 000102030405060708090A0B0C0D0E0F") << 128 << -15 << QByteArray();
}

void tst_M1::blockReadReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, text);
    reader().injectReplyReports({testsupport::report(reply)});
    char out[128 + 1] = {};
    QCOMPARE(m_card->luvaro_USB_M1Read(4, out, size), result);
    QCOMPARE(QByteArray(out), text);
}

QTEST_APPLESS_MAIN(tst_M1)
#include "tst_m1.moc"
