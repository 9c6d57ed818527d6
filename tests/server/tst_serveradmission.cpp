#include "echoserver.h"
#include "servicelog.h"
#include "settings.h"
#include "testsupport.h"

#include <QTcpSocket>
#include <QTemporaryFile>
#include <QWebSocket>
#include <QtTest>

#include <unistd.h>

using namespace dorvent::config;

namespace {

QList<QByteArray> g_lines;
void collect(const QByteArray &line) { g_lines << line; }

Settings settingsFrom(const QByteArray &text)
{
    const Parsed parsed = parseSettings(text, QStringLiteral("test.conf"));
    if (!parsed.ok)
        qFatal("%s", qPrintable(parsed.error));
    return parsed.settings;
}

// A QWebSocket client with the Origin a browser would send (none when null);
// true once it is open, false when the handshake was refused.
bool connectWithOrigin(QWebSocket &socket, quint16 port)
{
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy failed(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    QSignalSpy disconnected(&socket, &QWebSocket::disconnected);
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port)));
    return QTest::qWaitFor([&] { return connected.size() + failed.size() + disconnected.size() > 0; }, 10000)
           && connected.size() == 1;
}

QByteArray rawHandshake(quint16 port, const QByteArray &headers)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
        return QByteArray();
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 + headers + "\r\n");
    QByteArray response;
    const bool answered = QTest::qWaitFor([&] {
        response += socket.readAll();
        return response.contains("\r\n\r\n");
    }, 5000);
    return answered ? response : QByteArray();
}

QList<QByteArray> linesStarting(const char *prefix)
{
    QList<QByteArray> found;
    for (const QByteArray &line : qAsConst(g_lines)) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

} // namespace

// What the administrator's settings do to connections, and the log lines
// the server writes about them.
class tst_ServerAdmission : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanupTestCase() { log::setSink(nullptr); }
    void originsAtTheHandshake_data();
    void originsAtTheHandshake();
    void refusalIsAnHttpAnswer_data();
    void refusalIsAnHttpAnswer();
    void oneLinePerRequest();
    void logOffWritesNothing();
    void requestLineIsOutBeforeItsReply();
    void reloadNarrowsWhatIsAlreadyOpen();
};

void tst_ServerAdmission::init()
{
    g_lines.clear();
    log::setSink(collect);
}

void tst_ServerAdmission::originsAtTheHandshake_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<QString>("origin"); // null: no Origin header
    QTest::addColumn<bool>("accepted");

    const QByteArray narrowed = "allowed-origins = https://app.example.org *.example.net null";
    QTest::newRow("built-in: a web site") << QByteArray() << "https://anywhere.example" << true;
    QTest::newRow("built-in: no Origin") << QByteArray() << QString() << true;
    QTest::newRow("listed site") << narrowed << "https://app.example.org" << true;
    QTest::newRow("unlisted site") << narrowed << "https://evil.example" << false;
    QTest::newRow("wildcard") << narrowed << "https://shop.example.net" << true;
    QTest::newRow("wildcard, not the domain itself") << narrowed << "https://example.net" << false;
    QTest::newRow("file page (null)") << narrowed << "null" << true;
    QTest::newRow("no Origin, not listed") << narrowed << QString() << false;
    QTest::newRow("no Origin, listed") << narrowed + " no-origin" << QString() << true;
}

void tst_ServerAdmission::originsAtTheHandshake()
{
    QFETCH(QByteArray, setting);
    QFETCH(QString, origin);
    QFETCH(bool, accepted);

    EchoServer server(0, settingsFrom(setting));
    QWebSocket client(origin);
    QCOMPARE(connectWithOrigin(client, server.serverPort()), accepted);
    QTRY_COMPARE(server.clientCount(), accepted ? 1 : 0);

    const QList<QByteArray> lines = linesStarting("connection ");
    QCOMPARE(lines.size(), 1);
    const QByteArray from = origin.isNull() ? QByteArray("without Origin") : "origin \"" + origin.toUtf8() + '"';
    // A refused client's socket no longer knows its port.
    const QString line = QString::fromUtf8(lines.first()).replace(QRegularExpression(QStringLiteral(":[0-9]+ ")),
                                                                  QStringLiteral(":PORT "));
    const QByteArray expected = "connection 127.0.0.1:PORT " + from + (accepted ? " accepted" : " refused: origin not allowed");
    QCOMPARE(line, QString::fromUtf8(expected));
}

void tst_ServerAdmission::refusalIsAnHttpAnswer_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("allowed") << QByteArray("Origin: https://app.example.org\r\n")
                             << QByteArray("HTTP/1.1 101") << QByteArray();
    QTest::newRow("header name in any case") << QByteArray("oRiGiN: https://app.example.org\r\n")
                                             << QByteArray("HTTP/1.1 101") << QByteArray();
    QTest::newRow("refused") << QByteArray("Origin: https://evil.example\r\n") << QByteArray("HTTP/1.1 403")
                             << QByteArray("origin not allowed");
    QTest::newRow("an allowed one and another")
        << QByteArray("Origin: https://app.example.org\r\nOrigin: https://evil.example\r\n")
        << QByteArray("HTTP/1.1 403") << QByteArray("more than one Origin");
    QTest::newRow("old protocol's header") << QByteArray("Sec-WebSocket-Origin: https://evil.example\r\n")
                                           << QByteArray("HTTP/1.1 403") << QByteArray("origin not allowed");
}

void tst_ServerAdmission::refusalIsAnHttpAnswer()
{
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, reason);

    EchoServer server(0, settingsFrom("allowed-origins = https://app.example.org"));
    const QByteArray response = rawHandshake(server.serverPort(), headers);
    QVERIFY2(response.startsWith(statusLine), response.constData());
    if (!reason.isEmpty()) {
        QVERIFY(linesStarting("connection ").value(0).endsWith("refused: " + reason));
        QTRY_COMPARE(server.clientCount(), 0);
    }
}

// One line per request with client, action, code and time; never a value.
void tst_ServerAdmission::oneLinePerRequest()
{
    EchoServer server(0, false);
    testsupport::WsClient client(server.serverPort());
    QVERIFY(client.isConnected());
    client.request(testsupport::act("open"));
    client.request(QStringLiteral(R"({"_act":"card44AuthPIN","type":"4442","key":"C0FFEE"})"));
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    client.request(QStringLiteral(R"({"_act":"C0FFEE","key":"C0FFEE"})"));
    client.socket().sendTextMessage(testsupport::act("collectFingerPrint")); // answered with nothing
    client.request(testsupport::act("close"));

    const QByteArray who = "request 127.0.0.1:" + QByteArray::number(client.socket().localPort()) + ' ';
    const QList<QByteArray> lines = linesStarting("request ");
    QCOMPARE(lines.size(), 5);
    const QList<QByteArray> shapes = {"open 0", "card44AuthPIN -", "(unknown action) echoed", "collectFingerPrint no reply",
                                      "close 0"};
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).startsWith(who + shapes.at(i)), lines.at(i).constData());
        QVERIFY2(QRegularExpression(QStringLiteral(" [0-9]+\\.[0-9]{2} ms$")).match(QString::fromUtf8(lines.at(i))).hasMatch(),
                 lines.at(i).constData());
    }
    for (const QByteArray &line : qAsConst(g_lines))
        QVERIFY2(!line.contains("C0FFEE"), line.constData());
}

void tst_ServerAdmission::logOffWritesNothing()
{
    EchoServer server(0, settingsFrom("log = off\nallowed-origins = https://app.example.org"));
    QWebSocket refused(QStringLiteral("https://evil.example"));
    QVERIFY(!connectWithOrigin(refused, server.serverPort()));
    testsupport::WsClient client(server.serverPort());
    QVERIFY(!client.isConnected()); // no Origin: not listed
    QWebSocket allowed(QStringLiteral("https://app.example.org"));
    QVERIFY(connectWithOrigin(allowed, server.serverPort()));
    QSignalSpy replies(&allowed, &QWebSocket::textMessageReceived);
    allowed.sendTextMessage(testsupport::act("open"));
    QVERIFY(replies.wait());
    QCOMPARE(g_lines, QList<QByteArray>());
}

// Lines written to standard error wait for the end of the event-loop pass,
// but never past the reply they are about: a client that has its reply finds
// the line in the journal.
void tst_ServerAdmission::requestLineIsOutBeforeItsReply()
{
    log::setSink(nullptr);
    QTemporaryFile file;
    QVERIFY(file.open());
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    const auto logged = [&file] {
        QFile read(file.fileName());
        return read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray();
    };
    QList<QByteArray> atEachReply;
    {
        EchoServer server(0, false);
        testsupport::WsClient client(server.serverPort());
        connect(&client.socket(), &QWebSocket::textMessageReceived, this,
                [&] { atEachReply << logged(); });
        if (client.isConnected()) {
            client.request(testsupport::act("open"));
            client.request(testsupport::act("beep"));
        }
    }
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);

    QCOMPARE(atEachReply.size(), 2);
    QVERIFY2(atEachReply.at(0).contains(" open 0 "), atEachReply.at(0).constData());
    QVERIFY2(!atEachReply.at(0).contains(" beep "), atEachReply.at(0).constData());
    QVERIFY2(atEachReply.at(1).contains(" beep 0 "), atEachReply.at(1).constData());
}

// A reload closes what the new settings refuse (origins, hosts, addresses no
// longer listened on), keeps the rest, and moves the listener to the new
// addresses on the same port.
void tst_ServerAdmission::reloadNarrowsWhatIsAlreadyOpen()
{
    EchoServer server(0, false);
    const quint16 port = server.serverPort();
    QWebSocket kept(QStringLiteral("https://app.example.org"));
    QWebSocket dropped(QStringLiteral("https://evil.example"));
    QVERIFY(connectWithOrigin(kept, port));
    QVERIFY(connectWithOrigin(dropped, port));
    QTRY_COMPARE(server.clientCount(), 2);

    QSignalSpy droppedClosed(&dropped, &QWebSocket::disconnected);
    server.applySettings(settingsFrom("listen = 127.0.0.1\nallowed-origins = https://app.example.org"));
    QVERIFY(droppedClosed.wait());
    QCOMPARE(dropped.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    QCOMPARE(dropped.closeReason(), QStringLiteral("no longer allowed"));
    QCOMPARE(kept.state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE(server.clientCount(), 1);

    QCOMPARE(server.listeningOn(), QStringList{QStringLiteral("127.0.0.1:%1").arg(port)});
    QWebSocket again(QStringLiteral("https://app.example.org"));
    QVERIFY(connectWithOrigin(again, port));
    QTcpSocket v6;
    v6.connectToHost(QHostAddress::LocalHostIPv6, port);
    QTRY_COMPARE_WITH_TIMEOUT(v6.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(v6.error(), QAbstractSocket::ConnectionRefusedError);

    // Connections to an address no longer listened on go too.
    QSignalSpy keptClosed(&kept, &QWebSocket::disconnected);
    server.applySettings(settingsFrom("listen = ::1\nallowed-origins = https://app.example.org"));
    QVERIFY(keptClosed.wait());
    QCOMPARE(kept.closeReason(), QStringLiteral("no longer allowed"));
    QCOMPARE(server.listeningOn(), QStringList{QStringLiteral("[::1]:%1").arg(port)});
}

QTEST_MAIN(tst_ServerAdmission)
#include "tst_serveradmission.moc"
