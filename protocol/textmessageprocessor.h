#pragma once

#include "luvarocard.h"

#include <QObject>
#include <QString>

class QJsonObject;
class QWebSocket;

// Reads one JSON request, runs its action on the reader and answers on the
// socket it came from. One processor serves every client, one request at a time.
class CTextMessageProcessor : public QObject
{
    Q_OBJECT
public:
    explicit CTextMessageProcessor(QObject *parent = nullptr);

    // The single entry for every text frame; socket may be null (replies are then dropped).
    void Process(QWebSocket *socket, QString message);

    // The value of one top-level key as text; empty for anything unreadable.
    static QString ParseJson(const QString &json, const QString &key);
    // The compact standard reply; "data" and "Base64" only when not empty.
    QString CreateCardson(const QString &functionName, long code, const QString &msg,
                          const QString &data, const QString &base64) const;

    const QString &requestTag() const { return m_tflag; }
    bool isReaderOpen() const { return m_readerOpen; }
    luvaroCard &card() { return m_card; }

    static const QString kNotOpenMessage; // "端口未打开"

    // Identity card (actions_idcard.cpp): the standard reply plus the card's
    // fields, the photo at photoPath as Base64 JPEG and the fingerprint block.
    QString CreateCardsonidCard(const QString &functionName, long code, const QString &msg,
                                const QString &data, const QString &base64, IDINFO record,
                                const char *photoPath) const;

private:
    // What every handler gets: the normalised request and where to answer.
    struct Request
    {
        QWebSocket *socket;
        QString act;
        QString type;
        QString json;
        QString field(const char *key) const { return ParseJson(json, QLatin1String(key)); }
    };
    using Handler = void (CTextMessageProcessor::*)(const Request &);
    struct Action
    {
        const char *name;
        Handler handler; // null until the family is built: the request is then echoed
    };
    static const Action kActions[];

    // The standard reply's keys, for the builders that add card fields.
    QJsonObject standardReply(const QString &functionName, long code, const QString &msg,
                              const QString &data, const QString &base64) const;
    static QString serialise(const QJsonObject &object);

    void send(const Request &request, const QString &text) const;
    // Sends the standard reply for this request.
    void reply(const Request &request, long code, const QString &msg,
               const QString &data = QString(), const QString &base64 = QString()) const;
    // True when the reader is open; otherwise sends the not-open reply.
    bool requireOpen(const Request &request) const;
    void echoUnknown(const Request &request) const;

    // Reader control and accepted no-ops (actions_reader.cpp).
    void ignoreRequest(const Request &request);
    void openReader(const Request &request);
    void beepReader(const Request &request);
    void closeReader(const Request &request);
    void readerVersion(const Request &request);

    // Contact and contactless CPU cards, the radio field (actions_cpu.cpp).
    void cardPowerOn(const Request &request);
    void cardPowerOff(const Request &request);
    void cardRun(const Request &request);
    void mcardPowerOn(const Request &request);
    void mcardPowerOff(const Request &request);
    void mcardRun(const Request &request);
    void switchAntenna(const Request &request);

    // Identity card (actions_idcard.cpp).
    void readIDCardUID(const Request &request);
    void readIDCard(const Request &request);
    void readIDCardEX(const Request &request);
    void readIdentityRecord(const Request &request, int mode);

    luvaroCard m_card;
    QString m_tflag;          // the tag of the request being handled
    bool m_readerOpen = false; // what "open"/"close" did, not the device's state
};
