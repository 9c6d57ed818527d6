// The identity card read through the reader's SAM, against the emulated
// reader: the exact request frames, the record, the photo file, the
// fingerprint rule, the failure messages and the chip UID.
#include "emulatedreader.h"
#include "idcard.h"
#include "luvarocard.h"
#include "reports.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

using dorvent::emulator::Bytes;
using dorvent::emulator::EmulatedReader;
using dorvent::emulator::IdentityCard;
using dorvent::emulator::Report;
using testsupport::hex;
using testsupport::replyReports;
using testsupport::sentReports;
using testsupport::zeroPadded;

Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(std::vector<Report>)

namespace {

EmulatedReader &reader() { return EmulatedReader::instance(); }

IdentityCard::Holder residentHolder()
{
    IdentityCard::Holder holder;
    holder.name = u"王小明";
    holder.sex = u"1";
    holder.nation = u"03";
    holder.birth = u"19881120";
    holder.address = u"上海市浦东新区世纪大道一百号";
    holder.idNumber = u"310115198811200014";
    holder.authority = u"上海市公安局浦东分局";
    holder.validFrom = u"20150101";
    holder.validTo = u"20350101";
    return holder;
}

std::unique_ptr<IdentityCard> residentCard(Bytes fingerprint = {}, Bytes photo = {})
{
    if (photo.empty())
        photo = dorvent::emulator::portraitPhoto();
    return std::make_unique<IdentityCard>(IdentityCard::Kind::Resident, residentHolder(), photo, fingerprint);
}

// Find and select answered, then the extended read answered with this payload.
testsupport::Exchange extendedReadScript(const Bytes &payload)
{
    return {{hex("02080001 00B0B9"), replyReports(0x00)},
            {hex("02080001 00B1B8"), replyReports(0x00)},
            {hex("02080001 00B5BC"), replyReports(0x00, payload)}};
}

QString text(const char *field) { return QString::fromUtf8(field); }

QByteArray bytes(const unsigned char *data, int n) { return QByteArray(reinterpret_cast<const char *>(data), n); }

QByteArray bytes(const Bytes &b) { return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())); }

void noSleep(int) {}

} // namespace

class tst_IdCardSam : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void notOpen();
    void basicRead();
    void undecodablePhoto();
    void extendedRead_data();
    void extendedRead();
    void failures_data();
    void failures();
    void smallMessageBuffer();
    void replyLongerThanBuffer();
    void uid_data();
    void uid();

private:
    void open();
    std::unique_ptr<luvaroCard> m_card;
};

void tst_IdCardSam::initTestCase()
{
    luvaroCard::setSleepFunction(noSleep);
}

void tst_IdCardSam::init()
{
    reader().reset();
    m_card = std::make_unique<luvaroCard>();
}

void tst_IdCardSam::open()
{
    QVERIFY(testsupport::openReader(*m_card));
}

void tst_IdCardSam::notOpen()
{
    reader().deck().idCardSam().insert(residentCard());
    IDINFO record = {};
    char message[256] = {};
    unsigned char buffer[4096];
    QCOMPARE(m_card->PICC_Reader_ID_Request(), -12L);
    QCOMPARE(m_card->PICC_Reader_ID_Select(), -12L);
    QCOMPARE(m_card->PICC_Reader_ID_Read(buffer), -12L);
    QCOMPARE(m_card->PICC_Reader_ID_Read2(buffer), -12L);
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(0, "/nonexistent", &record, message), -12L);
    QCOMPARE(m_card->luvaro_USB_ReadIDCardUid(message), -12L);
    QCOMPARE(message[0], '\0');
    QVERIFY(reader().transfers().empty());
}

void tst_IdCardSam::basicRead()
{
    reader().deck().idCardSam().insert(residentCard(dorvent::emulator::sampleFingerprint()));
    open();
    QTemporaryDir dir;
    const QByteArray photoPath = QFile::encodeName(dir.filePath(QStringLiteral("idCard.bmp")));
    IDINFO record = {};
    char message[256] = {};
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(0, photoPath.constData(), &record, message), 0L);
    QCOMPARE(message[0], '\0');

    QCOMPARE(testsupport::exchangeMismatch({{hex("02080001 00B0B9"), {}},
                                            {hex("02080001 00B1B8"), {}},
                                            {hex("02080001 00B4BD"), {}}}),
             QString());
    // 1280 payload bytes: one report of 27, then 41 more.
    QCOMPARE(testsupport::fetchCount(), 1 + 1 + 1 + 41);

    QCOMPARE(text(record.name), QStringLiteral("王小明"));
    QCOMPARE(text(record.sex), QStringLiteral("男"));
    QCOMPARE(text(record.nation), QStringLiteral("回"));
    QCOMPARE(text(record.birth), QStringLiteral("19881120"));
    QVERIFY(text(record.address).startsWith(QStringLiteral("上海市浦东新区世纪大道一百号  ")));
    QCOMPARE(text(record.idNumber), QStringLiteral("310115198811200014"));
    QCOMPARE(text(record.authority), QStringLiteral("上海市公安局浦东分局"));
    QCOMPARE(text(record.validTo), QStringLiteral("20350101"));
    QCOMPARE(bytes(record.wlt, 1024), bytes(dorvent::emulator::portraitPhoto()));
    // The basic read carries no fingerprint, even for a card that has one.
    QCOMPARE(bytes(record.fingerprint, 1024), QByteArray(1024, '\0'));

    // The photo decoded into a 102 × 126 bitmap file.
    QFile photo(QFile::decodeName(photoPath));
    QVERIFY(photo.open(QIODevice::ReadOnly));
    const QImage image = QImage::fromData(photo.readAll(), "BMP");
    QCOMPARE(image.size(), QSize(102, 126));
}

void tst_IdCardSam::undecodablePhoto()
{
    // An earlier card's photo left at the path must not pass for this card's.
    QTemporaryDir dir;
    const QString photoPath = dir.filePath(QStringLiteral("idCard.bmp"));
    QFile stale(photoPath);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("an earlier card's photo");
    stale.close();
    reader().deck().idCardSam().insert(residentCard({}, Bytes(1024, 0)));
    open();
    IDINFO record = {};
    char message[256] = {};
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(0, QFile::encodeName(photoPath).constData(), &record, message), 0L);
    QCOMPARE(text(record.name), QStringLiteral("王小明"));
    QVERIFY(!QFile::exists(photoPath));
}

void tst_IdCardSam::extendedRead_data()
{
    QTest::addColumn<Bytes>("fingerprint");
    QTest::addColumn<bool>("kept");
    QTest::newRow("with fingerprint") << dorvent::emulator::sampleFingerprint() << true;
    QTest::newRow("without fingerprint") << Bytes() << false;
    Bytes unmarked = dorvent::emulator::sampleFingerprint();
    unmarked[0] = 0x44;
    QTest::newRow("block not starting with C") << unmarked << false;
    // 1382 payload bytes: 100 bytes of a block that starts with C are not enough.
    Bytes shortBlock = dorvent::emulator::sampleFingerprint();
    shortBlock.resize(100);
    QTest::newRow("payload of 1382 bytes") << shortBlock << false;
}

void tst_IdCardSam::extendedRead()
{
    QFETCH(Bytes, fingerprint);
    QFETCH(bool, kept);
    testsupport::Exchange script;
    if (fingerprint.size() == 100) {
        // The card model pads its fingerprint block, so this reply is made by hand.
        Bytes payload{0x01, 0x00};
        const Bytes text = residentCard()->textBlock();
        payload.insert(payload.end(), text.begin(), text.end());
        payload.insert(payload.end(), dorvent::emulator::portraitPhoto().begin(), dorvent::emulator::portraitPhoto().end());
        payload.insert(payload.end(), fingerprint.begin(), fingerprint.end());
        QCOMPARE(payload.size(), std::size_t(1382));
        script = extendedReadScript(payload);
    } else {
        reader().deck().idCardSam().insert(residentCard(fingerprint));
    }
    open();
    testsupport::playReplies(script);
    IDINFO record = {};
    char message[256] = {};
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(1, nullptr, &record, message), 0L);
    QCOMPARE(sentReports().last(), zeroPadded(hex("02080001 00B5BC")));
    if (!script.empty())
        QCOMPARE(testsupport::exchangeMismatch(script), QString());
    QCOMPARE(text(record.name), QStringLiteral("王小明"));
    QCOMPARE(text(record.validFrom), QStringLiteral("20150101"));
    QCOMPARE(bytes(record.wlt, 1024), bytes(dorvent::emulator::portraitPhoto()));
    QCOMPARE(bytes(record.fingerprint, 1024), kept ? bytes(fingerprint) : QByteArray(1024, '\0'));
}

void tst_IdCardSam::failures_data()
{
    QTest::addColumn<bool>("cardThere");
    QTest::addColumn<std::vector<Report>>("injected");
    QTest::addColumn<int>("unplugAfter");
    QTest::addColumn<QString>("message");

    const Report ok = replyReports(0x00, {}).front();
    const Report refused = replyReports(0x01, {}).front();
    QTest::newRow("no card") << false << std::vector<Report>{} << -1
                             << QStringLiteral("身份证寻卡失败，返回值 t_nRe = -2");
    QTest::newRow("find answers 0x01") << true << std::vector<Report>{refused} << -1
                                       << QStringLiteral("身份证寻卡失败，返回值 t_nRe = -2");
    QTest::newRow("select answers 0x01") << true << std::vector<Report>{ok, refused} << -1
                                         << QStringLiteral("身份证选卡失败，返回值 t_nRe = -2");
    QTest::newRow("select answers 0x02: selected") << true << std::vector<Report>{ok, replyReports(0x02, {}).front()}
                                                   << -1 << QString();
    QTest::newRow("read refused") << true << std::vector<Report>{ok, ok, refused} << -1
                                  << QStringLiteral("身份证读卡失败，返回值 t_nRe = -20");
    QTest::newRow("unplugged during the read") << true << std::vector<Report>{} << 5
                                               << QStringLiteral("身份证读卡失败，返回值 t_nRe = -15");
    // A lost fetch says nothing about the card: not taken as "found".
    QTest::newRow("unplugged before the find reply") << true << std::vector<Report>{} << 1
                                                     << QStringLiteral("身份证寻卡失败，返回值 t_nRe = -15");
}

void tst_IdCardSam::failures()
{
    QFETCH(bool, cardThere);
    QFETCH(std::vector<Report>, injected);
    QFETCH(int, unplugAfter);
    QFETCH(QString, message);

    if (cardThere)
        reader().deck().idCardSam().insert(residentCard());
    open();
    if (!injected.empty())
        reader().injectReplyReports(injected);
    if (unplugAfter >= 0)
        reader().unplugAfterTransfers(unplugAfter);
    IDINFO record = {};
    std::memset(&record, 0x5A, sizeof record);
    char text[256] = {};
    const long result = m_card->luvaro_USB_ReadIDCard(0, nullptr, &record, text);
    QCOMPARE(QString::fromUtf8(text), message);
    QCOMPARE(result, message.isEmpty() ? 0L : -23L);
    if (!message.isEmpty())
        QCOMPARE(record.name[0], char(0x5A)); // the record is left alone
}

void tst_IdCardSam::smallMessageBuffer()
{
    open();
    IDINFO record = {};
    char text[16];
    std::memset(text, 0x5A, sizeof text);
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(0, nullptr, &record, text, 10), -23L);
    QVERIFY(std::memchr(text, 0, 10));
    QCOMPARE(text[10], char(0x5A));
}

void tst_IdCardSam::replyLongerThanBuffer()
{
    // 4200 payload bytes arrive for a 4096-byte reply buffer: the rest is dropped.
    reader().deck().idCardSam().insert(residentCard());
    Bytes payload = residentCard()->textBlock();
    payload.resize(4200, 0xAB);
    const testsupport::Exchange script = extendedReadScript(payload);
    open();
    testsupport::playReplies(script);
    IDINFO record = {};
    char message[256] = {};
    QCOMPARE(m_card->luvaro_USB_ReadIDCard(1, nullptr, &record, message), 0L);
    // The whole reply was fetched: the next exchange starts clean.
    QCOMPARE(testsupport::exchangeMismatch(script), QString());
    unsigned char buffer[4096 + 64];
    std::memset(buffer, 0x5A, sizeof buffer);
    reader().injectReplyReports(script.back().replies);
    QCOMPARE(m_card->PICC_Reader_ID_Read(buffer, 4096), 4096L);
    QCOMPARE(int(buffer[4095]), 0xAB);
    QCOMPARE(int(buffer[4096]), 0x5A);
}

void tst_IdCardSam::uid_data()
{
    QTest::addColumn<bool>("cardThere");
    QTest::addColumn<std::vector<Report>>("injected");
    QTest::addColumn<long>("result");
    QTest::addColumn<QByteArray>("uid");

    QTest::newRow("from the card") << true << std::vector<Report>{} << 0L << QByteArray("5A3C012297401108");
    QTest::newRow("01 02 03 04 90 00") << false << replyReports(0x00, {1, 2, 3, 4, 0x90, 0x00}) << 0L
                                       << QByteArray("01020304");
    QTest::newRow("status word only") << false << replyReports(0x00, {0x90, 0x00}) << 0L << QByteArray();
    QTest::newRow("one byte") << false << replyReports(0x00, {0x90}) << 0L << QByteArray();
    QTest::newRow("empty") << false << replyReports(0x00, {}) << 0L << QByteArray();
    QTest::newRow("no card") << false << std::vector<Report>{} << -20L << QByteArray();
    QTest::newRow("longer than the text buffer") << false << replyReports(0x00, Bytes(130, 0x11)) << -15L
                                                 << QByteArray();
    QTest::newRow("just fits") << false << replyReports(0x00, Bytes(129, 0x11)) << 0L
                               << QByteArray(254, '1');
}

void tst_IdCardSam::uid()
{
    QFETCH(bool, cardThere);
    QFETCH(std::vector<Report>, injected);
    if (cardThere)
        reader().deck().idCardSam().insert(residentCard());
    open();
    if (!injected.empty())
        reader().injectReplyReports(injected);
    char out[256 + 8] = {};
    std::memset(out + 256, 0x5A, 8);
    QTEST(m_card->luvaro_USB_ReadIDCardUid(out, 256), "result");
    QTEST(QByteArray(out), "uid");
    QCOMPARE(sentReports(), QList<QByteArray>{zeroPadded(hex("02080001 00121B"))});
    QCOMPARE(QByteArray(out + 256, 8), QByteArray(8, 0x5A));
}

QTEST_MAIN(tst_IdCardSam)
#include "tst_idcardsam.moc"
