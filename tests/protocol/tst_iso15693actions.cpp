// The ISO 15693 actions over a real WebSocket against the emulated tag:
// every action's success and failure reply (the "1593" and "15693" forms),
// and the bytes "addr" and "afidsiddata" become on the wire.

#include "emulatedreader.h"
#include "iso15693.h"
#include "reports.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::replyText;

class tst_Iso15693Actions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void lockedBlockRefusesWrites();
    void byteFields_data();
    void byteFields();
};

void tst_Iso15693Actions::init()
{
    reader().reset();
    reader().deck().radioField().insert(demoIso15693Tag());
    QVERIFY(startService());
}

void tst_Iso15693Actions::cleanup()
{
    stopService();
}

void tst_Iso15693Actions::replies_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("success");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("failure");
    // Each runs on the demo tag, then with no tag in the field.
    QTest::newRow("find") << R"({"_act":"card15693Find"})" << QStringLiteral("15693卡寻卡成功")
                          << "0000785634125001" "04E0" << QStringLiteral("15693卡寻卡失败");
    QTest::newRow("read") << R"({"_act":"card15693Read","addr":"1"})" << QStringLiteral("1593读卡成功") << "454E5431"
                          << QStringLiteral("15693读卡失败");
    QTest::newRow("write") << R"({"_act":"card15693Write","addr":"2","data":"01020304"})" << QStringLiteral("1593写卡成功")
                           << "" << QStringLiteral("1593写卡失败");
    QTest::newRow("write AFI") << R"({"_act":"card15693WriteAFI","afidsiddata":"7"})" << QStringLiteral("1593写AFI成功") << ""
                               << QStringLiteral("1593写AFI失败");
    QTest::newRow("lock AFI") << R"({"_act":"card15693LockAFI"})" << QStringLiteral("15693锁AFI成功") << ""
                              << QStringLiteral("15693锁AFI失败");
    QTest::newRow("write DSFID") << R"({"_act":"card15693WriteDSFID","afidsiddata":"9"})" << QStringLiteral("1593写DSFID成功")
                                 << "" << QStringLiteral("1593写DSFID失败");
    QTest::newRow("lock DSFID") << R"({"_act":"card15693LockDSFID"})" << QStringLiteral("15693锁DSFID成功") << ""
                                << QStringLiteral("15693锁DSFID失败");
    QTest::newRow("lock block") << R"({"_act":"card15693Lock","addr":"3"})" << QStringLiteral("15693锁定块成功") << ""
                                << QStringLiteral("15693锁定块失败");
    QTest::newRow("system information") << R"({"_act":"card15693Info"})" << QStringLiteral("获取15693卡信息成功")
                                        << "0F" "785634125001" "04E0" "00" "00" "1B" "03" "01"
                                        << QStringLiteral("获取15693卡信息失败");
}

void tst_Iso15693Actions::replies()
{
    QFETCH(QString, request);
    QFETCH(QString, success);
    QFETCH(QString, data);
    QFETCH(QString, failure);
    open();
    const QString name = QJsonDocument::fromJson(request.toUtf8()).object().value("_act").toString();
    QCOMPARE(m_client->request(request), replyText(name, 0, success, data));
    reader().deck().radioField().remove();
    QCOMPARE(m_client->request(request), replyText(name, -21, failure));
}

void tst_Iso15693Actions::lockedBlockRefusesWrites()
{
    open();
    QCOMPARE(m_client->request(R"({"_act":"card15693Write","addr":"4","data":"A1B2"})"),
             replyText("card15693Write", 0, QStringLiteral("1593写卡成功")));
    QCOMPARE(m_client->request(R"({"_act":"card15693Lock","addr":"4"})"),
             replyText("card15693Lock", 0, QStringLiteral("15693锁定块成功")));
    QCOMPARE(m_client->request(R"({"_act":"card15693Write","addr":"4","data":"FFFFFFFF"})"),
             replyText("card15693Write", -21, QStringLiteral("1593写卡失败")));
    QCOMPARE(m_client->request(R"({"_act":"card15693Read","addr":"4"})"),
             replyText("card15693Read", 0, QStringLiteral("1593读卡成功"), "A1B20000"));
}

void tst_Iso15693Actions::byteFields_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QByteArray>("params"); // the bytes after the command on the wire
    QTest::newRow("AFI \"7\"") << R"({"_act":"card15693WriteAFI","afidsiddata":"7"})" << QByteArray("\x00\x07", 2);
    QTest::newRow("AFI \"0x07\" is 0") << R"({"_act":"card15693WriteAFI","afidsiddata":"0x07"})" << QByteArray("\x00\x00", 2);
    QTest::newRow("AFI \"263\" is 7") << R"({"_act":"card15693WriteAFI","afidsiddata":"263"})" << QByteArray("\x00\x07", 2);
    QTest::newRow("AFI \"4294967303\" is no int: 0") << R"({"_act":"card15693WriteAFI","afidsiddata":"4294967303"})"
                                                   << QByteArray("\x00\x00", 2);
    QTest::newRow("DSFID, a number") << R"({"_act":"card15693WriteDSFID","afidsiddata":18})" << QByteArray("\x00\x12", 2);
    QTest::newRow("DSFID absent is 0") << R"({"_act":"card15693WriteDSFID"})" << QByteArray("\x00\x00", 2);
    QTest::newRow("read \"300\" is block 44") << R"({"_act":"card15693Read","addr":"300"})" << QByteArray("\x2C", 1);
    QTest::newRow("read \"4294967300\" is no int: block 0") << R"({"_act":"card15693Read","addr":"4294967300"})"
                                                         << QByteArray("\x00", 1);
    QTest::newRow("lock \"300\" is block 44") << R"({"_act":"card15693Lock","addr":"300"})" << QByteArray("\x2C", 1);
    QTest::newRow("write \"300\" is block 44") << R"({"_act":"card15693Write","addr":"300","data":"AB"})"
                                               << QByteArray("\x2C\xAB\x00\x00\x00", 5);
}

void tst_Iso15693Actions::byteFields()
{
    QFETCH(QString, request);
    QFETCH(QByteArray, params);
    open();
    reader().clearLog();
    m_client->request(request);
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(testsupport::bytesOf(sent[0]).mid(6, params.size()), params);
}

QTEST_MAIN(tst_Iso15693Actions)
#include "tst_iso15693actions.moc"
