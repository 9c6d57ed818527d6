// CPU-card commands of the driver against the emulated reader: exact request
// frames, slot bytes, APDU framing, the contactless answer and its waiting-time
// extensions, and the bounds on what fits. (Type A activation: tst_typea.)

#include "cpucards.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"

#include <QtTest>

using namespace dorvent::emulator;

using testsupport::bytesOf;
using testsupport::DriverCall;
using testsupport::hex;
using testsupport::report;

class tst_CpuCard : public QObject
{
    Q_OBJECT
private slots:
    void init();

    // Each request's exact frame, and nothing sent without a reader.
    void requests_data();
    void requests();
    void contactSession();
    void contactApduFraming();
    void oversizedApdusAreRefused();
    void answersThatDoNotFit();
    void powerOffRefusals_data();
    void powerOffRefusals();
    void contactlessSession();
    void contactlessAnswerLength_data();
    void contactlessAnswerLength();
    void waitingTimeExtensions_data();
    void waitingTimeExtensions();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
    TypeACpuCard *m_typeA = nullptr;
};

void tst_CpuCard::init()
{
    reader().reset();
    reader().deck().contactSlot(0x0C)->insert(demoContactCpuCard());
    auto typeA = demoTypeACpuCard();
    m_typeA = typeA.get();
    reader().deck().radioField().insert(std::move(typeA));
    m_card = testsupport::openedDriver(); // the last test's driver goes with its dead handle
    QVERIFY(m_card);
}

void tst_CpuCard::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("cold power-on slot 1") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_ColdPowerOn(1, b); })
                                          << hex("020800030074 0C1360");
    QTest::newRow("warm power-on slot 0x11") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_HotPowerOn(0x11, b); })
                                             << hex("020800030075 0D1360");
    QTest::newRow("power-on slot 5 goes to 0x8F") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_ColdPowerOn(5, b); })
                                                  << hex("020800030074 8F13E3");
    QTest::newRow("power-on slot 0x24") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_ColdPowerOn(0x24, b); })
                                        << hex("020800030074 9013FC");
    QTest::newRow("power-off slot 1") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_PowerOff(1); }) << hex("0208000100730C7E");
    QTest::newRow("contact APDU slot 1") << DriverCall([](luvaroCard &c) { char b[1024] = {}; return c.luvaro_USB_APDU(1, "0084000004", b); })
                                         << hex("0208000800 72 0C00 0084000004 FE");
    QTest::newRow("contactless APDU") << DriverCall([](luvaroCard &c) { char b[1024] = {}; return c.luvaro_USB_APDUType("0084000004", b); })
                                      << hex("0208000800 86 0000 0084000004 06");
}

void tst_CpuCard::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_CpuCard::contactSession()
{
    char atr[256] = {};
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(1, atr), 0);
    QCOMPARE(QByteArray(atr), QByteArray("3B680000444F5256454E5431"));

    // In order: the card keeps its selected file from one APDU to the next.
    const struct
    {
        const char *apdu;
        const char *answer; // null: not compared
    } kSession[] = {
        {"00A4040006D15600000100", "6F088406D156000001009000"},
        {"00A40000020002", "9000"},
        {"00B0000004", "000003E89000"},
        {"00A40000021234", "6A82"},
        {"00CA000000", "6D00"},
        // Back to the master file; a read past the file's end says so.
        {"00A40000023F00", nullptr},
        {"00A40000020015", nullptr},
        {"00B0000000", "0102030405060708090A0B0C0D0E0F106282"},
    };
    char answer[1024] = {};
    for (const auto &step : kSession) {
        memset(answer, 0, sizeof answer);
        QCOMPARE(m_card->luvaro_USB_APDU(1, step.apdu, answer), 0);
        if (step.answer)
            QCOMPARE(QByteArray(answer), QByteArray(step.answer));
    }

    QCOMPARE(m_card->luvaro_USB_PowerOff(1), 0);
    QCOMPARE(m_card->luvaro_USB_APDU(1, "0084000004", answer), -20); // unpowered
    char untouched[256] = {};
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(0x11, untouched), -4); // empty slot
    QCOMPARE(QByteArray(untouched), QByteArray());
}

void tst_CpuCard::contactApduFraming()
{
    // 23 APDU bytes: a 32-byte frame, sent with its extra zero byte as 33 bytes.
    char answer[1024] = {};
    const char *apdu = "00A404001200112233445566778899AABBCCDDEEFF0011";
    QCOMPARE(int(strlen(apdu)), 46);
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(1, answer), 0);
    reader().clearLog();
    QCOMPARE(m_card->luvaro_USB_APDU(1, apdu, answer), 0);
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 2);
    QCOMPARE(sent[0][0], std::uint8_t(0x82));
    QCOMPARE(bytesOf(sent[0], 8), hex("8208001A 00720C00"));
    QCOMPARE(sent[1][0], std::uint8_t(0x02));
    QCOMPARE(sent[1][2], std::uint8_t(0x00)); // the extra zero byte
    const auto &frame = reader().firmware().requestFrames().back();
    QCOMPARE(int(frame.size()) >= 33, true);
    std::uint8_t x = 0;
    for (int i = 1; i < 31; ++i)
        x ^= frame[i];
    QCOMPARE(frame[31], x);

    // An odd-length text is refused whole: the card would run it short of a byte.
    reader().clearLog();
    QCOMPARE(m_card->luvaro_USB_APDU(1, "00840000041", answer), -14);
    QCOMPARE(m_card->luvaro_USB_APDUType("00B095001", answer), -14);
    QVERIFY(reader().transfers().empty());
}

void tst_CpuCard::oversizedApdusAreRefused()
{
    char answer[1024] = {};
    const QByteArray contact = QByteArray(291 * 2, 'A');
    const QByteArray contactless = QByteArray(504 * 2, 'A');
    QCOMPARE(m_card->luvaro_USB_APDU(1, contact.constData(), answer), -14);
    QCOMPARE(m_card->luvaro_USB_APDUType(contactless.constData(), answer), -14);
    QVERIFY(reader().transfers().empty());
    QCOMPARE(answer[0], '\0');

    // The largest ones still go out whole.
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(1, answer), 0);
    const QByteArray largest = "00B00000FF" + QByteArray(285 * 2, '0');
    QCOMPARE(m_card->luvaro_USB_APDU(1, largest.constData(), answer), 0);
    QCOMPARE(reader().firmware().requestFrames().back().size() >= size_t(290 + 9), true);
}

void tst_CpuCard::answersThatDoNotFit()
{
    char atr[256] = {};
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(1, atr), 0);
    // A 256-byte file read into a text of 100 characters: refused, nothing written.
    auto *card = reader().deck().contactSlot(0x0C)->cardAs<ContactCpuCard>();
    card->files = Iso7816Responder({{0x0015, 0, std::vector<std::uint8_t>(300, 0x5A)}}, {});
    char answer[1024] = {};
    QCOMPARE(m_card->luvaro_USB_APDU(1, "00A40000020015", answer), 0);
    memset(answer, 0, sizeof answer);
    QCOMPARE(m_card->luvaro_USB_APDU(1, "00B0000000", answer, 100), -14);
    QCOMPARE(answer[0], '\0');
    QCOMPARE(m_card->luvaro_USB_APDU(1, "00B0000000", answer, 516), 0);
    QCOMPARE(QByteArray(answer), QByteArray(512, '5').replace("55", "5A") + "9000");

    // An ATR count beyond the report promises bytes that never came: failed.
    reader().injectReplyReports({report(hex("02020040") + QByteArray(28, '\x11'))});
    memset(atr, 0, sizeof atr);
    QCOMPARE(m_card->luvaro_USB_ColdPowerOn(1, atr), luvaro::kTransferFailed);
    QCOMPARE(QByteArray(atr), QByteArray());
}

void tst_CpuCard::powerOffRefusals_data()
{
    QTest::addColumn<QByteArray>("replyBytes");
    QTest::addColumn<int>("code");
    QTest::newRow("accepted") << hex("0202000000") << 0;
    QTest::newRow("refused with code 3") << hex("0202010300") << 3;
    QTest::newRow("refused without a code") << hex("0202010000") << -21;
    QTest::newRow("malformed header") << hex("0282000000") << -1;
}

void tst_CpuCard::powerOffRefusals()
{
    QFETCH(QByteArray, replyBytes);
    QFETCH(int, code);
    reader().injectReplyReports({report(replyBytes)});
    QCOMPARE(m_card->luvaro_USB_PowerOff(1), code);
}

void tst_CpuCard::contactlessSession()
{
    char ats[128] = {};
    int len = -1;
    QCOMPARE(m_card->typeAPowerON(ats, &len), 0);
    char answer[1024] = {};
    QCOMPARE(m_card->luvaro_USB_APDUType("00A4040006D15600000100", answer), 0);
    QCOMPARE(QByteArray(answer), QByteArray("6F088406D156000001009000"));
    memset(answer, 0, sizeof answer);
    QCOMPARE(m_card->luvaro_USB_APDUType("00B0820004", answer), 0);
    QCOMPARE(QByteArray(answer), QByteArray("000003E89000"));
}

void tst_CpuCard::contactlessAnswerLength_data()
{
    QTest::addColumn<QByteArray>("replyBytes");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("L = 4: the status word") << hex("02020004000002 9000 AA") << QByteArray("9000");
    QTest::newRow("L = 2: nothing") << hex("02020002000002 C3") << QByteArray();
    QTest::newRow("L = 0: nothing") << hex("020200000000") << QByteArray();
}

void tst_CpuCard::contactlessAnswerLength()
{
    QFETCH(QByteArray, replyBytes);
    QFETCH(QByteArray, answer);
    reader().injectReplyReports({report(replyBytes)});
    char out[1024] = {};
    QCOMPARE(m_card->luvaro_USB_APDUType("0084000004", out), 0);
    QCOMPARE(QByteArray(out), answer);
}

void tst_CpuCard::waitingTimeExtensions_data()
{
    QTest::addColumn<int>("extensions");
    QTest::addColumn<int>("code");
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("once") << 1 << 0;
    QTest::newRow("twice") << 2 << 0;
    QTest::newRow("up to the bound") << luvaroCard::kMaxWaitingTimeExtensions << 0;
    QTest::newRow("beyond the bound") << luvaroCard::kMaxWaitingTimeExtensions + 1 << -20;
}

void tst_CpuCard::waitingTimeExtensions()
{
    QFETCH(int, extensions);
    QFETCH(int, code);
    char ats[128] = {};
    int len = 0;
    QCOMPARE(m_card->typeAPowerON(ats, &len), 0);
    m_typeA->waitingTimeExtensions = extensions;
    m_typeA->wtxMultiplier = 0x05;
    reader().clearLog();

    char answer[1024] = {};
    QCOMPARE(m_card->luvaro_USB_APDUType("0084000004", answer), code);
    QCOMPARE(int(flagLong), 0);
    // Each request is answered with its own block byte and parameter.
    testsupport::Exchange steps{{hex("0208000800 86 0000 0084000004 06"), {}}};
    for (int i = 0; i < qMin(extensions, int(luvaroCard::kMaxWaitingTimeExtensions)); ++i)
        steps.push_back({hex("0208000400 86 01 F2 05 7C"), {}});
    QCOMPARE(testsupport::exchangeMismatch(steps), QString());
    if (extensions > 0) {
        QCOMPARE(int(longtimedata[0]), 0xF2);
        QCOMPARE(int(longtimedata[1]), 0x05);
    }
    if (code == 0) {
        QCOMPARE(strlen(answer), size_t(12));
        QVERIFY(QByteArray(answer).endsWith("9000"));
    }
}

QTEST_MAIN(tst_CpuCard)
#include "tst_cpucard.moc"
