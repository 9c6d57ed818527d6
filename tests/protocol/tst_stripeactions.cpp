// The magnetic-stripe actions over a real WebSocket against the emulated
// head: the format block both ways and its description, and swipes.

#include "controlchannel.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"
#include "stripe.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace dorvent::emulator;
using testsupport::hex;
using testsupport::replyText;

namespace {

void noSleep(int) {}

} // namespace

class tst_StripeActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void setThenGet();
    void description_data();
    void description();
    void formatFailures();
    void swipe();
    void swipeWaitLeavesTheServiceFree();
    void swipeFoundDuringTheWait();

private:
    QString request(const QString &json) { return m_client->request(json); }
};

void tst_StripeActions::initTestCase()
{
    luvaroCard::setSleepFunction(noSleep);
}

void tst_StripeActions::init()
{
    reader().reset();
    QVERIFY(startService());
    open();
    reader().clearLog();
}

void tst_StripeActions::cleanup()
{
    stopService();
}

void tst_StripeActions::setThenGet()
{
    QCOMPARE(request(R"({"_act":"scardSet","outType":"0","mgNum":"4","outInfo":"0","appendEnter":"1"})"),
             replyText("scardSet", 0, "设置磁条卡成功"));
    QCOMPARE(testsupport::sentFrames().value(0).left(11), hex("0208000500 3F A5040001 92"));
    QCOMPARE(request(R"({"_act":"scardGet","_tflag":"g"})"),
             replyText("scardGet", 0, "磁条卡读取设置成功", "主动输出;磁道2/3;全部输出;换行输出", "g"));
    // Only the low byte of each setting goes out.
    request(R"({"_act":"scardSet","outType":"1","mgNum":"258","outInfo":"x","appendEnter":0})");
    QCOMPARE(testsupport::sentFrames().value(2).left(11), hex("0208000500 3F A4020000 94"));
}

void tst_StripeActions::description_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("text");
    QTest::newRow("active, track 2, data only, line end") << hex("A5020201") << "主动输出;磁道2;只输出数据;换行输出";
    QTest::newRow("passive, track 1, no sentinels") << hex("A4010100") << "被动输出;磁道1;出去起始接收符输出;不换行输出";
    QTest::newRow("track 3, any other mode byte") << hex("00030007") << "被动输出;磁道3;全部输出;换行输出";
    QTest::newRow("track 7 and content 5: mode and line end only") << hex("A5070500") << "主动输出;不换行输出";
}

void tst_StripeActions::description()
{
    QFETCH(QByteArray, block);
    QFETCH(QString, text);
    std::copy(block.begin(), block.end(), reader().firmware().unit<StripeHead>().format.begin());
    QCOMPARE(request(R"({"_act":"scardGet"})"), replyText("scardGet", 0, "磁条卡读取设置成功", text));
}

void tst_StripeActions::formatFailures()
{
    reader().injectReplyReports({testsupport::reportOf("0202010000")});
    QCOMPARE(request(R"({"_act":"scardGet"})"), replyText("scardGet", -21, "磁条卡读取设置失败"));
    reader().injectReplyReports({testsupport::reportOf("0202010000")});
    QCOMPARE(request(R"({"_act":"scardSet","outType":"0","mgNum":"1"})"), replyText("scardSet", -21, "设置磁条卡失败"));
}

void tst_StripeActions::swipe()
{
    StripeCard card;
    card.tracks[1] = "6222021234567890=2512101";
    reader().firmware().unit<StripeHead>().format = {0xA4, 0x02, 0x00, 0x00};
    reader().firmware().unit<StripeHead>().queueSwipe(card, 2);
    QCOMPARE(request(R"({"_act":"scardRead","outTime":"10","mgNum":"2"})"),
             replyText("scardRead", 0, "磁条卡刷卡成功", QString::fromLatin1(QByteArray(";6222021234567890=2512101?").toHex().toUpper())));
    QCOMPARE(testsupport::sentFrames().value(0).left(9), hex("0208000200 30 020A 32"));

    // No card with no time to wait; "outTime" goes out as its low byte.
    QCOMPARE(request(R"({"_act":"scardRead","outTime":"256","mgNum":"2"})"), replyText("scardRead", -4, "磁条卡刷卡失败"));
    reader().clearLog();
    QCOMPARE(request(R"({"_act":"scardRead","outTime":"1","mgNum":"1"})"), replyText("scardRead", -2, "磁条卡刷卡失败"));
    QCOMPARE(testsupport::sentFrames().size(), 2); // the read and the cancel
}

namespace {

const QByteArray kSwipeCancel = hex("0208000200 B3 02 BB");

bool cancelSent()
{
    const QList<QByteArray> frames = testsupport::sentFrames();
    return std::any_of(frames.begin(), frames.end(),
                       [](const QByteArray &frame) { return frame.startsWith(kSwipeCancel); });
}

} // namespace

// While one client waits for a swipe, the service accepts and answers others
// (what needs no reader at once, what needs it after the wait), pings and the
// control channel; the waiting client leaving ends the wait with the cancel.
void tst_StripeActions::swipeWaitLeavesTheServiceFree()
{
    ControlChannel control(0);
    QVERIFY(control.isListening());
    const int earlier = m_client->texts.size();
    m_client->socket().sendTextMessage(QStringLiteral(R"({"_act":"scardRead","outTime":"30","mgNum":"2","_tflag":"w"})"));
    QTRY_COMPARE(testsupport::sentFrames().size(), 1); // the swipe request is out; the polls follow

    QElapsedTimer clock;
    clock.start();
    testsupport::WsClient other(testsupport::portOf(m_server));
    QVERIFY(other.isConnected());
    QCOMPARE(other.request(QStringLiteral(R"({"_act":"noSuchAction"})"), 1000),
             QStringLiteral(R"({"_act":"noSuchAction"})"));
    qInfo("new client connected and answered after %lld ms of the wait", clock.elapsed());
    QSignalSpy pong(&other.socket(), &QWebSocket::pong);
    other.socket().ping("p");
    QVERIFY(pong.wait(1000));
    testsupport::WsClient controller(control.port());
    QVERIFY(controller.request(QStringLiteral(R"({"cmd":"list","id":1})"), 1000).contains(QLatin1String(R"("ok":true)")));

    // A request that needs the reader waits for it, and so does the waiting
    // client's own next one.
    other.socket().sendTextMessage(testsupport::act("version", "v"));
    m_client->socket().sendTextMessage(QStringLiteral(R"({"_act":"noSuchAction","_tflag":"mine"})"));
    QTest::qWait(500);
    QVERIFY(other.texts.size() == 1 && m_client->texts.size() == earlier);
    QVERIFY(!cancelSent());

    m_client->socket().close();
    QTRY_VERIFY_WITH_TIMEOUT(cancelSent(), 1000);
    QTRY_COMPARE(other.texts.size(), 2);
    QVERIFY2(other.texts.last().contains(QStringLiteral(R"("functionName":"version","msg":"获取版本信息成功","success":0)")), qPrintable(other.texts.last()));
    QCOMPARE(testsupport::sentFrames().size(), 3); // swipe, cancel, version: nothing else went out
}

// A swipe that comes while the read waits (here through the control channel,
// on the head's third poll) is its reply.
void tst_StripeActions::swipeFoundDuringTheWait()
{
    const int earlier = m_client->texts.size();
    m_client->socket().sendTextMessage(QStringLiteral(R"({"_act":"scardRead","outTime":"30","mgNum":"2","_tflag":"s"})"));
    QTRY_COMPARE(testsupport::sentFrames().size(), 1);
    QVERIFY(ControlChannel::handle(QStringLiteral(R"({"cmd":"swipe","track2":"6222=25","afterPolls":2})")).contains(QLatin1String(R"("ok":true)")));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->texts.size(), earlier + 1, 5000);
    QCOMPARE(m_client->texts.last(),
             replyText("scardRead", 0, "磁条卡刷卡成功", QString::fromLatin1(QByteArray(";6222=25?").toHex().toUpper()), "s"));
    QVERIFY(!cancelSent());
}

QTEST_MAIN(tst_StripeActions)
#include "tst_stripeactions.moc"
