// Replies as readers lay them out, through the real driver. A one-report
// reply whose data the host does not use may carry a length or a count and
// data, and readers differ in the first bytes of the contact power-on's and
// the version's replies. Each succeeds, scripted and from the emulated cards
// in both of the emulator's layouts; what is no reply (zeroed, untagged, a
// count or length running past its report) is still refused.

#include "bankcard.h"
#include "cpucards.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "m1.h"
#include "memorycards.h"
#include "reports.h"
#include "sscard.h"

#include <QtTest>

#include <cstring>
#include <functional>

using namespace dorvent::emulator;
using testsupport::DriverCall;
using testsupport::hex;
using Layout = Firmware::ReplyLayout;

// A call that gives text back: hex, or the version's own bytes.
using TextCall = std::function<int(luvaroCard &, QByteArray &text)>;
// A dialogue with the emulated cards, which puts its cards in the deck first.
using Dialogue = void (*)(luvaroCard &);
Q_DECLARE_METATYPE(TextCall)
Q_DECLARE_METATYPE(Dialogue)
Q_DECLARE_METATYPE(Layout)

namespace {

const char kKey[] = "FFFFFFFFFFFF";
const unsigned char kStripeFormat[] = {0x04, 0x00, 0x01};

// The commands that take nothing from their reply, with the code of a refusal.
const struct
{
    const char *name;
    DriverCall call;
    int refused;
} kAcknowledged[] = {
    {"field on", [](luvaroCard &c) { return c.luvaro_USB_SwitchRF(1); }, -21},
    {"field off", [](luvaroCard &c) { return c.luvaro_USB_SwitchRF(0); }, -21},
    {"set Type A", [](luvaroCard &c) { return c.luvaro_USB_SetTypeA(); }, -21},
    {"Type A request", [](luvaroCard &c) { return c.luvaro_USB_ICRequest(); }, -21},
    {"Type A select", [](luvaroCard &c) { return c.luvaro_USB_ICSelect('A'); }, -21},
    {"other select", [](luvaroCard &c) { return c.luvaro_USB_ICSelect('B'); }, -21},
    {"M1 authenticate", [](luvaroCard &c) { return c.luvaro_USB_M1VerifyPass(0x60, 1, kKey); }, -21},
    {"M1 write", [](luvaroCard &c) { return c.luvaro_USB_M1Write(4, "00112233445566778899AABBCCDDEEFF"); }, -21},
    {"M1 value block", [](luvaroCard &c) { return c.luvaro_USB_M1Initval(5, 100); }, -21},
    {"M1 increment", [](luvaroCard &c) { return c.luvaro_USB_M1Increment(5, 10); }, -21},
    {"M1 decrement", [](luvaroCard &c) { return c.luvaro_USB_M1Decrement(5, 10); }, -14},
    {"15693 write", [](luvaroCard &c) { return c.luvaro_USB_15693_Write(1, "11223344"); }, -21},
    {"4442 power-off", [](luvaroCard &c) { return c.luvaro_USB_4442_PowerOff(); }, -21},
    {"4428 power-off", [](luvaroCard &c) { return c.luvaro_USB_4428_PowerOff(); }, -21},
    {"4442 code check", [](luvaroCard &c) { return c.luvaro_USB_4442_Verify("FFFFFF"); }, -21},
    {"4442 code change", [](luvaroCard &c) { return c.luvaro_USB_4442_Change("123456"); }, -21},
    {"4428 code check", [](luvaroCard &c) { return c.luvaro_USB_4428_Verify("FFFF"); }, -21},
    {"4428 code change", [](luvaroCard &c) { return c.luvaro_USB_4428_Change("1234"); }, -21},
    {"stripe settings", [](luvaroCard &c) { return c.luvaro_USB_SetMagType(0, kStripeFormat); }, -21},
};

struct NamedReply
{
    const char *name;
    const char *bytes;
};

// Status 0 in either layout: a success, whatever bytes 3 and 4 hold.
const NamedReply kAccepted[] = {
    {"length 0", "02 02 00 00 00 02"},
    {"length and payload", "02 02 00 02 00 04 00 04"},
    {"count and data", "02 02 00 02 04 00 04"}, // an ATQA
    {"count and one byte", "02 02 00 01 08 0B"}, // a SAK
    {"count 0, its checksum where a length's high byte stands", "02 02 00 00 02"},
};
// Not one report's reply at all.
const NamedReply kNoReply[] = {
    {"zeroed", ""},
    {"untagged (the request echoed)", "02 08 00 01 00 41 48"},
    {"no marker", "42 02 00 00 00 02"},
    {"marked as continued", "82 02 00 00 00 02"},
};

Deck &deck() { return EmulatedReader::instance().deck(); }

void contactCpuCard(luvaroCard &c)
{
    deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    char atr[256] = {};
    QCOMPARE(c.luvaro_USB_ColdPowerOn(1, atr), 0);
    QCOMPARE(QByteArray(atr), QByteArray("3B680000444F5256454E5431"));
    QCOMPARE(c.luvaro_USB_PowerOff(1), 0);
}

void typeAActivation(luvaroCard &c)
{
    deck().radioField().insert(demoTypeACpuCard());
    char ats[128] = {};
    int len = -1;
    QCOMPARE(c.typeAPowerON(ats, &len), 0);
    QCOMPARE(QByteArray(ats), QByteArray("07788070024456"));
    QCOMPARE(c.luvaro_USB_SwitchRF(0), 0);
    QCOMPARE(c.luvaro_USB_ICRequest(), -21); // no field, no card
    QCOMPARE(c.luvaro_USB_SwitchRF(1), 0);
    QCOMPARE(c.luvaro_USB_ICRequest(), 0);
}

void m1Session(luvaroCard &c)
{
    deck().radioField().insert(demoM1Card());
    char text[256] = {};
    QCOMPARE(c.luvaro_USB_ICRequest(), 0);
    QCOMPARE(c.luvaro_USB_ICAnticoll(text), 0);
    QCOMPARE(QByteArray(text), QByteArray("5A3C9E21"));
    QCOMPARE(c.luvaro_USB_ICSelect('A'), 0);
    QCOMPARE(c.luvaro_USB_M1VerifyPass(0x60, 1, "A0A1A2A3A4A5"), -21); // a wrong key still fails
    QCOMPARE(c.luvaro_USB_M1VerifyPass(0x60, 1, kKey), 0);
    QCOMPARE(c.luvaro_USB_M1Write(4, "00112233445566778899AABBCCDDEEFF"), 0);
    std::memset(text, 0, sizeof text);
    QCOMPARE(c.luvaro_USB_M1Read(4, text, 128), 0);
    QCOMPARE(QByteArray(text), QByteArray("00112233445566778899AABBCCDDEEFF"));
    unsigned long value = 0;
    QCOMPARE(c.luvaro_USB_M1Initval(5, 100), 0);
    QCOMPARE(c.luvaro_USB_M1Increment(5, 10), 0);
    QCOMPARE(c.luvaro_USB_M1Decrement(5, 1), 0);
    QCOMPARE(c.luvaro_USB_M1Decrement(5, 1000), -14); // below zero: refused
    QCOMPARE(c.luvaro_USB_M1Readval(5, &value), 0);
    QCOMPARE(value, 109ul);
}

template <class MemoryCardType>
void memoryCardCodes(luvaroCard &c, std::unique_ptr<MemoryCardType> card, const char *atrHex,
                     int (luvaroCard::*powerOn)(char *, int), int (luvaroCard::*powerOff)(),
                     int (luvaroCard::*verify)(const char *), int (luvaroCard::*change)(const char *),
                     const char *code, const char *newCode)
{
    deck().contactSlot(Deck::kUserSlot)->insert(std::move(card));
    char atr[128] = {};
    QCOMPARE((c.*powerOn)(atr, 128), 0);
    QCOMPARE(QByteArray(atr), QByteArray(atrHex));
    QCOMPARE((c.*verify)(newCode), -21);
    QCOMPARE((c.*verify)(code), 0);
    QCOMPARE((c.*change)(newCode), 0);
    QCOMPARE((c.*powerOff)(), 0);
    QCOMPARE((c.*powerOn)(atr, 128), 0);
    QCOMPARE((c.*verify)(code), -21);
    QCOMPARE((c.*verify)(newCode), 0);
}

void card4442(luvaroCard &c)
{
    memoryCardCodes(c, demoCard4442(), "A2131091", &luvaroCard::luvaro_USB_4442_PowerOn,
                    &luvaroCard::luvaro_USB_4442_PowerOff, &luvaroCard::luvaro_USB_4442_Verify,
                    &luvaroCard::luvaro_USB_4442_Change, "FFFFFF", "123456");
}

void card4428(luvaroCard &c)
{
    memoryCardCodes(c, demoCard4428(), "92231091", &luvaroCard::luvaro_USB_4428_PowerOn,
                    &luvaroCard::luvaro_USB_4428_PowerOff, &luvaroCard::luvaro_USB_4428_Verify,
                    &luvaroCard::luvaro_USB_4428_Change, "FFFF", "1234");
}

void stripeSettings(luvaroCard &c)
{
    QCOMPARE(c.luvaro_USB_SetMagType(0, kStripeFormat), 0);
    unsigned char format[4] = {};
    QCOMPARE(c.luvaro_USB_ReadMagType(format), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(format), 4), hex("A5 04 00 01"));
}

void contactlessBankCardNumber(luvaroCard &c)
{
    deck().radioField().insert(contactlessBankCard(demoBankCardData()));
    char number[luvaroCard::kBankCardNoSize] = {};
    QCOMPARE(c.luvaro_USB_GetBankCardNo(number), 0);
    const std::vector<std::uint8_t> track2 = track2Of(demoBankCardData());
    QCOMPARE(QByteArray(number), QByteArray(reinterpret_cast<const char *>(track2.data()), int(track2.size())).toHex().toUpper());
    QVERIFY(testsupport::sentApdus().first().startsWith("RF "));
}

void contactlessSocialSecurityCard(luvaroCard &c)
{
    deck().radioField().insert(dorvent::emulator::contactlessSocialSecurityCard(demoSocialSecurityData()));
    deck().contactSlot(0x0D)->insert(socialSecuritySam());
    SSCard_IDINFO record;
    char message[kSsMessageSize] = {};
    QCOMPARE(c.luvaro_USB_ReadSSCard(0x11, &record, message), 0);
    QCOMPARE(QString::fromUtf8(record.name), QStringLiteral("欧阳明月"));
    QCOMPARE(QByteArray(record.cardNumber), QByteArray("A33012345"));
}

} // namespace

class tst_ReplyLayouts : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void acknowledgements_data();
    void acknowledgements();
    void dataReplies_data();
    void dataReplies();
    void emulatedCards_data();
    void emulatedCards();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
};

void tst_ReplyLayouts::init()
{
    reader().reset();
    m_card = testsupport::openedDriver();
    QVERIFY(m_card);
}

void tst_ReplyLayouts::acknowledgements_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code");
    for (const auto &command : kAcknowledged) {
        for (const NamedReply &reply : kAccepted)
            QTest::addRow("%s: %s", command.name, reply.name) << command.call << hex(reply.bytes) << 0;
        for (const NamedReply &reply : kNoReply)
            QTest::addRow("%s: %s", command.name, reply.name)
                << command.call << hex(reply.bytes) << int(luvaro::kTransferFailed);
        QTest::addRow("%s: refused", command.name) << command.call << hex("02 02 01 00 00 03") << command.refused;
    }
}

void tst_ReplyLayouts::acknowledgements()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, reply);
    QFETCH(int, code);
    reader().injectReplyReports({testsupport::report(reply)});
    QCOMPARE(call(*m_card), code);
    QCOMPARE(testsupport::fetchCount(), 1);
}

void tst_ReplyLayouts::dataReplies_data()
{
    QTest::addColumn<TextCall>("call");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    const TextCall cold = [](luvaroCard &c, QByteArray &text) {
        char atr[256] = {};
        const int result = c.luvaro_USB_ColdPowerOn(1, atr);
        text = atr;
        return result;
    };
    const TextCall warm = [](luvaroCard &c, QByteArray &text) {
        char atr[256] = {};
        const int result = c.luvaro_USB_HotPowerOn(0x11, atr);
        text = atr;
        return result;
    };
    const TextCall version = [](luvaroCard &c, QByteArray &text) {
        unsigned char out[256] = {};
        const int result = c.luvaro_USB_Version(out, sizeof out);
        text = reinterpret_cast<char *>(out);
        return result;
    };
    const TextCall uid = [](luvaroCard &c, QByteArray &text) {
        char out[256] = {};
        const int result = c.luvaro_USB_ICAnticoll(out);
        text = out;
        return result;
    };
    const TextCall ats = [](luvaroCard &c, QByteArray &text) {
        char out[128] = {};
        const int result = c.luvaro_USB_PowerOnTypeA(out, sizeof out - 1);
        text = out;
        return result;
    };
    const TextCall format = [](luvaroCard &c, QByteArray &text) {
        unsigned char out[4] = {};
        const int result = c.luvaro_USB_ReadMagType(out);
        text = QByteArray(reinterpret_cast<char *>(out), 4).toHex().toUpper();
        return result;
    };
    const QByteArray zeroed(32, '\0');
    const QByteArray filler(28, '\x3B');

    QTest::newRow("power-on") << cold << hex("02 02 00 04 3B 02 14 50") << 0 << QByteArray("3B021450");
    QTest::newRow("power-on: bytes 0 and 1 not read") << cold << hex("00 00 00 04 3B 02 14 50") << 0
                                                      << QByteArray("3B021450");
    QTest::newRow("warm power-on: bytes 0 and 1 not read") << warm << hex("82 42 00 02 3B 00") << 0 << QByteArray("3B00");
    QTest::newRow("power-on: zeroed") << cold << zeroed << -15 << QByteArray();
    QTest::newRow("power-on: count past the report") << cold << hex("02 02 00 1D") + filler << -15 << QByteArray();
    QTest::newRow("power-on: refused") << cold << hex("02 02 01 04 3B 02 14 50") << -4 << QByteArray();
    QTest::newRow("version: byte 0 not read") << version << hex("00 02 00 03 00 41 42 43") << 0 << QByteArray("ABC");
    QTest::newRow("version: zeroed") << version << zeroed << -100 << QByteArray();
    QTest::newRow("version: untagged") << version << hex("02 08 00 03 00 41 42 43") << -100 << QByteArray();
    QTest::newRow("version: length past the report") << version << hex("02 02 00 1C 00") + filler << -100
                                                     << QByteArray();
    QTest::newRow("UID: count and data") << uid << hex("02 02 00 04 DE AD BE EF") << 0 << QByteArray("DEADBEEF");
    QTest::newRow("UID: count past the report") << uid << hex("02 02 00 1D") + filler << -15 << QByteArray();
    QTest::newRow("UID: zeroed") << uid << zeroed << -15 << QByteArray();
    QTest::newRow("UID: no marker") << uid << hex("42 02 00 04 DE AD BE EF") << -15 << QByteArray();
    QTest::newRow("ATS: untagged") << ats << hex("02 08 00 01 00 85 8C") << -15 << QByteArray();
    QTest::newRow("stripe settings read") << format << hex("02 02 00 04 00 A5 04 00 01") << 0 << QByteArray("A5040001");
    QTest::newRow("stripe settings read: length past the report") << format << hex("02 02 00 1C 00") + filler << -15
                                                                  << QByteArray("00000000");
}

void tst_ReplyLayouts::dataReplies()
{
    QFETCH(TextCall, call);
    QFETCH(QByteArray, reply);
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    reader().injectReplyReports({testsupport::report(reply)});
    QByteArray got;
    QCOMPARE(call(*m_card, got), code);
    QCOMPARE(got, text);
}

void tst_ReplyLayouts::emulatedCards_data()
{
    QTest::addColumn<Dialogue>("dialogue");
    QTest::addColumn<Layout>("layout");
    const struct
    {
        const char *name;
        Dialogue dialogue;
    } dialogues[] = {
        {"contact CPU card power", contactCpuCard},
        {"Type A activation and the field", typeAActivation},
        {"M1 session", m1Session},
        {"4442 codes and power", card4442},
        {"4428 codes and power", card4428},
        {"stripe settings", stripeSettings},
        {"bank card in the field", contactlessBankCardNumber},
        {"social-security card in the field, with its SAM", contactlessSocialSecurityCard},
    };
    for (const auto &row : dialogues) {
        QTest::addRow("%s, length layout", row.name) << row.dialogue << Layout::Length;
        QTest::addRow("%s, counted layout", row.name) << row.dialogue << Layout::Counted;
    }
}

void tst_ReplyLayouts::emulatedCards()
{
    QFETCH(Dialogue, dialogue);
    QFETCH(Layout, layout);
    reader().firmware().replyLayout = layout;
    dialogue(*m_card);
}

QTEST_GUILESS_MAIN(tst_ReplyLayouts)
#include "tst_replylayouts.moc"
