// The CPU-card actions over a real WebSocket against the emulated reader:
// slot numbers as the driver gets them, the replies of each action, and the
// flag that gates them.

#include "cpucards.h"
#include "emulatedreader.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;

class tst_CpuActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void slotNumbers_data();
    void slotNumbers();
    void contactCard();
    void contactFailures();
    void hexTextRefused_data();
    void hexTextRefused();
    void contactless();
    void contactlessWithoutCard();
    void waitingTimeExtensions_data();
    void waitingTimeExtensions();
    void antenna();

private:
    QJsonObject call(const QString &json) { return m_client->requestJson(json); }

    TypeACpuCard *m_typeA = nullptr;
};

void tst_CpuActions::init()
{
    reader().reset();
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    auto typeA = demoTypeACpuCard();
    m_typeA = typeA.get();
    reader().deck().radioField().insert(std::move(typeA));
    QVERIFY(startService());
}

void tst_CpuActions::cleanup()
{
    stopService();
}

void tst_CpuActions::slotNumbers_data()
{
    // The slot byte on the wire tells which slot number the driver was given:
    // 1 -> 0C, 0x11..0x14 -> 0D..10, 0x21 (33) -> 8D, anything else -> 8F.
    QTest::addColumn<QString>("slotNo");
    QTest::addColumn<int>("slotByte");
    QTest::newRow("\"11\" is the code 0x11") << R"("11")" << 0x0D;
    QTest::newRow("\"12\"") << R"("12")" << 0x0E;
    QTest::newRow("\"13\"") << R"("13")" << 0x0F;
    QTest::newRow("\"14\"") << R"("14")" << 0x10;
    QTest::newRow("\"1\"") << R"("1")" << 0x0C;
    QTest::newRow("\"33\" is decimal 0x21") << R"("33")" << 0x8D;
    QTest::newRow("\"17\" is decimal, not 0x11") << R"("17")" << 0x0D;
    QTest::newRow("\"10\"") << R"("10")" << 0x8F;
    QTest::newRow("\"15\"") << R"("15")" << 0x8F;
    QTest::newRow("\"011\" is 11") << R"("011")" << 0x8F;
    QTest::newRow("\"0x11\" is 0") << R"("0x11")" << 0x8F;
    QTest::newRow("the number 11") << "11" << 0x0D;
    QTest::newRow("the number 1") << "1" << 0x0C;
    QTest::newRow("absent") << QString() << 0x8F;
}

void tst_CpuActions::slotNumbers()
{
    QFETCH(QString, slotNo);
    QFETCH(int, slotByte);
    open();
    reader().clearLog();
    const QString request = slotNo.isNull() ? QStringLiteral(R"({"_act":"cardClodPowerOn"})")
                                            : QStringLiteral(R"({"_act":"cardClodPowerOn","slotNo":%1})").arg(slotNo);
    call(request);
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(int(sent[0][6]), slotByte);
}

void tst_CpuActions::contactCard()
{
    open();
    QCOMPARE(m_client->request(R"({"_act":"cardClodPowerOn","slotNo":"1","_tflag":"a"})"),
             QStringLiteral(R"({"_tflag":"a","data":"3B680000444F5256454E5431","functionName":"cardClodPowerOn","msg":"CPU卡冷复位成功","success":0})"));
    QCOMPARE(m_client->request(R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040006D15600000100"})"),
             QStringLiteral(R"({"_tflag":"","data":"6F088406D156000001009000","functionName":"cardRun","msg":"CPU卡执行APDU命令成功","success":0})"));
    QCOMPARE(call(R"({"_act":"cardRun","slotNo":1,"apdu":"00B0820004"})").value("data").toString(),
             QStringLiteral("000003E89000"));
    QCOMPARE(call(R"({"_act":"cardRun","slotNo":"1","apdu":"0084000008"})").value("data").toString().size(), 20);
    QCOMPARE(m_client->request(R"({"_act":"cardHotPowerOn","slotNo":"1"})"),
             QStringLiteral(R"({"_tflag":"","data":"3B680000444F5256454E5431","functionName":"cardHotPowerOn","msg":"CPU卡热复位成功","success":0})"));
    QCOMPARE(m_client->request(R"({"_act":"cardPowerOff","slotNo":"1"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"cardPowerOff","msg":"CPU卡下电成功","success":0})"));
}

void tst_CpuActions::contactFailures()
{
    open();
    QCOMPARE(m_client->request(R"({"_act":"cardClodPowerOn","slotNo":"12"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"cardClodPowerOn","msg":"CPU卡冷复位失败","success":-4})"));
    QCOMPARE(m_client->request(R"({"_act":"cardHotPowerOn","slotNo":"12"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"cardHotPowerOn","msg":"CPU卡热复位失败","success":-4})"));
    // Unpowered card: the reader refuses the exchange.
    QCOMPARE(m_client->request(R"({"_act":"cardRun","slotNo":"1","apdu":"0084000004"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"cardRun","msg":"CPU卡执行APDU命令失败","success":-20})"));
    // An APDU longer than the reader's frame holds.
    const QString tooLong = QStringLiteral(R"({"_act":"cardRun","slotNo":"1","apdu":"%1"})").arg(QString(582, 'A'));
    QCOMPARE(call(tooLong).value("success").toInt(), -14);
    // A refused power-off carries the reader's code, and is a failure.
    QCOMPARE(m_client->request(R"({"_act":"cardPowerOff","slotNo":"12"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"cardPowerOff","msg":"CPU卡下电失败","success":1})"));
}

void tst_CpuActions::hexTextRefused_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::newRow("contact, not hex") << R"({"_act":"cardRun","slotNo":"1","apdu":"ZZZZZZZZZZ"})"
                                      << R"({"_tflag":"","functionName":"cardRun","msg":"CPU卡执行APDU命令失败","success":-14})";
    QTest::newRow("contact, spaces") << R"({"_act":"cardRun","slotNo":"1","apdu":"00 84 00 00 04"})"
                                     << R"({"_tflag":"","functionName":"cardRun","msg":"CPU卡执行APDU命令失败","success":-14})";
    QTest::newRow("contactless, not hex") << R"({"_act":"mcardRun","apdu":"ZZZZZZZZZZ"})"
                                          << R"({"_tflag":"","functionName":"mcardRun","msg":"非接触CPU卡执行APDU命令失败","success":-14})";
}

void tst_CpuActions::hexTextRefused()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    open();
    reader().clearLog();
    QCOMPARE(m_client->request(request), reply);
    QVERIFY(reader().transfers().empty());
}

void tst_CpuActions::contactless()
{
    open();
    QCOMPARE(m_client->request(R"({"_act":"mcardPowerOn"})"),
             QStringLiteral(R"({"_tflag":"","data":"07788070024456","functionName":"mcardPowerOn","msg":"TypeA 上电成功","success":0})"));
    QCOMPARE(m_client->request(R"({"_act":"mcardRun","apdu":"00A4040006D15600000100"})"),
             QStringLiteral(R"({"_tflag":"","data":"6F088406D156000001009000","functionName":"mcardRun","msg":"非接触CPU卡执行APDU命令成功","success":0})"));
    QCOMPARE(call(R"({"_act":"mcardRun","apdu":"00B0820004"})").value("data").toString(), QStringLiteral("000003E89000"));
    QCOMPARE(m_client->request(R"({"_act":"mcardPowerOff"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"mcardPowerOff","msg":"TypeA 下电成功","success":0})"));
    QCOMPARE(m_client->request(R"({"_act":"mcardRun","apdu":"0084000004"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"mcardRun","msg":"非接触CPU卡执行APDU命令失败","success":-20})"));
}

void tst_CpuActions::contactlessWithoutCard()
{
    reader().deck().radioField().remove();
    open();
    reader().clearLog();
    QCOMPARE(m_client->request(R"({"_act":"mcardPowerOn"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"mcardPowerOn","msg":"请求TypeA卡失败","success":-21})"));
    QCOMPARE(int(reader().sentReports().size()), 2); // set Type A, request
}

void tst_CpuActions::waitingTimeExtensions_data()
{
    QTest::addColumn<int>("extensions");
    QTest::newRow("once") << 1;
    QTest::newRow("twice in a row") << 2;
}

void tst_CpuActions::waitingTimeExtensions()
{
    QFETCH(int, extensions);
    open();
    QCOMPARE(call(R"({"_act":"mcardPowerOn"})").value("success").toInt(), 0);
    m_typeA->waitingTimeExtensions = extensions;
    QCOMPARE(m_client->request(R"({"_act":"mcardRun","apdu":"00A4040006D15600000100"})"),
             QStringLiteral(R"({"_tflag":"","data":"6F088406D156000001009000","functionName":"mcardRun","msg":"非接触CPU卡执行APDU命令成功","success":0})"));
    QCOMPARE(call(R"({"_act":"mcardRun","apdu":"00B0820004"})").value("data").toString(), QStringLiteral("000003E89000"));
}

void tst_CpuActions::antenna()
{
    open();
    QCOMPARE(m_client->request(R"({"_act":"closeAnt"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"closeAnt","msg":"关闭射频天线成功","success":0})"));
    QVERIFY(!reader().deck().radioField().on);
    QCOMPARE(call(R"({"_act":"mcardPowerOn"})").value("msg").toString(), QStringLiteral("请求TypeA卡失败"));
    QCOMPARE(m_client->request(R"({"_act":"openAnt"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"openAnt","msg":"打开射频天线成功","success":0})"));
    QCOMPARE(call(R"({"_act":"mcardPowerOn"})").value("success").toInt(), 0);

    reader().injectReplyReports({Report{0x02, 0x02, 0x05}});
    QCOMPARE(m_client->request(R"({"_act":"openAnt"})"),
             QStringLiteral(R"({"_tflag":"","functionName":"openAnt","msg":"打开射频天线失败","success":-21})"));
    reader().injectReplyReports({Report{0x02, 0x02, 0x05}});
    QCOMPARE(call(R"({"_act":"closeAnt"})").value("msg").toString(), QStringLiteral("关闭射频天线失败"));
}

QTEST_MAIN(tst_CpuActions)
#include "tst_cpuactions.moc"
