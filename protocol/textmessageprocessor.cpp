#include "textmessageprocessor.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>
#include <QWebSocket>

const QString CTextMessageProcessor::kNotOpenMessage = QStringLiteral("端口未打开");

// Names are matched exactly and case-sensitively, in this order.
const CTextMessageProcessor::Action CTextMessageProcessor::kActions[] = {
    {"open", &CTextMessageProcessor::openReader},
    {"collectFingerPrint", &CTextMessageProcessor::ignoreRequest},
    {"ctnFingerPrint", &CTextMessageProcessor::ignoreRequest},
    {"beep", &CTextMessageProcessor::beepReader},
    {"close", &CTextMessageProcessor::closeReader},
    {"version", &CTextMessageProcessor::readerVersion},
    // contact and contactless CPU cards
    {"cardClodPowerOn", &CTextMessageProcessor::cardPowerOn},
    {"cardHotPowerOn", &CTextMessageProcessor::cardPowerOn},
    {"cardPowerOff", &CTextMessageProcessor::cardPowerOff},
    {"cardRun", &CTextMessageProcessor::cardRun},
    {"mcardPowerOn", &CTextMessageProcessor::mcardPowerOn},
    {"mcardPowerOff", &CTextMessageProcessor::mcardPowerOff},
    {"mcardRun", &CTextMessageProcessor::mcardRun},
    // ISO 15693
    {"card15693Find", nullptr},
    {"card15693Read", nullptr},
    {"card15693Write", nullptr},
    {"card15693WriteAFI", nullptr},
    {"card15693LockAFI", nullptr},
    {"card15693WriteDSFID", nullptr},
    {"card15693LockDSFID", nullptr},
    {"card15693Lock", nullptr},
    {"card15693Info", nullptr},
    // radio field
    {"closeAnt", &CTextMessageProcessor::switchAntenna},
    {"openAnt", &CTextMessageProcessor::switchAntenna},
    // identity card
    {"readIDCardUID", &CTextMessageProcessor::readIDCardUID},
    {"readIDCard", &CTextMessageProcessor::readIDCard},
    {"readIDCardEX", &CTextMessageProcessor::readIDCardEX},
    // bank and social-security cards
    {"readBankNO", nullptr},
    {"readSci", nullptr},
    // 4442 / 4428 memory cards
    {"card44PowerOn", nullptr},
    {"card44PowerOff", nullptr},
    {"card44Read", nullptr},
    {"card44Write", nullptr},
    {"card44AuthPIN", nullptr},
    {"card44EditPIN", nullptr},
    {"card44AuthNum", nullptr},
    {"card44ReadePro", nullptr},
    {"card44WritePro", nullptr},
    // M1
    {"cardm1Find", nullptr},
    {"cardm1Auth", nullptr},
    {"cardm1Read", nullptr},
    {"cardm1Write", nullptr},
    {"cardm1NumInit", nullptr},
    {"cardm1NumAdd", nullptr},
    {"cardm1NumDe", nullptr},
    {"cardm1NumRead", nullptr},
    // magnetic stripe
    {"scardSet", nullptr},
    {"scardGet", nullptr},
    {"scardRead", nullptr},
};

CTextMessageProcessor::CTextMessageProcessor(QObject *parent) : QObject(parent) {}

void CTextMessageProcessor::Process(QWebSocket *socket, QString message)
{
    // Pages write single-quoted JSON; the normalised text is also what gets echoed.
    message.replace(QLatin1Char('\''), QLatin1Char('"'));

    Request request{socket, QString(), QString(), message};
    request.act = request.field("_act");
    request.type = request.field("type");
    m_tflag = request.field("_tflag");

    for (const Action &action : kActions) {
        if (request.act == QLatin1String(action.name)) {
            if (action.handler)
                (this->*action.handler)(request);
            else
                echoUnknown(request);
            return;
        }
    }
    echoUnknown(request);
}

QString CTextMessageProcessor::ParseJson(const QString &json, const QString &key)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || doc.isNull() || !doc.isObject())
        return QString();
    const QJsonObject object = doc.object();
    const auto it = object.constFind(key);
    if (it == object.constEnd())
        return QString();
    // Strings as they are, numbers in shortest form, booleans as words;
    // null, arrays and objects have no text.
    return it.value().toVariant().toString();
}

QJsonObject CTextMessageProcessor::standardReply(const QString &functionName, long code,
                                                 const QString &msg, const QString &data,
                                                 const QString &base64) const
{
    QJsonObject object;
    object.insert(QStringLiteral("functionName"), functionName);
    object.insert(QStringLiteral("success"), static_cast<int>(code));
    object.insert(QStringLiteral("msg"), msg);
    object.insert(QStringLiteral("_tflag"), m_tflag);
    if (!data.isEmpty())
        object.insert(QStringLiteral("data"), data);
    if (!base64.isEmpty())
        object.insert(QStringLiteral("Base64"), base64);
    return object;
}

QString CTextMessageProcessor::serialise(const QJsonObject &object)
{
    // Compact, keys in code-unit order, non-ASCII as UTF-8.
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString CTextMessageProcessor::CreateCardson(const QString &functionName, long code,
                                             const QString &msg, const QString &data,
                                             const QString &base64) const
{
    return serialise(standardReply(functionName, code, msg, data, base64));
}

void CTextMessageProcessor::send(const Request &request, const QString &text) const
{
    if (request.socket)
        request.socket->sendTextMessage(text);
}

void CTextMessageProcessor::reply(const Request &request, long code, const QString &msg,
                                  const QString &data, const QString &base64) const
{
    send(request, CreateCardson(request.act, code, msg, data, base64));
}

bool CTextMessageProcessor::requireOpen(const Request &request) const
{
    if (m_readerOpen)
        return true;
    reply(request, -1, kNotOpenMessage);
    return false;
}

void CTextMessageProcessor::echoUnknown(const Request &request) const
{
    if (!request.socket)
        return;
    qWarning("pClient");
    request.socket->sendTextMessage(request.json);
}

void CTextMessageProcessor::ignoreRequest(const Request &) {}
