// Requests the service refuses before anything reaches the reader, across
// the families: numbers past every bound (an int's and 64 bits' edges among
// them, where a sum or a conversion used to wrap) and hex texts a card would
// take as something else (empty, an odd digit, a code or key of the wrong
// length, a NUL inside). Each answers -14 with the action's failure text and
// the reader sees no transfer. The card is made ready first, so that a
// request let through would reach it.

#include "cpucards.h"
#include "emulatedreader.h"
#include "iso15693.h"
#include "m1.h"
#include "memorycards.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

using namespace dorvent::emulator;
using testsupport::replyText;

namespace {

enum class Target { Memory4442, Memory4428, M1, Iso15693, Cpu };

// What each card needs before a request could change it.
struct Preparation
{
    Target card;
    QStringList before;
};

const Preparation kPreparations[] = {
    {Target::Memory4442, {R"({"_act":"card44PowerOn","type":"4442"})", R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"}},
    {Target::Memory4428, {R"({"_act":"card44PowerOn","type":"4428"})", R"({"_act":"card44AuthPIN","type":"4428","key":"FFFF"})"}},
    {Target::M1, {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})"}},
    {Target::Iso15693, {R"({"_act":"card15693Find"})"}},
    {Target::Cpu, {R"({"_act":"cardClodPowerOn","slotNo":"1"})", R"({"_act":"mcardPowerOn"})"}},
};

constexpr char kBeyond64Bits[] = "99999999999999999999";
constexpr char kBelow64Bits[] = "-99999999999999999999";

} // namespace

Q_DECLARE_METATYPE(Target)

class tst_RefusedRequests : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void refusedBeforeSending_data();
    void refusedBeforeSending();

private:
    void prepare(Target card);
};

void tst_RefusedRequests::initTestCase()
{
    QVERIFY(startService());
}

void tst_RefusedRequests::cleanupTestCase()
{
    stopService();
}

void tst_RefusedRequests::prepare(Target card)
{
    reader().reset();
    switch (card) {
    case Target::Memory4442:
        reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4442());
        break;
    case Target::Memory4428:
        reader().deck().contactSlot(Deck::kUserSlot)->insert(demoCard4428());
        break;
    case Target::M1:
        reader().deck().radioField().insert(demoM1Card());
        break;
    case Target::Iso15693:
        reader().deck().radioField().insert(demoIso15693Tag());
        break;
    case Target::Cpu:
        reader().deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
        reader().deck().radioField().insert(demoTypeACpuCard());
        break;
    }
    m_client->request(R"({"_act":"close"})");
    open();
    for (const Preparation &preparation : kPreparations)
        if (preparation.card == card)
            for (const QString &step : preparation.before)
                QVERIFY2(m_client->requestJson(step).value("success").toInt() == 0, qPrintable(step));
    reader().clearLog();
}

void tst_RefusedRequests::refusedBeforeSending_data()
{
    QTest::addColumn<Target>("card");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("failure");
    const auto row = [](const QString &name, Target card, const QString &request, const QString &failure) {
        QTest::newRow(qPrintable(name)) << card << request << failure;
    };
    const QString digits600(600, 'A');

    for (const Target card : {Target::Memory4442, Target::Memory4428}) {
        const QString type = card == Target::Memory4442 ? "4442" : "4428";
        const QString read = type + "卡读卡失败";
        const QString write = type + "卡写卡失败";
        const QString verify = type + (card == Target::Memory4442 ? "卡认证PIN卡失败" : "卡认证PIN失败");
        const QString change = type + (card == Target::Memory4442 ? "卡修改PIN卡失败" : "卡修改PIN失败");
        const auto memory = [&](const char *name, const QString &fields, const QString &failure) {
            row(type + " " + name, card,
                QStringLiteral(R"({"_act":%1,"type":"%2"})").arg(fields, type), failure);
        };
        // Offsets and sizes past an int, or whose sum is.
        memory("protection read from offset INT_MAX", R"("card44ReadePro","offset":"2147483647","size":"17")", read);
        memory("protection write of size INT_MAX",
               QStringLiteral(R"("card44WritePro","offset":"1","size":"2147483647","data":"%1")").arg(digits600), write);
        memory("protection read of size INT_MAX", R"("card44ReadePro","offset":"17","size":"2147483647")", read);
        memory("protection write from offset INT_MAX", R"("card44WritePro","offset":"2147483647","size":"1","data":"00")", write);
        memory("protection read from a negative offset", R"("card44ReadePro","offset":"-2147483648","size":"2147483647")", read);
        memory("read from offset 2^32", R"("card44Read","offset":"4294967296","size":"1")", read);
        memory("read of size 2^32 + 16", R"("card44Read","offset":"0","size":"4294967312")", read);
        memory("write of size INT_MAX",
               QStringLiteral(R"("card44Write","offset":"0","size":"2147483647","data":"%1")").arg(digits600), write);
        memory("write at an offset past 64 bits",
               QStringLiteral(R"("card44Write","offset":"%1","size":"1","data":"00")").arg(kBeyond64Bits), write);
        memory("write at an offset below 64 bits",
               QStringLiteral(R"("card44Write","offset":"%1","size":"1","data":"00")").arg(kBelow64Bits), write);
        // Texts that do not say what the card would get.
        memory("write from a text shorter than the size", R"("card44Write","offset":"40","size":"4","data":"1122")", write);
        memory("write from an empty text", R"("card44Write","offset":"40","size":"1","data":"")", write);
        memory("write from an odd text", R"("card44Write","offset":"40","size":"2","data":"11223")", write);
        memory("write from a text with a NUL", R"("card44Write","offset":"40","size":"1","data":"11\u000022")", write);
        memory("protection write from an empty text", R"("card44WritePro","offset":"8","size":"1","data":"")", write);
        memory("verify an empty code", R"("card44AuthPIN","key":"")", verify);
        memory("change to an empty code", R"("card44EditPIN","key":"")", change);
        memory("change to a short code", R"("card44EditPIN","key":"12")", change);
    }

    const auto m1 = [&](const char *name, const QString &request, const char *failure) {
        row(QStringLiteral("M1 ") + name, Target::M1, request, QString::fromUtf8(failure));
    };
    m1("initialise to 2^64", R"({"_act":"cardm1NumInit","addr":"5","numInit":"18446744073709551616"})", "M1卡初始化值失败");
    m1("add an amount past 64 bits", QStringLiteral(R"({"_act":"cardm1NumAdd","addr":"5","numValue":"%1"})").arg(kBeyond64Bits),
       "M1卡增值失败");
    m1("subtract an amount below 64 bits",
       QStringLiteral(R"({"_act":"cardm1NumDe","addr":"5","numValue":"%1"})").arg(kBelow64Bits), "M1卡减值失败");
    m1("write an empty text", R"({"_act":"cardm1Write","addr":"5","data":""})", "M1卡写卡失败");
    m1("write an odd text", R"({"_act":"cardm1Write","addr":"5","data":"0011223"})", "M1卡写卡失败");
    for (const char *key : {"", "FFFFFFFFFF", "FFFFFFFFFFF", "FFFFFFFFFFFFFF", "FFFFFFFFFF\\u0000FF"})
        m1(qPrintable(QStringLiteral("authenticate with key \"%1\"").arg(key)),
           QStringLiteral(R"({"_act":"cardm1Auth","addr":"4","key":"%1","keyType":"A"})").arg(key), "M1卡PIN认证失败");

    const auto tag = [&](const char *name, const QString &request, const char *failure) {
        row(QStringLiteral("15693 ") + name, Target::Iso15693, request, QString::fromUtf8(failure));
    };
    tag("write an empty text", R"({"_act":"card15693Write","addr":"2","data":""})", "1593写卡失败");
    tag("write an odd text", R"({"_act":"card15693Write","addr":"2","data":"123"})", "1593写卡失败");

    const auto cpu = [&](const char *name, const QString &request, const char *failure) {
        row(QStringLiteral("CPU ") + name, Target::Cpu, request, QString::fromUtf8(failure));
    };
    cpu("contact APDU of odd length", R"({"_act":"cardRun","slotNo":"1","apdu":"00B095001"})", "CPU卡执行APDU命令失败");
    cpu("contactless APDU of odd length", R"({"_act":"mcardRun","apdu":"00B095001"})", "非接触CPU卡执行APDU命令失败");
    cpu("contact APDU with a NUL", R"({"_act":"cardRun","slotNo":"1","apdu":"0084000004\u000000"})", "CPU卡执行APDU命令失败");
}

void tst_RefusedRequests::refusedBeforeSending()
{
    QFETCH(Target, card);
    QFETCH(QString, request);
    QFETCH(QString, failure);
    prepare(card);
    const QString act = QJsonDocument::fromJson(request.toUtf8()).object().value("_act").toString();
    QCOMPARE(m_client->request(request), replyText(act, -14, failure));
    QVERIFY(reader().transfers().empty());
}

QTEST_MAIN(tst_RefusedRequests)
#include "tst_refusedrequests.moc"
