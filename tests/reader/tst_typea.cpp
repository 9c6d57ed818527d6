// The radio field and Type A activation against the emulated reader: exact
// request frames, the activation sequence and where it stops, and what the
// field switch does to the card.

#include "cpucards.h"
#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"

#include <QtTest>

using namespace dorvent::emulator;
using testsupport::DriverCall;
using testsupport::hex;

class tst_TypeA : public QObject
{
    Q_OBJECT
private slots:
    void init();

    // Each request's exact frame, and nothing sent without a reader.
    void requests_data();
    void requests();
    void activation();
    void withoutCardStopsAtRequest();
    void cardWithoutBlockProtocolStopsAtRats();
    void fieldOffMakesTheCardUnreachable();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    std::unique_ptr<luvaroCard> m_card;
};

void tst_TypeA::init()
{
    reader().reset();
    reader().deck().radioField().insert(demoTypeACpuCard());
    m_card = testsupport::openedDriver(); // the last test's driver goes with its dead handle
    QVERIFY(m_card);
}

void tst_TypeA::requests_data()
{
    QTest::addColumn<DriverCall>("call");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("request") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_ICRequest(); }) << hex("02080001004148");
    QTest::newRow("anticollision") << DriverCall([](luvaroCard &c) { char b[256] = {}; return c.luvaro_USB_ICAnticoll(b); })
                                   << hex("0208000100424B");
    QTest::newRow("Type A power-on") << DriverCall([](luvaroCard &c) { char b[128] = {}; return c.luvaro_USB_PowerOnTypeA(b); })
                                     << hex("0208000100858C");
    QTest::newRow("set Type A") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_SetTypeA(); }) << hex("020800020087 41CC");
    QTest::newRow("select Type A") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_ICSelect('A'); }) << hex("0208000100434A");
    QTest::newRow("select other") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_ICSelect('B'); }) << hex("0208000100 8A83");
    QTest::newRow("field off") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_SwitchRF(0); }) << hex("0208000200 4E0044");
    QTest::newRow("field on, low byte only") << DriverCall([](luvaroCard &c) { return c.luvaro_USB_SwitchRF(0x101); })
                                             << hex("0208000200 4E0145");
}

void tst_TypeA::requests()
{
    QFETCH(DriverCall, call);
    QFETCH(QByteArray, frame);
    QCOMPARE(testsupport::requestMismatch(*m_card, call, frame), QString());
}

void tst_TypeA::activation()
{
    char ats[128] = {};
    int len = -1;
    QCOMPARE(m_card->typeAPowerON(ats, &len), 0);
    QCOMPARE(QByteArray(ats), QByteArray("07788070024456"));
    QCOMPARE(len, 0);
    QCOMPARE(testsupport::exchangeMismatch({{hex("020800020087 41CC"), {}},
                                            {hex("02080001004148"), {}},
                                            {hex("0208000100424B"), {}},
                                            {hex("0208000100434A"), {}},
                                            {hex("0208000100858C"), {}}}),
             QString());

    char uid[256] = {};
    QCOMPARE(m_card->luvaro_USB_ICRequest(), 0);
    QCOMPARE(m_card->luvaro_USB_ICAnticoll(uid), 0);
    QCOMPARE(QByteArray(uid), QByteArray("04A1B2C3"));
    QCOMPARE(m_card->luvaro_USB_ICSelect('A'), 0);
    std::fill(std::begin(ats), std::end(ats), '\0');
    QCOMPARE(m_card->luvaro_USB_PowerOnTypeA(ats), 0);
    QCOMPARE(QByteArray(ats), QByteArray("07788070024456"));
}

void tst_TypeA::withoutCardStopsAtRequest()
{
    reader().deck().radioField().remove();
    char ats[128] = "untouched";
    int len = 7;
    QCOMPARE(m_card->typeAPowerON(ats, &len), -1);
    QCOMPARE(QByteArray(ats), QByteArray("untouched"));
    QCOMPARE(len, 7);
    // Set Type A, request; nothing after.
    QCOMPARE(testsupport::exchangeMismatch({{hex("020800020087 41CC"), {}}, {hex("02080001004148"), {}}}),
             QString());
    QCOMPARE(m_card->luvaro_USB_ICRequest(), -21);
}

void tst_TypeA::cardWithoutBlockProtocolStopsAtRats()
{
    // An M1-like card: activated up to select, but it has no ATS to give.
    reader().deck().radioField().insert(
        std::make_unique<TypeACard>(std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF},
                                    std::vector<std::uint8_t>{0x04, 0x00}, 0x08));
    char ats[128] = {};
    int len = 7;
    QCOMPARE(m_card->typeAPowerON(ats, &len), -1);
    QCOMPARE(QByteArray(ats), QByteArray());
    QCOMPARE(int(reader().sentReports().size()), 5);

    char uid[256] = {};
    QCOMPARE(m_card->luvaro_USB_ICRequest(), 0);
    QCOMPARE(m_card->luvaro_USB_ICAnticoll(uid), 0);
    QCOMPARE(QByteArray(uid), QByteArray("DEADBEEF"));
    QCOMPARE(m_card->luvaro_USB_ICSelect('A'), 0);
    QCOMPARE(m_card->luvaro_USB_PowerOnTypeA(ats), -21);
}

void tst_TypeA::fieldOffMakesTheCardUnreachable()
{
    char ats[128] = {};
    int len = 0;
    QCOMPARE(m_card->typeAPowerON(ats, &len), 0);
    QCOMPARE(m_card->luvaro_USB_SwitchRF(0), 0);
    char answer[1024] = {};
    QCOMPARE(m_card->luvaro_USB_APDUType("0084000004", answer), -20);
    QCOMPARE(m_card->luvaro_USB_ICRequest(), -21);
    QCOMPARE(m_card->luvaro_USB_SwitchRF(1), 0);
    QCOMPARE(m_card->typeAPowerON(ats, &len), 0);
    QCOMPARE(m_card->luvaro_USB_APDUType("0084000004", answer), 0);
}

QTEST_APPLESS_MAIN(tst_TypeA)
#include "tst_typea.moc"
