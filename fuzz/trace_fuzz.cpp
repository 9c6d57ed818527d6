// libFuzzer target: a trace file as a user sends it. dorvent-trace and
// dorvent-emu --replay read such files, so any text must be parsed or refused,
// never read out of bounds; a parsed trace must write back to text that reads
// the same; showing and decoding it must come back. The same bytes, taken as
// reports, go through the recorder's redaction, and as request and reply
// texts through its text masking, which must keep their length.

#include "tracedecode.h"
#include "traceformat.h"
#include "tracerecorder.h"

#include <cstdint>
#include <cstdlib>

using namespace dorvent::trace;

namespace {

QByteArray formatted(const QVector<Event> &events)
{
    QByteArray text = QByteArray(kFirstLine) + '\n';
    for (const Event &event : events)
        text += formatEvent(event);
    return text;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const Parsed parsed = parseTrace(QByteArray(kFirstLine) + '\n' + bytes);
    if (parsed.ok) {
        QVector<Event> events;
        for (const Event &event : parsed.events)
            if (event.kind != Event::Kind::Note || event.text != QLatin1String(kFirstLine).mid(2))
                events.append(event);
        const QByteArray once = formatted(events);
        const Parsed again = parseTrace(once);
        check(again.ok);
        check(formatted(again.events.mid(1)) == once);
        showTrace(parsed.events);
        diffTraces(parsed.events, again.events);
    }

    ReportRedactor redactor;
    for (std::size_t at = 0; at + 1 + kReportBytes <= size; at += 1 + kReportBytes)
        redactor.next(data[at] & 1, data + at + 1, data[at] & 2 ? kReportBytes : -1);

    const QString text = QString::fromUtf8(bytes);
    check(redactedRequestText(text).size() == text.size());
    check(redactedReplyText(QStringLiteral("readIDCard"), text).size() == text.size());
    check(redactedReplyText(QStringLiteral("cardRun"), text).size() == text.size());
    return 0;
}
