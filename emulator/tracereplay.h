#pragma once

#include "emulatedreader.h"
#include "traceformat.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QVector>

class CTextMessageProcessor;

namespace dorvent::emulator {

// A recorded session served in place of the firmware (dorvent-emu --replay):
// every report the driver sends is compared with the recorded one, every
// fetch answered with the recorded reply, recorded times ignored.
//
// The trace is followed request by request: when the service starts a
// request, the replay moves to the next recorded request of that action
// (what is left of the one before is skipped), so a page that sends fewer or
// other requests than were recorded still meets its own. Reports recorded
// between a reply and the next request are served in order after it; the
// polls of a swipe wait still open across later requests are served once
// the later request has used its own.
//
// A report that differs (redacted bytes match anything), a transfer the
// other way round, or one more than were recorded is a mismatch: one block on
// stderr, the transfer fails (LIBUSB_ERROR_IO) and so does every later one
// of the same request, and the request's reply becomes kReplayMismatch.
class TraceReplay
{
public:
    static const QString kMismatchMessage;

    explicit TraceReplay(const QVector<trace::Event> &events);
    ~TraceReplay();
    TraceReplay(const TraceReplay &) = delete;
    TraceReplay &operator=(const TraceReplay &) = delete;

    // The emulated reader's report transfers are answered from the trace
    // until uninstall() (or destruction).
    void install();
    void uninstall();
    // Follows the processor's requests, and fails the replies of those that
    // left the trace.
    void attach(CTextMessageProcessor &processor);
    void detach();

    // The service began a request for this action.
    void startRequest(const QString &act);
    // Whether the request being served left the trace.
    bool diverged() const { return m_diverged; }
    // The last mismatch as written to stderr; empty before the first.
    const QString &lastMismatch() const { return m_lastMismatch; }
    int mismatches() const { return m_mismatches; }
    // "N requests (M with reports), R reports, recording: MODE".
    QString summary() const;

    // One SET_REPORT or GET_REPORT: what libusb answers.
    int answer(Transfer &record, unsigned char *data);

private:
    struct Recorded
    {
        int number = 0;
        QString act;
        int event = 0;          // its request line
        int replyEvent = -1;    // its reply line; -1 when the trace has none
        QVector<int> exchanges; // its reports, as event indices
        int next = 0;
    };

    // The event the next transfer is compared with, and the request it
    // belongs to (null outside any); -1 when none is left to serve.
    int nextExchange(Recorded **owner);
    // sentReport: what the driver sent, null for a fetch.
    int mismatch(const Recorded *owner, int step, int event, const trace::Report *sentReport);

    QVector<trace::Event> m_events;
    QVector<Recorded> m_requests;
    QVector<int> m_outside; // reports between a reply and the next request
    int m_nextOutside = 0;
    int m_current = -1;     // the request being served, in m_requests
    QString m_unrecorded;   // the action of a request the trace has no more of
    int m_searchFrom = 0;
    bool m_diverged = false;
    int m_mismatches = 0;
    QString m_lastMismatch;
    bool m_installed = false;
    QPointer<CTextMessageProcessor> m_processor;
    QMetaObject::Connection m_started;
};

} // namespace dorvent::emulator
