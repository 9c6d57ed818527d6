#pragma once

#include "request.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebSocket>

#include <cstddef>
#include <cstring>

class CTextMessageProcessor;
class luvaroCard;

namespace dorvent::protocol {

// How a card family plugs into the processor:
//
// 1. Its handlers live in protocol/actions_<family>.cpp, in an anonymous
//    namespace, as free functions taking one ActionCall.
// 2. The same file writes its actions as a table of Action rows {name, gate,
//    handler, success text, failure text} and exports it as one function
//    returning an ActionTable, declared at the end of this header.
// 3. That function gets one row in kFamilies (textmessageprocessor.cpp).
//
// Texts that depend on more than the outcome (one per step of a multi-step
// action, or the driver's own) stand in a small table beside the handler.

class ActionCall;
using Handler = void (*)(ActionCall &);

enum class Gate
{
    None,       // runs whatever the reader's state ("open" checks its own)
    ReaderOpen, // answered with the not-open reply, untouched, while the reader is closed
    NoReader,   // never touches the reader: served even while a wait holds it
};

struct Action
{
    const char *name; // matched exactly and case-sensitively
    Gate gate;
    Handler handler;
    const char *success; // fixed UTF-8 texts; null where the handler words its replies itself
    const char *failure;
};

struct ActionTable
{
    const Action *rows;
    std::size_t size;
    const Action *begin() const { return rows; }
    const Action *end() const { return rows + size; }
};

// What one handler works with: the request, the driver, the reader-open
// flag, and the ways to answer on the socket the request came from.
class ActionCall
{
public:
    ActionCall(CTextMessageProcessor &processor, const Action &action, const Request &request,
               QWebSocket *socket);

    const QString &act() const { return m_request.act; }
    QString field(const char *key) const { return m_request.field(key); }

    luvaroCard &card();
    CTextMessageProcessor &processor() { return m_processor; }
    bool readerOpen() const;
    void setReaderOpen(bool open);

    // The standard reply in the row's words: on 0 the success text with data,
    // otherwise the code with the failure text and no data.
    void answer(long code, const QString &data = QString());
    // The standard reply with a text of the handler's own.
    void reply(long code, const QString &msg, const QString &data = QString());
    // The standard reply with a card's fields added (identity and social-security cards).
    void reply(long code, const QString &msg, const QJsonObject &fields);
    // The row's success text, for replies built with more than the standard keys.
    QString successText() const;
    // Any reply text; dropped when the request came without a socket.
    void send(const QString &text);

private:
    // Answers in place of the action's own reply: the processor's failure
    // override, or -31 for a failure met because the reader left; false otherwise.
    bool repliedInstead(long code);
    // Sends a reply text and reports the request done with its code.
    void deliver(long code, const QString &text);

    friend class HeldCall;

    CTextMessageProcessor &m_processor;
    const Action &m_action;
    const Request &m_request;
    QWebSocket *m_socket;
};

// An action that goes on after its handler returned, waiting on the event
// loop instead of blocking it (a swipe read). It keeps its own copy of the
// request, holds the reader from construction until finish(), and answers
// only while its client is still connected. Deleted by finish(), later.
class HeldCall : public QObject
{
public:
    explicit HeldCall(ActionCall &call);
    ~HeldCall() override;

    luvaroCard &card();
    // Null once the client has gone.
    QWebSocket *socket() const { return m_socket; }
    // The standard reply in the row's words, then finish().
    void answer(long code, const QString &data = QString());
    // Releases the reader; no reply.
    void finish();
    bool finished() const { return m_finished; }

private:
    CTextMessageProcessor &m_processor;
    const Action &m_action;
    const Request m_request;
    QPointer<QWebSocket> m_socket;
    bool m_finished = false;
};

// A request value read as a decimal integer: text that is not one, and an
// absent key, give 0.
int decimalValue(const QString &text);
// The same cut to its low 8 bits, for the values that reach the reader as
// one byte ("300" is 44, "0x07" is 0).
unsigned char lowByte(const QString &text);
// "11" to "14" name the SAM slots 0x11 to 0x14; any other text is no SAM slot (-1).
int samSlotCode(const QString &text);
// The same in 64 bits, for the M1 amounts. A decimal integer beyond 64 bits is never read as 0: it gives the limit of its sign and sets *tooLarge.
qlonglong longDecimalValue(const QString &text, bool *tooLarge = nullptr);
// An offset or a count the driver checks: a decimal integer beyond an int
// gives the limit of its sign, which the driver refuses, not 0 or its low bits.
int boundedDecimalValue(const QString &text);
// A hex text for the driver, as 8-bit text. The driver reads up to a NUL, so
// a NUL inside goes as a character that is no hex digit: the driver then
// refuses the whole text instead of taking the part before it.
QByteArray hexText(const QString &text);

// A fixed-size driver buffer's text up to its first NUL, never past its end:
// the driver's fields, and its hex written without a terminator into a
// zeroed buffer with one byte kept back.
template <std::size_t N>
QString textOf(const char (&buffer)[N])
{
    return QString::fromUtf8(buffer, static_cast<int>(strnlen(buffer, N)));
}

// How often a held swipe read polls the head; tests shorten it.
int swipePollInterval();
void setSwipePollInterval(int milliseconds);

// The families, one per actions_<family>.cpp.
ActionTable readerControlActions();
ActionTable cpuCardActions();
ActionTable idCardActions();
ActionTable bankCardActions();
ActionTable socialSecurityCardActions();
ActionTable memoryCardActions();
ActionTable stripeActions();
ActionTable m1Actions();
ActionTable iso15693Actions();

} // namespace dorvent::protocol
