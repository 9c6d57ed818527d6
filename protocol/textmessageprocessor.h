#pragma once

#include "action.h"
#include "luvarocard.h"
#include "readerkeeper.h"
#include "request.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QJsonObject;
class QWebSocket;

namespace dorvent::protocol {

// What one request came to, for the service's log.
struct Outcome
{
    const char *act = nullptr;      // the action's name; null for a name no family has (echoed)
    bool replied = false;           // whether a reply with a code was sent
    int code = 0;
    const QString *reply = nullptr; // the text sent back (reply or echo), when one was
};

} // namespace dorvent::protocol

// Reads one JSON request, runs its action on the reader and answers on the
// socket it came from. One processor serves every client, one request at a time.
// The actions themselves are the family tables listed in the .cpp.
class CTextMessageProcessor : public QObject
{
    Q_OBJECT
public:
    explicit CTextMessageProcessor(QObject *parent = nullptr);
    ~CTextMessageProcessor() override;

    // The single entry for every text frame; socket may be null (replies are then dropped).
    void Process(QWebSocket *socket, QString message);

    // The value of one top-level key as text; empty for anything unreadable.
    static QString ParseJson(const QString &json, const QString &key);
    // The compact standard reply, tagged with the current request's tag;
    // "data" and "Base64" only when not empty.
    QString CreateCardson(const QString &functionName, long code, const QString &msg,
                          const QString &data, const QString &base64) const;
    // Identity card (actions_idcard.cpp): the standard reply plus the card's
    // fields, the photo at photoPath as Base64 JPEG and the fingerprint block.
    QString CreateCardsonidCard(const QString &functionName, long code, const QString &msg,
                                const QString &data, const QString &base64, IDINFO record,
                                const char *photoPath) const;
    // Social-security card (actions_sscard.cpp): the standard reply plus the card's fields.
    QString CreateCardsonSci(const QString &functionName, long code, const QString &msg,
                             const QString &data, const QString &base64, SSCard_IDINFO record) const;

    // The compact standard reply, keys in code-unit order, as QJsonDocument
    // would write it (tested against it).
    static QString standardReplyText(const QString &functionName, const QString &tag, long code,
                                     const QString &msg, const QString &data, const QString &base64);
    // The standard reply to a given request, tagged with its own tag.
    QString replyText(const dorvent::protocol::Request &request, long code, const QString &msg,
                      const QString &data) const;
    // ... with a card's fields added to the standard keys.
    QString replyText(const dorvent::protocol::Request &request, long code, const QString &msg,
                      const QJsonObject &fields) const;

    // An action waiting on the event loop holds the reader (HeldCall):
    // requests that need it must wait for readerReleased().
    bool isReaderHeld() const { return m_holder != nullptr; }
    // The client whose request holds the reader (null when none does, or it left).
    QWebSocket *readerHolderClient() const;
    // Whether the request would touch the reader: false for a request
    // answered without it (an unknown action, the no-op names).
    bool needsReader(const QString &message) const;
    void holdReader(dorvent::protocol::HeldCall *holder);
    void releaseReader(dorvent::protocol::HeldCall *holder);

    // A fixed UTF-8 text of the action tables, converted once.
    QString actionText(const char *utf8);

    const QString &requestTag() const { return m_request.tag; }
    // What "open" and "close" did, not the device's state: a reader that a
    // page opened stays open while it is unplugged, and is opened again when
    // it is back.
    bool isReaderOpen() const { return m_keeper.kept(); }
    luvaroCard &card() { return m_card; }
    ReaderKeeper &readerKeeper() { return m_keeper; }

    // Whether a failure with this code, answered now, is one of a reader
    // that left: such replies say so instead of the action's own failure.
    bool answersReaderGone(long code);
    // The reply that says so, to the given request.
    QString readerGoneReply(const dorvent::protocol::Request &request) const;
    // Asked before every reply: true (with a code and a message) replaces the
    // reply, whatever the action met. Only dorvent-emu replaying a recorded
    // session sets one, to fail a request that left the recorded path.
    using FailureOverride = std::function<bool(long *code, QString *message)>;
    void setFailureOverride(FailureOverride override) { m_failureOverride = std::move(override); }
    bool failureOverride(long *code, QString *message) const
    {
        return m_failureOverride && m_failureOverride(code, message);
    }
    // The service's own view, for the status action: its version and the reader's state.
    QJsonObject statusFields();

    static const QString kNotOpenMessage; // "端口未打开"
    static const QString kReaderBusyMessage;
    static const QString kReaderGoneMessage;

    // Told of every request as requestDone() is, by a plain call: the
    // server's log, which would pay for a signal at every request.
    using RequestDone = std::function<void(QWebSocket *client, const dorvent::protocol::Outcome &outcome)>;
    void setRequestDone(RequestDone done) { m_requestDone = std::move(done); }

signals:
    void readerReleased();
    // Once per request, as it is read, before anything is sent or answered
    // (the session recorder's request line).
    void requestStarted(QWebSocket *client, const dorvent::protocol::Request &request);
    // Once per request: when its reply is sent, or when its handler returned
    // without one; a wait (HeldCall) reports when it answers.
    void requestDone(QWebSocket *client, const dorvent::protocol::Outcome &outcome);

private:
    friend class dorvent::protocol::ActionCall; // sets the reader-open flag, reports replies

    void replied(QWebSocket *client, const dorvent::protocol::Action &action, long code, const QString &text);
    void done(QWebSocket *client, const dorvent::protocol::Outcome &outcome)
    {
        if (m_requestDone)
            m_requestDone(client, outcome);
        emit requestDone(client, outcome);
    }

    void setReaderOpen(bool open);
    // The request waiting with the reader ends: its reader left, or its
    // handle is about to be renewed.
    void endHeldCall();
    void onResumed();

    // The standard reply's keys, for the builders that add card fields.
    QJsonObject standardReply(const QString &functionName, long code, const QString &msg,
                              const QString &data, const QString &base64) const;
    QJsonObject standardReply(const QString &functionName, const QString &tag, long code,
                              const QString &msg, const QString &data, const QString &base64) const;
    static QString serialise(const QJsonObject &object);
    static QJsonObject withFields(QJsonObject reply, const QJsonObject &fields);

    luvaroCard m_card;
    ReaderKeeper m_keeper{m_card};        // also what "open"/"close" did
    dorvent::protocol::Request m_request; // the request being handled
    bool m_replied = false;               // the request being handled has been answered
    dorvent::protocol::HeldCall *m_holder = nullptr; // the action waiting with the reader, if any
    bool m_endingHeldCall = false;
    QHash<QString, const dorvent::protocol::Action *> m_actions; // every family's rows by name
    QHash<const char *, QString> m_actionTexts;                   // by the tables' own pointers
    RequestDone m_requestDone;
    FailureOverride m_failureOverride;
};
