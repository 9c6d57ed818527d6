// What a redacted trace hides: the bytes of reports as frames cross them,
// and the values of request and reply texts.
#include "tracerecorder.h"

#include <QtTest>

using namespace dorvent::trace;

namespace {

QByteArray hexBytes(const QString &digits)
{
    return QByteArray::fromHex(digits.toLatin1());
}

// "*N": N bytes of a pattern; anything else hex digits.
QByteArray payloadOf(const QString &text)
{
    if (!text.startsWith(QLatin1Char('*')))
        return hexBytes(text);
    QByteArray bytes;
    for (int i = 0; i < text.mid(1).toInt(); ++i)
        bytes += char(0x30 + i % 64);
    return bytes;
}

QByteArray withChecksum(QByteArray frame)
{
    char sum = 0;
    for (int i = 1; i < frame.size(); ++i)
        sum ^= frame.at(i);
    return frame + sum;
}

// 02 08 00 L command params checksum, or 02 02 status L payload checksum.
QByteArray frameOf(bool request, const QByteArray &body, char status)
{
    const int length = body.size();
    QByteArray frame;
    frame += char(0x02);
    frame += request ? char(0x08) : char(0x02);
    frame += request ? char(0x00) : status;
    frame += char(length & 0xFF);
    frame += char(length >> 8);
    return withChecksum(frame + body);
}

// Reports as the transport splits frames: a marker, 0x82 while more follow.
QVector<QByteArray> reportsOf(const QByteArray &frame)
{
    QVector<QByteArray> reports;
    int sent = 0;
    while (sent < frame.size()) {
        const int take = reports.isEmpty() ? 32 : 31;
        QByteArray report = reports.isEmpty() ? frame.left(32) : char(0) + frame.mid(sent, 31);
        sent += take;
        report[0] = char(sent < frame.size() ? 0x82 : 0x02);
        reports << report.leftJustified(32, '\0');
    }
    return reports;
}

// The frame offsets redacted, as "a-b,c" (ranges inclusive).
QString rangesOf(const QVector<int> &offsets)
{
    QStringList parts;
    for (int i = 0; i < offsets.size();) {
        int j = i;
        while (j + 1 < offsets.size() && offsets.at(j + 1) == offsets.at(j) + 1)
            ++j;
        parts << (i == j ? QString::number(offsets.at(i))
                         : QStringLiteral("%1-%2").arg(offsets.at(i)).arg(offsets.at(j)));
        i = j + 1;
    }
    return parts.join(QLatin1Char(','));
}

} // namespace

class tst_TraceRedaction : public QObject
{
    Q_OBJECT
private slots:
    void reports_data();
    void reports();
    void failedFetchStartsAfresh();
    void texts_data();
    void texts();
};

void tst_TraceRedaction::reports_data()
{
    // Steps: "> CMD PARAMS" a request frame, "< STATUS PAYLOAD" a reply frame
    // (payload "*N": N bytes). Per step, the frame offsets that must be xx.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("redacted");

    QTest::newRow("card-finding steps and the chip UID are kept")
        << QStringList{"> B0", "< 00 0000000000000000", "> B1", "< 00 90000000", "> 12", "< 00 *10"}
        << QStringList{"", "", "", "", "", ""};
    QTest::newRow("identity-card read: the whole payload over many reports, and its checksum")
        << QStringList{"> B4", "< 00 *1295"} << QStringList{"", "5-1300"};
    QTest::newRow("busy answers are kept, the extended read's reply is not")
        << QStringList{"> B5", "< 16", "< 16", "< 00 *40"} << QStringList{"", "", "", "5-45"};
    QTest::newRow("swipe tracks") << QStringList{"> 30 0005", "< 00 *60"} << QStringList{"", "5-65"};
    QTest::newRow("M1 authentication: the key, not key type or sector")
        << QStringList{"> 44 6004 A0A1A2A3A4A5", "< 00"} << QStringList{"8-14", ""};
    QTest::newRow("4442 verify and 4428 change: every parameter")
        << QStringList{"> 54 5CA739", "< 00 03", "> 65 1234", "< 00"} << QStringList{"6-9", "", "6-8", ""};
    QTest::newRow("contact APDU spanning reports: data and answer, not header and status word")
        << QStringList{"> 72 0100 00D6000028" + QString(80, QLatin1Char('7')), "< 00 *40 9000"}
        << QStringList{"13-53", "5-44,47"};
    QTest::newRow("contactless APDU with a waiting-time extension")
        << QStringList{"> 86 0000 0084000008", "< 00 00F201", "> 86 01F201", "< 00 0002A1B2C3D49000"}
        << QStringList{"", "", "", "7-10,13"};
    QTest::newRow("contactless APDU with data") << QStringList{"> 86 0000 00A4040006D15600000100"}
                                                << QStringList{"13-19"};
    QTest::newRow("a reply to another command after an APDU is kept")
        << QStringList{"> 72 0100 0084000004", "< 00 A1B2C3D49000", "> B2 32", "< 00"}
        << QStringList{"", "5-8,11", "", ""};
}

void tst_TraceRedaction::reports()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, redacted);
    ReportRedactor redactor;
    QStringList got;
    for (const QString &step : steps) {
        const bool request = step.startsWith(QLatin1Char('>'));
        const QStringList words = step.mid(2).split(QLatin1Char(' '));
        QByteArray body;
        for (int i = request ? 0 : 1; i < words.size(); ++i)
            body += payloadOf(words.at(i));
        const QByteArray frame = frameOf(request, body, request ? 0 : char(hexBytes(words.first()).at(0)));
        const QVector<QByteArray> reports = reportsOf(frame);
        QVector<int> offsets;
        for (int k = 0; k < reports.size(); ++k) {
            const std::uint32_t mask =
                redactor.next(request, reinterpret_cast<const std::uint8_t *>(reports.at(k).constData()), 32);
            for (int i = 0; i < 32; ++i) {
                if (!(mask >> i & 1u))
                    continue;
                const int offset = k == 0 ? i : i == 0 ? -1 : 32 + (k - 1) * 31 + i - 1;
                QVERIFY2(offset >= 0 && offset < frame.size(),
                         qPrintable(QStringLiteral("%1: report %2 byte %3 is no frame byte").arg(step).arg(k).arg(i)));
                offsets << offset;
            }
        }
        got << rangesOf(offsets);
    }
    QCOMPARE(got, redacted);
}

// A fetch that failed carries zeros: the next report starts a frame of its own.
void tst_TraceRedaction::failedFetchStartsAfresh()
{
    ReportRedactor redactor;
    const QByteArray request = frameOf(true, hexBytes("B4"), 0).leftJustified(32, '\0');
    const QByteArray zeros(32, '\0');
    const QByteArray reply = reportsOf(frameOf(false, payloadOf("*20"), 0)).first();
    const auto next = [&](bool set, const QByteArray &r, int result) {
        return redactor.next(set, reinterpret_cast<const std::uint8_t *>(r.constData()), result);
    };
    QCOMPARE(next(true, request, 32), 0u);
    QCOMPARE(next(false, zeros, -7), 0u);
    // Payload 5..24 and the checksum at 25.
    QCOMPARE(next(false, reply, 32), ((1u << 26) - 1) & ~((1u << 5) - 1));
}

void tst_TraceRedaction::texts_data()
{
    QTest::addColumn<QString>("act"); // empty: a request text
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("redacted");

    QTest::newRow("M1 key") << QString() << R"({"_act":"cardm1Auth","addr":"4","key":"A0A1A2A3A4A5","keyType":"A"})"
                            << R"({"_act":"cardm1Auth","addr":"4","key":"************","keyType":"A"})";
    QTest::newRow("an escaped key name, spaces kept")
        << QString() << R"({ "_act" : "card44EditPIN", "k\u0065y" : "123456" })"
        << R"({ "_act" : "card44EditPIN", "k\u0065y" : "******" })";
    QTest::newRow("APDU after its header") << QString() << R"({"_act":"cardRun","apdu":"00A4040006D15600000100","slotNo":"1"})"
                                           << R"({"_act":"cardRun","apdu":"00A4040006************","slotNo":"1"})";
    QTest::newRow("a nested key is still the top-level key's")
        << QString() << R"({"key":["AB",{"x":"CD"}],"type":"4442"})" << R"({"key":["**",{"x":"**"}],"type":"4442"})";
    QTest::newRow("not JSON") << QString() << "key A0A1" << "key A0A1";
    QTest::newRow("identity card: every value but the standard ones")
        << "readIDCard"
        << R"({"_tflag":"t","address":"浙江\"省","functionName":"readIDCard","msg":"成功","name":"林晓雯","success":0})"
        << R"({"_tflag":"t","address":"*****","functionName":"readIDCard","msg":"成功","name":"***","success":0})";
    QTest::newRow("bank number") << "readBankNO" << R"({"_tflag":"","data":"6222020200112233445","success":0})"
                                 << R"({"_tflag":"","data":"*******************","success":0})";
    QTest::newRow("APDU answer but its status word")
        << "cardRun" << R"({"data":"A1B2C3D49000","functionName":"cardRun"})"
        << R"({"data":"********9000","functionName":"cardRun"})";
    QTest::newRow("swipe") << "scardRead" << R"({"data":";6222=2512?","success":0})" << R"({"data":"***********","success":0})";
    QTest::newRow("identity-card UID is kept") << "readIDCardUID" << R"({"data":"0102030405060708","success":0})"
                                               << R"({"data":"0102030405060708","success":0})";
    QTest::newRow("M1 read is kept") << "cardm1Read" << R"({"data":"00112233","success":0})"
                                     << R"({"data":"00112233","success":0})";
}

void tst_TraceRedaction::texts()
{
    QFETCH(QString, act);
    QFETCH(QString, text);
    QFETCH(QString, redacted);
    const QString got = act.isEmpty() ? redactedRequestText(text) : redactedReplyText(act, text);
    QCOMPARE(got, redacted);
    QVERIFY(textMatches(text, got));
}

QTEST_APPLESS_MAIN(tst_TraceRedaction)
#include "tst_traceredaction.moc"
