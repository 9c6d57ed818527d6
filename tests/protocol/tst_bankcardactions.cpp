// "readBankNO" over a real WebSocket against emulated bank cards: the number
// cut at its separator, the text kept whole without one, the failure reply.

#include "bankcard.h"
#include "cpucards.h"
#include "emulatedreader.h"
#include "testsupport.h"

#include <QtTest>

using namespace dorvent::emulator;
using Bytes = std::vector<std::uint8_t>;

class tst_BankCardActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void beforeOpen();
};

void tst_BankCardActions::init()
{
    reader().reset();
    QVERIFY(startService());
}

void tst_BankCardActions::cleanup()
{
    stopService();
}

void tst_BankCardActions::replies_data()
{
    QTest::addColumn<QByteArray>("record"); // the debit application's record 1; empty: no card
    QTest::addColumn<QString>("reply");

    // The demo account: 19 digits, then "D" and the expiry date.
    const std::vector<std::uint8_t> track2 = track2Of(demoBankCardData());
    QTest::newRow("number before the D")
        << (QByteArray::fromHex("7015") + QByteArray::fromHex("5713") + QByteArray(reinterpret_cast<const char *>(track2.data()), int(track2.size())))
        << testsupport::replyText("readBankNO", 0, "获取银行卡号成功", "6299009988776655440");
    QTest::newRow("no D: the whole text") << QByteArray::fromHex("700657041234567F")
                                          << testsupport::replyText("readBankNO", 0, "获取银行卡号成功", "1234567F");
    QTest::newRow("no card") << QByteArray() << testsupport::replyText("readBankNO", -200, "获取银行卡号失败");
}

void tst_BankCardActions::replies()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, reply);
    if (!record.isEmpty()) {
        Iso7816Responder::ElementaryFile file{0x0001, 0x01, {}, {Bytes(record.begin(), record.end())}};
        reader().deck().contactSlot(Deck::kUserSlot)
            ->insert(std::make_unique<ContactCpuCard>(Bytes{0x3B, 0x00}, Iso7816Responder({}, {{kBankDebitAid, {file}}})));
    }
    QCOMPARE(m_client->requestJson(testsupport::act("open")).value("success").toInt(), 0);
    QCOMPARE(m_client->request(testsupport::act("readBankNO")), reply);
}

void tst_BankCardActions::beforeOpen()
{
    reader().deck().radioField().insert(contactlessBankCard(demoBankCardData()));
    QCOMPARE(m_client->request(testsupport::act("readBankNO", "t")),
             testsupport::replyText("readBankNO", -1, "端口未打开", QString(), "t"));
    QCOMPARE(reader().transfers().size(), std::size_t(0));
}

QTEST_MAIN(tst_BankCardActions)
#include "tst_bankcardactions.moc"
