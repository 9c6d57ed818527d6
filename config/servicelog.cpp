#include "servicelog.h"

#include <QAbstractEventDispatcher>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace dorvent::config::log {

namespace {

constexpr int kMaxQuoted = 200;
constexpr int kMaxShownValue = 64;

// Values that identify the request and its outcome, never card data.
const QSet<QString> &shownKeys()
{
    static const QSet<QString> keys = {
        QStringLiteral("_act"),    QStringLiteral("_tflag"),   QStringLiteral("functionName"),
        QStringLiteral("success"), QStringLiteral("msg"),      QStringLiteral("type"),
        QStringLiteral("slotNo"),  QStringLiteral("keyType"),  QStringLiteral("addr"),
        QStringLiteral("offset"),  QStringLiteral("size"),     QStringLiteral("outTime"),
        QStringLiteral("mgNum"),   QStringLiteral("outType"),  QStringLiteral("appendEnter"),
    };
    return keys;
}

QString lengthOf(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return QStringLiteral("<%1 chars>").arg(value.toString().size());
    case QJsonValue::Array:
        return QStringLiteral("<array of %1>").arg(value.toArray().size());
    case QJsonValue::Object:
        return QStringLiteral("<object of %1>").arg(value.toObject().size());
    default:
        return QStringLiteral("<value>");
    }
}

} // namespace

QString quoted(const QString &text)
{
    QString out;
    out.reserve(qMin(text.size(), kMaxQuoted) + 8);
    out += QLatin1Char('"');
    for (int i = 0; i < text.size() && i < kMaxQuoted; ++i) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (text.size() > kMaxQuoted)
        out += QLatin1String("...");
    out += QLatin1Char('"');
    return out;
}

QString maskedFrame(const QString &text)
{
    // Read as the processor reads requests: apostrophes are quotes.
    QString normalised = text;
    normalised.replace(QLatin1Char('\''), QLatin1Char('"'));
    const QJsonDocument document = QJsonDocument::fromJson(normalised.toUtf8());
    if (!document.isObject())
        return QStringLiteral("(not a JSON object, %1 chars)").arg(text.size());
    const QJsonObject object = document.object();
    QStringList fields;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        QString shown;
        if (shownKeys().contains(it.key()) && (value.isString() || value.isDouble() || value.isBool())) {
            if (!value.isString())
                shown = value.isBool() ? QString::fromLatin1(value.toBool() ? "true" : "false")
                                       : QString::number(value.toDouble(), 'g', 17);
            else
                shown = value.toString().size() <= kMaxShownValue ? quoted(value.toString()) : lengthOf(value);
        } else {
            shown = lengthOf(value);
        }
        fields << quoted(it.key()) + QLatin1Char(':') + shown;
    }
    return QLatin1Char('{') + fields.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString maskedJournalLine(const QString &line)
{
    QString masked;
    int from = 0;
    // Each outermost {...} that reads as a JSON object.
    for (int open = line.indexOf(QLatin1Char('{')); open >= 0; open = line.indexOf(QLatin1Char('{'), from)) {
        int depth = 0;
        int close = -1;
        for (int i = open; i < line.size() && close < 0; ++i) {
            if (line.at(i) == QLatin1Char('{'))
                ++depth;
            else if (line.at(i) == QLatin1Char('}') && --depth == 0)
                close = i;
        }
        if (close < 0)
            break;
        const QString object = line.mid(open, close - open + 1);
        const QString frame = maskedFrame(object);
        masked += line.midRef(from, open - from);
        masked += frame.startsWith(QLatin1Char('(')) ? object : frame;
        from = close + 1;
    }
    masked += line.midRef(from);
    static const QRegularExpression kLongRuns(QStringLiteral("\\b[0-9A-Fa-f]{8,}\\b|[0-9]{8,}"));
    masked.replace(kLongRuns, QStringLiteral("<masked>"));
    return masked;
}

QByteArray connection(const QString &client, const QString &origin, bool hasOrigin, const char *refusal)
{
    QByteArray line = "connection " + client.toUtf8();
    line += hasOrigin ? " origin " + quoted(origin).toUtf8() : QByteArray(" without Origin");
    if (refusal)
        line += QByteArray(" refused: ") + refusal;
    else
        line += " accepted";
    return line;
}

QByteArray refusedHost(const QString &client)
{
    return "connection " + client.toUtf8() + " refused: host not allowed";
}

namespace {

// Writes value in decimal at out (room for 20 characters); returns the length.
int decimal(char *out, qint64 value)
{
    char digits[20];
    int n = 0;
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    int length = 0;
    if (value < 0)
        out[length++] = '-';
    while (n)
        out[length++] = digits[--n];
    return length;
}

} // namespace

namespace {

// The most a request's line takes beyond its client and action.
constexpr int kRequestLineExtra = int(sizeof "request  (unknown action) echoed  ms") + 2 * 20;

// Writes the request's line at out, which has room for kRequestLineExtra
// more bytes than the client and the action; returns its length.
int formatRequest(char *const start, const QByteArray &client, const char *act, int actSize, bool replied,
                  int code, qint64 nanoseconds)
{
    char *out = start;
    const auto put = [&out](const char *text, int size) {
        std::memcpy(out, text, size_t(size));
        out += size;
    };
    put("request ", 8);
    put(client.constData(), client.size());
    if (!act) {
        put(" (unknown action) echoed ", 25);
    } else {
        *out++ = ' ';
        put(act, actSize);
        if (replied) {
            *out++ = ' ';
            out += decimal(out, code);
            *out++ = ' ';
        } else {
            put(" no reply ", 10);
        }
    }
    // Hundredths of a millisecond, without floating-point formatting.
    const qint64 hundredths = (nanoseconds + 5000) / 10000;
    out += decimal(out, hundredths / 100);
    *out++ = '.';
    *out++ = char('0' + hundredths % 100 / 10);
    *out++ = char('0' + hundredths % 10);
    put(" ms", 3);
    return int(out - start);
}

} // namespace

QByteArray request(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds)
{
    const int actSize = act ? int(std::strlen(act)) : 0;
    QByteArray line(client.size() + actSize + kRequestLineExtra, Qt::Uninitialized);
    line.truncate(formatRequest(line.data(), client, act, actSize, replied, code, nanoseconds));
    return line;
}

QByteArray closed(const QString &client, int code, const QString &reason)
{
    return "closed " + client.toUtf8() + ' ' + QByteArray::number(code) + ' ' + reason.toUtf8();
}

QByteArray frame(const char *direction, const QByteArray &client, const QString &text)
{
    return QByteArray("frame ") + direction + ' ' + client + ' ' + maskedFrame(text).toUtf8();
}

QByteArray binaryFrame(const QByteArray &client, qint64 bytes)
{
    return "frame in " + client + " binary, " + QByteArray::number(bytes) + " bytes";
}

QByteArray disconnected(const QByteArray &client)
{
    return "disconnected " + client;
}

namespace {

Sink g_sink = nullptr;

// Past this a pass's lines are written at once; a write of up to 4 KiB to a
// pipe is never interleaved with another writer's.
constexpr int kHeldBytes = 4096;

void writeOut(const char *data, qint64 left)
{
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // no one reads standard error: the lines are lost, the service goes on
        data += written;
        left -= written;
    }
}

// The lines one thread holds until its event loop ends the pass. The cost:
// a crash (or a signal's default action) loses the lines of the pass it
// stopped, at most a few milliseconds of them; an ordinary exit writes them.
struct Held
{
    QByteArray lines; // each with its newline

    void write()
    {
        if (lines.isEmpty())
            return;
        writeOut(lines.constData(), lines.size());
        lines.resize(0); // keeps the reserved capacity
    }
};

// Set while this thread's event loop exists; a plain pointer, so that it
// stays readable in whatever runs late at exit.
thread_local Held *t_held = nullptr;

void writeHeld()
{
    if (t_held)
        t_held->write();
}

void stopHolding()
{
    writeHeld();
    delete t_held;
    t_held = nullptr;
}

QtMessageHandler g_qtHandler = nullptr;

// Qt's messages come after the lines held before them, as they did when
// every line was written at once.
void flushThenLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    writeHeld();
    if (g_qtHandler)
        return g_qtHandler(type, context, message);
    // What Qt's own handler does on a system without journald support.
    const QString text = qFormatLogMessage(type, context, message);
    if (text.isNull())
        return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void write(QByteArray line)
{
    if (g_sink)
        return g_sink(line);
    Held *held = t_held;
    if (!held) {
        line += '\n';
        return writeOut(line.constData(), line.size());
    }
    if (held->lines.size() + line.size() >= kHeldBytes) {
        held->write();
        if (line.size() >= kHeldBytes) {
            line += '\n';
            return writeOut(line.constData(), line.size());
        }
    }
    held->lines += line;
    held->lines += '\n';
}

void writeRequest(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds)
{
    Held *held = t_held;
    const int actSize = act ? int(std::strlen(act)) : 0;
    const int most = client.size() + actSize + kRequestLineExtra + 1;
    if (g_sink || !held || most >= kHeldBytes)
        return write(request(client, act, replied, code, nanoseconds));
    // Formatted in place, at the end of what is held.
    int size = held->lines.size();
    if (size + most >= kHeldBytes) {
        held->write();
        size = 0;
    }
    held->lines.resize(size + most);
    char *const at = held->lines.data() + size;
    const int length = formatRequest(at, client, act, actSize, replied, code, nanoseconds);
    at[length] = '\n';
    held->lines.resize(size + length + 1);
}

void flush()
{
    writeHeld();
}

void holdLinesPerPass()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (t_held || !dispatcher)
        return;
    t_held = new Held;
    t_held->lines.reserve(kHeldBytes);
    // awake ends a pass that waited and starts one that did not (a loop
    // polling with processEvents()), with either dispatcher: before the
    // sockets' write notifications for what the pass sent.
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, writeHeld);
    // On the thread itself, as its loop goes (the main thread's with the application).
    QObject::connect(dispatcher, &QObject::destroyed, stopHolding);
    static std::once_flag installed;
    std::call_once(installed, [] {
        g_qtHandler = qInstallMessageHandler(flushThenLog);
        std::atexit(writeHeld); // exit() without the application's end
    });
}

void setSink(Sink sink)
{
    g_sink = sink;
}

} // namespace dorvent::config::log
