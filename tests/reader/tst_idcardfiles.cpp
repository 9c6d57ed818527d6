// The photo files live at fixed paths in a directory every user can write:
// whatever someone else plants there is never written through, read or waited on.
#include "ownfile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_IdCardFiles : public QObject
{
    Q_OBJECT
private slots:
    void ourFile();
    void planted_data();
    void planted();
};

void tst_IdCardFiles::ourFile()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("idCard.bmp")));
    QVERIFY(ownfile::write(path.constData(), QByteArray("first, longer")));
    QVERIFY(ownfile::write(path.constData(), QByteArray("second")));
    QCOMPARE(ownfile::read(path.constData()), QByteArray("second")); // truncated, not overlaid
    struct stat st;
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QCOMPARE(::chmod(path.constData(), 0644), 0); // as an older version left it
    QVERIFY(ownfile::write(path.constData(), QByteArray("third")));
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QCOMPARE(ownfile::read(path.constData(), 3), QByteArray()); // larger than allowed
    QVERIFY(ownfile::remove(path.constData()));
    QVERIFY(!QFile::exists(QFile::decodeName(path)));
    QVERIFY(!ownfile::remove(path.constData()));
    QCOMPARE(ownfile::read(path.constData()), QByteArray());
}

void tst_IdCardFiles::planted_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link") << "link";
    QTest::newRow("dangling symbolic link") << "dangling";
    QTest::newRow("hard link") << "hardlink";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("another user's file") << "foreign";
    QTest::newRow("directory") << "directory";
}

void tst_IdCardFiles::planted()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target"));
    const QString path = dir.filePath(QStringLiteral("idCard.bmp"));
    const QByteArray p = QFile::encodeName(path);
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(target, path));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nothing")), path));
    } else if (kind == QLatin1String("hardlink")) {
        QCOMPARE(::link(QFile::encodeName(target).constData(), p.constData()), 0);
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(p.constData(), 0666), 0);
    } else if (kind == QLatin1String("foreign")) {
        if (geteuid() != 0)
            QSKIP("needs root to give a file away");
        QVERIFY(QFile::copy(target, path));
        QCOMPARE(::chown(p.constData(), 65534, 65534), 0);
    } else {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("idCard.bmp")));
    }

    QVERIFY(!ownfile::write(p.constData(), QByteArray("planted over")));
    QCOMPARE(ownfile::read(p.constData()), QByteArray());
    QVERIFY(!ownfile::remove(p.constData()));
    QVERIFY(QFileInfo::exists(path) || QFileInfo(path).isSymLink());
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("nothing"))));
}

QTEST_MAIN(tst_IdCardFiles)
#include "tst_idcardfiles.moc"
