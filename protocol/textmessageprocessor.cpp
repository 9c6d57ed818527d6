#include "textmessageprocessor.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

using namespace dorvent::protocol;

const QString CTextMessageProcessor::kNotOpenMessage = QStringLiteral("端口未打开");
const QString CTextMessageProcessor::kReaderBusyMessage = QStringLiteral("读卡器忙");

namespace {

using ActionFamily = ActionTable (*)();

// One row per landed family. A name no family has (those of the families
// still to come included) is echoed back to its sender.
constexpr ActionFamily kFamilies[] = {
    readerControlActions,
    cpuCardActions,
    idCardActions,
    bankCardActions,
    socialSecurityCardActions,
    memoryCardActions,
    stripeActions,
    m1Actions,
    iso15693Actions,
};

} // namespace

CTextMessageProcessor::CTextMessageProcessor(QObject *parent) : QObject(parent)
{
    for (ActionFamily family : kFamilies) {
        for (const Action &action : family()) {
            Q_ASSERT_X(!m_actions.contains(QLatin1String(action.name)), action.name,
                       "two families claim this action");
            m_actions.insert(QLatin1String(action.name), &action);
        }
    }
}

void CTextMessageProcessor::Process(QWebSocket *socket, QString message)
{
    // Replaced at every request, also by an empty tag.
    m_request = Request::read(std::move(message));

    const Action *action = m_actions.value(m_request.act);
    if (!action) {
        if (socket) {
            qWarning("pClient");
            socket->sendTextMessage(m_request.text);
        }
        return;
    }
    ActionCall call(*this, *action, m_request, socket);
    if (action->gate == Gate::ReaderOpen && !m_readerOpen)
        return call.reply(-1, kNotOpenMessage);
    // The server never hands over such a request while the reader is held.
    if (m_holder && action->gate != Gate::NoReader)
        return call.reply(luvaro::kReaderBusy, kReaderBusyMessage);
    action->handler(call);
}

QString CTextMessageProcessor::ParseJson(const QString &json, const QString &key)
{
    return Request::valueText(Request::parseObject(json).value(key));
}

bool CTextMessageProcessor::needsReader(const QString &message) const
{
    const Action *action = m_actions.value(Request::read(message).act);
    return action && action->gate != Gate::NoReader;
}

QWebSocket *CTextMessageProcessor::readerHolderClient() const
{
    return m_holder ? m_holder->socket() : nullptr;
}

void CTextMessageProcessor::holdReader(HeldCall *holder)
{
    Q_ASSERT(!m_holder);
    m_holder = holder;
}

void CTextMessageProcessor::releaseReader(HeldCall *holder)
{
    if (m_holder != holder)
        return;
    m_holder = nullptr;
    emit readerReleased();
}

QString CTextMessageProcessor::replyText(const Request &request, long code, const QString &msg,
                                         const QString &data) const
{
    return serialise(standardReply(request.act, request.tag, code, msg, data, QString()));
}

QJsonObject CTextMessageProcessor::standardReply(const QString &functionName, long code,
                                                 const QString &msg, const QString &data,
                                                 const QString &base64) const
{
    return standardReply(functionName, m_request.tag, code, msg, data, base64);
}

QJsonObject CTextMessageProcessor::standardReply(const QString &functionName, const QString &tag,
                                                 long code, const QString &msg, const QString &data,
                                                 const QString &base64) const
{
    QJsonObject object;
    object.insert(QStringLiteral("functionName"), functionName);
    object.insert(QStringLiteral("success"), static_cast<int>(code));
    object.insert(QStringLiteral("msg"), msg);
    object.insert(QStringLiteral("_tflag"), tag);
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
