#pragma once

// Traces read by a person (dorvent-trace): the reports put back together
// into reader frames and decoded, and two traces compared.

#include "traceformat.h"

#include <QString>
#include <QVector>

namespace dorvent::trace {

// One reader frame as the reports of a trace carried it.
struct DecodedFrame
{
    int firstEvent = 0; // indices into the events
    int lastEvent = 0;
    QString text;       // e.g. "-> beep [reader] L=2: 32", "<- ok L=0"
};

// Every frame of the trace in order. A failed transfer is a frame of its own.
QVector<DecodedFrame> decodeFrames(const QVector<Event> &events);

// The whole trace, each line as written, the reports indented and each
// frame's decoded line after its last report.
QString showTrace(const QVector<Event> &events);

// Compares a and b by their request, reply and report lines (times and
// notes aside; redacted bytes and '*' characters match anything). Empty when
// they agree; otherwise the first difference: its lines in both, the request
// it belongs to, both sides decoded and the lines before it.
QString diffTraces(const QVector<Event> &a, const QVector<Event> &b);

} // namespace dorvent::trace
