#include "traceformat.h"

#include <QFile>

namespace dorvent::trace {

namespace {

constexpr qint64 kMicrosPerSecond = 1000000;
constexpr qint64 kMaxTraceBytes = 512LL * 1024 * 1024;

const char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray escaped(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || u == '%') {
            out += '%';
            out += kHexDigits[u >> 4];
            out += kHexDigits[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool unescaped(const QByteArray &text, QString *out)
{
    QByteArray utf8;
    utf8.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            utf8 += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high < 0 ? -1 : hexValue(text[i + 2]);
        if (low < 0)
            return false;
        utf8 += static_cast<char>(high << 4 | low);
        i += 2;
    }
    *out = QString::fromUtf8(utf8);
    return true;
}

QByteArray elapsedText(qint64 us)
{
    if (us < 0)
        us = 0;
    QByteArray fraction = QByteArray::number(us % kMicrosPerSecond);
    fraction.prepend(QByteArray(6 - fraction.size(), '0'));
    return '+' + QByteArray::number(us / kMicrosPerSecond) + '.' + fraction;
}

bool parseElapsed(const QByteArray &text, qint64 *us)
{
    const int dot = text.indexOf('.');
    if (!text.startsWith('+') || dot < 2 || text.size() - dot - 1 != 6)
        return false;
    bool wholeOk = false, fractionOk = false;
    const qint64 whole = text.mid(1, dot - 1).toLongLong(&wholeOk);
    const qint64 fraction = text.mid(dot + 1).toLongLong(&fractionOk);
    if (!wholeOk || !fractionOk || whole < 0 || fraction < 0 || whole > 1000000000LL)
        return false;
    *us = whole * kMicrosPerSecond + fraction;
    return true;
}

// Splits off the first word of rest (up to a space); false when there is none.
bool takeWord(QByteArray &rest, QByteArray *word)
{
    if (rest.isEmpty())
        return false;
    const int space = rest.indexOf(' ');
    *word = space < 0 ? rest : rest.left(space);
    rest = space < 0 ? QByteArray() : rest.mid(space + 1);
    return !word->isEmpty();
}

QString parseExchange(QByteArray rest, Event *event)
{
    QByteArray word;
    if (!takeWord(rest, &word) || !parseElapsed(word, &event->elapsedUs))
        return QStringLiteral("the time since the previous report must read +SECONDS.MICROSECONDS");
    bool ok = false;
    if (!takeWord(rest, &word) || (event->result = word.toInt(&ok), !ok))
        return QStringLiteral("libusb's result must be a whole number");
    for (int i = 0; i < kReportBytes; ++i) {
        if (!takeWord(rest, &word) || word.size() != 2)
            return QStringLiteral("a report is 32 bytes, each two hex digits or xx");
        if (word == "xx") {
            event->report.redacted |= 1u << i;
            event->report.bytes[i] = 0;
            continue;
        }
        const int high = hexValue(word[0]), low = hexValue(word[1]);
        if (high < 0 || low < 0)
            return QStringLiteral("'%1' is no hex byte").arg(QString::fromLatin1(word));
        event->report.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (!rest.isEmpty())
        return QStringLiteral("more than 32 bytes in a report");
    return QString();
}

QString parseLine(const QByteArray &line, Event *event)
{
    if (line.startsWith('#')) {
        event->kind = Event::Kind::Note;
        QString text;
        if (!unescaped(line.mid(line.startsWith("# ") ? 2 : 1), &text))
            return QStringLiteral("a broken %HH escape");
        event->text = text;
        const int colon = text.indexOf(QLatin1String(": "));
        if (colon > 0 && !text.left(colon).contains(QLatin1Char(' '))) {
            event->key = text.left(colon);
            event->text = text.mid(colon + 2);
        }
        return QString();
    }
    if (line.startsWith("> ") || line.startsWith("< ")) {
        event->kind = line[0] == '>' ? Event::Kind::Set : Event::Kind::Get;
        return parseExchange(line.mid(2), event);
    }
    QByteArray rest = line, word;
    takeWord(rest, &word);
    const bool request = word == "request";
    if (!request && word != "reply")
        return QStringLiteral("a line starts with #, >, <, request or reply");
    event->kind = request ? Event::Kind::Request : Event::Kind::Reply;
    bool ok = false;
    if (!takeWord(rest, &word) || (event->number = word.toInt(&ok), !ok) || event->number < 1)
        return QStringLiteral("the request's number must be a whole number from 1");
    if (!takeWord(rest, &word))
        return request ? QStringLiteral("the request's action is missing")
                       : QStringLiteral("the reply's code is missing");
    if (request) {
        if (!unescaped(word, &event->act))
            return QStringLiteral("a broken %HH escape");
    } else if (word != "-") {
        event->hasCode = true;
        event->code = word.toLong(&ok);
        if (!ok)
            return QStringLiteral("the reply's code must be a whole number or -");
    }
    if (!unescaped(rest, &event->text))
        return QStringLiteral("a broken %HH escape");
    return QString();
}

} // namespace

bool Report::matches(const Report &other) const
{
    const std::uint32_t either = redacted | other.redacted;
    for (int i = 0; i < kReportBytes; ++i)
        if (!(either >> i & 1u) && bytes[i] != other.bytes[i])
            return false;
    return true;
}

QByteArray formatReport(const Report &report)
{
    QByteArray out;
    out.reserve(kReportBytes * 3);
    for (int i = 0; i < kReportBytes; ++i) {
        if (i)
            out += ' ';
        if (report.isRedacted(i)) {
            out += "xx";
        } else {
            out += kHexDigits[report.bytes[i] >> 4];
            out += kHexDigits[report.bytes[i] & 0xF];
        }
    }
    return out;
}

QByteArray formatEvent(const Event &event)
{
    QByteArray line;
    switch (event.kind) {
    case Event::Kind::Note:
        line = "# " + escaped(event.key.isEmpty() ? event.text : event.key + QLatin1String(": ") + event.text);
        break;
    case Event::Kind::Request: {
        const QByteArray act = escaped(event.act).replace(' ', "%20");
        line = "request " + QByteArray::number(event.number) + ' ' + (act.isEmpty() ? QByteArray("?") : act)
               + ' ' + escaped(event.text);
        break;
    }
    case Event::Kind::Reply:
        line = "reply " + QByteArray::number(event.number) + ' '
               + (event.hasCode ? QByteArray::number(qlonglong(event.code)) : QByteArray("-")) + ' '
               + escaped(event.text);
        break;
    case Event::Kind::Set:
    case Event::Kind::Get:
        line = (event.kind == Event::Kind::Set ? "> " : "< ") + elapsedText(event.elapsedUs) + ' '
               + QByteArray::number(event.result) + ' ' + formatReport(event.report);
        break;
    }
    line += '\n';
    return line;
}

Parsed parseTrace(const QByteArray &text)
{
    Parsed parsed;
    int number = 0;
    int from = 0;
    while (from < text.size()) {
        int end = text.indexOf('\n', from);
        if (end < 0)
            end = text.size();
        QByteArray line = text.mid(from, end - from);
        from = end + 1;
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (number == 1 && line != kFirstLine) {
            parsed = {false, {}, QStringLiteral("1: not a dorvent trace (the first line must be \"%1\")")
                                     .arg(QLatin1String(kFirstLine))};
            return parsed;
        }
        if (line.isEmpty())
            continue;
        Event event;
        event.line = number;
        const QString error = parseLine(line, &event);
        if (!error.isEmpty()) {
            parsed = {false, {}, QStringLiteral("%1: %2").arg(number).arg(error)};
            return parsed;
        }
        parsed.events.append(event);
    }
    if (number == 0)
        parsed = {false, {}, QStringLiteral("1: an empty file is no trace")};
    return parsed;
}

Parsed readTraceFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {false, {}, QStringLiteral("%1: %2").arg(path, file.errorString())};
    if (file.size() > kMaxTraceBytes)
        return {false, {}, QStringLiteral("%1: larger than a trace can be (512 MiB)").arg(path)};
    Parsed parsed = parseTrace(file.readAll());
    if (!parsed.ok)
        parsed.error = path + QLatin1Char(':') + parsed.error;
    return parsed;
}

bool textMatches(const QString &text, const QString &recorded)
{
    if (text.size() != recorded.size())
        return false;
    for (int i = 0; i < text.size(); ++i)
        if (recorded.at(i) != kRedactedChar && recorded.at(i) != text.at(i))
            return false;
    return true;
}

} // namespace dorvent::trace
