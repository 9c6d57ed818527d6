#include "servicelog.h"
#include "settings.h"

#include <QtTest>

using namespace dorvent::config;

// The configuration file: what it accepts and how it says what it refuses,
// and the decisions the settings make about origins and client hosts.
class tst_Settings : public QObject
{
    Q_OBJECT
private slots:
    void validFiles_data();
    void validFiles();
    void refusedFiles_data();
    void refusedFiles();
    void noFileIsTheBuiltInService();
    void commandLine_data();
    void commandLine();
    void traceOption_data();
    void traceOption();
    void origins_data();
    void origins();
    void hosts_data();
    void hosts();
    void maskedFrames_data();
    void maskedFrames();
    void maskedJournalLines_data();
    void maskedJournalLines();
    void packagedFileIsTheDefaultsAndItsExamplesRead();
};

void tst_Settings::validFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("described");

    const QString defaults = QStringLiteral("listen any; allowed-origins any; allowed-hosts any; log requests");
    QTest::newRow("empty") << QByteArray() << defaults;
    QTest::newRow("comments and blank lines") << QByteArray("# a comment\n\n   ; another\r\n") << defaults;
    QTest::newRow("the packaged example, all commented out")
        << QByteArray("# listen = 127.0.0.1 ::1\n# log = debug\n") << defaults;
    QTest::newRow("loopback only") << QByteArray("listen = 127.0.0.1 ::1\n")
                                   << QStringLiteral("listen 127.0.0.1 ::1; allowed-origins any; allowed-hosts any; "
                                                     "log requests");
    QTest::newRow("commas, spaces, CRLF, inline comment")
        << QByteArray("listen=127.0.0.1,::1   # loopback\r\nlog =off\r\n")
        << QStringLiteral("listen 127.0.0.1 ::1; allowed-origins any; allowed-hosts any; log off");
    QTest::newRow("origins, normalised")
        << QByteArray("allowed-origins = HTTPS://App.Example.org:443 http://localhost:8080 *.example.net "
                      "https://*.intra.example:8443 null no-origin\n")
        << QStringLiteral("listen any; allowed-origins https://app.example.org http://localhost:8080 *.example.net "
                          "https://*.intra.example:8443 null no-origin; allowed-hosts any; log requests");
    QTest::newRow("hosts") << QByteArray("allowed-hosts = 192.168.10.0/24 10.1.2.3 fd00::/8\nlog = debug\n")
                           << QStringLiteral("listen any; allowed-origins any; allowed-hosts 192.168.10.0/24 "
                                             "10.1.2.3 fd00::/8; log debug");
    QTest::newRow("trace redacted, default directory")
        << QByteArray("trace = redacted\n")
        << defaults + QStringLiteral("; trace redacted; trace-directory /var/lib/dorvent/traces");
    QTest::newRow("trace everything elsewhere, path cleaned")
        << QByteArray("trace = everything\ntrace-directory = /home/ops//traces/\n")
        << defaults + QStringLiteral("; trace everything; trace-directory /home/ops/traces");
    QTest::newRow("trace off says nothing") << QByteArray("trace = off\ntrace-directory = /srv/t\n") << defaults;
    QTest::newRow("any said aloud") << QByteArray("listen = any\nallowed-origins = *\nallowed-hosts = any\n")
                                    << defaults;
}

void tst_Settings::validFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, described);
    const Parsed parsed = parseSettings(text, QStringLiteral("dorvent.conf"));
    QVERIFY2(parsed.ok, qPrintable(parsed.error));
    QCOMPARE(parsed.settings.describe(), described);
}

void tst_Settings::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("no equals sign") << QByteArray("# fine\nlisten 127.0.0.1\n")
                                    << "f.conf:2: expected 'setting = value'";
    QTest::newRow("unknown setting") << QByteArray("port = 8080\n")
                                     << "f.conf:1: unknown setting 'port' (known: listen, allowed-origins, "
                                        "allowed-hosts, log, trace, trace-directory)";
    QTest::newRow("set twice") << QByteArray("log = off\n\nlog = debug\n")
                               << "f.conf:3: log is set twice (first on line 1)";
    QTest::newRow("no value") << QByteArray("listen =\n") << "f.conf:1: listen has no value";
    QTest::newRow("a host name where an address belongs")
        << QByteArray("listen = localhost\n")
        << "f.conf:1: 'localhost' is not an IP address (listen takes addresses such as 127.0.0.1 and ::1, or any)";
    QTest::newRow("any beside addresses") << QByteArray("listen = any 127.0.0.1\n")
                                          << "f.conf:1: 'any' stands alone in listen";
    QTest::newRow("origin without scheme") << QByteArray("allowed-origins = app.example.org\n")
                                           << "f.conf:1: 'app.example.org' is no origin: write it with its scheme, "
                                              "as https://app.example.org";
    QTest::newRow("origin with a path") << QByteArray("allowed-origins = https://app.example.org/\n")
                                        << "f.conf:1: 'https://app.example.org/' is more than an origin: "
                                           "scheme://host[:port], with no path or trailing /";
    QTest::newRow("wildcard inside") << QByteArray("allowed-origins = https://app.*.org\n")
                                     << "f.conf:1: 'https://app.*.org': a wildcard stands only at the start, as "
                                        "*.example.org";
    QTest::newRow("bad port") << QByteArray("allowed-origins = http://localhost:99999\n")
                              << "f.conf:1: 'http://localhost:99999' has no valid port";
    QTest::newRow("bad network") << QByteArray("allowed-hosts = 192.168.1.0/33\n")
                                 << "f.conf:1: '192.168.1.0/33' is neither an IP address nor a network such as "
                                    "192.168.1.0/24";
    QTest::newRow("unknown trace mode") << QByteArray("trace = on\n")
                                        << "f.conf:1: trace is one of off, redacted, everything";
    QTest::newRow("relative trace directory")
        << QByteArray("trace-directory = traces\n")
        << "f.conf:1: trace-directory is one absolute path, such as /var/lib/dorvent/traces";
    QTest::newRow("trace directory with a space")
        << QByteArray("trace-directory = /srv/my traces\n")
        << "f.conf:1: trace-directory is one absolute path, such as /var/lib/dorvent/traces";
    QTest::newRow("unknown log level") << QByteArray("log = verbose\n")
                                       << "f.conf:1: log is one of off, requests, debug";
}

void tst_Settings::refusedFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const Parsed parsed = parseSettings(text, QStringLiteral("f.conf"));
    QVERIFY(!parsed.ok);
    QCOMPARE(parsed.error, error);
    QVERIFY(parsed.settings == Settings()); // nothing half-read
}

void tst_Settings::noFileIsTheBuiltInService()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("dorvent.conf"));
    const Parsed packaged = loadSettings(missing, false);
    QVERIFY(packaged.ok);
    QVERIFY(packaged.settings == Settings());
    QVERIFY(packaged.settings.listen.isEmpty() && packaged.settings.anyOrigin && packaged.settings.anyHost);

    const Parsed named = loadSettings(missing, true);
    QVERIFY(!named.ok);
    QVERIFY2(named.error.startsWith(missing + QStringLiteral(": cannot be read")), qPrintable(named.error));
}

void tst_Settings::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("named");
    QTest::addColumn<QString>("error");

    QTest::newRow("none") << QStringList{"dorvent"} << kDefaultConfigPath << false << QString();
    QTest::newRow("--config FILE") << QStringList{"dorvent", "--config", "/tmp/a.conf"} << "/tmp/a.conf" << true
                                   << QString();
    QTest::newRow("--config=FILE") << QStringList{"dorvent", "--config=/tmp/b.conf"} << "/tmp/b.conf" << true
                                   << QString();
    QTest::newRow("--config at the end") << QStringList{"dorvent", "--config"} << kDefaultConfigPath << false
                                         << "--config needs a file";
}

void tst_Settings::commandLine()
{
    QFETCH(QStringList, arguments);
    const ConfigFile file = configFileFrom(arguments);
    QTEST(file.path, "path");
    QTEST(file.named, "named");
    QTEST(file.error, "error");
}

void tst_Settings::traceOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("trace"); // the settings in force, in the file's words
    QTest::addColumn<QString>("error");

    const QString off = QStringLiteral("off");
    QTest::newRow("none: the file decides") << QStringList{"dorvent"}
                                            << QByteArray("trace = everything\ntrace-directory = /srv/t\n")
                                            << "everything /srv/t" << QString();
    QTest::newRow("--trace DIR overrides the file")
        << QStringList{"dorvent", "--trace", "/tmp/t"} << QByteArray("trace = everything\ntrace-directory = /srv/t\n")
        << "redacted /tmp/t" << QString();
    QTest::newRow("--trace=DIR with --trace-everything, before or after")
        << QStringList{"dorvent", "--trace-everything", "--trace=/tmp/t/"} << QByteArray() << "everything /tmp/t"
        << QString();
    QTest::newRow("--trace at the end") << QStringList{"dorvent", "--trace"} << QByteArray() << off
                                        << "--trace needs a directory";
    QTest::newRow("--trace followed by an option") << QStringList{"dorvent", "--trace", "--trace-everything"}
                                                   << QByteArray() << off << "--trace needs a directory";
    QTest::newRow("--trace-everything alone") << QStringList{"dorvent", "--trace-everything"} << QByteArray() << off
                                              << "--trace-everything needs --trace DIR";
}

void tst_Settings::traceOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    const TraceOption option = traceOptionFrom(arguments);
    QCOMPARE(option.error, error);
    const Parsed parsed = parseSettings(file, QStringLiteral("f"));
    QVERIFY(parsed.ok);
    const Settings settings = error.isEmpty() ? option.appliedTo(parsed.settings) : Settings();
    QString trace = traceModeName(settings.trace);
    if (settings.trace != TraceMode::Off)
        trace += QLatin1Char(' ') + settings.traceDirectory;
    QTEST(trace, "trace");
}

void tst_Settings::origins_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<QString>("origin"); // a null QString: no Origin header
    QTest::addColumn<bool>("allowed");

    const QByteArray listed = "https://app.example.org http://localhost:8080 *.example.net "
                              "https://*.intra.example:8443 null";
    QTest::newRow("default: any origin") << QByteArray("any") << "https://anything.example" << true;
    QTest::newRow("default: no Origin") << QByteArray("any") << QString() << true;
    QTest::newRow("exact") << listed << "https://app.example.org" << true;
    QTest::newRow("exact, default port written out") << listed << "https://app.example.org:443" << true;
    QTest::newRow("exact, other scheme") << listed << "http://app.example.org" << false;
    QTest::newRow("exact, other port") << listed << "https://app.example.org:8443" << false;
    QTest::newRow("exact, suffix attack") << listed << "https://app.example.org.evil.example" << false;
    QTest::newRow("exact, with port") << listed << "http://localhost:8080" << true;
    QTest::newRow("exact, port missing") << listed << "http://localhost" << false;
    QTest::newRow("wildcard, subdomain") << listed << "https://shop.example.net" << true;
    QTest::newRow("wildcard, deeper") << listed << "http://a.b.example.net" << true;
    QTest::newRow("wildcard, the domain itself") << listed << "https://example.net" << false;
    QTest::newRow("wildcard, look-alike") << listed << "https://evilexample.net" << false;
    QTest::newRow("wildcard, other port") << listed << "https://shop.example.net:444" << false;
    QTest::newRow("wildcard with scheme and port") << listed << "https://x.intra.example:8443" << true;
    QTest::newRow("wildcard with scheme, other scheme") << listed << "http://x.intra.example:8443" << false;
    QTest::newRow("null listed") << listed << "null" << true;
    QTest::newRow("no Origin, not listed") << listed << QString() << false;
    QTest::newRow("no Origin, listed") << QByteArray("no-origin") << QString() << true;
    QTest::newRow("null, not listed") << QByteArray("no-origin") << "null" << false;
    QTest::newRow("an empty Origin is not none") << QByteArray("no-origin") << "" << false;
    QTest::newRow("garbage") << listed << "https://app.example.org/path" << false;
}

void tst_Settings::origins()
{
    QFETCH(QByteArray, setting);
    QFETCH(QString, origin);
    const Parsed parsed = parseSettings("allowed-origins = " + setting, QStringLiteral("f"));
    QVERIFY2(parsed.ok, qPrintable(parsed.error));
    QTEST(parsed.settings.originAllowed(origin, !origin.isNull()), "allowed");
}

void tst_Settings::hosts_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("allowed");

    const QByteArray listed = "192.168.10.0/24 10.1.2.3 fd00::/8";
    QTest::newRow("default: any host") << QByteArray("any") << "203.0.113.9" << true;
    QTest::newRow("in the network") << listed << "192.168.10.77" << true;
    QTest::newRow("beside the network") << listed << "192.168.11.1" << false;
    QTest::newRow("the one address") << listed << "10.1.2.3" << true;
    QTest::newRow("next to the one address") << listed << "10.1.2.4" << false;
    QTest::newRow("IPv6 network") << listed << "fd12:3456::1" << true;
    QTest::newRow("IPv6 outside") << listed << "2001:db8::1" << false;
    QTest::newRow("IPv4 on a dual-stack socket") << listed << "::ffff:192.168.10.5" << true;
    QTest::newRow("loopback is always allowed") << listed << "127.0.0.1" << true;
    QTest::newRow("IPv6 loopback too") << listed << "::1" << true;
    QTest::newRow("mapped loopback too") << listed << "::ffff:127.0.0.1" << true;
}

void tst_Settings::hosts()
{
    QFETCH(QByteArray, setting);
    QFETCH(QString, client);
    const Parsed parsed = parseSettings("allowed-hosts = " + setting, QStringLiteral("f"));
    QVERIFY2(parsed.ok, qPrintable(parsed.error));
    QTEST(parsed.settings.hostAllowed(QHostAddress(client)), "allowed");
}

void tst_Settings::maskedFrames_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("logged");

    QTest::newRow("PIN") << R"({'_act':'card44AuthPIN','_tflag':'7','type':'4442','key':'A1B2C3'})"
                         << R"({"_act":"card44AuthPIN","_tflag":"7","key":<6 chars>,"type":"4442"})";
    QTest::newRow("M1 key") << R"({"_act":"cardm1Auth","addr":"4","key":"A0A1A2A3A4A5","keyType":"A"})"
                            << R"({"_act":"cardm1Auth","addr":"4","key":<12 chars>,"keyType":"A"})";
    QTest::newRow("APDU") << R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040007D15600000100"})"
                          << R"({"_act":"cardRun","apdu":<22 chars>,"slotNo":"1"})";
    QTest::newRow("identity-card reply")
        << R"({"_tflag":"1","functionName":"readIDCard","msg":"成功","name":"林晓雯","number":"110101199001011234","photoBase64":"/9j/4AAQ","success":0})"
        << R"({"_tflag":"1","functionName":"readIDCard","msg":"成功","name":<3 chars>,"number":<18 chars>,"photoBase64":<8 chars>,"success":0})";
    QTest::newRow("numbers and nesting") << R"({"_act":"x","numValue":42,"data":["a"],"more":{"k":1}})"
                                         << R"({"_act":"x","data":<array of 1>,"more":<object of 1>,"numValue":<value>})";
    QTest::newRow("a long shown value is masked too")
        << QStringLiteral(R"({"_act":"%1"})").arg(QString(65, QLatin1Char('k')))
        << R"({"_act":<65 chars>})";
    QTest::newRow("not JSON") << "FFFFFF secret" << "(not a JSON object, 13 chars)";
    QTest::newRow("control characters in a key") << "{\"a\\nb\":1}" << R"({"a\x0ab":<value>})";
}

void tst_Settings::maskedFrames()
{
    QFETCH(QString, frame);
    QTEST(log::maskedFrame(frame), "logged");
}

void tst_Settings::maskedJournalLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("bundled");

    QTest::newRow("a request line stays") << "Dec 11 02:49:19 pc dorvent[812]: request 127.0.0.1:45514 beep 0 0.02 ms"
                                          << "Dec 11 02:49:19 pc dorvent[812]: request 127.0.0.1:45514 beep 0 0.02 ms";
    QTest::newRow("a masked frame stays")
        << R"(dorvent[812]: frame in 127.0.0.1:1 {"_act":"card44AuthPIN","key":<6 chars>})"
        << R"(dorvent[812]: frame in 127.0.0.1:1 {"_act":"card44AuthPIN","key":<6 chars>})";
    QTest::newRow("a whole request, as older debug lines wrote it")
        << R"(dorvent[812]: Message received: "{'_act':'cardm1Auth','key':'A0A1A2A3A4A5','addr':'4'}")"
        << R"(dorvent[812]: Message received: "{"_act":"cardm1Auth","addr":"4","key":<12 chars>}")";
    QTest::newRow("numbers and hex outside JSON")
        << "dorvent[812]: 330106199203140023 3B680000444F5256454E5431 port 17798"
        << "dorvent[812]: <masked> <masked> port 17798";
}

void tst_Settings::maskedJournalLines()
{
    QFETCH(QString, line);
    QTEST(log::maskedJournalLine(line), "bundled");
}

// The packaged file changes nothing; each commented example, taken alone, is a valid file.
void tst_Settings::packagedFileIsTheDefaultsAndItsExamplesRead()
{
    const QString path = QStringLiteral(DORVENT_SOURCE_DIR "/packaging/dorvent.conf");
    const Parsed packaged = loadSettings(path, true);
    QVERIFY2(packaged.ok, qPrintable(packaged.error));
    QVERIFY(packaged.settings == Settings());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    int examples = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!QRegularExpression(QStringLiteral("^#[a-z-]+ = ")).match(QString::fromUtf8(line)).hasMatch())
            continue;
        const Parsed example = parseSettings(line.mid(1), path);
        QVERIFY2(example.ok, qPrintable(example.error));
        ++examples;
    }
    QCOMPARE(examples, 9);
}

QTEST_APPLESS_MAIN(tst_Settings)
#include "tst_settings.moc"
