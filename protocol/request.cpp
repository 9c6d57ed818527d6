#include "request.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringView>
#include <QVariant>

#include <algorithm>

namespace dorvent::protocol {

namespace {

// Past this a flat object goes the general way: the quick one looks for a
// repeated key among those before, as Qt's parser keeps only the last.
constexpr int kMaxFlatKeys = 32;

bool isJsonSpace(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\r';
}

} // namespace

Request Request::read(QString message)
{
    Request request;
    request.readFrom(std::move(message));
    return request;
}

void Request::readFrom(QString message)
{
    message.replace(QLatin1Char('\''), QLatin1Char('"'));
    // Qt's parser costs several times the whole quick reading.
    if (!readFlat(message, fields))
        fields = readGeneral(message);
    text = std::move(message);
    act.clear();
    type.clear();
    tag.clear();
    for (const Field &field : qAsConst(fields)) {
        if (field.key == QLatin1String("_act"))
            act = field.value;
        else if (field.key == QLatin1String("type"))
            type = field.value;
        else if (field.key == QLatin1String("_tflag"))
            tag = field.value;
    }
}

QString Request::field(QLatin1String key) const
{
    for (const Field &field : fields) {
        if (field.key.size() == key.size() && field.key == key)
            return field.value;
    }
    return QString();
}

bool Request::readFlat(const QString &json, Fields &fields)
{
    fields.clear();
    const QChar *p = json.constData();
    const QChar *const end = p + json.size();
    const auto skipSpace = [&] {
        while (p < end && isJsonSpace(*p))
            ++p;
    };
    const auto take = [&](char c) {
        if (p == end || p->unicode() != c)
            return false;
        ++p;
        return true;
    };
    // The keys read for every request, shared instead of allocated each time.
    static const QString kKnownKeys[] = {QStringLiteral("_act"), QStringLiteral("_tflag"), QStringLiteral("type")};
    const auto string = [&](QString &out, bool key) {
        if (!take('"'))
            return false;
        const QChar *from = p;
        for (; p < end && p->unicode() != '"'; ++p) {
            if (p->unicode() < 0x20 || p->unicode() > 0x7e || p->unicode() == '\\')
                return false;
        }
        if (p == end)
            return false;
        const QStringView text(from, p - from);
        ++p;
        if (key) {
            for (const QString &known : kKnownKeys) {
                if (text == known) {
                    out = known;
                    return true;
                }
            }
        }
        out = text.toString();
        return true;
    };
    const auto word = [&](QLatin1String text) {
        if (end - p < text.size() || QStringView(p, text.size()) != text)
            return false;
        p += text.size();
        return true;
    };
    static const QString kTrue = QStringLiteral("true");
    static const QString kFalse = QStringLiteral("false");

    skipSpace();
    if (!take('{'))
        return false;
    skipSpace();
    if (!take('}')) {
        do {
            Field field;
            skipSpace();
            if (!string(field.key, true))
                return false;
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            if (p < end && p->unicode() == '"') {
                if (!string(field.value, false))
                    return false;
            } else if (word(QLatin1String("true"))) {
                field.value = kTrue;
            } else if (word(QLatin1String("false"))) {
                field.value = kFalse;
            } else if (!word(QLatin1String("null"))) {
                return false; // a number, an array, an object or no JSON
            }
            Field *same = std::find_if(fields.begin(), fields.end(),
                                       [&field](const Field &f) { return f.key == field.key; });
            if (same != fields.end())
                same->value = std::move(field.value);
            else if (fields.size() < kMaxFlatKeys)
                fields.append(std::move(field));
            else
                return false;
            skipSpace();
        } while (take(','));
        if (!take('}'))
            return false;
    }
    skipSpace();
    return p == end;
}

Request::Fields Request::readGeneral(const QString &json)
{
    const QJsonObject object = parseObject(json);
    Fields fields;
    for (auto it = object.begin(); it != object.end(); ++it)
        fields.append(Field{it.key(), valueText(it.value())});
    return fields;
}

QString Request::valueText(const QJsonValue &value)
{
    // Strings, nearly every value, without the detour through QVariant.
    if (value.isString())
        return value.toString();
    return value.toVariant().toString();
}

QJsonObject Request::parseObject(const QString &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return QJsonObject();
    return doc.object();
}

} // namespace dorvent::protocol
