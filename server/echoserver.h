#pragma once

#include <QList>
#include <QObject>

class QWebSocketServer;
class QWebSocket;
class CTextMessageProcessor;

// The service's only network endpoint: plain ws on every address. Text frames
// go to the one command processor, binary frames straight back to the sender.
class EchoServer : public QObject
{
    Q_OBJECT
public:
    explicit EchoServer(quint16 port, bool debug, QObject *parent = nullptr);
    ~EchoServer() override;

    // The port actually bound (useful when constructed with port 0); 0 when not listening.
    quint16 serverPort() const;
    int clientCount() const { return m_clients.size(); }

    // Far above the largest request; Qt's default of 2 GiB lets one client
    // make the process allocate hundreds of megabytes.
    static constexpr qint64 kMaxIncomingSize = 64 * 1024;

signals:
    void closed();

private slots:
    void onNewConnection();
    void processTextMessage(QString message);
    void processBinaryMessage(QByteArray message);
    void socketDisconnected();

private:
    QWebSocketServer *m_pWebSocketServer; // child of this object
    QList<QWebSocket *> m_clients;        // owned; deleted after they disconnect
    bool m_debug;
    CTextMessageProcessor *m_processor;   // one for all clients, never deleted
};
