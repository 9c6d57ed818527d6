#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QWebSocket>

class EchoServer;
namespace dorvent::emulator {
class EmulatedReader;
}

namespace testsupport {

// A QWebSocket client that waits for replies on the event loop.
class WsClient : public QObject
{
    Q_OBJECT
public:
    explicit WsClient(quint16 port, QObject *parent = nullptr);
    ~WsClient() override;

    bool isConnected() const;
    // Sends one text frame and waits for one text reply; empty on time-out.
    QString request(const QString &text, int timeoutMs = 15000);
    // Sends one text frame and returns every text frame that arrives within the wait.
    QStringList sendAndCollect(const QString &text, int waitMs);
    QJsonObject requestJson(const QString &text, int timeoutMs = 15000);
    QWebSocket &socket() { return m_socket; }

    QStringList texts;
    QList<QByteArray> binaries;

private:
    QWebSocket m_socket;
};

// An in-process server on a free port.
EchoServer *startServer(QObject *parent = nullptr);
quint16 portOf(EchoServer *server);

// What the protocol tests share: a service on a free port and one connected
// client, new for each test function (start in init(), stop in cleanup()),
// in front of the emulated reader.
class ServiceTest
{
protected:
    ~ServiceTest();
    // A new service and client; false when the client cannot connect.
    bool startService();
    void stopService();
    static dorvent::emulator::EmulatedReader &reader();
    // "open" through the service, which must succeed.
    void open();

    EchoServer *m_server = nullptr;
    WsClient *m_client = nullptr;
};

// The request {"_act":"<name>"}, with "_tflag" when a tag is given.
QString act(const char *name, const char *tag = nullptr);
// The standard reply as the service writes it: compact, keys in code-unit
// order, "data" only when there is some.
QString replyText(const QString &name, int code, const QString &msg, const QString &data = QString(),
                  const QString &tag = QString());

} // namespace testsupport
