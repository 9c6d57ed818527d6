#include "echoserver.h"

#include "textmessageprocessor.h"

#include <QAbstractEventDispatcher>
#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : QObject(parent),
      m_tcpServer(new QTcpServer(this)),
      m_pWebSocketServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                              QWebSocketServer::NonSecureMode, this)),
      m_debug(debug),
      m_processor(new CTextMessageProcessor())
{
    m_serveTimer.setSingleShot(true);
    m_serveTimer.setInterval(0);
    connect(&m_serveTimer, &QTimer::timeout, this, &EchoServer::serveNext);
    connect(m_processor, &CTextMessageProcessor::readerReleased, this, &EchoServer::scheduleServing);
    // An idle event loop has given everyone their turn.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { m_servedAtOnce = 0; });
    // Our own listener, so that every connection gets TCP_NODELAY before its
    // handshake: a reply must not wait for the client's delayed ACK of the
    // one before. A port already taken is not fatal: the process keeps
    // running and serves nothing.
    if (m_tcpServer->listen(QHostAddress::Any, port)) {
        if (m_debug)
            qDebug() << "Echoserver listening on port" << port;
        connect(m_tcpServer, &QTcpServer::newConnection, this, &EchoServer::onTcpConnection);
        connect(m_pWebSocketServer, &QWebSocketServer::newConnection,
                this, &EchoServer::onNewConnection);
        connect(m_pWebSocketServer, &QWebSocketServer::closed, this, &EchoServer::closed);
    }
}

EchoServer::~EchoServer()
{
    // First: it keeps the reader open and watches it come and go.
    delete m_processor;
    m_processor = nullptr;
    m_tcpServer->close();
    m_pWebSocketServer->close();
    qDeleteAll(m_clients.begin(), m_clients.end());
}

quint16 EchoServer::serverPort() const
{
    return m_tcpServer->isListening() ? m_tcpServer->serverPort() : 0;
}

QString EchoServer::listenError() const
{
    return m_tcpServer->isListening() ? QString() : m_tcpServer->errorString();
}

qint64 EchoServer::unsentBytes() const
{
    qint64 total = 0;
    for (const QWebSocket *client : m_clients)
        total += client->bytesToWrite();
    return total;
}

void EchoServer::onTcpConnection()
{
    while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_pWebSocketServer->handleConnection(socket); // takes it over
    }
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
    // Nothing waits and the reader is free: serve at once, without a pass
    // through the event loop, but only a few before the loop gets its turn.
    const bool anyWaiting = std::any_of(m_pending.cbegin(), m_pending.cend(),
                                        [](const Pending &p) { return !p.requests.isEmpty(); });
    if (!m_serving && !anyWaiting && !m_processor->isReaderHeld() && m_servedAtOnce < kMaxServedAtOnce) {
        ++m_servedAtOnce;
        serve(pClient, message);
        return;
    }
    pending->requests.enqueue(message);
    pending->bytes += message.size() * 2;
    scheduleServing();
}

void EchoServer::scheduleServing()
{
    if (!m_serving && !m_serveTimer.isActive())
        m_serveTimer.start();
}

bool EchoServer::canServe(QWebSocket *client) const
{
    const auto pending = m_pending.constFind(client);
    if (pending == m_pending.cend() || pending->closing || pending->requests.isEmpty())
        return false;
    if (!m_processor->isReaderHeld())
        return true;
    // The reader is held by a swipe read: its own client waits for it, the
    // others may go on with what needs no reader.
    return client != m_processor->readerHolderClient()
           && !m_processor->needsReader(pending->requests.head());
}

void EchoServer::serve(QWebSocket *client, const QString &message)
{
    m_serving = true;
    m_processor->Process(client, message);
    m_serving = false;
    checkUnsent(client);
}

void EchoServer::serveNext()
{
    m_servedAtOnce = 0;
    if (m_serving || m_clients.isEmpty())
        return;
    // One round: the next request of each client, in turn from where the
    // last round started. Serving may close clients or hold the reader, so
    // each is looked at again just before it is served.
    const QList<QWebSocket *> round = m_clients;
    const int start = m_turn % round.size();
    m_turn = start + 1;
    for (int i = 0; i < round.size(); ++i) {
        QWebSocket *client = round.at((start + i) % round.size());
        if (!canServe(client))
            continue;
        Pending &pending = m_pending[client];
        const QString message = pending.requests.dequeue();
        pending.bytes -= message.size() * 2;
        serve(client, message);
    }
    for (QWebSocket *client : qAsConst(m_clients)) {
        if (canServe(client)) {
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
