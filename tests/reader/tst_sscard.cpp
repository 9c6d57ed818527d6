// The social-security card against emulated cards and SAMs: every branch
// with the APDUs it sends and where they go, the SAM command's layout, the
// status messages and codes, and the name's conversion and cut.

#include "cpucards.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"
#include "sscard.h"

#include <QtTest>

#include <cstring>
#include <functional>

using namespace dorvent::emulator;
using Bytes = std::vector<std::uint8_t>;
using Setup = std::function<void(Deck &)>;
Q_DECLARE_METATYPE(Setup)

namespace {

constexpr std::uint8_t kSamSlot = 0x0D; // the driver's slot 0x11

const char *const kSelect = "00A404000F7378312E73682EC9E7BBE1B1A3D5CF";
const char *const kEf05 = "00A4020002EF05";
const char *const kHead[] = {kSelect, kEf05, "00B2010012", "00B2030406"};
const char *const kShortSet[] = {"00B207040B", "00B2050006", "00B2060006"};
const char *const kHolder[] = {"00A4020002EF06", "00B2080014", "00B2090020", "00B20A0003",
                               "00B20D0006", "00B20B0003"};

// The script of a read, as "target APDU" lines; a line ending in '*' stands
// for any APDU starting so.
struct Script
{
    QString card;
    QStringList lines;
    Script &to(const char *target, std::initializer_list<const char *> apdus)
    {
        for (const char *apdu : apdus)
            lines << QStringLiteral("%1 %2").arg(QLatin1String(target), QLatin1String(apdu));
        return *this;
    }
    template <std::size_t N>
    Script &to(const char *target, const char *const (&apdus)[N])
    {
        for (const char *apdu : apdus)
            to(target, {apdu});
        return *this;
    }
    Script &authentication(const char *card)
    {
        return to("0D", {"00A404000F7378332E73682EC9E7BBE1B1A3D5CF", "00A4040006D15600000590"})
            .to(card, {"0084000008"})
            .to("0D", {"BFDE670A28*", "80FA00001001020304050607080000000000000000", "00C0000010"})
            .to(card, {"0082000A10*"});
    }
};

// A third-generation card that answers EXTERNAL AUTHENTICATE with 0000.
class NoStatusWord : public Iso7816Responder::Applet
{
public:
    Bytes transmit(const Iso7816Responder &, const Bytes &command) override
    {
        return command[1] == 0x82 ? Bytes{0x00, 0x00} : Bytes{};
    }
};

QString scriptMismatch(const QStringList &sent, const QStringList &expected)
{
    for (int i = 0; i < std::max(sent.size(), expected.size()); ++i) {
        const QString want = expected.value(i), got = sent.value(i);
        const bool ok = want.endsWith('*') ? got.startsWith(want.chopped(1)) : got == want;
        if (!ok)
            return QStringLiteral("APDU %1: sent \"%2\", expected \"%3\"").arg(i + 1).arg(got, want);
    }
    return QString();
}

SocialSecurityData withName(const char *name)
{
    SocialSecurityData data = secondGenerationSocialSecurityData();
    data.name = name;
    return data;
}

void contactCard(Deck &deck, const SocialSecurityData &data)
{
    deck.contactSlot(Deck::kUserSlot)->insert(socialSecurityCard(data));
}
void goodSam(Deck &deck) { deck.contactSlot(kSamSlot)->insert(socialSecuritySam()); }

QStringList fieldsOf(const SSCard_IDINFO &r)
{
    QStringList out;
    for (const char *field : {r.name, r.sex, r.nation, r.birth, r.signDate, r.validTerm, r.cardNumber,
                              r.idNumber, r.city, r.cardVersion})
        out << QString::fromUtf8(field);
    return out;
}

const QStringList kThirdFull{"欧阳明月", "女", "汉", "19880512", "20210315", "20310315", "A33012345",
                             "330106198805120024", "330100", "3.00"};
const QStringList kThirdShort{"", "", "", "", "20210315", "20310315", "A33012345", "", "330100", "3.00"};
const QStringList kSecondFull{"司马长风", "男", "回", "19750823", "20150823", "20250823", "B11054321",
                              "110105197508230041", "110100", "2.00"};
const QStringList kSecondShort{"", "", "", "", "20150823", "20250823", "B11054321", "", "110100", "2.00"};
const QStringList kHeadOnly{"", "", "", "", "", "", "", "", "330100", "3.00"};
const QStringList kEmpty{"", "", "", "", "", "", "", "", "", ""};

} // namespace

class tst_SsCard : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void reads_data();
    void reads();
    void samAnsweringGarbage_data();
    void samAnsweringGarbage();
    void samCommandLayout();
    void names_data();
    void names();
    void conversion();
    void noReader();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    int read(SSCard_IDINFO &record, char (&message)[kSsMessageSize]);
    std::unique_ptr<luvaroCard> m_card;
};

void tst_SsCard::init()
{
    reader().reset();
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

int tst_SsCard::read(SSCard_IDINFO &record, char (&message)[kSsMessageSize])
{
    std::memset(&record, 0x5A, sizeof record); // the driver clears it
    std::memset(message, 0, sizeof message);
    reader().clearLog();
    return m_card->luvaro_USB_ReadSSCard(0x11, &record, message);
}

void tst_SsCard::reads_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("fields");

    const SocialSecurityData third = demoSocialSecurityData();
    const SocialSecurityData second = secondGenerationSocialSecurityData();
    SsKey corrupted = kSsDemoKey;
    corrupted[15] ^= 0x80;

    QTest::newRow("third generation, contact, SAM")
        << Setup([=](Deck &d) { contactCard(d, third), goodSam(d); }) << 0 << QString()
        << Script().to("0C", kHead).authentication("0C").to("0C", {kEf05}).to("0C", kShortSet).to("0C", kHolder).lines
        << kThirdFull;
    QTest::newRow("third generation, contactless, SAM")
        << Setup([=](Deck &d) { d.radioField().insert(contactlessSocialSecurityCard(third)), goodSam(d); })
        << 0 << QString()
        << Script().to("RF", kHead).authentication("RF").to("RF", {kEf05}).to("RF", kShortSet).to("RF", kHolder).lines
        << kThirdFull;
    QTest::newRow("third generation, contact, no SAM: short set")
        << Setup([=](Deck &d) { contactCard(d, third); }) << 0 << QString()
        << Script().to("0C", kHead).to("0C", kShortSet).lines << kThirdShort;
    QTest::newRow("third generation, contactless, no SAM: short set")
        << Setup([=](Deck &d) { d.radioField().insert(contactlessSocialSecurityCard(third)); }) << 0 << QString()
        << Script().to("RF", kHead).to("RF", kShortSet).lines << kThirdShort;
    QTest::newRow("second generation, SAM powered only")
        << Setup([=](Deck &d) { contactCard(d, second), goodSam(d); }) << 0 << QString()
        << Script().to("0C", kHead).to("0C", {kEf05}).to("0C", kShortSet).to("0C", kHolder).lines << kSecondFull;
    QTest::newRow("second generation, no SAM: no second SELECT")
        << Setup([=](Deck &d) { contactCard(d, second); }) << 0 << QString()
        << Script().to("0C", kHead).to("0C", kShortSet).to("0C", kHolder).lines << kSecondFull;

    QTest::newRow("first SELECT answered 6A82")
        << Setup([](Deck &d) { d.contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard()), goodSam(d); })
        << -27266 << QStringLiteral("社保卡状态码:6A82") << Script().to("0C", {kSelect}).lines << kEmpty;
    // The application without files: SELECT EF05 answers 6A82 and the read
    // goes on (the records answer 6986, the generation is none).
    const Bytes aid{'s', 'x', '1', '.', 's', 'h', '.', 0xC9, 0xE7, 0xBB, 0xE1, 0xB1, 0xA3, 0xD5, 0xCF};
    QTest::newRow("6A82 to a later command")
        << Setup([=](Deck &d) {
               d.contactSlot(Deck::kUserSlot)
                   ->insert(std::make_unique<ContactCpuCard>(Bytes{0x3B, 0x00}, Iso7816Responder({}, {{aid, {}}})));
           })
        << 0 << QString() << Script().to("0C", kHead).to("0C", kShortSet).to("0C", kHolder).lines
        << QStringList{"", "其他", "", "", "", "", "", "", "", ""};
    QTest::newRow("authentication refused: 63C2")
        << Setup([=](Deck &d) { contactCard(d, third), d.contactSlot(kSamSlot)->insert(socialSecuritySam(corrupted)); })
        << -25538 << QStringLiteral("社保卡校验失败，状态码:63C2") << Script().to("0C", kHead).authentication("0C").lines
        << kHeadOnly;
    // A refusal must not read as success, whatever the card sends.
    QTest::newRow("authentication answered 0000")
        << Setup([=](Deck &d) {
               Iso7816Responder::ElementaryFile ef05{0xEF05, 0x05, {}, {{0x01, 0x03, 0x33, 0x01, 0x00}, {}, {0x03, 0x04, '3', '.', '0', '0'}}};
               d.contactSlot(Deck::kUserSlot)
                   ->insert(std::make_unique<ContactCpuCard>(
                       Bytes{0x3B, 0x00}, Iso7816Responder({}, {{aid, {ef05}, std::make_shared<NoStatusWord>()}})));
               goodSam(d);
           })
        << -100 << QStringLiteral("社保卡校验失败，状态码:0000") << Script().to("0C", kHead).authentication("0C").lines
        << kHeadOnly;
    QTest::newRow("contact card, SAM without its application")
        << Setup([=](Deck &d) { contactCard(d, third), d.contactSlot(kSamSlot)->insert(demoContactCpuCard()); })
        << -27266 << QStringLiteral("SAM卡状态码:6A82")
        << Script().to("0C", kHead).to("0D", {"00A404000F7378332E73682EC9E7BBE1B1A3D5CF"}).lines << kHeadOnly;
    QTest::newRow("contactless card, SAM without its application")
        << Setup([=](Deck &d) {
               d.radioField().insert(contactlessSocialSecurityCard(third));
               d.contactSlot(kSamSlot)->insert(demoContactCpuCard());
           })
        << -27266 << QStringLiteral("SAM状态码:6A82")
        << Script().to("RF", kHead).to("0D", {"00A404000F7378332E73682EC9E7BBE1B1A3D5CF"}).lines << kHeadOnly;
    QTest::newRow("no card, SAM present") << Setup(goodSam) << -100 << QStringLiteral("未检测到社保卡") << QStringList()
                                          << kEmpty;
    QTest::newRow("no card, no SAM") << Setup([](Deck &) {}) << -100 << QStringLiteral("未检测到有卡片上电成功")
                                     << QStringList() << kEmpty;
}

void tst_SsCard::reads()
{
    QFETCH(Setup, setup);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QStringList, script);
    QFETCH(QStringList, fields);

    setup(reader().deck());
    SSCard_IDINFO record;
    char text[kSsMessageSize];
    QCOMPARE(read(record, text), code);
    QCOMPARE(QString::fromUtf8(text), message);
    QCOMPARE(scriptMismatch(testsupport::sentApdus(), script), QString());
    QCOMPARE(fieldsOf(record), fields);
}

// A SAM whose power-on answer is garbage is no SAM to the reads that do not
// need one; a third-generation card, which does, fails with its code.
void tst_SsCard::samAnsweringGarbage_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QByteArray>("garbage");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("fields");

    const SocialSecurityData third = demoSocialSecurityData();
    const SocialSecurityData second = secondGenerationSocialSecurityData();
    const QByteArray zeroed(32, '\0');
    const QByteArray countPastTheReport = QByteArray::fromHex("0202001D") + QByteArray(28, '\x3B');

    QTest::newRow("second generation, contact: read in full")
        << Setup([=](Deck &d) { contactCard(d, second), goodSam(d); }) << zeroed << 0 << QString()
        << Script().to("0C", kHead).to("0C", kShortSet).to("0C", kHolder).lines << kSecondFull;
    QTest::newRow("second generation, contact, count past the report: read in full")
        << Setup([=](Deck &d) { contactCard(d, second), goodSam(d); }) << countPastTheReport << 0 << QString()
        << Script().to("0C", kHead).to("0C", kShortSet).to("0C", kHolder).lines << kSecondFull;
    QTest::newRow("second generation, contactless: short set")
        << Setup([=](Deck &d) { d.radioField().insert(contactlessSocialSecurityCard(second)), goodSam(d); })
        << zeroed << 0 << QString() << Script().to("RF", kHead).to("RF", kShortSet).lines << kSecondShort;
    QTest::newRow("no card")
        << Setup(goodSam) << zeroed << -100 << QStringLiteral("未检测到有卡片上电成功") << QStringList() << kEmpty;
    QTest::newRow("third generation, contact: fails")
        << Setup([=](Deck &d) { contactCard(d, third), goodSam(d); }) << zeroed << -15
        << QStringLiteral("SAM卡上电失败") << Script().to("0C", kHead).lines << kHeadOnly;
    QTest::newRow("third generation, contactless, count past the report: fails")
        << Setup([=](Deck &d) { d.radioField().insert(contactlessSocialSecurityCard(third)), goodSam(d); })
        << countPastTheReport << -15 << QStringLiteral("SAM卡上电失败") << Script().to("RF", kHead).lines
        << kHeadOnly;
}

void tst_SsCard::samAnsweringGarbage()
{
    QFETCH(Setup, setup);
    QFETCH(QByteArray, garbage);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QStringList, script);
    QFETCH(QStringList, fields);

    // A working read gives the replies up to the SAM's power-on; the same
    // read again gets those, then the garbage.
    setup(reader().deck());
    SSCard_IDINFO record;
    char text[kSsMessageSize];
    read(record, text);
    std::vector<Report> replies;
    bool samPowerOn = false;
    for (const Transfer &t : reader().transfers()) {
        if (t.isSetReport())
            samPowerOn = t.data[5] == 0x74 && t.data[6] == kSamSlot;
        else if (samPowerOn)
            break;
        else
            replies.push_back(t.data);
    }
    QVERIFY(samPowerOn);
    replies.push_back(testsupport::report(garbage));
    reader().injectReplyReports(replies);

    QCOMPARE(read(record, text), code);
    QCOMPARE(QString::fromUtf8(text), message);
    QCOMPARE(scriptMismatch(testsupport::sentApdus(), script), QString());
    QCOMPARE(fieldsOf(record), fields);
}

// The SAM gets the card's data in its fixed order: the power-on answer's
// last 8 bytes, the area code, "sx", its first two digits, "0000", "sh", the
// challenge, 8 zeros; the card gets back the cryptogram's folded halves.
void tst_SsCard::samCommandLayout()
{
    auto card = socialSecurityCard(demoSocialSecurityData());
    const Bytes atr = card->atr;
    reader().deck().contactSlot(Deck::kUserSlot)->insert(std::move(card));
    goodSam(reader().deck());
    SSCard_IDINFO record;
    char text[kSsMessageSize];
    QCOMPARE(read(record, text), 0);

    // Challenges start over at power-on: any card's first one is this card's.
    const Bytes challenge = Iso7816Responder().transmit({0x00, 0x84, 0x00, 0x00, 0x08});
    QByteArray expected = QByteArray::fromHex("BFDE670A28");
    expected += QByteArray(reinterpret_cast<const char *>(atr.data()) + atr.size() - 8, 8);
    expected += "330100" "sx" "33" "0000" "sh";
    expected += QByteArray(reinterpret_cast<const char *>(challenge.data()), 8);
    expected += QByteArray(8, '\0');

    const QStringList sent = testsupport::sentApdus();
    const int at = sent.indexOf(QRegularExpression("^0D BFDE.*"));
    QVERIFY(at > 0);
    QCOMPARE(QByteArray::fromHex(sent[at].mid(3).toLatin1()).toHex(' '), expected.toHex(' '));
    QCOMPARE(sent[at + 3].size(), 3 + 42);
    QVERIFY(sent[at + 3].endsWith("0102030405060708"));
}

void tst_SsCard::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("read");
    QTest::newRow("two characters") << "王五" << "王五";
    QTest::newRow("eight characters arrive whole") << "欧阳司马上官慕容" << "欧阳司马上官慕容";
    QTest::newRow("letters and characters") << "Ann李" << "Ann李";
    // 30 bytes without a zero after them; 13 characters fill 39 bytes.
    QTest::newRow("fifteen characters, cut at a character") << "一二三四五六七八九十甲乙丙丁戊"
                                                           << "一二三四五六七八九十甲乙丙";
}

void tst_SsCard::names()
{
    QFETCH(QString, name);
    QFETCH(QString, read);
    contactCard(reader().deck(), withName(name.toUtf8().constData()));
    SSCard_IDINFO record;
    char text[kSsMessageSize];
    QCOMPARE(this->read(record, text), 0);
    QCOMPARE(QString::fromUtf8(record.name), read);
}

void tst_SsCard::conversion()
{
    char out[16];
    QCOMPARE(g2uTemp("\xC9\xE7\xBB\xE1", 4, out, sizeof out), 0);
    QCOMPARE(QString::fromUtf8(out), QStringLiteral("社会"));
    // GB2312's own table, not GB18030's (which gives U+2014 U+00B7 here).
    QCOMPARE(g2uTemp("\xA1\xAA\xA1\xA4", 4, out, sizeof out), 0);
    QCOMPARE(QString::fromUtf8(out), QStringLiteral("\u2015\u30FB"));
    // Stops at a byte GB2312 does not have, keeping what came before.
    QCOMPARE(g2uTemp("\xC9\xE7\xFF\xFF", 4, out, sizeof out), -1);
    QCOMPARE(QString::fromUtf8(out), QStringLiteral("社"));
    // The text always ends inside the buffer.
    char small[4];
    std::memset(small, 'x', sizeof small);
    QCOMPARE(g2uTemp("\xC9\xE7\xBB\xE1", 4, small, sizeof small), -1);
    QCOMPARE(QString::fromUtf8(small), QStringLiteral("社"));
}

void tst_SsCard::noReader()
{
    luvaroCard closed;
    SSCard_IDINFO record;
    char text[kSsMessageSize] = {};
    reader().clearLog();
    QCOMPARE(closed.luvaro_USB_ReadSSCard(0x11, &record, text), -12);
    QCOMPARE(reader().transfers().size(), std::size_t(0));
}

QTEST_GUILESS_MAIN(tst_SsCard)
#include "tst_sscard.moc"
