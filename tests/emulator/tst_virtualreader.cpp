// The virtual reader: its descriptors hold together, its requests reach the
// emulated firmware under the firmware's rules, and a usb-redir peer (a
// guest-side parser here, as QEMU is one) sees the device come and go.

#include "emulatedreader.h"
#include "readerdevice.h"
#include "usbdescriptors.h"
#include "virtualreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <usbredirparser.h>

#include <map>

using namespace dorvent;
using vusb::Bytes;
using vusb::Setup;

namespace {

constexpr std::uint8_t kSetReport[] = {0x21, 0x09};
constexpr std::uint8_t kGetReport[] = {0xA1, 0x01};

// The beep request as the driver frames it, in one 32-byte report.
Bytes beepReport()
{
    Bytes report(32, 0);
    const std::uint8_t frame[] = {0x02, 0x08, 0x00, 0x02, 0x00, 0xB2, 0x32, 0x8A};
    std::copy(std::begin(frame), std::end(frame), report.begin());
    return report;
}

Setup setReport() { return Setup{kSetReport[0], kSetReport[1], 0x0000, 0, 32}; }
Setup getReport() { return Setup{kGetReport[0], kGetReport[1], 0x3000, 0, 32}; }

// The guest side of usb-redir, as QEMU runs it, over a local socket.
class Guest
{
public:
    explicit Guest(const QString &path) : m_parser(usbredirparser_create())
    {
        m_socket.connectToServer(path);
        m_parser->priv = this;
        m_parser->log_func = [](void *, int, const char *) {};
        m_parser->read_func = [](void *priv, std::uint8_t *data, int count) {
            return int(self(priv)->m_socket.read(reinterpret_cast<char *>(data), count));
        };
        m_parser->write_func = [](void *priv, std::uint8_t *data, int count) {
            return int(self(priv)->m_socket.write(reinterpret_cast<const char *>(data), count));
        };
        m_parser->hello_func = [](void *priv, usb_redir_hello_header *) { self(priv)->helloSeen = true; };
        m_parser->device_connect_func = [](void *priv, usb_redir_device_connect_header *header) {
            self(priv)->connected = *header;
            self(priv)->isConnected = true;
        };
        m_parser->device_disconnect_func = [](void *priv) { self(priv)->isConnected = false; };
        m_parser->interface_info_func = [](void *priv, usb_redir_interface_info_header *header) {
            self(priv)->interfaces = *header;
        };
        m_parser->ep_info_func = [](void *priv, usb_redir_ep_info_header *header) { self(priv)->endpoints = *header; };
        m_parser->configuration_status_func = [](void *priv, std::uint64_t, usb_redir_configuration_status_header *h) {
            self(priv)->configurationStatus = *h;
        };
        m_parser->control_packet_func = [](void *priv, std::uint64_t id, usb_redir_control_packet_header *header,
                                           std::uint8_t *data, int length) {
            Guest *guest = self(priv);
            guest->replies[id] = {*header, Bytes(data, data + length)};
            if (data)
                usbredirparser_free_packet_data(guest->m_parser, data);
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        usbredirparser_init(m_parser, "test guest", caps, USB_REDIR_CAPS_SIZE, 0);
        QObject::connect(&m_socket, &QLocalSocket::readyRead, [this] { usbredirparser_do_read(m_parser); });
        flush();
    }
    ~Guest() { usbredirparser_destroy(m_parser); }

    // Sends a control transfer; its reply arrives in replies[id].
    void control(std::uint64_t id, const Setup &s, Bytes out = {})
    {
        usb_redir_control_packet_header header{};
        header.endpoint = s.in() ? 0x80 : 0x00;
        header.request = s.request;
        header.requesttype = s.requestType;
        header.value = s.value;
        header.index = s.index;
        header.length = s.length;
        usbredirparser_send_control_packet(m_parser, id, &header, out.empty() ? nullptr : out.data(), int(out.size()));
        flush();
    }
    void setConfiguration(std::uint64_t id, std::uint8_t value)
    {
        usb_redir_set_configuration_header header{value};
        usbredirparser_send_set_configuration(m_parser, id, &header);
        flush();
    }

    bool helloSeen = false;
    bool isConnected = false;
    usb_redir_device_connect_header connected{};
    usb_redir_interface_info_header interfaces{};
    usb_redir_ep_info_header endpoints{};
    usb_redir_configuration_status_header configurationStatus{0xFF, 0xFF};
    std::map<std::uint64_t, std::pair<usb_redir_control_packet_header, Bytes>> replies;

private:
    static Guest *self(void *priv) { return static_cast<Guest *>(priv); }
    void flush()
    {
        while (usbredirparser_has_data_to_write(m_parser))
            usbredirparser_do_write(m_parser);
        m_socket.flush();
    }

    QLocalSocket m_socket;
    usbredirparser *m_parser;
};

} // namespace

class tst_VirtualReader : public QObject
{
    Q_OBJECT

private slots:
    void init() { emulator::EmulatedReader::instance().reset(); }

    void descriptorsHoldTogether()
    {
        namespace d = vusb::descriptors;
        const Bytes &device = d::device();
        QCOMPARE(device.size(), std::size_t(18));
        QCOMPARE(device[8] | device[9] << 8, int(d::kVendorId));
        QCOMPARE(device[10] | device[11] << 8, int(d::kProductId));

        // Every descriptor in the configuration block is whole, and the
        // block is as long as it says.
        const Bytes &config = d::configuration();
        QCOMPARE(std::size_t(config[2] | config[3] << 8), config.size());
        std::vector<std::uint8_t> types;
        for (std::size_t at = 0; at < config.size(); at += config[at]) {
            QVERIFY(config[at] >= 2 && at + config[at] <= config.size());
            types.push_back(config[at + 1]);
        }
        QCOMPARE(types, (std::vector<std::uint8_t>{0x02, 0x04, 0x21, 0x05}));
        const Bytes hid(config.begin() + 18, config.begin() + 27);
        QCOMPARE(hid, d::hid());
        QCOMPARE(std::size_t(hid[7] | hid[8] << 8), d::report().size());

        // The report: 32 one-byte fields, as one feature report.
        const Bytes &report = d::report();
        auto has = [&report](Bytes item) {
            return std::search(report.begin(), report.end(), item.begin(), item.end()) != report.end();
        };
        QVERIFY(has({0x75, 0x08}) && has({0x95, 0x20}) && has({0xB1, 0x02}));
        QVERIFY(!has({0x81, 0x02})); // no input report
    }

    void standardRequests_data()
    {
        QTest::addColumn<int>("requestType");
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("stalls");
        QTest::addColumn<QByteArray>("answer"); // its start, hex

        QTest::newRow("device descriptor, first 8 bytes") << 0x80 << 6 << 0x0100 << 0 << 8 << false << QByteArray("1201100100000040");
        QTest::newRow("configuration header") << 0x80 << 6 << 0x0200 << 0 << 9 << false << QByteArray("0902220001010080");
        QTest::newRow("language list") << 0x80 << 6 << 0x0300 << 0 << 255 << false << QByteArray("04030904");
        QTest::newRow("maker string") << 0x80 << 6 << 0x0301 << 0x0409 << 255 << false << QByteArray("0E034C007500760061007200");
        QTest::newRow("no such string") << 0x80 << 6 << 0x0309 << 0x0409 << 255 << true << QByteArray();
        QTest::newRow("report descriptor") << 0x81 << 6 << 0x2200 << 0 << 255 << false << QByteArray("0600FF0901A101");
        QTest::newRow("device qualifier (full speed only)") << 0x80 << 6 << 0x0600 << 0 << 10 << true << QByteArray();
        QTest::newRow("status") << 0x80 << 0 << 0 << 0 << 2 << false << QByteArray("0000");
        QTest::newRow("configuration 2") << 0x00 << 9 << 2 << 0 << 0 << true << QByteArray();
        QTest::newRow("vendor request") << 0xC0 << 1 << 0 << 0 << 4 << true << QByteArray();
    }

    void standardRequests()
    {
        QFETCH(int, requestType);
        QFETCH(int, request);
        QFETCH(int, value);
        QFETCH(int, index);
        QFETCH(int, length);
        QFETCH(bool, stalls);
        QFETCH(QByteArray, answer);
        vusb::ReaderDevice device;
        QVERIFY(device.attach());
        const vusb::ControlResult result = device.control(
            Setup{std::uint8_t(requestType), std::uint8_t(request), std::uint16_t(value), std::uint16_t(index),
                  std::uint16_t(length)});
        QCOMPARE(result.stalled, stalls);
        QVERIFY(result.data.size() <= std::size_t(length));
        const QByteArray got = QByteArray(reinterpret_cast<const char *>(result.data.data()), int(result.data.size()));
        QVERIFY2(got.toHex().toUpper().startsWith(answer), got.toHex().constData());
    }

    // SET_REPORT and GET_REPORT reach the firmware; anything else the reader
    // does not take stalls there, and the log says which was which.
    void reportsReachTheFirmware()
    {
        vusb::ReaderDevice device;
        QVERIFY(device.attach());
        QVERIFY(!device.control(setReport(), beepReport()).stalled);
        const vusb::ControlResult reply = device.control(getReport());
        QVERIFY(!reply.stalled);
        QCOMPARE(reply.data.size(), std::size_t(32));
        QCOMPARE(Bytes(reply.data.begin(), reply.data.begin() + 3), (Bytes{0x02, 0x02, 0x00}));
        QCOMPARE(emulator::EmulatedReader::instance().firmware().beeps, (std::vector<std::uint8_t>{0x32}));

        QVERIFY(device.control(Setup{0xA1, 0x01, 0x0300, 0, 32}).stalled); // the HID class's own wValue
        QVERIFY(device.control(Setup{0x21, 0x0A, 0, 0, 0}).stalled);       // SET_IDLE
        QCOMPARE(device.takeSetups(), (std::vector<std::string>{"21/09/0000/0000/32 ok", "A1/01/3000/0000/32 ok",
                                                               "A1/01/0300/0000/32 stall", "21/0A/0000/0000/0 stall"}));
        QVERIFY(device.takeSetups().empty());

        // Unplugged: the firmware is out of reach.
        emulator::EmulatedReader::instance().unplug();
        QVERIFY(device.control(getReport()).stalled);
    }

    // The peer sees the reader arrive with its interface and endpoints, talks
    // to it, and sees it leave and come back as the control port says.
    void usbRedirPeer()
    {
        QTemporaryDir dir;
        vusb::VirtualReader reader;
        QVERIFY2(reader.listenUsbRedir(dir.filePath("redir")), qPrintable(reader.errorString()));
        Guest guest(dir.filePath("redir"));
        QTRY_VERIFY(guest.isConnected);
        QVERIFY(guest.helloSeen);
        QCOMPARE(guest.connected.vendor_id, vusb::descriptors::kVendorId);
        QCOMPARE(guest.connected.product_id, vusb::descriptors::kProductId);
        QCOMPARE(guest.connected.speed, std::uint8_t(usb_redir_speed_full));
        QCOMPARE(guest.interfaces.interface_count, 1u);
        QCOMPARE(guest.interfaces.interface_class[0], std::uint8_t(3));
        const int in = 0x10 | 1; // endpoint 0x81
        QCOMPARE(guest.endpoints.type[in], std::uint8_t(usb_redir_type_interrupt));
        QCOMPARE(guest.endpoints.max_packet_size[in], std::uint16_t(32));

        guest.setConfiguration(1, 1);
        QTRY_COMPARE(guest.configurationStatus.configuration, std::uint8_t(1));
        QCOMPARE(guest.configurationStatus.status, std::uint8_t(usb_redir_success));
        guest.control(2, Setup{0x80, 6, 0x0100, 0, 18});
        guest.control(3, setReport(), beepReport());
        guest.control(4, getReport());
        guest.control(5, Setup{0xA1, 0x01, 0x0300, 0, 32});
        QTRY_COMPARE(guest.replies.size(), std::size_t(4));
        QCOMPARE(guest.replies[2].second, vusb::descriptors::device());
        QCOMPARE(guest.replies[3].first.status, std::uint8_t(usb_redir_success));
        QCOMPARE(guest.replies[3].first.length, std::uint16_t(32));
        QCOMPARE(guest.replies[4].second.size(), std::size_t(32));
        QCOMPARE(guest.replies[4].second[1], std::uint8_t(0x02));
        QCOMPARE(guest.replies[5].first.status, std::uint8_t(usb_redir_stall));

        const QJsonObject setups = QJsonDocument::fromJson(reader.handleControl(R"({"cmd":"setups"})").toUtf8()).object();
        QCOMPARE(setups.value("setups").toArray().size(), 5); // with the configuration

        QVERIFY(reader.handleControl(R"({"cmd":"unplug"})").contains(R"("ok":true)"));
        QTRY_VERIFY(!guest.isConnected);
        QVERIFY(reader.handleControl(R"({"cmd":"plug"})").contains(R"("ok":true)"));
        QTRY_VERIFY(guest.isConnected);

        // Gone right after the next transfer, which is still answered.
        QVERIFY(reader.handleControl(R"({"cmd":"unplug","afterTransfers":1})").contains(R"("ok":true)"));
        QVERIFY(reader.handleControl(R"({"cmd":"unplug","afterTransfers":0})").contains(R"("ok":false)"));
        guest.control(6, setReport(), beepReport());
        QTRY_VERIFY(!guest.isConnected);
        QCOMPARE(guest.replies[6].first.status, std::uint8_t(usb_redir_success));
    }
};

QTEST_GUILESS_MAIN(tst_VirtualReader)
#include "tst_virtualreader.moc"
