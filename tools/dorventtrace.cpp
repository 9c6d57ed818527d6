// dorvent-trace: a recorded reader session read by a person.
//
//   dorvent-trace show TRACE     every line, the reports decoded into frames
//   dorvent-trace diff A B       the first difference of two sessions
//
// Exit status: 0 (diff: the same), 1 (diff: different), 2 a file that cannot
// be read or a wrong command line.

#include "tracedecode.h"
#include "traceformat.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

void write(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

bool load(const QString &path, QVector<dorvent::trace::Event> *events)
{
    const dorvent::trace::Parsed parsed = dorvent::trace::readTraceFile(path);
    if (!parsed.ok) {
        std::fprintf(stderr, "dorvent-trace: %s\n", qUtf8Printable(parsed.error));
        return false;
    }
    *events = parsed.events;
    return true;
}

int usage()
{
    std::fputs("usage: dorvent-trace show TRACE\n"
               "       dorvent-trace diff A B\n",
               stderr);
    return kTrouble;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args[0] == QLatin1String("show")) {
        QVector<dorvent::trace::Event> events;
        if (!load(args[1], &events))
            return kTrouble;
        write(dorvent::trace::showTrace(events));
        return kSame;
    }
    if (args.size() == 3 && args[0] == QLatin1String("diff")) {
        QVector<dorvent::trace::Event> a, b;
        if (!load(args[1], &a) || !load(args[2], &b))
            return kTrouble;
        const QString difference = dorvent::trace::diffTraces(a, b);
        write(difference);
        return difference.isEmpty() ? kSame : kDifferent;
    }
    return usage();
}
