#include "textmessageprocessor.h"

#include "systemsleep.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <algorithm>
#include <cstring>

using namespace dorvent::protocol;

const QString CTextMessageProcessor::kNotOpenMessage = QStringLiteral("端口未打开");
const QString CTextMessageProcessor::kReaderBusyMessage = QStringLiteral("读卡器忙");
const QString CTextMessageProcessor::kReaderGoneMessage = QStringLiteral("读卡器已拔出");

namespace {

using ActionFamily = ActionTable (*)();

// Closing needs no reader: it also lets go of one that left.
const QString kCloseAction = QStringLiteral("close");

// One row per card family. A name no family has is echoed back to its sender.
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
    connect(&m_keeper, &ReaderKeeper::readerLeft, this, &CTextMessageProcessor::endHeldCall);
    if (SystemSleep *sleep = SystemSleep::instance())
        connect(sleep, &SystemSleep::resumed, this, &CTextMessageProcessor::onResumed);
}

CTextMessageProcessor::~CTextMessageProcessor()
{
    // A wait still holding the reader ends without a reply: its driver goes now.
    if (m_holder)
        m_holder->finish();
}

void CTextMessageProcessor::Process(QWebSocket *socket, QString message)
{
    // Replaced at every request, also by an empty tag.
    m_request.readFrom(std::move(message));
    emit requestStarted(socket, m_request);

    const Action *action = m_actions.value(m_request.act);
    if (!action) {
        if (socket) {
            qWarning("pClient");
            socket->sendTextMessage(m_request.text);
            done(socket, Outcome{nullptr, false, 0, &m_request.text});
        }
        return;
    }
    m_replied = false;
    ActionCall call(*this, *action, m_request, socket);
    if (action->gate == Gate::ReaderOpen && !m_keeper.kept())
        return call.reply(-1, kNotOpenMessage);
    // The server never hands over such a request while the reader is held.
    if (m_holder && action->gate != Gate::NoReader)
        return call.reply(luvaro::kReaderBusy, kReaderBusyMessage);
    // A reader a page opened that has left is not sent to; one that is back
    // is opened again first.
    if (action->gate != Gate::NoReader && m_keeper.kept() && m_request.act != kCloseAction
        && !m_keeper.ready())
        return call.reply(luvaro::kReaderGone, kReaderGoneMessage);
    const HeldCall *holderBefore = m_holder;
    action->handler(call);
    if (!m_replied && m_holder == holderBefore)
        done(socket, Outcome{action->name, false, 0, nullptr});
}

void CTextMessageProcessor::replied(QWebSocket *client, const Action &action, long code, const QString &text)
{
    m_replied = true;
    done(client, Outcome{action.name, true, static_cast<int>(code), &text});
}

QString CTextMessageProcessor::actionText(const char *utf8)
{
    auto text = m_actionTexts.constFind(utf8);
    if (text == m_actionTexts.cend())
        text = m_actionTexts.insert(utf8, QString::fromUtf8(utf8));
    return *text;
}

void CTextMessageProcessor::setReaderOpen(bool open)
{
    if (open)
        m_keeper.opened();
    else
        m_keeper.closed();
}

bool CTextMessageProcessor::answersReaderGone(long code)
{
    if (code >= 0 || code == luvaro::kReaderBusy)
        return false;
    return m_endingHeldCall || m_keeper.hasLeft();
}

QString CTextMessageProcessor::readerGoneReply(const Request &request) const
{
    return replyText(request, luvaro::kReaderGone, kReaderGoneMessage, QString());
}

void CTextMessageProcessor::endHeldCall()
{
    if (!m_holder || m_endingHeldCall)
        return;
    m_endingHeldCall = true;
    m_holder->answer(luvaro::kReaderGone);
    m_endingHeldCall = false;
}

void CTextMessageProcessor::onResumed()
{
    if (!m_keeper.kept())
        return;
    // The reader may have lost the wait's state while the system slept.
    endHeldCall();
    m_keeper.renew();
}

QJsonObject CTextMessageProcessor::statusFields()
{
    // The reader is asked only while no request waits holding it.
    if (!m_holder && m_keeper.kept() && m_keeper.ready() && m_keeper.firmware().isEmpty()) {
        unsigned char buffer[luvaroCard::kVersionBufferSize] = {};
        if (m_card.luvaro_USB_Version(buffer, sizeof buffer) == luvaro::kOk) {
            const char *text = reinterpret_cast<const char *>(buffer);
            m_keeper.setFirmware(QString::fromUtf8(text, static_cast<int>(strnlen(text, sizeof buffer))));
        } else {
            m_keeper.hasLeft();
        }
    }
    const std::optional<bool> present = m_keeper.present();
    const QDateTime openedAt = m_keeper.openedAt();
    QJsonObject fields;
    fields.insert(QStringLiteral("serviceVersion"), QStringLiteral(DORVENT_VERSION));
    fields.insert(QStringLiteral("readerPresent"), present ? QJsonValue(*present) : QJsonValue());
    fields.insert(QStringLiteral("readerOpen"), m_keeper.kept());
    fields.insert(QStringLiteral("readerFirmware"), m_keeper.firmware());
    fields.insert(QStringLiteral("readerOpenedAt"),
                  openedAt.isValid() ? openedAt.toString(Qt::ISODateWithMs) : QString());
    return fields;
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

namespace {

// JSON strings as QJsonDocument writes them: ", \ and control characters
// escaped (the short forms where JSON has them, else \u00xx), a UTF-16 unit
// that is no valid character (a lone surrogate) as \uxxxx, everything else
// as it is.

// What a unit that is not plain becomes: its short escape's letter, or 0 for \uxxxx.
char shortEscape(ushort u)
{
    switch (u) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    default: return 0;
    }
}

// The end of the run that stays as it is from i (valid surrogate pairs included).
int plainRunEnd(const QChar *data, int i, int n)
{
    for (; i < n; ++i) {
        const ushort u = data[i].unicode();
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\')
                continue;
            break;
        }
        if (!QChar::isSurrogate(u))
            continue;
        if (!QChar::isHighSurrogate(u) || i + 1 == n || !data[i + 1].isLowSurrogate())
            break;
        ++i;
    }
    return i;
}

int jsonStringSize(const QString &text)
{
    const QChar *data = text.constData();
    const int n = text.size();
    int size = 2;
    for (int i = 0; i < n; ++i) {
        const int end = plainRunEnd(data, i, n);
        size += end - i;
        if ((i = end) < n)
            size += shortEscape(data[i].unicode()) ? 2 : 6;
    }
    return size;
}

QChar *writeJsonString(QChar *out, const QString &text)
{
    static const char kDigits[] = "0123456789abcdef";
    const QChar *data = text.constData();
    const int n = text.size();
    *out++ = QLatin1Char('"');
    for (int i = 0; i < n; ++i) {
        const int end = plainRunEnd(data, i, n);
        out = std::copy(data + i, data + end, out);
        if ((i = end) == n)
            break;
        const ushort u = data[i].unicode();
        *out++ = QLatin1Char('\\');
        if (const char letter = shortEscape(u)) {
            *out++ = QLatin1Char(letter);
            continue;
        }
        *out++ = QLatin1Char('u');
        for (int shift = 12; shift >= 0; shift -= 4)
            *out++ = QLatin1Char(kDigits[u >> shift & 0xF]);
    }
    *out++ = QLatin1Char('"');
    return out;
}

// Replies with more text than this are measured before they are written.
constexpr int kMeasuredFrom = 1024;

template <int N>
QChar *writeLatin1(QChar *out, const char (&text)[N])
{
    return std::copy(text, text + N - 1, out);
}

// A code in decimal: at most 11 characters.
QChar *writeDecimal(QChar *out, int value)
{
    char digits[11];
    int i = sizeof digits;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        digits[--i] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *out++ = QLatin1Char('-');
    return std::copy(digits + i, digits + sizeof digits, out);
}

} // namespace

QString CTextMessageProcessor::standardReplyText(const QString &functionName, const QString &tag,
                                                 long code, const QString &msg, const QString &data,
                                                 const QString &base64)
{
    // Every reply goes through here: written directly, in the key order and
    // with the escapes QJsonDocument gives, at a fraction of its cost.
    // A short reply (nearly all) gets room for every unit escaped at once; a
    // long one (a photo) is measured first, not allocated six times over.
    const int units = base64.size() + tag.size() + data.size() + functionName.size() + msg.size();
    const int strings = units <= kMeasuredFrom
                            ? 6 * units + 2 * 5
                            : (base64.isEmpty() ? 0 : jsonStringSize(base64)) + jsonStringSize(tag)
                                  + (data.isEmpty() ? 0 : jsonStringSize(data)) + jsonStringSize(functionName)
                                  + jsonStringSize(msg);
    QString reply(int(sizeof R"({"Base64":,"_tflag":,"data":,"functionName":,"msg":,"success":-2147483648})")
                      + strings,
                  Qt::Uninitialized);
    QChar *out = reply.data();
    *out++ = QLatin1Char('{');
    if (!base64.isEmpty()) {
        out = writeLatin1(out, "\"Base64\":");
        out = writeJsonString(out, base64);
        *out++ = QLatin1Char(',');
    }
    out = writeLatin1(out, "\"_tflag\":");
    out = writeJsonString(out, tag);
    if (!data.isEmpty()) {
        out = writeLatin1(out, ",\"data\":");
        out = writeJsonString(out, data);
    }
    out = writeLatin1(out, ",\"functionName\":");
    out = writeJsonString(out, functionName);
    out = writeLatin1(out, ",\"msg\":");
    out = writeJsonString(out, msg);
    out = writeLatin1(out, ",\"success\":");
    out = writeDecimal(out, static_cast<int>(code));
    *out++ = QLatin1Char('}');
    reply.truncate(int(out - reply.constData()));
    return reply;
}

QString CTextMessageProcessor::replyText(const Request &request, long code, const QString &msg,
                                         const QString &data) const
{
    return standardReplyText(request.act, request.tag, code, msg, data, QString());
}

QString CTextMessageProcessor::replyText(const Request &request, long code, const QString &msg,
                                         const QJsonObject &fields) const
{
    return serialise(withFields(standardReply(request.act, request.tag, code, msg, QString(), QString()), fields));
}

QJsonObject CTextMessageProcessor::withFields(QJsonObject reply, const QJsonObject &fields)
{
    for (auto field = fields.begin(); field != fields.end(); ++field)
        reply.insert(field.key(), field.value());
    return reply;
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
    return standardReplyText(functionName, m_request.tag, code, msg, data, base64);
}
