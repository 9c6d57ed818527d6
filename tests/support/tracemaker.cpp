#include "tracemaker.h"

#include "emulatedreader.h"
#include "textmessageprocessor.h"

#include <cstring>

namespace testsupport {

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::Transfer;
using dorvent::trace::Event;

TraceMaker::TraceMaker(CTextMessageProcessor &processor, QObject *parent)
    : QObject(parent), m_logged(EmulatedReader::instance().transfers().size())
{
    connect(&processor, &CTextMessageProcessor::requestStarted, this,
            [this](QWebSocket *client, const dorvent::protocol::Request &request) {
                takeTransfers();
                Event event;
                event.kind = Event::Kind::Request;
                event.number = ++m_number;
                event.act = request.act.isEmpty() ? QStringLiteral("?") : request.act;
                event.text = request.text;
                m_events.append(event);
                m_open.append({client, m_number});
            });
    connect(&processor, &CTextMessageProcessor::requestDone, this,
            [this](QWebSocket *client, const dorvent::protocol::Outcome &outcome) {
                takeTransfers();
                int number = 0;
                for (int i = m_open.size() - 1; i >= 0; --i) {
                    if (m_open[i].first == client) {
                        number = m_open[i].second;
                        m_open.remove(i);
                        break;
                    }
                }
                if (!number || !outcome.reply)
                    return;
                Event event;
                event.kind = Event::Kind::Reply;
                event.number = number;
                event.hasCode = outcome.replied;
                event.code = outcome.code;
                event.text = *outcome.reply;
                m_events.append(event);
            });
}

void TraceMaker::takeTransfers()
{
    const std::vector<Transfer> &log = EmulatedReader::instance().transfers();
    if (m_logged > log.size()) // the log was cleared
        m_logged = 0;
    for (; m_logged < log.size(); ++m_logged) {
        const Transfer &transfer = log[m_logged];
        if (!transfer.isSetReport() && !transfer.isGetReport())
            continue;
        Event event;
        event.kind = transfer.isSetReport() ? Event::Kind::Set : Event::Kind::Get;
        event.result = transfer.result;
        std::memcpy(event.report.bytes.data(), transfer.data.data(), dorvent::trace::kReportBytes);
        m_events.append(event);
    }
}

QVector<Event> TraceMaker::events()
{
    takeTransfers();
    return dorvent::trace::parseTrace(text()).events;
}

QByteArray TraceMaker::text()
{
    takeTransfers();
    QByteArray out = QByteArray(dorvent::trace::kFirstLine) + "\n# recording: everything\n"
                     "# made: by the tests, the service against the emulated reader\n";
    for (const Event &event : m_events)
        out += dorvent::trace::formatEvent(event);
    return out;
}

} // namespace testsupport
