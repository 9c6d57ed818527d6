#pragma once

// The session recorder: every report the driver moves, with the request that
// caused it and the reply sent, written line by line in the format of
// traceformat.h as it happens, so that a crash keeps what came before.
//
// Redacted (the default) replaces, byte for byte and character for
// character, what belongs to a card holder or opens a card; everything else
// stays, so that a redacted trace still shows and replays the card-finding
// steps. The rules, by frame offset (frame.h):
//
//   request 44 (M1 authenticate)        the 6 key bytes, offsets 8..13
//   request 54 55 64 65 (4442/4428 codes) every parameter
//   request 72, and 86 with block 00     the APDU after CLA INS P1 P2 Lc (offset 13 on)
//   reply to 72                          the card's answer but its status word
//   reply to 86                          the answer after 00 and the block byte, but the status word
//   reply to B4 B5 (identity card)       the whole payload: text, photo, fingerprint
//   reply to 30 (swipe)                  the whole payload: the tracks
//
// and with any of a frame's bytes its checksum. Busy replies and padding
// past a frame's end are kept. In the texts: "key" of every request, "apdu"
// after its first 10 characters; the values of identity-card,
// social-security and bank-card reads but the standard keys; "data" of
// cardRun and mcardRun but its last 4 characters, "data" of scardRead.
// Values are masked where they stand in the text (every character between
// the quotes, escapes included, becomes '*'): the text keeps its length and
// key order, and stays JSON.

#include "luvarocard.h"
#include "traceformat.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>

class CTextMessageProcessor;
class QWebSocket;

namespace dorvent::protocol {
struct Request;
struct Outcome;
} // namespace dorvent::protocol

namespace dorvent::trace {

// Which bytes of each report to redact, decided report by report from the
// frames they carry.
class ReportRedactor
{
public:
    // Bit i set: byte i of this report is personal.
    std::uint32_t next(bool set, const std::uint8_t *report, int result);

private:
    void startFrame(bool set, const std::uint8_t *report);

    enum class Direction { None, Set, Get };
    Direction m_direction = Direction::None; // of the frame under way
    bool m_ended = true;                     // its last report carried marker 0x02
    int m_reports = 0;                       // its reports so far
    int m_from = 0;                          // its redacted offsets: [m_from, m_to)
    int m_to = 0;
    int m_checksum = -1;                     // its checksum offset, when redacted
    std::uint8_t m_command = 0;              // of the last request frame
};

QString redactedRequestText(const QString &text);
// act: the action the reply answers.
QString redactedReplyText(const QString &act, const QString &text);

class TraceRecorder : public QObject, private luvaroCard::TransferObserver
{
    Q_OBJECT
public:
    struct Options
    {
        QString directory;
        bool everything = false;
        bool createDirectory = false; // make it (0700) when absent: the default path only
    };
    static constexpr qint64 kMaxBytes = 256LL * 1024 * 1024;

    // A new file, dorvent-YYYYMMDD-HHMMSS-PID.trace (UTC), 0600, in a
    // directory no one else may write; from now on the driver's transfers
    // are recorded. Null, and why in *error, when there is no such file.
    static std::unique_ptr<TraceRecorder> start(const Options &options, QString *error);
    ~TraceRecorder() override;

    // Records the requests and replies of this processor.
    void follow(CTextMessageProcessor *processor);

    QString path() const { return m_path; }
    // False once the file reached its bound or could not be written.
    bool isRecording() const { return m_fd >= 0; }
    // Where the file stops (kMaxBytes unless a test says otherwise).
    void setByteLimit(qint64 bytes);

private:
    TraceRecorder(int fd, QString path, bool everything);
    void transferred(bool set, const unsigned char *report, int result) override;
    void onRequestStarted(QWebSocket *client, const dorvent::protocol::Request &request);
    void onRequestDone(QWebSocket *client, const dorvent::protocol::Outcome &outcome);
    void write(const Event &event);
    bool writeBytes(const QByteArray &bytes);
    void finish(const QByteArray &lastLine);

    struct OpenRequest
    {
        int number;
        QWebSocket *client; // compared only, never used
        QString act;
    };

    int m_fd = -1;
    QString m_path;
    bool m_everything = false;
    qint64 m_written = 0;
    qint64 m_limit = kMaxBytes;
    QByteArray m_stopNote;
    QElapsedTimer m_clock;
    qint64 m_lastReportNs = 0;
    ReportRedactor m_redactor;
    int m_requests = 0;
    QVector<OpenRequest> m_open; // started, not yet answered
    QPointer<CTextMessageProcessor> m_processor;
};

} // namespace dorvent::trace
