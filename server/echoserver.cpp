#include "echoserver.h"

#include "textmessageprocessor.h"

#include <QDebug>
#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : QObject(parent),
      m_pWebSocketServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                              QWebSocketServer::NonSecureMode, this)),
      m_debug(debug),
      m_processor(new CTextMessageProcessor())
{
    m_serveTimer.setSingleShot(true);
    m_serveTimer.setInterval(0);
    connect(&m_serveTimer, &QTimer::timeout, this, &EchoServer::serveNext);
    // A port already taken is not fatal: the process keeps running and serves nothing.
    if (m_pWebSocketServer->listen(QHostAddress::Any, port)) {
        if (m_debug)
            qDebug() << "Echoserver listening on port" << port;
        connect(m_pWebSocketServer, &QWebSocketServer::newConnection,
                this, &EchoServer::onNewConnection);
        connect(m_pWebSocketServer, &QWebSocketServer::closed, this, &EchoServer::closed);
    }
}

EchoServer::~EchoServer()
{
    m_pWebSocketServer->close();
    qDeleteAll(m_clients.begin(), m_clients.end());
}

quint16 EchoServer::serverPort() const
{
    return m_pWebSocketServer->isListening() ? m_pWebSocketServer->serverPort() : 0;
}

qint64 EchoServer::unsentBytes() const
{
    qint64 total = 0;
    for (const QWebSocket *client : m_clients)
        total += client->bytesToWrite();
    return total;
}

void EchoServer::onNewConnection()
{
    QWebSocket *pSocket = m_pWebSocketServer->nextPendingConnection();
    if (!pSocket)
        return;
    // Oversized frames or messages close only this connection, with code 1009.
    pSocket->setMaxAllowedIncomingFrameSize(kMaxBufferedSize);
    pSocket->setMaxAllowedIncomingMessageSize(kMaxBufferedSize);

    connect(pSocket, &QWebSocket::textMessageReceived, this, &EchoServer::processTextMessage);
    connect(pSocket, &QWebSocket::binaryMessageReceived, this, &EchoServer::processBinaryMessage);
    connect(pSocket, &QWebSocket::disconnected, this, &EchoServer::socketDisconnected);
    m_clients << pSocket;
    m_pending.insert(pSocket, Pending());
}

void EchoServer::processTextMessage(const QString &message)
{
    QWebSocket *pClient = qobject_cast<QWebSocket *>(sender());
    if (!pClient)
        return;
    auto pending = m_pending.find(pClient);
    if (pending == m_pending.end() || pending->closing)
        return;
    // Counted in UTF-8, as on the wire; only a long message needs the count.
    if (message.size() * 3 > kMaxIncomingSize && refuseOversized(pClient, message.toUtf8().size()))
        return;
    if (m_debug)
        qDebug() << "Message received:" << message;
    if (pending->requests.size() >= kMaxQueuedRequests
        || pending->bytes + message.size() * 2 > kMaxQueuedBytes) {
        closeForPolicy(pClient, QStringLiteral("too many requests waiting"));
        return;
    }
    pending->requests.enqueue(message);
    pending->bytes += message.size() * 2;
    if (!m_serving)
        m_serveTimer.start();
}

void EchoServer::serveNext()
{
    if (m_serving || m_clients.isEmpty())
        return;
    // The next client in turn with something waiting.
    QWebSocket *client = nullptr;
    for (int i = 0; i < m_clients.size() && !client; ++i) {
        const int index = (m_turn + i) % m_clients.size();
        if (!m_pending.value(m_clients.at(index)).requests.isEmpty()) {
            client = m_clients.at(index);
            m_turn = index + 1;
        }
    }
    if (!client)
        return;

    Pending &pending = m_pending[client];
    const QString message = pending.requests.dequeue();
    pending.bytes -= message.size() * 2;
    m_serving = true;
    m_processor->Process(client, message);
    m_serving = false;
    checkUnsent(client);

    for (const Pending &other : qAsConst(m_pending)) {
        if (!other.requests.isEmpty()) {
            m_serveTimer.start();
            break;
        }
    }
}

void EchoServer::processBinaryMessage(const QByteArray &message)
{
    QWebSocket *pClient = qobject_cast<QWebSocket *>(sender());
    if (m_debug)
        qDebug() << "Binary Message received:" << message;
    if (!pClient || m_pending.value(pClient).closing || refuseOversized(pClient, message.size()))
        return;
    pClient->sendBinaryMessage(message);
    checkUnsent(pClient);
}

void EchoServer::checkUnsent(QWebSocket *client)
{
    if (client->bytesToWrite() > kMaxUnsentBytes && !m_pending.value(client).closing)
        closeForPolicy(client, QStringLiteral("replies not read"));
}

bool EchoServer::refuseOversized(QWebSocket *client, qint64 bytes)
{
    if (bytes <= kMaxIncomingSize)
        return false;
    closeForPolicy(client, QStringLiteral("message too big"), QWebSocketProtocol::CloseCodeTooMuchData);
    return true;
}

void EchoServer::closeForPolicy(QWebSocket *client, const QString &reason, QWebSocketProtocol::CloseCode code)
{
    auto pending = m_pending.find(client);
    if (pending != m_pending.end()) {
        pending->closing = true;
        pending->requests.clear();
        pending->bytes = 0;
    }
    client->close(code, reason);
    // The close frame queues behind what the client is not reading: drop the
    // connection rather than keep that backlog.
    if (client->bytesToWrite() > kMaxUnsentBytes)
        client->abort();
}

void EchoServer::socketDisconnected()
{
    QWebSocket *pClient = qobject_cast<QWebSocket *>(sender());
    if (m_debug)
        qDebug() << "socketDisconnected:" << pClient;
    if (pClient) {
        m_clients.removeAll(pClient);
        m_pending.remove(pClient);
        pClient->deleteLater();
    }
}
