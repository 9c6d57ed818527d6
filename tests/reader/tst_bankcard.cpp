// The bank-card number against emulated bank cards: the APDUs of both paths
// in their order, the fallback to the other application, the textual search
// for tag 57 and the bounds on what it copies.

#include "bankcard.h"
#include "cpucards.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"

#include <QtTest>

#include <cstring>

using namespace dorvent::emulator;
using Bytes = std::vector<std::uint8_t>;

// Where the card lies.
enum class Place { Field, Slot1, Nowhere };
Q_DECLARE_METATYPE(Place)

namespace {

constexpr char kPse[] = "00A404000E315041592E5359532E4444463031";
constexpr char kRecord[] = "00B2010C00";
constexpr char kDebit[] = "00A4040008A000000333010101";
constexpr char kCredit[] = "00A4040008A000000333010102";

// An application whose READ RECORD answers one fixed response, whatever the
// record: answers a card may give that the standard records do not show.
class FixedRecord : public Iso7816Responder::Applet
{
public:
    explicit FixedRecord(Bytes answer) : m_answer(std::move(answer)) {}
    Bytes transmit(const Iso7816Responder &, const Bytes &command) override
    {
        return command[1] == 0xB2 ? m_answer : Bytes{};
    }

private:
    Bytes m_answer;
};

Iso7816Responder::Application fixedRecordApplication(const Bytes &aid, const QByteArray &answerHex)
{
    const QByteArray answer = QByteArray::fromHex(answerHex);
    return {aid, {}, std::make_shared<FixedRecord>(Bytes(answer.begin(), answer.end()))};
}

QStringList apdus(const char *target, std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *apdu : list)
        out << QStringLiteral("%1 %2").arg(QLatin1String(target), QLatin1String(apdu));
    return out;
}

} // namespace

class tst_BankCard : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void dialogues_data();
    void dialogues();
    void recordAnswers_data();
    void recordAnswers();
    void helpers();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    void place(Place where, Iso7816Responder files);
    int read(char (&out)[luvaroCard::kBankCardNoSize]);
    std::unique_ptr<luvaroCard> m_card;
};

void tst_BankCard::init()
{
    reader().reset();
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_BankCard::place(Place where, Iso7816Responder files)
{
    if (where == Place::Field)
        reader().deck().radioField().insert(std::make_unique<TypeACpuCard>(Bytes{0x04, 0x11, 0x22, 0x33},
                                                                           Bytes{0x05, 0x78, 0x80, 0x70, 0x02}, files));
    else if (where == Place::Slot1)
        reader().deck().contactSlot(Deck::kUserSlot)
            ->insert(std::make_unique<ContactCpuCard>(Bytes{0x3B, 0x60, 0x00, 0x00}, files));
}

int tst_BankCard::read(char (&out)[luvaroCard::kBankCardNoSize])
{
    reader().clearLog();
    return m_card->luvaro_USB_GetBankCardNo(out);
}

void tst_BankCard::dialogues_data()
{
    QTest::addColumn<Place>("where");
    QTest::addColumn<bool>("debit");
    QTest::addColumn<bool>("credit");
    QTest::addColumn<QStringList>("expectedApdus");
    QTest::addColumn<int>("code");

    QTest::newRow("contactless: credit application first") << Place::Field << true << true
        << apdus("RF", {kPse, kRecord, kCredit, kRecord}) << 0;
    QTest::newRow("contactless: debit only, after the credit one") << Place::Field << true << false
        << apdus("RF", {kPse, kRecord, kCredit, kRecord, kDebit, kRecord}) << 0;
    QTest::newRow("contact: debit application first") << Place::Slot1 << true << true
        << apdus("0C", {kPse, kRecord, kDebit, kRecord}) << 0;
    QTest::newRow("contact: credit only, after the debit one") << Place::Slot1 << false << true
        << apdus("0C", {kPse, kRecord, kDebit, kRecord, kCredit, kRecord}) << 0;
    QTest::newRow("contactless card without payment applications") << Place::Field << false << false
        << apdus("RF", {kPse, kRecord, kCredit, kRecord, kDebit, kRecord}) << -200;
    QTest::newRow("no card") << Place::Nowhere << true << true << QStringList() << -200;
}

void tst_BankCard::dialogues()
{
    QFETCH(Place, where);
    QFETCH(bool, debit);
    QFETCH(bool, credit);
    QFETCH(QStringList, expectedApdus);
    QFETCH(int, code);

    BankCardData data = demoBankCardData();
    data.debit = debit;
    data.credit = credit;
    place(where, Iso7816Responder({}, bankApplications(data)));

    char out[luvaroCard::kBankCardNoSize] = {};
    QCOMPARE(read(out), code);
    QCOMPARE(testsupport::sentApdus(), expectedApdus);

    // Activation is tried whole before anything else, the contact power-on
    // only when the field has no card.
    QList<int> commands;
    for (const QByteArray &frame : testsupport::sentFrames())
        if (commands.size() < 6)
            commands << std::uint8_t(frame[5]);
    const QList<int> activation{0x87, 0x41, 0x42, 0x43, 0x85};
    QCOMPARE(commands.mid(0, 5), activation);
    if (where != Place::Field)
        QCOMPARE(commands.value(5), 0x74);

    // The demo account, "D", expiry, service code, discretionary data, filler.
    const QByteArray expected = code == 0 ? QByteArray("6299009988776655440D30122200000000000F") : QByteArray();
    QCOMPARE(QByteArray(out), expected);
}

void tst_BankCard::recordAnswers_data()
{
    QTest::addColumn<Place>("where");
    QTest::addColumn<bool>("asCredit"); // the application is …0102, else …0101
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("number");

    // "57" first met inside another tag, across a byte boundary: the search
    // is textual, so the length is "05" and the value the ten characters after.
    QTest::newRow("57 inside another value") << Place::Field << true
        << QByteArray("70099F1F021570570212349000") << 0 << QByteArray("7021234900");
    QTest::newRow("first application: no 9000 needed") << Place::Field << true
        << QByteArray("7004570212346283") << 0 << QByteArray("1234");
    QTest::newRow("second application: 9000 needed") << Place::Field << false
        << QByteArray("7004570212346283") << -200 << QByteArray();
    QTest::newRow("second application with 9000") << Place::Field << false
        << QByteArray("7004570212349000") << 0 << QByteArray("1234");
    QTest::newRow("contact, second application: 9000 needed") << Place::Slot1 << true
        << QByteArray("7004570212346283") << -200 << QByteArray();
    QTest::newRow("length past the answer") << Place::Field << true
        << QByteArray("7004571012349000") << -200 << QByteArray();
    QTest::newRow("length past the buffer") << Place::Field << true
        << QByteArray("70425740") + QByteArray(128, 'A') + "9000" << -200 << QByteArray();
    QTest::newRow("63 bytes fill the buffer but its end") << Place::Field << true
        << QByteArray("7041573F") + QByteArray(126, 'B') + "9000" << 0 << QByteArray(126, 'B');
}

void tst_BankCard::recordAnswers()
{
    QFETCH(Place, where);
    QFETCH(bool, asCredit);
    QFETCH(QByteArray, answer);
    QFETCH(int, code);
    QFETCH(QByteArray, number);

    place(where, Iso7816Responder({}, {fixedRecordApplication(asCredit ? kBankCreditAid : kBankDebitAid,
                                                              answer)}));
    char out[luvaroCard::kBankCardNoSize];
    std::memset(out, 0, sizeof out);
    QCOMPARE(read(out), code);
    QCOMPARE(QByteArray(out, int(strnlen(out, sizeof out))), number);
}

void tst_BankCard::helpers()
{
    QCOMPARE(strstrTemp("70045702", "57"), 5);
    QCOMPARE(strstrTemp("1570", "57"), 2);
    QCOMPARE(strstrTemp("7004", "57"), 0);
    QCOMPARE(strstrTemp("57", ""), 0);
    QCOMPARE(chartoint2('9'), 9);
    QCOMPARE(chartoint2('a'), 10);
    QCOMPARE(chartoint2('F'), 15);
    QCOMPARE(chartoint2('G'), 1000);
}

QTEST_GUILESS_MAIN(tst_BankCard)
#include "tst_bankcard.moc"
