#include "request.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariant>

namespace dorvent::protocol {

Request Request::read(QString message)
{
    message.replace(QLatin1Char('\''), QLatin1Char('"'));
    Request request;
    request.object = parseObject(message);
    request.text = std::move(message);
    request.act = request.field("_act");
    request.type = request.field("type");
    request.tag = request.field("_tflag");
    return request;
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
