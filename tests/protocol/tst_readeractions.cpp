// The reader control actions over a real WebSocket against the emulated
// reader: exact replies, the reader-open flag, and failures passed through.

#include "emulatedreader.h"
#include "testsupport.h"
#include "textmessageprocessor.h"

#include <QtTest>

using testsupport::act;
using testsupport::replyText;

namespace {

const QString kNotOpen = QStringLiteral("端口未打开");

} // namespace

class tst_ReaderActions : public QObject, private testsupport::ServiceTest
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void lifecycle();
    void openFailures_data();
    void openFailures();
    void unpluggedReader();
    void versionIsCutToItsBuffer();

private:
    QString request(const char *name) { return m_client->request(act(name)); }
};

void tst_ReaderActions::init()
{
    reader().reset();
    // A new server, processor and driver per test: the flag starts clear.
    QVERIFY(startService());
}

void tst_ReaderActions::cleanup()
{
    stopService();
}

void tst_ReaderActions::lifecycle()
{
    QCOMPARE(request("beep"), replyText("beep", -1, kNotOpen));
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
    QVERIFY(reader().interfaceClaimed());
    const int handles = reader().openHandles();
    QCOMPARE(request("open"), replyText("open", -1, QStringLiteral("端口未关闭")));
    QCOMPARE(reader().openHandles(), handles); // the refused open never reached the driver

    reader().clearLog();
    QCOMPARE(request("beep"), replyText("beep", 0, QStringLiteral("蜂鸣器调用成功")));
    QCOMPARE(reader().firmware().beeps.size(), std::size_t(1));
    QCOMPARE(request("version"),
             replyText("version", 0, QStringLiteral("获取版本信息成功"),
                   QString::fromLatin1(dorvent::emulator::Firmware::kDefaultVersion)));
    reader().firmware().versionText = "";
    QCOMPARE(request("version"), replyText("version", 0, QStringLiteral("获取版本信息成功")));

    // A tag travels with its own request.
    const QJsonObject tagged = m_client->requestJson(QStringLiteral(R"({"_act":"beep","_tflag":"42"})"));
    QCOMPARE(tagged.value("_tflag").toString(), QStringLiteral("42"));

    QCOMPARE(request("close"), replyText("close", 0, QStringLiteral("端口关闭成功")));
    QVERIFY(!reader().interfaceClaimed());
    QCOMPARE(request("close"), replyText("close", -1, kNotOpen));
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
}

void tst_ReaderActions::openFailures_data()
{
    QTest::addColumn<bool>("plugged");
    QTest::addColumn<bool>("heldElsewhere");
    QTest::addColumn<int>("code");
    QTest::newRow("no reader") << false << false << -1;
    QTest::newRow("interface held by another program") << true << true << int(LIBUSB_ERROR_BUSY);
}

void tst_ReaderActions::openFailures()
{
    QFETCH(bool, plugged);
    QFETCH(bool, heldElsewhere);
    QFETCH(int, code);
    if (!plugged)
        reader().unplug();
    reader().setInterfaceHeldElsewhere(heldElsewhere);
    QCOMPARE(request("open"), replyText("open", code, QStringLiteral("打开端口失败")));
    QCOMPARE(request("beep"), replyText("beep", -1, kNotOpen));

    // Once the reader is usable, open works: the failure left the flag clear.
    reader().plug();
    reader().setInterfaceHeldElsewhere(false);
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
}

void tst_ReaderActions::unpluggedReader()
{
    const QString gone = QStringLiteral("读卡器已拔出");
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
    reader().unplugAfterTransfers(1); // gone between the version request and its reply
    QCOMPARE(request("version"), replyText("version", -31, gone));
    QCOMPARE(request("beep"), replyText("beep", -31, gone));

    // Closed while gone, it stays closed when it is back.
    QCOMPARE(request("close"), replyText("close", 0, QStringLiteral("端口关闭成功")));
    reader().plug();
    QCOMPARE(request("beep"), replyText("beep", -1, kNotOpen));
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
    QCOMPARE(request("beep"), replyText("beep", 0, QStringLiteral("蜂鸣器调用成功")));
}

void tst_ReaderActions::versionIsCutToItsBuffer()
{
    QCOMPARE(request("open"), replyText("open", 0, QStringLiteral("打开端口成功")));
    reader().firmware().versionText = std::string(400, '7');
    const QJsonObject object = m_client->requestJson(act("version"));
    QCOMPARE(object.value("success").toInt(), 0);
    QCOMPARE(object.value("data").toString(), QString(255, QLatin1Char('7')));
    QCOMPARE(request("beep"), replyText("beep", 0, QStringLiteral("蜂鸣器调用成功")));
}

QTEST_MAIN(tst_ReaderActions)
#include "tst_readeractions.moc"
