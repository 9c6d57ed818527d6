#include "echoserver.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "testsupport.h"

#include <QTcpSocket>
#include <QtTest>

using testsupport::WsClient;

namespace {

// One masked client frame (opcode 0x1 text, 0x2 binary).
QByteArray clientFrame(quint8 opcode, const QByteArray &payload)
{
    QByteArray frame;
    frame.append(char(0x80 | opcode));
    const qint64 n = payload.size();
    if (n < 126) {
        frame.append(char(0x80 | n));
    } else if (n < 65536) {
        frame.append(char(0x80 | 126));
        frame.append(char(n >> 8)).append(char(n));
    } else {
        frame.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char(n >> shift));
    }
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(mask, 4);
    for (qint64 i = 0; i < n; ++i)
        frame.append(char(payload.at(i) ^ mask[i % 4]));
    return frame;
}

// A raw client through the handshake.
bool openRaw(QTcpSocket &socket, quint16 port)
{
    // The server runs on this thread: wait on the event loop, never block it.
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
        return false;
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    QByteArray response;
    const bool answered = QTest::qWaitFor([&] {
        response += socket.readAll(); // nothing else comes until a request is sent
        return response.contains("\r\n\r\n");
    }, 5000);
    return answered && response.startsWith("HTTP/1.1 101");
}

// A client that completes the handshake and then never reads again.
bool openNonReading(QTcpSocket &socket, quint16 port)
{
    const bool open = openRaw(socket, port);
    socket.setReadBufferSize(1);
    return open;
}

// Silences the notes of every request while a test floods the service.
struct QuietWarnings
{
    QuietWarnings() : previous(qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {})) {}
    ~QuietWarnings() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

} // namespace

// Connections, binary echo and the per-connection size bound.
class tst_EchoServer : public QObject
{
    Q_OBJECT
private slots:
    void binaryFramesGoBackToTheirSenderOnly();
    void clientsGetOnlyTheirOwnReplies();
    void disconnectedClientsLeaveTheList();
    void serverGoesWithClientsConnected();
    void oversizedMessageClosesOnlyItsConnection_data();
    void oversizedMessageClosesOnlyItsConnection();
    void busyPortIsNotFatal();
    void clientNotReadingIsClosed_data();
    void clientNotReadingIsClosed();
    void repliesAreNotHeldForAcks();
    void pipeliningClientDoesNotHoldUpOthers_data();
    void pipeliningClientDoesNotHoldUpOthers();
};

void tst_EchoServer::binaryFramesGoBackToTheirSenderOnly()
{
    EchoServer server(0, false);
    WsClient a(server.serverPort()), b(server.serverPort());
    QVERIFY(a.isConnected() && b.isConnected());

    QByteArray payload;
    for (int i = 0; i < 4; ++i)
        payload.append(char(i));
    a.socket().sendBinaryMessage(payload);
    QTRY_COMPARE(a.binaries.size(), 1);
    QCOMPARE(a.binaries.first(), payload);
    a.socket().sendBinaryMessage(QByteArray());
    QTRY_COMPARE(a.binaries.size(), 2);
    QCOMPARE(a.binaries.at(1), QByteArray());
    QTest::qWait(100);
    QVERIFY(b.binaries.isEmpty());
    QVERIFY(a.texts.isEmpty()); // never reaches the processor
}

void tst_EchoServer::clientsGetOnlyTheirOwnReplies()
{
    EchoServer server(0, false);
    WsClient a(server.serverPort()), b(server.serverPort());
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    a.socket().sendTextMessage(QStringLiteral(R"({"_act":"fromA"})"));
    b.socket().sendTextMessage(QStringLiteral(R"({"_act":"fromB"})"));
    QTRY_COMPARE(a.texts.size(), 1);
    QTRY_COMPARE(b.texts.size(), 1);
    QTest::qWait(100);
    QCOMPARE(a.texts, QStringList{R"({"_act":"fromA"})"});
    QCOMPARE(b.texts, QStringList{R"({"_act":"fromB"})"});
}

void tst_EchoServer::disconnectedClientsLeaveTheList()
{
    EchoServer server(0, false);
    QCOMPARE(server.clientCount(), 0);
    {
        WsClient a(server.serverPort());
        WsClient b(server.serverPort());
        QTRY_COMPARE(server.clientCount(), 2);
        a.socket().close();
        QTRY_COMPARE(server.clientCount(), 1);
    }
    QTRY_COMPARE(server.clientCount(), 0);
    WsClient again(server.serverPort());
    QTRY_COMPARE(server.clientCount(), 1);
}

// Clients still connected go with the server; each reports its
// disconnection as it is deleted, while the server deletes the rest.
void tst_EchoServer::serverGoesWithClientsConnected()
{
    auto *server = new EchoServer(0, false);
    WsClient a(server->serverPort()), b(server->serverPort()), c(server->serverPort());
    QTRY_COMPARE(server->clientCount(), 3);
    delete server;
    QTRY_COMPARE(a.socket().state(), QAbstractSocket::UnconnectedState);
}

void tst_EchoServer::oversizedMessageClosesOnlyItsConnection_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fragmented");
    QTest::newRow("100 KiB frame") << 100 * 1024 << false;
    QTest::newRow("100 KiB in small frames") << 100 * 1024 << true;
    QTest::newRow("past the buffered bound") << int(EchoServer::kMaxBufferedSize) + 1024 << false;
}

void tst_EchoServer::oversizedMessageClosesOnlyItsConnection()
{
    QFETCH(int, size);
    QFETCH(bool, fragmented);

    EchoServer server(0, false);
    WsClient big(server.serverPort()), other(server.serverPort());
    QTRY_COMPARE(server.clientCount(), 2);
    if (fragmented)
        big.socket().setOutgoingFrameSize(4096);

    QSignalSpy closed(&big.socket(), &QWebSocket::disconnected);
    big.socket().sendTextMessage(QString(size, QLatin1Char('a')));
    QVERIFY(closed.wait(10000));
    QCOMPARE(big.socket().closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY(big.texts.isEmpty());

    QTest::ignoreMessage(QtWarningMsg, "pClient");
    QCOMPARE(other.request(QStringLiteral(R"({"_act":"still"})")), QStringLiteral(R"({"_act":"still"})"));
    QTRY_COMPARE(server.clientCount(), 1);

    // Just under the bound is still served.
    WsClient fits(server.serverPort());
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    const QString largest = QStringLiteral("{\"_act\":\"%1\"}").arg(QString(int(EchoServer::kMaxIncomingSize) - 12, 'x'));
    QCOMPARE(fits.request(largest).size(), largest.size());
}

void tst_EchoServer::busyPortIsNotFatal()
{
    EchoServer first(0, false);
    QVERIFY(first.serverPort() != 0);
    EchoServer second(first.serverPort(), false);
    QCOMPARE(second.serverPort(), quint16(0));
    WsClient client(first.serverPort());
    QVERIFY(client.isConnected());
}

void tst_EchoServer::clientNotReadingIsClosed_data()
{
    QTest::addColumn<quint8>("opcode");
    QTest::newRow("binary echo") << quint8(0x2);
    QTest::newRow("unknown request echoed") << quint8(0x1);
}

// 20 MiB of replies to a client that never reads: it is closed and its
// backlog freed; the others are still served.
void tst_EchoServer::clientNotReadingIsClosed()
{
    QFETCH(quint8, opcode);
    EchoServer server(0, false);
    WsClient other(server.serverPort());
    QTcpSocket stalled;
    QVERIFY(openNonReading(stalled, server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 2);

    QuietWarnings quiet;
    QByteArray payload = QByteArrayLiteral(R"({"_act":"flood","pad":")");
    payload.append(QByteArray(32 * 1024, 'p')).append("\"}");
    const QByteArray frame = clientFrame(opcode, payload);
    constexpr int kMessages = 640;
    for (int i = 0; i < kMessages && stalled.state() == QAbstractSocket::ConnectedState; ++i) {
        stalled.write(frame);
        if (i % 16 == 15)
            QTest::qWait(1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 20000);
    QCOMPARE(server.unsentBytes(), qint64(0));
    QCOMPARE(other.request(QStringLiteral(R"({"_act":"still"})")), QStringLiteral(R"({"_act":"still"})"));
}

// Two requests in one segment: the second reply must not wait for the
// client's delayed ACK of the first (Nagle's rule holds a small write while
// one is unacknowledged, about 40 ms on Linux).
void tst_EchoServer::repliesAreNotHeldForAcks()
{
    EchoServer server(0, false);
    QTcpSocket socket;
    QVERIFY(openRaw(socket, server.serverPort()));
    const QByteArray pair = clientFrame(0x1, R"({"_act":"first"})") + clientFrame(0x1, R"({"_act":"second"})");
    const QByteArray replies = QByteArray("\x81\x10") + R"({"_act":"first"})" + "\x81\x11" + R"({"_act":"second"})";
    qint64 fastest = -1;
    for (int round = 0; round < 3; ++round) {
        QByteArray received;
        QElapsedTimer clock;
        clock.start();
        socket.write(pair);
        // qWaitFor sleeps 10 ms between looks: wait on the event loop instead.
        while (received.size() < replies.size() && clock.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            received += socket.readAll();
        }
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(received, replies);
        fastest = fastest < 0 ? elapsed : qMin(fastest, elapsed);
    }
    // Three tries, so a busy machine's one slow pass is not mistaken for the stall.
    QVERIFY2(fastest < 25, qPrintable(QStringLiteral("%1 ms").arg(fastest)));
}

void tst_EchoServer::pipeliningClientDoesNotHoldUpOthers_data()
{
    QTest::addColumn<int>("pipelined");
    QTest::addColumn<bool>("overBound");
    QTest::newRow("200 identity-card reads") << 200 << false;
    QTest::newRow("2,000 identity-card reads") << 2000 << true;
}

// A new client's handshake and request are answered while another client's
// pipelined requests are still being worked through (or after that client
// was closed for queueing too many).
void tst_EchoServer::pipeliningClientDoesNotHoldUpOthers()
{
    QFETCH(int, pipelined);
    QFETCH(bool, overBound);
    using dorvent::emulator::EmulatedReader;
    EmulatedReader::instance().reset();
    EmulatedReader::instance().deck().idCardSam().insert(dorvent::emulator::demoIdentityCard());

    QuietWarnings quiet; // the driver's notes for every read
    EchoServer server(0, false);
    WsClient busy(server.serverPort());
    QVERIFY(busy.isConnected());
    QVERIFY(busy.request(testsupport::act("open")).contains(QLatin1String(R"("success":0)")));
    const int opened = busy.texts.size();

    for (int i = 0; i < pipelined; ++i)
        busy.socket().sendTextMessage(testsupport::act("readIDCardEX"));
    busy.socket().flush();
    QTRY_VERIFY(busy.texts.size() > opened || busy.socket().state() != QAbstractSocket::ConnectedState);

    WsClient late(server.serverPort());
    QVERIFY(late.isConnected());
    const QString reply = late.request(testsupport::act("readIDCardEX"));
    QVERIFY(reply.contains(QLatin1String(R"("success":0)")));
    const int busyServed = busy.texts.size() - opened;
    QVERIFY2(busyServed < pipelined / 4, qPrintable(QString::number(busyServed)));

    if (overBound) {
        QTRY_COMPARE(busy.socket().state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(busy.socket().closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY(!busy.socket().closeReason().isEmpty());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(busy.texts.size(), opened + pipelined, 120000);
        QVERIFY(busy.isConnected());
    }
    late.request(testsupport::act("close"));
}

QTEST_MAIN(tst_EchoServer)
#include "tst_echoserver.moc"
