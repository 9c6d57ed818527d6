#include "action.h"

#include "textmessageprocessor.h"

#include <QRegularExpression>
#include <QWebSocket>

#include <algorithm>
#include <limits>

namespace dorvent::protocol {

ActionCall::ActionCall(CTextMessageProcessor &processor, const Action &action,
                       const Request &request, QWebSocket *socket)
    : m_processor(processor), m_action(action), m_request(request), m_socket(socket)
{
}

luvaroCard &ActionCall::card() { return m_processor.card(); }

bool ActionCall::readerOpen() const { return m_processor.isReaderOpen(); }

void ActionCall::setReaderOpen(bool open) { m_processor.setReaderOpen(open); }

QString ActionCall::successText() const { return m_processor.actionText(m_action.success); }

void ActionCall::answer(long code, const QString &data)
{
    if (code == 0)
        reply(0, m_processor.actionText(m_action.success), data);
    else
        reply(code, m_processor.actionText(m_action.failure));
}

void ActionCall::reply(long code, const QString &msg, const QString &data)
{
    if (!repliedInstead(code))
        deliver(code, m_processor.replyText(m_request, code, msg, data));
}

void ActionCall::reply(long code, const QString &msg, const QJsonObject &fields)
{
    if (!repliedInstead(code))
        deliver(code, m_processor.replyText(m_request, code, msg, fields));
}

// A failure met because the reader left says so, not what the action saw of it.
bool ActionCall::repliedInstead(long code)
{
    long overridden = 0;
    QString message;
    if (m_processor.failureOverride(&overridden, &message)) {
        deliver(overridden, m_processor.replyText(m_request, overridden, message, QString()));
        return true;
    }
    if (!m_processor.answersReaderGone(code))
        return false;
    deliver(luvaro::kReaderGone, m_processor.readerGoneReply(m_request));
    return true;
}

void ActionCall::deliver(long code, const QString &text)
{
    send(text);
    m_processor.replied(m_socket, m_action, code, text);
}

void ActionCall::send(const QString &text)
{
    if (m_socket)
        m_socket->sendTextMessage(text);
}

HeldCall::HeldCall(ActionCall &call)
    : m_processor(call.m_processor), m_action(call.m_action), m_request(call.m_request),
      m_socket(call.m_socket)
{
    m_processor.holdReader(this);
}

HeldCall::~HeldCall()
{
    finish();
}

luvaroCard &HeldCall::card() { return m_processor.card(); }

void HeldCall::answer(long code, const QString &data)
{
    ActionCall call(m_processor, m_action, m_request, m_socket);
    call.answer(code, data);
    finish();
}

void HeldCall::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    deleteLater();
    m_processor.releaseReader(this);
}

int decimalValue(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

unsigned char lowByte(const QString &text)
{
    return static_cast<unsigned char>(decimalValue(text) & 0xFF);
}

int samSlotCode(const QString &text)
{
    static const struct
    {
        const char *text;
        int slot;
    } kSamSlots[] = {{"11", 0x11}, {"12", 0x12}, {"13", 0x13}, {"14", 0x14}};
    for (const auto &row : kSamSlots)
        if (text == QLatin1String(row.text))
            return row.slot;
    return -1;
}

qlonglong longDecimalValue(const QString &text, bool *tooLarge)
{
    if (tooLarge)
        *tooLarge = false;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    if (ok)
        return value;
    // Digits the conversion refused only for their size.
    static const QRegularExpression kDecimal(QStringLiteral("^[+-]?[0-9]+$"));
    const QString trimmed = text.trimmed();
    if (!kDecimal.match(trimmed).hasMatch())
        return 0;
    if (tooLarge)
        *tooLarge = true;
    return trimmed.startsWith(QLatin1Char('-')) ? std::numeric_limits<qlonglong>::min()
                                                 : std::numeric_limits<qlonglong>::max();
}

int boundedDecimalValue(const QString &text)
{
    const qlonglong value = longDecimalValue(text);
    return static_cast<int>(std::clamp<qlonglong>(value, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()));
}

QByteArray hexText(const QString &text)
{
    return text.toLatin1().replace('\0', '?');
}

} // namespace dorvent::protocol
