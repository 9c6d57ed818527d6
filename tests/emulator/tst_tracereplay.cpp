// Replay of a recorded session: traces recorded by the service's recorder from
// the processor running against the emulated reader, then served to a new
// processor in front of an empty reader, must give the same replies byte for
// byte; a trace that differs from
// what the driver sends fails that request with -32 and says where; redacted
// bytes replay where the path does not depend on them.

#include "demodeck.h"
#include "emulatedreader.h"
#include "iso15693.h"
#include "luvarocard.h"
#include "m1.h"
#include "resultcodes.h"
#include "textmessageprocessor.h"
#include "tracemaker.h"
#include "tracereplay.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>


using namespace dorvent::emulator;
using dorvent::trace::Event;

namespace {

enum class Field { Demo, M1, Iso15693 };

struct Session
{
    QStringList replies; // in request order; one per request answered
    QVector<Event> events;
};

QStringList collectReplies(CTextMessageProcessor &processor, const QStringList &requests)
{
    QStringList replies;
    QObject::connect(&processor, &CTextMessageProcessor::requestDone, &processor,
                     [&replies](QWebSocket *, const dorvent::protocol::Outcome &outcome) {
                         if (outcome.reply)
                             replies << *outcome.reply;
                     });
    for (const QString &request : requests)
        processor.Process(nullptr, request);
    return replies;
}

// The requests against the demo deck (with the row's card in the field).
Session record(Field field, const QStringList &requests)
{
    installDemoDeck();
    if (field == Field::M1)
        EmulatedReader::instance().deck().radioField().insert(demoM1Card());
    else if (field == Field::Iso15693)
        EmulatedReader::instance().deck().radioField().insert(demoIso15693Tag());
    CTextMessageProcessor processor;
    testsupport::TraceMaker maker(processor);
    Session session;
    session.replies = collectReplies(processor, requests);
    session.events = maker.events();
    return session;
}

struct Replayed
{
    QStringList replies;
    int mismatches = 0;
    QString lastMismatch;
};

// The same requests served from the trace by a reader with no cards at all.
Replayed replay(const QVector<Event> &events, const QStringList &requests)
{
    EmulatedReader::instance().reset();
    CTextMessageProcessor processor;
    TraceReplay replayer(events);
    replayer.install();
    replayer.attach(processor);
    Replayed out;
    out.replies = collectReplies(processor, requests);
    out.mismatches = replayer.mismatches();
    out.lastMismatch = replayer.lastMismatch();
    return out;
}

QString act(const QString &request)
{
    return QJsonDocument::fromJson(request.toUtf8()).object().value("_act").toString();
}

// The events of request `number`'s reports, in order.
QVector<int> exchangesOf(const QVector<Event> &events, int number)
{
    QVector<int> out;
    int owner = 0;
    for (int i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Kind::Request)
            owner = events[i].number;
        else if (events[i].isExchange() && owner == number)
            out << i;
    }
    return out;
}

int lineOfReply(const QVector<Event> &events, int number)
{
    for (const Event &event : events)
        if (event.kind == Event::Kind::Reply && event.number == number)
            return event.line;
    return 0;
}

// Parsed back from its text, so that line numbers follow an edit.
QVector<Event> reparsed(const QVector<Event> &events)
{
    QByteArray text = QByteArray(dorvent::trace::kFirstLine) + '\n';
    for (const Event &event : events)
        if (event.line != 1)
            text += dorvent::trace::formatEvent(event);
    return dorvent::trace::parseTrace(text).events;
}

const QString kOpen = QStringLiteral(R"({"_act":"open"})");
const QString kM1Auth = QStringLiteral(R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})");
const QString kPin = QStringLiteral(R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})");

void noPause(int) {}

} // namespace

Q_DECLARE_METATYPE(Field)

class tst_TraceReplay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { luvaroCard::setSleepFunction(noPause); }

    void sameReplies_data();
    void sameReplies();
    void leavingTheTraceFails_data();
    void leavingTheTraceFails();
    void redactedBytesReplay();
};

void tst_TraceReplay::sameReplies_data()
{
    QTest::addColumn<Field>("field");
    QTest::addColumn<QStringList>("requests");
    // Not serviceStatus: its reply carries the time the reader was opened.
    QTest::newRow("reader") << Field::Demo
                            << QStringList{kOpen, R"({"_act":"beep"})", R"({"_act":"version"})",
                                           R"({"_act":"close"})"};
    QTest::newRow("identity card") << Field::Demo
                                   << QStringList{kOpen, R"({"_act":"readIDCardUID"})", R"({"_act":"readIDCard"})"};
    QTest::newRow("M1") << Field::M1
                        << QStringList{kOpen, R"({"_act":"cardm1Find"})", kM1Auth,
                                       R"({"_act":"cardm1Read","addr":"4"})"};
    QTest::newRow("4442") << Field::Demo
                          << QStringList{kOpen, R"({"_act":"card44PowerOn","type":"4442"})", kPin,
                                         R"({"_act":"card44Read","type":"4442","offset":"32","size":"16"})"};
    QTest::newRow("contact CPU card")
        << Field::Demo
        << QStringList{kOpen, R"({"_act":"cardClodPowerOn","slotNo":"1"})",
                       R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040006D15600000100"})"};
    QTest::newRow("ISO 15693") << Field::Iso15693
                               << QStringList{kOpen, R"({"_act":"card15693Find"})",
                                              R"({"_act":"card15693Read","addr":"1"})"};
    QTest::newRow("bank card") << Field::Demo << QStringList{kOpen, R"({"_act":"readBankNO"})"};
    QTest::newRow("social-security card") << Field::Demo
                                          << QStringList{kOpen, R"({"_act":"readSci","slotNo":"11"})"};
    // Fewer requests than recorded: each finds its own, the rest is skipped.
    QTest::newRow("skipping") << Field::Demo << QStringList{kOpen, R"({"_act":"beep"})", R"({"_act":"version"})"};
}

void tst_TraceReplay::sameReplies()
{
    QFETCH(Field, field);
    QFETCH(QStringList, requests);
    const Session recorded = record(field, requests);
    QCOMPARE(recorded.replies.size(), requests.size());
    for (int i = 1; i < requests.size(); ++i)
        QVERIFY2(!recorded.replies[i].contains(QLatin1String("\"success\":-")), qPrintable(recorded.replies[i]));

    QStringList sent = requests;
    if (QByteArray(QTest::currentDataTag()) == "skipping")
        sent.removeAt(1); // the beep
    const Replayed replayed = replay(recorded.events, sent);
    const QStringList &replies = replayed.replies;
    QCOMPARE(replayed.mismatches, 0);
    QStringList expected = recorded.replies;
    if (sent.size() < requests.size())
        expected.removeAt(1);
    QCOMPARE(replies, expected);
}

// One edit of a recorded report: what the driver sends no longer agrees.
enum class Edit { ChangeByte, DropReport };
Q_DECLARE_METATYPE(Edit)

void tst_TraceReplay::leavingTheTraceFails_data()
{
    QTest::addColumn<Field>("field");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<int>("number");   // the request edited
    QTest::addColumn<int>("exchange"); // its report edited, from 0
    QTest::addColumn<Edit>("edit");
    const QStringList apdu{kOpen, R"({"_act":"cardClodPowerOn","slotNo":"1"})",
                           R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040006D15600000100"})",
                           R"({"_act":"beep"})"};
    const QStringList idCard{kOpen, R"({"_act":"readIDCard"})", R"({"_act":"beep"})"};
    QTest::newRow("an APDU byte") << Field::Demo << apdu << 3 << 0 << Edit::ChangeByte;
    QTest::newRow("the select of an identity-card read") << Field::Demo << idCard << 2 << 2 << Edit::ChangeByte;
    QTest::newRow("a fetch more than recorded") << Field::Demo << apdu << 3 << 1 << Edit::DropReport;
    QTest::newRow("a request where a reply was recorded") << Field::Demo << idCard << 2 << 0 << Edit::DropReport;
}

void tst_TraceReplay::leavingTheTraceFails()
{
    QFETCH(Field, field);
    QFETCH(QStringList, requests);
    QFETCH(int, number);
    QFETCH(int, exchange);
    QFETCH(Edit, edit);
    const Session recorded = record(field, requests);
    QVector<Event> events = recorded.events;
    const int at = exchangesOf(events, number).value(exchange, -1);
    QVERIFY(at >= 0);
    const Event original = events[at];
    if (edit == Edit::ChangeByte) {
        QCOMPARE(original.kind, Event::Kind::Set);
        Event changed = original;
        changed.report.bytes[8] ^= 0x01; // CLA of an APDU, padding after a short frame
        events.replace(at, changed);
    } else {
        events.remove(at);
    }
    events = reparsed(events);

    const Replayed replayed = replay(events, requests);
    const QStringList &replies = replayed.replies;
    QCOMPARE(replayed.mismatches, 1);
    QCOMPARE(replies.size(), requests.size());
    const QJsonObject failed = QJsonDocument::fromJson(replies[number - 1].toUtf8()).object();
    QCOMPARE(failed.value("success").toInt(), luvaro::kReplayMismatch);
    QCOMPARE(failed.value("msg").toString(), TraceReplay::kMismatchMessage);
    // The requests before and after are untouched: the next one starts aligned.
    for (int i = 0; i < requests.size(); ++i)
        if (i != number - 1)
            QCOMPARE(replies[i], recorded.replies[i]);

    // Where it went wrong, and both sides of it.
    const QVector<int> edited = exchangesOf(events, number);
    const int line = exchange < edited.size() ? events[edited[exchange]].line : lineOfReply(events, number);
    const QString &mismatch = replayed.lastMismatch;
    QVERIFY2(mismatch.startsWith(QStringLiteral("replay: mismatch at step %1 of request %2 (%3), trace line %4\n")
                                     .arg(exchange + 1)
                                     .arg(number)
                                     .arg(act(requests[number - 1]))
                                     .arg(line)),
             qPrintable(mismatch));
    const QString sent = original.kind == Event::Kind::Set ? QString::fromLatin1(formatReport(original.report))
                                                           : QStringLiteral("a fetch (GET_REPORT)");
    QVERIFY2(mismatch.contains(QStringLiteral("\n  sent:     ") + sent + '\n'), qPrintable(mismatch));
    if (edit == Edit::ChangeByte) {
        const QString recordedHex = QString::fromLatin1(formatReport(events[edited[exchange]].report));
        QVERIFY2(mismatch.contains(QStringLiteral("\n  recorded: ") + recordedHex + '\n'), qPrintable(mismatch));
        QVERIFY(recordedHex != sent);
    } else if (exchange < edited.size()) {
        QVERIFY2(mismatch.contains(QStringLiteral("\n  recorded: a reply (GET_REPORT) ")), qPrintable(mismatch));
    } else {
        QVERIFY2(mismatch.contains(QStringLiteral("\n  recorded: none")), qPrintable(mismatch));
    }
}

// A redacted recording: keys and PINs in the requests, the card's numbers and
// data in the replies. None of them steers the driver, so the session replays,
// the replies agreeing with the recorded ones where these were not redacted.
void tst_TraceReplay::redactedBytesReplay()
{
    const QStringList requests{kOpen,
                               R"({"_act":"readIDCardUID"})",
                               R"({"_act":"cardm1Find"})",
                               kM1Auth,
                               R"({"_act":"cardm1Read","addr":"4"})",
                               R"({"_act":"card44PowerOn","type":"4442"})",
                               kPin};
    const Session recorded = record(Field::M1, requests);
    QVector<Event> events = recorded.events;
    static const QRegularExpression kData(QStringLiteral("\"data\":\"([^\"]*)\""));
    static const QRegularExpression kKey(QStringLiteral("\"key\":\"([^\"]*)\""));
    const auto star = [](QString &text, const QRegularExpression &value) {
        const QRegularExpressionMatch match = value.match(text);
        if (match.hasMatch())
            text.replace(match.capturedStart(1), match.capturedLength(1), QString(match.capturedLength(1), '*'));
    };
    int redactedReports = 0;
    int owner = 0;
    for (Event &event : events) {
        if (event.kind == Event::Kind::Request) {
            owner = event.number;
            star(event.text, kKey);
        } else if (event.kind == Event::Kind::Reply && owner > 1) {
            star(event.text, kData);
        } else if (event.isExchange() && owner > 1) {
            // A request's parameters and checksum, a reply's payload.
            const int from = event.kind == Event::Kind::Set ? 6 : 5;
            for (int i = from; i < dorvent::trace::kReportBytes; ++i) {
                event.report.redacted |= 1u << i;
                event.report.bytes[std::size_t(i)] = 0;
            }
            ++redactedReports;
        }
    }
    QVERIFY(redactedReports > 10);
    events = reparsed(events);

    // The page's own values go out where the recording hid them.
    const Replayed replayed = replay(events, requests);
    const QStringList &replies = replayed.replies;
    QCOMPARE(replayed.mismatches, 0);
    QCOMPARE(replies.size(), requests.size());
    int number = 0;
    for (const Event &event : events) {
        if (event.kind != Event::Kind::Reply)
            continue;
        number = event.number;
        QVERIFY2(dorvent::trace::textMatches(replies[number - 1], event.text),
                 qPrintable(replies[number - 1] + "\n" + event.text));
        QVERIFY(QJsonDocument::fromJson(replies[number - 1].toUtf8()).object().value("success").toInt() == 0);
    }
    QCOMPARE(number, requests.size());
}

QTEST_MAIN(tst_TraceReplay)
#include "tst_tracereplay.moc"
