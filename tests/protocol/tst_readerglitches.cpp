// Every reader action against a reader that fails
// mid-action: unplugged after each transfer, or one reply report zeroed,
// without its marker or without its tag at each fetch. Each case must answer
// a failure with no data, and
// then, after a working "open", the same action must succeed. A reply the
// action recovers by itself (a poll or a fallback path) must equal the
// working one: never a success with empty or partial data. A first reply
// whose only fault lies in bytes its command does not read (readers differ
// there) is an answer, not a glitch. A new family joins with its rows in kRows.

#include "demodeck.h"
#include "echoserver.h"
#include "emulatedreader.h"
#include "iso15693.h"
#include "luvarocard.h"
#include "m1.h"
#include "stripe.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

#include <vector>

using namespace dorvent::emulator;
using testsupport::WsClient;

namespace {

// The card in the field, when the demo deck's own is not the one the action needs.
enum class Field { Demo, M1, Iso15693 };

// What of its first reply's marker and tag the action's command reads.
enum class HeaderRead { MarkerAndTag, TagOnly, None };

struct ActionRow
{
    const char *request;
    Field field;
    // Actions the card needs first (as JSON requests), run before every attempt.
    std::vector<const char *> before;
    // The beep's reply is fetched but carries nothing the beep would use.
    bool readsReply = true;
    // What the action used up for good even when its reply was lost (a lock,
    // a swipe), given anew before the action runs again.
    void (*renew)() = nullptr;
    HeaderRead firstReply = HeaderRead::MarkerAndTag;
};

void newTag()
{
    EmulatedReader::instance().deck().radioField().insert(demoIso15693Tag());
}

void newSwipe()
{
    EmulatedReader::instance().firmware().unit<StripeHead>().queueSwipe(demoStripeCard());
}

const ActionRow kRows[] = {
    {R"({"_act":"beep"})", Field::Demo, {}, false},
    {R"({"_act":"version"})", Field::Demo, {}, true, nullptr, HeaderRead::TagOnly},
    {R"({"_act":"cardClodPowerOn","slotNo":"1"})", Field::Demo, {}, true, nullptr, HeaderRead::None},
    {R"({"_act":"cardHotPowerOn","slotNo":"1"})", Field::Demo, {}, true, nullptr, HeaderRead::None},
    {R"({"_act":"cardRun","slotNo":"1","apdu":"00A4040006D15600000100"})", Field::Demo,
     {R"({"_act":"cardClodPowerOn","slotNo":"1"})"}},
    {R"({"_act":"cardPowerOff","slotNo":"1"})", Field::Demo, {}},
    {R"({"_act":"mcardPowerOn"})", Field::Demo, {}},
    {R"({"_act":"mcardRun","apdu":"00A4040006D15600000100"})", Field::Demo, {R"({"_act":"mcardPowerOn"})"}},
    {R"({"_act":"mcardPowerOff"})", Field::Demo, {}},
    {R"({"_act":"closeAnt"})", Field::Demo, {}},
    {R"({"_act":"openAnt"})", Field::Demo, {}},
    {R"({"_act":"readIDCardUID"})", Field::Demo, {}},
    {R"({"_act":"readIDCard"})", Field::Demo, {}},
    {R"({"_act":"readIDCardEX"})", Field::Demo, {}},
    {R"({"_act":"cardm1Find"})", Field::M1, {}},
    {R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})", Field::M1,
     {R"({"_act":"cardm1Find"})"}},
    {R"({"_act":"cardm1Read","addr":"4"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})"}},
    {R"({"_act":"cardm1Write","addr":"4","data":"00112233445566778899AABBCCDDEEFF"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"4","key":"FFFFFFFFFFFF","keyType":"A"})"}},
    {R"({"_act":"cardm1NumInit","addr":"5","numInit":"100"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"5","key":"FFFFFFFFFFFF","keyType":"A"})"}},
    {R"({"_act":"cardm1NumAdd","addr":"5","numValue":"10"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"5","key":"FFFFFFFFFFFF","keyType":"A"})",
      R"({"_act":"cardm1NumInit","addr":"5","numInit":"100"})"}},
    {R"({"_act":"cardm1NumDe","addr":"5","numValue":"1"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"5","key":"FFFFFFFFFFFF","keyType":"A"})",
      R"({"_act":"cardm1NumInit","addr":"5","numInit":"100"})"}},
    {R"({"_act":"cardm1NumRead","addr":"5"})", Field::M1,
     {R"({"_act":"cardm1Find"})", R"({"_act":"cardm1Auth","addr":"5","key":"FFFFFFFFFFFF","keyType":"A"})",
      R"({"_act":"cardm1NumInit","addr":"5","numInit":"100"})"}},
    {R"({"_act":"card15693Find"})", Field::Iso15693, {}},
    {R"({"_act":"card15693Info"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}},
    {R"({"_act":"card15693Read","addr":"1"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}, true, nullptr,
     HeaderRead::TagOnly},
    {R"({"_act":"card15693Write","addr":"1","data":"11223344"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}},
    {R"({"_act":"card15693WriteAFI","afidsiddata":"7"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}},
    {R"({"_act":"card15693WriteDSFID","afidsiddata":"7"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}},
    {R"({"_act":"card15693Lock","addr":"1"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}, true, newTag},
    {R"({"_act":"card15693LockAFI"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}, true, newTag},
    {R"({"_act":"card15693LockDSFID"})", Field::Iso15693, {R"({"_act":"card15693Find"})"}, true, newTag},
    {R"({"_act":"card44PowerOn","type":"4442"})", Field::Demo, {}},
    {R"({"_act":"card44AuthNum","type":"4442"})", Field::Demo, {R"({"_act":"card44PowerOn","type":"4442"})"}},
    {R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})"}},
    {R"({"_act":"card44Read","type":"4442","offset":"32","size":"16"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})"}},
    {R"({"_act":"card44Write","type":"4442","offset":"32","size":"4","data":"11223344"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})", R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"}},
    {R"({"_act":"card44ReadePro","type":"4442","offset":"0","size":"32"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})"}},
    {R"({"_act":"card44WritePro","type":"4442","offset":"0","size":"1","data":"A2"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})", R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"}},
    {R"({"_act":"card44EditPIN","type":"4442","key":"FFFFFF"})", Field::Demo,
     {R"({"_act":"card44PowerOn","type":"4442"})", R"({"_act":"card44AuthPIN","type":"4442","key":"FFFFFF"})"}},
    {R"({"_act":"card44PowerOff","type":"4442"})", Field::Demo, {R"({"_act":"card44PowerOn","type":"4442"})"}},
    {R"({"_act":"scardSet","outType":"1","mgNum":"4","outInfo":"2","appendEnter":"0"})", Field::Demo, {}},
    {R"({"_act":"scardGet"})", Field::Demo, {}},
    {R"({"_act":"scardRead","outTime":"10","mgNum":"4"})", Field::Demo, {}, true, newSwipe},
    {R"({"_act":"readBankNO"})", Field::Demo, {}},
    {R"({"_act":"readSci","slotNo":"11"})", Field::Demo, {}},
};

// How the reader fails in one case.
enum class Fault { Unplug, ZeroedReport, UnmarkedReport, UntaggedReport };

// A fault in bytes a reply's command does not read is none to it.
bool unseen(Fault fault, HeaderRead read)
{
    return (fault == Fault::UnmarkedReport && read != HeaderRead::MarkerAndTag)
           || (fault == Fault::UntaggedReport && read == HeaderRead::None);
}

void noPause(int) {}

} // namespace

Q_DECLARE_METATYPE(Fault)

class tst_ReaderGlitches : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void failureThenRecovery_data();
    void failureThenRecovery();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    QJsonObject call(const QString &json);
    bool succeeds(const QString &json) { return call(json).value("success").toInt() == 0; }
    // The demo deck with the row's card in the field, the reader opened
    // afresh and the row's prerequisites run; the log cleared.
    void prepare(const ActionRow &row);
    void reopen();

    EchoServer *m_server = nullptr;
    WsClient *m_client = nullptr;
};

void tst_ReaderGlitches::initTestCase()
{
    luvaroCard::setSleepFunction(noPause);
}

void tst_ReaderGlitches::init()
{
    m_server = testsupport::startServer();
    m_client = new WsClient(testsupport::portOf(m_server));
    QVERIFY(m_client->isConnected());
}

void tst_ReaderGlitches::cleanup()
{
    delete m_client;
    delete m_server;
}

// One request and its reply, without the polling pause of a QTest wait:
// the table makes thousands.
QJsonObject tst_ReaderGlitches::call(const QString &json)
{
    const int before = m_client->texts.size();
    m_client->socket().sendTextMessage(json);
    QElapsedTimer waited;
    waited.start();
    while (m_client->texts.size() == before && waited.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (m_client->texts.size() == before)
        return {};
    QJsonObject reply = QJsonDocument::fromJson(m_client->texts.at(before).toUtf8()).object();
    reply.remove("_tflag");
    return reply;
}

void tst_ReaderGlitches::reopen()
{
    call(R"({"_act":"close"})");
    QVERIFY(succeeds(R"({"_act":"open"})"));
}

void tst_ReaderGlitches::prepare(const ActionRow &row)
{
    installDemoDeck();
    if (row.field == Field::M1)
        reader().deck().radioField().insert(demoM1Card());
    else if (row.field == Field::Iso15693)
        reader().deck().radioField().insert(demoIso15693Tag());
    reopen();
    for (const char *before : row.before)
        QVERIFY2(succeeds(before), before);
    reader().clearLog();
}

void tst_ReaderGlitches::failureThenRecovery_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<Fault>("fault");
    for (int i = 0; i < int(std::size(kRows)); ++i) {
        const QByteArray name = QJsonDocument::fromJson(kRows[i].request).object().value("_act").toString().toLatin1();
        QTest::newRow(name + ": unplugged") << i << Fault::Unplug;
        if (!kRows[i].readsReply)
            continue;
        QTest::newRow(name + ": zeroed report") << i << Fault::ZeroedReport;
        QTest::newRow(name + ": unmarked report") << i << Fault::UnmarkedReport;
        QTest::newRow(name + ": untagged report") << i << Fault::UntaggedReport;
    }
}

void tst_ReaderGlitches::failureThenRecovery()
{
    QFETCH(int, row);
    QFETCH(Fault, fault);
    const ActionRow &action = kRows[row];

    // A working run: how many transfers the action makes, and what it fetches.
    prepare(action);
    const QJsonObject working = call(action.request);
    QCOMPARE(working.value("success").toInt(), 0);
    std::vector<Report> fetched;
    std::vector<bool> continuing; // carries on a reply an earlier fetch began: it has no tag
    bool replyOpen = false;
    for (const Transfer &t : reader().transfers()) {
        if (t.requestType != 0xA1) {
            replyOpen = false;
            continue;
        }
        fetched.push_back(t.data);
        continuing.push_back(replyOpen);
        replyOpen = t.data[0] == 0x82;
    }
    // Without a reply to read, only the request can fail.
    const int transfers = action.readsReply ? int(reader().transfers().size())
                                            : int(reader().sentReports().size());
    const int positions = fault == Fault::Unplug ? transfers : int(fetched.size());
    QVERIFY(positions > 0);

    for (int at = 0; at < positions; ++at) {
        if ((at == 0 && unseen(fault, action.firstReply))
            || (fault == Fault::UntaggedReport && continuing[std::size_t(at)]))
            continue;
        prepare(action);
        if (fault == Fault::Unplug) {
            if (at == 0)
                reader().unplug();
            else
                reader().unplugAfterTransfers(at);
        } else {
            std::vector<Report> replies(fetched.begin(), fetched.begin() + at);
            Report bad{};
            if (fault == Fault::UnmarkedReport)
                bad = Report{0x42, 0x02, 0x00, 0x02, 0x00, 0x90, 0x00};
            else if (fault == Fault::UntaggedReport)
                bad = Report{0x02, 0x08, 0x00, 0x02, 0x00, 0x90, 0x00}; // a request tag
            replies.push_back(bad);
            reader().injectReplyReports(replies);
        }
        const QJsonObject reply = call(action.request);
        const QString where = QStringLiteral("at %1: %2").arg(at).arg(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
        QVERIFY2(reply.contains("success"), qPrintable(where));
        if (reply != working) {
            QVERIFY2(reply.value("success").toInt() != 0, qPrintable(where));
            for (const QString &key : reply.keys())
                QVERIFY2(key == "functionName" || key == "success" || key == "msg", qPrintable(where));
        }

        reader().plug();
        if (action.renew)
            action.renew();
        reopen();
        for (const char *before : action.before)
            QVERIFY2(succeeds(before), before);
        QVERIFY2(succeeds(action.request), qPrintable(QStringLiteral("after the fault at %1").arg(at)));
    }
}

QTEST_MAIN(tst_ReaderGlitches)
#include "tst_readerglitches.moc"
