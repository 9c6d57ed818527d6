#include "servicelog.h"

#include <QEventLoop>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

using namespace dorvent::config;

// The service's own lines as written to standard error: a request's line,
// and lines held for the end of an event-loop pass.
class tst_ServiceLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void requestLine_data();
    void requestLine();
    void heldUntilThePassEnds();
    void heldLinesGoWithTheirLoop();

private:
    // What standard error has received since init().
    QByteArray written();

    QTemporaryFile m_file;
    int m_stderr = -1;
};

void tst_ServiceLog::init()
{
    QVERIFY(m_file.open());
    m_file.resize(0);
    m_stderr = ::dup(STDERR_FILENO);
    QVERIFY(::dup2(m_file.handle(), STDERR_FILENO) >= 0);
}

void tst_ServiceLog::cleanup()
{
    log::flush();
    ::dup2(m_stderr, STDERR_FILENO);
    ::close(m_stderr);
    m_file.close();
}

QByteArray tst_ServiceLog::written()
{
    QFile file(m_file.fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void tst_ServiceLog::requestLine_data()
{
    QTest::addColumn<QByteArray>("act"); // null: a name no family has
    QTest::addColumn<bool>("replied");
    QTest::addColumn<int>("code");
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<QByteArray>("line");

    const QByteArray client = "request 127.0.0.1:45514 ";
    QTest::newRow("success") << QByteArray("beep") << true << 0 << qint64(23000) << client + "beep 0 0.02 ms";
    QTest::newRow("negative code") << QByteArray("cardRun") << true << -31 << qint64(1500000)
                                   << client + "cardRun -31 1.50 ms";
    QTest::newRow("lowest code") << QByteArray("x") << true << int(INT_MIN) << qint64(0)
                                 << client + "x -2147483648 0.00 ms";
    QTest::newRow("large code") << QByteArray("x") << true << 1234567 << qint64(0) << client + "x 1234567 0.00 ms";
    QTest::newRow("rounds down below half") << QByteArray("x") << true << 0 << qint64(4999)
                                            << client + "x 0 0.00 ms";
    QTest::newRow("rounds up from half") << QByteArray("x") << true << 0 << qint64(5000) << client + "x 0 0.01 ms";
    QTest::newRow("carries into the milliseconds") << QByteArray("x") << true << 0 << qint64(9995000)
                                                   << client + "x 0 10.00 ms";
    QTest::newRow("a long wait") << QByteArray("readMagCard") << true << 0 << qint64(61234567890)
                                 << client + "readMagCard 0 61234.57 ms";
    QTest::newRow("no reply") << QByteArray("collectFingerPrint") << false << 0 << qint64(70000)
                              << client + "collectFingerPrint no reply 0.07 ms";
    QTest::newRow("unknown action") << QByteArray() << false << 0 << qint64(120000)
                                    << client + "(unknown action) echoed 0.12 ms";
}

void tst_ServiceLog::requestLine()
{
    QFETCH(QByteArray, act);
    QFETCH(bool, replied);
    QFETCH(int, code);
    QFETCH(qint64, nanoseconds);
    QFETCH(QByteArray, line);
    const char *name = act.isNull() ? nullptr : act.constData();
    QCOMPARE(log::request("127.0.0.1:45514", name, replied, code, nanoseconds), line);
    // The server's way: formatted where the line is held.
    log::writeRequest("127.0.0.1:45514", name, replied, code, nanoseconds);
    log::flush();
    QCOMPARE(written(), line + '\n');
}

// Held lines are written in order at the end of the pass, before a Qt
// message, and at once when they pass 4 KiB; each line whole.
void tst_ServiceLog::heldUntilThePassEnds()
{
    log::holdLinesPerPass();
    log::write("first");
    log::writeRequest("127.0.0.1:1", "beep", true, 0, 20000);
    QCOMPARE(written(), QByteArray());

    // A loop that waits, as the service's does; the server's tests poll.
    QEventLoop loop;
    QByteArray later;
    QTimer::singleShot(0, [] { log::write("in the pass"); });
    QTimer::singleShot(5, [&] {
        later = written();
        loop.quit();
    });
    loop.exec();
    const QByteArray pass = "first\nrequest 127.0.0.1:1 beep 0 0.02 ms\nin the pass\n";
    QCOMPARE(later, pass);

    log::write("before a message");
    qInfo("a Qt message");
    QCOMPARE(written(), pass + "before a message\n");

    m_file.resize(0);
    ::lseek(STDERR_FILENO, 0, SEEK_SET);
    const QByteArray line(99, 'x'); // 100 bytes with its newline
    for (int i = 0; i < 41; ++i)
        log::write(QByteArray::number(i).rightJustified(2, '0') + line.mid(2));
    const QByteArray held = written();
    QCOMPARE(held.size(), 4000); // the 41st would pass 4 KiB
    const QByteArray big(5000, 'y');
    log::write(big);
    QCOMPARE(written().size(), 4100 + 5001);
    log::flush();
    QByteArray expected;
    for (int i = 0; i < 41; ++i)
        expected += QByteArray::number(i).rightJustified(2, '0') + line.mid(2) + '\n';
    QCOMPARE(written(), expected + big + '\n');
}

// A thread's held lines are written when its event loop goes, even without a pass.
void tst_ServiceLog::heldLinesGoWithTheirLoop()
{
    QThread *thread = QThread::create([] {
        log::holdLinesPerPass();
        log::write("from a thread");
    });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QCOMPARE(written(), QByteArray("from a thread\n"));
}

QTEST_GUILESS_MAIN(tst_ServiceLog)
#include "tst_servicelog.moc"
