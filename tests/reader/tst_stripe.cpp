// The magnetic-stripe head through the driver against the emulated head:
// the swipe read and its polls (counted, never slept), the cancel, replies
// over several reports, hostile lengths, and the format block.

#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"
#include "stripe.h"

#include <QtTest>

using namespace dorvent::emulator;

using testsupport::DriverCall;
using testsupport::hex;
using testsupport::report;
using testsupport::reportOf;

namespace {

QList<int> g_sleeps;
void countSleep(int ms) { g_sleeps << ms; }

// Track 1 of 38 characters: with its sentinels a 40-byte swipe.
constexpr char kTrack1[] = "B6222021234567890^DORVENT/DEMO^2512101";
const QByteArray kTrack1Swipe = QByteArray("%") + kTrack1 + "?";

const QByteArray kSwipeRead = hex("0208000200 30 010A 31"); // track 1, 10 s
const QByteArray kCancel = hex("0208000200 B3 02 BB");

StripeCard card(bool readable = true)
{
    StripeCard c;
    c.tracks[0] = kTrack1;
    c.tracks[1] = "6222021234567890=2512101";
    c.readable = readable;
    return c;
}

StripeHead &head() { return EmulatedReader::instance().firmware().unit<StripeHead>(); }

// S for each request report, G for each fetch.
QString transferPattern()
{
    QString out;
    for (const Transfer &t : EmulatedReader::instance().transfers())
        out += t.isSetReport() ? 'S' : 'G';
    return out;
}

} // namespace

using Reports = std::vector<Report>;
Q_DECLARE_METATYPE(Reports)

class tst_Stripe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void requests_data();
    void requests();
    void noCard_data();
    void noCard();
    void swipes_data();
    void swipes();
    void hostileReplies_data();
    void hostileReplies();
    void outputFormats_data();
    void outputFormats();
    void continuationFetchFails_data();
    void continuationFetchFails();
    void swipeTooLongForTheText();
    void formatBlock();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
    luvaroCard::SleepFunction m_previousSleep = nullptr;
};

void tst_Stripe::initTestCase()
{
    m_previousSleep = luvaroCard::setSleepFunction(countSleep);
}

void tst_Stripe::cleanupTestCase()
{
    luvaroCard::setSleepFunction(m_previousSleep);
}

void tst_Stripe::init()
{
    reader().reset();
    g_sleeps.clear();
    // Everything as the stripe carries it, no line end.
    head().format = {0xA4, 0x04, 0x00, 0x00};
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_Stripe::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    const auto row = [](const char *name, DriverCall call, const QByteArray &frame) {
        QTest::newRow(name) << call << frame;
    };
    row("swipe read, mode 1, 10 s", [](luvaroCard &c) { unsigned char n = 0; char d[255]; return c.Rcard1(10, 1, &n, d); },
        kSwipeRead);
    row("swipe read sends the mode's low byte", [](luvaroCard &c) { unsigned char n = 0; char d[255]; return c.Rcard1(3, 0x104, &n, d); },
        hex("0208000200 30 0403 3D"));
    row("cancel", [](luvaroCard &c) { return c.ICC_GetTimeOut(2); }, kCancel);
    row("format query", [](luvaroCard &c) { unsigned char s[8] = {}; return c.luvaro_USB_ReadMagType(s); },
        hex("02080001003E37"));
    const unsigned char setting[] = {4, 0, 1};
    row("format, type 0: active", [=](luvaroCard &c) { return c.luvaro_USB_SetMagType(0, setting); },
        hex("0208000500 3F A5040001 92"));
    row("format, type 1: passive", [](luvaroCard &c) {
        const unsigned char s[] = {1, 2, 0};
        return c.luvaro_USB_SetMagType(1, s);
    }, hex("0208000500 3F A4010200 95"));
    row("format, type 2: 0x00 first", [=](luvaroCard &c) { return c.luvaro_USB_SetMagType(2, setting); },
        hex("0208000500 3F 00040001 37"));
}

void tst_Stripe::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_Stripe::noCard_data()
{
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("polls");
    QTest::newRow("limit 0: one answer, then the cancel") << 0 << -4 << 0;
    QTest::newRow("limit 1: 5 polls") << 1 << -2 << 5;
    QTest::newRow("limit 3: 15 polls") << 3 << -2 << 15;
}

void tst_Stripe::noCard()
{
    QFETCH(int, timeLimit);
    QFETCH(int, code);
    QFETCH(int, polls);
    char text[512] = {};
    const QByteArray request = hex("0208000200 30 01") + char(timeLimit) + char(0x30 ^ 0x01 ^ 0x08 ^ 0x02 ^ timeLimit);
    QCOMPARE(m_card->luvaro_USB_MagInfo(std::uint8_t(timeLimit), 1, text), code);
    QCOMPARE(testsupport::exchangeMismatch({{request, {}}, {kCancel, {}}}), QString());
    // The polls are fetches with nothing sent, each after one pause.
    QCOMPARE(transferPattern(), "SG" + QString(polls, 'G') + "SG");
    QCOMPARE(g_sleeps, QList<int>() << QVector<int>(polls, luvaroCard::kSwipePollMs).toList());
    QCOMPARE(text[0], '\0');
}

void tst_Stripe::swipes_data()
{
    QTest::addColumn<bool>("readable");
    QTest::addColumn<int>("afterPolls");
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("swipe");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("polls");
    QTest::newRow("waiting on the head: 40 bytes in two reports") << true << 0 << 10 << 0 << kTrack1Swipe << "SGG" << 0;
    QTest::newRow("on the fourth poll") << true << 3 << 10 << 0 << kTrack1Swipe << "SGGGGGG" << 4;
    QTest::newRow("read error while polling: no cancel") << false << 1 << 10 << -1 << QByteArray() << "SGGG" << 2;
    QTest::newRow("read error, limit 0: cancelled") << false << 0 << 0 << -1 << QByteArray() << "SGSG" << 0;
    // A first answer that is an error still starts the polls.
    QTest::newRow("read error first, then nothing") << false << 0 << 1 << -2 << QByteArray() << "SGGGGGGSG" << 5;
}

void tst_Stripe::swipes()
{
    QFETCH(bool, readable);
    QFETCH(int, afterPolls);
    QFETCH(int, timeLimit);
    QFETCH(int, code);
    QFETCH(QByteArray, swipe);
    QFETCH(QString, pattern);
    QFETCH(int, polls);
    head().queueSwipe(card(readable), afterPolls);
    char text[512] = {};
    QCOMPARE(m_card->luvaro_USB_MagInfo(std::uint8_t(timeLimit), 1, text), code);
    QCOMPARE(QByteArray(text), swipe.toHex().toUpper());
    QCOMPARE(transferPattern(), pattern);
    QCOMPARE(g_sleeps.size(), polls);
}

void tst_Stripe::hostileReplies_data()
{
    QTest::addColumn<Reports>("replies");
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("fetches"); // the whole exchange, the cancel's fetch included

    std::vector<std::uint8_t> bytes255(255, 0x5A), bytes256(256, 0x5A);
    QTest::newRow("L beyond one report: never arrived")
        << Reports{report(hex("0202003000") + QByteArray(27, 'A'))} << 0 << -1 << QByteArray() << 2;
    QTest::newRow("255 bytes: all of them") << testsupport::replyReports(0, bytes255) << 0 << 0
                                            << QByteArray(255, 'Z').toHex().toUpper() << 9;
    QTest::newRow("256 bytes: no swipe, every report still fetched") << testsupport::replyReports(0, bytes256) << 0 << -1
                                                                     << QByteArray() << 9 + 1;
    QTest::newRow("status 0x01 at once") << Reports{reportOf("0202010000")} << 0 << -1 << QByteArray() << 2;
    QTest::newRow("waiting, then the data on a poll")
        << Reports{reportOf("0202160000"), reportOf("0202000300 414243")} << 1 << 0 << QByteArray("414243") << 2;
    QTest::newRow("a poll with a foreign marker counts as no card")
        << Reports{reportOf("0202160000"), reportOf("0302000300 414243"), reportOf("0202000100 42")} << 1 << 0
        << QByteArray("42") << 3;
    QTest::newRow("a poll answering 0x01 ends it") << Reports{reportOf("0202160000"), reportOf("0202010000")} << 1
                                                   << -1 << QByteArray() << 2;
}

void tst_Stripe::hostileReplies()
{
    QFETCH(Reports, replies);
    QFETCH(int, timeLimit);
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    QFETCH(int, fetches);
    reader().injectReplyReports(replies);
    char out[600] = {};
    QCOMPARE(m_card->luvaro_USB_MagInfo(std::uint8_t(timeLimit), 1, out, 599), code);
    QCOMPARE(QByteArray(out), text);
    QCOMPARE(testsupport::fetchCount(), fetches);
    // Nothing of the reply is left for the next exchange.
    unsigned char format[4] = {};
    QCOMPARE(m_card->luvaro_USB_ReadMagType(format), 0);
}

void tst_Stripe::outputFormats_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QByteArray>("swipe");
    QTest::newRow("track 2 as carried") << 2 << hex("A4000000") << QByteArray(";6222021234567890=2512101?");
    QTest::newRow("tracks 2/3 by the format, no sentinels, line end")
        << 0 << hex("A5040101") << QByteArray("6222021234567890=2512101\r\n");
    QTest::newRow("tracks 1 and 2, data only") << 0 << hex("A4000200")
                                               << QByteArray("B6222021234567890DORVENT/DEMO2512101 62220212345678902512101");
}

void tst_Stripe::outputFormats()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, format);
    QFETCH(QByteArray, swipe);
    std::copy(format.begin(), format.end(), head().format.begin());
    head().queueSwipe(card());
    char text[512] = {};
    QCOMPARE(m_card->luvaro_USB_MagInfo(5, mode, text), 0);
    QCOMPARE(QByteArray::fromHex(text), swipe);
}

void tst_Stripe::continuationFetchFails_data()
{
    QTest::addColumn<Reports>("replies");
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<int>("transfersBeforeUnplug");
    const Report first = report(hex("8202002800") + QByteArray(27, 'A'));
    QTest::newRow("in the first answer") << Reports{first} << 0 << 2;
    QTest::newRow("in a poll's answer") << Reports{reportOf("0202160000"), first} << 1 << 3;
}

// A swipe whose rest cannot be fetched is a read error, never part of a swipe.
void tst_Stripe::continuationFetchFails()
{
    QFETCH(Reports, replies);
    QFETCH(int, timeLimit);
    QFETCH(int, transfersBeforeUnplug);
    reader().injectReplyReports(replies);
    reader().unplugAfterTransfers(transfersBeforeUnplug);
    char text[512] = {};
    QCOMPARE(m_card->luvaro_USB_MagInfo(std::uint8_t(timeLimit), 1, text), -1);
    QCOMPARE(text[0], '\0');
}

void tst_Stripe::swipeTooLongForTheText()
{
    head().queueSwipe(card());
    char text[80] = {};
    QCOMPARE(m_card->luvaro_USB_MagInfo(5, 1, text, sizeof text - 1), -14);
    QCOMPARE(text[0], '\0');
}

void tst_Stripe::formatBlock()
{
    const unsigned char setting[] = {4, 0, 1};
    QCOMPARE(m_card->luvaro_USB_SetMagType(0, setting), 0);
    unsigned char block[8];
    memset(block, 0xEE, sizeof block);
    QCOMPARE(m_card->luvaro_USB_ReadMagType(block), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(block), 8), hex("A5040001EEEEEEEE"));
    // Refused by the reader: the codes of the single-report exchange.
    reader().injectReplyReports({reportOf("0202010000")});
    QCOMPARE(m_card->luvaro_USB_SetMagType(1, setting), -21);
    reader().injectReplyReports({reportOf("0200000000")});
    QCOMPARE(m_card->luvaro_USB_ReadMagType(block), -15);
}

QTEST_MAIN(tst_Stripe)
#include "tst_stripe.moc"
