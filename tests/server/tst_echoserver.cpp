#include "echoserver.h"
#include "testsupport.h"

#include <QtTest>

using testsupport::WsClient;

// Connections, binary echo and the per-connection size bound.
class tst_EchoServer : public QObject
{
    Q_OBJECT
private slots:
    void binaryFramesGoBackToTheirSenderOnly();
    void clientsGetOnlyTheirOwnReplies();
    void disconnectedClientsLeaveTheList();
    void oversizedMessageClosesOnlyItsConnection_data();
    void oversizedMessageClosesOnlyItsConnection();
    void busyPortIsNotFatal();
};

void tst_EchoServer::binaryFramesGoBackToTheirSenderOnly()
{
    EchoServer server(0, false);
    WsClient a(server.serverPort()), b(server.serverPort());
    QVERIFY(a.isConnected() && b.isConnected());

    QByteArray payload;
    for (int i = 0; i < 256; ++i)
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

void tst_EchoServer::oversizedMessageClosesOnlyItsConnection_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fragmented");
    QTest::newRow("100 KiB frame") << 100 * 1024 << false;
    QTest::newRow("100 KiB in small frames") << 100 * 1024 << true;
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

QTEST_MAIN(tst_EchoServer)
#include "tst_echoserver.moc"
