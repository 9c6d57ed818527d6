// The identity card's text block decoded into IDINFO: the three layouts, the
// UTF-16 converter, the nation table and the console trace.
#include "luvarocard.h"

#include <QTemporaryFile>
#include <QtTest>

#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// A 256-byte text block followed by a 1024-byte photo that decodes to nothing.
class TextBlock
{
public:
    TextBlock()
    {
        // Reserved areas carry spaces, as on real cards.
        for (int i = 0; i < 256; i += 2)
            m_bytes[i] = ' ';
    }
    // Writes text at the offset, space-padded to size bytes of UTF-16LE.
    TextBlock &put(int offset, int size, const QString &text)
    {
        const QString padded = text.leftJustified(size / 2, QLatin1Char(' '), true);
        for (int i = 0; i < size / 2; ++i) {
            m_bytes[offset + 2 * i] = static_cast<unsigned char>(padded.at(i).unicode() & 0xFF);
            m_bytes[offset + 2 * i + 1] = static_cast<unsigned char>(padded.at(i).unicode() >> 8);
        }
        return *this;
    }
    TextBlock &putUnit(int offset, ushort unit)
    {
        m_bytes[offset] = unit & 0xFF;
        m_bytes[offset + 1] = unit >> 8;
        return *this;
    }
    const unsigned char *data() const { return m_bytes; }

private:
    unsigned char m_bytes[256 + 1024] = {};
};

TextBlock residentCard(const QString &name = QStringLiteral("张三"), const QString &nation = QStringLiteral("01"),
                       const QString &address = QStringLiteral("北京市东城区景山前街4号"))
{
    TextBlock block;
    block.put(0, 30, name)
        .put(30, 2, QStringLiteral("1"))
        .put(32, 4, nation)
        .put(36, 16, QStringLiteral("19900105"))
        .put(52, 70, address)
        .put(122, 36, QStringLiteral("11010119900105001X"))
        .put(158, 30, QStringLiteral("北京市公安局东城分局"))
        .put(188, 16, QStringLiteral("20200101"))
        .put(204, 16, QStringLiteral("20400101"));
    return block;
}

IDINFO analyse(const TextBlock &block)
{
    luvaroCard card;
    IDINFO record;
    std::memset(&record, 0x5A, sizeof record); // Analysis clears it whole
    card.Analysis(0, nullptr, &record, block.data());
    return record;
}

QString text(const char *field) { return QString::fromUtf8(field); }

// Runs f with standard output captured.
template <typename F>
QByteArray captureStdout(F f)
{
    QTemporaryFile file;
    file.open();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    file.seek(0);
    return file.readAll();
}

} // namespace

class tst_IdCardRecord : public QObject
{
    Q_OBJECT
private slots:
    void utf16ToUtf8_data();
    void utf16ToUtf8();
    void utf16ToUtf8NullPointers();
    void nations_data();
    void nations();
    void residentCard_();
    void residentFields_data();
    void residentFields();
    void residencePermit();
    void foreignResident_data();
    void foreignResident();
    void invalidUtf16KeepsPrefix();
    void traceOnlyForResidentCards();
};

void tst_IdCardRecord::utf16ToUtf8_data()
{
    QTest::addColumn<QVector<ushort>>("units");
    QTest::addColumn<int>("bound");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("result");

    const QVector<ushort> mixed{0x41, 0x4E2D, 0xD83D, 0xDE00};
    QTest::newRow("all fit") << mixed << 8 << int(strictConversion)
                             << QByteArray::fromHex("41e4b8adf09f9880") << int(conversionOK);
    QTest::newRow("pair does not fit") << mixed << 7 << int(strictConversion)
                                       << QByteArray::fromHex("41e4b8ad") << int(targetExhausted);
    QTest::newRow("two-byte character") << QVector<ushort>{0xE9, 0x7FF} << 8 << int(strictConversion)
                                        << QByteArray::fromHex("c3a9dfbf") << int(conversionOK);
    QTest::newRow("empty") << QVector<ushort>{} << 8 << int(strictConversion) << QByteArray() << int(conversionOK);
    QTest::newRow("zero bound") << QVector<ushort>{0x41} << 0 << int(strictConversion) << QByteArray()
                                << int(targetExhausted);
    QTest::newRow("high surrogate at the end") << QVector<ushort>{0x41, 0xD83D} << 8 << int(strictConversion)
                                               << QByteArray("A") << int(sourceExhausted);
    QTest::newRow("unpaired high, strict") << QVector<ushort>{0x41, 0xD83D, 0x42} << 8 << int(strictConversion)
                                           << QByteArray("A") << int(sourceIllegal);
    QTest::newRow("unpaired high, lenient") << QVector<ushort>{0x41, 0xD83D, 0x42} << 8 << int(lenientConversion)
                                            << QByteArray::fromHex("41eda0bd42") << int(conversionOK);
    QTest::newRow("lone low, strict") << QVector<ushort>{0xDE00, 0x41} << 8 << int(strictConversion) << QByteArray()
                                      << int(sourceIllegal);
    QTest::newRow("lone low, lenient") << QVector<ushort>{0xDE00} << 8 << int(lenientConversion)
                                       << QByteArray::fromHex("edb880") << int(conversionOK);
}

void tst_IdCardRecord::utf16ToUtf8()
{
    QFETCH(QVector<ushort>, units);
    QFETCH(int, bound);
    QFETCH(int, flags);
    QFETCH(QByteArray, expected);
    QFETCH(int, result);

    units.append(0);
    UTF8 out[16];
    std::memset(out, 0xEE, sizeof out); // no terminating NUL is written, nothing past the text
    QCOMPARE(luvaroCard::Utf16_To_Utf8(units.constData(), out, bound, ConversionFlags(flags)), result);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), expected.size()), expected);
    QCOMPARE(int(out[expected.size()]), 0xEE);
}

void tst_IdCardRecord::utf16ToUtf8NullPointers()
{
    const UTF16 units[] = {0x41, 0};
    UTF8 out[4] = {};
    QCOMPARE(luvaroCard::Utf16_To_Utf8(nullptr, out, 4, strictConversion), int(conversionNullPointer));
    QCOMPARE(luvaroCard::Utf16_To_Utf8(units, nullptr, 4, strictConversion), int(conversionNullPointer));
}

void tst_IdCardRecord::nations_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("1") << 1 << QStringLiteral("汉");
    QTest::newRow("10") << 10 << QStringLiteral("朝鲜");
    QTest::newRow("29 longest") << 29 << QStringLiteral("柯尔克孜");
    QTest::newRow("56 last") << 56 << QStringLiteral("基诺");
    QTest::newRow("0") << 0 << QStringLiteral("其他(0)");
    QTest::newRow("57") << 57 << QStringLiteral("其他(57)");
    QTest::newRow("negative") << -3 << QStringLiteral("其他(-3)");
    QTest::newRow("cut to 15 bytes") << INT_MIN << QStringLiteral("其他(-2147483");
}

void tst_IdCardRecord::nations()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    char out[32];
    std::memset(out, 0x5A, sizeof out);
    QCOMPARE(getNation(code, out), 0);
    QCOMPARE(text(out), name);
    QVERIFY(std::strlen(out) <= 15);
    QCOMPARE(int(out[16]), 0x5A); // 16 bytes at most
}

void tst_IdCardRecord::residentCard_()
{
    const IDINFO r = analyse(residentCard());
    QCOMPARE(text(r.name), QStringLiteral("张三"));
    QCOMPARE(text(r.sex), QStringLiteral("男"));
    QCOMPARE(text(r.nation), QStringLiteral("汉"));
    QCOMPARE(text(r.birth), QStringLiteral("19900105"));
    QCOMPARE(text(r.idNumber), QStringLiteral("11010119900105001X"));
    // Only the name is trimmed; other fields keep the padding that fits.
    QCOMPARE(text(r.authority), QStringLiteral("北京市公安局东城分局"));
    QCOMPARE(text(r.validFrom), QStringLiteral("20200101"));
    QCOMPARE(text(r.validTo), QStringLiteral("20400101"));
    QCOMPARE(text(r.cardType), QStringLiteral(" "));
    for (const char *empty : {r.enName, r.nationality, r.passNumber, r.issueCount, r.cardVersion})
        QCOMPARE(text(empty), QString());
    const QByteArray zeros(1024, '\0');
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(r.wlt), 1024), zeros);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(r.fingerprint), 1024), zeros);
}

void tst_IdCardRecord::residentFields_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("nation");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QString>("expectedNation");
    QTest::addColumn<QString>("expectedAddress");

    const QString fifteen = QStringLiteral("欧阳司马诸葛上官东方皇甫公孙慕");
    const QString address35 = QString(35, QChar(0x8857)); // 35 × 街
    const QString address20 = QString(20, QChar(0x8857));
    const QString address = QStringLiteral("北京市东城区");
    QTest::newRow("two characters and padding") << QStringLiteral("张三") << QStringLiteral("01") << address << QStringLiteral("张三")
                                                << QStringLiteral("汉") << address + QString(29, ' ');
    QTest::newRow("15 characters keep 10") << fifteen << QStringLiteral("01") << address << fifteen.left(10)
                                           << QStringLiteral("汉") << address + QString(29, ' ');
    QTest::newRow("name cut at a space") << QStringLiteral("李 四") << QStringLiteral("01") << address << QStringLiteral("李")
                                         << QStringLiteral("汉") << address + QString(29, ' ');
    QTest::newRow("nation 00") << QStringLiteral("张三") << QStringLiteral("00") << address << QStringLiteral("张三")
                               << QStringLiteral("其他(0)") << address + QString(29, ' ');
    QTest::newRow("nation 57") << QStringLiteral("张三") << QStringLiteral("57") << address << QStringLiteral("张三")
                               << QStringLiteral("其他(57)") << address + QString(29, ' ');
    QTest::newRow("35-character address keeps 23") << QStringLiteral("张三") << QStringLiteral("56") << address35
                                                   << QStringLiteral("张三") << QStringLiteral("基诺")
                                                   << address35.left(23);
    QTest::newRow("20-character address keeps 10 spaces") << QStringLiteral("张三") << QStringLiteral("01") << address20
                                                          << QStringLiteral("张三") << QStringLiteral("汉")
                                                          << address20 + QString(10, ' ');
}

void tst_IdCardRecord::residentFields()
{
    QFETCH(QString, name);
    QFETCH(QString, nation);
    QFETCH(QString, address);
    const IDINFO r = analyse(residentCard(name, nation, address));
    QTEST(text(r.name), "expectedName");
    QTEST(text(r.nation), "expectedNation");
    QTEST(text(r.address), "expectedAddress");
}

void tst_IdCardRecord::residencePermit()
{
    TextBlock block;
    block.put(0, 30, QStringLiteral("陈大文"))
        .put(30, 2, QStringLiteral("2"))
        .put(32, 4, QStringLiteral("01")) // reserved here: must not become a nation
        .put(36, 16, QStringLiteral("19851231"))
        .put(52, 70, QStringLiteral("广东省深圳市福田区"))
        .put(122, 36, QStringLiteral("810000198512310020"))
        .put(158, 30, QStringLiteral("深圳市公安局"))
        .put(188, 16, QStringLiteral("20190601"))
        .put(204, 16, QStringLiteral("20290601"))
        .put(220, 18, QStringLiteral("H01234567"))
        .put(238, 4, QStringLiteral("03"))
        .put(248, 2, QStringLiteral("J"));
    const IDINFO r = analyse(block);
    QCOMPARE(text(r.cardType), QStringLiteral("J"));
    QCOMPARE(text(r.name), QStringLiteral("陈大文"));
    QCOMPARE(text(r.sex), QStringLiteral("女"));
    QCOMPARE(text(r.nation), QString());
    QCOMPARE(text(r.birth), QStringLiteral("19851231"));
    QCOMPARE(text(r.idNumber), QStringLiteral("810000198512310020"));
    QCOMPARE(text(r.passNumber), QStringLiteral("H01234567"));
    QCOMPARE(text(r.issueCount), QStringLiteral("03"));
    QCOMPARE(text(r.enName), QString());
    QCOMPARE(text(r.cardVersion), QString());
}

void tst_IdCardRecord::foreignResident_data()
{
    QTest::addColumn<QString>("englishName");
    QTest::addColumn<QString>("expected");
    const QString sixty = QStringLiteral("WOLFESCHLEGELSTEINHAUSENBERGERDORFF HUBERT BLAINE WILLIAMSON");
    QTest::newRow("padding dropped, inner space kept") << QStringLiteral("SMITH, JOHN") << QStringLiteral("SMITH, JOHN");
    QTest::newRow("60 characters cut to 39 bytes") << sixty << sixty.left(39);
    // 20 two-byte characters are 40 bytes: the cut falls between characters.
    QTest::newRow("cut at a character boundary") << QString(20, QChar(0xC9)) << QString(19, QChar(0xC9));
    QTest::newRow("empty") << QString() << QString();
}

void tst_IdCardRecord::foreignResident()
{
    QFETCH(QString, englishName);
    TextBlock block;
    block.put(0, 120, englishName)
        .put(120, 2, QStringLiteral("1"))
        .put(122, 30, QStringLiteral("USA110079060112"))
        .put(152, 6, QStringLiteral("USA"))
        .put(158, 30, QStringLiteral("史密斯"))
        .put(188, 16, QStringLiteral("20230301"))
        .put(204, 16, QStringLiteral("20330301"))
        .put(220, 16, QStringLiteral("19790601"))
        .put(236, 4, QStringLiteral("02"))
        .put(240, 8, QStringLiteral("1100"))
        .put(248, 2, QStringLiteral("I"));
    const IDINFO r = analyse(block);
    QTEST(text(r.enName), "expected");
    QVERIFY(std::memchr(r.enName, 0, sizeof r.enName));
    QCOMPARE(text(r.cardType), QStringLiteral("I"));
    QCOMPARE(text(r.name), QStringLiteral("史密斯"));
    QCOMPARE(text(r.sex), QStringLiteral("男"));
    QCOMPARE(text(r.nation), QString());
    QCOMPARE(text(r.idNumber), QStringLiteral("USA110079060112"));
    QCOMPARE(text(r.nationality), QStringLiteral("USA"));
    QCOMPARE(text(r.birth), QStringLiteral("19790601"));
    QCOMPARE(text(r.validTo), QStringLiteral("20330301"));
    QCOMPARE(text(r.cardVersion), QStringLiteral("02"));
    QCOMPARE(text(r.authority), QStringLiteral("1100"));
    QCOMPARE(text(r.address), QString());
}

void tst_IdCardRecord::invalidUtf16KeepsPrefix()
{
    TextBlock block = residentCard();
    block.putUnit(158 + 6, 0xDC00); // a lone low surrogate as the authority's fourth character
    block.putUnit(30, 0x33);        // sex code "3"
    const IDINFO r = analyse(block);
    QCOMPARE(text(r.authority), QStringLiteral("北京市"));
    QCOMPARE(text(r.sex), QStringLiteral("其他"));
    QCOMPARE(text(r.name), QStringLiteral("张三"));
}

void tst_IdCardRecord::traceOnlyForResidentCards()
{
    // The photo of these blocks is empty: the decoder's refusal is traced last.
    const QByteArray trace = captureStdout([] { analyse(residentCard()); });
    QVERIFY(trace.contains("\nret = "));
    QCOMPARE(trace.left(trace.indexOf("ret = ")), QByteArray("普通二代证\n"
                               "姓名:\t\t\t张三\n"
                               "性别:\t\t\t男\n"
                               "民族:\t\t\t汉\n"
                               "出生:\t\t\t19900105\n"
                               "签发机关:\t\t北京市公安局东城分局\n"
                               "有效期限:\t\t20200101-20400101\n"));
    TextBlock permit = residentCard();
    permit.put(248, 2, QStringLiteral("J"));
    QVERIFY(captureStdout([&] { analyse(permit); }).startsWith("ret = "));
}

QTEST_MAIN(tst_IdCardRecord)
#include "tst_idcardrecord.moc"
