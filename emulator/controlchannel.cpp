#include "controlchannel.h"

#include "bankcard.h"
#include "cpucards.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "iso15693.h"
#include "m1.h"
#include "memorycards.h"
#include "sscard.h"
#include "stripe.h"

#include <QDebug>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cmath>
#include <type_traits>

namespace dorvent::emulator {
namespace {

enum class PlaceKind { Contact, Field, IdCardSam };

// The places a page author names. Contact slots go by the "slotNo" text the
// service's actions take for them.
struct PlaceRow
{
    const char *name;
    PlaceKind kind;
    std::uint8_t slotByte; // contact slots only
};

constexpr PlaceRow kPlaces[] = {
    {"slot1", PlaceKind::Contact, 0x0C},  {"slot11", PlaceKind::Contact, 0x0D},
    {"slot12", PlaceKind::Contact, 0x0E}, {"slot13", PlaceKind::Contact, 0x0F},
    {"slot14", PlaceKind::Contact, 0x10}, {"slot21", PlaceKind::Contact, 0x8D},
    {"slot22", PlaceKind::Contact, 0x8E}, {"slot23", PlaceKind::Contact, 0x8F},
    {"slot24", PlaceKind::Contact, 0x90}, {"field", PlaceKind::Field, 0},
    {"idcard", PlaceKind::IdCardSam, 0},
};

QString hex(const std::vector<std::uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex().toUpper();
}

// The cards a page author can put down; each family adds its own row.
// describe() tells a card of the row's kind, and gives empty text for others.
struct CardRow
{
    const char *name;
    PlaceKind kind;
    std::unique_ptr<Card> (*make)();
    QString (*describe)(const Card *card);
};

// A social-security SAM whose key differs from the cards' in one byte.
SsKey corruptedSamKey()
{
    SsKey key = kSsDemoKey;
    key[7] ^= 0x01;
    return key;
}

// CPU cards carrying an application of their own; listed before the plain
// CPU cards so that the state names them by what they carry.
template <class T>
QString carrying(const Card *card, bool (*carries)(const Iso7816Responder &), const char *what)
{
    auto *cpu = dynamic_cast<const T *>(card);
    if (!cpu || !carries(cpu->files))
        return QString();
    if constexpr (std::is_same_v<T, TypeACpuCard>)
        return QStringLiteral("Type A CPU card with %1, UID %2").arg(QLatin1String(what), hex(cpu->uid));
    else
        return QStringLiteral("contact CPU card with %1, ATR %2").arg(QLatin1String(what), hex(cpu->atr));
}

const CardRow kCards[] = {
    {"bank", PlaceKind::Field, [] { return std::unique_ptr<Card>(contactlessBankCard(demoBankCardData())); },
     [](const Card *card) { return carrying<TypeACpuCard>(card, carriesBankApplication, "the bank applications"); }},
    {"bank-contact", PlaceKind::Contact, [] { return std::unique_ptr<Card>(contactBankCard(demoBankCardData())); },
     [](const Card *card) { return carrying<ContactCpuCard>(card, carriesBankApplication, "the bank applications"); }},
    {"sscard", PlaceKind::Contact, [] { return std::unique_ptr<Card>(socialSecurityCard(demoSocialSecurityData())); },
     [](const Card *card) {
         return carrying<ContactCpuCard>(card, carriesSocialSecurityApplication, "a social-security application");
     }},
    {"sscard2", PlaceKind::Contact,
     [] { return std::unique_ptr<Card>(socialSecurityCard(secondGenerationSocialSecurityData())); },
     [](const Card *) { return QString(); }}, // named "sscard" in the state
    {"sscard-contactless", PlaceKind::Field,
     [] { return std::unique_ptr<Card>(contactlessSocialSecurityCard(demoSocialSecurityData())); },
     [](const Card *card) {
         return carrying<TypeACpuCard>(card, carriesSocialSecurityApplication, "a social-security application");
     }},
    {"ss-sam", PlaceKind::Contact, [] { return std::unique_ptr<Card>(socialSecuritySam()); },
     [](const Card *card) { return carrying<ContactCpuCard>(card, carriesSocialSecuritySam, "the social-security SAM"); }},
    {"ss-sam-corrupted", PlaceKind::Contact, [] { return std::unique_ptr<Card>(socialSecuritySam(corruptedSamKey())); },
     [](const Card *) { return QString(); }}, // named "ss-sam" in the state
    {"cpu", PlaceKind::Contact, [] { return std::unique_ptr<Card>(demoContactCpuCard()); },
     [](const Card *card) {
         auto *cpu = dynamic_cast<const ContactCpuCard *>(card);
         return cpu ? QStringLiteral("contact CPU card, ATR %1").arg(hex(cpu->atr)) : QString();
     }},
    {"typeA-cpu", PlaceKind::Field, [] { return std::unique_ptr<Card>(demoTypeACpuCard()); },
     [](const Card *card) {
         auto *cpu = dynamic_cast<const TypeACpuCard *>(card);
         return cpu ? QStringLiteral("Type A CPU card, UID %1, ATS %2").arg(hex(cpu->uid), hex(cpu->ats)) : QString();
     }},
    {"idcard", PlaceKind::IdCardSam, [] { return std::unique_ptr<Card>(demoIdentityCard()); },
     [](const Card *card) {
         auto *id = dynamic_cast<const IdentityCard *>(card);
         return id ? QStringLiteral("identity card, UID %1").arg(hex(id->uid())) : QString();
     }},
    {"4442", PlaceKind::Contact, [] { return std::unique_ptr<Card>(demoCard4442()); },
     [](const Card *card) {
         auto *memory = dynamic_cast<const Card4442 *>(card);
         return memory ? QStringLiteral("4442 memory card, %1 code attempts left").arg(memory->attemptsLeft) : QString();
     }},
    {"4428", PlaceKind::Contact, [] { return std::unique_ptr<Card>(demoCard4428()); },
     [](const Card *card) {
         auto *memory = dynamic_cast<const Card4428 *>(card);
         return memory ? QStringLiteral("4428 memory card, %1 code attempts left").arg(memory->attemptsLeft) : QString();
      }},
    {"m1", PlaceKind::Field, [] { return std::unique_ptr<Card>(demoM1Card()); },
     [](const Card *card) {
         auto *m1 = dynamic_cast<const M1Card *>(card);
         return m1 ? QStringLiteral("M1 card (1K), UID %1").arg(hex(m1->uid)) : QString();
     }},
    {"iso15693", PlaceKind::Field, [] { return std::unique_ptr<Card>(demoIso15693Tag()); },
     [](const Card *card) {
         auto *tag = dynamic_cast<const Iso15693Tag *>(card);
         return tag ? QStringLiteral("ISO 15693 tag, UID %1").arg(hex({tag->uid.begin(), tag->uid.end()})) : QString();
     }},
};

constexpr int kMaxAfterPolls = 1000;

// {"cmd":"swipe"} queues the demo card; "track1".."track3" give a card of
// one's own, "error": true one the head cannot read, "afterPolls": N makes a
// waiting read find it only on poll N + 1.
QString queueSwipe(const QJsonObject &command)
{
    StripeCard card = demoStripeCard();
    const char *kTrackKeys[] = {"track1", "track2", "track3"};
    bool ownTracks = false;
    for (const char *key : kTrackKeys)
        ownTracks = ownTracks || command.contains(QLatin1String(key));
    for (int t = 0; ownTracks && t < 3; ++t) {
        const QJsonValue value = command.value(QLatin1String(kTrackKeys[t]));
        if (!value.isUndefined() && !value.isString())
            return QStringLiteral("\"%1\" must be text").arg(QLatin1String(kTrackKeys[t]));
        card.tracks[t] = value.toString().toStdString();
    }
    if (!card.valid())
        return QStringLiteral("a track is too long or holds characters a stripe cannot carry");
    card.readable = !command.value("error").toBool(false);
    const double afterPolls = command.value("afterPolls").toDouble(0);
    if (!(afterPolls >= 0 && afterPolls <= kMaxAfterPolls) || afterPolls != std::floor(afterPolls))
        return QStringLiteral("\"afterPolls\" must be a whole number from 0 to %1").arg(kMaxAfterPolls);
    EmulatedReader::instance().firmware().unit<StripeHead>().queueSwipe(card, int(afterPolls));
    return {};
}

constexpr double kMaxLatencyMs = 1000;
double g_latencyMs = 0; // as last set here

const PlaceRow *findPlace(const QString &name)
{
    for (const PlaceRow &row : kPlaces)
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

const CardRow *findCard(const QString &name)
{
    for (const CardRow &row : kCards)
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

CardPlace &placeOf(const PlaceRow &row)
{
    Deck &deck = EmulatedReader::instance().deck();
    switch (row.kind) {
    case PlaceKind::Contact:
        return *deck.contactSlot(row.slotByte);
    case PlaceKind::Field:
        return deck.radioField();
    case PlaceKind::IdCardSam:
        break;
    }
    return deck.idCardSam();
}

QJsonObject cardJson(const Card *card)
{
    if (!card)
        return {};
    for (const CardRow &row : kCards) {
        const QString about = row.describe(card);
        if (!about.isEmpty())
            return {{"card", row.name}, {"about", about}};
    }
    return {{"card", "other"}, {"about", "a card of another kind"}};
}

QJsonObject state()
{
    EmulatedReader &reader = EmulatedReader::instance();
    QJsonArray places;
    for (const PlaceRow &row : kPlaces) {
        QJsonObject place = cardJson(placeOf(row).card());
        place.insert("place", row.name);
        places.append(place);
    }
    QJsonArray cards;
    for (const CardRow &card : kCards) {
        QJsonArray where;
        for (const PlaceRow &row : kPlaces)
            if (row.kind == card.kind)
                where.append(row.name);
        cards.append(QJsonObject{{"card", card.name}, {"places", where}});
    }
    return {{"plugged", reader.isPlugged()},
            {"latencyMs", g_latencyMs},
            {"fieldOn", reader.deck().radioField().on},
            {"swipesQueued", int(reader.firmware().unit<StripeHead>().swipes.size())},
            {"places", places},
            {"cards", cards}};
}

// Runs one command; empty text when it worked, else why not.
QString run(const QJsonObject &command)
{
    EmulatedReader &reader = EmulatedReader::instance();
    const QString cmd = command.value("cmd").toString();
    if (cmd == "list")
        return {};
    if (cmd == "unplug") {
        reader.unplug();
        return {};
    }
    if (cmd == "plug") {
        reader.plug();
        return {};
    }
    if (cmd == "latency") {
        const double ms = command.value("ms").toDouble(-1);
        if (!(ms >= 0 && ms <= kMaxLatencyMs))
            return QStringLiteral("\"ms\" must be a number from 0 to %1").arg(kMaxLatencyMs);
        g_latencyMs = ms;
        reader.setLatency(std::chrono::microseconds(std::llround(ms * 1000)));
        return {};
    }
    if (cmd == "swipe")
        return queueSwipe(command);
    if (cmd == "place" || cmd == "remove") {
        const PlaceRow *place = findPlace(command.value("place").toString());
        if (!place)
            return QStringLiteral("no place \"%1\"").arg(command.value("place").toString());
        if (cmd == "remove") {
            placeOf(*place).remove();
            return {};
        }
        const CardRow *card = findCard(command.value("card").toString());
        if (!card)
            return QStringLiteral("no card \"%1\"").arg(command.value("card").toString());
        if (card->kind != place->kind)
            return QStringLiteral("a \"%1\" card does not go in \"%2\"").arg(card->name, place->name);
        placeOf(*place).insert(card->make());
        return {};
    }
    return QStringLiteral("unknown command \"%1\"").arg(cmd);
}

} // namespace

ControlChannel::ControlChannel(quint16 port, QObject *parent)
    : QObject(parent),
      m_server(new QWebSocketServer(QStringLiteral("Dorvent emulator control"),
                                    QWebSocketServer::NonSecureMode, this))
{
    connect(m_server, &QWebSocketServer::newConnection, this, &ControlChannel::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, port);
}

bool ControlChannel::isListening() const
{
    return m_server->isListening();
}

quint16 ControlChannel::port() const
{
    return m_server->serverPort();
}

QString ControlChannel::handle(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QJsonObject command = document.object();
    const QString failure = document.isObject() ? run(command) : QStringLiteral("not a JSON object");
    QJsonObject reply{{"ok", failure.isEmpty()}, {"state", state()}};
    if (command.contains("id"))
        reply.insert("id", command.value("id"));
    if (!failure.isEmpty())
        reply.insert("error", failure);
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

void ControlChannel::onNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        // Commands are tiny; anything large is a mistake.
        socket->setMaxAllowedIncomingMessageSize(4096);
        socket->setMaxAllowedIncomingFrameSize(4096);
        connect(socket, &QWebSocket::textMessageReceived, socket,
                [socket](const QString &text) { socket->sendTextMessage(handle(text)); });
        // Owned by the server until it disconnects, then deleted.
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void startControlChannel()
{
    // Lives as long as the process.
    auto *channel = new ControlChannel();
    if (channel->isListening())
        qInfo("emulator control channel listening on ws://127.0.0.1:%u", unsigned(ControlChannel::kPort));
    else
        qWarning("emulator control channel: cannot listen on 127.0.0.1:%u", unsigned(ControlChannel::kPort));
}

} // namespace dorvent::emulator
