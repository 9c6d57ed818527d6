// The identity-card actions over a real WebSocket against the emulated
// reader: the reply's keys and values, the photo, the fingerprint rule, the
// lifecycle of the two /tmp files, and files planted at those paths.
#include "echoserver.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "testsupport.h"
#include "textmessageprocessor.h"

#include <QJsonDocument>
#include <QtTest>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::IdentityCard;
using testsupport::act;

namespace {

const char kBitmap[] = "/tmp/idCard.bmp";
const char kJpeg[] = "/tmp/idCard.jpg";

constexpr char kTag[] = "t1";

bool exists(const char *path)
{
    struct stat st;
    return ::lstat(path, &st) == 0;
}

void removeAnything(const char *path)
{
    if (::unlink(path) != 0)
        ::rmdir(path);
}

QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

const QStringList kRecordKeys = {"ENfullname", "_tflag", "birthday", "certType", "certVersion", "functionName",
                                 "msg", "name", "number", "organs", "passNu", "people", "photoBase64",
                                 "sex", "signCount", "signdate", "success", "validterm"};

std::unique_ptr<IdentityCard> card(IdentityCard::Kind kind, bool fingerprint)
{
    IdentityCard::Holder h;
    switch (kind) {
    case IdentityCard::Kind::Resident:
        h.name = u"赵敏";
        h.sex = u"2";
        h.nation = u"02";
        h.birth = u"19951208";
        h.address = u"内蒙古自治区呼和浩特市新城区";
        h.idNumber = u"150102199512080027";
        h.authority = u"呼和浩特市公安局";
        h.validFrom = u"20160301";
        h.validTo = u"长期";
        break;
    case IdentityCard::Kind::ResidencePermit:
        h.name = u"黄家明";
        h.sex = u"1";
        h.birth = u"19800808";
        h.address = u"广东省珠海市香洲区";
        h.idNumber = u"820000198008080031";
        h.authority = u"珠海市公安局";
        h.validFrom = u"20200101";
        h.validTo = u"20250101";
        h.passNumber = u"M12345678";
        h.issueCount = u"02";
        break;
    case IdentityCard::Kind::ForeignResident:
        h.englishName = u"MARTIN, CLAIRE";
        h.name = u"马丁";
        h.sex = u"2";
        h.idNumber = u"FRA310085062113";
        h.nationality = u"FRA";
        h.birth = u"19850621";
        h.validFrom = u"20230901";
        h.validTo = u"20330901";
        h.cardVersion = u"03";
        h.authority = u"1500";
        break;
    }
    return std::make_unique<IdentityCard>(kind, h, dorvent::emulator::portraitPhoto(),
                                          fingerprint ? dorvent::emulator::sampleFingerprint(7)
                                                      : dorvent::emulator::Bytes());
}

} // namespace

class tst_IdCardActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void notOpen_data();
    void notOpen();
    void readIDCard();
    void readIDCardEX();
    void layouts_data();
    void layouts();
    void noCard_data();
    void noCard();
    void readIDCardUID();
    void createCardsonidCard();
    void plantedFiles_data();
    void plantedFiles();

private:
    QJsonObject request(const char *action) { return m_client->requestJson(act(action, kTag)); }
};

void tst_IdCardActions::init()
{
    removeAnything(kBitmap);
    removeAnything(kJpeg);
    reader().reset();
    reader().deck().idCardSam().insert(card(IdentityCard::Kind::Resident, true));
    QVERIFY(startService());
    open();
}

void tst_IdCardActions::cleanup()
{
    stopService();
    removeAnything(kBitmap);
    removeAnything(kJpeg);
}

void tst_IdCardActions::notOpen_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("readIDCardUID") << "readIDCardUID";
    QTest::newRow("readIDCard") << "readIDCard";
    QTest::newRow("readIDCardEX") << "readIDCardEX";
}

void tst_IdCardActions::notOpen()
{
    QFETCH(QString, action);
    request("close");
    reader().clearLog();
    const QString text = m_client->request(act(action.toLatin1().constData(), "9"));
    QCOMPARE(text, testsupport::replyText(action, -1, QStringLiteral("端口未打开"), QString(), "9"));
    QVERIFY(reader().transfers().empty());
    QVERIFY(!exists(kBitmap) && !exists(kJpeg));
}

void tst_IdCardActions::readIDCard()
{
    const QJsonObject r = request("readIDCard");
    QCOMPARE(sortedKeys(r), kRecordKeys);
    QCOMPARE(r.value("functionName").toString(), QStringLiteral("readIDCard"));
    QCOMPARE(r.value("success").toInt(-99), 0);
    QCOMPARE(r.value("msg").toString(), QStringLiteral("获取身份证信息成功"));
    QCOMPARE(r.value("_tflag").toString(), QStringLiteral("t1"));
    QCOMPARE(r.value("name").toString(), QStringLiteral("赵敏"));
    QCOMPARE(r.value("ENfullname").toString(), QString());
    QCOMPARE(r.value("sex").toString(), QStringLiteral("女"));
    QCOMPARE(r.value("people").toString(), QStringLiteral("蒙古"));
    QCOMPARE(r.value("birthday").toString(), QStringLiteral("19951208"));
    QCOMPARE(r.value("signdate").toString(), QStringLiteral("20160301"));
    QCOMPARE(r.value("validterm").toString(), QStringLiteral("长期  ")); // padding that fits stays
    QCOMPARE(r.value("number").toString(), QStringLiteral("150102199512080027"));
    QCOMPARE(r.value("organs").toString(), QStringLiteral("呼和浩特市公安局      ")); // 24 bytes and the padding that fits
    QCOMPARE(r.value("certType").toString(), QStringLiteral(" "));

    const QByteArray jpeg = QByteArray::fromBase64(r.value("photoBase64").toString().toLatin1());
    QVERIFY(jpeg.startsWith("\xFF\xD8"));
    QCOMPARE(QImage::fromData(jpeg, "JPEG").size(), QSize(102, 126));
    QVERIFY(!exists(kBitmap));
    QVERIFY(!exists(kJpeg));
}

void tst_IdCardActions::readIDCardEX()
{
    const QJsonObject r = request("readIDCardEX");
    QCOMPARE(r.value("success").toInt(-99), 0);
    QCOMPARE(r.value("functionName").toString(), QStringLiteral("readIDCardEX"));
    const QString fingerprint = r.value("figData").toString();
    QCOMPARE(fingerprint, QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(
                                                  dorvent::emulator::sampleFingerprint(7).data()), 1024)
                                                  .toHex()
                                                  .toUpper()));
    QVERIFY(fingerprint.startsWith(QLatin1String("43")));
    QVERIFY(!r.value("photoBase64").toString().isEmpty());
    // Both files stay: the bitmap as the front picture left it, the JPEG as decoded.
    QCOMPARE(QImage(QString::fromLatin1(kBitmap)).size(), QSize(307, 378));
    QCOMPARE(QImage(QString::fromLatin1(kJpeg)).size(), QSize(102, 126));
}

void tst_IdCardActions::layouts_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QVariantMap>("expected");
    QTest::newRow("residence permit") << int(IdentityCard::Kind::ResidencePermit)
                                      << QVariantMap{{"name", QStringLiteral("黄家明")},
                                                     {"people", ""},
                                                     {"passNu", "M12345678"},
                                                     {"signCount", "02"},
                                                     {"certType", "J"},
                                                     {"number", "820000198008080031"}};
    QTest::newRow("foreign resident") << int(IdentityCard::Kind::ForeignResident)
                                      << QVariantMap{{"name", QStringLiteral("马丁")},
                                                     {"ENfullname", "MARTIN, CLAIRE"},
                                                     {"people", ""},
                                                     {"sex", QStringLiteral("女")},
                                                     {"certType", "I"},
                                                     {"certVersion", "03"},
                                                     {"organs", "1500"},
                                                     {"number", "FRA310085062113"}};
}

void tst_IdCardActions::layouts()
{
    QFETCH(int, kind);
    QFETCH(QVariantMap, expected);
    reader().deck().idCardSam().insert(card(IdentityCard::Kind(kind), false));
    const QJsonObject r = request("readIDCardEX");
    QCOMPARE(r.value("success").toInt(-99), 0);
    QVERIFY(!r.contains("figData"));
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        QCOMPARE(r.value(it.key()).toString(), it.value().toString());
}

void tst_IdCardActions::noCard_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("readIDCard") << "readIDCard";
    QTest::newRow("readIDCardEX") << "readIDCardEX";
}

void tst_IdCardActions::noCard()
{
    QFETCH(QString, action);
    reader().deck().idCardSam().remove();
    const QString text = m_client->request(act(action.toLatin1().constData(), kTag));
    QCOMPARE(text, QStringLiteral(R"({"_tflag":"t1","functionName":"%1","msg":"身份证寻卡失败，返回值 t_nRe = -2","success":-23})")
                       .arg(action));
    QVERIFY(!exists(kBitmap) && !exists(kJpeg));
}

void tst_IdCardActions::readIDCardUID()
{
    QCOMPARE(m_client->request(act("readIDCardUID", kTag)),
             QStringLiteral(R"({"_tflag":"t1","data":"5A3C012297401108","functionName":"readIDCardUID","msg":"获取身份证UID信息成功","success":0})"));
    reader().deck().idCardSam().remove();
    QCOMPARE(m_client->request(act("readIDCardUID", kTag)),
             QStringLiteral(R"({"_tflag":"t1","functionName":"readIDCardUID","msg":"获取身份证UID失败","success":-20})"));
}

void tst_IdCardActions::createCardsonidCard()
{
    CTextMessageProcessor processor;
    IDINFO record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.name, "张三");
    std::strcpy(record.cardType, "J");
    // A field filled to its last byte is read up to its end, never beyond.
    std::memset(record.passNumber, 'P', sizeof record.passNumber);
    std::memset(record.issueCount, '7', sizeof record.issueCount);
    record.fingerprint[0] = 0x42; // not 'C': no fingerprint

    QJsonObject r = QJsonDocument::fromJson(processor.CreateCardsonidCard(QStringLiteral("readIDCard"), 5,
                                                                          QStringLiteral("m"), QStringLiteral("D"),
                                                                          QStringLiteral("B"), record, "/nonexistent/x.jpg")
                                                .toUtf8())
                        .object();
    QCOMPARE(r.value("data").toString(), QStringLiteral("D"));
    QCOMPARE(r.value("Base64").toString(), QStringLiteral("B"));
    QCOMPARE(r.value("success").toInt(), 5);
    QCOMPARE(r.value("photoBase64").toString(), QString()); // present, empty
    QVERIFY(r.contains("photoBase64") && r.contains("ENfullname") && r.contains("people"));
    QCOMPARE(r.value("passNu").toString(), QString(24, 'P'));
    QCOMPARE(r.value("signCount").toString(), QString(8, '7'));
    QVERIFY(!r.contains("figData"));

    record.fingerprint[0] = 0x43;
    record.fingerprint[1023] = 0xAB;
    const QString text = processor.CreateCardsonidCard(QStringLiteral("readIDCardEX"), 0, QStringLiteral("m"),
                                                       QString(), QString(), record, "/nonexistent/x.jpg");
    r = QJsonDocument::fromJson(text.toUtf8()).object();
    QVERIFY(!r.contains("data") && !r.contains("Base64"));
    QCOMPARE(r.value("figData").toString(), QStringLiteral("43") + QString(2044, '0') + QStringLiteral("AB"));
    // Compact, keys in code-unit order, UTF-8 unescaped.
    QVERIFY(text.startsWith(QStringLiteral(R"({"ENfullname":"","_tflag":"","birthday":"","certType":"J",)")));
}

void tst_IdCardActions::plantedFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("kind");
    for (const char *path : {kBitmap, kJpeg}) {
        const QString p = QString::fromLatin1(path);
        const QString name = QFileInfo(p).fileName();
        QTest::newRow(qPrintable(name + ": symbolic link")) << p << "link";
        QTest::newRow(qPrintable(name + ": another user's file")) << p << "foreign";
        QTest::newRow(qPrintable(name + ": FIFO")) << p << "fifo";
    }
}

void tst_IdCardActions::plantedFiles()
{
    QFETCH(QString, path);
    QFETCH(QString, kind);
    const QByteArray p = QFile::encodeName(path);
    QTemporaryDir dir;
    const QString victim = dir.filePath(QStringLiteral("victim"));
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a photo");
    }
    if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(victim, path));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(p.constData(), 0666), 0);
    } else {
        if (geteuid() != 0)
            QSKIP("needs root to plant another user's file");
        QVERIFY(QFile::copy(victim, path));
        QCOMPARE(::chown(p.constData(), 65534, 65534), 0);
    }

    for (const char *action : {"readIDCard", "readIDCardEX"}) {
        const QJsonObject r = request(action);
        QCOMPARE(r.value("success").toInt(-99), 0);
        QCOMPARE(r.value("name").toString(), QStringLiteral("赵敏"));
        // The photo cannot be made through a path that is not ours.
        QCOMPARE(r.value("photoBase64").toString(), QString());
    }
    QFile file(victim);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("not a photo"));
    QVERIFY(exists(p.constData())); // left where it was, not ours to remove
    QCOMPARE(request("readIDCardUID").value("success").toInt(-99), 0); // still answering
}

QTEST_MAIN(tst_IdCardActions)
#include "tst_idcardactions.moc"
