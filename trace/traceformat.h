#pragma once

// A trace: one reader session as text, a line per event, made to be read by
// a person and compared with diff.
//
//   # dorvent trace 1
//   # started: 2026-12-11T04:30:12Z
//   # service: dorvent 0.1.0
//   # redacted: identity-card text, photo and fingerprint; ... (what and how)
//   request 1 beep {"_act":"beep","_tflag":"9"}
//   > +0.000412 32 02 08 00 02 00 B2 32 8A 00 00 00 ... 00
//   < +0.000377 32 02 02 00 00 00 02 00 00 00 00 00 ... 00
//   reply 1 0 {"_tflag":"9","code":0,...}
//
// "# key: value" lines are the header (and notes, anywhere: "# text").
// "request N ACT TEXT": the N-th request of the session, its action ("?" for
// a text without a string "_act") and its text as received. "reply N CODE
// TEXT": what was sent back to it, CODE "-" where the reply carries none (an
// echo). In both texts, bytes below 0x20, 0x7F and '%' are written %HH, so a
// text is always one line.
// "> " a SET_REPORT, "< " a GET_REPORT: the seconds since the previous report
// (or since the trace began), libusb's result (32, or its negative error) and
// the report's 32 bytes in hex. "xx" stands for a redacted byte; in the
// texts, a redacted value keeps its length, every character "*".

#include <QByteArray>
#include <QString>
#include <QVector>

#include <array>
#include <cstdint>

namespace dorvent::trace {

constexpr int kReportBytes = 32;
constexpr char kFirstLine[] = "# dorvent trace 1";
constexpr QChar kRedactedChar = QLatin1Char('*');

struct Report
{
    std::array<std::uint8_t, kReportBytes> bytes{};
    std::uint32_t redacted = 0; // bit i: byte i was redacted (its value is 0 here)

    bool isRedacted(int i) const { return redacted >> i & 1u; }
    // Equal where neither side was redacted.
    bool matches(const Report &other) const;
};

struct Event
{
    enum class Kind
    {
        Note,    // "# text", or "# key: value" (key and text then both set)
        Request, // number, act, text
        Reply,   // number, code (hasCode false for "-"), text
        Set,     // elapsedUs, result, report
        Get,
    };
    Kind kind = Kind::Note;
    int line = 0; // 1-based, when parsed

    QString key;
    QString text;
    int number = 0;
    QString act;
    bool hasCode = false;
    long code = 0;
    qint64 elapsedUs = 0;
    int result = kReportBytes;
    Report report;

    bool isExchange() const { return kind == Kind::Set || kind == Kind::Get; }
};

// One line, with its newline.
QByteArray formatEvent(const Event &event);
// A report's 32 bytes as "02 08 .. xx ..".
QByteArray formatReport(const Report &report);

struct Parsed
{
    bool ok = true;
    QVector<Event> events;
    QString error; // "LINE: reason"
};

// A whole trace. The first line must be kFirstLine.
Parsed parseTrace(const QByteArray &text);
Parsed readTraceFile(const QString &path);

// Whether a text matches a recorded one: equal, except that each
// kRedactedChar of the recorded text stands for any one character.
bool textMatches(const QString &text, const QString &recorded);

} // namespace dorvent::trace
