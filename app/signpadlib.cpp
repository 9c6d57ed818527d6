#include "echoserver.h"

#include <QApplication>
#include <QDebug>

#ifdef DORVENT_EMULATED_READER
#include "controlchannel.h"
#include "demodeck.h"
#include "emulatedreader.h"
#endif

#ifdef DORVENT_EMULATED_READER
constexpr std::size_t kEmulatorLogLimit = 4096;
#endif

int main(int argc, char *argv[])
{
    // The service's fixed start-up banner: existing log readers and tests
    // look for these five lines, byte for byte and in this order.
    qWarning("hello World");
    qDebug("This is a debug message");
    qWarning("This is a warning message");
    qCritical("This is a critical message");
    qDebug() << QStringLiteral("****"); // a QString, so the logger quotes it

    // Created before anything renders images and before the server listens.
    QApplication a(argc, argv);

#ifdef DORVENT_EMULATED_READER
    // The emulated reader starts plugged in, holding the demo cards.
    dorvent::emulator::installDemoDeck();
    // Runs for hours under churn: keep only recent transfers.
    dorvent::emulator::EmulatedReader::instance().setLogLimit(kEmulatorLogLimit);
    dorvent::emulator::startControlChannel(); // loopback port 17799
#endif

    // Lives as long as the process; never deleted.
    EchoServer *server = new EchoServer(17798, false);
    QObject::connect(server, &EchoServer::closed, &a, &QApplication::quit);
    // Where pages reach us. A port that is taken stays silent, as it always
    // was: the process runs on and serves nothing.
    if (server->serverPort())
        qInfo("%s: listening on ws://localhost:%u (every address, IPv4 and IPv6)",
              qPrintable(QCoreApplication::applicationName()), unsigned(server->serverPort()));

    return a.exec();
}
