#pragma once

// Reports and frames as the tests see them on the emulated reader's USB
// side. Written here once, independently of the driver's and the
// emulator's own framing, so that a bug in either shows.

#include "firmware.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class luvaroCard;

namespace testsupport {

using dorvent::emulator::Report;

// Bytes from hex digits (spaces allowed).
QByteArray hex(const char *digits);

// A report from its first bytes, zero-filled (longer input is cut at 32).
Report report(const QByteArray &bytes);
Report report(std::initializer_list<int> bytes);
// The same, from hex digits (spaces allowed): reportOf("02 02 00").
Report reportOf(const char *digits);
// The first n bytes of a report.
QByteArray bytesOf(const Report &r, int n = dorvent::emulator::kReportSize);
// Bytes padded with zeros to one report.
QByteArray zeroPadded(const QByteArray &bytes);
// Uppercase hex with a space between bytes, for readable failures.
QByteArray spacedHex(const QByteArray &bytes);

// A frame split into reports: the first carries frame bytes 0..31 with
// marker 0x82 when more follow, each later one a marker and 31 more bytes.
std::vector<Report> splitFrame(const QByteArray &frame);
// 02 02 status L payload checksum, split into reports.
std::vector<Report> replyReports(std::uint8_t status, const std::vector<std::uint8_t> &payload = {});

// What the emulated reader's log holds since it was last cleared: the
// reports sent, whole; the request frames they make up (each frame's
// reports joined); the number of fetches.
QList<QByteArray> sentReports();
QList<QByteArray> sentFrames();
int fetchCount();
// The APDUs sent since the log was cleared, in order, each as its target and
// its uppercase hex: "0C 00A4..." for a contact slot byte, "RF 00A4..." for
// the card in the field.
QStringList sentApdus();

// One step of a scripted exchange: the request frame the driver must send
// and the reply reports it is given (none: the emulated cards answer).
struct ExchangeStep
{
    QByteArray request;
    std::vector<Report> replies;
};
using Exchange = std::vector<ExchangeStep>;

// Injects the replies of every step, in order. Either every step brings its
// replies or none does.
void playReplies(const Exchange &steps);
// Compares the log with the script: the request frames in order (bytes past
// a step's request must be zero), and where replies were scripted, that each
// step fetched exactly its replies. Empty when all matches; otherwise the
// first step that differs, with both sides' hex.
QString exchangeMismatch(const Exchange &steps);

// Opens the emulated reader with the driver and clears the transfer log.
bool openReader(luvaroCard &card);
// A driver that opened the emulated reader, log cleared; null if it could not.
std::unique_ptr<luvaroCard> openedDriver();

// One driver call, for tables of calls.
using DriverCall = std::function<int(luvaroCard &)>;
// Runs the call on the open driver, which must send exactly `frame`, then on
// a driver with no reader open, which must give -12 and send nothing. Empty
// when both hold, else what differed.
QString requestMismatch(luvaroCard &open, const DriverCall &call, const QByteArray &frame);

} // namespace testsupport

Q_DECLARE_METATYPE(testsupport::DriverCall)
