#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVarLengthArray>

namespace dorvent::protocol {

// One request as read at its start, once: handlers read their fields from
// what was read, never from the text again.
struct Request
{
    // A top-level key and its value as text (valueText).
    struct Field
    {
        QString key;
        QString value;
    };
    using Fields = QVarLengthArray<Field, 8>;

    QString text;  // after quote normalisation: what an unknown action echoes
    Fields fields; // none when the text is not a JSON object
    QString act;   // "_act"
    QString type;  // "type"
    QString tag;   // "_tflag": goes back in every reply to this request

    // Pages write single-quoted JSON, so every apostrophe becomes a double
    // quote before the text is parsed (values included).
    static Request read(QString message);
    // The same, into this request, reusing its room.
    void readFrom(QString message);

    QString field(QLatin1String key) const;
    QString field(const char *key) const { return field(QLatin1String(key)); }

    // A request value as text: strings as they are, numbers in shortest
    // decimal form, booleans as words; null, arrays, objects and absent keys
    // have no text.
    static QString valueText(const QJsonValue &value);
    // The top-level object of json; empty for invalid JSON or another top level.
    static QJsonObject parseObject(const QString &json);

    // The two ways read() takes. The quick one reads only what nearly every
    // request is, a flat object of ASCII strings without escapes, true, false
    // and null, and refuses (false) anything else, which the general one,
    // Qt's JSON parser, reads to the same fields.
    static bool readFlat(const QString &json, Fields &fields);
    static Fields readGeneral(const QString &json);
};

} // namespace dorvent::protocol
