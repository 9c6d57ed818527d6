// "readSci" over a real WebSocket against emulated cards and SAMs: the ten
// card keys of a read, the driver's code and text on failure, the SAM slot
// that "slotNo" chooses, the not-open reply.

#include "cpucards.h"
#include "emulatedreader.h"
#include "reports.h"
#include "sscard.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;

class tst_SsCardActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void read();
    void failures_data();
    void failures();
    void samSlot_data();
    void samSlot();
    void beforeOpen();
};

void tst_SsCardActions::init()
{
    reader().reset();
    QVERIFY(startService());
}

void tst_SsCardActions::cleanup()
{
    stopService();
}

void tst_SsCardActions::read()
{
    reader().deck().contactSlot(Deck::kUserSlot)->insert(socialSecurityCard(demoSocialSecurityData()));
    reader().deck().contactSlot(0x0D)->insert(socialSecuritySam());
    open();
    QCOMPARE(m_client->request(R"({"_act":"readSci","slotNo":"11","_tflag":"s"})"),
             QStringLiteral(R"({"_tflag":"s","birthday":"19880512","cardnumber":"A33012345","cardveVrsion":"3.00",)"
                            R"("city":"330100","functionName":"readSci","idnumber":"330106198805120024",)"
                            R"("msg":"获取社保卡信息成功","name":"欧阳明月","nation":"汉","sex":"女","signdate":"20210315",)"
                            R"("success":0,"validterm":"20310315"})"));
}

void tst_SsCardActions::failures_data()
{
    QTest::addColumn<bool>("card");
    QTest::addColumn<bool>("sam");
    QTest::addColumn<QString>("reply");
    QTest::newRow("no card, SAM present") << false << true
                                          << testsupport::replyText("readSci", -100, "未检测到社保卡");
    QTest::newRow("no card, no SAM") << false << false
                                     << testsupport::replyText("readSci", -100, "未检测到有卡片上电成功");
    QTest::newRow("not a social-security card") << true << true
                                                << testsupport::replyText("readSci", -27266, "社保卡状态码:6A82");
}

void tst_SsCardActions::failures()
{
    QFETCH(bool, card);
    QFETCH(bool, sam);
    QFETCH(QString, reply);
    if (card)
        reader().deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    if (sam)
        reader().deck().contactSlot(0x0D)->insert(socialSecuritySam());
    open();
    QCOMPARE(m_client->request(testsupport::act("readSci")), reply);
}

void tst_SsCardActions::samSlot_data()
{
    // "11" to "14" choose their SAM slot; anything else is slot 0x11.
    QTest::addColumn<QString>("slotNo");
    QTest::addColumn<int>("slotByte");
    QTest::newRow("\"11\"") << R"("11")" << 0x0D;
    QTest::newRow("\"12\"") << R"("12")" << 0x0E;
    QTest::newRow("\"14\"") << R"("14")" << 0x10;
    QTest::newRow("the number 13") << "13" << 0x0F;
    QTest::newRow("\"1\" is not a SAM slot") << R"("1")" << 0x0D;
    QTest::newRow("\"17\"") << R"("17")" << 0x0D;
    QTest::newRow("absent") << QString() << 0x0D;
}

void tst_SsCardActions::samSlot()
{
    QFETCH(QString, slotNo);
    QFETCH(int, slotByte);
    reader().deck().contactSlot(Deck::kUserSlot)->insert(socialSecurityCard(demoSocialSecurityData()));
    reader().deck().contactSlot(std::uint8_t(slotByte))->insert(socialSecuritySam());
    open();
    const QString request = slotNo.isNull() ? testsupport::act("readSci")
                                            : QStringLiteral(R"({"_act":"readSci","slotNo":%1})").arg(slotNo);
    QCOMPARE(m_client->requestJson(request).value("success").toInt(), 0);
    // The read authenticated through that slot: its SAM was selected.
    bool selected = false;
    for (const QByteArray &frame : testsupport::sentFrames())
        selected = selected || (frame.size() > 8 && std::uint8_t(frame[5]) == 0x72 && std::uint8_t(frame[6]) == slotByte);
    QVERIFY(selected);
}

void tst_SsCardActions::beforeOpen()
{
    reader().deck().contactSlot(Deck::kUserSlot)->insert(socialSecurityCard(demoSocialSecurityData()));
    QCOMPARE(m_client->request(R"({"_act":"readSci","slotNo":"11","_tflag":"t"})"),
             testsupport::replyText("readSci", -1, "端口未打开", QString(), "t"));
    QCOMPARE(reader().transfers().size(), std::size_t(0));
}

QTEST_MAIN(tst_SsCardActions)
#include "tst_sscardactions.moc"
