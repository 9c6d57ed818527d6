// The memory-card actions over a real WebSocket against the emulated 4442
// and 4428 cards: what the driver is given, every text by type, the "type"
// check, write protection's length, and codes of the wrong length that
// must cost the card nothing.

#include "emulatedreader.h"
#include "memorycards.h"
#include "reports.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::hex;
using testsupport::replyText;

namespace {

constexpr char kRecordHex[] = "444F5256454E54204C4F59414C545931";
const QString kBadType = QStringLiteral("4442 4428 卡类型入参错误");

} // namespace

class tst_MemoryCardActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void session4442();
    void replies_data();
    void replies();
    void badType_data();
    void badType();
    void writeProtectionLength();
    void badCodeCostsNoAttempt_data();
    void badCodeCostsNoAttempt();
    void badNewCodeKeepsTheCode_data();
    void badNewCodeKeepsTheCode();

private:
    // The card of `type` in the user slot, the reader open, the card powered.
    void powerOn(const QString &type);
    int attemptsLeft(const QString &type);
    QString request(const QString &json) { return m_client->request(json); }
};

void tst_MemoryCardActions::init()
{
    reader().reset();
    reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4442());
    QVERIFY(startService());
}

void tst_MemoryCardActions::cleanup()
{
    stopService();
}

void tst_MemoryCardActions::session4442()
{
    open();
    QCOMPARE(request(R"({"_act":"card44PowerOn","type":"4442","_tflag":"p"})"),
             replyText("card44PowerOn", 0, "4442卡上电成功", "A2131091", "p"));
    QCOMPARE(request(R"({"_act":"card44AuthNum","type":"4442"})"),
             replyText("card44AuthNum", 0, "4442卡获取PIN剩余认证数次成功", "3"));
    QCOMPARE(request(R"({"_act":"card44AuthPIN","type":"4442","key":"123456"})"),
             replyText("card44AuthPIN", -21, "4442卡认证PIN卡失败"));
    QCOMPARE(request(R"({"_act":"card44AuthNum","type":"4442"})"),
             replyText("card44AuthNum", 0, "4442卡获取PIN剩余认证数次成功", "2"));
    QCOMPARE(request(R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"),
             replyText("card44AuthPIN", 0, "4442卡认证PIN成功"));

    reader().clearLog();
    QCOMPARE(request(R"({"_act":"card44Read","type":"4442","offset":"32","size":"16"})"),
             replyText("card44Read", 0, "4442卡读卡成功", kRecordHex));
    QCOMPARE(testsupport::sentFrames().value(0).left(10), hex("0208000400 52 201000 6E"));

    QCOMPARE(request(R"({"_act":"card44Write","type":"4442","offset":"48","size":"2","data":"abcd"})"),
             replyText("card44Write", 0, "4442卡写卡成功"));
    QCOMPARE(request(R"({"_act":"card44Read","type":"4442","offset":"48","size":"2"})"),
             replyText("card44Read", 0, "4442卡读卡成功", "ABCD"));
    QCOMPARE(request(R"({"_act":"card44WritePro","type":"4442","offset":"6","size":"1","data":"FF"})"),
             replyText("card44WritePro", 0, "4442卡写卡成功"));
    QCOMPARE(request(R"({"_act":"card44ReadePro","type":"4442","offset":"0","size":"8"})"),
             replyText("card44ReadePro", 0, "4442卡读卡成功", "0000000000000001"));
    QCOMPARE(request(R"({"_act":"card44EditPIN","type":"4442","key":"010203"})"),
             replyText("card44EditPIN", 0, "4442卡修改PIN成功"));
    QCOMPARE(request(R"({"_act":"card44PowerOff","type":"4442"})"),
             replyText("card44PowerOff", 0, "4442卡上电成功"));
}

void tst_MemoryCardActions::replies_data()
{
    // The card in the user slot, requests made first, then the request and its reply.
    QTest::addColumn<QString>("card");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("data");
    const QString on4428 = R"({"_act":"card44PowerOn","type":"4428"})";
    const QString on4442 = R"({"_act":"card44PowerOn","type":"4442"})";
    QTest::newRow("4428 power-off answers the power-on text")
        << "4428" << QStringList{on4428} << R"({"_act":"card44PowerOff","type":"4428"})" << 0 << "4428卡上电成功" << "";
    QTest::newRow("4428 power-on") << "4428" << QStringList{} << on4428 << 0 << "4428卡上电成功" << "92231091";
    QTest::newRow("4428 remaining attempts") << "4428" << QStringList{on4428}
                                             << R"({"_act":"card44AuthNum","type":"4428"})" << 0
                                             << "4428卡获取PIN剩余认证数次成功" << "8";
    QTest::newRow("4428 wrong code") << "4428" << QStringList{on4428} << R"({"_act":"card44AuthPIN","type":"4428","key":"0000"})"
                                     << -21 << "4428卡认证PIN失败" << "";
    QTest::newRow("4428 code change unverified") << "4428" << QStringList{on4428}
                                                 << R"({"_act":"card44EditPIN","type":"4428","key":"1234"})" << -21
                                                 << "4428卡修改PIN失败" << "";
    QTest::newRow("4442 code change unverified") << "4442" << QStringList{on4442}
                                                 << R"({"_act":"card44EditPIN","type":"4442","key":"123456"})" << -21
                                                 << "4442卡修改PIN卡失败" << "";
    QTest::newRow("4428 write unverified") << "4428" << QStringList{on4428}
                                           << R"({"_act":"card44Write","type":"4428","offset":"40","size":"1","data":"00"})"
                                           << -20 << "4428卡写卡失败" << "";
    QTest::newRow("4428 protection read") << "4428" << QStringList{on4428}
                                          << R"({"_act":"card44ReadePro","type":"4428","offset":"4","size":"4"})" << 0
                                          << "4428卡读卡成功" << "00000101";
    QTest::newRow("4428 protection write unverified") << "4428" << QStringList{on4428}
                                                      << R"({"_act":"card44WritePro","type":"4428","offset":"8","size":"1","data":"FF"})"
                                                      << -20 << "4428卡写卡失败" << "";
    QTest::newRow("4428 protection write past bit 31")
        << "4428"
        << QStringList{on4428, R"({"_act":"card44AuthPIN","type":"4428","key":"FFFF"})"}
        << R"({"_act":"card44WritePro","type":"4428","offset":"30","size":"10","data":"FFFF444F5256454E5420"})" << 0
        << "4428卡写卡成功" << "";
    QTest::newRow("4442 protection write past bit 31")
        << "4442"
        << QStringList{on4442, R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"}
        << R"({"_act":"card44WritePro","type":"4442","offset":"30","size":"10","data":"FFFF444F5256454E5420"})" << -14
        << "4442卡写卡失败" << "";
    QTest::newRow("4442 read past the address range") << "4442" << QStringList{on4442}
                                                      << R"({"_act":"card44Read","type":"4442","offset":"256","size":"1"})"
                                                      << -14 << "4442卡读卡失败" << "";
    QTest::newRow("4442 protection read past bit 31") << "4442" << QStringList{on4442}
                                                      << R"({"_act":"card44ReadePro","type":"4442","offset":"1","size":"32"})"
                                                      << -14 << "4442卡读卡失败" << "";
    QTest::newRow("4442 power-on, no card") << "" << QStringList{} << on4442 << -21 << "4442卡上电失败" << "";
    QTest::newRow("4442 power-off, no card") << "" << QStringList{} << R"({"_act":"card44PowerOff","type":"4442"})" << -21
                                             << "4442卡下电失败" << "";
    QTest::newRow("4442 attempts, card not powered") << "4442" << QStringList{}
                                                     << R"({"_act":"card44AuthNum","type":"4442"})" << -21
                                                     << "4442卡获取PIN剩余认证数次失败" << "";
    QTest::newRow("offset and size that are no decimals read as 0")
        << "4442" << QStringList{on4442} << R"({"_act":"card44Read","type":"4442","offset":"0x20","size":"2"})" << 0
        << "4442卡读卡成功" << "A213";
}

void tst_MemoryCardActions::replies()
{
    QFETCH(QString, card);
    QFETCH(QStringList, before);
    QFETCH(QString, json);
    QFETCH(int, code);
    QFETCH(QString, msg);
    QFETCH(QString, data);
    ContactSlot *slot = reader().deck().contactSlot(Deck::kUserSlot);
    if (card == "4428")
        slot->insert(demoCard4428());
    else if (card.isEmpty())
        slot->remove();
    open();
    for (const QString &step : before)
        request(step);
    const QString act = QJsonDocument::fromJson(json.toUtf8()).object().value("_act").toString();
    QCOMPARE(request(json), replyText(act, code, msg, data));
}

void tst_MemoryCardActions::badType_data()
{
    QTest::addColumn<QString>("typeField");
    QTest::newRow("absent") << QString();
    QTest::newRow("4442X") << R"(,"type":"4442X")";
    QTest::newRow("another number") << R"(,"type":"4441")";
    QTest::newRow("empty") << R"(,"type":"")";
}

// Refused after the not-open check, before any USB traffic, whatever the action.
void tst_MemoryCardActions::badType()
{
    QFETCH(QString, typeField);
    open();
    reader().clearLog();
    const char *kActs[] = {"card44PowerOn", "card44PowerOff", "card44Read", "card44Write", "card44AuthPIN",
                           "card44EditPIN", "card44AuthNum", "card44ReadePro", "card44WritePro"};
    for (const char *act : kActs) {
        const QString json = QStringLiteral(R"({"_act":"%1","offset":"0","size":"1","data":"00","key":"FFFFFF"%2,"_tflag":"b"})")
                                 .arg(QLatin1String(act), typeField);
        QCOMPARE(request(json), replyText(act, -1, kBadType, QString(), "b"));
    }
    QVERIFY(reader().transfers().empty());
}

void tst_MemoryCardActions::writeProtectionLength()
{
    open();
    // A reader answering with three payload bytes: a length, not an error.
    reader().injectReplyReports(testsupport::replyReports(0, {0x01, 0x02, 0x03}));
    QCOMPARE(request(R"({"_act":"card44WritePro","type":"4442","offset":"0","size":"1","data":"A2"})"),
             replyText("card44WritePro", 0, "4442卡写卡成功"));
    reader().injectReplyReports(testsupport::replyReports(0x01));
    QCOMPARE(request(R"({"_act":"card44WritePro","type":"4428","offset":"0","size":"1","data":"A2"})"),
             replyText("card44WritePro", -20, "4428卡写卡失败"));
}

void tst_MemoryCardActions::powerOn(const QString &type)
{
    if (type == "4428")
        reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4428());
    open();
    QCOMPARE(m_client->requestJson(QStringLiteral(R"({"_act":"card44PowerOn","type":"%1"})").arg(type))
                 .value("success").toInt(), 0);
}

int tst_MemoryCardActions::attemptsLeft(const QString &type)
{
    const QJsonObject reply = m_client->requestJson(QStringLiteral(R"({"_act":"card44AuthNum","type":"%1"})").arg(type));
    return reply.value("success").toInt() == 0 ? reply.value("data").toString().toInt() : -1;
}

void tst_MemoryCardActions::badCodeCostsNoAttempt_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("failure");
    // Empty, short, odd, long, a NUL inside, not hex; and the other type's length.
    for (const char *key : {"", "0", "001", "FF", "\\u0000", "FFFFF", "FFFFFFFF", "FFFFFF\\u0000", "FF FFFF", "FFFF"})
        QTest::addRow("4442 \"%s\"", key) << "4442" << key << "4442卡认证PIN卡失败";
    for (const char *key : {"", "0", "FF", "\\u0000", "FFF", "FFFFF", "FFFF\\u0000", "FF F", "FFFFFF"})
        QTest::addRow("4428 \"%s\"", key) << "4428" << key << "4428卡认证PIN失败";
}

// A 4442 locks for good after three wrong codes: refusing a bad code must
// cost none, so three of them leave every attempt and the right code works.
void tst_MemoryCardActions::badCodeCostsNoAttempt()
{
    QFETCH(QString, type);
    QFETCH(QString, key);
    QFETCH(QString, failure);
    const QString right = type == "4442" ? "FFFFFF" : "FFFF";
    powerOn(type);
    const int before = attemptsLeft(type);
    QVERIFY(before > 0);
    reader().clearLog();
    const QString json = QStringLiteral(R"({"_act":"card44AuthPIN","type":"%1","key":"%2"})").arg(type, key);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(request(json), replyText("card44AuthPIN", -14, failure));
    QVERIFY(reader().transfers().empty());
    QCOMPARE(attemptsLeft(type), before);
    QCOMPARE(request(QStringLiteral(R"({"_act":"card44AuthPIN","type":"%1","key":"%2"})").arg(type, right)),
             replyText("card44AuthPIN", 0, type + "卡认证PIN成功"));
}

void tst_MemoryCardActions::badNewCodeKeepsTheCode_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("failure");
    for (const char *key : {"", "12", "1234567", "12345678", "\\u0000"})
        QTest::addRow("4442 \"%s\"", key) << "4442" << key << "4442卡修改PIN卡失败";
    for (const char *key : {"", "12", "123456"})
        QTest::addRow("4428 \"%s\"", key) << "4428" << key << "4428卡修改PIN失败";
}

// A verified card whose code change is refused keeps its code: the next
// session opens with the old one.
void tst_MemoryCardActions::badNewCodeKeepsTheCode()
{
    QFETCH(QString, type);
    QFETCH(QString, key);
    QFETCH(QString, failure);
    const QString code = type == "4442" ? "FFFFFF" : "FFFF";
    const QString verify = QStringLiteral(R"({"_act":"card44AuthPIN","type":"%1","key":"%2"})").arg(type, code);
    powerOn(type);
    QCOMPARE(request(verify), replyText("card44AuthPIN", 0, type + "卡认证PIN成功"));
    reader().clearLog();
    QCOMPARE(request(QStringLiteral(R"({"_act":"card44EditPIN","type":"%1","key":"%2"})").arg(type, key)),
             replyText("card44EditPIN", -14, failure));
    QVERIFY(reader().transfers().empty());
    request(QStringLiteral(R"({"_act":"card44PowerOff","type":"%1"})").arg(type));
    request(QStringLiteral(R"({"_act":"card44PowerOn","type":"%1"})").arg(type));
    QCOMPARE(request(verify), replyText("card44AuthPIN", 0, type + "卡认证PIN成功"));
}

QTEST_MAIN(tst_MemoryCardActions)
#include "tst_memorycardactions.moc"
