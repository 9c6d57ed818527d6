#include "tracereplay.h"

#include "resultcodes.h"
#include "textmessageprocessor.h"

#include <QObject>

#include <climits>
#include <cstdio>
#include <cstring>

namespace dorvent::emulator {

using trace::Event;

const QString TraceReplay::kMismatchMessage = QStringLiteral("回放与记录的会话不符");

namespace {

// A failed transfer recorded without its bytes says nothing about them.
bool carriesBytes(const Event &event)
{
    if (event.result >= 0 || event.report.redacted)
        return true;
    for (std::uint8_t byte : event.report.bytes)
        if (byte)
            return true;
    return false;
}

} // namespace

TraceReplay::TraceReplay(const QVector<Event> &events) : m_events(events)
{
    QVector<int> open; // requests whose reply has not come yet, innermost last
    for (int i = 0; i < m_events.size(); ++i) {
        const Event &event = m_events[i];
        switch (event.kind) {
        case Event::Kind::Request: {
            Recorded recorded;
            recorded.number = event.number;
            recorded.act = event.act;
            recorded.event = i;
            open.append(m_requests.size());
            m_requests.append(recorded);
            break;
        }
        case Event::Kind::Reply:
            for (int k = open.size() - 1; k >= 0; --k) {
                if (m_requests[open[k]].number == event.number) {
                    m_requests[open[k]].replyEvent = i;
                    open.remove(k);
                    break;
                }
            }
            break;
        case Event::Kind::Set:
        case Event::Kind::Get:
            if (open.isEmpty())
                m_outside.append(i);
            else
                m_requests[open.last()].exchanges.append(i);
            break;
        case Event::Kind::Note:
            break;
        }
    }
}

TraceReplay::~TraceReplay()
{
    detach();
    uninstall();
}

void TraceReplay::install()
{
    EmulatedReader::instance().setTransferAnswer(
        [this](Transfer &record, unsigned char *data) { return answer(record, data); });
    m_installed = true;
}

void TraceReplay::uninstall()
{
    if (m_installed)
        EmulatedReader::instance().setTransferAnswer(nullptr);
    m_installed = false;
}

void TraceReplay::attach(CTextMessageProcessor &processor)
{
    detach();
    m_processor = &processor;
    m_started = QObject::connect(&processor, &CTextMessageProcessor::requestStarted,
                                 [this](QWebSocket *, const protocol::Request &request) {
                                     startRequest(request.act);
                                 });
    processor.setFailureOverride([this](long *code, QString *message) {
        if (!m_diverged)
            return false;
        *code = luvaro::kReplayMismatch;
        *message = kMismatchMessage;
        return true;
    });
}

void TraceReplay::detach()
{
    QObject::disconnect(m_started);
    if (m_processor)
        m_processor->setFailureOverride(nullptr);
    m_processor = nullptr;
}

void TraceReplay::startRequest(const QString &act)
{
    // The recorder writes "?" for a request without a string action.
    const QString wanted = act.isEmpty() ? QStringLiteral("?") : act;
    m_diverged = false;
    m_unrecorded.clear();
    for (int i = m_searchFrom; i < m_requests.size(); ++i) {
        if (m_requests[i].act != wanted)
            continue;
        m_current = i;
        m_searchFrom = i + 1;
        while (m_nextOutside < m_outside.size() && m_outside[m_nextOutside] < m_requests[i].event)
            ++m_nextOutside;
        return;
    }
    m_current = -1;
    m_unrecorded = wanted;
}

int TraceReplay::nextExchange(Recorded **owner)
{
    *owner = nullptr;
    if (!m_unrecorded.isEmpty())
        return -1;
    if (m_current >= 0) {
        Recorded &current = m_requests[m_current];
        *owner = &current;
        if (current.next < current.exchanges.size())
            return current.exchanges[current.next];
        // A wait recorded as still open across this request goes on polling.
        for (int i = m_current - 1; i >= 0; --i) {
            Recorded &held = m_requests[i];
            if ((held.replyEvent < 0 || held.replyEvent > current.event) && held.next < held.exchanges.size()) {
                *owner = &held;
                return held.exchanges[held.next];
            }
        }
    }
    const int from = m_current >= 0 ? m_requests[m_current].event : -1;
    const int until = m_current + 1 < m_requests.size() ? m_requests[m_current + 1].event : INT_MAX;
    if (m_nextOutside < m_outside.size() && m_outside[m_nextOutside] > from && m_outside[m_nextOutside] < until) {
        *owner = nullptr;
        return m_outside[m_nextOutside];
    }
    return -1;
}

int TraceReplay::answer(Transfer &record, unsigned char *data)
{
    // The rest of a request that left the trace fails as well.
    if (m_diverged)
        return LIBUSB_ERROR_IO;
    const bool set = record.isSetReport();
    trace::Report report;
    if (set)
        std::memcpy(report.bytes.data(), data, trace::kReportBytes);
    Recorded *owner = nullptr;
    const int index = nextExchange(&owner);
    const int step = owner ? owner->next + 1 : m_nextOutside + 1;
    if (index < 0)
        return mismatch(owner, step, -1, set ? &report : nullptr);
    const Event &recorded = m_events[index];
    if (set != (recorded.kind == Event::Kind::Set))
        return mismatch(owner, step, index, set ? &report : nullptr);
    if (set && carriesBytes(recorded) && !recorded.report.matches(report))
        return mismatch(owner, step, index, set ? &report : nullptr);
    if (owner)
        ++owner->next;
    else
        ++m_nextOutside;
    if (!set && recorded.result >= 0)
        std::memcpy(data, recorded.report.bytes.data(), trace::kReportBytes); // redacted bytes read 0
    return recorded.result;
}

int TraceReplay::mismatch(const Recorded *owner, int step, int event, const trace::Report *sentReport)
{
    const bool sentSet = sentReport != nullptr;
    const QString sent = sentSet ? QString::fromLatin1(trace::formatReport(*sentReport))
                                 : QStringLiteral("a fetch (GET_REPORT)");
    QString where;
    if (!m_unrecorded.isEmpty())
        where = QStringLiteral("of a request the trace has no more of (%1)").arg(m_unrecorded);
    else if (owner)
        where = QStringLiteral("of request %1 (%2)").arg(owner->number).arg(owner->act);
    else
        where = QStringLiteral("outside any request");
    int line = 0;
    if (event >= 0)
        line = m_events[event].line;
    else if (owner)
        line = m_events[owner->replyEvent >= 0 ? owner->replyEvent : owner->event].line;

    QString recorded;
    if (event < 0) {
        recorded = owner ? QStringLiteral("none (the request's %1 reports are used up)").arg(owner->exchanges.size())
                         : QStringLiteral("none");
    } else {
        const Event &e = m_events[event];
        recorded = QString::fromLatin1(trace::formatReport(e.report));
        if (e.kind == Event::Kind::Get)
            recorded = QStringLiteral("a reply (GET_REPORT) ") + recorded;
        else if (!sentSet)
            recorded = QStringLiteral("a request (SET_REPORT) ") + recorded;
    }
    m_lastMismatch = QStringLiteral("replay: mismatch at step %1 %2").arg(step).arg(where);
    if (line > 0)
        m_lastMismatch += QStringLiteral(", trace line %1").arg(line);
    m_lastMismatch += QStringLiteral("\n  sent:     %1\n  recorded: %2\n").arg(sent, recorded);
    std::fputs(m_lastMismatch.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    ++m_mismatches;
    m_diverged = true;
    return LIBUSB_ERROR_IO;
}

QString TraceReplay::summary() const
{
    int withReports = 0;
    for (const Recorded &request : m_requests)
        withReports += request.exchanges.isEmpty() ? 0 : 1;
    int reports = 0;
    QString recording = QStringLiteral("not stated");
    for (const Event &event : m_events) {
        reports += event.isExchange() ? 1 : 0;
        if (event.kind == Event::Kind::Note && event.key == QLatin1String("recording"))
            recording = event.text;
    }
    return QStringLiteral("%1 requests (%2 with reports), %3 reports, recording: %4")
        .arg(m_requests.size())
        .arg(withReports)
        .arg(reports)
        .arg(recording);
}

} // namespace dorvent::emulator
