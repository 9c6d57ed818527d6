#include "tracerecorder.h"

#include "frame.h"
#include "ownfile.h"
#include "request.h"
#include "textmessageprocessor.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvent::trace {

namespace {

constexpr std::uint8_t kM1Authenticate = 0x44;
constexpr std::uint8_t kContactApdu = 0x72;
constexpr std::uint8_t kContactlessApdu = 0x86;
constexpr std::uint8_t kIdCardRead = 0xB4;
constexpr std::uint8_t kIdCardReadExtended = 0xB5;
constexpr std::uint8_t kSwipeRead = 0x30;
constexpr std::uint8_t kCodeCommands[] = {0x54, 0x55, 0x64, 0x65}; // 4442/4428 verify and change
constexpr int kCommandOffset = 5;
constexpr int kParamsOffset = 6;
constexpr int kM1KeyOffset = 8; // after key type and sector
constexpr int kM1KeySize = 6;
constexpr int kApduKeptEnd = 13; // 72/86 slot-or-00, 00, then CLA INS P1 P2 Lc
constexpr int kStatusWord = 2;
constexpr int kContactlessAnswerOffset = 7; // after 00 and the block byte
constexpr int kApduKeptDigits = 10;
constexpr int kDataKeptDigits = 4;
constexpr int kMaxNameAttempts = 100;

const char kRedactedNote[] =
    "identity-card records, photos and fingerprints (reply payloads of B4 and B5); stripe tracks "
    "(reply payload of 30); M1 keys (44); 4442/4428 codes (54 55 64 65); APDU data after CLA INS P1 P2 "
    "Lc and answers but their status word (72 86); the checksum of each frame with any of these; "
    "in the texts: key, apdu after 10 characters, the holder values of readIDCard, readIDCardEX, "
    "readSci and readBankNO, data of cardRun and mcardRun but its last 4 characters, data of "
    "scardRead. A redacted byte reads xx, a redacted text character *, lengths kept";

// The replies whose values but these keys are the holder's.
const char *const kHolderReplies[] = {"readIDCard", "readIDCardEX", "readSci", "readBankNO"};
const char *const kStandardKeys[] = {"functionName", "msg", "_tflag", "success", "code"};

bool listed(const QString &name, const char *const *names, std::size_t count)
{
    return std::any_of(names, names + count, [&](const char *n) { return name == QLatin1String(n); });
}

// The text of a JSON string literal's content (keys are compared decoded,
// so that an escaped "key" is found too).
QString decoded(const QString &text, int begin, int end)
{
    QString out;
    for (int i = begin; i < end; ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= end) {
            out += c;
            continue;
        }
        const QChar e = text.at(++i);
        if (e == QLatin1Char('u') && i + 4 < end) {
            bool ok = false;
            const ushort unit = text.mid(i + 1, 4).toUShort(&ok, 16);
            out += ok ? QChar(unit) : e;
            if (ok)
                i += 4;
        } else {
            out += e; // the short escapes never occur in the key names looked for
        }
    }
    return out;
}

// Calls mask(topKey, begin, end) for every string value in a JSON text (not
// for keys): its content between the quotes, and the top-level key it falls
// under. Lexical, without recursion: a text the service itself accepted or
// wrote needs no more, and any nesting depth is safe.
template <typename Mask>
void forEachStringValue(const QString &text, Mask mask)
{
    QVector<bool> objects; // the open containers, true for an object
    bool expectKey = false;
    QString topKey;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
            objects.append(c == QLatin1Char('{'));
            expectKey = objects.last();
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
            if (!objects.isEmpty())
                objects.removeLast();
            expectKey = false;
        } else if (c == QLatin1Char(',')) {
            expectKey = !objects.isEmpty() && objects.last();
        } else if (c == QLatin1Char('"')) {
            const int begin = i + 1;
            int end = begin;
            while (end < text.size() && text.at(end) != QLatin1Char('"'))
                end += text.at(end) == QLatin1Char('\\') ? 2 : 1;
            end = std::min(end, int(text.size()));
            if (expectKey) {
                if (objects.size() == 1)
                    topKey = decoded(text, begin, end);
                expectKey = false;
            } else {
                mask(topKey, begin, end);
            }
            i = end;
        }
    }
}

void star(QString &text, int begin, int end)
{
    for (int i = begin; i < end; ++i)
        text[i] = kRedactedChar;
}

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

std::uint32_t ReportRedactor::next(bool set, const std::uint8_t *report, int result)
{
    if (result < 0) {
        // The driver gives up on the frame: whatever comes next starts one.
        m_direction = Direction::None;
        m_ended = true;
        return 0;
    }
    const Direction direction = set ? Direction::Set : Direction::Get;
    if (m_ended || direction != m_direction)
        startFrame(set, report);
    std::uint32_t mask = 0;
    for (int i = 0; i < kReportBytes; ++i) {
        // A later report: its marker, then the next 31 frame bytes.
        const int offset = m_reports == 0 ? i
                           : i == 0       ? -1
                                          : kReportBytes + (m_reports - 1) * luvaro::kContinuationData + i - 1;
        if (offset >= 0 && ((offset >= m_from && offset < m_to) || offset == m_checksum))
            mask |= 1u << i;
    }
    ++m_reports;
    m_ended = report[0] == luvaro::kMarkerLast;
    return mask;
}

void ReportRedactor::startFrame(bool set, const std::uint8_t *report)
{
    m_direction = set ? Direction::Set : Direction::Get;
    m_reports = 0;
    m_from = m_to = 0;
    m_checksum = -1;
    const int end = luvaro::kHeaderSize + (report[3] | report[4] << 8); // the checksum's offset
    if (set) {
        m_command = report[kCommandOffset];
        if (m_command == kM1Authenticate) {
            m_from = kM1KeyOffset;
            m_to = kM1KeyOffset + kM1KeySize;
        } else if (std::find(std::begin(kCodeCommands), std::end(kCodeCommands), m_command)
                   != std::end(kCodeCommands)) {
            m_from = kParamsOffset;
            m_to = end;
        } else if (m_command == kContactApdu
                   || (m_command == kContactlessApdu && report[kParamsOffset] == 0x00)) {
            m_from = kApduKeptEnd;
            m_to = end;
        }
    } else if (report[luvaro::kStatusOffset] != luvaro::kStatusBusy) {
        if (m_command == kContactApdu) {
            m_from = luvaro::kHeaderSize;
            m_to = end - kStatusWord;
        } else if (m_command == kContactlessApdu) {
            m_from = kContactlessAnswerOffset;
            m_to = end - kStatusWord;
        } else if (m_command == kIdCardRead || m_command == kIdCardReadExtended || m_command == kSwipeRead) {
            m_from = luvaro::kHeaderSize;
            m_to = end;
        }
    }
    m_to = std::min(m_to, end);
    if (m_from < m_to)
        m_checksum = end;
    else
        m_from = m_to = 0;
}

QString redactedRequestText(const QString &text)
{
    QString out = text;
    forEachStringValue(text, [&](const QString &key, int begin, int end) {
        if (key == QLatin1String("key"))
            star(out, begin, end);
        else if (key == QLatin1String("apdu"))
            star(out, std::min(begin + kApduKeptDigits, end), end);
    });
    return out;
}

QString redactedReplyText(const QString &act, const QString &text)
{
    QString out = text;
    const bool holder = listed(act, kHolderReplies, std::size(kHolderReplies));
    const bool answer = act == QLatin1String("cardRun") || act == QLatin1String("mcardRun");
    const bool swipe = act == QLatin1String("scardRead");
    if (!holder && !answer && !swipe)
        return out;
    forEachStringValue(text, [&](const QString &key, int begin, int end) {
        if (holder && !listed(key, kStandardKeys, std::size(kStandardKeys)))
            star(out, begin, end);
        else if (answer && key == QLatin1String("data"))
            star(out, begin, std::max(begin, end - kDataKeptDigits));
        else if (swipe && key == QLatin1String("data"))
            star(out, begin, end);
    });
    return out;
}

std::unique_ptr<TraceRecorder> TraceRecorder::start(const Options &options, QString *error)
{
    const QByteArray directory = QFile::encodeName(options.directory);
    // Only our own directory is made, and for us alone; a parent must exist.
    if (options.createDirectory && ::mkdir(directory.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("%1 cannot be made: %2").arg(options.directory, systemError(errno));
        return nullptr;
    }
    const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        *error = QStringLiteral("%1: %2").arg(options.directory, systemError(errno));
        return nullptr;
    }
    struct stat st{};
    if (::fstat(dirFd, &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        ::close(dirFd);
        *error = QStringLiteral("%1 is writable by other users: traces hold personal data").arg(options.directory);
        return nullptr;
    }
    const QString stem = QStringLiteral("dorvent-%1-%2")
                             .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                             .arg(::getpid());
    // Never someone else's file, nor a link planted where ours goes.
    int fd = -1;
    QString name;
    for (int attempt = 1; fd < 0 && attempt <= kMaxNameAttempts; ++attempt) {
        name = stem + (attempt == 1 ? QString() : QStringLiteral("-%1").arg(attempt)) + QStringLiteral(".trace");
        fd = ::openat(dirFd, QFile::encodeName(name).constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const int openError = errno;
    ::close(dirFd);
    if (fd < 0) {
        *error = QStringLiteral("%1/%2 cannot be made: %3").arg(options.directory, name, systemError(openError));
        return nullptr;
    }
    ::fchmod(fd, 0600); // whatever the umask left
    std::unique_ptr<TraceRecorder> recorder(
        new TraceRecorder(fd, options.directory + QLatin1Char('/') + name, options.everything));
    QByteArray header = QByteArray(kFirstLine) + '\n';
    const auto note = [&](const char *key, const QString &text) {
        Event event;
        event.key = QLatin1String(key);
        event.text = text;
        header += formatEvent(event);
    };
    note("started", utcNow());
    note("service", QStringLiteral("dorvent " DORVENT_VERSION));
    note("recording", options.everything ? QStringLiteral("everything") : QStringLiteral("redacted"));
    if (!options.everything)
        note("redacted", QLatin1String(kRedactedNote));
    if (!recorder->writeBytes(header)) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(recorder->m_path, systemError(errno));
        return nullptr;
    }
    luvaroCard::setTransferObserver(recorder.get());
    return recorder;
}

TraceRecorder::TraceRecorder(int fd, QString path, bool everything)
    : m_fd(fd), m_path(std::move(path)), m_everything(everything)
{
    setByteLimit(kMaxBytes);
    m_clock.start();
}

void TraceRecorder::setByteLimit(qint64 bytes)
{
    m_limit = bytes;
    constexpr qint64 kMiB = 1024 * 1024;
    m_stopNote = "# recording stopped: the file reached "
                 + (bytes % kMiB == 0 ? QByteArray::number(bytes / kMiB) + " MiB" : QByteArray::number(bytes) + " bytes")
                 + '\n';
}

TraceRecorder::~TraceRecorder()
{
    Event ended;
    ended.key = QStringLiteral("ended");
    ended.text = utcNow();
    finish(formatEvent(ended));
}

void TraceRecorder::follow(CTextMessageProcessor *processor)
{
    if (m_processor)
        disconnect(m_processor, nullptr, this, nullptr);
    m_processor = processor;
    connect(processor, &CTextMessageProcessor::requestStarted, this, &TraceRecorder::onRequestStarted);
    connect(processor, &CTextMessageProcessor::requestDone, this, &TraceRecorder::onRequestDone);
}

void TraceRecorder::transferred(bool set, const unsigned char *report, int result)
{
    if (m_fd < 0)
        return;
    Event event;
    event.kind = set ? Event::Kind::Set : Event::Kind::Get;
    const qint64 now = m_clock.nsecsElapsed();
    event.elapsedUs = (now - m_lastReportNs) / 1000;
    m_lastReportNs = now;
    event.result = result;
    std::copy(report, report + kReportBytes, event.report.bytes.begin());
    if (!m_everything) {
        event.report.redacted = m_redactor.next(set, report, result);
        for (int i = 0; i < kReportBytes; ++i)
            if (event.report.isRedacted(i))
                event.report.bytes[i] = 0;
    }
    write(event);
}

void TraceRecorder::onRequestStarted(QWebSocket *client, const protocol::Request &request)
{
    // Requests before this one have been answered, or never will be, except
    // the one that waits holding the reader.
    QVector<OpenRequest> held;
    if (m_processor && m_processor->isReaderHeld()) {
        for (int i = m_open.size() - 1; i >= 0; --i) {
            if (m_open.at(i).client == m_processor->readerHolderClient()) {
                held.append(m_open.at(i));
                break;
            }
        }
    }
    m_open = held;
    m_open.append({++m_requests, client, request.act});
    Event event;
    event.kind = Event::Kind::Request;
    event.number = m_requests;
    event.act = request.act;
    event.text = m_everything ? request.text : redactedRequestText(request.text);
    write(event);
}

void TraceRecorder::onRequestDone(QWebSocket *client, const protocol::Outcome &outcome)
{
    int found = -1;
    for (int i = m_open.size() - 1; i >= 0 && found < 0; --i)
        if (m_open.at(i).client == client)
            found = i;
    if (found < 0)
        return; // begun before this file
    const OpenRequest request = m_open.takeAt(found);
    Event event;
    event.kind = Event::Kind::Reply;
    event.number = request.number;
    event.hasCode = outcome.replied;
    event.code = outcome.code;
    // No text: the handler returned without a reply ("reply N - ").
    if (outcome.reply) {
        const QString act = outcome.act ? QString::fromLatin1(outcome.act) : request.act;
        event.text = m_everything     ? *outcome.reply
                     : outcome.replied ? redactedReplyText(act, *outcome.reply)
                                       : redactedRequestText(*outcome.reply); // an echo of the request
    }
    write(event);
}

void TraceRecorder::write(const Event &event)
{
    if (m_fd < 0)
        return;
    const QByteArray line = formatEvent(event);
    // Room is kept for the note that says why the file ends.
    if (m_written + line.size() + m_stopNote.size() > m_limit) {
        finish(m_stopNote);
        return;
    }
    if (!writeBytes(line)) {
        qWarning("trace %s: recording stopped: %s", qUtf8Printable(m_path), qUtf8Printable(systemError(errno)));
        finish(QByteArray());
    }
}

bool TraceRecorder::writeBytes(const QByteArray &bytes)
{
    if (!ownfile::writeAll(m_fd, bytes.constData(), std::size_t(bytes.size())))
        return false;
    m_written += bytes.size();
    return true;
}

void TraceRecorder::finish(const QByteArray &lastLine)
{
    // Another recorder's observer stays.
    TransferObserver *const current = luvaroCard::setTransferObserver(nullptr);
    if (current != this)
        luvaroCard::setTransferObserver(current);
    if (m_fd < 0)
        return;
    if (!lastLine.isEmpty())
        writeBytes(lastLine);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace dorvent::trace
