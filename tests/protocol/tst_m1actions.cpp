// The M1 actions over a real WebSocket against the emulated M1 card: what
// reaches the driver (key type, sector, block, amount) as seen on the wire,
// the replies of each step, and what is refused before anything is sent.

#include "emulatedreader.h"
#include "m1.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::replyText;

class tst_M1Actions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void find();
    void findFailures_data();
    void findFailures();
    void authenticationOnTheWire_data();
    void authenticationOnTheWire();
    void badKeyTypeSendsNothing_data();
    void badKeyTypeSendsNothing();
    void blocksAndValues();
    void valueText_data();
    void valueText();
    void refusedAmounts_data();
    void refusedAmounts();
    void blockNumbers_data();
    void blockNumbers();

private:
    QString request(const QString &json) { return m_client->request(json); }
    QJsonObject call(const QString &json) { return m_client->requestJson(json); }
    void openAndFind();

    M1Card *m_m1 = nullptr;
};

void tst_M1Actions::init()
{
    reader().reset();
    auto card = demoM1Card();
    m_m1 = card.get();
    reader().deck().radioField().insert(std::move(card));
    QVERIFY(startService());
}

void tst_M1Actions::cleanup()
{
    stopService();
}

void tst_M1Actions::openAndFind()
{
    QCOMPARE(call(R"({"_act":"open"})").value("success").toInt(), 0);
    QCOMPARE(call(R"({"_act":"cardm1Find"})").value("success").toInt(), 0);
    reader().clearLog();
}

void tst_M1Actions::find()
{
    QCOMPARE(call(R"({"_act":"open"})").value("success").toInt(), 0);
    reader().clearLog();
    QCOMPARE(request(R"({"_act":"cardm1Find","_tflag":"f"})"),
             replyText("cardm1Find", 0, QStringLiteral("M1卡寻卡成功"), "5A3C9E21", "f"));
    // Request, anticollision, select; the field is not switched to Type A first.
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 3);
    QCOMPARE(int(sent[0][5]), 0x41);
    QCOMPARE(int(sent[1][5]), 0x42);
    QCOMPARE(int(sent[2][5]), 0x43);
}

void tst_M1Actions::findFailures_data()
{
    QTest::addColumn<int>("okSteps"); // steps the reader answers before it refuses one
    QTest::addColumn<QString>("msg");
    QTest::newRow("request") << 0 << QStringLiteral("请求M1卡失败");
    QTest::newRow("anticollision") << 1 << QStringLiteral("M1防碰撞失败");
    QTest::newRow("select") << 2 << QStringLiteral("选择M1卡失败");
}

void tst_M1Actions::findFailures()
{
    QFETCH(int, okSteps);
    QFETCH(QString, msg);
    QCOMPARE(call(R"({"_act":"open"})").value("success").toInt(), 0);
    const std::vector<Report> answers = {Report{0x02, 0x02, 0x00, 0x02, 0x00, 0x04, 0x00},
                                         Report{0x02, 0x02, 0x00, 0x04, 0x5A, 0x3C, 0x9E, 0x21}};
    std::vector<Report> replies(answers.begin(), answers.begin() + okSteps);
    replies.push_back(Report{0x02, 0x02, 0x01});
    reader().injectReplyReports(replies);
    reader().clearLog();
    QCOMPARE(request(R"({"_act":"cardm1Find"})"), replyText("cardm1Find", -21, msg));
    QCOMPARE(int(reader().sentReports().size()), okSteps + 1);
}

void tst_M1Actions::authenticationOnTheWire_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<int>("keyType");
    QTest::addColumn<int>("sector");
    QTest::newRow("block 4, key B") << R"("addr":"4","keyType":"B")" << 0x04 << 1;
    QTest::newRow("block 7, key A") << R"("addr":"7","keyType":"A")" << 0x60 << 1;
    QTest::newRow("block 63") << R"("addr":"63","keyType":"A")" << 0x60 << 15;
    QTest::newRow("the number 8") << R"("addr":8,"keyType":"A")" << 0x60 << 2;
    QTest::newRow("block 1027: sector 256 is 0") << R"("addr":"1027","keyType":"A")" << 0x60 << 0;
    QTest::newRow("not decimal") << R"("addr":"0x10","keyType":"A")" << 0x60 << 0;
    QTest::newRow("block 159: sector 39") << R"("addr":"159","keyType":"A")" << 0x60 << 39;
    QTest::newRow("4294967300 is no int: sector 0") << R"("addr":"4294967300","keyType":"A")" << 0x60 << 0;
}

void tst_M1Actions::authenticationOnTheWire()
{
    QFETCH(QString, fields);
    QFETCH(int, keyType);
    QFETCH(int, sector);
    openAndFind();
    call(QStringLiteral(R"({"_act":"cardm1Auth","key":"FFFFFFFFFFFF",%1})").arg(fields));
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(int(sent[0][5]), 0x44);
    QCOMPARE(int(sent[0][6]), keyType);
    QCOMPARE(int(sent[0][7]), sector);
}

void tst_M1Actions::badKeyTypeSendsNothing_data()
{
    QTest::addColumn<QString>("fields");
    QTest::newRow("lowercase b") << R"(,"keyType":"b")";
    QTest::newRow("empty") << R"(,"keyType":"")";
    QTest::newRow("absent") << QString();
    QTest::newRow("AB") << R"(,"keyType":"AB")";
    QTest::newRow("the key type byte") << R"(,"keyType":"0x60")";
}

void tst_M1Actions::badKeyTypeSendsNothing()
{
    QFETCH(QString, fields);
    openAndFind();
    QCOMPARE(request(QStringLiteral(R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF"%1})").arg(fields)),
             replyText("cardm1Auth", -1, QStringLiteral("keyType入参不对")));
    QVERIFY(reader().transfers().empty());
}

void tst_M1Actions::blocksAndValues()
{
    openAndFind();
    QCOMPARE(request(R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})"),
             replyText("cardm1Auth", 0, QStringLiteral("M1卡PIN认证成功")));
    QCOMPARE(request(R"({"_act":"cardm1Write","addr":"5","data":"0102"})"),
             replyText("cardm1Write", 0, QStringLiteral("M1卡写卡成功")));
    QCOMPARE(request(R"({"_act":"cardm1Read","addr":"5"})"),
             replyText("cardm1Read", 0, QStringLiteral("M1卡读卡成功"), "01020000000000000000000000000000"));
    QCOMPARE(request(R"({"_act":"cardm1NumInit","addr":"6","numInit":"1000"})"),
             replyText("cardm1NumInit", 0, QStringLiteral("M1卡初始化值成功")));
    QCOMPARE(request(R"({"_act":"cardm1NumAdd","addr":"6","numValue":"25"})"),
             replyText("cardm1NumAdd", 0, QStringLiteral("M1卡增值成功")));
    QCOMPARE(request(R"({"_act":"cardm1NumDe","addr":"6","numValue":5})"),
             replyText("cardm1NumDe", 0, QStringLiteral("M1卡减值成功")));
    QCOMPARE(request(R"({"_act":"cardm1NumRead","addr":"6"})"),
             replyText("cardm1NumRead", 0, QStringLiteral("M1卡读值成功"), "1020"));

    // Refusals carry the driver's code with the action's failure text.
    QCOMPARE(request(R"({"_act":"cardm1NumDe","addr":"6","numValue":"2000"})"),
             replyText("cardm1NumDe", -14, QStringLiteral("M1卡减值失败")));
    QCOMPARE(request(R"({"_act":"cardm1NumAdd","addr":"5","numValue":"1"})"),
             replyText("cardm1NumAdd", -21, QStringLiteral("M1卡增值失败")));
    QCOMPARE(request(R"({"_act":"cardm1NumRead","addr":"5"})"),
             replyText("cardm1NumRead", -14, QStringLiteral("M1卡读值失败")));
    QCOMPARE(request(R"({"_act":"cardm1NumInit","addr":"8","numInit":"1"})"),
             replyText("cardm1NumInit", -21, QStringLiteral("M1卡初始化值失败")));
    QCOMPARE(request(R"({"_act":"cardm1Write","addr":"8","data":"01"})"),
             replyText("cardm1Write", -21, QStringLiteral("M1卡写卡失败")));
    QCOMPARE(request(R"({"_act":"cardm1Auth","addr":"4","key":"000000000000","keyType":"B"})"),
             replyText("cardm1Auth", -21, QStringLiteral("M1卡PIN认证失败")));
    QCOMPARE(request(R"({"_act":"cardm1Read","addr":"5"})"),
             replyText("cardm1Read", -21, QStringLiteral("M1卡读卡失败")));
}

void tst_M1Actions::valueText_data()
{
    QTest::addColumn<QString>("init");
    QTest::addColumn<QString>("text");
    QTest::newRow("100") << "100" << "100";
    QTest::newRow("0xFFFFFFFF widened") << "4294967295" << "18446744073709551615";
    QTest::newRow("0x80000000 widened") << "2147483648" << "18446744071562067968";
    QTest::newRow("0") << "0" << "0";
}

void tst_M1Actions::valueText()
{
    QFETCH(QString, init);
    QFETCH(QString, text);
    openAndFind();
    QCOMPARE(call(R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"B"})").value("success").toInt(), 0);
    QCOMPARE(call(QStringLiteral(R"({"_act":"cardm1NumInit","addr":"4","numInit":"%1"})").arg(init)).value("success").toInt(), 0);
    QCOMPARE(call(R"({"_act":"cardm1NumRead","addr":"4"})").value("data").toString(), text);
}

void tst_M1Actions::refusedAmounts_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::newRow("negative init") << R"({"_act":"cardm1NumInit","addr":"4","numInit":"-1"})"
                                   << replyText("cardm1NumInit", -14, QStringLiteral("M1卡初始化值失败"));
    QTest::newRow("init 0x100000000") << R"({"_act":"cardm1NumInit","addr":"4","numInit":"4294967296"})"
                                      << replyText("cardm1NumInit", -14, QStringLiteral("M1卡初始化值失败"));
    QTest::newRow("negative add") << R"({"_act":"cardm1NumAdd","addr":"4","numValue":"-5"})"
                                  << replyText("cardm1NumAdd", -14, QStringLiteral("M1卡增值失败"));
    QTest::newRow("negative subtract") << R"({"_act":"cardm1NumDe","addr":"4","numValue":-5})"
                                       << replyText("cardm1NumDe", -14, QStringLiteral("M1卡减值失败"));
    QTest::newRow("sector 40") << R"({"_act":"cardm1Auth","addr":"160","key":"FFFFFFFFFFFF","keyType":"A"})"
                               << replyText("cardm1Auth", -14, QStringLiteral("M1卡PIN认证失败"));
    QTest::newRow("17 bytes of data") << R"({"_act":"cardm1Write","addr":"4","data":"000102030405060708090A0B0C0D0E0F10"})"
                                      << replyText("cardm1Write", -14, QStringLiteral("M1卡写卡失败"));
}

void tst_M1Actions::refusedAmounts()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    openAndFind();
    QCOMPARE(this->request(request), reply);
    QVERIFY(reader().transfers().empty());
}

void tst_M1Actions::blockNumbers_data()
{
    QTest::addColumn<QString>("addr");
    QTest::addColumn<int>("block");
    QTest::newRow("300 is 44") << R"("300")" << 44;
    QTest::newRow("256 is 0") << R"("256")" << 0;
    QTest::newRow("-1 is 255") << R"("-1")" << 255;
    QTest::newRow("not decimal") << R"("4a")" << 0;
    QTest::newRow("4294967300 is no int: 0") << R"("4294967300")" << 0;
    QTest::newRow("the number 4294967300 is no int: 0") << "4294967300" << 0;
    QTest::newRow("absent") << QString() << 0;
}

void tst_M1Actions::blockNumbers()
{
    QFETCH(QString, addr);
    QFETCH(int, block);
    openAndFind();
    call(addr.isNull() ? QStringLiteral(R"({"_act":"cardm1Read"})")
                       : QStringLiteral(R"({"_act":"cardm1Read","addr":%1})").arg(addr));
    const auto sent = reader().sentReports();
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(int(sent[0][5]), 0x46);
    QCOMPARE(int(sent[0][6]), block);
}

QTEST_MAIN(tst_M1Actions)
#include "tst_m1actions.moc"
