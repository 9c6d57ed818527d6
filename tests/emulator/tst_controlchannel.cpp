// The emulated reader's control channel: commands change the reader as they
// say, bad commands change nothing and say why, and the socket is loopback only.

#include "controlchannel.h"
#include "emulatedreader.h"
#include "stripe.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

using namespace dorvent::emulator;

namespace {

QJsonObject send(const QString &command)
{
    return QJsonDocument::fromJson(ControlChannel::handle(command).toUtf8()).object();
}

QJsonObject placeIn(const QJsonObject &reply, const QString &name)
{
    for (const QJsonValue &place : reply.value("state").toObject().value("places").toArray())
        if (place.toObject().value("place").toString() == name)
            return place.toObject();
    return {};
}

// A new reader holding the demo cards, put there through the channel.
void demoDeck()
{
    EmulatedReader::instance().reset();
    for (const char *command : {R"({"cmd":"place","place":"slot1","card":"cpu"})",
                                R"({"cmd":"place","place":"field","card":"typeA-cpu"})",
                                R"({"cmd":"place","place":"idcard","card":"idcard"})"})
        QVERIFY(send(command).value("ok").toBool());
}

} // namespace

class tst_ControlChannel : public QObject
{
    Q_OBJECT

private slots:
    void init() { demoDeck(); }
    void cleanup() { EmulatedReader::instance().setLatency(std::chrono::microseconds(0)); }

    void listsTheDeck()
    {
        const QJsonObject reply = send(R"({"cmd":"list","id":7})");
        QCOMPARE(reply.value("ok").toBool(), true);
        QCOMPARE(reply.value("id").toInt(), 7);
        QCOMPARE(reply.value("state").toObject().value("plugged").toBool(), true);
        QCOMPARE(placeIn(reply, "slot1").value("about").toString(),
                 QStringLiteral("contact CPU card, ATR 3B680000444F5256454E5431"));
        QCOMPARE(placeIn(reply, "field").value("card").toString(), QStringLiteral("typeA-cpu"));
        QCOMPARE(placeIn(reply, "idcard").value("card").toString(), QStringLiteral("idcard"));
        QVERIFY(!placeIn(reply, "slot11").contains("card"));
    }

    void removesAndPlacesCards_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("card");
        QTest::newRow("contact slot") << "slot1" << "cpu";
        QTest::newRow("SAM slot") << "slot12" << "cpu";
        QTest::newRow("radio field") << "field" << "typeA-cpu";
        QTest::newRow("M1 card in the field") << "field" << "m1";
        QTest::newRow("ISO 15693 tag in the field") << "field" << "iso15693";
        QTest::newRow("identity-card SAM") << "idcard" << "idcard";
        QTest::newRow("bank card in the field") << "field" << "bank";
        QTest::newRow("bank card in a slot") << "slot1" << "bank-contact";
        QTest::newRow("social-security card") << "slot1" << "sscard";
        QTest::newRow("social-security card in the field") << "field" << "sscard-contactless";
        QTest::newRow("social-security SAM") << "slot11" << "ss-sam";
    }

    void removesAndPlacesCards()
    {
        QFETCH(QString, place);
        QFETCH(QString, card);
        QJsonObject reply = send(QStringLiteral(R"({"cmd":"remove","place":"%1"})").arg(place));
        QCOMPARE(reply.value("ok").toBool(), true);
        QVERIFY(!placeIn(reply, place).contains("card"));
        reply = send(QStringLiteral(R"({"cmd":"place","place":"%1","card":"%2"})").arg(place, card));
        QCOMPARE(reply.value("ok").toBool(), true);
        QCOMPARE(placeIn(reply, place).value("card").toString(), card);
    }

    void removingEmptiesTheReadersPlace()
    {
        send(R"({"cmd":"remove","place":"field"})");
        QVERIFY(EmulatedReader::instance().deck().radioField().empty());
        send(R"({"cmd":"remove","place":"idcard"})");
        QVERIFY(EmulatedReader::instance().deck().idCardSam().empty());
    }

    void unplugsAndPlugs()
    {
        QCOMPARE(send(R"({"cmd":"unplug"})").value("state").toObject().value("plugged").toBool(), false);
        QVERIFY(!EmulatedReader::instance().isPlugged());
        QCOMPARE(send(R"({"cmd":"plug"})").value("state").toObject().value("plugged").toBool(), true);
        QVERIFY(EmulatedReader::instance().isPlugged());
    }

    void setsTheLatency()
    {
        const QJsonObject reply = send(R"({"cmd":"latency","ms":2.5})");
        QCOMPARE(reply.value("ok").toBool(), true);
        QCOMPARE(reply.value("state").toObject().value("latencyMs").toDouble(), 2.5);
    }

    void placesMemoryCards_data()
    {
        QTest::addColumn<QString>("card");
        QTest::addColumn<QString>("about");
        QTest::newRow("4442") << "4442" << "4442 memory card, 3 code attempts left";
        QTest::newRow("4428") << "4428" << "4428 memory card, 8 code attempts left";
    }

    void placesMemoryCards()
    {
        QFETCH(QString, card);
        QFETCH(QString, about);
        const QJsonObject reply = send(QStringLiteral(R"({"cmd":"place","place":"slot1","card":"%1"})").arg(card));
        QCOMPARE(reply.value("ok").toBool(), true);
        QCOMPARE(placeIn(reply, "slot1").value("about").toString(), about);
    }

    void queuesSwipes()
    {
        QCOMPARE(send(R"({"cmd":"list"})").value("state").toObject().value("swipesQueued").toInt(), 0);
        QVERIFY(send(R"({"cmd":"swipe"})").value("ok").toBool());
        const QJsonObject reply = send(R"({"cmd":"swipe","track2":"6222=2512","afterPolls":3,"error":true})");
        QCOMPARE(reply.value("ok").toBool(), true);
        QCOMPARE(reply.value("state").toObject().value("swipesQueued").toInt(), 2);
        const auto &swipes = EmulatedReader::instance().firmware().unit<StripeHead>().swipes;
        QCOMPARE(swipes.back().card.tracks[1], std::string("6222=2512"));
        QCOMPARE(swipes.back().card.tracks[0], std::string());
        QCOMPARE(swipes.back().afterPolls, 3);
        QCOMPARE(swipes.back().card.readable, false);
        QCOMPARE(swipes.front().card.tracks[0], demoStripeCard().tracks[0]);
    }

    void refusesWithAReason_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("error");
        QTest::newRow("not JSON") << "place field" << "not a JSON object";
        QTest::newRow("array") << "[1]" << "not a JSON object";
        QTest::newRow("unknown command") << R"({"cmd":"shake"})" << R"(unknown command "shake")";
        QTest::newRow("no command") << "{}" << R"(unknown command "")";
        QTest::newRow("unknown place") << R"({"cmd":"remove","place":"slot9"})" << R"(no place "slot9")";
        QTest::newRow("unknown card") << R"({"cmd":"place","place":"field","card":"desfire"})" << R"(no card "desfire")";
        QTest::newRow("card of the wrong place") << R"({"cmd":"place","place":"field","card":"cpu"})"
                                                 << R"(a "cpu" card does not go in "field")";
        QTest::newRow("negative latency") << R"({"cmd":"latency","ms":-1})" << "from 0 to 1000";
        QTest::newRow("latency too long") << R"({"cmd":"latency","ms":1001})" << "from 0 to 1000";
        QTest::newRow("latency as text") << R"({"cmd":"latency","ms":"5"})" << "from 0 to 1000";
        QTest::newRow("swipe, track 2 with letters") << R"({"cmd":"swipe","track2":"62AB"})" << "cannot carry";
        QTest::newRow("swipe, track 1 too long") << QStringLiteral(R"({"cmd":"swipe","track1":"%1"})").arg(QString(77, 'A'))
                                                 << "too long";
        QTest::newRow("swipe, negative afterPolls") << R"({"cmd":"swipe","afterPolls":-1})" << "whole number";
        QTest::newRow("swipe, track as a number") << R"({"cmd":"swipe","track2":62})" << "must be text";
    }

    void refusesWithAReason()
    {
        QFETCH(QString, command);
        QFETCH(QString, error);
        const QString before = ControlChannel::handle(R"({"cmd":"list"})");
        const QJsonObject reply = send(command);
        QCOMPARE(reply.value("ok").toBool(), false);
        QVERIFY2(reply.value("error").toString().contains(error), qPrintable(reply.value("error").toString()));
        QCOMPARE(ControlChannel::handle(R"({"cmd":"list"})"), before);
    }

    void answersOnLoopbackOnly()
    {
        ControlChannel channel(0);
        QVERIFY(channel.isListening());
        QWebSocket client;
        QSignalSpy replies(&client, &QWebSocket::textMessageReceived);
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(channel.port())));
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(client.peerAddress(), QHostAddress(QHostAddress::LocalHost));
        client.sendTextMessage(R"({"cmd":"remove","place":"slot1","id":"a"})");
        QTRY_COMPARE(replies.count(), 1);
        const QJsonObject reply = QJsonDocument::fromJson(replies.at(0).at(0).toString().toUtf8()).object();
        QCOMPARE(reply.value("id").toString(), QStringLiteral("a"));
        QVERIFY(EmulatedReader::instance().deck().contactSlot(Deck::kUserSlot)->empty());
    }
};

QTEST_GUILESS_MAIN(tst_ControlChannel)
#include "tst_controlchannel.moc"
