// A recorded session through the real server, processor and driver against
// the emulated reader: the file holds every exchange in order, the requests
// and replies, and in redacted mode none of the holder's data, keys or APDU
// data, while the card-finding steps and readIDCardUID stay whole.
#include "demodeck.h"
#include "echoserver.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "m1.h"
#include "memorycards.h"
#include "testsupport.h"
#include "textmessageprocessor.h"
#include "traceformat.h"
#include "tracerecorder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::IdentityCard;
using namespace dorvent::trace;

namespace {

const QByteArray kM1Key = QByteArray::fromHex("3A9C5E71D42B");
const QByteArray kCode4442 = QByteArray::fromHex("5CA739");
const QByteArray kApduData = QByteArray::fromHex("D15600000100"); // the AID selected

QByteArray utf16(const std::u16string &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.data()), int(text.size() * 2));
}

QByteArray bytesOf(const std::vector<std::uint8_t> &bytes, int from, int n)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()) + from, n);
}

// The frames one direction carried, joined: each first report whole, each
// later one without its marker (redacted bytes read 00).
QByteArray framesOf(const Parsed &trace, Event::Kind kind)
{
    QByteArray stream;
    bool more = false;
    for (const Event &event : trace.events) {
        if (event.kind != kind)
            continue;
        const char *bytes = reinterpret_cast<const char *>(event.report.bytes.data());
        stream += more ? QByteArray(bytes + 1, kReportBytes - 1) : QByteArray(bytes, kReportBytes);
        more = event.report.bytes[0] == 0x82;
    }
    return stream;
}

} // namespace

class tst_TraceRecording : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void session_data();
    void session();
    void unusableDirectoryRecordsNothing();
    void reloadsKeepOrEndTheFile();
    void fileStopsAtItsBound();

private:
    EchoServer *startRecording(dorvent::config::TraceMode mode, const QString &directory);
};

void tst_TraceRecording::init()
{
    dorvent::emulator::installDemoDeck();
    EmulatedReader &reader = EmulatedReader::instance();
    reader.deck().contactSlot(0x0E)->cardAs<dorvent::emulator::MemoryCard>()->code =
        std::vector<std::uint8_t>(kCode4442.begin(), kCode4442.end());
    reader.clearLog();
}

EchoServer *tst_TraceRecording::startRecording(dorvent::config::TraceMode mode, const QString &directory)
{
    dorvent::config::Settings settings;
    settings.log = dorvent::config::LogLevel::Off;
    settings.trace = mode;
    settings.traceDirectory = directory;
    return new EchoServer(0, settings);
}

void tst_TraceRecording::session_data()
{
    QTest::addColumn<bool>("everything");
    QTest::newRow("redacted") << false;
    QTest::newRow("everything") << true;
}

void tst_TraceRecording::session()
{
    QFETCH(bool, everything);
    QTemporaryDir dir;
    std::unique_ptr<EchoServer> server(startRecording(
        everything ? dorvent::config::TraceMode::Everything : dorvent::config::TraceMode::Redacted, dir.path()));
    const QString path = server->tracePath();
    QVERIFY(path.startsWith(dir.path() + QStringLiteral("/dorvent-")) && path.endsWith(QStringLiteral(".trace")));
    EmulatedReader &reader = EmulatedReader::instance();

    QStringList requests{
        R"({"_act":"open"})",
        R"({"_act":"readIDCardUID","_tflag":"u"})",
        R"({"_act":"readIDCard"})",
        R"({"_act":"readIDCardEX"})",
        R"({"_act":"cardClodPowerOn","slotNo":"1"})",
        R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040006D15600000100"})",
        R"({"_act":"readSci","slotNo":"11"})",
        R"({"_act":"readBankNO"})",
        R"({"_act":"mcardPowerOn"})",
        R"({"_act":"mcardRun","apdu":"00A4040006D15600000100"})",
        R"({"_act":"card44PowerOn","type":"4442"})",
        R"({"_act":"card44AuthPIN","type":"4442","key":"5CA739"})",
        R"({'_act':'noSuchAction','key':'5CA739'})",
    };
    const QStringList m1Requests{
        R"({"_act":"cardm1Find"})",
        R"({"_act":"cardm1Auth","addr":"4","key":"3A9C5E71D42B","keyType":"A"})",
    };
    QStringList replies;
    {
        testsupport::WsClient client(server->serverPort());
        QVERIFY(client.isConnected());
        for (const QString &request : requests)
            replies << client.request(request);
        auto m1 = dorvent::emulator::demoM1Card();
        dorvent::emulator::M1Card::Key key;
        std::copy(kM1Key.begin(), kM1Key.end(), key.begin());
        m1->setKeys(1, key, key);
        reader.deck().radioField().remove();
        reader.deck().radioField().insert(std::move(m1));
        for (const QString &request : m1Requests)
            replies << client.request(request);
    }
    requests += m1Requests;
    for (int i = 0; i < replies.size() - 3; ++i) // the echo, and the two M1 steps below
        if (i != requests.size() - 3)
            QVERIFY2(replies.at(i).contains(QLatin1String("\"success\":0")), qPrintable(requests.at(i)));
    QVERIFY2(replies.last().contains(QLatin1String("\"success\":0")), qPrintable(replies.last()));
    server.reset();

    struct stat st{};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    const Parsed trace = parseTrace(text);
    QVERIFY2(trace.ok, qPrintable(trace.error));

    // The header says how it was recorded.
    QHash<QString, QString> header;
    for (const Event &event : trace.events)
        if (event.kind == Event::Kind::Note && !event.key.isEmpty())
            header.insert(event.key, event.text);
    QCOMPARE(header.value(QStringLiteral("recording")), everything ? QString("everything") : QString("redacted"));
    QCOMPARE(header.contains(QStringLiteral("redacted")), !everything);
    QVERIFY(header.value(QStringLiteral("service")).startsWith(QLatin1String("dorvent ")));

    // Every transfer the reader saw, in order, with its result and bytes.
    QVector<Event> exchanges;
    for (const Event &event : trace.events)
        if (event.isExchange())
            exchanges << event;
    const auto &transfers = reader.transfers();
    QCOMPARE(exchanges.size(), int(transfers.size()));
    int redactedReports = 0;
    for (int i = 0; i < exchanges.size(); ++i) {
        const Event &event = exchanges.at(i);
        QCOMPARE(event.kind == Event::Kind::Set, transfers.at(i).isSetReport());
        QCOMPARE(event.result, transfers.at(i).result);
        Report seen;
        std::copy(transfers.at(i).data.begin(), transfers.at(i).data.end(), seen.bytes.begin());
        QVERIFY2(event.report.matches(seen), qPrintable(QStringLiteral("exchange %1, line %2").arg(i).arg(event.line)));
        redactedReports += event.report.redacted != 0;
    }
    QCOMPARE(redactedReports > 0, !everything);

    // Each request and its reply, numbered in order, the replies as sent.
    QVector<Event> texts;
    for (const Event &event : trace.events)
        if (event.kind == Event::Kind::Request || event.kind == Event::Kind::Reply)
            texts << event;
    QCOMPARE(texts.size(), 2 * requests.size());
    for (int i = 0; i < requests.size(); ++i) {
        const Event &request = texts.at(2 * i), &reply = texts.at(2 * i + 1);
        QCOMPARE(request.kind, Event::Kind::Request);
        QCOMPARE(request.number, i + 1);
        QCOMPARE(reply.number, i + 1);
        QVERIFY(textMatches(QString(requests.at(i)).replace(QLatin1Char('\''), QLatin1Char('"')), request.text));
        QVERIFY2(textMatches(replies.at(i), reply.text), qPrintable(reply.text));
    }
    // The card-finding steps stay whole: find B0, select B1, chip UID 12 and
    // the UID request and reply.
    QCOMPARE(texts.at(2).text, requests.at(1));
    QCOMPARE(texts.at(3).text, replies.at(1));
    for (int i = 0; i + 1 < exchanges.size(); ++i) {
        const quint8 command = exchanges.at(i).report.bytes[5];
        if (exchanges.at(i).kind == Event::Kind::Set && (command == 0xB0 || command == 0xB1 || command == 0x12)) {
            QCOMPARE(exchanges.at(i).report.redacted, 0u);
            QCOMPARE(exchanges.at(i + 1).report.redacted, 0u);
        }
    }

    // What must not be in a redacted file, and is in the other.
    const IdentityCard *card = reader.deck().idCardSam().cardAs<IdentityCard>();
    QVERIFY(card && !card->fingerprint().empty());
    const QByteArray received = framesOf(trace, Event::Kind::Get);
    const QByteArray sent = framesOf(trace, Event::Kind::Set);
    const QJsonObject idReply = QJsonDocument::fromJson(replies.at(3).toUtf8()).object();
    const QString figData = idReply.value(QStringLiteral("figData")).toString();
    const QString photoBase64 = idReply.value(QStringLiteral("photoBase64")).toString();
    QVERIFY(figData.size() > 64 && photoBase64.size() > 1000);
    const struct
    {
        const char *what;
        QByteArray needle;
        const QByteArray &haystack;
    } secrets[] = {
        {"name, UTF-8", QString::fromStdU16String(card->holder().name).toUtf8(), text},
        {"issuing authority, UTF-8", QString::fromStdU16String(card->holder().authority).toUtf8(), text},
        {"ID number, text", QString::fromStdU16String(card->holder().idNumber).toUtf8(), text},
        {"name, UTF-16 in the reply", utf16(card->holder().name), received},
        {"address, UTF-16 in the reply", utf16(card->holder().address), received},
        {"ID number, UTF-16 in the reply", utf16(card->holder().idNumber), received},
        {"name, as hex in the file", utf16(card->holder().name).toHex(' ').toUpper(), text},
        {"photo bytes", bytesOf(card->photo(), 200, 24), received},
        {"photo, Base64", photoBase64.mid(500, 40).toLatin1(), text},
        {"fingerprint bytes", bytesOf(card->fingerprint(), 0, 24), received},
        {"fingerprint, hex", figData.mid(0, 48).toLatin1(), text},
        {"M1 key, bytes", kM1Key, sent},
        {"M1 key, text", kM1Key.toHex().toUpper(), text},
        {"4442 code, bytes", kCode4442, sent},
        {"4442 code, text", kCode4442.toHex().toUpper(), text},
        {"APDU data, bytes", kApduData, sent},
        {"APDU data, text", kApduData.toHex().toUpper(), text},
    };
    for (const auto &secret : secrets)
        QVERIFY2(secret.haystack.contains(secret.needle) == everything,
                 qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(secret.what),
                                                       everything ? QStringLiteral("missing") : QStringLiteral("recorded"))));
}

void tst_TraceRecording::unusableDirectoryRecordsNothing()
{
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::WriteOther | QFile::ExeOther | QFile::ReadOther));
    const QString missing = dir.filePath(QStringLiteral("absent"));
    for (const QString &directory : {dir.path(), missing}) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^not recording a trace: ")));
        std::unique_ptr<EchoServer> server(startRecording(dorvent::config::TraceMode::Redacted, directory));
        QVERIFY(server->serverPort() != 0);
        QVERIFY(server->tracePath().isEmpty());
        testsupport::WsClient client(server->serverPort());
        QVERIFY(client.request(testsupport::act("open")).contains(QLatin1String("\"success\":0")));
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 0);
}

// Turned on by a reload, kept by one that keeps it on, ended by one that turns it off.
void tst_TraceRecording::reloadsKeepOrEndTheFile()
{
    QTemporaryDir dir;
    std::unique_ptr<EchoServer> server(startRecording(dorvent::config::TraceMode::Off, dir.path()));
    QVERIFY(server->tracePath().isEmpty());
    dorvent::config::Settings settings = server->settings();
    settings.trace = dorvent::config::TraceMode::Redacted;
    server->applySettings(settings);
    const QString path = server->tracePath();
    QVERIFY(!path.isEmpty());
    testsupport::WsClient client(server->serverPort());
    QVERIFY(client.request(testsupport::act("open")).contains(QLatin1String("\"success\":0")));
    server->applySettings(settings);
    QCOMPARE(server->tracePath(), path);
    QVERIFY(client.request(testsupport::act("beep")).contains(QLatin1String("\"success\":0")));
    settings.trace = dorvent::config::TraceMode::Off;
    server->applySettings(settings);
    QVERIFY(server->tracePath().isEmpty());
    QVERIFY(client.request(testsupport::act("beep")).contains(QLatin1String("\"success\":0")));

    const Parsed trace = readTraceFile(path);
    QVERIFY2(trace.ok, qPrintable(trace.error));
    QStringList acts;
    for (const Event &event : trace.events)
        if (event.kind == Event::Kind::Request)
            acts << event.act;
    QCOMPARE(acts, (QStringList{"open", "beep"}));
    QCOMPARE(trace.events.last().key, QStringLiteral("ended"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

// The bound ends the file with a note; requests are answered on.
void tst_TraceRecording::fileStopsAtItsBound()
{
    QTemporaryDir dir;
    QString error;
    std::unique_ptr<TraceRecorder> recorder = TraceRecorder::start({dir.path(), false, false}, &error);
    QVERIFY2(recorder, qPrintable(error));
    constexpr int kBound = 4000;
    recorder->setByteLimit(kBound);
    CTextMessageProcessor processor;
    recorder->follow(&processor);
    QVector<int> codes;
    QObject::connect(&processor, &CTextMessageProcessor::requestDone, &processor,
                     [&](QWebSocket *, const dorvent::protocol::Outcome &outcome) { codes << outcome.code; });
    processor.Process(nullptr, testsupport::act("open"));
    for (int i = 0; i < 20; ++i)
        processor.Process(nullptr, testsupport::act("beep"));
    QCOMPARE(codes, QVector<int>(21, 0));
    QVERIFY(!recorder->isRecording());

    QFile file(recorder->path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.size() <= kBound && text.size() > kBound - 200);
    QVERIFY(text.endsWith("\n# recording stopped: the file reached 4000 bytes\n"));
    QVERIFY(parseTrace(text).ok);
}

QTEST_MAIN(tst_TraceRecording)
#include "tst_tracerecording.moc"
