#pragma once

#include "traceformat.h"

#include <QObject>
#include <QPair>
#include <QVector>

#include <cstddef>

class CTextMessageProcessor;
class QWebSocket;

namespace testsupport {

// A trace of what one processor does with the emulated reader: request and
// reply lines from the processor's signals, the reports from the reader's
// transfer log (times all zero). The tests' stand-in for the service's own
// recorder, which they must not depend on.
class TraceMaker : public QObject
{
public:
    explicit TraceMaker(CTextMessageProcessor &processor, QObject *parent = nullptr);

    // The trace so far, header first; events() as parsed back (with line numbers).
    QByteArray text();
    QVector<dorvent::trace::Event> events();

private:
    void takeTransfers();

    QVector<dorvent::trace::Event> m_events;
    std::size_t m_logged = 0;
    int m_number = 0;
    QVector<QPair<QWebSocket *, int>> m_open; // requests not answered yet
};

} // namespace testsupport
