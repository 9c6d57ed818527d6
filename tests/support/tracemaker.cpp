#include "tracemaker.h"

#include "tracerecorder.h"

#include <QFile>

namespace testsupport {

TraceMaker::TraceMaker(CTextMessageProcessor &processor)
{
    QString error;
    m_recorder = dorvent::trace::TraceRecorder::start({m_directory.path(), true, false}, &error);
    if (!m_recorder)
        qFatal("no trace recorder: %s", qUtf8Printable(error));
    m_recorder->follow(&processor);
}

TraceMaker::~TraceMaker() = default;

QByteArray TraceMaker::text() const
{
    // Every line is written as it happens.
    QFile file(m_recorder->path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QVector<dorvent::trace::Event> TraceMaker::events() const
{
    return dorvent::trace::parseTrace(text()).events;
}

} // namespace testsupport
