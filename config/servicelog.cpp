#include "servicelog.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
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

QByteArray request(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds)
{
    QByteArray line;
    line.reserve(64 + client.size());
    line += "request ";
    line += client;
    if (!act) {
        line += " (unknown action) echoed ";
    } else {
        line += ' ';
        line += act;
        if (replied) {
            line += ' ';
            line += QByteArray::number(code);
            line += ' ';
        } else {
            line += " no reply ";
        }
    }
    // Hundredths of a millisecond, without floating-point formatting.
    const qint64 hundredths = (nanoseconds + 5000) / 10000;
    line += QByteArray::number(hundredths / 100);
    line += '.';
    line += char('0' + hundredths % 100 / 10);
    line += char('0' + hundredths % 10);
    line += " ms";
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
} // namespace

void write(QByteArray line)
{
    if (g_sink)
        return g_sink(line);
    line += '\n';
    const char *data = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // no one reads standard error: the line is lost, the service goes on
        data += written;
        left -= written;
    }
}

void setSink(Sink sink)
{
    g_sink = sink;
}

} // namespace dorvent::config::log
