// wlttool from the outside: a picture to a block and back, and a bad block
// refused with the decoder's code and meaning on standard error.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_WltTool : public QObject {
    Q_OBJECT
private slots:
    void encodeThenDecode();
    void badBlock_data();
    void badBlock();

private:
    int run(const QStringList &arguments, QByteArray *errorOutput = nullptr);
    QTemporaryDir m_dir;
};

int tst_WltTool::run(const QStringList &arguments, QByteArray *errorOutput)
{
    QProcess tool;
    tool.start(QStringLiteral(DORVENT_BINARY_DIR "/tools/wlttool"), arguments);
    // The tool's thorough encode takes a few seconds of CPU in the sanitizer
    // build; the bound leaves room for a machine busy with other builds.
    if (!tool.waitForFinished(240000) || tool.exitStatus() != QProcess::NormalExit)
        return -1;
    if (errorOutput)
        *errorOutput = tool.readAllStandardError();
    return tool.exitCode();
}

void tst_WltTool::encodeThenDecode()
{
    const QString block = m_dir.filePath(QStringLiteral("portrait.wlt"));
    const QString bmp = m_dir.filePath(QStringLiteral("portrait.bmp"));
    QCOMPARE(run({QStringLiteral("encode"), QStringLiteral(DORVENT_SOURCE_DIR "/data/portrait-102x126.png"), block}), 0);
    QCOMPARE(QFileInfo(block).size(), qint64(1024));
    QCOMPARE(run({QStringLiteral("decode"), block, bmp}), 0);
    QFile file(bmp);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(bytes.size(), 38862);
    QVERIFY(bytes.startsWith("BM"));
}

void tst_WltTool::badBlock_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no magic") << QByteArray(1024, 'x') << QByteArray("WLT error 3: magic missing");
    QTest::newRow("too short") << QByteArray("WLf\0~\0" "2abc", 10) << QByteArray("WLT error 4: input too short");
}

void tst_WltTool::badBlock()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, message);
    const QString path = m_dir.filePath(QStringLiteral("bad.wlt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(block);
    file.close();
    QByteArray errorOutput;
    QCOMPARE(run({QStringLiteral("decode"), path, m_dir.filePath(QStringLiteral("bad.bmp"))}, &errorOutput), 2);
    QVERIFY2(errorOutput.contains(message), errorOutput.constData());
    QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("bad.bmp"))));
}

QTEST_GUILESS_MAIN(tst_WltTool)
#include "tst_wlttool.moc"
