#pragma once

#include "traceformat.h"

#include <QTemporaryDir>
#include <QVector>

#include <memory>

class CTextMessageProcessor;

namespace dorvent::trace {
class TraceRecorder;
}

namespace testsupport {

// What one processor does with the emulated reader, recorded by the
// service's own recorder (everything, nothing redacted) into a directory of
// its own that goes with it.
class TraceMaker
{
public:
    explicit TraceMaker(CTextMessageProcessor &processor);
    ~TraceMaker();

    // The trace so far, header first; events() as parsed back (with line numbers).
    QByteArray text() const;
    QVector<dorvent::trace::Event> events() const;

private:
    QTemporaryDir m_directory;
    std::unique_ptr<dorvent::trace::TraceRecorder> m_recorder;
};

} // namespace testsupport
