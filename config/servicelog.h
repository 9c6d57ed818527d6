#pragma once

#include <QByteArray>
#include <QString>

// The service's log lines, to standard error through Qt's logger (the journal
// under systemd). They name clients, origins, actions, result codes and
// times, never a request's or a reply's values: no key, PIN, APDU, card
// number or holder's field reaches them.
namespace dorvent::config::log {

// Each function formats one line, without its newline, for write().

// origin is the Origin header's value; hasOrigin false when there was none.
// refusal is null for an accepted connection, else why it was refused.
QByteArray connection(const QString &client, const QString &origin, bool hasOrigin, const char *refusal);
// A client's connection refused before its request was read.
QByteArray refusedHost(const QString &client);
// act is null for a name no family has (its echo); replied false when no
// reply with a code was sent.
QByteArray request(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds);
QByteArray closed(const QString &client, int code, const QString &reason);

// Debug: a frame in or out, masked by maskedFrame; a binary frame by its size.
QByteArray frame(const char *direction, const QByteArray &client, const QString &text);
QByteArray binaryFrame(const QByteArray &client, qint64 bytes);
QByteArray disconnected(const QByteArray &client);

// A frame's keys, and only the values that say what was asked or answered
// (the action, the tag, the code and its text, slots, addresses, sizes);
// every other value as its length.
QString maskedFrame(const QString &text);
// A line of the service's journal as a support bundle carries it: JSON
// objects in it (as older versions' debug lines wrote whole requests)
// masked as frames are, and runs of 8 or more hex digits or digits (keys,
// APDUs, UIDs, card and identity numbers, dates) replaced.
QString maskedJournalLine(const QString &line);
// A client-sent text made safe for one log line: quoted, control characters
// escaped, cut at 200 characters.
QString quoted(const QString &text);

// Writes one line to standard error (the journal under systemd), not
// through Qt's logger, which would cost twice as much. At once, unless this
// thread holds its lines (below).
void write(QByteArray line);
// write(request(...)), formatted straight into what this thread holds.
void writeRequest(const QByteArray &client, const char *act, bool replied, int code, qint64 nanoseconds);
// From now on this thread's lines are held and written together, whole and
// in order, when its event loop ends a pass (before it sends what the pass
// queued on sockets, so a line is out before the reply it is about), before
// any Qt message, at exit, and whenever 4 KiB are held: one write() per pass
// instead of one per line. Without an event loop on this thread, nothing
// changes.
void holdLinesPerPass();
// Writes what this thread holds now.
void flush();
// Where tests read the lines instead; null for standard error.
using Sink = void (*)(const QByteArray &line);
void setSink(Sink sink);

} // namespace dorvent::config::log
