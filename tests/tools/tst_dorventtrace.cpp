// dorvent-trace as built: show decodes the regression traces' frames by our
// command names; diff finds the first difference (exit 1), with its context
// and both sides decoded, and takes redacted bytes, '*' and times as no
// difference (exit 0).

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kTool = QStringLiteral(DORVENT_BINARY_DIR "/tools/dorvent-trace");
const QString kTraces = QStringLiteral(DORVENT_SOURCE_DIR "/tests/traces/");

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QStringList &arguments)
{
    QProcess process;
    process.start(kTool, arguments);
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_DorventTrace : public QObject
{
    Q_OBJECT
private slots:
    void showDecodesFrames_data();
    void showDecodesFrames();
    void diff_data();
    void diff();
    void unreadableTrace();
};

void tst_DorventTrace::showDecodesFrames_data()
{
    QTest::addColumn<QString>("trace");
    QTest::addColumn<QString>("line"); // one whole decoded line
    QTest::newRow("beep") << "idcard-read" << "  -> beep [reader] L=2: 32";
    QTest::newRow("find") << "idcard-read" << "  -> find [identity card] L=1";
    QTest::newRow("select") << "idcard-read" << "  -> select [identity card] L=1";
    QTest::newRow("read") << "idcard-read" << "  -> read [identity card] L=1";
    // 41 reports make one frame, decoded after its last.
    QTest::newRow("read's reply") << "idcard-read" << "  <- ok L=1280, payload 1280";
    QTest::newRow("contact APDU") << "cards" << "  -> contact APDU [contact CPU card] L=14 slot 0C APDU 00 A4 04 00 Lc=06";
    QTest::newRow("its status word")
        << "cards" << "  <- ok L=12, payload 12: 6F 08 84 06 D1 56 00 00 01 00 90 00, SW 9000";
    QTest::newRow("contactless APDU with Le")
        << "cards" << "  -> contactless APDU [contactless CPU card] L=8 block 00 APDU 00 B2 01 0C Le=00";
    QTest::newRow("M1") << "cards" << "  -> M1 authenticate [M1] L=9: 60 01 FF FF FF FF FF FF";
}

void tst_DorventTrace::showDecodesFrames()
{
    QFETCH(QString, trace);
    QFETCH(QString, line);
    const Run shown = run({"show", kTraces + trace + ".trace"});
    QCOMPARE(shown.exitCode, 0);
    QVERIFY2(shown.out.split('\n').contains(line), qPrintable(shown.out.left(3000)));
    // Every line of the file is there, the reports indented.
    const QList<QByteArray> lines = readAll(kTraces + trace + ".trace").trimmed().split('\n');
    int reports = 0;
    for (const QByteArray &fileLine : lines) {
        const bool report = fileLine.startsWith('>') || fileLine.startsWith('<');
        reports += report;
        QVERIFY(shown.out.contains((report ? "      " : "") + QString::fromUtf8(fileLine) + '\n'));
    }
    QVERIFY(reports > 10);
}

void tst_DorventTrace::diff_data()
{
    QTest::addColumn<QString>("from"); // a text of cards.trace ...
    QTest::addColumn<QString>("to");   // ... changed to this in B
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected");
    const QString apdu = "> +0.000000 32 02 08 00 0E 00 72 0C 00 00 A4";
    QTest::newRow("the same") << "" << "" << 0 << QStringList{};
    QTest::newRow("other times") << "> +0.000000 32 02 08 00 0E" << "> +1.250000 32 02 08 00 0E" << 0 << QStringList{};
    QTest::newRow("redacted bytes") << apdu << "> +0.000000 32 02 08 00 0E 00 72 0C 00 xx xx" << 0 << QStringList{};
    QTest::newRow("redacted text") << R"("data":"6F0884)" << R"("data":"******)" << 0 << QStringList{};
    QTest::newRow("a changed byte")
        << apdu << "> +0.000000 32 02 08 00 0E 00 72 0C 00 01 A4" << 1
        << QStringList{"first difference: A line 16, B line 16, in request 4 (cardRun)",
                       // three lines before
                       "  13: < +0.000000 32 02 02 00 0C 3B 68", "  14: reply 3 0 {",
                       "  15: request 4 cardRun {", "A 16: > +0.000000 32 02 08 00 0E 00 72 0C 00 00 A4",
                       "     -> contact APDU [contact CPU card] L=14 slot 0C APDU 00 A4 04 00 Lc=06",
                       "B 16: > +0.000000 32 02 08 00 0E 00 72 0C 00 01 A4",
                       "     -> contact APDU [contact CPU card] L=14 slot 0C APDU 01 A4 04 00 Lc=06"};
    QTest::newRow("another reply") << R"("success":0}
request 5)" << R"("success":-20}
request 5)" << 1
                                   << QStringList{"first difference: A line 18, B line 18, in request 4 (cardRun)"};
    QTest::newRow("B ends early") << "request 14 " << "# request 14 " << 1
                                  << QStringList{"in request 14 (card15693Read)", "B: (ends here)"};
}

void tst_DorventTrace::diff()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);
    const QString a = kTraces + "cards.trace";
    QByteArray text = readAll(a);
    QVERIFY(text.contains(from.toUtf8()));
    if (!from.isEmpty())
        text.replace(text.indexOf(from.toUtf8()), from.toUtf8().size(), to.toUtf8());
    if (from.startsWith("request 14"))
        text.truncate(text.indexOf("# request 14")); // B stops before request 14
    QTemporaryDir dir;
    const QString b = dir.filePath("b.trace");
    QFile file(b);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();

    const Run compared = run({"diff", a, b});
    QCOMPARE(compared.exitCode, exitCode);
    if (exitCode == 0)
        QCOMPARE(compared.out, QString());
    for (const QString &line : expected)
        QVERIFY2(compared.out.contains(line), qPrintable(compared.out));
}

// A file that is no trace says where, and exits 2 whatever the command.
void tst_DorventTrace::unreadableTrace()
{
    const QString notATrace = kTraces + "README.md";
    for (const QStringList &arguments :
         {QStringList{"show", notATrace}, QStringList{"diff", kTraces + "cards.trace", notATrace}}) {
        const Run failed = run(arguments);
        QCOMPARE(failed.exitCode, 2);
        QVERIFY2(failed.err.contains(notATrace + ":1: not a dorvent trace"), qPrintable(failed.err));
    }
    QCOMPARE(run({"show"}).exitCode, 2);
}

QTEST_MAIN(tst_DorventTrace)
#include "tst_dorventtrace.moc"
