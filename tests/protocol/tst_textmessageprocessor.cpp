#include "echoserver.h"
#include "emulatedreader.h"
#include "testsupport.h"
#include "textmessageprocessor.h"

#include <QtTest>

using dorvent::emulator::EmulatedReader;
using testsupport::WsClient;

// The envelope and the dispatcher: field reading, the compact reply, and what
// becomes of requests no handler takes.
class tst_TextMessageProcessor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void createCardson_data();
    void createCardson();
    void createCardsonUsesTheRequestTag();
    void replyTextIsWhatQJsonDocumentWrites_data();
    void replyTextIsWhatQJsonDocumentWrites();

    void parseJson_data();
    void parseJson();
    void quickReadingIsTheGeneralOne_data();
    void quickReadingIsTheGeneralOne();

    void echoedRequests_data();
    void echoedRequests();
    void tagIsReadPerRequest();
    void fingerPrintActionsGetNoReply();
    void everyNameBeforeOpen_data();
    void everyNameBeforeOpen();

private:
    EchoServer *m_server = nullptr;
    WsClient *m_client = nullptr;
};

void tst_TextMessageProcessor::initTestCase()
{
    m_server = testsupport::startServer(this);
    QVERIFY(testsupport::portOf(m_server) != 0);
    m_client = new WsClient(testsupport::portOf(m_server), this);
    QVERIFY(m_client->isConnected());
}

void tst_TextMessageProcessor::cleanupTestCase()
{
    delete m_client;
    delete m_server;
}

void tst_TextMessageProcessor::createCardson_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<qlonglong>("code");
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("base64");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("not open") << "beep" << -1LL << QStringLiteral("端口未打开") << "" << ""
                              << QByteArray("{\"_tflag\":\"\",\"functionName\":\"beep\",\"msg\":\"端口未打开\",\"success\":-1}");
    QTest::newRow("all keys in code-unit order")
        << "version" << 0LL << "ok" << "V1.0" << "QUJD"
        << QByteArray("{\"Base64\":\"QUJD\",\"_tflag\":\"\",\"data\":\"V1.0\",\"functionName\":\"version\",\"msg\":\"ok\",\"success\":0}");
    QTest::newRow("base64 without data")
        << "x" << 0LL << "m" << "" << "AA=="
        << QByteArray("{\"Base64\":\"AA==\",\"_tflag\":\"\",\"functionName\":\"x\",\"msg\":\"m\",\"success\":0}");
    QTest::newRow("code narrowed to 32 bits")
        << "x" << 0x100000005LL << "m" << "" << ""
        << QByteArray("{\"_tflag\":\"\",\"functionName\":\"x\",\"msg\":\"m\",\"success\":5}");
    QTest::newRow("escapes only what JSON needs")
        << "a\"b" << -15LL << QStringLiteral("失败\n") << QStringLiteral("é\\") << ""
        << QByteArray("{\"_tflag\":\"\",\"data\":\"é\\\\\",\"functionName\":\"a\\\"b\",\"msg\":\"失败\\n\",\"success\":-15}");
}

void tst_TextMessageProcessor::createCardson()
{
    QFETCH(QString, function);
    QFETCH(qlonglong, code);
    QFETCH(QString, msg);
    QFETCH(QString, data);
    QFETCH(QString, base64);
    QFETCH(QByteArray, expected);

    CTextMessageProcessor processor;
    processor.Process(nullptr, QStringLiteral("{}")); // an empty tag
    QCOMPARE(processor.CreateCardson(function, long(code), msg, data, base64).toUtf8(), expected);
}

void tst_TextMessageProcessor::createCardsonUsesTheRequestTag()
{
    CTextMessageProcessor processor;
    processor.Process(nullptr, QStringLiteral("{'_act':'nothing','_tflag':'42'}"));
    QCOMPARE(processor.requestTag(), QStringLiteral("42"));
    QCOMPARE(processor.CreateCardson("a", 0, "m", "", ""),
             QStringLiteral("{\"_tflag\":\"42\",\"functionName\":\"a\",\"msg\":\"m\",\"success\":0}"));
}

void tst_TextMessageProcessor::replyTextIsWhatQJsonDocumentWrites_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("every control character, quote, backslash, DEL") << [] {
        QString all;
        for (ushort u = 0; u < 0x20; ++u)
            all += QChar(u);
        return all + QStringLiteral("\"\\/\x7f");
    }();
    QTest::newRow("Chinese and a character outside the BMP") << QStringLiteral("林晓雯 😀 ǅ");
    QTest::newRow("lone high surrogate, then text") << QString(QChar(0xD83D)) + QStringLiteral("x");
    QTest::newRow("lone high surrogate at the end") << QStringLiteral("x") + QChar(0xD800);
    QTest::newRow("lone low surrogate") << QString(QChar(0xDC00));
    QTest::newRow("two high surrogates, then a low") << QString(QChar(0xD800)) + QChar(0xD801) + QChar(0xDC37);
    QTest::newRow("non-characters and the replacement character") << QString(QChar(0xFFFE)) + QChar(0xFFFF) + QChar(0xFFFD);
    QTest::newRow("U+2028 and U+2029") << QString(QChar(0x2028)) + QChar(0x2029);
    QTest::newRow("long, with escapes") << QStringLiteral("a\"\\\n林").repeated(300) + QChar(0xD800);
}

// The standard reply skips QJsonObject for speed: it must stay byte for byte
// what QJsonDocument writes, whatever a request's tag or action holds.
void tst_TextMessageProcessor::replyTextIsWhatQJsonDocumentWrites()
{
    QFETCH(QString, text);
    for (const bool withOptional : {false, true}) {
        QJsonObject object{{QStringLiteral("functionName"), text}, {QStringLiteral("success"), -25538},
                           {QStringLiteral("msg"), text + QStringLiteral("!")}, {QStringLiteral("_tflag"), text}};
        if (withOptional) {
            object.insert(QStringLiteral("data"), QStringLiteral("d") + text);
            object.insert(QStringLiteral("Base64"), QStringLiteral("b") + text);
        }
        const QByteArray expected = QJsonDocument(object).toJson(QJsonDocument::Compact);
        const QString written = CTextMessageProcessor::standardReplyText(
            text, text, -25538, text + QStringLiteral("!"), withOptional ? QStringLiteral("d") + text : QString(),
            withOptional ? QStringLiteral("b") + text : QString());
        QCOMPARE(written.toUtf8(), expected);
    }
}

void tst_TextMessageProcessor::parseJson_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("string") << R"({"k":"abc"})" << "k" << "abc";
    QTest::newRow("non-ASCII string") << R"({"k":"读卡"})" << "k" << QStringLiteral("读卡");
    QTest::newRow("integer") << R"({"k":17})" << "k" << "17";
    QTest::newRow("fraction") << R"({"k":2.5})" << "k" << "2.5";
    QTest::newRow("negative") << R"({"k":-3})" << "k" << "-3";
    QTest::newRow("large") << R"({"k":1e21})" << "k" << "1e+21";
    QTest::newRow("small") << R"({"k":1e-7})" << "k" << "1e-07";
    QTest::newRow("true") << R"({"k":true})" << "k" << "true";
    QTest::newRow("false") << R"({"k":false})" << "k" << "false";
    QTest::newRow("null") << R"({"k":null})" << "k" << "";
    QTest::newRow("array") << R"({"k":[1,2]})" << "k" << "";
    QTest::newRow("object") << R"({"k":{"a":1}})" << "k" << "";
    QTest::newRow("missing key") << R"({"other":"x"})" << "k" << "";
    QTest::newRow("case-sensitive") << R"({"K":"x"})" << "k" << "";
    QTest::newRow("nested key not top level") << R"({"o":{"k":"x"}})" << "k" << "";
    QTest::newRow("invalid JSON") << R"({"k":"x")" << "k" << "";
    QTest::newRow("top level array") << R"([{"k":"x"}])" << "k" << "";
    QTest::newRow("top level scalar") << R"("k")" << "k" << "";
    QTest::newRow("empty text") << "" << "k" << "";
}

void tst_TextMessageProcessor::parseJson()
{
    QFETCH(QString, json);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(CTextMessageProcessor::ParseJson(json, key), expected);
}

void tst_TextMessageProcessor::quickReadingIsTheGeneralOne_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("quick"); // whether the quick reading takes it

    QString keys32 = QStringLiteral("{");
    for (int i = 0; i < 32; ++i)
        keys32 += QStringLiteral("\"k%1\":\"%1\",").arg(i);
    const QString keys33 = keys32 + QStringLiteral("\"k32\":\"32\"}");
    keys32.back() = QLatin1Char('}');

    QTest::newRow("beep") << R"({"_act":"beep"})" << true;
    QTest::newRow("apostrophes") << "{'_act':'open','_tflag':'7'}" << true;
    QTest::newRow("space everywhere") << " \t{ \"_act\" :\n\"x\" ,\r\"type\": \"4442\" } \n" << true;
    QTest::newRow("empty object") << "{}" << true;
    QTest::newRow("empty object, spaced") << "{ \n}" << true;
    QTest::newRow("empty key and value") << R"({"":""})" << true;
    QTest::newRow("words") << R"({"a":true,"b":false,"c":null})" << true;
    QTest::newRow("repeated key: the last") << R"({"_act":"open","type":"1","_act":"beep"})" << true;
    QTest::newRow("repeated key, null last") << R"({"a":"x","a":null})" << true;
    QTest::newRow("JSON's punctuation in a value") << R"({"k":"{[:,]} ~"})" << true;
    QTest::newRow("32 keys") << keys32 << true;

    QTest::newRow("33 keys") << keys33 << false;
    QTest::newRow("integer") << R"({"addr":4})" << false;
    QTest::newRow("negative zero") << R"({"a":-0})" << false;
    QTest::newRow("exponent") << R"({"a":1e21})" << false;
    QTest::newRow("unicode escape") << R"({"a":"\u0041"})" << false;
    QTest::newRow("escaped quote") << R"({"a":"x\"y"})" << false;
    QTest::newRow("escaped key") << R"({"_\u0061ct":"beep"})" << false;
    QTest::newRow("non-ASCII") << R"({"a":"读卡"})" << false;
    QTest::newRow("tab in a value") << "{\"a\":\"\t\"}" << false;
    QTest::newRow("DEL in a value") << "{\"a\":\"\x7f\"}" << false;
    QTest::newRow("lone surrogate") << QStringLiteral("{\"a\":\"") + QChar(0xD800) + QStringLiteral("\"}") << false;
    QTest::newRow("array value") << R"({"a":[1]})" << false;
    QTest::newRow("object value") << R"({"a":{"_act":"x"}})" << false;
    QTest::newRow("trailing comma") << R"({"a":"x",})" << false;
    QTest::newRow("no colon") << R"({"a" "x"})" << false;
    QTest::newRow("no closing brace") << R"({"a":"x")" << false;
    QTest::newRow("brace twice") << R"({"a":"x"}})" << false;
    QTest::newRow("text after") << R"({"a":"x"} x)" << false;
    QTest::newRow("unterminated string") << R"({"a":"x)" << false;
    QTest::newRow("cut word") << R"({"a":tru})" << false;
    QTest::newRow("longer word") << R"({"a":truex})" << false;
    QTest::newRow("word in capitals") << R"({"a":NULL})" << false;
    QTest::newRow("bare key") << R"({a:"x"})" << false;
    QTest::newRow("comma only") << "{,}" << false;
    QTest::newRow("apostrophe in a value") << "{'_act':'open','x':'it's'}" << false;
    QTest::newRow("top level array") << R"([{"_act":"x"}])" << false;
    QTest::newRow("spaces only") << "  " << false;
    QTest::newRow("empty text") << "" << false;
}

// Both readings give every key the same text, null or not; read() answers
// as Qt's parser would for any key.
void tst_TextMessageProcessor::quickReadingIsTheGeneralOne()
{
    using dorvent::protocol::Request;
    QFETCH(QString, json);
    QFETCH(bool, quick);

    const QString normalised = QString(json).replace(QLatin1Char('\''), QLatin1Char('"'));
    const auto asMap = [](const Request::Fields &fields) {
        QMap<QString, QPair<QString, bool>> map;
        for (const Request::Field &field : fields)
            map.insert(field.key, {field.value, field.value.isNull()});
        return map;
    };
    Request::Fields read;
    QCOMPARE(Request::readFlat(normalised, read), quick);
    const Request::Fields general = Request::readGeneral(normalised);
    if (quick)
        QCOMPARE(asMap(read), asMap(general));

    const QJsonObject object = Request::parseObject(normalised);
    const Request request = Request::read(json);
    QCOMPARE(request.text, normalised);
    QStringList keys = object.keys();
    keys << QStringLiteral("_act") << QStringLiteral("type") << QStringLiteral("_tflag") << QStringLiteral("none");
    for (const QString &key : qAsConst(keys)) {
        const QString expected = Request::valueText(object.value(key));
        const QString got = request.field(key.toLatin1().constData());
        QCOMPARE(got, expected);
        QCOMPARE(got.isNull(), expected.isNull());
    }
    QCOMPARE(request.act, request.field("_act"));
    QCOMPARE(request.type, request.field("type"));
    QCOMPARE(request.tag, request.field("_tflag"));
}

void tst_TextMessageProcessor::echoedRequests_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("echo");

    QTest::newRow("unknown action, quotes normalised") << "{'_act':'hello'}" << R"({"_act":"hello"})";
    QTest::newRow("empty action") << R"({"_act":""})" << R"({"_act":""})";
    QTest::newRow("no action") << R"({"_tflag":"1"})" << R"({"_tflag":"1"})";
    QTest::newRow("action key in capitals") << R"({"_ACT":"beep"})" << R"({"_ACT":"beep"})";
    QTest::newRow("action name in capitals") << R"({"_act":"Open"})" << R"({"_act":"Open"})";
    QTest::newRow("invalid JSON") << "{not json" << "{not json";
    QTest::newRow("apostrophe in a value breaks the JSON") << R"({"_act":"open","x":"it's"})"
                                                           << R"({"_act":"open","x":"it"s"})";
    QTest::newRow("top level array") << R"(["open"])" << R"(["open"])";
    QTest::newRow("scalar") << "42" << "42";
}

void tst_TextMessageProcessor::echoedRequests()
{
    QFETCH(QString, request);
    QFETCH(QString, echo);
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    QCOMPARE(m_client->request(request), echo);
}

void tst_TextMessageProcessor::tagIsReadPerRequest()
{
    CTextMessageProcessor processor;
    processor.Process(nullptr, QStringLiteral(R"({"_act":"x","_tflag":12})"));
    QCOMPARE(processor.requestTag(), QStringLiteral("12"));
    processor.Process(nullptr, QStringLiteral(R"({"_act":"x","_tflag":"abc"})"));
    QCOMPARE(processor.requestTag(), QStringLiteral("abc"));
    processor.Process(nullptr, QStringLiteral(R"({"_act":"x"})"));
    QCOMPARE(processor.requestTag(), QString());
    processor.Process(nullptr, QStringLiteral(R"({"_act":"x","_TFLAG":"9"})"));
    QCOMPARE(processor.requestTag(), QString());
}

void tst_TextMessageProcessor::fingerPrintActionsGetNoReply()
{
    const QStringList replies = m_client->sendAndCollect(QStringLiteral(R"({"_act":"ctnFingerPrint"})"), 200)
                              + m_client->sendAndCollect(QStringLiteral(R"({"_act":"collectFingerPrint"})"), 200);
    QVERIFY2(replies.isEmpty(), qPrintable(replies.join('\n')));
    // The connection still serves.
    QTest::ignoreMessage(QtWarningMsg, "pClient");
    QCOMPARE(m_client->request(QStringLiteral(R"({"_act":"ping"})")), QStringLiteral(R"({"_act":"ping"})"));
}

void tst_TextMessageProcessor::everyNameBeforeOpen_data()
{
    // "open" is left out: it would open the reader. The two fingerprint
    // names answer nothing (fingerPrintActionsGetNoReply).
    static const char *const kNames[] = {
        "beep", "close", "version",
        "cardClodPowerOn", "cardHotPowerOn", "cardPowerOff", "cardRun",
        "mcardPowerOn", "mcardPowerOff", "mcardRun", "closeAnt", "openAnt",
        "readIDCardUID", "readIDCard", "readIDCardEX",
        "card15693Find", "card15693Read", "card15693Write", "card15693WriteAFI", "card15693LockAFI",
        "card15693WriteDSFID", "card15693LockDSFID", "card15693Lock", "card15693Info",
        "readBankNO", "readSci",
        "card44PowerOn", "card44PowerOff", "card44Read", "card44Write", "card44AuthPIN",
        "card44EditPIN", "card44AuthNum", "card44ReadePro", "card44WritePro",
        "cardm1Find", "cardm1Auth", "cardm1Read", "cardm1Write", "cardm1NumInit", "cardm1NumAdd",
        "cardm1NumDe", "cardm1NumRead",
        "scardSet", "scardGet", "scardRead",
    };
    QTest::addColumn<int>("unused");
    for (const char *name : kNames)
        QTest::newRow(name) << 0;
}

// With the reader closed, an action answers the not-open reply under its own
// name and tag and leaves the reader alone.
void tst_TextMessageProcessor::everyNameBeforeOpen()
{
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QString request =
        QStringLiteral(R"({"_act":"%1","slotNo":"1","apdu":"0084000004","_tflag":"t"})").arg(name);
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    QCOMPARE(m_client->request(request),
             testsupport::replyText(name, -1, QStringLiteral("端口未打开"), QString(), "t"));
    QVERIFY(reader.transfers().empty());
    QVERIFY(!reader.interfaceClaimed());
}

QTEST_MAIN(tst_TextMessageProcessor)
#include "tst_textmessageprocessor.moc"
