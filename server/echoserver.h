#pragma once

#include "settings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>
#include <QVector>
#include <QWebSocketProtocol>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QWebSocketServer;
class QWebSocket;
class CTextMessageProcessor;
namespace dorvent::protocol {
struct Outcome;
}
namespace dorvent::trace {
class TraceRecorder;
}

// The service's only network endpoint: plain ws, by default on every address
// for any origin and any host. Text frames go to the one command processor,
// binary frames straight back to the sender.
//
// The administrator's settings may narrow the addresses it listens on, the
// client hosts it accepts (refused at once) and the origins (refused at the
// handshake with HTTP 403), and set what it logs and whether it records
// its sessions with the reader (trace files).
//
// Requests are served one at a time. A request that finds nothing waiting is
// served at once (a few per event-loop pass); otherwise requests queue per
// client and are served in rounds, one per client in turn, with a return to
// the event loop after each round: a client that pipelines many requests
// cannot hold up another client's handshake or request. While a swipe read
// waits on the event loop holding the reader, requests that need no reader
// are still served and the others wait for it; a client's own requests keep
// their order. The replies of an event-loop pass are written to their
// sockets as the pass ends, after the log's lines. A client that lets
// replies pile up unread, or queues too many requests, is closed with 1008,
// one that sends a message over 64 KiB with 1009, and nothing else changes.
class EchoServer : public QObject
{
    Q_OBJECT
public:
    // debug: every frame logged (masked); otherwise the built-in settings.
    explicit EchoServer(quint16 port, bool debug, QObject *parent = nullptr);
    EchoServer(quint16 port, const dorvent::config::Settings &settings, QObject *parent = nullptr);
    ~EchoServer() override;

    // Settings read again: the new addresses are bound before the old ones
    // are closed (if one cannot be, the old ones stay), and clients the new
    // settings refuse are closed with 1008.
    void applySettings(const dorvent::config::Settings &settings);
    const dorvent::config::Settings &settings() const { return m_settings; }
    // The file this session is recorded in; empty while not recording.
    QString tracePath() const;

    // The port actually bound (useful when constructed with port 0); 0 when not listening.
    quint16 serverPort() const;
    // "address:port" of every listening socket.
    QStringList listeningOn() const;
    // Why listening failed (empty while listening).
    QString listenError() const;
    int clientCount() const { return m_clients.size(); }
    // Reply bytes written to clients but not yet taken by their connections, all clients together.
    qint64 unsentBytes() const;
    // The one processor every client's requests go to.
    CTextMessageProcessor *processor() const { return m_processor; }

    // Far above the largest request; a larger message is refused with 1009.
    static constexpr qint64 kMaxIncomingSize = 64 * 1024;
    // Qt's own bound (its default of 2 GiB lets one client make the process
    // allocate hundreds of megabytes). Qt drops the connection at the header
    // of a frame over it, so the rest of the message meets a closed socket
    // and the reset can reach a browser before the 1009 does. Between the two
    // bounds a message is read whole and then refused with a clean close.
    static constexpr qint64 kMaxBufferedSize = 1024 * 1024;
    // The largest reply (an identity card with fingerprint) is about 7 KB:
    // 1 MiB unsent is a client that is not reading.
    static constexpr qint64 kMaxUnsentBytes = 1024 * 1024;
    // A page pipelines a few dozen requests at most.
    static constexpr int kMaxQueuedRequests = 256;
    // Requests served as they arrive before the event loop gets a turn.
    static constexpr int kMaxServedAtOnce = 16;
    // Keeps 256 requests near the 64 KiB bound from holding 16 MiB.
    static constexpr qint64 kMaxQueuedBytes = 1024 * 1024;
    // A handshake's request line and headers, read before the Origin check;
    // browsers send well under 2 KiB.
    static constexpr qint64 kMaxRequestHead = 16 * 1024;

signals:
    void closed();

private slots:
    void onTcpConnection();
    void onNewConnection();
    void processTextMessage(const QString &message);
    void processBinaryMessage(const QByteArray &message);
    void socketDisconnected();
    void serveNext();

private:
    void sendReplies();
    void onRequestDone(QWebSocket *client, const dorvent::protocol::Outcome &outcome);
    struct Pending
    {
        QQueue<QString> requests;
        qint64 bytes = 0;
        bool closing = false; // closed by us for a bound; anything it still sends is dropped
        QByteArray label;     // "address:port", formatted once for the log
        qint64 startedNs = 0; // when its request in service started, on m_clock
    };

    void init(quint16 port);
    // Listening sockets on every configured address, all on one port; empty
    // when one of them cannot be bound (none is kept open then).
    QList<QTcpServer *> listen(const QVector<QHostAddress> &addresses, quint16 port);
    // Whether a connection to this local address would be accepted now.
    bool listensOn(const QHostAddress &local) const;
    // Host check, then (when origins are narrowed) the Origin check, then the handshake.
    void admit(QTcpSocket *socket);
    // Waits for the whole request head; then refuses or hands the socket over.
    void checkRequestHead(QTcpSocket *socket);
    void refuseHandshake(QTcpSocket *socket, const QString &client, const QString &origin, bool hasOrigin,
                         const char *reason);

    // Closes a client over a bound; a backlog it is not reading is dropped with the connection.
    void closeForPolicy(QWebSocket *client, const QString &reason,
                        QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodePolicyViolated);
    // Whether a client's next request may run now.
    bool canServe(QWebSocket *client) const;
    void serve(QWebSocket *client, const QString &message);
    void scheduleServing();
    // Refuses a message over kMaxIncomingSize; true when it did.
    bool refuseOversized(QWebSocket *client, qint64 bytes);
    void checkUnsent(QWebSocket *client);
    // Starts, keeps or ends the recording as m_settings say (previous: the
    // settings before a reload).
    void applyTrace(const dorvent::config::Settings *previous);

    QList<QTcpServer *> m_tcpServers;     // children; accept, then hand sockets to m_pWebSocketServer
    QWebSocketServer *m_pWebSocketServer; // child of this object
    QList<QWebSocket *> m_clients;        // owned; deleted after they disconnect
    QHash<QWebSocket *, Pending> m_pending;
    int m_turn = 0;                       // index in m_clients where the next round starts
    int m_queued = 0;                     // requests waiting in m_pending, all clients together
    bool m_serving = false;
    int m_servedAtOnce = 0;               // since the event loop last went idle or served a round
    QTimer m_serveTimer;                  // zero-interval: one round per event-loop pass
    QVector<QWebSocket *> m_replied;      // served in this pass
    dorvent::config::Settings m_settings;
    bool m_logRequests = true;            // m_settings.log, read per request
    bool m_logFrames = false;
    QElapsedTimer m_clock;                // request times
    quint16 m_port = 0;                   // as asked for; bound again after a reload
    QString m_listenError;                // the last failed listen()
    CTextMessageProcessor *m_processor;   // one for all clients, deleted with the server
    std::unique_ptr<dorvent::trace::TraceRecorder> m_recorder; // while the settings record
};
