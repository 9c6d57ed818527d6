// maketrace: a regression trace from the emulated reader. Runs the requests
// of a file, one JSON text a line, through the processor against dorvent-emu's
// demo deck and writes the session as a trace.
//
//   maketrace REQUESTS TRACE
//
// "# field: m1" or "# field: 15693" puts that card in the radio field first;
// other lines starting with # and empty lines are skipped.

#include "demodeck.h"
#include "emulatedreader.h"
#include "iso15693.h"
#include "m1.h"
#include "textmessageprocessor.h"
#include "tracemaker.h"

#include <QApplication>
#include <QFile>

#include <cstdio>

using namespace dorvent::emulator;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: maketrace REQUESTS TRACE\n", stderr);
        return 2;
    }
    QFile requests(QString::fromLocal8Bit(argv[1]));
    if (!requests.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "maketrace: %s: %s\n", argv[1], qUtf8Printable(requests.errorString()));
        return 2;
    }
    installDemoDeck();
    CTextMessageProcessor processor;
    testsupport::TraceMaker maker(processor);
    while (!requests.atEnd()) {
        const QString line = QString::fromUtf8(requests.readLine()).trimmed();
        if (line == QLatin1String("# field: m1"))
            EmulatedReader::instance().deck().radioField().insert(demoM1Card());
        else if (line == QLatin1String("# field: 15693"))
            EmulatedReader::instance().deck().radioField().insert(demoIso15693Tag());
        else if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            processor.Process(nullptr, line);
    }
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly) || out.write(maker.text()) < 0) {
        std::fprintf(stderr, "maketrace: %s: %s\n", argv[2], qUtf8Printable(out.errorString()));
        return 2;
    }
    return 0;
}
