#include "reports.h"

#include "emulatedreader.h"
#include "luvarocard.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::kReportSize;
using dorvent::emulator::Transfer;

namespace {

constexpr char kMarkerLast = 0x02;
constexpr char kMarkerMore = char(0x82);
constexpr int kContinuation = int(kReportSize) - 1;

QByteArray bytesOfTransfer(const Transfer &t)
{
    return QByteArray(reinterpret_cast<const char *>(t.data.data()), int(kReportSize));
}

// Request frames on the log, each with the number of fetches that followed it.
struct LoggedRequest
{
    QByteArray frame;
    int fetches = 0;
};

QList<LoggedRequest> loggedRequests()
{
    QList<LoggedRequest> out;
    bool continuing = false;
    for (const Transfer &t : EmulatedReader::instance().transfers()) {
        if (t.isGetReport()) {
            if (!out.isEmpty())
                ++out.last().fetches;
            continue;
        }
        if (!t.isSetReport())
            continue;
        const QByteArray r = bytesOfTransfer(t);
        if (continuing)
            out.last().frame.append(r.mid(1));
        else
            out.append({r, 0});
        continuing = r[0] == kMarkerMore;
    }
    return out;
}

} // namespace

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

Report report(const QByteArray &bytes)
{
    Report r{};
    std::memcpy(r.data(), bytes.constData(), std::min<std::size_t>(bytes.size(), kReportSize));
    return r;
}

Report report(std::initializer_list<int> bytes)
{
    QByteArray b;
    for (int value : bytes)
        b.append(char(value));
    return report(b);
}

Report reportOf(const char *digits)
{
    return report(hex(digits));
}

QByteArray bytesOf(const Report &r, int n)
{
    return QByteArray(reinterpret_cast<const char *>(r.data()), n);
}

QByteArray zeroPadded(const QByteArray &bytes)
{
    return bytes + QByteArray(std::max(0, int(kReportSize) - bytes.size()), '\0');
}

QByteArray spacedHex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

std::vector<Report> splitFrame(const QByteArray &frame)
{
    std::vector<Report> reports{report(frame)};
    reports[0][0] = frame.size() > int(kReportSize) ? kMarkerMore : kMarkerLast;
    for (int at = kReportSize; at < frame.size(); at += kContinuation) {
        const int left = frame.size() - at;
        const QByteArray chunk = QByteArray(1, left > kContinuation ? kMarkerMore : kMarkerLast)
                                 + frame.mid(at, kContinuation);
        reports.push_back(report(chunk));
    }
    return reports;
}

std::vector<Report> replyReports(std::uint8_t status, const std::vector<std::uint8_t> &bytes)
{
    const QByteArray payload(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    QByteArray frame;
    frame.append(kMarkerLast).append(char(0x02)).append(char(status));
    frame.append(char(payload.size() & 0xFF)).append(char(payload.size() >> 8 & 0xFF));
    frame.append(payload);
    char sum = 0;
    for (int i = 1; i < frame.size(); ++i)
        sum ^= frame[i];
    return splitFrame(frame + sum);
}

QList<QByteArray> sentReports()
{
    QList<QByteArray> out;
    for (const Report &r : EmulatedReader::instance().sentReports())
        out << bytesOf(r);
    return out;
}

QList<QByteArray> sentFrames()
{
    QList<QByteArray> out;
    for (const LoggedRequest &request : loggedRequests())
        out << request.frame;
    return out;
}

int fetchCount()
{
    int n = 0;
    for (const Transfer &t : EmulatedReader::instance().transfers())
        n += t.isGetReport();
    return n;
}

QStringList sentApdus()
{
    // 02 08 00 L(2, little-endian) command slot 00 APDU checksum
    constexpr char kContactApdu = 0x72, kContactlessApdu = char(0x86);
    QStringList out;
    for (const QByteArray &frame : sentFrames()) {
        if (frame.size() < 9 || (frame[5] != kContactApdu && frame[5] != kContactlessApdu))
            continue;
        const int length = (std::uint8_t(frame[3]) | std::uint8_t(frame[4]) << 8) - 3;
        const QByteArray apdu = frame.mid(8, length).toHex().toUpper();
        out << (frame[5] == kContactApdu ? QString::fromLatin1(frame.mid(6, 1).toHex().toUpper()) : QStringLiteral("RF"))
                   + QLatin1Char(' ') + QString::fromLatin1(apdu);
    }
    return out;
}

bool openReader(luvaroCard &card)
{
    char usb[] = "USB";
    if (card.luvaro_USB_Open(usb) != 0)
        return false;
    EmulatedReader::instance().clearLog();
    return true;
}

std::unique_ptr<luvaroCard> openedDriver()
{
    auto card = std::make_unique<luvaroCard>();
    return openReader(*card) ? std::move(card) : nullptr;
}

QString requestMismatch(luvaroCard &open, const DriverCall &call, const QByteArray &frame)
{
    EmulatedReader::instance().clearLog();
    call(open);
    const QString sent = exchangeMismatch({{frame, {}}});
    if (!sent.isEmpty())
        return sent;
    EmulatedReader::instance().clearLog();
    luvaroCard closed;
    const int result = call(closed);
    const std::size_t transfers = EmulatedReader::instance().transfers().size();
    if (result == luvaro::kNotOpen && transfers == 0)
        return QString();
    return QStringLiteral("no reader open: gave %1 after %2 transfers, expected -12 after none")
        .arg(result)
        .arg(transfers);
}

void playReplies(const Exchange &steps)
{
    std::vector<Report> all;
    for (const ExchangeStep &step : steps)
        all.insert(all.end(), step.replies.begin(), step.replies.end());
    if (!all.empty())
        EmulatedReader::instance().injectReplyReports(all);
}

QString exchangeMismatch(const Exchange &steps)
{
    const bool scripted = std::any_of(steps.begin(), steps.end(),
                                      [](const ExchangeStep &s) { return !s.replies.empty(); });
    const bool allScripted = std::all_of(steps.begin(), steps.end(),
                                         [](const ExchangeStep &s) { return !s.replies.empty(); });
    if (scripted && !allScripted)
        return QStringLiteral("script: either every step brings its replies or none does");

    const QList<LoggedRequest> logged = loggedRequests();
    for (int k = 0; k < int(steps.size()); ++k) {
        const ExchangeStep &step = steps[std::size_t(k)];
        const QString where = QStringLiteral("step %1: ").arg(k + 1);
        if (k >= logged.size())
            return where + QStringLiteral("nothing sent, expected %1").arg(QString::fromLatin1(spacedHex(step.request)));
        const QByteArray &sent = logged[k].frame;
        const QByteArray expected = step.request + QByteArray(std::max(0, sent.size() - step.request.size()), '\0');
        if (sent != expected)
            return where + QStringLiteral("sent %1, expected %2")
                               .arg(QString::fromLatin1(spacedHex(sent)), QString::fromLatin1(spacedHex(expected)));
        if (scripted && logged[k].fetches != int(step.replies.size()))
            return where + QStringLiteral("fetched %1 reports, scripted %2")
                               .arg(logged[k].fetches)
                               .arg(step.replies.size());
    }
    if (logged.size() > int(steps.size()))
        return QStringLiteral("step %1: sent %2 beyond the script")
            .arg(steps.size() + 1)
            .arg(QString::fromLatin1(spacedHex(logged[int(steps.size())].frame)));
    return QString();
}

} // namespace testsupport
