// The driver's result codes as a page meets them: a code the driver gives
// is found in the table under one name, and a number outside the table is
// told apart by its kind (a length, a card's status word, a libusb error).

#include "emulatedreader.h"
#include "luvarocard.h"
#include "reports.h"
#include "resultcodes.h"

#include <QtTest>

#include <functional>
#include <iterator>
#include <set>
#include <string>

using dorvent::emulator::EmulatedReader;

class tst_ResultCodes : public QObject
{
    Q_OBJECT
private slots:
    void init() { EmulatedReader::instance().reset(); }
    void everyRowIsFoundByItsCode();
    void driverFailuresAreNamed_data();
    void driverFailuresAreNamed();
    void numbersOutsideTheTable();
};

void tst_ResultCodes::everyRowIsFoundByItsCode()
{
    std::set<std::string> names;
    for (const luvaro::ResultCode &row : luvaro::kResultCodes) {
        QCOMPARE(luvaro::resultName(row.code), row.name);
        QCOMPARE(luvaro::resultMeaning(row.code), row.meaning);
        QVERIFY2(names.insert(row.name).second, row.name);
    }
}

using Failure = testsupport::DriverCall;

void tst_ResultCodes::driverFailuresAreNamed_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("name");
    const auto opened = [](std::function<int(luvaroCard &)> call) {
        return Failure([call](luvaroCard &card) { return testsupport::openReader(card) ? call(card) : 1; });
    };
    QTest::newRow("no reader open") << Failure([](luvaroCard &card) { return card.luvaro_USB_Beep(); })
                                    << "kNotOpen";
    QTest::newRow("read past the card") << opened([](luvaroCard &card) {
        char hex[600] = {};
        return card.luvaro_USB_4442_Read(0, 257, hex, sizeof hex);
    }) << "kBadParameter";
    QTest::newRow("reader unplugged") << opened([](luvaroCard &card) {
        EmulatedReader::instance().unplug();
        return card.luvaro_USB_Beep();
    }) << "kTransferFailed";
    QTest::newRow("reader refuses a single-report command") << opened([](luvaroCard &card) {
        EmulatedReader::instance().injectReplyReports({testsupport::reportOf("0202010000")});
        return card.luvaro_USB_4442_PowerOff();
    }) << "kSingleStatusError";
    QTest::newRow("no stripe swiped, no time to wait") << opened([](luvaroCard &card) {
        char hex[512] = {};
        return card.luvaro_USB_MagInfo(0, 2, hex, sizeof hex);
    }) << "kNoCardResponse";
}

// What the driver answers for a failure is a row of the table, so a page
// can look it up.
void tst_ResultCodes::driverFailuresAreNamed()
{
    QFETCH(Failure, failure);
    QFETCH(QString, name);
    luvaroCard card;
    const int code = failure(card);
    QCOMPARE(QString::fromLatin1(luvaro::resultName(code)), name);
}

void tst_ResultCodes::numbersOutsideTheTable()
{
    const int outside[] = {26, -0x6A82, -6}; // a length, a card's refusal, libusb busy from open
    std::set<std::string> meanings;
    for (const luvaro::ResultCode &row : luvaro::kResultCodes)
        meanings.insert(row.meaning);
    for (int code : outside) {
        QVERIFY(!luvaro::resultName(code));
        // Its own meaning: neither a row's nor another kind's.
        QVERIFY2(meanings.insert(luvaro::resultMeaning(code)).second, luvaro::resultMeaning(code));
    }
    // A card's refusal is recognised by the range, whatever the word.
    QCOMPARE(luvaro::resultMeaning(-0x6300), luvaro::resultMeaning(-0x9000));
}

QTEST_MAIN(tst_ResultCodes)
#include "tst_resultcodes.moc"
