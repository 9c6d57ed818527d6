#include "testsupport.h"

#include "echoserver.h"
#include "emulatedreader.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

namespace testsupport {

WsClient::WsClient(quint16 port, QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { texts << text; });
    connect(&m_socket, &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray &bytes) { binaries << bytes; });
    QSignalSpy connected(&m_socket, &QWebSocket::connected);
    m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    connected.wait(5000);
}

WsClient::~WsClient() { m_socket.abort(); }

bool WsClient::isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

QString WsClient::request(const QString &text, int timeoutMs)
{
    const int before = texts.size();
    m_socket.sendTextMessage(text);
    if (!QTest::qWaitFor([&] { return texts.size() > before; }, timeoutMs))
        return QString();
    return texts.at(before);
}

QStringList WsClient::sendAndCollect(const QString &text, int waitMs)
{
    const int before = texts.size();
    m_socket.sendTextMessage(text);
    QTest::qWait(waitMs);
    return texts.mid(before);
}

QJsonObject WsClient::requestJson(const QString &text, int timeoutMs)
{
    return QJsonDocument::fromJson(request(text, timeoutMs).toUtf8()).object();
}

EchoServer *startServer(QObject *parent)
{
    return new EchoServer(0, false, parent);
}

quint16 portOf(EchoServer *server) { return server->serverPort(); }

ServiceTest::~ServiceTest() { stopService(); }

bool ServiceTest::startService()
{
    stopService();
    m_server = startServer();
    m_client = new WsClient(portOf(m_server));
    return m_client->isConnected();
}

void ServiceTest::stopService()
{
    delete m_client;
    m_client = nullptr;
    delete m_server;
    m_server = nullptr;
}

dorvent::emulator::EmulatedReader &ServiceTest::reader() { return dorvent::emulator::EmulatedReader::instance(); }

void ServiceTest::open()
{
    QCOMPARE(m_client->requestJson(act("open")).value("success").toInt(), 0);
}

QString act(const char *name, const char *tag)
{
    if (!tag)
        return QStringLiteral(R"({"_act":"%1"})").arg(QLatin1String(name));
    return QStringLiteral(R"({"_act":"%1","_tflag":"%2"})").arg(QLatin1String(name), QLatin1String(tag));
}

QString replyText(const QString &name, int code, const QString &msg, const QString &data, const QString &tag)
{
    QString text = QStringLiteral(R"({"_tflag":"%1",)").arg(tag);
    if (!data.isEmpty())
        text += QStringLiteral(R"("data":"%1",)").arg(data);
    return text + QStringLiteral(R"("functionName":"%1","msg":"%2","success":%3})").arg(name, msg).arg(code);
}

} // namespace testsupport
