// ISO 15693 tags against the emulated reader: the exact frames (L = 1 on
// most), the emulated tag's blocks, AFI, DSFID and locks, and how replies
// are read: counts bounded by the report and the caller's buffer, and the
// block read's leniency about byte 0.

#include "emulatedreader.h"
#include "iso15693.h"
#include "luvarocard.h"
#include "reports.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::DriverCall;
using testsupport::hex;

using HexCall = std::function<int(luvaroCard &, char *out, int size)>;
Q_DECLARE_METATYPE(HexCall)

class tst_Iso15693 : public QObject
{
    Q_OBJECT
private slots:
    void init();

    // Each request's exact frame, and nothing sent without a reader.
    void requests_data();
    void requests();
    void badWriteTextsAreRefused_data();
    void badWriteTextsAreRefused();
    void tagSession();
    void locks_data();
    void locks();
    void withoutTag();
    void replies_data();
    void replies();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
    Iso15693Tag *m_tag = nullptr;
};

void tst_Iso15693::init()
{
    reader().reset();
    auto tag = demoIso15693Tag();
    m_tag = tag.get();
    reader().deck().radioField().insert(std::move(tag));
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_Iso15693::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("inventory") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_Find(b); })
                               << hex("02 08 00 01 00 90 99");
    QTest::newRow("system information") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_Info(b); })
                                        << hex("02 08 00 01 00 96 9F");
    QTest::newRow("lock AFI") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_LockAFI(b); })
                              << hex("02 08 00 01 00 93 01 9B");
    QTest::newRow("read block 5") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_Read(5, b); })
                                  << hex("02 08 00 01 00 91 05 9D");
    QTest::newRow("write: missing bytes 00") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_15693_Write(3, "1234"); })
                                             << hex("02 08 00 01 00 92 03 12 34 00 00 BE");
    QTest::newRow("write AFI 7") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_WriteAFI(7, b); })
                                 << hex("02 08 00 01 00 93 00 07 9D");
    QTest::newRow("write DSFID 22") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_WriteDSFID(0x22, b); })
                                    << hex("02 08 00 01 00 94 00 22 BF");
    QTest::newRow("lock DSFID") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_LockDSFID(b); })
                                << hex("02 08 00 01 00 94 01 9C");
    QTest::newRow("lock block 6") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_5693_LockDataBlock(6, b); })
                                  << hex("02 08 00 01 00 95 06 9A");
}

void tst_Iso15693::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_Iso15693::badWriteTextsAreRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("too long") << QByteArray("1234567890");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("an odd digit") << QByteArray("123");
    QTest::newRow("not hex") << QByteArray("12 4");
}

// Refused whole, the block left as it was: a text that lost a digit or
// holds none is never written as zeros.
void tst_Iso15693::badWriteTextsAreRefused()
{
    QFETCH(QByteArray, text);
    reader().clearLog();
    QCOMPARE(m_card->luvaro_USB_15693_Write(3, text.constData()), -14);
    QCOMPARE(int(reader().transfers().size()), 0);
    QCOMPARE(m_tag->blocks[3], (Iso15693Tag::Block{}));
}

void tst_Iso15693::tagSession()
{
    char out[256] = {};
    QCOMPARE(m_card->luvaro_USB_15693_Find(out), 0);
    QCOMPARE(QByteArray(out), QByteArray("0000785634125001" "04E0")); // flags, DSFID, UID from its low byte
    std::fill(std::begin(out), std::end(out), '\0');
    QCOMPARE(m_card->luvaro_USB_15693_Read(0, out), 0);
    QCOMPARE(QByteArray(out), QByteArray("444F5256"));

    QCOMPARE(m_card->luvaro_USB_15693_Write(27, "CAFE"), 0);
    QCOMPARE(m_card->luvaro_USB_15693_Read(27, out), 0);
    QCOMPARE(QByteArray(out), QByteArray("CAFE0000"));
    QCOMPARE(m_card->luvaro_USB_15693_Read(28, out), -21);
    QCOMPARE(m_card->luvaro_USB_15693_Write(28, "CAFE"), -21);

    QCOMPARE(m_card->luvaro_USB_15693_WriteAFI(0x07, out), 0);
    QCOMPARE(QByteArray(out), QByteArray("00FE0000")); // the tag's flags; the rest is the earlier text
    QCOMPARE(m_card->luvaro_USB_15693_WriteDSFID(0x22, out), 0);
    std::fill(std::begin(out), std::end(out), '\0');
    QCOMPARE(m_card->luvaro_USB_15693_Info(out), 0);
    QCOMPARE(QByteArray(out), QByteArray("0F" "785634125001" "04E0" "22" "07" "1B" "03" "01"));
}

void tst_Iso15693::locks_data()
{
    QTest::addColumn<DriverCall>("write");
    QTest::addColumn<DriverCall>("lock");
    QTest::newRow("block") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_15693_Write(3, "12345678"); })
                           << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_5693_LockDataBlock(3, b); });
    QTest::newRow("AFI") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_WriteAFI(0x12, b); })
                         << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_LockAFI(b); });
    QTest::newRow("DSFID") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_WriteDSFID(0x34, b); })
                           << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_15693_LockDSFID(b); });
}

void tst_Iso15693::locks()
{
    QFETCH(DriverCall, write);
    QFETCH(DriverCall, lock);
    QCOMPARE(write(*m_card), 0);
    QCOMPARE(lock(*m_card), 0);
    char before[256] = {};
    QCOMPARE(m_card->luvaro_USB_15693_Info(before), 0);
    QCOMPARE(write(*m_card), -21);
    QCOMPARE(lock(*m_card), -21);
    // The field going off and on does not undo a lock.
    QCOMPARE(m_card->luvaro_USB_SwitchRF(0), 0);
    QCOMPARE(m_card->luvaro_USB_SwitchRF(1), 0);
    QCOMPARE(write(*m_card), -21);
    char after[256] = {};
    QCOMPARE(m_card->luvaro_USB_15693_Info(after), 0);
    QCOMPARE(QByteArray(after), QByteArray(before));
    QCOMPARE(m_card->luvaro_USB_15693_Read(3, after), 0);
    QCOMPARE(QByteArray(after, 8), QByteArray(m_tag->blockLocked[3] ? "12345678" : "00000000"));
}

void tst_Iso15693::withoutTag()
{
    reader().deck().radioField().remove();
    char out[256] = "untouched";
    QCOMPARE(m_card->luvaro_USB_15693_Find(out), -21);
    QCOMPARE(m_card->luvaro_USB_15693_Info(out), -21);
    QCOMPARE(m_card->luvaro_USB_15693_Read(0, out), -21);
    QCOMPARE(QByteArray(out), QByteArray("untouched"));
}

void tst_Iso15693::replies_data()
{
    QTest::addColumn<HexCall>("call");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("text");
    const HexCall read = [](luvaroCard &c, char *out, int size) { return c.luvaro_USB_15693_Read(1, out, size); };
    const HexCall info = [](luvaroCard &c, char *out, int size) { return c.luvaro_USB_15693_Info(out, size); };
    const HexCall find = [](luvaroCard &c, char *out, int size) { return c.luvaro_USB_15693_Find(out, size); };
    const HexCall lockAfi = [](luvaroCard &c, char *out, int size) { return c.luvaro_USB_15693_LockAFI(out, size); };
    const QByteArray all = "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C";

    QTest::newRow("read: byte 0 is 0x82") << read << hex("82 02 00 04 A1B2C3D4") << 256 << 0 << QByteArray("A1B2C3D4");
    QTest::newRow("read: byte 0 not read") << read << hex("00 02 00 04 A1B2C3D4") << 256 << 0 << QByteArray("A1B2C3D4");
    QTest::newRow("read: zeroed report") << read << QByteArray(32, '\0') << 256 << -15 << QByteArray();
    QTest::newRow("read: byte 1 not 0x02") << read << hex("02 82 00 04 A1B2C3D4") << 256 << -15 << QByteArray();
    QTest::newRow("read: refused") << read << hex("02 02 01 04 A1B2C3D4") << 256 << -21 << QByteArray();
    QTest::newRow("read: count past the report") << read << hex("02 02 00 FF" + all) << 256 << 0 << all;
    QTest::newRow("read: buffer too small") << read << hex("02 02 00 04 A1B2C3D4") << 7 << -14 << QByteArray();
    QTest::newRow("read: exactly fits") << read << hex("02 02 00 04 A1B2C3D4") << 8 << 0 << QByteArray("A1B2C3D4");
    QTest::newRow("info: from offset 5") << info << hex("02 02 00 03 EE 0F1B03") << 256 << 0 << QByteArray("0F1B03");
    QTest::newRow("info: count past the report") << info << hex("02 02 00 FF EE" + all) << 256 << 0 << all.left(54);
    QTest::newRow("info: byte 0 is 0x82") << info << hex("82 02 00 03 EE 0F1B03") << 256 << -15 << QByteArray();
    QTest::newRow("find: count 0") << find << hex("02 02 00 00 A1B2") << 256 << 0 << QByteArray();
    QTest::newRow("find: buffer too small") << find << hex("02 02 00 0A 00000102030405060708") << 19 << -14 << QByteArray();
    QTest::newRow("lock AFI: refused") << lockAfi << hex("02 02 0F 01 0F") << 256 << -21 << QByteArray();
    QTest::newRow("lock AFI: not a reply") << lockAfi << hex("02 08 00 01 00") << 256 << -15 << QByteArray();
}

void tst_Iso15693::replies()
{
    QFETCH(HexCall, call);
    QFETCH(QByteArray, reply);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, text);
    reader().injectReplyReports({testsupport::report(reply)});
    char out[256 + 1] = {};
    QCOMPARE(call(*m_card, out, size), result);
    QCOMPARE(QByteArray(out), text);
}

QTEST_APPLESS_MAIN(tst_Iso15693)
#include "tst_iso15693.moc"
