// The driver's result codes: every code the driver gives has one name and
// one meaning, and codes outside the table still get an honest meaning.

#include "resultcodes.h"

#include <QtTest>

class tst_ResultCodes : public QObject
{
    Q_OBJECT
private slots:
    void meanings_data();
    void meanings();
};

void tst_ResultCodes::meanings_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("meaningHas");
    // A number with two uses names both.
    QTest::newRow("-1") << -1 << "kFailed" << "no reader|power-off|stripe";
    QTest::newRow("-2") << -2 << "kNoCard" << "SAM|swiped";
    QTest::newRow("-4") << -4 << "kNoCardResponse" << "power-on|time limit of 0";
    QTest::newRow("-100") << -100 << "kNoValidReply" << "version|social-security";
    QTest::newRow("-23") << -23 << "kIdCardReadFailed" << "identity card";
    // Outside the table.
    QTest::newRow("a length") << 26 << QString() << "length";
    QTest::newRow("libusb busy from open") << -6 << QString() << "libusb";
    QTest::newRow("minus status word 6A82") << -0x6A82 << QString() << "status word";
}

void tst_ResultCodes::meanings()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(QString, meaningHas);
    QCOMPARE(QString::fromLatin1(luvaro::resultName(code)), name);
    const QString meaning = QString::fromLatin1(luvaro::resultMeaning(code));
    for (const QString &part : meaningHas.split(QLatin1Char('|')))
        QVERIFY2(meaning.contains(part), qPrintable(meaning));
}

QTEST_APPLESS_MAIN(tst_ResultCodes)
#include "tst_resultcodes.moc"
