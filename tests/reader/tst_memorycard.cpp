// 4442 and 4428 memory-card commands of the driver against the emulated
// cards: exact request frames, the bounds and texts checked before anything is sent,
// the protection bits, the error counter, and the cards' own rules.

#include "emulatedreader.h"
#include "luvarocard.h"
#include "memorycards.h"
#include "reports.h"

#include <QtTest>

#include <climits>

using namespace dorvent::emulator;

using testsupport::DriverCall;
using testsupport::hex;
using testsupport::report;

namespace {

// "DORVENT LOYALTY1", the demo cards' record at address 32.
constexpr char kRecordHex[] = "444F5256454E54204C4F59414C545931";

} // namespace

class tst_MemoryCard : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void requests_data();
    void requests();
    void outOfRange_data();
    void outOfRange();
    void card4442Session();
    void card4442Locks();
    void card4428Session();
    void card4428ProtectsPastBit31();
    void protectionBits_data();
    void protectionBits();
    void writeProtectionLength_data();
    void writeProtectionLength();
    void refusals_data();
    void refusals();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
};

void tst_MemoryCard::init()
{
    reader().reset();
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4442());
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_MemoryCard::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    const auto row = [](const char *name, DriverCall call, const char *frame) {
        QTest::newRow(name) << call << hex(frame);
    };
    row("4442 power-on", [](luvaroCard &c) { char b[128] = {}; return c.luvaro_USB_4442_PowerOn(b); }, "02080001005059");
    row("4442 power-off", [](luvaroCard &c) { return c.luvaro_USB_4442_PowerOff(); }, "02080001005158");
    row("4442 error counter", [](luvaroCard &c) { int n = 0; return c.luvaro_USB_4442_ReadCount(&n); }, "02080001005851");
    row("4428 power-on", [](luvaroCard &c) { char b[128] = {}; return c.luvaro_USB_4428_PowerOn(b); }, "02080001006069");
    row("4428 power-off", [](luvaroCard &c) { return c.luvaro_USB_4428_PowerOff(); }, "02080001006168");
    row("4428 error counter", [](luvaroCard &c) { int n = 0; return c.luvaro_USB_4428_ReadCount(&n); }, "02080001006861");
    row("4442 read 16 from 32", [](luvaroCard &c) { char b[513] = {}; return c.luvaro_USB_4442_Read(32, 16, b); },
        "0208000400 52 201000 6E");
    row("4442 read 256 from 255", [](luvaroCard &c) { char b[513] = {}; return c.luvaro_USB_4442_Read(255, 256, b); },
        "0208000400 52 FF0001 A0");
    row("4428 read 256 from 255", [](luvaroCard &c) { char b[513] = {}; return c.luvaro_USB_4428_Read(255, 256, b); },
        "0208000400 62 FF0001 90");
    row("4442 write 2 at 32, longer text: its first bytes", [](luvaroCard &c) { return c.luvaro_USB_442_Write(32, 2, "AABBCC"); },
        "0208000600 53 200200 AABB 6E");
    row("4442 verify", [](luvaroCard &c) { return c.luvaro_USB_4442_Verify("123456"); }, "0208000400 54 123456 28");
    row("4428 change", [](luvaroCard &c) { return c.luvaro_USB_4428_Change("1234"); }, "0208000300 65 1234 48");
    row("4442 read protection", [](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4442_ReadProtect(0, 32, b); },
        "0208000300 56 0020 7D");
    row("4428 read protection", [](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4428_ReadProtect(8, 8, b); },
        "0208000300 66 0808 6D");
    row("4442 write protection", [](luvaroCard &c) { return c.luvaro_USB_4442_WriteProtect(16, 2, "5566"); },
        "0208000500 57 1002 5566 7B");
    row("4428 write protection", [](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(0, 1, "92"); },
        "0208000400 67 0001 92 F8");
    // 41 bytes: two reports, the first marked 0x82.
    row("4428 write protection, 32 bytes from 32",
        [](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(32, 32, (QByteArray(kRecordHex) + QByteArray(32, 'F')).constData()); },
        "8208002300 67 2020 444F5256454E54204C4F59414C545931 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF 57");
}

void tst_MemoryCard::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_MemoryCard::outOfRange_data()
{
    QTest::addColumn<DriverCall>("call");
    const auto read = [](int type, int addr, int len) {
        return DriverCall([=](luvaroCard &c) {
            char b[1024] = {};
            return type == 4442 ? c.luvaro_USB_4442_Read(addr, len, b) : c.luvaro_USB_4428_Read(addr, len, b);
        });
    };
    QTest::newRow("4442 read len 257") << read(4442, 0, 257);
    QTest::newRow("4442 read addr 256") << read(4442, 256, 1);
    QTest::newRow("4442 read addr -1") << read(4442, -1, 1);
    QTest::newRow("4428 read len 257") << read(4428, 0, 257);
    QTest::newRow("4428 read addr 256") << read(4428, 256, 1);
    QTest::newRow("4428 read len -1") << read(4428, 0, -1);
    QTest::newRow("4442 write len 257") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(0, 257, "00"); });
    QTest::newRow("4428 write addr 256") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_Write(256, 1, "00"); });
    QTest::newRow("read protection addr 33") << DriverCall([](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4442_ReadProtect(33, 0, b); });
    QTest::newRow("read protection len 33") << DriverCall([](luvaroCard &c) { char b[80] = {}; return c.luvaro_USB_4428_ReadProtect(0, 33, b, 80); });
    QTest::newRow("read protection past bit 31") << DriverCall([](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4442_ReadProtect(1, 32, b); });
    QTest::newRow("read protection into too small a text") << DriverCall([](luvaroCard &c) { char b[8] = {}; return c.luvaro_USB_4442_ReadProtect(0, 8, b, 8); });
    QTest::newRow("write protection past bit 31") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4442_WriteProtect(30, 3, "000000"); });
    QTest::newRow("4428 write protection addr 33") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(33, 0, ""); });
    QTest::newRow("4428 write protection len 33") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(0, 33, "00"); });
    QTest::newRow("4428 write protection addr -1") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(-1, 1, "00"); });
    QTest::newRow("write without data") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(0, 1, nullptr); });

    // Bounds whose sum or product would overflow an int.
    const QByteArray digits600(600, 'A');
    QTest::newRow("read protection addr INT_MAX") << DriverCall([](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4442_ReadProtect(INT_MAX, 17, b); });
    QTest::newRow("read protection len INT_MAX") << DriverCall([](luvaroCard &c) { char b[65] = {}; return c.luvaro_USB_4428_ReadProtect(17, INT_MAX, b); });
    QTest::newRow("write protection len INT_MAX") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_WriteProtect(1, INT_MAX, digits600.constData()); });
    QTest::newRow("write protection addr INT_MAX") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(INT_MAX, INT_MAX, "00"); });
    QTest::newRow("read addr INT_MIN") << DriverCall([](luvaroCard &c) { char b[64] = {}; return c.luvaro_USB_4442_Read(INT_MIN, 1, b, 64); });
    QTest::newRow("write len INT_MAX") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Write(1, INT_MAX, digits600.constData()); });
    QTest::newRow("write len INT_MIN") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(0, INT_MIN, "00"); });

    // Codes of any other length: a wrong guess costs an attempt, a changed
    // code must be the one typed.
    for (const char *code : {"", "0", "001", "FF", "12345", "FFFFFFFF", "FFFFFG"}) {
        QTest::addRow("4442 verify \"%s\"", code) << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_Verify(code); });
        QTest::addRow("4442 change \"%s\"", code) << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_Change(code); });
    }
    for (const char *code : {"", "F", "FF", "FFF", "FFFFFF"}) {
        QTest::addRow("4428 verify \"%s\"", code) << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Verify(code); });
        QTest::addRow("4428 change \"%s\"", code) << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Change(code); });
    }
    QTest::newRow("4442 verify without a code") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4442_Verify(nullptr); });

    // Data that does not hold the bytes asked for: never filled up with zeros.
    QTest::newRow("write 3 bytes from a 2-byte text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_Write(40, 3, "1122"); });
    QTest::newRow("write from an empty text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(40, 1, ""); });
    QTest::newRow("write 0 bytes from an empty text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(40, 0, ""); });
    QTest::newRow("write from an odd text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(40, 2, "AABBC"); });
    QTest::newRow("write protection from a short text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4442_WriteProtect(0, 2, "A2"); });
    QTest::newRow("write protection from an empty text") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(0, 1, ""); });
}

void tst_MemoryCard::outOfRange()
{
    QFETCH(DriverCall, call);
    QCOMPARE(call(*m_card), -14);
    QVERIFY(reader().transfers().empty());
}

void tst_MemoryCard::card4442Session()
{
    char text[1024] = {};
    QCOMPARE(m_card->luvaro_USB_4442_PowerOn(text), 0);
    QCOMPARE(QByteArray(text), QByteArray("A2131091"));
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4442_Read(32, 16, text), 0);
    QCOMPARE(QByteArray(text), QByteArray(kRecordHex));
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4442_Read(0, 0, text), 0); // L = 0: nothing written
    QCOMPARE(QByteArray(text), QByteArray());

    int count = -1;
    QCOMPARE(m_card->luvaro_USB_4442_ReadCount(&count), 0);
    QCOMPARE(count, 3);
    QCOMPARE(m_card->luvaro_USB_442_Write(32, 2, "1122"), -20); // code not verified
    QCOMPARE(m_card->luvaro_USB_4442_Verify("000000"), -21);
    QCOMPARE(m_card->luvaro_USB_4442_ReadCount(&count), 0);
    QCOMPARE(count, 2);
    QCOMPARE(m_card->luvaro_USB_4442_Verify("FFFFFF"), 0);
    QCOMPARE(m_card->luvaro_USB_4442_ReadCount(&count), 0);
    QCOMPARE(count, 3);

    QCOMPARE(m_card->luvaro_USB_442_Write(16, 2, "5566"), 0);
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4442_Read(14, 6, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("FFFF5566FFFF"));

    // Protecting needs the bytes' own values; then they are read-only for good.
    QCOMPARE(m_card->luvaro_USB_4442_WriteProtect(16, 2, "5567"), -20);
    QCOMPARE(m_card->luvaro_USB_4442_WriteProtect(16, 2, "5566"), 0);
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4442_ReadProtect(0, 32, text), 0);
    // The manufacturer's six bytes and the two just protected read 0.
    QCOMPARE(QByteArray(text), QByteArray("000000000000" "01010101010101010101" "0000" "0101010101010101010101010101"));
    QCOMPARE(m_card->luvaro_USB_442_Write(17, 1, "00"), -20);
    QCOMPARE(m_card->luvaro_USB_442_Write(18, 1, "00"), 0);

    // A new code works after the next power-on, the old one no more.
    QCOMPARE(m_card->luvaro_USB_4442_Change("123456"), 0);
    QCOMPARE(m_card->luvaro_USB_4442_PowerOff(), 0);
    QCOMPARE(m_card->luvaro_USB_4442_Read(32, 1, text), -20); // unpowered
    QCOMPARE(m_card->luvaro_USB_4442_PowerOn(text), 0);
    QCOMPARE(m_card->luvaro_USB_4442_Verify("FFFFFF"), -21);
    QCOMPARE(m_card->luvaro_USB_4442_Verify("123456"), 0);
}

void tst_MemoryCard::card4442Locks()
{
    char atr[128] = {};
    QCOMPARE(m_card->luvaro_USB_4442_PowerOn(atr), 0);
    int count = -1;
    for (int left = 2; left >= 0; --left) {
        QCOMPARE(m_card->luvaro_USB_4442_Verify("010203"), -21);
        QCOMPARE(m_card->luvaro_USB_4442_ReadCount(&count), 0);
        QCOMPARE(count, left);
    }
    QCOMPARE(m_card->luvaro_USB_4442_Verify("FFFFFF"), -21);
    QCOMPARE(m_card->luvaro_USB_442_Write(40, 1, "00"), -20);
    // Still readable.
    char text[64] = {};
    QCOMPARE(m_card->luvaro_USB_4442_Read(32, 4, text, sizeof text), 0);
    QCOMPARE(QByteArray(text), QByteArray(kRecordHex).left(8));
}

void tst_MemoryCard::card4428Session()
{
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4428());
    char text[1024] = {};
    QCOMPARE(m_card->luvaro_USB_4442_PowerOn(text), -21); // a 4428 does not answer 4442 commands
    QCOMPARE(m_card->luvaro_USB_4428_PowerOn(text), 0);
    QCOMPARE(QByteArray(text), QByteArray("92231091"));
    int count = -1;
    QCOMPARE(m_card->luvaro_USB_4428_ReadCount(&count), 0);
    QCOMPARE(count, 8);
    QCOMPARE(m_card->luvaro_USB_4428_Verify("0000"), -21);
    QCOMPARE(m_card->luvaro_USB_4428_ReadCount(&count), 0);
    QCOMPARE(count, 7);
    QCOMPARE(m_card->luvaro_USB_4428_Verify("FFFF"), 0);
    QCOMPARE(m_card->luvaro_USB_4428_Write(200, 3, "ABCDEF"), 0);
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4428_Read(200, 3, text), 0);
    QCOMPARE(QByteArray(text), QByteArray("ABCDEF"));
    // The whole reachable memory in one read: 256 bytes from 0.
    memset(text, 0, sizeof text);
    QCOMPARE(m_card->luvaro_USB_4428_Read(0, 256, text), 0);
    QCOMPARE(int(strlen(text)), 512);
    QCOMPARE(QByteArray(text).mid(64, 32), QByteArray(kRecordHex));
}

// Every 4428 byte has its protection bit, so its write protection reaches
// past the 4442's 32 bits: a range of bytes then stays as it is for good.
void tst_MemoryCard::card4428ProtectsPastBit31()
{
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4428());
    char atr[128] = {};
    QCOMPARE(m_card->luvaro_USB_4428_PowerOn(atr), 0);
    QCOMPARE(m_card->luvaro_USB_4428_Verify("FFFF"), 0);
    // Bytes 30 to 39: two erased ones, then the record's first eight.
    const QByteArray held = "FFFF" + QByteArray(kRecordHex).left(16);
    QCOMPARE(m_card->luvaro_USB_4428_WriteProtect(30, 10, "FFFF0000000000000000"), -20); // not what the bytes hold
    QCOMPARE(m_card->luvaro_USB_4428_WriteProtect(30, 10, held.constData()), 0);
    QCOMPARE(m_card->luvaro_USB_4428_Write(39, 1, "00"), -20);
    QCOMPARE(m_card->luvaro_USB_4428_Write(29, 1, "00"), 0);
    QCOMPARE(m_card->luvaro_USB_4428_Write(40, 1, "00"), 0);
    char text[64] = {};
    QCOMPARE(m_card->luvaro_USB_4428_Read(28, 13, text, sizeof text), 0);
    QCOMPARE(QByteArray(text), "FF00" + held + "00");
}

void tst_MemoryCard::protectionBits_data()
{
    QTest::addColumn<QByteArray>("replyBytes");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("bits");
    // Count at offset 3, the bits from offset 6, least significant bit first.
    QTest::newRow("bit order") << hex("0202000400 00 0180FF00") << 0 << 16 << 0
                               << QByteArray("01000000000000000000000000000001");
    QTest::newRow("a window") << hex("0202000400 00 0180FF00") << 14 << 4 << 0 << QByteArray("00010101");
    QTest::newRow("last bits") << hex("0202000400 00 00000080") << 30 << 2 << 0 << QByteArray("0001");
    QTest::newRow("len 0") << hex("0202000400 00 FFFFFFFF") << 32 << 0 << 0 << QByteArray();
    QTest::newRow("count beyond 4: only 4 taken") << hex("0202001000 00 FFFFFFFF AA") << 0 << 32 << 0
                                                  << QByteArray(64, '0').replace("00", "01");
    QTest::newRow("two bytes carried, bits inside") << hex("0202000200 00 FF01") << 8 << 8 << 0
                                                    << QByteArray("0100000000000000");
    QTest::newRow("two bytes carried, bits beyond") << hex("0202000200 00 FFFF") << 8 << 9 << -15 << QByteArray();
    QTest::newRow("refused") << hex("0202010000") << 0 << 8 << -21 << QByteArray();
    QTest::newRow("malformed") << hex("0282000400 00 FFFFFFFF") << 0 << 8 << -15 << QByteArray();
}

void tst_MemoryCard::protectionBits()
{
    QFETCH(QByteArray, replyBytes);
    QFETCH(int, addr);
    QFETCH(int, len);
    QFETCH(int, code);
    QFETCH(QByteArray, bits);
    reader().injectReplyReports({report(replyBytes)});
    char text[128] = {};
    QCOMPARE(m_card->luvaro_USB_4442_ReadProtect(addr, len, text, sizeof text - 1), code);
    QCOMPARE(QByteArray(text), bits);
}

void tst_MemoryCard::writeProtectionLength_data()
{
    QTest::addColumn<QByteArray>("replyBytes");
    QTest::addColumn<int>("result");
    QTest::newRow("empty payload") << hex("020200000002") << 0;
    QTest::newRow("three payload bytes") << hex("0202000300 AABBCC 01") << 3;
    QTest::newRow("refused") << hex("020201000003") << -20;
}

void tst_MemoryCard::writeProtectionLength()
{
    QFETCH(QByteArray, replyBytes);
    QFETCH(int, result);
    reader().injectReplyReports({report(replyBytes)});
    QCOMPARE(m_card->luvaro_USB_4428_WriteProtect(0, 2, "9223"), result);
}

void tst_MemoryCard::refusals_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("replyBytes");
    QTest::addColumn<int>("code");
    QTest::newRow("counter from byte 4, not 5") << DriverCall([](luvaroCard &c) {
        int n = -1;
        const int r = c.luvaro_USB_4442_ReadCount(&n);
        return r == 0 ? n : r;
    }) << hex("0202000105 09") << 5;
    QTest::newRow("counter refused") << DriverCall([](luvaroCard &c) { int n = 0; return c.luvaro_USB_4428_ReadCount(&n); })
                                     << hex("0202010000") << -21;
    QTest::newRow("power-on malformed") << DriverCall([](luvaroCard &c) { char b[128] = {}; return c.luvaro_USB_4442_PowerOn(b); })
                                        << hex("0200000000") << -15;
    QTest::newRow("verify refused") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_4428_Verify("FFFF"); })
                                    << hex("0202010000") << -21;
    QTest::newRow("read refused") << DriverCall([](luvaroCard &c) { char b[64] = {}; return c.luvaro_USB_4428_Read(0, 4, b, 64); })
                                  << hex("0202010000") << -20;
    QTest::newRow("write refused") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_442_Write(0, 1, "00"); })
                                   << hex("0202010000") << -20;
    QTest::newRow("read answer larger than the text") << DriverCall([](luvaroCard &c) { char b[8] = {}; return c.luvaro_USB_4442_Read(0, 4, b, 8); })
                                                      << hex("0202000500 1122334455") << -14;
}

void tst_MemoryCard::refusals()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, replyBytes);
    QFETCH(int, code);
    reader().injectReplyReports({report(replyBytes)});
    QCOMPARE(call(*m_card), code);
}

QTEST_MAIN(tst_MemoryCard)
#include "tst_memorycard.moc"
