// The driver's transport against the emulated reader: exact reports on the
// transfer log, the split of long frames, multi-report and hostile replies,
// busy readers and unplugs.

#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"

#include <QtTest>

#include <cstring>
#include <vector>

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::Report;
using dorvent::emulator::Transfer;
using testsupport::bytesOf;
using testsupport::report;
using testsupport::zeroPadded;

Q_DECLARE_METATYPE(Report)
Q_DECLARE_METATYPE(std::vector<Report>)
Q_DECLARE_METATYPE(std::vector<int>)

namespace {

std::vector<int> g_sleeps;     // each pause the driver asked for
std::vector<int> g_sleptAfter; // how many transfers had happened by then

void recordSleep(int ms)
{
    g_sleeps.push_back(ms);
    g_sleptAfter.push_back(static_cast<int>(EmulatedReader::instance().transfers().size()));
}

// A reply of `length` payload bytes split as the reader splits it, each
// payload byte holding its own index, so that any misplaced copy shows.
std::vector<Report> indexedReply(int firstMarker, int length, int reports)
{
    std::vector<Report> out;
    Report first = report({firstMarker, 0x02, 0x00, length & 0xFF, length >> 8});
    for (int i = 5; i < 32; ++i)
        first[i] = static_cast<std::uint8_t>(i - 5);
    out.push_back(first);
    for (int k = 1; k < reports; ++k) {
        Report r{};
        r[0] = k + 1 < reports ? 0x82 : 0x02;
        for (int j = 1; j < 32; ++j)
            r[j] = static_cast<std::uint8_t>(27 + 31 * (k - 1) + j - 1);
        out.push_back(r);
    }
    return out;
}

} // namespace

class tst_Transport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void open_data();
    void open();
    void closeAndReopen();
    void beepAndVersionOnTheWire();
    void versionTextIsBounded();
    void versionFailures_data();
    void versionFailures();
    void frameSplitting_data();
    void frameSplitting();
    void multiReportReplies_data();
    void multiReportReplies();
    void malformedReplies_data();
    void malformedReplies();
    void exchangeDeadline();
    void hexTextRefused_data();
    void hexTextRefused();
    void busyReader_data();
    void busyReader();
    void contactlessReplies_data();
    void contactlessReplies();
    void singleReportExchange_data();
    void singleReportExchange();
    void unplugMidExchange();
    void nothingSentWithoutReader();

private:
    void openCard();
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    luvaroCard *m_card = nullptr;
};

void tst_Transport::initTestCase()
{
    luvaroCard::setSleepFunction(recordSleep);
}

void tst_Transport::init()
{
    reader().reset();
    g_sleeps.clear();
    g_sleptAfter.clear();
    m_card = new luvaroCard;
}

void tst_Transport::cleanup()
{
    delete m_card;
    m_card = nullptr;
}

void tst_Transport::openCard()
{
    char usb[] = "USB";
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    reader().clearLog();
}

void tst_Transport::open_data()
{
    QTest::addColumn<bool>("plugged");
    QTest::addColumn<int>("initError");
    QTest::addColumn<bool>("heldElsewhere");
    QTest::addColumn<int>("expected");
    QTest::newRow("reader present") << true << 0 << false << 0;
    QTest::newRow("no reader") << false << 0 << false << -1;
    QTest::newRow("libusb_init fails") << true << int(LIBUSB_ERROR_NO_MEM) << false << int(LIBUSB_ERROR_NO_MEM);
    QTest::newRow("interface held by another program") << true << 0 << true << int(LIBUSB_ERROR_BUSY);
}

void tst_Transport::open()
{
    QFETCH(bool, plugged);
    QFETCH(int, initError);
    QFETCH(bool, heldElsewhere);
    QFETCH(int, expected);
    if (!plugged)
        reader().unplug();
    reader().setInitError(initError);
    reader().setInterfaceHeldElsewhere(heldElsewhere);
    QVERIFY(reader().kernelDriverAttached() || !plugged);

    char usb[] = "USB";
    QCOMPARE(m_card->luvaro_USB_Open(usb), expected);
    QCOMPARE(m_card->handle() != nullptr, expected == 0);
    QCOMPARE(reader().interfaceClaimed(), expected == 0);
    QCOMPARE(reader().openHandles(), expected == 0 ? 1 : 0);
    if (plugged && initError == 0)
        QVERIFY(!reader().kernelDriverAttached()); // detached before the claim
    QVERIFY(reader().transfers().empty());
}

void tst_Transport::closeAndReopen()
{
    openCard();
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    QCOMPARE(m_card->handle(), nullptr);
    QVERIFY(!reader().interfaceClaimed());
    QCOMPARE(m_card->luvaro_USB_Close(), 0);

    // The kernel driver stays detached: the second open just claims.
    char usb[] = "USB";
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    QCOMPARE(m_card->luvaro_USB_Beep(), 0);
    // Opening again over an open reader gives up the old handle first.
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    QCOMPARE(reader().openHandles(), 1);
    QCOMPARE(m_card->luvaro_USB_Beep(), 0);
}

void tst_Transport::beepAndVersionOnTheWire()
{
    openCard();
    QCOMPARE(m_card->luvaro_USB_Beep(), 0);
    unsigned char version[256];
    std::memset(version, 0xEE, sizeof version);
    QCOMPARE(m_card->luvaro_USB_Version(version, sizeof version), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(version)),
             QByteArray(dorvent::emulator::Firmware::kDefaultVersion));

    const std::vector<Transfer> &log = reader().transfers();
    QCOMPARE(log.size(), std::size_t(5)); // beep: 1 + 1; version: 1 + 2 (a 34-byte text)
    QCOMPARE(bytesOf(log[0].data), zeroPadded(QByteArray::fromHex("0208000200B2328A")));
    QCOMPARE(bytesOf(log[2].data), zeroPadded(QByteArray::fromHex("02080001001011")));
    QCOMPARE(reader().firmware().beeps, std::vector<std::uint8_t>{0x32});
    for (const Transfer &t : log) {
        QCOMPARE(t.index, std::uint16_t(0));
        QCOMPARE(t.length, std::uint16_t(32));
        QCOMPARE(t.timeoutMs, 1000u);
        QCOMPARE(t.result, 32);
        if (t.isSetReport())
            QCOMPARE(t.value, std::uint16_t(0x0000));
        else
            QCOMPARE(t.value, std::uint16_t(0x3000));
    }
    QVERIFY(log[0].isSetReport() && log[1].isGetReport() && log[2].isSetReport());
}

void tst_Transport::versionTextIsBounded()
{
    openCard();
    reader().firmware().versionText = std::string(300, 'v');
    unsigned char version[256 + 8];
    std::memset(version, 0xEE, sizeof version);
    QCOMPARE(m_card->luvaro_USB_Version(version, 256), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(version)), QByteArray(255, 'v'));
    QCOMPARE(version[256], 0xEE);
    // The whole reply was still fetched: the next exchange starts clean.
    QCOMPARE(testsupport::fetchCount(), 10);
    QCOMPARE(m_card->luvaro_USB_Version(version, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(version)), QByteArray(7, 'v'));
}

void tst_Transport::versionFailures_data()
{
    QTest::addColumn<std::vector<Report>>("replies");
    QTest::newRow("refused") << std::vector<Report>{report({0x02, 0x02, 0x01})};
    QTest::newRow("busy is not waited on") << std::vector<Report>{report({0x02, 0x02, 0x16})};
    QTest::newRow("not a reply") << std::vector<Report>{report({0x02, 0x08, 0x00, 0x01, 0x00, 0x41})};
}

void tst_Transport::versionFailures()
{
    QFETCH(std::vector<Report>, replies);
    openCard();
    reader().injectReplyReports(replies);
    unsigned char version[256] = {};
    QCOMPARE(m_card->luvaro_USB_Version(version, sizeof version), luvaro::kNoValidReply);
    QCOMPARE(version[0], 0);
    QCOMPARE(testsupport::fetchCount(), 1);
    QVERIFY(g_sleeps.empty());
}

void tst_Transport::frameSplitting_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("markers");
    QTest::addColumn<QList<int>>("bytesPerReport"); // frame bytes each report carries
    QTest::newRow("7 bytes, one report") << 7 << QByteArray("\x02") << QList<int>{7};
    QTest::newRow("32 bytes, one report") << 32 << QByteArray("\x02") << QList<int>{32};
    QTest::newRow("33 bytes, two reports") << 33 << QByteArray("\x82\x02") << QList<int>{32, 1};
    QTest::newRow("63 bytes, two reports") << 63 << QByteArray("\x82\x02") << QList<int>{32, 31};
    QTest::newRow("64 bytes, three reports") << 64 << QByteArray("\x82\x82\x02") << QList<int>{32, 31, 1};
}

void tst_Transport::frameSplitting()
{
    QFETCH(int, length);
    QFETCH(QByteArray, markers);
    QFETCH(QList<int>, bytesPerReport);
    openCard();

    // Frame byte i holds i + 1 (byte 0 is replaced by the marker anyway).
    std::vector<unsigned char> frame(length);
    for (int i = 0; i < length; ++i)
        frame[i] = static_cast<unsigned char>(i + 1);
    QCOMPARE(luvaroCard::SetUsbMsg(m_card->handle(), frame.data(), length), 0);

    const std::vector<Report> sent = reader().sentReports();
    QCOMPARE(int(sent.size()), markers.size());
    int next = 1;
    for (int k = 0; k < int(sent.size()); ++k) {
        QCOMPARE(sent[k][0], std::uint8_t(markers[k]));
        const int count = k == 0 ? bytesPerReport[k] - 1 : bytesPerReport[k];
        for (int j = 1; j < 32; ++j) {
            const int expected = j <= count ? next + j - 1 + 1 : 0;
            QCOMPARE(int(sent[k][j]), expected);
        }
        next += count;
    }
    QCOMPARE(next, length);
}

void tst_Transport::multiReportReplies_data()
{
    QTest::addColumn<std::vector<Report>>("replies");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("copied");
    QTest::addColumn<int>("fetched");
    QTest::newRow("one report") << indexedReply(0x02, 20, 1) << 1024 << 20 << 1;
    QTest::newRow("0x82 with L 27 still fetches one more") << indexedReply(0x82, 27, 2) << 1024 << 27 << 2;
    QTest::newRow("L 58: 31 more bytes") << indexedReply(0x82, 58, 2) << 1024 << 58 << 2;
    QTest::newRow("L 59: 31 and 1 more") << indexedReply(0x82, 59, 3) << 1024 << 59 << 3;
    QTest::newRow("L 120") << indexedReply(0x82, 120, 4) << 1024 << 120 << 4;
    // Hostile replies: the length field is not trusted.
    QTest::newRow("L beyond the buffer") << indexedReply(0x82, 120, 4) << 40 << 40 << 4;
    QTest::newRow("L 65535 into 16 bytes") << indexedReply(0x82, 65535, 2115) << 16 << 16 << 2115;
    QTest::newRow("0x82 with L below one report") << indexedReply(0x82, 5, 2) << 1024 << 5 << 2;
}

// Replies broken in their structure: a failed exchange, nothing copied.
void tst_Transport::malformedReplies_data()
{
    QTest::addColumn<std::vector<Report>>("replies");
    QTest::addColumn<int>("fetched");
    const auto broken = [](std::vector<Report> r, int at, std::initializer_list<int> head) {
        r[at] = report(head);
        return r;
    };
    QTest::newRow("zeroed report") << std::vector<Report>{Report{}} << 1;
    QTest::newRow("unknown marker") << indexedReply(0x42, 20, 1) << 1;
    QTest::newRow("request tag") << broken(indexedReply(0x02, 4, 1), 0, {0x02, 0x08, 0x00, 0x04, 0x00}) << 1;
    QTest::newRow("L beyond a single report") << indexedReply(0x02, 600, 1) << 1;
    QTest::newRow("continuation zeroed") << broken(indexedReply(0x82, 120, 4), 1, {}) << 2;
    QTest::newRow("last report zeroed") << broken(indexedReply(0x82, 120, 4), 3, {}) << 4;
    QTest::newRow("reply ends early") << broken(indexedReply(0x82, 120, 4), 2, {0x02}) << 3;
}

void tst_Transport::malformedReplies()
{
    QFETCH(std::vector<Report>, replies);
    QFETCH(int, fetched);
    openCard();
    reader().injectReplyReports(replies);
    std::vector<unsigned char> out(256, 0xEE);
    int outLen = -1;
    QCOMPARE(luvaroCard::GetUsbMsg(m_card->handle(), out.data(), &outLen, int(out.size())), luvaro::kTransferFailed);
    QCOMPARE(outLen, 0);
    QCOMPARE(testsupport::fetchCount(), fetched);
    QCOMPARE(std::vector<unsigned char>(out.size(), 0xEE), out);

    // The same through the contactless path.
    reader().clearLog();
    reader().injectReplyReports(replies);
    QCOMPARE(m_card->HDRead_PICCReader(m_card->handle(), out.data(), &outLen, int(out.size())),
             luvaro::kTransferFailed);
    QCOMPARE(outLen, 0);
    QCOMPARE(std::vector<unsigned char>(out.size(), 0xEE), out);
}

void tst_Transport::multiReportReplies()
{
    QFETCH(std::vector<Report>, replies);
    QFETCH(int, capacity);
    QFETCH(int, copied);
    QFETCH(int, fetched);
    openCard();
    reader().injectReplyReports(replies);

    // Exactly `capacity` bytes on the heap: AddressSanitizer sees any overrun.
    std::vector<unsigned char> out(capacity, 0xEE);
    int outLen = -1;
    QCOMPARE(luvaroCard::GetUsbMsg(m_card->handle(), out.data(), &outLen, capacity), 0);
    QCOMPARE(outLen, copied);
    QCOMPARE(testsupport::fetchCount(), fetched);
    for (int i = 0; i < copied; ++i)
        QCOMPARE(int(out[i]), i & 0xFF);
    for (int i = copied; i < capacity; ++i)
        QCOMPARE(int(out[i]), 0xEE);
}

void tst_Transport::busyReader_data()
{
    QTest::addColumn<int>("busy");
    QTest::addColumn<int>("result");
    QTest::addColumn<std::vector<int>>("sleptAfter");
    QTest::newRow("not busy") << 0 << 0 << std::vector<int>{};
    QTest::newRow("busy three times") << 3 << 0 << std::vector<int>{1, 2, 3};
    QTest::newRow("busy to the last wait") << luvaroCard::kMaxBusyWaits << 0
                                           << std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    QTest::newRow("busy past the bound") << luvaroCard::kMaxBusyWaits + 1 << luvaro::kStatusError
                                         << std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
}

void tst_Transport::busyReader()
{
    QFETCH(int, busy);
    QFETCH(int, result);
    QFETCH(std::vector<int>, sleptAfter);
    openCard();
    reader().injectReplyReports(indexedReply(0x02, 4, 1));
    reader().busyForFetches(busy);

    unsigned char out[8] = {};
    int outLen = -1;
    QCOMPARE(luvaroCard::GetUsbMsg(m_card->handle(), out, &outLen, sizeof out), result);
    QCOMPARE(outLen, result == 0 ? 4 : 0);
    // One fetch, then one second's pause before each further fetch.
    QCOMPARE(g_sleptAfter, sleptAfter);
    QCOMPARE(g_sleeps, std::vector<int>(sleptAfter.size(), 1000));
    QCOMPARE(testsupport::fetchCount(), int(sleptAfter.size()) + (result == 0 || busy > luvaroCard::kMaxBusyWaits ? 1 : 0));
}

void tst_Transport::contactlessReplies_data()
{
    QTest::addColumn<std::vector<Report>>("replies");
    QTest::addColumn<int>("busy");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("outLen");
    QTest::addColumn<int>("fetched");
    // Answer bytes are payload indices 2.. (indexedReply puts index i at offset 5 + i).
    QTest::newRow("SW only") << indexedReply(0x02, 4, 1) << 0 << 512 << 0 << 4 << 1;
    QTest::newRow("full single report") << indexedReply(0x02, 26, 1) << 0 << 512 << 0 << 26 << 1;
    QTest::newRow("two reports") << indexedReply(0x82, 40, 2) << 0 << 512 << 0 << 40 << 2;
    QTest::newRow("three reports") << indexedReply(0x82, 70, 3) << 0 << 512 << 0 << 70 << 3;
    QTest::newRow("L 0") << indexedReply(0x02, 0, 1) << 0 << 512 << 0 << 0 << 1;
    QTest::newRow("busy, fetched again at once") << indexedReply(0x02, 4, 1) << 50 << 512 << 0 << 4 << 51;
    QTest::newRow("busy past the bound") << indexedReply(0x02, 4, 1) << luvaroCard::kMaxBusyRefetches + 1
                                         << 512 << luvaro::kStatusError << 0 << luvaroCard::kMaxBusyRefetches + 1;
    QTest::newRow("L beyond a single report") << indexedReply(0x02, 300, 1) << 0 << 512
                                              << luvaro::kTransferFailed << 0 << 1;
    QTest::newRow("L beyond the buffer") << indexedReply(0x82, 70, 3) << 0 << 10 << 0 << 12 << 3;
    QTest::newRow("refused") << std::vector<Report>{report({0x02, 0x02, 0x6A})} << 0 << 512
                             << luvaro::kStatusError << 0 << 1;
}

void tst_Transport::contactlessReplies()
{
    QFETCH(std::vector<Report>, replies);
    QFETCH(int, busy);
    QFETCH(int, capacity);
    QFETCH(int, result);
    QFETCH(int, outLen);
    QFETCH(int, fetched);
    openCard();
    reader().injectReplyReports(replies);
    reader().busyForFetches(busy);

    std::vector<unsigned char> out(capacity, 0xEE);
    int length = -1;
    QCOMPARE(m_card->HDRead_PICCReader(m_card->handle(), out.data(), &length, capacity), result);
    QCOMPARE(length, outLen);
    QCOMPARE(testsupport::fetchCount(), fetched);
    QVERIFY(g_sleeps.empty());
    for (int i = 0; i < outLen - 2; ++i)
        QCOMPARE(int(out[i]), (i + 2) & 0xFF);
}

void tst_Transport::singleReportExchange_data()
{
    QTest::addColumn<Report>("reply");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("payload") << report({0x02, 0x02, 0x00, 0x04, 0x00, 0xA4, 0x01, 0x02, 0x03}) << 4
                             << QByteArray::fromHex("A4010203");
    QTest::newRow("empty payload") << report({0x02, 0x02, 0x00}) << 0 << QByteArray();
    QTest::newRow("length beyond the report") << report({0x02, 0x02, 0x00, 0xFF, 0x00, 0x11})
                                              << luvaro::kTransferFailed << QByteArray();
    QTest::newRow("zeroed report") << Report{} << luvaro::kTransferFailed << QByteArray();
    QTest::newRow("multi-report marker") << report({0x82, 0x02, 0x00}) << luvaro::kTransferFailed << QByteArray();
    QTest::newRow("not a reply") << report({0x02, 0x08, 0x00}) << luvaro::kTransferFailed << QByteArray();
    QTest::newRow("refused") << report({0x02, 0x02, 0x01}) << luvaro::kSingleStatusError << QByteArray();
}

void tst_Transport::singleReportExchange()
{
    QFETCH(Report, reply);
    QFETCH(int, result);
    QFETCH(QByteArray, payload);
    openCard();
    reader().injectReplyReports({reply});

    const unsigned char data[] = {0xA4, 0x01, 0x02, 0x03};
    unsigned char out[27];
    std::memset(out, 0xEE, sizeof out);
    QCOMPARE(m_card->PICC_Reader_SetMsg(0x3F, data, sizeof data, out, sizeof out), result);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(out), payload.size()), payload);
    if (payload.size() < int(sizeof out))
        QCOMPARE(out[payload.size()], 0xEE);
    const std::vector<Report> sent = reader().sentReports();
    QCOMPARE(sent.size(), std::size_t(1));
    // L = 5 (command and four bytes); checksum 08^05^3F^A4^01^02^03.
    QCOMPARE(bytesOf(sent[0]), zeroPadded(QByteArray::fromHex("02080005003FA401020396")));

    // 25 data bytes fill one report exactly; 26 are refused before anything is sent.
    reader().clearLog();
    unsigned char many[26] = {};
    QCOMPARE(m_card->PICC_Reader_SetMsg(0x3F, many, 26, out, sizeof out), luvaro::kBadParameter);
    QVERIFY(reader().transfers().empty());
}

void tst_Transport::exchangeDeadline()
{
    // A card asking for more time 32 times, each after 4,999 busy answers:
    // without a deadline over the whole exchange this took minutes.
    const Report busy = report({0x02, 0x02, 0x16, 0x00, 0x00, 0x14});
    const Report moreTime = report({0x02, 0x02, 0x00, 0x03, 0x00, 0x00, 0xF2, 0x01, 0xF2});
    std::vector<Report> replies;
    for (int i = 0; i < luvaroCard::kMaxWaitingTimeExtensions; ++i) {
        replies.insert(replies.end(), luvaroCard::kMaxBusyRefetches - 1, busy);
        replies.push_back(moreTime);
    }
    replies.push_back(report({0x02, 0x02, 0x00, 0x04, 0x00, 0x00, 0x02, 0x90, 0x00}));

    openCard();
    reader().injectReplyReports(replies);
    unsigned char out[64];
    int outLen = -1;
    QCOMPARE(m_card->HDRead_PICCReader(m_card->handle(), out, &outLen, sizeof out), luvaro::kStatusError);
    QCOMPARE(outLen, 0);
    // Immediate refetches move at most one per millisecond on a full-speed
    // bus and nothing paused: 20 s at most, against 165,000 transfers before.
    const int transfers = int(reader().transfers().size());
    QVERIFY2(transfers <= 20000 + 2 * luvaroCard::kMaxWaitingTimeExtensions + 1, qPrintable(QString::number(transfers)));
    QVERIFY(g_sleeps.empty());

    // The reader is left ready: given only the reports up to where the
    // driver gave up, the next request is answered as usual.
    const int fetched = testsupport::fetchCount();
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    reader().reset();
    openCard();
    reader().injectReplyReports(std::vector<Report>(replies.begin(), replies.begin() + fetched));
    QCOMPARE(m_card->HDRead_PICCReader(m_card->handle(), out, &outLen, sizeof out), luvaro::kStatusError);
    QCOMPARE(testsupport::fetchCount(), fetched);
    QCOMPARE(m_card->luvaro_USB_Beep(), 0);
    unsigned char version[64] = {};
    QCOMPARE(m_card->luvaro_USB_Version(version, sizeof version), 0);
}

void tst_Transport::hexTextRefused_data()
{
    using testsupport::DriverCall;
    QTest::addColumn<DriverCall>("call");
    const char *zz = "ZZZZZZZZZZ";
    QTest::newRow("contact APDU") << DriverCall([=](luvaroCard &c) { char o[64] = {}; return c.luvaro_USB_APDU(1, zz, o, sizeof o); });
    QTest::newRow("contact APDU with spaces") << DriverCall([](luvaroCard &c) { char o[64] = {}; return c.luvaro_USB_APDU(1, "00 A4 04 00", o, sizeof o); });
    QTest::newRow("contactless APDU") << DriverCall([=](luvaroCard &c) { char o[64] = {}; return c.luvaro_USB_APDUType(zz, o, sizeof o); });
    QTest::newRow("M1 key") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(0x60, 4, zz); });
    QTest::newRow("M1 key, bad digit past the sixth byte") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(0x60, 4, "FFFFFFFFFFFFZZ"); });
    QTest::newRow("M1 block") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_M1Write(4, zz); });
    QTest::newRow("ISO 15693 block") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_15693_Write(1, zz); });
    QTest::newRow("4442 data") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_442_Write(32, 5, zz); });
    QTest::newRow("4442 code") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_Verify(zz); });
    QTest::newRow("4442 new code") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_Change(zz); });
    QTest::newRow("4442 protection") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4442_WriteProtect(0, 5, zz); });
    QTest::newRow("4428 data") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Write(32, 5, zz); });
    QTest::newRow("4428 code") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Verify(zz); });
    QTest::newRow("4428 new code") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_Change(zz); });
    QTest::newRow("4428 protection") << DriverCall([=](luvaroCard &c) { return c.luvaro_USB_4428_WriteProtect(0, 5, zz); });
}

void tst_Transport::hexTextRefused()
{
    QFETCH(testsupport::DriverCall, call);
    openCard();
    QCOMPARE(call(*m_card), luvaro::kBadParameter);
    QVERIFY(reader().transfers().empty());
}

void tst_Transport::unplugMidExchange()
{
    openCard();
    std::vector<unsigned char> frame(40, 0x5A);

    // Between the reports of one request.
    reader().unplugAfterTransfers(1);
    QCOMPARE(luvaroCard::SetUsbMsg(m_card->handle(), frame.data(), int(frame.size())), luvaro::kTransferFailed);
    QCOMPARE(reader().transfers().size(), std::size_t(2));
    QCOMPARE(reader().transfers()[1].result, int(LIBUSB_ERROR_NO_DEVICE));

    // Between the reports of one reply: no success, nothing stale copied.
    reader().plug();
    char usb[] = "USB";
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    reader().injectReplyReports(indexedReply(0x82, 58, 2));
    reader().unplugAfterTransfers(1);
    unsigned char out[64];
    std::memset(out, 0xEE, sizeof out);
    int outLen = -1;
    QCOMPARE(luvaroCard::GetUsbMsg(m_card->handle(), out, &outLen, sizeof out), luvaro::kTransferFailed);
    QCOMPARE(outLen, 0);

    // Between request and reply.
    reader().plug();
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    reader().unplugAfterTransfers(1);
    unsigned char version[256] = {};
    QCOMPARE(m_card->luvaro_USB_Version(version, sizeof version), luvaro::kNoValidReply);
    QCOMPARE(version[0], 0);
    QCOMPARE(m_card->luvaro_USB_Beep(), luvaro::kTransferFailed);

    // Plugged in again, the old handle stays dead until the reader is reopened.
    reader().plug();
    QCOMPARE(m_card->luvaro_USB_Beep(), luvaro::kTransferFailed);
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    QCOMPARE(m_card->luvaro_USB_Open(usb), 0);
    QCOMPARE(m_card->luvaro_USB_Beep(), 0);
    QCOMPARE(m_card->luvaro_USB_Version(version, sizeof version), 0);
}

void tst_Transport::nothingSentWithoutReader()
{
    unsigned char buffer[256] = {};
    int outLen = 0;
    QCOMPARE(m_card->luvaro_USB_Beep(), luvaro::kNotOpen);
    QCOMPARE(m_card->luvaro_USB_Version(buffer, sizeof buffer), luvaro::kNotOpen);
    QCOMPARE(m_card->PICC_Reader_SetMsg(0x3E, nullptr, 0, buffer, sizeof buffer), luvaro::kNotOpen);
    QCOMPARE(luvaroCard::SetUsbMsg(nullptr, buffer, 8), luvaro::kNotOpen);
    QCOMPARE(luvaroCard::GetUsbMsg(nullptr, buffer, &outLen, sizeof buffer), luvaro::kNotOpen);
    QCOMPARE(m_card->HDRead_PICCReader(nullptr, buffer, &outLen, sizeof buffer), luvaro::kNotOpen);
    QCOMPARE(luvaroCard::HidD_GetFeature(nullptr, buffer, 33), luvaro::kNotOpen);

    // Closed after an open: the same.
    openCard();
    QCOMPARE(m_card->luvaro_USB_Close(), 0);
    QCOMPARE(m_card->luvaro_USB_Beep(), luvaro::kNotOpen);
    QVERIFY(reader().transfers().empty());
}

QTEST_APPLESS_MAIN(tst_Transport)
#include "tst_transport.moc"
