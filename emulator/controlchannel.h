#pragma once

#include <QObject>
#include <QString>

class QWebSocketServer;

namespace dorvent::emulator {

// Changes the emulated reader while dorvent-emu runs, so pages can be tried
// against a card taken away, an unplugged reader or a slow one. One JSON
// object per WebSocket text message, on loopback only and on a port of its
// own: the service's port keeps its protocol untouched.
//
//   {"cmd":"list"}                           the deck, the plug, the latency
//   {"cmd":"place","place":"field","card":"typeA-cpu"}
//       cards: "cpu", "typeA-cpu", "idcard", "bank" (field), "bank-contact",
//       "sscard" (third generation), "sscard2" (second), "sscard-contactless",
//       "ss-sam", "ss-sam-corrupted" (its key one byte off)
//   {"cmd":"remove","place":"slot1"}
//   {"cmd":"unplug"}  {"cmd":"plug"}
//   {"cmd":"latency","ms":20}                per control transfer, 0 to 1000
//   {"cmd":"place","place":"slot1","card":"4442"}   memory cards: "4442", "4428"
//   {"cmd":"swipe"}                          the demo card through the stripe head, or
//   {"cmd":"swipe","track2":"6222...=2512","afterPolls":3}  one's own (track1..3), on a later poll
//   {"cmd":"swipe","error":true}             a stripe the head cannot read
//
// Every reply: {"id": the request's "id", "ok": bool, "error": text when not
// ok, "state": {...}} with the state after the command. Commands run on the
// event loop between two USB exchanges of the service, never during one.
class ControlChannel : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kPort = 17799;

    // Listens on 127.0.0.1:port (0: any free port); see isListening().
    explicit ControlChannel(quint16 port = kPort, QObject *parent = nullptr);

    bool isListening() const;
    quint16 port() const;

    // One command text in, its reply text out.
    static QString handle(const QString &command);

private:
    void onNewConnection();

    QWebSocketServer *m_server; // child of this
};

// dorvent-emu's channel on kPort; warns and goes on without one when the port
// is taken.
void startControlChannel();

} // namespace dorvent::emulator
