// A reader that a page opened and that leaves the USB bus, over a real
// WebSocket against the emulated reader: requests answer "reader gone"
// (-31), also the one during which it left and a swipe wait holding it; once
// it is back the next request works with no close and open. Hotplug events
// and a handle answering "no device" both tell it; a reader no page opened
// is left alone; the status action follows it all.

#include "cpucards.h"
#include "deck.h"
#include "emulatedreader.h"
#include "action.h"
#include "idcard.h"
#include "luvarocard.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

using namespace dorvent::emulator;
using testsupport::act;
using testsupport::replyText;

namespace {

const QString kGone = QStringLiteral("读卡器已拔出");

void noSleep(int) {}

QString goneReply(const char *name) { return replyText(QLatin1String(name), -31, kGone); }

} // namespace

class tst_ReaderHealing : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void leavesDuringARequest_data();
    void leavesDuringARequest();
    void swipeWaitEndsWhenTheReaderLeaves();
    void withoutHotplugEvents();
    void reopeningTriedAgain();
    void openWhileGoneAndBack();
    void aReaderNoPageOpenedIsLeftAlone();
    void statusFollowsTheReader();

private:
    // A service in front of the reader with a card in slot 1 and on the
    // identity-card SAM; hotplug as asked.
    void start(bool hotplug);
    QString request(const QString &json) { return m_client->request(json); }
    QString request(const char *name) { return m_client->request(act(name)); }
    QJsonObject status() { return m_client->requestJson(act("serviceStatus")); }
    // Until the service has handled every hotplug event, on its own event loop.
    void waitForEvents() { QTRY_COMPARE(reader().pendingHotplugEvents(), 0); }
};

void tst_ReaderHealing::initTestCase()
{
    luvaroCard::setSleepFunction(noSleep);
}

void tst_ReaderHealing::init()
{
    start(true);
}

void tst_ReaderHealing::cleanup()
{
    stopService();
    reader().setHotplugCapability(true);
    reader().setInterfaceHeldElsewhere(false);
    dorvent::protocol::setSwipePollInterval(luvaroCard::kSwipePollMs);
}

void tst_ReaderHealing::start(bool hotplug)
{
    stopService();
    reader().setHotplugCapability(hotplug);
    reader().reset();
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    reader().deck().idCardSam().insert(demoIdentityCard());
    QVERIFY(startService());
}

void tst_ReaderHealing::leavesDuringARequest_data()
{
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("transfersBeforeUnplug");
    const QString powerOn = QStringLiteral(R"({"_act":"cardClodPowerOn","slotNo":"1"})");
    QTest::newRow("identity card, in the middle of its read")
        << QStringList() << QStringLiteral(R"({"_act":"readIDCard"})") << 20;
    QTest::newRow("APDU, between request and reply")
        << QStringList{powerOn} << QStringLiteral(R"({"_act":"cardRun","slotNo":"1","apdu":"0084000008"})") << 1;
    QTest::newRow("beep, unplugged while idle") << QStringList() << QStringLiteral(R"({"_act":"beep"})") << 0;
}

void tst_ReaderHealing::leavesDuringARequest()
{
    QFETCH(QStringList, first);
    QFETCH(QString, request);
    QFETCH(int, transfersBeforeUnplug);
    const QByteArray name = QJsonDocument::fromJson(request.toUtf8()).object().value("_act").toString().toLatin1();

    open();
    for (const QString &before : first)
        QCOMPARE(m_client->requestJson(before).value("success").toInt(), 0);
    reader().unplugAfterTransfers(transfersBeforeUnplug);
    QCOMPARE(this->request(request), goneReply(name));
    // Still gone: nothing is sent.
    reader().clearLog();
    QCOMPARE(this->request(request), goneReply(name));
    QCOMPARE(this->request("open"), goneReply("open"));
    QVERIFY(reader().transfers().empty());

    // Back: the same requests work without a close and an open.
    reader().plug();
    for (const QString &before : first)
        QCOMPARE(m_client->requestJson(before).value("success").toInt(), 0);
    QCOMPARE(m_client->requestJson(request).value("success").toInt(), 0);
}

void tst_ReaderHealing::swipeWaitEndsWhenTheReaderLeaves()
{
    // Polls far apart: only the departure can end the wait.
    dorvent::protocol::setSwipePollInterval(60000);
    open();
    reader().clearLog();
    m_client->socket().sendTextMessage(QStringLiteral(R"({"_act":"scardRead","outTime":"60","mgNum":"2"})"));
    QTRY_VERIFY(!reader().sentReports().empty()); // the swipe request is out
    const int before = m_client->texts.size();
    const std::size_t transfers = reader().transfers().size();
    reader().unplug();
    QTRY_COMPARE(m_client->texts.size(), before + 1);
    QCOMPARE(m_client->texts.last(), goneReply("scardRead"));
    QCOMPARE(reader().transfers().size(), transfers); // no poll, no cancel sent to a reader that left

    reader().plug();
    QCOMPARE(m_client->requestJson(act("scardGet")).value("success").toInt(), 0);
}

void tst_ReaderHealing::withoutHotplugEvents()
{
    start(false);
    QCOMPARE(status().value("readerPresent").type(), QJsonValue::Null); // unknown until opened
    open();
    reader().unplug();
    QCOMPARE(request("beep"), goneReply("beep"));
    QCOMPARE(status().value("readerPresent").toBool(true), false);
    // Only an attempt tells it is back: the next request makes it.
    reader().plug();
    QCOMPARE(request("beep"), replyText("beep", 0, QStringLiteral("蜂鸣器调用成功")));
    QCOMPARE(status().value("readerPresent").toBool(), true);
}

void tst_ReaderHealing::reopeningTriedAgain()
{
    open();
    reader().unplug();
    reader().setInterfaceHeldElsewhere(true); // back, but another program claimed it first
    reader().plug();
    waitForEvents();
    QCOMPARE(request("beep"), goneReply("beep"));
    reader().setInterfaceHeldElsewhere(false);
    QCOMPARE(request("beep"), replyText("beep", 0, QStringLiteral("蜂鸣器调用成功")));
}

void tst_ReaderHealing::openWhileGoneAndBack()
{
    open();
    reader().unplug();
    waitForEvents();
    QVERIFY(!reader().interfaceClaimed());
    QCOMPARE(request("open"), goneReply("open"));
    reader().plug();
    waitForEvents(); // opened again on the event, before any request
    QVERIFY(reader().interfaceClaimed());
    QCOMPARE(request("open"), replyText("open", -1, QStringLiteral("端口未关闭")));
    QCOMPARE(reader().openHandles(), 1);
}

void tst_ReaderHealing::aReaderNoPageOpenedIsLeftAlone()
{
    reader().unplug();
    reader().plug();
    waitForEvents();
    QCOMPARE(reader().openHandles(), 0);

    // Nor one a page closed, even while it was gone.
    open();
    reader().unplug();
    QCOMPARE(request("close"), replyText("close", 0, QStringLiteral("端口关闭成功")));
    reader().plug();
    waitForEvents();
    QCOMPARE(reader().openHandles(), 0);
    QCOMPARE(request("beep"), replyText("beep", -1, QStringLiteral("端口未打开")));

    // And one never opened answers open as it always did while unplugged.
    reader().unplug();
    QCOMPARE(request("open"), replyText("open", -1, QStringLiteral("打开端口失败")));
}

void tst_ReaderHealing::statusFollowsTheReader()
{
    QJsonObject closed = status();
    QCOMPARE(closed.value("success").toInt(), 0);
    QCOMPARE(closed.value("msg").toString(), QStringLiteral("获取服务状态成功"));
    QVERIFY(!closed.value("serviceVersion").toString().isEmpty());
    QCOMPARE(closed.value("readerPresent").toBool(), true);
    QCOMPARE(closed.value("readerOpen").toBool(true), false);
    QCOMPARE(closed.value("readerOpenedAt").toString(), QString());
    QCOMPARE(reader().openHandles(), 0); // a closed reader is not asked

    open();
    const QJsonObject opened = status();
    QCOMPARE(opened.value("readerOpen").toBool(), true);
    QCOMPARE(opened.value("readerFirmware").toString(), QString::fromLatin1(Firmware::kDefaultVersion));
    const QDateTime openedAt = QDateTime::fromString(opened.value("readerOpenedAt").toString(), Qt::ISODateWithMs);
    QVERIFY(openedAt.isValid());

    reader().unplug();
    const QJsonObject gone = status();
    QCOMPARE(gone.value("readerPresent").toBool(true), false);
    QCOMPARE(gone.value("readerOpen").toBool(), true); // still open for pages: no open needed later

    reader().firmware().versionText = "LV-EMU 2.0";
    reader().plug();
    const QJsonObject back = status();
    QCOMPARE(back.value("readerPresent").toBool(), true);
    QCOMPARE(back.value("readerFirmware").toString(), QStringLiteral("LV-EMU 2.0")); // read from the new handle
    QVERIFY(QDateTime::fromString(back.value("readerOpenedAt").toString(), Qt::ISODateWithMs) >= openedAt);

    // While a swipe wait holds the reader, status is answered without it.
    dorvent::protocol::setSwipePollInterval(60000);
    reader().clearLog();
    m_client->socket().sendTextMessage(QStringLiteral(R"({"_act":"scardRead","outTime":"60","mgNum":"2"})"));
    QTRY_VERIFY(!reader().sentReports().empty());
    reader().clearLog();
    testsupport::WsClient other(testsupport::portOf(m_server));
    QCOMPARE(other.requestJson(act("serviceStatus")).value("readerOpen").toBool(), true);
    QVERIFY(reader().transfers().empty());
}

QTEST_MAIN(tst_ReaderHealing)
#include "tst_readerhealing.moc"
