#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace dorvent::protocol {

// One request as read at its start, once: handlers read their fields from
// the parsed object, never from the text again.
struct Request
{
    QString text;       // after quote normalisation: what an unknown action echoes
    QJsonObject object; // empty when the text is not a JSON object
    QString act;        // "_act"
    QString type;       // "type"
    QString tag;        // "_tflag": goes back in every reply to this request

    // Pages write single-quoted JSON, so every apostrophe becomes a double
    // quote before the text is parsed (values included).
    static Request read(QString message);

    QString field(const char *key) const { return valueText(object.value(QLatin1String(key))); }

    // A request value as text: strings as they are, numbers in shortest
    // decimal form, booleans as words; null, arrays, objects and absent keys
    // have no text.
    static QString valueText(const QJsonValue &value);
    // The top-level object of json; empty for invalid JSON or another top level.
    static QJsonObject parseObject(const QString &json);
};

} // namespace dorvent::protocol
