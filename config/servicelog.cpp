#include "servicelog.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

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

void connection(const QString &client, const QString &origin, bool hasOrigin, const char *refusal)
{
    const QString from = hasOrigin ? QStringLiteral("origin ") + quoted(origin) : QStringLiteral("without Origin");
    if (refusal)
        qInfo("connection %s %s refused: %s", qUtf8Printable(client), qUtf8Printable(from), refusal);
    else
        qInfo("connection %s %s accepted", qUtf8Printable(client), qUtf8Printable(from));
}

void refusedHost(const QString &client)
{
    qInfo("connection %s refused: host not allowed", qUtf8Printable(client));
}

void request(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds)
{
    const double ms = double(nanoseconds) / 1e6;
    if (!act)
        qInfo("request %s (unknown action) echoed %.2f ms", client.constData(), ms);
    else if (!replied)
        qInfo("request %s %s no reply %.2f ms", client.constData(), act, ms);
    else
        qInfo("request %s %s %d %.2f ms", client.constData(), act, code, ms);
}

void closed(const QString &client, int code, const QString &reason)
{
    qInfo("closed %s %d %s", qUtf8Printable(client), code, qUtf8Printable(reason));
}

void frame(const char *direction, const QByteArray &client, const QString &text)
{
    qInfo("frame %s %s %s", direction, client.constData(), qUtf8Printable(maskedFrame(text)));
}

void binaryFrame(const QByteArray &client, qint64 bytes)
{
    qInfo("frame in %s binary, %lld bytes", client.constData(), static_cast<long long>(bytes));
}

void disconnected(const QByteArray &client)
{
    qInfo("disconnected %s", client.constData());
}

} // namespace dorvent::config::log
