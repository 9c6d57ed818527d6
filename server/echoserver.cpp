#include "echoserver.h"

#include "servicelog.h"
#include "textmessageprocessor.h"
#include "tracerecorder.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <utility>

using dorvent::config::Settings;
namespace servicelog = dorvent::config::log;

namespace {

QString clientOf(const QAbstractSocket *socket)
{
    return dorvent::config::endpointText(socket->peerAddress(), socket->peerPort());
}

QString clientOf(const QWebSocket *socket)
{
    return dorvent::config::endpointText(socket->peerAddress(), socket->peerPort());
}

// The Origin of a request head (the part before its blank line). Old
// protocol versions named it Sec-WebSocket-Origin. A head with two is refused.
struct HeadOrigin
{
    QString value;
    bool present = false;
    bool repeated = false;
};

HeadOrigin originOf(const QByteArray &head)
{
    HeadOrigin origin;
    const QList<QByteArray> lines = head.split('\n');
    for (int i = 1; i < lines.size(); ++i) { // line 0 is the request line
        const QByteArray &line = lines.at(i);
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name != "origin" && name != "sec-websocket-origin")
            continue;
        origin.repeated = origin.present;
        origin.present = true;
        origin.value = QString::fromUtf8(line.mid(colon + 1).trimmed());
        if (origin.repeated)
            break;
    }
    return origin;
}

// Bounds the wait for a request head, as the WebSocket server bounds its handshake.
constexpr char kAdmissionTimer[] = "admission";

Settings debugSettings(bool debug)
{
    Settings settings;
    if (debug)
        settings.log = dorvent::config::LogLevel::Debug;
    return settings;
}

} // namespace

EchoServer::EchoServer(quint16 port, bool debug, QObject *parent)
    : EchoServer(port, debugSettings(debug), parent)
{
}

EchoServer::EchoServer(quint16 port, const Settings &settings, QObject *parent)
    : QObject(parent),
      m_pWebSocketServer(new QWebSocketServer(QStringLiteral("Echo Server"),
                                              QWebSocketServer::NonSecureMode, this)),
      m_settings(settings),
      m_processor(new CTextMessageProcessor())
{
    m_logRequests = m_settings.log != dorvent::config::LogLevel::Off;
    m_logFrames = m_settings.log == dorvent::config::LogLevel::Debug;
    m_clock.start();
    m_serveTimer.setSingleShot(true);
    m_serveTimer.setInterval(0);
    connect(&m_serveTimer, &QTimer::timeout, this, &EchoServer::serveNext);
    connect(m_processor, &CTextMessageProcessor::readerReleased, this, &EchoServer::scheduleServing);
    m_processor->setRequestDone([this](QWebSocket *client, const dorvent::protocol::Outcome &outcome) {
        onRequestDone(client, outcome);
    });
    applyTrace(nullptr);
    // An idle event loop has given everyone their turn.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { m_servedAtOnce = 0; });
    // A line per request would be a write() per request.
    servicelog::holdLinesPerPass();
    // The pass's replies go out as it ends, not at the next pass's check
    // of which sockets can be written: one pass less for every request.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &EchoServer::sendReplies);
    init(port);
}

void EchoServer::init(quint16 port)
{
    // Our own listeners, so that every connection gets TCP_NODELAY before its
    // handshake (a reply must not wait for the client's delayed ACK of the
    // one before), and so that hosts and origins can be checked first. A port
    // already taken is not fatal: the process keeps running and serves
    // nothing (the caller says why).
    m_port = port;
    // Also when not listening: a reload may bind new addresses.
    connect(m_pWebSocketServer, &QWebSocketServer::newConnection, this, &EchoServer::onNewConnection);
    m_tcpServers = listen(m_settings.listen, port);
    if (m_tcpServers.isEmpty())
        return;
    if (m_logRequests) {
        const bool local = std::any_of(m_tcpServers.cbegin(), m_tcpServers.cend(), [](const QTcpServer *server) {
            return server->serverAddress() == QHostAddress(QHostAddress::Any) || server->serverAddress().isLoopback();
        });
        const QString pages = local ? QStringLiteral("; pages on this machine use ws://localhost:%1").arg(serverPort())
                                    : QString();
        qInfo("%s: listening on %s%s; %s", qPrintable(QCoreApplication::applicationName()),
              qUtf8Printable(listeningOn().join(QLatin1Char(' '))), qUtf8Printable(pages),
              qUtf8Printable(m_settings.describe()));
    }
    connect(m_pWebSocketServer, &QWebSocketServer::closed, this, &EchoServer::closed);
}

QList<QTcpServer *> EchoServer::listen(const QVector<QHostAddress> &addresses, quint16 port)
{
    const QVector<QHostAddress> wanted = addresses.isEmpty() ? QVector<QHostAddress>{QHostAddress(QHostAddress::Any)}
                                                             : addresses;
    QList<QTcpServer *> servers;
    m_listenError.clear();
    for (const QHostAddress &address : wanted) {
        auto *server = new QTcpServer(this);
        // Port 0 (tests) binds the first address anywhere and the rest beside it.
        if (!server->listen(address, servers.isEmpty() ? port : servers.first()->serverPort())) {
            m_listenError = addresses.isEmpty() ? server->errorString()
                                                : QStringLiteral("%1: %2").arg(dorvent::config::endpointText(address, port),
                                                                               server->errorString());
            delete server;
            qDeleteAll(servers);
            return {};
        }
        connect(server, &QTcpServer::newConnection, this, &EchoServer::onTcpConnection);
        servers << server;
    }
    return servers;
}

void EchoServer::applySettings(const Settings &settings)
{
    Settings next = settings;
    if (settings.listen != m_settings.listen) {
        const quint16 port = serverPort() ? serverPort() : m_port;
        // The new addresses may overlap the old (any, then loopback): close first.
        // Closed listeners stay children, since the sockets they accepted are theirs.
        for (QTcpServer *old : qAsConst(m_tcpServers))
            old->close();
        m_tcpServers = listen(settings.listen, port);
        if (m_tcpServers.isEmpty()) {
            const QString error = m_listenError;
            next.listen = m_settings.listen;
            m_tcpServers = listen(m_settings.listen, port);
            qWarning("cannot listen on %s; %s", qUtf8Printable(error),
                     m_tcpServers.isEmpty() ? "listening nowhere"
                                            : qUtf8Printable(QStringLiteral("keeps listening on ")
                                                             + listeningOn().join(QLatin1Char(' '))));
        }
        if (!m_tcpServers.isEmpty() && m_settings.log != dorvent::config::LogLevel::Off)
            qInfo("listening on %s", qUtf8Printable(listeningOn().join(QLatin1Char(' '))));
    }
    const Settings previous = m_settings;
    m_settings = next;
    m_logRequests = m_settings.log != dorvent::config::LogLevel::Off;
    m_logFrames = m_settings.log == dorvent::config::LogLevel::Debug;
    applyTrace(&previous);
    for (QWebSocket *client : qAsConst(m_clients)) {
        const bool hasOrigin = !client->origin().isEmpty();
        if (m_settings.hostAllowed(client->peerAddress()) && m_settings.originAllowed(client->origin(), hasOrigin)
            && listensOn(client->localAddress()))
            continue;
        closeForPolicy(client, QStringLiteral("no longer allowed"));
    }
}

bool EchoServer::listensOn(const QHostAddress &local) const
{
    const QHostAddress address = dorvent::config::plainAddress(local);
    for (const QTcpServer *server : m_tcpServers) {
        const QHostAddress bound = server->serverAddress();
        if (bound == QHostAddress(QHostAddress::Any) || bound == address
            || (bound == QHostAddress(QHostAddress::AnyIPv4) && address.protocol() == QAbstractSocket::IPv4Protocol)
            || (bound == QHostAddress(QHostAddress::AnyIPv6) && address.protocol() == QAbstractSocket::IPv6Protocol))
            return true;
    }
    return false;
}

EchoServer::~EchoServer()
{
    // First: it keeps the reader open and watches it come and go.
    delete m_processor;
    m_processor = nullptr;
    for (QTcpServer *server : qAsConst(m_tcpServers))
        server->close();
    m_pWebSocketServer->close();
    // A client deleted while connected says it disconnected, which would
    // take it out of the list being walked.
    const QList<QWebSocket *> clients = std::exchange(m_clients, {});
    for (QWebSocket *client : clients)
        client->disconnect(this);
    qDeleteAll(clients);
    m_recorder.reset();
    servicelog::flush();
}

void EchoServer::applyTrace(const Settings *previous)
{
    using dorvent::config::TraceMode;
    using dorvent::trace::TraceRecorder;
    const bool unchanged = previous && previous->trace == m_settings.trace
                           && previous->traceDirectory == m_settings.traceDirectory;
    // A reload that keeps recording keeps the file; one after a failed start tries again.
    if (unchanged && (m_recorder || m_settings.trace == TraceMode::Off))
        return;
    if (m_recorder && m_logRequests)
        qInfo("trace %s ended", qUtf8Printable(m_recorder->path()));
    m_recorder.reset();
    if (m_settings.trace == TraceMode::Off)
        return;
    TraceRecorder::Options options;
    options.directory = m_settings.traceDirectory;
    options.everything = m_settings.trace == TraceMode::Everything;
    options.createDirectory = m_settings.traceDirectory == QLatin1String(dorvent::config::kDefaultTraceDirectory);
    QString error;
    m_recorder = TraceRecorder::start(options, &error);
    if (!m_recorder) {
        qWarning("not recording a trace: %s", qUtf8Printable(error));
        return;
    }
    m_recorder->follow(m_processor);
    if (m_logRequests)
        qInfo("recording a trace (%s) in %s", qUtf8Printable(dorvent::config::traceModeName(m_settings.trace)),
              qUtf8Printable(m_recorder->path()));
}

QString EchoServer::tracePath() const
{
    return m_recorder && m_recorder->isRecording() ? m_recorder->path() : QString();
}

quint16 EchoServer::serverPort() const
{
    for (const QTcpServer *server : m_tcpServers) {
        if (server->isListening())
            return server->serverPort();
    }
    return 0;
}

QStringList EchoServer::listeningOn() const
{
    QStringList endpoints;
    for (const QTcpServer *server : m_tcpServers) {
        if (!server->isListening())
            continue;
        if (server->serverAddress() == QHostAddress(QHostAddress::Any))
            endpoints << QStringLiteral("*:%1 (every address, IPv4 and IPv6)").arg(server->serverPort());
        else
            endpoints << dorvent::config::endpointText(server->serverAddress(), server->serverPort());
    }
    return endpoints;
}

QString EchoServer::listenError() const
{
    return serverPort() ? QString() : m_listenError;
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
    auto *server = qobject_cast<QTcpServer *>(sender());
    if (!server)
        return;
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        admit(socket);
    }
}

void EchoServer::admit(QTcpSocket *socket)
{
    if (!m_settings.hostAllowed(socket->peerAddress())) {
        if (m_logRequests)
            servicelog::write(servicelog::refusedHost(clientOf(socket)));
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (m_settings.anyOrigin) {
        m_pWebSocketServer->handleConnection(socket); // takes it over
        return;
    }
    // The Origin is in the request head: wait for all of it, then answer 403
    // or let the WebSocket server read it as if it had just arrived.
    auto *timeout = new QTimer(socket);
    timeout->setObjectName(QString::fromLatin1(kAdmissionTimer));
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, socket, &QTcpSocket::abort);
    timeout->start(m_pWebSocketServer->handshakeTimeoutMS());
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { checkRequestHead(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [socket] { socket->deleteLater(); });
    if (socket->bytesAvailable())
        checkRequestHead(socket);
}

void EchoServer::checkRequestHead(QTcpSocket *socket)
{
    const QByteArray bytes = socket->peek(kMaxRequestHead);
    const int end = bytes.indexOf("\r\n\r\n");
    if (end < 0) {
        if (bytes.size() >= kMaxRequestHead)
            refuseHandshake(socket, clientOf(socket), QString(), false, "request head too large");
        return;
    }
    const HeadOrigin origin = originOf(bytes.left(end));
    if (origin.repeated)
        return refuseHandshake(socket, clientOf(socket), origin.value, true, "more than one Origin");
    if (!m_settings.originAllowed(origin.value, origin.present))
        return refuseHandshake(socket, clientOf(socket), origin.value, origin.present, "origin not allowed");
    socket->disconnect(this);
    delete socket->findChild<QTimer *>(QString::fromLatin1(kAdmissionTimer), Qt::FindDirectChildrenOnly);
    m_pWebSocketServer->handleConnection(socket); // reads the head we left in place
}

void EchoServer::refuseHandshake(QTcpSocket *socket, const QString &client, const QString &origin, bool hasOrigin,
                                 const char *reason)
{
    if (m_logRequests)
        servicelog::write(servicelog::connection(client, origin, hasOrigin, reason));
    socket->disconnect(this);
    // Read what was sent, so that closing does not reset the connection
    // before the client has our answer.
    socket->readAll();
    const QByteArray body = QByteArray(reason) + '\n';
    socket->write("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
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
    Pending pending;
    const QString client = clientOf(pSocket);
    pending.label = client.toUtf8();
    m_pending.insert(pSocket, pending);
    if (m_logRequests)
        servicelog::write(servicelog::connection(client, pSocket->origin(), !pSocket->origin().isEmpty(), nullptr));
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
    if (m_logFrames)
        servicelog::write(servicelog::frame("in", pending->label, message));
    if (pending->requests.size() >= kMaxQueuedRequests
        || pending->bytes + message.size() * 2 > kMaxQueuedBytes) {
        closeForPolicy(pClient, QStringLiteral("too many requests waiting"));
        return;
    }
    // Nothing waits and the reader is free: serve at once, without a pass
    // through the event loop, but only a few before the loop gets its turn.
    if (!m_serving && m_queued == 0 && !m_processor->isReaderHeld() && m_servedAtOnce < kMaxServedAtOnce) {
        ++m_servedAtOnce;
        serve(pClient, message);
        return;
    }
    pending->requests.enqueue(message);
    ++m_queued;
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
    if (m_logRequests) {
        auto pending = m_pending.find(client);
        if (pending != m_pending.end())
            pending->startedNs = m_clock.nsecsElapsed();
    }
    m_serving = true;
    m_processor->Process(client, message);
    m_serving = false;
    // Sent when the pass ends (a client served twice in a row is listed once).
    if (client->bytesToWrite() > 0 && (m_replied.isEmpty() || m_replied.constLast() != client))
        m_replied << client;
    checkUnsent(client);
}

void EchoServer::sendReplies()
{
    if (m_replied.isEmpty())
        return;
    servicelog::flush(); // a reply's line is out before the reply
    for (int i = 0; i < m_replied.size(); ++i) {
        QWebSocket *client = m_replied.at(i);
        if (m_pending.contains(client)) // not gone since
            client->flush();
    }
    m_replied.clear();
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
        --m_queued;
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

void EchoServer::onRequestDone(QWebSocket *client, const dorvent::protocol::Outcome &outcome)
{
    if (!m_logRequests)
        return;
    const auto pending = m_pending.constFind(client);
    if (pending == m_pending.cend())
        return;
    servicelog::writeRequest(pending->label, outcome.act, outcome.replied, outcome.code,
                             m_clock.nsecsElapsed() - pending->startedNs);
    if (m_logFrames && outcome.reply)
        servicelog::write(servicelog::frame("out", pending->label, *outcome.reply));
}

void EchoServer::processBinaryMessage(const QByteArray &message)
{
    QWebSocket *pClient = qobject_cast<QWebSocket *>(sender());
    if (m_logFrames && pClient)
        servicelog::write(servicelog::binaryFrame(m_pending.value(pClient).label, message.size()));
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
        m_queued -= pending->requests.size();
        pending->requests.clear();
        pending->bytes = 0;
    }
    if (m_logRequests)
        servicelog::write(servicelog::closed(clientOf(client), code, reason));
    client->close(code, reason);
    // The close frame queues behind what the client is not reading: drop the
    // connection rather than keep that backlog.
    if (client->bytesToWrite() > kMaxUnsentBytes)
        client->abort();
}

void EchoServer::socketDisconnected()
{
    QWebSocket *pClient = qobject_cast<QWebSocket *>(sender());
    if (m_logFrames && pClient)
        servicelog::write(servicelog::disconnected(m_pending.value(pClient).label));
    if (pClient) {
        m_clients.removeAll(pClient);
        const auto pending = m_pending.constFind(pClient);
        if (pending != m_pending.cend()) {
            m_queued -= pending->requests.size();
            m_pending.erase(pending);
        }
        pClient->deleteLater();
    }
}
