// The emulated reader seen from the USB bus, without the driver: the requests
// it accepts, how it takes frames apart and splits its replies, and the test
// controls.

#include "emulatedreader.h"
#include "families.h"
#include "m1.h"
#include "reports.h"

#include <libusb.h>

#include <QtTest>

#include <cstring>

using namespace dorvent::emulator;
using testsupport::bytesOf;
using testsupport::reportOf;
using testsupport::spacedHex;
using testsupport::splitFrame;

Q_DECLARE_METATYPE(Report)
Q_DECLARE_METATYPE(Firmware::ReplyLayout)

namespace {

// A unit and a command of a pretend card family, registered the way families are.
struct CounterUnit : Unit
{
    int calls = 0;
    void reset() override { calls = 0; }
};

Reply echoParams(Firmware &firmware, const Request &request)
{
    ++firmware.unit<CounterUnit>().calls;
    return Reply::ok(request.params);
}

} // namespace

class tst_EmulatedReader : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void usbRequests_data();
    void usbRequests();
    void claimNeedsTheKernelDriverDetached();
    void unplugKillsHandles();
    void frames_data();
    void frames();
    void multiReportRequest();
    void replyLayouts_data();
    void replyLayouts();
    void replySplitting_data();
    void replySplitting();
    void staleRepliesAndIdleFetches();
    void busyAndInjectedReports();
    void unplugAfterTransfers();
    void logLimit_data();
    void logLimit();
    void commandTable();
    void resetIsClean();

private:
    int set(const Report &r);
    Report get(int *result = nullptr);
    Report exchange(const QByteArray &frame);
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr;
};

void tst_EmulatedReader::init()
{
    reader().reset();
    QCOMPARE(libusb_init(&m_context), 0);
    m_handle = libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F);
    QVERIFY(m_handle);
    QCOMPARE(libusb_kernel_driver_active(m_handle, 0), 1);
    QCOMPARE(libusb_detach_kernel_driver(m_handle, 0), 0);
    QCOMPARE(libusb_claim_interface(m_handle, 0), 0);
}

void tst_EmulatedReader::cleanup()
{
    libusb_close(m_handle);
    libusb_exit(m_context);
    m_handle = nullptr;
    m_context = nullptr;
}

int tst_EmulatedReader::set(const Report &r)
{
    Report copy = r;
    return libusb_control_transfer(m_handle, 0x21, 0x09, 0x0000, 0, copy.data(), 32, 1000);
}

Report tst_EmulatedReader::get(int *result)
{
    Report r{};
    r.fill(0xEE);
    const int moved = libusb_control_transfer(m_handle, 0xA1, 0x01, 0x3000, 0, r.data(), 32, 1000);
    if (result)
        *result = moved;
    return r;
}

Report tst_EmulatedReader::exchange(const QByteArray &frame)
{
    for (const Report &r : splitFrame(frame))
        set(r);
    return get();
}

void tst_EmulatedReader::usbRequests_data()
{
    QTest::addColumn<int>("requestType");
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("result");
    QTest::newRow("SET_REPORT") << 0x21 << 0x09 << 0x0000 << 0 << 32 << 32;
    QTest::newRow("GET_REPORT") << 0xA1 << 0x01 << 0x3000 << 0 << 32 << 32;
    QTest::newRow("HID feature report word") << 0xA1 << 0x01 << 0x0300 << 0 << 32 << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("SET_REPORT with GET's word") << 0x21 << 0x09 << 0x3000 << 0 << 32 << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("GET_REPORT request, SET direction") << 0x21 << 0x01 << 0x3000 << 0 << 32 << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("interface 1") << 0x21 << 0x09 << 0x0000 << 1 << 32 << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("33 bytes") << 0x21 << 0x09 << 0x0000 << 0 << 33 << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("standard GET_DESCRIPTOR") << 0x80 << 0x06 << 0x0100 << 0 << 18 << int(LIBUSB_ERROR_PIPE);
}

void tst_EmulatedReader::usbRequests()
{
    QFETCH(int, requestType);
    QFETCH(int, request);
    QFETCH(int, value);
    QFETCH(int, index);
    QFETCH(int, length);
    QFETCH(int, result);
    unsigned char data[64] = {0x02, 0x08, 0x00, 0x02, 0x00, 0xB2, 0x32, 0x8A};
    QCOMPARE(libusb_control_transfer(m_handle, requestType, request, value, index, data, length, 500), result);

    // The log has the setup fields and the data of every transfer, refused ones too.
    QCOMPARE(reader().transfers().size(), std::size_t(1));
    const Transfer &t = reader().transfers()[0];
    QCOMPARE(int(t.requestType), requestType);
    QCOMPARE(int(t.request), request);
    QCOMPARE(int(t.value), value);
    QCOMPARE(int(t.index), index);
    QCOMPARE(int(t.length), length);
    QCOMPARE(t.timeoutMs, 500u);
    QCOMPARE(t.result, result);
    if (result < 0)
        QCOMPARE(t.data, Report{});
    QCOMPARE(reader().firmware().beeps.size(), std::size_t(result > 0 && requestType == 0x21 ? 1 : 0));
}

void tst_EmulatedReader::claimNeedsTheKernelDriverDetached()
{
    reader().reset();
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F);
    QVERIFY(handle);
    QCOMPARE(libusb_claim_interface(handle, 0), int(LIBUSB_ERROR_BUSY));
    // Not claimed: transfers stall.
    Report r = reportOf("0208000200B2328A");
    QCOMPARE(libusb_control_transfer(handle, 0x21, 0x09, 0, 0, r.data(), 32, 1000), int(LIBUSB_ERROR_PIPE));
    QCOMPARE(libusb_detach_kernel_driver(handle, 0), 0);
    QCOMPARE(libusb_kernel_driver_active(handle, 0), 0);
    QCOMPARE(libusb_claim_interface(handle, 0), 0);
    // A second handle cannot take the interface until the first is closed.
    libusb_device_handle *other = libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F);
    QCOMPARE(libusb_claim_interface(other, 0), int(LIBUSB_ERROR_BUSY));
    libusb_close(handle);
    QCOMPARE(libusb_claim_interface(other, 0), 0);
    libusb_close(other);
    QVERIFY(!libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE040));
}

void tst_EmulatedReader::unplugKillsHandles()
{
    libusb_device **list = nullptr;
    QCOMPARE(libusb_get_device_list(m_context, &list), ssize_t(1));
    libusb_free_device_list(list, 1);

    reader().unplug();
    QCOMPARE(set(reportOf("0208000200B2328A")), int(LIBUSB_ERROR_NO_DEVICE));
    QCOMPARE(libusb_claim_interface(m_handle, 0), int(LIBUSB_ERROR_NO_DEVICE));
    QCOMPARE(libusb_kernel_driver_active(m_handle, 0), int(LIBUSB_ERROR_NO_DEVICE));
    QVERIFY(!libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F));
    QCOMPARE(libusb_get_device_list(m_context, &list), ssize_t(0));
    QVERIFY(!list[0]);
    libusb_free_device_list(list, 1);

    // A new plug-in is a new device: the old handle stays dead.
    reader().plug();
    int result = 0;
    get(&result);
    QCOMPARE(result, int(LIBUSB_ERROR_NO_DEVICE));
    libusb_device_handle *fresh = libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F);
    QVERIFY(fresh);
    QCOMPARE(libusb_kernel_driver_active(fresh, 0), 1);
    libusb_close(fresh);
}

void tst_EmulatedReader::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply"); // the reply report's first bytes
    QTest::newRow("beep") << QByteArray("0208000200B2328A") << QByteArray("02 02 00 00 00 02 00");
    QTest::newRow("beep, wrong checksum") << QByteArray("0208000200B2328B") << QByteArray("02 02 03 00 00 01 00");
    QTest::newRow("beep without its parameter") << QByteArray("0208000100B2BB") << QByteArray("02 02 01 00 00 03 00");
    QTest::newRow("version, its own checksum") << QByteArray("02080001001011") << QByteArray("82 02 00 22 00 4C 56");
    QTest::newRow("version, the common checksum") << QByteArray("02080001001019") << QByteArray("02 02 03 00 00 01 00");
    QTest::newRow("unknown command") << QByteArray("0208000100F0F9") << QByteArray("02 02 04 00 00 06 00");
    QTest::newRow("unknown command, wrong checksum") << QByteArray("0208000100F0F0") << QByteArray("02 02 03 00 00 01 00");
    QTest::newRow("not a request") << QByteArray("0202000200B23282") << QByteArray("02 02 03 00 00 01 00");
    QTest::newRow("L past the frame") << QByteArray("0208004000B2") << QByteArray("02 02 03 00 00 01 00");
    QTest::newRow("L zero") << QByteArray("0208000000B2") << QByteArray("02 02 03 00 00 01 00");
}

void tst_EmulatedReader::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    const Report answer = exchange(QByteArray::fromHex(frame));
    QCOMPARE(spacedHex(bytesOf(answer, (reply.size() + 1) / 3)), reply);
    QCOMPARE(reader().firmware().requestFrames().size(), std::size_t(1));
}

void tst_EmulatedReader::multiReportRequest()
{
    // A beep padded to 33 bytes goes as two reports; what follows the
    // checksum is not significant.
    const QByteArray frame = QByteArray::fromHex("0208000200B2328A") + QByteArray(25, '\0');
    const std::vector<Report> reports = splitFrame(frame);
    QCOMPARE(reports.size(), std::size_t(2));
    QCOMPARE(set(reports[0]), 32);
    QCOMPARE(reader().firmware().requestFrames().size(), std::size_t(0)); // waits for the last report
    QCOMPARE(set(reports[1]), 32);
    QCOMPARE(spacedHex(bytesOf(get(), 6)), QByteArray("02 02 00 00 00 02"));
    QCOMPARE(reader().firmware().requestFrames()[0].size(), std::size_t(63));

    // A request larger than the reader's buffer is refused whole.
    QByteArray huge = QByteArray::fromHex("0208000200B2328A");
    huge.append(QByteArray(int(Firmware::kMaxRequestFrame) + 100, '\0'));
    QCOMPARE(spacedHex(bytesOf(exchange(huge), 3)), QByteArray("02 02 03"));
    QCOMPARE(reader().firmware().beeps.size(), std::size_t(1));

    // A report with neither marker ends the request being received.
    set(splitFrame(QByteArray::fromHex("0208000200B2328A") + QByteArray(40, '\0'))[0]);
    QCOMPARE(set(reportOf("4208000200B2328A")), 32);
    QCOMPARE(spacedHex(bytesOf(get(), 3)), QByteArray("02 02 03"));
    QCOMPARE(spacedHex(bytesOf(exchange(QByteArray::fromHex("0208000200B2328A")), 3)), QByteArray("02 02 00"));
}

void tst_EmulatedReader::replyLayouts_data()
{
    QTest::addColumn<Firmware::ReplyLayout>("layout");
    QTest::addColumn<QList<QByteArray>>("replies"); // each step's reply, first bytes
    // Field on, Type A request, anticollision, select, M1 authentication.
    QTest::newRow("length") << Firmware::ReplyLayout::Length
                            << QList<QByteArray>{"02 02 00 00 00 02", "02 02 00 02 00 04 00 04", "02 02 00 04 5A 3C 9E 21 DF",
                                                 "02 02 00 01 00 08 0B", "02 02 00 00 00 02"};
    QTest::newRow("counted") << Firmware::ReplyLayout::Counted
                             << QList<QByteArray>{"02 02 00 00 02 00", "02 02 00 02 04 00 04 00", "02 02 00 04 5A 3C 9E 21 DF",
                                                  "02 02 00 01 08 0B 00", "02 02 00 01 08 0B 00"};
}

void tst_EmulatedReader::replyLayouts()
{
    QFETCH(Firmware::ReplyLayout, layout);
    QFETCH(QList<QByteArray>, replies);
    reader().deck().radioField().insert(demoM1Card());
    reader().firmware().replyLayout = layout;
    const char *const steps[] = {"0208000200 4E01 45", "0208000100 41 48", "0208000100 42 4B", "0208000100 43 4A",
                                 "0208000900 44 6001 FFFFFFFFFFFF 24"};
    for (int i = 0; i < replies.size(); ++i) {
        const Report answer = exchange(QByteArray::fromHex(steps[i]));
        QCOMPARE(spacedHex(bytesOf(answer, (replies[i].size() + 1) / 3)), replies[i]);
    }
    // A refusal has one layout: no card answers a request with the field off.
    exchange(QByteArray::fromHex("0208000200 4E00 44"));
    QCOMPARE(spacedHex(bytesOf(exchange(QByteArray::fromHex("0208000100 41 48")), 6)), QByteArray("02 02 01 00 00 03"));
}

void tst_EmulatedReader::replySplitting_data()
{
    QTest::addColumn<int>("textLength");
    QTest::addColumn<QByteArray>("markers");
    QTest::newRow("26: a 32-byte frame, one report") << 26 << QByteArray("\x02");
    QTest::newRow("27: checksum alone in the second") << 27 << QByteArray("\x82\x02");
    QTest::newRow("57: two full reports") << 57 << QByteArray("\x82\x02");
    QTest::newRow("58: a 64-byte frame, three") << 58 << QByteArray("\x82\x82\x02");
    QTest::newRow("0") << 0 << QByteArray("\x02");
}

void tst_EmulatedReader::replySplitting()
{
    QFETCH(int, textLength);
    QFETCH(QByteArray, markers);
    std::string text;
    for (int i = 0; i < textLength; ++i)
        text += char('a' + i % 26);
    reader().firmware().versionText = text;

    std::vector<Report> reports{exchange(QByteArray::fromHex("02080001001011"))};
    while (reports.back()[0] == 0x82)
        reports.push_back(get());
    QCOMPARE(int(reports.size()), markers.size());

    // Joined again, the reports are 02 02 00 L text checksum and zero padding.
    QByteArray joined(reinterpret_cast<const char *>(reports[0].data()), kReportSize);
    for (std::size_t k = 1; k < reports.size(); ++k) {
        QCOMPARE(reports[k][0], std::uint8_t(markers[int(k)]));
        joined.append(reinterpret_cast<const char *>(reports[k].data()) + 1, kReportSize - 1);
    }
    QByteArray expected = QByteArray::fromHex("020200") + char(textLength) + '\0' + QByteArray::fromStdString(text);
    char sum = 0;
    for (int i = 1; i < expected.size(); ++i)
        sum ^= expected[i];
    expected.append(sum);
    QCOMPARE(joined.left(expected.size()).mid(1), expected.mid(1));
    QCOMPARE(joined.mid(expected.size()), QByteArray(joined.size() - expected.size(), '\0'));
    QCOMPARE(reader().firmware().queuedReports(), std::size_t(0));
}

void tst_EmulatedReader::staleRepliesAndIdleFetches()
{
    // Nothing queued: 32 zero bytes.
    QCOMPARE(get(), Report{});
    // A new request drops what is left of the last reply.
    exchange(QByteArray::fromHex("02080001001011")); // its first report of two
    QCOMPARE(reader().firmware().queuedReports(), std::size_t(1));
    QCOMPARE(spacedHex(bytesOf(exchange(QByteArray::fromHex("0208000200B2328A")), 6)), QByteArray("02 02 00 00 00 02"));
    QCOMPARE(get(), Report{});

    // A family may answer fetches itself while it waits for something.
    reader().firmware().setIdleAnswer([](Firmware &) { return Reply::failed(status::kBusy); });
    QCOMPARE(spacedHex(bytesOf(get(), 6)), QByteArray("02 02 16 00 00 14"));
}

void tst_EmulatedReader::busyAndInjectedReports()
{
    set(splitFrame(QByteArray::fromHex("0208000200B2328A"))[0]);
    reader().busyForFetches(2);
    const Report hostile = reportOf("82 02 00 FF FF 01 02 03");
    reader().injectReplyReports({hostile, reportOf("02 AA")});
    QCOMPARE(spacedHex(bytesOf(get(), 6)), QByteArray("02 02 16 00 00 14"));
    QCOMPARE(spacedHex(bytesOf(get(), 6)), QByteArray("02 02 16 00 00 14"));
    QCOMPARE(get(), hostile);
    // Injected reports outlive a new request; the firmware's reply waits behind them.
    set(splitFrame(QByteArray::fromHex("0208000200B2328A"))[0]);
    QCOMPARE(get(), reportOf("02 AA"));
    QCOMPARE(spacedHex(bytesOf(get(), 6)), QByteArray("02 02 00 00 00 02"));
    QCOMPARE(reader().firmware().beeps.size(), std::size_t(2));
}

void tst_EmulatedReader::unplugAfterTransfers()
{
    reader().unplugAfterTransfers(2);
    QCOMPARE(set(reportOf("0208000200B2328A")), 32);
    QVERIFY(reader().isPlugged());
    int result = 0;
    get(&result);
    QCOMPARE(result, 32);
    QVERIFY(!reader().isPlugged());
    get(&result);
    QCOMPARE(result, int(LIBUSB_ERROR_NO_DEVICE));
}

void tst_EmulatedReader::logLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("minKept");
    QTest::addColumn<int>("maxKept");
    QTest::newRow("tests keep everything") << 0 << 100 << 100;
    QTest::newRow("the service keeps the recent ones") << 8 << 8 << 16;
}

// 50 beeps, each a request and a fetch.
void tst_EmulatedReader::logLimit()
{
    QFETCH(int, limit);
    QFETCH(int, minKept);
    QFETCH(int, maxKept);
    reader().setLogLimit(std::size_t(limit));
    reader().clearLog();
    for (int i = 0; i < 50; ++i)
        exchange(QByteArray::fromHex("0208000200B2328A"));
    const auto &log = reader().transfers();
    reader().setLogLimit(0);
    QVERIFY2(int(log.size()) >= minKept && int(log.size()) <= maxKept, qPrintable(QString::number(log.size())));
    const int frames = int(reader().firmware().requestFrames().size());
    QVERIFY2(frames >= minKept / 2 && frames <= maxKept, qPrintable(QString::number(frames)));
    QVERIFY(log.back().isGetReport()); // the latest is kept
}

void tst_EmulatedReader::commandTable()
{
    // A family's row: 0x5A with a fixed L field and parameter count.
    static const CommandEntry entry{0x5A, "echo", echoParams, {/*lField*/ 1, /*params*/ 3, nullptr, 1}};
    CommandTable table;
    installFamilies(table);
    QVERIFY(table.find(0xB2) && table.find(0x10));
    QVERIFY(!table.find(0x5A));
    table.add(entry);
    QCOMPARE(table.find(0x5A), &entry);

    Firmware &firmware = reader().firmware();
    QCOMPARE(firmware.unit<CounterUnit>().calls, 0);
    ++firmware.unit<CounterUnit>().calls;
    QCOMPARE(firmware.unit<CounterUnit>().calls, 1);
    firmware.powerLost();
    QCOMPARE(firmware.unit<CounterUnit>().calls, 0);
}

void tst_EmulatedReader::resetIsClean()
{
    struct Marker : Card
    {
        int *resets;
        explicit Marker(int *r) : resets(r) {}
        void reset() override { ++*resets; }
    };
    int resets = 0;
    reader().deck().contactSlot(Deck::kUserSlot)->insert(std::make_unique<Marker>(&resets));
    reader().deck().radioField().on = false;
    QCOMPARE(resets, 1);
    QVERIFY(reader().deck().contactSlot(Deck::kUserSlot)->cardAs<Marker>());
    QVERIFY(!reader().deck().contactSlot(0x11)); // a caller's number, not a slot byte
    reader().firmware().versionText = "x";
    reader().firmware().replyLayout = Firmware::ReplyLayout::Counted;
    reader().busyForFetches(3);
    reader().injectReplyReports({Report{}});
    exchange(QByteArray::fromHex("0208000200B2328A"));

    reader().reset();
    QVERIFY(resets >= 2);
    QVERIFY(reader().deck().contactSlot(Deck::kUserSlot)->empty());
    QVERIFY(reader().deck().radioField().on);
    QVERIFY(reader().transfers().empty());
    QVERIFY(reader().firmware().requestFrames().empty());
    QVERIFY(reader().firmware().beeps.empty());
    QCOMPARE(reader().firmware().versionText, std::string(Firmware::kDefaultVersion));
    QVERIFY(reader().firmware().replyLayout == Firmware::ReplyLayout::Length);
    QVERIFY(reader().isPlugged() && reader().kernelDriverAttached() && !reader().interfaceClaimed());

    // No fault left behind: a fresh handle gets the real reply at once.
    libusb_close(m_handle);
    m_handle = libusb_open_device_with_vid_pid(m_context, 0x06CE, 0xE03F);
    libusb_detach_kernel_driver(m_handle, 0);
    QCOMPARE(libusb_claim_interface(m_handle, 0), 0);
    QCOMPARE(spacedHex(bytesOf(exchange(QByteArray::fromHex("0208000200B2328A")), 3)), QByteArray("02 02 00"));
}

QTEST_APPLESS_MAIN(tst_EmulatedReader)
#include "tst_emulatedreader.moc"
