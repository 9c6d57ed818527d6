#include "tracedecode.h"

#include "frame.h"
#include "tracecommands.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace dorvent::trace {

namespace {

constexpr unsigned char kContactApdu = 0x72;
constexpr unsigned char kContactlessApdu = 0x86;
// Payload bytes shown in hex; longer payloads (a photo) only by their size.
constexpr int kShownBytes = 16;
constexpr int kContextLines = 3;

// A frame's bytes with the redacted ones marked.
struct Bytes
{
    std::vector<unsigned char> value;
    std::vector<bool> redacted;

    int size() const { return int(value.size()); }
    bool known(int i) const { return i < size() && !redacted[std::size_t(i)]; }
    int at(int i) const { return value[std::size_t(i)]; }
    void append(const Report &report, int from)
    {
        for (int i = from; i < kReportBytes; ++i) {
            value.push_back(report.bytes[std::size_t(i)]);
            redacted.push_back(report.isRedacted(i));
        }
    }
};

QString hexByte(const Bytes &bytes, int i)
{
    if (!bytes.known(i))
        return QStringLiteral("xx");
    return QStringLiteral("%1").arg(bytes.at(i), 2, 16, QLatin1Char('0')).toUpper();
}

QString hexRange(const Bytes &bytes, int from, int count)
{
    QStringList out;
    const int shown = std::min(count, kShownBytes);
    for (int i = from; i < from + shown && i < bytes.size(); ++i)
        out << hexByte(bytes, i);
    QString text = out.join(QLatin1Char(' '));
    if (count > shown)
        text += QStringLiteral(" .. (%1 bytes)").arg(count);
    return text;
}

// The frame's L field, -1 when redacted.
int lengthOf(const Bytes &frame)
{
    if (!frame.known(luvaro::kCountOffset) || !frame.known(luvaro::kCountOffset + 1))
        return -1;
    return frame.at(luvaro::kCountOffset) | frame.at(luvaro::kCountOffset + 1) << 8;
}

QString lengthText(int length)
{
    return length < 0 ? QStringLiteral("L=xx") : QStringLiteral("L=%1").arg(length);
}

// "CLA INS P1 P2" and Lc/Le of a command APDU.
QString apduHeader(const Bytes &frame, int from, int size)
{
    if (size < 4)
        return QStringLiteral("APDU %1").arg(hexRange(frame, from, size));
    QString text = QStringLiteral("APDU %1 %2 %3 %4").arg(hexByte(frame, from), hexByte(frame, from + 1),
                                                         hexByte(frame, from + 2), hexByte(frame, from + 3));
    if (size == 5)
        return text + QStringLiteral(" Le=") + hexByte(frame, from + 4);
    if (size > 5) {
        text += QStringLiteral(" Lc=") + hexByte(frame, from + 4);
        if (frame.known(from + 4) && size == 5 + frame.at(from + 4) + 1)
            text += QStringLiteral(" Le=") + hexByte(frame, from + size - 1);
    }
    return text;
}

QString decodeRequest(const Bytes &frame, int *command)
{
    const int length = lengthOf(frame);
    *command = frame.known(5) ? frame.at(5) : -1;
    const CommandName *name = *command >= 0 ? commandName(static_cast<unsigned char>(*command)) : nullptr;
    QString text = QStringLiteral("-> ");
    if (name)
        text += QStringLiteral("%1 [%2]").arg(QLatin1String(name->name), QLatin1String(name->family));
    else
        text += QStringLiteral("command %1 (not ours)").arg(hexByte(frame, 5));
    if (!frame.known(1) || frame.at(1) != luvaro::kRequestTag)
        text += QStringLiteral(", tag %1 (no request)").arg(hexByte(frame, 1));
    text += QLatin1Char(' ') + lengthText(length);
    // The parameters lie between the command and the checksum.
    const int params = std::min(length < 1 ? 0 : length - 1, frame.size() - 6);
    if (params <= 0)
        return text;
    if ((*command == kContactApdu || *command == kContactlessApdu) && params >= 2) {
        text += *command == kContactApdu ? QStringLiteral(" slot ") : QStringLiteral(" block ");
        text += hexByte(frame, 6) + QLatin1Char(' ') + apduHeader(frame, 8, params - 2);
        return text;
    }
    return text + QStringLiteral(": ") + hexRange(frame, 6, params);
}

QString decodeReply(const Bytes &frame, int requestCommand)
{
    QString text = QStringLiteral("<- ");
    if (!frame.known(luvaro::kStatusOffset))
        text += QStringLiteral("status xx");
    else if (frame.at(luvaro::kStatusOffset) == luvaro::kStatusOk)
        text += QStringLiteral("ok");
    else if (frame.at(luvaro::kStatusOffset) == luvaro::kStatusBusy)
        text += QStringLiteral("busy");
    else
        text += QStringLiteral("failure ") + hexByte(frame, luvaro::kStatusOffset);
    if (!frame.known(1) || frame.at(1) != luvaro::kReplyTag)
        text += QStringLiteral(", tag %1 (no reply)").arg(hexByte(frame, 1));
    const int length = lengthOf(frame);
    text += QLatin1Char(' ') + lengthText(length);
    if (length <= 0)
        return text;
    const int arrived = std::min(length, frame.size() - luvaro::kHeaderSize);
    text += QStringLiteral(", payload %1").arg(arrived);
    if (arrived < length)
        text += QStringLiteral(" of %1").arg(length);
    if (arrived <= kShownBytes)
        text += QStringLiteral(": ") + hexRange(frame, luvaro::kHeaderSize, arrived);
    const bool apdu = requestCommand == kContactApdu || requestCommand == kContactlessApdu;
    const int sw = luvaro::kHeaderSize + arrived - 2;
    if (apdu && arrived >= 2 && frame.known(sw) && frame.known(sw + 1))
        text += QStringLiteral(", SW %1%2").arg(hexByte(frame, sw), hexByte(frame, sw + 1));
    return text;
}

QString eventLine(const Event &event)
{
    QByteArray line = formatEvent(event);
    line.chop(1);
    return QString::fromUtf8(line);
}

// Equal where neither side was redacted.
bool textsMatch(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && a[i] != kRedactedChar && b[i] != kRedactedChar)
            return false;
    return true;
}

bool same(const Event &a, const Event &b)
{
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case Event::Kind::Request:
        return a.number == b.number && textsMatch(a.act, b.act) && textsMatch(a.text, b.text);
    case Event::Kind::Reply:
        return a.number == b.number && a.hasCode == b.hasCode && a.code == b.code && textsMatch(a.text, b.text);
    case Event::Kind::Set:
    case Event::Kind::Get:
        return a.result == b.result && a.report.matches(b.report);
    case Event::Kind::Note:
        break;
    }
    return true;
}

QVector<int> compared(const QVector<Event> &events)
{
    QVector<int> out;
    for (int i = 0; i < events.size(); ++i)
        if (events[i].kind != Event::Kind::Note)
            out.append(i);
    return out;
}

QString frameOf(const QVector<DecodedFrame> &frames, int event)
{
    for (const DecodedFrame &frame : frames)
        if (event >= frame.firstEvent && event <= frame.lastEvent)
            return frame.text;
    return QString();
}

// "request N (ACT)" for the request line at or before the event.
QString requestOf(const QVector<Event> &events, int event)
{
    for (int i = std::min(event, int(events.size()) - 1); i >= 0; --i)
        if (events[i].kind == Event::Kind::Request)
            return QStringLiteral("request %1 (%2)").arg(events[i].number).arg(events[i].act);
    return QStringLiteral("no request (before the first)");
}

QString side(const char *name, const QVector<Event> &events, const QVector<DecodedFrame> &frames, int event)
{
    if (event < 0)
        return QStringLiteral("%1: (ends here)\n").arg(QLatin1String(name));
    QString text = QStringLiteral("%1 %2: %3\n").arg(QLatin1String(name)).arg(events[event].line).arg(eventLine(events[event]));
    const QString decoded = frameOf(frames, event);
    if (!decoded.isEmpty())
        text += QStringLiteral("     %1\n").arg(decoded);
    return text;
}

} // namespace

QVector<DecodedFrame> decodeFrames(const QVector<Event> &events)
{
    QVector<DecodedFrame> frames;
    Bytes bytes;
    int first = -1;
    Event::Kind kind = Event::Kind::Note;
    int requestCommand = -1;
    auto finish = [&](int last, const QString &suffix) {
        DecodedFrame frame;
        frame.firstEvent = first;
        frame.lastEvent = last;
        if (kind == Event::Kind::Set)
            frame.text = decodeRequest(bytes, &requestCommand);
        else
            frame.text = decodeReply(bytes, requestCommand);
        frame.text += suffix;
        frames.append(frame);
        first = -1;
        bytes = Bytes();
    };
    for (int i = 0; i < events.size(); ++i) {
        const Event &event = events[i];
        if (!event.isExchange())
            continue;
        if (first >= 0 && event.kind != kind)
            finish(i - 1, QStringLiteral(" (cut short: its next report never came)"));
        if (event.result < 0) {
            if (first >= 0)
                finish(i - 1, QStringLiteral(" (cut short: its next report failed)"));
            frames.append({i, i, QStringLiteral("%1 transfer failed: libusb error %2")
                                     .arg(event.kind == Event::Kind::Set ? QStringLiteral("->") : QStringLiteral("<-"))
                                     .arg(event.result)});
            continue;
        }
        // The first report keeps its marker; a continuation's is dropped.
        bytes.append(event.report, first >= 0 ? 1 : 0);
        if (first < 0) {
            first = i;
            kind = event.kind;
        }
        const bool more = !event.report.isRedacted(0) && event.report.bytes[0] == luvaro::kMarkerMore;
        if (!more)
            finish(i, QString());
    }
    if (first >= 0)
        finish(int(events.size()) - 1, QStringLiteral(" (cut short: the trace ends)"));
    return frames;
}

QString showTrace(const QVector<Event> &events)
{
    const QVector<DecodedFrame> frames = decodeFrames(events);
    QString out;
    int next = 0;
    for (int i = 0; i < events.size(); ++i) {
        const Event &event = events[i];
        out += event.isExchange() ? QStringLiteral("      ") + eventLine(event) : eventLine(event);
        out += QLatin1Char('\n');
        while (next < frames.size() && frames[next].lastEvent == i)
            out += QStringLiteral("  ") + frames[next++].text + QLatin1Char('\n');
    }
    return out;
}

QString diffTraces(const QVector<Event> &a, const QVector<Event> &b)
{
    const QVector<int> left = compared(a), right = compared(b);
    int k = 0;
    while (k < left.size() && k < right.size() && same(a[left[k]], b[right[k]]))
        ++k;
    if (k == left.size() && k == right.size())
        return QString();

    const int ea = k < left.size() ? left[k] : -1;
    const int eb = k < right.size() ? right[k] : -1;
    const QString lineA = ea >= 0 ? QString::number(a[ea].line) : QStringLiteral("end");
    const QString lineB = eb >= 0 ? QString::number(b[eb].line) : QStringLiteral("end");
    const QString request = ea >= 0 ? requestOf(a, ea) : requestOf(b, eb);
    QString out = QStringLiteral("first difference: A line %1, B line %2, in %3\n").arg(lineA, lineB, request);
    // The lines before agree in both; A's are shown.
    for (int c = std::max(0, k - kContextLines); c < k; ++c) {
        const Event &event = a[left[c]];
        out += QStringLiteral("  %1: %2\n").arg(event.line).arg(eventLine(event));
    }
    out += side("A", a, decodeFrames(a), ea);
    out += side("B", b, decodeFrames(b), eb);
    return out;
}

} // namespace dorvent::trace
